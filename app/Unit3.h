#pragma once

#include "app/OkWindow.h"

class QPlainTextEdit;

namespace quindle {

// The Help window: a page of usage notes. Created hidden with the main window and kept for
// every showing.
class TForm3 : public OkWindow {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    // The help page, lines broken by hand to fit the memo.
    static QString helpText();

    QPlainTextEdit* Memo1;
};

} // namespace quindle
