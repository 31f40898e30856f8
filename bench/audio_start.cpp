// How long the sound-card element's Start takes: opening the device and filling all four buffers
// before the first write. The tone's buffers are computed once for a pitch (16364 samples of the
// sine, BM_FillOneBuffer a quarter of that) and copied at every Start after.

#include "clock/Clock.h"
#include "tone/SoundcardTone.h"
#include "tone/SpeakerSink.h"
#include "tone/ToneOutput.h"
#include "tone/WaveOut.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

using namespace quindle;

// Accepts every call at once and notifies nobody: only the engine's own work is measured.
class NullWaveOut final : public WaveOutBackend {
public:
    MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t, const PCMWAVEFORMAT&, QObject*) override
    {
        *handle = ++m_openings;
        return MMSYSERR_NOERROR;
    }
    MMRESULT waveOutPrepareHeader(HWAVEOUT, WAVEHDR*) override { return MMSYSERR_NOERROR; }
    MMRESULT waveOutWrite(HWAVEOUT, WAVEHDR* header) override
    {
        benchmark::DoNotOptimize(header->lpData[0]);
        return MMSYSERR_NOERROR;
    }
    MMRESULT waveOutReset(HWAVEOUT) override { return MMSYSERR_NOERROR; }
    MMRESULT waveOutPause(HWAVEOUT) override { return MMSYSERR_NOERROR; }
    MMRESULT waveOutRestart(HWAVEOUT) override { return MMSYSERR_NOERROR; }
    MMRESULT waveOutUnprepareHeader(HWAVEOUT, WAVEHDR*) override { return MMSYSERR_NOERROR; }
    MMRESULT waveOutClose(HWAVEOUT) override { return MMSYSERR_NOERROR; }
    std::string waveOutGetErrorText(MMRESULT) const override { return {}; }

private:
    HWAVEOUT m_openings = 0;
};

class SilentSink final : public SpeakerSink {
public:
    void toneOn(double) override {}
    void toneOff() override {}
};

void BM_AudioStart(benchmark::State& state)
{
    RealClock clock;
    SilentSink sink;
    NullWaveOut waveOut;
    const int tone = int(state.range(0));
    ToneOutput output(clock, sink, waveOut);
    TAudioOut& audio = output.AudioOut1();
    output.SoundcardElement(1, 4, tone); // sets the pitch that every Start below fills at
    for (auto _ : state) {
        benchmark::DoNotOptimize(audio.Start());
        state.PauseTiming();
        audio.StopNow();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 4 * 4091); // samples
}
BENCHMARK(BM_AudioStart)
    ->Arg(750)
    ->Arg(20000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_FillOneBuffer(benchmark::State& state)
{
    std::vector<char> buffer(8182);
    for (auto _ : state) {
        int size = 8182;
        FillSineBuffer(buffer.data(), size, 750, 1, 22540);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * 4091);
}
BENCHMARK(BM_FillOneBuffer)->Unit(benchmark::kMicrosecond);

// The same buffer through the C library's sinl and nearbyintl, for comparison.
void BM_FillOneBufferLibm(benchmark::State& state)
{
    std::vector<int16_t> samples(4091);
    for (auto _ : state) {
        for (int i = 0; i < 4091; ++i) {
            long double x = static_cast<long double>(4091 + i) / 22540;
            x = x * 3.14159L * 2 * 750;
            samples[size_t(i)] = static_cast<int16_t>(nearbyintl(sinl(x) * Amplitude));
        }
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * 4091);
}
BENCHMARK(BM_FillOneBufferLibm)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
