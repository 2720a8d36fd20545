#include "bench/TrendFit.h"

#include <QTest>

using namespace talvorine::bench;

class TestTrendFit : public QObject {
    Q_OBJECT
private slots:
    // Against the table of Student's t: a narrow interval would hide growth a long run shows.
    void studentQuantile_data()
    {
        QTest::addColumn<int>("df");
        QTest::addColumn<double>("table");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("3") << 3 << 3.182446 << 0.03;
        QTest::newRow("4") << 4 << 2.776445 << 0.01;
        QTest::newRow("8") << 8 << 2.306004 << 0.001;
        QTest::newRow("28") << 28 << 2.048407 << 0.0001;
        QTest::newRow("98") << 98 << 1.984467 << 0.0001;
    }
    void studentQuantile()
    {
        QFETCH(int, df);
        QFETCH(double, table);
        QFETCH(double, tolerance);
        QVERIFY2(std::abs(studentT95(df) - table) <= tolerance, qPrintable(QString::number(studentT95(df))));
    }

    void line_data()
    {
        QTest::addColumn<QList<QPointF>>("points");
        QTest::addColumn<double>("slope");
        QTest::addColumn<double>("margin");
        QTest::addColumn<int>("points_fitted");
        QList<QPointF> exact, zigzag, flat;
        for (int x = 0; x < 10; ++x) {
            exact.append({double(x), 3.0 * x + 5});
            // y = 2x ± 1: least squares 64/33, interval 2.306004 * sqrt(SSR / 8 / 82.5).
            zigzag.append({double(x), 2.0 * x + (x % 2 ? -1 : 1)});
            flat.append({double(x + 3), x % 3 ? 70.0 : 71.0});
        }
        QTest::newRow("exact line") << exact << 3.0 << 0.0 << 10;
        QTest::newRow("noisy line") << zigzag << 64.0 / 33.0 << 0.2795156 << 10;
        QTest::newRow("two points, no line") << exact.mid(0, 2) << 0.0 << 0.0 << 2;
        QTest::newRow("one abscissa, no line")
            << QList<QPointF>{{1, 2}, {1, 3}, {1, 4}} << 0.0 << 0.0 << 3;
        QTest::newRow("flat with swings") << flat << 0.0 << 0.1390573 << 10;
    }
    void line()
    {
        QFETCH(QList<QPointF>, points);
        QFETCH(double, slope);
        QFETCH(double, margin);
        QFETCH(int, points_fitted);
        const Trend trend = fitTrend(points);
        QCOMPARE(trend.points, points_fitted);
        QVERIFY2(std::abs(trend.slope - slope) < 1e-6, qPrintable(QString::number(trend.slope)));
        QVERIFY2(std::abs(trend.margin - margin) < 1e-4, qPrintable(QString::number(trend.margin)));
    }
};

QTEST_APPLESS_MAIN(TestTrendFit)
#include "tst_trendfit.moc"
