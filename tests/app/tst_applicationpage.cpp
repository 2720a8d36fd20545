// Web application pages end to end under the compositor (real scene, controller and placements,
// fake service): a package shared by two applications downloaded once, cut off and resumed,
// installed and shown by both; the next page's installed package shown without a request while
// the first page's placements retire; and an application that reads its saved state before it
// says "ready", whose write waits until its page is on glass.

#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeKvStore.h"
#include "tests/support/SceneWindow.h"
#include "tests/support/WebPackageBuilder.h"
#include "tests/support/WrapperScene.h"

#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QQuickWindow>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Service = talvorine::test::FakeRuntimeService;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// The colour at the middle of the window's left or right half.
QColor pixelAt(QQuickWindow* window, bool right)
{
    const QImage image = window->grabWindow();
    return image.pixelColor(image.width() * (right ? 3 : 1) / 4, image.height() / 2);
}

test::ServedObject stub(const QByteArray& name, const QJsonObject& scenario)
{
    const QByteArray bytes = test::stubApplicationPackage(scenario);
    return {"/content/v1/packages/" + name, bytes, Service::sha256Hex(bytes)};
}

} // namespace

class TestApplicationPage : public test::SceneTestCase {
    Q_OBJECT
private slots:
    void applicationOnGlass()
    {
        ControllerHarness h;
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        h.service().script("POST", RuntimeWire::sessionMintRoute,
                           {ControllerHarness::sessionGranted(false, {"kv.read", "kv.write"})});
        h.service().kvStore().grant(QByteArray(32, 'c'));
        QVERIFY(h.mintSession());
        PlayerController& c = h.controller();
        const test::ServedObject shared = stub("shared.tgz", {{"paint", "#ff00ff"}});
        const test::ServedObject installed = stub("installed.tgz", {{"paint", "#00ff00"}});
        // An application that loads its saved state before it says "ready", and counts itself.
        const QJsonObject shows{{"key", "shows"}, {"idempotency_key", "show-0001"},
                                {"value_base64", "MQ=="}, {"content_type", "text/plain"}};
        const auto send = [&shows](const char* kind) {
            return QJsonArray{QJsonObject{{"kind", kind}, {"payload", shows}}};
        };
        const test::ServedObject keeper =
            stub("keeper.tgz", {{"before", send("kv.get")}, {"withReady", send("kv.set")}});
        h.service().putContent(shared.path, shared.bytes,
                               "application/vnd.talvorine.webapp-package+tar+gzip");
        h.service().scriptContent(shared.path, {{.fault = Service::Fault::DropMidBody}});
        // The application's logs and events reach the service as reports.
        h.service().script("POST", RuntimeWire::reportsRoute,
                           QList<Service::Reply>(40, Service::Reply::json(200, QJsonObject())));
        for (const test::ServedObject* package : {&installed, &keeper})
            QVERIFY(test::installPackage(*ControllerAccess::applicationCache(c), package->bytes,
                                         test::descriptorOf(package->bytes)));

        test::SceneWindow scene(c);
        QQuickWindow* window = scene.window();
        QVERIFY(window && QTest::qWaitForWindowExposed(window));

        const auto half = [](const QString& id, const test::ServedObject& package, int x) {
            QJsonObject application = test::applicationPrimitive(id, package);
            application["rect"] = QJsonObject{{"x", x}, {"y", 0}, {"width", 960}, {"height", 1080}};
            return application;
        };
        const Manifest manifest = test::contentManifest(
            {QJsonArray{half("left", shared, 0), half("right", shared, 960)},
             QJsonArray{half("green", installed, 0)}, QJsonArray{half("keeper", keeper, 960)}},
            h.service().url());
        ControllerAccess::preparePage(c, manifest, 0, false);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("packageRetryTimer")->isActive(), waitMs);
        QVERIFY(h.expireSoon("packageRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(pixelAt(window, false), QColor(Qt::magenta), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(pixelAt(window, true), QColor(Qt::magenta), waitMs);
        QCOMPARE(h.service().contentAttempts(shared.path), 2);
        QVERIFY(h.service().requestsTo(shared.path).last().header("Range").startsWith("bytes="));

        // The first page's placements retire with their probes and queue pulls possibly still
        // awaiting the page's answers; the player must carry on.
        ControllerAccess::preparePage(c, manifest, 1, false);
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(pixelAt(window, false), QColor(Qt::green), waitMs);
        QCOMPARE(h.service().contentAttempts(installed.path), 0);

        // It reads while its page is prepared and says "ready" with the answer; its write goes
        // out only once its page is on glass.
        const QByteArray kv = "/runtime/v1/apps/app.menu/kv/shows";
        qsizetype sentBefore = -1;
        connect(&c, &PlayerController::activeChanged, this,
                [&] { sentBefore = h.service().requestsTo(kv).size(); }, Qt::SingleShotConnection);
        ControllerAccess::preparePage(c, manifest, 2, false);
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 0, waitMs);
        QCOMPARE(sentBefore, 1);
        QTRY_COMPARE_WITH_TIMEOUT(h.service().kvStore().value("app.menu", "shows"),
                                  std::optional<QByteArray>("1"), waitMs);
        h.verifyNoSurprises();
    }
};

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestApplicationPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_applicationpage.moc"
