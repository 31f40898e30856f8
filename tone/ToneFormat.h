#pragma once

// The format of every tone on the sound card: 16-bit signed mono at one frame rate, one peak level.

namespace quindle {

// The wave output's frame rate, and the rate the stream opens at when no caller asks for another.
// [frames/s]
constexpr int kFrameRate = 22540;

// Peak sample value of every tone, the sound card's sine and the speaker's square wave on the
// stream: a quarter of 16-bit full scale, about 12 dB below it.
constexpr int Amplitude = 8192;

} // namespace quindle
