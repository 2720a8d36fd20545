#include "stage/ObjectAnimationPolicy.h"

#include <QTest>

#include <limits>

using namespace talvorine;

namespace {

Primitive::Motion spin(const QString& direction, const QString& speed)
{
    Primitive::Motion m;
    m.type = Primitive::Motion::spin;
    m.spinDirection = direction;
    m.spinSpeed = speed;
    return m;
}

Primitive::Motion drift(const QString& zoom, const QString& direction, const QString& speed)
{
    Primitive::Motion m;
    m.type = Primitive::Motion::drift;
    m.driftZoom = zoom;
    m.driftDirection = direction;
    m.driftSpeed = speed;
    return m;
}

Primitive::Motion path(std::vector<ObjectMotionPoint> points, double rate,
                       std::optional<QString> loop = std::nullopt)
{
    Primitive::Motion m;
    m.type = Primitive::Motion::path;
    m.points = std::move(points);
    m.rate = rate;
    m.loop = std::move(loop);
    return m;
}

// A 200x100 canvas rectangle at (100, 100) drawn at half size.
const QRectF canvasRect(100, 100, 200, 100);
const QRectF viewportRect(50, 50, 100, 50);

} // namespace

Q_DECLARE_METATYPE(talvorine::Primitive::Motion)

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

    void spinAndDrift_data()
    {
        QTest::addColumn<Primitive::Motion>("motion");
        QTest::addColumn<QVariantMap>("expected"); // empty: not animated
        const QString t = QStringLiteral("type");
        QTest::newRow("spin clockwise")
            << spin("cw", "slow")
            << QVariantMap{{t, "spin"}, {"periodMs", 60000}, {"toDegrees", 360.0},
                           {"originX", 50.0}, {"originY", 25.0}};
        QTest::newRow("spin counter-clockwise")
            << spin("ccw", "medium")
            << QVariantMap{{t, "spin"}, {"periodMs", 30000}, {"toDegrees", -360.0},
                           {"originX", 50.0}, {"originY", 25.0}};
        QTest::newRow("spin direction in upper case") << spin("CW", "fast") << QVariantMap();
        QTest::newRow("spin without speed") << spin("cw", "") << QVariantMap();
        QTest::newRow("drift in to the left")
            << drift("in", "left", "slow")
            << QVariantMap{{t, "drift"}, {"legMs", 40000}, {"fromScale", 1.0},
                           {"toScale", 1.12}, {"toX", -6.0}, {"toY", 0.0}};
        QTest::newRow("drift out downwards")
            << drift("out", "down", "fast")
            << QVariantMap{{t, "drift"}, {"legMs", 15000}, {"fromScale", 1.12},
                           {"toScale", 1.0}, {"toX", 0.0}, {"toY", 3.0}};
        QTest::newRow("drift up")
            << drift("in", "up", "medium")
            << QVariantMap{{t, "drift"}, {"legMs", 25000}, {"fromScale", 1.0},
                           {"toScale", 1.12}, {"toX", 0.0}, {"toY", -3.0}};
        QTest::newRow("drift right without zoom direction")
            << drift("sideways", "right", "slow") << QVariantMap();
        QTest::newRow("drift in place")
            << drift("in", "none", "slow")
            << QVariantMap{{t, "drift"}, {"legMs", 40000}, {"fromScale", 1.0},
                           {"toScale", 1.12}, {"toX", 0.0}, {"toY", 0.0}};
        QTest::newRow("drift to nowhere") << drift("in", "north", "slow") << QVariantMap();
    }
    void spinAndDrift()
    {
        QFETCH(Primitive::Motion, motion);
        QFETCH(QVariantMap, expected);
        const QVariantMap got = ObjectAnimationPolicy::describeMotion(motion, canvasRect, viewportRect);
        QCOMPARE(got.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            if (it.value().typeId() == QMetaType::Double)
                QVERIFY2(qFuzzyCompare(got.value(it.key()).toDouble() + 1.0,
                                       it.value().toDouble() + 1.0),
                         qPrintable(it.key()));
            else
                QCOMPARE(got.value(it.key()).toString(), it.value().toString());
        }
    }

    void paths_data()
    {
        QTest::addColumn<Primitive::Motion>("motion");
        QTest::addColumn<QString>("mode"); // empty: not animated
        QTest::addColumn<QList<QPointF>>("offsets");
        QTest::addColumn<QList<qint64>>("durations");
        // Canvas points are where the top-left goes; at half scale 100 canvas units per second
        // moves 50 pixels per second.
        const std::vector<ObjectMotionPoint> corner{{400, 100}, {400, 500}};
        const QList<QPointF> cornerOffsets{{0, 0}, {150, 0}, {150, 200}};
        const QList<qint64> cornerDurations{0, 3000, 4000};
        QTest::newRow("loop when absent") << path(corner, 100) << "loop" << cornerOffsets
                                          << cornerDurations;
        QTest::newRow("once") << path(corner, 100, "once") << "once" << cornerOffsets
                              << cornerDurations;
        QTest::newRow("ping-pong") << path(corner, 100, "ping-pong") << "ping-pong"
                                   << cornerOffsets << cornerDurations;
        QTest::newRow("faster rate") << path(corner, 400) << "loop" << cornerOffsets
                                     << QList<qint64>{0, 750, 1000};
        QTest::newRow("point at the resting place")
            << path({{100, 100}}, 50) << "loop" << QList<QPointF>{{0, 0}, {0, 0}}
            << QList<qint64>{0, 0};
        QTest::newRow("negative coordinates")
            << path({{-200, 100}}, 300) << "loop" << QList<QPointF>{{0, 0}, {-150, 0}}
            << QList<qint64>{0, 1000};
        QTest::newRow("far point is capped at a day")
            << path({{1e15, 100}}, 1) << "loop" << QList<QPointF>{{0, 0}, {(1e15 - 100) / 2, 0}}
            << QList<qint64>{0, 86400000};
        QTest::newRow("unknown loop") << path(corner, 100, "bounce") << QString()
                                      << QList<QPointF>() << QList<qint64>();
        QTest::newRow("zero rate") << path(corner, 0) << QString() << QList<QPointF>()
                                   << QList<qint64>();
        QTest::newRow("no points") << path({}, 100) << QString() << QList<QPointF>()
                                   << QList<qint64>();
        QTest::newRow("infinite point")
            << path({{std::numeric_limits<double>::infinity(), 0}}, 100) << QString()
            << QList<QPointF>() << QList<qint64>();
    }
    void paths()
    {
        QFETCH(Primitive::Motion, motion);
        QFETCH(QString, mode);
        QFETCH(QList<QPointF>, offsets);
        QFETCH(QList<qint64>, durations);
        const QVariantMap got = ObjectAnimationPolicy::describeMotion(motion, canvasRect, viewportRect);
        if (mode.isEmpty()) {
            QVERIFY(got.isEmpty());
            return;
        }
        QCOMPARE(got.value("type").toString(), QStringLiteral("path"));
        QCOMPARE(got.value("mode").toString(), mode);
        const QVariantList points = got.value("points").toList();
        QCOMPARE(points.size(), offsets.size());
        qint64 cycle = 0;
        for (int i = 0; i < points.size(); ++i) {
            const QVariantMap point = points.at(i).toMap();
            QCOMPARE(point.value("x").toDouble(), offsets.at(i).x());
            QCOMPARE(point.value("y").toDouble(), offsets.at(i).y());
            QCOMPARE(point.value("durationMs").toLongLong(), durations.at(i));
            cycle += durations.at(i);
        }
        QCOMPARE(got.value("cycleMs").toLongLong(), cycle);
    }

    void degenerateScale()
    {
        QVERIFY(ObjectAnimationPolicy::describeMotion(spin("cw", "slow"), QRectF(0, 0, 0, 10),
                                                      viewportRect)
                    .isEmpty());
        QVERIFY(ObjectAnimationPolicy::describeMotion(spin("cw", "slow"), canvasRect, QRectF())
                    .isEmpty());
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
