#include "tone/PortSpace.h"

#include <algorithm>

namespace quindle {

namespace {

// A count written in BCD mode holds four decimal digits; 0 stands for 10000.
uint32_t fromBcd(uint16_t raw)
{
    uint32_t value = 0;
    for (int shift = 12; shift >= 0; shift -= 4)
        value = value * 10 + std::min<uint32_t>((raw >> shift) & 0xF, 9);
    return value == 0 ? 10000 : value;
}

} // namespace

PortSpace::PortSpace(SpeakerSink& sink, uint8_t systemControl) : m_sink(sink), m_systemControl(systemControl)
{
}

void PortSpace::write(uint16_t port, uint8_t value)
{
    if (m_logging)
        m_writes.push_back({port, value});
    switch (port) {
    case kTimerMode:
        writeMode(value);
        break;
    case kCounter2:
        writeCount(value);
        break;
    case kSystemControl:
        m_systemControl = value;
        break;
    default:
        return;
    }
    update();
}

uint8_t PortSpace::read(uint16_t port) const
{
    return port == kSystemControl ? m_systemControl : 0xFF;
}

void PortSpace::writeMode(uint8_t mode)
{
    // Bits 7-6 select the channel; only channel 2 drives the speaker.
    if ((mode >> 6) != 2)
        return;
    const uint8_t access = (mode >> 4) & 3;
    if (access == 0)
        return; // counter latch: the count goes on unchanged
    m_access = access;
    m_mode = (mode >> 1) & 7;
    m_bcd = (mode & 1) != 0;
    // A new mode stops the channel until a whole count has been written.
    m_expectHigh = false;
    m_loaded = false;
}

void PortSpace::writeCount(uint8_t value)
{
    uint16_t raw = 0;
    switch (m_access) {
    case 1:
        raw = value;
        break;
    case 2:
        raw = uint16_t(value << 8);
        break;
    default:
        if (!m_expectHigh) {
            m_lowByte = value;
            m_expectHigh = true;
            return;
        }
        m_expectHigh = false;
        raw = uint16_t(m_lowByte | (value << 8));
        break;
    }
    m_divisor = m_bcd ? fromBcd(raw) : (raw == 0 ? 65536u : raw);
    m_loaded = true;
}

void PortSpace::update()
{
    // Modes 2 and 3 (6 and 7 are their aliases) repeat; the one-shot modes make no tone.
    const bool periodic = (m_mode & 3) == 2 || (m_mode & 3) == 3;
    const bool on = (m_systemControl & 3) == 3 && m_loaded && periodic;
    const double hz = on ? double(kTimerClockHz) / m_divisor : 0.0;
    if (on && (!m_sounding || hz != m_frequency))
        m_sink.toneOn(hz);
    else if (!on && m_sounding)
        m_sink.toneOff();
    m_sounding = on;
    m_frequency = hz;
}

} // namespace quindle
