#include "sessions/UserSessions.h"

#include "common/Event.h"
#include "platform/Errors.h"
#include "platform/Registry.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/LoginHandler.h"
#include "sessions/PowerUtils.h"
#include "sessions/UserCache.h"
#include "tests/support/JournalView.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using platform::fake::FakeSession;
using qztest::AppEvents;
using qztest::Xml;
using Strings = std::vector<std::string>;

namespace {

TProcessTemplateList OneApp(int32_t id) {
    TProcessTemplateList list;
    auto t = std::make_unique<TProcessTemplate>();
    t->SetId(id);
    list.push_back(std::move(t));
    return list;
}

class SessionsTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().virtualSleep = true;
    }
    FakeSession& Stage(uint32_t id, std::optional<std::string> client = std::nullopt) {
        FakeSession s;
        s.entry.id = id;
        s.client = std::move(client);
        W().sessions.push_back(s);
        return W().sessions.back();
    }
    static void SetString(platform::reg::Hive hive, const std::string& path, const std::string& name,
                          const std::string& value) {
        platform::reg::SetString({hive, path, platform::reg::View::Wow64}, name, value);
    }
};

TEST_F(SessionsTest, HostNameByStationType) {
    using platform::reg::Hive;
    Stage(2, "PC-01");
    Stage(3, "").protocolType = 2;  // remote desktop without a client name
    W().sessions.back().winStationName = "RDP-Tcp#4";
    Stage(4, "").protocolType = 0;
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stTerminalServer, 2, "S-1"), "PC-01");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stTerminalServer, 3, "S-1"), "RDP-Tcp#4");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stTerminalServer, 4, "S-1"), "");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stTerminalServer, 99, "S-1"), "");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stRegular, 2, "S-1"), "");

    const std::string citrix = "SOFTWARE\\Citrix\\ICA\\Session\\5\\Connection";
    SetString(Hive::LocalMachine, citrix, "UserSid", "S-1-5-21-7");
    SetString(Hive::LocalMachine, citrix, "ClientName", "THIN-3");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stCitrixMachine, 5, "S-1-5-21-7"), "THIN-3");
    EXPECT_TRUE(log->Has("ClientNameTHIN-3"));
    // Another user's connection: 22 attempts, 250 ms apart, then nothing.
    const uint64_t before = W().virtualTicks;
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stCitrixMachine, 5, "S-1-5-21-8"), "");
    EXPECT_EQ(W().virtualTicks - before, 21u * 250);
    EXPECT_TRUE(log->Has("Attempt - 22"));

    SetString(Hive::Users, "S-1-5-21-9\\Volatile Environment\\6", "ViewClient_Machine_Name", "ZERO-6");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stHorizonMachine, 6, "S-1-5-21-9"), "ZERO-6");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stHorizonMachine, 6, "S-1-5-21-10"), "");
    EXPECT_TRUE(log->Has("Can not open volatile environment"));
    EXPECT_TRUE(log->Has("Can not open volatile environment with session id"));
    SetString(Hive::Users, "S-1-5-21-9\\Volatile Environment", "ViewClient_Machine_Name", "ZERO-1");
    EXPECT_EQ(TUserSessionsList::FindHostname(TStationType::stHorizonMachine, 6, "S-1-5-21-9"), "ZERO-1");
}

TEST_F(SessionsTest, LookupsAndTheSessionListElement) {
    Stage(2, "pc-01");
    Stage(3, "");
    Stage(4, "PC-02");
    TUserSessionsList list(TStationType::stTerminalServer, [] { return OneApp(7); });
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("command");
    list.SaveToXML(root);
    EXPECT_EQ(Xml(root), "<command><tcs/></command>");  // written even when empty

    const auto jane = list.AddUserSession(2, "CORP\\jane");
    const auto eve = list.AddUserSession(3, "eve");
    list.AddUserSession(4, "CORP\\bob");
    EXPECT_EQ(jane->ToString(), "Username - CORP\\jane, Sid - , SessionId - 2, Hostname - pc-01, Port - -1");
    EXPECT_EQ(list.GetUserSessionByHostname("PC-01"), jane);
    EXPECT_EQ(list.GetUserSessionByHostname(""), eve);
    EXPECT_EQ(list.GetUserSessionByHostname("pc-09"), nullptr);
    EXPECT_EQ(list.GetUserSessionBySessionId(3), eve);
    std::vector<uint32_t> ids;
    list.GetSessionIdsList(ids);
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 3, 4}));
    // A new session meters the application cache from the start.
    EXPECT_EQ(jane->FLMData->ObservedAppsCopy().size(), 1u);

    jane->FLMData->FRunningObservedApps = {7, 7};
    pugi::xml_document doc2;
    pugi::xml_node root2 = doc2.append_child("command");
    list.SaveToXML(root2);
    EXPECT_EQ(Xml(root2),
              "<command><tcs>"
              "<tc hostname=\"pc-01\" username=\"jane\" domain=\"CORP\" session_id=\"2\">"
              "<application_state id=\"7\" restrict=\"no\" modifytime=\"7\"/>"
              "<application_state id=\"7\" restrict=\"no\" modifytime=\"7\"/></tc>"
              "<tc hostname=\"PC-02\" username=\"bob\" domain=\"CORP\" session_id=\"4\"/>"
              "</tcs></command>");

    // A removed session stays usable by whoever holds it.
    list.RemoveUserSession(jane);
    EXPECT_EQ(list.GetUserSessionBySessionId(2), nullptr);
    EXPECT_EQ(jane->FHostname, "pc-01");
}

TEST_F(SessionsTest, InboundRowsReachTheNamedSessions) {
    Stage(2, "PC-01");
    Stage(3, "PC-02");
    TUserSessionsList list(TStationType::stTerminalServer, [] { return TProcessTemplateList{}; });
    const auto a = list.AddUserSession(2, "CORP\\jane");
    const auto b = list.AddUserSession(3, "CORP\\bob");
    pugi::xml_document doc;
    doc.load_string(
        "<x><app_ctrl_states><app_ctrl_state hostname=\"pc-01\"/><app_ctrl_state session_id=\"3\" hostname=\"nope\"/>"
        "<app_ctrl_state session_id=\"x\"/><other/></app_ctrl_states>"
        "<lock_states><lock_state hostname=\"PC-02\">locked</lock_state>"
        "<lock_state hostname=\"PC-77\">locked</lock_state></lock_states></x>");
    list.ApplyAppCtrlStates(doc.child("x").child("app_ctrl_states"), OneApp(5));
    EXPECT_EQ(a->FLMData->ObservedAppsCopy().size(), 1u);
    EXPECT_EQ(b->FLMData->ObservedAppsCopy().size(), 1u);
    list.ApplyLockStates(doc.child("x").child("lock_states"));
    EXPECT_EQ(b->FLocker->Locked(), lsLocked);
    EXPECT_EQ(a->FLocker->Locked(), lsUnlocked);
    EXPECT_TRUE(log->Has("Set lock status for PC-02 to locked"));
    EXPECT_TRUE(log->Has("Empty user session for PC-77"));
}

// ---- the login handler ----

class LoginTest : public SessionsTest {
protected:
    struct Hook : TCustomLoginHandler {
        Strings* calls;
        explicit Hook(Strings* c) : calls(c) {}
        void LoginUser(const std::string& u, bool admin) override { calls->push_back("in " + u + (admin ? " admin" : "")); }
        void LogoutUser(const std::string& u) override { calls->push_back("out " + u); }
    };
    std::vector<std::string> Kinds(TGuardEventsInfo& journal) {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("command");
        journal.SaveEvents(root, "2.5");
        Strings out;
        for (pugi::xml_node e : root.child("events").children("event"))
            out.push_back(std::string(e.first_child().attribute("state").value()) + " " +
                          e.first_child().attribute("user_id").value());
        return out;
    }
    TLocker locker;
    TEvent news;
    Strings hookCalls;
};

TEST_F(LoginTest, SingleUserStation) {
    TUserCache users(false);
    TGuardEventsInfo journal(users, false);
    TLoginHandler handler({&locker, &journal, &news, nullptr});
    handler.SetCustomLoginHandler(std::make_unique<Hook>(&hookCalls));

    handler.LoginUser("CORP\\jane", true, "");
    handler.LogoutUser("", 1);  // a doubled logout records nothing
    EXPECT_TRUE(log->Has("Doubled logout? Doing nothing"));
    // The logout names another user: the journal's current user is the one logged off.
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = news.WaitFor(3000); });
    ASSERT_TRUE(qztest::WaitUntil([&] { return true; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handler.LogoutUser("CORP\\bob", 7);
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(Kinds(journal), (Strings{"logon 0", "logoff 0"}));
    EXPECT_EQ(journal.UserName(), "");
    EXPECT_EQ(hookCalls, (Strings{"in CORP\\jane admin", "out CORP\\bob"}));
}

TEST_F(LoginTest, MultiSessionHost) {
    Stage(2, "PC-01");
    Stage(3, "");
    TUserCache users(true);
    TGuardEventsInfo journal(users, true);
    TUserSessionsList list(TStationType::stTerminalServer, [] { return TProcessTemplateList{}; });
    TLoginHandler handler({&locker, &journal, &news, &list});
    handler.SetCustomLoginHandler(std::make_unique<Hook>(&hookCalls));

    const auto jane = list.AddUserSession(2, "CORP\\jane");
    handler.LoginUser("CORP\\jane", false, jane->FHostname);
    const auto eve = list.AddUserSession(3, "CORP\\eve");
    handler.LoginUser("CORP\\eve", false, eve->FHostname);
    handler.LogoutUser("whatever", 2);
    handler.LogoutUser("whatever", 3);
    handler.LogoutUser("whatever", 9);  // no such session: logged, nothing recorded
    EXPECT_TRUE(log->Has("Session not found"));
    EXPECT_EQ(list.GetUserSessionBySessionId(2), nullptr);
    EXPECT_EQ(list.GetUserSessionBySessionId(3), nullptr);
    const Strings kinds = Kinds(journal);
    ASSERT_EQ(kinds.size(), 4u);
    EXPECT_EQ(kinds[2], "logoff 0");  // the session's user at its host
    EXPECT_EQ(hookCalls, (Strings{"in CORP\\jane", "in CORP\\eve", "out whatever", "out whatever"}));
}

TEST_F(LoginTest, DisconnectStopsTheSessionsApplications) {
    Stage(2, "PC-01");
    TUserCache users(true);
    TGuardEventsInfo journal(users, true);
    journal.UserChangedWithHostname("", "CORP\\jane", false, "PC-01");
    TUserSessionsList list(TStationType::stTerminalServer, [] { return TProcessTemplateList{}; });
    const auto s = list.AddUserSession(2, "CORP\\jane");
    s->FLMData->FRunningObservedApps = {4, 6};
    s->StopApplications(journal);
    EXPECT_EQ(AppEvents(journal), (Strings{"app_stop 4 0", "app_stop 6 0"}));
    EXPECT_EQ(s->FLMData->RunningAppsCopy().size(), 2u);
}

// ---- power and application control ----

TEST_F(SessionsTest, PowerOperations) {
    Stage(1, "").entry.state = 4;  // disconnected console
    EXPECT_EQ(TPowerUtils::GetActiveSessionId(), TPowerUtils::NoSession);
    EXPECT_FALSE(TPowerUtils::LogOffComputer());
    EXPECT_TRUE(log->Has("No active user session"));
    Stage(2, "PC-01");
    Stage(3, "PC-02");
    EXPECT_EQ(TPowerUtils::GetActiveSessionId(), 3u);  // the last active one
    EXPECT_TRUE(TPowerUtils::LogOffComputer());
    EXPECT_EQ(W().loggedOff, std::vector<uint32_t>{3});

    EXPECT_TRUE(TPowerUtils::RestartComputer());
    W().missingPrivileges.insert("SeShutdownPrivilege");
    EXPECT_TRUE(TPowerUtils::ShutdownComputer());
    EXPECT_EQ(W().exitWindowsCalls, (std::vector<uint32_t>{0x12, 0x0C}));
    EXPECT_TRUE(log->Has("ExitWindows::AdjustTokenPrivileges error 1300 " + platform::SystemErrorText(1300)));
}

// A program a user names winlogon.exe must never lend its token to a start
// with UI access: only the system's own image running as the system account
// counts, and only the first such process of the session.
TEST_F(SessionsTest, ProgramsInUserSessionsStartOnlyFromTheSystemsLogonProcess) {
    const std::string system = "C:\\Windows\\System32\\winlogon.exe";
    struct Impostor {
        const char* what;
        std::string path, sid;
    };
    const Impostor impostors[] = {
        {"renamed in a user's folder", "C:\\Users\\kid\\AppData\\Local\\Temp\\winlogon.exe", "S-1-5-21-7-1001"},
        {"system image, user's token", system, "S-1-5-21-7-1001"},
        {"own image, system token", "C:\\Temp\\winlogon.exe", "S-1-5-18"},
        {"beside the system folder", "C:\\Windows\\System32\\x\\winlogon.exe", "S-1-5-18"},
        {"unreadable token", system, ""},
    };
    for (const Impostor& c : impostors) {
        W().processes.clear();
        W().startedAsUser.clear();
        qztest::StageProcess(20, c.path, 2, 0).tokenSid = c.sid;
        W().processes.back().tokenUser = "LAB\\kid";
        EXPECT_FALSE(TApplicationUtils::StartApplication(2, "C:\\Program Files\\Tallisto\\QZMessenger.exe", "-k 1"))
            << c.what;
        EXPECT_TRUE(W().startedAsUser.empty()) << c.what;
        // Listed first, it doesn't keep the real one from being taken.
        qztest::StageProcess(21, "C:\\WINDOWS\\system32\\WinLogon.EXE", 2, 0).tokenSid = "S-1-5-18";
        qztest::StageProcess(22, system, 2, 0).tokenSid = "S-1-5-18";
        EXPECT_TRUE(TApplicationUtils::StartApplication(2, "C:\\Program Files\\Tallisto\\QZMessenger.exe", "-k 1"))
            << c.what;
        ASSERT_EQ(W().startedAsUser.size(), 1u) << c.what;  // the first accepted only
        const auto& started = W().startedAsUser[0];
        EXPECT_EQ(started.logonPid, 21u) << c.what;
        EXPECT_EQ(started.commandLine, "-k 1");
        EXPECT_EQ(started.desktop, "winsta0\\default");
        EXPECT_TRUE(started.uiAccess);
        EXPECT_EQ(started.tokenSid, "S-1-5-18");
    }
    EXPECT_TRUE(log->Has("Start UI module: process 20 is not the system's winlogon.exe"));

    W().processes.clear();
    qztest::StageProcess(23, system, 3, 0).tokenSid = "S-1-5-18";
    EXPECT_FALSE(TApplicationUtils::StartApplication(9, "C:\\x.exe", ""));
    W().startAsUserFails = true;
    EXPECT_FALSE(TApplicationUtils::StartApplication(3, "C:\\x.exe", ""));
    EXPECT_TRUE(log->Has("Start UI module: can not start process " + platform::SystemErrorText(2)));
}

TEST_F(SessionsTest, StopApplicationEndsOnlyTheAgentsCompanions) {
    auto proc = [](uint32_t pid, uint32_t session, const std::string& path) {
        qztest::StageProcess(pid, path, session, 0);
    };
    // Only the agent's own companions, from its own folder, are ended.
    proc(30, 2, "C:\\Program Files\\Tallisto\\qzmessenger.exe");
    proc(31, 2, "C:\\Program Files\\Tallisto\\DOZudezoz.exe");
    proc(32, 2, "C:\\Temp\\QZMessenger.exe");
    TProcessList list;
    for (const auto& p : W().processes) {
        TProcessInfo info;
        info.FPId = p.pid;
        info.FProcessPath = p.path;
        list.push_back(info);
    }
    TApplicationUtils::StopApplication(list);
    EXPECT_EQ(W().terminated, (std::vector<uint32_t>{30, 31}));
}

}  // namespace
