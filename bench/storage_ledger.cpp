// Cost of noting an eviction in a transfer ledger already at its cap of remembered objects:
// each note then drops the oldest entry, which should cost a look-up, not a walk of the list.
#include "storage/StorageTransferLedger.h"

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

QString digest(qint64 i)
{
    return QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0'));
}

void BM_NoteEvictedAtCap(benchmark::State& state)
{
    StorageTransferLedger ledger(QStringLiteral("/nonexistent/storage-transfer.json"));
    qint64 next = 0;
    for (; next < StorageTransferLedger::maxEvicted; ++next)
        ledger.noteEvicted(digest(next), next);
    for (auto _ : state) {
        ledger.noteEvicted(digest(next), next);
        ++next;
    }
    benchmark::DoNotOptimize(ledger.evictedCount());
}
BENCHMARK(BM_NoteEvictedAtCap);

} // namespace

BENCHMARK_MAIN();
