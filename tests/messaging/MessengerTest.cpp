#include "messaging/Messenger.h"

#include "sessions/UserSessions.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

TEST(MessageCache, NumbersFromTheStartAndEachMessageFetchedOnce) {
    TMessageCache cache(41);
    EXPECT_EQ(cache.AddMessage("T", "one"), 42);
    EXPECT_EQ(cache.AddMessage("T", "two & <three>"), 43);
    EXPECT_EQ(cache.GetMessageById("0042"), "");  // numbers compare as decimal text
    EXPECT_EQ(cache.GetMessageById("42"), "<response><title>T</title><message>one</message></response>");
    EXPECT_EQ(cache.GetMessageById("42"), "");
    EXPECT_EQ(cache.GetMessageById("43"),
              "<response><title>T</title><message>two &amp; &lt;three&gt;</message></response>");
    EXPECT_EQ(cache.Count(), 0u);

    TMessageCache fresh;
    const int32_t first = fresh.AddMessage("", "");
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 1000000);

    // Unfetched messages can't pile up without end; the newest stay.
    TMessageCache bounded(0);
    for (size_t i = 0; i < TMessageCache::MaxMessages + 5; ++i) bounded.AddMessage("T", "m");
    EXPECT_EQ(bounded.Count(), TMessageCache::MaxMessages);
    EXPECT_EQ(bounded.GetMessageById("1"), "");
    EXPECT_NE(bounded.GetMessageById(std::to_string(TMessageCache::MaxMessages + 5)), "");
    // The counter wraps instead of overflowing.
    TMessageCache top(2147483647);
    EXPECT_EQ(top.AddMessage("T", "m"), -2147483647 - 1);
}

class MessengerTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ctx.Cache = &cache;
        ctx.ListenerPort = [] { return 8087; };
        ctx.ProgramFolder = "C:\\Program Files\\Tallisto\\";
        ctx.Run = [](std::function<void()> work) { work(); };
    }
    void StageSession(uint32_t id, const std::string& client, uint32_t state = platform::wts::StateActive) {
        platform::fake::FakeSession s;
        s.entry.id = id;
        s.entry.state = state;
        if (!client.empty()) s.client = client;
        W().sessions.push_back(s);
        qztest::StageProcess(500 + id, "C:\\Windows\\System32\\winlogon.exe", id, 0).tokenSid = "S-1-5-18";
    }
    std::vector<std::string> Started() {
        std::vector<std::string> out;
        for (const auto& s : W().startedAsUser) out.push_back(std::to_string(s.logonPid) + "|" + s.app + "|" + s.commandLine);
        return out;
    }
    TMessageCache cache{99};
    TMessengerContext ctx;
};

TEST_F(MessengerTest, SingleUserStationsUseTheSystemsBoxExceptOnWindows8) {
    StageSession(1, "");
    TMessenger(ctx).ShowMessage("Hello", "Tallisto Client", "", -1);
    ASSERT_EQ(W().sessionMessages.size(), 1u);
    EXPECT_EQ(W().sessionMessages[0].sessionId, 1u);
    EXPECT_EQ(W().sessionMessages[0].text, "Hello");
    EXPECT_EQ(W().sessionMessages[0].style, 48u);
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_TRUE(log->Has("Show Message in Vista or higher"));

    ctx.Win8Family = true;
    TMessenger(ctx).ShowMessage("Hi", "T", "", -1);
    EXPECT_EQ(Started(), std::vector<std::string>{"501|C:\\Program Files\\Tallisto\\QZMessenger.exe| 8087 100"});
    EXPECT_EQ(cache.GetMessageById("100"), "<response><title>T</title><message>Hi</message></response>");

    W().sessions.clear();
    TMessenger(ctx).ShowMessage("Nobody", "T", "", -1);
    EXPECT_TRUE(log->Has("No interactive user, can not show message"));
    EXPECT_EQ(cache.Count(), 0u);
}

TEST_F(MessengerTest, MultiSessionHostsFindTheSessionByIdOrHostName) {
    StageSession(2, "PC-2");
    StageSession(3, "");
    StageSession(4, "PC-4");
    TUserSessionsList sessions(TStationType::stTerminalServer, [] { return TProcessTemplateList{}; });
    for (uint32_t id : {2u, 3u, 4u}) sessions.AddUserSession(id, "LAB\\u" + std::to_string(id));
    ctx.SupportMultipleSessions = true;
    ctx.Sessions = &sessions;
    TMessenger messenger(ctx);
    struct Case {
        std::string host;
        int32_t id;
        const char* logonPid;  // where the message program started; null: nowhere
    };
    const Case cases[] = {
        {"", 4, "504"},        // by id
        {"pc-2", 0, "502"},    // by host name, without letter case
        {"", 0, "503"},        // id 0, no host: the session without a host name
        {"PC-9", -1, nullptr},  // no such host
        {"PC-2", 7, nullptr},  // an id wins over the host name
    };
    for (const Case& c : cases) {
        W().startedAsUser.clear();
        messenger.ShowMessage("M", "T", c.host, c.id);
        if (c.logonPid) {
            ASSERT_EQ(W().startedAsUser.size(), 1u) << c.host << c.id;
            EXPECT_EQ(std::to_string(W().startedAsUser[0].logonPid), c.logonPid) << c.host << c.id;
        } else {
            EXPECT_TRUE(W().startedAsUser.empty()) << c.host << c.id;
        }
    }
    EXPECT_TRUE(log->Has("Messenger: user session not found for hostname - PC-9"));
    EXPECT_TRUE(W().sessionMessages.empty());
    EXPECT_EQ(cache.Count(), 3u);  // no display program has fetched them
}

}  // namespace
