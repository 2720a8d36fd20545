#include "stage/ObjectAnimationPolicy.h"

#include <QTest>

using namespace talvorine;

class TestObjectAnimation : public QObject {
    Q_OBJECT
private slots:
    void periods_data()
    {
        QTest::addColumn<QString>("speed");
        QTest::addColumn<int>("spinMs");
        QTest::addColumn<int>("driftMs");
        QTest::newRow("slow") << "slow" << 60000 << 40000;
        QTest::newRow("medium") << "medium" << 30000 << 25000;
        QTest::newRow("fast") << "fast" << 12000 << 15000;
        QTest::newRow("upper case") << "Fast" << 0 << 0;
        QTest::newRow("empty") << "" << 0 << 0;
    }
    void periods()
    {
        QFETCH(QString, speed);
        QFETCH(int, spinMs);
        QFETCH(int, driftMs);
        QCOMPARE(ObjectAnimationPolicy::spinPeriodMs(speed), spinMs);
        QCOMPARE(ObjectAnimationPolicy::driftLegMs(speed), driftMs);
    }

    void enter_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("stagger");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<double>("fromX");
        QTest::addColumn<double>("fromY");
        QTest::addColumn<double>("fromScale");
        // The page scale is 2 across and 0.5 down.
        QTest::newRow("fade-in") << "fade-in" << 0 << 500 << 0.0 << 0.0 << 1.0;
        QTest::newRow("fade-up rises from below") << "fade-up" << 1 << 620 << 0.0 << 12.0 << 1.0;
        QTest::newRow("fade-down drops from above") << "fade-down" << 2 << 740 << 0.0 << -12.0 << 1.0;
        QTest::newRow("fade-left comes from the right") << "fade-left" << 3 << 860 << 48.0 << 0.0 << 1.0;
        QTest::newRow("fade-right comes from the left") << "fade-right" << 8 << 1460 << -48.0 << 0.0 << 1.0;
        QTest::newRow("zoom-in grows") << "zoom-in" << 0 << 500 << 0.0 << 0.0 << 0.92;
        QTest::newRow("zoom-out shrinks") << "zoom-out" << 0 << 500 << 0.0 << 0.0 << 1.08;
        QTest::newRow("stagger above the range") << "fade-in" << 12 << 1460 << 0.0 << 0.0 << 1.0;
        QTest::newRow("negative stagger") << "fade-in" << -3 << 500 << 0.0 << 0.0 << 1.0;
        QTest::newRow("unknown type") << "slide-in" << 0 << -1 << 0.0 << 0.0 << 0.0;
        QTest::newRow("type in other case") << "Fade-In" << 0 << -1 << 0.0 << 0.0 << 0.0;
    }
    void enter()
    {
        QFETCH(QString, type);
        QFETCH(int, stagger);
        QFETCH(int, delayMs);
        QFETCH(double, fromX);
        QFETCH(double, fromY);
        QFETCH(double, fromScale);
        const QVariantMap enter = ObjectAnimationPolicy::describeEnter(type, stagger, 2.0, 0.5);
        if (delayMs < 0) {
            QVERIFY(enter.isEmpty());
            return;
        }
        QCOMPARE(enter.value("type").toString(), type);
        QCOMPARE(enter.value("delayMs").toInt(), delayMs);
        QCOMPARE(enter.value("durationMs").toInt(), 400);
        QCOMPARE(enter.value("fromOpacity").toDouble(), 0.0);
        QCOMPARE(enter.value("fromX").toDouble(), fromX);
        QCOMPARE(enter.value("fromY").toDouble(), fromY);
        QCOMPARE(enter.value("fromScale").toDouble(), fromScale);
    }

    void reducedMotion_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("reduced");
        QTest::newRow("unset") << QByteArray() << false;
        QTest::newRow("one") << QByteArray("1") << true;
        QTest::newRow("zero") << QByteArray("0") << false;
        QTest::newRow("two") << QByteArray("2") << false;
        QTest::newRow("word") << QByteArray("yes") << false;
        QTest::newRow("empty") << QByteArray("") << false;
    }
    void reducedMotion()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, reduced);
        if (value.isNull())
            qunsetenv("TALVORINE_REDUCED_MOTION");
        else
            qputenv("TALVORINE_REDUCED_MOTION", value);
        QCOMPARE(ObjectAnimationPolicy::reducedMotionRequested(), reduced);
        qunsetenv("TALVORINE_REDUCED_MOTION");
    }
};

QTEST_GUILESS_MAIN(TestObjectAnimation)
#include "tst_objectanimation.moc"
