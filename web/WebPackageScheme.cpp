#include "web/WebPackageScheme.h"

#include "web/ApplicationPackageCache.h"

#include <QFileInfo>
#include <QHash>
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

namespace {

const QString& schemeName()
{
    static const QString name = QStringLiteral("talvorine-app");
    return name;
}

bool validDigest(const QString& sha256)
{
    static const QRegularExpression digest(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-f0-9]{64}")));
    return digest.match(sha256).hasMatch();
}

} // namespace

QUrl WebPackageScheme::entryUrl(const QString& sha256, const QString& path)
{
    if (!validDigest(sha256))
        return {};
    QUrl url;
    url.setScheme(schemeName());
    url.setHost(sha256.left(32) + u'.' + sha256.mid(32), QUrl::DecodedMode);
    url.setPath(u'/' + path, QUrl::DecodedMode);
    return url;
}

bool WebPackageScheme::allowedPackageInitiator(const QUrl& initiator, const QString& sha256)
{
    const QUrl expected = entryUrl(sha256, QString());
    if (!expected.isValid() || expected.isEmpty())
        return false;
    if (!initiator.isValid() || initiator.isEmpty() || initiator.hasQuery()
        || initiator.hasFragment() || !initiator.userInfo().isEmpty() || initiator.port() != -1)
        return false;
    const QString path = initiator.path(QUrl::FullyDecoded);
    if (!path.isEmpty() && path != QLatin1String("/"))
        return false;
    if (initiator.scheme() == QLatin1String("qrc"))
        return initiator.host().isEmpty();
    return initiator.scheme() == schemeName()
        && initiator.host(QUrl::FullyDecoded) == expected.host(QUrl::FullyDecoded);
}

QByteArray WebPackageScheme::exactMimeType(const QString& suffix)
{
    static const QHash<QString, QByteArray> exact{
        {QStringLiteral("html"), "text/html"},
        {QStringLiteral("htm"), "text/html"},
        {QStringLiteral("css"), "text/css"},
        {QStringLiteral("js"), "text/javascript"},
        {QStringLiteral("mjs"), "text/javascript"},
        {QStringLiteral("json"), "application/json"},
        {QStringLiteral("wasm"), "application/wasm"},
        {QStringLiteral("png"), "image/png"},
        {QStringLiteral("svg"), "image/svg+xml"},
        {QStringLiteral("jpg"), "image/jpeg"},
        {QStringLiteral("jpeg"), "image/jpeg"},
        {QStringLiteral("webp"), "image/webp"},
        {QStringLiteral("gif"), "image/gif"},
        {QStringLiteral("mp4"), "video/mp4"},
        {QStringLiteral("webm"), "video/webm"},
        {QStringLiteral("mp3"), "audio/mpeg"},
        {QStringLiteral("ogg"), "audio/ogg"},
        {QStringLiteral("wav"), "audio/wav"},
        {QStringLiteral("woff"), "font/woff"},
        {QStringLiteral("woff2"), "font/woff2"},
        {QStringLiteral("ttf"), "font/ttf"},
        {QStringLiteral("otf"), "font/otf"},
        {QStringLiteral("txt"), "text/plain"},
    };
    return exact.value(suffix);
}

std::optional<ResolvedPackageFile> WebPackageScheme::resolveRequest(
    const QString& cacheRoot, const QString& sha256, const QUrl& requested,
    const QByteArray& method, ApplicationPackageCache* cache, const std::atomic<bool>* cancelled)
{
    // The engine hands over a link's fragment ("help.html#faq", "index.html#/route"); it names a
    // place in the document, never a file.
    const QUrl url = requested.adjusted(QUrl::RemoveFragment);
    if (cancelled && cancelled->load())
        return std::nullopt;
    if (cacheRoot.isEmpty() || !validDigest(sha256) || method != QByteArrayLiteral("GET"))
        return std::nullopt;
    if (url.scheme() != schemeName()
        || url.host(QUrl::FullyDecoded) != sha256.left(32) + u'.' + sha256.mid(32)
        || url.port() != -1 || !url.userInfo().isEmpty() || url.hasQuery())
        return std::nullopt;
    // Encoded separators and dots would let one path mean another further down.
    const QByteArray encoded = url.path(QUrl::FullyEncoded).toUtf8().toLower();
    if (encoded.contains("%2f") || encoded.contains("%5c") || encoded.contains("%2e"))
        return std::nullopt;
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(u'/') || path.size() < 2)
        return std::nullopt;

    std::optional<ApplicationPackageCache> ownCache;
    if (!cache)
        cache = &ownCache.emplace(cacheRoot);
    VerifiedFileIdentity identity;
    const std::optional<QString> resolved =
        cache->resolveFile(sha256, path.mid(1), true, &identity, cancelled);
    if (!resolved)
        return std::nullopt;
    const QByteArray contentType = exactMimeType(QFileInfo(*resolved).suffix().toLower());
    if (contentType.isEmpty())
        return std::nullopt;
    return ResolvedPackageFile{*resolved, contentType, identity};
}

} // namespace talvorine
