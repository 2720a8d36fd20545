#include "tests/support/LoopbackHttpServer.h"

#include <QTcpSocket>

namespace talvorine::test {

QByteArray LoopbackHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
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

QUrl LoopbackHttpServer::url(const QString& path, const QString& host) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host.isEmpty() ? server_.serverAddress().toString() : host);
    url.setPort(server_.serverPort());
    url.setPath(path);
    return url;
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    // Requests here carry no body, so the header block is the whole request.
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("buffer", buffer.mid(end + 4));

    const QList<QByteArray> lines = buffer.left(end).split('\n');
    Request request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    requests_.append(request);

    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply_.status) + " Scripted\r\n";
    for (const auto& [name, value] : reply_.headers)
        response += name + ": " + value + "\r\n";
    response += "Content-Length: " + QByteArray::number(reply_.body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n" + reply_.body;
    socket->write(response);
    socket->disconnectFromHost();
}

} // namespace talvorine::test
