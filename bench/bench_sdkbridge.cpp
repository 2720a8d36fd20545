#include "web/ApplicationReportBudget.h"
#include "web/SdkBridge.h"

#include <QJsonObject>

#include <benchmark/benchmark.h>

using namespace talvorine;

namespace {

// Admission prunes every key on each call: the cost grows with the keys that reported recently.
void budgetAllow(benchmark::State& state)
{
    const int keys = int(state.range(0));
    QStringList names;
    for (int i = 0; i < keys; ++i)
        names << QStringLiteral("app%1").arg(i);
    qint64 now = 0;
    ApplicationReportBudget budget;
    int next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(budget.allow(names[next], now));
        next = (next + 1) % keys;
        now += 700; // a steady trickle keeps every window about full
    }
}
BENCHMARK(budgetAllow)->Arg(1)->Arg(12)->Arg(96);

void kvSetRequest(benchmark::State& state)
{
    const QJsonObject request{{"kind", "kv.set"},
                              {"key", "scores/today"},
                              {"idempotency_key", "idem-000000001"},
                              {"expected_revision", 41},
                              {"value_base64", QString(4096, QLatin1Char('A'))},
                              {"content_type", "application/json"}};
    for (auto _ : state)
        benchmark::DoNotOptimize(SdkBridge::kvRequest(request, "app.example-01", "cap-handle"));
}
BENCHMARK(kvSetRequest);

} // namespace

BENCHMARK_MAIN();
