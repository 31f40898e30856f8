#pragma once

#include <QString>

namespace quindle {

// The buttons of the confirmation box.
enum class Answer { Yes, No, Cancel };

// The memo and the questions, as the document commands see them. The main window implements it.
class DocumentView {
public:
    virtual ~DocumentView() = default;

    virtual bool memoModified() const = 0;
    virtual void memoSetModified(bool modified) = 0;
    // Memo.Clear: empties the text and lowers the modified flag.
    virtual void memoClear() = 0;
    // The whole text, lines separated by CR LF.
    virtual QString memoText() const = 0;
    // Replaces the whole text (CR LF line ends already).
    virtual void memoSetText(const QString& text) = 0;
    virtual void memoSetFocus() = 0;

    virtual Answer confirm(const QString& text) = 0;
    virtual void error(const QString& text) = 0;
    virtual bool executeOpen(QString& fileName) = 0;
    virtual bool executeSave(QString& fileName) = 0;
};

} // namespace quindle
