#pragma once

// The main() of a benchmark program that needs widgets: a QApplication on the offscreen platform
// (unless QT_QPA_PLATFORM says otherwise) with the program's font substitutions, then every
// registered benchmark.

#include "app/Fonts.h"

#include <QApplication>

#include <benchmark/benchmark.h>

namespace quindle::bench {

inline int runWidgetBenchmarks(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installFontSubstitutions();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace quindle::bench
