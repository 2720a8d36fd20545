#include "app/PlayerOpLog.h"
#include "operator/OperatorPanel.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
using Fault = talvorine::test::FakeRuntimeService::Fault;
using Request = talvorine::test::FakeRuntimeService::Request;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
const QByteArray v1 = W::manifestRoute;
const QByteArray v2 = W::manifestV2Route;

QJsonObject merged(QJsonObject object, const QJsonObject& extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// A page of one image, as little as the parser takes for a page.
QJsonObject page(const QString& id, const QJsonObject& extra = {})
{
    QJsonObject object = QJsonDocument::fromJson(R"({
        "contractVersion": "talvorine.canvas/v1",
        "canvas": {"width": 1920, "height": 1080, "viewportFit": "contain"},
        "transition": {"type": "crossfade", "durationMs": 500},
        "advance": {"mode": "duration", "afterMs": 10000},
        "primitives": [{"id": "img", "primitive": "image", "layer": 0, "contentFit": "contain",
            "rect": {"x": 0, "y": 0, "width": 960, "height": 540}, "grantId": "grant-1",
            "selector": {"by": "all", "oneAtATime": false},
            "resolvedMedia": [{"mediaId": "m", "src": "/content/media/m", "bytes": 1000,
                "sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                "contentType": "image/png", "intrinsicSize": {"width": 1920, "height": 1080}}]}]
    })").object();
    object.insert("id", id);
    return merged(object, extra);
}

QByteArray manifest(const QString& revision, const QJsonArray& pages, int schema = 2,
                    const QJsonObject& extra = {})
{
    const QJsonObject document{{"schemaVersion", schema},   {"manifestRevision", revision},
                               {"grantId", "grant-1"},      {"contentGeneration", 7},
                               {"screenId", "screen-1"},    {"screenLabel", "Lobby"},
                               {"playlistRevision", 3},     {"generatedAt", "2026-12-07T08:00:00Z"},
                               {"pages", pages}};
    return QJsonDocument(merged(document, extra)).toJson(QJsonDocument::Compact);
}

Reply body(const QByteArray& bytes, const QByteArray& etag = {})
{
    const Reply reply = Reply::json(200, bytes);
    return etag.isEmpty() ? reply : reply.withHeader("ETag", etag);
}

QByteArray sse(const QString& type, const QJsonObject& details = {})
{
    return "data: "
        + QJsonDocument(QJsonObject{{"type", type}, {"details", details}})
              .toJson(QJsonDocument::Compact)
        + "\n\n";
}

PersistentState stateOf(const ControllerHarness& h)
{
    return PersistentState(h.statePath("playback-state"));
}

} // namespace

Q_DECLARE_METATYPE(Reply)

class TestPlayerIntake : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    // A controller that took a runtime session (its first manifest answered 304, its event
    // stream open); reports are accepted, and the pages' image is not served: what these tests
    // take in ends at its download.
    // stamped: the service says its time when it challenges the player.
    ControllerHarness* session(bool stamped = true, const QString& userInfo = {})
    {
        harness = std::make_unique<ControllerHarness>(ControllerHarness::Options{.userInfo = userInfo});
        ControllerHarness& h = *harness;
        h.service().setChallengeServerTime(stamped);
        if (!h.ready() || !h.mintSession())
            return nullptr;
        h.service().script("POST", W::reportsRoute, {Reply::json(200, QJsonObject{})});
        h.service().script("GET", "/content/media/m", {Reply::json(404, QJsonObject{})});
        h.timer("adPlannerTimer")->stop(); // going online started it; a new revision starts it
        return &h;
    }

    // One manifest request through the transport, answered and handled.
    static bool fetch(ControllerHarness& h, const QByteArray& route)
    {
        RuntimeTransport& t = h.transport();
        QSignalSpy modified(&t, &RuntimeTransport::manifestModified);
        QSignalSpy same(&t, &RuntimeTransport::manifestNotModified);
        QSignalSpy failed(&t, &RuntimeTransport::manifestFailed);
        QSignalSpy unavailable(&t, &RuntimeTransport::manifestRouteUnavailable);
        ControllerAccess::fetchManifest(h.controller(), QString(route));
        return QTest::qWaitFor(
            [&] { return modified.size() + same.size() + failed.size() + unavailable.size() > 0; },
            waitMs);
    }

    // Events written to the open runtime stream, handled once the transport has emitted the
    // given signal as often as it is expected to.
    template <typename Signal>
    static bool deliver(ControllerHarness& h, const QByteArray& chunk, Signal signal, int count = 1)
    {
        QSignalSpy spy(&h.transport(), signal);
        h.service().sendEvents(W::eventsRoute, chunk);
        return QTest::qWaitFor([&] { return spy.size() >= count; }, waitMs);
    }

    static QByteArray reload(const QString& id, const QJsonObject& extra = {})
    {
        return sse(W::reloadEvent,
                   merged({{"reload_id", id}, {"expires_at", "2026-03-02T12:00:00Z"}}, extra));
    }

private slots:
    void cleanup()
    {
        ControllerHarness::release(harness);
    }

    // --- Intake through the transport, with nothing on glass ---------------------------------

    void intake_data()
    {
        QTest::addColumn<QByteArray>("route"); // empty: the stored copy at start-up
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("held"); // the event of a body that holds, once
        QTest::addColumn<bool>("revisionTaken");
        QTest::addColumn<int>("pageIndex"); // -1: not planned
        QTest::addColumn<QString>("status");
        // r1 has a pending plan: 1 idle, 2 with its candidate being prepared, 3 idle behind a
        // page on glass.
        QTest::addColumn<int>("preparing");
        const QJsonObject slot{{"id", "ad1"}, {"type", "adslot"}, {"adslot_id", "lobby"}};
        const QJsonArray pages{page("p0", {{"visibility", QJsonObject{{"enabled", false}}}}), slot,
                               page("p2")};
        const QString idle = "awaiting_content";
        const QString invalid = "manifest_json_invalid";
        QTest::newRow("not a document") << v1 << QByteArray("{\"schemaVersion\":") << invalid
                                        << false << -1 << idle << 0;
        QTest::newRow("v2 schema on v1") << v1 << manifest("r1", pages, 3) << invalid << false << -1
                                         << idle << 0;
        QTest::newRow("every page dropped") << v1 << manifest("r1", QJsonArray{"a", 1})
                                            << "manifest_keep_lkg" << false << -1 << idle << 0;
        QTest::newRow("no pages") << v1 << manifest("r1", {}) << "" << true << -1 << idle << 0;
        QTest::newRow("a page off its schedule, an ad slot") << v2 << manifest("r1", pages, 3) << ""
                                                             << true << 2 << "syncing" << 0;
        // Given with the origin, user information is left out of it, not carried into the pages'
        // addresses, where it would refuse every object.
        QTest::newRow("origin given with user information")
            << v2 << manifest("r1", pages, 3) << "" << true << 2 << "syncing" << 0;
        // Gone dark, the revision is planned again; while its candidate prepares, it is not.
        QTest::newRow("idle pending plan") << v1 << manifest("r1", pages) << "" << true << -1
                                           << "syncing" << 1;
        QTest::newRow("revision being prepared") << v1 << manifest("r1", pages) << "" << false
                                                 << -1 << "syncing" << 2;
        QTest::newRow("idle pending plan, a page on glass")
            << v1 << manifest("r1", pages) << "" << false << -1 << "playing" << 3;
        QTest::newRow("stored") << QByteArray() << manifest("r1", pages, 3) << "" << true << 2
                                << "syncing" << 0;
        QTest::newRow("stored without pages") << QByteArray() << manifest("r1", {}) << "" << true
                                              << -1 << idle << 0;
    }
    // Each body, with nothing on glass but in one row: what holds (clamped), what is taken in and
    // planned from which page, and what is written: only a network assignment without pages is
    // stored here.
    void intake()
    {
        QFETCH(QByteArray, route);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, held);
        QFETCH(int, pageIndex);
        QFETCH(int, preparing);
        const bool userInfo =
            QTest::currentDataTag() == QLatin1String("origin given with user information");
        ControllerHarness* h = session(true, userInfo ? QStringLiteral("ops:secret") : QString());
        QVERIFY(h);
        PlayerController& c = h->controller();
        StoragePlanRecord pending;
        pending.manifestRevision = QStringLiteral("r1");
        if (preparing == 3) {
            QVERIFY(h->showCachedPage());
            h->timer("adPlannerTimer")->stop();
        }
        if (preparing > 0)
            ControllerAccess::setPendingStoragePlan(c, pending);
        ControllerAccess::setCandidate(c, preparing == 2, true, pending.manifestRevision);
        if (route.isEmpty()) {
            ControllerAccess::consumeStoredManifest(c, bytes);
        } else {
            h->service().script("GET", route, {body(bytes, "\"e1\"")});
            QVERIFY(fetch(*h, route));
        }

        const bool hold = !held.isEmpty();
        QVERIFY(!hold || h->devLog(held).size() == 1);
        QCOMPARE(ControllerAccess::manifestFailureHold(c), hold);
        const QTimer* retry = h->timer("eventFetchTimer");
        QVERIFY(retry->isActive() == hold
                && (!hold || (retry->interval() >= 250 && retry->interval() <= 900000)));
        QTEST(h->timer("adPlannerTimer")->isActive(), "revisionTaken");
        QVERIFY(pageIndex < 0 || ControllerAccess::pendingPageIndex(c) == pageIndex);
        const bool written = QTest::currentDataTag() == QLatin1String("no pages");
        QCOMPARE(stateOf(*h).loadLastKnownGood(), written ? std::optional(bytes) : std::nullopt);
        // Nothing the player asks for carries the user information, as a URL or a header.
        for (const test::FakeRuntimeService::Request& request : h->service().requests())
            QVERIFY(!request.target.contains("ops") && !request.header("Authorization").startsWith("Basic"));
        QTEST(c.status(), "status");
    }

    // Conditional fetches: the tag goes out only for the route, manifest and body it describes,
    // around the v2-to-v1 fallback too, and keeps doing so when the service's bytes for one
    // revision change; the same revision again is only a refresh.
    void conditionalFetches()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        const QByteArray first = manifest("r1", {});
        const QByteArray resigned = manifest("r1", {}, 2, {{"generatedAt", "2026-12-07T09:00Z"}});
        const Reply gone = Reply::json(404, QJsonObject{{"code", "route_unavailable"}});
        h->service().script("GET", v1, {body(first, "\"e1\""), body(resigned, "\"e2\""),
                                        body("{"), Reply::json(304, QByteArray())});
        h->service().script("GET", v2, {gone, gone, body(manifest("r2", {}, 3), "\"e3\""), gone});
        QSignalSpy answered(&h->transport(), &RuntimeTransport::manifestModified);
        QSignalSpy unchanged(&h->transport(), &RuntimeTransport::manifestNotModified);

        QVERIFY(fetch(*h, v1)); // taken: nothing on glass, no pages
        h->timer("adPlannerTimer")->stop();
        QVERIFY(fetch(*h, v2)); // unavailable: the fallback asks v1 with the tag
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 2, waitMs);
        QVERIFY(!h->timer("adPlannerTimer")->isActive()); // the same revision: no ad reset
        QCOMPARE(stateOf(*h).loadLastKnownGood(), std::optional<QByteArray>(first)); // no rewrite
        QVERIFY(fetch(*h, v1)); // a bad body holds
        QVERIFY(ControllerAccess::manifestFailureHold(h->controller()));
        QVERIFY(fetch(*h, v2)); // the fallback sends the tag of the re-signed bytes
        QTRY_COMPARE_WITH_TIMEOUT(unchanged.size(), 1, waitMs);
        QVERIFY(!ControllerAccess::manifestFailureHold(h->controller())
                && !h->timer("eventFetchTimer")->isActive());

        QVERIFY(fetch(*h, v2)); // a v2 revision
        QVERIFY(fetch(*h, v2)); // the fallback to v1 sends no v2 tag
        QTRY_COMPARE_WITH_TIMEOUT(h->service().attempts("GET", v1), 5, waitMs);
        QStringList tags;
        for (const auto& request : h->service().requestsTo(v1))
            tags.append(QString::fromLatin1(request.header(W::ifNoneMatchHeader)));
        QCOMPARE(tags, QStringList({"", "", "\"e1\"", "", "\"e2\"", ""})); // the session's first
        QCOMPARE(h->devLog("manifest_v2_fallback").size(), 3);
    }

    // --- Failed fetches ----------------------------------------------------------------------

    void failures_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<qint64>("onGlassMs"); // -1: nothing on glass; else failing this long
        QTest::addColumn<bool>("hold");
        QTest::addColumn<qint64>("lowMs"); // -1: nothing armed
        QTest::addColumn<qint64>("highMs");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("keptCopy");
        using L = qint64;
        const QString idle = "awaiting_content";
        const auto answer = [](int status, const QString& code = {}, const QString& action = {}) {
            const QJsonObject problem{{"code", code}, {"action", action}};
            return Reply::json(status, code.isEmpty() ? QJsonObject() : problem);
        };
        Reply closed;
        closed.fault = Fault::Close;
        QTest::newRow("upgrade required") << answer(426).withHeader("Retry-After", "600") << L(-1)
                                          << true << L(600000) << L(600000) << idle << true;
        QTest::newRow("clear the copy") << answer(409, "assignment_revoked", "clear_lkg") << L(-1)
                                        << true << L(45000) << L(60000) << idle << false;
        QTest::newRow("payment required") << answer(402, "payment_required") << L(-1) << false
                                          << L(-1) << L(-1) << "payment_required" << true;
        QTest::newRow("archived") << answer(403, "screen_archived") << L(-1) << false << L(-1)
                                  << L(-1) << "archived" << false;
        QTest::newRow("no answer") << closed << L(-1) << false << L(500) << L(1000) << idle << true;
        QTest::newRow("on glass, before the offline time") << answer(503) << L(59999) << false
                                                           << L(1000) << L(2000) << "playing"
                                                           << true;
        QTest::newRow("on glass, offline") << answer(503) << L(60000) << false << L(1000) << L(2000)
                                           << "offline_lkg_active" << true;
    }
    // Each answer of the service to a manifest fetch on the v2 route: the hold, the clamped
    // retry, the status, what is left of the stored copy and the route the log names.
    void failures()
    {
        QFETCH(Reply, reply);
        QFETCH(qint64, onGlassMs);
        QFETCH(qint64, lowMs);
        QFETCH(qint64, highMs);
        ControllerHarness* h = session();
        QVERIFY(h);
        QVERIFY(stateOf(*h).saveLastKnownGood(manifest("r0", {}), "r0"));
        h->service().script("GET", v2, {reply});
        if (onGlassMs >= 0) {
            QVERIFY(h->showCachedPage());
            QCOMPARE(h->controller().status(), QStringLiteral("playing"));
            QVERIFY(fetch(*h, v2));
            h->clock().advance(onGlassMs);
        }
        QVERIFY(fetch(*h, v2));

        QTEST(ControllerAccess::manifestFailureHold(h->controller()), "hold");
        QTimer* retry = h->timer("eventFetchTimer");
        QCOMPARE(retry->isActive(), lowMs >= 0);
        QVERIFY2(lowMs < 0 || (retry->interval() >= lowMs && retry->interval() <= highMs),
                 qPrintable(QString::number(retry->interval())));
        QTEST(h->controller().status(), "shown");
        QTEST(stateOf(*h).loadLastKnownGood().has_value(), "keptCopy");
        const QList<QJsonObject> failed = h->devLog("manifest_failed");
        QVERIFY(failed.isEmpty() == (lowMs < 0));
        QVERIFY(failed.isEmpty() || failed.first()["path"] == QString(v2)); // the route fetched
    }

    // The service answering after an outage that was said asks for the manifest once: a service
    // need not replay what the screen missed. Not when a manifest answer came since the outage
    // began (the last came 60 s ago), nor while a Retry-After the service gave on it runs, nor
    // without a session. (Gaps too short to be said tell nothing: the transport's serviceReach.)
    void askedAtServiceReturn_data()
    {
        QTest::addColumn<qint64>("lostForMs");
        QTest::addColumn<QByteArray>("retryAfter"); // the manifest's last answer: 503 with it
        QTest::addColumn<bool>("session");
        QTest::addColumn<bool>("asked");
        QTest::newRow("an outage said") << qint64(40000) << QByteArray() << true << true;
        QTest::newRow("a manifest answer since it began") << qint64(90000) << QByteArray() << true << false;
        QTest::newRow("a Retry-After on the manifest") << qint64(40000) << QByteArray("600") << true << false;
        QTest::newRow("no session") << qint64(40000) << QByteArray() << false << false;
    }
    void askedAtServiceReturn()
    {
        QFETCH(qint64, lostForMs);
        QFETCH(QByteArray, retryAfter);
        QFETCH(bool, session);
        harness = std::make_unique<ControllerHarness>();
        ControllerHarness& h = *harness;
        QVERIFY(h.ready() && h.mintSession());
        if (!session)
            h.transport().forgetRuntimeSession();
        h.service().script("GET", v1, {Reply::json(503, QJsonObject{}).withHeader("Retry-After", retryAfter)});
        QVERIFY(retryAfter.isEmpty() || fetch(h, v1));
        h.clock().advance(60000);
        h.service().script("GET", v1, {Reply::notModified()});
        const qsizetype failed = h.devLog("manifest_failed").size();
        Q_EMIT h.transport().serviceAnswersAfterLoss(lostForMs);
        QTEST(h.transport().manifestFetchUnderWay(), "asked");
        QTRY_VERIFY_WITH_TIMEOUT(!h.transport().manifestFetchUnderWay(), waitMs);
        QCOMPARE(h.devLog("manifest_failed").size(), failed);
    }

    // --- Screen state --------------------------------------------------------------------

    // The screen's state from the service's events and the operator's panel in one run:
    // archived twice, manifests ignored meanwhile, restored with a session (a fetch) and without
    // (the overlay only), payment required, the stream problems, and a rename to the label it
    // already has.
    void screenState()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        test::FakeRuntimeService& s = h->service();
        QVERIFY(stateOf(*h).saveLastKnownGood(manifest("r0", {}), "r0"));
        QVERIFY(deliver(*h, sse(W::screenArchivedEvent).repeated(2),
                        &RuntimeTransport::screenArchived, 2));
        QCOMPARE(c.status(), QStringLiteral("archived"));
        QCOMPARE(h->devLog("runtime.screen_archived").size(), 1);
        QVERIFY(!stateOf(*h).loadLastKnownGood());
        s.script("GET", v1, {body(manifest("r1", {}), "\"e1\"")});
        QVERIFY(fetch(*h, v1));
        QVERIFY(!stateOf(*h).loadLastKnownGood()); // not taken in: nothing written
        QVERIFY(deliver(*h, sse(W::screenUnarchivedEvent), &RuntimeTransport::screenUnarchived));
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("awaiting_content"), waitMs);
        QCOMPARE(s.attempts("GET", v1), 2);

        // An action that is not for this player does nothing; payment keeps the status.
        QVERIFY(deliver(*h,
                        sse(W::problemEvent, {{"code", "quota"}, {"action", "hold_lkg"}})
                            + sse(W::problemEvent, {{"code", "payment_required"}}),
                        &RuntimeTransport::streamProblem, 2));
        QCOMPARE(c.overlayCondition(), QStringLiteral("payment_required"));
        QCOMPARE(c.status(), QStringLiteral("awaiting_content"));
        QVERIFY(deliver(*h,
                        sse(W::problemEvent, {{"code", "old"}, {"action", "upgrade_required"}})
                            + sse(W::problemEvent, {{"code", "lost"}, {"action", "remint"}}),
                        &RuntimeTransport::streamProblem, 2));
        QCOMPARE(c.noticeText(), QStringLiteral("Player update required"));
        QCOMPARE(h->devLog("session.remint_backoff").size(), 1); // minted moments ago
        h->timer("sessionRetryTimer")->stop();
        QVERIFY(deliver(*h,
                        sse(W::problemEvent,
                            {{"code", "screen_archived"}, {"action", "clear_lkg"}}),
                        &RuntimeTransport::streamProblem));
        QCOMPARE(c.status(), QStringLiteral("archived"));

        ControllerAccess::setScreenLabel(c, QStringLiteral("Lobby"));
        s.script("PUT", W::screenLabelRoute, {Reply::json(200, QJsonObject{{"label", "Hall"}})});
        QSignalSpy answered(&h->transport(), &RuntimeTransport::screenLabelAnswered);
        Q_EMIT c.operatorPanel()->renameRequested(QStringLiteral("  Lobby "));
        // The operator's way: Escape, up to the name row, the centre key, the name typed.
        OperatorPanel& panel = *c.operatorPanel();
        QVERIFY(c.handleKey(Qt::Key_Escape) && c.handleKey(Qt::Key_Up));
        QVERIFY(c.handleKey(Qt::Key_Return) && panel.editingName());
        panel.commitName(QStringLiteral(" Hall "));
        QVERIFY(answered.wait(waitMs));
        QCOMPARE(s.requestsTo(W::screenLabelRoute).size(), 1);
        QCOMPARE(s.requestsTo(W::screenLabelRoute).first().jsonBody()["label"], "Hall");
        QCOMPARE(panel.rows().value(0).toMap().value("label").toString(), QStringLiteral("Hall"));

        h->transport().forgetRuntimeSession();
        QSignalSpy overlay(&c, &PlayerController::overlayChanged);
        Q_EMIT h->transport().screenUnarchived();
        QVERIFY(overlay.size() == 1 && s.attempts("GET", v1) == 2);
    }

    // An unpair that fails restores the session retry it interrupted, and runs the reload that
    // was accepted while it was in flight.
    void unpairFails()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        // A refusal whose body never ends: the unpair stays in flight until the test ends it.
        h->service().script("POST", W::identityResetRoute, {Reply::eventStream(503)});
        QSignalSpy failed(&h->transport(), &RuntimeTransport::unpairFailed);
        ControllerAccess::armSessionRetry(c, 5000);
        OperatorPanel& panel = *c.operatorPanel(); // the operator's way: menu, reset, confirm
        panel.openFromPointer();
        panel.activateRow(int(panel.menuItems().indexOf(OperatorMenuItem::Reset)));
        panel.activateRow(int(OperatorConfirmItem::Reset));
        const QString resetting = panel.status();
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::identityResetRoute), 1, waitMs);
        h->service().closeStreams(W::identityResetRoute);
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(panel.status(), "Reset failed. Check the connection and try again.");
        QCOMPARE(panel.stageName(), QStringLiteral("confirm_reset"));
        QVERIFY(h->timer("sessionRetryTimer")->isActive()); // restored as it was
        QCOMPARE(h->timer("sessionRetryTimer")->interval(), 5000);

        Q_EMIT panel.resetConfirmed();
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::identityResetRoute), 1, waitMs);
        QVERIFY(deliver(*h, reload("rl-1"), &RuntimeTransport::reloadRequested));
        QVERIFY(h->expireSoon("reloadTimer", 0));
        QTRY_COMPARE_WITH_TIMEOUT(h->devLog("player.update_check").size(), 1, waitMs);
        QCOMPARE(h->service().openStreams(W::eventsRoute), 1); // deferred
        h->service().closeStreams(W::identityResetRoute);
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(h->devLog("player.update_check").size(), 2); // run: a new mint, a new stream
        QTRY_COMPARE_WITH_TIMEOUT(h->service().requestsTo(W::eventsRoute).size(), 2, waitMs);
    }

    void wipe_data()
    {
        QTest::addColumn<int>("answer"); // 200: success; 204: through the failure path
        QTest::addColumn<bool>("markerStuck");
        QTest::newRow("unpaired") << 200 << false;
        QTest::newRow("204 through the failure path") << 204 << false;
        QTest::newRow("marker cannot be deleted at first") << 200 << true;
    }
    // The wipe after an unpair: the stream closed, the session forgotten, the stored state
    // deleted, and a new identity pairing with a new code; a marker that cannot be deleted is
    // retried, the player staying bound with its identity, until it goes.
    void wipe()
    {
        QFETCH(int, answer);
        QFETCH(bool, markerStuck);
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        const PersistentState state = stateOf(*h);
        QVERIFY(state.saveScreenLabel(QStringLiteral("Lobby")));
        QVERIFY(state.saveLastKnownGood(manifest("r0", {}), "r0"));
        const QJsonObject code{{"code", "XYZ789"},
                               {"pairing_credential", "tvp_" + QString(43, 'p')},
                               {"expires_at", "2026-03-02T11:00:00Z"}};
        h->service().script("POST", W::pairingStartRoute, {Reply::json(200, code)});
        h->service().script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        std::optional<testfiles::Immutable> stuck;
        if (markerStuck)
            stuck.emplace(state.enrolledPath());
        // A refusal said of the old screen is not taken back for the new one.
        ControllerAccess::screenRefusalSaid(c) = true;
        if (answer == 200) {
            h->service().script("POST", W::identityResetRoute, {Reply::json(200, QJsonObject{})});
            Q_EMIT c.operatorPanel()->resetConfirmed();
        } else {
            ControllerAccess::unpairFailed(c, answer);
        }
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::eventsRoute), 0, waitMs);
        QVERIFY(!h->transport().hasRuntimeSession() && !h->transport().hasDeviceCredential());
        QVERIFY(!state.loadLastKnownGood() && state.loadScreenLabel().isEmpty());
        if (markerStuck) {
            QCOMPARE(c.status(), QStringLiteral("bound_clear_failed"));
            QVERIFY(ControllerAccess::bound(c));
            QVERIFY(h->service().requestsTo(W::pairingStartRoute).isEmpty());
            stuck.reset();
            QVERIFY(h->expireSoon("boundClearRetryTimer", 0));
        }
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::pairingCode(c), "XYZ789", waitMs);
        const QList<test::FakeRuntimeService::Challenge>& proofs = h->service().challenges();
        QCOMPARE(proofs.last().op, QStringLiteral("pairing.start"));
        QVERIFY(proofs.last().x != proofs.first().x); // another identity
        QVERIFY(!state.isEnrolled());
        QVERIFY(!ControllerAccess::screenRefusalSaid(c));
    }

    // --- Reloads ---------------------------------------------------------------------------

    // Each verdict from the service's events, one reload per spread, a performed reload that
    // mints anew, and the ledger across a restart; a long spread is cut to an hour.
    void reloads()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        h->controller().setPlayerRelease(QStringLiteral("26.09.229"), QStringLiteral("abc"));
        const auto verdicts = [h](const QByteArray& events, int count) {
            QStringList names;
            if (deliver(*h, events, &RuntimeTransport::reloadRequested, count)) {
                for (const QJsonObject& record : h->devLog(QStringLiteral("player.reload")))
                    names.append(record["verdict"].toString());
            }
            return names.mid(names.size() - count);
        };
        QCOMPARE(verdicts(reload("rl-1") + reload("rl-1") + reload("")
                              + reload("rl-2", {{"expires_at", "2026-03-02T09:00:00Z"}})
                              + reload("rl-3", {{"kinds", QJsonArray{"kiosk"}}})
                              + reload("rl-4", {{"min_version", "26.09.1"}}) + reload("rl-5"),
                          7),
                 QStringList({"act", "duplicate", "invalid", "expired", "other_kind",
                              "version_current", "rate_limited"}));
        QTimer* spread = h->timer("reloadTimer");
        const int interval = spread->interval();
        QVERIFY(spread->isActive() && interval <= 120000);
        h->clock().advance(600000); // past the rate limit, inside the spread: recorded only
        QCOMPARE(verdicts(reload("rl-6"), 1), QStringList({"act"}));
        QCOMPARE(spread->interval(), interval);

        QVERIFY(h->expireSoon("reloadTimer", 0)); // the stream closed, a new mint, a new stream
        QTRY_COMPARE_WITH_TIMEOUT(h->service().requestsTo(W::eventsRoute).size(), 2, waitMs);
        const QList<Request> mints = h->service().requestsTo(W::sessionMintRoute);
        QCOMPARE(mints.size(), 2);
        const char* key = W::idempotencyKeyHeader;
        QVERIFY(mints[1].header(key) != mints[0].header(key)); // a new mint, not a retry
        QCOMPARE(h->devLog(QStringLiteral("player.update_check")).last()["reload_id"], "rl-1");

        h->rebuildController({});
        QVERIFY(h->startBound());
        h->clock().advance(600000);
        QCOMPARE(verdicts(reload("rl-6") + reload("rl-7", {{"spread_s", 99999}}), 2),
                 QStringList({"duplicate", "act"}));
        QVERIFY(h->timer("reloadTimer")->interval() <= 3600000);
    }

    // A burst of malformed, oversized and contradictory answers and events through the real
    // transport: no crash, no fetch the test did not cause (during a hold, one for all events
    // inside ten seconds, then one when the rest of the window ends), every delay clamped.
    void misbehavingService()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        const QJsonArray twins{page("p0"), page("p0")};
        const QList<Reply> replies{
            body(QByteArray(RuntimeTransport::manifestByteLimit + 1, ' ')),
            body(manifest("r1", twins, 3)),
            body(manifest("r1", twins), "no-quotes"),
            Reply::json(503, QByteArray("[]")).withHeader("Retry-After", "99999999999"),
            Reply::json(429, QJsonObject{{"action", "retry_backoff"}})
                .withHeader("Retry-After", "-5"),
            Reply::json(409, QJsonObject{{"code", "x"}, {"action", "no_such"}}),
            Reply::json(200, QByteArray("null")),
        };
        h->service().script("GET", v1, replies);
        const auto clamped = [h] {
            const QTimer* t = h->timer("eventFetchTimer");
            return !t->isActive() || (t->interval() >= 250 && t->interval() <= 900000);
        };
        for (qsizetype i = 0; i < replies.size(); ++i)
            QVERIFY(fetch(*h, v1) && clamped());
        QVERIFY(deliver(*h,
                        "data: {not json\n\n" + sse("screen.unknown")
                            + sse(W::problemEvent, {{"code", QJsonArray{}}, {"action", 7}})
                            + "data: " + QByteArray(2 << 20, 'x') + "\n\n"
                            + sse(W::reloadEvent, {{"reload_id", QString(5000, 'r')}})
                            + sse(W::manifestChangedEvent).repeated(20),
                        &RuntimeTransport::invalidated, 20));
        const int fetches = int(replies.size()) + 1; // the test's, and one for all the events
        QTRY_COMPARE_WITH_TIMEOUT(h->devLog("manifest_json_invalid").size(), 3, waitMs);
        QCOMPARE(h->service().attempts("GET", v1), fetches);

        // Later in the hold's ten seconds, an event leaves the rest of them to the timer.
        h->clock().advance(3000);
        QVERIFY(deliver(*h, sse(W::manifestChangedEvent), &RuntimeTransport::invalidated));
        QCOMPARE(h->timer("eventFetchTimer")->interval(), 7000);
        QVERIFY(h->expireSoon("eventFetchTimer", 0));
        QTRY_COMPARE_WITH_TIMEOUT(h->service().attempts("GET", v1), fetches + 1, waitMs);
    }

    // A flood of "manifest changed" events while a fetch is out: one more fetch follows its
    // answer, however many came, and the developer log still begins with the process's start.
    void eventFlood()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        test::FakeRuntimeService& s = h->service();
        // The first fetch is answered only once the whole flood has been taken in.
        s.script("GET", v1, {Reply::eventStream(200, "application/json"), Reply::json(304, "")});
        QVERIFY(deliver(*h, sse(W::manifestChangedEvent).repeated(30000),
                        &RuntimeTransport::invalidated, 30000));
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(v1), 1, waitMs);
        QSignalSpy answered(&h->transport(), &RuntimeTransport::manifestNotModified);
        s.sendEvents(v1, manifest("r1", {}));
        s.closeStreams(v1);
        QVERIFY(answered.wait(waitMs));
        QVERIFY(!h->transport().manifestFetchUnderWay());
        QCOMPARE(s.attempts("GET", v1), 2);
        QCOMPARE(h->devLog().first()["event"], "process.start");
    }

    // One WebP per capture, refusals on the pairing screen and at a locked panel, a shape the
    // player does not make, a request lapsing while it is captured, and a late answer for a
    // capture a newer one took over: each operation closed by its own answer.
    void screenshots()
    {
        test::OpLogListener listener;
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        test::FakeRuntimeService& s = h->service();
        // The operation log keeps its connection: a record is spent until the listener hears.
        QTRY_VERIFY_WITH_TIMEOUT(
            (PlayerOpLog::finishLocal(PlayerOpLog::newId(), QStringLiteral("warm_up"), 0),
             !listener.lines().isEmpty()),
            waitMs);
        QImage picture(128, 72, QImage::Format_RGB32);
        picture.fill(Qt::red);
        ControllerAccess::setScreenshotGrab(c, [picture] { return picture; });
        s.script("PUT", W::screenshotRoute,
                 {Reply::eventStream(200, "application/json"), Reply::json(200, QJsonObject())});
        const auto shot = [](char letter) { return "shot_" + QString(16, QLatin1Char(letter)); };
        const QDateTime later(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC);
        const auto request = [&](char letter, const QString& format = "image/webp") {
            return sse(W::screenshotRequestedEvent,
                       {{"capture_id", shot(letter)}, {"expires_at", later.toString(Qt::ISODate)},
                        {"format", format}, {"max_width_divisor", 2}, {"max_height_divisor", 2},
                        {"quality", 80}, {"max_bytes", 2097152}});
        };
        const auto puts = [&s] { return s.requestsTo(W::screenshotRoute); };
        QVERIFY(deliver(*h, request('A').repeated(2), &RuntimeTransport::screenshotRequested, 2));
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::screenshotRoute), 1, waitMs);
        const QByteArray webp = puts().first().body;
        QVERIFY(puts().size() == 1 && webp.startsWith("RIFF") && webp.mid(8, 4) == "WEBP");
        QCOMPARE(puts().first().header(W::captureIdHeader), shot('A').toLatin1());
        // B is answered while A's upload is still out; A's answer comes last.
        QVERIFY(deliver(*h, request('B'), &RuntimeTransport::screenshotUploaded));
        QSignalSpy uploaded(&h->transport(), &RuntimeTransport::screenshotUploaded);
        s.closeStreams(W::screenshotRoute);
        QVERIFY(uploaded.wait(waitMs));
        const auto refused = [&](char letter, const QString& format = "image/webp") {
            const auto reported = &RuntimeTransport::screenshotFailureReported;
            return deliver(*h, request(letter, format), reported)
                ? puts().last().header(W::captureFailureHeader)
                : QByteArray();
        };
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        QCOMPARE(refused('C'), QByteArray("unsupported_surface"));
        ControllerAccess::setPairingCode(c, QString());
        // Escape opens the panel at its PIN, which the arrows and the centre key enter.
        QVERIFY(c.operatorPanel()->setPin(QStringLiteral("010000")) && c.handleKey(Qt::Key_Escape));
        QCOMPARE(refused('D'), QByteArray("unsupported_surface"));
        QVERIFY(c.handleKey(Qt::Key_Right) && c.handleKey(Qt::Key_Up));
        QVERIFY(c.handleKey(Qt::Key_Select));
        QTRY_COMPARE_WITH_TIMEOUT(c.operatorPanel()->stageName(), "menu", waitMs);
        c.operatorPanel()->close();
        QCOMPARE(refused('E', "image/png"), QByteArray("unsupported_surface"));
        ControllerAccess::setScreenshotGrab(c, [h, later] {
            // The request lapses meanwhile.
            h->clock().advance(later.toMSecsSinceEpoch() - h->clock().nowMs());
            return QImage(128, 72, QImage::Format_RGB32);
        });
        QVERIFY(deliver(*h, request('G'), &RuntimeTransport::screenshotRequested));
        QCOMPARE(puts().size(), 5);
        const auto closed = [&listener] { // the capture of each operation closed, or its error
            QStringList captures;
            for (const QJsonObject& record : listener.records()) {
                if (record["op"] == "screenshot.capture" && record["phase"] != "start")
                    captures.append(record["id"].toString(record["problem"]["code"].toString()));
            }
            return captures;
        };
        QTRY_COMPARE_WITH_TIMEOUT(closed(), (QStringList{shot('B'), shot('A'), shot('C'), shot('D'),
                                                         "screenshot_expired"}),
                                  waitMs);
    }

    // The service's times against its own clock: with the machine's clock stepped away from it
    // after the first exchange, a screenshot request, a toast and a reload request alive on the
    // service's clock are kept, and reports (the storage report too) are stamped with the
    // service's time. A service that never says
    // its time leaves the machine's clock to judge, as it did before.
    void serviceTimesOnServiceClock_data()
    {
        QTest::addColumn<bool>("stamped");
        QTest::addColumn<qint64>("stepMs");
        QTest::addColumn<bool>("kept");
        const qint64 hour = 3600000;
        QTest::newRow("local clock an hour ahead") << true << hour << true;
        QTest::newRow("local clock an hour behind") << true << -hour << true;
        QTest::newRow("no server_time, local clock right") << false << qint64(0) << true;
        QTest::newRow("no server_time, local clock an hour ahead") << false << hour << false;
    }
    void serviceTimesOnServiceClock()
    {
        QFETCH(bool, stamped);
        QFETCH(qint64, stepMs);
        QFETCH(bool, kept);
        ControllerHarness* h = session(stamped);
        QVERIFY(h);
        PlayerController& c = h->controller();
        test::FakeRuntimeService& s = h->service();
        const qint64 serviceMs = h->clock().serviceNowMs();
        h->clock().stepLocalClock(stepMs);
        const auto stamp = [](qint64 ms) {
            return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
        };
        ControllerAccess::setScreenshotGrab(c, [] {
            QImage picture(128, 72, QImage::Format_RGB32);
            picture.fill(Qt::red);
            return picture;
        });
        s.script("PUT", W::screenshotRoute, {Reply::json(200, QJsonObject())});
        const QByteArray events =
            sse(W::screenshotRequestedEvent,
                {{"capture_id", "shot_" + QString(16, 'A')},
                 {"expires_at", stamp(serviceMs + 60000)}, {"format", "image/webp"},
                 {"max_width_divisor", 2}, {"max_height_divisor", 2}, {"quality", 80},
                 {"max_bytes", 2097152}})
            + sse(W::toastEvent, {{"text", "Lobby closed"}, {"level", "error"},
                                  {"duration_ms", 60000}, {"expires_at", stamp(serviceMs + 30000)}})
            + sse(W::creditsChangedEvent, {{"remaining", 5}});
        QVERIFY(deliver(*h, events, &RuntimeTransport::creditsRemainingChanged));

        // A reload request with half an hour to live.
        QVERIFY(deliver(*h, reload("rl-1", {{"expires_at", stamp(serviceMs + 1800000)}}),
                        &RuntimeTransport::reloadRequested));
        h->timer("reloadTimer")->stop();
        QCOMPARE(h->devLog(QStringLiteral("player.reload")).last()["verdict"].toString(),
                 kept ? QStringLiteral("act") : QStringLiteral("expired"));

        const qsizetype reports = s.requestsTo(W::reportsRoute).size();
        const qsizetype observations = s.requestsTo(W::observationRoute).size();
        h->transport().reportCondition(QStringLiteral("info"), QStringLiteral("probe"), {});
        h->transport().putObservation(1920, 1080, 1.0, QStringLiteral("output"));
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});
        StoragePlanRecord plan;
        plan.manifestRevision = QStringLiteral("man_1");
        ControllerAccess::setPendingStoragePlan(c, plan);
        ControllerAccess::setStorageSample(c, qint64(1) << 30);
        ControllerAccess::sendStorageReport(c);
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::reportsRoute).size(), reports + 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::observationRoute).size(), observations + 1,
                                  waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::storageRoute).size(), 1, waitMs);
        const qint64 expectedMs = stamped ? serviceMs : serviceMs + stepMs;
        for (const QString& at :
             {s.requestsTo(W::reportsRoute).last().jsonBody()["occurred_at"].toString(),
              s.requestsTo(W::observationRoute).last().jsonBody()["observed_at"].toString(),
              s.requestsTo(W::storageRoute).last().jsonBody()["observed_at"].toString()}) {
            const qint64 atMs = QDateTime::fromString(at, Qt::ISODateWithMs).toMSecsSinceEpoch();
            QVERIFY2(qAbs(atMs - expectedMs) < 1000, qPrintable(at));
        }

        QCOMPARE(c.toastVisible(), kept);
        if (kept) {
            QCOMPARE(h->timer(u"toastTimer")->interval(), 30000);
            QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::screenshotRoute).size(), 1, waitMs);
            return;
        }
        QVERIFY(s.requestsTo(W::screenshotRoute).isEmpty());
        const QList<QJsonObject> refused = h->devLog("runtime.screenshot_request_refused");
        QCOMPARE(refused.size(), 1);
        QCOMPARE(refused.first()["reason"].toString(), QStringLiteral("expired"));
        QCOMPARE(refused.first()["clock"].toString(), QStringLiteral("local"));
    }
};

QTEST_MAIN(TestPlayerIntake)
#include "tst_playerintake.moc"
