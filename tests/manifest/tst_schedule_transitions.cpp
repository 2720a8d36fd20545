// Page visibility schedules evaluated in real zones from the time-zone database, and the
// poses of page transitions.

#include "app/DevFileLog.h"
#include "manifest/PageTransitionRules.h"
#include "manifest/ScheduleContract.h"

#include <QDateTime>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace talvorine;

namespace {

qint64 utc(const char* text)
{
    QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
    time.setTimeZone(QTimeZone::utc());
    return time.toMSecsSinceEpoch();
}

ZonedCivilTime at(const QString& stamp, Weekday day)
{
    const int minute = stamp.mid(11, 2).toInt() * 60 + stamp.mid(14, 2).toInt();
    return ZonedCivilTime{stamp, day, minute};
}

VisibilityWindow window(QSet<Weekday> days, std::optional<int> start, std::optional<int> end)
{
    VisibilityWindow w;
    w.days = days;
    w.startMinute = start;
    w.endMinute = end;
    return w;
}

PageVisibility visible(std::optional<QString> from = std::nullopt, std::optional<QString> until = std::nullopt,
                       std::optional<QList<VisibilityWindow>> windows = std::nullopt, bool enabled = true)
{
    return PageVisibility{enabled, from, until, windows};
}

} // namespace

Q_DECLARE_METATYPE(TransitionPose)
Q_DECLARE_METATYPE(ZonedCivilTime)
Q_DECLARE_METATYPE(VisibilityWindow)
Q_DECLARE_METATYPE(std::optional<PageVisibility>)

class tst_schedule_transitions : public QObject {
    Q_OBJECT

private slots:
    void poses_data();
    void poses();
    void civilTime_data();
    void civilTime();
    void windows_data();
    void windows();
    void eligibility_data();
    void eligibility();
    void allPagesFallback();
    void nextCivilMinute_data();
    void nextCivilMinute();
    void unusableZoneIsLoggedOncePerRevision();
    void zoneNameNeverOpensAFifo();
};

void tst_schedule_transitions::poses_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("duration");
    QTest::addColumn<int>("elapsed");
    QTest::addColumn<TransitionPose>("pose");
    QTest::newRow("crossfade quarter") << "crossfade" << 400 << 100 << TransitionPose{250, 750, 0, 0, 0, 0};
    QTest::newRow("third rounds down") << "crossfade" << 3 << 1 << TransitionPose{333, 667, 0, 0, 0, 0};
    QTest::newRow("two thirds rounds up") << "crossfade" << 3 << 2 << TransitionPose{667, 333, 0, 0, 0, 0};
    QTest::newRow("half a permille rounds up") << "crossfade" << 2000 << 1 << TransitionPose{1, 999, 0, 0, 0, 0};
    QTest::newRow("swipe-left start") << "swipe-left" << 500 << 0 << TransitionPose{1000, 1000, 1000, 0, 0, 0};
    QTest::newRow("swipe-left end") << "swipe-left" << 500 << 500 << TransitionPose{1000, 1000, 0, 0, -1000, 0};
    QTest::newRow("swipe-right start") << "swipe-right" << 500 << 0 << TransitionPose{1000, 1000, -1000, 0, 0, 0};
    QTest::newRow("swipe-up middle") << "swipe-up" << 500 << 250 << TransitionPose{1000, 1000, 0, 500, 0, -500};
    QTest::newRow("swipe-down zero duration") << "swipe-down" << 0 << 0 << TransitionPose{1000, 1000, 0, 0, 0, 1000};
    QTest::newRow("swipe-up beyond the end") << "swipe-up" << 100 << 150 << TransitionPose{1000, 1000, 0, -500, 0, -1500};
    QTest::newRow("before the start") << "crossfade" << 100 << -50 << TransitionPose{-500, 1500, 0, 0, 0, 0};
    QTest::newRow("saturates") << "swipe-right" << 1 << 2147483647
                               << TransitionPose{1000, 1000, 2147482647, 0, 2147483647, 0};
    QTest::newRow("case differs") << "Crossfade" << 400 << 100 << TransitionPose{};
    QTest::newRow("trailing space") << "swipe-left " << 400 << 100 << TransitionPose{};
    QTest::newRow("empty") << "" << 400 << 400 << TransitionPose{};
}

void tst_schedule_transitions::poses()
{
    QFETCH(QString, type);
    QFETCH(int, duration);
    QFETCH(int, elapsed);
    QFETCH(TransitionPose, pose);
    const QByteArray bytes = type.toUtf8();
    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    const TransitionPose actual = PageTransitionRules::pose(view, duration, elapsed);
    QCOMPARE(actual.incomingOpacityPermille, pose.incomingOpacityPermille);
    QCOMPARE(actual.outgoingOpacityPermille, pose.outgoingOpacityPermille);
    QCOMPARE(actual.incomingTranslateXPermille, pose.incomingTranslateXPermille);
    QCOMPARE(actual.incomingTranslateYPermille, pose.incomingTranslateYPermille);
    QCOMPARE(actual.outgoingTranslateXPermille, pose.outgoingTranslateXPermille);
    QCOMPARE(actual.outgoingTranslateYPermille, pose.outgoingTranslateYPermille);
    QCOMPARE(PageTransitionRules::isSwipe(view), type.startsWith(QLatin1String("swipe-")) && !type.endsWith(QLatin1Char(' ')));
}

void tst_schedule_transitions::civilTime_data()
{
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QString>("stamp"); // empty: no civil time
    QTest::addColumn<int>("weekday");
    QTest::newRow("Berlin before spring change") << utc("2024-03-31T00:59:30Z") << "Europe/Berlin" << "2024-03-31T01:59" << 6;
    QTest::newRow("Berlin after spring change") << utc("2024-03-31T01:00:00Z") << "Europe/Berlin" << "2024-03-31T03:00" << 6;
    QTest::newRow("Berlin before autumn change") << utc("2024-10-27T00:59:00Z") << "Europe/Berlin" << "2024-10-27T02:59" << 6;
    QTest::newRow("Berlin after autumn change") << utc("2024-10-27T01:00:00Z") << "Europe/Berlin" << "2024-10-27T02:00" << 6;
    QTest::newRow("Tokyo before midnight") << utc("2024-05-03T14:59:59Z") << "Asia/Tokyo" << "2024-05-03T23:59" << 4;
    QTest::newRow("Tokyo after midnight") << utc("2024-05-03T15:00:00Z") << "Asia/Tokyo" << "2024-05-04T00:00" << 5;
    QTest::newRow("first set instant") << qint64(1577836800000) << "UTC" << "2020-01-01T00:00" << 2;
    QTest::newRow("clock not set") << qint64(1577836799999) << "UTC" << "" << 0;
    QTest::newRow("epoch") << qint64(0) << "Europe/Berlin" << "" << 0;
    QTest::newRow("empty zone") << utc("2024-05-03T12:00:00Z") << "" << "" << 0;
    QTest::newRow("65 characters") << utc("2024-05-03T12:00:00Z") << QString(65, QLatin1Char('A')) << "" << 0;
    QTest::newRow("unknown zone") << utc("2024-05-03T12:00:00Z") << "Europe/Berln" << "" << 0;
    QTest::newRow("zone with line feed") << utc("2024-05-03T12:00:00Z") << "Europe/Berlin\n" << "" << 0;
    QTest::newRow("year beyond 9999") << qint64(253402300800000) << "UTC" << "" << 0;
    QTest::newRow("offset zone") << utc("2024-05-03T12:00:00Z") << "UTC+05:30" << "2024-05-03T17:30" << 4;
    QTest::newRow("zone alias") << utc("2024-05-03T12:00:00Z") << "Asia/Calcutta" << "2024-05-03T17:30" << 4;
    // A zone name is data: none may lead the zone database reader to another file, even one
    // that holds a real zone.
    QTest::newRow("parent part to a real zone")
        << utc("2024-05-03T12:00:00Z") << "../zoneinfo/Europe/Berlin" << "" << 0;
    QTest::newRow("current part") << utc("2024-05-03T12:00:00Z") << "./Europe/Berlin" << "" << 0;
    QTest::newRow("inner parent part") << utc("2024-05-03T12:00:00Z") << "Asia/../Europe/Berlin" << "" << 0;
    QTest::newRow("empty part") << utc("2024-05-03T12:00:00Z") << "Europe//Berlin" << "" << 0;
    QTest::newRow("absolute path") << utc("2024-05-03T12:00:00Z") << "/usr/share/zoneinfo/UTC" << "" << 0;
    QTest::newRow("prefixed absolute path") << utc("2024-05-03T12:00:00Z") << ":/usr/share/zoneinfo/UTC" << "" << 0;
    QTest::newRow("device") << utc("2024-05-03T12:00:00Z") << "../../../../dev/zero" << "" << 0;
}

void tst_schedule_transitions::civilTime()
{
    QFETCH(qint64, now);
    QFETCH(QString, zone);
    QFETCH(QString, stamp);
    QFETCH(int, weekday);
    const std::optional<ZonedCivilTime> civil = ScheduleEvaluator::civilTime(now, zone);
    QCOMPARE(civil.has_value(), !stamp.isEmpty());
    if (!civil)
        return;
    QCOMPARE(civil->stamp, stamp);
    QCOMPARE(int(civil->weekday), weekday);
    QCOMPARE(civil->minuteOfDay, stamp.mid(11, 2).toInt() * 60 + stamp.mid(14, 2).toInt());
    QVERIFY(!ScheduleEvaluator::civilTime(std::nullopt, zone));
}

void tst_schedule_transitions::windows_data()
{
    QTest::addColumn<VisibilityWindow>("window");
    QTest::addColumn<ZonedCivilTime>("now");
    QTest::addColumn<bool>("matches");
    const VisibilityWindow overnight = window({Weekday::fri}, 22 * 60, 2 * 60);
    QTest::newRow("overnight Friday 23:30") << overnight << at("2024-05-03T23:30", Weekday::fri) << true;
    QTest::newRow("overnight Saturday 01:59") << overnight << at("2024-05-04T01:59", Weekday::sat) << true;
    QTest::newRow("overnight Saturday 02:00") << overnight << at("2024-05-04T02:00", Weekday::sat) << false;
    QTest::newRow("overnight Friday 21:59") << overnight << at("2024-05-03T21:59", Weekday::fri) << false;
    QTest::newRow("overnight Friday 01:00") << overnight << at("2024-05-03T01:00", Weekday::fri) << false;
    const VisibilityWindow day = window({Weekday::mon}, 8 * 60, 8 * 60);
    QTest::newRow("equal edges Monday 08:00") << day << at("2024-05-06T08:00", Weekday::mon) << true;
    QTest::newRow("equal edges Tuesday 07:59") << day << at("2024-05-07T07:59", Weekday::tue) << true;
    QTest::newRow("equal edges Tuesday 08:00") << day << at("2024-05-07T08:00", Weekday::tue) << false;
    QTest::newRow("equal edges Monday 07:59") << day << at("2024-05-06T07:59", Weekday::mon) << false;
    const VisibilityWindow office = window({Weekday::mon, Weekday::wed}, 9 * 60, 17 * 60);
    QTest::newRow("same day start inclusive") << office << at("2024-05-08T09:00", Weekday::wed) << true;
    QTest::newRow("same day end exclusive") << office << at("2024-05-08T17:00", Weekday::wed) << false;
    QTest::newRow("same day other weekday") << office << at("2024-05-07T12:00", Weekday::tue) << false;
    const VisibilityWindow allDay = window({Weekday::sun}, std::nullopt, std::nullopt);
    QTest::newRow("whole day") << allDay << at("2024-05-05T23:59", Weekday::sun) << true;
    QTest::newRow("whole day other weekday") << allDay << at("2024-05-06T00:00", Weekday::mon) << false;
}

void tst_schedule_transitions::windows()
{
    QFETCH(VisibilityWindow, window);
    QFETCH(ZonedCivilTime, now);
    QFETCH(bool, matches);
    QCOMPARE(ScheduleEvaluator::windowMatches(window, now), matches);
}

void tst_schedule_transitions::eligibility_data()
{
    QTest::addColumn<std::optional<PageVisibility>>("visibility");
    QTest::addColumn<bool>("withClock");
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<bool>("eligible");
    const auto stamps = visible(QStringLiteral("2024-05-01T00:00"), QStringLiteral("2024-05-02T00:00"));
    QTest::newRow("no visibility") << std::optional<PageVisibility>() << true << "2024-05-01T12:00" << true;
    QTest::newRow("from inclusive") << std::optional(stamps) << true << "2024-05-01T00:00" << true;
    QTest::newRow("before from") << std::optional(stamps) << true << "2024-04-30T23:59" << false;
    QTest::newRow("last minute") << std::optional(stamps) << true << "2024-05-01T23:59" << true;
    QTest::newRow("until exclusive") << std::optional(stamps) << true << "2024-05-02T00:00" << false;
    QTest::newRow("no clock") << std::optional(stamps) << false << "" << true;
    QTest::newRow("disabled") << std::optional(visible({}, {}, {}, false)) << true << "2024-05-01T12:00" << false;
    QTest::newRow("disabled without clock") << std::optional(visible({}, {}, {}, false)) << false << "" << false;
    const QList<VisibilityWindow> weekend{window({Weekday::sat, Weekday::sun}, std::nullopt, std::nullopt)};
    QTest::newRow("window misses") << std::optional(visible({}, {}, weekend)) << true << "2024-05-01T12:00" << false;
    QTest::newRow("window matches") << std::optional(visible({}, {}, weekend)) << true << "2024-05-04T12:00" << true;
    QTest::newRow("empty window list") << std::optional(visible({}, {}, QList<VisibilityWindow>{})) << true
                                       << "2024-05-04T12:00" << false;
    QTest::newRow("calendar-free stamps compare as text")
        << std::optional(visible(QStringLiteral("2024-13-45T10:00"))) << true << "2024-12-31T23:59" << false;
}

void tst_schedule_transitions::eligibility()
{
    QFETCH(std::optional<PageVisibility>, visibility);
    QFETCH(bool, withClock);
    QFETCH(QString, stamp);
    QFETCH(bool, eligible);
    // 2024-05-01 was a Wednesday; the weekday follows the stamp's date.
    std::optional<ZonedCivilTime> now;
    if (withClock) {
        const QDate date = QDate::fromString(stamp.left(10), Qt::ISODate);
        now = at(stamp, Weekday(date.dayOfWeek() - 1));
    }
    QCOMPARE(ScheduleEvaluator::isEligible(visibility, now), eligible);
}

void tst_schedule_transitions::allPagesFallback()
{
    const ZonedCivilTime now = at(QStringLiteral("2024-05-01T12:00"), Weekday::wed);
    const std::optional<PageVisibility> off = visible({}, {}, {}, false);
    const std::optional<PageVisibility> weekend = visible({}, {}, QList<VisibilityWindow>{window({Weekday::sat}, {}, {})});
    QCOMPARE(ScheduleEvaluator::eligibleIndices({off, off, off}, now), (QList<int>{0, 1, 2}));
    QCOMPARE(ScheduleEvaluator::eligibleIndices({weekend, std::nullopt, off}, now), (QList<int>{1}));
    QCOMPARE(ScheduleEvaluator::eligibleIndices({weekend, weekend}, now), (QList<int>{0, 1}));
    QCOMPARE(ScheduleEvaluator::eligibleIndices({}, now), QList<int>{});
}

void tst_schedule_transitions::nextCivilMinute_data()
{
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("delay");
    QTest::newRow("zero") << qint64(0) << qint64(60250);
    QTest::newRow("last millisecond") << qint64(59999) << qint64(251);
    QTest::newRow("minus one") << qint64(-1) << qint64(251);
    QTest::newRow("minus one minute") << qint64(-60000) << qint64(60250);
    QTest::newRow("mid minute") << qint64(1714737630000) << qint64(30250);
    QTest::newRow("far past") << qint64(-9223372036854775807LL) << qint64(60250 - ((-9223372036854775807LL % 60000) + 60000) % 60000);
}

void tst_schedule_transitions::nextCivilMinute()
{
    QFETCH(qint64, now);
    QFETCH(qint64, delay);
    const qint64 actual = ScheduleEvaluator::millisToNextCivilMinute(now);
    QCOMPARE(actual, delay);
    QVERIFY(actual >= 251 && actual <= 60250);
}

void tst_schedule_transitions::unusableZoneIsLoggedOncePerRevision()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DevFileLog::configure(QUrl(QStringLiteral("http://localhost:8080")), dir.path(), DevFileLog::defaultMaxBytes);
    QVERIFY(DevFileLog::enabled());
    QVERIFY(ScheduleEvaluator::warnIfZoneUnusable(QStringLiteral("rev-1"), QStringLiteral("Europe/Berln")));
    QVERIFY(!ScheduleEvaluator::warnIfZoneUnusable(QStringLiteral("rev-1"), QStringLiteral("Europe/Berln")));
    QVERIFY(!ScheduleEvaluator::warnIfZoneUnusable(QStringLiteral("rev-2"), QStringLiteral("Europe/Berlin")));
    QVERIFY(!ScheduleEvaluator::warnIfZoneUnusable(QStringLiteral("rev-2"), QString()));
    QVERIFY(ScheduleEvaluator::warnIfZoneUnusable(QStringLiteral("rev-2"), QString(65, QLatin1Char('Z'))));

    QFile log(DevFileLog::path());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QCOMPARE(text.count("schedule.timezone_unusable"), 2);
    QVERIFY(text.contains("Europe/Berln"));
    QVERIFY(text.contains("rev-2"));
}

void tst_schedule_transitions::zoneNameNeverOpensAFifo()
{
    // A FIFO without a writer would hold the thread that opens it for ever.
    QTemporaryDir dir(QStringLiteral("/tmp/tz-XXXXXX"));
    QVERIFY(dir.isValid());
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("zone")));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    const QString name = QStringLiteral("../../../..") + QFile::decodeName(fifo);
    QVERIFY(name.size() <= 64);
    std::atomic<bool> done = false;
    std::atomic<bool> usable = true;
    std::thread reader([&] {
        usable = ScheduleEvaluator::zoneUsable(name);
        done = true;
    });
    const auto release = qScopeGuard([&] {
        // A reader stuck in open() is let go by a writer that comes and leaves.
        if (!done) {
            const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
        reader.join();
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    QVERIFY(!usable);
}

QTEST_GUILESS_MAIN(tst_schedule_transitions)
#include "tst_schedule_transitions.moc"
