#include "manifest/ManifestParsing.h"

#include "manifest/ObjectEnterPolicy.h"
#include "manifest/ObjectMotionPolicy.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringTokenizer>

#include <cmath>
#include <limits>

namespace talvorine::ManifestParsing {

namespace {

// Every pattern is anchored at the very start and end of the text: with `^...$` a value
// followed by a line feed would pass here and fail later, for example as a content hash
// that can never verify.
QRegularExpression anchored(const QString& pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

const QRegularExpression& idPattern()
{
    static const QRegularExpression pattern = anchored(QStringLiteral("[A-Za-z0-9_.:-]{1,160}"));
    return pattern;
}

const QRegularExpression& shaPattern()
{
    static const QRegularExpression pattern = anchored(QStringLiteral("[a-f0-9]{64}"));
    return pattern;
}

const QRegularExpression& trackIdPattern()
{
    static const QRegularExpression pattern =
        anchored(QStringLiteral("[A-Za-z][A-Za-z0-9_-]{0,63}"));
    return pattern;
}

const QRegularExpression& tagPattern()
{
    static const QRegularExpression pattern = anchored(QStringLiteral("[A-Za-z0-9]{1,32}"));
    return pattern;
}

const QRegularExpression& codecsPattern()
{
    static const QRegularExpression pattern = anchored(QStringLiteral(
        "[A-Za-z0-9]{3,9}(\\.[A-Za-z0-9]{1,10}){0,5}(,[A-Za-z0-9]{3,9}(\\.[A-Za-z0-9]{1,10}){0,5})*"));
    return pattern;
}

const QRegularExpression& dnsLabelPattern()
{
    static const QRegularExpression pattern =
        anchored(QStringLiteral("[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?"));
    return pattern;
}

const QRegularExpression& octetPattern()
{
    static const QRegularExpression pattern = anchored(QStringLiteral("[0-9]{1,3}"));
    return pattern;
}

QByteArray utf8(const QString& value)
{
    return value.toUtf8();
}

std::string_view view(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

int effectivePort(const QUrl& url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
}

bool safePath(const QUrl& url)
{
    const QString decoded = url.path(QUrl::FullyDecoded);
    // Views into the path, not a string per segment: a path of millions of segments must
    // not cost millions of allocations.
    for (const QStringView part : qTokenize(QStringView(decoded), u'/', Qt::KeepEmptyParts)) {
        if (part == u"." || part == u"..")
            return false;
    }
    if (decoded.contains(QLatin1Char('\\')))
        return false;
    const QString encoded = url.path(QUrl::FullyEncoded);
    return !encoded.contains(QLatin1String("%2F"), Qt::CaseInsensitive)
        && !encoded.contains(QLatin1String("%5C"), Qt::CaseInsensitive);
}

QMutex& unknownKeyMutex()
{
    static QMutex mutex;
    return mutex;
}

QSet<QString>& reportedUnknownKeyPaths()
{
    static QSet<QString> paths;
    return paths;
}

UnknownKeyDocumentScope*& currentDocumentScope()
{
    static thread_local UnknownKeyDocumentScope* scope = nullptr;
    return scope;
}

// --- media ---------------------------------------------------------------------------------

const QSet<QString>& contentTypesOf(bool isVideo)
{
    static const QSet<QString> images{QStringLiteral("image/png"), QStringLiteral("image/jpeg"),
                                      QStringLiteral("image/webp"), QStringLiteral("image/gif")};
    static const QSet<QString> videos{QStringLiteral("video/mp4"), QStringLiteral("video/webm")};
    return isVideo ? videos : images;
}

bool validCodecs(const QJsonValue& value)
{
    if (!value.isString())
        return false;
    const QString codecs = value.toString();
    return !codecs.isEmpty() && codecs.size() <= 128 && codecsPattern().match(codecs).hasMatch();
}

MediaItem mediaItemFrom(const QJsonObject& item)
{
    MediaItem media;
    media.mediaId = text(item, QLatin1String("mediaId"));
    media.src = text(item, QLatin1String("src"));
    const QJsonObject size = item.value(QLatin1String("intrinsicSize")).toObject();
    media.intrinsicSize = QSizeF(size.value(QLatin1String("width")).toDouble(0.0),
                                 size.value(QLatin1String("height")).toDouble(0.0));
    media.sha256 = text(item, QLatin1String("sha256"));
    media.bytes = item.value(QLatin1String("bytes")).toInteger(0);
    media.contentType = text(item, QLatin1String("contentType"));
    media.codecs = text(item, QLatin1String("codecs"));
    return media;
}

// --- primitive keys --------------------------------------------------------------------------

const QSet<QString>& placementKeys()
{
    static const QSet<QString> keys{
        QStringLiteral("id"),       QStringLiteral("rect"),
        QStringLiteral("layer"),    QStringLiteral("contentFit"),
        QStringLiteral("primitive"), QStringLiteral("selector"),
        QStringLiteral("enter"),    QStringLiteral("motion"),
        QStringLiteral("capabilityHandle"), QStringLiteral("capabilityExpiresAt"),
        QStringLiteral("controller"),
    };
    return keys;
}

QSet<QString> commonKeys()
{
    return {QStringLiteral("id"), QStringLiteral("rect"), QStringLiteral("layer"),
            QStringLiteral("contentFit"), QStringLiteral("primitive"), QStringLiteral("enter"),
            QStringLiteral("motion")};
}

const QSet<QString>& furtherRequiredKeys(const QString& kind)
{
    static const QSet<QString> image{QStringLiteral("selector"), QStringLiteral("resolvedMedia"),
                                     QStringLiteral("grantId")};
    static const QSet<QString> video{QStringLiteral("selector"), QStringLiteral("resolvedMedia"),
                                     QStringLiteral("grantId"), QStringLiteral("muted"),
                                     QStringLiteral("loop")};
    static const QSet<QString> iframe{QStringLiteral("src"), QStringLiteral("title")};
    static const QSet<QString> application{
        QStringLiteral("capabilityHandle"), QStringLiteral("capabilityExpiresAt"),
        QStringLiteral("applicationId"),    QStringLiteral("releaseId"),
        QStringLiteral("launchUrl"),        QStringLiteral("origin"),
        QStringLiteral("protocol"),         QStringLiteral("grantId"),
        QStringLiteral("package")};
    if (kind == QLatin1String("video"))
        return video;
    if (kind == QLatin1String("iframe"))
        return iframe;
    if (kind == QLatin1String("application"))
        return application;
    return image;
}

const QSet<QString>& allowedKeys(const QString& kind)
{
    static const auto build = [](const QString& name, const QSet<QString>& optional) {
        QSet<QString> keys = commonKeys();
        keys.unite(furtherRequiredKeys(name));
        keys.unite(optional);
        return keys;
    };
    static const QSet<QString> image =
        build(QStringLiteral("image"), {QStringLiteral("alt"), QStringLiteral("dwellMs")});
    static const QSet<QString> video = build(QStringLiteral("video"), {});
    static const QSet<QString> iframe = build(QStringLiteral("iframe"), {});
    static const QSet<QString> application =
        build(QStringLiteral("application"), {QStringLiteral("controller")});
    if (kind == QLatin1String("video"))
        return video;
    if (kind == QLatin1String("iframe"))
        return iframe;
    if (kind == QLatin1String("application"))
        return application;
    return image;
}

bool knownKind(const QString& kind)
{
    return kind == QLatin1String("application") || kind == QLatin1String("image")
        || kind == QLatin1String("video") || kind == QLatin1String("stream")
        || kind == QLatin1String("iframe");
}

// --- web bindings ---------------------------------------------------------------------------

bool applicationBindingValid(const QJsonObject& object, const QJsonObject& binding,
                             const QString& grantId, const QUrl& origin)
{
    static const QSet<QString> bindingKeys{
        QStringLiteral("type"),     QStringLiteral("applicationId"), QStringLiteral("releaseId"),
        QStringLiteral("launchUrl"), QStringLiteral("origin"),       QStringLiteral("protocol"),
        QStringLiteral("grantId"),  QStringLiteral("package")};
    static const QSet<QString> packageKeys{
        QStringLiteral("version"),    QStringLiteral("url"),        QStringLiteral("bytes"),
        QStringLiteral("sha256"),     QStringLiteral("entrypoint"), QStringLiteral("contentType")};

    if (!hasRequiredKeys(binding, bindingKeys))
        return false;
    if (text(object, QLatin1String("contentFit")) != QLatin1String("fill"))
        return false;
    if (!id(binding.value(QLatin1String("applicationId")))
        || !id(binding.value(QLatin1String("releaseId"))))
        return false;
    if (!binding.value(QLatin1String("protocol")).isString()
        || text(binding, QLatin1String("protocol")) != QLatin1String("1"))
        return false;
    if (text(binding, QLatin1String("grantId")) != grantId)
        return false;
    if (!releaseOrigin(text(binding, QLatin1String("origin"))))
        return false;
    if (!credentialOriginUrl(text(binding, QLatin1String("launchUrl")), origin,
                             QStringLiteral("/runtime/")))
        return false;
    const QJsonValue packageValue = binding.value(QLatin1String("package"));
    if (!packageValue.isObject())
        return false;
    const QJsonObject package = packageValue.toObject();
    if (!hasRequiredKeys(package, packageKeys))
        return false;
    if (text(package, QLatin1String("version")) != QLatin1String("talvorine.webapp-package/v1"))
        return false;
    if (!credentialOriginUrl(text(package, QLatin1String("url")), origin, QStringLiteral("/content/")))
        return false;
    if (!boundedInteger(package.value(QLatin1String("bytes")), 1, 272629760))
        return false;
    if (!sha(package.value(QLatin1String("sha256"))))
        return false;
    if (text(package, QLatin1String("entrypoint")) != QLatin1String("index.html"))
        return false;
    if (text(package, QLatin1String("contentType"))
        != QLatin1String("application/vnd.talvorine.webapp-package+tar+gzip"))
        return false;
    if (text(object, QLatin1String("capabilityHandle")).size() < 32)
        return false;
    if (!QDateTime::fromString(text(object, QLatin1String("capabilityExpiresAt")), Qt::ISODate).isValid())
        return false;
    const QJsonValue controller = object.value(QLatin1String("controller"));
    return controller.isUndefined() || controller.isBool();
}

bool iframeBindingValid(const QJsonObject& object, const QJsonObject& binding)
{
    static const QSet<QString> keys{QStringLiteral("type"), QStringLiteral("src"),
                                    QStringLiteral("title")};
    if (!hasRequiredKeys(binding, keys))
        return false;
    if (text(object, QLatin1String("contentFit")) != QLatin1String("fill"))
        return false;
    const QUrl src(text(binding, QLatin1String("src")), QUrl::TolerantMode);
    if (!src.isValid() || src.scheme() != QLatin1String("https") || !src.userInfo().isEmpty())
        return false;
    return !text(binding, QLatin1String("title")).isEmpty();
}

// --- streams --------------------------------------------------------------------------------

bool hlsSourceValid(const QJsonObject& source)
{
    const QUrl url(text(source, QLatin1String("url")), QUrl::TolerantMode);
    return url.isValid() && url.scheme() == QLatin1String("https")
        && !url.host(QUrl::FullyDecoded).isEmpty() && url.userInfo().isEmpty();
}

bool multicastSourceValid(const QJsonObject& source)
{
    const QString group = text(source, QLatin1String("group"));
    // Four octets of at most three digits and three dots: anything longer fails anyway, and
    // must fail before it is split into millions of parts.
    if (group.size() > 15)
        return false;
    const QStringList parts = group.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4 || parts.first() != QLatin1String("239"))
        return false;
    for (const QString& part : parts) {
        if (!octetPattern().match(part).hasMatch() || part.toInt() > 255)
            return false;
    }
    return boundedInteger(source.value(QLatin1String("port")), 1, 65535);
}

std::optional<Primitive> parseStream(const QJsonObject& object, const QString& path,
                                     qint32 sourceIndex, const QString& grantId, const QUrl& origin,
                                     const QString& pageId, const QString& primitiveId,
                                     QList<ManifestDrop>& drops)
{
    if (text(object, QLatin1String("grantId")) != grantId
        || !object.value(QLatin1String("muted")).isBool()) {
        recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_binding_invalid"), path);
        return std::nullopt;
    }
    const QJsonValue sourcesValue = object.value(QLatin1String("sources"));
    if (!sourcesValue.isArray()) {
        recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_sources_invalid"), path);
        return std::nullopt;
    }
    const QJsonArray sources = sourcesValue.toArray();
    QJsonArray accepted;
    QSet<QString> protocols;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        if (i == listEntryBound) {
            recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_source_invalid"),
                       path + QLatin1String(".sources"));
            break;
        }
        const QString sourcePath = path + QStringLiteral(".sources[%1]").arg(i);
        const QJsonValue entry = sources.at(i);
        const QJsonObject source = entry.toObject();
        const QString protocol = text(source, QLatin1String("protocol"));
        if (!entry.isObject() || protocols.contains(protocol)) {
            recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_source_invalid"), sourcePath);
            continue;
        }
        bool valid = false;
        if (protocol == QLatin1String("hls")) {
            valid = hlsSourceValid(source);
        } else if (protocol == QLatin1String("udp-mpegts")) {
            valid = multicastSourceValid(source);
        } else {
            recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_protocol_unknown"),
                       sourcePath);
            continue;
        }
        if (!valid) {
            recordDrop(drops, pageId, primitiveId, QStringLiteral("stream_source_invalid"), sourcePath);
            continue;
        }
        protocols.insert(protocol);
        accepted.append(source);
    }

    QJsonObject fallback = object;
    const QJsonObject fallbackItem = fallback.take(QLatin1String("fallback")).toObject();
    fallback.remove(QLatin1String("sources"));
    fallback.remove(QLatin1String("muted"));
    fallback.insert(QLatin1String("primitive"), QStringLiteral("image"));
    fallback.insert(QLatin1String("resolvedMedia"), QJsonArray{fallbackItem});
    fallback.insert(QLatin1String("selector"),
                    QJsonObject{{QStringLiteral("by"), QStringLiteral("id")},
                                {QStringLiteral("mediaId"), fallbackItem.value(QLatin1String("mediaId"))},
                                {QStringLiteral("oneAtATime"), false}});

    std::optional<Primitive> primitive =
        parsePrimitive(fallback, path, sourceIndex, grantId, origin, pageId, drops);
    if (!primitive || accepted.isEmpty())
        return primitive;
    primitive->kind = PrimitiveKind::stream;
    primitive->intrinsicSize = primitive->rect.size();
    primitive->binding.insert(QLatin1String("sources"), accepted);
    primitive->binding.insert(QLatin1String("muted"), object.value(QLatin1String("muted")));
    return primitive;
}

} // namespace

// --- shared checks ----------------------------------------------------------------------------

QString text(const QJsonObject& object, QLatin1String key)
{
    return object.value(key).toString();
}

bool finiteNumber(const QJsonValue& value)
{
    return value.isDouble() && std::isfinite(value.toDouble());
}

bool finiteNumber(const QJsonValue& value, double above, bool exclusive)
{
    if (!finiteNumber(value))
        return false;
    const double number = value.toDouble();
    return exclusive ? number > above : number >= above;
}

bool boundedInteger(const QJsonValue& value, int low, int high)
{
    if (!finiteNumber(value))
        return false;
    const double number = value.toDouble();
    return std::floor(number) == number && number >= double(low) && number <= double(high);
}

bool hasRequiredKeys(const QJsonObject& object, const QSet<QString>& keys)
{
    for (const QString& key : keys) {
        if (!object.contains(key))
            return false;
    }
    return true;
}

bool id(const QJsonValue& value)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    return text.size() <= 160 && idPattern().match(text).hasMatch();
}

bool sha(const QJsonValue& value)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    return text.size() == 64 && shaPattern().match(text).hasMatch();
}

bool trackId(const QString& text)
{
    return text.size() <= 64 && trackIdPattern().match(text).hasMatch();
}

UnknownKeyDocumentScope::UnknownKeyDocumentScope()
    : m_enclosing(currentDocumentScope())
{
    currentDocumentScope() = this;
}

UnknownKeyDocumentScope::~UnknownKeyDocumentScope()
{
    currentDocumentScope() = m_enclosing;
}

void noteUnknownKeys(const QJsonObject& object, const QSet<QString>& allowed, const QString& path)
{
    UnknownKeyDocumentScope* document = currentDocumentScope();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (allowed.contains(it.key()))
            continue;
        // Past the document's share, its further keys stay unlogged and unremembered, so a
        // later revision that still carries them logs them then.
        if (document && document->reported >= unknownKeyPathsPerDocument)
            return;
        QString keyPath = path + QLatin1Char('.') + it.key();
        // A server-chosen key can be megabytes long; the log line and the remembered path only
        // need enough of it to be recognised.
        if (keyPath.size() > unknownKeyPathLength)
            keyPath.truncate(unknownKeyPathLength);
        {
            QMutexLocker lock(&unknownKeyMutex());
            QSet<QString>& reported = reportedUnknownKeyPaths();
            if (reported.size() >= unknownKeyPathCap || reported.contains(keyPath))
                continue;
            reported.insert(keyPath);
        }
        if (document)
            document->reported += 1;
        qDebug("manifest unknown key ignored: %s", keyPath.toLocal8Bit().constData());
    }
}

int reportedUnknownKeyPathCount()
{
    QMutexLocker lock(&unknownKeyMutex());
    return int(reportedUnknownKeyPaths().size());
}

void recordDrop(QList<ManifestDrop>& drops, const QString& pageId, const QString& primitiveId,
                const QString& code, const QString& path)
{
    drops.append(ManifestDrop{pageId, primitiveId, code, path});
}

// --- addresses --------------------------------------------------------------------------------

bool credentialOriginUrl(const QString& reference, const QUrl& origin, const QString& prefix)
{
    const QUrl unresolved(reference, QUrl::TolerantMode);
    // User information in the origin is the operator's, never the manifest's: a relative
    // address takes the origin without it.
    const QUrl resolved = origin.adjusted(QUrl::RemoveUserInfo).resolved(unresolved);
    if (!safePath(unresolved) || !safePath(resolved))
        return false;
    if (!resolved.isValid())
        return false;
    if (resolved.scheme().compare(origin.scheme(), Qt::CaseInsensitive) != 0)
        return false;
    if (resolved.host(QUrl::FullyDecoded).compare(origin.host(QUrl::FullyDecoded), Qt::CaseInsensitive) != 0)
        return false;
    if (effectivePort(resolved) != effectivePort(origin))
        return false;
    if (!resolved.userInfo().isEmpty() || resolved.hasFragment())
        return false;
    return resolved.path(QUrl::FullyDecoded).startsWith(prefix, Qt::CaseSensitive);
}

QString applicationHost()
{
    return QStringLiteral("apps.talvorine.net");
}

QString localApplicationHost()
{
    return QStringLiteral("apps.localhost");
}

bool releaseOrigin(const QString& text)
{
    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return false;
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.isEmpty() && path != QLatin1String("/"))
        return false;
    const QString host = url.host(QUrl::FullyDecoded).toLower();
    const auto labelBefore = [&host](const QString& suffix) {
        const QString tail = QLatin1Char('.') + suffix;
        if (!host.endsWith(tail))
            return false;
        return dnsLabelPattern().match(host.left(host.size() - tail.size())).hasMatch();
    };
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https"))
        return url.port() == -1 && labelBefore(applicationHost());
    if (scheme == QLatin1String("http"))
        return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1")
            || labelBefore(localApplicationHost());
    return false;
}

// --- media -------------------------------------------------------------------------------------

bool validMediaSelector(const QJsonValue& value)
{
    if (!value.isObject())
        return false;
    const QJsonObject selector = value.toObject();
    const QJsonValue oneAtATime = selector.value(QLatin1String("oneAtATime"));
    if (!oneAtATime.isBool())
        return false;
    const QString by = text(selector, QLatin1String("by"));
    if (by == QLatin1String("id")) {
        return selector.contains(QLatin1String("mediaId")) && !oneAtATime.toBool()
            && id(selector.value(QLatin1String("mediaId")));
    }
    if (by == QLatin1String("ids")) {
        const QJsonValue idsValue = selector.value(QLatin1String("mediaIds"));
        if (!idsValue.isArray())
            return false;
        const QJsonArray ids = idsValue.toArray();
        if (ids.isEmpty() || ids.size() > 32)
            return false;
        QSet<QString> seen;
        for (const QJsonValue& entry : ids) {
            if (!id(entry) || seen.contains(entry.toString()))
                return false;
            seen.insert(entry.toString());
        }
        return true;
    }
    if (by == QLatin1String("all"))
        return true;
    if (by == QLatin1String("tag")) {
        return selector.contains(QLatin1String("tag"))
            && tagPattern().match(text(selector, QLatin1String("tag"))).hasMatch();
    }
    return false;
}

std::variant<QList<MediaItem>, ManifestError>
parseMediaItems(QJsonObject& binding, bool isVideo, const QUrl& origin, const QString& path,
                const QString& pageId, const QString& primitiveId, QList<ManifestDrop>& drops)
{
    static const QSet<QString> itemKeys{QStringLiteral("mediaId"), QStringLiteral("src"),
                                        QStringLiteral("intrinsicSize"), QStringLiteral("sha256"),
                                        QStringLiteral("bytes"), QStringLiteral("contentType")};
    const QString listPath = path + QLatin1String(".items");
    const QJsonValue itemsValue = binding.value(QLatin1String("items"));
    if (!itemsValue.isArray())
        return ManifestError{QStringLiteral("media_binding_invalid"), listPath};
    const QJsonArray items = itemsValue.toArray();
    if (items.isEmpty())
        return ManifestError{QStringLiteral("media_item_invalid"), listPath};

    QJsonArray keptJson;
    QList<MediaItem> kept;
    QSet<QString> usedIds;
    const QString invalid = QStringLiteral("media_item_invalid");
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i == listEntryBound) {
            recordDrop(drops, pageId, primitiveId, invalid, listPath);
            break;
        }
        const QString itemPath = listPath + QStringLiteral("[%1]").arg(i);
        const QJsonValue entry = items.at(i);
        if (i >= 32 || !entry.isObject()) {
            recordDrop(drops, pageId, primitiveId, invalid, itemPath);
            continue;
        }
        QJsonObject item = entry.toObject();
        const bool valid = hasRequiredKeys(item, itemKeys)
            && id(item.value(QLatin1String("mediaId")))
            && !usedIds.contains(text(item, QLatin1String("mediaId")))
            && credentialOriginUrl(text(item, QLatin1String("src")), origin, QStringLiteral("/content/"))
            && sha(item.value(QLatin1String("sha256")))
            && boundedInteger(item.value(QLatin1String("bytes")), 1, 1073741824)
            && contentTypesOf(isVideo).contains(text(item, QLatin1String("contentType")))
            && item.value(QLatin1String("intrinsicSize")).isObject();
        if (!valid) {
            recordDrop(drops, pageId, primitiveId, invalid, itemPath);
            continue;
        }
        const QJsonObject size = item.value(QLatin1String("intrinsicSize")).toObject();
        if (!finiteNumber(size.value(QLatin1String("width")), 0.0, true)
            || !finiteNumber(size.value(QLatin1String("height")), 0.0, true)) {
            recordDrop(drops, pageId, primitiveId, invalid, itemPath + QLatin1String(".intrinsicSize"));
            continue;
        }
        if (item.contains(QLatin1String("codecs"))
            && (!isVideo || !validCodecs(item.value(QLatin1String("codecs"))))) {
            item.remove(QLatin1String("codecs"));
            recordDrop(drops, pageId, primitiveId, QStringLiteral("media_codecs_ignored"),
                       itemPath + QLatin1String(".codecs"));
        }
        usedIds.insert(text(item, QLatin1String("mediaId")));
        keptJson.append(item);
        kept.append(mediaItemFrom(item));
    }
    if (kept.isEmpty())
        return ManifestError{invalid, listPath};
    binding.insert(QLatin1String("items"), keptJson);
    return kept;
}

// --- motion ------------------------------------------------------------------------------------

std::optional<Primitive::Motion> parseMotion(const QJsonObject& primitive, const QString& path,
                                             const QString& kindName, const QString& pageId,
                                             const QString& primitiveId, QList<ManifestDrop>& drops)
{
    static const QSet<QString> known{QStringLiteral("type"),   QStringLiteral("direction"),
                                     QStringLiteral("speed"),  QStringLiteral("points"),
                                     QStringLiteral("rate"),   QStringLiteral("loop"),
                                     QStringLiteral("zoom")};
    if (!primitive.contains(QLatin1String("motion")))
        return std::nullopt;
    const QString motionPath = path + QLatin1String(".motion");
    const auto fail = [&](const QString& code, const QString& at) {
        recordDrop(drops, pageId, primitiveId, code, at);
        return std::optional<Primitive::Motion>();
    };
    const QJsonValue value = primitive.value(QLatin1String("motion"));
    if (!value.isObject())
        return fail(QStringLiteral("motion_invalid"), motionPath);
    const QJsonObject motion = value.toObject();
    noteUnknownKeys(motion, known, motionPath);

    const bool webKind = kindName == QLatin1String("application") || kindName == QLatin1String("iframe");
    const QString type = text(motion, QLatin1String("type"));
    Primitive::Motion result;
    if (type == QLatin1String("spin")) {
        if (webKind)
            return fail(QStringLiteral("motion_not_allowed_for_primitive"), motionPath);
        static const QSet<QString> required{QStringLiteral("type"), QStringLiteral("direction"),
                                            QStringLiteral("speed")};
        const QString direction = text(motion, QLatin1String("direction"));
        const QString speed = text(motion, QLatin1String("speed"));
        if (!hasRequiredKeys(motion, required)
            || (direction != QLatin1String("cw") && direction != QLatin1String("ccw"))
            || !ObjectMotionPolicy::validSpinSpeed(view(utf8(speed))))
            return fail(QStringLiteral("motion_invalid"), motionPath);
        result.type = Primitive::Motion::spin;
        result.spinDirection = direction;
        result.spinSpeed = speed;
        return result;
    }
    if (type == QLatin1String("path")) {
        static const QSet<QString> required{QStringLiteral("type"), QStringLiteral("points"),
                                            QStringLiteral("rate")};
        if (!hasRequiredKeys(motion, required))
            return fail(QStringLiteral("motion_invalid"), motionPath);
        const QString pointsPath = motionPath + QLatin1String(".points");
        const QJsonValue pointsValue = motion.value(QLatin1String("points"));
        if (!pointsValue.isArray())
            return fail(QStringLiteral("motion_invalid"), pointsPath);
        const QJsonArray points = pointsValue.toArray();
        if (points.isEmpty() || points.size() > 64)
            return fail(QStringLiteral("motion_invalid"), pointsPath);
        result.points.reserve(std::size_t(points.size()));
        for (qsizetype i = 0; i < points.size(); ++i) {
            const QJsonValue entry = points.at(i);
            const QJsonObject point = entry.toObject();
            if (!entry.isObject() || !finiteNumber(point.value(QLatin1String("x")))
                || !finiteNumber(point.value(QLatin1String("y"))))
                return fail(QStringLiteral("motion_invalid"), pointsPath + QStringLiteral("[%1]").arg(i));
            result.points.push_back(ObjectMotionPoint{point.value(QLatin1String("x")).toDouble(),
                                                      point.value(QLatin1String("y")).toDouble()});
        }
        const QJsonValue rate = motion.value(QLatin1String("rate"));
        if (!finiteNumber(rate, 0.0, true) || rate.toDouble() > 10000.0)
            return fail(QStringLiteral("motion_invalid"), motionPath + QLatin1String(".rate"));
        if (motion.contains(QLatin1String("loop"))) {
            const QString loop = text(motion, QLatin1String("loop"));
            if (!ObjectMotionPolicy::validPathLoop(view(utf8(loop))))
                return fail(QStringLiteral("motion_invalid"), motionPath + QLatin1String(".loop"));
            result.loop = loop;
        }
        result.type = Primitive::Motion::path;
        result.rate = rate.toDouble();
        return result;
    }
    if (type == QLatin1String("drift")) {
        if (webKind)
            return fail(QStringLiteral("motion_not_allowed_for_primitive"), motionPath);
        static const QSet<QString> required{QStringLiteral("type"), QStringLiteral("zoom"),
                                            QStringLiteral("direction"), QStringLiteral("speed")};
        const QString zoom = text(motion, QLatin1String("zoom"));
        const QString direction = text(motion, QLatin1String("direction"));
        const QString speed = text(motion, QLatin1String("speed"));
        if (!hasRequiredKeys(motion, required)
            || (zoom != QLatin1String("in") && zoom != QLatin1String("out"))
            || !ObjectMotionPolicy::validDriftDirection(view(utf8(direction)))
            || !ObjectMotionPolicy::validSpinSpeed(view(utf8(speed))))
            return fail(QStringLiteral("motion_invalid"), motionPath);
        result.type = Primitive::Motion::drift;
        result.driftZoom = zoom;
        result.driftDirection = direction;
        result.driftSpeed = speed;
        return result;
    }
    return fail(QStringLiteral("motion_type_unknown"), motionPath);
}

// --- primitives -------------------------------------------------------------------------------

QJsonObject bindingFields(const QJsonObject& object)
{
    // Removing the few placement keys from a copy is much cheaper than rebuilding the object
    // key by key.
    QJsonObject binding = object;
    for (const QString& key : placementKeys())
        binding.remove(key);
    const QJsonValue kind = object.value(QLatin1String("primitive"));
    binding.insert(QLatin1String("type"), kind);
    const QString kindText = kind.toString();
    if (kindText == QLatin1String("image") || kindText == QLatin1String("video")) {
        binding.remove(QLatin1String("items"));
        binding.remove(QLatin1String("oneAtATime"));
        if (object.contains(QLatin1String("resolvedMedia")))
            binding.insert(QLatin1String("items"), binding.take(QLatin1String("resolvedMedia")));
        const QJsonValue selector = object.value(QLatin1String("selector"));
        if (selector.isObject() && selector.toObject().contains(QLatin1String("oneAtATime")))
            binding.insert(QLatin1String("oneAtATime"),
                           selector.toObject().value(QLatin1String("oneAtATime")));
    }
    return binding;
}

std::optional<Primitive> parsePrimitive(const QJsonObject& object, const QString& path,
                                        qint32 sourceIndex, const QString& grantId,
                                        const QUrl& origin, const QString& pageId,
                                        QList<ManifestDrop>& drops)
{
    const QString primitiveId = text(object, QLatin1String("id"));
    const auto drop = [&](const QString& code, const QString& at) {
        recordDrop(drops, pageId, primitiveId, code, at);
        return std::optional<Primitive>();
    };

    const QJsonValue rectValue = object.value(QLatin1String("rect"));
    if (!id(object.value(QLatin1String("id"))) || !rectValue.isObject()
        || !boundedInteger(object.value(QLatin1String("layer")), 0, 1024)
        || !object.value(QLatin1String("primitive")).isString())
        return drop(QStringLiteral("primitive_invalid"), path);

    const QString contentFit = text(object, QLatin1String("contentFit"));
    if (contentFit != QLatin1String("contain") && contentFit != QLatin1String("fill")
        && contentFit != QLatin1String("cover"))
        return drop(QStringLiteral("content_fit_invalid"), path + QLatin1String(".contentFit"));

    static const QSet<QString> rectKeys{QStringLiteral("x"), QStringLiteral("y"),
                                        QStringLiteral("width"), QStringLiteral("height")};
    const QJsonObject rect = rectValue.toObject();
    if (!hasRequiredKeys(rect, rectKeys) || !finiteNumber(rect.value(QLatin1String("x")))
        || !finiteNumber(rect.value(QLatin1String("y")))
        || !finiteNumber(rect.value(QLatin1String("width")), 0.0, true)
        || !finiteNumber(rect.value(QLatin1String("height")), 0.0, true))
        return drop(QStringLiteral("primitive_rect_invalid"), path + QLatin1String(".rect"));

    const QString kind = text(object, QLatin1String("primitive"));
    if (!knownKind(kind))
        return drop(QStringLiteral("content_type_unsupported"), path + QLatin1String(".primitive"));

    if (kind == QLatin1String("stream"))
        return parseStream(object, path, sourceIndex, grantId, origin, pageId, primitiveId, drops);

    noteUnknownKeys(object, allowedKeys(kind), path);
    if (!hasRequiredKeys(object, furtherRequiredKeys(kind)))
        return drop(QStringLiteral("primitive_invalid"), path);

    Primitive primitive;
    if (object.contains(QLatin1String("enter"))) {
        const QString enterPath = path + QLatin1String(".enter");
        const QJsonValue enterValue = object.value(QLatin1String("enter"));
        if (!enterValue.isObject()) {
            recordDrop(drops, pageId, primitiveId, QStringLiteral("enter_invalid"), enterPath);
        } else {
            static const QSet<QString> enterKeys{QStringLiteral("type"), QStringLiteral("stagger")};
            const QJsonObject enter = enterValue.toObject();
            noteUnknownKeys(enter, enterKeys, enterPath);
            const QString type = text(enter, QLatin1String("type"));
            if (!ObjectEnterPolicy::validType(view(utf8(type)))) {
                recordDrop(drops, pageId, primitiveId, QStringLiteral("enter_type_unknown"), enterPath);
            } else {
                primitive.enterType = type;
                const QJsonValue stagger = enter.value(QLatin1String("stagger"));
                if (finiteNumber(stagger) && std::floor(stagger.toDouble()) == stagger.toDouble()) {
                    const double whole = stagger.toDouble();
                    const bool in32 = whole >= double(std::numeric_limits<qint32>::min())
                        && whole <= double(std::numeric_limits<qint32>::max());
                    const qint32 value = in32 ? qint32(whole) : 0;
                    primitive.enterStagger = std::clamp(value, 0, 8);
                }
            }
        }
    }

    primitive.motion = parseMotion(object, path, kind, pageId, primitiveId, drops);

    QJsonObject binding = bindingFields(object);
    primitive.id = primitiveId;
    primitive.layer = object.value(QLatin1String("layer")).toInt();
    primitive.sourceIndex = sourceIndex;
    primitive.rect = QRectF(rect.value(QLatin1String("x")).toDouble(),
                            rect.value(QLatin1String("y")).toDouble(),
                            rect.value(QLatin1String("width")).toDouble(),
                            rect.value(QLatin1String("height")).toDouble());
    primitive.contentFit = contentFit;
    primitive.kind = PrimitiveKind::image;

    if (kind == QLatin1String("application")) {
        if (!applicationBindingValid(object, binding, grantId, origin))
            return drop(QStringLiteral("application_binding_invalid"), path);
        primitive.kind = PrimitiveKind::application;
        primitive.capabilityHandle = text(object, QLatin1String("capabilityHandle"));
        primitive.controller = object.value(QLatin1String("controller")).toBool(false);
        primitive.binding = binding;
        return primitive;
    }
    if (kind == QLatin1String("iframe")) {
        if (!iframeBindingValid(object, binding))
            return drop(QStringLiteral("iframe_binding_invalid"), path);
        primitive.kind = PrimitiveKind::iframe;
        primitive.binding = binding;
        return primitive;
    }

    const bool isVideo = kind == QLatin1String("video");
    static const QSet<QString> imageBindingKeys{QStringLiteral("type"), QStringLiteral("items"),
                                                QStringLiteral("oneAtATime"), QStringLiteral("grantId")};
    static const QSet<QString> videoBindingKeys{QStringLiteral("muted"), QStringLiteral("loop")};
    bool valid = validMediaSelector(object.value(QLatin1String("selector")))
        && hasRequiredKeys(binding, imageBindingKeys)
        && (!isVideo || hasRequiredKeys(binding, videoBindingKeys))
        && binding.value(QLatin1String("oneAtATime")).isBool()
        && text(binding, QLatin1String("grantId")) == grantId;
    if (valid && isVideo) {
        valid = binding.value(QLatin1String("muted")).isBool()
            && binding.value(QLatin1String("loop")).isBool();
    } else if (valid) {
        const QJsonValue alt = binding.value(QLatin1String("alt"));
        const QJsonValue dwell = binding.value(QLatin1String("dwellMs"));
        valid = (alt.isUndefined() || alt.isString())
            && (dwell.isUndefined() || boundedInteger(dwell, 1000, 86400000));
    }
    if (!valid)
        return drop(QStringLiteral("media_binding_invalid"), path);

    auto items = parseMediaItems(binding, isVideo, origin, path, pageId, primitiveId, drops);
    if (const auto* error = std::get_if<ManifestError>(&items))
        return drop(error->code, error->path.isEmpty() ? path : error->path);
    const QList<MediaItem>& kept = std::get<QList<MediaItem>>(items);
    primitive.kind = isVideo ? PrimitiveKind::video : PrimitiveKind::image;
    primitive.binding = binding;
    primitive.mediaPrimitiveId = primitive.id;
    primitive.intrinsicSize = kept.first().intrinsicSize;
    return primitive;
}

// --- visibility, soundtrack, cues -------------------------------------------------------------

std::optional<PageVisibility> tolerantVisibility(const QJsonValue& value, const QString& path,
                                                 const QString& pageId, QList<ManifestDrop>& drops)
{
    static const QSet<QString> allowed{QStringLiteral("enabled"), QStringLiteral("from"),
                                       QStringLiteral("until"), QStringLiteral("windows")};
    if (!value.isObject()) {
        recordDrop(drops, pageId, QString(), QStringLiteral("visibility_invalid"), path);
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!allowed.contains(it.key())) {
            recordDrop(drops, pageId, QString(), QStringLiteral("visibility_key_unknown"),
                       path + QLatin1Char('.') + it.key());
            return std::nullopt;
        }
    }
    auto parsed = ScheduleContract::parseVisibility(object, path);
    if (const auto* error = std::get_if<ScheduleParseError>(&parsed)) {
        recordDrop(drops, pageId, QString(), QStringLiteral("visibility_invalid"), error->path);
        return std::nullopt;
    }
    return std::get<PageVisibility>(parsed);
}

std::optional<Soundtrack> tolerantSoundtrack(const QJsonObject& document, const QUrl& origin,
                                             QList<ManifestDrop>& drops)
{
    static const QSet<QString> audioKeys{QStringLiteral("loop"), QStringLiteral("volume"),
                                         QStringLiteral("tracks")};
    static const QSet<QString> trackKeys{
        QStringLiteral("id"),          QStringLiteral("mediaId"),    QStringLiteral("src"),
        QStringLiteral("sha256"),      QStringLiteral("bytes"),      QStringLiteral("contentType"),
        QStringLiteral("durationMs"),  QStringLiteral("codecs"),     QStringLiteral("grantId")};
    const QString invalid = QStringLiteral("audio_track_invalid");
    if (!document.contains(QLatin1String("audio")))
        return std::nullopt;
    const QJsonValue audioValue = document.value(QLatin1String("audio"));
    const QJsonObject audio = audioValue.toObject();
    if (!audioValue.isObject() || !audio.value(QLatin1String("tracks")).isArray()) {
        recordDrop(drops, QString(), QString(), invalid, QStringLiteral("audio"));
        return std::nullopt;
    }
    noteUnknownKeys(audio, audioKeys, QStringLiteral("audio"));

    Soundtrack soundtrack;
    const QJsonValue loop = audio.value(QLatin1String("loop"));
    if (loop.isBool())
        soundtrack.loop = loop.toBool();
    const QJsonValue volume = audio.value(QLatin1String("volume"));
    if (finiteNumber(volume))
        soundtrack.volume = std::clamp(volume.toDouble(), 0.0, 1.0);

    const QJsonArray tracks = audio.value(QLatin1String("tracks")).toArray();
    QSet<QString> keptIds;
    for (qsizetype i = 0; i < tracks.size(); ++i) {
        if (i == listEntryBound) {
            recordDrop(drops, QString(), QString(), invalid, QStringLiteral("audio.tracks"));
            break;
        }
        const QString trackPath = QStringLiteral("audio.tracks[%1]").arg(i);
        const QJsonValue entry = tracks.at(i);
        const QJsonObject track = entry.toObject();
        if (entry.isObject())
            noteUnknownKeys(track, trackKeys, trackPath);
        const QString trackIdText = text(track, QLatin1String("id"));
        const QJsonValue duration = track.value(QLatin1String("durationMs"));
        const bool valid = entry.isObject() && i < 32 && trackId(trackIdText)
            && !keptIds.contains(trackIdText) && id(track.value(QLatin1String("mediaId")))
            && credentialOriginUrl(text(track, QLatin1String("src")), origin, QStringLiteral("/content/"))
            && sha(track.value(QLatin1String("sha256")))
            && boundedInteger(track.value(QLatin1String("bytes")), 1, 1073741824)
            && text(track, QLatin1String("contentType")).startsWith(QLatin1String("audio/"))
            && finiteNumber(duration, 0.0, true);
        if (!valid) {
            recordDrop(drops, QString(), QString(), invalid, trackPath);
            continue;
        }
        keptIds.insert(trackIdText);
        SoundtrackTrack kept;
        kept.id = trackIdText;
        kept.mediaId = text(track, QLatin1String("mediaId"));
        kept.src = text(track, QLatin1String("src"));
        kept.sha256 = text(track, QLatin1String("sha256"));
        kept.bytes = track.value(QLatin1String("bytes")).toInteger();
        kept.contentType = text(track, QLatin1String("contentType"));
        // Truncated toward zero; a duration beyond the 64-bit range saturates instead of
        // overflowing the conversion.
        const double ms = std::trunc(duration.toDouble());
        kept.durationMs = ms >= 9223372036854775808.0 ? std::numeric_limits<qint64>::max() : qint64(ms);
        soundtrack.tracks.append(kept);
    }
    if (soundtrack.tracks.isEmpty())
        return std::nullopt;
    return soundtrack;
}

std::optional<PageAudioCue> tolerantAudioCue(const QJsonValue& cue,
                                             const std::optional<Soundtrack>& soundtrack,
                                             const QString& pageId, QList<ManifestDrop>& drops)
{
    static const QSet<QString> cueKeys{QStringLiteral("track"), QStringLiteral("restart")};
    const QJsonObject object = cue.toObject();
    if (cue.isObject())
        noteUnknownKeys(object, cueKeys, pageId + QLatin1String(".audioCue"));
    const QJsonValue track = object.value(QLatin1String("track"));
    const QJsonValue restart = object.value(QLatin1String("restart"));
    bool named = false;
    if (cue.isObject() && track.isString() && soundtrack) {
        for (const SoundtrackTrack& kept : soundtrack->tracks) {
            if (kept.id == track.toString()) {
                named = true;
                break;
            }
        }
    }
    if (!named || !(restart.isUndefined() || restart.isBool())) {
        recordDrop(drops, pageId, QString(), QStringLiteral("audio_cue_invalid"),
                   QStringLiteral("audioCue"));
        return std::nullopt;
    }
    return PageAudioCue{track.toString(), restart.toBool(false)};
}

} // namespace talvorine::ManifestParsing
