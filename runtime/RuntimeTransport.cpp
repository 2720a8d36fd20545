#include "runtime/RuntimeTransport.h"

#include "app/DevFileLog.h"
#include "app/DevLogNetworkAccessManager.h"
#include "app/PlatformEnvironment.h"
#include "app/PlayerEnvironment.h"
#include "overlay/ScreenToast.h"
#include "runtime/RuntimeWireContract.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace W = RuntimeWire;

namespace {

// Cookies are never part of the conversation with the service: none stored, none sent.
class RejectingCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

bool validSessionCredential(const QString& credential)
{
    static const QRegularExpression pattern(QStringLiteral("\\Atvs_[A-Za-z0-9_-]+\\z"));
    return pattern.match(credential).hasMatch();
}

bool validPrimitiveId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z][A-Za-z0-9_-]{0,63}\\z"));
    return pattern.match(id).hasMatch();
}

bool validEventCode(const QString& code)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9._-]{1,64}\\z"));
    return pattern.match(code).hasMatch();
}

// The longest log message an application may send, in UTF-8 bytes.
constexpr qsizetype maxApplicationLogBytes = 2048;

QDateTime parseStamp(const QJsonValue& value)
{
    if (!value.isString())
        return {};
    QDateTime at = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!at.isValid())
        at = QDateTime::fromString(value.toString(), Qt::ISODate);
    return at.isValid() ? at.toUTC() : QDateTime();
}

// Whole milliseconds, rounded up: the service's stamp lies somewhere inside the round trip,
// and a band must never be narrower than what is known.
qint64 roundTripMs(const QElapsedTimer& timer)
{
    return (timer.nsecsElapsed() + 999999) / 1000000;
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// Scheme, host and effective port, compared the way a browser compares origins.
bool sameOrigin(const QUrl& a, const QUrl& b)
{
    if (!a.isValid() || !b.isValid())
        return false;
    const QString scheme = a.scheme().toLower();
    if (scheme != b.scheme().toLower() || (scheme != QLatin1String("https")
                                           && scheme != QLatin1String("http")))
        return false;
    const int defaultPort = scheme == QLatin1String("https") ? 443 : 80;
    return a.host(QUrl::FullyDecoded).toLower() == b.host(QUrl::FullyDecoded).toLower()
        && a.port(defaultPort) == b.port(defaultPort);
}

// The media type alone decides, in any case; parameters such as a charset may follow.
bool isEventStreamType(const QByteArray& contentType)
{
    const qsizetype end = contentType.indexOf(';');
    const QByteArray media = (end < 0 ? contentType : contentType.left(end)).trimmed();
    return media.compare(RuntimeWire::eventStreamType, Qt::CaseInsensitive) == 0;
}

const char* const tooLargeProperty = "talvorineTooLarge";
// When a request to the service was asked, on monotonicMs().
const char* const askedAtProperty = "talvorineAskedAtMs";

bool cutForSize(const QNetworkReply* reply)
{
    return reply->property(tooLargeProperty).toBool();
}

// The body of a capped reply, gathered as it arrives: Qt holds at most the read buffer unread,
// a declared length over the cap is refused at the headers, and nothing more is read once the
// cap is passed, so a reply costs at most its cap however much a server sends and however long
// the GUI thread is busy. An event stream's own body belongs to the stream: only a refusal's
// body is gathered for it.
class CappedBody : public QObject {
public:
    enum class Gather { EveryAnswer, RefusalOnly };

    // HTTP/2 is not offered: Qt 6.4's HTTP/2 client keeps granting the server flow-control
    // credit whatever the reply has read, so only over HTTP/1.1 does a full read buffer hold
    // the server back.
    static QNetworkRequest prepared(QNetworkRequest request)
    {
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        return request;
    }

    static void attach(QNetworkReply* reply, qint64 cap, Gather gather)
    {
        reply->setReadBufferSize(RuntimeTransport::replyReadBufferBytes);
        auto* body = new CappedBody(reply, cap, gather);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, body, &CappedBody::checkDeclared);
        QObject::connect(reply, &QNetworkReply::readyRead, body, &CappedBody::gather);
    }

    // The whole body of a finished reply; empty when it was cut for its size.
    static QByteArray take(QNetworkReply* reply)
    {
        for (QObject* child : reply->children()) {
            if (auto* body = dynamic_cast<CappedBody*>(child)) {
                body->gather();
                return cutForSize(reply) ? QByteArray() : std::exchange(body->bytes_, {});
            }
        }
        return {};
    }

private:
    CappedBody(QNetworkReply* reply, qint64 cap, Gather gather)
        : QObject(reply), reply_(reply), cap_(cap), gather_(gather)
    {
    }

    bool applies() const
    {
        if (gather_ == Gather::EveryAnswer)
            return true;
        const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status != 0 && !isSuccess(status);
    }

    void checkDeclared()
    {
        if (!applies())
            return;
        bool declared = false;
        const qint64 length =
            reply_->header(QNetworkRequest::ContentLengthHeader).toLongLong(&declared);
        if (declared && length > cap_)
            cut();
        else if (declared && length > bytes_.size())
            bytes_.reserve(qsizetype(length));
    }

    void gather()
    {
        if (cutForSize(reply_) || !applies() || !reply_->isOpen())
            return;
        // Only what has arrived: asked for the whole remaining cap, Qt would reserve that much
        // (64 MiB of address space for a manifest) on every read, however little has come.
        bytes_ += reply_->read(std::min(reply_->bytesAvailable(), cap_ + 1 - bytes_.size()));
        if (bytes_.size() > cap_)
            cut();
    }

    void cut()
    {
        if (cutForSize(reply_))
            return;
        reply_->setProperty(tooLargeProperty, true);
        bytes_ = {};
        // Not from inside the reply's own signal: the reply may be finishing.
        QMetaObject::invokeMethod(reply_, &QNetworkReply::abort, Qt::QueuedConnection);
    }

    QNetworkReply* reply_;
    qint64 cap_;
    Gather gather_;
    QByteArray bytes_;
};

void logEvent(const char* name, const QJsonObject& fields = {})
{
    DevFileLog::record(QLatin1String(name), fields);
}

// What the service sends decides how often these are written: folded per event and code.
void logServiceCaused(const char* name, const QString& code = {}, const QJsonObject& fields = {})
{
    DevFileLog::recordFolded(QLatin1String(name), code, fields,
                             QDateTime::currentMSecsSinceEpoch());
}

} // namespace

RuntimeTransport::RuntimeTransport(QUrl apiBase, QString deviceCredentialPath,
                                   QString pairingSessionPath, QString playerIdentityPath,
                                   QObject* parent)
    : QObject(parent)
    , manager_(std::make_unique<DevLogNetworkAccessManager>())
    , credentialStore_(std::move(deviceCredentialPath))
    , pairingStore_(std::move(pairingSessionPath))
    , identityStore_(std::move(playerIdentityPath))
{
    qRegisterMetaType<talvorine::ScreenshotRequest>();
    registerAdMetaTypes();
    monotonic_.start();
    manager_->setCookieJar(new RejectingCookieJar(manager_.get()));
    manager_->setTransferTimeout(transferTimeoutMs);

    origin_ = serviceOrigin(apiBase);

    for (Stream* stream : {&runtimeStream_, &pairingStream_}) {
        stream->stallTimer.setSingleShot(true);
        stream->reconnectTimer.setSingleShot(true);
    }
    connect(&runtimeStream_.stallTimer, &QTimer::timeout, this, [this] {
        logEvent("runtime.stream_stalled");
        runtimeStreamDropped();
    });
    // Named, so that a test fires it instead of waiting out a back-off.
    runtimeStream_.reconnectTimer.setParent(this);
    runtimeStream_.reconnectTimer.setObjectName(QStringLiteral("runtimeStreamReconnectTimer"));
    connect(&runtimeStream_.reconnectTimer, &QTimer::timeout, this, [this] {
        using Hurry = Stream::Hurry;
        runtimeStream_.hurry =
            runtimeStream_.hurry == Hurry::Hurried ? Hurry::Spent : Hurry::Allowed;
        openRuntimeStream();
    });
    connect(&pairingStream_.stallTimer, &QTimer::timeout, this, [this] {
        failPairingStream(QStringLiteral("pairing_stream_stalled"), 0, -1, true);
    });
    reachTimer_.setParent(this);
    reachTimer_.setObjectName(QStringLiteral("serviceReachTimer"));
    reachTimer_.setSingleShot(true);
    reachTimer_.setInterval(int(ServiceReach::lastingOutageMs));
    connect(&reachTimer_, &QTimer::timeout, this, [this] { sayReach(serviceReach_.lasted()); });
}

QUrl RuntimeTransport::serviceOrigin(const QUrl& apiBase)
{
    const QUrl cleaned = apiBase.adjusted(QUrl::RemovePath | QUrl::RemoveQuery
                                          | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    // The session credential travels with every request: in the clear only to this machine.
    const QString scheme = cleaned.scheme().toLower();
    const bool local = environmentFromOrigin(cleaned) == PlayerEnvironment::Local;
    if (cleaned.isValid() && !cleaned.host().isEmpty()
        && (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && local)))
        return cleaned;
    return {};
}

QString RuntimeTransport::originProblem(const QUrl& apiBase)
{
    if (apiBase.isEmpty())
        return QStringLiteral("it is empty");
    if (!apiBase.isValid() || apiBase.host().isEmpty())
        return QStringLiteral("it is not a URL with a scheme and a host, such as https://HOST");
    const QString scheme = apiBase.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return QStringLiteral("its scheme must be https, or plain http for a service on this "
                              "machine (localhost, 127.0.0.1, ::1)");
    if (serviceOrigin(apiBase).isEmpty())
        return QStringLiteral("plain http reaches only a service on this machine (localhost, "
                              "127.0.0.1, ::1); use https");
    const QString path = apiBase.path();
    if (!apiBase.userInfo().isEmpty() || (!path.isEmpty() && path != QLatin1String("/"))
        || apiBase.hasQuery())
        return QStringLiteral("user information, a path or a query is no part of an origin and "
                              "is left out");
    return {};
}

RuntimeTransport::~RuntimeTransport()
{
    stopStream(runtimeStream_);
    stopStream(pairingStream_);
    if (mintReply_) {
        mintReply_->disconnect(this);
        mintReply_->abort();
    }
}

QNetworkAccessManager* RuntimeTransport::networkAccessManager() const
{
    return manager_.get();
}

QNetworkReply* RuntimeTransport::getContent(const QNetworkRequest& request)
{
    QNetworkReply* reply = manager_->get(CappedBody::prepared(request));
    reply->setReadBufferSize(replyReadBufferBytes);
    // An object from the service's own origin is one more of its answers; one from elsewhere
    // says nothing of the service. Its body is the caller's: a page in a 2xx is known by its
    // head.
    if (sameOrigin(request.url(), origin_))
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            noteServiceReply(
                reply, ReplySource::Content,
                isSuccess(status)
                    && ServiceReach::htmlType(
                        reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()));
        });
    return reply;
}

int RuntimeTransport::stallBoundMs(const char* variable, int fallbackMs)
{
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,9}\\z"));
    const QString text = qEnvironmentVariable(variable);
    if (!digits.match(text).hasMatch())
        return fallbackMs;
    const int value = text.toInt();
    return value >= stallMinimumMs && value <= stallMaximumMs ? value : fallbackMs;
}

// --- session state and small accessors -----------------------------------------------------

bool RuntimeTransport::hasRuntimeSession() const
{
    return validSessionCredential(sessionCredential_);
}

void RuntimeTransport::forgetRuntimeSession()
{
    sessionCredential_.clear();
    sessionExpiresAt_ = {};
    sessionCapabilities_.clear();
    manifestVersions_.clear();
}

bool RuntimeTransport::hasSessionCapability(const QString& name) const
{
    return hasRuntimeSession() && sessionCapabilities_.contains(name);
}

bool RuntimeTransport::adslotsNegotiated() const
{
    return hasRuntimeSession() && sessionCapabilities_.contains(QStringLiteral("adslot-v1"))
        && manifestVersions_.contains(2) && manifestVersions_.contains(3);
}

bool RuntimeTransport::authorizeRuntimeRequest(QNetworkRequest& request) const
{
    if (!hasRuntimeSession() || !sameOrigin(request.url(), origin_))
        return false;
    request.setRawHeader("Authorization", QByteArray(W::sessionScheme) + sessionCredential_.toLatin1());
    return true;
}

bool RuntimeTransport::hasDeviceCredential() const
{
    return deviceBound_;
}

void RuntimeTransport::clearDeviceCredential()
{
    deviceCredential_.clear();
    deviceBound_ = false;
    credentialStore_.clear();
}

void RuntimeTransport::setHostContext(const HostContext& context)
{
    hostContext_ = context;
}

void RuntimeTransport::setPlayerRelease(const QString& version, const QString& revision)
{
    releaseVersion_ = version;
    releaseRevision_ = revision;
}

QJsonObject RuntimeTransport::playerObject() const
{
    return QJsonObject{{key(W::playerKindMember), QLatin1String(W::playerKind)},
                       {key(W::playerVersionMember), releaseVersion_},
                       {key(W::playerRevisionMember), releaseRevision_}};
}

void RuntimeTransport::clearPairingSession()
{
    pairing_ = {};
    // A start the service never answered stays remembered: sent again after a restart with the
    // same key, it cannot open a second pairing for this screen. A saved session replaces it.
    if (pairingStore_.loadStartIdempotencyKey().isEmpty())
        pairingStore_.clear();
}

bool RuntimeTransport::hasPairingCredential() const
{
    return NativePairingStore::validPairingCredential(pairing_.pairingCredential);
}

std::pair<QString, QDateTime> RuntimeTransport::storedPairingLocator() const
{
    return pairingStore_.locator();
}

QString RuntimeTransport::pendingPairingStartKey() const
{
    return pairingStore_.loadStartIdempotencyKey();
}

void RuntimeTransport::rememberPairingStartKey(const QString& key)
{
    pairingStore_.saveStartIdempotencyKey(key);
}

void RuntimeTransport::clearPairingStartKey()
{
    pairingStore_.clearStartIdempotencyKey();
}

bool RuntimeTransport::adoptStoredPairingCredential()
{
    const std::optional<NativePairingSession> stored = pairingStore_.load();
    if (!stored)
        return false;
    pairing_ = *stored;
    return true;
}

// --- requests ------------------------------------------------------------------------------

QUrl RuntimeTransport::routeUrl(const char* route) const
{
    if (origin_.isEmpty())
        return {};
    QUrl url = origin_;
    url.setPath(QLatin1String(route));
    return url;
}

QNetworkRequest RuntimeTransport::jsonRequest(const QUrl& url, int timeoutMs) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept", W::jsonType);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(timeoutMs > 0 ? timeoutMs : transferTimeoutMs);
    return request;
}

bool RuntimeTransport::sessionRequest(QNetworkRequest& request) const
{
    return authorizeRuntimeRequest(request);
}

QNetworkReply* RuntimeTransport::send(const QByteArray& method, QNetworkRequest request,
                                      const QByteArray& body, qint64 byteLimit,
                                      AnswerHandler handler)
{
    if (!body.isEmpty() && request.header(QNetworkRequest::ContentTypeHeader).isNull()
        && request.rawHeader("Content-Type").isEmpty())
        request.setRawHeader("Content-Type", W::jsonType);
    request = CappedBody::prepared(std::move(request));
    QNetworkReply* reply = nullptr;
    if (method == "GET")
        reply = manager_->get(request);
    else if (method == "POST")
        reply = manager_->post(request, body);
    else if (method == "PUT")
        reply = manager_->put(request, body);
    else if (method == "DELETE" && body.isEmpty())
        reply = manager_->deleteResource(request);
    else
        reply = manager_->sendCustomRequest(request, method, body);
    reply->setProperty(askedAtProperty, monotonicMs());

    CappedBody::attach(reply, byteLimit, CappedBody::Gather::EveryAnswer);
    connect(reply, &QNetworkReply::finished, this, [this, reply, handler = std::move(handler)] {
        reply->deleteLater();
        Answer answer;
        answer.reply = reply;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = CappedBody::take(reply);
        // No route answers with HTML: a page in a 2xx is what a network's login page or an
        // inspecting proxy says in the service's place, and it delivered nothing. Its handler
        // takes it as no answer at all; only this record keeps what came.
        const bool pageInPlace = reply->error() == QNetworkReply::NoError
            && ServiceReach::pageInPlace(
                answer.status, reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(),
                answer.body.size());
        if (pageInPlace) {
            logServiceCaused("runtime.answer_not_service", {},
                             QJsonObject{{QStringLiteral("status"), answer.status},
                                         {QStringLiteral("path"), reply->url().path()}});
            answer.status = 0;
            answer.body.clear();
        }
        answer.ok = isSuccess(answer.status) && reply->error() == QNetworkReply::NoError
            && !cutForSize(reply);
        handler(answer);
        // After the handler: a stream it opens (a session minted) needs no hurrying.
        noteServiceReply(reply, ReplySource::Api, pageInPlace);
        if (answer.ok)
            Q_EMIT serviceAnswered();
    });
    return reply;
}

RuntimeTransport::Failure RuntimeTransport::streamFailureOf(QNetworkReply* reply,
                                                            int status) const
{
    Answer answer;
    answer.reply = reply;
    answer.status = status;
    answer.body = CappedBody::take(reply);
    return failureOf(answer, RuntimeCompat::MintKind::Other);
}

RuntimeTransport::Failure RuntimeTransport::failureOf(const Answer& answer,
                                                      RuntimeCompat::MintKind kind) const
{
    Failure failure;
    QByteArray retryAfter;
    QByteArray date;
    if (answer.reply) {
        retryAfter = answer.reply->rawHeader("Retry-After");
        date = answer.reply->rawHeader("Date");
    }
    // A 2xx that broke off, or was cut for its size, did not really answer.
    const int status = isSuccess(answer.status) ? 0 : answer.status;
    failure.decision = RuntimeCompat::decideProblem(status, answer.body, retryAfter, date, kind,
                                                    QDateTime::currentDateTimeUtc());
    if (answer.reply && cutForSize(answer.reply))
        failure.decision.code = QStringLiteral("runtime_reply_too_large");
    failure.code = failure.decision.code;
    failure.status = failure.decision.status;
    failure.retryAfterMs = int(std::clamp<qint64>(failure.decision.retryAfterMs, -1,
                                                  RuntimeCompat::maxDelayMs));
    failure.transient = RuntimeCompat::isTransient(failure.decision);
    return failure;
}

void RuntimeTransport::noteUnauthorized(const QString& credentialUsed)
{
    // Only the credential in use is announced, once: it is forgotten here, so later 401s for
    // it, and 401s for credentials replaced since, are answers about a session already gone.
    if (credentialUsed.isEmpty() || credentialUsed != sessionCredential_)
        return;
    sessionCredential_.clear();
    sessionCapabilities_.clear();
    manifestVersions_.clear();
    Q_EMIT runtimeSessionExpired();
}

// --- identity-bound exchanges ----------------------------------------------------------------

void RuntimeTransport::identityExchange(const QString& op, const QList<QString>& parts,
                                        const char* route, QJsonObject body,
                                        QNetworkRequest request, QPointer<QNetworkReply>* track,
                                        AnswerHandler onAnswer, FailureHandler onFailure)
{
    const Failure unavailable{QStringLiteral("identity_unavailable"), 0, -1, false, {}};
    const QString requestHash = nativeIdentityRequestHash(op, parts);
    const std::optional<NativePlayerIdentity> identity = identityStore_.load();
    const QUrl challengeUrl = routeUrl(W::identityChallengeRoute);
    if (requestHash.isEmpty() || !identity) {
        onFailure(unavailable);
        return;
    }
    if (challengeUrl.isEmpty()) {
        onFailure({QStringLiteral("runtime_origin_invalid"), 0, -1, false, {}});
        return;
    }
    const QJsonObject challenge{{key(W::kidMember), identity->kid},
                                {key(W::opMember), op},
                                {key(W::requestHashMember), requestHash},
                                {key(W::publicKeyMember), identityStore_.publicKey()}};
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    QNetworkReply* reply = send(
        "POST", jsonRequest(challengeUrl), compact(challenge), replyByteLimit,
        [this, op, requestHash, kid = identity->kid, route, body, request, track, onAnswer,
         onFailure, unavailable, timer](const Answer& answer) mutable {
            if (!answer.ok) {
                Failure failure = failureOf(answer, RuntimeCompat::MintKind::IdentityChallenge);
                onFailure(failure);
                return;
            }
            const QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
            const QString nonce = reply.value(key(W::nonceMember)).toString();
            const QDateTime expiresAt = parseStamp(reply.value(key(W::expiresAtMember)));
            const QDateTime serverTime = parseStamp(reply.value(key(W::serverTimeMember)));
            clockOffsetMs_ = 0;
            if (serverTime.isValid()) {
                clockOffsetMs_ = serverTime.toMSecsSinceEpoch() - localNowMs();
                mergeServiceTimeSample(serverTime.toMSecsSinceEpoch(), roundTripMs(*timer));
            }
            if (nonce.size() != 43 || !expiresAt.isValid()) {
                onFailure({QStringLiteral("identity_challenge_contract_invalid"), answer.status,
                           -1, false, {}});
                return;
            }
            // The signer reads the machine's clock itself: the offset brings it to the local
            // clock corrected by the service's time (the same unless a test gives another).
            const qint64 signingOffsetMs =
                localNowMs() + clockOffsetMs_ - QDateTime::currentMSecsSinceEpoch();
            const std::optional<QString> proof =
                identityStore_.signCompactJws(op, nonce, expiresAt, requestHash, signingOffsetMs);
            if (!proof || proof->isEmpty()) {
                onFailure(unavailable);
                return;
            }
            body.insert(key(W::kidMember), kid);
            body.insert(key(W::proofMember), *proof);
            request.setUrl(routeUrl(route));
            QNetworkReply* next = send("POST", request, compact(body), replyByteLimit, onAnswer);
            if (track)
                *track = next;
        });
    if (track)
        *track = reply;
}

// --- pairing -------------------------------------------------------------------------------

void RuntimeTransport::startPairing(const QString& idempotencyKey)
{
    auto fail = [this](const Failure& failure) {
        if (!failure.transient)
            pairingStore_.clearStartIdempotencyKey();
        Q_EMIT pairingStartFailed(failure.code, failure.status, failure.retryAfterMs,
                                  failure.transient);
    };
    QNetworkRequest request = jsonRequest(routeUrl(W::pairingStartRoute));
    request.setRawHeader(W::idempotencyKeyHeader, idempotencyKey.toUtf8());
    const QJsonObject body{{key(W::hostMember), hostContext_.toJson()},
                           {key(W::playerMember), playerObject()}};
    identityExchange(
        QStringLiteral("pairing.start"), {idempotencyKey}, W::pairingStartRoute, body, request,
        nullptr,
        [this, fail](const Answer& answer) {
            if (!answer.ok) {
                fail(failureOf(answer, RuntimeCompat::MintKind::Other));
                return;
            }
            const QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
            NativePairingSession session;
            session.code = reply.value(key(W::pairingCodeMember)).toString();
            session.pairingCredential = reply.value(key(W::pairingCredentialMember)).toString();
            session.expiresAt = parseStamp(reply.value(key(W::expiresAtMember)));
            if (!NativePairingStore::validLocator(session.code)
                || !NativePairingStore::validPairingCredential(session.pairingCredential)
                || !session.expiresAt.isValid()) {
                fail({QStringLiteral("pairing_start_contract_invalid"), answer.status, -1, false,
                      {}});
                return;
            }
            pairingStore_.save(session);
            pairing_ = session;
            Q_EMIT pairingStarted(session.code, session.expiresAt);
        },
        fail);
}

void RuntimeTransport::openPairingEvents()
{
    closePairingEvents();
    if (!hasPairingCredential()) {
        Q_EMIT pairingEventFailed(QStringLiteral("pairing_credential_unavailable"), 0, -1, false);
        return;
    }
    const QUrl url = routeUrl(W::pairingEventsRoute);
    if (url.isEmpty()) {
        Q_EMIT pairingEventFailed(QStringLiteral("runtime_origin_invalid"), 0, -1, false);
        return;
    }
    QNetworkRequest request(url);
    request.setRawHeader("Accept", W::eventStreamType);
    request.setRawHeader("Authorization",
                         QByteArray(W::pairingScheme) + pairing_.pairingCredential.toLatin1());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    pairingStream_.parser.reset();
    pairingStream_.wanted = true;
    QNetworkReply* reply = manager_->get(CappedBody::prepared(request));
    pairingStream_.reply = reply;
    CappedBody::attach(reply, replyByteLimit, CappedBody::Gather::RefusalOnly);
    const int stallMs = stallBoundMs(W::pairingStreamStallEnv, pairingStallDefaultMs);
    pairingStream_.stallTimer.start(stallMs);
    // Only a 2xx answer of the event-stream type is a stream; other answers are reported whole
    // by the finished handler.
    auto acceptHeaders = [this, reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!isSuccess(status))
            return false;
        const QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        if (ServiceReach::htmlType(type)) {
            // A page in the service's place: nothing the service said, so no answer at all.
            noteReach(ServiceReach::verdictOf(status, reply->error(), {}, true), ReplySource::Api);
            failPairingStream(QStringLiteral("pairing_stream_contract_invalid"), 0, -1, true);
            return false;
        }
        if (!isEventStreamType(type)) {
            failPairingStream(QStringLiteral("pairing_stream_contract_invalid"), status, -1,
                              false);
            return false;
        }
        return true;
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply, acceptHeaders] {
        if (pairingStream_.reply == reply)
            acceptHeaders();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, stallMs, acceptHeaders] {
        if (pairingStream_.reply != reply || !acceptHeaders())
            return;
        pairingStream_.stallTimer.start(stallMs);
        for (const SseEvent& event : pairingStream_.parser.push(reply->readAll())) {
            if (event.overflow) {
                logEvent("runtime.sse_overflow");
                continue;
            }
            const QJsonObject object = QJsonDocument::fromJson(event.data).object();
            QString type = object.value(key(W::eventTypeMember)).toString();
            if (type.isEmpty())
                type = event.event;
            if (type != QLatin1String(W::pairingClaimedEvent))
                continue;
            QJsonValue nonce = object.value(key(W::eventDetailsMember))
                                   .toObject()
                                   .value(key(W::nonceMember));
            if (!nonce.isString())
                nonce = object.value(key(W::nonceMember));
            if (nonce.isString() && !nonce.toString().isEmpty())
                Q_EMIT pairingClaimed(nonce.toString());
            if (pairingStream_.reply != reply)
                return; // a handler closed the stream
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (pairingStream_.reply != reply)
            return;
        onPairingStreamFinished();
    });
}

void RuntimeTransport::onPairingStreamFinished()
{
    QNetworkReply* reply = pairingStream_.reply;
    noteServiceReply(reply, ReplySource::Api);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && !isSuccess(status)) {
        const Failure failure = streamFailureOf(reply, status);
        failPairingStream(failure.code, failure.status, failure.retryAfterMs, failure.transient);
        return;
    }
    failPairingStream(QStringLiteral("pairing_stream_closed"), 0, -1, true);
}

void RuntimeTransport::failPairingStream(const QString& code, int status, int retryAfterMs,
                                         bool transient)
{
    stopStream(pairingStream_);
    Q_EMIT pairingEventFailed(code, status, retryAfterMs, transient);
}

void RuntimeTransport::closePairingEvents()
{
    stopStream(pairingStream_);
}

void RuntimeTransport::stopStream(Stream& stream)
{
    stream.wanted = false;
    stream.connected = false;
    stream.stallTimer.stop();
    stream.reconnectTimer.stop();
    if (QNetworkReply* reply = stream.reply) {
        stream.reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void RuntimeTransport::completePairing(const QString& nonce)
{
    auto fail = [this](const Failure& failure) {
        Q_EMIT pairingCompleteFailed(failure.code, failure.status, failure.retryAfterMs,
                                     failure.transient);
    };
    if (!hasPairingCredential()) {
        fail({QStringLiteral("pairing_credential_unavailable"), 0, -1, false, {}});
        return;
    }
    QNetworkRequest request = jsonRequest(routeUrl(W::pairingCompleteRoute));
    request.setRawHeader("Authorization",
                         QByteArray(W::pairingScheme) + pairing_.pairingCredential.toLatin1());
    const QJsonObject body{{key(W::nonceMember), nonce}};
    identityExchange(
        QStringLiteral("pairing.complete"), {pairing_.pairingCredential, nonce},
        W::pairingCompleteRoute, body, request, nullptr,
        [this, fail](const Answer& answer) {
            if (!answer.ok) {
                fail(failureOf(answer, RuntimeCompat::MintKind::Other));
                return;
            }
            const QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
            const QJsonValue label = reply.value(key(W::screenLabelMember));
            if (!label.isString()) {
                fail({QStringLiteral("pairing_complete_contract_invalid"), answer.status, -1,
                      false, {}});
                return;
            }
            pairingStore_.clear();
            credentialStore_.clear();
            pairing_ = {};
            const QString credential = reply.value(key(W::deviceCredentialMember)).toString();
            if (NativeCredentialStore::validDeviceCredential(credential)) {
                deviceCredential_ = credential;
                deviceBound_ = true;
            }
            Q_EMIT pairingCompleted(label.toString());
        },
        fail);
}

// --- runtime sessions ------------------------------------------------------------------------

void RuntimeTransport::createDeviceSession(const QString& idempotencyKey)
{
    if (mintInFlight_)
        abortDeviceSession();
    mintInFlight_ = true;
    QNetworkRequest request = jsonRequest(routeUrl(W::sessionMintRoute));
    request.setRawHeader(W::idempotencyKeyHeader, idempotencyKey.toUtf8());
    QJsonObject body{{key(W::hostMember), hostContext_.toJson()},
                     {key(W::playerMember), playerObject()}};
    if (!deviceCredential_.isEmpty())
        body.insert(key(W::deviceCredentialMember), deviceCredential_);
    identityExchange(
        QStringLiteral("session.mint"), {idempotencyKey}, W::sessionMintRoute, body, request,
        &mintReply_, [this](const Answer& answer) { finishMint(answer); },
        [this](const Failure& failure) {
            mintInFlight_ = false;
            mintReply_ = nullptr;
            lastMintDecision_ = failure.decision;
            if (failure.decision.code.isEmpty()) {
                lastMintDecision_.code = failure.code;
                lastMintDecision_.status = failure.status;
            }
            Q_EMIT deviceSessionFailed(failure.code, failure.status, failure.retryAfterMs,
                                       failure.transient);
        });
}

void RuntimeTransport::finishMint(const Answer& answer)
{
    mintInFlight_ = false;
    mintReply_ = nullptr;
    auto fail = [this](const Failure& failure) {
        lastMintDecision_ = failure.decision;
        if (lastMintDecision_.code.isEmpty()) {
            lastMintDecision_.code = failure.code;
            lastMintDecision_.status = failure.status;
        }
        Q_EMIT deviceSessionFailed(failure.code, failure.status, failure.retryAfterMs,
                                   failure.transient);
    };
    if (!answer.ok) {
        if (answer.status == 401 || answer.status == 403 || answer.status == 404)
            clearDeviceCredential();
        fail(failureOf(answer, RuntimeCompat::MintKind::DeviceSession));
        return;
    }
    const QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
    const QString session = reply.value(key(W::sessionMember)).toString();
    if (!validSessionCredential(session)) {
        fail({QStringLiteral("device_session_contract_invalid"), answer.status, -1, false, {}});
        return;
    }
    sessionCredential_ = session;
    sessionExpiresAt_ = parseStamp(reply.value(key(W::expiresAtMember)));
    sessionCapabilities_ = SdkBridge::readSessionCapabilities(reply.value(key(W::capabilitiesMember)));
    manifestVersions_.clear();
    for (const QJsonValue& version : reply.value(key(W::manifestVersionsMember)).toArray()) {
        if (version.isDouble() && version.toDouble() == double(version.toInt()))
            manifestVersions_.append(version.toInt());
    }
    const QString credential = reply.value(key(W::deviceCredentialMember)).toString();
    if (NativeCredentialStore::validDeviceCredential(credential))
        deviceCredential_ = credential;
    deviceBound_ = true;
    lastMintDecision_ = {};
    const QJsonValue credits = reply.value(key(W::creditsRemainingMember));
    if (credits.isDouble() && credits.toDouble() >= 0
        && credits.toDouble() == double(credits.toInteger()))
        Q_EMIT creditsRemainingChanged(credits.toInteger());
    const QJsonObject compatibility = reply.value(key(W::compatibilityMember)).toObject();
    if (compatibility.value(key(W::recommendedMember)).toBool())
        Q_EMIT upgradeRecommended(compatibility.value(key(W::compatibilityKindMember)).toString(),
                                  compatibility.value(key(W::minSupportedMember)).toString());
    Q_EMIT deviceSessionSucceeded(reply.value(key(W::eventCursorMember)).toString());
}

void RuntimeTransport::abortDeviceSession()
{
    if (!mintInFlight_)
        return;
    mintInFlight_ = false;
    if (QNetworkReply* reply = mintReply_) {
        mintReply_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    Failure failure{QStringLiteral("device_session_aborted"), 0, -1, true, {}};
    lastMintDecision_ = {};
    lastMintDecision_.code = failure.code;
    Q_EMIT deviceSessionFailed(failure.code, failure.status, failure.retryAfterMs,
                               failure.transient);
}

void RuntimeTransport::unpair()
{
    // One reset at a time; a second request gets its answer at once instead of none.
    if (unpairInFlight_) {
        Q_EMIT unpairFailed(0, true);
        return;
    }
    unpairInFlight_ = true;
    QNetworkRequest request = jsonRequest(routeUrl(W::identityResetRoute));
    sessionRequest(request);
    const QString credential = sessionCredential_;
    identityExchange(
        QStringLiteral("identity.reset"), {}, W::identityResetRoute, QJsonObject{}, request,
        nullptr,
        [this, credential](const Answer& answer) {
            unpairInFlight_ = false;
            if (answer.ok) {
                Q_EMIT unpairSucceeded();
                return;
            }
            if (answer.status == 401)
                noteUnauthorized(credential);
            const Failure failure = failureOf(answer, RuntimeCompat::MintKind::Other);
            Q_EMIT unpairFailed(answer.status, failure.transient);
        },
        [this](const Failure& failure) {
            unpairInFlight_ = false;
            Q_EMIT unpairFailed(failure.status, failure.transient);
        });
}

// --- runtime event stream --------------------------------------------------------------------

void RuntimeTransport::openEvents(const QString& cursor)
{
    stopStream(runtimeStream_);
    runtimeStream_.parser.reset();
    runtimeStream_.cursor = cursor;
    runtimeStream_.lastEventId.clear();
    runtimeStream_.retryMs = -1;
    runtimeStream_.serverDelayMs = -1;
    runtimeStream_.attempt = 0;
    runtimeStream_.hurry = Stream::Hurry::Allowed;
    if (!hasRuntimeSession() || origin_.isEmpty())
        return;
    runtimeStream_.wanted = true;
    openRuntimeStream();
}

void RuntimeTransport::closeEvents()
{
    stopStream(runtimeStream_);
}

void RuntimeTransport::openRuntimeStream()
{
    if (!runtimeStream_.wanted)
        return;
    QUrl url = routeUrl(W::eventsRoute);
    const bool reconnect = runtimeStream_.reply.isNull() && runtimeStream_.attempt > 0;
    if (!runtimeStream_.cursor.isEmpty() && !reconnect) {
        // Every reserved character is encoded: QUrlQuery leaves "+" as it is, which a server
        // reads as a space.
        url.setQuery(QLatin1String(W::eventsCursorQuery) + QLatin1Char('=')
                         + QString::fromLatin1(QUrl::toPercentEncoding(runtimeStream_.cursor)),
                     QUrl::StrictMode);
    }
    QNetworkRequest request(url);
    request.setRawHeader("Accept", W::eventStreamType);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    if (!sessionRequest(request)) {
        // The session went away between drops: nothing can be opened until a new one exists.
        runtimeStream_.wanted = false;
        return;
    }
    if (reconnect) {
        const QString resume =
            runtimeStream_.lastEventId.isEmpty() ? runtimeStream_.cursor : runtimeStream_.lastEventId;
        if (!resume.isEmpty())
            request.setRawHeader(W::lastEventIdHeader, resume.toUtf8());
    }
    runtimeStream_.parser.reset();
    QNetworkReply* reply = manager_->get(CappedBody::prepared(request));
    runtimeStream_.reply = reply;
    CappedBody::attach(reply, replyByteLimit, CappedBody::Gather::RefusalOnly);
    reply->setProperty("talvorineCredential", sessionCredential_);
    reply->setProperty(askedAtProperty, monotonicMs());
    runtimeStream_.stallTimer.start(stallBoundMs(W::runtimeStreamStallEnv, runtimeStallDefaultMs));
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (runtimeStream_.reply == reply)
            acceptRuntimeStreamHeaders();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (runtimeStream_.reply == reply)
            onRuntimeStreamData();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (runtimeStream_.reply == reply)
            onRuntimeStreamFinished();
    });
}

bool RuntimeTransport::acceptRuntimeStreamHeaders()
{
    QNetworkReply* reply = runtimeStream_.reply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!isSuccess(status))
        return false; // answered in full by the finished handler
    if (runtimeStream_.connected)
        return true;
    const QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    if (!isEventStreamType(type)) {
        logEvent("runtime.stream_contract_invalid",
                 QJsonObject{{QStringLiteral("content_type"),
                              QString::fromLatin1(type.left(128))}});
        const bool page = ServiceReach::htmlType(type);
        if (page)
            noteReach(ServiceReach::verdictOf(status, reply->error(), {}, true),
                      ReplySource::RuntimeStream);
        runtimeStreamDropped(!page);
        return false;
    }
    runtimeStream_.connected = true;
    runtimeStream_.delivered = false;
    runtimeStream_.connectedSince.start();
    runtimeStream_.stallTimer.start(stallBoundMs(W::runtimeStreamStallEnv, runtimeStallDefaultMs));
    noteServiceReply(reply, ReplySource::RuntimeStream);
    Q_EMIT eventConnectionChanged(true);
    if (runtimeStream_.reply == reply)
        Q_EMIT serviceAnswered();
    return runtimeStream_.reply == reply;
}

void RuntimeTransport::onRuntimeStreamData()
{
    QNetworkReply* reply = runtimeStream_.reply;
    if (!acceptRuntimeStreamHeaders())
        return;
    runtimeStream_.stallTimer.start(stallBoundMs(W::runtimeStreamStallEnv, runtimeStallDefaultMs));
    const QList<SseEvent> events = runtimeStream_.parser.push(reply->readAll());
    for (const SseEvent& event : events) {
        if (event.retryMs >= 0)
            runtimeStream_.retryMs = event.retryMs;
        if (event.hasId && !event.id.isEmpty())
            runtimeStream_.lastEventId = event.id;
        if (event.overflow) {
            logEvent("runtime.sse_overflow");
            continue;
        }
        dispatchRuntimeEvent(event);
        if (runtimeStream_.reply != reply)
            return; // a handler closed or reopened the stream
    }
}

void RuntimeTransport::onRuntimeStreamFinished()
{
    QNetworkReply* reply = runtimeStream_.reply;
    noteServiceReply(reply, ReplySource::RuntimeStream);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401) {
        const QString credential = reply->property("talvorineCredential").toString();
        stopStream(runtimeStream_);
        // Every HTTP failure of a wanted stream is reported, a refused first open included.
        Q_EMIT eventConnectionChanged(false);
        noteUnauthorized(credential);
        return;
    }
    const bool refused = status != 0 && !isSuccess(status);
    if (refused) {
        const Failure failure = streamFailureOf(reply, status);
        logEvent("runtime.stream_failed", QJsonObject{{QStringLiteral("status"), status},
                                                      {QStringLiteral("code"), failure.code}});
        runtimeStream_.serverDelayMs = failure.retryAfterMs;
    }
    runtimeStreamDropped(refused);
}

void RuntimeTransport::runtimeStreamDropped(bool refused)
{
    if (QNetworkReply* reply = runtimeStream_.reply) {
        runtimeStream_.reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    runtimeStream_.stallTimer.stop();
    // Only a stream that carried an event or held for a while counts as having worked: one
    // that is answered and closed at once keeps backing off like any refusal.
    const bool worked = runtimeStream_.connected
        && (runtimeStream_.delivered
            || runtimeStream_.connectedSince.elapsed() >= stableConnectionMs);
    runtimeStream_.connected = false;
    runtimeStream_.refused = refused;
    if (!runtimeStream_.wanted)
        return;
    if (worked) {
        runtimeStream_.attempt = 0;
        runtimeStream_.hurry = Stream::Hurry::Allowed;
    }
    ++runtimeStream_.attempt;
    runtimeStream_.serviceAskedWait = runtimeStream_.serverDelayMs >= 0;
    // The stream's retry value and a refusal's Retry-After may lengthen the back-off, never
    // shorten it, and no reconnect comes sooner than the floor.
    qint64 delay = RuntimeCompat::retryBackoffMs(runtimeStream_.attempt - 1,
                                                 runtimeStream_.serverDelayMs);
    delay = std::max<qint64>(delay, runtimeStream_.retryMs);
    // While the service cannot be reached at all, the stream is what finds it back: it tries at
    // least once a minute (or at the stream's retry value), so the screen is online again within
    // about a minute of the network's return, not the minutes its back-off has grown to.
    if (!refused && !runtimeStream_.serviceAskedWait && serviceReach_.unreachable())
        delay = std::min<qint64>(delay, std::max<qint64>(ServiceReach::unreachedRetryMs(),
                                                         runtimeStream_.retryMs));
    runtimeStream_.serverDelayMs = -1;
    runtimeStream_.reconnectTimer.start(
        int(std::clamp<qint64>(delay, reconnectFloorMs, RuntimeCompat::maxDelayMs)));
    Q_EMIT eventConnectionChanged(false);
}

void RuntimeTransport::noteServiceReply(const QNetworkReply* reply, ReplySource source,
                                        bool pageInPlace)
{
    const QVariant askedAt = reply->property(askedAtProperty);
    noteReach(ServiceReach::verdictOf(
                  reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                  reply->error(), reply->errorString(), pageInPlace),
              source, askedAt.isValid() ? askedAt.toLongLong() : monotonicMs());
}

void RuntimeTransport::noteReach(ServiceReach::Verdict verdict, ReplySource source,
                                 std::optional<qint64> askedAtMs)
{
    // A content path may go unanswered while the service's own routes answer: only those say
    // that the service cannot be reached.
    if (source == ReplySource::Content && verdict.kind == ServiceReach::Verdict::Kind::Unreached)
        verdict.kind = ServiceReach::Verdict::Kind::Silent;
    const bool wasUnreachable = serviceReach_.unreachable();
    // A request that goes unanswered for its whole time-out was already lost when it was asked.
    if (!wasUnreachable && verdict.kind == ServiceReach::Verdict::Kind::Unreached)
        lossBeganMs_ = std::min(askedAtMs.value_or(monotonicMs()), monotonicMs());
    sayReach(serviceReach_.take(verdict));
    // An answer in between starts the count again.
    if (serviceReach_.unreachable() != wasUnreachable) {
        if (wasUnreachable)
            reachTimer_.stop();
        else
            reachTimer_.start();
    }
    // The stream's own answers say nothing new of it: taken as evidence, a stream the service
    // refuses at once would reconnect in a loop.
    if (verdict.kind == ServiceReach::Verdict::Kind::Answered
        && source != ReplySource::RuntimeStream)
        hurryRuntimeStream();
}

void RuntimeTransport::sayReach(ServiceReach::Change change)
{
    switch (change) {
    case ServiceReach::Change::Lost:
        writeStandardErrorLine(ServiceReach::lostLine(origin_, serviceReach_.reason()));
        break;
    case ServiceReach::Change::Back:
        // It asks nothing of the operator; it only ends the fault said before.
        writeStandardErrorLine(ServiceReach::backLine(origin_), JournalPriority::Notice);
        Q_EMIT serviceAnswersAfterLoss(std::max<qint64>(0, monotonicMs() - lossBeganMs_));
        [[fallthrough]];
    case ServiceReach::Change::Returned:
        Q_EMIT serviceAnswersAgain();
        break;
    case ServiceReach::Change::None:
        break;
    }
}

// Any answer while the stream waits out its back-off shows the service is back, and the screen
// stays offline and deaf until the stream is: the wait ends now instead of minutes later. After a
// refusal of the service's own, once: a stream it refuses again waits its next back-off in full,
// however often other requests are answered meanwhile, or it would reopen at each answer. After
// an end of the network's (no connection, or one cut), at most once a minute: a network that
// comes and goes cuts it again and again, and the screen is back online within about a minute of
// the service answering, not the minutes its back-off has grown to. A wait the service asked for
// stays the service's, and neither the floor nor the stream's retry value is cut.
void RuntimeTransport::hurryRuntimeStream()
{
    Stream& stream = runtimeStream_;
    if (!stream.wanted || stream.reply || !stream.reconnectTimer.isActive()
        || stream.serviceAskedWait)
        return;
    const qint64 remaining = stream.reconnectTimer.remainingTime();
    // A coarse timer may be due a little after its interval.
    const qint64 waited = std::max<qint64>(0, stream.reconnectTimer.interval() - remaining);
    qint64 wait = std::max<qint64>(reconnectFloorMs, stream.retryMs) - waited;
    const qint64 now = monotonicMs();
    if (stream.refused) {
        if (stream.hurry != Stream::Hurry::Allowed)
            return;
    } else if (stream.hurriedToMs) {
        wait = std::max(wait, *stream.hurriedToMs + answeredReconnectMs - now);
        if (wait >= remaining)
            return;
    }
    wait = std::clamp<qint64>(wait, 0, remaining);
    stream.hurry = Stream::Hurry::Hurried;
    stream.hurriedToMs = now + wait;
    stream.reconnectTimer.start(int(wait));
}

void RuntimeTransport::dispatchRuntimeEvent(const SseEvent& event)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(event.data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        logServiceCaused("runtime.event_invalid", {},
                         QJsonObject{{QStringLiteral("event"), event.event.left(64)}});
        return;
    }
    runtimeStream_.delivered = true;
    const QJsonObject object = document.object();
    QString type = object.value(key(W::eventTypeMember)).toString();
    if (type.isEmpty())
        type = event.event;
    const QJsonObject details = object.value(key(W::eventDetailsMember)).toObject();

    if (type == QLatin1String(W::manifestChangedEvent)
        || type == QLatin1String(W::contentChangedEvent)) {
        Q_EMIT invalidated(details.value(key(W::manifestRevisionMember)).toString());
    } else if (type == QLatin1String(W::screenshotRequestedEvent)) {
        QString refusal;
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(serviceNowOrLocalMs(), Qt::UTC);
        if (const auto request = ScreenshotRequestParser::parse(object, now, &refusal))
            Q_EMIT screenshotRequested(*request);
        else
            logServiceCaused("runtime.screenshot_request_refused", refusal,
                             QJsonObject{{QStringLiteral("reason"), refusal},
                                         {QStringLiteral("clock"),
                                          serviceClock_.held() ? QStringLiteral("service")
                                                               : QStringLiteral("local")}});
    } else if (type == QLatin1String(W::reloadEvent)) {
        Q_EMIT reloadRequested(object);
    } else if (type == QLatin1String(W::problemEvent)) {
        Q_EMIT streamProblem(details.value(key(W::problemCodeMember)).toString(),
                             details.value(key(W::actionMember)).toString());
    } else if (type == QLatin1String(W::resyncRequiredEvent)) {
        Q_EMIT resyncRequired(details.value(key(W::cursorMember)).toString());
    } else if (type == QLatin1String(W::projectResumedEvent)) {
        Q_EMIT projectResumed();
    } else if (type == QLatin1String(W::screenArchivedEvent)) {
        Q_EMIT screenArchived();
    } else if (type == QLatin1String(W::screenUnarchivedEvent)) {
        Q_EMIT screenUnarchived();
    } else if (type == QLatin1String(W::screenDeletedEvent)) {
        Q_EMIT screenDeleted();
    } else if (type == QLatin1String(W::credentialRevokedEvent)) {
        clearDeviceCredential();
        Q_EMIT deviceCredentialRevoked();
    } else if (type == QLatin1String(W::creditsChangedEvent)) {
        const QJsonValue remaining = details.value(key(W::remainingMember));
        if (remaining.isDouble() && remaining.toDouble() == double(remaining.toInteger()))
            Q_EMIT creditsRemainingChanged(remaining.toInteger());
        else
            logServiceCaused("runtime.event_invalid", {}, QJsonObject{{QStringLiteral("type"), type}});
    } else if (type == QLatin1String(W::toastEvent)) {
        consumeToast(object.value(key(W::eventDetailsMember)));
    } else {
        logServiceCaused("runtime.event_ignored", {},
                         QJsonObject{{QStringLiteral("type"), type.left(64)}});
    }
}

void RuntimeTransport::consumeToast(const QJsonValue& details)
{
    const overlay::ScreenToastResult toast =
        overlay::parseScreenToast(details, serviceNowOrLocalMs());
    if (!toast.accepted) {
        const QString reason = overlay::screenToastRejectName(toast.reason);
        logServiceCaused("runtime.toast_rejected", reason,
                         QJsonObject{{QStringLiteral("reason"), reason}});
        return;
    }
    // A production screen shows the service's errors only; alerts and notes are for players
    // under development.
    if (toast.level != QLatin1String("error")
        && environmentFromOrigin(origin_) != PlayerEnvironment::Local)
        return;
    Q_EMIT toastReceived(toast.level, toast.text, int(toast.durationMs),
                         QDateTime::fromMSecsSinceEpoch(toast.expiresAtMs, Qt::UTC));
}

// --- manifest ------------------------------------------------------------------------------

void RuntimeTransport::fetchManifest(const QByteArray& etag)
{
    fetchManifestOn(W::manifestRoute, etag, false);
}

void RuntimeTransport::fetchManifestV2(const QByteArray& etag)
{
    fetchManifestOn(W::manifestV2Route, etag, true);
}

void RuntimeTransport::fetchManifestOn(const char* route, const QByteArray& etag, bool v2)
{
    const QString routeName = QLatin1String(route);
    QNetworkRequest request = jsonRequest(routeUrl(route));
    if (!sessionRequest(request)) {
        lastManifestDecision_ = {};
        lastManifestDecision_.code = QStringLiteral("runtime_session_expired");
        Q_EMIT manifestFailed(lastManifestDecision_.code, 0, QString());
        return;
    }
    if (!etag.isEmpty() && RuntimeCompat::validEntityTag(etag))
        request.setRawHeader(W::ifNoneMatchHeader, etag);
    const QString credential = sessionCredential_;
    ++manifestFetchesOut_;
    send("GET", request, {}, manifestByteLimit,
         [this, routeName, v2, credential](const Answer& answer) {
             // Answered, whatever it says: the controller may ask again from its handlers.
             --manifestFetchesOut_;
             if (answer.status == 304 && answer.reply->error() == QNetworkReply::NoError) {
                 Q_EMIT manifestNotModified(routeName);
                 return;
             }
             if (answer.ok && answer.status == 200) {
                 QByteArray tag = answer.reply->rawHeader(W::entityTagHeader);
                 if (!RuntimeCompat::validEntityTag(tag))
                     tag.clear();
                 Q_EMIT manifestModified(answer.body, tag, routeName);
                 return;
             }
             if (answer.ok) {
                 // Any other success carries no manifest this player can take.
                 lastManifestDecision_ = {};
                 lastManifestDecision_.code = QStringLiteral("manifest_contract_invalid");
                 lastManifestDecision_.status = answer.status;
                 Q_EMIT manifestFailed(lastManifestDecision_.code, answer.status,
                                       answer.reply->errorString());
                 return;
             }
             const Failure failure = failureOf(answer, RuntimeCompat::MintKind::Manifest);
             if (v2 && (answer.status == 404 || answer.status == 410
                        || failure.code == QLatin1String(W::routeUnavailableCode))) {
                 Q_EMIT manifestRouteUnavailable();
                 return;
             }
             lastManifestDecision_ = failure.decision;
             if (answer.status == 401)
                 noteUnauthorized(credential);
             Q_EMIT manifestFailed(failure.code, failure.status, answer.reply->errorString());
         });
}

// --- reports -------------------------------------------------------------------------------

QJsonObject RuntimeTransport::conditionReport(const QString& severity, const QString& code,
                                              const QJsonObject& context) const
{
    return QJsonObject{{key(W::reportKindMember), QLatin1String(W::conditionKind)},
                       {key(W::severityMember), severity},
                       {key(W::problemCodeMember), code},
                       {key(W::contextMember), context},
                       {key(W::occurredAtMember), serviceStampNow()}};
}

void RuntimeTransport::postReport(const QJsonObject& report, AnswerHandler handler)
{
    QNetworkRequest request = jsonRequest(routeUrl(W::reportsRoute));
    if (!sessionRequest(request)) {
        Answer none;
        handler(none);
        return;
    }
    const QString credential = sessionCredential_;
    send("POST", request, compact(report), replyByteLimit,
         [this, credential, handler](const Answer& answer) {
             if (answer.status == 401)
                 noteUnauthorized(credential);
             handler(answer);
         });
}

void RuntimeTransport::reportCondition(const QString& severity, const QString& code,
                                       const QVariantMap& context)
{
    const QString reportCode = code;
    postReport(conditionReport(severity, code, QJsonObject::fromVariantMap(context)),
               [reportCode](const Answer& answer) {
                   if (!answer.ok)
                       logEvent("runtime.report_failed",
                                QJsonObject{{QStringLiteral("code"), reportCode},
                                            {QStringLiteral("status"), answer.status}});
               });
}

void RuntimeTransport::reportActivated(const QString& revision, bool send)
{
    if (!send)
        return;
    QJsonObject report{{key(W::reportKindMember), QLatin1String(W::activationKind)},
                       {key(W::severityMember), QStringLiteral("info")},
                       {key(W::problemCodeMember), QStringLiteral("manifest.activated")},
                       {key(W::contextMember),
                        QJsonObject{{key(W::manifestRevisionMember), revision}}},
                       {key(W::occurredAtMember), serviceStampNow()}};
    postReport(report, [this, revision](const Answer& answer) {
        if (answer.ok)
            return;
        // Without a session the report could not be authorised at all: the same as a 401. A
        // 2xx that broke off did not really answer.
        const int status = isSuccess(answer.status) ? 0 : answer.status;
        const bool unauthorized = status == 401 || !answer.reply;
        // What the service never saw, or could not take now, may be taken later.
        const bool unanswered = status == 0 || status == 408 || status == 429 || status >= 500;
        Q_EMIT activationReportFailed(
            revision, unauthorized ? QStringLiteral("activation_report_unauthorized")
                      : unanswered ? QStringLiteral("activation_report_unanswered")
                                   : QStringLiteral("activation_report_failed"));
    });
}

bool RuntimeTransport::reportPlaybackMediaStarted(const QString& mediaId, const QString& revision,
                                                  const QString& pageId, const QString& primitive)
{
    QNetworkRequest probe(routeUrl(W::reportsRoute));
    if (!sessionRequest(probe))
        return false;
    const QJsonObject context{{QStringLiteral("media_id"), mediaId},
                              {key(W::manifestRevisionMember), revision},
                              {QStringLiteral("page_id"), pageId},
                              {QStringLiteral("primitive"), primitive}};
    postReport(conditionReport(QStringLiteral("info"), QStringLiteral("playback.media_started"),
                               context),
               [this, mediaId, revision, pageId](const Answer& answer) {
                   if (answer.status == 401 || answer.status == 403)
                       Q_EMIT playbackReportFailed(mediaId, revision, pageId, answer.status);
               });
    return true;
}

void RuntimeTransport::reportApplicationEvent(const QString& primitiveId, const QString& code,
                                              const QString& requestKey)
{
    if (!validPrimitiveId(primitiveId) || !validEventCode(code) || !hasRuntimeSession()
        || origin_.isEmpty()) {
        Q_EMIT applicationEventFinished(requestKey, 0, QString());
        return;
    }
    if (!reportBudget_.allow(primitiveId, QDateTime::currentMSecsSinceEpoch())) {
        Q_EMIT applicationEventFinished(requestKey, 429,
                                        QStringLiteral("{\"code\":\"rate_limited\",\"status\":429}"));
        return;
    }
    const QJsonObject context{{QStringLiteral("primitive_id"), primitiveId},
                              {QStringLiteral("event_code"), code}};
    postReport(conditionReport(QStringLiteral("info"), QStringLiteral("application.event"), context),
               [this, requestKey](const Answer& answer) {
                   Q_EMIT applicationEventFinished(requestKey, answer.status,
                                                   QString::fromUtf8(answer.body));
               });
}

void RuntimeTransport::reportApplicationLog(const QString& primitiveId, const QString& level,
                                            const QString& code, const QString& message)
{
    // A log that cannot be sent spends nothing of the application's budget. The page's own
    // wrapper keeps to these bounds; a renderer that does not is not relayed.
    if (!validPrimitiveId(primitiveId) || !validEventCode(code)
        || message.size() > maxApplicationLogBytes
        || message.toUtf8().size() > maxApplicationLogBytes || !hasRuntimeSession()
        || origin_.isEmpty()
        || !reportBudget_.allow(primitiveId, QDateTime::currentMSecsSinceEpoch()))
        return;
    const QString severity = level == QLatin1String("error") ? QStringLiteral("error")
        : level == QLatin1String("warn") || level == QLatin1String("warning")
        ? QStringLiteral("warning")
        : QStringLiteral("info");
    const QJsonObject context{{QStringLiteral("primitive_id"), primitiveId},
                              {QStringLiteral("code"), code},
                              {QStringLiteral("message"), message}};
    postReport(conditionReport(severity, QStringLiteral("application.log"), context),
               [](const Answer&) {});
}

void RuntimeTransport::applicationKv(const QString& requestKey,
                                     const SdkBridge::KvRequest& kvRequest)
{
    QUrl url = origin_;
    if (!kvRequest.valid || origin_.isEmpty() || !kvRequest.path.startsWith('/')) {
        Q_EMIT applicationKvFinished(requestKey, 0, QString());
        return;
    }
    url.setPath(QString::fromLatin1(kvRequest.path), QUrl::TolerantMode);
    // The path goes out with dot segments removed: a request whose path would change on the way
    // (a "." or ".." segment, encoded or not) would reach another resource than it names.
    if (url.adjusted(QUrl::NormalizePathSegments).path(QUrl::FullyEncoded).toLatin1()
        != kvRequest.path) {
        Q_EMIT applicationKvFinished(requestKey, 0, QString());
        return;
    }
    QNetworkRequest request = jsonRequest(url, shortTransferTimeoutMs);
    for (const auto& [name, value] : kvRequest.headers)
        request.setRawHeader(name, value);
    request.setRawHeader("Accept", W::jsonType);
    if (!sessionRequest(request)) {
        Q_EMIT applicationKvFinished(requestKey, 0, QString());
        return;
    }
    const QString credential = sessionCredential_;
    const QByteArray body = kvRequest.method == "PUT" ? kvRequest.body : QByteArray();
    send(kvRequest.method, request, body, replyByteLimit,
         [this, requestKey, credential](const Answer& answer) {
             if (answer.status == 401)
                 noteUnauthorized(credential);
             Q_EMIT applicationKvFinished(requestKey, answer.status,
                                          QString::fromUtf8(answer.body));
         });
}

void RuntimeTransport::putStorage(const QJsonObject& report)
{
    QNetworkRequest request = jsonRequest(routeUrl(W::storageRoute), shortTransferTimeoutMs);
    if (origin_.isEmpty() || !sessionRequest(request))
        return;
    const QString id = report.value(QLatin1String("plan"))
                           .toObject()
                           .value(key(W::manifestRevisionMember))
                           .toString();
    const QString credential = sessionCredential_;
    send("PUT", request, compact(report), replyByteLimit, [this, id, credential](const Answer& answer) {
        if (answer.status == 401)
            noteUnauthorized(credential);
        logEvent("storage.report",
                 QJsonObject{{QStringLiteral("status"), answer.status}, {QStringLiteral("id"), id}});
    });
}

void RuntimeTransport::putObservation(int width, int height, double pixelRatio,
                                      const QString& presentation)
{
    QNetworkRequest request = jsonRequest(routeUrl(W::observationRoute));
    if (!sessionRequest(request))
        return;
    const QJsonObject surface{{QStringLiteral("id"), QStringLiteral("primary")},
                              {QStringLiteral("width"), width},
                              {QStringLiteral("height"), height},
                              {QStringLiteral("pixel_ratio"), pixelRatio},
                              {QStringLiteral("presentation"), presentation}};
    const QJsonObject body{{QStringLiteral("observed_at"), serviceStampNow()},
                           {QStringLiteral("surfaces"), QJsonArray{surface}}};
    const QString credential = sessionCredential_;
    send("PUT", request, compact(body), replyByteLimit, [this, credential](const Answer& answer) {
        if (answer.status == 401)
            noteUnauthorized(credential);
    });
}

void RuntimeTransport::putScreenLabel(const QString& label)
{
    QNetworkRequest request = jsonRequest(routeUrl(W::screenLabelRoute));
    if (!sessionRequest(request)) {
        Q_EMIT screenLabelAnswered(0, label);
        return;
    }
    const QString credential = sessionCredential_;
    send("PUT", request, compact(QJsonObject{{key(W::labelMember), label}}), replyByteLimit,
         [this, label, credential](const Answer& answer) {
             if (answer.status == 401)
                 noteUnauthorized(credential);
             const QJsonValue answered =
                 QJsonDocument::fromJson(answer.body).object().value(key(W::labelMember));
             Q_EMIT screenLabelAnswered(answer.status,
                                        answered.isString() ? answered.toString() : label);
         });
}

void RuntimeTransport::uploadScreenshot(const QString& captureId, const QByteArray& bytes)
{
    const std::optional<QByteArray> accepted =
        ScreenshotFrame::validCaptureId(captureId)
            ? ScreenshotFrame::acceptEncoded(bytes, screenshotByteLimit)
            : std::nullopt;
    if (!accepted) {
        Q_EMIT screenshotUploadFailed(captureId, QStringLiteral("screenshot_bytes_invalid"));
        return;
    }
    screenshotPut(captureId, *accepted, {});
}

void RuntimeTransport::reportScreenshotFailure(const QString& captureId, bool unsupported)
{
    if (!ScreenshotFrame::validCaptureId(captureId)) {
        Q_EMIT screenshotUploadFailed(captureId, QStringLiteral("capture_id_invalid"));
        return;
    }
    screenshotPut(captureId, {}, unsupported ? W::captureUnsupported : W::captureFailed);
}

void RuntimeTransport::screenshotPut(const QString& captureId, const QByteArray& body,
                                     const QByteArray& failure)
{
    QNetworkRequest request = jsonRequest(routeUrl(W::screenshotRoute));
    if (!sessionRequest(request)) {
        Q_EMIT screenshotUploadFailed(captureId, QStringLiteral("runtime_session_expired"));
        return;
    }
    request.setRawHeader("Content-Type", W::webpType);
    request.setRawHeader(W::captureIdHeader, captureId.toLatin1());
    if (!failure.isEmpty())
        request.setRawHeader(W::captureFailureHeader, failure);
    const bool notice = !failure.isEmpty();
    const QString credential = sessionCredential_;
    send("PUT", request, body, replyByteLimit,
         [this, captureId, notice, credential](const Answer& answer) {
             if (answer.ok) {
                 if (notice)
                     Q_EMIT screenshotFailureReported(captureId);
                 else
                     Q_EMIT screenshotUploaded(captureId);
                 return;
             }
             if (answer.status == 409) {
                 Q_EMIT screenshotReplaced(captureId);
                 return;
             }
             if (answer.status == 401)
                 noteUnauthorized(credential);
             Q_EMIT screenshotUploadFailed(captureId,
                                           failureOf(answer, RuntimeCompat::MintKind::Report).code);
         });
}

// --- ad slots --------------------------------------------------------------------------------

namespace {

bool validAdRevision(const QString& revision)
{
    static const QRegularExpression pattern(QStringLiteral("\\Aman_.+\\z"));
    return revision.size() <= 160 && pattern.match(revision).hasMatch();
}

bool validOccurrenceId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("\\Aocc_[A-Za-z0-9_-]{1,64}\\z"));
    return pattern.match(id).hasMatch();
}

bool validCandidate(const AdForecastCandidate& candidate)
{
    return validPrimitiveId(candidate.pageId) && validOccurrenceId(candidate.occurrenceId)
        && candidate.checkSequence >= 1 && !adStampIso(candidate.earliestStartAt).isEmpty();
}

} // namespace

qint64 RuntimeTransport::monotonicMs() const
{
    return monotonicClock_ ? monotonicClock_() : monotonic_.elapsed();
}

qint64 RuntimeTransport::serverNowLoMs() const
{
    return serverClock_.loMs(monotonicMs());
}

qint64 RuntimeTransport::serverNowHiMs() const
{
    return serverClock_.hiMs(monotonicMs());
}

qint64 RuntimeTransport::serviceNowLoMs() const
{
    return serviceClock_.loMs(monotonicMs());
}

qint64 RuntimeTransport::localNowMs() const
{
    return localClock_ ? localClock_() : QDateTime::currentMSecsSinceEpoch();
}

// The band's lower bound: the service's now is no earlier, so nothing the service sent is taken
// for lapsed before it has lapsed, and nothing is stamped later than it happened.
qint64 RuntimeTransport::serviceNowOrLocalMs() const
{
    const qint64 lo = serviceNowLoMs();
    return lo > 0 ? lo : localNowMs();
}

QString RuntimeTransport::serviceStampNow() const
{
    return QDateTime::fromMSecsSinceEpoch(serviceNowOrLocalMs(), Qt::UTC)
        .toString(Qt::ISODateWithMs);
}

void RuntimeTransport::mergeServiceTimeSample(qint64 serverMs, qint64 rttMs)
{
    mergeTimeSample(serviceClock_, "runtime.service_time_resample", serverMs, rttMs);
}

void RuntimeTransport::mergeServerTimeSample(qint64 serverMs, qint64 rttMs)
{
    mergeTimeSample(serverClock_, "ad.server_time_resample", serverMs, rttMs);
}

void RuntimeTransport::mergeTimeSample(ServerClockBand& band, const char* resampleEvent,
                                       qint64 serverMs, qint64 rttMs)
{
    const qint64 now = monotonicMs();
    const qint64 previousHi = band.hiMs(now);
    if (band.merge(serverMs, rttMs, now) == ServerClockBand::Merge::Resampled)
        logEvent(resampleEvent,
                 QJsonObject{{QStringLiteral("server_ms"), QString::number(serverMs)},
                             {QStringLiteral("band_hi_ms"), QString::number(previousHi)}});
}

RuntimeTransport::Failure RuntimeTransport::adFailureOf(const Answer& answer,
                                                        RuntimeCompat::MintKind kind) const
{
    Failure failure = failureOf(answer, kind);
    failure.status = answer.status;
    if (answer.reply && cutForSize(answer.reply))
        failure.transient = false;
    return failure;
}

void RuntimeTransport::failAd(void (RuntimeTransport::*signal)(QString, int, bool, qint64),
                              const QString& code, int status, bool retryable,
                              qint64 retryAfterMs)
{
    Q_EMIT(this->*signal)(code, status, retryable, retryAfterMs);
}

void RuntimeTransport::resolveAdslots(const QString& manifestRevision,
                                      const QList<AdForecastCandidate>& batch)
{
    auto refuse = [this](const char* code, int status, bool retryable) {
        failAd(&RuntimeTransport::adSlotsResolveFailed, QLatin1String(code), status, retryable);
    };
    if (!adslotsNegotiated())
        return refuse("ad_resolve_request_invalid", 0, false);
    QNetworkRequest request = jsonRequest(routeUrl(W::adResolveRoute), resolveTimeoutMs_);
    if (origin_.isEmpty())
        return refuse("runtime_origin_invalid", 0, false);
    if (!validAdRevision(manifestRevision) || batch.isEmpty()
        || batch.size() > maxResolveCandidates
        || !std::all_of(batch.cbegin(), batch.cend(), validCandidate))
        return refuse("ad_resolve_request_invalid", 0, false);
    if (resolveInFlight_)
        return refuse("ad_resolve_busy", 0, true);
    if (!sessionRequest(request))
        return refuse("runtime_session_expired", 401, false);

    QJsonArray candidates;
    for (const AdForecastCandidate& candidate : batch) {
        candidates.append(QJsonObject{
            {key(W::pageIdMember), candidate.pageId},
            {key(W::occurrenceIdMember), candidate.occurrenceId},
            {key(W::checkSequenceMember), candidate.checkSequence},
            {key(W::earliestStartAtMember),
             QString::fromUtf8(adStampIso(candidate.earliestStartAt))}});
    }
    const QJsonObject body{{key(W::manifestRevisionMember), manifestRevision},
                           {key(W::candidatesMember), candidates}};
    resolveInFlight_ = true;
    const QString credential = sessionCredential_;
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    send("POST", request, compact(body), replyByteLimit,
         [this, credential, timer](const Answer& answer) {
             finishResolve(answer, credential, roundTripMs(*timer));
         });
}

void RuntimeTransport::finishResolve(const Answer& answer, const QString& credential,
                                     qint64 roundTripMs)
{
    resolveInFlight_ = false;
    lastResolveRoundTripMs_ = roundTripMs;
    if (answer.ok) {
        if (const std::optional<AdResolveReply> reply = parseAdResolveReply(answer.body)) {
            mergeServiceTimeSample(reply->serverTime.toMSecsSinceEpoch(), roundTripMs);
            Q_EMIT adSlotsResolved(*reply);
        } else {
            failAd(&RuntimeTransport::adSlotsResolveFailed,
                   QStringLiteral("ad_resolve_contract_invalid"), 200, false);
        }
        return;
    }
    if (answer.status == 401)
        noteUnauthorized(credential);
    const Failure failure = adFailureOf(answer, RuntimeCompat::MintKind::Other);
    failAd(&RuntimeTransport::adSlotsResolveFailed, failure.code, failure.status,
           failure.transient, failure.retryAfterMs);
}

void RuntimeTransport::reportAdEvents(const QList<AdEventRecord>& batch)
{
    if (!adslotsNegotiated() || batch.isEmpty() || batch.size() > AdOutbox::maxBatch) {
        failAd(&RuntimeTransport::adEventsReportFailed,
               QStringLiteral("ad_events_request_invalid"), 0, false);
        return;
    }
    QNetworkRequest request = jsonRequest(routeUrl(W::adEventsRoute), shortTransferTimeoutMs);
    if (!sessionRequest(request)) {
        failAd(&RuntimeTransport::adEventsReportFailed,
               QStringLiteral("runtime_session_expired"), 401, false);
        return;
    }
    QJsonArray events;
    for (const AdEventRecord& record : batch) {
        QJsonObject event{{key(W::eventIdMember), record.eventId},
                          {key(W::decisionIdMember), record.decisionId},
                          {key(W::occurrenceIdMember), record.occurrenceId},
                          {key(W::adEventKindMember), record.kind},
                          {key(W::clientSequenceMember), record.clientSequence},
                          {key(W::durationMsMember), record.durationMs}};
        if (const QByteArray started = adStampIso(record.startedAt); !started.isEmpty())
            event.insert(key(W::startedAtMember), QString::fromUtf8(started));
        if (const QByteArray ended = adStampIso(record.endedAt); !ended.isEmpty())
            event.insert(key(W::endedAtMember), QString::fromUtf8(ended));
        events.append(event);
    }
    const QString credential = sessionCredential_;
    send("POST", request, compact(QJsonObject{{key(W::adEventsMember), events}}), replyByteLimit,
         [this, credential](const Answer& answer) {
             if (answer.ok) {
                 if (const auto outcomes = parseAdEventResults(answer.body))
                     Q_EMIT adEventsReported(*outcomes);
                 else
                     failAd(&RuntimeTransport::adEventsReportFailed,
                            QStringLiteral("ad_events_contract_invalid"), 200, false);
                 return;
             }
             if (answer.status == 401) {
                 noteUnauthorized(credential);
                 failAd(&RuntimeTransport::adEventsReportFailed,
                        QStringLiteral("runtime_session_expired"), 401, false);
                 return;
             }
             const Failure failure = adFailureOf(answer, RuntimeCompat::MintKind::AdEvents);
             failAd(&RuntimeTransport::adEventsReportFailed, failure.code, failure.status,
                    failure.transient, failure.retryAfterMs);
         });
}

} // namespace talvorine
