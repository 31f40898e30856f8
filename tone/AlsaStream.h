#pragma once

// One ALSA playback stream (S16_LE, mono) owned by a worker thread. It is opened at the first use,
// kept open while in use and closed after an idle time, so that a program left alone neither
// spends CPU on silence nor keeps the sound card awake; the next use opens it again. The wave-out
// back-end and the square-wave speaker sink play on it as two voices.
// Every request is stamped on CLOCK_MONOTONIC by the caller and lands on the stream frame that is
// heard a fixed latency after that moment, so a tone's length on the stream equals the time
// between the calls that started and stopped it, whatever the period boundaries.

#include <alsa/asoundlib.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quindle {

// A mutex with priority inheritance: the audio thread runs at real-time priority where allowed,
// and a UI thread preempted while holding a lock the audio thread waits for is lifted until it
// lets go, instead of letting the stream run dry.
class PiMutex {
public:
    PiMutex();
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }

private:
    pthread_mutex_t m_mutex;
};

class AlsaStream {
public:
    static constexpr unsigned kDefaultRate = 22540; // [frames/s]
    static constexpr unsigned kPeriodFrames = 128;  // about 5.7 ms at the default rate
    static constexpr unsigned kBufferPeriods = 16;  // about 91 ms queued on the device
    // Lead kept over the device's delay, for the bursts in which a sound server takes samples;
    // each request that still comes too late adds kLatencyStepNs to it and to the guard below,
    // up to kMaxLatencyNs. [ns]
    static constexpr int64_t kMarginNs = 30'000'000;
    static constexpr int64_t kLatencyStepNs = 5'000'000;
    // Rendering stays this far behind the present, so that the samples written right after an
    // open, computed in between, still start on the open's frame. [ns]
    static constexpr int64_t kGuardNs = 10'000'000;
    static constexpr int64_t kMaxLatencyNs = 250'000'000;
    static constexpr int64_t kDriftLimitNs = 5'000'000;
    // A first open or a change of rate may wait this long for the device; a reopen after a
    // failure much less, so that a lost sound server never holds up the keying. [ms]
    static constexpr int kFirstOpenWaitMs = 2000;
    static constexpr int kReopenWaitMs = 30;
    // No progress on the device for this long counts as a failure. [ms]
    static constexpr int kStallMs = 1000;
    // The device is closed once no opening of the PCM voice is held, no square tone sounds and
    // nothing is queued for this long, counted from when the last sound is heard. [ms]
    static constexpr int kIdleCloseMs = 10'000;

    // device: an ALSA PCM name; configPath: an ALSA configuration file to use instead of the
    // system's (empty: the system's, re-read at every open so that a sound server that started
    // later is found).
    // idleCloseMs: see kIdleCloseMs; tests shorten it.
    explicit AlsaStream(std::string device = "default", std::string configPath = {},
                        int idleCloseMs = kIdleCloseMs);
    ~AlsaStream();
    AlsaStream(const AlsaStream&) = delete;
    AlsaStream& operator=(const AlsaStream&) = delete;

    struct Status {
        bool ok = false;
        int error = 0;       // negative errno from ALSA when !ok
        std::string message; // what failed, with snd_strerror's text
    };

    // Makes sure the stream runs at rate [frames/s]: opens it at the first use and reopens it
    // after a failure, an idle close or for another rate, waiting for the worker at most kFirstOpenWaitMs, or
    // kReopenWaitMs after a failure. Cheap while the stream runs at that rate. Rate 0 takes the
    // stream at whatever rate it runs (kDefaultRate when it has never run). Counts as a use: the
    // idle time starts again.
    Status acquire(unsigned rate);

    // The PCM voice: one opening at a time; buffers play in the order written. An open (like a
    // square tone) on a stream closed for idleness reopens it, waiting as acquire does, and then
    // starts on the frame of the moment it runs again. done(token) is
    // called once for each buffer that played to its end, on the worker thread with the stream's
    // lock held (it must only post, never call back into the stream); never after pcmClose.
    bool pcmOpen(int64_t stampNs, std::function<void(uint64_t token)> done);
    // Queues a copy of the samples. The first buffer written within kOpenGraceNs of the open
    // starts on the frame of the open, so that computing it does not shorten the tone.
    // False when the device failed since the open.
    bool pcmWrite(uint64_t token, std::vector<int16_t> samples, int64_t stampNs);
    // Stops the sound on the frame of stampNs; returns the tokens not yet reported done, in the
    // order written; done() is not called for them.
    std::vector<uint64_t> pcmReset(int64_t stampNs);
    void pcmPause(int64_t stampNs);
    void pcmRestart(int64_t stampNs);
    // Resets, then ends the opening.
    std::vector<uint64_t> pcmClose(int64_t stampNs);
    static constexpr int64_t kOpenGraceNs = 50'000'000;

    // The square-wave voice: peak kSquarePeak, frequency hz [Hz], until squareOff.
    void squareOn(double hz, int64_t stampNs);
    void squareOff(int64_t stampNs);
    static constexpr int16_t kSquarePeak = 8192;

    struct Stats {
        bool running = false;      // the device is open
        unsigned rate = 0;         // granted [frames/s]
        int64_t framesWritten = 0; // since the last (re)open
        int64_t latencyNs = 0;     // from a request to the frame it lands on [ns]
        int opens = 0;             // successful opens
        int idleCloses = 0;        // closes after the idle time
        int failures = 0;          // device failures and failed opens
        int xruns = 0;             // underruns and suspends recovered
        int lateRequests = 0;      // requests that reached the worker after their frame
        int reanchors = 0;         // corrections of the time-to-frame mapping
        int heldBack = 0;          // times the device asked for frames ahead of the present
        int64_t wakeups = 0;       // rounds of the worker while the stream runs
        int64_t refused = 0;       // writes the device refused for want of room
        double driftMs = 0;        // last measured offset of the heard frame from the mapping [ms]
    };
    Stats stats() const;

    // CLOCK_MONOTONIC [ns], the time base of every stamp.
    static int64_t monotonicNs();

private:
    struct Request {
        enum class Kind { PcmOpen, PcmWrite, PcmReset, PcmPause, PcmRestart, PcmClose, SquareOn, SquareOff };
        Kind kind;
        int64_t stampNs = 0;
        uint64_t token = 0;
        std::vector<int16_t> samples;
        double hz = 0;
    };
    struct PcmBuffer {
        uint64_t token = 0;
        std::vector<int16_t> samples;
        size_t pos = 0;
    };
    enum class State { Closed, Opening, Running, Failed };

    void run();
    bool openDevice(unsigned rate, std::unique_lock<PiMutex>& lock);
    void closeDevice(std::unique_lock<PiMutex>& lock);
    void drainIdle();
    bool measure();
    // Waits for room, renders and writes; false when the device failed (m_status says why).
    bool pump(std::unique_lock<PiMutex>& lock);
    bool recover(int err, const char* what, std::unique_lock<PiMutex>& lock);
    void fail(int err, const std::string& what);
    void render(int16_t* out, int64_t frames);
    void renderVoices(int16_t* out, int64_t from, int64_t to);
    void apply(Request& r, int64_t frame);
    int64_t frameOf(int64_t stampNs) const;
    int64_t periodNs() const;
    void anchor(int64_t heardNs);
    void checkDrift();
    void correct();
    bool voicesIdle() const;
    bool idleExpired();
    Status acquireLocked(unsigned rate, std::unique_lock<PiMutex>& lock);
    void wakeFromIdle(int64_t& stampNs, std::unique_lock<PiMutex>& lock);
    void reportDone(uint64_t token);
    void dropQueue();
    void pushRequest(Request r);

    const std::string m_device;
    const std::string m_configPath;
    const int64_t m_idleCloseNs;

    mutable PiMutex m_mutex;
    std::condition_variable_any m_wake;    // worker: an open was asked for, or stop
    std::condition_variable_any m_settled; // callers: an open attempt finished
    bool m_stop = false;

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
    std::deque<Request> m_requests;
    bool m_pcmHeld = false;
    bool m_pcmBroken = false;
    std::function<void(uint64_t)> m_pcmDone;
    std::deque<uint64_t> m_pending; // written, not yet reported done
    // Sample memory is allocated by the callers and freed by them too: freeing it on the audio
    // thread would take the allocator's locks of their thread. Both lists keep their capacity.
    std::vector<std::vector<int16_t>> m_garbage; // finished buffers, for the callers to free
    std::vector<std::vector<int16_t>> m_spare;   // callers only
    void collectGarbage(std::unique_lock<PiMutex>& lock);
    void retire(std::vector<int16_t>&& samples);
    Stats m_stats;

    // Worker only.
    snd_pcm_t* m_pcm = nullptr;
    snd_config_t* m_config = nullptr;
    unsigned m_rate = 0;
    int64_t m_bufferFrames = 0;
    int64_t m_written = 0;     // frames accepted by the device since the open
    int64_t m_rendered = 0;    // frames rendered since the open (>= m_written)
    int64_t m_heardNextNs = 0; // when frame m_rendered will be heard, as last measured [ns]
    int64_t m_lastProgressNs = 0;
    bool m_forceAnchor = false;
    bool m_wrote = false;
    int64_t m_anchorFrame = 0; // m_anchorFrame is heard at m_anchorNs + m_latencyNs
    int64_t m_anchorNs = 0;
    bool m_anchored = false;
    int64_t m_latencyNs = 0;
    int64_t m_pendingDriftNs = 0; // corrections waiting for a silence [ns]
    int64_t m_pendingLatencyNs = 0;
    int64_t m_extraLeadNs = 0;  // added to the guard and the latency after late requests [ns]
    double m_drift = 0;         // smoothed offset [ns]
    int64_t m_idleSinceNs = -1; // when the stream fell idle; -1 while in use [ns]
    std::vector<int16_t> m_out;
    size_t m_outPos = 0, m_outLen = 0; // rendered frames not yet accepted by the device

    bool m_pcmOpen = false, m_pcmPaused = false, m_firstWrite = false;
    int64_t m_openFrame = 0, m_openStampNs = 0;
    std::deque<PcmBuffer> m_queue;
    bool m_squareOn = false;
    double m_squareHz = 0, m_squarePhase = 0;

    std::thread m_thread;
};

} // namespace quindle
