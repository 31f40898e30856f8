// The ALSA back-end against a real PulseAudio server with a null sink: what the sink plays is
// recorded and compared, frame by frame, with the calls that asked for it.
#include "keying/Keyer.h"
#include "tests/support/KeyingTestSupport.h"
#include "tests/support/PipeWireServer.h"
#include "tests/support/PulseServer.h"
#include "tests/support/RhythmClock.h"
#include "tone/AlsaStream.h"
#include "tone/AlsaWaveOut.h"
#include "tone/SoundcardTone.h"
#include "tone/SpeakerSinks.h"
#include "tone/ToneOutput.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

namespace {

using namespace quindle;
using quindle::test::PipeWireServer;
using quindle::test::PulseServer;
using quindle::test::PlanTap;
using quindle::test::RhythmClock;
using quindle::test::SoundServer;

constexpr unsigned kRate = 22540; // [frames/s]
constexpr int kAmplitude = 8192;
constexpr int kBufferFrames = 4091; // the engine's buffers: 8182 bytes
constexpr int64_t kToleranceFrames = 3;

// The program's clock, keeping every schedule time it hands out, so that a test knows the stamp the
// back-end gave each call.
class StampClock final : public Clock {
public:
    void Sleep(int ms) override { m_real.Sleep(ms); }
    uint32_t GetTickCount() override { return m_real.GetTickCount(); }
    uint64_t PerformanceCounter() override { return m_real.PerformanceCounter(); }
    int64_t nowNs() override { return m_real.nowNs(); }
    ScheduleTime scheduleTime() override
    {
        const ScheduleTime at = m_real.scheduleTime();
        stamps.push_back(at.ns);
        return at;
    }
    void startSchedule() override { m_real.startSchedule(); }
    std::vector<int64_t> stamps;

private:
    RealClock m_real;
};

// Stands for the engine's notification object.
class Listener final : public QObject {
public:
    struct Note {
        uint32_t message;
        HWAVEOUT handle;
        WAVEHDR* header;
        uint32_t flags; // the header's flags when the notification arrived
    };
    std::vector<Note> notes;
    size_t count(uint32_t message) const
    {
        return size_t(
            std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.message == message; }));
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != WaveOutEvent::eventType())
            return QObject::event(e);
        const auto* w = static_cast<WaveOutEvent*>(e);
        notes.push_back({w->message, w->handle, w->header, w->header ? w->header->dwFlags : 0});
        return true;
    }
};

int16_t sineSample(int64_t i, double hz)
{
    return int16_t(std::lrint(std::sin(double(i) / kRate * 3.14159 * 2 * hz) * kAmplitude));
}

// Four buffers as the engine fills them at one open: a sine that runs on across the buffers.
struct SineBuffers {
    std::array<std::vector<int16_t>, 4> data;
    std::array<WAVEHDR, 4> headers{};
    void fill(double hz)
    {
        for (int b = 0; b < 4; ++b) {
            data[b].resize(kBufferFrames);
            for (int i = 0; i < kBufferFrames; ++i)
                data[b][i] = sineSample(int64_t(b) * kBufferFrames + i, hz);
            headers[b] = {};
            headers[b].lpData = reinterpret_cast<char*>(data[b].data());
            headers[b].dwBufferLength = kBufferFrames * 2;
        }
    }
};

PCMWAVEFORMAT monoFormat(unsigned rate = kRate)
{
    return {WAVE_FORMAT_PCM, 1, rate, rate * 2, 2, 16};
}

// Stretches of sound in a recording, [start, end) in frames; quiet spells shorter than a few
// frames (a sine passing zero) belong to the stretch.
struct Stretch {
    int64_t start;
    int64_t end;
    int64_t frames() const { return end - start; }
};

std::vector<Stretch> findSound(const std::vector<int16_t>& s, int threshold = 64, int64_t bridge = 12)
{
    std::vector<Stretch> found;
    for (int64_t i = 0; i < int64_t(s.size()); ++i) {
        if (std::abs(s[size_t(i)]) <= threshold)
            continue;
        if (!found.empty() && i - found.back().end <= bridge)
            found.back().end = i + 1;
        else
            found.push_back({i, i + 1});
    }
    return found;
}

int64_t framesOf(int64_t ns)
{
    return std::llround(double(ns) * kRate / 1e9);
}

int peakOf(const std::vector<int16_t>& s, const Stretch& t)
{
    int peak = 0;
    for (int64_t i = t.start; i < t.end; ++i)
        peak = std::max(peak, std::abs(int(s[size_t(i)])));
    return peak;
}

// From the first to the last sign change: half a cycle between neighbours. [Hz]
double frequencyOf(const std::vector<int16_t>& s, const Stretch& t)
{
    int64_t first = -1, last = -1, changes = 0;
    for (int64_t i = t.start + 2; i < t.end; ++i) {
        if ((s[size_t(i - 1)] < 0) != (s[size_t(i)] < 0)) {
            if (first < 0)
                first = i;
            last = i;
            ++changes;
        }
    }
    return changes < 2 ? 0 : (changes - 1) / 2.0 / (double(last - first) / kRate);
}

std::string describe(const std::vector<Stretch>& sound)
{
    std::string seen;
    for (const Stretch& t : sound)
        seen += " [" + std::to_string(t.start) + "," + std::to_string(t.end) + ")";
    return seen;
}

// Tones as the stream placed them: [start, end) on the schedule it used, from the stamp of the
// first write (where the sound begins) to the reset's or the planned end. [ns]
using Asked = std::vector<std::pair<int64_t, int64_t>>;

// The lengths of tones and of the silences before them (silences[0] = 0) [frames].
struct Rhythm {
    std::vector<int64_t> tones, silences;
};
Rhythm rhythmOf(const Asked& asked)
{
    Rhythm r;
    for (size_t k = 0; k < asked.size(); ++k) {
        r.tones.push_back(framesOf(asked[k].second - asked[k].first));
        r.silences.push_back(k ? framesOf(asked[k].first - asked[k - 1].second) : 0);
    }
    return r;
}

// The recording against its rhythm: every tone exactly as long, every silence too, or longer where
// the stream restarted its rhythm (a call came later than its guard absorbs): that silence
// stretches, or the tone a late reset ended when its length was not planned, never shrinks, and
// the rhythm is exact again after it. Returns by how much each stretched: the stream must have
// counted at least as many restarts. [frames]
std::vector<int64_t> expectRhythm(const std::vector<Stretch>& sound, const Rhythm& asked, bool planned,
                                  int64_t tolerance = kToleranceFrames)
{
    std::vector<int64_t> stretched;
    const auto expect = [&](int64_t off, bool mayStretch) {
        if (std::abs(off) <= tolerance)
            return;
        EXPECT_TRUE(mayStretch && off > 0) << "off by " << off;
        stretched.push_back(off);
    };
    for (size_t k = 0; k < asked.tones.size() && k < sound.size(); ++k) {
        SCOPED_TRACE("tone " + std::to_string(k) + ", recorded" + describe(sound));
        const int64_t begin = sound[k].start - 1; // a tone's first sample is 0
        expect((sound[k].end - begin) - asked.tones[k], !planned);
        if (k > 0)
            expect((begin - sound[k - 1].end) - asked.silences[k], true);
    }
    return stretched;
}

enum class ServerKind { PulseAudio, PipeWire };

// Each server is started at its first use and kept for the rest of the program.
SoundServer* startedServer(ServerKind kind, QString& error)
{
    static std::unique_ptr<SoundServer> servers[2];
    static QString errors[2];
    const size_t k = size_t(kind);
    if (!servers[k]) {
        if (kind == ServerKind::PulseAudio)
            servers[k] = std::make_unique<PulseServer>();
        else
            servers[k] = std::make_unique<PipeWireServer>();
        if (servers[k]->installed() && !servers[k]->start(&errors[k]))
            errors[k] = servers[k]->name() + ": " + errors[k];
    }
    error = errors[k];
    return servers[k].get();
}

class AlsaBackendTest : public ::testing::Test {
protected:
    virtual ServerKind kind() const { return ServerKind::PulseAudio; }

    void SetUp() override
    {
        QString error;
        server = startedServer(kind(), error);
        if (!server->installed())
            GTEST_SKIP() << server->name().toStdString()
                         << " is not installed (scripts/install-deps.sh installs it)";
        ASSERT_TRUE(server->running()) << error.toStdString();
        server->exportToEnvironment();
    }

    // One sound-card element as the engine keys it: open, fill, write all four buffers, hold,
    // reset, close. Returns the stamps of the first write, where the sound begins (later than the
    // open's when the schedule restarted between them), and of the reset.
    std::pair<int64_t, int64_t> element(AlsaWaveOut& out, Listener& listener, int ms, double hz = 750)
    {
        HWAVEOUT h = 0;
        EXPECT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
        const size_t firstWrite = clock.stamps.size();
        buffers.fill(hz);
        for (WAVEHDR& header : buffers.headers) {
            EXPECT_EQ(out.waveOutPrepareHeader(h, &header), MMSYSERR_NOERROR);
            EXPECT_EQ(out.waveOutWrite(h, &header), MMSYSERR_NOERROR);
        }
        clock.Sleep(ms);
        EXPECT_EQ(out.waveOutReset(h), MMSYSERR_NOERROR);
        const int64_t resetNs = clock.stamps.back();
        for (WAVEHDR& header : buffers.headers)
            out.waveOutUnprepareHeader(h, &header);
        EXPECT_EQ(out.waveOutClose(h), MMSYSERR_NOERROR);
        QCoreApplication::processEvents();
        return {clock.stamps[firstWrite], resetNs};
    }

    // Lets the sound still on its way through the stream reach the recording.
    static void settle(const AlsaStream& stream)
    {
        QTest::qWait(int(stream.stats().leadNs / 1'000'000) + 150);
    }

    SoundServer* server = nullptr;
    StampClock clock;
    SineBuffers buffers;
};

// The tests that run on both servers.
class AlsaServerTest : public AlsaBackendTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    ServerKind kind() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Servers, AlsaServerTest,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire),
                         [](const ::testing::TestParamInfo<ServerKind>& info) {
                             return info.param == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire";
                         });

TEST_F(AlsaBackendTest, ElementsSoundForExactlyTheTimeBetweenOpenAndReset)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    Listener listener;
    QString error;
    ASSERT_TRUE(server->startRecording(&error)) << error.toStdString();

    // Dots at the fastest speed and slower, a long dash, gaps from a dot's pause up.
    const std::vector<int> tones = {11, 33, 76, 438, 11};
    const std::vector<int> gaps = {15, 11, 40, 25};
    std::vector<std::pair<int64_t, int64_t>> stamps;
    for (size_t k = 0; k < tones.size(); ++k) {
        stamps.push_back(element(out, listener, tones[k]));
        if (k < gaps.size())
            clock.Sleep(gaps[k]);
    }
    settle(stream);
    const std::vector<int16_t> rec = server->stopRecording();
    const std::vector<Stretch> sound = findSound(rec);

    const AlsaStream::Stats stats = stream.stats();
    std::string asked;
    for (const auto& [openNs, resetNs] : stamps)
        asked += " [" + std::to_string(framesOf(openNs - stamps[0].first)) + "," +
                 std::to_string(framesOf(resetNs - stamps[0].first)) + ")";
    ASSERT_EQ(sound.size(), tones.size())
        << "recorded" << describe(sound) << "\nasked" << asked << "\nxruns " << stats.xruns << " late "
        << stats.lateRequests << " corrections " << stats.driftCorrections;
    EXPECT_LE(expectRhythm(sound, rhythmOf(stamps), false).size(), size_t(stats.restarts));
    int peak = 0;
    for (size_t k = 0; k < sound.size(); ++k) {
        SCOPED_TRACE("tone " + std::to_string(k));
        const Stretch& t = sound[k];
        // The first sample of a tone is 0 and goes unseen: the tone begins one frame earlier.
        const int64_t begin = t.start - 1;
        EXPECT_LE(peakOf(rec, t), kAmplitude);
        EXPECT_NEAR(frequencyOf(rec, t), 750.0, 3.0);
        peak = std::max(peak, peakOf(rec, t));
        // Nothing clipped: the tone is the sine from its first sample to where it was cut.
        int64_t mismatches = 0;
        for (int64_t i = begin; i < t.end; ++i)
            mismatches += rec[size_t(i)] != sineSample(i - begin, 750);
        EXPECT_EQ(mismatches, 0);
    }
    EXPECT_EQ(peak, kAmplitude);

    // Every opening: open, one done per written buffer (marked done), close; all with its handle.
    ASSERT_EQ(listener.notes.size(), tones.size() * 6);
    for (size_t k = 0; k < tones.size(); ++k) {
        const auto* n = &listener.notes[k * 6];
        EXPECT_EQ(n[0].message, MM_WOM_OPEN);
        for (int b = 0; b < 4; ++b) {
            EXPECT_EQ(n[1 + b].message, MM_WOM_DONE);
            EXPECT_EQ(n[1 + b].header, &buffers.headers[size_t(b)]);
            EXPECT_EQ(n[1 + b].flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
            EXPECT_EQ(n[1 + b].handle, n[0].handle);
        }
        EXPECT_EQ(n[5].message, MM_WOM_CLOSE);
        EXPECT_EQ(n[5].handle, n[0].handle);
        if (k > 0) {
            EXPECT_GT(n[0].handle, listener.notes[(k - 1) * 6].handle);
        }
    }
    RecordProperty("latency_ms", int(stream.stats().leadNs / 1'000'000));
}

TEST_F(AlsaBackendTest, BuffersPlayOutInOrderAndWaitWhilePaused)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    Listener listener;
    ASSERT_TRUE(server->startRecording());

    std::vector<int16_t> a(1000), b(500), c(800);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = sineSample(int64_t(i), 500);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = sineSample(int64_t(a.size() + i), 500);
    for (size_t i = 0; i < c.size(); ++i)
        c[i] = sineSample(int64_t(i), 1000);
    WAVEHDR ha{reinterpret_cast<char*>(a.data()), uint32_t(a.size() * 2), 0, 0, 0, 0, nullptr, 0};
    WAVEHDR hb{reinterpret_cast<char*>(b.data()), uint32_t(b.size() * 2), 0, 0, 0, 0, nullptr, 0};
    WAVEHDR hc{reinterpret_cast<char*>(c.data()), uint32_t(c.size() * 2), 0, 0, 0, 0, nullptr, 0};

    HWAVEOUT h = 0;
    ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
    for (WAVEHDR* hdr : {&ha, &hb}) {
        out.waveOutPrepareHeader(h, hdr);
        ASSERT_EQ(out.waveOutWrite(h, hdr), MMSYSERR_NOERROR);
    }
    // Written samples are copies: the caller may reuse its memory at once.
    std::fill(a.begin(), a.end(), int16_t(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.count(MM_WOM_DONE) == 2; }, 3000));
    EXPECT_EQ(listener.notes[1].header, &ha);
    EXPECT_EQ(listener.notes[2].header, &hb);

    out.waveOutPause(h);
    out.waveOutPrepareHeader(h, &hc);
    ASSERT_EQ(out.waveOutWrite(h, &hc), MMSYSERR_NOERROR);
    QTest::qWait(150);
    EXPECT_EQ(listener.count(MM_WOM_DONE), 2u) << "a paused buffer must not finish";
    out.waveOutRestart(h);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.count(MM_WOM_DONE) == 3; }, 3000));
    EXPECT_EQ(out.waveOutClose(h), MMSYSERR_NOERROR);
    settle(stream);
    const std::vector<int16_t> rec = server->stopRecording();
    const std::vector<Stretch> sound = findSound(rec);
    ASSERT_EQ(sound.size(), 2u);
    EXPECT_NEAR(double(sound[0].frames() + 1), double(a.size() + b.size()), 2);
    EXPECT_NEAR(double(sound[1].frames() + 1), double(c.size()), 2);
}

// 8-bit and stereo buffers reach the 16-bit mono stream widened and mixed down; another rate
// reopens the stream at that rate.
TEST_F(AlsaBackendTest, OtherFormatsAreConvertedAndAnotherRateReopensTheStream)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    Listener listener;
    constexpr int frames = 600;

    struct Case {
        const char* name;
        PCMWAVEFORMAT format;
    };
    const Case cases[] = {
        {"16-bit stereo", {WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16}},
        {"8-bit mono", {WAVE_FORMAT_PCM, 1, kRate, kRate, 1, 8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A sine on the 8-bit grid, so that both formats hold it exactly.
        std::vector<int16_t> expected(frames);
        for (int i = 0; i < frames; ++i)
            expected[size_t(i)] = int16_t(std::lrint(std::sin(i * 0.2) * 60) * 256);
        std::vector<unsigned char> bytes;
        for (const int16_t v : expected) {
            if (c.format.wBitsPerSample == 8) {
                bytes.push_back((unsigned char)(v / 256 + 128));
            } else {
                for (int channel = 0; channel < 2; ++channel) {
                    bytes.push_back((unsigned char)(v & 0xFF));
                    bytes.push_back((unsigned char)((v >> 8) & 0xFF));
                }
            }
        }
        WAVEHDR header{reinterpret_cast<char*>(bytes.data()), uint32_t(bytes.size()), 0, 0, 0, 0, nullptr, 0};
        ASSERT_TRUE(server->startRecording());
        HWAVEOUT h = 0;
        ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, c.format, &listener), MMSYSERR_NOERROR);
        out.waveOutPrepareHeader(h, &header);
        ASSERT_EQ(out.waveOutWrite(h, &header), MMSYSERR_NOERROR);
        ASSERT_TRUE(QTest::qWaitFor([&] { return (header.dwFlags & WHDR_DONE) != 0; }, 3000));
        out.waveOutClose(h);
        settle(stream);
        const std::vector<int16_t> rec = server->stopRecording();
        const std::vector<Stretch> sound = findSound(rec, 100);
        ASSERT_EQ(sound.size(), 1u);
        // The sine starts at 0: the stretch begins with its second sample.
        const int64_t begin = sound[0].start - 1;
        ASSERT_LE(begin + frames, int64_t(rec.size()));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rec.begin() + begin));
    }

    HWAVEOUT h = 0;
    ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(11025), &listener), MMSYSERR_NOERROR);
    EXPECT_EQ(stream.stats().rate, 11025u);
    out.waveOutClose(h);
    ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
    EXPECT_EQ(stream.stats().rate, kRate);
    // The longest character at the slowest speed (3 s) is written ahead whole.
    EXPECT_GE(stream.stats().bufferFrames, 3 * int64_t(kRate)) << "granted " << stream.stats().bufferFrames;
    out.waveOutClose(h);
}

TEST_F(AlsaBackendTest, RefusesMisuseWithTheCodesOfTheContract)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    Listener listener;
    HWAVEOUT h = 0;

    struct BadFormat {
        const char* what;
        PCMWAVEFORMAT format;
    };
    const BadFormat bad[] = {
        {"not PCM", {3, 1, kRate, kRate * 2, 2, 16}},
        {"three channels", {WAVE_FORMAT_PCM, 3, kRate, kRate * 6, 6, 16}},
        {"12 bits", {WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 12}},
        {"block alignment wrong", {WAVE_FORMAT_PCM, 1, kRate, kRate * 4, 4, 16}},
        {"rate 0", {WAVE_FORMAT_PCM, 1, 0, 0, 2, 16}},
    };
    for (const BadFormat& b : bad)
        EXPECT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, b.format, &listener), WAVERR_BADFORMAT) << b.what;
    EXPECT_EQ(out.waveOutOpen(nullptr, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_INVALPARAM);
    EXPECT_EQ(out.waveOutOpen(&h, 7, monoFormat(), &listener), MMSYSERR_BADDEVICEID);

    WAVEHDR header{};
    std::vector<int16_t> samples(kBufferFrames, 0);
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = uint32_t(samples.size() * 2);
    EXPECT_EQ(out.waveOutWrite(12345, &header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(out.waveOutReset(12345), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(out.waveOutClose(0), MMSYSERR_INVALHANDLE);

    ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
    HWAVEOUT second = 0;
    EXPECT_EQ(out.waveOutOpen(&second, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_ALLOCATED);
    EXPECT_EQ(out.waveOutWrite(h, &header), WAVERR_UNPREPARED);
    EXPECT_EQ(out.waveOutWrite(h, nullptr), MMSYSERR_INVALPARAM);
    ASSERT_EQ(out.waveOutPrepareHeader(h, &header), MMSYSERR_NOERROR);
    ASSERT_EQ(out.waveOutWrite(h, &header), MMSYSERR_NOERROR);
    EXPECT_EQ(out.waveOutWrite(h, &header), WAVERR_STILLPLAYING);
    EXPECT_EQ(out.waveOutUnprepareHeader(h, &header), WAVERR_STILLPLAYING);
    // Reset hands the buffer back at once; it may then be unprepared and written again.
    EXPECT_EQ(out.waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    ASSERT_EQ(out.waveOutWrite(h, &header), MMSYSERR_NOERROR);
    // A close with a buffer still queued stops it and hands it back rather than holding the device.
    EXPECT_EQ(out.waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(out.waveOutWrite(h, &header), MMSYSERR_INVALHANDLE);
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.count(MM_WOM_OPEN), 1u);
    EXPECT_EQ(listener.count(MM_WOM_DONE), 2u);
    ASSERT_EQ(listener.count(MM_WOM_CLOSE), 1u);
    EXPECT_EQ(listener.notes.back().message, MM_WOM_CLOSE);

    for (MMRESULT code : {MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE, WAVERR_BADFORMAT, WAVERR_STILLPLAYING,
                          WAVERR_UNPREPARED, MMSYSERR_NODRIVER}) {
        const std::string text = out.waveOutGetErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_LE(text.size(), 255u);
    }
    EXPECT_TRUE(out.waveOutGetErrorText(9999).empty());
}

TEST_P(AlsaServerTest, SurvivesTheServerBeingKilledAndSoundsAgainWhenItIsBack)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    Listener listener;
    int64_t slowestCallNs = 0;
    size_t written = 0;
    // One element whatever the device does; counts the buffers the back-end took.
    const auto anyElement = [&](int ms, bool killInside) {
        HWAVEOUT h = 0;
        auto t0 = monotonicNs();
        const MMRESULT opened = out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener);
        slowestCallNs = std::max(slowestCallNs, monotonicNs() - t0);
        if (opened == MMSYSERR_NOERROR) {
            buffers.fill(750);
            for (WAVEHDR& header : buffers.headers) {
                out.waveOutPrepareHeader(h, &header);
                written += out.waveOutWrite(h, &header) == MMSYSERR_NOERROR;
            }
        } else {
            EXPECT_EQ(opened, MMSYSERR_NODRIVER);
            EXPECT_FALSE(out.waveOutGetErrorText(opened).empty());
        }
        if (killInside) {
            clock.Sleep(ms / 2);
            server->kill();
            clock.Sleep(ms / 2);
        } else {
            clock.Sleep(ms);
        }
        if (opened == MMSYSERR_NOERROR) {
            t0 = monotonicNs();
            out.waveOutReset(h);
            for (WAVEHDR& header : buffers.headers)
                out.waveOutUnprepareHeader(h, &header);
            out.waveOutClose(h);
            slowestCallNs = std::max(slowestCallNs, monotonicNs() - t0);
        }
        QCoreApplication::processEvents();
        return opened == MMSYSERR_NOERROR;
    };

    EXPECT_TRUE(anyElement(40, false));
    anyElement(80, true);
    int refused = 0;
    for (int k = 0; k < 8; ++k)
        refused += !anyElement(20, false);
    EXPECT_GT(refused, 0) << "with the server gone, opens must fail";
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.count(MM_WOM_DONE), written) << "one done per written buffer, device or not";
    EXPECT_EQ(listener.count(MM_WOM_OPEN), listener.count(MM_WOM_CLOSE));

    QString error;
    ASSERT_TRUE(server->start(&error)) << error.toStdString();
    ASSERT_TRUE(server->startRecording(&error)) << error.toStdString();
    int attempts = 0;
    while (!anyElement(30, false) && ++attempts < 20)
        clock.Sleep(30);
    ASSERT_LT(attempts, 20) << "the sound must come back";
    clock.Sleep(30);
    const auto [startNs, resetNs] = element(out, listener, 60);
    settle(stream);
    const std::vector<Stretch> sound = findSound(server->stopRecording());
    const AlsaStream::Stats stats = stream.stats();
    ASSERT_EQ(sound.size(), 2u) << describe(sound) << " attempts " << attempts << " opens " << stats.opens
                                << " failures " << stats.failures << " late " << stats.lateRequests
                                << " restarts " << stats.restarts;
    EXPECT_LE(expectRhythm({sound[1]}, rhythmOf({{startNs, resetNs}}), false).size(), size_t(stats.restarts));
    RecordProperty("slowest_call_us", int(slowestCallNs / 1000));
    RecordProperty("device_failures", stream.stats().failures);
}

// A stopped server holds the device's close inside its client library for a minute; the stream's
// end, asked for or by its destructor, leaves the worker there and returns while it is stopped.
TEST_F(AlsaBackendTest, AFrozenServerHoldsNeitherTheStreamsEndNorItsOwner)
{
    auto* pulse = static_cast<PulseServer*>(server);
    for (const bool explicitly : {true, false}) {
        auto stream = std::make_unique<AlsaStream>();
        auto out = std::make_unique<AlsaWaveOut>(*stream, clock);
        Listener listener;
        HWAVEOUT h = 0;
        ASSERT_EQ(out->waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
        buffers.fill(750);
        for (WAVEHDR& header : buffers.headers) {
            out->waveOutPrepareHeader(h, &header);
            out->waveOutWrite(h, &header);
        }
        clock.Sleep(40);
        pulse->freeze(true);
        const int64_t t0 = monotonicNs();
        if (explicitly) {
            EXPECT_FALSE(stream->shutdown()) << "the device's close cannot end while the server is stopped";
        }
        out.reset(); // after the shutdown: its calls are no-ops
        stream.reset();
        RecordProperty(explicitly ? "shutdown_ms" : "destructor_ms", int((monotonicNs() - t0) / 1'000'000));
        pulse->freeze(false);
        QCoreApplication::processEvents();
    }
}

TEST_F(AlsaBackendTest, SpeakerFallsBackToASquareWaveOnTheStream)
{
    AlsaStream stream;
    SpeakerProbe nowhere{"/nonexistent/input", "/nonexistent/sys", {"/nonexistent/console"}};
    std::unique_ptr<SpeakerSink> sink = openSpeakerSink(stream, clock, nowhere);
    ASSERT_NE(dynamic_cast<SquareWaveSink*>(sink.get()), nullptr);
    ASSERT_TRUE(server->startRecording());

    // A tone of planned length keeps it, although the speaker waits in whole ticks and its off
    // comes a little early or late.
    sink->planTone(60);
    sink->toneOn(1193181.0 / 1590); // the 750 Hz setting through the timer divisor
    clock.Sleep(59);
    sink->toneOff();
    settle(stream);
    const std::vector<int16_t> rec = server->stopRecording();
    const std::vector<Stretch> sound = findSound(rec);
    ASSERT_EQ(sound.size(), 1u);
    EXPECT_NEAR(double(sound[0].frames()), double(framesOf(60'000'000)), 1);
    EXPECT_EQ(peakOf(rec, sound[0]), kAmplitude);
    EXPECT_NEAR(frequencyOf(rec, sound[0]), 750.4, 5.0);
    for (int64_t i = sound[0].start; i < sound[0].end; ++i)
        ASSERT_EQ(std::abs(rec[size_t(i)]), kAmplitude) << "a square wave has two levels";
}

// Start-up touches no device; the speaker route looks for one at every tone until it sounds.
TEST_F(AlsaBackendTest, TheSpeakerRouteLooksForItsDeviceAtEachToneUntilOneIsThere)
{
    PulseServer later;
    later.exportToEnvironment();
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    SpeakerRouteSink route(stream, clock,
                           {"/nonexistent/input", "/nonexistent/sys", {"/nonexistent/console"}});
    EXPECT_EQ(stream.stats().opens + stream.stats().failures, 0) << "start-up touched the device";
    const auto tone = [&] { route.planTone(60), route.toneOn(750), clock.Sleep(60), route.toneOff(); };
    tone();
    EXPECT_TRUE(stream.stats().opens == 0 && stream.stats().failures >= 1) << "silent, and the device was tried";
    EXPECT_EQ(route.absorbableNs(), stream.absorbableNs()) << "the square wave's calls land as the stream's";
    ASSERT_TRUE(later.start());
    for (int k = 0; k < 20 && stream.stats().opens == 0; ++k)
        tone(), clock.Sleep(20);
    ASSERT_GT(stream.stats().opens, 0) << "the server came, the tone did not";
    settle(stream);
    ASSERT_TRUE(later.startRecording());
    tone();
    settle(stream);
    EXPECT_EQ(findSound(later.stopRecording()).size(), 1u);
}

TEST_F(AlsaBackendTest, TheEngineKeysElementsOnTheRealBackEnd)
{
    AlsaStream stream;
    AlsaWaveOut out(stream, clock);
    SilentSink speaker;
    ToneOutput tone(clock, speaker, out);
    ASSERT_TRUE(server->startRecording());

    constexpr int dotTime = 30; // [ms]
    const std::vector<int> factors = {1, 3, 1, 1, 3};
    Asked asked;
    for (const int n : factors) {
        const size_t before = clock.stamps.size();
        tone.SoundcardElement(n, dotTime, 750);
        ASSERT_GE(clock.stamps.size(), before + 4);
        // The back-end's stamps: the open's, the length's, then the first write's, where the
        // sound begins; it lasts the length planned then, however late the reset comes.
        const int64_t startNs = clock.stamps[before + 2];
        asked.push_back({startNs, startNs + n * (dotTime - 4) * 1'000'000LL});
        QCoreApplication::processEvents();
        EXPECT_EQ(tone.AudioOut1().queuedCount(), 0) << "every buffer handed back and reported";
        EXPECT_FALSE(tone.AudioOut1().DeviceOpen());
        clock.Sleep(dotTime);
    }
    settle(stream);
    const std::vector<int16_t> rec = server->stopRecording();
    const std::vector<Stretch> sound = findSound(rec);
    // What the engine's fill puts into the four buffers of a run.
    std::vector<int16_t> expected(4 * kBufferFrames);
    for (int b = 0; b < 4; ++b) {
        int size = kBufferFrames * 2;
        FillSineBuffer(reinterpret_cast<char*>(expected.data() + b * kBufferFrames), size, 750, b,
                       int(kRate));
    }
    ASSERT_EQ(sound.size(), factors.size()) << describe(sound);
    EXPECT_LE(expectRhythm(sound, rhythmOf(asked), true).size(), size_t(stream.stats().restarts));
    for (size_t k = 0; k < sound.size(); ++k) {
        SCOPED_TRACE("element " + std::to_string(k));
        const int64_t begin = sound[k].start - 1;
        int64_t mismatches = 0;
        for (int64_t i = begin; i < sound[k].end; ++i)
            mismatches += rec[size_t(i)] != expected[size_t(i - begin)];
        EXPECT_EQ(mismatches, 0);
    }
}

// Text runs through the keying engine on the real stream: every tone exactly as long as the keying
// asks (n x (DotTime - 4)), and every silence the sum of the sleeps between two tones, to within
// two frames. A silence may only be longer where the stream counted a restart of the rhythm: the
// window held for 200 ms stretches the silence it falls in, and the rhythm is exact again after.
// The worker held 100 and 300 ms again and again leaves every character whole too: a character is
// written ahead with the silence after it, so that PipeWire's server, which takes whole periods and
// waits while it holds less, waits on that silence and not on the character's last edges.
TEST_P(AlsaServerTest, TextRunsKeepTheirRhythmOnTheStream)
{
    struct Case {
        const char* name;
        int speed; // 180 - DotTime
        const char* text;
        int holdAt;       // the ProcessMessages that blocks the window for 200 ms; 0: none
        int holdWorkerMs; // the worker is held this long at every 23rd ProcessMessages
    };
    const Case cases[] = {
        {"15 ms dots", 165, "PARIS PARIS", 0, 0},
        {"80 ms dots", 100, "PARIS", 0, 0},
        {"15 ms dots, window held", 165, "PARIS PARIS", 30, 0},
        {"15 ms dots, worker held 100 ms", 165, "PARIS PARIS", 0, 100},
        {"15 ms dots, worker held 300 ms", 165, "PARIS PARIS", 0, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AlsaStream stream;
        RhythmClock rhythm;
        AlsaWaveOut out(stream, rhythm);
        SilentSink speaker;
        ToneOutput tone(rhythm, speaker, out);
        PlanTap tap(tone);
        rhythm.sounding = [&] { return tap.nextSleepIsTone(); };
        quindle::testing::FakeHost host(rhythm);
        host.checked = {MenuOption::Soundcard};
        host.speed = c.speed;
        host.memo = c.text;
        int processed = 0;
        host.onProcess = [&] {
            if (++processed == c.holdAt)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (c.holdWorkerMs && processed % 23 == 0)
                stream.holdWorker(c.holdWorkerMs);
        };
        Keyer keyer(host, tap, rhythm);
        ASSERT_TRUE(stream.acquire(kRate).ok);
        ASSERT_TRUE(server->startRecording());
        keyer.btnTextClick();
        settle(stream);
        QTest::qWait(2 * c.holdWorkerMs); // the last holds moved the end back
        const std::vector<Stretch> sound = findSound(server->stopRecording());
        const AlsaStream::Stats stats = stream.stats();

        const auto [tones, silences] = rhythm.lengths();
        if (!c.holdWorkerMs) {
            ASSERT_EQ(stats.xruns, 0) << "the device ran dry: nothing to measure";
        }
        ASSERT_EQ(sound.size(), tones.size()) << "restarts " << stats.restarts << ", late "
                                              << stats.lateRequests << ", recorded" << describe(sound);
        Rhythm asked;
        for (size_t k = 0; k < tones.size(); ++k) {
            asked.tones.push_back(framesOf(tones[k] * 1'000'000LL));
            asked.silences.push_back(framesOf(silences[k] * 1'000'000LL));
            if (k > 0 && silences[k] == keyer.DotTime) {
                EXPECT_NEAR(double(sound[k].start - 1 - sound[k - 1].end), double(asked.silences[k]), 2)
                    << "inside a character, before tone " << k;
            }
        }
        const std::vector<int64_t> stretched = expectRhythm(sound, asked, true, 2);
        if (!c.holdWorkerMs) {
            EXPECT_LE(stretched.size(), size_t(stats.restarts));
        }
        if (c.holdAt) {
            // The held window stretches a silence by the hold, less what the forecast character
            // already written absorbed.
            EXPECT_FALSE(stretched.empty());
            for (const int64_t off : stretched)
                EXPECT_LE(off, framesOf(210'000'000));
        }
        RecordProperty(std::string(c.name) + " restarts", stats.restarts);
        RecordProperty(std::string(c.name) + " written ahead [ms]", int(stats.aheadNs / 1'000'000));
    }
}

// Left idle, the stream closes its device and its worker sleeps; the next element or square tone
// opens it again and sounds in full. A held opening or a sounding square tone keeps it open.
TEST_F(AlsaBackendTest, AnIdleStreamClosesAndTheNextUseReopensIt)
{
    constexpr int idleMs = 300;
    AlsaStream stream("default", {}, idleMs);
    AlsaWaveOut out(stream, clock);
    SquareWaveSink square(stream, clock);
    Listener listener;
    const auto closesAndSleeps = [&](int closes) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !stream.stats().running; }, 10000));
        const AlsaStream::Stats before = stream.stats();
        EXPECT_EQ(before.idleCloses, closes);
        QTest::qWait(2 * idleMs);
        const AlsaStream::Stats after = stream.stats();
        EXPECT_FALSE(after.running);
        EXPECT_EQ(after.wakeups, before.wakeups) << "the worker of a closed stream must not wake";
        EXPECT_EQ(after.opens, before.opens);
    };
    ASSERT_TRUE(server->startRecording());

    HWAVEOUT h = 0;
    ASSERT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NOERROR);
    QTest::qWait(3 * idleMs);
    EXPECT_TRUE(stream.stats().running) << "an opening held without buffers keeps the device";
    out.waveOutClose(h);
    closesAndSleeps(1);

    Asked stamps;
    stamps.push_back(element(out, listener, 60));
    EXPECT_EQ(stream.stats().opens, 2);
    clock.Sleep(25);
    stamps.push_back(element(out, listener, 33));
    clock.Sleep(25);

    square.toneOn(750);
    QTest::qWait(3 * idleMs);
    EXPECT_TRUE(stream.stats().running) << "a square tone keeps the device";
    square.toneOff();
    closesAndSleeps(2);

    // The square tone after a reopen starts once the device runs, within the call; it ends on the
    // off's stamp.
    const int64_t onBefore = monotonicNs();
    square.toneOn(600);
    const int64_t onAfter = monotonicNs();
    EXPECT_EQ(stream.stats().opens, 3);
    clock.Sleep(70);
    square.toneOff();
    const int64_t offNs = clock.stamps.back();
    closesAndSleeps(3);

    // An open that meets the closed stream without an acquire first reopens it and sounds in full.
    std::atomic<int> done{0};
    ASSERT_TRUE(stream.pcmOpen(AlsaStream::now(), [&](uint64_t) { ++done; }));
    EXPECT_EQ(stream.stats().opens, 4);
    std::vector<int16_t> burst(900);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = sineSample(int64_t(i), 750);
    ASSERT_TRUE(stream.pcmWrite(1, burst, AlsaStream::now()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return done == 1; }, 3000));
    stream.pcmClose(AlsaStream::now());
    settle(stream);

    const std::vector<int16_t> rec = server->stopRecording();
    const std::vector<Stretch> sound = findSound(rec);
    ASSERT_EQ(sound.size(), 5u) << describe(sound);
    EXPECT_LE(expectRhythm(sound, rhythmOf(stamps), false).size(), size_t(stream.stats().restarts));
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE("element " + std::to_string(k));
        const int64_t begin = sound[k].start - 1;
        EXPECT_NEAR(frequencyOf(rec, sound[k]), 750.0, 3.0);
        int64_t mismatches = 0;
        for (int64_t i = begin; i < sound[k].end; ++i)
            mismatches += rec[size_t(i)] != sineSample(i - begin, 750);
        EXPECT_EQ(mismatches, 0) << "the element sounds from its first sample";
    }
    EXPECT_NEAR(frequencyOf(rec, sound[2]), 750.0, 3.0);
    EXPECT_NEAR(frequencyOf(rec, sound[3]), 600.0, 3.0);
    EXPECT_GE(sound[3].frames(), framesOf(offNs - onAfter) - kToleranceFrames);
    EXPECT_LE(sound[3].frames(), framesOf(offNs - onBefore) + kToleranceFrames);
    const int64_t begin = sound[4].start - 1;
    EXPECT_EQ(sound[4].end - begin, int64_t(burst.size()));
    EXPECT_TRUE(std::equal(burst.begin(), burst.end(), rec.begin() + begin));
}

// A device that does not exist, and the server's "default" read from a configuration that does not.
TEST_P(AlsaServerTest, AMissingDeviceFailsTheOpenWithTheReasonAndTheSpeakerIsSilent)
{
    for (const auto& [device, config] :
         {std::pair<std::string, std::string>{"quindle_no_such_device", ""},
          std::pair<std::string, std::string>{"default", "/nonexistent/asound.conf"}}) {
        SCOPED_TRACE(device + " " + config);
        AlsaStream stream(device, config);
        AlsaWaveOut out(stream, clock);
        Listener listener;
        HWAVEOUT h = 99;
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(out.waveOutOpen(&h, WAVE_MAPPER, monoFormat(), &listener), MMSYSERR_NODRIVER);
            EXPECT_EQ(h, 0u);
            const std::string text = out.waveOutGetErrorText(MMSYSERR_NODRIVER);
            EXPECT_NE(text.find("\"" + device + "\""), std::string::npos) << text;
        }
        QCoreApplication::processEvents();
        EXPECT_TRUE(listener.notes.empty());
        std::unique_ptr<SpeakerSink> sink = openSpeakerSink(
            stream, clock, {"/nonexistent/input", "/nonexistent/sys", {"/nonexistent/console"}});
        sink->toneOn(750), sink->toneOff(); // silent, and tries the device again
        EXPECT_GE(stream.stats().failures, 3);
    }
}

} // namespace
