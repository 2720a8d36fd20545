// The running player over a thousand page rotations, in-process under the compositor, with the
// sample service as a program of its own: the service's pages (images, images one after the
// other in place, the colour-bar clip to its end, the web application that turns its own page,
// the ad slot with a short image or video ad on alternate arrivals, cross-fades and swipes),
// paired and downloaded as in a real run, with the page timers cut to 100 ms after each
// activation (the transitions keep their length).
//
// The heap in use swings by megabytes with what is on glass, so it is read at one point of every
// round of the pages: when the welcome page's transition has retired the page before it and the
// welcome image is alone on glass, once the script's garbage is collected and deferred deletions
// have run and after malloc_trim, beside the resident size and the freed memory malloc keeps.
// Each hundred rotations reports the median of its readings; the trend is a least-squares line
// through those medians from the end of the warm-up, with a 95% interval from its residuals
// (Student's t). The heap in use is what the player holds, whatever the allocator does; the
// resident size may also step when malloc takes more address space, which it keeps. A step (a
// hundred whose resident median is over a MiB above the one before) that the heap does not take
// is the allocator's; one the heap takes too and then holds level is something filled once, not
// growth (with a software GL driver, as here, textures live in the heap too). The lines fitted
// after the last step say whether the process still grows once that is done. The goal is flat
// lines: the heap within ±10 KiB per hundred rotations.
//
// Every hundred rotations it also counts open file descriptors and threads, and the number and
// resident memory of the web engine's render processes (descendants of this process). Each time
// the clip comes on glass, two pages after the application left it, no render process should be
// alive: the times one was are counted. Run it with WAYLAND_DISPLAY set;
// TALVORINE_SOAK_ROTATIONS changes the number of rotations.

#include "app/PlatformEnvironment.h"
#include "bench/BenchmarkMain.h"
#include "bench/ProcessStatus.h"
#include "bench/SettledHeap.h"
#include "bench/TrendFit.h"
#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "stage/StageLayoutModel.h"
#include "tests/support/EventWait.h"
#include "tests/support/WebEngineStart.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <utility>

namespace {

using namespace talvorine;
using bench::Trend;

constexpr int warmUpRotations = 200;
// A rise of the resident median from one hundred rotations to the next above this is a step.
constexpr double residentStepKib = 1024;

// What the process holds at one reading of the heap.
struct HeapReading {
    int rotations = 0;
    qint64 residentKib = 0;
    qint64 heapInUseKib = 0;
    qint64 heapFreeKib = 0;
};

// Counts read at every hundredth rotation.
struct Sample {
    int rotations = 0;
    qint64 descriptors = 0;
    qint64 threads = 0;
    qint64 renderers = 0;
    qint64 rendererKib = 0;
};

// The medians of the heap readings taken within one hundred rotations.
struct Hundred {
    int hundred = 0; // rotations / 100 at the readings
    double residentKib = 0;
    double heapInUseKib = 0;
    double heapFreeKib = 0;
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

// The sample service runs as a program of its own, so that nothing it keeps (its request log, its
// replies kept for replays, its journal) is counted in the player's heap.
class SampleServiceProcess {
public:
    explicit SampleServiceProcess(const QString& output) : output_(output) {}
    ~SampleServiceProcess()
    {
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished();
    }

    bool start(QString* error)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A soak stopped by a signal takes its service with it.
        process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process_.setStandardOutputFile(QProcess::nullDevice());
        // Page timers are cut after each activation anyway; the clips are a second long and no
        // screenshot or second revision comes within a run.
        process_.start(QStringLiteral(TALVORINE_SAMPLE_SERVICE),
                       {QStringLiteral("--output"), output_, QStringLiteral("--claim-delay-ms=100"),
                        QStringLiteral("--page-dwell-ms=1000"),
                        QStringLiteral("--application-show-ms=1000"),
                        QStringLiteral("--clip-frames=30"), QStringLiteral("--ad-clip-frames=30"),
                        QStringLiteral("--screenshot-interval-ms=3600000"),
                        QStringLiteral("--revision-delay-ms=86400000")});
        QFile originFile(QDir(output_).filePath(QStringLiteral("service-origin")));
        if (!process_.waitForStarted()
            || !test::spinUntil([&] {
                   return originFile.exists() || process_.state() == QProcess::NotRunning;
               }, 120000)
            || !originFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("the sample service did not start: %1").arg(process_.errorString());
            return false;
        }
        origin_ = QUrl(QString::fromLatin1(originFile.readAll().trimmed()));
        return true;
    }

    QUrl origin() const { return origin_; }

private:
    QString output_;
    QProcess process_;
    QUrl origin_;
};

Sample sample(int rotations)
{
    Sample taken{rotations,
                 qint64(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()),
                 processStatusValue("Threads")};
    for (const QString& pid : renderProcesses()) {
        ++taken.renderers;
        taken.rendererKib += std::max<qint64>(0, processStatusValue("VmRSS", pid));
    }
    return taken;
}

// One reading of the heap as the pages before left it, beside the resident size.
HeapReading readHeap(QQmlEngine& qml, int rotations)
{
    const HeapStatus heap = settledHeapStatus(qml);
    return {rotations, processStatusValue("VmRSS"), heap.inUse / 1024, heap.free / 1024};
}

QList<Hundred> hundreds(const QList<HeapReading>& readings)
{
    QMap<int, QList<const HeapReading*>> byHundred;
    for (const HeapReading& reading : readings)
        byHundred[reading.rotations / 100].append(&reading);
    QList<Hundred> medians;
    for (auto it = byHundred.cbegin(); it != byHundred.cend(); ++it) {
        const auto of = [&](qint64 HeapReading::*value) {
            QList<double> values;
            for (const HeapReading* reading : it.value())
                values.append(double(reading->*value));
            return bench::median(values);
        };
        medians.append({it.key(), of(&HeapReading::residentKib), of(&HeapReading::heapInUseKib),
                        of(&HeapReading::heapFreeKib)});
    }
    return medians;
}

// The line through one value's medians per hundred rotations, in KiB per hundred rotations.
Trend fitTrend(const QList<Hundred>& medians, double Hundred::*value)
{
    QList<QPointF> points;
    for (const Hundred& m : medians)
        points.append({double(m.hundred), m.*value});
    return bench::fitTrend(points);
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
        QString error;
        SampleServiceProcess service(output.path());
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

        // The transition's end retires the page before; the reading waits for the event loop's
        // next turn, past the handlers of that end.
        QList<HeapReading> readings;
        QObject::connect(controller->timerNamed("transitionEndTimer"), &QTimer::timeout, controller, [&] {
            const StageLayoutModel* onGlass =
                controller->activeSlot() == 0 ? controller->stageA() : controller->stageB();
            if (rotations >= warmUpRotations && onGlass->pageId() == QLatin1String("welcome"))
                QTimer::singleShot(0, controller, [&] {
                    readings.append(readHeap(*composition.engine(), rotations));
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
            const QList<Hundred> medians = hundreds(readings);
            const Hundred shown = medians.isEmpty() ? Hundred{} : medians.constLast();
            std::fprintf(stderr,
                         "rotations %5d  median rss %7.0f KiB  heap %7.0f KiB  free %7.0f KiB  "
                         "fds %4lld  threads %3lld  renderers %lld (%7lld KiB)  left on clip %d "
                         "of %d  seen with application %d of %d  %6.1f s\n",
                         last.rotations, shown.residentKib, shown.heapInUseKib, shown.heapFreeKib,
                         last.descriptors, last.threads, last.renderers, last.rendererKib,
                         renderersLeft, clipShowings, renderersSeen, applicationShowings,
                         double(elapsed.elapsed()) / 1000.0);
        }

        // The readings of the hundred the run ends in may be few: only whole hundreds count.
        QList<Hundred> medians = hundreds(readings);
        if (!medians.isEmpty() && medians.constLast().hundred >= wanted / 100)
            medians.removeLast();
        const Trend heap = fitTrend(medians, &Hundred::heapInUseKib);
        const Trend resident = fitTrend(medians, &Hundred::residentKib);
        int steps = 0;
        qsizetype lastStep = 0;
        for (qsizetype i = 1; i < medians.size(); ++i) {
            if (medians.at(i).residentKib - medians.at(i - 1).residentKib > residentStepKib) {
                ++steps;
                lastStep = i;
            }
        }
        const Trend afterStep = fitTrend(medians.mid(lastStep), &Hundred::residentKib);
        const Trend heapAfterStep = fitTrend(medians.mid(lastStep), &Hundred::heapInUseKib);
        std::fprintf(stderr, "rotations  median rss KiB  heap KiB  free KiB  (readings with the "
                             "welcome page alone on glass, after malloc_trim)\n");
        for (const Hundred& m : medians)
            std::fprintf(stderr, "%5d-%-5d  %12.0f  %8.0f  %8.0f\n", m.hundred * 100,
                         m.hundred * 100 + 99, m.residentKib, m.heapInUseKib, m.heapFreeKib);
        std::fprintf(stderr,
                     "heap in use %+.1f ± %.1f KiB per 100 rotations; resident %+.1f ± %.1f; "
                     "%d resident steps, after the last (from rotation %d, %d hundreds) "
                     "resident %+.1f ± %.1f, heap in use %+.1f ± %.1f\n",
                     heap.slope, heap.margin, resident.slope, resident.margin, steps,
                     medians.isEmpty() ? 0 : medians.at(lastStep).hundred * 100, afterStep.points,
                     afterStep.slope, afterStep.margin, heapAfterStep.slope, heapAfterStep.margin);

        const Sample* warm = nullptr;
        for (const Sample& s : samples) {
            if (!warm && s.rotations >= warmUpRotations)
                warm = &s;
        }
        const Sample& end = samples.constLast();
        const double hundredsRun = warm ? double(end.rotations - warm->rotations) / 100.0 : 0;
        if (hundredsRun > 0) {
            state.counters["fds_per_100"] = double(end.descriptors - warm->descriptors) / hundredsRun;
            state.counters["threads_per_100"] = double(end.threads - warm->threads) / hundredsRun;
            state.counters["renderers_per_100"] = double(end.renderers - warm->renderers) / hundredsRun;
            state.counters["renderer_kib_per_100"] =
                double(end.rendererKib - warm->rendererKib) / hundredsRun;
        }
        state.counters["heap_kib_per_100"] = heap.slope;
        state.counters["heap_kib_per_100_95"] = heap.margin;
        state.counters["rss_kib_per_100"] = resident.slope;
        state.counters["rss_kib_per_100_95"] = resident.margin;
        state.counters["rss_steps"] = steps;
        state.counters["rss_after_step_kib_per_100"] = afterStep.slope;
        state.counters["rss_after_step_kib_per_100_95"] = afterStep.margin;
        state.counters["heap_after_step_kib_per_100"] = heapAfterStep.slope;
        state.counters["heap_after_step_kib_per_100_95"] = heapAfterStep.margin;
        state.counters["hundreds_fitted"] = heap.points;
        state.counters["readings"] = double(readings.size());
        if (!medians.isEmpty()) {
            state.counters["rss_mib"] = medians.constLast().residentKib / 1024.0;
            state.counters["heap_in_use_mib"] = medians.constLast().heapInUseKib / 1024.0;
            state.counters["heap_free_mib"] = medians.constLast().heapFreeKib / 1024.0;
        }
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
