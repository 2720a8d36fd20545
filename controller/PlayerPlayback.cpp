// Activation and transitions, page rotation and visibility, media timing within a page,
// playback reports, and what happens to a candidate that fails.

#include "controller/PlayerPlayback.h"

#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "manifest/ScheduleContract.h"
#include "overlay/OverlayPolicy.h"

#include <QRegularExpression>
#include <QSet>
#include <QVariantMap>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

const QChar unitSeparator(0x1F);

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

void PlayerController::scheduleAdvance() {}
void PlayerController::advancePage() {}
void PlayerController::evaluateVisibility() {}

// The pages that may be shown now: by schedule, never an ad slot, and admitted by the plan.
QList<int> PlayerController::eligibleNow(const Manifest& manifest) const
{
    QList<std::optional<PageVisibility>> schedules;
    schedules.reserve(manifest.pages.size());
    for (const Page& page : manifest.pages)
        schedules.append(page.visibility);
    const std::optional<ZonedCivilTime> civil =
        ScheduleEvaluator::civilTime(clock_->nowMs(), manifest.timezone);
    QList<int> eligible;
    for (const int index : ScheduleEvaluator::eligibleIndices(schedules, civil)) {
        if (manifest.pages.at(index).type != PageType::adslot
            && pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, manifest, index))
            eligible.append(index);
    }
    return eligible;
}

// The eligible pages that rotation may turn to: not those still waiting for their objects or
// excluded after a failure in this revision.
QList<int> PlayerController::rotatableNow(const Manifest& manifest) const
{
    QList<int> rotatable = eligibleNow(manifest);
    if (unlandedRevision_ == manifest.manifestRevision)
        rotatable.removeIf([this](int index) { return unlandedPages_.contains(index); });
    return rotatable;
}

// --- Media timing --------------------------------------------------------------------------

// The deadline belongs to the primitive that armed it, not to whichever image comes first.
void PlayerController::mediaItemDeadlineReached()
{
    if (!mediaItemTimerPrimitive_.isEmpty())
        handleMediaItemEnded(mediaItemTimerPrimitive_);
}

void PlayerController::scheduleMediaItemDeadline() {}
void PlayerController::handleMediaItemEnded(const QString&) {}
void PlayerController::videoEndOfStream(int, const QString&) {}

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
}

void PlayerController::retireOutgoingSlot() {}
void PlayerController::armObjectEnter() {}
void PlayerController::setSlotPose(int, double, int, int) {}

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

void PlayerController::videoStarted(int, const QString&) {}
void PlayerController::handlePlaybackReportFailed(const QString&, const QString&, const QString&,
                                                  int)
{
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

// --- Candidate failure ---------------------------------------------------------------------

void PlayerController::candidateDeadlineReached()
{
    failCandidate(QStringLiteral("page_ready_timeout"));
}

// The candidate always ends here. A failure of the page skips to the next one; a failure of the
// device, session, storage or account holds what plays, or shows the code with nothing on glass.
void PlayerController::failCandidate(const QString& code)
{
    latchOverlayFailure(code);
    std::optional<PreparedPage> failed = std::exchange(candidate_, std::nullopt);
    if (failed) {
        // Dropped before its slot is cleared: the scene's answers to that may re-enter.
        modelForSlot(failed->slot)->clear();
        cancelCandidateWork();
        if (failed->adPresentation) {
            logPlayback("ad_candidate_failed",
                        {{QStringLiteral("decision_id"), failed->adDecisionId},
                         {QStringLiteral("occurrence_id"), failed->adOccurrenceId},
                         {QStringLiteral("code"), code}});
            return;
        }
        const bool inRange = failed->pageIndex >= 0 && failed->pageIndex < failed->manifest.pages.size();
        const Page* page = inRange ? &failed->manifest.pages.at(failed->pageIndex) : nullptr;
        logPlayback("candidate_failed",
                    {{QStringLiteral("page_id"), page ? page->id : QString()},
                     {QStringLiteral("code"), code},
                     {QStringLiteral("advance_mode"),
                      page ? page->advance.value(QLatin1String("mode")).toString() : QString()},
                     {QStringLiteral("ready"), QString::number(failed->readyPrimitives.size())},
                     {QStringLiteral("required"), QString::number(failed->requiredPrimitives.size())}});
        if (isPagePrepareSkipCode(code)) {
            reportPageFailed(failed->manifest, failed->pageIndex, code);
            if (failed->pageIndex >= 0) {
                skipFailedPage(failed->pageIndex, code, failed->manifest, failed->manifestBody,
                               failed->revisionChange);
                return;
            }
        }
    }
    candidateDeadlineTimer_.stop();

    cancelPendingStep("preparation_failed");
    if (activeSlot_ >= 0)
        rearmActiveClock();
    else
        mediaItemTimer_.stop();
    playerState_.syncFailed(code);
    publishSyncGlyph(false, activeSlot_ < 0);
    setStatus(activeSlot_ >= 0 ? QStringLiteral("degraded_lkg_active") : code);
    tryActivateReplacement();
}

// The failed page is left out for the rest of the revision; the next eligible page after it is
// prepared, unless that is what already plays.
void PlayerController::skipFailedPage(int failed, const QString& code, const Manifest& manifest,
                                      const QByteArray& manifestBody, bool revisionChange)
{
    if (unlandedRevision_ != manifest.manifestRevision)
        unlandedPages_.clear();
    QSet<int> excluded = unlandedPages_;
    excluded.insert(failed);
    QList<int> remaining = eligibleNow(manifest);
    remaining.removeIf([&excluded](int index) { return excluded.contains(index); });
    const int count = int(manifest.pages.size());
    const int next = count > 0 && !remaining.isEmpty() ? PageRotation::next(failed, remaining, count)
                                                       : -1;
    unlandedPages_ = excluded;
    unlandedRevision_ = manifest.manifestRevision;

    const bool nextIsOnGlass = activeSlot_ >= 0 && activeManifest_
                               && activeManifest_->manifestRevision == manifest.manifestRevision
                               && activePageIndex_ == next;
    if (next >= 0 && !nextIsOnGlass) {
        preparePage(manifest, manifestBody, next, revisionChange);
        return;
    }
    cancelPendingStep("no_prepared_page");
    if (activeSlot_ >= 0) {
        scheduleAdvance();
        scheduleMediaItemDeadline();
        tryActivateReplacement();
        return;
    }
    mediaItemTimer_.stop();
    playerState_.syncFailed(code);
    publishSyncGlyph(false, true);
    setStatus(code);
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
