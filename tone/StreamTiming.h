#pragma once

// The sound-card stream's timing: the device's periods, how far ahead frames are rendered, and how
// late a call may come and still land on its frame.

#include "tone/StreamMap.h"

#include <cstdint>

namespace quindle::streamtiming {

// The device takes samples in periods of about this size [frames], and the worker writes one a
// round. A sound server's client library costs the process about 0.15 ms of CPU for each period
// (its own thread answers the server's request for more), so larger periods cost less CPU and
// smaller ones less lead.
inline constexpr unsigned kPeriodFrames = 512;
inline constexpr unsigned kRoundPeriods = 1;
// Frames written ahead of being taken by the device: a round, and two periods more for the steps
// the server takes samples in (with one period fewer, PipeWire's pulse server plays a period of
// silence now and then). More after the device ran short.
inline constexpr unsigned kLevelPeriods = kRoundPeriods + 2;
// The device's buffer holds what a character's known sound is written ahead into: the longest
// character at the slowest speed (a figure 0 on both routes lasts 3 s there) fits whole, about
// 3.6 s at the stream's rate, so a stop of the process of any length inside a character only
// delays the next one. Its silences and the first sound after a click still keep only the level
// ahead, so the deep buffer adds no latency.
inline constexpr unsigned kBufferPeriods = 160;
// Silence written with a character, after its sound. PipeWire's pulse server takes a stream's
// frames in whole steps of a period and, holding less than a step, plays silence and waits for more:
// through a stall, what waits must be silence after the character, not its last edges. Never more
// than the silence known to follow, so that the next character still lands on its frame. [frames]
inline constexpr int64_t kTrailFrames = kPeriodFrames + kPeriodFrames / 4;
// How late a call may reach the worker and still land on its frame, at the start of a schedule,
// and how that grows after a call came too late anyway. The first sound of a run comes the guard
// after the level, so it is kept small: a character's sound is known and written ahead when it
// begins, so a later wake-up inside it moves none of its edges, and one at its start only
// lengthens the silence before it. [ns]
inline constexpr int64_t kGuardNs = 8'000'000;
inline constexpr int64_t kGuardStepNs = 5'000'000;
inline constexpr int64_t kMaxGuardNs = 250'000'000;
inline constexpr int64_t kMaxLevelNs = 250'000'000;
// Of the guard, what the calling thread may spend between its wake-up and the call, and the worker
// between the call and rendering its frame. [ns]
inline constexpr int64_t kAbsorbMarginNs = 4'000'000;
// A restart after a wake-up up to this late grows the guard to absorb the like for the rest of the
// run; the silence it stretched stretches by that growth too. [ns]
inline constexpr int64_t kMaxAdaptNs = 80'000'000;

// The map of a fresh device with periods of periodFrames at rate [frames/s].
inline StreamMap::Params mapParams(unsigned rate, int64_t periodFrames)
{
    const int64_t periodNs = periodFrames * 1'000'000'000 / rate;
    return {kLevelPeriods * periodNs, kGuardNs, kGuardStepNs, kMaxGuardNs, kMaxAdaptNs, kAbsorbMarginNs};
}

// How late the calling thread may wake and keep its schedule, when calls land guardNs late. [ns]
constexpr int64_t absorbableNs(int64_t guardNs)
{
    return guardNs - kAbsorbMarginNs;
}

} // namespace quindle::streamtiming
