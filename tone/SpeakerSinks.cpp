#include "tone/SpeakerSinks.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <utility>

namespace quindle {

namespace {

constexpr double kConsoleClock = 1193180; // [Hz] the console ioctl's timer input

bool testBit(const unsigned long* bits, int bit)
{
    constexpr int perWord = int(sizeof(unsigned long) * 8);
    return (bits[bit / perWord] >> (bit % perWord)) & 1UL;
}

// An event device of dir that takes SND_TONE and can be written; -1 when there is none.
int openToneInput(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int found = -1;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "event", 5) != 0)
            continue;
        const std::string path = dir + "/" + e->d_name;
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        unsigned long types[(EV_MAX + 1 + 63) / 64 + 1] = {};
        unsigned long sounds[(SND_MAX + 1 + 63) / 64 + 1] = {};
        if (ioctl(fd, EVIOCGBIT(0, sizeof types), types) >= 0 && testBit(types, EV_SND) &&
            ioctl(fd, EVIOCGBIT(EV_SND, sizeof sounds), sounds) >= 0 && testBit(sounds, SND_TONE)) {
            found = fd;
            break;
        }
        close(fd);
    }
    closedir(d);
    return found;
}

// Whether the kernel has a tone device at all: without one the console ioctl succeeds silently.
bool toneDeviceExists(const std::string& sysDir)
{
    DIR* d = opendir(sysDir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "input", 5) != 0)
            continue;
        std::ifstream in(sysDir + "/" + e->d_name + "/capabilities/snd");
        std::string hex;
        if (in >> hex && (std::strtoul(hex.c_str(), nullptr, 16) & (1UL << SND_TONE))) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

int openConsole(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (ioctl(fd, KIOCSOUND, 0) == 0)
            return fd;
        close(fd);
    }
    return -1;
}

} // namespace

InputToneSink::~InputToneSink()
{
    send(0);
    close(m_fd);
}

bool InputToneSink::send(int hz)
{
    input_event ev{};
    ev.type = EV_SND;
    ev.code = SND_TONE;
    ev.value = hz;
    return write(m_fd, &ev, sizeof ev) == ssize_t(sizeof ev);
}

void InputToneSink::toneOn(double hz)
{
    send(int(std::lround(hz)));
}

void InputToneSink::toneOff()
{
    send(0);
}

ConsoleToneSink::~ConsoleToneSink()
{
    ioctl(m_fd, KIOCSOUND, 0);
    close(m_fd);
}

void ConsoleToneSink::toneOn(double hz)
{
    if (hz <= 0)
        return;
    const long divisor = std::lround(kConsoleClock / hz);
    ioctl(m_fd, KIOCSOUND, divisor > 0 ? divisor : 1);
}

void ConsoleToneSink::toneOff()
{
    ioctl(m_fd, KIOCSOUND, 0);
}

void SquareWaveSink::planTone(uint32_t ms)
{
    m_plannedNs = int64_t(ms) * 1'000'000;
}

bool SquareWaveSink::planCharacter(std::vector<PlannedTone> tones)
{
    if (!m_stream.acquire(0).ok)
        return false;
    return m_stream.forecast(std::move(tones), m_clock.scheduleTime());
}

void SquareWaveSink::toneOn(double hz)
{
    const int64_t length = std::exchange(m_plannedNs, -1);
    if (m_stream.acquire(0).ok)
        m_stream.squareOn(hz, m_clock.scheduleTime(), length);
}

void SquareWaveSink::toneOff()
{
    m_plannedNs = -1;
    m_stream.squareOff(m_clock.scheduleTime());
}

std::unique_ptr<SpeakerSink> openSpeakerSink(AlsaStream& stream, Clock& clock, const SpeakerProbe& probe)
{
    if (const int fd = openToneInput(probe.inputDir); fd >= 0)
        return std::make_unique<InputToneSink>(fd);
    if (toneDeviceExists(probe.sysInputDir)) {
        if (const int fd = openConsole(probe.consoles); fd >= 0)
            return std::make_unique<ConsoleToneSink>(fd);
    }
    // The stream is tried again at every tone, so the tone sounds once a sound server is there.
    return std::make_unique<SquareWaveSink>(stream, clock);
}

void SpeakerRouteSink::toneOn(double hz)
{
    if (!m_sink)
        m_sink = openSpeakerSink(m_stream, m_clock, m_probe);
    if (m_plannedMs)
        m_sink->planTone(*std::exchange(m_plannedMs, std::nullopt));
    m_sink->toneOn(hz);
}

int64_t SpeakerRouteSink::absorbableNs() const
{
    return dynamic_cast<const SquareWaveSink*>(m_sink.get()) ? m_stream.absorbableNs() : 0;
}

bool SpeakerRouteSink::planCharacter(std::vector<PlannedTone> tones)
{
    if (!m_sink)
        m_sink = openSpeakerSink(m_stream, m_clock, m_probe);
    return m_sink->planCharacter(std::move(tones));
}

void SpeakerRouteSink::toneOff()
{
    m_plannedMs.reset();
    if (m_sink)
        m_sink->toneOff();
}

} // namespace quindle
