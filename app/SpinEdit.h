#pragma once

#include <QAbstractSpinBox>
#include <QString>

namespace quindle {

// The numeric spin box of the tone pitch. Its text is what the user typed, kept as typed: the
// value is parsed from it on every read, so an out-of-range number stays visible (and is read as
// typed) until the focus moves to another control or the value is set. Only digits, the signs, the decimal
// separator and control keys can be typed; any other key, Enter included, beeps and is dropped.
class SpinEdit : public QAbstractSpinBox {
    Q_OBJECT
    // Read by Qt's accessible spin box: a screen reader's value, minimum and maximum.
    Q_PROPERTY(int value READ Value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(int minimum READ minimum CONSTANT)
    Q_PROPERTY(int maximum READ maximum CONSTANT)
public:
    static constexpr int kMinValue = 100;
    static constexpr int kMaxValue = 20000;
    static constexpr int kIncrement = 1;

    explicit SpinEdit(QWidget* parent = nullptr);

    // The integer in the text, or kMinValue when the text is not an integer. Not clamped.
    int Value() const;
    // Shows value clamped to kMinValue..kMaxValue.
    void setValue(int value);

    int minimum() const { return kMinValue; }
    int maximum() const { return kMaxValue; }

    // Steps from Value() as the text reads; the result is clamped.
    void stepBy(int steps) override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    // The text changed, by typing, pasting, stepping or setValue(); value is Value().
    void valueChanged(int value);
    // A key was refused (the box has beeped).
    void keyRefused();

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool acceptsText(const QString& text) const;
    void refuse();
};

} // namespace quindle
