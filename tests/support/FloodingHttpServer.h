#pragma once

#include <QByteArray>
#include <QHash>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

struct ssl_ctx_st;

namespace talvorine::test {

// An HTTP/1.1 server on loopback that runs on threads of its own, for attacks that go on
// while the client's thread is busy: one path answers its head and then a body of filler bytes
// without a line feed, written as fast as the client's kernel takes it; other paths get canned
// answers. Every answer closes its connection. It counts the flood's bytes the client took and
// can block its caller until the client holds the flood back.
class FloodingHttpServer {
public:
    // HttpsNonLocal serves TLS on 127.0.0.2, an origin the player treats as a production
    // service, so that its client reads the way it reads every real one.
    enum class Transport { Http, HttpsNonLocal };

    explicit FloodingHttpServer(Transport transport = Transport::Http);
    ~FloodingHttpServer();
    FloodingHttpServer(const FloodingHttpServer&) = delete;
    FloodingHttpServer& operator=(const FloodingHttpServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    QUrl url() const;
    // Makes this process's default TLS configuration trust the server's authority until the
    // server goes: every loopback authority has the same name, so none may outlive its server.
    void trustInProcess();

    // A whole answer for a path: status, content type and body, with its length.
    void answer(const QByteArray& path, int status, const QByteArray& contentType,
                const QByteArray& body);
    // The flood: the head as given (status line and header lines, without the blank line),
    // then up to `bytes` filler bytes, or until the client leaves. Nothing of it is written
    // before releaseFlood(), so that a test can let its client finish setting up the request
    // first.
    void flood(const QByteArray& path, const QByteArray& head, qint64 bytes);
    void releaseFlood();

    bool floodStarted() const { return started_; }
    qint64 floodWritten() const { return written_; }
    // Blocks the calling thread (its events wait) until the whole flood is written or the
    // client has taken nothing for quietMs; the bytes written by then.
    qint64 waitWhileFlooding(int quietMs);

private:
    struct Canned {
        QByteArray head;
        QByteArray body;
        qint64 floodBytes = -1; // -1: not a flood
    };

    class Link;

    void acceptLoop();
    void serve(int fd);
    void respond(Link& link);
    void floodTo(Link& link, qint64 bytes);
    void noteProgress(qint64 bytes, bool finished);

    bool startTls();

    ssl_ctx_st* tls_ = nullptr;
    QSslCertificate authority_;
    std::optional<QSslConfiguration> untrusted_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<bool> started_ = false;
    std::atomic<qint64> written_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable progressed_;
    QHash<QByteArray, Canned> routes_;
    std::list<int> connections_;
    std::list<std::thread> workers_;
    std::chrono::steady_clock::time_point lastProgress_;
    bool floodDone_ = false;
    bool floodReleased_ = false;
    std::thread acceptor_;
};

} // namespace talvorine::test
