#include "app/Unit2.h"

#include "app/Fonts.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

namespace quindle {

TForm2::TForm2(QWidget* parent)
    : OkWindow(QStringLiteral("Form2"), QStringLiteral("QuindleII  About..."), QSize(302, 138),
               makeFont(kArial, 8), QRect(208, 104, 75, 25), parent)
{
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

    // A screen reader speaks the focused OK button and the window's description, not its labels.
    setAccessibleDescription(QStringList{Label1->text(), Label2->text(), Label3->text()}.join(QStringLiteral(", ")));
}

} // namespace quindle
