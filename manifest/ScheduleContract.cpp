#include "manifest/ScheduleContract.h"

#include "app/DevFileLog.h"

#include <QDateTime>
#include <QJsonArray>
#include <QMutex>
#include <QMutexLocker>
#include <QTimeZone>
#include <QJsonValue>
#include <QRegularExpression>

namespace talvorine {

namespace {

ScheduleParseError failAt(const QString& path)
{
    return ScheduleParseError{QStringLiteral("page_visibility_invalid"), path};
}

bool exactVisibilityKeys(const QJsonObject& object, const QSet<QString>& allowed)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!allowed.contains(it.key()))
            return false;
    }
    return true;
}

// Stamps and edges must be exact: a trailing line feed would otherwise compare as a later
// minute than the one written.
const QRegularExpression& stampPattern()
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("\\d{4}-\\d{2}-\\d{2}T([01]\\d|2[0-3]):[0-5]\\d")));
    return pattern;
}

const QRegularExpression& edgePattern()
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("([01]\\d|2[0-3]):[0-5]\\d")));
    return pattern;
}

// Absent: no value; present: the stamp, or the error at the key's path.
std::variant<std::optional<QString>, ScheduleParseError>
civilStamp(const QJsonObject& object, const QString& key, const QString& path)
{
    if (!object.contains(key))
        return std::optional<QString>();
    const QJsonValue value = object.value(key);
    if (value.isString() && stampPattern().match(value.toString()).hasMatch())
        return std::optional<QString>(value.toString());
    return failAt(path + QLatin1Char('.') + key);
}

std::variant<std::optional<qint32>, ScheduleParseError>
civilEdge(const QJsonObject& object, const QString& key, const QString& path)
{
    if (!object.contains(key))
        return std::optional<qint32>();
    const QJsonValue value = object.value(key);
    if (value.isString() && edgePattern().match(value.toString()).hasMatch())
        return std::optional<qint32>(ScheduleContract::minutesOfDay(value.toString()));
    return failAt(path + QLatin1Char('.') + key);
}

std::variant<VisibilityWindow, ScheduleParseError> parseWindow(const QJsonObject& window,
                                                               const QString& path)
{
    static const QSet<QString> allowed{QStringLiteral("days"), QStringLiteral("start"),
                                       QStringLiteral("end")};
    if (!exactVisibilityKeys(window, allowed))
        return failAt(path);
    const QJsonValue daysValue = window.value(QLatin1String("days"));
    const QString daysPath = path + QLatin1String(".days");
    if (!daysValue.isArray())
        return failAt(daysPath);
    const QJsonArray days = daysValue.toArray();
    if (days.isEmpty() || days.size() > 7)
        return failAt(daysPath);
    VisibilityWindow result;
    for (const QJsonValue& entry : days) {
        if (!entry.isString())
            return failAt(daysPath);
        const std::optional<Weekday> day = parseWeekday(entry.toString());
        if (!day || result.days.contains(*day))
            return failAt(daysPath);
        result.days.insert(*day);
    }
    auto start = civilEdge(window, QStringLiteral("start"), path);
    if (auto* error = std::get_if<ScheduleParseError>(&start))
        return *error;
    auto end = civilEdge(window, QStringLiteral("end"), path);
    if (auto* error = std::get_if<ScheduleParseError>(&end))
        return *error;
    result.startMinute = std::get<std::optional<qint32>>(start);
    result.endMinute = std::get<std::optional<qint32>>(end);
    if (result.startMinute.has_value() != result.endMinute.has_value())
        return failAt(path);
    return result;
}

} // namespace

std::optional<Weekday> parseWeekday(const QString& name)
{
    static const QHash<QString, Weekday> names{
        {QStringLiteral("mon"), Weekday::mon}, {QStringLiteral("tue"), Weekday::tue},
        {QStringLiteral("wed"), Weekday::wed}, {QStringLiteral("thu"), Weekday::thu},
        {QStringLiteral("fri"), Weekday::fri}, {QStringLiteral("sat"), Weekday::sat},
        {QStringLiteral("sun"), Weekday::sun},
    };
    const auto it = names.constFind(name);
    if (it == names.constEnd())
        return std::nullopt;
    return *it;
}

Weekday previousWeekday(Weekday day)
{
    return Weekday((int(day) + 6) % 7);
}

int ScheduleContract::minutesOfDay(const QString& hhmm)
{
    // Only called on text that matched the edge pattern; a part that does not convert is 0.
    const int hours = hhmm.mid(0, 2).toInt();
    const int minutes = hhmm.mid(3, 2).toInt();
    return hours * 60 + minutes;
}

std::variant<PageVisibility, ScheduleParseError>
ScheduleContract::parseVisibility(const QJsonObject& visibility, const QString& path)
{
    static const QSet<QString> allowed{QStringLiteral("enabled"), QStringLiteral("from"),
                                       QStringLiteral("until"), QStringLiteral("windows")};
    if (!exactVisibilityKeys(visibility, allowed))
        return failAt(path);
    const QJsonValue enabled = visibility.value(QLatin1String("enabled"));
    if (!enabled.isBool())
        return failAt(path);
    PageVisibility result;
    result.enabled = enabled.toBool();
    if (visibility.contains(QLatin1String("windows"))) {
        const QJsonValue windowsValue = visibility.value(QLatin1String("windows"));
        const QString windowsPath = path + QLatin1String(".windows");
        if (!windowsValue.isArray())
            return failAt(windowsPath);
        const QJsonArray windows = windowsValue.toArray();
        if (windows.isEmpty() || windows.size() > 16)
            return failAt(windowsPath);
        QList<VisibilityWindow> parsed;
        for (qsizetype i = 0; i < windows.size(); ++i) {
            const QString windowPath = windowsPath + QStringLiteral("[%1]").arg(i);
            const QJsonValue entry = windows.at(i);
            if (!entry.isObject())
                return failAt(windowPath);
            auto window = parseWindow(entry.toObject(), windowPath);
            if (auto* error = std::get_if<ScheduleParseError>(&window))
                return *error;
            parsed.append(std::get<VisibilityWindow>(window));
        }
        result.windows = parsed;
    }
    auto from = civilStamp(visibility, QStringLiteral("from"), path);
    if (auto* error = std::get_if<ScheduleParseError>(&from))
        return *error;
    auto until = civilStamp(visibility, QStringLiteral("until"), path);
    if (auto* error = std::get_if<ScheduleParseError>(&until))
        return *error;
    result.from = std::get<std::optional<QString>>(from);
    result.until = std::get<std::optional<QString>>(until);
    return result;
}

namespace {

// Qt opens the zone database file a name points at without checking the name, so a name that
// came from the service must look like a database name before any zone is built from it:
// letters, digits, "_", "+", "-" and ":" in "/"-separated parts that start with a letter or
// digit. No part can then be "." or "..", and no name can be absolute or reach a device, a FIFO
// or any other file outside the database.
std::optional<QTimeZone> zoneNamed(const QString& timeZone)
{
    static const QRegularExpression databaseName(QStringLiteral(
        "\\A[A-Za-z0-9][A-Za-z0-9_+:-]*(?:/[A-Za-z0-9][A-Za-z0-9_+:-]*)*\\z"));
    if (timeZone.size() > 64 || !databaseName.match(timeZone).hasMatch())
        return std::nullopt;
    QTimeZone zone(timeZone.toUtf8());
    if (!zone.isValid())
        return std::nullopt;
    return zone;
}

} // namespace

bool ScheduleEvaluator::zoneUsable(const QString& timeZone)
{
    return zoneNamed(timeZone).has_value();
}

std::optional<ZonedCivilTime> ScheduleEvaluator::civilTime(std::optional<qint64> nowMs,
                                                          const QString& timeZone)
{
    // Before 2020 the clock has not been set yet.
    if (!nowMs || *nowMs <= 1577836799999LL)
        return std::nullopt;
    const std::optional<QTimeZone> zone = zoneNamed(timeZone);
    if (!zone)
        return std::nullopt;
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(*nowMs, *zone);
    if (!local.isValid())
        return std::nullopt;
    const QDate date = local.date();
    const QTime time = local.time();
    if (!date.isValid() || !time.isValid() || date.year() < 1000 || date.year() > 9999)
        return std::nullopt;
    const auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    ZonedCivilTime civil;
    civil.stamp = QStringLiteral("%1-%2-%3T%4:%5")
                      .arg(QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0')), two(date.month()),
                           two(date.day()), two(time.hour()), two(time.minute()));
    civil.weekday = Weekday(date.dayOfWeek() - 1);
    civil.minuteOfDay = time.hour() * 60 + time.minute();
    return civil;
}

bool ScheduleEvaluator::windowMatches(const VisibilityWindow& window, const ZonedCivilTime& now)
{
    if (!window.startMinute || !window.endMinute)
        return window.days.contains(now.weekday);
    const qint32 start = *window.startMinute;
    const qint32 end = *window.endMinute;
    if (start < end)
        return window.days.contains(now.weekday) && start <= now.minuteOfDay && now.minuteOfDay < end;
    // Overnight: the days name the day on which the window opens.
    if (window.days.contains(now.weekday) && now.minuteOfDay >= start)
        return true;
    return window.days.contains(previousWeekday(now.weekday)) && now.minuteOfDay < end;
}

bool ScheduleEvaluator::isEligible(const std::optional<PageVisibility>& visibility,
                                   const std::optional<ZonedCivilTime>& now)
{
    if (!visibility)
        return true;
    if (!visibility->enabled)
        return false;
    if (!now)
        return true;
    if (visibility->from && now->stamp < *visibility->from)
        return false;
    if (visibility->until && now->stamp >= *visibility->until)
        return false;
    if (!visibility->windows)
        return true;
    for (const VisibilityWindow& window : *visibility->windows) {
        if (windowMatches(window, *now))
            return true;
    }
    return false;
}

QList<int> ScheduleEvaluator::eligibleIndices(const QList<std::optional<PageVisibility>>& pages,
                                              const std::optional<ZonedCivilTime>& now)
{
    QList<int> eligible;
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (isEligible(pages.at(i), now))
            eligible.append(int(i));
    }
    // With nothing eligible the screen would go blank; every page plays instead.
    if (eligible.isEmpty()) {
        for (qsizetype i = 0; i < pages.size(); ++i)
            eligible.append(int(i));
    }
    return eligible;
}

qint64 ScheduleEvaluator::millisToNextCivilMinute(qint64 nowMs)
{
    return 60250 - (((nowMs % 60000) + 60000) % 60000);
}

bool ScheduleEvaluator::warnIfZoneUnusable(const QString& manifestRevision, const QString& timeZone)
{
    if (timeZone.isEmpty() || zoneUsable(timeZone))
        return false;
    static QMutex mutex;
    static QString warnedRevision;
    static bool warned = false;
    {
        QMutexLocker lock(&mutex);
        if (warned && warnedRevision == manifestRevision)
            return false;
        warned = true;
        warnedRevision = manifestRevision;
    }
    DevFileLog::record(QStringLiteral("schedule.timezone_unusable"),
                       QJsonObject{{QStringLiteral("manifest_revision"), manifestRevision},
                                   {QStringLiteral("timezone"), timeZone.left(128)}});
    return true;
}

} // namespace talvorine
