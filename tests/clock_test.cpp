#include "clock/Clock.h"
#include "tests/support/VirtualClock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using quindle::RealClock;
using quindle::VirtualClock;

TEST(VirtualClock, RecordsSleepsAndRunsDueActionsInOrder)
{
    VirtualClock clock;
    std::vector<int> ran;
    clock.at(100, [&] { ran.push_back(1); });
    clock.at(50, [&] { ran.push_back(0); });
    clock.at(100, [&] { ran.push_back(2); });
    clock.Sleep(40);
    clock.messagesProcessed();
    EXPECT_TRUE(ran.empty());
    clock.Sleep(60);
    clock.Sleep(0);
    clock.messagesProcessed();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    ASSERT_EQ(clock.sleeps().size(), 3u);
    EXPECT_EQ(clock.sleeps()[1].startUs, 40'000);
    EXPECT_EQ(clock.sleeps()[1].ms, 60);
    EXPECT_EQ(clock.nowMs(), 100);
}

TEST(VirtualClock, TickCountWrapsAndActionsMayScheduleMore)
{
    VirtualClock clock;
    clock.setTickOrigin(0xFFFFFFF0u);
    clock.Sleep(32);
    EXPECT_EQ(clock.GetTickCount(), 16u);
    int count = 0;
    clock.at(0, [&] {
        ++count;
        clock.after(0, [&] { ++count; });
    });
    clock.messagesProcessed();
    EXPECT_EQ(count, 2);
    EXPECT_EQ(clock.pendingActions(), 0u);
}

// A wake-up (kept when it comes before the sleep) runs the wait hook again within the sleep, and at
// a message point while something is pending.
TEST(RealClock, AWakeUpRunsTheWaitHookAgain)
{
    quindle::RealClock clock;
    clock.setLatenessBudget([] { return int64_t(1'000'000'000); }); // nothing here is late
    int served = 0;
    clock.setWaitHook([&] { return ++served > 0; });
    clock.wake();
    clock.Sleep(2);
    EXPECT_EQ(served, 2);
    clock.wake();
    clock.serveWhile([&] { return served < 3; });
    EXPECT_EQ(served, 3);
}

} // namespace
