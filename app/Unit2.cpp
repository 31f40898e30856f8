#include "app/Unit2.h"

#include "app/Fonts.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace quindle {

TForm2::TForm2(QWidget* parent)
    // A fixed window with a title and nothing else in its title bar: no system menu, no close box.
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("QuindleII  About..."));
    setFixedSize(302, 138);
    setFont(makeFont(kArial, 8));
    QPalette buttonFace = palette();
    buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
    setPalette(buttonFace);
    setAutoFillBackground(true);

    // Created in tab order: OK first, so it takes the focus.
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(208, 104, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

    // Outer bevel lowered, inner bevel raised: an etched groove.
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(4, 4, 293, 89);
    Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Panel1->setLineWidth(1);
    Panel1->setMidLineWidth(0);

    Label1 = new QLabel(QStringLiteral("QuindleII v1.2a"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 161, 20);
    Label1->setFont(makeFont(kMsSansSerif, 12, true));

    Label2 = new QLabel(QStringLiteral("7 Dec 2026"), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(8, 32, 62, 14);

    Label3 = new QLabel(QStringLiteral("Freeware for Morse code learners"), Panel1);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(4, 56, 190, 14);
}

void TForm2::showAt(QWidget* mainWindow)
{
    // For a window, pos() and move() are the outer frame's top-left corner.
    move(mainWindow->pos() + QPoint(50, 40));
    Button1->setFocus();
    exec();
}

void TForm2::Button1Click()
{
    close();
}

void TForm2::keyPressEvent(QKeyEvent* event)
{
    // Without a close box the window closes by OK only; Esc does not cancel it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quindle
