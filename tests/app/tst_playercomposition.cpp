// The running player built in-process as main() builds it, under the compositor and at a scale
// factor of 2: the debug window's pixels, the start-up animation and splash, the fatal surfaces
// of missing resources, a scene that cannot load, and the shutdown after the window closes.

#include "app/DevFileLog.h"
#include "app/PlayerComposition.h"
#include "app/PlayerWindowQuitGuard.h"
#include "controller/PlayerController.h"
#include "operator/OperatorPanel.h"
#include "stage/GstVideoEngine.h"
#include "tests/support/SceneItems.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QGuiApplication>
#include <QImage>
#include <QPointer>
#include <QPointingDevice>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace talvorine;
using talvorine::test::readJsonLines;
using talvorine::test::recordsOf;

namespace {

constexpr int waitMs = 30000;
QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        warnings.append(text);
    previousHandler(type, context, text);
}

using test::itemsBelow;

QList<QQuickItem*> itemsOf(QQuickWindow* window, const char* qmlType)
{
    QList<QQuickItem*> found;
    for (QQuickItem* item : itemsBelow(window->contentItem())) {
        if (QByteArray(item->metaObject()->className()).startsWith(qmlType))
            found.append(item);
    }
    return found;
}

// The item of that object name (and "index"), anywhere below the root.
QQuickItem* named(QQuickItem* root, QLatin1String name, int index = -1)
{
    for (QQuickItem* item : itemsBelow(root)) {
        if (item->objectName() == name && (index < 0 || item->property("index").toInt() == index))
            return item;
    }
    return nullptr;
}

// The brightest channel of the window's pixels inside the item, and outside it.
std::pair<int, int> brightest(QQuickWindow* window, QQuickItem* item)
{
    const QImage image = window->grabWindow();
    const QRectF scene = item->mapRectToScene(item->boundingRect());
    const qreal ratio = window->devicePixelRatio();
    const QRect area = QRectF(scene.topLeft() * ratio, scene.size() * ratio).toAlignedRect();
    std::pair<int, int> brightest{0, 0};
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            int& into = area.contains(x, y) ? brightest.first : brightest.second;
            into = std::max({into, pixel.red(), pixel.green(), pixel.blue()});
        }
    }
    return brightest;
}

} // namespace

class TestPlayerComposition : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    std::unique_ptr<PlayerComposition> player_;

    PlayerCompositionSettings settings(const QString& name, QSize windowSize = {640, 360})
    {
        PlayerCompositionSettings s;
        s.origin = QUrl(QStringLiteral("http://localhost:9"));
        s.stateDirectory = dir_.filePath(name);
        s.window.windowed = true;
        s.window.width = windowSize.width();
        s.window.height = windowSize.height();
        // The machine's own sound and monitor programs are never touched.
        s.locateProgram = [](const QString&) { return QString(); };
        s.backlightRoot = dir_.filePath(QStringLiteral("no-backlight"));
        return s;
    }
    QQuickWindow* build(PlayerCompositionSettings s)
    {
        warnings.clear();
        player_ = std::make_unique<PlayerComposition>(std::move(s));
        player_->build();
        return player_->windows().value(0);
    }
    QList<QJsonObject> devLog(const QString& event) const
    {
        return recordsOf(readJsonLines(DevFileLog::path()), event);
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        QCOMPARE(qgetenv("QT_SCALE_FACTOR"), QByteArray("2"));
        previousHandler = qInstallMessageHandler(collectWarnings);
    }

    void cleanup()
    {
        player_.reset();
        // Each composition installs its own lifecycle guard on the application.
        qDeleteAll(qApp->findChildren<PlayerWindowQuitGuard*>());
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    // The debug window keeps the requested pixels at scale 2; the animation plays to its end
    // and the splash then cross-fades away; the scene loads without a warning of its own.
    void startsWithAnimationAndExactPixels()
    {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        QQuickWindow* window = build(settings("start", {800, 600}));
        QVERIFY(window);
        QVERIFY(!player_->startupAnimationUrl().isEmpty());
        QQuickItem* splash = itemsOf(window, "SplashLayer").value(0);
        QVERIFY(splash);
        QQuickItem* placement = nullptr;
        for (QQuickItem* item : itemsBelow(splash)) {
            if (QByteArray(item->metaObject()->className()).startsWith("GstVideoPlacement"))
                placement = item;
        }
        QVERIFY(placement);
        auto* engine = placement->property("engine").value<GstVideoEngine*>();
        QVERIFY(engine);
        QSignalSpy started(engine, &GstVideoEngine::started);
        const QPointer<GstVideoEngine> playing(engine);

        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_COMPARE_WITH_TIMEOUT(window->devicePixelRatio(), 2.0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(window->size(), QSize(400, 300), waitMs);
        QCOMPARE(window->grabWindow().size(), QSize(800, 600));

        PlayerController& controller = *player_->controller();
        QVERIFY(controller.splashVisible());
        QTRY_VERIFY_WITH_TIMEOUT(started.size() >= 1, waitMs);
        // The clip's frames last its two seconds, not a blink that would start the splash's
        // hold early (and be over by now).
        QVERIFY(playing);
        playing->refreshPosition();
        QCOMPARE_GE(playing->durationMs(), 1900);
        QTRY_VERIFY_WITH_TIMEOUT(!devLog(QStringLiteral("splash.retire")).isEmpty(), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!controller.splashVisible(), waitMs);
        QCOMPARE(devLog(QStringLiteral("process.start")).size(), 1);

        // The shell's own warning about the GPU sink is written on purpose; the scene has none.
        for (const QString& warning : warnings)
            QVERIFY2(!warning.contains(QLatin1String("qrc:/")), qPrintable(warning));
    }

    // The animation's one copy in the state directory: left alone while it holds the bytes.
    void keepsOneAnimationCopy_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("rewritten");
        QTest::newRow("same bytes kept") << QByteArray("animation") << false;
        QTest::newRow("other bytes replaced") << QByteArray("other") << true;
    }
    void keepsOneAnimationCopy()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, rewritten);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("animation.mp4"));
        const QString copy = dir.filePath(QStringLiteral("startup-animation.mp4"));
        // Any write shows as a modification time later than the one planted.
        QVERIFY(testfiles::write(source, "animation") && testfiles::write(copy, before)
                && testfiles::setMtimeMs(copy, 1000000000000));
        QCOMPARE(PlayerComposition::keepStartupAnimation(source, dir.path()), copy);
        QCOMPARE(QFileInfo(copy).lastModified().toMSecsSinceEpoch() > 1000000000000, rewritten);
        QCOMPARE(testfiles::read(copy), QByteArray("animation"));
    }

    void fatalSurfaces_data()
    {
        QTest::addColumn<bool>("fonts");
        QTest::addColumn<bool>("tokens");
        QTest::addColumn<bool>("contract");
        QTest::addColumn<QString>("shown");
        const QString typefaces = QStringLiteral("This player is missing its typefaces.");
        const QString colours = QStringLiteral("This player is missing its colour contract.");
        QTest::newRow("typefaces") << false << true << true << typefaces;
        QTest::newRow("colours") << true << false << true << colours;
        QTest::newRow("status") << true << true << false
                                << QStringLiteral("This player is missing its status contract.");
        QTest::newRow("typefaces before colours") << false << false << true << typefaces;
        QTest::newRow("colours before status") << true << false << false << colours;
    }
    void fatalSurfaces()
    {
        QFETCH(bool, fonts);
        QFETCH(bool, tokens);
        QFETCH(bool, contract);
        QFETCH(QString, shown);
        PlayerCompositionSettings s =
            settings(QStringLiteral("fatal-%1").arg(QString::fromLatin1(QTest::currentDataTag())));
        s.registerFonts = [fonts] { return fonts; };
        s.loadChromeTokens = [tokens] { return tokens; };
        s.loadOverlayContract = [contract] { return contract; };
        QQuickWindow* window = build(std::move(s));
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        PlayerController& controller = *player_->controller();
        QVERIFY(controller.fatalVisible());
        QCOMPARE(controller.fatalReason(), shown);

        // The player keeps running: the controller starts from the event loop (which restarts
        // the splash timer), and the panel a click would open stays hidden with the overlay.
        QTRY_VERIFY_WITH_TIMEOUT(controller.timerNamed("splashTimer")->isActive(), waitMs);
        controller.operatorPanel()->openFromPointer();
        QVERIFY(!controller.operatorPanel()->isOpen());
        QQuickItem* overlay = itemsOf(window, "StatusOverlay").value(0);
        QQuickItem* surface = itemsOf(window, "FatalSurface").value(0);
        QVERIFY(overlay && surface);
        QVERIFY(!overlay->isVisible());
        QVERIFY(surface->isVisible());
    }

    // The operator's panel on the real scene: a click opens it, drawn above the scrim even at
    // 0 % brightness; its rows take the pointer (a level set by a press, the reset
    // confirmation); a click on the backdrop closes it; a touch hold fills the hairline before
    // it opens the panel; a fatal surface closes it and hides panel and backdrop.
    void operatorPanel()
    {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        QQuickWindow* window = build(settings(QStringLiteral("operator")));
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        PlayerController& controller = *player_->controller();
        OperatorPanel& panel = *controller.operatorPanel();
        QTRY_VERIFY_WITH_TIMEOUT(!controller.splashVisible(), waitMs);
        QQuickItem* menu = itemsOf(window, "OperatorMenu").value(0);
        QQuickItem* holdLine = named(window->contentItem(), QLatin1String("operatorHoldLine"));
        QQuickItem* backdrop = named(window->contentItem(), QLatin1String("operatorBackdrop"));
        QVERIFY(menu && holdLine && backdrop);

        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(10, 10));
        QTRY_VERIFY_WITH_TIMEOUT(panel.isOpen() && menu->isVisible(), waitMs);
        QVERIFY(backdrop->isVisible());
        QCOMPARE(panel.stageName(), QStringLiteral("menu"));

        // Where the pointer meets a row, once the panel's column has placed its rows.
        const auto rowPoint = [&](const QString& key, double fraction) {
            const QVariantList rows = panel.rows();
            const auto row = [&](qsizetype i) {
                return named(menu, QLatin1String("operatorRow"), int(i));
            };
            if (!QTest::qWaitFor([&] { return row(rows.size() - 1) && row(rows.size() - 1)->y(); }))
                return QPoint(-1, -1);
            for (int i = 0; i < rows.size(); ++i) {
                if (rows[i].toMap().value(QStringLiteral("key")).toString() == key)
                    return row(i)->mapToScene({row(i)->width() * fraction, row(i)->height() / 2})
                        .toPoint();
            }
            return QPoint(-1, -1);
        };

        // The brightness row at its left edge: 0 %, the scrim fully black, the panel above it.
        QTest::mouseClick(window, Qt::LeftButton, {},
                          rowPoint(QStringLiteral("brightness"), 0.01));
        QTRY_COMPARE_WITH_TIMEOUT(panel.brightnessPercent(), 0, waitMs);
        QCOMPARE(panel.scrimOpacity(), 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(brightest(window, menu).second < 16, waitMs);
        QVERIFY(brightest(window, menu).first > 160);

        // The volume row at three tenths reaches the video engines' gain.
        QTest::mouseClick(window, Qt::LeftButton, {}, rowPoint(QStringLiteral("volume"), 0.3));
        QTRY_COMPARE_WITH_TIMEOUT(panel.volumePercent(), 30, waitMs);
        QCOMPARE(GstVideoEngine::playerVolume(), 0.3);

        // Reset, then cancel: both by clicks on the rows.
        QTest::mouseClick(window, Qt::LeftButton, {}, rowPoint(QStringLiteral("reset"), 0.5));
        QTRY_COMPARE_WITH_TIMEOUT(panel.stageName(), QStringLiteral("confirm_reset"), waitMs);
        QTest::mouseClick(window, Qt::LeftButton, {}, rowPoint(QStringLiteral("cancel"), 0.5));
        QTRY_VERIFY_WITH_TIMEOUT(!panel.isOpen() && !menu->isVisible() && !backdrop->isVisible(),
                                 waitMs);

        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(10, 10));
        QTRY_VERIFY_WITH_TIMEOUT(panel.isOpen(), waitMs);
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(5, window->height() - 5));
        QTRY_VERIFY_WITH_TIMEOUT(!panel.isOpen() && !backdrop->isVisible(), waitMs);

        // One finger held still: the hairline fills first, the panel opens later.
        // (Recorded as the fill starts: the scene's bindings ran before this connection.)
        QStringList fills;
        QObject::connect(&panel, &OperatorPanel::holdChanged, &panel, [&] {
            fills.append(QStringLiteral("filling %1 line %2 open %3")
                             .arg(panel.holdFilling())
                             .arg(holdLine->isVisible())
                             .arg(panel.isOpen()));
        });
        QPointingDevice* touch = QTest::createTouchDevice();
        QTest::touchEvent(window, touch).press(1, QPoint(100, 100));
        QTRY_VERIFY_WITH_TIMEOUT(panel.isOpen() && menu->isVisible(), waitMs);
        QCOMPARE(fills, (QStringList{QStringLiteral("filling 1 line 1 open 0"),
                                     QStringLiteral("filling 0 line 0 open 0")}));
        QVERIFY(!holdLine->isVisible());
        QTest::touchEvent(window, touch).release(1, QPoint(100, 100));

        controller.enterFatal(FatalSurface::TypefacesMissing);
        QVERIFY(!panel.isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!menu->isVisible() && !backdrop->isVisible(), waitMs);
        for (const QString& warning : warnings)
            QVERIFY2(!warning.contains(QLatin1String("qrc:/")), qPrintable(warning));
    }

    void sceneThatCannotLoadEndsWithOne()
    {
        QFile broken(dir_.filePath(QStringLiteral("Broken.qml")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("import QtQuick\nWindow {") > 0);
        broken.close();
        PlayerCompositionSettings s = settings(QStringLiteral("broken"));
        s.scene = QUrl::fromLocalFile(broken.fileName());
        QVERIFY(!build(std::move(s)));
        QCOMPARE(QCoreApplication::exec(), 1);
    }

    // Closing the only window ends the event loop with 0; the shutdown then takes the scene
    // down before the controller, as the lifecycle records show.
    void closingTheWindowShutsDown()
    {
        QGuiApplication::setQuitOnLastWindowClosed(true);
        QQuickWindow* window = build(settings(QStringLiteral("close")));
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QString log = DevFileLog::path();
        QTimer::singleShot(0, window, &QWindow::close);
        QCOMPARE(QCoreApplication::exec(), 0);
        player_.reset();

        // A late expose can give the closed window a hidden platform window again, which the
        // quit then closes a second time; that pair is a hidden window's ("visible" "false"),
        // so the order is checked on the shown window's close.
        QStringList events;
        QStringList shownCloses;
        for (const QJsonObject& record : readJsonLines(log)) {
            const QString event = record.value(QStringLiteral("event")).toString();
            if (event == QStringLiteral("window.closing")) {
                if (record.value(QStringLiteral("visible")).toString() != QStringLiteral("true"))
                    continue;
                shownCloses.append(record.value(QStringLiteral("source")).toString());
            }
            events.append(event);
        }
        QCOMPARE(shownCloses, (QStringList{QStringLiteral("qevent.close"),
                                           QStringLiteral("qquickwindow.closing")}));
        QCOMPARE(events.count(QStringLiteral("process.last_window_closed")), 1);
        const QStringList order{QStringLiteral("window.closing"),
                                QStringLiteral("process.last_window_closed"),
                                QStringLiteral("process.about_to_quit"),
                                QStringLiteral("window.destroyed")};
        qsizetype at = 0;
        for (const QString& event : order) {
            at = events.indexOf(event, at);
            QVERIFY2(at >= 0, qPrintable(event + QStringLiteral(" missing or out of order: ")
                                         + events.join(' ')));
        }
    }
};

int main(int argc, char** argv)
{
    // Set before the application exists: the debug window must still get its exact pixels.
    qputenv("QT_SCALE_FACTOR", "2");
    QGuiApplication app(argc, argv);
    TestPlayerComposition test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playercomposition.moc"
