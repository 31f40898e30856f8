#include "tests/support/AppFixture.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/SpinEdit.h"
#include "app/Unit1.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace quindle;

struct ControlRow {
    const char* name;
    const char* parent;
    QRect geometry;
    const char* text; // nullptr: no text to check
};

// Every control of the main window with its parent, place, size and text.
const ControlRow kControls[] = {
    {"Memo", "client", {4, 4, 421, 253}, nullptr},
    {"Panel2", "client", {428, 4, 109, 189}, nullptr},
    {"btnLetters", "Panel2", {20, 20, 75, 25}, "Letters"},
    {"btnNumbers", "Panel2", {20, 60, 75, 25}, "Numbers"},
    {"btnMixed", "Panel2", {20, 100, 75, 25}, "Mixed"},
    {"btnText", "Panel2", {20, 140, 75, 25}, "Text"},
    {"Shape1", "client", {470, 212, 29, 8}, nullptr},
    {"btnStop", "client", {448, 232, 75, 25}, "Stop"},
    {"Panel1", "client", {4, 264, 535, 109}, nullptr},
    {"Label1", "Panel1", {112, 4, 153, 13}, "Words per miniute (approx)"},
    {"SpeedT", "Panel1", {7, 24, 334, 21}, nullptr},
    {"Label2", "Panel1", {16, 44, 6, 14}, "6"},
    {"Label3", "Panel1", {88, 44, 12, 14}, "10"},
    {"Label4", "Panel1", {177, 44, 12, 14}, "12"},
    {"Label5", "Panel1", {229, 44, 12, 14}, "20"},
    {"Label9", "Panel1", {292, 44, 12, 14}, "30"},
    {"Label8", "Panel1", {356, 4, 57, 13}, "Tone (Hz)"},
    {"spFreq", "Panel1", {360, 26, 61, 23}, "750"},
    {"tbDelay", "Panel1", {7, 68, 330, 21}, nullptr},
    {"Label7", "Panel1", {12, 88, 15, 14}, "Cal"},
    {"Label6", "Panel1", {180, 88, 33, 13}, "Delay"},
    {"btnClear", "Panel1", {444, 24, 75, 25}, "Clear Screen"},
    {"btnClose", "Panel1", {444, 68, 75, 25}, "Close"},
    {"Panel3", "client", {144, 16, 177, 29}, "Closing. Please wait..."},
};

QString textOf(QWidget* w)
{
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* p = qobject_cast<Panel*>(w))
        return p->caption();
    if (auto* s = qobject_cast<SpinEdit*>(w))
        return s->text();
    return {};
}

class MainWindowLayout : public AppFixture {};

TEST_F(MainWindowLayout, EveryControlHasItsNameParentPlaceSizeAndText)
{
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        auto* w = morse().findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(w, nullptr);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
        if (qobject_cast<QLabel*>(w)) {
            // Labels size themselves to their text, never below the designed size.
            EXPECT_EQ(w->pos(), row.geometry.topLeft());
            EXPECT_EQ(w->height(), row.geometry.height());
            EXPECT_GE(w->width(), row.geometry.width());
            EXPECT_GE(w->width(), w->sizeHint().width());
        } else {
            EXPECT_EQ(w->geometry(), row.geometry);
        }
        if (row.text) {
            EXPECT_EQ(textOf(w), QString::fromLatin1(row.text));
        }
    }
}

TEST_F(MainWindowLayout, WindowIsFixedCaptionedAndStartsIdle)
{
    TMorse& m = morse();
    EXPECT_EQ(m.windowTitle(), QStringLiteral("QuindleII"));
    EXPECT_EQ(m.centralWidget()->size(), QSize(541, 378));
    EXPECT_EQ(m.minimumSize(), m.maximumSize());
    EXPECT_FALSE(m.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(m.windowFlags() & Qt::WindowMinimizeButtonHint);
    m.setWindowState(Qt::WindowMaximized); // as a decoration's button does
    EXPECT_FALSE(m.isMaximized());
    m.setWindowState(Qt::WindowFullScreen); // as a window manager may
    EXPECT_FALSE(m.isFullScreen());
    EXPECT_EQ(m.Shape1->brushColor(), 255u);
    EXPECT_FALSE(m.Panel3->isVisibleTo(&m));
    EXPECT_EQ(m.btnStop->Tag, 0);
    EXPECT_EQ(m.SpeedT->minimum(), 30);
    EXPECT_EQ(m.SpeedT->maximum(), 165);
    EXPECT_EQ(m.SpeedT->tickInterval(), 5);
    EXPECT_EQ(m.tbDelay->minimum(), 1);
    EXPECT_EQ(m.tbDelay->maximum(), 10);
    EXPECT_EQ(m.tbDelay->tickInterval(), 1);
    for (QSlider* s : {static_cast<QSlider*>(m.SpeedT), static_cast<QSlider*>(m.tbDelay)}) {
        EXPECT_EQ(s->singleStep(), 1);
        EXPECT_EQ(s->pageStep(), 2);
        EXPECT_EQ(s->tickPosition(), QSlider::TicksBelow);
    }
    EXPECT_EQ(m.Label1->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_TRUE(m.Label1->font().bold());
    EXPECT_EQ(m.font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(m.font().pointSize(), 8);
}

TEST_F(MainWindowLayout, TabMovesThroughTheControlsInOrder)
{
    TMorse& m = morse();
    showMorse();
    const QList<QWidget*> order = {m.Memo,   m.btnLetters, m.btnNumbers, m.btnMixed, m.btnText,  m.btnStop,
                                   m.SpeedT, m.spFreq,     m.tbDelay,    m.btnClose, m.btnClear, m.Memo};
    order.front()->setFocus();
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr);
        QTest::keyClick(focused, Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        // The spin box's line edit holds the focus on its behalf.
        while (now && now != order[i] && now->parentWidget() == order[i])
            now = now->parentWidget();
        EXPECT_EQ(now, order[i]) << "step " << i;
    }
}

struct MenuRow {
    const char* name;
    const char* parent;
    const char* caption; // nullptr for a separator
    QKeySequence shortcut;
    bool checkable;
    bool radio;
};

const MenuRow kMenu[] = {
    {"mnuNew", "File1", "&New", QKeySequence(Qt::CTRL | Qt::Key_N), false, false},
    {"mnuOpen", "File1", "&Open...", QKeySequence(Qt::CTRL | Qt::Key_O), false, false},
    {"mnuSaveAs", "File1", "Save As...", {}, false, false},
    {"N2", "File1", nullptr, {}, false, false},
    {"Exit1", "File1", "E&xit", {}, false, false},
    {"mnuLowerCase", "mnuOptions", "Lower Case", {}, true, false},
    {"mnuCT", "mnuOptions", "Auto CT/AR", {}, true, false},
    {"mnuPunct", "mnuOptions", "Punctuation", {}, true, false},
    {"mnuScan", "mnuOptions", "Accented Chars", {}, true, false},
    {"N1", "mnuOptions", nullptr, {}, false, false},
    {"mnuSpeaker", "mnuOptions", "Internal Speaker", {}, true, true},
    {"mnuSoundcard", "mnuOptions", "Soundcard", {}, true, true},
    {"N3", "mnuOptions", nullptr, {}, false, false},
    {"mnuFont", "mnuOptions", "&Font...", {}, false, false},
    {"N4", "mnuOptions", nullptr, {}, false, false},
    {"mnuSettings", "mnuOptions", "Save Settings on Close", {}, true, false},
    {"mnuNow", "mnuOptions", "Save Settings Now", {}, false, false},
    {"mnuHelp", "Help1", "&Help", {}, false, false},
    {"mnuAbout", "Help1", "&About...", {}, false, false},
};

TEST_F(MainWindowLayout, MenuTreeHasItsCaptionsShortcutsSeparatorsAndRadioItems)
{
    TMorse& m = morse();
    const QList<QAction*> bar = m.menuBar()->actions();
    ASSERT_EQ(bar.size(), 3);
    EXPECT_EQ(bar[0]->text(), QStringLiteral("&File"));
    EXPECT_EQ(bar[1]->text(), QStringLiteral("&Options"));
    EXPECT_EQ(bar[2]->text(), QStringLiteral("&Help"));

    QMap<QString, int> position;
    for (const MenuRow& row : kMenu) {
        SCOPED_TRACE(row.name);
        auto* menu = m.findChild<QMenu*>(QString::fromLatin1(row.parent));
        ASSERT_NE(menu, nullptr);
        const QList<QAction*> items = menu->actions();
        const int index = position[QString::fromLatin1(row.parent)]++;
        ASSERT_LT(index, items.size());
        QAction* item = items[index];
        EXPECT_EQ(item->objectName(), QString::fromLatin1(row.name));
        if (!row.caption) {
            EXPECT_TRUE(item->isSeparator());
            continue;
        }
        EXPECT_EQ(item->text(), QString::fromLatin1(row.caption));
        EXPECT_EQ(item->shortcut(), row.shortcut);
        EXPECT_EQ(item->isCheckable(), row.checkable);
        EXPECT_EQ(item->actionGroup() != nullptr, row.radio);
    }
    // Stored as the letter's key code with the Ctrl flag: 0x4000 + 'N' and 0x4000 + 'O'.
    EXPECT_EQ(0x4000 + m.mnuNew->shortcut()[0].key(), 16462);
    EXPECT_EQ(0x4000 + m.mnuOpen->shortcut()[0].key(), 16463);
}

// The route items' radio rule, click by click.
TEST_F(MainWindowLayout, RouteItemsFollowTheRadioRule)
{
    TMorse& m = morse();
    struct Step {
        bool speakerBefore, soundcardBefore;
        QAction* click;
        bool speakerAfter, soundcardAfter;
    };
    const Step steps[] = {
        {true, false, m.mnuSpeaker, false, false},  {true, false, m.mnuSoundcard, false, true},
        {false, true, m.mnuSpeaker, true, false},   {false, true, m.mnuSoundcard, false, false},
        {false, false, m.mnuSpeaker, true, false},  {false, false, m.mnuSoundcard, false, true},
    };
    for (const Step& s : steps) {
        m.mnuSpeaker->setChecked(false);
        m.mnuSoundcard->setChecked(false);
        m.mnuSpeaker->setChecked(s.speakerBefore);
        m.mnuSoundcard->setChecked(s.soundcardBefore);
        s.click->trigger();
        EXPECT_EQ(m.mnuSpeaker->isChecked(), s.speakerAfter);
        EXPECT_EQ(m.mnuSoundcard->isChecked(), s.soundcardAfter);
    }
    // The other options flip on every click and touch nothing else.
    for (QAction* option : {m.mnuLowerCase, m.mnuCT, m.mnuPunct, m.mnuScan, m.mnuSettings}) {
        const bool before = option->isChecked();
        const bool speaker = m.mnuSpeaker->isChecked();
        option->trigger();
        EXPECT_NE(option->isChecked(), before);
        option->trigger();
        EXPECT_EQ(option->isChecked(), before);
        EXPECT_EQ(m.mnuSpeaker->isChecked(), speaker);
    }
}

} // namespace
