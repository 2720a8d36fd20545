#include "overlay/OverlayContract.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/OverlayIcons.h"

#include <QDir>
#include <QSet>
#include <QTest>

#include <limits>

using namespace talvorine;

namespace {

const QByteArray houseRoot = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 24 24\" "
                             "fill=\"none\" stroke=\"currentColor\" stroke-width=\"1.5\" "
                             "stroke-linecap=\"round\" stroke-linejoin=\"round\">";

} // namespace

class TestOverlayGeometry : public QObject {
    Q_OBJECT
private slots:
    void frames_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        // scale, setupScale, statusIcon, safeH, safeV, settingsBox, splashW, splashH, syncGlyph,
        // locatorText, listGap, majorGap, setupCopyWidth
        QTest::addColumn<QList<double>>("expected");
        QTest::newRow("1920x1080") << 1920 << 1080
                                   << QList<double>{1, 1, 32, 96, 54, 720, 768, 119, 22, 96, 9, 26, 1600};
        QTest::newRow("1080x1920") << 1080 << 1920
                                   << QList<double>{1, 1, 32, 54, 96, 720, 432, 67, 22, 96, 9, 26, 1600};
        QTest::newRow("3840x2160") << 3840 << 2160
                                   << QList<double>{2, 2, 64, 192, 108, 1440, 1536, 239, 43, 192, 18, 52, 3200};
        QTest::newRow("1280x720") << 1280 << 720
                                  << QList<double>{1, 2.0 / 3, 32, 64, 36, 480, 512, 80, 14, 64, 6, 17, 1067};
        QTest::newRow("400x300") << 400 << 300
                                 << QList<double>{1, 0.5, 32, 20, 15, 210, 160, 25, 8, 48, 4, 13, 800};
        QTest::newRow("0x0") << 0 << 0 << QList<double>{1, 1, 32, 0, 0, 0, 0, 0, 8, 96, 9, 26, 1600};
        QTest::newRow("negative") << -1920 << -1080
                                  << QList<double>{1, 1, 32, 0, 0, 0, 0, 0, 8, 96, 9, 26, 1600};
        QTest::newRow("one side zero") << 1920 << 0
                                       << QList<double>{1, 1, 32, 96, 0, 0, 768, 119, 8, 96, 9, 26, 1600};
    }
    void frames()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QList<double>, expected);
        const OverlayGeometry g = OverlayGeometry::forFrame(width, height);
        const QList<double> actual{g.scale, g.setupScale, double(g.statusIconSizePx),
                                   double(g.safeAreaHorizontalPx), double(g.safeAreaVerticalPx),
                                   double(g.settingsBoxPx), double(g.splashMarkWidthPx),
                                   double(g.splashMarkHeightPx), double(g.syncGlyphSizePx),
                                   g.locatorTextSizePx, double(g.listGapPx), double(g.majorGapPx),
                                   double(g.setupCopyWidthPx)};
        QCOMPARE(actual, expected);
        QCOMPARE(g.chipLeftPx, g.safeAreaHorizontalPx);
        QCOMPARE(g.width, std::max(0, width));
        QCOMPARE(g.scale, OverlayGeometry::scaleFor(width, height));
        QCOMPARE(g.setupScale, OverlayGeometry::setupScaleFor(width, height));
        QCOMPARE(g.noticeTextSizePx, std::max(20, int(std::lround(20 * g.scale))));
        QCOMPARE(g.toastTextSizePx, 26 * g.scale);
    }

    void hugeFrameStaysDefined()
    {
        const int most = std::numeric_limits<int>::max();
        const OverlayGeometry g = OverlayGeometry::forFrame(most, most);
        QCOMPARE(g.setupCopyWidthPx, most); // 1600 u is beyond the int range and saturates
        QVERIFY(g.settingsBoxPx > 0 && g.settingsBoxPx <= most);
        QCOMPARE(g.splashMarkWidthPx, int(std::lround(most * 0.4)));
    }

    void rows_data()
    {
        QTest::addColumn<QList<int>>("toastArgs"); // frame, margin, chip?, chip, notice?, notice, gap
        QTest::addColumn<int>("toastWidth");
        QTest::newRow("nothing beside") << QList<int>{1920, 96, 0, 300, 0, 400, 16} << 1728;
        QTest::newRow("chip") << QList<int>{1920, 96, 1, 300, 0, 400, 16} << 1412;
        QTest::newRow("chip and notice") << QList<int>{1920, 96, 1, 300, 1, 400, 16} << 996;
        QTest::newRow("negatives count as zero") << QList<int>{1920, -96, 1, -300, 1, -400, -16}
                                                 << 1920;
        QTest::newRow("wider than the frame") << QList<int>{1920, 96, 1, 2000, 1, 400, 16} << 1;
        QTest::newRow("no overflow") << QList<int>{100, std::numeric_limits<int>::max(), 1,
                                                   std::numeric_limits<int>::max(), 1,
                                                   std::numeric_limits<int>::max(), 16}
                                     << 1;
        QTest::newRow("zero frame") << QList<int>{0, 0, 0, 0, 0, 0, 0} << 1;
    }
    void rows()
    {
        QFETCH(QList<int>, toastArgs);
        const auto& a = toastArgs;
        QTEST(OverlayGeometry::toastMaxWidthPx(a[0], a[1], a[2], a[3], a[4], a[5], a[6]),
              "toastWidth");
        QCOMPARE(OverlayGeometry::noticeLeftPx(true, 300, 16, 96), 412);
        QCOMPARE(OverlayGeometry::noticeLeftPx(false, 300, 16, 96), 96);
        QCOMPARE(OverlayGeometry::noticeLeftPx(true, -300, -16, 96), 96);
        QCOMPARE(OverlayGeometry::noticeLeftPx(true, std::numeric_limits<int>::max(), 16, 96),
                 std::numeric_limits<int>::max());
        QCOMPARE(OverlayGeometry::statusIconMarkPx(64), 0.7 * 64);
    }

    void iconStyle_data()
    {
        QTest::addColumn<QByteArray>("svg");
        QTest::addColumn<QStringList>("paths");
        const QByteArray paths = "<path d=\"M8 5v14\"/>\n<path d=\"M16 5v14\"/>";
        const QStringList two{"M8 5v14", "M16 5v14"};
        const auto root = [](const char* from, const char* to) {
            return QByteArray(houseRoot).replace(from, to);
        };
        QTest::newRow("house style") << houseRoot + paths + "</svg>" << two;
        QTest::newRow("comment and declaration")
            << "<?xml version=\"1.0\"?>\n<!-- pause -->\n" + houseRoot + paths + "</svg>\n" << two;
        QTest::newRow("stroke width 2") << root("\"1.5\"", "\"2\"") + paths + "</svg>" << QStringList();
        QTest::newRow("no stroke width") << root("stroke-width=\"1.5\"", "") + paths + "</svg>"
                                         << QStringList();
        QTest::newRow("a circle") << houseRoot + paths + "<circle cx=\"12\" cy=\"12\" r=\"9\"/></svg>"
                                  << QStringList();
        QTest::newRow("a group") << houseRoot + "<g>" + paths + "</g></svg>" << QStringList();
        QTest::newRow("path without d") << houseRoot + paths + "<path/></svg>" << QStringList();
        QTest::newRow("path outside svg") << QByteArray("<path d=\"M8 5v14\"/>") << QStringList();
        QTest::newRow("text") << houseRoot + paths + "pause</svg>" << QStringList();
        QTest::newRow("no path") << houseRoot + "</svg>" << QStringList();
        QTest::newRow("unclosed") << houseRoot + paths << QStringList();
        QTest::newRow("not XML") << QByteArray("M8 5v14") << QStringList();
    }
    void iconStyle()
    {
        QFETCH(QByteArray, svg);
        QTEST(overlay::iconPathsFromSvg(svg), "paths");
    }

    void iconNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("found");
        QTest::newRow("bare name") << "pause" << true;
        QTest::newRow("through a parent") << "archive/../pause" << false;
        QTest::newRow("with extension") << "pause.svg" << false;
        QTest::newRow("absolute") << "/overlay/icons/pause" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("unknown") << "pause-02" << false;
    }
    void iconNames()
    {
        QFETCH(QString, name);
        QTEST(!overlayIconPaths(name).isEmpty(), "found");
    }

    // Every shipped icon keeps the house style, and the contract names exactly the shipped ones.
    void shippedIcons()
    {
        const QDir directory(QString::fromLatin1(overlay::iconResourceDirectory));
        QSet<QString> shipped;
        for (const QString& file : directory.entryList(QDir::Files)) {
            const QString name = file.chopped(4);
            QVERIFY2(file.endsWith(".svg") && !overlayIconPaths(name).isEmpty(), qPrintable(file));
            shipped.insert(name);
        }
        QVERIFY(OverlayContract::instance().load());
        const overlay::OverlayContractData& contract = *OverlayContract::instance().data();
        QSet<QString> named{contract.notice.icon};
        for (const overlay::OverlayConditionSpec& spec : contract.conditions)
            named.insert(spec.icon);
        for (const QString& mark : contract.toastMarks)
            named.insert(mark);
        QCOMPARE(named.size(), 18);
        QCOMPARE(shipped, named);
    }
};

QTEST_GUILESS_MAIN(TestOverlayGeometry)
#include "tst_overlaygeometry.moc"
