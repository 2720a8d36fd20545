// How long a bound player with nothing on glass takes from the service's manifest reply to the
// first frame that shows the manifest's first page: the real controller against the fake
// service over loopback, drawn by its real scene under the compositor, once with the page's
// picture already in the verified cache and once with it downloaded from the service. The
// render thread reads pixels after every frame; the first frame whose samples all show the
// page ends the measurement. Then, with the first page on glass, a new revision announced on the
// event stream: the time from the event to the first frame of the new revision's page, and the
// frames of that swap that show neither page. Each run is a fresh player on a fresh state
// directory. Run it with WAYLAND_DISPLAY set.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "bench/BenchmarkMain.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/SceneWindow.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

using namespace talvorine;
using test::ControllerAccess;
using test::ControllerHarness;
using test::FrameSampler;
using test::monotonicNs;
using test::ServedObject;
using Reply = test::FakeRuntimeService::Reply;
namespace W = RuntimeWire;

const QRgb firstColour = qRgb(0, 200, 80);
const QRgb secondColour = qRgb(200, 40, 160);

// Runs the event loop until done holds or 30 s passed.
bool spinUntil(const std::function<bool()>& done)
{
    return test::spinUntil(done, 30000);
}

// One page of a full-canvas picture (colours the scene draws nowhere else).
QJsonObject pageDocument(const ServedObject& object, const QString& revision)
{
    QJsonObject primitive = test::mediaPrimitive(QStringLiteral("img"), {object});
    primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
    return test::contentDocument({QJsonArray{primitive}}, revision);
}

// A fresh bound player on a fresh state directory, drawn by its real scene, given a manifest
// of one page whose picture is served (and cached first when asked); the moments of the
// manifest's reply and of the first frame that showed the page whole.
struct Player {
    ControllerHarness h;
    std::unique_ptr<test::SceneWindow> scene;
    std::unique_ptr<FrameSampler> sampler;
    qint64 replyNs = -1;
    qint64 shownNs = -1;

    QString start(const ServedObject& object, bool cached)
    {
        if (!h.ready())
            return QStringLiteral("no harness");
        PlayerController& c = h.controller();
        test::FakeRuntimeService& service = h.service();
        if (cached) {
            QByteArray bytes = object.bytes;
            QBuffer source(&bytes);
            source.open(QIODevice::ReadOnly);
            if (!ControllerAccess::contentCache(c)->commitVerified(source, object.sha256,
                                                                   bytes.size(), nullptr, nullptr))
                return QStringLiteral("the picture could not be cached");
        }
        service.putContent(object.path, object.bytes);
        Reply notModified;
        notModified.status = 304;
        service.script("GET", W::manifestRoute,
                       {Reply::json(200, pageDocument(object, QStringLiteral("man_1"))),
                        notModified});
        service.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        service.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});

        scene = std::make_unique<test::SceneWindow>(c);
        if (!scene->window() || !spinUntil([&] { return scene->window()->isExposed(); }))
            return QStringLiteral("the scene did not show");
        sampler = std::make_unique<FrameSampler>(scene->window());
        QObject::connect(&service, &test::FakeRuntimeService::requestReceived, &service,
                         [this, &service](int index) {
                             if (service.requests().at(index).path == W::manifestRoute
                                 && replyNs < 0)
                                 replyNs = monotonicNs();
                         });
        const bool settled = h.startBound() && spinUntil([&] {
            for (const FrameSampler::Frame& frame : sampler->frames()) {
                if (replyNs >= 0 && frame.atNs > replyNs && test::shows(frame, firstColour)) {
                    shownNs = frame.atNs;
                    return true;
                }
            }
            return false;
        });
        if (!settled || replyNs < 0 || shownNs < replyNs)
            return QStringLiteral("the first page never reached the glass");
        return {};
    }
};

void BM_ManifestToFrame(benchmark::State& state, bool cached)
{
    const ServedObject object = ServedObject::canvasPicture("first", firstColour);
    double downloads = 0;
    for (auto _ : state) {
        Player player;
        if (const QString error = player.start(object, cached); !error.isEmpty()) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        state.SetIterationTime(double(player.shownNs - player.replyNs) / 1e9);
        downloads += player.h.service().contentAttempts(object.path);
    }
    state.counters["downloads"] = benchmark::Counter(downloads, benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(BM_ManifestToFrame, cached, true)->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ManifestToFrame, downloaded, false)->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// A new revision announced on the event stream while the first page plays: from the event to
// the first frame that shows the new revision's page (the first of its fade-in), its picture
// fetched in the background meanwhile. neither_frames counts the frames of the swap that show
// neither page somewhere (the goal is none); swap_ms is the time until the new page shows whole.
void BM_RevisionSwap(benchmark::State& state)
{
    const ServedObject first = ServedObject::canvasPicture("first", firstColour);
    const ServedObject second = ServedObject::canvasPicture("second", secondColour);
    double neither = 0;
    double swapMs = 0;
    for (auto _ : state) {
        Player player;
        if (const QString error = player.start(first, true); !error.isEmpty()) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        test::FakeRuntimeService& service = player.h.service();
        PlayerController& c = player.h.controller();
        service.putContent(second.path, second.bytes);
        service.script("GET", W::manifestRoute,
                       {Reply::json(200, pageDocument(second, QStringLiteral("man_2")))});
        const QJsonObject event{
            {"type", W::manifestChangedEvent},
            {"details", QJsonObject{{W::manifestRevisionMember, "man_2"}}}};
        const qint64 eventNs = monotonicNs();
        test::SwapWatch swap(firstColour, secondColour, eventNs);
        if (service.sendEvents(W::eventsRoute,
                               "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact)
                                   + "\n\n")
            != 1) {
            state.SkipWithError("no event stream was open");
            return;
        }
        if (!spinUntil([&] { return swap.update(player.sampler->frames()) && c.objectEnterArmed(); })
            || swap.firstIncomingNs() < 0) {
            state.SkipWithError("the new revision never reached the glass");
            return;
        }
        state.SetIterationTime(double(swap.firstIncomingNs() - eventNs) / 1e9);
        swapMs += double(monotonicNs() - eventNs) / 1e6;
        neither += swap.neitherFrames();
    }
    state.counters["neither_frames"] = neither;
    state.counters["swap_ms"] = benchmark::Counter(swapMs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RevisionSwap)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    if (!test::SceneWindow::loadResources())
        return 1;
    return runBenchmarks(argc, argv);
}
