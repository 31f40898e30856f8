#include "tone/AudioIO.h"

#include <QCoreApplication>

#include <algorithm>
#include <new>
#include <string>

namespace quindle {

namespace {

const char* const kHeaderAllocError = "Error allocating wave header memory";
const char* const kHeaderLockError = "Could not lock header memory for recording";
const char* const kBufferAllocError = "Error allocating wave buffer memory";
const char* const kBufferLockError = "Error Locking wave buffer memory";
const char* const kAlreadyOpenError = "Wave output device is already open";
const char* const kNoFilledBufferError = "There must be at least one filled buffer";

constexpr int kMaxErrorTextBytes = 255;

} // namespace

QString WaveOutErrorText(const WaveOutBackend& backend, MMRESULT code)
{
    std::string text = backend.waveOutGetErrorText(code);
    if (const auto zero = text.find('\0'); zero != std::string::npos)
        text.resize(zero);
    if (text.size() > size_t(kMaxErrorTextBytes)) {
        // Cut before a character that would not fit whole, never inside its UTF-8 sequence.
        size_t n = kMaxErrorTextBytes;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
        text.resize(n);
    }
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::unique_ptr<char[]> WaveMemory::allocate(size_t bytes, bool zeroed)
{
    std::unique_ptr<char[]> block(new (std::nothrow) char[bytes]);
    if (block && zeroed)
        std::fill_n(block.get(), bytes, char(0));
    return block;
}

bool WaveMemory::lock(char*)
{
    return true;
}

WaveMemory& WaveMemory::heap()
{
    static WaveMemory memory;
    return memory;
}

// ---- TAudioIO ----

TAudioIO::TAudioIO(QObject* owner, WaveMemory* memory)
    : QObject(owner), m_memory(memory ? *memory : WaveMemory::heap())
{
    m_numBuffers = kSlots;
    m_requestedBufferSize = 8192;
    m_waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    m_waveFormat.wBitsPerSample = 16;
    m_waveFormat.nChannels = 1;
    m_waveFormat.nSamplesPerSec = 22050;
    UpdateFormat();
    // A failure here leaves its message; the next open tries again.
    AllocateHeaders();
    AllocateBuffers();
}

TAudioIO::~TAudioIO()
{
    FreeBuffers();
    FreeHeaders();
}

void TAudioIO::SetBufferSize(int value)
{
    m_requestedBufferSize = std::max(value, kMinBufferSize);
    UpdateFormat();
    // The device may be reading the buffers: they are replaced once it is closed.
    if (buffersInUse()) {
        m_reallocatePending = true;
        return;
    }
    FreeBuffers();
    AllocateBuffers();
}

void TAudioIO::SetNumBuffers(int value)
{
    m_numBuffers = std::clamp(value, 2, kSlots);
}

void TAudioIO::SetFrameRate(int value)
{
    m_waveFormat.nSamplesPerSec = uint32_t(value);
    UpdateFormat();
}

void TAudioIO::SetStereo(bool value)
{
    m_waveFormat.nChannels = value ? 2 : 1;
    UpdateFormat();
}

void TAudioIO::SetQuantization(uint16_t value)
{
    m_waveFormat.wBitsPerSample = value <= 8 ? 8 : 16;
    UpdateFormat();
}

void TAudioIO::StopNow()
{
    m_active = false;
    m_continueFilling = false;
}

void TAudioIO::StopWhenDrained()
{
    m_continueFilling = false;
}

void TAudioIO::UpdateFormat()
{
    m_waveFormat.nBlockAlign = uint16_t((m_waveFormat.wBitsPerSample / 8) * m_waveFormat.nChannels);
    m_waveFormat.nAvgBytesPerSec = uint32_t(m_waveFormat.nBlockAlign) * m_waveFormat.nSamplesPerSec;
    m_bufferSize = m_requestedBufferSize - m_requestedBufferSize % m_waveFormat.nBlockAlign;
}

bool TAudioIO::ResetHeaders()
{
    UpdateFormat();
    for (int i = 0; i < m_numBuffers; ++i) {
        WAVEHDR& header = *m_headers[size_t(i)];
        header = WAVEHDR{};
        header.lpData = m_buffers[size_t(i)];
        header.dwBufferLength = uint32_t(m_bufferSize);
    }
    return true;
}

bool TAudioIO::AllocateHeaders()
{
    for (size_t i = 0; i < kSlots; ++i) {
        auto block = m_memory.allocate(sizeof(WAVEHDR), true);
        if (!block) {
            FreeHeaders();
            m_errorMessage = kHeaderAllocError;
            return false;
        }
        if (!m_memory.lock(block.get())) {
            FreeHeaders();
            m_errorMessage = kHeaderLockError;
            return false;
        }
        m_headers[i] = new (block.get()) WAVEHDR{};
        m_headers[i]->lpData = m_buffers[i];
        m_headerHandles[i] = std::move(block);
    }
    return true;
}

void TAudioIO::FreeHeaders()
{
    for (size_t i = 0; i < kSlots; ++i) {
        m_headers[i] = nullptr;
        m_headerHandles[i].reset();
    }
}

bool TAudioIO::AllocateBuffers()
{
    // Every slot gets a buffer, whatever NumBuffers is now, and each holds the requested size,
    // which no later format change can push BufferSize above.
    const size_t bytes = size_t(m_requestedBufferSize);
    for (size_t i = 0; i < kSlots; ++i) {
        auto block = m_memory.allocate(bytes, true);
        if (!block) {
            FreeBuffers();
            m_errorMessage = kBufferAllocError;
            return false;
        }
        if (!m_memory.lock(block.get())) {
            FreeBuffers();
            m_errorMessage = kBufferLockError;
            return false;
        }
        m_buffers[i] = block.get();
        if (m_headers[i])
            m_headers[i]->lpData = m_buffers[i];
        m_bufferHandles[i] = std::move(block);
    }
    m_bufferCapacity = m_requestedBufferSize;
    m_reallocatePending = false;
    return true;
}

bool TAudioIO::FreeBuffers()
{
    bool freed = false;
    for (size_t i = 0; i < kSlots; ++i) {
        if (m_bufferHandles[i]) {
            freed = true;
            m_bufferHandles[i].reset();
        }
        m_buffers[i] = nullptr;
        if (m_headers[i])
            m_headers[i]->lpData = nullptr;
    }
    m_bufferCapacity = 0;
    return freed;
}

bool TAudioIO::ensureMemory()
{
    const bool headersMissing =
        std::any_of(m_headers.begin(), m_headers.end(), [](WAVEHDR* h) { return !h; });
    if (headersMissing) {
        FreeHeaders();
        if (!AllocateHeaders())
            return false;
    }
    const bool buffersMissing = std::any_of(m_buffers.begin(), m_buffers.end(), [](char* b) { return !b; });
    if (buffersMissing || m_reallocatePending) {
        FreeBuffers();
        if (!AllocateBuffers())
            return false;
    }
    return true;
}

// ---- TCallBackWinOut ----

TCallBackWinOut::TCallBackWinOut(TAudioOut* component) : QObject(component), AudioComponent(component) {}

bool TCallBackWinOut::event(QEvent* e)
{
    if (e->type() != WaveOutEvent::eventType())
        return QObject::event(e);
    const auto* notification = static_cast<const WaveOutEvent*>(e);
    if (notification->handle == 0 || notification->handle != AudioComponent->m_deviceHandle) {
        ++m_staleDropped;
        return true;
    }
    switch (notification->message) {
    case MM_WOM_OPEN:
        MMWomOpen();
        break;
    case MM_WOM_CLOSE:
        MMWomClose();
        break;
    case MM_WOM_DONE:
        MMWomDone();
        break;
    default:
        break;
    }
    return true;
}

void TCallBackWinOut::MMWomOpen()
{
    if (AudioComponent->OnStart)
        AudioComponent->OnStart(this);
}

void TCallBackWinOut::MMWomClose()
{
    if (AudioComponent->OnStop)
        AudioComponent->OnStop(this);
}

void TCallBackWinOut::MMWomDone()
{
    TAudioOut& c = *AudioComponent;
    ++c.m_doneCount;
    if (c.m_queued > 0)
        --c.m_queued;
    c.m_activeCount = c.m_filledCount - c.m_doneCount;
    c.m_active = c.m_activeCount > 0;
    // Buffers finish in the order written, so NextBuffer is the oldest slot handed back.
    if (c.FillBuffer(c.m_nextBuffer, c.m_bufferSize))
        c.QueueNextBuffer();
    // Close once nothing is left on the device: a buffer that was filled but could not be
    // written will never be reported done, and one written just now is still to be played.
    c.m_active = c.m_queued > 0;
    if (!c.m_active) {
        c.m_continueFilling = false;
        c.CloseDevice();
    }
}

// ---- TAudioOut ----

TAudioOut::TAudioOut(WaveOutBackend& backend, QObject* owner, WaveMemory* memory)
    : TAudioIO(owner, memory), m_backend(backend), m_callbackWindow(new TCallBackWinOut(this))
{
}

TAudioOut::~TAudioOut()
{
    if (m_deviceOpen) {
        m_active = false;
        m_continueFilling = false;
        m_backend.waveOutReset(m_deviceHandle);
        TAudioOut::CloseDevice();
    }
}

bool TAudioOut::Start()
{
    return Start(-1);
}

bool TAudioOut::Start(int lengthMs)
{
    if (!OpenDevice())
        return false;
    if (lengthMs >= 0)
        m_backend.waveOutSetLength(m_deviceHandle, uint32_t(lengthMs));
    return QueueAllBuffers();
}

void TAudioOut::StopNow()
{
    if (!m_deviceOpen)
        return;
    m_active = false;
    m_continueFilling = false;
    m_backend.waveOutReset(m_deviceHandle);
    CloseDevice();
}

void TAudioOut::StopWhenDrained()
{
    if (m_deviceOpen)
        m_continueFilling = false;
}

void TAudioOut::SetPaused(bool value)
{
    m_paused = value;
    if (m_active && m_deviceOpen) {
        if (value)
            m_backend.waveOutPause(m_deviceHandle);
        else
            m_backend.waveOutRestart(m_deviceHandle);
    }
}

bool TAudioOut::FillBuffer(int Index, int Size)
{
    if (!m_continueFilling)
        return false;
    bool result = false;
    if (OnFillBuffer) {
        // The handler may only lower the size; the buffer holds no more than its capacity.
        const int offered = std::min(Size, m_bufferCapacity);
        int size = offered;
        result = OnFillBuffer(m_buffers[size_t(Index)], size);
        m_headers[size_t(Index)]->dwBufferLength = uint32_t(std::clamp(size, 0, offered));
    }
    if (result)
        ++m_filledCount;
    m_activeCount = m_filledCount - m_doneCount;
    return result;
}

void TAudioOut::CloseDevice()
{
    m_active = false;
    SetPaused(false);
    if (m_deviceOpen) {
        for (int i = 0; i < m_numBuffers; ++i)
            m_backend.waveOutUnprepareHeader(m_deviceHandle, m_headers[size_t(i)]);
        m_backend.waveOutClose(m_deviceHandle);
    }
    m_deviceOpen = false;
    if (m_reallocatePending) {
        FreeBuffers();
        AllocateBuffers();
    }
}

bool TAudioOut::OpenDevice()
{
    if (m_deviceOpen) {
        m_errorMessage = kAlreadyOpenError;
        return false;
    }
    if (!ensureMemory())
        return false;
    m_nextBuffer = 0;
    HWAVEOUT handle = 0;
    const MMRESULT opened = m_backend.waveOutOpen(&handle, m_deviceId, m_waveFormat, m_callbackWindow);
    if (opened != MMSYSERR_NOERROR) {
        m_errorMessage = WaveOutErrorText(m_backend, opened);
        return false;
    }
    m_deviceHandle = handle;
    m_deviceOpen = true;
    m_queued = 0;
    // A paused component holds the device from its first moment, before any buffer reaches it.
    if (m_paused)
        m_backend.waveOutPause(m_deviceHandle);
    ResetHeaders();
    for (int i = 0; i < m_numBuffers; ++i) {
        const MMRESULT prepared = m_backend.waveOutPrepareHeader(m_deviceHandle, m_headers[size_t(i)]);
        if (prepared != MMSYSERR_NOERROR) {
            m_errorMessage = WaveOutErrorText(m_backend, prepared);
            CloseDevice();
            return false;
        }
    }
    m_activeCount = 0;
    m_doneCount = 0;
    m_filledCount = 0;
    m_continueFilling = true;
    m_active = true;
    if (!FillBuffer(0, m_bufferSize)) {
        CloseDevice();
        m_errorMessage = kNoFilledBufferError;
        return false;
    }
    // A declined buffer ends the filling: only filled buffers are written, so no stale or
    // unfilled bytes are played and the filled ones stay in slots 0 .. FilledCount - 1.
    for (int i = 1; i < m_numBuffers; ++i) {
        if (!FillBuffer(i, m_bufferSize))
            break;
    }
    return true;
}

bool TAudioOut::QueueAllBuffers()
{
    m_active = true;
    const int filled = m_filledCount;
    if (!QueueNextBuffer()) {
        CloseDevice();
        return false;
    }
    for (int i = 1; i < filled; ++i)
        QueueNextBuffer();
    return true;
}

bool TAudioOut::QueueNextBuffer()
{
    WAVEHDR* header = m_headers[size_t(m_nextBuffer)];
    header->dwFlags = WHDR_PREPARED;
    const MMRESULT written = m_backend.waveOutWrite(m_deviceHandle, header);
    if (written != MMSYSERR_NOERROR) {
        m_errorMessage = WaveOutErrorText(m_backend, written);
        StopWhenDrained();
        return false;
    }
    ++m_queued;
    m_nextBuffer = (m_nextBuffer + 1) % m_numBuffers;
    return true;
}

} // namespace quindle
