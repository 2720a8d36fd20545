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
};

QTEST_GUILESS_MAIN(TestPictureFit)
#include "tst_picturefit.moc"
