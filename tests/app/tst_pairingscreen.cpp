// The pairing screen of the real scene under the compositor, drawn from a real controller that
// pairs itself with the fake runtime service: the grouped code with its spoken name and the time
// it changes, the claim being completed, the celebration once paired, then a screenshot of the
// first page. The scene's items say what is shown; grabs of the window prove that it is drawn.

#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/SceneItems.h"
#include "tests/support/SceneWindow.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QImage>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
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

QRect sceneRect(const QQuickItem* item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height())).toAlignedRect();
}

} // namespace

class TestPairingScreen : public test::SceneTestCase {
    Q_OBJECT
private slots:
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

        test::SceneWindow scene(c);
        QQuickWindow* window = scene.window();
        QVERIFY(window && QTest::qWaitForWindowExposed(window));

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
            return scene.grab(plateCorner()).convertToFormat(QImage::Format_RGB32) == plateDrawn;
        };
        QTRY_VERIFY_WITH_TIMEOUT(plateShown(), waitMs);
        const QImage titleBefore = scene.grab(sceneRect(title));
        const QRect floor(0, window->height() - 2, window->width(), 2);
        const QImage slideFloor = scene.grab(floor);

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
        QCOMPARE(scene.grab(floor), slideFloor);

        // Completed: the celebration takes the slide, then the player goes on to its session.
        QVERIFY(h.expireSoon(u"pairingCompletionRetryTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(window, "Paired"), waitMs);
        QVERIFY(!shown(window, QStringLiteral("The code was claimed. Finishing the pairing…")));
        QTRY_VERIFY_WITH_TIMEOUT(scene.grab(sceneRect(title)) != titleBefore, waitMs);
        QCOMPARE(scene.grab(floor), slideFloor);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::eventsRoute), 1, waitMs);

        QVERIFY(h.expireSoon(u"celebrationTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!shown(window, "Paired"), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(scene.grab(floor) != slideFloor, waitMs);

        // A screenshot of the first page: its picture in the top-left quarter, ground beside it.
        QImage picture(160, 90, QImage::Format_RGB32);
        picture.fill(QColor(230, 120, 20));
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG"));
        const test::ServedObject object{"/content/v1/media/orange", png, s.sha256Hex(png)};
        s.putContent(object.path, png);
        s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        s.script("PUT", W::screenshotRoute, {Reply::json(200, QJsonObject())});
        const QJsonArray page{test::mediaPrimitive("img", {object})};
        test::ControllerAccess::preparePage(c, test::contentManifest({page}, s.url()), 0, false);
        const auto orange = [](const QColor& p) {
            return qAbs(p.red() - 230) + qAbs(p.green() - 120) + qAbs(p.blue() - 20) < 48;
        };
        QTRY_VERIFY_WITH_TIMEOUT(orange(scene.grab({160, 90, 1, 1}).pixelColor(0, 0)), waitMs);
        s.sendEvents(W::eventsRoute,
                     "data: {\"type\":\"screen.screenshot_requested\",\"details\":{\"capture_id\":"
                     "\"shot_GLASSGLASSGLASSGL\",\"format\":\"image/webp\",\"max_width_divisor\":2,"
                     "\"max_height_divisor\":2,\"quality\":80,\"max_bytes\":2097152,\"expires_at\":\""
                     + QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate).toLatin1()
                     + "\"}}\n\n");
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::screenshotRoute).size(), 1, waitMs);
        const QImage shot = QImage::fromData(s.requestsTo(W::screenshotRoute).first().body, "webp");
        QVERIFY(orange(shot.pixelColor(shot.width() / 4, shot.height() / 4)));
        QVERIFY(!orange(shot.pixelColor(shot.width() * 3 / 4, shot.height() / 4)));
        h.verifyNoSurprises();
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
