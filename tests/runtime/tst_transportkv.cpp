// An application's key-value requests through the SDK bridge and the transport to the fake
// service's store and back: set, get, list and delete with revisions and replays, the
// capability header, and a scripted problem.

#include "app/DevFileLog.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/FakeKvStore.h"
#include "tests/support/FakeRuntimeService.h"
#include "web/SdkBridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvorine;
using talvorine::test::FakeRuntimeService;
using Reply = FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

class TestTransportKv : public QObject {
    Q_OBJECT

private slots:
    void storeRoundTrips_data();
    void storeRoundTrips();
};

void TestTransportKv::storeRoundTrips_data()
{
    QTest::addColumn<QJsonArray>("steps");
    QTest::addColumn<QStringList>("expected");

    const auto set = [](const QString& key, const QString& idempotency, const QJsonValue& revision) {
        QJsonObject request{{"kind", "kv.set"}, {"key", key}, {"idempotency_key", idempotency},
                            {"value_base64", "aGVsbG8="}, {"content_type", "text/plain"}};
        if (!revision.isNull())
            request.insert("expected_revision", revision);
        return request;
    };
    const QJsonObject get{{"kind", "kv.get"}, {"key", "greeting"}};
    const QJsonObject list{{"kind", "kv.list"}};
    const QJsonObject remove{{"kind", "kv.delete"}, {"key", "greeting"},
                             {"idempotency_key", "idem-delete-1"}};

    QTest::newRow("set, get, list, delete")
        << QJsonArray{set("greeting", "idem-set-0001", QJsonValue()), get, list, remove, get}
        << QStringList{"200 revision 1", "200 hello", "200 items 1", "204", "404 not_found"};
    QTest::newRow("revisions and replays")
        << QJsonArray{set("greeting", "idem-set-0001", 0), set("greeting", "idem-set-0001", 0),
                      set("greeting", "idem-set-0002", 0), set("greeting", "idem-set-0003", 1)}
        << QStringList{"200 revision 1", "200 revision 1", "412 revision_mismatch",
                       "200 revision 2"};
    QTest::newRow("a key with a slash stays one key")
        << QJsonArray{set("a/b c", "idem-set-0001", QJsonValue()), list}
        << QStringList{"200 revision 1", "200 items 1"};
    QTest::newRow("without the capability")
        << QJsonArray{QJsonObject{{"kind", "kv.list"}, {"capability", "cap-other"}}}
        << QStringList{"403 forbidden"};
    QTest::newRow("a scripted problem")
        << QJsonArray{QJsonObject{{"kind", "kv.get"}, {"key", "broken"}}}
        << QStringList{"503 dependency_unavailable"};
}

void TestTransportKv::storeRoundTrips()
{
    QFETCH(QJsonArray, steps);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(NativePlayerIdentityStore(dir.filePath("player-identity")).open(true).has_value());
    FakeRuntimeService fake;
    QVERIFY2(fake.listening(), qPrintable(fake.setupError()));
    fake.kvStore().grant("cap-hero");
    fake.script("GET", "/runtime/v1/apps/app-00001/kv/broken",
                {Reply::json(503, QJsonObject{{"code", "dependency_unavailable"}})});
    DevFileLog::configure(fake.url(), dir.filePath("log"), 0);
    RuntimeTransport transport(fake.url(), dir.filePath("device-credential"),
                               dir.filePath("pairing-session"), dir.filePath("player-identity"));
    fake.script("POST", W::sessionMintRoute,
                {Reply::json(200, QJsonObject{{"session", "tvs_kv_1"},
                                              {"expires_at", "2099-01-01T00:00:00.000Z"},
                                              {"capabilities", QJsonArray{"kv.read", "kv.write"}},
                                              {"manifest_versions", QJsonArray{2, 3}}})});
    QSignalSpy minted(&transport, &RuntimeTransport::deviceSessionSucceeded);
    transport.createDeviceSession(QStringLiteral("mint-key-0001"));
    QVERIFY(minted.wait(15000) || minted.size() == 1);

    QSignalSpy finished(&transport, &RuntimeTransport::applicationKvFinished);
    QStringList got;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const QJsonObject step = steps.at(i).toObject();
        const QString capability = step.value("capability").toString("cap-hero");
        const SdkBridge::KvRequest request =
            SdkBridge::kvRequest(step, QStringLiteral("app-00001"), capability);
        QVERIFY(request.valid);
        const QString key = QStringLiteral("12_hero_msg-%1").arg(i);
        transport.applicationKv(key, request);
        QVERIFY(finished.wait(15000) || finished.size() == 1);
        const QList<QVariant> answer = finished.takeFirst();
        QCOMPARE(answer.at(0).toString(), key);
        const QJsonObject body = QJsonDocument::fromJson(answer.at(2).toString().toUtf8()).object();
        QString line = QString::number(answer.at(1).toInt());
        if (body.contains("code"))
            line += ' ' + body.value("code").toString();
        else if (body.contains("items"))
            line += QStringLiteral(" items %1").arg(body.value("items").toArray().size());
        else if (step.value("kind") == "kv.get")
            line += ' ' + QString::fromLatin1(
                              QByteArray::fromBase64(body.value("value_base64").toString().toLatin1()));
        else if (body.contains("revision"))
            line += QStringLiteral(" revision %1").arg(body.value("revision").toInt());
        got.append(line);
    }
    QCOMPARE(got, expected);
    for (const FakeRuntimeService::Request& sent : fake.requests()) {
        if (sent.path.startsWith("/runtime/v1/apps/"))
            QCOMPARE(sent.header("Authorization"), QByteArray("Talvorine-Session tvs_kv_1"));
    }
}

QTEST_GUILESS_MAIN(TestTransportKv)
#include "tst_transportkv.moc"
