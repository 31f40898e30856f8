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
};

// Sleeps on CLOCK_MONOTONIC against absolute deadlines, so that the time spent between two
// sleeps (message processing, filling buffers) does not add up into the rhythm. When a sleep or a
// reading of the schedule comes more than kResyncNs behind the deadline (a modal dialog held the
// run, the machine stalled), the schedule restarts from now instead of hurrying to catch up.
class RealClock final : public Clock {
public:
    static constexpr int64_t kResyncNs = 5'000'000;

    void Sleep(int ms) override;
    uint32_t GetTickCount() override;
    uint64_t PerformanceCounter() override;
    int64_t nowNs() override;
    ScheduleTime scheduleTime() override;
    void startSchedule() override { m_scheduled = false; }

    // Total time that sleeps were asked for, and how often the schedule restarted. For benchmarks.
    int64_t requestedNs() const { return m_requestedNs; }
    int resyncs() const { return m_resyncs; }

private:
    // Starts the schedule, or restarts it when the thread fell behind; returns now. [ns]
    int64_t sync();

    int64_t m_deadlineNs = 0;
    bool m_scheduled = false;
    uint64_t m_epoch = 0;
    bool m_restarted = false;
    int64_t m_requestedNs = 0;
    int m_resyncs = 0;
};

} // namespace quindle
