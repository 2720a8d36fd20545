#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeWireContract.h"
#include "manifest/Manifest.h"
#include "operator/OperatorPinStore.h"
#include "tests/support/FakeRuntimeService.h"
#include "tests/support/SampleService.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <vector>

#include <zlib.h>

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

    // A mistyped number or a scenario file that is not one stops the service before it serves
    // anything, naming the option or the member and what it expects.
    void sampleServiceRefusesBadArguments_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QByteArray>("scenario"); // written to a file that "%1" names
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no frames")
            << "--clip-frames=0" << QByteArray() << QByteArray("--clip-frames: a positive whole number of frames");
        QTest::newRow("frames in words") << "--ad-clip-frames=ten" << QByteArray()
                                         << QByteArray("--ad-clip-frames: a positive whole number of frames");
        QTest::newRow("negative dwell")
            << "--page-dwell-ms=-5" << QByteArray()
            << QByteArray("--page-dwell-ms: a positive whole number of milliseconds");
        QTest::newRow("offset in words") << "--clock-offset-ms=soon" << QByteArray()
                                         << QByteArray("--clock-offset-ms: a whole number of milliseconds");
        const QString file = QStringLiteral("--scenario=%1");
        const QByteArray page = R"({"revisions":[{"pages":[{"id":"c","bytes":315}]}]})";
        QTest::newRow("no scenario file") << "--scenario=/nonexistent/s.json" << QByteArray()
                                          << QByteArray("cannot read the scenario /nonexistent/s.json");
        QTest::newRow("not JSON") << file << QByteArray("{\"revisions\": [") << QByteArray(": not JSON at offset");
        QTest::newRow("misspelt member") << file << QByteArray(R"({"revision":[]})")
                                         << QByteArray(R"(scenario: unknown member "revision")");
        QTest::newRow("no revisions") << file << QByteArray("{}")
                                      << QByteArray("scenario.revisions: a non-empty array is expected");
        QTest::newRow("first revision timed")
            << file << QByteArray(R"({"revisions":[{"at":5,"pages":[{"id":"c","bytes":315}]}]})")
            << QByteArray("revisions[0]: the first revision is published at the start");
        QTest::newRow("later revision untimed")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"c","bytes":315}]},{"pages":[{"id":"d","bytes":315}]}]})")
            << QByteArray(R"(revisions[1]: either "at" or "after_manifest" is expected)");
        QTest::newRow("picture too small")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"c","bytes":100}]}]})")
            << QByteArray("revisions[0].pages[0].bytes: a whole number from 113 to 1073741824");
        QTest::newRow("page both ways")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"c","bytes":315,"adslot":true}]}]})")
            << QByteArray(R"(revisions[0].pages[0]: one of "bytes", "pictures", "adslot" or "application")");
        QTest::newRow("application of no known name")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"w","application":"clock"}]}]})")
            << QByteArray(R"(revisions[0].pages[0].application: "never_ready" is expected)");
        QTest::newRow("application beside a picture")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"w","bytes":315,"application":"never_ready"}]}]})")
            << QByteArray(R"(revisions[0].pages[0]: one of "bytes", "pictures", "adslot" or "application")");
        QTest::newRow("only an ad slot")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"ad","adslot":true}]}]})")
            << QByteArray("revisions[0]: a page with pictures is expected");
        QTest::newRow("one picture two sizes")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"c","bytes":315}]},{"at":9,"pages":[{"id":"c","bytes":316}]}]})")
            << QByteArray(R"(revisions[1].pages[0]: picture "c" is given two sizes)");
        QTest::newRow("decoding in words")
            << file << QByteArray(R"({"revisions":[{"pages":[{"id":"g","pictures":[{"name":"g1","bytes":315,"decodes":"no"}]}]}]})")
            << QByteArray("revisions[0].pages[0].pictures[0].decodes: true or false is expected");
        QTest::newRow("fault on no picture")
            << file << QByteArray(page).replace("]}]}", R"(]}],"faults":[{"object":"e","answer":404}]})")
            << QByteArray(R"(faults[0].object: a picture's name or "*" is expected)");
        QTest::newRow("a redirect is no fault")
            << file << QByteArray(page).replace("]}]}", R"(]}],"faults":[{"object":"c","answer":302}]})")
            << QByteArray("faults[0].answer: \"close\", \"silent\"");
        QTest::newRow("window closed before it opens")
            << file << QByteArray(page).replace("]}]}", R"(]}],"faults":[{"object":"c","answer":"cut","from":9,"until":9}]})")
            << QByteArray(R"(faults[0]: "until" comes after "from")");
        QTest::newRow("retry without a status")
            << file << QByteArray(page).replace("]}]}", R"(]}],"faults":[{"object":"*","rate":9,"retry_after":5}]})")
            << QByteArray("faults[0].retry_after: goes with a status");
        QTest::newRow("portal without an end")
            << file << QByteArray(page).replace("]}]}", R"(]}],"portal":{"from":9}})")
            << QByteArray(R"(portal: "until" comes after "from")");
        QTest::newRow("portal windows overlapping")
            << file << QByteArray(page).replace("]}]}", R"(]}],"portal":[{"from":9,"until":30},{"from":20,"until":40}]})")
            << QByteArray(R"(portal[1]: "from" comes at or after the window before ends)");
        QTest::newRow("reload without a lifetime")
            << file << QByteArray(page).replace("]}]}", R"(]}],"reloads":[{"at":9}]})")
            << QByteArray(R"(reloads[0]: "at" and "ttl" are expected)");
    }
    void sampleServiceRefusesBadArguments()
    {
        QFETCH(QString, argument);
        QFETCH(QByteArray, scenario);
        QFETCH(QByteArray, message);
        const QString scenarioFile = dir.filePath(QStringLiteral("scenario.json"));
        QVERIFY(testfiles::write(scenarioFile, scenario));
        QProcess program;
        program.start(QStringLiteral(TALVORINE_SAMPLE_SERVICE),
                      {"--output", dir.filePath(QStringLiteral("refused")), argument.arg(scenarioFile)});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 64);
        const QByteArray said = program.readAllStandardError();
        QVERIFY2(said.contains(message), said.constData());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("refused/service-origin"))));
    }

    // What a scenario's faults make of a request for an object at a time since the start: the
    // first fault with an answer answers, the first with a rate paces, each in [from, until); and
    // in each window of the portal, every request is its.
    void scenarioAnswers_data()
    {
        QTest::addColumn<QString>("object");
        QTest::addColumn<qint64>("atMs");
        QTest::addColumn<QString>("answer");
        QTest::newRow("closed for ever, paced too") << "c" << qint64(9999999) << "close 52428/100ms";
        QTest::newRow("404 up to its end") << "d" << qint64(89999) << "404";
        QTest::newRow("the next window at the end") << "d" << qint64(90000) << "503 retry 30";
        QTest::newRow("an answer and a rate together") << "d" << qint64(100000) << "503 retry 30 52428/100ms";
        QTest::newRow("served at a rate after its windows") << "d" << qint64(120000) << "52428/100ms";
        QTest::newRow("served before any window") << "h" << qint64(9999) << "served";
        QTest::newRow("cut in its window") << "h" << qint64(10000) << "cut";
        QTest::newRow("the first of two answers") << "h" << qint64(15000) << "cut";
        QTest::newRow("the later answer past the first's end") << "h" << qint64(20000) << "silent";
        QTest::newRow("served past every window") << "h" << qint64(30000) << "served";
        QTest::newRow("a slow rate one byte at a time") << "s" << qint64(0) << "1/250ms";
        QTest::newRow("in the portal's first window") << "h" << qint64(40000) << "portal";
        QTest::newRow("at the first window's end, past it") << "h" << qint64(60000) << "served";
        QTest::newRow("the last moment of the second window")
            << "h" << qint64(139999) << "portal redirect 52428/100ms";
    }
    void scenarioAnswers()
    {
        QFETCH(QString, object);
        QFETCH(qint64, atMs);
        QFETCH(QString, answer);
        QString error;
        const auto scenario = test::SampleScenario::parse(R"({"revisions":[{"pages":[
            {"id":"c","bytes":315},{"id":"d","bytes":420},{"id":"h","bytes":1000000},{"id":"s","bytes":200}]}],
            "faults":[{"object":"c","answer":"close"},{"object":"d","answer":404,"until":90},
                      {"object":"d","answer":503,"retry_after":30,"from":90,"until":120},
                      {"object":"h","answer":"cut","from":10,"until":20},
                      {"object":"h","answer":"silent","from":15,"until":30},
                      {"object":"s","rate":4},{"object":"*","rate":524288,"from":100}],
            "portal":[{"from":40,"until":60},{"from":130,"until":140,"redirect":true}]})", &error);
        QVERIFY2(scenario, qPrintable(error));
        using Fault = FakeRuntimeService::Fault;
        const std::optional<FakeRuntimeService::ContentAnswer> given = scenario->answerFor(object, atMs);
        QStringList said;
        if (const test::ScenarioPortal* portal = scenario->portalAt(atMs))
            said.append(portal->redirect ? "portal redirect" : "portal");
        if (given && given->fault != Fault::None)
            said.append(given->fault == Fault::Close ? "close" : given->fault == Fault::Silent ? "silent" : "cut");
        if (given && given->status != 0)
            said.append(QString::number(given->status));
        for (const auto& [name, value] : given ? given->headers : FakeRuntimeService::Headers())
            said.append(QStringLiteral("retry ") + QString::fromLatin1(value));
        if (given && given->trickleBytes > 0)
            said.append(QStringLiteral("%1/%2ms").arg(given->trickleBytes).arg(given->trickleIntervalMs));
        QCOMPARE(said.isEmpty() ? QStringLiteral("served") : said.join(' '), answer);
    }

    // A picture grown to an exact size stays the same picture, whatever the size: padding goes in
    // chunks a decoder skips, none above a megabyte (decoders refuse larger ones), each with its
    // checksum; a size no chunk can make up is refused.
    void paddedPictures_data()
    {
        QTest::addColumn<qint64>("extra"); // bytes beyond the picture's own
        QTest::addColumn<int>("chunks");   // padding chunks expected; -1: refused
        QTest::newRow("its own size") << qint64(0) << 0;
        QTest::newRow("less than a chunk's framing") << qint64(11) << -1;
        QTest::newRow("an empty chunk") << qint64(12) << 1;
        QTest::newRow("one full chunk") << qint64(1024 * 1024 + 12) << 1;
        QTest::newRow("a byte past one full chunk") << qint64(1024 * 1024 + 13) << 2;
        QTest::newRow("tens of megabytes") << qint64(30000000) << 29;
    }
    void paddedPictures()
    {
        QFETCH(qint64, extra);
        QFETCH(int, chunks);
        QImage field(16, 9, QImage::Format_RGB32);
        field.fill(qRgb(0x12, 0x9a, 0x40));
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && field.save(&buffer, "PNG"));
        const QByteArray padded = test::paddedPicture(png, png.size() + extra);
        if (chunks < 0) {
            QVERIFY(padded.isEmpty());
            return;
        }
        QCOMPARE(padded.size(), png.size() + extra);
        QCOMPARE(QImage::fromData(padded, "PNG").convertToFormat(QImage::Format_RGB32), field);
        int found = 0;
        for (qsizetype at = 8; at + 12 <= padded.size();) {
            const quint32 length = qFromBigEndian<quint32>(padded.constData() + at);
            if (padded.mid(at + 4, 4) == "paDd") {
                ++found;
                QVERIFY(length <= 1024 * 1024);
                const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(padded.constData() + at + 4), length + 4);
                QCOMPARE(qFromBigEndian<quint32>(padded.constData() + at + 8 + length), quint32(crc));
            }
            at += 12 + length;
        }
        QCOMPARE(found, chunks);
    }

    // A scenario served: a manifest the player takes whole, each picture the exact size the file
    // gives and a picture still, its digest the manifest's, a web application's package as its
    // page names it, a fault where the file puts one; and in a portal every route answers a
    // redirect to a login page.
    // A picture said not to decode is none, though its size and digest are right.
    void sampleScenarioServed()
    {
        const QString file = dir.filePath(QStringLiteral("served.json"));
        QVERIFY(testfiles::write(file, R"({"revisions":[{"pages":[{"id":"c","bytes":315},
            {"id":"g","pictures":[{"name":"g1","bytes":300000},{"name":"g2","bytes":2000000}]},
            {"id":"h","pictures":[{"name":"h1","bytes":300,"decodes":false}]},{"id":"x","bytes":500,"decodes":false},
            {"id":"w","application":"never_ready"},{"id":"ad","adslot":true},{"id":"d","bytes":420}]},
            {"at":9999,"pages":[{"id":"d","bytes":420}]}],
            "faults":[{"object":"d","answer":503,"retry_after":30}]})"));
        test::SampleServiceOptions options;
        options.outputDirectory = dir.filePath("scenario");
        options.scenarioFile = file;
        test::SampleService sample(options);
        QString error;
        QVERIFY2(sample.start(&error), qPrintable(error));
        const auto get = [this, &sample](const QString& path, const QUrl& origin = {}) {
            QNetworkRequest request((origin.isEmpty() ? sample.origin() : origin).resolved(QUrl(path)));
            request.setTransferTimeout(5000);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            std::unique_ptr<QNetworkReply> reply(manager.get(request));
            QSignalSpy(reply.get(), &QNetworkReply::finished).wait(6000);
            return reply;
        };
        // The pages of the manifest a route serves; none unless it is taken whole.
        const auto pagesServed = [&](const QString& route, int version, Manifest* manifest) {
            const auto parsed = ManifestParser::parse(get(route)->readAll(), sample.origin(), version);
            QStringList pages;
            if (std::holds_alternative<Manifest>(parsed) && std::get<Manifest>(parsed).drops.isEmpty())
                *manifest = std::get<Manifest>(parsed);
            for (const Page& page : manifest->pages)
                pages.append(page.id);
            return pages;
        };
        Manifest manifest, withAds;
        QCOMPARE(pagesServed(W::manifestRoute, 2, &manifest), (QStringList{"c", "g", "h", "x", "w", "d"}));
        QVERIFY(!manifest.soundtrack.has_value());
        // Where ad slots were negotiated, the ad slot page is in its place.
        QCOMPARE(pagesServed(W::manifestV2Route, 3, &withAds), (QStringList{"c", "g", "h", "x", "w", "ad", "d"}));
        // The web application's page: its package served as the manifest names it.
        const QJsonObject package = manifest.pages.at(4).primitives.at(0).binding.value("package").toObject();
        QCOMPARE(FakeRuntimeService::sha256Hex(get(package.value("url").toString())->readAll()),
                 package.value("sha256").toString());
        const QList<std::pair<QString, qint64>> sizes{{"c", 315}, {"g1", 300000}, {"g2", 2000000}, {"h1", 300}, {"x", 500}};
        for (const auto& [name, bytes] : sizes) {
            const QByteArray body = get("/content/v1/media/" + name)->readAll();
            QCOMPARE(body.size(), bytes);
            QVERIFY2(QImage::fromData(body).isNull() == (name == "h1" || name == "x"), qPrintable(name));
            bool found = false;
            for (const Page& page : manifest.pages) {
                for (const Primitive& primitive : page.primitives) {
                    for (const MediaItem& item : mediaItems(primitive))
                        found = found || (item.mediaId == name && item.sha256 == FakeRuntimeService::sha256Hex(body));
                }
            }
            QVERIFY2(found, qPrintable(name));
        }
        const auto refused = get("/content/v1/media/d");
        QCOMPARE(refused->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
        QCOMPARE(refused->rawHeader("Retry-After"), QByteArray("30"));

        QVERIFY(testfiles::write(file, R"({"revisions":[{"pages":[{"id":"c","bytes":315}]}],
            "portal":{"from":0,"until":9999,"redirect":true}})"));
        options.outputDirectory = dir.filePath("portal");
        test::SampleService portal(options);
        QVERIFY2(portal.start(&error), qPrintable(error));
        for (const QString path : {W::manifestRoute, "/content/v1/media/c", W::eventsRoute}) {
            const auto moved = get(path, portal.origin());
            QCOMPARE(moved->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
            const QUrl login = portal.origin().resolved(QUrl(QString::fromLatin1(moved->rawHeader("Location"))));
            QCOMPARE(login, portal.origin().resolved(QUrl("/portal/login")));
            const auto page = get(login.path(), portal.origin());
            QCOMPARE(page->header(QNetworkRequest::ContentTypeHeader).toString(), QStringLiteral("text/html"));
            const QByteArray html = page->readAll();
            QVERIFY(html.startsWith("<!DOCTYPE html>") && html.size() > 250 && html.size() < 350);
        }

        // A revision announced while no stream was open is announced again on a stream resuming
        // before it (from its session's cursor, or the last event it had), on no other.
        QVERIFY(testfiles::write(file, R"({"revisions":[{"pages":[{"id":"c","bytes":315}]},
            {"at":0,"pages":[{"id":"d","bytes":420}]}]})"));
        options.outputDirectory = dir.filePath("resumed");
        test::SampleService resumed(options);
        QVERIFY2(resumed.start(&error), qPrintable(error));
        const QString journal = options.outputDirectory + "/service.jsonl";
        QTRY_VERIFY(!test::recordsOf(test::readJsonLines(journal), "revision_announced").isEmpty());
        std::vector<std::unique_ptr<QNetworkReply>> streams;
        for (const QByteArray after : {"cur_0", "1", "0"}) {
            QNetworkRequest request(resumed.origin().resolved(QUrl(W::eventsRoute)));
            request.setRawHeader(W::lastEventIdHeader, after);
            streams.emplace_back(manager.get(request));
            QTRY_COMPARE(test::recordsOf(test::readJsonLines(journal), "events_opened").size(), qsizetype(streams.size()));
        }
        QStringList again;
        for (const QJsonObject& opened : test::recordsOf(test::readJsonLines(journal), "events_opened"))
            again.append(opened.value("announced_again").toString());
        QCOMPARE(again, (QStringList{"man_sample-rev-2", "", "man_sample-rev-2"}));
        QTRY_VERIFY(streams.front()->bytesAvailable() > 0);
        QVERIFY(streams.front()->readAll().startsWith("id: 1\ndata: {"));
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
