#pragma once

#include "app/MemoText.h"

#include <QString>

class QWidget;

namespace quindle {

// Screen-reader access to the program's own widgets: the memo's text, caret and selection (with
// each CR LF as one "\n", as screen readers count), the run indicator's state and a panel's role.
// Installs the interfaces once, before the first widget is asked for.
void installAccessibleInterfaces();

// The memo's changes as screen-reader events. They cost nothing while no screen reader listens,
// and never copy more than the changed text.
void notifyAccessibleTextChanged(QWidget* memo, const MemoText& model, const MemoText::Change& change,
                                 const QString& removed);
void notifyAccessibleTextReplaced(QWidget* memo, const QString& oldText, const MemoText& model);

// The caret and selection a screen reader was last told of; notify() tells it of a change.
struct MemoAccessibleSelection {
    int start = 0;
    int end = 0;
    int caret = 0;
    void notify(QWidget* memo, const MemoText& model);
};

} // namespace quindle
