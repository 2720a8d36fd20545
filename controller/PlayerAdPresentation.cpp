// An ad on glass: the verified creative is staged as a page of its own on the idle stage, the
// rotation activates it when it reaches the adslot run, and the visit gathers the evidence the
// service pays by: the first frame really presented, a video clock that moves, and an end that
// says "completed" or "interrupted". A staged ad never holds the rotation up: it yields to the
// next content page and is staged again at its own run.

#include "controller/PlayerController.h"

#include "ads/AdPolicy.h"
#include "ads/AdPresentation.h"
#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "manifest/LayoutContract.h"
#include "storage/Saturating.h"

#include <QImageReader>

namespace talvorine {

namespace {

using State = AdOccurrence::State;

constexpr int candidateDeadlineMs = 60000;

bool finalState(State state)
{
    return state >= State::Presenting;
}

bool isVideo(const AdOccurrence::Resolved& decision)
{
    return decision.kind == QLatin1String("video");
}

// How long an ad staged at its run may take to report ready while the page before it stays: no
// longer than its start window stays open, after which it could only be refused as late.
int readinessWaitMs(const AdOccurrence::Resolved& decision, qint64 nowHiMs)
{
    return int(std::min<qint64>(adStartWindowLeftMs(decision, nowHiMs).value_or(candidateDeadlineMs),
                                candidateDeadlineMs));
}

// The header alone is read; both sides must be positive. The size is the picture's as shown:
// a photograph whose orientation turns it on its side is as wide as it is stored high.
std::optional<QSize> imageHeaderSize(const QString& path)
{
    QImageReader reader(path);
    QSize size = reader.size();
    if (reader.transformation().testFlag(QImageIOHandler::TransformationRotate90))
        size.transpose();
    if (size.width() > 0 && size.height() > 0)
        return size;
    return std::nullopt;
}

} // namespace

// --- What the playback side asks -----------------------------------------------------------

bool PlayerController::adPresentationShows(const QString& primitiveId, quint64 generation) const
{
    return adActive_ && generation == adVisitSerial_ && primitiveId == adVisitPrimitiveId_;
}

bool PlayerController::adImageOnGlass(quint64 generation) const
{
    return adActive_ && generation == adVisitSerial_ && !isVideo(adVisitDecision_);
}

bool PlayerController::adVisitAdmitted() const
{
    return adRunRequested_;
}

// An image ran its duration from its first frame; a video reached its end after its clock was
// seen moving. Either only while the lease still holds.
bool PlayerController::adPresentationCompleted(bool endOfStream) const
{
    if (adStartedAtMs_ < 1 || !adLeaseStillValid(adVisitDecision_, adNowHiMs()))
        return false;
    if (endOfStream)
        return adLastProgressMs_ > 0;
    return !isVideo(adVisitDecision_) && adFirstFrameClock_.elapsedMs() >= adVisitDurationMs_;
}

bool PlayerController::adCandidateStaged() const
{
    return candidate_ && candidate_->adPresentation;
}

bool PlayerController::adStagedFor(const QString& occurrenceId) const
{
    return adCandidateStaged() && candidate_->adOccurrenceId == occurrenceId;
}

// --- Staging -------------------------------------------------------------------------------

void PlayerController::prepareAdPresentation(AdOccurrence& occurrence)
{
    // The ad stands in for pages of the rotation on glass; with none there is no run to reach.
    if (!occurrence.resolved || adActive_ || candidate_ || !activeManifest_ || activeSlot_ < 0)
        return;
    // Until the page on glass has come in, the idle stage still shows the page it replaces, and
    // the end of the entry clears that stage: the ad is staged once it is free.
    if (incomingEntryRunning()) {
        adStagedAfterEntry_ = occurrence.id;
        return;
    }
    const AdOccurrence::Resolved decision = *occurrence.resolved;
    const int pageIndex = int(std::find_if(activeManifest_->pages.cbegin(),
                                           activeManifest_->pages.cend(),
                                           [&](const Page& p) { return p.id == occurrence.pageId; })
                              - activeManifest_->pages.cbegin());
    if (pageIndex >= activeManifest_->pages.size())
        return;
    const std::optional<QString> path = adCache_->readyPath(decision.sha256, decision.bytes, nullptr);
    if (!path)
        return;
    const QUrl file = QUrl::fromLocalFile(*path);
    const std::optional<QSize> imageSize =
        decision.kind == QLatin1String("image") ? imageHeaderSize(*path) : std::nullopt;
    const Page page = AdPresentation::page(occurrence.id, decision, file, frameSize_, imageSize);
    const LayoutResult layout = LayoutContract::resolveLayout(page, frameSize_);
    if (!std::holds_alternative<ResolvedPage>(layout)) {
        retireAdPreparation(decision.decisionId, QStringLiteral("ad_layout_invalid"));
        return;
    }

    // The candidate carries the manifest on glass at the adslot page, so that rotation goes on
    // from there once the ad has been shown; only the stage shows the ad page.
    PreparedPage prepared;
    prepared.manifest = *activeManifest_;
    prepared.manifestBody = activeManifestBody_;
    prepared.pageIndex = pageIndex;
    prepared.slot = activeSlot_ == 0 ? 1 : 0;
    prepared.generation = ++nextCandidateGeneration_;
    prepared.reason = QStringLiteral("ad");
    const QString primitiveId = page.primitives.first().id;
    prepared.requiredPrimitives = {primitiveId};
    prepared.plannedMedia = activeContentKeys_;
    prepared.plannedMedia.insert(decision.sha256);
    prepared.adPresentation = true;
    prepared.adOccurrenceId = occurrence.id;
    prepared.adDecisionId = decision.decisionId;
    prepared.adPrimitiveId = primitiveId;
    heldVideoStarts_.remove(prepared.slot);
    adAdvance_ = page.advance;

    // No candidate was staged, so the replies in flight are other creatives' downloads: they go
    // on. The ad page has no work of its own to cancel.
    candidateCancel_->store(true, std::memory_order_release);
    candidateCancel_ = std::make_shared<std::atomic<bool>>(false);
    const int slot = prepared.slot;
    const quint64 generation = prepared.generation;
    candidate_ = std::move(prepared);
    playerState_.candidateFetched(activeManifest_->manifestRevision);
    if (occurrence.state != State::Downloading)
        setAdState(occurrence, State::Downloading);

    StageLayoutModel* model = modelForSlot(slot);
    model->setScene(page, std::get<ResolvedPage>(layout), activeManifest_->screenId, generation,
                    frameSize_);
    if (!candidateOwns(generation))
        return;
    model->bindVerifiedMediaFile(primitiveId, file);
    setStatus(QStringLiteral("preparing_candidate"));
    if (candidateOwns(generation))
        Q_EMIT candidateAwaitingReadiness(slot, {primitiveId});
}

// An ad staged for a later run gives the idle stage back to the next content page; its
// occurrence is ready again and is staged anew when its own run comes.
void PlayerController::yieldAdCandidate()
{
    if (!adCandidateStaged() || adActive_)
        return;
    const PreparedPage yielded = std::exchange(candidate_, std::nullopt).value();
    modelForSlot(yielded.slot)->clear();
    candidateDeadlineTimer_.stop();
    adRunRequested_ = false;
    AdOccurrence* occurrence = occurrenceForId(yielded.adOccurrenceId);
    if (occurrence && occurrence->state == State::Downloading)
        setAdState(*occurrence, State::Ready);
    DevFileLog::record(QStringLiteral("ad.candidate_yielded"),
                       {{QStringLiteral("occurrence_id"), yielded.adOccurrenceId},
                        {QStringLiteral("decision_id"), yielded.adDecisionId}});
}

void PlayerController::stageAdAfterEntry()
{
    AdOccurrence* occurrence = occurrenceForId(std::exchange(adStagedAfterEntry_, {}));
    if (occurrence && occurrence->state == State::Ready)
        prepareAdPresentation(*occurrence);
}

// A failed ad candidate is never tried again, and the page on glass rotates on as if the ad had
// not been there.
void PlayerController::abandonAdCandidate(const PreparedPage& failed, const QString& code)
{
    candidateDeadlineTimer_.stop();
    adRunRequested_ = false;
    logPlayback("ad_candidate_failed", {{QStringLiteral("decision_id"), failed.adDecisionId},
                                        {QStringLiteral("occurrence_id"), failed.adOccurrenceId},
                                        {QStringLiteral("code"), code}});
    if (AdOccurrence* occurrence = occurrenceForId(failed.adOccurrenceId))
        expireAdOccurrence(*occurrence);
    rearmActiveClock();
}

void PlayerController::expireAdOccurrence(AdOccurrence& occurrence)
{
    if (finalState(occurrence.state))
        return;
    releaseUnplayedAdReservation(occurrence);
    setAdState(occurrence, State::Expired);
}

// --- The run visit -------------------------------------------------------------------------

bool PlayerController::tryAdVisitRun(int from, int to)
{
    if (!activeManifest_)
        return false;
    const qint64 hi = adNowHiMs();
    const qint64 lo = adNowLoMs();
    const QList<int> run = AdPolicy::adslotRunBetween(*activeManifest_, from, to, hi);
    if (run.isEmpty() || hi < 1)
        return false;
    // An ad staged ahead for a later run gives the stage to this run's.
    if (adCandidateStaged() && !adRunRequested_) {
        const AdOccurrence* waiting = occurrenceForId(candidate_->adOccurrenceId);
        if (!waiting || !run.contains(waiting->pageIndex))
            yieldAdCandidate();
    }
    const QList<Page> pages = activeManifest_->pages;
    for (const int index : run) {
        if (index < 0 || index >= pages.size())
            continue;
        AdOccurrence* occurrence = occurrenceForPage(pages.at(index).id);
        if (!occurrence || !occurrence->resolved)
            continue;
        const QString occurrenceId = occurrence->id;
        const AdOccurrence::Resolved decision = *occurrence->resolved;
        const bool stagedHere = adStagedFor(occurrenceId);
        if (occurrence->state != State::Ready
            && !(occurrence->state == State::Downloading && stagedHere))
            continue;
        if (!adLeaseStillValid(decision, hi) || !adStartWindowOpen(decision, lo, hi, 0)) {
            expireAdOccurrence(*occurrence);
            continue;
        }
        if (!candidate_) {
            // Staged now: the scene reports it ready on a later frame, and the gate activates it
            // then while the page on glass stays; the deadline ends the wait, "skipped", once
            // the ad could no longer start. The page on glass is leaving, so its entry cannot
            // hold the idle stage any longer.
            finishIncomingEntry();
            prepareAdPresentation(*occurrence);
            if (adStagedFor(occurrenceId)) {
                adRunRequested_ = true;
                candidateDeadlineTimer_.start(readinessWaitMs(decision, hi));
                maybeActivate();
                return true;
            }
            if (AdOccurrence* left = occurrenceForId(occurrenceId))
                expireAdOccurrence(*left);
            continue;
        }
        if (!stagedHere) {
            expireAdOccurrence(*occurrence);
            continue;
        }
        if (!candidate_->readyPrimitives.contains(candidate_->adPrimitiveId)) {
            failCandidate(QStringLiteral("ad_not_ready"));
            continue;
        }
        adRunRequested_ = true;
        maybeActivate();
        if (adCandidateStaged())
            candidateDeadlineTimer_.start(readinessWaitMs(decision, hi));
        return true;
    }
    return false;
}

// --- The visit -----------------------------------------------------------------------------

void PlayerController::beginAdPresentation(quint64 generation, const QString& occurrenceId,
                                           const QString& decisionId, const QString& primitiveId)
{
    adVisitOccurrenceId_ = occurrenceId;
    adVisitPrimitiveId_ = primitiveId;
    adVisitSerial_ = generation;
    AdOccurrence* occurrence = occurrenceForId(occurrenceId);
    // Planning gave the decision up meanwhile: the page shows, but no visit is opened for it.
    if (!occurrence || !occurrence->resolved || occurrence->resolved->decisionId != decisionId) {
        adRunRequested_ = false;
        return;
    }
    adActive_ = true;
    setAdState(*occurrence, State::Presenting);
    adVisitDecision_ = *occurrence->resolved;
    adVisitMediaDigest_ = adVisitDecision_.sha256;
    adVisitDurationMs_ = adVisitDecision_.durationMs;
    adStartedAtMs_ = 0;
    adLastProgressMs_ = -1;
    adLastProgressAtMs_ = 0;
    adFirstFramePending_ = false;
    adVisitSeenMs_ = 0;
    adVisitClock_.start();
    pruneAdCache();
    Q_EMIT adActiveChanged();
    adStallTimer_.start(AdPresentation::stallTickMs);
}

// The render thread's answer, on the GUI thread: a first frame that was waiting for its scene to
// reach the glass is judged again.
void PlayerController::handleWindowFramePresented()
{
    if (std::exchange(adFirstFramePending_, false))
        adReportFirstFrame();
}

void PlayerController::adReportFirstFrame()
{
    if (!adActive_ || adStartedAtMs_ >= 1)
        return;
    if (activeGeneration_ > presentedSceneSerial()) {
        adFirstFramePending_ = true;
        return;
    }
    const qint64 hi = adNowHiMs();
    const qint64 lo = adNowLoMs();
    const QHash<QString, QString> ids{{QStringLiteral("occurrence_id"), adVisitOccurrenceId_},
                                      {QStringLiteral("decision_id"), adVisitDecision_.decisionId}};
    if (activeGeneration_ == adVisitSerial_ && hi > 0 && lo > 0
        && adStartWindowOpen(adVisitDecision_, lo, hi, 0)) {
        adStartedAtMs_ = lo;
        adFirstFrameClock_.start();
        adLastProgressAtMs_ = adVisitClock_.elapsedMs();
        logPlayback("ad_first_visible_frame", ids);
        enqueueAdEvent(QStringLiteral("started"), 0);
        // An image stays its duration from the frame it was first seen in.
        if (!isVideo(adVisitDecision_))
            scheduleAdvance();
        return;
    }
    logPlayback("ad_late_first_frame", {{QStringLiteral("occurrence_id"), adVisitOccurrenceId_}});
    finishAdPresentation(false);
    endAdVisit(true);
}

void PlayerController::adProgressSample(int slot, const QString& primitiveId, qint64 positionMs,
                                        qint64)
{
    if (!adActive_ || slot != activeSlot_ || primitiveId != adVisitPrimitiveId_
        || activeGeneration_ != adVisitSerial_ || positionMs <= adLastProgressMs_)
        return;
    adLastProgressMs_ = positionMs;
    adLastProgressAtMs_ = adVisitClock_.elapsedMs();
}

void PlayerController::adStallTick()
{
    if (!adActive_) {
        adStallTimer_.stop();
        return;
    }
    // A visit cut by a stop from here on ends, at the next start, no earlier than this.
    if (adStartedAtMs_ > 0
        && adFirstFrameClock_.elapsedMs() - adVisitSeenMs_ >= AdPresentation::visitCheckpointMs) {
        adVisitSeenMs_ = adFirstFrameClock_.elapsedMs();
        adOutbox_.markVisitSeen(QDateTime::fromMSecsSinceEpoch(
            saturating::add(adStartedAtMs_, adVisitSeenMs_), Qt::UTC));
    }
    const qint64 hi = adNowHiMs();
    bool ended = hi < 1 || activeGeneration_ != adVisitSerial_
                 || !adLeaseStillValid(adVisitDecision_, hi);
    if (!ended && isVideo(adVisitDecision_)) {
        const qint64 visitMs = adVisitClock_.elapsedMs();
        ended = AdPresentation::videoStalled({.firstFrame = adStartedAtMs_ >= 1,
                                              .visitMs = visitMs,
                                              .firstFrameMs = adFirstFrameClock_.elapsedMs(),
                                              .stillMs = visitMs - adLastProgressAtMs_,
                                              .durationMs = adVisitDurationMs_});
    }
    if (!ended)
        return;
    finishAdPresentation(false);
    endAdVisit(true);
}

void PlayerController::finishAdPresentation(bool completed)
{
    if (!adActive_)
        return;
    adStallTimer_.stop();
    adActive_ = false;
    Q_EMIT adActiveChanged();
    // The ad page left glass before its end was known: nothing can be said about it.
    if (activeGeneration_ != adVisitSerial_)
        return;
    const qint64 durationMs = adStartedAtMs_ > 0 ? adFirstFrameClock_.elapsedMs() : 0;
    enqueueAdEvent(completed ? QStringLiteral("completed") : QStringLiteral("interrupted"),
                   durationMs);
    logPlayback(completed ? "ad_completed" : "ad_interrupted",
                {{QStringLiteral("occurrence_id"), adVisitOccurrenceId_},
                 {QStringLiteral("duration_ms"), QString::number(durationMs)},
                 {QStringLiteral("kind"), adVisitDecision_.kind}});
}

void PlayerController::interruptAdPresentation()
{
    finishAdPresentation(false);
}

void PlayerController::endAdVisit(bool advance)
{
    if (AdOccurrence* occurrence = occurrenceForId(adVisitOccurrenceId_)) {
        if (occurrence->state == State::Presenting)
            setAdState(*occurrence, State::Visited);
        occurrence->reservationReleased = true;
    }
    if (adActive_)
        finishAdPresentation(false);
    adActive_ = false;
    adRunRequested_ = false;
    adVisitMediaDigest_.clear();
    adVisitOccurrenceId_.clear();
    adVisitPrimitiveId_.clear();
    pruneAdCache();
    adLastProgressMs_ = -1;
    adStartedAtMs_ = 0;
    adFirstFramePending_ = false;
    if (advance)
        commitPageAdvance();
}

} // namespace talvorine
