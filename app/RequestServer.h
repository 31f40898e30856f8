#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

namespace quindle {

// Answers a screen reader's requests while the send loop sleeps, so that it waits a few
// milliseconds rather than until the next element's message processing (up to 600 ms at the
// slowest speed). Only the requests, and the screen reader's answers about key presses (which
// post the held key for the next message processing), are served: no input, timer or other event
// is dispatched inside a sleep. Installed as the real clock's wait hook.
class RequestServer final : public QObject {
public:
    // wake: wakes the sleep to serve again; called on the D-Bus thread each time it has handed
    // its messages on and is about to wait, so that a request is answered as soon as it arrives.
    explicit RequestServer(std::function<void()> wake = {});
    ~RequestServer() override;

    // Delivers the requests queued so far; true while a screen reader is connected.
    bool serve();
    // Whether the requests are being served now: what they trigger then is to be deferred to the
    // next message processing, so that it never runs inside a tone.
    static bool serving();
    // A key press or release has gone to the screen reader, which holds it until it answers.
    bool keyHeld() const { return m_keysHeld > 0; }
    // Forgets held keys: their answers come later, and the keys with them.
    void forgetHeldKeys() { m_keysHeld = 0; }
    // Marks the requests as being served while it lives.
    class Serving {
    public:
        Serving();
        ~Serving();
        Serving(const Serving&) = delete;
        Serving& operator=(const Serving&) = delete;
    };

protected:
    // Learns the objects that receive the screen reader's requests, as they are delivered.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchDBusThread();

    std::function<void()> m_wake;
    std::vector<QPointer<QObject>> m_receivers;
    QMetaObject::Connection m_dbusWake;
    QPointer<QObject> m_keyAdaptor; // the bridge's object that holds key events
    int m_keysHeld = 0;
};

} // namespace quindle
