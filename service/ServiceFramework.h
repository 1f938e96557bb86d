#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/EventLogger.h"
#include "platform/ServiceControl.h"

namespace qz {

enum class TCurrentStatus { csStopped, csStartPending, csStopPending, csRunning, csContinuePending, csPausePending, csPaused };
enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// Every service control reaches the service thread as this message.
constexpr uint32_t CM_SERVICE_CONTROL = 1025;
constexpr uint32_t SERVICE_CONTROL_POWEREVENT = platform::scm::ControlCodePowerEvent;
constexpr uint32_t SERVICE_CONTROL_SESSIONCHANGE = platform::scm::ControlCodeSessionChange;

struct TSwitches {
    bool install = false;
    bool uninstall = false;
    bool silent = false;
};
// A switch counts anywhere among the arguments, after "-" or "/", in any letter case.
bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name);
TSwitches ParseSwitches(const std::vector<std::string>& args);

// lParam of the control message: session id * 100 + event type for session
// changes (the id is the second 32-bit field of the notification), the event
// type for power events, else 0.
uint32_t PackControlLParam(uint32_t control, uint32_t eventType, const void* eventData);
inline uint32_t SessionEventOf(uint32_t lParam) { return lParam % 100; }
inline uint32_t SessionIdOf(uint32_t lParam) { return lParam / 100; }

bool IsPending(TCurrentStatus status);
uint32_t ControlsAccepted(TCurrentStatus status, bool allowStop, bool allowPause, bool xpOrLater);
uint32_t ServiceTypeValue(TServiceType type, size_t serviceCount, bool interactive);
uint32_t StartTypeValue(TStartType start, TServiceType type);

// Check points count up while the same pending state is reported again in a row.
class TCheckPointCounter {
public:
    uint32_t Next(TCurrentStatus status);

private:
    TCurrentStatus last_ = TCurrentStatus::csStartPending;
    uint32_t checkPoint_ = 0;
};

struct TThreadMessage {
    uint32_t message = 0;
    uint32_t wParam = 0;
    uint32_t lParam = 0;
};

// The service thread's message queue.
class TThreadMessageQueue {
public:
    void Post(const TThreadMessage& msg);
    void PostQuit();
    // wait: blocks until a message comes; false on quit. Otherwise false when empty.
    bool Get(TThreadMessage& msg, bool wait);

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<TThreadMessage> q_;
    bool quit_ = false;
};

struct TDependency {
    std::string FName;
    bool FIsGroup = false;
};

class TService;

class TServiceThread {
public:
    explicit TServiceThread(TService* service) : FService(service) {}
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    // The service's loop, run by the thread that calls it (the service's entry thread).
    void Execute();
    void ProcessRequests(bool waitForMessage);

private:
    TService* FService;
    std::atomic<bool> FTerminated{false};
};

class TService {
public:
    using Handler = std::function<void(TService&)>;
    using FlagHandler = std::function<void(TService&, bool&)>;

    explicit TService(std::string name);
    virtual ~TService();

    std::string Name;
    std::string DisplayName;
    bool AllowStop = true;
    bool AllowPause = true;
    bool Interactive = false;
    TServiceType ServiceType = TServiceType::stWin32;
    TStartType StartType = TStartType::stAuto;
    TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
    uint32_t WaitHint = 5000;
    std::vector<TDependency> Dependencies;
    std::string LoadGroup;
    std::string ServiceStartName;
    std::string Password;
    uint32_t FTagID = 0;
    uint32_t FWin32ErrorCode = 0;
    uint32_t FErrCode = 0;
    std::vector<std::string> FParams;

    Handler BeforeInstall, AfterInstall, BeforeUninstall, AfterUninstall, OnShutdown, OnExecute;
    FlagHandler OnStart, OnStop, OnPause, OnContinue;

    virtual void ServiceSessionChange(uint32_t eventType, uint32_t sessionId) {}
    virtual void ServicePowerEvent(uint32_t eventType) {}

    TCurrentStatus Status() const { return FStatus; }
    void SetStatus(TCurrentStatus status);
    TEventLogger& EventLogger();
    const std::string& ShownName() const { return DisplayName.empty() ? Name : DisplayName; }

    // Registration with the service control manager.
    void Install(size_t serviceCount);
    void Uninstall();
    // The service-main entry for this service.
    void Main(const std::vector<std::string>& args);
    // What the control handler does with a control: post it to the service thread.
    uint32_t HandleControl(uint32_t control, uint32_t eventType, const void* eventData);

    TThreadMessageQueue& Messages() { return FMessages; }
    TServiceThread* ServiceThread() { return FServiceThread.get(); }
    // Runs one control message as the service thread does.
    void DoControl(const TThreadMessage& msg);

    size_t FServiceCount = 1;  // set by the application, used for the service type

private:
    void ReportStatus();
    TCurrentStatus FStatus = TCurrentStatus::csStopped;
    platform::scm::StatusHandle FStatusHandle = 0;
    std::unique_ptr<TServiceThread> FServiceThread;
    std::unique_ptr<TEventLogger> FEventLogger;
    std::mutex FEventLoggerLock;
    TThreadMessageQueue FMessages;
    TCheckPointCounter FCheckPoints;
};

class TServiceApplication {
public:
    static TServiceApplication& Instance();

    void Initialize() { FInitialized = true; }
    std::string Title;
    void AddService(std::unique_ptr<TService> service);
    const std::vector<std::unique_ptr<TService>>& Services() const { return FServices; }
    TEventLogger& EventLogger() { return FEventLogger; }

    // Installs, uninstalls or runs under the dispatcher; returns the exit code.
    int Run(const std::vector<std::string>& args);
    // false when any service failed.
    bool RegisterServices(bool install, bool silent);
    // The dispatcher's service-main: finds the service by name (any letter case).
    void DispatchServiceMain(const std::vector<std::string>& args);

    // Tests only: drop the services.
    void ClearServices() { FServices.clear(); }

private:
    TServiceApplication();
    bool FDelayInitialize = false;
    bool FInitialized = false;
    TEventLogger FEventLogger;
    std::vector<std::unique_ptr<TService>> FServices;
    uint32_t FReturnValue = 0;
};

}  // namespace qz
