#pragma once

// One sound-card stream (16-bit mono) that the wave-out back-end and the square-wave speaker sink
// play on, as two voices. A worker thread owns the device: it opens it at the first use, keeps it
// open while in use and closes it after an idle time, so that a program left alone neither spends
// CPU on silence nor keeps the sound card awake; the next use opens it again.
//
// Every call carries the keying's schedule time and lands on the frame that time maps to, a small
// lead ahead (StreamMap), however late the calling thread gets to it: work done between a deadline
// and the call moves no edge. A sound whose length is given when it starts lasts exactly that long.

#include "clock/Clock.h"
#include "tone/PlannedTone.h"
#include "tone/ToneFormat.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quindle {

class StreamDevice;

class AlsaStream {
public:
    static constexpr unsigned kDefaultRate = kFrameRate; // [frames/s]
    // A first open or a change of rate may wait this long for the device; a reopen after a
    // failure much less, so that a lost sound server never holds up the keying. [ms]
    static constexpr int kFirstOpenWaitMs = 2000;
    static constexpr int kReopenWaitMs = 30;
    // The device is closed once nothing uses the stream for this long, counted from when the last
    // sound is heard. [ms]
    static constexpr int kIdleCloseMs = 10'000;
    // How long the owner waits for the device's close when the stream goes: a frozen sound server
    // holds it for a minute inside its client library. [ms]
    static constexpr int kShutdownWaitMs = 250;

    // device: an ALSA PCM name; configPath: an ALSA configuration file to use instead of the
    // system's (empty: the system's, re-read at every open, so that a sound server that started
    // later is found); idleCloseMs: see kIdleCloseMs (tests shorten it).
    explicit AlsaStream(std::string device = "default", std::string configPath = {},
                        int idleCloseMs = kIdleCloseMs);
    // A stream on `device` whose loop runs only when step() is called, on timeNs instead of
    // CLOCK_MONOTONIC: the device loop under a test's own time, without a thread.
    AlsaStream(std::unique_ptr<StreamDevice> device, std::function<int64_t()> timeNs,
               int idleCloseMs = kIdleCloseMs);
    // One tick of such a stream's loop at the present time: a step when one is due or a call asks
    // for one.
    void step();
    // Shuts the stream down (see shutdown).
    ~AlsaStream();
    AlsaStream(const AlsaStream&) = delete;
    AlsaStream& operator=(const AlsaStream&) = delete;

    struct Status {
        bool ok = false;
        int error = 0;       // negative errno from ALSA when !ok
        std::string message; // what failed, with the system's text
    };

    // Makes sure the stream runs at rate [frames/s]: opens it at the first use and reopens it after
    // a failure, an idle close or for another rate, waiting for the worker at most
    // kFirstOpenWaitMs, or kReopenWaitMs after a failure. Cheap while the stream runs at that rate.
    // Rate 0 takes the stream at whatever rate it runs. Counts as a use.
    Status acquire(unsigned rate);

    // The PCM voice: one opening at a time; buffers play in the order written, their sound
    // beginning on the frame of the first write. An open on a stream closed for idleness reopens
    // it, as acquire does, and starts a fresh schedule. done(token) is called once for each buffer
    // that played to its end, on the worker thread with the stream's lock held (it must only post,
    // never call back into the stream); never for a buffer handed back by reset or close.
    bool pcmOpen(const ScheduleTime& at, std::function<void(uint64_t token)> done);
    // The opening's sound lasts lengthNs from where it begins, however late the reset comes. [ns]
    void pcmLength(int64_t lengthNs, const ScheduleTime& at);
    // Queues a copy of the samples; false when the device failed since the open.
    bool pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at);
    // Stops the sound at `at`; returns the tokens not yet reported done, in the order written.
    std::vector<uint64_t> pcmReset(const ScheduleTime& at);
    void pcmPause(const ScheduleTime& at);
    void pcmRestart(const ScheduleTime& at);
    // Resets, then ends the opening.
    std::vector<uint64_t> pcmClose(const ScheduleTime& at);

    // The square-wave voice: peak Amplitude at hz [Hz] for lengthNs [ns] (-1: until squareOff).
    void squareOn(double hz, const ScheduleTime& at, int64_t lengthNs = -1);
    void squareOff(const ScheduleTime& at);

    // A character's tones, all of them, as it begins at `at`: they are written ahead of the device
    // as deep as its buffer takes them, so that no stall of the process reaches inside the
    // character; its elements make no calls of their own. A character begins no earlier than the
    // one before it ends. False when the stream cannot be used.
    bool forecast(std::vector<PlannedTone> tones, const ScheduleTime& at);

    struct Stats {
        bool running = false;           // the device is open
        unsigned rate = 0;              // granted [frames/s]
        int64_t periodFrames = 0;       // granted
        int64_t bufferFrames = 0;       // granted
        int64_t framesWritten = 0;      // since the last (re)open
        int64_t leadNs = 0;             // from a schedule time to when it is heard [ns]
        int64_t levelNs = 0;            // how far ahead of being heard frames are rendered [ns]
        int64_t guardNs = 0;            // lateness a call may have and still land on its frame [ns]
        int opens = 0;                  // successful opens
        int idleCloses = 0;             // closes after the idle time
        int failures = 0;               // device failures and failed opens
        int xruns = 0;                  // underruns and suspends recovered
        int lateRequests = 0;           // calls that reached the worker after their frame was rendered
        int absorbed = 0;               // moments the calling thread woke up late for, kept on their frames
        int restarts = 0;               // edges where the rhythm restarted: a silence stretched
        int driftCorrections = 0;       // one-frame corrections of the device's timing
        int starved = 0;                // rounds that rendered ahead of the schedule to feed the device
        int64_t wakeups = 0;            // rounds of the worker while the stream runs
        double driftMs = 0;             // smoothed drift of the device's reports past the baseline [ms]
        int64_t lastOnsetWrittenNs = 0; // when the frame where sound last began reached the device [ns]
        std::string priority;           // the worker's scheduling: "SCHED_FIFO 10 directly", "normal (why)"...
        int64_t aheadNs = 0;            // the most sound written ahead of the device at once [ns]
    };
    Stats stats() const;
    // How late the calling thread may wake up for a schedule time and its calls still land on
    // their frames: what the keying's schedule may absorb on this stream. [ns]
    int64_t absorbableNs() const;
    // The schedule time before which the next character cannot begin on the stream: the keying's
    // clock waits for it, so that a character pushed back moves the rest of the run with it. [ns]
    int64_t nextCharacterAtNs() const;

    // Ends the stream: the worker closes the device, waited for at most waitMs [ms]. True when it
    // ended. False when the device still holds it: the worker is then left to finish on its own,
    // with what it uses, and reports nothing more; the process should end without waiting for it.
    // Every call afterwards is a cheap no-op (open and write refused).
    bool shutdown(int waitMs = kShutdownWaitMs);

    // Stops the worker for ms [ms] at its next round, as a stall of the process would stop it: for
    // tests and benchmarks of what a stall does.
    void holdWorker(int ms);

    // The present moment as a schedule time, for callers that keep no schedule.
    static ScheduleTime now();

private:
    class Impl;
    // Shared with the worker, which keeps its state alive when it is left behind at shutdown.
    std::shared_ptr<Impl> m_impl;
    std::thread m_thread;
    bool m_ended = false;
    bool m_stepped = false; // driven by step(), without a thread
};

} // namespace quindle
