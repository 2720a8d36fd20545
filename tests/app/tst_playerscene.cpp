// The main scene and its stages in a real Wayland window, against a stand-in for the controller
// made from the controller's own meta-object: the same properties (set by the test), the same
// signals (emitted by the test) and the same invokables (which only record their calls).

#include "controller/PlayerController.h"
#include "manifest/LayoutContract.h"
#include "operator/OperatorPanel.h"
#include "stage/CapabilityReport.h"
#include "stage/FontCatalog.h"
#include "stage/StageLayoutModel.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/SceneItems.h"
#include "tests/support/SceneWindow.h"
#include "tests/support/TestFiles.h"
#include "tests/support/WebEngineStart.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJSValue>
#include <QMetaMethod>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvorine;

namespace {

constexpr int waitMs = 30000;

QByteArray qmlType(const char* cppType)
{
    const QByteArray type(cppType);
    if (type == "double")
        return "real";
    if (type == "QString")
        return "string";
    if (type == "QColor")
        return "color";
    if (type == "int" || type == "bool")
        return type;
    return "var";
}

// A QML object with every property, signal and invokable of the controller; each call of an
// invokable is recorded as [name, arguments...] and answers false.
QByteArray standInSource()
{
    const QMetaObject& meta = PlayerController::staticMetaObject;
    QByteArray qml = "import QtQuick\nQtObject {\n    property var calls: []\n";
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        qml += "    property " + qmlType(property.typeName()) + ' ' + property.name() + '\n';
    }
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        // Default arguments appear as clones with fewer parameters; the full one comes first.
        if (method.attributes() & QMetaMethod::Cloned)
            continue;
        QByteArrayList parameters;
        for (int p = 0; p < method.parameterCount(); ++p)
            parameters.append(method.parameterNames().at(p));
        if (method.methodType() == QMetaMethod::Signal && method.parameterCount() > 0) {
            QByteArrayList typed;
            for (int p = 0; p < method.parameterCount(); ++p)
                typed.append(qmlType(method.parameterTypes().at(p)) + ' ' + parameters.at(p));
            qml += "    signal " + method.name() + '(' + typed.join(", ") + ")\n";
        } else if (method.methodType() == QMetaMethod::Method) {
            const QByteArray list = parameters.join(", ");
            qml += "    function " + method.name() + '(' + list + ") { calls.push([\""
                + method.name() + "\"" + (list.isEmpty() ? "" : ", " + list) + "]); return false }\n";
        }
    }
    return qml + "}\n";
}

Primitive primitive(const QString& id, PrimitiveKind kind, QRectF rect, QJsonObject binding = {})
{
    Primitive p;
    p.id = id;
    p.kind = kind;
    p.rect = rect;
    p.contentFit = QStringLiteral("fill");
    p.binding = std::move(binding);
    return p;
}

using test::itemsBelow;

bool near(QRgb seen, QRgb wanted)
{
    return test::classify(seen, wanted, wanted, 48) == test::Seen::Outgoing;
}

bool drawn(const QQuickItem* item)
{
    return item->isVisible() && item->opacity() > 0;
}

} // namespace

class TestPlayerScene : public test::SceneTestCase {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    std::unique_ptr<CapabilityReport> capabilities_;
    std::unique_ptr<WebPackageSchemeCoordinator> webPackages_;
    std::unique_ptr<OperatorPanel> panel_;
    std::unique_ptr<StageLayoutModel> stageA_;
    std::unique_ptr<StageLayoutModel> stageB_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QObject* controller_ = nullptr;
    QQuickWindow* window_ = nullptr;

    QString file(const QString& name) const { return dir_.filePath(name); }

    QList<QVariantList> calls(const QString& name) const
    {
        QList<QVariantList> found;
        QVariant recorded = controller_->property("calls");
        if (recorded.metaType() == QMetaType::fromType<QJSValue>())
            recorded = recorded.value<QJSValue>().toVariant();
        for (const QVariant& call : recorded.toList()) {
            const QVariantList arguments = call.toList();
            if (arguments.value(0).toString() == name)
                found.append(arguments.mid(1));
        }
        return found;
    }
    int callCount(const QString& name, const QVariantList& arguments) const
    {
        return int(calls(name).count(arguments));
    }

    QList<QQuickItem*> itemsOf(const char* qmlType) const
    {
        QList<QQuickItem*> found;
        for (QQuickItem* item : itemsBelow(window_->contentItem())) {
            if (QByteArray(item->metaObject()->className()).startsWith(qmlType))
                found.append(item);
        }
        return found;
    }
    QQuickItem* stage(int slot) const
    {
        for (QQuickItem* item : itemsOf("ResolvedStage")) {
            if (item->property("slot").toInt() == slot)
                return item;
        }
        return nullptr;
    }
    QQuickItem* textShowing(const QString& text) const
    {
        for (QQuickItem* item : itemsBelow(window_->contentItem())) {
            if (item->property("text").toString().contains(text) && item->isVisible())
                return item;
        }
        return nullptr;
    }
    void set(const char* name, const QVariant& value) { controller_->setProperty(name, value); }

    // Stage B, drawn but off glass under an empty stage A, shows one picture primitive of the
    // window's size in pixels (its canvas is three times that); true once the row is ready.
    bool showPicture(Primitive shown, const QByteArray& bytes, quint64 generation)
    {
        const QString picture = file(QStringLiteral("%1.picture").arg(generation));
        if (!testfiles::write(picture, bytes))
            return false;
        set("chipVisible", false);
        set("hasActiveContent", true);
        set("transitionDurationMs", 0);
        set("opacityB", 1.0);
        set("translateXPermilleB", 0);
        set("activeSlot", 0);
        Page page;
        page.id = QStringLiteral("pictures");
        page.canvas.width = 1920;
        page.canvas.height = 1080;
        page.canvas.background = CanvasBackground{0, QStringLiteral("#000000FF"), {}};
        page.transition = QJsonObject{{"type", "crossfade"}, {"durationMs", 0}};
        shown.rect = QRectF(shown.rect.topLeft() * 3, shown.rect.size() * 3);
        page.primitives = {shown};
        const LayoutResult layout = LayoutContract::resolveLayout(page, QSizeF(640, 360));
        if (!std::holds_alternative<ResolvedPage>(layout))
            return false;
        stageB_->setScene(page, std::get<ResolvedPage>(layout), QStringLiteral("screen-1"),
                          generation, QSizeF(640, 360));
        if (!stageB_->bindVerifiedMediaFile(shown.id, QUrl::fromLocalFile(picture)))
            return false;
        return QTest::qWaitFor([&] { return callCount("primitiveReady", {1, shown.id}) > 0; },
                               waitMs);
    }
    QRgb pixelAt(QPoint point) const { return window_->grabWindow().pixel(point); }

private slots:
    void initTestCase()
    {
        SceneTestCase::initTestCase();
        if (QTest::currentTestFailed())
            return;
        capabilities_ = std::make_unique<CapabilityReport>(nullptr);
        webPackages_ = std::make_unique<WebPackageSchemeCoordinator>();
        panel_ = std::make_unique<OperatorPanel>(file("operator-pin"), file("operator-brightness"));
        stageA_ = std::make_unique<StageLayoutModel>(nullptr);
        stageB_ = std::make_unique<StageLayoutModel>(nullptr);

        engine_ = std::make_unique<QQmlApplicationEngine>();
        QQmlComponent standIn(engine_.get());
        standIn.setData(standInSource(), QUrl(QStringLiteral("file:///StandIn.qml")));
        controller_ = standIn.create();
        QVERIFY2(controller_, qPrintable(standIn.errorString()));
        set("stageA", QVariant::fromValue<QObject*>(stageA_.get()));
        set("stageB", QVariant::fromValue<QObject*>(stageB_.get()));
        set("operatorPanel", QVariant::fromValue<QObject*>(panel_.get()));
        set("activeSlot", -1);
        set("splashVisible", false);
        set("playLetterboxColor", QColor(Qt::black));
        set("groundColor", QColor(0x10, 0x18, 0x20));

        engine_->setInitialProperties({{"debugWindowed", true},
                                       {"debugWindowSize", QSize(640, 360)}});
        QQmlContext* context = engine_->rootContext();
        context->setContextProperty("talvorineController", controller_);
        context->setContextProperty("talvorineCapabilities", capabilities_.get());
        context->setContextProperty("talvorineWebPackages", webPackages_.get());
        context->setContextProperty("talvorineFonts", &FontCatalog::instance());
        engine_->load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
        QCOMPARE(engine_->rootObjects().size(), 1);
        window_ = qobject_cast<QQuickWindow*>(engine_->rootObjects().first());
        QVERIFY(window_);
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        // No animation: the scene tells the controller at once; and its size, once.
        QCOMPARE(calls("finishStartupAnimation").size(), 1);
        QCOMPARE(calls("setViewport").value(0).mid(0, 2), (QVariantList{640, 360}));
    }

    void cleanupTestCase()
    {
        engine_.reset();
        SceneTestCase::cleanupTestCase();
    }

    // Readiness and failures of every kind of row, on slot 1; then the video's events.
    void rowsReportWithTheirSlot()
    {
        QImage picture(64, 36, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        QVERIFY(picture.save(file("picture.png")));
        QFile broken(file("broken.png"));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("not a picture") > 0);
        broken.close();
        // A picture that cannot be decoded says so.
        test::SceneWindow::expectWarning(broken.fileName() + QStringLiteral(": Unsupported image format"));
        QString error;
        QVERIFY2(test::makeMovingClip(file("clip.mkv"), 160, 90, 10, 30, &error),
                 qPrintable(error));
        QVERIFY(test::makeCorruptFile(file("corrupt.mkv")));

        Page page;
        page.id = QStringLiteral("hall");
        page.canvas.width = 1920;
        page.canvas.height = 1080;
        page.transition = QJsonObject{{"type", "crossfade"}, {"durationMs", 800}};
        page.primitives = {
            primitive("img", PrimitiveKind::image, {0, 0, 640, 360}),
            primitive("vid", PrimitiveKind::video, {640, 0, 640, 360}),
            primitive("badimg", PrimitiveKind::image, {1280, 0, 640, 360}),
            primitive("badvid", PrimitiveKind::video, {0, 360, 640, 360}),
            primitive("gone", PrimitiveKind::video, {640, 360, 640, 360}),
            primitive("web", PrimitiveKind::iframe, {1280, 360, 640, 360},
                      {{"src", "https://127.0.0.1/"}, {"title", "Board"}}),
        };
        const LayoutResult layout = LayoutContract::resolveLayout(page, QSizeF(640, 360));
        if (const auto* failure = std::get_if<LayoutFailure>(&layout))
            QFAIL(qPrintable(failure->detail));
        stageB_->setScene(page, std::get<ResolvedPage>(layout), QStringLiteral("screen-1"), 1,
                          QSizeF(640, 360));
        const auto bind = [this](const char* id, const QString& name) {
            return stageB_->bindVerifiedMediaFile(id, QUrl::fromLocalFile(file(name)));
        };
        QVERIFY(bind("img", "picture.png") && bind("vid", "clip.mkv")
                && bind("badimg", "broken.png") && bind("badvid", "corrupt.mkv")
                && bind("gone", "missing.mkv"));

        const QList<std::pair<QString, QVariantList>> reports{
            {"primitiveReady", {1, "img"}},
            {"primitiveReady", {1, "vid"}},
            {"primitiveFailed", {1, "badimg", "image_decode_failed"}},
            {"primitiveFailed", {1, "badvid", "gstreamer_playback_error"}},
            {"primitiveFailed", {1, "gone", "pipeline_start_failed"}},
            {"primitiveFailed", {1, "web", "web_child_failed"}},
        };
        for (const auto& [name, arguments] : reports)
            QTRY_VERIFY2_WITH_TIMEOUT(callCount(name, arguments) == 1,
                                      qPrintable(name + arguments.value(1).toString()), waitMs);

        // On glass the video plays to its end; a restart plays it again.
        set("activeSlot", 1);
        const QVariantList video{1, "vid"};
        QTRY_COMPARE_WITH_TIMEOUT(callCount("videoStarted", video), 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(callCount("videoEndOfStream", video), 1, waitMs);
        QVERIFY(QMetaObject::invokeMethod(controller_, "videoRestartRequested", Q_ARG(int, 1),
                                          Q_ARG(QString, QStringLiteral("vid"))));
        QTRY_COMPARE_WITH_TIMEOUT(callCount("videoStarted", video), 2, waitMs);

        // Asked again, the rows already ready answer again; a failed one does not.
        const QVariant asked = QStringList{"img", "vid", "badimg"};
        QVERIFY(QMetaObject::invokeMethod(controller_, "candidateAwaitingReadiness",
                                          Q_ARG(int, 1), Q_ARG(QVariant, asked)));
        QCOMPARE(callCount("primitiveReady", {1, "img"}), 2);
        QCOMPARE(callCount("primitiveReady", {1, "vid"}), 2);
        QCOMPARE(callCount("primitiveReady", {1, "badimg"}), 0);
        QCOMPARE(callCount("primitiveFailed", {1, "web", "web_child_failed"}), 1);
        QVERIFY(calls("primitiveReady").size() + calls("primitiveFailed").size() == 8);
    }

    void stagesFollowThePoses()
    {
        QQuickItem* b = stage(1);
        QVERIFY(b);
        set("transitionDurationMs", 0);
        set("opacityB", 0.25);
        set("translateXPermilleB", -500);
        QCOMPARE(b->opacity(), 0.25);
        QCOMPARE(b->property("offsetX").toDouble(), -320.0);

        set("transitionDurationMs", 300);
        set("opacityB", 1.0);
        set("translateXPermilleB", 0);
        QVERIFY(b->opacity() < 1.0);
        QVERIFY(b->property("offsetX").toDouble() < 0);
        QTRY_COMPARE_WITH_TIMEOUT(b->opacity(), 1.0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(b->property("offsetX").toDouble(), 0.0, waitMs);
        // The slot on glass is drawn above the other.
        QVERIFY(b->z() > stage(0)->z());
    }

    void pairingScreen()
    {
        set("activeSlot", -1);
        set("pairingCode", "ABC234");
        set("pairingCodeDisplay", "ABC 234");
        set("pairingCodeSpoken", "Pairing code A B C, 2 3 4");
        set("pairingExpiryClock", "9:05am");
        QQuickItem* code = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((code = textShowing("ABC 234")) != nullptr, waitMs);
        QCOMPARE(QQmlProperty::read(code, "Accessible.name", qmlContext(code)).toString(),
                 QStringLiteral("Pairing code A B C, 2 3 4"));
        QVERIFY(textShowing("9:05am"));

        // Content on glass takes the screen back.
        set("activeSlot", 1);
        set("hasActiveContent", true);
        QTRY_VERIFY_WITH_TIMEOUT(!textShowing("ABC 234"), waitMs);
    }

    void fatalSurfaceHidesEverythingElse()
    {
        panel_->openFromPointer();
        QVERIFY(panel_->isOpen());
        set("chipVisible", true);
        set("chipLabel", "Offline");
        set("fatalReason", "This player cannot keep its local state.");
        set("fatalVisible", true);
        QTRY_VERIFY_WITH_TIMEOUT(textShowing("This player cannot keep its local state."), waitMs);
        QQuickItem* surface = itemsOf("FatalSurface").value(0);
        QVERIFY(surface && drawn(surface));
        // Whatever still shows is the surface itself or input that reaches nothing.
        for (QQuickItem* item : itemsBelow(window_->contentItem())) {
            const QByteArray type = item->metaObject()->className();
            const bool inert = type == "QQuickMouseArea" || type == "QQuickMultiPointTouchArea"
                || type == "QQuickItem" || type == "QQuickRepeater";
            if (drawn(item) && item != surface && !surface->isAncestorOf(item) && !inert)
                QFAIL(qPrintable(QStringLiteral("still shown: ") + type));
        }
        set("fatalVisible", false);
        panel_->close();
    }

    // A phone photograph stored on its side (EXIF orientation 6: its stored top is its right
    // side) is drawn upright and in its own aspect, whatever size the service declared; a
    // stream's fallback picture too. Points are in the window: red, blue, or the canvas's black.
    void photographsUpright_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<QSize>("declared");
        QTest::addColumn<QString>("fit");
        QTest::addColumn<QList<QPoint>>("red");
        QTest::addColumn<QList<QPoint>>("blue");
        QTest::addColumn<QList<QPoint>>("black");

        const int image = int(PrimitiveKind::image);
        QTest::newRow("upright rectangle, upright size")
            << image << QRect(20, 20, 200, 300) << QSize(200, 300) << "contain"
            << QList<QPoint>{{200, 170}, {200, 40}} << QList<QPoint>{{60, 170}, {120, 40}}
            << QList<QPoint>{};
        // The declared size gives a landscape box in the portrait rectangle: the upright
        // picture goes inside it.
        QTest::newRow("upright rectangle, stored size")
            << image << QRect(20, 20, 200, 300) << QSize(300, 200) << "contain"
            << QList<QPoint>{{155, 170}} << QList<QPoint>{{95, 170}, {120, 112}}
            << QList<QPoint>{{40, 170}, {185, 170}};
        QTest::newRow("landscape rectangle, stored size")
            << image << QRect(260, 20, 300, 200) << QSize(300, 200) << "contain"
            << QList<QPoint>{{460, 120}} << QList<QPoint>{{380, 120}, {410, 30}}
            << QList<QPoint>{{290, 120}, {530, 120}};
        QTest::newRow("landscape strip, stored size, cover")
            << image << QRect(260, 230, 300, 120) << QSize(300, 200) << "cover"
            << QList<QPoint>{{500, 240}, {500, 340}} << QList<QPoint>{{330, 240}, {330, 340}}
            << QList<QPoint>{};
        QTest::newRow("stream fallback")
            << int(PrimitiveKind::stream) << QRect(260, 20, 300, 200) << QSize(900, 600)
            << "contain" << QList<QPoint>{{460, 120}} << QList<QPoint>{{380, 120}, {410, 30}}
            << QList<QPoint>{{290, 120}, {530, 120}};
    }

    void photographsUpright()
    {
        QFETCH(int, kind);
        QFETCH(QRect, rect);
        QFETCH(QSize, declared);
        QFETCH(QString, fit);
        QFETCH(QList<QPoint>, red);
        QFETCH(QList<QPoint>, blue);
        QFETCH(QList<QPoint>, black);

        static quint64 generation = 100;
        ++generation;
        Primitive photograph =
            primitive(QStringLiteral("photo%1").arg(generation), PrimitiveKind(kind), rect);
        photograph.contentFit = fit;
        photograph.intrinsicSize = QSizeF(declared);
        if (kind == int(PrimitiveKind::stream))
            photograph.binding = {{"sources", QJsonArray{QJsonObject{
                                                  {"protocol", "hls"},
                                                  {"url", "https://127.0.0.1:9/live.m3u8"}}}}};
        QVERIFY(showPicture(photograph, test::orientedJpeg(QSize(300, 200), 6), generation));

        const QImage grab = window_->grabWindow();
        const QList<std::pair<QList<QPoint>, QRgb>> wanted{
            {red, qRgb(255, 0, 0)}, {blue, qRgb(0, 0, 255)}, {black, qRgb(0, 0, 0)}};
        for (const auto& [points, colour] : wanted) {
            for (const QPoint& at : points)
                QVERIFY2(near(grab.pixel(at), colour),
                         qPrintable(QStringLiteral("%1,%2 shows #%3, not #%4").arg(at.x()).arg(at.y())
                                        .arg(grab.pixel(at), 0, 16).arg(colour, 0, 16)));
        }
    }

    // Animated GIF and WebP play while their stage is on glass, from the first frame that made
    // them ready, and stand still off glass; no more than the frame shown and the next are held.
    void animationsPlayOnGlass_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QList<QRgb> colours{qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255),
                                  qRgb(255, 255, 0), qRgb(255, 0, 255)};
        QTest::newRow("gif, 25 frames") << test::animatedGif(QSize(96, 60), colours, 25, 100);
        QTest::newRow("webp, 4 frames") << test::animatedWebp(QSize(96, 60), colours, 4, 100);
    }

    void animationsPlayOnGlass()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!bytes.isEmpty());
        static quint64 generation = 200;
        ++generation;
        const QString id = QStringLiteral("anim%1").arg(generation);
        QVERIFY(showPicture(primitive(id, PrimitiveKind::image, {20, 20, 192, 120}), bytes,
                            generation));
        const QPoint centre(116, 80);

        // Off glass the first frame stays, over many of its delays.
        QVERIFY(near(pixelAt(centre), qRgb(255, 0, 0)));
        QTest::qWait(1000);
        QVERIFY(near(pixelAt(centre), qRgb(255, 0, 0)));

        // On glass it moves through its frames.
        set("activeSlot", 1);
        QList<QRgb> seen;
        QVERIFY(QTest::qWaitFor([&] {
            const QRgb now = pixelAt(centre);
            if (!seen.contains(now))
                seen.append(now);
            return seen.size() >= 3;
        }, waitMs));

        // Off glass again it stops where it is.
        QQuickItem* picture = itemsOf("talvorine::PictureItem").value(0);
        QVERIFY(picture);
        set("activeSlot", 0);
        const int stopped = picture->property("frameIndex").toInt();
        const QRgb still = pixelAt(centre);
        QTest::qWait(1000);
        QCOMPARE(picture->property("frameIndex").toInt(), stopped);
        QCOMPARE(pixelAt(centre), still);
        QVERIFY(picture->property("peakFramesHeld").toInt() <= 2);
    }
};

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestPlayerScene test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_playerscene.moc"
