#include "tests/support/RecordingSpeakerSink.h"

namespace quindle {

void RecordingSpeakerSink::toneOn(double hz)
{
    m_events.push_back({m_clock.nowNs() / 1000, true, hz});
    m_sounding = true;
    m_hz = hz;
}

void RecordingSpeakerSink::toneOff()
{
    m_events.push_back({m_clock.nowNs() / 1000, false, 0});
    m_sounding = false;
    m_hz = 0;
}

int64_t RecordingSpeakerSink::soundedUs() const
{
    int64_t total = 0;
    int64_t onAt = -1;
    for (const Event& e : m_events) {
        if (e.on && onAt < 0)
            onAt = e.atUs;
        else if (!e.on && onAt >= 0) {
            total += e.atUs - onAt;
            onAt = -1;
        }
    }
    if (onAt >= 0)
        total += m_clock.nowNs() / 1000 - onAt;
    return total;
}

} // namespace quindle
