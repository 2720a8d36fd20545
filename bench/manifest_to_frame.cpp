// How long a bound player with nothing on glass takes from the service's manifest reply to the
// first frame that shows the manifest's first page: the real controller against the fake
// service over loopback, drawn by its real scene under the compositor, once with the page's
// picture already in the verified cache and once with it downloaded from the service. The
// render thread reads pixels after every frame; the first frame whose samples all show the
// page ends the measurement. Each run is a fresh player on a fresh state directory. Run it
// with WAYLAND_DISPLAY set.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/SceneWindow.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>

#include <cstdlib>

namespace {

using namespace talvorine;
using test::ControllerAccess;
using test::ControllerHarness;
using test::FrameSampler;
using test::monotonicNs;
using test::ServedObject;
using Reply = test::FakeRuntimeService::Reply;
namespace W = RuntimeWire;

// A full-canvas picture of a colour the scene draws nowhere else, large enough for its
// download and decode to count.
ServedObject picture()
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(QColor(0, 200, 80));
    // A band of noise keeps the file from compressing to almost nothing.
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * 11) % 256, (y * 5) % 256));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return ServedObject::of("first", bytes);
}

bool pageShown(const FrameSampler::Frame& frame)
{
    for (const QRgb pixel : frame.pixels) {
        if (qRed(pixel) > 16 || std::abs(qGreen(pixel) - 200) > 16
            || std::abs(qBlue(pixel) - 80) > 16)
            return false;
    }
    return true;
}

// Runs the event loop until done holds or 30 s passed.
bool spinUntil(const std::function<bool()>& done)
{
    return test::spinUntil(done, 30000);
}

void BM_ManifestToFrame(benchmark::State& state, bool cached)
{
    const ServedObject object = picture();
    QJsonArray page{test::mediaPrimitive("first", {object})};
    QJsonObject primitive = page[0].toObject();
    primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
    page[0] = primitive;
    const QJsonObject document = test::contentDocument({page});
    double downloads = 0;
    for (auto _ : state) {
        ControllerHarness h;
        if (!h.ready()) {
            state.SkipWithError("no harness");
            return;
        }
        PlayerController& c = h.controller();
        test::FakeRuntimeService& service = h.service();
        if (cached) {
            QByteArray bytes = object.bytes;
            QBuffer source(&bytes);
            source.open(QIODevice::ReadOnly);
            if (!ControllerAccess::contentCache(c)->commitVerified(source, object.sha256,
                                                                   bytes.size(), nullptr, nullptr)) {
                state.SkipWithError("the picture could not be cached");
                return;
            }
        }
        service.putContent(object.path, object.bytes);
        Reply notModified;
        notModified.status = 304;
        service.script("GET", W::manifestRoute, {Reply::json(200, document), notModified});
        service.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        service.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});

        test::SceneWindow scene(c);
        if (!scene.window() || !spinUntil([&] { return scene.window()->isExposed(); })) {
            state.SkipWithError("the scene did not show");
            return;
        }
        FrameSampler sampler(scene.window());
        qint64 replyNs = -1;
        QObject::connect(&service, &test::FakeRuntimeService::requestReceived, &service,
                         [&](int index) {
                             if (service.requests().at(index).path == W::manifestRoute
                                 && replyNs < 0)
                                 replyNs = monotonicNs();
                         });
        qint64 shownNs = -1;
        const bool settled = h.startBound() && spinUntil([&] {
            for (const FrameSampler::Frame& frame : sampler.frames()) {
                if (frame.atNs > replyNs && pageShown(frame)) {
                    shownNs = frame.atNs;
                    return true;
                }
            }
            return false;
        });
        if (!settled || replyNs < 0) {
            state.SkipWithError("the first page never reached the glass");
            return;
        }
        state.SetIterationTime(double(shownNs - replyNs) / 1e9);
        downloads += service.contentAttempts(object.path);
    }
    state.counters["downloads"] = benchmark::Counter(downloads, benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(BM_ManifestToFrame, cached, true)->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ManifestToFrame, downloaded, false)->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    if (!test::SceneWindow::loadResources())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
