#include "web/ApplicationReportBudget.h"
#include "web/SdkBridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace talvorine;

namespace {

using Headers = QList<std::pair<QByteArray, QByteArray>>;

const QString appId = QStringLiteral("app.example-01");
const QString handle = QStringLiteral("cap_HANDLE-1");

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class TestSdkBridge : public QObject {
    Q_OBJECT
private slots:
    void hostFeaturesInOrder()
    {
        QCOMPARE(SdkBridge::hostFeatures(),
                 QStringList({"ready", "log", "event.emit", "page.advance", "kv.get", "kv.list",
                              "kv.set", "kv.delete"}));
        QCOMPARE(&SdkBridge::hostFeatures(), &SdkBridge::hostFeatures());
    }

    void capability_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("needed");
        QTest::newRow("get") << "kv.get" << "kv.read";
        QTest::newRow("list") << "kv.list" << "kv.read";
        QTest::newRow("set") << "kv.set" << "kv.write";
        QTest::newRow("delete") << "kv.delete" << "kv.write";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("case differs") << "KV.GET" << "";
        QTest::newRow("other feature") << "log" << "";
        QTest::newRow("trailing line feed") << "kv.get\n" << "";
    }
    void capability()
    {
        QFETCH(QString, kind);
        QFETCH(QString, needed);
        QCOMPARE(SdkBridge::kvCapability(kind), needed);
    }

    void builtRequests_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Headers>("headers");
        QTest::addColumn<QByteArray>("body");

        const std::pair<QByteArray, QByteArray> cap{"Talvorine-Primitive-Capability",
                                                    "cap_HANDLE-1"};
        QTest::newRow("list ignores key")
            << json(R"({"kind":"kv.list","key":"x/y"})") << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv") << Headers{cap} << QByteArray();
        QTest::newRow("get plain key")
            << json(R"({"kind":"kv.get","key":"score"})") << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/score") << Headers{cap}
            << QByteArray();
        QTest::newRow("slash and space make one segment")
            << json(R"({"kind":"kv.get","key":"a/b c~"})") << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/a%2Fb%20c~") << Headers{cap}
            << QByteArray();
        QTest::newRow("non-ascii key from utf-8")
            << QJsonObject{{"kind", "kv.get"}, {"key", QString(QChar(0xe9)) + "?#"}} << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/%C3%A9%3F%23") << Headers{cap}
            << QByteArray();
        QTest::newRow("dots inside a key stay one segment")
            << json(R"({"kind":"kv.get","key":"...a."})") << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/...a.") << Headers{cap}
            << QByteArray();
        QTest::newRow("three dots are a plain segment")
            << json(R"({"kind":"kv.get","key":"..."})") << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/...") << Headers{cap}
            << QByteArray();
        QTest::newRow("set with revision")
            << json(R"({"kind":"kv.set","key":"k","idempotency_key":"idem-0001",)"
                    R"("expected_revision":3,"value_base64":"AAEC","content_type":"text/plain"})")
            << QByteArray("PUT") << QByteArray("/runtime/v1/apps/app.example-01/kv/k")
            << Headers{cap, {"Content-Type", "application/json"}, {"If-Match", "3"},
                       {"Idempotency-Key", "idem-0001"}}
            << QByteArray(R"({"content_type":"text/plain","value_base64":"AAEC"})");
        QTest::newRow("set without revision, empty value")
            << json(R"({"kind":"kv.set","key":"k","idempotency_key":"idem-0001",)"
                    R"("value_base64":"","content_type":"a"})")
            << QByteArray("PUT") << QByteArray("/runtime/v1/apps/app.example-01/kv/k")
            << Headers{cap, {"Content-Type", "application/json"}, {"Idempotency-Key", "idem-0001"}}
            << QByteArray(R"({"content_type":"a","value_base64":""})");
        QTest::newRow("delete with largest revision")
            << json(R"({"kind":"kv.delete","key":"k","idempotency_key":"idem-0001",)"
                    R"("expected_revision":9007199254740991})")
            << QByteArray("DELETE") << QByteArray("/runtime/v1/apps/app.example-01/kv/k")
            << Headers{cap, {"If-Match", "9007199254740991"}, {"Idempotency-Key", "idem-0001"}}
            << QByteArray();
        QTest::newRow("delete revision zero")
            << json(R"({"kind":"kv.delete","key":"k","idempotency_key":"idem-0001",)"
                    R"("expected_revision":0})")
            << QByteArray("DELETE") << QByteArray("/runtime/v1/apps/app.example-01/kv/k")
            << Headers{cap, {"If-Match", "0"}, {"Idempotency-Key", "idem-0001"}} << QByteArray();
        QTest::newRow("key of 256 bytes")
            << QJsonObject{{"kind", "kv.get"}, {"key", QString(128, QChar(0xe9))}}
            << QByteArray("GET")
            << QByteArray("/runtime/v1/apps/app.example-01/kv/") + QByteArray("%C3%A9").repeated(128)
            << Headers{cap} << QByteArray();
    }
    void builtRequests()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(Headers, headers);
        QFETCH(QByteArray, body);
        const SdkBridge::KvRequest built = SdkBridge::kvRequest(request, appId, handle);
        QVERIFY(built.valid);
        QCOMPARE(built.method, method);
        QCOMPARE(built.path, path);
        QCOMPARE(built.headers, headers);
        QCOMPARE(built.body, body);
    }

    void refusedRequests_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("applicationId");
        QTest::addColumn<QString>("capability");

        const QJsonObject set = json(R"({"kind":"kv.set","key":"k","idempotency_key":"idem-0001",)"
                                     R"("value_base64":"AAEC","content_type":"text/plain"})");
        auto with = [&](const char* member, const QJsonValue& value) {
            QJsonObject copy = set;
            copy.insert(QLatin1String(member), value);
            return copy;
        };
        auto without = [&](const char* member) {
            QJsonObject copy = set;
            copy.remove(QLatin1String(member));
            return copy;
        };
        QTest::newRow("unknown kind") << json(R"({"kind":"kv.purge","key":"k"})") << appId << handle;
        QTest::newRow("no kind") << json(R"({"key":"k"})") << appId << handle;
        QTest::newRow("reserved prefix") << json(R"({"kind":"kv.get","key":"_talvorine/x"})")
                                         << appId << handle;
        QTest::newRow("key 257 bytes") << QJsonObject{{"kind", "kv.get"}, {"key", QString(257, 'k')}}
                                       << appId << handle;
        QTest::newRow("empty key") << json(R"({"kind":"kv.get","key":""})") << appId << handle;
        // A client folds dot segments into the path before sending: the key would address
        // the store itself or its parent.
        QTest::newRow("dot key") << json(R"({"kind":"kv.get","key":"."})") << appId << handle;
        QTest::newRow("dot-dot key") << json(R"({"kind":"kv.get","key":".."})") << appId << handle;
        QTest::newRow("dot-dot delete")
            << json(R"({"kind":"kv.delete","key":"..","idempotency_key":"idem-0001"})") << appId
            << handle;
        QTest::newRow("numeric key") << json(R"({"kind":"kv.get","key":5})") << appId << handle;
        QTest::newRow("app id of 7") << json(R"({"kind":"kv.list"})") << "abcdefg" << handle;
        QTest::newRow("app id with slash") << json(R"({"kind":"kv.list"})") << "abcdefgh/" << handle;
        QTest::newRow("app id trailing line feed") << json(R"({"kind":"kv.list"})") << "abcdefgh\n"
                                                   << handle;
        QTest::newRow("app id of 129") << json(R"({"kind":"kv.list"})") << QString(129, 'a')
                                       << handle;
        QTest::newRow("handle with space") << json(R"({"kind":"kv.list"})") << appId << "a b";
        QTest::newRow("handle of 513") << json(R"({"kind":"kv.list"})") << appId
                                       << QString(513, 'h');
        QTest::newRow("empty handle") << json(R"({"kind":"kv.get","key":"k"})") << appId << "";
        QTest::newRow("idempotency of 7") << with("idempotency_key", "1234567") << appId << handle;
        QTest::newRow("idempotency with space") << with("idempotency_key", "idem 0001") << appId
                                                << handle;
        QTest::newRow("idempotency of 201") << with("idempotency_key", QString(201, 'i')) << appId
                                            << handle;
        QTest::newRow("delete without idempotency")
            << json(R"({"kind":"kv.delete","key":"k"})") << appId << handle;
        QTest::newRow("revision 1.5") << with("expected_revision", 1.5) << appId << handle;
        QTest::newRow("revision -1") << with("expected_revision", -1) << appId << handle;
        QTest::newRow("revision as text") << with("expected_revision", "3") << appId << handle;
        QTest::newRow("revision null") << with("expected_revision", QJsonValue()) << appId << handle;
        QTest::newRow("revision 2^53") << with("expected_revision", 9007199254740992.0) << appId
                                       << handle;
        QTest::newRow("empty content type") << with("content_type", "") << appId << handle;
        QTest::newRow("content type of 128") << with("content_type", QString(128, 't')) << appId
                                             << handle;
        QTest::newRow("no content type") << without("content_type") << appId << handle;
        QTest::newRow("base64 length 3") << with("value_base64", "AAE") << appId << handle;
        QTest::newRow("base64 bad char") << with("value_base64", "AA-C") << appId << handle;
        QTest::newRow("base64 padding inside") << with("value_base64", "A=BC") << appId << handle;
        QTest::newRow("base64 three pads") << with("value_base64", "A===") << appId << handle;
        QTest::newRow("base64 too long") << with("value_base64", QString(1398108, 'A')) << appId
                                         << handle;
        QTest::newRow("base64 trailing line feed") << with("value_base64", "AAE\n") << appId
                                                   << handle;
        QTest::newRow("no value") << without("value_base64") << appId << handle;
    }
    void refusedRequests()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QString, applicationId);
        QFETCH(QString, capability);
        const SdkBridge::KvRequest built = SdkBridge::kvRequest(request, applicationId, capability);
        QVERIFY(!built.valid);
        QVERIFY(built.method.isEmpty());
        QVERIFY(built.path.isEmpty());
        QVERIFY(built.headers.isEmpty());
        QVERIFY(built.body.isEmpty());
    }

    void longestValueAccepted()
    {
        QJsonObject set = json(R"({"kind":"kv.set","key":"k","idempotency_key":"idem-0001",)"
                               R"("content_type":"x"})");
        set.insert("value_base64", QString(1398104, 'A'));
        QVERIFY(SdkBridge::kvRequest(set, appId, handle).valid);
    }

    void sessionCapabilities_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("duplicates, case, numbers")
            << QByteArray(R"(["kv.read","kv.read","KV.WRITE",5,"kv.write"])")
            << QStringList{"kv.read", "kv.write"};
        QTest::newRow("order kept") << QByteArray(R"(["b","a-1","adslot-v1"])")
                                    << QStringList{"b", "a-1", "adslot-v1"};
        QTest::newRow("leading digit or empty") << QByteArray(R"(["1a","",null,{},"x"])")
                                                << QStringList{"x"};
        QTest::newRow("trailing line feed") << QByteArray(R"(["kv.read\n"])") << QStringList{};
        QTest::newRow("64 and 65 characters")
            << QByteArray("[\"a" + QByteArray(63, 'b') + "\",\"a" + QByteArray(64, 'b') + "\"]")
            << QStringList{"a" + QString(63, 'b')};
        QTest::newRow("not an array") << QByteArray(R"({"kv.read":true})") << QStringList{};
    }
    void sessionCapabilities()
    {
        QFETCH(QByteArray, document);
        QFETCH(QStringList, expected);
        const QJsonValue value = QJsonDocument::fromJson("{\"v\":" + document + "}")
                                     .object()
                                     .value("v");
        QCOMPARE(SdkBridge::readSessionCapabilities(value), expected);
    }

    void budget_data()
    {
        // Each step: key, time, expected admission.
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QList<qint64>>("times");
        QTest::addColumn<QList<bool>>("allowed");

        QStringList keys;
        QList<qint64> times;
        QList<bool> allowed;
        for (int i = 0; i < 8; ++i) {
            keys << "A";
            times << i * 1000;
            allowed << true;
        }
        QTest::newRow("ninth per key refused, expiry frees one")
            << (keys + QStringList{"A", "B", "A", "A"})
            << (times + QList<qint64>{8000, 8000, 60000, 60001})
            << (allowed + QList<bool>{false, true, true, false});
        QTest::newRow("stamp exactly at bound has expired")
            << QStringList{"A", "A", "A", "A", "A", "A", "A", "A", "A", "A"}
            << QList<qint64>{0, 0, 0, 0, 0, 0, 0, 0, 59999} + QList<qint64>{60000}
            << QList<bool>{true, true, true, true, true, true, true, true, false} + QList<bool>{true};
        QTest::newRow("refusal is not counted")
            << QStringList{"A", "A", "A", "A", "A", "A", "A", "A", "A", "A", "A"}
            << QList<qint64>{0, 1, 2, 3, 4, 5, 6, 7, 50000, 59000, 60000}
            << QList<bool>{true, true, true, true, true, true, true, true, false, false, true};
        QTest::newRow("empty key") << QStringList{""} << QList<qint64>{0} << QList<bool>{false};
    }
    void budget()
    {
        QFETCH(QStringList, keys);
        QFETCH(QList<qint64>, times);
        QFETCH(QList<bool>, allowed);
        QCOMPARE(keys.size(), times.size());
        ApplicationReportBudget budget;
        for (qsizetype i = 0; i < keys.size(); ++i)
            QVERIFY2(budget.allow(keys[i], times[i]) == allowed[i], qPrintable(QString::number(i)));
    }

    void globalLimit()
    {
        ApplicationReportBudget budget;
        for (int key = 0; key < 12; ++key) {
            for (int i = 0; i < 8; ++i)
                QVERIFY(budget.allow(QString::number(key), key * 1000 + i));
        }
        QCOMPARE(budget.globalStamps().size(), 96);
        for (int key = 0; key < 12; ++key)
            QVERIFY(!budget.allow(QString::number(key), 20000));
        QVERIFY(!budget.allow(QStringLiteral("fresh"), 20000));
        QCOMPARE(budget.globalStamps().size(), 96);
        // Key 0's reports (0..7) expire first, which frees eight global places.
        QVERIFY(budget.allow(QStringLiteral("fresh"), 60007));
        QCOMPARE(budget.keyCount(), 12);
    }

    void emptyKeyChangesNothing()
    {
        ApplicationReportBudget budget;
        QVERIFY(budget.allow("A", 0));
        QVERIFY(!budget.allow(QString(), 70000));
        QCOMPARE(budget.globalStamps(), QList<qint64>{0});
        QCOMPARE(budget.keyCount(), 1);
        QVERIFY(budget.allow("B", 70000));
        QCOMPARE(budget.keyCount(), 1); // A's window emptied and was dropped
    }

    void pruneWindow_data()
    {
        QTest::addColumn<QList<qint64>>("stamps");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QList<qint64>>("kept");
        QTest::newRow("none expired") << QList<qint64>{10, 20} << qint64(60009) << QList<qint64>{10, 20};
        QTest::newRow("bound inclusive") << QList<qint64>{10, 20} << qint64(60010) << QList<qint64>{20};
        QTest::newRow("all expired") << QList<qint64>{10, 20} << qint64(90000) << QList<qint64>{};
        QTest::newRow("empty") << QList<qint64>{} << qint64(0) << QList<qint64>{};
    }
    void pruneWindow()
    {
        QFETCH(QList<qint64>, stamps);
        QFETCH(qint64, now);
        QFETCH(QList<qint64>, kept);
        ApplicationReportBudget::pruneWindow(stamps, now);
        QCOMPARE(stamps, kept);
    }
};

QTEST_APPLESS_MAIN(TestSdkBridge)
#include "tst_sdkbridge.moc"
