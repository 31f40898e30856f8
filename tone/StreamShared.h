#pragma once

// What the stream's callers (StreamCalls) and its worker (StreamWorker) share: one lock, the two
// condition variables, and every member that both sides touch, each under that lock.

#include "tone/AlsaStream.h"
#include "tone/PiMutex.h"
#include "tone/StreamTiming.h"
#include "tone/ThreadSafety.h"
#include "tone/ToneMixer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace quindle {

enum class StreamState { Closed, Opening, Running, Failed };

struct StreamShared {
    using Samples = std::vector<int16_t>;

    StreamShared() { garbage.reserve(kGarbageCapacity); }

    // Sample memory goes back to the callers' thread to be freed (see garbage).
    void retire(Samples&& samples) REQUIRES(mutex)
    {
        if (garbage.size() < garbage.capacity())
            garbage.push_back(std::move(samples));
    }
    // Without a device, calls have nothing to play on: their samples go back to be freed.
    void dropRequests() REQUIRES(mutex)
    {
        for (StreamRequest& r : requests) {
            if (!r.samples.empty())
                retire(std::move(r.samples));
        }
        requests.clear();
    }
    // Reports a written buffer of the current opening as done: it played, or it is lost.
    void reportDone(uint64_t token) REQUIRES(mutex)
    {
        if (pcmDone)
            pcmDone(token);
    }

    static constexpr size_t kGarbageCapacity = 64;

    mutable PiMutex mutex;
    std::condition_variable_any wake;    // worker: an open was asked for, a call came, or stop
    std::condition_variable_any settled; // callers: an open attempt finished, or the worker ended
    // Read without the lock: by the device's wait for a resume, and by the clock at every reading.
    std::atomic<bool> stopping{false};
    std::atomic<int64_t> absorbableNs{streamtiming::absorbableNs(streamtiming::kGuardNs)};
    // The schedule time from which the next character may begin: the end of the last one's gap,
    // later than planned when the device stood still inside it. [ns]
    std::atomic<int64_t> nextCharacterAtNs{INT64_MIN};
    // CLOCK_MONOTONIC, the time of every schedule; tests drive the device loop on a time of theirs.
    // Set before the worker starts. [ns]
    std::function<int64_t()> timeNs = monotonicNs;
    // A stream without a worker thread (tests) serves an open at once with this, lock held.
    std::function<void()> serveOpen;
    // The worker stops this long at its next round, as a stalled process would. [ms]
    std::atomic<int> holdMs{0};

    bool stop GUARDED_BY(mutex) = false;
    bool ended GUARDED_BY(mutex) = false; // the worker has closed the device and returned

    StreamState state GUARDED_BY(mutex) = StreamState::Closed;
    AlsaStream::Status status GUARDED_BY(mutex);
    bool lastAttemptFailed GUARDED_BY(mutex) = false;
    bool idleClosed GUARDED_BY(mutex) = false; // closed for idleness, to be reopened at the next use
    bool used GUARDED_BY(mutex) = false;       // an acquire since the worker last looked
    unsigned wantRate GUARDED_BY(mutex) = AlsaStream::kDefaultRate;
    unsigned runRate GUARDED_BY(mutex) = 0;    // the rate asked for the running stream [frames/s]
    uint64_t openAsked GUARDED_BY(mutex) = 0;  // number of the latest open request
    uint64_t openServed GUARDED_BY(mutex) = 0; // number of the latest request an attempt finished

    std::vector<StreamRequest> requests GUARDED_BY(mutex); // swapped out whole by the worker
    bool quiet GUARDED_BY(mutex) = false;                  // nothing sounds or waits on the stream
    bool wakeEarly GUARDED_BY(mutex) = false; // a call the worker should look at before its round

    bool pcmHeld GUARDED_BY(mutex) = false;
    bool pcmBroken GUARDED_BY(mutex) = false;
    uint64_t opening GUARDED_BY(mutex) = 0;
    std::function<void(uint64_t)> pcmDone GUARDED_BY(mutex);
    std::deque<uint64_t> pending GUARDED_BY(mutex); // written, not yet reported done
    // Sample memory is allocated by the callers and freed by them too: freeing it on the audio
    // thread would take the allocator's locks of their thread. Keeps its capacity, so that the
    // worker never allocates for it.
    std::vector<Samples> garbage GUARDED_BY(mutex);

    AlsaStream::Stats stats GUARDED_BY(mutex);
};

} // namespace quindle
