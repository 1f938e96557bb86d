#pragma once
#include <cstdint>
#include <memory>
#include <string>

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

    // What ServiceStart made; kept for the life of the process.
    static TFileLoggerHandler* FileHandler();
    static TFileLogControllerThread* ControllerThread();
};

}  // namespace qz
