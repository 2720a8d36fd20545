#include "operator/OperatorPlaybackPolicy.h"

#include <QtTest>

#include <limits>

using namespace talvorine;

namespace {

// Well past 2^31 ms: the value that overflowed a 32-bit `long`.
constexpr qint64 pausedAt = 1767225600000;
constexpr qint64 hourMs = 3600000;

} // namespace

class TestOperatorPlaybackPolicy : public QObject {
    Q_OBJECT

private slots:
    void toggle_data();
    void toggle();
    void hold_data();
    void hold();
};

void TestOperatorPlaybackPolicy::toggle_data()
{
    QTest::addColumn<bool>("available");
    QTest::addColumn<bool>("web");
    QTest::addColumn<bool>("toggled");

    QTest::newRow("content page") << true << false << true;
    QTest::newRow("not available") << false << false << false;
    QTest::newRow("web application page") << true << true << false;
}

void TestOperatorPlaybackPolicy::toggle()
{
    QFETCH(bool, available);
    QFETCH(bool, web);
    QFETCH(bool, toggled);

    OperatorPlaybackPolicy policy;
    QCOMPARE(policy.acceptsKeys(available, web), toggled);
    QCOMPARE(policy.togglePause(available, web, pausedAt), toggled);
    QCOMPARE(policy.paused(), toggled);
    QCOMPARE(policy.shouldAutoAdvance(), !toggled);
    QCOMPARE(policy.pausedAtMs(), toggled ? pausedAt : 0);
    // Toggling back resumes and forgets the start; reset of a running policy changes nothing.
    QCOMPARE(policy.togglePause(available, web, pausedAt + 5), toggled);
    QVERIFY(!policy.paused());
    policy.reset();
    QVERIFY(!policy.paused());
    QCOMPARE(policy.pausedAtMs(), 0);
}

void TestOperatorPlaybackPolicy::hold_data()
{
    QTest::addColumn<bool>("paused");
    QTest::addColumn<qint64>("startMs");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<bool>("expires");

    const qint64 lowest = std::numeric_limits<qint64>::min();
    const qint64 highest = std::numeric_limits<qint64>::max();
    QTest::newRow("running") << false << pausedAt << pausedAt + 2 * hourMs << qint64(0) << false;
    QTest::newRow("clock set back") << true << pausedAt << pausedAt - 86400000 << hourMs << false;
    QTest::newRow("at the start") << true << pausedAt << pausedAt << hourMs << false;
    QTest::newRow("one ms before the hour")
        << true << pausedAt << pausedAt + hourMs - 1 << qint64(1) << false;
    QTest::newRow("exactly the hour") << true << pausedAt << pausedAt + hourMs << qint64(0) << true;
    QTest::newRow("difference beyond 64 bits") << true << lowest << highest << qint64(0) << true;
}

void TestOperatorPlaybackPolicy::hold()
{
    QFETCH(bool, paused);
    QFETCH(qint64, startMs);
    QFETCH(qint64, nowMs);
    QFETCH(qint64, remaining);
    QFETCH(bool, expires);

    OperatorPlaybackPolicy policy;
    if (paused)
        QVERIFY(policy.togglePause(true, false, startMs));
    QCOMPARE(policy.remainingHoldMs(nowMs), remaining);
    QCOMPARE(policy.expireHold(nowMs), expires);
    QCOMPARE(policy.paused(), paused && !expires);
    QCOMPARE(policy.pausedAtMs(), paused && !expires ? startMs : 0);
}

QTEST_GUILESS_MAIN(TestOperatorPlaybackPolicy)
#include "tst_operatorplaybackpolicy.moc"
