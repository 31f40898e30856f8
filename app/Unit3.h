#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace quindle {

// The Help window: a page of usage notes. Created hidden with the main window and kept for
// every showing.
class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    // Places the window's outer frame at mainWindow's outer frame + (50, 40) in screen pixels,
    // not kept within the screen, and shows it modally; returns when OK closed it.
    void showAt(QWidget* mainWindow);

    // The help page, lines broken by hand to fit the memo.
    static QString helpText();

    QPushButton* Button1;
    QPlainTextEdit* Memo1;

public Q_SLOTS:
    void Button1Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace quindle
