#pragma once

#include "app/Dialogs.h"

#include <QPointer>
#include <QString>

class QWidget;

namespace quindle {

// The real modal questions and dialogs, owned by the main window. Every dialog is Qt's own
// (never the desktop's native one), so it behaves alike on every desktop and in tests. Each is
// built for one showing and deleted after it, also when a nested event loop deleted the parent.
class QtDialogs final : public Dialogs {
public:
    // The title of the error box, the application title.
    static inline const QString kApplicationTitle = QStringLiteral("QuindleII");
    static inline const QString kConfirmTitle = QStringLiteral("Confirm");
    // The one filter of both file dialogs, and the extension added to a name typed without one.
    static inline const QString kTextFilter = QStringLiteral("Text Files (*.txt)");
    static inline const QString kDefaultSuffix = QStringLiteral("txt");

    explicit QtDialogs(QWidget* parent);

    // Yes (the default button), No, Cancel (Esc); centred on the screen. Closing the box is Cancel.
    Answer confirm(const QString& text) override;
    // Critical icon, one OK button, text after the full-stop rule of errorBoxText().
    void error(const QString& text) override;
    // Accepts a typed name of a file that does not exist; adds ".txt" to a name without a dot.
    bool executeOpen(QString& fileName) override;
    // Replaces an existing file without asking.
    bool executeSave(QString& fileName) override;
    // Typeface, style and size only: no effects (underline, strike-out, colour).
    bool executeFont(FontChoice& font) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace quindle
