#include "ads/AdPolicy.h"

#include <QTest>

using namespace talvorine;

namespace {

// 2026-03-02, a Monday, 12:00 UTC: 13:00 in Berlin.
const qint64 now = QDateTime(QDate(2026, 3, 2), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();

std::optional<PageVisibility> localHours(int fromMinute, int toMinute)
{
    VisibilityWindow window;
    window.days = {Weekday::mon, Weekday::tue, Weekday::wed, Weekday::thu,
                   Weekday::fri, Weekday::sat, Weekday::sun};
    window.startMinute = fromMinute;
    window.endMinute = toMinute;
    PageVisibility visibility;
    visibility.windows = QList<VisibilityWindow>{window};
    return visibility;
}

// A rotation written as tokens: "d5000" a page shown 5000 ms, "t500:d5000" the same entered
// with a 500 ms transition, "i3000" a media page whose image dwells 3000 ms, "v" a media page
// with only a video, "a" an application page, "S" an adslot page, "B" an adslot page allowed
// from 13:00 to 14:00 local time, "X" one allowed only from 00:00 to 01:00.
Manifest rotation(const QString& pattern, const QString& zone = QStringLiteral("Europe/Berlin"))
{
    Manifest manifest;
    manifest.timezone = zone;
    for (QString token : pattern.split(' ', Qt::SkipEmptyParts)) {
        Page page;
        page.id = QStringLiteral("p%1").arg(manifest.pages.size());
        if (token.startsWith('t')) {
            const qsizetype colon = token.indexOf(':');
            page.transition = {{"type", "crossfade"}, {"durationMs", token.mid(1, colon - 1).toInt()}};
            token = token.mid(colon + 1);
        }
        const QChar kind = token.at(0);
        if (kind == 'S' || kind == 'B' || kind == 'X') {
            page.type = PageType::adslot;
            page.adslotId = QStringLiteral("slot");
            if (kind != 'S')
                page.visibility = kind == 'B' ? localHours(780, 840) : localHours(0, 60);
        } else if (kind == 'd') {
            page.advance = {{"mode", "duration"}, {"afterMs", token.mid(1).toInt()}};
        } else if (kind == 'a') {
            page.advance = {{"mode", "application"}, {"maxMs", 60000}};
        } else {
            page.advance = {{"mode", "media_end"}, {"maxMs", 60000}};
            Primitive primitive;
            primitive.id = QStringLiteral("media");
            primitive.kind = kind == 'i' ? PrimitiveKind::image : PrimitiveKind::video;
            if (kind == 'i')
                primitive.binding = {{"dwellMs", token.mid(1).toInt()}};
            page.primitives = {primitive};
        }
        manifest.pages.append(page);
    }
    return manifest;
}

QString describe(const QList<AdPolicy::AdForecastPoint>& points)
{
    QStringList parts;
    for (const AdPolicy::AdForecastPoint& point : points)
        parts.append(QStringLiteral("%1@%2").arg(point.pageIndex).arg(point.atMs - now));
    return parts.join(' ');
}

QString describe(const QList<int>& indices)
{
    QStringList parts;
    for (const int index : indices)
        parts.append(QString::number(index));
    return parts.join(' ');
}

} // namespace

class TestAdPolicy : public QObject {
    Q_OBJECT
private slots:
    void forecast_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("active");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("expected"); // page@ms after now
        const auto row = [](const char* name, const char* pattern, int active, qint64 remaining,
                            const char* expected, const char* zone = "Europe/Berlin") {
            QTest::newRow(name) << QString(pattern) << active << remaining << QString(zone)
                                << QString(expected);
        };
        row("adslot next: remaining only", "d10000 t700:S d10000", 0, 4000, "1@4000");
        row("transition and remaining on the first step", "d10000 t500:d10000 S", 0, 1000, "2@11500");
        row("consecutive adslots share a time", "d5000 S S d5000 S", 0, 0, "1@0 2@0 4@5000");
        row("negative remaining counts as none", "d5000 S", 0, -800, "1@0");
        row("image dwell", "d5000 i3000 S", 0, 0, "2@3000");
        row("video ends the walk", "d5000 S v S", 0, 0, "1@0");
        row("application ends the walk", "d5000 a S", 0, 0, "");
        row("schedule excludes, clock unchanged", "d5000 X d5000 S", 0, 0, "3@5000");
        row("schedule in the manifest's zone", "d5000 B", 0, 0, "1@0");
        row("same schedule read in UTC", "d5000 B", 0, 0, "", "UTC");
        row("schedule in an unusable zone", "d5000 B S", 0, 0, "2@0", "Mars/Olympus");
        row("walk ends past the horizon", "d1000 d59000 S d1001 S", 0, 0, "2@59000");
        row("adslot at the horizon is listed", "d1000 d60000 S", 0, 0, "2@60000");
        row("wraps to the start", "S d5000 d5000", 1, 0, "0@5000");
        row("one adslot page", "S", 0, 2000, "0@2000");
        row("one content page", "d5000", 0, 0, "");
        row("no active page", "d5000 S", -1, 0, "");
        row("active page out of range", "d5000 S", 2, 0, "");
        row("sixteen of seventeen", "d1000 S S S S S S S S S S S S S S S S S", 0, 0,
            "1@0 2@0 3@0 4@0 5@0 6@0 7@0 8@0 9@0 10@0 11@0 12@0 13@0 14@0 15@0 16@0");
    }

    void forecast()
    {
        QFETCH(QString, pattern);
        QFETCH(int, active);
        QFETCH(qint64, remaining);
        QFETCH(QString, zone);
        QFETCH(QString, expected);
        QCOMPARE(describe(AdPolicy::adForecastEntries(rotation(pattern, zone), active, remaining, now)),
                 expected);
    }

    void runBetween_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("expected");
        QTest::newRow("adjacent") << QString("d1 d1 d1 d1") << 2 << 3 << QString();
        QTest::newRow("forward") << QString("d1 S d1 S") << 0 << 2 << QString("1");
        QTest::newRow("wrapping") << QString("d1 S d1 S") << 2 << 0 << QString("3");
        QTest::newRow("full turn") << QString("S S S d1") << 3 << 3 << QString("0 1 2");
        QTest::newRow("skips content and excluded") << QString("d1 S X d1 B d1") << 0 << 5 << QString("1 4");
        QTest::newRow("wrapping past the end") << QString("d1 S d1 S S") << 2 << 1 << QString("3 4");
        QTest::newRow("from out of range") << QString("d1 S d1") << 3 << 1 << QString();
        QTest::newRow("negative index") << QString("d1 S d1") << -1 << 2 << QString();
        QTest::newRow("no pages") << QString() << 0 << 0 << QString();
    }

    void runBetween()
    {
        QFETCH(QString, pattern);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, expected);
        QCOMPARE(describe(AdPolicy::adslotRunBetween(rotation(pattern), from, to, now)), expected);
    }
};

QTEST_GUILESS_MAIN(TestAdPolicy)
#include "tst_adpolicy.moc"
