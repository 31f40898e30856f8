#include "app/Accessible.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include <algorithm>
#include <cmath>
#include <utility>

namespace quindle {

namespace {

// NUL cannot travel in a screen reader's strings; the window shows it as a box, a screen reader
// gets the replacement character in its place, so that the text and its offsets stay whole.
QString exposed(QString s)
{
    s.replace(QChar(0), QChar::ReplacementCharacter);
    return s;
}

QString withLf(QString s)
{
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return exposed(std::move(s));
}

// The memo as an editable multi-line text. Offsets count each CR LF as one "\n"; -2 stands for
// the caret, as Qt's own text interfaces take it.
class MemoAccessible : public QAccessibleWidget,
                       public QAccessibleTextInterface,
                       public QAccessibleEditableTextInterface {
public:
    explicit MemoAccessible(MemoEdit* memo) : QAccessibleWidget(memo, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.multiLine = true;
        s.selectableText = true;
        s.editable = !memo()->isReadOnly();
        s.readOnly = memo()->isReadOnly();
        return s;
    }

    // Text.
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && selectionCount() == 1) {
            *startOffset = model().lfOffset(model().selStart());
            *endOffset = model().lfOffset(model().selEnd());
        }
    }
    int selectionCount() const override
    {
        return !memo()->accessibleQuiet() && model().selEnd() > model().selStart() ? 1 : 0;
    }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0)
            memo()->setSelStart(model().caret());
    }
    void setSelection(int, int startOffset, int endOffset) override
    {
        const int from = pos(std::min(startOffset, endOffset));
        memo()->setSelStart(from);
        memo()->setSelLength(pos(std::max(startOffset, endOffset)) - from);
    }
    int cursorPosition() const override { return model().lfOffset(std::min(model().caret(), end())); }
    void setCursorPosition(int position) override { memo()->setSelStart(pos(position)); }
    QString text(int startOffset, int endOffset) const override
    {
        const int from = pos(startOffset);
        return exposed(model().lfText(from, std::max(from, pos(endOffset))));
    }
    QString text(QAccessible::Text t) const override { return QAccessibleWidget::text(t); }
    int characterCount() const override { return model().lfOffset(end()); }
    QRect characterRect(int offset) const override
    {
        const QRect r = memo()->characterRect(pos(offset));
        return QRect(memo()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        const QPoint local = memo()->mapFromGlobal(point);
        if (!memo()->rect().contains(local))
            return -1;
        return model().lfOffset(std::min(memo()->positionAt(local), end()));
    }
    // The memo scrolls only with its caret; a screen reader's scroll request moves nothing.
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* startOffset, int* endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return QString();
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                             int* endOffset) const override
    {
        const int first = boundary(pos(offset), type).first;
        return first > 0 ? rangeText(boundary(model().prevPos(first), type), startOffset, endOffset)
                         : rangeText({0, 0}, startOffset, endOffset);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                         int* endOffset) const override
    {
        return rangeText(boundary(pos(offset), type), startOffset, endOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                            int* endOffset) const override
    {
        const int last = boundary(pos(offset), type).second;
        return last < end() ? rangeText(boundary(last, type), startOffset, endOffset)
                                       : rangeText({last, last}, startOffset, endOffset);
    }

    // Editable text: the user's edits, undoable, refused when read-only.
    void deleteText(int startOffset, int endOffset) override
    {
        replaceText(startOffset, endOffset, QString());
    }
    void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
    void replaceText(int startOffset, int endOffset, const QString& text) override
    {
        const int from = pos(std::min(startOffset, endOffset));
        memo()->replaceRange(from, pos(std::max(startOffset, endOffset)) - from, text);
    }

private:
    MemoEdit* memo() const { return static_cast<MemoEdit*>(widget()); }
    const MemoText& model() const { return memo()->model(); }
    // Positions past the end that a screen reader sees are taken as that end.
    int pos(int offset) const
    {
        return std::min(end(), model().posOfLfOffset(offset == -2 ? cursorPosition() : offset));
    }
    int end() const { return memo()->accessibleEnd(); }

    // [start, end) of the unit around pos, in memo positions. A line is a visual line after word
    // wrap; a sentence is taken as its paragraph.
    std::pair<int, int> boundary(int p, QAccessible::TextBoundaryType type) const
    {
        const MemoText& m = model();
        switch (type) {
        case QAccessible::CharBoundary:
            return {p, m.nextPos(p)};
        case QAccessible::WordBoundary:
            return {m.wordStartBefore(m.nextPos(p)), m.wordStartAfter(p)};
        case QAccessible::LineBoundary:
            return memo()->visualLine(p);
        case QAccessible::SentenceBoundary:
        case QAccessible::ParagraphBoundary:
            return m.paragraphAt(p);
        case QAccessible::NoBoundary:
            break;
        }
        return {0, m.length()};
    }
    QString rangeText(std::pair<int, int> range, int* startOffset, int* endOffset) const
    {
        range = {std::min(range.first, end()), std::min(range.second, end())};
        *startOffset = model().lfOffset(range.first);
        *endOffset = model().lfOffset(range.second);
        return exposed(model().lfText(range.first, range.second));
    }
};

// The run indicator: its state is checked while a run is going, its description says which.
class ShapeAccessible : public QAccessibleWidget {
public:
    explicit ShapeAccessible(Shape* shape) : QAccessibleWidget(shape, QAccessible::StatusBar) {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = static_cast<Shape*>(widget())->isOn();
        return s;
    }
};

// A panel in its given role; its caption, when it has one, is its name.
class PanelAccessible : public QAccessibleWidget {
public:
    explicit PanelAccessible(Panel* panel) : QAccessibleWidget(panel, panel->accessibleRole()) {}
    QString text(QAccessible::Text t) const override
    {
        const QString own = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && own.isEmpty())
            return static_cast<Panel*>(widget())->caption();
        return own;
    }
};

// A trackbar whose value a screen reader reads on its scale (the speed in words per minute); a value
// it sets moves the trackbar to the nearest position. A scaled value has the decimals that tell it
// from its neighbours' (one to three), and the step size says how many, since Orca rounds to it.
class TrackbarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit TrackbarAccessible(Trackbar* bar) : QAccessibleWidget(bar, QAccessible::Slider) {}
    void* interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QVariant currentValue() const override { return at(bar()->Position()); }
    void setCurrentValue(const QVariant& value) override
    {
        const double wanted = value.toDouble();
        int best = bar()->minimum();
        for (int p = bar()->minimum(); p <= bar()->maximum(); ++p) {
            if (std::abs(at(p) - wanted) < std::abs(at(best) - wanted))
                best = p;
        }
        bar()->setPosition(best);
    }
    QVariant maximumValue() const override { return std::max(at(bar()->minimum()), at(bar()->maximum())); }
    QVariant minimumValue() const override { return std::min(at(bar()->minimum()), at(bar()->maximum())); }
    QVariant minimumStepSize() const override
    {
        return bar()->scaled() ? std::pow(10.0, -decimals(bar()->Position())) : 1.0;
    }

private:
    Trackbar* bar() const { return static_cast<Trackbar*>(widget()); }
    static double rounded(double value, int decimals)
    {
        const double scale = std::pow(10.0, decimals);
        return std::round(value * scale) / scale;
    }
    int decimals(int position) const
    {
        const double value = bar()->accessibleValue(position);
        const auto distinct = [&](int other, int d) {
            return other < bar()->minimum() || other > bar()->maximum() ||
                   rounded(bar()->accessibleValue(other), d) != rounded(value, d);
        };
        int d = 1;
        while (d < 3 && !(distinct(position - 1, d) && distinct(position + 1, d)))
            ++d;
        return d;
    }
    // Rounded as spoken, so that reading and setting agree.
    double at(int position) const
    {
        return bar()->scaled() ? rounded(bar()->accessibleValue(position), decimals(position)) : position;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object)
{
    if (className == QLatin1String("quindle::Trackbar"))
        return new TrackbarAccessible(static_cast<Trackbar*>(object));
    if (className == QLatin1String("quindle::MemoEdit"))
        return new MemoAccessible(static_cast<MemoEdit*>(object));
    if (className == QLatin1String("quindle::Shape"))
        return new ShapeAccessible(static_cast<Shape*>(object));
    if (className == QLatin1String("quindle::Announcer"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
    if (className == QLatin1String("quindle::Panel"))
        return new PanelAccessible(static_cast<Panel*>(object));
    return nullptr;
}

} // namespace

void installAccessibleInterfaces()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

void notifyAccessibleTextChanged(QWidget* memo, const MemoText& model, const MemoText::Change& change,
                                 const QString& removed)
{
    if (!QAccessible::isActive())
        return;
    const int at = model.lfOffset(change.pos);
    const QString inserted = exposed(model.lfText(change.pos, change.pos + change.inserted));
    if (removed.isEmpty()) {
        QAccessibleTextInsertEvent event(memo, at, inserted);
        QAccessible::updateAccessibility(&event);
    } else if (inserted.isEmpty()) {
        QAccessibleTextRemoveEvent event(memo, at, withLf(removed));
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextUpdateEvent event(memo, at, withLf(removed), inserted);
        QAccessible::updateAccessibility(&event);
    }
}

void notifyAccessibleTextReplaced(QWidget* memo, const QString& oldText, const MemoText& model)
{
    if (!QAccessible::isActive() || (oldText.isEmpty() && model.length() == 0))
        return;
    QAccessibleTextUpdateEvent event(memo, 0, withLf(oldText), exposed(model.lfText(0, model.length())));
    QAccessible::updateAccessibility(&event);
}

void MemoAccessibleSelection::notify(QWidget* memo, const MemoText& model)
{
    if (!QAccessible::isActive())
        return;
    if (model.selStart() != start || model.selEnd() != end) {
        start = model.selStart();
        end = model.selEnd();
        QAccessibleTextSelectionEvent event(memo, model.lfOffset(start), model.lfOffset(end));
        QAccessible::updateAccessibility(&event);
    }
    if (model.caret() != caret) {
        caret = model.caret();
        QAccessibleTextCursorEvent event(memo, model.lfOffset(caret));
        QAccessible::updateAccessibility(&event);
    }
}

} // namespace quindle
