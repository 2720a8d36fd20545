// Cost of the runtime client's per-chunk and per-failure work: parsing the event streams as
// their bytes arrive, and deciding what a failed reply asks for.
#include "runtime/RuntimeCompat.h"
#include "runtime/SseParser.h"

#include <QDateTime>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

QByteArray typicalStream()
{
    const QByteArray event =
        "event: screen.manifest_changed\nid: 1234567\ndata: {\"type\":\"screen.manifest_changed\","
        "\"details\":{\"revision\":\"man_0123456789abcdef\"}}\n\n: ping\n\n";
    return event.repeated(200);
}

// A stream arriving in network-sized chunks.
void BM_SseChunks(benchmark::State& state)
{
    const QByteArray stream = typicalStream();
    const qsizetype chunk = qsizetype(state.range(0));
    for (auto _ : state) {
        SseParser parser;
        qsizetype events = 0;
        for (qsizetype at = 0; at < stream.size(); at += chunk)
            events += parser.push(stream.mid(at, chunk)).size();
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
}
BENCHMARK(BM_SseChunks)->Arg(1)->Arg(1400)->Arg(65536);

// Many short lines in one chunk must cost linear, not quadratic, time.
void BM_SseManyLinesInOneChunk(benchmark::State& state)
{
    const QByteArray stream = QByteArray("data: x\n").repeated(state.range(0)) + "\n";
    for (auto _ : state) {
        SseParser parser;
        benchmark::DoNotOptimize(parser.push(stream));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SseManyLinesInOneChunk)->RangeMultiplier(4)->Range(256, 8192)->Complexity();

// A long line trickling in one byte at a time (a slow or hostile server) must cost linear time:
// the pending part is not searched again for every byte.
void BM_SseLongLineByteByByte(benchmark::State& state)
{
    const QByteArray line = "data: " + QByteArray(state.range(0), 'x') + "\n\n";
    for (auto _ : state) {
        SseParser parser;
        qsizetype events = 0;
        for (const char byte : line)
            events += parser.push(QByteArray(1, byte)).size();
        benchmark::DoNotOptimize(events);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SseLongLineByteByByte)->RangeMultiplier(4)->Range(1024, 65536)->Complexity();

void BM_DecideProblem(benchmark::State& state)
{
    const QByteArray body =
        R"({"code":"runtime_session_expired","retry_after_ms":2500,"player_kind":"qt"})";
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto _ : state) {
        benchmark::DoNotOptimize(RuntimeCompat::decideProblem(
            401, body, "Tue, 10 Mar 2026 12:00:30 GMT", "Tue, 10 Mar 2026 12:00:00 GMT",
            RuntimeCompat::MintKind::Manifest, now));
    }
}
BENCHMARK(BM_DecideProblem);

} // namespace

BENCHMARK_MAIN();
