// Cost of the logging paths that run on every request and window event.
#include "app/DevFileLog.h"
#include "app/LogRedaction.h"
#include "app/PlayerOpLog.h"
#include "bench/BenchmarkMain.h"

#include <QCoreApplication>
#include <QFile>
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

// The operation log runs on the GUI thread for every request: without a collector a record must
// cost no more than building it and one failed connect.
void BM_OpLogRecordNoCollector(benchmark::State& state)
{
    QTemporaryDir dir;
    qputenv("TALVORINE_PLAYER_LOG_SOCKET", QFile::encodeName(dir.filePath(QStringLiteral("none.sock"))));
    const QJsonObject params{{QStringLiteral("screen_id"), QStringLiteral("scr-1")},
                             {QStringLiteral("pages"), 4}};
    for (auto _ : state)
        PlayerOpLog::startLocal(QStringLiteral("c-1"), QStringLiteral("manifest.adopt"),
                                QStringLiteral("adopting"), params);
    qunsetenv("TALVORINE_PLAYER_LOG_SOCKET");
}
BENCHMARK(BM_OpLogRecordNoCollector);

void BM_OpLogSanitize(benchmark::State& state)
{
    const QJsonObject record{
        {QStringLiteral("kind"), QStringLiteral("http")},
        {QStringLiteral("op"), QStringLiteral("GET /runtime/v1/screens/8c1f/manifest")},
        {QStringLiteral("message"), QString(600, QLatin1Char('m'))},
        {QStringLiteral("access_token"), QStringLiteral("secret")},
        {QStringLiteral("problem"), QJsonObject{{QStringLiteral("code"), QStringLiteral("x")}}},
    };
    for (auto _ : state)
        benchmark::DoNotOptimize(PlayerOpLog::sanitizeObject(record));
}
BENCHMARK(BM_OpLogSanitize);

void BM_OpLogTagFor(benchmark::State& state)
{
    const QString method = QStringLiteral("POST");
    const QString path = QStringLiteral("/runtime/v1/sessions/s9/challenges/c2/complete");
    for (auto _ : state)
        benchmark::DoNotOptimize(PlayerOpLog::tagFor(method, path));
}
BENCHMARK(BM_OpLogTagFor);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
