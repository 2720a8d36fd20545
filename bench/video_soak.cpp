// Memory of the video engine over many placements under a real Wayland compositor: a short clip
// played until it started, then destroyed, a thousand times after a warm-up, with and without a
// stalled first pipeline that the engine rebuilds. Reports the growth per cycle after the
// warm-up, of resident memory and of the heap in use, over all cycles and over the second half.
// The soak test counts live objects; this measures what the process keeps.
//
// Then the plateau after large clips: a 4K 10-bit HEVC clip shown to its end 10, 100 and 500
// times, each count read after the small clip has been on again, against the reading before
// the first large one. Beside resident memory, the heap in use says what is still held (the
// decoder's or the scene's buffers kept for reuse would be), the freed heap what malloc keeps,
// and the resident size after malloc_trim how much of that malloc can give back (the showings
// after a count build their plateau again from the trimmed heap). Run it with WAYLAND_DISPLAY
// set.

#include "app/PlatformEnvironment.h"
#include "bench/ProcessStatus.h"
#include "bench/VideoBench.h"
#include "stage/GstPipelineSupport.h"
#include "stage/GstVideoEngine.h"
#include "stage/VideoFrameItem.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/VideoPlacementCycle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

using namespace talvorine;

constexpr int warmUpCycles = 50;
constexpr int measuredCycles = 1000;

struct Scene {
    QString clip;
    QString largeClip;
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

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// Once every released pipeline has reached NULL, the scene's script garbage was collected and
// queued deletions ran: what the process keeps, not what it has yet to collect.
Memory settledMemory()
{
    gstsupport::waitForPipelineReleases();
    scene().qml->collectGarbage();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    Memory memory;
    memory.resident = residentBytes();
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

double mib(qint64 bytes)
{
    return double(bytes) / 1048576.0;
}

void BM_LargeClipShowings(benchmark::State& state)
{
    constexpr int checkpoints[] = {10, 100, 500};
    if (scene().largeClip.isEmpty()) {
        const QString path = QFileInfo(scene().clip).dir().filePath(QStringLiteral("large.mkv"));
        QString error;
        if (!test::makeTenBitHevcClip(path, 3840, 2160, 30, &error)) {
            state.SkipWithError(qPrintable(QStringLiteral("cannot make the clip: ") + error));
            return;
        }
        scene().largeClip = path;
    }
    const auto show = [](const QString& clip, int times) {
        for (int i = 0; i < times; ++i) {
            const QString problem = test::cycleVideoPlacement(*scene().qml, *scene().window, clip,
                                                              test::PlayUntil::Ended, false);
            if (!problem.isEmpty())
                return problem;
        }
        return QString();
    };
    for (auto _ : state) {
        QString problem = show(scene().clip, warmUpCycles);
        const Memory baseline = settledMemory();
        state.counters["baseline_resident_MiB"] = mib(baseline.resident);
        state.counters["baseline_heap_MiB"] = mib(baseline.heapInUse);
        state.counters["baseline_free_MiB"] = mib(baseline.heapFree);
        int shown = 0;
        for (const int checkpoint : checkpoints) {
            if (problem.isEmpty())
                problem = show(scene().largeClip, checkpoint - shown);
            if (problem.isEmpty())
                problem = show(scene().clip, 1);
            if (!problem.isEmpty()) {
                state.SkipWithError(qPrintable(QStringLiteral("after %1 showings: %2").arg(shown).arg(problem)));
                return;
            }
            shown = checkpoint;
            const Memory after = settledMemory();
            malloc_trim(0);
            const qint64 trimmed = residentBytes();
            const std::string at = "after_" + std::to_string(checkpoint) + "_";
            state.counters[at + "resident_MiB"] = mib(after.resident - baseline.resident);
            state.counters[at + "heap_MiB"] = mib(after.heapInUse - baseline.heapInUse);
            state.counters[at + "free_MiB"] = mib(after.heapFree - baseline.heapFree);
            state.counters[at + "trimmed_resident_MiB"] = mib(trimmed - baseline.resident);
            std::fprintf(stderr,
                         "after %3d large showings, above the baseline: resident %+.1f MiB, heap "
                         "in use %+.1f, free heap kept %+.1f, resident after malloc_trim %+.1f\n",
                         checkpoint, mib(after.resident - baseline.resident),
                         mib(after.heapInUse - baseline.heapInUse),
                         mib(after.heapFree - baseline.heapFree), mib(trimmed - baseline.resident));
        }
        state.counters["peak_resident_MiB"] = mib(processStatusBytes("VmHWM"));
    }
}
BENCHMARK(BM_LargeClipShowings)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

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
