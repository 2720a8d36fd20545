#include "runtime/RuntimeWireContract.h"
#include "storage/StorageFiles.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/TestFiles.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSignalSpy>
#include <QUuid>
#include <QTest>

#include <algorithm>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::FakeAdSlots;
using talvorine::test::SceneStandIn;
using Reply = talvorine::test::FakeRuntimeService::Reply;
using State = AdOccurrence::State;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// "d20000" a page shown 20 s, "S" an adslot page; page ids are "p<index>" and "ad<index>". Each
// page holds an empty image frame, which the scene reports ready once asked.
Manifest rotation(const QStringList& pattern)
{
    Manifest manifest;
    manifest.manifestRevision = QStringLiteral("man_ads_1");
    manifest.timezone = QStringLiteral("UTC");
    for (const QString& token : pattern) {
        Page page;
        page.id = (token == "S" ? "ad" : "p") + QString::number(manifest.pages.size());
        page.type = token == "S" ? PageType::adslot : PageType::content;
        page.adslotId = "slot_" + page.id;
        page.advance = {{"mode", "duration"}, {"afterMs", token.mid(1).toInt()}};
        page.canvas.width = 1920;
        page.canvas.height = 1080;
        page.transition = {{"type", "crossfade"}, {"durationMs", 0}};
        Primitive frame;
        frame.id = "frame";
        frame.kind = PrimitiveKind::image;
        frame.rect = QRectF(0, 0, 100, 100);
        frame.contentFit = "fill";
        page.primitives = {frame};
        manifest.pages.append(page);
    }
    return manifest;
}

QString stampOf(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// The changes the occurrence life cycle allows, as "from>to". A staged ad page is Downloading
// when its visit begins.
const QSet<QString> allowedChanges{"0>1", "1>2", "1>3", "1>0", "1>8", "2>8", "3>4", "4>3",
                                   "3>7", "4>7", "4>2", "4>8", "3>8", "4>5", "3>5", "5>6"};

// An image creative of this size.
QByteArray png(int width, int height)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImage(width, height, QImage::Format_RGB32).save(&buffer, "PNG");
    return bytes;
}

template <typename T>
T pick(QRandomGenerator& random, const QList<T>& values)
{
    return values.at(random.bounded(int(values.size())));
}

// A hostile resolve reply: results left out, under unknown or repeated ids, with stale or huge
// check sequences, stamps and sizes at their limits, digests and paths leading nowhere, a result
// repeated 2000 times, or a body that is no reply.
QByteArray hostileResolve(QRandomGenerator& random, const QJsonObject& request, qint64 nowMs)
{
    const QList<QJsonValue> stamps{stampOf(nowMs - 5000), stampOf(nowMs + 8000),
                                   stampOf(nowMs + 600000), "0001-01-01T00:00:00Z",
                                   "9999-12-31T23:59:59.999Z"};
    const QList<QJsonValue> sizes{64, 64, 1, 9007199254740993.0, 1e300};
    QJsonArray results;
    QJsonValue previous = "occ_x";
    for (const QJsonValue& candidate : request.value("candidates").toArray()) {
        const QJsonValue id = candidate["occurrence_id"];
        const qint64 sequence = candidate["check_sequence"].toInteger();
        QJsonObject result{{"occurrence_id", pick<QJsonValue>(random, {id, id, previous})},
                           {"check_sequence", pick<QJsonValue>(random, {sequence, sequence + 1, 1e19})},
                           {"state", "empty"},
                           {"hint_until", pick(random, stamps)},
                           {"decision_id", pick<QJsonValue>(random, {id, "dec_x"})},
                           {"reservation_id", "res"},
                           {"creative_revision", pick(random, sizes)}};
        for (const char* stamp : {"start_not_before", "start_before", "playback_deadline",
                                  "report_before"})
            result.insert(stamp, pick(random, stamps));
        result.insert("media", QJsonObject{
            {"kind", pick<QJsonValue>(random, {"image", "video"})}, {"fit", "contain"},
            {"duration_ms", pick(random, sizes)}, {"content_type", "image/png"},
            {"bytes", pick(random, sizes)},
            {"sha256", pick<QJsonValue>(random, {testfiles::sha(QByteArray(64, 'c')), QString(64, 'g')})},
            {"content_path", pick<QJsonValue>(random, {"/content/v1/ad-decisions/x", "//evil/x"})}});
        if (random.bounded(3) != 0)
            result.insert("state", "filled");
        if (random.bounded(6) != 0)
            results.append(result);
        previous = id;
    }
    const int repeats = random.bounded(12) == 0 ? 2000 : 0;
    for (int i = 0; i < repeats && !results.isEmpty(); ++i)
        results.append(results.first());
    const QJsonObject reply{{"server_time", stampOf(nowMs)}, {"results", results}};
    return random.bounded(15) == 0 ? QByteArray("{\"results\":7}") : QJsonDocument(reply).toJson();
}

} // namespace

Q_DECLARE_METATYPE(talvorine::test::FakeAdSlots::CreativeDeviation)

class TestPlayerAds : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;
    QStringList violations;
    qint64 serviceOffsetMs = 0;
    // The transport's monotonic clock, which carries the band and spaces the ad requests.
    qint64 bandClockMs = 0;

    PlayerController& controller() { return harness->controller(); }
    FakeAdSlots& ads() { return harness->service().adSlots(); }
    const QList<AdOccurrence>& occurrences() { return ControllerAccess::adOccurrences(controller()); }
    const AdOutbox& outbox() { return ControllerAccess::adOutbox(controller()); }
    auto resolves() { return harness->service().requestsTo(W::adResolveRoute); }

    // A player with an ad-slot session, online, whose every occurrence change is checked, of a
    // service whose clock runs serviceAheadMs ahead of the machine's. The player's clock is the
    // machine's: the outbox drops events more than a day old when it loads.
    void make(qint64 serviceAheadMs = 0)
    {
        harness = std::make_unique<ControllerHarness>();
        QVERIFY2(harness->ready(), qPrintable(harness->setupError()));
        harness->clock().setNowMs(QDateTime::currentMSecsSinceEpoch());
        harness->service().setServerClockOffsetMs(serviceOffsetMs = serviceAheadMs);
        bandClockMs = 0;
        QVERIFY(harness->mintSession(true));
        // The service's clock and the player's band of it move only when the test moves them,
        // so that a stalled machine closes no window a step holds open.
        harness->service().holdServerClock();
        holdBand();
        // Resolve answers are counted: a loaded machine must not turn one into a time-out.
        harness->transport().setResolveTransferTimeoutMs(waitMs);
        // The test ticks the planner and flushes the outbox itself, whatever restarts the timers.
        for (const char* timer : {"adPlannerTimer", "adOutboxFlushTimer"})
            harness->timer(timer)->disconnect(&controller());
        violations.clear();
        ControllerAccess::watchAdStates(controller(), [this](const AdOccurrence& o, State from) {
            const QString change = QStringLiteral("%1>%2").arg(int(from)).arg(int(o.state));
            if (!allowedChanges.contains(change))
                violations.append(o.pageId + QLatin1Char(' ') + change);
        });
    }

    // One planner tick, then the invariant: one occurrence per page, and no decision reported
    // "skipped" twice.
    void tick()
    {
        ControllerAccess::adPlannerTick(controller());
        QSet<QString> pages;
        for (const AdOccurrence& occurrence : occurrences()) {
            if (pages.contains(occurrence.pageId))
                violations.append(QStringLiteral("two occurrences for ") + occurrence.pageId);
            pages.insert(occurrence.pageId);
        }
        const QStringList skipped = recorded("ad.event.queued", "occurrence_id", "skipped");
        if (QSet<QString>(skipped.cbegin(), skipped.cend()).size() != skipped.size())
            violations.append(QStringLiteral("a decision reported skipped twice"));
    }

    // "ad1:4 ad3:2": each occurrence's page and state, in list order.
    QString states()
    {
        QStringList parts;
        for (const AdOccurrence& occurrence : occurrences())
            parts.append(QStringLiteral("%1:%2").arg(occurrence.pageId).arg(int(occurrence.state)));
        return parts.join(' ');
    }

    void holdBand()
    {
        harness->transport().setMonotonicClock([this] { return bandClockMs; });
    }

    // Time passes: for the service's clock and the transport's monotonic clock, and unless told
    // otherwise for the player's own.
    void passTime(qint64 ms, bool playerClockToo = true)
    {
        if (playerClockToo)
            harness->clock().advance(ms);
        harness->service().setServerClockOffsetMs(serviceOffsetMs += ms);
        bandClockMs += ms;
    }

    // Moves the service's clock and the player's band of it forward together.
    void advanceServiceClock(qint64 ms)
    {
        passTime(ms, false);
        harness->transport().mergeServerTimeSample(harness->service().serverNowMs(), 0);
    }

    int creativeRequests()
    {
        int count = 0;
        for (const auto& request : harness->service().requests())
            count += request.path.startsWith(W::adContentPrefix);
        return count;
    }

    QStringList downloadsLeft()
    {
        return QDir(harness->statePath("downloads")).entryList(QDir::Files | QDir::Hidden);
    }

    // One field of every developer-log record of the event (of that kind, when given).
    QStringList recorded(const QString& event, const char* field, const QString& kind = {})
    {
        QStringList values;
        for (const QJsonObject& record : harness->devLog(event)) {
            if (kind.isEmpty() || record.value("kind") == kind)
                values.append(record.value(QLatin1String(field)).toString());
        }
        return values;
    }

    bool adActive() { return controller().property("adActive").toBool(); }
    int onGlass() { return ControllerAccess::activePageIndex(controller()); }
    const PlayerController::PreparedPage* staged() { return ControllerAccess::candidate(controller()); }
    bool adStaged() { return staged() && staged()->adPresentation; }
    bool adReady() { return adStaged() && staged()->readyPrimitives.contains(staged()->adPrimitiveId); }

    // A content page goes on glass once the scene reports it ready.
    void showContent(const Manifest& manifest, int page)
    {
        ControllerAccess::preparePage(controller(), manifest, page, false);
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), page, waitMs);
    }

    // The page's dwell runs out.
    void turn()
    {
        QTimer* timer = harness->timer("pageTimer");
        QVERIFY(timer->isActive());
        harness->clock().advance(timer->interval());
        QSignalSpy fired(timer, &QTimer::timeout);
        QVERIFY(harness->expireSoon("pageTimer"));
        QVERIFY(fired.wait(waitMs));
    }

    // One window frame: the render thread syncs and presents, the GUI thread hears of it.
    void frame()
    {
        controller().noteSceneSynced();
        controller().noteWindowFramePresented();
        controller().handleWindowFramePresented();
    }

    // "started:0 completed:5000": the events the service received for the occurrence, once
    // every report has been answered (each waits for the one before).
    QString served(const QString& occurrenceId)
    {
        const auto settled = [this] {
            ControllerAccess::flushAdOutbox(controller());
            return outbox().pending().isEmpty() && outbox().inflight().isEmpty()
                   && !ControllerAccess::adRequestsOutstanding(controller());
        };
        [&] { QTRY_VERIFY_WITH_TIMEOUT(settled(), waitMs); }();
        QStringList events;
        for (const QJsonObject& e : ads().receivedEvents())
            events.append(e["occurrence_id"] == occurrenceId ? e["kind"].toString() + ':' + e["duration_ms"].toVariant().toString() : "");
        return events.filter(":").join(' ');
    }

private slots:
    void cleanup()
    {
        if (harness)
            QVERIFY2(violations.isEmpty(), qPrintable(violations.join('\n')));
        ControllerHarness::release(harness);
    }

    // Planning, resolve, the creative's road into the ad cache, hints, abandonment and the
    // "skipped" report, through the fake service.
    void flow()
    {
        make();
        const Manifest manifest = rotation({"d20000", "S", "d20000", "S"});
        ControllerAccess::showPage(controller(), manifest, 0, 4000);
        ads().fill("ad1", {.startBeforeMs = 20000});
        ads().empty("ad3", 3600000);

        // Without a band, arrivals are forecast on the machine's clock set by the offset the
        // session's identity exchange measured: ad1 is due, four seconds away.
        tick();
        QCOMPARE(states(), QStringLiteral("ad1:1 ad3:0"));
        const QString firstAd1 = occurrences().first().id;
        QTRY_COMPARE_WITH_TIMEOUT(resolves().size(), 1, waitMs);
        QCOMPARE(resolves().first().jsonBody()["candidates"][0]["earliest_start_at"].toString(),
                 stampOf(harness->clock().nowMs() + harness->transport().clockOffsetMs() + 4000));
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4 ad3:0"), waitMs);
        const AdOccurrence::Resolved decision = *occurrences().first().resolved;
        QVERIFY(ContentCache(harness->statePath("ad-cache")).readyPath(decision.sha256, 64, nullptr));
        // A commit's temporary that a crash left goes at the next start.
        const QString leftover = harness->statePath("ad-cache/objects/.commit-Ab12Cd");
        QVERIFY(testfiles::write(leftover, "x") && testfiles::setMtimeMs(leftover, 0));
        ControllerAccess::discardAdCacheLeftovers(controller());
        QVERIFY(!testfiles::exists(leftover));
        // On the service's clock, now known, ad3 is still twenty-four seconds away. Then nothing
        // changes: the same occurrences, nothing asked again.
        tick();
        tick();
        QCOMPARE(states(), QStringLiteral("ad1:4 ad3:0"));
        QCOMPARE(occurrences().first().id, firstAd1);
        QCOMPARE(resolves().size(), 1);

        // The page turns: ad1's decision must start before its new arrival; it is given up,
        // reported "skipped" at the band's lower bound, and planned afresh. ad3 comes next.
        const qint64 bandLo = harness->transport().serverNowLoMs();
        ControllerAccess::showPage(controller(), manifest, 2, 4000);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad3:2 ad1:0"), waitMs);
        QCOMPARE(resolves().size(), 2);
        QVERIFY(occurrences().last().id != firstAd1);
        QCOMPARE(recorded("ad_arrival_abandoned", "occurrence_id"), QStringList{firstAd1});
        QTRY_COMPARE_WITH_TIMEOUT(ads().receivedEvents().size(), 1, waitMs);
        const QJsonObject skipped = ads().receivedEvents().first();
        QCOMPARE(skipped["kind"].toString() + skipped["decision_id"].toString(),
                 "skipped" + decision.decisionId);
        const qint64 ended = parseAdStamp(skipped["ended_at"].toString()).toMSecsSinceEpoch();
        QVERIFY(ended >= bandLo && ended <= harness->transport().serverNowLoMs());

        // Twenty seconds on, ad1 is within ten seconds of its arrival and asked for alone; its
        // creative is in the ad cache already. The empty page's hint (an hour, held to thirty
        // seconds) still holds, and lapses eleven seconds later.
        advanceServiceClock(20000);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(resolves().size(), 3, waitMs);
        QCOMPARE(resolves().last().jsonBody()["candidates"].toArray().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad3:2 ad1:4"), waitMs);
        QCOMPARE(creativeRequests(), 1);
        advanceServiceClock(11000);
        tick();
        QCOMPARE(states().left(5), QStringLiteral("ad3:8"));

        // Each stop discards everything at the next pass, with its reason.
        QStringList reasons;
        for (const QString stop : {"held", "archived", "offline", "paused", "no_adslots", "fatal"}) {
            ControllerAccess::showPage(controller(), manifest, reasons.size() % 2 * 2, 30000);
            tick();
            const auto apply = [&](bool on) {
                ControllerAccess::setAssignmentHeld(controller(), on && stop == "held");
                ControllerAccess::setArchived(controller(), on && stop == "archived");
                ControllerAccess::setOnline(controller(), !on || stop != "offline");
                if (stop == "paused")
                    QVERIFY(ControllerAccess::pause(controller(), harness->clock().nowMs()));
            };
            apply(true);
            if (stop == "fatal")
                controller().enterFatal(FatalSurface::TypefacesMissing);
            const bool gone = stop == "no_adslots";
            ControllerAccess::showPage(controller(), gone ? rotation({"d9"}) : manifest, 1, 0);
            tick();
            QCOMPARE(states(), QString());
            reasons.append(gone || stop == "fatal" ? stop : QStringLiteral("maintenance_stopped"));
            QCOMPARE(recorded("ad_forecast_discarded", "reason").last(), reasons.last());
            apply(false);
        }
        // A report that timed out while the machine stalled is sent again, as the flush timer would.
        const auto reported = [this] {
            ControllerAccess::flushAdOutbox(controller());
            return ads().takenEventIds().size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(reported(), 2, waitMs);
    }

    // A fresh player of a service whose clock runs an hour ahead, twenty-second pages before each
    // adslot page, the first with a schedule. Its first arrival is asked for when due, before the
    // player has heard the service's clock from a resolve, and shown in the first rotation; the
    // events route refuses for a minute, asking for that much, and hears a handful of posts,
    // then every event once; a decision id that no scene id could hold is shown all the same; a
    // visit cut by a kill ends first at the next start, where it was last known on glass.
    void firstRotation()
    {
        make(3600000);
        harness->scene().setAnswering(true);
        const QString dotted = QStringLiteral("dec.2026.01.") + QString(52, 'x');
        ads().fill("ad1", {.durationMs = 5000, .creative = png(64, 36)});
        ads().fill("ad3", {.decisionId = dotted, .startBeforeMs = 120000,
                           .playbackDeadlineMs = 300000, .durationMs = 20000,
                           .creative = png(32, 18)});
        Manifest manifest = rotation({"d20000", "S", "d20000", "S"});
        PageVisibility always;
        always.from = QStringLiteral("2020-01-01T00:00");
        manifest.pages[1].visibility = always;
        showContent(manifest, 0);
        const auto posts = [this] { return int(harness->service().requestsTo(W::adEventsRoute).size()); };

        tick();
        QCOMPARE(states(), QStringLiteral("ad1:0 ad3:0"));
        passTime(9999);
        tick();
        QCOMPARE(resolves().size(), 0);
        passTime(1);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(resolves().size(), 1, waitMs);
        const QJsonValue earliest = resolves().first().jsonBody()["candidates"][0]["earliest_start_at"];
        QVERIFY(parseAdStamp(earliest.toString()).toMSecsSinceEpoch() > harness->clock().nowMs() + 3500000);
        QTRY_VERIFY_WITH_TIMEOUT(adReady(), waitMs);
        const QString first = occurrences().first().id;

        harness->service().script("POST", W::adEventsRoute,
                                  {Reply::json(429, QJsonObject{{"code", "slow_down"}})
                                       .withHeader("Retry-After", "60")});
        turn();
        QTRY_VERIFY_WITH_TIMEOUT(adActive(), waitMs);
        frame();
        QTRY_COMPARE_WITH_TIMEOUT(posts(), 1, waitMs);
        turn();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 2, waitMs);
        // Meanwhile ad3 is asked for and staged, its window two minutes long; p2 stays on glass.
        for (int step = 1; step <= 15; ++step) {
            passTime(5000, false);
            if (step == 12)
                harness->service().script("POST", W::adEventsRoute, {});
            tick();
            // Only events already on disk are sent: a slow write would split the batch sent
            // after the refusal in two.
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutboxSettled(controller()), waitMs);
            ControllerAccess::flushAdOutbox(controller());
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
            if (step < 12)
                QCOMPARE(posts(), 1);
        }
        QCOMPARE(served(first), QStringLiteral("started:0 started:0 completed:5000"));
        QCOMPARE(posts(), 2);
        QCOMPARE(ads().takenEventIds().size(), 2);
        // ad3's arrival is ready. On a loaded machine ad1's next one may have been staged first;
        // it gives the stage to ad3's at ad3's run.
        const auto ad3 = [this] {
            return *std::find_if(occurrences().cbegin(), occurrences().cend(),
                                 [](const AdOccurrence& o) { return o.pageId == "ad3"; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(ad3().state == AdOccurrence::Ready
                                     || (adReady() && staged()->adOccurrenceId == ad3().id),
                                 waitMs);
        const QString third = ad3().id;

        turn();
        QTRY_VERIFY_WITH_TIMEOUT(adActive(), waitMs);
        frame();
        QCOMPARE(served(third), QStringLiteral("started:0"));
        const QList<QJsonObject> events = ads().receivedEvents();
        const QJsonObject started = *std::find_if(events.cbegin(), events.cend(), [&](const auto& e) {
            return e["occurrence_id"] == third;
        });
        QCOMPARE(started["decision_id"].toString(), dotted);
        // Six seconds on, it is known on glass; then the player is killed.
        passTime(6000);
        ControllerAccess::adStallTick(controller());
        QCOMPARE(served(third), QStringLiteral("started:0"));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutboxSettled(controller()), waitMs);

        const qsizetype before = ads().receivedEvents().size();
        harness->rebuildAfterKill();
        QVERIFY(harness->mintSession(true));
        holdBand();
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_VERIFY_WITH_TIMEOUT(ads().receivedEvents().size() > before, waitMs);
        const QJsonObject cut = ads().receivedEvents().at(before);
        QCOMPARE(cut["kind"].toString() + ' ' + cut["decision_id"].toString(),
                 "interrupted " + dotted);
        QCOMPARE(cut["duration_ms"].toInteger(), 6000);
        QCOMPARE(cut["started_at"], started["started_at"]);
        QCOMPARE(parseAdStamp(cut["ended_at"].toString()),
                 parseAdStamp(started["started_at"].toString()).addMSecs(6000));
    }

    // Ads reach the glass through the rotation: staged ahead and shown at their run, yielding
    // to a content page when their run is not next, staged at the run itself, and given up at
    // the candidate deadline without stopping the rotation. The first presented frame of the
    // ad's own scene starts it; the image completes its duration from there.
    void visits()
    {
        make();
        SceneStandIn& scene = harness->scene();
        scene.setAnswering(true);
        const Manifest manifest = rotation({"d4000", "d4000", "S", "d4000"});
        // A phone photograph stored on its side: the ad is laid out in its upright aspect.
        ads().fill("ad2", {.durationMs = 5000, .contentType = "image/jpeg",
                           .creative = test::orientedJpeg(QSize(64, 36), 6)});
        showContent(manifest, 0);

        // Staged ahead while p0 shows; p1 is next, so the ad yields to it and is ready again.
        tick();
        QTRY_VERIFY_WITH_TIMEOUT(adReady(), waitMs);
        QCOMPARE(states(), QStringLiteral("ad2:3"));
        QVERIFY(test::boundSource(controller(), staged()->slot, staged()->adPrimitiveId).isLocalFile());
        StageLayoutModel* adStage = controller().modelForSlot(staged()->slot);
        const QRectF adRect =
            adStage->data(adStage->index(0), StageLayoutModel::ContentRectRole).toRectF();
        QVERIFY(adRect.height() > adRect.width() * 1.5);
        const QString first = occurrences().first().id;
        turn();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 1, waitMs);
        QCOMPARE(states(), QStringLiteral("ad2:4"));
        QCOMPARE(harness->devLog("ad.candidate_yielded").size(), 1);

        // At its run it is staged again and goes on glass once the scene reports it ready;
        // p1 stays until then. A frame synced before that still shows p1 and starts nothing;
        // the next one starts the ad, once.
        turn();
        QVERIFY(adStaged() && !adActive());
        QCOMPARE(onGlass(), 1);
        controller().noteSceneSynced();
        QTRY_VERIFY_WITH_TIMEOUT(adActive(), waitMs);
        QCOMPARE(onGlass(), 2);
        QCOMPARE(states(), QStringLiteral("ad2:5"));
        controller().noteWindowFramePresented();
        controller().handleWindowFramePresented();
        QVERIFY(recorded("ad_first_visible_frame", "occurrence_id").isEmpty());
        frame();
        frame();
        QCOMPARE(recorded("ad_first_visible_frame", "occurrence_id"), QStringList{first});

        // Five seconds from the first frame it completes, and p3 follows.
        turn();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 3, waitMs);
        QVERIFY(!adActive());
        QCOMPARE(states(), QStringLiteral("ad2:6"));
        QCOMPARE(served(first), QStringLiteral("started:0 completed:5000"));

        turn();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 0, waitMs);

        // An ad the scene never reports ready: staged ahead, it yields to p1; staged again at
        // its run, the deadline gives it up, it is reported skipped, and p1 rotates on.
        scene.setAnswering(false);
        tick();
        QTRY_VERIFY_WITH_TIMEOUT(adStaged(), waitMs);
        const QString third = occurrences().last().id;
        turn();
        scene.answerLatest();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 1, waitMs);
        turn();
        QVERIFY(adStaged() && harness->timer("candidateDeadlineTimer")->isActive());
        // It holds p1 up only while it could still start.
        QCOMPARE(occurrences().last().id, staged()->adOccurrenceId);
        const QDateTime closes = occurrences().last().resolved->startBefore.addMSecs(250);
        const int wait = harness->timer("candidateDeadlineTimer")->interval();
        QVERIFY(wait > 0 && wait <= closes.toMSecsSinceEpoch() - harness->transport().serverNowHiMs());
        QVERIFY(harness->expireSoon("candidateDeadlineTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!staged(), waitMs);
        QCOMPARE(states().right(2), QStringLiteral(":8"));
        QCOMPARE(served(third), QStringLiteral("skipped:0"));
        QCOMPARE(onGlass(), 1);
        scene.setAnswering(true);
        turn();
        QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 3, waitMs);
    }

    // An ad staged ahead, then its run passed over: the page on glass moves past it, or the
    // rotation turns past it, its window closed, to a page still being prepared. Planning asks
    // the service for nothing more, and the staged ad leaves the idle stage: it is no update held
    // up.
    void runPassedOver_data()
    {
        QTest::addColumn<bool>("turn");
        QTest::newRow("the page on glass moves past the run") << false;
        QTest::newRow("the rotation turns past a closed run") << true;
    }

    void runPassedOver()
    {
        QFETCH(bool, turn);
        make();
        harness->scene().setAnswering(true);
        const Manifest manifest = rotation({"d4000", "S", "d600000"});
        ads().fill("ad1", {.startBeforeMs = 1000, .durationMs = 5000, .creative = png(64, 36)});
        showContent(manifest, 0);
        tick();
        QTRY_VERIFY_WITH_TIMEOUT(adReady(), waitMs);
        const int slot = staged()->slot;
        const QString primitiveId = staged()->adPrimitiveId;
        if (turn) {
            advanceServiceClock(2000);
            harness->scene().setAnswering(false);
            this->turn();
            QVERIFY(staged() && staged()->pageIndex == 2);
        } else {
            ControllerAccess::showPage(controller(), manifest, 2, 600000);
        }
        const qsizetype asked = resolves().size();
        tick();
        QCOMPARE(states(), QString());
        QVERIFY(!adStaged());
        QVERIFY(test::boundSource(controller(), slot, primitiveId).isEmpty());
        // Neither the staged ad nor the next page of the revision on glass is an update.
        ControllerAccess::publishOverlay(controller());
        QVERIFY(!harness->timer("assignmentHoldTimer")->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
        QCOMPARE(resolves().size(), asked);
    }

    // A run of two adslot pages, both ready, while the idle stage holds the second page's ad or
    // a content page: the first is given up and reported "skipped"; the staged ad goes on glass
    // in its place, while a staged content page leaves the whole run given up.
    void runWithAnotherCandidate_data()
    {
        QTest::addColumn<bool>("adStagedAhead");
        QTest::addColumn<int>("runEnd"); // the page after the run
        QTest::addColumn<QString>("after");
        QTest::newRow("the run's next ad staged") << true << 3 << "ad1:8 ad2:5";
        QTest::newRow("a content page staged") << false << 3 << "ad1:8 ad2:8";
        QTest::newRow("the ad of a later run staged: it gives the stage to the run's") << true << 2 << "ad1:5 ad2:4";
    }

    void runWithAnotherCandidate()
    {
        QFETCH(bool, adStagedAhead);
        QFETCH(int, runEnd);
        QFETCH(QString, after);
        make();
        harness->scene().setAnswering(true);
        const Manifest manifest = rotation({"d4000", "S", "S", "d4000"});
        ads().fill("ad1", {.creative = png(16, 16)});
        ads().fill("ad2", {.creative = png(32, 18)});
        // Nothing on glass yet, so nothing is staged until the test stages it.
        ControllerAccess::showPage(controller(), manifest, 0, 4000);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4 ad2:4"), waitMs);
        const QString first = occurrences().at(0).id, second = occurrences().at(1).id;
        ControllerAccess::putOnGlass(controller(), manifest, 0, 0);
        if (adStagedAhead) {
            ControllerAccess::stageAd(controller(), second);
            QTRY_VERIFY_WITH_TIMEOUT(adReady(), waitMs);
        } else {
            ControllerAccess::setCandidate(controller(), true);
        }
        QCOMPARE(ControllerAccess::tryAdVisitRun(controller(), 0, runEnd), adStagedAhead);
        QTRY_COMPARE_WITH_TIMEOUT(states(), after, waitMs);
        QCOMPARE(served(first), runEnd == 3 ? QStringLiteral("skipped:0") : QString());
        if (adStagedAhead) {
            QVERIFY(adActive() && !staged());
            QCOMPARE(onGlass(), runEnd - 1);
        } else {
            QCOMPARE(served(second), QStringLiteral("skipped:0"));
            QVERIFY(staged() && !staged()->adPresentation);
        }
    }

    // How each visit ends, and what the service hears of it. A row stages an image or a video
    // ad ahead of its run and plays a script: n the scene never reports the ad ready, t the page
    // turns (the first turn reaches the run), f a window frame, v the video starts, pN its
    // position (xN on the other slot, oN for another primitive), sN N ms pass and the watchdog
    // looks, a the ad is still on, e end of stream, cN the service clock moves, F the ad
    // primitive fails, R planning resets, D the controller is destroyed and built again. E as
    // the first step: the ad gets ready while the page before its run is still coming in over
    // the page it replaced, and that entry ends. Whenever the ad is on, its creative is.
    void visitEnds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("events");
        const auto row = [](const char* name, const char* kind, const QString& script, const char* events) {
            QTest::newRow(name) << QString(kind) << script << QString(events);
        };
        QString overrun = "t v f";
        for (int at = 1; at <= 35; ++at)
            overrun += QStringLiteral(" p%1000 s1000").arg(at);
        row("image: its duration", "image", "t f t", "started:0 completed:5000");
        row("image: never ended for want of progress", "image", "t f s9999 s1 a t", "started:0 completed:15000");
        row("video: end of stream after progress", "video", "t v f p1000 s4000 e", "started:0 completed:4000");
        row("video: end of stream, clock still", "video", "t v f s4000 e", "started:0 interrupted:4000");
        row("video: no first frame for 10 s", "video", "t v s9999 a s1", "interrupted:0");
        row("video: position still 10 s, samples elsewhere ignored", "video",
            "t v f p1000 s1000 x2000 o2000 p1000 s8999 a s1", "started:0 interrupted:10000");
        row("video: 30 s past its duration", "video", overrun, "started:0 interrupted:35000");
        row("first frame after the window closed", "image", "t c60000 f", "interrupted:0");
        row("lease lost", "image", "t f s1000 c120001 s0", "started:0 interrupted:1000");
        row("ad primitive failed", "video", "t v f s1000 F", "started:0 interrupted:1000");
        row("planning reset", "image", "t f s1000 R", "started:0 interrupted:1000");
        row("controller destroyed", "video", "t v f s1000 D", "started:0 interrupted:1000");
        row("refused at its run: start window closed", "image", "c60000 t", "skipped:0");
        row("refused at its run: not ready", "image", "n t", "skipped:0");
        row("video ready while the page before comes in", "video", "E t v f p1000 s4000 e",
            "started:0 completed:4000");
        // "I": a revision in hand whose one page x failed on its own; "N": the service names it.
        row("image: the revision in hand named while it plays", "image", "I t f N t",
            "started:0 completed:5000");
    }

    void visitEnds()
    {
        QFETCH(QString, kind);
        QFETCH(QString, script);
        QFETCH(QString, events);
        make();
        SceneStandIn& scene = harness->scene();
        scene.setAnswering(true);
        const bool video = kind == "video";
        ads().fill("ad1", {.kind = kind, .durationMs = 5000,
                           .contentType = video ? "video/mp4" : "image/png",
                           .creative = video ? QByteArray(500, 'v') : png(16, 16)});
        Manifest manifest = rotation({"d4000", "S", "d4000"});
        const bool entering = script.startsWith('E');
        if (entering) {
            manifest.pages[0].transition = {{"type", "crossfade"}, {"durationMs", 60000}};
            showContent(manifest, 2);
        }
        showContent(manifest, 0);
        if (script.startsWith('I')) {
            Manifest inHand = rotation({"d4000"});
            inHand.manifestRevision = "man_ads_2";
            inHand.pages[0].id = inHand.pages[0].primitives[0].id = "x";
            scene.setFailure("x", "image_decode_failed");
            harness->service().script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});
            harness->service().script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
            ControllerAccess::planRevision(controller(), inHand);
            QTRY_COMPARE_WITH_TIMEOUT(recorded("candidate_failed", "page_id"), QStringList{"x"}, waitMs);
        }
        const bool ready = !script.startsWith('n');
        scene.setAnswering(ready);
        tick();
        if (entering) {
            QTRY_VERIFY_WITH_TIMEOUT(adStaged() || states() == "ad1:4", waitMs);
            QVERIFY(harness->expireSoon("transitionEndTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(!harness->timer("transitionEndTimer")->isActive(), waitMs);
        }
        QTRY_VERIFY_WITH_TIMEOUT(adStaged() && adReady() == ready, waitMs);
        const QString occurrence = occurrences().first().id;
        const QString id = staged()->adPrimitiveId;
        for (const QString& step : script.split(' ')) {
            const qint64 n = step.mid(1).toLongLong();
            const int slot = controller().activeSlot();
            switch (step.at(0).toLatin1()) {
            case 't': turn(); break;
            case 'f': frame(); break;
            case 'v': controller().videoStarted(slot, id); break;
            case 'p': controller().adProgressSample(slot, id, n, 5000); break;
            case 'x': controller().adProgressSample(1 - slot, id, n, 5000); break;
            case 'o': controller().adProgressSample(slot, "other", n, 5000); break;
            case 's':
                harness->clock().advance(n);
                ControllerAccess::adStallTick(controller());
                break;
            case 'a': QVERIFY(adActive()); break;
            case 'e': controller().videoEndOfStream(slot, id); break;
            case 'c': advanceServiceClock(n); break;
            case 'F': controller().primitiveFailed(slot, id, "video_decode_failed"); break;
            case 'R': ControllerAccess::resetAdPlanning(controller(), "pause_toggle"); break;
            case 'N': {
                const test::ServedObject x = test::ServedObject::picture("x", Qt::green);
                harness->service().script("GET", W::manifestRoute, {Reply::json(200, test::contentDocument(
                    {QJsonArray{test::mediaPrimitive("x", {x})}}, "man_ads_2"))});
                QSignalSpy taken(&harness->transport(), &RuntimeTransport::manifestModified);
                ControllerAccess::fetchManifest(controller(), W::manifestRoute);
                QVERIFY(taken.wait(waitMs));
                break;
            }
            case 'D':
                harness->rebuildController({});
                QVERIFY(harness->mintSession(true));
                holdBand();
                ControllerAccess::setOnline(controller(), true);
                break;
            }
            if (adActive())
                QVERIFY(test::boundSource(controller(), controller().activeSlot(), id).isLocalFile());
        }
        QVERIFY(!adActive());
        QCOMPARE(served(occurrence), events);
        QCOMPARE(recorded("ad_late_first_frame", "occurrence_id").size(), int(script.contains("c60000 f")));
        QCOMPARE(recorded("ad_candidate_failed", "code").join(','), ready ? "" : "ad_not_ready");
        if (!ready)
            scene.answerLatest(); // the content page that follows
        if (!script.contains('R') && !script.contains('D'))
            QTRY_COMPARE_WITH_TIMEOUT(onGlass(), 2, waitMs); // the rotation went on
        // The answer took the revision in hand up once more, and it waited for the ad's end.
        if (script.contains('N')) {
            QTRY_COMPARE_WITH_TIMEOUT(recorded("candidate_failed", "page_id"), QStringList({"x", "x"}), waitMs);
            QVERIFY(recorded("ad_forecast_discarded", "page_id").isEmpty());
        }
    }

    // Renewals at least ten seconds apart, at most eight; granted ones replace the decision,
    // the ninth is never sent, a refused one releases. An ad staged ahead on the idle stage is
    // renewed as one waiting in the cache, and keeps its stage. Staged while its run waits for
    // it, a renewal bringing another creative fails it, and the decision granted goes back.
    void leases_data()
    {
        QTest::addColumn<bool>("staged");
        QTest::addColumn<bool>("runWaits");
        QTest::newRow("waiting in the ad cache") << false << false;
        QTest::newRow("staged on the idle stage") << true << false;
        QTest::newRow("its run waiting, another creative granted") << false << true;
    }

    void leases()
    {
        QFETCH(bool, staged);
        QFETCH(bool, runWaits);
        make();
        // Always within ten seconds of closing.
        ads().fill("ad1", {.startBeforeMs = 5000, .creative = png(16, 16)});
        const Manifest manifest = rotation({"d60000", "S"});
        harness->scene().setAnswering(true);
        if (staged)
            showContent(manifest, 0);
        ControllerAccess::showPage(controller(), manifest, 0, 0);
        const QString waiting = staged ? QStringLiteral("ad1:3") : QStringLiteral("ad1:4");
        QSignalSpy answered(&harness->transport(), &RuntimeTransport::adSlotsResolved);
        tick();
        // A staged ad is Downloading again, as while its creative was on its way.
        QTRY_VERIFY_WITH_TIMEOUT(states() == waiting && adStaged() == staged, waitMs);
        if (runWaits) {
            harness->scene().setAnswering(false);
            ControllerAccess::putOnGlass(controller(), manifest, 0, 0);
            QVERIFY(ControllerAccess::tryAdVisitRun(controller(), 0, 2) && adStaged());
            harness->timer("candidateDeadlineTimer")->stop();
            ads().fill("ad1", {.decisionId = "dec_granted", .startBeforeMs = 5000,
                               .creative = png(8, 8)});
            advanceServiceClock(1000);
            tick();
            QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:8"), waitMs);
            QCOMPARE(recorded("ad_candidate_failed", "code"), QStringList{"ad_lease_lost"});
            QCOMPARE(served(occurrences().first().id), QStringLiteral("skipped:0"));
            QCOMPARE(ads().receivedEvents().first()["decision_id"], "dec_granted");
            return;
        }
        for (int renewal = 1; renewal <= 8; ++renewal) {
            advanceServiceClock(1000);
            const QDateTime startBefore = occurrences().first().resolved->startBefore;
            tick();
            QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1 + renewal, waitMs);
            QCOMPARE(resolves().last().jsonBody()["candidates"][0]["check_sequence"].toInteger(),
                     1 + renewal);
            QVERIFY(occurrences().first().resolved->startBefore > startBefore);
            advanceServiceClock(9000);
            tick();
            QCOMPARE(resolves().size(), renewal + 1);
            QCOMPARE(states(), renewal < 8 ? waiting : QStringLiteral("ad1:8"));
            QCOMPARE(adStaged(), staged);
        }
        // Planned afresh on the next page turn; its first renewal is refused.
        ControllerAccess::showPage(controller(), manifest, 0, 0);
        tick();
        QTRY_VERIFY_WITH_TIMEOUT(states() == waiting && adStaged() == staged, waitMs);
        ads().empty("ad1");
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:2"), waitMs);
        // On a busy machine the second event waits behind the first report: sent, as the flush
        // timer would.
        const auto received = [this] {
            ControllerAccess::flushAdOutbox(controller());
            return ads().receivedEvents().size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(received(), 2, waitMs);
    }

    // How each answer to a resolve request leaves the occurrence it was for; after a reset in
    // flight, the busy refusal, and a late reply that changes nothing but sets the clock. A page
    // is asked for again no more than every ten seconds, whatever hint an empty answer came with
    // and however often the service fails it or leaves it out.
    void resolveAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("failure"); // the status of "ad_resolve_failed", if logged
        QTest::addColumn<int>("askedIn30s"); // resolves in the next 30 s of ticks; -1: not counted
        QTest::newRow("left out: back to planned") << "omit" << int(State::Planned) << "" << 3;
        QTest::newRow("stale check sequence") << "stale" << int(State::Planned) << "" << -1;
        QTest::newRow("401") << "401" << int(State::Planned) << "401" << -1;
        QTest::newRow("503, retryable") << "503" << int(State::Planned) << "503" << 3;
        QTest::newRow("400") << "400" << int(State::Expired) << "400" << 3;
        QTest::newRow("503 before the service's clock is known")
            << "503 no band" << int(State::Planned) << "503" << 3;
        QTest::newRow("400 before the service's clock is known")
            << "400 no band" << int(State::Expired) << "400" << 3;
        QTest::newRow("429 asking for 20 s") << "429" << int(State::Planned) << "429" << 1;
        QTest::newRow("reset in flight: busy") << "reset" << int(State::Planned) << "0" << -1;
        QTest::newRow("empty without a hint") << "empty" << int(State::Empty) << "" << 3;
        QTest::newRow("empty, hint already past") << "empty past" << int(State::Empty) << "" << 3;
    }

    void resolveAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(int, state);
        QFETCH(QString, failure);
        QFETCH(int, askedIn30s);
        make();
        ControllerAccess::showPage(controller(), rotation({"d20000", "S"}), 0, 0);
        if (askedIn30s >= 0 && !answer.endsWith("no band"))
            advanceServiceClock(0); // a band on the held clock, so that every hint is exact
        if (answer == "reset")
            ads().fill("ad1", {});
        else if (answer.startsWith("empty"))
            ads().empty("ad1", answer == "empty past" ? std::optional<qint64>(-5000) : std::nullopt);
        else if (answer == "omit")
            ads().omit("ad1");
        else if (answer == "stale")
            ads().shiftCheckSequence("ad1", 1);
        else if (answer == "429")
            harness->service().script("POST", W::adResolveRoute,
                                      {Reply::json(429, QJsonObject{{"code", "slow_down"}})
                                           .withHeader("Retry-After", "20")});
        else
            harness->service().script("POST", W::adResolveRoute,
                                      {Reply::json(answer.split(' ').first().toInt(),
                                                   QJsonObject{{"code", "nope"}})});
        QSignalSpy answered(&harness->transport(), &RuntimeTransport::adSlotsResolved);
        QSignalSpy failed(&harness->transport(), &RuntimeTransport::adSlotsResolveFailed);
        tick();
        if (answer == "reset") {
            ControllerAccess::resetAdPlanning(controller(), QStringLiteral("revision_change"));
            tick();
        }
        QTRY_COMPARE_WITH_TIMEOUT(answered.size() + failed.size(), 1 + (answer == "reset"), waitMs);
        QCOMPARE(int(occurrences().first().state), state);
        QCOMPARE(recorded("ad_resolve_failed", "status").join(','), failure);
        QVERIFY(answer != "reset" || harness->transport().serverNowHiMs() > 0);
        if (askedIn30s < 0)
            return;
        // The page stays on glass and its adslot stays due: each tick waits for its answer.
        const qsizetype before = resolves().size();
        for (int step = 0; step < 120; ++step) {
            passTime(250);
            tick();
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
        }
        QCOMPARE(resolves().size() - before, askedIn30s);
    }

    // A creative's way into the ad cache, and every refusal before a request is made.
    void download_data()
    {
        QTest::addColumn<QString>("contentPath"); // "{origin}": the service's host and port
        QTest::addColumn<FakeAdSlots::CreativeDeviation>("deviation");
        QTest::addColumn<QString>("code"); // empty: the creative ends ready
        QTest::addColumn<QString>("special");
        const auto row = [](const char* name, QString path, FakeAdSlots::CreativeDeviation d,
                            const char* code, const char* special = "") {
            QTest::newRow(name) << path << d << QString(code) << QString(special);
        };
        const QString good = QStringLiteral("/content/v1/ad-decisions/dec_row");
        const char* invalid = "ad_content_path_invalid";
        row("whole creative", good, {}, "");
        row("206 of the right length", good, {.status = 206}, "");
        row("one byte too many", good, {.extraBytes = 1}, "ad_download_failed");
        row("one byte too few", good, {.extraBytes = -1}, "ad_download_failed");
        row("cut connection", good, {.cut = true}, "ad_download_failed");
        row("401", good, {.status = 401}, "runtime_session_expired");
        row("query", good + "?x=1", {}, invalid);
        row("fragment", good + "#f", {}, invalid);
        row("user-info", "http://user@{origin}" + good, {}, invalid);
        row("another scheme", "https://{origin}" + good, {}, invalid);
        row("another host", "http://localhost:{port}" + good, {}, invalid);
        row("another port", "http://127.0.0.1:1" + good, {}, invalid);
        row("outside the route", "/content/v1/other/dec_row", {}, invalid);
        row("encoded slash", good + "%2F..%2Fx", {}, invalid);
        row("encoded backslash", good + "%5c..", {}, invalid);
        row("digest not lowercase", good, {}, "cache_declaration_invalid", "digest");
        row("full ad I/O queue", good, {}, "content_io_busy", "full");
        row("busy ad I/O queue", good, {.latencyMs = 2000}, "", "busy");
        // Failures of this machine's own writes: the page is asked for again after a wait that
        // grows while they repeat, and no download starts that the volume could not hold.
        row("no room for the creative", good, {}, "ad_storage_insufficient", "no room");
        row("ad cache refuses the copy", good, {}, "cache_open_failed", "cache refuses");
        row("a content candidate fails meanwhile", good, {.latencyMs = 1000}, "", "content fails");
        row("planning drops the decision meanwhile", good, {.latencyMs = 60000}, "", "dropped");
    }

    void download()
    {
        QFETCH(QString, contentPath);
        QFETCH(FakeAdSlots::CreativeDeviation, deviation);
        QFETCH(QString, code);
        QFETCH(QString, special);
        make();
        const QUrl origin = harness->service().url();
        FakeAdSlots::Fill fill{.decisionId = "dec_row"};
        fill.contentPath = QString(contentPath)
                               .replace("{origin}", origin.authority())
                               .replace("{port}", QString::number(origin.port()));
        if (special == "digest")
            fill.sha256 = QString(64, 'A');
        if (special == "no room")
            fill.bytes = qint64(1) << 52;
        std::optional<testfiles::Immutable> locked;
        if (special == "cache refuses") {
            const QString objects = harness->statePath("ad-cache/objects");
            QVERIFY(StorageFiles::ensurePrivateDirectory(objects));
            if (!locked.emplace(objects).isSet())
                QSKIP("the file system cannot make the ad cache immutable");
        }
        ads().fill("ad1", fill);
        ads().deviate("dec_row", deviation);

        // A job holds the ad I/O queue, at once with a full waiting room ("full"), or while the
        // creative is on its way, so that the commit waits and the temporary file goes ("busy").
        QSemaphore release;
        const auto flag = ControllerAccess::adCancel(controller());
        CacheIoQueue& io = ControllerAccess::adIo(controller());
        const auto job = [&release](bool blocks) {
            return [&release, blocks] {
                if (blocks)
                    release.acquire();
                return std::function<void()>([] {});
            };
        };
        for (int i = 0; special == "full" && i <= io.capacity(); ++i)
            QVERIFY(io.submit(flag, job(i == 0)));
        ControllerAccess::showPage(controller(), rotation({"d20000", "S"}), 0, 0);
        tick();
        if (special == "busy") {
            QTRY_COMPARE_WITH_TIMEOUT(creativeRequests(), 1, waitMs);
            QVERIFY(io.submit(flag, job(true)));
            QTRY_COMPARE_WITH_TIMEOUT(io.waitingCount(), 1, waitMs);
            QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);
            release.release(1);
        }
        if (special == "content fails") {
            QTRY_COMPARE_WITH_TIMEOUT(creativeRequests(), 1, waitMs);
            ControllerAccess::setCandidate(controller(), true);
            ControllerAccess::failCandidate(controller(), "content_download_failed");
        }
        if (special == "dropped") {
            // The download goes with the decision: nothing is fetched to the end or committed.
            QTRY_COMPARE_WITH_TIMEOUT(creativeRequests(), 1, waitMs);
            ControllerAccess::resetAdPlanning(controller(), "revision_change");
            QCOMPARE(ControllerAccess::adDownloads(controller()), 0);
            QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);
            return;
        }
        const int settled = code.isEmpty() ? int(State::Ready) : int(State::Retired);
        QTRY_COMPARE_WITH_TIMEOUT(int(occurrences().first().state), settled, waitMs);
        release.release(1);
        QCOMPARE(recorded("ad_preparation_failed", "code"),
                 code.isEmpty() ? QStringList() : QStringList{code});
        const bool fetched = code.isEmpty() || code == "ad_download_failed"
            || code == "runtime_session_expired" || code == "cache_open_failed";
        QCOMPARE(creativeRequests(), int(fetched));
        QCOMPARE(harness->devLog("ad.cache_busy").size(), int(special == "full"));
        QTRY_COMPARE_WITH_TIMEOUT(io.waitingCount() + int(io.isRunning()), 0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);
        if (special != "no room" && special != "cache refuses")
            return;
        // Filled again each time, the adslot stays due for a minute of ticks: asked for after
        // 10 s, then 20 s later, and not again within the minute.
        const auto quiet = [&] {
            const auto& all = occurrences();
            const auto waiting = [](const AdOccurrence& o) {
                return o.state == State::Resolving || o.state == State::Downloading;
            };
            return !ControllerAccess::adRequestsOutstanding(controller())
                && ControllerAccess::adDownloads(controller()) == 0 && !io.isRunning()
                && io.waitingCount() == 0 && std::none_of(all.cbegin(), all.cend(), waiting);
        };
        const qsizetype before = resolves().size();
        for (int step = 0; step < 240; ++step) {
            passTime(250);
            tick();
            QTRY_VERIFY_WITH_TIMEOUT(quiet(), waitMs);
        }
        QCOMPARE(resolves().size() - before, 2);
        QCOMPARE(creativeRequests(), fetched ? 3 : 0);
        QCOMPARE(recorded("ad_preparation_failed", "code"), QStringList(3, code));
    }

    // Ticks, page turns and clock jumps against a service whose every ad answer is generated
    // from a fixed seed: nothing crashes and the invariant holds throughout.
    void hostileService()
    {
        make();
        QRandomGenerator random(20261207);
        ads().setResolveBody([&random](const QJsonObject& request, qint64 nowMs) {
            return hostileResolve(random, request, nowMs);
        });
        ads().setVerdict([&random](const QJsonObject&, bool) {
            return pick<std::optional<QString>>(random, {"accepted", "maybe", std::nullopt});
        });
        const Manifest manifest = rotation({"d3000", "S", "S", "d2000", "S", "d1000"});
        ControllerAccess::showPage(controller(), manifest, 0, 2000);
        for (int round = 0; round < 120; ++round) {
            if (random.bounded(4) == 0)
                ControllerAccess::showPage(controller(), manifest,
                                           random.bounded(int(manifest.pages.size())),
                                           random.bounded(8000));
            if (random.bounded(3) == 0)
                advanceServiceClock(random.bounded(15000));
            tick();
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
        }
        QVERIFY(resolves().size() > 20); // failed and left-out pages wait ten seconds
    }

    // Events reach the service in batches of 32, one report at a time; an offline flip hands
    // the batch back without ever sending an event twice or settling the wrong batch; refused
    // batches are dropped, failed ones kept; a restart sends the batch in flight first.
    void reporting()
    {
        make();
        auto& service = harness->service();
        ControllerAccess::setOnline(controller(), false);
        ControllerAccess::setAdVisit(controller(), QStringLiteral("occ_a"), QStringLiteral("dec_a"));
        for (int i = 0; i < 40; ++i)
            ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("interrupted"), -5);
        // Events are taken once on disk.
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutboxSettled(controller()), waitMs);
        // No band yet: the local clock stamps the event.
        QCOMPARE(adStampIso(outbox().pending().first().endedAt),
                 stampOf(harness->clock().nowMs()).toUtf8());

        // Thirty-two go out; handed back while in flight, nothing else is sent until the
        // service's answer, which settles only the events it names.
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        ControllerAccess::handBackAdEventBatch(controller());
        QCOMPARE(outbox().pending().size(), 40);
        ControllerAccess::flushAdOutbox(controller());
        QVERIFY(outbox().inflight().isEmpty());
        // Offline meanwhile, so that nothing follows the answer on its own.
        ControllerAccess::setOnline(controller(), false);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
        QCOMPARE(outbox().pending().size(), 8);
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(ads().takenEventIds().size(), 40, waitMs);
        QCOMPARE(ads().receivedEvents().size(), 40); // none twice
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);

        // Partial outcomes, then a failure that keeps the batch and one that drops it.
        ads().setVerdict([](const QJsonObject& event, bool) -> std::optional<QString> {
            if (event["client_sequence"].toInteger() == 41)
                return std::nullopt;
            return QStringLiteral("pending_evidence");
        });
        ControllerAccess::setOnline(controller(), false);
        for (int i = 0; i < 3; ++i)
            ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutboxSettled(controller()), waitMs);
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(outbox().pending().size(), 1, waitMs);
        QCOMPARE(outbox().pending().first().clientSequence, 41);
        service.script("POST", W::adEventsRoute,
                       {Reply::json(503, QJsonObject{{"code", "unavailable"}}),
                        Reply::json(413, QJsonObject{{"code", "too_large"}})});
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(recorded("ad_events_report_failed", "status"),
                                  QStringList{"503"}, waitMs);
        QCOMPARE(outbox().pending().size(), 1);
        // Kept, and sent again only after a back-off, at most a second after a first failure.
        ControllerAccess::flushAdOutbox(controller());
        QVERIFY(!ControllerAccess::adRequestsOutstanding(controller()));
        passTime(1000);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(recorded("ad_events_report_dropped", "status"),
                                  QStringList{"413"}, waitMs);
        QVERIFY(outbox().pending().isEmpty() && outbox().inflight().isEmpty());

        // A restart with a batch in flight sends that batch first, under the same ids.
        Reply never = Reply::json(200, QByteArray());
        never.latencyMs = 600000;
        service.script("POST", W::adEventsRoute, {never});
        const int reports = int(service.requestsTo(W::adEventsRoute).size());
        ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 10);
        QTRY_COMPARE_WITH_TIMEOUT(service.requestsTo(W::adEventsRoute).size(), reports + 1, waitMs);
        const QString lost = outbox().inflight().value(0).eventId;
        service.script("POST", W::adEventsRoute, {});
        harness->rebuildController({});
        QVERIFY(harness->mintSession(true));
        ControllerAccess::setAdVisit(controller(), QStringLiteral("occ_b"), QStringLiteral("dec_b"));
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 20);
        QTRY_VERIFY_WITH_TIMEOUT(ads().takenEventIds().contains(lost), waitMs);
        // The first report after the restart; the new event follows once on disk.
        QCOMPARE(service.requestsTo(W::adEventsRoute).at(reports + 1).jsonBody()["events"][0]
                     ["event_id"].toString(),
                 lost);
        QCOMPARE(ads().redeliveries(), 0);
    }

    // Events an earlier run left undelivered, at a start with the machine's clock a day off (no
    // real-time clock, no time server yet): none is lost at load, and the first report after
    // the service has told its time leaves out only what is more than a day old by its clock.
    void undeliveredEventsAtStart_data()
    {
        QTest::addColumn<qint64>("localStepMs");
        const qint64 dayAndHour = AdOutbox::expiryMs + 3600000;
        QTest::newRow("local clock a day ahead") << dayAndHour;
        QTest::newRow("local clock a day behind") << -dayAndHour;
    }
    void undeliveredEventsAtStart()
    {
        QFETCH(qint64, localStepMs);
        make();
        const qint64 serviceMs = harness->clock().serviceNowMs();
        QJsonArray events;
        QStringList ids;
        for (const qint64 ageMs : {AdOutbox::expiryMs + 60000, qint64(3600000), qint64(60000)}) {
            ids.append(QStringLiteral("evt_") + QUuid::createUuid().toString(QUuid::WithoutBraces));
            events.append(QJsonObject{{"event_id", ids.last()}, {"decision_id", "dec_a"},
                                      {"occurrence_id", "occ_a"}, {"kind", "completed"},
                                      {"client_sequence", events.size() + 1},
                                      {"duration_ms", 15000}, {"queued_at_ms", serviceMs - ageMs},
                                      {"ended_at_ms", serviceMs - ageMs}});
        }
        QVERIFY(testfiles::write(harness->statePath("playback-state/ad-outbox.json"),
                                 QJsonDocument(QJsonObject{{"format", 1}, {"events", events}})
                                     .toJson(QJsonDocument::Compact)));
        harness->clock().stepLocalClock(localStepMs);
        harness->rebuildController({});
        QCOMPARE(outbox().pending().size(), 3);
        QVERIFY(harness->mintSession(true));
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_VERIFY_WITH_TIMEOUT(outbox().pending().isEmpty() && outbox().inflight().isEmpty(),
                                 waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ads().takenEventIds(), QSet<QString>(ids.cbegin() + 1, ids.cend()),
                                  waitMs);
        QCOMPARE(ads().receivedEvents().size(), 2);
    }
};

QTEST_MAIN(TestPlayerAds)
#include "tst_playerads.moc"
