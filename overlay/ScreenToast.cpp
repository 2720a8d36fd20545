#include "overlay/ScreenToast.h"

#include "overlay/OverlayContract.h"

#include <QDate>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTime>

namespace talvorine::overlay {

namespace {

constexpr qint64 maxLines = 3;
constexpr qint64 maxCodePoints = 120;
constexpr qint64 minDurationMs = 2000;
constexpr qint64 maxDurationMs = 60000;
constexpr qint64 unixEpochJulianDay = 2440588;
constexpr qint64 msPerDay = 86400000;

const QRegularExpression& stampPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression compiled(QRegularExpression::anchoredPattern(QStringLiteral(
            "([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})"
            "(?:\\.([0-9]+))?(?:Z|([+-])([0-9]{2}):([0-9]{2}))")));
        compiled.optimize(); // compiled here, so concurrent first matches share a ready pattern
        return compiled;
    }();
    return pattern;
}

ScreenToastResult refused(ScreenToastRejectReason reason)
{
    ScreenToastResult result;
    result.reason = reason;
    return result;
}

// The first rule of the text that is broken, or none. Lone surrogates count as control
// characters: they cannot be shown and must not reach the scene.
std::optional<ScreenToastRejectReason> textFault(const QString& text)
{
    qint64 codePoints = 0;
    qint64 lineFeeds = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        if (QChar::isHighSurrogate(unit)) {
            if (i + 1 >= text.size() || !QChar::isLowSurrogate(text.at(i + 1).unicode()))
                return ScreenToastRejectReason::TextControl;
            ++i;
        } else if (QChar::isLowSurrogate(unit) || (unit <= 0x1F && unit != u'\n')
                   || unit == 0x7F) {
            return ScreenToastRejectReason::TextControl;
        } else if (unit == u'\n') {
            ++lineFeeds;
        }
        ++codePoints;
    }
    if (!text.isEmpty() && lineFeeds + 1 > maxLines)
        return ScreenToastRejectReason::TextTooManyLines;
    if (codePoints == 0)
        return ScreenToastRejectReason::TextEmpty;
    if (codePoints > maxCodePoints)
        return ScreenToastRejectReason::TextTooLong;
    return std::nullopt;
}

} // namespace

QString screenToastRejectName(ScreenToastRejectReason reason)
{
    switch (reason) {
    case ScreenToastRejectReason::DetailsNotObject: return QStringLiteral("details_not_object");
    case ScreenToastRejectReason::TextMissing: return QStringLiteral("text_missing");
    case ScreenToastRejectReason::TextEmpty: return QStringLiteral("text_empty");
    case ScreenToastRejectReason::TextTooLong: return QStringLiteral("text_too_long");
    case ScreenToastRejectReason::TextControl: return QStringLiteral("text_control");
    case ScreenToastRejectReason::TextTooManyLines: return QStringLiteral("text_too_many_lines");
    case ScreenToastRejectReason::DurationInvalid: return QStringLiteral("duration_invalid");
    case ScreenToastRejectReason::ExpiresAtInvalid: return QStringLiteral("expires_at_invalid");
    case ScreenToastRejectReason::ExpiresAtPast: return QStringLiteral("expires_at_past");
    }
    return QString();
}

ScreenToastResult parseScreenToast(const QJsonValue& details, qint64 nowMs)
{
    if (!details.isObject())
        return refused(ScreenToastRejectReason::DetailsNotObject);
    const QJsonObject object = details.toObject();
    const QJsonValue textValue = object.value(QLatin1String("text"));
    if (!textValue.isString())
        return refused(ScreenToastRejectReason::TextMissing);
    const QString text = textValue.toString();
    if (const auto fault = textFault(text))
        return refused(*fault);

    qint64 durationMs = 0;
    if (!integralNumber(object.value(QLatin1String("duration_ms")), durationMs)
        || durationMs < minDurationMs || durationMs > maxDurationMs)
        return refused(ScreenToastRejectReason::DurationInvalid);

    const std::optional<qint64> expiresAtMs =
        parseRfc3339Ms(stringMember(object, QLatin1String("expires_at")));
    if (!expiresAtMs)
        return refused(ScreenToastRejectReason::ExpiresAtInvalid);
    if (*expiresAtMs <= nowMs)
        return refused(ScreenToastRejectReason::ExpiresAtPast);

    ScreenToastResult result;
    result.accepted = true;
    result.level = levelOrEmpty(object.value(QLatin1String("level")));
    if (result.level.isEmpty())
        result.level = QStringLiteral("info");
    result.text = text;
    result.durationMs = durationMs;
    result.expiresAtMs = *expiresAtMs;
    return result;
}

std::optional<qint64> parseRfc3339Ms(const QString& text)
{
    const QRegularExpressionMatch match = stampPattern().match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const int hour = number(4);
    const int minute = number(5);
    const int second = number(6);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    qint64 offsetMs = 0;
    if (match.hasCaptured(8)) {
        const int offsetHours = number(9);
        const int offsetMinutes = number(10);
        if (offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetMs = (offsetHours * 60 + offsetMinutes) * qint64(60000);
        if (match.capturedView(8) == u"-")
            offsetMs = -offsetMs;
    }

    const QString fraction = (match.capturedView(7).left(3).toString() + QLatin1String("000")).left(3);
    const QTime time(hour, minute, second, fraction.toInt());
    if (!time.isValid())
        return std::nullopt;
    return (date.toJulianDay() - unixEpochJulianDay) * msPerDay + time.msecsSinceStartOfDay()
        - offsetMs;
}

} // namespace talvorine::overlay
