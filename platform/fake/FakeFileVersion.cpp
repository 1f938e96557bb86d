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

namespace platform::sys {

ImageShellFacts DescribeImage(const std::string& filePath, bool withTypeName) {
    fake::Locked w;
    ImageShellFacts facts;
    if (filePath.rfind("\\\\", 0) == 0) return facts;
    auto t = w->fileTypes.find(filePath);
    if (withTypeName && t != w->fileTypes.end()) facts.fileType = t->second.substr(0, 80);
    facts.executable = w->executables.count(filePath) > 0;
    return facts;
}

std::optional<std::vector<std::string>> TranslatedVersionStrings(const std::string& filePath,
                                                                 const std::vector<std::string>& names) {
    fake::Locked w;
    ++w->versionReads;
    auto f = w->versionStrings.find(filePath);
    if (f == w->versionStrings.end()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& n : names) {
        auto v = f->second.find(n);
        out.push_back(v == f->second.end() ? std::string() : v->second);
    }
    return out;
}

}  // namespace platform::sys
