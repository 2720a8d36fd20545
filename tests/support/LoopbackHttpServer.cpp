#include "tests/support/LoopbackHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace talvorine::test {

namespace {

const char* const bufferProperty = "talvorineTestBuffer";
const char* const busyProperty = "talvorineTestBusy";

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    default: return "Scripted";
    }
}

} // namespace

QByteArray LoopbackHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QByteArray LoopbackHttpServer::Request::path() const
{
    const qsizetype question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::redirect(int status,
                                                              const QByteArray& location)
{
    Reply reply;
    reply.status = status;
    reply.headers = {{"Location", location}};
    reply.body = "moved";
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::silentEventStream()
{
    Reply reply;
    reply.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}};
    reply.contentLength = -2;
    reply.holdOpen = true;
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::silentBody(qint64 announcedBytes)
{
    Reply reply;
    reply.headers = {{"Content-Type", "application/octet-stream"}};
    reply.contentLength = announcedBytes;
    reply.holdOpen = true;
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::slowBody(QByteArray body, int chunkBytes,
                                                              int chunkDelayMs)
{
    Reply reply;
    reply.headers = {{"Content-Type", "application/octet-stream"}};
    reply.body = std::move(body);
    reply.chunkBytes = chunkBytes;
    reply.chunkDelayMs = chunkDelayMs;
    return reply;
}

LoopbackHttpServer::LoopbackHttpServer(QHostAddress address, QObject* parent)
    : QObject(parent)
{
    server_.listen(address, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    // Held connections end with the server rather than outliving it.
    for (QTcpSocket* socket : server_.findChildren<QTcpSocket*>())
        socket->abort();
}

QUrl LoopbackHttpServer::url(const QString& path, const QString& host) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host.isEmpty() ? server_.serverAddress().toString() : host);
    url.setPort(server_.serverPort());
    url.setPath(path);
    return url;
}

int LoopbackHttpServer::openConnections() const
{
    int open = 0;
    for (const QTcpSocket* socket : server_.findChildren<QTcpSocket*>()) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    // Requests on one connection are answered in turn; a reply still being written (slow) or
    // held open keeps the ones behind it waiting.
    while (!socket->property(busyProperty).toBool()) {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            break;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.append(
                    {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
        }
        bool lengthOk = false;
        const qint64 bodyLength = request.header("Content-Length").toLongLong(&lengthOk);
        const qint64 available = buffer.size() - (end + 4);
        if (lengthOk && bodyLength > available)
            break;
        const qint64 consumed = end + 4 + (lengthOk ? bodyLength : 0);
        request.body = lengthOk ? buffer.mid(end + 4, bodyLength) : QByteArray();
        buffer.remove(0, consumed);
        requests_.append(request);
        const bool close = request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
        respond(socket, replyFor(request), close);
        if (socket->state() != QAbstractSocket::ConnectedState)
            break;
    }
    socket->setProperty(bufferProperty, buffer);
}

LoopbackHttpServer::Reply LoopbackHttpServer::replyFor(const Request& request) const
{
    if (responder_)
        return responder_(request);
    return routes_.value(request.path(), reply_);
}

void LoopbackHttpServer::respond(QTcpSocket* socket, const Reply& reply, bool close)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonFor(reply.status)
        + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    // Without a length the body ends with the connection.
    const bool unframed = reply.contentLength == -2;
    if (!unframed) {
        const qint64 length = reply.contentLength >= 0 ? reply.contentLength : reply.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    if (close || unframed)
        head += "Connection: close\r\n";
    head += "\r\n";

    if (reply.holdOpen) {
        socket->setProperty(busyProperty, true);
        socket->write(head + reply.body);
        return;
    }
    const auto finish = [this, socket, close = close || unframed] {
        if (close) {
            socket->disconnectFromHost();
            return;
        }
        socket->setProperty(busyProperty, false);
        // Requests that queued up behind a slow reply; from the event loop, so that a caller
        // still parsing this connection's buffer is not re-entered.
        QTimer::singleShot(0, socket, [this, socket] { serve(socket); });
    };
    if (reply.chunkBytes <= 0 || reply.body.isEmpty()) {
        socket->write(head + reply.body);
        finish();
        return;
    }

    socket->setProperty(busyProperty, true);
    socket->write(head);
    auto* timer = new QTimer(socket);
    timer->setInterval(reply.chunkDelayMs);
    auto offset = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket,
            [socket, timer, offset, body = reply.body, chunk = reply.chunkBytes, finish] {
                if (socket->state() != QAbstractSocket::ConnectedState) {
                    timer->deleteLater();
                    return;
                }
                socket->write(body.mid(*offset, chunk));
                *offset += chunk;
                if (*offset >= body.size()) {
                    timer->deleteLater();
                    timer->stop();
                    finish();
                }
            });
    timer->start();
}

} // namespace talvorine::test
