#include "clock/Clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>


namespace quindle {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool Clock::serveWindow(int64_t untilNs)
{
    if (!serves())
        return false;
    m_inHook = true;
    const bool end = m_waitHook(untilNs);
    m_inHook = false;
    return end;
}

ScheduleTime Schedule::sync(int64_t nowNs, int64_t absorbableNs)
{
    const int64_t lateNs = nowNs - m_deadlineNs;
    // A stall inside a character written ahead is caught up on until its end: the restart that
    // follows is as far behind as the stall was, not only as its last deadline.
    m_worstLateNs = std::max(m_worstLateNs, lateNs);
    if (!m_scheduled || (lateNs > std::max(absorbableNs, kImmediateNs) && m_deadlineNs >= m_keepUntilNs)) {
        m_restarted = m_scheduled;
        m_restarts += m_scheduled;
        m_deadlineNs = nowNs;
        m_scheduled = true;
        ++m_epoch;
        const int64_t behindNs = m_restarted ? m_worstLateNs : 0;
        m_worstLateNs = 0;
        return {m_deadlineNs, m_epoch, m_restarted, 0, behindNs};
    }
    if (m_deadlineNs >= m_keepUntilNs)
        m_worstLateNs = std::max<int64_t>(0, lateNs);
    if (lateNs > kImmediateNs && m_deadlineNs != m_absorbedDeadlineNs) {
        m_absorbedDeadlineNs = m_deadlineNs;
        ++m_absorbed;
    }
    return {m_deadlineNs, m_epoch, m_restarted, std::max<int64_t>(0, lateNs)};
}

int64_t Schedule::advance(int ms)
{
    m_deadlineNs += int64_t(ms) * 1'000'000;
    return m_deadlineNs;
}

ScheduleTime RealClock::sync()
{
    return m_schedule.sync(monotonicNs(), m_budget ? m_budget() : 0);
}

ScheduleTime RealClock::scheduleTime()
{
    return sync();
}

namespace {

timespec toTimespec(int64_t ns)
{
    timespec ts{};
    ts.tv_sec = time_t(ns / 1'000'000'000);
    ts.tv_nsec = long(ns % 1'000'000'000);
    return ts;
}

} // namespace

void RealClock::Sleep(int ms)
{
    sync();
    if (ms <= 0)
        return;
    const int64_t deadlineNs = m_schedule.advance(ms);
    m_requestedNs += int64_t(ms) * 1'000'000;
    if (serveWindow(deadlineNs - kServeMarginNs))
        return;
    const timespec ts = toTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

uint32_t RealClock::GetTickCount()
{
    return uint32_t(monotonicNs() / 1'000'000);
}

uint64_t RealClock::PerformanceCounter()
{
    return uint64_t(monotonicNs());
}

int64_t RealClock::nowNs()
{
    return monotonicNs();
}

} // namespace quindle
