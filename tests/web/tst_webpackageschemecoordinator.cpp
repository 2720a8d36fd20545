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

    void interception_data()
    {
        QTest::addColumn<bool>("uploaded");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QWebEngineUrlRequestInfo::ResourceType>("type");
        QTest::addColumn<QString>("initiator");
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<bool>("recorded");
        using R = QWebEngineUrlRequestInfo;
        const QString wrapper = QStringLiteral("qrc:/web/trusted-wrapper.html");
        const QString entry = packageUrl(digest, QStringLiteral("index.html"));
        const QString asset = packageUrl(digest, QStringLiteral("app/main.js"));
        const QString own = packageUrl(digest, QString());

        // An uploaded application: the wrapper on top, its package inside.
        QTest::newRow("wrapper main frame") << true << digest << wrapper << R::ResourceTypeMainFrame
                                            << "" << true << true;
        QTest::newRow("other qrc main frame") << true << digest << "qrc:/web/other.html"
                                              << R::ResourceTypeMainFrame << "" << false << true;
        QTest::newRow("https main frame") << true << digest << "https://8.8.8.8/"
                                          << R::ResourceTypeMainFrame << "" << false << true;
        QTest::newRow("package main frame") << true << digest << entry << R::ResourceTypeMainFrame
                                            << "qrc:" << false << true;
        QTest::newRow("package frame from wrapper") << true << digest << entry
                                                    << R::ResourceTypeSubFrame << "qrc:" << true
                                                    << true;
        QTest::newRow("package frame from another package")
            << true << digest << entry << R::ResourceTypeSubFrame << packageUrl(other, "")
            << false << true;
        QTest::newRow("package script from itself") << true << digest << asset
                                                    << R::ResourceTypeScript << own << true << false;
        QTest::newRow("package request from itself, no slash")
            << true << digest << asset << R::ResourceTypeXhr << own.chopped(1) << true << false;
        QTest::newRow("package worker from itself") << true << digest << asset
                                                    << R::ResourceTypeWorker << own << true << false;
        QTest::newRow("another package's host") << true << digest << packageUrl(other, "a.js")
                                                << R::ResourceTypeScript << own << false << true;
        QTest::newRow("package request from https") << true << digest << asset << R::ResourceTypeXhr
                                                    << "https://8.8.8.8" << false << true;
        QTest::newRow("package request from a package path")
            << true << digest << asset << R::ResourceTypeXhr << own + "app/" << false << true;
        QTest::newRow("package request, no initiator") << true << digest << asset
                                                       << R::ResourceTypeImage << "" << false << true;
        QTest::newRow("package service worker") << true << digest << asset
                                                << R::ResourceTypeServiceWorker << own << false
                                                << true;
        QTest::newRow("package WebSocket") << true << digest << asset << R::ResourceTypeWebSocket
                                           << own << false << true;
        QTest::newRow("no package selected") << true << QString() << asset << R::ResourceTypeScript
                                             << own << false << true;
        QTest::newRow("malformed package selected") << true << digest.toUpper() << asset
                                                    << R::ResourceTypeScript << own << false
                                                    << true;
        QTest::newRow("qrc script") << true << digest << "qrc:/web/wrapper.js"
                                    << R::ResourceTypeScript << "qrc:" << true << false;
        QTest::newRow("public wss") << true << digest << "wss://8.8.8.8/live"
                                    << R::ResourceTypeWebSocket << own << true << false;
        QTest::newRow("loopback wss") << true << digest << "wss://127.0.0.1/live"
                                      << R::ResourceTypeWebSocket << own << false << true;
        QTest::newRow("public https frame") << true << digest << "https://8.8.8.8/"
                                            << R::ResourceTypeSubFrame << own << true << true;
        QTest::newRow("private https image") << true << digest << "https://10.0.0.1/x.png"
                                             << R::ResourceTypeImage << own << false << true;
        QTest::newRow("named local image") << true << digest << "https://printer.local./x.png"
                                           << R::ResourceTypeImage << own << false << true;
        QTest::newRow("http image") << true << digest << "http://8.8.8.8/x.png"
                                    << R::ResourceTypeImage << own << false << true;
        QTest::newRow("file request") << true << digest << "file:///etc/passwd" << R::ResourceTypeXhr
                                      << own << false << true;

        // An iframe placement: its assigned origin on top, never a player page or a package.
        QTest::newRow("iframe main frame") << false << digest << "https://8.8.8.8/app"
                                           << R::ResourceTypeMainFrame << "" << true << true;
        QTest::newRow("iframe main frame, port 443") << false << digest << "https://8.8.8.8:443/"
                                                     << R::ResourceTypeMainFrame << "" << true
                                                     << true;
        QTest::newRow("iframe main frame, other origin")
            << false << digest << "https://1.1.1.1/" << R::ResourceTypeMainFrame << "" << false
            << true;
        QTest::newRow("iframe wrapper main frame") << false << digest << wrapper
                                                   << R::ResourceTypeMainFrame << "" << false << true;
        QTest::newRow("iframe qrc frame") << false << digest << wrapper << R::ResourceTypeSubFrame
                                          << "https://8.8.8.8" << false << true;
        QTest::newRow("iframe qrc image") << false << digest << "qrc:/overlay/icons/pause.svg"
                                          << R::ResourceTypeImage << "https://8.8.8.8" << false
                                          << true;
        QTest::newRow("iframe package frame") << false << digest << entry << R::ResourceTypeSubFrame
                                              << "qrc:" << false << true;
        QTest::newRow("iframe package script") << false << digest << asset << R::ResourceTypeScript
                                               << own << false << true;
        QTest::newRow("iframe other-origin image") << false << digest << "https://1.1.1.1/a.png"
                                                   << R::ResourceTypeImage << "https://8.8.8.8"
                                                   << true << false;
        QTest::newRow("iframe other-origin frame") << false << digest << "https://1.1.1.1/"
                                                   << R::ResourceTypeSubFrame << "https://8.8.8.8"
                                                   << true << true;
    }
    void interception()
    {
        QFETCH(bool, uploaded);
        QFETCH(QString, selected);
        QFETCH(QString, url);
        QFETCH(QWebEngineUrlRequestInfo::ResourceType, type);
        QFETCH(QString, initiator);
        QFETCH(bool, allowed);
        QFETCH(bool, recorded);
        const InterceptedPlacement placement{QStringLiteral("https://8.8.8.8"), selected, uploaded};
        int lookups = 0;
        const NameResolver resolver = [&lookups](const QString&) {
            ++lookups;
            return QList<QHostAddress>{QHostAddress(QStringLiteral("93.184.216.34"))};
        };
        const InterceptionVerdict verdict =
            interceptionVerdict(placement, QUrl(url), type, QUrl(initiator), resolver);
        QCOMPARE(verdict.allowed, allowed);
        QCOMPARE(verdict.recorded, recorded);
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
        const QString origin = packageUrl(digest, QString()).chopped(1);
        QTest::newRow("stage and origin") << "wrapper-loaded" << origin << true << origin;
        QTest::newRow("all stage characters") << "a.b_c:d-0" << "" << true << "";
        QTest::newRow("origin with a space") << "wrapper-loaded" << "https://a b" << true << "";
        QTest::newRow("origin with upper case") << "ready" << "https://A.example" << true << "";
        QTest::newRow("origin 128 characters") << "ready" << QString(128, u'a') << true
                                               << QString(128, u'a');
        QTest::newRow("origin 129 characters") << "ready" << QString(129, u'a') << true << "";
        QTest::newRow("origin with line feed") << "ready" << "https://a.example\n" << true << "";
        QTest::newRow("stage upper case") << "Wrapper-loaded" << origin << false << "";
        QTest::newRow("stage empty") << "" << origin << false << "";
        QTest::newRow("stage 64 characters") << QString(64, u'a') << "" << true << "";
        QTest::newRow("stage 65 characters") << QString(65, u'a') << "" << false << "";
        QTest::newRow("stage with line feed") << "ready\n" << "" << false << "";
        QTest::newRow("stage with space") << "wrapper loaded" << "" << false << "";
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
              "js_console"})
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

    void forwarders()
    {
        const QUrl wrapper(QStringLiteral("qrc:/web/trusted-wrapper.html"));
        QVERIFY(coordinator_.allowedWrapper(wrapper));
        QVERIFY(!coordinator_.allowedWrapper(QUrl(QStringLiteral("qrc:/web/trusted-wrapper.html#x"))));
        const QUrl page(QStringLiteral("https://Example.com./a"));
        QVERIFY(coordinator_.allowsIframeMainFrame(page, QStringLiteral("https://example.com:443")));
        QVERIFY(!coordinator_.allowsIframeMainFrame(page, QStringLiteral("https://example.org")));
        QVERIFY(coordinator_.shouldSignalIframeReady(page, QStringLiteral("https://example.com"), false));
        QVERIFY(!coordinator_.shouldSignalIframeReady(page, QStringLiteral("https://example.com"), true));
    }
};

QTEST_GUILESS_MAIN(TestWebPackageSchemeCoordinator)
#include "tst_webpackageschemecoordinator.moc"
