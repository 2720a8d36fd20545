#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QTcpSocket;

namespace talvorine::test {

class FakeAdSlots;
class FakeKvStore;

// A certificate authority made fresh and a server certificate it signed for this machine's
// loopback addresses: what the fake serves TLS with, and what another loopback server may too.
struct LoopbackTls {
    QSslCertificate authority;
    QSslCertificate certificate;
    QSslKey key;
    QString error; // empty once made
    static LoopbackTls make();
};

// Makes this process's default TLS configuration trust the authority as well.
void trustAuthorityInProcess(const QSslCertificate& authority);

// A stand-in for the runtime service on loopback: plain HTTP/1.1 or HTTPS with a certificate
// authority made at start-up, offering HTTP/2 as real services do (a connection that takes it
// up is closed, and is a surprise: the fake speaks HTTP/1.1 only). It records every request,
// answers scripted replies per route and attempt, keeps event streams open for the test to
// feed, can stall, drop, refuse and delay, and issues and verifies identity challenges and
// proofs. Bounded in requests and body sizes.
class FakeRuntimeService : public QObject {
    Q_OBJECT
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    // HttpsNonLocal serves on 127.0.0.2: this machine, but not an origin the player counts as
    // local, so the player treats it as a production service.
    enum class Transport { Http, Https, HttpsNonLocal };

    enum class Fault {
        None,
        Stall,       // headers and half the body, then silence with the connection kept open
        DropMidBody, // headers and half the body, then the connection is cut
        Close,       // the connection is closed without any answer
        Silent,      // the request is taken and never answered, the connection kept open
    };

    struct Reply {
        int status = 200;
        Headers headers;
        QByteArray body;
        int latencyMs = 0;
        Fault fault = Fault::None;
        // An open-ended body: headers go out, then the connection stays open for sendEvents().
        // With a status other than 2xx it is a refusal whose body never ends.
        bool stream = false;
        // A body trickled: this many bytes per interval instead of all at once.
        int trickleBytes = 0;
        int trickleIntervalMs = 0;

        Reply withHeader(const QByteArray& name, const QByteArray& value) const
        {
            Reply copy = *this;
            copy.headers.append(std::pair<QByteArray, QByteArray>(name, value));
            return copy;
        }

        static Reply json(int status, const QJsonObject& object);
        static Reply json(int status, const QByteArray& raw);
        static Reply eventStream(int status = 200, QByteArray contentType = "text/event-stream");
        // 304: what the request's entity tag names has not changed.
        static Reply notModified();
        // A network's login page, answered in the service's place.
        static Reply loginPage(int status = 200, QByteArray contentType = "text/html; charset=utf-8");
    };

    struct Request {
        qint64 atMs = 0; // since the service was created
        QByteArray method;
        QByteArray target; // path and query as sent
        QByteArray path;   // decoded path without query
        QByteArray query;
        Headers headers;
        QByteArray body;
        int connection = 0;
        QString proofVerdict; // for routes that require proofs: "ok" or the reason refused

        QByteArray header(const QByteArray& name) const; // case-insensitive, first match
        bool hasHeader(const QByteArray& name) const;
        QJsonObject jsonBody() const;
    };

    // How one request to the content route is answered.
    struct ContentAnswer {
        // 0: as an origin would (below). 200 or 206: the whole object with that status, whatever
        // was asked; 416: range not satisfiable; any other: that status with a small JSON body.
        int status = 0;
        Headers headers = {}; // added to the head (Retry-After, Date, ...)
        QByteArray contentRange = {}; // replaces the Content-Range of a 206 when set
        // Bytes added to (positive) or cut from (negative) the end of the body; Content-Length
        // follows the body actually sent.
        int lengthDelta = 0;
        bool corrupt = false; // one byte of the body flipped
        bool gzip = false;    // the body gzip-encoded, "Content-Encoding: gzip"
        bool page = false;    // a login page in the object's place, with status (200 when 0)
        Fault fault = Fault::None;
        int trickleBytes = 0; // a trickled body: this many bytes per interval
        int trickleIntervalMs = 0;
    };

    struct Challenge {
        QString nonce;
        QDateTime expiresAt;
        QString kid;
        QString op;
        QString requestHash;
        QString x; // the public key the player sent
        bool used = false;
    };

    static constexpr int maxRequests = 2000;
    static constexpr qsizetype maxHeaderBytes = 64 * 1024;
    static constexpr qsizetype maxBodyBytes = 8 * 1024 * 1024;

    explicit FakeRuntimeService(Transport transport = Transport::Http, QObject* parent = nullptr);
    ~FakeRuntimeService() override;

    bool listening() const;
    QString setupError() const { return setupError_; }
    quint16 port() const { return port_; }
    QUrl url(const QString& path = QStringLiteral("/")) const;

    // Makes this process's default TLS configuration trust the service's authority.
    void trustInProcess() const;
    QSslCertificate authorityCertificate() const { return authority_; }

    // Replies per attempt for one route ("POST", "/runtime/v1/manifest"); the last one repeats.
    void script(const QByteArray& method, const QByteArray& path, QList<Reply> replies);
    bool scripted(const QByteArray& method, const QByteArray& path) const;
    void setFallback(Reply reply) { fallback_ = std::move(reply); }
    // Replies made from each request, for a route whose answer depends on what was asked or on
    // the state of a longer run; a scripted reply for the route comes first.
    using Responder = std::function<Reply(const Request&)>;
    void respond(const QByteArray& method, const QByteArray& path, Responder responder);
    int attempts(const QByteArray& method, const QByteArray& path) const;

    // The content route (GET under "/content/v1/"): an object served by its path as an origin
    // should, its quoted digest as entity tag, "bytes=N-" with a matching "If-Range" answered
    // 206 from N (416 past the end), anything else 200 whole; scripted answers per attempt
    // deviate from that, attempts past the list are served normally.
    // contentType: the Content-Type of every answer with a body of the object.
    void putContent(const QByteArray& path, QByteArray bytes, QByteArray contentType = {});
    void scriptContent(const QByteArray& path, QList<ContentAnswer> answers);
    // Answers chosen from each request (its path, its time): ahead of the per-attempt scripts,
    // which still answer when the judge has no answer of its own.
    using ContentJudge = std::function<std::optional<ContentAnswer>(const Request&)>;
    void judgeContent(ContentJudge judge) { contentJudge_ = std::move(judge); }
    // Something other than the service answering every request, content included, while it
    // gives a reply; recorded like any request.
    using Interceptor = std::function<std::optional<Reply>(const Request&)>;
    void intercept(Interceptor interceptor) { interceptor_ = std::move(interceptor); }
    // Every open connection cut at once, event streams and bodies under way included.
    void cutConnections();
    qint64 elapsedMs() const { return clock_.elapsed(); }
    // Requests to the content route for the path so far.
    int contentAttempts(const QByteArray& path) const { return contentAttempts_.value(path); }
    static QString sha256Hex(const QByteArray& bytes);

    // Refused connections: the listening socket is closed, and so is every idle connection a
    // client would send its next request on (open event streams stay); then it reopens on the
    // same port.
    void setRefusing(bool refusing);
    // Plain HTTP on the port that served TLS (a proxy set up wrongly), until set back.
    void setPlainHttp(bool plain);

    // Identity: challenges are answered by the service itself unless scripted. A route that
    // requires a proof answers 401 {"code":"identity_proof_invalid"} to a bad one.
    void requireProof(const QByteArray& path, const QString& op);
    void setChallengeLifetimeMs(qint64 ms) { challengeLifetimeMs_ = ms; }
    void setServerClockOffsetMs(qint64 ms) { serverClockOffsetMs_ = ms; }
    // The clock the service's own is the offset from (ms since the Unix epoch); the machine's
    // unless set.
    void setClock(std::function<qint64()> clock) { wallClock_ = std::move(clock); }
    // Whether a challenge says the service's time ("server_time"); it does unless set.
    void setChallengeServerTime(bool stamped) { challengeServerTime_ = stamped; }
    QString verifyProof(const QString& proof, const QString& op) const;
    // The service's own clock: the machine's moved by the clock offset. Held, the clock the ad
    // routes answer on stays where it was and only the offset moves it, however long a test takes.
    qint64 serverNowMs() const;
    void holdServerClock() { heldServerNowMs_ = clockMs(); }

    // The ad routes, answered from each request unless a reply is scripted for the route.
    FakeAdSlots& adSlots() { return *adSlots_; }
    // The application key-value routes, answered from a store kept per application.
    FakeKvStore& kvStore() { return *kvStore_; }
    const QList<Challenge>& challenges() const { return challenges_; }

    // Strictness: once set, a request to a route the test did not script (the challenge route,
    // answered by the service itself, excepted) and a request to a route that requires a
    // credential but came without one are collected as surprises, for the test to assert none.
    void setStrict(bool strict) { strict_ = strict; }
    // The "Authorization" header the route requires, by its scheme ("Talvorine-Session ").
    void requireCredential(const QByteArray& path, const QByteArray& scheme);
    const QStringList& surprises() const { return surprises_; }

    const QList<Request>& requests() const { return requests_; }
    QList<Request> requestsTo(const QByteArray& path) const;
    void clearRequests() { requests_.clear(); }
    // For a run of minutes or hours: at most this many records are kept, the oldest dropped
    // first, instead of connections being cut once maxRequests are held. Zero restores the cut.
    void setRecordLimit(int limit) { recordLimit_ = limit; }

    // Event streams currently open on a path.
    int openStreams(const QByteArray& path) const;
    // Writes raw bytes to every open stream on the path; the number of streams written.
    int sendEvents(const QByteArray& path, const QByteArray& chunk);
    void closeStreams(const QByteArray& path);

Q_SIGNALS:
    void requestReceived(int index);

private:
    // The clock the service's own is the offset from.
    qint64 clockMs() const
    {
        return wallClock_ ? wallClock_() : QDateTime::currentMSecsSinceEpoch();
    }
    struct Connection;

    void accept(QTcpSocket* socket);
    void readFrom(Connection* connection);
    void handle(Connection* connection, Request request);
    Reply replyFor(Request& request);
    Reply challengeReply(const Request& request);
    void send(QPointer<QTcpSocket> socket, const Reply& reply, bool keepAlive);
    bool answerContent(Connection* connection, Request& request);
    bool startListening(quint16 port);
    QString host() const;

    Transport transport_;
    bool plainHttp_ = false;
    std::unique_ptr<QTcpServer> server_;
    QSslCertificate authority_;
    QSslCertificate certificate_;
    QSslKey key_;
    QString setupError_;
    quint16 port_ = 0;
    QElapsedTimer clock_;
    QHash<QByteArray, QList<Reply>> scripts_;
    QHash<QByteArray, Responder> responders_;
    int recordLimit_ = 0;
    QHash<QByteArray, int> attempts_;
    QHash<QByteArray, QString> proofRoutes_;
    QHash<QByteArray, QByteArray> credentialRoutes_;
    bool strict_ = false;
    QStringList surprises_;
    Reply fallback_;
    QList<Request> requests_;
    QList<Challenge> challenges_;
    QSet<QString> usedJtis_;
    QHash<QByteArray, QList<QPointer<QTcpSocket>>> streams_;
    qint64 challengeLifetimeMs_ = 60000;
    qint64 serverClockOffsetMs_ = 0;
    std::optional<qint64> heldServerNowMs_;
    std::function<qint64()> wallClock_;
    bool challengeServerTime_ = true;
    std::unique_ptr<FakeAdSlots> adSlots_;
    std::unique_ptr<FakeKvStore> kvStore_;
    int connections_ = 0;
    struct ContentObject {
        QByteArray bytes;
        QByteArray etag;
        QByteArray contentType;
    };
    QHash<QByteArray, ContentObject> contents_;
    QHash<QByteArray, QList<ContentAnswer>> contentScripts_;
    QHash<QByteArray, int> contentAttempts_;
    ContentJudge contentJudge_;
    Interceptor interceptor_;
};

} // namespace talvorine::test
