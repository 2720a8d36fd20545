#include "runtime/ScreenshotCapture.h"
#include "runtime/ScreenshotRequest.h"

#include <QBuffer>
#include <QImageReader>
#include <QQuickWindow>
#include <QRasterWindow>
#include <QtTest>

using namespace talvorine;

namespace {

ScreenshotRequest request()
{
    ScreenshotRequest r;
    r.captureId = QStringLiteral("shot_") + QString(16, QLatin1Char('W'));
    r.expiresAt = QDateTime::currentDateTimeUtc().addSecs(60);
    return r;
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) < 16 && qAbs(a.green() - b.green()) < 16
        && qAbs(a.blue() - b.blue()) < 16;
}

} // namespace

class TestScreenshotCapture : public QObject {
    Q_OBJECT

private slots:
    void nothingVisibleGivesANullImage();
    void grabsTheVisibleQuickWindow();
    void skipsWindowsThatAreNotQuickWindows();
};

void TestScreenshotCapture::nothingVisibleGivesANullImage()
{
    QVERIFY(ScreenshotCapture::grabPresentedWindow().isNull());
    QQuickWindow hidden;
    hidden.resize(200, 100);
    QVERIFY(ScreenshotCapture::grabPresentedWindow().isNull());
    QVERIFY(ScreenshotCapture::encodeScaled(ScreenshotCapture::grabPresentedWindow(), request())
                .isEmpty());
}

void TestScreenshotCapture::grabsTheVisibleQuickWindow()
{
    QQuickWindow window;
    window.setColor(QColor(20, 160, 60));
    window.resize(320, 240);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QImage grabbed = ScreenshotCapture::grabPresentedWindow();
    QVERIFY(!grabbed.isNull());
    QCOMPARE(grabbed.size(), window.size() * window.devicePixelRatio());
    QVERIFY(near(grabbed.pixelColor(grabbed.width() / 2, grabbed.height() / 2),
                 QColor(20, 160, 60)));

    const QByteArray webp = ScreenshotCapture::encodeScaled(grabbed, request());
    QVERIFY(!webp.isEmpty());
    QBuffer buffer;
    buffer.setData(webp);
    buffer.open(QIODevice::ReadOnly);
    const QImage decoded = QImageReader(&buffer, "webp").read();
    QCOMPARE(decoded.size(), grabbed.size() / 2);
    QVERIFY(near(decoded.pixelColor(decoded.width() / 2, decoded.height() / 2),
                 QColor(20, 160, 60)));
}

void TestScreenshotCapture::skipsWindowsThatAreNotQuickWindows()
{
    QRasterWindow plain;
    plain.resize(100, 100);
    plain.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plain));

    QQuickWindow quick;
    quick.setColor(QColor(30, 30, 200));
    quick.resize(200, 120);
    quick.show();
    QVERIFY(QTest::qWaitForWindowExposed(&quick));

    const QImage grabbed = ScreenshotCapture::grabPresentedWindow();
    QVERIFY(!grabbed.isNull());
    QCOMPARE(grabbed.size(), quick.size() * quick.devicePixelRatio());
    QVERIFY(near(grabbed.pixelColor(10, 10), QColor(30, 30, 200)));
}

QTEST_MAIN(TestScreenshotCapture)
#include "tst_screenshotcapture.moc"
