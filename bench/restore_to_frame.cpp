// How fast a restarted player shows its stored revision. A state directory holds a bound
// player's identity, a last known good revision of 20 full-canvas image pages and their objects
// in the verified cache: a picture for the first page and 16 MiB for each of the others, about
// 300 MiB in all. Each run starts a fresh process that builds the player's whole composition
// with the service unreachable, as after a power cut with the network down; a restart verifies
// every object it needs again. Against the moment that process was started it reports the first
// frame that shows the first page (the time; the start-up splash holds the glass for its first
// 3 s and fades for 0.6 s, so this cannot come sooner), when the first page was ready to go on
// glass (first_page_ready_ms: its objects verified, its primitives ready), when every page of
// the stored revision had been verified (inventory_ms), and, measured alone on a fresh cache, how
// long verifying the first page's objects and all objects takes (first_page_hash_ms,
// inventory_hash_ms): how much of each is hashing. The first page waits for its own objects
// only: first_before_inventory is 1 when it was ready before the inventory ended. After the first
// run the objects are read from the page cache. Run it with WAYLAND_DISPLAY set.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "bench/BenchmarkMain.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/ContentCache.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/WindowedPlayer.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

using namespace talvorine;
using test::ControllerAccess;
using test::FrameSampler;
using test::monotonicNs;
using test::ServedObject;

constexpr char childFlag[] = "--restore-child";
constexpr int pageCount = 20;
constexpr qint64 objectBytes = 16 * 1024 * 1024;
const QRgb firstPageColour = qRgb(0, 200, 80);

QString cacheRoot(const QString& stateDirectory)
{
    return QDir(stateDirectory).filePath(QStringLiteral("content-cache"));
}

struct Stored {
    QTemporaryDir directory;
    QList<std::pair<QString, qint64>> objects; // digest and size, one per page, in page order
};

// The bound player's state with its stored revision and every object in the cache.
bool store(Stored& stored)
{
    if (!stored.directory.isValid() || !test::prepareBoundState(stored.directory.path()))
        return false;
    ContentCache cache(cacheRoot(stored.directory.path()));
    QList<QJsonArray> pages;
    for (int i = 0; i < pageCount; ++i) {
        ServedObject object = i == 0 ? ServedObject::canvasPicture("first", firstPageColour)
                                     : ServedObject::make("page-" + QByteArray::number(i),
                                                          objectBytes, quint32(i));
        QBuffer source(&object.bytes);
        source.open(QIODevice::ReadOnly);
        if (!cache.commitVerified(source, object.sha256, object.bytes.size(), nullptr, nullptr))
            return false;
        QJsonObject primitive = test::mediaPrimitive(QStringLiteral("img%1").arg(i), {object});
        primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
        pages.append(QJsonArray{primitive});
        stored.objects.append({object.sha256, object.bytes.size()});
    }
    QJsonObject document = test::contentDocument(pages, QStringLiteral("man_restore"));
    QJsonArray list = document["pages"].toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        QJsonObject page = list[i].toObject();
        page["advance"] = QJsonObject{{"mode", "duration"}, {"afterMs", 600000}};
        list[i] = page;
    }
    document["pages"] = list;
    return PersistentState(QDir(stored.directory.path()).filePath(QStringLiteral("playback-state")))
        .saveLastKnownGood(QJsonDocument(document).toJson(), QStringLiteral("man_restore"),
                           nullptr, QString::fromLatin1(RuntimeWire::manifestRoute),
                           "\"man_restore\"");
}

// The child: the player's own start-up on the stored state, then one line "ready_ns
// first_frame_ns inventory_ns unlanded" (CLOCK_MONOTONIC, shared with the parent; -1 for what
// never came).
int runChild(int argc, char** argv, const QString& stateDirectory)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    PlayerComposition player(
        test::windowedPlayer(QUrl(QStringLiteral("http://localhost:9")), stateDirectory));
    player.build();
    QQuickWindow* window = player.windows().value(0);
    PlayerController* controller = player.controller();
    if (!window || !controller)
        return 1;
    FrameSampler sampler(window);

    qint64 firstReady = -1;
    qint64 firstPage = -1;
    qint64 inventory = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        const PlayerController::PreparedPage* candidate = ControllerAccess::candidate(*controller);
        if (firstReady < 0 && candidate && candidate->pendingAssets == 0
            && candidate->readyPrimitives.contains(candidate->requiredPrimitives))
            firstReady = monotonicNs();
        if (inventory < 0 && ControllerAccess::retainedInventoryDone(*controller))
            inventory = monotonicNs();
        for (const FrameSampler::Frame& frame : sampler.frames()) {
            if (firstPage < 0 && test::shows(frame, firstPageColour))
                firstPage = frame.atNs;
        }
        if (firstPage >= 0 && inventory >= 0)
            app.quit();
    });
    poll.start(2);
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("%lld %lld %lld %lld\n", static_cast<long long>(firstReady),
                static_cast<long long>(firstPage), static_cast<long long>(inventory),
                static_cast<long long>(ControllerAccess::unlandedPages(*controller).size()));
    return 0;
}

Stored* stored = nullptr;

// Verifying these objects on a fresh cache, as a restarted player does: milliseconds.
double verifyMs(qsizetype count)
{
    const ContentCache cache(cacheRoot(stored->directory.path()));
    const qint64 started = monotonicNs();
    for (const auto& [sha256, bytes] : stored->objects.mid(0, count)) {
        if (!cache.readyPath(sha256, bytes, nullptr))
            return -1;
    }
    return double(monotonicNs() - started) / 1e6;
}

void BM_RestoreToFrame(benchmark::State& state)
{
    double readyMs = 0;
    double inventoryMs = 0;
    double firstHashMs = 0;
    double inventoryHashMs = 0;
    double firstBefore = 0;
    int runs = 0;
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        const qint64 started = monotonicNs();
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(childFlag), stored->directory.path()});
        if (!child.waitForFinished(90000) || child.exitCode() != 0) {
            state.SkipWithError("the player did not start");
            return;
        }
        const QList<QByteArray> stamps = child.readAllStandardOutput().trimmed().split(' ');
        const qint64 ready = stamps.value(0).toLongLong();
        const qint64 first = stamps.value(1).toLongLong();
        const qint64 verified = stamps.value(2).toLongLong();
        if (stamps.size() != 4 || ready < 0 || first < 0 || verified < 0 || stamps.value(3) != "0") {
            state.SkipWithError("the stored revision did not play whole");
            return;
        }
        state.SetIterationTime(double(first - started) / 1e9);
        readyMs += double(ready - started) / 1e6;
        inventoryMs += double(verified - started) / 1e6;
        firstBefore += ready < verified;
        firstHashMs += verifyMs(1);
        inventoryHashMs += verifyMs(pageCount);
        ++runs;
    }
    if (runs == 0)
        return;
    state.counters["first_page_ready_ms"] = readyMs / runs;
    state.counters["inventory_ms"] = inventoryMs / runs;
    state.counters["first_page_hash_ms"] = firstHashMs / runs;
    state.counters["inventory_hash_ms"] = inventoryHashMs / runs;
    state.counters["first_before_inventory"] = firstBefore / runs;
}
BENCHMARK(BM_RestoreToFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], childFlag) == 0)
        return runChild(1, argv, QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    Stored shared;
    if (!store(shared)) {
        std::fprintf(stderr, "the stored revision could not be made\n");
        return 1;
    }
    stored = &shared;
    return runBenchmarks(argc, argv);
}
