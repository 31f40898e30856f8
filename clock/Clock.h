#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace quindle {

// A moment of the keying's schedule: the deadline that the last sleep ended on, or the moment the
// schedule started or restarted. Back-ends that play ahead of time place every call on it, so the
// work done between a deadline and the call moves no edge.
struct ScheduleTime {
    int64_t ns = 0;     // CLOCK_MONOTONIC for the real clock [ns]
    uint64_t epoch = 0; // a new number at every start or restart of the schedule
    // This epoch began because the thread fell behind its schedule (not at a run's start).
    bool restarted = false;
    // How far behind the deadline the thread was when it took this time, kept within what the
    // output absorbs. [ns]
    int64_t lateNs = 0;
    // At a restart: how far behind its deadline the thread had fallen. [ns]
    int64_t behindNs = 0;
};

// CLOCK_MONOTONIC: the time base of the real clock and of every schedule time. [ns]
int64_t monotonicNs();

// The time seam: every sleep and every reading of time in the program goes through one Clock.
class Clock {
public:
    virtual ~Clock() = default;

    // Blocks for ms milliseconds; ms <= 0 returns at once.
    virtual void Sleep(int ms) = 0;
    // Milliseconds since an arbitrary origin, wrapping at 2^32. [ms]
    virtual uint32_t GetTickCount() = 0;
    // A high-resolution counter, used only to reseed the practice generator.
    virtual uint64_t PerformanceCounter() = 0;
    // Monotonic time for back-ends that stamp events. [ns]
    virtual int64_t nowNs() = 0;
    // Called by Application.ProcessMessages after the waiting events have been dispatched.
    virtual void messagesProcessed() {}

    // Where the schedule stands now (see ScheduleTime). A clock without a schedule answers now.
    virtual ScheduleTime scheduleTime() { return {nowNs(), 0, false}; }
    // A run begins: the schedule starts afresh from the next reading or sleep.
    virtual void startSchedule() {}
    // The sound up to this schedule time [ns] is written ahead already: a late wake-up before it
    // keeps the schedule (it catches up), rather than restarting it inside a character.
    virtual void keepScheduleUntil(int64_t ns) { (void)ns; }

    // The window's service while a sleep lasts: input, repaints and a screen reader's requests are
    // handled until untilNs [ns, on this clock's time line], so that the window answers at once
    // at every speed; what the handlers do to the run waits for the message points. True: the
    // sleep is to end now (the window is closing).
    void setWaitHook(std::function<bool(int64_t untilNs)> hook) { m_waitHook = std::move(hook); }
    // While one lives, sleeps do not serve the window: a tone keyed live ends on its deadline
    // whatever the window is doing.
    class ServiceHold {
    public:
        explicit ServiceHold(Clock& clock) : m_clock(clock) { ++m_clock.m_holds; }
        ~ServiceHold() { --m_clock.m_holds; }
        ServiceHold(const ServiceHold&) = delete;
        ServiceHold& operator=(const ServiceHold&) = delete;

    private:
        Clock& m_clock;
    };

protected:
    // Runs the wait hook until untilNs, unless none is set, a hold is on, or the hook is already
    // running (a handler that sleeps). True when the sleep is to end now.
    bool serveWindow(int64_t untilNs);
    bool serves() const { return m_waitHook && m_holds == 0 && !m_inHook; }

private:
    std::function<bool(int64_t)> m_waitHook;
    int m_holds = 0;
    bool m_inHook = false;
};

// The keying's schedule on a monotonic time line: absolute deadlines, so that the time spent
// between two sleeps (message processing, filling buffers) does not add up into the rhythm. A
// wake-up later than the active output can absorb (a modal dialog held the run, the machine
// stalled) restarts the schedule from then, and nothing hurries to catch up: the silence it lands
// in stretches. A smaller lateness only makes the next sleep shorter, and no edge moves.
class Schedule {
public:
    // What an output that sounds at once absorbs: there every call is its own edge. [ns]
    static constexpr int64_t kImmediateNs = 5'000'000;

    // Where the schedule stands at nowNs when the output absorbs absorbableNs of lateness (at
    // least kImmediateNs): starts the schedule, restarts it from nowNs, or keeps the deadline.
    ScheduleTime sync(int64_t nowNs, int64_t absorbableNs);
    // Moves the deadline ms [ms] on (after a sync); returns it. [ns]
    int64_t advance(int ms);
    // The next sync starts afresh: a run begins.
    void start() { m_scheduled = false; }
    // Deadlines before ns [ns] never restart the schedule, however late they are woken up for:
    // what they key was written ahead.
    void keepUntil(int64_t ns) { m_keepUntilNs = ns; }

    // Restarts after a lateness beyond the output's, and deadlines woken up to late beyond
    // kImmediateNs that kept their place.
    int restarts() const { return m_restarts; }
    int absorbed() const { return m_absorbed; }

private:
    int64_t m_deadlineNs = 0;
    int64_t m_keepUntilNs = 0;
    int64_t m_worstLateNs = 0; // since the schedule was last on time outside a kept stretch [ns]
    bool m_scheduled = false;
    uint64_t m_epoch = 0;
    bool m_restarted = false;
    int64_t m_absorbedDeadlineNs = -1; // counted already
    int m_restarts = 0;
    int m_absorbed = 0;
};

// Sleeps on CLOCK_MONOTONIC to the deadlines of a Schedule.
class RealClock final : public Clock {
public:
    RealClock() = default;

    void Sleep(int ms) override;
    uint32_t GetTickCount() override;
    uint64_t PerformanceCounter() override;
    int64_t nowNs() override;
    ScheduleTime scheduleTime() override;
    void startSchedule() override { m_schedule.start(); }
    void keepScheduleUntil(int64_t ns) override { m_schedule.keepUntil(ns); }

    // Asked at every reading of the schedule: how much lateness the active output absorbs [ns].
    // Without it (or below that), Schedule::kImmediateNs.
    void setLatenessBudget(std::function<int64_t()> budget) { m_budget = std::move(budget); }
    // The window is served until this long before a deadline; the rest is an absolute sleep, so
    // that the deadline is kept to the nanosecond timer's precision. [ns]
    static constexpr int64_t kServeMarginNs = 2'000'000;

    // Total time that sleeps were asked for, how often the schedule restarted and how often a late
    // wake-up was absorbed. For benchmarks.
    int64_t requestedNs() const { return m_requestedNs; }
    int resyncs() const { return m_schedule.restarts(); }
    int absorbed() const { return m_schedule.absorbed(); }

private:
    ScheduleTime sync();

    Schedule m_schedule;
    std::function<int64_t()> m_budget;
    int64_t m_requestedNs = 0;
};

} // namespace quindle
