#pragma once

#include <QAccessible>
#include <QFrame>
#include <QPushButton>
#include <QSlider>
#include <QWidget>

#include <cstdint>
#include <functional>

namespace quindle {

// A push button with the integer Tag that the Stop button uses as the stop request.
class TagButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

// A filled rectangle whose brush colour is the window system's colour value (red in the low byte).
class Shape : public QWidget {
    Q_OBJECT
public:
    explicit Shape(QWidget* parent = nullptr);
    uint32_t brushColor() const { return m_color; }
    void setBrushColor(uint32_t color);
    // What the colour means, for a screen reader: a state (checked while on) and its description.
    bool isOn() const { return m_on; }
    void setIndication(bool on, const QString& description);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    uint32_t m_color = 255;
    bool m_on = false;
};

// An invisible spot that a screen reader speaks each time it is given a text: a notification in the
// run indicator (a status bar), which Orca reads as the bare text, without a role name.
class Announcer : public QWidget {
    Q_OBJECT
public:
    explicit Announcer(QWidget* parent);
    void announce(const QString& text);
};

// A panel with bevels and an optional centred caption.
class Panel : public QFrame {
    Q_OBJECT
public:
    enum class Bevel { Lowered, Raised };
    Panel(Bevel bevel, QWidget* parent = nullptr);
    void setCaption(const QString& caption);
    QString caption() const { return m_caption; }
    // Its role for a screen reader: a group by default; a notice is an alert, announced when shown.
    QAccessible::Role accessibleRole() const { return m_role; }
    void setAccessibleRole(QAccessible::Role role) { m_role = role; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_caption;
    QAccessible::Role m_role = QAccessible::Grouping;
};

// A horizontal trackbar: arrow keys step 1, page keys 2, tick marks below the track.
class Trackbar : public QSlider {
    Q_OBJECT
public:
    Trackbar(int minimum, int maximum, int position, int tickInterval, QWidget* parent = nullptr);
    int Position() const { return value(); }
    void setPosition(int position) { setValue(position); }
    // What a screen reader is told as the value of a position; unset, the position itself.
    void setAccessibleScale(std::function<double(int)> scale) { m_scale = std::move(scale); }
    double accessibleValue(int position) const { return m_scale ? m_scale(position) : position; }
    bool scaled() const { return bool(m_scale); }

private:
    std::function<double(int)> m_scale;
};

} // namespace quindle
