#include "clock/Clock.h"

#include <cerrno>
#include <ctime>

namespace quindle {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t RealClock::sync()
{
    const int64_t now = monotonicNs();
    if (!m_scheduled || now - m_deadlineNs > kResyncNs) {
        m_restarted = m_scheduled;
        if (m_scheduled)
            ++m_resyncs;
        m_deadlineNs = now;
        m_scheduled = true;
        ++m_epoch;
    }
    return now;
}

ScheduleTime RealClock::scheduleTime()
{
    sync();
    return {m_deadlineNs, m_epoch, m_restarted};
}

void RealClock::Sleep(int ms)
{
    sync();
    if (ms <= 0)
        return;
    m_deadlineNs += int64_t(ms) * 1'000'000;
    m_requestedNs += int64_t(ms) * 1'000'000;
    timespec ts{};
    ts.tv_sec = time_t(m_deadlineNs / 1'000'000'000);
    ts.tv_nsec = long(m_deadlineNs % 1'000'000'000);
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
