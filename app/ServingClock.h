#pragma once

#include "clock/Clock.h"

#include <QObject>
#include <QPointer>

#include <vector>

namespace quindle {

// The program's clock, with one addition: while a screen reader is connected, a sleep of the send
// loop also answers its requests, so that it waits a few milliseconds rather than until the next
// element's message processing (up to 600 ms at the slowest speed). Only the requests are served:
// no input, timer or other event is dispatched inside a sleep. The sleep is cut into slices that
// end on the same absolute deadline, so the rhythm stays as the wrapped clock keeps it.
class ServingClock final : public QObject, public Clock {
public:
    static constexpr int kSliceMs = 5; // [ms] longest wait of a request during a sleep

    explicit ServingClock(Clock& clock);
    ~ServingClock() override;

    void Sleep(int ms) override;
    uint32_t GetTickCount() override { return m_clock.GetTickCount(); }
    uint64_t PerformanceCounter() override { return m_clock.PerformanceCounter(); }
    int64_t nowNs() override { return m_clock.nowNs(); }
    void messagesProcessed() override { m_clock.messagesProcessed(); }
    ScheduleTime scheduleTime() override { return m_clock.scheduleTime(); }
    void startSchedule() override { m_clock.startSchedule(); }

protected:
    // Learns the objects that receive the screen reader's requests, as they are delivered.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void serveRequests();

    Clock& m_clock;
    std::vector<QPointer<QObject>> m_receivers;
};

} // namespace quindle
