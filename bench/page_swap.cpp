// What a page swap looks like on glass: the player as main() builds it swaps between two pages
// of solid, distinct images (red and blue) with a cut, a cross-fade and a swipe. After every
// frame the render thread reads a few pixels across the stage and sorts each frame: the
// outgoing page, the incoming page, a blend of the two, or neither (an empty or ground-coloured
// stage). It reports, per transition, the frames of neither page (the goal is none) and the time
// from activation to the first frame that shows the incoming page. Run it with WAYLAND_DISPLAY
// set.

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "tests/support/ControllerHarness.h"

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QMutex>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>
#include <ctime>

namespace {

using namespace talvorine;
using test::ControllerAccess;

constexpr int samples = 5;

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}
constexpr int tolerance = 24;

struct Frame {
    qint64 atNs = 0;
    QRgb pixels[samples]{};
};

// The pixels the render thread read after each frame, for the GUI thread to sort.
class FrameSampler {
public:
    explicit FrameSampler(QQuickWindow* window) : window_(window)
    {
        QObject::connect(window, &QQuickWindow::afterRendering, window, [this] { sample(); },
                         Qt::DirectConnection);
    }
    void clear()
    {
        QMutexLocker lock(&mutex_);
        frames_.clear();
    }
    QList<Frame> frames()
    {
        QMutexLocker lock(&mutex_);
        return frames_;
    }

private:
    void sample()
    {
        QOpenGLContext* context = QOpenGLContext::currentContext();
        if (!context)
            return;
        Frame frame;
        const QSize size = window_->size() * window_->effectiveDevicePixelRatio();
        for (int i = 0; i < samples; ++i) {
            uchar rgba[4] = {};
            // Across the middle line, away from the edges a swipe enters from.
            context->functions()->glReadPixels(size.width() * (2 * i + 1) / (2 * samples),
                                               size.height() / 2, 1, 1, GL_RGBA,
                                               GL_UNSIGNED_BYTE, rgba);
            frame.pixels[i] = qRgb(rgba[0], rgba[1], rgba[2]);
        }
        frame.atNs = monotonicNs();
        QMutexLocker lock(&mutex_);
        frames_.append(frame);
    }

    QQuickWindow* window_;
    QMutex mutex_;
    QList<Frame> frames_;
};

bool near(int value, int target)
{
    return std::abs(value - target) <= tolerance;
}

// Red is one page and blue the other: a pixel of either, or of a blend of both, has no green
// and its red and blue add up to one full channel.
enum class Seen { Outgoing, Incoming, Blend, Neither };
Seen classify(QRgb pixel, bool incomingBlue)
{
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    if (!near(g, 0) || !near(r + b, 255))
        return Seen::Neither;
    if (near(b, 0))
        return incomingBlue ? Seen::Outgoing : Seen::Incoming;
    if (near(r, 0))
        return incomingBlue ? Seen::Incoming : Seen::Outgoing;
    return Seen::Blend;
}

QString solidImage(const QTemporaryDir& directory, const char* name, Qt::GlobalColor color)
{
    QImage image(64, 36, QImage::Format_RGB32);
    image.fill(color);
    const QString path = directory.filePath(QLatin1String(name) + QStringLiteral(".png"));
    image.save(path);
    return path;
}

bool imageShown(QQuickItem* item, const QUrl& source)
{
    for (QQuickItem* child : item->childItems()) {
        if (child->property("source").toUrl() == source && child->property("status").toInt() == 1)
            return true;
        if (imageShown(child, source))
            return true;
    }
    return false;
}

// Runs the event loop until done holds or 10 s passed.
bool spinUntil(const std::function<bool()>& done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.hasExpired(10000))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

struct Player {
    QTemporaryDir state;
    QTemporaryDir images;
    std::unique_ptr<PlayerComposition> composition;
    QQuickWindow* window = nullptr;
    std::unique_ptr<FrameSampler> sampler;
    QString red;
    QString blue;
    int shown = 0; // the page on glass: 0 red, 1 blue
};

Player* player = nullptr;

// Two pages, red and blue, each an image over the whole canvas, with this transition.
Manifest swapManifest(const QString& type, int durationMs)
{
    Manifest manifest = test::imagePagesManifest(QStringLiteral("man_swap"), {"r", "b"}, [](char c) {
        return std::pair<QString, qint64>(QString(64, QLatin1Char(c == 'r' ? 'a' : 'b')), 100);
    });
    for (Page& page : manifest.pages) {
        page.transition = {{"type", type}, {"durationMs", durationMs}};
        page.primitives[0].rect = QRectF(0, 0, 1920, 1080);
    }
    return manifest;
}

// Prepares the page on the idle slot, binds its image, waits until the scene shows it there,
// and activates it; the moment of activation, or -1 when the scene never showed the page.
qint64 swapTo(const Manifest& manifest, int page)
{
    PlayerController& c = *player->composition->controller();
    ControllerAccess::preparePage(c, manifest, page, false);
    const auto* candidate = ControllerAccess::candidate(c);
    if (!candidate)
        return -1;
    const QUrl file = QUrl::fromLocalFile(page == 1 ? player->blue : player->red);
    c.modelForSlot(candidate->slot)->bindVerifiedMediaFile(QStringLiteral("img"), file);
    if (!spinUntil([&] { return imageShown(player->window->contentItem(), file); }))
        return -1;
    const qint64 activatedNs = monotonicNs();
    ControllerAccess::activateCandidate(c);
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
        PlayerController& c = *player->composition->controller();
        bool settled = false;
        qint64 firstIncomingNs = -1;
        int neitherFrames = 0;
        qsizetype seen = 0;
        spinUntil([&] {
            const QList<Frame> frames = player->sampler->frames();
            for (; seen < frames.size(); ++seen) {
                const Frame& frame = frames.at(seen);
                if (frame.atNs < startNs)
                    continue;
                bool allIncoming = true;
                bool anyNeither = false;
                bool anyIncoming = false;
                for (const QRgb pixel : frame.pixels) {
                    const Seen kind = classify(pixel, incoming == 1);
                    anyNeither |= kind == Seen::Neither;
                    anyIncoming |= kind == Seen::Incoming || kind == Seen::Blend;
                    allIncoming &= kind == Seen::Incoming;
                }
                neitherFrames += anyNeither;
                if (anyIncoming && firstIncomingNs < 0)
                    firstIncomingNs = frame.atNs;
                settled = allIncoming;
            }
            return settled && c.objectEnterArmed();
        });
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
    Player shared;
    player = &shared;
    PlayerCompositionSettings settings;
    settings.origin = QUrl(QStringLiteral("http://localhost:9"));
    settings.stateDirectory = shared.state.path();
    settings.window.windowed = true;
    settings.window.width = 640;
    settings.window.height = 360;
    settings.locateProgram = [](const QString&) { return QString(); };
    shared.composition = std::make_unique<PlayerComposition>(std::move(settings));
    shared.composition->build();
    shared.window = shared.composition->windows().value(0);
    PlayerController* controller = shared.composition->controller();
    if (!shared.window || !controller
        || !spinUntil([&] { return shared.window->isExposed() && !controller->splashVisible(); }))
        return 1;
    shared.sampler = std::make_unique<FrameSampler>(shared.window);
    shared.red = solidImage(shared.images, "red", Qt::red);
    shared.blue = solidImage(shared.images, "blue", Qt::blue);
    // The red page goes on glass first, without a transition.
    if (swapTo(swapManifest(QStringLiteral("crossfade"), 0), 0) < 0)
        return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    shared.sampler.reset();
    shared.composition.reset();
    return 0;
}
