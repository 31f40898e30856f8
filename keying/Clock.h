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

// Test double: time passes only when the code under test sleeps (or a test advances it).
// Every sleep is recorded; actions scheduled for a moment run in the first
// Application.ProcessMessages at or after that moment, in time order.
class VirtualClock final : public Clock {
public:
    struct SleepRecord {
        int64_t startUs; // virtual time when the sleep began [us]
        int ms;          // length asked for [ms]
    };

    void Sleep(int ms) override;
    uint32_t GetTickCount() override;
    uint64_t PerformanceCounter() override;
    int64_t nowNs() override { return m_nowNs; }
    void messagesProcessed() override;

    int64_t nowMs() const { return m_nowNs / 1'000'000; }
    int64_t nowUs() const { return m_nowNs / 1'000; }
    // Lets virtual time pass without a sleep, e.g. to stand for computation. [ns]
    void advanceNs(int64_t ns) { m_nowNs += ns; }
    // Sets the tick count origin, e.g. just below the 2^32 wrap. [ms]
    void setTickOrigin(uint32_t tickAtZero) { m_tickOrigin = tickAtZero; }

    // Runs action in the first ProcessMessages at or after virtual time atMs. [ms]
    void at(int64_t atMs, std::function<void()> action);
    // Runs action in the first ProcessMessages at or after the virtual time now + delayMs.
    void after(int64_t delayMs, std::function<void()> action) { at(nowMs() + delayMs, std::move(action)); }
    size_t pendingActions() const { return m_actions.size(); }

    // The performance counter returns successive values of this source (default: virtual ns).
    void setCounterSource(std::function<uint64_t()> source) { m_counter = std::move(source); }

    // Called at the start of every sleep, before time advances (to sample the outputs' state).
    void setSleepHook(std::function<void(int ms)> hook) { m_sleepHook = std::move(hook); }

    const std::vector<SleepRecord>& sleeps() const { return m_sleeps; }
    void clearSleeps() { m_sleeps.clear(); }
    // Long soak runs turn the record off so that memory stays flat.
    void setRecording(bool on) { m_recording = on; }
    uint64_t sleepCount() const { return m_sleepCount; }

private:
    int64_t m_nowNs = 0;
    uint32_t m_tickOrigin = 0;
    bool m_recording = true;
    uint64_t m_sleepCount = 0;
    uint64_t m_actionSeq = 0;
    std::vector<SleepRecord> m_sleeps;
    // Keyed by (time, insertion order), so that actions due at the same moment keep their order.
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> m_actions;
    std::function<uint64_t()> m_counter;
    std::function<void(int)> m_sleepHook;
};

} // namespace quindle
