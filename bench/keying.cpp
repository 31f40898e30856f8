// The keying path's own cost per character (everything but the sleeps and the tone), through the
// real main window with a 16 MiB memo; and the rhythm of a 60-second Text run on the real clock.
#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/Unit1.h"
#include "bench/support/WidgetBenchmarkMain.h"
#include "clock/Clock.h"
#include "keying/Keyer.h"
#include "keying/ToneRoutes.h"

#include <QAction>
#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

using namespace quindle;

// Time stands still: the benchmark sees only the work between the sleeps.
class NoSleepClock final : public Clock {
public:
    void Sleep(int) override { ++sleeps; }
    uint32_t GetTickCount() override { return m_real.GetTickCount(); }
    uint64_t PerformanceCounter() override { return m_real.PerformanceCounter(); }
    int64_t nowNs() override { return m_real.nowNs(); }
    void messagesProcessed() override
    {
        if (onMessages)
            onMessages();
    }

    uint64_t sleeps = 0;
    std::function<void()> onMessages;

private:
    RealClock m_real;
};

// Routes that make no sound but take the time a real route would.
class SilentRoutes final : public ToneRoutes {
public:
    explicit SilentRoutes(Clock& clock) : m_clock(clock) {}
    void SpeakerTone(uint32_t, uint32_t ms) override { m_clock.Sleep(int(ms)); }
    void SpeakerNoSound() override {}
    void SoundcardElement(int n, int dotTime, int) override { m_clock.Sleep(n * (dotTime - 4)); }

private:
    Clock& m_clock;
};

struct Window {
    explicit Window(Clock& clock) : routes(clock)
    {
        MorsePlatform platform;
        platform.clock = &clock;
        platform.tones = &routes;
        platform.iniName = dir.filePath(QStringLiteral("quindle2.ini"));
        morse = std::make_unique<TMorse>(platform);
        morse->resize(421, 253);
        morse->mnuSpeaker->setChecked(true);
        morse->mnuSoundcard->setChecked(false);
        morse->mnuCT->setChecked(false);
        morse->show();
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    SilentRoutes routes;
    std::unique_ptr<TMorse> morse;
};

constexpr int kMemoChars = 16 * 1024 * 1024;

QString groupsText(int chars)
{
    const QString group = QStringLiteral("QWERT ");
    QString text;
    text.reserve(chars);
    while (text.size() + group.size() <= chars)
        text += group;
    return text;
}

constexpr int kGroups = 10;
constexpr int kCharsPerRun = 6 * kGroups;

// One iteration is a whole group run that is stopped in its tenth group: 60 characters, plus the
// run's start and end.
void BM_GroupCharacter16MiB(benchmark::State& state)
{
    NoSleepClock clock;
    Window window(clock);
    TMorse& morse = *window.morse;
    morse.Memo->setText(groupsText(kMemoChars));
    const int groupsAtStart = morse.Memo->length();
    int stopAt = 0;
    clock.onMessages = [&] {
        if (morse.Memo->length() >= stopAt)
            morse.btnStop->Tag = 1;
    };
    for (auto _ : state) {
        stopAt = morse.Memo->length() + kCharsPerRun - 1;
        morse.keyer().btnLettersClick();
    }
    if (morse.Memo->length() != groupsAtStart + int(state.iterations()) * kCharsPerRun)
        state.SkipWithError("the run did not key the characters it should have");
    state.counters["per_char"] = benchmark::Counter(
        kCharsPerRun, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One iteration is a Text run over the last 60 characters of the 16 MiB memo, ending with the
// Stop handler that moves the caret to the start.
void BM_TextCharacter16MiB(benchmark::State& state)
{
    NoSleepClock clock;
    Window window(clock);
    TMorse& morse = *window.morse;
    morse.Memo->setText(groupsText(kMemoChars));
    const int length = morse.Memo->length();
    for (auto _ : state) {
        morse.Memo->setSelStart(length - kCharsPerRun);
        morse.keyer().btnTextClick();
    }
    state.counters["per_char"] = benchmark::Counter(
        kCharsPerRun, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A Text run of about 60 s at the fastest speed on the real clock: its length against the sum of
// the sleeps it asked for.
void BM_TextRunRhythm60s(benchmark::State& state)
{
    for (auto _ : state) {
        RealClock clock;
        Window window(clock);
        TMorse& morse = *window.morse;
        morse.SpeedT->setPosition(165); // DotTime 15 ms
        morse.tbDelay->setPosition(1);
        // "PARIS " is 56 dots long with 4-dot letter and 9-dot word spacing: 840 ms at 15 ms a dot;
        // 72 of them make 60.48 s.
        QString text;
        for (int i = 0; i < 72; ++i)
            text += QStringLiteral("PARIS ");
        morse.Memo->setText(text);
        morse.Memo->setSelStart(0);
        const auto start = std::chrono::steady_clock::now();
        morse.keyer().btnTextClick();
        const double actualS =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double requestedS = double(clock.requestedNs()) / 1e9;
        state.SetIterationTime(actualS);
        state.counters["requested_s"] = requestedS;
        state.counters["actual_s"] = actualS;
        state.counters["excess_pct"] = (actualS - requestedS) / requestedS * 100;
        state.counters["resyncs"] = clock.resyncs();
    }
}

} // namespace

BENCHMARK(BM_GroupCharacter16MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TextCharacter16MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TextRunRhythm60s)->Unit(benchmark::kSecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv)
{
    return quindle::bench::runWidgetBenchmarks(argc, argv);
}
