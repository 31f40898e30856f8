#include "tone/StreamMap.h"

#include <algorithm>
#include <cmath>

namespace quindle {

namespace {

constexpr int64_t kNsPerS = 1'000'000'000;

// n / d rounded to the nearest integer, halves upwards; d > 0.
int64_t divRound(__int128 n, int64_t d)
{
    __int128 q = (n + d / 2) / d;
    if ((n + d / 2) % d < 0)
        --q;
    return int64_t(q);
}

} // namespace

StreamMap::StreamMap(unsigned rate, const Params& params)
    : m_rate(rate), m_params(params), m_levelNs(params.levelNs), m_guardNs(params.guardNs)
{
}

void StreamMap::growLevel(int64_t stepNs, int64_t maxNs)
{
    m_levelNs = std::min(m_levelNs + stepNs, std::max(maxNs, m_levelNs));
}

void StreamMap::anchor(int64_t frame, int64_t atNs)
{
    m_anchored = true;
    m_deviceFrame = frame;
    m_deviceNs = atNs;
    m_readings = 0;
    m_correcting = false;
    m_recentCount = 0;
    m_recentNs = 0;
    m_baselineSum = 0;
    m_baselineNs = 0;
    m_driftNs = 0;
}

void StreamMap::observe(int64_t frame, int64_t atNs)
{
    if (!m_anchored)
        return;
    const double offset = double(atNs - timeOf(frame));
    m_recentNs +=
        (offset - m_recentNs) / (m_recentCount < kRecentReadings ? ++m_recentCount : kRecentReadings);
    ++m_readings;
    if (m_readings <= kSettleReadings)
        return;
    if (m_readings <= kSettleReadings + kBaselineReadings) {
        m_baselineSum += offset;
        m_baselineNs = m_baselineSum / (m_readings - kSettleReadings);
        return;
    }
    const double d = offset - m_baselineNs;
    if (std::abs(d - m_driftNs) > double(kDisturbedNs))
        return;
    m_driftNs += (d - m_driftNs) / 512;
}

bool StreamMap::correctDrift()
{
    const double size = std::abs(m_driftNs);
    m_correcting = size > double(m_correcting ? kDriftStopNs : kDriftStartNs);
    if (!m_correcting)
        return false;
    // Readings later than the timing: the device plays slower; its frames are taken one later.
    const int64_t step = m_driftNs > 0 ? 1 : -1;
    m_deviceFrame -= step;
    m_driftNs -= double(step) * double(kNsPerS) / m_rate;
    ++m_corrections;
    return true;
}

int64_t StreamMap::timeOf(int64_t frame) const
{
    return m_deviceNs + divRound(__int128(frame - m_deviceFrame) * kNsPerS, m_rate);
}

int64_t StreamMap::frameAt(int64_t ns) const
{
    return m_deviceFrame + divRound(__int128(ns - m_deviceNs) * m_rate, kNsPerS);
}

int64_t StreamMap::renderLimit(int64_t nowNs) const
{
    return frameAt(nowNs + m_levelNs);
}

int64_t StreamMap::nsOfFrames(int64_t frames) const
{
    return divRound(__int128(frames) * kNsPerS, m_rate);
}

int64_t StreamMap::framesOfNs(int64_t ns) const
{
    return divRound(__int128(ns) * m_rate, kNsPerS);
}

int64_t StreamMap::frameOf(int64_t stampNs) const
{
    return frameAt(stampNs + m_levelNs + m_guardNs);
}

StreamMap::Placement StreamMap::place(const ScheduleTime& at, bool startsSound, int64_t frontier, bool whole)
{
    Placement p;
    if (!m_haveEpoch || at.epoch != m_epoch) {
        m_haveEpoch = true;
        m_epoch = at.epoch;
        if (at.restarted) {
            p.restart = true; // the clock restarted: the silence before stretched already
            if (const int64_t needNs = at.behindNs + m_params.absorbMarginNs;
                needNs > m_guardNs && at.behindNs <= m_params.maxAdaptNs)
                m_guardNs = std::min(m_params.maxGuardNs, needNs + m_params.guardStepNs);
        } else {
            m_guardNs = m_params.guardNs;
            if (m_recentCount >= kRecentReadings) {
                const int64_t shift = int64_t(m_recentNs);
                // Readings from now on come out `shift` smaller: so must the baseline they are
                // compared with.
                m_deviceNs += shift;
                const int inBaseline = std::clamp(m_readings - kSettleReadings, 0, kBaselineReadings);
                m_baselineSum -= double(shift) * inBaseline;
                m_baselineNs -= double(shift);
                m_recentNs = 0;
            }
        }
    }
    p.frame = frameOf(at.ns);
    if (p.frame >= frontier)
        return p;
    p.late = true;
    if (startsSound) {
        // More lead as far as it goes, for a lateness that a busy machine may repeat. A longer one
        // (the worker stood still) is no measure of the machine: a whole character, written ahead
        // from its start, only lands late; a tone keyed live needs the lead to keep its length.
        const int64_t lateNs = nsOfFrames(frontier - p.frame);
        if (lateNs <= m_params.maxAdaptNs || !whole)
            m_guardNs += std::clamp<int64_t>(m_params.maxGuardNs - m_guardNs, 0, lateNs + 1 + m_params.guardStepNs);
        p.restart = true;
        p.frame = frameOf(at.ns);
        p.frame = frameOf(at.ns);
    }
    p.frame = std::max(p.frame, frontier);
    return p;
}

} // namespace quindle
