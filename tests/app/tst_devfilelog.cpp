#include "app/DevFileLog.h"
#include "app/PlayerEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

using namespace talvorine;
using talvorine::test::LoopbackHttpServer;

namespace {

const QUrl localOrigin(QStringLiteral("http://localhost:8080"));

// Fields that make a record whose serialised line is exactly `length` bytes.
QJsonObject fieldsForLineLength(int length)
{
    const QJsonObject base{{QStringLiteral("event"), QStringLiteral("e")},
                           {QStringLiteral("f"), QString()},
                           {QStringLiteral("pid"), QCoreApplication::applicationPid()},
                           {QStringLiteral("ts"), QStringLiteral("2026-12-07T08:45:42.646Z")}};
    const int padding = length - int(QJsonDocument(base).toJson(QJsonDocument::Compact).size());
    if (padding < 0)
        qFatal("a record line cannot be as short as %d bytes", length);
    return {{QStringLiteral("f"), QString(padding, QLatin1Char('x'))}};
}

QJsonObject onlyRecord(const QString& path)
{
    const auto records = talvorine::test::readJsonLines(path);
    return records.size() == 1 ? records.first() : QJsonObject();
}

} // namespace

class TestDevFileLog : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString logPath() const { return dir_.filePath(QStringLiteral("dev-log.jsonl")); }
    QString prevPath() const { return logPath() + QStringLiteral(".prev"); }

private slots:
    void init()
    {
        QVERIFY(dir_.isValid());
        QFile::remove(logPath());
        QFile::remove(prevPath());
        DevFileLog::configure(localOrigin, dir_.path(), 0);
        QVERIFY(DevFileLog::enabled());
    }
    void cleanupTestCase() { DevFileLog::configure(QUrl(), QString(), 0); }

    void environment_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("local");
        QTest::newRow("localhost") << "http://localhost:8080" << true;
        QTest::newRow("localhost mixed case") << "https://LocalHost" << true;
        QTest::newRow("ipv4 loopback") << "http://127.0.0.1" << true;
        QTest::newRow("ipv6 loopback") << "http://[::1]:9000" << true;
        QTest::newRow("subdomain of localhost") << "https://player.dev.localhost" << true;
        QTest::newRow("localhost prefix of another domain") << "https://localhost.example.com"
                                                             << false;
        QTest::newRow("other loopback address") << "http://127.0.0.2" << false;
        QTest::newRow("private address") << "http://192.168.1.20" << false;
        QTest::newRow("production") << "https://player.talvorine.net" << false;
        // QUrl canonicalises numeric hosts before the rule sees them.
        QTest::newRow("short loopback form") << "http://127.1" << true;
        QTest::newRow("host-less") << "file:///tmp/x" << false;
        QTest::newRow("invalid") << "http://exa mple.com" << false;
    }
    void environment()
    {
        QFETCH(QString, origin);
        QFETCH(bool, local);
        QCOMPARE(environmentFromOrigin(QUrl(origin)) == PlayerEnvironment::Local, local);
    }

    void configure_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("withStateDir");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("local") << "http://LOCALHOST:1" << true << true;
        QTest::newRow("local without state dir") << "http://localhost:1" << false << false;
        QTest::newRow("production") << "https://player.talvorine.net" << true << false;
        QTest::newRow("invalid") << "http://exa mple.com" << true << false;
    }
    void configure()
    {
        QFETCH(QString, origin);
        QFETCH(bool, withStateDir);
        QFETCH(bool, enabled);
        QVERIFY(testfiles::write(logPath(), "earlier run\n"));
        DevFileLog::configure(QUrl(origin), withStateDir ? dir_.path() : QString(), 100);
        QCOMPARE(DevFileLog::enabled(), enabled);
        QCOMPARE(DevFileLog::path(), enabled ? logPath() : QString());
        // Configuring never truncates or reads an existing log.
        QCOMPARE(testfiles::read(logPath()), QByteArray("earlier run\n"));
        DevFileLog::record(QStringLiteral("e"));
        QCOMPARE(testfiles::read(logPath()).count('\n'), enabled ? 2 : 1);
    }

    void createsOwnerOnlyDirectoryAndFile()
    {
        const QString stateDir = dir_.filePath(QStringLiteral("fresh/state"));
        DevFileLog::configure(localOrigin, stateDir, 0);
        QCOMPARE(testfiles::modeOf(stateDir), 0700);
        DevFileLog::record(QStringLiteral("process.start"));
        QCOMPARE(testfiles::modeOf(DevFileLog::path()), 0600);
    }

    void restoresOwnerOnlyMode()
    {
        QVERIFY(testfiles::write(logPath(), "x\n", 0644));
        DevFileLog::record(QStringLiteral("e"));
        QCOMPARE(testfiles::modeOf(logPath()), 0600);
    }

    void fields_data()
    {
        QTest::addColumn<QJsonObject>("fields");
        QTest::addColumn<QJsonObject>("expected");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("scalars kept") << QJsonObject{{"n", 3}, {"b", true}, {"z", QJsonValue()},
                                                     {"d", 1.5}}
                                      << QJsonObject{{"n", 3}, {"b", true}, {"z", QJsonValue()},
                                                     {"d", 1.5}}
                                      << QStringList{};
        QTest::newRow("nested left out") << QJsonObject{{"a", QJsonArray{1}}, {"o", QJsonObject{}}}
                                         << QJsonObject{} << QStringList{"a", "o"};
        QTest::newRow("reserved keys overwritten")
            << QJsonObject{{"pid", "me"}, {"event", "other"}}
            << QJsonObject{{"pid", QCoreApplication::applicationPid()}, {"event", "e"}}
            << QStringList{};
        QTest::newRow("long string cut to 8192")
            << QJsonObject{{"s", QString(10000, u's')}} << QJsonObject{{"s", QString(8192, u's')}}
            << QStringList{};
    }
    void fields()
    {
        QFETCH(QJsonObject, fields);
        QFETCH(QJsonObject, expected);
        QFETCH(QStringList, absent);
        DevFileLog::record(QStringLiteral("e"), fields);
        const QJsonObject record = onlyRecord(logPath());
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
            QCOMPARE(record.value(it.key()), it.value());
        for (const QString& key : absent)
            QVERIFY2(!record.contains(key), qPrintable(key));
        QVERIFY(QDateTime::fromString(record.value("ts").toString(), Qt::ISODateWithMs).isValid());
        // The line itself: compact, keys sorted, integers without a fraction.
        const QByteArray line = testfiles::read(logPath()).trimmed();
        QCOMPARE(line, QJsonDocument(record).toJson(QJsonDocument::Compact));
        const QByteArray pid = "\"pid\":" + QByteArray::number(QCoreApplication::applicationPid());
        QVERIFY(line.contains(pid + ',') || line.contains(pid + '}'));
        QVERIFY(record.value("ts").toString().endsWith(u'Z'));
    }

    void eventNames()
    {
        DevFileLog::record(QString(), {{"a", 1}});
        QVERIFY(!QFile::exists(logPath()));
        DevFileLog::record(QString(9000, u'e'));
        QCOMPARE(onlyRecord(logPath()).value("event").toString().size(), 8192);
    }

    void cap_data()
    {
        QTest::addColumn<int>("currentBytes"); // -1: no current file
        QTest::addColumn<bool>("previousExists");
        QTest::addColumn<int>("lineLength");
        QTest::addColumn<QString>("outcome");
        // A record line is at least about 65 bytes, so the cap here is 200.
        QTest::newRow("fills to the cap exactly") << 120 << false << 79 << "appended";
        QTest::newRow("one byte over rotates") << 120 << false << 80 << "rotated";
        QTest::newRow("rotation replaces previous") << 120 << true << 80 << "rotated";
        QTest::newRow("199 into absent file") << -1 << false << 199 << "appended";
        QTest::newRow("199 into empty file") << 0 << false << 199 << "appended";
        QTest::newRow("200 never fits") << -1 << false << 200 << "dropped";
        QTest::newRow("200 leaves files alone") << 120 << true << 200 << "dropped";
    }
    void cap()
    {
        QFETCH(int, currentBytes);
        QFETCH(bool, previousExists);
        QFETCH(int, lineLength);
        QFETCH(QString, outcome);
        DevFileLog::configure(localOrigin, dir_.path(), 200);
        // Whole lines: a cut record would take a line end of its own.
        QByteArray current(qMax(currentBytes, 0), 'c');
        if (!current.isEmpty())
            current.back() = '\n';
        if (currentBytes >= 0)
            QVERIFY(testfiles::write(logPath(), current));
        if (previousExists)
            QVERIFY(testfiles::write(prevPath(), "old generation"));

        DevFileLog::record(QStringLiteral("e"), fieldsForLineLength(lineLength));

        const QByteArray now = testfiles::read(logPath());
        if (outcome == QLatin1String("dropped")) {
            QCOMPARE(QFile::exists(logPath()), currentBytes >= 0);
            QCOMPARE(now, current);
            QCOMPARE(testfiles::read(prevPath()), previousExists ? QByteArray("old generation") : "");
        } else if (outcome == QLatin1String("appended")) {
            QCOMPARE(now.size(), current.size() + lineLength + 1);
            QVERIFY(now.startsWith(current));
            QVERIFY(now.endsWith("}\n"));
        } else {
            QCOMPARE(testfiles::read(prevPath()), current);
            QCOMPARE(now.size(), lineLength + 1);
            QCOMPARE(testfiles::modeOf(logPath()), 0600);
        }
    }

    // A record an earlier run cut where the volume filled is left as it is, and the next
    // record starts on a line of its own.
    void cutRecordClosed_data()
    {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<bool>("rotates");
        const QByteArray whole = "{\"event\":\"before\",\"pid\":1}\n";
        const QByteArray cut = "{\"event\":\"cut\",\"pid\":1,\"ts\":\"2026-12-07T08:4";
        QTest::newRow("cut record") << cut << false;
        QTest::newRow("cut record after whole ones") << whole + whole + cut << false;
        QTest::newRow("whole records") << whole << false;
        // The line end it takes counts towards the cap: 320 + 1 + 79 + 1 bytes would pass 400.
        QTest::newRow("cut record at the cap") << cut + QByteArray(320 - cut.size(), 'x') << true;
    }
    void cutRecordClosed()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(bool, rotates);
        QVERIFY(testfiles::write(logPath(), earlier));
        DevFileLog::configure(localOrigin, dir_.path(), 400);

        // The line is closed once: the record after it follows at once.
        DevFileLog::record(QStringLiteral("e"), fieldsForLineLength(79));
        DevFileLog::record(QStringLiteral("e"), fieldsForLineLength(79));

        const QByteArray now = testfiles::read(logPath());
        QCOMPARE(rotates ? testfiles::read(prevPath()) : now.left(earlier.size()), earlier);
        const QList<QByteArray> lines = now.split('\n');
        const qsizetype earlierLines = earlier.count('\n') + int(!earlier.endsWith('\n'));
        QCOMPARE(lines.size(), (rotates ? 0 : earlierLines) + 3);
        QCOMPARE(lines.back(), QByteArray());
        for (qsizetype i = lines.size() - 3; i < lines.size() - 1; ++i)
            QCOMPARE(QJsonDocument::fromJson(lines.at(i)).object().value("event").toString(),
                     QStringLiteral("e"));
    }

    // Records a peer can cause at will: per kind, the first of each second is written with the
    // count of those left out since the last one written.
    void folded_data()
    {
        QTest::addColumn<QList<qint64>>("times");
        QTest::addColumn<QStringList>("codes"); // one per time
        QTest::addColumn<QStringList>("written"); // "code:folded" per record written
        QTest::newRow("one per second") << QList<qint64>{0, 10, 999, 1000, 1500, 2600}
                                        << QStringList(6, "a") << QStringList{"a:0", "a:2", "a:1"};
        QTest::newRow("kinds apart") << QList<qint64>{0, 0, 10, 10} << QStringList{"a", "b", "a", "b"}
                                     << QStringList{"a:0", "b:0"};
        QTest::newRow("clock stepped back") << QList<qint64>{5000, 5100, 1000, 1200}
                                            << QStringList(4, "a") << QStringList{"a:0", "a:1"};
    }
    void folded()
    {
        QFETCH(QList<qint64>, times);
        QFETCH(QStringList, codes);
        QFETCH(QStringList, written);
        for (qsizetype i = 0; i < times.size(); ++i)
            DevFileLog::recordFolded(QStringLiteral("e"), codes.at(i), {{"code", codes.at(i)}},
                                     times.at(i));
        QStringList records;
        for (const QJsonObject& record : talvorine::test::readJsonLines(logPath()))
            records.append(record["code"].toString() + ':'
                           + QString::number(record["folded"].toInteger()));
        QCOMPARE(records, written);
    }

    void concurrentWritersNeverInterleave()
    {
        DevFileLog::configure(localOrigin, dir_.path(), 4096);
        constexpr int threads = 4;
        constexpr int perThread = 200;
        QList<QThread*> workers;
        for (int t = 0; t < threads; ++t) {
            workers.append(QThread::create([t] {
                for (int i = 0; i < perThread; ++i)
                    DevFileLog::record(QStringLiteral("e"), {{"t", t}, {"i", i}});
            }));
            workers.last()->start();
        }
        for (QThread* worker : workers) {
            QVERIFY(worker->wait(30000));
            delete worker;
        }
        // Every line of both generations is whole, and neither file passed the cap.
        for (const QString& path : {logPath(), prevPath()}) {
            const QByteArray bytes = testfiles::read(path);
            QVERIFY(bytes.size() <= 4096);
            for (const QByteArray& line : bytes.split('\n')) {
                if (!line.isEmpty())
                    QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
            }
        }
        QVERIFY(QFile::exists(prevPath()));
    }

    void defaultCapForNonPositive()
    {
        DevFileLog::configure(localOrigin, dir_.path(), -1);
        QJsonObject large;
        for (int i = 0; i < 13; ++i)
            large.insert(QString::number(i), QString(8000, u'x'));
        DevFileLog::record(QStringLiteral("e"), large);
        QVERIFY(testfiles::read(logPath()).size() > 104000);
    }

    void offAgain()
    {
        DevFileLog::configure(QUrl(QStringLiteral("https://player.talvorine.net")), dir_.path(), 0);
        DevFileLog::record(QStringLiteral("e"));
        QVERIFY(!QFile::exists(logPath()));
    }

    void originString_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("origin");
        QTest::newRow("explicit port kept") << "http://user:pw@localhost:8080/a?b#c"
                                            << "http://localhost:8080";
        QTest::newRow("no default port added") << "https://player.talvorine.net/x"
                                               << "https://player.talvorine.net";
        QTest::newRow("ipv6") << "http://[::1]:9/" << "http://[::1]:9";
    }
    void originString()
    {
        QFETCH(QString, url);
        QFETCH(QString, origin);
        QCOMPARE(DevFileLog::originString(QUrl(url)), origin);
    }

    void watchReply_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("userInfo");
        QTest::addColumn<QByteArray>("requestId");
        QTest::addColumn<QJsonObject>("expected");
        QTest::addColumn<QStringList>("absent");

        QTest::newRow("empty path") << "127.0.0.1" << "" << "" << QByteArray("abc")
                                    << QJsonObject{{"path", "/"}, {"request_id", "abc"}}
                                    << QStringList{"query", "cookie"};
        QTest::newRow("request id of 80 bytes")
            << "127.0.0.1" << "/a" << "" << QByteArray(80, 'r')
            << QJsonObject{{"request_id", QString(80, u'r')}} << QStringList{};
        QTest::newRow("request id of 81 bytes") << "127.0.0.1" << "/a" << "" << QByteArray(81, 'r')
                                                << QJsonObject{} << QStringList{"request_id"};
        QTest::newRow("request id with a space") << "127.0.0.1" << "/a" << "" << QByteArray("a b")
                                                 << QJsonObject{} << QStringList{"request_id"};
        QTest::newRow("user info removed")
            << "127.0.0.1" << "/runtime/v1/x" << "user:secret" << QByteArray()
            << QJsonObject{{"host", "127.0.0.1"}, {"path", "/runtime/v1/x"}, {"query", "q=1"}}
            << QStringList{"request_id"};
        QTest::newRow("not a local host") << "127.0.0.2" << "/a" << "" << QByteArray("abc")
                                          << QJsonObject{} << QStringList{};
    }
    void watchReply()
    {
        QFETCH(QString, listen);
        QFETCH(QString, path);
        QFETCH(QString, userInfo);
        QFETCH(QByteArray, requestId);
        QFETCH(QJsonObject, expected);
        QFETCH(QStringList, absent);

        LoopbackHttpServer server{QHostAddress(listen)};
        QVERIFY(server.listening());
        LoopbackHttpServer::Reply reply;
        reply.status = 201;
        reply.headers.append({QByteArray("Set-Cookie"), QByteArray("sid=1")});
        if (!requestId.isEmpty())
            reply.headers.append({QByteArray("X-Request-ID"), requestId});
        server.setReply(reply);

        QUrl url = server.url(path);
        url.setUserInfo(userInfo);
        if (!userInfo.isEmpty())
            url.setQuery(QStringLiteral("q=1"));
        QNetworkAccessManager manager;
        QNetworkRequest request(url);
        if (!userInfo.isEmpty())
            request.setRawHeader("Cookie", "c=2");
        QNetworkReply* networkReply = manager.get(request);
        DevFileLog::watchReply(networkReply, QStringLiteral("GET"));
        DevFileLog::watchReply(nullptr, QStringLiteral("GET"));
        QSignalSpy finished(networkReply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        networkReply->deleteLater();

        if (listen != QLatin1String("127.0.0.1")) {
            QVERIFY(!QFile::exists(logPath()));
            return;
        }
        const QJsonObject record = onlyRecord(logPath());
        QCOMPARE(record.value("event").toString(), QStringLiteral("http"));
        QCOMPARE(record.value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(record.value("status").toInt(), 201);
        QCOMPARE(record.value("set_cookie").toString(), QStringLiteral("sid=1"));
        QVERIFY(record.value("duration_ms").isDouble());
        QVERIFY(!record.value("url").toString().contains(QLatin1String("secret")));
        QVERIFY(!record.value("url").toString().contains(QLatin1String("user")));
        QVERIFY(QByteArray(testfiles::read(logPath())).contains("\"duration_ms\":"));
        QVERIFY(!testfiles::read(logPath()).contains("\"status\":201."));
        if (!userInfo.isEmpty())
            QCOMPARE(record.value("cookie").toString(), QStringLiteral("c=2"));
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
            QCOMPARE(record.value(it.key()), it.value());
        for (const QString& key : absent)
            QVERIFY2(!record.contains(key), qPrintable(key));
    }
};

QTEST_GUILESS_MAIN(TestDevFileLog)
#include "tst_devfilelog.moc"
