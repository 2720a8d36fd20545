#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

namespace talvorine::test {

// A small HTTP/1.1 server on a loopback address that answers every request with one scripted
// reply and records what it was asked.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
    };
    struct Request {
        QByteArray method;
        QByteArray target;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray& name) const;
    };

    explicit LoopbackHttpServer(QHostAddress address = QHostAddress::LocalHost,
                                QObject* parent = nullptr);

    bool listening() const { return server_.isListening(); }
    void setReply(Reply reply) { reply_ = std::move(reply); }
    QUrl url(const QString& path = QStringLiteral("/"), const QString& host = {}) const;
    const QList<Request>& requests() const { return requests_; }

private:
    void serve(QTcpSocket* socket);

    QTcpServer server_;
    Reply reply_;
    QList<Request> requests_;
};

} // namespace talvorine::test
