#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Event.h"

namespace qz {

// What a countdown drives; the owner fills it, tests run it on virtual time.
struct TSessionLimitDeps {
    // Puts a warning in front of the user (message, title, host name, session id).
    std::function<void(const std::string&, const std::string&, const std::string&, int32_t)> ShowMessage;
    // The session the limit is for: the console's, or on a multi-session host
    // the one with this host name; TPowerUtils::NoSession when there is none.
    std::function<uint32_t(const std::string&)> ResolveTarget;
    // The countdown display; TApplicationUtils::StartSLNotifier when unset.
    std::function<void(uint32_t, uint32_t, uint32_t)> StartNotifier;
    // TPowerUtils::LogOffComputer(session) when unset.
    std::function<bool(uint32_t)> LogOff;
    // Waits up to ms, or until the event is pulsed; a plain wait when unset.
    std::function<void(TEvent&, uint32_t)> Wait;
};

// One session limit: warnings before the end and the logoff at the end.
class TSessionLimitThread {
public:
    static constexpr const char* Warning =
        "Your session is expiring. Please save your work. You will be automatically logged out in %d minutes.";
    TSessionLimitThread(int32_t SessionLimit, int32_t AlertInterval, bool HideTimer, std::string Hostname,
                        TSessionLimitDeps deps);
    ~TSessionLimitThread();
    TSessionLimitThread(const TSessionLimitThread&) = delete;
    TSessionLimitThread& operator=(const TSessionLimitThread&) = delete;

    void Start();
    // The countdown itself, on the calling thread (Start runs it on its own).
    void Execute();
    // Cancels: no further warning and no logoff; a wait under way ends at once.
    void Terminate();
    void ThreadTerminate();
    void WaitFor();
    const std::string& EventName() const { return FEventName; }

private:
    bool Cancelled() const { return FTerminated.load(); }
    void Wait(uint32_t ms);
    void Warn(int32_t minutes, uint32_t target);
    void Notify(uint32_t seconds, uint32_t delay, uint32_t target);

    int32_t FSessionLimit;
    int32_t FAlertInterval;
    bool FHideTimer;
    std::string FHostname;
    std::string FEventName;
    TSessionLimitDeps FDeps;
    std::atomic<bool> FTerminated{false};
    TEvent FEvent;
    std::thread FThread;
};

// At most one countdown at a time; a new limit replaces the running one.
class TSessionLimitManager {
public:
    explicit TSessionLimitManager(TSessionLimitDeps deps = {}) : FDeps(std::move(deps)) {}
    ~TSessionLimitManager();
    void StartSessionLimitThread(int32_t ASessionLimit, int32_t AnAlertInterval, bool AHideTimer,
                                 const std::string& Hostname);
    void StopSessionLimitThread();
    bool Running() const;

private:
    TSessionLimitDeps FDeps;
    // A start and a cancel may come from different threads at once.
    mutable std::mutex FLock;
    std::unique_ptr<TSessionLimitThread> _sessionLimitThread;
};

// Forced logout by message: a placeholder without behaviour.
class TMessageLogoutManager {
public:
    TMessageLogoutManager(std::string hostname, int32_t sessionId)
        : FHostname(std::move(hostname)), FSessionId(sessionId) {}
    const std::string& Hostname() const { return FHostname; }
    int32_t SessionId() const { return FSessionId; }

private:
    std::string FHostname;
    int32_t FSessionId;
};

}  // namespace qz
