#include "commands/CommandProcessor.h"
#include "commands/WebServer.h"

#include "common/Crypto.h"
#include "common/Event.h"
#include "common/Settings.h"
#include "messaging/Messenger.h"
#include "platform/DateTime.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"
#include "sessions/UserSessions.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class CommandTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        settings.SetListenerPort(8087);
        TAppStateContext a;
        a.Settings = &settings;
        a.Locker = &locker;
        a.GuardEvents = &journal;
        a.UserCache = &users;
        a.Now = [] { return EncodeDateTime({2025, 3, 24, 9, 5, 7, 0}); };
        state = std::make_unique<TApplicationState>(a);
        TCommandContext c;
        c.AppState = state.get();
        c.GuardEvents = &journal;
        c.Settings = &settings;
        c.ResponseReceived = &responseReceived;
        c.SetLogLevel = [this](int32_t level) { levels.push_back(level); };
        c.Now = [] { return EncodeDateTime({2025, 3, 24, 9, 5, 7, 0}); };
        processor = std::make_unique<TCommandProcessor>(c);
    }
    void Version(const std::string& v) {
        ASSERT_TRUE(state->ProcessState("<response version=\"" + v + "\"><control_state/></response>"));
    }
    // The reply without its XML declaration, which every reply has.
    std::string Run(const std::string& body, const std::string& attrs = "") {
        const std::string reply = processor->ProcessCommand("<request" + attrs + ">" + body + "</request>");
        const std::string declaration = "<?xml version=\"1.0\"?>";
        EXPECT_EQ(reply.rfind(declaration, 0), 0u) << reply;
        return reply.rfind(declaration, 0) == 0 ? reply.substr(declaration.size()) : reply;
    }
    void StageProcess(uint32_t pid, const std::string& path, uint32_t session = 1) {
        qztest::StageProcess(pid, path, session, EncodeDateTime({2025, 3, 24, 8, 0, 0, 0}));
    }
    TSettings settings;
    TLocker locker;
    TUserCache users{false};
    TGuardEventsInfo journal{users, false};
    std::unique_ptr<TApplicationState> state;
    TEvent responseReceived;
    std::vector<int32_t> levels;
    std::unique_ptr<TCommandProcessor> processor;
};

TEST_F(CommandTest, ReplyFrameTimeByVersionAndTheEchoedId) {
    struct Case {
        const char* version;
        bool time;
    };
    for (const Case& c : {Case{"2.2", true}, Case{"3.0", true}, Case{"2.10", false}, Case{"1.0", false}}) {
        Version(c.version);
        const std::string reply = Run("<name>no_such_command</name>", " id=\"42\"");
        EXPECT_EQ(reply, c.time ? "<response id=\"42\"><client_time>2025-03-24T09:05:07</client_time></response>"
                                : "<response id=\"42\"/>")
            << c.version;
    }
    EXPECT_EQ(Run("<name>message_logout</name>"), "<response><result>success</result></response>");
    EXPECT_EQ(Run("<name>cancel_message</name><id>7</id>"), "<response/>");
}

TEST_F(CommandTest, MalformedDocumentsGetNoReply) {
    for (const char* text : {"", "not xml", "<request><nam>x</nam></request>",
                             "<request><name>set_logging_level</name></request>",
                             "<request><name>shutdown_app</name></request>",
                             "<request><name>get_screen_shot</name></request>"})
        EXPECT_ANY_THROW(processor->ProcessCommand(text)) << text;
}

TEST_F(CommandTest, TheServersReplyToOurOwnRequestWakesTheSender) {
    state->SetPacketId("ABC");
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = responseReceived.WaitFor(3000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(processor->ProcessCommand("<response id=\"ABC\"><x/></response>"), "");
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(state->ReceivedResponse(), "<response id=\"ABC\"><x/></response>");
    EXPECT_EQ(processor->ProcessCommand("<response id=\"OLD\"/>"), "");
    EXPECT_TRUE(log->Has("Unexpected response with id OLD"));
}

TEST_F(CommandTest, LoggingLevelAndMacs) {
    EXPECT_EQ(Run("<name>set_logging_level</name><logging_level>6</logging_level>"),
              "<response><result>success</result></response>");
    EXPECT_EQ(levels, std::vector<int32_t>{6});
    for (const char* cm : {"", "<cm>1</cm>", "<cm>abc</cm>"}) {
        const std::string reply = Run(std::string("<name>get_mac</name>") + cm);
        EXPECT_NE(reply.find("<result>success</result><raw_data"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("\r\n"), std::string::npos) << cm;
    }
}

TEST_F(CommandTest, ProcessesListedAndEnded) {
    StageProcess(100, "C:\\Tools\\calc.exe");
    W().executables.insert("C:\\Tools\\calc.exe");
    W().versionStrings["C:\\Tools\\calc.exe"] = {{"FileDescription", "Calculator"}, {"CompanyName", "Maker"},
                                                  {"FileVersion", "2.0"}};
    StageProcess(101, "C:\\Tools\\paint.exe");
    const std::string list = Run("<name>get_all_active_processes</name>");
    EXPECT_NE(list.find("<process><name>calc</name><launch_time>2025-03-24T08:00:00</launch_time>"
                        "<process_id>100</process_id><path>C:\\Tools\\calc.exe</path><version>2.0</version>"
                        "<product_name>Calculator</product_name><company>Maker</company></process>"),
              std::string::npos)
        << list;

    EXPECT_EQ(Run("<name>shutdown_process</name>"), "<response><result>success</result></response>");
    EXPECT_EQ(Run("<name>shutdown_process</name><process><process_id>101</process_id></process><process/>"),
              "<response><result>success</result></response>");
    EXPECT_EQ(W().terminated, std::vector<uint32_t>{101});
    // A failed termination leaves the result failed and skips what follows.
    W().processes[0].terminable = false;
    StageProcess(102, "C:\\Tools\\x.exe");
    EXPECT_EQ(Run("<name>shutdown_process</name><process><process_id>100</process_id></process>"
                  "<process><process_id>102</process_id></process>"),
              "<response><result>failure</result></response>");
    EXPECT_EQ(W().terminated, std::vector<uint32_t>{101});

    const std::string app = "<application id=\"5\"><path>*\\x.exe</path><company>*</company><version>*</version>"
                            "<name>*</name></application>";
    EXPECT_EQ(Run("<name>shutdown_app</name>" + app), "<response><result>success</result></response>");
    EXPECT_EQ(W().terminated, (std::vector<uint32_t>{101, 102}));
    EXPECT_EQ(Run("<name>shutdown_app</name>" + app), "<response><result>success</result></response>");  // none fits
}

TEST_F(CommandTest, PowerAndLogoutOnASingleUserStation) {
    EXPECT_EQ(Run("<name>restart_station</name>"), "<response><result>success</result></response>");
    EXPECT_EQ(W().exitWindowsCalls, std::vector<uint32_t>{0x12});
    EXPECT_EQ(Run("<name>logout_station</name>"), "<response><result>fail</result></response>");  // nobody logged on
    platform::fake::FakeSession s;
    s.entry.id = 1;
    W().sessions.push_back(s);
    journal.UserChanged("", "LAB\\ann", false, "");
    EXPECT_EQ(Run("<name>logout_station</name>"), "<response><result>success</result></response>");
    EXPECT_EQ(W().loggedOff, std::vector<uint32_t>{1});
    EXPECT_EQ(Run("<name>remote_login</name><login forced=\"true\">bob</login>"),
              "<response><result>fail</result></response>");
}

TEST_F(CommandTest, SessionCommandsOnAMultiSessionHost) {
    for (uint32_t id : {2u, 3u}) {
        platform::fake::FakeSession s;
        s.entry.id = id;
        s.client = "PC-" + std::to_string(id);
        W().sessions.push_back(s);
    }
    TUserSessionsList sessions(TStationType::stTerminalServer, [] { return TProcessTemplateList{}; });
    sessions.AddUserSession(2, "LAB\\ann");
    sessions.AddUserSession(3, "LAB\\bob");
    processor->Context().SupportMultipleSessions = true;
    processor->Context().Sessions = &sessions;
    StageProcess(100, "C:\\a.exe", 2);
    StageProcess(101, "C:\\b.exe", 3);

    // A host name narrows the list; a session id alone doesn't; an unknown host lists nothing.
    auto count = [&](const std::string& target) {
        const std::string r = Run("<name>get_all_active_processes</name>" + target);
        size_t n = 0;
        for (size_t at = r.find("<process>"); at != std::string::npos; at = r.find("<process>", at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<hostname>pc-3</hostname>"), 1u);
    EXPECT_EQ(count("<session_id>3</session_id>"), 2u);
    EXPECT_EQ(count("<hostname>PC-9</hostname>"), 0u);

    // Ending a process of another session is refused.
    EXPECT_EQ(Run("<name>shutdown_process</name><hostname>PC-2</hostname><process><process_id>101</process_id>"
                  "</process>"),
              "<response><result>failure</result></response>");
    EXPECT_TRUE(W().terminated.empty());

    EXPECT_EQ(Run("<name>logout_station</name><session_id>3</session_id>"),
              "<response><result>success</result></response>");
    EXPECT_EQ(Run("<name>logout_station</name><hostname>nowhere</hostname>"),
              "<response><result>fail</result></response>");
    EXPECT_TRUE(log->Has("User session not found for hostname nowhere, SessionId -1"));

    const std::string ts = Run("<name>set_state_ts</name><hostname>PC-2</hostname><lock_status>locked</lock_status>");
    EXPECT_EQ(ts.rfind("<response><result>success<active_state>", 0), 0u) << ts;
    EXPECT_EQ(sessions.GetUserSessionBySessionId(2)->FLocker->Locked(), lsLocked);
    processor->Context().SupportMultipleSessions = false;
    const std::string single = Run("<name>set_state_ts</name><lock_status>locked</lock_status>");
    EXPECT_EQ(single.rfind("<response><result>failure<active_state>", 0), 0u) << single;
}

TEST_F(CommandTest, SetStateAppliesTheControlStateAndAnswersTheActiveState) {
    const std::string reply =
        Run("<name>set_state</name><control_state><lock_status>locked</lock_status></control_state>");
    EXPECT_EQ(locker.Locked(), lsLocked);
    EXPECT_NE(reply.find("<active_state>"), std::string::npos);
    EXPECT_NE(reply.find("<lock_status>locked</lock_status>"), std::string::npos) << reply;
}

TEST_F(CommandTest, MessagesToTheUser) {
    std::vector<std::string> shown;
    processor->Context().ShowMessage = [&](const std::string& m, const std::string& t, const std::string& h, int32_t id) {
        shown.push_back(m + "|" + t + "|" + h + "|" + std::to_string(id));
    };
    EXPECT_EQ(Run("<name>show_message</name><message>Lab closes at 8</message><emergency>true</emergency>"),
              "<response><result>success</result></response>");
    EXPECT_TRUE(log->Has("Emergency message"));
    EXPECT_EQ(Run("<name>show_message</name><message>x</message><emergency>maybe</emergency>"),
              "<response><result>success</result></response>");
    EXPECT_ANY_THROW(processor->ProcessCommand("<c><name>show_message</name></c>"));
    // Stopped applications are announced to their user by name.
    StageProcess(100, "C:\\Tools\\calc.exe");
    W().executables.insert("C:\\Tools\\calc.exe");
    W().versionStrings["C:\\Tools\\calc.exe"] = {{"FileDescription", "Calculator"}};
    StageProcess(101, "C:\\Tools\\paint.exe");
    Run("<name>shutdown_app</name><application id=\"1\"><path>*calc.exe</path><company>*</company>"
        "<version>*</version><name>*</name></application>");
    Run("<name>shutdown_process</name><process><process_id>101</process_id></process>"
        "<process><process_id>999</process_id></process>");
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "Lab closes at 8|Tallisto Client||-1", "x|Tallisto Client||-1",
                         "Application \"Calculator\" has been shut down by Administrator|Tallisto Client||-1",
                         "Application \"paint\" has been shut down by Administrator|Tallisto Client||-1"}));
}

TEST_F(CommandTest, RemoteLoginUnderCustomAuthentication) {
    std::vector<std::string> calls;
    auto& custom = processor->Context().Custom;
    processor->Context().Locker = &locker;
    custom.LoginUser = [&](const std::string& user) {
        calls.push_back("login " + user);
        journal.UserChanged(journal.UserName(), "LAB-07\\" + user, false, user);
    };
    custom.LogoutUser = [&] {
        calls.push_back("logout");
        journal.UserChanged(journal.UserName(), "", false, "");
    };
    custom.StopSessionLimit = [&] { calls.push_back("stop limit"); };
    struct Case {
        const char* request;
        const char* result;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"<login>ann</login>", "success", {"login ann"}},
        {"<login>bob</login>", "fail", {}},  // ann is still logged on
        {"<login forced=\"no\">bob</login>", "fail", {}},
        {"<login forced=\"true\">bob</login>", "success", {"logout", "stop limit", "login bob"}},
    };
    for (const Case& c : cases) {
        calls.clear();
        EXPECT_EQ(Run(std::string("<name>remote_login</name>") + c.request),
                  std::string("<response><result>") + c.result + "</result></response>")
            << c.request;
        EXPECT_EQ(calls, c.calls) << c.request;
        EXPECT_TRUE(locker.CustomUserLogginned());
    }
    EXPECT_TRUE(log->Has("Remote login has been requested with login - bob, forced - True"));
    EXPECT_EQ(journal.UserName(), "LAB-07\\bob");
}

}  // namespace

namespace {

class WebServerTest : public CommandTest {
protected:
    std::unique_ptr<TWebServerModule> MakeModule() {
        TWebServerModule::Deps d;
        d.Processor = processor.get();
        d.AppState = state.get();
        d.TakeMessage = [this](const std::string& id) { return cache.GetMessageById(id); };
        d.StubPage = "<html>stub</html>";
        return std::make_unique<TWebServerModule>(d);
    }
    TMessageCache cache{6};
};

TEST_F(WebServerTest, CommandsTravelUnderTheConnectionPassword) {
    ASSERT_TRUE(state->ProcessState("<response><control_state><settings><communicate_password>" +
                                    TBase64::EncodeBase64(ToBytes("secret")) +
                                    "</communicate_password></settings></control_state></response>"));
    state->SetAppInitialized(true);
    auto module = MakeModule();
    const TBytes key = ToBytes("secret");
    const TBytes reply = module->DoHandleServerRequest(
        TCrypto::Encrypt(ToBytes("<c><name>message_logout</name></c>"), key));
    EXPECT_EQ(ToText(TCrypto::Decrypt(reply, key)),
              "<?xml version=\"1.0\"?><response><result>success</result></response>");
    // The server's reply to our own request gets no answer at all.
    EXPECT_TRUE(module->DoHandleServerRequest(TCrypto::Encrypt(ToBytes("<response id=\"x\"/>"), key)).empty());
    // Wrongly keyed: no reply.
    EXPECT_ANY_THROW(module->DoHandleServerRequest(
        TCrypto::Encrypt(ToBytes("<c><name>message_logout</name></c>"), ToBytes("guess"))));
}

TEST_F(WebServerTest, NoCommandsUnderTheFillerKeyUnlessTheServerChoseIt) {
    auto module = MakeModule();
    const TBytes command = TCrypto::Encrypt(ToBytes("<c><name>restart_station</name></c>"), TBytes{});
    EXPECT_THROW(module->DoHandleServerRequest(command), ECommandError);  // nothing held after a reset
    EXPECT_TRUE(W().exitWindowsCalls.empty());
    state->SetAppInitialized(true);  // registration answered "no change": the server's choice
    EXPECT_FALSE(module->DoHandleServerRequest(command).empty());
    EXPECT_EQ(W().exitWindowsCalls.size(), 1u);
}

TEST_F(WebServerTest, MessagesAreFetchedOnceUnderTheMessengerKey) {
    ASSERT_EQ(cache.AddMessage("T", "M"), 7);
    auto module = MakeModule();
    const TBytes key = ToBytes(TWebServerModule::MessengerKey);
    EXPECT_EQ(ToText(TCrypto::Decrypt(module->HandleMessengerRequest("007"), key)), "");
    EXPECT_EQ(ToText(TCrypto::Decrypt(module->HandleMessengerRequest("7"), key)),
              "<response><title>T</title><message>M</message></response>");
    const TBytes again = module->HandleMessengerRequest("7");
    EXPECT_EQ(again.size(), 16u);  // one block: the encryption of an empty text
    EXPECT_EQ(ToText(TCrypto::Decrypt(again, key)), "");
}

TEST_F(WebServerTest, MessagesAreHandedOnlyToThisMachine) {
    ASSERT_EQ(cache.AddMessage("T", "M"), 7);
    auto module = MakeModule();
    THttpRequest fetch;
    fetch.Method = "GET";
    fetch.Target = "/?7";
    fetch.Query = "7";
    fetch.Authorization = "Basic YTpi";
    for (const char* peer : {"10.0.0.5", "192.168.1.20", ""}) {
        fetch.Peer = peer;
        const THttpResponse refused = module->WebServerCommandGet(fetch);
        EXPECT_EQ(refused.Status, 403) << peer;
        EXPECT_EQ(refused.Body, "") << peer;
    }
    EXPECT_TRUE(log->Has("Message fetch refused to 10.0.0.5: not this machine"));
    // Still there for the message program.
    fetch.Peer = "127.0.0.1";
    const std::string body = module->WebServerCommandGet(fetch).Body;
    EXPECT_EQ(ToText(TCrypto::Decrypt(TBytes(body.begin(), body.end()), ToBytes(TWebServerModule::MessengerKey))),
              "<response><title>T</title><message>M</message></response>");
}

TEST_F(WebServerTest, TheHttpInterface) {
    state->SetAppInitialized(true);  // the server chose the empty password
    auto module = MakeModule();
    ASSERT_TRUE(module->StartOn(0, true));
    EXPECT_TRUE(log->Has("webserver has been launched"));
    const uint16_t port = module->Port();
    auto get = [&](const std::string& target, const std::string& headers = "") {
        return qztest::ParseRawResponse(
            qztest::RawExchange(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n"));
    };
    const std::string basic = "Authorization: Basic YWRtaW46YWRtaW4=\r\n";
    const TBytes messengerKey = ToBytes(TWebServerModule::MessengerKey);

    auto stub = get("/any/path?x=1");
    EXPECT_EQ(stub.status, 200);
    EXPECT_EQ(stub.body, "<html>stub</html>");
    EXPECT_TRUE(log->Has("The stub page has been outfitted to somebody"));

    ASSERT_EQ(cache.AddMessage("Title", "Text"), 7);
    auto first = get("/?7", basic);
    EXPECT_EQ(ToText(TCrypto::Decrypt(TBytes(first.body.begin(), first.body.end()), messengerKey)),
              "<response><title>Title</title><message>Text</message></response>");
    auto second = get("/?7", basic);
    EXPECT_EQ(second.body.size(), 16u);
    EXPECT_EQ(get("/", basic).body, "");
    EXPECT_EQ(get("/?7&8", basic).body, "");
    EXPECT_EQ(get("/?7", "Authorization: Digest abc\r\n").status, 401);

    auto post = [&](const std::string& contentType, const std::string& body) {
        return qztest::ParseRawResponse(qztest::RawExchange(
            port, "POST / HTTP/1.1\r\nContent-Type: " + contentType + "\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body));
    };
    const TBytes command = TCrypto::Encrypt(ToBytes("<c id=\"9\"><name>message_logout</name></c>"), TBytes{});
    const std::string raw(command.begin(), command.end());
    auto ok = post("application/x-www-form-urlencoded", raw);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ToText(TCrypto::Decrypt(TBytes(ok.body.begin(), ok.body.end()), TBytes{})),
              "<?xml version=\"1.0\"?><response id=\"9\"><result>success</result></response>");
    // Other content types don't hand the body over; garbage doesn't decrypt.
    for (const auto& [type, body] : {std::pair<std::string, std::string>{"text/plain", raw},
                                     {"application/x-www-form-urlencoded", "garbage"},
                                     {"application/x-www-form-urlencoded", ""}}) {
        auto r = post(type, body);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "") << type << " " << body;
    }
    bool warned = false, timed = false;
    for (const auto& l : log->Lines()) {
        warned = warned || l.rfind("webserver exception ", 0) == 0;
        timed = timed || (l.rfind("Web request has been processed for ", 0) == 0 && l.find(" ms.") != std::string::npos);
    }
    EXPECT_TRUE(warned);
    EXPECT_TRUE(timed);
    module->Stop();
    EXPECT_EQ(qztest::RawExchange(port, "GET / HTTP/1.1\r\n\r\n", 1000), "");
}

TEST_F(WebServerTest, ATakenPortIsReportedAndNothingElseHappens) {
    auto first = MakeModule();
    ASSERT_TRUE(first->StartOn(0, true));
    auto second = MakeModule();
    EXPECT_FALSE(second->StartOn(first->Port(), true));
    bool reported = false;
    for (const auto& l : log->Lines()) reported = reported || l.rfind("Error launching the web-server. The reason is ", 0) == 0;
    EXPECT_TRUE(reported);
    settings.SetListenerPort(0);
    EXPECT_FALSE(second->Start(settings));
}

}  // namespace

namespace {

// What the payload commands carry: the base64 text of one element of the reply.
std::string Payload(const std::string& reply, const std::string& element) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(reply.c_str()));
    const TBytes bytes = TBase64::DecodeBase64(doc.child("response").child(element.c_str()).text().get());
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(CommandTest, PayloadCommandsAnswerWithBase64) {
    Version("2.3");
    W().virtualSleep = true;
    W().desktop = platform::screen::Bitmap(1920, 1080);
    W().primary = {1920, 1080};
    // Without both sizes: the primary screen's, and a log line says so.
    std::string reply = Run("<name>get_screen_shot</name><width>640</width>");
    EXPECT_TRUE(log->Has("Width and height parameters for screenshot not found"));
    EXPECT_NE(reply.find("<result>success</result><screen_shot>"), std::string::npos);
    std::string png = Payload(reply, "screen_shot");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ((static_cast<uint8_t>(png[18]) << 8) | static_cast<uint8_t>(png[19]), 1920);
    png = Payload(Run("<name>get_screen_shot</name><width>640</width><height>abc</height>"), "screen_shot");
    EXPECT_EQ((static_cast<uint8_t>(png[18]) << 8) | static_cast<uint8_t>(png[19]), 1920);
    png = Payload(Run("<name>get_screen_shot</name><width>640</width><height>480</height>"
                      "<stamp><text>Room 7</text></stamp>"),
                  "screen_shot");
    EXPECT_EQ((static_cast<uint8_t>(png[18]) << 8) | static_cast<uint8_t>(png[19]), 640);
    EXPECT_EQ((static_cast<uint8_t>(png[22]) << 8) | static_cast<uint8_t>(png[23]), 360);

    const std::string zip = Payload(Run("<name>get_client_log</name>"), "raw_data");
    EXPECT_TRUE(log->Has("Request to send a log has been received"));
    ASSERT_GE(zip.size(), 22u);
    EXPECT_EQ(zip.substr(zip.size() - 22, 4), "PK\x05\x06");

    // Without the disk report the text is the inventory alone.
    const std::string info = Payload(Run("<name>get_computer_info</name>"), "raw_data");
    EXPECT_TRUE(log->Has("Computer info has been requested"));
    EXPECT_EQ(info.rfind("Tallisto Client Version: ", 0), 0u);
    EXPECT_EQ(info.substr(info.size() - 8), "Serial: ");
    W().wmiTables["root\\CIMV2|SELECT * FROM Win32_DiskDrive"] = {{{"Caption", "Disk"}}};
    W().wmiTables["root\\CIMV2|SELECT * FROM Win32_VideoController"] = {};
    const std::string both = Payload(Run("<name>get_computer_info</name>"), "raw_data");
    EXPECT_NE(both.find("Serial: \n\nPhysical Harddisks:\nDisk\n\nVideocards:\n"), std::string::npos) << both;
}

}  // namespace
