// The manager every player request goes through: timeouts and watchdogs per request class,
// same-origin redirects, and the records both logs keep of each request.
#include "app/DevFileLog.h"
#include "app/DevLogNetworkAccessManager.h"
#include "app/PlayerOpLog.h"

#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>

using namespace talvorine;
using talvorine::test::LoopbackHttpServer;
using talvorine::test::OpLogListener;

namespace {

constexpr int noWatchdog = -1;

// The distinct paths a server was asked for. The HTTP client may send a request again on a
// fresh connection, so counts of requests say little; which paths were reached says what
// matters.
QStringList pathsAsked(const LoopbackHttpServer& server)
{
    QStringList paths;
    for (const auto& request : server.requests()) {
        const QString path = QString::fromUtf8(request.path());
        if (!paths.contains(path))
            paths.append(path);
    }
    return paths;
}

bool waitFinished(QNetworkReply* reply, int timeoutMs = 10000)
{
    if (reply->isFinished())
        return true;
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return finished.wait(timeoutMs);
}

QTimer* watchdogOf(QNetworkReply* reply)
{
    return reply->findChild<QTimer*>(QStringLiteral("talvorineWatchdog"),
                                     Qt::FindDirectChildrenOnly);
}

// Rows name a content download by its path; the request carries the mark its builder sets.
QNetworkRequest requestFor(const QUrl& url)
{
    QNetworkRequest request(url);
    if (url.path().startsWith(QLatin1String("/content/")))
        request.setAttribute(DevLogNetworkAccessManager::contentDownloadAttribute, true);
    return request;
}

QList<QJsonObject> devRecords(const QString& event)
{
    return test::recordsOf(test::readJsonLines(DevFileLog::path()), event);
}

} // namespace

class DevLogNetworkAccessManagerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    // per request class
    void requestAdjustments_data();
    void requestAdjustments();
    void silentEventStream_data();
    void silentEventStream();
    void watchdogBoundsWholeRequest_data();
    void watchdogBoundsWholeRequest();
    void idleAfterRedirect_data();
    void idleAfterRedirect();

    // redirects
    void redirect_data();
    void redirect();
    void redirectLimit_data();
    void redirectLimit();
    void redirectSeenByCaller_data();
    void redirectSeenByCaller();

    // records
    void operationNames_data();
    void operationNames();

private:
    QTemporaryDir stateDir_;
};

void DevLogNetworkAccessManagerTest::initTestCase()
{
    QVERIFY(stateDir_.isValid());
    DevFileLog::configure(QUrl(QStringLiteral("http://127.0.0.1:8080")), stateDir_.path(), 0);
    QVERIFY(DevFileLog::enabled());
}

void DevLogNetworkAccessManagerTest::cleanupTestCase()
{
    DevFileLog::configure(QUrl(), QString(), 0);
}

void DevLogNetworkAccessManagerTest::cleanup()
{
    QFile::remove(DevFileLog::path());
    PlayerOpLog::close();
}

void DevLogNetworkAccessManagerTest::requestAdjustments_data()
{
    QTest::addColumn<int>("managerTimeout");
    QTest::addColumn<int>("requestTimeout");
    QTest::addColumn<QByteArray>("accept");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("marked"); // as a content download, by whoever built it
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("watchdog");

    const QString api = QStringLiteral("/runtime/v1/reports");
    const int intMax = std::numeric_limits<int>::max();

    QTest::newRow("API, manager default") << 30000 << 0 << QByteArray() << api << false << 30000
                                          << 60000;
    QTest::newRow("API, own short timeout") << 30000 << 200 << QByteArray() << api << false << 200
                                            << 1000;
    QTest::newRow("API, own 10 s") << 30000 << 10000 << QByteArray() << api << false << 10000
                                   << 20000;
    QTest::newRow("API, manager without timeout") << 0 << 0 << QByteArray() << api << false
                                                  << 30000 << 60000;
    QTest::newRow("API, manager 4 s") << 4000 << 0 << QByteArray() << api << false << 4000 << 8000;
    QTest::newRow("API, negative own timeout") << 4000 << -5 << QByteArray() << api << false
                                               << 4000 << 8000;
    QTest::newRow("API, doubled timeout overflows: saturate")
        << 30000 << 1500000000 << QByteArray() << api << false << 1500000000 << intMax;
    QTest::newRow("API, largest timeout") << 30000 << intMax << QByteArray() << api << false
                                          << intMax << intMax;
    QTest::newRow("API, half the largest") << 30000 << intMax / 2 << QByteArray() << api << false
                                           << intMax / 2 << intMax - 1;

    const QByteArray stream = "text/event-stream";
    QTest::newRow("event stream stays untimed") << 30000 << 0 << stream << api << false << 0
                                                << noWatchdog;
    QTest::newRow("event stream, manager without timeout")
        << 0 << 0 << stream << api << false << 0 << noWatchdog;
    QTest::newRow("event stream keeps its own") << 30000 << 5000 << stream << api << false << 5000
                                                << noWatchdog;
    QTest::newRow("event stream type in other case")
        << 30000 << 0 << QByteArray("Text/Event-Stream") << api << false << 30000 << 60000;
    QTest::newRow("event stream with parameters")
        << 30000 << 0 << QByteArray("text/event-stream; charset=utf-8") << api << false << 30000
        << 60000;
    QTest::newRow("event stream in a list")
        << 30000 << 0 << QByteArray("application/json, text/event-stream") << api << false
        << 30000 << 60000;

    // A content download is one by what asked for it, wherever under the origin it lives.
    QTest::newRow("content download") << 30000 << 0 << QByteArray() << "/content/v1/3fa9c2e1"
                                      << true << 30000 << noWatchdog;
    QTest::newRow("content download, own timeout")
        << 30000 << 200 << QByteArray() << "/content/v1/o" << true << 200 << noWatchdog;
    QTest::newRow("content download, encoded name")
        << 30000 << 0 << QByteArray() << "/content/v1/a%20b" << true << 30000 << noWatchdog;
    QTest::newRow("content, other version")
        << 30000 << 0 << QByteArray() << "/content/v2/o" << true << 30000 << noWatchdog;
    QTest::newRow("content download elsewhere on the origin")
        << 30000 << 0 << QByteArray() << "/runtime/v1/reports" << true << 30000 << noWatchdog;
    QTest::newRow("content path asked for unmarked")
        << 30000 << 0 << QByteArray() << "/content/v1/o" << false << 30000 << 60000;
    QTest::newRow("content prefix in other case")
        << 30000 << 0 << QByteArray() << "/Content/v1/o" << false << 30000 << 60000;
    QTest::newRow("content without the trailing slash")
        << 30000 << 0 << QByteArray() << "/content/v1" << false << 30000 << 60000;
    QTest::newRow("content download that is an event stream")
        << 30000 << 0 << stream << "/content/v1/o" << true << 0 << noWatchdog;
}

void DevLogNetworkAccessManagerTest::requestAdjustments()
{
    QFETCH(int, managerTimeout);
    QFETCH(int, requestTimeout);
    QFETCH(QByteArray, accept);
    QFETCH(QString, path);
    QFETCH(bool, marked);
    QFETCH(int, timeout);
    QFETCH(int, watchdog);

    LoopbackHttpServer server;
    server.setReply(LoopbackHttpServer::Reply::silentBody(10));
    DevLogNetworkAccessManager manager;
    manager.setTransferTimeout(managerTimeout);
    QUrl url = server.url();
    url.setPath(path, QUrl::TolerantMode);
    QNetworkRequest request(url);
    if (requestTimeout != 0)
        request.setTransferTimeout(requestTimeout);
    if (!accept.isEmpty())
        request.setRawHeader("Accept", accept);
    if (marked)
        request.setAttribute(DevLogNetworkAccessManager::contentDownloadAttribute, true);

    QNetworkReply* reply = manager.get(request);
    QCOMPARE(reply->request().transferTimeout(), timeout);
    QCOMPARE(reply->request().attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::UserVerifiedRedirectPolicy));
    QCOMPARE(reply->request().maximumRedirectsAllowed(), 5);
    // The caller's request and the manager's own setting are left as they were.
    QCOMPARE(manager.transferTimeout(), managerTimeout);
    QCOMPARE(request.transferTimeout(), requestTimeout);

    QTimer* timer = watchdogOf(reply);
    QCOMPARE(timer != nullptr, watchdog != noWatchdog);
    if (timer) {
        QCOMPARE(timer->interval(), watchdog);
        QVERIFY(timer->isSingleShot());
        QVERIFY(timer->isActive());
    }
    reply->abort();
    QVERIFY(waitFinished(reply));
    if (timer)
        QVERIFY(!timer->isActive());
    delete reply;
}

// A stream that says nothing for longer than the manager's timeout (and than the shortest
// watchdog) must stay open when it is an event stream, and is cut when it is not. Past a
// redirect the reply's own timeout still holds, so a stream created with one would be cut there
// too.
void DevLogNetworkAccessManagerTest::silentEventStream_data()
{
    QTest::addColumn<QByteArray>("accept");
    QTest::addColumn<bool>("viaRedirect");
    QTest::addColumn<bool>("staysOpen");
    QTest::newRow("event stream") << QByteArray("text/event-stream") << false << true;
    QTest::newRow("event stream after a redirect") << QByteArray("text/event-stream") << true
                                                   << true;
    QTest::newRow("same stream as an API request") << QByteArray("application/json") << false
                                                   << false;
    QTest::newRow("same stream as an API request after a redirect")
        << QByteArray("application/json") << true << false;
}

void DevLogNetworkAccessManagerTest::silentEventStream()
{
    QFETCH(QByteArray, accept);
    QFETCH(bool, viaRedirect);
    QFETCH(bool, staysOpen);
    constexpr int managerTimeoutMs = 250;
    constexpr int silenceMs = 1600;

    LoopbackHttpServer server;
    server.setReply(LoopbackHttpServer::Reply::silentEventStream());
    server.setRoute("/runtime/v1/old-events",
                    LoopbackHttpServer::Reply::redirect(307, "/runtime/v1/native/pairing-events"));
    DevLogNetworkAccessManager manager;
    manager.setTransferTimeout(managerTimeoutMs);
    QNetworkRequest request(server.url(viaRedirect ? QStringLiteral("/runtime/v1/old-events")
                                                   : QStringLiteral("/runtime/v1/native/pairing-events")));
    request.setRawHeader("Accept", accept);
    QNetworkReply* reply = manager.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);

    QTRY_COMPARE_WITH_TIMEOUT(
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200, 5000);
    // Silence for several timeouts leaves a stream open; an API request ends, however late a
    // busy machine runs its timer.
    QCOMPARE(finished.wait(staysOpen ? silenceMs : 30000), !staysOpen);
    QCOMPARE(reply->isRunning(), staysOpen);
    if (staysOpen) {
        QCOMPARE(server.openConnections(), 1);
        reply->abort();
    } else {
        QVERIFY(reply->error() != QNetworkReply::NoError);
    }
    QVERIFY(waitFinished(reply));
    delete reply;
}

// The watchdog ends an API request at twice its timeout, never sooner than a second and never
// wrapping round for a very long one; a content download has none and runs to the end. The
// watchdog is judged by its interval and made to run out by the test, and the transfer timeouts
// are long where a body must arrive whole: how fast a busy machine moves bytes decides nothing.
void DevLogNetworkAccessManagerTest::watchdogBoundsWholeRequest_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("requestTimeout");
    QTest::addColumn<int>("watchdogMs"); // 0: none
    // Whether the test makes the watchdog run out while the body moves.
    QTest::addColumn<bool>("cut");

    QTest::newRow("API request, 200 ms timeout: cut at 1 s")
        << "/runtime/v1/reports" << 200 << 1000 << true;
    QTest::newRow("API request, 30 s timeout: cut at 60 s")
        << "/runtime/v1/reports" << 30000 << 60000 << true;
    QTest::newRow("content download runs to the end") << "/content/v1/o" << 60000 << 0 << false;
    QTest::newRow("API request with a very long timeout is not cut short")
        << "/runtime/v1/reports" << 1500000000 << std::numeric_limits<int>::max() << false;
}

void DevLogNetworkAccessManagerTest::watchdogBoundsWholeRequest()
{
    QFETCH(QString, path);
    QFETCH(int, requestTimeout);
    QFETCH(int, watchdogMs);
    QFETCH(bool, cut);

    const QByteArray body(20, 'b');
    LoopbackHttpServer server;
    server.setReply(LoopbackHttpServer::Reply::slowBody(body, 1, 80));
    DevLogNetworkAccessManager manager;
    QNetworkRequest request = requestFor(server.url(path));
    request.setTransferTimeout(requestTimeout);
    QNetworkReply* reply = manager.get(request);
    QTimer* watchdog = watchdogOf(reply);
    QCOMPARE(watchdog ? watchdog->interval() : 0, watchdogMs);
    QByteArray received;
    connect(reply, &QNetworkReply::readyRead, reply, [reply, &received] { received += reply->readAll(); });
    if (cut) {
        // Data is moving: the watchdog ends the request all the same.
        QTRY_VERIFY_WITH_TIMEOUT(!received.isEmpty(), 10000);
        watchdog->start(0);
    }
    QVERIFY(waitFinished(reply, 30000));
    if (cut) {
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QVERIFY(received.size() < body.size());
    } else {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(received, body);
    }
    delete reply;
}

// Once a redirect is followed, a hop that goes quiet must still end at the transfer timeout,
// with the same error as a request that was never redirected; one that keeps moving must not.
void DevLogNetworkAccessManagerTest::idleAfterRedirect_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("viaRedirect");
    QTest::addColumn<bool>("trickles");

    QTest::newRow("content download, silent body") << "/content/v1/o" << false << false;
    QTest::newRow("content download, silent body after a redirect")
        << "/content/v1/o" << true << false;
    QTest::newRow("content download trickling after a redirect")
        << "/content/v1/o" << true << true;
    QTest::newRow("API request, silent body") << "/runtime/v1/reports" << false << false;
    QTest::newRow("API request, silent body after a redirect")
        << "/runtime/v1/reports" << true << false;
    QTest::newRow("API request trickling after a redirect")
        << "/runtime/v1/reports" << true << true;
}

void DevLogNetworkAccessManagerTest::idleAfterRedirect()
{
    QFETCH(QString, path);
    QFETCH(bool, viaRedirect);
    QFETCH(bool, trickles);
    // Twenty times the trickle's spacing, so that a busy machine's late bytes never look idle.
    constexpr int timeoutMs = 2000;

    // Trickling, the body takes longer than the timeout.
    const QByteArray body(30, 'b');
    LoopbackHttpServer server;
    server.setReply(trickles ? LoopbackHttpServer::Reply::slowBody(body, 1, timeoutMs / 20)
                             : LoopbackHttpServer::Reply::silentBody(body.size()));
    // The request's class comes from the request as asked for, whatever the redirect.
    const QString moved = path + QStringLiteral("-moved");
    server.setRoute(moved.toUtf8(), LoopbackHttpServer::Reply::redirect(302, path.toUtf8()));
    DevLogNetworkAccessManager manager;
    manager.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = manager.get(requestFor(server.url(viaRedirect ? moved : path)));
    // An API request's watchdog is pushed out of the way: whatever ends a request here is the
    // timeout, or nothing.
    if (QTimer* watchdog = watchdogOf(reply))
        watchdog->start(600000);
    QByteArray received;
    connect(reply, &QNetworkReply::readyRead, reply,
            [reply, &received] { received += reply->readAll(); });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(waitFinished(reply, 60000));
    const qint64 elapsedMs = clock.elapsed();
    QCOMPARE(reply->url().path(), path);
    if (trickles) {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(received, body);
    } else {
        // What the framework's own transfer timeout gives on 6.4; a coarse timer runs out at
        // most a twentieth early.
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QVERIFY2(elapsedMs >= timeoutMs * 9 / 10, QByteArray::number(elapsedMs));
    }
    delete reply;
}

void DevLogNetworkAccessManagerTest::redirect_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("followed");

    // %1 is this server's port, %2 the port of another server on the same host.
    QTest::newRow("same origin") << 302 << "http://127.0.0.1:%1/runtime/v1/end" << true;
    QTest::newRow("relative path") << 302 << "/runtime/v1/end" << true;
    QTest::newRow("relative sibling") << 302 << "end" << true;
    QTest::newRow("301") << 301 << "/runtime/v1/end" << true;
    QTest::newRow("303") << 303 << "/runtime/v1/end" << true;
    QTest::newRow("307") << 307 << "/runtime/v1/end" << true;
    QTest::newRow("308") << 308 << "/runtime/v1/end" << true;
    QTest::newRow("other port") << 302 << "http://127.0.0.1:%2/runtime/v1/end" << false;
    QTest::newRow("other host") << 302 << "http://localhost:%1/runtime/v1/end" << false;
    QTest::newRow("to https") << 302 << "https://127.0.0.1:%1/runtime/v1/end" << false;
    QTest::newRow("user information") << 302 << "http://u:p@127.0.0.1:%1/runtime/v1/end" << false;
    QTest::newRow("user name only") << 307 << "http://u@127.0.0.1:%1/runtime/v1/end" << false;
}

void DevLogNetworkAccessManagerTest::redirect()
{
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(bool, followed);

    OpLogListener listener;
    LoopbackHttpServer server;
    LoopbackHttpServer other;
    const QByteArray target = QString(location)
                                  .replace(QLatin1String("%1"), QString::number(server.port()))
                                  .replace(QLatin1String("%2"), QString::number(other.port()))
                                  .toUtf8();
    server.setRoute("/runtime/v1/start", LoopbackHttpServer::Reply::redirect(status, target));
    server.setRoute("/runtime/v1/end", {200, {}, "done"});
    other.setReply({200, {}, "elsewhere"});

    DevLogNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(server.url(QStringLiteral("/runtime/v1/start"))));
    QVERIFY(waitFinished(reply));
    const QList<QJsonObject> refused = devRecords(QStringLiteral("http.redirect_refused"));
    QCOMPARE(other.requests().size(), 0);
    if (followed) {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->readAll(), QByteArray("done"));
        QCOMPARE(reply->url().path(), QStringLiteral("/runtime/v1/end"));
        QCOMPARE(pathsAsked(server), (QStringList{"/runtime/v1/start", "/runtime/v1/end"}));
        QCOMPARE(refused.size(), 0);
        // The developer log names the request by where it ended.
        const QList<QJsonObject> http = devRecords(QStringLiteral("http"));
        QCOMPARE(http.size(), 1);
        QCOMPARE(http.constFirst().value(QStringLiteral("path")).toString(),
                 QStringLiteral("/runtime/v1/end"));
    } else {
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QCOMPARE(pathsAsked(server), QStringList{"/runtime/v1/start"});
        QCOMPARE(refused.size(), 1);
        QCOMPARE(refused.constFirst().value(QStringLiteral("path")).toString(),
                 QStringLiteral("/runtime/v1/start"));
        QStringList keys = refused.constFirst().keys();
        QCOMPARE(keys, (QStringList{"event", "path", "pid", "ts"}));
    }
    // The operation log sees one request and one answer either way.
    QVERIFY(listener.waitForLines(2));
    listener.drain(20);
    QCOMPARE(listener.lines().size(), 2);
    QCOMPARE(listener.records().at(0).value(QStringLiteral("path")).toString(),
             QStringLiteral("/runtime/v1/start"));
    delete reply;
}

void DevLogNetworkAccessManagerTest::redirectLimit_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<int>("error");
    QTest::newRow("five redirects") << 5 << int(QNetworkReply::NoError);
    QTest::newRow("six redirects") << 6 << int(QNetworkReply::TooManyRedirectsError);
}

void DevLogNetworkAccessManagerTest::redirectLimit()
{
    QFETCH(int, hops);
    QFETCH(int, error);
    LoopbackHttpServer server;
    server.setResponder([hops](const LoopbackHttpServer::Request& request) {
        const int hop = request.path().mid(int(qstrlen("/hop/"))).toInt();
        if (hop < hops)
            return LoopbackHttpServer::Reply::redirect(302, "/hop/" + QByteArray::number(hop + 1));
        return LoopbackHttpServer::Reply{200, {}, "arrived"};
    });
    DevLogNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(server.url(QStringLiteral("/hop/0"))));
    QVERIFY(waitFinished(reply));
    QCOMPARE(int(reply->error()), error);
    QStringList expected;
    for (int hop = 0; hop <= std::min(hops, 5); ++hop)
        expected.append(QStringLiteral("/hop/%1").arg(hop));
    QCOMPARE(pathsAsked(server), expected);
    if (error == QNetworkReply::NoError)
        QCOMPARE(reply->readAll(), QByteArray("arrived"));
    QCOMPARE(devRecords(QStringLiteral("http.redirect_refused")).size(), 0);
    delete reply;
}

// A caller watching redirects itself still sees each hop's answer when its handler runs: the
// follow-up to the next hop comes later, from the event loop.
void DevLogNetworkAccessManagerTest::redirectSeenByCaller_data()
{
    QTest::addColumn<int>("hops");
    QTest::newRow("one hop") << 1;
    QTest::newRow("three hops") << 3;
}

void DevLogNetworkAccessManagerTest::redirectSeenByCaller()
{
    QFETCH(int, hops);
    LoopbackHttpServer server;
    server.setResponder([hops](const LoopbackHttpServer::Request& request) {
        const int hop = request.path().mid(int(qstrlen("/hop/"))).toInt();
        if (hop < hops)
            return LoopbackHttpServer::Reply::redirect(307, "/hop/" + QByteArray::number(hop + 1));
        return LoopbackHttpServer::Reply{200, {}, "arrived"};
    });
    DevLogNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(server.url(QStringLiteral("/hop/0"))));
    QStringList targets;
    QList<QByteArray> locations;
    QList<int> statuses;
    connect(reply, &QNetworkReply::redirected, reply,
            [reply, &targets, &locations, &statuses](const QUrl& target) {
                targets.append(target.path());
                locations.append(reply->rawHeader("Location"));
                statuses.append(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
            });
    QVERIFY(waitFinished(reply));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("arrived"));

    QStringList expectedTargets;
    QList<QByteArray> expectedLocations;
    for (int hop = 1; hop <= hops; ++hop) {
        expectedTargets.append(QStringLiteral("/hop/%1").arg(hop));
        expectedLocations.append("/hop/" + QByteArray::number(hop));
    }
    QCOMPARE(targets, expectedTargets);
    QCOMPARE(locations, expectedLocations);
    QCOMPARE(statuses, QList<int>(hops, 307));
    delete reply;
}

void DevLogNetworkAccessManagerTest::operationNames_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QString>("name");
    QTest::newRow("head") << "HEAD" << "HEAD";
    QTest::newRow("get") << "GET" << "GET";
    QTest::newRow("put") << "PUT" << "PUT";
    QTest::newRow("post") << "POST" << "POST";
    QTest::newRow("delete") << "DELETE" << "DELETE";
    QTest::newRow("custom verb") << "PATCH" << "CUSTOM";
}

void DevLogNetworkAccessManagerTest::operationNames()
{
    QFETCH(QString, verb);
    QFETCH(QString, name);
    OpLogListener listener;
    LoopbackHttpServer server;
    server.setReply({200, {}, "ok"});
    DevLogNetworkAccessManager manager;
    QNetworkRequest request(server.url(QStringLiteral("/runtime/v1/screens/s1/status")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray body = "{}";
    QNetworkReply* reply = nullptr;
    if (verb == QLatin1String("HEAD"))
        reply = manager.head(request);
    else if (verb == QLatin1String("GET"))
        reply = manager.get(request);
    else if (verb == QLatin1String("PUT"))
        reply = manager.put(request, body);
    else if (verb == QLatin1String("POST"))
        reply = manager.post(request, body);
    else if (verb == QLatin1String("DELETE"))
        reply = manager.deleteResource(request);
    else
        reply = manager.sendCustomRequest(request, verb.toLatin1(), body);
    QVERIFY(waitFinished(reply));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(server.requests().constFirst().method, verb.toLatin1());

    const QList<QJsonObject> http = devRecords(QStringLiteral("http"));
    QCOMPARE(http.size(), 1);
    QCOMPARE(http.constFirst().value(QStringLiteral("method")).toString(), name);
    QCOMPARE(http.constFirst().value(QStringLiteral("status")).toInt(), 200);

    QVERIFY(listener.waitForLines(2));
    for (const QJsonObject& record : listener.records()) {
        QCOMPARE(record.value(QStringLiteral("method")).toString(), name);
        QCOMPARE(record.value(QStringLiteral("op")).toString(),
                 name + QStringLiteral(" /runtime/v1/screens/s1/status"));
        QCOMPARE(record.value(QStringLiteral("tag")).toString(),
                 name.toLower() + QStringLiteral("_screen_status"));
        QCOMPARE(record.value(QStringLiteral("id")).toString(), QStringLiteral("s1"));
    }
    delete reply;
}

QTEST_GUILESS_MAIN(DevLogNetworkAccessManagerTest)
#include "tst_devlognetworkaccessmanager.moc"
