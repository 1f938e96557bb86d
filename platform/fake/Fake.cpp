// In-memory platform for tests and native builds.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <unistd.h>
#include <map>
#include <mutex>
#include <thread>

#include "common/DateTime.h"
#include "platform/Errors.h"
#include "platform/EventLog.h"
#include "platform/Security.h"
#include "platform/fake/FakeWorld.h"

namespace platform {

namespace fake {

World& W() {
    static World* w = new World;
    return *w;
}

namespace {
std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
}  // namespace

std::string KeyId(const reg::Key& key) {
    const int view = key.view == reg::View::Wow32 ? 32 : 64;
    std::string path = Lower(key.path);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return std::to_string(static_cast<int>(key.hive)) + "|" + std::to_string(view) + "|" + path;
}

void Reset() {
    World& w = W();
    std::lock_guard<std::recursive_mutex> lock(w.lock);
    const std::string keepDir = w.commonAppData;
    static_cast<WorldData&>(w) = WorldData();
    static int counter = 0;
    auto dir = std::filesystem::temp_directory_path() /
               ("qzfake-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(++counter));
    std::error_code ec;
    if (!keepDir.empty()) std::filesystem::remove_all(keepDir, ec);
    std::filesystem::remove_all(dir, ec);  // left over by an earlier process with our pid
    std::filesystem::create_directories(dir, ec);
    w.commonAppData = dir.string();
}

}  // namespace fake

using fake::W;

namespace {
std::string LowerS(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
}  // namespace

// ---- errors ----

std::string SystemErrorText(uint32_t code) {
    switch (code) {
        case 0: return "The operation completed successfully";
        case 2: return "The system cannot find the file specified";
        case 5: return "Access is denied";
        case 1060: return "The specified service does not exist as an installed service";
        case 1063: return "The service process could not connect to the service controller";
        case 1072: return "The specified service has been marked for deletion";
        case 1073: return "The specified service already exists";
        case 1332: return "No mapping between account names and security IDs was done";
        default: return "System error " + std::to_string(code);
    }
}

namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t LastErrorCode() { return t_lastError; }

void ThrowSystemError(uint32_t code) { throw SystemError(code, SystemErrorText(code)); }

// ---- registry ----

namespace reg {

bool KeyExists(const Key& key) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return W().keys.count(fake::KeyId(key)) != 0;
}

std::optional<Value> QueryValue(const Key& key, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto k = W().keys.find(fake::KeyId(key));
    if (k == W().keys.end()) return std::nullopt;
    auto v = k->second.find(LowerS(name));
    if (v == k->second.end()) return std::nullopt;
    return v->second.second;
}

namespace {
void Put(const Key& key, const std::string& name, Value v) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    if (W().registryReadOnly) ThrowSystemError(5);
    W().keys[fake::KeyId(key)][LowerS(name)] = {name, std::move(v)};
}
}  // namespace

void SetString(const Key& key, const std::string& name, const std::string& value) {
    Value v;
    v.type = ValueType::String;
    v.text = value;
    v.bytes.assign(value.begin(), value.end());
    Put(key, name, v);
}

void SetDWord(const Key& key, const std::string& name, uint32_t value) {
    Value v;
    v.type = ValueType::DWord;
    v.number = value;
    v.bytes.resize(4);
    for (int i = 0; i < 4; ++i) v.bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    Put(key, name, v);
}

void SetBinary(const Key& key, const std::string& name, const std::vector<uint8_t>& value) {
    Value v;
    v.type = ValueType::Binary;
    v.bytes = value;
    Put(key, name, v);
}

void CreateKey(const Key& key) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    if (W().registryReadOnly) ThrowSystemError(5);
    W().keys[fake::KeyId(key)];
}

bool DeleteValue(const Key& key, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto k = W().keys.find(fake::KeyId(key));
    if (k == W().keys.end()) return false;
    return k->second.erase(LowerS(name)) != 0;
}

bool DeleteKey(const Key& key) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return W().keys.erase(fake::KeyId(key)) != 0;
}

std::vector<std::string> ValueNames(const Key& key) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    std::vector<std::string> out;
    auto k = W().keys.find(fake::KeyId(key));
    if (k != W().keys.end())
        for (auto& [lower, nv] : k->second) out.push_back(nv.first);
    return out;
}

std::vector<std::string> SubKeyNames(const Key& key) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    std::vector<std::string> out;
    const std::string prefix = fake::KeyId(key) + "\\";
    for (auto& [id, values] : W().keys) {
        if (id.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = id.substr(prefix.size());
        const std::string first = rest.substr(0, rest.find('\\'));
        if (std::find(out.begin(), out.end(), first) == out.end()) out.push_back(first);
    }
    return out;
}

}  // namespace reg

// ---- service control manager ----

namespace scm {

uint32_t RunDispatcher(const std::vector<DispatchEntry>& table) {
    std::function<uint32_t(const std::vector<DispatchEntry>&)> d;
    {
        std::lock_guard<std::recursive_mutex> lock(W().lock);
        d = W().dispatcher;
        if (!d) return W().dispatcherError;
    }
    return d(table);
}

StatusHandle RegisterControlHandler(const std::string& serviceName, ControlHandler handler) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    if (W().registerHandlerFails) ThrowSystemError(1063);
    W().controlHandler = std::move(handler);
    W().controlHandlerName = serviceName;
    return 1;
}

uint32_t SetStatus(StatusHandle, const StatusReport& report) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().statusReports.push_back(report);
    return 0;
}

namespace {
fake::FakeService& Find(const std::string& name) {
    auto it = W().services.find(LowerS(name));
    if (it == W().services.end()) ThrowSystemError(1060);
    return it->second;
}
}  // namespace

uint32_t CreateService(const ServiceConfig& config) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    if (W().services.count(LowerS(config.name))) ThrowSystemError(1073);
    W().services[LowerS(config.name)].config = config;
    return config.tagId ? 1 : 0;
}

void DeleteService(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    Find(name);
    W().services.erase(LowerS(name));
}

void SetDescription(const std::string& name, const std::string& description) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    Find(name).description = description;
}

void SetFailureActions(const std::string& name, uint32_t resetPeriodSec, const std::vector<FailureAction>& actions) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto& s = Find(name);
    s.resetPeriod = resetPeriodSec;
    s.failureActions = actions;
}

void SetStartType(const std::string& name, uint32_t startType) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    Find(name).config.startType = startType;
}

QueriedConfig QueryConfig(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto& s = Find(name);
    QueriedConfig q;
    q.serviceType = s.config.serviceType;
    q.startType = s.config.startType;
    q.errorControl = s.config.errorControl;
    q.binaryPath = s.config.binaryPath;
    q.displayName = s.config.displayName;
    q.account = s.config.account.empty() ? "LocalSystem" : s.config.account;
    return q;
}

std::string QueryDescription(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return Find(name).description;
}

std::vector<FailureAction> QueryFailureActions(const std::string& name, uint32_t* resetPeriodSec) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto& s = Find(name);
    if (resetPeriodSec) *resetPeriodSec = s.resetPeriod;
    return s.failureActions;
}

bool CanOpenForQuery(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return W().services.count(LowerS(name)) != 0;
}

std::optional<ServiceState> QueryState(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().services.find(LowerS(name));
    if (it == W().services.end()) return std::nullopt;
    auto& s = it->second;
    if (!s.script.empty()) {
        s.state = s.script.front();
        s.script.erase(s.script.begin());
    }
    return s.state;
}

bool Start(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().services.find(LowerS(name));
    if (it == W().services.end() || it->second.startFails || it->second.state.currentState != 1) return false;
    it->second.state.currentState = 2;
    return true;
}

bool ControlStop(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().services.find(LowerS(name));
    if (it == W().services.end() || it->second.state.currentState == 1) return false;
    it->second.state.currentState = 3;
    return true;
}

}  // namespace scm

// ---- event log ----

namespace eventlog {

namespace {
// Sources outlive a world reset: loggers keep their handles for the process's life.
std::mutex g_sourceLock;
std::map<uintptr_t, std::string> g_sources;
uintptr_t g_nextSource = 1;
}  // namespace

SourceHandle RegisterSource(const std::string& sourceName) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    const uintptr_t h = g_nextSource++;
    g_sources[h] = sourceName;
    return h;
}

void DeregisterSource(SourceHandle handle) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    g_sources.erase(handle);
}

bool Report(SourceHandle handle, uint16_t type, uint16_t, uint32_t eventId, const std::string& text) {
    std::string source;
    {
        std::lock_guard<std::mutex> lock(g_sourceLock);
        auto it = g_sources.find(handle);
        if (it == g_sources.end()) return false;
        source = it->second;
    }
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().events.push_back({source, type, eventId, text});
    return true;
}

}  // namespace eventlog

// ---- system ----

namespace sys {

double NowLocal() {
    {
        std::lock_guard<std::recursive_mutex> lock(W().lock);
        if (W().now) return *W().now;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    qz::DateTimeParts p{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int>(ms)};
    return qz::EncodeDateTime(p);
}

uint64_t TickCountMs() {
    {
        std::lock_guard<std::recursive_mutex> lock(W().lock);
        if (W().virtualSleep) return W().virtualTicks;
    }
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void SleepMs(uint32_t ms) {
    {
        std::lock_guard<std::recursive_mutex> lock(W().lock);
        if (W().virtualSleep) {
            W().virtualTicks += ms;
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> CommandLineArgs(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
}

#define FAKE_GET(field)                                  \
    std::lock_guard<std::recursive_mutex> lock(W().lock); \
    return W().field

std::string ModulePath() { FAKE_GET(modulePath); }
std::string ComputerNetName() { FAKE_GET(computerName); }
std::string SystemDir() { return "C:\\Windows\\system32"; }
std::string WindowsDir() { return "C:\\Windows"; }
std::string CommonAppDataDir() { FAKE_GET(commonAppData); }
uint32_t CurrentProcessId() { return 4242; }
OsVersion GetOsVersion() { FAKE_GET(version); }
std::optional<uint16_t> NativeProcessorArchitecture() { FAKE_GET(nativeArch); }

std::optional<std::string> VersionString(const std::string& filePath, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto f = W().versionStrings.find(filePath);
    if (f == W().versionStrings.end()) return std::nullopt;
    auto v = f->second.find(name);
    if (v == f->second.end()) return std::string();
    return v->second;
}

bool StartHidden(const std::string& commandLine) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().startedProcesses.push_back(commandLine);
    return true;
}

void SetConsoleCtrlHandler(std::function<bool(uint32_t)> handler) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().consoleHandler = std::move(handler);
}

bool HasConsole() { return true; }

void ShowMessage(const std::string& text, bool isError) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().messages.push_back((isError ? "E:" : "I:") + text);
}

EventHandle CreateNamedEvent(const std::string& name, bool, bool initialState) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    const uintptr_t h = W().nextHandle++;
    W().namedEvents[name] = initialState;
    W().eventHandles[h] = name;
    return h;
}

bool SetNamedEvent(EventHandle handle) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().eventHandles.find(handle);
    if (it == W().eventHandles.end()) return false;
    W().namedEvents[it->second] = true;
    return true;
}

void CloseNamedEvent(EventHandle handle) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().eventHandles.erase(handle);
}

std::optional<bool> PeekNamedEvent(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().namedEvents.find(name);
    if (it == W().namedEvents.end()) return std::nullopt;
    return it->second;
}

std::string Utf8ToAnsi(const std::string& text) { return text; }

}  // namespace sys

// ---- security ----

namespace sec {

bool TokenIsAdmin(TokenHandle token, uint32_t) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().tokens.find(token);
    return it != W().tokens.end() && it->second;
}

void CloseToken(TokenHandle token) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    W().tokens.erase(token);
}

TokenHandle OpenProcessTokenForQuery(ProcessHandle) { return 0; }
TokenHandle OpenCurrentTokenForQuery() { return 0; }

std::string AccountSidString(const std::string& accountName) {
    if (LowerS(accountName) == "administrators") return "S-1-5-32-544";
    ThrowSystemError(1332);
}

}  // namespace sec

// ---- sessions ----

namespace wts {

std::optional<std::vector<SessionEntry>> EnumerateSessions() {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    if (W().enumerateFails) return std::nullopt;
    std::vector<SessionEntry> out;
    for (auto& s : W().sessions) out.push_back(s.entry);
    return out;
}

std::optional<std::string> QuerySessionString(uint32_t sessionId, uint32_t infoClass) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    for (auto& s : W().sessions) {
        if (s.entry.id != sessionId) continue;
        if (infoClass == WTSUserName) return s.user;
        if (infoClass == WTSDomainName) return s.domain;
        if (infoClass == WTSClientName) return s.client;
        return std::nullopt;
    }
    return std::nullopt;
}

sec::TokenHandle QueryUserToken(uint32_t sessionId) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    for (auto& s : W().sessions) {
        if (s.entry.id != sessionId || !s.hasToken) continue;
        const uintptr_t h = W().nextHandle++;
        W().tokens[h] = s.tokenIsAdmin;
        return h;
    }
    ThrowSystemError(1008);
}

}  // namespace wts

}  // namespace platform
