#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace quindle {

// Runs action on the application-modal window of type W as soon as it is shown, from inside
// the window's own event loop; call it before the code that opens the window. If no such window
// shows within timeoutMs, the test fails and whatever modal dialog is up is rejected, so that a
// broken test ends instead of hanging in exec(). The poll dies with context.
template <typename W> void whenModal(QObject* context, std::function<void(W*)> action, int timeoutMs = 5000)
{
    auto* poll = new QTimer(context);
    auto waited = std::make_shared<QElapsedTimer>();
    waited->start();
    QObject::connect(poll, &QTimer::timeout, context, [poll, waited, action, timeoutMs] {
        auto* window = qobject_cast<W*>(QApplication::activeModalWidget());
        if (window != nullptr && window->isVisible()) {
            poll->stop();
            poll->deleteLater();
            action(window);
        } else if (waited->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no modal " << W::staticMetaObject.className() << " was shown";
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->reject();
        }
    });
    poll->start(5);
}

} // namespace quindle
