#include "tone/AlsaDevice.h"

#include <cerrno>
#include <cmath>
#include <mutex>
#include <thread>

namespace quindle {

namespace {

// ALSA reports through this hook instead of printing: the program writes no log, and every
// failure reaches the caller as a value.
void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

AlsaDevice::Result failure(int error, const std::string& what)
{
    return {error, what + ": " + snd_strerror(error)};
}

} // namespace

AlsaDevice::Result AlsaDevice::open(const std::string& device, const std::string& configPath, unsigned rate,
                                    unsigned periodFrames, unsigned bufferFrames)
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(silentAlsaErrors); });
    close();

    snd_config_update_t* update = nullptr;
    int err = snd_config_update_r(&m_config, &update, configPath.empty() ? nullptr : configPath.c_str());
    if (update)
        snd_config_update_free(update);
    if (err < 0) {
        close();
        return failure(err, "Cannot read the ALSA configuration");
    }
    if ((err = snd_pcm_open_lconf(&m_pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK,
                                  m_config)) < 0) {
        m_pcm = nullptr;
        close();
        return failure(err, "Cannot open the sound device \"" + device + "\"");
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    unsigned granted = rate;
    snd_pcm_uframes_t period = periodFrames;
    snd_pcm_uframes_t buffer = bufferFrames;
    std::string what;
    if ((err = snd_pcm_hw_params_any(m_pcm, hw)) < 0)
        what = "No configuration for the sound device";
    else if ((err = snd_pcm_hw_params_set_access(m_pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
        what = "Interleaved access not available";
    else if ((err = snd_pcm_hw_params_set_format(m_pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0)
        what = "16-bit samples not available";
    else if ((err = snd_pcm_hw_params_set_channels(m_pcm, hw, 1)) < 0)
        what = "Mono not available";
    else if ((err = snd_pcm_hw_params_set_rate_near(m_pcm, hw, &granted, nullptr)) < 0)
        what = "Rate not available";
    else if ((err = snd_pcm_hw_params_set_period_size_near(m_pcm, hw, &period, nullptr)) < 0)
        what = "Period size not available";
    else if ((err = snd_pcm_hw_params_set_buffer_size_near(m_pcm, hw, &buffer)) < 0)
        what = "Buffer size not available";
    else if ((err = snd_pcm_hw_params(m_pcm, hw)) < 0)
        what = "Cannot set the hardware parameters";
    else if (std::abs(double(granted) - double(rate)) > rate * 0.01) {
        err = -EINVAL;
        what = "Rate " + std::to_string(rate) + " Hz not granted (" + std::to_string(granted) + " Hz)";
    } else if ((err = snd_pcm_sw_params_current(m_pcm, sw)) < 0)
        what = "Cannot read the software parameters";
    // The device starts with the first frames written and reports delays against CLOCK_MONOTONIC.
    else if ((err = snd_pcm_sw_params_set_avail_min(m_pcm, sw, period)) < 0 ||
             (err = snd_pcm_sw_params_set_start_threshold(m_pcm, sw, 1)) < 0 ||
             (err = snd_pcm_sw_params_set_tstamp_mode(m_pcm, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
             (err = snd_pcm_sw_params_set_tstamp_type(m_pcm, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
             (err = snd_pcm_sw_params(m_pcm, sw)) < 0)
        what = "Cannot set the software parameters";
    if (err < 0) {
        close();
        return failure(err, what);
    }
    m_rate = granted;
    m_period = int64_t(period);
    m_buffer = int64_t(buffer);
    return {};
}

void AlsaDevice::close()
{
    if (m_pcm) {
        snd_pcm_drop(m_pcm);
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }
    if (m_config) {
        snd_config_delete(m_config);
        m_config = nullptr;
    }
}

int64_t AlsaDevice::avail()
{
    return snd_pcm_avail_update(m_pcm);
}

int64_t AlsaDevice::write(const int16_t* samples, int64_t n)
{
    const snd_pcm_sframes_t w = snd_pcm_writei(m_pcm, samples, snd_pcm_uframes_t(n));
    return w == -EAGAIN ? 0 : int64_t(w);
}

void AlsaDevice::wait(int timeoutMs)
{
    // An error shows again at the next avail or write, where it is handled.
    snd_pcm_wait(m_pcm, timeoutMs);
}

AlsaDevice::Result AlsaDevice::recover(int error, const std::function<bool()>& stop)
{
    int err = error;
    if (error == -ESTRPIPE) {
        while ((err = snd_pcm_resume(m_pcm)) == -EAGAIN && !stop())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (err >= 0)
            return {};
    }
    if (error != -EPIPE && error != -ESTRPIPE)
        return failure(error, "The sound device failed");
    if ((err = snd_pcm_prepare(m_pcm)) < 0)
        return failure(err,
                       error == -EPIPE ? "Cannot recover from an underrun" : "Cannot recover from a suspend");
    return {};
}

} // namespace quindle
