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

struct ScheduleContract {
    static std::variant<PageVisibility, ScheduleParseError> parseVisibility(const QJsonObject& visibility,
                                                                           const QString& path);
    static int minutesOfDay(const QString& hhmm);
};

} // namespace talvorine
