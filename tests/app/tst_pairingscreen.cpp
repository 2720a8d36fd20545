// The real scene under the compositor, drawn from a real controller that talks to the fake
// runtime service. The pairing screen: the grouped code with its spoken name and the time it
// changes, the claim being completed, and the celebration once paired; the scene's items say
// what is shown, grabs of the window prove that it is drawn. And a screenshot the service asks
// for, which shows the page on glass.

#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "overlay/OverlayContract.h"
#include "runtime/RuntimeWireContract.h"
#include "runtime/ScreenshotCapture.h"
#include "runtime/ScreenshotRequest.h"
#include "stage/CapabilityReport.h"
#include "stage/ChromeTokens.h"
#include "stage/FontCatalog.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/SceneItems.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
QStringList sceneWarnings;
QtMessageHandler previousHandler = nullptr;

void collectSceneWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg && text.contains(QLatin1String("qrc:/")))
        sceneWarnings.append(text);
    previousHandler(type, context, text);
}

using test::itemsBelow;

// The visible item whose text is exactly this one.
QQuickItem* shown(QQuickWindow* window, const QString& text)
{
    for (QQuickItem* item : itemsBelow(window->contentItem())) {
        if (item->isVisible() && item->property("text").toString() == text)
            return item;
    }
    return nullptr;
}

QImage grab(QQuickWindow* window, const QRect& area)
{
    const QImage image = window->grabWindow();
    const qreal ratio = image.devicePixelRatio();
    return image.copy(QRect((QPointF(area.topLeft()) * ratio).toPoint(),
                            (QSizeF(area.size()) * ratio).toSize()));
}

QRect sceneRect(const QQuickItem* item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height())).toAlignedRect();
}

// Main.qml in a 640 x 360 window, drawn from the controller.
struct SceneWindow {
    CapabilityReport capabilities{nullptr};
    WebPackageSchemeCoordinator webPackages;
    QQmlApplicationEngine engine;

    QQuickWindow* load(PlayerController& c)
    {
        engine.setInitialProperties({{"debugWindowed", true}, {"debugWindowSize", QSize(640, 360)}});
        QQmlContext* context = engine.rootContext();
        context->setContextProperty("talvorineController", &c);
        context->setContextProperty("talvorineCapabilities", &capabilities);
        context->setContextProperty("talvorineWebPackages", &webPackages);
        context->setContextProperty("talvorineFonts", &FontCatalog::instance());
        engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
        auto* window = engine.rootObjects().size() == 1
            ? qobject_cast<QQuickWindow*>(engine.rootObjects().first())
            : nullptr;
        return window && QTest::qWaitForWindowExposed(window) ? window : nullptr;
    }
};

} // namespace

class TestPairingScreen : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        previousHandler = qInstallMessageHandler(collectSceneWarnings);
        PlayerComposition::registerQmlTypes();
        QVERIFY(FontCatalog::instance().registerApplicationFonts());
        QVERIFY(ChromeTokens::instance().load());
        QVERIFY(OverlayContract::instance().load());
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    void codeClaimedAndCelebrated()
    {
        ControllerHarness h;
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        // The code expires at 10:10 UTC; the service wants ten minutes before the first
        // completion is tried again, so the hand-off stays until the test retries it.
        const QString expiry = QDateTime::fromMSecsSinceEpoch(h.clock().nowMs() + 600000, Qt::UTC)
                                   .toString(Qt::ISODateWithMs);
        const QString device = QStringLiteral("tvd_") + QString(22, 'd') + '_' + QString(43, 'c');
        s.script("POST", W::sessionMintRoute,
                 {Reply::json(404, QJsonObject{{"code", "device_unknown"}}),
                  ControllerHarness::sessionGranted()});
        s.script("POST", W::pairingStartRoute,
                 {Reply::json(200, QJsonObject{{"code", "ABC234"},
                                               {"pairing_credential", "tvp_" + QString(43, 'p')},
                                               {"expires_at", expiry}})});
        s.script("GET", W::pairingEventsRoute, {Reply::eventStream()});
        s.script("POST", W::pairingCompleteRoute,
                 {Reply::json(503, QJsonObject{{"code", "busy"}}).withHeader("Retry-After", "600"),
                  Reply::json(200, QJsonObject{{"screen_label", "Lobby"},
                                               {"device_credential", device}})});
        h.answerSessionRoutes();
        // The celebration lasts until the test ends it, however slowly the frames come.
        connect(&c, &PlayerController::pairingCelebrationChanged, &c,
                [&h] { h.expireSoon(u"celebrationTimer", 3600000); });

        SceneWindow scene;
        QQuickWindow* window = scene.load(c);
        QVERIFY(window);

        // A fresh player: the service does not know it, so it shows a code for the operator.
        c.start();
        QQuickItem* code = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((code = shown(window, "ABC 234")) != nullptr, waitMs);
        QCOMPARE(QQmlProperty::read(code, "Accessible.name", qmlContext(code)).toString(),
                 QStringLiteral("Pairing code A B C, 2 3 4"));
        QVERIFY(shown(window, "This code changes at 10:10am."));
        QQuickItem* title = shown(window, "Pair this screen");
        QVERIFY(title);
        // The plate and its code are drawn once the entrance has faded in and the column is
        // laid out (on the next polish, after the items show): a corner inside its padding.
        QQuickItem* plate = code->parentItem();
        const auto plateCorner = [plate] {
            return QRect(sceneRect(plate).topLeft() + QPoint(2, 2), QSize(2, 2));
        };
        QImage plateDrawn(2, 2, QImage::Format_RGB32);
        plateDrawn.fill(c.slidePrimaryColor());
        const auto plateShown = [&] {
            return grab(window, plateCorner()).convertToFormat(QImage::Format_RGB32) == plateDrawn;
        };
        QTRY_VERIFY_WITH_TIMEOUT(plateShown(), waitMs);
        const QImage titleBefore = grab(window, sceneRect(title));
        const QRect floor(0, window->height() - 2, window->width(), 2);
        const QImage slideFloor = grab(window, floor);

        // The operator claims the code: the screen says it is finishing, without the code.
        QCOMPARE(s.sendEvents(W::pairingEventsRoute,
                              "data: {\"type\":\"pairing.claimed\",\"details\":{\"nonce\":\"n-1\"}}"
                              "\n\n"),
                 1);
        QTRY_COMPARE_WITH_TIMEOUT(c.status(), QStringLiteral("pairing_completion_retrying"),
                                  waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(
            shown(window, QStringLiteral("The code was claimed. Finishing the pairing…")), waitMs);
        QVERIFY(!shown(window, "ABC 234"));
        QTRY_VERIFY_WITH_TIMEOUT(!plateShown(), waitMs);
        QCOMPARE(grab(window, floor), slideFloor);

        // Completed: the celebration takes the slide, then the player goes on to its session.
        QVERIFY(h.expireSoon(u"pairingCompletionRetryTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(window, "Paired"), waitMs);
        QVERIFY(!shown(window, QStringLiteral("The code was claimed. Finishing the pairing…")));
        QTRY_VERIFY_WITH_TIMEOUT(grab(window, sceneRect(title)) != titleBefore, waitMs);
        QCOMPARE(grab(window, floor), slideFloor);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);

        QVERIFY(h.expireSoon(u"celebrationTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(window, "Paired"), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(grab(window, floor) != slideFloor, waitMs);
        QVERIFY2(sceneWarnings.isEmpty(), qPrintable(sceneWarnings.join('\n')));
        QVERIFY2(s.surprises().isEmpty(), qPrintable(s.surprises().join('\n')));
    }

    // The service's screenshot request is answered with what is on glass: the page's picture
    // where the page puts it (the top-left quarter), the ground beside it.
    void screenshotShowsThePageOnGlass()
    {
        ControllerHarness h;
        QVERIFY2(h.ready() && h.mintSession(), qPrintable(h.setupError()));
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        s.script("PUT", W::screenshotRoute, {Reply::json(200, QJsonObject())});
        s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())}); // the image's start
        const QColor orange(230, 120, 20);
        QImage picture(160, 90, QImage::Format_RGB32);
        picture.fill(orange);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG"));
        buffer.close();
        const QString sha = QString::fromLatin1(
            QCryptographicHash::hash(png, QCryptographicHash::Sha256).toHex());
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QString error;
        QVERIFY2(ControllerAccess::contentCache(c)->commitVerified(buffer, sha, png.size(), &error,
                                                                   nullptr),
                 qPrintable(error));
        const Manifest manifest = test::imagePagesManifest("man_1", {"a"}, [&](char) {
            return std::pair<QString, qint64>(sha, png.size());
        });

        SceneWindow scene;
        QQuickWindow* window = scene.load(c);
        QVERIFY(window);
        ControllerAccess::preparePage(c, manifest, 0, false);
        // The scene reports the picture ready, the page goes on glass and fades in.
        const auto near = [](const QColor& a, const QColor& b) {
            return std::abs(a.red() - b.red()) < 24 && std::abs(a.green() - b.green()) < 24
                && std::abs(a.blue() - b.blue()) < 24;
        };
        QTRY_VERIFY_WITH_TIMEOUT(near(grab(window, {160, 90, 1, 1}).pixelColor(0, 0), orange),
                                 waitMs);

        const QDateTime later = QDateTime::currentDateTimeUtc().addDays(1);
        const QJsonObject details{{"capture_id", "shot_GLASSGLASSGLASSGL"},
                                  {"expires_at", later.toString(Qt::ISODateWithMs)},
                                  {"format", "image/webp"}, {"max_width_divisor", 2},
                                  {"max_height_divisor", 2}, {"quality", 80},
                                  {"max_bytes", 2097152}};
        const QJsonObject request{{"type", W::screenshotRequestedEvent}, {"details", details}};
        const QByteArray event =
            "data: " + QJsonDocument(request).toJson(QJsonDocument::Compact) + "\n\n";
        QCOMPARE(s.sendEvents(W::eventsRoute, event), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::screenshotRoute).size(), 1, waitMs);
        const QImage uploaded =
            QImage::fromData(s.requestsTo(W::screenshotRoute).first().body, "webp");
        const QSize full = window->grabWindow().size();
        QCOMPARE(uploaded.size(), full / 2);
        const auto at = [&uploaded](double x, double y) {
            return uploaded.pixelColor(int(uploaded.width() * x), int(uploaded.height() * y));
        };
        QVERIFY(near(at(0.25, 0.25), orange) && near(at(0.05, 0.05), orange));
        QVERIFY(!near(at(0.75, 0.75), orange) && !near(at(0.75, 0.25), orange));

        // What the request costs the GUI thread: the grab and the encoding run on it.
        ScreenshotRequest shape;
        shape.expiresAt = later;
        QElapsedTimer stall;
        stall.start();
        const QByteArray bytes =
            ScreenshotCapture::encodeScaled(ScreenshotCapture::grabPresentedWindow(), shape);
        qInfo("one %dx%d capture held the GUI thread for %lld ms (%lld bytes)", full.width(),
              full.height(), stall.elapsed(), qint64(bytes.size()));
        QVERIFY(!bytes.isEmpty());
        QVERIFY2(sceneWarnings.isEmpty(), qPrintable(sceneWarnings.join('\n')));
        QVERIFY2(s.surprises().isEmpty(), qPrintable(s.surprises().join('\n')));
    }
};

int main(int argc, char** argv)
{
    // The expiry clock is local time: a fixed zone gives it a fixed text.
    qputenv("TZ", "UTC");
    QGuiApplication app(argc, argv);
    TestPairingScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pairingscreen.moc"
