#include "web/WebPackageScheme.h"

#include "tests/support/FileAccessWatch.h"
#include "tests/support/TestFiles.h"
#include "tests/support/WebPackageBuilder.h"
#include "web/ApplicationPackageCache.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {
const QString digest = QStringLiteral("0123456789abcdef0123456789abcdef"
                                      "fedcba9876543210fedcba9876543210");
const QString host = QStringLiteral("0123456789abcdef0123456789abcdef."
                                    "fedcba9876543210fedcba9876543210");

const QStringList suffixes{"html", "htm",  "css",  "js",  "mjs", "json", "wasm", "png",
                           "svg",  "jpg",  "jpeg", "webp", "gif", "mp4",  "webm", "mp3",
                           "ogg",  "wav",  "woff", "woff2", "ttf", "otf",  "txt"};
const QString nfcName = QStringLiteral("caf") + QChar(0xe9) + QStringLiteral(".html");

QByteArray bytesOf(const QString& path)
{
    return "<" + path.toUtf8() + ">";
}

// Every file the scheme tests ask for, each holding its own name.
QByteArray testPackage()
{
    test::WebPackageBuilder builder;
    for (const QString& path :
         {QStringLiteral("index.html"), QStringLiteral("dup.html"), QStringLiteral("app/main.js"),
                                QStringLiteral("a b.html"), QStringLiteral("data.bin"),
                                QStringLiteral("README"), QStringLiteral("types/f.xml"),
                                QStringLiteral("types/f"), nfcName})
        builder.file(path, bytesOf(path));
    for (const QString& suffix : suffixes) {
        builder.file("types/f." + suffix, bytesOf("types/f." + suffix));
        builder.file("upper/F." + suffix.toUpper(), bytesOf("upper/F." + suffix.toUpper()));
    }
    return builder.package();
}

QString packageUrl(const QString& sha256, const QString& encodedPath)
{
    return QStringLiteral("talvorine-app://%1.%2%3").arg(sha256.left(32), sha256.mid(32), encodedPath);
}

// A cache root with the test package installed, and a directory beside it that is outside.
struct InstalledPackage {
    QTemporaryDir dir;
    QString root = dir.filePath(QStringLiteral("cache"));
    QString outside = dir.filePath(QStringLiteral("outside"));
    QString sha256;
    QString tree;

    bool install()
    {
        const QByteArray package = testPackage();
        const ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
        ApplicationPackageCache cache(root);
        sha256 = descriptor.sha256;
        tree = cache.objectDirectory(sha256);
        return dir.isValid() && QDir().mkpath(outside)
            && test::installPackage(cache, package, descriptor);
    }
    std::optional<ResolvedPackageFile> resolve(const QString& encodedPath,
                                               const QByteArray& method = "GET") const
    {
        return WebPackageScheme::resolveRequest(root, sha256, QUrl(packageUrl(sha256, encodedPath)),
                                                method, nullptr, nullptr);
    }
};
} // namespace

class TestWebPackageScheme : public QObject {
    Q_OBJECT
private:
    // Read only: the rows that change a tree install their own.
    InstalledPackage installed_;

private slots:
    void initTestCase() { QVERIFY(installed_.install()); }

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

    void allowedPackageInitiator_data()
    {
        QTest::addColumn<QString>("initiator");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<bool>("allowed");
        const QString own = packageUrl(digest, QString());
        const auto row = [](const char* name, const QString& initiator, bool allowed,
                            const QString& sha256 = digest) {
            QTest::newRow(name) << initiator << sha256 << allowed;
        };
        row("player page", "qrc:", true);
        row("player page with root path", "qrc:///", true);
        row("player page with a host", "qrc://web/", false);
        row("player page with a path", "qrc:/web/trusted-wrapper.html", false);
        row("the package", own, true);
        row("the package with a slash", own + "/", true);
        row("the package in upper case", own.toUpper(), true);
        row("another package", packageUrl(QString(64, u'f'), "/"), false);
        row("the package's path", own + "/app/", false);
        row("the package with a query", own + "/?x=1", false);
        row("the package with a fragment", own + "/#x", false);
        row("the package with a port", own + ":443/", false);
        row("the package with user info", "talvorine-app://u@" + host + "/", false);
        row("https", "https://example.com", false);
        row("https with the package's host", "https://" + host, false);
        row("file", "file:///", false);
        row("opaque origin", "null", false);
        row("none", "", false);
        row("player page, malformed digest", "qrc:", false, digest.toUpper());
        row("the package, short digest", own, false, digest.left(63));
        row("player page, no digest", "qrc:", false, "");
    }
    void allowedPackageInitiator()
    {
        QFETCH(QString, initiator);
        QFETCH(QString, sha256);
        QFETCH(bool, allowed);
        QCOMPARE(WebPackageScheme::allowedPackageInitiator(QUrl(initiator), sha256), allowed);
    }

    void resolveRequest_data()
    {
        QTest::addColumn<QString>("url");       // a path after the package host, or a whole URL
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("served");    // the package file, empty when refused
        const auto row = [](const char* name, const QString& url, const QString& served,
                            const QByteArray& method = "GET") {
            QTest::newRow(name) << url << method << served;
        };
        row("entry", "/index.html", "index.html");
        row("nested", "/app/main.js", "app/main.js");
        row("space", "/a%20b.html", "a b.html");
        row("composed name", "/" + QUrl::toPercentEncoding(nfcName), nfcName);
        row("decomposed name",
            "/" + QUrl::toPercentEncoding(nfcName.normalized(QString::NormalizationForm_D)), "");
        // Looked up with its own letter case, and typed by its suffix in any case.
        row("other letter case", "/Index.HTML", "");
        row("upper-case suffix", "/upper/F.HTML", "upper/F.HTML");
        row("HEAD", "/index.html", "", "HEAD");
        row("POST", "/index.html", "", "POST");
        row("lower-case get", "/index.html", "", "get");
        row("host in upper case", "talvorine-app://{HOST}/index.html", "index.html");
        row("digest without the dot", "talvorine-app://{digest}/index.html", "");
        row("another package", "talvorine-app://" + host + "/index.html", "");
        row("https", "https://{host}/index.html", "");
        row("user info", "talvorine-app://u@{host}/index.html", "");
        row("port", ":8080/index.html", "");
        row("query", "/index.html?x=1", "");
        row("empty query", "/index.html?", "");
        // A link's fragment names a place in the page, not a file.
        row("fragment", "/index.html#top", "index.html");
        row("empty fragment", "/index.html#", "index.html");
        row("hash route", "/index.html#/route", "index.html");
        row("encoded slash", "/app%2Fmain.js", "");
        row("encoded slash, lower case", "/app%2fmain.js", "");
        row("encoded backslash", "/app%5Cmain.js", "");
        row("encoded backslash, lower case", "/app%5cmain.js", "");
        // The URL decodes encoded dots itself; the cache's path rules refuse the segments.
        row("encoded dot segments", "/app/%2E%2E/index.html", "");
        row("encoded dot segment, lower case", "/%2e/index.html", "");
        row("dot-dot segment", "/app/../index.html", "");
        row("empty segment", "//index.html", "");
        row("directory", "/app/", "");
        row("root", "/", "");
        row("no path", "", "");
        row("missing file", "/nope.html", "");
        row("the metadata file", "/.talvorine-package.json", "");
        row("suffix without a type", "/data.bin", "");
        row("no suffix", "/README", "");
    }
    void resolveRequest()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, method);
        QFETCH(QString, served);
        const QString sha256 = installed_.sha256;
        const QString packageHost = sha256.left(32) + u'.' + sha256.mid(32);
        const QUrl target(url.contains("://") ? QString(url)
                                                    .replace("{host}", packageHost)
                                                    .replace("{HOST}", packageHost.toUpper())
                                                    .replace("{digest}", sha256)
                                              : packageUrl(sha256, url));
        ApplicationPackageCache cache(installed_.root);
        const std::optional<ResolvedPackageFile> resolved = WebPackageScheme::resolveRequest(
            installed_.root, sha256, target, method, &cache, nullptr);
        QCOMPARE(resolved.has_value(), !served.isEmpty());
        if (!resolved)
            return;
        QCOMPARE(resolved->path, QDir(installed_.tree).filePath(served));
        QCOMPARE(tf::read(resolved->path), bytesOf(served));
        QCOMPARE(resolved->contentType, served.endsWith(".js") ? "text/javascript" : "text/html");
        const VerifiedFileIdentity now = VerifiedFileIdentity::path(resolved->path);
        QVERIFY(resolved->identity.valid && now.valid && resolved->identity == now);
    }

    // No cache object builds one for the call; no root or a malformed digest serves nothing.
    void resolveRequestArguments()
    {
        const QString& root = installed_.root;
        const QString& sha256 = installed_.sha256;
        const QUrl url(packageUrl(sha256, "/index.html"));
        QVERIFY(WebPackageScheme::resolveRequest(root, sha256, url, "GET", nullptr, nullptr));
        QVERIFY(!WebPackageScheme::resolveRequest(QString(), sha256, url, "GET", nullptr, nullptr));
        QVERIFY(!WebPackageScheme::resolveRequest(root, sha256.toUpper(), url, "GET", nullptr,
                                                  nullptr));
    }

    // Each row of the suffix table, in lower and upper case; nothing else has a type.
    void contentTypes_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("type");
        const QList<QByteArray> types{
            "text/html",  "text/html",  "text/css",   "text/javascript", "text/javascript",
            "application/json", "application/wasm", "image/png", "image/svg+xml", "image/jpeg",
            "image/jpeg", "image/webp", "image/gif",  "video/mp4",  "video/webm", "audio/mpeg",
            "audio/ogg",  "audio/wav",  "font/woff",  "font/woff2", "font/ttf", "font/otf",
            "text/plain"};
        QCOMPARE(types.size(), suffixes.size());
        for (int i = 0; i < suffixes.size(); ++i)
            QTest::newRow(qPrintable(suffixes[i])) << suffixes[i] << types[i];
        QTest::newRow("xml") << "xml" << QByteArray();
        QTest::newRow("none") << "" << QByteArray();
    }
    void contentTypes()
    {
        QFETCH(QString, suffix);
        QFETCH(QByteArray, type);
        const InstalledPackage& installed = installed_;
        const QString lower = suffix.isEmpty() ? QStringLiteral("/types/f") : "/types/f." + suffix;
        const QString upper = "/upper/F." + suffix.toUpper();
        for (const QString& path : {lower, upper}) {
            if (suffix.isEmpty() && path == upper)
                continue;
            const std::optional<ResolvedPackageFile> resolved = installed.resolve(path);
            QCOMPARE(resolved.has_value(), !type.isEmpty());
            if (resolved)
                QCOMPARE(resolved->contentType, type);
        }
        QCOMPARE(WebPackageScheme::exactMimeType(suffix), type);
        if (!suffix.isEmpty())
            QVERIFY(WebPackageScheme::exactMimeType(suffix.toUpper()).isEmpty());
    }

    // A set flag stops resolution before any file of the cache is opened or read.
    void cancelledBeforeFileAccess()
    {
        const InstalledPackage& installed = installed_;
        test::FileAccessWatch watch({installed.root});
        QVERIFY(watch.isValid());
        const QUrl url(packageUrl(installed.sha256, "/index.html"));
        const std::atomic<bool> cancelled{true};
        ApplicationPackageCache cache(installed.root);
        QVERIFY(!WebPackageScheme::resolveRequest(installed.root, installed.sha256, url, "GET",
                                                  &cache, &cancelled));
        QVERIFY(!WebPackageScheme::resolveRequest(installed.root, installed.sha256, url, "GET",
                                                  nullptr, &cancelled));
        QCOMPARE(watch.take(), QStringList());
        QVERIFY(WebPackageScheme::resolveRequest(installed.root, installed.sha256, url, "GET",
                                                 &cache, nullptr));
        QVERIFY(watch.take().contains(installed.tree + "/index.html"));
    }

    // Whatever is planted in an installed tree, or asked for by path, nothing outside the
    // package's own files is served, and nothing outside the cache is opened.
    void hostileTree_data()
    {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<QString>("path");
        QTest::newRow("file replaced by a link outside") << "link-out" << "/index.html";
        QTest::newRow("file replaced by a link inside") << "link-in" << "/dup.html";
        QTest::newRow("directory replaced by a link outside") << "dir-out" << "/app/main.js";
        QTest::newRow("file replaced by a hard link outside") << "hard-out" << "/index.html";
        QTest::newRow("content swapped, same size") << "swap" << "/index.html";
        QTest::newRow("traversal") << "" << "/../../../outside/index.html";
        QTest::newRow("traversal with encoded dots") << "" << "/%2E%2E/%2E%2E/%2E%2E/outside/index.html";
        QTest::newRow("traversal with encoded slashes") << "" << "/..%2F..%2F..%2Foutside%2Findex.html";
        QTest::newRow("absolute path")
            << "" << "/" + QString::fromLatin1(QUrl::toPercentEncoding("/outside/index.html"));
    }
    void hostileTree()
    {
        QFETCH(QString, tamper);
        QFETCH(QString, path);
        InstalledPackage installed;
        QVERIFY(installed.install());
        const QString tree = installed.tree;
        // The outside holds exactly the package's bytes, so only the path rules can refuse it.
        QVERIFY(QDir().mkpath(installed.outside + "/app"));
        QVERIFY(tf::write(installed.outside + "/index.html", bytesOf("index.html")));
        QVERIFY(tf::write(installed.outside + "/app/main.js", bytesOf("app/main.js")));
        QVERIFY(tf::write(installed.outside + "/other.html", "another, longer file"));
        const auto plant = [&](const QString& name) {
            const QString target = tree + "/" + name;
            return (QFileInfo(target).isDir() ? QDir(target).removeRecursively()
                                              : QFile::remove(target))
                ? QFile::encodeName(target)
                : QByteArray();
        };
        const auto outsideName = [&](const QString& name) {
            return QFile::encodeName(installed.outside + "/" + name);
        };
        if (tamper == "link-out")
            QCOMPARE(::symlink(outsideName("index.html"), plant("index.html")), 0);
        else if (tamper == "link-in")
            QCOMPARE(::symlink(QFile::encodeName(tree + "/index.html"), plant("dup.html")), 0);
        else if (tamper == "dir-out")
            QCOMPARE(::symlink(outsideName("app"), plant("app")), 0);
        else if (tamper == "hard-out")
            QCOMPARE(::link(outsideName("other.html"), plant("index.html")), 0);
        else if (tamper == "swap")
            QVERIFY(tf::write(QFile::decodeName(plant("index.html")),
                              QByteArray(bytesOf("index.html").size(), 'x')));

        // Files are watched by inode as well, so a read through a hard link shows.
        test::FileAccessWatch outside({installed.outside, installed.outside + "/index.html",
                                       installed.outside + "/other.html",
                                       installed.outside + "/app/main.js"});
        QVERIFY(outside.isValid());
        QVERIFY(!installed.resolve(path));
        QCOMPARE(outside.take(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestWebPackageScheme)
#include "tst_webpackagescheme.moc"
