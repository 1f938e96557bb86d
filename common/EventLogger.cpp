#include "common/EventLogger.h"

namespace qz {

TEventLogger::~TEventLogger() {
    if (FEventLog) platform::eventlog::DeregisterSource(FEventLog);
}

void TEventLogger::LogMessage(const std::string& message, uint16_t eventType, uint16_t category, uint32_t id) {
    std::lock_guard<std::mutex> lock(m_);
    if (!FEventLog) FEventLog = platform::eventlog::RegisterSource(FName);
    if (FEventLog) platform::eventlog::Report(FEventLog, eventType, category, id, message);
}

}  // namespace qz
