#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace quindle {

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
};

// Sleeps on CLOCK_MONOTONIC against absolute deadlines, so that the time spent between two
// sleeps (message processing, filling buffers) does not add up into the rhythm. When a sleep
// starts more than kResyncNs behind its deadline (a modal dialog held the run, the machine
// stalled, the keying was idle), the schedule restarts from now instead of hurrying to catch up.
class RealClock final : public Clock {
public:
    static constexpr int64_t kResyncNs = 5'000'000;

    void Sleep(int ms) override;
    uint32_t GetTickCount() override;
    uint64_t PerformanceCounter() override;
    int64_t nowNs() override;

    // Total time that sleeps were asked for, and how often the schedule restarted. For benchmarks.
    int64_t requestedNs() const { return m_requestedNs; }
    int resyncs() const { return m_resyncs; }

private:
    int64_t m_deadlineNs = 0;
    bool m_scheduled = false;
    int64_t m_requestedNs = 0;
    int m_resyncs = 0;
};

} // namespace quindle
