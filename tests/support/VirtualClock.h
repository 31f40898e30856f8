#pragma once

#include "clock/Clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace quindle {

// Test double: time passes only when the code under test sleeps (or a test advances it).
// Every sleep is recorded; actions scheduled for a moment run in the first
// Application.ProcessMessages at or after that moment, in time order, or, when the window serves
// its events while the run sleeps (a wait hook), inside the sleep at that moment.
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
    void startSchedule() override { ++m_scheduleStarts; }
    int scheduleStarts() const { return m_scheduleStarts; }

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
    int m_scheduleStarts = 0;
    uint64_t m_actionSeq = 0;
    std::vector<SleepRecord> m_sleeps;
    // Keyed by (time, insertion order), so that actions due at the same moment keep their order.
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> m_actions;
    std::function<uint64_t()> m_counter;
    std::function<void(int)> m_sleepHook;
};

} // namespace quindle
