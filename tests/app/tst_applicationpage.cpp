// A page of one web application carried end to end under the compositor: the real scene drawn
// from a real controller whose package the fake runtime service serves. The package is
// downloaded (cut off once and resumed), installed in the package cache, bound into the stage
// and shown by the web placement; a grab of the window proves the application is drawn.

#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "stage/CapabilityReport.h"
#include "stage/FontCatalog.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/WrapperScene.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Service = talvorine::test::FakeRuntimeService;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// The colour at the middle of the window's left half, where the application is placed.
QColor applicationPixel(QQuickWindow* window)
{
    const QImage image = window->grabWindow();
    return image.pixelColor(image.width() / 4, image.height() / 2);
}

} // namespace

class TestApplicationPage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        PlayerComposition::registerQmlTypes();
        QVERIFY(FontCatalog::instance().registerApplicationFonts());
    }

    void applicationOnGlass()
    {
        ControllerHarness h;
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        QVERIFY(h.mintSession());
        PlayerController& c = h.controller();
        const QByteArray bytes = test::stubApplicationPackage({{"paint", "#ff00ff"}});
        const test::ServedObject package{"/content/v1/packages/stub.tgz", bytes,
                                         Service::sha256Hex(bytes)};
        h.service().putContent(package.path, package.bytes,
                               "application/vnd.talvorine.webapp-package+tar+gzip");
        h.service().scriptContent(package.path, {{.fault = Service::Fault::DropMidBody}});

        CapabilityReport capabilities(nullptr);
        WebPackageSchemeCoordinator webPackages;
        QQmlApplicationEngine engine;
        engine.setInitialProperties({{"debugWindowed", true}, {"debugWindowSize", QSize(640, 360)}});
        QQmlContext* context = engine.rootContext();
        context->setContextProperty("talvorineController", &c);
        context->setContextProperty("talvorineCapabilities", &capabilities);
        context->setContextProperty("talvorineWebPackages", &webPackages);
        context->setContextProperty("talvorineFonts", &FontCatalog::instance());
        engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
        QCOMPARE(engine.rootObjects().size(), 1);
        auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().first());
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        QVERIFY(applicationPixel(window) != QColor(Qt::magenta));

        QJsonObject application = test::applicationPrimitive("app", package);
        application["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 1080}};
        const Manifest manifest =
            test::contentManifest({QJsonArray{application}}, h.service().url());
        ControllerAccess::preparePage(c, manifest, 0, false);

        QTRY_VERIFY_WITH_TIMEOUT(h.timer("packageRetryTimer")->isActive(), waitMs);
        QVERIFY(h.expireSoon("packageRetryTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(applicationPixel(window), QColor(Qt::magenta), waitMs);
        QCOMPARE(h.service().contentAttempts(package.path), 2);
        QVERIFY(!h.service().requestsTo(package.path).last().header("Range").isEmpty());
        QVERIFY2(h.surprises().isEmpty(), qPrintable(h.surprises().join('\n')));
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
