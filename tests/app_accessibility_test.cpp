// What a screen reader finds on the real window, through Qt's accessibility interfaces.
#include "tests/support/AppFixture.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/SpinEdit.h"
#include "app/Unit1.h"

#include <QAccessible>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <cmath>

#include <gtest/gtest.h>

namespace {

using namespace quindle;

struct A11yRow {
    const char* name;
    QAccessible::Role role;
    const char* accessibleName;
    const char* label; // the label that names it, or nullptr
};

const A11yRow kControls[] = {
    {"Memo", QAccessible::EditableText, "Text window", nullptr},
    {"btnLetters", QAccessible::Button, "Letters", nullptr},
    {"btnNumbers", QAccessible::Button, "Numbers", nullptr},
    {"btnMixed", QAccessible::Button, "Mixed", nullptr},
    {"btnText", QAccessible::Button, "Text", nullptr},
    {"btnStop", QAccessible::Button, "Stop", nullptr},
    {"SpeedT", QAccessible::Slider, "Words per minute (approx)", "Label1"},
    {"spFreq", QAccessible::SpinBox, "Tone (Hz)", "Label8"},
    {"tbDelay", QAccessible::Slider, "Delay", "Label6"},
    {"btnClear", QAccessible::Button, "Clear Screen", nullptr},
    {"btnClose", QAccessible::Button, "Close", nullptr},
    {"Shape1", QAccessible::StatusBar, "Run indicator", nullptr},
    {"Panel3", QAccessible::AlertMessage, "Closing. Please wait...", nullptr},
};

// The events that these interfaces send reach a screen reader only through a platform bridge,
// which the offscreen platform has not: the AT-SPI test (tests/atspi) checks them.
class Accessibility : public AppFixture {
protected:
    QAccessibleInterface* of(QObject* object) { return QAccessible::queryAccessibleInterface(object); }
};

TEST_F(Accessibility, EveryControlHasARoleANameFromItsLabelAndADescription)
{
    for (const A11yRow& row : kControls) {
        SCOPED_TRACE(row.name);
        QWidget* w = morse().findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(w, nullptr);
        QAccessibleInterface* iface = of(w);
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->role(), row.role);
        EXPECT_EQ(iface->text(QAccessible::Name), QString::fromUtf8(row.accessibleName));
        // Spoken on every Tab: a few words, under a second of speech.
        const QString description = iface->text(QAccessible::Description);
        if (row.role != QAccessible::AlertMessage) {
            EXPECT_FALSE(description.isEmpty());
        }
        EXPECT_LE(description.split(u' ', Qt::SkipEmptyParts).size(), 3) << description.toStdString();
        if (row.label) {
            const auto labels = iface->relations(QAccessible::Label);
            ASSERT_EQ(labels.size(), 1);
            EXPECT_EQ(labels.front().first->object()->objectName(), QString::fromLatin1(row.label));
            // What a screen reader reads for the control, whatever the caption's spelling.
            EXPECT_EQ(labels.front().first->text(QAccessible::Name), QString::fromUtf8(row.accessibleName));
        }
    }
}

TEST_F(Accessibility, ValuesAreReadableTheToneInItsRangeAndTheSpeedInWordsPerMinute)
{
    QAccessibleValueInterface* tone = of(morse().spFreq)->valueInterface();
    ASSERT_NE(tone, nullptr);
    EXPECT_EQ(tone->currentValue().toInt(), 750);
    EXPECT_EQ(tone->minimumValue().toInt(), 100);
    EXPECT_EQ(tone->maximumValue().toInt(), 20000);
    tone->setCurrentValue(25000);
    EXPECT_EQ(morse().spFreq->Value(), 20000) << "set through the screen reader: clamped";

    // The speed in words per minute as keyed: PARIS and its word space on the sound card at dot
    // T ms and Delay D take 36 T - 88 + 20 T D ms (a tone is n x (T - 4)), on the speaker 36 T + 20 T D.
    QAccessibleInterface* speed = of(morse().SpeedT);
    QAccessibleValueInterface* wpm = speed->valueInterface();
    ASSERT_NE(wpm, nullptr);
    struct Row {
        int position, delay;
        bool speaker;
        double wpm;
    };
    for (const Row& r : {Row{100, 1, false, 13.7}, Row{165, 1, false, 79.8}, Row{30, 10, false, 1.7},
                         Row{100, 1, true, 13.4}}) {
        morse().mnuSpeaker->setChecked(r.speaker);
        morse().mnuSoundcard->setChecked(!r.speaker);
        morse().tbDelay->setPosition(r.delay);
        morse().SpeedT->setPosition(r.position);
        EXPECT_DOUBLE_EQ(wpm->currentValue().toDouble(), r.wpm) << r.position;
    }
    // Every step is heard as another value, as a screen reader writes it: with the decimals of the
    // step size.
    for (const int delay : {1, 3, 10}) {
        morse().tbDelay->setPosition(delay);
        QString before;
        for (int p = morse().SpeedT->minimum(); p <= morse().SpeedT->maximum(); ++p) {
            morse().SpeedT->setPosition(p);
            const int decimals = int(std::lround(-std::log10(wpm->minimumStepSize().toDouble())));
            const QString spoken = QString::number(wpm->currentValue().toDouble(), 'f', decimals);
            EXPECT_NE(spoken, before) << "delay " << delay << ", position " << p;
            before = spoken;
        }
    }
    morse().tbDelay->setPosition(1);
    wpm->setCurrentValue(18.2); // on the speaker: 59 ms dots
    EXPECT_EQ(morse().SpeedT->Position(), 121);
    EXPECT_EQ(speed->text(QAccessible::Description), QStringLiteral("Dot 59 ms"));
    EXPECT_DOUBLE_EQ(of(morse().tbDelay)->valueInterface()->currentValue().toDouble(), 1.0);
}

TEST_F(Accessibility, TheIndicatorTellsRunningFromStopped)
{
    QAccessibleInterface* indicator = of(morse().Shape1);
    EXPECT_FALSE(indicator->state().checked);
    EXPECT_EQ(indicator->text(QAccessible::Description), QStringLiteral("Stopped"));
    bool runningSeen = false;
    // During the run a screen reader sees the text only as it was when the run began: nothing
    // keyed (or about to be) can be read or spoken ahead of its sound. Stop, which a run gives the
    // focus with a screen reader, is there to end it.
    morse().Memo->setText(QStringLiteral("old "));
    QAccessibleTextInterface* text = of(morse().Memo)->textInterface();
    clock.at(500, [&] {
        runningSeen = indicator->state().checked &&
                      indicator->text(QAccessible::Description) == QStringLiteral("Running");
        EXPECT_GT(morse().Memo->length(), 4);
        EXPECT_EQ(text->characterCount(), 4);
        EXPECT_EQ(text->text(0, 100), QStringLiteral("old "));
        EXPECT_EQ(text->cursorPosition(), 4);
        EXPECT_EQ(text->selectionCount(), 0);
        morse().btnStop->click();
    });
    morse().Memo->setSelStart(4);
    morse().btnLetters->click();
    EXPECT_TRUE(runningSeen);
    EXPECT_FALSE(indicator->state().checked);
    EXPECT_EQ(text->characterCount(), morse().Memo->length());
}

// The memo's text with "\n" line ends, offsets that count them once, a surrogate pair as two
// units, and the caret, selection, boundaries and edits in those offsets.
TEST_F(Accessibility, MemoTextIsReadAndEditedInScreenReaderOffsets)
{
    MemoEdit* memo = morse().Memo;
    showMorse();
    memo->setText(QStringLiteral(u"ab cd\r\n\U0001F600é\r\nlast"));
    QAccessibleInterface* iface = of(memo);
    QAccessibleTextInterface* text = iface->textInterface();
    ASSERT_NE(text, nullptr);
    ASSERT_NE(iface->editableTextInterface(), nullptr);
    EXPECT_TRUE(iface->state().multiLine && iface->state().editable);
    EXPECT_EQ(text->characterCount(), 14);
    EXPECT_EQ(text->text(0, 14), QStringLiteral(u"ab cd\n\U0001F600é\nlast"));

    memo->setSelStart(7); // memo position 7 = after "ab cd\r\n"
    EXPECT_EQ(text->cursorPosition(), 6);
    text->setSelection(0, 6, 9); // the emoji and é
    EXPECT_EQ(memo->selStart(), 7);
    EXPECT_EQ(memo->selectedText(), QStringLiteral(u"\U0001F600é"));
    int start = 0;
    int end = 0;
    text->selection(0, &start, &end);
    EXPECT_EQ(std::pair(start, end), std::pair(6, 9));
    EXPECT_EQ(text->textAtOffset(6, QAccessible::CharBoundary, &start, &end), QStringLiteral(u"\U0001F600"));
    EXPECT_EQ(text->textAtOffset(1, QAccessible::WordBoundary, &start, &end), QStringLiteral("ab "));
    EXPECT_EQ(text->textAtOffset(7, QAccessible::ParagraphBoundary, &start, &end), QStringLiteral(u"\U0001F600é\n"));
    EXPECT_EQ(std::pair(start, end), std::pair(6, 10));
    EXPECT_EQ(text->textAfterOffset(7, QAccessible::LineBoundary, &start, &end), QStringLiteral("last"));
    EXPECT_EQ(text->textBeforeOffset(7, QAccessible::LineBoundary, &start, &end), QStringLiteral("ab cd\n"));
    EXPECT_EQ(text->offsetAtPoint(text->characterRect(11).center()), 11);

    iface->editableTextInterface()->replaceText(10, 14, QStringLiteral("x\ny"));
    EXPECT_EQ(memo->text(), QStringLiteral(u"ab cd\r\n\U0001F600é\r\nx\r\ny"));
    EXPECT_TRUE(memo->modified());

    // A NUL, shown as a box, cannot travel to a screen reader: it reads as the replacement character.
    memo->setText(QString::fromUtf16(u"a\0b", 3));
    EXPECT_EQ(text->text(0, 3), QStringLiteral(u"a\uFFFDb"));
    EXPECT_EQ(text->textAtOffset(0, QAccessible::LineBoundary, &start, &end), QStringLiteral(u"a\uFFFDb"));
}

// Every item of the menu bar's menus is its menu's child at its own index (Orca drops an item its
// menu disowns); an option is a check box, a route a radio button, each with its tick.
TEST_F(Accessibility, MenuOptionsAreCheckBoxesAndRadioButtonsWithTheirTicks)
{
    QAccessibleInterface* bar = of(morse().menuBar());
    for (int b = 0; b < bar->childCount(); ++b) {
        QAccessibleInterface* menu = bar->child(b)->child(0);
        ASSERT_EQ(menu->parent(), bar->child(b));
        for (int i = 0; i < menu->childCount(); ++i) {
            QAccessibleInterface* item = menu->child(i);
            auto* action = static_cast<QAction*>(item->object());
            SCOPED_TRACE(action->objectName().toStdString());
            EXPECT_EQ(menu->indexOfChild(item), i);
            EXPECT_EQ(item->role(), action->isSeparator()   ? QAccessible::Separator
                                    : action->actionGroup() ? QAccessible::RadioButton
                                    : action->isCheckable() ? QAccessible::CheckBox
                                                            : QAccessible::MenuItem);
            action->setChecked(!action->isChecked());
            EXPECT_EQ(item->state().checked, action->isChecked());
        }
    }
    QAccessibleInterface* item = of(morse().File1)->child(0);
    EXPECT_EQ(item->text(QAccessible::Name) + item->text(QAccessible::Accelerator),
              QStringLiteral("NewCtrl+N"));
    item = of(morse().mnuOptions)->child(int(morse().mnuOptions->actions().indexOf(morse().mnuFont)));
    EXPECT_EQ(item->text(QAccessible::Name) + item->text(QAccessible::Accelerator),
              QStringLiteral("Font...Alt+F"));
}

// F10 takes the keyboard to the menu bar as a lone Alt does: the arrows move between menus and the
// text window never gets the focus back in between (a screen reader would announce it over the
// next menu); Home and End go to a menu's ends; Escape closes the menu, then gives the focus back
// where F10 was pressed.
TEST_F(Accessibility, F10OpensTheFirstMenuAndKeepsTheKeyboardOnTheBarUntilEscape)
{
    TMorse& m = morse();
    showMorse();
    QApplication::setActiveWindow(&m);
    m.Memo->setFocus();
    struct FocusCount : QObject {
        int in = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            in += e->type() == QEvent::FocusIn;
            return false;
        }
    } memoFocus;
    m.Memo->installEventFilter(&memoFocus);

    QTest::keyClick(m.Memo, Qt::Key_F10);
    ASSERT_EQ(QApplication::activePopupWidget(), m.File1);
    EXPECT_EQ(m.File1->activeAction(), m.mnuNew);
    QTest::keyClick(m.File1, Qt::Key_End);
    EXPECT_EQ(m.File1->activeAction(), m.Exit1);
    QTest::keyClick(m.File1, Qt::Key_Home);
    EXPECT_EQ(m.File1->activeAction(), m.mnuNew);
    QTest::keyClick(m.File1, Qt::Key_Right);
    ASSERT_EQ(QApplication::activePopupWidget(), m.mnuOptions);
    QTest::keyClick(m.mnuOptions, Qt::Key_Escape);
    EXPECT_EQ(memoFocus.in, 0);
    QTest::keyClick(m.menuBar(), Qt::Key_Escape);
    EXPECT_EQ(QApplication::focusWidget(), m.Memo);
}

} // namespace
