// Start-up cost: building the main window (controls, menus, reading the settings file) until it
// is shown and painted, on the offscreen platform.
#include "app/Fonts.h"
#include "app/Unit1.h"
#include "bench/support/WidgetBenchmarkMain.h"
#include "clock/Clock.h"
#include "tone/SpeakerSink.h"
#include "tone/WaveOut.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

using namespace quindle;

class NullSink final : public SpeakerSink {
public:
    void toneOn(double) override {}
    void toneOff() override {}
};

// Refuses every opening, as a machine without a sound card does.
class NoDevice final : public WaveOutBackend {
public:
    MMRESULT waveOutOpen(HWAVEOUT*, uint32_t, const PCMWAVEFORMAT&, QObject*) override { return MMSYSERR_NODRIVER; }
    MMRESULT waveOutPrepareHeader(HWAVEOUT, WAVEHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutWrite(HWAVEOUT, WAVEHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutReset(HWAVEOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutPause(HWAVEOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutRestart(HWAVEOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutUnprepareHeader(HWAVEOUT, WAVEHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT waveOutClose(HWAVEOUT) override { return MMSYSERR_INVALHANDLE; }
    std::string waveOutGetErrorText(MMRESULT) const override { return "no driver"; }
};

void BM_MainWindowShown(benchmark::State& state)
{
    QTemporaryDir dir;
    RealClock clock;
    NullSink sink;
    NoDevice device;
    MorsePlatform platform;
    platform.clock = &clock;
    platform.speakerSink = &sink;
    platform.waveOut = &device;
    platform.iniName = dir.filePath(QStringLiteral("quindle2.ini"));
    for (auto _ : state) {
        TMorse window(platform);
        window.show();
        window.repaint();
        QCoreApplication::processEvents();
        benchmark::DoNotOptimize(window.isVisible());
    }
}
BENCHMARK(BM_MainWindowShown)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv)
{
    return quindle::bench::runWidgetBenchmarks(argc, argv);
}
