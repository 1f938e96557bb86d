#include "platform/NamedEvents.h"

#include "platform/win32/WinText.h"

namespace platform::sys {

EventHandle CreateNamedEvent(const std::string& name, bool manualReset, bool initialState) {
    const HANDLE h = CreateEventW(nullptr, manualReset, initialState, win::Wide(name).c_str());
    if (!h) ThrowSystemError(GetLastError());
    return reinterpret_cast<EventHandle>(h);
}

bool SetNamedEvent(EventHandle handle) { return SetEvent(reinterpret_cast<HANDLE>(handle)) != FALSE; }

void CloseNamedEvent(EventHandle handle) {
    if (handle) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::optional<bool> PeekNamedEvent(const std::string& name) {
    win::Handle h(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, win::Wide(name).c_str()));
    if (!h) return std::nullopt;
    const bool signalled = WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0;
    // Waiting resets an auto-reset event: put the state back.
    if (signalled) SetEvent(h.get());
    return signalled;
}

bool PulseExistingNamedEvent(const std::string& name) {
    win::Handle h(OpenEventW(EVENT_MODIFY_STATE, FALSE, win::Wide(name).c_str()));
    return h && PulseEvent(h.get()) != FALSE;
}

}  // namespace platform::sys
