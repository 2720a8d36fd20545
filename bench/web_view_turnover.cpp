// What the web engine itself keeps of a view once it is gone, apart from the player: plain views
// and profiles made, given a small page and destroyed one after the other, as the stage does
// with each showing of a web page. The heap in use is read every 25 views after a warm-up, once
// the script's garbage is collected, deferred deletions have run and after malloc_trim, and the
// line through the readings gives the heap kept per view, with a 95% interval.
//
// The rows tell the profile from the view: a profile alone, a view never given a page (no render
// process), a view with its own off-the-record profile as a placement has, views sharing one
// profile, and one view kept and given the next page each time. Needs a Wayland display;
// TALVORINE_TURNOVER_VIEWS changes the number of views per row.

#include "bench/BenchmarkMain.h"
#include "bench/SettledHeap.h"
#include "bench/TrendFit.h"
#include "tests/support/EventWait.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QtWebEngineQuick>

namespace {

using namespace talvorine;

constexpr int warmUpViews = 100;
constexpr int viewsPerReading = 25;

enum class Turnover { ProfileOnly, ViewNeverLoaded, ViewOwnProfile, ViewSharedProfile, ViewKept };

// The placement's profile settings, a view and the scene that turns them over; `turn(mode)`
// makes one showing and `retire()` ends it. `loads` counts pages loaded.
constexpr char scene[] = R"(
import QtQuick
import QtWebEngine
Window {
    id: window
    width: 320; height: 180; visible: true
    property int loads: 0
    property int serial: 0
    property Item showing: null
    property Item kept: null
    property WebEngineProfile shared: WebEngineProfile {
        offTheRecord: true; httpCacheType: WebEngineProfile.MemoryHttpCache
    }
    Component {
        id: holder
        Item {
            anchors.fill: parent
            readonly property alias profile: own
            WebEngineProfile {
                id: own
                offTheRecord: true
                httpCacheType: WebEngineProfile.MemoryHttpCache
                httpCacheMaximumSize: 64 * 1024 * 1024
                persistentCookiesPolicy: WebEngineProfile.NoPersistentCookies
            }
        }
    }
    Component {
        id: view
        WebEngineView {
            anchors.fill: parent
            onLoadingChanged: request => {
                if (request.status === WebEngineView.LoadSucceededStatus)
                    window.loads++
            }
        }
    }
    function page() { return "data:text/html,<p>page " + (++serial) + "</p>" }
    // 0 profile only, 1 view never loaded, 2 own profile, 3 shared profile, 4 one view kept
    function turn(mode) {
        if (mode === 4) {
            if (!kept)
                kept = view.createObject(window.contentItem, {profile: shared})
            kept.url = page()
            return
        }
        showing = holder.createObject(window.contentItem)
        if (mode === 0)
            return
        const made = view.createObject(showing, {profile: mode === 2 ? showing.profile : shared})
        if (mode !== 1)
            made.url = page()
    }
    function retire() {
        if (showing)
            showing.destroy()
        showing = null
    }
}
)";

int viewsWanted()
{
    bool ok = false;
    const int wanted = qEnvironmentVariableIntValue("TALVORINE_TURNOVER_VIEWS", &ok);
    return ok && wanted >= warmUpViews + 3 * viewsPerReading ? wanted : 600;
}

void turnover(benchmark::State& state, Turnover mode)
{
    const bool loads = mode != Turnover::ProfileOnly && mode != Turnover::ViewNeverLoaded;
    for (auto _ : state) {
        QQmlApplicationEngine engine;
        engine.loadData(scene);
        QObject* window = engine.rootObjects().value(0);
        if (!window) {
            state.SkipWithError("the scene did not load");
            return;
        }
        QList<QPointF> readings;
        const int wanted = viewsWanted();
        for (int made = 1; made <= wanted; ++made) {
            const int loaded = window->property("loads").toInt();
            QMetaObject::invokeMethod(window, "turn", Q_ARG(QVariant, int(mode)));
            if (!loads) {
                // Given the time a page takes, so that the engine's side of it is made.
                test::spinUntil([] { return false; }, 50);
            } else if (!test::spinUntil([&] { return window->property("loads").toInt() > loaded; },
                                        60000)) {
                state.SkipWithError("a page did not load within a minute");
                return;
            }
            QMetaObject::invokeMethod(window, "retire");
            // The engine takes a view down over a few turns of its threads; a page on glass
            // stays far longer than this.
            test::spinUntil([] { return false; }, 50);
            if (made < warmUpViews || made % viewsPerReading != 0)
                continue;
            // The first collection after the warm-up frees what the warm-up left in a heap: it
            // starts the line but is not on it.
            const qint64 heap = settledHeapStatus(engine).inUse / 1024;
            if (made > warmUpViews)
                readings.append({double(made) / 100, double(heap)});
        }
        const bench::Trend kept = bench::fitTrend(readings);
        state.counters["heap_kib_per_view"] = kept.slope / 100;
        state.counters["heap_kib_per_view_95"] = kept.margin / 100;
        state.counters["views"] = wanted;
    }
}

BENCHMARK_CAPTURE(turnover, profile_only, Turnover::ProfileOnly)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(turnover, view_never_loaded, Turnover::ViewNeverLoaded)
    ->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(turnover, view_own_profile, Turnover::ViewOwnProfile)
    ->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(turnover, view_shared_profile, Turnover::ViewSharedProfile)
    ->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(turnover, view_kept, Turnover::ViewKept)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    QtWebEngineQuick::initialize();
    QGuiApplication app(argc, argv);
    return runBenchmarks(argc, argv);
}
