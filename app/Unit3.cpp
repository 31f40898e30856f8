#include "app/Unit3.h"

#include "app/Fonts.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

namespace quindle {

TForm3::TForm3(QWidget* parent)
    // A fixed window with a title and nothing else in its title bar: no system menu, no close box.
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("QuindleII  Help"));
    setFixedSize(320, 424);
    setFont(makeFont(kMsSansSerif, 8));
    QPalette buttonFace = palette();
    buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
    setPalette(buttonFace);
    setAutoFillBackground(true);

    // Created in tab order: OK first, so it takes the focus.
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(216, 384, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(4, 4, 311, 369);
    Memo1->setReadOnly(true);
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
        QString(),
        QStringLiteral("Freeware for Morse code learners."),
    };
    return lines.join(u'\n');
}

void TForm3::showAt(QWidget* mainWindow)
{
    // For a window, pos() and move() are the outer frame's top-left corner.
    move(mainWindow->pos() + QPoint(50, 40));
    Button1->setFocus();
    exec();
}

void TForm3::Button1Click()
{
    close();
}

void TForm3::keyPressEvent(QKeyEvent* event)
{
    // Without a close box the window closes by OK only; Esc does not cancel it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quindle
