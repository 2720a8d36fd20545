// Revision planning: every revision is sized against the storage volume on the content I/O
// queue before anything of it is fetched; the plan is then applied to playback and reported to
// the runtime service.

#include "controller/PlayerController.h"

#include "app/DevFileLog.h"
#include "app/PlatformEnvironment.h"
#include "controller/PlayerDiagnostics.h"
#include "storage/StorageFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTimer>
#include <QtNumeric>

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace {

// Whatever part of this ad budget the ad cache has not used yet stays reserved for it.
constexpr qint64 adBudgetBytes = 268435456;
constexpr qint64 cycleWindowMs = 86400000;
constexpr qint64 mebibyte = 1048576;
constexpr qint64 largestReportedValue = 9007199254740991;
constexpr qsizetype maxReportedExclusions = 100;
// Less new room than this is no reason to plan again a revision refused for room.
constexpr qint64 roomGrowthBytes = mebibyte;
constexpr int roomLookMs = 60000;

// Two plans that admit and refuse the same pages in the same way, whatever their figures.
bool samePlanOutcome(const StoragePlanResult& a, const StoragePlanResult& b)
{
    return a.fit == b.fit && a.transition == b.transition && a.target_page_ids == b.target_page_ids
        && a.stage1_page_ids == b.stage1_page_ids && a.excluded == b.excluded;
}

bool raised(const std::atomic<bool>& flag)
{
    return flag.load(std::memory_order_acquire);
}

// The entries of a cache's subdirectory in directory order; nothing for a cache without a root,
// which must never turn into a listing of the working directory.
QFileInfoList entriesOf(const QString& root, const char* subdirectory, QDir::Filters filters)
{
    if (root.isEmpty())
        return {};
    return QDir(root + QLatin1Char('/') + QLatin1String(subdirectory))
        .entryInfoList(filters, QDir::NoSort);
}

// The last access an object's stamp records, else its modification time. The stamp is opened
// without following a link and without waiting on a FIFO: the job must never block on it.
qint64 lastAccessMs(const QString& stampPath, const QFileInfo& entry)
{
    const StorageFiles::UniqueFd fd = StorageFiles::openRegularForRead(stampPath);
    if (fd.valid()) {
        char text[32];
        const ssize_t got = ::read(fd.get(), text, sizeof text);
        bool parsed = false;
        const qint64 stamp =
            got > 0 ? QByteArray(text, qsizetype(got)).trimmed().toLongLong(&parsed, 10) : 0;
        if (parsed)
            return stamp;
    }
    return entry.lastModified().toMSecsSinceEpoch();
}

StoragePlanRecord recordFor(const QString& revision, StoragePlanResult result,
                            const QJsonObject& input, const StorageMeasurement& measurement)
{
    StoragePlanRecord record;
    record.manifestRevision = revision;
    record.anchorPageId = result.anchor_page_id;
    record.stage = result.transition == QLatin1String("staged") ? QStringLiteral("s1")
                                                                : QStringLiteral("complete");
    record.volumeTotal = measurement.volumeTotal;
    record.requiredBytes = StoragePlan::pagesCost(input, {}).value_or(0);
    if (!result.target_page_ids.isEmpty())
        record.targetBytes = StoragePlan::pagesCost(input, result.target_page_ids).value_or(0);
    record.plan = std::move(result);
    return record;
}

bool mayEvict(const StoragePlanResult& plan)
{
    return plan.fit != QLatin1String("none_fit") && plan.fit != QLatin1String("transition_blocked")
        && plan.decision != QLatin1String("hold");
}

bool blocksPreparation(const StoragePlanResult& plan)
{
    return plan.fit == QLatin1String("none_fit") || plan.fit == QLatin1String("transition_blocked");
}

QJsonValue reported(qint64 bytes)
{
    return double(std::clamp<qint64>(bytes, 0, largestReportedValue));
}

QJsonObject reportedPlan(const StoragePlanRecord& record)
{
    QJsonArray excluded;
    for (const StorageExclusion& exclusion : record.plan.excluded) {
        if (excluded.size() == maxReportedExclusions)
            break;
        excluded.append(QJsonObject{{QStringLiteral("page_id"), exclusion.page_id},
                                    {QStringLiteral("reason"), exclusion.reason}});
    }
    QJsonObject plan{{QStringLiteral("manifest_revision"), record.manifestRevision},
                     {QStringLiteral("fit"), record.plan.fit},
                     {QStringLiteral("transition"), record.plan.transition},
                     {QStringLiteral("required_bytes"), reported(record.requiredBytes)},
                     {QStringLiteral("target_bytes"), reported(record.targetBytes)},
                     {QStringLiteral("excluded_pages"), excluded}};
    if (record.plan.headroom_needed_bytes)
        plan.insert(QStringLiteral("headroom_needed_bytes"),
                    reported(*record.plan.headroom_needed_bytes));
    return plan;
}

// The report without its time stamp.
QJsonObject storageReport(const StoragePlanRecord& record,
                          const PlayerController::StorageSample& sample,
                          const QJsonObject& transfer24h)
{
    const StorageMeasurement& m = sample.measurement;
    QJsonObject transfer;
    for (auto it = transfer24h.constBegin(); it != transfer24h.constEnd(); ++it)
        transfer.insert(it.key(), reported(it.value().toInteger(0)));
    return {
        {QStringLiteral("volume"),
         QJsonObject{{QStringLiteral("total_bytes"), reported(m.volumeTotal)},
                     {QStringLiteral("available_bytes"), reported(m.available)}}},
        {QStringLiteral("cache"),
         QJsonObject{{QStringLiteral("house_used_bytes"), reported(m.ownAllocated)},
                     {QStringLiteral("capacity_bytes"), reported(m.capacity)},
                     {QStringLiteral("reserve_bytes"), reported(m.reserve)},
                     {QStringLiteral("protected_bytes"), reported(sample.protectedBytes)},
                     {QStringLiteral("fallback_bytes"), 0},
                     {QStringLiteral("warm_bytes"), reported(sample.warmBytes)},
                     {QStringLiteral("ad_headroom_bytes"), reported(m.pending)}}},
        {QStringLiteral("durability"), QStringLiteral("durable")},
        {QStringLiteral("plan"), reportedPlan(record)},
        {QStringLiteral("transfer_24h"), transfer},
    };
}

// Every byte count as its whole number of MiB, so that two reports compare equal when nothing
// changed at that grain.
QJsonValue mibRounded(const QJsonValue& value)
{
    if (value.isObject()) {
        QJsonObject rounded;
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            rounded.insert(it.key(), mibRounded(it.value()));
        return rounded;
    }
    if (value.isArray()) {
        QJsonArray rounded;
        for (const QJsonValue& element : value.toArray())
            rounded.append(mibRounded(element));
        return rounded;
    }
    if (value.isDouble())
        return double(value.toInteger(0) / mebibyte);
    return value;
}

} // namespace

// --- The planning job ----------------------------------------------------------------------

std::optional<qint64> storageQuota(const QString& value)
{
    bool parsed = false;
    const qint64 quota = value.toLongLong(&parsed, 10);
    return parsed && quota >= 0 ? std::optional<qint64>(quota) : std::nullopt;
}

void mergeStoragePlanObjects(QHash<QString, qint64>& into, const QHash<QString, qint64>& from)
{
    for (auto it = from.constBegin(); it != from.constEnd(); ++it) {
        qint64& stored = into[it.key()];
        stored = std::max(stored, it.value());
    }
}

std::optional<LocalStorageObjects> listLocalStorageObjects(const QString& contentCacheDirectory,
                                                           const QString& packageCacheRoot,
                                                           const QHash<QString, qint64>& onGlass,
                                                           const std::atomic<bool>& cancelled)
{
    LocalStorageObjects objects;
    const auto take = [&](const QFileInfo& entry, const QString& root) {
        const QString name = entry.fileName();
        objects.local.append(name);
        if (onGlass.contains(name))
            return;
        const qint64 retained = StoragePlan::allocatedBytes(entry.filePath());
        const QString stamp = root + QStringLiteral("/access/") + name;
        objects.warm.append(QJsonObject{
            {QStringLiteral("sha256"), name},
            {QStringLiteral("retained_bytes"), StoragePlan::encodeByteValue(retained)},
            {QStringLiteral("last_access"), double(lastAccessMs(stamp, entry))}});
        objects.warmBytes = StoragePlan::saturatingAdd(objects.warmBytes, retained);
    };

    for (const QFileInfo& entry :
         entriesOf(contentCacheDirectory, "objects", QDir::Files | QDir::NoSymLinks)) {
        if (raised(cancelled))
            return std::nullopt;
        if (!StorageFiles::validDigest(entry.fileName()))
            continue;
        objects.content.insert(entry.fileName());
        take(entry, contentCacheDirectory);
    }
    for (const QFileInfo& entry :
         entriesOf(packageCacheRoot, "objects", QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        if (raised(cancelled))
            return std::nullopt;
        const QString name = entry.fileName();
        if (!StorageFiles::validDigest(name) || objects.content.contains(name))
            continue;
        objects.packages.insert(name);
        take(entry, packageCacheRoot);
    }
    return objects;
}

qint64 roomLacking(const StorageMeasurement& measurement, qint64 headroom)
{
    const qint64 held = StoragePlan::saturatingAdd(measurement.available, measurement.ownAllocated);
    const qint64 kept = StoragePlan::saturatingAdd(measurement.reserve, measurement.pending);
    return StoragePlan::saturatingAdd(std::max<qint64>(headroom, 0),
                                      std::max<qint64>(kept - held, 0));
}

std::optional<StoragePlanningOutcome> runStoragePlanning(const StoragePlanningJob& job,
                                                         ContentCache& contentCache,
                                                         ApplicationPackageCache& packageCache,
                                                         const std::atomic<bool>& cancelled)
{
    const VolumeSpace space = job.measureVolume ? job.measureVolume(job.stateDirectory)
                                                : measureVolumeOf(job.stateDirectory);
    const qint64 own = StoragePlan::saturatingAdd(StoragePlan::allocatedBytes(job.contentCacheDirectory),
                                                  StoragePlan::allocatedBytes(job.packageCacheRoot));
    const qint64 adPending =
        std::max<qint64>(adBudgetBytes - StoragePlan::allocatedBytes(job.adCacheDirectory), 0);

    StoragePlanningOutcome outcome;
    outcome.measurement =
        StoragePlan::measure(space.total, space.available, own, adPending, job.quota);

    std::optional<LocalStorageObjects> local = listLocalStorageObjects(
        job.contentCacheDirectory, job.packageCacheRoot, job.onGlass, cancelled);
    if (!local)
        return std::nullopt;
    outcome.warmBytes = local->warmBytes;

    QJsonObject input = job.input;
    input.insert(QStringLiteral("capacity_bytes"),
                 StoragePlan::encodeByteValue(outcome.measurement.capacity));
    input.insert(QStringLiteral("volume_total_bytes"),
                 StoragePlan::encodeByteValue(outcome.measurement.volumeTotal));
    input.insert(QStringLiteral("local"), local->local);
    input.insert(QStringLiteral("tiers"), QJsonObject{{QStringLiteral("fallback"), QJsonArray()},
                                                      {QStringLiteral("warm"), local->warm}});

    std::optional<StoragePlanResult> result = StoragePlan::plan(input, &outcome.error);
    if (!result)
        return outcome;
    outcome.record = recordFor(job.revision, std::move(*result), input, outcome.measurement);

    const StoragePlanResult& plan = outcome.record->plan;
    if (mayEvict(plan)) {
        for (const QString& digest : plan.evict) {
            if (raised(cancelled))
                break;
            // Objects that are not local, or that will not go, are left out without a word.
            if ((local->content.contains(digest) && contentCache.remove(digest))
                || (local->packages.contains(digest) && packageCache.remove(digest)))
                outcome.evicted.append(digest);
        }
    }
    // Looked at once the evictions are done, so that what they took is no longer counted.
    for (int i = 0; i < job.readyCheckPages.size(); ++i) {
        if (raised(cancelled))
            break;
        const Page& page = job.readyCheckPages.at(i);
        if (page.type != PageType::adslot
            && retainedPageReady(page, contentCache, packageCache, &cancelled))
            outcome.readyPages.insert(i);
    }
    return outcome;
}

// --- The controller's planning -------------------------------------------------------------

// The objects shown now or next, protected from eviction with their retained sizes: the
// eligible pages of the manifest on glass, the page on glass itself (its window may just have
// closed, or a re-plan dropped it while it still plays) and the page it replaced, which stays
// on the other slot until the transition retires it.
QHash<QString, qint64> PlayerController::onGlassStorageObjects(bool replan) const
{
    if (activeSlot_ < 0 || !activeManifest_)
        return {};
    QList<int> pages = eligibleNow(*activeManifest_);
    // A page held whole that its plan left out keeps turning while its revision is on glass, and
    // a re-plan of that revision keeps it. A new revision may take its room: kept from the
    // planner's eviction, it would hold the new revision back for the very room it takes.
    if (!replan)
        pages.removeIf([this](int index) {
            return !pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, *activeManifest_,
                                      index);
        });
    if (!pages.contains(activePageIndex_))
        pages.append(activePageIndex_);
    QHash<QString, qint64> table = storagePlanOnGlassObjects(*activeManifest_, pages);
    if (outgoingManifest_)
        mergeStoragePlanObjects(table,
                                storagePlanOnGlassObjects(*outgoingManifest_, {outgoingPageIndex_}));
    return table;
}

void PlayerController::planRevision(Manifest manifest, QByteArray manifestBody, bool replan)
{
    StoragePlanningJob job;
    job.input = storagePlanInput(manifest);
    job.onGlass = onGlassStorageObjects(replan);
    qint64 protectedBytes = 0;
    for (const qint64 bytes : std::as_const(job.onGlass))
        protectedBytes = StoragePlan::saturatingAdd(protectedBytes, bytes);
    job.input.insert(QStringLiteral("old_objects"), storagePlanOldObjects(job.onGlass));
    job.input.insert(QStringLiteral("leases"), QJsonArray());

    const QString& revision = manifest.manifestRevision;
    const qint64 now = clock_->nowMs();
    const StoragePlanRecord* stored =
        replan ? storagePlanFor(pendingStoragePlan_, activeStoragePlan_, revision) : nullptr;
    if (stored) {
        // The cycle stamps live in memory only; the growth wait is stored and compared across
        // restarts on the wall clock.
        const qint64 since = clock_->monotonicMs();
        storageCycleTimes_.removeIf([since](qint64 at) { return since - at > cycleWindowMs; });
        const bool anchorOnGlass = storagePlanAnchorOnGlass(
            activeSlot_ >= 0, activeManifest_,
            activeManifest_ ? eligibleNow(*activeManifest_) : QList<int>(), revision, *stored);
        job.input.insert(QStringLiteral("previous"),
                         storagePlanPrevious(*stored, now, storageCycleTimes_.size(), anchorOnGlass));
    }

    // A newer run supersedes this one: its job stops at the next entry, its result is dropped.
    ++storagePlanGeneration_;
    storagePlanCancel_->store(true, std::memory_order_release);
    storagePlanCancel_ = std::make_shared<std::atomic<bool>>(false);
    storagePlanRunning_ = true;
    storagePlanRevision_ = revision;

    job.quota = storageQuota(qEnvironmentVariable("TALVORINE_STORAGE_QUOTA_BYTES"));
    job.revision = revision;
    job.stateDirectory = stateDirectory_;
    job.contentCacheDirectory = contentCache_->root();
    job.packageCacheRoot = applicationCache_->root();
    job.adCacheDirectory = adCache_->root();
    job.measureVolume = measureVolume_;
    if (replan)
        job.readyCheckPages = manifest.pages;

    const auto carried = std::make_shared<std::pair<Manifest, QByteArray>>(std::move(manifest),
                                                                           std::move(manifestBody));
    const quint64 generation = storagePlanGeneration_;
    const std::shared_ptr<std::atomic<bool>> cancel = storagePlanCancel_;
    const bool queued = contentIo_.submit(
        cancel, [this, job = std::move(job), contentCache = contentCache_,
                 packageCache = applicationCache_, cancel, carried, generation, protectedBytes,
                 replan]() -> std::function<void()> {
            std::optional<StoragePlanningOutcome> outcome =
                runStoragePlanning(job, *contentCache, *packageCache, *cancel);
            if (!outcome)
                return {};
            return [this, generation, carried, outcome = std::move(*outcome), protectedBytes,
                    replan]() mutable {
                finishPlanning(generation, std::move(carried->first), std::move(carried->second),
                               std::move(outcome), protectedBytes, replan);
            };
        });
    if (!queued) {
        storagePlanRunning_ = false;
        applyPlannedRevision(std::move(carried->first), std::move(carried->second), std::nullopt,
                             replan);
    }
}

void PlayerController::finishPlanning(quint64 generation, Manifest manifest,
                                      QByteArray manifestBody, StoragePlanningOutcome outcome,
                                      qint64 protectedBytes, bool replan)
{
    if (generation != storagePlanGeneration_)
        return;
    storagePlanRunning_ = false;
    storageSample_ = StorageSample{outcome.measurement, protectedBytes, outcome.warmBytes};

    // A later download of an evicted object then counts as a refetch.
    const qint64 now = clock_->nowMs();
    for (const QString& digest : std::as_const(outcome.evicted))
        transferLedger_.noteEvicted(digest, now);
    if (!outcome.evicted.isEmpty()) {
        transferLedger_.save();
        logPlayback("storage_evicted",
                    {{QStringLiteral("count"), QString::number(outcome.evicted.size())}});
        forgetEvictedPages(outcome.evicted);
    }
    if (replan && outcome.record)
        noteCachedPages(manifest.manifestRevision, outcome.readyPages);

    if (!outcome.record)
        logPlayback("storage_plan_invalid", {{QStringLiteral("error"), outcome.error}});
    else if (outcome.record->plan.fit == QLatin1String("retention_reduced"))
        logPlayback("storage.retention_reduced",
                    {{QStringLiteral("id"), outcome.record->manifestRevision}});

    applyPlannedRevision(std::move(manifest), std::move(manifestBody), std::move(outcome.record),
                         replan);
}

// --- Applying a plan -----------------------------------------------------------------------

void PlayerController::applyPlannedRevision(Manifest manifest, QByteArray manifestBody,
                                            std::optional<StoragePlanRecord> record, bool replan)
{
    if (replan) {
        // A re-plan of a revision that has left glass meanwhile is stale.
        if (!activeManifest_ || activeManifest_->manifestRevision != manifest.manifestRevision)
            return;
        if (!record) {
            repairRetainedPages();
            return;
        }
        applyReplanOnGlass(manifest, std::move(*record));
        return;
    }

    // A new revision: its plan waits as pending until the revision goes on glass. One that waits
    // for room and is refused again as before tells nothing new: no line, and a report only
    // when the figures moved.
    const bool refusedAsBefore =
        record && roomWait_ && roomWait_->manifest.manifestRevision == manifest.manifestRevision
        && pendingStoragePlan_ && pendingStoragePlan_->manifestRevision == record->manifestRevision
        && samePlanOutcome(pendingStoragePlan_->plan, record->plan);
    if (record && !refusedAsBefore) {
        logPlayback("storage_plan",
                    {{QStringLiteral("id"), record->manifestRevision},
                     {QStringLiteral("fit"), record->plan.fit},
                     {QStringLiteral("transition"), record->plan.transition},
                     {QStringLiteral("target"), QString::number(record->plan.target_page_ids.size())},
                     {QStringLiteral("excluded"), QString::number(record->plan.excluded.size())}});
    }
    pendingStoragePlan_ = std::move(record);
    pendingRevision_ = RoomWait{manifest, manifestBody};
    sendStorageReport(!refusedAsBefore);

    if (pendingStoragePlan_ && blocksPreparation(pendingStoragePlan_->plan)) {
        waitForRoom(manifest, manifestBody);
        noteRoomRefused();
        tellRoomRefused(*pendingStoragePlan_);
        latchOverlayFailure(QStringLiteral("content_storage_insufficient"));
        if (activeSlot_ < 0 && !candidate_)
            presentIdle(QStringLiteral("awaiting_content"));
        return;
    }
    // Whatever waited for room is taken now, or given up for this revision.
    roomWait_.reset();
    tellRoomReturned(manifest.manifestRevision);
    tellRoomWaitReplaced(manifest.manifestRevision);
    if (activeSlot_ >= 0) {
        // The page on glass keeps playing while the new revision's objects are fetched.
        beginReplacement(std::move(manifest), std::move(manifestBody), true, true, 0);
        return;
    }
    // A held revision still waiting to come in again would follow this one on glass.
    cancelReplacement();
    const QList<int> eligible = eligibleNow(manifest);
    pendingPageIndex_ = eligible.isEmpty() ? 0 : eligible.first();
    preparePage(std::move(manifest), std::move(manifestBody), pendingPageIndex_, true);
}

void PlayerController::applyReplanOnGlass(const Manifest& manifest, StoragePlanRecord record)
{
    const QString& revision = manifest.manifestRevision;
    const StoragePlanRecord* previous =
        storagePlanFor(pendingStoragePlan_, activeStoragePlan_, revision);
    const QStringList before = previous ? previous->plan.target_page_ids : QStringList();
    const bool previousAtStageOne = previous && previous->stage == QLatin1String("s1");
    const QStringList& after = record.plan.target_page_ids;
    const QString decision = record.plan.decision;

    if (decision == QLatin1String("shrink") || decision == QLatin1String("grow")) {
        storageCycleTimes_.append(clock_->monotonicMs());
        logPlayback(decision == QLatin1String("shrink") ? "storage.plan_shrunk"
                                                        : "storage.plan_grown",
                    {{QStringLiteral("id"), revision},
                     {QStringLiteral("fit"), record.plan.fit},
                     {QStringLiteral("before"), QString::number(before.size())},
                     {QStringLiteral("after"), QString::number(after.size())}});
    }

    // Pages the plan newly admits must land before they may be shown; pages it drops are no
    // longer waited for. What is held whole already, and the page on glass, has landed: after a
    // plan that admitted nothing, room returning must not stop them turning until a run lands.
    QSet<int>& unlanded = glassPages_.unlanded;
    bool admitted = false;
    for (int i = 0; i < manifest.pages.size(); ++i) {
        const QString& id = manifest.pages.at(i).id;
        if (!after.contains(id)) {
            unlanded.remove(i);
        } else if (previous && !before.contains(id) && i != activePageIndex_
                   && !pageKnownCached(manifest, i)) {
            unlanded.insert(i);
            admitted = true;
        }
    }
    const bool targetUnlanded = std::any_of(
        unlanded.cbegin(), unlanded.cend(), [&](int i) {
            return i >= 0 && i < manifest.pages.size() && after.contains(manifest.pages.at(i).id);
        });
    record.stage = targetUnlanded || admitted || previousAtStageOne ? QStringLiteral("s1")
                                                                    : QStringLiteral("complete");
    const bool noneFit = record.plan.fit == QLatin1String("none_fit");
    const bool refusedAsBefore =
        noneFit && previous && samePlanOutcome(previous->plan, record.plan);
    activeStoragePlan_ = std::move(record);

    // While the revision on glass is owed as the last known good, the copy on disk names the one
    // before and refuses its plan: the plan goes with the whole copy instead.
    const bool owed = lastKnownGoodOwed_ && lastKnownGoodOwed_->revision == revision;
    if (!(owed ? writeOwedLastKnownGood()
               : state_.saveStoragePlan(storagePlanRecordJson(*activeStoragePlan_))))
        DevFileLog::record(QStringLiteral("storage.plan_persist_failed"));
    if (noneFit) {
        // Its cached pages keep rotating; nothing more of the revision is fetched.
        cancelReplacement();
        tellRoomRefused(*activeStoragePlan_);
        latchOverlayFailure(QStringLiteral("content_storage_insufficient"));
        noteRoomRefused();
        roomWaitTimer_.start(roomLookMs);
    } else {
        tellRoomReturned(revision);
        repairRetainedPages();
    }
    sendStorageReport(decision != QLatin1String("hold") && !refusedAsBefore);
    completeStagedPlanIfReady();
}

QJsonObject PlayerController::adoptStoragePlan(const QString& revision)
{
    if (pendingStoragePlan_ && pendingStoragePlan_->manifestRevision == revision) {
        activeStoragePlan_ = std::move(pendingStoragePlan_);
        pendingStoragePlan_.reset();
        storageCycleTimes_.clear();
        if (cachedRevision_ != revision)
            noteCachedPages(revision, {});
        StoragePlanRecord& adopted = *activeStoragePlan_;
        if (adopted.stage == QLatin1String("s1")) {
            const QStringList& stageOne = adopted.plan.stage1_page_ids;
            const QStringList& targets = adopted.plan.target_page_ids;
            if (std::all_of(targets.cbegin(), targets.cend(),
                            [&](const QString& id) { return stageOne.contains(id); })) {
                adopted.stage = QStringLiteral("complete");
            } else {
                QTimer::singleShot(0, this, [this, revision] {
                    if (activeStoragePlan_ && activeStoragePlan_->manifestRevision == revision)
                        continueStagedPlan();
                });
            }
        }
        QTimer::singleShot(0, this, [this] { sendStorageReport(true); });
        return storagePlanRecordJson(adopted);
    }
    if (activeStoragePlan_ && activeStoragePlan_->manifestRevision == revision)
        return storagePlanRecordJson(*activeStoragePlan_);
    // The adopted record belongs to a revision that is no longer on glass.
    activeStoragePlan_.reset();
    return {};
}

// The revision on glass, with its plan, as the copy a restart plays from; false when the write
// failed again. A copy owed for a revision that left glass by another way is owed no more: that
// way wrote or cleared the copy itself.
bool PlayerController::writeOwedLastKnownGood()
{
    if (!lastKnownGoodOwed_)
        return true;
    const QString revision = lastKnownGoodOwed_->revision;
    if (!activeManifest_ || activeManifest_->manifestRevision != revision) {
        lastKnownGoodOwed_.reset();
        return true;
    }
    if (activeSlot_ < 0)
        return true;
    const QJsonObject plan =
        activeStoragePlan_ && activeStoragePlan_->manifestRevision == revision
            ? storagePlanRecordJson(*activeStoragePlan_)
            : QJsonObject();
    QString error;
    if (!state_.saveLastKnownGood(activeManifestBody_, revision, &error,
                                  lastKnownGoodOwed_->route, lastKnownGoodOwed_->etag, plan)) {
        if (!std::exchange(lastKnownGoodFaultSaid_, true)) {
            const QString problem = StorageFiles::directoryProblem(stateDirectory_);
            writeStandardErrorLine(
                QStringLiteral("Revision %1 cannot be saved as the last known good in the state "
                               "directory %2: %3. It keeps playing, and the save is tried again "
                               "as each page ends; a restart before then plays the revision "
                               "saved before.")
                    .arg(revision, QDir::toNativeSeparators(stateDirectory_),
                         problem.isEmpty() ? error : problem)
                    .toLocal8Bit());
        }
        return false;
    }
    lastKnownGoodOwed_.reset();
    lastKnownGoodFaultSaid_ = false;
    if (status_ == QLatin1String("playing_lkg_persist_failed"))
        setStatus(playingStatus());
    return true;
}

// --- Storage reports -----------------------------------------------------------------------

void PlayerController::sendStorageReport(bool force)
{
    const StoragePlanRecord* record = pendingStoragePlan_ ? &*pendingStoragePlan_
                                    : activeStoragePlan_  ? &*activeStoragePlan_
                                                          : nullptr;
    if (!record || !storageSample_ || !transport_.hasRuntimeSession()
        || !record->manifestRevision.startsWith(QLatin1String("man_")))
        return;

    const qint64 now = clock_->nowMs();
    QJsonObject report = storageReport(*record, *storageSample_, transferLedger_.transfer24h(now));
    QJsonObject rounded = mibRounded(report).toObject();
    if (!force && rounded == lastStorageReport_)
        return;
    lastStorageReport_ = std::move(rounded);
    report.insert(QStringLiteral("observed_at"),
                  QDateTime::fromMSecsSinceEpoch(serviceNowMs(), Qt::UTC)
                      .toString(Qt::ISODateWithMs));
    transport_.putStorage(report);
}

void PlayerController::sampleStorage()
{
    writeOwedLastKnownGood();
    // A revision waiting for room is planned again: the run measures whether the room it
    // lacked is there, and takes it when it is. Until it is taken, it is looked at every minute
    // rather than at the next quarter hour or unchanged answer.
    if (roomWait_)
        roomWaitTimer_.start(roomLookMs);
    if (roomWait_ && !candidate_ && !replacement_ && !storagePlanRunning_) {
        planRevision(roomWait_->manifest, roomWait_->manifestBody, false);
        return;
    }
    // Only an otherwise idle player re-plans what it shows; the plan application then reports.
    if (activeSlot_ >= 0 && activeManifest_ && !candidate_ && !replacement_ && !storagePlanRunning_
        && !pendingStoragePlan_) {
        planRevision(*activeManifest_, activeManifestBody_, true);
        return;
    }
    repairRetainedPages();
    sendStorageReport(false);
}

// --- Room ------------------------------------------------------------------------------------

void PlayerController::noteCachedPages(const QString& revision, const QSet<int>& pages)
{
    cachedRevision_ = revision;
    cachedPages_ = pages;
}

// A page that lost an object to eviction needs a download again before it may show.
void PlayerController::forgetEvictedPages(const QStringList& evicted)
{
    if (!activeManifest_ || activeManifest_->manifestRevision != cachedRevision_)
        return;
    const QSet<QString> gone(evicted.cbegin(), evicted.cend());
    cachedPages_.removeIf([&](int index) {
        if (index < 0 || index >= activeManifest_->pages.size())
            return true;
        for (const Primitive& primitive : activeManifest_->pages.at(index).primitives) {
            for (const PlanObject& object : planObjects(primitive)) {
                if (gone.contains(object.sha256))
                    return true;
            }
        }
        return false;
    });
}

bool PlayerController::pageKnownCached(const Manifest& manifest, int index) const
{
    return cachedRevision_ == manifest.manifestRevision && cachedPages_.contains(index);
}

bool PlayerController::pageAdmitted(const Manifest& manifest, int index) const
{
    return pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, manifest, index)
        || pageKnownCached(manifest, index);
}

void PlayerController::waitForRoom(const Manifest& manifest, const QByteArray& manifestBody)
{
    roomWait_ = RoomWait{manifest, manifestBody};
    roomWaitTimer_.start(roomLookMs);
}

// The minute's look for room: a measure of the volume alone, on the content I/O queue. Only
// room that has grown since the plan that refused, by a MiB at least, is worth a plan (with its
// walk of the caches); the quarter hour's sample plans regardless.
void PlayerController::roomWaitElapsed()
{
    if (!roomWait_ && !roomRefusedOnGlass())
        return;
    roomWaitTimer_.start(roomLookMs);
    // A plan under way measures for itself.
    if (storagePlanRunning_)
        return;
    const std::optional<qint64> refusedFree = roomRefusedFree_;
    const quint64 generation = storagePlanGeneration_;
    const std::function<VolumeSpace(const QString&)> measure = measureVolume_;
    const QString directory = stateDirectory_;
    contentIo_.submit(storagePlanCancel_, [=, this]() -> std::function<void()> {
        const qint64 available = measure(directory).available;
        return [this, refusedFree, generation, available] {
            // A plan since has measured for itself.
            if (generation != storagePlanGeneration_ || (!roomWait_ && !roomRefusedOnGlass()))
                return;
            if (refusedFree && available - *refusedFree < roomGrowthBytes)
                return;
            sampleStorage();
        };
    });
}

bool PlayerController::roomRefusedOnGlass() const
{
    return activeSlot_ >= 0 && activeManifest_ && activeStoragePlan_
        && activeStoragePlan_->manifestRevision == activeManifest_->manifestRevision
        && activeStoragePlan_->plan.fit == QLatin1String("none_fit");
}

void PlayerController::noteRoomRefused()
{
    roomRefusedFree_ = storageSample_ ? std::optional(storageSample_->measurement.available)
                                      : std::nullopt;
}

// The storage sample plans a new revision again once there is room for it; a run for the
// revision on glass starts again from the sample's re-plan of it.
void PlayerController::waitForRoomAfterWriteFailure()
{
    // No plan refused it: the next look plans, and its measure is what room has to grow from.
    roomRefusedFree_.reset();
    if (const ReplacementFetch* fetch = revisionFetch())
        waitForRoom(fetch->manifest, fetch->manifestBody);
    cancelReplacement();
    latchOverlayFailure(QStringLiteral("content_storage_insufficient"));
}

bool PlayerController::roomShort() const
{
    return !roomRefusedRevision_.isEmpty();
}

// Said once for a revision, however often it is planned again while the volume stays full.
void PlayerController::tellRoomRefused(const StoragePlanRecord& record)
{
    if (roomRefusedRevision_ == record.manifestRevision || !storageSample_)
        return;
    tellRoomWaitReplaced(record.manifestRevision);
    roomRefusedRevision_ = record.manifestRevision;
    const StorageMeasurement& m = storageSample_->measurement;
    const qint64 lacking = roomLacking(m, record.plan.headroom_needed_bytes.value_or(0));
    // In the units and figures of the storage chip, so that the two read alike.
    const auto text = [](qint64 bytes) {
        return *overlay::formatBytes(double(std::max<qint64>(bytes, 0)));
    };
    writeStandardErrorLine(
        QStringLiteral("Revision %1 does not fit on the storage volume: it needs %2 more room; "
                       "%3 is free on the volume and %4 is kept in reserve. What is already "
                       "held keeps playing; the rest waits for room.")
            .arg(record.manifestRevision, text(lacking), text(m.available),
                 text(StoragePlan::saturatingAdd(m.reserve, m.pending)))
            .toLocal8Bit());
}

// A refusal said for one revision is answered when another takes its place, room or not.
void PlayerController::tellRoomWaitReplaced(const QString& revision)
{
    if (roomRefusedRevision_.isEmpty() || roomRefusedRevision_ == revision)
        return;
    writeStandardErrorLine(
        QStringLiteral("Revision %1 no longer waits for room: revision %2 came in its place.")
            .arg(std::exchange(roomRefusedRevision_, {}), revision)
            .toLocal8Bit(),
        JournalPriority::Notice);
}

void PlayerController::tellRoomReturned(const QString& revision)
{
    if (revision.isEmpty() || roomRefusedRevision_ != revision)
        return;
    roomRefusedRevision_.clear();
    writeStandardErrorLine(
        QStringLiteral("The storage volume has room again for revision %1.")
            .arg(revision)
            .toLocal8Bit(),
        JournalPriority::Notice);
}

} // namespace talvorine
