#include "app/ServingClock.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

namespace quindle {

ServingClock::ServingClock(Clock& clock) : m_clock(clock)
{
    QCoreApplication::instance()->installEventFilter(this);
}

ServingClock::~ServingClock() = default;

bool ServingClock::eventFilter(QObject* watched, QEvent* event)
{
    // The accessibility bridge receives each request as a call queued from the D-Bus thread to
    // its D-Bus object.
    if (event->type() == QEvent::MetaCall && watched->inherits("QDBusVirtualObject") &&
        std::find(m_receivers.begin(), m_receivers.end(), watched) == m_receivers.end())
        m_receivers.emplace_back(watched);
    return false;
}

void ServingClock::serveRequests()
{
    for (const QPointer<QObject>& receiver : m_receivers) {
        if (receiver)
            QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    }
}

void ServingClock::Sleep(int ms)
{
    if (m_receivers.empty() || !QAccessible::isActive()) {
        m_clock.Sleep(ms);
        return;
    }
    // Each slice's deadline follows from the last, so the slices end where one sleep would.
    for (; ms > kSliceMs; ms -= kSliceMs) {
        m_clock.Sleep(kSliceMs);
        serveRequests();
    }
    m_clock.Sleep(ms);
}

} // namespace quindle
