#pragma once

#include "tone/PlannedTone.h"

#include <cstdint>
#include <vector>

namespace quindle {

// Where the emulated PC speaker sounds: the hardware state (gate open, divisor loaded) becomes
// toneOn(1193181 / divisor) and a closed gate becomes toneOff().
class SpeakerSink {
public:
    virtual ~SpeakerSink() = default;
    virtual void toneOn(double hz) = 0; // [Hz]
    virtual void toneOff() = 0;
    // The next tone lasts ms [ms] on the keying's schedule. A sink that plays ahead of time ends it
    // there, however its toneOff falls; a sink that sounds at once ignores it.
    virtual void planTone(uint32_t ms) { (void)ms; }
    // The speaker tones of a character that begins now on the keying's schedule. A sink that plays
    // ahead of time plays them whole from here and answers true: the character's elements then
    // make no calls of their own. A sink that sounds at once does not.
    virtual bool planCharacter(std::vector<PlannedTone> tones)
    {
        (void)tones;
        return false;
    }
};

} // namespace quindle
