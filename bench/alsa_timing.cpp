// Sound-card timing through the real ALSA back-end and a PulseAudio null sink: keys elements as the
// engine does (open, fill four sine buffers, write, sleep, reset, close, a pause), records the
// sink and measures every tone and silence against what was asked.
//
//   build/bench/bench_alsa_timing
//
// Figures (as counters): errors of tones and silences against the call stamps (the back-end's own
// accuracy) and against the lengths asked (with the clock's sleeps), 50th/99th percentile and
// maximum [ms]; drift of the stream against CLOCK_MONOTONIC over the run [ms]; CPU time of the
// process while keying, and its shares of the calling thread and of the back-end [% of one core];
// the cost of the logical open and of reset plus close [us]; the CPU time of a process left idle
// after one element [% of one core].
#include "keying/Clock.h"
#include "tests/support/PulseServer.h"
#include "tone/AlsaStream.h"
#include "tone/AlsaWaveOut.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <ctime>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using namespace quindle;
using quindle::test::PulseServer;

constexpr unsigned kRate = 22540; // [frames/s]
constexpr int kBufferFrames = 4091;

PulseServer* g_server = nullptr;

// The program's clock, keeping the stamps it hands out.
class StampClock final : public Clock {
public:
    void Sleep(int ms) override { m_real.Sleep(ms); }
    uint32_t GetTickCount() override { return m_real.GetTickCount(); }
    uint64_t PerformanceCounter() override { return m_real.PerformanceCounter(); }
    int64_t nowNs() override { return last = m_real.nowNs(); }
    int64_t last = 0;

private:
    RealClock m_real;
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Element {
    int64_t openNs, resetNs; // stamps
    int toneMs, gapMs;       // asked: the tone, and the silence after it
};

struct Stretch {
    int64_t start, end;
};

std::vector<Stretch> findSound(const std::vector<int16_t>& s)
{
    std::vector<Stretch> found;
    for (int64_t i = 0; i < int64_t(s.size()); ++i) {
        if (std::abs(s[size_t(i)]) <= 64)
            continue;
        if (!found.empty() && i - found.back().end <= 12)
            found.back().end = i + 1;
        else
            found.push_back({i - 1, i + 1}); // a tone's first sample is 0
    }
    return found;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(std::ceil(p * double(v.size())) - 1))];
}

double framesToMs(int64_t frames)
{
    return double(frames) * 1000.0 / kRate;
}

void keyRun(benchmark::State& state, int dotMs, double seconds)
{
    AlsaStream stream;
    StampClock clock;
    AlsaWaveOut out(stream, clock);
    QObject callback;
    std::array<std::vector<int16_t>, 4> data;
    std::array<WAVEHDR, 4> headers{};
    const PCMWAVEFORMAT format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16};
    std::mt19937 random(7);
    std::vector<Element> elements;
    // Cost of the logical open and of reset plus close on the calling thread. [ns]
    int64_t openSum = 0, openMax = 0, stopSum = 0, stopMax = 0;

    if (!g_server->startRecording()) {
        state.SkipWithError("parec did not start");
        return;
    }
    if (!stream.acquire(kRate).ok) {
        state.SkipWithError("the ALSA stream did not open");
        return;
    }
    const double cpu0 = cpuSeconds();
    const double ui0 = threadCpuSeconds();
    const int64_t t0 = AlsaStream::monotonicNs();
    while (AlsaStream::monotonicNs() - t0 < int64_t(seconds * 1e9)) {
        const int n = random() % 3 == 0 ? 3 : 1;
        const int gap = random() % 4 == 0 ? 3 * dotMs : dotMs; // letter gaps now and then
        Element e{};
        HWAVEOUT h = 0;
        const int64_t beforeOpen = AlsaStream::monotonicNs();
        if (out.waveOutOpen(&h, WAVE_MAPPER, format, &callback) != MMSYSERR_NOERROR) {
            state.SkipWithError("open failed");
            return;
        }
        e.openNs = clock.last;
        openSum += e.openNs - beforeOpen;
        openMax = std::max(openMax, e.openNs - beforeOpen);
        for (int b = 0; b < 4; ++b) {
            data[size_t(b)].resize(kBufferFrames);
            for (int i = 0; i < kBufferFrames; ++i)
                data[size_t(b)][size_t(i)] = int16_t(
                    std::lrint(std::sin(double(b * kBufferFrames + i) / kRate * 3.14159 * 2 * 750) * 8192));
            headers[size_t(b)] = {
                reinterpret_cast<char*>(data[size_t(b)].data()), kBufferFrames * 2, 0, 0, 0, 0, nullptr, 0};
            out.waveOutPrepareHeader(h, &headers[size_t(b)]);
            out.waveOutWrite(h, &headers[size_t(b)]);
        }
        clock.Sleep(n * (dotMs - 4));
        out.waveOutReset(h);
        e.resetNs = clock.last;
        for (WAVEHDR& header : headers)
            out.waveOutUnprepareHeader(h, &header);
        out.waveOutClose(h);
        const int64_t stopped = AlsaStream::monotonicNs() - e.resetNs;
        stopSum += stopped;
        stopMax = std::max(stopMax, stopped);
        QCoreApplication::processEvents();
        clock.Sleep(gap);
        e.toneMs = n * (dotMs - 4);
        e.gapMs = gap;
        elements.push_back(e);
    }
    const double wall = double(AlsaStream::monotonicNs() - t0) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double ui = threadCpuSeconds() - ui0;
    clock.Sleep(int(stream.stats().leadNs / 1'000'000) + 200);
    const std::vector<Stretch> sound = findSound(g_server->stopRecording());
    const AlsaStream::Stats stats = stream.stats();

    // Each element is matched with the stretch of sound where the gap since the previous match
    // puts it. A stream disturbance (an underrun of the device) moves what follows: the next
    // element is then matched with the nearest stretch after and the gap is not measured.
    std::vector<double> toneStamp, toneAsked, gapStamp, gapAsked;
    const int64_t tolerance = kRate / 200; // 5 ms [frames]
    size_t j = 0, matched = 0, disturbed = 0;
    int64_t previousEnd = -1;
    size_t previous = 0;
    double firstOffsetMs = 0, lastOffsetMs = 0;
    for (size_t k = 0; k < elements.size() && j < sound.size(); ++k) {
        const Element& e = elements[k];
        bool gapKnown = false;
        if (previousEnd >= 0) {
            const int64_t expected =
                previousEnd + std::llround(double(e.openNs - elements[previous].resetNs) * kRate / 1e9);
            while (j < sound.size() && sound[j].start < expected - tolerance)
                ++j;
            if (j == sound.size())
                break;
            gapKnown = sound[j].start <= expected + tolerance;
            disturbed += !gapKnown;
        }
        const Stretch& t = sound[j];
        const double tone = framesToMs(t.end - t.start);
        toneStamp.push_back(std::abs(tone - double(e.resetNs - e.openNs) / 1e6));
        toneAsked.push_back(std::abs(tone - e.toneMs));
        if (gapKnown) {
            const double gap = framesToMs(t.start - previousEnd);
            gapStamp.push_back(std::abs(gap - double(e.openNs - elements[previous].resetNs) / 1e6));
            gapAsked.push_back(std::abs(gap - elements[previous].gapMs));
        }
        // Offset of the stream against the stamps, for the drift.
        const double offset = framesToMs(t.start) - double(e.openNs - elements[0].openNs) / 1e6;
        if (matched == 0)
            firstOffsetMs = offset;
        lastOffsetMs = offset;
        ++matched;
        previousEnd = t.end;
        previous = k;
        ++j;
    }
    const double drift = lastOffsetMs - firstOffsetMs;

    state.counters["elements"] = double(elements.size());
    state.counters["unmatched"] = double(elements.size() - matched);
    state.counters["disturbed"] = double(disturbed);
    state.counters["tone_stamp_p50_ms"] = percentile(toneStamp, 0.5);
    state.counters["tone_stamp_p99_ms"] = percentile(toneStamp, 0.99);
    state.counters["tone_stamp_max_ms"] = percentile(toneStamp, 1.0);
    state.counters["gap_stamp_p99_ms"] = percentile(gapStamp, 0.99);
    state.counters["gap_stamp_max_ms"] = percentile(gapStamp, 1.0);
    state.counters["tone_asked_p50_ms"] = percentile(toneAsked, 0.5);
    state.counters["tone_asked_p99_ms"] = percentile(toneAsked, 0.99);
    state.counters["gap_asked_p50_ms"] = percentile(gapAsked, 0.5);
    state.counters["gap_asked_p99_ms"] = percentile(gapAsked, 0.99);
    state.counters["drift_ms"] = drift;
    state.counters["cpu_pct"] = 100.0 * cpu / wall;
    // The calling thread computes the sines (as the engine does) and makes the calls; the rest is
    // the back-end: its worker and the sound server client's thread.
    state.counters["cpu_ui_pct"] = 100.0 * ui / wall;
    state.counters["cpu_backend_pct"] = 100.0 * (cpu - ui) / wall;
    const double count = double(std::max<size_t>(elements.size(), 1));
    state.counters["open_mean_us"] = double(openSum) / count / 1e3;
    state.counters["open_max_us"] = double(openMax) / 1e3;
    state.counters["close_mean_us"] = double(stopSum) / count / 1e3;
    state.counters["close_max_us"] = double(stopMax) / 1e3;
    state.counters["latency_ms"] = double(stats.leadNs) / 1e6;
    state.counters["late"] = stats.lateRequests;
    state.counters["xruns"] = stats.xruns;
    state.SetIterationTime(wall);
}

void BM_AlsaKeying(benchmark::State& state)
{
    const int dotMs = int(state.range(0));
    const double seconds = double(state.range(1));
    for (auto _ : state)
        keyRun(state, dotMs, seconds);
}
// The fastest speed for a minute (drift, CPU), and a slow one.
BENCHMARK(BM_AlsaKeying)
    ->Args({15, 60})
    ->Args({80, 20})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// A program left alone after one element: the CPU time of the whole process while it does nothing
// for range(0) seconds, and from the device's idle close to the end [% of one core]; the worker's
// rounds in both; whether the device is still open at the end.
void BM_AlsaIdle(benchmark::State& state)
{
    const int seconds = int(state.range(0));
    for (auto _ : state) {
        AlsaStream stream;
        StampClock clock;
        AlsaWaveOut out(stream, clock);
        QObject callback;
        const PCMWAVEFORMAT format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16};
        std::vector<int16_t> data(kBufferFrames);
        for (int i = 0; i < kBufferFrames; ++i)
            data[size_t(i)] = int16_t(std::lrint(std::sin(double(i) / kRate * 3.14159 * 2 * 750) * 8192));
        WAVEHDR header{reinterpret_cast<char*>(data.data()), kBufferFrames * 2, 0, 0, 0, 0, nullptr, 0};
        HWAVEOUT h = 0;
        if (out.waveOutOpen(&h, WAVE_MAPPER, format, &callback) != MMSYSERR_NOERROR) {
            state.SkipWithError("open failed");
            return;
        }
        out.waveOutPrepareHeader(h, &header);
        out.waveOutWrite(h, &header);
        clock.Sleep(45);
        out.waveOutReset(h);
        out.waveOutUnprepareHeader(h, &header);
        out.waveOutClose(h);
        QCoreApplication::processEvents();

        const int64_t wakeups0 = stream.stats().wakeups;
        const double cpu0 = cpuSeconds();
        const int64_t t0 = AlsaStream::monotonicNs();
        // Looks at the device every 100 ms, to see when it closes.
        double closedCpu = -1;
        int64_t closedNs = 0, closedWakeups = 0;
        for (int k = 0; k < seconds * 10; ++k) {
            clock.Sleep(100);
            if (closedCpu < 0 && !stream.stats().running) {
                closedCpu = cpuSeconds();
                closedNs = AlsaStream::monotonicNs();
                closedWakeups = stream.stats().wakeups;
            }
        }
        const int64_t endNs = AlsaStream::monotonicNs();
        const double wall = double(endNs - t0) / 1e9;
        const double cpuEnd = cpuSeconds();
        const AlsaStream::Stats stats = stream.stats();
        state.counters["idle_cpu_pct"] = 100.0 * (cpuEnd - cpu0) / wall;
        state.counters["idle_wakeups"] = double(stats.wakeups - wakeups0);
        if (closedCpu >= 0 && endNs > closedNs) {
            state.counters["closed_after_s"] = double(closedNs - t0) / 1e9;
            state.counters["closed_cpu_pct"] =
                100.0 * (cpuEnd - closedCpu) / (double(endNs - closedNs) / 1e9);
            state.counters["closed_wakeups"] = double(stats.wakeups - closedWakeups);
        }
        state.counters["device_open_at_end"] = stats.running ? 1 : 0;
        state.SetIterationTime(wall);
    }
}
BENCHMARK(BM_AlsaIdle)->Arg(20)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!PulseServer::installed()) {
        std::printf("pulseaudio or parec is not installed; nothing measured\n");
        return 0;
    }
    PulseServer server;
    QString error;
    if (!server.start(&error)) {
        std::printf("PulseAudio did not start: %s\n", qPrintable(error));
        return 1;
    }
    server.exportToEnvironment();
    g_server = &server;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_server = nullptr;
    return 0;
}
