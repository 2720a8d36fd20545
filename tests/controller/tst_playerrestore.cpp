#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TestFiles.h"
#include "tests/support/WebPackageBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonArray>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>

using namespace talvorine;
using namespace talvorine::test;
using Service = FakeRuntimeService;
using Answers = QList<Service::ContentAnswer>;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr qint64 mib = 1048576;

// A back-off the fetch has armed runs out at once: the clock passes it and the retry timer fires.
void runOutBackoff(ControllerHarness& h)
{
    QTimer* retry = h.timer("replacementPumpTimer");
    if (retry->isActive() && retry->interval() > 0) {
        h.clock().advance(retry->interval());
        h.expireSoon("replacementPumpTimer");
    }
}

// Runs until nothing is left to happen but what waits for the clock or the page timer: no
// candidate, no transfer, a background fetch only while it waits out a back-off. A candidate
// waiting out a retry with nothing on glass meets its deadline at once.
bool settle(ControllerHarness& h)
{
    PlayerController& c = h.controller();
    const auto firing = [&h](const char* name) {
        const QTimer* timer = h.timer(name);
        return timer->isActive() && timer->interval() == 0;
    };
    return QTest::qWaitFor([&] {
        if (h.timer("candidateDownloadRetryTimer")->isActive()
            && h.timer("candidateDeadlineTimer")->isActive()) {
            h.clock().advance(h.timer("candidateDeadlineTimer")->interval());
            h.expireSoon("candidateDeadlineTimer");
        }
        return !ControllerAccess::candidate(c) && !ControllerAccess::owedTurnDue(c)
            && ControllerAccess::transfersIdle(c)
            && (!ControllerAccess::fetchRunning(c) || h.timer("replacementPumpTimer")->isActive())
            && !firing("pageTimer") && !firing("repairRunTimer") && !firing("replacementPumpTimer");
    }, waitMs);
}

// A screen left alone, a wait at a time until done (at most steps of them): what the background
// waits for runs out, or else the page on glass turns. The clock moves by each wait.
bool leftAloneUntil(ControllerHarness& h, const std::function<bool()>& done, int steps)
{
    for (int step = 0; step < steps && settle(h) && !done(); ++step) {
        const auto waited = [&h](const char* name) {
            QTimer* timer = h.timer(name);
            if (!timer->isActive())
                return false;
            h.clock().advance(timer->interval());
            timer->start(0);
            return true;
        };
        if (!waited("replacementPumpTimer") && !waited("repairRunTimer")) {
            h.clock().advance(10000);
            h.expireSoon("pageTimer");
        }
    }
    return settle(h) && done();
}

// How long until the first of the objects' own waits ends; -1 when none of them waits.
qint64 firstOwnWaitMs(ControllerHarness& h, const QList<ServedObject>& objects)
{
    qint64 first = -1;
    for (const ServedObject& object : objects) {
        const qint64 left = ControllerAccess::unreachableUntil(h.controller()).value(object.sha256)
                          - h.clock().monotonicMs();
        if (left > 0)
            first = first < 0 ? left : std::min(first, left);
    }
    return first;
}

// Pages of one picture each, named (as are their primitives) from first on, served as scripted.
QList<QJsonArray> servedPages(Service& service, char first, const QList<Answers>& answers,
                              QList<ServedObject>* pictures)
{
    QList<QJsonArray> pages;
    for (qsizetype i = 0; i < answers.size(); ++i) {
        const ServedObject picture = ServedObject::make(QByteArray(1, char(first + i)), 4096,
                                                        quint32(first + i));
        service.putContent(picture.path, picture.bytes);
        service.scriptContent(picture.path, answers.at(i));
        pictures->append(picture);
        pages.append({mediaPrimitive(QString(QLatin1Char(char(first + i))), {picture})});
    }
    return pages;
}

// Pages of one cached picture each, as many as names, each picture of that many bytes.
bool cachedPages(ContentCache& cache, std::initializer_list<const char*> names, qint64 bytes,
                 QList<QJsonArray>* pages, QList<ServedObject>* pictures)
{
    for (const char* name : names) {
        const ServedObject picture = ServedObject::make(name, bytes, quint32(pages->size() + 1));
        if (!picture.cacheIn(cache))
            return false;
        pictures->append(picture);
        pages->append({mediaPrimitive(name, {picture})});
    }
    return true;
}

// Revision "man_1", pages a and b with their pictures cached, on glass once a session is made.
// The uncached pages follow them.
bool playCachedRevision(ControllerHarness& h, QList<ServedObject>* pictures,
                        const QList<QJsonArray>& uncached = {}, Manifest* played = nullptr)
{
    const QList<QJsonArray> first = servedPages(h.service(), 'a', {{}, {}}, pictures);
    for (const ServedObject& picture : std::as_const(*pictures)) {
        if (!picture.cacheIn(*ControllerAccess::contentCache(h.controller())))
            return false;
    }
    if (played)
        *played = contentManifest(first + uncached, h.service().url(), "man_1");
    h.service().script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(first + uncached, "man_1"))});
    return h.mintSession() && settle(h);
}

// The service names the revision of document at the next manifest fetch, which is made now.
bool named(ControllerHarness& h, const QJsonObject& document)
{
    h.service().script("GET", W::manifestRoute, {Service::Reply::json(200, document)});
    QSignalSpy taken(&h.transport(), &RuntimeTransport::manifestModified);
    ControllerAccess::fetchManifest(h.controller(), W::manifestRoute);
    return taken.wait(waitMs);
}

// The service answers the next manifest fetch, which is made now, that nothing has changed.
bool unchanged(ControllerHarness& h)
{
    h.service().script("GET", W::manifestRoute, {Service::Reply::notModified()});
    QSignalSpy answered(&h.transport(), &RuntimeTransport::manifestNotModified);
    ControllerAccess::fetchManifest(h.controller(), W::manifestRoute);
    return answered.wait(waitMs);
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

        // A new revision while a page plays. Both pages share e; d's origin is busy for two
        // minutes, then answers 502, then serves it. The fetch asks for each object once: it
        // lands e and goes on without d, and the revision goes on glass at once at e's page;
        // d's page, passed over, is admitted once a repair run lands d.
        service.scriptContent(d.path, {{.status = 503, .headers = {{"Retry-After", "120"}}},
                                       {.status = 502},
                                       {}});
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("e", {e})}, {mediaPrimitive("d", {d}), mediaPrimitive("e", {e})}},
                               service.url(), "man_2"));
        QTRY_VERIFY_WITH_TIMEOUT(shows("e", e), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_2");
        QCOMPARE(service.contentAttempts(d.path), 1);
        const qint64 waited = ControllerAccess::unreachableUntil(c).value(d.sha256) - h.clock().monotonicMs();
        QVERIFY2(waited >= 120000 && waited <= 144000, qPrintable(QString::number(waited)));
        QVERIFY(leftAloneUntil(h, [&] { return shows("d", d); }, 40));
        QCOMPARE(service.contentAttempts(d.path), 3);
        QCOMPARE(service.contentAttempts(e.path), 1);
        QCOMPARE(activated.size(), 1);

        // A staged plan for pages A, B, C with A in stage one. The origin withholds A's object
        // for a while: the plan is held on B, which is prepared at once, and A waits for the
        // second stage.
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
        QTRY_VERIFY_WITH_TIMEOUT(shows("g", g), waitMs);
        const QList<QJsonObject> plans = h.devLog("storage_plan");
        QVERIFY(!plans.isEmpty());
        QCOMPARE(plans.last().value("reason").toString(), "anchor_unavailable");

        // Stage one (now B) is on glass; stage two (A and C) lands behind it and completes the
        // plan.
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage_plan_complete").size(), completedBefore + 1, waitMs);
        QCOMPARE(h.devLog("storage_plan_stage_two").last().value("pages").toString(), "2");
        // d's page, then C and A, each as its object lands.
        QCOMPARE(h.devLog("storage_page_admitted").size(), 4);
        QCOMPARE(service.contentAttempts(f.path), 3);
        QCOMPARE(service.contentAttempts(k.path), 1);
        QString route, revision;
        QJsonObject saved;
        QVERIFY(PersistentState(h.statePath("playback-state")).loadLastKnownGood(&route, nullptr, &saved, &revision));
        QCOMPARE(revision, "man_3");
        QCOMPARE(saved.value("stage").toString(), "complete");
        QCOMPARE(saved.value("anchor_page_id").toString(), "p1");
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);

        // A new revision with an object that never hashes to its entry: the fetch asks once and
        // the revision goes on glass at once at the page it has whole; the other page's turn
        // asks again, the second failure gives the object up, and that page is reported.
        const ServedObject m = object("m", 8), n = object("n", 9);
        for (const ServedObject& served : {m, n})
            service.putContent(served.path, served.bytes);
        service.scriptContent(m.path, QList<Service::ContentAnswer>(3, {.corrupt = true}));
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("m", {m})}, {mediaPrimitive("n", {n})}}, service.url(), "man_4"));
        QTRY_VERIFY_WITH_TIMEOUT(shows("n", n), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_4");
        QCOMPARE(service.contentAttempts(m.path), 1);
        const auto reportedAs = [&h](const char* code) {
            const QList<QJsonObject> reported = h.devLog("page_failed_reported");
            return !reported.isEmpty() && reported.last().value("code").toString() == code;
        };
        QVERIFY(leftAloneUntil(h, [&] { return reportedAs("cache_integrity_mismatch"); }, 20));
        // Given up: no turn asks for it again.
        leftAloneUntil(h, [] { return false; }, 6);
        QCOMPARE(service.contentAttempts(m.path), 2);
        QStringList codes;
        for (const QJsonObject& record : h.devLog("content_download_failed"))
            codes.append(record.value("code").toString());
        QCOMPARE(codes.count("cache_integrity_mismatch"), 2);

        // A new revision whose first page's only picture is answered 502 four times: the
        // revision goes on glass at once at the page it has whole, and the picture's page comes
        // once it is served.
        const ServedObject y = object("y", 10);
        service.putContent(y.path, y.bytes);
        service.scriptContent(y.path, Answers(4, {.status = 502}));
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("y", {y})}, {mediaPrimitive("n", {n})}}, service.url(), "man_5"));
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_5", waitMs);
        QVERIFY(shows("n", n));
        QVERIFY(leftAloneUntil(h, [&] { return shows("y", y); }, 30));
        QCOMPARE(service.contentAttempts(y.path), 5);
    }

    // Pages a, b, an application and x's page (x beside b in some rows), as the origin answers x
    // and the package. The first page on glass asks for its own objects, the repair behind it
    // for the rest: wrong bytes twice and a package refused for its archive are asked for no more
    // in the revision (nor by a repair, with no chip after their page was skipped); what the
    // origin did not give is asked for twice by its own page's preparation and once per repair
    // run, and its page shows once it is served, never turned to before (a first page passed
    // over for it comes back after a repair run).
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
                                           << QList<int>{2, 1, 2, 1, 2} << QList<int>{2, 2, 2, 3, 1};
        QTest::newRow("502 twice, the first page's only picture")
            << bad << 0 << false << Answers() << QList<int>{2, 0, 1, 2, 0} << QList<int>{3, 3, 3, 3, 1};
        QTest::newRow("502 twice, its only picture")
            << bad << 1 << false << Answers() << QList<int>{2, 0, 2, 0, 2} << QList<int>{1, 1, 2, 2, 1};
        QTest::newRow("502 twice, beside another")
            << bad << 1 << true << Answers() << QList<int>{2, 0, 2, 0, 2} << QList<int>{1, 1, 2, 2, 1};
        QTest::newRow("502 at every request, beside another") << Answers(20, {.status = 502}) << 1 << true
            << Answers() << QList<int>{2, 0, 2, 0, 2} << QList<int>{1, 1, 2, 2, 1};
        QTest::newRow("package 502 twice")
            << Answers() << 1 << false << bad << QList<int>{1, 2, 0, 1, 2} << QList<int>{1, 1, 1, 1, 3};
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
        service.script("GET", W::manifestRoute, {revision("man_1"), Service::Reply::notModified()});
        // A first page passed over is looked for by a repair run as soon as the next one shows;
        // the rest is fetched behind the first page on glass, and a page whose object did not
        // come waits for a repair run.
        QVERIFY(h.mintSession() && until([&] {
            return c.activeSlot() >= 0
                && (!h.timer("repairRunTimer")->isActive() || h.timer("repairRunTimer")->interval() > 0)
                && ControllerAccess::transfersIdle(c) && !ControllerAccess::fetchRunning(c); }));
        requests.append(service.contentAttempts(x.path));
        for (int turn = 0; turn < 5; ++turn) {
            QVERIFY(h.untilActivated([&h] { h.clock().advance(10000); h.expireSoon("pageTimer"); }));
            turned.append(ControllerAccess::activePageIndex(c));
        }
        requests.append(service.contentAttempts(x.path));
        QVERIFY(reconnect() && reconnect());
        requests.append(service.contentAttempts(x.path));
        QVERIFY(c.overlayCondition() != "verify_fail");
        service.script("GET", W::manifestRoute, {revision("man_2"), Service::Reply::notModified()});
        h.scene().setAnswering(true);
        service.sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
        QVERIFY(until([&] { return ControllerAccess::activeRevision(c) == "man_2"; }));
        requests << service.contentAttempts(x.path) << service.contentAttempts(package.path);
        QTEST(turned, "shown");
        QTEST(requests, "requests");
        QCOMPARE(h.devLog("application_package_refused").size(), packageAnswers.isEmpty() ? 1 : 0);
    }

    // Pages a, b, c of one picture each, x in place of one of them, answered as the row says,
    // through a start, six turns, three waits for the background, three more turns, and three
    // turns once a shown x is lost again and answered 404. The first page on glass waits for no
    // other page's object: a page whose object is withheld is left out of the rotation until a
    // repair run lands it (passed over at once when it is the first page), looked for by repair
    // runs whose waits grow; it never keeps the other pages off glass, and is reported only when
    // the origin answered with an error other than "ask later".
    void withheldObjectPassedOver_data()
    {
        QTest::addColumn<int>("xPage");
        QTest::addColumn<bool>("application"); // x is the page's web package, not its picture
        QTest::addColumn<Answers>("xAnswers");
        QTest::addColumn<bool>("othersCached");
        QTest::addColumn<int>("wallStepTurn"); // the wall clock goes back an hour after it (or -1)
        QTest::addColumn<QList<int>>("shown"); // the page on glass after the start and each turn
        // x's requests after the start, the turns, the waits, the turns, and once lost; at most
        // the second list's where that is not empty.
        QTest::addColumn<QList<int>>("requests");
        QTest::addColumn<QList<int>>("atMost");
        QTest::addColumn<int>("reports");
        const Answers gone(60, {.status = 404});
        const Answers closed(60, {.fault = Service::Fault::Close});
        const Answers busy(60, {.status = 503, .headers = {{"Retry-After", "60"}}});
        const QList<int> exact;
        QTest::newRow("404 for ever on the third page")
            << 2 << false << gone << false << -1 << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}
            << QList<int>{1, 1, 4, 4, 0} << exact << 1;
        QTest::newRow("502 three times, then shown")
            << 2 << false << Answers(3, {.status = 502}) << false << -1
            << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 2, 0, 1, 1, 0} << QList<int>{1, 1, 4, 4, 5} << exact << 2;
        QTest::newRow("404 three times, then served")
            << 2 << false << Answers(3, {.status = 404}) << false << -1
            << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 2, 0, 1, 1, 0} << QList<int>{1, 1, 4, 4, 4} << exact << 2;
        // A repair run waits for the minute the origin asked for: each of the three waits asks.
        QTest::newRow("503 for a minute at every request on the second page")
            << 1 << false << busy << false << -1 << QList<int>{0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0}
            << QList<int>{1, 1, 4, 4, 0} << exact << 0;
        QTest::newRow("the second page's package 503 for a minute at every request")
            << 1 << true << busy << false << -1 << QList<int>{0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0}
            << QList<int>{1, 1, 4, 4, 0} << exact << 0;
        QTest::newRow("503 at every request on the third page")
            << 2 << false << Answers(60, {.status = 503}) << false << -1
            << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0} << QList<int>{1, 1, 4, 4, 0} << exact << 0;
        QTest::newRow("429 at every request on the third page")
            << 2 << false << Answers(60, {.status = 429}) << false << -1
            << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0} << QList<int>{1, 1, 4, 4, 0} << exact << 0;
        QTest::newRow("503 asking for 10 s on the third page, the wall clock then back an hour")
            << 2 << false << Answers(3, {.status = 503, .headers = {{"Retry-After", "10"}}}) << false << 2
            << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 2, 0, 1, 1, 0} << QList<int>{1, 1, 4, 4, 5} << exact << 1;
        QTest::newRow("404 for ever on the first page, nothing on glass")
            << 0 << false << gone << false << -1 << QList<int>{1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1}
            << QList<int>{3, 3, 6, 6, 0} << exact << 1;
        // Qt sends a request again once when its connection closes unanswered: one ask is one or
        // two requests. Each turn prepares one page, which asks at most once, and so does each
        // run, the first after the waits at least; the lost object is answered 404.
        QTest::newRow("closed for ever on the third page, the others cached")
            << 2 << false << closed << true << -1 << QList<int>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}
            << QList<int>{1, 1, 4, 4, 0} << QList<int>{2, 2, 8, 8, 3} << 0;
        QTest::newRow("closed for ever on the first page, the others cached, nothing on glass")
            << 0 << false << closed << true << -1 << QList<int>{1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1}
            << QList<int>{2, 2, 5, 5, 0} << QList<int>{4, 4, 10, 10, 3} << 0;
    }
    void withheldObjectPassedOver()
    {
        QFETCH(int, xPage);
        QFETCH(bool, application);
        QFETCH(bool, othersCached);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const ServedObject x = application ? servedPackage("x", "x") : ServedObject::make("x", 4096, 1);
        QList<ServedObject> pictures{ServedObject::make("a", 4096, 2), ServedObject::make("b", 4096, 3),
                                     ServedObject::make("c", 4096, 4)};
        pictures[xPage] = x;
        QList<QJsonArray> pages;
        for (const ServedObject& picture : std::as_const(pictures)) {
            service.putContent(picture.path, picture.bytes);
            QVERIFY(!othersCached || picture.sha256 == x.sha256 || picture.cacheIn(cache));
            const QString id = QString::fromLatin1(picture.path.right(1));
            pages.append({application && picture.sha256 == x.sha256 ? applicationPrimitive(id, x)
                                                                    : mediaPrimitive(id, {picture})});
        }
        QFETCH(Answers, xAnswers);
        service.scriptContent(x.path, xAnswers);
        service.script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_1"))});

        QList<int> shown, asked;
        const auto record = [&] { shown.append(ControllerAccess::activePageIndex(c)); };
        QVERIFY(h.mintSession() && settle(h));
        record();
        asked.append(service.contentAttempts(x.path));
        QFETCH(int, wallStepTurn);
        // A turn takes what real time the machine gives it, while the background's timers are
        // armed for the test's clock: a wait of a second would run out by itself on a busy
        // machine. They are held through the turns and then armed again as they were; the waits
        // below run them out.
        constexpr int heldMs = 24 * 3600 * 1000;
        const auto turns = [&](int count) {
            QHash<QTimer*, int> held;
            const auto hold = [&] {
                for (const char* name : {"replacementPumpTimer", "repairRunTimer"}) {
                    QTimer* timer = h.timer(name);
                    if (timer->isActive() && timer->interval() != heldMs) {
                        held.insert(timer, timer->interval());
                        timer->start(heldMs);
                    }
                }
            };
            hold();
            for (int turn = 0; turn < count; ++turn) {
                h.clock().advance(10000);
                QVERIFY(h.expireSoon("pageTimer") && settle(h));
                record();
                if (shown.size() - 1 == wallStepTurn)
                    h.clock().stepLocalClock(-3600000);
                hold();
            }
            for (auto [timer, interval] : held.asKeyValueRange()) {
                if (timer->isActive() && timer->interval() == heldMs)
                    timer->start(interval);
            }
        };
        turns(6);
        asked.append(service.contentAttempts(x.path));
        QList<int> waits;
        QList<qint64> ownWaits;
        for (int wait = 0; wait < 3; ++wait) {
            // What the background waits for: a back-off within a run, else the next run.
            QTimer* timer = h.timer("replacementPumpTimer");
            if (!timer->isActive())
                timer = h.timer("repairRunTimer");
            if (!timer->isActive())
                continue;
            if (timer == h.timer("repairRunTimer")) {
                waits.append(timer->interval());
                ownWaits.append(firstOwnWaitMs(h, {x}));
            }
            h.clock().advance(timer->interval());
            timer->start(0);
            QVERIFY(settle(h));
        }
        asked.append(service.contentAttempts(x.path));
        turns(3);
        asked.append(service.contentAttempts(x.path));
        if (QFile::exists(cache.objectPath(x.sha256)))
            QVERIFY(QFile::remove(cache.objectPath(x.sha256)));
        service.scriptContent(x.path, Answers(10, {.status = 404}));
        turns(3);
        asked.append(service.contentAttempts(x.path));

        QTEST(shown, "shown");
        QFETCH(QList<int>, requests);
        QFETCH(QList<int>, atMost);
        if (atMost.isEmpty()) {
            QCOMPARE(asked, requests);
        } else {
            QCOMPARE(asked.size(), requests.size());
            for (qsizetype i = 0; i < asked.size(); ++i)
                QVERIFY2(asked.at(i) >= requests.at(i) && asked.at(i) <= atMost.at(i),
                         qPrintable(QDebug::toString(asked)));
        }
        QTEST(int(h.devLog("page_failed_reported").size()), "reports");
        // A run wakes when x's own wait is over, never later; with no wait of its own to go by,
        // a run that brought nothing back makes the next wait longer. The first wait follows the
        // repair behind the first page, which landed the other pages: the runs' waits started
        // over there.
        for (qsizetype i = 1; i < waits.size(); ++i) {
            if (ownWaits.at(i) > 0)
                QCOMPARE(qint64(waits.at(i)), ownWaits.at(i));
            else if (i >= 2)
                QVERIFY2(waits.at(i) > waits.at(i - 1), qPrintable(QString::number(waits.at(i))));
        }
    }

    // Pages a, b, c, d of one picture each (or c and d on one page): every connection for c's is
    // closed unanswered, d's is answered 404 for 90 s, then served. Ten seconds pass at each
    // step, the page turns and whatever the background waits for fires once its wait is over:
    // c never keeps d from being asked for, and d is on glass (or landed) within 5 minutes of
    // being served. A run that lands something starts the runs' waits over. With c and d the
    // only pages, d is on glass within 90 s of its object landing, and c is asked no more than
    // 20 times in any 2 minutes.
    void silentObjectHoldsUpNoOther_data()
    {
        QTest::addColumn<int>("othersRefused"); // 404s for a and b before they are served
        QTest::addColumn<bool>("dark");         // nothing on glass after the start
        QTest::addColumn<bool>("together");     // c and d on one page
        QTest::addColumn<bool>("alone");        // c and d are the only pages
        QTest::newRow("behind a page on glass") << 0 << false << false << false;
        QTest::newRow("at a first start") << 4 << true << false << false;
        QTest::newRow("on one page, behind a page on glass") << 0 << false << true << false;
        QTest::newRow("c and d alone, at a first start") << 0 << true << false << true;
    }
    void silentObjectHoldsUpNoOther()
    {
        QFETCH(int, othersRefused);
        QFETCH(bool, together);
        QFETCH(bool, alone);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QList<QJsonArray> pages;
        for (const char* name : {"a", "b", "c", "d"}) {
            pictures.append(ServedObject::make(name, 4096, quint32(pictures.size() + 1)));
            service.putContent(pictures.last().path, pictures.last().bytes);
            const QJsonObject primitive = mediaPrimitive(QString::fromLatin1(name), {pictures.last()});
            if (together && pages.size() == 3)
                pages.last().append(primitive);
            else
                pages.append({primitive});
        }
        if (alone)
            pages = pages.mid(2);
        const ServedObject &silent = pictures.at(2), &late = pictures.at(3);
        const int latePage = int(pages.size()) - 1;
        for (int i = 0; i < 2; ++i)
            service.scriptContent(pictures.at(i).path, Answers(othersRefused, {.status = 404}));
        service.scriptContent(silent.path, Answers(400, {.fault = Service::Fault::Close}));
        service.scriptContent(late.path, Answers(400, {.status = 404}));
        service.script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_1"))});
        QVERIFY(h.mintSession() && settle(h));
        QTEST(c.activeSlot() < 0, "dark");

        const QString landed = ControllerAccess::contentCache(c)->objectPath(late.sha256);
        qint64 pumpDueMs = -1, lateMs = -1, landedMs = -1;
        int pumpIntervalMs = -1;
        QList<int> silentAsks{service.contentAttempts(silent.path)};
        for (qint64 elapsed = 10000; elapsed <= 420000 && lateMs < 0; elapsed += 10000) {
            if (elapsed == 100000) // 90 s after the first step
                service.scriptContent(late.path, {});
            h.clock().advance(10000);
            QTimer* pump = h.timer("replacementPumpTimer");
            if (pump->isActive() && pumpDueMs >= 0 && h.clock().monotonicMs() >= pumpDueMs)
                pump->start(0);
            // A run fired early waits out the rest of its wait by itself.
            if (h.timer("repairRunTimer")->isActive())
                h.timer("repairRunTimer")->start(0);
            h.expireSoon("pageTimer");
            QVERIFY(settle(h));
            // A wait is due once its interval has passed since it was armed: a timer still
            // armed from an earlier step keeps its due time.
            if (!pump->isActive())
                pumpDueMs = -1;
            else if (pumpDueMs < 0 || pump->interval() != pumpIntervalMs)
                pumpDueMs = h.clock().monotonicMs() + pump->interval();
            pumpIntervalMs = pump->interval();
            silentAsks.append(service.contentAttempts(silent.path));
            if (landedMs < 0 && QFile::exists(landed))
                landedMs = elapsed;
            if (together ? QFile::exists(landed)
                         : c.activeSlot() >= 0 && ControllerAccess::activePageIndex(c) == latePage)
                lateMs = elapsed;
        }
        if (alone) {
            QVERIFY2(landedMs >= 0 && lateMs >= 0 && lateMs - landedMs <= 90000,
                     qPrintable(QStringLiteral("%1 %2").arg(landedMs).arg(lateMs)));
            for (qsizetype i = 12; i < silentAsks.size(); ++i)
                QVERIFY2(silentAsks.at(i) - silentAsks.at(i - 12) <= 20, qPrintable(QDebug::toString(silentAsks)));
        }
        QVERIFY2(lateMs >= 100000 && lateMs <= 400000, qPrintable(QString::number(lateMs)));
        if (together) {
            // The next run wakes when c's own wait ends; with none, the runs' waits start over.
            QVERIFY(h.timer("repairRunTimer")->isActive());
            if (const qint64 own = firstOwnWaitMs(h, {silent}); own > 0)
                QCOMPARE(qint64(h.timer("repairRunTimer")->interval()), own);
            else
                QCOMPARE_LE(h.timer("repairRunTimer")->interval(), 30000);
        }
        // Never more than twice (Qt's own second try) per step: once by a page, once by a run.
        const int asked = service.contentAttempts(silent.path);
        QVERIFY2(asked <= 4 * int(lateMs / 10000), qPrintable(QString::number(asked)));
    }

    // A new screen whose first page's picture x is closed at every try fetches the rest of its
    // revision beside it: y and z land, each asked for once, while nothing is on glass, and y
    // shows once x is passed over. z fails on its own (a picture the scene does not decode) at its
    // first turn, and stays out of the rotation through the re-plan that finds it whole again.
    // While x's transfer runs, though, neither is asked for: on a slow link they would share it.
    void newScreenFetchesBesideFirstPage_data()
    {
        QTest::addColumn<bool>("stalledFirst"); // x's first transfer goes silent until cut
        QTest::newRow("closed at every try") << false;
        QTest::newRow("silent at its first try, then closed") << true;
    }
    void newScreenFetchesBesideFirstPage()
    {
        QFETCH(bool, stalledFirst);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        Answers closed(60, {.fault = Service::Fault::Close});
        if (stalledFirst)
            closed.prepend({.fault = Service::Fault::Stall});
        const QList<QJsonArray> pages = servedPages(service, 'x', {closed, {}, {}}, &pictures);
        service.script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_1"))});
        h.scene().setFailure("z", "image_decode_failed");
        QVERIFY(h.mintSession());
        const ContentCache& cache = *ControllerAccess::contentCache(c);
        if (stalledFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(cache.partialPath(pictures.at(0).sha256)).size() > 0
                                         && ControllerAccess::contentIo(c).waitingCount() == 0
                                         && !ControllerAccess::contentIo(c).isRunning(),
                                     waitMs);
            QTest::qWait(200);
            QCOMPARE(service.contentAttempts(pictures.at(1).path) + service.contentAttempts(pictures.at(2).path), 0);
            service.cutConnections(); // x waits to be asked again, and the rest comes meanwhile
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(cache.objectPath(pictures.at(1).sha256))
                                     && QFile::exists(cache.objectPath(pictures.at(2).sha256)),
                                 waitMs);
        QVERIFY(c.activeSlot() < 0 && ControllerAccess::candidate(c));
        for (int turn = 0; turn < 6; ++turn) {
            QVERIFY(settle(h) && ControllerAccess::activePageIndex(c) == 1);
            if (turn == 2)
                ControllerAccess::sampleStorage(c);
            h.clock().advance(10000);
            QVERIFY(h.expireSoon("pageTimer"));
        }
        const QList<QJsonObject> failed = h.devLog("candidate_failed");
        QCOMPARE(std::count_if(failed.cbegin(), failed.cend(), [](const QJsonObject& r) {
                     return r.value("page_id") == QLatin1String("p2");
                 }), 1);
        QCOMPARE(service.contentAttempts(pictures.at(1).path), 1);
        QCOMPARE(service.contentAttempts(pictures.at(2).path), 1);
    }

    // A first revision none of whose pages could be prepared keeps its code as the status and
    // comes in again after back-offs that grow with each round, through bodies that cannot be
    // used and the same revision meanwhile; once its objects are served it comes on glass, every
    // page of it, within one wait of the origin's return (never more than 5 minutes).
    void heldRevisionComesBack_data()
    {
        QTest::addColumn<int>("pageCount"); // pages of one picture each, every picture withheld
        QTest::addColumn<Service::ContentAnswer>("answer");
        QTest::addColumn<QByteArray>("interlude"); // a body the service answers after round one
        QTest::addColumn<int>("interludeStatus");  // and its status
        QTest::addColumn<QList<int>>("rounds");    // the requests of each of four rounds
        const Service::ContentAnswer gone{.status = 404};
        QJsonObject unusable = contentDocument({{}}, "man_2");
        unusable["pages"] = QJsonArray{"a", 1};
        const QList<int> twice{2, 2, 2, 2};
        QTest::newRow("one page, 404 for ever") << 1 << gone << QByteArray() << 200 << twice;
        QTest::newRow("a body that does not parse meanwhile")
            << 1 << gone << QByteArray("{") << 200 << twice;
        QTest::newRow("a body with no usable page meanwhile")
            << 1 << gone << QJsonDocument(unusable).toJson() << 200 << twice;
        QTest::newRow("the same revision meanwhile")
            << 1 << gone << QJsonDocument(contentDocument({{}}, "man_1")).toJson() << 200 << twice;
        QTest::newRow("a manifest fetch that fails meanwhile")
            << 1 << gone << QByteArray("{}") << 503 << twice;
        // Each round asks for every page's picture once, and the candidate after it for its own.
        QTest::newRow("three pages, connections closed past each deadline")
            << 3 << Service::ContentAnswer{.fault = Service::Fault::Close} << QByteArray() << 200
            << QList<int>{4, 4, 4, 4};
    }
    void heldRevisionComesBack()
    {
        QFETCH(int, pageCount);
        QFETCH(Service::ContentAnswer, answer);
        QFETCH(QByteArray, interlude);
        QFETCH(int, interludeStatus);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QList<QJsonArray> pages;
        for (int i = 0; i < pageCount; ++i) {
            pictures.append(ServedObject::make(QByteArray(1, char('x' + i)), 4096, quint32(i + 1)));
            service.putContent(pictures.last().path, pictures.last().bytes);
            service.scriptContent(pictures.last().path, Answers(60, answer));
            pages.append({mediaPrimitive(QStringLiteral("picture"), {pictures.last()})});
        }
        const auto asked = [&] {
            int count = 0;
            for (const ServedObject& picture : std::as_const(pictures))
                count += service.contentAttempts(picture.path);
            return count;
        };
        QList<Service::Reply> bodies{Service::Reply::json(200, contentDocument(pages, "man_1"))};
        if (!interlude.isEmpty())
            bodies.append(Service::Reply::json(interludeStatus, interlude));
        if (interludeStatus != 200)
            bodies.append(Service::Reply::notModified());
        service.script("GET", W::manifestRoute, bodies);
        // The service answers throughout: however its content fails, it is never said to be out
        // of reach.
        const QList<QByteArray> said = journalRecordsOf([&] { QVERIFY(h.mintSession() && settle(h)); });
        QCOMPARE(said, QList<QByteArray>());
        QCOMPARE(c.activeSlot(), -1);
        QCOMPARE(c.status(), "content_download_failed");

        QList<int> rounds;
        for (int round = 0; round < 4; ++round) {
            QTimer* pump = h.timer("replacementPumpTimer");
            QVERIFY(pump->isActive());
            // A round wakes when the first of its pictures' own waits ends.
            if (const qint64 own = firstOwnWaitMs(h, pictures); own > 0)
                QCOMPARE(qint64(pump->interval()), own);
            const int before = asked();
            runOutBackoff(h);
            QVERIFY(settle(h));
            rounds.append(asked() - before);
            QCOMPARE(c.status(), "content_download_failed");
            if (round == 0 && !interlude.isEmpty()) {
                const qsizetype plans = h.devLog("storage_plan").size();
                QSignalSpy taken(&h.transport(), &RuntimeTransport::manifestModified);
                QSignalSpy failed(&h.transport(), &RuntimeTransport::manifestFailed);
                service.sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
                QVERIFY((interludeStatus == 200 ? taken : failed).wait(waitMs));
                QVERIFY(settle(h));
                QVERIFY(h.timer("replacementPumpTimer")->isActive());
                QCOMPARE(h.devLog("storage_plan").size(), plans);
            }
        }
        QTEST(rounds, "rounds");

        // The origin is back: the next round brings every page.
        for (const ServedObject& picture : std::as_const(pictures))
            service.scriptContent(picture.path, {});
        QVERIFY(h.timer("replacementPumpTimer")->interval() <= 300000);
        runOutBackoff(h);
        QVERIFY(settle(h));
        QVERIFY(c.activeSlot() >= 0);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
        QCOMPARE(ControllerAccess::unlandedPages(c), QSet<int>());
    }

    // A volume filled by someone else stops nothing held whole: the pages of the revision on
    // glass keep turning after a re-plan finds no room for any of them (the storage chip stays),
    // and so do they after a restart on the plan saved then, or once room returns while the
    // origin is out of reach and nothing can be fetched.
    void heldPagesPlayWhileFull_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::addColumn<bool>("roomBack");
        QTest::newRow("re-planned on glass") << false << false;
        QTest::newRow("restored from the plan saved") << true << false;
        QTest::newRow("room back, the origin out of reach") << false << true;
    }
    void heldPagesPlayWhileFull()
    {
        QFETCH(bool, restart);
        QFETCH(bool, roomBack);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const auto available = ControllerAccess::measureVolumeAs(c, 1200 * mib, 1000 * mib);
        QList<ServedObject> pictures;
        QList<QJsonArray> pages;
        QVERIFY(cachedPages(cache, {"a", "b", "c"}, 65536, &pages, &pictures));
        const auto shows = [&](int page) {
            const QString source = cache.objectPath(pictures.at(page).sha256);
            return c.activeSlot() >= 0
                && boundSource(c, c.activeSlot(), pages.at(page)[0]["id"].toString())
                       == QUrl::fromLocalFile(source);
        };
        h.service().setRefusing(true);
        if (restart) {
            StoragePlanRecord saved;
            saved.manifestRevision = "man_1";
            saved.stage = "complete";
            saved.plan.fit = "none_fit";
            ControllerAccess::setActiveStoragePlan(c, saved);
            ControllerAccess::consumeStoredManifest(c, contentManifestBody(pages, "man_1"));
        } else {
            ControllerAccess::planRevision(c, contentManifest(pages, h.service().url(), "man_1"));
            QTRY_VERIFY_WITH_TIMEOUT(shows(0), waitMs);
            available->store(100 * mib);
            ControllerAccess::sampleStorage(c);
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage.plan_shrunk").size(), 1, waitMs);
        }
        if (roomBack) {
            available->store(1000 * mib);
            ControllerAccess::sampleStorage(c);
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage.plan_grown").size(), 1, waitMs);
        }
        QTRY_VERIFY_WITH_TIMEOUT(shows(0), waitMs);
        for (const int next : {1, 2, 0}) {
            QVERIFY(settle(h));
            h.clock().advance(h.timer("pageTimer")->interval());
            QVERIFY(h.expireSoon("pageTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(shows(next), waitMs);
            QCOMPARE(ControllerAccess::storageFault(c), !restart && !roomBack);
        }
    }

    // A new revision the volume has no room for waits without a download, the operator told
    // once what it lacks; once room returns the storage sample takes it and says so. So too
    // for one whose candidate was held, or whose fetch behind glass was cut, when the volume
    // could not take its download: its object is not given up for it. One that a later
    // revision held whole replaces is answered too.
    void refusedRevisionTakenWhenRoomReturns_data()
    {
        QTest::addColumn<QString>("way"); // refused by its plan, or its download cut
        QTest::addColumn<QByteArray>("notice");
        const QByteArray back = "<5>The storage volume has room again for revision man_2.\n";
        QTest::newRow("refused by its plan") << "plan" << back;
        QTest::newRow("its candidate's download cut by a full volume") << "candidate" << back;
        QTest::newRow("its fetch behind glass cut by a full volume") << "fetch" << back;
        QTest::newRow("replaced by a revision held whole")
            << "replaced"
            << QByteArray("<5>Revision man_2 no longer waits for room: revision man_3 came in "
                          "its place.\n");
    }
    void refusedRevisionTakenWhenRoomReturns()
    {
        QFETCH(QString, way);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const auto available = ControllerAccess::measureVolumeAs(c, 1200 * mib, 1000 * mib);
        QVERIFY(h.mintSession());
        const ServedObject a = ServedObject::make("a", 65536, 1);
        const ServedObject d = ServedObject::make("d", 65536, 2);
        QVERIFY(a.cacheIn(cache));
        service.putContent(d.path, d.bytes);
        const Manifest next = contentManifest({{mediaPrimitive("d", {d})}}, service.url(), "man_2");
        ControllerAccess::planRevision(
            c, contentManifest({{mediaPrimitive("a", {a})}}, service.url(), "man_1"));
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_1", waitMs);
        QVERIFY(settle(h));
        // What the volume will not take: the first bytes of d.
        if (way == "fetch")
            cache.failNextPartialWrite(ENOSPC);

        const QList<QByteArray> said = journalRecordsOf([&] {
            if (way == "candidate") { // its download goes silent, the volume fills: it is held
                service.scriptContent(d.path, {{.fault = Service::Fault::Stall}});
                ControllerAccess::preparePage(c, next, 0, true);
                QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(d.path), 1, waitMs);
            } else if (way == "fetch") {
                ControllerAccess::beginReplacement(c, next);
                QTRY_COMPARE_WITH_TIMEOUT(h.devLog("content.write_failed").size(), 1, waitMs);
                QVERIFY(settle(h));
                QCOMPARE(ControllerAccess::unreachableUntil(c).value(d.sha256), 0);
            }
            available->store(100 * mib);
            if (way == "candidate")
                ControllerAccess::failCandidate(c, "content_storage_insufficient");
            else if (way != "fetch")
                ControllerAccess::planRevision(c, next);
            for (int sample = 0; sample < 2; ++sample) {
                ControllerAccess::sampleStorage(c);
                QVERIFY(settle(h));
            }
            QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
            QCOMPARE(service.contentAttempts(d.path), way == "candidate" || way == "fetch" ? 1 : 0);
            available->store(1000 * mib);
            if (way == "replaced") { // a later revision comes before the storage sample
                ControllerAccess::planRevision(
                    c, contentManifest({{mediaPrimitive("a", {a})}}, service.url(), "man_3"));
                QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_3", waitMs);
                return;
            }
            // Looked at again within a minute, not at the next quarter hour.
            QCOMPARE(h.timer("roomWaitTimer")->interval(), 60000);
            QVERIFY(h.expireSoon("roomWaitTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_2", waitMs);
        });
        // It lacks the reserve's 768 MiB less what is free and held, and its own object.
        QCOMPARE(said.size(), 2);
        QVERIFY2(said.at(0).startsWith("<3>Revision man_2 does not fit on the storage volume: it "
                                       "needs 66")
                     && said.at(0).endsWith(" MiB more room; 100 MiB is free on the volume and "
                                            "768 MiB is kept in reserve. What is already held "
                                            "keeps playing; the rest waits for room.\n"),
                 said.at(0));
        QTEST(said.at(1), "notice");
    }

    // A volume that cannot be written is not a full one: a repair run whose write a read-only
    // mount or a failing card refuses leaves its object a wait of its own, with no storage chip,
    // and the operator is told once what failed and where, however often it fails so; the
    // object lands once the volume writes again. A full volume waits for room instead.
    void unwritableVolumeNotFull_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("package"); // else a picture
        QTest::newRow("read-only") << EROFS << false;
        QTest::newRow("failing card") << EIO << false;
        QTest::newRow("full") << ENOSPC << false;
        QTest::newRow("full, a package") << ENOSPC << true;
    }
    void unwritableVolumeNotFull()
    {
        QFETCH(int, error);
        QFETCH(bool, package);
        const bool full = error == ENOSPC;
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const ServedObject a = ServedObject::make("a", 65536, 1);
        const ServedObject b = package ? servedPackage("b", "b") : ServedObject::make("b", 65536, 2);
        QVERIFY(a.cacheIn(cache));
        service.putContent(b.path, b.bytes);
        QVERIFY(h.mintSession());
        const auto failNextWrite = [&] {
            package ? ControllerAccess::applicationCache(c)->failNextPartialWrite(error)
                    : cache.failNextPartialWrite(error);
        };
        const auto repairFailing = [&](bool failing) {
            if (failing)
                failNextWrite();
            h.clock().advance(900000); // past any wait of b's
            ControllerAccess::sampleStorage(c);
        };
        const QJsonObject shown = package ? applicationPrimitive("b", b) : mediaPrimitive("b", {b});
        const QList<QByteArray> said = journalRecordsOf([&] {
            failNextWrite();
            ControllerAccess::consumeStoredManifest(
                c, contentManifestBody({{shown}, {mediaPrimitive("a", {a})}}, "man_1"));
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::retainedInventoryDone(c), waitMs);
            QVERIFY(settle(h));
            ControllerAccess::sampleStorage(c); // the restored page b lacks: a repair run
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("content.write_failed").size(), 1, waitMs);
            QVERIFY(settle(h));
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);
            QCOMPARE(ControllerAccess::storageFault(c), full);
            QCOMPARE(ControllerAccess::unreachableUntil(c).value(b.sha256) > 0, !full);
            if (!full) {
                repairFailing(true);
                QTRY_COMPARE_WITH_TIMEOUT(h.devLog("content.write_failed").size(), 2, waitMs);
                QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);
                QVERIFY(!ControllerAccess::storageFault(c));
            }
            repairFailing(false);
            QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::unlandedPages(c), QSet<int>(), waitMs);
        });
        QCOMPARE(service.contentAttempts(b.path), full ? 2 : 3);
        QCOMPARE(said.size(), full ? 0 : 1);
        if (!full)
            QVERIFY2(said.at(0).contains("Downloads cannot be written to the state directory "
                                         + QFile::encodeName(h.stateDirectory()) + ": "
                                         + qt_error_string(error).toLocal8Bit() + "."),
                     said.at(0));
    }

    // Pages of the revision on glass held whole though its plan left them out keep turning, and
    // a re-plan of that revision keeps them; a new revision may take their room. Pages a, b, c of
    // 1 MiB each, b and c left out for room; a new revision of one 1 MiB page, with room for it
    // beside a but not beside all three (2.5 MiB): it evicts b and c and goes on glass.
    void cachedPagesYieldToNewRevision_data()
    {
        QTest::addColumn<bool>("newRevision"); // else the revision on glass is planned again
        QTest::newRow("a new revision") << true;
        QTest::newRow("the revision on glass again") << false;
    }
    void cachedPagesYieldToNewRevision()
    {
        QFETCH(bool, newRevision);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const auto available = ControllerAccess::measureVolumeAs(c, 1200 * mib, 1000 * mib);
        QList<ServedObject> pictures;
        QList<QJsonArray> pages;
        QVERIFY(cachedPages(cache, {"a", "b", "c"}, mib, &pages, &pictures));
        StoragePlanRecord saved;
        saved.manifestRevision = "man_1";
        saved.stage = "complete";
        saved.plan.fit = "partial";
        saved.plan.transition = "direct";
        saved.plan.target_page_ids = {"p0"};
        saved.plan.excluded = {{"p1", "capacity"}, {"p2", "capacity"}};
        saved.anchorPageId = "p0";
        ControllerAccess::setActiveStoragePlan(c, saved);
        ControllerAccess::consumeStoredManifest(c, contentManifestBody(pages, "man_1"));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::retainedInventoryDone(c), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
        QVERIFY(h.mintSession() && settle(h));
        // The reserve (768 MiB with the ads' share) and 2.5 MiB beside what the caches hold.
        available->store(768 * mib - mib / 2);
        const ServedObject d = ServedObject::make("d", mib, 4);
        service.putContent(d.path, d.bytes);
        if (newRevision) {
            ControllerAccess::planRevision(
                c, contentManifest({{mediaPrimitive("d", {d})}}, service.url(), "man_2"));
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage_plan").size(), 1, waitMs);
            QCOMPARE(h.devLog("storage_plan").last()["fit"].toString(), "fits_after_eviction");
            QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_2", waitMs);
            return;
        }
        const quint64 plans = ControllerAccess::storagePlanGeneration(c);
        ControllerAccess::sampleStorage(c);
        QVERIFY(ControllerAccess::storagePlanGeneration(c) > plans);
        QVERIFY(settle(h));
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::contentIo(c).isRunning(), waitMs);
        for (const ServedObject& picture : std::as_const(pictures))
            QVERIFY(QFileInfo::exists(cache.objectPath(picture.sha256)));
    }

    // While a refusal for room stands the volume is looked at every minute, and while its free
    // space stays the same that look plans nothing, reports nothing and writes no line. Room
    // that returns is taken within the minute, for a new revision refused or for the revision on
    // glass that a re-plan found no room for.
    void minuteLookForRoom_data()
    {
        QTest::addColumn<bool>("onGlass"); // the revision on glass is refused, else a new one
        QTest::newRow("new revision") << false;
        QTest::newRow("on glass") << true;
    }
    void minuteLookForRoom()
    {
        QFETCH(bool, onGlass);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const auto available = ControllerAccess::measureVolumeAs(c, 1200 * mib, 1000 * mib);
        QVERIFY(h.mintSession());
        QList<QJsonArray> pages;
        QList<ServedObject> pictures;
        QVERIFY(cachedPages(cache, {"a", "b"}, 65536, &pages, &pictures));
        const ServedObject d = ServedObject::make("d", 65536, 3);
        service.putContent(d.path, d.bytes);
        ControllerAccess::planRevision(c, contentManifest(pages, service.url(), "man_1"));
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_1", waitMs);
        QVERIFY(settle(h));
        available->store(100 * mib);
        if (onGlass) {
            ControllerAccess::sampleStorage(c);
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage.plan_shrunk").size(), 1, waitMs);
        } else {
            ControllerAccess::planRevision(
                c, contentManifest({{mediaPrimitive("d", {d})}}, service.url(), "man_2"));
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::storageFault(c), waitMs);
        }
        // The refusal's own report has come in.
        QTRY_VERIFY_WITH_TIMEOUT(
            !service.requestsTo(W::storageRoute).isEmpty()
                && QJsonDocument::fromJson(service.requestsTo(W::storageRoute).last().body)
                           ["plan"]["fit"]
                       == "none_fit",
            waitMs);
        QVERIFY(settle(h));
        CacheIoQueue& io = ControllerAccess::contentIo(c);
        const auto looked = [&] {
            h.clock().advance(60000);
            QCOMPARE(h.timer("roomWaitTimer")->interval(), 60000);
            QVERIFY(h.expireSoon("roomWaitTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(h.timer("roomWaitTimer")->interval(), 60000, waitMs);
            QTRY_VERIFY_WITH_TIMEOUT(!io.isRunning() && io.waitingCount() == 0, waitMs);
            QVERIFY(settle(h));
        };
        const qsizetype lines = h.devLog("storage_plan").size();
        const qsizetype reports = service.requestsTo(W::storageRoute).size();
        const quint64 plans = ControllerAccess::storagePlanGeneration(c);
        for (int minute = 0; minute < 3; ++minute) {
            available->store(100 * mib + 256 * 1024 * minute); // less than a MiB more
            looked();
        }
        QCOMPARE(h.devLog("storage_plan").size(), lines);
        QCOMPARE(service.requestsTo(W::storageRoute).size(), reports);
        QCOMPARE(ControllerAccess::storagePlanGeneration(c), plans);
        available->store(1000 * mib);
        looked();
        if (onGlass)
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage.plan_grown").size(), 1, waitMs);
        else
            QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_2", waitMs);
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
        // d never answers: the fetch stays on it with e landed.
        h.service().scriptContent(d.path, {{.fault = Service::Fault::Silent}});
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
        QTRY_COMPARE_WITH_TIMEOUT(h.service().contentAttempts(d.path), 1, waitMs);
        QVERIFY(QFile::exists(cache.objectPath(e.sha256)));

        ControllerAccess::preparePage(c, onGlass, 1, false);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cache.objectPath(y.sha256)), waitMs);
        QVERIFY(QFile::exists(cache.objectPath(e.sha256)));
        ControllerAccess::cancelCandidateWork(c);
    }

    // Revision 1 (pages a, b) plays when revision 2 comes: two pages, one picture withheld for a
    // while and one that never hashes to its entry, or a staged plan anchored on the first page
    // whose picture is withheld. Whatever ended its candidates, revision 2 is never left idle:
    // it goes on glass, at the page the row names, once a page of it can be shown. Where the row
    // names a page of revision 2 whose picture is withheld, it is asked for again within the
    // longest wait (300 s) of the last ask, and its page is passed over no more often than its
    // picture is asked for: the held revision wakes for what it lacks, never before.
    void newRevisionNeverStranded_data()
    {
        QTest::addColumn<QList<Answers>>("answers"); // revision 2's pictures, by page
        QTest::addColumn<QStringList>("targets");    // a staged plan's pages, anchored on the first
        QTest::addColumn<QStringList>("stageOne");   // and its first stage; none without a plan
        QTest::addColumn<int>("shown");              // revision 2's first page on glass
        QTest::addColumn<QSet<int>>("rotation");     // its pages on glass through ten more waits
        QTest::addColumn<int>("paced");              // a page of it watched as above; -1: none
        QTest::addColumn<bool>("fetched");           // a staged plan fetched behind glass first
        const Answers withheld(6, {.status = 404});
        const Answers wrong(60, {.corrupt = true});
        QTest::newRow("404 for a while, then served, beside wrong bytes")
            << QList<Answers>{withheld, wrong} << QStringList() << QStringList() << 0 << QSet<int>{0} << -1 << false;
        QTest::newRow("wrong bytes, then 404 for a while")
            << QList<Answers>{wrong, withheld} << QStringList() << QStringList() << 1 << QSet<int>{1} << -1 << false;
        const Answers throttled(3, {.status = 503, .headers = {{"Retry-After", "120"}}});
        QTest::newRow("\"come back later\" for a long while, beside wrong bytes")
            << QList<Answers>{throttled, wrong} << QStringList() << QStringList() << 0 << QSet<int>{0} << 0 << false;
        const QStringList both{"p0", "p1"};
        QTest::newRow("staged, the anchor 404 for a while beside another stage-one page")
            << QList<Answers>{withheld, {}} << both << both << 1 << QSet<int>{0, 1} << -1 << false;
        QTest::newRow("staged, the anchor alone in stage one and 404 for a while")
            << QList<Answers>{withheld, {}} << both << QStringList{"p0"} << 1 << QSet<int>{0, 1} << -1 << false;
        QTest::newRow("staged, the anchor alone in stage one and 404 for ever")
            << QList<Answers>{Answers(60, {.status = 404}), {}} << both << QStringList{"p0"} << 1 << QSet<int>{1} << -1 << false;
        QTest::newRow("staged, the anchor 404 for ever, the other stage-one page for a longer while")
            << QList<Answers>{Answers(60, {.status = 404}), Answers(12, {.status = 404})} << both << both << 1
            << QSet<int>{1} << 1 << false;
        QTest::newRow("staged, the anchor the plan's only page and 404 for a while")
            << QList<Answers>{withheld, {}} << QStringList{"p0"} << QStringList{"p0"} << 0 << QSet<int>{0} << -1 << false;
        QTest::newRow("staged, the anchor alone in stage one and 404 for a while, fetched behind glass")
            << QList<Answers>{withheld, {}} << both << QStringList{"p0"} << 1 << QSet<int>{0, 1} << -1 << true;
    }
    void newRevisionNeverStranded()
    {
        QFETCH(QList<Answers>, answers);
        QFETCH(QStringList, targets);
        QFETCH(QStringList, stageOne);
        QFETCH(int, paced);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures));
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");

        const Manifest second = contentManifest(servedPages(service, 'x', answers, &pictures),
                                                service.url(), "man_2");
        if (targets.isEmpty()) {
            ControllerAccess::planRevision(c, second);
        } else {
            StoragePlanRecord record;
            record.manifestRevision = "man_2";
            record.stage = "s1";
            record.anchorPageId = "p0";
            record.plan.fit = "fits_after_eviction";
            record.plan.transition = "staged";
            record.plan.anchor_page_id = "p0";
            record.plan.target_page_ids = targets;
            record.plan.stage1_page_ids = stageOne;
            ControllerAccess::setPendingStoragePlan(c, record);
            QFETCH(bool, fetched);
            if (fetched)
                ControllerAccess::beginReplacement(c, second);
            else
                ControllerAccess::preparePage(c, second, 0, true);
        }
        // One wait for each ask of the longest row (thirteen), and one to spare.
        const int waits = 13 + 1;
        const QByteArray pacedPath = paced >= 0 ? pictures.at(2 + paced).path : QByteArray();
        int asks = service.contentAttempts(pacedPath);
        qint64 askedMs = h.clock().monotonicMs();
        qint64 longestGapMs = 0;
        const auto onGlass = [&] {
            if (const int now = service.contentAttempts(pacedPath); now > asks) {
                longestGapMs = std::max(longestGapMs, h.clock().monotonicMs() - askedMs);
                askedMs = h.clock().monotonicMs();
                asks = now;
            }
            return ControllerAccess::activeRevision(c) == "man_2";
        };
        QVERIFY(leftAloneUntil(h, onGlass, waits));
        QVERIFY2(longestGapMs <= 300000, qPrintable(QString::number(longestGapMs)));
        if (paced >= 0) {
            const QString pageId = second.pages.at(paced).id;
            const QList<QJsonObject> passedOver = h.devLog("page_passed_over");
            const auto count = std::count_if(passedOver.cbegin(), passedOver.cend(), [&](const QJsonObject& entry) {
                return entry.value("page_id").toString() == pageId;
            });
            QVERIFY2(count <= asks, qPrintable(QStringLiteral("%1 > %2").arg(count).arg(asks)));
        }
        QTEST(ControllerAccess::activePageIndex(c), "shown");
        QSet<int> rotation;
        leftAloneUntil(h, [&] { rotation.insert(ControllerAccess::activePageIndex(c)); return false; }, 10);
        QTEST(rotation, "rotation");
    }

    // Revision 1 (pages a, b) plays when revision 2 comes: x, whose origin takes the request and
    // never answers, and y. The fetch asks for each once, in turn: x is given up when the
    // watchdog ends it, y lands, and revision 2 goes on glass at y's page. With the origin down,
    // a pass that lands nothing waits and passes again, and no page of revision 2 is prepared.
    // So too behind a gateway answering 5xx for every object. Where x is revision 1's too, waiting
    // out the 600 s its origin asked for, revision 2 goes on glass at once. The service answering
    // again after an outage ends the wait of an object that got no answer (once a minute), not
    // one asked for. A network that comes and goes once a minute, after half an hour of waits
    // grown long, has each object asked for at most twice in any minute of it, and a return
    // sooner than that ends them at the minute's end.
    void newRevisionBehindGlassAsksEachOnce_data()
    {
        QTest::addColumn<Answers>("xAnswers");
        QTest::addColumn<Answers>("yAnswers");
        QTest::addColumn<bool>("shared"); // x is revision 1's too, not cached
        QTest::addColumn<bool>("down");   // no pass lands anything
        QTest::addColumn<int>("outages"); // of the service after the passes; more: one a minute
        const Answers busy(10, {.status = 503, .headers = {{"Retry-After", "600"}}});
        const Answers closed(99, {.fault = Service::Fault::Close});
        QTest::newRow("a silent x beside a served y") << Answers(10, {.fault = Service::Fault::Silent}) << Answers() << false << false << 0;
        QTest::newRow("x, revision 1's too, waiting out 600 s, beside a served y") << busy << Answers() << true << false << 0;
        QTest::newRow("the origin wholly down") << Answers() << Answers() << false << true << 0;
        for (const int status : {500, 502, 504})
            QTest::addRow("%d for every object", status) << Answers(20, {.status = status}) << Answers(20, {.status = status}) << false << true << 0;
        QTest::newRow("x closed, y waiting out 600 s, then an outage") << closed << busy << false << true << 1;
        QTest::newRow("x and y closed, then a network coming and going") << closed << closed << false << true << 10;
    }
    void newRevisionBehindGlassAsksEachOnce()
    {
        QFETCH(Answers, xAnswers);
        QFETCH(Answers, yAnswers);
        QFETCH(bool, shared);
        QFETCH(bool, down);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures, cached;
        const QList<QJsonArray> pages = servedPages(service, 'x', {xAnswers, yAnswers}, &pictures);
        const ServedObject x = pictures.at(0), y = pictures.at(1);
        QVERIFY(playCachedRevision(h, &cached, shared ? pages.mid(0, 1) : QList<QJsonArray>()));
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(x.path), shared ? 1 : 0, waitMs);
        QVERIFY(settle(h));
        const Manifest second = contentManifest(pages, service.url(), "man_2");
        const qsizetype prepared = h.devLog("prepare_page").size();
        if (down) {
            service.setRefusing(xAnswers.isEmpty());
            ControllerAccess::planRevision(c, second);
            for (int pass = 0; pass < 3; ++pass) {
                QTRY_VERIFY_WITH_TIMEOUT(h.timer("replacementPumpTimer")->isActive(), waitMs);
                QVERIFY(settle(h));
                runOutBackoff(h);
            }
            QVERIFY(settle(h));
            QCOMPARE(ControllerAccess::fetchRevision(c), "man_2");
            QCOMPARE(h.devLog("prepare_page").size(), prepared);
            QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
            QFETCH(int, outages);
            if (outages == 0)
                return;
            // The service out of reach, or answering again, as a storage report finds it.
            const auto reach = [&](bool refusing) {
                service.setRefusing(refusing);
                const qsizetype reports = h.devLog("storage.report").size();
                ControllerAccess::sendStorageReport(c);
                return QTest::qWaitFor([&] { return h.devLog("storage.report").size() > reports; }, waitMs) && settle(h);
            };
            if (outages > 1) {
                // The clock moves on by forMs, each object's own wait running out in turn.
                const auto waitOut = [&](qint64 forMs) {
                    const qint64 until = h.clock().monotonicMs() + forMs;
                    for (qint64 left; (left = firstOwnWaitMs(h, {x, y})) > 0 && h.clock().monotonicMs() + left <= until;) {
                        h.clock().advance(left);
                        if (!h.expireSoon("replacementPumpTimer") || !settle(h))
                            return false;
                    }
                    h.clock().advance(until - h.clock().monotonicMs());
                    return true;
                };
                QVERIFY(waitOut(30 * 60000));
                for (int minute = 0; minute < outages; ++minute) {
                    const int xAsked = service.contentAttempts(x.path), yAsked = service.contentAttempts(y.path);
                    QVERIFY(reach(true) && reach(false) && waitOut(60000));
                    QVERIFY(service.contentAttempts(x.path) - xAsked <= 2 && service.contentAttempts(y.path) - yAsked <= 2);
                }
                // An answer 28 s after the last end, the service then steady: the end is put off
                // to the minute's end, not dropped, and x is asked by then, not by its own wait.
                QVERIFY(reach(true) && reach(false));
                const int xAsked = service.contentAttempts(x.path);
                h.clock().advance(28000);
                QVERIFY(reach(true) && reach(false));
                QTimer* putOff = h.timer("unansweredWaitsTimer");
                QVERIFY(putOff->isActive() && putOff->interval() == 32000);
                QCOMPARE_GT(firstOwnWaitMs(h, {x}), putOff->interval());
                h.clock().advance(putOff->interval());
                putOff->start(0);
                QTRY_VERIFY_WITH_TIMEOUT(service.contentAttempts(x.path) > xAsked, waitMs);
                return;
            }
            int asked = service.contentAttempts(x.path);
            QVERIFY(reach(true) && reach(false));
            QTRY_VERIFY_WITH_TIMEOUT(service.contentAttempts(x.path) > asked, waitMs);
            QVERIFY(settle(h));
            asked = service.contentAttempts(x.path);
            QVERIFY(reach(true) && reach(false));
            QCOMPARE(service.contentAttempts(x.path), asked);
            QCOMPARE(service.contentAttempts(y.path), 1);
            return;
        }
        ControllerAccess::planRevision(c, second);
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(x.path), 1, waitMs);
        QVERIFY(shared || h.expireSoon("replacementIdleTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activeRevision(c), "man_2", waitMs);
        QCOMPARE(ControllerAccess::activePageIndex(c), 1);
        QCOMPARE(service.contentAttempts(y.path), 1);
        QCOMPARE(h.devLog("prepare_page").size(), prepared + 1);
    }

    // A new revision's candidate behind glass fails for the device, the session or the volume
    // rather than for its page: the revision is held again at once, and the sweep has nothing
    // left to take up.
    void heldAgainForDeviceFaults_data()
    {
        QTest::addColumn<QString>("code");
        QTest::newRow("a 401 on a package") << "runtime_session_expired";
        QTest::newRow("the I/O queue full") << "content_io_busy";
        QTest::newRow("a prune that failed") << "content_cache_prune_failed";
    }
    void heldAgainForDeviceFaults()
    {
        QFETCH(QString, code);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures));
        const Manifest second = contentManifest(
            servedPages(service, 'x', {Answers(2, {.fault = Service::Fault::Silent})}, &pictures),
            service.url(), "man_2");
        ControllerAccess::preparePage(c, second, 0, true);
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(pictures.at(2).path), 1, waitMs);
        ControllerAccess::failCandidate(c, code);
        QCOMPARE(ControllerAccess::fetchRevision(c), "man_2");
        QVERIFY(settle(h));
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
        QVERIFY(h.devLog("recovery_sweep").isEmpty());
    }

    // Revision 2, its picture withheld at first, is being brought in behind revision 1 when the
    // service names revision 1 again: it has withdrawn revision 2, which its picture served later
    // no longer brings on glass (nor is it activated) until the service names it again, to be
    // planned afresh. Revision 1 named by the stored copy withdraws nothing, nor does the answer
    // to a request sent while the service named revision 1 that comes late, after a safety poll
    // has asked again and the service named revision 2 (or revision 2 already went on glass).
    void withdrawnRevisionDropped_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("held behind glass for its picture") << "held";
        QTest::newRow("its candidate in preparation") << "candidate";
        QTest::newRow("its plan under way") << "plan";
        QTest::newRow("waiting for room") << "room";
        QTest::newRow("named again by the stored copy") << "stored";
        QTest::newRow("named by a late answer") << "late";
        QTest::newRow("named by a late answer, revision 2 on glass") << "late on glass";
    }
    void withdrawnRevisionDropped()
    {
        QFETCH(QString, way);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures)); // its answer repeats at each fetch
        QSignalSpy activated(&c, &PlayerController::revisionActivated);
        const auto room = ControllerAccess::measureVolumeAs(c, 1200 * mib, way == "room" ? 100 * mib : 1000 * mib);
        const QList<QJsonArray> pages = servedPages(h.service(), 'x', {Answers(2, {.status = 404})}, &pictures);
        const Manifest second = contentManifest(pages, h.service().url(), "man_2");
        const bool queued = way == "candidate" || way == "plan"; // the I/O queue held until the answer
        const bool late = way.startsWith("late");
        const auto held = std::make_shared<QSemaphore>(queued ? 0 : 1);
        const auto freed = qScopeGuard([held] { held->release(); });
        QVERIFY(ControllerAccess::contentIo(c).submit(std::make_shared<std::atomic<bool>>(false), [held] {
            held->acquire();
            return std::function<void()>();
        }));
        if (way == "candidate")
            ControllerAccess::preparePage(c, second, 0, true);
        else if (!late)
            ControllerAccess::planRevision(c, second);
        QVERIFY(queued || late || (settle(h) && ControllerAccess::fetchRevision(c) == (way == "room" ? "" : "man_2")));
        room->store(1000 * mib);
        QSignalSpy answered(&h.transport(), &RuntimeTransport::manifestModified);
        const auto shown = [&c] { return ControllerAccess::activeRevision(c) == "man_2"; };
        if (way == "stored") {
            ControllerAccess::consumeStoredManifest(c, contentManifestBody({{mediaPrimitive("a", {pictures.at(0)})}}, "man_1"));
        } else if (late) {
            // The first answer is held until the test gives it; a safety poll asks meanwhile.
            h.service().script("GET", W::manifestRoute, {Service::Reply::eventStream(200, "application/json"),
                                                         Service::Reply::json(200, contentDocument(pages, "man_2"))});
            ControllerAccess::fetchManifest(c, W::manifestRoute);
            QTRY_COMPARE_WITH_TIMEOUT(h.service().openStreams(W::manifestRoute), 1, waitMs);
            QVERIFY(h.expireSoon("safetyPollTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::manifestFetchOwed(c) || !answered.isEmpty(), waitMs);
            // An answer to the poll taken first would have revision 2 on glass before the late one.
            QVERIFY(way == "late" || answered.isEmpty() || leftAloneUntil(h, shown, 8));
            h.service().sendEvents(W::manifestRoute, contentManifestBody({{mediaPrimitive("a", {pictures.at(0)})},
                                                                         {mediaPrimitive("b", {pictures.at(1)})}}, "man_1"));
            h.service().closeStreams(W::manifestRoute);
            QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 2, waitMs);
        } else {
            ControllerAccess::fetchManifest(c, W::manifestRoute);
        }
        QVERIFY(way == "stored" || late || answered.wait(waitMs));
        held->release();
        QCOMPARE(leftAloneUntil(h, shown, 8), way == "stored" || late);
        h.service().script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_2"))});
        ControllerAccess::fetchManifest(c, W::manifestRoute);
        QVERIFY(answered.wait(waitMs) && leftAloneUntil(h, shown, 8));
        QCOMPARE(activated, QList<QVariantList>{{"man_2"}});
    }

    // Revision 2, of one page x, comes behind revision 1 and x fails on its own (a picture the
    // scene does not decode): nothing takes revision 2 up again, however often the sweep looks,
    // until the service names it again, directly or after naming revision 1 in between; each such
    // answer tries x once more. A failure that passed puts revision 2 on glass; one that did not
    // is reported no second time.
    void selfFailedRevisionTriedAtEachAnswer_data()
    {
        QTest::addColumn<bool>("withdrawn"); // revision 1 named in between
        QTest::addColumn<bool>("passes");    // the fault has passed when revision 2 is named again
        QTest::newRow("named again") << false << true;
        QTest::newRow("named again after revision 1") << true << true;
        QTest::newRow("named again after revision 1, failing again") << true << false;
    }
    void selfFailedRevisionTriedAtEachAnswer()
    {
        QFETCH(bool, withdrawn);
        QFETCH(bool, passes);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures));
        const QJsonObject first = contentDocument(servedPages(h.service(), 'a', {{}, {}}, &pictures), "man_1");
        const QJsonObject second = contentDocument(servedPages(h.service(), 'x', {{}}, &pictures), "man_2");
        h.scene().setFailure("x", "image_decode_failed");
        QVERIFY(named(h, second) && settle(h));
        for (int sweep = 0; sweep < 3; ++sweep) {
            h.clock().advance(60000);
            ControllerAccess::runRecoverySweep(c);
            QVERIFY(settle(h));
        }
        QCOMPARE(h.devLog("candidate_failed").size(), 1);
        if (passes)
            h.scene().setFailure("x", QString());
        if (withdrawn)
            QVERIFY(named(h, first) && settle(h));
        QVERIFY(named(h, second) && settle(h));
        QCOMPARE(h.devLog("candidate_failed").size(), passes ? 1 : 2);
        QCOMPARE(ControllerAccess::activeRevision(c), passes ? "man_2" : "man_1");
        QCOMPARE(h.devLog("page_failed_reported").size(), 1);
    }

    // Revision 1 of a, b and c plays; b fails on its own (a picture the scene does not decode),
    // at its turn or on glass. It is out for five minutes, then ten after its next failure;
    // cured, it stays its dwell, and a later failure costs five minutes again. The service's
    // answer after an outage that was said ends the wait of a failure since the outage began,
    // not of one before it, nor of a page that had failed before: a page that "never" works costs
    // as many tries in an hour with a loss said and ended each minute as without. With every page
    // out (b and c failed at their turns, then a on glass) the screen says it is degraded,
    // whatever the service answers, until the first page whose wait ends comes at a turn of a's.
    void ownFaultOutForItsWait_data()
    {
        QTest::addColumn<QString>("failing"); // b at its "turn", b "on glass", "every page", or
                                              // b at every turn for an hour ("never")
        QTest::addColumn<QString>("outage");  // began "before" or "after" b's failure, or 50 s
                                              // before a return "each minute"; or none
        QTest::newRow("at its turn") << "turn" << QString();
        QTest::newRow("on glass") << "on glass" << QString();
        QTest::newRow("during a said outage") << "turn" << "before";
        QTest::newRow("before a said outage") << "turn" << "after";
        QTest::newRow("every page") << "every page" << QString();
        QTest::newRow("never works") << "never" << QString();
        QTest::newRow("never works, a said outage each minute") << "never" << "each minute";
    }
    void ownFaultOutForItsWait()
    {
        QFETCH(QString, failing);
        QFETCH(QString, outage);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures, servedPages(h.service(), 'c', {{}}, &pictures)));
        const auto prepared = [&h](const char* pageId) {
            const QList<QJsonObject> all = h.devLog("prepare_page");
            return std::count_if(all.cbegin(), all.cend(), [pageId](const QJsonObject& r) {
                return r.value("page_id") == QLatin1String(pageId);
            });
        };
        // The page turns until pageId is prepared again: how long that took.
        const auto until = [&](const char* pageId) {
            const qint64 fromMs = h.clock().monotonicMs();
            for (const qsizetype before = prepared(pageId); prepared(pageId) == before;) {
                h.clock().advance(10000);
                if (!h.expireSoon("pageTimer") || !settle(h) || h.clock().monotonicMs() - fromMs > 3600000)
                    return qint64(-1);
            }
            return h.clock().monotonicMs() - fromMs;
        };
        const auto waited = [](qint64 ms, qint64 waitMs) { return ms >= waitMs && ms < waitMs + 40000; };
        const QString decode = "image_decode_failed";
        h.scene().setFailure("b", failing == "on glass" ? QString() : decode);
        h.scene().setFailure("c", failing == "every page" ? decode : QString());
        QVERIFY(until("p1") > 0);
        if (failing == "on glass" || failing == "every page") {
            const char* onGlass = failing == "on glass" ? "b" : "a";
            h.scene().setFailure(onGlass, decode);
            c.primitiveFailed(c.activeSlot(), onGlass, decode);
            // The renderer's recovery tries the next page at once; then the rotation alone.
            QTRY_VERIFY_WITH_TIMEOUT(h.timer("pageTimer")->isActive(), waitMs);
            h.timer("rendererRecoveryTimer")->stop();
        }
        if (failing == "every page") {
            for (const char* id : {"a", "b", "c"})
                h.scene().setFailure(id, QString());
            QVERIFY(unchanged(h) && c.status() == "degraded_lkg_active");
            QVERIFY(waited(until("p2"), 300000) && settle(h));
            QCOMPARE(c.status(), "playing");
            return;
        }
        if (failing == "never") {
            // Its first failure, then an hour of turns: b's tries are its preparations.
            const qsizetype before = prepared("p1");
            for (int second = 10; second <= 3600; second += 10) {
                h.clock().advance(10000);
                QVERIFY(h.expireSoon("pageTimer") && settle(h));
                if (outage == "each minute" && second % 60 == 0)
                    Q_EMIT h.transport().serviceAnswersAfterLoss(50000);
            }
            const qsizetype hour = prepared("p1") - before;
            qInfo("%lld tries of b in an hour", qlonglong(hour));
            QVERIFY2(hour >= 3 && hour <= 5, qPrintable(QString::number(hour)));
            QCOMPARE(h.devLog("candidate_failed").size(), hour + 1);
            return;
        }
        if (!outage.isEmpty()) {
            h.clock().advance(60000);
            Q_EMIT h.transport().serviceAnswersAfterLoss(outage == "before" ? 80000 : 59000);
            const qint64 backMs = until("p1");
            QVERIFY2(outage == "before" ? backMs < 40000 : waited(backMs + 60000, 300000),
                     qPrintable(QString::number(backMs)));
            return;
        }
        QVERIFY(waited(until("p1"), 300000));
        h.scene().setFailure("b", QString());
        QVERIFY(waited(until("p1"), 600000) && settle(h));
        QCOMPARE(ControllerAccess::activePageIndex(c), 1);
        h.scene().setFailure("b", decode);
        QVERIFY(until("p1") < 40000);
        QVERIFY(waited(until("p1"), 300000));
    }

    // Revision 2 is held behind page a: "Update on hold" shows, and is reported once. When its
    // page fails on its own the chip goes with it; held again for a fault of the device, its next
    // try is syncing at first. Revision 3 that comes next, or comes in place of revision 2 while
    // its picture is withheld, is an update of its own: syncing at first, not held.
    void holdEndsWithItsUpdate_data()
    {
        QTest::addColumn<bool>("replaced"); // else its page fails
        QTest::addColumn<QString>("code");  // why its page fails: by default, on its own
        QTest::addColumn<QString>("after"); // the chip after the failure
        QTest::newRow("failed on its own") << false << QString() << "";
        QTest::newRow("held again for the I/O queue full") << false << "content_io_busy" << "assignment_held";
        QTest::newRow("replaced while its picture is withheld") << true << QString() << "assignment_held";
    }
    void holdEndsWithItsUpdate()
    {
        QFETCH(bool, replaced);
        QFETCH(QString, code);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures));
        h.scene().setAnswering(false);
        const Answers x(replaced ? 60 : 0, {.status = 404});
        QVERIFY(named(h, contentDocument(servedPages(service, 'x', {x}, &pictures), "man_2")));
        if (!replaced) {
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::candidate(c), waitMs);
            h.clock().advance(10000);
            QVERIFY(h.expireSoon("assignmentHoldTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(c.overlayCondition(), "assignment_held", waitMs);
            if (!code.isEmpty()) {
                ControllerAccess::failCandidate(c, code);
            } else {
                h.scene().setFailure("x", "image_decode_failed");
                h.scene().answerLatest();
            }
        }
        QVERIFY(settle(h));
        QTEST(c.overlayCondition(), "after");
        if (!code.isEmpty()) {
            QVERIFY(h.expireSoon("replacementPumpTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::candidate(c), waitMs);
            QCOMPARE(c.overlayCondition(), "syncing");
            h.scene().answerLatest();
            QVERIFY(settle(h));
        }
        const qsizetype asked = h.scene().readinessRequests().size();
        QVERIFY(named(h, contentDocument(servedPages(service, 'y', {{}}, &pictures), "man_3")));
        QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), asked + 1, waitMs);
        QCOMPARE(c.overlayCondition(), "syncing");
        const QList<Service::Request> reports = service.requestsTo(W::reportsRoute);
        QCOMPARE(std::count_if(reports.cbegin(), reports.cend(), [](const Service::Request& r) {
                     return r.jsonBody().value("code") == QLatin1String("runtime.assignment_held");
                 }), 1);
    }

    // Page a of revision 1 is on glass while revision 2's page x is tried and does not say it is
    // ready, and a's dwell runs out: a turns as soon as no try is left, x failed or dropped when
    // the service named revision 1 again; not while the operator has paused. (A dwell that had
    // not run out keeps its rest: heldRoundsLeaveTheTurn.)
    void dwellSpentDuringTry_data()
    {
        QTest::addColumn<QString>("end"); // "failed", or "withdrawn": revision 1 named again
        QTest::addColumn<bool>("paused");
        QTest::addColumn<int>("shown");   // the page on glass just after the try ended
        QTest::newRow("the try fails") << "failed" << false << 1;
        QTest::newRow("revision 1 named again") << "withdrawn" << false << 1;
        QTest::newRow("paused") << "failed" << true << 0;
    }
    void dwellSpentDuringTry()
    {
        QFETCH(QString, end);
        QFETCH(bool, paused);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QList<ServedObject> pictures;
        QVERIFY(playCachedRevision(h, &pictures));
        const QJsonObject first = contentDocument(servedPages(h.service(), 'a', {{}, {}}, &pictures), "man_1");
        h.scene().setAnswering(false);
        QVERIFY(named(h, contentDocument(servedPages(h.service(), 'x', {{}}, &pictures), "man_2")));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::candidate(c), waitMs);
        h.clock().advance(h.timer("pageTimer")->interval());
        QVERIFY(h.expireSoon("pageTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("pageTimer")->interval() > 0, waitMs);
        QVERIFY(ControllerAccess::candidate(c));
        if (paused)
            QVERIFY(c.togglePause());
        h.scene().setAnswering(true);
        if (end == "withdrawn") {
            QVERIFY(named(h, first));
        } else {
            h.scene().setFailure("x", "image_decode_failed");
            h.scene().answerLatest();
        }
        QVERIFY(settle(h));
        QTEST(ControllerAccess::activePageIndex(c), "shown");
        QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
    }

    // Revision 1 (a, b, and c never landed) plays when revision 2 comes 4 s in, its page x failing
    // for ever (404, or a picture that does not decode, beside y whose bytes are always wrong): 2's
    // held rounds leave a and b to their own dwell, no turn goes to c, a revision with no page that
    // may come is not held again, and one whose fetch a refusal of 1 for room dropped is. A repair
    // run for c that 2's fetch takes the place of comes again by itself. Once c's origin serves
    // it, c comes on glass whether 2 stays held or idle.
    void heldRoundsLeaveTheTurn_data()
    {
        QTest::addColumn<QList<Answers>>("answers"); // x's, then y's
        QTest::addColumn<QString>("sceneFault");     // for x; none: x lacks its object, 2 stays held
        QTest::addColumn<QString>("meanwhile");      // revision 1 "refused" for room, or 2 comes
                                                     // in the middle of a "repair run", or a
                                                     // run meets the I/O "queue full"
        QTest::addColumn<bool>("cServed");           // after the two turns
        const QList<Answers> gone{Answers(60, {.status = 404})};
        const QString decode = "image_decode_failed";
        QTest::newRow("404") << gone << QString() << QString() << false;
        QTest::newRow("404, revision 1 refused for room") << gone << QString() << "refused" << false;
        QTest::newRow("404, in the middle of a repair run") << gone << QString() << "repair run" << false;
        QTest::newRow("404, a repair run ending inside its start") << gone << QString() << "queue full" << false;
        QTest::newRow("404, c served") << gone << QString() << QString() << true;
        QTest::newRow("no decode") << QList<Answers>{{}} << decode << QString() << false;
        QTest::newRow("no decode, c served") << QList<Answers>{{}} << decode << QString() << true;
        QTest::newRow("no decode, y wrong")
            << QList<Answers>{{}, Answers(60, {.corrupt = true})} << decode << QString() << false;
    }
    void heldRoundsLeaveTheTurn()
    {
        QFETCH(QList<Answers>, answers);
        QFETCH(QString, sceneFault);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const auto available = ControllerAccess::measureVolumeAs(c, 1200 * mib, 1000 * mib);
        QList<ServedObject> pictures, uncached;
        const QList<QJsonArray> pageC = servedPages(h.service(), 'c', {Answers(60, {.status = 404})}, &uncached);
        Manifest first;
        QVERIFY(playCachedRevision(h, &pictures, pageC, &first));
        const qint64 shownMs = h.clock().monotonicMs();
        const qint64 dwellMs = h.timer("pageTimer")->interval();
        if (!sceneFault.isEmpty())
            h.scene().setFailure("x", sceneFault);
        const QList<QJsonArray> pages = servedPages(h.service(), 'x', answers, &pictures);
        h.clock().advance(4000);
        QFETCH(QString, meanwhile);
        if (meanwhile == "repair run") {
            // A run looks for c, and no later one is armed while it does.
            h.clock().advance(h.timer("repairRunTimer")->interval());
            ControllerAccess::repairRunFired(c);
            QCOMPARE(ControllerAccess::fetchRevision(c), "man_1");
            h.timer("repairRunTimer")->stop();
            ControllerAccess::beginReplacement(c, contentManifest(pages, h.service().url(), "man_2"));
            QVERIFY(h.timer("repairRunTimer")->isActive() && settle(h));
        } else {
            h.service().script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_2"))});
            QSignalSpy taken(&h.transport(), &RuntimeTransport::manifestModified);
            h.service().sendEvents(W::eventsRoute, "data: {\"type\":\"screen.manifest_changed\"}\n\n");
            QVERIFY(taken.wait(waitMs) && settle(h));
        }
        if (meanwhile == "queue full") {
            // A run for c finds nothing to fetch, every object of revision 1 waiting out a
            // Retry-After, and the I/O queue full: it ends inside its own start, and 2's rounds go
            // on.
            QVERIFY(h.timer("replacementPumpTimer")->isActive());
            const QList<ServedObject> firstObjects = pictures.mid(0, 2) + uncached;
            for (const ServedObject& object : firstObjects)
                ControllerAccess::beginObjectWait(c, object.sha256, h.clock().monotonicMs() + 600000);
            CacheIoQueue& io = ControllerAccess::contentIo(c);
            QSemaphore release;
            int held = 0;
            while (io.submit(std::make_shared<std::atomic<bool>>(false),
                             [&release] { return release.acquire(), std::function<void()>(); }))
                ++held;
            ControllerAccess::repairRetainedPages(c);
            release.release(held);
            QVERIFY(settle(h) && h.timer("replacementPumpTimer")->isActive());
        }
        const bool refused = meanwhile == "refused";
        if (refused) {
            available->store(100 * mib);
            ControllerAccess::planRevision(c, first, true);
            QTRY_VERIFY_WITH_TIMEOUT(h.timer("roomWaitTimer")->isActive(), waitMs);
        }
        // The rounds due before a dwell ends run, and a repair run due by then; then the page turns.
        QTimer* pump = h.timer("replacementPumpTimer");
        const auto turnAt = [&](qint64 dueMs) {
            while (settle(h) && pump->isActive() && h.clock().monotonicMs() + pump->interval() < dueMs)
                runOutBackoff(h);
            h.clock().advance(dueMs - h.clock().monotonicMs());
            if (h.timer("repairRunTimer")->isActive())
                h.timer("repairRunTimer")->start(0);
            return settle(h) && h.expireSoon("pageTimer") && settle(h);
        };
        for (int turn = 1; turn <= 2; ++turn) {
            QVERIFY(turnAt(shownMs + turn * dwellMs));
            QCOMPARE(ControllerAccess::activePageIndex(c), turn % 2);
        }
        QCOMPARE(ControllerAccess::fetchRevision(c) == "man_2", sceneFault.isEmpty());
        QFETCH(bool, cServed);
        if (cServed) {
            // Served from now on: a repair run brings it, whatever holds revision 2, and it turns.
            h.service().scriptContent(uncached.at(0).path, {});
            int turn = 3;
            for (; turn < 12 && ControllerAccess::activePageIndex(c) != 2; ++turn)
                QVERIFY(turnAt(shownMs + turn * dwellMs));
            QVERIFY2(turn < 12, "c never came");
            QCOMPARE(ControllerAccess::activeRevision(c), "man_1");
            QCOMPARE(ControllerAccess::fetchRevision(c) == "man_2", sceneFault.isEmpty());
        }
        QCOMPARE(h.devLog("recovery_sweep").size(), refused ? 1 : 0);
    }

    // A first start on pages of one picture each. The origin takes the request for one picture
    // and does not answer it, or answers and goes silent, past the candidate's deadline (the
    // repair's watchdog for another page's picture, fetched behind the first page on glass);
    // then it answers again. The deadline gives the transfer up: the page it held is passed over,
    // not reported, and every page is on glass within five minutes of the origin's return.
    // A page turned to whose candidate asks for another page's picture, lost from the cache,
    // goes on glass at that deadline.
    void silentOriginNotReported_data()
    {
        QTest::addColumn<int>("pageCount");
        QTest::addColumn<int>("silentPage");
        QTest::addColumn<Service::Fault>("fault");
        QTest::addColumn<bool>("package"); // the silent page's object is its web package
        QTest::addColumn<QString>("code"); // the code the candidate fails with; none: it shows
        QTest::addColumn<bool>("turning"); // lost once every page landed, as the first page turns
        const Service::Fault silent = Service::Fault::Silent;
        const QString download = "content_download_failed";
        QTest::newRow("its own picture, no answer") << 2 << 0 << silent << false << download << false;
        QTest::newRow("another page's picture, no answer") << 2 << 1 << silent << false << QString() << false;
        QTest::newRow("another page's picture, no answer at a turn's deadline") << 3 << 2 << silent << false << QString() << true;
        QTest::newRow("its own picture, an answer gone silent") << 2 << 0 << Service::Fault::Stall << false << download << false;
        QTest::newRow("the only page's picture, no answer") << 1 << 0 << silent << false << download << false;
        QTest::newRow("its own package, no answer") << 2 << 0 << silent << true << "application_package_download_failed" << false;
    }
    void silentOriginNotReported()
    {
        QFETCH(int, pageCount);
        QFETCH(int, silentPage);
        QFETCH(Service::Fault, fault);
        QFETCH(bool, package);
        QFETCH(bool, turning);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<Answers> answers(pageCount);
        answers[silentPage] = turning ? Answers{{}, {.fault = fault}} : Answers{{.fault = fault}};
        QList<ServedObject> pictures;
        QList<QJsonArray> pages = servedPages(service, 'a', answers, &pictures);
        if (package) {
            pictures[silentPage] = servedPackage("app", "app");
            service.putContent(pictures.at(silentPage).path, pictures.at(silentPage).bytes);
            service.scriptContent(pictures.at(silentPage).path, answers.at(silentPage));
            pages[silentPage] = {applicationPrimitive("app", pictures.at(silentPage))};
        }
        const ServedObject& silent = pictures.at(silentPage);
        service.script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_1"))});
        QVERIFY(h.mintSession());
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(silent.path), 1, waitMs);
        // Bytes of an answer that went silent are read first: the deadline is the one after them.
        const QString partial = ControllerAccess::contentCache(c)->partialPath(silent.sha256);
        QTRY_VERIFY_WITH_TIMEOUT(fault != Service::Fault::Stall || QFileInfo(partial).size() > 0, waitMs);
        if (turning) {
            QTRY_VERIFY_WITH_TIMEOUT(c.activeSlot() >= 0 && ControllerAccess::unlandedPages(c).isEmpty() && !ControllerAccess::fetchRunning(c), waitMs);
            QVERIFY(QFile::remove(ControllerAccess::contentCache(c)->objectPath(silent.sha256)));
            h.clock().advance(h.timer("pageTimer")->interval());
            QVERIFY(h.expireSoon("pageTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(service.contentAttempts(silent.path) == 2 && h.timer("candidateDeadlineTimer")->isActive(), waitMs);
            h.clock().advance(60000);
            QVERIFY(h.expireSoon("candidateDeadlineTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::activePageIndex(c), 1, waitMs);
        } else if (silentPage == 0) {
            QVERIFY(h.timer("candidateDeadlineTimer")->isActive());
            h.clock().advance(60000);
            QVERIFY(h.expireSoon("candidateDeadlineTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(!h.devLog("candidate_failed").isEmpty(), waitMs);
            QTEST(h.devLog("candidate_failed").constFirst().value("code").toString(), "code");
        } else { // the first page is on glass; the repair behind it gives the transfer up
            QTRY_VERIFY_WITH_TIMEOUT(c.activeSlot() >= 0 && h.timer("replacementIdleTimer")->isActive(), waitMs);
            h.clock().advance(h.timer("replacementIdleTimer")->interval());
            QVERIFY(h.expireSoon("replacementIdleTimer"));
        }

        const qint64 back = h.clock().monotonicMs();
        const auto everyPage = [&] {
            return c.activeSlot() >= 0 && ControllerAccess::unlandedPages(c).isEmpty()
                && !ControllerAccess::fetchRunning(c);
        };
        QVERIFY(leftAloneUntil(h, everyPage, 12));
        QVERIFY2(h.clock().monotonicMs() - back <= 300000, qPrintable(QString::number(h.clock().monotonicMs() - back)));
        QCOMPARE(h.devLog("page_failed_reported").size(), 0);
    }

    // A first start on pages a, b, huge and c, huge's picture trickled for longer than the run:
    // a goes on glass without waiting for it, the rest is fetched behind a, smallest first, and
    // each page turns in as soon as its picture has landed, while huge's one transfer goes on.
    void firstPageWaitsForNoOtherDownload()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Service& service = h.service();
        QList<ServedObject> pictures;
        QList<QJsonArray> pages;
        for (const auto& [name, bytes] : QList<std::pair<QByteArray, qint64>>{
                 {"a", 2048}, {"b", 2048}, {"huge", 4 * mib}, {"c", 315}}) {
            pictures.append(ServedObject::make(name, bytes, quint32(pages.size() + 1)));
            service.putContent(pictures.last().path, pictures.last().bytes);
            pages.append({mediaPrimitive(QString::fromLatin1(name), {pictures.last()})});
        }
        const ServedObject& huge = pictures.at(2);
        service.scriptContent(huge.path, {{.trickleBytes = 1, .trickleIntervalMs = 1000}});
        service.script("GET", W::manifestRoute, {Service::Reply::json(200, contentDocument(pages, "man_1"))});
        QVERIFY(h.mintSession());
        QTRY_COMPARE_WITH_TIMEOUT(c.activeSlot() >= 0 ? ControllerAccess::activePageIndex(c) : -1, 0, waitMs);

        // huge is asked for last, once b's and c's pictures are in.
        QTRY_COMPARE_WITH_TIMEOUT(service.contentAttempts(huge.path), 1, waitMs);
        ContentCache& cache = *ControllerAccess::contentCache(c);
        QVERIFY(QFile::exists(cache.objectPath(pictures.at(3).sha256)));
        QVERIFY(QFile::exists(cache.objectPath(pictures.at(1).sha256)));
        QTimer* page = h.timer("pageTimer");
        QSet<int> shown{0};
        for (int turn = 0; turn < 6; ++turn) {
            h.clock().advance(page->interval());
            QVERIFY(h.expireSoon("pageTimer"));
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c) && page->isActive() && page->interval() > 0, waitMs);
            shown.insert(ControllerAccess::activePageIndex(c));
        }
        QCOMPARE(shown, (QSet<int>{0, 1, 3}));
        QVERIFY(!QFile::exists(cache.objectPath(huge.sha256)));
        QCOMPARE(service.contentAttempts(huge.path), 1);
    }
};

QTEST_MAIN(TestPlayerRestore)
#include "tst_playerrestore.moc"
