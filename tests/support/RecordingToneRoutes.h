#pragma once

#include "keying/ToneRoutes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quindle {

class VirtualClock;

// A ToneRoutes stand-in for tests: records every call with the virtual time at which it was made
// and lets the virtual clock pass as long as the real route would take.
class RecordingToneRoutes final : public ToneRoutes {
public:
    enum class Kind { SpeakerTone, SpeakerNoSound, SoundcardElement };
    struct Call {
        Kind kind;
        int64_t startUs;    // virtual time of the call [us]
        uint32_t frequency; // [Hz]
        int ms;             // SpeakerTone: duration; SoundcardElement: n * (dotTime - 4) [ms]
        int n;              // SoundcardElement: 1 dot, 3 dash
        int dotTime;        // SoundcardElement [ms]
    };

    explicit RecordingToneRoutes(VirtualClock& clock) : m_clock(clock) {}

    void SpeakerTone(uint32_t frequency, uint32_t ms) override;
    void SpeakerNoSound() override;
    void SoundcardElement(int n, int dotTime, int frequency) override;
    PlayedAhead beginCharacter(const CharacterPlan& plan) override;
    // The routes that take each character whole (and whose element calls are then not made).
    void setPlaysAhead(PlayedAhead ahead) { m_ahead = ahead; }
    struct Forecast {
        int64_t startUs; // virtual time of the call [us]
        std::vector<CharacterTone> tones;
    };
    const std::vector<Forecast>& forecasts() const { return m_forecasts; }

    const std::vector<Call>& calls() const { return m_calls; }
    void clear() { m_calls.clear(), m_forecasts.clear(); }
    // Long soak runs turn the record off so that memory stays flat; counting goes on.
    void setRecording(bool on) { m_recording = on; }
    uint64_t callCount() const { return m_callCount; }
    // True while a speaker tone has been started and not yet silenced.
    bool speakerSounding() const { return m_speakerOn; }

    // The clock's sleeps since the last clearSleeps(), each labelled by what it was:
    // "S<freq>:<ms>" a speaker tone, "C<n>:<ms>" a sound-card tone, "_<ms>" silence; joined by
    // spaces. Needs both records on.
    std::string timeline() const;

private:
    void record(const Call& call);

    VirtualClock& m_clock;
    std::vector<Call> m_calls;
    std::vector<Forecast> m_forecasts;
    PlayedAhead m_ahead;
    bool m_recording = true;
    bool m_speakerOn = false;
    uint64_t m_callCount = 0;
};

} // namespace quindle
