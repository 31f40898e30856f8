#include "tests/support/RecordingToneRoutes.h"

#include "keying/Clock.h"

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

void RecordingToneRoutes::SoundcardElement(int n, int dotTime)
{
    const int ms = n * (dotTime - 4);
    record({Kind::SoundcardElement, m_clock.nowUs(), 0, ms, n, dotTime});
    m_clock.Sleep(ms);
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
        std::string item;
        if (next < m_calls.size() && m_calls[next].startUs == sleep.startUs && m_calls[next].ms == sleep.ms) {
            const Call& call = m_calls[next++];
            if (call.kind == Kind::SpeakerTone)
                item = "S" + std::to_string(call.frequency) + ":" + std::to_string(call.ms);
            else
                item = "C" + std::to_string(call.n) + ":" + std::to_string(call.ms);
        } else {
            item = "_" + std::to_string(sleep.ms);
        }
        if (!out.empty())
            out += ' ';
        out += item;
    }
    return out;
}

} // namespace quindle
