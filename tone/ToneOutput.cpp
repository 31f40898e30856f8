#include "tone/ToneOutput.h"

#include "tone/ToneFormat.h"

#include <algorithm>

namespace quindle {

ToneOutput::ToneOutput(Clock& clock, SpeakerSink& sink, WaveOutBackend& waveOut)
    : m_clock(clock), m_sink(sink), m_waveOut(waveOut), m_ports(sink), m_speaker(clock, m_ports),
      m_audioOut(std::make_unique<TAudioOut>(waveOut))
{
    m_audioOut->SetBufferSize(kBufferSize);
    m_audioOut->SetFrameRate(kFrameRate);
    m_audioOut->OnFillBuffer = [this](char* Buffer, int& Size) { return AudioOut1FillBuffer(Buffer, Size); };
}

ToneOutput::~ToneOutput() = default;

void ToneOutput::SpeakerTone(uint32_t frequency, uint32_t ms)
{
    m_sink.planTone(ms);
    m_speaker.SpeakerTone(frequency, ms);
}

void ToneOutput::SpeakerNoSound()
{
    m_speaker.SpeakerNoSound();
}

void ToneOutput::SoundcardElement(int n, int dotTime, int frequency)
{
    m_frequency = frequency;
    quindle::SoundcardElement(*m_audioOut, m_clock, n, dotTime);
}

PlayedAhead ToneOutput::beginCharacter(const CharacterPlan& plan)
{
    std::vector<PlannedTone> sines, squares;
    int endMs = 0;
    for (const CharacterTone& t : plan.tones()) {
        PlannedTone p{int64_t(t.startMs) * 1'000'000, int64_t(t.lengthMs) * 1'000'000, 0, {},
                      int64_t(t.nextCharacterAfterMs) * 1'000'000};
        if (t.speaker) {
            p.hz = SpeakerDriver::toneHz(uint32_t(t.frequency));
            if (p.hz <= 0)
                p.lengthNs = 0; // silent, and still played ahead
            squares.push_back(std::move(p));
        } else {
            p.samples = toneSamples(t.frequency, t.lengthMs);
            sines.push_back(std::move(p));
        }
        endMs = std::max(endMs, t.startMs + t.lengthMs + t.nextCharacterAfterMs);
    }
    const bool anySine = !sines.empty(), anySquare = !squares.empty();
    const PlayedAhead ahead{anySquare && m_sink.planCharacter(std::move(squares)),
                            anySine && m_waveOut.waveOutForecast(std::move(sines), uint32_t(m_audioOut->FrameRate()))};
    // The whole sound is written ahead: a late wake-up inside the character, its gaps included,
    // moves none of its edges, and the next character begins when the window can go on, or as
    // planned: only the silence before it stretches, by no more than the stall. A route keyed live
    // keeps every deadline.
    if ((anySquare || anySine) && ahead.speaker == anySquare && ahead.soundcard == anySine)
        m_clock.keepScheduleUntil(m_clock.scheduleTime().ns + int64_t(endMs) * 1'000'000);
    return ahead;
}

std::vector<int16_t> ToneOutput::toneSamples(int frequency, int lengthMs)
{
    const int rate = m_audioOut->FrameRate();
    const int64_t frames = int64_t(lengthMs) * rate / 1000 + 2;
    int size = m_audioOut->BufferSize() / 2 * 2;
    std::vector<int16_t> samples;
    if (size <= 0)
        return samples;
    std::vector<char> buffer(static_cast<size_t>(size));
    for (int filled = 0; int64_t(samples.size()) < frames; ++filled) {
        m_sines.fill(buffer.data(), size, frequency, filled, rate);
        for (int i = 0; i + 1 < size; i += 2)
            samples.push_back(int16_t(uint16_t(uint8_t(buffer[size_t(i)])) |
                                      uint16_t(uint8_t(buffer[size_t(i) + 1])) << 8));
    }
    samples.resize(size_t(frames));
    return samples;
}

bool ToneOutput::AudioOut1FillBuffer(char* Buffer, int& Size)
{
    return m_sines.fill(Buffer, Size, m_frequency, m_audioOut->FilledCount(), m_audioOut->FrameRate());
}

} // namespace quindle
