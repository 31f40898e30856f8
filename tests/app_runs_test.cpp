// The four runs, Stop, close requests and option changes, driven through the real main window on
// the virtual clock: real buttons, menu actions, memo and controls; only the tone routes record.
#include "tests/support/ProcStatus.h"
#include "tests/support/AppFixture.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/SpinEdit.h"
#include "app/Unit1.h"
#include "keying/Keyer.h"
#include "persistence/Cp1252.h"
#include "tests/support/KeyingTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

using quindle::Keyer;
using quindle::kIndicatorGreen;
using quindle::kIndicatorRed;
using quindle::MenuOption;
using quindle::RecordingToneRoutes;
using quindle::TMorse;
using quindle::testing::decode;
using quindle::testing::when;

class RunTest : public quindle::AppFixture {
protected:
    RunTest()
    {
        clock.setCounterSource([this] { return m_counter += 1'000'003; });
        recordTones();
        TMorse& m = morse();
        // Known options whatever the defaults: speaker route, capitals, no framing.
        m.mnuSpeaker->setChecked(true);
        m.mnuSoundcard->setChecked(false);
        m.mnuLowerCase->setChecked(false);
        m.mnuCT->setChecked(false);
        m.mnuPunct->setChecked(false);
        m.mnuScan->setChecked(false);
        m.SpeedT->setPosition(100);
        m.tbDelay->setPosition(1);
        m.spFreq->setValue(750);
        m.show();
        QObject::connect(&m, &TMorse::finished, &m, [this] { ++finishedCount; });
        clock.at(deadlineMs, [this] { watchdog(); });
    }
    ~RunTest() override
    {
        if (morse().closing())
            QApplication::restoreOverrideCursor();
    }

    // A run that should have ended keeps being asked to stop, so a fault fails instead of hanging.
    void watchdog()
    {
        if (clock.nowMs() >= deadlineMs) {
            if (!timedOut)
                ADD_FAILURE() << "still keying at " << clock.nowMs() << " ms";
            timedOut = true;
            morse().btnStop->Tag = 1;
        }
        clock.at(std::max(clock.nowMs() + 1000, deadlineMs), [this] { watchdog(); });
    }

    Keyer& keyer() { return morse().keyer(); }
    void click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void check(QAction* item, bool on) { item->setChecked(on); }

    // The memo in Windows-1252 codes.
    std::string memo()
    {
        std::string text;
        for (int i = 0; i < morse().memoLength(); ++i)
            text += char(morse().memoCharAt(i));
        return text;
    }
    size_t memoSize() { return size_t(morse().memoLength()); }
    void setMemo(const std::string& text)
    {
        QString unicode;
        for (const char c : text)
            unicode += quindle::cp1252::toUnicode(uint8_t(c));
        morse().Memo->setText(unicode);
    }
    int tag() { return morse().btnStop->Tag; }
    bool runButtons() { return morse().Panel2->isEnabled() && morse().btnLetters->isEnabled(); }
    bool clearEnabled() { return morse().btnClear->isEnabled(); }
    bool fileMenu() { return morse().fileMenuEnabled() && morse().mnuOpen->isEnabled(); }
    uint32_t indicator() { return morse().Shape1->brushColor(); }
    int selStart() { return morse().Memo->selStart(); }
    int selLength() { return morse().Memo->selLength(); }
    bool modified() { return morse().Memo->modified(); }

    std::string heard()
    {
        return decode(routes.timeline(), 180 - morse().SpeedT->Position(), morse().tbDelay->Position());
    }
    void stopWhen(std::function<bool()> condition)
    {
        when(clock, std::move(condition), [this] { click(morse().btnStop); });
    }
    static bool memoIsGroups(const std::string& text, bool (*valid)(char))
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (i % 6 == 5 ? text[i] != ' ' : !valid(text[i]))
                return false;
        return text.size() % 6 == 0;
    }
    // What a group run must have keyed for the memo it wrote.
    static std::string upper(std::string text)
    {
        for (char& c : text)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        return text;
    }

    int finishedCount = 0;
    int64_t deadlineMs = 600'000; // virtual [ms]
    bool timedOut = false;

private:
    uint64_t m_counter = 99;
};

bool isCapital(char c)
{
    return c >= 'A' && c <= 'Z';
}
bool isSmall(char c)
{
    return c >= 'a' && c <= 'z';
}
bool isFigure(char c)
{
    return c >= '0' && c <= '9';
}

TEST_F(RunTest, StopDuringTheThirdCharacterCompletesTheGroupThenSendsAr)
{
    check(morse().mnuCT, true);
    morse().btnStop->Tag = 1; // a stale request is cleared by the run
    bool busyInside = false;
    stopWhen([&] {
        busyInside = runButtons() == false && clearEnabled() == false && indicator() == kIndicatorGreen &&
                     fileMenu() && keyer().isRunning();
        return memoSize() == 3;
    });
    bool idleLookDuringFinish = false;
    when(
        clock, [&] { return memoSize() == 5; },
        [&] { idleLookDuringFinish = runButtons() && clearEnabled() && indicator() == kIndicatorRed; });
    click(morse().btnLetters);

    EXPECT_TRUE(busyInside);
    EXPECT_TRUE(idleLookDuringFinish);
    ASSERT_TRUE(memoIsGroups(memo(), isCapital)) << memo();
    EXPECT_EQ(memoSize(), 6u);
    EXPECT_EQ(heard(), "[-.-.-] " + memo() + "[.-.-.]");
    EXPECT_EQ(tag(), 0);
    EXPECT_EQ(indicator(), kIndicatorRed);
    EXPECT_TRUE(runButtons() && clearEnabled() && fileMenu());
    EXPECT_EQ(selStart(), 6); // the characters after Stop moved the caret back to the end
    EXPECT_TRUE(modified());
    EXPECT_FALSE(keyer().isRunning());
}

TEST_F(RunTest, StopDuringTheTrailingSpaceEndsAfterTheGroupWithTheCaretAtTheStart)
{
    stopWhen([&] { return memoSize() == 6; });
    click(morse().btnNumbers);
    ASSERT_TRUE(memoIsGroups(memo(), isFigure)) << memo();
    EXPECT_EQ(memoSize(), 6u);
    EXPECT_EQ(heard(), memo().substr(0, 5)); // no AR without Auto CT/AR
    EXPECT_EQ(selStart(), 0);
    EXPECT_EQ(tag(), 0);
}

TEST_F(RunTest, StopDuringTheFirstCharacterStillShowsAndSendsTheWholeGroup)
{
    check(morse().mnuCT, true);
    stopWhen([&] { return memoSize() == 1; });
    click(morse().btnMixed);
    EXPECT_EQ(memoSize(), 6u);
    EXPECT_EQ(heard(), "[-.-.-] " + memo() + "[.-.-.]");
    EXPECT_EQ(selStart(), 6);
    EXPECT_EQ(selLength(), 0);
}

struct GroupCase {
    const char* name;
    QPushButton* TMorse::*button;
    std::vector<QAction * TMorse::*> options;
    bool (*valid)(char);
};

bool isMixedLowerShown(char c)
{
    const auto u = uint8_t(c);
    return isSmall(c) || isFigure(c) || u == 193 || u == 196 || u == 197 || u == 201 || u == 209 ||
           u == 214 || u == 220 || std::string("\"'-/:=?@,.").find(c) != std::string::npos;
}
bool isLetterOrFigure(char c)
{
    return isCapital(c) || isFigure(c);
}

const GroupCase kGroupCases[] = {
    {"LettersCapitals", &TMorse::btnLetters, {}, isCapital},
    {"LettersLowerCase", &TMorse::btnLetters, {&TMorse::mnuLowerCase}, isSmall},
    {"LettersIgnorePunctuationAndAccents",
     &TMorse::btnLetters,
     {&TMorse::mnuPunct, &TMorse::mnuScan},
     isCapital},
    {"NumbersIgnoreLowerCaseAndPunctuation",
     &TMorse::btnNumbers,
     {&TMorse::mnuLowerCase, &TMorse::mnuPunct, &TMorse::mnuScan},
     isFigure},
    {"MixedPlain", &TMorse::btnMixed, {}, isLetterOrFigure},
    {"MixedLowerCaseKeepsCapitalAccents",
     &TMorse::btnMixed,
     {&TMorse::mnuLowerCase, &TMorse::mnuPunct, &TMorse::mnuScan},
     isMixedLowerShown},
};

void PrintTo(const GroupCase& c, std::ostream* os)
{
    *os << c.name;
}

class GroupRun : public RunTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(GroupRun, ShowsEachCharacterThenSendsItsCapital)
{
    const GroupCase& c = GetParam();
    for (QAction* TMorse::*option : c.options)
        (morse().*option)->trigger();
    stopWhen([&] { return memoSize() >= 60 * 6 - 1; });
    click(morse().*c.button);
    ASSERT_EQ(memoSize(), 60u * 6);
    EXPECT_TRUE(memoIsGroups(memo(), c.valid)) << memo();
    std::string expected = upper(memo());
    for (char& ch : expected)
        if (uint8_t(ch) == 197)
            ch = char(193); // they sound the same
    EXPECT_EQ(heard(), expected.substr(0, expected.size() - 1));
}

INSTANTIATE_TEST_SUITE_P(Options, GroupRun, ::testing::ValuesIn(kGroupCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, GroupRunReseedsBeforeEachGroup)
{
    int reads = 0;
    clock.setCounterSource([&] { return uint64_t(++reads) * 7'777'777; });
    stopWhen([&] { return memoSize() == 13; });
    click(morse().btnLetters);
    EXPECT_EQ(reads, 3);
}

TEST_F(RunTest, AutoCtTickedDuringARunGivesNoCtButAr)
{
    when(
        clock, [&] { return memoSize() == 2; }, [&] { check(morse().mnuCT, true); });
    stopWhen([&] { return memoSize() == 8; });
    click(morse().btnLetters);
    EXPECT_EQ(heard(), memo() + "[.-.-.]");
}

TEST_F(RunTest, RouteAndToneChangesTakeEffectAtTheNextElement)
{
    // Menu clicks: Soundcard moves the bullet, a second click leaves neither, then Speaker again.
    when(
        clock, [&] { return memoSize() == 4; },
        [&] {
            morse().mnuSoundcard->trigger();
            morse().spFreq->setValue(900);
        });
    when(
        clock, [&] { return memoSize() == 8; }, [&] { morse().mnuSoundcard->trigger(); });
    when(
        clock, [&] { return memoSize() == 10; },
        [&] {
            morse().mnuSpeaker->trigger();
            morse().spFreq->setValue(600);
        });
    stopWhen([&] { return memoSize() == 12; });
    click(morse().btnLetters);
    const std::string timeline = routes.timeline();
    const size_t firstCard = timeline.find('C');
    const size_t lastCard = timeline.rfind('C');
    ASSERT_NE(firstCard, std::string::npos);
    EXPECT_EQ(timeline.substr(0, firstCard).find("S6"), std::string::npos);
    EXPECT_NE(timeline.substr(0, firstCard).find("S750"), std::string::npos);
    EXPECT_EQ(timeline.find("S900"), std::string::npos); // the speaker was off while the tone was 900
    EXPECT_EQ(timeline.substr(lastCard).find("S750"), std::string::npos);
    EXPECT_NE(timeline.substr(lastCard).find("S600"), std::string::npos);
    EXPECT_EQ(heard().substr(0, 3), memo().substr(0, 3));
}

TEST_F(RunTest, InputInsideALongGapIsTakenAtOnceAndItsEffectsLandAtTheMessagePoints)
{
    // "EEE" at the slowest speed with Delay 10: E is 150 ms of tone and 150 of pause, then a 4.5 s
    // letter gap. Inside that gap a Tab moves the focus at once, Stop turns the window idle at
    // once (held 100 ms, while the run would move the focus), and the font dialog, which may hold
    // the run, opens at the message point after the character. Nothing after E is keyed.
    morse().SpeedT->setPosition(30);
    morse().tbDelay->setPosition(10);
    setMemo("EEE");
    morse().Memo->setSelStart(0);
    morse().Memo->setFocus();
    const int64_t start = clock.nowMs();
    int64_t tabAt = -1, redAt = -1, fontAt = -1;
    dialogs.cancelFont([&] {
        fontAt = clock.nowMs();
        clock.advanceNs(2'000'000'000); // the dialog stays open 2 s
    });
    clock.at(start + 1000, [&] {
        QWidget* before = QApplication::focusWidget();
        QTest::keyClick(before, Qt::Key_Tab);
        tabAt = QApplication::focusWidget() != before ? clock.nowMs() : -1;
    });
    clock.at(start + 1500, [&] { morse().mnuFont->trigger(); });
    clock.at(start + 2000, [&] { QTest::mousePress(morse().btnStop, Qt::LeftButton); });
    clock.at(start + 2100, [&] {
        QTest::mouseRelease(morse().btnStop, Qt::LeftButton);
        redAt = indicator() == quindle::kIndicatorRed ? clock.nowMs() : -1;
    });
    click(morse().btnText);
    EXPECT_EQ(tabAt, start + 1000);
    EXPECT_EQ(redAt, start + 2100);
    EXPECT_EQ(fontAt, start + 4800);
    EXPECT_EQ(heard(), "E");
}

TEST_F(RunTest, AStopPressHeldDuringTheFastestTextRunIsTaken)
{
    // The run moves the focus to the text window before every character, but not while a button
    // is held: a button that loses the focus between press and release drops the press.
    morse().SpeedT->setPosition(165);
    setMemo("EEEEEEEEEEEEEEEEEEEE");
    morse().Memo->setSelStart(0);
    const int64_t start = clock.nowMs();
    clock.at(start + 50, [&] { QTest::mousePress(morse().btnStop, Qt::LeftButton); });
    clock.at(start + 150, [&] { QTest::mouseRelease(morse().btnStop, Qt::LeftButton); });
    click(morse().btnText);
    EXPECT_LT(heard().size(), 5u);
    EXPECT_EQ(indicator(), quindle::kIndicatorRed);
}

TEST_F(RunTest, ASpeedChangeInsideACharacterAppliesFromTheNextOne)
{
    // Made after the second character's first element: that character is heard as planned.
    when(
        clock, [&] { return memoSize() == 2; }, [&] { morse().SpeedT->setPosition(165); });
    stopWhen([&] { return memoSize() == 4; });
    click(morse().btnLetters);
    const auto& plans = routes.forecasts();
    ASSERT_GE(plans.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const int dot = k < 2 ? 80 : 15;
        for (const quindle::CharacterTone& t : plans[k].tones)
            EXPECT_TRUE(t.lengthMs == dot || t.lengthMs == 3 * dot);
    }
}

TEST_F(RunTest, CloseDuringAGroupRunEndsAtTheNextElementWithoutArThenTheWindowCloses)
{
    check(morse().mnuCT, true);
    morse().SpeedT->setPosition(30);
    morse().tbDelay->setPosition(10);
    bool closingShown = false;
    int64_t closedAt = 0;
    when(
        clock, [&] { return memoSize() == 3; },
        [&] {
            click(morse().btnClose);
            closingShown = morse().Panel3->isVisible() && morse().isVisible() && tag() == 1;
            closedAt = clock.nowMs();
            // The Alt of Alt+F4, released now, does not open the menu bar over the notice, nor F10.
            QTest::keyClick(morse().Panel3, Qt::Key_Alt);
            QTest::keyClick(morse().Panel3, Qt::Key_F10);
            closingShown = closingShown && !morse().menuBar()->activeAction() && !morse().menuBar()->hasFocus();
        });
    click(morse().btnLetters);
    EXPECT_TRUE(closingShown);
    // The element that was sounding ends; no other element, gap or character follows.
    EXPECT_LE(clock.nowMs() - closedAt, 3 * Keyer::dotTimeFor(30));
    EXPECT_EQ(memoSize(), 3u);
    EXPECT_EQ(heard().substr(0, 10), "[-.-.-] " + memo().substr(0, 2));
    EXPECT_EQ(heard().find("[.-.-.]"), std::string::npos);
    EXPECT_FALSE(clearEnabled());
    EXPECT_FALSE(runButtons());
    EXPECT_EQ(indicator(), kIndicatorRed);
    EXPECT_EQ(tag(), 0);
    EXPECT_FALSE(keyer().isBusy());
    // The close was carried out only after the run had returned.
    EXPECT_EQ(finishedCount, 1);
    EXPECT_FALSE(morse().isVisible());
}

TEST_F(RunTest, RunClickedWhileAGroupRunFinishesStartsAfterItReturns)
{
    check(morse().mnuCT, true);
    stopWhen([&] { return memoSize() == 2; });
    bool pendingSeen = false;
    when(
        clock, [&] { return memoSize() == 4; },
        [&] {
            click(morse().btnNumbers); // enabled again by Stop; deferred, so it returns at once
            pendingSeen = keyer().hasPendingRun() && memoSize() == 4;
        });
    stopWhen([&] { return memoSize() == 8; });
    click(morse().btnLetters);

    EXPECT_TRUE(pendingSeen);
    ASSERT_EQ(memoSize(), 12u);
    EXPECT_TRUE(memoIsGroups(memo().substr(0, 6), isCapital)) << memo();
    EXPECT_TRUE(memoIsGroups(memo().substr(6), isFigure)) << memo();
    // The letters run ended with its AR before the numbers run opened with CT.
    EXPECT_EQ(heard(), "[-.-.-] " + memo().substr(0, 6) + "[.-.-.][-.-.-] " + memo().substr(6) + "[.-.-.]");
    EXPECT_FALSE(keyer().hasPendingRun());
    EXPECT_FALSE(keyer().isRunning());
}

TEST_F(RunTest, StopCancelsADeferredRun)
{
    setMemo("");
    stopWhen([&] { return memoSize() == 2; });
    when(
        clock, [&] { return memoSize() == 3; }, [&] { click(morse().btnText); });
    stopWhen([&] { return memoSize() == 4; });
    click(morse().btnLetters);
    EXPECT_EQ(memoSize(), 6u);
    EXPECT_EQ(heard(), memo().substr(0, 5));
    EXPECT_FALSE(keyer().hasPendingRun());
}

TEST_F(RunTest, CloseCancelsADeferredRun)
{
    stopWhen([&] { return memoSize() == 2; });
    when(
        clock, [&] { return memoSize() == 3; }, [&] { click(morse().btnMixed); });
    when(
        clock, [&] { return memoSize() == 4; }, [&] { morse().close(); }); // the title bar's close box
    click(morse().btnLetters);
    EXPECT_EQ(memoSize(), 4u);
    EXPECT_EQ(finishedCount, 1);
    EXPECT_FALSE(keyer().isBusy());
}

TEST_F(RunTest, NoRunStartsOnceTheWindowIsClosing)
{
    when(
        clock, [&] { return memoSize() == 2; }, [&] { click(morse().btnClose); });
    // Stop enables the run buttons again; a click on one must not outlive the closing window.
    when(
        clock, [&] { return memoSize() == 3; },
        [&] {
            click(morse().btnStop);
            click(morse().btnNumbers);
        });
    click(morse().btnLetters);
    EXPECT_EQ(memoSize(), 2u);
    EXPECT_FALSE(keyer().hasPendingRun());
    EXPECT_EQ(finishedCount, 1);
    click(morse().btnText);
    EXPECT_EQ(memoSize(), 2u);
    EXPECT_FALSE(keyer().isBusy());
}

TEST_F(RunTest, StopWhileIdleMakesTheWindowIdleAndRaisesTheRequest)
{
    setMemo("ABC");
    morse().Memo->setSelStart(2);
    morse().setFileMenuEnabled(false);
    click(morse().btnStop);
    EXPECT_EQ(tag(), 1);
    EXPECT_EQ(selStart(), 0);
    EXPECT_TRUE(modified() && runButtons() && clearEnabled() && fileMenu());
    EXPECT_EQ(indicator(), kIndicatorRed);
    ASSERT_EQ(routes.calls().size(), 1u);
    EXPECT_EQ(routes.calls()[0].kind, RecordingToneRoutes::Kind::SpeakerNoSound);
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(RunTest, RunClickedInsideTheStopHandlerStartsAfterIt)
{
    setMemo("PARIS");
    morse().Memo->setSelStart(2);
    clock.at(0, [&] { click(morse().btnText); }); // runs in the Stop handler's message processing
    click(morse().btnStop);
    // Nested, the run would have started at the old caret (R); deferred, it follows Stop's caret.
    EXPECT_EQ(heard(), "PARIS");
}

TEST_F(RunTest, TypingDuringAGroupRunStaysAndGroupsFollowIt)
{
    when(
        clock, [&] { return memoSize() == 2; },
        [&] {
            morse().Memo->setFocus();
            QTest::keyClicks(morse().Memo, "xyz");
        });
    stopWhen([&] { return memoSize() == 9; });
    click(morse().btnLetters);
    const std::string text = memo();
    ASSERT_EQ(text.size(), 9u);
    EXPECT_EQ(text.substr(2, 3), "xyz");
    EXPECT_TRUE(memoIsGroups(text.substr(0, 2) + text.substr(5), isCapital)) << text;
}

// ---- Text runs

class TextRun : public RunTest {
protected:
    // Positions highlighted while something sounded or paused.
    std::vector<int> highlighted;
    void watchHighlight()
    {
        clock.setSleepHook([this](int) {
            if (selLength() == 1 && (highlighted.empty() || highlighted.back() != selStart()))
                highlighted.push_back(selStart());
        });
    }
};

TEST_F(TextRun, CaretAtTheEndSendsTheWholeTextThenRunsStop)
{
    setMemo("Paris");
    morse().Memo->setSelStart(5);
    watchHighlight();
    bool busyInside = false;
    when(
        clock, [] { return true; },
        [&] {
            busyInside = !fileMenu() && !runButtons() && !clearEnabled() && indicator() == kIndicatorGreen;
        });
    click(morse().btnText);
    EXPECT_TRUE(busyInside);
    EXPECT_EQ(heard(), "PARIS");
    EXPECT_EQ(highlighted, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(tag(), 1);
    EXPECT_EQ(selStart(), 0);
    EXPECT_TRUE(runButtons() && clearEnabled() && fileMenu() && modified());
    EXPECT_EQ(indicator(), kIndicatorRed);
    EXPECT_EQ(memo(), "Paris");
}

TEST_F(TextRun, StartsAtTheSelectionAndRunsToTheEnd)
{
    setMemo("ABCDEFGHIJ");
    morse().Memo->setSelStart(4); // characters 5 to 9 selected
    morse().Memo->setSelLength(5);
    click(morse().btnText);
    EXPECT_EQ(heard(), "EFGHIJ");
    // The caret at the start after a completed run: the next run sends everything.
    routes.clear();
    clock.clearSleeps();
    click(morse().btnText);
    EXPECT_EQ(heard(), "ABCDEFGHIJ");
    EXPECT_EQ(clock.scheduleStarts(), 2) << "each run keys on a schedule of its own";
}

TEST_F(TextRun, JoinsAndSilentCharacters)
{
    struct Row {
        std::string text;
        std::string heard;
    };
    const Row rows[] = {
        {"!ar k", "[.-.-.] K"},
        {"!S!OS", "[...---...]"},
        {"E\xE1"
         "E",
         "EE"}, // á: highlighted, silent, no gap
        {"!\xE1"
         "EE",
         "EE"},                           // the silent character uses the join up
        {"\xC1\xC9\xD1", "\xC1\xC9\xD1"}, // capitals are sent
        {"A\r\nB", "A  B"},
        {"!", ""},
        {"az", "AZ"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        setMemo(row.text);
        morse().Memo->setSelStart(0);
        clock.clearSleeps();
        routes.clear();
        click(morse().btnText);
        EXPECT_EQ(heard(), row.heard);
        EXPECT_EQ(tag(), 1);
    }
    setMemo("E\xE1"
            "E");
    morse().Memo->setSelStart(0);
    clock.clearSleeps();
    routes.clear();
    click(morse().btnText);
    const std::string withAccent = routes.timeline();
    setMemo("EE");
    morse().Memo->setSelStart(0);
    clock.clearSleeps();
    routes.clear();
    click(morse().btnText);
    EXPECT_EQ(withAccent, routes.timeline());
}

// Calls back at every paint of the object it filters.
class PaintWatch final : public QObject {
public:
    explicit PaintWatch(std::function<void()> onPaint) : m_onPaint(std::move(onPaint)) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            m_onPaint();
        return false;
    }

private:
    std::function<void()> m_onPaint;
};

TEST_F(TextRun, EachCharacterIsPaintedHighlightedBeforeItIsKeyedAJoinToo)
{
    setMemo("E!EE");
    morse().Memo->setSelStart(0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&morse()));
    std::vector<int> painted; // the one-character selections the memo was painted with
    PaintWatch watch([&] {
        if (selLength() == 1 && (painted.empty() || painted.back() != selStart()))
            painted.push_back(selStart());
    });
    morse().Memo->viewport()->installEventFilter(&watch);
    std::vector<int> keyedUnpainted;
    clock.setSleepHook([&](int) {
        if (selLength() == 1 && (painted.empty() || painted.back() != selStart()))
            keyedUnpainted.push_back(selStart());
    });
    click(morse().btnText);
    EXPECT_EQ(heard(), "EI"); // the join runs the last two together
    EXPECT_EQ(painted, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(keyedUnpainted, std::vector<int>{});
}

TEST_F(TextRun, AutoCtFramesTheText)
{
    check(morse().mnuCT, true);
    setMemo("PARIS");
    click(morse().btnText);
    EXPECT_EQ(heard(), "[-.-.-] PARIS [.-.-.]");
}

TEST_F(TextRun, StopDuringACharacterCompletesItAndSendsNothingMore)
{
    check(morse().mnuCT, true);
    setMemo("PARIS");
    stopWhen([&] { return selStart() == 2 && selLength() == 1; });
    click(morse().btnText);
    EXPECT_EQ(heard(), "[-.-.-] PAR");
    EXPECT_EQ(tag(), 0);
    EXPECT_EQ(selStart(), 0);
    EXPECT_TRUE(runButtons() && clearEnabled() && fileMenu());
    EXPECT_EQ(indicator(), kIndicatorRed);
}

TEST_F(TextRun, CloseDuringACharacterEndsTheRunThenTheWindowCloses)
{
    setMemo("PARIS");
    when(
        clock, [&] { return selStart() == 2 && selLength() == 1; }, [&] { click(morse().btnClose); });
    click(morse().btnText);
    EXPECT_EQ(heard(), "PAE"); // R's first element, which was sounding, and nothing after it
    EXPECT_EQ(tag(), 0);
    EXPECT_TRUE(morse().Panel2->isEnabled());
    EXPECT_FALSE(clearEnabled());
    EXPECT_FALSE(morse().fileMenuEnabled());
    EXPECT_EQ(finishedCount, 1);
}

TEST_F(TextRun, TextAddedDuringTheRunIsNotSent)
{
    setMemo("EE");
    when(
        clock, [&] { return selStart() == 1; }, [&] { morse().Memo->append(QStringLiteral("TTT")); });
    click(morse().btnText);
    EXPECT_EQ(heard(), "EE");
}

TEST_F(TextRun, TextShortenedDuringTheRunEndsItAsIfItsEndWereReached)
{
    check(morse().mnuCT, true);
    setMemo("PARIS");
    // A shorter text set while R sounds: "PA" remains, position 4 no longer exists.
    when(
        clock, [&] { return selStart() == 2; }, [&] { setMemo("PA"); });
    click(morse().btnText);
    EXPECT_EQ(heard(), "[-.-.-] PAR [.-.-.]");
    EXPECT_EQ(tag(), 1);
    EXPECT_EQ(selStart(), 0);
}

TEST_F(TextRun, TextEmptiedDuringTheOpeningSignalSendsOnlyTheFrame)
{
    check(morse().mnuCT, true);
    setMemo("PARIS");
    clock.at(1, [&] { setMemo(""); });
    click(morse().btnText);
    EXPECT_EQ(heard(), "[-.-.-]  [.-.-.]");
}

TEST_F(TextRun, EmptyMemoOnlyClearsTheRequestAndReArmsGapFlag)
{
    morse().btnStop->Tag = 1;
    keyer().GapFlag = 0;
    click(morse().btnText);
    EXPECT_EQ(tag(), 0);
    EXPECT_EQ(keyer().GapFlag, 1);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(runButtons() && clearEnabled() && fileMenu());
    EXPECT_FALSE(modified());
    EXPECT_EQ(indicator(), kIndicatorRed);
}

// ---- A long run

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsMeaningful = false; // freed blocks are held in quarantine
#else
constexpr bool kResidentMemoryIsMeaningful = true;
#endif

long residentKiB()
{
    return quindle::testing::procStatus("VmRSS").toLong();
}

TEST_F(RunTest, LongGroupRunKeepsMemoryFlat)
{
    deadlineMs = 100'000'000;
    morse().SpeedT->setPosition(165);
    morse().mnuSoundcard->trigger();
    clock.setRecording(false);
    routes.setRecording(false);
    constexpr size_t kCharacters = 120'000; // 20,000 groups
    constexpr size_t kSegment = 12'000;
    long residentAtStart = 0;
    size_t segments = 0;
    size_t mostPendingActions = 0;
    std::vector<uint64_t> callsAt;
    std::vector<std::clock_t> cpuAt; // recorded for the report, never asserted
    stopWhen([&] {
        mostPendingActions = std::max(mostPendingActions, clock.pendingActions());
        if (memoSize() >= (segments + 1) * kSegment) {
            ++segments;
            callsAt.push_back(routes.callCount());
            cpuAt.push_back(std::clock());
            if (segments == 1)
                residentAtStart = residentKiB();
        }
        return memoSize() >= kCharacters;
    });
    click(morse().btnMixed);
    EXPECT_EQ(memoSize(), kCharacters);
    EXPECT_EQ(memo().substr(kCharacters - 6, 5).find(' '), std::string::npos);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(routes.calls().empty());
    EXPECT_LE(mostPendingActions, 3u); // the poller and the watchdog
    // Nothing but the memo may grow: its 108,000 further characters are well under 8 MiB.
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(residentKiB() - residentAtStart, 8192);
    }
    // Every segment keyed about as many elements: the run neither stalls nor skips.
    ASSERT_EQ(callsAt.size(), kCharacters / kSegment);
    const double first = double(callsAt[1] - callsAt[0]);
    const double last = double(callsAt.back() - callsAt[callsAt.size() - 2]);
    EXPECT_NEAR(last / first, 1.0, 0.05);
    auto cpuPerCharUs = [&](size_t segment) {
        return int(double(cpuAt[segment] - cpuAt[segment - 1]) * 1e6 / CLOCKS_PER_SEC / kSegment);
    };
    RecordProperty("cpu_us_per_char_second_segment", cpuPerCharUs(1));
    RecordProperty("cpu_us_per_char_last_segment", cpuPerCharUs(cpuAt.size() - 1));
}

} // namespace
