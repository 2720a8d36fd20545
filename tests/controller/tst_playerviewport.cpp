// The controller as the scene sees it: the property surface the QML scene binds to, the sizes
// derived from the viewport, and the viewport calls with the observations they send.

#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"

#include <QJsonDocument>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

using namespace talvorine;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

// The scene's contract: name, type and notify signal ("-" for a constant) of every property,
// in declaration order.
constexpr const char* surface = R"(
stageA StageLayoutModel* - stageB StageLayoutModel* - opacityA double stagePresentationChanged
opacityB double stagePresentationChanged translateXPermilleA int stagePresentationChanged
translateYPermilleA int stagePresentationChanged translateXPermilleB int stagePresentationChanged
translateYPermilleB int stagePresentationChanged transitionDurationMs int transitionTimingChanged
transitionType QString stagePresentationChanged activeSlot int stagePresentationChanged
objectEnterArmed bool objectEnterChanged objectEnterSerial int objectEnterChanged
objectEnterDelayMs int - objectEnterDurationMs int - status QString statusChanged
pairingCode QString pairingChanged pairingCodeDisplay QString pairingChanged
pairingCodeSpoken QString pairingChanged pairingExpiryClock QString pairingChanged
hasActiveContent bool activeChanged fatalVisible bool fatalChanged fatalReason QString fatalChanged
groundColor QColor - inkColor QColor - inkBrightColor QColor - inkMutedColor QColor -
slideBackgroundColor QColor - playLetterboxColor QColor - slideBackgroundTopColor QColor -
slideBackgroundBottomColor QColor - slidePinstripeColor QColor - slideLocatorInkColor QColor -
slidePrimaryColor QColor - slideSecondaryColor QColor - slideCaptionColor QColor -
slidePinstripeHeightPx int - slideWordmarkXPx int overlayGeometryChanged
slideWordmarkYPx int overlayGeometryChanged slideWordmarkWidthPx int overlayGeometryChanged
slideWordmarkHeightPx int overlayGeometryChanged slideCopyWidthPx int overlayGeometryChanged
slideTitleSizePx int overlayGeometryChanged slidePairingSizePx int overlayGeometryChanged
slideBodySizePx int overlayGeometryChanged slideCaptionSizePx int overlayGeometryChanged
bannerPlateColor QColor - bannerTextOnPlateColor QColor - qmlGpuVideoAvailable bool -
applicationPackageCacheRoot QString - toastVisible bool toastChanged toastText QString toastChanged
toastFill QColor toastChanged toastTransitionMs int - overlayCondition QString overlayChanged
overlayLevel QString overlayChanged overlayMarkIcon QString overlayChanged
overlayMarkPaths QStringList overlayChanged chipAccessibleName QString overlayChanged
chipLabel QString overlayChanged chipDetail QString overlayChanged chipVisible bool overlayChanged
chipFill QColor overlayChanged overlayOnFillColor QColor - overlayMarkColor QColor overlayChanged
noticeVisible bool overlayChanged noticeText QString overlayChanged noticeIcon QString overlayChanged
noticeIconPaths QStringList overlayChanged chipLeftPx int overlayChanged
noticeLeftPx int overlayChanged noticeFill QColor overlayChanged
noticeTextSizePx int overlayGeometryChanged toastMarkPaths QStringList toastChanged
toastMaxWidthPx int overlayChanged screenLabel QString overlayChanged
offlineSinceClock QString overlayChanged identifyVisible bool identifyChanged
identifyLabel QString identifyChanged splashVisible bool splashChanged
splashOpacity double splashChanged splashCrossfadeMs int -
safeAreaHorizontalPx int overlayGeometryChanged safeAreaVerticalPx int overlayGeometryChanged
statusIconSizePx int overlayGeometryChanged syncGlyph QString syncGlyphChanged
syncGlyphSizePx int overlayGeometryChanged toastTextSizePx double overlayGeometryChanged
identifyTextSizePx double overlayGeometryChanged toastPaddingPx int overlayGeometryChanged
identifyPaddingPx int overlayGeometryChanged splashMarkWidthPx int overlayGeometryChanged
splashMarkHeightPx int overlayGeometryChanged settingsBoxPx int overlayGeometryChanged
locatorTextSizePx double overlayGeometryChanged locatorLetterSpacing double overlayGeometryChanged
setupEntranceMs int - setupCopyInsetPx int overlayGeometryChanged
setupCopyWidthPx int overlayGeometryChanged setupLocatorPlatePaddingPx int overlayGeometryChanged
headlineTextSizePx double overlayGeometryChanged bodyTextSizePx double overlayGeometryChanged
captionTextSizePx double overlayGeometryChanged listGapPx int overlayGeometryChanged
majorGapPx int overlayGeometryChanged operatorPanel OperatorPanel* -
pairingHandoff bool pairingChanged pairingCelebrating bool pairingCelebrationChanged
pairingCelebrationMs int - reducedMotion bool - adActive bool adActiveChanged
playbackPaused bool overlayChanged
)";

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinite = std::numeric_limits<double>::infinity();

} // namespace

class TestPlayerViewport : public QObject {
    Q_OBJECT
private slots:
    void propertySurface()
    {
        const QStringList words = QString::fromLatin1(surface).simplified().split(QLatin1Char(' '));
        QCOMPARE(words.size(), 112 * 3);
        const QMetaObject& meta = PlayerController::staticMetaObject;
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 112);
        for (int i = 0; i < 112; ++i) {
            const QMetaProperty property = meta.property(meta.propertyOffset() + i);
            const QString at = QStringLiteral("#%1 %2").arg(i).arg(words[3 * i]);
            QVERIFY2(property.name() == words[3 * i], qPrintable(at));
            QVERIFY2(QString::fromLatin1(property.typeName()).remove(QStringLiteral("talvorine::"))
                         == words[3 * i + 1],
                     qPrintable(at + QStringLiteral(" ") + property.typeName()));
            QVERIFY2(!property.isWritable(), qPrintable(at));
            if (words[3 * i + 2] == QLatin1String("-"))
                QVERIFY2(property.isConstant() && !property.hasNotifySignal(), qPrintable(at));
            else
                QVERIFY2(property.notifySignal().name() == words[3 * i + 2], qPrintable(at));
        }
    }

    void slideSizes_data()
    {
        QTest::addColumn<QSizeF>("frame");
        QTest::addColumn<QList<int>>("sizes"); // x, y, width, height, copy, title, pairing,
                                               // body, caption
        QTest::newRow("design") << QSizeF(1920, 1080)
                                << QList<int>{59, 972, 344, 64, 1600, 80, 96, 36, 22};
        QTest::newRow("wide scales by the tighter ratio")
            << QSizeF(3840, 1080) << QList<int>{118, 972, 688, 64, 3200, 80, 96, 36, 22};
        QTest::newRow("small") << QSizeF(1280, 720)
                               << QList<int>{39, 648, 229, 43, 1067, 53, 64, 24, 15};
        QTest::newRow("zero height")
            << QSizeF(1920, 0) << QList<int>{59, 0, 344, 0, 1600, 0, 0, 0, 0};
        QTest::newRow("one pixel") << QSizeF(1, 1) << QList<int>{0, 1, 0, 0, 1, 0, 0, 0, 0};
        // Positions are taken in 64 bits: a frame at the int limit may not wrap around.
        QTest::newRow("beyond the int range")
            << QSizeF(3e9, 1080)
            << QList<int>{65990383, 972, 384757487, 64, 1789569706, 80, 96, 36, 22};
    }
    void slideSizes()
    {
        QFETCH(QSizeF, frame);
        QFETCH(QList<int>, sizes);
        // A frame without height never passes the viewport call; only the constructor has one.
        ControllerHarness::Options options;
        if (frame.height() <= 0)
            options.frame = frame;
        ControllerHarness harness(options);
        QVERIFY2(harness.ready(), qPrintable(harness.setupError()));
        if (frame.height() > 0)
            harness.controller().setViewport(frame.width(), frame.height());
        const char* names[] = {"slideWordmarkXPx",     "slideWordmarkYPx", "slideWordmarkWidthPx",
                               "slideWordmarkHeightPx", "slideCopyWidthPx", "slideTitleSizePx",
                               "slidePairingSizePx",   "slideBodySizePx",  "slideCaptionSizePx"};
        QList<int> actual;
        for (const char* name : names)
            actual.append(harness.controller().property(name).toInt());
        QCOMPARE(actual, sizes);
    }

    void reducedMotion_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("reduced");
        // The variable's reading is the animation policy's; the property only has to follow it.
        QTest::newRow("1") << QByteArray("1") << true;
        QTest::newRow("unset") << QByteArray() << false;
    }
    void reducedMotion()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, reduced);
        if (value.isNull())
            qunsetenv("TALVORINE_REDUCED_MOTION");
        else
            qputenv("TALVORINE_REDUCED_MOTION", value);
        ControllerHarness harness;
        QVERIFY2(harness.ready(), qPrintable(harness.setupError()));
        QCOMPARE(harness.controller().property("reducedMotion").toBool(), reduced);
        qunsetenv("TALVORINE_REDUCED_MOTION");
    }

    // One flow of viewport calls: what is refused, when the geometry changes, and which
    // observations reach the service.
    void viewportAndObservation()
    {
        ControllerHarness harness;
        QVERIFY2(harness.ready(), qPrintable(harness.setupError()));
        PlayerController& controller = harness.controller();
        QSignalSpy geometry(&controller, &PlayerController::overlayGeometryChanged);
        QList<Reply> accepted;
        for (int i = 0; i < 4; ++i)
            accepted.append(Reply::json(204, QByteArray()));
        harness.service().script("PUT", W::observationRoute, accepted);

        struct Step {
            double width, height, ratio;
            bool output;
            bool geometryChanges;
            // Sent to the service: waited for, since the transport sends only the latest of
            // observations made while one is on its way.
            bool observed = false;
        };
        const auto apply = [&](const Step& step) {
            geometry.clear();
            controller.setViewport(step.width, step.height, step.ratio, step.output);
            return geometry.size() == (step.geometryChanges ? 1 : 0);
        };
        // Without a session nothing is observed; the values still count as the viewport.
        QVERIFY(apply({1280, 720, 1, true, true}));
        QCOMPARE(controller.property("slideCopyWidthPx").toInt(), 1067);
        QVERIFY(harness.mintSession());

        const Step steps[] = {
            {1280, 720, 1, true, false, true},   // observed: output
            {1280, 720, 1, true, false},   // the same again: nothing
            {1280, 720, 1, false, false, true},  // observed: windowed
            {0, 720, 1, false, false},     // refused sizes
            {notANumber, 720, 1, false, false},
            {1280, -1, 1, false, false},
            {infinite, 720, 1, false, false},
            {1280, 720, 0, false, false},  // ratios that keep the previous one
            {1280, 720, 33, false, false},
            {1280, 720, notANumber, false, false},
            {1280, 720, 32, false, false, true}, // observed: the largest ratio
            {1919.9, 1080, 32, false, true, true}, // observed as 1919
            {100001, 1080, 32, false, true}, // laid out, not observed
        };
        qsizetype observations = 0;
        for (const Step& step : steps) {
            QVERIFY(apply(step));
            if (step.observed) {
                ++observations;
                QTRY_COMPARE_WITH_TIMEOUT(harness.service().requestsTo(W::observationRoute).size(),
                                          observations, ControllerHarness::waitMs);
            }
        }
        QCOMPARE(controller.property("safeAreaHorizontalPx").toInt(), 5000);

        const QList<QList<QVariant>> expected{{1280, 720, 1.0, "output"},
                                              {1280, 720, 1.0, "windowed"},
                                              {1280, 720, 32.0, "windowed"},
                                              {1919, 1080, 32.0, "windowed"}};
        QTRY_COMPARE_WITH_TIMEOUT(harness.service().requestsTo(W::observationRoute).size(),
                                  expected.size(), ControllerHarness::waitMs);
        const auto requests = harness.service().requestsTo(W::observationRoute);
        for (int i = 0; i < expected.size(); ++i) {
            const QJsonObject surface = QJsonDocument::fromJson(requests[i].body)
                                            .object()
                                            .value("surfaces")
                                            .toArray()
                                            .first()
                                            .toObject();
            QCOMPARE(surface.value("width").toInt(), expected[i][0].toInt());
            QCOMPARE(surface.value("height").toInt(), expected[i][1].toInt());
            QCOMPARE(surface.value("pixel_ratio").toDouble(), expected[i][2].toDouble());
            QCOMPARE(surface.value("presentation").toString(), expected[i][3].toString());
        }
        harness.verifyNoSurprises();
    }
};

QTEST_MAIN(TestPlayerViewport)
#include "tst_playerviewport.moc"
