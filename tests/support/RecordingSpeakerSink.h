#pragma once

#include "clock/Clock.h"
#include "tone/SpeakerSink.h"

#include <cstdint>
#include <vector>

namespace quindle {

// Test speaker sink: records every toneOn/toneOff with the clock's time.
class RecordingSpeakerSink final : public SpeakerSink {
public:
    struct Event {
        int64_t atUs; // clock time [us]
        bool on;
        double hz; // [Hz], 0 for toneOff
        bool operator==(const Event&) const = default;
    };

    explicit RecordingSpeakerSink(Clock& clock) : m_clock(clock) {}

    void toneOn(double hz) override;
    void toneOff() override;

    const std::vector<Event>& events() const { return m_events; }
    void clear() { m_events.clear(); }
    bool sounding() const { return m_sounding; }
    double hz() const { return m_hz; }
    // Total time the speaker sounded up to now [us].
    int64_t soundedUs() const;

private:
    Clock& m_clock;
    std::vector<Event> m_events;
    bool m_sounding = false;
    double m_hz = 0;
};

} // namespace quindle
