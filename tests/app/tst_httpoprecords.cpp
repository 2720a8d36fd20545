// The operation log's records of HTTP exchanges: route tags, resource ids, query keys, and the
// request and response records of real replies from a loopback server.
#include "app/PlayerOpLog.h"

#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/OpLogListener.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

using namespace talvorine;
using talvorine::test::LoopbackHttpServer;
using talvorine::test::OpLogListener;

namespace {

QByteArray withRecordValues(QByteArray expected, const QByteArray& actual)
{
    const QJsonObject record = QJsonDocument::fromJson(actual).object();
    expected.replace("@TS@", record.value(QStringLiteral("ts")).toString().toUtf8());
    expected.replace("@EID@", record.value(QStringLiteral("event_id")).toString().toUtf8());
    expected.replace("@CID@", record.value(QStringLiteral("correlation_id")).toString().toUtf8());
    expected.replace("@DUR@", QByteArray::number(record.value(QStringLiteral("duration_ms")).toInteger()));
    expected.replace("@PID@", QByteArray::number(QCoreApplication::applicationPid()));
    return expected + '\n';
}

bool waitFinished(QNetworkReply* reply, int timeoutMs = 10000)
{
    if (reply->isFinished())
        return true;
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return finished.wait(timeoutMs);
}

} // namespace

class HttpOpRecordsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void tagFor_data();
    void tagFor();
    void tables();

    void resourceId_data();
    void resourceId();
    void queryKeys_data();
    void queryKeys();

    void exchangeRecordsByteExact();
    void responseOutcome_data();
    void responseOutcome();
    void requestId_data();
    void requestId();
    void duration_data();
    void duration();
    void incompleteWatchIsIgnored_data();
    void incompleteWatchIsIgnored();

private:
    QNetworkReply* watchedGet(QNetworkAccessManager& manager, const QUrl& url,
                              const QString& method = QStringLiteral("GET"));
};

void HttpOpRecordsTest::cleanup()
{
    PlayerOpLog::close();
    PlayerOpLog::setBoundScreenId({});
}

QNetworkReply* HttpOpRecordsTest::watchedGet(QNetworkAccessManager& manager, const QUrl& url,
                                             const QString& method)
{
    QNetworkReply* reply = manager.get(QNetworkRequest(url));
    PlayerOpLog::watchReply(reply, method);
    return reply;
}

void HttpOpRecordsTest::tagFor_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("tag");

    QTest::newRow("screen manifest") << "GET" << "/runtime/v1/screens/8c1f/manifest"
                                     << "get_screen_manifest";
    QTest::newRow("all keep tokens") << "GET" << "/runtime/v1/native/pairing-events"
                                     << "get_native_pairing_events";
    QTest::newRow("pairing complete") << "POST" << "/runtime/v1/native/pairing-sessions/complete"
                                      << "post_native_pairing_sessions_complete";
    QTest::newRow("v2 manifest") << "GET" << "/runtime/v2/manifest" << "get_runtime_id_manifest";
    QTest::newRow("no keep token") << "PUT" << "/runtime/v1/screen-label" << "put";
    QTest::newRow("unknown collection") << "POST" << "/runtime/v1/adslots/resolve" << "post";
    QTest::newRow("empty path") << "GET" << "" << "get";
    QTest::newRow("root") << "DELETE" << "/" << "delete";
    QTest::newRow("method trimmed and lowered") << "  Post\t" << "/runtime/v1/reports"
                                                << "post_reports";
    QTest::newRow("kv after a part") << "GET" << "/runtime/v1/screens/s1/kv/k"
                                     << "get_screen_kv";
    QTest::newRow("no singular, first part") << "GET" << "/api/v1/agents/a1" << "get_agents_id";
    QTest::newRow("prefix needs its slash") << "GET" << "/runtime/v1" << "get_runtime_v1";
    QTest::newRow("query cut") << "GET" << "/runtime/v1/screens/s1?x=screens/y"
                               << "get_screen";
    QTest::newRow("hyphen to underscore, singular")
        << "GET" << "/api/v1/dashboard-links/d1" << "get_dashboard_link";
    QTest::newRow("hyphenated without identifier") << "GET" << "/api/v1/public-id"
                                                   << "get_public_id";
    QTest::newRow("only one prefix removed")
        << "GET" << "/api/v1/runtime/v1/screens/s" << "get_runtime_v1_screen";
    QTest::newRow("content prefix") << "GET" << "/content/v1/media/abc" << "get_media_id";
    QTest::newRow("prefix is case-sensitive")
        << "GET" << "/Runtime/v1/screens/s" << "get_v1_screen";
    QTest::newRow("keep tokens are case-sensitive") << "GET" << "/runtime/v1/Screens/s1" << "get";
    QTest::newRow("doubled slashes dropped")
        << "GET" << "/runtime/v1//screens//s1//manifest" << "get_screen_manifest";
    QTest::newRow("dot tokens") << "GET" << "/.health" << "get_.health";
    QTest::newRow("identifier skipped after singular")
        << "POST" << "/runtime/v1/sessions/s9/challenges/c2/complete"
        << "post_session_challenge_complete";
    QTest::newRow("second unknown collection keeps its name")
        << "GET" << "/runtime/v1/screens/s1/playback/p1" << "get_screen_playback";
}

void HttpOpRecordsTest::tagFor()
{
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QString, tag);
    QCOMPARE(PlayerOpLog::tagFor(method, path), tag);
}

void HttpOpRecordsTest::tables()
{
    QCOMPARE(httpKeepTokens().size(), 60);
    QCOMPARE(httpSingularTokens().size(), 18);
    // Every singular belongs to a collection whose hyphenated name is a keep token, so it can
    // be reached by a route.
    for (auto it = httpSingularTokens().cbegin(); it != httpSingularTokens().cend(); ++it) {
        QString token = it.key();
        token.replace(QLatin1Char('_'), QLatin1Char('-'));
        QVERIFY2(httpKeepTokens().contains(token), qPrintable(token));
    }
    QCOMPARE(&httpKeepTokens(), &httpKeepTokens());
}

void HttpOpRecordsTest::resourceId_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("boundScreen");
    QTest::addColumn<QString>("id");

    QTest::newRow("identifier after a collection") << "/runtime/v1/screens/8c1f/manifest" << "b"
                                                   << "8c1f";
    QTest::newRow("version word") << "/runtime/v2/manifest" << "b" << "v2";
    QTest::newRow("first non-token") << "/runtime/v1/screen-label" << "" << "screen-label";
    QTest::newRow("all tokens: bound screen")
        << "/runtime/v1/native/pairing-events" << "scr-bound" << "scr-bound";
    QTest::newRow("all tokens, nothing bound") << "/runtime/v1/reports" << "" << "";
    QTest::newRow("root: bound screen") << "/" << "scr-bound" << "scr-bound";
    QTest::newRow("decoded path") << "/runtime/v1/screens/a%20b" << "" << "a b";
}

void HttpOpRecordsTest::resourceId()
{
    QFETCH(QString, path);
    QFETCH(QString, boundScreen);
    QFETCH(QString, id);
    OpLogListener listener;
    LoopbackHttpServer server;
    QNetworkAccessManager manager;
    PlayerOpLog::setBoundScreenId(boundScreen);
    QUrl url = server.url();
    url.setPath(path, QUrl::TolerantMode);
    QNetworkReply* reply = watchedGet(manager, url);
    // The id is chosen when the request is made; a later binding does not change it.
    PlayerOpLog::setBoundScreenId(QStringLiteral("later"));
    QVERIFY(waitFinished(reply));
    QVERIFY(listener.waitForLines(2));
    for (const QJsonObject& record : listener.records()) {
        QCOMPARE(record.contains(QStringLiteral("id")), !id.isEmpty());
        QCOMPARE(record.value(QStringLiteral("id")).toString(), id);
    }
    delete reply;
}

void HttpOpRecordsTest::queryKeys_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("none") << "" << QStringList();
    QTest::newRow("order kept, repeats once, empty and secret left out")
        << "page=1&access_token=x&page=2&=v&limit=3" << QStringList{"page", "limit"};
    QTest::newRow("only secret keys") << "token=a&signature=b&url=c" << QStringList();
    QTest::newRow("forbidden key fragments") << "jwk=1&private_note=2&ok=3" << QStringList{"ok"};
    QTest::newRow("key without value") << "flag&since=5" << QStringList{"flag", "since"};
    QTest::newRow("encoded key decoded") << "a%20b=1" << QStringList{"a b"};
    QTest::newRow("pairing code allowed") << "pairing_code=ABC" << QStringList{"pairing_code"};
}

void HttpOpRecordsTest::queryKeys()
{
    QFETCH(QString, query);
    QFETCH(QStringList, keys);
    OpLogListener listener;
    LoopbackHttpServer server;
    QNetworkAccessManager manager;
    QUrl url = server.url(QStringLiteral("/runtime/v1/reports"));
    if (!query.isEmpty())
        url.setQuery(query);
    QNetworkReply* reply = watchedGet(manager, url);
    QVERIFY(listener.waitForLines(1));
    const QByteArray line = listener.lines().constFirst();
    const QJsonObject request = listener.records().constFirst();
    QCOMPARE(request.value(QStringLiteral("phase")).toString(), QStringLiteral("request"));
    QCOMPARE(request.contains(QStringLiteral("query_keys")), !keys.isEmpty());
    QStringList actual;
    for (const QJsonValue& key : request.value(QStringLiteral("query_keys")).toArray())
        actual.append(key.toString());
    QCOMPARE(actual, keys);
    // Values never leave the process.
    QVERIFY(!line.contains("access_token") && !line.contains("=v"));
    QVERIFY(waitFinished(reply));
    delete reply;
}

void HttpOpRecordsTest::exchangeRecordsByteExact()
{
    OpLogListener listener;
    LoopbackHttpServer server;
    server.setReply({200, {{"X-Request-ID", "req-7f3a"}, {"Content-Type", "application/json"}},
                     "{}"});
    QNetworkAccessManager manager;
    QUrl url = server.url(QStringLiteral("/runtime/v1/screens/8c1f/manifest"));
    url.setQuery(QStringLiteral("since=4&api_key=zz&since=5"));
    QNetworkReply* reply = watchedGet(manager, url);
    QVERIFY(waitFinished(reply));
    QVERIFY(listener.waitForLines(2));
    const QByteArray request = listener.lines().at(0);
    const QByteArray response = listener.lines().at(1);

    QCOMPARE(request,
             withRecordValues(
                 R"({"correlation_id":"@CID@","event_id":"@EID@","id":"8c1f","kind":"http",)"
                 R"("message":"get_screen_manifest","method":"GET",)"
                 R"("op":"GET /runtime/v1/screens/8c1f/manifest",)"
                 R"("path":"/runtime/v1/screens/8c1f/manifest","phase":"request","pid":@PID@,)"
                 R"("query_keys":["since"],"tag":"get_screen_manifest","ts":"@TS@","v":1})",
                 request.chopped(1)));
    QCOMPARE(response,
             withRecordValues(
                 R"({"correlation_id":"@CID@","duration_ms":@DUR@,"event_id":"@EID@","id":"8c1f",)"
                 R"("kind":"http","message":"get_screen_manifest","method":"GET",)"
                 R"("op":"GET /runtime/v1/screens/8c1f/manifest",)"
                 R"("path":"/runtime/v1/screens/8c1f/manifest","phase":"response","pid":@PID@,)"
                 R"("request_id":"req-7f3a","status":200,"tag":"get_screen_manifest",)"
                 R"("ts":"@TS@","v":1})",
                 response.chopped(1)));

    const QJsonObject first = listener.records().at(0);
    const QJsonObject second = listener.records().at(1);
    QCOMPARE(first.value(QStringLiteral("correlation_id")),
             second.value(QStringLiteral("correlation_id")));
    QVERIFY(first.value(QStringLiteral("event_id")) != second.value(QStringLiteral("event_id")));
    QCOMPARE(reply->property("talvorinePlayerOpCorrelationId").toString(),
             first.value(QStringLiteral("correlation_id")).toString());
    QCOMPARE(reply->property("talvorinePlayerOp").toString(),
             QStringLiteral("GET /runtime/v1/screens/8c1f/manifest"));
    QCOMPARE(reply->property("talvorinePlayerOpTag").toString(),
             QStringLiteral("get_screen_manifest"));
    QCOMPARE(reply->property("talvorinePlayerOpResourceId").toString(), QStringLiteral("8c1f"));
    QCOMPARE(reply->property("talvorinePlayerOpMethod").toString(), QStringLiteral("GET"));
    QCOMPARE(reply->property("talvorinePlayerOpPath").toString(),
             QStringLiteral("/runtime/v1/screens/8c1f/manifest"));
    QVERIFY(reply->property("talvorinePlayerOpStartedMs").toLongLong() > 0);
    delete reply;
}

void HttpOpRecordsTest::responseOutcome_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("phase");

    QTest::newRow("200") << "status" << 200 << "response";
    QTest::newRow("204 no content") << "status" << 204 << "response";
    QTest::newRow("404") << "status" << 404 << "response";
    QTest::newRow("503") << "status" << 503 << "response";
    QTest::newRow("connection refused") << "refused" << 0 << "error";
    QTest::newRow("aborted before any header") << "abort-early" << 0 << "error";
    QTest::newRow("aborted after the header") << "abort-late" << 200 << "response";
}

void HttpOpRecordsTest::responseOutcome()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, phase);

    OpLogListener listener;
    LoopbackHttpServer server;
    QNetworkAccessManager manager;
    QUrl url = server.url(QStringLiteral("/runtime/v1/reports"));
    if (kind == QLatin1String("status")) {
        server.setReply({status, {}, status == 204 ? QByteArray() : QByteArray("x")});
    } else if (kind == QLatin1String("refused")) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        url.setPort(closed.serverPort());
        closed.close();
    } else {
        server.setReply(LoopbackHttpServer::Reply::silentBody(100));
    }

    QNetworkReply* reply = watchedGet(manager, url);
    if (kind == QLatin1String("abort-early")) {
        reply->abort();
    } else if (kind == QLatin1String("abort-late")) {
        QSignalSpy meta(reply, &QNetworkReply::metaDataChanged);
        QVERIFY(meta.wait(5000));
        reply->abort();
    }
    QVERIFY(waitFinished(reply));
    QVERIFY(listener.waitForLines(2));
    const QJsonObject record = listener.records().at(1);
    QCOMPARE(record.value(QStringLiteral("phase")).toString(), phase);
    QCOMPARE(record.contains(QStringLiteral("status")), status > 0);
    QCOMPARE(record.value(QStringLiteral("status")).toInt(), status);
    QCOMPARE(record.contains(QStringLiteral("problem")), status == 0);
    if (status == 0) {
        QCOMPARE(QJsonDocument(record.value(QStringLiteral("problem")).toObject())
                     .toJson(QJsonDocument::Compact),
                 QByteArray(R"({"code":"network_error"})"));
    }
    // The operation log keeps no error text: these keys and no others.
    QStringList expectedKeys{"correlation_id", "duration_ms", "event_id", "kind", "message",
                             "method", "op", "path", "phase", "pid", "tag", "ts", "v"};
    expectedKeys.append(status > 0 ? QStringLiteral("status") : QStringLiteral("problem"));
    expectedKeys.sort();
    QCOMPARE(record.keys(), expectedKeys);
    delete reply;
}

void HttpOpRecordsTest::requestId_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("recorded");
    QTest::newRow("ordinary") << QByteArray("abc-123") << true;
    QTest::newRow("exactly 80 bytes") << QByteArray(80, 'r') << true;
    QTest::newRow("81 bytes") << QByteArray(81, 'r') << false;
    QTest::newRow("inner space") << QByteArray("abc 123") << false;
    QTest::newRow("one byte") << QByteArray("r") << true;
    QTest::newRow("Latin-1 byte") << QByteArray("r\xe9q") << true;
}

void HttpOpRecordsTest::requestId()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, recorded);
    OpLogListener listener;
    LoopbackHttpServer server;
    server.setReply({200, {{"x-request-id", header}}, "ok"});
    QNetworkAccessManager manager;
    QNetworkReply* reply = watchedGet(manager, server.url(QStringLiteral("/runtime/v1/reports")));
    QVERIFY(waitFinished(reply));
    QVERIFY(listener.waitForLines(2));
    const QJsonObject record = listener.records().at(1);
    QCOMPARE(record.contains(QStringLiteral("request_id")), recorded);
    if (recorded)
        QCOMPARE(record.value(QStringLiteral("request_id")).toString(), QString::fromLatin1(header));
    QCOMPARE(record.value(QStringLiteral("status")).toInt(), 200);
    delete reply;
}

// The start time is the stored wall-clock stamp; moving it shows how the duration is derived,
// including a clock that stepped backwards.
void HttpOpRecordsTest::duration_data()
{
    QTest::addColumn<qint64>("startShiftMs");
    QTest::addColumn<qint64>("atLeast");
    QTest::addColumn<qint64>("below");
    QTest::newRow("as watched") << qint64(0) << qint64(0) << qint64(60000);
    QTest::newRow("started 5 s earlier") << qint64(-5000) << qint64(5000) << qint64(65000);
    QTest::newRow("clock stepped back") << qint64(3600000) << qint64(0) << qint64(1);
}

void HttpOpRecordsTest::duration()
{
    QFETCH(qint64, startShiftMs);
    QFETCH(qint64, atLeast);
    QFETCH(qint64, below);
    OpLogListener listener;
    LoopbackHttpServer server;
    server.setReply(LoopbackHttpServer::Reply::silentBody(10));
    QNetworkAccessManager manager;
    QNetworkReply* reply = watchedGet(manager, server.url(QStringLiteral("/runtime/v1/reports")));
    reply->setProperty("talvorinePlayerOpStartedMs",
                       reply->property("talvorinePlayerOpStartedMs").toLongLong() + startShiftMs);
    reply->abort();
    QVERIFY(waitFinished(reply));
    QVERIFY(listener.waitForLines(2));
    const QJsonValue duration = listener.records().at(1).value(QStringLiteral("duration_ms"));
    QVERIFY(duration.isDouble());
    QVERIFY2(duration.toInteger() >= atLeast && duration.toInteger() < below,
             qPrintable(QString::number(duration.toInteger())));
    delete reply;
}

void HttpOpRecordsTest::incompleteWatchIsIgnored_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("clearProperty");
    QTest::newRow("empty method") << "" << QByteArray();
    QTest::newRow("correlation id lost") << "GET" << QByteArray("talvorinePlayerOpCorrelationId");
    QTest::newRow("op lost") << "GET" << QByteArray("talvorinePlayerOp");
}

void HttpOpRecordsTest::incompleteWatchIsIgnored()
{
    QFETCH(QString, method);
    QFETCH(QByteArray, clearProperty);
    OpLogListener listener;
    LoopbackHttpServer server;
    QNetworkAccessManager manager;
    PlayerOpLog::watchReply(nullptr, QStringLiteral("GET"));
    QNetworkReply* reply = watchedGet(manager, server.url(QStringLiteral("/runtime/v1/reports")),
                                      method);
    if (!clearProperty.isEmpty())
        reply->setProperty(clearProperty.constData(), QString());
    QVERIFY(waitFinished(reply));
    PlayerOpLog::startLocal(QStringLiteral("c-marker"), QStringLiteral("marker"), QString());
    const int expected = method.isEmpty() ? 1 : 2;
    QVERIFY(listener.waitForLines(expected));
    listener.drain(20);
    QCOMPARE(listener.lines().size(), expected);
    QVERIFY(listener.lines().constLast().contains("c-marker"));
    delete reply;
}

QTEST_GUILESS_MAIN(HttpOpRecordsTest)
#include "tst_httpoprecords.moc"
