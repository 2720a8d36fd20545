// The same-origin rule every redirect of the player's HTTP traffic must pass.
#include "app/RedirectRule.h"

#include <QTest>
#include <QUrl>

using namespace talvorine;

class RedirectRuleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sameOrigin_data();
    void sameOrigin();
};

void RedirectRuleTest::sameOrigin_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("allowed");

    const QString https = QStringLiteral("https://api.example.test/runtime/v1/screens/s1");
    const QString http = QStringLiteral("http://127.0.0.1:8080/runtime/v1/manifest");

    QTest::newRow("other path, same origin") << https << "https://api.example.test/elsewhere" << true;
    QTest::newRow("relative path") << https << "/runtime/v1/other" << true;
    QTest::newRow("relative without slash") << https << "sibling?x=1" << true;
    QTest::newRow("scheme-relative same host") << https << "//api.example.test/x" << true;
    QTest::newRow("host in other case") << https << "https://API.Example.TEST/x" << true;
    QTest::newRow("scheme in other case") << https << "HTTPS://api.example.test/x" << true;
    QTest::newRow("explicit default https port") << https << "https://api.example.test:443/x" << true;
    QTest::newRow("explicit default port on source")
        << "https://api.example.test:443/a" << "https://api.example.test/b" << true;
    QTest::newRow("http explicit port kept") << http << "http://127.0.0.1:8080/x" << true;
    QTest::newRow("http default port 80")
        << "http://localhost/a" << "http://localhost:80/b" << true;
    QTest::newRow("fragment and query") << https << "https://api.example.test/x?y=1#z" << true;

    QTest::newRow("other port") << https << "https://api.example.test:8443/x" << false;
    QTest::newRow("http port differs") << http << "http://127.0.0.1:8081/x" << false;
    QTest::newRow("http default vs 8080") << http << "http://127.0.0.1/x" << false;
    QTest::newRow("downgrade to http") << https << "http://api.example.test/x" << false;
    QTest::newRow("upgrade to https") << http << "https://127.0.0.1:8080/x" << false;
    QTest::newRow("https on port 80 is not http")
        << "http://h.test/a" << "https://h.test:80/b" << false;
    QTest::newRow("other host") << https << "https://evil.example.test/x" << false;
    QTest::newRow("subdomain") << https << "https://a.api.example.test/x" << false;
    QTest::newRow("loopback name vs address") << http << "http://localhost:8080/x" << false;
    QTest::newRow("user name") << https << "https://user@api.example.test/x" << false;
    QTest::newRow("user and password") << https << "https://u:p@api.example.test/x" << false;
    QTest::newRow("password only") << https << "https://:p@api.example.test/x" << false;
    QTest::newRow("ftp") << "ftp://h.test/a" << "ftp://h.test/b" << false;
    QTest::newRow("file target") << https << "file:///etc/passwd" << false;
    QTest::newRow("data target") << https << "data:text/plain,hi" << false;
    QTest::newRow("invalid target") << https << "http://[::1/x" << false;
}

void RedirectRuleTest::sameOrigin()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, allowed);
    QCOMPARE(RuntimeCompat::redirectAllowed(QUrl(from), QUrl(to)), allowed);
}

QTEST_GUILESS_MAIN(RedirectRuleTest)
#include "tst_redirectrule.moc"
