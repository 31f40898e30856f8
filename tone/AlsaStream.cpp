#include "tone/AlsaStream.h"

#include "tone/AlsaDevice.h"
#include "tone/PiMutex.h"
#include "tone/StreamMap.h"
#include "tone/ToneMixer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <utility>

namespace quindle {

namespace {

using Kind = StreamRequest::Kind;
using Lock = std::unique_lock<PiMutex>;

// The device takes samples in periods of about this size [frames], and the worker writes one a
// round. A sound server's client library costs the process about 0.15 ms of CPU for each period
// (its own thread answers the server's request for more), so larger periods cost less CPU and
// smaller ones less lead.
constexpr unsigned kPeriodFrames = 512;
constexpr unsigned kRoundPeriods = 1;
// Frames written ahead of being taken by the device: a round, and two periods more for the steps
// the server takes samples in (with one period fewer, PipeWire's pulse server plays a period of
// silence now and then). More after the device ran short.
constexpr unsigned kLevelPeriods = kRoundPeriods + 2;
// The device's buffer holds a period more than that: the servers size their own buffering from
// it, and run dry when the client keeps it much less than full.
constexpr unsigned kBufferPeriods = kLevelPeriods + 1;
// How late a call may reach the worker and still land on its frame, at the start of a schedule,
// and how that grows after a call came too late anyway. [ns]
constexpr int64_t kGuardNs = 8'000'000;
constexpr int64_t kGuardStepNs = 5'000'000;
constexpr int64_t kMaxGuardNs = 250'000'000;
constexpr int64_t kMaxLevelNs = 250'000'000;
// No progress on the device for this long counts as a failure. [ns]
constexpr int64_t kStallNs = 1'000'000'000;
// A stamp that is plainly not on CLOCK_MONOTONIC would park its call for ever: it counts as now.
constexpr int64_t kStampToleranceNs = 1'000'000'000;
// Schedule numbers the stream gives itself, apart from any clock's.
constexpr uint64_t kOwnEpochs = uint64_t(1) << 63;
constexpr uint64_t kUnscheduledEpoch = ~uint64_t(0);

} // namespace

class AlsaStream::Impl {
public:
    Impl(std::string device, std::string configPath, int idleCloseMs)
        : m_device(std::move(device)), m_configPath(std::move(configPath)),
          m_idleCloseNs(int64_t(std::max(0, idleCloseMs)) * 1'000'000)
    {
        m_thread = std::thread([this] { run(); });
    }

    ~Impl()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
            m_stopping = true;
        }
        m_wake.notify_all();
        m_settled.notify_all();
        m_thread.join();
    }

    Status acquire(unsigned rate)
    {
        Lock lock(m_mutex);
        return acquireLocked(rate, lock);
    }

    bool pcmOpen(ScheduleTime at, std::function<void(uint64_t)> done)
    {
        Lock lock(m_mutex);
        if (m_pcmHeld)
            return false;
        wakeFromIdle(at, lock);
        if (m_pcmHeld)
            return false;
        m_pcmHeld = true;
        m_pcmBroken = m_state != State::Running;
        m_pcmDone = std::move(done);
        m_pending.clear();
        ++m_opening;
        push(lock, Kind::PcmOpen, at);
        return true;
    }

    void pcmLength(int64_t lengthNs, const ScheduleTime& at)
    {
        Lock lock(m_mutex);
        if (m_pcmHeld)
            push(lock, Kind::PcmLength, at).lengthNs = lengthNs;
    }

    bool pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at)
    {
        Lock lock(m_mutex);
        if (!m_pcmHeld || m_pcmBroken)
            return false;
        m_pending.push_back(token);
        StreamRequest& r = push(lock, Kind::PcmWrite, at);
        r.token = token;
        r.samples = std::move(samples);
        collectGarbage(lock);
        return true;
    }

    std::vector<uint64_t> pcmStop(Kind kind, const ScheduleTime& at)
    {
        Lock lock(m_mutex);
        std::vector<uint64_t> tokens(m_pending.begin(), m_pending.end());
        m_pending.clear();
        if (m_pcmHeld)
            push(lock, kind, at);
        if (kind == Kind::PcmClose) {
            m_pcmHeld = false;
            m_pcmBroken = false;
            m_pcmDone = nullptr;
            collectGarbage(lock);
        }
        return tokens;
    }

    void pcmCall(Kind kind, const ScheduleTime& at)
    {
        Lock lock(m_mutex);
        if (m_pcmHeld)
            push(lock, kind, at);
    }

    void squareOn(double hz, ScheduleTime at, int64_t lengthNs)
    {
        Lock lock(m_mutex);
        wakeFromIdle(at, lock);
        StreamRequest& r = push(lock, Kind::SquareOn, at);
        r.hz = hz;
        r.lengthNs = lengthNs;
    }

    void squareOff(const ScheduleTime& at)
    {
        Lock lock(m_mutex);
        push(lock, Kind::SquareOff, at);
    }

    Stats stats() const
    {
        std::lock_guard lock(m_mutex);
        return m_stats;
    }

private:
    enum class State { Closed, Opening, Running, Failed };

    // ---- callers' side (m_mutex held) ----

    Status acquireLocked(unsigned rate, Lock& lock)
    {
        if (rate == 0)
            rate = m_runRate ? m_runRate : kDefaultRate;
        m_used = true;
        if (m_state == State::Running && m_runRate == rate && m_openAsked == m_openServed)
            return {true, 0, {}};
        // A first open or a change of rate may take the device a while; after a failure, or while
        // an earlier attempt still hangs, the caller does not wait long.
        const int waitMs =
            m_lastAttemptFailed || m_state == State::Opening ? kReopenWaitMs : kFirstOpenWaitMs;
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

    // A stream closed for idleness opens again at the first use, which then starts a schedule of
    // its own at the moment the device runs: its stamp, taken before the wait, is already past.
    void wakeFromIdle(ScheduleTime& at, Lock& lock)
    {
        if (m_idleClosed && acquireLocked(0, lock).ok)
            at = {monotonicNs(), kOwnEpochs | ++m_ownEpoch, false};
    }

    StreamRequest& push(Lock&, Kind kind, ScheduleTime at)
    {
        const int64_t now = monotonicNs();
        if (at.ns < now - kStampToleranceNs || at.ns > now + kStampToleranceNs)
            at.ns = now;
        StreamRequest& r = m_requests.emplace_back();
        r.kind = kind;
        r.at = at;
        r.opening = m_opening;
        // The first sound after a quiet time is looked at at once, so that it reaches the device as
        // soon as its frame may be rendered rather than at the next round.
        const bool sounds = kind == Kind::PcmWrite || kind == Kind::SquareOn || kind == Kind::PcmRestart;
        if (m_state != State::Running || (sounds && m_quiet)) {
            m_quiet = false;
            m_wakeEarly = true;
            m_wake.notify_all();
        }
        return r;
    }

    // Sample memory goes back to the callers' thread to be freed.
    void collectGarbage(Lock& lock)
    {
        if (m_garbage.empty())
            return;
        std::swap(m_garbage, m_spare);
        lock.unlock();
        m_spare.clear();
        lock.lock();
    }

    // ---- worker ----

    void run()
    {
        // A little real-time priority where the system grants it (inherited by the sound server
        // client's own thread, made at the open), so that a busy machine does not starve the stream.
        sched_param param{};
        param.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

        Lock lock(m_mutex);
        while (!m_stop) {
            if (m_state != State::Running) {
                dropRequests();
                if (m_openAsked > m_openServed) {
                    const uint64_t ticket = m_openAsked;
                    m_state = State::Opening;
                    m_idleClosed = false;
                    openDevice(m_wantRate, lock);
                    m_openServed = std::max(m_openServed, ticket);
                    m_settled.notify_all();
                    continue;
                }
                m_wake.wait(lock,
                            [&] { return m_stop || m_openAsked > m_openServed || !m_requests.empty(); });
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
            const int64_t due = round(lock);
            if (m_state != State::Running)
                continue;
            if ((m_outLen > 0 || m_deviceBound) && m_firstOnset >= m_written) {
                // The first sound after a quiet time is due and the device has no room for it: it
                // says when it has. (A sound server's device makes room in steps, when the server
                // asks for more.) Otherwise a period's wait does, at less cost.
                lock.unlock();
                m_alsa.wait(int(std::clamp<int64_t>((due - monotonicNs()) / 1'000'000, 1, 50)));
                lock.lock();
            } else {
                m_wake.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)),
                                  [&] { return m_stop || m_openAsked > m_openServed || m_wakeEarly; });
            }
            m_wakeEarly = false;
        }
        closeDevice(lock);
    }

    // Without a device, calls have nothing to play on: their samples go back to be freed.
    void dropRequests()
    {
        for (StreamRequest& r : m_requests) {
            if (!r.samples.empty())
                retire(std::move(r.samples));
        }
        m_requests.clear();
    }

    void retire(std::vector<int16_t>&& samples)
    {
        if (m_garbage.size() < m_garbage.capacity())
            m_garbage.push_back(std::move(samples));
    }

    bool openDevice(unsigned rate, Lock& lock)
    {
        lock.unlock();
        AlsaDevice::Result result =
            m_alsa.open(m_device, m_configPath, rate, kPeriodFrames, kPeriodFrames * kBufferPeriods);
        if (result.ok())
            result = start(true);
        lock.lock();
        if (!result.ok()) {
            m_alsa.close();
            m_state = State::Failed;
            m_status = {false, result.error, result.message};
            m_lastAttemptFailed = true;
            ++m_stats.failures;
            return false;
        }
        m_state = State::Running;
        m_runRate = rate;
        m_status = {true, 0, {}};
        m_lastAttemptFailed = false;
        m_idleSinceNs = -1;
        m_stats.running = true;
        m_stats.rate = m_alsa.rate();
        m_stats.periodFrames = m_alsa.periodFrames();
        m_stats.bufferFrames = m_alsa.bufferFrames();
        m_stats.framesWritten = 0;
        ++m_stats.opens;
        publish();
        return true;
    }

    // A fresh device (or one recovered from an underrun): a little silence to start it, then the
    // timing from where the device stands.
    AlsaDevice::Result start(bool fresh)
    {
        const int64_t prefill = int64_t(kLevelPeriods) * m_alsa.periodFrames();
        m_silence.assign(size_t(prefill), 0);
        int64_t done = 0;
        const int64_t deadline = monotonicNs() + kStallNs;
        while (done < prefill) {
            const int64_t w = m_alsa.write(m_silence.data() + done, prefill - done);
            if (w < 0)
                return {int(w), std::string("Cannot start the sound device: ") + snd_strerror(int(w))};
            if (w == 0 && monotonicNs() > deadline)
                return {-EIO, "The sound device does not accept samples"};
            if (w == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            done += w;
        }
        if (fresh) {
            const int64_t periodNs = m_alsa.periodFrames() * 1'000'000'000 / m_alsa.rate();
            m_map = std::make_unique<StreamMap>(
                m_alsa.rate(),
                StreamMap::Params{kLevelPeriods * periodNs, kGuardNs, kGuardStepNs, kMaxGuardNs});
            m_mixer.reset(0);
        }
        m_outLen = 0;
        m_written = m_mixer.rendered();
        // The silence sits just before the next frame of the mixer in the device.
        m_startFrame = m_written - prefill;
        m_deviceWritten = prefill;
        const int64_t avail = m_alsa.avail();
        if (avail < 0)
            return {int(avail), std::string("Cannot start the sound device: ") + snd_strerror(int(avail))};
        m_map->anchor(position(avail), monotonicNs());
        m_lastProgressNs = monotonicNs();
        return {};
    }

    // The frame the device takes next, as a frame of the mixer, when it has room for avail frames.
    // Its own count of frames played, rather than its reports of delay: those are estimates that
    // a sound server makes of its latency, and PipeWire's swing by a hundred milliseconds in a
    // stream's first seconds while the frames it takes keep a steady pace.
    int64_t position(int64_t avail) const
    {
        return m_startFrame + m_deviceWritten - (m_alsa.bufferFrames() - avail);
    }

    void closeDevice(Lock& lock)
    {
        m_stats.running = false;
        if (!m_alsa.isOpen())
            return;
        lock.unlock();
        m_alsa.close();
        lock.lock();
        // What was queued is gone with the device; the next open starts in silence.
        m_mixer.reset(m_mixer.rendered());
        handOver(lock);
    }

    void fail(const AlsaDevice::Result& why, Lock& lock)
    {
        m_state = State::Failed;
        m_lastAttemptFailed = true;
        m_status = {false, why.error, why.message};
        ++m_stats.failures;
        // Hand back every written buffer and refuse further writes of this opening: its sound is
        // lost, and the owner must not wait for buffers that will never play.
        while (!m_pending.empty()) {
            const uint64_t token = m_pending.front();
            m_pending.pop_front();
            if (m_pcmDone)
                m_pcmDone(token);
        }
        if (m_pcmHeld)
            m_pcmBroken = true;
        dropRequests();
        closeDevice(lock);
    }

    // One round: place the calls that arrived, render what is due, write it, read where the device
    // stands. Returns when the next round is due [ns].
    int64_t round(Lock& lock)
    {
        std::swap(m_requests, m_batch);
        ++m_stats.wakeups;
        lock.unlock();
        // Quiet a while: the sound that comes now starts a run, not a silence inside one.
        const bool wasQuiet = quiet();
        int late = 0, restarts = 0;
        for (StreamRequest& r : m_batch) {
            const StreamMap::Placement p = m_mixer.accept(std::move(r), *m_map);
            late += p.late;
            restarts += p.restart;
        }
        m_batch.clear();
        AlsaDevice::Result result = pump();
        lock.lock();
        m_stats.lateRequests += late;
        m_stats.restarts += restarts + std::exchange(m_shifts, 0);
        if (!result.ok()) {
            fail(result, lock);
            return 0;
        }
        publish();
        handOver(lock);
        // The next round is due when it may be rendered, or the first sound after a quiet time as
        // soon as it may be: it then reaches the device without waiting for the round. A full
        // device is waited for until a period later at most.
        const int64_t now = monotonicNs();
        const int64_t round = int64_t(kRoundPeriods) * m_alsa.periodFrames();
        int64_t due = m_map->timeOf(m_mixer.rendered() + round) - m_map->levelNs();
        if (const int64_t onset = m_mixer.nextOnset(); onset != ToneMixer::kNever && wasQuiet) {
            due = std::min(due, m_map->timeOf(onset + 64) - m_map->levelNs());
            m_firstOnset = onset;
        }
        m_quiet = quiet();
        if (m_outLen > 0 || m_deviceBound)
            due = now + m_map->nsOfFrames(m_alsa.periodFrames() + m_alsa.periodFrames() / 4);
        return std::clamp(due, now + 500'000, now + m_map->nsOfFrames(2 * round));
    }

    AlsaDevice::Result pump()
    {
        const int64_t now = monotonicNs();
        if (m_outLen == 0) {
            const int64_t avail = m_alsa.avail();
            if (avail < 0)
                return recover(int(avail));
            m_map->observe(position(avail), now);
            int64_t frames = m_map->renderLimit(now) - m_mixer.rendered();
            // The device is about to run dry although the schedule says it is fed: render ahead, and
            // keep more ahead from now on.
            const int64_t queued = m_alsa.bufferFrames() - avail;
            // What is placed from now on lands later: the rhythm restarts there.
            if (queued < m_alsa.periodFrames() && frames < m_alsa.periodFrames()) {
                frames = m_alsa.periodFrames();
                ++m_starved;
                ++m_shifts;
                m_map->growLevel(m_map->nsOfFrames(m_alsa.periodFrames()), kMaxLevelNs);
            }
            // A device that takes its frames later than its timing says (a server that started
            // late) is full before the schedule: it is written as it makes room.
            m_deviceBound = frames > avail;
            if (avail == 0 && frames > 0 && now - m_lastProgressNs > kStallNs)
                return {-EIO, "The sound device stopped taking samples"};
            frames = std::min(frames, avail);
            if (frames > 0) {
                if (m_out.size() < size_t(frames))
                    m_out.resize(size_t(m_alsa.bufferFrames()));
                m_mixer.render(m_out.data(), frames);
                m_outPos = 0;
                m_outLen = size_t(frames);
            }
        }
        if (m_outLen > 0) {
            const int64_t w = m_alsa.write(m_out.data() + m_outPos, int64_t(m_outLen));
            if (w < 0)
                return recover(int(w));
            if (w > 0) {
                const int64_t onset = m_mixer.lastOnset();
                if (onset >= m_written && onset < m_written + w)
                    m_onsetWrittenNs = monotonicNs();
                m_outPos += size_t(w);
                m_outLen -= size_t(w);
                m_written += w;
                m_deviceWritten += w;
                m_lastProgressNs = now;
            } else if (now - m_lastProgressNs > kStallNs) {
                return {-EIO, "The sound device stopped taking samples"};
            }
        }
        // One frame more or less in a silence, and only one in each: every silence stays within a
        // frame of its length.
        if (m_mixer.idle() && m_mixer.lastOnset() != m_correctedAfter && m_map->correctDrift()) {
            ++m_corrections;
            m_correctedAfter = m_mixer.lastOnset();
        }
        return {};
    }

    // Underruns and suspends lose frames: the device starts again with a little silence and a new
    // timing, and keeps more ahead from now on.
    AlsaDevice::Result recover(int error)
    {
        AlsaDevice::Result result = m_alsa.recover(error, [this] { return m_stopping.load(); });
        if (!result.ok())
            return result;
        ++m_xruns;
        ++m_shifts;
        m_map->growLevel(m_map->nsOfFrames(m_alsa.periodFrames()), kMaxLevelNs);
        m_outLen = 0;
        return start(false);
    }

    // Nothing sounds or waits, and nothing has begun for half a second.
    bool quiet() const
    {
        return m_mixer.idle() && (m_mixer.lastOnset() < 0 ||
                                  m_mixer.rendered() - m_mixer.lastOnset() > int64_t(m_alsa.rate()) / 2);
    }

    // Worker, m_mutex held: the figures of the worker's own state.
    void publish()
    {
        m_stats.framesWritten = m_written;
        m_stats.leadNs = m_map ? m_map->leadNs() : 0;
        m_stats.levelNs = m_map ? m_map->levelNs() : 0;
        m_stats.guardNs = m_map ? m_map->guardNs() : 0;
        m_stats.driftMs = m_map ? m_map->driftNs() / 1e6 : 0;
        m_stats.driftCorrections = m_corrections;
        m_stats.xruns = m_xruns;
        m_stats.starved = m_starved;
        m_stats.lastOnsetWrittenNs = m_onsetWrittenNs;
    }

    // Worker, m_mutex held: reports the buffers that played and hands sample memory back.
    void handOver(Lock&)
    {
        for (const ToneMixer::Finished& f : m_mixer.finished) {
            if (f.opening != m_opening || !m_pcmHeld)
                continue; // handed back by a reset or close already
            const auto it = std::find(m_pending.begin(), m_pending.end(), f.token);
            if (it == m_pending.end())
                continue;
            m_pending.erase(it);
            if (m_pcmDone)
                m_pcmDone(f.token);
        }
        m_mixer.finished.clear();
        for (std::vector<int16_t>& samples : m_mixer.retired)
            retire(std::move(samples));
        m_mixer.retired.clear();
    }

    // Whether nothing has used the stream for the idle time, counted from when the last sound is
    // heard, a lead after it was rendered.
    bool idleExpired()
    {
        const int64_t now = monotonicNs();
        if (m_used || m_pcmHeld || !m_requests.empty() || !m_mixer.idle() || m_outLen != 0) {
            m_used = false;
            m_idleSinceNs = -1;
            return false;
        }
        if (m_idleSinceNs < 0) {
            m_idleSinceNs = now + (m_map ? m_map->leadNs() : 0);
            return false;
        }
        return now - m_idleSinceNs >= m_idleCloseNs;
    }

    const std::string m_device;
    const std::string m_configPath;
    const int64_t m_idleCloseNs;

    mutable PiMutex m_mutex;
    std::condition_variable_any m_wake;    // worker: an open was asked for, a call came, or stop
    std::condition_variable_any m_settled; // callers: an open attempt finished
    bool m_stop = false;
    std::atomic<bool> m_stopping{false};

    // Shared with the callers (m_mutex).
    State m_state = State::Closed;
    Status m_status;
    bool m_lastAttemptFailed = false;
    bool m_idleClosed = false; // closed for idleness, to be reopened at the next use
    bool m_used = false;       // an acquire since the worker last looked: the idle time restarts
    unsigned m_wantRate = kDefaultRate;
    unsigned m_runRate = 0;    // the rate asked for the running stream [frames/s]
    uint64_t m_openAsked = 0;  // number of the latest open request
    uint64_t m_openServed = 0; // number of the latest request an attempt has finished for
    uint64_t m_ownEpoch = 0;
    std::vector<StreamRequest> m_requests; // swapped out whole by the worker
    bool m_quiet = false;                  // nothing sounds or waits on the stream
    bool m_wakeEarly = false;              // a call the worker should look at before its next round
    bool m_pcmHeld = false;
    bool m_pcmBroken = false;
    uint64_t m_opening = 0;
    std::function<void(uint64_t)> m_pcmDone;
    std::deque<uint64_t> m_pending; // written, not yet reported done
    // Sample memory is allocated by the callers and freed by them too: freeing it on the audio
    // thread would take the allocator's locks of their thread. Both lists keep their capacity.
    std::vector<std::vector<int16_t>> m_garbage = reserved(64);
    std::vector<std::vector<int16_t>> m_spare = reserved(64);
    Stats m_stats;

    // Worker only.
    AlsaDevice m_alsa;
    std::unique_ptr<StreamMap> m_map;
    ToneMixer m_mixer;
    std::vector<StreamRequest> m_batch;
    std::vector<int16_t> m_out;
    std::vector<int16_t> m_silence;
    size_t m_outPos = 0, m_outLen = 0; // rendered frames the device has not taken yet
    int64_t m_written = 0;             // mixer frames written to the device
    int64_t m_startFrame = 0;          // where the device's count began, as a frame of the mixer
    int64_t m_deviceWritten = 0;       // frames written to the device since it started
    int64_t m_correctedAfter = -1;     // the onset after which the drift was last corrected
    int64_t m_lastProgressNs = 0;
    int64_t m_idleSinceNs = -1; // when the stream fell idle; -1 while in use [ns]
    int64_t m_onsetWrittenNs = 0;
    int m_corrections = 0, m_xruns = 0, m_starved = 0;
    int m_shifts = 0;
    bool m_deviceBound = false; // the last round rendered less than due, for want of room
    int64_t m_firstOnset = -1;  // where the first sound after a quiet time begins // level grown
                                // since the last round: a restart of the rhythm

    std::thread m_thread;

    static std::vector<std::vector<int16_t>> reserved(size_t n)
    {
        std::vector<std::vector<int16_t>> v;
        v.reserve(n);
        return v;
    }
};

AlsaStream::AlsaStream(std::string device, std::string configPath, int idleCloseMs)
    : m_impl(std::make_unique<Impl>(std::move(device), std::move(configPath), idleCloseMs))
{
}

AlsaStream::~AlsaStream() = default;

AlsaStream::Status AlsaStream::acquire(unsigned rate)
{
    return m_impl->acquire(rate);
}

bool AlsaStream::pcmOpen(const ScheduleTime& at, std::function<void(uint64_t)> done)
{
    return m_impl->pcmOpen(at, std::move(done));
}

void AlsaStream::pcmLength(int64_t lengthNs, const ScheduleTime& at)
{
    m_impl->pcmLength(lengthNs, at);
}

bool AlsaStream::pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at)
{
    return m_impl->pcmWrite(token, std::move(samples), at);
}

std::vector<uint64_t> AlsaStream::pcmReset(const ScheduleTime& at)
{
    return m_impl->pcmStop(Kind::PcmReset, at);
}

void AlsaStream::pcmPause(const ScheduleTime& at)
{
    m_impl->pcmCall(Kind::PcmPause, at);
}

void AlsaStream::pcmRestart(const ScheduleTime& at)
{
    m_impl->pcmCall(Kind::PcmRestart, at);
}

std::vector<uint64_t> AlsaStream::pcmClose(const ScheduleTime& at)
{
    return m_impl->pcmStop(Kind::PcmClose, at);
}

void AlsaStream::squareOn(double hz, const ScheduleTime& at, int64_t lengthNs)
{
    m_impl->squareOn(hz, at, lengthNs);
}

void AlsaStream::squareOff(const ScheduleTime& at)
{
    m_impl->squareOff(at);
}

AlsaStream::Stats AlsaStream::stats() const
{
    return m_impl->stats();
}

ScheduleTime AlsaStream::now()
{
    return {monotonicNs(), kUnscheduledEpoch, false};
}

} // namespace quindle
