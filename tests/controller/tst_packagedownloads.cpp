#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/WebPackageBuilder.h"
#include "web/WebPackageScheme.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTest>

#include <tuple>

using namespace talvorine;
using namespace talvorine::test;
using Service = FakeRuntimeService;
using Answer = Service::ContentAnswer;
using Answers = QList<Answer>;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
const QByteArray packageType = "application/vnd.talvorine.webapp-package+tar+gzip";

const QJsonObject frame{{"id", "frame"}, {"primitive", "iframe"}, {"layer", 1}, {"contentFit", "fill"},
                        {"rect", QJsonObject{{"x", 0}, {"y", 540}, {"width", 960}, {"height", 540}}},
                        {"src", "https://example.com/board"}, {"title", "Board"}};

// The code a primitive was skipped with; empty while it was not.
QString skipCode(const ControllerHarness& h, const QString& primitiveId)
{
    for (const QJsonObject& record : h.devLog(QStringLiteral("primitive_failed")))
        if (record["primitive_id"] == primitiveId && record["action"] == "skip_primitive")
            return record["code"].toString();
    return {};
}

QUrl entryOf(const ServedObject& package)
{
    return WebPackageScheme::entryUrl(package.sha256, QStringLiteral("index.html"));
}

// A package whose digest is right but whose archive no player may unpack: a link out of its tree.
ServedObject hostilePackage()
{
    TarEntry link;
    link.name = "escape";
    link.type = '2';
    link.linkName = "/etc/passwd";
    const QByteArray bytes = WebPackageBuilder()
                                 .file(QStringLiteral("index.html"), "<title>x</title>")
                                 .entry(link)
                                 .package();
    return {"/content/v1/packages/hostile.tgz", bytes, Service::sha256Hex(bytes)};
}

// Waits until the candidate's package settles, answering every back-off the controller arms by
// expiring it at once; the delays it armed, in order.
QList<int> expireBackoffs(ControllerHarness& h, const std::function<bool()>& settled)
{
    QList<int> delays;
    QTimer* retry = h.timer("packageRetryTimer");
    while (!settled()) {
        if (!QTest::qWaitFor([&] { return settled() || retry->isActive(); }, waitMs))
            break;
        if (retry->isActive()) {
            delays.append(retry->interval());
            if (!h.expireSoon("packageRetryTimer")
                || !QTest::qWaitFor([&] { return !retry->isActive(); }, waitMs))
                break;
        }
    }
    return delays;
}

} // namespace

class TestPackageDownloads : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ControllerHarness> harness_;

    ControllerHarness& make()
    {
        harness_ = std::make_unique<ControllerHarness>();
        // Pages skipped for their content are reported.
        harness_->service().script("POST", RuntimeWire::reportsRoute,
                                   QList<Service::Reply>(8, Service::Reply::json(200, QJsonObject())));
        if (!harness_->ready() || !harness_->mintSession())
            qFatal("controller harness not ready");
        return *harness_;
    }

private Q_SLOTS:
    void cleanup()
    {
        if (harness_)
            QVERIFY2(harness_->surprises().isEmpty(), qPrintable(harness_->surprises().join('\n')));
        harness_.reset();
    }

    // The whole way for pages of web applications: a missing package shared by two
    // applications is fetched once, cut off mid-body, resumed after its back-off, installed,
    // bound to both and shown; the next page's packages, installed already, are bound without
    // a request and shown in turn.
    void applicationPagesReachGlass()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        const ServedObject menu = servedPackage("menu.tgz", "menu");
        const ServedObject board = servedPackage("board.tgz", "board");
        QVERIFY(installPackage(*cache, board.bytes, descriptorOf(board.bytes)));
        h.service().putContent(menu.path, menu.bytes, packageType);
        h.service().scriptContent(menu.path, {{.fault = Service::Fault::DropMidBody}});
        h.service().requireCredential(menu.path, "Talvorine-Session ");
        const ServedObject picture = ServedObject::make("picture", 4096, 3);
        h.service().putContent(picture.path, picture.bytes);
        h.scene().setAnswering(true);
        for (const char* id : {"menu", "menu2", "board"})
            h.scene().setApplication(QString::fromLatin1(id));

        const auto placed = [](QJsonObject primitive, int x, int y) {
            primitive["rect"] = QJsonObject{{"x", x}, {"y", y}, {"width", 960}, {"height", 540}};
            return primitive;
        };
        const Manifest manifest = contentManifest(
            {QJsonArray{mediaPrimitive("picture", {picture}), applicationPrimitive("menu", menu),
                        placed(applicationPrimitive("menu2", menu), 960, 540)},
             QJsonArray{placed(applicationPrimitive("board", board), 0, 540),
                        applicationPrimitive("menu", menu)}},
            h.service().url());
        ControllerAccess::preparePage(c, manifest, 0, false);

        // The cut is transient: the first back-off is a second, the half already in the
        // partial file is kept and asked for from where it ended.
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("packageRetryTimer")->isActive(), waitMs);
        QCOMPARE(h.timer("packageRetryTimer")->interval(), 1000);
        const qint64 half = QFileInfo(cache->partialPath(menu.sha256)).size();
        QVERIFY(half > 0 && half < menu.bytes.size());
        QVERIFY(h.expireSoon("packageRetryTimer"));

        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 0, waitMs);
        const QList<Service::Request> sent = h.service().requestsTo(menu.path);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).header("Range"), QByteArray());
        QCOMPARE(sent.at(1).header("Range"), "bytes=" + QByteArray::number(half) + '-');
        QCOMPARE(sent.at(1).header("If-Range"), '"' + menu.sha256.toLatin1() + '"');
        QCOMPARE(sent.at(1).header("Accept-Encoding"), QByteArray("identity"));
        QVERIFY(cache->readyEntrypoint(descriptorOf(menu.bytes), false));
        QVERIFY(!QFileInfo::exists(cache->partialPath(menu.sha256)));
        const QJsonObject ledger = ControllerAccess::transfer24h(c, h.clock().nowMs());
        QCOMPARE(ledger.value("new").toInteger(), menu.bytes.size() + picture.bytes.size());
        QCOMPARE(ledger.value("failed").toInteger(), 0);

        ControllerAccess::preparePage(c, manifest, 1, false);
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot(), 1, waitMs);
        QCOMPARE(h.service().requestsTo(menu.path).size(), 2);
        QCOMPARE(h.service().contentAttempts(board.path), 0);

        for (const auto& [slot, id, package] :
             {std::tuple{0, "menu", menu}, std::tuple{0, "menu2", menu},
              std::tuple{1, "board", board}, std::tuple{1, "menu", menu}}) {
            const QString primitive = QString::fromLatin1(id);
            QCOMPARE(boundSource(c, slot, primitive), entryOf(package));
            QCOMPARE(boundValue(c, slot, primitive, StageLayoutModel::PackageSha256Role).toString(),
                     package.sha256);
            QUrl origin = entryOf(package);
            origin.setPath(QString());
            QCOMPARE(boundValue(c, slot, primitive, StageLayoutModel::ExpectedOriginRole).toString(),
                     origin.toString());
        }
    }

    // One package against the content route as the origin behaves per row: the back-offs armed,
    // the ranges asked for, and how the application ends (bound, or skipped with its code and
    // nothing of the package left on disk).
    void packageDownloads_data()
    {
        QTest::addColumn<bool>("hostile");
        QTest::addColumn<qint64>("partial");
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QByteArrayList>("ranges");
        QTest::addColumn<QString>("code");

        const QByteArray resume = "bytes=100-";
        const QString failed = QStringLiteral("application_package_download_failed");
        const auto after = [](const QByteArray& retryAfter) {
            return Answer{.status = 503, .headers = {{"Retry-After", retryAfter}}};
        };
        // Retry-After of 120 s, 0 s and an hour, then the doubling of the fourth and fifth
        // try; the sixth transient answer is hard, retried once at once, then skipped.
        QTest::newRow("transient schedule")
            << false << qint64(0)
            << Answers{after("120"), after("0"), {.status = 429, .headers = {{"Retry-After", "3600"}}},
                       {.status = 503}, {.status = 503}, {.status = 503}, {.status = 404}}
            << QList<int>{120000, 1000, 900000, 8000, 16000} << QByteArrayList(7, "") << failed;
        QTest::newRow("retry at an http date")
            << false << qint64(0)
            << Answers{{.status = 503,
                        .headers = {{"Retry-After", "Mon, 02 Mar 2026 10:00:05 GMT"},
                                    {"Date", "Mon, 02 Mar 2026 10:00:00 GMT"}}}}
            << QList<int>{5000} << QByteArrayList(2, "") << QString();
        QTest::newRow("404 retried once") << false << qint64(0) << Answers{{.status = 404}}
                                          << QList<int>{} << QByteArrayList(2, "") << QString();
        QTest::newRow("500 and 408 are hard")
            << false << qint64(0) << Answers{{.status = 500}, {.status = 408}} << QList<int>{}
            << QByteArrayList(2, "") << failed;
        QTest::newRow("200 to a range") << false << qint64(100) << Answers{{.status = 200}}
                                        << QList<int>{} << QByteArrayList{resume} << QString();
        QTest::newRow("416 restarts whole") << false << qint64(100) << Answers{{.status = 416}}
                                            << QList<int>{} << QByteArrayList{resume, ""} << QString();
        QTest::newRow("206 unasked, twice")
            << false << qint64(0) << Answers{{.status = 206}, {.status = 206}} << QList<int>{}
            << QByteArrayList(2, "") << failed;
        QTest::newRow("body a byte long, twice")
            << false << qint64(0) << Answers{{.lengthDelta = 1}, {.lengthDelta = 1}} << QList<int>{}
            << QByteArrayList(2, "") << failed;
        QTest::newRow("corrupted") << false << qint64(0) << Answers{{.corrupt = true}} << QList<int>{}
                                   << QByteArrayList{""}
                                   << QStringLiteral("package_archive_integrity_mismatch");
        QTest::newRow("hostile archive") << true << qint64(0) << Answers{} << QList<int>{}
                                         << QByteArrayList{""}
                                         << QStringLiteral("package_entry_type_rejected");
    }
    void packageDownloads()
    {
        QFETCH(bool, hostile);
        QFETCH(qint64, partial);
        QFETCH(Answers, answers);
        QFETCH(QList<int>, delays);
        QFETCH(QByteArrayList, ranges);
        QFETCH(QString, code);

        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        const ServedObject package = hostile ? hostilePackage() : servedPackage("app.tgz", "app");
        const ApplicationPackageDescriptor descriptor = descriptorOf(package.bytes);
        h.service().putContent(package.path, package.bytes, packageType);
        h.service().scriptContent(package.path, answers);
        if (partial > 0)
            QVERIFY(cache->appendPartial(descriptor, package.bytes.left(partial)));
        const Manifest manifest = contentManifest(
            {QJsonArray{applicationPrimitive("app", package), frame}}, h.service().url());
        ControllerAccess::preparePage(c, manifest, 0, false);

        const auto settled = [&] {
            return !boundSource(c, 0, "app").isEmpty() || !skipCode(h, "app").isEmpty();
        };
        QCOMPARE(expireBackoffs(h, settled), delays);
        QVERIFY(settled());
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        if (code.isEmpty()) {
            QCOMPARE(boundSource(c, 0, "app"), entryOf(package));
            QVERIFY(cache->readyEntrypoint(descriptor, false));
        } else {
            QCOMPARE(skipCode(h, "app"), code);
            QVERIFY(!QFileInfo::exists(cache->objectDirectory(package.sha256)));
            // The frame still goes on: only the application was skipped.
            QVERIFY(ControllerAccess::candidate(c));
        }
        // Bytes the installer refused, or that came from a download given up, are never a base
        // for a later resume of the same digest.
        if (code.startsWith(QLatin1String("package_")))
            QVERIFY(!QFileInfo::exists(cache->partialPath(package.sha256)));

        const QList<Service::Request> sent = h.service().requestsTo(package.path);
        QCOMPARE(sent.size(), ranges.size());
        for (qsizetype i = 0; i < sent.size(); ++i)
            QCOMPARE(sent.at(i).header("Range"), ranges.at(i));
    }

    // What a restore of the stored revision does with packages it does not have: it never asks
    // the origin; the candidate page's own package fails the page, another page's is left for
    // repair.
    void retainedRestoreNeverFetches_data()
    {
        QTest::addColumn<bool>("onPage");
        QTest::newRow("on the candidate page") << true;
        QTest::newRow("on another page") << false;
    }
    void retainedRestoreNeverFetches()
    {
        QFETCH(bool, onPage);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const ServedObject package = servedPackage("app.tgz", "app");
        const QJsonArray withApp{applicationPrimitive("app", package)};
        const QJsonArray withFrame{frame};
        const Manifest manifest =
            contentManifest({onPage ? withApp : withFrame, onPage ? withFrame : withApp},
                            h.service().url());
        ControllerAccess::setRetainedRestore(c, true);
        ControllerAccess::preparePage(c, manifest, 0, true);
        if (onPage) {
            // The page is given up and the next one prepared in its place.
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog(QStringLiteral("candidate_failed")).size(), 1, waitMs);
            QCOMPARE(h.devLog(QStringLiteral("candidate_failed")).first()["code"].toString(),
                     QStringLiteral("content_not_cached"));
            QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), 1, waitMs);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), 1, waitMs);
        }
        QCOMPARE(h.scene().readinessRequests().first().primitiveIds, QStringList{"frame"});
        QCOMPARE(h.service().contentAttempts(package.path), 0);
    }

    // Room for a package no volume holds: everything goes but what is on glass, outgoing,
    // planned by the candidate, or already landed by a background replacement.
    void pruneKeepsShownAndLanded()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        QList<ServedObject> p;
        for (const char* name : {"planned", "glass", "outgoing", "landed", "stray", "huge"})
            p.append(servedPackage(name, name));
        for (int i = 0; i < 5; ++i)
            QVERIFY(installPackage(*cache, p[i].bytes, descriptorOf(p[i].bytes)));
        Manifest manifest = contentManifest({QJsonArray{applicationPrimitive("huge", p[5])},
                                             QJsonArray{applicationPrimitive("planned", p[0])}},
                                            h.service().url());
        // Beyond what a manifest may declare, as only a corrupted one could.
        QJsonObject& binding = manifest.pages[0].primitives[0].binding;
        QJsonObject declared = binding["package"].toObject();
        declared["bytes"] = double(qint64(1) << 60);
        binding["package"] = declared;
        ControllerAccess::setActivePackageKeys(c, {p[1].sha256}, {p[2].sha256});
        ControllerAccess::setReplacementPackages(c, {p[3].sha256});
        ControllerAccess::preparePage(c, manifest, 0, true);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
        QCOMPARE(c.status(), QStringLiteral("content_storage_insufficient"));
        QVERIFY(!QFileInfo::exists(cache->objectDirectory(p[4].sha256)));
        for (int i = 0; i < 4; ++i)
            QVERIFY2(QFileInfo::exists(cache->objectDirectory(p[i].sha256)), p[i].path);
        QCOMPARE(h.service().contentAttempts(p[5].path), 0);
    }
};

QTEST_GUILESS_MAIN(TestPackageDownloads)
#include "tst_packagedownloads.moc"
