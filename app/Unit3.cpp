#include "app/Unit3.h"

#include "app/Fonts.h"
#include "tone/ToneFormat.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

namespace quindle {

TForm3::TForm3(QWidget* parent)
    : OkWindow(QStringLiteral("Form3"), QStringLiteral("QuindleII  Help"), QSize(320, 424),
               makeFont(kMsSansSerif, 8), QRect(216, 384, 75, 25), parent)
{
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(4, 4, 311, 369);
    Memo1->setReadOnly(true);
    // A caret in the read-only text, so that the page is read line by line with the arrows.
    Memo1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    Memo1->setTabChangesFocus(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette tooltip = Memo1->palette();
    tooltip.setColor(QPalette::Base, tooltip.color(QPalette::ToolTipBase));
    Memo1->setPalette(tooltip);
    Memo1->setPlainText(helpText());

    setTabOrder(Button1, Memo1);
}

QString TForm3::helpText()
{
    static const QStringList lines = {
        QStringLiteral("     Quindle"),
        QString(),
        QStringLiteral("Most functions are self-explanatory."),
        QString(),
        QStringLiteral("The Mixed button also sends punctuation"),
        QStringLiteral("and accented characters when they are"),
        QStringLiteral("ticked in the Options menu."),
        QString(),
        QStringLiteral("The Text button sends the text in the"),
        QStringLiteral("window. It may be typed, pasted from the"),
        QStringLiteral("clipboard, loaded from a file, or left"),
        QStringLiteral("from a practice run. Highlight a character"),
        QStringLiteral("before pressing Text to start from there."),
        QString(),
        QStringLiteral("Once a run button is pressed, the others"),
        QStringLiteral("are disabled until Stop is pressed."),
        QString(),
        QStringLiteral("Procedural signals are never generated at"),
        QStringLiteral("random, but may be put in any text with a"),
        QStringLiteral("'!' in front: \"!ar\" sends the end-of-"),
        QStringLiteral("message signal AR."),
        QString(),
        QStringLiteral("The soundcard output needs some filtering"),
        QStringLiteral("before it is fed to a radio transmitter."),
        QStringLiteral("It sounds tones up to %1 Hz; higher ones").arg((kFrameRate - 1) / 2),
        QStringLiteral("sound only on the PC speaker's own device."),
        QString(),
        QStringLiteral("Freeware for Morse code learners."),
    };
    return lines.join(u'\n');
}

} // namespace quindle
