#include "app/OkWindow.h"

#include "app/WindowManagement.h"

#include <QKeyEvent>
#include <QPushButton>

namespace quindle {

OkWindow::OkWindow(const QString& name, const QString& caption, QSize clientSize, const QFont& font,
                   QRect okGeometry, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(name);
    setWindowTitle(caption);
    setFixedSize(clientSize);
    setFont(font);
    QPalette buttonFace = palette();
    buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
    setPalette(buttonFace);
    setAutoFillBackground(true);

    // Created first, so that it comes first in the tab order and takes the focus.
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(okGeometry);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &OkWindow::Button1Click);
    rejectWhenMinimised(this);
}

void OkWindow::showAt(QWidget* mainWindow)
{
    // For a window, pos() and move() are the outer frame's top-left corner.
    if (programPlacesWindows())
        move(mainWindow->pos() + QPoint(50, 40));
    Button1->setFocus();
    exec();
    // The main window takes the keyboard back: where no window manager hands it on, or another
    // dialog closed just before, it would be left without it.
    if (mainWindow->isVisible())
        mainWindow->activateWindow();
}

void OkWindow::Button1Click()
{
    close();
}

void OkWindow::keyPressEvent(QKeyEvent* event)
{
    // Esc closes the window as OK does: from the keyboard it is the one way out that does not
    // depend on where the focus is.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        Button1Click();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quindle
