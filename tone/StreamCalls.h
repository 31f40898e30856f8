#pragma once

// The stream's callers' side: every call of AlsaStream takes the lock, checks the state it shares
// with the worker and leaves its request for the worker, stamped with its schedule time. Nothing
// here touches the device.

#include "tone/AlsaStream.h"
#include "tone/StreamShared.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace quindle {

class StreamCalls {
public:
    explicit StreamCalls(StreamShared& shared) : m_shared(shared) {}

    AlsaStream::Status acquire(unsigned rate) EXCLUDES(m_shared.mutex);
    bool pcmOpen(ScheduleTime at, std::function<void(uint64_t)> done)
        EXCLUDES(m_shared.mutex);
    void pcmLength(int64_t lengthNs, const ScheduleTime& at) EXCLUDES(m_shared.mutex);
    bool pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at)
        EXCLUDES(m_shared.mutex);
    // A reset or a close: returns the tokens not yet reported done, in the order written.
    std::vector<uint64_t> pcmStop(StreamRequest::Kind kind, const ScheduleTime& at) EXCLUDES(m_shared.mutex);
    // A pause or a restart.
    void pcmCall(StreamRequest::Kind kind, const ScheduleTime& at) EXCLUDES(m_shared.mutex);
    void squareOn(double hz, ScheduleTime at, int64_t lengthNs) EXCLUDES(m_shared.mutex);
    void squareOff(const ScheduleTime& at) EXCLUDES(m_shared.mutex);
    // A character's tones, from `at` on; false when the stream does not run.
    bool forecast(std::vector<PlannedTone> tones, ScheduleTime at) EXCLUDES(m_shared.mutex);

    AlsaStream::Stats stats() const EXCLUDES(m_shared.mutex);
    int64_t absorbableNs() const { return m_shared.absorbableNs.load(std::memory_order_relaxed); }
    int64_t nextCharacterAtNs() const { return m_shared.nextCharacterAtNs.load(std::memory_order_relaxed); }

    // Asks the worker to end and waits at most waitMs [ms] for it; true when it ended. When the
    // device holds it past that, nothing is reported to the owner any more: its callback may be
    // gone soon.
    bool stop(int waitMs) EXCLUDES(m_shared.mutex);

private:
    // These two let go of the lock while they wait for the worker or free memory.
    AlsaStream::Status acquireWaiting(unsigned rate) REQUIRES(m_shared.mutex);
    void wakeFromIdleWaiting(ScheduleTime& at) REQUIRES(m_shared.mutex);
    void collectGarbageUnlocked() REQUIRES(m_shared.mutex);
    StreamRequest& push(StreamRequest::Kind kind, ScheduleTime at) REQUIRES(m_shared.mutex);

    StreamShared& m_shared;
    uint64_t m_ownEpoch GUARDED_BY(m_shared.mutex) = 0;
};

} // namespace quindle
