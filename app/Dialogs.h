#pragma once

#include "persistence/DocumentView.h"

#include <QString>

namespace quindle {

// A font as the font dialog and the settings see it.
struct FontChoice {
    QString family;
    int pointSize = 9;
    bool bold = false;
    bool italic = false;
    bool operator==(const FontChoice&) const = default;
};

// The modal questions and dialogs seam. Real: Qt dialogs over the main window. Tests: a scripted
// double that answers in order and records what was asked.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // The confirmation box: caption "Confirm", Yes (default), No, Cancel; closing it is Cancel.
    virtual Answer confirm(const QString& text) = 0;
    // The error box titled with the application title; a full stop is appended to text when its
    // last character comes after '.' in character order.
    virtual void error(const QString& text) = 0;
    // The Open and Save dialogs: fileName holds the name last chosen in that dialog on entry and
    // the chosen name on a true return.
    virtual bool executeOpen(QString& fileName) = 0;
    virtual bool executeSave(QString& fileName) = 0;
    // The font dialog, loaded with font; true and the chosen font when confirmed.
    virtual bool executeFont(FontChoice& font) = 0;
};

// The error box's text rule: a full stop when the last character comes after '.'.
inline QString errorBoxText(const QString& text)
{
    if (!text.isEmpty() && text.back() > QChar(u'.'))
        return text + u'.';
    return text;
}

} // namespace quindle
