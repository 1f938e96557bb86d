#include "protocol/AppState.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/DateTime.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::PlatformTest;

namespace {

std::vector<std::string> ChildNames(const pugi::xml_node& n) {
    std::vector<std::string> names;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element) names.push_back(c.name());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(ToFsPath(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class AppStateTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        settings = std::make_unique<TSettings>();
        settings->SetListenerPort(8087);
        cache = std::make_unique<TUserCache>(false);
        events = std::make_unique<TGuardEventsInfo>(*cache, false);
        TAppStateContext ctx;
        ctx.Settings = settings.get();
        ctx.Locker = &locker;
        ctx.GuardEvents = events.get();
        ctx.UserCache = cache.get();
        ctx.AgentVersion = "1.0.0.1";
        ctx.OSVersion = "10.0.19045";
        ctx.Is64BitOS = true;
        ctx.LogLevel = [this] { return logLevel; };
        ctx.BannerUpdateTime = [] { return std::string("b1"); };
        ctx.Now = [this] { return now; };
        state = std::make_unique<TApplicationState>(ctx);
    }
    // Applies a reply; returns what ProcessState answered.
    bool Reply(const std::string& version, const std::string& controlState) {
        const std::string v = version.empty() ? "" : " version=\"" + version + "\"";
        return state->ProcessState("<response" + v + "><control_state>" + controlState + "</control_state></response>");
    }
    pugi::xml_node Build(pugi::xml_document& doc, bool* noChange = nullptr) {
        bool nc = false;
        const std::string text = state->CreateResponse(nc);
        if (noChange) *noChange = nc;
        EXPECT_TRUE(doc.load_string(text.c_str())) << text;
        return doc.document_element();
    }

    std::unique_ptr<TSettings> settings;
    TLocker locker;
    std::unique_ptr<TUserCache> cache;
    std::unique_ptr<TGuardEventsInfo> events;
    std::unique_ptr<TApplicationState> state;
    int32_t logLevel = -1;
    double now = EncodeDateTime({2026, 12, 10, 9, 30, 15, 0});
};

}  // namespace

TEST_F(AppStateTest, DocumentShapeFollowsThePacketVersion) {
    events->UserChanged("", "LAB\\ann", true, "Ann Example");
    const struct {
        std::string version;
        bool loginState, loginChildren, users, events, clientTime;
    } cases[] = {
        {"", false, false, false, false, false},
        {"1.0", false, false, false, false, false},
        {"2.2", true, true, false, true, true},
        {"2.5", true, false, true, true, true},
        {"3.0", true, false, true, true, true},
        {"2.10", false, false, false, false, false},  // compared as text: below 2.2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("version '" + c.version + "'");
        if (!c.version.empty()) {
            ASSERT_TRUE(Reply(c.version, ""));
        }
        pugi::xml_document doc;
        pugi::xml_node root = Build(doc);
        EXPECT_STREQ(root.name(), "command");
        EXPECT_STREQ(root.attribute("version").value(), "1.0.0.1");
        EXPECT_STREQ(root.child("name").text().get(), "i_am_alive");
        pugi::xml_node ls = root.child("active_state").child("login_state");
        EXPECT_EQ(bool(ls), c.loginState);
        EXPECT_EQ(bool(ls.child("user_name")), c.loginChildren);
        EXPECT_EQ(bool(root.child("users")), c.users);
        EXPECT_EQ(bool(root.child("events")), c.events);
        EXPECT_EQ(bool(root.child("client_time")), c.clientTime);
        EXPECT_FALSE(root.attribute("id"));
        if (c.loginChildren) {
            EXPECT_STREQ(ls.attribute("state").value(), "logon");
            EXPECT_STREQ(ls.attribute("user_id").value(), "0");
            EXPECT_STREQ(ls.child("user_name").text().get(), "ann");
            EXPECT_STREQ(ls.child("domain_name").text().get(), "LAB");
            EXPECT_STREQ(ls.child("isadmin").text().get(), "True");
        }
        if (c.clientTime) {
            EXPECT_STREQ(root.child("client_time").text().get(), "2026-12-10T09:30:15");
        }
    }
}

TEST_F(AppStateTest, SingleSessionShapeForProtocol25) {
    ASSERT_TRUE(Reply("2.5", ""));
    {
        std::lock_guard<std::mutex> lock(state->LMData().FCSRunningApps);
        state->LMData().FRunningObservedApps = {7, 12};
    }
    events->UserChanged("", "LAB\\ann", false, "");
    pugi::xml_document doc;
    pugi::xml_node root = Build(doc);
    EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"name", "active_state", "users", "events", "client_time"}));
    pugi::xml_node as = root.child("active_state");
    EXPECT_EQ(ChildNames(as),
              (std::vector<std::string>{"os_ver", "lock_status", "settings_update_time", "sl_settings_update_time",
                                        "banner_update_time", "app_cache_update_time", "login_state",
                                        "applications_state"}));
    EXPECT_STREQ(as.child("os_ver").text().get(), "10.0.19045");
    EXPECT_STREQ(as.child("os_ver").attribute("is64bit").value(), "True");
    EXPECT_STREQ(as.child("os_ver").attribute("ms").value(), "False");
    EXPECT_STREQ(as.child("os_ver").attribute("vdi").value(), "none");
    EXPECT_STREQ(as.child("lock_status").text().get(), "unlocked");
    EXPECT_STREQ(as.child("banner_update_time").text().get(), "b1");
    EXPECT_TRUE(ChildNames(as.child("login_state")).empty());
    pugi::xml_node app = as.child("applications_state").first_child();
    EXPECT_STREQ(app.attribute("id").value(), "7");
    EXPECT_STREQ(app.attribute("restrict").value(), "no");
    EXPECT_STREQ(app.attribute("modifytime").value(), "7");
    EXPECT_STREQ(app.next_sibling().attribute("id").value(), "12");
}

TEST_F(AppStateTest, OptionalActiveStateParts) {
    logLevel = 7;
    state->SetNeedAddGuardPort(true);
    state->SetPacketId("0123456789ABCDEF0123456789ABCDEF");
    pugi::xml_document doc;
    pugi::xml_node root = Build(doc);
    EXPECT_STREQ(root.child("active_state").child("listener_port").text().get(), "8087");
    EXPECT_STREQ(root.child("active_state").child("logging_level").text().get(), "6");
    EXPECT_STREQ(root.attribute("id").value(), "0123456789ABCDEF0123456789ABCDEF");

    // The port goes out once; an answer built for a command takes it first.
    pugi::xml_document again;
    EXPECT_FALSE(Build(again).child("active_state").child("listener_port"));
    state->SetNeedAddGuardPort(true);
    pugi::xml_document answer;
    pugi::xml_node a = answer.append_child("answer");
    state->CollectActiveState(a);
    EXPECT_TRUE(a.child("active_state").child("listener_port"));
    logLevel = -1;
    pugi::xml_document third;
    pugi::xml_node r3 = Build(third);
    EXPECT_FALSE(r3.child("active_state").child("listener_port"));
    EXPECT_FALSE(r3.child("active_state").child("logging_level"));
}

TEST_F(AppStateTest, NoChangeDetection) {
    ASSERT_TRUE(Reply("2.5", ""));
    bool nc = true;
    pugi::xml_document d1, d2, d3, d4, d5, d6;
    Build(d1, &nc);
    EXPECT_FALSE(nc);
    Build(d2, &nc);
    EXPECT_FALSE(nc);  // no code from the server yet

    ASSERT_TRUE(Reply("2.5", "<nochange>42</nochange>"));
    EXPECT_EQ(state->NoChangeCode(), "42");
    Build(d3, &nc);
    EXPECT_TRUE(nc);
    now += 1.0 / 86400;
    pugi::xml_node r4 = Build(d4, &nc);
    EXPECT_TRUE(nc);
    EXPECT_STREQ(r4.child("client_time").text().get(), "2026-12-10T09:30:16");

    // A change shows at once.
    locker.SetLocked(lsLocked);
    Build(d5, &nc);
    EXPECT_FALSE(nc);

    // An administrator relock pending keeps the document "changed".
    locker.SetAdminUnlockTime(now - 2);
    Build(d6, &nc);
    EXPECT_FALSE(nc);
    EXPECT_TRUE(log->Has("Console user need to relock"));
    locker.ResetAdminUnlock();

    state->ResetApplication();
    pugi::xml_document d7, d8;
    Build(d7, &nc);
    Build(d8, &nc);
    EXPECT_FALSE(nc);
    EXPECT_EQ(state->NoChangeCode(), "");
}

TEST_F(AppStateTest, RepliesThatCannotBeApplied) {
    const struct {
        std::string text, message;
    } cases[] = {
        {"not xml at all", "App state process state error "},
        {"", "App state process state error "},
        {"<response version=\"2.5\"/>", "App state process state error Element \"control_state\" not found"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(state->ProcessState(c.text)) << c.text;
        bool found = false;
        for (const auto& l : log->Lines()) found = found || l.rfind(c.message, 0) == 0;
        EXPECT_TRUE(found) << c.message;
    }
    // The version is still taken from a reply without control state.
    EXPECT_EQ(state->PacketVersion(), "2.5");
    EXPECT_TRUE(state->ProcessState("<response><control_state/></response>"));
    EXPECT_EQ(state->PacketVersion(), "1.0");
}

TEST_F(AppStateTest, LockStatusRow) {
    ASSERT_TRUE(Reply("2.5", "<lock_status>locked</lock_status>"));
    EXPECT_EQ(locker.Locked(), lsLocked);
    ASSERT_TRUE(Reply("2.5", "<lock_status>halflocked</lock_status>"));
    EXPECT_EQ(locker.Locked(), lsHalflocked);
    ASSERT_TRUE(Reply("2.5", "<lock_status>LOCKED</lock_status>"));
    EXPECT_EQ(locker.Locked(), lsUnlocked);
    EXPECT_TRUE(log->Has("Unknown lock_status has been received"));

    // Only a command clears an administrator's unlock first.
    locker.SetAdminUnlockTime(now);
    ASSERT_TRUE(Reply("2.5", "<lock_status>locked</lock_status>"));
    EXPECT_EQ(locker.AdminUnlockTime(), now);
    pugi::xml_document cmd;
    ASSERT_TRUE(cmd.load_string("<control_state><lock_status>unlocked</lock_status></control_state>"));
    state->ProcessControlState(cmd.document_element(), true);
    EXPECT_EQ(locker.AdminUnlockTime(), 0.0);
    EXPECT_EQ(locker.Locked(), lsUnlocked);
}

TEST_F(AppStateTest, SettingsPasswordAndStamps) {
    ASSERT_TRUE(Reply("2.5",
                      "<settings><communicate_password>c2VjcmV0</communicate_password>"
                      "<i_am_alive_period>45000</i_am_alive_period></settings>"
                      "<settings_update_time>s7</settings_update_time>"
                      "<sl_settings_update_time>l3</sl_settings_update_time>"));
    EXPECT_EQ(ToText(state->ConnectionPassword()), "secret");
    EXPECT_EQ(state->SettingsUpdateTime(), "s7");
    EXPECT_EQ(state->SettingLimitSettingsUpdateTime(), "l3");
    EXPECT_TRUE(std::filesystem::exists(ToFsPath(TSettings::SettingsFilePath())));

    // Settings without a password keep the old one.
    ASSERT_TRUE(Reply("2.5", "<settings><i_am_alive_period>40000</i_am_alive_period></settings>"));
    EXPECT_EQ(ToText(state->ConnectionPassword()), "secret");

    pugi::xml_document doc;
    pugi::xml_node as = Build(doc).child("active_state");
    EXPECT_STREQ(as.child("settings_update_time").text().get(), "s7");
    EXPECT_STREQ(as.child("sl_settings_update_time").text().get(), "l3");
}

TEST_F(AppStateTest, MalformedRowsOnlySpoilThemselves) {
    events->UserChanged("", "LAB\\ann", false, "x");
    ASSERT_TRUE(Reply("2.5",
                      "<event_handshake><last>abc</last></event_handshake>"
                      "<settings_update_time>s9</settings_update_time>"
                      "<nochange>5</nochange>"));
    EXPECT_TRUE(log->Has("Packet decoding error (event handshake) 'abc' is not a valid integer value"));
    EXPECT_EQ(state->SettingsUpdateTime(), "s9");
    EXPECT_EQ(state->NoChangeCode(), "5");
    EXPECT_EQ(events->PendingIds(), std::vector<int32_t>{1});

    ASSERT_TRUE(Reply("2.5", "<event_handshake><last>1</last></event_handshake>"));
    EXPECT_TRUE(events->PendingIds().empty());
}

TEST_F(AppStateTest, ApplicationListsAndTheirFile) {
    settings->SetPasswordHash("CGCbzzh9ExYqUp+8Dt/1CA==");
    const TBytes hash = TBase64::DecodeBase64(settings->PasswordHash());
    auto application = [](int id) {
        return "<application id=\"" + std::to_string(id) + "\"><path>*\\app" + std::to_string(id) +
               ".exe</path><company>*</company><version>*</version><name>*</name></application>";
    };
    ASSERT_TRUE(Reply("2.5", "<apps><app_cache modifytime=\"m1\">" + application(1) + application(2) + "<other/>" +
                                 application(3) + "</app_cache></apps>"));
    EXPECT_EQ(state->AppCacheUpdateTime(), "m1");
    EXPECT_EQ(state->AppCacheCopy().size(), 3u);
    EXPECT_EQ(state->LMData().ObservedAppsCopy().size(), 3u);
    const std::string saved = ToText(TCrypto::Decrypt(ToBytes(ReadFile(TApplicationState::AppListFile())), hash));
    EXPECT_EQ(saved.rfind("<apps><app_cache modifytime=\"m1\">", 0), 0u) << saved;
    EXPECT_NE(saved.find("app3.exe"), std::string::npos);

    // A reply without a list leaves the file alone.
    const std::string before = ReadFile(TApplicationState::AppListFile());
    ASSERT_TRUE(Reply("2.5", "<nochange>1</nochange>"));
    EXPECT_EQ(ReadFile(TApplicationState::AppListFile()), before);

    // A broken list keeps the previous one, stamp included, so the server sends it again.
    ASSERT_TRUE(Reply("2.5", "<apps><app_cache modifytime=\"m2\">" + application(4) +
                                 "<application id=\"5\"><path>x</path></application></app_cache></apps>"));
    EXPECT_EQ(state->AppCacheUpdateTime(), "m1");
    EXPECT_EQ(state->AppCacheCopy().size(), 3u);
    EXPECT_EQ(ReadFile(TApplicationState::AppListFile()), before);
    ASSERT_TRUE(Reply("2.5", "<apps><app_cache modifytime=\"m3\"><application id=\"x1\"/></app_cache></apps>"));
    EXPECT_EQ(state->AppCacheUpdateTime(), "m1");
    bool logged = false;
    for (const auto& l : log->Lines()) logged = logged || l.rfind("Packet decoding error in application tag ", 0) == 0;
    EXPECT_TRUE(logged);

    // The older form feeds the observed list only.
    ASSERT_TRUE(Reply("2.5", "<applications>" + application(8) + application(9) + "</applications>"));
    EXPECT_EQ(state->LMData().ObservedAppsCopy().size(), 2u);
    EXPECT_EQ(state->AppCacheCopy().size(), 3u);
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(ReadFile(TApplicationState::AppListFile())), hash)).rfind("<applications>", 0),
              0u);

    // After a restart the saved list is back before the first reply.
    TAppStateContext ctx;
    ctx.Settings = settings.get();
    TApplicationState restarted(ctx);
    EXPECT_TRUE(restarted.ReadSavedList());
    EXPECT_EQ(restarted.LMData().ObservedAppsCopy().size(), 2u);
}

TEST_F(AppStateTest, UnreadableSavedListIsReportedAndIgnored) {
    TAppStateContext ctx;
    ctx.Settings = settings.get();
    TApplicationState fresh(ctx);
    EXPECT_FALSE(fresh.ReadSavedList());  // none yet
    EXPECT_TRUE(log->Has("We are reading saved list"));
    auto errors = [&] {
        int n = 0;
        for (const auto& line : log->Lines()) n += line.rfind("Error loading a list of saved applications ", 0) == 0;
        return n;
    };
    EXPECT_EQ(errors(), 1);
    std::filesystem::create_directories(ToFsPath(GetAgentDataFolder()));
    std::ofstream(ToFsPath(TApplicationState::AppListFile()), std::ios::binary) << "garbage that is not a list";
    EXPECT_FALSE(fresh.ReadSavedList());
    EXPECT_EQ(errors(), 2);
    EXPECT_TRUE(fresh.LMData().ObservedAppsCopy().empty());
}

TEST_F(AppStateTest, RowsOfOtherComponentsAreHandedOver) {
    std::vector<std::string> seen;
    TAppStateContext& ctx = state->Context();
    ctx.Banners = [&](const pugi::xml_node& n) { seen.push_back(std::string("banners:") + n.first_child().name()); };
    ctx.Update = [&](const pugi::xml_node& n) { seen.push_back(std::string("update:") + n.attribute("id").value()); };
    ctx.AppCtrlStates = [&](const pugi::xml_node&) { seen.push_back("app_ctrl_states"); };
    ctx.LockStates = [&](const pugi::xml_node&) { seen.push_back("lock_states"); };
    const std::string rows =
        "<banners><banner/></banners><update id=\"42\"/><app_ctrl_states/><lock_states/>";
    ASSERT_TRUE(Reply("2.5", rows));
    // The per-session rows mean nothing on a single-session station.
    EXPECT_EQ(seen, (std::vector<std::string>{"banners:banner", "update:42"}));

    seen.clear();
    ctx.SupportMultipleSessions = true;
    ctx.Update = [&](const pugi::xml_node&) { throw std::runtime_error("bad offer"); };
    ASSERT_TRUE(Reply("2.5", rows + "<nochange>3</nochange>"));
    EXPECT_EQ(seen, (std::vector<std::string>{"banners:banner", "app_ctrl_states", "lock_states"}));
    EXPECT_TRUE(log->Has("Packet decoding error (updates) bad offer"));
    EXPECT_EQ(state->NoChangeCode(), "3");
}

TEST_F(AppStateTest, ABadNoChangeCodeKeepsThePreviousOne) {
    ASSERT_TRUE(Reply("2.5", "<nochange>42</nochange>"));
    // The code travels unescaped in the address and as three bytes of a frame.
    for (const char* bad : {"abc", "-1", "12&hostname=x", " 7", "+7", "", "99999999999"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(Reply("2.5", std::string("<nochange>") + bad + "</nochange>"));
        EXPECT_EQ(state->NoChangeCode(), "42");
        EXPECT_TRUE(state->CanUseNoChangeMode());
    }
    bool logged = false;
    for (const auto& l : log->Lines())
        logged = logged || l.rfind("Packet decoding error (no change)'abc' is not a valid no-change code", 0) == 0;
    EXPECT_TRUE(logged);
    ASSERT_TRUE(Reply("2.5", "<nochange>0</nochange>"));
    EXPECT_EQ(state->NoChangeCode(), "0");
}

TEST_F(AppStateTest, DeeplyNestedPatternsNeitherCrashNorRecurse) {
    // Far below the reply bound, and far beyond any stack a recursion could use.
    settings->SetPasswordHash("CGCbzzh9ExYqUp+8Dt/1CA==");
    const int depth = 200000;
    std::string nested;
    nested.reserve(depth * 8);
    for (int i = 0; i < depth; ++i) nested += "<b>";
    nested += "x.exe";
    for (int i = 0; i < depth; ++i) nested += "</b>";
    const std::string app = "<application id=\"1\"><path>" + nested +
                            "</path><company>*</company><version>*</version><name>*</name></application>";
    ASSERT_TRUE(Reply("2.5", "<apps><app_cache modifytime=\"deep\">" + app + "</app_cache></apps>"));
    ASSERT_EQ(state->AppCacheCopy().size(), 1u);
    EXPECT_EQ(state->AppCacheUpdateTime(), "deep");

    // The same read back from the saved file, as at a start.
    TAppStateContext ctx;
    ctx.Settings = settings.get();
    TApplicationState restarted(ctx);
    EXPECT_TRUE(restarted.ReadSavedList());
    EXPECT_EQ(restarted.LMData().ObservedAppsCopy().size(), 1u);
}
