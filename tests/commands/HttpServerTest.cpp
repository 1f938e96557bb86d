#include "commands/HttpServer.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "platform/Sockets.h"
#include "tests/support/TestSupport.h"

using namespace qz;
namespace sock = platform::sock;

namespace {

using State = THttpServer::ParseState;

TEST(HttpParse, RequestHeadsAndTheirLimits) {
    THttpLimits limits;
    limits.MaxHeaderBytes = 256;
    limits.MaxHeaderCount = 4;
    limits.MaxBodyBytes = 100;
    const std::string manyHeaders = "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n";
    struct Case {
        std::string head;
        State expected;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n", State::Missing},
        {"GET /?7 HTTP/1.1\r\nHost: x\r\n\r\n", State::Complete},
        {"GET / HTTP/1.0\r\n\r\n", State::Complete},
        {std::string(300, 'a'), State::Refused},  // no end in sight within the bound
        {"GET /" + std::string(300, 'a') + " HTTP/1.1\r\n\r\n", State::Refused},
        {manyHeaders, State::Refused},
        {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", State::Refused},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", State::BadRequest},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", State::Refused},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", State::BadRequest},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", State::BadRequest},
        {"GET  / HTTP/1.1\r\n\r\n", State::BadRequest},
        {"GET / HTTP/2\r\n\r\n", State::BadRequest},
        {"G(T / HTTP/1.1\r\n\r\n", State::BadRequest},
        {"GET / HTTP/1.1\r\nno colon\r\n\r\n", State::BadRequest},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", State::BadRequest},
        {"GET / HTTP/1.1\r\nAuthorization: Bearer abc\r\n\r\n", State::Unauthorized},
        {"GET / HTTP/1.1\r\nAuthorization: bAsIc abc\r\n\r\n", State::Complete},
    };
    for (const Case& c : cases) {
        THttpRequest r;
        size_t headEnd = 0, bodyLength = 0;
        bool expect = false;
        std::string why;
        EXPECT_EQ(THttpServer::ParseHead(c.head, limits, r, headEnd, bodyLength, expect, why), c.expected) << c.head;
    }

    THttpRequest r;
    size_t headEnd = 0, bodyLength = 0;
    bool expect = false;
    std::string why;
    const std::string post =
        "POST /x?a=1&b HTTP/1.1\r\ncontent-type:  application/x-www-form-urlencoded \r\nContent-Length: 3\r\n"
        "Expect: 100-continue\r\nAuthorization: Basic YTpi\r\n\r\nabc";
    ASSERT_EQ(THttpServer::ParseHead(post, limits, r, headEnd, bodyLength, expect, why), State::Complete);
    EXPECT_EQ(r.Method, "POST");
    EXPECT_EQ(r.Target, "/x?a=1&b");
    EXPECT_EQ(r.Query, "a=1&b");
    EXPECT_EQ(r.ContentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(r.Authorization.value_or(""), "Basic YTpi");
    EXPECT_EQ(bodyLength, 3u);
    EXPECT_EQ(post.substr(headEnd), "abc");
    EXPECT_TRUE(expect);
}

class HttpServerTest : public qztest::PlatformTest {
protected:
    void Serve(THttpLimits limits, THttpServer::ThreadStarter startThread = {}) {
        server = std::make_unique<THttpServer>(
            [this](const THttpRequest& r) {
                ++handled;
                if (r.Target == "/slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
                return THttpResponse{200, r.Method + " " + r.Target + " " + r.Body};
            },
            limits, [this](const std::string& line) {
                std::lock_guard<std::mutex> g(linesLock);
                lines.push_back(line);
            },
            std::move(startThread));
        server->Start(0, true);
    }
    size_t CountLogged(const std::string& part) {
        std::lock_guard<std::mutex> g(linesLock);
        size_t n = 0;
        for (const auto& l : lines) n += l.find(part) != std::string::npos;
        return n;
    }
    bool Logged(const std::string& part) { return CountLogged(part) > 0; }
    std::unique_ptr<THttpServer> server;
    std::atomic<int> handled{0};
    std::mutex linesLock;
    std::vector<std::string> lines;
};

TEST_F(HttpServerTest, OneRequestPerConnectionWithItsBody) {
    Serve({});
    const auto r = qztest::ParseRawResponse(qztest::RawExchange(
        server->Port(), "POST /p HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\nhello"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "POST /p hello");
    // A body sent after the interim answer, as clients do that wait for it.
    const sock::Socket s = sock::ConnectLoopback(server->Port(), 5000);
    const std::string head = "POST /q HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n";
    ASSERT_TRUE(sock::SendAll(s, head.data(), head.size(), 5000));
    char buf[256];
    const int n = sock::Receive(s, buf, sizeof buf, 5000);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, n), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(sock::SendAll(s, "abc", 3, 5000));
    std::string rest;
    for (int m; (m = sock::Receive(s, buf, sizeof buf, 5000)) > 0;) rest.append(buf, m);
    sock::Close(s);
    EXPECT_EQ(qztest::ParseRawResponse(rest).body, "POST /q abc");
    EXPECT_EQ(qztest::ParseRawResponse(qztest::RawExchange(server->Port(), "HEAD / HTTP/1.1\r\n\r\n")).body, "");
}

TEST_F(HttpServerTest, WhatBreaksTheLimitsGetsNoReplyAndALogLine) {
    THttpLimits limits;
    limits.MaxBodyBytes = 1000;
    limits.ReadTimeoutMs = 200;
    limits.RequestTimeoutMs = 600;
    Serve(limits);
    const uint16_t port = server->Port();
    EXPECT_EQ(qztest::RawExchange(port, "POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n" + std::string(1001, 'x')), "");
    EXPECT_TRUE(Logged("a body of 1001 bytes"));
    std::string headers = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 100; ++i) headers += "X-" + std::to_string(i) + ": y\r\n";
    EXPECT_EQ(qztest::RawExchange(port, headers + "\r\n"), "");
    EXPECT_TRUE(Logged("more than 64 headers"));
    // A body that stops short, and a client that trickles bytes past the
    // request's deadline, are dropped without running the handler.
    EXPECT_EQ(qztest::RawExchange(port, "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"), "");
    const sock::Socket s = sock::ConnectLoopback(port, 5000);
    bool closed = false;
    for (int i = 0; i < 40 && !closed; ++i) {
        closed = !sock::SendAll(s, "G", 1, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char b;
        if (!closed) closed = sock::Receive(s, &b, 1, 1) == 0;
    }
    sock::Close(s);
    EXPECT_TRUE(closed);
    EXPECT_EQ(handled.load(), 0);
    EXPECT_EQ(qztest::ParseRawResponse(qztest::RawExchange(port, "GET / HTTP/1.1\r\n\r\n")).status, 200);
    EXPECT_EQ(qztest::ParseRawResponse(qztest::RawExchange(port, "nonsense\r\n\r\n")).status, 400);
}

TEST_F(HttpServerTest, AFloodIsTurnedAwayAndTheServerKeepsServing) {
    THttpLimits limits;
    limits.ReadTimeoutMs = 300;
    limits.MaxPending = 8;
    Serve(limits);
    const uint16_t port = server->Port();
    // Silent connections, from fifteen addresses so that no one's share is
    // refused, hold every worker until their time-out and fill the waiting room.
    std::vector<sock::Socket> silent;
    for (int i = 0; i < 60; ++i)
        silent.push_back(sock::ConnectLoopback(port, 2000, "127.0.1." + std::to_string(i / 4 + 1)));
    EXPECT_TRUE(qztest::WaitUntil([&] { return Logged("Command port busy"); }));
    // Busy requests from several clients at once: each gets its answer once
    // the silent ones are dropped, retried where the door was shut.
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&] {
            for (int attempt = 0; attempt < 50; ++attempt) {
                if (qztest::ParseRawResponse(qztest::RawExchange(port, "GET /slow HTTP/1.1\r\n\r\n", 5000)).status ==
                    200) {
                    ++answered;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    for (auto& t : clients) t.join();
    for (sock::Socket s : silent) sock::Close(s);
    EXPECT_EQ(answered.load(), 8);
}

TEST_F(HttpServerTest, SlowHeadsAndJunkBodiesFromOtherPeersDontStarveTheGuard) {
    Serve({});  // the port's own bounds
    const uint16_t port = server->Port();
    // Nineteen other addresses each try eight connections (more than workers
    // and waiting room ever held), and keep them busy: heads that never end,
    // and heads that promise a large body sent a byte at a time.
    std::vector<sock::Socket> flood;
    for (int peer = 2; peer <= 20; ++peer)
        for (int i = 0; i < 8; ++i) {
            const sock::Socket s = sock::ConnectLoopback(port, 2000, "127.0.0." + std::to_string(peer));
            if (s == sock::InvalidSocket) continue;
            if (i % 2) {
                const std::string head = "POST /junk HTTP/1.1\r\nContent-Length: 900000\r\n\r\n";
                sock::SendAll(s, head.data(), head.size(), 100);
            }
            flood.push_back(s);
        }
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
        while (dripping) {
            for (sock::Socket s : flood) sock::SendAll(s, "G", 1, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    EXPECT_TRUE(qztest::WaitUntil([&] { return Logged("connection from 127.0.0.2 refused"); }));
    // The guard's own requests, one after another while the flood goes on:
    // each answered at once, none turned away.
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
        const auto answer = qztest::ParseRawResponse(qztest::RawExchange(port, "GET /mine HTTP/1.1\r\n\r\n", 3000));
        answered += answer.status == 200 && answer.body == "GET /mine ";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    dripping = false;
    drip.join();
    for (sock::Socket s : flood) sock::Close(s);
    EXPECT_EQ(answered, 10);
    EXPECT_EQ(handled.load(), 10);
    // Refusals are logged as 1, 2, 4, 8...: a flood can't flood the log.
    EXPECT_LE(CountLogged("refused"), 8u);
}

TEST_F(HttpServerTest, AWorkerThatCantStartCostsOneConnection) {
    std::atomic<int> starts{0};
    Serve({}, [&](std::function<void()> run) {
        if (++starts == 1) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(run));
    });
    const uint16_t port = server->Port();
    EXPECT_EQ(qztest::RawExchange(port, "GET /a HTTP/1.1\r\n\r\n", 2000), "");
    EXPECT_TRUE(qztest::WaitUntil([&] { return Logged("a worker could not start"); }));
    EXPECT_EQ(qztest::ParseRawResponse(qztest::RawExchange(port, "GET /b HTTP/1.1\r\n\r\n")).body, "GET /b ");
}

// Workers exist while requests are served, never more than the bound, and
// none is left at rest or after Stop: an idle worker still costs a thread.
TEST_F(HttpServerTest, WorkersExistOnlyWhileRequestsAreServed) {
    std::atomic<int> live{0}, most{0};
    THttpLimits limits;
    limits.Workers = 3;
    limits.MaxPerPeer = 16;
    Serve(limits, [&](std::function<void()> run) {
        return std::thread([&, run = std::move(run)] {
            const int now = ++live;
            for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
            }
            run();
            --live;
        });
    });
    const uint16_t port = server->Port();
    const auto burst = [&](int n) {
        std::atomic<int> answered{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < n; ++i)
            clients.emplace_back([&] {
                const std::string target = "/slow";
                const auto r =
                    qztest::ParseRawResponse(qztest::RawExchange(port, "GET " + target + " HTTP/1.1\r\n\r\n", 5000));
                answered += r.status == 200 && r.body == "GET " + target + " ";
            });
        for (auto& t : clients) t.join();
        return answered.load();
    };
    EXPECT_EQ(burst(8), 8);
    EXPECT_LE(most.load(), 3);
    EXPECT_GE(most.load(), 2);  // the burst was served side by side
    EXPECT_TRUE(qztest::WaitUntil([&] { return live == 0; }));
    // The next request at rest starts a worker again, which ends with it.
    EXPECT_EQ(burst(1), 1);
    EXPECT_TRUE(qztest::WaitUntil([&] { return live == 0; }));
    // Stop in the middle of a request leaves no worker behind.
    std::thread client([&] { qztest::RawExchange(port, "GET /slow HTTP/1.1\r\n\r\n", 5000); });
    ASSERT_TRUE(qztest::WaitUntil([&] { return live > 0; }));
    server->Stop();
    EXPECT_EQ(live.load(), 0);
    client.join();
}

TEST_F(HttpServerTest, StopEndsOpenConnectionsAndTheListener) {
    Serve({});  // default time-outs: a stop that waited for them would take a minute
    const uint16_t port = server->Port();
    const sock::Socket s = sock::ConnectLoopback(port, 2000);
    ASSERT_NE(s, sock::InvalidSocket);
    ASSERT_TRUE(sock::SendAll(s, "GET / HT", 8, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server->Stop();
    EXPECT_FALSE(server->Listening());
    char b;
    EXPECT_LE(sock::Receive(s, &b, 1, 5000), 0);
    sock::Close(s);
    EXPECT_EQ(qztest::RawExchange(port, "GET / HTTP/1.1\r\n\r\n", 1000), "");
    // And it can listen again.
    server->Start(0, true);
    EXPECT_EQ(qztest::ParseRawResponse(qztest::RawExchange(server->Port(), "GET /x HTTP/1.1\r\n\r\n")).body, "GET /x ");
}

}  // namespace
