#include "tests/support/VirtualClock.h"

#include <algorithm>

namespace quindle {

void VirtualClock::Sleep(int ms)
{
    ++m_sleepCount;
    if (m_sleepHook)
        m_sleepHook(ms);
    if (m_recording)
        m_sleeps.push_back({m_nowNs / 1000, ms});
    if (ms <= 0)
        return;
    const int64_t endNs = m_nowNs + int64_t(ms) * 1'000'000;
    // A window that serves its events while the run sleeps meets the actions due inside the sleep
    // at their own moment.
    while (serves() && !m_actions.empty() && m_actions.begin()->first.first * 1'000'000 < endNs) {
        const auto due = m_actions.begin()->first;
        m_nowNs = std::max(m_nowNs, due.first * 1'000'000);
        if (serveWindow(m_nowNs))
            return;
        if (!m_actions.empty() && m_actions.begin()->first == due)
            break; // the hook runs no actions
    }
    m_nowNs = endNs;
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
