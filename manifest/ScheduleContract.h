#pragma once

// Page visibility schedules: the strict parser of a page's "visibility" object.

#include <QHashFunctions>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>
#include <variant>

namespace talvorine {

enum class Weekday : quint8 { mon = 0, tue = 1, wed = 2, thu = 3, fri = 4, sat = 5, sun = 6 };

inline size_t qHash(Weekday day, size_t seed = 0) noexcept
{
    return ::qHash(quint8(day), seed);
}

struct VisibilityWindow {
    QSet<Weekday> days;
    std::optional<qint32> startMinute;
    std::optional<qint32> endMinute;
};

struct PageVisibility {
    bool enabled = true;
    std::optional<QString> from;
    std::optional<QString> until;
    std::optional<QList<VisibilityWindow>> windows;
};

struct ZonedCivilTime {
    QString stamp;
    Weekday weekday = Weekday::mon;
    qint32 minuteOfDay = 0;
};

struct ScheduleParseError {
    QString code = QStringLiteral("page_visibility_invalid");
    QString path;
};

std::optional<Weekday> parseWeekday(const QString& name);
Weekday previousWeekday(Weekday day);

struct ScheduleEvaluator {
    // The civil minute of the manifest's zone at nowMs; none for an unset clock (before 2020)
    // or an unusable zone, in which case every enabled page is eligible.
    static std::optional<ZonedCivilTime> civilTime(std::optional<qint64> nowMs, const QString& timeZone);
    static bool windowMatches(const VisibilityWindow& window, const ZonedCivilTime& now);
    static bool isEligible(const std::optional<PageVisibility>& visibility,
                           const std::optional<ZonedCivilTime>& now);
    static QList<int> eligibleIndices(const QList<std::optional<PageVisibility>>& pages,
                                      const std::optional<ZonedCivilTime>& now);
    static qint64 millisToNextCivilMinute(qint64 nowMs);

    // Whether schedules can be evaluated in this zone at all.
    static bool zoneUsable(const QString& timeZone);
    // An unusable zone silently makes every enabled page eligible, so a typo in a zone name
    // would go unnoticed: writes one developer-log warning per manifest revision that names a
    // non-empty zone which cannot be used. Returns whether it wrote one.
    static bool warnIfZoneUnusable(const QString& manifestRevision, const QString& timeZone);
};

struct ScheduleContract {
    static std::variant<PageVisibility, ScheduleParseError> parseVisibility(const QJsonObject& visibility,
                                                                           const QString& path);
    static int minutesOfDay(const QString& hhmm);
};

} // namespace talvorine
