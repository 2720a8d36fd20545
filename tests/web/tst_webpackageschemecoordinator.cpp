#include "app/DevFileLog.h"
#include "tests/support/TestSupport.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

const QString digest = QStringLiteral("0123456789abcdef0123456789abcdef"
                                      "fedcba9876543210fedcba9876543210");
const QString other = QStringLiteral("ffffffffffffffffffffffffffffffff"
                                     "00000000000000000000000000000000");

QString packageUrl(const QString& sha256, const QString& path)
{
    return QStringLiteral("talvorine-app://%1.%2/%3").arg(sha256.left(32), sha256.mid(32), path);
}

} // namespace

Q_DECLARE_METATYPE(QWebEngineUrlRequestInfo::ResourceType)

class TestWebPackageSchemeCoordinator : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    WebPackageSchemeCoordinator coordinator_;

    QList<QJsonObject> takeRecords()
    {
        const QString path = DevFileLog::path();
        const QList<QJsonObject> records = test::readJsonLines(path);
        QFile::remove(path);
        return records;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir_.path(), 0);
        QVERIFY(DevFileLog::enabled());
    }
    void cleanupTestCase() { DevFileLog::configure(QUrl(), QString(), 0); }
    void init() { takeRecords(); }

    // Each request as the interceptor sees it, and its verdict: "pass" (no record), "logged"
    // (allowed and recorded) or "blocked" (refused and recorded).
    void interception_data()
    {
        QTest::addColumn<bool>("uploaded");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QWebEngineUrlRequestInfo::ResourceType>("type");
        QTest::addColumn<QString>("initiator");
        QTest::addColumn<QString>("verdict");
        using R = QWebEngineUrlRequestInfo;
        const QString wrapper = QStringLiteral("qrc:/web/trusted-wrapper.html");
        const QString entry = packageUrl(digest, QStringLiteral("index.html"));
        const QString asset = packageUrl(digest, QStringLiteral("app/main.js"));
        const QString own = packageUrl(digest, QString());
        bool uploaded = true;
        QString selected = digest;
        const auto row = [&](const char* name, const QString& url, R::ResourceType type,
                             const QString& initiator, const char* verdict) {
            QTest::newRow(name) << uploaded << selected << url << type << initiator << verdict;
        };

        // An uploaded application: the wrapper on top, its package inside.
        row("wrapper", wrapper, R::ResourceTypeMainFrame, "", "logged");
        row("other qrc main frame", "qrc:/web/other.html", R::ResourceTypeMainFrame, "", "blocked");
        row("https main frame", "https://8.8.8.8/", R::ResourceTypeMainFrame, "", "blocked");
        row("package main frame", entry, R::ResourceTypeMainFrame, "qrc:", "blocked");
        row("package frame from wrapper", entry, R::ResourceTypeSubFrame, "qrc:", "logged");
        row("package frame from another package", entry, R::ResourceTypeSubFrame,
            packageUrl(other, ""), "blocked");
        row("package script from itself", asset, R::ResourceTypeScript, own, "pass");
        row("package request from itself", asset, R::ResourceTypeXhr, own.chopped(1), "pass");
        row("package worker from itself", asset, R::ResourceTypeWorker, own, "pass");
        row("another package's host", packageUrl(other, "a.js"), R::ResourceTypeScript, own,
            "blocked");
        row("package request from https", asset, R::ResourceTypeXhr, "https://8.8.8.8", "blocked");
        row("package request from a package path", asset, R::ResourceTypeXhr, own + "app/",
            "blocked");
        row("package request, no initiator", asset, R::ResourceTypeImage, "", "blocked");
        row("package service worker", asset, R::ResourceTypeServiceWorker, own, "blocked");
        row("package WebSocket", asset, R::ResourceTypeWebSocket, own, "blocked");
        row("qrc script", "qrc:/web/wrapper.js", R::ResourceTypeScript, "qrc:", "pass");
        // The player's resources are for its own pages (a "qrc" origin without a host) alone.
        row("wrapper framed by the package", wrapper, R::ResourceTypeSubFrame, own, "blocked");
        row("qrc image from the package", "qrc:/a.svg", R::ResourceTypeImage, own, "blocked");
        row("qrc script from its frame", "qrc:/a.js", R::ResourceTypeScript, "https://8.8.8.8",
            "blocked");
        row("qrc script from a qrc host", "qrc:/a.js", R::ResourceTypeScript, "qrc://x", "blocked");
        row("public wss", "wss://8.8.8.8/live", R::ResourceTypeWebSocket, own, "pass");
        row("loopback wss", "wss://127.0.0.1/live", R::ResourceTypeWebSocket, own, "blocked");
        row("public https frame", "https://8.8.8.8/", R::ResourceTypeSubFrame, own, "logged");
        row("private https image", "https://10.0.0.1/x.png", R::ResourceTypeImage, own, "blocked");
        row("local name image", "https://printer.local./x.png", R::ResourceTypeImage, own, "blocked");
        row("http image", "http://8.8.8.8/x.png", R::ResourceTypeImage, own, "blocked");
        row("file request", "file:///etc/passwd", R::ResourceTypeXhr, own, "blocked");
        selected = QString();
        row("no package selected", asset, R::ResourceTypeScript, own, "blocked");
        selected = digest.toUpper();
        row("malformed package selected", asset, R::ResourceTypeScript, own, "blocked");

        // An iframe placement: its assigned origin on top, never a player page or a package.
        uploaded = false;
        selected = digest;
        row("iframe main frame", "https://8.8.8.8/app", R::ResourceTypeMainFrame, "", "logged");
        row("iframe main frame, port 443", "https://8.8.8.8:443/", R::ResourceTypeMainFrame, "",
            "logged");
        row("iframe main frame, other origin", "https://1.1.1.1/", R::ResourceTypeMainFrame, "",
            "blocked");
        row("iframe wrapper", wrapper, R::ResourceTypeMainFrame, "", "blocked");
        row("iframe qrc frame", wrapper, R::ResourceTypeSubFrame, "https://8.8.8.8", "blocked");
        row("iframe qrc image", "qrc:/overlay/icons/pause.svg", R::ResourceTypeImage,
            "https://8.8.8.8", "blocked");
        row("iframe package frame", entry, R::ResourceTypeSubFrame, "qrc:", "blocked");
        row("iframe package script", asset, R::ResourceTypeScript, own, "blocked");
        row("iframe other-origin image", "https://1.1.1.1/a.png", R::ResourceTypeImage,
            "https://8.8.8.8", "pass");
        row("iframe other-origin frame", "https://1.1.1.1/", R::ResourceTypeSubFrame,
            "https://8.8.8.8", "logged");
    }
    void interception()
    {
        QFETCH(bool, uploaded);
        QFETCH(QString, selected);
        QFETCH(QString, url);
        QFETCH(QWebEngineUrlRequestInfo::ResourceType, type);
        QFETCH(QString, initiator);
        QFETCH(QString, verdict);
        const InterceptedPlacement placement{QStringLiteral("https://8.8.8.8"), selected, uploaded};
        int lookups = 0;
        const NameResolver resolver = [&lookups](const QString&) {
            ++lookups;
            return QList<QHostAddress>{QHostAddress(QStringLiteral("93.184.216.34"))};
        };
        const InterceptionVerdict answer =
            interceptionVerdict(placement, QUrl(url), type, QUrl(initiator), resolver);
        QCOMPARE(answer.allowed, verdict != QLatin1String("blocked"));
        QCOMPARE(answer.recorded, verdict != QLatin1String("pass"));
        QCOMPARE(lookups, 0);
    }

    void configureRefusesOtherObjects()
    {
        QObject notAProfile;
        QVERIFY(!coordinator_.configure(&notAProfile, dir_.path(), digest, QString(), true));
        QVERIFY(!coordinator_.configure(nullptr, dir_.path(), digest, QString(), false));
        QVERIFY(!notAProfile.property("talvorinePrivateNetworkInterceptor").isValid());
    }

    void recordHandshake_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<QString>("recordedOrigin");
        const QString origin = packageUrl(digest, QString());
        const QString longest(128, u'a');
        QTest::newRow("stage and origin") << "wrapper-loaded" << origin << true << origin;
        QTest::newRow("every stage character") << "a.b_c:d-0" << "" << true << "";
        QTest::newRow("origin with a space") << "wrapper-loaded" << "https://a b" << true << "";
        QTest::newRow("origin in upper case") << "ready" << "https://A.example" << true << "";
        QTest::newRow("origin of 128") << "ready" << longest << true << longest;
        QTest::newRow("origin of 129") << "ready" << longest + "a" << true << "";
        QTest::newRow("origin with line feed") << "ready" << "https://a.example\n" << true << "";
        QTest::newRow("stage of 64") << QString(64, u'a') << "" << true << "";
        QTest::newRow("stage of 65") << QString(65, u'a') << "" << false << "";
        QTest::newRow("stage in upper case") << "Wrapper-loaded" << origin << false << "";
        QTest::newRow("stage empty") << "" << origin << false << "";
        QTest::newRow("stage with line feed") << "ready\n" << "" << false << "";
    }
    void recordHandshake()
    {
        QFETCH(QString, stage);
        QFETCH(QString, origin);
        QFETCH(bool, recorded);
        QFETCH(QString, recordedOrigin);
        coordinator_.recordHandshake(stage, origin);
        const QList<QJsonObject> records = takeRecords();
        QCOMPARE(records.size(), recorded ? 1 : 0);
        if (!recorded)
            return;
        QCOMPARE(records[0].value("event").toString(), QStringLiteral("web.handshake"));
        QCOMPARE(records[0].value("stage").toString(), stage);
        QCOMPARE(records[0].value("origin").toString(), recordedOrigin);
        QCOMPARE(records[0].size(), 5); // stage, origin, ts, event, pid
    }

    void recordFailure_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<bool>("recorded");
        for (const char* stage :
             {"config", "source", "config_features", "nonce", "child", "context", "local_package",
              "package_upload", "package_scheme", "package_host", "package_origin_empty",
              "package_origin_mismatch", "package_options", "context_keys",
              "context_application_id", "context_release_id", "context_primitive_id",
              "context_generation", "context_capabilities", "context_viewport",
              "context_primitive", "context_screen_id", "wrapper_load", "iframe_load",
              "iframe_navigation", "renderer_terminated", "local_resource_denied", "csp_denied",
              "external_protocol_denied", "message_origin_mismatch", "js_security_error",
              "js_syntax_error", "js_network_error", "js_type_error", "js_reference_error",
              "js_console", "javascript_dialog", "authentication_dialog", "file_dialog",
              "color_dialog"})
            QTest::newRow(stage) << stage << 12 << true;
        QTest::newRow("negative code") << "renderer_terminated" << -9 << true;
        QTest::newRow("upper case") << "JS_CONSOLE" << 1 << false;
        QTest::newRow("trailing line feed") << "js_console\n" << 1 << false;
        QTest::newRow("handshake stage") << "wrapper-loaded" << 1 << false;
        QTest::newRow("empty") << "" << 1 << false;
    }
    void recordFailure()
    {
        QFETCH(QString, stage);
        QFETCH(int, errorCode);
        QFETCH(bool, recorded);
        if (recorded)
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral(
                                                   "web failure stage=%1 error_code=%2")
                                                                 .arg(stage)
                                                                 .arg(errorCode)));
        coordinator_.recordFailure(stage, errorCode);
        const QList<QJsonObject> records = takeRecords();
        QCOMPARE(records.size(), recorded ? 1 : 0);
        if (!recorded)
            return;
        QCOMPARE(records[0].value("event").toString(), QStringLiteral("web.failure"));
        QCOMPARE(records[0].value("stage").toString(), stage);
        QVERIFY(records[0].value("error_code").isDouble());
        QCOMPARE(records[0].value("error_code").toInt(), errorCode);
    }
};

QTEST_GUILESS_MAIN(TestWebPackageSchemeCoordinator)
#include "tst_webpackageschemecoordinator.moc"
