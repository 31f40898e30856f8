// The memo widget driven as the user and the program drive it: real widget, offscreen platform.
#include "app/MemoEdit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QImage>
#include <QInputMethodEvent>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using quindle::MemoEdit;

namespace {

const QString kCrLf = QStringLiteral("\r\n");

class MemoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.setLayout(new QVBoxLayout);
        window.layout()->setContentsMargins(0, 0, 0, 0);
        memo = new MemoEdit(&window);
        memo->setFont(QFont(QStringLiteral("Liberation Mono"), 9));
        memo->setFixedSize(421, 253);
        window.layout()->addWidget(memo);
        button = new QPushButton(QStringLiteral("Next"), &window);
        window.layout()->addWidget(button);
        window.show();
        window.activateWindow();
        memo->setFocus();
        QApplication::processEvents();
    }

    // Types text whose characters need not be on a key (NUL, euro sign, supplementary planes).
    void typeText(const QString& text)
    {
        QTest::sendKeyEvent(QTest::Click, memo, Qt::Key_unknown, text, Qt::NoModifier);
    }
    void key(Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(memo, k, mods); }

    QPoint pointAt(int line, qreal column) const
    {
        const QFontMetricsF fm(memo->font());
        const int lineHeight = QFontMetrics(memo->font()).lineSpacing();
        return QPoint(2 + int(column * fm.horizontalAdvance(QLatin1Char('x'))),
                      1 + line * lineHeight + lineHeight / 2);
    }

    QWidget window;
    MemoEdit* memo = nullptr;
    QPushButton* button = nullptr;
};

TEST_F(MemoTest, EnterInsertsCrLfAndBackspaceRemovesItWhole)
{
    QTest::keyClicks(memo, QStringLiteral("ab"));
    key(Qt::Key_Return);
    EXPECT_EQ(memo->text(), QStringLiteral("ab\r\n"));
    EXPECT_EQ(memo->selStart(), 4);
    QTest::keyClicks(memo, QStringLiteral("cd"));
    key(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(memo->text(), QStringLiteral("ab\r\ncd\r\n"));

    key(Qt::Key_Backspace);
    EXPECT_EQ(memo->text(), QStringLiteral("ab\r\ncd"));
    EXPECT_EQ(memo->selStart(), 6);
    key(Qt::Key_Left);
    key(Qt::Key_Left);
    EXPECT_EQ(memo->selStart(), 4);
    key(Qt::Key_Backspace);
    EXPECT_EQ(memo->text(), QStringLiteral("abcd"));
    EXPECT_EQ(memo->selStart(), 2);

    key(Qt::Key_Return);
    key(Qt::Key_Left);
    EXPECT_EQ(memo->selStart(), 2) << "Left steps over CR LF in one";
    key(Qt::Key_Delete);
    EXPECT_EQ(memo->text(), QStringLiteral("abcd"));
    EXPECT_EQ(memo->selStart(), 2);
}

TEST_F(MemoTest, ShiftRightSelectsALineBreakWhole)
{
    memo->setText(QStringLiteral("ab\r\ncd"));
    memo->setSelStart(2);
    key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(memo->selStart(), 2);
    EXPECT_EQ(memo->selLength(), 2);
    key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(memo->selectedText(), QStringLiteral("\r\nc"));
}

TEST_F(MemoTest, TypedCharactersAreKeptExactly)
{
    const QString typed[] = {QString(QChar(0)), QStringLiteral(u"€"), QStringLiteral(u"Ω"),
                             QStringLiteral(u"\U0001F600"), QStringLiteral(u"é")};
    QString expected;
    for (const QString& t : typed) {
        typeText(t);
        expected += t;
    }
    EXPECT_EQ(memo->text(), expected);
    EXPECT_EQ(memo->length(), 6) << "a character outside the basic plane is two positions";
    key(Qt::Key_Backspace);
    key(Qt::Key_Backspace);
    EXPECT_EQ(memo->text(), expected.left(3)) << "Backspace removes a surrogate pair whole";
    memo->grab();
}

TEST_F(MemoTest, KeysThatAreNotTextAreNotTyped)
{
    key(Qt::Key_Escape);
    key(Qt::Key_F1);
    key(Qt::Key_A, Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Click, memo, Qt::Key_B, QStringLiteral("\x02"), Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Click, memo, Qt::Key_F, QStringLiteral("f"), Qt::AltModifier);
    EXPECT_EQ(memo->text(), QString());
    EXPECT_FALSE(memo->modified());
}

TEST_F(MemoTest, ControlCharactersAreDrawnAsVisiblePlaceholders)
{
    memo->setText(QString(3, QChar(0)));
    const QImage withNul = memo->viewport()->grab().toImage();
    memo->setText(QStringLiteral("   "));
    const QImage withSpaces = memo->viewport()->grab().toImage();
    EXPECT_NE(withNul, withSpaces);
}

TEST_F(MemoTest, PartialRepaintsLeaveTheSameScreenAsAFullRepaint)
{
    // Only the characters that change are repainted; what reaches the screen must still be
    // exactly what a full repaint draws.
    auto screen = [&] {
        QApplication::processEvents();
        return window.screen()->grabWindow(window.winId()).toImage();
    };
    // The screen as left by partial repaints, then the same after a full repaint.
    auto sameAsFullRepaint = [&] {
        const QImage partial = screen();
        memo->viewport()->update();
        return partial == screen();
    };
    memo->setText(QStringLiteral("abcde ").repeated(40) + QStringLiteral("\r\nline two\r\n"));
    memo->setSelStart(0);
    const QImage plain = screen();
    memo->setSelLength(1);
    ASSERT_NE(screen(), plain) << "the grab shows what was painted";
    ASSERT_TRUE(memo->hasFocus()) << "the caret is drawn";
    for (int p = 0; p < 70; ++p) {
        memo->setSelStart(p);
        memo->setSelLength(1);
        screen();
    }
    EXPECT_TRUE(sameAsFullRepaint()) << "highlight moved through a line break and a wrap";
    QRandomGenerator random(7);
    for (int i = 0; i < 40; ++i) {
        memo->setSelStart(random.bounded(memo->length() + 1));
        memo->setSelLength(random.bounded(3));
        screen();
    }
    EXPECT_TRUE(sameAsFullRepaint()) << "selections and carets set anywhere";

    memo->setText(QStringLiteral("abcde ").repeated(400));
    memo->setSelStart(0);
    screen();
    for (int p = 0; p < 1500; p += 7) {
        memo->setSelStart(p);
        memo->setSelLength(1);
        screen();
    }
    EXPECT_TRUE(sameAsFullRepaint()) << "highlight scrolling the view line by line";
    for (int p = 1500; p > 0; p -= 97) {
        memo->setSelStart(p);
        memo->setSelLength(1);
        screen();
    }
    EXPECT_TRUE(sameAsFullRepaint()) << "and back up";

    memo->setSelStart(memo->length());
    for (const char* piece :
         {"abcd", "e ", "fghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz", " ", "x\r\n", "y"}) {
        memo->append(QString::fromLatin1(piece));
        EXPECT_TRUE(sameAsFullRepaint()) << "after appending " << piece;
    }
    key(Qt::Key_Left, Qt::ShiftModifier);
    key(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_TRUE(sameAsFullRepaint()) << "after extending the selection upwards";
    key(Qt::Key_Backspace);
    EXPECT_TRUE(sameAsFullRepaint()) << "after deleting it";
}

TEST_F(MemoTest, TabMovesTheFocusAndIsNeverTyped)
{
    ASSERT_TRUE(memo->hasFocus());
    key(Qt::Key_Tab);
    EXPECT_TRUE(button->hasFocus());
    EXPECT_EQ(memo->text(), QString());
    QTest::keyClick(button, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(memo->hasFocus());
    EXPECT_EQ(memo->text(), QString());
}

TEST_F(MemoTest, WordWrapBreaksAfterSpacesAndLongWordsAnywhere)
{
    const QFontMetricsF fm(memo->font());
    const qreal advance = fm.horizontalAdvance(QLatin1Char('x'));
    // The text area is inset by 2 px on each side of the viewport.
    const int perLine = int((memo->viewport()->width() - 4) / advance);
    ASSERT_GT(perLine, 40);
    ASSERT_LT(perLine, 70);

    memo->setText(QString(1000, QChar(u'x')));
    EXPECT_EQ(memo->lineCount(), (1000 + perLine - 1) / perLine);
    EXPECT_EQ(memo->lineOfPosition(perLine - 1), 0);
    EXPECT_EQ(memo->lineOfPosition(perLine), 1);

    // Groups of five and a space: the space after the last group of a line hangs at its end.
    const int groupsPerLine = (perLine + 1) / 6;
    memo->setText(QStringLiteral("abcde ").repeated(100));
    EXPECT_EQ(memo->lineCount(), (100 + groupsPerLine - 1) / groupsPerLine);
    for (int line = 1; line < memo->lineCount(); ++line)
        EXPECT_EQ(memo->lineOfPosition(line * groupsPerLine * 6 - 1), line - 1);

    memo->setText(QStringLiteral("ab\r\n\r\ncd\r\n"));
    EXPECT_EQ(memo->lineCount(), 4) << "an empty line, and one after the final line break";
}

TEST_F(MemoTest, WordWrapWithAProportionalFontKeepsLinesInsideTheWidth)
{
    QFont sans(QStringLiteral("Liberation Sans"), 9);
    memo->setFont(sans);
    QString text;
    for (int i = 0; i < 300; ++i)
        text += QStringLiteral("Wi").repeated(i % 7 + 1) + QLatin1Char(' ');
    memo->setText(text);
    sans.setKerning(false);
    const QFontMetricsF fm(sans);
    const qreal width = memo->viewport()->width() - 4;
    int start = 0;
    for (int line = 0; line < memo->lineCount(); ++line) {
        int end = start;
        while (end < memo->length() && memo->lineOfPosition(end) == line)
            ++end;
        const QString shown = text.mid(start, end - start);
        EXPECT_LE(fm.horizontalAdvance(shown.trimmed()), width + 0.5) << line;
        if (end < memo->length()) {
            EXPECT_GT(fm.horizontalAdvance(shown + text.mid(end).section(QLatin1Char(' '), 0, 0)), width)
                << "the next word would have fitted on line " << line;
        }
        start = end;
    }
}

TEST_F(MemoTest, SettingTheSelectionScrollsItIntoView)
{
    QString text;
    for (int i = 0; i < 1000; ++i)
        text += QStringLiteral("line %1\r\n").arg(i);
    memo->setText(text);
    QScrollBar* bar = memo->verticalScrollBar();
    EXPECT_EQ(bar->value(), 0);
    const int pos = text.indexOf(QStringLiteral("line 500"));
    memo->setSelStart(pos);
    memo->setSelLength(1);
    EXPECT_LE(bar->value(), 500);
    EXPECT_GT(bar->value() + bar->pageStep(), 500);
    memo->setSelStart(text.indexOf(QStringLiteral("line 10\r")));
    EXPECT_EQ(bar->value(), 10);
    memo->setSelStart(0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->maximum(), 1001 - bar->pageStep());
}

TEST_F(MemoTest, SelectionSetBeforeTheMemoIsShownIsScrolledIntoViewWhenShown)
{
    MemoEdit hidden;
    hidden.resize(421, 253);
    hidden.setText(QStringLiteral("word ").repeated(20000));
    hidden.setSelStart(50000);
    hidden.show();
    QApplication::processEvents();
    QScrollBar* bar = hidden.verticalScrollBar();
    const int line = hidden.lineOfPosition(50000);
    EXPECT_GT(line, 0);
    EXPECT_LE(bar->value(), line);
    EXPECT_GT(bar->value() + bar->pageStep(), line);
}

TEST_F(MemoTest, KeyboardMovesAndSelects)
{
    memo->setText(QStringLiteral("first line\r\nsecond\r\nthird line"));
    key(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), 0);
    key(Qt::Key_End);
    EXPECT_EQ(memo->selStart(), 10);
    key(Qt::Key_Down);
    EXPECT_EQ(memo->selStart(), 18) << "the end of the shorter line";
    key(Qt::Key_Down);
    EXPECT_EQ(memo->selStart(), 30) << "the column is remembered";
    key(Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(memo->selectedText(), QStringLiteral("third line"));
    key(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(memo->selectedText(), QStringLiteral("second\r\nthird line"));
    key(Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(memo->selStart(), 0);
    EXPECT_EQ(memo->selLength(), 30);
    key(Qt::Key_Right);
    EXPECT_EQ(memo->selStart(), 30) << "Right collapses a selection to its end";
    EXPECT_EQ(memo->selLength(), 0);
    key(Qt::Key_Left, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), 26);
    key(Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), memo->length());
    key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), 0);
    EXPECT_EQ(memo->selLength(), memo->length());
    key(Qt::Key_Home, Qt::ControlModifier);
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), 6) << "Ctrl+Right stops at the start of the next word";
    key(Qt::Key_Right, Qt::ControlModifier);
    EXPECT_EQ(memo->selStart(), 12) << "and over a line break";
    key(Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(memo->selectedText(), QStringLiteral("second\r\n"));
}

TEST_F(MemoTest, PageKeysMoveTheCaretAndTheView)
{
    QString text;
    for (int i = 0; i < 100; ++i)
        text += QStringLiteral("%1\r\n").arg(i, 3, 10, QLatin1Char('0'));
    memo->setText(text);
    memo->setSelStart(0);
    QScrollBar* bar = memo->verticalScrollBar();
    const int page = bar->pageStep();
    key(Qt::Key_PageDown);
    EXPECT_EQ(memo->lineOfPosition(memo->selStart()), page);
    EXPECT_EQ(bar->value(), page);
    key(Qt::Key_PageDown, Qt::ShiftModifier);
    EXPECT_EQ(memo->selLength(), page * 5);
    key(Qt::Key_PageUp);
    key(Qt::Key_PageUp);
    EXPECT_EQ(memo->selStart(), 0);
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(MemoTest, MouseClicksDragsAndDoubleClicksSelect)
{
    memo->setText(QStringLiteral("alpha beta gamma\r\nsecond line"));
    QWidget* view = memo->viewport();
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, pointAt(0, 3.3));
    EXPECT_EQ(memo->selStart(), 3);
    EXPECT_EQ(memo->selLength(), 0);
    QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, pointAt(1, 2.2));
    EXPECT_EQ(memo->selStart(), 3);
    EXPECT_EQ(memo->selectedText(), QStringLiteral("ha beta gamma\r\nse"));
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, pointAt(0, 40));
    EXPECT_EQ(memo->selStart(), 16) << "beyond the end of a line: before its line break";
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, pointAt(5, 2));
    EXPECT_EQ(memo->selStart(), 20) << "below the text: on the last line";

    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, pointAt(0, 6));
    QTest::mouseMove(view, pointAt(0, 9));
    QMouseEvent move(QEvent::MouseMove, pointAt(0, 10), view->mapToGlobal(pointAt(0, 10)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, pointAt(0, 10));
    EXPECT_EQ(memo->selectedText(), QStringLiteral("beta"));

    QTest::mouseDClick(view, Qt::LeftButton, Qt::NoModifier, pointAt(1, 8));
    EXPECT_EQ(memo->selectedText(), QStringLiteral("line"));
}

TEST_F(MemoTest, ClipboardKeys)
{
    memo->setText(QStringLiteral("one two"));
    memo->setSelStart(0);
    memo->setSelLength(3);
    key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("one"));
    EXPECT_FALSE(memo->modified());
    memo->setSelStart(4);
    memo->setSelLength(3);
    key(Qt::Key_Insert, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("two"));
    key(Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_EQ(memo->text(), QStringLiteral("one "));
    EXPECT_TRUE(memo->modified());
    memo->setSelStart(0);
    key(Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(memo->text(), QStringLiteral("twoone "));
    memo->setSelStart(3);
    memo->setSelLength(3);
    key(Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(memo->text(), QStringLiteral("two "));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("one"));
}

TEST_F(MemoTest, ReadOnlyMemoTakesNoEditsButMovesAndCopies)
{
    memo->setText(QStringLiteral("fixe"));
    memo->setSelStart(4);
    QTest::keyClicks(memo, QStringLiteral("d")); // an edit to undo
    memo->setModified(false);
    memo->setReadOnly(true);
    key(Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClicks(memo, QStringLiteral("abc"));
    key(Qt::Key_Return);
    key(Qt::Key_Backspace);
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    key(Qt::Key_V, Qt::ControlModifier);
    key(Qt::Key_Home);
    key(Qt::Key_Delete);
    key(Qt::Key_Right, Qt::ShiftModifier);
    key(Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(memo->text(), QStringLiteral("fixed"));
    EXPECT_FALSE(memo->modified());
    EXPECT_EQ(memo->selectedText(), QStringLiteral("f"));
    key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("f"));
    memo->append(QStringLiteral("!"));
    EXPECT_EQ(memo->text(), QStringLiteral("fixed!")) << "the program still writes";
}

TEST_F(MemoTest, InputMethodCommitIsTyped)
{
    memo->setText(QStringLiteral("cafe"));
    memo->setSelStart(3);
    memo->setSelLength(1);
    QInputMethodEvent preedit(QStringLiteral("\u00b4"), {});
    QApplication::sendEvent(memo, &preedit);
    EXPECT_EQ(memo->text(), QStringLiteral("cafe")) << "a pending dead key is not text yet";
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral(u"é"));
    QApplication::sendEvent(memo, &commit);
    EXPECT_EQ(memo->text(), QStringLiteral(u"café"));
    EXPECT_TRUE(memo->modified());
    EXPECT_EQ(memo->inputMethodQuery(Qt::ImSurroundingText).toString(), QStringLiteral(u"café"));
    EXPECT_EQ(memo->inputMethodQuery(Qt::ImCursorPosition).toInt(), 4);
}

TEST_F(MemoTest, ContextMenuItemsFollowTheState)
{
    memo->setText(QStringLiteral("abc"));
    memo->setSelStart(0);
    QGuiApplication::clipboard()->clear();
    auto enabled = [&](const char* name) {
        std::unique_ptr<QMenu> menu(memo->createStandardContextMenu());
        QAction* action = menu->findChild<QAction*>(QLatin1String(name));
        return action && action->isEnabled();
    };
    EXPECT_FALSE(enabled("undo"));
    EXPECT_FALSE(enabled("cut"));
    EXPECT_FALSE(enabled("copy"));
    EXPECT_FALSE(enabled("paste"));
    EXPECT_FALSE(enabled("delete"));
    EXPECT_TRUE(enabled("selectAll"));

    std::unique_ptr<QMenu> menu(memo->createStandardContextMenu());
    menu->findChild<QAction*>(QStringLiteral("selectAll"))->trigger();
    EXPECT_EQ(memo->selLength(), 3);
    EXPECT_TRUE(enabled("cut"));
    EXPECT_TRUE(enabled("copy"));
    EXPECT_TRUE(enabled("delete"));
    menu.reset(memo->createStandardContextMenu());
    menu->findChild<QAction*>(QStringLiteral("delete"))->trigger();
    EXPECT_EQ(memo->text(), QString());
    EXPECT_TRUE(enabled("undo"));
    memo->setReadOnly(true);
    EXPECT_FALSE(enabled("undo"));
}

TEST_F(MemoTest, FileDropsAreLeftToTheWindow)
{
    EXPECT_FALSE(memo->acceptDrops());
    EXPECT_FALSE(memo->viewport()->acceptDrops());
}

TEST_F(MemoTest, LargeTextsStayWorkable)
{
    // Guards against layout or copies proportional to the text on every step: with those this
    // test takes minutes, without them well under a second.
    const int size = 16 * 1024 * 1024;
    const QString paragraph = QStringLiteral("abcde ").repeated(size / 6);
    const QString lines = (QString(58, QChar(u'q')) + kCrLf).repeated(size / 60);
    for (const QString* text : {&paragraph, &lines}) {
        memo->setText(*text);
        QApplication::processEvents();
        for (int i = 0; i < 200; ++i) {
            memo->append(QStringLiteral("x"));
            memo->setSelStart(memo->length() - 1);
            memo->setSelLength(1);
            QApplication::processEvents();
        }
        for (int p = size / 2; p < size / 2 + 2000; ++p) {
            memo->setSelStart(p);
            memo->setSelLength(1);
            QApplication::processEvents();
        }
        EXPECT_EQ(memo->length(), text->size() + 200);
        EXPECT_EQ(memo->charAt(memo->length() - 1), QChar(u'x'));
        EXPECT_EQ(memo->selStart(), size / 2 + 1999);
        memo->setSelStart(memo->length());
        memo->repaint();
        QScrollBar* bar = memo->verticalScrollBar();
        EXPECT_EQ(bar->value(), bar->maximum());
        memo->setSelStart(size / 3);
        QTest::keyClicks(memo, QStringLiteral("typed in the middle "));
        key(Qt::Key_Backspace);
        EXPECT_EQ(memo->length(), text->size() + 200 + 19);
    }
}

} // namespace
