#include "monitor/LicenseManager.h"

#include <algorithm>
#include <map>

#include "common/Logger.h"
#include "common/MainThread.h"
#include "common/WinUtils.h"
#include "platform/Processes.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserSessions.h"

namespace qz {

namespace {

std::string JoinIds(const std::vector<int32_t>& ids) {
    std::string out;
    for (size_t i = 0; i < ids.size(); ++i) out += (i ? ", " : "") + std::to_string(ids[i]);
    return out;
}

// Appends v unless it repeats the last entry.
void AddOnce(std::vector<int32_t>& to, int32_t v) {
    if (to.empty() || to.back() != v) to.push_back(v);
}

}  // namespace

TMeteringChange CompareRunningApps(std::vector<int32_t>& previous, std::vector<int32_t>& now) {
    std::sort(previous.begin(), previous.end());
    std::sort(now.begin(), now.end());
    TMeteringChange change;
    size_t i = 0, j = 0;
    while (i < previous.size() && j < now.size()) {
        const int32_t a = previous[i], b = now[j];
        if (a == b) {
            ++i, ++j;
        } else if (a < b) {
            AddOnce(change.finished, a);
            ++i;
        } else {
            AddOnce(change.started, b);
            ++j;
        }
        // A repeated id counts once.
        while (i > 0 && i < previous.size() && previous[i] == previous[i - 1]) ++i;
        while (j > 0 && j < now.size() && now[j] == now[j - 1]) ++j;
    }
    for (; i < previous.size(); ++i) AddOnce(change.finished, previous[i]);
    for (; j < now.size(); ++j) AddOnce(change.started, now[j]);
    return change;
}

bool MeterScope(TProcessList& processes, TLicenseManagerData& data, const std::string& scopeText,
                TGuardEventsInfo& guardEvents) {
    std::lock_guard<std::mutex> lists(data.FCSServerLists);
    std::lock_guard<std::mutex> running(data.FCSRunningApps);
    std::vector<int32_t> now;
    for (const auto& p : processes)
        if (const TProcessTemplate* t = FindApplication(data.FObservedApps, p)) now.push_back(t->Id());
    std::vector<int32_t>& previous = data.FRunningObservedApps;
    const TMeteringChange change = CompareRunningApps(previous, now);
    if (!change.started.empty()) TLogger::Fine("Started Apps " + JoinIds(change.started));
    if (!change.finished.empty()) TLogger::Fine("Finished Apps " + JoinIds(change.finished));
    for (const int32_t id : change.started) guardEvents.AddAppEvent("app_start", id, scopeText);
    for (const int32_t id : change.finished) guardEvents.AddAppEvent("app_stop", id, scopeText);
    if (TLogger::GetMainLevel() > 5 && change.changed()) {
        TLogger::Finest("Fighting with a big thick Gluk");
        TBeholder::printProcesses(processes);
        TLogger::Finest("Previous running applications: " + JoinIds(previous));
        TLogger::Finest("Now running applications: " + JoinIds(now));
        TLogger::Finest("Version cache size " + std::to_string(TBeholder::GetVersionCacheSize()));
    }
    previous = std::move(now);
    return change.changed();
}

TLicenseManagerThread::TLicenseManagerThread(Deps deps) : FDeps(std::move(deps)) {
    if (!FDeps.Snapshot) FDeps.Snapshot = [] { return TBeholder::GetProcessList(); };
}

TLicenseManagerThread::~TLicenseManagerThread() {
    Terminate();
    WaitFor();
}

void TLicenseManagerThread::Resume() {
    if (!FThread.joinable() && !FTerminated) FThread = std::thread([this] { Execute(); });
}

void TLicenseManagerThread::RunOnMainLoop() {
    TLogger::Fine("License Manager has been launched");
    TMainThreadQueue::Instance().Schedule([this, state = FLoop, period = FDeps.PeriodMs]() -> uint32_t {
        {
            std::lock_guard<std::mutex> hold(state->Lock);
            if (state->Terminated) return 0;  // `this` may be gone
            state->Running = true;
        }
        RunOnce();
        std::lock_guard<std::mutex> hold(state->Lock);
        state->Running = false;
        state->Idle.notify_all();
        return state->Terminated ? 0 : period;
    });
}

void TLicenseManagerThread::Terminate() {
    FTerminated = true;
    FStopWake.Set();
    std::lock_guard<std::mutex> hold(FLoop->Lock);
    FLoop->Terminated = true;
}

void TLicenseManagerThread::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
    // A pass on the main loop is short local work; on the loop itself none is under way here.
    std::unique_lock<std::mutex> hold(FLoop->Lock);
    FLoop->Idle.wait(hold, [this] { return !FLoop->Running; });
}

bool TLicenseManagerThread::RunOnce() {
    bool changed = false;
    try {
        TProcessList snapshot = FDeps.Snapshot();
        if (FDeps.Sessions) {
            std::vector<uint32_t> ids;
            FDeps.Sessions->GetSessionIdsList(ids);
            // Processes of sessions the list doesn't know are not metered.
            std::map<uint32_t, TProcessList> bySession;
            for (const uint32_t id : ids) bySession[id];
            for (auto& p : snapshot) {
                auto it = bySession.find(p.FSessionId);
                if (it != bySession.end()) it->second.push_back(std::move(p));
            }
            snapshot.clear();
            for (const uint32_t id : ids) {
                const TUserSessionPtr session = FDeps.Sessions->GetUserSessionBySessionId(id);
                if (!session) continue;
                TLicenseManagerData& data = session->FHostname.empty() ? *FDeps.StationData : *session->FLMData;
                changed |= MeterScope(bySession[id], data, session->ScopeText(), *FDeps.GuardEvents);
            }
        } else {
            changed = MeterScope(snapshot, *FDeps.StationData, std::string(), *FDeps.GuardEvents);
        }
        if (changed) {
            TLogger::Fine("Controlled app was started/finished");
            if (FDeps.News) FDeps.News->Pulse();
        }
    } catch (const std::exception& e) {
        TLogger::Throwing(std::string("Error in License Manager ") + e.what());
    }
    return changed;
}

void TLicenseManagerThread::Execute() {
    TLogger::Fine("License Manager has been launched");
    while (!FTerminated) {
        RunOnce();
        if (FTerminated) break;
        FStopWake.WaitFor(FDeps.PeriodMs);
    }
}

bool TLicenseManagerThread::IsCurrentUserAdmin(std::string& user) {
    const TProcessList snapshot = TBeholder::GetProcessList();
    user = TBeholder::GetInteractiveUsername(snapshot);
    if (user.empty()) return false;
    const auto shell = TBeholder::GetShellHandle(snapshot);
    if (!shell) return false;
    const bool admin = TWinUtils::IsAdmin(shell);
    platform::proc::CloseProcess(shell);
    return admin;
}

}  // namespace qz
