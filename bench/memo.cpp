// Cost of the memo operations that a send run performs per character, on a memo holding 16 MiB,
// painting included (every step ends in processEvents with the memo shown at 421 x 253).
#include "app/MemoEdit.h"
#include "bench/support/WidgetBenchmarkMain.h"

#include <QApplication>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

using quindle::MemoEdit;

namespace {

constexpr int kTextSize = 16 * 1024 * 1024;

enum class Shape { Paragraph, Lines };

QString makeText(Shape shape)
{
    // One paragraph of practice groups, as a long run leaves it, or lines of 60 characters.
    if (shape == Shape::Paragraph)
        return QStringLiteral("abcde ").repeated(kTextSize / 6);
    return (QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789 ok.") + QStringLiteral("\r\n"))
        .repeated(kTextSize / 60);
}

std::unique_ptr<MemoEdit> showMemo(Shape shape)
{
    auto memo = std::make_unique<MemoEdit>();
    memo->setFont(QFont(QStringLiteral("Liberation Mono"), 9));
    memo->setFixedSize(421, 253);
    memo->show();
    memo->setFocus();
    memo->setText(makeText(shape));
    QApplication::processEvents();
    return memo;
}

void appendCharacter(benchmark::State& state, Shape shape)
{
    auto memo = showMemo(shape);
    memo->setSelStart(memo->length()); // the end in view, so that each append is painted
    QApplication::processEvents();
    for (auto _ : state) {
        memo->append(QStringLiteral("k"));
        QApplication::processEvents();
    }
}

void groupCharacter(benchmark::State& state, Shape shape)
{
    // What a group run does for each character: append it, select it at the end, paint.
    auto memo = showMemo(shape);
    for (auto _ : state) {
        memo->append(QStringLiteral("k"));
        memo->setSelStart(memo->length());
        memo->setSelLength(1);
        QApplication::processEvents();
    }
}

void readCharacter(benchmark::State& state, Shape shape)
{
    auto memo = showMemo(shape);
    int p = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(memo->charAt(p));
        p = (p + 7919) % kTextSize;
    }
}

void selectNextCharacter(benchmark::State& state, Shape shape)
{
    // What a Text run does for each character: highlight the next one, paint.
    auto memo = showMemo(shape);
    int p = kTextSize / 2;
    for (auto _ : state) {
        memo->setSelStart(p);
        memo->setSelLength(1);
        QApplication::processEvents();
        ++p;
    }
}

void selectAnywhere(benchmark::State& state, Shape shape)
{
    // Worst case: every selection scrolls to another part of the text and repaints the view.
    auto memo = showMemo(shape);
    QRandomGenerator random(1);
    for (auto _ : state) {
        memo->setSelStart(random.bounded(kTextSize));
        memo->setSelLength(1);
        QApplication::processEvents();
    }
}

void setWholeText(benchmark::State& state, Shape shape)
{
    auto memo = showMemo(shape);
    const QString text = makeText(shape);
    for (auto _ : state) {
        memo->setText(text);
        QApplication::processEvents();
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::pair<const char*, Shape> shapes[] = {{"Paragraph", Shape::Paragraph}, {"Lines", Shape::Lines}};
    for (const auto& [name, shape] : shapes) {
        const std::string suffix = std::string("/") + name;
        benchmark::RegisterBenchmark(("AppendCharacter" + suffix).c_str(), appendCharacter, shape);
        benchmark::RegisterBenchmark(("GroupCharacter" + suffix).c_str(), groupCharacter, shape);
        benchmark::RegisterBenchmark(("ReadCharacter" + suffix).c_str(), readCharacter, shape);
        benchmark::RegisterBenchmark(("SelectNextCharacter" + suffix).c_str(), selectNextCharacter, shape);
        benchmark::RegisterBenchmark(("SelectAnywhere" + suffix).c_str(), selectAnywhere, shape);
        benchmark::RegisterBenchmark(("SetText16MiB" + suffix).c_str(), setWholeText, shape)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
    }
    return quindle::bench::runWidgetBenchmarks(argc, argv);
}
