#include "runtime/ServiceReach.h"

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

QString originText(const QUrl& origin)
{
    return origin.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery
                           | QUrl::RemoveFragment)
        .toString();
}

} // namespace

ServiceReach::Verdict ServiceReach::verdictOf(int httpStatus, QNetworkReply::NetworkError error,
                                              const QString& errorText)
{
    // Content, protocol and server errors are Qt's names for statuses the service answered with.
    if (httpStatus != 0 && (error == QNetworkReply::NoError
                            || error >= QNetworkReply::ContentAccessDenied))
        return {Verdict::Kind::Answered, {}};
    if (httpStatus == 0 && connectionNeverMade(error))
        return {Verdict::Kind::Unreached, errorText};
    return {};
}

ServiceReach::Change ServiceReach::take(const Verdict& verdict)
{
    const bool unreachable = verdict.kind == Verdict::Kind::Unreached;
    if (verdict.kind == Verdict::Kind::Silent || unreachable == unreachable_)
        return Change::None;
    unreachable_ = unreachable;
    return unreachable ? Change::Lost : Change::Back;
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
