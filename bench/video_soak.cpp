// Memory of the video engine over many placements under a real Wayland compositor: a short clip
// played until it started, then destroyed, a thousand times after a warm-up, with and without a
// stalled first pipeline that the engine rebuilds. Reports the growth per cycle after the
// warm-up, of resident memory and of the heap in use, over all cycles and over the second half.
// The soak test counts live objects; this measures what the process keeps. Run it with
// WAYLAND_DISPLAY set.

#include "app/PlatformEnvironment.h"
#include "bench/VideoBench.h"
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

#include <malloc.h>
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

struct Memory {
    qint64 resident = 0; // pages the process holds
    qint64 heapInUse = 0; // bytes malloc has handed out and not got back
    qint64 heapFree = 0; // bytes malloc got back and keeps for later
};

// Once every released pipeline has reached NULL, the scene's script garbage was collected and
// queued deletions ran: what the process keeps, not what it has yet to collect.
Memory settledMemory()
{
    gstsupport::waitForPipelineReleases();
    scene().qml->collectGarbage();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    Memory memory;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            memory.resident = fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE);
    }
    const struct mallinfo2 heap = mallinfo2();
    memory.heapInUse = qint64(heap.uordblks + heap.hblkhd);
    memory.heapFree = qint64(heap.fordblks);
    return memory;
}

double kibPerCycle(qint64 bytes, int cycles)
{
    return double(bytes) / 1024.0 / cycles;
}

void BM_PlacementCycles(benchmark::State& state)
{
    const bool stall = state.range(0) != 0;
    for (auto _ : state) {
        // A pipeline that GStreamer stalls twice in a row fails the placement, as it should;
        // the cycles go on, and the report says how many there were.
        int failedCycles = 0;
        auto run = [stall, &failedCycles](int cycles) -> QString {
            for (int i = 0; i < cycles; ++i) {
                const QString problem = test::cycleVideoPlacement(
                    *scene().qml, *scene().window, scene().clip, test::PlayUntil::Started, stall);
                if (problem == QLatin1String("pipeline_start_failed"))
                    ++failedCycles;
                else if (!problem.isEmpty())
                    return QStringLiteral("cycle %1: %2").arg(i).arg(problem);
            }
            return {};
        };
        QString problem = run(warmUpCycles);
        const Memory start = settledMemory();
        if (problem.isEmpty())
            problem = run(measuredCycles / 2);
        const Memory half = settledMemory();
        if (problem.isEmpty())
            problem = run(measuredCycles / 2);
        const Memory end = settledMemory();
        if (!problem.isEmpty()) {
            state.SkipWithError(qPrintable(problem));
            break;
        }
        // The second half tells a plateau (allocator arenas, caches) from steady growth.
        state.counters["cycles"] = measuredCycles;
        state.counters["cycles_failed"] = failedCycles;
        state.counters["resident_start_MiB"] = double(start.resident) / 1048576.0;
        state.counters["resident_KiB_per_cycle"] =
            kibPerCycle(end.resident - start.resident, measuredCycles);
        state.counters["resident_2nd_half_KiB_per_cycle"] =
            kibPerCycle(end.resident - half.resident, measuredCycles / 2);
        state.counters["heap_KiB_per_cycle"] =
            kibPerCycle(end.heapInUse - start.heapInUse, measuredCycles);
        state.counters["heap_2nd_half_KiB_per_cycle"] =
            kibPerCycle(end.heapInUse - half.heapInUse, measuredCycles / 2);
        state.counters["heap_free_KiB_per_cycle"] =
            kibPerCycle(end.heapFree - start.heapFree, measuredCycles);
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
    // As the player's own start.
    boundAllocatorArenas();
    bench::useWaylandOpenGl();
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

    return bench::runBenchmarks(argc, argv);
}
