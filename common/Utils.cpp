#include "common/Utils.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/FsPath.h"
#include "platform/SystemInfo.h"

namespace qz {

platform::reg::Key AgentKey() {
    return {platform::reg::Hive::LocalMachine, "SOFTWARE\\Ostrune\\KorvaneGuard", platform::reg::View::Wow32};
}

std::string GetAgentDataFolder() { return platform::sys::CommonAppDataDir() + "\\Korvane Inc\\Tallisto Client\\"; }

std::filesystem::path ToFsPath(const std::string& path) { return platform::FsPath(path); }

void SecureAgentFolders() {
    using platform::files::Others;
    const std::string data = GetAgentDataFolder();
    const std::string company = ExtractFilePath(data.substr(0, data.size() - 1));
    platform::files::SecureFolder(company, Others::Read);
    platform::files::SecureFolder(data, Others::None);
    platform::files::SecureFolder(data + "Logs", Others::None);
    // These two come and go with their components; tightened when they are there.
    std::error_code ec;
    if (std::filesystem::is_directory(ToFsPath(data + "Update"), ec))
        platform::files::SecureFolder(data + "Update", Others::None);
    if (std::filesystem::is_directory(ToFsPath(data + "Banners"), ec))
        platform::files::SecureFolder(data + "Banners", Others::Read);
}

std::string ExtractFilePath(const std::string& path) {
    const auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

int32_t TUtils::ReadIntegerRegistryKey(const std::string& name) {
    auto v = platform::reg::QueryValue(AgentKey(), name);
    if (!v) throw std::runtime_error("Registry value \"" + name + "\" not found");
    if (v->type != platform::reg::ValueType::DWord) throw std::runtime_error("Invalid data type for '" + name + "'");
    return static_cast<int32_t>(static_cast<uint32_t>(v->number));
}

std::string TUtils::ReadRegistryKey(const std::string& name) {
    auto v = platform::reg::QueryValue(AgentKey(), name);
    if (!v) return {};
    if (v->type != platform::reg::ValueType::String && v->type != platform::reg::ValueType::ExpandString) return {};
    return v->text;
}

void TUtils::WriteRegistryKey(const std::string& name, const std::string& value) {
    platform::reg::SetString(AgentKey(), name, value);
}

void TUtils::WriteIntegerRegistryKey(const std::string& name, int32_t value) {
    platform::reg::SetDWord(AgentKey(), name, static_cast<uint32_t>(value));
}

std::optional<double> TUtils::ReadDateTimeRegistryKey(const std::string& name) {
    auto v = platform::reg::QueryValue(AgentKey(), name);
    if (!v || v->type != platform::reg::ValueType::Binary || v->bytes.size() != sizeof(double)) return std::nullopt;
    double d;
    std::memcpy(&d, v->bytes.data(), sizeof d);
    return d;
}

void TUtils::WriteDateTimeRegistryKey(const std::string& name, double value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    platform::reg::SetBinary(AgentKey(), name, bytes);
}

bool TUtils::DeleteRegistryValue(const std::string& name) {
    if (!platform::reg::KeyExists(AgentKey())) return false;
    return platform::reg::DeleteValue(AgentKey(), name);
}

std::string TUtils::FilterString(const std::string& str) {
    std::string out;
    out.reserve(str.size());
    for (unsigned char c : str) {
        if (c < 32 && c != 9 && c != 10 && c != 13) continue;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

std::string TUtils::formatUTCTime(double dateTime) {
    const DateTimeParts p = DecodeDateTime(dateTime);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
    return buf;
}

namespace {
const platform::sys::OsVersion& Version() {
    static const platform::sys::OsVersion v = platform::sys::GetOsVersion();
    return v;
}
}  // namespace

bool IsWin8OrNewer() { return Version().major > 6 || (Version().major == 6 && Version().minor > 1); }
bool IsWin8Family() { return Version().major == 6 && Version().minor > 1; }

}  // namespace qz
