#include "tone/AlsaStream.h"

#include "tone/AlsaDevice.h"
#include "tone/StreamCalls.h"
#include "tone/StreamShared.h"
#include "tone/StreamWorker.h"

#include <utility>

namespace quindle {

// The state both sides share, the callers' side and the device loop. The worker thread holds a
// share of it, so that a worker left behind at shutdown still has what it uses.
class AlsaStream::Impl {
public:
    Impl(std::string device, std::string configPath, int idleCloseMs)
        : worker(shared, std::move(device), std::move(configPath), idleCloseMs)
    {
    }

    StreamShared shared;
    StreamCalls calls{shared};
    StreamWorker worker;
};

AlsaStream::AlsaStream(std::string device, std::string configPath, int idleCloseMs)
    : m_impl(std::make_shared<Impl>(std::move(device), std::move(configPath), idleCloseMs))
{
    m_thread = std::thread([impl = m_impl] { impl->worker.run(); });
}

AlsaStream::~AlsaStream()
{
    shutdown();
}

bool AlsaStream::shutdown(int waitMs)
{
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

ScheduleTime AlsaStream::now()
{
    // Schedule numbers the stream gives itself, apart from any clock's: this one, no schedule.
    return {monotonicNs(), ~uint64_t(0), false};
}

} // namespace quindle
