// The whole planning job of a large revision (100 pages of 24 images) against a content cache of
// 1,000, 10,000 and 100,000 objects: the volume measurement, the allocated sizes of the caches,
// the listing of the local objects with their access stamps, the input and the plan. The listing
// is linear and the plan sorts the warm objects, so the time should grow no faster than n log n.
//
// The job runs on the content I/O queue, never on the GUI thread: BM_GuiStallWhilePlanning runs
// it there as the controller does and reports the longest gap between the ticks of a 1 ms timer
// on the GUI thread's event loop ("stall_ms"), and what the GUI thread spent writing the
// planner's input from the manifest ("gui_input_ms").
#include "bench/BenchmarkMain.h"
#include "bench/RandomDigest.h"
#include "controller/PlayerPreparation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>

namespace {

using namespace talvorine;

constexpr int pageCount = 100;
constexpr int primitivesPerPage = 24;
constexpr qint64 itemBytes = 1048576;

Manifest revision(std::mt19937_64& engine)
{
    Manifest manifest;
    manifest.manifestRevision = QStringLiteral("man_bench");
    for (int p = 0; p < pageCount; ++p) {
        Page page;
        page.id = QStringLiteral("page-%1").arg(p);
        for (int r = 0; r < primitivesPerPage; ++r) {
            Primitive primitive;
            primitive.id = QStringLiteral("image%1").arg(r);
            primitive.kind = PrimitiveKind::image;
            primitive.binding = {{"items", QJsonArray{QJsonObject{
                                               {"mediaId", primitive.id},
                                               {"src", "/m"},
                                               {"sha256", bench::randomDigest(engine)},
                                               {"bytes", double(itemBytes)},
                                               {"contentType", "image/png"}}}}};
            page.primitives.append(primitive);
        }
        manifest.pages.append(page);
    }
    return manifest;
}

// A state directory whose content cache holds count small objects, every other one with an
// access stamp, and the job that plans the revision against it.
struct Fixture {
    QTemporaryDir directory;
    Manifest manifest;
    std::shared_ptr<ContentCache> content;
    std::shared_ptr<ApplicationPackageCache> packages;
    StoragePlanningJob job;

    explicit Fixture(int count)
    {
        std::mt19937_64 engine(7);
        manifest = revision(engine);
        const QString contentRoot = directory.filePath(QStringLiteral("content-cache"));
        QDir().mkpath(contentRoot + QStringLiteral("/objects"));
        QDir().mkpath(contentRoot + QStringLiteral("/access"));
        for (int i = 0; i < count; ++i) {
            const QString name = bench::randomDigest(engine);
            QFile object(contentRoot + QStringLiteral("/objects/") + name);
            if (object.open(QIODevice::WriteOnly))
                object.write("x");
            if (i % 2 == 0) {
                QFile stamp(contentRoot + QStringLiteral("/access/") + name);
                if (stamp.open(QIODevice::WriteOnly))
                    stamp.write(QByteArray::number(1700000000000LL + i));
            }
        }
        content = std::make_shared<ContentCache>(contentRoot);
        packages = std::make_shared<ApplicationPackageCache>(
            directory.filePath(QStringLiteral("application-cache")));
        job.input = storagePlanInput(manifest);
        job.input.insert(QStringLiteral("old_objects"), QJsonArray());
        job.input.insert(QStringLiteral("leases"), QJsonArray());
        job.revision = manifest.manifestRevision;
        job.stateDirectory = directory.path();
        job.contentCacheDirectory = contentRoot;
        job.packageCacheRoot = packages->root();
        job.adCacheDirectory = directory.filePath(QStringLiteral("ad-cache"));
        // Room for the revision and every cached object, so that nothing is evicted and every
        // iteration plans against the same cache.
        job.quota = qint64(1) << 40;
    }

    // An error text when the job did not plan, or planned to evict.
    QString check()
    {
        std::atomic<bool> cancelled{false};
        const std::optional<StoragePlanningOutcome> outcome =
            runStoragePlanning(job, *content, *packages, cancelled);
        if (!outcome || !outcome->record)
            return outcome ? outcome->error : QStringLiteral("cancelled");
        if (!outcome->evicted.isEmpty())
            return QStringLiteral("the plan evicted objects");
        return {};
    }
};

void BM_RevisionPlanning(benchmark::State& state)
{
    Fixture fixture(int(state.range(0)));
    if (const QString error = fixture.check(); !error.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    std::atomic<bool> cancelled{false};
    for (auto _ : state)
        benchmark::DoNotOptimize(
            runStoragePlanning(fixture.job, *fixture.content, *fixture.packages, cancelled));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RevisionPlanning)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

void BM_GuiStallWhilePlanning(benchmark::State& state)
{
    Fixture fixture(int(state.range(0)));
    CacheIoQueue queue(64);
    double longestStallMs = 0;
    double inputMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        StoragePlanningJob job = fixture.job;
        job.input = storagePlanInput(fixture.manifest);
        job.input.insert(QStringLiteral("old_objects"), QJsonArray());
        job.input.insert(QStringLiteral("leases"), QJsonArray());
        inputMs = std::max(inputMs, clock.nsecsElapsed() / 1e6);

        bool done = false;
        auto cancel = std::make_shared<std::atomic<bool>>(false);
        queue.submit(cancel, [&fixture, job, cancel, &done]() -> std::function<void()> {
            benchmark::DoNotOptimize(
                runStoragePlanning(job, *fixture.content, *fixture.packages, *cancel));
            return [&done] { done = true; };
        });
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        qint64 lastTickNs = clock.nsecsElapsed();
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longestStallMs = std::max(longestStallMs, (now - lastTickNs) / 1e6);
            lastTickNs = now;
        });
        ticker.start(1);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    state.counters["stall_ms"] = longestStallMs;
    state.counters["gui_input_ms"] = inputMs;
}
BENCHMARK(BM_GuiStallWhilePlanning)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
