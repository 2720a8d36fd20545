#include "web/WebPackageScheme.h"
#include "web/WebSecurityPolicy.h"

#include <QCoreApplication>
#include <QTest>
#include <QWebEngineUrlScheme>

using namespace talvorine;

class TestWebSecurity : public QObject {
    Q_OBJECT
private slots:
    void chromiumFlags_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("prefix"); // what stands before the required flags

        for (const char* refused :
             {"--allow-insecure-localhost", "--allow-running-insecure-content",
              "--disable-web-security", "--ignore-certificate-errors", "--enable-features=A",
              "--disable-features=B", "--force-webrtc-ip-handling-policy=default"})
            QTest::newRow(refused) << QByteArray("--a ") + refused << false << QByteArray();
        QTest::newRow("refused as start of longer switch") << QByteArray("--disable-web-security-x")
                                                           << false << QByteArray();
        QTest::newRow("empty") << QByteArray() << true << QByteArray();
        QTest::newRow("only whitespace") << QByteArray(" \t\n ") << true << QByteArray();
        QTest::newRow("one switch trimmed") << QByteArray("  --no-zygote  ") << true
                                            << QByteArray("--no-zygote ");
        QTest::newRow("order kept") << QByteArray("--a --b") << true << QByteArray("--a --b ");
        QTest::newRow("case-sensitive") << QByteArray("--DISABLE-WEB-SECURITY") << true
                                        << QByteArray("--DISABLE-WEB-SECURITY ");
    }
    void chromiumFlags()
    {
        QFETCH(QByteArray, existing);
        QFETCH(bool, accepted);
        QFETCH(QByteArray, prefix);
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "untouched");
        QCOMPARE(WebSecurityPolicy::configureChromiumSecurityEnvironment(existing), accepted);
        const QByteArray now = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        QCOMPARE(now, accepted ? prefix + WebSecurityPolicy::requiredChromiumFlags()
                               : QByteArray("untouched"));
    }

    void requiredFlags()
    {
        const QList<QByteArray> parts = WebSecurityPolicy::requiredChromiumFlags().split(' ');
        QCOMPARE(parts.size(), 5);
        QCOMPARE(parts[0], QByteArray("--dns-prefetch-disable"));
        QCOMPARE(parts[1], QByteArray("--force-webrtc-ip-handling-policy=disable_non_proxied_udp"));
        QVERIFY(parts[2].startsWith("--enable-features=BlockInsecurePrivateNetworkRequests,"));
        QCOMPARE(parts[2].count(','), 6);
        QCOMPARE(parts[3], QByteArray("--disable-features=PrivateNetworkAccessForNavigationsWarningOnly,"
                                      "PrivateNetworkAccessForWorkersWarningOnly"));
        QCOMPARE(parts[4], QByteArray("--js-flags=--max-old-space-size=256"));
    }

    void packageSchemeRegistered()
    {
        const QWebEngineUrlScheme scheme = QWebEngineUrlScheme::schemeByName("talvorine-app");
        QCOMPARE(scheme.name(), QByteArray("talvorine-app"));
        QCOMPARE(scheme.syntax(), QWebEngineUrlScheme::Syntax::Host);
        QCOMPARE(scheme.defaultPort(), int(QWebEngineUrlScheme::PortUnspecified));
        QWebEngineUrlScheme::Flags expected =
            QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
        expected |= QWebEngineUrlScheme::FetchApiAllowed;
#endif
        QCOMPARE(scheme.flags(), expected);
    }
};

int main(int argc, char** argv)
{
    // Schemes can be registered only before the application object exists.
    WebPackageScheme::registerBeforeApplication();
    QCoreApplication app(argc, argv);
    TestWebSecurity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_websecurity.moc"
