#include "tests/support/RecordingToneRoutes.h"

#include "tests/support/VirtualClock.h"

namespace quindle {

void RecordingToneRoutes::record(const Call& call)
{
    ++m_callCount;
    if (m_recording)
        m_calls.push_back(call);
}

void RecordingToneRoutes::SpeakerTone(uint32_t frequency, uint32_t ms)
{
    record({Kind::SpeakerTone, m_clock.nowUs(), frequency, int(ms), 0, 0});
    m_speakerOn = true;
    m_clock.Sleep(int(ms));
}

void RecordingToneRoutes::SpeakerNoSound()
{
    record({Kind::SpeakerNoSound, m_clock.nowUs(), 0, 0, 0, 0});
    m_speakerOn = false;
}

void RecordingToneRoutes::SoundcardElement(int n, int dotTime, int frequency)
{
    const int ms = n * (dotTime - 4);
    record({Kind::SoundcardElement, m_clock.nowUs(), uint32_t(frequency), ms, n, dotTime});
    m_clock.Sleep(ms);
}

PlayedAhead RecordingToneRoutes::beginCharacter(const CharacterPlan& plan)
{
    if (m_recording)
        m_forecasts.push_back({m_clock.nowUs(), plan.tones()});
    return m_ahead;
}

std::string RecordingToneRoutes::timeline() const
{
    std::string out;
    size_t next = 0;
    for (const VirtualClock::SleepRecord& sleep : m_clock.sleeps()) {
        // The tone call that made this sleep, if any, starts at the same moment.
        while (next < m_calls.size() &&
               (m_calls[next].startUs < sleep.startUs || m_calls[next].kind == Kind::SpeakerNoSound))
            ++next;
        // Appended piece by piece: GCC 12 reports a false -Wrestrict at -O3 for "literal" + string.
        if (!out.empty())
            out += ' ';
        if (next < m_calls.size() && m_calls[next].startUs == sleep.startUs && m_calls[next].ms == sleep.ms) {
            const Call& call = m_calls[next++];
            const bool speaker = call.kind == Kind::SpeakerTone;
            out += speaker ? 'S' : 'C';
            out += std::to_string(speaker ? int64_t(call.frequency) : int64_t(call.n));
            out += ':';
            out += std::to_string(call.ms);
        } else {
            out += '_';
            out += std::to_string(sleep.ms);
        }
    }
    return out;
}

} // namespace quindle
