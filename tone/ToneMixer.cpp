#include "tone/ToneMixer.h"

#include "tone/StreamTiming.h"
#include "tone/ToneFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quindle {

using Kind = StreamRequest::Kind;

void ToneMixer::reset(int64_t frame)
{
    for (Event& e : m_events) {
        if (!e.samples.empty())
            retired.push_back(std::move(e.samples));
    }
    m_events.clear();
    for (Note& note : m_notes)
        retired.push_back(std::move(note.samples));
    m_notes.clear();
    m_knownEnd = m_aheadEnd = m_nextAllowed = frame;
    dropPcm();
    m_rendered = frame;
    m_lastEventFrame = frame;
    m_pcmOpen = m_pcmPaused = m_pcmPlayedOut = false;
    m_pcmLength = -1;
    m_squareOn = false;
    m_squareEnd = kNever;
    m_firstWriteOf = 0;
}

bool ToneMixer::idle() const
{
    return m_events.empty() && m_notes.empty() && !m_squareOn && (m_pcm.empty() || !m_pcmOpen);
}

int64_t ToneMixer::nextOnset() const
{
    for (const Event& e : m_events) {
        if (e.kind == Kind::PcmWrite || e.kind == Kind::SquareOn || e.kind == Kind::PcmRestart)
            return e.frame;
        if (e.kind == Kind::Forecast && !e.notes.empty())
            return e.notes.front().start;
    }
    return kNever;
}

StreamMap::Placement ToneMixer::accept(StreamRequest&& r, StreamMap& map)
{
    // The first write of an opening is where its sound begins; later ones queue behind it.
    const bool startsSound = r.kind == Kind::SquareOn || r.kind == Kind::PcmRestart ||
                             r.kind == Kind::Forecast ||
                             (r.kind == Kind::PcmWrite && r.opening == m_firstWriteOf);
    StreamMap::Placement p = map.place(r.at, startsSound, m_rendered, r.kind == Kind::Forecast);
    if (r.kind == Kind::PcmOpen)
        m_firstWriteOf = r.opening;
    else if (r.kind == Kind::PcmWrite && r.opening == m_firstWriteOf)
        m_firstWriteOf = 0;
    // Calls apply in the order made, never before one made earlier.
    p.frame = std::max(p.frame, m_lastEventFrame);
    std::vector<Note> notes;
    if (r.kind == Kind::Forecast && r.at.ns == m_forecastAtNs && r.at.epoch == m_forecastEpoch) {
        p.frame = m_forecastFrame;
    } else if (r.kind == Kind::Forecast) {
        // A character never begins before the one before it has ended with its gap (a device that
        // stood still inside it plays it later, whole), nor in what is rendered. The keying's clock
        // learns of a push (nextCharacterFrom) and waits for it from the next character on.
        const int64_t floor = std::max(m_nextAllowed, m_rendered);
        if (floor - p.frame > kPushToleranceFrames) {
            p.frame = floor;
            p.restart = true;
        }
        m_forecastAtNs = r.at.ns;
        m_forecastEpoch = r.at.epoch;
        m_forecastFrame = p.frame;
    }
    if (r.kind == Kind::Forecast) {
        for (PlannedTone& t : r.tones) {
            const int64_t start = p.frame + map.framesOfNs(t.offsetNs);
            const int64_t end = start + std::max<int64_t>(0, map.framesOfNs(t.lengthNs));
            if (end > start)
                notes.push_back({start, end, t.hz / map.rate(), std::move(t.samples)});
            else if (!t.samples.empty())
                retired.push_back(std::move(t.samples));
            const int64_t trail = std::clamp<int64_t>(map.framesOfNs(t.nextCharacterAfterNs) - 2, 0,
                                                      streamtiming::kTrailFrames);
            m_knownEnd = std::max(m_knownEnd, end);
            m_aheadEnd = std::max(m_aheadEnd, end + trail);
            m_nextAllowed = std::max(m_nextAllowed, end + map.framesOfNs(t.nextCharacterAfterNs));
        }
    }
    m_lastEventFrame = p.frame;
    const int64_t length = r.lengthNs >= 0 ? map.framesOfNs(r.lengthNs) : -1;
    const double step = r.kind == Kind::SquareOn ? r.hz / map.rate() : 0.0;
    m_events.push_back({p.frame, r.kind, r.opening, r.token, std::move(r.samples), step, length,
                        std::move(notes)});
    return p;
}

void ToneMixer::render(int16_t* out, int64_t n)
{
    const int64_t base = m_rendered;
    const int64_t end = base + n;
    int64_t pos = base;
    for (;;) {
        // Ends planned when the sound began come first: a tone that ends where the next begins.
        if (!m_pcm.empty() && m_pcmEnd <= pos) {
            dropPcm();
            m_pcmPlayedOut = true;
        }
        if (m_squareOn && m_squareEnd <= pos) {
            m_squareOn = false;
            m_squareEnd = kNever;
        }
        while (!m_events.empty() && m_events.front().frame <= pos) {
            Event e = std::move(m_events.front());
            m_events.pop_front();
            apply(e, pos);
        }
        if (pos >= end)
            break;
        int64_t next = end;
        if (!m_events.empty())
            next = std::min(next, m_events.front().frame);
        if (!m_pcm.empty())
            next = std::min(next, m_pcmEnd);
        if (m_squareOn)
            next = std::min(next, m_squareEnd);
        renderVoices(out + (pos - base), pos, next);
        pos = next;
    }
    mixNotes(out, base, end);
    m_rendered = end;
}

void ToneMixer::apply(Event& e, int64_t frame)
{
    switch (e.kind) {
    case Kind::PcmOpen:
        dropPcm();
        m_pcmOpen = true;
        m_pcmPaused = false;
        m_pcmOpening = e.opening;
        m_pcmLength = -1;
        m_pcmPlayedOut = false;
        break;
    case Kind::PcmLength:
        if (m_pcmOpen && e.opening == m_pcmOpening) {
            if (m_pcm.empty())
                m_pcmLength = e.lengthFrames;
            else
                m_pcmEnd = e.lengthFrames < 0 ? kNever : frame + e.lengthFrames;
        }
        break;
    case Kind::PcmWrite:
        // A buffer that lands after its opening's planned end (the schedule restarted between
        // the writes) would start a sound of its own that lasts until the reset.
        if (!m_pcmOpen || e.opening != m_pcmOpening || m_pcmPlayedOut) {
            retired.push_back(std::move(e.samples));
            break;
        }
        if (m_pcm.empty()) {
            m_lastOnset = frame;
            m_pcmEnd = m_pcmLength < 0 ? kNever : frame + m_pcmLength;
            m_pcmLength = -1;
        }
        m_pcm.push_back({e.token, std::move(e.samples), 0});
        break;
    case Kind::PcmReset:
        if (e.opening == m_pcmOpening)
            dropPcm();
        break;
    case Kind::PcmPause:
        if (e.opening == m_pcmOpening)
            m_pcmPaused = true;
        break;
    case Kind::PcmRestart:
        if (e.opening == m_pcmOpening)
            m_pcmPaused = false;
        break;
    case Kind::PcmClose:
        if (e.opening == m_pcmOpening) {
            dropPcm();
            m_pcmOpen = false;
            m_pcmPaused = false;
        }
        break;
    case Kind::SquareOn:
        if (!m_squareOn) {
            m_squarePhase = 0;
            m_lastOnset = frame;
        }
        m_squareOn = true;
        m_squareStep = e.step;
        m_squareEnd = e.lengthFrames < 0 ? kNever : frame + e.lengthFrames;
        break;
    case Kind::Forecast:
        if (!e.notes.empty())
            m_lastOnset = e.notes.front().start;
        for (Note& note : e.notes)
            m_notes.push_back(std::move(note));
        break;
    case Kind::SquareOff:
        // A tone of known length ends on its own frame: the speaker waits in whole ticks and may
        // stop it a little early.
        if (m_squareEnd == kNever)
            m_squareOn = false;
        break;
    }
}

void ToneMixer::dropPcm()
{
    for (Buffer& b : m_pcm)
        retired.push_back(std::move(b.samples));
    m_pcm.clear();
    m_pcmEnd = kNever;
}

void ToneMixer::renderVoices(int16_t* out, int64_t from, int64_t to)
{
    const size_t n = size_t(to - from);
    std::fill(out, out + n, int16_t(0));
    size_t i = 0;
    while (m_pcmOpen && !m_pcmPaused && !m_pcm.empty() && i < n) {
        Buffer& b = m_pcm.front();
        const size_t take = std::min(n - i, b.samples.size() - b.pos);
        std::memcpy(out + i, b.samples.data() + b.pos, take * sizeof(int16_t));
        i += take;
        b.pos += take;
        if (b.pos < b.samples.size())
            break;
        finished.push_back({m_pcmOpening, b.token});
        retired.push_back(std::move(b.samples));
        m_pcm.pop_front();
    }
    // A stream that ran dry is over: the next write starts a new sound.
    if (m_pcm.empty())
        m_pcmEnd = kNever;
    // A square wave at half the frame rate or above would be heard as another, lower pitch: it
    // keeps its time in silence.
    if (m_squareOn && m_squareStep < 0.5) {
        for (size_t k = 0; k < n; ++k) {
            const int v = out[k] + (m_squarePhase < 0.5 ? Amplitude : -Amplitude);
            out[k] = int16_t(std::clamp(v, -32768, 32767));
            m_squarePhase += m_squareStep;
            m_squarePhase -= std::floor(m_squarePhase);
        }
    }
}

void ToneMixer::mixNotes(int16_t* out, int64_t from, int64_t to)
{
    for (auto it = m_notes.begin(); it != m_notes.end();) {
        Note& note = *it;
        for (int64_t f = std::max(from, note.start); f < std::min(to, note.end); ++f) {
            const int64_t k = f - note.start;
            int v = 0;
            if (note.samples.empty()) {
                // A square at half the frame rate or above keeps its time in silence, as above.
                if (note.step >= 0.5)
                    continue;
                const double cycles = double(k) * note.step;
                v = cycles - std::floor(cycles) < 0.5 ? Amplitude : -Amplitude;
            } else if (k < int64_t(note.samples.size())) {
                v = note.samples[size_t(k)];
            }
            out[f - from] = int16_t(std::clamp(out[f - from] + v, -32768, 32767));
        }
        if (note.end <= to) {
            if (!note.samples.empty())
                retired.push_back(std::move(note.samples));
            it = m_notes.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace quindle
