#pragma once

// The contract of the wave-out functions that TAudioOut is written against, with the types and
// codes it uses. Back-ends: ALSA for the program, a capture back-end for tests.

#include "tone/PlannedTone.h"

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <string>
#include <vector>

namespace quindle {

using MMRESULT = uint32_t;
// Number of one opening of the device; 0 is no device. Every opening gets a new number.
using HWAVEOUT = uint64_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;
constexpr uint16_t WAVE_FORMAT_PCM = 1;

constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_BEGINLOOP = 0x04;
constexpr uint32_t WHDR_ENDLOOP = 0x08;
constexpr uint32_t WHDR_INQUEUE = 0x10;

constexpr uint32_t MM_WOM_OPEN = 0x3BB;
constexpr uint32_t MM_WOM_CLOSE = 0x3BC;
constexpr uint32_t MM_WOM_DONE = 0x3BD;

#pragma pack(push, 1)
struct PCMWAVEFORMAT {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
};
#pragma pack(pop)
static_assert(sizeof(PCMWAVEFORMAT) == 16);

// Laid out as the platform's header, with native pointer widths.
struct WAVEHDR {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};

// A device notification, posted to the callback object given at open; handled on its thread.
class WaveOutEvent final : public QEvent {
public:
    WaveOutEvent(uint32_t message, HWAVEOUT handle, WAVEHDR* header)
        : QEvent(eventType()), message(message), handle(handle), header(header)
    {
    }
    static QEvent::Type eventType();

    const uint32_t message; // MM_WOM_OPEN, MM_WOM_DONE or MM_WOM_CLOSE
    const HWAVEOUT handle;  // the opening it belongs to
    WAVEHDR* const header;  // the finished buffer, for MM_WOM_DONE
};

// The wave-out functions. Contract:
// - open posts MM_WOM_OPEN and close posts MM_WOM_CLOSE to the callback;
// - buffers play in the order written; each written buffer, when played or handed back by reset,
//   gives exactly one MM_WOM_DONE (with WHDR_DONE set in its flags);
// - write copies or otherwise releases the samples so that after reset returns the caller may
//   refill every buffer; reset stops the sound at once;
// - all calls are made on the thread of the callback object and return without blocking on the
//   device; a missing or failing device makes open fail with an error code.
class WaveOutBackend {
public:
    virtual ~WaveOutBackend() = default;
    virtual MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const PCMWAVEFORMAT& format,
                                 QObject* callback) = 0;
    virtual MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header) = 0;
    virtual MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header) = 0;
    virtual MMRESULT waveOutReset(HWAVEOUT handle) = 0;
    virtual MMRESULT waveOutPause(HWAVEOUT handle) = 0;
    virtual MMRESULT waveOutRestart(HWAVEOUT handle) = 0;
    virtual MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header) = 0;
    virtual MMRESULT waveOutClose(HWAVEOUT handle) = 0;
    // The sound of this opening lasts ms [ms] from where it begins, however late the reset that
    // stops it comes. A back-end that plays ahead of time keeps tones exact with it; others ignore it.
    virtual MMRESULT waveOutSetLength(HWAVEOUT handle, uint32_t ms)
    {
        (void)handle;
        (void)ms;
        return MMSYSERR_NOERROR;
    }
    // The sound-card tones of a character that begins now on the keying's schedule, as samples at
    // rate [frames/s]. A back-end that plays ahead of time plays them whole from here and answers
    // true: the character's elements then make no calls of their own. False when not taken.
    virtual bool waveOutForecast(std::vector<PlannedTone> tones, uint32_t rate)
    {
        (void)tones;
        (void)rate;
        return false;
    }
    // The text for an error code, at most 255 characters; empty when there is none.
    virtual std::string waveOutGetErrorText(MMRESULT code) const = 0;
};

} // namespace quindle
