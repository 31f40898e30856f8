#pragma once

#include "clock/Clock.h"
#include "tone/PortSpace.h"

#include <cstdint>

namespace quindle {

// The internal speaker, driven as on a PC: timer channel 2 as a square-wave generator and the
// speaker gate in the system control port. Linux offers no blocking beep service, so the port
// path is the only one; the ports are the emulated PortSpace, which forwards the tone to a sink.
class SpeakerDriver {
public:
    static constexpr uint16_t kLowestFrequency = 19; // [Hz]; 18 and below would overflow the divisor

    SpeakerDriver(Clock& clock, PortSpace& ports) : m_clock(clock), m_ports(ports) {}

    void PortOut(uint16_t port, uint8_t value);
    uint8_t PortIn(uint16_t port);

    // Starts a continuous tone [Hz] and returns at once; 18 Hz or less touches no port.
    void SpeakerSound(uint16_t frequency);
    // Returns when at least ms [ms] have passed on the clock's schedule; sleeps at least once.
    void SpeakerWait(uint32_t ms);
    // Sounds frequency [Hz] (its low 16 bits) for ms [ms]; the tone is still on on return.
    void SpeakerTone(uint32_t frequency, uint32_t ms);
    // Closes the speaker gate, leaving the other bits of the control port as they are.
    void SpeakerNoSound();
    // What SpeakerTone(frequency, ...) sounds: the timer's square wave [Hz], 0 for none.
    static double toneHz(uint32_t frequency);

private:
    Clock& m_clock;
    PortSpace& m_ports;
};

} // namespace quindle
