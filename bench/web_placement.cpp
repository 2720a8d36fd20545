// Web placements of the stub application in a real engine, made as the stage makes them once a
// row is bound: the time to placementReady with a cold engine (the process's first placement)
// and a warm one; the GUI-thread time to parse a queue of 64 logs of 2 KiB and the time until
// all 64 are forwarded; and the resident memory of this process and its render processes over a
// hundred successive application pages, each destroyed before the next (the goal is flat after
// warm-up: profiles and render processes of pages that left glass are gone).
//
// Needs a Wayland display. Build with -DCMAKE_BUILD_TYPE=Release for meaningful numbers.
#include "bench/BenchmarkMain.h"
#include "tests/support/PlacementScene.h"
#include "web/WebPlacementChannel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace talvorine;

struct Stage {
    test::WrapperTestBench bench;
    test::PlacementScene scene;
};

// Made by the first benchmark that places, and gone before the application object: its scene
// is a window, which must not outlive the application.
std::unique_ptr<Stage> placementStage;

Stage& stage()
{
    if (!placementStage) {
        placementStage = std::make_unique<Stage>();
        QString error;
        if (!placementStage->bench.start(&error)
            || !placementStage->bench.install("ready", {}, &error)
            || !placementStage->scene.start(&error))
            qFatal("%s", qPrintable(error));
    }
    return *placementStage;
}

QJsonObject context(int serial)
{
    const QJsonObject size{{"width", 640}, {"height", 360}};
    return {{"application_id", "app-0001"}, {"release_id", "release-0001"},
            {"primitive_id", QStringLiteral("web%1").arg(serial)}, {"generation", serial},
            {"capabilities", QJsonObject{{"page.advance", true}, {"kv.read", true},
                                         {"kv.write", true}}},
            {"viewport", size}, {"primitive", size}, {"screen_id", "screen-0001"}};
}

// One page on glass: the placement made with its inputs, until it is ready.
QObject* showPage(Stage& s, int serial)
{
    QObject* web = s.scene.create(s.scene.applicationInputs(s.bench, "ready", context(serial)));
    if (!web || !s.scene.waitUntil([&] { return s.scene.count(web, "placementReady") == 1; }))
        return nullptr;
    return web;
}

// The children of a process, started by any of its threads.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> found;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks.filePath(task + QStringLiteral("/children")));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& child : children.readAll().split(' ')) {
            if (!child.trimmed().isEmpty())
                found.append(child.trimmed().toLongLong());
        }
    }
    return found;
}

// Resident kilobytes of a process and, recursively, of its children.
qint64 residentKb(qint64 pid)
{
    qint64 total = 0;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                total += line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    for (qint64 child : childrenOf(pid))
        total += residentKb(child);
    return total;
}

// The engine's processes below this one other than its two zygotes: the render processes.
int renderProcesses(qint64 pid)
{
    int count = 0;
    for (qint64 child : childrenOf(pid)) {
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(child));
        if (!command.open(QIODevice::ReadOnly) || !command.readAll().contains("--type=zygote"))
            ++count;
        count += renderProcesses(child);
    }
    return count;
}

int serial = 0;

void bindingToReady(benchmark::State& state)
{
    Stage& s = stage();
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        QObject* web = showPage(s, ++serial);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        if (!web) {
            state.SkipWithError("the placement never became ready");
            return;
        }
        s.scene.destroy(web);
    }
}

void parse64Logs(benchmark::State& state)
{
    QJsonArray logs;
    for (int i = 0; i < 64; ++i)
        logs.append(QJsonObject{{"level", "info"}, {"code", "app.note"},
                                {"message", QString(2000, QLatin1Char('x'))}});
    const QString queues = QString::fromUtf8(
        QJsonDocument(QJsonObject{{"logs", logs}, {"events", QJsonArray{}}, {"kv", QJsonArray{}}})
            .toJson(QJsonDocument::Compact));
    WebPlacementChannel channel;
    for (auto _ : state)
        benchmark::DoNotOptimize(channel.takeQueues(queues));
}

void forward64Logs(benchmark::State& state)
{
    Stage& s = stage();
    QObject* web = showPage(s, ++serial);
    if (!web) {
        state.SkipWithError("the placement never became ready");
        return;
    }
    QJsonArray messages;
    for (int i = 0; i < 64; ++i)
        messages.append(QJsonObject{{"kind", "log"},
                                    {"payload", QJsonObject{{"level", "info"}, {"code", "app.note"},
                                                            {"message", QString(2000, 'x')}}}});
    int forwarded = 0;
    int burst = 0;
    for (auto _ : state) {
        const int before = s.scene.applicationLogs(web).size();
        QElapsedTimer clock;
        clock.start();
        // The 64 logs fill the wrapper's log queue, so the stub's own report after them may
        // find no room: the logs are posted without waiting for it.
        if (!s.scene.command(web, {{"command", "send"},
                                   {"id", QStringLiteral("burst%1").arg(++burst)},
                                   {"messages", messages}})) {
            state.SkipWithError("the stub did not take the logs");
            break;
        }
        const bool all = s.scene.waitUntil(
            [&] { return s.scene.applicationLogs(web).size() >= before + 64; });
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        if (!all) {
            state.SkipWithError("the logs were not all forwarded");
            break;
        }
        forwarded += s.scene.applicationLogs(web).size() - before;
        // Once an empty command's report is back, whatever the stub reported before it has
        // left the queue too: the next burst finds it empty.
        if (!s.scene.send(web, {})) {
            state.SkipWithError("the stub did not answer");
            break;
        }
    }
    state.counters["logs_forwarded"] = forwarded;
    s.scene.destroy(web);
}

void hundredPages(benchmark::State& state)
{
    Stage& s = stage();
    const qint64 pid = QCoreApplication::applicationPid();
    for (auto _ : state) {
        qint64 warmKb = 0;
        int renderersShowing = 0;
        for (int page = 1; page <= 100; ++page) {
            QObject* web = showPage(s, ++serial);
            if (!web) {
                state.SkipWithError("the placement never became ready");
                return;
            }
            renderersShowing = std::max(renderersShowing, renderProcesses(pid));
            s.scene.destroy(web);
            if (page == 10)
                warmKb = residentKb(pid);
        }
        // Let the engine reap what the last page left.
        s.scene.waitUntil([&] { return renderProcesses(pid) == 0; }, 10000);
        state.counters["rss_after_10_mb"] = double(warmKb) / 1024;
        state.counters["rss_after_100_mb"] = double(residentKb(pid)) / 1024;
        state.counters["render_processes_left"] = renderProcesses(pid);
        state.counters["render_processes_showing"] = renderersShowing;
    }
}

BENCHMARK(bindingToReady)->Name("binding_to_ready/cold")->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(bindingToReady)->Name("binding_to_ready/warm")->Iterations(10)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(parse64Logs)->Name("parse_64_logs")->Unit(benchmark::kMicrosecond);
BENCHMARK(forward64Logs)->Name("forward_64_logs")->Iterations(10)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(hundredPages)->Name("hundred_pages")->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    const int status = runBenchmarks(argc, argv);
    placementStage.reset();
    return status;
}
