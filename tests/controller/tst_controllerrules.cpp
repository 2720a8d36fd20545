#include "controller/PlayerController.h"
#include "controller/PlayerOverlay.h"
#include "controller/PlayerState.h"
#include "controller/PlayerTransfers.h"
#include "controller/RecoverySweep.h"

#include <QTest>


using namespace talvorine;

Q_DECLARE_METATYPE(talvorine::RuntimePhaseFacts)
Q_DECLARE_METATYPE(talvorine::OverlayFaultFlags)
Q_DECLARE_METATYPE(talvorine::SyncGlyph)
Q_DECLARE_METATYPE(talvorine::TransferFailure)
Q_DECLARE_METATYPE(talvorine::RecoverySnapshot)

namespace {

RuntimePhaseFacts facts(std::initializer_list<const char*> set, const QString& status = {},
                        int statePhase = 0)
{
    RuntimePhaseFacts f;
    for (const char* name : set) {
        const QByteArray n(name);
        f.fatal |= n == "fatal";
        f.archived |= n == "archived";
        f.pairingCodeShown |= n == "pairing";
        f.paymentRequired |= n == "payment";
        f.candidatePreparing |= n == "candidate";
        f.slotActive |= n == "slot";
        f.online |= n == "online";
        f.deviceCredential |= n == "credential";
    }
    f.status = status;
    f.statePhase = statePhase;
    return f;
}

// Runs "op" or "op:argument" steps on a fresh state.
PlayerState run(const QStringList& steps)
{
    PlayerState state;
    for (const QString& step : steps) {
        const QString op = step.section(QLatin1Char(':'), 0, 0);
        const QString arg = step.section(QLatin1Char(':'), 1);
        if (op == QLatin1String("boot"))
            state.boot(arg == QLatin1String("ready"));
        else if (op == QLatin1String("fetched"))
            state.candidateFetched(arg);
        else if (op == QLatin1String("ready"))
            state.candidateReady(arg.contains(QLatin1String("media")),
                                 arg.contains(QLatin1String("renderer")));
        else if (op == QLatin1String("failed"))
            state.syncFailed(arg);
        else if (op == QLatin1String("online"))
            state.networkChanged(true);
        else if (op == QLatin1String("offline"))
            state.networkChanged(false);
        else if (op == QLatin1String("restart"))
            state.rendererRestarted();
    }
    return state;
}

// A screen one minute into a start: revision man_2 (pages 0 and 1, one object each) in hand
// while man_1 plays, then changed by the named facts.
RecoverySnapshot sweepFacts(std::initializer_list<const char*> set)
{
    RecoverySnapshot s;
    s.glass.revision = QStringLiteral("man_1");
    s.darkSinceMs = 0;
    s.hand.revision = QStringLiteral("man_2");
    s.hand.eligible = {0, 1};
    s.hand.objects = {{0, {QStringLiteral("x")}}, {1, {QStringLiteral("y")}}};
    for (const char* name : set) {
        const QByteArray n(name);
        if (n == "dark")
            s.glass = {};
        if (n == "nothing in hand")
            s.hand.revision.clear();
        if (n == "in hand on glass")
            s.hand.revision = s.glass.revision;
        if (n == "nothing scheduled")
            s.hand.eligible.clear();
        if (n == "y local")
            s.local = {QStringLiteral("y")};
        if (n == "y failed")
            s.hand.failed += 1;
        if (n == "x failed")
            s.hand.failed += 0;
        if (n == "withheld" || n == "withheld landed") {
            s.glass.withheld = {2, 1};
            s.glass.objects = {{1, {QStringLiteral("b")}}, {2, {QStringLiteral("c")}}};
            s.glass.unlanded = n == "withheld" ? QSet<int>{1, 2} : QSet<int>{};
        }
        if (n == "b given up")
            s.givenUp = {QStringLiteral("b")};
        if (n == "c given up")
            s.givenUp += QStringLiteral("c");
        s.candidate |= n == "candidate";
        s.fetch |= n == "fetch";
        s.repairing |= n == "repairing";
        s.repairRunArmed |= n == "repair run";
        s.retryArmed |= n == "retry";
        s.roomWait |= n == "room wait";
        s.planning |= n == "planning";
        s.restoring |= n == "restoring";
        s.adOnGlass |= n == "ad";
    }
    return s;
}

} // namespace

class TestControllerRules : public QObject {
    Q_OBJECT
private slots:
    void runtimePhase_data()
    {
        QTest::addColumn<RuntimePhaseFacts>("input");
        QTest::addColumn<int>("phase");
        QTest::newRow("fatal beats everything")
            << facts({"fatal", "archived", "pairing", "slot"}, "playing") << 5;
        QTest::newRow("archived beats a shown code") << facts({"archived", "pairing"}) << 4;
        QTest::newRow("a shown code beats payment") << facts({"payment", "pairing"}) << 1;
        QTest::newRow("payment required") << facts({"payment", "slot"}, "playing") << 4;
        QTest::newRow("degraded status beats a candidate")
            << facts({"candidate", "slot"}, "degraded_lkg_active") << 4;
        QTest::newRow("candidate being prepared") << facts({"candidate", "slot"}, "playing") << 2;
        QTest::newRow("preparing status") << facts({}, "preparing_candidate") << 2;
        QTest::newRow("awaiting the renderer") << facts({}, "awaiting_renderer_readiness") << 2;
        QTest::newRow("content on glass") << facts({"slot"}, "offline_lkg_active", 4) << 3;
        QTest::newRow("waiting for content") << facts({}, "awaiting_content", 4) << 3;
        QTest::newRow("starting") << facts({}, "starting", 4) << 0;
        QTest::newRow("session ready") << facts({}, "session_ready", 4) << 0;
        QTest::newRow("syncing") << facts({}, "syncing") << 0;
        QTest::newRow("pairing complete") << facts({}, "pairing_complete") << 0;
        QTest::newRow("state phase 4") << facts({"online", "credential"}, "session_retrying", 4)
                                       << 4;
        QTest::newRow("online with a credential")
            << facts({"online", "credential"}, "session_retrying", 2) << 3;
        QTest::newRow("online without a credential")
            << facts({"online"}, "session_retrying", 2) << 4;
        QTest::newRow("awaiting pairing, code gone") << facts({}, "awaiting_pairing", 2) << 1;
        QTest::newRow("anything else") << facts({}, "identity_fault", 2) << 4;
    }
    void runtimePhase()
    {
        QFETCH(RuntimePhaseFacts, input);
        QFETCH(int, phase);
        QCOMPARE(int(runtimePhaseFor(input)), phase);
    }

    void playerState_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("phase");
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("diagnostic");
        QTest::newRow("boot ready") << QStringList{"boot:ready"} << 2 << "" << "" << "";
        QTest::newRow("boot not ready") << QStringList{"boot:no"} << 1 << "" << "" << "";
        QTest::newRow("activation")
            << QStringList{"boot:ready", "fetched:r1", "ready:media,renderer"} << 3 << "r1" << ""
            << "";
        QTest::newRow("one condition missing")
            << QStringList{"boot:ready", "fetched:r1", "ready:media"} << 2 << "" << "r1" << "";
        QTest::newRow("ready without a candidate")
            << QStringList{"boot:no", "ready:media,renderer"} << 1 << "" << "" << "";
        QTest::newRow("sync failed")
            << QStringList{"fetched:r1", "failed:cache_write_failed"} << 4 << "" << ""
            << "cache_write_failed";
        QTest::newRow("fetch clears the diagnostic")
            << QStringList{"failed:x", "fetched:r2"} << 2 << "" << "r2" << "";
        QTest::newRow("offline with content")
            << QStringList{"fetched:r1", "ready:media,renderer", "offline"} << 3 << "r1" << ""
            << "offline_lkg_active";
        QTest::newRow("offline without content")
            << QStringList{"boot:ready", "offline"} << 4 << "" << "" << "offline_no_content";
        QTest::newRow("online leaves phase 4")
            << QStringList{"boot:ready", "offline", "online"} << 2 << "" << "" << "";
        QTest::newRow("online keeps phase 3")
            << QStringList{"fetched:r1", "ready:media,renderer", "offline", "online"} << 3 << "r1"
            << "" << "";
        QTest::newRow("renderer restart with content")
            << QStringList{"fetched:r1", "ready:media,renderer", "fetched:r2", "restart"} << 3
            << "r1" << "" << "renderer_restart_lkg_active";
        QTest::newRow("renderer restart without content")
            << QStringList{"fetched:r1", "restart"} << 2 << "" << "" << "renderer_restart_no_lkg";
    }
    void playerState()
    {
        QFETCH(QStringList, steps);
        QFETCH(int, phase);
        QFETCH(QString, active);
        QFETCH(QString, candidate);
        QFETCH(QString, diagnostic);
        const PlayerState state = run(steps);
        QCOMPARE(state.phase(), phase);
        QCOMPARE(state.activeRevision(), active);
        QCOMPARE(state.candidateRevision(), candidate);
        QCOMPARE(state.diagnosticCode(), diagnostic);
    }

    void fatalTexts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("overlayState");
        QTest::addColumn<bool>("unsafe");
        QTest::newRow("retained playback") << QByteArray("offline_lkg_active") << true << false;
        QTest::newRow("a near miss") << QByteArray("playing ") << false << false;
        QTest::newRow("colour contract")
            << QByteArray("This player is missing its colour contract.") << false << false;
        QTest::newRow("bearer with its blank") << QByteArray("BeArEr abc") << false << true;
        QTest::newRow("bearer alone") << QByteArray("bearer") << false << false;
        QTest::newRow("session header") << QByteArray("x-Talvorine-Session: y") << false << true;
        QTest::newRow("device token") << QByteArray("TVD_123") << false << true;
        // Only ASCII letters fold: a dotted capital I does not become "i".
        QTest::newRow("not folded") << QByteArray("P\xc4\xb0XELS") << false << false;
    }
    void fatalTexts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, overlayState);
        QFETCH(bool, unsafe);
        QCOMPARE(FatalSurface::isOverlayOrRetainedPlayback(text.toStdString()), overlayState);
        QCOMPARE(FatalSurface::bodyLooksUnsafe(text.toStdString()), unsafe);
    }

    void overlayFaults_data()
    {
        QTest::addColumn<OverlayFaultFlags>("flags");
        QTest::addColumn<int>("phase");
        QTest::addColumn<bool>("slotActive");
        QTest::addColumn<int>("statusClass");
        QTest::addColumn<QStringList>("faults");
        OverlayFaultFlags all{true, true, true, true, true, true, true};
        OverlayFaultFlags verify;
        verify.verify = true;
        QTest::newRow("every flag in order")
            << all << 3 << true << 5
            << QStringList{"screen_archived", "payment_required", "repair", "session", "verify",
                           "storage", "decode"};
        QTest::newRow("degraded adds the status class")
            << OverlayFaultFlags() << 4 << true << 5 << QStringList{"hold"};
        QTest::newRow("a name may repeat")
            << verify << 4 << true << 2 << QStringList{"verify", "verify"};
        QTest::newRow("transport adds nothing") << OverlayFaultFlags() << 4 << true << 0
                                                << QStringList();
        QTest::newRow("not without content") << OverlayFaultFlags() << 4 << false << 4
                                             << QStringList();
        QTest::newRow("not outside degraded") << OverlayFaultFlags() << 3 << true << 4
                                              << QStringList();
    }
    void overlayFaults()
    {
        QFETCH(OverlayFaultFlags, flags);
        QFETCH(int, phase);
        QFETCH(bool, slotActive);
        QFETCH(int, statusClass);
        QFETCH(QStringList, faults);
        QCOMPARE(talvorine::overlayFaults(flags, RuntimePhase(phase), slotActive, statusClass),
                 faults);
    }

    void syncGlyph_data()
    {
        QTest::addColumn<SyncGlyph>("current");
        QTest::addColumn<bool>("newPlaylist");
        QTest::addColumn<bool>("skipSyncing");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<SyncGlyph>("next");
        QTest::addColumn<qint64>("restartMs");
        QTest::addColumn<bool>("changed");
        const qint64 now = 100000;
        const SyncGlyph none;
        const SyncGlyph syncing{SyncGlyph::syncing, 0};
        const SyncGlyph held{SyncGlyph::newPlaylist, now + 2000};
        QTest::newRow("new playlist") << none << true << false << true
                                      << SyncGlyph{SyncGlyph::newPlaylist, now + 3000}
                                      << qint64(3000) << true;
        QTest::newRow("new playlist again") << held << true << false << false
                                            << SyncGlyph{SyncGlyph::newPlaylist, now + 3000}
                                            << qint64(3000) << false;
        QTest::newRow("held for the time left") << held << false << false << true << held
                                                << qint64(2000) << false;
        QTest::newRow("hold over") << SyncGlyph{SyncGlyph::newPlaylist, now} << false << false
                                   << true << none << qint64(-1) << true;
        QTest::newRow("busy") << none << false << false << true << syncing << qint64(-1) << true;
        QTest::newRow("busy, skipped") << syncing << false << true << true << none << qint64(-1)
                                       << true;
        QTest::newRow("still busy") << syncing << false << false << true << syncing
                                    << qint64(-1) << false;
        QTest::newRow("idle") << none << false << false << false << none << qint64(-1) << false;
    }
    void syncGlyph()
    {
        QFETCH(SyncGlyph, current);
        QFETCH(bool, newPlaylist);
        QFETCH(bool, skipSyncing);
        QFETCH(bool, busy);
        QFETCH(SyncGlyph, next);
        QFETCH(qint64, restartMs);
        QFETCH(bool, changed);
        const SyncGlyphStep step = nextSyncGlyph(current, newPlaylist, skipSyncing, busy, 100000);
        QCOMPARE(step.next, next);
        QCOMPARE(step.restartMs.value_or(-1), restartMs);
        QCOMPARE(step.changed, changed);
    }

    void manifestValidator_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<bool>("active");
        QTest::addColumn<QByteArray>("activeBody");
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<QByteArray>("sent");
        const QString v2 = QStringLiteral("/runtime/v2/manifest");
        QTest::newRow("all four hold") << v2 << true << QByteArray("{\"a\":1}")
                                       << QByteArray("\"e1\"") << QByteArray("\"e1\"");
        QTest::newRow("another route") << QStringLiteral("/runtime/v1/manifest") << true
                                       << QByteArray("{\"a\":1}") << QByteArray("\"e1\"")
                                       << QByteArray();
        QTest::newRow("nothing active") << v2 << false << QByteArray("{\"a\":1}")
                                        << QByteArray("\"e1\"") << QByteArray();
        QTest::newRow("the active body changed") << v2 << true << QByteArray("{\"a\":1} ")
                                                 << QByteArray("\"e1\"") << QByteArray();
        QTest::newRow("no tag") << v2 << true << QByteArray("{\"a\":1}") << QByteArray()
                                << QByteArray();
    }
    void manifestValidator()
    {
        QFETCH(QString, route);
        QFETCH(bool, active);
        QFETCH(QByteArray, activeBody);
        QFETCH(QByteArray, etag);
        QFETCH(QByteArray, sent);
        const PlayerController::ManifestValidator validator{
            QStringLiteral("/runtime/v2/manifest"), QByteArray("{\"a\":1}"), etag};
        QCOMPARE(validator.etagFor(route, active ? &activeBody : nullptr), sent);
    }

    // One reading of a failed content download for media, packages and soundtrack tracks.
    void transferFailure_data()
    {
        using E = QNetworkReply::NetworkError;
        QTest::addColumn<int>("status");
        QTest::addColumn<E>("error");
        QTest::addColumn<bool>("rejectedByPlayer");
        QTest::addColumn<TransferFailure>("failure");
        const auto unreachable = TransferFailure::Unreachable;
        const auto hard = TransferFailure::Hard;
        QTest::newRow("refused") << 0 << E::ConnectionRefusedError << false << unreachable;
        QTest::newRow("name not resolved") << 0 << E::HostNotFoundError << false << unreachable;
        QTest::newRow("TLS failed before an answer") << 0 << E::SslHandshakeFailedError << false
                                                      << unreachable;
        QTest::newRow("closed mid-body") << 200 << E::RemoteHostClosedError << false << unreachable;
        QTest::newRow("body gone silent") << 200 << E::OperationCanceledError << false
                                          << unreachable;
        QTest::newRow("timed out") << 200 << E::TimeoutError << false << unreachable;
        QTest::newRow("network blip") << 200 << E::TemporaryNetworkFailureError << false
                                      << unreachable;
        QTest::newRow("the player's own abort") << 200 << E::OperationCanceledError << true << hard;
        QTest::newRow("503") << 503 << E::OperationCanceledError << true
                             << TransferFailure::Throttled;
        QTest::newRow("429") << 429 << E::UnknownContentError << false
                             << TransferFailure::Throttled;
        QTest::newRow("404") << 404 << E::ContentNotFoundError << false << hard;
        QTest::newRow("408") << 408 << E::OperationCanceledError << true << hard;
        QTest::newRow("500") << 500 << E::InternalServerError << false << hard;
        QTest::newRow("a 206 refused") << 206 << E::OperationCanceledError << true << hard;
    }
    void transferFailure()
    {
        QFETCH(int, status);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(bool, rejectedByPlayer);
        QFETCH(TransferFailure, failure);
        QCOMPARE(classifyTransferFailure(status, error, rejectedByPlayer), failure);
    }

    // The sweep steps in only where nothing under way or armed would act.
    void strandedActions_data()
    {
        QTest::addColumn<RecoverySnapshot>("snapshot");
        QTest::addColumn<qint64>("nowMs");
        QTest::addColumn<QStringList>("actions");
        const QStringList hold{"hold_for_retry man_2 -1"};
        const QStringList none;
        QTest::newRow("a new revision left idle") << sweepFacts({}) << qint64(60000) << hold;
        QTest::newRow("nothing in hand") << sweepFacts({"nothing in hand"}) << qint64(60000) << none;
        QTest::newRow("in hand is on glass") << sweepFacts({"in hand on glass"}) << qint64(60000) << none;
        QTest::newRow("no page of it scheduled") << sweepFacts({"nothing scheduled"}) << qint64(60000) << none;
        // One guard stops both the hold and the dark screen's page: each thing under way once.
        for (const char* busy : {"candidate", "fetch", "repairing", "retry", "room wait", "planning", "restoring"})
            QTest::addRow("in hand, %s", busy) << sweepFacts({busy}) << qint64(60000) << none;
        QTest::newRow("dark a minute with a page whole, a candidate")
            << sweepFacts({"dark", "y local", "candidate"}) << qint64(60000) << none;
        QTest::newRow("dark a minute with a page whole")
            << sweepFacts({"dark", "y local"}) << qint64(60000) << QStringList{"prepare_page man_2 1"};
        QTest::newRow("dark not yet a minute with a page whole")
            << sweepFacts({"dark", "y local"}) << qint64(59999) << hold;
        QTest::newRow("dark a minute, the whole page failed on its own")
            << sweepFacts({"dark", "y local", "y failed"}) << qint64(60000) << hold;
        // A revision left with no page that may come waits for the next.
        QTest::newRow("every page failed on its own") << sweepFacts({"x failed", "y failed"}) << qint64(60000) << none;
        QTest::newRow("dark a minute, an ad's page up") << sweepFacts({"dark", "y local", "ad"}) << qint64(60000) << hold;
        QTest::newRow("dark a minute, no page whole") << sweepFacts({"dark"}) << qint64(60000) << hold;
        QTest::newRow("withheld pages unlanded, no run armed")
            << sweepFacts({"in hand on glass", "withheld"}) << qint64(0) << QStringList{"arm_repair_run man_1 1"};
        QTest::newRow("withheld pages unlanded, the first page's object given up")
            << sweepFacts({"in hand on glass", "withheld", "b given up"}) << qint64(0) << QStringList{"arm_repair_run man_1 2"};
        QTest::newRow("withheld pages unlanded, every object given up")
            << sweepFacts({"in hand on glass", "withheld", "b given up", "c given up"}) << qint64(0) << none;
        QTest::newRow("withheld pages unlanded, a run armed")
            << sweepFacts({"in hand on glass", "withheld", "repair run"}) << qint64(0) << none;
        QTest::newRow("withheld pages unlanded, a repair running")
            << sweepFacts({"in hand on glass", "withheld", "repairing"}) << qint64(0) << none;
        QTest::newRow("withheld pages landed") << sweepFacts({"in hand on glass", "withheld landed"}) << qint64(0) << none;
        QTest::newRow("withheld pages unlanded beside a revision left idle")
            << sweepFacts({"withheld"}) << qint64(0) << QStringList{"hold_for_retry man_2 -1", "arm_repair_run man_1 1"};
        QTest::newRow("withheld pages unlanded beside a held revision's fetch")
            << sweepFacts({"withheld", "fetch"}) << qint64(0) << QStringList{"arm_repair_run man_1 1"};
        QTest::newRow("withheld pages of a revision no longer on glass")
            << sweepFacts({"dark", "withheld"}) << qint64(0) << hold;
    }
    void strandedActions()
    {
        QFETCH(RecoverySnapshot, snapshot);
        QFETCH(qint64, nowMs);
        QStringList actions;
        for (const RecoveryAction& action : talvorine::strandedActions(nowMs, snapshot))
            actions.append(QStringLiteral("%1 %2 %3")
                               .arg(recoveryActionName(action.kind), action.revision)
                               .arg(action.page));
        QTEST(actions, "actions");
    }
};

QTEST_GUILESS_MAIN(TestControllerRules)
#include "tst_controllerrules.moc"
