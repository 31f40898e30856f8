#pragma once

#include <QDialog>

class QPushButton;

namespace quindle {

// A small fixed window closed by its OK button or Esc: a title and nothing else in its title bar
// (no system menu, no close box), the button face as background, OK first in the tab order.
// Shown modally beside the main window and kept, hidden, for the next showing. A window manager
// that draws title-bar buttons anyway may close it (as OK does) or minimise it, which closes it too.
class OkWindow : public QDialog {
    Q_OBJECT
public:
    // Places the window's outer frame at mainWindow's outer frame + (50, 40) in screen pixels,
    // not kept within the screen, and shows it modally; returns when OK closed it.
    void showAt(QWidget* mainWindow);

    QPushButton* Button1;

public Q_SLOTS:
    void Button1Click();

protected:
    OkWindow(const QString& name, const QString& caption, QSize clientSize, const QFont& font,
             QRect okGeometry, QWidget* parent);
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace quindle
