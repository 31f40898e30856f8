#pragma once

namespace quindle {

// Where the emulated PC speaker sounds: the hardware state (gate open, divisor loaded) becomes
// toneOn(1193181 / divisor) and a closed gate becomes toneOff().
class SpeakerSink {
public:
    virtual ~SpeakerSink() = default;
    virtual void toneOn(double hz) = 0; // [Hz]
    virtual void toneOff() = 0;
};

} // namespace quindle
