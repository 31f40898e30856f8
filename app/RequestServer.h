#pragma once

#include <QObject>
#include <QPointer>

#include <vector>

namespace quindle {

// Answers a screen reader's requests while the send loop sleeps, so that it waits a few
// milliseconds rather than until the next element's message processing (up to 600 ms at the
// slowest speed). Only the requests are served: no input, timer or other event is dispatched
// inside a sleep. Installed as the real clock's wait hook.
class RequestServer final : public QObject {
public:
    RequestServer();

    // Delivers the requests queued so far; true while a screen reader is connected.
    bool serve();

protected:
    // Learns the objects that receive the screen reader's requests, as they are delivered.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<QPointer<QObject>> m_receivers;
};

} // namespace quindle
