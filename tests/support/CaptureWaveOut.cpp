#include "tests/support/CaptureWaveOut.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

namespace quindle {

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr uint32_t kMaxFrameRate = 1'000'000; // [frames/s]

bool validFormat(const PCMWAVEFORMAT& f)
{
    const bool shape = f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
                       (f.wBitsPerSample == 8 || f.wBitsPerSample == 16);
    return shape && f.nSamplesPerSec > 0 && f.nSamplesPerSec <= kMaxFrameRate &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == uint32_t(f.nBlockAlign) * f.nSamplesPerSec;
}

} // namespace

CaptureWaveOut::CaptureWaveOut(Clock& clock)
    : m_clock(clock), m_errorTexts{
                          {MMSYSERR_ERROR, "Unspecified error"},
                          {MMSYSERR_BADDEVICEID, "The device identifier is out of range"},
                          {MMSYSERR_ALLOCATED, "The device is already in use"},
                          {MMSYSERR_INVALHANDLE, "The device handle is invalid"},
                          {MMSYSERR_NODRIVER, "No device driver is present"},
                          {MMSYSERR_NOMEM, "Unable to allocate or lock memory"},
                          {MMSYSERR_INVALPARAM, "An invalid parameter was passed"},
                          {WAVERR_BADFORMAT, "The wave format is not supported"},
                          {WAVERR_STILLPLAYING, "Buffers are still queued on the device"},
                          {WAVERR_UNPREPARED, "The buffer header is not prepared"},
                      }
{
}

MMRESULT CaptureWaveOut::waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const PCMWAVEFORMAT& format,
                                     QObject* callback)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Open, &code))
        return record(Call::Open, 0, code);
    if (!handle)
        return record(Call::Open, 0, MMSYSERR_INVALPARAM);
    if (deviceId != WAVE_MAPPER && deviceId != 0)
        return record(Call::Open, 0, MMSYSERR_BADDEVICEID);
    if (m_open)
        return record(Call::Open, 0, MMSYSERR_ALLOCATED);
    if (!validFormat(format))
        return record(Call::Open, 0, WAVERR_BADFORMAT);
    m_open = true;
    m_handle = ++m_lastHandle;
    m_format = format;
    m_callback = callback;
    m_paused = false;
    m_idleFromNs = m_clock.nowNs();
    *handle = m_handle;
    post(MM_WOM_OPEN, nullptr);
    return record(Call::Open, m_handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Prepare, &code))
        return record(Call::Prepare, handle, code);
    if (!validHandle(handle))
        return record(Call::Prepare, handle, MMSYSERR_INVALHANDLE);
    if (!header)
        return record(Call::Prepare, handle, MMSYSERR_INVALPARAM);
    header->dwFlags |= WHDR_PREPARED;
    return record(Call::Prepare, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutWrite(HWAVEOUT handle, WAVEHDR* header)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Write, &code))
        return record(Call::Write, handle, code);
    if (!validHandle(handle))
        return record(Call::Write, handle, MMSYSERR_INVALHANDLE);
    if (!header || (!header->lpData && header->dwBufferLength > 0))
        return record(Call::Write, handle, MMSYSERR_INVALPARAM);
    if (!(header->dwFlags & WHDR_PREPARED))
        return record(Call::Write, handle, WAVERR_UNPREPARED);
    if (header->dwFlags & WHDR_INQUEUE)
        return record(Call::Write, handle, WAVERR_STILLPLAYING);
    // The samples are copied, so the caller may refill the buffer as soon as it is handed back.
    Queued q{header, std::vector<char>(header->lpData, header->lpData + header->dwBufferLength),
             m_clock.nowNs()};
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    m_queue.push_back(std::move(q));
    advanceTo(m_clock.nowNs());
    return record(Call::Write, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutReset(HWAVEOUT handle)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Reset, &code))
        return record(Call::Reset, handle, code);
    if (!validHandle(handle))
        return record(Call::Reset, handle, MMSYSERR_INVALHANDLE);
    const int64_t now = m_clock.nowNs();
    if (!m_queue.empty() && m_queue.front().started && !m_paused) {
        Queued& front = m_queue.front();
        const int64_t frames =
            std::min(nsToFrames(now - front.segmentStartNs), totalFrames(front) - front.framesDone);
        keepPlayed(front, frames, front.segmentStartNs, now);
    }
    while (!m_queue.empty())
        finishFront();
    m_idleFromNs = now;
    return record(Call::Reset, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutPause(HWAVEOUT handle)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Pause, &code))
        return record(Call::Pause, handle, code);
    if (!validHandle(handle))
        return record(Call::Pause, handle, MMSYSERR_INVALHANDLE);
    if (!m_paused && !m_queue.empty() && m_queue.front().started) {
        // The buffer under way stops where it is and continues from there at the restart.
        const int64_t now = m_clock.nowNs();
        Queued& front = m_queue.front();
        const int64_t frames =
            std::min(nsToFrames(now - front.segmentStartNs), totalFrames(front) - front.framesDone);
        keepPlayed(front, frames, front.segmentStartNs, now);
        front.started = false;
    }
    m_paused = true;
    return record(Call::Pause, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutRestart(HWAVEOUT handle)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Restart, &code))
        return record(Call::Restart, handle, code);
    if (!validHandle(handle))
        return record(Call::Restart, handle, MMSYSERR_INVALHANDLE);
    if (m_paused) {
        m_paused = false;
        m_idleFromNs = std::max(m_idleFromNs, m_clock.nowNs());
        advanceTo(m_clock.nowNs());
    }
    return record(Call::Restart, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Unprepare, &code))
        return record(Call::Unprepare, handle, code);
    if (!validHandle(handle))
        return record(Call::Unprepare, handle, MMSYSERR_INVALHANDLE);
    if (!header)
        return record(Call::Unprepare, handle, MMSYSERR_INVALPARAM);
    if (header->dwFlags & WHDR_INQUEUE)
        return record(Call::Unprepare, handle, WAVERR_STILLPLAYING);
    header->dwFlags &= ~WHDR_PREPARED;
    return record(Call::Unprepare, handle, MMSYSERR_NOERROR);
}

MMRESULT CaptureWaveOut::waveOutClose(HWAVEOUT handle)
{
    pump();
    MMRESULT code = MMSYSERR_NOERROR;
    if (injectedFailure(Call::Close, &code))
        return record(Call::Close, handle, code);
    if (!validHandle(handle))
        return record(Call::Close, handle, MMSYSERR_INVALHANDLE);
    if (!m_queue.empty())
        return record(Call::Close, handle, WAVERR_STILLPLAYING);
    post(MM_WOM_CLOSE, nullptr);
    m_open = false;
    m_paused = false;
    m_callback = nullptr;
    return record(Call::Close, handle, MMSYSERR_NOERROR);
}

std::string CaptureWaveOut::waveOutGetErrorText(MMRESULT code) const
{
    const auto it = m_errorTexts.find(code);
    return it == m_errorTexts.end() ? std::string() : it->second;
}

void CaptureWaveOut::pump()
{
    if (m_open)
        advanceTo(m_clock.nowNs());
}

void CaptureWaveOut::failCall(Call call, MMRESULT code, int skip, int times)
{
    m_failures.push_back({call, code, skip, times});
}

int CaptureWaveOut::posted(uint32_t message) const
{
    const auto it = m_posted.find(message);
    return it == m_posted.end() ? 0 : it->second;
}

int CaptureWaveOut::callCount(Call call) const
{
    return int(std::count_if(m_calls.begin(), m_calls.end(),
                             [call](const CallRecord& r) { return r.call == call; }));
}

std::vector<int16_t> CaptureWaveOut::playedSamples() const
{
    std::vector<int16_t> samples;
    for (const Played& p : m_played) {
        const size_t count = p.bytes.size() / 2;
        const size_t first = samples.size();
        samples.resize(first + count);
        std::memcpy(samples.data() + first, p.bytes.data(), count * 2);
    }
    return samples;
}

MMRESULT CaptureWaveOut::record(Call call, HWAVEOUT handle, MMRESULT result)
{
    if (m_recording)
        m_calls.push_back({call, handle, m_clock.nowNs(), result});
    return result;
}

bool CaptureWaveOut::injectedFailure(Call call, MMRESULT* code)
{
    for (auto it = m_failures.begin(); it != m_failures.end(); ++it) {
        if (it->call != call)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *code = it->code;
        if (--it->times <= 0)
            m_failures.erase(it);
        return true;
    }
    return false;
}

int64_t CaptureWaveOut::framesToNs(int64_t frames) const
{
    return frames * kNsPerSecond / int64_t(m_format.nSamplesPerSec);
}

int64_t CaptureWaveOut::nsToFrames(int64_t ns) const
{
    return ns <= 0 ? 0 : ns * int64_t(m_format.nSamplesPerSec) / kNsPerSecond;
}

int64_t CaptureWaveOut::totalFrames(const Queued& q) const
{
    return int64_t(q.bytes.size()) / std::max<int64_t>(m_format.nBlockAlign, 1);
}

void CaptureWaveOut::advanceTo(int64_t nowNs)
{
    while (!m_queue.empty() && !m_paused) {
        Queued& front = m_queue.front();
        if (!front.started) {
            front.segmentStartNs = std::max(front.writeNs, m_idleFromNs);
            front.started = true;
        }
        const int64_t remaining = totalFrames(front) - front.framesDone;
        const int64_t endNs = front.segmentStartNs + framesToNs(remaining);
        if (endNs > nowNs)
            return;
        keepPlayed(front, remaining, front.segmentStartNs, endNs);
        m_idleFromNs = endNs;
        finishFront();
    }
}

void CaptureWaveOut::keepPlayed(Queued& q, int64_t frames, int64_t startNs, int64_t endNs)
{
    if (frames <= 0)
        return;
    m_playedFrames += frames;
    if (m_recording) {
        Played p{m_handle, startNs, endNs, frames, m_format.nBlockAlign, {}};
        if (m_keepSamples) {
            const auto from = q.bytes.begin() + q.framesDone * m_format.nBlockAlign;
            p.bytes.assign(from, from + frames * m_format.nBlockAlign);
        }
        m_played.push_back(std::move(p));
    }
    q.framesDone += frames;
}

void CaptureWaveOut::finishFront()
{
    WAVEHDR* header = m_queue.front().header;
    m_queue.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    post(MM_WOM_DONE, header);
}

void CaptureWaveOut::post(uint32_t message, WAVEHDR* header)
{
    ++m_posted[message];
    if (m_callback)
        QCoreApplication::postEvent(m_callback, new WaveOutEvent(message, m_handle, header));
}

} // namespace quindle
