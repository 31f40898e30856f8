#pragma once

// The real speaker sinks, first that works: the kernel's PC-speaker input device, the console's
// tone ioctl, a square wave on the sound-card stream, silence. The speaker route chooses at its
// first tone (SpeakerRouteSink), never at start-up.

#include "clock/Clock.h"
#include "tone/AlsaStream.h"
#include "tone/SpeakerSink.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
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
    void planTone(uint32_t ms) override;
    bool planCharacter(std::vector<PlannedTone> tones) override;

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

// The kernel's tone device or the console when there is one, else the square wave on the stream,
// which looks for its device at every tone. Stream and clock must outlive it.
std::unique_ptr<SpeakerSink> openSpeakerSink(AlsaStream& stream, Clock& clock,
                                             const SpeakerProbe& probe = {});

// The speaker route's sink. It touches no device until its first tone, so that a frozen sound
// server cannot delay the window, and chooses there with openSpeakerSink.
class SpeakerRouteSink final : public SpeakerSink {
public:
    SpeakerRouteSink(AlsaStream& stream, Clock& clock, SpeakerProbe probe = {})
        : m_stream(stream), m_clock(clock), m_probe(std::move(probe))
    {
    }
    void toneOn(double hz) override;
    void toneOff() override;
    void planTone(uint32_t ms) override { m_plannedMs = ms; }
    bool planCharacter(std::vector<PlannedTone> tones) override;

    // Where the tone sounds now; null before the first tone.
    const SpeakerSink* chosen() const { return m_sink.get(); }
    // How late a call may come and keep its place: what the stream absorbs when the tone plays
    // there, nothing on a device that sounds at once. [ns]
    int64_t absorbableNs() const;

private:
    AlsaStream& m_stream;
    Clock& m_clock;
    SpeakerProbe m_probe;
    std::unique_ptr<SpeakerSink> m_sink;
    std::optional<uint32_t> m_plannedMs; // [ms] passed on with the next tone
};

} // namespace quindle
