#pragma once

#include "clock/Clock.h"
#include "keying/ToneRoutes.h"
#include "tone/AudioIO.h"
#include "tone/PortSpace.h"
#include "tone/SoundcardTone.h"
#include "tone/SpeakerDriver.h"
#include "tone/SpeakerSink.h"
#include "tone/WaveOut.h"

#include <functional>
#include <memory>

namespace quindle {

// The two output routes of an element: the speaker through the emulated ports, and the sound card
// through AudioOut1, whose buffers AudioOut1FillBuffer fills with a sine at the frequency the
// element was given. Lives on the UI thread; clock, sink and back-end must outlive it.
class ToneOutput final : public ToneRoutes {
public:
    static constexpr int kBufferSize = 8182; // [bytes]: 4091 frames, about 181.5 ms

    ToneOutput(Clock& clock, SpeakerSink& sink, WaveOutBackend& waveOut);
    ~ToneOutput() override;
    ToneOutput(const ToneOutput&) = delete;
    ToneOutput& operator=(const ToneOutput&) = delete;

    void SpeakerTone(uint32_t frequency, uint32_t ms) override;
    void SpeakerNoSound() override;
    void SoundcardElement(int n, int dotTime, int frequency) override;
    PlayedAhead beginCharacter(const CharacterPlan& plan) override;
    int64_t nextCharacterFromNs() override { return m_nextCharacterFrom ? m_nextCharacterFrom() : INT64_MIN; }
    // Where the stream that plays ahead says the next character may begin (AlsaStream).
    void setNextCharacterSource(std::function<int64_t()> source) { m_nextCharacterFrom = std::move(source); }

    // The buffer-fill handler bound to AudioOut1.OnFillBuffer.
    bool AudioOut1FillBuffer(char* Buffer, int& Size);

    TAudioOut& AudioOut1() { return *m_audioOut; }
    PortSpace& ports() { return m_ports; }
    SpeakerDriver& speaker() { return m_speaker; }

private:
    // The samples that the elements' buffers of a tone hold, from the first on.
    std::vector<int16_t> toneSamples(int frequency, int lengthMs);

    Clock& m_clock;
    SpeakerSink& m_sink;
    WaveOutBackend& m_waveOut;
    PortSpace m_ports;
    SpeakerDriver m_speaker;
    int m_frequency = 0; // of the element now starting [Hz]
    std::unique_ptr<TAudioOut> m_audioOut;
    SineBufferCache m_sines;
    std::function<int64_t()> m_nextCharacterFrom;
};

} // namespace quindle
