// Activation and transitions, page rotation and visibility, media timing within a page,
// playback reports, and what happens to a candidate that fails.

#include "controller/PlayerPlayback.h"

#include "controller/PlayerController.h"
#include "ads/AdPresentation.h"
#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPackages.h"
#include "controller/PlayerPreparation.h"
#include "controller/PlayerTransfers.h"
#include "manifest/LayoutContract.h"
#include "manifest/PageTransitionRules.h"
#include "manifest/ScheduleContract.h"
#include "overlay/OverlayPolicy.h"

#include <QRegularExpression>
#include <QSet>
#include <QVariantMap>

#include <algorithm>
#include <limits>
#include <utility>

namespace talvorine {

namespace {

const QChar unitSeparator(0x1F);

QString advanceMode(const Page& page)
{
    return page.advance.value(QLatin1String("mode")).toString();
}

const Primitive* findPrimitive(const Page& page, const QString& id)
{
    const auto found = std::find_if(page.primitives.cbegin(), page.primitives.cend(),
                                    [&id](const Primitive& p) { return p.id == id; });
    return found == page.primitives.cend() ? nullptr : &*found;
}

// An image or video primitive of the page: the kinds whose items are timed and reported.
const Primitive* timedPrimitive(const Page& page, const QString& id)
{
    const Primitive* primitive = findPrimitive(page, id);
    return primitive
                   && (primitive->kind == PrimitiveKind::image
                       || primitive->kind == PrimitiveKind::video)
               ? primitive
               : nullptr;
}

} // namespace

// --- Rules ---------------------------------------------------------------------------------

int PageRotation::next(int current, const QList<int>& eligible, int count)
{
    const QSet<int> allowed(eligible.cbegin(), eligible.cend());
    for (int step = 1; step <= count; ++step) {
        const int index = (current + step) % count;
        if (allowed.contains(index))
            return index;
    }
    return current;
}

bool isPagePrepareSkipCode(const QString& code)
{
    static const QSet<QString> holdCodes{
        QStringLiteral("device_credential_unavailable"),
        QStringLiteral("device_credential_rejected"),
        QStringLiteral("runtime_session_expired"),
        QStringLiteral("content_download_open_failed"),
        QStringLiteral("content_download_failed"),
        QStringLiteral("content_cache_limits_invalid"),
        QStringLiteral("content_cache_prune_failed"),
        QStringLiteral("content_storage_insufficient"),
        QStringLiteral("application_package_download_failed"),
        QStringLiteral("application_package_install_failed"),
        QStringLiteral("payment_required"),
        // Failures of this device rather than of the page: a full I/O queue, a disk that is
        // full, read-only or failing, for the content cache and for the package installer. A
        // page skipped for them would be excluded for the revision and reported to the service
        // as failed although any page would have failed the same way.
        QStringLiteral("content_io_busy"),
        QStringLiteral("cache_open_failed"),
        QStringLiteral("cache_write_failed"),
        QStringLiteral("cache_directory_create_failed"),
        QStringLiteral("cache_commit_failed"),
        QStringLiteral("package_cache_limits_invalid"),
        QStringLiteral("package_cache_prune_failed"),
        QStringLiteral("package_partial_write_failed"),
        QStringLiteral("package_directory_create_failed"),
        QStringLiteral("package_extract_stage_failed"),
        QStringLiteral("package_file_create_failed"),
        QStringLiteral("package_file_commit_failed"),
        QStringLiteral("package_atomic_promotion_failed"),
        QStringLiteral("package_immutable_promotion_failed"),
        QStringLiteral("package_metadata_write_failed"),
    };
    return !holdCodes.contains(code);
}

CandidateFailureStep candidateFailureStep(const QString& code, bool pageOnGlass, bool heldBefore)
{
    if (isPagePrepareSkipCode(code))
        return CandidateFailureStep::Skip;
    if (downloadMayRecover(code) && (!pageOnGlass || heldBefore))
        return CandidateFailureStep::PassOver;
    return CandidateFailureStep::Hold;
}

qint64 ownFailureWaitMs(int failures)
{
    constexpr qint64 firstMs = 300000;
    constexpr qint64 mostMs = 3600000;
    return std::min(firstMs << std::clamp(failures - 1, 0, 4), mostMs);
}

QString pageFailureReportCode(const QString& code)
{
    static const QRegularExpression reportable(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-z0-9._-]{1,80}")));
    return reportable.match(code).hasMatch() ? code : QStringLiteral("page_prepare_failed");
}

// --- Page rotation -------------------------------------------------------------------------

// The timer may fire early; only a dwell that has really run out turns the page.
void PlayerController::pageTimerFired()
{
    const qint64 remaining = pageDwellMs_ - pageClock_.elapsedMs();
    if (remaining > 0) {
        pageTimer_.start(int(remaining));
        return;
    }
    advanceReason_ = QStringLiteral("timer");
    advancePage();
}

void PlayerController::scheduleAdvance()
{
    pageTimer_.stop();
    if (!playbackPolicy_.shouldAutoAdvance()) {
        armVisibilityWatch();
        return;
    }
    const Page* page = activePage();
    if (!page)
        return;
    // The ad on glass runs by its own page, not by the adslot page it stands in for.
    const QJsonObject& advance = adActive() ? adAdvance_ : page->advance;
    const bool duration = advance.value(QLatin1String("mode")).toString() == QLatin1String("duration");
    pageDwellMs_ = advance.value(QLatin1String(duration ? "afterMs" : "maxMs")).toInt();
    pageClock_.start();
    pageTimer_.start(pageDwellMs_);
    armVisibilityWatch();
}

void PlayerController::advancePage()
{
    // The end of a dwell, whether the page turns or stays.
    writeOwedLastKnownGood();
    mediaItemTimer_.stop();
    if (adActive()) {
        finishAdPresentation(adPresentationCompleted(false));
        endAdVisit(true);
        return;
    }
    // A page that stayed its dwell works: what it failed before is forgiven.
    if (!glassPageFailed())
        glassPages_.ownFailures.remove(activePageIndex_);
    if (playbackPolicy_.shouldAutoAdvance())
        commitPageAdvance();
}

void PlayerController::commitPageAdvance()
{
    mediaItemTimer_.stop();
    if (adActive() || !activeManifest_)
        return;
    const int count = int(activeManifest_->pages.size());
    const QList<int> rotatable = rotatableNow(*activeManifest_);
    const int next = count > 0 ? PageRotation::next(activePageIndex_, rotatable, count) : 0;
    // An ad staged ahead shows when this turn reaches its run; otherwise it gives the idle stage
    // back to the next content page and is staged again at its own run.
    const bool adRunTried = adCandidateStaged() && adsActive();
    if (adRunTried && tryAdVisitRun(activePageIndex_, next))
        return;
    yieldAdCandidate();
    if (candidate_) {
        // The candidate ends the page on glass when it is ready; rotation waits for it, but not
        // for ever. A new revision's try may fail, or be held: the page plays on meanwhile and
        // turns once no try of it is left.
        if (candidate_->revisionChange && activeSlot_ >= 0) {
            rearmActiveClock();
            owedTurn_ = OwedTurn{activeGeneration_, advanceReason_};
        } else if (!candidateDeadlineTimer_.isActive()) {
            candidateDeadlineTimer_.start(60000);
        }
        return;
    }
    if (!adRunTried && adsActive() && tryAdVisitRun(activePageIndex_, next))
        return;
    if (rotatable.isEmpty()) {
        scheduleAdvance();
        scheduleMediaItemDeadline();
        return;
    }
    // The next showing of this page shows the next item of each one-at-a-time primitive; in
    // "media_end" pages the items have already moved as they ended.
    if (const Page* page = activePage();
        page && advanceMode(*page) != QLatin1String("media_end")) {
        for (const Primitive& primitive : page->primitives) {
            const qsizetype items = mediaItems(primitive).size();
            if (mediaOneAtATime(primitive) && items > 0)
                mediaItemCursors_.insert(mediaCursorKey(page->id, primitive.id),
                                         int((visibleMediaIndex(page->id, primitive) + 1) % items));
        }
    }
    if (advanceChangesNothingVisible(next)) {
        scheduleAdvance();
        scheduleMediaItemDeadline();
        return;
    }
    pendingPageIndex_ = next;
    preparePage(*activeManifest_, activeManifestBody_, next, false);
}

// Posted, so that what ended the candidate (a skip to the revision's next page, a hold, its
// status) is done before the page turns; a turn of the revision on glass prepared meanwhile is one
// already.
void PlayerController::postOwedTurn()
{
    if (!owedTurn_)
        return;
    QTimer::singleShot(0, this, [this] {
        if (!owedTurnDue())
            return;
        advanceReason_ = std::exchange(owedTurn_, std::nullopt)->reason;
        pageTimer_.stop();
        advancePage();
    });
}

bool PlayerController::owedTurnDue() const
{
    return owedTurn_ && owedTurn_->showing == activeGeneration_ && activeSlot_ >= 0
        && (!candidate_ || adCandidateStaged());
}

bool PlayerController::glassPageFailed() const
{
    return activeSlot_ >= 0 && failedShowing_ == activeGeneration_;
}

bool PlayerController::advanceChangesNothingVisible(int next) const
{
    if (!activeManifest_ || activeSlot_ < 0 || next < 0 || next != activePageIndex_
        || next >= activeManifest_->pages.size())
        return false;
    const Page& page = activeManifest_->pages.at(next);
    if (pageRebuildsOnAdvance(page))
        return false;
    return std::all_of(page.primitives.cbegin(), page.primitives.cend(), [&](const Primitive& p) {
        return !isMediaKind(p.kind) || mediaItems(p).isEmpty()
               || seededMediaIndex(page.id, p) == visibleMediaIndex(page.id, p);
    });
}

// Runs at every civil minute while any page has a schedule. A page hidden by its schedule is
// reported once per showing: when nothing else may show, the same page stays and the watch
// comes back every minute.
void PlayerController::evaluateVisibility()
{
    const Page* page = activePage();
    if (!page)
        return;
    if (adActive() || eligibleNow().contains(activePageIndex_)) {
        armVisibilityWatch();
        return;
    }
    if (hiddenReportedGeneration_ != activeGeneration_) {
        hiddenReportedGeneration_ = activeGeneration_;
        transport_.reportCondition(QStringLiteral("info"), QStringLiteral("playback.page_hidden"),
                                   {{QStringLiteral("page_id"), page->id}});
    }
    advanceReason_ = QStringLiteral("schedule");
    commitPageAdvance();
}

void PlayerController::armVisibilityWatch()
{
    visibilityTimer_.stop();
    if (!activeManifest_
        || std::none_of(activeManifest_->pages.cbegin(), activeManifest_->pages.cend(),
                        [](const Page& page) { return page.visibility.has_value(); }))
        return;
    visibilityTimer_.start(int(ScheduleEvaluator::millisToNextCivilMinute(clock_->nowMs())));
}

QList<int> PlayerController::scheduledNow(const Manifest& manifest) const
{
    QList<std::optional<PageVisibility>> schedules;
    schedules.reserve(manifest.pages.size());
    for (const Page& page : manifest.pages)
        schedules.append(page.visibility);
    const std::optional<ZonedCivilTime> civil =
        ScheduleEvaluator::civilTime(clock_->nowMs(), manifest.timezone);
    QList<int> scheduled = ScheduleEvaluator::eligibleIndices(schedules, civil);
    scheduled.removeIf(
        [&](int index) { return manifest.pages.at(index).type == PageType::adslot; });
    return scheduled;
}

// The pages that may be shown now: by schedule, never an ad slot, and admitted by the plan or
// already held whole, which showing downloads nothing for.
QList<int> PlayerController::eligibleNow(const Manifest& manifest) const
{
    QList<int> eligible = scheduledNow(manifest);
    eligible.removeIf([&](int index) { return !pageAdmitted(manifest, index); });
    return eligible;
}

QList<int> PlayerController::eligibleNow() const
{
    return activeManifest_ ? eligibleNow(*activeManifest_) : QList<int>();
}

QString PlayerController::glassRevision() const
{
    return activeSlot_ >= 0 && activeManifest_ ? activeManifest_->manifestRevision : QString();
}

// The eligible pages that rotation may turn to: not those still waiting for their objects, nor
// those out for a failure of their own, however whole a re-plan or repair run finds them.
QList<int> PlayerController::rotatableNow(const Manifest& manifest) const
{
    QList<int> rotatable = eligibleNow(manifest);
    const PageRecord& pages = pagesOf(manifest.manifestRevision);
    rotatable.removeIf([&](int index) {
        return pages.unlanded.contains(index) || outForOwnFault(pages, index);
    });
    return rotatable;
}

// --- Media timing --------------------------------------------------------------------------

// The deadline belongs to the primitive that armed it, not to whichever image comes first.
void PlayerController::mediaItemDeadlineReached()
{
    if (!mediaItemTimerPrimitive_.isEmpty())
        handleMediaItemEnded(mediaItemTimerPrimitive_);
}

// Images in "media_end" pages end by their own dwell; the first image that has one times the
// item, and only that primitive moves on when the timer fires.
void PlayerController::scheduleMediaItemDeadline()
{
    mediaItemTimer_.stop();
    mediaItemTimerPrimitive_.clear();
    const Page* page = activePage();
    if (adActive() || !page)
        return;
    const QString mode = advanceMode(*page);
    if (mode != QLatin1String("media_end")) {
        logPlayback("media_end_not_armed", {{QStringLiteral("page_id"), page->id},
                                            {QStringLiteral("advance_mode"), mode},
                                            {QStringLiteral("reason"),
                                             QStringLiteral("not_media_end")}});
        return;
    }
    for (const Primitive& primitive : page->primitives) {
        const std::optional<qint32> dwell =
            primitive.kind == PrimitiveKind::image ? mediaDwellMs(primitive) : std::nullopt;
        if (!dwell)
            continue;
        mediaItemTimerPrimitive_ = primitive.id;
        mediaItemTimer_.start(*dwell);
        logPlayback("media_end_image_dwell", {{QStringLiteral("page_id"), page->id},
                                              {QStringLiteral("primitive_id"), primitive.id},
                                              {QStringLiteral("advance_mode"), mode},
                                              {QStringLiteral("dwell_ms"), QString::number(*dwell)}});
        return;
    }
    const bool hasVideo = std::any_of(page->primitives.cbegin(), page->primitives.cend(),
                                      [](const Primitive& p) { return p.kind == PrimitiveKind::video; });
    logPlayback("media_end_not_armed",
                {{QStringLiteral("page_id"), page->id},
                 {QStringLiteral("advance_mode"), mode},
                 {QStringLiteral("reason"),
                  hasVideo ? QStringLiteral("video_eos") : QStringLiteral("no_image_dwell")}});
}

void PlayerController::videoEndOfStream(int slot, const QString& primitiveId)
{
    if (adActive() && slot == activeSlot_ && adPresentationShows(primitiveId, activeGeneration_)) {
        finishAdPresentation(adPresentationCompleted(true));
        endAdVisit(true);
        return;
    }
    const Page* page = activePage();
    if (slot != activeSlot_ || !page)
        return;
    logPlayback("video_end_of_stream", {{QStringLiteral("page_id"), page->id},
                                        {QStringLiteral("primitive_id"), primitiveId},
                                        {QStringLiteral("advance_mode"), advanceMode(*page)}});
    handleMediaItemEnded(primitiveId);
}

void PlayerController::handleMediaItemEnded(const QString& primitiveId)
{
    advanceReason_ = QStringLiteral("media_end");
    mediaItemTimer_.stop();
    const Page* page = activePage();
    const Primitive* primitive = page ? timedPrimitive(*page, primitiveId) : nullptr;
    if (!primitive)
        return;
    const qsizetype count = mediaItems(*primitive).size();
    const int index = visibleMediaIndex(page->id, *primitive);

    if (primitive->kind == PrimitiveKind::video) {
        const bool loop = primitive->binding.value(QLatin1String("loop")).toBool(false);
        const bool paused = playbackPolicy_.paused();
        if (loop || paused || (activeManifest_->pages.size() == 1 && count == 1)) {
            logPlayback("video_repeat",
                        {{QStringLiteral("page_id"), page->id},
                         {QStringLiteral("primitive_id"), primitiveId},
                         {QStringLiteral("reason"), loop     ? QStringLiteral("authored_loop")
                                                    : paused ? QStringLiteral("operator_paused")
                                                             : QStringLiteral("single_item")}});
            Q_EMIT videoRestartRequested(activeSlot_, primitiveId);
            return;
        }
    }
    if (!playbackPolicy_.shouldAutoAdvance() || advanceMode(*page) != QLatin1String("media_end"))
        return;
    const QString cursorKey = mediaCursorKey(page->id, primitiveId);
    if (!mediaOneAtATime(*primitive)) {
        if (index + 1 < count) {
            visibleMediaItems_.insert(cursorKey, index + 1);
            rematchActiveMedia(primitiveId);
            return;
        }
    } else if (count > 0) {
        mediaItemCursors_.insert(cursorKey, int((index + 1) % count));
    }
    advancePage();
}

// Shows the items now visible on the page on glass in place, without a transition. It runs on
// its own cancel flag: a candidate being prepared meanwhile must not lose its work to it.
void PlayerController::rematchActiveMedia(const QString&)
{
    if (!activeManifest_ || activeSlot_ < 0 || !activePage())
        return;
    Page page = *activePage();
    applyVisibleMediaItems(page);
    if (!std::holds_alternative<ResolvedPage>(LayoutContract::resolveLayout(page, frameSize_))) {
        advancePage();
        return;
    }
    QList<std::pair<QString, MediaItem>> wanted;
    for (const Primitive& primitive : std::as_const(page.primitives)) {
        if (!isMediaKind(primitive.kind))
            continue;
        const QList<MediaItem> items = mediaItems(primitive);
        const int index = visibleMediaIndex(page.id, primitive);
        if (index >= 0 && index < items.size())
            wanted.append({primitive.id, items.at(index)});
    }
    activePlaybackCancel_->store(true, std::memory_order_release);
    activePlaybackCancel_ = std::make_shared<std::atomic<bool>>(false);
    const std::shared_ptr<std::atomic<bool>> cancel = activePlaybackCancel_;
    const quint64 generation = activeGeneration_;
    const int slot = activeSlot_;
    const QString screenId = activeManifest_->screenId;
    const bool queued = contentIo_.submit(
        cancel, [this, cache = contentCache_, page = std::move(page), screenId, slot, generation,
                 wanted, cancel]() -> std::function<void()> {
            QHash<QString, QUrl> urls;
            for (const auto& [primitiveId, item] : wanted) {
                if (cancel->load(std::memory_order_acquire))
                    break;
                if (const std::optional<QString> path =
                        cache->readyPath(item.sha256, item.bytes, cancel.get()))
                    urls.insert(primitiveId, QUrl::fromLocalFile(*path));
            }
            return [this, page, screenId, slot, generation, urls, expected = wanted.size()] {
                if (!activeManifest_ || activeGeneration_ != generation || activeSlot_ != slot)
                    return;
                // An item that is not local any more ends the page rather than show a blank.
                const LayoutResult layout = LayoutContract::resolveLayout(page, frameSize_);
                if (urls.size() != expected || !std::holds_alternative<ResolvedPage>(layout)) {
                    advancePage();
                    return;
                }
                StageLayoutModel* model = modelForSlot(slot);
                model->setScene(page, std::get<ResolvedPage>(layout), screenId, generation,
                                frameSize_);
                for (auto it = urls.cbegin(); it != urls.cend(); ++it)
                    model->bindVerifiedMediaFile(it.key(), it.value());
                activeMediaUrls_ = urls;
                for (const Primitive& primitive : page.primitives) {
                    if (primitive.kind != PrimitiveKind::application)
                        continue;
                    const QJsonObject package =
                        primitive.binding.value(QLatin1String("package")).toObject();
                    model->bindVerifiedApplicationPackage(
                        primitive.id, package.value(QLatin1String("sha256")).toString(),
                        package.value(QLatin1String("entrypoint")).toString());
                }
                scheduleMediaItemDeadline();
                reportVisibleImageStarts();
            };
        });
    if (!queued)
        advancePage();
}

QString PlayerController::mediaCursorKey(const QString& pageId, const QString& primitiveId)
{
    return pageId + unitSeparator + primitiveId;
}

// The item a one-at-a-time primitive shows when its page is shown next; 0 for the others.
int PlayerController::seededMediaIndex(const QString& pageId, const Primitive& primitive) const
{
    const qsizetype count = mediaItems(primitive).size();
    if (count == 0 || !mediaOneAtATime(primitive))
        return 0;
    return int(mediaItemCursors_.value(mediaCursorKey(pageId, primitive.id), 0) % count);
}

int PlayerController::visibleMediaIndex(const QString& pageId, const Primitive& primitive) const
{
    const qsizetype count = mediaItems(primitive).size();
    if (count == 0)
        return 0;
    const QString key = mediaCursorKey(pageId, primitive.id);
    if (const auto visible = visibleMediaItems_.constFind(key); visible != visibleMediaItems_.cend())
        return int(std::clamp<qsizetype>(*visible, 0, count - 1));
    return mediaOneAtATime(primitive) ? int(mediaItemCursors_.value(key, 0) % count) : 0;
}

void PlayerController::seedVisibleMedia(const Page& page)
{
    for (const Primitive& primitive : page.primitives) {
        if (isMediaKind(primitive.kind) && !mediaItems(primitive).isEmpty())
            visibleMediaItems_.insert(mediaCursorKey(page.id, primitive.id),
                                      seededMediaIndex(page.id, primitive));
    }
}

// Each media primitive takes the size of the item it shows, so that the layout fits that item.
void PlayerController::applyVisibleMediaItems(Page& page) const
{
    for (Primitive& primitive : page.primitives) {
        if (!isMediaKind(primitive.kind))
            continue;
        primitive.mediaPrimitiveId = primitive.id;
        const QList<MediaItem> items = mediaItems(primitive);
        const int index = visibleMediaIndex(page.id, primitive);
        if (index < 0 || index >= items.size())
            continue;
        primitive.intrinsicSize = primitive.kind == PrimitiveKind::stream
                                      ? primitive.rect.size()
                                      : items.at(index).intrinsicSize;
    }
}

// --- Activation and transitions ------------------------------------------------------------

void PlayerController::transitionEnded()
{
    retireOutgoingSlot();
    armObjectEnter();
    stageAdAfterEntry();
}

void PlayerController::activateCandidate()
{
    if (!candidate_)
        return;
    const int outgoing = activeSlot_;
    rendererRecoveryTimer_.stop();
    PreparedPage prepared = std::move(*candidate_);
    candidate_.reset();
    candidateDeadlineTimer_.stop();
    transitionEndTimer_.stop();

    // The page on glass until now stays on its slot until the transition retires it.
    if (outgoing >= 0 && outgoing != prepared.slot) {
        outgoingManifest_ = std::move(activeManifest_);
        outgoingPageIndex_ = activePageIndex_;
    }
    activeSlot_ = prepared.slot;
    // The content's own faults belong to the page they were seen on; the session's lasts until
    // a session is had again.
    verifyFault_ = decodeFault_ = false;
    // A revision refused for room stays refused whichever of the held pages plays.
    storageFault_ = roomShort();
    activePageIndex_ = prepared.pageIndex;
    candidateCancel_->store(true, std::memory_order_release);
    activeGeneration_ = prepared.generation;
    const bool playlistChanged = std::exchange(playlistChangedMark_, false);

    activeManifest_ = std::move(prepared.manifest);
    activeManifestBody_ = std::move(prepared.manifestBody);
    releaseHeldApplicationRequests();
    if (prepared.adPresentation)
        beginAdPresentation(activeGeneration_, prepared.adOccurrenceId, prepared.adDecisionId,
                            prepared.adPrimitiveId);
    activeMediaUrls_ = std::move(prepared.mediaUrls);
    outgoingPackageKeys_ = std::exchange(activePackageKeys_, std::move(prepared.plannedPackages));
    outgoingContentKeys_ = std::exchange(activeContentKeys_, std::move(prepared.plannedMedia));

    reportedMediaStarts_.clear();
    pendingMediaStarts_.clear();
    mediaStartReportKeys_.clear();
    retriedMediaStarts_.clear();

    const Page* page = activePage();
    if (!page) {
        presentIdle(QStringLiteral("awaiting_content"));
        return;
    }
    syncSoundtrack(*activeManifest_, *page);
    clearReportedPageFailures(page->id);
    downloadHeldPages_.remove(activeManifest_->manifestRevision + unitSeparator + page->id);
    // The revision in hand brings its page record on glass.
    if (const QString& revision = activeManifest_->manifestRevision; glassPages_.revision != revision)
        glassPages_ = handPages_.revision == revision ? std::exchange(handPages_, {})
                                                      : PageRecord(revision);
    // A page on glass shows: whatever kept it out is over. What it failed before still counts
    // until it has stayed its dwell.
    glassPages_.unlanded.remove(activePageIndex_);
    if (const auto failure = glassPages_.ownFailures.find(activePageIndex_);
        failure != glassPages_.ownFailures.end())
        failure->atMs.reset();
    owedTurn_.reset();
    // A report owed for the revision on glass stays owed while its pages turn; a new revision
    // is reported afresh.
    if (prepared.revisionChange || pendingActivationRevision_ != activeManifest_->manifestRevision)
        pendingActivationRevision_.clear();
    if (prepared.revisionChange)
        activationRetryArmed_ = false;

    const QJsonObject transition =
        prepared.adPresentation ? AdPresentation::transition() : page->transition;
    transitionType_ = transition.value(QLatin1String("type")).toString();
    const bool slotChanged = outgoing >= 0 && outgoing != activeSlot_;
    const int duration = slotChanged ? transition.value(QLatin1String("durationMs")).toInt() : 0;

    ++objectEnterSerial_;
    objectEnterArmed_ = false;
    beginIncomingTransition(outgoing, duration);
    Q_EMIT stagePresentationChanged();
    Q_EMIT objectEnterChanged();
    Q_EMIT activeChanged();

    if (slotChanged && duration > 0) {
        if (PageTransitionRules::isSwipe(transitionType_.toStdString())) {
            // The start pose must reach the scene before the end pose, or nothing slides.
            QTimer::singleShot(0, this, [this, generation = activeGeneration_, duration, outgoing] {
                if (activeGeneration_ != generation || objectEnterArmed_)
                    return;
                setTransitionDurationMs(duration);
                applySwipeEndPose(outgoing, duration);
                Q_EMIT stagePresentationChanged();
                transitionEndTimer_.start(duration);
            });
        } else {
            transitionEndTimer_.start(duration);
        }
    } else {
        if (slotChanged)
            retireOutgoingSlot();
        objectEnterArmed_ = true;
        Q_EMIT objectEnterChanged();
    }

    const QString& revision = activeManifest_->manifestRevision;
    if (prepared.revisionChange) {
        // A held revision has come in: its rounds' back-off and the repair runs' waits start over.
        downloadAttempt_ = 0;
        repairRunAttempt_ = 0;
        if (pendingRevision_ && pendingRevision_->manifest.manifestRevision == revision)
            pendingRevision_.reset();
        const QString route = manifestRoutePath();
        adoptStoragePlan(revision);
        // Owed until written: a write the volume refuses now is made again later.
        lastKnownGoodOwed_ = OwedLastKnownGood{revision, route, manifestEtagFor(route)};
        transport_.reportActivated(revision, true);
        Q_EMIT revisionActivated(revision);
    }
    writeOwedLastKnownGood();
    if (prepared.othersUnchecked)
        landUncheckedPages();
    logPlayback("candidate_activated",
                {{QStringLiteral("origin"), prepared.reason},
                 {QStringLiteral("page_id"), page->id},
                 {QStringLiteral("advance_mode"), advanceMode(*page)},
                 {QStringLiteral("report_revision"),
                  prepared.revisionChange ? QStringLiteral("true") : QStringLiteral("false")}});
    setStatus(playingStatus());
    retainedRestoreActive_ = false;
    publishSyncGlyph(playlistChanged && prepared.revisionChange, false);

    scheduleAdvance();
    scheduleMediaItemDeadline();
    reportVisibleImageStarts();
    reportHeldVideoStarts(activeSlot_);
    publishOverlay();
    publishSceneSerial(activeGeneration_);

    if (pendingStepDirection_ != 0) {
        const int direction = std::exchange(pendingStepDirection_, 0);
        QTimer::singleShot(0, this, [this, generation = activeGeneration_, direction,
                                     origin = pendingStepOrigin_] {
            if (activeGeneration_ == generation && !candidate_)
                stepPage(direction, true, origin);
        });
    }
    // Pages of a new revision passed over while it was prepared are looked for at once.
    armRepairRun(prepared.revisionChange);
    tryActivateReplacement();
    postRecoverySweep();
}

// The start pose of both slots. A swipe starts with the incoming slot beside the outgoing one,
// placed at once; everything else animates to its end from here. In a cross-fade the outgoing
// page stays opaque under the incoming one (the slot on glass is drawn on top) until the
// retirement: were both to fade, the ground would show through halfway.
void PlayerController::beginIncomingTransition(int outgoingSlot, int durationMs)
{
    const int incoming = activeSlot_;
    const int other = incoming == 0 ? 1 : 0;
    const bool slotChanged = outgoingSlot >= 0 && outgoingSlot != incoming;
    const bool animated = slotChanged && durationMs > 0;
    const bool swipe = animated && PageTransitionRules::isSwipe(transitionType_.toStdString());
    setTransitionDurationMs(animated && !swipe ? durationMs : 0);
    if (swipe) {
        const TransitionPose pose =
            PageTransitionRules::pose(transitionType_.toStdString(), durationMs, 0);
        setSlotPose(incoming, 1.0, pose.incomingTranslateXPermille,
                    pose.incomingTranslateYPermille);
        setSlotPose(other, 1.0, 0, 0);
        return;
    }
    setSlotPose(incoming, 1.0, 0, 0);
    setSlotPose(other, animated ? 1.0 : 0.0, 0, 0);
}

void PlayerController::applySwipeEndPose(int outgoingSlot, int durationMs)
{
    const TransitionPose pose =
        PageTransitionRules::pose(transitionType_.toStdString(), durationMs, durationMs);
    setSlotPose(activeSlot_, 1.0, 0, 0);
    setSlotPose(outgoingSlot, 1.0, pose.outgoingTranslateXPermille,
                pose.outgoingTranslateYPermille);
}

bool PlayerController::incomingEntryRunning() const
{
    return activeSlot_ >= 0 && !objectEnterArmed_;
}

// The page on glass finishes its entry at once: its slot is about to be needed as the outgoing
// one, so the page it replaced must leave the other slot first.
void PlayerController::finishIncomingEntry()
{
    if (!incomingEntryRunning())
        return;
    transitionEndTimer_.stop();
    setSlotPose(activeSlot_, 1.0, 0, 0);
    retireOutgoingSlot();
    armObjectEnter();
}

void PlayerController::retireOutgoingSlot()
{
    if (activeSlot_ < 0)
        return;
    const int other = activeSlot_ == 0 ? 1 : 0;
    setTransitionDurationMs(0);
    setSlotPose(other, 0.0, 0, 0);
    Q_EMIT stagePresentationChanged();
    modelForSlot(other)->clear();
    outgoingManifest_.reset();
    outgoingPageIndex_ = -1;

    const QSet<QString> retiredPackages = outgoingPackageKeys_ - activePackageKeys_;
    const QSet<QString> retiredContent = outgoingContentKeys_ - activeContentKeys_;
    outgoingPackageKeys_.clear();
    outgoingContentKeys_.clear();
    if (!retiredPackages.isEmpty() || !retiredContent.isEmpty())
        pruneRetiredContent();
}

// Evicts what nothing needs any more once the volume runs short: everything the page on glass,
// the soundtrack, the candidate and a replacement use is kept.
void PlayerController::pruneRetiredContent()
{
    QSet<QString> keepContent = activeContentKeys_ | soundtrackHashes();
    QSet<QString> keepPackages = activePackageKeys_;
    if (candidate_) {
        keepContent |= candidate_->plannedMedia;
        keepPackages |= candidate_->plannedPackages;
    }
    const QSet<QString> fetched = replacementKeepKeys();
    keepContent |= fetched;
    keepPackages |= fetched;
    const auto cancel = std::make_shared<std::atomic<bool>>(false);
    contentIo_.submit(cancel, [content = contentCache_, packages = applicationCache_,
                               minFree = retiredPruneMinFreeBytes_, keepContent, keepPackages,
                               cancel]() -> std::function<void()> {
        constexpr qint64 unlimited = std::numeric_limits<qint64>::max();
        QString error;
        content->prune(unlimited, minFree, keepContent, &error, cancel.get(), keepContent);
        packages->prune(unlimited, minFree, keepPackages, &error, cancel.get(), {});
        return {};
    });
}

void PlayerController::armObjectEnter()
{
    if (objectEnterArmed_)
        return;
    objectEnterArmed_ = true;
    Q_EMIT objectEnterChanged();
}

void PlayerController::setTransitionDurationMs(int ms)
{
    if (transitionDurationMs_ == ms)
        return;
    transitionDurationMs_ = ms;
    Q_EMIT transitionTimingChanged();
}

void PlayerController::setSlotPose(int slot, double opacity, int xPermille, int yPermille)
{
    if (slot == 0) {
        opacityA_ = opacity;
        translateXPermilleA_ = xPermille;
        translateYPermilleA_ = yPermille;
    } else {
        opacityB_ = opacity;
        translateXPermilleB_ = xPermille;
        translateYPermilleB_ = yPermille;
    }
}

// A failure that says something about verification, storage or decoding stays visible in the
// overlay until the next activation clears it.
void PlayerController::latchOverlayFailure(const QString& code)
{
    bool* fault = nullptr;
    switch (OverlayPolicy::classifyDiagnostic(code)) {
    case OverlayPolicy::Verify:
        fault = &verifyFault_;
        break;
    case OverlayPolicy::Storage:
        fault = &storageFault_;
        break;
    case OverlayPolicy::Decode:
        fault = &decodeFault_;
        break;
    default:
        return;
    }
    if (*fault)
        return;
    *fault = true;
    publishOverlay();
}

// --- Playback reports ----------------------------------------------------------------------

// At most once per activation, primitive and item; without a session the start waits for one.
void PlayerController::reportMediaStarted(const QString& primitiveId)
{
    const Page* page = activePage();
    const Primitive* primitive = page ? timedPrimitive(*page, primitiveId) : nullptr;
    if (!primitive)
        return;
    const QList<MediaItem> items = mediaItems(*primitive);
    const int index = visibleMediaIndex(page->id, *primitive);
    if (index < 0 || index >= items.size())
        return;
    const QString& mediaId = items.at(index).mediaId;
    const QString startKey = mediaStartKey(primitiveId, mediaId);
    if (reportedMediaStarts_.contains(startKey))
        return;
    const QString& revision = activeManifest_->manifestRevision;
    if (transport_.hasRuntimeSession()
        && transport_.reportPlaybackMediaStarted(
            mediaId, revision, page->id,
            primitive->kind == PrimitiveKind::image ? QStringLiteral("image")
                                                    : QStringLiteral("video"))) {
        pendingMediaStarts_.remove(primitiveId);
        reportedMediaStarts_.insert(startKey);
        mediaStartReportKeys_.insert(revision + u':' + page->id + u':' + mediaId, primitiveId);
        return;
    }
    pendingMediaStarts_.insert(primitiveId);
}

QString PlayerController::mediaStartKey(const QString& primitiveId, const QString& mediaId) const
{
    return QString::number(activeGeneration_) + u':' + primitiveId + u':' + mediaId;
}

// A video placement plays its first frame. On the idle slot that is a candidate warming up:
// its start counts only once the page goes on glass.
void PlayerController::videoStarted(int slot, const QString& primitiveId)
{
    if (slot == activeSlot_) {
        if (adActive() && adPresentationShows(primitiveId, activeGeneration_)) {
            adReportFirstFrame();
            return;
        }
        if (activeManifest_)
            reportMediaStarted(primitiveId);
        return;
    }
    heldVideoStarts_[slot].insert(primitiveId);
}

void PlayerController::reportHeldVideoStarts(int slot)
{
    const QSet<QString> held = heldVideoStarts_.take(slot);
    if (adActive()
        && std::any_of(held.cbegin(), held.cend(), [this](const QString& id) {
               return adPresentationShows(id, activeGeneration_);
           }))
        adReportFirstFrame();
    for (const QString& primitiveId : held)
        reportMediaStarted(primitiveId);
}

void PlayerController::reportVisibleImageStarts()
{
    if (adActive()) {
        // A video ad reports its start from its first frame.
        if (adImageOnGlass(activeGeneration_))
            adReportFirstFrame();
        return;
    }
    const Page* page = activePage();
    if (activeSlot_ < 0 || !page)
        return;
    for (const Primitive& primitive : page->primitives) {
        if (primitive.kind == PrimitiveKind::image)
            reportMediaStarted(primitive.id);
    }
}

// Primitives no longer on glass are not sent; the next activation forgets them.
void PlayerController::flushPendingMediaStarts()
{
    const QSet<QString> pending = pendingMediaStarts_;
    for (const QString& primitiveId : pending)
        reportMediaStarted(primitiveId);
}

// After a 401 a start of the page still on glass is sent once more with the renewed session;
// everything else is dropped and said so in the developer log.
void PlayerController::handlePlaybackReportFailed(const QString& mediaId, const QString& revision,
                                                  const QString& pageId, int status)
{
    const QString primitiveId = mediaStartReportKeys_.take(revision + u':' + pageId + u':' + mediaId);
    if (primitiveId.isEmpty())
        return;
    const Page* page = activePage();
    const bool current =
        page && activeManifest_->manifestRevision == revision && page->id == pageId;
    const QString startKey = mediaStartKey(primitiveId, mediaId);
    if (current && status == 401 && !retriedMediaStarts_.contains(startKey)) {
        retriedMediaStarts_.insert(startKey);
        reportedMediaStarts_.remove(startKey);
        pendingMediaStarts_.insert(primitiveId);
        return;
    }
    const QString reason = status != 401 ? QStringLiteral("forbidden")
                           : current     ? QStringLiteral("retry_exhausted")
                                         : QStringLiteral("revision_moved_on");
    DevFileLog::record(QStringLiteral("playback.report_dropped"),
                       {{QStringLiteral("code"), QStringLiteral("playback.media_started")},
                        {QStringLiteral("status"), QString::number(status)},
                        {QStringLiteral("page_id"), pageId},
                        {QStringLiteral("reason"), reason}});
}

// Once per revision, page and code, until the page plays again.
void PlayerController::reportPageFailed(const Manifest& manifest, int page, const QString& code)
{
    if (page < 0 || page >= manifest.pages.size())
        return;
    const QString& pageId = manifest.pages.at(page).id;
    const QString reportCode = pageFailureReportCode(code);
    const QString key = manifest.manifestRevision + unitSeparator + pageId + unitSeparator + reportCode;
    if (reportedPageFailures_.contains(key))
        return;
    reportedPageFailures_.insert(key);
    logPlayback("page_failed_reported",
                {{QStringLiteral("page_id"), pageId}, {QStringLiteral("code"), reportCode}});
    transport_.reportCondition(QStringLiteral("error"), QStringLiteral("playback.page_failed"),
                               {{QStringLiteral("page_id"), pageId},
                                {QStringLiteral("code"), reportCode}});
}

void PlayerController::clearReportedPageFailures(const QString& pageId)
{
    const QString marker = unitSeparator + pageId + unitSeparator;
    reportedPageFailures_.removeIf([&marker](const QString& key) { return key.contains(marker); });
}

void PlayerController::keepPageFactsOf(const QString& glass, const QString& hand)
{
    const auto ofNeither = [&](const QString& key) {
        const QStringView revision = QStringView(key).left(key.indexOf(unitSeparator));
        return revision != glass && revision != hand;
    };
    reportedPageFailures_.removeIf(ofNeither);
    downloadHeldPages_.removeIf(ofNeither);
}

// --- Candidate failure ---------------------------------------------------------------------

// A candidate still waiting out a back-off for its own page's object, or for any transfer, fails
// as that download: its page is then passed over or held like any page whose object did not
// come. Whatever else ran out of time is the renderer's.
void PlayerController::candidateDeadlineReached()
{
    if (candidate_ && !candidate_->adPresentation) {
        const quint64 generation = candidate_->generation;
        QString waitedFor;
        QString code;
        if (candidateDownloadRetryTimer_.isActive() && candidateRetryItem_
            && candidateRetryGeneration_ == generation) {
            waitedFor = candidateRetryItem_->sha256;
            code = QStringLiteral("content_download_failed");
        } else if (packageRetryTimer_.isActive() && packageRetry_
                   && packageRetry_->generation == generation) {
            waitedFor = applicationPackageDigest(packageRetry_->primitive);
            code = QStringLiteral("application_package_download_failed");
        }
        if (!code.isEmpty()) {
            candidateDownloadRetryTimer_.stop();
            candidateRetryItem_.reset();
            packageRetryTimer_.stop();
            packageRetry_.reset();
            skipCandidateMediaAndContinue(waitedFor, code, generation);
            return;
        }
        // Another page's object still in flight is that page's to wait for, not this one's: it
        // is given up here as a failed transfer of it would be, and the candidate goes on.
        const auto other = std::find_if(candidateReplies_.cbegin(), candidateReplies_.cend(),
                                        [this](const QNetworkReply* reply) {
                                            const QString digest = downloadDigest(*reply);
                                            return !digest.isEmpty() && !candidatePageShows(digest);
                                        });
        if (other != candidateReplies_.cend()) {
            QNetworkReply* reply = *other;
            const QString digest = downloadDigest(*reply);
            const QString otherCode = isPackageDownload(*reply)
                                          ? QStringLiteral("application_package_download_failed")
                                          : QStringLiteral("content_download_failed");
            candidateReplies_.remove(reply);
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
            candidateDeadlineTimer_.start();
            skipCandidateMediaAndContinue(digest, otherCode, generation);
            return;
        }
        // A transfer of its own page still without an answer, or whose answer went silent, is
        // the origin's silence and no fault of the page: the failure aborts it, and the page
        // goes as one whose object did not come, with no answer to report.
        if (!candidateReplies_.isEmpty()) {
            const bool package = std::any_of(candidateReplies_.cbegin(), candidateReplies_.cend(),
                                             [](const QNetworkReply* reply) {
                                                 return isPackageDownload(*reply);
                                             });
            failCandidate(package ? QStringLiteral("application_package_download_failed")
                                  : QStringLiteral("content_download_failed"));
            return;
        }
    }
    failCandidate(QStringLiteral("page_ready_timeout"));
}

// The candidate always ends here. A failure of the page skips to the next one; a failure of the
// device, session, storage or account holds what plays, or shows the code with nothing on glass;
// an object its origin did not give holds once, then passes the page over.
void PlayerController::failCandidate(const QString& code)
{
    latchOverlayFailure(code);
    std::optional<PreparedPage> failed = std::exchange(candidate_, std::nullopt);
    if (failed) {
        postOwedTurn();
        // Dropped before its slot is cleared: the scene's answers to that may re-enter.
        modelForSlot(failed->slot)->clear();
        if (failed->adPresentation) {
            abandonAdCandidate(*failed, code);
            return;
        }
        cancelCandidateWork();
        if (failed->revisionChange)
            endUpdateHold();
        const bool inRange = failed->pageIndex >= 0 && failed->pageIndex < failed->manifest.pages.size();
        const Page* page = inRange ? &failed->manifest.pages.at(failed->pageIndex) : nullptr;
        logPlayback("candidate_failed",
                    {{QStringLiteral("page_id"), page ? page->id : QString()},
                     {QStringLiteral("code"), code},
                     {QStringLiteral("advance_mode"),
                      page ? page->advance.value(QLatin1String("mode")).toString() : QString()},
                     {QStringLiteral("ready"), QString::number(failed->readyPrimitives.size())},
                     {QStringLiteral("required"), QString::number(failed->requiredPrimitives.size())}});
        const QString heldKey =
            page ? failed->manifest.manifestRevision + unitSeparator + page->id : QString();
        switch (candidateFailureStep(code, activeSlot_ >= 0, downloadHeldPages_.contains(heldKey))) {
        case CandidateFailureStep::Skip:
            reportPageFailed(failed->manifest, failed->pageIndex, code);
            if (failed->pageIndex >= 0) {
                skipFailedPage(failed->pageIndex, code, failed->manifest, failed->manifestBody,
                               failed->revisionChange);
                return;
            }
            break;
        case CandidateFailureStep::PassOver:
            if (page) {
                passOverPage(*failed, code);
                return;
            }
            break;
        case CandidateFailureStep::Hold:
            if (page && downloadMayRecover(code))
                downloadHeldPages_.insert(heldKey);
            // The volume could not take its downloads: the storage sample takes it up again.
            if (failed->revisionChange && code == QLatin1String("content_storage_insufficient"))
                waitForRoom(failed->manifest, failed->manifestBody);
            break;
        }
    }
    candidateDeadlineTimer_.stop();

    cancelPendingStep("preparation_failed");
    if (activeSlot_ < 0)
        mediaItemTimer_.stop();
    else if (!failed || !keepsActiveClock(failed->manifest, failed->revisionChange))
        rearmActiveClock();
    playerState_.syncFailed(code);
    publishSyncGlyph(false, activeSlot_ < 0);
    // A turn to a page of the revision on glass whose object did not come holds no update: the
    // status stays that of the page that plays, and no hold is reported or shown.
    const bool turnLackedObject =
        activeSlot_ >= 0 && failed && !failed->revisionChange && downloadMayRecover(code);
    if (activeSlot_ < 0)
        setStatus(code);
    else if (turnLackedObject)
        setStatus(playingStatus());
    else
        setStatus(QStringLiteral("degraded_lkg_active"));
    // A new revision behind glass held by a fault of the device, the session or the volume
    // rather than of a page comes in again after a back-off: left idle, nothing would take it
    // up. One that waits for room is taken up by the storage sample.
    const bool heldAgain = downloadMayRecover(code)
                           || (activeSlot_ >= 0
                               && code != QLatin1String("content_storage_insufficient"));
    if (failed && failed->revisionChange && heldAgain
        && holdRevisionForRetry(std::move(failed->manifest), std::move(failed->manifestBody))) {
        postRecoverySweep();
        return;
    }
    tryActivateReplacement();
    postRecoverySweep();
}

// The page goes without its object until a repair run lands it: the origin's error is reported
// once in the revision, a connection that brought no answer (it may be this device's path) is
// recorded only.
void PlayerController::passOverPage(const PreparedPage& failed, const QString& code)
{
    const Page& page = failed.manifest.pages.at(failed.pageIndex);
    bool answered = false;
    for (const Primitive& primitive : page.primitives) {
        for (const PlanObject& object : planObjects(primitive))
            answered = answered || erroredHashes_.contains(object.sha256);
    }
    if (answered)
        reportPageFailed(failed.manifest, failed.pageIndex, code);
    logPlayback("page_passed_over", {{QStringLiteral("page_id"), page.id},
                                     {QStringLiteral("code"), code},
                                     {QStringLiteral("reported"),
                                      answered ? QStringLiteral("true") : QStringLiteral("false")}});
    recordFor(failed.manifest.manifestRevision).withheld.insert(failed.pageIndex);
    skipFailedPage(failed.pageIndex, code, failed.manifest, failed.manifestBody,
                   failed.revisionChange);
    armRepairRun(true);
}

bool PlayerController::holdRevisionForRetry(Manifest manifest, QByteArray manifestBody)
{
    if (revisionFetch())
        return false;
    const qint64 waitMs = nextDownloadBackoffMs();
    beginReplacement(std::move(manifest), std::move(manifestBody), true, true, downloadAttempt_,
                     waitMs);
    return true;
}

// The failed page is left out, until its object lands or its own fault has had time to pass; the
// next eligible page after it is prepared, unless that is what already plays.
void PlayerController::skipFailedPage(int failed, const QString& code, const Manifest& manifest,
                                      const QByteArray& manifestBody, bool revisionChange)
{
    const QString& revision = manifest.manifestRevision;
    PageRecord& pages = recordFor(revision);
    // A page that failed for a fault of its own would fail the same way whatever lands: no
    // round, re-plan or repair run takes it back, only the end of its wait.
    if (failedForWantOfObject(code))
        pages.unlanded.insert(failed);
    else
        noteOwnFailure(pages, failed);
    QList<int> remaining = eligibleNow(manifest);
    remaining.removeIf([&](int index) {
        return pages.unlanded.contains(index) || outForOwnFault(pages, index);
    });
    const int count = int(manifest.pages.size());
    const int next = count > 0 && !remaining.isEmpty() ? PageRotation::next(failed, remaining, count)
                                                       : -1;
    const bool onGlass = glassRevision() == revision;
    const bool withheldExcluded = pages.withheld.intersects(pages.unlanded);

    const bool nextIsOnGlass = onGlass && activePageIndex_ == next;
    if (next >= 0 && !nextIsOnGlass) {
        preparePage(manifest, manifestBody, next, revisionChange);
        return;
    }
    cancelPendingStep("no_prepared_page");
    if (activeSlot_ >= 0) {
        if (!keepsActiveClock(manifest, revisionChange)) {
            scheduleAdvance();
            scheduleMediaItemDeadline();
        }
    } else {
        mediaItemTimer_.stop();
        playerState_.syncFailed(code);
        publishSyncGlyph(false, true);
        setStatus(code);
    }
    // A new revision none of whose pages could be prepared for want of an object keeps coming
    // in, behind the page on glass or with nothing on glass, whatever failed last: left idle, it
    // would be taken as in hand and nothing would look for what it lacks.
    const bool lacksObject = downloadMayRecover(code) || withheldExcluded;
    if (revisionChange && lacksObject && holdRevisionForRetry(manifest, manifestBody))
        return;
    // Nothing is left of the candidate: with no update under way, what plays is all the screen
    // says, not the preparation or hold of a page that is gone.
    if (activeSlot_ >= 0 && !revisionFetch())
        setStatus(playingStatus());
    // A run beside a first page that has nothing left to fetch ends with its candidate.
    if (activeSlot_ >= 0 || (replacement_ && !replacement_->activateWhenDrained))
        tryActivateReplacement();
}

// An operator step waiting for the candidate that just went away will not happen.
void PlayerController::cancelPendingStep(const char* reason)
{
    if (pendingStepDirection_ == 0)
        return;
    logPlayback("manual_navigation", {{QStringLiteral("disposition"), QStringLiteral("cancelled")},
                                      {QStringLiteral("reason"), QLatin1String(reason)}});
    pendingStepDirection_ = 0;
}

} // namespace talvorine
