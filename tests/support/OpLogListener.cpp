#include "tests/support/OpLogListener.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTest>

namespace talvorine::test {

OpLogListener::OpLogListener(QObject* parent)
    : QObject(parent)
{
    server_.listen(path());
    qputenv("TALVORINE_PLAYER_LOG_SOCKET", QFile::encodeName(path()));
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            ++connections_;
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            readFrom(socket);
        }
    });
}

OpLogListener::~OpLogListener()
{
    qunsetenv("TALVORINE_PLAYER_LOG_SOCKET");
}

QString OpLogListener::path() const
{
    return dir_.filePath(QStringLiteral("oplog.sock"));
}

QList<QJsonObject> OpLogListener::records() const
{
    QList<QJsonObject> out;
    for (const QByteArray& line : lines_)
        out.append(QJsonDocument::fromJson(line).object());
    return out;
}

bool OpLogListener::waitForLines(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (lines_.size() < count && !deadline.hasExpired())
        QTest::qWait(5);
    return lines_.size() >= count;
}

void OpLogListener::drain(int ms)
{
    QTest::qWait(ms);
}

void OpLogListener::readFrom(QLocalSocket* socket)
{
    // Lines are cut per connection: a partial line at the end of a dropped connection is lost.
    QByteArray buffer = socket->property("talvorineTestBuffer").toByteArray() + socket->readAll();
    qsizetype newline;
    while ((newline = buffer.indexOf('\n')) >= 0) {
        lines_.append(buffer.left(newline + 1));
        buffer.remove(0, newline + 1);
    }
    socket->setProperty("talvorineTestBuffer", buffer);
}

} // namespace talvorine::test
