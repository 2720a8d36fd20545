#include "web/SdkBridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include <cmath>

namespace talvorine {

namespace {

using Header = std::pair<QByteArray, QByteArray>;

namespace generated {
const QStringList& canonicalHostFeatures()
{
    static const QStringList features{QStringLiteral("ready"),   QStringLiteral("log"),
                                      QStringLiteral("event.emit"), QStringLiteral("page.advance"),
                                      QStringLiteral("kv.get"),  QStringLiteral("kv.list"),
                                      QStringLiteral("kv.set"),  QStringLiteral("kv.delete")};
    return features;
}
} // namespace generated

bool printableAscii(const QString& text, qsizetype minLength, qsizetype maxLength)
{
    if (text.size() < minLength || text.size() > maxLength)
        return false;
    for (const QChar c : text) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

// Only the unreserved characters stay as they are, so "/" in a key is always encoded.
QByteArray encodeSegment(const QByteArray& utf8)
{
    return utf8.toPercentEncoding(QByteArray(), QByteArray());
}

} // namespace

const QStringList& SdkBridge::hostFeatures()
{
    return generated::canonicalHostFeatures();
}

QString SdkBridge::kvCapability(const QString& kind)
{
    if (kind == QLatin1String("kv.get") || kind == QLatin1String("kv.list"))
        return QStringLiteral("kv.read");
    if (kind == QLatin1String("kv.set") || kind == QLatin1String("kv.delete"))
        return QStringLiteral("kv.write");
    return {};
}

SdkBridge::KvRequest SdkBridge::kvRequest(const QJsonObject& request, const QString& applicationId,
                                          const QString& primitiveCapability)
{
    static const QRegularExpression applicationIdPattern(
        QStringLiteral("\\A[A-Za-z0-9._-]{8,128}\\z"));
    static const QRegularExpression base64Pattern(QStringLiteral("\\A[A-Za-z0-9+/]*={0,2}\\z"));

    const QString kind = request.value(QLatin1String("kind")).toString();
    if (kvCapability(kind).isEmpty())
        return {};
    if (!applicationIdPattern.match(applicationId).hasMatch())
        return {};
    if (!printableAscii(primitiveCapability, 1, 512))
        return {};

    KvRequest out;
    QByteArray path = "/runtime/v1/apps/" + encodeSegment(applicationId.toUtf8()) + "/kv";
    if (kind != QLatin1String("kv.list")) {
        const QJsonValue key = request.value(QLatin1String("key"));
        if (!key.isString())
            return {};
        const QByteArray keyUtf8 = key.toString().toUtf8();
        if (keyUtf8.isEmpty() || keyUtf8.size() > 256 || keyUtf8.startsWith("_talvorine/"))
            return {};
        // "." and ".." are unreserved and stay as they are, so a client would fold them into
        // the path above and the request would leave the key's own segment.
        if (keyUtf8 == "." || keyUtf8 == "..")
            return {};
        path += '/' + encodeSegment(keyUtf8);
    }
    out.path = path;
    out.headers.append(Header("Talvorine-Primitive-Capability", primitiveCapability.toLatin1()));

    if (kind == QLatin1String("kv.get") || kind == QLatin1String("kv.list")) {
        out.method = "GET";
        out.valid = true;
        return out;
    }

    const QJsonValue idempotency = request.value(QLatin1String("idempotency_key"));
    if (!idempotency.isString() || !printableAscii(idempotency.toString(), 8, 200))
        return {};
    QByteArray ifMatch;
    if (request.contains(QLatin1String("expected_revision"))) {
        const QJsonValue revision = request.value(QLatin1String("expected_revision"));
        if (!revision.isDouble())
            return {};
        const double value = revision.toDouble();
        if (!std::isfinite(value) || value < 0 || value > 9007199254740991.0
            || std::floor(value) != value)
            return {};
        ifMatch = QByteArray::number(qint64(value));
    }

    if (kind == QLatin1String("kv.set")) {
        const QJsonValue base64 = request.value(QLatin1String("value_base64"));
        if (!base64.isString())
            return {};
        const QString encoded = base64.toString();
        if (encoded.size() % 4 != 0 || encoded.size() > 1398104
            || !base64Pattern.match(encoded).hasMatch())
            return {};
        const QJsonValue contentType = request.value(QLatin1String("content_type"));
        if (!contentType.isString() || contentType.toString().isEmpty()
            || contentType.toString().size() > 127)
            return {};
        out.method = "PUT";
        out.headers.append(Header("Content-Type", "application/json"));
        QJsonObject body;
        body.insert(QLatin1String("value_base64"), encoded);
        body.insert(QLatin1String("content_type"), contentType.toString());
        out.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    } else {
        out.method = "DELETE";
    }
    if (!ifMatch.isEmpty())
        out.headers.append(Header("If-Match", ifMatch));
    out.headers.append(Header("Idempotency-Key", idempotency.toString().toLatin1()));
    out.valid = true;
    return out;
}

QStringList SdkBridge::readSessionCapabilities(const QJsonValue& value)
{
    static const QRegularExpression namePattern(QStringLiteral("\\A[a-z][a-z0-9._-]{0,63}\\z"));
    QStringList names;
    if (!value.isArray())
        return names;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString())
            continue;
        const QString name = element.toString();
        if (namePattern.match(name).hasMatch() && !names.contains(name))
            names.append(name);
    }
    return names;
}

} // namespace talvorine
