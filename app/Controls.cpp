#include "app/Controls.h"

#include <QPainter>

namespace quindle {

Shape::Shape(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Shape::setBrushColor(uint32_t color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void Shape::setIndication(bool on, const QString& description)
{
    setAccessibleDescription(description); // tells a screen reader itself when it changes
    if (on == m_on)
        return;
    m_on = on;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

Announcer::Announcer(QWidget* parent) : QWidget(parent)
{
    setGeometry(0, 0, 0, 0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
}

void Announcer::announce(const QString& text)
{
    if (!QAccessible::isActive())
        return;
    setAccessibleName(text);
    // Shown again, it is spoken again.
    hide();
    show();
}

void Shape::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QColor fill(int(m_color & 0xFF), int((m_color >> 8) & 0xFF), int((m_color >> 16) & 0xFF));
    p.fillRect(rect(), fill);
    p.setPen(Qt::black);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

Panel::Panel(Bevel bevel, QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | (bevel == Bevel::Lowered ? QFrame::Sunken : QFrame::Raised));
    setLineWidth(1);
    setAutoFillBackground(true);
}

void Panel::setCaption(const QString& caption)
{
    m_caption = caption;
    update();
}

void Panel::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    if (m_caption.isEmpty())
        return;
    QPainter p(this);
    p.drawText(contentsRect(), Qt::AlignCenter, m_caption);
}

Trackbar::Trackbar(int minimum, int maximum, int position, int tickInterval, QWidget* parent)
    : QSlider(Qt::Horizontal, parent)
{
    setRange(minimum, maximum);
    setValue(position);
    setSingleStep(1);
    setPageStep(2);
    setTickPosition(QSlider::TicksBelow);
    setTickInterval(tickInterval);
    setFocusPolicy(Qt::StrongFocus);
}

} // namespace quindle
