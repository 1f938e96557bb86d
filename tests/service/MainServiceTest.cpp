#include <atomic>
#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <functional>
#include <set>
#include <thread>

#include "tests/support/JournalView.h"
#include "tests/support/TestSupport.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "common/Communication.h"
#include "common/HttpClient.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "protocol/PingServer.h"
#include "platform/Registry.h"
#include "service/MainService.h"
#include "sessions/UserSessions.h"

using namespace qz;
using platform::fake::FakeSession;
using qztest::PlatformTest;

// Stands in for the guard server: nobody is registered, every request is recorded.
class RecordingTransport : public THttpTransport {
public:
    std::mutex m;
    std::vector<std::string> posts;
    THttpReply Request(const std::string& method, const std::string& url, const std::string& body, uint32_t,
                       uint32_t) override {
        std::lock_guard<std::mutex> lock(m);
        if (method == "POST") posts.push_back(body);
        THttpReply r;
        r.ok = true;
        r.status = 200;
        r.body = "\xF0";
        return r;
    }
};

class MainServiceTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        transport = std::make_shared<RecordingTransport>();
        TMainService::SetTransportForTests(transport);
    }
    void TearDown() override {
        TMainService::SetTransportForTests(nullptr);
        TMainService::ReleaseInstance();
        PlatformTest::TearDown();
    }
    std::shared_ptr<RecordingTransport> transport;
    void AddSession(uint32_t id, uint32_t state, std::optional<std::string> domain, std::optional<std::string> user,
                    bool admin = false, bool token = true) {
        FakeSession s;
        s.entry = {id, "Console", state};
        s.domain = std::move(domain);
        s.user = std::move(user);
        s.tokenIsAdmin = admin;
        s.hasToken = token;
        W().sessions.push_back(s);
    }
};

TEST_F(MainServiceTest, OnlyReachableThroughInstance) {
    try {
        TMainService direct;
        FAIL() << "constructed directly";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Access class TMainService through Instance only");
    }
    try {
        TMainService::AccessInstance(3);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Illegal request 3 in AccessInstance");
    }
    EXPECT_EQ(TMainService::AccessInstance(0), nullptr);
}

TEST_F(MainServiceTest, ConcurrentFirstUseBuildsOneInstance) {
    std::vector<std::thread> threads;
    std::mutex m;
    std::set<TMainService*> seen;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            TMainService* p = TMainService::Instance();
            std::lock_guard<std::mutex> l(m);
            seen.insert(p);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen.size(), 1u);
    int created = 0;
    for (auto& l : log->Lines()) created += l == "Creating everything";
    EXPECT_EQ(created, 1);
    EXPECT_EQ(TMainService::AccessInstance(0), *seen.begin());
    TMainService::ReleaseInstance();
    EXPECT_EQ(TMainService::AccessInstance(0), nullptr);
}

TEST_F(MainServiceTest, ConstructionLogsInOrderAndWritesArso) {
    W().versionStrings[W().modulePath]["FileVersion"] = "5.4.3.2";
    TMainService* ms = TMainService::Instance();
    const std::vector<std::string> expected = {
        "Creating everything", "Support multiple sessions - False", "Custom logon enabled -False",
        "Finished creating everything ", "Guard Version is 5.4.3.2"};
    int at = 0;
    for (const auto& line : expected) {
        const int found = log->Find(line, at);
        EXPECT_GE(found, at) << line;
        at = found < 0 ? at : found;
    }
    const auto lines = log->Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("Event created ", 0), 0u);
    EXPECT_TRUE(ms->Stoped());
    EXPECT_EQ(ms->OSVersion(), "10.0.19045");
    EXPECT_TRUE(ms->Is64BitOS());
    EXPECT_EQ(ms->VDIType(), "none");
    auto arso = platform::reg::QueryValue(
        {platform::reg::Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System"},
        "DisableAutomaticRestartSignOn");
    ASSERT_TRUE(arso);
    EXPECT_EQ(arso->number, 1u);
    EXPECT_EQ(platform::sys::PeekNamedEvent(TMainService::StartedEventName), false);
}

TEST_F(MainServiceTest, ArsoFailureIsLoggedAndConstructionGoesOn) {
    W().registryReadOnly = true;
    ASSERT_NE(TMainService::Instance(), nullptr);
    EXPECT_TRUE(log->Has("Error writing ARSO parameter to registry - Access is denied"));
    EXPECT_TRUE(log->Has("Finished creating everything "));
}

TEST_F(MainServiceTest, StartLogsOnTheConsoleUserAndSignalsStarted) {
    AddSession(0, 4, "", "");
    AddSession(1, 0, "LAB", "student", true);
    TMainService* ms = TMainService::Instance();
    ms->Start();
    EXPECT_FALSE(ms->Stoped());
    for (const char* line : {"Starting everything", "!Session id=1", "Somebody logon. Session Id=1",
                             "Logon:  FQN=LAB\\student", "Login handler login: LAB\\student isadmin True",
                             "All launching has finished"})
        EXPECT_TRUE(log->Has(line)) << line;
    EXPECT_EQ(platform::sys::PeekNamedEvent(TMainService::StartedEventName), true);
    EXPECT_TRUE(W().tokens.empty());  // the session token was closed
}

TEST_F(MainServiceTest, NothingIsReadFromADataFolderThatCouldNotBeSecured) {
    for (const bool secured : {true, false}) {
        SCOPED_TRACE(secured ? "secured" : "not secured");
        MainServiceTest::TearDown();
        MainServiceTest::SetUp();
        // What a student could have planted: settings naming their server
        // (the file's key is fixed) and an update's outcome.
        {
            TSettings planted;
            planted.SetServerUrl("http://planted.example/korvane");
            ASSERT_TRUE(planted.SaveSettings());
        }
        TUtils::WriteRegistryKey("ServerURL", "http://genuine.lab/korvane");
        std::filesystem::create_directories(ToFsPath(GetAgentDataFolder() + "Update"));
        std::ofstream(ToFsPath(GetAgentDataFolder() + "Update\\setup.start")) << "42";
        TMainService* ms = TMainService::Instance();
        ms->SetSecuredFolders(secured, secured);
        ms->Start();
        EXPECT_EQ(ms->Settings()->ServerUrl(),
                  secured ? "http://planted.example/korvane" : "http://genuine.lab/korvane");
        EXPECT_EQ(log->Has("We are reading saved list"), secured);
        EXPECT_EQ(log->Has("Update manager load from disk"), secured);
        ms->Stop();
    }
}

TEST_F(MainServiceTest, NoLogonWithoutAUserOrToken) {
    struct Case {
        std::optional<std::string> domain, user;
        bool token;
        uint32_t state;
        const char* expectLine;
    } cases[] = {
        {"", "", true, 0, "Logon:  FQN=\\"},
        {std::nullopt, std::nullopt, true, 0, "Logon:  FQN=\\"},
        {"LAB", "bob", false, 0, "Can not get token "},
        {"LAB", "bob", true, 1, "!Session id=-1"},  // console disconnected: nobody to report
    };
    for (const auto& c : cases) {
        TMainService::ReleaseInstance();
        qz::TLogger::ResetForTests();
        platform::fake::Reset();
        log = std::make_unique<qztest::MemoryHandler>();
        AddSession(1, c.state, c.domain, c.user, false, c.token);
        TMainService* ms = TMainService::Instance();
        ms->Start();
        bool found = false;
        for (auto& l : log->Lines()) found |= l.rfind(c.expectLine, 0) == 0;
        EXPECT_TRUE(found) << c.expectLine;
        for (auto& l : log->Lines()) EXPECT_EQ(l.rfind("Login handler login", 0), std::string::npos) << l;
    }
}

TEST_F(MainServiceTest, FirstRunClearsItsValuesOnce) {
    TUtils::WriteRegistryKey("FirstRun", "1");
    TUtils::WriteRegistryKey("NoLockAtStartup", "1");
    TUtils::WriteRegistryKey("ServerURL", "http://x/server");
    TMainService::Instance()->Start();
    EXPECT_FALSE(platform::reg::QueryValue(AgentKey(), "FirstRun"));
    EXPECT_FALSE(platform::reg::QueryValue(AgentKey(), "NoLockAtStartup"));
    EXPECT_EQ(TUtils::ReadRegistryKey("ServerURL"), "http://x/server");
}

TEST_F(MainServiceTest, StartAndStopRunOnce) {
    TMainService* ms = TMainService::Instance();
    ms->Start();
    ms->Start();
    int starts = 0;
    for (auto& l : log->Lines()) starts += l == "Starting everything";
    EXPECT_EQ(starts, 1);
    ms->Stop();
    ms->Stop();
    int dying = 0;
    for (auto& l : log->Lines()) dying += l == "I am dying";
    EXPECT_EQ(dying, 1);
    EXPECT_TRUE(log->Has("I am completely dead"));
    // One stop signal, under the (empty) connection password.
    std::lock_guard<std::mutex> lock(transport->m);
    ASSERT_EQ(transport->posts.size(), 1u);
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(transport->posts[0]), {})),
              "<?xml version=\"1.0\"?><request><command><name>i_am_turning_off</name></command></request>");
    EXPECT_TRUE(log->Has("rrNotRecognizeResponse"));
    EXPECT_TRUE(ms->Stoped());
}

TEST_F(MainServiceTest, SessionChangesOnASingleUserStation) {
    AddSession(2, 0, "LAB", "ann");
    TMainService* ms = TMainService::Instance();
    ms->SessionChanged(5, 2);
    EXPECT_TRUE(log->Has("Session changed event - WTS_SESSION_LOGON (session id - 2)"));
    EXPECT_TRUE(log->Has("Login handler login: LAB\\ann isadmin False"));

    ms->SessionChanged(6, 2);
    EXPECT_TRUE(log->Has("Somebody logoffffffff 2"));
    // The journal's current user logs off, whatever the session id says.
    EXPECT_TRUE(log->Has("Login handler logout - LAB\\ann"));
    EXPECT_EQ(ms->GuardEvents()->UserName(), "");
    EXPECT_EQ(ms->GuardEvents()->PendingIds(), (std::vector<int32_t>{1, 2}));

    const size_t before = log->Lines().size();
    ms->SessionChanged(3, 2);   // remote connect: multi-session hosts only
    ms->SessionChanged(7, 2);
    ms->SessionChanged(42, 2);
    const auto lines = log->Lines();
    ASSERT_EQ(lines.size(), before + 3);
    EXPECT_EQ(lines[before], "Session changed event - WTS_REMOTE_CONNECT (session id - 2)");
    EXPECT_EQ(lines[before + 1], "Session changed event - WTS_SESSION_LOCK (session id - 2)");
    EXPECT_EQ(lines[before + 2], "Session changed event - 42 (session id - 2)");
}

TEST_F(MainServiceTest, PiecesThatFailAreLoggedAndStartGoesOn) {
    struct Case {
        const char* name;
        std::function<void(platform::fake::World&)> before, beforeStart;
        const char* line;
    } cases[] = {
        {"the started event's name is taken", [](auto& w) { w.createEventFails = true; }, nullptr,
         "Cannot create started event. Reason - Access is denied"},
        {"the first-run values can't be cleared", [](auto&) { TUtils::WriteRegistryKey("FirstRun", "1"); },
         [](auto& w) { w.registryReadOnly = true; }, "Error clearing the first-run values - Access is denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMainService::ReleaseInstance();
        qz::TLogger::ResetForTests();
        platform::fake::Reset();
        log = std::make_unique<qztest::MemoryHandler>();
        if (c.before) c.before(W());
        TMainService* ms = TMainService::Instance();
        if (c.beforeStart) c.beforeStart(W());
        ms->Start();
        EXPECT_TRUE(log->Has(c.line));
        EXPECT_TRUE(log->Has("All launching has finished"));
        ms->Stop();
        EXPECT_TRUE(log->Has("I am completely dead"));
    }
}

TEST_F(MainServiceTest, AStopBeforeStartWins) {
    TMainService* ms = TMainService::Instance();
    ms->Stop();
    ms->Start();
    EXPECT_TRUE(log->Has("Start skipped: the service is stopping"));
    EXPECT_FALSE(log->Has("Starting everything"));
    EXPECT_TRUE(ms->Stoped());
}

namespace {
// Registrations hang until cancelled (or their time is up); the stop signal is answered.
class HangingTransport : public THttpTransport {
public:
    std::mutex m;
    std::condition_variable cv;
    bool cancelled = false;
    int hanging = 0, gets = 0;
    std::vector<std::pair<uint32_t, uint32_t>> postBounds;
    THttpReply Request(const std::string& method, const std::string&, const std::string&, uint32_t connectMs,
                       uint32_t readMs) override {
        std::unique_lock<std::mutex> lock(m);
        THttpReply r;
        if (method == "POST") {
            postBounds.emplace_back(connectMs, readMs);
            r.ok = true;
            r.status = 200;
            r.body = "\xF2";
            return r;
        }
        ++gets;
        ++hanging;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::milliseconds(connectMs + readMs), [this] { return cancelled; });
        --hanging;
        r.error = cancelled ? "Request cancelled" : "Read timed out";
        return r;
    }
    void Cancel() override {
        std::lock_guard<std::mutex> lock(m);
        cancelled = true;
        cv.notify_all();
    }
};
}  // namespace

TEST_F(MainServiceTest, StopEndsAHangingExchangeAndJoinsTheHeartbeat) {
    auto hanging = std::make_shared<HangingTransport>();
    TMainService::SetTransportForTests(hanging);
    TMainService* ms = TMainService::Instance();
    ms->Start();
    {
        std::unique_lock<std::mutex> lock(hanging->m);
        ASSERT_TRUE(hanging->cv.wait_for(lock, std::chrono::seconds(5), [&] { return hanging->hanging == 1; }));
    }
    const auto t0 = std::chrono::steady_clock::now();
    ms->Stop();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, 3.0);
    std::lock_guard<std::mutex> lock(hanging->m);
    // The heartbeat has left its exchange and ended: nothing hangs, nothing new started.
    EXPECT_EQ(hanging->hanging, 0);
    EXPECT_EQ(hanging->gets, 1);
    // The stop signal went out first, under its own short bound.
    ASSERT_EQ(hanging->postBounds.size(), 1u);
    EXPECT_EQ(hanging->postBounds[0],
              std::make_pair(TMainService::StopSignalConnectMs, TMainService::StopSignalReadMs));
    EXPECT_TRUE(log->Has("I am completely dead"));
}

// A Citrix host: every active session is a user at a client machine.
TEST_F(MainServiceTest, MultiSessionHostTracksEachSession) {
    W().virtualSleep = true;
    W().services["brokeragent"] = {};
    const char* const users[] = {"ann", "bob", "cy", "dee"};
    for (uint32_t i = 0; i < 4; ++i) {
        AddSession(2 + i, i == 3 ? 4 : 0, "LAB", users[i]);
        const std::string sid = "S-1-5-21-" + std::to_string(2 + i);
        W().accountSids[std::string("lab\\") + users[i]] = sid;
        if (i < 2) {  // cy's client never shows: no host name
            const platform::reg::Key key{platform::reg::Hive::LocalMachine,
                                         "SOFTWARE\\Citrix\\ICA\\Session\\" + std::to_string(2 + i) + "\\Connection",
                                         platform::reg::View::Wow64};
            platform::reg::SetString(key, "UserSid", sid);
            platform::reg::SetString(key, "ClientName", "PC-" + std::to_string(2 + i));
        }
    }
    TMainService* ms = TMainService::Instance();
    ASSERT_NE(ms->UserSessions(), nullptr);
    ms->Start();
    // The active sessions log on in enumeration order; the disconnected one doesn't.
    const int ann = log->Find("Logon:  FQN=LAB\\ann"), bob = log->Find("Logon:  FQN=LAB\\bob"),
              cy = log->Find("Logon:  FQN=LAB\\cy");
    EXPECT_TRUE(ann >= 0 && ann < bob && bob < cy) << ann << " " << bob << " " << cy;
    EXPECT_FALSE(log->Has("Logon:  FQN=LAB\\dee"));
    EXPECT_TRUE(log->Has("Support multiple sessions - True"));
    ASSERT_NE(ms->UserSessions()->GetUserSessionBySessionId(2), nullptr);
    EXPECT_EQ(ms->UserSessions()->GetUserSessionBySessionId(2)->FHostname, "PC-2");
    EXPECT_EQ(ms->UserSessions()->GetUserSessionBySessionId(4)->FHostname, "");

    bool noChange = false;
    const std::string doc = ms->AppState()->CreateResponse(noChange);
    EXPECT_NE(doc.find("<tc hostname=\"PC-2\" username=\"ann\" domain=\"LAB\" session_id=\"2\""), std::string::npos)
        << doc;
    EXPECT_NE(doc.find("hostname=\"PC-3\""), std::string::npos);
    EXPECT_EQ(doc.find("username=\"cy\""), std::string::npos);

    // A disconnect stops the session's applications and ends its session.
    ms->UserSessions()->GetUserSessionBySessionId(3)->FLMData->FRunningObservedApps = {9};
    ms->SessionChanged(4, 3);
    EXPECT_TRUE(log->Has("Remote disconnect!!!"));
    EXPECT_TRUE(log->Has("Login handler logout - LAB\\bob"));
    EXPECT_EQ(ms->UserSessions()->GetUserSessionBySessionId(3), nullptr);
    // A logoff names the session's own user, not the last one to log on.
    ms->SessionChanged(6, 2);
    EXPECT_TRUE(log->Has("Login handler logout - LAB\\ann"));
    EXPECT_EQ(ms->UserSessions()->GetUserSessionBySessionId(2), nullptr);
    // Sessions the list doesn't hold: nothing recorded.
    ms->SessionChanged(6, 42);
    EXPECT_TRUE(log->Has("Session not found"));
    const auto events = qztest::AppEvents(*ms->GuardEvents());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("app_stop 9 ", 0), 0u) << events[0];
    ms->Stop();
}
