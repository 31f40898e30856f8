#include "tone/ToneOutput.h"

#include "tone/ToneFormat.h"

namespace quindle {

ToneOutput::ToneOutput(Clock& clock, SpeakerSink& sink, WaveOutBackend& waveOut)
    : m_clock(clock), m_sink(sink), m_ports(sink), m_speaker(clock, m_ports),
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

bool ToneOutput::AudioOut1FillBuffer(char* Buffer, int& Size)
{
    return m_sines.fill(Buffer, Size, m_frequency, m_audioOut->FilledCount(), m_audioOut->FrameRate());
}

} // namespace quindle
