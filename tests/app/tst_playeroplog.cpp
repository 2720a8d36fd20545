// The operation log: where its socket is, what its local records hold byte for byte, what the
// sanitiser lets out, and that sending never waits on the collector.
#include "app/PlayerOpLog.h"

#include "tests/support/OpLogListener.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvorine;
using talvorine::test::OpLogListener;

namespace {

const QString unset = QStringLiteral("<unset>");

void setOrUnset(const char* name, const QString& value)
{
    if (value == unset)
        qunsetenv(name);
    else
        qputenv(name, value.toLocal8Bit());
}

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Puts the record's own time stamp, event id and process id into an expected line so that the
// rest can be compared byte for byte.
QByteArray expectedLine(QByteArray expected, const QByteArray& actual)
{
    const QJsonObject record = QJsonDocument::fromJson(actual).object();
    expected.replace("@TS@", record.value(QStringLiteral("ts")).toString().toUtf8());
    expected.replace("@EID@", record.value(QStringLiteral("event_id")).toString().toUtf8());
    expected.replace("@PID@", QByteArray::number(QCoreApplication::applicationPid()));
    return expected + '\n';
}

// A listening socket bound with the exact bytes of the path (a 108-byte path has no room for
// its terminating zero, which the kernel accepts).
int rawListen(const QByteArray& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::listen(fd, 8) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// A client of the socket other than the player, as any local process could be.
int rawConnect(const QByteArray& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool connectionPending(int listener)
{
    pollfd poller{listener, POLLIN, 0};
    return ::poll(&poller, 1, 0) > 0 && (poller.revents & POLLIN);
}

const QRegularExpression& timestampPattern()
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)")));
    return pattern;
}

const QRegularExpression& uuidPattern()
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    return pattern;
}

// How often the calling thread gave up the processor of its own accord, to wait in a system
// call; being preempted is counted apart.
long voluntaryContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

} // namespace

class PlayerOpLogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    // where the socket is
    void socketPath_data();
    void socketPath();
    void socketPathLength_data();
    void socketPathLength();
    void collectorAppearsLater();
    void sharedFallbackPeer_data();
    void sharedFallbackPeer();

    // what a local record holds
    void newIdFormat();
    void localRecord_data();
    void localRecord();
    void incompleteLocalRecordIsNotSent_data();
    void incompleteLocalRecordIsNotSent();
    void commonKeysAreCompleted();

    // the sanitiser
    void sanitizeObject_data();
    void sanitizeObject();
    void forbiddenKey_data();
    void forbiddenKey();

    // sending
    void fullCollectorNeverBlocks();
    void linesNeverInterleave();

private:
    QByteArray savedSocket_;
    QByteArray savedRuntimeDir_;
};

void PlayerOpLogTest::init()
{
    savedSocket_ = qgetenv("TALVORINE_PLAYER_LOG_SOCKET");
    savedRuntimeDir_ = qgetenv("XDG_RUNTIME_DIR");
    PlayerOpLog::close();
}

void PlayerOpLogTest::cleanup()
{
    PlayerOpLog::close();
    PlayerOpLog::setBoundScreenId({});
    qputenv("TALVORINE_PLAYER_LOG_SOCKET", savedSocket_);
    qputenv("XDG_RUNTIME_DIR", savedRuntimeDir_);
}

void PlayerOpLogTest::socketPath_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("runtimeDir");
    QTest::addColumn<QString>("expected");

    QTest::newRow("configured wins") << "/run/collector/op.sock" << "/run/user/1000"
                                     << "/run/collector/op.sock";
    QTest::newRow("configured, no runtime dir") << "/srv/op.sock" << unset << "/srv/op.sock";
    QTest::newRow("empty configured falls to runtime dir")
        << "" << "/run/user/1000" << "/run/user/1000/talvorine-player-log.sock";
    QTest::newRow("unset configured falls to runtime dir")
        << unset << "/run/user/0" << "/run/user/0/talvorine-player-log.sock";
    QTest::newRow("both unset") << unset << unset << "/tmp/talvorine-player-log.sock";
    QTest::newRow("both empty") << "" << "" << "/tmp/talvorine-player-log.sock";
    QTest::newRow("non-ASCII configured") << "/run/ünïcode/op.sock" << unset
                                          << "/run/ünïcode/op.sock";
}

void PlayerOpLogTest::socketPath()
{
    QFETCH(QString, configured);
    QFETCH(QString, runtimeDir);
    QFETCH(QString, expected);
    setOrUnset("TALVORINE_PLAYER_LOG_SOCKET", configured);
    setOrUnset("XDG_RUNTIME_DIR", runtimeDir);
    QCOMPARE(PlayerOpLog::socketPath(), expected);
}

void PlayerOpLogTest::socketPathLength_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("107 bytes connects") << 107 << true;
    QTest::newRow("108 bytes is dropped") << 108 << false;
}

void PlayerOpLogTest::socketPathLength()
{
    QFETCH(int, bytes);
    QFETCH(bool, delivered);
    QTemporaryDir dir;
    QByteArray path = QFile::encodeName(dir.path()) + '/';
    QVERIFY(path.size() < 90);
    path.append(QByteArray(bytes - path.size(), 'p'));
    QCOMPARE(path.size(), bytes);

    const int listener = rawListen(path);
    QVERIFY2(listener >= 0, strerror(errno));
    // A path cut to fit would land here instead.
    const int truncated = bytes > 107 ? rawListen(path.left(107)) : -1;
    qputenv("TALVORINE_PLAYER_LOG_SOCKET", path);

    PlayerOpLog::startLocal(QStringLiteral("c-1"), QStringLiteral("probe"), QString());

    QCOMPARE(connectionPending(listener), delivered);
    if (truncated >= 0) {
        QVERIFY(!connectionPending(truncated));
        ::close(truncated);
    }
    ::close(listener);
}

void PlayerOpLogTest::collectorAppearsLater()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("late.sock"));
    qputenv("TALVORINE_PLAYER_LOG_SOCKET", QFile::encodeName(path));

    PlayerOpLog::startLocal(QStringLiteral("c-early"), QStringLiteral("early"), QString());

    QLocalServer server;
    QVERIFY(server.listen(path));
    PlayerOpLog::startLocal(QStringLiteral("c-late"), QStringLiteral("late"), QString());
    QVERIFY(server.waitForNewConnection(5000));
    QLocalSocket* socket = server.nextPendingConnection();
    QVERIFY(socket);
    QVERIFY(socket->bytesAvailable() > 0 || socket->waitForReadyRead(5000));
    const QJsonObject record = QJsonDocument::fromJson(socket->readLine()).object();
    QCOMPARE(record.value(QStringLiteral("correlation_id")).toString(), QStringLiteral("c-late"));
    // Nothing of the record sent without a collector was kept for later.
    QVERIFY(!socket->waitForReadyRead(100));
    QCOMPARE(socket->bytesAvailable(), 0);
}

// The last resort path sits in a world-writable directory: a collector there is trusted only
// when it runs as the player's own user. Each row runs a collector in a child process.
void PlayerOpLogTest::sharedFallbackPeer_data()
{
    QTest::addColumn<bool>("viaFallback");
    QTest::addColumn<bool>("collectorIsOtherUser");
    QTest::addColumn<bool>("strayClientFirst");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("fallback, our user") << true << false << false << true;
    QTest::newRow("fallback, our user, another client came first")
        << true << false << true << true;
    QTest::newRow("fallback, other user") << true << true << false << false;
    QTest::newRow("fallback, other user, another client came first")
        << true << true << true << false;
    QTest::newRow("configured path, other user") << false << true << false << true;
}

void PlayerOpLogTest::sharedFallbackPeer()
{
    QFETCH(bool, viaFallback);
    QFETCH(bool, collectorIsOtherUser);
    QFETCH(bool, strayClientFirst);
    QFETCH(bool, delivered);
    if (collectorIsOtherUser && ::geteuid() != 0)
        QSKIP("needs root to run a collector as another user");

    QTemporaryDir dir;
    // The other user must be able to bind in the configured directory.
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ExeOwner | QFileDevice::WriteOther
                                          | QFileDevice::ExeOther | QFileDevice::ReadOther);
    const QByteArray path = viaFallback ? QByteArray("/tmp/talvorine-player-log.sock")
                                        : QFile::encodeName(dir.filePath(QStringLiteral("c.sock")));
    if (viaFallback) {
        qunsetenv("TALVORINE_PLAYER_LOG_SOCKET");
        qunsetenv("XDG_RUNTIME_DIR");
    } else {
        qputenv("TALVORINE_PLAYER_LOG_SOCKET", path);
    }
    ::unlink(path.constData());

    int ready[2];
    int go[2];
    int result[2];
    QVERIFY(::pipe(ready) == 0 && ::pipe(go) == 0 && ::pipe(result) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        if (collectorIsOtherUser && (::setresgid(65534, 65534, 65534) != 0
                                     || ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(2);
        const int listener = rawListen(path);
        char byte = listener >= 0 ? 'r' : 'f';
        if (::write(ready[1], &byte, 1) != 1 || listener < 0)
            ::_exit(3);
        if (::read(go[0], &byte, 1) != 1)
            ::_exit(4);
        // Every waiting connection is taken: the shared path is open to any process on the
        // machine, and the player's need not be the first to arrive.
        char buffer[16384];
        size_t received = 0;
        while (connectionPending(listener)) {
            const int peer = ::accept(listener, nullptr, nullptr);
            if (peer < 0)
                break;
            pollfd poller{peer, POLLIN, 0};
            while (received < sizeof(buffer) && ::poll(&poller, 1, 0) > 0
                   && (poller.revents & POLLIN)) {
                const ssize_t n = ::read(peer, buffer + received, sizeof(buffer) - received);
                if (n <= 0)
                    break;
                received += size_t(n);
            }
            ::close(peer);
        }
        if (::write(result[1], buffer, received) != ssize_t(received))
            ::_exit(5);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    ::close(result[1]);
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), 1);
    QCOMPARE(byte, 'r');

    int stray = -1;
    if (strayClientFirst) {
        stray = rawConnect(path);
        QVERIFY2(stray >= 0, strerror(errno));
        QCOMPARE(::write(stray, "stray\n", 6), 6);
    }
    PlayerOpLog::startLocal(QStringLiteral("c-peer"), QStringLiteral("peer.check"), QString());
    PlayerOpLog::close();

    QCOMPARE(::write(go[1], "g", 1), 1);
    QByteArray received;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(result[0], buffer, sizeof(buffer))) > 0)
        received.append(buffer, n);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(go[1]);
    ::close(result[0]);
    if (stray >= 0)
        ::close(stray);
    ::unlink(path.constData());

    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(received.contains("\"correlation_id\":\"c-peer\""), delivered);
}

void PlayerOpLogTest::newIdFormat()
{
    const QString first = PlayerOpLog::newId();
    QVERIFY2(uuidPattern().match(first).hasMatch(), qPrintable(first));
    QVERIFY(first != PlayerOpLog::newId());
}

void PlayerOpLogTest::localRecord_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<QJsonObject>("problem");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QByteArray>("expected");

    // Keys in ascending order, as the collector receives them.
    const QByteArray head = R"({"correlation_id":"c-1",)";
    const QByteArray eid = R"("event_id":"@EID@",)";
    const QByteArray pid = R"("pid":@PID@,)";
    const QByteArray tsv = R"("ts":"@TS@","v":1})";

    QTest::newRow("start with message")
        << "start" << "pairing.start" << "waiting for claim" << qint64(-1) << QJsonObject()
        << QJsonObject()
        << head + eid + R"("kind":"local","message":"waiting for claim","op":"pairing.start","phase":"start",)"
               + pid + R"("tag":"pairing_start",)" + tsv;
    QTest::newRow("start params: id, scalars only, secrets and reserved left out")
        << "start" << "manifest.adopt" << "" << qint64(-1) << QJsonObject()
        << json(R"({"screen_id":"scr-9","pages":3,"layout":{"w":1},"refresh_token":"t",
                    "kind":"remote","list":[1]})")
        << head + eid + R"("id":"scr-9","kind":"local","op":"manifest.adopt","params":{"pages":3,"screen_id":"scr-9"},"phase":"start",)"
               + pid + R"("tag":"manifest_adopt",)" + tsv;
    QTest::newRow("finish without duration")
        << "finish" << "screenshot.capture" << "" << qint64(-1) << QJsonObject() << QJsonObject()
        << head + eid + R"("kind":"local","op":"screenshot.capture","phase":"finish",)" + pid
               + R"("tag":"screenshot_capture",)" + tsv;
    QTest::newRow("finish with zero duration")
        << "finish" << "screenshot.capture" << "" << qint64(0) << QJsonObject() << QJsonObject()
        << head + R"("duration_ms":0,)" + eid
               + R"("kind":"local","op":"screenshot.capture","phase":"finish",)" + pid
               + R"("tag":"screenshot_capture",)" + tsv;
    QTest::newRow("finish with long duration")
        << "finish" << "x" << "" << qint64(5000000000) << QJsonObject() << QJsonObject()
        << head + R"("duration_ms":5000000000,)" + eid + R"("kind":"local","op":"x","phase":"finish",)"
               + pid + R"("tag":"x",)" + tsv;
    QTest::newRow("error with problem, secrets removed")
        << "error" << "hardware-volume.apply" << "" << qint64(12)
        << json(R"({"code":"command_failed","detail":"","session_token":"abc",
                    "output":"Authorization: Bearer x"})")
        << json(R"({"backend":"wpctl","ok":false})")
        << head + R"("duration_ms":12,)" + eid
               + R"("kind":"local","op":"hardware-volume.apply","params":{"backend":"wpctl","ok":false},"phase":"error",)"
               + pid + R"("problem":{"code":"command_failed"},"tag":"hardware_volume_apply",)" + tsv;
    QTest::newRow("error with problem that sanitises to nothing")
        << "error" << "e" << "" << qint64(1) << json(R"({"cookie":"a","x":""})") << QJsonObject()
        << head + R"("duration_ms":1,)" + eid + R"("kind":"local","op":"e","phase":"error",)" + pid
               + R"("tag":"e",)" + tsv;
    QTest::newRow("only dots and hyphens change in the tag")
        << "start" << "A.b-c d/e" << "" << qint64(-1) << QJsonObject() << QJsonObject()
        << head + eid + R"("kind":"local","op":"A.b-c d/e","phase":"start",)" + pid
               + R"("tag":"A_b_c d/e",)" + tsv;
    QTest::newRow("url and token keys never written, pairing code is")
        << "start" << "p" << "" << qint64(-1) << QJsonObject()
        << json(R"({"url":"https://x","access_token":"t","pairing_code":"K7Q2ZX"})")
        << head + eid + R"("kind":"local","op":"p","params":{"pairing_code":"K7Q2ZX"},"phase":"start",)"
               + pid + R"("tag":"p",)" + tsv;
    QTest::newRow("all params empty strings")
        << "start" << "p" << "" << qint64(-1) << QJsonObject() << json(R"({"a":"","b":""})")
        << head + eid + R"("kind":"local","op":"p","phase":"start",)" + pid + R"("tag":"p",)" + tsv;
    QTest::newRow("capitalised bearer in message")
        << "start" << "p" << "sent Bearer abc" << qint64(-1) << QJsonObject() << QJsonObject()
        << head + eid + R"("kind":"local","op":"p","phase":"start",)" + pid + R"("tag":"p",)" + tsv;
    QTest::newRow("image data in message")
        << "start" << "p" << "got data:image/png;base64,AAAA" << qint64(-1) << QJsonObject()
        << QJsonObject()
        << head + eid + R"("kind":"local","op":"p","phase":"start",)" + pid + R"("tag":"p",)" + tsv;
    QTest::newRow("message clipped to 512")
        << "start" << "p" << QString(600, QLatin1Char('m')) << qint64(-1) << QJsonObject()
        << QJsonObject()
        << head + eid + R"("kind":"local","message":")" + QByteArray(512, 'm')
               + R"(","op":"p","phase":"start",)" + pid + R"("tag":"p",)" + tsv;

    // The resource id: "id", then "capture_id", then "screen_id", then the first other *_id.
    QTest::newRow("id beats capture and screen")
        << "start" << "r" << "" << qint64(-1) << QJsonObject()
        << json(R"({"id":"i1","capture_id":"c1","screen_id":"s1"})")
        << head + eid + R"("id":"i1","kind":"local","op":"r","params":{"capture_id":"c1","screen_id":"s1"},"phase":"start",)"
               + pid + R"("tag":"r",)" + tsv;
    QTest::newRow("capture beats screen")
        << "start" << "r" << "" << qint64(-1) << QJsonObject()
        << json(R"({"id":"","capture_id":"c1","screen_id":"s1"})")
        << head + eid + R"("id":"c1","kind":"local","op":"r","params":{"capture_id":"c1","screen_id":"s1"},"phase":"start",)"
               + pid + R"("tag":"r",)" + tsv;
    QTest::newRow("first other _id in key order")
        << "start" << "r" << "" << qint64(-1) << QJsonObject() << json(R"({"b_id":"B","a_id":"A"})")
        << head + eid + R"("id":"A","kind":"local","op":"r","params":{"a_id":"A","b_id":"B"},"phase":"start",)"
               + pid + R"("tag":"r",)" + tsv;
    QTest::newRow("joining ids, numbers and empty values skipped")
        << "start" << "r" << "" << qint64(-1) << QJsonObject()
        << json(R"({"a_id":7,"b_id":"","event_id":"e","request_id":"q","z_id":"Z"})")
        << head + eid + R"("id":"Z","kind":"local","op":"r","params":{"a_id":7,"z_id":"Z"},"phase":"start",)"
               + pid + R"("tag":"r",)" + tsv;
    QTest::newRow("suffix match is case-sensitive")
        << "start" << "r" << "" << qint64(-1) << QJsonObject() << json(R"({"page_ID":"P"})")
        << head + eid + R"("kind":"local","op":"r","params":{"page_ID":"P"},"phase":"start",)" + pid
               + R"("tag":"r",)" + tsv;
}

void PlayerOpLogTest::localRecord()
{
    QFETCH(QString, phase);
    QFETCH(QString, op);
    QFETCH(QString, message);
    QFETCH(qint64, durationMs);
    QFETCH(QJsonObject, problem);
    QFETCH(QJsonObject, params);
    QFETCH(QByteArray, expected);

    OpLogListener listener;
    QVERIFY(listener.listening());
    const QString id = QStringLiteral("c-1");
    if (phase == QLatin1String("start"))
        PlayerOpLog::startLocal(id, op, message, params);
    else if (phase == QLatin1String("finish"))
        PlayerOpLog::finishLocal(id, op, durationMs, params);
    else
        PlayerOpLog::errorLocal(id, op, durationMs, problem, params);

    QVERIFY(listener.waitForLines(1));
    const QByteArray actual = listener.lines().constFirst();
    QCOMPARE(actual, expectedLine(expected, actual.chopped(1)));
}

void PlayerOpLogTest::incompleteLocalRecordIsNotSent_data()
{
    QTest::addColumn<QString>("correlationId");
    QTest::addColumn<QString>("op");
    QTest::newRow("no correlation id") << "" << "pairing.start";
    QTest::newRow("no op") << "c-1" << "";
}

void PlayerOpLogTest::incompleteLocalRecordIsNotSent()
{
    QFETCH(QString, correlationId);
    QFETCH(QString, op);
    OpLogListener listener;
    PlayerOpLog::startLocal(correlationId, op, QStringLiteral("m"));
    PlayerOpLog::finishLocal(correlationId, op, 3);
    PlayerOpLog::errorLocal(correlationId, op, 3, json(R"({"code":"x"})"));
    // A complete record behind them proves the socket was reachable all along.
    PlayerOpLog::startLocal(QStringLiteral("c-marker"), QStringLiteral("marker"), QString());
    QVERIFY(listener.waitForLines(1));
    listener.drain(20);
    QCOMPARE(listener.lines().size(), 1);
    QVERIFY(listener.lines().constFirst().contains("c-marker"));
}

void PlayerOpLogTest::commonKeysAreCompleted()
{
    OpLogListener listener;
    // Supplied ts and event_id are kept; v and pid always belong to the log.
    PlayerOpLog::emitEvent(json(R"({"kind":"http","v":7,"pid":"me",
                                   "ts":"2026-03-01T08:15:42.123Z","event_id":"e-given"})"));
    PlayerOpLog::emitEvent(json(R"({"kind":"http"})"));
    QVERIFY(listener.waitForLines(2));
    const QList<QJsonObject> records = listener.records();

    QCOMPARE(listener.lines().at(0),
             QByteArray(R"({"event_id":"e-given","kind":"http","pid":)")
                 + QByteArray::number(QCoreApplication::applicationPid())
                 + R"(,"ts":"2026-03-01T08:15:42.123Z","v":1})" + '\n');
    const QJsonObject generated = records.at(1);
    QVERIFY(timestampPattern().match(generated.value(QStringLiteral("ts")).toString()).hasMatch());
    QVERIFY(uuidPattern().match(generated.value(QStringLiteral("event_id")).toString()).hasMatch());
    // The pattern itself must not accept a trailing line feed.
    QVERIFY(!timestampPattern().match(QStringLiteral("2026-03-01T08:15:42.123Z\n")).hasMatch());
}

void PlayerOpLogTest::sanitizeObject_data()
{
    QTest::addColumn<QJsonObject>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("scalars pass") << json(R"({"a":1,"b":true,"c":false,"d":"x","e":0.5})")
                                  << QByteArray(R"({"a":1,"b":true,"c":false,"d":"x","e":0.5})");
    QTest::newRow("empty and null values go")
        << json(R"({"a":"","b":null,"c":[],"d":{},"e":"keep"})") << QByteArray(R"({"e":"keep"})");
    QTest::newRow("empty key goes") << json(R"({"":"x","k":"v"})") << QByteArray(R"({"k":"v"})");
    QTest::newRow("nested object emptied by secrets goes")
        << json(R"({"o":{"password":"p","cookie":"c"},"p":{"status":"ok","token":"t"}})")
        << QByteArray(R"({"p":{"status":"ok"}})");
    QTest::newRow("array keeps inner empties, drops empty strings and nulls")
        << json(R"({"a":["",null,[],{},"x",1,"Bearer y"]})")
        << QByteArray(R"({"a":[[],{},"x",1]})");
    QTest::newRow("array that ends empty goes") << json(R"({"a":["",null],"b":1})")
                                               << QByteArray(R"({"b":1})");
    QTest::newRow("array of objects sanitised")
        << json(R"({"a":[{"secret":"s","n":2},{"x":"tvs_1"}]})")
        << QByteArray(R"({"a":[{"n":2},{}]})");
    QTest::newRow("clip before searching: fragment beyond 512 survives")
        << QJsonObject{{QStringLiteral("m"), QString(520, QLatin1Char('a')) + "bearer x"}}
        << QByteArray(R"({"m":")" + QByteArray(512, 'a') + R"("})");

    const char* fragments[] = {"talvorine-pairing", "Talvorine-Device", "TALVORINE-SESSION",
                               "authorization:",    "BEARER ",          "tvp_",
                               "TVD_",              "tvs_",             "Tv_Live_",
                               "data:image/",       "X-Amz-Signature",  "x-goog-signature",
                               "#provision=",       "#LINK="};
    for (const char* fragment : fragments) {
        QTest::addRow("value fragment %s", fragment)
            << QJsonObject{{QStringLiteral("v"), QStringLiteral("see ") + QLatin1String(fragment)
                                                      + QStringLiteral("123")},
                           {QStringLiteral("w"), 2}}
            << QByteArray(R"({"w":2})");
    }
    QTest::newRow("bearer without its space passes")
        << json(R"({"v":"bearer-less"})") << QByteArray(R"({"v":"bearer-less"})");
    QTest::newRow("authorization without colon passes as value")
        << json(R"({"v":"authorization needed"})")
        << QByteArray(R"({"v":"authorization needed"})");
}

void PlayerOpLogTest::sanitizeObject()
{
    QFETCH(QJsonObject, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(compact(PlayerOpLog::sanitizeObject(input)), expected);
}

void PlayerOpLogTest::forbiddenKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("forbidden");
    QTest::newRow("secret fragment") << "session_token" << true;
    QTest::newRow("url") << "url" << true;
    QTest::newRow("pairing code") << "pairing_code" << false;
    QTest::newRow("Set-Cookie") << "Set-Cookie" << true;
    QTest::newRow("set_cookie") << "set_cookie" << true;
    QTest::newRow("device header") << "Talvorine-Device" << true;
    QTest::newRow("session header") << "talvorine-session-id" << true;
    QTest::newRow("public key") << "public_key_b64" << true;
    QTest::newRow("jwk") << "JWK" << true;
    QTest::newRow("private") << "privateState" << true;
    QTest::newRow("image bytes") << "image_bytes" << true;
    QTest::newRow("webp") << "screenshot_webp" << true;
    QTest::newRow("ordinary") << "screen_id" << false;
    QTest::newRow("public key with hyphen is not the fragment") << "public-key" << false;
    QTest::newRow("image with hyphen") << "image-bytes" << false;
}

void PlayerOpLogTest::forbiddenKey()
{
    QFETCH(QString, key);
    QFETCH(bool, forbidden);
    QCOMPARE(PlayerOpLog::forbiddenKey(key), forbidden);
}

// A collector that accepts but never reads: the socket buffer fills, records are dropped and
// the connection is given up, but no call waits. Once the collector reads again, the next
// record reconnects and arrives whole.
void PlayerOpLogTest::fullCollectorNeverBlocks()
{
    OpLogListener listener;
    const QString big(500, QLatin1Char('b'));
    const QJsonObject params{{QStringLiteral("a"), big}, {QStringLiteral("b"), big},
                             {QStringLiteral("c"), big}, {QStringLiteral("d"), big}};
    constexpr int records = 3000;

    // The flood runs on its own thread while this one does not read: a send that waited for
    // the collector would never return, and one that waited a while on each full buffer would
    // give up the processor inside the call, thousands of times. A busy machine only preempts
    // the thread, which the kernel counts apart, so no bound on the time of a call is needed;
    // a few waits remain possible on the sanitizers' allocator lock.
    long waits = 0;
    std::unique_ptr<QThread> flood(QThread::create([&params, &waits] {
        for (int i = 0; i < records; ++i) {
            const long before = voluntaryContextSwitches();
            PlayerOpLog::startLocal(QStringLiteral("c-flood"), QStringLiteral("flood"), QString(),
                                    params);
            waits += voluntaryContextSwitches() - before;
        }
    }));
    flood->start();
    const bool returned = flood->wait(QDeadlineTimer(30000));
    QVERIFY2(returned, "a record call blocked on a collector that does not read");
    QVERIFY2(waits < 30, qPrintable(QString::number(waits)));

    listener.drain(300);
    const int floodLines = int(listener.lines().size());
    QVERIFY2(floodLines < records, "the socket buffer never filled");
    QVERIFY2(listener.connections() >= 2, "a dropped connection was never re-established");
    for (const QByteArray& line : listener.lines())
        QVERIFY(line.contains("\"correlation_id\":\"c-flood\""));

    // Lines of the flood still in the socket buffer may arrive after it: look for the new
    // record by its content rather than by its place.
    PlayerOpLog::startLocal(QStringLiteral("c-after"), QStringLiteral("after"), QString());
    const auto afterRecords = [&listener] {
        int found = 0;
        for (const QJsonObject& record : listener.records())
            found += record.value(QStringLiteral("correlation_id")).toString()
                     == QLatin1String("c-after");
        return found;
    };
    QTRY_COMPARE_WITH_TIMEOUT(afterRecords(), 1, 30000);
}

void PlayerOpLogTest::linesNeverInterleave()
{
    OpLogListener listener;
    constexpr int threads = 4;
    constexpr int perThread = 150;
    std::vector<std::unique_ptr<QThread>> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back(QThread::create([t] {
            const QJsonObject params{{QStringLiteral("pad"), QString(300, QLatin1Char('a' + t))},
                                     {QStringLiteral("writer"), t}};
            for (int i = 0; i < perThread; ++i)
                PlayerOpLog::finishLocal(QStringLiteral("c-%1-%2").arg(t).arg(i),
                                         QStringLiteral("w"), i, params);
        }));
        writers.back()->start();
    }
    QDeadlineTimer deadline(20000);
    for (auto& writer : writers) {
        while (!writer->isFinished() && !deadline.hasExpired())
            listener.drain(5);
    }
    QVERIFY(!deadline.hasExpired());
    listener.drain(100);
    QVERIFY(!listener.lines().isEmpty());
    for (const QByteArray& line : listener.lines()) {
        QJsonParseError error;
        const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const int writer = record.value(QStringLiteral("params")).toObject()
                               .value(QStringLiteral("writer")).toInt();
        QCOMPARE(record.value(QStringLiteral("params")).toObject().value(QStringLiteral("pad"))
                     .toString(),
                 QString(300, QLatin1Char('a' + writer)));
    }
}

QTEST_GUILESS_MAIN(PlayerOpLogTest)
#include "tst_playeroplog.moc"
