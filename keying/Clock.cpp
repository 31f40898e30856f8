#include "keying/Clock.h"

#include <cerrno>
#include <ctime>

namespace quindle {

namespace {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

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

void VirtualClock::Sleep(int ms)
{
    ++m_sleepCount;
    if (m_sleepHook)
        m_sleepHook(ms);
    if (m_recording)
        m_sleeps.push_back({m_nowNs / 1000, ms});
    if (ms > 0)
        m_nowNs += int64_t(ms) * 1'000'000;
}

uint32_t VirtualClock::GetTickCount()
{
    return m_tickOrigin + uint32_t(m_nowNs / 1'000'000);
}

uint64_t VirtualClock::PerformanceCounter()
{
    return m_counter ? m_counter() : uint64_t(m_nowNs);
}

void VirtualClock::at(int64_t atMs, std::function<void()> action)
{
    m_actions.emplace(std::make_pair(atMs, m_actionSeq++), std::move(action));
}

void VirtualClock::messagesProcessed()
{
    // An action may schedule further actions or run nested ProcessMessages; take one at a time.
    while (!m_actions.empty() && m_actions.begin()->first.first <= nowMs()) {
        auto action = std::move(m_actions.begin()->second);
        m_actions.erase(m_actions.begin());
        action();
    }
}

} // namespace quindle
