#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <memory>
#include <utility>

class QMenu;

namespace quindle {

class MemoText;

// The memo: a multi-line, word-wrapping text box with a vertical scroll bar that stays fast on
// texts of many megabytes, including one single paragraph of that size (a long practice run).
// The text, its positions (CR LF counts as two), the selection and the editing rules are a
// MemoText (model()); this widget paints, scrolls and turns input into the model's edits.
// Appending, reading one character and setting the selection cost no copy of the text and no
// layout of the whole text.
class MemoEdit : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit MemoEdit(QWidget* parent = nullptr);
    ~MemoEdit() override;

    const MemoText& model() const;
    QString text() const;
    // Replaces the text; lone CR and lone LF become CR LF. The caret goes after the last character
    // and the view to the top; modified() does not change and the undo step is dropped.
    void setText(const QString& text);
    int length() const;
    QChar charAt(int pos) const; // 0 <= pos < length()
    // Appends at the end; does not move the caret and does not change modified().
    void append(const QString& s);
    // Empties the text, puts the caret at 0 and lowers the modified flag.
    void clear();

    int selStart() const;
    int selLength() const;
    // Sets the caret (collapsing the selection), clamped to the text, and scrolls it into view. A
    // position between CR and LF moves back before the CR.
    void setSelStart(int pos);
    // Selects from selStart() on, clamped to the text, and scrolls it into view. An end between CR
    // and LF moves on after the LF, so a selected line break is selected whole.
    void setSelLength(int length);
    // Paints at once what this memo has asked to be repainted (a moved selection, appended text),
    // rather than at the next pass of the event loop.
    void paintPending();

    // Raised by the user's edits only (typing, paste, cut, delete), lowered by clear().
    bool modified() const;
    void setModified(bool modified);

    void setReadOnly(bool readOnly);
    bool isReadOnly() const;

    QString selectedText() const;
    // Visual lines after word wrap at the present width; a position where a line wraps belongs
    // to the following line.
    int lineCount() const;
    int lineOfPosition(int pos) const;
    // The user's editing commands, as from the keyboard or the context menu: each counts as a
    // user edit (raises modified(), emits textEdited()) and does nothing when read-only.
    void undo();
    void cut();
    void paste();
    void deleteSelection();
    void copy() const;
    void selectAll();
    bool isUndoAvailable() const;
    // The context menu (Undo, Cut, Copy, Paste, Delete, Select All) with its items enabled for
    // the present state; it is parented to the memo and the caller may delete it.
    QMenu* createStandardContextMenu();

    // For a screen reader, in widget coordinates: the cell of the character at pos, the caret
    // position nearest to a point, the visual line [start, end) holding pos, and an edit of
    // [pos, pos + removed) as the user's (nothing when read-only).
    QRect characterRect(int pos) const;
    int positionAt(const QPoint& point) const;
    std::pair<int, int> visualLine(int pos) const;
    void replaceRange(int pos, int removed, const QString& text);
    // While quiet (a run is keying), a screen reader is told of no change and sees the text only up
    // to where the caret stood when the quiet began, with the caret there and nothing selected: it
    // would speak a run's characters ahead of their sound, or as if typed. Where caret and
    // selection stand is reported when the quiet ends; the text is read afresh from then on.
    void setAccessibleQuiet(bool quiet);
    bool accessibleQuiet() const;
    // The end of the text that a screen reader sees.
    int accessibleEnd() const;

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

Q_SIGNALS:
    // The user changed the text.
    void textEdited();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quindle
