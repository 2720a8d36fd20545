// Cost of the logging paths that run on every request and window event.
#include "app/DevFileLog.h"
#include "app/LogRedaction.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

void BM_SanitizeFields(benchmark::State& state)
{
    const QHash<QString, QString> fields{
        {QStringLiteral("visibility"), QStringLiteral("fullscreen")},
        {QStringLiteral("source_url"), QStringLiteral("https://example.invalid/a")},
        {QStringLiteral("message"), QString(600, QLatin1Char('m'))},
        {QStringLiteral("width"), QStringLiteral("1920")},
    };
    for (auto _ : state)
        benchmark::DoNotOptimize(LogRedaction::sanitize(fields, LogRedaction::DropSecrets));
}
BENCHMARK(BM_SanitizeFields);

void BM_DevLogRecordOff(benchmark::State& state)
{
    DevFileLog::configure(QUrl(QStringLiteral("https://player.example")), QString(), 0);
    const QJsonObject fields{{QStringLiteral("origin"), QStringLiteral("https://player.example")}};
    for (auto _ : state)
        DevFileLog::record(QStringLiteral("process.start"), fields);
}
BENCHMARK(BM_DevLogRecordOff);

void BM_DevLogRecordOn(benchmark::State& state)
{
    QTemporaryDir dir;
    DevFileLog::configure(QUrl(QStringLiteral("http://localhost:8080")), dir.path(), 1 << 20);
    const QJsonObject fields{{QStringLiteral("origin"), QStringLiteral("http://localhost:8080")}};
    for (auto _ : state)
        DevFileLog::record(QStringLiteral("process.start"), fields);
    DevFileLog::configure(QUrl(), QString(), 0);
}
BENCHMARK(BM_DevLogRecordOn);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
