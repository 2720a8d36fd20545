#include "tests/support/FakeAdSlots.h"

#include "runtime/RuntimeWireContract.h"
#include "tests/support/TestFiles.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace talvorine::test {

namespace W = RuntimeWire;

namespace {

QString stampAt(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString member(const QJsonObject& object, const char* name)
{
    return object.value(QLatin1String(name)).toString();
}

FakeRuntimeService::Reply json(int status, const QJsonObject& object)
{
    return FakeRuntimeService::Reply::json(status, object);
}

} // namespace

QString FakeAdSlots::contentPathFor(const QString& decisionId)
{
    return QLatin1String(W::adContentPrefix) + decisionId;
}

QList<QJsonObject> FakeAdSlots::receivedEvents() const
{
    QList<QJsonObject> events;
    for (const Request& request : service_.requestsTo(W::adEventsRoute)) {
        for (const QJsonValue& event : request.jsonBody().value(QLatin1String(W::adEventsMember)).toArray())
            events.append(event.toObject());
    }
    return events;
}

std::optional<FakeAdSlots::Reply> FakeAdSlots::answer(const Request& request, qint64 serverNowMs)
{
    if (request.method == "POST" && request.path == W::adResolveRoute)
        return resolveBody_ ? Reply::json(200, resolveBody_(request.jsonBody(), serverNowMs))
                            : resolve(request, serverNowMs);
    if (request.method == "POST" && request.path == W::adEventsRoute)
        return events(request);
    if (request.method == "GET" && request.path.startsWith(W::adContentPrefix))
        return creative(request);
    return std::nullopt;
}

FakeAdSlots::Reply FakeAdSlots::resolve(const Request& request, qint64 serverNowMs)
{
    const QJsonValue candidates = request.jsonBody().value(QLatin1String(W::candidatesMember));
    if (!candidates.isArray())
        return json(400, QJsonObject{{QStringLiteral("code"), QStringLiteral("request_invalid")}});
    QJsonArray results;
    for (const QJsonValue& value : candidates.toArray()) {
        const QJsonObject candidate = value.toObject();
        const QString pageId = member(candidate, W::pageIdMember);
        const QString occurrenceId = member(candidate, W::occurrenceIdMember);
        const Rule rule = rules_.value(pageId);
        const bool renewal = candidate.value(QLatin1String(W::checkSequenceMember)).toInteger() > 1;
        if (rule.kind == Rule::Omitted || (renewal && !rule.fill.renewable))
            continue;
        QJsonObject result{
            {QLatin1String(W::occurrenceIdMember), occurrenceId},
            {QLatin1String(W::checkSequenceMember),
             candidate.value(QLatin1String(W::checkSequenceMember)).toInteger()
                 + shifts_.value(pageId)}};
        if (rule.kind == Rule::Empty) {
            result.insert(QStringLiteral("state"), QStringLiteral("empty"));
            if (rule.hintMs)
                result.insert(QStringLiteral("hint_until"), stampAt(serverNowMs + *rule.hintMs));
            results.append(result);
            continue;
        }
        const Fill& fill = rule.fill;
        const QString decisionId = fill.decisionId.isEmpty()
            ? QStringLiteral("dec_") + occurrenceId.mid(occurrenceId.indexOf('_') + 1)
            : fill.decisionId;
        creatives_.insert(decisionId, fill.creative);
        QJsonObject media{{QStringLiteral("kind"), fill.kind},
                          {QStringLiteral("duration_ms"), fill.durationMs},
                          {QStringLiteral("content_type"), fill.contentType},
                          {QStringLiteral("bytes"), fill.bytes.value_or(fill.creative.size())},
                          {QStringLiteral("sha256"), fill.sha256.value_or(testfiles::sha(fill.creative))},
                          {QStringLiteral("content_path"),
                           fill.contentPath.value_or(contentPathFor(decisionId))},
                          {QStringLiteral("fit"), fill.fit}};
        if (fill.codecs)
            media.insert(QStringLiteral("codecs"), *fill.codecs);
        result.insert(QStringLiteral("state"), QStringLiteral("filled"));
        result.insert(QLatin1String(W::decisionIdMember), decisionId);
        result.insert(QStringLiteral("reservation_id"), fill.reservationId);
        result.insert(QStringLiteral("start_not_before"), stampAt(serverNowMs + fill.startNotBeforeMs));
        result.insert(QStringLiteral("start_before"), stampAt(serverNowMs + fill.startBeforeMs));
        result.insert(QStringLiteral("playback_deadline"),
                      stampAt(serverNowMs + fill.playbackDeadlineMs));
        result.insert(QStringLiteral("report_before"), stampAt(serverNowMs + fill.reportBeforeMs));
        result.insert(QStringLiteral("creative_revision"), fill.creativeRevision);
        result.insert(QStringLiteral("media"), media);
        results.append(result);
    }
    Reply reply = json(200, QJsonObject{{QLatin1String(W::serverTimeMember), stampAt(serverNowMs)},
                                        {QStringLiteral("results"), results}});
    reply.latencyMs = resolveLatencyMs_;
    return reply;
}

FakeAdSlots::Reply FakeAdSlots::events(const Request& request)
{
    const QJsonValue events = request.jsonBody().value(QLatin1String(W::adEventsMember));
    if (!events.isArray())
        return json(400, QJsonObject{{QStringLiteral("code"), QStringLiteral("request_invalid")}});
    QJsonArray results;
    for (const QJsonValue& value : events.toArray()) {
        const QJsonObject event = value.toObject();
        const QString id = member(event, W::eventIdMember);
        const bool taken = taken_.contains(id);
        if (taken)
            ++redeliveries_;
        const std::optional<QString> state =
            verdict_ ? verdict_(event, taken)
                     : std::optional<QString>(taken ? QStringLiteral("duplicate")
                                                    : QStringLiteral("accepted"));
        if (!state)
            continue;
        taken_.insert(id);
        results.append(QJsonObject{{QLatin1String(W::eventIdMember), id},
                                   {QStringLiteral("state"), *state}});
    }
    return json(200, QJsonObject{{QStringLiteral("results"), results}});
}

FakeAdSlots::Reply FakeAdSlots::creative(const Request& request) const
{
    const QString decisionId =
        QString::fromUtf8(request.path.mid(qsizetype(qstrlen(W::adContentPrefix))));
    const auto found = creatives_.constFind(decisionId);
    if (found == creatives_.constEnd())
        return json(404, QJsonObject{{QStringLiteral("code"), QStringLiteral("not_found")}});
    const CreativeDeviation deviation = deviations_.value(decisionId);
    Reply reply;
    reply.status = deviation.status;
    reply.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "application/octet-stream"));
    reply.body = found.value();
    if (deviation.extraBytes > 0)
        reply.body.append(QByteArray(deviation.extraBytes, 'x'));
    else if (deviation.extraBytes < 0)
        reply.body.chop(std::min<qsizetype>(-deviation.extraBytes, reply.body.size()));
    reply.fault = deviation.cut ? Fault::DropMidBody : Fault::None;
    reply.latencyMs = deviation.latencyMs;
    return reply;
}

} // namespace talvorine::test
