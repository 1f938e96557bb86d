#include "service/ServiceBootstrapProxy.h"

#include <filesystem>
#include <thread>

#include "common/EventLoggerHandler.h"
#include "common/FileLogController.h"
#include "common/LoggerHandlers.h"
#include "common/MainThread.h"
#include "common/Utils.h"
#include "platform/Errors.h"
#include "platform/ServiceControl.h"
#include "platform/Console.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "service/MainService.h"

namespace qz {

namespace {
TFileLoggerHandler* g_fileHandler = nullptr;
TFileLogControllerThread* g_controller = nullptr;
}  // namespace

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

void TProxyGuardService::ServiceStart(TService& /*sender*/, bool& /*started*/) {
    int32_t maxSize = 0;
    try {
        maxSize = TUtils::ReadIntegerRegistryKey("MaxFileLogSize");
    } catch (...) {
        maxSize = 0;
    }
    g_fileHandler = new TFileLoggerHandler(logFinest, GetAgentDataFolder() + "Logs\\kv.log", maxSize);
    g_controller = new TFileLogControllerThread(g_fileHandler);
    (new TEventLogLoggerHandler(logThrowing, EventSourceName))->SetActive(true);
    (new TRestartLoggerHandler(logThrowing))->SetActive(true);
    platform::sys::SetConsoleCtrlHandler(&TProxyGuardService::ConsoleCtrlHandler);
    // The main service is built on the main thread once the service reports running.
    std::thread([] {
        // Let the controller read the level first, or the construction lines
        // would miss the file log on every start.
        g_controller->WaitFirstLevelRead(2000);
        TMainThreadQueue::Instance().Synchronize([] {
            TLogger::Fine("Opening the firewall for " + platform::sys::ModulePath());
            TMainService* ms = TMainService::Instance();
            ms->SetFileLogControllerThread(g_controller);
            ms->Start();
        });
    }).detach();
}

void TProxyGuardService::ServiceStop(TService& /*sender*/, bool& /*stopped*/) { TMainService::Instance()->Stop(); }

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
