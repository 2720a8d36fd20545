#include "tests/support/FloodingHttpServer.h"

#include "tests/support/FakeRuntimeService.h"

#include <QList>

#include <cerrno>
#include <csignal>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvorine::test {

namespace {

using namespace std::chrono_literals;

constexpr qsizetype headLimit = 64 * 1024;
constexpr qsizetype chunkBytes = 64 * 1024;

// Blocking calls wake up this often to see whether the server is going away.
void setPollTimeouts(int fd)
{
    timeval interval{0, 50000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &interval, sizeof interval);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &interval, sizeof interval);
}

bool transient(ssize_t result)
{
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 404: return "Not Found";
    default: return "Status";
    }
}

} // namespace

// One connection's bytes, in the clear or through TLS. Either way a call wakes up with the
// socket's poll timeouts and then fails as transient(), so the server still sees it stop.
class FloodingHttpServer::Link {
public:
    Link(int fd, SSL_CTX* tls) : fd_(fd), ssl_(tls ? SSL_new(tls) : nullptr, &SSL_free)
    {
        if (ssl_)
            SSL_set_fd(ssl_.get(), fd);
    }

    bool handshake(const std::atomic<bool>& stopping)
    {
        if (!ssl_)
            return true;
        ssize_t result = 0;
        do
            result = settled(SSL_accept(ssl_.get()));
        while (!stopping && transient(result));
        return result > 0;
    }
    ssize_t receive(char* data, size_t size)
    {
        return ssl_ ? settled(SSL_read(ssl_.get(), data, int(size))) : ::recv(fd_, data, size, 0);
    }
    ssize_t send(const char* data, size_t size)
    {
        return ssl_ ? settled(SSL_write(ssl_.get(), data, int(size)))
                    : ::send(fd_, data, size, MSG_NOSIGNAL);
    }

private:
    ssize_t settled(int result)
    {
        if (result > 0)
            return result;
        const int error = SSL_get_error(ssl_.get(), result);
        errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
        return -1;
    }

    int fd_;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
};

FloodingHttpServer::FloodingHttpServer(Transport transport)
{
    if (transport == Transport::HttpsNonLocal && !startTls())
        return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(tls_ ? INADDR_LOOPBACK + 1 : INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd, 16) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FloodingHttpServer::~FloodingHttpServer()
{
    stopping_ = true;
    if (listener_ >= 0)
        ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable())
        acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (const int fd : connections_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& worker : workers_)
        worker.join();
    if (listener_ >= 0)
        ::close(listener_);
    SSL_CTX_free(tls_);
    if (untrusted_)
        QSslConfiguration::setDefaultConfiguration(*untrusted_);
}

bool FloodingHttpServer::startTls()
{
    const LoopbackTls tls = LoopbackTls::make();
    if (!tls.error.isEmpty())
        return false;
    tls_ = SSL_CTX_new(TLS_server_method());
    const QByteArray pem = tls.certificate.toPem() + tls.key.toPem();
    const std::unique_ptr<BIO, decltype(&BIO_free)> source(
        BIO_new_mem_buf(pem.constData(), int(pem.size())), &BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(source.get(), nullptr, nullptr, nullptr), &X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(source.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    if (!tls_ || SSL_CTX_use_certificate(tls_, certificate.get()) != 1
        || SSL_CTX_use_PrivateKey(tls_, key.get()) != 1)
        return false;
    authority_ = tls.authority;
    return true;
}

QUrl FloodingHttpServer::url() const
{
    QUrl url;
    url.setScheme(tls_ ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(tls_ ? QStringLiteral("127.0.0.2") : QStringLiteral("127.0.0.1"));
    url.setPort(port_);
    url.setPath(QStringLiteral("/"));
    return url;
}

void FloodingHttpServer::trustInProcess()
{
    if (!untrusted_)
        untrusted_ = QSslConfiguration::defaultConfiguration();
    trustAuthorityInProcess(authority_);
}

void FloodingHttpServer::answer(const QByteArray& path, int status, const QByteArray& contentType,
                                const QByteArray& body)
{
    Canned canned;
    canned.head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status)
        + "\r\nContent-Type: " + contentType + "\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    canned.body = body;
    std::lock_guard lock(mutex_);
    routes_.insert(path, canned);
}

void FloodingHttpServer::flood(const QByteArray& path, const QByteArray& head, qint64 bytes)
{
    Canned canned;
    canned.head = head + "\r\n\r\n";
    canned.floodBytes = bytes;
    std::lock_guard lock(mutex_);
    routes_.insert(path, canned);
}

void FloodingHttpServer::releaseFlood()
{
    {
        std::lock_guard lock(mutex_);
        floodReleased_ = true;
    }
    progressed_.notify_all();
}

qint64 FloodingHttpServer::waitWhileFlooding(int quietMs)
{
    std::unique_lock lock(mutex_);
    const auto quiet = std::chrono::milliseconds(quietMs);
    while (!floodDone_ && std::chrono::steady_clock::now() - lastProgress_ < quiet)
        progressed_.wait_for(lock, 20ms);
    return written_;
}

void FloodingHttpServer::acceptLoop()
{
    while (!stopping_) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        setPollTimeouts(fd);
        std::lock_guard lock(mutex_);
        connections_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void FloodingHttpServer::serve(int fd)
{
    // A TLS write to a client that has gone raises SIGPIPE; on this thread it only fails.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    {
        Link link(fd, tls_);
        if (link.handshake(stopping_))
            respond(link);
    }
    std::lock_guard lock(mutex_);
    connections_.remove(fd);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void FloodingHttpServer::respond(Link& link)
{
    QByteArray request;
    qsizetype headEnd = -1;
    char buffer[4096];
    while (!stopping_ && headEnd < 0 && request.size() < headLimit) {
        const ssize_t got = link.receive(buffer, sizeof buffer);
        if (transient(got))
            continue;
        if (got <= 0)
            break;
        request.append(buffer, got);
        headEnd = request.indexOf("\r\n\r\n");
    }
    Canned canned;
    if (headEnd >= 0) {
        // The request's own body is read and dropped, so that closing never resets it.
        qint64 bodyBytes = 0;
        const QList<QByteArray> lines = request.left(headEnd).split('\n');
        for (const QByteArray& line : lines) {
            if (line.toLower().startsWith("content-length:"))
                bodyBytes = line.mid(15).trimmed().toLongLong();
        }
        qint64 pending = bodyBytes - (request.size() - headEnd - 4);
        while (!stopping_ && pending > 0) {
            const ssize_t got = link.receive(buffer, sizeof buffer);
            if (transient(got))
                continue;
            if (got <= 0)
                break;
            pending -= got;
        }
        QByteArray target = lines.value(0).split(' ').value(1);
        target = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
        std::lock_guard lock(mutex_);
        canned = routes_.value(target);
    }
    if (canned.floodBytes >= 0) {
        std::unique_lock lock(mutex_);
        while (!stopping_ && !floodReleased_)
            progressed_.wait_for(lock, 20ms);
    }
    if (canned.head.isEmpty())
        canned.head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    const QByteArray whole = canned.head + canned.body;
    for (qsizetype sent = 0; !stopping_ && sent < whole.size();) {
        const ssize_t put = link.send(whole.constData() + sent, size_t(whole.size() - sent));
        if (transient(put))
            continue;
        if (put <= 0)
            break;
        sent += put;
    }
    if (canned.floodBytes >= 0)
        floodTo(link, canned.floodBytes);
}

void FloodingHttpServer::floodTo(Link& link, qint64 bytes)
{
    noteProgress(0, false);
    started_ = true;
    const QByteArray chunk(chunkBytes, 'x');
    qint64 sent = 0;
    while (!stopping_ && sent < bytes) {
        const size_t want = size_t(std::min<qint64>(chunk.size(), bytes - sent));
        const ssize_t put = link.send(chunk.constData(), want);
        if (transient(put))
            continue;
        if (put <= 0)
            break;
        sent += put;
        noteProgress(put, sent >= bytes);
    }
}

void FloodingHttpServer::noteProgress(qint64 bytes, bool finished)
{
    {
        std::lock_guard lock(mutex_);
        lastProgress_ = std::chrono::steady_clock::now();
        written_ += bytes;
        floodDone_ = floodDone_ || finished;
    }
    progressed_.notify_all();
}

} // namespace talvorine::test
