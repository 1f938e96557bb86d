#include "monitor/Beholder.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <cstdio>

#include "common/Logger.h"
#include "common/Text.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "platform/AsciiCase.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FileVersion.h"
#include "platform/Registry.h"

namespace qz {

// ---- TStringHashTable ----

void TStringHashTable::Add(const std::string& str, std::shared_ptr<const TMyObject> obj) {
    const std::string key = platform::AsciiLower(str);
    std::lock_guard<std::mutex> lock(_cs);
    if (_list.size() > _maxSize) {
        _list.clear();
        _sl.clear();
        _index.clear();
    }
    auto it = _index.find(key);
    if (it != _index.end()) {
        _list[it->second] = std::move(obj);
        return;
    }
    _index.emplace(key, _list.size());
    _sl.push_back(key);
    _list.push_back(std::move(obj));
}

std::shared_ptr<const TMyObject> TStringHashTable::GetData(const std::string& Value) {
    const std::string key = platform::AsciiLower(Value);
    std::lock_guard<std::mutex> lock(_cs);
    auto it = _index.find(key);
    return it == _index.end() ? nullptr : _list[it->second];
}

void TStringHashTable::Clear() {
    std::lock_guard<std::mutex> lock(_cs);
    _list.clear();
    _sl.clear();
    _index.clear();
}

size_t TStringHashTable::GetSize() {
    std::lock_guard<std::mutex> lock(_cs);
    return _list.size();
}

std::string TStringHashTable::ToString() {
    std::lock_guard<std::mutex> lock(_cs);
    std::string out;
    for (size_t i = 0; i < _list.size(); ++i) out += _sl[i] + " - " + (_list[i] ? _list[i]->ToString() : "") + "\n\r";
    return out;
}

// ---- TBeholder ----

TStringHashTable& TBeholder::VersionCache() {
    static TStringHashTable* cache = new TStringHashTable(VersionCacheMax);  // lives as long as the program
    return *cache;
}

size_t TBeholder::GetVersionCacheSize() { return VersionCache().GetSize(); }

std::string TBeholder::NormalisePath(const std::string& path) {
    if (path.rfind("\\??\\", 0) == 0) return path.substr(4);
    if (path.rfind("\\SystemRoot\\", 0) == 0) return TWinUtils::GetWinDir() + path.substr(11);
    return path;
}

std::string TBeholder::CacheString(uint32_t pid, double startTime) {
    const DateTimeParts t = DecodeDateTime(startTime);
    char text[48];
    std::snprintf(text, sizeof text, "%u|%02d.%02d.%04d %02d:%02d:%02d", pid, t.day, t.month, t.year, t.hour, t.minute,
                  t.second);
    return text;
}

std::optional<TFileVersionInfo> TBeholder::GetFileVersion(const std::string& AFilePath,
                                                          const std::string& ACacheString) {
    if (auto cached = std::dynamic_pointer_cast<const TFileVersionInfo>(VersionCache().GetData(ACacheString)))
        return *cached;
    const std::string path = Trim(AFilePath);
    if (path.empty()) return std::nullopt;
    auto info = std::make_shared<TFileVersionInfo>();
    // The type name shows only in the log's lines of the cache: asked only
    // when they are written (under Wine asking loads COM for good).
    const platform::sys::ImageShellFacts shell = platform::sys::DescribeImage(path, TLogger::WillLog(logFiner));
    info->FileType = shell.fileType;
    if (shell.executable) {
        if (auto strings =
                platform::sys::TranslatedVersionStrings(path, {"CompanyName", "FileDescription", "FileVersion"})) {
            info->CompanyName = (*strings)[0];
            info->FileDescription = (*strings)[1];
            info->FileVersion = (*strings)[2];
        }
    }
    if (TLogger::WillLog(logFiner)) TLogger::Finer("The version was taken for " + path + " - " + info->ToString());
    VersionCache().Add(ACacheString, info);
    return *info;
}

namespace {
// Whether the debug privilege is on in the agent's token: a pass enables it
// only when it isn't (the adjustment costs more than a fast pass under Wine),
// and a termination, which drops it after, says so.
std::atomic<bool> g_debugPrivilegeOn{false};
}  // namespace

void TBeholder::ForgetDebugPrivilege() { g_debugPrivilegeOn = false; }

namespace {
// What a pass learnt of each process, by id: a later pass that finds the same
// start reuses the record (a process's image, session and version never change)
// instead of asking the system again.
std::mutex g_describedLock;
std::map<uint32_t, TProcessInfo> g_described;

void LogOpenError(uint32_t pid, uint32_t openError) {
    if (TLogger::WillLog(logFine))
        TLogger::Fine("For process " + std::to_string(pid) + " there is error " + platform::SystemErrorText(openError));
}
}  // namespace

void TBeholder::ForgetDescribedProcesses() {
    std::lock_guard<std::mutex> hold(g_describedLock);
    g_described.clear();
}

TProcessList TBeholder::GetProcessList() {
    TProcessList list;
    if (!g_debugPrivilegeOn.load() && platform::proc::SetOwnPrivilege("SeDebugPrivilege", true).ok())
        g_debugPrivilegeOn = true;
    const auto ids = platform::proc::EnumerateProcessIds();
    if (!ids) return list;
    if (TLogger::WillLog(logFinest)) TLogger::Finest("Expected " + std::to_string(ids->size()) + " processes");
    list.reserve(ids->size());
    std::lock_guard<std::mutex> hold(g_describedLock);
    std::map<uint32_t, TProcessInfo> described;
    for (const uint32_t pid : *ids) {
        if (pid <= 10) continue;
        uint32_t openError = 0;
        TProcessInfo info;
        info.FPId = pid;
        const auto known = g_described.find(pid);
        if (known != g_described.end()) {
            const auto start = platform::proc::QueryProcessStart(pid, openError);
            if (!start) {
                LogOpenError(pid, openError);
                continue;
            }
            if (!start->timesError && start->startTime == known->second.FStartTime) {
                described.emplace(pid, known->second);
                list.push_back(known->second);
                continue;
            }
        }
        const auto facts = platform::proc::QueryProcess(pid, openError);
        if (!facts) {
            LogOpenError(pid, openError);
            continue;
        }
        if (facts->timesError && TLogger::WillLog(logFine)) TLogger::Fine(platform::SystemErrorText(facts->timesError));
        info.FHandle = facts->handle;
        info.FProcessPath = NormalisePath(facts->imagePath);
        info.FSessionId = facts->sessionId;
        info.FStartTime = facts->startTime;
        if (auto v = GetFileVersion(info.FProcessPath, CacheString(pid, info.FStartTime))) {
            info.FVersion = TUtils::FilterString(v->FileVersion);
            info.FCompanyName = TUtils::FilterString(v->CompanyName);
            info.FName = TUtils::FilterString(v->FileDescription);
        }
        // A process whose start couldn't be read is asked again every pass.
        if (!facts->timesError) described[pid] = info;
        list.push_back(std::move(info));
    }
    // Processes that ended are forgotten.
    g_described.swap(described);
    return list;
}

std::string TBeholder::GetShellProcessName() {
    try {
        const platform::reg::Key key{platform::reg::Hive::LocalMachine,
                                     "Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon",
                                     platform::reg::View::Default};
        const auto v = platform::reg::QueryValue(key, "Shell");
        return v ? v->text : std::string();
    } catch (const std::exception&) {
        return std::string();
    }
}

namespace {
std::string LowerFileName(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return platform::AsciiLower(slash == std::string::npos ? path : path.substr(slash + 1));
}
}  // namespace

platform::proc::ProcessHandle TBeholder::GetShellHandle(const TProcessList& ProcessList) {
    const std::string shell = GetShellProcessName();
    if (shell.empty()) return 0;
    const std::string wanted = LowerFileName(shell);
    for (const auto& p : ProcessList)
        if (LowerFileName(p.FProcessPath) == wanted) return platform::proc::OpenProcessAllAccess(p.FPId);
    return 0;
}

std::string TBeholder::GetInteractiveUsername(const TProcessList& ProcessList) {
    const auto shell = GetShellHandle(ProcessList);
    if (!shell) return std::string();
    struct Closer {
        platform::proc::ProcessHandle h;
        ~Closer() { platform::proc::CloseProcess(h); }
    } closeShell{shell};
    const auto token = platform::sec::OpenProcessTokenForQuery(shell);
    if (!token) platform::ThrowSystemError(platform::LastErrorCode());
    struct TokenCloser {
        platform::sec::TokenHandle t;
        ~TokenCloser() { platform::sec::CloseToken(t); }
    } closeToken{token};
    return platform::proc::TokenUserAccount(token);
}

bool TBeholder::ProcessTerminate(uint32_t dwPID) {
    if (!platform::proc::SetOwnPrivilege("SeDebugPrivilege", true).ok()) return false;
    if (!platform::proc::TerminateById(dwPID, 0xFFFFFFFF, 30000)) return false;
    if (TLogger::WillLog(logFiner)) TLogger::Finer(platform::SystemErrorText(platform::LastErrorCode()));
    g_debugPrivilegeOn = false;
    return platform::proc::SetOwnPrivilege("SeDebugPrivilege", false).ok();
}

void TBeholder::printProcesses(TProcessList& processes) {
    std::sort(processes.begin(), processes.end(),
              [](const TProcessInfo& a, const TProcessInfo& b) { return a.FPId < b.FPId; });
    if (!TLogger::WillLog(logFinest)) return;
    TLogger::Finest("Total processes: " + std::to_string(processes.size()));
    TLogger::Finest("Enumerating all running processes:");
    std::string block;
    for (const auto& p : processes) block += p.ToString() + "\n\r";
    TLogger::Finest(block);
}

void TBeholder::printVersionCache() {
    TLogger::Finest("Version cache:");
    TLogger::Finest(VersionCache().ToString());
}

}  // namespace qz
