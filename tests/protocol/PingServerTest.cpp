#include "protocol/PingServer.h"
#include "websocket/WsFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "common/Settings.h"
#include "common/SocketError.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"
#include "platform/Clock.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::PlatformTest;

namespace {

const std::string kHash = "CGCbzzh9ExYqUp+8Dt/1CA==";

class FakeState : public IHeartbeatState {
public:
    bool initialized = false, needPort = false, nextNoChange = false, throwOnCreate = false;
    std::string packetId, noChangeCode, received;
    TBytes password;
    std::vector<std::string> processed;
    int created = 0, resets = 0;

    bool AppInitialized() const override { return initialized; }
    void SetAppInitialized(bool v) override { initialized = v; }
    void SetNeedAddGuardPort(bool v) override { needPort = v; }
    void SetPacketId(const std::string& id) override { packetId = id; }
    std::string PacketId() const override { return packetId; }
    TBytes ConnectionPassword() const override { return password; }
    std::string NoChangeCode() const override { return noChangeCode; }
    std::string ReceivedResponse() const override { return received; }
    std::string CreateResponse(bool& noChange) override {
        if (throwOnCreate) throw std::runtime_error("no state");
        noChange = nextNoChange;
        return "<command n=\"" + std::to_string(++created) + "\"/>";
    }
    bool ProcessState(const std::string& s) override {
        processed.push_back(s);
        password = ToBytes("issued");
        return true;
    }
    void ResetApplication() override {
        ++resets;
        password.clear();
        noChangeCode.clear();
        initialized = false;
    }
};

struct SentRequest {
    std::string method, url, body;
};

// A guard server in a box: registrations answered under the one-time key,
// state exchanges from a queue of replies ("" = transport failure).
class FakeGuard : public THttpTransport {
public:
    std::vector<SentRequest> requests;
    std::atomic<int> count{0};
    std::vector<std::string> stateReplies;
    bool down = false;
    std::string registrationReply = "<response/>";
    // When set, answers the state exchanges instead of the queue.
    std::function<THttpReply(const SentRequest&)> onState;
    THttpReply Request(const std::string& method, const std::string& url, const std::string& body, uint32_t,
                       uint32_t) override {
        requests.push_back({method, url, body});
        ++count;
        THttpReply r;
        if (down) {
            r.error = "Could not establish connection";
            return r;
        }
        r.ok = true;
        r.status = 200;
        if (url.find("register_me=") != std::string::npos) {
            const size_t s = url.find("register_me=") + 12;
            std::string e = url.substr(s, url.find('&', s) - s);
            std::string un;
            for (size_t i = 0; i < e.size(); ++i) {
                if (e[i] == '%') {
                    un += static_cast<char>(std::stoi(e.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    un += e[i];
                }
            }
            const TBytes key = TCrypto::Decrypt(TBase64::DecodeBase64(un), TBase64::DecodeBase64(kHash));
            r.body = ToText(TCrypto::Encrypt(ToBytes(registrationReply), key));
            return r;
        }
        if (onState) return onState(requests.back());
        if (stateReplies.empty()) {
            r.body = "\xF2";
            return r;
        }
        r.body = stateReplies.front();
        stateReplies.erase(stateReplies.begin());
        return r;
    }
};

class PingServerTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        T10054SocketError::ReleaseInstance();
        W().virtualSleep = true;
        guard = std::make_shared<FakeGuard>();
        cfg.IMAlivePeriod = 30000;
        cfg.NetworkOutageTimeout = 60000;
        cfg.Server = {"http://127.0.0.1:1/server", kHash, 8087};
        TPingServerThread::Hooks hooks;
        hooks.config = [this] { return cfg; };
        hooks.lockConsole = [this] { ++locks; };
        hooks.wait = [](uint32_t ms) { platform::sys::SleepMs(ms); };  // virtual time
        ping = std::make_unique<TPingServerThread>(state, hooks, wake, responded, guard);
    }
    void TearDown() override {
        ping.reset();
        T10054SocketError::ReleaseInstance();
        PlatformTest::TearDown();
    }
    std::string Cipher(const std::string& text) { return ToText(TCrypto::Encrypt(ToBytes(text), state.password)); }
    // A heartbeat on the websocket link, registered and holding a password.
    std::unique_ptr<TPingServerThread> InWebsocketMode(IWebsocketLink& link) {
        TPingServerThread::Hooks hooks;
        cfg.UseWebsockets = true;
        cfg.WebsocketTimeout = 2000;
        hooks.config = [this] { return cfg; };
        hooks.websocket = &link;
        state.initialized = true;
        state.password = ToBytes("issued");
        state.noChangeCode = "5";
        return std::make_unique<TPingServerThread>(state, hooks, wake, responded, guard);
    }

    FakeState state;
    THeartbeatConfig cfg;
    TEvent wake, responded;
    std::shared_ptr<FakeGuard> guard;
    std::unique_ptr<TPingServerThread> ping;
    int locks = 0;
};

}  // namespace

TEST(PingServer, RandomPeriodBounds) {
    for (int i = 0; i < 2000; ++i) {
        const uint32_t r = TPingServerThread::RandomPeriod(30000);
        ASSERT_GE(r, 24000u);
        ASSERT_LE(r, 35999u);
    }
    EXPECT_EQ(TPingServerThread::RandomPeriod(0), 0u);
    EXPECT_EQ(TPingServerThread::RandomPeriod(1), 1u);
    const std::string id = TPingServerThread::NewPacketId();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(id, TPingServerThread::NewPacketId());
}

TEST(PingServer, NoChangeFrame) {
    const TBytes f = TPingServerThread::NoChangeFrame("000102030405060708090A0B0C0D0EFF", "66051");
    ASSERT_EQ(f.size(), 19u);
    EXPECT_EQ(f[0], 0x00);
    EXPECT_EQ(f[10], 0x0A);
    EXPECT_EQ(f[15], 0xFF);
    EXPECT_EQ(f[16], 0x01);
    EXPECT_EQ(f[17], 0x02);
    EXPECT_EQ(f[18], 0x03);
    // An id of the wrong length leaves its bytes zero.
    EXPECT_EQ(TPingServerThread::NoChangeFrame("ABC", "1"), TBytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_THROW(TPingServerThread::NoChangeFrame("", "x12"), std::invalid_argument);
    EXPECT_THROW(TPingServerThread::NoChangeFrame("", "-5"), std::invalid_argument);
}

TEST_F(PingServerTest, RegistersThenExchangesState) {
    uint32_t sleep = ping->RunCycle();
    ASSERT_EQ(guard->requests.size(), 1u);
    EXPECT_EQ(guard->requests[0].method, "GET");
    EXPECT_NE(guard->requests[0].url.find("register_me="), std::string::npos);
    EXPECT_TRUE(state.initialized);
    EXPECT_TRUE(state.needPort);
    EXPECT_EQ(state.processed, std::vector<std::string>{"<response/>"});
    EXPECT_GE(sleep, 1600u);
    EXPECT_LT(sleep, 2400u);

    guard->stateReplies = {Cipher("<response version=\"2.5\"/>")};
    sleep = ping->RunCycle();
    ASSERT_EQ(guard->requests.size(), 2u);
    EXPECT_EQ(guard->requests[1].method, "POST");
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(guard->requests[1].body), ToBytes("issued"))), "<command n=\"1\"/>");
    EXPECT_EQ(guard->requests[1].url.find("nochange"), std::string::npos);
    EXPECT_EQ(state.processed.back(), "<response version=\"2.5\"/>");
    EXPECT_GE(sleep, 24000u);
    EXPECT_LT(sleep, 36000u);
    EXPECT_TRUE(log->Has("Received the following:"));
    // HTTP mode carries no packet id.
    EXPECT_EQ(state.packetId, "");
}

TEST_F(PingServerTest, UnchangedDocumentsCarryTheCode) {
    state.initialized = true;
    state.password = ToBytes("issued");
    state.noChangeCode = "77";
    state.nextNoChange = true;
    ping->RunCycle();  // the default answer is 0xF2
    EXPECT_NE(guard->requests[0].url.find("&nochange=77&"), std::string::npos);
    EXPECT_TRUE(log->Has("got \"No Change\""));
    EXPECT_TRUE(state.initialized);
    EXPECT_EQ(state.resets, 0);
}

TEST_F(PingServerTest, FailedCyclesRegisterAgain) {
    state.initialized = true;
    state.password = ToBytes("issued");
    const struct {
        std::string reply, name;
    } cases[] = {{"\xF1", "rrDecryptFailed"}, {"\xF0", "rrNotRecognizeResponse"}, {"\xF3", "rrStationBanned"},
                 {"\x41", "rrError"}};
    for (const auto& c : cases) {
        state.initialized = true;
        guard->stateReplies = {c.reply};
        ping->RunCycle();
        EXPECT_TRUE(log->Has("Server connection error - " + c.name)) << c.name;
        EXPECT_FALSE(state.initialized);
        EXPECT_TRUE(state.password.empty());
    }
    const size_t before = guard->requests.size();
    ping->RunCycle();
    EXPECT_NE(guard->requests[before].url.find("register_me="), std::string::npos);
}

TEST_F(PingServerTest, LongOutageLocksWhenConfigured) {
    guard->down = true;
    cfg.LockOnNetworkFailure = true;
    int cycles = 0;
    while (!log->Has("Connection has been lost completely") && cycles < 10) {
        ping->Sleep(ping->RunCycle());
        ++cycles;
    }
    // 24 to 36 s a cycle against a 60 s time-out: the third or fourth failed cycle.
    EXPECT_GE(cycles, 3);
    EXPECT_LE(cycles, 4);
    EXPECT_EQ(locks, 1);
    EXPECT_TRUE(log->Has("Server connection error - rrError"));
    ping->Sleep(ping->RunCycle());
    EXPECT_EQ(locks, 2);  // every further failed cycle

    // A good cycle ends the outage.
    guard->down = false;
    ping->RunCycle();
    EXPECT_EQ(ping->NetworkOutageTime(), 0);
    EXPECT_TRUE(state.initialized);
}

TEST_F(PingServerTest, OutageWithoutLockSetting) {
    guard->down = true;
    for (int i = 0; i < 5; ++i) ping->Sleep(ping->RunCycle());
    EXPECT_TRUE(log->Has("Connection has been lost completely"));
    EXPECT_EQ(locks, 0);
}

namespace {
class FakeLink : public IWebsocketLink {
public:
    bool connected = true, needReconnect = false;
    std::vector<TBytes> sent;
    std::function<void()> onSend;
    int refreshes = 0;
    bool Connected() const override { return connected; }
    void SendData(const TBytes& m) override {
        sent.push_back(m);
        if (onSend) onSend();
    }
    void SetNeedToReconnect(bool v) override { needReconnect = v; }
    void RefreshState() override { ++refreshes; }
};
}  // namespace

TEST_F(PingServerTest, WebsocketMode) {
    FakeLink link;
    const auto ws = InWebsocketMode(link);

    // The reply arrives while the heartbeat waits for it.
    std::thread replier;
    link.onSend = [&] {
        replier = std::thread([&] {
            qztest::WaitUntil([] { return false; }, 50);
            responded.Set();
        });
    };
    state.received = "\xF2";
    state.nextNoChange = true;
    ws->RunCycle();
    replier.join();
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].size(), 19u);
    EXPECT_EQ(state.packetId.size(), 32u);
    EXPECT_TRUE(state.initialized);
    EXPECT_TRUE(link.needReconnect);

    state.nextNoChange = false;
    state.received = "\xF1";
    ws->RunCycle();
    replier.join();
    EXPECT_EQ(ToText(TCrypto::Decrypt(link.sent[1], ToBytes("issued"))), "<command n=\"2\"/>");
    EXPECT_FALSE(state.initialized);  // a short answer other than 0xF2 fails the cycle
    EXPECT_FALSE(link.needReconnect);

    // No answer in time.
    state.initialized = true;
    state.password = ToBytes("issued");
    link.onSend = nullptr;
    ws->RunCycle();
    EXPECT_TRUE(log->Has("Wait timeout on websocket for server response"));

    // That cycle's answer comes late, before the next cycle: the next one
    // still waits for its own and times out without it.
    state.initialized = true;
    state.password = ToBytes("issued");
    state.received = "\xF2";
    responded.Set();
    const size_t timeouts = log->Lines().size();
    ws->RunCycle();
    EXPECT_FALSE(state.initialized);
    int waits = 0;
    for (size_t i = timeouts; i < log->Lines().size(); ++i)
        waits += log->Lines()[i] == "Wait timeout on websocket for server response";
    EXPECT_EQ(waits, 1);

    link.connected = false;
    state.initialized = true;
    ws->RunCycle();
    EXPECT_TRUE(log->Has("websocket not connected"));
    EXPECT_EQ(link.refreshes, 5);
    // No HTTP exchange at all in websocket mode once registered.
    EXPECT_TRUE(guard->requests.empty());
}

// A server that stops reading makes the websocket write fail: that cycle
// failed, as a lost exchange does; nothing escapes the cycle to be logged as
// the thread's error (the level that has the service restarted).
TEST_F(PingServerTest, AWebsocketWriteThatFailsIsThatCyclesFailedExchange) {
    FakeLink link;
    const auto ws = InWebsocketMode(link);
    link.onSend = [] { throw EWebsocketError("Websocket write failed"); };
    uint32_t sleep = 0;
    ASSERT_NO_THROW(sleep = ws->RunCycle());
    EXPECT_GT(sleep, 0u);
    EXPECT_FALSE(state.initialized);
    EXPECT_FALSE(link.needReconnect);
    EXPECT_EQ(link.refreshes, 1);
    EXPECT_TRUE(log->Has("Server connection error - " + RequestResultName(TRequestResult::rrError)));
}

TEST_F(PingServerTest, FailingDocumentKeepsThePreviousOne) {
    state.initialized = true;
    state.password = ToBytes("issued");
    guard->stateReplies = {Cipher("<r/>")};
    ping->RunCycle();
    state.throwOnCreate = true;
    guard->stateReplies = {Cipher("<r/>")};
    ping->RunCycle();
    EXPECT_TRUE(log->Has("Error creating outbound packet no state"));
    // The last reply is what goes out again.
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(guard->requests[1].body), ToBytes("issued"))), "<r/>");
}

TEST_F(PingServerTest, AFailingDocumentNeverGoesOutAsNoChange) {
    state.initialized = true;
    state.password = ToBytes("issued");
    state.noChangeCode = "77";
    state.nextNoChange = true;
    ping->RunCycle();  // unchanged: the short form with the code
    ASSERT_NE(guard->requests[0].url.find("&nochange=77&"), std::string::npos);
    state.throwOnCreate = true;
    ping->RunCycle();
    // The build failed: the previous document goes out whole, not the short form.
    EXPECT_EQ(guard->requests[1].url.find("nochange="), std::string::npos);
    EXPECT_TRUE(log->Has("Error creating outbound packet no state"));
}

TEST(PingServer, PeriodsAtTheEdges) {
    // 1.2 p passes 2^31 here: no wrap (long is 32 bits on Windows).
    for (uint32_t p : {2000000000u, 4000000000u, 0xFFFFFFFFu}) {
        const uint32_t r = TPingServerThread::RandomPeriod(p);
        EXPECT_GE(r, static_cast<uint32_t>(0.8 * p) - 1) << p;
    }
}

TEST_F(PingServerTest, APeriodOfZeroOrLessCantMakeTheHeartbeatSpin) {
    state.initialized = true;
    for (uint32_t period : {0u, 1u, 999u}) {
        cfg.IMAlivePeriod = period;
        const uint32_t sleep = ping->RunCycle();
        EXPECT_GE(sleep, 800u) << period;
        EXPECT_LT(sleep, 1200u) << period;
    }
}

TEST_F(PingServerTest, ThreadWakesOnPulseAndEndsOnTerminate) {
    W().virtualSleep = false;
    TPingServerThread::Hooks hooks;
    cfg.IMAlivePeriod = 600000;  // only a wake-up can start the next cycle
    hooks.config = [this] { return cfg; };
    TPingServerThread live(state, hooks, wake, responded, guard);
    live.Resume();
    ASSERT_TRUE(qztest::WaitUntil([&] { return guard->count == 1; }));
    // Keep pulsing until the waiting thread takes one.
    ASSERT_TRUE(qztest::WaitUntil([&] {
        wake.Pulse();
        return guard->count >= 2;
    }));
    live.Terminate();
    live.WaitFor();
    EXPECT_TRUE(log->Has("Ping thread has been launched"));
}

TEST_F(PingServerTest, ResetsOnEveryOtherExchangeLoseNoJournalEntry) {
    // The real state document and journal, against a server that resets
    // every second state exchange and acknowledges what it received.
    TSettings settings;
    TUserCache users(false);
    TGuardEventsInfo journal(users, false);
    TLocker locker;
    TAppStateContext ctx;
    ctx.Settings = &settings;
    ctx.Locker = &locker;
    ctx.GuardEvents = &journal;
    ctx.UserCache = &users;
    TApplicationState appState(ctx);
    TPingServerThread::Hooks hooks;
    hooks.config = [this] { return cfg; };
    hooks.wait = [](uint32_t ms) { platform::sys::SleepMs(ms); };
    TPingServerThread pinger(appState, hooks, wake, responded, guard);

    guard->registrationReply = "<response version=\"2.5\"/>";
    std::set<int32_t> received, acknowledged;
    int exchanges = 0;
    guard->onState = [&](const SentRequest& req) {
        THttpReply r;
        if (++exchanges % 2 == 0) {
            r.error = "Connection reset";
            r.socketError = 10054;
            return r;
        }
        // No password came with the registration: the documents travel under the empty key.
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_string(ToText(TCrypto::Decrypt(ToBytes(req.body), {})).c_str()));
        int32_t last = 0;
        for (pugi::xml_node e : doc.child("command").child("events").children("event")) {
            received.insert(e.attribute("id").as_int());
            last = std::max(last, e.attribute("id").as_int());
        }
        std::string cs;
        if (last) {
            cs = "<event_handshake><last>" + std::to_string(last) + "</last></event_handshake>";
            for (int32_t id : received)
                if (id <= last) acknowledged.insert(id);
        }
        r.ok = true;
        r.status = 200;
        r.body = ToText(TCrypto::Encrypt(
            ToBytes("<response version=\"2.5\"><control_state>" + cs + "</control_state></response>"), {}));
        return r;
    };

    std::set<int32_t> journalled;
    for (int cycle = 0; cycle < 300; ++cycle) {
        if (cycle % 3 == 0) journal.UserChanged("", "LAB\\u" + std::to_string(cycle), false, "");
        for (int32_t id : journal.PendingIds()) journalled.insert(id);
        pinger.RunCycle();
    }
    guard->onState = nullptr;  // a calm end: whatever is still pending goes out and is acknowledged
    for (int cycle = 0; cycle < 6; ++cycle) pinger.RunCycle();
    EXPECT_EQ(journalled.size(), 100u);
    // Every entry reached the server; what it acknowledged left the journal; nothing else did.
    for (int32_t id : journalled) EXPECT_TRUE(received.count(id)) << id;
    std::set<int32_t> pending;
    for (int32_t id : journal.PendingIds()) pending.insert(id);
    for (int32_t id : journalled) EXPECT_TRUE(acknowledged.count(id) || pending.count(id)) << "lost: " << id;
    // Each reset was followed by a good registration: never two in a row, so no restart was asked for.
    EXPECT_EQ(T10054SocketError::Instance()->Counter(), 0);
    int restarts = 0;
    for (const auto& l : log->Lines()) restarts += l == "Number of socket error is exceeded. It is time to restart.";
    EXPECT_EQ(restarts, 0);
}
