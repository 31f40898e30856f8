#pragma once

#include <climits>
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

// One element of a character as the keying walks it.
struct PlannedElement {
    int n = 1;            // 1 dot, 3 dash
    int speakerMs = -1;   // the speaker route's tone; -1 when the route is off [ms]
    int soundcardMs = -1; // the sound card's tone; -1 when the route is off [ms]
    int pauseMs = 0;      // the silence after the element [ms]
};

// The one record of a character, made when it begins from the speed, pitch, routes and delay as
// they stand. The outputs play it and the keying walks it, so a change made inside the character
// applies from the next one.
struct CharacterPlan {
    int dotTime = 0;   // [ms]
    int frequency = 0; // the tone control's value [Hz]
    std::vector<PlannedElement> elements;
    // The gaps after the elements, each followed by message processing: the letter gap, or for a
    // word space the word and the letter gap. Empty when they are skipped. [ms]
    std::vector<int> gapsMs;

    // Every tone of the character on its schedule, in order.
    std::vector<CharacterTone> tones() const;
};

// Which routes play a character ahead of time, whole, from its plan: the keying only sleeps
// through their tones. A route not named here is keyed element by element.
struct PlayedAhead {
    bool speaker = false;
    bool soundcard = false;
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
    // A character begins now. Outputs that play ahead of time play it whole from here, so that no
    // stall reaches inside it, and say so; the element calls of those routes are then not made.
    virtual PlayedAhead beginCharacter(const CharacterPlan& plan)
    {
        (void)plan;
        return {};
    }
    // The schedule time before which the next character cannot begin, when an output had to push
    // a character back (the one before it had not ended): the keying waits for it before it shows
    // the next one. [ns]
    virtual int64_t nextCharacterFromNs() { return INT64_MIN; }
};

} // namespace quindle
