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
};

} // namespace quindle
