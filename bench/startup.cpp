// How fast the player reaches the screen: a fresh process builds the whole composition as the
// player's main() does and reports, against the moment the benchmark started that process,
// when the window presented its first frame at all and when the first frame of the start-up
// animation on the splash was presented. Run it with WAYLAND_DISPLAY set; the goal is both
// within two seconds.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "bench/BenchmarkMain.h"
#include "controller/PlayerController.h"
#include "stage/GstVideoEngine.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace {

using namespace talvorine;

constexpr char childFlag[] = "--startup-child";

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

QQuickItem* splashPlacement(QQuickItem* item)
{
    for (QQuickItem* child : item->childItems()) {
        if (QByteArray(child->metaObject()->className()).startsWith("GstVideoPlacement"))
            return child;
        if (QQuickItem* found = splashPlacement(child))
            return found;
    }
    return nullptr;
}

// The child: the player's own start-up, then one line "first_frame_ns splash_frame_ns" (CLOCK_
// MONOTONIC, shared with the parent) once both frames were presented, or -1 for one never seen.
int runChild(int argc, char** argv, const QString& stateDirectory)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    PlayerCompositionSettings settings;
    settings.origin = QUrl(QStringLiteral("http://localhost:9"));
    settings.stateDirectory = stateDirectory;
    settings.window.windowed = true;
    settings.window.width = 1280;
    settings.window.height = 720;
    settings.locateProgram = [](const QString&) { return QString(); };
    PlayerComposition player(std::move(settings));
    player.build();
    QQuickWindow* window = player.windows().value(0);
    if (!window)
        return 1;

    std::atomic<qint64> firstFrame{-1};
    std::atomic<qint64> splashFrame{-1};
    std::atomic<bool> animationStarted{false};
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [&] {
            const qint64 now = monotonicNs();
            qint64 none = -1;
            firstFrame.compare_exchange_strong(none, now);
            none = -1;
            if (animationStarted.load())
                splashFrame.compare_exchange_strong(none, now);
        },
        Qt::DirectConnection);
    if (QQuickItem* placement = splashPlacement(window->contentItem())) {
        auto* engine = placement->property("engine").value<GstVideoEngine*>();
        QObject::connect(engine, &GstVideoEngine::started, window,
                         [&] { animationStarted.store(true); });
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (firstFrame.load() >= 0 && splashFrame.load() >= 0)
            app.quit();
    });
    poll.start(10);
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("%lld %lld\n", static_cast<long long>(firstFrame.load()),
                static_cast<long long>(splashFrame.load()));
    return 0;
}

void BM_StartupToFirstFrame(benchmark::State& state)
{
    double splashMs = 0;
    int runs = 0;
    for (auto _ : state) {
        QTemporaryDir stateDirectory;
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        const qint64 started = monotonicNs();
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(childFlag), stateDirectory.path()});
        if (!child.waitForFinished(60000) || child.exitCode() != 0) {
            state.SkipWithError("the player did not start");
            return;
        }
        const QList<QByteArray> stamps = child.readAllStandardOutput().trimmed().split(' ');
        const qint64 first = stamps.value(0).toLongLong();
        const qint64 splash = stamps.value(1).toLongLong();
        if (stamps.size() != 2 || first < 0 || splash < 0) {
            state.SkipWithError("no frame was presented");
            return;
        }
        state.SetIterationTime(double(first - started) / 1e9);
        splashMs += double(splash - started) / 1e6;
        ++runs;
    }
    state.counters["splash_frame_ms"] = runs ? splashMs / runs : 0;
}
BENCHMARK(BM_StartupToFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], childFlag) == 0)
        return runChild(1, argv, QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
