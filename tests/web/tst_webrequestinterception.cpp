// What a placement's profile refuses in a real web engine under the test compositor: top
// documents other than its own, in both modes, through the coordinator's interceptor; and
// package requests from other origins, at the handler itself below any interceptor.

#include "app/DevFileLog.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebEngineHarness.h"
#include "web/ApplicationPackageCache.h"
#include "web/WebPackageScheme.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QGuiApplication>
#include <QQuickWebEngineProfile>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

constexpr int limitMs = 30000;

// Loads a 1-pixel image of the package from the view's top document; answers "loaded" or
// "failed" once the engine has decided.
QString loadImage(test::EngineView& view, const QUrl& image)
{
    view.evaluate(QStringLiteral("window.outcome = ''; var probe = new Image(); "
                                 "probe.onload = function () { window.outcome = 'loaded' }; "
                                 "probe.onerror = function () { window.outcome = 'failed' }; "
                                 "probe.src = '%1';")
                      .arg(image.toString()));
    QString outcome;
    const auto decided = [&] {
        outcome = view.evaluate(QStringLiteral("window.outcome")).toString();
        return !outcome.isEmpty();
    };
    if (!QTest::qWaitFor(decided, limitMs))
        return {};
    return outcome;
}

} // namespace

class TestWebRequestInterception : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString root_;
    QString sha256_;
    WebPackageSchemeCoordinator coordinator_;
    std::unique_ptr<test::EngineView> uploaded_;
    std::unique_ptr<test::EngineView> iframe_;

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir_.path(), 0);
        root_ = dir_.filePath(QStringLiteral("application-cache"));
        ApplicationPackageCache cache(root_);
        const auto installed = test::installProbePackage(cache, test::probePackageFiles());
        QVERIFY(installed);
        sha256_ = installed->descriptor.sha256;

        uploaded_ = std::make_unique<test::EngineView>();
        QVERIFY(coordinator_.configure(uploaded_->profile(), root_, sha256_, QString(), true));
        // A profile switched from an application to an iframe placement keeps its handler,
        // and from then on its interceptor refuses every package request.
        iframe_ = std::make_unique<test::EngineView>();
        QVERIFY(coordinator_.configure(iframe_->profile(), root_, sha256_, QString(), true));
        QVERIFY(coordinator_.configure(iframe_->profile(), root_, sha256_,
                                       QStringLiteral("https://127.0.0.1"), false));
        QVERIFY(iframe_->profile()->urlSchemeHandler("talvorine-app"));
    }

    void cleanupTestCase()
    {
        iframe_.reset();
        uploaded_.reset();
        DevFileLog::configure(QUrl(), QString(), 0);
    }

    // Top documents each mode refuses, each recorded by scheme only.
    void refusedMainFrames_data()
    {
        QTest::addColumn<bool>("uploaded");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("scheme");
        QTest::newRow("application: another player page") << true << "qrc:/test/EngineView.qml"
                                                          << "qrc";
        QTest::newRow("application: the package itself") << true << "package" << "talvorine-app";
        QTest::newRow("application: a public page") << true << "https://8.8.8.8/" << "https";
        QTest::newRow("iframe: the wrapper") << false << "qrc:/web/trusted-wrapper.html" << "qrc";
        QTest::newRow("iframe: a package") << false << "package" << "talvorine-app";
        QTest::newRow("iframe: another origin") << false << "https://1.1.1.1/" << "https";
        // Its own assigned origin, but on loopback.
        QTest::newRow("iframe: its origin") << false << "https://127.0.0.1/" << "https";
        QTest::newRow("iframe: a file") << false << "file:///etc/hostname" << "file";
    }
    void refusedMainFrames()
    {
        QFETCH(bool, uploaded);
        QFETCH(QString, target);
        QFETCH(QString, scheme);
        test::EngineView& view = uploaded ? *uploaded_ : *iframe_;
        const qsizetype before = test::devLogRecords("web.request").size();
        const QUrl url = target == QLatin1String("package")
            ? WebPackageScheme::entryUrl(sha256_, QStringLiteral("index.html"))
            : QUrl(target);
        QVERIFY(!view.load(url));
        const QList<QJsonObject> recorded = test::devLogRecords("web.request").mid(before);
        QCOMPARE(recorded.size(), 1);
        QCOMPARE(test::recordFields(recorded[0]),
                 QJsonObject({{"scheme", scheme}, {"main_frame", true}, {"allowed", false}}));
    }

    // A page of any other origin reaches the handler and is turned away before the queue; so is
    // every page while no package is selected.
    void otherOriginsDeniedBeforeQueue()
    {
        test::HeldFileWork work;
        test::EngineView bare;
        auto* handler = new test::WatchedHandler(bare.profile(), work);
        bare.profile()->installUrlSchemeHandler("talvorine-app", handler);
        const QUrl image = WebPackageScheme::entryUrl(sha256_, QStringLiteral("pixel.png"));

        QVERIFY(bare.load(test::standInWrapperUrl()));
        QCOMPARE(loadImage(bare, image), QStringLiteral("failed"));
        QCOMPARE(work.started.load(), 1);

        handler->select(root_, sha256_);
        QVERIFY(bare.load(QUrl(QStringLiteral("data:text/html,<p>another origin</p>"))));
        QCOMPARE(loadImage(bare, image), QStringLiteral("failed"));
        QCOMPARE(work.started.load(), 2);

        QVERIFY(bare.load(test::standInWrapperUrl()));
        QCOMPARE(loadImage(bare, image), QStringLiteral("loaded"));
        QCOMPARE(work.started.load(), 3);
        QCOMPARE(work.entered.load(), 1);
    }
};

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestWebRequestInterception test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webrequestinterception.moc"
