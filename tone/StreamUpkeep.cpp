#include "tone/StreamUpkeep.h"

#include <algorithm>

namespace quindle {

StreamUpkeep::StreamUpkeep(int idleCloseMs) : m_idleCloseNs(int64_t(std::max(0, idleCloseMs)) * 1'000'000) {}

void StreamUpkeep::opened(StreamShared& shared, const StreamDevice& device)
{
    AlsaStream::Stats& stats = shared.stats;
    m_idleSinceNs = -1;
    stats.running = true;
    stats.rate = device.rate();
    stats.periodFrames = device.periodFrames();
    stats.bufferFrames = device.bufferFrames();
    stats.framesWritten = 0;
    ++stats.opens;
}

void StreamUpkeep::failed(StreamShared& shared)
{
    ++shared.stats.failures;
}

void StreamUpkeep::closed(StreamShared& shared)
{
    shared.stats.running = false;
}

void StreamUpkeep::placed(StreamShared& shared, int late, int restarts, int absorbed)
{
    AlsaStream::Stats& stats = shared.stats;
    ++stats.wakeups;
    stats.lateRequests += late;
    stats.absorbed += absorbed;
    stats.restarts += restarts + shifts;
    shifts = 0;
}

void StreamUpkeep::publish(StreamShared& shared, int64_t framesWritten, const StreamMap* map) const
{
    AlsaStream::Stats& stats = shared.stats;
    stats.framesWritten = framesWritten;
    stats.leadNs = map ? map->leadNs() : 0;
    stats.levelNs = map ? map->levelNs() : 0;
    stats.guardNs = map ? map->guardNs() : 0;
    stats.driftMs = map ? map->driftNs() / 1e6 : 0;
    stats.driftCorrections = corrections;
    stats.xruns = xruns;
    stats.starved = starved;
    stats.lastOnsetWrittenNs = onsetWrittenNs;
    stats.aheadNs = map ? map->nsOfFrames(aheadFrames) : 0;
    if (map)
        shared.absorbableNs = streamtiming::absorbableNs(map->guardNs());
}

bool StreamUpkeep::idleExpired(StreamShared& shared, bool busy, int64_t leadNs)
{
    const int64_t now = shared.timeNs();
    if (busy || shared.used || shared.pcmHeld || !shared.requests.empty()) {
        shared.used = false;
        m_idleSinceNs = -1;
        return false;
    }
    if (m_idleSinceNs < 0) {
        m_idleSinceNs = now + leadNs;
        return false;
    }
    return now - m_idleSinceNs >= m_idleCloseNs;
}

void StreamUpkeep::closeForIdleness(StreamShared& shared)
{
    shared.state = StreamState::Closed;
    shared.idleClosed = true;
    ++shared.stats.idleCloses;
}

} // namespace quindle
