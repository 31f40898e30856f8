#pragma once

// One ALSA playback device: S16_LE, mono, interleaved, non-blocking. Opening, configuring,
// writing, reading where it stands and recovering from underruns and suspends; nothing else.
// Used by the stream's worker thread only.

#include "tone/StreamDevice.h"

#include <alsa/asoundlib.h>

#include <cstdint>
#include <functional>
#include <string>

namespace quindle {

class AlsaDevice final : public StreamDevice {
public:
    AlsaDevice() = default;
    ~AlsaDevice() override { close(); }
    AlsaDevice(const AlsaDevice&) = delete;
    AlsaDevice& operator=(const AlsaDevice&) = delete;

    // Opens `device` (configPath: an ALSA configuration file instead of the system's, which is read
    // afresh, so that a sound server started later is found) at rate [frames/s], with periods and
    // a buffer of about the sizes asked [frames]. A rate more than 1 % off is refused: the samples
    // are computed for the rate asked.
    Result open(const std::string& device, const std::string& configPath, unsigned rate,
                unsigned periodFrames, unsigned bufferFrames) override;
    void close() override;
    bool isOpen() const override { return m_pcm != nullptr; }

    unsigned rate() const override { return m_rate; }
    int64_t periodFrames() const override { return m_period; }
    int64_t bufferFrames() const override { return m_buffer; }

    // Frames the device takes now, or a negative error.
    int64_t avail() override;
    // Frames taken (maybe fewer than n; 0 when full), or a negative error.
    int64_t write(const int16_t* samples, int64_t n) override;
    // Returns when the device has room for a period, or after timeoutMs [ms].
    void wait(int timeoutMs) override;
    // After an underrun (-EPIPE) or a suspend (-ESTRPIPE): makes the device take samples again.
    // stop() ends the wait for a resume. Other errors are not recovered.
    Result recover(int error, const std::function<bool()>& stop) override;
    std::string errorText(int error) const override { return snd_strerror(error); }

private:
    snd_pcm_t* m_pcm = nullptr;
    snd_config_t* m_config = nullptr;
    unsigned m_rate = 0;
    int64_t m_period = 0;
    int64_t m_buffer = 0;
};

} // namespace quindle
