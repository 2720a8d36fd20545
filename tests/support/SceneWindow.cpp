#include "tests/support/SceneWindow.h"

#include "app/PlayerComposition.h"
#include "controller/PlayerController.h"
#include "overlay/OverlayContract.h"
#include "stage/CapabilityReport.h"
#include "stage/ChromeTokens.h"
#include "stage/FontCatalog.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace talvorine::test {

namespace {

QStringList collected;
QStringList expected;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const bool provoked = std::any_of(expected.cbegin(), expected.cend(),
                                      [&text](const QString& part) { return text.contains(part); });
    if (type != QtDebugMsg && type != QtInfoMsg && text.contains(QLatin1String("qrc:/"))
        && !provoked)
        collected.append(text);
    previousHandler(type, context, text);
}

bool near(QRgb pixel, const Rgb& colour, int tolerance)
{
    return std::abs(qRed(pixel) - colour.r) <= tolerance
        && std::abs(qGreen(pixel) - colour.g) <= tolerance
        && std::abs(qBlue(pixel) - colour.b) <= tolerance;
}

} // namespace

bool SceneWindow::filledWith(const QImage& grab, const Rgb& colour)
{
    for (int column = 0; column < 8; ++column) {
        for (int row = 0; row < 4; ++row) {
            if (!near(grab.pixel(grab.width() * (2 * column + 1) / 16,
                                 grab.height() * (2 * row + 1) / 8),
                      colour, 8))
                return false;
        }
    }
    return true;
}

bool SceneWindow::barsShown(const QImage& grab)
{
    for (int bar = 0; bar < 7; ++bar) {
        if (!near(grab.pixel(grab.width() * (2 * bar + 1) / 14, grab.height() / 4),
                  smpteBars[bar], 48))
            return false;
    }
    return true;
}

void SceneWindow::collectWarnings()
{
    if (!previousHandler)
        previousHandler = qInstallMessageHandler(collect);
}

void SceneWindow::stopCollectingWarnings()
{
    if (previousHandler)
        qInstallMessageHandler(std::exchange(previousHandler, nullptr));
}

QStringList SceneWindow::warnings()
{
    return collected;
}

void SceneWindow::expectWarning(const QString& part)
{
    expected.append(part);
}

bool SceneWindow::loadResources()
{
    PlayerComposition::registerQmlTypes();
    return FontCatalog::instance().registerApplicationFonts() && ChromeTokens::instance().load()
        && OverlayContract::instance().load();
}

SceneWindow::SceneWindow(PlayerController& controller, QSize size)
    : capabilities_(std::make_unique<CapabilityReport>(nullptr))
    , webPackages_(std::make_unique<WebPackageSchemeCoordinator>())
    , engine_(std::make_unique<QQmlApplicationEngine>())
{
    engine_->setInitialProperties({{"debugWindowed", true}, {"debugWindowSize", size}});
    QQmlContext* context = engine_->rootContext();
    context->setContextProperty("talvorineController", &controller);
    context->setContextProperty("talvorineCapabilities", capabilities_.get());
    context->setContextProperty("talvorineWebPackages", webPackages_.get());
    context->setContextProperty("talvorineFonts", &FontCatalog::instance());
    engine_->load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    if (engine_->rootObjects().size() == 1)
        window_ = qobject_cast<QQuickWindow*>(engine_->rootObjects().first());
    if (window_)
        PlayerComposition::connectFrameEvidence(window_, controller);
}

// The scene goes before the objects its context names.
SceneWindow::~SceneWindow()
{
    engine_.reset();
}

QImage SceneWindow::grab(const QRect& area) const
{
    const QImage image = window_->grabWindow();
    if (area.isEmpty())
        return image;
    const qreal ratio = image.devicePixelRatio();
    return image.copy(QRect((QPointF(area.topLeft()) * ratio).toPoint(),
                            (QSizeF(area.size()) * ratio).toSize()));
}

void SceneTestCase::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    SceneWindow::collectWarnings();
    QVERIFY(SceneWindow::loadResources());
}

void SceneTestCase::cleanup()
{
    const QStringList found = std::exchange(collected, {});
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
}

void SceneTestCase::cleanupTestCase()
{
    SceneWindow::stopCollectingWarnings();
}

} // namespace talvorine::test
