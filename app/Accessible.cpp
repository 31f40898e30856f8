#include "app/Accessible.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

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

// The menu bar's menus and their items. Qt 6.4 passes a menu item's checkability to no screen
// reader, so Orca read an unticked option as a plain command: an option is exposed as a check box
// (a radio button in an exclusive group) with its state. The menus are ours too: Qt's own counts
// only menu items and separators as its children, and Orca drops an item whose parent disowns it.
// Where the "&" that marks a caption's mnemonic stands, or -1; "&&" is a plain "&".
qsizetype mnemonicMark(const QString& text)
{
    for (qsizetype i = text.indexOf(u'&'); i >= 0 && i + 1 < text.size(); i = text.indexOf(u'&', i + 2)) {
        if (text.at(i + 1) != u'&')
            return i;
    }
    return -1;
}

class MenuItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    MenuItemAccessible(QMenu* menu, QAction* action) : m_menu(menu), m_action(action) {}

    bool isValid() const override { return m_menu && m_action; }
    QObject* object() const override { return m_action.data(); }
    QWindow* window() const override { return m_menu ? m_menu->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_menu); }
    QAccessibleInterface* child(int) const override { return nullptr; } // these menus have no submenus
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override
    {
        return m_menu->actionGeometry(m_action).translated(m_menu->mapToGlobal(QPoint(0, 0)));
    }
    QAccessible::Role role() const override
    {
        if (m_action->isSeparator())
            return QAccessible::Separator;
        if (!m_action->isCheckable())
            return QAccessible::MenuItem;
        const QActionGroup* group = m_action->actionGroup();
        return group && group->exclusionPolicy() != QActionGroup::ExclusionPolicy::None
                   ? QAccessible::RadioButton
                   : QAccessible::CheckBox;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.invisible = !m_menu->isVisible() || !m_action->isVisible();
        s.focused = m_menu->activeAction() == m_action;
        s.disabled = m_action->isSeparator() || !m_action->isEnabled();
        s.checkable = m_action->isCheckable();
        s.checked = m_action->isChecked();
        return s;
    }
    QString text(QAccessible::Text t) const override
    {
        QString caption = m_action->text();
        const qsizetype mark = mnemonicMark(caption);
        if (t == QAccessible::Name)
            return (mark < 0 ? caption : caption.remove(mark, 1))
                .replace(QLatin1String("&&"), QLatin1String("&"));
        if (t != QAccessible::Accelerator)
            return {};
        if (!m_action->shortcut().isEmpty())
            return m_action->shortcut().toString(QKeySequence::NativeText);
        return mark < 0 ? QString()
                        : QKeySequence(Qt::ALT).toString(QKeySequence::NativeText) + caption.at(mark + 1);
    }
    void* interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }
    QStringList actionNames() const override
    {
        if (m_action->isSeparator())
            return {};
        return {m_action->isCheckable() ? toggleAction() : pressAction()};
    }
    void doAction(const QString& name) override
    {
        if (m_action->isEnabled() && (name == pressAction() || name == toggleAction()))
            m_action->trigger();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QMenu> m_menu;
    QPointer<QAction> m_action;
};

class MenuAccessible : public QAccessibleWidget {
public:
    explicit MenuAccessible(QMenu* menu) : QAccessibleWidget(menu, QAccessible::PopupMenu) {}

    int childCount() const override { return int(menu()->actions().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QAction*> actions = menu()->actions();
        return index >= 0 && index < actions.size() ? item(actions.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child ? int(menu()->actions().indexOf(qobject_cast<QAction*>(child->object()))) : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        QAction* action = menu()->actionAt(menu()->mapFromGlobal(QPoint(x, y)));
        return action && !action->isSeparator() ? item(action) : nullptr;
    }
    // The menu bar's item that opens it.
    QAccessibleInterface* parent() const override
    {
        QWidget* bar = menu()->parentWidget();
        const int at = int(bar->actions().indexOf(menu()->menuAction()));
        QAccessibleInterface* barFace = QAccessible::queryAccessibleInterface(bar);
        QAccessibleInterface* opener = barFace && at >= 0 ? barFace->child(at) : nullptr;
        return opener ? opener : QAccessibleWidget::parent();
    }

private:
    QMenu* menu() const { return static_cast<QMenu*>(widget()); }
    // One interface an item, kept by Qt's cache, which drops it with its action.
    QAccessibleInterface* item(QAction* action) const
    {
        if (QAccessibleInterface* known = QAccessible::queryAccessibleInterface(action))
            return known;
        auto* made = new MenuItemAccessible(menu(), action);
        QAccessible::registerAccessibleInterface(made);
        return made;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QMenu") &&
        qobject_cast<QMenuBar*>(static_cast<QWidget*>(object)->parentWidget()))
        return new MenuAccessible(static_cast<QMenu*>(object));
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
