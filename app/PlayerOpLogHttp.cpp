// The operation log's records of HTTP exchanges and the route tags that name them.
#include "app/PlayerOpLog.h"

#include <QDateTime>
#include <QJsonArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>

namespace talvorine {

namespace {

const char* const correlationProperty = "talvorinePlayerOpCorrelationId";
const char* const startedProperty = "talvorinePlayerOpStartedMs";
const char* const methodProperty = "talvorinePlayerOpMethod";
const char* const pathProperty = "talvorinePlayerOpPath";
const char* const opProperty = "talvorinePlayerOp";
const char* const tagProperty = "talvorinePlayerOpTag";
const char* const resourceProperty = "talvorinePlayerOpResourceId";

const QStringList& apiPrefixes()
{
    static const QStringList prefixes{QStringLiteral("/api/v1/"), QStringLiteral("/runtime/v1/"),
                                      QStringLiteral("/content/v1/")};
    return prefixes;
}

QString cutAtQuery(const QString& path)
{
    const qsizetype question = path.indexOf(QLatin1Char('?'));
    return question < 0 ? path : path.left(question);
}

QString resourceIdFromPath(const QString& path)
{
    const QStringList pieces = cutAtQuery(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        if (!httpKeepTokens().contains(piece))
            return piece;
    }
    return PlayerOpLog::boundScreenId();
}

QJsonArray queryKeysOf(const QUrl& url)
{
    QJsonArray keys;
    QSet<QString> seen;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    for (const auto& [key, value] : items) {
        Q_UNUSED(value)
        if (key.isEmpty() || seen.contains(key) || PlayerOpLog::forbiddenKey(key))
            continue;
        seen.insert(key);
        keys.append(key);
    }
    return keys;
}

void recordResponse(QNetworkReply* reply)
{
    const QString correlationId = reply->property(correlationProperty).toString();
    const QString op = reply->property(opProperty).toString();
    if (correlationId.isEmpty() || op.isEmpty())
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString tag = reply->property(tagProperty).toString();
    const qint64 started = reply->property(startedProperty).toLongLong();

    QJsonObject record{
        {QStringLiteral("kind"), QStringLiteral("http")},
        {QStringLiteral("phase"), status >= 1 ? QStringLiteral("response") : QStringLiteral("error")},
        {QStringLiteral("op"), op},
        {QStringLiteral("tag"), tag},
        {QStringLiteral("correlation_id"), correlationId},
        {QStringLiteral("method"), reply->property(methodProperty).toString()},
        {QStringLiteral("path"), reply->property(pathProperty).toString()},
        {QStringLiteral("message"), tag},
        {QStringLiteral("duration_ms"),
         std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch() - started)},
    };
    PlayerOpLog::insertIdAndParams(record, reply->property(resourceProperty).toString(), {});
    if (status >= 1)
        record.insert(QStringLiteral("status"), status);
    else
        record.insert(QStringLiteral("problem"),
                      QJsonObject{{QStringLiteral("code"), QStringLiteral("network_error")}});
    const QByteArray requestId = reply->rawHeader("X-Request-ID");
    if (!requestId.isEmpty() && requestId.size() <= 80 && !requestId.contains(' '))
        record.insert(QStringLiteral("request_id"), QString::fromLatin1(requestId));
    PlayerOpLog::emitEvent(record);
}

} // namespace

const QSet<QString>& httpKeepTokens()
{
    static const QSet<QString> tokens{
        QStringLiteral("api"),            QStringLiteral("v1"),
        QStringLiteral("runtime"),        QStringLiteral("native"),
        QStringLiteral("screens"),        QStringLiteral("playlists"),
        QStringLiteral("media"),          QStringLiteral("applications"),
        QStringLiteral("projects"),       QStringLiteral("agents"),
        QStringLiteral("operations"),     QStringLiteral("events"),
        QStringLiteral("feedback"),       QStringLiteral("comment"),
        QStringLiteral("playback"),       QStringLiteral("capabilities"),
        QStringLiteral("enrollments"),    QStringLiteral("uploads"),
        QStringLiteral("commit"),         QStringLiteral("content"),
        QStringLiteral("pair"),           QStringLiteral("provision"),
        QStringLiteral("archive"),        QStringLiteral("unarchive"),
        QStringLiteral("toast"),          QStringLiteral("screenshot"),
        QStringLiteral("status"),         QStringLiteral("public-id"),
        QStringLiteral("rotate"),         QStringLiteral("kv"),
        QStringLiteral("bugs"),           QStringLiteral("features"),
        QStringLiteral("self"),           QStringLiteral("activate"),
        QStringLiteral("dashboard-links"), QStringLiteral("browser-links"),
        QStringLiteral("claim"),          QStringLiteral("agent-connections"),
        QStringLiteral("credential"),     QStringLiteral("pairing-sessions"),
        QStringLiteral("pairing-events"), QStringLiteral("complete"),
        QStringLiteral("identity"),       QStringLiteral("reset"),
        QStringLiteral("sessions"),       QStringLiteral("challenges"),
        QStringLiteral("observation"),    QStringLiteral("reports"),
        QStringLiteral("manifest"),       QStringLiteral("manifests"),
        QStringLiteral("releases"),       QStringLiteral("launch"),
        QStringLiteral("page"),           QStringLiteral("stream"),
        QStringLiteral("health"),         QStringLiteral("ready"),
        QStringLiteral("version"),        QStringLiteral(".health"),
        QStringLiteral(".ready"),         QStringLiteral(".version"),
    };
    return tokens;
}

const QHash<QString, QString>& httpSingularTokens()
{
    static const QHash<QString, QString> table{
        {QStringLiteral("screens"), QStringLiteral("screen")},
        {QStringLiteral("playlists"), QStringLiteral("playlist")},
        {QStringLiteral("applications"), QStringLiteral("application")},
        {QStringLiteral("operations"), QStringLiteral("operation")},
        {QStringLiteral("uploads"), QStringLiteral("upload")},
        {QStringLiteral("enrollments"), QStringLiteral("enrollment")},
        {QStringLiteral("agent_connections"), QStringLiteral("agent_connection")},
        {QStringLiteral("dashboard_links"), QStringLiteral("dashboard_link")},
        {QStringLiteral("browser_links"), QStringLiteral("browser_link")},
        {QStringLiteral("pairing_sessions"), QStringLiteral("pairing_session")},
        {QStringLiteral("pairing_events"), QStringLiteral("pairing_event")},
        {QStringLiteral("sessions"), QStringLiteral("session")},
        {QStringLiteral("challenges"), QStringLiteral("challenge")},
        {QStringLiteral("manifests"), QStringLiteral("manifest")},
        {QStringLiteral("releases"), QStringLiteral("release")},
        {QStringLiteral("bugs"), QStringLiteral("bug")},
        {QStringLiteral("projects"), QStringLiteral("project")},
        {QStringLiteral("events"), QStringLiteral("event")},
    };
    return table;
}

QString PlayerOpLog::tagFor(const QString& method, const QString& path)
{
    const QString m = method.trimmed().toLower();
    QString p = cutAtQuery(path);
    const auto prefix = std::find_if(apiPrefixes().cbegin(), apiPrefixes().cend(),
                                     [&p](const QString& candidate) { return p.startsWith(candidate); });
    if (prefix != apiPrefixes().cend())
        p.remove(0, prefix->size());
    else if (p.startsWith(QLatin1Char('/')))
        p.remove(0, 1);

    const QStringList pieces = p.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList parts;
    for (qsizetype i = 0; i < pieces.size();) {
        if (!httpKeepTokens().contains(pieces[i])) {
            ++i;
            continue;
        }
        QString part = pieces[i];
        part.replace(QLatin1Char('-'), QLatin1Char('_'));
        const bool identifierFollows = i + 1 < pieces.size() && !httpKeepTokens().contains(pieces[i + 1]);
        if (identifierFollows) {
            if (const auto singular = httpSingularTokens().constFind(part);
                singular != httpSingularTokens().cend())
                part = singular.value();
            else if (parts.isEmpty())
                part += QLatin1String("_id");
            i += 2;
        } else {
            ++i;
        }
        parts.append(part);
    }
    return parts.isEmpty() ? m : m + QLatin1Char('_') + parts.join(QLatin1Char('_'));
}

void PlayerOpLog::watchReply(QNetworkReply* reply, const QString& method)
{
    if (!reply || method.isEmpty())
        return;
    QString path = reply->url().path(QUrl::FullyDecoded);
    if (path.isEmpty())
        path = QStringLiteral("/");
    const QString correlationId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString op = method + QLatin1Char(' ') + path;
    const QString tag = tagFor(method, path);
    const QString resourceId = resourceIdFromPath(path);

    reply->setProperty(correlationProperty, correlationId);
    reply->setProperty(startedProperty, QDateTime::currentMSecsSinceEpoch());
    reply->setProperty(methodProperty, method);
    reply->setProperty(pathProperty, path);
    reply->setProperty(opProperty, op);
    reply->setProperty(tagProperty, tag);
    reply->setProperty(resourceProperty, resourceId);

    QJsonObject record{
        {QStringLiteral("kind"), QStringLiteral("http")},
        {QStringLiteral("phase"), QStringLiteral("request")},
        {QStringLiteral("op"), op},
        {QStringLiteral("tag"), tag},
        {QStringLiteral("correlation_id"), correlationId},
        {QStringLiteral("method"), method},
        {QStringLiteral("path"), path},
        {QStringLiteral("message"), tag},
    };
    insertIdAndParams(record, resourceId, {});
    if (const QJsonArray keys = queryKeysOf(reply->url()); !keys.isEmpty())
        record.insert(QStringLiteral("query_keys"), keys);
    emitEvent(record);

    QObject::connect(reply, &QNetworkReply::finished, reply, [reply] { recordResponse(reply); });
}

} // namespace talvorine
