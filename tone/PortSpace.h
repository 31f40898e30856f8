#pragma once

#include "tone/SpeakerSink.h"

#include <cstdint>
#include <vector>

namespace quindle {

// The PC port space as far as the speaker uses it: channel 2 of the 8254 timer (mode register
// 0x43, count register 0x42) and the gate bits of the system control port 0x61. Whenever the
// speaker's audible state changes, the sink hears of it: a tone of 1193181 / divisor Hz while
// both gate bits are set and a periodic count is loaded, silence otherwise.
class PortSpace {
public:
    static constexpr uint16_t kCounter2 = 0x42;
    static constexpr uint16_t kTimerMode = 0x43;
    static constexpr uint16_t kSystemControl = 0x61;
    static constexpr uint32_t kTimerClockHz = 1193181; // [Hz]

    struct PortWrite {
        uint16_t port;
        uint8_t value;
        bool operator==(const PortWrite&) const = default;
    };

    // systemControl is the byte port 0x61 holds at start; its bits other than 0 and 1 are never
    // changed by the model.
    explicit PortSpace(SpeakerSink& sink, uint8_t systemControl = 0);

    void write(uint16_t port, uint8_t value);
    // Port 0x61 reads back what was written; any other port reads as an open bus (0xFF).
    uint8_t read(uint16_t port) const;

    bool sounding() const { return m_sounding; }
    double frequency() const { return m_frequency; } // of the sounding tone [Hz]
    uint32_t divisor() const { return m_divisor; }   // last loaded count, 65536 for 0

    // The log of writes is off by default so that a long session does not grow it.
    void setLogging(bool on) { m_logging = on; }
    const std::vector<PortWrite>& writes() const { return m_writes; }
    void clearLog() { m_writes.clear(); }

private:
    void writeMode(uint8_t mode);
    void writeCount(uint8_t value);
    void update();

    SpeakerSink& m_sink;
    uint8_t m_systemControl;
    // Channel 2 as the firmware leaves it: low byte then high byte, mode 3, binary, no count yet.
    uint8_t m_access = 3; // 1 low only, 2 high only, 3 low then high
    uint8_t m_mode = 3;
    bool m_bcd = false;
    bool m_expectHigh = false;
    uint8_t m_lowByte = 0;
    bool m_loaded = false;
    uint32_t m_divisor = 0;
    bool m_sounding = false;
    double m_frequency = 0; // [Hz]
    bool m_logging = false;
    std::vector<PortWrite> m_writes;
};

} // namespace quindle
