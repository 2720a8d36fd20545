// The running player over a thousand page rotations, in-process under the compositor: the
// sample service's pages (images, images one after the other in place, the colour-bar clip to
// its end, cross-fades and swipes), paired and downloaded as in a real run, with the page timers
// cut to 100 ms after each activation (the transitions keep their length). Every hundred rotations it prints resident memory, open file
// descriptors and threads; the counters are their growth per hundred rotations after a warm-up
// of two hundred, and the goal is flat curves (no growth). Run it with WAYLAND_DISPLAY set;
// TALVORINE_SOAK_ROTATIONS changes the number of rotations.

#include "app/PlatformEnvironment.h"
#include "bench/ProcessStatus.h"
#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "tests/support/SampleService.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

using namespace talvorine;

constexpr int warmUpRotations = 200;

struct Sample {
    int rotations = 0;
    qint64 residentKib = 0;
    qint64 descriptors = 0;
    qint64 threads = 0;
};

Sample sample(int rotations)
{
    return {rotations, processStatusValue("VmRSS"),
            qint64(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()),
            processStatusValue("Threads")};
}

bool spinUntil(const std::function<bool()>& done, qint64 timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
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
        QObject::connect(controller, &PlayerController::activeChanged, controller, [&] {
            if (controller->activeSlot() < 0 || controller->activeSlot() == lastSlot)
                return;
            lastSlot = controller->activeSlot();
            ++rotations;
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
            if (!spinUntil([&] { return rotations >= next; }, 600000)) {
                state.SkipWithError("the rotation stalled for ten minutes");
                return;
            }
            samples.append(sample(rotations));
            const Sample& last = samples.constLast();
            std::fprintf(stderr, "rotations %5d  rss %7lld KiB  fds %4lld  threads %3lld  %6.1f s\n",
                         last.rotations, last.residentKib, last.descriptors, last.threads,
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
            state.counters["fds_per_100"] = double(end.descriptors - warm->descriptors) / hundreds;
            state.counters["threads_per_100"] = double(end.threads - warm->threads) / hundreds;
        }
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
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
