#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeWireContract.h"
#include "manifest/Manifest.h"
#include "operator/OperatorPinStore.h"
#include "tests/support/FakeRuntimeService.h"
#include "tests/support/SampleService.h"
#include "tests/support/TestSupport.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;
using talvorine::test::FakeRuntimeService;
namespace W = talvorine::RuntimeWire;

// The fake's own checks: later tests trust its verdicts, so a forged or replayed proof must be
// told apart from a good one.
class TestFakeRuntimeService : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QNetworkAccessManager manager;

    QNetworkReply* post(FakeRuntimeService& fake, const char* path, const QJsonObject& body)
    {
        QNetworkRequest request(fake.url(QLatin1String(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setTransferTimeout(5000);
        QNetworkReply* reply = manager.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(6000);
        return reply;
    }

    // Asks the fake for a challenge and signs a proof for it the way the player does.
    QString proofFor(FakeRuntimeService& fake, const QString& op, const QString& signedHash,
                     const QString& announcedHash)
    {
        NativePlayerIdentityStore store(dir.filePath("player-identity"));
        const auto identity = store.open(true);
        if (!identity)
            return {};
        std::unique_ptr<QNetworkReply> reply(post(fake, W::identityChallengeRoute,
                                                  {{"kid", identity->kid},
                                                   {"op", op},
                                                   {"request_hash", announcedHash},
                                                   {"public_key", store.publicKey()}}));
        const QJsonObject challenge = QJsonDocument::fromJson(reply->readAll()).object();
        const QDateTime expires = QDateTime::fromString(challenge.value("expires_at").toString(),
                                                        Qt::ISODateWithMs);
        return store.signCompactJws(op, challenge.value("nonce").toString(), expires, signedHash, 0)
            .value_or(QString());
    }

private slots:
    void verdicts_data()
    {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<QString>("verdict");
        QTest::newRow("good") << "" << "ok";
        QTest::newRow("other op") << "op" << "op_mismatch";
        QTest::newRow("other request hash") << "hash" << "request_hash_mismatch";
        QTest::newRow("signature flipped") << "signature" << "signature_invalid";
        QTest::newRow("claims reordered") << "order" << "claims_order_invalid";
        QTest::newRow("header with typ") << "header" << "header_invalid";
        QTest::newRow("two parts") << "parts" << "proof_malformed";
        QTest::newRow("unknown nonce") << "nonce" << "nonce_unknown";
        QTest::newRow("empty") << "empty" << "proof_malformed";
    }
    void verdicts()
    {
        QFETCH(QString, tamper);
        QFETCH(QString, verdict);
        FakeRuntimeService fake;
        QVERIFY(fake.listening());
        const QString hash = nativeIdentityRequestHash("session.mint", {"key-00001"});
        const QString other = nativeIdentityRequestHash("session.mint", {"key-00002"});
        QString proof = proofFor(fake, "session.mint", tamper == "hash" ? other : hash, hash);
        QVERIFY(!proof.isEmpty());
        QList<QByteArray> parts = proof.toLatin1().split('.');
        if (tamper == "signature") {
            QByteArray signature = test::fromBase64Url(parts[2]);
            signature[5] = char(signature[5] ^ 1);
            parts[2] = test::base64Url(signature);
        } else if (tamper == "order") {
            QByteArray claims = test::fromBase64Url(parts[1]);
            const qsizetype aud = claims.indexOf("\"aud\"");
            const qsizetype exp = claims.indexOf(",\"exp\"");
            claims = "{" + claims.mid(exp + 1, claims.indexOf(",\"iat\"") - exp - 1) + ","
                     + claims.mid(aud, exp - aud) + claims.mid(claims.indexOf(",\"iat\""));
            parts[1] = test::base64Url(claims);
        } else if (tamper == "header") {
            parts[0] = test::base64Url(R"({"alg":"EdDSA","typ":"JWT"})");
        } else if (tamper == "nonce") {
            QJsonObject claims = QJsonDocument::fromJson(test::fromBase64Url(parts[1])).object();
            claims["nonce"] = QString(43, 'A');
            parts[1] = test::base64Url(QJsonDocument(claims).toJson(QJsonDocument::Compact));
        }
        proof = QString::fromLatin1(parts.join('.'));
        if (tamper == "parts")
            proof = QString::fromLatin1(parts[0] + '.' + parts[1]);
        if (tamper == "empty")
            proof.clear();
        QCOMPARE(fake.verifyProof(proof, tamper == "op" ? "pairing.start" : "session.mint"), verdict);
    }

    void proofIsSpentOnce()
    {
        FakeRuntimeService fake;
        fake.requireProof(W::sessionMintRoute, "session.mint");
        fake.script("POST", W::sessionMintRoute, {FakeRuntimeService::Reply::json(200, QByteArray("{}"))});
        const QString hash = nativeIdentityRequestHash("session.mint", {"key-00001"});
        const QString proof = proofFor(fake, "session.mint", hash, hash);
        std::unique_ptr<QNetworkReply> first(post(fake, W::sessionMintRoute, {{"proof", proof}}));
        QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        std::unique_ptr<QNetworkReply> again(post(fake, W::sessionMintRoute, {{"proof", proof}}));
        QCOMPARE(again->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
        QCOMPARE(fake.requestsTo(W::sessionMintRoute).at(1).proofVerdict, QStringLiteral("nonce_used"));
        QCOMPARE(fake.attempts("POST", W::sessionMintRoute), 2);
    }

    void expiredChallenge()
    {
        FakeRuntimeService fake;
        fake.setChallengeLifetimeMs(1500);
        const QString hash = nativeIdentityRequestHash("identity.reset", {});
        const QString proof = proofFor(fake, "identity.reset", hash, hash);
        QVERIFY(!proof.isEmpty());
        QTest::qWait(1600);
        QCOMPARE(fake.verifyProof(proof, "identity.reset"), QStringLiteral("nonce_expired"));
    }

    void scriptedAttemptsAndRecording()
    {
        FakeRuntimeService fake;
        fake.script("POST", "/a", {FakeRuntimeService::Reply::json(503, QByteArray("{}")),
                                   FakeRuntimeService::Reply::json(200, QByteArray("{\"n\":2}"))});
        QList<int> statuses;
        for (int i = 0; i < 3; ++i) {
            std::unique_ptr<QNetworkReply> reply(post(fake, "/a", {{"i", i}}));
            statuses << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        }
        QCOMPARE(statuses, (QList<int>{503, 200, 200}));
        QCOMPARE(fake.requests().size(), 3);
        QCOMPARE(fake.requests().at(2).jsonBody().value("i").toInt(), 2);
        QVERIFY(fake.requests().at(0).atMs <= fake.requests().at(2).atMs);
        std::unique_ptr<QNetworkReply> unknown(post(fake, "/b", {}));
        QCOMPARE(unknown->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);

        // A run of hours keeps its newest records and goes on being served.
        fake.setRecordLimit(2);
        std::unique_ptr<QNetworkReply> later(post(fake, "/a", {{"i", 9}}));
        QCOMPARE(later->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(fake.requests().size(), 2);
        QCOMPARE(fake.requests().constLast().jsonBody().value("i").toInt(), 9);
    }

    // The sample service of the run command: a code the player accepts, a session only once the
    // pairing is complete, and a manifest that the player takes whole, with an entity tag.
    void samplePairingAndManifest()
    {
        test::SampleServiceOptions options;
        options.outputDirectory = dir.filePath("sample");
        options.clipFrames = 15;
        test::SampleService sample(options);
        QString error;
        QVERIFY2(sample.start(&error), qPrintable(error));
        const QUrl origin = sample.origin();
        FakeRuntimeService& fake = sample.service();
        const auto proven = [&](const char* op, const char* path) {
            // The fake checks that the proof signs the hash its challenge announced, whatever it is.
            const QString hash = nativeIdentityRequestHash("session.mint", {"key-00001"});
            return std::unique_ptr<QNetworkReply>(
                post(fake, path, {{"proof", proofFor(fake, op, hash, hash)}}));
        };
        const auto status = [](const std::unique_ptr<QNetworkReply>& reply) {
            return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        };

        QCOMPARE(status(proven("session.mint", W::sessionMintRoute)), 404);
        for (int i = 0; i < 20; ++i) {
            const auto started = proven("pairing.start", W::pairingStartRoute);
            const QJsonObject code = QJsonDocument::fromJson(started->readAll()).object();
            QVERIFY(NativePairingStore::validLocator(code.value("code").toString()));
            QVERIFY(NativePairingStore::validPairingCredential(
                code.value("pairing_credential").toString()));
        }
        const auto completed = proven("pairing.complete", W::pairingCompleteRoute);
        QCOMPARE(status(completed), 200);
        QCOMPARE(status(proven("session.mint", W::sessionMintRoute)), 200);

        QNetworkRequest request(origin.resolved(QUrl(W::manifestRoute)));
        request.setTransferTimeout(5000);
        std::unique_ptr<QNetworkReply> first(manager.get(request));
        QVERIFY(QSignalSpy(first.get(), &QNetworkReply::finished).wait(6000));
        const QByteArray body = first->readAll();
        const auto parsed = ManifestParser::parse(body, origin, 2);
        QVERIFY(std::holds_alternative<Manifest>(parsed));
        const Manifest& manifest = std::get<Manifest>(parsed);
        QVERIFY(manifest.drops.isEmpty());
        QStringList pages;
        for (const Page& page : manifest.pages)
            pages.append(page.id);
        QCOMPARE(pages, (QStringList{"welcome", "lobby", "gallery", "clip", "minutes"}));
        QVERIFY(manifest.soundtrack.has_value());

        request.setRawHeader(W::ifNoneMatchHeader, first->rawHeader(W::entityTagHeader));
        std::unique_ptr<QNetworkReply> again(manager.get(request));
        QVERIFY(QSignalSpy(again.get(), &QNetworkReply::finished).wait(6000));
        QCOMPARE(status(again), 304);
    }

    // Ads in the sample run: an image, none, then a video clip of its own, shorter than the
    // content clip and not its bytes, every stamp on the service's clock an hour apart.
    void sampleAdArrivalsOnTheServiceClock()
    {
        test::SampleServiceOptions options;
        options.outputDirectory = dir.filePath("sample-ads");
        options.clipFrames = 15;
        options.adClipFrames = 9;
        options.clockOffsetMs = -3600000;
        test::SampleService sample(options);
        QString error;
        QVERIFY2(sample.start(&error), qPrintable(error));
        QFile contentClip(dir.filePath("sample-ads/service-state/media/bars.webm"));
        QVERIFY(contentClip.open(QIODevice::ReadOnly));
        QStringList states;
        for (int arrival = 0; arrival < 3; ++arrival) {
            const QJsonObject candidate{{W::pageIdMember, "ad"},
                                        {W::occurrenceIdMember, QStringLiteral("occ_%1").arg(arrival)},
                                        {W::checkSequenceMember, 1}};
            std::unique_ptr<QNetworkReply> reply(
                post(sample.service(), W::adResolveRoute, {{W::candidatesMember, QJsonArray{candidate}}}));
            const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
            const qint64 stampedMs = QDateTime::fromString(answer.value(W::serverTimeMember).toString(),
                                                           Qt::ISODateWithMs).toMSecsSinceEpoch();
            QVERIFY(qAbs(stampedMs - options.clockOffsetMs - QDateTime::currentMSecsSinceEpoch()) < 60000);
            const QJsonObject result = answer.value("results").toArray().at(0).toObject();
            const QJsonObject media = result.value("media").toObject();
            states.append(result.value("state").toString() + ' ' + media.value("kind").toString());
            if (media.value("kind") == QLatin1String("video")) {
                QCOMPARE(media.value("duration_ms").toInteger(), 300);
                QVERIFY(media.value("sha256").toString()
                        != FakeRuntimeService::sha256Hex(contentClip.readAll()));
            }
        }
        QCOMPARE(states, (QStringList{"filled image", "empty ", "filled video"}));
    }

    // A mistyped number on the service's command line stops it before it serves anything, naming
    // the option and what it expects.
    void sampleServiceRefusesBadNumbers_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no frames")
            << "--clip-frames=0" << QByteArray("--clip-frames: a positive whole number of frames");
        QTest::newRow("frames in words") << "--ad-clip-frames=ten"
                                         << QByteArray("--ad-clip-frames: a positive whole number of frames");
        QTest::newRow("negative dwell")
            << "--page-dwell-ms=-5"
            << QByteArray("--page-dwell-ms: a positive whole number of milliseconds");
        QTest::newRow("offset in words") << "--clock-offset-ms=soon"
                                         << QByteArray("--clock-offset-ms: a whole number of milliseconds");
    }
    void sampleServiceRefusesBadNumbers()
    {
        QFETCH(QString, argument);
        QFETCH(QByteArray, message);
        QProcess program;
        program.start(QStringLiteral(TALVORINE_SAMPLE_SERVICE),
                      {"--output", dir.filePath(QStringLiteral("refused")), argument});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 64);
        QVERIFY(program.readAllStandardError().contains(message));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("refused/service-origin"))));
    }

    // The run command's PIN option: the program writes a record the panel's store accepts for a
    // six-digit PIN on its input, and refuses anything else before writing.
    void samplePinProvisioning_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("written");
        QTest::newRow("six digits") << QByteArray("482915\n") << true;
        QTest::newRow("five digits") << QByteArray("48291\n") << false;
        QTest::newRow("seven digits") << QByteArray("4829150\n") << false;
        QTest::newRow("a letter") << QByteArray("48291a\n") << false;
        QTest::newRow("other digits") << QByteArray("\xd9\xa4\xd9\xa8\xd9\xa2\xd9\xa9\xd9\xa1\xd9\xa5\n")
                                      << false;
        QTest::newRow("nothing") << QByteArray() << false;
    }
    void samplePinProvisioning()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, written);
        const QString state = dir.filePath(QStringLiteral("pin/") + QTest::currentDataTag());
        QProcess program;
        program.start(QStringLiteral(TALVORINE_SAMPLE_SERVICE), {"--provision-pin", state});
        program.write(input);
        program.closeWriteChannel();
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), written ? 0 : 64);
        const QString record = state + QStringLiteral("/operator-pin");
        QCOMPARE(QFile::exists(record), written);
        if (!written) {
            QVERIFY(program.readAllStandardError().contains("6 digits"));
            return;
        }
        QCOMPARE(QFileInfo(state).permissions() & 0x0077, QFile::Permissions());
        OperatorPinStore store(record);
        QCOMPARE(store.verify("482916").outcome, OperatorPinStore::PinVerification::Outcome::Rejected);
        QCOMPARE(store.verify("482915").outcome, OperatorPinStore::PinVerification::Outcome::Accepted);
    }

    void oversizedRequestRefused()
    {
        FakeRuntimeService fake;
        QNetworkRequest request(fake.url("/big"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        request.setTransferTimeout(5000);
        std::unique_ptr<QNetworkReply> reply(
            manager.post(request, QByteArray(FakeRuntimeService::maxBodyBytes + 1, 'x')));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        QVERIFY(done.wait(6000));
        QVERIFY(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 413
                || reply->error() != QNetworkReply::NoError);
        QVERIFY(fake.requests().isEmpty());
    }
};

QTEST_MAIN(TestFakeRuntimeService)
#include "tst_fakeruntimeservice.moc"
