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

// A sleep serves its wait hook at its start and then every slice, as long as the hook asks.
TEST(RealClock, ServesItsWaitHookEverySliceOfASleep)
{
    RealClock clock;
    int served = 0;
    clock.setWaitHook([&] { return ++served < 100; });
    clock.Sleep(60);
    EXPECT_GE(served, 3) << "60 ms in slices of 5 ms";
    served = 100; // declines from now on
    clock.Sleep(10);
    EXPECT_EQ(served, 101);
}

} // namespace
