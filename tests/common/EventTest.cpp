#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>
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

TEST(MainThreadQueue, ScheduledJobsRepeatUntilTheyEndAndGoBeforeQueuedWork) {
    auto& q = TMainThreadQueue::Instance();
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        order.push_back(s);
    };
    int runs = 0;
    q.Schedule([&]() -> uint32_t {
        note("job");
        return ++runs < 4 ? 10 : 0;  // four runs, then it ends
    });
    q.Post([&] { note("task"); });
    q.Schedule([]() -> uint32_t { throw std::runtime_error("job failed"); });  // reported, not repeated
    std::atomic<int> errors{0};
    std::thread loop([&] { q.Run([&](const std::exception&) { ++errors; }); });
    ASSERT_TRUE(qztest::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return order.size() >= 5;
    }));
    // A job that goes on doesn't keep the loop from quitting (it ends at the next run).
    static std::atomic<bool> done{false};
    q.Schedule([]() -> uint32_t { return done ? 0 : 1; });
    q.Quit();
    loop.join();
    done = true;
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(order.front(), "job");
    EXPECT_EQ(std::count(order.begin(), order.end(), std::string("job")), 4);
    EXPECT_EQ(std::count(order.begin(), order.end(), std::string("task")), 1);
    EXPECT_EQ(errors, 1);
    q.BindToCurrentThread();
}
