#include "overlay/PairingDisplay.h"

#include <QTest>

#include <ctime>

using namespace talvorine;

namespace {

constexpr qint64 minuteMs = 60000;
constexpr qint64 morningMs = Q_INT64_C(1717225200000); // 2024-06-01T07:00:00Z, 9:00am in Berlin

QDateTime utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

} // namespace

class TestPairingDisplay : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The clocks are local times: pin the zone (summer time +2, winter +1).
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void codes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("grouped");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("valid") << "ABC234" << "ABC 234" << "Pairing code A B C, 2 3 4";
        QTest::newRow("alphabet edges") << "ZZZ999" << "ZZZ 999" << "Pairing code Z Z Z, 9 9 9";
        QTest::newRow("lower case") << "abc234" << "abc234" << "Pairing code a b c 2 3 4";
        QTest::newRow("letter O") << "ABO234" << "ABO234" << "Pairing code A B O 2 3 4";
        QTest::newRow("digits 1 and 0") << "ABC210" << "ABC210" << "Pairing code A B C 2 1 0";
        QTest::newRow("five") << "AB234" << "AB234" << "Pairing code A B 2 3 4";
        QTest::newRow("seven") << "ABC2345" << "ABC2345" << "Pairing code A B C 2 3 4 5";
        QTest::newRow("dash") << "AB-234" << "AB-234" << "Pairing code A B dash 2 3 4";
        QTest::newRow("nul") << QStringLiteral("ABC23") + QChar(0) << QStringLiteral("ABC23") + QChar(0)
                             << QStringLiteral("Pairing code A B C 2 3 ") + QChar(0);
        QTest::newRow("astral") << QString::fromUtf8("AB\xF0\x9F\x93\xBA" "23")
                                << QString::fromUtf8("AB\xF0\x9F\x93\xBA" "23")
                                << QString::fromUtf8("Pairing code A B \xF0\x9F\x93\xBA 2 3");
        QTest::newRow("empty") << "" << "" << "Pairing code ";
    }
    void codes()
    {
        QFETCH(QString, code);
        QTEST(PairingDisplay::groupLocator(code), "grouped");
        QTEST(PairingDisplay::spokenLocator(code), "spoken");
    }

    void expiry_data()
    {
        QTest::addColumn<qint64>("aheadMs");
        QTest::addColumn<QString>("clock");
        QTest::newRow("now") << qint64(0) << "";
        QTest::newRow("past") << qint64(-1) << "";
        QTest::newRow("1 ms ahead") << qint64(1) << "9:00am";
        QTest::newRow("12 minutes ahead") << 12 * minuteMs << "9:12am";
        QTest::newRow("12 minutes and 1 ms ahead") << 12 * minuteMs + 1 << "";
    }
    void expiry()
    {
        QFETCH(qint64, aheadMs);
        QTEST(PairingDisplay::expiryClockTime(utc(morningMs + aheadMs), utc(morningMs)), "clock");
    }

    void clockEdges()
    {
        // 12:30 local is "12:30pm", midnight's first minutes are "12:05am".
        const qint64 noon = morningMs + 3 * 60 * minuteMs + 20 * minuteMs;
        QCOMPARE(PairingDisplay::expiryClockTime(utc(noon + 10 * minuteMs), utc(noon)),
                 QStringLiteral("12:30pm"));
        const qint64 midnight = morningMs + 15 * 60 * minuteMs;
        QCOMPARE(PairingDisplay::expiryClockTime(utc(midnight + 5 * minuteMs), utc(midnight)),
                 QStringLiteral("12:05am"));
        QCOMPARE(PairingDisplay::expiryClockTime(QDateTime(), utc(morningMs)), QString());
        QCOMPARE(PairingDisplay::expiryClockTime(utc(morningMs + minuteMs), QDateTime()), QString());
        // An offset-carrying time shows in the device's zone, not the stamp's.
        const QDateTime tokyo = utc(morningMs + minuteMs).toOffsetFromUtc(9 * 3600);
        QCOMPARE(PairingDisplay::expiryClockTime(tokyo, utc(morningMs)), QStringLiteral("9:01am"));
    }

    void offlineSince_data()
    {
        QTest::addColumn<qint64>("sinceMs");
        QTest::addColumn<qint64>("nowMs");
        QTest::addColumn<QString>("clock");
        QTest::newRow("just now") << morningMs << morningMs << "9:00am";
        QTest::newRow("two minutes ahead") << morningMs + 2 * minuteMs << morningMs << "9:02am";
        QTest::newRow("beyond the skew") << morningMs + 2 * minuteMs + 1 << morningMs << "";
        QTest::newRow("one day ago") << morningMs - 1440 * minuteMs << morningMs << "9:00am";
        QTest::newRow("more than a day ago") << morningMs - 1440 * minuteMs - 1 << morningMs << "";
        QTest::newRow("1 ms after the epoch") << qint64(1) << 60 * minuteMs << "1:00am";
        QTest::newRow("the epoch") << qint64(0) << 60 * minuteMs << "";
        QTest::newRow("before the epoch") << qint64(-1) << qint64(0) << "";
    }
    void offlineSince()
    {
        QFETCH(qint64, sinceMs);
        QFETCH(qint64, nowMs);
        QTEST(PairingDisplay::offlineSinceClock(utc(sinceMs), utc(nowMs)), "clock");
        QCOMPARE(PairingDisplay::offlineSinceClock(QDateTime(), utc(nowMs)), QString());
    }
};

QTEST_GUILESS_MAIN(TestPairingDisplay)
#include "tst_pairingdisplay.moc"
