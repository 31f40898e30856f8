#pragma once

// Where a moment of the keying's schedule lands on the stream.
//
// The device side: the device takes frame f out of its buffer at timeOf(f), a line through where
// it stood at the start, followed afterwards for drift. (A sound server's own latency comes after
// that, the same for every frame.) The schedule side: a call stamped t lands a lead after t, on
// frameOf(t) = frameAt(t + lead), where lead = level + guard. Frames are rendered `level` ahead of
// being taken, so a call that reaches the worker up to `guard` after its stamp still lands on its
// own frame, and every edge keeps its place on the schedule.
//
// Plain code without a device: the worker feeds it the device's reports and asks where calls land.

#include "clock/Clock.h"

#include <algorithm>
#include <cstdint>

namespace quindle {

class StreamMap {
public:
    struct Params {
        int64_t levelNs;     // frames are rendered this far ahead of being taken [ns]
        int64_t guardNs;     // lateness a call may have at the start of a schedule [ns]
        int64_t guardStepNs; // added to the guard whenever a call came too late anyway [ns]
        int64_t maxGuardNs;
        // A restart after the thread fell behind by more than the guard absorbs, but by no more
        // than maxAdaptNs, grows the guard (by a step beyond that lateness) so that the like is
        // absorbed for the rest of the run: a busy machine tends to repeat it. A longer hold (a
        // modal window, a stopped process) is no measure of the machine. [ns]
        int64_t maxAdaptNs = 0;
        int64_t absorbMarginNs = 0; // of the guard, what a call needs beyond the lateness [ns]
    };

    // The device's position moves in the steps the sound server takes samples in, and a server
    // settles its buffering in the first seconds (PipeWire by several milliseconds after about
    // five): the first kSettleReadings are ignored, the next kBaselineReadings give the baseline
    // that later readings are compared with. [readings, about 44 a second]
    static constexpr int kSettleReadings = 400;
    static constexpr int kBaselineReadings = 200;
    // A reading further than this from the smoothed trend was disturbed (a late wake-up). [ns]
    static constexpr int64_t kDisturbedNs = 20'000'000;
    // Where the readings stand lately, for realigning the timing at the start of a schedule. [readings]
    static constexpr int kRecentReadings = 16;
    // The smoothed drift is corrected, a frame at a time, from when it passes kDriftStartNs until
    // it is back within kDriftStopNs: the readings wander by a millisecond or two on their own.
    static constexpr int64_t kDriftStartNs = 1'500'000;
    static constexpr int64_t kDriftStopNs = 500'000;

    StreamMap(unsigned rate, const Params& params);

    unsigned rate() const { return m_rate; }
    int64_t levelNs() const { return m_levelNs; }
    int64_t guardNs() const { return m_guardNs; }
    int64_t leadNs() const { return m_levelNs + m_guardNs; }
    // After an underrun: the device needs more frames ahead of it. The lead grows with the level,
    // so that the guard stays. [ns]
    void growLevel(int64_t stepNs, int64_t maxNs);

    // ---- The device side ----
    // The device takes frame `frame` at atNs: a fresh start of its timing (open, underrun).
    void anchor(int64_t frame, int64_t atNs);
    // The device starts again after it ran dry (the process or its worker stalled): it takes
    // `frame` at atNs. Nothing is skipped: what was placed plays when the device runs again, and
    // later schedule times land a lead after their own moment, so a stall is counted once, by the
    // keying's clock (which restarts its schedule after it), and never again here.
    // Returns how many frames the device stood still for.
    int64_t reanchor(int64_t frame, int64_t atNs)
    {
        const int64_t stood = std::max<int64_t>(0, frameAt(atNs) - frame);
        anchor(frame, atNs);
        return stood;
    }
    // A later reading of the same kind, for the drift.
    void observe(int64_t frame, int64_t atNs);
    // Moves the device's timing one frame towards the reports when the drift calls for it. A frame
    // more or less lands between two edges: call it only while nothing sounds and nothing waits.
    // True when a frame was corrected.
    bool correctDrift();
    double driftNs() const { return m_driftNs; }
    int corrections() const { return m_corrections; }

    int64_t timeOf(int64_t frame) const;      // [ns]
    int64_t frameAt(int64_t ns) const;        // the nearest frame
    int64_t renderLimit(int64_t nowNs) const; // frames below it may be rendered at nowNs
    int64_t nsOfFrames(int64_t frames) const; // rounded [ns]
    int64_t framesOfNs(int64_t ns) const;     // rounded

    // ---- The schedule side ----
    struct Placement {
        int64_t frame = 0;
        bool late = false;    // the call came after its frame was rendered
        bool restart = false; // the rhythm restarts here: the silence before this edge stretched
    };
    // Where a call stamped `at` lands. Frames below `frontier` are rendered. A new schedule starts with the small lead again and
    // with the device's timing moved to where its readings stand lately: the timing at the open is
    // a guess, and a sound server takes its frames in steps around it. A restarted schedule keeps
    // its lead, grown to absorb a like lateness. A call that starts sound and comes too late grows
    // the lead by its lateness and a guard step, as far as it goes (a restart); a late call lands
    // on the frontier. `whole`: the call carries a whole character.
    Placement place(const ScheduleTime& at, bool startsSound, int64_t frontier, bool whole = false);
    int64_t frameOf(int64_t stampNs) const;

private:
    const unsigned m_rate;
    const Params m_params;
    int64_t m_levelNs;
    int64_t m_guardNs;

    bool m_anchored = false;
    int64_t m_deviceFrame = 0; // taken at m_deviceNs
    int64_t m_deviceNs = 0;
    int m_readings = 0;
    bool m_correcting = false;
    int m_recentCount = 0;
    double m_recentNs = 0; // the readings' offset from the timing lately [ns]
    double m_baselineSum = 0;
    double m_baselineNs = 0;
    double m_driftNs = 0; // smoothed offset of the readings from the timing, past the baseline
    int m_corrections = 0;

    bool m_haveEpoch = false;
    uint64_t m_epoch = 0;
};

} // namespace quindle
