#pragma once

// The program's clock, keeping the keying's own lengths: every sleep, and whether a tone sounded
// through it. From them come the lengths that a recording of the run must show.

#include "clock/Clock.h"
#include "keying/ToneRoutes.h"

#include <deque>
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

// Between the keying and the tone output: tells from each character's plan which of the keying's
// sleeps are sound-card tones, for RhythmClock::sounding.
class PlanTap final : public ToneRoutes {
public:
    explicit PlanTap(ToneRoutes& out) : m_out(out) {}
    void SpeakerTone(uint32_t frequency, uint32_t ms) override { m_out.SpeakerTone(frequency, ms); }
    void SpeakerNoSound() override { m_out.SpeakerNoSound(); }
    void SoundcardElement(int n, int dotTime, int frequency) override { m_out.SoundcardElement(n, dotTime, frequency); }
    PlayedAhead beginCharacter(const CharacterPlan& plan) override
    {
        for (const PlannedElement& e : plan.elements) {
            if (e.soundcardMs >= 0)
                m_sleeps.push_back(true);
            m_sleeps.push_back(false);
        }
        m_sleeps.insert(m_sleeps.end(), plan.gapsMs.size(), false);
        return m_out.beginCharacter(plan);
    }
    // Whether the keying's next sleep is a tone.
    bool nextSleepIsTone()
    {
        if (m_sleeps.empty())
            return false;
        const bool tone = m_sleeps.front();
        m_sleeps.pop_front();
        return tone;
    }

private:
    ToneRoutes& m_out;
    std::deque<bool> m_sleeps;
};

} // namespace quindle::test
