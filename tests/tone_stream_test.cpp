// The stream's map and mixer on synthetic schedules, without a device: calls reach the worker at
// chosen moments, frames are rendered as time passes, and every edge is read back from the samples.
#include "clock/Clock.h"
#include "tone/StreamMap.h"
#include "tone/StreamTiming.h"
#include "tone/ToneMixer.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using namespace quindle;
using Kind = StreamRequest::Kind;

constexpr unsigned kRate = 22540;  // [frames/s]
constexpr int64_t kMs = 1'000'000; // [ns]
constexpr int64_t kLevelNs = 20 * kMs;
constexpr int64_t kGuardNs = 8 * kMs;

int64_t frames(int64_t ns)
{
    return (ns * kRate + 500'000'000) / 1'000'000'000;
}

// A worker without a device: frame 0 is taken at 1 s, and every 5 ms it renders what is due.
struct Worker {
    explicit Worker(const StreamMap::Params& params = {kLevelNs, kGuardNs, 5 * kMs, 250 * kMs})
        : map(kRate, params)
    {
        map.anchor(0, 1000 * kMs);
        mixer.reset(0);
        now = 1000 * kMs - params.levelNs;
    }
    StreamMap map;
    ToneMixer mixer;
    std::vector<int16_t> out;
    int64_t now = 0;
    int late = 0, restarts = 0;
    uint64_t tokens = 0;

    void runTo(int64_t t)
    {
        while (now < t) {
            now = std::min(t, now + 5 * kMs);
            const int64_t n = map.renderLimit(now) - mixer.rendered();
            if (n <= 0)
                continue;
            out.resize(out.size() + size_t(n));
            mixer.render(out.data() + out.size() - size_t(n), n);
        }
    }
    // A call stamped atMs on the schedule (epoch, restarted) that reaches the worker lateMs after it.
    void call(Kind kind, int64_t atMs, int64_t lateMs, uint64_t epoch = 1, bool restarted = false,
              int64_t lengthMs = -1)
    {
        callAt(kind, {1000 * kMs + atMs * kMs, epoch, restarted}, 1000 * kMs + (atMs + lateMs) * kMs,
               lengthMs);
    }
    void callAt(Kind kind, const ScheduleTime& at, int64_t arrivalNs, int64_t lengthMs = -1)
    {
        runTo(arrivalNs);
        StreamRequest r;
        r.kind = kind;
        r.at = at;
        r.opening = 1;
        r.token = ++tokens;
        r.hz = 5635; // a quarter of the rate: square samples never sit at zero
        r.lengthNs = lengthMs < 0 ? -1 : lengthMs * kMs;
        if (kind == Kind::PcmWrite)
            r.samples.assign(4091, 1000);
        const StreamMap::Placement p = mixer.accept(std::move(r), map);
        late += p.late;
        restarts += p.restart;
    }
    // One sound-card element as the engine keys it: open, length, four buffers, reset, close.
    void element(int64_t atMs, int64_t toneMs, int64_t lateMs = 0, int64_t stopLateMs = 0, uint64_t epoch = 1,
                 bool restarted = false)
    {
        call(Kind::PcmOpen, atMs, lateMs, epoch, restarted);
        call(Kind::PcmLength, atMs, lateMs, epoch, restarted, toneMs);
        for (int b = 0; b < 4; ++b)
            call(Kind::PcmWrite, atMs, lateMs, epoch, restarted);
        call(Kind::PcmReset, atMs + toneMs, stopLateMs, epoch);
        call(Kind::PcmClose, atMs + toneMs, stopLateMs, epoch);
    }
    // [start, end) of every stretch of sound, in frames.
    std::vector<std::pair<int64_t, int64_t>> sound()
    {
        runTo(now + 300 * kMs);
        std::vector<std::pair<int64_t, int64_t>> found;
        for (int64_t i = 0; i < int64_t(out.size()); ++i) {
            if (out[size_t(i)] == 0)
                continue;
            if (!found.empty() && found.back().second == i)
                found.back().second = i + 1;
            else
                found.push_back({i, i + 1});
        }
        return found;
    }
    int64_t frameOf(int64_t atMs) const { return frames(kLevelNs + kGuardNs + atMs * kMs); }
};

TEST(StreamSchedule, EdgesLandOnTheFramesOfTheirScheduleTimes)
{
    // Calls up to the guard late (message processing, the fill, a late wake-up) move nothing; a
    // stop that comes after the tone was rendered leaves its length as it was given.
    // After a stop that late the clock restarts its schedule: the next element comes stamped anew.
    Worker w;
    w.element(0, 11);
    w.element(26, 33, 7, 40);
    w.element(100, 11, 0, 0, 2, true);
    const auto s = w.sound();
    ASSERT_EQ(s.size(), 3u);
    const int64_t starts[] = {0, 26, 100}, tones[] = {11, 33, 11};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(s[k].first, w.frameOf(starts[k])) << k;
        EXPECT_EQ(s[k].second - s[k].first, frames(tones[k] * kMs)) << k;
    }
    EXPECT_EQ(w.late, 2) << "the late stop's reset and close";
    EXPECT_EQ(w.restarts, 1) << "the clock's";
    EXPECT_EQ(w.map.guardNs(), kGuardNs) << "a late stop is no reason for more lead";
}

TEST(StreamSchedule, AStallBeyondTheGuardStretchesOneSilenceAndNothingElse)
{
    Worker w;
    w.element(0, 33);
    w.element(48, 11, 60); // the thread was held 60 ms before this element
    w.element(74, 33);
    w.element(122, 11);
    const int64_t guard = w.map.guardNs();
    w.element(1000, 11, 0, 0, 2); // a new run starts with the small lead again
    const auto s = w.sound();
    ASSERT_EQ(s.size(), 5u);
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(s[k].second - s[k].first, frames((k % 2 ? 11 : 33) * kMs)) << k;
    const int64_t stretch = (s[1].first - s[0].second) - frames(15 * kMs);
    EXPECT_GE(stretch, frames(52 * kMs));
    EXPECT_EQ(s[2].first - s[1].second, frames(15 * kMs));
    EXPECT_EQ(s[3].first - s[2].second, frames(15 * kMs));
    EXPECT_EQ(w.restarts, 1);
    EXPECT_GT(guard, kGuardNs) << "a late start asks for more lead";
    EXPECT_EQ(w.map.guardNs(), kGuardNs);
    EXPECT_EQ(s[4].first, w.frameOf(1000));
}

TEST(StreamSchedule, RestartedSchedulesKeepTheirLeadAndCount)
{
    // The clock restarted after the thread fell behind (a stamp of now, a new epoch): the edge
    // lands on its frame, the restart is counted, the lead stays.
    Worker w;
    w.element(0, 11);
    w.element(200, 11, 0, 0, 2, true);
    const auto s = w.sound();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].first, w.frameOf(200));
    EXPECT_EQ(w.restarts, 1);
    EXPECT_EQ(w.late, 0);
}

TEST(StreamSchedule, TheClockRestartsOnlyWhenTheOutputCannotAbsorbTheLateness)
{
    // Six 11 ms tones 15 ms apart keyed through the clock's schedule on virtual time, with the
    // stream's own timing; the thread wakes late before the fourth (and again before the sixth).
    // Compared with the same keying on time: the sound card absorbs 20 ms (late for the tone and,
    // 9 ms, for its end) and moves no edge; a speaker that sounds at once absorbs nothing, so there
    // the schedule restarts; a 200 ms hold stretches one silence; a 40 ms stall restarts once and
    // grows the guard by 24 ms (the silence stretches by that too), which absorbs the next one.
    const auto key = [](bool card, int64_t lateMs, int64_t againMs, Schedule& schedule, Worker& w) {
        const auto budget = [&] { return card ? streamtiming::absorbableNs(w.map.guardNs()) : 0; };
        int64_t now = 1000 * kMs;
        for (int k = 0; k < 6; ++k) {
            now += k == 3 ? lateMs * kMs : k == 5 ? againMs * kMs : 0;
            w.callAt(Kind::SquareOn, schedule.sync(now, budget()), now, 11);
            now = std::max(now, schedule.advance(11));
            w.callAt(Kind::SquareOff, schedule.sync(now, budget()), now);
            now = std::max(now, schedule.advance(15));
        }
        return w.sound();
    };
    const StreamMap::Params timing = streamtiming::mapParams(kRate, streamtiming::kPeriodFrames);
    Schedule onTimeSchedule;
    Worker onTime(timing);
    const auto expected = key(true, 0, 0, onTimeSchedule, onTime);
    struct Row {
        bool card;
        int64_t lateMs, againMs, stretchMs;
        int restarts, absorbed;
    };
    for (const Row& row : {Row{true, 20, 0, 0, 0, 2}, Row{false, 20, 0, 20, 1, 0}, Row{true, 200, 0, 200, 1, 0},
                           Row{true, 40, 40, 64, 1, 2}}) {
        Schedule schedule;
        Worker w(timing);
        const auto s = key(row.card, row.lateMs, row.againMs, schedule, w);
        ASSERT_EQ(s.size(), expected.size()) << row.lateMs;
        for (size_t k = 0; k < s.size(); ++k) {
            const int64_t shift = k < 3 ? 0 : frames(row.stretchMs * kMs);
            EXPECT_NEAR(double(s[k].first), double(expected[k].first + shift), 1) << row.lateMs << " " << k;
            EXPECT_EQ(s[k].second - s[k].first, expected[k].second - expected[k].first) << row.lateMs;
            if (k > 0 && k != 3) {
                EXPECT_EQ(s[k].first - s[k - 1].second, expected[k].first - expected[k - 1].second);
            }
        }
        EXPECT_EQ(schedule.restarts(), row.restarts) << row.lateMs;
        EXPECT_EQ(schedule.absorbed(), row.absorbed) << row.lateMs;
        EXPECT_EQ(w.restarts, row.restarts) << row.lateMs;
        EXPECT_EQ(w.late, 0) << row.lateMs;
    }
}

TEST(StreamSchedule, VoicesPauseAndPlayTheirPlannedLength)
{
    Worker w;
    // A paused opening: its buffers wait, on time, until the restart.
    w.call(Kind::PcmOpen, 0, 0);
    w.call(Kind::PcmPause, 0, 0);
    w.call(Kind::PcmWrite, 0, 0);
    w.call(Kind::PcmRestart, 30, 0);
    w.call(Kind::PcmClose, 50, 0);
    // The speaker's square tone ends on its planned frame, before or after its off.
    w.call(Kind::SquareOn, 100, 0, 1, false, 45);
    w.call(Kind::SquareOff, 144, 0);
    w.call(Kind::SquareOn, 200, 0, 1, false, 45);
    w.call(Kind::SquareOff, 300, 0);
    // A buffer of a planned element that lands after its end (the schedule restarted between its
    // writes) adds no sound.
    w.call(Kind::PcmOpen, 400, 0);
    w.call(Kind::PcmLength, 400, 0, 1, false, 11);
    w.call(Kind::PcmWrite, 400, 0);
    w.call(Kind::PcmWrite, 440, 0, 2, true);
    w.call(Kind::PcmReset, 460, 0, 2);
    const auto s = w.sound();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[3].second - s[3].first, frames(11 * kMs));
    EXPECT_EQ(s[0].first, w.frameOf(30));
    EXPECT_EQ(s[0].second, w.frameOf(50));
    EXPECT_EQ(s[1].second - s[1].first, frames(45 * kMs));
    EXPECT_EQ(s[2].second - s[2].first, frames(45 * kMs));
    EXPECT_EQ(w.late, 0);
    // The square tone's level is the sine's peak: +8192 and -8192, nothing else.
    for (const auto& [from, to] : {s[1], s[2]})
        EXPECT_EQ(std::set<int16_t>(w.out.begin() + from, w.out.begin() + to),
                  (std::set<int16_t>{-8192, 8192}));
}

TEST(StreamMap, ANewScheduleStartsWhereTheDeviceStandsLately)
{
    // The device takes its frames 20 ms later than the timing guessed at the open: a restarted
    // schedule keeps the timing (its rhythm goes on), a new one moves it to the readings.
    StreamMap map(kRate, {kLevelNs, kGuardNs, 5 * kMs, 250 * kMs});
    map.anchor(0, 0);
    for (int64_t f = 512; f <= 512 * StreamMap::kRecentReadings; f += 512)
        map.observe(f, map.timeOf(f) + 20 * kMs);
    const int64_t before = map.timeOf(0);
    map.place({100 * kMs, 1, false}, true, 0, 0);
    EXPECT_EQ(map.timeOf(0), before + 20 * kMs);
    for (int64_t f = 512; f <= 512 * StreamMap::kRecentReadings; f += 512)
        map.observe(f, map.timeOf(f) + 10 * kMs);
    map.place({120 * kMs, 2, true}, true, 0, 0);
    EXPECT_EQ(map.timeOf(0), before + 20 * kMs) << "a restarted schedule moves nothing";
}

TEST(StreamMap, FollowsDriftOneFrameAtATime)
{
    // The device plays 100 ppm slow, its position read in steps of 128 frames: once the readings
    // have settled, the corrections follow the drift a frame at a time and never pass it.
    StreamMap map(kRate, {kLevelNs, kGuardNs, 5 * kMs, 250 * kMs});
    map.anchor(0, 0);
    const int rounds = 120 * 44;
    int64_t f = 0;
    for (int round = 0; round < rounds; ++round) {
        f += 512;
        map.observe(f / 128 * 128, int64_t(double(f) * 1e9 / kRate * 1.0001));
        map.correctDrift();
    }
    const int settled = StreamMap::kSettleReadings + StreamMap::kBaselineReadings;
    const double driftFrames = double(rounds - settled) * 512 * 1e-4;    // since the baseline
    EXPECT_GE(map.corrections(), int(driftFrames - 3 * kRate / 1000.0)); // the filter lags ~3 ms
    EXPECT_LE(map.corrections(), int(driftFrames) + 1);
}

} // namespace
