#include "controller/PlayerIntake.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/TestFiles.h"

#include <QDeadlineTimer>
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
using Action = RuntimeCompat::ProblemAction;
using Since = AssignmentHoldStep::Since;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
const QByteArray v1 = manifestRouteV1;
const QByteArray v2 = manifestRouteV2;

QJsonObject page(const QString& id, const QJsonObject& extra = {})
{
    const QJsonObject media{{"mediaId", id + "-m"}, {"src", "/content/media/" + id},
                            {"sha256", QString(64, QLatin1Char('a'))}, {"bytes", 1000},
                            {"contentType", "image/png"},
                            {"intrinsicSize", QJsonObject{{"width", 1920}, {"height", 1080}}}};
    QJsonObject object{
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
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

QByteArray manifest(const QString& revision, const QJsonArray& pages, int schema = 2,
                    const QJsonObject& extra = {})
{
    QJsonObject document{{"schemaVersion", schema},   {"manifestRevision", revision},
                         {"grantId", "grant-1"},      {"contentGeneration", 7},
                         {"screenId", "screen-1"},    {"screenLabel", "Lobby"},
                         {"playlistRevision", 3},     {"generatedAt", "2026-12-07T08:00:00Z"},
                         {"pages", pages}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        document.insert(it.key(), it.value());
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

Reply body(const QByteArray& bytes, const QByteArray& etag = {})
{
    const Reply reply = Reply::json(200, bytes);
    return etag.isEmpty() ? reply : reply.withHeader("ETag", etag);
}

QByteArray problem(const QString& code, const QString& action = {})
{
    QJsonObject object{{"code", code}};
    if (!action.isEmpty())
        object.insert("action", action);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
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
    static bool fetch(ControllerHarness& h, const QByteArray& route, const QByteArray& etag = {})
    {
        RuntimeTransport& t = h.transport();
        QSignalSpy modified(&t, &RuntimeTransport::manifestModified);
        QSignalSpy same(&t, &RuntimeTransport::manifestNotModified);
        QSignalSpy failed(&t, &RuntimeTransport::manifestFailed);
        QSignalSpy unavailable(&t, &RuntimeTransport::manifestRouteUnavailable);
        route == v2 ? t.fetchManifestV2(etag) : t.fetchManifest(etag);
        return QTest::qWaitFor(
            [&] { return modified.size() + same.size() + failed.size() + unavailable.size() > 0; },
            waitMs);
    }

    static int eventsOf(const ControllerHarness& h, const char* name)
    {
        return int(h.devLog(QLatin1String(name)).size());
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
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("hold");
        QTest::addColumn<bool>("revisionTaken");
        QTest::addColumn<int>("pageIndex");
        QTest::addColumn<bool>("storedAfter");
        QTest::addColumn<QString>("status");
        const QJsonArray pages{page("p0", {{"visibility", QJsonObject{{"enabled", false}}}}),
                               page("p1")};
        const QJsonObject slot{{"id", "ad1"}, {"type", "adslot"}, {"adslot_id", "lobby"}};
        QTest::newRow("not a document") << v1 << QByteArray("{\"schemaVersion\":")
                                        << "manifest_json_invalid" << true << false << -1 << false
                                        << "awaiting_content";
        QTest::newRow("v2 schema on v1") << v1 << manifest("r1", pages, 3) << "manifest_json_invalid"
                                         << true << false << -1 << false << "awaiting_content";
        QTest::newRow("every page dropped") << v1 << manifest("r1", QJsonArray{"a", 1})
                                            << "manifest_keep_lkg" << true << false << -1 << false
                                            << "awaiting_content";
        QTest::newRow("no pages") << v1 << manifest("r1", {}) << QString() << false << true << -1
                                  << true << "awaiting_content";
        QTest::newRow("first page outside its schedule") << v1 << manifest("r1", pages)
                                                         << QString() << false << true << 1
                                                         << false << "starting";
        QTest::newRow("ad slot first on v2") << v2 << manifest("r1", {slot, page("p1")}, 3)
                                             << QString() << false << true << 1 << false
                                             << "starting";
        QTest::newRow("stored") << QByteArray() << manifest("r1", pages, 3) << QString() << false
                                << true << 1 << false << "starting";
        QTest::newRow("stored without pages") << QByteArray() << manifest("r1", {}) << QString()
                                              << false << true << -1 << false
                                              << "awaiting_content";
    }
    void intake()
    {
        QFETCH(QByteArray, route);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, event);
        QFETCH(bool, hold);
        QFETCH(int, pageIndex);
        QFETCH(bool, storedAfter);
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        if (route.isEmpty()) {
            ControllerAccess::consumeStoredManifest(c, bytes);
        } else {
            h->service().script("GET", route, {body(bytes, "\"e1\"")});
            QVERIFY(fetch(*h, route));
        }

        if (!event.isEmpty())
            QCOMPARE(eventsOf(*h, event.toLatin1()), 1);
        QCOMPARE(ControllerAccess::manifestFailureHold(c), hold);
        QTimer* retry = h->timer("eventFetchTimer");
        QCOMPARE(retry->isActive(), hold);
        QVERIFY(!hold || (retry->interval() >= 250 && retry->interval() <= 900000));
        QTEST(h->timer("adPlannerTimer")->isActive(), "revisionTaken");
        if (pageIndex >= 0)
            QCOMPARE(ControllerAccess::pendingPageIndex(c), pageIndex);
        QString storedRoute;
        QByteArray storedTag;
        QJsonObject plan{{"x", 1}};
        const std::optional<QByteArray> stored =
            stateOf(*h).loadLastKnownGood(&storedRoute, &storedTag, &plan);
        QCOMPARE(stored.has_value(), storedAfter);
        if (storedAfter)
            QCOMPARE(QList<QVariant>({*stored, storedRoute, storedTag, plan.isEmpty()}),
                     QList<QVariant>({bytes, QString(route), QByteArray("\"e1\""), true}));
        QTEST(c.status(), "status");
        if (QTest::currentDataTag() == QLatin1String("v2 schema on v1")) {
            QTRY_VERIFY_WITH_TIMEOUT(
                std::any_of(h->service().requests().cbegin(), h->service().requests().cend(),
                            [](const auto& request) {
                                const QJsonObject body = request.jsonBody();
                                return body["code"] == "player.manifest_version_unexpected"
                                    && body["context"].toObject()["expected"] == "2";
                            }),
                waitMs);
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
        const Reply gone = Reply::json(404, problem("route_unavailable"));
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
        QTest::addColumn<QByteArray>("problemBody");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<bool>("hold");
        QTest::addColumn<qint64>("lowMs"); // -1: nothing armed
        QTest::addColumn<qint64>("highMs");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("keptCopy");
        const QString idle = "awaiting_content";
        QTest::newRow("server error") << 503 << QByteArray() << QByteArray() << false
                                      << qint64(500) << qint64(1000) << idle << true;
        QTest::newRow("server error, two minutes") << 503 << QByteArray() << QByteArray("120")
                                                   << false << qint64(120000) << qint64(144000)
                                                   << idle << true;
        QTest::newRow("Retry-After past the clamp") << 503 << QByteArray()
                                                    << QByteArray("99999999999") << false
                                                    << qint64(900000) << qint64(900000) << idle
                                                    << true;
        QTest::newRow("forbidden holds") << 403 << QByteArray() << QByteArray() << true
                                         << qint64(45000) << qint64(60000) << idle << true;
        QTest::newRow("upgrade required") << 426 << QByteArray() << QByteArray("600") << true
                                          << qint64(600000) << qint64(600000) << idle << true;
        QTest::newRow("clear the copy") << 409 << problem("assignment_revoked", "clear_lkg")
                                        << QByteArray() << true << qint64(45000)
                                        << qint64(60000) << idle << false;
        QTest::newRow("payment required") << 402 << problem("payment_required") << QByteArray()
                                          << false << qint64(-1) << qint64(-1)
                                          << "payment_required" << true;
        QTest::newRow("archived") << 403 << problem("screen_archived") << QByteArray() << false
                                  << qint64(-1) << qint64(-1) << "archived" << false;
        QTest::newRow("no answer") << 0 << QByteArray() << QByteArray() << false << qint64(500)
                                   << qint64(1000) << idle << true;
    }
    void failures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, problemBody);
        QFETCH(QByteArray, retryAfter);
        QFETCH(qint64, lowMs);
        QFETCH(qint64, highMs);
        ControllerHarness* h = session();
        QVERIFY(h);
        QVERIFY(stateOf(*h).saveLastKnownGood(manifest("r0", {}), "r0"));
        Reply reply = Reply::json(status, problemBody);
        if (status == 0)
            reply.fault = Fault::Close;
        if (!retryAfter.isEmpty())
            reply = reply.withHeader("Retry-After", retryAfter);
        h->service().script("GET", v1, {reply});
        QVERIFY(fetch(*h, v1));

        QTEST(ControllerAccess::manifestFailureHold(h->controller()), "hold");
        QTimer* retry = h->timer("eventFetchTimer");
        QCOMPARE(retry->isActive(), lowMs >= 0);
        QVERIFY2(lowMs < 0 || (retry->interval() >= lowMs && retry->interval() <= highMs),
                 qPrintable(QString::number(retry->interval())));
        QTEST(h->controller().status(), "shown");
        QTEST(stateOf(*h).loadLastKnownGood().has_value(), "keptCopy");
        const QList<QJsonObject> failed = h->devLog("manifest_failed");
        QCOMPARE(failed.size(), lowMs >= 0 ? 1 : 0);
        QVERIFY(failed.isEmpty() || failed.first()["path"] == QString(v1));
    }

    // With a page on glass the offline status waits for the contract's offline time.
    void offlineAfterTheContractTime()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        PlayerController& c = h->controller();
        ControllerAccess::setActiveSlot(c, 0);
        ControllerAccess::setStatus(c, "playing");
        h->service().script("GET", v1, {Reply::json(503, QByteArray())});
        QVERIFY(fetch(*h, v1));
        QCOMPARE(c.status(), QStringLiteral("playing"));
        h->clock().advance(59999);
        QVERIFY(fetch(*h, v1));
        QCOMPARE(c.status(), QStringLiteral("playing"));
        h->clock().advance(1);
        QVERIFY(fetch(*h, v1));
        QCOMPARE(c.status(), QStringLiteral("offline_lkg_active"));
    }

    // During a failure hold, service events fetch once per ten seconds; the rest of the window
    // goes to the event fetch timer.
    void eventsDuringAHold()
    {
        ControllerHarness* h = session();
        QVERIFY(h);
        h->service().script("GET", v1, {body("[]")});
        QVERIFY(fetch(*h, v1));
        QTimer* retry = h->timer("eventFetchTimer");
        QVERIFY(retry->interval() >= 45000);
        QSignalSpy invalidated(&h->transport(), &RuntimeTransport::invalidated);
        const auto changed = [h, &invalidated] {
            const qsizetype before = invalidated.size();
            h->service().sendEvents(W::eventsRoute,
                                    sse(W::manifestChangedEvent, {{"manifest_revision", "r9"}}));
            QVERIFY(QTest::qWaitFor([&] { return invalidated.size() > before; }, waitMs));
        };
        changed(); // the first event of the hold fetches at once
        h->clock().advance(3000);
        changed();
        QTRY_COMPARE_WITH_TIMEOUT(retry->interval(), 7000, waitMs);
        h->clock().advance(1000);
        changed();
        QTRY_COMPARE_WITH_TIMEOUT(retry->interval(), 6000, waitMs);
        QVERIFY(retry->isActive());
    }

    // --- Rules -------------------------------------------------------------------------------

    void manifestFailureStep_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("decisionStatus");
        QTest::addColumn<Action>("action");
        QTest::addColumn<qint64>("retryAfterMs");
        QTest::addColumn<bool>("hold");
        QTest::addColumn<qint64>("lowMs");
        QTest::addColumn<qint64>("highMs");
        QTest::newRow("no answer backs off") << 0 << 0 << Action::HoldLkg << qint64(-1) << false
                                             << qint64(500) << qint64(1000);
        QTest::newRow("another failure's decision") << 503 << 404 << Action::HoldLkg << qint64(-1)
                                                    << false << qint64(500) << qint64(1000);
        QTest::newRow("server busy") << 503 << 503 << Action::RetryBackoff << qint64(120000)
                                     << false << qint64(120000) << qint64(144000);
        QTest::newRow("hold") << 403 << 403 << Action::HoldLkg << qint64(-1) << true
                              << qint64(45000) << qint64(60000);
        QTest::newRow("hold past the clamp") << 403 << 403 << Action::Remint << qint64(5000000)
                                             << true << qint64(900000) << qint64(900000);
        QTest::newRow("clear") << 409 << 409 << Action::ClearLkg << qint64(-1) << true
                               << qint64(45000) << qint64(60000);
    }
    void manifestFailureStep()
    {
        QFETCH(int, status);
        QFETCH(int, decisionStatus);
        QFETCH(Action, action);
        QFETCH(qint64, retryAfterMs);
        QFETCH(qint64, lowMs);
        QFETCH(qint64, highMs);
        RuntimeCompat::ProblemDecision decision;
        decision.status = decisionStatus;
        decision.action = action;
        decision.retryAfterMs = retryAfterMs;
        const ManifestFailureStep step = talvorine::manifestFailureStep(status, decision, 0);
        QTEST(step.hold, "hold");
        QVERIFY2(step.delayMs >= lowMs && step.delayMs <= highMs,
                 qPrintable(QString::number(step.delayMs)));
        QCOMPARE(step.clearLastKnownGood, action == Action::ClearLkg && status == decisionStatus);
    }

    void eventFetchStep_data()
    {
        QTest::addColumn<bool>("hold");
        QTest::addColumn<qint64>("lastMs");
        QTest::addColumn<qint64>("remainingMs");
        QTest::addColumn<bool>("fetchNow");
        QTest::addColumn<qint64>("armMs");
        const qint64 now = 1000000;
        QTest::newRow("no hold") << false << now - 10 << qint64(-1) << true << qint64(-1);
        QTest::newRow("first event of a hold") << true << qint64(0) << qint64(-1) << true
                                               << qint64(-1);
        QTest::newRow("window passed") << true << now - 10000 << qint64(-1) << true << qint64(-1);
        QTest::newRow("inside the window") << true << now - 9999 << qint64(-1) << false
                                           << qint64(1);
        QTest::newRow("timer sooner") << true << now - 4000 << qint64(5999) << false
                                      << qint64(-1);
        QTest::newRow("timer later") << true << now - 4000 << qint64(45000) << false
                                     << qint64(6000);
        QTest::newRow("clock set back") << true << now + 3600000 << qint64(-1) << true
                                        << qint64(-1);
    }
    void eventFetchStep()
    {
        QFETCH(bool, hold);
        QFETCH(qint64, lastMs);
        QFETCH(qint64, remainingMs);
        const EventFetchStep step = talvorine::eventFetchStep(hold, lastMs, 1000000, remainingMs);
        QTEST(step.fetchNow, "fetchNow");
        QTEST(step.armMs, "armMs");
    }

    void assignmentHoldStep_data()
    {
        QTest::addColumn<int>("phase");
        QTest::addColumn<bool>("observed");
        QTest::addColumn<bool>("sinceSet");
        QTest::addColumn<bool>("underWay");
        QTest::addColumn<bool>("nextObserved");
        QTest::addColumn<Since>("since");
        QTest::addColumn<bool>("clearHeld");
        QTest::newRow("content") << 3 << false << true << true << true << Since::Clear << true;
        QTest::newRow("update held") << 2 << true << false << true << true << Since::Start << false;
        QTest::newRow("still held") << 2 << true << true << true << true << Since::Keep << false;
        QTest::newRow("nothing under way") << 2 << true << true << false << true << Since::Clear
                                           << false;
        QTest::newRow("never seen content") << 2 << false << false << true << false << Since::Clear
                                            << false;
        QTest::newRow("pairing") << 1 << true << true << true << false << Since::Clear << true;
        QTest::newRow("offline") << 4 << true << true << true << true << Since::Clear << false;
    }
    void assignmentHoldStep()
    {
        QFETCH(int, phase);
        QFETCH(bool, observed);
        QFETCH(bool, sinceSet);
        QFETCH(bool, underWay);
        const AssignmentHoldFacts facts{RuntimePhase(phase), observed, sinceSet, true, underWay};
        const AssignmentHoldStep step = talvorine::assignmentHoldStep(facts);
        QTEST(step.observed, "nextObserved");
        QTEST(step.since, "since");
        QTEST(step.clearHeld, "clearHeld");
    }
};

QTEST_MAIN(TestPlayerIntake)
#include "tst_playerintake.moc"
