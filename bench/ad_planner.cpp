// GUI-thread cost of one ad planner tick on a 64-page manifest with 16 adslot pages: the
// forecast, the planning pass over 16 occurrences, the resolve batch, the lease walk and the
// cache keep set; and the same tick when it flushes a full outbox (1000 events) in a batch of 32,
// which rewrites the outbox file. The "frame_ms" counter is the 16.7 ms of one frame at 60 Hz.
#include "ads/AdOutbox.h"
#include "ads/AdPlanner.h"

#include <QDir>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

// Pages of 3 s; every fourth one an adslot page, all within the forecast's minute.
Manifest rotation()
{
    Manifest manifest;
    manifest.timezone = QStringLiteral("Europe/Berlin");
    for (int i = 0; i < 64; ++i) {
        Page page;
        page.id = QStringLiteral("page_%1").arg(i);
        if (i % 4 == 3) {
            page.type = PageType::adslot;
            page.adslotId = QStringLiteral("slot_%1").arg(i);
        } else {
            page.advance = {{"mode", "duration"}, {"afterMs", 1000}};
        }
        manifest.pages.append(page);
    }
    return manifest;
}

QString newId()
{
    return QStringLiteral("occ_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

struct Planner {
    Manifest manifest = rotation();
    qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    QList<AdOccurrence> occurrences;

    void tick()
    {
        const QList<AdPolicy::AdForecastPoint> forecast =
            AdPolicy::adForecastEntries(manifest, 0, 2000, nowMs);
        AdPlanner::PlanOutcome outcome =
            AdPlanner::planOccurrences(occurrences, manifest, forecast, QString(), newId);
        occurrences = std::move(outcome.occurrences);
        benchmark::DoNotOptimize(AdPlanner::resolveBatch(occurrences, nowMs, nowMs, {}));
        benchmark::DoNotOptimize(AdPlanner::chooseRenewal(occurrences, nowMs, QString()));
        benchmark::DoNotOptimize(AdPlanner::cacheKeepSet(occurrences, QString()));
    }
};

void BM_PlannerTick(benchmark::State& state)
{
    Planner planner;
    planner.tick();
    for (auto _ : state)
        planner.tick();
    state.counters["occurrences"] = double(planner.occurrences.size());
    state.counters["frame_ms"] = 16.7;
}
BENCHMARK(BM_PlannerTick)->Unit(benchmark::kMicrosecond);

void BM_PlannerTickFlushingFullOutbox(benchmark::State& state)
{
    QTemporaryDir dir(qEnvironmentVariable("TALVORINE_BENCH_DIR", QDir::tempPath())
                      + QStringLiteral("/ad-planner-XXXXXX"));
    AdOutbox outbox(dir.filePath(QStringLiteral("ad-outbox.json")));
    for (int i = 0; i < AdOutbox::maxPending; ++i) {
        AdEventRecord record;
        record.decisionId = QStringLiteral("dec_%1").arg(i);
        record.occurrenceId = newId();
        record.kind = QStringLiteral("skipped");
        record.endedAt = QDateTime::currentDateTimeUtc();
        outbox.enqueue(record);
    }
    Planner planner;
    planner.tick();
    for (auto _ : state) {
        const QList<AdEventRecord> batch = outbox.take(AdPlanner::reportBatch);
        planner.tick();
        state.PauseTiming();
        outbox.restore(batch);
        state.ResumeTiming();
    }
    state.counters["frame_ms"] = 16.7;
}
BENCHMARK(BM_PlannerTickFlushingFullOutbox)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
