// The stream's map and mixer on synthetic schedules, without a device: calls reach the worker at
// chosen moments, frames are rendered as time passes, and every edge is read back from the samples.
// Then the whole stream, keyed by the engine, with its device loop stepped on virtual time against
// a device stand-in, and the window thread, the worker or both held for a while.
#include "clock/Clock.h"
#include "keying/Keyer.h"
#include "tests/support/KeyingTestSupport.h"
#include "tone/AlsaStream.h"
#include "tone/AlsaWaveOut.h"
#include "tone/SpeakerSinks.h"
#include "tone/StreamDevice.h"
#include "tone/StreamMap.h"
#include "tone/StreamTiming.h"
#include "tone/ToneMixer.h"
#include "tone/ToneOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
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
    double hz = 5635; // the square's pitch, a quarter of the rate: its samples never sit at zero

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
        r.hz = hz;
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
    // Compared with the same keying on time: the sound card's small start guard absorbs no more
    // than a speaker that sounds at once, so 20 ms late restarts the schedule there too, and on the
    // card grows the guard by 21 ms (the silence stretches by that too), which absorbs the next
    // 20 ms (late for the tone and, 9 ms, for its end); a 200 ms hold stretches one silence.
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
    for (const Row& row : {Row{true, 20, 20, 41, 1, 2}, Row{false, 20, 0, 41, 1, 0}, Row{true, 200, 0, 200, 1, 0},
                           Row{true, 40, 40, 81, 1, 2}}) {
        Schedule schedule;
        Worker w(timing);
        const auto s = key(row.card, row.lateMs, row.againMs, schedule, w);
        ASSERT_EQ(s.size(), expected.size()) << row.lateMs;
        for (size_t k = 0; k < s.size(); ++k) {
            const int64_t shift = k < 3 ? 0 : frames(row.stretchMs * kMs);
            EXPECT_NEAR(double(s[k].first), double(expected[k].first + shift), 1) << row.lateMs << " " << k;
            EXPECT_EQ(s[k].second - s[k].first, expected[k].second - expected[k].first) << row.lateMs;
            // Each edge is rounded to its frame: a shift by part of a frame moves a gap by one.
            if (k > 0 && k != 3) {
                EXPECT_NEAR(double(s[k].first - s[k - 1].second),
                            double(expected[k].first - expected[k - 1].second), 1)
                    << row.lateMs << " " << k;
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

TEST(StreamSchedule, ASquareAtHalfTheRateOrAboveKeepsItsTimeInSilence)
{
    for (const double hz : {11269.0, 11270.0, 12000.0}) {
        Worker w;
        w.hz = hz;
        w.call(Kind::SquareOn, 100, 0, 1, false, 45);
        w.call(Kind::SquareOff, 144, 0);
        EXPECT_EQ(w.sound().empty(), hz >= kRate / 2.0) << hz;
        EXPECT_EQ(w.mixer.lastOnset(), w.frameOf(100)) << hz; // its place in the schedule is kept
        // The same square forecast as part of a character.
        Worker f;
        StreamRequest r;
        r.kind = Kind::Forecast;
        r.at = {1100 * kMs, 1, false};
        r.tones.push_back({0, 45 * kMs, hz, {}});
        f.runTo(r.at.ns);
        f.mixer.accept(std::move(r), f.map);
        f.runTo(1300 * kMs);
        EXPECT_EQ(f.sound().empty(), hz >= kRate / 2.0) << "forecast " << hz;
    }
}

TEST(StreamSchedule, AForecastCharacterIsKnownWithTheSilenceAfterItButNeverTheNextCharacter)
{
    // Written ahead with the character: silence up to a period and a quarter, so that a server
    // that takes whole periods waits on silence, but never up to where the next one may begin.
    for (const auto& [afterMs, trail] : {std::pair<int64_t, int64_t>{0, 0}, {15, frames(15 * kMs) - 2},
                                         {300, 640}}) {
        Worker w;
        StreamRequest r;
        r.kind = Kind::Forecast;
        r.at = {1100 * kMs, 1, false};
        r.tones.push_back({0, 45 * kMs, 0, std::vector<int16_t>(size_t(frames(45 * kMs)), 1000), afterMs * kMs});
        w.runTo(r.at.ns);
        w.mixer.accept(std::move(r), w.map);
        EXPECT_EQ(w.mixer.knownUntil(), w.frameOf(100) + frames(45 * kMs) + trail) << afterMs;
    }
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
    map.place({100 * kMs, 1, false}, true, 0);
    EXPECT_EQ(map.timeOf(0), before + 20 * kMs);
    for (int64_t f = 512; f <= 512 * StreamMap::kRecentReadings; f += 512)
        map.observe(f, map.timeOf(f) + 10 * kMs);
    map.place({120 * kMs, 2, true}, true, 0);
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

// A playback device on virtual time: it takes frames at its rate from the first write on, and runs
// dry (an underrun) when it has none, or, as a sound server may, waits for more without a word.
// `heard` is what it played, without the time it stood still.
class DeviceStandIn final : public StreamDevice {
public:
    enum class Dry { Reports, Waits };
    explicit DeviceStandIn(const int64_t& now, Dry dry = Dry::Reports) : m_now(now), m_kind(dry) {}
    Result open(const std::string&, const std::string&, unsigned rate, unsigned period,
                unsigned buffer) override
    {
        m_rate = rate, m_period = period, m_buffer = buffer, m_open = true;
        ++opens;
        return {};
    }
    void close() override { m_open = false, m_queue.clear(), m_started = false; }
    bool isOpen() const override { return m_open; }
    unsigned rate() const override { return m_rate; }
    int64_t periodFrames() const override { return m_period; }
    int64_t bufferFrames() const override { return m_buffer; }
    int64_t avail() override
    {
        play();
        return m_dry ? -EPIPE : m_buffer - int64_t(m_queue.size());
    }
    int64_t write(const int16_t* samples, int64_t n) override
    {
        if (avail() < 0)
            return -EPIPE;
        if (!m_started)
            m_started = true, m_startNs = m_now, m_taken = 0;
        n = std::min(n, m_buffer - int64_t(m_queue.size()));
        m_queue.insert(m_queue.end(), samples, samples + n);
        return n;
    }
    void wait(int) override {}
    Result recover(int error, const std::function<bool()>&) override
    {
        m_dry = false;
        return {error == -EPIPE ? 0 : error, "stand-in"};
    }
    std::string errorText(int) const override { return "stand-in"; }
    // The moment the device plays frame k of `heard`, until it first stands still [ns].
    int64_t timeOfHeard(size_t k) const { return m_firstNs + int64_t(k) * 1'000'000'000 / m_rate; }

    std::vector<int16_t> heard;
    std::vector<int64_t> heardNs; // when each frame of `heard` was played [ns]
    int opens = 0, underruns = 0;

private:
    void play()
    {
        if (!m_started)
            return;
        if (m_firstNs < 0)
            m_firstNs = m_startNs;
        const int64_t due = (m_now - m_startNs) * m_rate / 1'000'000'000 - m_taken;
        const int64_t n = std::min<int64_t>(due, int64_t(m_queue.size()));
        heard.insert(heard.end(), m_queue.begin(), m_queue.begin() + n);
        for (int64_t i = 0; i < n; ++i)
            heardNs.push_back(m_startNs + (m_taken + i) * 1'000'000'000 / m_rate);
        m_queue.erase(m_queue.begin(), m_queue.begin() + n);
        m_taken += n;
        if (n < due) {
            ++underruns;
            m_started = false;
            m_dry = m_kind == Dry::Reports;
        }
    }
    const int64_t& m_now;
    std::deque<int16_t> m_queue;
    unsigned m_rate = 0;
    int64_t m_period = 0, m_buffer = 0, m_startNs = 0, m_taken = 0, m_firstNs = -1;
    bool m_open = false, m_started = false, m_dry = false;
    Dry m_kind;
};

// The program's tone path on virtual time: the engine keys through ToneOutput onto the stream, whose
// device loop steps every virtual 0.5 ms while the keying's clock sleeps to its schedule. A stall
// holds the window thread, the worker or both from a moment on.
class StreamRig final : public Clock {
public:
    struct Stall {
        int64_t atMs = -1, forMs = 0; // after the run starts
        bool window = false, worker = false;
    };
    StreamRig(Stall stall, int speed, std::set<MenuOption> routes, int delay = 1,
              DeviceStandIn::Dry dry = DeviceStandIn::Dry::Reports)
        : stall(stall), stream(adopt(std::make_unique<DeviceStandIn>(now, dry)), [this] { return now; }),
          waveOut(stream, *this), speaker(stream, *this, {"/nonexistent", "/nonexistent", {}}),
          output(*this, speaker, waveOut), keyer(host, output, *this)
    {
        output.setNextCharacterSource([this] { return stream.nextCharacterAtNs(); });
        host.speed = speed;
        host.delay = delay;
        host.checked = std::move(routes);
    }
    // Keys text from startNs on, then lets the device play out.
    void key(const std::string& text)
    {
        stream.acquire(0);
        passTo(now + 200 * kMs);
        startNs = now;
        startSchedule();
        keyer.GapFlag = 1;
        for (const char c : text) {
            shownNs.push_back(now); // where the window would show it
            keyer.Send(uint8_t(c));
        }
        passTo(now + 1000 * kMs);
    }
    void Sleep(int ms) override
    {
        scheduleTime();
        if (ms <= 0)
            return;
        passTo(m_schedule.advance(ms));
        if (stall.window && held())
            passTo(startNs + (stall.atMs + stall.forMs) * kMs);
    }
    uint32_t GetTickCount() override { return uint32_t(now / kMs); }
    uint64_t PerformanceCounter() override { return uint64_t(now); }
    int64_t nowNs() override { return now; }
    ScheduleTime scheduleTime() override { return m_schedule.sync(now, stream.absorbableNs()); }
    void startSchedule() override { m_schedule.start(); }
    void keepScheduleUntil(int64_t ns) override { m_schedule.keepUntil(ns); }
    bool held() const
    {
        return startNs > 0 && now >= startNs + stall.atMs * kMs &&
               now < startNs + (stall.atMs + stall.forMs) * kMs;
    }
    void passTo(int64_t t)
    {
        while (now < t) {
            now = std::min(t, now + kMs / 2);
            if (!(stall.worker && held()))
                stream.step();
        }
        QCoreApplication::processEvents();
    }
    // The characters heard, split at silences of at least splitMs, and the silences before each.
    struct Heard {
        std::vector<std::vector<int16_t>> characters;
        std::vector<int64_t> gaps; // as heard, stand-stills of the device included [ns]
        std::vector<int64_t> onsetNs; // when each was first heard
    };
    Heard heard(int64_t splitMs) const
    {
        const std::vector<int16_t>& frames = device->heard;
        Heard h;
        int64_t last = -1;
        for (size_t k = 0; k < frames.size(); ++k) {
            if (frames[k] == 0)
                continue;
            if (last < 0 || int64_t(k) - last > ::frames(splitMs * kMs)) {
                h.gaps.push_back(device->heardNs[k] - (last < 0 ? startNs : device->heardNs[size_t(last)]));
                h.onsetNs.push_back(device->heardNs[k]);
                h.characters.emplace_back();
            } else {
                h.characters.back().insert(h.characters.back().end(), frames.begin() + last + 1,
                                           frames.begin() + int64_t(k));
            }
            h.characters.back().push_back(frames[k]);
            last = int64_t(k);
        }
        return h;
    }

    int64_t now = 1000 * kMs;
    int64_t startNs = 0;
    std::vector<int64_t> shownNs;
    Stall stall;
    DeviceStandIn* device = nullptr;
    quindle::testing::FakeHost host{*this};
    AlsaStream stream;
    AlsaWaveOut waveOut;
    SpeakerRouteSink speaker;
    ToneOutput output;
    Keyer keyer;

private:
    std::unique_ptr<StreamDevice> adopt(std::unique_ptr<DeviceStandIn> d)
    {
        device = d.get();
        return d;
    }
    Schedule m_schedule;
};

TEST(StreamStalls, TheFirstSoundComesALeadAfterItsCallAndAnIdleStreamClosesAndReopens)
{
    StreamRig rig({}, 120, {MenuOption::Soundcard});
    rig.key("E");
    const std::vector<int16_t>& heard = rig.device->heard;
    const auto sounding = [](int16_t v) { return v != 0; };
    const size_t first = size_t(std::find_if(heard.begin(), heard.end(), sounding) - heard.begin()) - 1;
    const size_t last =
        heard.size() - size_t(std::find_if(heard.rbegin(), heard.rend(), sounding) - heard.rbegin());
    const AlsaStream::Stats stats = rig.stream.stats();
    EXPECT_NEAR(double(rig.device->timeOfHeard(first) - rig.startNs), double(stats.leadNs), 1e6)
        << "the first sound is heard a lead after its call, no later";
    EXPECT_LE(stats.leadNs, 80 * kMs) << "a click is heard within 80 ms";
    rig.passTo(rig.device->timeOfHeard(last) + 9'900 * kMs);
    EXPECT_EQ(rig.stream.stats().idleCloses, 0);
    rig.passTo(rig.device->timeOfHeard(last) + 10'200 * kMs);
    EXPECT_EQ(rig.stream.stats().idleCloses, 1)
        << "closed ten seconds after the last sound and the silence written with it are heard";
    EXPECT_FALSE(rig.device->isOpen());
    rig.key("E");
    const StreamRig::Heard h = rig.heard(120);
    ASSERT_EQ(h.characters.size(), 2u);
    EXPECT_TRUE(h.characters[0] == h.characters[1]) << "the reopened stream sounds the element in full";
    EXPECT_EQ(rig.device->opens, 2);
}

TEST(StreamStalls, AStopAnywhereLeavesEveryCharacterWholeAndStretchesOneGapByItsLengthOnce)
{
    // "G0EE": G is dash dash dot, 0 five dashes (the longest character: 2.9 s at the slowest speed),
    // E a dot. The process (window and worker), or one of them, stands still from a moment of the
    // schedule: inside G's first dash, at the message point after it, inside the letter gap after
    // G, just after 0 began, or inside 0's third dash. Every character is heard sample for sample as
    // without the stop, and no earlier; none later than when the window could go on after the stop
    // and the usual lead (a stall counted twice moves it by as much again), to half a period; and
    // with the window stopped, the next character is heard the usual lead after the window shows
    // it, as is every character shown after the stop. A character begun before the worker stopped
    // was written ahead whole: it keeps its time.
    constexpr int64_t kPeriodMs = 512 * 1000 / kRate + 1;
    const std::set<MenuOption> card{MenuOption::Soundcard};
    struct Stop {
        int64_t forMs;
        bool window, worker;
        DeviceStandIn::Dry dry = DeviceStandIn::Dry::Reports;
    };
    std::vector<Stop> stops;
    for (const int64_t ms : {30, 300, 800, 1500})
        stops.push_back({ms, true, true});
    for (const int64_t ms : {300, 1500})
        stops.push_back({ms, true, true, DeviceStandIn::Dry::Waits});
    stops.push_back({300, true, false});
    stops.push_back({300, false, true});
    for (const auto& [speed, delay] : {std::pair{165, 1}, {160, 1}, {100, 10}, {30, 10}}) {
        const int t = 180 - speed;          // [ms]
        const int64_t gLength = 10 * t - 28; // G, to the end of its last pause [ms]
        const int64_t zeroAt = gLength + 3 * t * delay;
        const std::pair<const char*, int64_t> moments[] = {{"inside G's first dash", 3 * t / 2},
                                                           {"at G's first message point", 4 * t - 12},
                                                           {"inside the gap after G", gLength + 3 * t * delay / 2},
                                                           {"just after 0 began", zeroAt + 1},
                                                           {"inside 0's third dash", zeroAt + 8 * t - 24 + 3 * t / 2}};
        StreamRig reference({}, speed, card, delay);
        reference.key("G0EE");
        const StreamRig::Heard e = reference.heard(2 * t);
        ASSERT_EQ(e.characters.size(), 4u);
        for (const auto& [where, atMs] : moments) {
            for (const Stop& stop : stops) {
                SCOPED_TRACE(::testing::Message() << "speed " << speed << " delay " << delay << ", " << stop.forMs
                                                  << " ms " << where << (stop.window ? ", window" : "")
                                                  << (stop.worker ? ", worker" : "")
                                                  << (stop.dry == DeviceStandIn::Dry::Waits ? ", device waits" : ""));
                StreamRig rig({atMs, stop.forMs, stop.window, stop.worker}, speed, card, delay, stop.dry);
                rig.key("G0EE");
                const StreamRig::Heard h = rig.heard(2 * t);
                ASSERT_EQ(h.characters.size(), 4u);
                // The first character begun at or after the stop starts when the window can go
                // on, or as planned; everything after it moves by as much.
                const int64_t stopEnd = (atMs + stop.forMs) * kMs;
                int64_t moved = -1;
                for (size_t k = 0; k < 4; ++k) {
                    EXPECT_TRUE(h.characters[k] == e.characters[k]) << "character " << k;
                    const int64_t shown = reference.shownNs[k] - reference.startNs;
                    const int64_t planned = e.onsetNs[k] - reference.startNs;
                    if (moved < 0 && shown >= atMs * kMs)
                        moved = std::max<int64_t>(0, stopEnd - shown);
                    const int64_t latest = planned + std::max<int64_t>(0, moved);
                    const int64_t at = h.onsetNs[k] - rig.startNs;
                    EXPECT_GE(at, (stop.window ? latest : planned) - 50'000) << "character " << k;
                    EXPECT_LE(at, latest + kPeriodMs * kMs / 2) << "character " << k;
                }
                // Every character the window shows after the stop is heard the usual lead later.
                for (size_t k = 0; k < 4; ++k) {
                    if (rig.shownNs[k] - rig.startNs < stopEnd)
                        continue;
                    const int64_t lead = e.onsetNs[k] - reference.shownNs[k];
                    EXPECT_NEAR(double(h.onsetNs[k] - rig.shownNs[k]), double(lead), kPeriodMs * 1e6 / 2)
                        << "character " << k << " heard the usual lead after the window shows it";
                }
            }
        }
    }
}

} // namespace
