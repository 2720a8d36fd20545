// Installed web packages served to a real web engine under the test compositor, through a
// profile the coordinator configured as the player's placements do.

#include "app/DevFileLog.h"
#include "tests/support/FileAccessWatch.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebEngineHarness.h"
#include "web/ApplicationPackageCache.h"
#include "web/WebPackageScheme.h"
#include "web/WebPackageSchemeCoordinator.h"
#include "web/WebPackageSchemeHandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QQuickWebEngineProfile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <unistd.h>

using namespace talvorine;
using packagescheme::Handler;
namespace tf = talvorine::testfiles;

namespace {

constexpr int limitMs = 30000;

QJsonObject packageRecord(const QString& kind, bool resolved)
{
    return {{QStringLiteral("kind"), kind}, {QStringLiteral("resolved"), resolved}};
}

} // namespace

class TestWebPackageServing : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString root_;
    QMap<QString, QByteArray> files_;
    test::InstalledProbePackage package_;
    WebPackageSchemeCoordinator coordinator_;
    // A profile whose handler the coordinator made, as in the player.
    std::unique_ptr<test::EngineView> served_;
    // A profile whose handler's file work the test holds and watches.
    test::HeldFileWork held_;
    std::unique_ptr<test::EngineView> heldView_;
    test::WatchedHandler* heldHandler_ = nullptr;
    QJsonObject loadingWays_;
    int requestSerial_ = 0;

    QString url(const QString& path) const
    {
        return WebPackageScheme::entryUrl(package_.descriptor.sha256, path).toString();
    }

    // Frames the package in the stand-in wrapper of the view, and waits until its page runs.
    bool framePackage(test::EngineView& view)
    {
        if (!view.load(test::standInWrapperUrl()))
            return false;
        view.evaluate(QStringLiteral("frame('%1')").arg(url(QStringLiteral("index.html"))));
        return view.waitForResult(QStringLiteral("loaded")).value("origin").toString()
            == url(QString()).chopped(1);
    }

    // Asks the package page to request the URL; returns the request's id.
    QString request(test::EngineView& view, const QString& target, const QString& method = "GET")
    {
        const QString id = QStringLiteral("r%1").arg(++requestSerial_);
        view.evaluate(test::askScript(0, {{"op", "request"}, {"id", id}, {"url", target},
                                          {"method", method}}));
        return id;
    }

    QJsonObject get(test::EngineView& view, const QString& target, const QString& method = "GET")
    {
        return view.waitForResult(request(view, target, method));
    }

    void abort(test::EngineView& view, const QString& id)
    {
        view.evaluate(test::askScript(0, {{"op", "abort"}, {"id", id}}));
    }

    // Waits until the held handler runs nothing and nothing waits.
    bool heldQueueIdle()
    {
        return QTest::qWaitFor([this] {
            return !heldHandler_->queue().isRunning() && heldHandler_->queue().waitingCount() == 0;
        }, limitMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir_.path(), 0);
        root_ = dir_.filePath(QStringLiteral("application-cache"));
        files_ = test::probePackageFiles();
        QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
        for (int i = 0; i < large.size(); ++i)
            large[i] = char(i * 7 + i / 4099);
        files_.insert(QStringLiteral("assets/large.txt"), large);
        files_.insert(QStringLiteral("assets/a b.json"), "{\"space\": true}");
        files_.insert(QStringLiteral("data.bin"), "no content type");
        files_.insert(QStringLiteral("held.txt"), "held");
        files_.insert(QStringLiteral("waiting.txt"), "waiting");
        files_.insert(QStringLiteral("changed.txt"), "changed in place");
        files_.insert(QStringLiteral("swapped.txt"), "swapped by name");
        files_.insert(QStringLiteral("linked.txt"), "linked from outside");
        ApplicationPackageCache cache(root_);
        const auto installed = test::installProbePackage(cache, files_);
        QVERIFY(installed);
        package_ = *installed;

        served_ = std::make_unique<test::EngineView>();
        QVERIFY(coordinator_.configure(served_->profile(), root_, package_.descriptor.sha256,
                                       QString(), true));
        QVERIFY(framePackage(*served_));

        heldView_ = std::make_unique<test::EngineView>();
        heldHandler_ = new test::WatchedHandler(heldView_->profile(), held_);
        heldView_->profile()->installUrlSchemeHandler("talvorine-app", heldHandler_);
        QVERIFY(coordinator_.configure(heldView_->profile(), root_, package_.descriptor.sha256,
                                       QString(), true));
        QCOMPARE(heldHandler_->selectedPackageSha256(), package_.descriptor.sha256);
        QVERIFY(framePackage(*heldView_));
    }

    void cleanupTestCase()
    {
        held_.holding = false;
        held_.gate.release(1000);
        heldView_.reset();
        served_.reset();
        DevFileLog::configure(QUrl(), QString(), 0);
    }

    void init()
    {
        held_.holding = false;
        held_.entered = 0;
        held_.afterResolve = nullptr;
    }

    void configureReusesProfileObjects()
    {
        const auto* handler = served_->profile()->urlSchemeHandler("talvorine-app");
        const QVariant interceptor =
            served_->profile()->property("talvorinePrivateNetworkInterceptor");
        QVERIFY(qobject_cast<const Handler*>(handler));
        QVERIFY(coordinator_.configure(served_->profile(), root_, package_.descriptor.sha256,
                                       QStringLiteral("https://8.8.8.8"), true));
        QCOMPARE(served_->profile()->urlSchemeHandler("talvorine-app"), handler);
        QCOMPARE(served_->profile()->property("talvorinePrivateNetworkInterceptor"), interceptor);
        QCOMPARE(served_->profile()->findChildren<Handler*>().size(), 1);
        QCOMPARE(heldView_->profile()->urlSchemeHandler("talvorine-app"), heldHandler_);
    }

    // Every file with a content type arrives byte for byte, with its type, one record each.
    void servesEveryFile()
    {
        const int before = int(test::devLogRecords("web.package").size());
        QMap<QString, QString> ids;
        for (auto it = files_.cbegin(); it != files_.cend(); ++it) {
            if (!WebPackageScheme::exactMimeType(QFileInfo(it.key()).suffix()).isEmpty())
                ids.insert(it.key(), request(*served_, QString::fromLatin1(
                                                           QUrl::toPercentEncoding(it.key(), "/"))));
        }
        for (auto it = ids.cbegin(); it != ids.cend(); ++it) {
            const QJsonObject reply = served_->waitForResult(it.value());
            QVERIFY2(reply.value("ok").toBool(), qPrintable(it.key()));
            QCOMPARE(reply.value("status").toInt(), 200);
            QCOMPARE(reply.value("type").toString().toUtf8(),
                     WebPackageScheme::exactMimeType(QFileInfo(it.key()).suffix()));
            QCOMPARE(reply.value("size").toInt(), files_.value(it.key()).size());
            QCOMPARE(reply.value("sha256").toString(), tf::sha(files_.value(it.key())));
        }
        const QList<QJsonObject> replies = test::devLogRecords("web.package").mid(before);
        QCOMPARE(replies.size(), ids.size());
        QCOMPARE(std::count_if(replies.begin(), replies.end(),
                               [](const QJsonObject& r) {
                                   return test::recordFields(r) == packageRecord("entry", true);
                               }),
                 1);
        QCOMPARE(std::count_if(replies.begin(), replies.end(),
                               [](const QJsonObject& r) {
                                   return test::recordFields(r) == packageRecord("asset", true);
                               }),
                 ids.size() - 1);
    }

    // Requests the package page can make that must not be answered with a file, and where each
    // is stopped: by the interceptor (a "web.request" record) or by resolution (a "web.package"
    // record that says so).
    void refusedRequests_data()
    {
        QTest::addColumn<QString>("target"); // relative to the package, or absolute
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("kind");   // of the "web.package" record, empty when none
        QTest::addColumn<bool>("intercepted");
        QTest::newRow("no content type") << "data.bin" << "GET" << "asset" << false;
        QTest::newRow("missing file") << "missing.html" << "GET" << "asset" << false;
        QTest::newRow("entry with a query") << "index.html?x=1" << "GET" << "entry" << false;
        QTest::newRow("POST") << "index.html" << "POST" << "entry" << false;
        QTest::newRow("encoded slash") << "assets%2Flarge.txt" << "GET" << "asset" << false;
        QTest::newRow("encoded backslash") << "assets%5Clarge.txt" << "GET" << "asset" << false;
        QTest::newRow("the metadata file") << ".talvorine-package.json" << "GET" << "asset"
                                           << false;
        // The engine resolves dot segments itself, so they never leave the package root.
        QTest::newRow("traversal") << "../../../../etc/hostname.txt" << "GET" << "asset" << false;
        QTest::newRow("encoded traversal") << "%2E%2E/%2e%2e/etc/hostname.txt" << "GET" << "asset"
                                           << false;
        QTest::newRow("another package")
            << QStringLiteral("talvorine-app://%1.%1/index.html").arg(QString(32, u'f')) << "GET"
            << "" << true;
        QTest::newRow("loopback") << "https://127.0.0.1/x.json" << "GET" << "" << true;
        // Refused by the engine itself before any interception.
        QTest::newRow("file") << "file:///etc/hostname" << "GET" << "" << false;
    }
    void refusedRequests()
    {
        QFETCH(QString, target);
        QFETCH(QString, method);
        QFETCH(QString, kind);
        QFETCH(bool, intercepted);
        const int packages = int(test::devLogRecords("web.package").size());
        const int requests = int(test::devLogRecords("web.request").size());
        const QJsonObject reply = get(*served_, target, method);
        QVERIFY(!reply.isEmpty());
        QVERIFY(!reply.value("ok").toBool());
        const QList<QJsonObject> packageRecords = test::devLogRecords("web.package").mid(packages);
        QCOMPARE(packageRecords.size(), kind.isEmpty() ? 0 : 1);
        if (!kind.isEmpty())
            QCOMPARE(test::recordFields(packageRecords[0]), packageRecord(kind, false));
        const QList<QJsonObject> requestRecords = test::devLogRecords("web.request").mid(requests);
        QCOMPARE(requestRecords.size(), intercepted ? 1 : 0);
        if (intercepted)
            QVERIFY(!requestRecords[0].value("allowed").toBool());
    }

    // fetch() of the package's own files is judged by the scheme handler as the page's own
    // XMLHttpRequest is (one "web.package" record) and answered as the engine's fetch answers:
    // the file's bytes with its content type, or a TypeError. Everything else is the engine's.
    void fetchOwnFiles_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("input"); // "text", "url" or "request"
        QTest::addColumn<QJsonObject>("init");
        QTest::addColumn<QString>("answer"); // "file", "module" (instantiated) or an error name
        QTest::addColumn<int>("packageRecords");
        const bool fetchApi = QT_VERSION >= QT_VERSION_CHECK(6, 6, 0);
        const QJsonObject none;
        QTest::newRow("json") << "data.json" << "text" << none << "file" << 1;
        QTest::newRow("URL object") << "data.json" << "url" << none << "file" << 1;
        QTest::newRow("Request") << "data.json" << "request" << none << "file" << 1;
        QTest::newRow("lower-case GET with options")
            << "assets/large.txt" << "text"
            << QJsonObject{{"method", "get"}, {"credentials", "same-origin"}, {"cache", "no-store"}}
            << "file" << 1;
        QTest::newRow("WebAssembly as it streams")
            << "answer.wasm" << "text" << none << "module" << 1;
        QTest::newRow("no content type") << "data.bin" << "text" << none << "TypeError" << 1;
        QTest::newRow("missing") << "missing.json" << "text" << none << "TypeError" << 1;
        QTest::newRow("another origin")
            << "https://127.0.0.1/x.json" << "text" << none << "TypeError" << 0;
        QTest::newRow("POST with a body")
            << "data.json" << "text" << QJsonObject{{"method", "POST"}, {"body", "x"}}
            << "TypeError" << int(fetchApi);
        QTest::newRow("with a signal")
            << "data.json" << "text" << QJsonObject{{"signal", true}}
            << (fetchApi ? "file" : "TypeError") << int(fetchApi);
    }
    void fetchOwnFiles()
    {
        QFETCH(QString, target);
        QFETCH(QString, input);
        QFETCH(QJsonObject, init);
        QFETCH(QString, answer);
        QFETCH(int, packageRecords);
        const int packages = int(test::devLogRecords("web.package").size());
        const int requests = int(test::devLogRecords("web.request").size());
        const QString id = QStringLiteral("f%1").arg(++requestSerial_);
        served_->evaluate(test::askScript(
            0, {{"op", "fetch"}, {"id", id}, {"url", target}, {"input", input}, {"init", init},
                {"instantiate", answer == QLatin1String("module")}}));
        const QJsonObject reply = served_->waitForResult(id);
        QVERIFY(!reply.isEmpty());
        const bool answered = answer == QLatin1String("file") || answer == QLatin1String("module");
        QCOMPARE(reply.value("error").toString(), answered ? QString() : answer);
        if (answer == QLatin1String("module"))
            QCOMPARE(reply.value("value").toInt(), 42);
        if (answer == QLatin1String("file")) {
            QCOMPARE(reply.value("status").toInt(), 200);
            QCOMPARE(reply.value("type").toString().toUtf8(),
                     WebPackageScheme::exactMimeType(QFileInfo(target).suffix()));
            QCOMPARE(reply.value("sha256").toString(), tf::sha(files_.value(target)));
        }
        QCOMPARE(test::devLogRecords("web.package").mid(packages).size(), packageRecords);
        const QList<QJsonObject> requestRecords = test::devLogRecords("web.request").mid(requests);
        QCOMPARE(requestRecords.size(), target.startsWith("https:") ? 1 : 0);
    }

    // A request whose job goes while it waits never reaches a file; one whose job goes while
    // its file work runs gets no reply.
    void destroyedJobs()
    {
        test::FileAccessWatch watch({package_.tree + QStringLiteral("/waiting.txt")});
        QVERIFY(watch.isValid());
        const int replies = int(test::devLogRecords("web.package").size());
        held_.holding = true;
        const QString running = request(*heldView_, QStringLiteral("held.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(held_.entered.load(), 1, limitMs);
        const QString waiting = request(*heldView_, QStringLiteral("waiting.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(heldHandler_->pendingCount(), 2, limitMs);
        QCOMPARE(heldHandler_->queue().waitingCount(), 1);

        abort(*heldView_, waiting);
        QTRY_COMPARE_WITH_TIMEOUT(heldHandler_->pendingCount(), 1, limitMs);
        QCOMPARE(heldHandler_->queue().waitingCount(), 0);
        abort(*heldView_, running);
        QTRY_COMPARE_WITH_TIMEOUT(heldHandler_->pendingCount(), 0, limitMs);

        held_.gate.release();
        QVERIFY(heldQueueIdle());
        QCOMPARE(held_.entered.load(), 1);
        QCOMPARE(watch.take(), QStringList());
        QCOMPARE(test::devLogRecords("web.package").size(), replies);
        QVERIFY(heldView_->result(running).value("aborted").toBool());
    }

    // Another package (or cache) fails what is pending as aborted; the same root, however it is
    // spelled, and the same package leave pending requests running on the same cache object.
    void reconfigureWhilePending_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<bool>("otherPackage");
        QTest::addColumn<bool>("kept");
        QTest::newRow("same root with a trailing slash") << "/" << false << true;
        QTest::newRow("same root with a dot segment") << "/./" << false << true;
        QTest::newRow("another package") << "" << true << false;
        QTest::newRow("another root") << "/../other-cache" << false << false;
    }
    void reconfigureWhilePending()
    {
        QFETCH(QString, root);
        QFETCH(bool, otherPackage);
        QFETCH(bool, kept);
        const int replies = int(test::devLogRecords("web.package").size());
        const ApplicationPackageCache* cache = heldHandler_->cache().get();
        held_.holding = true;
        const QString running = request(*heldView_, QStringLiteral("held.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(held_.entered.load(), 1, limitMs);
        const QString waiting = request(*heldView_, QStringLiteral("waiting.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(heldHandler_->pendingCount(), 2, limitMs);

        const QString sha256 = otherPackage ? QString(64, u'e') : package_.descriptor.sha256;
        QVERIFY(coordinator_.configure(heldView_->profile(), root_ + root, sha256, QString(), true));
        QCOMPARE(heldHandler_->pendingCount(), kept ? 2 : 0);
        QCOMPARE(heldHandler_->cache().get() == cache, kept);
        held_.holding = false;
        held_.gate.release();
        for (const QString& id : {running, waiting}) {
            const QJsonObject reply = heldView_->waitForResult(id);
            QCOMPARE(reply.value("ok").toBool(), kept);
        }
        QVERIFY(heldQueueIdle());
        QCOMPARE(test::devLogRecords("web.package").size(), replies + (kept ? 2 : 0));
        QCOMPARE(held_.entered.load(), kept ? 2 : 1);

        QVERIFY(coordinator_.configure(heldView_->profile(), root_, package_.descriptor.sha256,
                                       QString(), true));
        QCOMPARE(heldHandler_->packageCacheRoot(), root_);
    }

    // The file that is opened must be the file whose hash matched, up to the moment of reply.
    void fileChangedAfterVerification_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("when");
        QTest::newRow("replaced by name before the open") << "swapped.txt" << "before open";
        QTest::newRow("changed in place before the reply") << "changed.txt" << "before reply";
        QTest::newRow("hard link made outside") << "linked.txt" << "linked";
    }
    void fileChangedAfterVerification()
    {
        QFETCH(QString, file);
        QFETCH(QString, when);
        const QString path = package_.tree + u'/' + file;
        const QByteArray bytes = files_.value(file);
        const QString outside = dir_.filePath(QStringLiteral("outside-") + file);
        if (when == QLatin1String("before open")) {
            held_.afterResolve = [path, bytes, outside](const ResolvedPackageFile&) {
                tf::write(outside, bytes, 0444);
                ::rename(QFile::encodeName(outside).constData(), QFile::encodeName(path).constData());
            };
        } else if (when == QLatin1String("linked")) {
            QCOMPARE(::link(QFile::encodeName(path).constData(),
                            QFile::encodeName(outside).constData()),
                     0);
        }
        const int replies = int(test::devLogRecords("web.package").size());
        held_.holding = when == QLatin1String("before reply");
        const QString id = request(*heldView_, file);
        if (held_.holding) {
            QTRY_COMPARE_WITH_TIMEOUT(held_.entered.load(), 1, limitMs);
            held_.gate.release();
            // The worker ends; its reply waits for this thread, which changes the file first.
            QVERIFY(QThreadPool::globalInstance()->waitForDone(limitMs));
            QFile changed(path);
            QVERIFY(changed.open(QIODevice::ReadWrite));
            QCOMPARE(changed.write(QByteArray(bytes.size(), 'x')), bytes.size());
            changed.close();
        }
        const QJsonObject reply = heldView_->waitForResult(id);
        QVERIFY(!reply.isEmpty());
        QVERIFY(!reply.value("ok").toBool());
        const QList<QJsonObject> packageRecords = test::devLogRecords("web.package").mid(replies);
        QCOMPARE(packageRecords.size(), 1);
        // Only a change after the worker's checks leaves the file resolved.
        QCOMPARE(test::recordFields(packageRecords[0]),
                 packageRecord("asset", when == QLatin1String("before reply")));
    }

    // The 5001st request waiting behind a running one is refused at once.
    void queueBound()
    {
        held_.holding = true;
        const QString running = request(*heldView_, QStringLiteral("held.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(held_.entered.load(), 1, limitMs);
        std::vector<std::shared_ptr<std::atomic<bool>>> fillers;
        for (int i = 0; i < Handler::queueCapacity; ++i) {
            fillers.push_back(std::make_shared<std::atomic<bool>>(false));
            QVERIFY(heldHandler_->queue().submit(fillers.back(),
                                                 [] { return std::function<void()>(); }));
        }
        const QString refused = request(*heldView_, QStringLiteral("waiting.txt"));
        const QJsonObject reply = heldView_->waitForResult(refused);
        QVERIFY(!reply.isEmpty());
        QVERIFY(!reply.value("ok").toBool());
        QCOMPARE(heldHandler_->pendingCount(), 1);

        for (const auto& filler : fillers)
            filler->store(true);
        held_.holding = false;
        held_.gate.release();
        QVERIFY(heldView_->waitForResult(running).value("ok").toBool());
        QVERIFY(heldQueueIdle());
        QCOMPARE(held_.entered.load(), 1);
    }

    // Which ways of loading its own files a package page has on this Qt: a change shows up as a
    // failing row here rather than silently.
    void loadingWays_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<bool>("works");
        for (const char* way : {"fetch", "xhr", "classic_script", "module_script", "dynamic_import",
                                "style_sheet", "image", "media", "font", "fragment_link",
                                "dedicated_worker"})
            QTest::newRow(way) << way << true;
    }
    void loadingWays()
    {
        QFETCH(QString, way);
        QFETCH(bool, works);
        QJsonObject& matrix = loadingWays_;
        if (matrix.isEmpty()) {
            served_->evaluate(test::askScript(
                0, {{"op", "measure"}, {"id", "matrix"}, {"timeoutMs", 10000}}));
            matrix = served_->waitForResult(QStringLiteral("matrix")).value("matrix").toObject();
            QCOMPARE(matrix.size(), 11);
        }
        QVERIFY(matrix.contains(way));
        QCOMPARE(matrix.value(way).toBool(), works);
    }

    void responseHeaders()
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
        QSKIP("Qt before 6.6 cannot add response headers to a scheme reply");
#else
        const QJsonObject reply = get(*served_, QStringLiteral("data.json"));
        const QString headers = reply.value("headers").toString().toLower();
        QVERIFY(headers.contains("cache-control: private, max-age=31536000, immutable"));
        QVERIFY(headers.contains("x-content-type-options: nosniff"));
        QVERIFY(headers.contains("referrer-policy: no-referrer"));
#endif
    }

    // The request records say what was decided, never where: no URL, host or path.
    void requestRecordsHoldNoAddress()
    {
        const QList<QJsonObject> all = test::devLogRecords("web.request");
        QVERIFY(!all.isEmpty());
        const QString host = url(QString()).mid(QStringLiteral("talvorine-app://").size());
        for (const QJsonObject& record : all) {
            const QJsonObject fields = test::recordFields(record);
            QCOMPARE(fields.keys(), QStringList({"allowed", "main_frame", "scheme"}));
            QVERIFY(fields.value("allowed").isBool() && fields.value("main_frame").isBool());
            QVERIFY(QStringList({"qrc", "talvorine-app", "https", "file", "other"})
                        .contains(fields.value("scheme").toString()));
            QVERIFY(!QJsonDocument(record).toJson().contains(host.left(32).toUtf8()));
        }
        // The wrapper and the framed package were let through and recorded.
        const QJsonObject wrapper{{"scheme", "qrc"}, {"main_frame", true}, {"allowed", true}};
        const QJsonObject framed{{"scheme", "talvorine-app"}, {"main_frame", false}, {"allowed", true}};
        const auto recorded = [&all](const QJsonObject& fields) {
            return std::any_of(all.begin(), all.end(),
                               [&](const QJsonObject& r) { return test::recordFields(r) == fields; });
        };
        QVERIFY(recorded(wrapper));
        QVERIFY(recorded(framed));
    }
};

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestWebPackageServing test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webpackageserving.moc"
