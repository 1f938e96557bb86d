#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The service control manager: the dispatcher side used by a running service,
// and the management side used by installers and the manager program.
namespace platform::scm {

// ---- running as a service ----

using ServiceMain = std::function<void(const std::vector<std::string>& args)>;
struct DispatchEntry {
    std::string name;
    ServiceMain main;
};
// Connects to the service control manager and blocks until every service has
// stopped. Returns 0, or the system error when the dispatcher could not start.
uint32_t RunDispatcher(const std::vector<DispatchEntry>& table);

// Control handler: control code, event type, event data. Returns the handler's result.
using ControlHandler = std::function<uint32_t(uint32_t control, uint32_t eventType, const void* eventData)>;
using StatusHandle = uintptr_t;
// Raises SystemError when the registration fails.
StatusHandle RegisterControlHandler(const std::string& serviceName, ControlHandler handler);

struct StatusReport {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};
// Returns 0 or the system error code.
uint32_t SetStatus(StatusHandle handle, const StatusReport& report);

// ---- management ----

struct ServiceConfig {
    std::string name;
    std::string displayName;
    uint32_t serviceType = 0x10;
    uint32_t startType = 2;
    uint32_t errorControl = 1;
    std::string binaryPath;
    std::string loadOrderGroup;
    uint32_t tagId = 0;                    // requested only when not 0
    std::vector<std::string> dependencies; // group names carry a leading "+"
    std::string account;                   // empty: local system
    std::string password;
};

struct FailureAction {
    uint32_t type;   // 1 = restart the service
    uint32_t delayMs;
};

struct QueriedConfig {
    uint32_t serviceType = 0;
    uint32_t startType = 0;
    uint32_t errorControl = 0;
    std::string binaryPath;
    std::string displayName;
    std::string account;
};

// All of these raise SystemError on failure unless they say otherwise.
// Returns the tag given back by the system (0 when none was asked for).
uint32_t CreateService(const ServiceConfig& config);
void DeleteService(const std::string& name);
void SetDescription(const std::string& name, const std::string& description);
void SetFailureActions(const std::string& name, uint32_t resetPeriodSec, const std::vector<FailureAction>& actions);
void SetStartType(const std::string& name, uint32_t startType);
QueriedConfig QueryConfig(const std::string& name);
std::string QueryDescription(const std::string& name);
std::vector<FailureAction> QueryFailureActions(const std::string& name, uint32_t* resetPeriodSec);

// The helpers of the manager and tests: these never raise.
struct ServiceState {
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};
bool CanOpenForQuery(const std::string& name);
std::optional<ServiceState> QueryState(const std::string& name);
bool Start(const std::string& name);
bool ControlStop(const std::string& name);

}  // namespace platform::scm
