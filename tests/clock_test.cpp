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

// The window is served until just before each deadline, never while a live tone holds it, and a
// hook that answers true ends the sleep (the window is closing). On the virtual clock the actions
// due inside a sleep run there, at their moment.
TEST(RealClock, TheWaitHookServesUntilJustBeforeTheDeadline)
{
    quindle::RealClock clock;
    clock.setLatenessBudget([] { return int64_t(1'000'000'000); }); // nothing here is late
    std::vector<int64_t> until;
    bool end = false;
    clock.setWaitHook([&](int64_t ns) { return until.push_back(ns), end; });
    const int64_t start = clock.scheduleTime().ns;
    clock.Sleep(3);
    {
        const quindle::Clock::ServiceHold hold(clock);
        clock.Sleep(1);
    }
    end = true;
    clock.Sleep(5000);
    ASSERT_EQ(until.size(), 2u);
    EXPECT_EQ(until[0], start + 3'000'000 - quindle::RealClock::kServeMarginNs);
    EXPECT_EQ(until[1], start + 5'004'000'000 - quindle::RealClock::kServeMarginNs);
    EXPECT_LT(clock.nowNs(), start + 5'000'000'000); // ended early

    quindle::VirtualClock virtualClock;
    std::vector<int64_t> ran;
    virtualClock.setWaitHook([&](int64_t) { return virtualClock.messagesProcessed(), false; });
    for (int64_t ms : {10, 25, 40})
        virtualClock.at(ms, [&] { ran.push_back(virtualClock.nowMs()); });
    virtualClock.Sleep(40);
    EXPECT_EQ(ran, (std::vector<int64_t>{10, 25}));
    EXPECT_EQ(virtualClock.nowMs(), 40);
}

} // namespace
