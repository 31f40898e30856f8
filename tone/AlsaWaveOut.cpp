#include "tone/AlsaWaveOut.h"

#include "tone/PiMutex.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace quindle {

namespace {

static_assert(std::endian::native == std::endian::little, "16-bit samples are copied as they lie");

// Openings are numbered across all instances, so a number is never given twice in a process.
std::atomic<HWAVEOUT> nextHandle{1};

constexpr size_t kMaxErrorText = 255;

} // namespace

// Notifications wait in a list that keeps its capacity, and an eventfd wakes the UI thread's
// event loop: the audio thread never allocates for them and never takes a lock of Qt's.
class AlsaWaveOut::Relay final : public QObject {
public:
    struct Note {
        uint32_t message;
        HWAVEOUT handle;
        WAVEHDR* header;
    };

    explicit Relay(AlsaWaveOut& owner) : m_owner(owner), m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        m_notes.reserve(kNoteCapacity);
        if (m_fd >= 0) {
            auto* notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
            QObject::connect(notifier, &QSocketNotifier::activated, this, [this] { deliver(); });
        }
    }
    ~Relay() override
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    // Any thread.
    void post(uint32_t message, HWAVEOUT handle, WAVEHDR* header)
    {
        bool first = false;
        {
            PiLock lock(m_mutex);
            first = m_notes.empty();
            m_notes.push_back({message, handle, header});
        }
        // One wake-up for a batch: a delivery takes every note waiting when it runs.
        if (!first)
            return;
        const uint64_t one = 1;
        if (m_fd < 0 || write(m_fd, &one, sizeof one) != ssize_t(sizeof one))
            QMetaObject::invokeMethod(
                this, [this] { deliver(); }, Qt::QueuedConnection);
    }

    std::map<HWAVEOUT, QPointer<QObject>> callbacks; // until the opening's close is delivered

private:
    static constexpr size_t kNoteCapacity = 256;

    // UI thread: hands the notifications on in the order they were posted. A callback that runs
    // an event loop does not re-enter: the outer call goes on with what arrived meanwhile.
    void deliver()
    {
        if (m_fd >= 0) {
            uint64_t count = 0;
            while (read(m_fd, &count, sizeof count) == ssize_t(sizeof count)) {
            }
        }
        if (m_delivering)
            return;
        m_delivering = true;
        for (;;) {
            std::vector<Note> batch;
            batch.reserve(kNoteCapacity);
            {
                PiLock lock(m_mutex);
                std::swap(m_notes, batch);
            }
            if (batch.empty())
                break;
            for (const Note& note : batch)
                forward(note);
        }
        m_delivering = false;
    }

    void forward(const Note& note)
    {
        const auto it = callbacks.find(note.handle);
        if (it == callbacks.end())
            return;
        const QPointer<QObject> callback = it->second;
        if (note.message == MM_WOM_CLOSE)
            callbacks.erase(it);
        if (!callback)
            return; // the owner is gone, and with it the headers
        if (note.message == MM_WOM_DONE && note.handle == m_owner.m_handle)
            m_owner.markDone(note.header);
        WaveOutEvent forwarded(note.message, note.handle, note.header);
        QCoreApplication::sendEvent(callback, &forwarded);
    }

    AlsaWaveOut& m_owner;
    const int m_fd;
    PiMutex m_mutex;
    std::vector<Note> m_notes GUARDED_BY(m_mutex); // posted, not yet delivered
    bool m_delivering = false;
};

AlsaWaveOut::AlsaWaveOut(AlsaStream& stream, Clock& clock)
    : m_stream(stream), m_clock(clock), m_relay(std::make_unique<Relay>(*this))
{
}

AlsaWaveOut::~AlsaWaveOut()
{
    if (m_handle)
        m_stream.pcmClose(m_clock.scheduleTime());
}

MMRESULT AlsaWaveOut::waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const PCMWAVEFORMAT& format,
                                  QObject* callback)
{
    if (!handle)
        return MMSYSERR_INVALPARAM;
    *handle = 0;
    if (deviceId != WAVE_MAPPER && deviceId != 0)
        return MMSYSERR_BADDEVICEID;
    if (format.wFormatTag != WAVE_FORMAT_PCM || (format.nChannels != 1 && format.nChannels != 2) ||
        (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) ||
        format.nBlockAlign != format.nChannels * (format.wBitsPerSample / 8) ||
        format.nSamplesPerSec < 1000 || format.nSamplesPerSec > 192000)
        return WAVERR_BADFORMAT;
    if (m_handle)
        return MMSYSERR_ALLOCATED;
    const AlsaStream::Status status = m_stream.acquire(format.nSamplesPerSec);
    if (!status.ok) {
        m_deviceError = status.message;
        return MMSYSERR_NODRIVER;
    }
    const HWAVEOUT opened = nextHandle++;
    Relay* relay = m_relay.get();
    const auto done = [relay, opened](uint64_t token) {
        relay->post(MM_WOM_DONE, opened, reinterpret_cast<WAVEHDR*>(token));
    };
    // Read after the acquire, which may have waited for the device: a schedule that starts here
    // starts once the device runs.
    if (!m_stream.pcmOpen(m_clock.scheduleTime(), done))
        return MMSYSERR_ALLOCATED;
    m_handle = opened;
    m_channels = format.nChannels;
    m_bits = format.wBitsPerSample;
    m_relay->callbacks[opened] = callback;
    m_relay->post(MM_WOM_OPEN, opened, nullptr);
    *handle = opened;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutWrite(HWAVEOUT handle, WAVEHDR* header)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    if (!header || (!header->lpData && header->dwBufferLength > 0))
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;

    // The stream is 16-bit mono: 8-bit samples are widened, stereo is mixed down.
    const size_t bytesPerSample = m_bits / 8;
    const size_t frames = header->dwBufferLength / (bytesPerSample * m_channels);
    std::vector<int16_t> samples(frames);
    const auto* data = reinterpret_cast<const unsigned char*>(header->lpData);
    if (m_bits == 16 && m_channels == 1) {
        std::memcpy(samples.data(), data, frames * sizeof(int16_t));
    } else {
        for (size_t f = 0; f < frames; ++f) {
            int sum = 0;
            for (size_t c = 0; c < m_channels; ++c) {
                const unsigned char* p = data + (f * m_channels + c) * bytesPerSample;
                if (m_bits == 16) {
                    int16_t v;
                    std::memcpy(&v, p, sizeof v);
                    sum += v;
                } else {
                    sum += (int(*p) - 128) * 256;
                }
            }
            samples[f] = int16_t(sum / int(m_channels));
        }
    }
    if (!m_stream.pcmWrite(reinterpret_cast<uintptr_t>(header), std::move(samples), m_clock.scheduleTime())) {
        m_deviceError = "The sound device failed while this opening played";
        return MMSYSERR_NODRIVER;
    }
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    m_written.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutReset(HWAVEOUT handle)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    handOver(m_stream.pcmReset(m_clock.scheduleTime()));
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutPause(HWAVEOUT handle)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    m_stream.pcmPause(m_clock.scheduleTime());
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutRestart(HWAVEOUT handle)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    m_stream.pcmRestart(m_clock.scheduleTime());
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutClose(HWAVEOUT handle)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    // Buffers still queued are stopped and handed back rather than refusing the close: the
    // engine ignores the result of a close and would otherwise leave the device held forever.
    handOver(m_stream.pcmClose(m_clock.scheduleTime()));
    // The rest have played; their notifications are on the way and the flags are settled now,
    // because a later opening may write the same headers before those arrive.
    for (WAVEHDR* header : m_written)
        header->dwFlags = (header->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
    m_written.clear();
    m_relay->post(MM_WOM_CLOSE, handle, nullptr);
    m_handle = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWaveOut::waveOutSetLength(HWAVEOUT handle, uint32_t ms)
{
    if (!handle || handle != m_handle)
        return MMSYSERR_INVALHANDLE;
    m_stream.pcmLength(int64_t(ms) * 1'000'000, m_clock.scheduleTime());
    return MMSYSERR_NOERROR;
}

bool AlsaWaveOut::waveOutForecast(std::vector<PlannedTone> tones, uint32_t rate)
{
    if (!m_stream.acquire(rate).ok)
        return false;
    // Read after the acquire, which may have waited for the device.
    return m_stream.forecast(std::move(tones), m_clock.scheduleTime());
}

void AlsaWaveOut::handOver(const std::vector<uint64_t>& tokens)
{
    for (const uint64_t token : tokens) {
        auto* header = reinterpret_cast<WAVEHDR*>(token);
        markDone(header);
        m_relay->post(MM_WOM_DONE, m_handle, header);
    }
}

void AlsaWaveOut::markDone(WAVEHDR* header)
{
    const auto it = std::find(m_written.begin(), m_written.end(), header);
    if (it == m_written.end())
        return;
    m_written.erase(it);
    header->dwFlags = (header->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
}

std::string AlsaWaveOut::waveOutGetErrorText(MMRESULT code) const
{
    std::string text;
    switch (code) {
    case MMSYSERR_NOERROR:
        text = "No error";
        break;
    case MMSYSERR_ERROR:
        text = "Unspecified error";
        break;
    case MMSYSERR_BADDEVICEID:
        text = "The device identifier is out of range";
        break;
    case MMSYSERR_ALLOCATED:
        text = "The device is already in use";
        break;
    case MMSYSERR_INVALHANDLE:
        text = "The device handle is invalid";
        break;
    case MMSYSERR_NODRIVER:
        text = "No sound device could be used";
        if (!m_deviceError.empty())
            text += ": " + m_deviceError;
        break;
    case MMSYSERR_NOMEM:
        text = "Out of memory";
        break;
    case MMSYSERR_INVALPARAM:
        text = "An invalid parameter was passed";
        break;
    case WAVERR_BADFORMAT:
        text = "The wave format is not supported (16 or 8-bit PCM, mono or stereo)";
        break;
    case WAVERR_STILLPLAYING:
        text = "The buffer is still playing";
        break;
    case WAVERR_UNPREPARED:
        text = "The buffer has not been prepared";
        break;
    default:
        break;
    }
    if (text.size() > kMaxErrorText)
        text.resize(kMaxErrorText);
    return text;
}

} // namespace quindle
