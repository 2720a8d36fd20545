// Web package installation and verification: install time for a package of 5000 small files and
// for one of a few large files near the 250 MiB cap; readyEntrypoint cold (a new cache object
// hashes every file) and warm (identities remembered) beside raw libcrypto SHA-256 over the
// same bytes in memory. "read_bytes" counts what the process read per iteration (rchar of
// /proc/self/io): a warm check reads no file content while the package fits the memo of 1024
// files.
//
// The packages are built once per run (the large one takes a few seconds) in
// TALVORINE_BENCH_DIR when set, else in the system temporary directory. An installation syncs
// its file system once before the promotion, so on a disk-backed directory it includes the
// write-back.
#include "web/ApplicationPackageCache.h"

#include "tests/support/WebPackageBuilder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {

using namespace talvorine;

enum Package { SmallFiles, ThousandFiles, LargeFiles };

struct Built {
    QByteArray bytes;
    ApplicationPackageDescriptor descriptor;
    QList<QByteArray> contents;
    qint64 expandedBytes = 0;
};

QByteArray noise(qint64 size, quint64 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint64 x = seed | 1;
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(bytes.data() + i, &x, 8);
    }
    return bytes;
}

Built build(Package which)
{
    test::WebPackageBuilder builder;
    Built built;
    const auto add = [&](const QString& path, const QByteArray& data) {
        builder.file(path, data);
        built.contents.append(data);
        built.expandedBytes += data.size();
    };
    add(QStringLiteral("index.html"), QByteArrayLiteral("<!doctype html><p>bench</p>"));
    switch (which) {
    case SmallFiles: // directories are implied, so all 5000 entries are files
        for (int i = 1; i < ApplicationPackageCache::maxEntries; ++i)
            add(QStringLiteral("d%1/f%2.js").arg(i % 50).arg(i), noise(1024, quint64(i)));
        break;
    case ThousandFiles:
        for (int i = 1; i < 1000; ++i)
            add(QStringLiteral("d%1/f%2.js").arg(i % 20).arg(i), noise(4096, quint64(i)));
        break;
    case LargeFiles:
        for (int i = 0; i < 7; ++i)
            add(QStringLiteral("media/large%1.bin").arg(i),
                noise(ApplicationPackageCache::maxFileBytes, quint64(i + 11)));
        add(QStringLiteral("media/last.bin"), noise(24 * 1024 * 1024, 99));
        break;
    }
    built.bytes = builder.package();
    built.descriptor = test::descriptorOf(built.bytes);
    return built;
}

struct Fixture {
    std::unique_ptr<QTemporaryDir> dir;
    std::map<Package, Built> packages;

    Fixture()
    {
        const QByteArray base = qgetenv("TALVORINE_BENCH_DIR");
        dir = std::make_unique<QTemporaryDir>(
            (base.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(base))
            + QStringLiteral("/package-cache-XXXXXX"));
    }

    QString root() const { return dir->filePath(QStringLiteral("application-cache")); }

    const Built& package(Package which)
    {
        auto it = packages.find(which);
        if (it == packages.end())
            it = packages.emplace(which, build(which)).first;
        return it->second;
    }
};

Fixture& fixture()
{
    static Fixture instance;
    return instance;
}

qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar: "))
            return line.mid(7).toLongLong();
    }
    return 0;
}

bool ensureInstalled(ApplicationPackageCache& cache, const Built& built, benchmark::State& state)
{
    if (cache.isReady(built.descriptor))
        return true;
    QString error;
    if (test::installPackage(cache, built.bytes, built.descriptor, &error))
        return true;
    state.SkipWithError(qPrintable(QStringLiteral("install failed: ") + error));
    return false;
}

void BM_Install(benchmark::State& state)
{
    Fixture& f = fixture();
    const Built& built = f.package(Package(state.range(0)));
    ApplicationPackageCache cache(f.root());
    for (auto _ : state) {
        state.PauseTiming();
        cache.remove(built.descriptor.sha256);
        QString error;
        const std::shared_ptr<PartialDownload> partial = cache.openPartial(built.descriptor);
        if (!partial->append(built.bytes)) {
            state.SkipWithError(qPrintable(partial->error()));
            break;
        }
        state.ResumeTiming();
        if (!cache.finalizePartial(*partial, built.descriptor, &error)) {
            state.SkipWithError(qPrintable(QStringLiteral("install failed: ") + error));
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * built.expandedBytes);
    state.SetItemsProcessed(state.iterations() * built.contents.size());
}
BENCHMARK(BM_Install)
    ->ArgName("package")
    ->Arg(SmallFiles)
    ->Arg(LargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void verify(benchmark::State& state, bool warm)
{
    Fixture& f = fixture();
    const Built& built = f.package(Package(state.range(0)));
    auto cache = std::make_unique<ApplicationPackageCache>(f.root());
    if (!ensureInstalled(*cache, built, state))
        return;
    qint64 read = 0;
    for (auto _ : state) {
        if (!warm) {
            state.PauseTiming();
            cache = std::make_unique<ApplicationPackageCache>(f.root());
            state.ResumeTiming();
        }
        const qint64 before = bytesRead();
        if (!cache->readyEntrypoint(built.descriptor, false)) {
            state.SkipWithError("package did not verify");
            break;
        }
        read += bytesRead() - before;
    }
    state.SetBytesProcessed(state.iterations() * built.expandedBytes);
    state.counters["read_bytes"] =
        benchmark::Counter(double(read), benchmark::Counter::kAvgIterations);
}

void BM_ReadyEntrypointCold(benchmark::State& state)
{
    verify(state, false);
}
BENCHMARK(BM_ReadyEntrypointCold)
    ->ArgName("package")
    ->Arg(SmallFiles)
    ->Arg(ThousandFiles)
    ->Arg(LargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ReadyEntrypointWarm(benchmark::State& state)
{
    verify(state, true);
}
BENCHMARK(BM_ReadyEntrypointWarm)
    ->ArgName("package")
    ->Arg(SmallFiles)
    ->Arg(ThousandFiles)
    ->Arg(LargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same bytes hashed in memory, file by file, in the chunks the cache reads.
void BM_RawEvpSha256(benchmark::State& state)
{
    const Built& built = fixture().package(Package(state.range(0)));
    constexpr qint64 chunk = 262144;
    for (auto _ : state) {
        for (const QByteArray& content : built.contents) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_MD_CTX* ctx = EVP_MD_CTX_new();
            EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
            for (qint64 offset = 0; offset < content.size(); offset += chunk)
                EVP_DigestUpdate(ctx, content.constData() + offset,
                                 size_t(std::min(chunk, content.size() - offset)));
            EVP_DigestFinal_ex(ctx, digest, &length);
            EVP_MD_CTX_free(ctx);
            benchmark::DoNotOptimize(digest);
        }
    }
    state.SetBytesProcessed(state.iterations() * built.expandedBytes);
}
BENCHMARK(BM_RawEvpSha256)
    ->ArgName("package")
    ->Arg(SmallFiles)
    ->Arg(ThousandFiles)
    ->Arg(LargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
