// Peak resident memory of taking in a manifest as large as the transport admits, per byte of
// manifest, for the shapes that cost most to build: bare pages, pages of bare primitives, one
// long string; for a start from such a document kept as the last known good (the envelope
// read back, then parsed); and for the refusal of bare pages broken only in their last bytes. Each benchmark resets the process's high-water mark first, so its
// "peak_bytes_per_byte" is what that one intake added on top of what was resident before.

#include "bench/ProcessStatus.h"
#include "manifest/Manifest.h"
#include "storage/PersistentState.h"

#include <QTemporaryDir>
#include <QUrl>

#include <benchmark/benchmark.h>

#include <functional>

#include <malloc.h>

namespace {

using namespace talvorine;

const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));
constexpr qsizetype transportCap = 32 * 1024 * 1024;

// One page the rules accept, so that every shape is a manifest the player would keep.
const QByteArray keptPage =
    R"({"contractVersion":"talvorine.canvas/v1","id":"kept","canvas":{"width":1920,"height":1080,)"
    R"("viewportFit":"contain"},"transition":{"type":"cut","durationMs":0},)"
    R"("advance":{"mode":"duration","afterMs":10000},"primitives":[{"id":"f","primitive":"iframe",)"
    R"("rect":{"x":0,"y":0,"width":1920,"height":1080},"layer":1,"contentFit":"fill",)"
    R"("src":"https://example.com/board","title":"Board"}]})";

QByteArray top(const QByteArray& label, const QByteArray& pages)
{
    return R"({"schemaVersion":3,"manifestRevision":"rev-1","grantId":"grant-1",)"
           R"("contentGeneration":1,"screenId":"screen-1","screenLabel":")"
           + label + R"(","playlistRevision":1,"generatedAt":"2026-12-07T08:00:00Z","pages":[)" + keptPage
           + pages + "]}";
}

// Entries appended to the kept page until the document reaches the transport's cap, short of
// the bytes reserved.
QByteArray filled(const std::function<QByteArray(int)>& entry, qsizetype reserved = 0)
{
    QByteArray pages;
    const qsizetype room = transportCap - top({}, {}).size() - reserved;
    for (int i = 0;; ++i) {
        const QByteArray next = ',' + entry(i);
        if (pages.size() + next.size() > room)
            return top({}, pages);
        pages += next;
    }
}

QByteArray barePages(qsizetype reserved = 0)
{
    return filled([](int i) { return R"({"id":"p)" + QByteArray::number(i) + R"("})"; }, reserved);
}

// Bare pages to the cap whose closing brace gives way to a broken end.
QByteArray barePagesEndingIn(const QByteArray& end)
{
    return barePages(end.size()).chopped(1) + end;
}

QByteArray barePrimitives()
{
    const QByteArray primitives = '[' + QByteArray(R"({"id":"a"},)").repeated(30000) + "{}]";
    return filled([&](int i) {
        return R"({"id":"q)" + QByteArray::number(i) + R"(","primitives":)" + primitives + '}';
    });
}

QByteArray longLabel()
{
    return top(QByteArray(transportCap - top({}, {}).size() - 1024, 'l'), {});
}

// Resident memory now, after the high-water mark is brought down to it. Freed memory the
// allocator still holds would be reused unseen: it goes back first.
qint64 resetPeakKiB()
{
    ::malloc_trim(0);
    resetPeakResident();
    return processStatusValue("VmRSS");
}

void reportPeak(benchmark::State& state, qint64 baseKiB, qint64 bytes)
{
    const qint64 peak = (processStatusValue("VmHWM") - baseKiB) * 1024;
    state.counters["document_MiB"] = double(bytes) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = double(peak) / (1024.0 * 1024.0);
    state.counters["peak_bytes_per_byte"] = double(peak) / double(bytes);
}

bool keptOnePage(const ManifestParseResult& result)
{
    const auto* manifest = std::get_if<Manifest>(&result);
    return manifest && manifest->pages.size() == 1;
}

bool refusedAsNotJson(const ManifestParseResult& result)
{
    const auto* error = std::get_if<ManifestError>(&result);
    return error && error->code == QLatin1String("manifest_json_invalid");
}

void parsePeak(benchmark::State& state, const QByteArray& bytes, bool kept = true)
{
    qint64 base = 0;
    for (auto _ : state) {
        base = resetPeakKiB();
        const ManifestParseResult result = ManifestParser::parse(bytes, origin, 3);
        if (kept ? !keptOnePage(result) : !refusedAsNotJson(result)) {
            state.SkipWithError(kept ? "the document was not kept as a manifest of one page"
                                     : "the document was not refused as not JSON");
            return;
        }
    }
    reportPeak(state, base, bytes.size());
}

void BM_PeakBarePages(benchmark::State& state) { parsePeak(state, barePages()); }
void BM_PeakBarePrimitives(benchmark::State& state) { parsePeak(state, barePrimitives()); }
void BM_PeakLongString(benchmark::State& state) { parsePeak(state, longLabel()); }

// Refusals: the same bare pages broken only in their last bytes.
void BM_PeakUnclosedStringAtTheEnd(benchmark::State& state)
{
    parsePeak(state, barePagesEndingIn(R"(,"tail":"open)"), false);
}
void BM_PeakBracketTooManyAtTheEnd(benchmark::State& state)
{
    parsePeak(state, barePagesEndingIn("}]"), false);
}
void BM_PeakNestedPastTheLimitAtTheEnd(benchmark::State& state)
{
    parsePeak(state, barePagesEndingIn(R"(,"tail":)" + QByteArray(1100, '[') + QByteArray(1100, ']') + '}'), false);
}

// A start without the service: the last known good read back and parsed before the first page.
void BM_PeakStartFromLastKnownGood(benchmark::State& state)
{
    QTemporaryDir directory;
    const QByteArray bytes = barePages();
    const PersistentState saved(directory.path());
    if (!saved.saveLastKnownGood(bytes, QStringLiteral("rev-1"))) {
        state.SkipWithError("the last known good could not be saved");
        return;
    }
    qint64 base = 0;
    for (auto _ : state) {
        base = resetPeakKiB();
        const std::optional<QByteArray> body = PersistentState(directory.path()).loadLastKnownGood();
        if (!body || !keptOnePage(ManifestParser::parse(*body, origin, 3))) {
            state.SkipWithError("the last known good was not kept as a manifest of one page");
            return;
        }
    }
    reportPeak(state, base, bytes.size());
}

} // namespace

BENCHMARK(BM_PeakBarePages)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakBarePrimitives)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakLongString)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakStartFromLastKnownGood)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakUnclosedStringAtTheEnd)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakBracketTooManyAtTheEnd)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakNestedPastTheLimitAtTheEnd)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
