// Sound-card timing of the whole program: the real main window keys a Text run through the real
// ALSA back-end onto the null sink of a PulseAudio or a PipeWire server, which is recorded; every tone and
// silence on the recording is measured against the length the keying asked for (n x (DotTime - 4) for a tone,
// the sum of the sleeps between two tones for a silence).
//
//   build/bench/bench_alsa_timing
//
// Figures (as counters): tone and silence errors, 50th/99th percentile and maximum [ms], and the
// silences more than 0.3 ms off; the stream's restarts, late wake-ups absorbed, late calls,
// underruns, drift corrections per minute and lead; with busy=1 the same while a parallel build of
// the project runs beside it, and the load average at the end; the CPU time of
// the whole process per second of keying [ms/s]; from the Text button's handler to the first sample
// reaching the sound server, with the stream open and closed [ms]; the CPU time of a process left
// idle after one element, before and after the stream's idle close [% of one core].
// The rhythm's label names the server and the worker's scheduling (its priority, and how it got it).
#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/Unit1.h"
#include "bench/support/WidgetBenchmarkMain.h"
#include "clock/Clock.h"
#include "keying/Keyer.h"
#include "tests/support/PipeWireServer.h"
#include "tests/support/PulseServer.h"
#include "tests/support/RhythmClock.h"
#include "tone/ToneOutput.h"
#include "tone/AlsaStream.h"
#include "tone/AlsaWaveOut.h"
#include "tone/SpeakerSinks.h"

#include <QAction>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace quindle;
using quindle::test::PipeWireServer;
using quindle::test::PulseServer;
using quindle::test::PlanTap;
using quindle::test::RhythmClock;
using quindle::test::SoundServer;

constexpr unsigned kRate = 22540; // [frames/s]

// The servers that started, by the number a benchmark names: 0 PulseAudio, 1 PipeWire.
SoundServer* g_servers[2] = {};

// Points ALSA's "default" at server number k for the streams opened from now on; null when that
// server did not start (the benchmark is then skipped).
SoundServer* useServer(benchmark::State& state, int64_t k)
{
    SoundServer* server = g_servers[k];
    if (!server) {
        state.SkipWithError("this sound server is not running");
        return nullptr;
    }
    server->exportToEnvironment();
    state.SetLabel(server->name().toStdString());
    return server;
}

// The program as main() puts it together, on the sound card alone.
struct Program {
    explicit Program(int idleCloseMs = AlsaStream::kIdleCloseMs)
        : stream("default", {}, idleCloseMs), waveOut(stream, clock)
    {
        clock.real().setLatenessBudget([this] { return stream.absorbableNs(); });
        MorsePlatform platform;
        platform.clock = &clock;
        platform.speakerSink = &speaker;
        platform.waveOut = &waveOut;
        output = std::make_unique<ToneOutput>(clock, speaker, waveOut);
        tap = std::make_unique<PlanTap>(*output);
        platform.tones = tap.get();
        platform.iniName = dir.filePath(QStringLiteral("quindle2.ini"));
        morse = std::make_unique<TMorse>(platform);
        morse->mnuSpeaker->setChecked(false);
        morse->mnuSoundcard->setChecked(true);
        morse->mnuCT->setChecked(false);
        morse->show();
        QCoreApplication::processEvents();
    }
    // Keys text at the speed position from its start; returns the handler's entry [ns].
    int64_t key(const QString& text, int speed)
    {
        morse->SpeedT->setPosition(speed);
        morse->Memo->setText(text);
        morse->Memo->setSelStart(0);
        const int64_t entry = monotonicNs();
        morse->keyer().btnTextClick();
        return entry;
    }

    QTemporaryDir dir;
    RhythmClock clock;
    AlsaStream stream;
    AlsaWaveOut waveOut;
    SilentSink speaker;
    std::unique_ptr<ToneOutput> output;
    std::unique_ptr<PlanTap> tap;
    std::unique_ptr<TMorse> morse;
};

// A parallel build of the project from scratch in a temporary folder (the compiler cache off), in a
// session and process group of its own, as from a terminal beside the program (the kernel then
// shares the cores between the two sessions), ended as a whole: a busy machine, as a user's may be.
class BusyBuild {
public:
    BusyBuild()
    {
        m_build.setChildProcessModifier([] {
            setsid();
            prctl(PR_SET_PDEATHSIG, SIGKILL);
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CCACHE_DISABLE", "1");
        m_build.setProcessEnvironment(env);
        m_build.setStandardOutputFile(QProcess::nullDevice());
        m_build.setStandardErrorFile(QProcess::nullDevice());
        m_build.start(
            "sh",
            {"-c",
             "cmake -S \"$0\" -B \"$1\" -DCMAKE_BUILD_TYPE=RelWithDebInfo && exec cmake --build \"$1\" -j2",
             QStringLiteral(QUINDLE_SOURCE_DIR), m_dir.path()});
        m_build.waitForStarted();
    }
    ~BusyBuild()
    {
        if (m_build.state() == QProcess::NotRunning)
            return;
        const pid_t group = pid_t(m_build.processId());
        ::kill(-group, SIGTERM);
        if (!m_build.waitForFinished(5000))
            ::kill(-group, SIGKILL);
        m_build.waitForFinished(5000);
        ::kill(-group, SIGKILL); // compilers the build left behind
    }
    bool running() const { return m_build.state() == QProcess::Running; }

private:
    QTemporaryDir m_dir;
    QProcess m_build;
};

double loadAverage()
{
    double load = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = 0;
        std::fclose(f);
    }
    return load;
}

// Lets the program sit in its event loop, as it does between the user's clicks. [ms]
void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

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

struct Stretch {
    int64_t start, end;
};

// Stretches of sound; a tone's first sample is 0 and goes unseen, so each begins a frame earlier.
std::vector<Stretch> findSound(const std::vector<int16_t>& s)
{
    std::vector<Stretch> found;
    for (int64_t i = 0; i < int64_t(s.size()); ++i) {
        if (std::abs(s[size_t(i)]) <= 64)
            continue;
        if (!found.empty() && i - found.back().end <= 12)
            found.back().end = i + 1;
        else
            found.push_back({i - 1, i + 1});
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

// A Text run of "PARIS " repeated for about `seconds` at `dotMs`, with a build beside it when busy.
void BM_Rhythm(benchmark::State& state)
{
    const int dotMs = int(state.range(0));
    const double seconds = double(state.range(1));
    SoundServer* server = useServer(state, state.range(2));
    if (!server)
        return;
    for (auto _ : state) {
        std::unique_ptr<BusyBuild> build;
        if (state.range(3) != 0) {
            build = std::make_unique<BusyBuild>();
            idleFor(15'000); // past the configuration, into the compiling
            if (!build->running()) {
                state.SkipWithError("the build beside the benchmark did not run");
                return;
            }
        }
        Program program;
        program.clock.sounding = [&] { return program.tap->nextSleepIsTone(); };
        QString text;
        for (int i = 0; i < int(std::ceil(seconds * 1000 / (56.0 * dotMs))); ++i)
            text += QStringLiteral("PARIS ");
        if (!program.stream.acquire(kRate).ok || !server->startRecording()) {
            state.SkipWithError("no sound server");
            return;
        }
        const double cpu0 = cpuSeconds(), ui0 = threadCpuSeconds();
        const int64_t t0 = program.key(text, 180 - dotMs);
        const double wall = double(monotonicNs() - t0) / 1e9;
        const double cpu = cpuSeconds() - cpu0, ui = threadCpuSeconds() - ui0;
        const double load = loadAverage();
        const bool built = build && !build->running(); // ended before the keying did
        build.reset();
        idleFor(int(program.stream.stats().leadNs / 1'000'000) + 200);
        const std::vector<Stretch> sound = findSound(server->stopRecording());
        const AlsaStream::Stats stats = program.stream.stats();

        const auto [tones, silences] = program.clock.lengths();
        if (sound.size() != tones.size()) {
            state.SkipWithError(
                ("recorded " + std::to_string(sound.size()) + " tones of " + std::to_string(tones.size()))
                    .c_str());
            return;
        }
        std::vector<double> toneErr, silenceErr;
        for (size_t k = 0; k < tones.size(); ++k) {
            toneErr.push_back(std::abs(framesToMs(sound[k].end - sound[k].start) - tones[k]));
            if (k > 0)
                silenceErr.push_back(std::abs(framesToMs(sound[k].start - sound[k - 1].end) - silences[k]));
        }
        state.counters["tones"] = double(tones.size());
        state.counters["tone_p50_ms"] = percentile(toneErr, 0.5);
        state.counters["tone_p99_ms"] = percentile(toneErr, 0.99);
        state.counters["tone_max_ms"] = percentile(toneErr, 1.0);
        state.counters["silence_p50_ms"] = percentile(silenceErr, 0.5);
        state.counters["silence_p99_ms"] = percentile(silenceErr, 0.99);
        state.counters["silence_max_ms"] = percentile(silenceErr, 1.0);
        state.counters["silences_off"] =
            double(std::count_if(silenceErr.begin(), silenceErr.end(), [](double e) { return e > 0.3; }));
        state.counters["restarts"] = stats.restarts;
        state.counters["absorbed"] = stats.absorbed;
        state.counters["clock_restarts"] = program.clock.real().resyncs();
        if (state.range(3) != 0) {
            state.counters["load1"] = load;
            state.counters["build_ended_early"] = built;
        }
        state.counters["late"] = stats.lateRequests;
        state.counters["xruns"] = stats.xruns;
        state.counters["starved"] = stats.starved;
        state.counters["drift_corr_per_min"] = stats.driftCorrections / (wall / 60);
        state.counters["lead_ms"] = double(stats.leadNs) / 1e6;
        state.counters["cpu_ms_per_s"] = 1000 * cpu / wall;
        // The window's thread: keying, the memo and the calls; the rest is the audio worker and the
        // sound server client's thread.
        state.counters["cpu_ui_ms_per_s"] = 1000 * ui / wall;
        state.counters["wakeups_per_s"] = double(stats.wakeups) / wall;
        state.SetLabel(server->name().toStdString() + ", worker " + stats.priority);
        state.SetIterationTime(wall);
    }
}
BENCHMARK(BM_Rhythm)
    ->ArgNames({"dot_ms", "s", "server", "busy"})
    ->Args({15, 60, 0, 0})
    ->Args({15, 60, 1, 0})
    ->Args({80, 30, 0, 0})
    ->Args({80, 30, 1, 0})
    ->Args({15, 60, 0, 1})
    ->Args({15, 60, 1, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// From the Text button's handler to the first sample of its first tone reaching the sound server,
// with the stream open (range 1) or closed for idleness (range 0). [ms]
void BM_FirstSound(benchmark::State& state)
{
    const bool open = state.range(0) != 0;
    if (!useServer(state, state.range(1)))
        return;
    Program program(open ? AlsaStream::kIdleCloseMs : 200);
    std::vector<double> delays;
    for (auto _ : state) {
        // A click comes after a quiet while: a second with the stream open, or past its idle close.
        if (open)
            program.stream.acquire(kRate);
        idleFor(open ? 1000 : 600);
        if (open != program.stream.stats().running) {
            state.SkipWithError("the stream is not in the state to measure");
            return;
        }
        const int64_t entry = program.key(QStringLiteral("E"), 165);
        idleFor(int(program.stream.stats().leadNs / 1'000'000) + 50);
        delays.push_back(double(program.stream.stats().lastOnsetWrittenNs - entry) / 1e6);
    }
    state.counters["p50_ms"] = percentile(delays, 0.5);
    state.counters["max_ms"] = percentile(delays, 1.0);
    state.counters["lead_ms"] = double(program.stream.stats().leadNs) / 1e6;
}
BENCHMARK(BM_FirstSound)
    ->ArgNames({"open", "server"})
    ->ArgsProduct({{1, 0}, {0, 1}})
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// A program left alone after one element: the CPU time of the whole process while it does nothing
// for range(0) seconds, and from the device's idle close to the end [% of one core]; the worker's
// rounds in both; whether the device is still open at the end.
void BM_AlsaIdle(benchmark::State& state)
{
    const int seconds = int(state.range(0));
    if (!useServer(state, 0))
        return;
    for (auto _ : state) {
        Program program;
        if (!program.stream.acquire(kRate).ok) {
            state.SkipWithError("no sound server");
            return;
        }
        program.key(QStringLiteral("E"), 165);
        const int64_t wakeups0 = program.stream.stats().wakeups;
        const double cpu0 = cpuSeconds();
        const int64_t t0 = monotonicNs();
        double closedCpu = -1;
        int64_t closedNs = 0, closedWakeups = 0;
        for (int k = 0; k < seconds * 10; ++k) {
            idleFor(100);
            if (closedCpu < 0 && !program.stream.stats().running) {
                closedCpu = cpuSeconds();
                closedNs = monotonicNs();
                closedWakeups = program.stream.stats().wakeups;
            }
        }
        const int64_t endNs = monotonicNs();
        const double wall = double(endNs - t0) / 1e9;
        const double cpuEnd = cpuSeconds();
        const AlsaStream::Stats stats = program.stream.stats();
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
    PulseServer pulse;
    PipeWireServer pipewire;
    SoundServer* servers[2] = {&pulse, &pipewire};
    for (int k = 0; k < 2; ++k) {
        QString error;
        if (!servers[k]->installed())
            std::printf("%s is not installed; not measured\n", qPrintable(servers[k]->name()));
        else if (!servers[k]->start(&error))
            std::printf("%s did not start: %s\n", qPrintable(servers[k]->name()), qPrintable(error));
        else
            g_servers[k] = servers[k];
    }
    const int result = quindle::bench::runWidgetBenchmarks(argc, argv);
    g_servers[0] = g_servers[1] = nullptr;
    return result;
}
