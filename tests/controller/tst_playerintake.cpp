#include "operator/OperatorPanel.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
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

QJsonObject page(const QString& id, const QJsonObject& extra = {})
{
    const QJsonObject media{{"mediaId", id + "-m"}, {"src", "/content/media/" + id},
                            {"sha256", QString(64, QLatin1Char('a'))}, {"bytes", 1000},
                            {"contentType", "image/png"},
                            {"intrinsicSize", QJsonObject{{"width", 1920}, {"height", 1080}}}};
    const QJsonObject object{
        {"contractVersion", "talvorine.canvas/v1"}, {"id", id},
        {"canvas", QJsonObject{{"width", 1920}, {"height", 1080}, {"viewportFit", "contain"}}},
        {"transition", QJsonObject{{"type", "crossfade"}, {"durationMs", 500}}},
        {"advance", QJsonObject{{"mode", "duration"}, {"afterMs", 10000}}},
        {"primitives",
         QJsonArray{QJsonObject{{"id", "img"}, {"primitive", "image"},
                                {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960},
                                                     {"height", 540}}},
                                {"layer", 0}, {"contentFit", "contain"},
                                {"selector", QJsonObject{{"by", "all"}, {"oneAtATime", false}}},
                                {"resolvedMedia", QJsonArray{media}}, {"grantId", "grant-1"}}}}};
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

class TestPlayerIntake : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    // A controller with a runtime session and an open event stream; reports are accepted.
    ControllerHarness* session()
    {
        harness = std::make_unique<ControllerHarness>();
        ControllerHarness& h = *harness;
        if (!h.ready() || !h.mintSession())
            return nullptr;
        h.service().script("POST", W::reportsRoute, {Reply::json(200, QJsonObject{})});
        h.service().script("GET", W::eventsRoute, {Reply::eventStream()});
        h.transport().openEvents(QStringLiteral("cur_1"));
        const bool open = QTest::qWaitFor(
            [&h] { return h.service().openStreams(W::eventsRoute) == 1; }, waitMs);
        return open ? &h : nullptr;
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

    static int eventsOf(const ControllerHarness& h, const char* name)
    {
        return int(h.devLog(QLatin1String(name)).size());
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
        if (harness) {
            const QStringList surprises = harness->surprises();
            harness.reset();
            QVERIFY2(surprises.isEmpty(), qPrintable(surprises.join(QLatin1Char('\n'))));
        }
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
        QTest::addColumn<bool>("preparing"); // r1 is already being prepared
        const QJsonArray pages{page("p0", {{"visibility", QJsonObject{{"enabled", false}}}}),
                               page("p1")};
        const QJsonObject slot{{"id", "ad1"}, {"type", "adslot"}, {"adslot_id", "lobby"}};
        const QString idle = "awaiting_content";
        const QString invalid = "manifest_json_invalid";
        QTest::newRow("not a document") << v1 << QByteArray("{\"schemaVersion\":") << invalid
                                        << false << -1 << idle << false;
        QTest::newRow("v2 schema on v1") << v1 << manifest("r1", pages, 3) << invalid << false << -1
                                         << idle << false;
        QTest::newRow("every page dropped") << v1 << manifest("r1", QJsonArray{"a", 1})
                                            << "manifest_keep_lkg" << false << -1 << idle << false;
        QTest::newRow("no pages") << v1 << manifest("r1", {}) << "" << true << -1 << idle << false;
        QTest::newRow("first page outside its schedule") << v1 << manifest("r1", pages) << ""
                                                         << true << 1 << "starting" << false;
        QTest::newRow("ad slot first on v2") << v2 << manifest("r1", {slot, page("p1")}, 3) << ""
                                             << true << 1 << "starting" << false;
        QTest::newRow("revision being prepared") << v1 << manifest("r1", pages) << "" << false
                                                 << -1 << "starting" << true;
        QTest::newRow("stored") << QByteArray() << manifest("r1", pages, 3) << "" << true << 1
                                << "starting" << false;
        QTest::newRow("stored without pages") << QByteArray() << manifest("r1", {}) << "" << true
                                              << -1 << idle << false;
    }
    // Each body with nothing on glass: what holds (clamped), what is taken in and planned from
    // which page, and what is written: only a network assignment without pages is stored here.
    void intake()
    {
        QFETCH(QByteArray, route);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, held);
        QFETCH(int, pageIndex);
        QFETCH(bool, preparing);
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        StoragePlanRecord pending;
        pending.manifestRevision = QStringLiteral("r1");
        if (preparing)
            ControllerAccess::setPendingStoragePlan(c, pending);
        if (route.isEmpty()) {
            ControllerAccess::consumeStoredManifest(c, bytes);
        } else {
            h->service().script("GET", route, {body(bytes, "\"e1\"")});
            QVERIFY(fetch(*h, route));
        }

        const bool hold = !held.isEmpty();
        QVERIFY(!hold || eventsOf(*h, held.toLatin1()) == 1);
        QCOMPARE(ControllerAccess::manifestFailureHold(c), hold);
        const QTimer* retry = h->timer("eventFetchTimer");
        QVERIFY(retry->isActive() == hold
                && (!hold || (retry->interval() >= 250 && retry->interval() <= 900000)));
        QTEST(h->timer("adPlannerTimer")->isActive(), "revisionTaken");
        QVERIFY(pageIndex < 0 || ControllerAccess::pendingPageIndex(c) == pageIndex);
        QString storedRoute;
        QByteArray storedTag;
        QJsonObject plan{{"x", 1}};
        const std::optional<QByteArray> stored =
            stateOf(*h).loadLastKnownGood(&storedRoute, &storedTag, &plan);
        const bool written = QTest::currentDataTag() == QLatin1String("no pages");
        QCOMPARE(stored.has_value(), written);
        QVERIFY(!written || (*stored == bytes && storedRoute == v1 && storedTag == "\"e1\""
                             && plan.isEmpty()));
        QTEST(c.status(), "status");
        if (route == v1 && bytes.contains("\"schemaVersion\":3")) {
            QTRY_VERIFY_WITH_TIMEOUT(!h->service().requestsTo(W::reportsRoute).isEmpty(), waitMs);
            const QJsonObject report = h->service().requestsTo(W::reportsRoute).first().jsonBody();
            QCOMPARE(report["code"], "player.manifest_version_unexpected");
            QCOMPARE(report["context"].toObject()["expected"], "2");
        }
    }

    // Conditional fetches: the tag goes out only for the route, manifest and body it describes,
    // around the v2-to-v1 fallback too, and keeps doing so when the service's bytes for one
    // revision change; the same revision again is only a refresh.
    void conditionalFetches()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        const QByteArray first = manifest("r1", {});
        const QByteArray resigned = manifest("r1", {}, 2, {{"generatedAt", "2026-12-07T09:00:00Z"}});
        const QByteArray next = manifest("r2", {}, 3);
        const Reply gone = Reply::json(404, QJsonObject{{"code", "route_unavailable"}});
        h->service().script("GET", v1, {body(first, "\"e1\""), body(resigned, "\"e2\""),
                                        body("{"), Reply::json(304, QByteArray())});
        h->service().script("GET", v2, {gone, gone, body(next, "\"e3\""), gone});
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
        QVERIFY(!ControllerAccess::manifestFailureHold(h->controller()));
        QVERIFY(!h->timer("eventFetchTimer")->isActive());
        QCOMPARE(h->controller().status(), QStringLiteral("awaiting_content"));

        QVERIFY(fetch(*h, v2)); // a v2 revision: stored under its own route
        QString route;
        QByteArray tag;
        QCOMPARE(stateOf(*h).loadLastKnownGood(&route, &tag), std::optional<QByteArray>(next));
        QCOMPARE(route + tag, QString(v2) + "\"e3\"");
        QVERIFY(fetch(*h, v2)); // the fallback to v1 sends no v2 tag
        QTRY_COMPARE_WITH_TIMEOUT(h->service().attempts("GET", v1), 5, waitMs);
        QStringList tags;
        for (const auto& request : h->service().requestsTo(v1))
            tags.append(QString::fromLatin1(request.header(W::ifNoneMatchHeader)));
        QCOMPARE(tags, QStringList({"", "\"e1\"", "", "\"e2\"", ""}));
        QCOMPARE(eventsOf(*h, "manifest_v2_fallback"), 3);
    }

    // --- Failed fetches ----------------------------------------------------------------------

    void failures_data()
    {
        QTest::addColumn<int>("status"); // 0: the connection closes without an answer
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<qint64>("onGlassMs"); // -1: nothing on glass; else failing this long
        QTest::addColumn<bool>("hold");
        QTest::addColumn<qint64>("lowMs"); // -1: nothing armed
        QTest::addColumn<qint64>("highMs");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("keptCopy");
        using L = qint64;
        const QString idle = "awaiting_content";
        QTest::newRow("busy, two minutes") << 503 << "" << QByteArray("120") << L(-1) << false
                                           << L(120000) << L(144000) << idle << true;
        QTest::newRow("forbidden holds") << 403 << "" << QByteArray() << L(-1) << true << L(45000)
                                         << L(60000) << idle << true;
        QTest::newRow("upgrade required") << 426 << "" << QByteArray("600") << L(-1) << true
                                          << L(600000) << L(600000) << idle << true;
        QTest::newRow("clear the copy") << 409 << "clear_lkg" << QByteArray() << L(-1) << true
                                        << L(45000) << L(60000) << idle << false;
        QTest::newRow("payment required") << 402 << "payment_required" << QByteArray() << L(-1)
                                          << false << L(-1) << L(-1) << "payment_required" << true;
        QTest::newRow("archived") << 403 << "screen_archived" << QByteArray() << L(-1) << false
                                  << L(-1) << L(-1) << "archived" << false;
        QTest::newRow("no answer") << 0 << "" << QByteArray() << L(-1) << false << L(500)
                                   << L(1000) << idle << true;
        QTest::newRow("on glass, before the offline time") << 503 << "" << QByteArray() << L(59999)
                                                           << false << L(1000) << L(2000)
                                                           << "playing" << true;
        QTest::newRow("on glass, offline") << 503 << "" << QByteArray() << L(60000) << false
                                           << L(1000) << L(2000) << "offline_lkg_active" << true;
    }
    // Each answer of the service to a manifest fetch on the v2 route: the hold, the clamped
    // retry, the status, what is left of the stored copy and the route the log names.
    void failures()
    {
        QFETCH(int, status);
        QFETCH(QString, problem);
        QFETCH(QByteArray, retryAfter);
        QFETCH(qint64, onGlassMs);
        QFETCH(qint64, lowMs);
        QFETCH(qint64, highMs);
        ControllerHarness* h = session();
        QVERIFY(h);
        QVERIFY(stateOf(*h).saveLastKnownGood(manifest("r0", {}), "r0"));
        QJsonObject body{{"code", problem}};
        if (problem == "clear_lkg")
            body = {{"code", "assignment_revoked"}, {"action", problem}};
        Reply reply = Reply::json(status, problem.isEmpty() ? QJsonObject() : body);
        reply.fault = status == 0 ? Fault::Close : Fault::None;
        if (!retryAfter.isEmpty())
            reply = reply.withHeader("Retry-After", retryAfter);
        h->service().script("GET", v2, {reply});
        if (onGlassMs >= 0) {
            ControllerAccess::setActiveSlot(h->controller(), 0);
            ControllerAccess::setStatus(h->controller(), "playing");
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

    // During a failure hold, service events fetch once per ten seconds; the rest of the window
    // goes to the event fetch timer.
    void eventsDuringAHold()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        h->service().script("GET", v1, {body("[]")});
        QVERIFY(fetch(*h, v1));
        const auto changedAfter = [h](qint64 ms) {
            h->clock().advance(ms);
            return deliver(*h, sse(W::manifestChangedEvent), &RuntimeTransport::invalidated);
        };
        QVERIFY(changedAfter(0)); // the first event of the hold fetches at once
        QTRY_COMPARE_WITH_TIMEOUT(eventsOf(*h, "manifest_json_invalid"), 2, waitMs);
        QVERIFY(changedAfter(3000));
        QCOMPARE(h->timer("eventFetchTimer")->interval(), 7000);
        QVERIFY(changedAfter(1000));
        QCOMPARE(h->timer("eventFetchTimer")->interval(), 6000);
        QCOMPARE(h->service().attempts("GET", v1), 2);
        QVERIFY(h->expireSoon("eventFetchTimer", 0)); // the rest of the window fetches once
        QTRY_COMPARE_WITH_TIMEOUT(h->service().attempts("GET", v1), 3, waitMs);
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
        QVERIFY(deliver(*h, sse(W::screenArchivedEvent).repeated(2), &RuntimeTransport::screenArchived,
                        2));
        QCOMPARE(c.status(), QStringLiteral("archived"));
        QCOMPARE(eventsOf(*h, "runtime.screen_archived"), 1);
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
        QVERIFY(deliver(*h, sse(W::problemEvent, {{"code", "screen_archived"}, {"action", "clear_lkg"}}),
                        &RuntimeTransport::streamProblem));
        QCOMPARE(c.status(), QStringLiteral("archived"));

        ControllerAccess::setScreenLabel(c, QStringLiteral("Lobby"));
        s.script("PUT", W::screenLabelRoute, {Reply::json(200, QJsonObject{{"label", "Hall"}})});
        QSignalSpy answered(&h->transport(), &RuntimeTransport::screenLabelAnswered);
        Q_EMIT c.operatorPanel()->renameRequested(QStringLiteral("  Lobby "));
        Q_EMIT c.operatorPanel()->renameRequested(QStringLiteral("Hall"));
        QVERIFY(answered.wait(waitMs));
        QCOMPARE(s.requestsTo(W::screenLabelRoute).size(), 1);
        QCOMPARE(s.requestsTo(W::screenLabelRoute).first().jsonBody()["label"], "Hall");

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
        QVERIFY(stateOf(*h).markEnrolled());
        // A refusal whose body never ends: the unpair stays in flight until the test ends it.
        h->service().script("POST", W::identityResetRoute, {Reply::eventStream(503)});
        QSignalSpy failed(&h->transport(), &RuntimeTransport::unpairFailed);
        ControllerAccess::armSessionRetry(c, 5000);
        OperatorPanel& panel = *c.operatorPanel(); // the operator's way: menu, reset, confirm
        panel.openFromPointer();
        panel.activateRow(int(panel.menuItems().indexOf(OperatorMenuItem::Reset)));
        panel.activateRow(int(OperatorConfirmItem::Reset));
        const QString resetting = panel.status();
        QVERIFY(!h->timer("sessionRetryTimer")->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::identityResetRoute), 1, waitMs);
        h->service().closeStreams(W::identityResetRoute);
        QVERIFY(failed.wait(waitMs));
        QVERIFY(panel.status() != resetting && !panel.status().isEmpty());
        QVERIFY(h->timer("sessionRetryTimer")->isActive());
        QCOMPARE(h->timer("sessionRetryTimer")->interval(), 5000);

        Q_EMIT panel.resetConfirmed();
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::identityResetRoute), 1, waitMs);
        QVERIFY(deliver(*h, reload("rl-1"), &RuntimeTransport::reloadRequested));
        QVERIFY(h->expireSoon("reloadTimer", 0));
        QTRY_COMPARE_WITH_TIMEOUT(eventsOf(*h, "player.update_check"), 1, waitMs);
        QCOMPARE(h->service().openStreams(W::eventsRoute), 1); // deferred
        h->service().closeStreams(W::identityResetRoute);
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(eventsOf(*h, "player.update_check"), 2);
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::eventsRoute), 0, waitMs);
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
    // deleted and a new identity; a marker that cannot be deleted is retried until it goes.
    void wipe()
    {
        QFETCH(int, answer);
        QFETCH(bool, markerStuck);
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        const PersistentState state = stateOf(*h);
        QVERIFY(state.markEnrolled() && state.saveScreenLabel(QStringLiteral("Lobby")));
        QVERIFY(state.saveLastKnownGood(manifest("r0", {}), "r0"));
        NativePlayerIdentityStore identity(h->statePath(QStringLiteral("player-identity")));
        const QJsonObject key = identity.publicKey();
        std::optional<testfiles::Immutable> stuck;
        if (markerStuck)
            stuck.emplace(state.enrolledPath());
        if (answer == 200) {
            h->service().script("POST", W::identityResetRoute, {Reply::json(200, QJsonObject{})});
            Q_EMIT c.operatorPanel()->resetConfirmed();
        } else {
            ControllerAccess::handleUnpairFailed(c, answer);
        }
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::eventsRoute), 0, waitMs);
        QVERIFY(!h->transport().hasRuntimeSession() && !h->transport().hasDeviceCredential());
        QVERIFY(!state.loadLastKnownGood() && state.loadScreenLabel().isEmpty());
        if (markerStuck) {
            QCOMPARE(c.status(), QStringLiteral("bound_clear_failed"));
            QCOMPARE(identity.publicKey(), key);
            stuck.reset();
            QVERIFY(h->expireSoon("boundClearRetryTimer", 0));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!state.isEnrolled(), waitMs);
        QVERIFY(identity.publicKey() != key);
    }

    // --- Reloads ---------------------------------------------------------------------------

    // Each verdict from the service's events, the spread, one reload per window, and a
    // performed reload closing the stream.
    void reloads()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        c.setPlayerRelease(QStringLiteral("26.09.229"), QStringLiteral("abc"));
        QVERIFY(stateOf(*h).markEnrolled());
        QVERIFY(deliver(*h,
                        reload("rl-1") + reload("rl-1") + reload("")
                            + reload("rl-2", {{"expires_at", "2026-03-02T09:00:00Z"}})
                            + reload("rl-3", {{"kinds", QJsonArray{"kiosk"}}})
                            + reload("rl-4", {{"min_version", "26.09.1"}})
                            + reload("rl-5"),
                        &RuntimeTransport::reloadRequested, 7));
        QStringList verdicts;
        for (const QJsonObject& record : h->devLog(QStringLiteral("player.reload")))
            verdicts.append(record["verdict"].toString());
        QCOMPARE(verdicts, QStringList({"act", "duplicate", "invalid", "expired", "other_kind",
                                        "version_current", "rate_limited"}));
        QTimer* spread = h->timer("reloadTimer");
        QVERIFY(spread->isActive() && spread->interval() <= 120000);
        QVERIFY(stateOf(*h).loadReloadLedger().contains(QStringLiteral("rl-1")));

        // Past the rate limit but inside the first spread: recorded, the first keeps its time.
        h->clock().advance(600000);
        const int interval = spread->interval();
        QVERIFY(deliver(*h, reload("rl-6", {{"spread_s", 99999}}),
                        &RuntimeTransport::reloadRequested));
        QCOMPARE(h->devLog(QStringLiteral("player.reload")).last()["verdict"], "act");
        QCOMPARE(spread->interval(), interval);
        QVERIFY(stateOf(*h).loadReloadLedger().contains(QStringLiteral("rl-6")));

        QVERIFY(h->expireSoon("reloadTimer", 0));
        QTRY_COMPARE_WITH_TIMEOUT(h->service().openStreams(W::eventsRoute), 0, waitMs);
        QCOMPARE(h->devLog(QStringLiteral("player.update_check")).last()["reload_id"], "rl-1");
    }

    // A burst of malformed, oversized and contradictory answers and events through the real
    // transport: no crash, no fetch the test did not cause (one for all the events of a hold),
    // and every armed delay inside its clamp.
    void misbehavingService()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        const QJsonArray twins{page("p0"), page("p0")};
        const QList<Reply> replies{
            body("{"),
            body(QByteArray(RuntimeTransport::manifestByteLimit + 1, ' ')),
            body(manifest("r1", twins, 3)),
            body(manifest("r1", twins), "no-quotes"),
            Reply::json(304, QByteArray()),
            Reply::json(503, QByteArray("[]")).withHeader("Retry-After", "99999999999"),
            Reply::json(429, QJsonObject{{"action", "retry_backoff"}}).withHeader("Retry-After", "-5"),
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
        QTRY_COMPARE_WITH_TIMEOUT(h->service().attempts("GET", v1), int(replies.size()) + 1, waitMs);
        QVERIFY(clamped());
    }
};

QTEST_MAIN(TestPlayerIntake)
#include "tst_playerintake.moc"
