#pragma once

// The wave output component: streams blocks of PCM samples, which its owner supplies through
// OnFillBuffer, to a wave-out back-end. Failures are values: a false result and ErrorMessage.

#include "tone/WaveOut.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace quindle {

// A method of an object that receives the sender (here the notification object).
using TNotifyEvent = std::function<void(QObject* Sender)>;
// Fills Buffer with up to Size bytes; may lower Size to the bytes produced. False declines.
using TBufferEvent = std::function<bool(char* Buffer, int& Size)>;

// The text for a wave-out error code, cut at its first zero and to at most 255 bytes.
QString WaveOutErrorText(const WaveOutBackend& backend, MMRESULT code);

// Where the component's memory blocks come from. The default takes them from the heap and never
// fails to lock; tests substitute one that fails, to reach the allocation failures.
class WaveMemory {
public:
    virtual ~WaveMemory() = default;
    // A block of bytes, zero-filled when asked; nullptr when it cannot be had.
    virtual std::unique_ptr<char[]> allocate(size_t bytes, bool zeroed);
    // Makes the block available to the device; false when it cannot.
    virtual bool lock(char* block);

    static WaveMemory& heap();
};

class TAudioIO : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = 4;
    static constexpr int kMinBufferSize = 512; // [bytes]

    // memory: nullptr for the heap; otherwise it must outlive the component.
    explicit TAudioIO(QObject* owner = nullptr, WaveMemory* memory = nullptr);
    ~TAudioIO() override;

    // Bytes per buffer as used: the requested size less its remainder modulo the block alignment.
    int BufferSize() const { return m_bufferSize; }
    // Stores max(value, 512) as the requested size and reallocates the data buffers (once the
    // device is closed, if it is open now).
    void SetBufferSize(int value);
    int NumBuffers() const { return m_numBuffers; }
    void SetNumBuffers(int value); // bounded to 2..4
    int FrameRate() const { return int(m_waveFormat.nSamplesPerSec); }
    void SetFrameRate(int value); // no bound
    bool Stereo() const { return m_waveFormat.nChannels == 2; }
    void SetStereo(bool value);
    uint16_t Quantization() const { return m_waveFormat.wBitsPerSample; }
    void SetQuantization(uint16_t value); // 8 or less gives 8, anything else 16

    TNotifyEvent OnStart;
    TNotifyEvent OnStop;

    virtual void StopNow();
    virtual void StopWhenDrained();

    const QString& ErrorMessage() const { return m_errorMessage; }
    // Buffers filled since the device was opened, not counting one being filled.
    int FilledCount() const { return m_filledCount; }

    // The rest of the state, for reading.
    int RequestedBufferSize() const { return m_requestedBufferSize; }
    const PCMWAVEFORMAT& WaveFormat() const { return m_waveFormat; }
    uint32_t DeviceId() const { return m_deviceId; }
    WAVEHDR* Headers(int i) const { return m_headers.at(size_t(i)); }
    char* Buffers(int i) const { return m_buffers.at(size_t(i)); }
    int NextBuffer() const { return m_nextBuffer; }
    bool ContinueFilling() const { return m_continueFilling; }
    bool Active() const { return m_active; }
    int ActiveCount() const { return m_activeCount; }
    int DoneCount() const { return m_doneCount; }

protected:
    // True while a device may be reading the data buffers, so that they must not be freed.
    virtual bool buffersInUse() const { return false; }

    void UpdateFormat();
    bool ResetHeaders();
    bool AllocateHeaders();
    void FreeHeaders();
    bool AllocateBuffers();
    bool FreeBuffers();
    // Makes sure every slot has its header and a data buffer of the current requested size.
    bool ensureMemory();

    int m_bufferSize = 0;
    int m_requestedBufferSize = 0;
    int m_numBuffers = kSlots;
    bool m_paused = false;
    PCMWAVEFORMAT m_waveFormat{};
    uint32_t m_deviceId = WAVE_MAPPER;
    std::array<std::unique_ptr<char[]>, kSlots> m_headerHandles;
    std::array<WAVEHDR*, kSlots> m_headers{};
    std::array<char*, kSlots> m_buffers{};
    std::array<std::unique_ptr<char[]>, kSlots> m_bufferHandles;
    // Bytes each data buffer holds: the requested size at allocation, which is never less than
    // BufferSize whatever format is chosen later.
    int m_bufferCapacity = 0;
    bool m_reallocatePending = false;
    int m_nextBuffer = 0;
    bool m_continueFilling = false;
    QString m_errorMessage;
    bool m_active = false;
    int m_filledCount = 0;
    int m_activeCount = 0;
    int m_doneCount = 0;

private:
    WaveMemory& m_memory;
};

class TAudioOut;

// Receives the device notifications on the UI thread. One object serves the component for its
// whole life; a notification of an opening other than the component's latest is dropped, so a
// late notification of a closed device never touches the counters of a later one.
class TCallBackWinOut final : public QObject {
    Q_OBJECT
public:
    explicit TCallBackWinOut(TAudioOut* component);

    TAudioOut* const AudioComponent;

    // Notifications dropped because they belonged to an earlier opening.
    int staleDropped() const { return m_staleDropped; }

protected:
    bool event(QEvent* e) override;

private:
    void MMWomOpen();
    void MMWomClose();
    void MMWomDone();

    int m_staleDropped = 0;
};

class TAudioOut : public TAudioIO {
    Q_OBJECT
public:
    // backend must outlive the component.
    explicit TAudioOut(WaveOutBackend& backend, QObject* owner = nullptr, WaveMemory* memory = nullptr);
    // Closes the device if it is still open, so that no back-end keeps reading freed buffers.
    ~TAudioOut() override;

    // Opens the device, fills the buffers and writes them; true only when all of that worked.
    bool Start();
    // The same for a sound whose length is known [ms]: the device ends it that long after it
    // begins on the keying's schedule, even when StopNow comes late. Below 0: not known.
    bool Start(int lengthMs);
    void StopNow() override;
    void StopWhenDrained() override;

    bool Paused() const { return m_paused; }
    // Takes effect on the device at once while playing; otherwise at the next Start.
    void SetPaused(bool value);

    TBufferEvent OnFillBuffer;

    bool DeviceOpen() const { return m_deviceOpen; }
    TCallBackWinOut* CallbackWindow() const { return m_callbackWindow; }
    // The latest opening; it stays set after the close, to recognise that opening's notifications.
    HWAVEOUT DeviceHandle() const { return m_deviceHandle; }
    // Buffers written to the device and not yet reported done.
    int queuedCount() const { return m_queued; }

protected:
    bool buffersInUse() const override { return m_deviceOpen; }

    virtual bool FillBuffer(int Index, int Size);
    virtual void CloseDevice();
    virtual bool OpenDevice();
    bool QueueAllBuffers();
    bool QueueNextBuffer();

private:
    friend class TCallBackWinOut;

    WaveOutBackend& m_backend;
    bool m_deviceOpen = false;
    TCallBackWinOut* m_callbackWindow = nullptr; // child of this component
    HWAVEOUT m_deviceHandle = 0;
    int m_queued = 0;
};

} // namespace quindle
