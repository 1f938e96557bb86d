#include "platform/Library.h"
#include "platform/fake/FakeWorld.h"

namespace platform::lib {

std::optional<bool> CallBoolEntry(const std::string& libraryPath, const std::string& entry) {
    fake::Locked w;
    auto it = w->libraryEntries.find(libraryPath + "|" + entry);
    if (it == w->libraryEntries.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform::lib
