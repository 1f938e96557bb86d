#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The service control manager: the dispatcher side used by a running service,
// and the management side used by installers and the manager program.
// Management calls raise SystemError on failure unless they say otherwise.
namespace platform::scm {

// Controls a service receives.
constexpr uint32_t ControlCodeStop = 1;
constexpr uint32_t ControlCodePause = 2;
constexpr uint32_t ControlCodeContinue = 3;
constexpr uint32_t ControlCodeInterrogate = 4;
constexpr uint32_t ControlCodeShutdown = 5;
constexpr uint32_t ControlCodePowerEvent = 13;
constexpr uint32_t ControlCodeSessionChange = 14;

// Controls a service says it accepts.
constexpr uint32_t AcceptStop = 0x1;
constexpr uint32_t AcceptPauseContinue = 0x2;
constexpr uint32_t AcceptShutdown = 0x4;
constexpr uint32_t AcceptPowerEvent = 0x40;
constexpr uint32_t AcceptSessionChange = 0x80;

// Current states; the framework's status order maps onto them one to one.
constexpr uint32_t StateStopped = 1;
constexpr uint32_t StateStartPending = 2;
constexpr uint32_t StateStopPending = 3;
constexpr uint32_t StateRunning = 4;

// Service types, start types and error controls.
constexpr uint32_t TypeKernelDriver = 0x1;
constexpr uint32_t TypeFileSystemDriver = 0x2;
constexpr uint32_t TypeOwnProcess = 0x10;
constexpr uint32_t TypeShareProcess = 0x20;
constexpr uint32_t TypeInteractiveProcess = 0x100;
constexpr uint32_t StartAuto = 2;
constexpr uint32_t StartDemand = 3;
constexpr uint32_t ErrorNormal = 1;

// The exit code that says the service-specific code holds the reason.
constexpr uint32_t ErrorServiceSpecific = 1066;
// A failure action that restarts the service.
constexpr uint32_t ActionRestart = 1;

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
    uint32_t serviceType = TypeOwnProcess;
    uint32_t startType = StartAuto;
    uint32_t errorControl = ErrorNormal;
    std::string binaryPath;
    std::string loadOrderGroup;
    uint32_t tagId = 0;                    // requested only when not 0
    std::vector<std::string> dependencies; // group names carry a leading "+"
    std::string account;                   // empty: local system
    std::string password;
};

struct FailureAction {
    uint32_t type;   // ActionRestart
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
