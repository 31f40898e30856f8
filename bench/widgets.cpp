// The tone value is read from the spin box at every dot and dash, and the box filters every key;
// both must stay far below a millisecond. The About window is built once at start-up.
#include "app/SpinEdit.h"
#include "app/Unit2.h"
#include "app/Unit3.h"
#include "bench/support/WidgetBenchmarkMain.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

void BM_SpinValueRead(benchmark::State& state)
{
    quindle::SpinEdit spin;
    spin.setValue(750);
    for (auto _ : state)
        benchmark::DoNotOptimize(spin.Value());
}
BENCHMARK(BM_SpinValueRead);

void BM_SpinValueReadNotANumber(benchmark::State& state)
{
    quindle::SpinEdit spin;
    // Only a paste puts letters into the box.
    QApplication::clipboard()->setText(QStringLiteral("tone"));
    QKeyEvent selectAll(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
    QApplication::sendEvent(&spin, &selectAll);
    QApplication::sendEvent(&spin, &paste);
    if (spin.text() != QStringLiteral("tone"))
        state.SkipWithError("paste did not reach the box");
    for (auto _ : state)
        benchmark::DoNotOptimize(spin.Value());
}
BENCHMARK(BM_SpinValueReadNotANumber);

void BM_SpinSetValue(benchmark::State& state)
{
    quindle::SpinEdit spin;
    int value = 100;
    for (auto _ : state) {
        spin.setValue(value);
        value = value == 20000 ? 100 : value + 1;
    }
}
BENCHMARK(BM_SpinSetValue);

// One refused key: the filter, the beep request and the signal.
void BM_SpinRefusedKey(benchmark::State& state)
{
    quindle::SpinEdit spin;
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    for (auto _ : state)
        QApplication::sendEvent(&spin, &letter);
}
BENCHMARK(BM_SpinRefusedKey);

void BM_CreateAboutAndHelp(benchmark::State& state)
{
    for (auto _ : state) {
        quindle::TForm2 about;
        quindle::TForm3 help;
        benchmark::DoNotOptimize(&about);
        benchmark::DoNotOptimize(&help);
    }
}
BENCHMARK(BM_CreateAboutAndHelp)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    return quindle::bench::runWidgetBenchmarks(argc, argv);
}
