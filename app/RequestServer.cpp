#include "app/RequestServer.h"

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEvent>
#include <QThread>

#include <algorithm>

namespace quindle {

namespace {

bool g_serving = false;

} // namespace

RequestServer::RequestServer(std::function<void()> wake) : m_wake(std::move(wake))
{
    QCoreApplication::instance()->installEventFilter(this);
}

RequestServer::~RequestServer()
{
    disconnect(m_dbusWake);
}

bool RequestServer::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    // The bridge holds each key press and release, once a screen reader listens to keys, and hands
    // it on when the screen reader has answered. Seen here first (this filter is installed again
    // after the bridge's), so that the answer can be awaited at the message point.
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && event->spontaneous() && m_keyAdaptor &&
        QAccessible::isActive())
        ++m_keysHeld;
    if (type != QEvent::MetaCall)
        return false;
    if (watched == m_keyAdaptor && m_keysHeld > 0)
        --m_keysHeld;
    // The accessibility bridge receives each request as a call queued from the D-Bus thread to
    // its D-Bus object, and the screen reader's verdict on a held key as a queued reply.
    const bool keys = watched->inherits("QSpiApplicationAdaptor");
    if ((keys || watched->inherits("QDBusVirtualObject")) &&
        std::find(m_receivers.begin(), m_receivers.end(), watched) == m_receivers.end()) {
        m_receivers.emplace_back(watched);
        watchDBusThread();
        if (keys) {
            m_keyAdaptor = watched;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    QCoreApplication::instance()->removeEventFilter(this);
                    QCoreApplication::instance()->installEventFilter(this);
                },
                Qt::QueuedConnection);
        }
    }
    return false;
}

void RequestServer::watchDBusThread()
{
    if (m_dbusWake || !m_wake)
        return;
    // Every connection of the process is served by one D-Bus thread, which posts each request to
    // this thread and then waits again: that is the moment to wake the sleep. The bridge asks the
    // session bus where the accessibility bus is, so that bus is connected already.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusConnectionInterface* busObject = bus.isConnected() ? bus.interface() : nullptr;
    QThread* dbusThread = busObject ? busObject->thread() : nullptr;
    if (!dbusThread || dbusThread == thread())
        return;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(dbusThread))
        m_dbusWake = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, m_wake,
                             Qt::DirectConnection);
}

bool RequestServer::serve()
{
    if (m_receivers.empty() || !QAccessible::isActive())
        return false;
    const Serving serving;
    for (const QPointer<QObject>& receiver : m_receivers) {
        if (receiver)
            QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    }
    return true;
}

RequestServer::Serving::Serving()
{
    g_serving = true;
}

RequestServer::Serving::~Serving()
{
    g_serving = false;
}

bool RequestServer::serving()
{
    return g_serving;
}

} // namespace quindle
