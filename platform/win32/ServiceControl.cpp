#include "platform/ServiceControl.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/WinText.h"

// windows.h maps this name to its wide entry point; ours is the portable one.
#undef CreateService

namespace platform::scm {
namespace {

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : h_(h) {}
    ~ScHandle() {
        if (h_) CloseServiceHandle(h_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

constexpr DWORD kManagerAllAccess = 0xF003F;
constexpr DWORD kServiceAllAccess = 0xF01FF;
constexpr DWORD kChangeConfigAndStart = 0x12;

SC_HANDLE OpenManagerOrThrow(DWORD access) {
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, access);
    if (!h) ThrowSystemError(GetLastError());
    return h;
}

SC_HANDLE OpenServiceOrThrow(SC_HANDLE manager, const std::string& name, DWORD access) {
    SC_HANDLE h = OpenServiceW(manager, win::Wide(name).c_str(), access);
    if (!h) ThrowSystemError(GetLastError());
    return h;
}

// Looked up at run time: older systems lack the second configuration API.
using ChangeConfig2Fn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);
using QueryConfig2Fn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);

ChangeConfig2Fn ChangeConfig2() {
    static ChangeConfig2Fn fn = win::Bind<ChangeConfig2Fn>(L"advapi32.dll", "ChangeServiceConfig2W");
    return fn;
}
QueryConfig2Fn QueryConfig2() {
    static QueryConfig2Fn fn = win::Bind<QueryConfig2Fn>(L"advapi32.dll", "QueryServiceConfig2W");
    return fn;
}

std::vector<BYTE> QueryConfig2Buffer(const std::string& name, DWORD level) {
    ScHandle manager(OpenManagerOrThrow(SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    std::vector<BYTE> buf(256);
    while (!QueryConfig2()(service.get(), level, buf.data(), static_cast<DWORD>(buf.size()), &needed)) {
        const DWORD err = GetLastError();
        if (err != ERROR_INSUFFICIENT_BUFFER || needed <= buf.size()) ThrowSystemError(err);
        buf.resize(needed);
    }
    return buf;
}

// ---- dispatcher ----

std::mutex g_lock;
std::vector<DispatchEntry> g_table;
std::vector<std::unique_ptr<ControlHandler>> g_handlers;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::string> args;
    for (DWORD i = 0; i < argc; ++i) args.push_back(win::Utf8(argv[i]));
    ServiceMain main;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_table.empty()) main = g_table.front().main;
    }
    // The framework finds its own service by the first argument.
    if (main) main(args);
}

DWORD WINAPI HandlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    auto* handler = static_cast<ControlHandler*>(context);
    return handler && *handler ? (*handler)(control, eventType, eventData) : ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

uint32_t RunDispatcher(const std::vector<DispatchEntry>& table) {
    std::vector<std::wstring> names;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_table = table;
    }
    for (const auto& e : table) names.push_back(win::Wide(e.name));
    std::vector<SERVICE_TABLE_ENTRYW> entries;
    for (auto& n : names) entries.push_back({n.data(), ServiceMainTrampoline});
    entries.push_back({nullptr, nullptr});
    if (!StartServiceCtrlDispatcherW(entries.data())) return GetLastError();
    return 0;
}

StatusHandle RegisterControlHandler(const std::string& serviceName, ControlHandler handler) {
    auto owned = std::make_unique<ControlHandler>(std::move(handler));
    SERVICE_STATUS_HANDLE h =
        RegisterServiceCtrlHandlerExW(win::Wide(serviceName).c_str(), HandlerTrampoline, owned.get());
    if (!h) ThrowSystemError(GetLastError());
    // The system may call the handler until the process ends.
    std::lock_guard<std::mutex> lock(g_lock);
    g_handlers.push_back(std::move(owned));
    return reinterpret_cast<StatusHandle>(h);
}

uint32_t SetStatus(StatusHandle handle, const StatusReport& report) {
    SERVICE_STATUS st{};
    st.dwServiceType = report.serviceType;
    st.dwCurrentState = report.currentState;
    st.dwControlsAccepted = report.controlsAccepted;
    st.dwWin32ExitCode = report.win32ExitCode;
    st.dwServiceSpecificExitCode = report.serviceSpecificExitCode;
    st.dwCheckPoint = report.checkPoint;
    st.dwWaitHint = report.waitHint;
    if (!SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &st)) return GetLastError();
    return 0;
}

// ---- management ----

uint32_t CreateService(const ServiceConfig& c) {
    ScHandle manager(OpenManagerOrThrow(kManagerAllAccess));
    std::wstring deps;
    for (const auto& d : c.dependencies) {
        deps += win::Wide(d);
        deps.push_back(L'\0');
    }
    deps.push_back(L'\0');
    const std::wstring name = win::Wide(c.name), display = win::Wide(c.displayName), path = win::Wide(c.binaryPath),
                       group = win::Wide(c.loadOrderGroup), account = win::Wide(c.account),
                       password = win::Wide(c.password);
    DWORD tag = c.tagId;
    SC_HANDLE h = CreateServiceW(manager.get(), name.c_str(), display.c_str(), kServiceAllAccess, c.serviceType,
                                 c.startType, c.errorControl, path.c_str(), group.empty() ? nullptr : group.c_str(),
                                 c.tagId != 0 ? &tag : nullptr, c.dependencies.empty() ? nullptr : deps.c_str(),
                                 account.empty() ? nullptr : account.c_str(),
                                 password.empty() ? nullptr : password.c_str());
    if (!h) ThrowSystemError(GetLastError());
    CloseServiceHandle(h);
    return c.tagId != 0 ? tag : 0;
}

void DeleteService(const std::string& name) {
    ScHandle manager(OpenManagerOrThrow(kManagerAllAccess));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, kServiceAllAccess));
    if (!::DeleteService(service.get())) ThrowSystemError(GetLastError());
}

void SetDescription(const std::string& name, const std::string& description) {
    const auto change = ChangeConfig2();
    ScHandle manager(OpenManagerOrThrow(kManagerAllAccess));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, kChangeConfigAndStart));
    std::wstring text = win::Wide(description);
    SERVICE_DESCRIPTIONW info{text.data()};
    if (!change(service.get(), SERVICE_CONFIG_DESCRIPTION, &info)) ThrowSystemError(GetLastError());
}

void SetFailureActions(const std::string& name, uint32_t resetPeriodSec, const std::vector<FailureAction>& actions) {
    const auto change = ChangeConfig2();
    ScHandle manager(OpenManagerOrThrow(kManagerAllAccess));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, kChangeConfigAndStart));
    std::vector<SC_ACTION> list;
    for (const auto& a : actions) list.push_back({static_cast<SC_ACTION_TYPE>(a.type), a.delayMs});
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = resetPeriodSec;
    info.cActions = static_cast<DWORD>(list.size());
    info.lpsaActions = list.empty() ? nullptr : list.data();
    if (!change(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info)) ThrowSystemError(GetLastError());
}

void SetStartType(const std::string& name, uint32_t startType) {
    ScHandle manager(OpenManagerOrThrow(kManagerAllAccess));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, SERVICE_CHANGE_CONFIG));
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr))
        ThrowSystemError(GetLastError());
}

QueriedConfig QueryConfig(const std::string& name) {
    ScHandle manager(OpenManagerOrThrow(SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceOrThrow(manager.get(), name, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    std::vector<BYTE> buf(1024);
    while (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                static_cast<DWORD>(buf.size()), &needed)) {
        const DWORD err = GetLastError();
        if (err != ERROR_INSUFFICIENT_BUFFER || needed <= buf.size()) ThrowSystemError(err);
        buf.resize(needed);
    }
    const auto* q = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buf.data());
    QueriedConfig out;
    out.serviceType = q->dwServiceType;
    out.startType = q->dwStartType;
    out.errorControl = q->dwErrorControl;
    out.binaryPath = win::Utf8(q->lpBinaryPathName);
    out.displayName = win::Utf8(q->lpDisplayName);
    out.account = win::Utf8(q->lpServiceStartName);
    return out;
}

std::string QueryDescription(const std::string& name) {
    const auto buf = QueryConfig2Buffer(name, SERVICE_CONFIG_DESCRIPTION);
    return win::Utf8(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buf.data())->lpDescription);
}

std::vector<FailureAction> QueryFailureActions(const std::string& name, uint32_t* resetPeriodSec) {
    const auto buf = QueryConfig2Buffer(name, SERVICE_CONFIG_FAILURE_ACTIONS);
    const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buf.data());
    if (resetPeriodSec) *resetPeriodSec = info->dwResetPeriod;
    std::vector<FailureAction> out;
    for (DWORD i = 0; i < info->cActions && info->lpsaActions; ++i)
        out.push_back({static_cast<uint32_t>(info->lpsaActions[i].Type), info->lpsaActions[i].Delay});
    return out;
}

bool CanOpenForQuery(const std::string& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.get(), win::Wide(name).c_str(), SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

std::optional<ServiceState> QueryState(const std::string& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return std::nullopt;
    ScHandle service(OpenServiceW(manager.get(), win::Wide(name).c_str(), SERVICE_QUERY_STATUS));
    if (!service) return std::nullopt;
    SERVICE_STATUS st{};
    if (!QueryServiceStatus(service.get(), &st)) return std::nullopt;
    return ServiceState{st.dwCurrentState, st.dwControlsAccepted, st.dwCheckPoint, st.dwWaitHint};
}

bool Start(const std::string& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.get(), win::Wide(name).c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return false;
    return StartServiceW(service.get(), 0, nullptr) != FALSE;
}

bool ControlStop(const std::string& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.get(), win::Wide(name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS st{};
    return ControlService(service.get(), SERVICE_CONTROL_STOP, &st) != FALSE;
}

}  // namespace platform::scm
