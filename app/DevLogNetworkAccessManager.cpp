#include "app/DevLogNetworkAccessManager.h"

#include "app/DevFileLog.h"
#include "app/PlayerOpLog.h"
#include "app/RedirectRule.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace {

bool isEventStream(const QNetworkRequest& request)
{
    return request.rawHeader("Accept") == QByteArrayLiteral("text/event-stream");
}

bool isContentDownload(const QNetworkRequest& request)
{
    return request.attribute(DevLogNetworkAccessManager::contentDownloadAttribute).toBool();
}

// Twice the transfer timeout, never below the minimum. A very long timeout saturates at the
// longest interval a timer takes instead of wrapping: a caller that asks for a long request must
// not be cut short.
int watchdogIntervalFor(int transferTimeoutMs)
{
    const qint64 doubled = 2 * qint64(transferTimeoutMs);
    return int(std::clamp<qint64>(doubled, DevLogNetworkAccessManager::minimumWatchdogMs,
                                  std::numeric_limits<int>::max()));
}

// Qt 6.4 connects a reply's approval signal to its redirect follow-up once more for every
// redirect it takes, so from the second approval on each hop is requested several times and the
// chain derails (the reply ends early, without error, on a half-followed redirect). Before an
// approval, keep exactly one such connection, queued as Qt makes it: followed at once, the next
// hop would clear this hop's answer before other handlers of the redirect see it. Where the
// follow-up is wired differently nothing is touched.
void keepSingleRedirectFollowUp(QNetworkReply* reply)
{
    if (reply->metaObject()->indexOfSlot("followRedirect()") < 0)
        return;
    if (QObject::disconnect(reply, SIGNAL(redirectAllowed()), reply, SLOT(followRedirect())))
        QObject::connect(reply, SIGNAL(redirectAllowed()), reply, SLOT(followRedirect()),
                         Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
}

// Qt 6.4 lets a reply's transfer timeout lapse once it follows a redirect: a later hop that
// sends its headers and then goes quiet would hang for ever (content downloads have no watchdog) or wait for the watchdog. From
// the first approved redirect on, an idle timer of our own does the timeout's work with the
// reply's own interval: any movement restarts it, and on expiry the reply is aborted, which is
// how the framework itself ends a timed-out transfer here. A reply created without a timeout
// (an event stream) gets none.
void keepTransferTimeoutAfterRedirect(QNetworkReply* reply)
{
    const int timeoutMs = reply->request().transferTimeout();
    if (timeoutMs <= 0)
        return;
    auto* idle = reply->findChild<QTimer*>(QStringLiteral("talvorineIdleTimeout"),
                                           Qt::FindDirectChildrenOnly);
    if (!idle) {
        idle = new QTimer(reply);
        idle->setObjectName(QStringLiteral("talvorineIdleTimeout"));
        idle->setSingleShot(true);
        idle->setInterval(timeoutMs);
        const auto restart = qOverload<>(&QTimer::start);
        QObject::connect(reply, &QNetworkReply::downloadProgress, idle, restart);
        QObject::connect(reply, &QNetworkReply::uploadProgress, idle, restart);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, idle, restart);
        QObject::connect(reply, &QNetworkReply::finished, idle, &QTimer::stop);
        QObject::connect(idle, &QTimer::timeout, reply, &QNetworkReply::abort);
    }
    idle->start();
}

QString operationName(QNetworkAccessManager::Operation op)
{
    switch (op) {
    case QNetworkAccessManager::HeadOperation:
        return QStringLiteral("HEAD");
    case QNetworkAccessManager::GetOperation:
        return QStringLiteral("GET");
    case QNetworkAccessManager::PutOperation:
        return QStringLiteral("PUT");
    case QNetworkAccessManager::PostOperation:
        return QStringLiteral("POST");
    case QNetworkAccessManager::DeleteOperation:
        return QStringLiteral("DELETE");
    case QNetworkAccessManager::CustomOperation:
        return QStringLiteral("CUSTOM");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

} // namespace

DevLogNetworkAccessManager::DevLogNetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
{
}

DevLogNetworkAccessManager::~DevLogNetworkAccessManager() = default;

QNetworkReply* DevLogNetworkAccessManager::createRequest(Operation op,
                                                         const QNetworkRequest& request,
                                                         QIODevice* outgoingData)
{
    QNetworkRequest adjusted(request);
    const bool eventStream = isEventStream(request);
    const bool contentDownload = isContentDownload(request);

    // Event streams stay untimed: their owner watches them for stalls, and a quiet stream is the
    // normal case between events.
    if (!eventStream && adjusted.transferTimeout() <= 0)
        adjusted.setTransferTimeout(transferTimeout() > 0 ? transferTimeout()
                                                          : defaultTransferTimeoutMs);
    adjusted.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::UserVerifiedRedirectPolicy);
    adjusted.setMaximumRedirectsAllowed(maximumRedirects);

    QNetworkReply* reply = nullptr;
    if (eventStream && adjusted.transferTimeout() <= 0 && transferTimeout() != 0) {
        // The base gives a request without a timeout the manager's own; lift it for this one
        // call so the stream is really created without one.
        const int managerTimeout = transferTimeout();
        setTransferTimeout(0);
        reply = QNetworkAccessManager::createRequest(op, adjusted, outgoingData);
        setTransferTimeout(managerTimeout);
    } else {
        reply = QNetworkAccessManager::createRequest(op, adjusted, outgoingData);
    }
    if (!reply)
        return reply;

    const QUrl requestUrl = adjusted.url();
    connect(reply, &QNetworkReply::redirected, reply, [reply, requestUrl](const QUrl& target) {
        if (RuntimeCompat::redirectAllowed(requestUrl, target)) {
            keepSingleRedirectFollowUp(reply);
            keepTransferTimeoutAfterRedirect(reply);
            Q_EMIT reply->redirectAllowed();
            return;
        }
        DevFileLog::record(QStringLiteral("http.redirect_refused"),
                           QJsonObject{{QStringLiteral("path"),
                                        requestUrl.path(QUrl::FullyDecoded)}});
        reply->abort();
    });

    if (!eventStream && !contentDownload) {
        auto* watchdog = new QTimer(reply);
        watchdog->setObjectName(QStringLiteral("talvorineWatchdog"));
        watchdog->setSingleShot(true);
        connect(watchdog, &QTimer::timeout, reply, &QNetworkReply::abort);
        connect(reply, &QNetworkReply::finished, watchdog, &QTimer::stop);
        watchdog->start(watchdogIntervalFor(adjusted.transferTimeout()));
    }

    const QString name = operationName(op);
    DevFileLog::watchReply(reply, name);
    PlayerOpLog::watchReply(reply, name);
    return reply;
}

} // namespace talvorine
