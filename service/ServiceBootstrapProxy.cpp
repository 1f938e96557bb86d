#include "service/ServiceBootstrapProxy.h"

#include <atomic>
#include <filesystem>

#include "commands/ComputerInfo.h"
#include "commands/FirewallUtils.h"
#include "common/ChildJob.h"
#include "common/EventLoggerHandler.h"
#include "common/FileLogController.h"
#include "common/LoggerHandlers.h"
#include "common/MainThread.h"
#include "common/Utils.h"
#include "platform/Errors.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/Console.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "service/MainService.h"

namespace qz {

namespace {
TFileLoggerHandler* g_fileHandler = nullptr;
TFileLogControllerThread* g_controller = nullptr;
TService* g_service = nullptr;
// The start-up hand-over; joined at the end of the process.
// A stop that comes first wins: the main service is then neither built nor started.
std::atomic<bool> g_stopRequested{false};
// What became of protecting the folders and the key; logged once the log runs.
TSecuredFolders g_secured;

// Builds and starts the main service on the main thread once the service runs.
void StartUp() {
    // Let the controller read the level first, or the construction lines
    // would miss the file log on every start.
    g_controller->WaitFirstLevelRead(2000);
    for (const auto& line : g_secured.Problems) TLogger::Severe(line);
    TProxyGuardService::StartMainService(g_service, [] {
        TProxyGuardService::OpenFirewall();
        TMainService* ms = TMainService::Instance();
        ms->SetFileLogControllerThread(g_controller);
        ms->SetSecuredFolders(g_secured.Data, g_secured.Update);
        ms->Start();
    });
}
}  // namespace

void TProxyGuardService::StartMainService(TService* service, const std::function<void()>& buildAndStart) {
    try {
        TMainThreadQueue::Instance().Synchronize([&] {
            if (!g_stopRequested) buildAndStart();
        });
    } catch (const std::exception& e) {
        // The agent can't run without its main service: stop, and say why to
        // the service manager and the event log instead of ending the process.
        TLogger::Severe(std::string("Error while starting the service - ") + e.what());
        if (!service) return;
        service->EventLogger().LogMessage(std::string("Service failed on start: ") + e.what());
        service->FErrCode = StartFailedCode;
        service->Messages().Post({CM_SERVICE_CONTROL, platform::scm::ControlCodeStop, 0});
    }
}

constexpr const char* FirewallJob = "firewall";

void TProxyGuardService::RegisterChildJobs() {
    TComputerInfo::RegisterChildJobs();
    TChildJobs::Register(FirewallJob, [] {
        return std::string(TFirewallUtils::OpenFirewall(platform::sys::ModulePath()) ? "1" : "0");
    });
}

std::optional<int> TProxyGuardService::RunChildJob(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[0] != TChildJobs::Switch) return std::nullopt;
    RegisterChildJobs();
    int32_t level = logInfo;
    try {
        level = std::stoi(args[2]);
    } catch (const std::exception&) {
    }
    return TChildJobs::RunChild(args[1], level);
}

void TProxyGuardService::OpenFirewall() {
    RegisterChildJobs();
    try {
        TChildJobs::Call(FirewallJob);
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Open Vista firewall error ") + e.what());
    }
}

void TProxyGuardService::ResetForTests() { g_stopRequested = false; }

TFileLoggerHandler* TProxyGuardService::FileHandler() { return g_fileHandler; }
TFileLogControllerThread* TProxyGuardService::ControllerThread() { return g_controller; }

void TRestartLoggerHandler::Notify(const std::string& /*message*/) {
    const std::string exe = ExtractFilePath(platform::sys::ModulePath()) + "restart.exe";
    std::error_code ec;
    if (!std::filesystem::exists(ToFsPath(exe), ec)) return;
    platform::sys::StartHidden("\"" + exe + "\" TallistoClient");
}

void TProxyGuardService::ServiceAfterInstall(TService& sender) {
    try {
        platform::scm::SetDescription(sender.Name, "Enables Tallisto server to control the workstation");
        try {
            platform::scm::SetFailureActions(sender.Name, 86400, {{platform::scm::ActionRestart, 60000}, {platform::scm::ActionRestart, 60000}, {platform::scm::ActionRestart, 60000}});
        } catch (const std::exception& e) {
            TLogger::Info(std::string("Error while changing service failure actions ") + e.what());
        }
    } catch (...) {
        // Installation never fails for want of a description.
    }
}

void TProxyGuardService::ServiceStart(TService& sender, bool& /*started*/) {
    // Before anything is written there: users of the workstation must not
    // read the secrets in the data folder or plant files and links in it.
    g_secured = SecureAgentFolders();
    try {
        // The key holds the password hash; no program of a user session reads it.
        platform::reg::SecureKey(AgentKey());
    } catch (const std::exception& e) {
        g_secured.Problems.push_back(std::string("Cannot secure the registry key - ") + e.what());
    }
    int32_t maxSize = 0;
    try {
        maxSize = TUtils::ReadIntegerRegistryKey("MaxFileLogSize");
    } catch (...) {
        maxSize = 0;
    }
    g_fileHandler = new TFileLoggerHandler(logFinest, GetAgentDataFolder() + "Logs\\kv.log", maxSize);
    // On the main loop, which waits for work most of the time: under Wine
    // every thread costs about a megabyte.
    g_controller = new TFileLogControllerThread(g_fileHandler, false);
    g_controller->RunOnMainLoop();
    (new TEventLogLoggerHandler(logThrowing, EventSourceName))->SetActive(true);
    (new TRestartLoggerHandler(logThrowing))->SetActive(true);
    platform::sys::SetConsoleCtrlHandler(&TProxyGuardService::ConsoleCtrlHandler);
    // The main service is built on the main thread once the service reports running.
    g_service = &sender;
    // From here the management queries and the firewall's COM run in children.
    TChildJobs::SetProgram(platform::sys::ModulePath());
    // Queued for the main loop rather than run by a thread of its own: an
    // ended thread's stack stays allocated for a long time under Wine.
    TMainThreadQueue::Instance().Post(StartUp);
}

void TProxyGuardService::ServiceStop(TService& /*sender*/, bool& /*stopped*/) {
    g_stopRequested = true;
    // Nothing to stop when the main service was never built; if it is being
    // built right now, its Start sees the request and does nothing.
    if (TMainService* ms = TMainService::AccessInstance(0)) ms->Stop();
}

void TProxyGuardService::Shutdown() {
    g_stopRequested = true;
    if (TMainService* ms = TMainService::AccessInstance(0)) ms->Stop();
    // The handlers and the controller stay allocated: a late log line may still reach them.
    if (g_controller) g_controller->Join();
}

void TProxyGuardService::SessionChanged(uint32_t eventType, uint32_t sessionId) {
    TMainService::Instance()->SessionChanged(eventType, sessionId);
}

bool TProxyGuardService::ConsoleCtrlHandler(uint32_t event) {
    if (event == platform::sys::CtrlShutdownEvent) {
        try {
            if (TMainService* ms = TMainService::AccessInstance(0)) ms->SendStopSignal();
        } catch (...) {
        }
    }
    // A user's logoff must never end the service process.
    return event == platform::sys::CtrlLogoffEvent;
}

}  // namespace qz
