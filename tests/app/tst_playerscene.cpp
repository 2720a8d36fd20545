// The main scene and its stages in a real Wayland window, against a stand-in for the controller
// made from the controller's own meta-object: the same properties (set by the test), the same
// signals (emitted by the test) and the same invokables (which only record their calls).

#include "controller/PlayerController.h"
#include "manifest/LayoutContract.h"
#include "operator/OperatorPanel.h"
#include "stage/CapabilityReport.h"
#include "stage/FontCatalog.h"
#include "stage/StageLayoutModel.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/SceneItems.h"
#include "tests/support/SceneWindow.h"
#include "tests/support/WebEngineStart.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QGuiApplication>
#include <QImage>
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
};

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestPlayerScene test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_playerscene.moc"
