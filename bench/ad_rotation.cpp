// Ads in the rotation, on glass: the real controller and its real scene under the compositor
// turn a red page, an adslot page, a blue page and another adslot page, over and over, against
// the fake service, which fills the first slot with a green picture and the second with a
// colour-bar clip (a second and two seconds: the clip's clock is sampled once a second). After every frame the render thread reads a few
// pixels across the stage; each frame shows red, blue, green, the bars or neither. It reports
// the frames at ad swaps that show neither page (the goal is none), the filled arrivals that
// end without their evidence at the service ("started" with "completed" or "interrupted", or
// "skipped"; the goal is none lost), the ads shown per arrival at an adslot page from the first
// one on (the goal is every one), and prints resident memory every fifty visits. Run it with
// WAYLAND_DISPLAY set; TALVORINE_AD_VISITS changes the number of page visits (300),
// TALVORINE_AD_PAGE_MS how long each content page stays (1000 ms).

#include "app/PlatformEnvironment.h"
#include "app/PlayerComposition.h"
#include "bench/BenchmarkMain.h"
#include "tests/support/FrameSampler.h"
#include "bench/ProcessStatus.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/SceneWindow.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QJsonArray>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

using namespace talvorine;
using test::ControllerAccess;
using test::ControllerHarness;
using test::ServedObject;
using Reply = test::FakeRuntimeService::Reply;
using State = AdOccurrence::State;
namespace W = RuntimeWire;

constexpr int pictureMs = 1000;
constexpr int clipMs = 2000;

enum class Seen { Red, Blue, Green, Bars, Neither };

bool near(QRgb pixel, const test::Rgb& colour)
{
    return std::abs(qRed(pixel) - colour.r) <= 48 && std::abs(qGreen(pixel) - colour.g) <= 48
        && std::abs(qBlue(pixel) - colour.b) <= 48;
}

// The sampler reads the middle line at tenths 1, 3, 5, 7 and 9 of the width: on the clip, the
// bars 0, 2, 3, 4 and 6.
Seen classify(const test::FrameSampler::Frame& frame)
{
    const auto all = [&frame](const std::function<test::Rgb(int)>& colour) {
        for (int i = 0; i < test::FrameSampler::samples; ++i) {
            if (!near(frame.pixels[i], colour(i)))
                return false;
        }
        return true;
    };
    if (all([](int) { return test::Rgb{255, 0, 0}; }))
        return Seen::Red;
    if (all([](int) { return test::Rgb{0, 0, 255}; }))
        return Seen::Blue;
    if (all([](int) { return test::Rgb{0, 255, 0}; }))
        return Seen::Green;
    if (all([](int i) { return test::smpteBars[(2 * i + 1) * 7 / 10]; }))
        return Seen::Bars;
    return Seen::Neither;
}

bool isAd(Seen seen)
{
    return seen == Seen::Green || seen == Seen::Bars;
}

int visitsWanted()
{
    const int wanted = qEnvironmentVariableIntValue("TALVORINE_AD_VISITS");
    return wanted > 0 ? wanted : 300;
}

int pageMsWanted()
{
    const int wanted = qEnvironmentVariableIntValue("TALVORINE_AD_PAGE_MS");
    return wanted > 0 ? wanted : 1000;
}

bool isContentPage(int page)
{
    return page == 0 || page == 2;
}

struct Player {
    std::unique_ptr<ControllerHarness> harness;
    std::unique_ptr<test::SceneWindow> scene;
    std::unique_ptr<test::FrameSampler> sampler;
};

Player* player = nullptr;

void BM_AdRotation(benchmark::State& state)
{
    ControllerHarness& h = *player->harness;
    PlayerController& c = h.controller();
    const int wanted = visitsWanted();
    int visits = 0;
    int adVisits = 0;
    // Each time a content page leaves the glass, the rotation reaches an adslot page.
    int arrivals = 0;
    int shown = 0;
    bool firstShown = false;
    QList<qint64> resident;
    int onGlass = ControllerAccess::activePageIndex(c);
    const QMetaObject::Connection ads =
        QObject::connect(&c, &PlayerController::adActiveChanged, &c, [&] {
            adVisits += c.property("adActive").toBool();
        });
    const QMetaObject::Connection counting =
        QObject::connect(&c, &PlayerController::activeChanged, &c, [&] {
            const int page = ControllerAccess::activePageIndex(c);
            const int left = std::exchange(onGlass, page);
            if (left == page)
                return;
            if (isContentPage(left)) {
                const bool adShown = !isContentPage(page) && c.property("adActive").toBool();
                firstShown |= arrivals++ == 0 && adShown;
                shown += adShown;
            }
            if (++visits % 50 == 0) {
                resident.append(processStatusValue("VmRSS"));
                std::fprintf(stderr, "visits %d: ad visits %d, resident %lld KiB\n", visits,
                             adVisits, static_cast<long long>(resident.last()));
            }
        });
    for (auto _ : state) {
        player->sampler->clear();
        const qint64 startNs = test::monotonicNs();
        if (!test::spinUntil([&] { return visits >= wanted; }, wanted * (pageMsWanted() + 5000))) {
            state.SkipWithError("the rotation stopped");
            return;
        }
        state.SetIterationTime(double(test::monotonicNs() - startNs) / 1e9);
    }
    QObject::disconnect(counting);
    QObject::disconnect(ads);

    // Frames of neither page next to an ad's: a run of them counts at the swap it interrupts.
    int neither = 0;
    int adSwaps = 0;
    int pending = 0;
    Seen previous = Seen::Neither;
    for (const test::FrameSampler::Frame& frame : player->sampler->frames()) {
        const Seen seen = classify(frame);
        if (seen == Seen::Neither) {
            ++pending;
            continue;
        }
        if (previous != Seen::Neither && seen != previous && (isAd(seen) || isAd(previous))) {
            ++adSwaps;
            neither += pending;
        }
        pending = 0;
        previous = seen;
    }

    // Every arrival the service filled ends with its evidence at the service, unless the player
    // still holds it.
    test::spinUntil([&] {
        ControllerAccess::flushAdOutbox(c);
        return ControllerAccess::adOutbox(c).pending().isEmpty()
            && ControllerAccess::adOutbox(c).inflight().isEmpty()
            && !ControllerAccess::adRequestsOutstanding(c);
    }, 10000);
    QSet<QString> filled;
    for (const auto& request : h.service().requestsTo(W::adResolveRoute)) {
        for (const QJsonValue& candidate : request.jsonBody()["candidates"].toArray())
            filled.insert(candidate["occurrence_id"].toString());
    }
    QHash<QString, QStringList> events;
    for (const QJsonObject& event : h.service().adSlots().receivedEvents())
        events[event["occurrence_id"].toString()].append(event["kind"].toString());
    for (const AdOccurrence& held : ControllerAccess::adOccurrences(c)) {
        if (held.state < State::Visited)
            filled.remove(held.id);
    }
    int lost = 0;
    for (const QString& id : filled) {
        const QStringList& kinds = events.value(id);
        const bool evidenced = kinds.contains("skipped")
            || (kinds.contains("started")
                && (kinds.contains("completed") || kinds.contains("interrupted")));
        lost += !evidenced;
    }
    state.counters["visits"] = visits;
    state.counters["ad_visits"] = adVisits;
    state.counters["ad_swaps"] = adSwaps;
    state.counters["neither_frames_at_ad_swaps"] = neither;
    state.counters["slot_arrivals"] = arrivals;
    state.counters["ads_shown_per_arrival"] = arrivals > 0 ? double(shown) / arrivals : 0;
    state.counters["first_arrival_shown"] = firstShown;
    state.counters["filled_arrivals"] = double(filled.size());
    state.counters["arrivals_without_evidence"] = lost;
    if (resident.size() >= 2)
        state.counters["resident_growth_kib"] = double(resident.last() - resident.first());
}
BENCHMARK(BM_AdRotation)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    configureWaylandPlatformEnvironment();
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    QTemporaryDir files;
    const QString clipPath = files.filePath("bars.webm");
    QString error;
    if (!test::SceneWindow::loadResources()
        || !test::makeBarsClip(clipPath, 320, 180, clipMs * 30 / 1000, 30, &error)) {
        std::fprintf(stderr, "set-up failed: %s\n", qPrintable(error));
        return 1;
    }
    QFile clipFile(clipPath);
    if (!clipFile.open(QIODevice::ReadOnly))
        return 1;
    Player shared;
    player = &shared;
    shared.harness = std::make_unique<ControllerHarness>(
        ControllerHarness::Options{.clock = PlayerClock::system()});
    if (!shared.harness->ready())
        return 1;
    test::FakeRuntimeService& s = shared.harness->service();
    const ServedObject red = ServedObject::picture("red", Qt::red),
                       blue = ServedObject::picture("blue", Qt::blue);
    for (const ServedObject& object : {red, blue})
        s.putContent(object.path, object.bytes);
    s.adSlots().fill("picture", {.durationMs = pictureMs,
                                 .creative = ServedObject::picture("green", Qt::green).bytes});
    s.adSlots().fill("clip", {.kind = "video", .durationMs = clipMs, .contentType = "video/webm",
                              .creative = clipFile.readAll()});
    Reply notModified;
    notModified.status = 304;
    s.script("POST", W::sessionMintRoute, {ControllerHarness::sessionGranted(true)});
    s.script("GET", W::manifestV2Route,
             {Reply::json(200, test::adslotDocument(QStringLiteral("man_ad-rotation"),
                                                    {{red, pageMsWanted()}, {blue, pageMsWanted()}},
                                                    {{1, "picture", "slot-a"}, {3, "clip", "slot-b"}}))
                  .withHeader("ETag", "\"rotation\""),
              notModified});
    s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
    s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});

    shared.scene = std::make_unique<test::SceneWindow>(shared.harness->controller());
    QQuickWindow* window = shared.scene->window();
    if (!window || !test::spinUntil([&] { return window->isExposed(); }, 10000))
        return 1;
    shared.sampler = std::make_unique<test::FrameSampler>(window);
    if (!shared.harness->startBound())
        return 1;

    const int status = runBenchmarks(argc, argv);
    shared.sampler.reset();
    shared.scene.reset();
    shared.harness.reset();
    return status;
}
