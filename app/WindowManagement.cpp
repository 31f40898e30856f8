#include "app/WindowManagement.h"

#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace quindle {

namespace {

void centreNow(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QSize frame = window->frameGeometry().size();
    window->move(area.x() + (area.width() - frame.width()) / 2,
                 area.y() + (area.height() - frame.height()) / 2);
}

// Centres its window again, by the outer frame, once the frame is known, then goes.
class FrameCentring final : public QObject {
public:
    explicit FrameCentring(QWidget* window) : QObject(window), m_window(window)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A window manager that keeps the client where it asked (static gravity) sends no move
        // when it adds the frame; the first paint comes after it.
        const QEvent::Type type = event->type();
        if (watched == m_window && (type == QEvent::Move || type == QEvent::Paint) && m_window->isVisible() &&
            m_window->frameGeometry().size() != m_window->size()) {
            m_window->removeEventFilter(this);
            centreNow(m_window);
            deleteLater();
        }
        return false;
    }

private:
    QWidget* m_window;
};

// Rejects its dialog, restored, whenever the dialog is minimised while shown.
class RejectWhenMinimised final : public QObject {
public:
    explicit RejectWhenMinimised(QDialog* dialog) : QObject(dialog), m_dialog(dialog)
    {
        dialog->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_dialog && event->type() == QEvent::WindowStateChange && m_dialog->isMinimized() &&
            m_dialog->isVisible()) {
            QMetaObject::invokeMethod(
                m_dialog, [dialog = m_dialog] { dialog->showNormal(), dialog->reject(); },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QDialog* m_dialog;
};

} // namespace

bool programPlacesWindows()
{
    // "wayland" and "wayland-egl"; a move there is ignored at best.
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void centreFrameOnScreen(QWidget* window)
{
    if (!programPlacesWindows())
        return;
    centreNow(window);
    new FrameCentring(window);
}

void rejectWhenMinimised(QDialog* dialog)
{
    new RejectWhenMinimised(dialog);
}

} // namespace quindle
