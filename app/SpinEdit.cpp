#include "app/SpinEdit.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetrics>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QStyle>
#include <QStyleOptionSpinBox>

#include <algorithm>

namespace quindle {

namespace {

int clampValue(int value)
{
    return std::clamp(value, SpinEdit::kMinValue, SpinEdit::kMaxValue);
}

} // namespace

SpinEdit::SpinEdit(QWidget* parent) : QAbstractSpinBox(parent)
{
    // The base class has no value type of its own, so it leaves the text alone: no validator
    // refuses out-of-range input and no fix-up rewrites it behind the user's back.
    lineEdit()->setText(QString::number(kMinValue));
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
        const int value = Value();
        QAccessibleValueChangeEvent event(this, value);
        QAccessible::updateAccessibility(&event);
        Q_EMIT valueChanged(value);
    });
}

int SpinEdit::Value() const
{
    bool ok = false;
    const int value = text().toInt(&ok, 10);
    return ok ? value : kMinValue;
}

void SpinEdit::setValue(int value)
{
    lineEdit()->setText(QString::number(clampValue(value)));
}

void SpinEdit::stepBy(int steps)
{
    if (isReadOnly()) {
        QApplication::beep();
        return;
    }
    // From the value as the text reads (typed 50 steps up to 51, clamped to 100), in a 64-bit sum
    // so that a huge step count or typed number cannot overflow before the clamp.
    const qint64 stepped = qint64(Value()) + qint64(steps) * kIncrement;
    setValue(int(std::clamp<qint64>(stepped, kMinValue, kMaxValue)));
}

QAbstractSpinBox::StepEnabled SpinEdit::stepEnabled() const
{
    if (isReadOnly())
        return StepNone;
    const int value = clampValue(Value());
    StepEnabled enabled = StepNone;
    if (value < kMaxValue)
        enabled |= StepUpEnabled;
    if (value > kMinValue)
        enabled |= StepDownEnabled;
    return enabled;
}

bool SpinEdit::acceptsText(const QString& text) const
{
    const QString decimalPoint = locale().decimalPoint();
    for (const QChar c : text) {
        // Control characters are editing commands, not input; Return is refused all the same.
        if (c == u'\r' || c == u'\n')
            return false;
        if (c.unicode() < 0x20 || c == u'\x7f')
            continue;
        if ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || decimalPoint.contains(c))
            continue;
        return false;
    }
    return true;
}

void SpinEdit::refuse()
{
    QApplication::beep();
    Q_EMIT keyRefused();
}

void SpinEdit::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        refuse();
        return;
    case Qt::Key_Up:
    case Qt::Key_Down:
        event->accept();
        stepBy(event->key() == Qt::Key_Up ? 1 : -1);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        // Page keys are control keys of a one-line edit: they do nothing.
        event->accept();
        return;
    default:
        break;
    }
    // Shortcut combinations (copy, paste, select all, undo) are commands, not typed characters.
    const bool command = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (!command && !acceptsText(event->text())) {
        event->accept();
        refuse();
        return;
    }
    QAbstractSpinBox::keyPressEvent(event);
}

bool SpinEdit::event(QEvent* event)
{
    // Composed input (dead keys, input methods) would otherwise bypass the key filter. The base
    // class hands it straight to its line edit, so it is caught here, not in inputMethodEvent().
    if (event->type() == QEvent::InputMethod) {
        auto* input = static_cast<QInputMethodEvent*>(event);
        if (!acceptsText(input->commitString())) {
            input->accept();
            refuse();
            return true;
        }
    }
    return QAbstractSpinBox::event(event);
}

void SpinEdit::focusOutEvent(QFocusEvent* event)
{
    // Only the focus moving to another control clamps. An opening menu, the menu bar or another
    // window takes the focus for a while and gives it back: a typed value stays as typed meanwhile,
    // so that Save Settings Now or Exit, chosen from the menu, save it as typed.
    const Qt::FocusReason reason = event->reason();
    const bool leaving = reason != Qt::PopupFocusReason && reason != Qt::MenuBarFocusReason &&
                         reason != Qt::ActiveWindowFocusReason;
    // A text that is not an integer reads as the minimum, which is in range: it stays as typed.
    const int value = Value();
    if (leaving && value != clampValue(value))
        setValue(value);
    QAbstractSpinBox::focusOutEvent(event);
}

QSize SpinEdit::sizeHint() const
{
    ensurePolished();
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(QString::number(kMaxValue) + u' ');
    QStyleOptionSpinBox option;
    initStyleOption(&option);
    const QSize content(textWidth + 4, lineEdit()->sizeHint().height());
    return style()->sizeFromContents(QStyle::CT_SpinBox, &option, content, this);
}

QSize SpinEdit::minimumSizeHint() const
{
    return sizeHint();
}

} // namespace quindle
