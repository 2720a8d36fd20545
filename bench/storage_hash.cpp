// Throughput of content hashing: a verified commit, a cold verified look-up and raw libcrypto
// SHA-256 over the same 256 MiB object, plus the memo hit of a repeated look-up.
//
// The object lives in TALVORINE_BENCH_DIR when set, else in the system temporary directory;
// it is written once and read back before timing so that it sits in the page cache. A commit
// also fsyncs the object, so on a disk-backed directory it includes the write-back.
#include "storage/ContentCache.h"
#include "storage/StorageFiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace talvorine;

constexpr qint64 objectBytes = 256LL * 1024 * 1024;

struct Fixture {
    std::unique_ptr<QTemporaryDir> dir;
    QByteArray bytes;
    QString sha256;
    QString sourcePath;
    QString cacheRoot;

    Fixture()
    {
        const QByteArray base = qgetenv("TALVORINE_BENCH_DIR");
        dir = std::make_unique<QTemporaryDir>(
            (base.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(base))
            + QStringLiteral("/storage-hash-XXXXXX"));
        bytes.resize(objectBytes);
        quint64 x = 0x9e3779b97f4a7c15ULL;
        for (qint64 i = 0; i < objectBytes; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(bytes.data() + i, &x, 8);
        }
        sha256 = StorageFiles::sha256Hex(bytes).value_or(QString());
        sourcePath = dir->filePath(QStringLiteral("source"));
        QFile source(sourcePath);
        if (source.open(QIODevice::WriteOnly))
            source.write(bytes);
        cacheRoot = dir->filePath(QStringLiteral("content-cache"));
    }
};

Fixture& fixture()
{
    static Fixture instance;
    return instance;
}

void commitOnce(ContentCache& cache, benchmark::State& state)
{
    Fixture& f = fixture();
    QFile source(f.sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        state.SkipWithError("source cannot be opened");
        return;
    }
    QString error;
    if (!cache.commitVerified(source, f.sha256, objectBytes, &error, nullptr))
        state.SkipWithError(qPrintable(QStringLiteral("commit failed: ") + error));
}

void BM_RawEvpSha256(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        for (qint64 offset = 0; offset < objectBytes; offset += ContentCache::chunkBytes)
            EVP_DigestUpdate(ctx, f.bytes.constData() + offset, size_t(ContentCache::chunkBytes));
        EVP_DigestFinal_ex(ctx, digest, &length);
        EVP_MD_CTX_free(ctx);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * objectBytes);
}
BENCHMARK(BM_RawEvpSha256)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommitVerified(benchmark::State& state)
{
    Fixture& f = fixture();
    ContentCache cache(f.cacheRoot);
    // Warm the source into the page cache.
    commitOnce(cache, state);
    for (auto _ : state) {
        state.PauseTiming();
        cache.remove(f.sha256);
        state.ResumeTiming();
        commitOnce(cache, state);
    }
    state.SetBytesProcessed(state.iterations() * objectBytes);
}
BENCHMARK(BM_CommitVerified)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadyPathCold(benchmark::State& state)
{
    Fixture& f = fixture();
    {
        ContentCache cache(f.cacheRoot);
        commitOnce(cache, state);
    }
    for (auto _ : state) {
        // A new cache object remembers nothing, so every look-up hashes the whole object.
        ContentCache cold(f.cacheRoot);
        if (!cold.readyPath(f.sha256, objectBytes, nullptr))
            state.SkipWithError("object not ready");
    }
    state.SetBytesProcessed(state.iterations() * objectBytes);
}
BENCHMARK(BM_ReadyPathCold)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadyPathRepeated(benchmark::State& state)
{
    Fixture& f = fixture();
    ContentCache cache(f.cacheRoot);
    commitOnce(cache, state);
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.readyPath(f.sha256, objectBytes, nullptr));
}
BENCHMARK(BM_ReadyPathRepeated)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
