#include "runtime/ServiceReach.h"

#include "runtime/RuntimeCompat.h"

#include <utility>

namespace talvorine {

namespace {

// The failures of the connection itself. Qt words them from the socket and TLS layers, which
// never see the request's path, query or credentials.
bool connectionNeverMade(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return true;
    default:
        return false;
    }
}

const char* const pageReason =
    "an HTML page answered in its place, as a network's login page does";

QString originText(const QUrl& origin)
{
    return origin.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery
                           | QUrl::RemoveFragment)
        .toString();
}

} // namespace

bool ServiceReach::htmlType(const QByteArray& contentType)
{
    const qsizetype end = contentType.indexOf(';');
    const QByteArray media = (end < 0 ? contentType : contentType.left(end)).trimmed();
    return media.compare("text/html", Qt::CaseInsensitive) == 0
        || media.compare("application/xhtml+xml", Qt::CaseInsensitive) == 0;
}

bool ServiceReach::pageInPlace(int httpStatus, const QByteArray& contentType, qint64 bodyBytes)
{
    return httpStatus >= 200 && httpStatus <= 299 && bodyBytes > 0 && htmlType(contentType);
}

ServiceReach::Verdict ServiceReach::verdictOf(int httpStatus, QNetworkReply::NetworkError error,
                                              const QString& errorText, bool pageInPlace)
{
    if (pageInPlace)
        return {Verdict::Kind::Unreached, QLatin1String(pageReason), true};
    // Content, protocol and server errors are Qt's names for statuses the service answered with.
    if (httpStatus != 0 && (error == QNetworkReply::NoError
                            || error >= QNetworkReply::ContentAccessDenied))
        return {Verdict::Kind::Answered, {}};
    if (httpStatus == 0 && connectionNeverMade(error))
        return {Verdict::Kind::Unreached, errorText};
    return {};
}

qint64 ServiceReach::unreachedRetryMs()
{
    return RuntimeCompat::uniformMs(unreachedRetryLowMs, unreachedRetryHighMs);
}

ServiceReach::Change ServiceReach::take(const Verdict& verdict)
{
    switch (verdict.kind) {
    case Verdict::Kind::Silent:
        return Change::None;
    case Verdict::Kind::Unreached:
        if (!unreachable_) {
            unreachable_ = true;
            said_ = pageReason_ = false;
            reason_.clear();
        }
        if (!said_) {
            if (reason_.isEmpty() || (verdict.pageInPlace && !pageReason_)) {
                reason_ = verdict.reason;
                pageReason_ = verdict.pageInPlace;
            }
            return Change::None;
        }
        // A page is named once in an outage, even one said with a refused connection.
        if (!verdict.pageInPlace || pageReason_)
            return Change::None;
        pageReason_ = true;
        reason_ = verdict.reason;
        return Change::Lost;
    case Verdict::Kind::Answered:
        if (!unreachable_)
            return Change::None;
        unreachable_ = false;
        return std::exchange(said_, false) ? Change::Back : Change::Returned;
    }
    return Change::None;
}

ServiceReach::Change ServiceReach::lasted()
{
    if (!unreachable_ || said_)
        return Change::None;
    said_ = true;
    return Change::Lost;
}

QByteArray ServiceReach::lostLine(const QUrl& origin, const QString& reason)
{
    return QStringLiteral("Runtime service %1 cannot be reached (%2); the player keeps trying.")
        .arg(originText(origin), reason)
        .toLocal8Bit();
}

QByteArray ServiceReach::backLine(const QUrl& origin)
{
    return QStringLiteral("Runtime service %1 answers again.").arg(originText(origin)).toLocal8Bit();
}

} // namespace talvorine
