#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/EventLog.h"

namespace qz {

// Writes events under one source; the source is registered on the first message.
class TEventLogger {
public:
    explicit TEventLogger(std::string name) : FName(std::move(name)) {}
    ~TEventLogger();
    TEventLogger(const TEventLogger&) = delete;
    TEventLogger& operator=(const TEventLogger&) = delete;

    const std::string& Name() const { return FName; }
    void LogMessage(const std::string& message, uint16_t eventType = platform::eventlog::TypeError, uint16_t category = 0, uint32_t id = 0);

private:
    std::string FName;
    std::mutex m_;
    platform::eventlog::SourceHandle FEventLog = 0;
};

}  // namespace qz
