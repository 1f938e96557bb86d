// The client against peers we didn't write: Debian's python3-websockets over
// plain TCP and TLS, and a scripted socket server for the handshake's
// refusals and a server that breaks the protocol.
#include "websocket/WebsocketClient.h"
#include "websocket/WsHandshake.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/support/HostileServer.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::HostileConnection;
using qztest::HostileServer;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What the client hands its owner, gathered for the test.
struct Inbox {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> messages;
    int opened = 0, closed = 0;
    void Attach(TWebsocketClient& c) {
        c.OnBinData([this](const std::vector<uint8_t>& d) {
            std::lock_guard<std::mutex> l(m);
            messages.push_back(d);
            cv.notify_all();
        });
        c.OnConnected([this] {
            std::lock_guard<std::mutex> l(m);
            ++opened;
            cv.notify_all();
        });
        c.OnDisconnected([this] {
            std::lock_guard<std::mutex> l(m);
            ++closed;
            cv.notify_all();
        });
    }
    bool WaitMessages(size_t n, int ms = 10000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return messages.size() >= n; });
    }
    bool WaitClosed(int ms = 10000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return closed > 0; });
    }
};

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The python peer, running until the object goes.
class PythonPeer {
public:
    explicit PythonPeer(bool tls) {
        dir_ = fs::temp_directory_path() / ("qz-ws-" + std::to_string(std::random_device()()));
        fs::create_directories(dir_);
        std::string args = (dir_ / "port").string() + " " + (dir_ / "log").string();
        if (tls) {
            const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                                     (dir_ / "key.pem").string() + " -out " + (dir_ / "cert.pem").string() +
                                     " >/dev/null 2>&1";
            if (std::system(make.c_str()) != 0) return;
            args += " " + (dir_ / "cert.pem").string() + " " + (dir_ / "key.pem").string();
        }
        const std::string cmd = "/usr/bin/python3 " + std::string(QZ_SOURCE_DIR) + "/tests/support/ws_peer.py " + args;
        pipe_ = popen(cmd.c_str(), "w");
        for (int i = 0; i < 100 && !fs::exists(dir_ / "port"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream(dir_ / "port") >> port_;
    }
    ~PythonPeer() {
        if (pipe_) pclose(pipe_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    uint16_t Port() const { return port_; }
    std::string Log() {
        std::ifstream in(dir_ / "log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool WaitLog(const std::string& line, int ms = 10000) {
        return qztest::WaitUntil([&] { return Log().find(line) != std::string::npos; }, ms);
    }

private:
    fs::path dir_;
    FILE* pipe_ = nullptr;
    uint16_t port_ = 0;
};

class WebsocketInterop : public ::testing::TestWithParam<bool> {};

TEST_P(WebsocketInterop, EveryLengthFormFragmentsPingsAndClose) {
    if (qztest::kHostIsWindows) GTEST_SKIP() << "the peer runs on the host";
    const bool tls = GetParam();
    PythonPeer peer(tls);
    ASSERT_NE(peer.Port(), 0);
    Inbox inbox;  // outlives the client, whose handlers point at it
    TWebsocketClient client("127.0.0.1", peer.Port(), "/server/guard7?hostname=LAB-07", tls);
    inbox.Attach(client);
    client.Connect();
    std::string reason;
    ASSERT_TRUE(client.TryUpgradeToWebsocket(&reason)) << reason;
    EXPECT_TRUE(peer.WaitLog("open "));

    // 7-bit, 16-bit and 64-bit length forms each way; the peer refuses unmasked frames.
    const size_t sizes[] = {5, 126, 70000};
    for (size_t n : sizes) {
        std::vector<uint8_t> msg = Bytes("echo:");
        for (size_t i = 0; i < n; ++i) msg.push_back(static_cast<uint8_t>(i * 7));
        client.WriteData(msg.data(), msg.size(), TWSDataCode::wdcBinary);
    }
    ASSERT_TRUE(inbox.WaitMessages(3));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(inbox.messages[i].size(), sizes[i]);
    EXPECT_EQ(inbox.messages[2][69999], static_cast<uint8_t>(69999 * 7));

    // A message in five fragments arrives once, whole.
    const std::string big(100000, 'f');
    const std::vector<uint8_t> frag = Bytes("frag:5:" + big);
    client.WriteData(frag.data(), frag.size(), TWSDataCode::wdcBinary);
    ASSERT_TRUE(inbox.WaitMessages(4));
    EXPECT_EQ(inbox.messages[3], Bytes(big));

    // A ping is answered before the next message is delivered.
    const std::vector<uint8_t> ping = Bytes("ping");
    client.WriteData(ping.data(), ping.size(), TWSDataCode::wdcBinary);
    ASSERT_TRUE(inbox.WaitMessages(5));
    EXPECT_EQ(inbox.messages[4], Bytes("after-ping"));
    EXPECT_TRUE(peer.WaitLog("pong"));

    // The server's close (1001) is answered with 1000, and the connection ends.
    const std::vector<uint8_t> close = Bytes("close");
    client.WriteData(close.data(), close.size(), TWSDataCode::wdcBinary);
    EXPECT_TRUE(inbox.WaitClosed());
    EXPECT_TRUE(peer.WaitLog("closed, client answered 1000")) << peer.Log();
    EXPECT_FALSE(client.IsWebsocket());
    EXPECT_THROW(client.WriteData(close.data(), close.size(), TWSDataCode::wdcBinary), EWebsocketError);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, WebsocketInterop, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

// Answers the upgrade request with the given head (the accept value filled in when asked), then runs more.
HostileServer::Script Upgrade(const std::string& head, bool rightAccept, std::function<void(HostileConnection&)> then = {}) {
    return [=](HostileConnection& c) {
        const std::string& request = c.Request();
        std::string reply = head;
        if (rightAccept) {
            const auto at = request.find("Sec-WebSocket-Key: ") + 19;
            reply += "Sec-WebSocket-Accept: " + TWsHandshake::AcceptFor(request.substr(at, request.find("\r\n", at) - at)) + "\r\n";
        } else {
            reply += "Sec-WebSocket-Accept: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        }
        c.Send(reply + "\r\n");
        if (then) then(c);
        c.Pause(500);
    };
}

TEST(WebsocketClient, RefusedUpgradesGiveTheirReasons) {
    struct Case {
        std::string head;
        bool rightAccept;
        std::string reason;
    } cases[] = {
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n", false, "Invalid key handshake"},
        {"HTTP/1.1 403 Forbidden\r\n", true, "Error while upgrading: \"403: Forbidden\""},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: close\r\n", true,
         "Connection not upgraded: \"close\""},
    };
    for (const auto& c : cases) {
        HostileServer server(Upgrade(c.head, c.rightAccept));
        TWebsocketClient client("127.0.0.1", server.Port(), "/ws", false);
        client.Connect();
        std::string reason;
        EXPECT_FALSE(client.TryUpgradeToWebsocket(&reason));
        EXPECT_EQ(reason, c.reason);
        EXPECT_FALSE(client.IsWebsocket());
        EXPECT_TRUE(client.Connected());  // the connection stays; only the upgrade failed
    }
}

TEST(WebsocketClient, AMessageBeyondTheBoundClosesWith1009) {
    std::atomic<int> closeCode{0};
    HostileServer server(Upgrade("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n", true,
                                 [&](HostileConnection& c) {
                                     // A 64-bit length far past the bound, and no payload.
                                     c.Send(std::string("\x82\x7f\x00\x00\x00\x01\x00\x00\x00\x00", 10));
                                     char buf[64];
                                     const int n = c.Receive(buf, sizeof buf, 3000);
                                     // The client's close frame: 0x88, masked length 2, key, code.
                                     if (n >= 8 && static_cast<uint8_t>(buf[0]) == 0x88)
                                         closeCode = ((buf[6] ^ buf[2]) & 0xFF) << 8 | ((buf[7] ^ buf[3]) & 0xFF);
                                 }));
    Inbox inbox;  // outlives the client, whose handlers point at it
    TWebsocketClient client("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false);
    inbox.Attach(client);
    client.Connect();
    ASSERT_TRUE(client.TryUpgradeToWebsocket());
    EXPECT_TRUE(inbox.WaitClosed());
    EXPECT_TRUE(qztest::WaitUntil([&] { return closeCode != 0; }));
    EXPECT_EQ(closeCode, 1009);
    EXPECT_FALSE(client.IsWebsocket());
}

TEST(WebsocketClient, AMaskedServerFrameResetsTheConnection) {
    HostileServer server(Upgrade("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n", true,
                                 [](HostileConnection& c) {
                                     c.Send(std::string("\x82\x02ok", 4));
                                     c.Send(std::string("\x82\x82\x01\x02\x03\x04xy", 8));
                                     c.Pause(3000);
                                 }));
    Inbox inbox;  // outlives the client, whose handlers point at it
    TWebsocketClient client("127.0.0.1", server.Port(), "/ws", false);
    inbox.Attach(client);
    client.Connect();
    ASSERT_TRUE(client.TryUpgradeToWebsocket());
    ASSERT_TRUE(inbox.WaitMessages(1));
    EXPECT_EQ(inbox.messages[0], Bytes("ok"));
    EXPECT_TRUE(inbox.WaitClosed());
    EXPECT_FALSE(client.IsWebsocket());
    EXPECT_EQ(inbox.messages.size(), 1u);
}

TEST(WebsocketClient, AnIdleConnectionIsPingedOnSchedule) {
    // The client's frames as the server reads them: the times of its pings.
    std::mutex m;
    std::vector<Clock::time_point> pings;
    HostileServer server(Upgrade("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n", true,
                                 [&](HostileConnection& c) {
                                     std::string got;
                                     const auto end = Clock::now() + std::chrono::milliseconds(2600);
                                     char buf[256];
                                     while (Clock::now() < end && !c.Stopping()) {
                                         const int n = c.Receive(buf, sizeof buf, 50);
                                         if (n <= 0) continue;
                                         got.append(buf, static_cast<size_t>(n));
                                         // Empty masked pings: 0x89 0x80 and a 4-byte key.
                                         while (got.size() >= 6) {
                                             if (static_cast<uint8_t>(got[0]) == 0x89) {
                                                 std::lock_guard<std::mutex> l(m);
                                                 pings.push_back(Clock::now());
                                             }
                                             got.erase(0, 6);
                                         }
                                     }
                                 }));
    TWebsocketClient::Options o;
    o.pingAfterMs = 400;
    o.pollMs = 50;
    TWebsocketClient client("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false, o);
    client.Connect();
    ASSERT_TRUE(client.TryUpgradeToWebsocket());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::lock_guard<std::mutex> l(m);
    ASSERT_GE(pings.size(), 4u);
    ASSERT_LE(pings.size(), 7u);
    for (size_t i = 1; i < pings.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(pings[i] - pings[i - 1]).count();
        EXPECT_GE(gap, 350) << i;
        EXPECT_LE(gap, 650) << i;
    }
}


const char* const kSwitching = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";

// A guard server's restart: it closes with 1001 and is back at once. The
// reader reconnects the client on its own, a later pushed message arrives,
// the owner can still write, and freeing the client is prompt.
TEST(WebsocketClient, AServerThatClosesWith1001AndComesBackGetsTheClientAgain) {
    std::atomic<bool> answered{false};
    HostileServer* self = nullptr;
    HostileServer server(Upgrade(kSwitching, true, [&](HostileConnection& c) {
        if (self->Accepted() == 1) {
            c.Send(std::string("\x88\x02\x03\xe9", 4));  // close, 1001 going away
            char buf[64];
            c.Receive(buf, sizeof buf, 2000);
            return;
        }
        c.Send(std::string("\x82\x06pushed", 8));
        std::string got;
        char buf[256];
        const auto end = Clock::now() + std::chrono::seconds(8);
        while (Clock::now() < end && !c.Stopping() && !answered) {
            const int n = c.Receive(buf, sizeof buf, 50);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
            // The answer as a masked binary frame: 0x82, 0x86, key, "answer" masked.
            if (got.size() >= 12 && static_cast<uint8_t>(got[0]) == 0x82) {
                std::string plain;
                for (size_t i = 0; i < 6; ++i) plain += static_cast<char>(got[6 + i] ^ got[2 + (i & 3)]);
                answered = plain == "answer";
            }
        }
    }));
    self = &server;
    Inbox inbox;
    TWebsocketClient::Options o;
    o.reconnectAfterMs = 300;
    o.pollMs = 100;
    auto client = std::make_unique<TWebsocketClient>("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false, o);
    inbox.Attach(*client);
    client->Connect();
    ASSERT_TRUE(client->TryUpgradeToWebsocket());
    ASSERT_TRUE(inbox.WaitClosed());
    ASSERT_TRUE(inbox.WaitMessages(1)) << "no message after the server came back";
    EXPECT_EQ(inbox.messages[0], Bytes("pushed"));
    {
        std::lock_guard<std::mutex> l(inbox.m);
        EXPECT_EQ(inbox.opened, 2);
    }
    EXPECT_TRUE(client->Connected());
    const std::string answer = "answer";
    client->WriteData(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), TWSDataCode::wdcBinary);
    EXPECT_TRUE(qztest::WaitUntil([&] { return answered.load(); }));
    const auto t0 = Clock::now();
    client.reset();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
}

// The owner lets go while the reader is in the middle of reconnecting: the
// upgrade that pass completes must not put the freed client back on the list.
TEST(WebsocketClient, FreedDuringAReconnectTheClientIsNotServedAgain) {
    HostileServer* self = nullptr;
    auto upgrade = Upgrade(kSwitching, true, [](HostileConnection& c) { c.Pause(1500); });
    HostileServer server([&](HostileConnection& c) {
        if (self->Accepted() == 1) {
            upgrade(c);
            return;
        }
        c.Pause(400);  // the reconnect's upgrade, answered late
        upgrade(c);
    });
    self = &server;
    TWebsocketClient::Options o;
    o.reconnectAfterMs = 100;
    o.pollMs = 50;
    auto client = std::make_unique<TWebsocketClient>("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false, o);
    client->Connect();
    ASSERT_TRUE(client->TryUpgradeToWebsocket());
    ASSERT_TRUE(qztest::WaitUntil([&] { return server.Accepted() >= 2; }, 8000)) << "no reconnection";
    client.reset();  // while the reader waits for the late upgrade
    // Passes after it would touch freed memory (the sanitizers' builds see it).
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(server.Accepted(), 2);
}

// A frame that stops half-way is not kept open by pings: the connection is
// dropped after the read time-out and opened again.
TEST(WebsocketClient, AFrameThatStopsHalfWayDropsTheConnection) {
    HostileServer* self = nullptr;
    HostileServer server(Upgrade(kSwitching, true, [&](HostileConnection& c) {
        if (self->Accepted() == 1) c.Send(std::string("\x82\x0a" "abc", 5));  // 10 bytes announced, 3 sent
        char buf[256];
        // Pings are read (and the connection kept) until the client goes.
        while (!c.Stopping() && c.Receive(buf, sizeof buf, 100) != 0) {
        }
    }));
    self = &server;
    Inbox inbox;
    TWebsocketClient::Options o;
    o.readTimeoutMs = 600;
    o.pingAfterMs = 100;
    o.pollMs = 100;
    o.reconnectAfterMs = 200;
    TWebsocketClient client("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false, o);
    inbox.Attach(client);
    client.Connect();
    ASSERT_TRUE(client.TryUpgradeToWebsocket());
    EXPECT_TRUE(inbox.WaitClosed(5000)) << "a half-sent frame kept the connection";
    EXPECT_TRUE(qztest::WaitUntil([&] { return server.Accepted() >= 2; }, 5000)) << "no reconnection";
    EXPECT_TRUE(inbox.messages.empty());
}

// A handler that can't keep up: what arrives beyond the delivery queue's
// bound is dropped instead of held.
TEST(WebsocketClient, TheDeliveryQueueIsBounded) {
    constexpr int kSent = 400;
    HostileServer server(Upgrade(kSwitching, true, [&](HostileConnection& c) {
        std::string frames;
        for (int i = 0; i < kSent; ++i) frames += std::string("\x82\x01", 2) + static_cast<char>('a' + i % 26);
        c.Send(frames);
        c.Pause(4000);
    }));
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> got{0};
    TWebsocketClient::Options o;
    o.pollMs = 100;
    TWebsocketClient client("127.0.0.1", static_cast<uint16_t>(server.Port()), "/ws", false, o);
    client.OnBinData([&](const std::vector<uint8_t>&) {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, std::chrono::seconds(5), [&] { return release; });
        ++got;
    });
    client.Connect();
    ASSERT_TRUE(client.TryUpgradeToWebsocket());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
        cv.notify_all();
    }
    TWebsocketClient::WaitForDeliveries();
    EXPECT_GT(got.load(), 0);
    EXPECT_LT(got.load(), kSent);
}

}  // namespace
