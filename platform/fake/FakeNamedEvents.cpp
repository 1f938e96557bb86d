#include "platform/Errors.h"
#include "platform/NamedEvents.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

using fake::Locked;

EventHandle CreateNamedEvent(const std::string& name, bool, bool initialState) {
    Locked w;
    if (w->createEventFails) ThrowSystemError(ErrorAccessDenied);
    const uintptr_t h = w->nextHandle++;
    // A second create opens the existing event and leaves its state alone.
    w->namedEvents.emplace(name, initialState);
    w->eventHandles[h] = name;
    return h;
}

bool SetNamedEvent(EventHandle handle) {
    Locked w;
    auto it = w->eventHandles.find(handle);
    if (it == w->eventHandles.end()) return false;
    w->namedEvents[it->second] = true;
    return true;
}

void CloseNamedEvent(EventHandle handle) {
    Locked w;
    auto it = w->eventHandles.find(handle);
    if (it == w->eventHandles.end()) return;
    const std::string name = it->second;
    w->eventHandles.erase(it);
    for (const auto& [h, n] : w->eventHandles)
        if (n == name) return;
    w->namedEvents.erase(name);
}

std::optional<bool> PeekNamedEvent(const std::string& name) {
    Locked w;
    auto it = w->namedEvents.find(name);
    if (it == w->namedEvents.end()) return std::nullopt;
    return it->second;
}

bool PulseExistingNamedEvent(const std::string& name) {
    Locked w;
    if (!w->namedEvents.count(name)) return false;
    w->pulsedEvents.push_back(name);
    return true;
}

}  // namespace platform::sys
