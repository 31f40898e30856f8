#pragma once

#include <cstdint>
#include <vector>

namespace quindle {

// One tone of a character that the outputs learn when the character begins: where it starts after
// the character's first moment on the keying's schedule, and how long it lasts. A sound-card tone
// carries its samples (at the stream's rate); a speaker tone is a square wave of hz.
struct PlannedTone {
    int64_t offsetNs = 0;
    int64_t lengthNs = 0;
    double hz = 0;
    std::vector<int16_t> samples; // empty: a square wave of hz
    int64_t nextCharacterAfterNs = 0; // the next character begins this long after the end at the earliest
};

} // namespace quindle
