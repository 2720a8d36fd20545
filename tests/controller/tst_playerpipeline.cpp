#include "controller/PlayerPlayback.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "storage/StorageTransferLedger.h"
#include "tests/support/ControllerHarness.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr const char* quotaVariable = "TALVORINE_STORAGE_QUOTA_BYTES";

QString sha(char c)
{
    return QString(64, QLatin1Char(c));
}

Manifest manifestOf(const QString& revision, const QList<QByteArray>& pages)
{
    return test::imagePagesManifest(revision, pages,
                                    [](char c) { return std::pair<QString, qint64>(sha(c), 1000); });
}

void setItemBytes(Manifest& manifest, int page, const QList<qint64>& bytes)
{
    Primitive& image = manifest.pages[page].primitives[0];
    QJsonArray items;
    for (const qint64 size : bytes) {
        QJsonObject item = image.binding.value("items").toArray().first().toObject();
        item.insert("sha256", sha(char('0' + items.size())));
        item.insert("bytes", double(size));
        items.append(item);
    }
    image.binding.insert("items", items);
}

// A local object as the caches keep it, with its access stamp when accessMs is not 0.
void writeObject(const QString& root, const QString& name, qint64 accessMs, bool directory = false)
{
    QDir().mkpath(root + "/objects");
    QDir().mkpath(root + "/access");
    if (directory)
        QDir().mkpath(root + "/objects/" + name + "/www");
    else if (QFile object(root + "/objects/" + name); object.open(QIODevice::WriteOnly))
        object.write(QByteArray(1000, 'x'));
    if (QFile stamp(root + "/access/" + name); accessMs && stamp.open(QIODevice::WriteOnly))
        stamp.write(QByteArray::number(accessMs) + "\n");
}

QStringList fieldOf(const QList<QJsonObject>& records, const char* field)
{
    QStringList values;
    for (const QJsonObject& record : records)
        values.append(record.value(field).toString());
    return values;
}

} // namespace

class TestPlayerPipeline : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    ControllerHarness& make()
    {
        harness = std::make_unique<ControllerHarness>();
        if (!harness->ready())
            qFatal("%s", qPrintable(harness->setupError()));
        return *harness;
    }
    ControllerHarness& withSession()
    {
        ControllerHarness& h = make();
        h.service().script("PUT", W::storageRoute, QList<Reply>(20, Reply::json(200, QJsonObject())));
        h.service().script("POST", W::reportsRoute, QList<Reply>(20, Reply::json(200, QJsonObject())));
        // The pages' image is not served: a background fetch of a new revision or a repair
        // ends at its download.
        h.service().script("GET", "/content/media/m", QList<Reply>(4, Reply::json(404, QJsonObject())));
        if (!h.mintSession())
            qFatal("no runtime session");
        return h;
    }
    QString contentRoot() const { return harness->statePath("content-cache"); }
    QList<QJsonObject> storageBodies() const
    {
        QList<QJsonObject> bodies;
        for (const auto& request : harness->service().requestsTo(W::storageRoute))
            bodies.append(request.jsonBody());
        return bodies;
    }

private slots:
    void cleanup()
    {
        qunsetenv(quotaVariable);
        ControllerHarness::release(harness);
    }

    // --- Rules ---------------------------------------------------------------------------

    void quota_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qint64>("quota");
        QTest::newRow("unset") << QString() << qint64(-1);
        QTest::newRow("not a number") << "abc" << qint64(-1);
        QTest::newRow("negative") << "-1" << qint64(-1);
        QTest::newRow("beyond 64 bits") << "9223372036854775808" << qint64(-1);
        QTest::newRow("zero") << "0" << qint64(0);
        QTest::newRow("largest") << "9223372036854775807" << std::numeric_limits<qint64>::max();
    }
    void quota()
    {
        QFETCH(QString, value);
        QFETCH(qint64, quota);
        QCOMPARE(storageQuota(value).value_or(-1), quota);
    }

    void mediaSizes_data()
    {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<bool>("valid");
        const qint64 largest = (qint64(1) << 62) - (qint64(1) << 27) - 1;
        QTest::newRow("ordinary") << QList<qint64>{0, 1000} << true;
        QTest::newRow("negative") << QList<qint64>{1000, -1} << false;
        QTest::newRow("largest object") << QList<qint64>{largest} << true;
        QTest::newRow("one byte more") << QList<qint64>{largest + 1} << false;
        QTest::newRow("total overflows") << QList<qint64>{largest, largest, largest} << false;
    }
    void mediaSizes()
    {
        QFETCH(QList<qint64>, sizes);
        QList<MediaItem> queue;
        for (const qint64 bytes : sizes)
            queue.append(MediaItem{{}, {}, {}, sha('a'), bytes, {}, {}});
        QFETCH(bool, valid);
        QCOMPARE(mediaSizesWithinLimits(queue), valid);
    }

    void rotationAndSkipping()
    {
        QCOMPARE(PageRotation::next(3, {0, 2}, 4), 0);
        QCOMPARE(PageRotation::next(1, {1}, 4), 1);
        QCOMPARE(PageRotation::next(-1, {2, 3}, 4), 2);
        QCOMPARE(PageRotation::next(2, {}, 4), 2);
        for (const char* hold : {"content_download_failed", "payment_required", "content_io_busy",
                                 "cache_write_failed", "package_file_commit_failed"})
            QVERIFY2(!isPagePrepareSkipCode(hold), hold);
        for (const char* skip : {"content_bind_failed", "layout_not_ready", "cache_integrity_mismatch",
                                 "package_archive_invalid", "page_ready_timeout"})
            QVERIFY2(isPagePrepareSkipCode(skip), skip);
        QCOMPARE(pageFailureReportCode("content_bind_failed"), QStringLiteral("content_bind_failed"));
        QCOMPARE(pageFailureReportCode("Bind failed"), QStringLiteral("page_prepare_failed"));
        QCOMPARE(pageFailureReportCode("bind\n"), QStringLiteral("page_prepare_failed"));
    }

    // Where Qt cannot place the state directory on a volume (a root that is no mount point), its
    // file system still tells the sizes: a disk with room is not taken for a full one.
    void volumeMeasured_data()
    {
        QTest::addColumn<bool>("placedByQt");
        QTest::addColumn<QString>("name"); // in a temporary directory
        QTest::addColumn<bool>("measured");
        QTest::newRow("placed by Qt") << true << "." << true;
        QTest::newRow("Qt cannot place it") << false << "." << true;
        QTest::newRow("nothing to measure") << false << "missing" << false;
    }
    void volumeMeasured()
    {
        QFETCH(bool, placedByQt);
        QFETCH(QString, name);
        QFETCH(bool, measured);
        QTemporaryDir directory;
        const QStorageInfo volume(directory.path());
        if (!volume.isValid())
            QSKIP("Qt places no directory on a volume here");
        const VolumeSpace space =
            volumeSpaceOf(placedByQt ? volume : QStorageInfo(), directory.filePath(name));
        QCOMPARE(space.total, measured ? volume.bytesTotal() : 0);
        QCOMPARE(space.available > 0, measured);
    }

    // What the planner is told the caches hold: each object once, links and stray names
    // skipped, objects on glass protected rather than warm, stamps read or the file's age.
    void localObjects()
    {
        QTemporaryDir directory;
        const QString content = directory.filePath("content-cache");
        const QString packages = directory.filePath("application-cache");
        writeObject(content, sha('a'), 1700000000000);
        writeObject(content, sha('b'), 0);
        writeObject(content, sha('c'), 1700000000001);
        writeObject(content, "not-a-digest", 0);
        QFile::link(content + "/objects/" + sha('a'), content + "/objects/" + sha('d'));
        writeObject(packages, sha('a'), 1, true);
        writeObject(packages, sha('e'), 1700000000002, true);
        QFile(content + "/access/" + sha('b')).open(QIODevice::WriteOnly);
        QFile::link(packages + "/objects/" + sha('e'), packages + "/objects/" + sha('f'));
        const qint64 bModified = QFileInfo(content + "/objects/" + sha('b')).lastModified().toMSecsSinceEpoch();

        std::atomic<bool> cancelled{false};
        const auto listed = listLocalStorageObjects(content, packages, {{sha('c'), 4096}}, cancelled);
        QVERIFY(listed);
        QStringList local;
        for (const QJsonValue& name : listed->local)
            local.append(name.toString());
        QCOMPARE(local.size(), 4);
        QCOMPARE(QSet<QString>(local.cbegin(), local.cend()),
                 (QSet<QString>{sha('a'), sha('b'), sha('c'), sha('e')}));
        QCOMPARE(listed->packages, QSet<QString>{sha('e')});
        QHash<QString, double> warm;
        for (const QJsonValue& entry : listed->warm)
            warm.insert(entry["sha256"].toString(), entry["last_access"].toDouble());
        QCOMPARE(warm, (QHash<QString, double>{{sha('a'), 1700000000000.0},
                                               {sha('b'), double(bModified)},
                                               {sha('e'), 1700000000002.0}}));
        QVERIFY(listed->warmBytes >= 3 * 1000);

        cancelled = true;
        QVERIFY(!listLocalStorageObjects(content, packages, {}, cancelled));
    }

    // --- Planning, through the controller ---------------------------------------------

    // A new revision with nothing on glass: planned against the quota, what does not fit is
    // evicted and noted in the ledger, the plan is reported, and its first page is prepared
    // on slot 0 with every distinct object of its own queued once: the other pages' wait until
    // it is on glass.
    void planningPreparesTheFirstPage()
    {
        ControllerHarness& h = withSession();
        PlayerController& c = h.controller();
        writeObject(contentRoot(), sha('5'), 1000);
        writeObject(contentRoot(), sha('6'), 1500);
        writeObject(contentRoot(), sha('a'), 2000);
        qputenv(quotaVariable, QByteArray::number(4 * 4096));
        // The first object's download stays unanswered while the candidate is looked at.
        Reply unanswered = Reply::json(200, QJsonObject());
        unanswered.latencyMs = 10 * waitMs;
        h.service().script("GET", "/content/media/m", {unanswered});

        ControllerAccess::planRevision(c, manifestOf("man_1", {"a1", "12"}));
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("prepare_page").size(), 1, waitMs);

        const QJsonObject plan = h.devLog("storage_plan").value(0);
        QCOMPARE(plan["fit"].toString(), QStringLiteral("fits_after_eviction"));
        QCOMPARE(h.devLog("storage_evicted").value(0)["count"].toString(), QStringLiteral("1"));
        QVERIFY(!QFile::exists(contentRoot() + "/objects/" + sha('5')));
        QVERIFY(QFile::exists(contentRoot() + "/objects/" + sha('a')));
        StorageTransferLedger ledger(h.statePath("playback-state/storage-transfer.json"));
        ledger.load();
        QVERIFY(ledger.wasEvicted(sha('5')));

        const QJsonObject prepared = h.devLog("prepare_page").value(0);
        QCOMPARE(prepared["page_id"].toString(), QStringLiteral("p0"));
        QCOMPARE(prepared["downloads_pending"].toString(), QStringLiteral("2"));
        QCOMPARE(c.modelForSlot(0)->rowCount(), 1);
        QCOMPARE(c.modelForSlot(1)->rowCount(), 0);
        QCOMPARE(c.status(), QStringLiteral("preparing_candidate"));
        QVERIFY(h.timer("candidateDeadlineTimer")->isActive());

        QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 1, waitMs);
        const QJsonObject report = storageBodies().first();
        QCOMPARE(report["plan"]["manifest_revision"].toString(), QStringLiteral("man_1"));
        QCOMPARE(report["cache"]["capacity_bytes"].toInteger(), 4 * 4096);
        QCOMPARE(report["cache"]["protected_bytes"].toInteger(), 0);
    }

    void planningOutcomes_data()
    {
        QTest::addColumn<QByteArray>("quota");
        QTest::addColumn<bool>("withoutPackage");
        QTest::addColumn<bool>("queueFull");
        QTest::addColumn<bool>("onGlass");
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<bool>("fault");
        QTest::newRow("fits") << QByteArray() << false << false << false << "storage_plan" << true
                              << false;
        QTest::newRow("nothing fits") << QByteArray("0") << false << false << false << "storage_plan"
                                      << false << true;
        QTest::newRow("planner refuses the input") << QByteArray() << true << false << false
                                                   << "storage_plan_invalid" << true << false;
        QTest::newRow("queue full") << QByteArray() << false << true << false << "" << true << false;
        // The page on glass plays on while the background replacement fetches the revision.
        QTest::newRow("page on glass") << QByteArray() << false << false << true << "storage_plan"
                                       << false << false;
    }
    void planningOutcomes()
    {
        QFETCH(QByteArray, quota);
        QFETCH(bool, queueFull);
        QFETCH(bool, onGlass);
        QFETCH(QString, event);
        QFETCH(bool, prepared);
        QFETCH(bool, fault);
        QFETCH(bool, withoutPackage);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        if (!quota.isEmpty())
            qputenv(quotaVariable, quota);
        if (onGlass)
            ControllerAccess::putOnGlass(c, manifestOf("man_0", {"b"}), 0, 0);
        Manifest manifest = manifestOf("man_1", {"a"});
        if (withoutPackage) {
            Primitive application = manifest.pages[0].primitives[0];
            application.id = "app";
            application.kind = PrimitiveKind::application;
            application.binding = QJsonObject{{"releaseId", "r"}};
            manifest.pages[0].primitives.append(application);
        }
        QSemaphore release;
        CacheIoQueue& io = ControllerAccess::contentIo(c);
        for (int i = 0; queueFull && i <= io.capacity(); ++i)
            io.submit(std::make_shared<std::atomic<bool>>(false), [&release] {
                release.acquire();
                return std::function<void()>();
            });

        ControllerAccess::planRevision(c, manifest);
        if (queueFull)
            QCOMPARE(h.devLog("prepare_page").size(), 1);
        release.release(io.capacity() + 1);
        if (!event.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog(event).size(), 1, waitMs);
        QCOMPARE(h.devLog("prepare_page").size(), prepared ? 1 : 0);
        // The storage fault is latched for the overlay (the idle status lets it show).
        ControllerAccess::setStatus(c, "awaiting_content");
        QCOMPARE(c.overlayCondition() == QLatin1String("storage_full"), fault);
        QTRY_VERIFY_WITH_TIMEOUT(!io.isRunning() && io.waitingCount() == 0, waitMs);
    }

    // Only the newest planning run applies its plan; a held revision still waiting to come in
    // again (its object not to be had) gives way to it.
    void newerPlanSupersedes()
    {
        ControllerHarness& h = make();
        ControllerAccess::beginReplacement(h.controller(), manifestOf("man_0", {"c"}));
        ControllerAccess::planRevision(h.controller(), manifestOf("man_1", {"a"}));
        ControllerAccess::planRevision(h.controller(), manifestOf("man_2", {"b"}));
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("prepare_page").size(), 1, waitMs);
        QCOMPARE(fieldOf(h.devLog("storage_plan"), "id"), QStringList{"man_2"});
        // Its candidate finds no session, which nothing else would take up: the sweep holds the
        // newest revision for it, never the old one, and says so once.
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::fetchRevision(h.controller()), "man_2", waitMs);
        QCOMPARE(fieldOf(h.devLog("recovery_sweep"), "action"), QStringList{"hold_for_retry"});
        QCOMPARE(fieldOf(h.devLog("recovery_sweep"), "revision"), QStringList{"man_2"});
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::contentIo(h.controller()).isRunning(), waitMs);
        QCOMPARE(h.devLog("storage_plan").size(), 1);
    }

    // The page on glass keeps its objects even when it is no longer eligible (its plan dropped
    // it), and so does the page it replaced, from its own older manifest.
    void objectsOnGlassAreProtected()
    {
        ControllerHarness& h = withSession();
        PlayerController& c = h.controller();
        const Manifest old = manifestOf("man_0", {"7"});
        const Manifest shown = manifestOf("man_1", {"8", "9"});
        StoragePlanRecord record;
        record.manifestRevision = "man_1";
        record.stage = "complete";
        record.plan.target_page_ids = {"p0"};
        ControllerAccess::setPendingStoragePlan(c, record);
        ControllerAccess::putOnGlass(c, shown, 1, 0);
        ControllerAccess::setOutgoing(c, old, 0);
        for (const char object : {'7', '8', '9'})
            writeObject(contentRoot(), sha(object), 1000);
        writeObject(contentRoot(), sha('5'), 2000);
        qputenv(quotaVariable, QByteArray::number(4 * 4096));

        ControllerAccess::planRevision(c, manifestOf("man_2", {"b"}));
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage_evicted").size(), 1, waitMs);
        QCOMPARE(h.devLog("storage_evicted").value(0)["count"].toString(), QStringLiteral("1"));
        QVERIFY(!QFile::exists(contentRoot() + "/objects/" + sha('5')));
        for (const char kept : {'7', '8', '9'})
            QVERIFY(QFile::exists(contentRoot() + "/objects/" + sha(kept)));
        QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 1, waitMs);
        const QJsonObject report = storageBodies().first();
        QCOMPARE(report["cache"]["protected_bytes"].toInteger(), 3 * 4096);
    }

    // The periodic sample re-plans the revision on glass against its stored plan: growth waits
    // for the day's cycle budget (a cycle exactly a day old still counts), shrinking does not,
    // pages newly admitted put the plan back to its first stage, the record is saved with the
    // last known good copy and reported, and a result for a revision that left glass is dropped.
    void replanOnGlass_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<qint64>("quota");
        QTest::addColumn<qint64>("cycleAge");
        QTest::addColumn<bool>("stale");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("decision");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<int>("cycles");
        const QStringList one{"p0"};
        const QStringList all{"p0", "p1", "p2"};
        QTest::newRow("grows once the old cycles left the day")
            << one << qint64(3 * 4096) << qint64(86400001) << false << "storage.plan_grown"
            << "grow" << "s1" << 1;
        QTest::newRow("holds at the day's cycle limit")
            << one << qint64(3 * 4096) << qint64(86400000) << false << "" << "hold" << "complete" << 4;
        QTest::newRow("shrinks at once")
            << all << qint64(2 * 4096) << qint64(86400000) << false << "storage.plan_shrunk"
            << "shrink" << "complete" << 5;
        QTest::newRow("nothing fits any more")
            << one << qint64(0) << qint64(86400001) << false << "storage.plan_shrunk" << "shrink"
            << "complete" << 1;
        QTest::newRow("revision left glass")
            << one << qint64(3 * 4096) << qint64(86400001) << true << "" << "" << "" << 0;
    }
    void replanOnGlass()
    {
        QFETCH(QStringList, before);
        QFETCH(qint64, quota);
        QFETCH(qint64, cycleAge);
        QFETCH(bool, stale);
        QFETCH(QString, event);
        QFETCH(QString, decision);
        QFETCH(QString, stage);
        QFETCH(int, cycles);
        ControllerHarness& h = withSession();
        PlayerController& c = h.controller();
        const Manifest manifest = manifestOf("man_1", {"a", "b", "c"});
        const PersistentState state(h.statePath("playback-state"));
        QVERIFY(state.saveLastKnownGood("{}", "man_1"));
        const qint64 now = h.clock().nowMs();
        StoragePlanRecord record;
        record.manifestRevision = "man_1";
        record.stage = "complete";
        record.anchorPageId = "p0";
        record.plan.fit = before.size() == 3 ? "fits" : "partial";
        record.plan.transition = "direct";
        record.plan.decision = "compute";
        record.plan.target_page_ids = before;
        record.plan.anchor_page_id = "p0";
        record.plan.capacity_baseline = quota;
        record.plan.growth_eligible_since_ms = now - 2 * 3600000;
        ControllerAccess::setActiveStoragePlan(c, record);
        ControllerAccess::putOnGlass(c, manifest, 0, 0);
        ControllerAccess::storageCycleTimes(c) =
            QList<qint64>(4, h.clock().monotonicMs() - cycleAge);
        qputenv(quotaVariable, QByteArray::number(quota));

        ControllerAccess::sampleStorage(c);
        if (stale)
            ControllerAccess::putOnGlass(c, manifestOf("man_2", {"a"}), 0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::contentIo(c).isRunning()
                                     && ControllerAccess::contentIo(c).waitingCount() == 0,
                                 waitMs);
        QCoreApplication::processEvents();

        QStringList events;
        for (const char* name : {"storage.plan_grown", "storage.plan_shrunk"})
            events += fieldOf(h.devLog(name), "id");
        QCOMPARE(events, event.isEmpty() ? QStringList() : QStringList{"man_1"});
        QCOMPARE(ControllerAccess::storageCycleTimes(c).size(), cycles);
        QJsonObject saved;
        QVERIFY(state.loadLastKnownGood(nullptr, nullptr, &saved));
        if (stale) {
            // The next sample plans what is on glass now, and only that plan is reported.
            QVERIFY(saved.isEmpty());
            ControllerAccess::sampleStorage(c);
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("storage.plan_persist_failed").size(), 1, waitMs);
            QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 1, waitMs);
            const QJsonObject report = storageBodies().first();
            QCOMPARE(report["plan"]["manifest_revision"].toString(), QStringLiteral("man_2"));
            return;
        }
        QCOMPARE(saved["decision"].toString(), decision);
        QCOMPARE(saved["stage"].toString(), stage);
        QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 1, waitMs);
        const QJsonObject reported = storageBodies().first().value("plan").toObject();
        QCOMPARE(reported["fit"].toString(), saved["fit"].toString());
        QCOMPARE(ControllerAccess::storageFault(c), saved["fit"] == QLatin1String("none_fit"));
        if (!event.isEmpty()) {
            const QJsonObject logged = h.devLog(event).first();
            QCOMPARE(logged["before"].toString(), QString::number(before.size()));
            QCOMPARE(logged["after"].toString(),
                     QString::number(saved["target_page_ids"].toArray().size()));
        }
    }

    // --- Storage reports ---------------------------------------------------------------

    void storageReports()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        h.service().script("PUT", W::storageRoute, QList<Reply>(5, Reply::json(200, QJsonObject())));
        StoragePlanRecord record;
        record.manifestRevision = "rev_1";
        record.plan.fit = "partial";
        record.plan.headroom_needed_bytes = 5 * 1048576;
        for (int i = 0; i < 150; ++i)
            record.plan.excluded.append({QStringLiteral("x%1").arg(i), "capacity"});
        PlayerController::StorageSample sample;
        sample.measurement = {std::numeric_limits<qint64>::max(), 10 * 1048576, 0, 0, -5, 0};
        ControllerAccess::setPendingStoragePlan(c, record);
        ControllerAccess::setStorageSample(c, sample);

        // Neither without a session nor for a revision that is not the service's.
        ControllerAccess::sampleStorage(c);
        QVERIFY(h.mintSession());
        ControllerAccess::sampleStorage(c);
        record.manifestRevision = "man_1";
        ControllerAccess::setPendingStoragePlan(c, record);
        ControllerAccess::sampleStorage(c);
        QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 1, waitMs);
        const QJsonObject report = storageBodies().first();
        QCOMPARE(report["volume"]["total_bytes"].toInteger(), 9007199254740991);
        QCOMPARE(report["cache"]["house_used_bytes"].toInteger(), 0);
        QCOMPARE(report["cache"]["fallback_bytes"].toInteger(), 0);
        QCOMPARE(report["durability"].toString(), QStringLiteral("durable"));
        QCOMPARE(report["plan"]["excluded_pages"].toArray().size(), 100);
        QCOMPARE(report["plan"]["headroom_needed_bytes"].toInteger(), 5 * 1048576);
        QVERIFY(!QDateTime::fromString(report["observed_at"].toString(), Qt::ISODateWithMs).isNull());

        // Half a MiB more is the same report; a MiB boundary crossed is not.
        sample.measurement.available += 524288;
        ControllerAccess::setStorageSample(c, sample);
        ControllerAccess::sampleStorage(c);
        sample.measurement.available += 524288;
        ControllerAccess::setStorageSample(c, sample);
        ControllerAccess::sampleStorage(c);
        QTRY_COMPARE_WITH_TIMEOUT(storageBodies().size(), 2, waitMs);
        const QJsonObject crossed = storageBodies().last();
        QCOMPARE(crossed["volume"]["available_bytes"].toInteger(), 11 * 1048576);
    }

    // --- Candidate preparation -----------------------------------------------------------

    void preparation()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        Manifest manifest = manifestOf("man_1", {"a", "ab", "bc"});
        manifest.pages[0].canvas.width = 0;

        // A page that cannot be laid out is skipped for the next one, which with nothing on glass
        // queues its own objects only.
        ControllerAccess::preparePage(c, manifest, 0, true);
        QCOMPARE(fieldOf(h.devLog("prepare_page"), "page_id"), QStringList{"p1"});
        QCOMPARE(fieldOf(h.devLog("prepare_page"), "downloads_pending"), QStringList{"2"});

        // A rotation during a retained restore checks only its own page; under a page on glass
        // it is prepared on the other slot, with a deadline.
        ControllerAccess::setRetainedRestore(c, true);
        ControllerAccess::putOnGlass(c, manifest, 1, 0);
        ControllerAccess::setEntryRunning(c);
        ControllerAccess::preparePage(c, manifest, 2, false);
        // The entry still running on glass is finished first.
        QVERIFY(!h.timer("transitionEndTimer")->isActive());
        QCOMPARE(h.devLog("prepare_page").last()["downloads_pending"].toString(), QStringLiteral("2"));
        QCOMPARE(c.modelForSlot(1)->rowCount(), 1);
        QVERIFY(h.timer("candidateDeadlineTimer")->isActive());

        // A new revision behind the page on glass has no deadline while it loads.
        ControllerAccess::preparePage(c, manifest, 2, true);
        QVERIFY(!h.timer("candidateDeadlineTimer")->isActive());

        // Sizes that cannot be stored fail the page that has them, not the earlier candidate.
        setItemBytes(manifest, 1, {1000, -1});
        ControllerAccess::preparePage(c, manifest, 1, false);
        const QJsonObject failed = h.devLog("candidate_failed").value(0);
        QCOMPARE(failed["page_id"].toString(), QStringLiteral("p1"));
        QCOMPARE(failed["code"].toString(), QStringLiteral("content_storage_insufficient"));
        QCOMPARE(c.modelForSlot(1)->rowCount(), 0);
        QCOMPARE(c.status(), QStringLiteral("degraded_lkg_active"));
    }

    // setScene signals the scene synchronously; a candidate dropped from there stays dropped.
    void sceneReentry()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        connect(c.modelForSlot(0), &QAbstractItemModel::modelReset, &c, [&c] {
            ControllerAccess::failCandidate(c, "content_download_failed");
        });
        ControllerAccess::preparePage(c, manifestOf("man_1", {"a"}), 0, true);
        QCOMPARE(h.devLog("candidate_failed").size(), 1);
        QCOMPARE(c.status(), QStringLiteral("content_download_failed"));
        QVERIFY(!h.timer("candidateDeadlineTimer")->isActive());
    }

    // --- Candidate failure -------------------------------------------------------------

    void failure_data()
    {
        QTest::addColumn<int>("onGlass");
        QTest::addColumn<int>("first");
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("prepared");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("reports");
        QTest::addColumn<QString>("navigation");
        const QString bind = "content_bind_failed";
        const QString download = "content_download_failed";
        QTest::newRow("skips to the next page until none is left")
            << -1 << 0 << QStringList{bind, bind, bind} << QStringList{"p0", "p1", "p2"} << bind
            << 3 << "no_prepared_page";
        QTest::newRow("passes over at once with nothing on glass, unreported without an answer")
            << -1 << 0 << QStringList{download, download, download} << QStringList{"p0", "p1", "p2"}
            << download << 0 << "no_prepared_page";
        QTest::newRow("holds for a full disk")
            << -1 << 0 << QStringList{"cache_write_failed"} << QStringList{"p0"}
            << "cache_write_failed" << 0 << "preparation_failed";
        // A page of the revision on glass whose object did not come holds no update.
        QTest::newRow("holds what plays")
            << 0 << 1 << QStringList{download} << QStringList{"p1"} << "playing" << 0
            << "preparation_failed";
        QTest::newRow("never skips onto the page on glass")
            << 0 << 2 << QStringList{bind} << QStringList{"p2"} << QString() << 1
            << "no_prepared_page";
        QTest::newRow("late failure without a candidate")
            << -1 << -1 << QStringList{bind} << QStringList() << bind << 0 << "preparation_failed";
    }
    void failure()
    {
        QFETCH(int, onGlass);
        QFETCH(int, first);
        QFETCH(QStringList, codes);
        QFETCH(QStringList, prepared);
        QFETCH(QString, status);
        QFETCH(QString, navigation);
        QFETCH(int, reports);
        ControllerHarness& h = withSession();
        PlayerController& c = h.controller();
        const Manifest manifest = manifestOf("man_1", {"a", "b", "c"});
        if (onGlass >= 0)
            ControllerAccess::putOnGlass(c, manifest, onGlass, 0);
        if (first >= 0)
            ControllerAccess::preparePage(c, manifest, first, false);
        ControllerAccess::setPendingStep(c, 1);
        for (const QString& code : codes)
            ControllerAccess::failCandidate(c, code);

        QCOMPARE(fieldOf(h.devLog("prepare_page"), "page_id"), prepared);
        if (!status.isEmpty())
            QCOMPARE(c.status(), status);
        QCOMPARE(c.overlayCondition() == "assignment_held", c.status() == "degraded_lkg_active");
        QCOMPARE(fieldOf(h.devLog("manual_navigation"), "reason"), QStringList{navigation});
        QCOMPARE(h.devLog("page_failed_reported").size(), reports);
        QTRY_COMPARE_WITH_TIMEOUT(h.service().requestsTo(W::reportsRoute).size(), reports, waitMs);
        for (const auto& request : h.service().requestsTo(W::reportsRoute))
            QCOMPARE(request.jsonBody()["code"].toString(), QStringLiteral("playback.page_failed"));
    }

    // The old candidate's queued jobs and running downloads end with it.
    void cancelledWorkLeavesNothingRunning()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        CacheIoQueue& io = ControllerAccess::contentIo(c);
        QSemaphore release;
        io.submit(std::make_shared<std::atomic<bool>>(false), [&release] {
            release.acquire();
            return std::function<void()>();
        });
        // Its first media check waits behind the job above.
        ControllerAccess::preparePage(c, manifestOf("man_1", {"a"}), 0, true);
        bool continued = false;
        io.submit(ControllerAccess::candidateCancel(c), [&continued] {
            return std::function<void()>([&continued] { continued = true; });
        });
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QNetworkAccessManager network;
        QPointer<QNetworkReply> reply =
            network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()))));
        QSignalSpy finished(reply.data(), &QNetworkReply::finished);
        ControllerAccess::addCandidateReply(c, reply);

        ControllerAccess::failCandidate(c, "content_bind_failed");
        QCOMPARE(io.waitingCount(), 0);
        QCOMPARE(finished.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(reply.isNull(), waitMs);
        release.release();
        QTRY_VERIFY_WITH_TIMEOUT(!io.isRunning(), waitMs);
        QVERIFY(!continued);
    }
};

QTEST_MAIN(TestPlayerPipeline)
#include "tst_playerpipeline.moc"
