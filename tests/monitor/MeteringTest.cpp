#include "monitor/LicenseManager.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "common/MainThread.h"

#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"
#include "sessions/UserSessions.h"
#include "tests/support/JournalView.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::AppEvents;
using Ids = std::vector<int32_t>;
using Strings = std::vector<std::string>;

namespace {

TEST(CompareRunningApps, SortedMergeCountsEachIdOnce) {
    struct Case {
        Ids previous, now, started, finished;
    };
    const Case cases[] = {
        {{}, {}, {}, {}},
        {{}, {7, 7, 3}, {3, 7}, {}},
        {{7}, {7, 7}, {}, {}},        // a second process of a running application
        {{7, 7}, {7}, {}, {}},        // one of two ends
        {{7, 7}, {}, {}, {7}},        // the last one ends
        {{1, 2, 2, 5}, {2, 3, 3, 5, 9, 9}, {3, 9}, {1}},
        {{4, 4, 6, 6, 8}, {1, 1, 6}, {1}, {4, 8}},
        {{-2, 0}, {-2, 0}, {}, {}},
    };
    for (const Case& c : cases) {
        Ids previous = c.previous, now = c.now;
        const TMeteringChange change = CompareRunningApps(previous, now);
        EXPECT_EQ(change.started, c.started);
        EXPECT_EQ(change.finished, c.finished);
        EXPECT_TRUE(std::is_sorted(now.begin(), now.end()));
    }
}

// Templates over the image path only; the other patterns fit anything.
TProcessTemplateList Templates(const std::vector<std::pair<int32_t, Strings>>& apps) {
    TProcessTemplateList list;
    for (const auto& [id, paths] : apps) {
        auto t = std::make_unique<TProcessTemplate>();
        t->SetId(id);
        for (const auto& path : paths) t->AddSimpleTemplate().SetPathTemplate(path);
        list.push_back(std::move(t));
    }
    return list;
}

TProcessInfo Process(uint32_t pid, const std::string& path, uint32_t session = 1) {
    TProcessInfo p;
    p.FPId = pid;
    p.FProcessPath = path;
    p.FSessionId = session;
    return p;
}

class MeteringTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        journal.UserChanged("", "CORP\\jane", false, "");
        journal.Receipting(1);
    }
    bool Pass(TProcessList processes, const std::string& scope = "") {
        return MeterScope(processes, data, scope, journal);
    }
    TUserCache users{false};
    TGuardEventsInfo journal{users, false};
    TLicenseManagerData data;
};

TEST_F(MeteringTest, OneStartPerApplicationAndAStopWhenItsLastProcessEnds) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}, {8, {"*\\paint.exe"}}}));
    const auto calcA = Process(100, "C:\\Tools\\calc.exe"), calcB = Process(101, "C:\\Tools\\CALC.EXE");
    EXPECT_TRUE(Pass({calcA}));
    EXPECT_FALSE(Pass({calcA, calcB}));
    EXPECT_FALSE(Pass({calcB}));
    EXPECT_EQ(data.RunningAppsCopy(), Ids{7});
    EXPECT_TRUE(Pass({Process(102, "C:\\Other\\notepad.exe")}));  // fits nothing
    EXPECT_EQ(AppEvents(journal), (Strings{"app_start 7 0", "app_stop 7 0"}));
    EXPECT_TRUE(log->Has("Started Apps 7"));
    EXPECT_TRUE(log->Has("Finished Apps 7"));
}

TEST_F(MeteringTest, AProcessCountsForTheFirstTemplateThatFits) {
    data.SetObservedApps(Templates({{9, {"c:\\a\\*.exe;c:\\b\\*.exe"}}, {3, {"*"}}, {5, {"*\\calc.exe"}}}));
    EXPECT_TRUE(Pass({Process(100, "C:\\B\\calc.exe"), Process(101, "D:\\calc.exe"), Process(102, "C:\\A\\x.exe")}));
    EXPECT_EQ(data.RunningAppsCopy(), (Ids{3, 9, 9}));
    EXPECT_EQ(AppEvents(journal), (Strings{"app_start 3 0", "app_start 9 0"}));
}

TEST_F(MeteringTest, ChangingTheListStopsWhatIsNoLongerObserved) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}, {8, {"*\\paint.exe"}}}));
    const TProcessList both = {Process(100, "C:\\calc.exe"), Process(101, "C:\\paint.exe")};
    Pass(both);
    data.SetObservedApps(Templates({{8, {"*\\paint.exe"}}}));
    EXPECT_TRUE(Pass(both));
    data.SetObservedApps({});
    EXPECT_TRUE(Pass(both));
    EXPECT_EQ(AppEvents(journal),
              (Strings{"app_start 7 0", "app_start 8 0", "app_stop 7 0", "app_stop 8 0"}));
    EXPECT_TRUE(data.RunningAppsCopy().empty());
}

TEST_F(MeteringTest, DiagnosticBlockOnlyAtTheFinestLevel) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}}));
    TLogger::SetMainLevel(logFiner);
    Pass({Process(100, "C:\\calc.exe")});
    EXPECT_FALSE(log->Has("Fighting with a big thick Gluk"));
    TLogger::SetMainLevel(logFinest);
    Pass({});
    EXPECT_TRUE(log->Has("Fighting with a big thick Gluk"));
    EXPECT_TRUE(log->Has("Previous running applications: 7"));
    EXPECT_TRUE(log->Has("Now running applications: "));
}

TEST_F(MeteringTest, HugeTemplateListsAndLongValuesAreMeteredInFull) {
    TProcessTemplateList list;
    const std::string longPattern = std::string(5000, 'a') + "*" + std::string(3000, '?') + "*x.exe";
    for (int i = 0; i < 3000; ++i) {
        auto t = std::make_unique<TProcessTemplate>();
        t->SetId(i);
        t->AddSimpleTemplate().SetPathTemplate(i == 2999 ? "*\\last.exe" : longPattern + std::to_string(i));
        list.push_back(std::move(t));
    }
    data.SetObservedApps(std::move(list));
    const std::string longPath = "C:\\" + std::string(20000, 'a') + "\\last.exe";
    EXPECT_TRUE(Pass({Process(100, longPath), Process(101, "C:\\" + std::string(9000, 'a') + "x.exe")}));
    EXPECT_EQ(data.RunningAppsCopy(), Ids{2999});
}

// ---- the thread's loop over scopes ----

class MeteringLoopTest : public MeteringTest {
protected:
    TLicenseManagerThread Thread(TUserSessionsList* sessions) {
        TLicenseManagerThread::Deps deps;
        deps.StationData = &data;
        deps.GuardEvents = &multiJournal;
        deps.News = &news;
        deps.Sessions = sessions;
        deps.Snapshot = [this] {
            if (beforeSnapshot) beforeSnapshot();
            return snapshot;
        };
        deps.PeriodMs = 20;
        return TLicenseManagerThread(deps);
    }
    void StageSession(uint32_t id, const std::string& user, const std::string& client) {
        platform::fake::FakeSession s;
        s.entry.id = id;
        s.client = client;
        W().sessions.push_back(s);
        sessions.AddUserSession(id, user);
    }
    TUserCache multiUsers{true};
    TGuardEventsInfo multiJournal{multiUsers, true};
    TEvent news;
    TProcessList snapshot;
    std::function<void()> beforeSnapshot;
    TUserSessionsList sessions{TStationType::stTerminalServer,
                               [] { return Templates({{7, {"*\\calc.exe"}}, {8, {"*\\paint.exe"}}}); }};
};

TEST_F(MeteringLoopTest, EachSessionIsItsOwnScope) {
    StageSession(2, "CORP\\jane", "PC-01");
    StageSession(3, "CORP\\bob", "PC-02");
    StageSession(4, "CORP\\eve", "");  // no host name: metered against the station's lists
    multiJournal.UserChangedWithHostname("", "CORP\\jane", false, "PC-01");
    multiJournal.UserChangedWithHostname("", "CORP\\bob", false, "PC-02");
    multiJournal.Receipting(2);
    data.SetObservedApps(Templates({{8, {"*\\paint.exe"}}}));
    snapshot = {Process(100, "C:\\calc.exe", 2), Process(101, "C:\\calc.exe", 3), Process(102, "C:\\calc.exe", 9),
                Process(103, "C:\\paint.exe", 4), Process(104, "C:\\calc.exe", 4)};
    auto thread = Thread(&sessions);
    EXPECT_TRUE(thread.RunOnce());
    // Session 9 isn't listed: its process isn't metered anywhere.
    EXPECT_EQ(AppEvents(multiJournal), (Strings{"app_start 7 0", "app_start 7 1", "app_start 8 -1"}));
    EXPECT_EQ(sessions.GetUserSessionBySessionId(2)->FLMData->RunningAppsCopy(), Ids{7});
    EXPECT_EQ(data.RunningAppsCopy(), Ids{8});
    EXPECT_TRUE(log->Has("Controlled app was started/finished"));
    EXPECT_FALSE(thread.RunOnce());
}

TEST_F(MeteringLoopTest, ASessionThatVanishesMidPassIsSkipped) {
    StageSession(2, "CORP\\jane", "PC-01");
    StageSession(3, "CORP\\bob", "PC-02");
    snapshot = {Process(100, "C:\\calc.exe", 2), Process(101, "C:\\calc.exe", 3)};
    beforeSnapshot = [this] { sessions.RemoveUserSession(sessions.GetUserSessionBySessionId(2)); };
    auto thread = Thread(&sessions);
    // The ids are taken after the snapshot, so session 2 is simply gone.
    EXPECT_TRUE(thread.RunOnce());
    EXPECT_EQ(AppEvents(multiJournal).size(), 1u);
}

TEST_F(MeteringLoopTest, SingleUserStationMetersTheWholeSnapshotAndGoesOnAfterErrors) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}}));
    snapshot = {Process(100, "C:\\calc.exe", 1), Process(101, "C:\\calc.exe", 5)};
    auto thread = Thread(nullptr);
    EXPECT_TRUE(thread.RunOnce());
    EXPECT_EQ(data.RunningAppsCopy(), (Ids{7, 7}));
    beforeSnapshot = [] { throw std::runtime_error("snapshot broke"); };
    EXPECT_FALSE(thread.RunOnce());
    EXPECT_TRUE(log->Has("Error in License Manager snapshot broke"));
}

TEST_F(MeteringLoopTest, ThreadMetersUntilTerminatedAndWakesTheHeartbeat) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}}));
    // Every pass changes something, so a waiter that comes late still wakes.
    int passes = 0;
    beforeSnapshot = [&] {
        snapshot.clear();
        if (++passes % 2) snapshot.push_back(Process(100, "C:\\calc.exe"));
    };
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = news.WaitFor(5000); });
    auto thread = Thread(nullptr);
    thread.Resume();
    waiter.join();
    EXPECT_TRUE(woke);
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(log->Has("License Manager has been launched"));
}

// The agent meters on its main loop instead of a thread of its own: every
// pass runs there, the heartbeat still hears of changes, and after Terminate
// no pass begins (the job may outlive the object on the loop).
TEST_F(MeteringLoopTest, OnTheMainLoopPassesRunThereUntilTerminated) {
    data.SetObservedApps(Templates({{7, {"*\\calc.exe"}}}));
    std::mutex idsLock;
    std::set<std::thread::id> passThreads;
    std::atomic<int> passes{0};
    beforeSnapshot = [&] {
        {
            std::lock_guard<std::mutex> hold(idsLock);
            passThreads.insert(std::this_thread::get_id());
        }
        snapshot.clear();
        if (++passes % 2) snapshot.push_back(Process(100, "C:\\calc.exe"));
    };
    auto& q = TMainThreadQueue::Instance();
    std::thread loop([&] { q.Run(nullptr); });
    const std::thread::id loopId = loop.get_id();
    {
        auto metering = Thread(nullptr);
        metering.RunOnMainLoop();
        EXPECT_TRUE(news.WaitFor(5000));
        EXPECT_TRUE(qztest::WaitUntil([&] { return passes >= 3; }));
        metering.Terminate();
        metering.WaitFor();
    }
    const int afterTerminate = passes;
    q.Post([&] { q.Quit(); });
    loop.join();
    EXPECT_EQ(passes.load(), afterTerminate);
    EXPECT_EQ(passThreads, (std::set<std::thread::id>{loopId}));
    EXPECT_TRUE(log->Has("License Manager has been launched"));
    q.BindToCurrentThread();
}

// The heartbeat, a command's control state, session changes and the
// metering pass share these lists; run under the thread sanitizer this
// shows a lock-order or data race.
TEST_F(MeteringLoopTest, ConcurrentHeartbeatCommandsSessionsAndMetering) {
    TAppStateContext ctx;
    ctx.GuardEvents = &multiJournal;
    ctx.UserCache = &multiUsers;
    ctx.SupportMultipleSessions = true;
    TApplicationState state(ctx);
    state.Context().SaveSessions = [this](pugi::xml_node& root) { sessions.SaveToXML(root); };
    state.Context().AppCtrlStates = [&](const pugi::xml_node& n) {
        sessions.ApplyAppCtrlStates(n, state.AppCacheCopy());
    };
    StageSession(2, "CORP\\jane", "PC-01");
    StageSession(3, "CORP\\bob", "PC-02");
    snapshot = {Process(100, "C:\\calc.exe", 2), Process(101, "C:\\paint.exe", 3), Process(102, "C:\\calc.exe", 1)};
    TLicenseManagerThread::Deps deps;
    deps.StationData = &state.LMData();
    deps.GuardEvents = &multiJournal;
    deps.Sessions = &sessions;
    deps.Snapshot = [this] { return snapshot; };
    TLicenseManagerThread meter(deps);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!stop) meter.RunOnce();
    });
    threads.emplace_back([&] {
        bool noChange;
        while (!stop) state.CreateResponse(noChange);
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            const std::string apps = i % 2 ? "<application id=\"7\"><path>*\\calc.exe</path><company>*</company>"
                                             "<version>*</version><name>*</name></application>"
                                           : "";
            pugi::xml_document doc;
            doc.load_string(("<control_state><apps><app_cache modifytime=\"" + std::to_string(i) + "\">" + apps +
                             "</app_cache></apps><app_ctrl_states><app_ctrl_state hostname=\"PC-01\"/>"
                             "<app_ctrl_state session_id=\"3\"/></app_ctrl_states></control_state>")
                                .c_str());
            std::lock_guard<std::recursive_mutex> lock(state.StateLock());
            state.ProcessControlState(doc.document_element(), true);
        }
    });
    threads.emplace_back([&] {
        for (uint32_t i = 10; !stop; ++i) {
            if (auto s = sessions.GetUserSessionBySessionId(i - 1)) {
                s->StopApplications(multiJournal);
                sessions.RemoveUserSession(s);
            }
            sessions.AddUserSession(i, "CORP\\eve");
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& t : threads) t.join();
    SUCCEED();
}

}  // namespace
