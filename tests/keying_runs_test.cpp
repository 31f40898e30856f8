// The four runs, Stop, close requests and option changes, on the virtual clock.
#include "keying/Keyer.h"
#include "tests/keying_support.h"
#include "tests/support/RecordingToneRoutes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quindle::kIndicatorGreen;
using quindle::kIndicatorRed;
using quindle::Keyer;
using quindle::MenuOption;
using quindle::RecordingToneRoutes;
using quindle::VirtualClock;
using quindle::testing::decode;
using quindle::testing::FakeHost;
using quindle::testing::when;

class RunTest : public ::testing::Test {
protected:
    RunTest()
    {
        clock.setCounterSource([this] { return m_counter += 1'000'003; });
        keyer.setIdleHandler([this] { ++idleCalls; });
    }

    std::string heard() const { return decode(routes.timeline(), 180 - host.speed, host.delay); }
    void stopWhen(std::function<bool()> condition)
    {
        when(clock, std::move(condition), [this] { keyer.btnStopClick(); });
    }
    bool memoIsGroups(const std::string& text, bool (*valid)(char)) const
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (i % 6 == 5 ? text[i] != ' ' : !valid(text[i]))
                return false;
        return text.size() % 6 == 0;
    }
    // What a group run must have keyed for the memo it wrote, upper-cased.
    static std::string upper(std::string text)
    {
        for (char& c : text)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        return text;
    }

    VirtualClock clock;
    FakeHost host{clock};
    RecordingToneRoutes routes{clock};
    Keyer keyer{host, routes, clock};
    int idleCalls = 0;

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
    host.checked.insert(MenuOption::AutoCT);
    host.tag = 1; // a stale request is cleared by the run
    bool busyInside = false;
    stopWhen([&] {
        busyInside = host.runButtons == false && host.clearEnabled == false && host.indicator == kIndicatorGreen &&
                     host.fileMenu && keyer.isRunning();
        return host.memo.size() == 3;
    });
    bool idleLookDuringFinish = false;
    when(clock, [&] { return host.memo.size() == 5; },
         [&] { idleLookDuringFinish = host.runButtons && host.clearEnabled && host.indicator == kIndicatorRed; });
    keyer.btnLettersClick();

    EXPECT_TRUE(busyInside);
    EXPECT_TRUE(idleLookDuringFinish);
    ASSERT_TRUE(memoIsGroups(host.memo, isCapital)) << host.memo;
    EXPECT_EQ(host.memo.size(), 6u);
    EXPECT_EQ(heard(), "[-.-.-] " + host.memo + "[.-.-.]");
    EXPECT_EQ(host.tag, 0);
    EXPECT_EQ(host.indicator, kIndicatorRed);
    EXPECT_TRUE(host.runButtons && host.clearEnabled && host.fileMenu);
    EXPECT_EQ(host.selStart, 6); // the characters after Stop moved the caret back to the end
    EXPECT_TRUE(host.modified);
    EXPECT_FALSE(keyer.isRunning());
    EXPECT_EQ(idleCalls, 1); // not after the Stop handler nested in the run
}

TEST_F(RunTest, StopDuringTheTrailingSpaceEndsAfterTheGroupWithTheCaretAtTheStart)
{
    stopWhen([&] { return host.memo.size() == 6; });
    keyer.btnNumbersClick();
    ASSERT_TRUE(memoIsGroups(host.memo, isFigure)) << host.memo;
    EXPECT_EQ(host.memo.size(), 6u);
    EXPECT_EQ(heard(), host.memo.substr(0, 5)); // no AR without Auto CT/AR
    EXPECT_EQ(host.selStart, 0);
    EXPECT_EQ(host.tag, 0);
}

TEST_F(RunTest, StopDuringTheFirstCharacterStillShowsAndSendsTheWholeGroup)
{
    host.checked.insert(MenuOption::AutoCT);
    stopWhen([&] { return host.memo.size() == 1; });
    keyer.btnMixedClick();
    EXPECT_EQ(host.memo.size(), 6u);
    EXPECT_EQ(heard(), "[-.-.-] " + host.memo + "[.-.-.]");
    EXPECT_EQ(host.selStart, 6);
    EXPECT_EQ(host.selLength, 0);
}

struct GroupCase {
    const char* name;
    void (Keyer::*click)();
    std::set<MenuOption> options;
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
    {"LettersCapitals", &Keyer::btnLettersClick, {}, isCapital},
    {"LettersLowerCase", &Keyer::btnLettersClick, {MenuOption::LowerCase}, isSmall},
    {"LettersIgnorePunctuationAndAccents", &Keyer::btnLettersClick,
     {MenuOption::Punctuation, MenuOption::Accented}, isCapital},
    {"NumbersIgnoreLowerCaseAndPunctuation", &Keyer::btnNumbersClick,
     {MenuOption::LowerCase, MenuOption::Punctuation, MenuOption::Accented}, isFigure},
    {"MixedPlain", &Keyer::btnMixedClick, {}, isLetterOrFigure},
    {"MixedLowerCaseKeepsCapitalAccents", &Keyer::btnMixedClick,
     {MenuOption::LowerCase, MenuOption::Punctuation, MenuOption::Accented}, isMixedLowerShown},
};

void PrintTo(const GroupCase& c, std::ostream* os)
{
    *os << c.name;
}

class GroupRun : public RunTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(GroupRun, ShowsEachCharacterThenSendsItsCapital)
{
    const GroupCase& c = GetParam();
    for (MenuOption option : c.options)
        host.checked.insert(option);
    stopWhen([&] { return host.memo.size() >= 60 * 6 - 1; });
    (keyer.*c.click)();
    ASSERT_EQ(host.memo.size(), 60u * 6);
    EXPECT_TRUE(memoIsGroups(host.memo, c.valid)) << host.memo;
    std::string expected = upper(host.memo);
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
    stopWhen([&] { return host.memo.size() == 13; });
    keyer.btnLettersClick();
    EXPECT_EQ(reads, 3);
}

TEST_F(RunTest, AutoCtTickedDuringARunGivesNoCtButAr)
{
    when(clock, [&] { return host.memo.size() == 2; }, [&] { host.checked.insert(MenuOption::AutoCT); });
    stopWhen([&] { return host.memo.size() == 8; });
    keyer.btnLettersClick();
    EXPECT_EQ(heard(), host.memo + "[.-.-.]");
}

TEST_F(RunTest, RouteAndToneChangesTakeEffectAtTheNextElement)
{
    when(clock, [&] { return host.memo.size() == 4; }, [&] {
        host.checked = {MenuOption::Soundcard};
        host.tone = 900;
    });
    when(clock, [&] { return host.memo.size() == 8; }, [&] { host.checked.clear(); });
    when(clock, [&] { return host.memo.size() == 10; }, [&] {
        host.checked = {MenuOption::Speaker};
        host.tone = 600;
    });
    stopWhen([&] { return host.memo.size() == 12; });
    keyer.btnLettersClick();
    const std::string timeline = routes.timeline();
    const size_t firstCard = timeline.find('C');
    const size_t lastCard = timeline.rfind('C');
    ASSERT_NE(firstCard, std::string::npos);
    EXPECT_EQ(timeline.substr(0, firstCard).find("S6"), std::string::npos);
    EXPECT_NE(timeline.substr(0, firstCard).find("S750"), std::string::npos);
    EXPECT_EQ(timeline.find("S900"), std::string::npos); // the speaker was off while the tone was 900
    EXPECT_EQ(timeline.substr(lastCard).find("S750"), std::string::npos);
    EXPECT_NE(timeline.substr(lastCard).find("S600"), std::string::npos);
    EXPECT_EQ(heard().substr(0, 3), host.memo.substr(0, 3));
}

TEST_F(RunTest, CloseDuringAGroupRunCompletesTheGroupAndLeavesClearDisabled)
{
    host.checked.insert(MenuOption::AutoCT);
    bool runningWhenIdle = true;
    keyer.setIdleHandler([&] {
        ++idleCalls;
        runningWhenIdle = keyer.isBusy();
    });
    // What the window's close request does: only the stop request is raised.
    when(clock, [&] { return host.memo.size() == 3; }, [&] { host.tag = 1; });
    keyer.btnLettersClick();
    EXPECT_EQ(host.memo.size(), 6u);
    EXPECT_EQ(heard(), "[-.-.-] " + host.memo + "[.-.-.]");
    EXPECT_FALSE(host.clearEnabled);
    EXPECT_FALSE(host.runButtons);
    EXPECT_EQ(host.indicator, kIndicatorRed);
    EXPECT_EQ(host.tag, 0);
    EXPECT_EQ(idleCalls, 1);
    EXPECT_FALSE(runningWhenIdle);
}

TEST_F(RunTest, RunClickedWhileAGroupRunFinishesStartsAfterItReturns)
{
    host.checked.insert(MenuOption::AutoCT);
    stopWhen([&] { return host.memo.size() == 2; });
    bool pendingSeen = false;
    when(clock, [&] { return host.memo.size() == 4; }, [&] {
        keyer.btnNumbersClick(); // deferred: returns at once
        pendingSeen = keyer.hasPendingRun() && host.memo.size() == 4;
    });
    stopWhen([&] { return host.memo.size() == 8; });
    keyer.btnLettersClick();

    EXPECT_TRUE(pendingSeen);
    ASSERT_EQ(host.memo.size(), 12u);
    EXPECT_TRUE(memoIsGroups(host.memo.substr(0, 6), isCapital)) << host.memo;
    EXPECT_TRUE(memoIsGroups(host.memo.substr(6), isFigure)) << host.memo;
    // The letters run ended with its AR before the numbers run opened with CT.
    EXPECT_EQ(heard(), "[-.-.-] " + host.memo.substr(0, 6) + "[.-.-.][-.-.-] " + host.memo.substr(6) + "[.-.-.]");
    EXPECT_EQ(idleCalls, 1);
    EXPECT_FALSE(keyer.hasPendingRun());
}

TEST_F(RunTest, StopCancelsADeferredRun)
{
    stopWhen([&] { return host.memo.size() == 2; });
    when(clock, [&] { return host.memo.size() == 3; }, [&] { keyer.btnTextClick(); });
    stopWhen([&] { return host.memo.size() == 4; });
    keyer.btnLettersClick();
    EXPECT_EQ(host.memo.size(), 6u);
    EXPECT_EQ(heard(), host.memo.substr(0, 5));
    EXPECT_FALSE(keyer.hasPendingRun());
}

TEST_F(RunTest, StopWhileIdleMakesTheWindowIdleAndRaisesTheRequest)
{
    host.memo = "ABC";
    host.selStart = 2;
    host.fileMenu = false;
    keyer.btnStopClick();
    EXPECT_EQ(host.tag, 1);
    EXPECT_EQ(host.selStart, 0);
    EXPECT_TRUE(host.modified && host.runButtons && host.clearEnabled && host.fileMenu);
    EXPECT_EQ(host.indicator, kIndicatorRed);
    EXPECT_EQ(routes.calls().size(), 1u); // SpeakerNoSound
    EXPECT_EQ(host.processCount, 1u);
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(RunTest, RunClickedInsideTheStopHandlerStartsAfterIt)
{
    host.memo = "PARIS";
    host.selStart = 2;
    clock.at(0, [&] { keyer.btnTextClick(); }); // runs in the Stop handler's message processing
    keyer.btnStopClick();
    // Nested, the run would have started at the old caret (R); deferred, it follows Stop's caret.
    EXPECT_EQ(heard(), "PARIS");
    EXPECT_EQ(idleCalls, 1);
}

// ---- Text runs

class TextRun : public RunTest {
protected:
    // Positions highlighted while something sounded or paused.
    std::vector<int> highlighted;
    void watchHighlight()
    {
        clock.setSleepHook([this](int) {
            if (host.selLength == 1 && (highlighted.empty() || highlighted.back() != host.selStart))
                highlighted.push_back(host.selStart);
        });
    }
};

TEST_F(TextRun, CaretAtTheEndSendsTheWholeTextThenRunsStop)
{
    host.memo = "Paris";
    host.selStart = 5;
    host.fileMenu = true;
    watchHighlight();
    bool fileMenuOffInside = false;
    when(clock, [] { return true; }, [&] { fileMenuOffInside = !host.fileMenu && !host.runButtons && !host.clearEnabled; });
    keyer.btnTextClick();
    EXPECT_TRUE(fileMenuOffInside);
    EXPECT_EQ(heard(), "PARIS");
    EXPECT_EQ(highlighted, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(host.tag, 1);
    EXPECT_EQ(host.selStart, 0);
    EXPECT_TRUE(host.runButtons && host.clearEnabled && host.fileMenu && host.modified);
    EXPECT_EQ(host.indicator, kIndicatorRed);
    EXPECT_GE(host.focusCount, 5);
    EXPECT_EQ(host.memo, "Paris");
}

TEST_F(TextRun, StartsAtTheSelectionAndRunsToTheEnd)
{
    host.memo = "ABCDEFGHIJ";
    host.selStart = 4; // characters 5 to 9 selected
    host.selLength = 5;
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "EFGHIJ");
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
        {"E\xE1" "E", "EE"},       // á: highlighted, silent, no gap
        {"!\xE1" "EE", "EE"},      // the silent character uses the join up
        {"\xC1\xC9\xD1", "\xC1\xC9\xD1"}, // capitals are sent
        {"A\r\nB", "A  B"},
        {"!", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        host.memo = row.text;
        host.selStart = 0;
        clock.clearSleeps();
        routes.clear();
        keyer.btnTextClick();
        EXPECT_EQ(heard(), row.heard);
        EXPECT_EQ(host.tag, 1);
    }
    host.memo = "E\xE1" "E";
    host.selStart = 0;
    clock.clearSleeps();
    routes.clear();
    keyer.btnTextClick();
    const std::string withAccent = routes.timeline();
    host.memo = "EE";
    host.selStart = 0;
    clock.clearSleeps();
    routes.clear();
    keyer.btnTextClick();
    EXPECT_EQ(withAccent, routes.timeline());
}

TEST_F(TextRun, AutoCtFramesTheText)
{
    host.checked.insert(MenuOption::AutoCT);
    host.memo = "PARIS";
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "[-.-.-] PARIS [.-.-.]");
}

TEST_F(TextRun, StopDuringACharacterCompletesItAndSendsNothingMore)
{
    host.checked.insert(MenuOption::AutoCT);
    host.memo = "PARIS";
    stopWhen([&] { return host.selStart == 2 && host.selLength == 1; });
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "[-.-.-] PAR");
    EXPECT_EQ(host.tag, 0);
    EXPECT_EQ(host.selStart, 0);
    EXPECT_TRUE(host.runButtons && host.clearEnabled && host.fileMenu);
    EXPECT_EQ(host.indicator, kIndicatorRed);
}

TEST_F(TextRun, CloseDuringACharacterEndsTheRunButLeavesClearAndFileMenuDisabled)
{
    host.memo = "PARIS";
    when(clock, [&] { return host.selStart == 2 && host.selLength == 1; }, [&] { host.tag = 1; });
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "PAR");
    EXPECT_EQ(host.tag, 0);
    EXPECT_TRUE(host.runButtons);
    EXPECT_FALSE(host.clearEnabled);
    EXPECT_FALSE(host.fileMenu);
    EXPECT_EQ(idleCalls, 1);
}

TEST_F(TextRun, TextAddedDuringTheRunIsNotSent)
{
    host.memo = "EE";
    when(clock, [&] { return host.selStart == 1; }, [&] { host.memo += "TTT"; });
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "EE");
}

TEST_F(TextRun, TextShortenedDuringTheRunEndsItAsIfItsEndWereReached)
{
    host.checked.insert(MenuOption::AutoCT);
    host.memo = "PARIS";
    // A shorter file dropped while R sounds: "PA" remains, position 4 no longer exists.
    when(clock, [&] { return host.selStart == 2; }, [&] { host.memo = "PA"; });
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "[-.-.-] PAR [.-.-.]");
    EXPECT_EQ(host.tag, 1);
    EXPECT_EQ(host.selStart, 0);
}

TEST_F(TextRun, TextEmptiedDuringTheOpeningSignalSendsOnlyTheFrame)
{
    host.checked.insert(MenuOption::AutoCT);
    host.memo = "PARIS";
    clock.at(1, [&] { host.memo.clear(); });
    keyer.btnTextClick();
    EXPECT_EQ(heard(), "[-.-.-]  [.-.-.]");
}

TEST_F(TextRun, EmptyMemoOnlyClearsTheRequestAndReArmsGapFlag)
{
    host.tag = 1;
    keyer.GapFlag = 0;
    keyer.btnTextClick();
    EXPECT_EQ(host.tag, 0);
    EXPECT_EQ(keyer.GapFlag, 1);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(host.runButtons && host.clearEnabled && host.fileMenu);
    EXPECT_FALSE(host.modified);
    EXPECT_EQ(host.indicator, kIndicatorRed);
    EXPECT_EQ(host.processCount, 0u);
}

// ---- A long run

long residentKiB()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

TEST_F(RunTest, LongGroupRunKeepsMemoryAndPerCharacterWorkFlat)
{
    host.speed = 165;
    host.deadlineMs = 100'000'000;
    host.checked = {MenuOption::Soundcard};
    clock.setRecording(false);
    routes.setRecording(false);
    constexpr size_t kCharacters = 120'000; // 20,000 groups
    std::vector<uint64_t> processAtThousand;
    host.memo.reserve(kCharacters + 16);
    long residentAtStart = 0;
    stopWhen([&] {
        if (host.memo.size() % 6000 == 0 && processAtThousand.size() * 6000 < host.memo.size()) {
            processAtThousand.push_back(host.processCount);
            if (host.memo.size() == 6000)
                residentAtStart = residentKiB();
        }
        return host.memo.size() >= kCharacters;
    });
    keyer.btnMixedClick();
    EXPECT_EQ(host.memo.size(), kCharacters);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(routes.calls().empty());
    EXPECT_EQ(clock.pendingActions(), 0u);
    // Nothing but the (reserved) memo may grow: resident memory stays within a few MiB.
    EXPECT_LT(residentKiB() - residentAtStart, 4096);
    // Message processing per 1000 groups stays the same from the start of the run to its end.
    ASSERT_GE(processAtThousand.size(), 10u);
    const double first = double(processAtThousand[2] - processAtThousand[1]);
    const double last = double(processAtThousand.back() - processAtThousand[processAtThousand.size() - 2]);
    EXPECT_NEAR(last / first, 1.0, 0.05);
    EXPECT_GT(routes.callCount(), kCharacters);
}

} // namespace
