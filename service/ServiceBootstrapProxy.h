#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Logger.h"
#include "service/ServiceFramework.h"

namespace qz {

class TFileLoggerHandler;
class TFileLogControllerThread;
class TEventLogLoggerHandler;

// Starts "restart.exe" beside the program for every message it is given.
class TRestartLoggerHandler : public TLoggerHandler {
public:
    using TLoggerHandler::TLoggerHandler;
    void Notify(const std::string& message) override;
};

// The agent's real service handlers; the service definition only forwards here.
class TProxyGuardService {
public:
    static constexpr const char* EventSourceName = "Tallisto Client";

    static void ServiceAfterInstall(TService& sender);
    static void ServiceStart(TService& sender, bool& started);
    static void ServiceStop(TService& sender, bool& stopped);
    static void SessionChanged(uint32_t eventType, uint32_t sessionId);
    // Console control events: 6 (system shutdown) sends the stop signal.
    static bool ConsoleCtrlHandler(uint32_t event);

    // The service-specific exit code reported when the main service can't start.
    static constexpr uint32_t StartFailedCode = 1;
    // The end of the process: waits for the start-up hand-over, stops the main
    // service if it runs and ends the log controller, so no thread of the agent
    // outlives main.
    static void Shutdown();
    // Runs buildAndStart on the main thread unless a stop came first; when it
    // raises, the service stops with StartFailedCode and the reason in the event log.
    static void StartMainService(TService* service, const std::function<void()>& buildAndStart);
    // The jobs children of the agent's program run (common/ChildJob.h): the
    // management queries and the firewall's rule, whose libraries (COM, and
    // under Wine its graphics libraries) would otherwise stay in the agent.
    static void RegisterChildJobs();
    // When the program's arguments ask for a child's job, runs it and gives
    // the exit code; nullopt otherwise.
    static std::optional<int> RunChildJob(const std::vector<std::string>& args);
    // The firewall's rule for the program, in a child when one is set.
    static void OpenFirewall();
    // Tests only: forget an earlier stop request.
    static void ResetForTests();

    // What ServiceStart made; kept for the life of the process.
    static TFileLoggerHandler* FileHandler();
    static TFileLogControllerThread* ControllerThread();
};

}  // namespace qz
