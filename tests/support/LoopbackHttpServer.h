#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

namespace talvorine::test {

// A small HTTP/1.1 server on a loopback address. Each request gets a scripted reply (one for
// every path, one per path, or one a responder decides), delivered whole, slowly, or not at
// all; every request is recorded. Connections persist between requests unless the client asks
// to close or the reply has no length.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    struct Reply {
        int status = 200;
        Headers headers;
        QByteArray body;
        // A slow body: written chunkBytes at a time with chunkDelayMs between the chunks.
        int chunkBytes = 0;
        int chunkDelayMs = 0;
        // The "Content-Length" announced: -1 announces the body's size, -2 announces none.
        qint64 contentLength = -1;
        // After the body nothing more is sent and the connection stays open until the client
        // leaves: a silent body (announce more than the body holds) or a silent stream.
        bool holdOpen = false;

        static Reply redirect(int status, const QByteArray& location);
        // Headers of an event stream, then silence.
        static Reply silentEventStream();
        // Headers announcing a body of the given size, then silence.
        static Reply silentBody(qint64 announcedBytes);
        // The body trickled out in chunks.
        static Reply slowBody(QByteArray body, int chunkBytes, int chunkDelayMs);
    };

    struct Request {
        QByteArray method;
        QByteArray target;
        Headers headers;
        QByteArray body;
        QByteArray header(const QByteArray& name) const;
        // The target without its query.
        QByteArray path() const;
    };

    using Responder = std::function<Reply(const Request&)>;

    explicit LoopbackHttpServer(QHostAddress address = QHostAddress::LocalHost,
                                QObject* parent = nullptr);
    ~LoopbackHttpServer() override;

    bool listening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    // The reply for every path without a route of its own.
    void setReply(Reply reply) { reply_ = std::move(reply); }
    // The reply for one path (the request target without its query).
    void setRoute(const QByteArray& path, Reply reply) { routes_.insert(path, std::move(reply)); }
    // Decides every reply itself; routes and the default reply are then unused.
    void setResponder(Responder responder) { responder_ = std::move(responder); }
    QUrl url(const QString& path = QStringLiteral("/"), const QString& host = {}) const;
    const QList<Request>& requests() const { return requests_; }
    // Connections still open, such as held streams.
    int openConnections() const;

private:
    void serve(QTcpSocket* socket);
    Reply replyFor(const Request& request) const;
    void respond(QTcpSocket* socket, const Reply& reply, bool close);

    QTcpServer server_;
    Reply reply_;
    QHash<QByteArray, Reply> routes_;
    Responder responder_;
    QList<Request> requests_;
};

} // namespace talvorine::test
