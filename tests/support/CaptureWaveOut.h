#pragma once

#include "clock/Clock.h"
#include "tone/WaveOut.h"

#include <QPointer>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace quindle {

// A wave-out back-end for tests that plays into a record instead of a sound card. Time is the
// Clock's: a written buffer plays from the later of its write time and the end of the buffer
// before it, at the format's frame rate; pause holds the play position and restart continues from
// there; reset at time t keeps what played before t and hands back everything else. One device
// can be open at a time. The back-end sees time pass at each of its calls and at pump(); buffers
// whose play end has passed are then reported done.
class CaptureWaveOut final : public WaveOutBackend {
public:
    enum class Call { Open, Prepare, Write, Reset, Pause, Restart, Unprepare, Close };

    struct CallRecord {
        Call call;
        HWAVEOUT handle;
        int64_t atNs;
        MMRESULT result;
    };

    // One stretch of samples that sounded without a break.
    struct Played {
        HWAVEOUT handle;
        int64_t startNs; // time of the first frame [ns]
        int64_t endNs;   // time the stretch ended (its last frame's end, or the cut) [ns]
        int64_t frames;
        uint16_t blockAlign;
        std::vector<char> bytes; // empty when sample keeping is off
    };

    explicit CaptureWaveOut(Clock& clock);

    MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const PCMWAVEFORMAT& format,
                         QObject* callback) override;
    MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutReset(HWAVEOUT handle) override;
    MMRESULT waveOutPause(HWAVEOUT handle) override;
    MMRESULT waveOutRestart(HWAVEOUT handle) override;
    MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header) override;
    MMRESULT waveOutClose(HWAVEOUT handle) override;
    std::string waveOutGetErrorText(MMRESULT code) const override;

    // Lets the device play up to the clock's present and posts the done notifications.
    void pump();

    // The next calls of a kind fail with code: the first `skip` calls still succeed, then `times`
    // calls fail.
    void failCall(Call call, MMRESULT code, int skip = 0, int times = 1);
    void setErrorText(MMRESULT code, std::string text) { m_errorTexts[code] = std::move(text); }

    bool isOpen() const { return m_open; }
    HWAVEOUT openHandle() const { return m_open ? m_handle : 0; }
    bool paused() const { return m_paused; }
    int queuedBuffers() const { return int(m_queue.size()); }
    int openings() const { return int(m_lastHandle); }
    const PCMWAVEFORMAT& format() const { return m_format; }
    // Notifications posted so far, by message.
    int posted(uint32_t message) const;

    const std::vector<CallRecord>& calls() const { return m_calls; }
    int callCount(Call call) const;
    void clearCalls() { m_calls.clear(); }

    const std::vector<Played>& played() const { return m_played; }
    int64_t playedFrames() const { return m_playedFrames; }
    // The samples of every stretch in play order, for 16-bit formats.
    std::vector<int16_t> playedSamples() const;
    void clearPlayed()
    {
        m_played.clear();
        m_playedFrames = 0;
    }
    // Long runs switch off the call log and the stretch record so that memory stays flat; the
    // counters go on.
    void setRecording(bool on) { m_recording = on; }
    void setKeepSamples(bool on) { m_keepSamples = on; }

private:
    struct Queued {
        WAVEHDR* header;
        std::vector<char> bytes;
        int64_t writeNs;
        int64_t framesDone = 0;
        bool started = false;
        int64_t segmentStartNs = 0;
    };

    MMRESULT record(Call call, HWAVEOUT handle, MMRESULT result);
    bool injectedFailure(Call call, MMRESULT* code);
    bool validHandle(HWAVEOUT handle) const { return m_open && handle == m_handle; }
    int64_t framesToNs(int64_t frames) const;
    int64_t nsToFrames(int64_t ns) const;
    int64_t totalFrames(const Queued& q) const;
    void advanceTo(int64_t nowNs);
    // Records frames [q.framesDone, q.framesDone + frames) as played from startNs to endNs.
    void keepPlayed(Queued& q, int64_t frames, int64_t startNs, int64_t endNs);
    void finishFront();
    void post(uint32_t message, WAVEHDR* header);

    struct Failure {
        Call call;
        MMRESULT code;
        int skip;
        int times;
    };

    Clock& m_clock;
    bool m_open = false;
    HWAVEOUT m_handle = 0;
    HWAVEOUT m_lastHandle = 0;
    PCMWAVEFORMAT m_format{};
    QPointer<QObject> m_callback;
    bool m_paused = false;
    int64_t m_idleFromNs = 0; // the device has nothing to play before this time [ns]
    std::deque<Queued> m_queue;
    std::vector<Failure> m_failures;
    std::map<MMRESULT, std::string> m_errorTexts;
    std::map<uint32_t, int> m_posted;
    std::vector<CallRecord> m_calls;
    std::vector<Played> m_played;
    int64_t m_playedFrames = 0;
    bool m_recording = true;
    bool m_keepSamples = true;
};

} // namespace quindle
