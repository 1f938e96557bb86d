#pragma once
#include <string>

#include "common/EventLogger.h"
#include "common/Logger.h"

namespace qz {

// The gravest messages go to the Windows event log as error events.
class TEventLogLoggerHandler : public TLoggerHandler {
public:
    static constexpr uint32_t MessageId = 0x20000001;
    // Registers the event source with the running program as its message file;
    // raises when that registration can't be written.
    TEventLogLoggerHandler(int32_t level, const std::string& eventLogName);
    void Notify(const std::string& message) override;

private:
    TEventLogger _eventlog;
};

}  // namespace qz
