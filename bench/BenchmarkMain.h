#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <benchmark/benchmark.h>

// The end of every benchmark program's main that needs its own set-up first (an application
// object, a fixture shared by its benchmarks): runs what the command line selects and refuses
// arguments nobody took, as the library's own main would.
inline int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// For the benchmarks that need a GUI application but show nothing: no display needed, unless the
// caller names a platform.
inline void preferOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}
