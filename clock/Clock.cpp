#include "clock/Clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quindle {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

ScheduleTime Schedule::sync(int64_t nowNs, int64_t absorbableNs)
{
    const int64_t lateNs = nowNs - m_deadlineNs;
    if (!m_scheduled || (lateNs > std::max(absorbableNs, kImmediateNs) && m_deadlineNs >= m_keepUntilNs)) {
        m_restarted = m_scheduled;
        m_restarts += m_scheduled;
        m_deadlineNs = nowNs;
        m_scheduled = true;
        ++m_epoch;
        return {m_deadlineNs, m_epoch, m_restarted, 0, m_restarted ? lateNs : 0};
    }
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

RealClock::RealClock() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RealClock::~RealClock()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void RealClock::wake()
{
    const uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!write(m_wakeFd, &one, sizeof one);
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

void RealClock::serveWhile(const std::function<bool()>& pending)
{
    constexpr int64_t kMarginNs = 2'000'000;
    const ScheduleTime at = sync();
    const int64_t absorbableNs = std::max(m_budget ? m_budget() : 0, Schedule::kImmediateNs);
    const int64_t limitNs = at.ns + absorbableNs - kMarginNs;
    for (int64_t nowNs = monotonicNs(); m_waitHook && m_wakeFd >= 0 && nowNs < limitNs && pending();
         nowNs = monotonicNs()) {
        pollfd fd{m_wakeFd, POLLIN, 0};
        const timespec left = toTimespec(limitNs - nowNs);
        if (ppoll(&fd, 1, &left, nullptr) <= 0)
            return;
        uint64_t count = 0;
        (void)!read(m_wakeFd, &count, sizeof count);
        m_waitHook();
    }
}

void RealClock::Sleep(int ms)
{
    sync();
    if (ms <= 0)
        return;
    const int64_t deadlineNs = m_schedule.advance(ms);
    m_requestedNs += int64_t(ms) * 1'000'000;
    // While the hook serves, the wait ends early at each wake-up to run it again; the last stretch
    // is an absolute sleep, so that the deadline is kept to the nanosecond timer's precision.
    bool serving = m_waitHook && m_waitHook();
    for (int64_t nowNs = monotonicNs(); serving && m_wakeFd >= 0 && nowNs < deadlineNs; nowNs = monotonicNs()) {
        pollfd fd{m_wakeFd, POLLIN, 0};
        const timespec left = toTimespec(deadlineNs - nowNs);
        if (ppoll(&fd, 1, &left, nullptr) <= 0)
            break; // the deadline (or a signal): the absolute sleep below finishes it
        uint64_t count = 0;
        (void)!read(m_wakeFd, &count, sizeof count);
        serving = m_waitHook();
    }
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
