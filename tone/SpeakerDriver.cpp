#include "tone/SpeakerDriver.h"

namespace quindle {

namespace {

constexpr uint8_t kGateBits = 0x03;      // bit 0 gates channel 2, bit 1 enables the speaker line
constexpr uint8_t kChannel2Mode3 = 0xB6; // channel 2, low then high byte, square wave, binary

} // namespace

void SpeakerDriver::PortOut(uint16_t port, uint8_t value)
{
    m_ports.write(port, value);
}

uint8_t SpeakerDriver::PortIn(uint16_t port)
{
    return m_ports.read(port);
}

void SpeakerDriver::SpeakerSound(uint16_t frequency)
{
    if (frequency < kLowestFrequency)
        return;
    const uint32_t divisor = PortSpace::kTimerClockHz / frequency;
    const uint8_t control = PortIn(PortSpace::kSystemControl);
    // A gate that is already (partly) open means the timer is programmed: only reload the count.
    // A closed one opens last, on the new count: opened first, it would sound the last tone's pitch
    // until the count is loaded.
    const bool closed = (control & kGateBits) == 0;
    if (closed)
        PortOut(PortSpace::kTimerMode, kChannel2Mode3);
    PortOut(PortSpace::kCounter2, uint8_t(divisor & 0xFF));
    PortOut(PortSpace::kCounter2, uint8_t((divisor >> 8) & 0xFF));
    if (closed)
        PortOut(PortSpace::kSystemControl, control | kGateBits);
}

double SpeakerDriver::toneHz(uint32_t frequency)
{
    const uint16_t f = uint16_t(frequency & 0xFFFF);
    if (f < kLowestFrequency)
        return 0;
    return double(PortSpace::kTimerClockHz) / double(PortSpace::kTimerClockHz / f);
}

void SpeakerDriver::SpeakerWait(uint32_t ms)
{
    // Counted on the keying's schedule, where the sinks place the tone: the tick count runs ahead
    // of it by the work done since the last deadline, and whenever that work crosses a tick the
    // tone would last a tick longer. 64-bit nanoseconds do not wrap as the tick count does.
    const int64_t start = m_clock.scheduleTime().ns;
    const int64_t length = int64_t(ms) * 1'000'000; // [ns]
    do {
        m_clock.Sleep(1);
    } while (m_clock.scheduleTime().ns - start < length);
}

void SpeakerDriver::SpeakerTone(uint32_t frequency, uint32_t ms)
{
    SpeakerSound(uint16_t(frequency & 0xFFFF));
    SpeakerWait(ms);
}

void SpeakerDriver::SpeakerNoSound()
{
    PortOut(PortSpace::kSystemControl, PortIn(PortSpace::kSystemControl) & uint8_t(~kGateBits));
}

} // namespace quindle
