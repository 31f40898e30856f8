#pragma once

// The stream's two voices, rendered frame by frame: the wave-out voice plays the buffers written to
// it in order, the square-wave voice plays the speaker's tone. Every call reaches the mixer placed
// on its frame by the StreamMap, so each edge lands on the exact frame its schedule time maps to.
// A sound whose length was given when it started lasts exactly that many frames, whenever the call
// that stops it comes.
//
// Plain code without a device or threads: the stream's worker owns one.

#include "tone/PlannedTone.h"
#include "tone/StreamMap.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace quindle {

// One call on the stream, as the callers make it.
struct StreamRequest {
    enum class Kind {
        PcmOpen,
        PcmLength,
        PcmWrite,
        PcmReset,
        PcmPause,
        PcmRestart,
        PcmClose,
        SquareOn,
        SquareOff,
        Forecast
    };
    Kind kind = Kind::PcmOpen;
    ScheduleTime at;
    uint64_t opening = 0;         // the wave-out opening a Pcm call belongs to
    uint64_t token = 0;           // PcmWrite: reported back when the buffer has played
    std::vector<int16_t> samples; // PcmWrite
    double hz = 0;                // SquareOn [Hz]
    int64_t lengthNs = -1;        // PcmLength, SquareOn: the sound's length; -1 until stopped [ns]
    std::vector<PlannedTone> tones; // Forecast: a whole character, from `at` on
};

class ToneMixer {
public:
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

    // A buffer that played to its end.
    struct Finished {
        uint64_t opening;
        uint64_t token;
    };

    // Silence from `frame` on, nothing waiting: a new device starts here.
    void reset(int64_t frame);

    // Places the call with the map and queues it on its frame. Frames below rendered() are
    // rendered: a call placed there is late (StreamMap::place).
    StreamMap::Placement accept(StreamRequest&& request, StreamMap& map);

    // Renders the next n frames into out.
    void render(int16_t* out, int64_t n);

    int64_t rendered() const { return m_rendered; }
    // Nothing sounds and nothing waits: a frame more or less here is inaudible.
    bool idle() const;
    // Where sound last began (-1: never).
    int64_t lastOnset() const { return m_lastOnset; }
    // Where the first call waiting to be rendered may begin a sound (kNever: none waits).
    int64_t nextOnset() const;
    // The end of the forecast sound and of the silence written with it: frames below it are known
    // and may be rendered ahead of their time. [frame]
    int64_t knownUntil() const { return m_aheadEnd; }
    // Where the next character may begin at the earliest: the end of the last one's gap. [frame]
    int64_t nextCharacterFrom() const { return m_nextAllowed; }
    // The device stood still for `frames` before frame `at`: when the sound had ended there, the
    // time it stood still counts as gap.
    void stoodStill(int64_t at, int64_t frames)
    {
        if (m_knownEnd <= at)
            m_nextAllowed = std::max(m_knownEnd, m_nextAllowed - frames);
    }
    // A character this close to its floor keeps its frame: rounding, not a push. [frames]
    static constexpr int64_t kPushToleranceFrames = 2;

    // Filled by render; the owner empties them. Sample memory is handed back rather than freed
    // here, so that the audio thread never takes the allocator's locks.
    std::vector<Finished> finished;
    std::vector<std::vector<int16_t>> retired;

private:
    // A forecast tone, on its frames.
    struct Note {
        int64_t start, end;
        double step; // square: cycles per frame
        std::vector<int16_t> samples;
    };
    struct Event {
        int64_t frame;
        StreamRequest::Kind kind;
        uint64_t opening;
        uint64_t token;
        std::vector<int16_t> samples;
        double step;          // SquareOn: cycles per frame
        int64_t lengthFrames; // -1: until stopped
        std::vector<Note> notes; // Forecast
    };
    struct Buffer {
        uint64_t token;
        std::vector<int16_t> samples;
        size_t pos;
    };

    void apply(Event& e, int64_t frame);
    void renderVoices(int16_t* out, int64_t from, int64_t to);
    void dropPcm();
    void mixNotes(int16_t* out, int64_t from, int64_t to);

    int64_t m_rendered = 0;
    std::deque<Event> m_events; // in frame order
    int64_t m_lastEventFrame = 0;
    int64_t m_lastOnset = -1;
    uint64_t m_firstWriteOf = 0; // the opening whose first write still starts its sound
    int64_t m_knownEnd = 0; // of the forecast sound
    int64_t m_aheadEnd = 0; // of that sound and the silence written with it
    int64_t m_nextAllowed = 0; // of the gap after it
    // The last forecast's schedule time and frame: a second forecast of the same moment (the other
    // route's tones of the same character) lands beside it.
    int64_t m_forecastAtNs = -1;
    uint64_t m_forecastEpoch = 0;
    int64_t m_forecastFrame = 0;
    std::vector<Note> m_notes;

    bool m_pcmOpen = false;
    bool m_pcmPaused = false;
    uint64_t m_pcmOpening = 0;
    int64_t m_pcmLength = -1;  // frames, for the next onset
    int64_t m_pcmEnd = kNever; // planned end of the sounding buffers
    bool m_pcmPlayedOut = false; // the opening's planned length has sounded: nothing more of it does
    std::deque<Buffer> m_pcm;

    bool m_squareOn = false;
    double m_squareStep = 0;
    double m_squarePhase = 0;
    int64_t m_squareEnd = kNever;
};

} // namespace quindle
