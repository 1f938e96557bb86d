#include "common/Utils.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/Errors.h"
#include "platform/FsPath.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"

namespace qz {

platform::reg::Key AgentKey() {
    return {platform::reg::Hive::LocalMachine, "SOFTWARE\\Ostrune\\KorvaneGuard", platform::reg::View::Wow32};
}

std::string GetAgentDataFolder() { return platform::sys::CommonAppDataDir() + "\\Korvane Inc\\Tallisto Client\\"; }

std::filesystem::path ToFsPath(const std::string& path) { return platform::FsPath(path); }

namespace {

// A free name beside the folder, where what it held stays for the administrator.
std::string AsideName(const std::string& path) {
    std::error_code ec;
    for (int n = 1;; ++n) {
        const std::string aside = path + ".untrusted" + (n > 1 ? "-" + std::to_string(n) : std::string());
        if (n >= 100 || !std::filesystem::exists(std::filesystem::symlink_status(ToFsPath(aside), ec))) return aside;
    }
}

// Secures one folder; one that can't be secured is moved aside and made anew.
bool SecureOrReplace(const std::string& path, platform::files::Others others, platform::files::Scope scope,
                     std::vector<std::string>& problems) {
    auto attempt = [&] {
        std::vector<platform::files::SecureFailure> failed;
        try {
            platform::files::SecureFolder(path, others, scope, &failed);
            return true;
        } catch (const std::exception& e) {
            for (const auto& f : failed)
                problems.push_back("Cannot secure " + f.path + " - " + platform::SystemErrorText(f.error));
            if (failed.empty()) problems.push_back("Cannot secure " + path + " - " + e.what());
            return false;
        }
    };
    if (attempt()) return true;
    const std::string aside = AsideName(path);
    try {
        platform::files::MoveOver(path, aside);
    } catch (const std::exception& e) {
        problems.push_back("Cannot move " + path + " aside - " + e.what());
        return false;
    }
    problems.push_back("Moved " + path + " aside to " + aside);
    return attempt();
}

}  // namespace

TSecuredFolders SecureAgentFolders() {
    using platform::files::Others;
    using platform::files::Scope;
    TSecuredFolders r;
    for (const char* privilege : platform::files::OwnershipPrivileges) {
        const auto outcome = platform::proc::SetOwnPrivilege(privilege, true);
        if (!outcome.ok())
            r.Problems.push_back(std::string("Cannot enable ") + privilege + " - " +
                                 platform::SystemErrorText(outcome.error));
    }
    const std::string data = GetAgentDataFolder();
    const std::string folder = data.substr(0, data.size() - 1);
    const std::string company = ExtractFilePath(folder);
    // Other programs of the company may keep their folders there: only its own list and files.
    SecureOrReplace(company.substr(0, company.size() - 1), Others::Read, Scope::FolderAndFiles, r.Problems);
    r.Data = SecureOrReplace(folder, Others::None, Scope::Tree, r.Problems);
    SecureOrReplace(data + "Logs", Others::None, Scope::Tree, r.Problems);
    // These two come and go with their components; tightened when they are there.
    std::error_code ec;
    r.Update = r.Data && (!std::filesystem::is_directory(ToFsPath(data + "Update"), ec) ||
                          SecureOrReplace(data + "Update", Others::None, Scope::Tree, r.Problems));
    if (std::filesystem::is_directory(ToFsPath(data + "Banners"), ec))
        SecureOrReplace(data + "Banners", Others::Read, Scope::Tree, r.Problems);
    if (!r.Data) r.Problems.push_back("Cannot secure the data folder - its files are not read");
    return r;
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
