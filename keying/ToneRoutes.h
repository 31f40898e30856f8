#pragma once

#include <cstdint>
#include <vector>

namespace quindle {

// One tone of a character, on the keying's schedule from the character's first moment.
struct CharacterTone {
    bool speaker = false; // the speaker route's tone, else the sound card's
    int startMs = 0;      // [ms] after the character begins
    int lengthMs = 0;     // [ms]
    int frequency = 0;    // [Hz]
    // How long after this tone's end the next character can begin at the earliest: the pause after
    // the last element, and the letter gap unless it is skipped. [ms]
    int nextCharacterAfterMs = 0;
};

// What the keying engine asks of the tone output for one element.
class ToneRoutes {
public:
    virtual ~ToneRoutes() = default;

    // Sounds the speaker at frequency [Hz] and returns after ms [ms]; on the port path the tone
    // is still on when it returns and must be followed by SpeakerNoSound.
    virtual void SpeakerTone(uint32_t frequency, uint32_t ms) = 0;
    virtual void SpeakerNoSound() = 0;
    // The sound-card element with factor n (1 dot, 3 dash): Start, Sleep(n * (dotTime - 4)),
    // StopNow. Silent but of the same length when the sound card cannot be used. frequency is the
    // tone control's value [Hz] as the element starts: every buffer is filled inside the Start, so
    // it is the value each fill would read.
    virtual void SoundcardElement(int n, int dotTime, int frequency) = 0;
    // A character begins now: all its tones, with the routes, pitch and speed as they stand. The
    // element calls that follow key the same tones. Outputs that play ahead of time play the
    // character from here, so that no stall reaches inside it; others ignore it.
    virtual void beginCharacter(const std::vector<CharacterTone>& tones) { (void)tones; }
};

} // namespace quindle
