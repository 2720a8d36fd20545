// Parse time of manifest documents: the largest one the parser admits in full (100 pages of
// 24 primitives with 32 media items each), a typical one (10 pages of 4 primitives), and a
// series over the page count that shows the time growing linearly with the document.

#include "manifest/Manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));

QJsonObject mediaItem(const QString& id)
{
    return QJsonObject{{QStringLiteral("mediaId"), id},
                       {QStringLiteral("src"), QStringLiteral("/content/media/") + id},
                       {QStringLiteral("sha256"), QString(64, QLatin1Char('c'))},
                       {QStringLiteral("bytes"), 250000},
                       {QStringLiteral("contentType"), QStringLiteral("image/jpeg")},
                       {QStringLiteral("intrinsicSize"),
                        QJsonObject{{QStringLiteral("width"), 1920}, {QStringLiteral("height"), 1080}}}};
}

QJsonObject image(const QString& id, int items)
{
    QJsonArray media;
    for (int i = 0; i < items; ++i)
        media.append(mediaItem(QStringLiteral("%1-m%2").arg(id).arg(i)));
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("primitive"), QStringLiteral("image")},
        {QStringLiteral("rect"), QJsonObject{{QStringLiteral("x"), 0}, {QStringLiteral("y"), 0},
                                             {QStringLiteral("width"), 480}, {QStringLiteral("height"), 270}}},
        {QStringLiteral("layer"), 1},
        {QStringLiteral("contentFit"), QStringLiteral("cover")},
        {QStringLiteral("selector"), QJsonObject{{QStringLiteral("by"), QStringLiteral("all")},
                                                 {QStringLiteral("oneAtATime"), true}}},
        {QStringLiteral("resolvedMedia"), media},
        {QStringLiteral("grantId"), QStringLiteral("grant-1")},
        {QStringLiteral("dwellMs"), 8000},
        {QStringLiteral("enter"), QJsonObject{{QStringLiteral("type"), QStringLiteral("fade-in")},
                                              {QStringLiteral("stagger"), 1}}},
    };
}

QByteArray document(int pages, int primitives, int items)
{
    QJsonArray pageArray;
    for (int p = 0; p < pages; ++p) {
        QJsonArray primitiveArray;
        for (int i = 0; i < primitives; ++i)
            primitiveArray.append(image(QStringLiteral("p%1-i%2").arg(p).arg(i), items));
        pageArray.append(QJsonObject{
            {QStringLiteral("contractVersion"), QStringLiteral("talvorine.canvas/v1")},
            {QStringLiteral("id"), QStringLiteral("page-%1").arg(p)},
            {QStringLiteral("canvas"), QJsonObject{{QStringLiteral("width"), 1920}, {QStringLiteral("height"), 1080},
                                                   {QStringLiteral("viewportFit"), QStringLiteral("contain")},
                                                   {QStringLiteral("background"), QStringLiteral("#101820FF")}}},
            {QStringLiteral("transition"), QJsonObject{{QStringLiteral("type"), QStringLiteral("crossfade")},
                                                       {QStringLiteral("durationMs"), 600}}},
            {QStringLiteral("advance"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("duration")},
                                                    {QStringLiteral("afterMs"), 15000}}},
            {QStringLiteral("visibility"),
             QJsonObject{{QStringLiteral("enabled"), true},
                         {QStringLiteral("windows"),
                          QJsonArray{QJsonObject{{QStringLiteral("days"), QJsonArray{QStringLiteral("mon"), QStringLiteral("tue")}},
                                                 {QStringLiteral("start"), QStringLiteral("07:00")},
                                                 {QStringLiteral("end"), QStringLiteral("19:00")}}}}}},
            {QStringLiteral("primitives"), primitiveArray},
        });
    }
    const QJsonObject root{{QStringLiteral("schemaVersion"), 3},
                           {QStringLiteral("manifestRevision"), QStringLiteral("rev-1")},
                           {QStringLiteral("grantId"), QStringLiteral("grant-1")},
                           {QStringLiteral("contentGeneration"), 1},
                           {QStringLiteral("screenId"), QStringLiteral("screen-1")},
                           {QStringLiteral("screenLabel"), QStringLiteral("Lobby")},
                           {QStringLiteral("playlistRevision"), 1},
                           {QStringLiteral("generatedAt"), QStringLiteral("2026-12-07T08:00:00Z")},
                           {QStringLiteral("pages"), pageArray}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void parseAndCheck(benchmark::State& state, const QByteArray& bytes, qsizetype pages)
{
    for (auto _ : state) {
        ManifestParseResult result = ManifestParser::parse(bytes, origin, 3);
        const auto* manifest = std::get_if<Manifest>(&result);
        if (!manifest || manifest->pages.size() != pages || !manifest->drops.isEmpty()) {
            state.SkipWithError("the benchmark document was not parsed in full");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(qint64(state.iterations()) * bytes.size());
    state.counters["document_bytes"] = double(bytes.size());
}

void BM_ParseLargest(benchmark::State& state)
{
    static const QByteArray bytes = document(100, 24, 32);
    parseAndCheck(state, bytes, 100);
}
BENCHMARK(BM_ParseLargest)->Unit(benchmark::kMillisecond);

void BM_ParseTypical(benchmark::State& state)
{
    static const QByteArray bytes = document(10, 4, 1);
    parseAndCheck(state, bytes, 10);
}
BENCHMARK(BM_ParseTypical)->Unit(benchmark::kMicrosecond);

void BM_ParseByPageCount(benchmark::State& state)
{
    const int pages = int(state.range(0));
    const QByteArray bytes = document(pages, 24, 32);
    parseAndCheck(state, bytes, pages);
    state.SetComplexityN(pages);
}
BENCHMARK(BM_ParseByPageCount)
    ->RangeMultiplier(2)
    ->Range(1, 64)
    ->Arg(100)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// The JSON reading alone, for comparison with the typical parse: the rest is the model's rules.
void BM_JsonReadTypical(benchmark::State& state)
{
    static const QByteArray bytes = document(10, 4, 1);
    for (auto _ : state) {
        QJsonDocument json = QJsonDocument::fromJson(bytes);
        benchmark::DoNotOptimize(json);
    }
}
BENCHMARK(BM_JsonReadTypical)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
