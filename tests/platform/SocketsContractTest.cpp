#include <gtest/gtest.h>

#include <chrono>

#include "platform/Sockets.h"

using namespace platform;

namespace {

using Clock = std::chrono::steady_clock;

TEST(SocketsContract, AcceptTakesAWaitingConnectionEvenWhenWoken) {
    const auto listener = sock::Listen(0, 8, true);
    listener->Wake();
    listener->Wake();
    const sock::Socket client = sock::ConnectLoopback(listener->Port(), 2000, "127.0.0.2");
    ASSERT_NE(client, sock::InvalidSocket);
    std::string peer;
    // The connection is there before the wait starts: a pending wake must not hide it.
    const sock::Socket served = listener->Accept(2000, peer);
    ASSERT_NE(served, sock::InvalidSocket);
    EXPECT_EQ(peer, "127.0.0.2");
    ASSERT_TRUE(sock::SendAll(client, "x", 1, 1000));
    char b = 0;
    EXPECT_EQ(sock::Receive(served, &b, 1, 1000), 1);
    // With nothing waiting, the pending wake ends the next wait at once.
    const auto t0 = Clock::now();
    EXPECT_EQ(listener->Accept(20000, peer), sock::InvalidSocket);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    sock::Close(served);
    sock::Close(client);
}

TEST(SocketsContract, APollerWakesAndSeesItsSockets) {
    const auto poller = sock::MakePoller();
    const auto listener = sock::Listen(0, 8, true);
    const sock::Socket client = sock::ConnectLoopback(listener->Port(), 2000);
    std::string peer;
    const sock::Socket served = listener->Accept(2000, peer);
    ASSERT_NE(served, sock::InvalidSocket);
    EXPECT_EQ(peer, "127.0.0.1");
    poller->Wake();
    const auto t0 = Clock::now();
    EXPECT_TRUE(poller->Wait({served}, 20000).empty());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    ASSERT_TRUE(sock::SendAll(client, "x", 1, 1000));
    EXPECT_EQ(poller->Wait({served}, 5000), std::vector<sock::Socket>{served});
    sock::Close(served);
    sock::Close(client);
}

TEST(SocketsContract, LoopbackAddresses) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},      {"127.4.5.6", true},   {"::1", true},         {"::ffff:127.0.0.2", true},
        {"10.0.0.7", false},      {"128.0.0.1", false},  {"12.7.0.0", false},   {"::ffff:10.0.0.1", false},
        {"", false},              {"::2", false},        {"1127.0.0.1", false},
    };
    for (const auto& [address, loopback] : cases) EXPECT_EQ(sock::IsLoopbackAddress(address), loopback) << address;
}

}  // namespace
