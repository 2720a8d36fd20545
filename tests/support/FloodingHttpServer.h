#pragma once

#include <QByteArray>
#include <QHash>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

namespace talvorine::test {

// A plain HTTP/1.1 server on loopback that runs on threads of its own, for attacks that go on
// while the client's thread is busy: one path answers its head and then a body of filler bytes
// without a line feed, written as fast as the client's kernel takes it; other paths get canned
// answers. Every answer closes its connection. It counts the flood's bytes the client took and
// can block its caller until the client holds the flood back.
class FloodingHttpServer {
public:
    FloodingHttpServer();
    ~FloodingHttpServer();
    FloodingHttpServer(const FloodingHttpServer&) = delete;
    FloodingHttpServer& operator=(const FloodingHttpServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    QUrl url() const;

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

    void acceptLoop();
    void serve(int fd);
    void floodTo(int fd, qint64 bytes);
    void noteProgress(qint64 bytes, bool finished);

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
