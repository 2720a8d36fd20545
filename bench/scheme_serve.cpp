// Package files served through the scheme handler into a real web engine: a few large files and
// a thousand small ones, loaded at once by the package's own page, cold (a new cache object, so
// every file is hashed) and warm (identities remembered), beside a raw read with EVP SHA-256 of
// the same bytes. "gui_us_per_request" is the GUI-thread time of the handler per request (the
// origin check with its queue submission, and the reply), which the scene shares.
//
// Needs a Wayland display (the engine renders into a window). Build with
// -DCMAKE_BUILD_TYPE=Release for meaningful numbers; TALVORINE_BENCH_DIR chooses where the
// package cache is written (default: the system temporary directory).
#include "bench/BenchmarkMain.h"
#include "storage/ContentCache.h"
#include "tests/support/WebEngineHarness.h"
#include "web/ApplicationPackageCache.h"
#include "web/WebPackageSchemeCoordinator.h"
#include "web/WebPackageSchemeHandler.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QQuickWebEngineProfile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace talvorine;

enum FileSet { LargeFiles, SmallFiles };

// The handler's own GUI-thread time: the origin check and submission, and the replies, which
// arrive as queued calls to the queue's bare carrier objects.
qint64 guiHandlerNs = 0;

class TimedApplication : public QGuiApplication {
public:
    using QGuiApplication::QGuiApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (event->type() != QEvent::MetaCall
            || receiver->metaObject() != &QObject::staticMetaObject)
            return QGuiApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool handled = QGuiApplication::notify(receiver, event);
        guiHandlerNs += timer.nsecsElapsed();
        return handled;
    }
};

class TimedHandler : public packagescheme::Handler {
public:
    using Handler::Handler;
    void requestStarted(QWebEngineUrlRequestJob* job) override
    {
        QElapsedTimer timer;
        timer.start();
        Handler::requestStarted(job);
        guiHandlerNs += timer.nsecsElapsed();
    }
};

struct Served {
    QTemporaryDir dir{(qEnvironmentVariableIsSet("TALVORINE_BENCH_DIR")
                           ? qEnvironmentVariable("TALVORINE_BENCH_DIR")
                           : QDir::tempPath())
                      + QStringLiteral("/scheme-serve-XXXXXX")};
    // The same package under two roots: switching roots gives the handler a new, cold cache.
    QString roots[2];
    int root = 0;
    QString sha256;
    QString tree;
    QStringList paths[2];
    qint64 bytes[2] = {0, 0};
    WebPackageSchemeCoordinator coordinator;
    std::unique_ptr<test::EngineView> view;
    TimedHandler* handler = nullptr;
    int serial = 0;

    bool setUp()
    {
        QMap<QString, QByteArray> files = test::probePackageFiles();
        for (int i = 0; i < 4; ++i) {
            const QString path = QStringLiteral("large/f%1.txt").arg(i);
            files.insert(path, QByteArray(16 * 1024 * 1024, char('a' + i)));
            paths[LargeFiles].append(path);
            bytes[LargeFiles] += 16 * 1024 * 1024;
        }
        for (int i = 0; i < 1000; ++i) {
            const QString path = QStringLiteral("small/d%1/f%2.js").arg(i % 20).arg(i);
            files.insert(path, QByteArray(4096, char(i)));
            paths[SmallFiles].append(path);
            bytes[SmallFiles] += 4096;
        }
        for (int i = 0; i < 2; ++i) {
            roots[i] = dir.filePath(QStringLiteral("cache%1").arg(i));
            ApplicationPackageCache cache(roots[i]);
            const auto installed = test::installProbePackage(cache, files);
            if (!installed)
                return false;
            sha256 = installed->descriptor.sha256;
            tree = installed->tree;
        }
        view = std::make_unique<test::EngineView>();
        handler = new TimedHandler(view->profile());
        view->profile()->installUrlSchemeHandler("talvorine-app", handler);
        coordinator.configure(view->profile(), roots[0], sha256, QString(), true);
        if (!view->load(test::standInWrapperUrl()))
            return false;
        view->evaluate(QStringLiteral("frame('%1')")
                           .arg(WebPackageScheme::entryUrl(sha256, QStringLiteral("index.html"))
                                    .toString()));
        return !view->waitForResult(QStringLiteral("loaded")).isEmpty();
    }

    void switchRoot()
    {
        root = 1 - root;
        handler->select(roots[root], sha256);
    }

    qint64 loadAll(FileSet set)
    {
        const QString id = QStringLiteral("load%1").arg(++serial);
        view->evaluate(test::askScript(0, {{"op", "loadAll"},
                                           {"id", id},
                                           {"paths", QJsonArray::fromStringList(paths[set])}}));
        const QJsonObject done = view->waitForResult(id);
        return done.value("failed").toInt(1) == 0 ? qint64(done.value("bytes").toDouble()) : -1;
    }
};

// Made by the first benchmark that serves, and gone before the application object: its view
// is a window, which must not outlive the application.
std::unique_ptr<Served> servedPackage;

Served& served()
{
    if (!servedPackage) {
        servedPackage = std::make_unique<Served>();
        if (!servedPackage->setUp())
            qFatal("the served package could not be set up");
    }
    return *servedPackage;
}

void serve(benchmark::State& state, FileSet set, bool cold)
{
    Served& s = served();
    if (!cold && s.loadAll(set) < 0) // remember every identity first
        state.SkipWithError("a file was not served");
    qint64 requests = 0;
    guiHandlerNs = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            s.switchRoot();
            state.ResumeTiming();
        }
        if (s.loadAll(set) != s.bytes[set]) {
            state.SkipWithError("a file was not served");
            break;
        }
        requests += s.paths[set].size();
    }
    state.SetBytesProcessed(state.iterations() * s.bytes[set]);
    state.counters["requests_per_s"] = benchmark::Counter(double(requests), benchmark::Counter::kIsRate);
    state.counters["gui_us_per_request"] =
        requests ? double(guiHandlerNs) / 1000.0 / double(requests) : 0;
}

void rawRead(benchmark::State& state, FileSet set)
{
    Served& s = served();
    for (auto _ : state) {
        for (const QString& path : s.paths[set]) {
            QFile file(s.tree + u'/' + path);
            if (!file.open(QIODevice::ReadOnly) || !fileDigest(file, nullptr)) {
                state.SkipWithError("a file could not be read");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * s.bytes[set]);
}

BENCHMARK_CAPTURE(serve, large_cold, LargeFiles, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(serve, large_warm, LargeFiles, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(rawRead, large_sha256, LargeFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(serve, small_cold, SmallFiles, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(serve, small_warm, SmallFiles, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(rawRead, small_sha256, SmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    test::startWebEngine();
    TimedApplication app(argc, argv);
    const int status = runBenchmarks(argc, argv);
    servedPackage.reset();
    return status;
}
