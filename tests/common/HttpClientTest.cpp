// The HTTP client against servers that misbehave: each exchange ends within
// its time limit with a clear error, and memory stays bounded.
#include "common/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/HostileServer.h"

using namespace qz;
using qztest::HostileConnection;
using qztest::HostileServer;

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    const char* name;
    HostileServer::Script script;
    const char* scheme;
    uint32_t connectMs, readMs;
    const char* error;     // part of the error text
    double atMostSeconds;  // the exchange ends within this
};

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

const Case kCases[] = {
    {"drip of one byte at a time, each within the read time-out",
     [](HostileConnection& c) {
         if (!c.Send("HTTP/1.1 200 OK\r\n")) return;
         while (c.Send("X") && c.Pause(300)) {
         }
     },
     "http", 1000, 1000, "time limit", 4.0},
    {"endless headers",
     [](HostileConnection& c) {
         if (!c.Send("HTTP/1.1 200 OK\r\n")) return;
         while (c.Send(Repeat("X-Filler: 1\r\n", 50))) {
         }
     },
     "http", 2000, 5000, "reply headers refused", 4.0},
    {"one huge header line",
     [](HostileConnection& c) {
         if (!c.Send("HTTP/1.1 200 OK\r\nX-Huge: ")) return;
         const std::string chunk(64 * 1024, 'a');
         while (c.Send(chunk)) {
         }
     },
     "http", 2000, 5000, "header line longer than", 4.0},
    {"a status line without end",
     [](HostileConnection& c) {
         const std::string chunk(64 * 1024, 'H');
         while (c.Send(chunk)) {
         }
     },
     "http", 2000, 5000, "header line longer than", 4.0},
    {"accepts and never answers",
     [](HostileConnection& c) { c.Pause(10000); },
     "http", 1000, 1000, "Read timed out", 4.0},
    {"a TLS handshake answered with plain text",
     [](HostileConnection& c) {
         c.Send("HTTP/1.1 400 Bad Request\r\n\r\nnot TLS");
         c.Pause(200);
     },
     "https", 2000, 2000, "", 4.0},
    {"a TLS handshake never answered",
     [](HostileConnection& c) { c.Pause(10000); },
     "https", 1000, 1000, "", 4.0},
    {"a reset in the middle of the body",
     [](HostileConnection& c) {
         if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'b'))) return;
         c.Pause(100);
         c.Reset();
     },
     "http", 2000, 5000, "", 4.0},
};

}  // namespace

TEST(HttpClientAgainstHostileServers, EachEndsInTimeWithAClearError) {
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.name);
        HostileServer server(k.script);
        THttpClientTransport transport;
        const auto t0 = Clock::now();
        const THttpReply reply = transport.Request("GET", server.Url(k.scheme), "", k.connectMs, k.readMs);
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_FALSE(reply.ok);
        EXPECT_FALSE(reply.error.empty());
        EXPECT_NE(reply.error.find(k.error), std::string::npos) << reply.error;
        EXPECT_LE(took, k.atMostSeconds) << reply.error;
        EXPECT_TRUE(reply.body.empty());
    }
}

TEST(HttpClientAgainstHostileServers, AWellFormedReplyStillPasses) {
    // Many headers, each at the limit, and a chunked body: all within bounds.
    HostileServer server([](HostileConnection& c) {
        std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
        for (int i = 0; i < 90; ++i)
            head += "X-" + std::to_string(i) + ": " + std::string(THttpClientTransport::MaxHeaderLineBytes - 20, 'v') +
                    "\r\n";
        c.Send(head + "\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
        c.Pause(200);
    });
    THttpClientTransport transport;
    const THttpReply reply = transport.Request("GET", server.Url(), "", 2000, 5000);
    EXPECT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.body, "hello world");
}

TEST(HttpClientAgainstHostileServers, CancelEndsAWaitingExchangeAndEveryLaterOne) {
    HostileServer server([](HostileConnection& c) { c.Pause(20000); });
    THttpClientTransport transport;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        transport.Cancel();
    });
    const auto t0 = Clock::now();
    const THttpReply reply = transport.Request("GET", server.Url(), "", 20000, 60000);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    canceller.join();
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, "Request cancelled");
    EXPECT_LT(took, 3.0);
    const THttpReply later = transport.Request("GET", server.Url(), "", 20000, 60000);
    EXPECT_EQ(later.error, "Request cancelled");
}

namespace {

TEST(HttpClientDownloads, TheBodyStreamsToTheSinkWithinItsBounds) {
    // 600 KB in pieces: more than one read, far less than the whole held at once.
    const std::string body = Repeat("0123456789abcdef", 600 * 64);
    HostileServer ok([&](HostileConnection& c) {
        if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")) return;
        for (size_t at = 0; at < body.size(); at += 50000)
            if (!c.Send(body.substr(at, 50000))) return;
        c.Pause(200);
    });
    THttpClientTransport transport;
    std::string got;
    size_t pieces = 0;
    TDownloadLimits limits;
    THttpReply reply = transport.Download(ok.Url(), [&](const char* d, size_t n) {
        got.append(d, n);
        ++pieces;
        return true;
    }, limits);
    EXPECT_TRUE(reply.ok) << reply.error;
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(got == body);
    EXPECT_GT(pieces, 1u);

    // Larger than allowed, or a sink that gives up: the transfer fails.
    limits.maxBytes = 100000;
    reply = transport.Download(ok.Url(), [](const char*, size_t) { return true; }, limits);
    EXPECT_FALSE(reply.ok);
    EXPECT_NE(reply.error.find("larger than 100000"), std::string::npos) << reply.error;
    limits.maxBytes = 1u << 30;
    reply = transport.Download(ok.Url(), [](const char*, size_t) { return false; }, limits);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, "Transfer stopped");

    // An error status arrives as such, with its code.
    HostileServer missing([](HostileConnection& c) {
        c.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
        c.Pause(200);
    });
    reply = transport.Download(missing.Url(), [](const char*, size_t) { return true; }, limits);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.status, 404);
}

}  // namespace
