#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <functional>
#include <optional>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
using Fault = talvorine::test::FakeRuntimeService::Fault;
using Request = talvorine::test::FakeRuntimeService::Request;
using Trouble = std::function<void(ControllerHarness&)>;
namespace W = talvorine::RuntimeWire;
namespace tf = talvorine::testfiles;

Q_DECLARE_METATYPE(Reply)
Q_DECLARE_METATYPE(Trouble)

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr char spreadVariable[] = "TALVORINE_COLD_BOOT_SPREAD_MS";
const QString pairingCredential = QStringLiteral("tvp_") + QString(43, QLatin1Char('p'));
const QString deviceCredential =
    QStringLiteral("tvd_") + QString(22, QLatin1Char('d')) + '_' + QString(43, QLatin1Char('c'));

Reply problem(int status, const char* code)
{
    return Reply::json(status, QJsonObject{{"code", code}});
}

// Headers and the first byte of a body that never completes.
Reply silent()
{
    Reply reply = Reply::json(200, QByteArray("{ }"));
    reply.fault = Fault::Stall;
    return reply;
}

Reply codeAnswer(qint64 expiresAtMs)
{
    return Reply::json(
        200, QJsonObject{{"code", "ABC234"},
                         {"pairing_credential", pairingCredential},
                         {"expires_at", QDateTime::fromMSecsSinceEpoch(expiresAtMs, Qt::UTC)
                                            .toString(Qt::ISODateWithMs)}});
}

QByteArray claim(const char* nonce)
{
    return QByteArray("data: {\"type\":\"pairing.claimed\",\"details\":{\"nonce\":\"") + nonce
        + "\"}}\n\n";
}

// A member timer's interval while it runs; -1 when it does not.
int armed(const ControllerHarness& h, const QString& name)
{
    const QTimer* timer = h.timer(name);
    return timer && timer->isActive() ? timer->interval() : -1;
}

// "METHOD path", an identity challenge with the op it is for.
QString describe(const Request& request)
{
    QString text = QString::fromLatin1(request.method + ' ' + request.path);
    if (request.path == W::identityChallengeRoute)
        text += ' ' + request.jsonBody().value("op").toString();
    return text;
}

int mints(ControllerHarness& h)
{
    return int(h.service().requestsTo(W::sessionMintRoute).size());
}

// A revision of pages "p0", "p1", ... each showing one picture already in the cache, so that it
// plays without the service: its body as the service sends it, with a time zone when given.
QByteArray cachedPages(ControllerHarness& h, const QString& revision, int pages,
                       const QString& zone = {})
{
    QList<QJsonArray> primitives;
    for (int i = 0; i < pages; ++i) {
        const test::ServedObject picture = test::ServedObject::make(
            revision.toLatin1() + QByteArray::number(i), 256, quint32(qHash(revision)) + i);
        if (!picture.cacheIn(*ControllerAccess::contentCache(h.controller())))
            qFatal("picture not cached");
        primitives.append(QJsonArray{test::mediaPrimitive(QStringLiteral("picture"), {picture})});
    }
    QJsonObject document = test::contentDocument(primitives, revision);
    if (!zone.isEmpty())
        document.insert("timezone", zone);
    return QJsonDocument(document).toJson();
}

bool storeCachedPages(ControllerHarness& h, const QString& revision, int pages,
                      const QString& zone = {})
{
    return PersistentState(h.statePath("playback-state"))
        .saveLastKnownGood(cachedPages(h, revision, pages, zone), revision, nullptr,
                           W::manifestRoute, "\"e1\"");
}

// A player that was never bound: the service does not know it, so it shows a pairing code and
// listens for the claim.
bool showCode(ControllerHarness& h, const QList<Reply>& events, const QList<Reply>& completion)
{
    test::FakeRuntimeService& s = h.service();
    s.script("POST", W::sessionMintRoute, {problem(404, "device_unknown")});
    s.script("POST", W::pairingStartRoute, {codeAnswer(h.clock().nowMs() + 600000)});
    s.script("GET", W::pairingEventsRoute, events);
    s.script("POST", W::pairingCompleteRoute, completion);
    h.controller().start();
    return QTest::qWaitFor(
        [&] {
            return ControllerAccess::pairingCode(h.controller()) == QLatin1String("ABC234")
                && s.openStreams(W::pairingEventsRoute) == 1;
        },
        waitMs);
}

} // namespace

class TestPlayerSession : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    ControllerHarness& make(ControllerHarness::Options options = {})
    {
        harness = std::make_unique<ControllerHarness>(options);
        if (!harness->ready())
            qFatal("%s", qPrintable(harness->setupError()));
        return *harness;
    }

private slots:
    void cleanup()
    {
        qunsetenv(spreadVariable);
        ControllerHarness::release(harness);
    }

    // --- Start ---------------------------------------------------------------------------

    void startFromStateDirectory_data()
    {
        QTest::addColumn<QString>("prepared");
        QTest::addColumn<QByteArray>("spread");
        QTest::addColumn<int>("spreadCap");
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("identityMode");
        QTest::addColumn<bool>("enrolled");
        QTest::addColumn<QString>("surface");
        const QString mint = QStringLiteral("POST /runtime/v1/native/identity/challenges session.mint");
        const QString listen = QStringLiteral("GET /runtime/v1/native/pairing-events");
        QTest::newRow("empty") << "empty" << QByteArray() << 0 << mint << 0600 << false << "";
        QTest::newRow("no path") << "no path" << QByteArray() << 0 << "" << -1 << false << "fatal";
        QTest::newRow("a file in its place")
            << "file" << QByteArray() << 0 << "" << -1 << false << "fatal";
        // No file can be made in it (as on a full volume) until it takes them again.
        QTest::newRow("refused, then writable")
            << "refused" << QByteArray() << 0 << mint << 0600 << false << "";
        // It takes files, but the new identity cannot be read where it is to be made.
        QTest::newRow("identity refused, then made")
            << "identity refused" << QByteArray() << 0 << mint << 0600 << false << "";
        QTest::newRow("stored pairing")
            << "pairing" << QByteArray() << 0 << listen << 0600 << false << "awaiting_pairing";
        QTest::newRow("expired stored pairing")
            << "expired pairing" << QByteArray() << 0 << listen << 0600 << false << "";
        QTest::newRow("stored manifest, enrolled, no spread")
            << "enrolled manifest" << QByteArray("0") << 0 << mint << 0600 << true << "";
        QTest::newRow("stored manifest, spread above the cap")
            << "enrolled manifest" << QByteArray("99999") << 10000 << mint << 0600 << true << "";
        QTest::newRow("stored manifest without the marker, spread not a number")
            << "manifest" << QByteArray("soon") << 10000 << mint << 0600 << true << "";
        QTest::newRow("enrolled, identity gone")
            << "enrolled" << QByteArray() << 0 << "" << -1 << true << "identity_fault";
        // The stored page plays; the fault stays said over it, in the status and the chip.
        QTest::newRow("enrolled, identity gone, a page stored")
            << "enrolled page" << QByteArray() << 0 << "" << -1 << true << "identity_fault";
        QTest::newRow("fatal surface before start")
            << "fatal" << QByteArray() << 0 << "" << -1 << false << "fatal";
    }
    void startFromStateDirectory()
    {
        QFETCH(QString, prepared);
        QFETCH(QByteArray, spread);
        QFETCH(int, spreadCap);
        QFETCH(QString, first);
        QFETCH(int, identityMode);
        QFETCH(bool, enrolled);
        QFETCH(QString, surface);
        ControllerHarness& h = make();
        const PersistentState state(h.statePath("playback-state"));
        h.service().script("POST", W::sessionMintRoute, {silent()});
        h.service().script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        h.service().script("POST", W::pairingStartRoute, {silent()});
        if (!spread.isNull())
            qputenv(spreadVariable, spread);
        std::optional<tf::Immutable> locked;
        if (prepared == QLatin1String("refused") && !locked.emplace(h.stateDirectory()).isSet())
            QSKIP("the file system cannot make the state directory immutable");
        const bool identityRefused = prepared == QLatin1String("identity refused");
        if (identityRefused)
            QVERIFY(QDir().mkpath(h.statePath("player-identity")));
        if (prepared == QLatin1String("no path")) {
            h.rebuildControllerOn(QString());
        } else if (prepared == QLatin1String("file")) {
            QVERIFY(tf::write(h.statePath("in-the-way"), "x"));
            h.rebuildControllerOn(h.statePath("in-the-way"));
        } else if (prepared.endsWith(QLatin1String("pairing"))) {
            const qint64 expiry = h.clock().nowMs() + (prepared.startsWith('e') ? -1 : 600000);
            QVERIFY(NativePairingStore(h.statePath("pairing-session"))
                        .save({"ABC234", pairingCredential,
                               QDateTime::fromMSecsSinceEpoch(expiry, Qt::UTC)}));
        } else if (prepared.endsWith(QLatin1String("manifest"))) {
            QVERIFY(state.saveLastKnownGood("{}", "r1", nullptr, W::manifestRoute, "\"e1\""));
            QVERIFY(NativePlayerIdentityStore(h.statePath("player-identity")).open(true));
        } else if (prepared.endsWith(QLatin1String("page"))) {
            QVERIFY(storeCachedPages(h, "rev-1", 1));
            h.scene().setAnswering(true);
        } else if (prepared == QLatin1String("fatal")) {
            h.controller().enterFatal(FatalSurface::ColourContractMissing);
        }
        if (prepared.startsWith(QLatin1String("enrolled")))
            QVERIFY(state.markEnrolled());
        PlayerController& c = h.controller();

        c.start();
        if (locked || identityRefused) {
            // The surface shows while the directory takes no files, which is looked at again
            // every 30 s; once it takes them, the player goes on without a restart. A look
            // that finds the same refusal leaves the surface as it is.
            QVERIFY(c.fatalVisible());
            QCOMPARE(armed(h, "localStateRetryTimer"), 30000);
            QSignalSpy fatalChanges(&c, &PlayerController::fatalChanged);
            QVERIFY(h.expireSoon(u"localStateRetryTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(armed(h, "localStateRetryTimer"), 30000, waitMs);
            QVERIFY(c.fatalVisible());
            QCOMPARE(fatalChanges.count(), 0);
            QVERIFY(h.service().requests().isEmpty());
            locked.reset();
            if (identityRefused)
                QVERIFY(QDir(h.statePath("player-identity")).removeRecursively());
            QVERIFY(h.expireSoon(u"localStateRetryTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(!c.fatalVisible(), waitMs);
        }
        const QList<QJsonObject> spreads = h.devLog("session.cold_boot_spread");
        if (spreads.isEmpty()) {
            QVERIFY(!h.timer(u"sessionRetryTimer")->isActive());
        } else {
            const int delay = spreads.at(0).value("delay_ms").toInt();
            QVERIFY2(delay >= 1 && delay <= spreadCap, qPrintable(QString::number(delay)));
            QCOMPARE(armed(h, "sessionRetryTimer"), delay);
            QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        }
        if (first.isEmpty()) {
            QVERIFY(!h.timer(u"mintWatchdogTimer")->isActive());
            QVERIFY(h.service().requests().isEmpty());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!h.service().requests().isEmpty(), waitMs);
            QCOMPARE(describe(h.service().requests().first()), first);
        }
        QCOMPARE(tf::modeOf(h.statePath("player-identity")), identityMode);
        QCOMPARE(state.isEnrolled(), enrolled);
        QCOMPARE(c.fatalVisible(), surface == QLatin1String("fatal"));
        if (c.fatalVisible()) {
            // Only the splash is still judged behind a fatal surface, and a named state
            // directory looked at again.
            QVERIFY(h.timer(u"splashTimer")->isActive());
            QVERIFY(!h.timer(u"storageSampleTimer")->isActive());
            QCOMPARE(h.timer(u"localStateRetryTimer")->isActive(),
                     prepared == QLatin1String("file"));
        } else if (!surface.isEmpty()) {
            if (prepared.endsWith(QLatin1String("page"))) {
                QTRY_VERIFY_WITH_TIMEOUT(c.hasActiveContent(), waitMs);
                QCOMPARE(c.overlayCondition(), QStringLiteral("repair_needed"));
            }
            QCOMPARE(c.status(), surface);
        }
        if (prepared == QLatin1String("expired pairing")) {
            // A claim made while the player was off may still arrive: listen, then look again.
            QVERIFY(ControllerAccess::pairingCode(c).isEmpty());
            QCOMPARE(armed(h, "pairingExpiryTimer"), 1000);
        }
    }

    // --- Session -------------------------------------------------------------------------

    // A bound player's session through the real start, the event stream going down and up with
    // content on glass, and the re-mint after a lost session: at once when the last mint is
    // older than 10 s, backed off inside them, whatever the wall clock says meanwhile.
    void boundSession()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        QStringList statuses;
        QObject scope;
        connect(&c, &PlayerController::statusChanged, &scope, [&] { statuses << c.status(); });
        const Reply expired = problem(401, "runtime_session_expired");
        s.script("GET", W::eventsRoute,
                 {Reply::eventStream(), Reply::eventStream(), expired, Reply::eventStream(),
                  expired, Reply::eventStream(), expired, Reply::eventStream()});

        QVERIFY(h.startBound());
        QCOMPARE(mints(h), 1);
        QCOMPARE(s.requestsTo(W::sessionMintRoute).at(0).proofVerdict, QStringLiteral("ok"));
        QCOMPARE(statuses, (QStringList{"session_ready", "syncing"}));
        QCOMPARE(s.requestsTo(W::manifestRoute).size(), 1);
        QCOMPARE(s.requestsTo(W::eventsRoute).at(0).query, QByteArray("cursor=cur_1"));
        const int poll = armed(h, "safetyPollTimer");
        QVERIFY(poll >= 240000 && poll <= 360000);
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::observationRoute).size(), 1, waitMs);
        const QJsonObject surface =
            s.requestsTo(W::observationRoute).at(0).jsonBody().value("surfaces")[0].toObject();
        QCOMPARE(surface.value("width").toInt(), 1920);
        QCOMPARE(surface.value("presentation").toString(), QStringLiteral("windowed"));

        // A page goes on glass through the readiness gate; the stream drops while it plays.
        QVERIFY(h.showCachedPage());
        QCOMPARE(c.status(), QStringLiteral("playing"));
        s.closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("offline_lkg_active"), waitMs);
        // Offline shows only once the rules allow it, not for a stream that just went down.
        QVERIFY(c.overlayCondition() != QLatin1String("offline_playing"));
        h.clock().advance(60000);
        ControllerAccess::publishOverlay(c);
        QCOMPARE(c.overlayCondition(), QStringLiteral("offline_playing"));
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("playing"), waitMs);
        QVERIFY(c.overlayCondition() != QLatin1String("offline_playing"));

        s.closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(mints(h), 2, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);
        QVERIFY(h.devLog("session.remint_backoff").isEmpty());

        s.closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("session.remint_backoff").size(), 1, waitMs);
        const QJsonObject backoff = h.devLog("session.remint_backoff").at(0);
        QCOMPARE(backoff.value("attempt").toInt(), 1);
        QCOMPARE(armed(h, "sessionRetryTimer"), backoff.value("delay_ms").toInt());
        QCOMPARE(mints(h), 2);
        QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(mints(h), 3, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("playing"), waitMs);

        h.clock().advance(20000);
        h.clock().stepLocalClock(-3600000);
        s.closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(mints(h), 4, waitMs);
        QCOMPARE(h.devLog("session.remint_backoff").size(), 1);
    }

    // What the screen and the service are told along one run of a bound player, on the test's
    // clock. Started without its service, it plays its stored pages (their unusable zone said
    // once) and shows that it plays offline at the contract's bound; the chip goes when the
    // service is back. A slow next page of one revision is no update; a new revision is, and
    // held past the quiet bound it is reported once. A reload whose new session never comes
    // stops what needs the stream and is offline again; a credential the service then refuses
    // is said over what plays, page turn after page turn.
    void toldWhatHappens()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        const auto turn = [&h](qint64 ms) {
            return h.untilActivated([&h, ms] {
                h.clock().advance(ms);
                h.expireSoon(u"pageTimer");
            });
        };
        QVERIFY(test::prepareBoundState(h.stateDirectory()));
        QVERIFY(storeCachedPages(h, "rev-1", 2, "Europe/Berln"));
        qputenv(spreadVariable, "0");
        s.setRefusing(true);
        QVERIFY(h.untilActivated([&c] { c.start(); }));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer(u"offlineChipTimer")->isActive(), waitMs);
        ControllerAccess::armSessionRetry(c, 900000); // the next mint when the test says
        QCOMPARE(h.devLog("schedule_timezone_unusable").size(), 1);
        QVERIFY(c.overlayCondition().isEmpty());
        h.clock().advance(60000);
        QVERIFY(h.expireSoon(u"offlineChipTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(c.overlayCondition(), QStringLiteral("offline_playing"), waitMs);

        s.script("POST", W::reportsRoute, {Reply::json(202, QJsonObject())});
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});
        h.answerSessionRoutes();
        s.setRefusing(false);
        QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(c.overlayCondition().isEmpty(), waitMs);
        QCOMPARE(c.status(), QStringLiteral("playing"));
        // A download asks for a session while the stream is up: the mint failing says nothing
        // of the stream.
        s.script("POST", W::sessionMintRoute, {problem(503, "busy")});
        ControllerAccess::retryDeviceSession(c);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer(u"sessionRetryTimer")->isActive(), waitMs);
        ControllerAccess::armSessionRetry(c, 900000);
        QVERIFY(!h.timer(u"offlineChipTimer")->isActive() && h.timer(u"adPlannerTimer")->isActive());

        const qsizetype asked = h.scene().readinessRequests().size();
        h.clock().advance(10000);
        QVERIFY(h.expireSoon(u"pageTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), asked + 1, waitMs);
        QVERIFY(c.overlayCondition().isEmpty() && !h.timer(u"assignmentHoldTimer")->isActive());
        QVERIFY(h.untilActivated([&h] { h.scene().answerLatest(); }));

        s.script("GET", W::manifestRoute, {Reply::json(200, cachedPages(h, "rev-2", 2))});
        s.sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
        QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), asked + 2, waitMs);
        QCOMPARE(c.overlayCondition(), QStringLiteral("syncing"));
        h.clock().advance(10000);
        QVERIFY(h.expireSoon(u"assignmentHoldTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(c.overlayCondition(), QStringLiteral("assignment_held"), waitMs);
        QVERIFY(h.untilActivated([&h] { h.scene().answerLatest(); }));
        const auto held = [&s] {
            const QList<Request> reports = s.requestsTo(W::reportsRoute);
            return int(std::count_if(reports.cbegin(), reports.cend(), [](const Request& r) {
                return r.jsonBody().value("code") == QLatin1String("runtime.assignment_held");
            }));
        };
        QTRY_COMPARE_WITH_TIMEOUT(held(), 1, waitMs);

        s.script("POST", W::sessionMintRoute, {silent(), problem(403, "device_revoked")});
        const int minted = mints(h);
        s.sendEvents(W::eventsRoute, "data: {\"type\":\"player.reload\",\"details\":{"
                                     "\"reload_id\":\"rl-1\",\"spread_s\":0,"
                                     "\"expires_at\":\"2026-03-02T12:00:00Z\"}}\n\n");
        QTRY_COMPARE_WITH_TIMEOUT(mints(h), minted + 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 0, waitMs);
        for (const char16_t* ads : {u"adPlannerTimer", u"adOutboxFlushTimer"})
            QVERIFY(!h.timer(ads)->isActive());
        QVERIFY(h.expireSoon(u"mintWatchdogTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer(u"sessionRetryTimer")->isActive(), waitMs);
        ControllerAccess::armSessionRetry(c, 900000);
        QVERIFY(turn(60000));
        QCOMPARE(c.overlayCondition(), QStringLiteral("offline_playing"));

        QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(c.overlayCondition(), QStringLiteral("session_revoked"), waitMs);
        QVERIFY(turn(10000));
        QCOMPARE(c.overlayCondition(), QStringLiteral("session_revoked"));
        QCOMPARE(held(), 1);
    }

    // A bound player against a service that answers its mints in every way in turn, one mint at
    // a time, on the player's clock: each problem action with its delay inside the clamps (the
    // attempt count grows on every path), Retry-After at its extremes, the watchdog's abort
    // backing off once, "proof_invalid" holding from the fourth inside ten minutes, and a storm
    // of refused event streams re-minting ever more slowly.
    void misbehavingService()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        struct Step {
            Reply reply;
            int low;
            int high;
            QString status;
        };
        const Reply busy = problem(503, "busy");
        const Reply proof = problem(400, "proof_invalid");
        const QString retrying = QStringLiteral("session_retrying");
        const QList<Step> steps{
            {silent(), 500, 1000, "starting"},
            {problem(403, "device_refused").withHeader("Retry-After", "600"), 600000, 600000,
             retrying},
            {proof, 2000, 4000, retrying},
            {proof, 4000, 8000, retrying},
            {proof, 8000, 16000, retrying},
            {proof, 675000, 900000, "proof_invalid"},
            {Reply::json(200, QByteArray("{")), 32000, 64000, retrying},
            {Reply::json(200, QByteArray(RuntimeTransport::replyByteLimit + 1, ' ')), 64000,
             128000, retrying},
            {busy.withHeader("Retry-After", "0"), 128000, 256000, retrying},
            {busy.withHeader("Retry-After", "86400"), 900000, 900000, retrying},
            {Reply::json(426, QJsonObject{{"code", "upgrade_required"}, {"min_supported", "99"}}),
             675000, 900000, "upgrade_required"},
            {problem(409, "repair_required"), 675000, 900000, "repair_required"},
            {Reply::json(410, QJsonObject{{"code", "content_withdrawn"}, {"action", "clear_lkg"}}),
             675000, 900000, "content_withdrawn"},
            {Reply::json(500, QJsonObject{{"code", "session_lost"}, {"action", "remint"}}),
             150000, 300000, retrying},
            {ControllerHarness::sessionGranted(), -1, -1, "syncing"},
        };
        QList<Reply> replies;
        for (const Step& step : steps)
            replies << step.reply;
        const Reply refused = problem(401, "runtime_session_expired");
        h.service().script("POST", W::sessionMintRoute, replies);
        h.service().script("GET", W::eventsRoute,
                           {refused, refused, refused, Reply::eventStream()});
        h.answerSessionRoutes();
        QVERIFY(NativePlayerIdentityStore(h.statePath("player-identity")).open(true));
        QVERIFY(PersistentState(h.statePath("playback-state")).markEnrolled());
        QSignalSpy failed(&h.transport(), &RuntimeTransport::deviceSessionFailed);
        QSignalSpy succeeded(&h.transport(), &RuntimeTransport::deviceSessionSucceeded);
        // The next mint reaches the service only once every earlier one has its outcome.
        const auto nextMint = [&](int index) {
            QTRY_COMPARE_WITH_TIMEOUT(mints(h), index + 1, waitMs);
            QVERIFY(failed.size() + succeeded.size() >= index);
        };
        const auto retryAfterOutcome = [&](int low, int high) {
            const int delay = armed(h, "sessionRetryTimer");
            QVERIFY2(delay >= low && delay <= high, qPrintable(QString::number(delay)));
            h.clock().advance(delay);
            QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        };

        c.start();
        for (int i = 0; i < steps.size(); ++i) {
            nextMint(i);
            if (i == 0)
                QVERIFY(h.expireSoon(u"mintWatchdogTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(failed.size() + succeeded.size(), i + 1, waitMs);
            QCOMPARE(c.status(), steps.at(i).status);
            if (steps.at(i).status == QLatin1String("upgrade_required"))
                QVERIFY(c.noticeVisible());
            // The machine's clock jumps past the proofs' window: the refusals still count.
            if (i == 4)
                h.clock().stepLocalClock(3600000);
            if (steps.at(i).low > 0)
                retryAfterOutcome(steps.at(i).low, steps.at(i).high);
        }
        QVERIFY(!c.noticeVisible());
        // The watchdog's abort was never taken for a problem of its own.
        QCOMPARE(h.devLog("session.problem").size(), steps.size() - 2);

        for (int storm = 1; storm <= 3; ++storm) {
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("session.remint_backoff").size(), storm, waitMs);
            retryAfterOutcome(500 << (storm - 1), 1000 << (storm - 1));
            nextMint(int(steps.size()) + storm - 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(h.service().openStreams(W::eventsRoute), 1, waitMs);
        QCOMPARE(mints(h), steps.size() + 3);
        // A bound player refused at its mint holds; it never pairs again.
        QVERIFY(h.service().requestsTo(W::pairingStartRoute).isEmpty());
    }

    // A service that cannot be reached at all is said once it has been for half a minute, with
    // its origin and Qt's reason, however many mints fail, and once more when it answers again:
    // each line whole, its priority with it, and the second, which asks nothing of the operator,
    // not as an error.
    // So is a service that refuses the bound screen's mints, as one it does not know does. One
    // out of reach is asked again within a minute, however long it has been: nothing else would
    // tell the screen, which says it plays offline until then, that it is back.
    void unreachableServiceSaidOnce_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QByteArray>("reason");
        QTest::addColumn<QByteArray>("back");
        const QByteArray answers = "answers again.\n";
        QTest::newRow("refused port") << false << QByteArray("cannot be reached (Connection refused)") << answers;
        QTest::newRow("plain http answered to https") << true << QByteArray("cannot be reached (SSL handshake failed") << answers;
        QTest::newRow("the screen unknown to it")
            << false << QByteArray("refuses this screen (HTTP 404 device_unknown): the screen keeps what it shows")
            << QByteArray("accepts this screen again.\n");
    }
    void unreachableServiceSaidOnce()
    {
        QFETCH(bool, tls);
        QFETCH(QByteArray, reason);
        QFETCH(QByteArray, back);
        using Transport = test::FakeRuntimeService::Transport;
        ControllerHarness& h = make({.transport = tls ? Transport::Https : Transport::Http});
        test::FakeRuntimeService& s = h.service();
        // Reached, the service refuses the screen's first four mints instead.
        const bool refusing = reason.startsWith("refuses");
        const auto unreachable = [&](bool on) {
            if (!refusing)
                tls ? s.setPlainHttp(on) : s.setRefusing(on);
        };
        QVERIFY(test::prepareBoundState(h.stateDirectory()));
        const int refused = 8;
        if (refusing)
            s.script("POST", W::sessionMintRoute, QList<Reply>(refused, problem(404, "device_unknown")) << ControllerHarness::sessionGranted());
        h.answerSessionRoutes();
        unreachable(true);
        QSignalSpy failed(&h.transport(), &RuntimeTransport::deviceSessionFailed);
        const QList<QByteArray> lines = test::journalRecordsOf([&] {
            h.controller().start();
            for (int mint = 1; mint <= refused; ++mint) {
                QTRY_COMPARE_WITH_TIMEOUT(failed.size(), mint, waitMs);
                QVERIFY(refusing || armed(h, "sessionRetryTimer") <= 60000);
                // Out of reach for half a minute by the third.
                if (QTimer* lasting = h.transport().findChild<QTimer*>("serviceReachTimer");
                    mint == 3 && !refusing) {
                    QVERIFY(lasting->isActive());
                    lasting->start(0);
                }
                if (mint == refused)
                    unreachable(false);
                QVERIFY(h.expireSoon(u"sessionRetryTimer"));
            }
            QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);
        });
        const QByteArray service =
            "Runtime service " + s.url().adjusted(QUrl::RemovePath).toEncoded() + ' ';
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).startsWith("<3>" + service + reason), lines.at(0));
        QCOMPARE(lines.at(1), "<5>" + service + back);
    }

    // Screens out of reach for minutes ask again (for sessions, or event streams) 30-60 s after
    // each refusal, each at a moment of its own, so that screens cut off together do not come
    // back together; a Retry-After the service answered with after a refused connection is kept.
    void retriesOutOfReach_data()
    {
        QTest::addColumn<bool>("stream");
        QTest::addColumn<int>("refusals");
        QTest::addColumn<QByteArray>("retryAfter"); // the service's answer after them: 503 with it
        QTest::addColumn<int>("lowMs"); // the screen's last wait
        QTest::addColumn<int>("highMs");
        QTest::newRow("sessions of three screens") << false << 9 << QByteArray() << 30000 << 60000;
        QTest::newRow("event streams of three screens") << true << 9 << QByteArray() << 30000 << 60000;
        QTest::newRow("503 with Retry-After 600 after a refused connection")
            << false << 1 << QByteArray("600") << 600000 << 630000;
    }
    void retriesOutOfReach()
    {
        QFETCH(bool, stream);
        QFETCH(int, refusals);
        QFETCH(QByteArray, retryAfter);
        QFETCH(int, lowMs);
        QFETCH(int, highMs);
        std::vector<std::unique_ptr<ControllerHarness>> screens;
        QSet<int> waits;
        for (int screen = 0; screen < (retryAfter.isEmpty() ? 3 : 1); ++screen) {
            ControllerHarness& h = *screens.emplace_back(std::make_unique<ControllerHarness>());
            RuntimeTransport& t = h.transport();
            QSignalSpy dropped(&t, &RuntimeTransport::eventConnectionChanged);
            QSignalSpy failed(&t, &RuntimeTransport::deviceSessionFailed);
            QSignalSpy& refused = stream ? dropped : failed;
            QVERIFY(stream ? h.mintSession() : test::prepareBoundState(h.stateDirectory()));
            refused.clear();
            h.answerSessionRoutes();
            h.service().setRefusing(true);
            stream ? h.service().closeStreams(W::eventsRoute) : h.controller().start();
            h.expireSoon(u"sessionRetryTimer"); // the cold boot's spread
            QTimer* retry = stream ? t.findChild<QTimer*>("runtimeStreamReconnectTimer")
                                   : h.timer(u"sessionRetryTimer");
            int waited = 0;
            for (int asked = 1; asked <= refusals + int(!retryAfter.isEmpty()); ++asked) {
                QTRY_VERIFY_WITH_TIMEOUT(refused.size() == asked && retry->isActive(), waitMs);
                waited = retry->interval();
                h.clock().advance(waited); // the screen asks again when its wait runs out
                retry->start(0);
                if (asked == refusals && !retryAfter.isEmpty()) {
                    h.service().setRefusing(false);
                    h.service().script("POST", W::identityChallengeRoute,
                                       {problem(503, "busy").withHeader("Retry-After", retryAfter)});
                }
            }
            QVERIFY2(waited >= lowMs && waited <= highMs, qPrintable(QString::number(waited)));
            waits.insert(waited);
        }
        QVERIFY(!retryAfter.isEmpty() || waits.size() > 1);
    }

    // A failed enrolled-marker write keeps the player bound in memory and is retried with
    // back-off until it lands.
    void boundMarkerRetried()
    {
        ControllerHarness& h = make();
        const PersistentState state(h.statePath("playback-state"));
        QVERIFY(state.saveScreenLabel(QStringLiteral("Lobby")));
        QVERIFY(NativePlayerIdentityStore(h.statePath("player-identity")).open(true));
        std::optional<tf::Immutable> locked(std::in_place, h.statePath("playback-state"));
        if (!locked->isSet())
            QSKIP("the file system cannot make the state directory immutable");
        h.service().script("POST", W::sessionMintRoute, {problem(401, "device_refused")});
        h.controller().start();
        QCOMPARE(h.devLog("bound.persist_failed").size(), 1);
        QVERIFY(ControllerAccess::bound(h.controller()));
        const int first = armed(h, "boundRetryTimer");
        QVERIFY(first >= 500 && first <= 1000);
        // Refused at its mint, a bound player holds instead of pairing again.
        QTRY_COMPARE_WITH_TIMEOUT(h.controller().status(), QStringLiteral("session_retrying"),
                                  waitMs);
        QVERIFY(h.expireSoon(u"boundRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("bound.persist_failed").size(), 2, waitMs);
        const int second = armed(h, "boundRetryTimer");
        QVERIFY(second >= 1000 && second <= 2000);
        locked.reset();
        QVERIFY(h.expireSoon(u"boundRetryTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(state.isEnrolled(), waitMs);
        QVERIFY(!h.timer(u"boundRetryTimer")->isActive());
        QVERIFY(h.service().requestsTo(W::pairingStartRoute).isEmpty());
    }

    // --- Pairing -------------------------------------------------------------------------

    // A fresh player pairs on its own: a code after a failed start sent again with the same
    // key, the operator's claim, a completion retried once, the celebration, the label and the
    // marker saved, and a mint with the new device credential that opens the session.
    void pairingFlow()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        s.script("POST", W::sessionMintRoute,
                 {problem(404, "device_unknown"), ControllerHarness::sessionGranted()});
        s.script("POST", W::pairingStartRoute,
                 {problem(503, "busy"), codeAnswer(h.clock().nowMs() + 600000)});
        s.script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        s.script("POST", W::pairingCompleteRoute,
                 {problem(503, "busy"),
                  Reply::json(200, QJsonObject{{"screen_label", " Lobby "},
                                               {"device_credential", deviceCredential}})});
        h.answerSessionRoutes();

        c.start();
        QTRY_COMPARE_WITH_TIMEOUT(armed(h, "pairingStartTimer"), 1000, waitMs);
        QVERIFY(h.expireSoon(u"pairingStartTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::pairingCode(c), QStringLiteral("ABC234"),
                                  waitMs);
        QCOMPARE(c.status(), QStringLiteral("awaiting_pairing"));
        const QList<Request> starts = s.requestsTo(W::pairingStartRoute);
        QCOMPARE(starts.at(1).header(W::idempotencyKeyHeader),
                 starts.at(0).header(W::idempotencyKeyHeader));
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::pairingEventsRoute), 1, waitMs);

        QCOMPARE(s.sendEvents(W::pairingEventsRoute, claim("nonce-1")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("pairing_completion_retrying"),
                                  waitMs);
        QVERIFY(ControllerAccess::pairingCode(c).isEmpty());
        QCOMPARE(armed(h, "pairingCompletionRetryTimer"), 1000);
        QVERIFY(h.expireSoon(u"pairingCompletionRetryTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::pairingCelebrating(c), waitMs);
        QCOMPARE(armed(h, "celebrationTimer"), 4600);
        const PersistentState state(h.statePath("playback-state"));
        QCOMPARE(state.loadScreenLabel(), QStringLiteral("Lobby"));
        QVERIFY(state.isEnrolled());
        QVERIFY(!tf::exists(h.statePath("pairing-session")));
        for (const Request& completion : s.requestsTo(W::pairingCompleteRoute))
            QCOMPARE(completion.proofVerdict, QStringLiteral("ok"));

        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);
        QCOMPARE(s.requestsTo(W::sessionMintRoute).at(1).jsonBody().value("device_credential"),
                 deviceCredential);
        QCOMPARE(s.requestsTo(W::manifestRoute).size(), 1);
        QCOMPARE(s.openStreams(W::pairingEventsRoute), 0);
        QVERIFY(h.expireSoon(u"celebrationTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::pairingCelebrating(c), waitMs);
    }

    // What goes wrong while a code is shown: the rotations to a fresh code (with the reason as
    // the status) and the retries, each after its delay.
    void pairingTroubles_data()
    {
        QTest::addColumn<QList<Reply>>("events");
        QTest::addColumn<QList<Reply>>("completion");
        QTest::addColumn<Trouble>("trouble");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("timer");
        QTest::addColumn<int>("delay");
        const QList<Reply> open{Reply::eventStream()};
        const QList<Reply> never{silent()};
        const auto closed = [](ControllerHarness& h) {
            h.service().closeStreams(W::pairingEventsRoute);
            QVERIFY(QTest::qWaitFor([&] { return armed(h, "pairingEventsRetryTimer") > 0; },
                                    waitMs));
        };
        const auto reopened = [closed](ControllerHarness& h) {
            closed(h);
            h.expireSoon(u"pairingEventsRetryTimer");
        };
        const auto claimed = [](ControllerHarness& h) {
            h.service().sendEvents(W::pairingEventsRoute, claim("nonce-1"));
        };
        const QString start = QStringLiteral("pairingStartTimer");
        const QString events = QStringLiteral("pairingEventsRetryTimer");
        QTest::newRow("code expires")
            << open << never << Trouble([](ControllerHarness& h) {
                   h.clock().advance(600000);
                   h.expireSoon(u"pairingExpiryTimer");
               })
            << "pairing_expired" << start << 1000;
        // The service's codes come expired (its clock and the code's lifetime at odds): asked
        // for again once a second after the first, then at most once in 30 s.
        QTest::newRow("codes expired on arrival")
            << open << never << Trouble([](ControllerHarness& h) {
                   h.clock().advance(600000);
                   h.service().script("POST", W::pairingStartRoute,
                                      {codeAnswer(h.clock().nowMs() - 1)});
                   h.expireSoon(u"pairingExpiryTimer");
                   for (const int delay : {1000, 29000}) {
                       QTRY_COMPARE_WITH_TIMEOUT(armed(h, "pairingStartTimer"), delay, waitMs);
                       h.clock().advance(delay);
                       h.expireSoon(u"pairingStartTimer");
                   }
               })
            << "pairing_expired" << start << 30000;
        QTest::newRow("stream refused, Retry-After")
            << QList<Reply>{Reply::eventStream(), problem(503, "busy").withHeader("Retry-After", "7")}
            << never << Trouble(reopened) << "pairing_stream_reconnecting" << events << 7000;
        QTest::newRow("stream refused, retry in 1 ms")
            << QList<Reply>{Reply::eventStream(),
                            Reply::json(503, QJsonObject{{"code", "busy"}, {"retry_after_ms", 1}})}
            << never << Trouble(reopened) << "pairing_stream_reconnecting" << events << 250;
        QTest::newRow("stream refused, 401")
            << QList<Reply>{Reply::eventStream(), problem(401, "pairing_revoked")} << never
            << Trouble(reopened) << "pairing_revoked" << start << 1000;
        QTest::newRow("credential lost before reconnecting")
            << open << never << Trouble([closed](ControllerHarness& h) {
                   closed(h);
                   h.transport().clearPairingSession();
                   h.expireSoon(u"pairingEventsRetryTimer");
               })
            << "pairing_credential_unavailable" << start << 1000;
        QTest::newRow("claim replayed")
            << open << never << Trouble([claimed](ControllerHarness& h) {
                   claimed(h);
                   QVERIFY(QTest::qWaitFor(
                       [&] { return !h.service().requestsTo(W::pairingCompleteRoute).isEmpty(); },
                       waitMs));
                   claimed(h);
               })
            << "pairing_event_replayed" << start << 1000;
        QTest::newRow("completion failed for good")
            << open << QList<Reply>{problem(400, "nonce_unknown")} << Trouble(claimed)
            << "nonce_unknown" << start << 1000;
    }
    void pairingTroubles()
    {
        QFETCH(QList<Reply>, events);
        QFETCH(QList<Reply>, completion);
        QFETCH(Trouble, trouble);
        QFETCH(QString, status);
        QFETCH(QString, timer);
        QFETCH(int, delay);
        ControllerHarness& h = make();
        QVERIFY(showCode(h, events, completion));
        trouble(h);
        QTRY_COMPARE_WITH_TIMEOUT(h.controller().status(), status, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(armed(h, timer), delay, waitMs);
        // A rotation drops the code and the stored session with it; a claim takes the code off.
        const bool rotated = timer == QLatin1String("pairingStartTimer");
        QCOMPARE(tf::exists(h.statePath("pairing-session")), !rotated);
        QCOMPARE(ControllerAccess::pairingCode(h.controller()).isEmpty(),
                 timer != QLatin1String("pairingEventsRetryTimer"));
    }

    // A screen started with its clock at 2020-01-01, as one without a real-time clock, whose
    // clock is set a minute later: the code it shows is renewed when it expires on the
    // service's clock, judged again at least once a minute: by the service's clock once an
    // exchange has told it, by the machine's (once set) for a code stored before the start.
    void pairingCodeRenewedAfterClockSet_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::newRow("a code the service gave") << false;
        QTest::newRow("a code stored before the start") << true;
    }
    void pairingCodeRenewedAfterClockSet()
    {
        QFETCH(bool, stored);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        const qint64 wrongBy = h.clock().nowMs()
            - QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
        h.clock().stepLocalClock(-wrongBy);
        const qint64 lifetimeMs = 90000;
        const qint64 expiresMs = h.clock().serviceNowMs() + lifetimeMs;
        if (stored) {
            QVERIFY(NativePairingStore(h.statePath("pairing-session"))
                        .save({"ABC234", pairingCredential,
                               QDateTime::fromMSecsSinceEpoch(expiresMs, Qt::UTC)}));
        }
        s.script("POST", W::sessionMintRoute, {problem(404, "device_unknown")});
        s.script("POST", W::pairingStartRoute,
                 stored ? QList<Reply>{codeAnswer(expiresMs + lifetimeMs)}
                        : QList<Reply>{codeAnswer(expiresMs), codeAnswer(expiresMs + lifetimeMs)});
        s.script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        c.start();
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::pairingCode(c), QStringLiteral("ABC234"),
                                  waitMs);
        qint64 elapsedMs = 0;
        for (int firing = 0; firing < 5 && armed(h, "pairingExpiryTimer") > 0; ++firing) {
            const int interval = armed(h, "pairingExpiryTimer");
            QVERIFY(interval <= 60000);
            h.clock().advance(interval);
            if (elapsedMs < 60000 && elapsedMs + interval >= 60000)
                h.clock().stepLocalClock(wrongBy);
            elapsedMs += interval;
            QSignalSpy fired(h.timer(u"pairingExpiryTimer"), &QTimer::timeout);
            QVERIFY(h.expireSoon(u"pairingExpiryTimer"));
            QVERIFY(fired.wait(waitMs));
        }
        QCOMPARE(c.status(), QStringLiteral("pairing_expired"));
        const qint64 renewedMs = elapsedMs + armed(h, "pairingStartTimer");
        QVERIFY2(renewedMs >= lifetimeMs && renewedMs <= lifetimeMs + 5000,
                 qPrintable(QString::number(renewedMs)));
        QVERIFY(h.expireSoon(u"pairingStartTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::pairingStartRoute).size(), stored ? 1 : 2,
                                  waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("awaiting_pairing"), waitMs);
    }

    // Failed starts back off 1, 2, 4, 8, 16 and then 30 s; a refused start takes a new key, a
    // transient failure keeps it, and a restart while a start is unanswered sends its key again.
    // That start is answered "enrollment_bound": the player takes itself as bound, stops every
    // pairing timer, holds before its next mint and never pairs again when that mint is refused.
    void pairingStartBackoff()
    {
        ControllerHarness& h = make();
        test::FakeRuntimeService& s = h.service();
        const Reply busy = problem(503, "busy");
        s.script("POST", W::sessionMintRoute, {problem(404, "device_unknown")});
        s.script("POST", W::pairingStartRoute,
                 {busy, busy, busy, busy, busy, busy, problem(400, "start_refused"), silent(),
                  problem(409, "enrollment_bound")});
        const auto key = [&](int index) {
            return s.requestsTo(W::pairingStartRoute).at(index).header(W::idempotencyKeyHeader);
        };
        h.controller().start();
        QList<int> delays;
        for (int i = 0; i < 7; ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(armed(h, "pairingStartTimer") > 0, waitMs);
            delays << armed(h, "pairingStartTimer");
            QCOMPARE(key(i), key(0));
            QVERIFY(h.expireSoon(u"pairingStartTimer"));
        }
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
        QCOMPARE(h.controller().status(), QStringLiteral("start_refused"));
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::pairingStartRoute).size(), 8, waitMs);
        const QByteArray unanswered = key(7);
        QVERIFY(unanswered != key(0));

        h.rebuildController({});
        h.controller().start();
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::pairingStartRoute).size(), 9, waitMs);
        QCOMPARE(key(8), unanswered);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::bound(h.controller()), waitMs);
        QVERIFY(PersistentState(h.statePath("playback-state")).isEnrolled());
        const int hold = armed(h, "sessionRetryTimer");
        QVERIFY(hold >= 45000 && hold <= 60000);
        for (const char* name : {"pairingStartTimer", "pairingEventsRetryTimer",
                                 "pairingExpiryTimer", "pairingCompletionRetryTimer"})
            QCOMPARE(armed(h, QLatin1String(name)), -1);
        QVERIFY(h.expireSoon(u"sessionRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(mints(h), 3, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(h.controller().status(), QStringLiteral("session_retrying"),
                                  waitMs);
        QCOMPARE(s.requestsTo(W::pairingStartRoute).size(), 9);
    }

    // The newest claim nonces are the ones remembered: after 33 claims every one of the last
    // 32 is refused as a replay, and only the first has made room.
    void claimNoncesKeepTheNewest()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        for (int i = 0; i <= 32; ++i)
            ControllerAccess::claimPairing(c, QStringLiteral("nonce-%1").arg(i));
        for (int i = 1; i <= 32; ++i) {
            ControllerAccess::claimPairing(c, QStringLiteral("nonce-%1").arg(i));
            QCOMPARE(c.status(), QStringLiteral("pairing_event_replayed"));
        }
        ControllerAccess::claimPairing(c, QStringLiteral("nonce-0"));
        QCOMPARE(c.status(), QStringLiteral("pairing_credential_unavailable"));
    }
};

QTEST_MAIN(TestPlayerSession)
#include "tst_playersession.moc"
