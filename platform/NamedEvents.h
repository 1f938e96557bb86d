#pragma once
// Named kernel events that other programs can wait on. Creation raises
// SystemError; the other calls answer plainly.
#include <cstdint>
#include <optional>
#include <string>

namespace platform::sys {

using EventHandle = uintptr_t;
EventHandle CreateNamedEvent(const std::string& name, bool manualReset, bool initialState);
bool SetNamedEvent(EventHandle handle);
// The event goes when its last handle is closed.
void CloseNamedEvent(EventHandle handle);
// The event's current state, or nullopt when no event has the name. Looking
// doesn't consume the signal.
std::optional<bool> PeekNamedEvent(const std::string& name);
// Pulses an event another program made (wakes its waiters, leaves it unset);
// false when no event has the name or it can't be opened.
bool PulseExistingNamedEvent(const std::string& name);

}  // namespace platform::sys
