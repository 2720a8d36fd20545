// Cost of one storage plan for a large revision (100 pages of 24 primitives) against a growing
// number of warm objects in the cache. The warm objects are what the eviction order has to
// sort, so the time should grow no faster than n log n in their count.
#include "bench/RandomDigest.h"
#include "storage/StoragePlan.h"

#include <QJsonArray>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <random>

namespace {

using namespace talvorine;

constexpr int pageCount = 100;
constexpr int primitivesPerPage = 24;
constexpr qint64 objectBytes = 2 * 1024 * 1024;

QJsonObject input(int warmCount)
{
    std::mt19937_64 engine(7);
    QJsonArray pages;
    QStringList used;
    for (int p = 0; p < pageCount; ++p) {
        QJsonArray primitives;
        for (int r = 0; r < primitivesPerPage; ++r) {
            const QString sha = bench::randomDigest(engine);
            used.append(sha);
            primitives.append(QJsonObject{
                {"kind", "image"},
                {"objects", QJsonArray{QJsonObject{{"sha256", sha}, {"bytes", double(objectBytes)},
                                                   {"contentType", "image/png"}, {"kind", "media"}}}}});
        }
        pages.append(QJsonObject{{"id", QStringLiteral("page-%1").arg(p)}, {"primitives", primitives}});
    }
    // A tenth of the warm objects belong to the revision; the rest are candidates for eviction,
    // and the capacity leaves room for half of them so that the order matters.
    QJsonArray warm;
    QJsonArray local;
    for (int i = 0; i < warmCount; ++i) {
        const QString sha =
            i % 10 == 0 ? used.at(i / 10 % used.size()) : bench::randomDigest(engine);
        local.append(sha);
        warm.append(QJsonObject{{"sha256", sha}, {"retained_bytes", double(objectBytes)},
                                {"last_access", double(engine() % 1000000)}});
    }
    const qint64 capacity = qint64(pageCount) * primitivesPerPage * objectBytes
                            + qint64(warmCount) * 9 / 20 * objectBytes;
    return {{"manifest", QJsonObject{{"pages", pages}}},
            {"old_objects", QJsonArray{}},
            {"leases", QJsonArray{}},
            {"capacity_bytes", StoragePlan::encodeByteValue(capacity)},
            {"volume_total_bytes", StoragePlan::encodeByteValue(capacity * 2)},
            {"local", local},
            {"tiers", QJsonObject{{"fallback", QJsonArray{}}, {"warm", warm}}}};
}

void BM_StoragePlan(benchmark::State& state)
{
    const int warmCount = int(state.range(0));
    const QJsonObject document = input(warmCount);
    QString error;
    if (!StoragePlan::plan(document, &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(StoragePlan::plan(document, &error));
    state.SetComplexityN(warmCount);
}
BENCHMARK(BM_StoragePlan)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

} // namespace

BENCHMARK_MAIN();
