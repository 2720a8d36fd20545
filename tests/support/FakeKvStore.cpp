#include "tests/support/FakeKvStore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace talvorine::test {

namespace {

constexpr char prefix[] = "/runtime/v1/apps/";

FakeKvStore::Reply problem(int status, const char* code)
{
    return FakeKvStore::Reply::json(
        status, QJsonObject{{QStringLiteral("code"), QLatin1String(code)},
                            {QStringLiteral("status"), status}});
}

QString segment(const QByteArray& encoded)
{
    return QUrl::fromPercentEncoding(encoded);
}

} // namespace

std::optional<QByteArray> FakeKvStore::value(const QString& applicationId, const QString& key) const
{
    const auto entries = applications_.constFind(applicationId);
    if (entries == applications_.constEnd() || !entries->contains(key))
        return std::nullopt;
    return entries->value(key).value;
}

QJsonObject FakeKvStore::summary(const QString& applicationId, const QString& key,
                                 const Entry& entry, bool withValue) const
{
    QJsonObject object{
        {QStringLiteral("application_id"), applicationId},
        {QStringLiteral("key"), key},
        {QStringLiteral("content_type"), entry.contentType},
        {QStringLiteral("bytes"), entry.value.size()},
        {QStringLiteral("sha256"),
         QString::fromLatin1(
             QCryptographicHash::hash(entry.value, QCryptographicHash::Sha256).toHex())},
        {QStringLiteral("revision"), entry.revision},
        {QStringLiteral("created_at"), entry.createdAt},
        {QStringLiteral("updated_at"), entry.updatedAt}};
    if (withValue)
        object.insert(QStringLiteral("value_base64"), QString::fromLatin1(entry.value.toBase64()));
    return object;
}

std::optional<FakeKvStore::Reply> FakeKvStore::answer(const Request& request)
{
    const QByteArray target = request.target.split('?').value(0);
    if (capabilities_.isEmpty() || !target.startsWith(prefix))
        return std::nullopt;
    const QList<QByteArray> parts = target.mid(int(sizeof prefix) - 1).split('/');
    if (parts.size() < 2 || parts.size() > 3 || parts.at(1) != "kv")
        return std::nullopt;
    if (!capabilities_.contains(request.header("Talvorine-Primitive-Capability")))
        return problem(403, "forbidden");
    const QString applicationId = segment(parts.at(0));
    QMap<QString, Entry>& entries = applications_[applicationId];

    if (parts.size() == 2) {
        if (request.method != "GET")
            return problem(405, "method_not_allowed");
        QJsonArray items;
        for (auto it = entries.cbegin(); it != entries.cend(); ++it)
            items.append(summary(applicationId, it.key(), it.value(), false));
        return Reply::json(200, QJsonObject{{QStringLiteral("items"), items}});
    }

    const QString key = segment(parts.at(2));
    const auto found = entries.find(key);
    if (request.method == "GET") {
        if (found == entries.end())
            return problem(404, "not_found");
        return Reply::json(200, summary(applicationId, key, found.value(), true));
    }
    if (request.method != "PUT" && request.method != "DELETE")
        return problem(405, "method_not_allowed");

    const QByteArray idempotency = request.header("Idempotency-Key");
    const QByteArray replayKey = applicationId.toUtf8() + '\n' + idempotency;
    if (!idempotency.isEmpty() && replays_.contains(replayKey))
        return replays_.value(replayKey);
    const qint64 current = found == entries.end() ? 0 : found.value().revision;
    Reply reply;
    if (request.hasHeader("If-Match") && request.header("If-Match").toLongLong() != current) {
        reply = problem(412, "revision_mismatch");
    } else if (request.method == "DELETE") {
        if (found == entries.end())
            return problem(404, "not_found");
        entries.erase(found);
        reply = Reply{204, {}, {}};
    } else {
        const QJsonObject body = request.jsonBody();
        const QByteArray value = QByteArray::fromBase64(
            body.value(QLatin1String("value_base64")).toString().toLatin1());
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        Entry& entry = entries[key];
        entry.value = value;
        entry.contentType = body.value(QLatin1String("content_type")).toString();
        entry.revision = current + 1;
        entry.createdAt = entry.createdAt.isEmpty() ? now : entry.createdAt;
        entry.updatedAt = now;
        reply = Reply::json(200, summary(applicationId, key, entry, true));
    }
    if (!idempotency.isEmpty())
        replays_.insert(replayKey, reply);
    return reply;
}

} // namespace talvorine::test
