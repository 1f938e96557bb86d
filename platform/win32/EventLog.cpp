#include "platform/EventLog.h"

#include "platform/win32/WinText.h"

namespace platform::eventlog {

SourceHandle RegisterSource(const std::string& sourceName) {
    return reinterpret_cast<SourceHandle>(RegisterEventSourceW(nullptr, win::Wide(sourceName).c_str()));
}

void DeregisterSource(SourceHandle handle) {
    if (handle) DeregisterEventSource(reinterpret_cast<HANDLE>(handle));
}

bool Report(SourceHandle handle, uint16_t type, uint16_t category, uint32_t eventId, const std::string& text) {
    if (!handle) return false;
    const std::wstring w = win::Wide(text);
    LPCWSTR strings[1] = {w.c_str()};
    return ReportEventW(reinterpret_cast<HANDLE>(handle), type, category, eventId, nullptr, 1, 0, strings,
                        nullptr) != FALSE;
}

}  // namespace platform::eventlog
