#include "tests/support/FakeRuntimeService.h"

#include "runtime/RuntimeWireContract.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/FakeKvStore.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebPackageBuilder.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace talvorine::test {

struct FakeRuntimeService::Connection {
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    int id = 0;
    bool busy = false; // a reply is being prepared; later bytes wait in the buffer
};

namespace {

QByteArray routeKey(const QByteArray& method, const QByteArray& path)
{
    return method + ' ' + path;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 206: return "Partial Content";
    case 413: return "Content Too Large";
    case 416: return "Range Not Satisfiable";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray decodeBase64Url(const QByteArray& text, bool* ok)
{
    const auto result = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    *ok = bool(result);
    return result.decoded;
}

QString isoMs(const QDateTime& at)
{
    return at.toUTC().toString(Qt::ISODateWithMs);
}

// --- certificates made at start-up ---------------------------------------------------------

struct PkeyFree { void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); } };
struct X509Free { void operator()(X509* cert) const { X509_free(cert); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

Pkey makeKey()
{
    return Pkey(EVP_EC_gen("P-256"));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

Cert makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     bool authority, long serial)
{
    Cert cert(X509_new());
    if (!cert)
        return {};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = true;
    if (authority) {
        ok = addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE")
             && addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE")
             && addExtension(cert.get(), signer, NID_subject_alt_name,
                             "IP:127.0.0.1,IP:127.0.0.2,DNS:localhost")
             && addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0)
        return {};
    return cert;
}

QByteArray certificatePem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, size);
    BIO_free(bio);
    return pem;
}

QByteArray keyPem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, size);
    BIO_free(bio);
    return pem;
}

QString thumbprintOf(const QString& x)
{
    const QByteArray canonical =
        QStringLiteral("{\"crv\":\"Ed25519\",\"kty\":\"OKP\",\"x\":\"%1\"}").arg(x).toUtf8();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    unsigned int length = 0;
    EVP_Digest(canonical.constData(), size_t(canonical.size()), digest, &length, EVP_sha256(),
               nullptr);
    return QString::fromLatin1(
        base64Url(QByteArray(reinterpret_cast<const char*>(digest), int(length))));
}

// The open-ended start of a "bytes=N-" range, or none for any other form.
std::optional<qint64> rangeStart(const QByteArray& range)
{
    if (!range.startsWith("bytes=") || !range.endsWith('-'))
        return std::nullopt;
    bool ok = false;
    const qint64 start = range.mid(6, range.size() - 7).toLongLong(&ok);
    return ok && start >= 0 ? std::optional<qint64>(start) : std::nullopt;
}

} // namespace

// --- replies and requests ------------------------------------------------------------------

FakeRuntimeService::Reply FakeRuntimeService::Reply::json(int status, const QJsonObject& object)
{
    return json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

FakeRuntimeService::Reply FakeRuntimeService::Reply::json(int status, const QByteArray& raw)
{
    Reply reply;
    reply.status = status;
    reply.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "application/json"));
    reply.body = raw;
    return reply;
}

FakeRuntimeService::Reply FakeRuntimeService::Reply::eventStream(int status, QByteArray contentType)
{
    Reply reply;
    reply.status = status;
    reply.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", std::move(contentType)));
    reply.stream = true;
    return reply;
}

FakeRuntimeService::Reply FakeRuntimeService::Reply::notModified()
{
    Reply reply;
    reply.status = 304;
    return reply;
}

FakeRuntimeService::Reply FakeRuntimeService::Reply::loginPage(int status, QByteArray contentType)
{
    Reply reply;
    reply.status = status;
    reply.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", std::move(contentType)));
    reply.body = "<!DOCTYPE html><html><head><title>Guest network</title></head><body>"
                 "<form method=\"post\" action=\"/login\"><p>Sign in to use this network.</p>"
                 "<input name=\"user\"><input name=\"password\" type=\"password\">"
                 "<button>Sign in</button></form></body></html>\n";
    return reply;
}

QByteArray FakeRuntimeService::Request::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool FakeRuntimeService::Request::hasHeader(const QByteArray& name) const
{
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QJsonObject FakeRuntimeService::Request::jsonBody() const
{
    return QJsonDocument::fromJson(body).object();
}

LoopbackTls LoopbackTls::make()
{
    LoopbackTls tls;
    Pkey authorityKey = makeKey();
    Pkey serverKey = makeKey();
    if (!authorityKey || !serverKey) {
        tls.error = QStringLiteral("key generation failed");
        return tls;
    }
    Cert authority = makeCertificate(authorityKey.get(), "Talvorine Test Authority", nullptr,
                                     authorityKey.get(), true, 1);
    Cert server = authority ? makeCertificate(serverKey.get(), "localhost", authority.get(),
                                              authorityKey.get(), false, 2)
                            : Cert();
    if (!server) {
        tls.error = QStringLiteral("certificate generation failed");
        return tls;
    }
    tls.authority = QSslCertificate(certificatePem(authority.get()), QSsl::Pem);
    tls.certificate = QSslCertificate(certificatePem(server.get()), QSsl::Pem);
    tls.key = QSslKey(keyPem(serverKey.get()), QSsl::Ec, QSsl::Pem);
    if (tls.authority.isNull() || tls.certificate.isNull() || tls.key.isNull())
        tls.error = QStringLiteral("certificate conversion failed");
    return tls;
}

// --- the service ---------------------------------------------------------------------------

FakeRuntimeService::FakeRuntimeService(Transport transport, QObject* parent)
    : QObject(parent)
    , transport_(transport)
    , adSlots_(std::make_unique<FakeAdSlots>(*this))
    , kvStore_(std::make_unique<FakeKvStore>())
{
    clock_.start();
    fallback_ = Reply::json(404, QJsonObject{{QStringLiteral("code"), QStringLiteral("not_found")}});
    if (transport_ != Transport::Http) {
        const LoopbackTls tls = LoopbackTls::make();
        if (!tls.error.isEmpty()) {
            setupError_ = tls.error;
            return;
        }
        authority_ = tls.authority;
        certificate_ = tls.certificate;
        key_ = tls.key;
    }
    if (!startListening(0) && setupError_.isEmpty())
        setupError_ = QStringLiteral("listen failed");
}

FakeRuntimeService::~FakeRuntimeService()
{
    // Sockets are children of the server or of this object; drop them before the maps.
    server_.reset();
}

bool FakeRuntimeService::startListening(quint16 port)
{
    if (transport_ != Transport::Http && !plainHttp_) {
        auto server = std::make_unique<QSslServer>();
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate_);
        configuration.setPrivateKey(key_);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        // Offered as a real service offers it; the fake itself speaks HTTP/1.1 only.
        configuration.setAllowedNextProtocols({QSslConfiguration::ALPNProtocolHTTP2,
                                               QSslConfiguration::NextProtocolHttp1_1});
        server->setSslConfiguration(configuration);
        server->setHandshakeTimeout(5000);
        server_ = std::move(server);
    } else {
        server_ = std::make_unique<QTcpServer>();
    }
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (server_ && server_->hasPendingConnections()) {
            if (QTcpSocket* socket = server_->nextPendingConnection())
                accept(socket);
        }
    });
    if (!server_->listen(QHostAddress(host()), port))
        return false;
    port_ = server_->serverPort();
    return true;
}

QString FakeRuntimeService::host() const
{
    return transport_ == Transport::HttpsNonLocal ? QStringLiteral("127.0.0.2")
                                                  : QStringLiteral("127.0.0.1");
}

bool FakeRuntimeService::listening() const
{
    return server_ && server_->isListening() && setupError_.isEmpty();
}

QUrl FakeRuntimeService::url(const QString& path) const
{
    QUrl url;
    url.setScheme(transport_ == Transport::Http ? QStringLiteral("http")
                                                : QStringLiteral("https"));
    url.setHost(host());
    url.setPort(port_);
    url.setPath(path);
    return url;
}

void trustAuthorityInProcess(const QSslCertificate& authority)
{
    if (authority.isNull())
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = configuration.caCertificates();
    if (!authorities.contains(authority))
        authorities.append(authority);
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void FakeRuntimeService::trustInProcess() const
{
    trustAuthorityInProcess(authority_);
}

void FakeRuntimeService::script(const QByteArray& method, const QByteArray& path,
                                QList<Reply> replies)
{
    const QByteArray key = routeKey(method, path);
    scripts_.insert(key, std::move(replies));
    attempts_.remove(key);
}

void FakeRuntimeService::respond(const QByteArray& method, const QByteArray& path,
                                 Responder responder)
{
    responders_.insert(routeKey(method, path), std::move(responder));
}

bool FakeRuntimeService::scripted(const QByteArray& method, const QByteArray& path) const
{
    return scripts_.contains(routeKey(method, path));
}

int FakeRuntimeService::attempts(const QByteArray& method, const QByteArray& path) const
{
    return attempts_.value(routeKey(method, path));
}

void FakeRuntimeService::setRefusing(bool refusing)
{
    if (refusing) {
        if (server_)
            server_->close();
        QSet<QTcpSocket*> streaming;
        for (const QList<QPointer<QTcpSocket>>& sockets : std::as_const(streams_)) {
            for (const QPointer<QTcpSocket>& socket : sockets)
                streaming.insert(socket.data());
        }
        for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
            if (!streaming.contains(socket))
                socket->abort();
        }
        return;
    }
    if (server_ && server_->isListening())
        return;
    // The old server object still owns the accepted sockets; keep it alive beside the new one.
    if (server_) {
        QTcpServer* old = server_.release();
        old->setParent(this);
    }
    startListening(port_);
}

void FakeRuntimeService::setPlainHttp(bool plain)
{
    plainHttp_ = plain;
    setRefusing(true);
    setRefusing(false);
}

void FakeRuntimeService::requireProof(const QByteArray& path, const QString& op)
{
    proofRoutes_.insert(path, op);
}

QList<FakeRuntimeService::Request> FakeRuntimeService::requestsTo(const QByteArray& path) const
{
    QList<Request> matching;
    for (const Request& request : requests_) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

int FakeRuntimeService::openStreams(const QByteArray& path) const
{
    int open = 0;
    for (const QPointer<QTcpSocket>& socket : streams_.value(path)) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState && socket->isValid())
            ++open;
    }
    return open;
}

int FakeRuntimeService::sendEvents(const QByteArray& path, const QByteArray& chunk)
{
    int written = 0;
    for (const QPointer<QTcpSocket>& socket : streams_.value(path)) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState) {
            socket->write(chunk);
            socket->flush();
            ++written;
        }
    }
    return written;
}

void FakeRuntimeService::cutConnections()
{
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly))
        socket->abort();
}

void FakeRuntimeService::closeStreams(const QByteArray& path)
{
    const QList<QPointer<QTcpSocket>> sockets = streams_.take(path);
    for (const QPointer<QTcpSocket>& socket : sockets) {
        if (socket)
            socket->disconnectFromHost();
    }
}

void FakeRuntimeService::accept(QTcpSocket* socket)
{
    // A client that takes up the HTTP/2 offer is told apart here, and its connection is closed.
    const auto* secure = qobject_cast<QSslSocket*>(socket);
    if (secure && secure->sslConfiguration().nextNegotiatedProtocol()
                      == QSslConfiguration::ALPNProtocolHTTP2) {
        if (strict_)
            surprises_.append(QStringLiteral("negotiated HTTP/2"));
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto connection = std::make_shared<Connection>();
    connection->socket = socket;
    connection->id = ++connections_;
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this, connection] { readFrom(connection.get()); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0)
        readFrom(connection.get());
}

void FakeRuntimeService::readFrom(Connection* connection)
{
    QTcpSocket* socket = connection->socket;
    if (!socket)
        return;
    connection->buffer += socket->readAll();
    // A request begins with its method; anything else (a TLS client's hello) is refused at once,
    // as an HTTP server refuses it.
    const char first = connection->buffer.isEmpty() ? 'A' : connection->buffer.front();
    if (first < 'A' || first > 'Z') {
        send(socket, Reply::json(400, QByteArray("{}")), false);
        connection->buffer.clear();
        return;
    }
    while (!connection->busy) {
        const qsizetype headerEnd = connection->buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (connection->buffer.size() > maxHeaderBytes) {
                send(socket, Reply::json(431, QByteArray("{}")), false);
                connection->buffer.clear();
            }
            return;
        }
        const QList<QByteArray> lines = connection->buffer.left(headerEnd).split('\n');
        Request request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() != 3) {
            send(socket, Reply::json(400, QByteArray("{}")), false);
            connection->buffer.clear();
            return;
        }
        request.method = requestLine[0];
        request.target = requestLine[1];
        const qsizetype question = request.target.indexOf('?');
        request.path = QByteArray::fromPercentEncoding(request.target.left(
            question < 0 ? request.target.size() : question));
        request.query = question < 0 ? QByteArray() : request.target.mid(question + 1);
        qint64 length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            request.headers.append(std::pair<QByteArray, QByteArray>(line.left(colon).trimmed(),
                                                                     line.mid(colon + 1).trimmed()));
        }
        bool lengthOk = true;
        if (request.hasHeader("Content-Length"))
            length = request.header("Content-Length").toLongLong(&lengthOk);
        if (!lengthOk || length < 0 || length > maxBodyBytes) {
            send(socket, Reply::json(413, QByteArray("{}")), false);
            connection->buffer.clear();
            return;
        }
        if (connection->buffer.size() < headerEnd + 4 + length)
            return;
        request.body = connection->buffer.mid(headerEnd + 4, length);
        connection->buffer.remove(0, headerEnd + 4 + length);
        request.connection = connection->id;
        request.atMs = clock_.elapsed();
        if (recordLimit_ > 0 && requests_.size() >= recordLimit_) {
            requests_.remove(0, requests_.size() - recordLimit_ + 1);
        } else if (requests_.size() >= maxRequests) {
            socket->abort();
            return;
        }
        connection->busy = true;
        handle(connection, std::move(request));
    }
}

void FakeRuntimeService::handle(Connection* connection, Request request)
{
    if (std::optional<Reply> intercepted = interceptor_ ? interceptor_(request) : std::nullopt) {
        requests_.append(std::move(request));
        Q_EMIT requestReceived(int(requests_.size() - 1));
        send(connection->socket, *intercepted, false);
        return;
    }
    if (answerContent(connection, request))
        return;
    Reply reply = replyFor(request);
    const QByteArray path = request.path;
    const bool keepAlive = request.header("Connection").compare("close", Qt::CaseInsensitive) != 0;
    requests_.append(std::move(request));
    Q_EMIT requestReceived(int(requests_.size() - 1));

    QPointer<QTcpSocket> socket = connection->socket;
    auto respond = [this, socket, reply, path, keepAlive, connection] {
        if (!socket)
            return;
        if (reply.stream)
            streams_[path].append(socket);
        send(socket, reply, keepAlive);
        connection->busy = false;
        if (socket && socket->state() == QAbstractSocket::ConnectedState && !reply.stream
            && reply.fault == Fault::None)
            readFrom(connection);
    };
    if (reply.latencyMs > 0)
        QTimer::singleShot(reply.latencyMs, socket.data(), respond);
    else
        respond();
}

QString FakeRuntimeService::sha256Hex(const QByteArray& bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    unsigned int length = 0;
    EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, EVP_sha256(), nullptr);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

void FakeRuntimeService::putContent(const QByteArray& path, QByteArray bytes,
                                    QByteArray contentType)
{
    const QByteArray etag = '"' + sha256Hex(bytes).toLatin1() + '"';
    contents_.insert(path, ContentObject{std::move(bytes), etag, std::move(contentType)});
}

void FakeRuntimeService::scriptContent(const QByteArray& path, QList<ContentAnswer> answers)
{
    contentScripts_.insert(path, std::move(answers));
    contentAttempts_.remove(path);
}

bool FakeRuntimeService::answerContent(Connection* connection, Request& request)
{
    const auto found = contents_.constFind(request.path);
    if (request.method != "GET" || found == contents_.constEnd()
        || scripts_.contains(routeKey(request.method, request.path)))
        return false;
    const ContentObject object = found.value();
    const int attempt = contentAttempts_.value(request.path);
    contentAttempts_.insert(request.path, attempt + 1);
    const std::optional<ContentAnswer> judged = contentJudge_ ? contentJudge_(request) : std::nullopt;
    const ContentAnswer answer = judged ? *judged : contentScripts_.value(request.path).value(attempt);
    const auto credential = credentialRoutes_.constFind(request.path);
    if (strict_ && credential != credentialRoutes_.constEnd()
        && !request.header("Authorization").startsWith(credential.value()))
        surprises_.append(QStringLiteral("without credential GET %1")
                              .arg(QString::fromLatin1(request.path)));
    requests_.append(request);
    Q_EMIT requestReceived(int(requests_.size() - 1));

    const qint64 total = object.bytes.size();
    const std::optional<qint64> start = rangeStart(request.header("Range"));
    const bool ranged = start && request.header("If-Range") == object.etag;
    Reply reply;
    reply.headers = {{"ETag", object.etag}, {"Accept-Ranges", "bytes"}};
    const QByteArray unsatisfiable = "bytes */" + QByteArray::number(total);
    reply.status = answer.status;
    qint64 offset = 0;
    if (answer.page) {
        reply = Reply::loginPage(answer.status != 0 ? answer.status : 200);
    } else if (answer.status == 0 && ranged && *start >= total) {
        reply.status = 416;
    } else if (answer.status == 0 || answer.status == 200 || answer.status == 206) {
        offset = answer.status == 0 && ranged ? *start : 0;
        reply.status = answer.status != 0 ? answer.status : offset > 0 ? 206 : 200;
        reply.body = offset > 0 ? object.bytes.mid(offset) : object.bytes;
        if (!object.contentType.isEmpty())
            reply.headers.emplaceBack("Content-Type", object.contentType);
    } else if (answer.status != 416) {
        reply = Reply::json(answer.status, QJsonObject{{"code", "scripted"}});
    }
    reply.fault = answer.fault;
    reply.trickleBytes = answer.trickleBytes;
    reply.trickleIntervalMs = answer.trickleIntervalMs;
    if (reply.status == 416)
        reply.headers.emplaceBack("Content-Range", unsatisfiable);
    if (reply.status == 206)
        reply.headers.emplaceBack("Content-Range",
                                  !answer.contentRange.isEmpty()
                                      ? answer.contentRange
                                      : "bytes " + QByteArray::number(offset) + '-'
                                            + QByteArray::number(total - 1) + '/'
                                            + QByteArray::number(total));
    if (answer.corrupt && !reply.body.isEmpty())
        reply.body[reply.body.size() / 2] = char(reply.body.at(reply.body.size() / 2) ^ 0x5a);
    if (answer.lengthDelta > 0)
        reply.body.append(QByteArray(answer.lengthDelta, 'x'));
    else if (answer.lengthDelta < 0)
        reply.body.chop(std::min<qsizetype>(-answer.lengthDelta, reply.body.size()));
    if (answer.gzip) {
        reply.body = gzip(reply.body);
        reply.headers.emplaceBack("Content-Encoding", "gzip");
    }
    reply.headers += answer.headers;
    send(connection->socket, reply, false);
    return true;
}

void FakeRuntimeService::requireCredential(const QByteArray& path, const QByteArray& scheme)
{
    credentialRoutes_.insert(path, scheme);
}

FakeRuntimeService::Reply FakeRuntimeService::replyFor(Request& request)
{
    const QByteArray key = routeKey(request.method, request.path);
    const int attempt = attempts_.value(key);
    attempts_.insert(key, attempt + 1);

    const auto scripted = scripts_.constFind(key);
    Reply reply = fallback_;
    if (scripted != scripts_.constEnd() && !scripted.value().isEmpty())
        reply = scripted.value().at(std::min<qsizetype>(attempt, scripted.value().size() - 1));
    else if (const auto responder = responders_.constFind(key); responder != responders_.cend())
        reply = responder.value()(request);
    else if (request.method == "POST" && request.path == RuntimeWire::identityChallengeRoute)
        reply = challengeReply(request);
    else if (const std::optional<Reply> ads = adSlots_->answer(request, serverNowMs()))
        reply = *ads;
    else if (const std::optional<Reply> kv = kvStore_->answer(request))
        reply = *kv;
    else if (strict_)
        surprises_.append(QStringLiteral("unscripted %1").arg(QString::fromLatin1(key)));

    const auto credential = credentialRoutes_.constFind(request.path);
    if (strict_ && credential != credentialRoutes_.constEnd()
        && !request.header("Authorization").startsWith(credential.value())) {
        surprises_.append(QStringLiteral("without credential %1").arg(QString::fromLatin1(key)));
    }

    const auto proofRoute = proofRoutes_.constFind(request.path);
    if (proofRoute != proofRoutes_.constEnd() && request.method == "POST") {
        const QString proof = request.jsonBody().value(QLatin1String("proof")).toString();
        request.proofVerdict = verifyProof(proof, proofRoute.value());
        if (request.proofVerdict != QLatin1String("ok")) {
            return Reply::json(401, QJsonObject{{QStringLiteral("code"),
                                                 QStringLiteral("identity_proof_invalid")},
                                                {QStringLiteral("reason"), request.proofVerdict}});
        }
        // A proof counts once: its challenge and its token id are spent. A connection closed
        // without an answer has not processed the request, so the client may send it again.
        if (reply.fault != Fault::Close) {
            const QList<QByteArray> parts = proof.toLatin1().split('.');
            bool ok = false;
            const QJsonObject claims =
                QJsonDocument::fromJson(decodeBase64Url(parts[1], &ok)).object();
            usedJtis_.insert(claims.value(QLatin1String("jti")).toString());
            for (Challenge& challenge : challenges_) {
                if (challenge.nonce == claims.value(QLatin1String("nonce")).toString())
                    challenge.used = true;
            }
        }
    }
    return reply;
}

FakeRuntimeService::Reply FakeRuntimeService::challengeReply(const Request& request)
{
    const QJsonObject body = request.jsonBody();
    Challenge challenge;
    challenge.kid = body.value(QLatin1String(RuntimeWire::kidMember)).toString();
    challenge.op = body.value(QLatin1String(RuntimeWire::opMember)).toString();
    challenge.requestHash = body.value(QLatin1String(RuntimeWire::requestHashMember)).toString();
    const QJsonObject jwk = body.value(QLatin1String(RuntimeWire::publicKeyMember)).toObject();
    challenge.x = jwk.value(QLatin1String("x")).toString();
    if (challenge.kid.isEmpty() || challenge.op.isEmpty() || challenge.requestHash.isEmpty()
        || jwk.value(QLatin1String("kty")).toString() != QLatin1String("OKP")
        || jwk.value(QLatin1String("crv")).toString() != QLatin1String("Ed25519")
        || thumbprintOf(challenge.x) != challenge.kid) {
        return Reply::json(400, QJsonObject{{QStringLiteral("code"),
                                             QStringLiteral("identity_challenge_invalid")}});
    }
    QByteArray random(32, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(random.data()), 8);
    challenge.nonce = QString::fromLatin1(base64Url(random));
    // The service speaks its own clock: the expiry is on it, like the stamp it reports.
    const QDateTime serverNow =
        QDateTime::fromMSecsSinceEpoch(clockMs() + serverClockOffsetMs_, Qt::UTC);
    challenge.expiresAt = serverNow.addMSecs(challengeLifetimeMs_);
    challenges_.append(challenge);
    QJsonObject answer{{QLatin1String(RuntimeWire::nonceMember), challenge.nonce},
                       {QLatin1String(RuntimeWire::expiresAtMember), isoMs(challenge.expiresAt)}};
    if (challengeServerTime_)
        answer.insert(QLatin1String(RuntimeWire::serverTimeMember), isoMs(serverNow));
    return Reply::json(200, answer);
}

qint64 FakeRuntimeService::serverNowMs() const
{
    return heldServerNowMs_.value_or(clockMs()) + serverClockOffsetMs_;
}

QString FakeRuntimeService::verifyProof(const QString& proof, const QString& op) const
{
    const QList<QByteArray> parts = proof.toLatin1().split('.');
    if (proof.isEmpty() || parts.size() != 3)
        return QStringLiteral("proof_malformed");
    bool ok = false;
    if (decodeBase64Url(parts[0], &ok) != QByteArray(R"({"alg":"EdDSA"})") || !ok)
        return QStringLiteral("header_invalid");
    const QByteArray claimsText = decodeBase64Url(parts[1], &ok);
    if (!ok)
        return QStringLiteral("claims_malformed");
    const QJsonObject claims = QJsonDocument::fromJson(claimsText).object();
    // The members are in alphabetical order, so a compact re-serialisation must give back the
    // same bytes when every member is present, in order and of the right type.
    static const QStringList members{"aud", "exp", "iat", "jti", "kid", "nonce", "op",
                                     "request_hash"};
    if (claims.keys() != members
        || QJsonDocument(claims).toJson(QJsonDocument::Compact) != claimsText)
        return QStringLiteral("claims_order_invalid");
    if (claims.value(QLatin1String("aud")).toString() != QLatin1String("talvorine-runtime"))
        return QStringLiteral("audience_invalid");
    if (claims.value(QLatin1String("op")).toString() != op)
        return QStringLiteral("op_mismatch");
    const QString nonce = claims.value(QLatin1String("nonce")).toString();
    const Challenge* challenge = nullptr;
    for (const Challenge& candidate : challenges_) {
        if (candidate.nonce == nonce)
            challenge = &candidate;
    }
    if (!challenge)
        return QStringLiteral("nonce_unknown");
    if (challenge->used)
        return QStringLiteral("nonce_used");
    const QDateTime now =
        QDateTime::fromMSecsSinceEpoch(clockMs() + serverClockOffsetMs_, Qt::UTC);
    if (challenge->expiresAt <= now)
        return QStringLiteral("nonce_expired");
    if (claims.value(QLatin1String("kid")).toString() != challenge->kid
        || challenge->op != op)
        return QStringLiteral("challenge_mismatch");
    if (claims.value(QLatin1String("request_hash")).toString() != challenge->requestHash)
        return QStringLiteral("request_hash_mismatch");
    const QString jti = claims.value(QLatin1String("jti")).toString();
    if (jti.size() != 43 || usedJtis_.contains(jti))
        return QStringLiteral("jti_reused");
    const qint64 iat = claims.value(QLatin1String("iat")).toInteger();
    const qint64 exp = claims.value(QLatin1String("exp")).toInteger();
    const qint64 serverNow = now.toSecsSinceEpoch();
    if (iat <= 0 || exp <= iat || exp > iat + 120
        || exp > challenge->expiresAt.toSecsSinceEpoch() || exp < serverNow
        || iat > serverNow + 60)
        return QStringLiteral("time_invalid");
    const QByteArray signature = decodeBase64Url(parts[2], &ok);
    if (!ok)
        return QStringLiteral("signature_malformed");
    const QByteArray publicKey = decodeBase64Url(challenge->x.toLatin1(), &ok);
    if (!verifyEd25519(publicKey, parts[0] + '.' + parts[1], signature))
        return QStringLiteral("signature_invalid");
    return QStringLiteral("ok");
}

void FakeRuntimeService::send(QPointer<QTcpSocket> socket, const Reply& reply, bool keepAlive)
{
    if (!socket)
        return;
    if (reply.fault == Fault::Close) {
        socket->abort();
        return;
    }
    if (reply.fault == Fault::Silent)
        return;
    const bool stream = reply.stream;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
                      + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    if (stream) {
        head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
        socket->write(head + reply.body);
        socket->flush();
        return;
    }
    const bool bodyless = reply.status == 204 || reply.status == 304;
    if (!bodyless)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    const bool close = !keepAlive || reply.fault != Fault::None;
    head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    if (reply.fault == Fault::Stall || reply.fault == Fault::DropMidBody) {
        socket->write(head + reply.body.left(reply.body.size() / 2));
        socket->flush();
        if (reply.fault == Fault::DropMidBody)
            socket->disconnectFromHost();
        return;
    }
    if (reply.trickleBytes > 0) {
        socket->write(head);
        auto* trickle = new QTimer(socket);
        trickle->setTimerType(Qt::PreciseTimer);
        qint64 next = 0;
        QObject::connect(trickle, &QTimer::timeout, socket, [socket, trickle, reply, next]() mutable {
            // As a real origin's writes wait on its peer: one slice at most waits beyond what the
            // connection takes, so that a large body never piles up whole in the event loop the
            // player shares, to be copied and freed there.
            if (socket->bytesToWrite() > reply.trickleBytes)
                return;
            socket->write(reply.body.mid(next, reply.trickleBytes));
            next += reply.trickleBytes;
            if (next >= reply.body.size()) {
                trickle->stop();
                socket->disconnectFromHost();
            }
        });
        trickle->start(std::max(1, reply.trickleIntervalMs));
        return;
    }
    socket->write(bodyless ? head : head + reply.body);
    socket->flush();
    if (close)
        socket->disconnectFromHost();
}

} // namespace talvorine::test
