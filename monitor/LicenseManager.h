#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Event.h"
#include "monitor/Beholder.h"
#include "monitor/LicenseManagerData.h"

namespace qz {

class TGuardEventsInfo;
class TUserSessionsList;

// What one metering pass found: the ids that started and finished, ascending, once each.
struct TMeteringChange {
    std::vector<int32_t> started;
    std::vector<int32_t> finished;
    bool changed() const { return !started.empty() || !finished.empty(); }
};

// Compares the ids running before with those running now (both sorted in
// place); repeats count once.
TMeteringChange CompareRunningApps(std::vector<int32_t>& previous, std::vector<int32_t>& now);

// One pass over a scope: which observed applications run among the
// processes, the journal told of every start and stop. Holds the data's
// template lock, then its running lock; never the application state's.
// Returns whether anything started or finished.
bool MeterScope(TProcessList& processes, TLicenseManagerData& data, const std::string& scopeText,
                TGuardEventsInfo& guardEvents);

// The usage metering: every period, a snapshot metered per scope (the whole
// station, or each user session of a multi-session host). The agent runs the
// passes on its main loop (a pass is short local work, and a thread costs
// about a megabyte under Wine); Resume gives them a thread of their own.
class TLicenseManagerThread {
public:
    struct Deps {
        TLicenseManagerData* StationData = nullptr;
        TGuardEventsInfo* GuardEvents = nullptr;
        TEvent* News = nullptr;                  // pulsed when anything changed
        TUserSessionsList* Sessions = nullptr;   // set on multi-session hosts only
        std::function<TProcessList()> Snapshot;  // TBeholder::GetProcessList unless a test replaces it
        uint32_t PeriodMs = 3000;
    };
    explicit TLicenseManagerThread(Deps deps);
    ~TLicenseManagerThread();
    TLicenseManagerThread(const TLicenseManagerThread&) = delete;
    TLicenseManagerThread& operator=(const TLicenseManagerThread&) = delete;

    // Created suspended; Resume starts the loop on a thread of its own.
    void Resume();
    // The passes as a job of the main loop (TMainThreadQueue), the first as soon as it is free.
    void RunOnMainLoop();
    // Asks the loop to end; a pass under way finishes first, the sleep is cut short.
    void Terminate();
    // Joins the thread, or waits for a pass under way on the main loop.
    void WaitFor();
    // One loop body without its sleep; returns whether anything changed.
    bool RunOnce();

    // Whether the user running the shell is an administrator; that user goes to `user`.
    static bool IsCurrentUserAdmin(std::string& user);

private:
    void Execute();

    // Shared with the main loop's job, which may outlive this object on the loop.
    struct TLoopState {
        std::mutex Lock;
        std::condition_variable Idle;
        bool Terminated = false;
        bool Running = false;  // a pass under way on the main loop
    };

    Deps FDeps;
    std::shared_ptr<TLoopState> FLoop = std::make_shared<TLoopState>();
    std::atomic<bool> FTerminated{false};
    TEvent FStopWake;
    std::thread FThread;
};

}  // namespace qz
