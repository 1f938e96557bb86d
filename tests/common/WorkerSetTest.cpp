#include "common/WorkerSet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;
using qz::TWorkerSet;

TEST(WorkerSet, StopCutsLongWaitsShortAndJoinsEveryJob) {
    std::atomic<int> ended{0};
    TWorkerSet set(2);
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(set.Start([&] {
            if (!set.Sleep(3600 * 1000)) ++ended;
        }));
    EXPECT_FALSE(set.Start([] {})) << "past the bound";
    const auto t0 = Clock::now();
    set.StopAndJoin();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(ended.load(), 2);  // both ended before StopAndJoin returned
    EXPECT_FALSE(set.Start([] {})) << "a stopped set takes nothing new";
    EXPECT_TRUE(set.Stopping());
}

TEST(WorkerSet, FinishedJobsMakeRoomAndAFailingJobEndsQuietly) {
    TWorkerSet set(1);
    ASSERT_TRUE(set.Start([] { throw std::runtime_error("its own business"); }));
    for (int i = 0; i < 200 && set.Running() > 0; ++i) set.Sleep(10);
    EXPECT_EQ(set.Running(), 0u);
    std::atomic<bool> ran{false};
    EXPECT_TRUE(set.Start([&] { ran = true; }));
    set.StopAndJoin();
    EXPECT_TRUE(ran);
}

}  // namespace
