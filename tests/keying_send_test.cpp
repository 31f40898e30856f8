// Send, the elements and the gaps on the virtual clock, element by element.
#include "keying/Keyer.h"
#include "tests/support/KeyingTestSupport.h"
#include "tests/support/RecordingToneRoutes.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using quindle::Keyer;
using quindle::MenuOption;
using quindle::RecordingToneRoutes;
using quindle::VirtualClock;
using quindle::testing::decode;
using quindle::testing::FakeHost;

class SendTest : public ::testing::Test {
protected:
    // Outside a run GapFlag starts false; the runs arm it before their first character.
    SendTest() { keyer.GapFlag = 1; }

    // Sends each byte of text and returns the timeline of what it made.
    std::string send(const std::string& text)
    {
        clock.clearSleeps();
        routes.clear();
        for (const char c : text)
            keyer.Send(uint8_t(c));
        return routes.timeline();
    }

    VirtualClock clock;
    FakeHost host{clock};
    RecordingToneRoutes routes{clock};
    Keyer keyer{host, routes, clock};
};

struct TimelineCase {
    const char* name;
    int speed;
    int delay;
    int tone;
    std::set<MenuOption> routes;
    std::string text;
    std::string timeline;
};

const TimelineCase kTimelines[] = {
    {"DotAtDefaults", 100, 1, 750, {MenuOption::Speaker}, "E", "S750:80 _80 _240"},
    {"DotDash", 100, 1, 750, {MenuOption::Speaker}, "A", "S750:80 _80 S750:240 _80 _240"},
    {"Fastest", 165, 1, 1000, {MenuOption::Speaker}, "N", "S1000:45 _15 S1000:15 _15 _45"},
    {"FastestSoundcard", 165, 1, 750, {MenuOption::Soundcard}, "N", "C3:33 _15 C1:11 _15 _45"},
    {"SlowestLongestGaps", 30, 10, 750, {MenuOption::Speaker}, "T ", "S750:450 _150 _4500 _3000 _4500"},
    {"Soundcard", 100, 1, 750, {MenuOption::Soundcard}, "A", "C1:76 _80 C3:228 _80 _240"},
    {"SilentRoutes", 100, 1, 750, {}, "A", "_80 _80 _240"},
    {"Delay3", 100, 3, 750, {MenuOption::Speaker}, "E E", "S750:80 _80 _720 _480 _720 S750:80 _80 _720"},
    {"CrLf", 100, 1, 750, {}, "\r\n", "_160 _240 _160 _240"},
    {"AccentedCapital",
     140,
     1,
     600,
     {MenuOption::Speaker},
     "\xC4",
     "S600:40 _40 S600:120 _40 S600:40 _40 S600:120 _40 _120"},
};

void PrintTo(const TimelineCase& c, std::ostream* os)
{
    *os << c.name;
}

class SendTimeline : public SendTest, public ::testing::WithParamInterface<TimelineCase> {};

TEST_P(SendTimeline, KeysElementsAndGaps)
{
    const TimelineCase& c = GetParam();
    host.speed = c.speed;
    host.delay = c.delay;
    host.tone = c.tone;
    host.checked = c.routes;
    EXPECT_EQ(send(c.text), c.timeline);
    // Each character's forecast holds the tones then keyed: route, start, length and pitch.
    std::vector<std::tuple<bool, int64_t, int, int>> forecast, keyed;
    for (const auto& f : routes.forecasts())
        for (const quindle::CharacterTone& t : f.tones)
            forecast.emplace_back(t.speaker, f.startUs + t.startMs * 1000, t.lengthMs, t.frequency);
    for (const auto& call : routes.calls())
        if (call.kind != RecordingToneRoutes::Kind::SpeakerNoSound)
            keyed.emplace_back(call.kind == RecordingToneRoutes::Kind::SpeakerTone, call.startUs, call.ms,
                               int(call.frequency));
    EXPECT_EQ(forecast, keyed);
    // The silence known after a tone never reaches past the next character's beginning.
    const auto& fs = routes.forecasts();
    for (size_t k = 0; k + 1 < fs.size(); ++k)
        for (const quindle::CharacterTone& t : fs[k].tones)
            EXPECT_LE(fs[k].startUs + (t.startMs + t.lengthMs + t.nextCharacterAfterMs) * 1000, fs[k + 1].startUs);
    EXPECT_EQ(keyer.DotTime, 180 - c.speed);
    EXPECT_EQ(keyer.GapFlag, 1);
}

INSTANTIATE_TEST_SUITE_P(Characters, SendTimeline, ::testing::ValuesIn(kTimelines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendTest, EverySpeakerToneIsSilencedAtOnce)
{
    send("0?");
    const auto& calls = routes.calls();
    ASSERT_EQ(calls.size(), 22u);
    for (size_t i = 0; i < calls.size(); i += 2) {
        EXPECT_EQ(calls[i].kind, RecordingToneRoutes::Kind::SpeakerTone);
        EXPECT_EQ(calls[i + 1].kind, RecordingToneRoutes::Kind::SpeakerNoSound);
        EXPECT_EQ(calls[i + 1].startUs, calls[i].startUs + calls[i].ms * 1000);
    }
}

TEST_F(SendTest, UnlistedCodesAreSilentGaplessAndReArmGapFlag)
{
    for (int code : {0, 9, 11, 12, 14, 33, 40, 41, 43, 59, 97, 122, 127, 192, 200, 221, 228, 255, 256, 449}) {
        SCOPED_TRACE(code);
        host.processCount = 0;
        clock.clearSleeps();
        keyer.GapFlag = 0;
        keyer.Send(uint16_t(code));
        EXPECT_TRUE(clock.sleeps().empty());
        EXPECT_EQ(host.processCount, 1u); // once, at the end of the character
        EXPECT_EQ(keyer.GapFlag, 1);
    }
}

TEST_F(SendTest, ClearedGapFlagSkipsTheGapsOfOneCallOnly)
{
    keyer.GapFlag = 0;
    EXPECT_EQ(send(" "), "");
    keyer.GapFlag = 0;
    EXPECT_EQ(decode(send("CT"), 80, 1), "[-.-.-]");
    keyer.GapFlag = 0;
    // An unlisted code uses the join up: E keeps its letter gap.
    EXPECT_EQ(send("aE"), "S750:80 _80 _240");
    keyer.GapFlag = 0;
    EXPECT_EQ(send("E"), "S750:80 _80");
}

TEST_F(SendTest, MessagesRunAfterEveryElementGapAndCharacterOnly)
{
    host.processCount = 0;
    keyer.Send('A');
    EXPECT_EQ(host.processCount, 4u); // two elements, the letter gap, the character
    host.processCount = 0;
    keyer.GapFlag = 0;
    keyer.Send('A');
    EXPECT_EQ(host.processCount, 3u);
    host.processCount = 0;
    keyer.Send(' ');
    EXPECT_EQ(host.processCount, 3u); // word gap, letter gap, character
}

TEST_F(SendTest, AAcuteAndARingSoundTheSame)
{
    EXPECT_EQ(send("\xC1"), send("\xC5"));
}

// Where T is DotTime and d the delay: T between elements, T + 3Td between characters,
// T(1 + 8d) between words, 5Td more for every further space, CR or LF.
TEST_F(SendTest, SpacingFollowsDotTimeAndDelay)
{
    for (int speed : {30, 100, 165}) {
        for (int delay : {1, 2, 10}) {
            SCOPED_TRACE(testing::Message() << "speed " << speed << " delay " << delay);
            host.speed = speed;
            host.delay = delay;
            const int t = 180 - speed;
            const std::string timeline = send("IE E  E\r\nE");
            EXPECT_EQ(decode(timeline, t, delay), "IE E  E  E");
            // Total length: 6 dots, each followed by T; a gap of 3Td after each of the 5 letters;
            // 5Td per space, CR and LF (5 of them).
            int64_t total = 0;
            for (const auto& s : clock.sleeps())
                total += s.ms;
            EXPECT_EQ(total, 6 * 2 * t + 5 * 3 * t * delay + 5 * 5 * t * delay);
        }
    }
}

TEST_F(SendTest, ChangesDuringACharacterApplyFromTheNextOne)
{
    // After the first dash of O (240 + 80 ms): faster, the sound card, a higher tone, delay 2. O is
    // keyed as planned when it began; E is planned with the new values. A route that plays ahead
    // takes the whole character, and its elements only sleep through it.
    const auto change = [this] {
        clock.at(clock.nowMs() + 320, [this] {
            host.speed = 165;
            keyer.SpeedTChange();
            host.tone = 1200;
            host.delay = 2;
        });
        clock.at(clock.nowMs() + 380, [this] { host.checked = {MenuOption::Soundcard}; });
    };
    change();
    EXPECT_EQ(send("OE"), "S750:240 _80 S750:240 _80 S750:240 _80 _240 C1:11 _15 _90");
    EXPECT_EQ(routes.calls().back().frequency, 1200u);
    host.speed = 100;
    host.tone = 750;
    host.delay = 1;
    host.checked = {MenuOption::Speaker};
    routes.setPlaysAhead({true, false});
    change();
    EXPECT_EQ(send("OE"), "_240 _80 _240 _80 _240 _80 _240 C1:11 _15 _90");
    ASSERT_EQ(routes.forecasts().size(), 2u);
    EXPECT_EQ(routes.forecasts()[0].tones.size(), 3u);
    EXPECT_FALSE(routes.forecasts()[1].tones[0].speaker); // E is keyed live on the sound card
}

TEST_F(SendTest, SpeedTChangeOnlySetsDotTime)
{
    host.speed = 42;
    keyer.SpeedTChange();
    EXPECT_EQ(keyer.DotTime, 138);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_EQ(host.processCount, 0u);
}

} // namespace
