#include "sessions/SessionLimits.h"

#include "common/Utils.h"
#include "platform/Registry.h"
#include "sessions/PowerUtils.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

// A countdown run on virtual time: what it did, at which minute.
class SessionLimitTest : public qztest::PlatformTest {
protected:
    TSessionLimitDeps Deps(uint32_t target = 7) {
        TSessionLimitDeps d;
        d.ResolveTarget = [target](const std::string&) { return target; };
        d.ShowMessage = [this](const std::string& m, const std::string& t, const std::string& h, int32_t id) {
            const size_t at = m.find(" in ");
            Record("warn" + m.substr(at + 3, m.find(" minutes") - at - 3) + " " + t + " " + h + " " +
                   std::to_string(id));
        };
        d.StartNotifier = [this](uint32_t s, uint32_t delay, uint32_t id) {
            Record("display " + std::to_string(s) + "/" + std::to_string(delay) + " " + std::to_string(id));
        };
        d.LogOff = [this](uint32_t id) {
            Record("logoff " + std::to_string(id));
            return true;
        };
        d.Wait = [this](TEvent&, uint32_t ms) {
            if (cancelled) return;
            if (cancelAtMs && nowMs + ms >= cancelAtMs) {
                nowMs = cancelAtMs;
                cancelled = true;
                thread->Terminate();
                return;
            }
            nowMs += ms;
        };
        return d;
    }
    std::vector<std::string> Run(int32_t L, int32_t A, bool hide = false, uint32_t target = 7) {
        events.clear();
        nowMs = 0;
        cancelled = false;
        thread = std::make_unique<TSessionLimitThread>(L, A, hide, "PC-7", Deps(target));
        thread->Execute();
        thread.reset();
        return events;
    }
    void Record(const std::string& what) {
        const uint32_t minutes = static_cast<uint32_t>(nowMs / 60000);
        events.push_back(std::to_string(minutes) + ": " + what);
    }
    std::vector<std::string> events;
    uint64_t nowMs = 0;
    uint64_t cancelAtMs = 0;
    bool cancelled = false;
    std::unique_ptr<TSessionLimitThread> thread;
};

TEST_F(SessionLimitTest, TimelinesOfWarningsAndTheLogoff) {
    using V = std::vector<std::string>;
    struct Case {
        int32_t L, A;
        V expected;
    };
    const Case cases[] = {
        {5, 2, V{"0: display 300/5 7", "3: display 120/0 7", "3: warn 2 Tallisto Client PC-7 7", "4: display 60/0 7",
                 "4: warn 1 Tallisto Client PC-7 7", "5: logoff 7"}},
        {5, 1, V{"0: display 300/5 7", "4: display 60/0 7", "4: warn 1 Tallisto Client PC-7 7", "5: logoff 7"}},
        {5, 0, V{"0: display 300/5 7", "5: logoff 7"}},
        {2, 10, V{"0: display 120/5 7", "1: display 60/0 7", "1: warn 1 Tallisto Client PC-7 7", "2: logoff 7"}},
        {0, 2, V{}},
        {-3, 0, V{}},
        // Beyond thirty days the limit is thirty days, not a wrapped wait.
        {100000, 0, V{"0: display 2592000/5 7", "43200: logoff 7"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Run(c.L, c.A), c.expected) << c.L << "/" << c.A;
    EXPECT_TRUE(log->Has("Session limit thread start working"));
    EXPECT_TRUE(log->Has("Session limit thread end working"));
    EXPECT_TRUE(log->Has("Session limit thread initiate logout for session with id 7"));

    // A hidden timer starts no display at the beginning; warnings still come.
    EXPECT_EQ(Run(5, 1, true), (V{"4: display 60/0 7", "4: warn 1 Tallisto Client PC-7 7", "5: logoff 7"}));
    // Without a session there is nothing to log off (the system would take the agent's own).
    EXPECT_EQ(Run(1, 0, true, TPowerUtils::NoSession), V{});
    EXPECT_TRUE(log->Has("Session limit thread: no session to log off"));
}

TEST_F(SessionLimitTest, ACancelledCountdownWarnsAndLogsOffNoMore) {
    cancelAtMs = 4 * 60000 + 30000;  // during the last minute
    EXPECT_EQ(Run(5, 2), (std::vector<std::string>{"0: display 300/5 7", "3: display 120/0 7",
                                                   "3: warn 2 Tallisto Client PC-7 7", "4: display 60/0 7",
                                                   "4: warn 1 Tallisto Client PC-7 7"}));
    cancelAtMs = 60000;  // before the first warning
    EXPECT_EQ(Run(5, 2), (std::vector<std::string>{"0: display 300/5 7"}));
}

TEST_F(SessionLimitTest, TheManagerKeepsOneCountdownAndCancelsIt) {
    std::atomic<int> logoffs{0};
    TSessionLimitDeps d;
    d.ResolveTarget = [](const std::string&) { return 3u; };
    d.StartNotifier = [](uint32_t, uint32_t, uint32_t) {};
    d.LogOff = [&](uint32_t) { return ++logoffs, true; };
    {
        TSessionLimitManager manager(d);
        manager.StartSessionLimitThread(60, 5, false, "");  // real waits: an hour
        EXPECT_TRUE(manager.Running());
        manager.StartSessionLimitThread(30, 0, false, "");  // replaces it at once
        manager.StopSessionLimitThread();
        EXPECT_FALSE(manager.Running());
        manager.StopSessionLimitThread();  // nothing to cancel
        manager.StartSessionLimitThread(45, 0, false, "");
    }  // the manager's end cancels the countdown too
    EXPECT_EQ(logoffs.load(), 0);
}

// The shell (Explorer) running in session 4.
void StageShellInSession4() {
    platform::reg::SetString({platform::reg::Hive::LocalMachine,
                              "Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon", platform::reg::View::Default},
                             "Shell", "Explorer.exe");
    platform::fake::W().sessions.push_back({});
    platform::fake::W().sessions.back().entry.id = 4;
    qztest::StageProcess(40, "C:\\Windows\\explorer.exe", 4, 0);
}

// A display start waits out its delay on a thread of its own; the service's
// stop cuts that wait short, so no display starts after the service is gone.
TEST_F(SessionLimitTest, AStopEndsDisplayStartsStillWaiting) {
    StageShellInSession4();
    TApplicationUtils::StartSLNotifier(300, 1, 4);
    const auto t0 = std::chrono::steady_clock::now();
    TApplicationUtils::StopSLNotifiers();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(W().startedAsUser.empty());
}

TEST_F(SessionLimitTest, TheDisplayStartsAsTheShellsUserUnlessSwitchedOff) {
    StageShellInSession4();
    qztest::StageProcess(41, "C:\\Windows\\explorer.exe", 5, 0);
    W().namedEvents["Global\\{726AF62D-BA49-4489-BF4F-6986435FCF9C}4"] = false;
    TApplicationUtils::RunSLNotifier(300, 0, 4);
    ASSERT_EQ(W().startedAsUser.size(), 1u);
    EXPECT_EQ(W().startedAsUser[0].logonPid, 40u);
    EXPECT_EQ(W().startedAsUser[0].app, "C:\\Program Files\\Tallisto\\DOZudezoz.exe");
    EXPECT_EQ(W().startedAsUser[0].commandLine, "300");
    // On the desktop the user sees, not the service's own station.
    EXPECT_EQ(W().startedAsUser[0].desktop, "winsta0\\default");
    EXPECT_FALSE(W().startedAsUser[0].uiAccess);
    EXPECT_EQ(W().pulsedEvents, std::vector<std::string>{"Global\\{726AF62D-BA49-4489-BF4F-6986435FCF9C}4"});
    TApplicationUtils::RunSLNotifier(300, 0, 9);
    EXPECT_TRUE(log->Has("Shell not found"));
    TApplicationUtils::RunSLNotifier(300, 0, TPowerUtils::NoSession);
    EXPECT_EQ(W().startedAsUser.size(), 1u);

    // Switched off: no display thread at all.
    const platform::reg::Key key = AgentKey();
    platform::reg::SetString(key, "DisableSLNotifier", "1");
    TApplicationUtils::StartSLNotifier(300, 0, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(W().startedAsUser.size(), 1u);
}

}  // namespace
