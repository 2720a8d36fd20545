// What a page swap looks like on glass: the real controller and its real scene swap between
// two pages of solid, distinct images (red and blue, in the verified cache) with a cut, a
// cross-fade and a swipe, each page put on glass by the readiness gate once the scene has
// reported it ready. After every frame the render thread reads a few pixels across the stage
// and sorts each frame: the outgoing page, the incoming page, a blend of the two, or neither (an
// empty or ground-coloured stage). It reports, per transition, the frames of neither page (the
// goal is none) and the time from activation to the first frame that shows the incoming page.
// Run it with WAYLAND_DISPLAY set.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "bench/BenchmarkMain.h"
#include "controller/PlayerController.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/SceneWindow.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QQuickWindow>


namespace {

using namespace talvorine;
using test::ControllerAccess;

using test::FrameSampler;
using test::monotonicNs;

// Runs the event loop until done holds or 10 s passed.
bool spinUntil(const std::function<bool()>& done)
{
    return test::spinUntil(done, 10000);
}

struct Player {
    std::unique_ptr<test::ControllerHarness> harness;
    std::unique_ptr<test::SceneWindow> scene;
    std::unique_ptr<FrameSampler> sampler;
    QByteArray red = test::ServedObject::picture("red", Qt::red).bytes;
    QByteArray blue = test::ServedObject::picture("blue", Qt::blue).bytes;
    int shown = 0; // the page on glass: 0 red, 1 blue
};

Player* player = nullptr;

// Two pages, red and blue, each an image over the whole canvas, with this transition.
Manifest swapManifest(const QString& type, int durationMs)
{
    Manifest manifest = test::imagePagesManifest(QStringLiteral("man_swap"), {"r", "b"}, [](char c) {
        const QByteArray& bytes = c == 'r' ? player->red : player->blue;
        return std::pair<QString, qint64>(test::FakeRuntimeService::sha256Hex(bytes), bytes.size());
    });
    for (Page& page : manifest.pages) {
        page.transition = {{"type", type}, {"durationMs", durationMs}};
        page.primitives[0].rect = QRectF(0, 0, 1920, 1080);
    }
    return manifest;
}

// Prepares the page on the idle slot and lets the scene's readiness reports put it on glass;
// the moment of activation, or -1 when the page never got there.
qint64 swapTo(const Manifest& manifest, int page)
{
    PlayerController& c = player->harness->controller();
    qint64 activatedNs = -1;
    const QMetaObject::Connection activated = QObject::connect(
        &c, &PlayerController::activeChanged, &c, [&] { activatedNs = monotonicNs(); });
    ControllerAccess::preparePage(c, manifest, page, false);
    spinUntil([&] { return activatedNs >= 0; });
    QObject::disconnect(activated);
    return activatedNs;
}

void BM_PageSwap(benchmark::State& state, const char* type, int durationMs)
{
    const Manifest manifest = swapManifest(QLatin1String(type), durationMs);
    double neither = 0;
    double toIncomingMs = 0;
    int swaps = 0;
    int missed = 0;
    for (auto _ : state) {
        const int incoming = player->shown == 1 ? 0 : 1;
        player->sampler->clear();
        const qint64 startNs = swapTo(manifest, incoming);
        if (startNs < 0) {
            state.SkipWithError("the scene never showed the incoming page");
            return;
        }
        player->shown = incoming;
        // The swap is over once the controller retired the outgoing page and a frame after
        // that shows the incoming page alone.
        PlayerController& c = player->harness->controller();
        const QRgb red = qRgb(255, 0, 0), blue = qRgb(0, 0, 255);
        test::SwapWatch watch(incoming == 1 ? red : blue, incoming == 1 ? blue : red, startNs);
        spinUntil([&] { return watch.update(player->sampler->frames()) && c.objectEnterArmed(); });
        const int neitherFrames = watch.neitherFrames();
        const qint64 firstIncomingNs = watch.firstIncomingNs();
        neither += neitherFrames;
        // A swap whose incoming page never reached a frame within 10 s counts apart.
        if (firstIncomingNs < 0)
            ++missed;
        else
            toIncomingMs += double(firstIncomingNs - startNs) / 1e6;
        state.SetIterationTime(double(monotonicNs() - startNs) / 1e9);
        swaps += firstIncomingNs >= 0;
    }
    state.counters["neither_frames"] = neither;
    state.counters["to_incoming_ms"] = swaps ? toIncomingMs / swaps : 0;
    state.counters["missed_swaps"] = missed;
}
BENCHMARK_CAPTURE(BM_PageSwap, cut, "crossfade", 0)->UseManualTime()->Iterations(6);
BENCHMARK_CAPTURE(BM_PageSwap, crossfade, "crossfade", 600)->UseManualTime()->Iterations(6);
BENCHMARK_CAPTURE(BM_PageSwap, swipe, "swipe-left", 600)->UseManualTime()->Iterations(6);

} // namespace

int main(int argc, char** argv)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    if (!test::SceneWindow::loadResources())
        return 1;
    Player shared;
    player = &shared;
    shared.harness = std::make_unique<test::ControllerHarness>();
    if (!shared.harness->ready())
        return 1;
    PlayerController& controller = shared.harness->controller();
    ContentCache& cache = *ControllerAccess::contentCache(controller);
    for (QByteArray bytes : {shared.red, shared.blue}) {
        QBuffer source(&bytes);
        source.open(QIODevice::ReadOnly);
        if (!cache.commitVerified(source, test::FakeRuntimeService::sha256Hex(bytes), bytes.size(),
                                  nullptr, nullptr))
            return 1;
    }
    shared.scene = std::make_unique<test::SceneWindow>(controller);
    QQuickWindow* window = shared.scene->window();
    if (!window || !spinUntil([&] { return window->isExposed(); }))
        return 1;
    shared.sampler = std::make_unique<FrameSampler>(window);
    // The red page goes on glass first, without a transition.
    if (swapTo(swapManifest(QStringLiteral("crossfade"), 0), 0) < 0)
        return 1;

    const int status = runBenchmarks(argc, argv);
    shared.sampler.reset();
    shared.scene.reset();
    shared.harness.reset();
    return status;
}
