#include "runtime/ScreenshotCapture.h"
#include "runtime/ScreenshotRequest.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonObject>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

using namespace talvorine;

namespace {

const QDateTime now(QDate(2029, 12, 31), QTime(23, 0), Qt::UTC);
const QString shotId = QStringLiteral("shot_") + QString(16, QLatin1Char('A'));

QJsonObject supportedDetails()
{
    return QJsonObject{{"capture_id", shotId},
                       {"expires_at", "2030-01-01T00:00:00Z"},
                       {"format", "image/webp"},
                       {"max_width_divisor", 2},
                       {"max_height_divisor", 2},
                       {"quality", 80},
                       {"max_bytes", 2097152}};
}

QJsonObject eventWith(const QJsonObject& details)
{
    return QJsonObject{{"type", "screen.screenshot_requested"}, {"details", details}};
}

QJsonObject changed(const char* key, const QJsonValue& value)
{
    QJsonObject details = supportedDetails();
    if (value.isUndefined())
        details.remove(QLatin1String(key));
    else
        details[QLatin1String(key)] = value;
    return eventWith(details);
}

ScreenshotRequest requestFor(const QString& id, const QDateTime& expiresAt)
{
    ScreenshotRequest request;
    request.captureId = id;
    request.expiresAt = expiresAt;
    return request;
}

QImage decodeWebP(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "webp");
    return reader.read();
}

// Noise does not compress, so its encoded size grows with the picture.
QImage noise(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(42);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random.generate() | 0xff000000u;
    }
    return image;
}

} // namespace

class TestScreenshotRequest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    // parsing
    void parse_data();
    void parse();
    void supportedShape_data();
    void supportedShape();

    // frame rules
    void captureId_data();
    void captureId();
    void scaledSize_data();
    void scaledSize();
    void acceptEncoded_data();
    void acceptEncoded();

    // gate
    void gateClaims();
    void gateRefusesLapsedRequests_data();
    void gateRefusesLapsedRequests();

    // encoding
    void encodeScaledHalvesEachEdge_data();
    void encodeScaledHalvesEachEdge();
    void encodeRefusals();
    void encodedOutputHonoursTheByteLimit();
    void nothingToGrabWithoutAGuiApplication();
};

void TestScreenshotRequest::initTestCase()
{
    if (!QImageWriter::supportedImageFormats().contains("webp"))
        QFAIL("the WebP image format plug-in is missing (qt6-image-formats-plugins)");
}

void TestScreenshotRequest::parse_data()
{
    QTest::addColumn<QJsonObject>("event");
    QTest::addColumn<QDateTime>("nowUtc");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QDateTime>("expiresAt");

    const QDateTime midnight(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("supported") << eventWith(supportedDetails()) << now << true << midnight;
    QTest::newRow("fine fraction is cut, not rounded")
        << changed("expires_at", "2030-01-01T00:00:00.123999Z") << now << true
        << midnight.addMSecs(123);
    QTest::newRow("six fractional digits")
        << changed("expires_at", "2030-01-01T00:00:00.123456Z") << now << true
        << midnight.addMSecs(123);
    QTest::newRow("fine fraction with offset")
        << changed("expires_at", "2030-01-01T01:00:00.9999+01:00") << now << true
        << midnight.addMSecs(999);
    QTest::newRow("offset converted") << changed("expires_at", "2030-01-01T01:00:00+01:00") << now
                                      << true << midnight;
    QTest::newRow("milliseconds") << changed("expires_at", "2030-01-01T00:00:00.500Z") << now
                                  << true << midnight.addMSecs(500);
    QTest::newRow("expiry equals now") << eventWith(supportedDetails()) << midnight << false
                                       << QDateTime();
    QTest::newRow("expiry one millisecond ahead") << eventWith(supportedDetails())
                                                  << midnight.addMSecs(-1) << true << midnight;
    QTest::newRow("expired") << eventWith(supportedDetails()) << midnight.addSecs(5) << false
                             << QDateTime();
    QTest::newRow("no clock") << eventWith(supportedDetails()) << QDateTime() << false
                              << QDateTime();
    QTest::newRow("expiry not a date") << changed("expires_at", "soon") << now << false
                                       << QDateTime();
    QTest::newRow("expiry missing") << changed("expires_at", QJsonValue::Undefined) << now << false
                                    << QDateTime();
    QTest::newRow("expiry as number") << changed("expires_at", 1893456000) << now << false
                                      << QDateTime();
    QTest::newRow("expiry with trailing line feed")
        << changed("expires_at", "2030-01-01T00:00:00.1234Z\n") << now << false << QDateTime();
    QTest::newRow("id of 15") << changed("capture_id", "shot_" + QString(15, 'A')) << now << false
                              << QDateTime();
    QTest::newRow("id of 64") << changed("capture_id", "shot_" + QString(64, 'A')) << now << true
                              << midnight;
    QTest::newRow("id of 65") << changed("capture_id", "shot_" + QString(65, 'A')) << now << false
                              << QDateTime();
    QTest::newRow("id with a dot") << changed("capture_id", "shot_" + QString(15, 'A') + ".")
                                   << now << false << QDateTime();
    QTest::newRow("id with trailing line feed")
        << changed("capture_id", shotId + "\n") << now << false << QDateTime();
    QTest::newRow("id missing") << changed("capture_id", QJsonValue::Undefined) << now << false
                                << QDateTime();
    QTest::newRow("other type")
        << QJsonObject{{"type", "screen.toast"}, {"details", supportedDetails()}} << now << false
        << QDateTime();
    QTest::newRow("details not an object")
        << QJsonObject{{"type", "screen.screenshot_requested"}, {"details", "x"}} << now << false
        << QDateTime();
    QTest::newRow("details missing") << QJsonObject{{"type", "screen.screenshot_requested"}}
                                     << now << false << QDateTime();
}

void TestScreenshotRequest::parse()
{
    QFETCH(QJsonObject, event);
    QFETCH(QDateTime, nowUtc);
    QFETCH(bool, parsed);
    QFETCH(QDateTime, expiresAt);
    const auto request = ScreenshotRequestParser::parse(event, nowUtc);
    QCOMPARE(request.has_value(), parsed);
    if (!parsed)
        return;
    QCOMPARE(request->expiresAt, expiresAt);
    QCOMPARE(request->expiresAt.timeSpec(), Qt::UTC);
    QCOMPARE(request->captureId, event["details"].toObject()["capture_id"].toString());
}

void TestScreenshotRequest::supportedShape_data()
{
    QTest::addColumn<QJsonObject>("event");
    QTest::addColumn<bool>("unsupported");

    QTest::newRow("the one shape") << eventWith(supportedDetails()) << false;
    QTest::newRow("quality 80.0") << changed("quality", 80.0) << false;
    QTest::newRow("divisor 2.0") << changed("max_width_divisor", 2.0) << false;
    QTest::newRow("10 MB limit") << changed("max_bytes", 10000000) << false;
    QTest::newRow("quality as text") << changed("quality", "80") << true;
    QTest::newRow("quality 75") << changed("quality", 75) << true;
    QTest::newRow("quality 80.5") << changed("quality", 80.5) << true;
    QTest::newRow("1 MiB limit") << changed("max_bytes", 1048576) << true;
    QTest::newRow("limit one byte short") << changed("max_bytes", 2097151) << true;
    QTest::newRow("limit beyond int") << changed("max_bytes", 1e12) << true;
    QTest::newRow("PNG") << changed("format", "image/png") << true;
    QTest::newRow("format case") << changed("format", "image/WebP") << true;
    QTest::newRow("format missing") << changed("format", QJsonValue::Undefined) << true;
    QTest::newRow("width divisor 4") << changed("max_width_divisor", 4) << true;
    QTest::newRow("height divisor missing") << changed("max_height_divisor", QJsonValue::Undefined)
                                            << true;
    QTest::newRow("height divisor null") << changed("max_height_divisor", QJsonValue::Null) << true;
}

void TestScreenshotRequest::supportedShape()
{
    QFETCH(QJsonObject, event);
    QFETCH(bool, unsupported);
    const auto request = ScreenshotRequestParser::parse(event, now);
    QVERIFY(request);
    QCOMPARE(request->unsupported, unsupported);
    // Whatever was asked, the request carries the shape the player produces.
    QCOMPARE(request->maxWidthDivisor, 2);
    QCOMPARE(request->maxHeightDivisor, 2);
    QCOMPARE(request->format, QStringLiteral("image/webp"));
    QCOMPARE(request->quality, 80);
    QCOMPARE(request->maxBytes, 2097152);
}

void TestScreenshotRequest::captureId_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("valid");
    QTest::newRow("16") << "shot_" + QString(16, 'a') << true;
    QTest::newRow("URL alphabet") << QStringLiteral("shot_Ab9-_Ab9-_Ab9-_Ab9") << true;
    QTest::newRow("15") << "shot_" + QString(15, 'a') << false;
    QTest::newRow("64") << "shot_" + QString(64, 'a') << true;
    QTest::newRow("65") << "shot_" + QString(65, 'a') << false;
    QTest::newRow("prefix case") << "Shot_" + QString(16, 'a') << false;
    QTest::newRow("plus sign") << "shot_" + QString(15, 'a') + "+" << false;
    QTest::newRow("trailing line feed") << "shot_" + QString(16, 'a') + "\n" << false;
    QTest::newRow("empty") << QString() << false;
}

void TestScreenshotRequest::captureId()
{
    QFETCH(QString, id);
    QFETCH(bool, valid);
    QCOMPARE(ScreenshotFrame::validCaptureId(id), valid);
}

void TestScreenshotRequest::scaledSize_data()
{
    QTest::addColumn<QSize>("input");
    QTest::addColumn<int>("widthDivisor");
    QTest::addColumn<int>("heightDivisor");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("full HD") << QSize(1920, 1080) << 2 << 2 << QSize(960, 540);
    QTest::newRow("odd edges round down") << QSize(1921, 1081) << 2 << 2 << QSize(960, 540);
    QTest::newRow("3 by 1") << QSize(3, 1) << 2 << 2 << QSize(1, 1);
    QTest::newRow("1 by 1") << QSize(1, 1) << 2 << 2 << QSize(1, 1);
    QTest::newRow("divisor 0 counts as 1") << QSize(100, 50) << 0 << -3 << QSize(100, 50);
    QTest::newRow("separate divisors") << QSize(100, 90) << 4 << 3 << QSize(25, 30);
}

void TestScreenshotRequest::scaledSize()
{
    QFETCH(QSize, input);
    QFETCH(int, widthDivisor);
    QFETCH(int, heightDivisor);
    QFETCH(QSize, expected);
    QCOMPARE(ScreenshotFrame::scaledSize(input.width(), input.height(), widthDivisor,
                                         heightDivisor),
             expected);
}

void TestScreenshotRequest::acceptEncoded_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("exactly the limit") << 2097152 << 2097152 << true;
    QTest::newRow("one byte over") << 2097153 << 2097152 << false;
    QTest::newRow("one byte") << 1 << 2097152 << true;
    QTest::newRow("empty") << 0 << 2097152 << false;
    QTest::newRow("limit zero") << 1 << 0 << false;
}

void TestScreenshotRequest::acceptEncoded()
{
    QFETCH(int, size);
    QFETCH(int, limit);
    QFETCH(bool, accepted);
    const QByteArray bytes(size, 'w');
    const auto result = ScreenshotFrame::acceptEncoded(bytes, limit);
    QCOMPARE(result.has_value(), accepted);
    if (accepted)
        QCOMPARE(*result, bytes);
}

void TestScreenshotRequest::gateClaims()
{
    ScreenshotCaptureGate gate;
    const QString otherId = "shot_" + QString(16, 'B');
    const auto first = requestFor(shotId, now.addSecs(60));
    const auto second = requestFor(otherId, now.addSecs(60));

    QVERIFY(gate.currentCaptureId().isEmpty());
    QVERIFY(gate.claim(first, now));
    QVERIFY(!gate.claim(first, now)); // a repeated request is ignored
    QVERIFY(gate.isCurrent(shotId));

    QVERIFY(gate.claim(second, now)); // a newer request takes over
    QVERIFY(!gate.isCurrent(shotId));
    QCOMPARE(gate.currentCaptureId(), otherId);

    gate.release(shotId); // a late outcome of the older capture releases nothing
    QCOMPARE(gate.currentCaptureId(), otherId);
    gate.release(otherId);
    QVERIFY(gate.currentCaptureId().isEmpty());
    QVERIFY(!gate.isCurrent(otherId));
    gate.release(QString());
    QVERIFY(gate.claim(first, now)); // after release the id may be claimed again
}

void TestScreenshotRequest::gateRefusesLapsedRequests_data()
{
    QTest::addColumn<QDateTime>("expiresAt");
    QTest::addColumn<QDateTime>("nowUtc");
    QTest::newRow("expired") << now.addSecs(-1) << now;
    QTest::newRow("expiring now") << now << now;
    QTest::newRow("no expiry") << QDateTime() << now;
    QTest::newRow("no clock") << now.addSecs(60) << QDateTime();
}

void TestScreenshotRequest::gateRefusesLapsedRequests()
{
    QFETCH(QDateTime, expiresAt);
    QFETCH(QDateTime, nowUtc);
    ScreenshotCaptureGate gate;
    const QString otherId = "shot_" + QString(16, 'C');
    QVERIFY(gate.claim(requestFor(otherId, now.addSecs(60)), now));
    QVERIFY(!gate.claim(requestFor(shotId, expiresAt), nowUtc));
    QCOMPARE(gate.currentCaptureId(), otherId); // a refused claim takes nothing over
}

void TestScreenshotRequest::encodeScaledHalvesEachEdge_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QSize>("picture");
    QTest::newRow("1920 by 1080") << QSize(1920, 1080) << QSize(960, 540);
    QTest::newRow("3 by 1") << QSize(3, 1) << QSize(1, 1);
    QTest::newRow("1 by 1 kept as is") << QSize(1, 1) << QSize(1, 1);
}

void TestScreenshotRequest::encodeScaledHalvesEachEdge()
{
    QFETCH(QSize, window);
    QFETCH(QSize, picture);
    QImage image(window, QImage::Format_RGB32);
    image.fill(QColor(200, 40, 40));
    const QByteArray bytes = ScreenshotCapture::encodeScaled(image, requestFor(shotId, now));
    QVERIFY(!bytes.isEmpty());
    QVERIFY(bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP");
    const QImage decoded = decodeWebP(bytes);
    QCOMPARE(decoded.size(), picture);
    const QColor centre = decoded.pixelColor(picture.width() / 2, picture.height() / 2);
    QVERIFY(qAbs(centre.red() - 200) < 12 && qAbs(centre.green() - 40) < 12);
}

void TestScreenshotRequest::encodeRefusals()
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(!ScreenshotCapture::encodeLossyWebP(image, 80, 2097152).isEmpty());
    QVERIFY(ScreenshotCapture::encodeLossyWebP(image, 75, 2097152).isEmpty());
    QVERIFY(ScreenshotCapture::encodeLossyWebP(image, 100, 2097152).isEmpty());
    QVERIFY(ScreenshotCapture::encodeLossyWebP(QImage(), 80, 2097152).isEmpty());
    QVERIFY(ScreenshotCapture::encodeScaled(QImage(), requestFor(shotId, now)).isEmpty());

    ScreenshotRequest lowQuality = requestFor(shotId, now);
    lowQuality.quality = 50;
    QVERIFY(ScreenshotCapture::encodeScaled(image, lowQuality).isEmpty());
}

void TestScreenshotRequest::encodedOutputHonoursTheByteLimit()
{
    const QImage image = noise(400, 400);
    const QByteArray whole = ScreenshotCapture::encodeLossyWebP(image, 80, 2097152);
    QVERIFY(whole.size() > 1000);
    QCOMPARE(ScreenshotCapture::encodeLossyWebP(image, 80, int(whole.size())), whole);
    QVERIFY(ScreenshotCapture::encodeLossyWebP(image, 80, int(whole.size()) - 1).isEmpty());

    ScreenshotRequest tight = requestFor(shotId, now);
    tight.maxBytes = 100;
    QVERIFY(ScreenshotCapture::encodeScaled(image, tight).isEmpty());
}

void TestScreenshotRequest::nothingToGrabWithoutAGuiApplication()
{
    QVERIFY(ScreenshotCapture::grabPresentedWindow().isNull());
    QVERIFY(ScreenshotCapture::encodeScaled(ScreenshotCapture::grabPresentedWindow(),
                                            requestFor(shotId, now))
                .isEmpty());
}

QTEST_GUILESS_MAIN(TestScreenshotRequest)
#include "tst_screenshotrequest.moc"
