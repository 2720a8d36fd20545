#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/WebPackageBuilder.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace talvorine;
using namespace talvorine::test;
using Service = FakeRuntimeService;
using Answers = QList<Service::ContentAnswer>;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// A back-off the fetch has armed runs out at once: the clock passes it and the retry timer fires.
void runOutBackoff(ControllerHarness& h)
{
    QTimer* retry = h.timer("replacementPumpTimer");
    if (retry->isActive() && retry->interval() > 0) {
        h.clock().advance(retry->interval());
        h.expireSoon("replacementPumpTimer");
    }
}

// The fetch's next back-off runs out.
void endBackoff(ControllerHarness& h)
{
    QTRY_VERIFY_WITH_TIMEOUT(h.timer("replacementPumpTimer")->isActive(), waitMs);
    runOutBackoff(h);
}

} // namespace

class TestPlayerRestore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness_;

    ControllerHarness& make()
    {
        harness_ = std::make_unique<ControllerHarness>();
        if (!harness_->ready())
            qFatal("%s", qPrintable(harness_->setupError()));
        Service& service = harness_->service();
        service.script("POST", W::reportsRoute, QList<Service::Reply>(40, Service::Reply::json(200, QJsonObject())));
        service.script("PUT", W::storageRoute, QList<Service::Reply>(20, Service::Reply::json(200, QJsonObject())));
        harness_->scene().setAnswering(true);
        return *harness_;
    }

private Q_SLOTS:
    void cleanup()
    {
        ControllerHarness::release(harness_);
    }

    // The player's offline and update life in one run: an offline restart from the cache, the
    // repair once a session exists, a new revision fetched behind the rotating page on glass
    // with back-off and the watchdog, and a staged plan held on a new anchor, then completed.
    void offlineRestoreRepairAndUpdate()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const auto object = [](const char* name, quint32 seed) {
            return ServedObject::make(name, 65536, seed);
        };
        const ServedObject a = object("a", 1), b = object("b", 2), d = object("d", 3),
                           e = object("e", 4), f = object("f", 5), g = object("g", 6),
                           k = object("k", 7);
        for (const ServedObject& served : {a, b, d, e, f, g, k})
            service.putContent(served.path, served.bytes);
        QVERIFY(a.cacheIn(cache));
        const auto shows = [&](const QString& id, const ServedObject& o) {
            return c.activeSlot() >= 0 && boundSource(c, c.activeSlot(), id) == QUrl::fromLocalFile(cache.objectPath(o.sha256));
        };
        QSignalSpy activated(&c, &PlayerController::revisionActivated);

        // Offline restart, the I/O queue full at first: once it drains the first complete page
        // shows, and the other waits for repair.
        service.setRefusing(true);
        CacheIoQueue& io = ControllerAccess::contentIo(c);
        const auto busy = std::make_shared<std::atomic<bool>>(true);
        const auto queued = std::make_shared<std::atomic<bool>>(false);
        QVERIFY(io.submit(queued, [busy]() -> std::function<void()> {
            while (busy->load())
                QThread::msleep(1);
            return {};
        }));
        while (io.submit(queued, [] { return std::function<void()>(); })) {
        }
        ControllerAccess::consumeStoredManifest(
            c, contentManifestBody({{mediaPrimitive("b", {b})}, {mediaPrimitive("a", {a})}},
                                   "man_1"));
        QVERIFY(c.status() != "awaiting_content");
        busy->store(false);
        QTRY_VERIFY_WITH_TIMEOUT(shows("a", a), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::unlandedPages(c), QSet<int>{0}, waitMs);
        QCOMPARE(c.status(), "offline_lkg_active");
        QVERIFY(service.requests().isEmpty());
        QVERIFY(!ControllerAccess::fetchRunning(c));

        // The service is back: with a session the missing object alone is fetched.
        service.setRefusing(false);
        QVERIFY(h.mintSession());
        ControllerAccess::sampleStorage(c);
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage_page_admitted").size(), 1, waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);
        QVERIFY(ControllerAccess::unlandedPages(c).isEmpty());
        QCOMPARE(service.contentAttempts(b.path), 1);
        QCOMPARE(service.contentAttempts(a.path), 0);

        // A new revision while a page plays. Both pages share e; d's origin is busy, then
        // stalls mid-body, then answers 502 (the fetch goes on without d), and the revision's
        // candidate has the rest of it.
        service.scriptContent(d.path, {{.status = 503, .headers = {{"Retry-After", "120"}}},
                                       {.fault = Service::Fault::Stall},
                                       {.status = 502},
                                       {}});
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("e", {e})}, {mediaPrimitive("d", {d}), mediaPrimitive("e", {e})}},
                               service.url(), "man_2"));
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(d.path), 1, waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("replacementPumpTimer")->isActive(), waitMs);
        const auto backoff = [&h] { return qint64(h.timer("replacementPumpTimer")->interval()); };
        QVERIFY2(backoff() >= 120000 && backoff() <= 144000, qPrintable(QString::number(backoff())));
        QCOMPARE(ControllerAccess::unreachableUntil(c).value(d.sha256), h.clock().nowMs() + backoff());
        QVERIFY(QFile::exists(cache.objectPath(e.sha256)));

        // Meanwhile the old revision rotates on.
        const bool showedA = shows("a", a);
        h.clock().advance(h.timer("pageTimer")->interval());
        QVERIFY(h.expireSoon("pageTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(showedA ? shows("b", b) : shows("a", a), waitMs);

        // The watchdog ends a reply that went silent; the fetch backs off and resumes.
        endBackoff(h);
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(d.path), 2, waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(cache.partialPath(d.sha256)).size() > 0, waitMs);
        QVERIFY(h.expireSoon("replacementIdleTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("replacementPumpTimer")->isActive(), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
        QCOMPARE(activated.size(), 0);

        endBackoff(h);
        QTRY_VERIFY_WITH_TIMEOUT(shows("e", e), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_2");
        QVERIFY(QFile::exists(cache.objectPath(d.sha256)));
        QCOMPARE(service.contentAttempts(d.path), 4);
        QCOMPARE(service.contentAttempts(e.path), 1);
        QCOMPARE(activated.size(), 1);

        // A staged plan for pages A, B, C with A in stage one. A's object is gone at the
        // origin: the plan is held on B and the page on glass plays on.
        service.scriptContent(f.path, {{.status = 404}, {.status = 404}});
        const Manifest staged = contentManifest(
            {{mediaPrimitive("f", {f})}, {mediaPrimitive("g", {g})}, {mediaPrimitive("k", {k})}},
            service.url(), "man_3");
        StoragePlanRecord record;
        record.manifestRevision = "man_3";
        record.stage = "s1";
        record.anchorPageId = "p0";
        record.plan.fit = "fits_after_eviction";
        record.plan.transition = "staged";
        record.plan.anchor_page_id = "p0";
        record.plan.target_page_ids = {"p0", "p1", "p2"};
        record.plan.stage1_page_ids = {"p0"};
        const qsizetype completedBefore = h.devLog("storage_plan_complete").size();
        ControllerAccess::setPendingStoragePlan(c, record);
        ControllerAccess::preparePage(c, staged, 0, true);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
        const QList<QJsonObject> plans = h.devLog("storage_plan");
        QVERIFY(!plans.isEmpty());
        QCOMPARE(plans.last().value("reason").toString(), "anchor_unavailable");
        QVERIFY(shows("e", e));
        QCOMPARE(service.contentAttempts(f.path), 2);
        QCOMPARE(service.contentAttempts(k.path), 0);

        // Stage one (now B) goes on glass; stage two (C) lands behind it and completes the plan.
        ControllerAccess::preparePage(c, staged, 1, true);
        QTRY_VERIFY_WITH_TIMEOUT(shows("g", g), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage_plan_complete").size(), completedBefore + 1, waitMs);
        QCOMPARE(h.devLog("storage_plan_stage_two").last().value("pages").toString(), "1");
        QCOMPARE(h.devLog("storage_page_admitted").size(), 2);
        QCOMPARE(service.contentAttempts(k.path), 1);
        QString route, revision;
        QJsonObject saved;
        QVERIFY(PersistentState(h.statePath("playback-state")).loadLastKnownGood(&route, nullptr, &saved, &revision));
        QCOMPARE(revision, "man_3");
        QCOMPARE(saved.value("stage").toString(), "complete");
        QCOMPARE(saved.value("anchor_page_id").toString(), "p1");
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);

        // A new revision with an object that never hashes to its entry: each failure is
        // recorded, the fetch gives up on it at the second, and the revision goes on glass
        // without its page.
        const ServedObject m = object("m", 8), n = object("n", 9);
        for (const ServedObject& served : {m, n})
            service.putContent(served.path, served.bytes);
        service.scriptContent(m.path, QList<Service::ContentAnswer>(3, {.corrupt = true}));
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("m", {m})}, {mediaPrimitive("n", {n})}}, service.url(), "man_4"));
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(m.path), 1, waitMs);
        endBackoff(h);
        QTRY_VERIFY_WITH_TIMEOUT(shows("n", n), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_4");
        // Its own page's turn asks for it no more.
        QCOMPARE(service.contentAttempts(m.path), 2);
        QStringList codes;
        for (const QJsonObject& record : h.devLog("content_download_failed"))
            codes.append(record.value("code").toString());
        QCOMPARE(codes.count("cache_integrity_mismatch"), 2);
        const QList<QJsonObject> reported = h.devLog("page_failed_reported");
        QCOMPARE(reported.last().value("code").toString(), "cache_integrity_mismatch");

        // A new revision whose first page's only picture is answered 502 four times: the fetch
        // goes on without it after the second, the revision's page is held after the fourth, and
        // the revision keeps coming in behind the page on glass until the picture is served.
        const ServedObject y = object("y", 10);
        service.putContent(y.path, y.bytes);
        service.scriptContent(y.path, Answers(4, {.status = 502}));
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("y", {y})}, {mediaPrimitive("n", {n})}}, service.url(), "man_5"));
        endBackoff(h);
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(y.path), 4, waitMs);
        endBackoff(h);
        QTRY_VERIFY_WITH_TIMEOUT(shows("y", y), waitMs);
        QCOMPARE(service.contentAttempts(y.path), 5);
    }

    // Pages a, b, an application and x's page (x beside b in some rows), as the origin answers x
    // and the package. Every preparation asks for what all pages need: wrong bytes twice and a
    // package refused for its archive are asked for no more in the revision (nor by a repair, with
    // no chip after their page was skipped); what the origin did not give is asked for once per
    // preparation and at most twice per repair, and its page shows once it is served (a first
    // page held for it is prepared again after a back-off).
    void fetchedAgainOnlyWhereItHelps_data()
    {
        QTest::addColumn<Answers>("xAnswers");
        QTest::addColumn<int>("xPage");
        QTest::addColumn<bool>("beside");
        QTest::addColumn<Answers>("packageAnswers"); // none: a plain "tar czf", refused
        QTest::addColumn<QList<int>>("shown");       // the page on glass after each of five turns
        // x's after the start, five turns, two repairs and a new revision; the package's.
        QTest::addColumn<QList<int>>("requests");
        const Answers bad(2, {.status = 502});
        QTest::newRow("wrong bytes twice") << Answers(2, {.corrupt = true}) << 0 << false << Answers()
                                           << QList<int>{2, 1, 2, 1, 2} << QList<int>{1, 1, 2, 3, 1};
        QTest::newRow("502 twice, the first page's only picture")
            << bad << 0 << false << Answers() << QList<int>{1, 2, 0, 1, 2} << QList<int>{3, 3, 3, 3, 1};
        QTest::newRow("502 twice, its only picture")
            << bad << 1 << false << Answers() << QList<int>{1, 2, 0, 1, 2} << QList<int>{2, 3, 3, 3, 1};
        QTest::newRow("502 twice, beside another")
            << bad << 1 << true << Answers() << QList<int>{1, 2, 0, 1, 2} << QList<int>{2, 3, 3, 3, 1};
        QTest::newRow("502 at every request, beside another") << Answers(20, {.status = 502}) << 1 << true
            << Answers() << QList<int>{1, 2, 0, 1, 2} << QList<int>{2, 8, 12, 16, 1};
        QTest::newRow("package 502 twice")
            << Answers() << 1 << false << bad << QList<int>{1, 2, 3, 0, 1} << QList<int>{1, 1, 1, 1, 3};
    }
    void fetchedAgainOnlyWhereItHelps()
    {
        QFETCH(int, xPage);
        QFETCH(bool, beside);
        QFETCH(Answers, packageAnswers);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        const ServedObject x = ServedObject::make("x", 4096, 1), a = ServedObject::make("a", 4096, 2),
                           b = ServedObject::make("b", 4096, 3);
        QVERIFY(a.cacheIn(*ControllerAccess::contentCache(c)) && b.cacheIn(*ControllerAccess::contentCache(c)));
        service.putContent(x.path, x.bytes);
        QFETCH(Answers, xAnswers);
        service.scriptContent(x.path, xAnswers);
        const QByteArray plain =
            WebPackageBuilder().entry({.name = "index.html", .data = "<p>", .linkName = {}, .magic = TarEntry::Magic::Gnu}).package();
        const ServedObject package = packageAnswers.isEmpty()
            ? ServedObject{"/content/v1/packages/plain.tgz", plain, Service::sha256Hex(plain)} : servedPackage("app.tgz", "app");
        service.putContent(package.path, package.bytes);
        service.scriptContent(package.path, packageAnswers);
        QList<QJsonArray> pages{{mediaPrimitive("a", {a})}, {mediaPrimitive("b", {b})}, {applicationPrimitive("app", package)}};
        pages.insert(xPage, beside ? QJsonArray{mediaPrimitive("x", {x}), mediaPrimitive("c", {b})}
                                   : QJsonArray{mediaPrimitive("x", {x})});
        const Service::Reply unchanged = [] { Service::Reply reply; reply.status = 304; return reply; }();
        const auto revision = [&](const char* name) {
            return Service::Reply::json(200, contentDocument(pages, name));
        };
        // Until done, every back-off of a background fetch run out as soon as it is armed.
        const auto until = [&](const std::function<bool()>& done) {
            return QTest::qWaitFor([&] { runOutBackoff(h); return done(); }, waitMs);
        };
        // A new session, as after an outage: the revision on glass is sampled and repaired.
        const auto reconnect = [&] {
            QSignalSpy answered(&h.transport(), &RuntimeTransport::manifestNotModified);
            h.transport().createDeviceSession("harness-mint-0002");
            return answered.wait(waitMs) && until([&] {
                return ControllerAccess::transfersIdle(c) && !ControllerAccess::fetchRunning(c); });
        };
        QList<int> requests, turned;
        service.script("GET", W::manifestRoute, {revision("man_1"), Service::Reply::json(503, QJsonObject()), unchanged});
        QVERIFY(h.mintSession() && QTest::qWaitFor([&] {
            return c.activeSlot() >= 0 || h.timer("replacementPumpTimer")->isActive(); }, waitMs));
        if (c.activeSlot() < 0) { // held: its code shows while it waits, through an outage
            QCOMPARE(c.status(), "content_download_failed");
            QSignalSpy failed(&h.transport(), &RuntimeTransport::manifestFailed), back(&h.transport(), &RuntimeTransport::manifestNotModified);
            service.sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
            QVERIFY(failed.wait(waitMs));
            h.expireSoon("eventFetchTimer");
            QVERIFY(until([&] { return !back.isEmpty() && c.activeSlot() >= 0; }));
        }
        requests.append(service.contentAttempts(x.path));
        for (int turn = 0; turn < 5; ++turn) {
            QVERIFY(h.untilActivated([&h] { h.clock().advance(10000); h.expireSoon("pageTimer"); }));
            turned.append(ControllerAccess::activePageIndex(c));
        }
        requests.append(service.contentAttempts(x.path));
        QVERIFY(reconnect() && reconnect());
        requests.append(service.contentAttempts(x.path));
        QVERIFY(c.overlayCondition() != "verify_fail");
        service.script("GET", W::manifestRoute, {revision("man_2"), unchanged});
        h.scene().setAnswering(true);
        service.sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
        QVERIFY(until([&] { return ControllerAccess::activeRevision(c) == "man_2"; }));
        requests << service.contentAttempts(x.path) << service.contentAttempts(package.path);
        QTEST(turned, "shown");
        QTEST(requests, "requests");
        QCOMPARE(h.devLog("application_package_refused").size(), packageAnswers.isEmpty() ? 1 : 0);
    }

    // A candidate of the revision on glass that must download makes room first; what a
    // running replacement has already landed is not taken for it.
    void candidatePruneKeepsReplacementObjects()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QVERIFY(h.mintSession());
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const ServedObject a = ServedObject::make("a", 4096, 1), d = ServedObject::make("d", 4096, 2),
                           e = ServedObject::make("e", 4096, 3), y = ServedObject::make("y", 4096, 4);
        QVERIFY(a.cacheIn(cache) && y.cacheIn(cache));
        for (const ServedObject& o : {d, e})
            h.service().putContent(o.path, o.bytes);
        h.service().scriptContent(d.path, {{.status = 503}});
        const QUrl origin = h.service().url();
        const ServedObject huge = ServedObject::make("z", 16, 5);
        h.service().putContent(huge.path, huge.bytes);
        Manifest onGlass = contentManifest({{mediaPrimitive("a", {a})}, {mediaPrimitive("z", {huge})}},
                                           origin, "man_1");
        // The rotation's object declares more bytes than any volume has free.
        QJsonObject& binding = onGlass.pages[1].primitives[0].binding;
        QJsonArray items = binding["items"].toArray();
        QJsonObject item = items[0].toObject();
        item["bytes"] = double(qint64(1) << 50);
        items[0] = item;
        binding["items"] = items;
        ControllerAccess::putOnGlass(c, onGlass, 0, 0);
        ControllerAccess::setActiveContentKeys(c, {a.sha256}, {});

        ControllerAccess::beginReplacement(
            c, contentManifest({{mediaPrimitive("e", {e}), mediaPrimitive("d", {d})}}, origin, "man_2"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("replacementPumpTimer")->isActive(), waitMs);
        QVERIFY(QFile::exists(cache.objectPath(e.sha256)));

        ControllerAccess::preparePage(c, onGlass, 1, false);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cache.objectPath(y.sha256)), waitMs);
        QVERIFY(QFile::exists(cache.objectPath(e.sha256)));
        ControllerAccess::cancelCandidateWork(c);
    }
};

QTEST_MAIN(TestPlayerRestore)
#include "tst_playerrestore.moc"
