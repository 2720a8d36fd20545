#include "ads/AdContracts.h"

#include "storage/Saturating.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace talvorine {

using saturating::add;
using saturating::sub;

namespace {

constexpr qsizetype stampMaxChars = 40;
constexpr qint64 startToleranceMs = 250;
constexpr qint64 missingStartBeforeMs = 30000;

bool stringField(const QJsonObject& object, QLatin1String key, QString* out)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return false;
    *out = value.toString();
    return true;
}

bool nonNegativeIntegerField(const QJsonObject& object, QLatin1String key, qint64* out)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 0 || number != std::floor(number))
        return false;
    if (number >= 9223372036854775808.0) {
        *out = std::numeric_limits<qint64>::max();
        return true;
    }
    // Read as an integer where the document kept one, so that values beyond 2^53 stay exact.
    const qint64 exact = value.toInteger(-1);
    *out = exact >= 0 ? exact : qint64(number);
    return true;
}

bool stampField(const QJsonObject& object, QLatin1String key, QDateTime* out)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return false;
    const QDateTime stamp = parseAdStamp(value.toString());
    if (!stamp.isValid())
        return false;
    *out = stamp;
    return true;
}

std::optional<QJsonObject> documentObject(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

bool readMedia(const QJsonObject& media, AdResolveResult* result)
{
    if (!stringField(media, QLatin1String("kind"), &result->kind)
        || (result->kind != QLatin1String("image") && result->kind != QLatin1String("video")))
        return false;
    if (!nonNegativeIntegerField(media, QLatin1String("duration_ms"), &result->durationMs)
        || result->durationMs < 1)
        return false;
    if (!stringField(media, QLatin1String("content_type"), &result->contentType))
        return false;
    if (!nonNegativeIntegerField(media, QLatin1String("bytes"), &result->bytes) || result->bytes < 1)
        return false;
    if (!stringField(media, QLatin1String("sha256"), &result->sha256) || result->sha256.size() != 64)
        return false;
    if (!stringField(media, QLatin1String("content_path"), &result->contentPath)
        || !stringField(media, QLatin1String("fit"), &result->fit))
        return false;
    return !media.contains(QLatin1String("codecs"))
        || stringField(media, QLatin1String("codecs"), &result->codecs);
}

bool readFilled(const QJsonObject& object, AdResolveResult* result)
{
    if (!stringField(object, QLatin1String("decision_id"), &result->decisionId)
        || !stringField(object, QLatin1String("reservation_id"), &result->reservationId)
        || !stampField(object, QLatin1String("start_not_before"), &result->startNotBefore)
        || !stampField(object, QLatin1String("start_before"), &result->startBefore)
        || !stampField(object, QLatin1String("playback_deadline"), &result->playbackDeadline)
        || !stampField(object, QLatin1String("report_before"), &result->reportBefore)
        || !nonNegativeIntegerField(object, QLatin1String("creative_revision"),
                                    &result->creativeRevision))
        return false;
    const QJsonValue media = object.value(QLatin1String("media"));
    return media.isObject() && readMedia(media.toObject(), result);
}

std::optional<AdResolveResult> readResolveResult(const QJsonValue& element)
{
    if (!element.isObject())
        return std::nullopt;
    const QJsonObject object = element.toObject();
    AdResolveResult result;
    if (!stringField(object, QLatin1String("occurrence_id"), &result.occurrenceId)
        || !stringField(object, QLatin1String("state"), &result.state)
        || !nonNegativeIntegerField(object, QLatin1String("check_sequence"), &result.checkSequence))
        return std::nullopt;
    if (result.state == QLatin1String("empty")) {
        // A hint that is there must be a stamp: a null or unreadable one is not "no hint".
        if (object.contains(QLatin1String("hint_until"))
            && !stampField(object, QLatin1String("hint_until"), &result.hintUntil))
            return std::nullopt;
        return result;
    }
    if (result.state == QLatin1String("filled") && readFilled(object, &result))
        return result;
    return std::nullopt;
}

bool knownVerdict(const QString& state)
{
    return state == QLatin1String("accepted") || state == QLatin1String("rejected")
        || state == QLatin1String("duplicate") || state == QLatin1String("pending_evidence")
        || state == QLatin1String("unbillable");
}

} // namespace

std::optional<AdResolveReply> parseAdResolveReply(const QByteArray& body)
{
    const std::optional<QJsonObject> object = documentObject(body);
    if (!object)
        return std::nullopt;
    AdResolveReply reply;
    if (!stampField(*object, QLatin1String("server_time"), &reply.serverTime))
        return std::nullopt;
    const QJsonValue results = object->value(QLatin1String("results"));
    if (!results.isArray())
        return std::nullopt;
    const QJsonArray elements = results.toArray();
    reply.results.reserve(elements.size());
    for (const QJsonValue& element : elements) {
        std::optional<AdResolveResult> result = readResolveResult(element);
        if (!result)
            return std::nullopt;
        reply.results.append(std::move(*result));
    }
    return reply;
}

std::optional<QList<AdEventOutcome>> parseAdEventResults(const QByteArray& body)
{
    const std::optional<QJsonObject> object = documentObject(body);
    if (!object)
        return std::nullopt;
    const QJsonValue results = object->value(QLatin1String("results"));
    if (!results.isArray())
        return std::nullopt;
    const QJsonArray elements = results.toArray();
    QList<AdEventOutcome> outcomes;
    outcomes.reserve(elements.size());
    for (const QJsonValue& element : elements) {
        if (!element.isObject())
            return std::nullopt;
        const QJsonObject result = element.toObject();
        AdEventOutcome outcome;
        if (!stringField(result, QLatin1String("event_id"), &outcome.eventId)
            || !stringField(result, QLatin1String("state"), &outcome.state)
            || !knownVerdict(outcome.state))
            return std::nullopt;
        outcomes.append(std::move(outcome));
    }
    return outcomes;
}

QDateTime parseAdStamp(const QString& text)
{
    if (text.isEmpty() || text.size() > stampMaxChars)
        return {};
    QDateTime stamp = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (stamp.timeSpec() == Qt::LocalTime) {
        // Written without an offset. Taken as the player's local time it would shift by the
        // zone (or vanish in a daylight-saving gap); the service means UTC.
        if (!stamp.date().isValid() || !stamp.time().isValid())
            return {};
        stamp = QDateTime(stamp.date(), stamp.time(), Qt::UTC);
    }
    return stamp.isValid() ? stamp.toUTC() : QDateTime();
}

QByteArray adStampIso(const QDateTime& stamp)
{
    if (!stamp.isValid())
        return {};
    return stamp.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

bool adStartWindowOpen(const AdOccurrence::Resolved& decision, qint64 nowLoMs, qint64 nowHiMs,
                       qint64 slackMs)
{
    if (nowLoMs < 1 || nowHiMs < nowLoMs)
        return false;
    const qint64 notBeforeMs =
        decision.startNotBefore.isValid() ? decision.startNotBefore.toMSecsSinceEpoch() : 0;
    const qint64 beforeMs = decision.startBefore.isValid()
        ? decision.startBefore.toMSecsSinceEpoch()
        : add(nowHiMs, missingStartBeforeMs);
    const qint64 toleranceMs = add(slackMs, startToleranceMs);
    // Too early even at the latest possible now, or too late even at the earliest.
    if (add(nowLoMs, toleranceMs) < notBeforeMs || sub(nowHiMs, toleranceMs) > beforeMs)
        return false;
    if (!decision.playbackDeadline.isValid())
        return true;
    // The whole creative must still be able to end before the deadline.
    return add(add(nowHiMs, decision.durationMs), toleranceMs)
        <= decision.playbackDeadline.toMSecsSinceEpoch();
}

std::optional<qint64> adStartWindowLeftMs(const AdOccurrence::Resolved& decision,
                                          qint64 nowHiMs)
{
    std::optional<qint64> closesMs;
    if (decision.startBefore.isValid())
        closesMs = add(decision.startBefore.toMSecsSinceEpoch(), startToleranceMs);
    // The start that still lets the whole creative end before the deadline.
    if (decision.playbackDeadline.isValid()) {
        const qint64 lastStartMs = sub(sub(decision.playbackDeadline.toMSecsSinceEpoch(),
                                           decision.durationMs),
                                       startToleranceMs);
        closesMs = std::min(closesMs.value_or(lastStartMs), lastStartMs);
    }
    if (!closesMs)
        return std::nullopt;
    return std::max<qint64>(sub(*closesMs, nowHiMs), 0);
}

bool adLeaseStillValid(const AdOccurrence::Resolved& decision, qint64 nowMs)
{
    if (decision.playbackDeadline.isValid() && decision.playbackDeadline.toMSecsSinceEpoch() < nowMs)
        return false;
    if (!decision.reportBefore.isValid())
        return true;
    return nowMs <= decision.reportBefore.toMSecsSinceEpoch();
}

void registerAdMetaTypes()
{
    qRegisterMetaType<AdResolveReply>();
    qRegisterMetaType<AdEventOutcome>();
    qRegisterMetaType<QList<AdEventOutcome>>();
}

} // namespace talvorine
