// Resident memory of the video engine over many placements under a real Wayland compositor:
// a short clip played until it started, then destroyed, a thousand times after a warm-up, with
// and without a stalled first pipeline that the engine rebuilds. Reports the growth per cycle
// after the warm-up; the soak test counts live objects, this measures what the process keeps.
// Run it with WAYLAND_DISPLAY set.

#include "stage/GstPipelineSupport.h"
#include "stage/GstVideoEngine.h"
#include "stage/VideoFrameItem.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/VideoPlacementCycle.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

using namespace talvorine;

constexpr int warmUpCycles = 50;
constexpr int measuredCycles = 1000;

struct Scene {
    QString clip;
    QQmlEngine* qml = nullptr;
    QQuickWindow* window = nullptr;
};

Scene& scene()
{
    static Scene instance;
    return instance;
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : -1;
}

// Resident memory once every released pipeline has reached NULL and queued deletions ran.
qint64 settledResidentBytes()
{
    gstsupport::waitForPipelineReleases();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return residentBytes();
}

void BM_PlacementCycles(benchmark::State& state)
{
    const bool stall = state.range(0) != 0;
    for (auto _ : state) {
        auto run = [stall](int cycles) -> QString {
            for (int i = 0; i < cycles; ++i) {
                const QString problem = test::cycleVideoPlacement(
                    *scene().qml, *scene().window, scene().clip, test::PlayUntil::Started, stall);
                if (!problem.isEmpty())
                    return QStringLiteral("cycle %1: %2").arg(i).arg(problem);
            }
            return {};
        };
        QString problem = run(warmUpCycles);
        const qint64 baseline = settledResidentBytes();
        if (problem.isEmpty())
            problem = run(measuredCycles);
        const qint64 growth = settledResidentBytes() - baseline;
        if (!problem.isEmpty()) {
            state.SkipWithError(qPrintable(problem));
            break;
        }
        state.counters["cycles"] = measuredCycles;
        state.counters["baseline_MiB"] = double(baseline) / 1048576.0;
        state.counters["growth_MiB"] = double(growth) / 1048576.0;
        state.counters["growth_KiB_per_cycle"] = double(growth) / 1024.0 / measuredCycles;
        state.counters["frame_textures_left"] = VideoFrameItem::liveTextureCount();
    }
}
BENCHMARK(BM_PlacementCycles)
    ->ArgName("stall")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "wayland");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QGuiApplication app(argc, argv);
    qmlRegisterType<GstVideoEngine>("Talvorine.Native", 1, 0, "GstVideoEngine");
    qmlRegisterType<VideoFrameItem>("Talvorine.Native", 1, 0, "VideoFrameItem");
    GstVideoEngine::registerGpuSinkBeforeQmlLoad();
    // The stalls are induced on purpose; their warnings would drown the report.
    QLoggingCategory::setFilterRules(QStringLiteral("talvorine.video.warning=false"));

    QTemporaryDir dir;
    scene().clip = dir.filePath(QStringLiteral("short.webm"));
    QString error;
    if (!test::makeBarsClip(scene().clip, 320, 240, 6, 30, &error)) {
        qCritical("cannot make the clip: %s", qPrintable(error));
        return 1;
    }
    QQmlEngine qml;
    QQuickWindow window;
    window.resize(400, 300);
    window.setColor(Qt::black);
    window.show();
    scene().qml = &qml;
    scene().window = &window;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
