// What plays offline and what changes in the background: the stored revision restored page by
// page from the verified caches without a download, missing objects fetched one at a time
// behind the page on glass (for a new revision or to repair the one shown), and a staged plan
// completed once its second stage has landed.

#include "controller/PlayerController.h"

#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPlayback.h"
#include "controller/PlayerPreparation.h"
#include "controller/PlayerTransfers.h"
#include "runtime/RuntimeCompat.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

// A back-off never waits longer than a quarter of an hour.
constexpr qint64 longestBackoffMs = 900000;
// An outage's end ends the waits that followed no answer at most this often.
constexpr qint64 unansweredWaitsSpacingMs = 60000;
// A verification the full I/O queue refused is submitted again after this long.
constexpr int retainedResubmitMs = 250;

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

bool raised(const std::atomic<bool>* cancel)
{
    return cancel && cancel->load(std::memory_order_acquire);
}

void raiseAndReplace(std::shared_ptr<std::atomic<bool>>& flag)
{
    flag->store(true, std::memory_order_release);
    flag = std::make_shared<std::atomic<bool>>(false);
}

void abortReplies(QSet<QNetworkReply*> replies, QObject* owner)
{
    for (QNetworkReply* reply : replies) {
        reply->disconnect(owner);
        reply->abort();
        reply->deleteLater();
    }
}

QString packageDigest(const Primitive& primitive)
{
    return primitive.binding.value(key("package")).toObject().value(key("sha256")).toString();
}

// The digests of every object a page shows.
QSet<QString> pageObjectDigests(const Page& page)
{
    QSet<QString> digests;
    for (const Primitive& primitive : page.primitives) {
        for (const PlanObject& object : planObjects(primitive))
            digests.insert(object.sha256);
    }
    return digests;
}

// The indices of pages that are valid and ready; stops early once cancel is raised.
QSet<int> readyPages(const Manifest& manifest, const QSet<int>& indices,
                     const ContentCache& contentCache, const ApplicationPackageCache& packageCache,
                     const std::atomic<bool>* cancel)
{
    QSet<int> ready;
    for (const int index : indices) {
        if (raised(cancel))
            return {};
        if (index >= 0 && index < manifest.pages.size()
            && retainedPageReady(manifest.pages.at(index), contentCache, packageCache, cancel))
            ready.insert(index);
    }
    return ready;
}

} // namespace

ApplicationPackageDescriptor applicationPackageDescriptor(const Primitive& primitive)
{
    const QJsonObject package = primitive.binding.value(key("package")).toObject();
    ApplicationPackageDescriptor descriptor;
    // The release belongs to the application, not to its package object; the cache takes no
    // descriptor without one.
    descriptor.releaseId = primitive.binding.value(key("releaseId")).toString();
    descriptor.sha256 = package.value(key("sha256")).toString();
    descriptor.compressedBytes = package.value(key("bytes")).toInteger(0);
    descriptor.entrypoint = package.value(key("entrypoint")).toString();
    return descriptor;
}

bool retainedPageReady(const Page& page, const ContentCache& contentCache,
                       const ApplicationPackageCache& packageCache,
                       const std::atomic<bool>* cancel)
{
    for (const Primitive& primitive : page.primitives) {
        if (raised(cancel))
            return false;
        if (isMediaKind(primitive.kind)) {
            const QList<MediaItem> items = mediaItems(primitive);
            if (items.isEmpty() && primitive.kind == PrimitiveKind::stream)
                return false;
            for (const MediaItem& item : items) {
                if (!contentCache.readyPath(item.sha256, item.bytes, cancel))
                    return false;
            }
        } else if (primitive.kind == PrimitiveKind::application) {
            if (!packageCache.readyEntrypoint(applicationPackageDescriptor(primitive), false,
                                              cancel))
                return false;
        }
    }
    return !raised(cancel);
}

// --- Retained restore ------------------------------------------------------------------------

void PlayerController::beginRetainedRestore(const Manifest& manifest, const QByteArray& body)
{
    cancelRetainedInventory();
    retainedRestoreActive_ = true;
    retainedManifest_ = manifest;
    retainedManifestBody_ = body;
    // Every page the schedule shows is looked at: one held whole plays whatever the stored plan
    // says of room.
    retainedPages_ = scheduledNow(manifest);
    retainedPosition_ = 0;
    retainedPresented_ = false;
    noteCachedPages(manifest.manifestRevision, {});
    verifyNextRetainedPage();
}

void PlayerController::verifyNextRetainedPage()
{
    if (screenArchived_ || !retainedManifest_)
        return;
    while (retainedPosition_ < retainedPages_.size()) {
        const int index = retainedPages_.at(retainedPosition_++);
        if (index < 0 || index >= retainedManifest_->pages.size()) {
            recordFor(retainedManifest_->manifestRevision).unlanded.insert(index);
            continue;
        }
        const quint64 generation = retainedGeneration_;
        const std::shared_ptr<std::atomic<bool>> cancel = retainedCancel_;
        const std::shared_ptr<ContentCache> contentCache = contentCache_;
        const std::shared_ptr<ApplicationPackageCache> packageCache = applicationCache_;
        const Page page = retainedManifest_->pages.at(index);
        const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
            const bool ready = !raised(cancel.get())
                               && retainedPageReady(page, *contentCache, *packageCache,
                                                    cancel.get());
            return [this, generation, index, ready] {
                retainedPageVerified(generation, index, ready);
            };
        });
        if (queued)
            return;
        // A full queue drains: the same page is submitted again shortly, so the restore
        // always ends and every page is either admitted or left for repair.
        --retainedPosition_;
        QTimer::singleShot(retainedResubmitMs, this, [this, generation] {
            if (generation == retainedGeneration_)
                verifyNextRetainedPage();
        });
        return;
    }
    if (retainedPresented_ || activeSlot_ >= 0 || candidate_)
        repairRetainedPages();
    else
        presentIdle(QStringLiteral("awaiting_content"));
    completeStagedPlanIfReady();
}

void PlayerController::retainedPageVerified(quint64 generation, int index, bool ready)
{
    if (generation != retainedGeneration_ || screenArchived_ || !retainedManifest_)
        return;
    if (!ready) {
        // Only what the plan admits is fetched; the rest waits for room.
        if (pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, *retainedManifest_, index))
            recordFor(retainedManifest_->manifestRevision).unlanded.insert(index);
        verifyNextRetainedPage();
        return;
    }
    if (cachedRevision_ == retainedManifest_->manifestRevision)
        cachedPages_.insert(index);
    if (retainedPresented_ || activeSlot_ >= 0 || candidate_) {
        verifyNextRetainedPage();
        return;
    }
    // The first complete page goes on glass; the rest is verified once its media are bound.
    pendingStepDirection_ = 0;
    advanceReason_ = QStringLiteral("assignment");
    retainedAwaitingCandidate_ = true;
    retainedPresented_ = true;
    pendingPageIndex_ = index;
    preparePage(*retainedManifest_, retainedManifestBody_, index, false);
    if (generation != retainedGeneration_ || candidate_)
        return;
    retainedAwaitingCandidate_ = false;
    verifyNextRetainedPage();
}

void PlayerController::repairRetainedPages()
{
    if (activeSlot_ < 0 || !activeManifest_ || !transport_.hasRuntimeSession()
        || glassPages_.unlanded.isEmpty())
        return;
    // The revision in hand keeps no page of the one on glass waiting: its fetch, asleep between
    // held rounds, steps aside for the run and goes on after it. One that is transferring, or a
    // run already under way, is left to end.
    std::optional<ParkedFetch> parked;
    if (replacement_) {
        if (!replacement_->activateWhenDrained || replacement_->drained || replacement_->busy
            || !replacementReplies_.isEmpty() || !replacementPumpTimer_.isActive())
            return;
        parked = ParkedFetch{*std::exchange(replacement_, std::nullopt),
                             clock_->monotonicMs() + replacementPumpTimer_.remainingTime()};
        replacementPumpTimer_.stop();
    }
    beginReplacement(*activeManifest_, activeManifestBody_, false, false, 0);
    parkedFetch_ = std::move(parked);
    // A run that ended inside its own start (nothing to fetch and the I/O queue full) is not
    // there to give the held fetch back when it ends.
    if (!replacement_)
        endObjectRepair();
}

// A new screen would otherwise fetch nothing but its first page's objects until that page is on
// glass or has failed, however long its download takes or waits. The rest of the revision comes
// beside it, one object at a time, smallest first, as the repair run behind a first page on glass
// brings it, giving way to that page's own downloads (besideRunGivesWay), and it goes on as that
// run once a page is on glass. A first page prepared after one that failed takes its own objects
// back from the run, which gives back those of the one before. A held revision's fetch keeps its
// place.
void PlayerController::fetchBesideFirstPage()
{
    const Page* page = candidatePage();
    if (!page || !transport_.hasRuntimeSession()
        || (replacement_ && replacement_->activateWhenDrained))
        return;
    const QString& revision = candidate_->manifest.manifestRevision;
    if (replacement_ && replacement_->manifest.manifestRevision == revision) {
        ReplacementFetch& fetch = *replacement_;
        const QString front = !fetch.media.isEmpty() ? fetch.media.constFirst().sha256
                              : !fetch.packages.isEmpty()
                                  ? packageDigest(fetch.packages.constFirst())
                                  : QString();
        // Unless it is fetching an object of this page: that transfer gives way to the candidate's.
        const bool fetching = fetch.busy || !replacementReplies_.isEmpty();
        if (!fetching || !pageObjectDigests(*page).contains(front)) {
            // Behind whatever it is fetching, so that its first object stays the one in hand.
            fetch.media += std::exchange(fetch.setAsideMedia, {});
            fetch.packages += std::exchange(fetch.setAsidePackages, {});
            fetch.drained = false;
            pumpReplacement();
            return;
        }
    }
    cancelReplacement();
    beginReplacement(candidate_->manifest, candidate_->manifestBody, false, false, 0);
}

bool PlayerController::firstPageFetching() const
{
    return activeSlot_ < 0 && candidate_ && candidate_->othersUnchecked
        && candidate_->pendingAssets > 0 && !candidateDownloadRetryTimer_.isActive()
        && !packageRetryTimer_.isActive();
}

// On a slow link a transfer beside the first page's own would share it, and the first page would
// come later: the run starts none from the page's first object to its last (the page takes up
// the next at once). It goes on while one of them waits to be asked again, and once the page has
// all of them, whether or not it ever becomes ready.
bool PlayerController::besideRunGivesWay()
{
    if (!replacement_ || replacement_->activateWhenDrained || !firstPageFetching())
        return false;
    replacement_->gaveWay = true;
    return true;
}

void PlayerController::resumeBesideRun()
{
    if (!replacement_ || !replacement_->gaveWay || firstPageFetching())
        return;
    replacement_->gaveWay = false;
    pumpReplacement();
}

void PlayerController::landUncheckedPages()
{
    if (activeSlot_ < 0 || !activeManifest_)
        return;
    const QString revision = activeManifest_->manifestRevision;
    // Until found whole none of them is turned to: a turn to one would wait on its download.
    QSet<int> unchecked;
    for (int i = 0; i < activeManifest_->pages.size(); ++i) {
        if (i != activePageIndex_ && !glassPages_.unlanded.contains(i)
            && pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, *activeManifest_, i))
            unchecked.insert(i);
    }
    glassPages_.unlanded |= unchecked;
    const quint64 generation = retainedGeneration_;
    const std::shared_ptr<std::atomic<bool>> cancel = retainedCancel_;
    const std::shared_ptr<ContentCache> contentCache = contentCache_;
    const std::shared_ptr<ApplicationPackageCache> packageCache = applicationCache_;
    const Manifest manifest = *activeManifest_;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const QSet<int> ready =
            readyPages(manifest, unchecked, *contentCache, *packageCache, cancel.get());
        return [this, generation, revision, ready] {
            if (generation != retainedGeneration_ || glassPages_.revision != revision)
                return;
            glassPages_.unlanded -= ready;
            repairRetainedPages();
        };
    });
    if (!queued)
        repairRetainedPages();
}

const PlayerController::PageRecord& PlayerController::pagesOf(const QString& revision) const
{
    static const PageRecord none;
    if (!revision.isEmpty() && glassPages_.revision == revision)
        return glassPages_;
    return !revision.isEmpty() && handPages_.revision == revision ? handPages_ : none;
}

// What is written of a revision neither side holds is of one being taken in.
PlayerController::PageRecord& PlayerController::recordFor(const QString& revision)
{
    if (!revision.isEmpty() && glassPages_.revision == revision)
        return glassPages_;
    if (handPages_.revision != revision)
        handPages_ = PageRecord(revision);
    return handPages_;
}

bool PlayerController::outForOwnFault(const PageRecord& pages, int index) const
{
    const auto failure = pages.ownFailures.constFind(index);
    if (failure == pages.ownFailures.cend() || !failure->atMs)
        return false;
    return &pages != &glassPages_
        || clock_->monotonicMs() - *failure->atMs < ownFailureWaitMs(failure->count);
}

void PlayerController::noteOwnFailure(PageRecord& pages, int index)
{
    PageRecord::OwnFailure& failure = pages.ownFailures[index];
    ++failure.count;
    failure.atMs = clock_->monotonicMs();
}

// Only a page's first failure since it last worked is taken for the outage's: one that had
// failed before keeps its growing wait, so that a page that never works costs no more tries with
// outages than without. Earlier waits stand too. Nothing is prepared at once; each page comes at
// its turn.
void PlayerController::endOutageFailureWaits(qint64 lostForMs)
{
    const qint64 began = clock_->monotonicMs() - lostForMs;
    for (PageRecord::OwnFailure& failure : glassPages_.ownFailures) {
        if (failure.count == 1 && failure.atMs && *failure.atMs >= began)
            failure.atMs.reset();
    }
}

bool PlayerController::withheldPagesUnlanded() const
{
    return activeSlot_ >= 0 && activeManifest_
        && glassPages_.withheld.intersects(glassPages_.unlanded);
}

// A page turn arms no run while one waits or runs, and never makes the wait longer.
void PlayerController::armRepairRun(bool now)
{
    const bool running = replacement_ && !replacement_->activateWhenDrained;
    if (!withheldPagesUnlanded() || (!now && (repairRunTimer_.isActive() || running)))
        return;
    qint64 waitMs = now ? 0 : repairRunDelayMs(repairRunAttempt_);
    // A run while every object it looks for still waits would ask for none of them; it wakes
    // when the first of those waits ends, so each object keeps its own cadence. The runs' own
    // back-off is for objects with no wait to go by.
    if (const qint64 end = withheldObjectsWaitEndMs(); end > 0)
        waitMs = end - clock_->monotonicMs();
    repairRunDueMs_ = clock_->monotonicMs() + waitMs;
    repairRunTimer_.start(int(waitMs));
}

void PlayerController::armRepairRunAfter(bool landed)
{
    if (landed)
        repairRunAttempt_ = 0;
    armRepairRun(false);
    if (!landed)
        ++repairRunAttempt_;
}

// A run that cannot start now (another fetch runs, or no session) is tried again after a longer
// wait, like a run that brought nothing back. The timer may fire early; only a wait that has
// really run out starts a run.
void PlayerController::repairRunFired()
{
    if (const qint64 remaining = repairRunDueMs_ - clock_->monotonicMs(); remaining > 0) {
        repairRunTimer_.start(int(remaining));
        return;
    }
    if (!withheldPagesUnlanded())
        return;
    // Objects left alone for longer since the run was armed are waited for; no run is counted.
    if (const qint64 end = withheldObjectsWaitEndMs(); end > 0) {
        repairRunDueMs_ = end;
        repairRunTimer_.start(int(end - clock_->monotonicMs()));
        return;
    }
    repairRetainedPages();
    if (!replacement_ || replacement_->activateWhenDrained)
        armRepairRunAfter(false);
}

// Passed-over pages that have come back start the runs' waits over.
void PlayerController::noteAdmitted(const QSet<int>& admitted)
{
    if (admitted.intersects(glassPages_.withheld)) {
        glassPages_.withheld -= admitted;
        repairRunAttempt_ = 0;
    }
}

void PlayerController::cancelRetainedInventory()
{
    ++retainedGeneration_;
    retainedAwaitingCandidate_ = false;
    retainedPages_.clear();
    retainedPosition_ = 0;
    raiseAndReplace(retainedCancel_);
    contentIo_.discardCancelled();
}

// --- Background replacement and object repair ----------------------------------------------

void PlayerController::beginReplacement(Manifest manifest, QByteArray manifestBody,
                                        bool revisionChange, bool activateWhenDrained,
                                        int attempt, qint64 waitMs)
{
    // A repair run of the revision on glass gives way to a new revision's fetch, and comes again
    // after its wait: what it looked for is still the glass's to fetch.
    const bool repairDropped =
        activateWhenDrained && replacement_ && !replacement_->activateWhenDrained;
    cancelReplacement();
    if (repairDropped)
        armRepairRun(false);
    ReplacementFetch fetch;
    for (int i = 0; i < manifest.pages.size(); ++i) {
        if (!pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, manifest, i))
            continue;
        for (const Primitive& primitive : manifest.pages.at(i).primitives) {
            if (isMediaKind(primitive.kind)) {
                for (const MediaItem& item : mediaItems(primitive)) {
                    if (!fetch.mediaKeys.contains(item.sha256))
                        fetch.media.append(item);
                    fetch.mediaKeys.insert(item.sha256);
                }
            } else if (primitive.kind == PrimitiveKind::application) {
                const QString digest = packageDigest(primitive);
                if (!fetch.packageKeys.contains(digest))
                    fetch.packages.append(primitive);
                fetch.packageKeys.insert(digest);
            }
        }
    }
    // A repair lands the smallest objects first: each page it completes plays at once, and one
    // large download holds up none of the small ones (ties keep the page order).
    if (!activateWhenDrained)
        std::stable_sort(fetch.media.begin(), fetch.media.end(),
                         [](const MediaItem& a, const MediaItem& b) { return a.bytes < b.bytes; });
    fetch.manifest = std::move(manifest);
    fetch.manifestBody = std::move(manifestBody);
    fetch.revisionChange = revisionChange;
    fetch.activateWhenDrained = activateWhenDrained;
    fetch.attempt = std::max(attempt, 0);
    // A new revision behind glass asks once for each object it lacks, as a held one does: an
    // object that does not answer keeps none behind it waiting.
    fetch.untilLanded = revisionChange && activateWhenDrained && waitMs <= 0 && activeSlot_ >= 0;
    // It never sleeps on an object's wait: the objects still waiting are left out of the pass,
    // and one shared with an earlier revision keeps none of the new ones from being asked for.
    fetch.started = fetch.untilLanded;
    // A repair run, or a held revision coming in again: the one fetch that waits before it starts.
    fetch.onePass = !activateWhenDrained || waitMs > 0 || fetch.untilLanded;
    fetch.generation = ++replacementGeneration_ | (quint64(1) << 63);
    dropRefusedFetches(fetch);
    const bool fetching = !fetch.media.isEmpty() || !fetch.packages.isEmpty();
    replacement_ = std::move(fetch);
    replacementCancel_ = std::make_shared<std::atomic<bool>>(false);
    // A held revision waiting to come in again keeps the status its hold gave.
    if (revisionChange && activateWhenDrained && fetching && waitMs <= 0)
        setStatus(QStringLiteral("preparing_candidate"));
    publishSyncGlyph(false, false);
    // A held revision comes in again when the first wait of an object it lacks ends; the
    // rounds' own back-off is for objects with no wait to go by.
    if (const qint64 end = waitMs > 0 ? lackedObjectsWaitEndMs(*replacement_) : 0; end > 0)
        waitMs = end - clock_->monotonicMs();
    if (waitMs > 0)
        replacementPumpTimer_.start(int(std::min(waitMs, longestBackoffMs)));
    else
        pumpReplacement();
}

void PlayerController::pumpReplacement()
{
    if (!replacement_ || replacement_->drained || replacement_->busy
        || replacementPumpTimer_.isActive() || !replacementReplies_.isEmpty())
        return;
    ReplacementFetch& fetch = *replacement_;
    // A candidate may have given up an object meanwhile.
    dropRefusedFetches(fetch);
    const qint64 now = clock_->monotonicMs();
    // A held revision woken while every object it lacks still waits would ask for none and fail
    // its page again: it sleeps on until the first of those waits is over.
    if (fetch.onePass && fetch.activateWhenDrained && !fetch.started) {
        if (const qint64 end = lackedObjectsWaitEndMs(fetch); end > 0) {
            replacementPumpTimer_.start(int(std::min(end - now, longestBackoffMs)));
            return;
        }
        fetch.started = true;
    }
    const auto waiting = [&](const MediaItem& item) {
        return now < unreachableUntil_.value(item.sha256, 0);
    };
    // An object still waiting is left to a later run: it keeps no other from being asked for.
    // Its pages wait for it as pages passed over do, so that a repair run comes for it: one that
    // a run beside a first page left before anything was on glass has no such mark yet.
    if (fetch.onePass) {
        QSet<QString> left;
        for (const MediaItem& item : std::as_const(fetch.media)) {
            if (waiting(item) && !fetch.activateWhenDrained)
                left.insert(item.sha256);
        }
        fetch.media.removeIf(waiting);
        for (const QString& digest : std::as_const(left))
            waitAsPassedOver(digest, QStringLiteral("content_download_failed"));
    }
    // The objects of the page a candidate prepares are its own to fetch while it does: two
    // transfers of one object would write into one partial file. What it lands is found at the
    // run's end.
    if (const Page* page = candidatePage(); page && !fetch.activateWhenDrained) {
        const QSet<QString> own = pageObjectDigests(*page);
        const auto media = std::stable_partition(
            fetch.media.begin(), fetch.media.end(),
            [&](const MediaItem& m) { return !own.contains(m.sha256); });
        fetch.setAsideMedia.append(QList<MediaItem>(media, fetch.media.end()));
        fetch.media.erase(media, fetch.media.end());
        const auto packages = std::stable_partition(
            fetch.packages.begin(), fetch.packages.end(),
            [&](const Primitive& p) { return !own.contains(packageDigest(p)); });
        fetch.setAsidePackages.append(QList<Primitive>(packages, fetch.packages.end()));
        fetch.packages.erase(packages, fetch.packages.end());
    }
    const quint64 generation = fetch.generation;
    const std::shared_ptr<std::atomic<bool>> cancel = replacementCancel_;
    bool queued = false;
    if (!fetch.media.isEmpty()) {
        const MediaItem item = fetch.media.constFirst();
        if (waiting(item)) {
            const qint64 until = unreachableUntil_.value(item.sha256);
            replacementPumpTimer_.start(int(std::min(until - now, longestBackoffMs)));
            return;
        }
        fetch.busy = true;
        const std::shared_ptr<ContentCache> cache = contentCache_;
        queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
            const bool ready = cache->readyPath(item.sha256, item.bytes, cancel.get()).has_value();
            return [this, generation, item, ready] {
                if (!replacementOwns(generation))
                    return;
                replacement_->busy = false;
                if (!ready) {
                    if (!besideRunGivesWay())
                        downloadReplacementMedia(item, generation);
                    return;
                }
                unreachableUntil_.remove(item.sha256);
                unreachableAttempts_.remove(item.sha256);
                replacement_->local.insert(item.sha256);
                replacement_->media.removeIf(
                    [&](const MediaItem& m) { return m.sha256 == item.sha256; });
                pumpReplacement();
            };
        });
    } else if (!fetch.packages.isEmpty()) {
        const Primitive primitive = fetch.packages.constFirst();
        const ApplicationPackageDescriptor descriptor = applicationPackageDescriptor(primitive);
        fetch.busy = true;
        const std::shared_ptr<ApplicationPackageCache> cache = applicationCache_;
        queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
            const bool ready = cache->readyEntrypoint(descriptor, false, cancel.get()).has_value();
            return [this, generation, primitive, digest = descriptor.sha256, ready] {
                if (!replacementOwns(generation))
                    return;
                replacement_->busy = false;
                if (!ready) {
                    if (!besideRunGivesWay())
                        downloadApplicationPackage(primitive, generation, 0, false);
                    return;
                }
                replacement_->local.insert(digest);
                replacement_->packages.removeIf(
                    [&](const Primitive& p) { return packageDigest(p) == digest; });
                pumpReplacement();
            };
        });
    } else {
        // A first pass that landed nothing and found no page whole prepares none (an origin that
        // is down would fail every one): it waits and passes again. An origin that refused an
        // object is up: the revision is prepared, so that a page it withholds is passed over, or
        // a staged plan's anchor held, while its other pages come. A gateway's 5xx tells nothing
        // of the origin behind it.
        const QSet<QString> lacked = fetchLacks(fetch);
        if (fetch.untilLanded && !fetch.landed && !lacked.isEmpty() && !wholePageOf(fetch)
            && !lacked.intersects(refusedHashes_)) {
            rememberFetchLocal(fetch);
            Manifest manifest = std::move(fetch.manifest);
            QByteArray body = std::move(fetch.manifestBody);
            const int attempt = fetch.attempt + 1;
            beginReplacement(std::move(manifest), std::move(body), true, true, attempt,
                             nextDownloadBackoffMs());
            replacement_->untilLanded = true;
            return;
        }
        fetch.drained = true;
        fetch.attempt = 0;
        tryActivateReplacement();
        return;
    }
    // A full queue counts as an unreachable origin: the fetch backs off and tries again.
    if (!queued && replacementOwns(generation)) {
        replacement_->busy = false;
        noteReplacementUnreachable();
    }
}

void PlayerController::tryActivateReplacement()
{
    // A candidate went away: a run beside it that gave way to its download goes on.
    resumeBesideRun();
    if (!replacement_ || !replacement_->drained || adActive())
        return;
    // A revision that is ready takes the idle stage from an ad staged for a later run.
    if (candidate_ && !(adCandidateStaged() && replacement_->activateWhenDrained))
        return;
    if (!replacement_->activateWhenDrained) {
        finishObjectRepair();
        return;
    }
    ReplacementFetch fetch = std::move(*replacement_);
    replacement_.reset();
    replacementPumpTimer_.stop();
    replacementIdleTimer_.stop();
    rememberFetchLocal(fetch);
    postRecoverySweep();
    const QList<int> order = preparationOrder(fetch);
    if (!order.isEmpty()) {
        pendingStepDirection_ = 0;
        advanceReason_ = QStringLiteral("assignment");
        pendingPageIndex_ = order.constFirst();
        preparePage(std::move(fetch.manifest), std::move(fetch.manifestBody), pendingPageIndex_,
                    fetch.revisionChange);
    } else if (fetch.revisionChange && !eligibleNow(fetch.manifest).isEmpty()) {
        // Every page it schedules failed before and none has come whole. One that may still come
        // is looked for again: left idle, nothing would look for what it lacks. A revision whose
        // pages failed for faults of their own, or lack what is given up, waits for the next.
        if (mayComeWhole(fetch.manifest, fetch.local))
            holdRevisionForRetry(std::move(fetch.manifest), std::move(fetch.manifestBody));
        else if (activeSlot_ >= 0)
            setStatus(playingStatus());
    } else if (activeSlot_ < 0) {
        presentIdle(QStringLiteral("awaiting_content"));
    }
}

// Pages out for a fault of their own stay out. A page all of whose objects the fetch found or
// landed comes first, whatever else kept it out before (it lacked an object): it is taken back,
// so that a page failing after it turns to it. Pages still lacking an object come after.
QList<int> PlayerController::preparationOrder(const ReplacementFetch& fetch)
{
    const Manifest& manifest = fetch.manifest;
    const QString& revision = manifest.manifestRevision;
    PageRecord& pages = recordFor(revision);
    QList<int> whole, lacking;
    for (const int index : eligibleNow(manifest)) {
        if (outForOwnFault(pages, index))
            continue;
        const QSet<QString> objects = pageObjectDigests(manifest.pages.at(index));
        if (std::all_of(objects.cbegin(), objects.cend(),
                        [&](const QString& digest) { return fetch.local.contains(digest); }))
            whole.append(index);
        else if (!pages.unlanded.contains(index) || pages.withheld.contains(index))
            lacking.append(index);
    }
    pages.unlanded -= QSet<int>(whole.cbegin(), whole.cend());
    pages.withheld -= QSet<int>(whole.cbegin(), whole.cend());
    // A page whose object went unanswered would hold its candidate up to the deadline at every
    // turn while whole pages wait: once a whole page goes first, it is passed over as withheld
    // and left to repair runs. One whose object was answered wrongly fails fast on its own turn.
    const qint64 now = clock_->monotonicMs();
    const auto unanswered = [&](int index) {
        const QSet<QString> lacked = pageObjectDigests(manifest.pages.at(index)) - fetch.local;
        return !lacked.isEmpty() && std::all_of(lacked.cbegin(), lacked.cend(), [&](const QString& d) {
            return fetchRefusal(d).isEmpty() && !retriedOnceHashes_.contains(d)
                && unreachableUntil_.value(d, 0) > now;
        });
    };
    if (!whole.isEmpty() && std::any_of(lacking.cbegin(), lacking.cend(), unanswered)) {
        for (const int index : std::as_const(lacking)) {
            if (unanswered(index)) {
                pages.unlanded.insert(index);
                pages.withheld.insert(index);
            }
        }
    }
    return whole + lacking;
}

// Nothing takes up a revision in hand none of whose pages may come: each failed on its own, or
// lacks what is given up. A fault of a page's own may pass (a decoder busy for a moment, an
// application slow to say it is ready), so each answer naming the revision tries it once more,
// its page record emptied and its object facts kept. A page lacking an object given up stays out:
// it could not come whole. What plays is left as it is.
void PlayerController::retakeIdleRevision(const QString& named)
{
    if (activeSlot_ < 0 || !pendingRevision_ || pendingRevision_->manifest.manifestRevision != named
        || glassRevision() == named || replacement_ || roomWait_
        || storagePlanRunning_ || (candidate_ && candidate_->revisionChange))
        return;
    const Manifest& manifest = pendingRevision_->manifest;
    const QSet<QString> local = fetchLocalRevision_ == named ? fetchLocal_ : QSet<QString>();
    if (mayComeWhole(manifest, local))
        return;
    const QSet<QString> givenUp = givenUpDigests();
    PageRecord taken(named);
    for (const int index : eligibleNow(manifest)) {
        if (!pageMayCome(pageObjectDigests(manifest.pages.at(index)), false, local, givenUp))
            taken.unlanded.insert(index);
    }
    handPages_ = std::move(taken);
    beginReplacement(manifest, pendingRevision_->manifestBody, true, true, 0);
}

bool PlayerController::mayComeWhole(const Manifest& manifest, const QSet<QString>& local) const
{
    const QSet<QString> givenUp = givenUpDigests();
    const PageRecord& pages = pagesOf(manifest.manifestRevision);
    const QList<int> eligible = eligibleNow(manifest);
    return std::any_of(eligible.cbegin(), eligible.cend(), [&](int index) {
        return pageMayCome(pageObjectDigests(manifest.pages.at(index)),
                           outForOwnFault(pages, index), local, givenUp);
    });
}

bool PlayerController::wholePageOf(const ReplacementFetch& fetch) const
{
    const QList<int> eligible = eligibleNow(fetch.manifest);
    return std::any_of(eligible.cbegin(), eligible.cend(), [&](int index) {
        const QSet<QString> objects = pageObjectDigests(fetch.manifest.pages.at(index));
        return std::all_of(objects.cbegin(), objects.cend(),
                           [&](const QString& digest) { return fetch.local.contains(digest); });
    });
}

QSet<QString> PlayerController::fetchLacks(const ReplacementFetch& fetch) const
{
    QSet<QString> lacked = (fetch.mediaKeys | fetch.packageKeys) - fetch.local;
    lacked.removeIf([this](const QString& digest) { return !fetchRefusal(digest).isEmpty(); });
    return lacked;
}

// The sweep reads what the last fetch of a revision found whole.
void PlayerController::rememberFetchLocal(const ReplacementFetch& fetch)
{
    if (!fetch.activateWhenDrained)
        return;
    const QString& revision = fetch.manifest.manifestRevision;
    if (fetchLocalRevision_ != revision) {
        fetchLocal_.clear();
        fetchLocalRevision_ = revision;
    }
    fetchLocal_ |= fetch.local;
}

void PlayerController::finishObjectRepair()
{
    if (!replacement_)
        return;
    if (activeSlot_ < 0 || !activeManifest_) {
        endObjectRepair();
        return;
    }
    // The pages are checked once; a second call while that runs (a candidate went away) waits.
    if (std::exchange(replacement_->busy, true))
        return;
    const quint64 generation = replacement_->generation;
    const std::shared_ptr<std::atomic<bool>> cancel = replacementCancel_;
    const std::shared_ptr<ContentCache> contentCache = contentCache_;
    const std::shared_ptr<ApplicationPackageCache> packageCache = applicationCache_;
    const Manifest manifest = *activeManifest_;
    const QSet<int> checked = glassPages_.unlanded;
    const bool landed = replacement_->landed;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const QSet<int> ready =
            readyPages(manifest, checked, *contentCache, *packageCache, cancel.get());
        // Once cancelled nothing counts as checked: every index stays unlanded.
        const QSet<int> stillMissing = raised(cancel.get()) ? checked : checked - ready;
        return [this, generation, revision = manifest.manifestRevision, checked, stillMissing,
                landed] {
            if (!replacementOwns(generation))
                return;
            // Pages marked unlanded meanwhile (a page failing on glass) stay so.
            if (glassPages_.revision == revision) {
                glassPages_.unlanded = (glassPages_.unlanded - checked) | stillMissing;
                noteAdmitted(checked - stillMissing);
                const QHash<QString, QString> left =
                    std::exchange(replacement_->leftBeforeGlass, {});
                for (auto it = left.cbegin(); it != left.cend(); ++it)
                    waitAsPassedOver(it.key(), it.value());
            }
            completeStagedPlanIfReady();
            endObjectRepair();
            armRepairRunAfter(landed);
        };
    });
    if (!queued)
        endObjectRepair();
}

void PlayerController::endObjectRepair()
{
    std::optional<ParkedFetch> parked = std::exchange(parkedFetch_, std::nullopt);
    cancelReplacement();
    if (!parked)
        return;
    replacement_ = std::move(parked->fetch);
    replacementPumpTimer_.start(
        int(std::clamp<qint64>(parked->dueMs - clock_->monotonicMs(), 0, longestBackoffMs)));
    publishSyncGlyph(false, false);
}

const PlayerController::ReplacementFetch* PlayerController::revisionFetch() const
{
    if (replacement_ && replacement_->activateWhenDrained)
        return &*replacement_;
    return parkedFetch_ ? &parkedFetch_->fetch : nullptr;
}

void PlayerController::noteReplacementUnreachable(qint64 serverDelayMs, bool unanswered)
{
    if (!replacement_ || replacementPumpTimer_.isActive())
        return;
    const qint64 delay = std::clamp<qint64>(
        RuntimeCompat::retryBackoffMs(replacement_->attempt, serverDelayMs), 1, longestBackoffMs);
    ++replacement_->attempt;
    if (!replacement_->media.isEmpty())
        beginObjectWait(replacement_->media.constFirst().sha256, clock_->monotonicMs() + delay,
                        unanswered);
    replacementIdleTimer_.stop();
    replacementPumpTimer_.start(int(delay));
}

// The pages of the revision on glass still lacking an object a repair left for a later run wait
// for it as pages passed over do: a repair run comes for it when its own wait is over. One given
// up is waited for no more. A run beside a first page leaves objects before its revision is on
// glass: their pages are marked when it ends on glass.
void PlayerController::waitAsPassedOver(const QString& sha256, const QString& code)
{
    if (!replacement_ || replacement_->activateWhenDrained)
        return;
    if (!activeManifest_ || glassRevision() != replacement_->manifest.manifestRevision) {
        replacement_->leftBeforeGlass.insert(sha256, code);
        return;
    }
    const bool givenUp = !fetchRefusal(sha256).isEmpty();
    for (const int index : std::as_const(glassPages_.unlanded)) {
        if (index < 0 || index >= activeManifest_->pages.size())
            continue;
        const QList<Primitive>& primitives = activeManifest_->pages.at(index).primitives;
        if (std::none_of(primitives.cbegin(), primitives.cend(),
                         [&](const Primitive& p) { return primitiveUses(p, sha256); }))
            continue;
        if (givenUp) {
            glassPages_.withheld.remove(index);
            continue;
        }
        // An origin's error is reported once in the revision, as for a page passed over.
        if (!glassPages_.withheld.contains(index) && erroredHashes_.contains(sha256))
            reportPageFailed(*activeManifest_, index, code);
        glassPages_.withheld.insert(index);
    }
}

void PlayerController::leaveForLaterRun(const QString& sha256, qint64 serverDelayMs,
                                        bool unanswered)
{
    waitAsPassedOver(sha256, QStringLiteral("content_download_failed"));
    int& attempt = unreachableAttempts_[sha256];
    const qint64 delay = std::clamp<qint64>(
        RuntimeCompat::retryBackoffMs(attempt++, serverDelayMs), 1, longestBackoffMs);
    beginObjectWait(sha256, clock_->monotonicMs() + delay, unanswered);
    dropReplacementMedia(sha256);
}

void PlayerController::beginObjectWait(const QString& sha256, qint64 untilMs, bool unanswered)
{
    unreachableUntil_.insert(sha256, untilMs);
    if (unanswered)
        unansweredWaits_.insert(sha256);
    else
        unansweredWaits_.remove(sha256);
}

// An object that got no answer while the service could not be reached is asked for at the next
// pass, not at the end of a wait the outage drew out. A wait that followed the origin's own
// answer (a status, a Retry-After) stays: the outage's end says nothing of it. Once a minute at
// most, so that a network coming and going makes no storm of requests. The object keeps its
// back-off attempt: asked once, and still unanswered, it waits as long as before the outage
// ended, not half a second, as it would each time a flapping network came back. An end that
// comes sooner is put off to the minute's end, not dropped: with the service steady after it, no
// other return would come to end them.
void PlayerController::endUnansweredWaits()
{
    const qint64 now = clock_->monotonicMs();
    if (unansweredWaitsEndedMs_ && now - *unansweredWaitsEndedMs_ < unansweredWaitsSpacingMs) {
        if (!unansweredWaitsTimer_.isActive())
            unansweredWaitsTimer_.start(
                int(*unansweredWaitsEndedMs_ + unansweredWaitsSpacingMs - now));
        return;
    }
    bool ended = false;
    for (const QString& digest : std::exchange(unansweredWaits_, {})) {
        // Kept, but over: the object counts as missing with nothing left to wait for.
        if (const auto until = unreachableUntil_.find(digest);
            until != unreachableUntil_.end() && *until > now) {
            *until = now;
            ended = true;
        }
    }
    if (!ended)
        return;
    unansweredWaitsEndedMs_ = now;
    // A held fetch or a repair run asleep on such a wait wakes for it.
    if (replacementPumpTimer_.isActive())
        replacementPumpTimer_.start(0);
    if (parkedFetch_)
        parkedFetch_->dueMs = std::min(parkedFetch_->dueMs, now);
    if (repairRunTimer_.isActive()) {
        repairRunDueMs_ = now;
        repairRunTimer_.start(0);
    }
}

// Unless the service has been lost again meanwhile: its next return ends them.
void PlayerController::unansweredWaitsPutOffEnded()
{
    if (!transport_.serviceUnreachable())
        endUnansweredWaits();
}

void PlayerController::abortReplacementIdle()
{
    abortReplies(std::exchange(replacementReplies_, {}), this);
    if (!replacement_)
        return;
    replacement_->busy = false;
    // The object that went silent is what a one-pass run goes on without.
    if (replacement_->onePass && !replacement_->media.isEmpty())
        leaveForLaterRun(replacement_->media.constFirst().sha256, -1, true);
    else if (replacement_->onePass && !replacement_->packages.isEmpty())
        dropReplacementPackage(packageDigest(replacement_->packages.constFirst()));
    else
        noteReplacementUnreachable(-1, true);
}

qint64 PlayerController::lackedObjectsWaitEndMs(const QSet<QString>& digests) const
{
    const qint64 now = clock_->monotonicMs();
    qint64 earliest = 0;
    for (const QString& digest : digests) {
        const qint64 until = unreachableUntil_.value(digest, 0);
        if (until > now)
            earliest = earliest > 0 ? std::min(earliest, until) : until;
        else if (until > 0 || erroredHashes_.contains(digest))
            return 0;
    }
    return earliest;
}

qint64 PlayerController::lackedObjectsWaitEndMs(const ReplacementFetch& fetch) const
{
    QSet<QString> digests;
    for (const MediaItem& item : fetch.media)
        digests.insert(item.sha256);
    for (const Primitive& primitive : fetch.packages)
        digests.insert(packageDigest(primitive));
    return lackedObjectsWaitEndMs(digests);
}

qint64 PlayerController::withheldObjectsWaitEndMs() const
{
    if (!withheldPagesUnlanded())
        return 0;
    QSet<QString> digests;
    for (const int index : glassPages_.withheld & glassPages_.unlanded) {
        if (index < 0 || index >= activeManifest_->pages.size())
            continue;
        for (const Primitive& primitive : activeManifest_->pages.at(index).primitives) {
            for (const PlanObject& object : planObjects(primitive)) {
                if (fetchRefusal(object.sha256).isEmpty())
                    digests.insert(object.sha256);
            }
        }
    }
    return lackedObjectsWaitEndMs(digests);
}

void PlayerController::cancelReplacement()
{
    if (replacement_) {
        rememberFetchLocal(*replacement_);
        postRecoverySweep();
    }
    replacementPumpTimer_.stop();
    replacementIdleTimer_.stop();
    raiseAndReplace(replacementCancel_);
    contentIo_.discardCancelled();
    abortReplies(std::exchange(replacementReplies_, {}), this);
    replacement_.reset();
    parkedFetch_.reset();
}

// What was given up in this revision, or refused for good, is not fetched in the background
// either; the pages needing it stay unlanded.
void PlayerController::dropRefusedFetches(ReplacementFetch& fetch) const
{
    fetch.media.removeIf(
        [this](const MediaItem& item) { return !fetchRefusal(item.sha256).isEmpty(); });
    fetch.packages.removeIf(
        [this](const Primitive& p) { return !fetchRefusal(packageDigest(p)).isEmpty(); });
}

QSet<QString> PlayerController::replacementKeepKeys() const
{
    QSet<QString> keep;
    if (replacement_)
        keep = replacement_->mediaKeys | replacement_->packageKeys;
    if (parkedFetch_)
        keep |= parkedFetch_->fetch.mediaKeys | parkedFetch_->fetch.packageKeys;
    return keep;
}

// --- Staged storage plans --------------------------------------------------------------------

void PlayerController::continueStagedPlan()
{
    if (!activeStoragePlan_ || !activeManifest_
        || activeManifest_->manifestRevision != activeStoragePlan_->manifestRevision)
        return;
    const QString revision = activeStoragePlan_->manifestRevision;
    const StoragePlanResult& plan = activeStoragePlan_->plan;
    int count = 0;
    for (int i = 0; i < activeManifest_->pages.size(); ++i) {
        const QString& id = activeManifest_->pages.at(i).id;
        if (plan.target_page_ids.contains(id) && !plan.stage1_page_ids.contains(id)) {
            glassPages_.unlanded.insert(i);
            ++count;
        }
    }
    logPlayback("storage_plan_stage_two",
                {{QStringLiteral("id"), revision}, {QStringLiteral("pages"), QString::number(count)}});
    repairRetainedPages();
}

void PlayerController::admitLandedPages()
{
    if (!replacement_ || replacement_->activateWhenDrained || activeSlot_ < 0 || !activeManifest_
        || glassPages_.unlanded.isEmpty())
        return;
    const std::shared_ptr<std::atomic<bool>> cancel = replacementCancel_;
    const std::shared_ptr<ContentCache> contentCache = contentCache_;
    const std::shared_ptr<ApplicationPackageCache> packageCache = applicationCache_;
    const Manifest manifest = *activeManifest_;
    const QSet<int> indices = glassPages_.unlanded;
    contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const QSet<int> ready =
            readyPages(manifest, indices, *contentCache, *packageCache, cancel.get());
        return [this, revision = manifest.manifestRevision, ready] {
            if (glassPages_.revision != revision || ready.isEmpty())
                return;
            glassPages_.unlanded -= ready;
            noteAdmitted(ready);
            logPlayback("storage_page_admitted",
                        {{QStringLiteral("id"), revision},
                         {QStringLiteral("pages"), QString::number(ready.size())}});
            completeStagedPlanIfReady();
        };
    });
}

void PlayerController::completeStagedPlanIfReady()
{
    if (!activeStoragePlan_ || activeStoragePlan_->stage != QLatin1String("s1") || !activeManifest_
        || activeManifest_->manifestRevision != activeStoragePlan_->manifestRevision)
        return;
    if (retainedPosition_ < retainedPages_.size())
        return;
    const StoragePlanRecord& record = *activeStoragePlan_;
    const QList<Page>& pages = activeManifest_->pages;
    const QSet<int>& unlanded = glassPages_.unlanded;
    if (std::any_of(unlanded.cbegin(), unlanded.cend(), [&](int i) {
               return i >= 0 && i < pages.size()
                   && record.plan.target_page_ids.contains(pages.at(i).id);
           }))
        return;
    activeStoragePlan_->stage = QStringLiteral("complete");
    if (!state_.saveStoragePlan(storagePlanRecordJson(*activeStoragePlan_)))
        DevFileLog::record(QStringLiteral("storage.plan_persist_failed"));
    logPlayback("storage_plan_complete", {{QStringLiteral("id"), record.manifestRevision}});
    sendStorageReport(true);
}

// A new revision's anchor whose object did not come. One the origin withholds may come back:
// while another page of the plan can be prepared it is passed over like any page, and when no
// other page could carry the screen the plan takes a new anchor for its first stage and keeps
// the old one for its second, fetched and admitted once the revision is on glass. Otherwise the
// plan is re-planned on a new anchor without the old, which is prepared at once.
bool PlayerController::holdForUnavailableAnchor(const QString& sha256, const QString& code)
{
    if (!candidate_ || !candidate_->revisionChange)
        return false;
    const Manifest& manifest = candidate_->manifest;
    if (!pendingStoragePlan_ || pendingStoragePlan_->manifestRevision != manifest.manifestRevision)
        return false;
    StoragePlanRecord& record = *pendingStoragePlan_;
    if (record.plan.fit != QLatin1String("partial")
        && record.plan.transition != QLatin1String("staged"))
        return false;
    const auto anchor = std::find_if(manifest.pages.cbegin(), manifest.pages.cend(),
                                     [&](const Page& page) { return page.id == record.anchorPageId; });
    if (record.anchorPageId.isEmpty() || anchor == manifest.pages.cend())
        return false;
    const bool anchorNeedsIt =
        std::any_of(anchor->primitives.cbegin(), anchor->primitives.cend(),
                    [&](const Primitive& p) { return primitiveUses(p, sha256); });
    if (!anchorNeedsIt)
        return false;

    // The pages the plan admits, but the anchor and those that failed in this revision.
    const int anchorIndex = int(anchor - manifest.pages.cbegin());
    const auto otherPages = [this, anchorIndex](const Manifest& revision) {
        QList<int> others = eligibleNow(revision);
        const PageRecord& pages = pagesOf(revision.manifestRevision);
        others.removeIf([&](int index) {
            return index == anchorIndex || pages.unlanded.contains(index)
                || outForOwnFault(pages, index);
        });
        return others;
    };
    const bool withheld = downloadMayRecover(code);
    if (withheld && !otherPages(manifest).isEmpty())
        return false;
    // A page already waiting for its own withheld object after the first stage cannot take it
    // over: the two would trade the anchor at every round.
    const QSet<int>& withheldPages = pagesOf(manifest.manifestRevision).withheld;
    QStringList pageIds;
    QSet<QString> adslotPageIds;
    for (int i = 0; i < manifest.pages.size(); ++i) {
        const Page& page = manifest.pages.at(i);
        if (withheld && withheldPages.contains(i)
            && !record.plan.stage1_page_ids.contains(page.id))
            continue;
        pageIds.append(page.id);
        if (page.type == PageType::adslot)
            adslotPageIds.insert(page.id);
    }
    StoragePlanResult plan =
        StoragePlan::withAnchorUnavailable(record.plan, pageIds, adslotPageIds, withheld);
    if (withheld && plan.anchor_page_id.isEmpty())
        return false;
    record.plan = std::move(plan);
    // The record names the plan's anchor; left on the old page it would be saved (and planned
    // against) as an anchor the plan no longer carries the screen on.
    record.anchorPageId = record.plan.anchor_page_id;
    if (record.plan.transition == QLatin1String("staged"))
        record.stage = QStringLiteral("s1");
    // Its second stage looks for the object at the pace of a page passed over.
    if (withheld)
        recordFor(manifest.manifestRevision).withheld.insert(anchorIndex);
    logPlayback("storage_plan", {{QStringLiteral("id"), record.manifestRevision},
                                 {QStringLiteral("fit"), record.plan.fit},
                                 {QStringLiteral("reason"), QStringLiteral("anchor_unavailable")}});
    PreparedPage dropped = *std::exchange(candidate_, std::nullopt);
    postOwedTurn();
    modelForSlot(dropped.slot)->clear();
    cancelCandidateWork();
    sendStorageReport(true);
    // The new anchor first, else the next page the new plan admits.
    const QList<int> preparable = otherPages(dropped.manifest);
    const auto newAnchor = std::find_if(preparable.cbegin(), preparable.cend(), [&](int index) {
        return dropped.manifest.pages.at(index).id == record.anchorPageId;
    });
    if (!preparable.isEmpty()) {
        pendingStepDirection_ = 0;
        advanceReason_ = QStringLiteral("assignment");
        pendingPageIndex_ = newAnchor != preparable.cend() ? *newAnchor : preparable.constFirst();
        preparePage(std::move(dropped.manifest), std::move(dropped.manifestBody), pendingPageIndex_,
                    true);
        return true;
    }
    if (activeSlot_ < 0)
        presentIdle(QStringLiteral("awaiting_content"));
    else if (!keepsActiveClock(dropped.manifest, true))
        rearmActiveClock();
    // The pages left to the plan failed before, for objects that may come as this one may.
    if (withheld)
        holdRevisionForRetry(std::move(dropped.manifest), std::move(dropped.manifestBody));
    return true;
}

// --- Recovery sweep --------------------------------------------------------------------------

// Coalesced: however many candidates and fetches end in one turn of the event loop, the sweep
// looks once, after the steps that followed them have run.
void PlayerController::postRecoverySweep()
{
    if (std::exchange(recoverySweepPosted_, true))
        return;
    QTimer::singleShot(0, this, [this] {
        recoverySweepPosted_ = false;
        runRecoverySweep();
    });
}

void PlayerController::runRecoverySweep()
{
    if (screenArchived_ || fatalCode_ != FatalSurface::None)
        return;
    for (const RecoveryAction& action : strandedActions(clock_->monotonicMs(), recoverySnapshot())) {
        logPlayback("recovery_sweep",
                    {{QStringLiteral("action"), recoveryActionName(action.kind)},
                     {QStringLiteral("revision"), action.revision},
                     {QStringLiteral("page"), QString::number(action.page)}});
        switch (action.kind) {
        case RecoveryAction::Kind::HoldForRetry:
            if (pendingRevision_)
                holdRevisionForRetry(pendingRevision_->manifest, pendingRevision_->manifestBody);
            break;
        case RecoveryAction::Kind::ArmRepairRun:
            armRepairRun(false);
            break;
        case RecoveryAction::Kind::PreparePage:
            if (pendingRevision_ && !candidate_) {
                pendingStepDirection_ = 0;
                advanceReason_ = QStringLiteral("assignment");
                pendingPageIndex_ = action.page;
                preparePage(pendingRevision_->manifest, pendingRevision_->manifestBody,
                            action.page, true);
            }
            break;
        }
    }
}

// Members only: no cache is walked, so the sweep costs nothing on the content I/O queue.
RecoverySnapshot PlayerController::recoverySnapshot() const
{
    RecoverySnapshot s;
    s.darkSinceMs = darkSinceMs_;
    if (const QString glass = glassRevision(); !glass.isEmpty()) {
        const PageRecord& pages = pagesOf(glass);
        s.glass.revision = glass;
        s.glass.unlanded = pages.unlanded;
        s.glass.withheld = pages.withheld;
        for (const int index : pages.withheld) {
            if (index >= 0 && index < activeManifest_->pages.size())
                s.glass.objects.insert(index, pageObjectDigests(activeManifest_->pages.at(index)));
        }
    }
    if (pendingRevision_) {
        const Manifest& manifest = pendingRevision_->manifest;
        const PageRecord& pages = pagesOf(manifest.manifestRevision);
        s.hand.revision = manifest.manifestRevision;
        s.hand.eligible = eligibleNow(manifest);
        for (const int index : std::as_const(s.hand.eligible)) {
            s.hand.objects.insert(index, pageObjectDigests(manifest.pages.at(index)));
            if (outForOwnFault(pages, index))
                s.hand.failed.insert(index);
        }
        if (fetchLocalRevision_ == s.hand.revision)
            s.local = fetchLocal_;
    }
    s.givenUp = givenUpDigests();
    s.candidate = candidate_.has_value();
    s.fetch = revisionFetch() != nullptr;
    s.repairing = replacement_ && !replacement_->activateWhenDrained;
    s.repairRunArmed = repairRunTimer_.isActive();
    s.retryArmed = replacementPumpTimer_.isActive() || candidateDownloadRetryTimer_.isActive()
                   || packageRetryTimer_.isActive();
    // The minute's look for room also runs for a revision on glass refused for room: that one
    // takes no revision in hand on.
    s.roomWait = roomWait_.has_value();
    s.planning = storagePlanRunning_;
    s.restoring = retainedPosition_ < retainedPages_.size() || retainedAwaitingCandidate_;
    s.adOnGlass = adActive();
    return s;
}

} // namespace talvorine
