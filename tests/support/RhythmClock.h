#pragma once

// The program's clock, keeping the keying's own lengths: every sleep, and whether a tone sounded
// through it. From them come the lengths that a recording of the run must show.

#include "clock/Clock.h"

#include <functional>
#include <vector>

namespace quindle::test {

class RhythmClock final : public Clock {
public:
    void Sleep(int ms) override
    {
        if (sounding)
            sleeps.push_back({ms, sounding()});
        m_real.Sleep(ms);
    }
    uint32_t GetTickCount() override { return m_real.GetTickCount(); }
    uint64_t PerformanceCounter() override { return m_real.PerformanceCounter(); }
    int64_t nowNs() override { return m_real.nowNs(); }
    ScheduleTime scheduleTime() override { return m_real.scheduleTime(); }
    void startSchedule() override { m_real.startSchedule(); }
    void keepScheduleUntil(int64_t ns) override { m_real.keepScheduleUntil(ns); }

    RealClock& real() { return m_real; }

    // Whether a tone sounds now; sleeps are kept once it is set.
    std::function<bool()> sounding;

    struct Lengths {
        std::vector<int> tones;    // [ms]
        std::vector<int> silences; // silences[k]: the sleeps before tone k (k > 0) [ms]
    };
    Lengths lengths() const
    {
        Lengths l{{}, {0}};
        for (const Slept& s : sleeps) {
            if (s.tone) {
                l.tones.push_back(s.ms);
                l.silences.push_back(0);
            } else {
                l.silences.back() += s.ms;
            }
        }
        return l;
    }

private:
    struct Slept {
        int ms;
        bool tone;
    };
    std::vector<Slept> sleeps;
    RealClock m_real;
};

} // namespace quindle::test
