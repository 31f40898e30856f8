#include "tone/AlsaStream.h"

#include "tone/AlsaDevice.h"
#include "tone/StreamCalls.h"
#include "tone/StreamShared.h"
#include "tone/StreamWorker.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quindle {

// The state both sides share, the callers' side and the device loop. The worker thread holds a
// share of it, so that a worker left behind at shutdown still has what it uses.
class AlsaStream::Impl {
public:
    Impl(std::unique_ptr<StreamDevice> device, std::string name, std::string configPath, int idleCloseMs,
         std::function<int64_t()> timeNs)
        : worker(shared, std::move(device), std::move(name), std::move(configPath), idleCloseMs)
    {
        if (timeNs)
            shared.timeNs = std::move(timeNs);
    }

    StreamShared shared;
    StreamCalls calls{shared};
    StreamWorker worker;
};

AlsaStream::AlsaStream(std::string device, std::string configPath, int idleCloseMs)
    : m_impl(std::make_shared<Impl>(std::make_unique<AlsaDevice>(), std::move(device), std::move(configPath),
                                    idleCloseMs, nullptr))
{
    m_thread = std::thread([impl = m_impl] { impl->worker.run(); });
}

AlsaStream::AlsaStream(std::unique_ptr<StreamDevice> device, std::function<int64_t()> timeNs, int idleCloseMs)
    : m_impl(std::make_shared<Impl>(std::move(device), "default", std::string(), idleCloseMs,
                                    std::move(timeNs))),
      m_stepped(true)
{
    m_impl->shared.serveOpen = [impl = m_impl.get()]() NO_THREAD_SAFETY_ANALYSIS { impl->worker.step(); };
}

void AlsaStream::step()
{
    if (!m_ended)
        m_impl->worker.tick();
}

AlsaStream::~AlsaStream()
{
    shutdown();
}

bool AlsaStream::shutdown(int waitMs)
{
    if (m_stepped && !m_ended) {
        m_impl->worker.end();
        m_ended = true;
    }
    if (!m_thread.joinable())
        return m_ended;
    m_ended = m_impl->calls.stop(waitMs);
    if (m_ended)
        m_thread.join();
    else
        m_thread.detach();
    return m_ended;
}

AlsaStream::Status AlsaStream::acquire(unsigned rate)
{
    return m_impl->calls.acquire(rate);
}

bool AlsaStream::pcmOpen(const ScheduleTime& at, std::function<void(uint64_t)> done)
{
    return m_impl->calls.pcmOpen(at, std::move(done));
}

bool AlsaStream::forecast(std::vector<PlannedTone> tones, const ScheduleTime& at)
{
    return m_impl->calls.forecast(std::move(tones), at);
}

void AlsaStream::pcmLength(int64_t lengthNs, const ScheduleTime& at)
{
    m_impl->calls.pcmLength(lengthNs, at);
}

bool AlsaStream::pcmWrite(uint64_t token, std::vector<int16_t> samples, const ScheduleTime& at)
{
    return m_impl->calls.pcmWrite(token, std::move(samples), at);
}

std::vector<uint64_t> AlsaStream::pcmReset(const ScheduleTime& at)
{
    return m_impl->calls.pcmStop(StreamRequest::Kind::PcmReset, at);
}

void AlsaStream::pcmPause(const ScheduleTime& at)
{
    m_impl->calls.pcmCall(StreamRequest::Kind::PcmPause, at);
}

void AlsaStream::pcmRestart(const ScheduleTime& at)
{
    m_impl->calls.pcmCall(StreamRequest::Kind::PcmRestart, at);
}

std::vector<uint64_t> AlsaStream::pcmClose(const ScheduleTime& at)
{
    return m_impl->calls.pcmStop(StreamRequest::Kind::PcmClose, at);
}

void AlsaStream::squareOn(double hz, const ScheduleTime& at, int64_t lengthNs)
{
    m_impl->calls.squareOn(hz, at, lengthNs);
}

void AlsaStream::squareOff(const ScheduleTime& at)
{
    m_impl->calls.squareOff(at);
}

AlsaStream::Stats AlsaStream::stats() const
{
    return m_impl->calls.stats();
}

int64_t AlsaStream::absorbableNs() const
{
    return m_impl->calls.absorbableNs();
}

int64_t AlsaStream::nextCharacterAtNs() const
{
    return m_impl->calls.nextCharacterAtNs();
}

void AlsaStream::holdWorker(int ms)
{
    m_impl->shared.holdMs = ms;
    PiLock lock(m_impl->shared.mutex);
    m_impl->shared.wakeEarly = true;
    m_impl->shared.wake.notify_all();
}

ScheduleTime AlsaStream::now()
{
    // Schedule numbers the stream gives itself, apart from any clock's: this one, no schedule.
    return {monotonicNs(), ~uint64_t(0), false};
}

} // namespace quindle
