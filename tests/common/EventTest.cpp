#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"
#include "common/Event.h"
#include "common/MainThread.h"

using namespace qz;

TEST(Event, SetIsKeptPulseIsLostWithoutWaiter) {
    TEvent e;
    e.Pulse();
    EXPECT_FALSE(e.WaitFor(0));
    e.Set();
    EXPECT_TRUE(e.WaitFor(0));
    EXPECT_FALSE(e.WaitFor(0));  // auto-reset
}

TEST(Event, PulseWakesAWaiter) {
    TEvent e;
    std::atomic<bool> woke{false};
    std::thread t([&] { woke = e.WaitFor(10000); });
    ASSERT_TRUE(qztest::WaitUntil([&] {
        e.Pulse();
        return woke.load();
    }));
    t.join();
    EXPECT_FALSE(e.WaitFor(0));
}

TEST(MainThreadQueue, SynchronizeRunsOnTheLoopAndReturnsErrors) {
    auto& q = TMainThreadQueue::Instance();
    std::thread::id loopId;
    std::thread loop([&] {
        loopId = std::this_thread::get_id();
        q.Run(nullptr);
    });
    std::thread::id ranOn;
    ASSERT_TRUE(qztest::WaitUntil([&] {
        bool ran = false;
        q.Synchronize([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
        return ran && ranOn == loopId;
    }));
    EXPECT_THROW(q.Synchronize([] { throw std::runtime_error("inside"); }), std::runtime_error);
    std::atomic<int> posted{0};
    q.Post([] { throw std::runtime_error("posted"); });  // the loop goes on
    q.Post([&] { ++posted; });
    q.Quit();
    loop.join();
    EXPECT_EQ(posted, 1);
    q.BindToCurrentThread();
}
