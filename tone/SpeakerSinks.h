#pragma once

// The real speaker sinks, chosen once at start-up, first that works: the kernel's PC-speaker
// input device, the console's tone ioctl, a square wave on the sound-card stream, silence.

#include "clock/Clock.h"
#include "tone/AlsaStream.h"
#include "tone/SpeakerSink.h"

#include <memory>
#include <string>
#include <vector>

namespace quindle {

// An input device with the SND_TONE capability (the pcspkr driver): EV_SND/SND_TONE events.
class InputToneSink final : public SpeakerSink {
public:
    explicit InputToneSink(int fd) : m_fd(fd) {}
    ~InputToneSink() override;
    void toneOn(double hz) override;
    void toneOff() override;

private:
    bool send(int hz);
    int m_fd;
};

// The console's KIOCSOUND ioctl, which takes the timer divisor 1193180 / hz.
class ConsoleToneSink final : public SpeakerSink {
public:
    explicit ConsoleToneSink(int fd) : m_fd(fd) {}
    ~ConsoleToneSink() override;
    void toneOn(double hz) override;
    void toneOff() override;

private:
    int m_fd;
};

// A square wave of the frequency on the sound-card stream, on the clock's schedule like the
// wave-out calls, each tone exactly as long as planned. When the stream has failed or was closed
// for idleness, a tone reopens it, and is silent if that does not work.
class SquareWaveSink final : public SpeakerSink {
public:
    SquareWaveSink(AlsaStream& stream, Clock& clock) : m_stream(stream), m_clock(clock) {}
    void toneOn(double hz) override;
    void toneOff() override;
    void planTone(uint32_t ms) override { m_plannedNs = int64_t(ms) * 1'000'000; }

private:
    AlsaStream& m_stream;
    Clock& m_clock;
    int64_t m_plannedNs = -1; // [ns]
};

class SilentSink final : public SpeakerSink {
public:
    void toneOn(double) override {}
    void toneOff() override {}
};

// Where openSpeakerSink looks; tests point it elsewhere.
struct SpeakerProbe {
    std::string inputDir = "/dev/input";
    std::string sysInputDir = "/sys/class/input";
    std::vector<std::string> consoles = {"/dev/console", "/dev/tty0"};
};

// stream and clock must outlive the sink.
std::unique_ptr<SpeakerSink> openSpeakerSink(AlsaStream& stream, Clock& clock,
                                             const SpeakerProbe& probe = {});

} // namespace quindle
