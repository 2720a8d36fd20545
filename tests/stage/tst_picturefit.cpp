#include "stage/PictureItem.h"

#include <QTest>

using namespace talvorine;

class TestPictureFit : public QObject {
    Q_OBJECT
private slots:
    // Decoding happens in the stored frame, before the orientation turns the picture.
    void decodeSize_data()
    {
        QTest::addColumn<QSize>("stored");
        QTest::addColumn<bool>("axesSwapped");
        QTest::addColumn<QSizeF>("box");
        QTest::addColumn<QString>("fit");
        QTest::addColumn<QSize>("decoded");

        QTest::newRow("turned photograph, upright box")
            << QSize(1500, 1000) << true << QSizeF(1000, 1500) << "contain" << QSize(1500, 1000);
        QTest::newRow("turned photograph, stored-size box")
            << QSize(1500, 1000) << true << QSizeF(1500, 1000) << "contain" << QSize(1000, 667);
        QTest::newRow("small picture, large box: never enlarged")
            << QSize(200, 200) << false << QSizeF(3840, 2160) << "cover" << QSize(200, 200);
        QTest::newRow("cover takes the longer scale")
            << QSize(4000, 2000) << false << QSizeF(1000, 1000) << "cover" << QSize(2000, 1000);
        QTest::newRow("fill shows the detail of its longer stretch")
            << QSize(4000, 2000) << false << QSizeF(1000, 1000) << "fill" << QSize(2000, 1000);
        QTest::newRow("a sliver keeps a pixel")
            << QSize(18000, 4) << false << QSizeF(100, 100) << "contain" << QSize(100, 1);
        QTest::newRow("nothing to draw: a pixel")
            << QSize(18000, 4000) << false << QSizeF(0, 80) << "contain" << QSize(1, 1);
    }

    void decodeSize()
    {
        QFETCH(QSize, stored);
        QFETCH(bool, axesSwapped);
        QFETCH(QSizeF, box);
        QFETCH(QString, fit);
        QFETCH(QSize, decoded);
        QCOMPARE(PictureFit::decodeSize(stored, axesSwapped, box, fit), decoded);
    }

    void place_data()
    {
        QTest::addColumn<QSizeF>("picture");
        QTest::addColumn<QSizeF>("box");
        QTest::addColumn<QString>("fit");
        QTest::addColumn<QRectF>("target");
        QTest::addColumn<QRectF>("source");

        QTest::newRow("upright picture, landscape box, fill")
            << QSizeF(200, 300) << QSizeF(300, 200) << "fill" << QRectF(0, 0, 300, 200)
            << QRectF(0, 0, 200, 300);
        QTest::newRow("wide picture, tall box, contain")
            << QSizeF(400, 100) << QSizeF(100, 300) << "contain" << QRectF(0, 137.5, 100, 25)
            << QRectF(0, 0, 400, 100);
    }

    void place()
    {
        QFETCH(QSizeF, picture);
        QFETCH(QSizeF, box);
        QFETCH(QString, fit);
        QFETCH(QRectF, target);
        QFETCH(QRectF, source);
        const PictureFit::Placement placed = PictureFit::place(picture, box, fit);
        QCOMPARE(placed.target, target);
        QCOMPARE(placed.source, source);
    }

    // Near-zero delays mean "as fast as possible" to an encoder, not to a browser.
    void frameDelay()
    {
        QCOMPARE(PictureFit::frameDelayMs(0), 100);
        QCOMPARE(PictureFit::frameDelayMs(10), 100);
        QCOMPARE(PictureFit::frameDelayMs(20), 20);
    }
};

QTEST_GUILESS_MAIN(TestPictureFit)
#include "tst_picturefit.moc"
