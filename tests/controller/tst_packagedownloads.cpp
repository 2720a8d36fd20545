#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/WebPackageBuilder.h"
#include "web/WebPackageScheme.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTest>

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

    // One package against the content route as the origin behaves per row: the back-offs armed,
    // the ranges asked for, and how the application ends: bound (its row gets the entry, origin
    // and digest), or skipped with its code and nothing of the package left on disk.
    void packageDownloads_data()
    {
        QTest::addColumn<QByteArray>("held"); // "installed", "partial", "hostile" or empty
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QByteArrayList>("ranges");
        QTest::addColumn<QString>("code");

        const QString failed = QStringLiteral("application_package_download_failed");
        const auto after = [](int status, const QByteArray& retryAfter) {
            return Answer{.status = status, .headers = {{"Retry-After", retryAfter}}};
        };
        QTest::newRow("installed") << QByteArray("installed") << Answers{} << QList<int>{}
                                   << QByteArrayList{} << QString();
        // Retry-After of 120 s, 0 s and an hour, then the doubling of the fourth and fifth try;
        // the sixth transient answer is hard, retried once at once, then skipped.
        QTest::newRow("transient schedule")
            << QByteArray() << Answers{after(503, "120"), after(503, "0"), after(429, "3600"),
                                       {.status = 503}, {.status = 503}, {.status = 503}, {.status = 404}}
            << QList<int>{120000, 1000, 900000, 8000, 16000} << QByteArrayList(7, "") << failed;
        QTest::newRow("404 retried once") << QByteArray() << Answers{{.status = 404}} << QList<int>{}
                                          << QByteArrayList(2, "") << QString();
        QTest::newRow("500 and 408 are hard") << QByteArray() << Answers{{.status = 500}, {.status = 408}}
                                              << QList<int>{} << QByteArrayList(2, "") << failed;
        QTest::newRow("416 restarts whole") << QByteArray("partial") << Answers{{.status = 416}}
                                            << QList<int>{} << QByteArrayList{"bytes=100-", ""}
                                            << QString();
        QTest::newRow("corrupted") << QByteArray() << Answers{{.corrupt = true}} << QList<int>{}
                                   << QByteArrayList{""}
                                   << QStringLiteral("package_archive_integrity_mismatch");
        QTest::newRow("hostile archive") << QByteArray("hostile") << Answers{} << QList<int>{}
                                         << QByteArrayList{""}
                                         << QStringLiteral("package_entry_type_rejected");
    }
    void packageDownloads()
    {
        QFETCH(QByteArray, held);
        QFETCH(Answers, answers);
        QFETCH(QList<int>, delays);
        QFETCH(QByteArrayList, ranges);
        QFETCH(QString, code);

        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        const ServedObject package = held == "hostile" ? hostilePackage() : servedPackage("app.tgz", "app");
        const ApplicationPackageDescriptor descriptor = descriptorOf(package.bytes);
        if (held == "installed")
            QVERIFY(installPackage(*cache, package.bytes, descriptor));
        else
            h.service().putContent(package.path, package.bytes, packageType);
        h.service().scriptContent(package.path, answers);
        if (held == "partial")
            QVERIFY(cache->appendPartial(descriptor, package.bytes.left(100)));
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
            QUrl origin = WebPackageScheme::entryUrl(package.sha256, QStringLiteral("index.html"));
            QCOMPARE(boundSource(c, 0, "app"), origin);
            origin.setPath(QString());
            QCOMPARE(boundValue(c, 0, "app", StageLayoutModel::ExpectedOriginRole).toUrl(), origin);
            QCOMPARE(boundValue(c, 0, "app", StageLayoutModel::PackageSha256Role).toString(),
                     package.sha256);
            QCOMPARE(ControllerAccess::candidate(c)->packageDescriptors.value("app").sha256,
                     package.sha256);
            QVERIFY(cache->readyEntrypoint(descriptor, false));
        } else {
            QCOMPARE(skipCode(h, "app"), code);
            QVERIFY(!QFileInfo::exists(cache->objectDirectory(package.sha256)));
            QVERIFY(ControllerAccess::candidate(c)); // the frame still goes on
        }
        // Bytes the installer refused are no base for a later resume of the same digest.
        QCOMPARE(QFileInfo::exists(cache->partialPath(package.sha256)), false);
        const QList<Service::Request> sent = h.service().requestsTo(package.path);
        QCOMPARE(sent.size(), ranges.size());
        for (qsizetype i = 0; i < sent.size(); ++i)
            QCOMPARE(sent.at(i).header("Range"), ranges.at(i));
    }

    // A restore of the stored revision never asks the origin for a package it lacks: the
    // candidate page's own fails the page (the next one is prepared), another page's waits.
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
        QList<QJsonArray> pages{QJsonArray{frame}, QJsonArray{applicationPrimitive("app", package)}};
        if (onPage)
            pages.swapItemsAt(0, 1);
        ControllerAccess::setRetainedRestore(c, true);
        ControllerAccess::preparePage(c, contentManifest(pages, h.service().url()), 0, true);
        QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), 1, waitMs);
        QCOMPARE(h.scene().readinessRequests().first().primitiveIds, QStringList{"frame"});
        const QList<QJsonObject> failed = h.devLog(QStringLiteral("candidate_failed"));
        QCOMPARE(failed.size(), onPage ? 1 : 0);
        if (onPage)
            QCOMPARE(failed.first()["code"].toString(), QStringLiteral("content_not_cached"));
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
