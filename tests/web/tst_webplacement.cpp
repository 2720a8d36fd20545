// Web placements in a real engine, made as the stage makes them, with the stub application
// served from installed packages: prepared and ready under the splash, the application's
// requests carried out and the controller's answers carried back by whole key, the failures
// that end a placement once, what the page may not do (downloads, permissions, windows,
// dialogs), console classes and their bound, the probe, iframes held to public origins.

#include "app/DevFileLog.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/PlacementScene.h"
#include "web/WebPackageSchemeCoordinator.h"
#include "web/WebPlacementChannel.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJSValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

// Forty-five reloads of a document take as long as the machine makes them take.
constexpr int reloadsWaitMs = 240000;

QJsonObject size(int width, int height)
{
    return {{"width", width}, {"height", height}};
}

QJsonObject context(const QString& primitiveId)
{
    return {{"application_id", "app-0001"},
            {"release_id", "release-0001"},
            {"primitive_id", primitiveId},
            {"generation", 12},
            {"capabilities",
             QJsonObject{{"page.advance", true}, {"kv.read", true}, {"kv.write", true}}},
            {"viewport", size(800, 600)},
            {"primitive", size(640, 360)},
            {"screen_id", "screen-0001"}};
}

QJsonObject message(const QString& kind, const QString& id, const QJsonObject& payload = {})
{
    return {{"kind", kind}, {"message_id", id}, {"payload", payload}};
}

QJsonObject emitted(const QString& id)
{
    return message("event.emit", id, {{"code", "app.start"}});
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The stub's answers as "id kind" lines ("id problem code" for problems).
QStringList lines(const std::optional<QList<QJsonObject>>& answers)
{
    QStringList found;
    for (const QJsonObject& answer : answers.value_or(QList<QJsonObject>())) {
        const QString kind = answer.value("kind").toString();
        found.append(answer.value("id").toString() + ' ' + kind
                     + (kind == "problem"
                            ? ' ' + answer.value("problem").toObject().value("code").toString()
                            : answer.contains("result")
                                ? ' ' + compact(answer.value("result").toObject())
                                : QString()));
    }
    return found;
}

// The coordinator of placements showing pages of this machine, which no public origin can be:
// nothing is intercepted and every top document is let through; failures are recorded as ever.
class LocalPageCoordinator : public WebPackageSchemeCoordinator {
    Q_OBJECT
public:
    Q_INVOKABLE bool configure(QObject*, QString, QString, QString, bool) { return true; }
    Q_INVOKABLE bool allowsIframeMainFrame(QUrl, QString) const { return true; }
};

} // namespace

class TestWebPlacement : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void applicationOnGlass();
    void answersByWholeKey();
    void failsOnce_data();
    void failsOnce();
    void consoleMessages_data();
    void consoleMessages();
    void consoleAndDialogsBounded();
    void handshakeProbe_data();
    void handshakeProbe();
    void iframeReadyAtItsOrigin();

private:
    QObject* application(const QString& package, const QJsonObject& context, bool held = false);
    QList<QJsonObject> devLog(const QString& event) const;
    bool probeRunning(QObject* placement) const;
    // Whether the wrapper's handshake stage becomes the given one before reloadsWaitMs.
    bool waitForStage(QObject* web, const QString& stage);

    test::WrapperTestBench bench_;
    test::LoopbackHttpServer pages_;
    LocalPageCoordinator localPages_;
    test::PlacementScene scene_;
    QTemporaryDir logDir_;
    QList<QObject*> made_;
    QObject* console_ = nullptr;
};

void TestWebPlacement::initTestCase()
{
    QString error;
    QVERIFY2(bench_.start(&error), qPrintable(error));
    QVERIFY2(bench_.install("ready", {{"paint", "#ff00ff"}}, &error), qPrintable(error));
    QVERIFY2(bench_.install("quiet", {{"ready", false}}, &error), qPrintable(error));
    QVERIFY2(bench_.install("reloading", {{"ready", false}, {"reloads", 45}}, &error),
             qPrintable(error));
    QVERIFY2(scene_.start(&error), qPrintable(error));
    DevFileLog::configure(QUrl("http://localhost:1"), logDir_.path(), 0);

    // A page that logs every frame and asks for what nobody at a screen can give, then goes on.
    const test::LoopbackHttpServer::Headers html{{"Content-Type", "text/html"}};
    pages_.setRoute("/", {200, html, "<body style='background:#0ff'><script>for (let i = 0;"
                                     " i < 500; ++i) console.log(i); function asked() {"
                                     " document.title = [confirm(1), prompt(2), alert(3)] }"
                                     "</script><iframe src='/private' onload='asked()'>"});
    pages_.setRoute("/private", {401, {{"WWW-Authenticate", "Basic realm=x"}}, "who?"});
    QVERIFY(pages_.listening());
}

void TestWebPlacement::cleanup()
{
    for (QObject* placement : std::as_const(made_))
        scene_.destroy(placement);
    made_.clear();
}

void TestWebPlacement::cleanupTestCase()
{
    if (console_)
        scene_.destroy(console_);
}

QObject* TestWebPlacement::application(const QString& package, const QJsonObject& context,
                                       bool held)
{
    QVariantMap inputs = scene_.applicationInputs(bench_, package, context);
    inputs.insert("startupHeld", held);
    QString error;
    QObject* placement = scene_.create(inputs, &error);
    if (!placement)
        qWarning("%s", qPrintable(error));
    else
        made_.append(placement);
    return placement;
}

QList<QJsonObject> TestWebPlacement::devLog(const QString& event) const
{
    QList<QJsonObject> records;
    QFile file(DevFileLog::path());
    if (!file.open(QIODevice::ReadOnly))
        return records;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.value("event").toString() == event)
            records.append(record);
    }
    return records;
}

bool TestWebPlacement::probeRunning(QObject* placement) const
{
    QObject* probe = placement->findChild<QObject*>("handshakeProbe");
    return probe && probe->property("running").toBool();
}

void TestWebPlacement::applicationOnGlass()
{
    QObject* web = application("ready", context("hero"), true);
    QVERIFY(web);
    // Under the splash: prepared, and no context for the application until the splash retires.
    QVERIFY(scene_.waitUntil([&] { return scene_.count(web, "applicationPrepared") == 1; }));
    QVERIFY(scene_.reports(web, "stub.context").isEmpty());
    QCOMPARE(scene_.count(web, "placementReady"), 0);
    web->setProperty("startupHeld", false);
    QVERIFY(scene_.waitUntil([&] { return scene_.count(web, "placementReady") == 1; }));
    QVERIFY(scene_.waitUntil([&] { return scene_.reports(web, "stub.context").size() == 1; }));
    QCOMPARE(scene_.reports(web, "stub.context").at(0).value("primitive_id").toString(), "hero");

    // What the application draws reaches the window, inside the placement only.
    QImage grab;
    scene_.waitUntil([&] {
        grab = scene_.window()->grabWindow();
        return grab.pixelColor(320, 180) == QColor("#ff00ff");
    });
    QCOMPARE(grab.pixelColor(320, 180), QColor("#ff00ff"));
    QCOMPARE(grab.pixelColor(700, 500), QColor("black"));

    // Requests, in one burst: every queue is taken however the titles fall.
    QVERIFY(scene_.send(web, {message("log", "log-00001", {{"level", "warn"}, {"code", "app.note"},
                                                            {"message", "hello"}}),
                              emitted("event-0001"),
                              message("kv.get", "kvget-0001", {{"key", "greeting"}}),
                              message("page.advance", "advance-01")}));
    QVERIFY(scene_.waitUntil([&] {
        return scene_.count(web, "applicationKvRequested") == 1
            && scene_.count(web, "pageAdvanceRequested") == 1;
    }));
    const QJsonObject note{{"level", "warn"}, {"code", "app.note"}, {"message", "hello"}};
    QCOMPARE(scene_.applicationLogs(web), QList<QJsonObject>{note});
    QCOMPARE(scene_.count(web, "applicationEventRequested"), 1);
    for (const test::PlacementSignal& signal : scene_.signalsOf(web)) {
        if (signal.name == "applicationEventRequested")
            QCOMPARE(signal.arguments, (QVariantList{"app.start", "event-0001"}));
        if (signal.name == "applicationKvRequested")
            QCOMPARE(signal.arguments,
                     (QVariantList{"kvget-0001",
                                   QVariantMap{{"kind", "kv.get"}, {"key", "greeting"}}}));
    }

    // Answers: another generation's never, the right one once.
    const QString entry = compact({{"application_id", "app-0001"}, {"key", "greeting"},
                                   {"value_base64", "aGk="}, {"content_type", "text/plain"},
                                   {"bytes", 2}, {"revision", 3}, {"sha256", QString(64, 'a')}});
    auto* controller = scene_.controller();
    Q_EMIT controller->applicationKvFinished("11_hero_kvget-0001", 200, entry);
    Q_EMIT controller->applicationEventFinished("12_hero_event-0001", 202, "{}");
    Q_EMIT controller->applicationKvFinished("12_hero_kvget-0001", 200, entry);
    Q_EMIT controller->applicationKvFinished("12_hero_kvget-0001", 500, "{}");
    const QStringList answered = lines(scene_.send(web, {}));
    QCOMPARE(answered.size(), 2);
    QCOMPARE(answered.at(0), "event-0001 ack");
    QVERIFY2(answered.at(1).startsWith("kvget-0001 ack {") && answered.at(1).contains("greeting"),
             qPrintable(answered.at(1)));

    // Geometry follows the stage.
    web->setProperty("playerViewport", QSizeF(1024, 768));
    web->setProperty("width", 500);
    QVERIFY(scene_.waitUntil([&] {
        const auto reports = scene_.reports(web, "stub.viewport");
        return !reports.isEmpty()
            && reports.last().value("viewport").toObject() == size(1024, 768)
            && reports.last().value("primitive").toObject() == size(500, 360);
    }));

    // A download is cancelled and a permission denied, and the placement keeps running.
    QVERIFY(scene_.evaluate(web, "(() => { const a = document.createElement('a');"
                                 " a.href = URL.createObjectURL(new Blob(['x'])); a.download = 'x';"
                                 " document.body.appendChild(a); a.click(); a.remove();"
                                 " Notification.requestPermission().then(r => { window.asked = r; });"
                                 " return true; })()"));
    QVERIFY(scene_.waitUntil([&] {
        return scene_.count(web, "downloadRequested") == 1
            && scene_.evaluate(web, "window.asked") == QJsonValue("denied");
    }));
    for (const test::PlacementSignal& signal : scene_.signalsOf(web)) {
        if (signal.name == "downloadRequested")
            QCOMPARE(signal.arguments.value(0).toInt(), 3); // cancelled
    }
    QCOMPARE(lines(scene_.send(web, {emitted("event-0002")})), QStringList());
    QVERIFY(scene_.waitUntil([&] { return scene_.count(web, "applicationEventRequested") == 2; }));
    QCOMPARE(scene_.failures(web), QStringList());
}

void TestWebPlacement::answersByWholeKey()
{
    // Two applications whose keys share "12_hero_": each gets exactly its own answers.
    QObject* hero = application("ready", context("hero"));
    QObject* heroX = application("ready", context("hero_x"));
    QVERIFY(hero && heroX);
    QVERIFY(scene_.waitUntil([&] {
        return scene_.count(hero, "placementReady") == 1 && scene_.count(heroX, "placementReady") == 1;
    }));
    QVERIFY(scene_.send(hero, {emitted("x_event-01"), emitted("event-0002")}));
    QVERIFY(scene_.send(heroX, {emitted("event-0001")}));
    QVERIFY(scene_.waitUntil([&] {
        return scene_.count(hero, "applicationEventRequested") == 2
            && scene_.count(heroX, "applicationEventRequested") == 1;
    }));
    auto* controller = scene_.controller();
    Q_EMIT controller->applicationEventFinished("12_hero_x_event-0001", 500, "{}");
    Q_EMIT controller->applicationEventFinished("12_hero_event-0002", 202, "{}");
    Q_EMIT controller->applicationEventFinished("12_hero_x_event-0001", 202, "{}");
    QCOMPARE(lines(scene_.send(heroX, {})), QStringList{"event-0001 problem event_delivery_failed"});
    QCOMPARE(lines(scene_.send(hero, {})), QStringList{"event-0002 ack"});
}

void TestWebPlacement::failsOnce_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("stage");

    QTest::newRow("wrapper error title") << "context" << "web_child_failed" << "context_keys";
    QTest::newRow("renderer heap exhausted")
        << "exhaust" << "web_child_failed" << "renderer_terminated";
    QTest::newRow("new window") << "popup" << "web_popup_denied" << "";
    QTest::newRow("loopback iframe") << "https://127.0.0.1:9/page" << "web_child_failed"
                                     << "iframe_load";
    QTest::newRow("private iframe") << "https://192.168.10.20/page" << "web_child_failed"
                                    << "iframe_load";
}

void TestWebPlacement::failsOnce()
{
    QFETCH(QString, cause);
    QFETCH(QString, code);
    QFETCH(QString, stage);

    const int recorded = devLog("web.failure").size();
    QObject* web = nullptr;
    if (cause.startsWith("https:")) {
        const QUrl url(cause);
        web = scene_.create(scene_.iframeInputs(url, "https://" + url.authority()));
        made_.append(web);
    } else {
        QJsonObject broken = context("hero");
        if (cause == "context")
            broken.remove("screen_id");
        web = application(cause == "context" ? "quiet" : "ready", broken);
    }
    QVERIFY(web);
    if (cause == "exhaust" || cause == "popup") {
        QVERIFY(scene_.waitUntil([&] { return scene_.count(web, "placementReady") == 1; }));
    }
    const auto provoke = [&] {
        if (cause == "exhaust")
            scene_.command(web, {{"command", "exhaust"}});
        if (cause == "popup") {
            scene_.evaluate(web, "(() => { const a = document.createElement('a');"
                                 " a.href = 'about:blank'; a.target = '_blank';"
                                 " a.style = 'position:fixed;left:0;top:0;width:100px;height:100px;"
                                 "display:block'; document.body.appendChild(a); return true; })()");
            QTest::mouseClick(scene_.window(), Qt::LeftButton, {}, QPoint(50, 50));
        }
    };
    provoke();
    QVERIFY(scene_.waitUntil([&] { return !scene_.failures(web).isEmpty(); }));
    // Once: the same cause again, then a round trip through the page where one is left.
    if (cause == "popup") {
        provoke();
        QVERIFY(scene_.evaluate(web, "1"));
    }
    QCOMPARE(scene_.failures(web), QStringList{code});
    if (!stage.isEmpty()) {
        QStringList stages;
        for (const QJsonObject& failure : devLog("web.failure").mid(recorded))
            stages.append(failure.value("stage").toString());
        QVERIFY2(stages.contains(stage), qPrintable(stages.join(' ')));
    }
    // The player keeps running: a new placement of the same package still comes up.
    if (cause == "exhaust") {
        QObject* next = application("ready", context("hero"));
        QVERIFY(scene_.waitUntil([&] { return scene_.count(next, "placementReady") == 1; }));
    }
}

void TestWebPlacement::consoleMessages_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("stage");
    QTest::addColumn<bool>("withLine");

    QTest::newRow("local resource")
        << "Not allowed to load local resource: file:///etc" << "local_resource_denied" << false;
    QTest::newRow("policy") << "Refused to frame 'x' (a SyntaxError of sorts)" << "csp_denied"
                            << false;
    QTest::newRow("external protocol")
        << "external protocol blocked by sandbox" << "external_protocol_denied" << false;
    QTest::newRow("message origin")
        << "The target origin provided ('x') does not match" << "message_origin_mismatch" << false;
    QTest::newRow("security") << "Uncaught SecurityError: TypeError" << "js_security_error" << true;
    QTest::newRow("syntax") << "Uncaught SyntaxError: x" << "js_syntax_error" << true;
    QTest::newRow("network") << "net::ERR_FAILED TypeError" << "js_network_error" << true;
    QTest::newRow("type") << "Uncaught TypeError: x" << "js_type_error" << true;
    QTest::newRow("reference") << "Uncaught ReferenceError: x" << "js_reference_error" << true;
    QTest::newRow("anything else") << "hello" << "js_console" << true;
}

void TestWebPlacement::consoleMessages()
{
    QFETCH(QString, text);
    QFETCH(QString, stage);
    QFETCH(bool, withLine);

    if (!console_) {
        QVariantMap inputs = scene_.applicationInputs(bench_, "quiet", context("console"));
        console_ = scene_.create(inputs);
        QVERIFY(console_);
        QVERIFY(scene_.waitUntil(
            [&] { return scene_.reports(console_, "stub.context").size() == 1; }));
    }
    const int recorded = devLog("web.failure").size();
    // The message is logged from the second line of the evaluated script.
    QVERIFY(scene_.evaluate(console_, QStringLiteral("(() => {\nconsole.log(%1); return true; })()")
                                          .arg(QString::fromUtf8(QJsonDocument(QJsonArray{text})
                                                                     .toJson(QJsonDocument::Compact))
                                                   .mid(1)
                                                   .chopped(1))));
    QVERIFY(scene_.waitUntil([&] { return devLog("web.failure").size() > recorded; }));
    const QJsonObject record = devLog("web.failure").at(recorded);
    QCOMPARE(record.value("stage").toString(), stage);
    QCOMPARE(record.value("error_code").toInt(), withLine ? 2 : 0);
    QCOMPARE(scene_.failures(console_), QStringList());
}

// A public page's console is bounded: the first lines of a kind are recorded, the rest counted in
// one line at the minute (brought forward here). Its dialogs are refused at once and recorded
// once a kind, and the glass shows the page as it painted itself.
void TestWebPlacement::consoleAndDialogsBounded()
{
    const qsizetype recorded = devLog("web.failure").size();
    const qsizetype summed = devLog("web.failure_repeats").size();
    QVariantMap inputs = scene_.iframeInputs(pages_.url(), QString());
    inputs.insert("packageCoordinator", QVariant::fromValue<QObject*>(&localPages_));
    QObject* web = scene_.create(inputs);
    made_.append(web);
    QVERIFY(scene_.waitUntil(
        [&] { return scene_.evaluate(web, "document.title") == QJsonValue("false,,"); }));
    QStringList stages;
    for (const QJsonObject& failure : devLog("web.failure").mid(recorded))
        stages.append(failure.value("stage").toString());
    QCOMPARE(stages, QStringList(WebPlacementChannel::keptConsoleMessages, "js_console")
                         << "authentication_dialog" << "javascript_dialog");
    web->findChild<QObject*>("consoleRepeats")->setProperty("interval", 1);
    QVERIFY(scene_.waitUntil([&] { return devLog("web.failure_repeats").size() > summed; }));
    QCOMPARE(devLog("web.failure_repeats").at(summed).value("js_console").toInt(), 490);
    QVERIFY(scene_.waitUntil(
        [&] { return scene_.window()->grabWindow().pixelColor(320, 180) == Qt::cyan; }));
    QCOMPARE(scene_.failures(web), QStringList());
}

void TestWebPlacement::handshakeProbe_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("stage");

    QTest::newRow("ready") << "ready" << "ready";
    QTest::newRow("stopped") << "quiet" << "stopped";
    QTest::newRow("past its bound") << "reloading" << "context-sent";
}

void TestWebPlacement::handshakeProbe()
{
    QFETCH(QString, package);
    QFETCH(QString, stage);

    QObject* web = application(package, context("probe"));
    QVERIFY(web);
    QVERIFY(scene_.waitUntil([&] { return probeRunning(web); }));
    if (stage == "stopped") {
        QVERIFY(scene_.waitUntil([&] { return scene_.reports(web, "stub.context").size() == 1; }));
        QVERIFY(scene_.evaluate(web, "window.talvorineNativeWrapper.teardown() || true"));
    }
    const auto recorded = [web] {
        return web->property("handshakeLoggedStages").toInt()
            + web->property("handshakeDroppedLogged").toInt();
    };
    // However fast the application reloads, the probe stops once it has recorded past its bound
    // and records nothing more while the reloads go on; each reload ends with a context sent.
    QVERIFY(scene_.waitUntil([&] { return !probeRunning(web); }, reloadsWaitMs));
    const int atStop = recorded();
    QVERIFY(waitForStage(web, stage));
    QCOMPARE(recorded(), atStop);
    QCOMPARE(atStop > WebPlacementChannel::probeRecordLimit, stage == "context-sent");
    QCOMPARE(scene_.failures(web), QStringList());
}

bool TestWebPlacement::waitForStage(QObject* web, const QString& stage)
{
    QDeadlineTimer deadline(reloadsWaitMs);
    do {
        if (scene_.evaluate(web, "window.talvorineNativeWrapper.handshakeStage") == QJsonValue(stage))
            return true;
    } while (!deadline.hasExpired());
    return false;
}

void TestWebPlacement::iframeReadyAtItsOrigin()
{
    // No page of this machine may pass for a public one without switches the policy refuses, so
    // the view's load and navigation reports are given to the placement as the view gives them.
    const QUrl page("https://signage.example.com/board");
    QObject* web = scene_.create(scene_.iframeInputs(page, "https://signage.example.com"),
                                 nullptr, false);
    QVERIFY(web);
    made_.append(web);
    const auto loaded = [&](const QString& url, int status) {
        QVariantMap request{{"url", QUrl(url)}, {"status", status}, {"errorCode", 0}};
        QMetaObject::invokeMethod(web, "handleLoad", Q_ARG(QVariant, request));
    };
    const auto navigated = [&](const QString& url) {
        QJSValue request = qmlEngine(web)->newObject();
        request.setProperty("url", url);
        request.setProperty("isMainFrame", true);
        request.setProperty("action", 0);
        QMetaObject::invokeMethod(web, "judgeNavigation", Q_ARG(QVariant, QVariant::fromValue(request)));
        return request.property("action").toInt();
    };
    constexpr int succeeded = 2;
    constexpr int ignored = 255;
    QCOMPARE(navigated("https://signage.example.com/board"), 0);
    loaded("https://signage.example.com/board", succeeded);
    loaded("https://signage.example.com/board?again", succeeded);
    QCOMPARE(scene_.count(web, "placementReady"), 1);
    QCOMPARE(navigated("https://elsewhere.example.net/"), ignored);
    QCOMPARE(navigated("https://elsewhere.example.net/"), ignored);
    QCOMPARE(scene_.failures(web), QStringList{"web_child_failed"});
}

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestWebPlacement test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webplacement.moc"
