#pragma once

#include <QAbstractScrollArea>
#include <QString>

namespace quindle {

// The memo: a multi-line, word-wrapping text box with a vertical scroll bar that stays fast on
// texts of many megabytes, including one single paragraph of that size (a long practice run).
// The text is held with CR LF line ends, so positions count CR LF as two: a position is an index
// into text(). Line breaks typed, pasted or set are stored as CR LF; the caret and the selection
// never stand between a CR and its LF. Appending, reading one character and setting the
// selection cost no copy of the text and no layout of the whole text.
class MemoEdit : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit MemoEdit(QWidget* parent = nullptr);
    ~MemoEdit() override;

    QString text() const;
    // Replaces the text; lone CR and lone LF become CR LF. Does not change modified().
    void setText(const QString& text);
    int length() const;
    QChar charAt(int pos) const; // 0 <= pos < length()
    // Appends at the end; does not move the caret and does not change modified().
    void append(const QString& s);
    // Empties the text and lowers the modified flag.
    void clear();

    int selStart() const;
    int selLength() const;
    // Sets the caret (collapsing the selection), clamped to the text, and scrolls it into view.
    void setSelStart(int pos);
    // Selects from selStart() on, clamped to the text, and scrolls it into view.
    void setSelLength(int length);

    // Raised by the user's edits only (typing, paste, cut, delete), lowered by clear().
    bool modified() const;
    void setModified(bool modified);

    void setReadOnly(bool readOnly);
    bool isReadOnly() const;

Q_SIGNALS:
    // The user changed the text.
    void textEdited();

protected:
    // The widget's own event handlers are declared in MemoEdit.cpp's private part.
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
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
