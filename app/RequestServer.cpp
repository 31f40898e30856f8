#include "app/RequestServer.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

namespace quindle {

RequestServer::RequestServer()
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool RequestServer::eventFilter(QObject* watched, QEvent* event)
{
    // The accessibility bridge receives each request as a call queued from the D-Bus thread to
    // its D-Bus object.
    if (event->type() == QEvent::MetaCall && watched->inherits("QDBusVirtualObject") &&
        std::find(m_receivers.begin(), m_receivers.end(), watched) == m_receivers.end())
        m_receivers.emplace_back(watched);
    return false;
}

bool RequestServer::serve()
{
    if (m_receivers.empty() || !QAccessible::isActive())
        return false;
    for (const QPointer<QObject>& receiver : m_receivers) {
        if (receiver)
            QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    }
    return true;
}

} // namespace quindle
