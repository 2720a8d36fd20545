#include "web/WebPackageScheme.h"

#include <QTest>

using namespace talvorine;

namespace {
const QString digest = QStringLiteral("0123456789abcdef0123456789abcdef"
                                      "fedcba9876543210fedcba9876543210");
const QString host = QStringLiteral("0123456789abcdef0123456789abcdef."
                                    "fedcba9876543210fedcba9876543210");
} // namespace

class TestWebPackageScheme : public QObject {
    Q_OBJECT
private slots:
    void entryUrl_data()
    {
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("url"); // empty: no URL
        QTest::addColumn<QString>("decodedPath");

        const QString base = QStringLiteral("talvorine-app://") + host;
        QTest::newRow("entry file") << digest << "index.html" << base + "/index.html"
                                    << "/index.html";
        QTest::newRow("nested file") << digest << "app/main.js" << base + "/app/main.js"
                                     << "/app/main.js";
        QTest::newRow("package root") << digest << "" << base + "/" << "/";
        QTest::newRow("percent is literal") << digest << "a%2Fb.html" << base + "/a%252Fb.html"
                                            << "/a%2Fb.html";
        QTest::newRow("space") << digest << "my page.html" << base + "/my%20page.html"
                               << "/my page.html";
        QTest::newRow("upper-case digest") << digest.toUpper() << "index.html" << QString()
                                           << QString();
        QTest::newRow("63 digits") << digest.left(63) << "index.html" << QString() << QString();
        QTest::newRow("65 digits") << digest + "0" << "index.html" << QString() << QString();
        QTest::newRow("trailing line feed") << digest + "\n" << "index.html" << QString()
                                            << QString();
        QTest::newRow("not hexadecimal") << QString(digest).replace(0, 1, u'g') << "index.html"
                                         << QString() << QString();
        QTest::newRow("empty digest") << QString() << "index.html" << QString() << QString();
    }
    void entryUrl()
    {
        QFETCH(QString, sha256);
        QFETCH(QString, path);
        QFETCH(QString, url);
        QFETCH(QString, decodedPath);
        const QUrl entry = WebPackageScheme::entryUrl(sha256, path);
        if (url.isEmpty()) {
            QVERIFY(entry.isEmpty());
            QVERIFY(!entry.isValid());
            return;
        }
        QVERIFY(entry.isValid());
        QCOMPARE(entry.toString(QUrl::FullyEncoded), url);
        QCOMPARE(entry.scheme(), QStringLiteral("talvorine-app"));
        QCOMPARE(entry.host(), host);
        QCOMPARE(entry.path(QUrl::FullyDecoded), decodedPath);
        QCOMPARE(entry.port(), -1);
        QVERIFY(!entry.hasQuery());
        QVERIFY(!entry.hasFragment());
        QVERIFY(entry.userInfo().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWebPackageScheme)
#include "tst_webpackagescheme.moc"
