#include "tone/AlsaStream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sched.h>

namespace quindle {

namespace {

// ALSA reports through this hook instead of printing: the program writes no log, and every
// failure reaches the caller as a value.
void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

std::string alsaText(const char* what, int err)
{
    return std::string(what) + ": " + snd_strerror(err);
}

// Rounds n / d to the nearest integer, halves away from minus infinity; d > 0.
int64_t divRound(__int128 n, int64_t d)
{
    __int128 q = (n + d / 2) / d;
    if ((n + d / 2) % d < 0)
        --q;
    return int64_t(q);
}

// A stamp that is plainly not on CLOCK_MONOTONIC (another clock, garbage) would park its request
// forever; such a stamp counts as "now".
constexpr int64_t kStampToleranceNs = 1'000'000'000;

constexpr size_t kGarbageCapacity = 64;

} // namespace

PiMutex::PiMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

PiMutex::~PiMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

AlsaStream::AlsaStream(std::string device, std::string configPath, int idleCloseMs)
    : m_device(std::move(device)), m_configPath(std::move(configPath)),
      m_idleCloseNs(int64_t(std::max(0, idleCloseMs)) * 1'000'000)
{
    m_garbage.reserve(kGarbageCapacity);
    m_spare.reserve(kGarbageCapacity);
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(silentAlsaErrors); });
    m_thread = std::thread([this] { run(); });
}

AlsaStream::~AlsaStream()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_settled.notify_all();
    m_thread.join();
}

int64_t AlsaStream::monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

AlsaStream::Status AlsaStream::acquire(unsigned rate)
{
    std::unique_lock lock(m_mutex);
    return acquireLocked(rate, lock);
}

AlsaStream::Status AlsaStream::acquireLocked(unsigned rate, std::unique_lock<PiMutex>& lock)
{
    if (rate == 0)
        rate = m_runRate ? m_runRate : kDefaultRate;
    m_used = true;
    if (m_state == State::Running && m_runRate == rate && m_openAsked == m_openServed)
        return {true, 0, {}};
    // A first open or a change of rate may take the device a while; after a failure, or while an
    // earlier attempt still hangs, the caller does not wait long.
    const int waitMs = m_lastAttemptFailed || m_state == State::Opening ? kReopenWaitMs : kFirstOpenWaitMs;
    if (!(m_state == State::Opening && m_wantRate == rate)) {
        m_wantRate = rate;
        ++m_openAsked;
        m_wake.notify_all();
    }
    const uint64_t ticket = m_openAsked;
    m_settled.wait_for(lock, std::chrono::milliseconds(waitMs),
                       [&] { return m_stop || m_openServed >= ticket; });
    if (m_state == State::Running && m_runRate == rate)
        return {true, 0, {}};
    if (m_openServed < ticket)
        return {false, -EBUSY, "The sound device is still being opened"};
    return m_status;
}

// A stream closed for idleness opens again at the next use, which then starts when it runs: its
// stamp, taken before the wait, would map to frames already past.
void AlsaStream::wakeFromIdle(int64_t& stampNs, std::unique_lock<PiMutex>& lock)
{
    if (m_idleClosed && acquireLocked(0, lock).ok)
        stampNs = monotonicNs();
}

void AlsaStream::pushRequest(Request r)
{
    const int64_t now = monotonicNs();
    if (r.stampNs < now - kStampToleranceNs || r.stampNs > now + kStampToleranceNs)
        r.stampNs = now;
    m_requests.push_back(std::move(r));
    if (m_state != State::Running)
        m_wake.notify_all();
}

bool AlsaStream::pcmOpen(int64_t stampNs, std::function<void(uint64_t)> done)
{
    std::unique_lock lock(m_mutex);
    if (m_pcmHeld)
        return false;
    wakeFromIdle(stampNs, lock);
    if (m_pcmHeld)
        return false;
    m_pcmHeld = true;
    m_pcmBroken = m_state != State::Running;
    m_pcmDone = std::move(done);
    m_pending.clear();
    pushRequest({Request::Kind::PcmOpen, stampNs, 0, {}, 0});
    return true;
}

bool AlsaStream::pcmWrite(uint64_t token, std::vector<int16_t> samples, int64_t stampNs)
{
    std::unique_lock lock(m_mutex);
    if (!m_pcmHeld || m_pcmBroken)
        return false;
    m_pending.push_back(token);
    pushRequest({Request::Kind::PcmWrite, stampNs, token, std::move(samples), 0});
    collectGarbage(lock);
    return true;
}

void AlsaStream::collectGarbage(std::unique_lock<PiMutex>& lock)
{
    if (m_garbage.empty())
        return;
    std::swap(m_garbage, m_spare);
    lock.unlock();
    m_spare.clear();
}

void AlsaStream::retire(std::vector<int16_t>&& samples)
{
    if (m_garbage.size() < m_garbage.capacity())
        m_garbage.push_back(std::move(samples));
}

std::vector<uint64_t> AlsaStream::pcmReset(int64_t stampNs)
{
    std::lock_guard lock(m_mutex);
    std::vector<uint64_t> tokens(m_pending.begin(), m_pending.end());
    m_pending.clear();
    if (m_pcmHeld)
        pushRequest({Request::Kind::PcmReset, stampNs, 0, {}, 0});
    return tokens;
}

void AlsaStream::pcmPause(int64_t stampNs)
{
    std::lock_guard lock(m_mutex);
    if (m_pcmHeld)
        pushRequest({Request::Kind::PcmPause, stampNs, 0, {}, 0});
}

void AlsaStream::pcmRestart(int64_t stampNs)
{
    std::lock_guard lock(m_mutex);
    if (m_pcmHeld)
        pushRequest({Request::Kind::PcmRestart, stampNs, 0, {}, 0});
}

std::vector<uint64_t> AlsaStream::pcmClose(int64_t stampNs)
{
    std::unique_lock lock(m_mutex);
    std::vector<uint64_t> tokens(m_pending.begin(), m_pending.end());
    m_pending.clear();
    if (m_pcmHeld)
        pushRequest({Request::Kind::PcmClose, stampNs, 0, {}, 0});
    m_pcmHeld = false;
    m_pcmBroken = false;
    m_pcmDone = nullptr;
    collectGarbage(lock);
    return tokens;
}

void AlsaStream::squareOn(double hz, int64_t stampNs)
{
    std::unique_lock lock(m_mutex);
    wakeFromIdle(stampNs, lock);
    pushRequest({Request::Kind::SquareOn, stampNs, 0, {}, hz});
}

void AlsaStream::squareOff(int64_t stampNs)
{
    std::lock_guard lock(m_mutex);
    pushRequest({Request::Kind::SquareOff, stampNs, 0, {}, 0});
}

AlsaStream::Stats AlsaStream::stats() const
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}

// ---- worker ----

void AlsaStream::run()
{
    // A little real-time priority where the system grants it (it is inherited by the sound
    // server client's own thread, made at the open), so that a busy machine does not starve the
    // stream; without it the stream runs as it is.
    sched_param param{};
    param.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_state != State::Running) {
            drainIdle();
            if (m_openAsked > m_openServed) {
                const uint64_t ticket = m_openAsked;
                m_state = State::Opening;
                m_idleClosed = false;
                openDevice(m_wantRate, lock);
                m_openServed = std::max(m_openServed, ticket);
                m_settled.notify_all();
                continue;
            }
            m_wake.wait(lock, [&] { return m_stop || m_openAsked > m_openServed || !m_requests.empty(); });
            continue;
        }
        if (m_openAsked > m_openServed) {
            if (m_wantRate == m_runRate) {
                m_openServed = m_openAsked;
                m_settled.notify_all();
            } else {
                closeDevice(lock);
                m_state = State::Closed;
                continue;
            }
        }
        if (idleExpired()) {
            // Closed before the device is let go, so that a use meanwhile waits for the reopen
            // instead of playing on a stream that is going away.
            m_state = State::Closed;
            m_idleClosed = true;
            ++m_stats.idleCloses;
            closeDevice(lock);
            continue;
        }
        pump(lock);
    }
    closeDevice(lock);
}

// Without a device, requests only change the voices' state; written buffers never get here
// (pcmWrite refuses them once the device has failed).
void AlsaStream::drainIdle()
{
    while (!m_requests.empty()) {
        apply(m_requests.front(), m_rendered);
        m_requests.pop_front();
    }
    dropQueue();
}

bool AlsaStream::openDevice(unsigned rate, std::unique_lock<PiMutex>& lock)
{
    lock.unlock();
    snd_config_t* config = nullptr;
    snd_pcm_t* pcm = nullptr;
    unsigned granted = rate;
    snd_pcm_uframes_t period = kPeriodFrames;
    snd_pcm_uframes_t buffer = kPeriodFrames * kBufferPeriods;
    int err = 0;
    std::string what;
    // Each open reads the configuration afresh: the system's "default" depends on whether a sound
    // server is running at that moment.
    snd_config_update_t* update = nullptr;
    err = snd_config_update_r(&config, &update, m_configPath.empty() ? nullptr : m_configPath.c_str());
    if (update)
        snd_config_update_free(update);
    if (err < 0) {
        what = "Cannot read the ALSA configuration";
    } else if ((err = snd_pcm_open_lconf(&pcm, m_device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK,
                                         config)) < 0) {
        what = "Cannot open the sound device \"" + m_device + "\"";
        pcm = nullptr;
    } else {
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0)
            what = "No configuration for the sound device";
        else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
            what = "Interleaved access not available";
        else if ((err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0)
            what = "16-bit samples not available";
        else if ((err = snd_pcm_hw_params_set_channels(pcm, hw, 1)) < 0)
            what = "Mono not available";
        else if ((err = snd_pcm_hw_params_set_rate_near(pcm, hw, &granted, nullptr)) < 0)
            what = "Rate not available";
        else if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr)) < 0)
            what = "Period size not available";
        else if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0)
            what = "Buffer size not available";
        else if ((err = snd_pcm_hw_params(pcm, hw)) < 0)
            what = "Cannot set the hardware parameters";
        else if (std::abs(double(granted) - double(rate)) > rate * 0.01) {
            // The samples are computed for the rate asked; a pitch several percent off is not
            // the tone the user set.
            err = -EINVAL;
            what = "Rate " + std::to_string(rate) + " Hz not granted (" + std::to_string(granted) + " Hz)";
        } else if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0)
            what = "Cannot read the software parameters";
        else if ((err = snd_pcm_sw_params_set_avail_min(pcm, sw, period)) < 0 ||
                 (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer)) < 0 ||
                 (err = snd_pcm_sw_params_set_tstamp_mode(pcm, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
                 (err = snd_pcm_sw_params_set_tstamp_type(pcm, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
                 (err = snd_pcm_sw_params(pcm, sw)) < 0)
            what = "Cannot set the software parameters";
    }
    // Fill the whole buffer with silence; the stream starts once it is full.
    std::vector<int16_t> silence;
    if (err >= 0) {
        silence.assign(buffer, 0);
        snd_pcm_uframes_t done = 0;
        const int64_t deadline = monotonicNs() + int64_t(kStallMs) * 1'000'000;
        while (done < buffer && err >= 0) {
            const snd_pcm_sframes_t w = snd_pcm_writei(pcm, silence.data() + done, buffer - done);
            if (w == -EAGAIN) {
                if (monotonicNs() > deadline) {
                    err = -EIO;
                    what = "The sound device does not accept samples";
                } else {
                    snd_pcm_wait(pcm, 20);
                }
            } else if (w < 0) {
                err = int(w);
                what = "Cannot start the sound device";
            } else {
                done += snd_pcm_uframes_t(w);
            }
        }
    }
    if (err < 0) {
        if (pcm)
            snd_pcm_close(pcm);
        if (config)
            snd_config_delete(config);
        lock.lock();
        m_state = State::Failed;
        m_status = {false, err, alsaText(what.c_str(), err)};
        m_lastAttemptFailed = true;
        ++m_stats.failures;
        return false;
    }
    lock.lock();
    m_pcm = pcm;
    m_config = config;
    m_rate = granted;
    m_bufferFrames = int64_t(buffer);
    m_out.assign(buffer, 0);
    m_outPos = m_outLen = 0;
    m_written = m_rendered = int64_t(buffer);
    m_lastProgressNs = monotonicNs();
    m_state = State::Running;
    m_runRate = rate;
    m_status = {true, 0, {}};
    m_lastAttemptFailed = false;
    m_idleSinceNs = -1;
    m_anchored = false;
    if (measure())
        anchor(m_heardNextNs);
    else
        m_forceAnchor = true;
    m_stats.running = true;
    m_stats.rate = granted;
    m_stats.framesWritten = 0;
    ++m_stats.opens;
    return true;
}

void AlsaStream::closeDevice(std::unique_lock<PiMutex>& lock)
{
    snd_pcm_t* pcm = m_pcm;
    snd_config_t* config = m_config;
    m_pcm = nullptr;
    m_config = nullptr;
    m_stats.running = false;
    if (!pcm)
        return;
    lock.unlock();
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
    if (config)
        snd_config_delete(config);
    lock.lock();
}

void AlsaStream::fail(int err, const std::string& what)
{
    m_state = State::Failed;
    m_lastAttemptFailed = true;
    m_status = {false, err, alsaText(what.c_str(), err)};
    ++m_stats.failures;
    // Hand back every written buffer and refuse further writes of this opening: its sound is
    // lost, and the owner must not wait for buffers that will never play.
    dropQueue();
    while (!m_pending.empty()) {
        const uint64_t token = m_pending.front();
        m_pending.pop_front();
        if (m_pcmDone)
            m_pcmDone(token);
    }
    if (m_pcmHeld)
        m_pcmBroken = true;
    drainIdle();
}

// Reads where the device stands: when frame m_rendered will be heard.
bool AlsaStream::measure()
{
    snd_pcm_sframes_t delay = 0;
    const int64_t before = monotonicNs();
    if (snd_pcm_delay(m_pcm, &delay) < 0)
        return false;
    const int64_t after = monotonicNs();
    if (after - before > 1'000'000)
        return false; // preempted in between: the reading is not tied to a moment
    const int64_t ahead = delay + (m_rendered - m_written);
    m_heardNextNs = before + (after - before) / 2 + divRound(__int128(ahead) * 1'000'000'000, m_rate);
    return true;
}

void AlsaStream::anchor(int64_t heardNs)
{
    const int64_t queued = divRound(__int128(m_bufferFrames) * 1'000'000'000, m_rate);
    m_latencyNs = std::max(heardNs - monotonicNs(), queued) + kMarginNs + m_extraLeadNs;
    m_anchorFrame = m_rendered;
    m_anchorNs = heardNs - m_latencyNs;
    m_anchored = true;
    m_forceAnchor = false;
    m_drift = 0;
    m_pendingDriftNs = m_pendingLatencyNs = 0;
    m_stats.latencyNs = m_latencyNs;
}

// Corrections move the mapping by exactly their amount, so the tones and gaps around one keep
// their lengths; they wait for a silence, so that no tone is stretched or cut by one.
void AlsaStream::correct()
{
    if (!m_pendingDriftNs && !m_pendingLatencyNs)
        return;
    m_anchorNs += m_pendingDriftNs - m_pendingLatencyNs;
    m_latencyNs += m_pendingLatencyNs;
    m_extraLeadNs += m_pendingLatencyNs;
    m_drift -= double(m_pendingDriftNs);
    m_pendingDriftNs = m_pendingLatencyNs = 0;
    ++m_stats.reanchors;
    m_stats.latencyNs = m_latencyNs;
}

// The heard time of the next frame, measured against the mapping's prediction, smoothed; a
// lasting offset (the device's clock runs apart from CLOCK_MONOTONIC) is corrected.
void AlsaStream::checkDrift()
{
    const int64_t predicted =
        m_anchorNs + m_latencyNs + divRound(__int128(m_rendered - m_anchorFrame) * 1'000'000'000, m_rate);
    const double offset = double(m_heardNextNs - predicted);
    if (std::abs(offset - m_drift) > 20e6)
        return; // a reading disturbed by scheduling, not the clocks
    m_drift += (offset - m_drift) / 1024;
    m_stats.driftMs = m_drift / 1e6;
    if (std::abs(m_drift) > kDriftLimitNs && !m_pendingDriftNs)
        m_pendingDriftNs = int64_t(m_drift);
}

int64_t AlsaStream::periodNs() const
{
    return int64_t(kPeriodFrames) * 1'000'000'000 / m_rate;
}

int64_t AlsaStream::frameOf(int64_t stampNs) const
{
    return m_anchorFrame + divRound(__int128(stampNs - m_anchorNs) * m_rate, 1'000'000'000);
}

bool AlsaStream::voicesIdle() const
{
    return m_requests.empty() && m_queue.empty() && !m_squareOn;
}

// Whether nothing has used the stream for the idle time, counted from when the last frame rendered
// in use is heard, a latency after it was rendered.
bool AlsaStream::idleExpired()
{
    const int64_t now = monotonicNs();
    if (m_used || m_pcmHeld || m_pcmOpen || !voicesIdle() || m_outLen != 0) {
        m_used = false;
        m_idleSinceNs = -1;
        return false;
    }
    if (m_idleSinceNs < 0) {
        m_idleSinceNs = now + m_latencyNs;
        return false;
    }
    return now - m_idleSinceNs >= m_idleCloseNs;
}

bool AlsaStream::recover(int err, const char* what, std::unique_lock<PiMutex>& lock)
{
    if (err == -EPIPE) {
        // Underrun: prepare again; the frames lost break the time-to-frame mapping.
        ++m_stats.xruns;
        lock.unlock();
        err = snd_pcm_prepare(m_pcm);
        lock.lock();
        if (err < 0) {
            fail(err, "Cannot recover from an underrun");
            return false;
        }
        m_forceAnchor = true;
        return true;
    }
    if (err == -ESTRPIPE) {
        ++m_stats.xruns;
        while ((err = snd_pcm_resume(m_pcm)) == -EAGAIN) {
            if (m_wake.wait_for(lock, std::chrono::milliseconds(100), [&] { return m_stop; }))
                return true;
        }
        if (err < 0) {
            lock.unlock();
            err = snd_pcm_prepare(m_pcm);
            lock.lock();
            if (err < 0) {
                fail(err, "Cannot recover from a suspend");
                return false;
            }
        }
        m_forceAnchor = true;
        return true;
    }
    fail(err, what);
    return false;
}

bool AlsaStream::pump(std::unique_lock<PiMutex>& lock)
{
    // After a write the device is full; room for the next period comes a period later.
    if (m_wrote) {
        m_wrote = false;
        m_wake.wait_for(lock, std::chrono::nanoseconds(periodNs()), [&] { return m_stop; });
        if (m_stop)
            return true;
    }
    lock.unlock();
    const int ready = snd_pcm_wait(m_pcm, 50);
    snd_pcm_sframes_t avail = ready < 0 ? ready : snd_pcm_avail_update(m_pcm);
    lock.lock();
    ++m_stats.wakeups;
    if (avail < 0) {
        if (!recover(int(avail), "The sound device failed", lock))
            closeDevice(lock);
        return m_state == State::Running;
    }
    const int64_t now = monotonicNs();
    if (m_outLen == 0 && avail < snd_pcm_sframes_t(kPeriodFrames)) {
        if (now - m_lastProgressNs > int64_t(kStallMs) * 1'000'000) {
            fail(-EIO, "The sound device stopped taking samples");
            closeDevice(lock);
            return false;
        }
        // Some devices (the sound server's plugin among them) report ready before a period is
        // free, and take samples in steps that need not add up to one; wait a period's time.
        m_wake.wait_for(lock, std::chrono::nanoseconds(periodNs()), [&] { return m_stop; });
        return true;
    }
    if (m_outLen == 0) {
        if (measure()) {
            if (m_forceAnchor || !m_anchored)
                anchor(m_heardNextNs);
            else
                checkDrift();
        }
        if (voicesIdle())
            correct();
        int64_t frames = std::min<int64_t>(avail - avail % kPeriodFrames, int64_t(m_out.size()));
        // Frames whose moment has not come yet are not rendered: a request for them may still be
        // on its way. A device that asks for more ahead than the latency allows waits.
        const int64_t allowed = frameOf(now - kGuardNs - m_extraLeadNs) - m_rendered;
        if (frames > allowed) {
            frames = std::max<int64_t>(0, allowed - allowed % kPeriodFrames);
            ++m_stats.heldBack;
        }
        if (frames == 0) {
            m_wake.wait_for(lock, std::chrono::nanoseconds(periodNs()), [&] { return m_stop; });
            return true;
        }
        render(m_out.data(), frames);
        m_outPos = 0;
        m_outLen = size_t(frames);
    }
    lock.unlock();
    const snd_pcm_sframes_t w = snd_pcm_writei(m_pcm, m_out.data() + m_outPos, m_outLen);
    lock.lock();
    if (w == -EAGAIN) {
        ++m_stats.refused;
        return true;
    }
    if (w < 0) {
        if (!recover(int(w), "Cannot write to the sound device", lock))
            closeDevice(lock);
        return m_state == State::Running;
    }
    m_outPos += size_t(w);
    m_outLen -= size_t(w);
    m_written += w;
    m_stats.framesWritten += w;
    m_wrote = m_outLen == 0;
    m_lastProgressNs = now;
    return true;
}

// Renders the next frames, applying each request on the frame that its stamp maps to.
void AlsaStream::render(int16_t* out, int64_t frames)
{
    const int64_t base = m_rendered;
    const int64_t end = base + frames;
    int64_t pos = base;
    while (pos < end) {
        if (m_requests.empty()) {
            renderVoices(out + (pos - base), pos, end);
            pos = end;
            break;
        }
        Request& r = m_requests.front();
        int64_t frame = frameOf(r.stampNs);
        if (r.kind == Request::Kind::PcmWrite && m_firstWrite && r.stampNs - m_openStampNs <= kOpenGraceNs)
            frame = m_openFrame;
        if (frame < pos) {
            if (pos - frame > 2) {
                // Too little lead: take more for the time to come, settled in a silence.
                ++m_stats.lateRequests;
                if (m_latencyNs + m_pendingLatencyNs < kMaxLatencyNs)
                    m_pendingLatencyNs += kLatencyStepNs;
            }
            frame = pos;
        }
        if (frame >= end) {
            renderVoices(out + (pos - base), pos, end);
            pos = end;
            break;
        }
        renderVoices(out + (pos - base), pos, frame);
        pos = frame;
        apply(r, frame);
        m_requests.pop_front();
    }
    m_rendered = end;
}

void AlsaStream::apply(Request& r, int64_t frame)
{
    switch (r.kind) {
    case Request::Kind::PcmOpen:
        m_pcmOpen = true;
        m_pcmPaused = false;
        dropQueue();
        m_firstWrite = true;
        m_openFrame = frame;
        m_openStampNs = r.stampNs;
        break;
    case Request::Kind::PcmWrite:
        if (m_pcmOpen)
            m_queue.push_back({r.token, std::move(r.samples), 0});
        m_firstWrite = false;
        break;
    case Request::Kind::PcmReset:
        dropQueue();
        m_firstWrite = false;
        break;
    case Request::Kind::PcmPause:
        m_pcmPaused = true;
        break;
    case Request::Kind::PcmRestart:
        m_pcmPaused = false;
        break;
    case Request::Kind::PcmClose:
        dropQueue();
        m_pcmOpen = false;
        m_pcmPaused = false;
        m_firstWrite = false;
        break;
    case Request::Kind::SquareOn:
        if (!m_squareOn)
            m_squarePhase = 0;
        m_squareOn = true;
        m_squareHz = r.hz;
        break;
    case Request::Kind::SquareOff:
        m_squareOn = false;
        break;
    }
}

void AlsaStream::renderVoices(int16_t* out, int64_t from, int64_t to)
{
    const size_t n = size_t(to - from);
    std::fill(out, out + n, int16_t(0));
    size_t i = 0;
    while (m_pcmOpen && !m_pcmPaused && !m_queue.empty()) {
        PcmBuffer& b = m_queue.front();
        const size_t take = std::min(n - i, b.samples.size() - b.pos);
        std::memcpy(out + i, b.samples.data() + b.pos, take * sizeof(int16_t));
        i += take;
        b.pos += take;
        if (b.pos < b.samples.size())
            break;
        reportDone(b.token);
        retire(std::move(b.samples));
        m_queue.pop_front();
    }
    if (m_squareOn) {
        const double step = m_squareHz / m_rate;
        for (size_t k = 0; k < n; ++k) {
            const int v = out[k] + (m_squarePhase < 0.5 ? kSquarePeak : -kSquarePeak);
            out[k] = int16_t(std::clamp(v, -32768, 32767));
            m_squarePhase += step;
            m_squarePhase -= std::floor(m_squarePhase);
        }
    }
}

void AlsaStream::dropQueue()
{
    for (PcmBuffer& b : m_queue)
        retire(std::move(b.samples));
    m_queue.clear();
}

void AlsaStream::reportDone(uint64_t token)
{
    const auto it = std::find(m_pending.begin(), m_pending.end(), token);
    if (it == m_pending.end())
        return; // handed back by a reset already
    m_pending.erase(it);
    if (m_pcmDone)
        m_pcmDone(token);
}

} // namespace quindle
