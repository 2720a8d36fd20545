// GUI-thread cost of the ad outbox's operations with 1000 events waiting, writing in the
// background as the player's does: each one builds the whole file, which a background job writes
// and syncs with its directory. The "frame_ms" counter is the 16.7 ms of one frame at 60 Hz, for
// comparison with the time per iteration.
#include "ads/AdOutbox.h"
#include "bench/BenchmarkMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

AdEventRecord skipped(int i)
{
    AdEventRecord record;
    record.decisionId = QStringLiteral("dec_%1").arg(i, 36, 10, QLatin1Char('0'));
    record.occurrenceId = QStringLiteral("occ_%1").arg(i, 36, 10, QLatin1Char('0'));
    record.kind = QStringLiteral("skipped");
    record.startedAt = QDateTime::currentDateTimeUtc().addSecs(-15);
    record.endedAt = QDateTime::currentDateTimeUtc();
    record.durationMs = 15000;
    return record;
}

// An outbox on a fresh directory ("TALVORINE_BENCH_DIR" chooses where) holding 1000 events.
struct FullOutbox {
    QTemporaryDir dir{qEnvironmentVariable("TALVORINE_BENCH_DIR", QDir::tempPath())
                      + QStringLiteral("/ad-outbox-XXXXXX")};
    AdOutbox outbox{dir.filePath(QStringLiteral("ad-outbox.json"))};

    FullOutbox()
    {
        for (int i = 0; i < AdOutbox::maxPending; ++i)
            outbox.enqueue(skipped(i));
        outbox.writeInBackground({});
    }

    // Until what was written in the background has been seen to land.
    void settle()
    {
        while (!outbox.settled())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
};

void report(benchmark::State& state)
{
    state.counters["frame_ms"] = 16.7;
}

void BM_Enqueue(benchmark::State& state)
{
    FullOutbox full;
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(full.outbox.enqueue(skipped(++i)));
    report(state);
}
BENCHMARK(BM_Enqueue)->Unit(benchmark::kMillisecond);

void BM_TakeBatch(benchmark::State& state)
{
    FullOutbox full;
    for (auto _ : state) {
        const QList<AdEventRecord> batch = full.outbox.take(AdOutbox::maxBatch);
        state.PauseTiming();
        full.outbox.restore(batch);
        state.ResumeTiming();
    }
    report(state);
}
BENCHMARK(BM_TakeBatch)->Unit(benchmark::kMillisecond);

void BM_CommitReported(benchmark::State& state)
{
    FullOutbox full;
    int i = AdOutbox::maxPending;
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 0; n < AdOutbox::maxBatch; ++n)
            full.outbox.enqueue(skipped(++i));
        full.settle();
        const QList<AdEventRecord> batch = full.outbox.take(AdOutbox::maxBatch);
        QList<AdEventOutcome> outcomes;
        for (const AdEventRecord& record : batch)
            outcomes.append({record.eventId, QStringLiteral("accepted")});
        state.ResumeTiming();
        full.outbox.commitReported(batch, outcomes);
    }
    report(state);
}
BENCHMARK(BM_CommitReported)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
