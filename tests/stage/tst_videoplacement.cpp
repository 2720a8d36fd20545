// The video placement in a real Wayland window: a generated clip must reach the screen at the
// placement's rectangle, play, end and restart, whichever way frames take to the screen.

#include "stage/GstVideoEngine.h"
#include "stage/VideoFrameItem.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/VideoWaits.h"

#include <QGuiApplication>
#include <QImage>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvorine;

namespace {

constexpr QRgb ground = 0xff204060;
constexpr int placeX = 80;
constexpr int placeY = 60;
constexpr int placeW = 320;
constexpr int placeH = 240;

int framePathLogs = 0;
QtMessageHandler previousHandler = nullptr;

void countFramePathLogs(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.startsWith(QLatin1String("video frames reach the screen")))
        ++framePathLogs;
    previousHandler(type, context, text);
}

bool near(QRgb pixel, test::Rgb expected, int tolerance = 40)
{
    return qAbs(qRed(pixel) - expected.r) <= tolerance && qAbs(qGreen(pixel) - expected.g) <= tolerance
        && qAbs(qBlue(pixel) - expected.b) <= tolerance;
}

QString describe(QRgb pixel)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
}

} // namespace

class TestVideoPlacement : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void prerollsPlaysEndsAndRestarts_data();
    void prerollsPlaysEndsAndRestarts();
    void failsWithItsCode_data();
    void failsWithItsCode();
    void reportsProgressWhileWanted();
    void volumeReachesPlacedEngines();
    void framePathChosenOnceAndLoggedOnce();
    void gpuItemGoneBeforeTheWindowDraws();

private:
    QObject* place(const QUrl& source, bool active, bool progressWanted = false);
    QString barsMismatch(const QImage& image) const;

    QTemporaryDir dir_;
    QString clip_;
    QString corrupt_;
    QQmlEngine engine_;
    std::unique_ptr<QQuickWindow> window_;
    QList<QObject*> placements_;
};

void TestVideoPlacement::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    previousHandler = qInstallMessageHandler(countFramePathLogs);
    qmlRegisterType<GstVideoEngine>("Talvorine.Native", 1, 0, "GstVideoEngine");
    qmlRegisterType<VideoFrameItem>("Talvorine.Native", 1, 0, "VideoFrameItem");
    GstVideoEngine::registerGpuSinkBeforeQmlLoad();

    QVERIFY(dir_.isValid());
    clip_ = dir_.filePath(QStringLiteral("bars.webm"));
    QString error;
    QVERIFY2(test::makeBarsClip(clip_, placeW, placeH, 45, 30, &error), qPrintable(error));
    corrupt_ = dir_.filePath(QStringLiteral("corrupt.webm"));
    QVERIFY(test::makeCorruptFile(corrupt_));

    QQmlComponent component(&engine_);
    component.setData(R"(
        import QtQuick
        import QtQuick.Window
        Window { width: 640; height: 480; color: "#204060"; visible: true }
    )", QUrl::fromLocalFile(dir_.filePath(QStringLiteral("window.qml"))));
    window_.reset(qobject_cast<QQuickWindow*>(component.create()));
    QVERIFY2(window_, qPrintable(component.errorString()));
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void TestVideoPlacement::cleanup()
{
    qDeleteAll(placements_);
    placements_.clear();
}

QObject* TestVideoPlacement::place(const QUrl& source, bool active, bool progressWanted)
{
    QQmlComponent component(&engine_, QUrl(QStringLiteral("qrc:/qml/GstVideoPlacement.qml")));
    if (component.isError()) {
        qWarning("%s", qPrintable(component.errorString()));
        return nullptr;
    }
    QObject* object = component.createWithInitialProperties(
        {{QStringLiteral("x"), placeX},
         {QStringLiteral("y"), placeY},
         {QStringLiteral("width"), placeW},
         {QStringLiteral("height"), placeH},
         {QStringLiteral("source"), source},
         {QStringLiteral("active"), active},
         {QStringLiteral("progressWanted"), progressWanted}});
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item)
        return nullptr;
    item->setParentItem(window_->contentItem());
    placements_.append(item);
    return item;
}

// Empty when the grab shows the bars inside the placement and the ground around it.
QString TestVideoPlacement::barsMismatch(const QImage& image) const
{
    const int y = placeY + placeH / 5; // the top band: a flipped picture shows other colours
    for (int bar = 0; bar < 7; ++bar) {
        const int x = placeX + int((bar + 0.5) * placeW / 7.0);
        const QRgb pixel = image.pixel(x, y);
        if (!near(pixel, test::smpteBars[bar]))
            return QStringLiteral("bar %1 at %2,%3 is %4").arg(bar).arg(x).arg(y).arg(describe(pixel));
    }
    for (const QPoint outside : {QPoint(placeX - 10, placeY + 10), QPoint(placeX + placeW + 10, y),
                                 QPoint(placeX + 10, placeY + placeH + 10)}) {
        const QRgb pixel = image.pixel(outside);
        if (!near(pixel, {qRed(ground), qGreen(ground), qBlue(ground)}, 4))
            return QStringLiteral("ground at %1,%2 is %3")
                .arg(outside.x())
                .arg(outside.y())
                .arg(describe(pixel));
    }
    return {};
}

void TestVideoPlacement::prerollsPlaysEndsAndRestarts_data()
{
    QTest::addColumn<bool>("activeFromStart");
    QTest::newRow("held on the first frame, then played") << false;
    QTest::newRow("played at once") << true;
}

void TestVideoPlacement::prerollsPlaysEndsAndRestarts()
{
    QFETCH(bool, activeFromStart);
    QObject* placement = place(QUrl::fromLocalFile(clip_), activeFromStart);
    QVERIFY(placement);
    QSignalSpy ready(placement, SIGNAL(placementReady()));
    QSignalSpy started(placement, SIGNAL(videoStarted()));
    QSignalSpy ended(placement, SIGNAL(videoEndOfStream()));
    QSignalSpy failed(placement, SIGNAL(placementFailed(QString)));

    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, test::videoWaitMs);
    if (!activeFromStart) {
        QCOMPARE(placement->property("engineState").toString(), QStringLiteral("paused"));
        // The held first frame is on screen before any clock runs.
        QString mismatch;
        QTRY_VERIFY2_WITH_TIMEOUT(
            (mismatch = barsMismatch(window_->grabWindow())).isEmpty(), qPrintable(mismatch), test::videoWaitMs);
        QCOMPARE(started.size(), 0);
        placement->setProperty("active", true);
    }
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, test::videoWaitMs);
    QCOMPARE(placement->property("engineState").toString(), QStringLiteral("playing"));
    QString mismatch;
    QTRY_VERIFY2_WITH_TIMEOUT((mismatch = barsMismatch(window_->grabWindow())).isEmpty(),
                              qPrintable(mismatch), test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, test::videoWaitMs);
    QCOMPARE(placement->property("engineState").toString(), QStringLiteral("ended"));

    // The controller loops a video by asking for a restart at each end.
    QMetaObject::invokeMethod(placement, "restart");
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 2, test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, test::videoWaitMs);
    // The last frame stays on screen after the end.
    QVERIFY2((mismatch = barsMismatch(window_->grabWindow())).isEmpty(), qPrintable(mismatch));
    QCOMPARE(failed.size(), 0);
    QCOMPARE(ready.size(), 1);
}

void TestVideoPlacement::failsWithItsCode_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("code");
    QTest::newRow("https") << "https://cdn.example/clip.webm" << "rejected_non_local_video";
    QTest::newRow("loopback http") << "http://127.0.0.1:9/clip.webm" << "rejected_non_local_video";
    QTest::newRow("corrupt file") << "CORRUPT" << "gstreamer_playback_error";
}

void TestVideoPlacement::failsWithItsCode()
{
    QFETCH(QString, source);
    QFETCH(QString, code);
    const QUrl url = source == QLatin1String("CORRUPT") ? QUrl::fromLocalFile(corrupt_)
                                                        : QUrl(source);
    QObject* placement = place(url, true);
    QVERIFY(placement);
    QSignalSpy ready(placement, SIGNAL(placementReady()));
    QSignalSpy failed(placement, SIGNAL(placementFailed(QString)));
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs);
    QCOMPARE(failed.at(0).at(0).toString(), code);
    QCOMPARE(placement->property("errorCode").toString(), code);
    QCOMPARE(placement->property("engineState").toString(), QStringLiteral("failed"));
    QCOMPARE(ready.size(), 0);
}

void TestVideoPlacement::reportsProgressWhileWanted()
{
    QObject* placement = place(QUrl::fromLocalFile(clip_), true, true);
    QVERIFY(placement);
    QSignalSpy progress(placement, SIGNAL(progressSample(double, double)));
    QSignalSpy ended(placement, SIGNAL(videoEndOfStream()));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, test::videoWaitMs);
    QVERIFY(progress.size() >= 1);
    const double position = progress.at(0).at(0).toDouble();
    QVERIFY2(position >= 500 && position <= 1500, qPrintable(QString::number(position)));
    QCOMPARE(progress.at(0).at(1).toDouble(), 1500.0);
    // Not wanted: no reports.
    QObject* quiet = place(QUrl::fromLocalFile(clip_), true, false);
    QSignalSpy quietProgress(quiet, SIGNAL(progressSample(double, double)));
    QSignalSpy quietEnded(quiet, SIGNAL(videoEndOfStream()));
    QTRY_COMPARE_WITH_TIMEOUT(quietEnded.size(), 1, test::videoWaitMs);
    QCOMPARE(quietProgress.size(), 0);
}

void TestVideoPlacement::volumeReachesPlacedEngines()
{
    QObject* first = place(QUrl::fromLocalFile(clip_), false);
    QObject* second = place(QUrl::fromLocalFile(clip_), false);
    QSignalSpy firstReady(first, SIGNAL(placementReady()));
    QSignalSpy secondReady(second, SIGNAL(placementReady()));
    QTRY_COMPARE_WITH_TIMEOUT(firstReady.size(), 1, test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(secondReady.size(), 1, test::videoWaitMs);
    auto* firstEngine = qvariant_cast<GstVideoEngine*>(first->property("engine"));
    auto* secondEngine = qvariant_cast<GstVideoEngine*>(second->property("engine"));
    QVERIFY(firstEngine && secondEngine);
    GstVideoEngine::setPlayerVolume(-3);
    QCOMPARE(firstEngine->pipelineVolume(), 0.0);
    QCOMPARE(secondEngine->pipelineVolume(), 0.0);
    GstVideoEngine::setPlayerVolume(0.6);
    QCOMPARE(firstEngine->pipelineVolume(), 0.6);
    QCOMPARE(secondEngine->pipelineVolume(), 0.6);
    GstVideoEngine::setPlayerVolume(1.0);
}

void TestVideoPlacement::framePathChosenOnceAndLoggedOnce()
{
    // Several placements have started by now; the process chose its way once.
    QVERIFY(GstVideoEngine::framePath() != GstVideoEngine::FramePath::Undecided);
    QCOMPARE(framePathLogs, 1);
    QObject* placement = place(QUrl::fromLocalFile(clip_), true);
    QSignalSpy started(placement, SIGNAL(videoStarted()));
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, test::videoWaitMs);
    QCOMPARE(framePathLogs, 1);
}

void TestVideoPlacement::gpuItemGoneBeforeTheWindowDraws()
{
    // The GPU sink's item is made only while the process has not settled on a frame path. It
    // asks the window for work at its next drawing; a placement that goes before then must not
    // leave that work calling into its item.
    GstVideoEngine::resetFramePathForTesting();
    window_->hide();
    QObject* placement = place(QUrl::fromLocalFile(clip_), false);
    QVERIFY(placement->property("gpuVideoItem").value<QObject*>());
    placements_.removeOne(placement);
    delete placement;
    QSignalSpy drawn(window_.get(), &QQuickWindow::afterRendering);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QVERIFY(drawn.wait(test::videoWaitMs) || !drawn.isEmpty());
}

QTEST_MAIN(TestVideoPlacement)
#include "tst_videoplacement.moc"
