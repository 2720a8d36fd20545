#pragma once

#include "ads/AdContracts.h"
#include "ads/AdOutbox.h"
#include "app/HostContext.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeCompat.h"
#include "runtime/ScreenshotRequest.h"
#include "runtime/ServerClockBand.h"
#include "runtime/ServiceReach.h"
#include "runtime/SseParser.h"
#include "web/ApplicationReportBudget.h"
#include "web/SdkBridge.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace talvorine {

class DevLogNetworkAccessManager;

// The one client of the runtime service: pairing, identity-bound sessions, the manifest, both
// event streams and every report. All of it runs on the GUI thread; answers come back as
// signals, and requests refused before anything is sent answer before the call returns.
class RuntimeTransport : public QObject {
    Q_OBJECT
public:
    static constexpr int transferTimeoutMs = 30000;
    static constexpr int shortTransferTimeoutMs = 10000;
    static constexpr int runtimeStallDefaultMs = 75000;
    static constexpr int pairingStallDefaultMs = 45000;
    static constexpr int stallMinimumMs = 5000;
    static constexpr int stallMaximumMs = 600000;
    static constexpr int reconnectFloorMs = 1000;
    static constexpr int stableConnectionMs = 30000;
    // A stream the network ended is hurried by an answer at most this often.
    static constexpr int answeredReconnectMs = 60000;
    static constexpr qint64 replyByteLimit = 4 * 1024 * 1024;
    static constexpr qint64 manifestByteLimit = RuntimeCompat::manifestByteLimit;
    // What Qt may hold of a reply before it is read: a busy GUI thread holds the server back
    // instead of letting the reply grow.
    static constexpr qint64 replyReadBufferBytes = 256 * 1024;
    static constexpr int screenshotByteLimit = 2097152;
    static constexpr int resolveTransferTimeoutMs = 2000;
    static constexpr int maxResolveCandidates = 16;

    RuntimeTransport(QUrl apiBase, QString deviceCredentialPath, QString pairingSessionPath,
                     QString playerIdentityPath, QObject* parent = nullptr);
    ~RuntimeTransport() override;

    // The origin the transport talks to for the one it is given: its scheme, host and port
    // alone; empty when it cannot be used (no host, not https, or http to another machine).
    static QUrl serviceOrigin(const QUrl& apiBase);
    // Why the given origin is not usable as it stands, in words for the operator; empty when
    // it is. Also said of a part the transport leaves out (a path, a query, user information).
    static QString originProblem(const QUrl& apiBase);

    QNetworkAccessManager* networkAccessManager() const;
    // GETs a content download the caller has built (authorised, its headers set) the way the
    // transport sends its own requests: without HTTP/2 and with the bounded read buffer, so a
    // reply read slowly holds the origin back instead of growing with the object.
    QNetworkReply* getContent(const QNetworkRequest& request);
    bool authorizeRuntimeRequest(QNetworkRequest& request) const;
    bool hasRuntimeSession() const;
    // The service cannot be reached at all: its last replies got no answer of its own.
    bool serviceUnreachable() const { return serviceReach_.unreachable(); }
    // Forgets the runtime session without announcing it, for a player that is giving up its
    // screen: nothing sent or answered afterwards counts as belonging to a session.
    void forgetRuntimeSession();
    bool hasSessionCapability(const QString& name) const;
    bool adslotsNegotiated() const;
    bool hasDeviceCredential() const;
    void clearDeviceCredential();
    void setHostContext(const HostContext& context);
    void setPlayerRelease(const QString& version, const QString& revision);
    qint64 clockOffsetMs() const { return clockOffsetMs_; }
    qint64 lastResolveRoundTripMs() const { return lastResolveRoundTripMs_; }
    // The resolve request's transfer time-out; a test on a loaded machine lengthens it.
    void setResolveTransferTimeoutMs(int ms) { resolveTimeoutMs_ = ms; }
    const RuntimeCompat::ProblemDecision& lastMintDecision() const { return lastMintDecision_; }
    const RuntimeCompat::ProblemDecision& lastManifestDecision() const
    {
        return lastManifestDecision_;
    }

    // The pairing session held in memory and its stored file.
    void clearPairingSession();
    bool hasPairingCredential() const;
    std::pair<QString, QDateTime> storedPairingLocator() const;
    QString pendingPairingStartKey() const;
    void rememberPairingStartKey(const QString& key);
    void clearPairingStartKey();
    bool adoptStoredPairingCredential();

    void startPairing(const QString& idempotencyKey);
    void openPairingEvents();
    void closePairingEvents();
    void completePairing(const QString& nonce);
    void createDeviceSession(const QString& idempotencyKey);
    void abortDeviceSession();
    void unpair();

    void openEvents(const QString& cursor);
    void closeEvents();

    void fetchManifest(const QByteArray& etag);
    void fetchManifestV2(const QByteArray& etag);
    // A manifest request has been sent and not answered yet.
    bool manifestFetchUnderWay() const { return manifestFetchesOut_ > 0; }

    void reportCondition(const QString& severity, const QString& code, const QVariantMap& context);
    void reportActivated(const QString& revision, bool send);
    bool reportPlaybackMediaStarted(const QString& mediaId, const QString& revision,
                                    const QString& pageId, const QString& primitive);
    void reportApplicationEvent(const QString& primitiveId, const QString& code,
                                const QString& requestKey);
    void reportApplicationLog(const QString& primitiveId, const QString& level,
                              const QString& code, const QString& message);
    void applicationKv(const QString& requestKey, const SdkBridge::KvRequest& request);
    void putStorage(const QJsonObject& report);
    void putObservation(int width, int height, double pixelRatio, const QString& presentation);
    void putScreenLabel(const QString& label);
    void uploadScreenshot(const QString& captureId, const QByteArray& bytes);
    void reportScreenshotFailure(const QString& captureId, bool unsupported);

    // Ad slots. The service clock is a band of milliseconds since the Unix epoch that holds the
    // service's now, carried forward on the monotonic clock; both bounds are 0 without a band.
    qint64 serverNowLoMs() const;
    qint64 serverNowHiMs() const;
    void mergeServerTimeSample(qint64 serverMs, qint64 rttMs);
    // The monotonic clock (ms) the band is carried forward on; the ad planner spaces its
    // requests on it too, band or not.
    qint64 monotonicMs() const;
    // The monotonic clock (ms) the band is carried forward on, set before the first sample; a
    // test holds it still so that only the samples it merges move the band.
    void setMonotonicClock(std::function<qint64()> clock) { monotonicClock_ = std::move(clock); }
    // The machine's own clock (ms since the Unix epoch), set before the first exchange; a test
    // steps it away from the service's.
    void setLocalClock(std::function<qint64()> clock) { localClock_ = std::move(clock); }

    // The service's clock for its own expiries and the stamps of reports: a band of the same
    // kind as the ad planner's, fed by every identity challenge and every ad reply, so that a
    // screen without ads has one from its first exchange on. Its lower bound; 0 without a band.
    qint64 serviceNowLoMs() const;
    // One resolve request at a time; refusals answer before the call returns.
    void resolveAdslots(const QString& manifestRevision, const QList<AdForecastCandidate>& batch);
    void reportAdEvents(const QList<AdEventRecord>& batch);

    // The stall bound of a stream from an environment variable: 5000..600000 ms, else fallback.
    static int stallBoundMs(const char* variable, int fallbackMs);

Q_SIGNALS:
    void applicationEventFinished(QString requestKey, int status, QString body);
    void applicationKvFinished(QString requestKey, int status, QString body);
    void manifestRouteUnavailable();
    void manifestModified(QByteArray body, QByteArray etag, QString route);
    void manifestNotModified(QString route);
    void manifestFailed(QString code, int status, QString error);
    void screenLabelAnswered(int status, QString label);
    void pairingStarted(QString code, QDateTime expiresAt);
    void pairingStartFailed(QString code, int status, int retryAfterMs, bool transient);
    void pairingClaimed(QString nonce);
    void pairingEventFailed(QString code, int status, int retryAfterMs, bool transient);
    void pairingCompleted(QString screenLabel);
    void pairingCompleteFailed(QString code, int status, int retryAfterMs, bool transient);
    void deviceSessionSucceeded(QString cursor);
    void deviceSessionFailed(QString code, int status, int retryAfterMs, bool transient);
    void runtimeSessionExpired();
    void upgradeRecommended(QString playerKind, QString minSupported);
    void streamProblem(QString code, QString actionName);
    void eventConnectionChanged(bool connected);
    void invalidated(QString revision);
    void resyncRequired(QString cursor);
    void projectResumed();
    void screenArchived();
    void screenUnarchived();
    void screenDeleted();
    void deviceCredentialRevoked();
    void reloadRequested(QJsonObject event);
    void toastReceived(QString level, QString text, int durationMs, QDateTime expiresAt);
    void creditsRemainingChanged(qint64 remaining);
    void playbackReportFailed(QString mediaId, QString revision, QString pageId, int status);
    // code: "activation_report_unauthorized" (refused as such, or no session to send it with),
    // "activation_report_unanswered" (no answer of the service's: none, 408, 429, 5xx, or a
    // page in its place) or "activation_report_failed".
    void activationReportFailed(QString revision, QString code);
    // A request had a 2xx answer of the service's own, or the event stream connected.
    void serviceAnswered();
    // The service answers again after an outage, whether or not the outage was said.
    void serviceAnswersAgain();
    // The service answers again after an outage that was said (just before serviceAnswersAgain).
    // lostForMs: how long ago the outage's first unanswered request was asked; what failed since
    // then may have failed for the outage rather than for itself.
    void serviceAnswersAfterLoss(qint64 lostForMs);
    void screenshotRequested(talvorine::ScreenshotRequest request);
    void screenshotUploaded(QString captureId);
    void screenshotFailureReported(QString captureId);
    void screenshotReplaced(QString captureId);
    void screenshotUploadFailed(QString captureId, QString code);
    void unpairSucceeded();
    void unpairFailed(int status, bool transient);
    void adSlotsResolved(talvorine::AdResolveReply reply);
    // retryAfterMs: the delay the service asked for ("Retry-After"), -1 when it asked for none.
    void adSlotsResolveFailed(QString code, int httpStatus, bool retryable, qint64 retryAfterMs);
    void adEventsReported(QList<talvorine::AdEventOutcome> outcomes);
    void adEventsReportFailed(QString code, int status, bool retryable, qint64 retryAfterMs);

public:
    // What a failed exchange comes to: the code, status, delay and transient flag of the
    // failure signals, and the decision behind them.
    struct Failure {
        QString code;
        int status = 0;
        int retryAfterMs = -1;
        bool transient = false;
        RuntimeCompat::ProblemDecision decision;
    };

private:
    struct Answer {
        int status = 0;
        QByteArray body;
        bool ok = false; // 2xx and complete
        QNetworkReply* reply = nullptr;
    };
    using AnswerHandler = std::function<void(const Answer&)>;
    using FailureHandler = std::function<void(const Failure&)>;

    struct Stream {
        QPointer<QNetworkReply> reply;
        SseParser parser;
        QTimer stallTimer;
        QTimer reconnectTimer;
        QString cursor;
        QString lastEventId;
        int retryMs = -1;
        int serverDelayMs = -1;
        int attempt = 0;
        bool wanted = false;
        bool connected = false;
        bool delivered = false; // an event arrived since the stream connected
        QElapsedTimer connectedSince;
        // The wait for a reconnect is the service's own (a refusal's Retry-After).
        bool serviceAskedWait = false;
        // The last end was the service's refusal (an HTTP status, or an answer that is not a
        // stream), not the network's.
        bool refused = false;
        // Whether an answer of the service may cut the wait after a refusal short: once, then
        // not again until the stream has worked or a wait has been served in full.
        enum class Hurry { Allowed, Hurried, Spent };
        Hurry hurry = Hurry::Allowed;
        // When the wait after an end of the network's was last cut to end.
        std::optional<qint64> hurriedToMs;
    };

    QUrl routeUrl(const char* route) const;
    QNetworkRequest jsonRequest(const QUrl& url, int timeoutMs = 0) const;
    QNetworkReply* send(const QByteArray& method, QNetworkRequest request, const QByteArray& body,
                        qint64 byteLimit, AnswerHandler handler);
    Failure failureOf(const Answer& answer, RuntimeCompat::MintKind kind) const;
    // The failure a refused event or pairing stream reports, from its body up to the reply limit.
    Failure streamFailureOf(QNetworkReply* reply, int status) const;
    void noteUnauthorized(const QString& credentialUsed);
    bool sessionRequest(QNetworkRequest& request) const;
    QString sessionCredential() const { return sessionCredential_; }

    void identityExchange(const QString& op, const QList<QString>& parts, const char* route,
                          QJsonObject body, QNetworkRequest request,
                          QPointer<QNetworkReply>* track, AnswerHandler onAnswer,
                          FailureHandler onFailure);
    QJsonObject playerObject() const;

    // The machine's clock, and the service's now as the stamps and the expiry checks take it:
    // the band's lower bound, else the machine's clock.
    qint64 localNowMs() const;
    qint64 serviceNowOrLocalMs() const;
    QString serviceStampNow() const;
    void mergeServiceTimeSample(qint64 serverMs, qint64 rttMs);

    void postReport(const QJsonObject& report, AnswerHandler handler);
    QJsonObject conditionReport(const QString& severity, const QString& code,
                                const QJsonObject& context) const;

    // What a reply that ended (or an event stream that connected) says of the service.
    enum class ReplySource { Api, RuntimeStream, Content };
    // pageInPlace: a page answered in the service's place (ServiceReach::pageInPlace).
    void noteServiceReply(const QNetworkReply* reply, ReplySource source, bool pageInPlace = false);
    // askedAtMs: when the request was asked (monotonicMs()); now when unknown.
    void noteReach(ServiceReach::Verdict verdict, ReplySource source,
                   std::optional<qint64> askedAtMs = std::nullopt);
    void sayReach(ServiceReach::Change change);
    void hurryRuntimeStream();
    void openRuntimeStream();
    bool acceptRuntimeStreamHeaders();
    void onRuntimeStreamData();
    void onRuntimeStreamFinished();
    // refused: the service ended it itself (see Stream::refused).
    void runtimeStreamDropped(bool refused = false);
    void dispatchRuntimeEvent(const SseEvent& event);
    void consumeToast(const QJsonValue& details);
    void onPairingStreamFinished();
    void failPairingStream(const QString& code, int status, int retryAfterMs, bool transient);
    void stopStream(Stream& stream);

    void fetchManifestOn(const char* route, const QByteArray& etag, bool v2);
    void finishMint(const Answer& answer);
    void screenshotPut(const QString& captureId, const QByteArray& body, const QByteArray& failure);
    // The code, status and retryable flag of a failed ad request: the HTTP status as it came
    // (0 without an answer), and a reply too large to read is not worth asking again.
    Failure adFailureOf(const Answer& answer, RuntimeCompat::MintKind kind) const;
    void finishResolve(const Answer& answer, const QString& credential, qint64 roundTripMs);
    void mergeTimeSample(ServerClockBand& band, const char* resampleEvent, qint64 serverMs,
                         qint64 rttMs);
    // Signals an ad request's failure with the delay the service asked for.
    void failAd(void (RuntimeTransport::*signal)(QString, int, bool, qint64), const QString& code,
                int status, bool retryable, qint64 retryAfterMs = -1);

    std::unique_ptr<DevLogNetworkAccessManager> manager_;
    QUrl origin_;
    NativeCredentialStore credentialStore_;
    NativePairingStore pairingStore_;
    NativePlayerIdentityStore identityStore_;

    QString sessionCredential_;
    QDateTime sessionExpiresAt_;
    QStringList sessionCapabilities_;
    QList<int> manifestVersions_;

    QString deviceCredential_;
    bool deviceBound_ = false;

    NativePairingSession pairing_;

    HostContext hostContext_;
    QString releaseVersion_;
    QString releaseRevision_;
    qint64 clockOffsetMs_ = 0;
    ApplicationReportBudget reportBudget_;

    Stream runtimeStream_;
    Stream pairingStream_;
    ServiceReach serviceReach_;
    // Runs while the service goes unreached, for the outage to be said once it has lasted.
    QTimer reachTimer_;
    // When the outage under way began: the first unanswered request's asking (monotonicMs()).
    qint64 lossBeganMs_ = 0;

    RuntimeCompat::ProblemDecision lastMintDecision_;
    RuntimeCompat::ProblemDecision lastManifestDecision_;
    int manifestFetchesOut_ = 0;
    QPointer<QNetworkReply> mintReply_;
    bool mintInFlight_ = false;
    bool unpairInFlight_ = false;
    qint64 lastResolveRoundTripMs_ = 0;
    int resolveTimeoutMs_ = resolveTransferTimeoutMs;
    bool resolveInFlight_ = false;
    ServerClockBand serverClock_;
    ServerClockBand serviceClock_;
    QElapsedTimer monotonic_;
    std::function<qint64()> monotonicClock_;
    std::function<qint64()> localClock_;
};

} // namespace talvorine

Q_DECLARE_METATYPE(talvorine::ScreenshotRequest)
