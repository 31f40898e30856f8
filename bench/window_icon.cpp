// Cost of the window icon: the SVG is parsed and rendered at the sizes that the platform asks for
// when a window is shown (the X11 platform sends 16, 32 and 48 pixel images to the window manager).
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QString>

#include <benchmark/benchmark.h>

namespace {

// The same file that the program compiles in as :/icons/quindle2.svg.
QString iconPath()
{
    return QString::fromUtf8(__FILE__).section(QLatin1Char('/'), 0, -3) +
           QStringLiteral("/app/icons/quindle2.svg");
}

bool renderIcon(benchmark::State& state, int size)
{
    const QIcon icon(iconPath());
    QPixmap pixmap = icon.pixmap(size, size);
    if (pixmap.isNull()) {
        state.SkipWithError("the icon did not render (is the Qt SVG plug-in installed?)");
        return false;
    }
    benchmark::DoNotOptimize(pixmap);
    return true;
}

// What start-up pays once: loading the SVG plug-in, then the three window-icon sizes.
// Registered first, so that nothing has loaded the plug-in before it runs.
void BM_WindowIconFirstUse(benchmark::State& state)
{
    for (auto _ : state) {
        for (int size : {16, 32, 48}) {
            if (!renderIcon(state, size))
                return;
        }
    }
}
BENCHMARK(BM_WindowIconFirstUse)->Iterations(1)->Unit(benchmark::kMicrosecond);

void BM_WindowIconRendered(benchmark::State& state)
{
    for (auto _ : state) {
        if (!renderIcon(state, int(state.range(0))))
            return;
    }
}
BENCHMARK(BM_WindowIconRendered)->Arg(16)->Arg(32)->Arg(48)->Arg(256)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
