#include "tone/StreamCalls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace quindle {

namespace {

using Kind = StreamRequest::Kind;

// A stamp that is plainly not on CLOCK_MONOTONIC would park its call for ever: it counts as now.
constexpr int64_t kStampToleranceNs = 1'000'000'000;
// Schedule numbers the stream gives itself, apart from any clock's.
constexpr uint64_t kOwnEpochs = uint64_t(1) << 63;

std::chrono::steady_clock::time_point afterMs(int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

AlsaStream::Status StreamCalls::acquire(unsigned rate)
{
    PiLock lock(m_shared.mutex);
    return acquireWaiting(rate);
}

AlsaStream::Status StreamCalls::acquireWaiting(unsigned rate)
{
    if (m_shared.stop)
        return {false, -ESHUTDOWN, "The sound stream has ended"};
    if (rate == 0)
        rate = m_shared.runRate ? m_shared.runRate : AlsaStream::kDefaultRate;
    m_shared.used = true;
    if (m_shared.state == StreamState::Running && m_shared.runRate == rate &&
        m_shared.openAsked == m_shared.openServed)
        return {true, 0, {}};
    // A first open or a change of rate may take the device a while; after a failure, or while
    // an earlier attempt still hangs, the caller does not wait long.
    const int waitMs = m_shared.lastAttemptFailed || m_shared.state == StreamState::Opening
                           ? AlsaStream::kReopenWaitMs
                           : AlsaStream::kFirstOpenWaitMs;
    if (!(m_shared.state == StreamState::Opening && m_shared.wantRate == rate)) {
        m_shared.wantRate = rate;
        ++m_shared.openAsked;
        m_shared.wake.notify_all();
    }
    const uint64_t ticket = m_shared.openAsked;
    const auto deadline = afterMs(waitMs);
    while (!m_shared.stop && m_shared.openServed < ticket) {
        if (m_shared.serveOpen) {
            m_shared.serveOpen();
            continue;
        }
        if (m_shared.settled.wait_until(m_shared.mutex, deadline) == std::cv_status::timeout)
            break;
    }
    if (m_shared.state == StreamState::Running && m_shared.runRate == rate)
        return {true, 0, {}};
    if (m_shared.openServed < ticket)
        return {false, -EBUSY, "The sound device is still being opened"};
    return m_shared.status;
}

// A stream closed for idleness opens again at the first use, which then starts a schedule of its
// own at the moment the device runs: its stamp, taken before the wait, is already past.
void StreamCalls::wakeFromIdleWaiting(ScheduleTime& at)
{
    if (m_shared.idleClosed && acquireWaiting(0).ok)
        at = {m_shared.timeNs(), kOwnEpochs | ++m_ownEpoch, false};
}

bool StreamCalls::pcmOpen(ScheduleTime at, std::function<void(uint64_t)> done)
{
    PiLock lock(m_shared.mutex);
    if (m_shared.pcmHeld || m_shared.stop)
        return false;
    wakeFromIdleWaiting(at);
    if (m_shared.pcmHeld)
        return false;
    m_shared.pcmHeld = true;
    m_shared.pcmBroken = m_shared.state != StreamState::Running;
    m_shared.pcmDone = std::move(done);
    m_shared.pending.clear();
    ++m_shared.opening;
    push(Kind::PcmOpen, at);
    return true;
}

void StreamCalls::pcmLength(int64_t lengthNs, const ScheduleTime& at)
{
    PiLock lock(m_shared.mutex);
    if (m_shared.pcmHeld)
        push(Kind::PcmLength, at).lengthNs = lengthNs;
}

bool StreamCalls::pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at)
{
    PiLock lock(m_shared.mutex);
    if (!m_shared.pcmHeld || m_shared.pcmBroken)
        return false;
    m_shared.pending.push_back(token);
    StreamRequest& r = push(Kind::PcmWrite, at);
    r.token = token;
    r.samples = std::move(samples);
    collectGarbageUnlocked();
    return true;
}

std::vector<uint64_t> StreamCalls::pcmStop(Kind kind, const ScheduleTime& at)
{
    PiLock lock(m_shared.mutex);
    std::vector<uint64_t> tokens(m_shared.pending.begin(), m_shared.pending.end());
    m_shared.pending.clear();
    if (m_shared.pcmHeld)
        push(kind, at);
    if (kind == Kind::PcmClose) {
        m_shared.pcmHeld = false;
        m_shared.pcmBroken = false;
        m_shared.pcmDone = nullptr;
        collectGarbageUnlocked();
    }
    return tokens;
}

void StreamCalls::pcmCall(Kind kind, const ScheduleTime& at)
{
    PiLock lock(m_shared.mutex);
    if (m_shared.pcmHeld)
        push(kind, at);
}

void StreamCalls::squareOn(double hz, ScheduleTime at, int64_t lengthNs)
{
    PiLock lock(m_shared.mutex);
    wakeFromIdleWaiting(at);
    StreamRequest& r = push(Kind::SquareOn, at);
    r.hz = hz;
    r.lengthNs = lengthNs;
}

bool StreamCalls::forecast(std::vector<PlannedTone> tones, ScheduleTime at)
{
    PiLock lock(m_shared.mutex);
    if (m_shared.stop)
        return false;
    wakeFromIdleWaiting(at);
    if (m_shared.state != StreamState::Running)
        return false;
    push(Kind::Forecast, at).tones = std::move(tones);
    return true;
}

void StreamCalls::squareOff(const ScheduleTime& at)
{
    PiLock lock(m_shared.mutex);
    push(Kind::SquareOff, at);
}

AlsaStream::Stats StreamCalls::stats() const
{
    PiLock lock(m_shared.mutex);
    return m_shared.stats;
}

bool StreamCalls::stop(int waitMs)
{
    PiLock lock(m_shared.mutex);
    m_shared.stop = true;
    m_shared.stopping = true;
    m_shared.wake.notify_all();
    m_shared.settled.notify_all();
    const auto deadline = afterMs(waitMs);
    while (!m_shared.ended) {
        if (m_shared.settled.wait_until(m_shared.mutex, deadline) == std::cv_status::timeout)
            break;
    }
    if (!m_shared.ended) {
        m_shared.pcmDone = nullptr;
        m_shared.pcmHeld = false;
    }
    return m_shared.ended;
}

StreamRequest& StreamCalls::push(Kind kind, ScheduleTime at)
{
    const int64_t now = m_shared.timeNs();
    if (at.ns < now - kStampToleranceNs || at.ns > now + kStampToleranceNs)
        at.ns = now;
    StreamRequest& r = m_shared.requests.emplace_back();
    r.kind = kind;
    r.at = at;
    r.opening = m_shared.opening;
    // The first sound after a quiet time is looked at at once, so that it reaches the device as
    // soon as its frame may be rendered rather than at the next round.
    const bool sounds = kind == Kind::PcmWrite || kind == Kind::SquareOn || kind == Kind::PcmRestart ||
                        kind == Kind::Forecast;
    // A character's forecast is written ahead at once, as deep as the device takes it.
    if (m_shared.state != StreamState::Running || (sounds && m_shared.quiet) || kind == Kind::Forecast) {
        m_shared.quiet = false;
        m_shared.wakeEarly = true;
        m_shared.wake.notify_all();
    }
    return r;
}

// Sample memory that the worker handed back is freed here, without the lock.
void StreamCalls::collectGarbageUnlocked()
{
    if (m_shared.garbage.empty())
        return;
    std::vector<StreamShared::Samples> freed;
    freed.reserve(StreamShared::kGarbageCapacity);
    std::swap(m_shared.garbage, freed);
    m_shared.mutex.unlock();
    freed.clear();
    m_shared.mutex.lock();
}

} // namespace quindle
