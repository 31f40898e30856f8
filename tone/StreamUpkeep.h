#pragma once

// The stream worker's bookkeeping: when the device is closed for idleness, and the figures that
// AlsaStream::stats() reports.

#include "tone/StreamDevice.h"
#include "tone/StreamMap.h"
#include "tone/StreamShared.h"

#include <cstdint>

namespace quindle {

class StreamUpkeep {
public:
    explicit StreamUpkeep(int idleCloseMs);

    // Counted by the device loop, published with publish(). Worker only.
    int corrections = 0;        // one-frame drift corrections
    int xruns = 0;              // underruns and suspends recovered
    int starved = 0;            // rounds that rendered ahead of the schedule to feed the device
    int shifts = 0;             // level grown since the last round: a restart of the rhythm
    int64_t onsetWrittenNs = 0; // when the frame where sound last began reached the device [ns]
    int64_t absorbedAtNs = -1;  // the schedule time last counted as absorbed [ns]
    int64_t aheadFrames = 0;    // the most frames written ahead of the device at once

    // The device opened, failed or closed.
    void opened(StreamShared& shared, const StreamDevice& device) REQUIRES(shared.mutex);
    static void failed(StreamShared& shared) REQUIRES(shared.mutex);
    static void closed(StreamShared& shared) REQUIRES(shared.mutex);

    // One round placed its calls: late ones, restarts of the rhythm, and late wake-ups absorbed.
    void placed(StreamShared& shared, int late, int restarts, int absorbed) REQUIRES(shared.mutex);
    // The figures of the device loop's own state, and the lateness the schedule may absorb.
    void publish(StreamShared& shared, int64_t framesWritten, const StreamMap* map) const
        REQUIRES(shared.mutex);

    // Whether nothing has used the stream for the idle time, counted from when the last sound is
    // heard, a lead after it was rendered. busy: something sounds, waits or is being written.
    bool idleExpired(StreamShared& shared, bool busy, int64_t leadNs) REQUIRES(shared.mutex);
    // Closes for idleness: the stream counts as closed before the device is let go, so that a use
    // meanwhile waits for the reopen instead of playing on a stream that is going away.
    static void closeForIdleness(StreamShared& shared) REQUIRES(shared.mutex);

private:
    const int64_t m_idleCloseNs;
    int64_t m_idleSinceNs = -1; // when the stream fell idle; -1 while in use [ns]
};

} // namespace quindle
