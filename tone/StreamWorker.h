#pragma once

// The stream's device loop, on its own thread: opens the device when asked, places the callers'
// requests on their frames, renders and writes what is due a round at a time, recovers from
// underruns and closes the device when asked, after a failure or for idleness. The members below
// the lock's are the worker's alone.

#include "tone/StreamDevice.h"
#include "tone/StreamMap.h"
#include "tone/StreamShared.h"
#include "tone/StreamUpkeep.h"
#include "tone/ToneMixer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quindle {

class StreamWorker {
public:
    StreamWorker(StreamShared& shared, std::unique_ptr<StreamDevice> device, std::string deviceName,
                 std::string configPath, int idleCloseMs);

    // Runs until the stream is stopped, then closes the device and says it ended.
    void run() EXCLUDES(m_shared.mutex);

    // What the loop waits for after a step.
    struct Wait {
        enum Kind { None, Request, Device, Until } kind = None;
        int64_t untilNs = 0; // Device, Until [ns]
    };
    // One pass of the loop: opens or closes the device, or places, renders and writes a round.
    // run() calls it and waits as it says; tests call it on a time of their own.
    Wait step() REQUIRES(m_shared.mutex);
    // The device's own end: closes it and says the worker ended.
    void finish() REQUIRES(m_shared.mutex);
    // For a loop without a thread: a step when one is due at the present time or a call asks for
    // one; and the end of such a loop.
    void tick() EXCLUDES(m_shared.mutex);
    void end() EXCLUDES(m_shared.mutex);

private:
    // The functions named ...Unlocked do their device work with the lock let go.
    void openDeviceUnlocked(unsigned rate) REQUIRES(m_shared.mutex);
    void closeDeviceUnlocked() REQUIRES(m_shared.mutex);
    void failUnlocked(const StreamDevice::Result& why) REQUIRES(m_shared.mutex);
    // One round: place the calls that arrived, render what is due, write it, read where the device
    // stands. Returns when the next round is due [ns].
    int64_t roundUnlocked() REQUIRES(m_shared.mutex);
    // Reports the buffers that played and hands sample memory back.
    void handOver() REQUIRES(m_shared.mutex);

    // Without the lock.
    StreamDevice::Result start(bool fresh);
    StreamDevice::Result pump();
    StreamDevice::Result recover(int error);
    int64_t position(int64_t avail) const;
    bool quiet() const;
    void growLevelAfterStarving();

    StreamShared& m_shared;
    StreamUpkeep m_upkeep;
    const std::string m_deviceName;
    const std::string m_configPath;

    std::unique_ptr<StreamDevice> m_device;
    StreamDevice& m_alsa;
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
    int64_t m_lastPumpNs = 0; // when the device loop last ran [ns]
    int64_t m_roundGapNs = 0; // how long the worker stood still before this round [ns]
    int64_t m_lastReadingNs = 0; // of the device's room [ns]
    int64_t m_lastQueued = 0;    // frames it held then
    bool m_deviceBound = false; // the last round rendered less than due, for want of room
    int64_t m_firstOnset = -1;  // where the first sound after a quiet time begins
    bool m_recovering = false;
    int64_t m_nextTickNs = 0;
};

} // namespace quindle
