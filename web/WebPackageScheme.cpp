#include "web/WebPackageScheme.h"

#include <QRegularExpression>
#include <QWebEngineUrlScheme>

namespace talvorine {

void WebPackageScheme::registerBeforeApplication()
{
    QWebEngineUrlScheme scheme(QByteArrayLiteral("talvorine-app"));
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
    QWebEngineUrlScheme::Flags flags =
        QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    flags |= QWebEngineUrlScheme::FetchApiAllowed;
#endif
    scheme.setFlags(flags);
    QWebEngineUrlScheme::registerScheme(scheme);
}

QUrl WebPackageScheme::entryUrl(const QString& sha256, const QString& path)
{
    static const QRegularExpression digest(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-f0-9]{64}")));
    if (!digest.match(sha256).hasMatch())
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("talvorine-app"));
    url.setHost(sha256.left(32) + u'.' + sha256.mid(32), QUrl::DecodedMode);
    url.setPath(u'/' + path, QUrl::DecodedMode);
    return url;
}

} // namespace talvorine
