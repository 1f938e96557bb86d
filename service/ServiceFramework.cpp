#include "service/ServiceFramework.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/MainThread.h"
#include "platform/AsciiCase.h"
#include "platform/Errors.h"
#include "platform/Console.h"
#include "platform/SystemInfo.h"

namespace qz {

using platform::AsciiLower;

namespace {

std::string Format2(const char* fmt, const std::string& a, const std::string& b) {
    std::string out;
    const char* p = fmt;
    int arg = 0;
    for (; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += arg++ == 0 ? a : b;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string FileNameOf(const std::string& path) {
    const auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool XpOrLater() {
    try {
        const auto v = platform::sys::GetOsVersion();
        return v.major > 5 || (v.major == 5 && v.minor >= 1);
    } catch (...) {
        return false;
    }
}

const char* ControlWord(uint32_t code) {
    namespace scm = platform::scm;
    switch (code) {
        case scm::ControlCodeStop: return "stop";
        case scm::ControlCodePause: return "pause";
        case scm::ControlCodeContinue: return "continue";
        case scm::ControlCodeInterrogate: return "interrogate";
        case scm::ControlCodeShutdown: return "shutdown";
        default: return nullptr;
    }
}

}  // namespace

bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name) {
    const std::string want = AsciiLower(name);
    for (const auto& a : args) {
        if (a.size() < 2 || (a[0] != '-' && a[0] != '/')) continue;
        if (AsciiLower(a.substr(1)) == want) return true;
    }
    return false;
}

TSwitches ParseSwitches(const std::vector<std::string>& args) {
    TSwitches s;
    s.install = FindCmdLineSwitch(args, "INSTALL");
    s.uninstall = FindCmdLineSwitch(args, "UNINSTALL");
    s.silent = FindCmdLineSwitch(args, "SILENT");
    return s;
}

uint32_t PackControlLParam(uint32_t control, uint32_t eventType, const void* eventData) {
    if (control == SERVICE_CONTROL_SESSIONCHANGE) {
        uint32_t sessionId = 0;
        if (eventData) std::memcpy(&sessionId, static_cast<const uint8_t*>(eventData) + 4, sizeof sessionId);
        return sessionId * 100u + eventType;
    }
    if (control == SERVICE_CONTROL_POWEREVENT) return eventType;
    return 0;
}

bool IsPending(TCurrentStatus s) {
    return s == TCurrentStatus::csStartPending || s == TCurrentStatus::csStopPending ||
           s == TCurrentStatus::csContinuePending || s == TCurrentStatus::csPausePending;
}

uint32_t ControlsAccepted(TCurrentStatus status, bool allowStop, bool allowPause, bool xpOrLater) {
    namespace scm = platform::scm;
    if (status == TCurrentStatus::csStartPending) return 0;
    uint32_t c = scm::AcceptShutdown;
    if (allowStop) c |= scm::AcceptStop;
    if (allowPause) c |= scm::AcceptPauseContinue;
    if (xpOrLater) c |= scm::AcceptSessionChange | scm::AcceptPowerEvent;
    return c;
}

uint32_t ServiceTypeValue(TServiceType type, size_t serviceCount, bool interactive) {
    namespace scm = platform::scm;
    uint32_t v = 0;
    switch (type) {
        case TServiceType::stWin32: v = serviceCount >= 2 ? scm::TypeShareProcess : scm::TypeOwnProcess; break;
        case TServiceType::stDevice: v = scm::TypeKernelDriver; break;
        case TServiceType::stFileSystem: v = scm::TypeFileSystemDriver; break;
    }
    if (interactive) v |= scm::TypeInteractiveProcess;
    return v;
}

uint32_t StartTypeValue(TStartType start, TServiceType type) {
    if ((start == TStartType::stBoot || start == TStartType::stSystem) && type != TServiceType::stDevice)
        return platform::scm::StartAuto;
    return static_cast<uint32_t>(start);
}

uint32_t TCheckPointCounter::Next(TCurrentStatus status) {
    if (IsPending(status) && status == last_)
        ++checkPoint_;
    else
        checkPoint_ = 0;
    last_ = status;
    return checkPoint_;
}

void TThreadMessageQueue::Post(const TThreadMessage& msg) {
    std::lock_guard<std::mutex> lock(m_);
    q_.push_back(msg);
    cv_.notify_all();
}

void TThreadMessageQueue::PostQuit() {
    std::lock_guard<std::mutex> lock(m_);
    quit_ = true;
    cv_.notify_all();
}

bool TThreadMessageQueue::Get(TThreadMessage& msg, bool wait) {
    std::unique_lock<std::mutex> lock(m_);
    if (wait) cv_.wait(lock, [&] { return quit_ || !q_.empty(); });
    if (q_.empty()) return false;
    msg = q_.front();
    q_.pop_front();
    return true;
}

// ---- TServiceThread ----

void TServiceThread::Execute() {
    TService& svc = *FService;
    bool started = false;
    try {
        svc.SetStatus(TCurrentStatus::csStartPending);
        started = true;
        if (svc.OnStart) svc.OnStart(svc, started);
    } catch (const std::exception& e) {
        svc.EventLogger().LogMessage(Format2("Service failed on %s: %s", "start", e.what()));
        return;
    }
    if (!started) return;
    try {
        svc.SetStatus(TCurrentStatus::csRunning);
        if (svc.OnExecute)
            svc.OnExecute(svc);
        else
            ProcessRequests(true);
        ProcessRequests(false);
    } catch (const std::exception& e) {
        svc.EventLogger().LogMessage(Format2("Service failed on %s: %s", "execute", e.what()));
    }
}

void TServiceThread::ProcessRequests(bool waitForMessage) {
    for (;;) {
        if (Terminated() && waitForMessage) break;
        TThreadMessage msg;
        if (!FService->Messages().Get(msg, waitForMessage)) break;
        if (msg.message != CM_SERVICE_CONTROL) continue;
        FService->DoControl(msg);
    }
}

// ---- TService ----

TService::TService(std::string name) : Name(std::move(name)) {}
TService::~TService() = default;

TEventLogger& TService::EventLogger() {
    std::lock_guard<std::mutex> lock(FEventLoggerLock);
    if (!FEventLogger) FEventLogger = std::make_unique<TEventLogger>(Name);
    return *FEventLogger;
}

void TService::SetStatus(TCurrentStatus status) {
    FStatus = status;
    ReportStatus();
}

void TService::ReportStatus() {
    platform::scm::StatusReport r;
    r.serviceType = ServiceTypeValue(ServiceType, FServiceCount, Interactive);
    // The status enumeration follows the manager's state numbers, from stopped on.
    r.currentState = static_cast<uint32_t>(FStatus) + platform::scm::StateStopped;
    r.controlsAccepted = ControlsAccepted(FStatus, AllowStop, AllowPause, XpOrLater());
    r.checkPoint = FCheckPoints.Next(FStatus);
    r.waitHint = WaitHint;
    if (FErrCode != 0) {
        r.win32ExitCode = platform::scm::ErrorServiceSpecific;
        r.serviceSpecificExitCode = FErrCode;
    } else {
        r.win32ExitCode = FWin32ErrorCode;
    }
    const uint32_t err = platform::scm::SetStatus(FStatusHandle, r);
    if (err != 0) EventLogger().LogMessage(platform::SystemErrorText(err));
}

void TService::Install(size_t serviceCount) {
    if (BeforeInstall) BeforeInstall(*this);
    platform::scm::ServiceConfig c;
    c.name = Name;
    c.displayName = ShownName();
    c.serviceType = ServiceTypeValue(ServiceType, serviceCount, Interactive);
    c.startType = StartTypeValue(StartType, ServiceType);
    c.errorControl = static_cast<uint32_t>(ErrorSeverity);
    // Quoted: unquoted, a path with blanks ("C:\\Program Files\\...") lets
    // Windows try "C:\\Program.exe" first, which any user may be able to plant.
    c.binaryPath = "\"" + platform::sys::ModulePath() + "\"";
    c.loadOrderGroup = LoadGroup;
    c.tagId = FTagID;
    for (const auto& d : Dependencies) c.dependencies.push_back(d.FIsGroup ? "+" + d.FName : d.FName);
    c.account = ServiceStartName;
    c.password = Password;
    const uint32_t tag = platform::scm::CreateService(c);
    if (FTagID != 0) FTagID = tag;
    try {
        if (AfterInstall) AfterInstall(*this);
    } catch (...) {
        try {
            platform::scm::DeleteService(Name);
        } catch (...) {
        }
        throw;
    }
}

void TService::Uninstall() {
    if (BeforeUninstall) BeforeUninstall(*this);
    platform::scm::DeleteService(Name);
    if (AfterUninstall) AfterUninstall(*this);
}

uint32_t TService::HandleControl(uint32_t control, uint32_t eventType, const void* eventData) {
    FMessages.Post({CM_SERVICE_CONTROL, control, PackControlLParam(control, eventType, eventData)});
    return 0;
}

void TService::DoControl(const TThreadMessage& msg) {
    const TCurrentStatus old = FStatus;
    const uint32_t code = msg.wParam;
    bool result = true;
    try {
        switch (code) {
            case platform::scm::ControlCodeStop: {
                SetStatus(TCurrentStatus::csStopPending);
                bool stopped = true;
                if (OnStop) OnStop(*this, stopped);
                if (stopped && FServiceThread) FServiceThread->Terminate();
                result = stopped;
                break;
            }
            case platform::scm::ControlCodePause: {
                SetStatus(TCurrentStatus::csPausePending);
                bool paused = true;
                if (OnPause) OnPause(*this, paused);
                // The queue blocks until the next control, which is what suspension amounts to here.
                if (paused) SetStatus(TCurrentStatus::csPaused);
                result = paused;
                break;
            }
            case platform::scm::ControlCodeContinue: {
                SetStatus(TCurrentStatus::csContinuePending);
                bool continued = true;
                if (OnContinue) OnContinue(*this, continued);
                if (continued) SetStatus(TCurrentStatus::csRunning);
                result = continued;
                break;
            }
            case platform::scm::ControlCodeInterrogate: ReportStatus(); break;
            case platform::scm::ControlCodeShutdown:
                SetStatus(TCurrentStatus::csStopPending);
                try {
                    if (OnShutdown) OnShutdown(*this);
                } catch (...) {
                    if (FServiceThread) FServiceThread->Terminate();
                    throw;
                }
                if (FServiceThread) FServiceThread->Terminate();
                break;
            case SERVICE_CONTROL_POWEREVENT: ServicePowerEvent(msg.lParam); break;
            case SERVICE_CONTROL_SESSIONCHANGE:
                ServiceSessionChange(SessionEventOf(msg.lParam), SessionIdOf(msg.lParam));
                break;
            default: break;  // custom control: nothing to do
        }
    } catch (const std::exception& e) {
        if (code != platform::scm::ControlCodeShutdown) SetStatus(old);
        if (const char* word = ControlWord(code))
            EventLogger().LogMessage(Format2("Service failed on %s: %s", word, e.what()));
        else
            EventLogger().LogMessage("Service failed in custom message(" + std::to_string(code) + "): " + e.what());
        return;
    }
    if (!result) SetStatus(old);
}

void TService::Main(const std::vector<std::string>& args) {
    for (const auto& a : args) FParams.push_back(a);
    try {
        FStatusHandle = platform::scm::RegisterControlHandler(
            Name, [this](uint32_t c, uint32_t e, const void* d) { return HandleControl(c, e, d); });
    } catch (const std::exception& e) {
        EventLogger().LogMessage(e.what());
        return;
    }
    try {
        SetStatus(TCurrentStatus::csStartPending);
        // The service loop runs on the thread the dispatcher made for this
        // entry, which would otherwise only wait: every thread costs memory.
        FServiceThread = std::make_unique<TServiceThread>(this);
        FServiceThread->Execute();
    } catch (const std::exception& e) {
        EventLogger().LogMessage(Format2("Service failed on %s: %s", "execute", e.what()));
    }
    SetStatus(TCurrentStatus::csStopped);
}

// ---- TServiceApplication ----

TServiceApplication::TServiceApplication() : FEventLogger(FileNameOf(platform::sys::ModulePath())) {}

TServiceApplication& TServiceApplication::Instance() {
    // Lives to the end of the process; a service thread may still be finishing.
    static TServiceApplication* app = new TServiceApplication;
    return *app;
}

void TServiceApplication::AddService(std::unique_ptr<TService> service) {
    FServices.push_back(std::move(service));
    for (auto& s : FServices) s->FServiceCount = FServices.size();
}

bool TServiceApplication::RegisterServices(bool install, bool silent) {
    bool success = true;
    for (auto& svc : FServices) {
        try {
            if (install)
                svc->Install(FServices.size());
            else
                svc->Uninstall();
        } catch (const std::exception& e) {
            success = false;
            if (!silent) {
                const char* fmt = install ? "Service \"%s\" failed to install with error: \"%s\""
                                          : "Service \"%s\" failed to uninstall with error: \"%s\"";
                platform::sys::ShowMessage(Format2(fmt, svc->ShownName(), e.what()), true);
            }
        }
    }
    if (success && !silent)
        platform::sys::ShowMessage(install ? "Service installed successfully" : "Service uninstalled successfully",
                                   false);
    return success;
}

void TServiceApplication::DispatchServiceMain(const std::vector<std::string>& args) {
    const std::string want = args.empty() ? std::string() : AsciiLower(args[0]);
    for (auto& svc : FServices) {
        if (AsciiLower(svc->Name) == want) {
            svc->Main(args);
            return;
        }
    }
}

int TServiceApplication::Run(const std::vector<std::string>& args) {
    const TSwitches sw = ParseSwitches(args);
    // A failed registration shows in the exit code too, for unattended installs.
    if (sw.install) return RegisterServices(true, sw.silent) ? 0 : 1;
    if (sw.uninstall) return RegisterServices(false, sw.silent) ? 0 : 1;
    std::vector<platform::scm::DispatchEntry> table;
    for (auto& svc : FServices)
        table.push_back({svc->Name, [this](const std::vector<std::string>& a) { DispatchServiceMain(a); }});

    TMainThreadQueue& mainLoop = TMainThreadQueue::Instance();
    mainLoop.BindToCurrentThread();
    std::thread startThread([this, table, &mainLoop] {
        FReturnValue = platform::scm::RunDispatcher(table);
        mainLoop.Quit();
    });
    mainLoop.Run([this](const std::exception& e) { FEventLogger.LogMessage(e.what()); });
    startThread.join();
    if (FReturnValue != 0) FEventLogger.LogMessage(platform::SystemErrorText(FReturnValue));
    return static_cast<int>(FReturnValue);
}

}  // namespace qz
