#pragma once

// What the video benchmark programs share: a Wayland window on an OpenGL scene graph, as the
// player has, and Google Benchmark run over the command line.

#include <QByteArray>
#include <QQuickWindow>
#include <QtGlobal>

#include <benchmark/benchmark.h>

namespace talvorine::bench {

// Before the application object exists.
inline void useWaylandOpenGl()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "wayland");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
}

inline int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace talvorine::bench
