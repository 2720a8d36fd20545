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
    void runningPolicyHoldsNothing();
};

void TestOperatorPlaybackPolicy::toggle_data()
{
    QTest::addColumn<bool>("available");
    QTest::addColumn<bool>("web");
    QTest::addColumn<bool>("toggled");

    QTest::newRow("content page") << true << false << true;
    QTest::newRow("not available") << false << false << false;
    QTest::newRow("web application page") << true << true << false;
    QTest::newRow("neither") << false << true << false;
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
    // Toggling back resumes and forgets the start.
    QCOMPARE(policy.togglePause(available, web, pausedAt + 5), toggled);
    QVERIFY(!policy.paused());
    QCOMPARE(policy.pausedAtMs(), 0);
}

void TestOperatorPlaybackPolicy::hold_data()
{
    QTest::addColumn<qint64>("startMs");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<qint64>("remaining");
    QTest::addColumn<bool>("expires");

    QTest::newRow("clock set back") << pausedAt << pausedAt - 86400000 << hourMs << false;
    QTest::newRow("at the start") << pausedAt << pausedAt << hourMs << false;
    QTest::newRow("one second in") << pausedAt << pausedAt + 1000 << hourMs - 1000 << false;
    QTest::newRow("one ms before the hour") << pausedAt << pausedAt + hourMs - 1 << qint64(1) << false;
    QTest::newRow("exactly the hour") << pausedAt << pausedAt + hourMs << qint64(0) << true;
    QTest::newRow("a year later") << pausedAt << pausedAt + 31536000000 << qint64(0) << true;
    const qint64 lowest = std::numeric_limits<qint64>::min();
    const qint64 highest = std::numeric_limits<qint64>::max();
    QTest::newRow("difference beyond 64 bits") << lowest << highest << qint64(0) << true;
}

void TestOperatorPlaybackPolicy::hold()
{
    QFETCH(qint64, startMs);
    QFETCH(qint64, nowMs);
    QFETCH(qint64, remaining);
    QFETCH(bool, expires);

    OperatorPlaybackPolicy policy;
    QVERIFY(policy.togglePause(true, false, startMs));
    QCOMPARE(policy.remainingHoldMs(nowMs), remaining);
    QCOMPARE(policy.expireHold(nowMs), expires);
    QCOMPARE(policy.paused(), !expires);
    QCOMPARE(policy.pausedAtMs(), expires ? 0 : startMs);
}

void TestOperatorPlaybackPolicy::runningPolicyHoldsNothing()
{
    OperatorPlaybackPolicy policy;
    QCOMPARE(policy.remainingHoldMs(pausedAt), 0);
    QVERIFY(!policy.expireHold(pausedAt + 2 * hourMs));
    policy.reset();
    QVERIFY(!policy.paused());
    QVERIFY(policy.togglePause(true, false, pausedAt));
    policy.reset();
    QVERIFY(!policy.paused());
    QCOMPARE(policy.pausedAtMs(), 0);
}

QTEST_GUILESS_MAIN(TestOperatorPlaybackPolicy)
#include "tst_operatorplaybackpolicy.moc"
