#include "controller/PlayerPreparation.h"

#include "controller/PlayerController.h"

#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPlayback.h"
#include "manifest/LayoutContract.h"

#include <QJsonValue>
#include <QNetworkReply>
#include <QSet>

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

namespace talvorine {

namespace {

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

QString kindName(PrimitiveKind kind)
{
    switch (kind) {
    case PrimitiveKind::application:
        return QStringLiteral("application");
    case PrimitiveKind::image:
        return QStringLiteral("image");
    case PrimitiveKind::video:
        return QStringLiteral("video");
    case PrimitiveKind::stream:
        return QStringLiteral("stream");
    default:
        return QStringLiteral("iframe");
    }
}

QJsonObject objectEntry(const PlanObject& object)
{
    QJsonObject entry{
        {QStringLiteral("sha256"), object.sha256},
        {QStringLiteral("bytes"), StoragePlan::encodeByteValue(object.bytes)},
        {QStringLiteral("contentType"), object.contentType},
        {QStringLiteral("kind"), object.isPackage ? QStringLiteral("package") : QStringLiteral("media")},
    };
    if (object.expandedBytes)
        entry.insert(QStringLiteral("expandedBytes"), StoragePlan::encodeByteValue(*object.expandedBytes));
    if (object.expandedFiles)
        entry.insert(QStringLiteral("expandedFiles"), StoragePlan::encodeByteValue(*object.expandedFiles));
    return entry;
}

std::optional<qint64> optionalByteValue(const QJsonObject& object, const char* name)
{
    if (!object.contains(key(name)))
        return std::nullopt;
    return StoragePlan::parseByteValue(object.value(key(name)));
}

QStringList lenientStrings(const QJsonValue& value)
{
    QStringList list;
    for (const QJsonValue& element : value.toArray())
        list.append(element.toString());
    return list;
}

const StoragePlanRecord* matching(const std::optional<StoragePlanRecord>& record,
                                  const QString& revision)
{
    return record && record->manifestRevision == revision ? &*record : nullptr;
}

} // namespace

QList<PlanObject> planObjects(const Primitive& primitive)
{
    QList<PlanObject> objects;
    switch (primitive.kind) {
    case PrimitiveKind::application: {
        const QJsonObject package = primitive.binding.value(key("package")).toObject();
        PlanObject object;
        object.sha256 = package.value(key("sha256")).toString();
        object.bytes = std::max<qint64>(package.value(key("bytes")).toInteger(0), 0);
        object.contentType = QStringLiteral("application/vnd.talvorine.webapp-package+tar+gzip");
        object.isPackage = true;
        object.expandedBytes = optionalByteValue(package, "expandedBytes");
        object.expandedFiles = optionalByteValue(package, "expandedFiles");
        objects.append(object);
        break;
    }
    case PrimitiveKind::image:
    case PrimitiveKind::video:
    case PrimitiveKind::stream:
        for (const MediaItem& item : mediaItems(primitive)) {
            PlanObject object;
            object.sha256 = item.sha256;
            object.bytes = std::max<qint64>(item.bytes, 0);
            object.contentType = item.contentType.isEmpty()
                                     ? QStringLiteral("application/octet-stream")
                                     : item.contentType;
            objects.append(object);
        }
        break;
    default:
        break;
    }
    return objects;
}

bool primitiveUses(const Primitive& primitive, const QString& sha256)
{
    const QList<PlanObject> objects = planObjects(primitive);
    return std::any_of(objects.cbegin(), objects.cend(),
                       [&](const PlanObject& object) { return object.sha256 == sha256; });
}

QJsonObject storagePlanInput(const Manifest& manifest)
{
    QHash<QString, QJsonValue> visibility;
    for (const QJsonValue& element : manifest.document.value(key("pages")).toArray()) {
        const QJsonObject page = element.toObject();
        if (element.isObject() && page.contains(key("visibility")))
            visibility.insert(page.value(key("id")).toString(), page.value(key("visibility")));
    }

    QJsonArray soundtrackObjects;
    if (manifest.soundtrack) {
        for (const SoundtrackTrack& track : manifest.soundtrack->tracks) {
            // The content type goes in as given: a track without one makes the planner refuse
            // the document, which is how such a soundtrack shows up.
            soundtrackObjects.append(QJsonObject{
                {QStringLiteral("sha256"), track.sha256},
                {QStringLiteral("bytes"), StoragePlan::encodeByteValue(std::max<qint64>(track.bytes, 0))},
                {QStringLiteral("contentType"), track.contentType},
                {QStringLiteral("kind"), QStringLiteral("media")},
            });
        }
    }

    QJsonArray pages;
    for (const Page& page : manifest.pages) {
        QJsonObject pageJson{{QStringLiteral("id"), page.id}};
        if (page.type == PageType::adslot)
            pageJson.insert(QStringLiteral("type"), QStringLiteral("adslot"));
        if (page.visibility)
            pageJson.insert(QStringLiteral("visibility"), visibility.value(page.id, QJsonObject()));
        QJsonArray primitives;
        for (const Primitive& primitive : page.primitives) {
            QJsonArray objects;
            for (const PlanObject& object : planObjects(primitive))
                objects.append(objectEntry(object));
            primitives.append(QJsonObject{{QStringLiteral("kind"), kindName(primitive.kind)},
                                          {QStringLiteral("objects"), objects}});
        }
        if (page.type != PageType::adslot && manifest.soundtrack)
            primitives.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("audio")},
                                          {QStringLiteral("objects"), soundtrackObjects}});
        pageJson.insert(QStringLiteral("primitives"), primitives);
        pages.append(pageJson);
    }
    return QJsonObject{{QStringLiteral("manifest"), QJsonObject{{QStringLiteral("pages"), pages}}}};
}

QHash<QString, qint64> storagePlanOnGlassObjects(const Manifest& manifest,
                                                 const QList<int>& pageIndices)
{
    QHash<QString, qint64> table;
    for (int index : pageIndices) {
        if (index < 0 || index >= manifest.pages.size())
            continue;
        for (const Primitive& primitive : manifest.pages.at(index).primitives) {
            for (const PlanObject& object : planObjects(primitive)) {
                // An application without a package names no object that could be on disk;
                // listing it would only make the planner refuse the whole input.
                if (object.sha256.isEmpty())
                    continue;
                const qint64 retained = StoragePlan::objectRetainedBytes(
                    object.isPackage, object.bytes, object.expandedBytes, object.expandedFiles);
                qint64& stored = table[object.sha256];
                stored = std::max(stored, retained);
            }
        }
    }
    return table;
}

QJsonArray storagePlanOldObjects(const QHash<QString, qint64>& onGlass)
{
    QJsonArray array;
    for (auto it = onGlass.constBegin(); it != onGlass.constEnd(); ++it)
        array.append(QJsonObject{{QStringLiteral("sha256"), it.key()},
                                 {QStringLiteral("retained_bytes"),
                                  StoragePlan::encodeByteValue(it.value())}});
    return array;
}

QJsonObject storagePlanRecordJson(const StoragePlanRecord& record)
{
    QJsonObject json = record.plan.toJson();
    json.insert(QStringLiteral("manifest_revision"), record.manifestRevision);
    json.insert(QStringLiteral("stage"), record.stage);
    json.insert(QStringLiteral("volume_total"), StoragePlan::encodeByteValue(record.volumeTotal));
    json.insert(QStringLiteral("required_bytes"), StoragePlan::encodeByteValue(record.requiredBytes));
    json.insert(QStringLiteral("target_bytes"), StoragePlan::encodeByteValue(record.targetBytes));
    json.insert(QStringLiteral("anchor_page_id"), record.anchorPageId);
    return json;
}

std::optional<StoragePlanRecord> storagePlanRecordFromJson(const QJsonObject& json)
{
    static const QSet<QString> fits{
        QStringLiteral("fits"),    QStringLiteral("fits_after_eviction"),
        QStringLiteral("retention_reduced"), QStringLiteral("partial"),
        QStringLiteral("transition_blocked"), QStringLiteral("none_fit")};
    static const QSet<QString> transitions{QStringLiteral("direct"), QStringLiteral("staged"),
                                           QStringLiteral("blocked")};

    StoragePlanRecord record;
    record.manifestRevision = json.value(key("manifest_revision")).toString();
    if (record.manifestRevision.isEmpty())
        return std::nullopt;
    StoragePlanResult& plan = record.plan;
    plan.fit = json.value(key("fit")).toString();
    if (!fits.contains(plan.fit))
        return std::nullopt;
    plan.transition = json.value(key("transition")).toString();
    if (!transitions.contains(plan.transition))
        return std::nullopt;
    const std::optional<qint64> baseline = StoragePlan::parseByteValue(json.value(key("capacity_baseline")));
    if (!baseline)
        return std::nullopt;
    plan.capacity_baseline = *baseline;
    record.stage = json.value(key("stage")).toString();
    if (record.stage != QLatin1String("s1") && record.stage != QLatin1String("complete"))
        return std::nullopt;
    if (!json.value(key("target_page_ids")).isArray())
        return std::nullopt;

    plan.target_page_ids = lenientStrings(json.value(key("target_page_ids")));
    plan.stage1_page_ids = lenientStrings(json.value(key("stage1_page_ids")));
    plan.evict = lenientStrings(json.value(key("evict")));
    const QJsonValue decision = json.value(key("decision"));
    plan.decision = decision.isString() ? decision.toString() : QStringLiteral("compute");
    record.anchorPageId = json.value(key("anchor_page_id")).toString();
    plan.anchor_page_id = record.anchorPageId;
    plan.growth_eligible_since_ms = StoragePlan::parseByteValue(json.value(key("growth_eligible_since_ms")));
    plan.headroom_needed_bytes = StoragePlan::parseByteValue(json.value(key("headroom_needed_bytes")));
    for (const QJsonValue& element : json.value(key("excluded")).toArray()) {
        const QJsonObject exclusion = element.toObject();
        plan.excluded.append({exclusion.value(key("page_id")).toString(),
                              exclusion.value(key("reason")).toString()});
    }
    record.volumeTotal = StoragePlan::parseByteValue(json.value(key("volume_total"))).value_or(0);
    record.requiredBytes = StoragePlan::parseByteValue(json.value(key("required_bytes"))).value_or(0);
    record.targetBytes = StoragePlan::parseByteValue(json.value(key("target_bytes"))).value_or(0);
    return record;
}

const StoragePlanRecord* storagePlanFor(const std::optional<StoragePlanRecord>& pending,
                                        const std::optional<StoragePlanRecord>& active,
                                        const QString& revision)
{
    if (const StoragePlanRecord* record = matching(pending, revision))
        return record;
    return matching(active, revision);
}

bool pageInStoragePlan(const std::optional<StoragePlanRecord>& pending,
                       const std::optional<StoragePlanRecord>& active, const Manifest& manifest,
                       int index)
{
    const StoragePlanRecord* record = storagePlanFor(pending, active, manifest.manifestRevision);
    if (index < 0 || index >= manifest.pages.size() || !record)
        return true;
    const QString& id = manifest.pages.at(index).id;
    if (pending && record == &*pending && record->stage == QLatin1String("s1"))
        return record->plan.stage1_page_ids.contains(id);
    return record->plan.target_page_ids.contains(id);
}

bool storagePlanAnchorOnGlass(bool pageOnGlass, const std::optional<Manifest>& activeManifest,
                              const QList<int>& eligibleIndices, const QString& revision,
                              const StoragePlanRecord& record)
{
    if (!pageOnGlass || !activeManifest || activeManifest->manifestRevision != revision)
        return false;
    return std::any_of(eligibleIndices.cbegin(), eligibleIndices.cend(), [&](int index) {
        return index >= 0 && index < activeManifest->pages.size()
               && activeManifest->pages.at(index).id == record.anchorPageId;
    });
}

QJsonObject storagePlanPrevious(const StoragePlanRecord& record, qint64 nowMs,
                                qint64 cyclesIn24h, bool anchorOnGlass)
{
    QJsonObject previous = record.plan.toJson();
    previous.remove(QStringLiteral("decision"));
    previous.remove(QStringLiteral("headroom_needed_bytes"));
    previous.insert(QStringLiteral("now_ms"), StoragePlan::encodeByteValue(std::max<qint64>(nowMs, 0)));
    previous.insert(QStringLiteral("shrink_grow_cycles_24h"), double(std::max<qint64>(cyclesIn24h, 0)));
    previous.insert(QStringLiteral("anchor_on_glass"), anchorOnGlass);
    return previous;
}

bool mediaSizesWithinLimits(const QList<MediaItem>& queue)
{
    constexpr qint64 largestObject = (qint64(1) << 62) - (qint64(1) << 27);
    qint64 total = 0;
    for (const MediaItem& item : queue) {
        if (item.bytes < 0 || item.bytes >= largestObject
            || item.bytes > std::numeric_limits<qint64>::max() - total)
            return false;
        total += item.bytes;
    }
    return true;
}

// --- The controller's candidate preparation ------------------------------------------------

namespace {

QString packageDigest(const Primitive& primitive)
{
    return primitive.binding.value(key("package")).toObject().value(key("sha256")).toString();
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// The objects the candidate keeps in the caches (those of every page its plan admits) and those
// it checks or fetches before it may go on glass, each digest once, media before packages.
void collectAssets(PlayerController::PreparedPage& prepared, const Manifest& manifest,
                   const std::function<bool(int)>& admitted, const std::function<bool(int)>& queued)
{
    QSet<QString> queuedMedia;
    QSet<QString> queuedPackages;
    for (int i = 0; i < manifest.pages.size(); ++i) {
        if (!admitted(i))
            continue;
        const bool queue = queued(i);
        for (const Primitive& primitive : manifest.pages.at(i).primitives) {
            if (primitive.kind == PrimitiveKind::application) {
                const QString digest = packageDigest(primitive);
                prepared.plannedPackages.insert(digest);
                if (queue && !queuedPackages.contains(digest)) {
                    queuedPackages.insert(digest);
                    prepared.packageQueue.append(primitive);
                }
            } else if (isMediaKind(primitive.kind)) {
                for (const MediaItem& item : mediaItems(primitive)) {
                    prepared.plannedMedia.insert(item.sha256);
                    if (queue && !queuedMedia.contains(item.sha256)) {
                        queuedMedia.insert(item.sha256);
                        prepared.mediaQueue.append(item);
                    }
                }
            }
        }
    }
}

} // namespace

void PlayerController::preparePage(Manifest manifest, QByteArray manifestBody, int page,
                                   bool revisionChange)
{
    if (page < 0 || page >= manifest.pages.size()) {
        if (activeSlot_ < 0 && !candidate_)
            presentIdle(QStringLiteral("awaiting_content"));
        return;
    }
    // A content page takes the idle stage from an ad staged for a later run.
    yieldAdCandidate();
    finishIncomingEntry();
    playerState_.candidateFetched(manifest.manifestRevision);
    const int slot = activeSlot_ == 0 ? 1 : 0;
    heldVideoStarts_.remove(slot);

    Page& target = manifest.pages[page];
    seedVisibleMedia(target);
    applyVisibleMediaItems(target);
    const LayoutResult layout = LayoutContract::resolveLayout(target, frameSize_);
    if (!std::holds_alternative<ResolvedPage>(layout)) {
        skipFailedPage(page, QStringLiteral("layout_not_ready"), manifest, manifestBody,
                       revisionChange);
        return;
    }
    const ResolvedPage& resolved = std::get<ResolvedPage>(layout);

    PreparedPage prepared;
    prepared.pageIndex = page;
    prepared.slot = slot;
    prepared.generation = ++nextCandidateGeneration_;
    prepared.revisionChange = revisionChange;
    prepared.reason = advanceReason_;
    for (const Primitive& primitive : std::as_const(target.primitives))
        prepared.requiredPrimitives.insert(primitive.id);
    // During a retained restore a rotation checks only its own page; the restore verifies the
    // rest of the stored revision by itself. With nothing on glass the first page waits for no
    // other page's download: the rest is fetched behind it.
    prepared.othersUnchecked = activeSlot_ < 0 && !retainedRestoreActive_;
    const bool ownPageOnly = (retainedRestoreActive_ && !revisionChange) || prepared.othersUnchecked;
    // Pages known not to be local are the object repair's to fetch, in the background. Queued
    // here, their objects would fail (offline) or hold up a candidate whose own page is whole,
    // and the player could not turn to any stored page while one object is missing.
    const QSet<int> unlanded = pagesOf(manifest.manifestRevision).unlanded;
    collectAssets(
        prepared, manifest,
        [&](int i) { return pageAdmitted(manifest, i); },
        [&](int i) { return i == page || (!ownPageOnly && !unlanded.contains(i)); });
    const bool sizesValid = mediaSizesWithinLimits(prepared.mediaQueue);
    if (sizesValid) {
        prepared.pendingAssets = int(prepared.packageQueue.size() + prepared.mediaQueue.size());
        logPlayback("prepare_page",
                    {{QStringLiteral("page_id"), target.id},
                     {QStringLiteral("advance_mode"), target.advance.value(key("mode")).toString()},
                     {QStringLiteral("has_video"),
                      boolText(std::any_of(target.primitives.cbegin(), target.primitives.cend(),
                                       [](const Primitive& p) {
                                           return p.kind == PrimitiveKind::video;
                                       }))},
                     {QStringLiteral("qml_gpu_video"), boolText(gpuVideoAvailable_)},
                     {QStringLiteral("required"), QString::number(prepared.requiredPrimitives.size())},
                     {QStringLiteral("downloads_pending"), QString::number(prepared.pendingAssets)}});
    }
    const QString screenId = manifest.screenId;
    prepared.manifest = std::move(manifest);
    prepared.manifestBody = std::move(manifestBody);

    cancelCandidateWork();
    candidateCancel_ = std::make_shared<std::atomic<bool>>(false);
    candidate_ = std::move(prepared);
    candidateRetryAttempt_ = 0;
    // Failing only once the new candidate is in place names the page at fault and leaves
    // nothing of the previous candidate behind.
    if (!sizesValid) {
        failCandidate(QStringLiteral("content_storage_insufficient"));
        return;
    }
    publishSyncGlyph(false, false);

    const quint64 generation = candidate_->generation;
    const auto stillCandidate = [this, generation] {
        return candidate_ && candidate_->generation == generation;
    };
    const Page* scenePage = candidatePage();
    if (!scenePage) {
        failCandidate(QStringLiteral("layout_not_ready"));
        return;
    }
    // setScene signals the scene synchronously, which may drop or replace the candidate.
    modelForSlot(slot)->setScene(Page(*scenePage), resolved, screenId, generation, frameSize_);
    if (!stillCandidate())
        return;
    setStatus(QStringLiteral("preparing_candidate"));
    if (!stillCandidate())
        return;
    // A new revision prepared behind a page on glass has no deadline until it waits for the
    // renderer: its downloads may take long while the old page plays.
    if (candidate_->pendingAssets > 0 && (activeSlot_ < 0 || !revisionChange)
        && !candidateDeadlineTimer_.isActive())
        candidateDeadlineTimer_.start(60000);
    prepareNextAsset(generation);
    if (stillCandidate() && candidate_->othersUnchecked)
        fetchBesideFirstPage();
}

void PlayerController::prepareNextAsset(quint64 generation)
{
    if (!candidate_ || candidate_->generation != generation)
        return;
    if (!candidate_->mediaQueue.isEmpty()) {
        prepareMedia(candidate_->mediaQueue.takeFirst(), generation);
        return;
    }
    if (!candidate_->packageQueue.isEmpty()) {
        prepareApplicationPackage(candidate_->packageQueue.takeFirst(), generation);
        return;
    }
    candidateMediaPrepared(generation);
    resumeBesideRun();
}

void PlayerController::rearmActiveClock()
{
    if (activeSlot_ < 0 || !activeManifest_ || adActive())
        return;
    scheduleAdvance();
    scheduleMediaItemDeadline();
}

// The rounds of a held revision come at their own spacing: restarted at each, a dwell longer than
// the spacing would never end, and the page on glass never turn. A page whose clock stands (its
// renderer failed) is given a fresh one, so that the screen always turns again.
bool PlayerController::keepsActiveClock(const Manifest& failed, bool revisionChange) const
{
    const QString glass = glassRevision();
    const bool otherRevisionOnGlass =
        revisionChange && !glass.isEmpty() && glass != failed.manifestRevision;
    return otherRevisionOnGlass && (pageTimer_.isActive() || !playbackPolicy_.shouldAutoAdvance());
}

// While the renderer of the page on glass keeps failing, the next page is prepared in its place.
void PlayerController::recoverActiveRenderer()
{
    if (!rendererRecoveryTimer_.isActive() || !activeManifest_
        || (candidate_ && !adCandidateStaged()) || screenArchived_ || fatalVisible())
        return;
    const QList<int> eligible = eligibleNow(*activeManifest_);
    if (eligible.isEmpty()) {
        evaluateVisibility();
        return;
    }
    const QList<int> rotatable = rotatableNow(*activeManifest_);
    const int count = int(activeManifest_->pages.size());
    const int next = count > 0 ? PageRotation::next(activePageIndex_,
                                                    rotatable.isEmpty() ? eligible : rotatable,
                                                    count)
                               : 0;
    advanceReason_ = QStringLiteral("renderer_recovery");
    pendingPageIndex_ = next;
    preparePage(*activeManifest_, activeManifestBody_, next, false);
}

void PlayerController::cancelCandidateWork()
{
    candidateDeadlineTimer_.stop();
    candidateDownloadRetryTimer_.stop();
    packageRetryTimer_.stop();
    candidateCancel_->store(true, std::memory_order_release);
    contentIo_.discardCancelled();
    refuseHeldApplicationRequests();
    for (QNetworkReply* reply : std::exchange(candidateReplies_, {})) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

} // namespace talvorine
