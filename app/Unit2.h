#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace quindle {

// The About window: program name, version and release date. Created hidden with the main
// window and kept for every showing.
class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    // Places the window's outer frame at mainWindow's outer frame + (50, 40) in screen pixels,
    // not kept within the screen, and shows it modally; returns when OK closed it.
    void showAt(QWidget* mainWindow);

    QPushButton* Button1;
    QFrame* Panel1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;

public Q_SLOTS:
    void Button1Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace quindle
