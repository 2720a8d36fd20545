#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TestFiles.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// One stage slot as the scene poses it: opacity and offsets in thousandths.
using Pose = std::tuple<double, int, int>;
Pose pose(const PlayerController& c, int slot)
{
    return slot == 0 ? Pose{c.opacityA(), c.translateXPermilleA(), c.translateYPermilleA()}
                     : Pose{c.opacityB(), c.translateXPermilleB(), c.translateYPermilleB()};
}

// Item c of every manifest here: its own bytes, so that it can be committed to the cache.
QByteArray itemBytes(char c)
{
    return QByteArray(100 + c, c);
}

QString itemSha(char c)
{
    return QString::fromLatin1(QCryptographicHash::hash(itemBytes(c), QCryptographicHash::Sha256).toHex());
}

Manifest manifestOf(const QString& revision, const QList<QByteArray>& pages)
{
    return test::imagePagesManifest(revision, pages, [](char c) {
        return std::pair<QString, qint64>(itemSha(c), itemBytes(c).size());
    });
}

Primitive& imageOf(Manifest& manifest, int page)
{
    return manifest.pages[page].primitives[0];
}

void commit(ContentCache& cache, char c)
{
    QString error;
    if (!test::ServedObject::of(QByteArray(1, c), itemBytes(c)).cacheIn(cache, &error))
        qFatal("commit failed: %s", qPrintable(error));
}

// The page timer's dwell runs out.
void endDwell(ControllerHarness& h)
{
    h.clock().advance(h.timer("pageTimer")->interval());
    h.expireSoon("pageTimer");
}

// How the incoming slot was posed as each page went on glass, and the transition's duration.
struct Activation {
    Pose incoming;
    int durationMs;
    bool operator==(const Activation&) const = default;
};

// One field of every report the service received: top-level, else of its context.
QStringList reportCodes(ControllerHarness& h, const QString& field = QStringLiteral("code"))
{
    QStringList values;
    for (const auto& request : h.service().requestsTo(W::reportsRoute)) {
        const QJsonObject body = request.jsonBody();
        values.append(body.value(field).toString(body.value("context")[field].toString()));
    }
    return values;
}

// A plan that admits these pages of the revision.
StoragePlanRecord planOf(const QString& revision, const QStringList& pages)
{
    StoragePlanRecord record;
    record.manifestRevision = revision;
    record.stage = "complete";
    record.plan.target_page_ids = pages;
    return record;
}

// A key sent to the window as the platform sends it: true when the controller took it (the
// window itself ignores every key).
bool taken(QWindow& window, int key, Qt::KeyboardModifiers modifiers = {}, bool repeat = false,
           QEvent::Type type = QEvent::KeyPress)
{
    QKeyEvent event(type, key, modifiers, QString(), repeat);
    event.ignore();
    QCoreApplication::sendEvent(&window, &event);
    return event.isAccepted();
}

} // namespace

class TestPlayerPlayback : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    ControllerHarness& make(bool session)
    {
        harness = std::make_unique<ControllerHarness>();
        if (!harness->ready())
            qFatal("%s", qPrintable(harness->setupError()));
        // Every item of the manifests here is cached, so that pages reach the readiness gate.
        for (const char object : QByteArray("abcvz"))
            commit(*ControllerAccess::contentCache(harness->controller()), object);
        if (session) {
            harness->service().script("POST", W::reportsRoute,
                                      QList<Reply>(40, Reply::json(200, QJsonObject())));
            // Not served: a background fetch of a new revision ends at its download.
            harness->service().script("GET", "/content/media/m",
                                      QList<Reply>(4, Reply::json(404, QJsonObject())));
            if (!harness->mintSession())
                qFatal("no runtime session");
        }
        return *harness;
    }

private slots:
    void cleanup()
    {
        ControllerHarness::release(harness);
    }

    // First activation, a swipe in two steps, a cross-fade, a second activation while a swipe
    // runs, and the retired objects pruned; only a revision change is saved and reported.
    void activationAndTransitions()
    {
        ControllerHarness& h = make(true);
        PlayerController& c = h.controller();
        Manifest m = manifestOf("man_1", {"a", "b", "a"});
        m.pages[0].transition = {{"type", "swipe-up"}, {"durationMs", 400}};
        m.pages[1].transition = {{"type", "swipe-left"}, {"durationMs", 600}};
        const StoragePlanRecord record = planOf("man_1", {"p0", "p1", "p2"});
        ControllerAccess::setPendingStoragePlan(c, record);
        QSignalSpy activated(&c, &PlayerController::revisionActivated);
        QList<Activation> activations;
        connect(&c, &PlayerController::activeChanged, this, [&] {
            activations.append({pose(c, c.activeSlot()), c.transitionDurationMs()});
        });
        ContentCache& cache = *ControllerAccess::contentCache(c);
        ControllerAccess::setRetiredPruneMinFreeBytes(c, std::numeric_limits<qint64>::max());
        const auto held = [&cache](char object) { return QFile::exists(cache.objectPath(itemSha(object))); };
        ControllerAccess::setOnline(c, false);

        QVERIFY(h.activate(m, 0, true));
        QCOMPARE(pose(c, 0), (Pose{1, 0, 0}));
        QCOMPARE(pose(c, 1), (Pose{0, 0, 0}));
        QCOMPARE(c.transitionDurationMs(), 0);
        QVERIFY(c.objectEnterArmed());
        QCOMPARE(activated.size(), 1);
        QString route, revision;
        QJsonObject plan;
        QVERIFY(PersistentState(h.statePath("playback-state")).loadLastKnownGood(&route, nullptr, &plan, &revision));
        QCOMPARE(revision, "man_1");
        QCOMPARE(route, W::manifestRoute);
        QCOMPARE(plan, storagePlanRecordJson(record));
        // The event stream is down: the player says it plays what it has, offline.
        QCOMPARE(c.status(), "offline_lkg_active");

        // A rotation within the revision slides in two steps across one turn of the loop.
        QVERIFY(h.untilActivated([&] { endDwell(h); }));
        QCOMPARE(activations.last(), (Activation{{1, 1000, 0}, 0}));
        QVERIFY(!c.objectEnterArmed());
        QTRY_COMPARE_WITH_TIMEOUT(c.transitionDurationMs(), 600, waitMs);
        QCOMPARE(pose(c, 1), (Pose{1, 0, 0}));
        QCOMPARE(pose(c, 0), (Pose{1, -1000, 0}));
        QVERIFY(h.expireSoon("transitionEndTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(c.objectEnterArmed(), waitMs);
        QCOMPARE(pose(c, 0), (Pose{0, 0, 0}));
        QVERIFY(c.modelForSlot(0)->empty());

        // A cross-fade: the incoming page fades in over the outgoing one, which stays opaque
        // until it retires, so that the ground never shows through.
        QVERIFY(h.untilActivated([&] { endDwell(h); }));
        QCOMPARE(pose(c, 0), (Pose{1, 0, 0}));
        QCOMPARE(pose(c, 1), (Pose{1, 0, 0}));
        QCOMPARE(c.transitionDurationMs(), 800);
        QVERIFY(!c.modelForSlot(1)->empty());
        QVERIFY(h.expireSoon("transitionEndTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(c.modelForSlot(1)->empty(), waitMs);
        QCOMPARE(pose(c, 1), (Pose{0, 0, 0}));
        QVERIFY(c.objectEnterArmed());

        // Two activations in one turn (only the hand-over itself can do that): the first swipe's
        // second step finds itself stale.
        for (const int page : {0, 1}) {
            ControllerAccess::preparePage(c, m, page, false);
            ControllerAccess::activateCandidate(c);
        }
        QTRY_COMPARE_WITH_TIMEOUT(c.transitionDurationMs(), 600, waitMs);
        QTest::qWait(0);
        QCOMPARE(pose(c, 0), (Pose{1, 0, 0}));
        QCOMPARE(pose(c, 1), (Pose{1, -1000, 0}));
        QCOMPARE(h.timer("transitionEndTimer")->interval(), 600);

        QCOMPARE(activated.size(), 1);
        QCOMPARE(reportCodes(h).count("manifest.activated"), 1);

        // A new revision retires what only the old one planned, once the volume runs short
        // (here: at once); rotations within the revision retired nothing.
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        QVERIFY(held('z'));
        QVERIFY(h.activate(manifestOf("man_2", {"b", "c"}), 1, true));
        QVERIFY(h.expireSoon("transitionEndTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!held('a'), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        QVERIFY(!held('z') && held('b') && held('c'));
    }

    // A failed save of the last known good is made, with its plan, at the next end of the dwell,
    // the page turning or not; the status says so until then, whatever comes meanwhile, and the
    // operator is told. "Payment required" while a turn is prepared gives the page a new dwell.
    void lastKnownGoodSavedAgain_data()
    {
        QTest::addColumn<QList<QByteArray>>("pages");
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("one page") << QList<QByteArray>{"a"} << "";
        QTest::newRow("two pages") << QList<QByteArray>{"a", "b"} << "";
        QTest::newRow("a 304") << QList<QByteArray>{"a"} << "304";
        QTest::newRow("the stream lost and back") << QList<QByteArray>{"a"} << "stream";
        QTest::newRow("payment required during a turn") << QList<QByteArray>{"a", "b"} << "payment";
    }
    void lastKnownGoodSavedAgain()
    {
        QFETCH(QList<QByteArray>, pages);
        QFETCH(QString, meanwhile);
        ControllerHarness& h = make(true);
        PlayerController& c = h.controller();
        const PersistentState state(h.statePath("playback-state"));
        QVERIFY(h.activate(manifestOf("man_1", {"a"}), 0, true));
        ControllerAccess::setPendingStoragePlan(c, planOf("man_2", {"p0", "p1"}));
        std::optional<testfiles::Immutable> frozen(std::in_place, state.lastKnownGoodPath());
        if (!frozen->isSet())
            QSKIP("this file system has no immutable flag");
        const QList<QByteArray> said = test::journalRecordsOf([&] {
            QVERIFY(h.activate(manifestOf("man_2", pages), 0, true));
            QCOMPARE(c.status(), "playing_lkg_persist_failed");
            RuntimeTransport& t = h.transport();
            if (meanwhile == "304") {
                Q_EMIT t.manifestNotModified(W::manifestRoute);
            } else if (meanwhile == "stream") {
                Q_EMIT t.eventConnectionChanged(false);
                Q_EMIT t.eventConnectionChanged(true);
            } else if (meanwhile == "payment") {
                endDwell(h);
                QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::candidate(c), waitMs);
                Q_EMIT t.manifestFailed("payment_required", 402, QString());
            }
            QCOMPARE(c.status(), "playing_lkg_persist_failed");
            frozen.reset();
            h.scene().setAnswering(true);
            endDwell(h);
            QTRY_COMPARE_WITH_TIMEOUT(c.status(), "playing", waitMs);
        });
        QJsonObject plan;
        QVERIFY(state.loadLastKnownGood(nullptr, nullptr, &plan));
        QCOMPARE(plan["manifest_revision"].toString(), "man_2");
        QCOMPARE(said.size(), 1);
        QVERIFY(said.at(0).contains(" in the state directory " + QFile::encodeName(h.stateDirectory())));
    }

    void videoRepeats_data()
    {
        QTest::addColumn<int>("pages");
        QTest::addColumn<QByteArray>("items");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("reason");
        QTest::newRow("authored loop") << 2 << QByteArray("ab") << 0 << "authored_loop";
        QTest::newRow("operator paused") << 2 << QByteArray("ab") << 0 << "operator_paused";
        QTest::newRow("single item") << 1 << QByteArray("a") << 0 << "single_item";
        QTest::newRow("one of two pages") << 2 << QByteArray("a") << 0 << "";
        QTest::newRow("end on the idle slot") << 1 << QByteArray("a") << 1 << "";
    }

    void videoRepeats()
    {
        QFETCH(int, pages);
        QFETCH(QByteArray, items);
        QFETCH(int, slot);
        QFETCH(QString, reason);
        ControllerHarness& h = make(false);
        PlayerController& c = h.controller();
        Manifest m = manifestOf("man_1", QList<QByteArray>(pages, items));
        imageOf(m, 0).kind = PrimitiveKind::video;
        imageOf(m, 0).binding.insert("loop", reason == "authored_loop");
        m.pages[0].advance = {{"mode", "media_end"}, {"maxMs", 60000}};
        ControllerAccess::putOnGlass(c, m, 0, 0);
        if (reason == "operator_paused")
            ControllerAccess::togglePause(c);

        c.videoEndOfStream(slot, "img");
        const QList<QJsonObject> repeats = h.devLog("video_repeat");
        QCOMPARE(repeats.size(), reason.isEmpty() ? 0 : 1);
        QCOMPARE(h.scene().videoRestarts().size(), repeats.size());
        if (!reason.isEmpty())
            QCOMPARE(repeats.first().value("reason").toString(), reason);
        // A video that ends without repeating ends its page.
        QCOMPARE(h.devLog("prepare_page").size(), int(reason.isEmpty() && slot == 0));
    }

    // Dwell, early timers, one-page manifests, one item per showing, the pause, a page hidden
    // by its schedule, and media starts one per primitive and item per activation.
    void rotation()
    {
        ControllerHarness& h = make(true);
        PlayerController& c = h.controller();
        QVERIFY(h.activate(manifestOf("man_1", {"a"}), 0, true));
        h.clock().advance(4000);
        QVERIFY(h.expireSoon("pageTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(h.timer("pageTimer")->interval(), 6000, waitMs);
        endDwell(h);
        QTRY_COMPARE_WITH_TIMEOUT(h.timer("pageTimer")->interval(), 10000, waitMs);
        QCOMPARE(h.devLog("prepare_page").size(), 1);

        // One at a time across showings: a, b, c, a, each reported once as it shows, twice
        // for two primitives showing the same item.
        Manifest cycling = manifestOf("man_2", {"abc"});
        imageOf(cycling, 0).binding.insert("oneAtATime", true);
        cycling.pages[0].primitives.append(imageOf(cycling, 0));
        cycling.pages[0].primitives[1].id = "twin";
        QVERIFY(h.activate(cycling, 0, true));
        for (int showing = 0; showing < 3; ++showing)
            QVERIFY(h.untilActivated([&] { endDwell(h); }));
        QTRY_COMPARE_WITH_TIMEOUT(reportCodes(h, "media_id").count("ma"), 1 + 2 * 2, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(reportCodes(h, "media_id").count("mc"), 2, waitMs);
        QCOMPARE(reportCodes(h, "media_id").count("mb"), 2);

        // Paused: no dwell, nothing turns.
        ControllerAccess::togglePause(c);
        QVERIFY(h.activate(manifestOf("man_3", {"a", "b"}), 0, true));
        QVERIFY(!h.timer("pageTimer")->isActive());
        ControllerAccess::togglePause(c);

        // Page 0 may show until 11:00 in Berlin; page 1 always but it is not in the plan. The
        // watch fires just after the minute, reports once and, with nothing else to show,
        // keeps the page.
        Manifest scheduled = manifestOf("man_4", {"a", "b", "c"});
        scheduled.timezone = "Europe/Berlin";
        scheduled.pages[0].visibility = PageVisibility{true, std::nullopt, std::nullopt,
                                                       QList<VisibilityWindow>{{{Weekday::mon}, 600, 660}}};
        scheduled.pages[2].visibility = PageVisibility{false, std::nullopt, std::nullopt, std::nullopt};
        ControllerAccess::setPendingStoragePlan(c, planOf("man_4", {"p0", "p2"}));
        h.clock().setNowMs(test::ManualClock::defaultStartMs - 30000);
        QVERIFY(h.activate(scheduled, 0, true));
        QCOMPARE(h.timer("visibilityTimer")->interval(), 30250);
        const int prepared = h.devLog("prepare_page").size();
        for (int minute = 0; minute < 2; ++minute) {
            h.clock().setNowMs(test::ManualClock::defaultStartMs + 250 + minute * 60000);
            QVERIFY(h.expireSoon("visibilityTimer"));
            QTRY_COMPARE_WITH_TIMEOUT(h.timer("visibilityTimer")->interval(), 60000, waitMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(reportCodes(h).count("playback.page_hidden"), 1, waitMs);
        QCOMPARE(ControllerAccess::advanceReason(c), "schedule");
        QCOMPARE(h.devLog("prepare_page").size(), prepared);
    }

    // Sequential images of a "media_end" page change in place, each on its own dwell, while a
    // new revision's candidate is prepared undisturbed.
    void sequentialItemsInPlace()
    {
        ControllerHarness& h = make(false);
        PlayerController& c = h.controller();
        Manifest m = manifestOf("man_1", {"ab", "c"});
        m.pages[0].advance = {{"mode", "media_end"}, {"maxMs", 60000}};
        // The dwell belongs to the second image: the first has none.
        Primitive timed = imageOf(m, 0);
        timed.id = "timed";
        timed.binding.insert("dwellMs", 5000);
        QJsonObject upright = timed.binding["items"][1].toObject();
        upright["intrinsicSize"] = QJsonObject{{"width", 9}, {"height", 16}};
        timed.binding["items"] = QJsonArray{timed.binding["items"][0], upright};
        imageOf(m, 0).binding.insert("items", QJsonArray{imageOf(m, 0).binding["items"][0]});
        m.pages[0].primitives.append(timed);
        QVERIFY(h.activate(m, 0, true));
        QCOMPARE(h.timer("mediaItemTimer")->interval(), 5000);
        ControllerAccess::preparePage(c, manifestOf("man_2", {"c"}), 0, true);
        const auto candidateCancel = ControllerAccess::candidateCancel(c);
        QSignalSpy rebuilt(c.modelForSlot(0), &StageLayoutModel::sceneChanged);

        QVERIFY(h.expireSoon("mediaItemTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(rebuilt.size(), 1, waitMs);
        QCOMPARE(h.devLog("media_end_image_dwell").size(), 2);
        QCOMPARE(h.devLog("media_end_image_dwell").last().value("primitive_id").toString(), "timed");
        QVERIFY(ControllerAccess::candidate(c));
        QVERIFY(!candidateCancel->load());

        // A resize lays the item shown now out in its own shape, not the first one's: 9:16
        // inside the primitive's 640 x 360 at 1280 x 720, in whole pixels.
        c.setViewport(1280, 720);
        const QModelIndex shown = c.modelForSlot(0)->index(1);
        QCOMPARE(shown.data(StageLayoutModel::PrimitiveIdRole).toString(), "timed");
        QCOMPARE(shown.data(StageLayoutModel::ContentRectRole).toRectF().size(), QSizeF(202, 360));
    }

    // A resize re-lays out the page on glass and the candidate in place: no row is rebuilt, so
    // the video keeps playing and every binding stays.
    void resizeKeepsBothStages()
    {
        ControllerHarness& h = make(false);
        PlayerController& c = h.controller();
        Manifest m = manifestOf("man_1", {"v", "a"});
        imageOf(m, 0).kind = PrimitiveKind::video;
        QVERIFY(h.activate(m, 0, true));
        ControllerAccess::preparePage(c, m, 1, false);
        QTRY_VERIFY_WITH_TIMEOUT(!test::boundSource(c, 1, "img").isEmpty(), waitMs);
        const QList<QUrl> bound{test::boundSource(c, 0, "img"), test::boundSource(c, 1, "img")};
        QVERIFY(bound[0] != bound[1]);
        std::vector<std::unique_ptr<QSignalSpy>> rebuilt;
        for (const int slot : {0, 1}) {
            StageLayoutModel* model = c.modelForSlot(slot);
            rebuilt.emplace_back(std::make_unique<QSignalSpy>(model, &QAbstractItemModel::modelReset));
            rebuilt.emplace_back(std::make_unique<QSignalSpy>(model, &QAbstractItemModel::rowsRemoved));
        }
        const QRectF before = c.modelForSlot(0)->index(0).data(StageLayoutModel::ViewportRectRole).toRectF();
        c.setViewport(1280, 720);
        for (const int slot : {0, 1}) {
            const QModelIndex row = c.modelForSlot(slot)->index(0);
            QCOMPARE(row.data(StageLayoutModel::ContentSourceRole).toUrl(), bound[slot]);
            QCOMPARE(row.data(StageLayoutModel::ViewportRectRole).toRectF().width(), before.width() * 2 / 3);
        }
        for (const auto& spy : rebuilt)
            QCOMPARE(spy->size(), 0);
    }

    // Starts wait for a session, video starts on the idle slot wait for the activation, and an
    // unauthorised answer is retried once for the page on glass. The activation, refused without
    // a session, is reported again once a session is made.
    void reportsAtTheService()
    {
        ControllerHarness& h = make(false);
        PlayerController& c = h.controller();
        const auto starts = [&h] {
            QStringList ids = reportCodes(h, "media_id");
            ids.removeAll(QString());
            return ids;
        };
        Manifest m = manifestOf("man_1", {"a", "v"});
        m.pages[1].primitives[0].kind = PrimitiveKind::video;
        QVERIFY(h.activate(m, 0, true));
        // Each mint's unchanged manifest re-plans the page on glass, which reports storage.
        h.service().script("PUT", W::storageRoute,
                           QList<Reply>(10, Reply::json(200, QJsonObject())));
        h.service().script("POST", W::reportsRoute,
                           {Reply::json(200, QJsonObject()), Reply::json(200, QJsonObject()),
                            Reply::json(401, QJsonObject())});
        QVERIFY(h.mintSession());
        QTRY_COMPARE_WITH_TIMEOUT(starts(), QStringList{"ma"}, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(reportCodes(h).count("manifest.activated"), 1, waitMs);

        ControllerAccess::preparePage(c, m, 1, false);
        c.videoStarted(1, "img");
        QTRY_COMPARE_WITH_TIMEOUT(h.scene().readinessRequests().size(), 2, waitMs);
        QCOMPARE(starts().size(), 1);
        QVERIFY(h.untilActivated([&] { h.scene().answerLatest(); }));
        QTRY_COMPARE_WITH_TIMEOUT(starts(), (QStringList{"ma", "mv"}), waitMs);

        // The 401 re-queues the start once; the second 401 drops it.
        QTRY_VERIFY_WITH_TIMEOUT(!h.transport().hasRuntimeSession(), waitMs);
        h.service().script("POST", W::reportsRoute,
                           {Reply::json(401, QJsonObject()), Reply::json(403, QJsonObject())});
        QVERIFY(h.mintSession());
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("playback.report_dropped").size(), 1, waitMs);
        QCOMPARE(h.devLog("playback.report_dropped").first().value("reason").toString(), "retry_exhausted");
        QCOMPARE(starts(), (QStringList{"ma", "mv", "mv"}));

        QVERIFY(h.mintSession());
        QVERIFY(h.activate(m, 0, false));
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("playback.report_dropped").size(), 2, waitMs);
        QCOMPARE(h.devLog("playback.report_dropped").last().value("reason").toString(), "forbidden");
    }

    // Keys as the platform delivers them: steps queued and coalesced behind a candidate, the
    // pause and its hold, web pages, the pairing screen and a fatal surface.
    void operatorKeys()
    {
        ControllerHarness& h = make(true);
        PlayerController& c = h.controller();
        Manifest manifest = manifestOf("man_1", {"a", "b", "c"});
        for (Page& page : manifest.pages)
            page.advance.insert("afterMs", 600000); // no page turns by itself here
        for (const char object : QByteArray("abc"))
            commit(*ControllerAccess::contentCache(c), object);
        QVERIFY(h.activate(manifest, 0, false));
        // The first page on glass: the others are turned to once found whole.
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::unlandedPages(c).isEmpty(), waitMs);
        QWindow w;
        constexpr auto chord = Qt::ControlModifier | Qt::AltModifier;

        const auto candidate = [&c] { return ControllerAccess::candidate(c); };
        QVERIFY(taken(w, Qt::Key_Right) && candidate()->pageIndex == 1);
        QVERIFY(!taken(w, Qt::Key_Right, {}, true)); // held down
        QVERIFY(taken(w, Qt::Key_P));
        QCOMPARE(h.devLog("manual_navigation").last()["disposition"], "queued");
        QVERIFY(taken(w, Qt::Key_N));
        QCOMPARE(h.devLog("manual_navigation").last()["disposition"], "coalesced");
        ControllerAccess::activateCandidate(c);
        QTRY_VERIFY_WITH_TIMEOUT(candidate() && candidate()->pageIndex == 2, waitMs); // replayed
        ControllerAccess::activateCandidate(c);
        QVERIFY(taken(w, Qt::Key_Space, chord) && !h.timer("pageTimer")->isActive());
        h.clock().advance(3600000);
        QVERIFY(h.expireSoon("pauseHoldTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!c.playbackPaused() && h.timer("pageTimer")->isActive(), waitMs);

        // A web page keeps the plain keys; the operator's chords still pause and step.
        Manifest web = manifest;
        web.pages[2].primitives[0].kind = PrimitiveKind::iframe;
        ControllerAccess::putOnGlass(c, web, 2, c.activeSlot());
        QVERIFY(!taken(w, Qt::Key_Right) && !c.togglePause());
        QVERIFY(!taken(w, Qt::Key_I) && !c.identifyVisible());
        QVERIFY(taken(w, Qt::Key_Space, chord) && taken(w, Qt::Key_Space, chord));
        QVERIFY(taken(w, Qt::Key_Right, chord) && candidate()->pageIndex == 0);
        ControllerAccess::activateCandidate(c);
        // "I" shows the identify card for ten seconds, where the page takes no keys.
        QVERIFY(taken(w, Qt::Key_I));
        QVERIFY(c.identifyVisible() && h.timer("identifyTimer")->interval() == 10000);
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        QVERIFY(!taken(w, Qt::Key_Right) && !taken(w, Qt::Key_Right, chord));
        c.enterFatal(FatalSurface::TypefacesMissing);
        QVERIFY(!taken(w, Qt::Key_Escape) && !taken(w, Qt::Key_Right, chord));
    }
};

QTEST_MAIN(TestPlayerPlayback)
#include "tst_playerplayback.moc"
