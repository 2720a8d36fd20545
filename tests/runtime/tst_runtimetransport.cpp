#include "app/DevFileLog.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/FakeRuntimeService.h"
#include "tests/support/FloodingHttpServer.h"
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvorine;
using talvorine::test::FakeRuntimeService;
using Reply = FakeRuntimeService::Reply;
using Fault = FakeRuntimeService::Fault;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = 8000;

const QString sessionToken = QStringLiteral("tvs_session-A_1");
const QString pairingToken = QStringLiteral("tvp_") + QString(43, QLatin1Char('p'));
const QString deviceToken =
    QStringLiteral("tvd_") + QString(22, 'a') + QStringLiteral("_") + QString(43, 'b');

QJsonObject mintReply(const QJsonObject& extra = {})
{
    QJsonObject reply{{"session", sessionToken},
                      {"expires_at", "2099-01-01T00:00:00.000Z"},
                      {"capabilities", QJsonArray{"kv.read", "adslot-v1", "KV.WRITE"}},
                      {"manifest_versions", QJsonArray{2, 3}},
                      {"event_cursor", "cur_7"}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        reply.insert(it.key(), it.value());
    return reply;
}

QByteArray sse(const QByteArray& type, const QJsonObject& details, const QByteArray& id = {})
{
    QJsonObject object{{"type", QString::fromLatin1(type)}, {"details", details}};
    QByteArray chunk;
    if (!id.isEmpty())
        chunk += "id: " + id + "\n";
    chunk += "data: " + QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n\n";
    return chunk;
}

} // namespace

Q_DECLARE_METATYPE(talvorine::test::FakeRuntimeService::Reply)

class TestRuntimeTransport : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeRuntimeService> fake;
    std::unique_ptr<RuntimeTransport> transport;

    QString path(const char* name) const { return dir->filePath(QLatin1String(name)); }

    std::unique_ptr<RuntimeTransport> makeTransport(const QUrl& base) const
    {
        auto made = std::make_unique<RuntimeTransport>(base, path("device-credential"),
                                                       path("pairing-session"),
                                                       path("player-identity"));
        made->setPlayerRelease(QStringLiteral("26.09.229"), QStringLiteral("abc123"));
        return made;
    }

    bool mint()
    {
        fake->script("POST", W::sessionMintRoute, {Reply::json(200, mintReply())});
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        return succeeded.wait(waitMs) || succeeded.size() == 1;
    }

private slots:
    void init()
    {
        qunsetenv(W::runtimeStreamStallEnv);
        qunsetenv(W::pairingStreamStallEnv);
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(NativePlayerIdentityStore(path("player-identity")).open(true).has_value());
        fake = std::make_unique<FakeRuntimeService>();
        QVERIFY2(fake->listening(), qPrintable(fake->setupError()));
        fake->requireProof(W::pairingStartRoute, "pairing.start");
        fake->requireProof(W::pairingCompleteRoute, "pairing.complete");
        fake->requireProof(W::sessionMintRoute, "session.mint");
        fake->requireProof(W::identityResetRoute, "identity.reset");
        transport = makeTransport(fake->url(QStringLiteral("/api/ignored")));
    }
    void cleanup()
    {
        transport.reset();
        fake.reset();
        dir.reset();
    }

    // --- pairing ------------------------------------------------------------------------

    void pairingFlowEndToEnd()
    {
        const QString startKey = QStringLiteral("start-key-0001");
        fake->script("POST", W::pairingStartRoute,
                     {Reply::json(201, QJsonObject{{"code", "ABC234"},
                                                   {"pairing_credential", pairingToken},
                                                   {"expires_at", "2099-01-01T00:10:00Z"}})});
        QSignalSpy started(transport.get(), &RuntimeTransport::pairingStarted);
        transport->rememberPairingStartKey(startKey);
        transport->startPairing(startKey);
        QVERIFY(started.wait(waitMs));
        QCOMPARE(started.at(0).at(0).toString(), QStringLiteral("ABC234"));
        QCOMPARE(started.at(0).at(1).toDateTime(), QDateTime(QDate(2099, 1, 1), QTime(0, 10), Qt::UTC));
        const auto startRequest = fake->requestsTo(W::pairingStartRoute).at(0);
        QCOMPARE(startRequest.proofVerdict, QStringLiteral("ok"));
        QCOMPARE(startRequest.header("Idempotency-Key"), startKey.toUtf8());
        QCOMPARE(startRequest.jsonBody().value("player").toObject(),
                 (QJsonObject{{"kind", "qt"}, {"version", "26.09.229"}, {"revision", "abc123"}}));
        QVERIFY(transport->hasPairingCredential());
        QCOMPARE(transport->storedPairingLocator().first, QStringLiteral("ABC234"));

        fake->script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        QSignalSpy claimed(transport.get(), &RuntimeTransport::pairingClaimed);
        transport->openPairingEvents();
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::pairingEventsRoute), 1, waitMs);
        const auto streamRequest = fake->requestsTo(W::pairingEventsRoute).at(0);
        QCOMPARE(streamRequest.header("Accept"), QByteArray("text/event-stream"));
        QCOMPARE(streamRequest.header("Authorization"),
                 QByteArray("Talvorine-Pairing ") + pairingToken.toLatin1());
        const QString nonce = QString(43, 'n');
        fake->sendEvents(W::pairingEventsRoute, ": keep-alive\n\n");
        fake->sendEvents(W::pairingEventsRoute,
                         sse("pairing.claimed", QJsonObject{{"nonce", nonce}}));
        QTRY_COMPARE_WITH_TIMEOUT(claimed.size(), 1, waitMs);
        QCOMPARE(claimed.at(0).at(0).toString(), nonce);
        transport->closePairingEvents();

        QFile(path("device-credential")).open(QIODevice::WriteOnly);
        fake->script("POST", W::pairingCompleteRoute,
                     {Reply::json(200, QJsonObject{{"screen_label", "Lobby"},
                                                   {"device_credential", deviceToken}})});
        QSignalSpy completed(transport.get(), &RuntimeTransport::pairingCompleted);
        transport->completePairing(nonce);
        QVERIFY(completed.wait(waitMs));
        QCOMPARE(completed.at(0).at(0).toString(), QStringLiteral("Lobby"));
        const auto completeRequest = fake->requestsTo(W::pairingCompleteRoute).at(0);
        QCOMPARE(completeRequest.proofVerdict, QStringLiteral("ok"));
        QCOMPARE(fake->challenges().last().requestHash,
                 nativeIdentityRequestHash("pairing.complete", {pairingToken, nonce}));
        QVERIFY(!QFile::exists(path("pairing-session")));
        QVERIFY(!QFile::exists(path("device-credential")));
        QVERIFY(!transport->hasPairingCredential());
        QVERIFY(transport->hasDeviceCredential());

        // The credential the completion handed over goes with the next mint, in memory only.
        QVERIFY(mint());
        QCOMPARE(fake->requestsTo(W::sessionMintRoute).at(0).jsonBody().value("device_credential"),
                 QJsonValue(deviceToken));
        QVERIFY(!QFile::exists(path("device-credential")));
    }

    void restartRepeatsPendingStartKey()
    {
        transport->rememberPairingStartKey(QStringLiteral("pending-key-42"));
        transport.reset();
        transport = makeTransport(fake->url());
        QCOMPARE(transport->pendingPairingStartKey(), QStringLiteral("pending-key-42"));
        QVERIFY(!transport->adoptStoredPairingCredential());

        fake->script("POST", W::pairingStartRoute, {Reply::json(503, QByteArray("{}"))});
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingStartFailed);
        transport->startPairing(transport->pendingPairingStartKey());
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(failed.at(0).at(3).toBool(), true);
        // A transient failure keeps the key, so the next attempt is the same start.
        QCOMPARE(transport->pendingPairingStartKey(), QStringLiteral("pending-key-42"));
        transport->startPairing(transport->pendingPairingStartKey());
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, waitMs);
        const auto starts = fake->requestsTo(W::pairingStartRoute);
        QCOMPARE(starts.size(), 2);
        QCOMPARE(starts[0].header("Idempotency-Key"), starts[1].header("Idempotency-Key"));
        // Each attempt carries its own proof: challenges are never reused.
        QCOMPARE(starts[0].proofVerdict, QStringLiteral("ok"));
        QCOMPARE(starts[1].proofVerdict, QStringLiteral("ok"));
    }

    void pairingStartOutcomes_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("transient");
        QTest::addColumn<bool>("keyKept");
        QTest::newRow("bad code") << Reply::json(200, QJsonObject{{"code", "ABC23I"},
                                                                  {"pairing_credential", pairingToken},
                                                                  {"expires_at", "2099-01-01T00:00:00Z"}})
                                  << "pairing_start_contract_invalid" << 200 << false << false;
        QTest::newRow("truncated json") << Reply::json(200, QByteArray("{\"code\":\"ABC234\",\"pai"))
                                        << "pairing_start_contract_invalid" << 200 << false << false;
        QTest::newRow("credential as number")
            << Reply::json(200, QJsonObject{{"code", "ABC234"}, {"pairing_credential", 5},
                                            {"expires_at", "2099-01-01T00:00:00Z"}})
            << "pairing_start_contract_invalid" << 200 << false << false;
        QTest::newRow("enrollment bound") << Reply::json(409, QJsonObject{{"code", "enrollment_bound"}})
                                          << "enrollment_bound" << 409 << false << false;
        QTest::newRow("server error") << Reply::json(502, QByteArray()) << "" << 502 << true << true;
    }
    void pairingStartOutcomes()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(bool, transient);
        QFETCH(bool, keyKept);
        fake->script("POST", W::pairingStartRoute, {reply});
        transport->rememberPairingStartKey(QStringLiteral("start-key-0001"));
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingStartFailed);
        QSignalSpy started(transport.get(), &RuntimeTransport::pairingStarted);
        transport->startPairing(QStringLiteral("start-key-0001"));
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(started.size(), 0);
        if (!code.isEmpty())
            QCOMPARE(failed.at(0).at(0).toString(), code);
        QCOMPARE(failed.at(0).at(1).toInt(), status);
        QCOMPARE(failed.at(0).at(3).toBool(), transient);
        QCOMPARE(!transport->pendingPairingStartKey().isEmpty(), keyKept);
        QVERIFY(!transport->hasPairingCredential());
    }

    void pairingStreamFailures_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("credential");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::newRow("no credential") << Reply::eventStream() << false
                                       << "pairing_credential_unavailable" << 0;
        QTest::newRow("401") << Reply::json(401, QJsonObject{{"code", "pairing_expired"}}) << true
                             << "pairing_expired" << 401;
        QTest::newRow("404") << Reply::json(404, QByteArray()) << true << "" << 404;
        QTest::newRow("wrong content type") << Reply::eventStream(200, "application/json") << true
                                            << "pairing_stream_contract_invalid" << 200;
    }
    void pairingStreamFailures()
    {
        QFETCH(Reply, reply);
        QFETCH(bool, credential);
        QFETCH(QString, code);
        QFETCH(int, status);
        if (credential) {
            QVERIFY(NativePairingStore(path("pairing-session"))
                        .save({QStringLiteral("ABC234"), pairingToken,
                               QDateTime::currentDateTimeUtc().addSecs(600)}));
            QVERIFY(transport->adoptStoredPairingCredential());
        }
        reply.body = reply.stream ? QByteArray("data: {}\n\n") : reply.body;
        fake->script("GET", W::pairingEventsRoute, {reply});
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingEventFailed);
        transport->openPairingEvents();
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
        if (!code.isEmpty())
            QCOMPARE(failed.at(0).at(0).toString(), code);
        QCOMPARE(failed.at(0).at(1).toInt(), status);
        QTest::qWait(50);
        QCOMPARE(failed.size(), 1);
    }

    void pairingStreamStallAndClose()
    {
        qputenv(W::pairingStreamStallEnv, "5000");
        QVERIFY(NativePairingStore(path("pairing-session"))
                    .save({QStringLiteral("ABC234"), pairingToken,
                           QDateTime::currentDateTimeUtc().addSecs(600)}));
        QVERIFY(transport->adoptStoredPairingCredential());
        fake->script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingEventFailed);
        transport->openPairingEvents();
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::pairingEventsRoute), 1, waitMs);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 9000);
        QVERIFY(clock.elapsed() >= 4500);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("pairing_stream_stalled"));
        QCOMPARE(failed.at(0).at(3).toBool(), true);

        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::pairingEventsRoute), 0, waitMs);
        transport->openPairingEvents();
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::pairingEventsRoute), 1, waitMs);
        fake->closeStreams(W::pairingEventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, waitMs);
        QCOMPARE(failed.at(1).at(0).toString(), QStringLiteral("pairing_stream_closed"));
    }

    // --- sessions -----------------------------------------------------------------------

    void mintStoresSession()
    {
        QVERIFY(!transport->hasRuntimeSession());
        QSignalSpy credits(transport.get(), &RuntimeTransport::creditsRemainingChanged);
        QSignalSpy upgrade(transport.get(), &RuntimeTransport::upgradeRecommended);
        fake->setServerClockOffsetMs(120000);
        fake->script("POST", W::sessionMintRoute,
                     {Reply::json(200, mintReply({{"credits_remaining", 12},
                                                  {"compatibility",
                                                   QJsonObject{{"recommended", true},
                                                               {"player_kind", "qt"},
                                                               {"min_supported", "26.10"}}}}))});
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        QVERIFY(succeeded.wait(waitMs));
        QCOMPARE(succeeded.at(0).at(0).toString(), QStringLiteral("cur_7"));
        QCOMPARE(credits.size(), 1);
        QCOMPARE(credits.at(0).at(0).toLongLong(), 12);
        QCOMPARE(upgrade.size(), 1);
        QCOMPARE(upgrade.at(0).at(1).toString(), QStringLiteral("26.10"));
        QVERIFY(transport->hasRuntimeSession());
        QVERIFY(transport->hasDeviceCredential());
        QVERIFY(transport->hasSessionCapability("kv.read"));
        QVERIFY(!transport->hasSessionCapability("kv.write"));
        QVERIFY(transport->adslotsNegotiated());
        QVERIFY(qAbs(transport->clockOffsetMs() - 120000) < 5000);
        const auto request = fake->requestsTo(W::sessionMintRoute).at(0);
        QCOMPARE(request.proofVerdict, QStringLiteral("ok"));
        QCOMPARE(fake->challenges().last().requestHash,
                 nativeIdentityRequestHash("session.mint", {"mint-key-0001"}));
        QVERIFY(!request.jsonBody().contains("device_credential"));
    }

    void mintFailures_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("credentialKept");
        QTest::newRow("401 drops credential") << Reply::json(401, QJsonObject{}) << "" << 401 << false;
        QTest::newRow("403 drops credential") << Reply::json(403, QJsonObject{}) << "" << 403 << false;
        QTest::newRow("404 drops credential") << Reply::json(404, QJsonObject{}) << "" << 404 << false;
        QTest::newRow("503 keeps credential") << Reply::json(503, QJsonObject{}) << "" << 503 << true;
        QTest::newRow("no session member") << Reply::json(200, QJsonObject{{"session", 7}})
                                           << "device_session_contract_invalid" << 200 << true;
        QTest::newRow("session of wrong form")
            << Reply::json(200, QJsonObject{{"session", "tvs_bad token"}})
            << "device_session_contract_invalid" << 200 << true;
        QTest::newRow("dropped mid body")
            << Reply{200, {{"Content-Type", "application/json"}}, mintReply().isEmpty() ? QByteArray()
                     : QJsonDocument(mintReply()).toJson(), 0, Fault::DropMidBody, false}
            << "runtime_unavailable" << 0 << true;
        QTest::newRow("connection closed") << Reply{200, {}, {}, 0, Fault::Close, false}
                                           << "runtime_unavailable" << 0 << true;
    }
    void mintFailures()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(bool, credentialKept);
        QVERIFY(mint());
        QVERIFY(transport->hasDeviceCredential());
        QFile(path("device-credential")).open(QIODevice::WriteOnly);
        fake->script("POST", W::sessionMintRoute, {reply});
        QSignalSpy failed(transport.get(), &RuntimeTransport::deviceSessionFailed);
        transport->createDeviceSession(QStringLiteral("mint-key-0002"));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
        if (!code.isEmpty())
            QCOMPARE(failed.at(0).at(0).toString(), code);
        QCOMPARE(failed.at(0).at(1).toInt(), status);
        QCOMPARE(transport->lastMintDecision().code, failed.at(0).at(0).toString());
        QCOMPARE(transport->hasDeviceCredential(), credentialKept);
        QCOMPARE(QFile::exists(path("device-credential")), credentialKept);
    }

    void mintReplyTypes_data()
    {
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<bool>("negotiated");
        QTest::addColumn<bool>("kvRead");
        QTest::addColumn<int>("creditSignals");
        QTest::addColumn<int>("upgradeSignals");
        QTest::newRow("as given") << QJsonObject{} << true << true << 0 << 0;
        QTest::newRow("capabilities as text")
            << QJsonObject{{"capabilities", "kv.read adslot-v1"}} << false << false << 0 << 0;
        QTest::newRow("version as text") << QJsonObject{{"manifest_versions", QJsonArray{2, "3"}}}
                                         << false << true << 0 << 0;
        QTest::newRow("fractional version") << QJsonObject{{"manifest_versions", QJsonArray{2, 3.5}}}
                                            << false << true << 0 << 0;
        QTest::newRow("adslot capability case")
            << QJsonObject{{"capabilities", QJsonArray{"ADSLOT-V1", "kv.read"}}} << false << true
            << 0 << 0;
        QTest::newRow("credits as text") << QJsonObject{{"credits_remaining", "5"}} << true << true
                                         << 0 << 0;
        QTest::newRow("negative credits") << QJsonObject{{"credits_remaining", -1}} << true << true
                                          << 0 << 0;
        QTest::newRow("fractional credits") << QJsonObject{{"credits_remaining", 2.5}} << true
                                            << true << 0 << 0;
        QTest::newRow("zero credits") << QJsonObject{{"credits_remaining", 0}} << true << true << 1
                                      << 0;
        QTest::newRow("recommended as text")
            << QJsonObject{{"compatibility", QJsonObject{{"recommended", "true"}}}} << true << true
            << 0 << 0;
        QTest::newRow("not recommended")
            << QJsonObject{{"compatibility", QJsonObject{{"recommended", false}}}} << true << true
            << 0 << 0;
    }
    void mintReplyTypes()
    {
        QFETCH(QJsonObject, extra);
        QFETCH(bool, negotiated);
        QFETCH(bool, kvRead);
        QFETCH(int, creditSignals);
        QFETCH(int, upgradeSignals);
        fake->script("POST", W::sessionMintRoute, {Reply::json(200, mintReply(extra))});
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        QSignalSpy credits(transport.get(), &RuntimeTransport::creditsRemainingChanged);
        QSignalSpy upgrade(transport.get(), &RuntimeTransport::upgradeRecommended);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        QVERIFY(succeeded.wait(waitMs));
        QCOMPARE(transport->adslotsNegotiated(), negotiated);
        QCOMPARE(transport->hasSessionCapability("kv.read"), kvRead);
        QCOMPARE(int(credits.size()), creditSignals);
        QCOMPARE(int(upgrade.size()), upgradeSignals);
    }

    void pairingCompleteFailures_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::newRow("enrollment bound")
            << Reply::json(409, QJsonObject{{"code", "enrollment_bound"}}) << "enrollment_bound" << 409;
        QTest::newRow("label missing") << Reply::json(200, QJsonObject{{"device_credential", deviceToken}})
                                       << "pairing_complete_contract_invalid" << 200;
        QTest::newRow("label a number") << Reply::json(200, QJsonObject{{"screen_label", 4}})
                                        << "pairing_complete_contract_invalid" << 200;
        QTest::newRow("truncated") << Reply::json(200, QByteArray("{\"screen_label\":\"Lo"))
                                   << "pairing_complete_contract_invalid" << 200;
    }
    void pairingCompleteFailures()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, code);
        QFETCH(int, status);
        QVERIFY(NativePairingStore(path("pairing-session"))
                    .save({QStringLiteral("ABC234"), pairingToken,
                           QDateTime::currentDateTimeUtc().addSecs(600)}));
        QVERIFY(transport->adoptStoredPairingCredential());
        fake->script("POST", W::pairingCompleteRoute, {reply});
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingCompleteFailed);
        QSignalSpy completed(transport.get(), &RuntimeTransport::pairingCompleted);
        transport->completePairing(QString(43, 'n'));
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(failed.at(0).at(0).toString(), code);
        QCOMPARE(failed.at(0).at(1).toInt(), status);
        QCOMPARE(completed.size(), 0);
        // Nothing is cleared by a failed completion: the pairing can still be completed.
        QVERIFY(transport->hasPairingCredential());
        QVERIFY(QFile::exists(path("pairing-session")));
        QVERIFY(!transport->hasDeviceCredential());
    }

    void abortIsSynchronous_data()
    {
        QTest::addColumn<bool>("slowChallenge");
        QTest::newRow("during challenge") << true;
        QTest::newRow("during mint") << false;
    }
    void abortIsSynchronous()
    {
        QFETCH(bool, slowChallenge);
        if (slowChallenge) {
            Reply slow = Reply::json(200, QByteArray("{}"));
            slow.latencyMs = 3000;
            fake->script("POST", W::identityChallengeRoute, {slow});
        } else {
            Reply slow = Reply::json(200, mintReply());
            slow.latencyMs = 3000;
            fake->script("POST", W::sessionMintRoute, {slow});
        }
        QSignalSpy failed(transport.get(), &RuntimeTransport::deviceSessionFailed);
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        const QByteArray awaited = slowChallenge ? W::identityChallengeRoute : W::sessionMintRoute;
        QTRY_VERIFY_WITH_TIMEOUT(!fake->requestsTo(awaited).isEmpty(), waitMs);
        transport->abortDeviceSession();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("device_session_aborted"));
        QCOMPARE(failed.at(0).at(3).toBool(), true);
        transport->abortDeviceSession();
        QTest::qWait(200);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(succeeded.size(), 0);
        QVERIFY(!transport->hasRuntimeSession());
    }

    void identityUnavailable()
    {
        QFile::remove(path("player-identity"));
        QSignalSpy failed(transport.get(), &RuntimeTransport::deviceSessionFailed);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("identity_unavailable"));
        QCOMPARE(failed.at(0).at(3).toBool(), false);
        QVERIFY(fake->requests().isEmpty());
    }

    void challengeFailure()
    {
        fake->script("POST", W::identityChallengeRoute, {Reply::json(429, QJsonObject{})});
        QSignalSpy failed(transport.get(), &RuntimeTransport::unpairFailed);
        transport->unpair();
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(failed.at(0).at(0).toInt(), 429);
        QCOMPARE(failed.at(0).at(1).toBool(), true);
        QVERIFY(fake->requestsTo(W::identityResetRoute).isEmpty());
    }

    void unpairCarriesProofAndSession()
    {
        QVERIFY(mint());
        fake->script("POST", W::identityResetRoute, {Reply{204, {}, {}, 0, Fault::None, false}});
        QSignalSpy done(transport.get(), &RuntimeTransport::unpairSucceeded);
        transport->unpair();
        QVERIFY(done.wait(waitMs));
        const auto request = fake->requestsTo(W::identityResetRoute).at(0);
        QCOMPARE(request.proofVerdict, QStringLiteral("ok"));
        QCOMPARE(request.header("Authorization"), "Talvorine-Session " + sessionToken.toLatin1());
        QCOMPARE(request.jsonBody().keys(), (QStringList{"kid", "proof"}));
    }

    void secondUnpairAnsweredAtOnce()
    {
        fake->script("POST", W::identityResetRoute, {Reply{204, {}, {}, 0, Fault::None, false}});
        QSignalSpy done(transport.get(), &RuntimeTransport::unpairSucceeded);
        QSignalSpy failed(transport.get(), &RuntimeTransport::unpairFailed);
        transport->unpair();
        transport->unpair();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0), (QVariantList{0, true}));
        QVERIFY(done.wait(waitMs));
        QCOMPARE(fake->requestsTo(W::identityResetRoute).size(), 1);
        // Once the first has finished, a new reset goes out again.
        transport->unpair();
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 2, waitMs);
        QCOMPARE(failed.size(), 1);
    }

    // --- manifest ----------------------------------------------------------------------

    void manifest_data()
    {
        QTest::addColumn<bool>("v2");
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("code");

        Reply modified = Reply::json(200, QByteArray("{\"schema\":1}"));
        modified = modified.withHeader("ETag", "\"rev-2\"");
        QTest::newRow("modified v1") << false << QByteArray("\"rev-1\"") << modified << "modified" << "";
        QTest::newRow("modified v2") << true << QByteArray() << modified << "modified" << "";
        QTest::newRow("not modified") << false << QByteArray("\"rev-1\"")
                                      << Reply{304, {}, {}, 0, Fault::None, false} << "not_modified" << "";
        QTest::newRow("v2 404 falls back") << true << QByteArray() << Reply::json(404, QByteArray())
                                           << "route_unavailable" << "";
        QTest::newRow("v2 410 falls back") << true << QByteArray() << Reply::json(410, QByteArray())
                                           << "route_unavailable" << "";
        QTest::newRow("v2 route_unavailable code")
            << true << QByteArray() << Reply::json(400, QJsonObject{{"code", "route_unavailable"}})
            << "route_unavailable" << "";
        QTest::newRow("v1 404 is a failure") << false << QByteArray() << Reply::json(404, QByteArray())
                                             << "failed" << "";
        QTest::newRow("server error") << false << QByteArray()
                                      << Reply::json(503, QJsonObject{{"code", "maintenance"}})
                                      << "failed" << "maintenance";
        QTest::newRow("201 is not a manifest")
            << false << QByteArray() << Reply::json(201, QByteArray("{\"schema\":1}")) << "failed"
            << "manifest_contract_invalid";
        QTest::newRow("v2 204 is not a manifest")
            << true << QByteArray() << Reply{204, {}, {}, 0, Fault::None, false} << "failed"
            << "manifest_contract_invalid";
        QTest::newRow("cut mid body") << false << QByteArray()
                                      << Reply{200, {}, QByteArray(4000, 'x'), 0, Fault::DropMidBody, false}
                                      << "failed" << "runtime_unavailable";
    }
    void manifest()
    {
        QFETCH(bool, v2);
        QFETCH(QByteArray, etag);
        QFETCH(Reply, reply);
        QFETCH(QString, outcome);
        QFETCH(QString, code);
        QVERIFY(mint());
        const QByteArray route = v2 ? W::manifestV2Route : W::manifestRoute;
        fake->script("GET", route, {reply});
        QSignalSpy modified(transport.get(), &RuntimeTransport::manifestModified);
        QSignalSpy notModified(transport.get(), &RuntimeTransport::manifestNotModified);
        QSignalSpy unavailable(transport.get(), &RuntimeTransport::manifestRouteUnavailable);
        QSignalSpy failed(transport.get(), &RuntimeTransport::manifestFailed);
        v2 ? transport->fetchManifestV2(etag) : transport->fetchManifest(etag);
        QTRY_COMPARE_WITH_TIMEOUT(modified.size() + notModified.size() + unavailable.size()
                                      + failed.size(), 1, waitMs);
        const auto request = fake->requestsTo(route).at(0);
        QCOMPARE(request.header("If-None-Match"), etag);
        QCOMPARE(request.header("Authorization"), "Talvorine-Session " + sessionToken.toLatin1());
        if (outcome == "modified") {
            QCOMPARE(modified.size(), 1);
            QCOMPARE(modified.at(0).at(0).toByteArray(), reply.body);
            QCOMPARE(modified.at(0).at(1).toByteArray(), QByteArray("\"rev-2\""));
            QCOMPARE(modified.at(0).at(2).toString(), QString::fromLatin1(route));
        } else if (outcome == "not_modified") {
            QCOMPARE(notModified.size(), 1);
            QCOMPARE(notModified.at(0).at(0).toString(), QString::fromLatin1(route));
        } else if (outcome == "route_unavailable") {
            QCOMPARE(unavailable.size(), 1);
        } else {
            QCOMPARE(failed.size(), 1);
            if (!code.isEmpty())
                QCOMPARE(failed.at(0).at(0).toString(), code);
            QCOMPARE(transport->lastManifestDecision().code, failed.at(0).at(0).toString());
            QVERIFY(!failed.at(0).at(2).toString().isEmpty());
            // A complete answer reports its own status; only a broken one reports none.
            if (reply.fault == Fault::None) {
                QCOMPARE(failed.at(0).at(1).toInt(), reply.status);
                QCOMPARE(transport->lastManifestDecision().status, reply.status);
            }
        }
    }

    void manifestWithoutSessionAndAfter401()
    {
        QSignalSpy failed(transport.get(), &RuntimeTransport::manifestFailed);
        transport->fetchManifest({});
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("runtime_session_expired"));
        QCOMPARE(failed.at(0).at(1).toInt(), 0);
        QVERIFY(fake->requests().isEmpty());

        QVERIFY(mint());
        fake->script("GET", W::manifestRoute, {Reply::json(401, QJsonObject{})});
        QSignalSpy expired(transport.get(), &RuntimeTransport::runtimeSessionExpired);
        transport->fetchManifest({});
        transport->fetchManifest({});
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 3, waitMs);
        QCOMPARE(expired.size(), 1); // once per credential
        QVERIFY(!transport->hasRuntimeSession());
    }

    void late401ForReplacedSession()
    {
        QVERIFY(mint());
        Reply late = Reply::json(401, QJsonObject{});
        late.latencyMs = 1500;
        fake->script("GET", W::manifestRoute, {late});
        QSignalSpy expired(transport.get(), &RuntimeTransport::runtimeSessionExpired);
        QSignalSpy failed(transport.get(), &RuntimeTransport::manifestFailed);
        transport->fetchManifest({});
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::manifestRoute).size(), 1, waitMs);
        // A new session is minted while the old one's answer is still on its way.
        fake->script("POST", W::sessionMintRoute,
                     {Reply::json(200, mintReply({{"session", "tvs_session-B_2"}}))});
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        transport->createDeviceSession(QStringLiteral("mint-key-0002"));
        QVERIFY(succeeded.wait(waitMs));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
        QCOMPARE(expired.size(), 0);
        QVERIFY(transport->hasRuntimeSession());

        // The new credential's own 401 is announced, once.
        fake->script("GET", W::manifestRoute, {Reply::json(401, QJsonObject{})});
        transport->fetchManifest({});
        transport->fetchManifest({});
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 3, waitMs);
        QCOMPARE(expired.size(), 1);
        QVERIFY(!transport->hasRuntimeSession());
    }

    void oversizedRepliesFail_data()
    {
        QTest::addColumn<bool>("manifest");
        QTest::addColumn<Reply>("reply");
        const auto announcing = [](qint64 length) {
            // Headers that announce more than the cap, then silence: refused without waiting.
            Reply reply = Reply::json(200, QByteArray())
                              .withHeader("Content-Length", QByteArray::number(length));
            reply.stream = true;
            return reply;
        };
        QTest::newRow("manifest body over the cap")
            << true << Reply::json(200, QByteArray(RuntimeTransport::manifestByteLimit + 1024, ' '));
        QTest::newRow("manifest announced over the cap")
            << true << announcing(RuntimeTransport::manifestByteLimit + 1);
        QTest::newRow("other answer announced over the cap")
            << false << announcing(RuntimeTransport::replyByteLimit + 1);
    }
    void oversizedRepliesFail()
    {
        QFETCH(bool, manifest);
        QFETCH(Reply, reply);
        QVERIFY(mint());
        QSignalSpy failed(transport.get(), &RuntimeTransport::manifestFailed);
        QSignalSpy modified(transport.get(), &RuntimeTransport::manifestModified);
        QSignalSpy uploadFailed(transport.get(), &RuntimeTransport::screenshotUploadFailed);
        if (manifest) {
            fake->script("GET", W::manifestRoute, {reply});
            transport->fetchManifest({});
            QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
            QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("runtime_reply_too_large"));
            QCOMPARE(modified.size(), 0);
        } else {
            fake->script("PUT", W::screenshotRoute, {reply});
            transport->reportScreenshotFailure(QStringLiteral("shot_0123456789abcdef"), false);
            QTRY_COMPARE_WITH_TIMEOUT(uploadFailed.size(), 1, waitMs);
            QCOMPARE(uploadFailed.at(0).at(1).toString(), QStringLiteral("runtime_reply_too_large"));
        }
    }

    void largeManifestIsKept()
    {
        // Larger than the last known good copy once took, within what the transport takes: a
        // manifest that plays must also be there after a restart without the service.
        const QByteArray body = "{\"pad\":\"" + QByteArray(20 * 1024 * 1024, 'x') + "\"}";
        QVERIFY(body.size() < RuntimeTransport::manifestByteLimit);
        QVERIFY(mint());
        fake->script("GET", W::manifestRoute, {Reply::json(200, body)});
        QSignalSpy modified(transport.get(), &RuntimeTransport::manifestModified);
        transport->fetchManifest({});
        QTRY_COMPARE_WITH_TIMEOUT(modified.size(), 1, waitMs);
        const PersistentState state(path("state"));
        QString error;
        QVERIFY2(state.saveLastKnownGood(modified.at(0).at(0).toByteArray(), "r1", &error,
                                         W::manifestRoute),
                 qPrintable(error));
        QCOMPARE(PersistentState(path("state")).loadLastKnownGood(), body);
    }

    void floodedStreamIsHeldBack_data()
    {
        using Flood = test::FloodingHttpServer::Transport;
        QTest::addColumn<bool>("pairing");
        QTest::addColumn<Flood>("over");
        QTest::newRow("runtime stream") << false << Flood::Http;
        QTest::newRow("pairing stream") << true << Flood::Http;
        QTest::newRow("runtime stream, production service") << false << Flood::HttpsNonLocal;
        QTest::newRow("pairing stream, production service") << true << Flood::HttpsNonLocal;
    }
    void floodedStreamIsHeldBack()
    {
        QFETCH(bool, pairing);
        QFETCH(test::FloodingHttpServer::Transport, over);
        test::FloodingHttpServer server(over);
        QVERIFY(server.listening());
        server.trustInProcess();
        transport = makeTransport(server.url());
        const QByteArray route = pairing ? W::pairingEventsRoute : W::eventsRoute;
        if (pairing) {
            const NativePairingSession session{QStringLiteral("ABC234"), pairingToken,
                                               QDateTime::currentDateTimeUtc().addSecs(600)};
            QVERIFY(NativePairingStore(path("pairing-session")).save(session));
            QVERIFY(transport->adoptStoredPairingCredential());
        } else {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            server.answer(W::identityChallengeRoute, 201, W::jsonType,
                          QJsonDocument(QJsonObject{{"nonce", QString(43, 'A')},
                                                    {"expires_at", now.addSecs(60).toString(Qt::ISODateWithMs)},
                                                    {"server_time", now.toString(Qt::ISODateWithMs)}})
                              .toJson());
            server.answer(W::sessionMintRoute, 200, W::jsonType,
                          QJsonDocument(mintReply()).toJson());
            QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
            transport->createDeviceSession(QStringLiteral("mint-key-0001"));
            QVERIFY(succeeded.wait(waitMs));
        }
        // A line that never ends, far longer than any socket buffers could take.
        const qint64 flood = 256 * 1024 * 1024;
        server.flood(route, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream", flood);
        pairing ? transport->openPairingEvents() : transport->openEvents({});
        // Qt hands the reply's read buffer size to its network thread after the request; over
        // plain HTTP that thread reads an unbuffered socket for as long as bytes keep coming, so
        // a flood racing ahead of the size would be taken whole. Over TLS its socket's own
        // buffer ends each read; here the flood starts once the request is set up.
        server.releaseFlood();
        QTRY_VERIFY_WITH_TIMEOUT(server.floodStarted(), waitMs);
        // Over HTTP/2 Qt would keep granting the server credit whatever is read: not offered.
        const auto replies = transport->networkAccessManager()->findChildren<QNetworkReply*>();
        QVERIFY(!replies.isEmpty());
        for (const QNetworkReply* reply : replies)
            QVERIFY(!reply->request().attribute(QNetworkRequest::Http2AllowedAttribute).toBool());
        // The GUI thread is held up here, as a long layout or a slow disk would hold it; the
        // flood has to wait for it instead of filling memory meanwhile.
        const qint64 written = server.waitWhileFlooding(1000);
        QVERIFY2(written < flood, qPrintable(QStringLiteral("%1 bytes taken").arg(written)));
        pairing ? transport->closePairingEvents() : transport->closeEvents();
    }

    // --- runtime event stream ------------------------------------------------------------

    void dispatch_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QVariantList>("arguments");
        QTest::newRow("manifest changed")
            << sse("screen.manifest_changed", {{"manifest_revision", "man_9"}})
            << QByteArray(SIGNAL(invalidated(QString))) << QVariantList{"man_9"};
        QTest::newRow("content changed")
            << sse("screen.content_changed", {{"manifest_revision", "man_10"}})
            << QByteArray(SIGNAL(invalidated(QString))) << QVariantList{"man_10"};
        QTest::newRow("type from event name")
            << QByteArray("event: screen.deleted\ndata: {}\n\n")
            << QByteArray(SIGNAL(screenDeleted())) << QVariantList{};
        QTest::newRow("problem") << sse("problem", {{"code", "screen_moved"}, {"action", "remint"}})
                                 << QByteArray(SIGNAL(streamProblem(QString,QString)))
                                 << QVariantList{"screen_moved", "remint"};
        QTest::newRow("resync") << sse("stream.resync_required", {{"cursor", "cur_99"}})
                                << QByteArray(SIGNAL(resyncRequired(QString))) << QVariantList{"cur_99"};
        QTest::newRow("resumed") << sse("project.resumed", {}) << QByteArray(SIGNAL(projectResumed()))
                                 << QVariantList{};
        QTest::newRow("archived") << sse("screen.archived", {}) << QByteArray(SIGNAL(screenArchived()))
                                  << QVariantList{};
        QTest::newRow("unarchived") << sse("screen.unarchived", {})
                                    << QByteArray(SIGNAL(screenUnarchived())) << QVariantList{};
        QTest::newRow("revoked") << sse("device.credential_revoked", {})
                                 << QByteArray(SIGNAL(deviceCredentialRevoked())) << QVariantList{};
        QTest::newRow("credits") << sse("project.credits_changed", {{"remaining", 41}})
                                 << QByteArray(SIGNAL(creditsRemainingChanged(qint64)))
                                 << QVariantList{qint64(41)};
        QTest::newRow("split across chunks")
            << sse("screen.manifest_changed", {{"manifest_revision", "man_1"}})
            << QByteArray(SIGNAL(invalidated(QString))) << QVariantList{"man_1"};
    }
    void dispatch()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, arguments);
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy spy(transport.get(), signal.constData());
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        transport->openEvents(QStringLiteral("cur_7"));
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);
        const auto request = fake->requestsTo(W::eventsRoute).at(0);
        QCOMPARE(request.query, QByteArray("cursor=cur_7"));
        QCOMPARE(request.header("Accept"), QByteArray("text/event-stream"));
        // Noise first: a comment, an invalid JSON event and an unknown type dispatch nothing.
        fake->sendEvents(W::eventsRoute, ": hello\n\ndata: {not json\n\n");
        fake->sendEvents(W::eventsRoute, sse("screen.unknown", {}));
        if (QTest::currentDataTag() == QByteArray("split across chunks")) {
            for (qsizetype i = 0; i < chunk.size(); i += 7) {
                fake->sendEvents(W::eventsRoute, chunk.mid(i, 7));
                QTest::qWait(5);
            }
        } else {
            fake->sendEvents(W::eventsRoute, chunk);
        }
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, waitMs);
        QCOMPARE(spy.at(0), arguments);
        QCOMPARE(connected.size(), 1);
        QCOMPARE(connected.at(0).at(0).toBool(), true);
        if (signal.contains("deviceCredentialRevoked"))
            QVERIFY(!transport->hasDeviceCredential());
        transport->closeEvents();
        QTest::qWait(50);
        QCOMPARE(connected.size(), 1); // closing is silent
    }

    void reloadAndScreenshotEvents()
    {
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy reload(transport.get(), &RuntimeTransport::reloadRequested);
        QSignalSpy screenshot(transport.get(), &RuntimeTransport::screenshotRequested);
        transport->openEvents({});
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);
        QCOMPARE(fake->requestsTo(W::eventsRoute).at(0).query, QByteArray());
        const QJsonObject reloadDetails{{"reload_id", "rl_1"}, {"kinds", QJsonArray{"qt"}}};
        fake->sendEvents(W::eventsRoute, sse("player.reload", reloadDetails));
        QTRY_COMPARE_WITH_TIMEOUT(reload.size(), 1, waitMs);
        const QJsonObject event = reload.at(0).at(0).toJsonObject();
        QCOMPARE(event.value("details").toObject(), reloadDetails);
        QCOMPARE(event.value("type").toString(), QStringLiteral("player.reload"));

        const QString expires = QDateTime::currentDateTimeUtc().addSecs(60).toString(Qt::ISODateWithMs);
        fake->sendEvents(W::eventsRoute,
                         sse("screen.screenshot_requested",
                             {{"capture_id", "shot_0123456789abcdef"}, {"expires_at", expires}}));
        fake->sendEvents(W::eventsRoute, sse("screen.manifest_changed", {}));
        QSignalSpy invalidated(transport.get(), &RuntimeTransport::invalidated);
        QTRY_COMPARE_WITH_TIMEOUT(invalidated.size(), 1, waitMs);
        if (!screenshot.isEmpty())
            QCOMPARE(screenshot.at(0).at(0).value<ScreenshotRequest>().captureId,
                     QStringLiteral("shot_0123456789abcdef"));
    }

    void reconnectWithLastEventIdAndRetry()
    {
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        transport->openEvents(QStringLiteral("cur_7"));
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);
        fake->sendEvents(W::eventsRoute, "retry: 300\nid: evt_41\ndata: {\"type\":\"project.resumed\"}\n\n");
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, waitMs);
        QTest::qWait(50);
        fake->closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, waitMs);
        QCOMPARE(connected.at(1).at(0).toBool(), false);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::eventsRoute).size(), 2, waitMs);
        QVERIFY(clock.elapsed() >= 200);
        QVERIFY(clock.elapsed() < 3000);
        const auto again = fake->requestsTo(W::eventsRoute).at(1);
        QCOMPARE(again.header("Last-Event-ID"), QByteArray("evt_41"));
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 3, waitMs);
        QCOMPARE(connected.at(2).at(0).toBool(), true);
    }

    void cursorIsFullyEncoded_data()
    {
        QTest::addColumn<QString>("cursor");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("plain") << "cur_7" << QByteArray("/runtime/v1/events?cursor=cur_7");
        QTest::newRow("reserved and space")
            << "a+b&c=d e/f?" << QByteArray("/runtime/v1/events?cursor=a%2Bb%26c%3Dd%20e%2Ff%3F");
        QTest::newRow("percent and non-ascii")
            << QStringLiteral("50%") + QChar(0xe9) << QByteArray("/runtime/v1/events?cursor=50%25%C3%A9");
    }
    void cursorIsFullyEncoded()
    {
        QFETCH(QString, cursor);
        QFETCH(QByteArray, target);
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        transport->openEvents(cursor);
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::eventsRoute).size(), 1, waitMs);
        QCOMPARE(fake->requestsTo(W::eventsRoute).at(0).target, target);
        transport->closeEvents();
    }

    void reconnectFallsBackToCursor()
    {
        QVERIFY(mint());
        Reply failing = Reply::json(503, QJsonObject{});
        failing = failing.withHeader("Retry-After", "0");
        fake->script("GET", W::eventsRoute, {failing, Reply::eventStream()});
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        transport->openEvents(QStringLiteral("cur_7"));
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::eventsRoute).size(), 2, waitMs);
        QCOMPARE(fake->requestsTo(W::eventsRoute).at(1).header("Last-Event-ID"), QByteArray("cur_7"));
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, waitMs);
        QCOMPARE(connected.at(0).at(0).toBool(), false);
        QCOMPARE(connected.at(1).at(0).toBool(), true);
    }

    void reconnectsBackOff_data()
    {
        QTest::addColumn<QList<Reply>>("replies");
        QTest::addColumn<int>("most");
        Reply closedAtOnce = Reply::eventStream();
        closedAtOnce.stream = false;
        closedAtOnce.body = "retry: 0\n\n";
        Reply refusal = Reply::json(500, QJsonObject{});
        // Answered, then closed before any event: no better than a refusal. Back-off of about
        // 1, 1-2 and 2-4 s leaves at most four requests in six seconds.
        QTest::newRow("200 closed at once, retry 0") << QList<Reply>{closedAtOnce} << 4;
        QTest::newRow("500 after retry 0") << QList<Reply>{closedAtOnce, refusal} << 4;
        QTest::newRow("500 with Retry-After 0")
            << QList<Reply>{refusal.withHeader("Retry-After", "0")} << 4;
        // Each stream carries an event, so each counts as having worked: the floor still holds.
        Reply eventThenClosed = closedAtOnce;
        eventThenClosed.body = "retry: 0\ndata: {\"type\":\"project.resumed\"}\n\n";
        QTest::newRow("event then closed") << QList<Reply>{eventThenClosed} << 7;
    }
    void reconnectsBackOff()
    {
        QFETCH(QList<Reply>, replies);
        QFETCH(int, most);
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, replies);
        transport->openEvents({});
        QTest::qWait(6000);
        const int count = int(fake->requestsTo(W::eventsRoute).size());
        transport->closeEvents();
        QVERIFY2(count >= 2 && count <= most, qPrintable(QString::number(count)));
    }

    // The first answer to another request ends the stream's long wait after the service refused
    // it; refused again right after, it waits its next back-off in full. Cut by the network, it
    // is hurried at most once a minute, a network coming and going included, and while the
    // service is out of reach it tries once a minute at least.
    void answerEndsReconnectWait()
    {
        qint64 nowMs = 1000000;
        transport->setMonotonicClock([&nowMs] { return nowMs; });
        QVERIFY(mint());
        const Reply refusal = Reply::json(500, QJsonObject{});
        fake->script("GET", W::eventsRoute,
                     QList<Reply>(8, refusal) << Reply::eventStream() << refusal
                                              << Reply::eventStream() << Reply::eventStream());
        fake->script("POST", W::reportsRoute, {Reply::json(202, QJsonObject{})});
        auto* reconnect = transport->findChild<QTimer*>("runtimeStreamReconnectTimer");
        QVERIFY(reconnect);
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        QSignalSpy labelled(transport.get(), &RuntimeTransport::screenLabelAnswered);
        const auto answer = [&] {
            transport->putScreenLabel(QStringLiteral("Lobby"));
            return labelled.wait(waitMs);
        };
        transport->openEvents({});
        for (int drops = 1; drops <= 8; ++drops) {
            QTRY_COMPARE_WITH_TIMEOUT(connected.size(), drops, waitMs);
            if (drops < 8)
                reconnect->start(0);
        }
        QVERIFY(reconnect->isActive() && reconnect->interval() >= 64000);

        transport->reportCondition(QStringLiteral("info"), QStringLiteral("player.probe"), {});
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 9, waitMs);
        QCOMPARE(connected.last().at(0).toBool(), true);

        fake->closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 10, waitMs);
        QVERIFY(reconnect->isActive() && reconnect->interval() >= 128000);
        nowMs += 20000;
        QVERIFY(answer());
        const int minute = RuntimeTransport::answeredReconnectMs;
        const int floor = RuntimeTransport::reconnectFloorMs;
        QVERIFY(reconnect->interval() >= minute - 20000 && reconnect->interval() <= minute - 20000 + floor);
        QCOMPARE(fake->requestsTo(W::eventsRoute).size(), 9);
        nowMs += 40000;
        reconnect->start(0);
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::eventsRoute).size(), 10, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 11, waitMs);
        const int refusedWait = reconnect->interval();
        QVERIFY(answer());
        QCOMPARE(reconnect->interval(), refusedWait);

        nowMs += 10000;
        reconnect->start(0);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 12, waitMs);
        QCOMPARE(connected.last().at(0).toBool(), true);
        // The network goes and comes back within the minute of the last hurry.
        fake->closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 13, waitMs);
        fake->setRefusing(true);
        QVERIFY(answer());
        fake->setRefusing(false);
        QVERIFY(answer());
        QVERIFY(reconnect->interval() >= minute - 10000 && reconnect->interval() <= minute - 10000 + floor);
        reconnect->start(0);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 14, waitMs);
        QCOMPARE(connected.last().at(0).toBool(), true);
        // Out of reach, it tries once a minute at least, whatever its back-off has grown to.
        fake->setRefusing(true);
        fake->closeStreams(W::eventsRoute);
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 15, waitMs);
        reconnect->start(0);
        QTRY_VERIFY_WITH_TIMEOUT(reconnect->isActive() && reconnect->interval() >= minute / 2
                                     && reconnect->interval() <= minute,
                                 waitMs);
    }

    void streamStallReconnects()
    {
        qputenv(W::runtimeStreamStallEnv, "5000");
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        transport->openEvents({});
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);
        fake->sendEvents(W::eventsRoute, "retry: 100\n\n");
        // Comments keep the stream alive past the bound.
        for (int i = 0; i < 4; ++i) {
            QTest::qWait(1500);
            fake->sendEvents(W::eventsRoute, ": ping\n\n");
        }
        QCOMPARE(fake->requestsTo(W::eventsRoute).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::eventsRoute).size(), 2, 9000);
        QVERIFY(connected.size() >= 2);
        QCOMPARE(connected.at(1).at(0).toBool(), false);
    }

    void stallBound_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("bound");
        QTest::newRow("unset") << QByteArray() << 75000;
        QTest::newRow("lowest") << QByteArray("5000") << 5000;
        QTest::newRow("highest") << QByteArray("600000") << 600000;
        QTest::newRow("below") << QByteArray("4999") << 75000;
        QTest::newRow("above") << QByteArray("600001") << 75000;
        QTest::newRow("sign") << QByteArray("+6000") << 75000;
        QTest::newRow("trailing line feed") << QByteArray("6000\n") << 75000;
        QTest::newRow("hex") << QByteArray("0x2000") << 75000;
        QTest::newRow("huge") << QByteArray("99999999999999") << 75000;
    }
    void stallBound()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, bound);
        if (value.isEmpty())
            qunsetenv(W::runtimeStreamStallEnv);
        else
            qputenv(W::runtimeStreamStallEnv, value);
        QCOMPARE(RuntimeTransport::stallBoundMs(W::runtimeStreamStallEnv, 75000), bound);
    }

    void stream401EndsAndAsksForSession()
    {
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::json(401, QJsonObject{{"code", "session_expired"}})});
        QSignalSpy expired(transport.get(), &RuntimeTransport::runtimeSessionExpired);
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        transport->openEvents({});
        QVERIFY(expired.wait(waitMs));
        QTest::qWait(300);
        QCOMPARE(fake->requestsTo(W::eventsRoute).size(), 1);
        QVERIFY(!transport->hasRuntimeSession());
        QCOMPARE(expired.size(), 1);
        // Refused before it ever connected, the stream still reports itself down.
        QCOMPARE(connected.size(), 1);
        QCOMPARE(connected.at(0).at(0).toBool(), false);
    }

    void streamContentType_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exact") << QByteArray("text/event-stream") << true;
        QTest::newRow("case and charset") << QByteArray("Text/Event-Stream; charset=utf-8") << true;
        QTest::newRow("space before parameter") << QByteArray("text/event-stream ;charset=utf-8")
                                                << true;
        QTest::newRow("html") << QByteArray("text/html") << false;
        QTest::newRow("longer media type") << QByteArray("text/event-streamx") << false;
        QTest::newRow("prefix only") << QByteArray("text/event") << false;
    }
    void streamContentType()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(bool, accepted);
        QVERIFY(mint());
        Reply stream = Reply::eventStream(200, contentType);
        stream.body = "data: {\"type\":\"project.resumed\"}\n\n";
        fake->script("GET", W::eventsRoute, {stream});
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        QSignalSpy resumed(transport.get(), &RuntimeTransport::projectResumed);
        transport->openEvents({});
        QTRY_VERIFY_WITH_TIMEOUT(!connected.isEmpty(), waitMs);
        QCOMPARE(connected.at(0).at(0).toBool(), accepted);
        if (accepted)
            QTRY_COMPARE_WITH_TIMEOUT(resumed.size(), 1, waitMs);
        else
            QCOMPARE(resumed.size(), 0);
        transport->closeEvents();
    }

    void pairingStreamContentType_data()
    {
        streamContentType_data();
    }
    void pairingStreamContentType()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(bool, accepted);
        fake->script("POST", W::pairingStartRoute,
                     {Reply::json(201, QJsonObject{{"code", "ABC234"},
                                                   {"pairing_credential", pairingToken},
                                                   {"expires_at", "2099-01-01T00:10:00Z"}})});
        QSignalSpy started(transport.get(), &RuntimeTransport::pairingStarted);
        transport->startPairing(QStringLiteral("start-key-0001"));
        QVERIFY(started.wait(waitMs));
        Reply stream = Reply::eventStream(200, contentType);
        stream.body = sse("pairing.claimed", QJsonObject{{"nonce", QString(43, 'n')}});
        fake->script("GET", W::pairingEventsRoute, {stream});
        QSignalSpy claimed(transport.get(), &RuntimeTransport::pairingClaimed);
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingEventFailed);
        transport->openPairingEvents();
        QTRY_COMPARE_WITH_TIMEOUT(claimed.size() + failed.size(), 1, waitMs);
        QCOMPARE(claimed.size(), accepted ? 1 : 0);
        if (!accepted)
            QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("pairing_stream_contract_invalid"));
        transport->closePairingEvents();
    }

    void hostileStreamInput()
    {
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy deleted(transport.get(), &RuntimeTransport::screenDeleted);
        QSignalSpy credits(transport.get(), &RuntimeTransport::creditsRemainingChanged);
        QSignalSpy invalidated(transport.get(), &RuntimeTransport::invalidated);
        transport->openEvents({});
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);
        // An event larger than the parser keeps is dropped whole, whatever its type.
        fake->sendEvents(W::eventsRoute, "data: {\"type\":\"screen.deleted\",\"pad\":\""
                                             + QByteArray(70000, 'x') + "\"}\n\n");
        fake->sendEvents(W::eventsRoute, "data: [1,2,3]\n\ndata: \"text\"\n\n");
        fake->sendEvents(W::eventsRoute, sse("project.credits_changed", {{"remaining", "12"}}));
        fake->sendEvents(W::eventsRoute, sse("project.credits_changed", {{"remaining", 1.5}}));
        fake->sendEvents(W::eventsRoute, "data: {\"type\":7,\"details\":[]}\n\n");
        fake->sendEvents(W::eventsRoute, sse("screen.manifest_changed", {{"manifest_revision", 9}}));
        QTRY_COMPARE_WITH_TIMEOUT(invalidated.size(), 1, waitMs);
        QCOMPARE(invalidated.at(0).at(0).toString(), QString());
        QCOMPARE(deleted.size(), 0);
        QCOMPARE(credits.size(), 0);
    }

    // Toasts from the service: an accepted one reaches the controller once, a refused one leaves
    // one developer-log record, and only errors of a production service are shown. A flood of
    // refused ones leaves a record per second, so that what the log held before survives it.
    void screenToasts_data()
    {
        QTest::addColumn<bool>("production");
        QTest::newRow("local origin") << false;
        QTest::newRow("production origin") << true;
    }
    void screenToasts()
    {
        QFETCH(bool, production);
        // Every fake's authority has the same name: leave no other one trusted for later tests.
        const QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        const auto restore = qScopeGuard([&] {
            transport.reset();
            QSslConfiguration::setDefaultConfiguration(trusted);
        });
        if (production) {
            transport.reset();
            fake = std::make_unique<FakeRuntimeService>(FakeRuntimeService::Transport::HttpsNonLocal);
            QVERIFY2(fake->listening(), qPrintable(fake->setupError()));
            fake->requireProof(W::sessionMintRoute, "session.mint");
            fake->trustInProcess();
            transport = makeTransport(fake->url());
        }
        const auto logOff = qScopeGuard([] { DevFileLog::configure(QUrl(), QString(), 0); });
        DevFileLog::configure(fake->url(), dir->path(), 65536);
        QVERIFY(mint());
        fake->script("GET", W::eventsRoute, {Reply::eventStream()});
        QSignalSpy toasts(transport.get(), &RuntimeTransport::toastReceived);
        QSignalSpy invalidated(transport.get(), &RuntimeTransport::invalidated);
        transport->openEvents({});
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(W::eventsRoute), 1, waitMs);

        const QDateTime expires = QDateTime::currentDateTimeUtc().addSecs(3600);
        const QString stamp = expires.toString(Qt::ISODateWithMs);
        fake->sendEvents(W::eventsRoute, sse("screen.toast", {{"text", "Lobby closed"},
                                                              {"duration_ms", 8000},
                                                              {"expires_at", stamp},
                                                              {"level", "alert"}}));
        fake->sendEvents(W::eventsRoute, sse("screen.toast", {{"text", ""},
                                                              {"duration_ms", 8000},
                                                              {"expires_at", stamp}}));
        fake->sendEvents(W::eventsRoute, "data: {\"type\":\"screen.toast\",\"details\":\"Hi\"}\n\n");
        fake->sendEvents(W::eventsRoute, sse("screen.toast", {{"text", "Fire drill\nat noon"},
                                                              {"duration_ms", 60000},
                                                              {"expires_at", stamp},
                                                              {"level", "error"}}));
        fake->sendEvents(W::eventsRoute, sse("screen.manifest_changed", {}));
        QTRY_COMPARE_WITH_TIMEOUT(invalidated.size(), 1, waitMs);

        QList<QVariantList> expected{{"alert", "Lobby closed", 8000, expires},
                                     {"error", "Fire drill\nat noon", 60000, expires}};
        if (production)
            expected.removeFirst();
        QCOMPARE(QList<QVariantList>(toasts), expected);
        const QList<QJsonObject> records = test::readJsonLines(dir->filePath("dev-log.jsonl"));
        QStringList reasons;
        for (const QJsonObject& record : test::recordsOf(records, "runtime.toast_rejected"))
            reasons.append(record.value("reason").toString());
        // The developer log is written for local origins only.
        QCOMPARE(reasons, production ? QStringList() : QStringList({"text_empty", "details_not_object"}));
        QVERIFY(test::recordsOf(records, "runtime.event_ignored").isEmpty());

        const QByteArray refused =
            sse("screen.toast", {{"text", ""}, {"duration_ms", 8000}, {"expires_at", stamp}});
        fake->sendEvents(W::eventsRoute, refused.repeated(3000));
        fake->sendEvents(W::eventsRoute, sse("screen.manifest_changed", {}));
        QTRY_COMPARE_WITH_TIMEOUT(invalidated.size(), 2, waitMs);
        const QList<QJsonObject> after = test::readJsonLines(dir->filePath("dev-log.jsonl"));
        QCOMPARE(after.mid(0, records.size()), records);
        QVERIFY(!QFile::exists(dir->filePath("dev-log.jsonl.prev")));
    }

    void endlessRefusalIsCut_data()
    {
        QTest::addColumn<bool>("pairing");
        QTest::newRow("runtime stream") << false;
        QTest::newRow("pairing stream") << true;
    }
    void endlessRefusalIsCut()
    {
        QFETCH(bool, pairing);
        const QByteArray route = pairing ? W::pairingEventsRoute : W::eventsRoute;
        Reply endless = Reply::json(503, QByteArray());
        endless.stream = true;
        fake->script("GET", route, {endless});
        QSignalSpy connected(transport.get(), &RuntimeTransport::eventConnectionChanged);
        QSignalSpy pairingFailed(transport.get(), &RuntimeTransport::pairingEventFailed);
        if (pairing) {
            fake->script("POST", W::pairingStartRoute,
                         {Reply::json(201, QJsonObject{{"code", "ABC234"},
                                                       {"pairing_credential", pairingToken},
                                                       {"expires_at", "2099-01-01T00:10:00Z"}})});
            QSignalSpy started(transport.get(), &RuntimeTransport::pairingStarted);
            transport->startPairing(QStringLiteral("start-key-0001"));
            QVERIFY(started.wait(waitMs));
            transport->openPairingEvents();
        } else {
            QVERIFY(mint());
            transport->openEvents({});
        }
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(route), 1, waitMs);
        const QByteArray chunk(64 * 1024, 'x');
        auto reported = [&] { return !connected.isEmpty() || !pairingFailed.isEmpty(); };
        // Well past the reply limit, and long before either stall bound.
        for (int sent = 0; sent < 96 && !reported(); ++sent) {
            fake->sendEvents(route, chunk);
            QTest::qWait(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(reported(), waitMs);
        if (pairing) {
            QCOMPARE(pairingFailed.at(0).at(0).toString(), QStringLiteral("runtime_reply_too_large"));
            QCOMPARE(pairingFailed.at(0).at(1).toInt(), 503);
            transport->closePairingEvents();
        } else {
            QCOMPARE(connected.at(0).at(0).toBool(), false);
            transport->closeEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(fake->openStreams(route), 0, waitMs);
    }

    void noSessionOpensNothing()
    {
        transport->openEvents(QStringLiteral("cur_1"));
        QTest::qWait(100);
        QVERIFY(fake->requests().isEmpty());
    }

    // --- authorisation, cookies ---------------------------------------------------------

    void originScheme_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("http loopback address") << "http://127.0.0.1:1/api" << true;
        QTest::newRow("http localhost") << "http://localhost:1" << true;
        QTest::newRow("http ipv6 loopback") << "http://[::1]:1" << true;
        QTest::newRow("https loopback") << "https://127.0.0.1:1" << true;
        QTest::newRow("http remote host") << "http://runtime.example.com" << false;
        QTest::newRow("http private address") << "http://10.0.0.5:8080" << false;
        QTest::newRow("http other loopback spelling") << "http://127.0.0.2:1" << false;
        QTest::newRow("http localhost lookalike") << "http://localhost.example.com" << false;
        QTest::newRow("ftp") << "ftp://127.0.0.1:1" << false;
    }
    void originScheme()
    {
        QFETCH(QString, base);
        QFETCH(bool, accepted);
        const auto made = makeTransport(QUrl(base));
        QSignalSpy failed(made.get(), &RuntimeTransport::pairingStartFailed);
        made->startPairing(QStringLiteral("start-key-0001"));
        // A refused origin fails before anything is sent; an accepted one goes out.
        const bool refused = failed.size() == 1
            && failed.at(0).at(0).toString() == QLatin1String("runtime_origin_invalid");
        QCOMPARE(!refused, accepted);
    }

    void authorization_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("attached");
        QTest::newRow("same origin") << "http://127.0.0.1:%1/content/v1/x" << true;
        QTest::newRow("scheme in capitals") << "HTTP://127.0.0.1:%1/x" << true;
        QTest::newRow("other port") << "http://127.0.0.1:1/x" << false;
        QTest::newRow("other host") << "http://localhost:%1/x" << false;
        QTest::newRow("other scheme") << "https://127.0.0.1:%1/x" << false;
        QTest::newRow("user info host trick") << "http://127.0.0.1:%1@example.invalid/x" << false;
    }
    void authorization()
    {
        QFETCH(QString, url);
        QFETCH(bool, attached);
        QNetworkRequest request(QUrl(url.contains("%1") ? url.arg(fake->port()) : url));
        QVERIFY(!transport->authorizeRuntimeRequest(request));
        QVERIFY(!request.hasRawHeader("Authorization"));
        QVERIFY(mint());
        QCOMPARE(transport->authorizeRuntimeRequest(request), attached);
        QCOMPARE(request.rawHeader("Authorization"),
                 attached ? "Talvorine-Session " + sessionToken.toLatin1() : QByteArray());
    }

    void noCookiesAndNoAuthorizationAcrossOrigins()
    {
        FakeRuntimeService other;
        QVERIFY(other.listening());
        other.setFallback(Reply::json(200, QByteArray("{}")));
        QVERIFY(mint());
        Reply cookie = Reply::json(200, QJsonObject{{"label", "A"}});
        cookie = cookie.withHeader("Set-Cookie", "sid=secret; Path=/");
        Reply redirect{307, {{"Location", other.url("/runtime/v1/screen-label").toEncoded()}}, {}, 0,
                       Fault::None, false};
        fake->script("PUT", W::screenLabelRoute, {cookie, Reply::json(200, QJsonObject{}), redirect});
        QSignalSpy answered(transport.get(), &RuntimeTransport::screenLabelAnswered);
        transport->putScreenLabel("A");
        QVERIFY(answered.wait(waitMs));
        transport->putScreenLabel("B");
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 2, waitMs);
        QCOMPARE(answered.at(1).at(1).toString(), QStringLiteral("B"));
        const auto second = fake->requestsTo(W::screenLabelRoute).at(1);
        QVERIFY(!second.hasHeader("Cookie"));
        QCOMPARE(second.jsonBody(), (QJsonObject{{"label", "B"}}));
        transport->putScreenLabel("C");
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 3, waitMs);
        QCOMPARE(other.requests().size(), 0); // the cross-origin redirect is never followed
        QVERIFY(answered.at(2).at(0).toInt() != 200);
    }

    void everyRequestHasATimeout()
    {
        QVERIFY(mint());
        Reply slow = Reply::json(200, QJsonObject{});
        slow.latencyMs = 60000;
        fake->script("PUT", W::screenLabelRoute, {slow});
        QNetworkRequest probe(fake->url("/runtime/v1/screen-label"));
        QCOMPARE(transport->networkAccessManager()->transferTimeout(), 30000);
        QVERIFY(transport->networkAccessManager()->cookieJar()->cookiesForUrl(fake->url()).isEmpty());
        Reply stalled = Reply::json(200, QByteArray(2000, ' '));
        stalled.fault = Fault::Stall;
        fake->script("PUT", W::storageRoute, {stalled});
        // Storage carries its own 10000 ms bound: a stalled body ends in a failure, not a hang.
        QElapsedTimer clock;
        clock.start();
        transport->putStorage(QJsonObject{{"plan", QJsonObject{{"manifest_revision", "man_1"}}}});
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::storageRoute).size(), 1, waitMs);
        auto* manager = transport->networkAccessManager();
        QSignalSpy finished(manager, &QNetworkAccessManager::finished);
        QVERIFY(finished.wait(15000));
        QVERIFY(clock.elapsed() >= 9000);
        QVERIFY(finished.at(0).at(0).value<QNetworkReply*>()->error() != QNetworkReply::NoError);
    }

    // --- reports --------------------------------------------------------------------------

    void reportBodies_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QJsonObject>("expected"); // without occurred_at
        QTest::newRow("condition") << 0
            << QJsonObject{{"kind", "condition"}, {"severity", "error"}, {"code", "playback.page_failed"},
                           {"context", QJsonObject{{"page_id", "p1"}, {"code", "decode"}}}};
        QTest::newRow("activation") << 1
            << QJsonObject{{"kind", "activation"}, {"severity", "info"}, {"code", "manifest.activated"},
                           {"context", QJsonObject{{"manifest_revision", "man_5"}}}};
        QTest::newRow("media started") << 2
            << QJsonObject{{"kind", "condition"}, {"severity", "info"}, {"code", "playback.media_started"},
                           {"context", QJsonObject{{"media_id", "m1"}, {"manifest_revision", "man_5"},
                                                   {"page_id", "p1"}, {"primitive", "pr1"}}}};
        QTest::newRow("application event") << 3
            << QJsonObject{{"kind", "condition"}, {"severity", "info"}, {"code", "application.event"},
                           {"context", QJsonObject{{"primitive_id", "app1"}, {"event_code", "tap.x"}}}};
        QTest::newRow("application log warn") << 4
            << QJsonObject{{"kind", "condition"}, {"severity", "warning"}, {"code", "application.log"},
                           {"context", QJsonObject{{"primitive_id", "app1"}, {"code", "c"},
                                                   {"message", "hello"}}}};
    }
    void reportBodies()
    {
        QFETCH(int, which);
        QFETCH(QJsonObject, expected);
        QVERIFY(mint());
        fake->script("POST", W::reportsRoute, {Reply::json(202, QByteArray("{\"ok\":true}"))});
        QSignalSpy appEvent(transport.get(), &RuntimeTransport::applicationEventFinished);
        switch (which) {
        case 0:
            transport->reportCondition("error", "playback.page_failed",
                                       {{"page_id", "p1"}, {"code", "decode"}});
            break;
        case 1:
            transport->reportActivated("man_5", true);
            break;
        case 2:
            QVERIFY(transport->reportPlaybackMediaStarted("m1", "man_5", "p1", "pr1"));
            break;
        case 3:
            transport->reportApplicationEvent("app1", "tap.x", "req-1");
            QVERIFY(appEvent.wait(waitMs));
            QCOMPARE(appEvent.at(0), (QVariantList{"req-1", 202, "{\"ok\":true}"}));
            break;
        case 4:
            transport->reportApplicationLog("app1", "warn", "c", "hello");
            break;
        }
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::reportsRoute).size(), 1, waitMs);
        const auto request = fake->requestsTo(W::reportsRoute).at(0);
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"), "Talvorine-Session " + sessionToken.toLatin1());
        QJsonObject body = request.jsonBody();
        const QDateTime occurred = QDateTime::fromString(body.take("occurred_at").toString(),
                                                         Qt::ISODateWithMs);
        QVERIFY(occurred.isValid());
        QCOMPARE(occurred.timeSpec(), Qt::UTC);
        QCOMPARE(body, expected);
    }

    void reportFailures()
    {
        QSignalSpy playback(transport.get(), &RuntimeTransport::playbackReportFailed);
        QSignalSpy activation(transport.get(), &RuntimeTransport::activationReportFailed);
        QSignalSpy expired(transport.get(), &RuntimeTransport::runtimeSessionExpired);
        QVERIFY(!transport->reportPlaybackMediaStarted("m1", "man_5", "p1", "pr1"));
        QVERIFY(mint());
        fake->script("POST", W::reportsRoute,
                     {Reply::json(403, QByteArray()), Reply::json(500, QByteArray()),
                      Reply::json(401, QByteArray())});
        QVERIFY(transport->reportPlaybackMediaStarted("m1", "man_5", "p1", "pr1"));
        QTRY_COMPARE_WITH_TIMEOUT(playback.size(), 1, waitMs);
        QCOMPARE(playback.at(0), (QVariantList{"m1", "man_5", "p1", 403}));
        transport->reportActivated("man_5", true);
        QTRY_COMPARE_WITH_TIMEOUT(activation.size(), 1, waitMs);
        // A 500 is no answer of the service's: the report may be taken later.
        QCOMPARE(activation.at(0), (QVariantList{"man_5", "activation_report_unanswered"}));
        transport->reportActivated("man_6", true);
        QTRY_COMPARE_WITH_TIMEOUT(activation.size(), 2, waitMs);
        QCOMPARE(activation.at(1), (QVariantList{"man_6", "activation_report_unauthorized"}));
        QCOMPARE(expired.size(), 1);
        transport->reportActivated("man_7", false);
        QTest::qWait(100);
        QCOMPARE(fake->requestsTo(W::reportsRoute).size(), 3);
    }

    // The operator's lines as an outage goes: said once it has lasted ("30s"), with a page in
    // the service's place named once in it, even after another reason, and only the service
    // itself answering ends it. An answer in between starts the count again. The transport
    // tells the return after an outage said once, with how long ago (s) the outage's first
    // unanswered request was asked; a step is a second, "30s" half a minute.
    void serviceReach_data()
    {
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("reason"); // of the first line
        QTest::addColumn<QList<int>>("lostFor");
        QTest::newRow("a page after Connection closed")
            << QStringList{"closed", "30s", "page", "page", "closed", "answer"}
            << QStringList{"none", "lost", "lost", "none", "none", "back"} << "Connection closed"
            << QList<int>{34};
        QTest::newRow("a page in the first 30 s")
            << QStringList{"closed", "page", "closed", "30s", "page", "answer", "page", "30s"}
            << QStringList{"none", "none", "none", "lost", "none", "back", "none", "lost"}
            << "page" << QList<int>{34};
        QTest::newRow("gaps shorter than 30 s")
            << QStringList{"closed", "answer", "closed", "page", "answer", "closed", "answer", "30s"}
            << QStringList{"none", "returned", "none", "none", "returned", "none", "returned", "none"}
            << "" << QList<int>{};
    }
    void serviceReach()
    {
        QFETCH(QStringList, replies);
        QFETCH(QStringList, changes);
        QFETCH(QString, reason);
        QFETCH(QList<int>, lostFor);
        ServiceReach reach;
        QStringList taken;
        QString firstReason;
        for (const QString& reply : replies) {
            const ServiceReach::Verdict verdict =
                reply == "closed" ? ServiceReach::verdictOf(0, QNetworkReply::RemoteHostClosedError,
                                                            "Connection closed")
                : reply == "page" ? ServiceReach::verdictOf(200, QNetworkReply::NoError, {}, true)
                                  : ServiceReach::verdictOf(200, QNetworkReply::NoError, {});
            const ServiceReach::Change change = reply == "30s" ? reach.lasted() : reach.take(verdict);
            if (change == ServiceReach::Change::Lost && firstReason.isEmpty())
                firstReason = reach.reason();
            taken.append(change == ServiceReach::Change::Lost       ? "lost"
                         : change == ServiceReach::Change::Back     ? "back"
                         : change == ServiceReach::Change::Returned ? "returned"
                                                                    : "none");
        }
        QCOMPARE(taken, changes);
        const QString page = ServiceReach::verdictOf(200, {}, {}, true).reason;
        QCOMPARE(firstReason, reason == "page" ? page : reason);
        QCOMPARE(ServiceReach::lostLine(QUrl("https://player.example.com/x?t=1"), page),
                 "Runtime service https://player.example.com cannot be reached (an HTML page "
                 "answered in its place, as a network's login page does); the player keeps "
                 "trying.");

        // The same replies to the transport's own requests, a second a step.
        qint64 nowMs = 1000000;
        transport->setMonotonicClock([&nowMs] { return nowMs; });
        QVERIFY(mint());
        QString next;
        fake->respond("PUT", W::screenLabelRoute, [&next](const FakeRuntimeService::Request&) {
            Reply answer = next == "page" ? Reply::loginPage() : Reply::json(200, QJsonObject{});
            answer.fault = next == "closed" ? Fault::Close : Fault::None;
            return answer;
        });
        QSignalSpy labelled(transport.get(), &RuntimeTransport::screenLabelAnswered);
        QSignalSpy back(transport.get(), &RuntimeTransport::serviceAnswersAfterLoss);
        auto* lasting = transport->findChild<QTimer*>("serviceReachTimer");
        for (const QString& reply : replies) {
            nowMs += reply == "30s" ? 30000 : 1000;
            next = reply;
            if (reply != "30s")
                transport->putScreenLabel(QStringLiteral("Lobby"));
            else if (lasting->isActive())
                lasting->start(0);
            QTRY_VERIFY_WITH_TIMEOUT(reply == "30s" ? !lasting->isActive() : labelled.size() > 0, waitMs);
            labelled.clear();
        }
        QList<int> told;
        for (const QList<QVariant>& emitted : std::as_const(back))
            told.append(int(emitted.at(0).toLongLong() / 1000));
        QCOMPARE(told, lostFor);
    }

    void applicationEventRefusals_data()
    {
        QTest::addColumn<QString>("primitive");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("session");
        QTest::addColumn<int>("status");
        QTest::newRow("no session") << "app1" << "c" << false << 0;
        QTest::newRow("bad primitive") << "1app" << "c" << true << 0;
        QTest::newRow("primitive line feed") << "app1\n" << "c" << true << 0;
        QTest::newRow("bad code") << "app1" << "a b" << true << 0;
        QTest::newRow("code of 65") << "app1" << QString(65, 'c') << true << 0;
    }
    void applicationEventRefusals()
    {
        QFETCH(QString, primitive);
        QFETCH(QString, code);
        QFETCH(bool, session);
        QFETCH(int, status);
        if (session)
            QVERIFY(mint());
        QSignalSpy finished(transport.get(), &RuntimeTransport::applicationEventFinished);
        transport->reportApplicationEvent(primitive, code, "req-9");
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0), (QVariantList{"req-9", status, QString()}));
        QVERIFY(fake->requestsTo(W::reportsRoute).isEmpty());
    }

    void applicationBudget()
    {
        QVERIFY(mint());
        fake->script("POST", W::reportsRoute, {Reply::json(202, QByteArray("{}"))});
        QSignalSpy finished(transport.get(), &RuntimeTransport::applicationEventFinished);
        for (int i = 0; i < 4; ++i)
            transport->reportApplicationLog("app1", "info", "c", "m");
        for (int i = 0; i < 5; ++i)
            transport->reportApplicationEvent("app1", "c", QStringLiteral("r%1").arg(i));
        // Four logs and four events spend the key's eight; the fifth event is refused at once.
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0),
                 (QVariantList{"r4", 429, QStringLiteral("{\"code\":\"rate_limited\",\"status\":429}")}));
        transport->reportApplicationLog("app1", "info", "c", "dropped");
        transport->reportApplicationEvent("app2", "c", "other");
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::reportsRoute).size(), 9, waitMs);
        QTest::qWait(100);
        QCOMPARE(fake->requestsTo(W::reportsRoute).size(), 9);
    }

    void unsentLogsSpendNoBudget()
    {
        // No session: nothing can be sent, so nothing is counted.
        for (int i = 0; i < 8; ++i)
            transport->reportApplicationLog("app1", "info", "c", "m");
        QVERIFY(mint());
        fake->script("POST", W::reportsRoute, {Reply::json(202, QByteArray("{}"))});
        QSignalSpy finished(transport.get(), &RuntimeTransport::applicationEventFinished);
        transport->reportApplicationLog("app1", "info", "c", "sent");
        transport->reportApplicationEvent("app1", "c", "r0");
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, waitMs);
        QCOMPARE(finished.at(0).at(1).toInt(), 202);
        QTRY_COMPARE_WITH_TIMEOUT(fake->requestsTo(W::reportsRoute).size(), 2, waitMs);
    }

    void applicationKv()
    {
        SdkBridge::KvRequest set = SdkBridge::kvRequest(
            QJsonObject{{"kind", "kv.set"}, {"key", "a/b"}, {"idempotency_key", "idem-0001"},
                        {"value_base64", "AAEC"}, {"content_type", "text/plain"}},
            "app.example-01", "cap-1");
        QVERIFY(set.valid);
        QSignalSpy finished(transport.get(), &RuntimeTransport::applicationKvFinished);
        transport->applicationKv("k0", set); // no session yet
        transport->applicationKv("k1", SdkBridge::KvRequest{});
        QCOMPARE(finished.size(), 2);
        QCOMPARE(finished.at(0), (QVariantList{"k0", 0, QString()}));
        QCOMPARE(finished.at(1), (QVariantList{"k1", 0, QString()}));
        QVERIFY(mint());
        const QByteArray path = "/runtime/v1/apps/app.example-01/kv/a/b"; // decoded by the fake
        fake->script("PUT", path, {Reply::json(409, QByteArray("{\"code\":\"revision_conflict\"}"))});
        transport->applicationKv("k2", set);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, waitMs);
        QCOMPARE(finished.at(2), (QVariantList{"k2", 409, "{\"code\":\"revision_conflict\"}"}));
        const auto request = fake->requestsTo(path).at(0);
        QCOMPARE(request.target, QByteArray("/runtime/v1/apps/app.example-01/kv/a%2Fb"));
        QCOMPARE(request.header("Talvorine-Primitive-Capability"), QByteArray("cap-1"));
        QCOMPARE(request.header("Idempotency-Key"), QByteArray("idem-0001"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QCOMPARE(request.body, set.body);
    }

    void applicationKvPath_data()
    {
        QTest::addColumn<QByteArray>("keyPath");
        QTest::addColumn<bool>("sent");
        QTest::newRow("encoded reserved characters") << QByteArray("a%2Fb%20c~%3F%23%2B") << true;
        QTest::newRow("dots inside") << QByteArray("...a.") << true;
        QTest::newRow("non-ascii") << QByteArray("%C3%A9") << true;
        QTest::newRow("dot-dot") << QByteArray("..") << false;
        QTest::newRow("dot") << QByteArray(".") << false;
        QTest::newRow("encoded dot-dot") << QByteArray("%2E%2E") << false;
        QTest::newRow("mixed dot-dot") << QByteArray(".%2e") << false;
    }
    void applicationKvPath()
    {
        QFETCH(QByteArray, keyPath);
        QFETCH(bool, sent);
        // Built by hand: the bridge refuses such keys, the transport must hold on its own.
        SdkBridge::KvRequest get;
        get.valid = true;
        get.method = "GET";
        get.path = "/runtime/v1/apps/app.example-01/kv/" + keyPath;
        get.headers.append(std::pair<QByteArray, QByteArray>("Talvorine-Primitive-Capability", "cap-1"));
        QVERIFY(mint());
        fake->setFallback(Reply::json(200, QByteArray("{}")));
        QSignalSpy finished(transport.get(), &RuntimeTransport::applicationKvFinished);
        transport->applicationKv("k", get);
        if (!sent) {
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.at(0), (QVariantList{"k", 0, QString()}));
            QTest::qWait(100);
            QCOMPARE(fake->requests().size(), 2); // the challenge and the mint
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, waitMs);
        QCOMPARE(finished.at(0).at(1).toInt(), 200);
        QCOMPARE(fake->requests().last().target, get.path);
    }

    void storageAndObservation()
    {
        transport->putStorage(QJsonObject{{"a", 1}});
        transport->putObservation(1920, 1080, 1.5, "output");
        QTest::qWait(100);
        QVERIFY(fake->requests().isEmpty());
        QVERIFY(mint());
        fake->script("PUT", W::storageRoute, {Reply{204, {}, {}, 0, Fault::None, false}});
        const QJsonObject report{{"plan", QJsonObject{{"manifest_revision", "man_3"}}}, {"free", 10}};
        transport->putStorage(report);
        transport->putObservation(1920, 1080, 1.5, "output");
        QTRY_COMPARE_WITH_TIMEOUT(fake->requests().size(), 4, waitMs);
        const auto storage = fake->requestsTo(W::storageRoute).at(0);
        QCOMPARE(storage.body, QJsonDocument(report).toJson(QJsonDocument::Compact));
        QCOMPARE(storage.method, QByteArray("PUT"));
        QJsonObject observation = fake->requestsTo(W::observationRoute).at(0).jsonBody();
        QVERIFY(QDateTime::fromString(observation.take("observed_at").toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(observation, (QJsonObject{{"surfaces", QJsonArray{QJsonObject{
                                               {"id", "primary"}, {"width", 1920}, {"height", 1080},
                                               {"pixel_ratio", 1.5}, {"presentation", "output"}}}}}));
    }

    // --- screenshots --------------------------------------------------------------------

    void screenshots_data()
    {
        QTest::addColumn<bool>("notice");
        QTest::addColumn<QString>("captureId");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("outcome");
        const QByteArray webp = QByteArray("RIFF") + QByteArray("\x10\0\0\0", 4) + "WEBPVP8 " + QByteArray(8, '\0');
        const QString id = QStringLiteral("shot_0123456789abcdef");
        QTest::newRow("uploaded") << false << id << webp << 201 << "uploaded";
        QTest::newRow("replaced") << false << id << webp << 409 << "replaced";
        QTest::newRow("upload failed") << false << id << webp << 500 << "failed";
        QTest::newRow("empty bytes") << false << id << QByteArray() << 0 << "invalid";
        QTest::newRow("over 2 MiB") << false << id << QByteArray(2097153, 'w') << 0 << "invalid";
        QTest::newRow("exactly 2 MiB") << false << id << QByteArray(2097152, 'w') << 204 << "uploaded";
        QTest::newRow("bad id upload") << false << "cap bad" << webp << 0 << "invalid";
        QTest::newRow("notice reported") << true << id << QByteArray() << 200 << "reported";
        QTest::newRow("notice replaced") << true << id << QByteArray() << 409 << "replaced";
        QTest::newRow("notice bad id") << true << "x\n" << QByteArray() << 0 << "id_invalid";
    }
    void screenshots()
    {
        QFETCH(bool, notice);
        QFETCH(QString, captureId);
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        QFETCH(QString, outcome);
        QVERIFY(mint());
        fake->script("PUT", W::screenshotRoute, {Reply::json(status, QByteArray("{}"))});
        QSignalSpy uploaded(transport.get(), &RuntimeTransport::screenshotUploaded);
        QSignalSpy reported(transport.get(), &RuntimeTransport::screenshotFailureReported);
        QSignalSpy replaced(transport.get(), &RuntimeTransport::screenshotReplaced);
        QSignalSpy failed(transport.get(), &RuntimeTransport::screenshotUploadFailed);
        if (notice)
            transport->reportScreenshotFailure(captureId, true);
        else
            transport->uploadScreenshot(captureId, bytes);
        QTRY_COMPARE_WITH_TIMEOUT(uploaded.size() + reported.size() + replaced.size() + failed.size(),
                                  1, waitMs);
        if (outcome == "invalid" || outcome == "id_invalid") {
            QCOMPARE(failed.at(0).at(1).toString(), outcome == "invalid"
                                                         ? QStringLiteral("screenshot_bytes_invalid")
                                                         : QStringLiteral("capture_id_invalid"));
            QVERIFY(fake->requestsTo(W::screenshotRoute).isEmpty());
            return;
        }
        QCOMPARE(fake->requestsTo(W::screenshotRoute).size(), 1);
        const auto request = fake->requestsTo(W::screenshotRoute).at(0);
        QCOMPARE(request.header("Talvorine-Capture-Id"), captureId.toLatin1());
        QCOMPARE(request.header("Content-Type"), QByteArray("image/webp"));
        QCOMPARE(request.header("Talvorine-Capture-Failure"),
                 notice ? QByteArray("unsupported_surface") : QByteArray());
        QCOMPARE(request.body, notice ? QByteArray() : bytes);
        if (outcome == "uploaded")
            QCOMPARE(uploaded.size(), 1);
        else if (outcome == "reported")
            QCOMPARE(reported.size(), 1);
        else if (outcome == "replaced")
            QCOMPARE(replaced.size(), 1);
        else
            QCOMPARE(failed.size(), 1);
    }

    // --- HTTPS -------------------------------------------------------------------------------

    void mintOverHttps()
    {
        FakeRuntimeService secure(FakeRuntimeService::Transport::Https);
        QVERIFY2(secure.listening(), qPrintable(secure.setupError()));
        secure.requireProof(W::sessionMintRoute, "session.mint");
        secure.trustInProcess();
        secure.script("POST", W::sessionMintRoute, {Reply::json(200, mintReply())});
        transport = makeTransport(secure.url());
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        QSignalSpy failed(transport.get(), &RuntimeTransport::deviceSessionFailed);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.size() + failed.size(), 1, waitMs);
        QCOMPARE(succeeded.size(), 1);
        QCOMPARE(secure.requestsTo(W::sessionMintRoute).at(0).proofVerdict, QStringLiteral("ok"));
        QNetworkRequest same(secure.url("/x"));
        QVERIFY(transport->authorizeRuntimeRequest(same));
        QNetworkRequest plain(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(secure.port())));
        QVERIFY(!transport->authorizeRuntimeRequest(plain));
        transport.reset();
    }

    void untrustedHttpsFails()
    {
        FakeRuntimeService secure(FakeRuntimeService::Transport::Https);
        QVERIFY(secure.listening());
        auto local = makeTransport(secure.url());
        QSignalSpy failed(local.get(), &RuntimeTransport::deviceSessionFailed);
        local->createDeviceSession(QStringLiteral("mint-key-0001"));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
        QCOMPARE(failed.at(0).at(1).toInt(), 0);
        QVERIFY(secure.requests().isEmpty());
    }

    void refusedConnection()
    {
        fake->setRefusing(true);
        QSignalSpy failed(transport.get(), &RuntimeTransport::pairingStartFailed);
        transport->startPairing(QStringLiteral("start-key-0001"));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, waitMs);
        QCOMPARE(failed.at(0).at(1).toInt(), 0);
        QCOMPARE(failed.at(0).at(3).toBool(), true);
        fake->setRefusing(false);
        fake->script("POST", W::pairingStartRoute,
                     {Reply::json(201, QJsonObject{{"code", "ABC234"},
                                                   {"pairing_credential", pairingToken},
                                                   {"expires_at", "2099-01-01T00:10:00Z"}})});
        QSignalSpy started(transport.get(), &RuntimeTransport::pairingStarted);
        transport->startPairing(QStringLiteral("start-key-0001"));
        QVERIFY(started.wait(waitMs));
    }
};

QTEST_GUILESS_MAIN(TestRuntimeTransport)
#include "tst_runtimetransport.moc"
