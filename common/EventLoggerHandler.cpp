#include "common/EventLoggerHandler.h"

#include "platform/Registry.h"
#include "platform/SystemInfo.h"

namespace qz {

TEventLogLoggerHandler::TEventLogLoggerHandler(int32_t level, const std::string& eventLogName)
    : TLoggerHandler(level), _eventlog(eventLogName) {
    const platform::reg::Key key{platform::reg::Hive::LocalMachine,
                                 "SYSTEM\\CurrentControlSet\\Services\\EventLog\\application\\" + eventLogName,
                                 platform::reg::View::Default};
    platform::reg::SetString(key, "EventMessageFile", platform::sys::ModulePath());
}

void TEventLogLoggerHandler::Notify(const std::string& message) { _eventlog.LogMessage(message, platform::eventlog::TypeError, 0, MessageId); }

}  // namespace qz
