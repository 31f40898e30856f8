#pragma once

// The wave-out functions on the shared ALSA stream. Opening and closing are logical and cost
// microseconds while the stream runs; an open after the stream closed for idleness waits for the
// device like the first open. Every call is stamped with the clock's schedule time and played on
// the frame that time maps to; written samples are copied.

#include "clock/Clock.h"
#include "tone/AlsaStream.h"
#include "tone/WaveOut.h"

#include <QObject>
#include <QPointer>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quindle {

class AlsaWaveOut final : public WaveOutBackend {
public:
    // clock's schedule stamps the calls and must be on CLOCK_MONOTONIC (RealClock). Create and use on the UI
    // thread; stream and clock must outlive this object.
    AlsaWaveOut(AlsaStream& stream, Clock& clock);
    ~AlsaWaveOut() override;

    MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const PCMWAVEFORMAT& format,
                         QObject* callback) override;
    MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutReset(HWAVEOUT handle) override;
    MMRESULT waveOutPause(HWAVEOUT handle) override;
    MMRESULT waveOutRestart(HWAVEOUT handle) override;
    MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutClose(HWAVEOUT handle) override;
    MMRESULT waveOutSetLength(HWAVEOUT handle, uint32_t ms) override;
    bool waveOutForecast(std::vector<PlannedTone> tones, uint32_t rate) override;
    std::string waveOutGetErrorText(MMRESULT code) const override;

    HWAVEOUT openHandle() const { return m_handle; }

private:
    // Lives on the UI thread and passes the notifications on to the callback object, in the order
    // they were posted, marking finished headers done on that thread.
    class Relay;
    void handOver(const std::vector<uint64_t>& tokens);
    void markDone(WAVEHDR* header);

    AlsaStream& m_stream;
    Clock& m_clock;
    std::unique_ptr<Relay> m_relay;
    HWAVEOUT m_handle = 0; // the open opening; 0 when closed
    uint16_t m_channels = 1;
    uint16_t m_bits = 16;
    std::vector<WAVEHDR*> m_written; // written and not yet marked done, in order
    std::string m_deviceError;       // why the device could not be used, for the error text
};

} // namespace quindle
