#include "tone/StreamWorker.h"

#include "tone/RealtimePriority.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

namespace quindle {

namespace {

using namespace streamtiming;

// No progress on the device for this long counts as a failure. [ns]
constexpr int64_t kStallNs = 1'000'000'000;
// A device that ran dry this long ago stood still. [ns]
constexpr int64_t kStoodStillNs = 2'000'000;

} // namespace

StreamWorker::StreamWorker(StreamShared& shared, std::unique_ptr<StreamDevice> device, std::string deviceName,
                           std::string configPath, int idleCloseMs)
    : m_shared(shared), m_upkeep(idleCloseMs), m_deviceName(std::move(deviceName)),
      m_configPath(std::move(configPath)), m_device(std::move(device)), m_alsa(*m_device)
{
}

void StreamWorker::run()
{
    // A little real-time priority, so that a busy machine does not starve the stream: directly
    // where the system grants it (then inherited by the sound server client's own thread, made at
    // the open), else through RealtimeKit, asked beside the device loop without holding it up.
    const RealtimeRequest priority(10, [this](const RealtimeGrant& grant) {
        PiLock lock(m_shared.mutex);
        m_shared.stats.priority = grant.text();
    });

    PiLock lock(m_shared.mutex);
    while (!m_shared.stop) {
        if (const int ms = m_shared.holdMs.exchange(0); ms > 0) {
            m_shared.mutex.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            m_shared.mutex.lock();
        }
        const Wait wait = step();
        switch (wait.kind) {
        case Wait::None:
            break;
        case Wait::Request:
            while (!m_shared.stop && m_shared.openAsked <= m_shared.openServed && m_shared.requests.empty())
                m_shared.wake.wait(m_shared.mutex);
            break;
        case Wait::Device:
            m_shared.mutex.unlock();
            m_alsa.wait(int(std::clamp<int64_t>((wait.untilNs - m_shared.timeNs()) / 1'000'000, 1, 50)));
            m_shared.mutex.lock();
            m_shared.wakeEarly = false;
            break;
        case Wait::Until: {
            const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(wait.untilNs)};
            while (!m_shared.stop && m_shared.openAsked <= m_shared.openServed && !m_shared.wakeEarly) {
                if (m_shared.wake.wait_until(m_shared.mutex, until) == std::cv_status::timeout)
                    break;
            }
            m_shared.wakeEarly = false;
            break;
        }
        }
    }
    finish();
}

void StreamWorker::finish()
{
    closeDeviceUnlocked();
    m_shared.ended = true;
    m_shared.settled.notify_all();
}

void StreamWorker::tick()
{
    PiLock lock(m_shared.mutex);
    const int64_t now = m_shared.timeNs();
    if (m_shared.stop ||
        (now < m_nextTickNs && !m_shared.wakeEarly && m_shared.openAsked <= m_shared.openServed))
        return;
    m_shared.wakeEarly = false;
    const Wait wait = step();
    switch (wait.kind) {
    case Wait::None:
        m_nextTickNs = now;
        break;
    case Wait::Request:
        m_nextTickNs = m_shared.requests.empty() ? INT64_MAX : now;
        break;
    case Wait::Device:
        m_nextTickNs = std::min(wait.untilNs, now + 1'000'000);
        break;
    case Wait::Until:
        m_nextTickNs = wait.untilNs;
        break;
    }
}

void StreamWorker::end()
{
    PiLock lock(m_shared.mutex);
    m_shared.stop = true;
    finish();
}

StreamWorker::Wait StreamWorker::step()
{
    if (m_shared.state != StreamState::Running) {
        m_shared.dropRequests();
        if (m_shared.openAsked > m_shared.openServed) {
            const uint64_t ticket = m_shared.openAsked;
            m_shared.state = StreamState::Opening;
            m_shared.idleClosed = false;
            openDeviceUnlocked(m_shared.wantRate);
            m_shared.openServed = std::max(m_shared.openServed, ticket);
            m_shared.settled.notify_all();
            return {};
        }
        return {Wait::Request};
    }
    if (m_shared.openAsked > m_shared.openServed) {
        if (m_shared.wantRate == m_shared.runRate) {
            m_shared.openServed = m_shared.openAsked;
            m_shared.settled.notify_all();
        } else {
            closeDeviceUnlocked();
            m_shared.state = StreamState::Closed;
            return {};
        }
    }
    if (m_upkeep.idleExpired(m_shared, !m_mixer.idle() || m_outLen != 0, m_map ? m_map->leadNs() : 0)) {
        StreamUpkeep::closeForIdleness(m_shared);
        closeDeviceUnlocked();
        return {};
    }
    const int64_t due = roundUnlocked();
    if (m_shared.state != StreamState::Running)
        return {};
    // The first sound after a quiet time is due and the device has no room for it: it says when
    // it has. (A sound server's device makes room in steps, when the server asks for more.)
    // Otherwise a period's wait does, at less cost.
    if ((m_outLen > 0 || m_deviceBound) && m_firstOnset >= m_written)
        return {Wait::Device, due};
    return {Wait::Until, due};
}

void StreamWorker::openDeviceUnlocked(unsigned rate)
{
    m_shared.mutex.unlock();
    StreamDevice::Result result =
        m_alsa.open(m_deviceName, m_configPath, rate, kPeriodFrames, kPeriodFrames * kBufferPeriods);
    if (result.ok())
        result = start(true);
    m_shared.mutex.lock();
    if (!result.ok()) {
        m_alsa.close();
        m_shared.state = StreamState::Failed;
        m_shared.status = {false, result.error, result.message};
        m_shared.lastAttemptFailed = true;
        StreamUpkeep::failed(m_shared);
        return;
    }
    m_shared.state = StreamState::Running;
    m_shared.runRate = rate;
    m_shared.status = {true, 0, {}};
    m_shared.lastAttemptFailed = false;
    m_upkeep.opened(m_shared, m_alsa);
    m_upkeep.publish(m_shared, m_written, m_map.get());
}

// A fresh device: a little silence to start it, then the timing from where the device stands. One
// recovered from an underrun goes on with the frames it never played, and the schedule moves back
// by as long as it stood still.
StreamDevice::Result StreamWorker::start(bool fresh)
{
    const int64_t prefill = fresh ? int64_t(kLevelPeriods) * m_alsa.periodFrames() : 0;
    m_silence.assign(size_t(prefill), 0);
    int64_t done = 0;
    const int64_t deadline = m_shared.timeNs() + kStallNs;
    while (done < prefill) {
        const int64_t w = m_alsa.write(m_silence.data() + done, prefill - done);
        if (w < 0)
            return {int(w), std::string("Cannot start the sound device: ") + m_alsa.errorText(int(w))};
        if (w == 0 && m_shared.timeNs() > deadline)
            return {-EIO, "The sound device does not accept samples"};
        if (w == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        done += w;
    }
    if (fresh) {
        m_map = std::make_unique<StreamMap>(m_alsa.rate(), mapParams(m_alsa.rate(), m_alsa.periodFrames()));
        m_mixer.reset(0);
        m_outLen = 0;
        m_written = m_mixer.rendered();
    }
    // The silence sits just before the next frame of the mixer in the device.
    m_startFrame = m_written - prefill;
    m_deviceWritten = prefill;
    const int64_t avail = m_alsa.avail();
    if (avail < 0)
        return {int(avail), std::string("Cannot start the sound device: ") + m_alsa.errorText(int(avail))};
    if (fresh)
        m_map->anchor(position(avail), m_shared.timeNs());
    else
        m_mixer.stoodStill(position(avail), m_map->reanchor(position(avail), m_shared.timeNs()));
    m_lastProgressNs = m_shared.timeNs();
    m_lastReadingNs = 0;
    return {};
}

// The frame the device takes next, as a frame of the mixer, when it has room for avail frames.
// Its own count of frames played, rather than its reports of delay: those are estimates that
// a sound server makes of its latency, and PipeWire's swing by a hundred milliseconds in a
// stream's first seconds while the frames it takes keep a steady pace.
int64_t StreamWorker::position(int64_t avail) const
{
    return m_startFrame + m_deviceWritten - (m_alsa.bufferFrames() - avail);
}

void StreamWorker::closeDeviceUnlocked()
{
    StreamUpkeep::closed(m_shared);
    if (!m_alsa.isOpen())
        return;
    m_shared.mutex.unlock();
    m_alsa.close();
    m_shared.mutex.lock();
    // What was queued is gone with the device; the next open starts in silence.
    m_mixer.reset(m_mixer.rendered());
    handOver();
}

void StreamWorker::failUnlocked(const StreamDevice::Result& why)
{
    m_shared.state = StreamState::Failed;
    m_shared.lastAttemptFailed = true;
    m_shared.status = {false, why.error, why.message};
    StreamUpkeep::failed(m_shared);
    // Hand back every written buffer and refuse further writes of this opening: its sound is
    // lost, and the owner must not wait for buffers that will never play.
    while (!m_shared.pending.empty()) {
        const uint64_t token = m_shared.pending.front();
        m_shared.pending.pop_front();
        m_shared.reportDone(token);
    }
    if (m_shared.pcmHeld)
        m_shared.pcmBroken = true;
    m_shared.dropRequests();
    closeDeviceUnlocked();
}

int64_t StreamWorker::roundUnlocked()
{
    std::swap(m_shared.requests, m_batch);
    m_shared.mutex.unlock();
    // Quiet a while: the sound that comes now starts a run, not a silence inside one.
    const bool wasQuiet = quiet();
    int late = 0, restarts = 0, absorbed = 0;
    for (StreamRequest& r : m_batch) {
        // The calling thread woke late for this moment (by more than an output that sounds at once
        // absorbs), and its schedule kept it.
        const bool lateWakeup = r.at.lateNs > Schedule::kImmediateNs && r.at.ns != m_upkeep.absorbedAtNs;
        const int64_t at = r.at.ns;
        const StreamMap::Placement p = m_mixer.accept(std::move(r), *m_map);
        late += p.late;
        restarts += p.restart;
        if (lateWakeup && !p.late && !p.restart) {
            ++absorbed;
            m_upkeep.absorbedAtNs = at;
        }
    }
    m_batch.clear();
    const StreamDevice::Result result = pump();
    // After the pump, which may have found the device stood still and anchored it afresh.
    m_shared.nextCharacterAtNs = m_map->timeOf(m_mixer.nextCharacterFrom()) - m_map->leadNs();
    m_shared.mutex.lock();
    m_upkeep.placed(m_shared, late, restarts, absorbed);
    if (!result.ok()) {
        failUnlocked(result);
        return 0;
    }
    m_upkeep.publish(m_shared, m_written, m_map.get());
    handOver();
    // The next round is due when it may be rendered, or the first sound after a quiet time as
    // soon as it may be, in whichever round comes before it: it then reaches the device without
    // waiting for the next whole round. A full device is waited for until a period later at most.
    const int64_t now = m_shared.timeNs();
    const int64_t round = int64_t(kRoundPeriods) * m_alsa.periodFrames();
    int64_t due = m_map->timeOf(m_mixer.rendered() + round) - m_map->levelNs();
    if (const int64_t onset = m_mixer.nextOnset(); onset != ToneMixer::kNever && wasQuiet)
        m_firstOnset = onset;
    if (m_firstOnset >= m_mixer.rendered())
        due = std::min(due, m_map->timeOf(m_firstOnset + 64) - m_map->levelNs());
    m_shared.quiet = quiet();
    if (m_outLen > 0 || m_deviceBound)
        due = now + m_map->nsOfFrames(m_alsa.periodFrames() + m_alsa.periodFrames() / 4);
    return std::clamp(due, now + 500'000, now + m_map->nsOfFrames(2 * round));
}

StreamDevice::Result StreamWorker::pump()
{
    const int64_t now = m_shared.timeNs();
    if (!m_recovering) {
        m_roundGapNs = m_lastPumpNs ? now - m_lastPumpNs : 0;
        m_lastPumpNs = now;
    }
    if (m_outLen == 0) {
        const int64_t avail = m_alsa.avail();
        if (avail < 0)
            return recover(int(avail));
        // A sound server plays on what it holds while the process stands still, then waits for
        // data without reporting an underrun (PulseAudio's and PipeWire's ALSA plugins), and its
        // first report afterwards may be stale. What it held at the last reading, played out, says
        // when it ran dry: from then on it stood still, and it takes the next frame written now.
        // Anchored afresh, as after an underrun, so that the stall is not counted again later.
        if (m_lastReadingNs > 0 && now - (m_lastReadingNs + m_map->nsOfFrames(m_lastQueued)) > kStoodStillNs) {
            if (const int64_t stood = m_map->frameAt(now) - m_written; stood > 0) {
                ++m_upkeep.xruns;
                m_mixer.stoodStill(m_written, m_map->reanchor(m_written, now));
            }
        }
        m_lastReadingNs = now;
        m_lastQueued = m_alsa.bufferFrames() - avail;
        m_map->observe(position(avail), now);
        int64_t frames = m_map->renderLimit(now) - m_mixer.rendered();
        // A character's known sound is written as far ahead as the device takes it, so that a
        // stall of the process does not reach into it.
        const int64_t known = m_mixer.knownUntil() - m_mixer.rendered();
        // The device is about to run dry although the schedule says it is fed: render ahead, and
        // keep more ahead from now on. What is placed from now on lands later: the rhythm
        // restarts there.
        const int64_t queued = m_alsa.bufferFrames() - avail;
        if (queued < m_alsa.periodFrames() && frames < m_alsa.periodFrames()) {
            frames = m_alsa.periodFrames();
            ++m_upkeep.starved;
            ++m_upkeep.shifts;
            growLevelAfterStarving();
        }
        // A device that takes its frames later than its timing says (a server that started
        // late) is full before the schedule: it is written as it makes room.
        m_deviceBound = frames > avail;
        if (avail == 0 && frames > 0 && now - m_lastProgressNs > kStallNs)
            return {-EIO, "The sound device stopped taking samples"};
        frames = std::min(std::max(frames, known), avail);
        m_upkeep.aheadFrames = std::max(m_upkeep.aheadFrames, queued + std::max<int64_t>(0, frames));
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
                m_upkeep.onsetWrittenNs = m_shared.timeNs();
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
        ++m_upkeep.corrections;
        m_correctedAfter = m_mixer.lastOnset();
    }
    return {};
}

// After an underrun or a suspend the device goes on with the first frame it did not play, and
// keeps more ahead from now on. The frames rendered and not yet written are written first.
StreamDevice::Result StreamWorker::recover(int error)
{
    StreamDevice::Result result = m_alsa.recover(error, [this] { return m_shared.stopping.load(); });
    if (!result.ok())
        return result;
    ++m_upkeep.xruns;
    ++m_upkeep.shifts;
    growLevelAfterStarving();
    result = start(false);
    if (!result.ok() || m_recovering)
        return result;
    // At once: a device that waits for its first frame is not yet where the timing says.
    m_recovering = true;
    result = pump();
    m_recovering = false;
    return result;
}

// A device that ran short while the worker kept its rounds needs more frames ahead from now on; one
// that ran dry because the worker itself stood still (the process was stopped) is no measure of
// the machine, and the lead it would add would stay for the rest of the run.
void StreamWorker::growLevelAfterStarving()
{
    if (m_roundGapNs <= kMaxAdaptNs)
        m_map->growLevel(m_map->nsOfFrames(m_alsa.periodFrames()), kMaxLevelNs);
}

// Nothing sounds or waits, and nothing has begun for half a second.
bool StreamWorker::quiet() const
{
    return m_mixer.idle() &&
           (m_mixer.lastOnset() < 0 || m_mixer.rendered() - m_mixer.lastOnset() > int64_t(m_alsa.rate()) / 2);
}

void StreamWorker::handOver()
{
    for (const ToneMixer::Finished& f : m_mixer.finished) {
        if (f.opening != m_shared.opening || !m_shared.pcmHeld)
            continue; // handed back by a reset or close already
        const auto it = std::find(m_shared.pending.begin(), m_shared.pending.end(), f.token);
        if (it == m_shared.pending.end())
            continue;
        m_shared.pending.erase(it);
        m_shared.reportDone(f.token);
    }
    m_mixer.finished.clear();
    for (std::vector<int16_t>& samples : m_mixer.retired)
        m_shared.retire(std::move(samples));
    m_mixer.retired.clear();
}

} // namespace quindle
