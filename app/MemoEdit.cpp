#include "app/MemoEdit.h"

#include "app/Accessible.h"
#include "app/MemoLayout.h"
#include "app/MemoText.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace quindle {

namespace {

constexpr int kLeftMargin = 2;  // [px]
constexpr int kRightMargin = 2; // [px]
constexpr int kTopMargin = 1;   // [px]

} // namespace

struct MemoEdit::Private {
    explicit Private(MemoEdit* owner) : q(owner), layout(model.text()) {}

    MemoEdit* q;
    MemoText model;
    MemoLayout layout;          // reads model.text()
    MemoAccessibleSelection accessibleSelection; // what a screen reader was last told
    bool accessibleQuiet = false;
    int accessibleEnd = 0; // while quiet, where the text shown to a screen reader ends
    qreal preferredX = -1;      // [px] kept by Up/Down and page moves
    bool scrollPending = false; // a scroll to the selection waits for the layout
    // What this memo asked to be repainted since its last paint, for paintPending(): a bounding
    // rectangle, cheaper to keep than a region, and the few pixels more cost little to paint.
    QRect pendingPaint;
    bool pendingPaintAll = false;

    int length() const { return model.length(); }
    int selStart() const { return model.selStart(); }
    int selEnd() const { return model.selEnd(); }
    int caret() const { return model.caret(); }

    void update(const QRect& rect)
    {
        q->viewport()->update(rect);
        pendingPaint |= rect;
    }
    void updateAll()
    {
        q->viewport()->update();
        pendingPaintAll = true;
    }

    int wrapWidth() const { return q->viewport()->width() - kLeftMargin - kRightMargin; }
    int topLine() const { return q->verticalScrollBar()->value(); }
    int visibleLines() const
    {
        return std::max(1, (q->viewport()->height() - kTopMargin) / layout.lineHeight());
    }
    int lineY(int line) const { return kTopMargin + (line - topLine()) * layout.lineHeight(); }

    void ensureLayout()
    {
        if (layout.isValid())
            return;
        layout.setWidth(wrapWidth());
        layout.relayout();
        updateScrollBar();
        if (scrollPending)
            ensureSelectionVisible();
    }
    // Lays out at once when the widget is on screen; otherwise when first needed.
    void layoutIfShown()
    {
        if (q->isVisible())
            ensureLayout();
    }

    void updateScrollBar()
    {
        QScrollBar* bar = q->verticalScrollBar();
        const int page = visibleLines();
        bar->setRange(0, std::max(0, layout.lineCount() - page));
        bar->setPageStep(page);
        bar->setSingleStep(1);
    }

    // Repaints the visual lines first..last (inclusive) where they are visible.
    void updateLines(int first, int last)
    {
        if (!layout.isValid()) {
            updateAll();
            return;
        }
        const int top = topLine();
        first = std::max(first, top);
        last = std::min(last, top + visibleLines());
        if (first > last)
            return;
        const int y = lineY(first);
        update(QRect(0, y, q->viewport()->width(), (last - first + 1) * layout.lineHeight()));
    }
    // Repaints the characters from..to, the caret at either end included; a partial line only
    // as wide as needed, so that moving a one-character highlight repaints a few pixels.
    void updateRange(int from, int to)
    {
        if (!layout.isValid()) {
            updateAll();
            return;
        }
        if (from > to)
            std::swap(from, to);
        const int pad = paintPad();
        const int right = q->viewport()->width();
        const int h = layout.lineHeight();
        const int first = layout.lineOf(from);
        const int last = layout.lineOf(to);
        const int top = topLine();
        const int bottom = top + visibleLines();
        auto xAt = [&](int line, int pos) { return kLeftMargin + int(layout.xOf(line, pos)); };
        auto updateSpan = [&](int line, int x0, int x1) {
            if (line >= top && line <= bottom)
                update(QRect(x0, lineY(line), x1 - x0, h));
        };
        if (first == last) {
            updateSpan(first, xAt(first, from) - pad, xAt(first, to) + pad + 2);
            return;
        }
        updateSpan(first, xAt(first, from) - pad, right);
        if (last > first + 1)
            updateLines(first + 1, last - 1);
        updateSpan(last, 0, xAt(last, to) + pad + 2);
    }
    // Slack around a partial repaint for glyphs that reach beyond their advance [px].
    int paintPad() const { return layout.ascent() / 2 + 1; }

    void ensureLineVisible(int line)
    {
        QScrollBar* bar = q->verticalScrollBar();
        if (line < bar->value())
            bar->setValue(line);
        else if (line >= bar->value() + visibleLines())
            bar->setValue(line - visibleLines() + 1);
    }
    void ensureSelectionVisible()
    {
        if (!layout.isValid() && !q->isVisible()) {
            scrollPending = true;
            return;
        }
        ensureLayout();
        scrollPending = false;
        const int start = selStart();
        const int end = selEnd();
        // The start wins when the selection is taller than the view.
        ensureLineVisible(layout.lineOf(end > start ? end - 1 : end));
        ensureLineVisible(layout.lineOf(start));
    }

    // The selection moved from [oldStart, oldEnd): only the lines it left and entered are repainted.
    void selectionMoved(int oldStart, int oldEnd)
    {
        updateRange(oldStart, oldEnd);
        updateRange(selStart(), selEnd());
        notifySelection();
    }
    void notifySelection()
    {
        if (!accessibleQuiet)
            accessibleSelection.notify(q, model);
    }
    void setSelection(int newAnchor, int newCaret)
    {
        const int oldStart = selStart();
        const int oldEnd = selEnd();
        model.select(newAnchor, newCaret);
        selectionMoved(oldStart, oldEnd);
    }
    // The user moved the caret: optionally extending the selection, scrolled into view.
    void moveCaret(int pos, bool extend)
    {
        setSelection(extend ? model.anchor() : pos, pos);
        ensureCaretVisible();
    }
    void ensureCaretVisible()
    {
        ensureLayout();
        ensureLineVisible(layout.lineOf(caret()));
    }

    // The user's edit, through the model: caret after it, modified raised, scrolled into view.
    bool userReplace(int pos, int removed, const QString& insert, bool typing)
    {
        const MemoText::Edit edit = model.replace(pos, removed, insert, typing);
        if (edit.status == MemoText::EditStatus::TooLong)
            QApplication::beep();
        if (edit.status != MemoText::EditStatus::Changed)
            return false;
        editedByUser(edit.change);
        preferredX = -1;
        ensureCaretVisible();
        Q_EMIT q->textEdited();
        return true;
    }
    // The model's text changed: re-wraps from the change on and repaints the lines that moved.
    void textChanged(const MemoText::Change& change)
    {
        if (layout.isValid()) {
            const int lines = layout.lineCount();
            const int first = layout.textReplaced(change.pos, change.removed, change.inserted);
            if (layout.lineCount() != lines)
                updateScrollBar();
            updateLines(first, topLine() + visibleLines());
        } else {
            updateAll();
        }
    }
    // A user edit or undo: the view and a screen reader follow.
    void editedByUser(const MemoText::Change& change)
    {
        if (!accessibleQuiet)
            notifyAccessibleTextChanged(q, model, change, model.lastRemoved());
        textChanged(change);
        notifySelection();
    }
    void insertTyped(const QString& s) { userReplace(selStart(), selEnd() - selStart(), s, true); }

    // The caret moved by lines (Up/Down/PageUp/PageDown), keeping its x.
    void moveByLines(int lines, bool extend)
    {
        ensureLayout();
        const int line = layout.lineOf(caret());
        if (preferredX < 0)
            preferredX = layout.xOf(line, caret());
        const int target = std::clamp(line + lines, 0, layout.lineCount() - 1);
        const qreal x = preferredX;
        moveCaret(layout.posAt(target, x), extend);
        preferredX = x;
    }
    int hitTest(const QPoint& point)
    {
        ensureLayout();
        const int line =
            std::clamp(topLine() + (point.y() - kTopMargin) / layout.lineHeight() - (point.y() < 0 ? 1 : 0),
                       0, layout.lineCount() - 1);
        return layout.posAt(line, point.x() - kLeftMargin);
    }

    QRect caretRect()
    {
        ensureLayout();
        const int line = layout.lineOf(caret());
        const int x = kLeftMargin + static_cast<int>(std::lround(layout.xOf(line, caret())));
        return QRect(x, lineY(line), 1, layout.lineHeight());
    }

    // The keys of keyPressEvent by intent; each returns whether it took the key.
    bool clipboardKey(int key, Qt::KeyboardModifiers mods); // clipboard and undo
    bool navigationKey(int key, Qt::KeyboardModifiers mods);
    bool editingKey(int key, Qt::KeyboardModifiers mods);

    // Draws the characters of the line that lie within [clipLeft, clipRight) [px].
    void drawLine(QPainter& p, int line, int y, bool focused, int clipLeft, int clipRight);
    // A cell that is not plain text (a line break, a control character); selColor is invalid
    // when it is not selected.
    void drawCell(QPainter& p, MemoLayout::Kind kind, const QRectF& cell, const QColor& selColor,
                  const QColor& penColor);
};

void MemoEdit::Private::drawLine(QPainter& p, int line, int y, bool focused, int clipLeft, int clipRight)
{
    const QPalette& pal = q->palette();
    const QColor textColor = pal.color(QPalette::Text);
    const QColor selColor = pal.color(focused ? QPalette::Active : QPalette::Inactive, QPalette::Highlight);
    const QColor selTextColor =
        pal.color(focused ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText);
    const int start = layout.lineStart(line);
    const int end = layout.lineEnd(line);
    const int ss = selStart();
    const int se = selEnd();
    const int h = layout.lineHeight();
    const qreal baseline = y + layout.ascent();

    int runStart = -1; // first unit of the run of plain text being collected, -1 for none
    qreal runX = 0;
    bool runSelected = false;
    qreal x = kLeftMargin;
    auto flush = [&](int to) {
        if (runStart >= 0 && to > runStart) {
            if (runSelected)
                p.fillRect(QRectF(runX, y, x - runX, h), selColor);
            p.setPen(runSelected ? selTextColor : textColor);
            p.drawText(QPointF(runX, baseline),
                       QString::fromRawData(model.text().constData() + runStart, to - runStart));
        }
        runStart = -1;
    };
    for (int i = start; i < end;) {
        const MemoLayout::Kind kind = layout.kindAt(i);
        const bool selected = i >= ss && i < se;
        const int units = kind == MemoLayout::Kind::PairHigh ? 2 : 1;
        const qreal w = layout.advance(i);
        if (x + w < clipLeft || x > clipRight) {
            flush(i);
        } else if (kind == MemoLayout::Kind::Normal || kind == MemoLayout::Kind::Space ||
                   kind == MemoLayout::Kind::PairHigh) {
            if (runStart < 0 || selected != runSelected) {
                flush(i);
                runStart = i;
                runX = x;
                runSelected = selected;
            }
        } else {
            flush(i);
            drawCell(p, kind, QRectF(x, y, w, h), selected ? selColor : QColor(),
                     selected ? selTextColor : textColor);
        }
        x += w;
        i += units;
    }
    flush(end);

    if (focused && layout.lineOf(caret()) == line) {
        const qreal cx = kLeftMargin + layout.xOf(line, caret());
        p.fillRect(QRectF(std::round(cx), y, 1, h), textColor);
    }
}

void MemoEdit::Private::drawCell(QPainter& p, MemoLayout::Kind kind, const QRectF& cell, const QColor& selColor,
                                 const QColor& penColor)
{
    // A selected line break shows as a selected cell at the line's end.
    const qreal cellW = kind == MemoLayout::Kind::BreakCr ? layout.placeholderWidth() : cell.width();
    if (selColor.isValid() && cellW > 0 && kind != MemoLayout::Kind::BreakLf)
        p.fillRect(QRectF(cell.x(), cell.y(), cellW, cell.height()), selColor);
    if (kind == MemoLayout::Kind::Control) {
        // A visible box of fixed width stands for NUL and the other control characters.
        p.setPen(penColor);
        const qreal boxH = layout.ascent() * 0.6;
        const qreal baseline = cell.y() + layout.ascent();
        p.drawRect(QRectF(cell.x() + 1, baseline - boxH, std::max<qreal>(1, cell.width() - 3), boxH));
    }
}

MemoEdit::MemoEdit(QWidget* parent) : QAbstractScrollArea(parent), d(std::make_unique<Private>(this))
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    d->layout.setFont(font(), viewport());
}

MemoEdit::~MemoEdit() = default;

const MemoText& MemoEdit::model() const
{
    return d->model;
}

QString MemoEdit::text() const
{
    return d->model.text();
}

void MemoEdit::setText(const QString& text)
{
    const QString old = d->model.text(); // shared, not copied
    d->model.setText(text);
    if (!d->accessibleQuiet)
        notifyAccessibleTextReplaced(this, old, d->model);
    d->notifySelection();
    d->preferredX = -1;
    d->scrollPending = false;
    d->layout.invalidate();
    verticalScrollBar()->setValue(0);
    d->layoutIfShown();
    d->updateAll();
}

int MemoEdit::length() const
{
    return d->length();
}

QChar MemoEdit::charAt(int pos) const
{
    return d->model.charAt(pos);
}

void MemoEdit::append(const QString& s)
{
    const int oldLength = d->length();
    const std::optional<MemoText::Change> change = d->model.append(s);
    if (!change)
        return;
    // Only a low surrogate completing a pair replaces anything: the high one, still there.
    if (!d->accessibleQuiet)
        notifyAccessibleTextChanged(this, d->model, *change, d->model.text().mid(change->pos, change->removed));
    if (!d->layout.isValid()) {
        d->updateAll(); // wrapped with the rest when first shown or asked for
        return;
    }
    // A low surrogate completing a pair narrows the old last character, which can move an earlier
    // line's break: wrap it as an edit of that character.
    if (change->pos < oldLength) {
        d->textChanged(*change);
        return;
    }
    const int lines = d->layout.lineCount();
    d->layout.textAppended();
    if (d->layout.lineCount() != lines)
        d->updateScrollBar();
    // From the last old character on, or from where a word moved on to a new line; the caret
    // drawn after the old end is erased with it.
    d->updateRange(std::max(0, std::min(oldLength, d->layout.lineEnd(lines - 1)) - 1), d->length());
}

void MemoEdit::clear()
{
    const QString old = d->model.text();
    d->model.clear();
    if (!d->accessibleQuiet)
        notifyAccessibleTextReplaced(this, old, d->model);
    d->notifySelection();
    d->preferredX = -1;
    d->scrollPending = false;
    d->layout.invalidate();
    verticalScrollBar()->setValue(0);
    d->layoutIfShown();
    d->updateAll();
}

int MemoEdit::selStart() const
{
    return d->selStart();
}

int MemoEdit::selLength() const
{
    return d->selEnd() - d->selStart();
}

void MemoEdit::setSelStart(int pos)
{
    const int oldStart = d->selStart();
    const int oldEnd = d->selEnd();
    d->model.setSelStart(pos);
    d->selectionMoved(oldStart, oldEnd);
    d->preferredX = -1;
    d->ensureSelectionVisible();
}

void MemoEdit::setSelLength(int length)
{
    const int oldStart = d->selStart();
    const int oldEnd = d->selEnd();
    d->model.setSelLength(length);
    d->selectionMoved(oldStart, oldEnd);
    d->preferredX = -1;
    d->ensureSelectionVisible();
}

void MemoEdit::paintPending()
{
    // Taken either way: a memo that cannot paint now (hidden, minimised) keeps the areas as Qt's
    // own pending updates, and the record does not grow over a long run.
    const QRect rect = std::exchange(d->pendingPaint, QRect());
    if (std::exchange(d->pendingPaintAll, false))
        viewport()->repaint();
    else if (!rect.isEmpty())
        viewport()->repaint(rect);
}

bool MemoEdit::modified() const
{
    return d->model.modified();
}

void MemoEdit::setModified(bool modified)
{
    d->model.setModified(modified);
}

void MemoEdit::setReadOnly(bool readOnly)
{
    d->model.setReadOnly(readOnly);
    setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
}

bool MemoEdit::isReadOnly() const
{
    return d->model.isReadOnly();
}

QString MemoEdit::selectedText() const
{
    return d->model.selectedText();
}

void MemoEdit::undo()
{
    const std::optional<MemoText::Change> change = d->model.undo();
    if (!change)
        return;
    d->editedByUser(*change);
    d->preferredX = -1;
    d->ensureCaretVisible();
    Q_EMIT textEdited();
}

void MemoEdit::cut()
{
    if (d->model.isReadOnly() || d->selEnd() == d->selStart())
        return;
    copy();
    deleteSelection();
}

void MemoEdit::copy() const
{
    if (d->selEnd() > d->selStart())
        QGuiApplication::clipboard()->setText(selectedText());
}

void MemoEdit::paste()
{
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime || !mime->hasText())
        return;
    d->userReplace(d->selStart(), d->selEnd() - d->selStart(), mime->text(), false);
}

void MemoEdit::deleteSelection()
{
    if (d->selEnd() > d->selStart())
        d->userReplace(d->selStart(), d->selEnd() - d->selStart(), QString(), false);
}

void MemoEdit::selectAll()
{
    d->setSelection(0, d->length());
    d->preferredX = -1;
}

int MemoEdit::lineCount() const
{
    d->ensureLayout();
    return d->layout.lineCount();
}

int MemoEdit::lineOfPosition(int pos) const
{
    d->ensureLayout();
    return d->layout.lineOf(std::clamp(pos, 0, d->length()));
}

bool MemoEdit::isUndoAvailable() const
{
    return d->model.isUndoAvailable();
}

QRect MemoEdit::characterRect(int pos) const
{
    d->ensureLayout();
    pos = std::clamp(pos, 0, d->length());
    const int line = d->layout.lineOf(pos);
    const qreal x = kLeftMargin + d->layout.xOf(line, pos);
    const qreal w = pos < d->length() ? d->layout.advance(pos) : 0;
    return QRectF(x, d->lineY(line), w, d->layout.lineHeight()).toAlignedRect().translated(viewport()->pos());
}

int MemoEdit::positionAt(const QPoint& point) const
{
    return d->hitTest(point - viewport()->pos());
}

std::pair<int, int> MemoEdit::visualLine(int pos) const
{
    d->ensureLayout();
    const int line = d->layout.lineOf(std::clamp(pos, 0, d->length()));
    return {d->layout.lineStart(line), d->layout.lineEnd(line)};
}

void MemoEdit::replaceRange(int pos, int removed, const QString& text)
{
    pos = d->model.snapped(pos, false);
    const int end = d->model.snapped(pos + std::max(0, removed), true);
    d->userReplace(pos, end - pos, text, false);
}

void MemoEdit::setAccessibleQuiet(bool quiet)
{
    if (quiet && !d->accessibleQuiet)
        d->accessibleEnd = d->selStart();
    d->accessibleQuiet = quiet;
    d->notifySelection();
}

int MemoEdit::accessibleEnd() const
{
    return d->accessibleQuiet ? std::min(d->accessibleEnd, d->length()) : d->length();
}

bool MemoEdit::accessibleQuiet() const
{
    return d->accessibleQuiet;
}

QMenu* MemoEdit::createStandardContextMenu()
{
    auto* menu = new QMenu(this);
    const bool editable = !d->model.isReadOnly();
    const bool hasSelection = d->selEnd() > d->selStart();
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    auto add = [&](const QString& caption, bool enabled, void (MemoEdit::*slot)()) {
        QAction* action = menu->addAction(caption);
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, [this, slot] { (this->*slot)(); });
        return action;
    };
    add(tr("&Undo"), editable && d->model.isUndoAvailable(), &MemoEdit::undo)->setObjectName("undo");
    menu->addSeparator();
    add(tr("Cu&t"), editable && hasSelection, &MemoEdit::cut)->setObjectName("cut");
    QAction* copyAction = menu->addAction(tr("&Copy"));
    copyAction->setObjectName("copy");
    copyAction->setEnabled(hasSelection);
    connect(copyAction, &QAction::triggered, this, [this] { copy(); });
    add(tr("&Paste"), editable && mime && mime->hasText(), &MemoEdit::paste)->setObjectName("paste");
    add(tr("&Delete"), editable && hasSelection, &MemoEdit::deleteSelection)->setObjectName("delete");
    menu->addSeparator();
    add(tr("Select &All"), d->length() > 0, &MemoEdit::selectAll)->setObjectName("selectAll");
    return menu;
}

bool MemoEdit::event(QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        // Keys that edit or move the caret belong to the memo, not to the window's shortcuts.
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        const bool ctrl = mods & Qt::ControlModifier;
        switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
        case Qt::Key_Insert:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return true;
        case Qt::Key_A:
        case Qt::Key_C:
        case Qt::Key_V:
        case Qt::Key_X:
        case Qt::Key_Z:
            if (ctrl && !(mods & Qt::AltModifier)) {
                event->accept();
                return true;
            }
            break;
        default:
            break;
        }
        // Plain typing; Alt+letter stays a menu's access key.
        if (!(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) && !key->text().isEmpty() &&
            key->key() != Qt::Key_Escape && key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void MemoEdit::paintEvent(QPaintEvent* event)
{
    d->pendingPaint = QRect();
    d->pendingPaintAll = false;
    d->ensureLayout();
    QPainter p(viewport());
    p.setFont(d->layout.font());
    const QRect area = event->rect();
    const int h = d->layout.lineHeight();
    const int top = d->topLine();
    const int first = top + std::max(0, (area.top() - kTopMargin) / h);
    const int last = std::min(d->layout.lineCount() - 1, top + (area.bottom() - kTopMargin) / h);
    const bool focused = hasFocus();
    const int pad = d->paintPad();
    for (int line = first; line <= last; ++line)
        d->drawLine(p, line, d->lineY(line), focused, area.left() - pad, area.right() + 1 + pad);
}

void MemoEdit::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (d->wrapWidth() != d->layout.width()) {
        // Keep the first visible character at the top across the new wrap.
        const int topPos = d->layout.isValid() ? d->layout.lineStart(d->topLine()) : -1;
        d->layout.setWidth(d->wrapWidth());
        d->ensureLayout();
        if (topPos >= 0)
            verticalScrollBar()->setValue(d->layout.lineOf(topPos));
    } else if (d->layout.isValid()) {
        d->updateScrollBar();
    }
    d->updateAll();
}

void MemoEdit::keyPressEvent(QKeyEvent* event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    event->accept();
    if (d->clipboardKey(key, mods) || d->navigationKey(key, mods) || d->editingKey(key, mods))
        return;
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Escape) {
        event->ignore(); // focus moves and dialogs close elsewhere; never typed
        return;
    }
    // Typed text, including characters that have no key of their own (NUL, dead-key results).
    // Ctrl, Alt and Meta combinations are commands, not text.
    const QString typed = event->text();
    if (!typed.isEmpty() && !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        if (d->model.isReadOnly())
            QApplication::beep();
        else
            d->insertTyped(typed);
        return;
    }
    event->ignore();
}

bool MemoEdit::Private::clipboardKey(int key, Qt::KeyboardModifiers mods)
{
    const bool ctrl = mods & Qt::ControlModifier;
    const bool shift = mods & Qt::ShiftModifier;
    const bool alt = mods & Qt::AltModifier;
    if (ctrl && !alt) {
        switch (key) {
        case Qt::Key_A: q->selectAll(); return true;
        case Qt::Key_C:
        case Qt::Key_Insert: q->copy(); return true;
        case Qt::Key_X: q->cut(); return true;
        case Qt::Key_V: q->paste(); return true;
        case Qt::Key_Z: q->undo(); return true;
        default: break;
        }
    }
    if (alt && !ctrl && key == Qt::Key_Backspace) {
        q->undo();
        return true;
    }
    if (key == Qt::Key_Delete && shift && !ctrl) {
        q->cut();
        return true;
    }
    if (key == Qt::Key_Insert) {
        if (shift && !ctrl)
            q->paste();
        return true; // no overwrite mode
    }
    return false;
}

bool MemoEdit::Private::navigationKey(int key, Qt::KeyboardModifiers mods)
{
    const bool ctrl = mods & Qt::ControlModifier;
    const bool shift = mods & Qt::ShiftModifier;
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const bool left = key == Qt::Key_Left;
        if (!shift && !ctrl && selEnd() > selStart())
            moveCaret(left ? selStart() : selEnd(), false);
        else if (ctrl)
            moveCaret(left ? model.wordStartBefore(caret()) : model.wordStartAfter(caret()), shift);
        else
            moveCaret(left ? model.prevPos(caret()) : model.nextPos(caret()), shift);
        preferredX = -1;
        return true;
    }
    case Qt::Key_Up:
    case Qt::Key_Down:
        moveByLines(key == Qt::Key_Up ? -1 : 1, shift);
        return true;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        ensureLayout();
        const int page = visibleLines();
        QScrollBar* bar = q->verticalScrollBar();
        const int caretLine = layout.lineOf(caret()) - bar->value();
        moveByLines(key == Qt::Key_PageUp ? -page : page, shift);
        // The view moves by the same page, so the caret keeps its row on screen where it can.
        bar->setValue(layout.lineOf(caret()) - caretLine);
        return true;
    }
    case Qt::Key_Home:
    case Qt::Key_End: {
        ensureLayout();
        const int line = layout.lineOf(caret());
        if (key == Qt::Key_Home)
            moveCaret(ctrl ? 0 : layout.lineStart(line), shift);
        else
            moveCaret(ctrl ? length() : layout.caretEnd(line), shift);
        preferredX = -1;
        return true;
    }
    default:
        return false;
    }
}

bool MemoEdit::Private::editingKey(int key, Qt::KeyboardModifiers)
{
    switch (key) {
    case Qt::Key_Backspace:
        if (selEnd() > selStart())
            q->deleteSelection();
        else if (caret() > 0)
            userReplace(model.prevPos(caret()), caret() - model.prevPos(caret()), QString(), false);
        return true;
    case Qt::Key_Delete:
        if (selEnd() > selStart())
            q->deleteSelection();
        else if (caret() < length())
            userReplace(caret(), model.nextPos(caret()) - caret(), QString(), false);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        insertTyped(QStringLiteral("\r\n"));
        return true;
    default:
        return false;
    }
}

void MemoEdit::inputMethodEvent(QInputMethodEvent* event)
{
    if (d->model.isReadOnly()) {
        event->ignore();
        return;
    }
    const QString commit = event->commitString();
    if (!commit.isEmpty() || event->replacementLength() > 0) {
        int from = d->selStart();
        int to = d->selEnd();
        if (event->replacementLength() > 0 || event->replacementStart() != 0) {
            from = d->model.snapped(d->caret() + event->replacementStart(), false);
            to = d->model.snapped(from + event->replacementLength(), true);
        }
        d->userReplace(from, to - from, commit, true);
    }
    event->accept();
}

QVariant MemoEdit::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImEnabled:
        return !d->model.isReadOnly();
    case Qt::ImCursorRectangle:
        return d->caretRect().translated(viewport()->pos());
    case Qt::ImFont:
        return d->layout.font();
    case Qt::ImCursorPosition:
    case Qt::ImAnchorPosition:
    case Qt::ImSurroundingText: {
        d->ensureLayout();
        const int line = d->layout.lineOf(d->caret());
        const int start = d->layout.lineStart(line);
        const int end = d->layout.lineEnd(line);
        if (query == Qt::ImSurroundingText)
            return d->model.text().mid(start, end - start);
        const int pos =
            query == Qt::ImCursorPosition ? d->caret() : std::clamp(d->model.anchor(), start, end);
        return pos - start;
    }
    case Qt::ImCurrentSelection:
        return selectedText();
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void MemoEdit::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const int pos = d->hitTest(event->position().toPoint());
    d->moveCaret(pos, event->modifiers() & Qt::ShiftModifier);
    d->preferredX = -1;
    event->accept();
}

void MemoEdit::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    QPoint point = event->position().toPoint();
    // Dragging past the top or bottom edge scrolls a line per move.
    if (point.y() < 0)
        point.setY(-1);
    else if (point.y() >= viewport()->height())
        point.setY(kTopMargin + d->visibleLines() * d->layout.lineHeight());
    d->moveCaret(d->hitTest(point), true);
    d->preferredX = -1;
}

void MemoEdit::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const auto [from, to] = d->model.wordAt(d->hitTest(event->position().toPoint()));
    d->setSelection(from, to);
    d->ensureCaretVisible();
}

void MemoEdit::contextMenuEvent(QContextMenuEvent* event)
{
    // popup(), not exec(): a run going on below keeps running while the menu is open.
    QMenu* menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void MemoEdit::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    d->updateRange(d->selStart(), d->selEnd());
}

void MemoEdit::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    d->updateRange(d->selStart(), d->selEnd());
}

void MemoEdit::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        d->layout.setFont(font(), viewport());
        d->layoutIfShown();
        if (d->layout.isValid())
            d->ensureSelectionVisible();
        d->updateAll();
    } else if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange ||
               event->type() == QEvent::ActivationChange) {
        d->updateAll();
    }
}

void MemoEdit::scrollContentsBy(int, int dy)
{
    // dy is in lines. Moving the pixels already drawn leaves only the lines scrolled in to paint,
    // which matters when a run's highlight or appended groups scroll the view line by line.
    const int lines = d->visibleLines();
    // What waits to be painted has moved with the pixels: paintPending() paints all of it.
    d->pendingPaintAll = true;
    if (!d->layout.isValid() || std::abs(dy) >= lines) {
        viewport()->update();
        return;
    }
    const int width = viewport()->width();
    const int bottom = kTopMargin + lines * d->layout.lineHeight();
    viewport()->scroll(0, dy * d->layout.lineHeight());
    // The margin above the first line and the part-line below the last take no moved pixels.
    viewport()->update(0, 0, width, kTopMargin);
    viewport()->update(0, bottom, width, viewport()->height() - bottom);
}

} // namespace quindle
