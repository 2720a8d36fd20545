// The running player over a thousand page rotations, in-process under the compositor: the
// sample service's pages (images, images one after the other in place, the colour-bar clip to
// its end, the web application that turns its own page, the ad slot with a short image or video
// ad on alternate arrivals, cross-fades and swipes), paired and downloaded as in a real run, with
// the page timers cut to 100 ms after each activation (the transitions keep their length). Every
// hundred rotations it prints resident memory beside the heap malloc has handed out and the
// freed memory it keeps, open file descriptors and threads, and the number and resident memory
// of the web engine's render processes (descendants of this process); the counters are their
// growth per hundred rotations after a warm-up of two hundred, and the slope of resident memory
// and of the heap in use over the second half of the run (a straight line fitted to its
// samples), where a plateau tells itself from steady growth: the goal is flat curves, under
// 100 KiB of resident memory per hundred rotations over the second half. Each time the clip
// comes on glass, two pages after the application left it, no render process should be alive:
// the times one was are counted. Run it with WAYLAND_DISPLAY set; TALVORINE_SOAK_ROTATIONS
// changes the number of rotations.

#include "app/PlatformEnvironment.h"
#include "bench/BenchmarkMain.h"
#include "bench/ProcessStatus.h"
#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "stage/StageLayoutModel.h"
#include "tests/support/EventWait.h"
#include "tests/support/SampleService.h"
#include "tests/support/WebEngineStart.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

using namespace talvorine;

constexpr int warmUpRotations = 200;

struct Sample {
    int rotations = 0;
    qint64 residentKib = 0;
    qint64 heapInUseKib = 0;
    qint64 heapFreeKib = 0;
    qint64 descriptors = 0;
    qint64 threads = 0;
    qint64 renderers = 0;
    qint64 rendererKib = 0;
};

// The web engine's render processes among this process's descendants. The engine forks them
// from its zygote, so they carry the zygote's command line: a render process is one started as
// "--type=renderer" or a child of the zygote that serves renderers (not the one started with
// "--no-zygote-sandbox", which serves utility processes).
QStringList renderProcesses()
{
    QMultiHash<QString, QString> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!pid.front().isDigit() || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children.insert(QString::fromLatin1(fields.at(1)), pid);
    }
    const auto commandLine = [](const QString& pid) {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QStringList renderers;
    QList<std::pair<QString, bool>> pending; // a descendant, and whether its parent is the zygote
    for (const QString& pid : children.values(QString::number(QCoreApplication::applicationPid())))
        pending.append({pid, false});
    while (!pending.isEmpty()) {
        const auto [pid, fromZygote] = pending.takeLast();
        const QByteArray arguments = commandLine(pid);
        if (fromZygote || arguments.contains("--type=renderer"))
            renderers.append(pid);
        const bool zygote =
            arguments.contains("--type=zygote") && !arguments.contains("--no-zygote-sandbox");
        for (const QString& child : children.values(pid))
            pending.append({child, zygote});
    }
    return renderers;
}

Sample sample(int rotations)
{
    const HeapStatus heap = heapStatus();
    Sample taken{rotations, processStatusValue("VmRSS"), heap.inUse / 1024, heap.free / 1024,
                 qint64(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()),
                 processStatusValue("Threads")};
    for (const QString& pid : renderProcesses()) {
        ++taken.renderers;
        taken.rendererKib += std::max<qint64>(0, processStatusValue("VmRSS", pid));
    }
    return taken;
}

// The least-squares slope of a value over the samples of the second half of the run, per
// hundred rotations.
double secondHalfSlopePer100(const QList<Sample>& samples, qint64 Sample::*value)
{
    const int half = samples.constLast().rotations / 2;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples) {
        if (s.rotations < half)
            continue;
        const double x = s.rotations / 100.0;
        const double y = double(s.*value);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double spread = n * sxx - sx * sx;
    return n > 1 && spread > 0 ? (n * sxy - sx * sy) / spread : 0;
}

int rotationsWanted()
{
    bool ok = false;
    const int wanted = qEnvironmentVariableIntValue("TALVORINE_SOAK_ROTATIONS", &ok);
    return ok && wanted > warmUpRotations ? wanted : 1000;
}

void BM_RotationSoak(benchmark::State& state)
{
    const int wanted = rotationsWanted();
    for (auto _ : state) {
        QTemporaryDir output;
        QTemporaryDir stateDirectory;
        test::SampleServiceOptions options;
        options.outputDirectory = output.path();
        options.claimDelayMs = 100;
        options.pageDwellMs = 1000;
        options.applicationShowMs = 1000;
        options.clipFrames = 30;
        options.adClipFrames = 30;
        options.screenshotIntervalMs = 3600000;
        options.revisionDelayMs = 86400000;
        test::SampleService service(options);
        QString error;
        if (!service.start(&error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }

        PlayerCompositionSettings settings;
        settings.origin = service.origin();
        settings.stateDirectory = stateDirectory.path();
        settings.window.windowed = true;
        settings.window.width = 640;
        settings.window.height = 360;
        settings.locateProgram = [](const QString&) { return QString(); };
        PlayerComposition composition(std::move(settings));
        composition.build();
        PlayerController* controller = composition.controller();
        if (!controller) {
            state.SkipWithError("the player did not build");
            return;
        }

        // Each activation moves the page to the other stage slot; once the controller has armed
        // its timers, the dwell is cut to just past the transition.
        int rotations = 0;
        int lastSlot = -1;
        int clipShowings = 0;
        int renderersLeft = 0;
        // The reader's own check: the application on glass has its render process.
        int applicationShowings = 0;
        int renderersSeen = 0;
        QObject::connect(controller, &PlayerController::activeChanged, controller, [&] {
            if (controller->activeSlot() < 0 || controller->activeSlot() == lastSlot)
                return;
            lastSlot = controller->activeSlot();
            ++rotations;
            const StageLayoutModel* onGlass = lastSlot == 0 ? controller->stageA() : controller->stageB();
            if (onGlass->pageId() == QLatin1String("clip")) {
                ++clipShowings;
                if (!renderProcesses().isEmpty())
                    ++renderersLeft;
            } else if (onGlass->pageId() == QLatin1String("lobby")) {
                ++applicationShowings;
                if (!renderProcesses().isEmpty())
                    ++renderersSeen;
            }
            QTimer::singleShot(0, controller, [controller] {
                for (const char* name : {"pageTimer", "mediaItemTimer"}) {
                    QTimer* timer = controller->timerNamed(QLatin1String(name));
                    if (timer && timer->isActive() && timer->remainingTime() > 100)
                        timer->start(100);
                }
            });
        });

        QList<Sample> samples;
        QElapsedTimer elapsed;
        elapsed.start();
        while (rotations < wanted) {
            const int next = (rotations / 100 + 1) * 100;
            if (!test::spinUntil([&] { return rotations >= next; }, 600000)) {
                state.SkipWithError("the rotation stalled for ten minutes");
                return;
            }
            samples.append(sample(rotations));
            const Sample& last = samples.constLast();
            std::fprintf(stderr,
                         "rotations %5d  rss %7lld KiB  heap %7lld KiB  free %7lld KiB  "
                         "fds %4lld  threads %3lld  renderers %lld (%7lld KiB)  left on clip %d "
                         "of %d  seen with application %d of %d  %6.1f s\n",
                         last.rotations, last.residentKib, last.heapInUseKib, last.heapFreeKib,
                         last.descriptors, last.threads,
                         last.renderers, last.rendererKib, renderersLeft, clipShowings,
                         renderersSeen, applicationShowings,
                         double(elapsed.elapsed()) / 1000.0);
        }

        const Sample* warm = nullptr;
        for (const Sample& s : samples) {
            if (!warm && s.rotations >= warmUpRotations)
                warm = &s;
        }
        const Sample& end = samples.constLast();
        const double hundreds = warm ? double(end.rotations - warm->rotations) / 100.0 : 0;
        if (hundreds > 0) {
            state.counters["rss_kib_per_100"] = double(end.residentKib - warm->residentKib) / hundreds;
            state.counters["heap_kib_per_100"] =
                double(end.heapInUseKib - warm->heapInUseKib) / hundreds;
            state.counters["fds_per_100"] = double(end.descriptors - warm->descriptors) / hundreds;
            state.counters["threads_per_100"] = double(end.threads - warm->threads) / hundreds;
            state.counters["renderers_per_100"] = double(end.renderers - warm->renderers) / hundreds;
            state.counters["renderer_kib_per_100"] =
                double(end.rendererKib - warm->rendererKib) / hundreds;
        }
        state.counters["rss_2nd_half_kib_per_100"] =
            secondHalfSlopePer100(samples, &Sample::residentKib);
        state.counters["heap_2nd_half_kib_per_100"] =
            secondHalfSlopePer100(samples, &Sample::heapInUseKib);
        state.counters["rss_mib"] = double(end.residentKib) / 1024.0;
        state.counters["heap_in_use_mib"] = double(end.heapInUseKib) / 1024.0;
        state.counters["heap_free_mib"] = double(end.heapFreeKib) / 1024.0;
        state.counters["renderers_left_on_clip"] = renderersLeft;
        state.counters["clip_showings"] = clipShowings;
        state.counters["application_showings"] = applicationShowings;
        state.counters["renderers_seen_with_application"] = renderersSeen;
        state.counters["rotations"] = end.rotations;
        state.counters["seconds"] = double(elapsed.elapsed()) / 1000.0;
    }
}
BENCHMARK(BM_RotationSoak)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    // The player's console lines of every rotation would bury the curve.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    // As the player's own start: its allocator's arenas bounded first; without the package
    // scheme and the engine's flags set before the application exists, every application page
    // fails and the rotation passes it over.
    boundAllocatorArenas();
    test::startWebEngine();
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
