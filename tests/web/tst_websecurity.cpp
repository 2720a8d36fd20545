#include "web/TimedNameResolver.h"
#include "web/WebPackageScheme.h"
#include "web/WebSecurityPolicy.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>
#include <QWebEngineUrlScheme>

#include <atomic>
#include <memory>

using namespace talvorine;

namespace {

QList<QHostAddress> addresses(const QStringList& texts)
{
    QList<QHostAddress> list;
    for (const QString& text : texts)
        list.append(QHostAddress(text));
    return list;
}

// Rows named after their input: (input, expected answer).
void boolRows(std::initializer_list<std::pair<const char*, bool>> rows, const char* prefix = "")
{
    for (const auto& [input, expected] : rows)
        QTest::addRow("%s%s", prefix, input) << QString::fromUtf8(input) << expected;
}

// A resolver that gives fixed addresses and counts how often it was asked.
struct CountingResolver {
    QStringList answer{QStringLiteral("93.184.216.34")};
    std::shared_ptr<int> calls = std::make_shared<int>(0);

    NameResolver resolver() const
    {
        return [answer = answer, calls = calls](const QString&) {
            ++*calls;
            return addresses(answer);
        };
    }
};

// A lookup that blocks until the test opens its gate, as a name server that does not answer.
struct StalledLookup {
    QSemaphore gate;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};

    TimedNameResolver::Lookup lookup()
    {
        return [this](const QString&) {
            ++started;
            gate.acquire();
            gate.release();
            ++finished;
            return addresses({QStringLiteral("93.184.216.34")});
        };
    }
};

} // namespace

Q_DECLARE_METATYPE(talvorine::WebRequestKind)

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

    void allowedWrapper_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("allowed");
        boolRows({{"qrc:/web/trusted-wrapper.html", true}, {"qrc:///web/trusted-wrapper.html", true},
                  {"qrc:/web/trusted%2Dwrapper.html", true},
                  {"qrc:/web/trusted-wrapper.html?x=1", false}, {"qrc:/web/trusted-wrapper.html?", false},
                  {"qrc:/web/trusted-wrapper.html#top", false},
                  {"qrc://user@/web/trusted-wrapper.html", false},
                  {"qrc://evil/web/trusted-wrapper.html", false},
                  {"file:///web/trusted-wrapper.html", false},
                  {"qrc:/web/x/../trusted-wrapper.html", false}, {"qrc:/web/Trusted-Wrapper.html", false},
                  {"talvorine-app://a.b/web/trusted-wrapper.html", false}});
    }
    void allowedWrapper()
    {
        QFETCH(QString, url);
        QFETCH(bool, allowed);
        QCOMPARE(WebSecurityPolicy::allowedWrapper(QUrl(url)), allowed);
    }

    // The canonical https origin, seen through the two rules that compare with it.
    void iframeMainFrame_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("assigned");
        QTest::addColumn<bool>("allowed");
        const QString origin = QStringLiteral("https://example.com");
        QTest::newRow("path, query, fragment") << "https://example.com/a/?q#f" << origin << true;
        QTest::newRow("case, dot, port 443") << "https://EXAMPLE.Com./x" << origin + ":443" << true;
        QTest::newRow("assigned case and dot") << "https://example.com/" << "HTTPS://Example.COM."
                                               << true;
        QTest::newRow("IPv6 brackets") << "https://[2001:DB8::1]:443/" << "https://[2001:db8::1]"
                                       << true;
        QTest::newRow("other port") << "https://example.com:8443/" << origin << false;
        QTest::newRow("sub-domain") << "https://www.example.com/" << origin << false;
        QTest::newRow("http") << "http://example.com/" << origin << false;
        QTest::newRow("assigned http") << "https://example.com/" << "http://example.com" << false;
        QTest::newRow("user info") << "https://u@example.com/" << origin << false;
        QTest::newRow("assigned user info") << "https://example.com/" << "https://u@example.com"
                                            << false;
        QTest::newRow("assigned empty") << "https://example.com/" << "" << false;
        QTest::newRow("assigned without scheme") << "https://example.com/" << "example.com" << false;
    }
    void iframeMainFrame()
    {
        QFETCH(QString, url);
        QFETCH(QString, assigned);
        QFETCH(bool, allowed);
        QCOMPARE(WebSecurityPolicy::allowsIframeMainFrame(QUrl(url), assigned), allowed);
        QCOMPARE(WebSecurityPolicy::shouldSignalIframeReady(QUrl(url), assigned, false), allowed);
        QVERIFY(!WebSecurityPolicy::shouldSignalIframeReady(QUrl(url), assigned, true));
    }

    void publicAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("isPublic");
        // Each refused IPv4 range at its bounds, with its public neighbours.
        boolRows({{"0.0.0.0", false},         {"0.255.255.255", false},   {"1.0.0.0", true},
                  {"9.255.255.255", true},    {"10.0.0.0", false},        {"10.255.255.255", false},
                  {"11.0.0.0", true},         {"100.63.255.255", true},   {"100.64.0.0", false},
                  {"100.127.255.255", false}, {"100.128.0.0", true},      {"126.255.255.255", true},
                  {"127.0.0.0", false},       {"127.255.255.255", false}, {"128.0.0.0", true},
                  {"169.253.255.255", true},  {"169.254.0.0", false},     {"169.254.255.255", false},
                  {"169.255.0.0", true},      {"172.15.255.255", true},   {"172.16.0.0", false},
                  {"172.31.255.255", false},  {"172.32.0.0", true},       {"192.167.255.255", true},
                  {"192.168.0.0", false},     {"192.168.255.255", false}, {"192.169.0.0", true},
                  {"198.17.255.255", true},   {"198.18.0.0", false},      {"198.19.255.255", false},
                  {"198.20.0.0", true},       {"223.255.255.255", true},  {"224.0.0.0", false},
                  {"255.255.255.255", false}, {"", false}});
        boolRows({{"::", false}, {"::1", false}, {"fe80::1", false}, {"fec0::1", false},
                  {"fc00::1", false}, {"fd00:ec2::254", false}, {"ff02::1", false},
                  {"2001:4860:4860::8888", true}});
        // IPv4-mapped, NAT64 and 6to4 addresses are judged by the IPv4 address inside.
        boolRows({{"::ffff:10.0.0.1", false}, {"::ffff:100.64.0.1", false}, {"::ffff:8.8.8.8", true},
                  {"64:ff9b::a00:1", false}, {"64:ff9b::7f00:1", false},
                  {"64:ff9b::a9fe:a9fe", false}, {"64:ff9b::808:808", true},
                  {"2002:a00:1::1", false}, {"2002:c0a8:101::", false}, {"2002:7f00:1:1::1", false},
                  {"2002:808:808::1", true}});
        // So are local-use NAT64 (below), IPv4-translated and Teredo addresses (server and
        // inverted client); the deprecated IPv4-compatible form is refused whatever it holds.
        boolRows({{"64:ff9b:1::7f00:1", false}, {"64:ff9b:1:2::a9fe:a9fe", false},
                  {"64:ff9b:1::808:808", false}, {"::ffff:0:7f00:1", false},
                  {"::ffff:0:808:808", true}, {"2001:0:808:808::80ff:fffe", false},
                  {"2001:0:a00:1::f7f7:f7f7", false}, {"2001:0:808:808::f7f7:f7f7", true},
                  {"::7f00:1", false}, {"::808:808", false}});
        // Local-use NAT64 carries its IPv4 address where the translator's prefix length puts it
        // (/48, /56, /64, /96): public only when every reading is, so 8.8.8.8 in the /96 layout
        // alone is not (its /48 reading is 0.0.0.0).
        boolRows({{"64:ff9b:1:7f00:0:100:808:808", false}, {"64:ff9b:1:a00:0:100:808:808", false},
                  {"64:ff9b:1:a9fe:0:100:808:808", false}, {"64:ff9b:1:7f:0:1:808:808", false},
                  {"64:ff9b:1:a:0:1:808:808", false}, {"64:ff9b:1:a9:fe:1:808:808", false},
                  {"64:ff9b:1:0:7f:0:108:808", false}, {"64:ff9b:1:0:a:0:108:808", false},
                  {"64:ff9b:1:0:a9:fe00:108:808", false}, {"64:ff9b:1::a00:1", false},
                  {"64:ff9b:1::a9fe:1", false}, {"64:ff9b:1:808:8:808:808:808", true}});
    }
    void publicAddress()
    {
        QFETCH(QString, address);
        QFETCH(bool, isPublic);
        QCOMPARE(WebSecurityPolicy::publicAddress(QHostAddress(address)), isPublic);
    }

    void publicNetworkUrl_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("isPublic");
        // Refused names, in any case and with a trailing dot, never reach the resolver.
        for (const char* name :
             {"localhost", "localhost.localdomain", "localhost6", "localhost6.localdomain6",
              "ip6-localhost", "ip6-loopback", "broadcasthost", "app.localhost",
              "a.b.localhost.localdomain", "printer.local", "metadata", "metadata.google.internal",
              "metadata.azure.internal", "instance-data.ec2.internal", "instance-data",
              "metadata.example.com", "instance-data.example.com", "LocalHost"}) {
            QTest::newRow(name) << QString::fromLatin1(name) << false;
            QTest::addRow("%s.", name) << QString::fromLatin1(name) + u'.' << false;
        }
        // Numeric hosts are decided without a lookup, as a page writes them (Qt turns the
        // classic forms into dotted quads before the policy sees them) and as they arrive.
        boolRows({{"127.1", false}, {"0x7f.1", false}, {"2130706433", false},
                  {"017700000001", false}, {"0x7f000001", false}, {"0X7F.0.0.1", false},
                  {"127.0.0.1", false}, {"127.0.0.1.", false}, {"100.64.0.1", false},
                  {"100.128.0.1", true}, {"8.8.8.8", true}, {"134744072", true},
                  {"0x8.0x8.0x8.0x8", true}, {"010.010.010.010", true}, {"0X08080808", true},
                  {"[::ffff:10.0.0.1]", false}, {"[::1]", false}, {"[64:ff9b::808:808]", true},
                  {"[::127.0.0.1]", false}, {"[64:ff9b:1::127.0.0.1]", false}},
                 "numeric ");
        // Each width at and past its limit, and malformed forms: too many or empty parts, bad
        // digits, empty hexadecimal, names spelled only from hexadecimal letters.
        boolRows({{"4294967295", false}, {"4294967296", false}, {"8.16777215", true},
                  {"8.16777216", false}, {"8.8.65535", true}, {"8.8.65536", false},
                  {"8.8.8.255", true}, {"8.8.8.256", false}, {"256.8.8.8", false},
                  {"0x100000000", false}, {"99999999999999999999999", false},
                  {"1.2.3.4.5", false}, {"1..2", false}, {".8.8.8", false}, {"0x", false},
                  {"08", false}, {"8.09.8.8", false}, {"0x0x8", false}, {"cafe.babe", false},
                  {"deadbeef", false}, {"ad.be", false}, {"x", false}},
                 "numeric ");
    }
    void publicNetworkUrl()
    {
        QFETCH(QString, host);
        QFETCH(bool, isPublic);
        const CountingResolver counting;
        const QUrl url(QStringLiteral("https://%1/").arg(host));
        QCOMPARE(WebSecurityPolicy::publicNetworkUrl(url, counting.resolver()), isPublic);
        QCOMPARE(*counting.calls, 0);
    }

    // Everything else is decided by the resolver's answer, all of it public.
    void publicNetworkUrlLookup_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QStringList>("answer");
        QTest::addColumn<bool>("isPublic");
        QTest::addColumn<int>("lookups");
        const QStringList anywhere{QStringLiteral("93.184.216.34")};
        QTest::newRow("public name") << "https://example.com/x" << anywhere << true << 1;
        QTest::newRow("trailing dot") << "https://example.com./" << anywhere << true << 1;
        QTest::newRow("public IPv6") << "https://a.example/" << QStringList{"2001:4860::8888"}
                                     << true << 1;
        QTest::newRow("public and private") << "https://a.example/"
                                            << QStringList{"93.184.216.34", "10.0.0.1"} << false << 1;
        QTest::newRow("mapped loopback") << "https://a.example/" << QStringList{"::ffff:127.0.0.1"}
                                         << false << 1;
        QTest::newRow("no answer") << "https://a.example/" << QStringList() << false << 1;
        QTest::newRow("hex-looking name") << "https://0xg.example/" << anywhere << true << 1;
        QTest::newRow("http") << "http://example.com/" << anywhere << false << 0;
        QTest::newRow("user info") << "https://u:p@example.com/" << anywhere << false << 0;
        QTest::newRow("no host") << "https:///path" << anywhere << false << 0;
    }
    void publicNetworkUrlLookup()
    {
        QFETCH(QString, url);
        QFETCH(QStringList, answer);
        QFETCH(bool, isPublic);
        QFETCH(int, lookups);
        const CountingResolver counting{answer};
        QCOMPARE(WebSecurityPolicy::publicNetworkUrl(QUrl(url), counting.resolver()), isPublic);
        QCOMPARE(*counting.calls, lookups);
    }

    void allowedRequest_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<WebRequestKind>("kind");
        QTest::addColumn<bool>("allowed");
        using K = WebRequestKind;
        const QString package = QStringLiteral("talvorine-app://a.b/index.html");
        const QString https = QStringLiteral("https://example.com/");
        QTest::newRow("qrc navigation") << "qrc:/web/page.html" << K::Navigation << true;
        QTest::newRow("qrc subresource") << "qrc:/web/page.js" << K::Subresource << true;
        QTest::newRow("qrc WebSocket") << "qrc:/web/socket" << K::WebSocket << false;
        QTest::newRow("qrc service worker") << "qrc:/web/sw.js" << K::ServiceWorker << false;
        QTest::newRow("package navigation") << package << K::Navigation << true;
        QTest::newRow("package subresource") << package << K::Subresource << true;
        QTest::newRow("package WebSocket") << package << K::WebSocket << false;
        QTest::newRow("package service worker") << package << K::ServiceWorker << false;
        QTest::newRow("https navigation") << https << K::Navigation << true;
        QTest::newRow("https subresource") << https << K::Subresource << true;
        QTest::newRow("https WebSocket") << https << K::WebSocket << false;
        QTest::newRow("https service worker") << https << K::ServiceWorker << false;
        QTest::newRow("https loopback") << "https://127.0.0.1/" << K::Subresource << false;
        QTest::newRow("wss WebSocket") << "wss://example.com/live" << K::WebSocket << true;
        QTest::newRow("wss private") << "wss://192.168.1.2/" << K::WebSocket << false;
        QTest::newRow("wss user info") << "wss://u@example.com/" << K::WebSocket << false;
        QTest::newRow("wss navigation") << "wss://example.com/" << K::Navigation << false;
        QTest::newRow("ws WebSocket") << "ws://example.com/" << K::WebSocket << false;
        QTest::newRow("http") << "http://example.com/" << K::Navigation << false;
        QTest::newRow("file") << "file:///etc/passwd" << K::Subresource << false;
        QTest::newRow("data") << "data:text/html,x" << K::Navigation << false;
        QTest::newRow("blob") << "blob:https://example.com/1" << K::Subresource << false;
    }
    void allowedRequest()
    {
        QFETCH(QString, url);
        QFETCH(WebRequestKind, kind);
        QFETCH(bool, allowed);
        const CountingResolver counting;
        QCOMPARE(WebSecurityPolicy::allowedRequest(QUrl(url), kind, counting.resolver()), allowed);
        const bool network = !url.startsWith("qrc:") && !url.startsWith("talvorine-app:");
        QCOMPARE(*counting.calls, allowed && network ? 1 : 0); // refusals never look anything up
    }

    // Numeric hosts only: the default resolver is not asked anything here.
    void allowedChild_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("assigned");
        QTest::addColumn<bool>("mainFrame");
        QTest::addColumn<bool>("allowed");
        const QString origin = QStringLiteral("https://8.8.8.8");
        QTest::newRow("main frame") << "https://8.8.8.8/app" << origin << true << true;
        QTest::newRow("main frame, port 443") << "https://8.8.8.8:443/" << origin << true << true;
        QTest::newRow("main frame, other origin") << "https://1.1.1.1/" << origin << true << false;
        QTest::newRow("sub-frame") << "https://8.8.8.8/x" << origin << false << true;
        // A sub-frame compares authorities as written, not canonical origins.
        QTest::newRow("sub-frame, port 443") << "https://8.8.8.8:443/" << origin << false << false;
        QTest::newRow("sub-frame, other origin") << "https://1.1.1.1/" << origin << false << false;
        QTest::newRow("private, its own origin") << "https://10.0.0.1/" << "https://10.0.0.1"
                                                 << false << false;
    }
    void allowedChild()
    {
        QFETCH(QString, url);
        QFETCH(QString, assigned);
        QFETCH(bool, mainFrame);
        QFETCH(bool, allowed);
        QCOMPARE(WebSecurityPolicy::allowedChild(QUrl(url), assigned, mainFrame), allowed);
    }

    // A name server that does not answer holds the caller up to the limit only once: the
    // lookup goes on, later callers for that host are refused at once until it ends, and then
    // its answer serves them without another lookup.
    void resolverTimeLimit()
    {
        StalledLookup stalled;
        const TimedNameResolver resolver(stalled.lookup(), 20);
        const QString host = QStringLiteral("slow.example");
        QVERIFY(resolver(host).isEmpty());
        QVERIFY(resolver(host).isEmpty());
        // The lookup runs on a thread of its own, which a busy machine may start late.
        QTRY_COMPARE_WITH_TIMEOUT(stalled.started.load(), 1, 20000);
        stalled.gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(resolver(host).size(), 1, 20000);
        QCOMPARE(stalled.started.load(), 1);
    }

    void resolverMemory_data()
    {
        QTest::addColumn<QStringList>("answer");
        QTest::addColumn<qint64>("keptMs");
        QTest::newRow("answer") << QStringList{QStringLiteral("93.184.216.34")} << qint64(30000);
        QTest::newRow("failure") << QStringList() << qint64(5000);
    }
    void resolverMemory()
    {
        QFETCH(QStringList, answer);
        QFETCH(qint64, keptMs);
        auto now = std::make_shared<qint64>(1000);
        const CountingResolver counting{answer};
        const TimedNameResolver resolver(counting.resolver(), 20000, 30000, 5000,
                                         [now] { return *now; });
        const QString host = QStringLiteral("example.com");
        QCOMPARE(resolver(host), addresses(answer));
        *now += keptMs - 1;
        QCOMPARE(resolver(host), addresses(answer));
        QCOMPARE(resolver(QStringLiteral("other.example")), addresses(answer));
        QCOMPARE(*counting.calls, 2);
        *now += 1;
        QCOMPARE(resolver(host), addresses(answer));
        *now -= 60000; // a clock that went back does not make old answers fresh
        QCOMPARE(resolver(host), addresses(answer));
        QCOMPARE(*counting.calls, 4);
    }

    // Lookups that never end take up threads; beyond a few at once a new host is refused.
    void resolverBoundsRunningLookups()
    {
        StalledLookup stalled;
        {
            const TimedNameResolver resolver(stalled.lookup(), 1);
            for (int i = 0; i <= TimedNameResolver::maxLookups; ++i)
                QVERIFY(resolver(QStringLiteral("h%1.example").arg(i)).isEmpty());
            QTRY_COMPARE_WITH_TIMEOUT(stalled.started.load(), TimedNameResolver::maxLookups, 20000);
        }
        // The resolver is gone; its lookups still end on their own.
        stalled.gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(stalled.finished.load(), TimedNameResolver::maxLookups, 20000);
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
