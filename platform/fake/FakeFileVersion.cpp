#include "platform/FileVersion.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

std::optional<std::string> VersionString(const std::string& filePath, const std::string& name) {
    fake::Locked w;
    auto f = w->versionStrings.find(filePath);
    if (f == w->versionStrings.end()) return std::nullopt;
    auto v = f->second.find(name);
    if (v == f->second.end()) return std::string();
    return v->second;
}

}  // namespace platform::sys
