// The ad planner: four times a second it forecasts when the rotation reaches each adslot page,
// keeps one occurrence per forecast page, asks the service to fill those about to arrive,
// applies the answers, renews the leases of ready decisions, and reports every decision that
// will not be played as "skipped". The rules are AdPlanner's; this unit carries them out.

#include "controller/PlayerController.h"

#include "ads/AdPlanner.h"
#include "ads/AdPolicy.h"
#include "controller/PlayerDiagnostics.h"
#include "storage/Saturating.h"

#include <QUuid>

#include <algorithm>

namespace talvorine {

namespace {

using State = AdOccurrence::State;

const Page* pageAt(const std::optional<Manifest>& manifest, int index)
{
    if (!manifest || index < 0 || index >= manifest->pages.size())
        return nullptr;
    return &manifest->pages.at(index);
}

QString newOccurrenceId()
{
    return QStringLiteral("occ_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

template <typename Match>
AdOccurrence* findOccurrence(QList<AdOccurrence>& occurrences, Match match)
{
    const auto found = std::find_if(occurrences.begin(), occurrences.end(), match);
    return found == occurrences.end() ? nullptr : &*found;
}

} // namespace

// --- Queries -------------------------------------------------------------------------------

bool PlayerController::adsActive() const
{
    if (!transport_.adslotsNegotiated() || !activeManifest_)
        return false;
    const QList<Page>& pages = activeManifest_->pages;
    return std::any_of(pages.cbegin(), pages.cend(),
                       [](const Page& page) { return page.type == PageType::adslot; });
}

bool PlayerController::adActive() const
{
    return adActive_;
}

// Without a service-clock band the ad functions take 0 as now.
qint64 PlayerController::adNowLoMs() const
{
    return transport_.serverNowHiMs() > 0 ? transport_.serverNowLoMs() : 0;
}

qint64 PlayerController::adNowHiMs() const
{
    return std::max<qint64>(transport_.serverNowHiMs(), 0);
}

// Where planning reads the service's now: the band once a resolve has answered; before that the
// machine's clock, corrected by the offset that the session's identity exchange measured, so that
// the first arrivals are forecast, and asked for, when they are due. Evidence never reads it.
qint64 PlayerController::adPlanningNowMs() const
{
    const qint64 hi = adNowHiMs();
    return hi > 0 ? hi : saturating::add(clock_->nowMs(), transport_.clockOffsetMs());
}

QDateTime PlayerController::adEvidenceStamp() const
{
    const qint64 lo = adNowLoMs();
    return QDateTime::fromMSecsSinceEpoch(lo >= 1 ? lo : clock_->nowMs(), Qt::UTC);
}

AdOccurrence* PlayerController::occurrenceForPage(const QString& pageId)
{
    return findOccurrence(adOccurrences_, [&](const AdOccurrence& o) { return o.pageId == pageId; });
}

AdOccurrence* PlayerController::occurrenceForId(const QString& occurrenceId)
{
    return findOccurrence(adOccurrences_,
                          [&](const AdOccurrence& o) { return o.id == occurrenceId; });
}

AdOccurrence* PlayerController::occurrenceForDecisionId(const QString& decisionId)
{
    return findOccurrence(adOccurrences_, [&](const AdOccurrence& o) {
        return o.resolved && o.resolved->decisionId == decisionId;
    });
}

bool PlayerController::adslotPageEligible(int pageIndex, qint64 nowMs) const
{
    return activeManifest_ && AdPolicy::adslotPageEligible(*activeManifest_, pageIndex, nowMs);
}

QList<int> PlayerController::upcomingAdslotRun(int fromIndex, int toIndex) const
{
    if (!activeManifest_)
        return {};
    return AdPolicy::adslotRunBetween(*activeManifest_, fromIndex, toIndex, adNowHiMs());
}

bool PlayerController::hintValid(const QString& pageId, qint64 monotonicMs) const
{
    const auto hint = adPageHints_.constFind(pageId);
    return hint != adPageHints_.cend() && *hint > monotonicMs;
}

void PlayerController::holdAdPage(const QString& pageId, qint64 holdMs)
{
    adPageHints_.insert(pageId, saturating::add(transport_.monotonicMs(), holdMs));
}

AdForecastCandidate PlayerController::forecastCandidateFor(const AdOccurrence& occurrence,
                                                           qint64 nowMs) const
{
    return AdPlanner::forecastCandidate(occurrence, nowMs, clock_->nowMs());
}

QString PlayerController::adPageOnGlass() const
{
    const Page* page = pageAt(activeManifest_, activePageIndex_);
    return page ? page->id : QString();
}

// How long the page on glass stays: what its page timer has left, or for a video ad what its
// creative has left to play. An adslot page on glass, or a page without a running clock, counts
// as leaving now.
qint64 PlayerController::adPageRemainingMs() const
{
    if (adActive_ && adVisitDecision_.kind == QLatin1String("video") && adVisitDurationMs_ > 0)
        return std::max<qint64>(0, adVisitDurationMs_ - std::max<qint64>(0, adLastProgressMs_));
    const Page* page = pageAt(activeManifest_, activePageIndex_);
    if (!page || page->type == PageType::adslot || !pageClock_.isValid())
        return 0;
    return std::max<qint64>(0, pageDwellMs_ - pageClock_.elapsedMs());
}

// The conditions under which no ad may be planned or asked for.
bool PlayerController::adMaintenanceStopped() const
{
    return screenArchived_ || fatalVisible() || playbackPolicy_.paused() || !online_
        || !transport_.hasRuntimeSession() || assignmentHeld_ || sessionRevokedWhilePlaying_;
}

// --- The state machine ---------------------------------------------------------------------

void PlayerController::setAdState(AdOccurrence& occurrence, AdOccurrence::State state)
{
    const AdOccurrence::State from = occurrence.state;
    occurrence.state = state;
    if (adStateObserver_)
        adStateObserver_(occurrence, from);
}

// --- Planning ------------------------------------------------------------------------------

void PlayerController::adPlannerTick()
{
    if (!adsActive()) {
        if (!adOccurrences_.isEmpty() || adActive_)
            resetAdPlanning(QStringLiteral("no_adslots"));
        return;
    }
    flushAdOutbox();
    const qint64 now = adPlanningNowMs();
    const qint64 monotonic = transport_.monotonicMs();
    for (AdOccurrence& occurrence : adOccurrences_) {
        if (occurrence.state == State::Empty && !hintValid(occurrence.pageId, monotonic))
            setAdState(occurrence, State::Expired);
    }
    if (!AdPlanner::planningSkippable(adOccurrences_, adActive_, adPageOnGlass(),
                                      adPlannedAtPage_))
        planAds();
    if (playbackPolicy_.paused() || !online_)
        return;
    maybeRenewReadyLeases(now);
    if (adResolveInFlight_)
        return;
    const QList<AdForecastCandidate> batch =
        AdPlanner::resolveBatch(adOccurrences_, now, monotonic, adPageHints_);
    // An occurrence turns Resolving only when its request really goes out; otherwise it stays
    // Planned and is asked for on a later tick.
    if (batch.isEmpty() || !resolveSendAllowed())
        return;
    for (const AdForecastCandidate& candidate : batch) {
        if (AdOccurrence* occurrence = occurrenceForId(candidate.occurrenceId))
            setAdState(*occurrence, State::Resolving);
    }
    sendResolveBatch(batch);
}

void PlayerController::planAds()
{
    if (!activeManifest_)
        return;
    if (!transport_.adslotsNegotiated()) {
        if (!adOccurrences_.isEmpty())
            resetAdPlanning(QStringLiteral("capability_unavailable"));
        return;
    }
    if (adMaintenanceStopped()) {
        if (!adOccurrences_.isEmpty() || adActive_)
            resetAdPlanning(QStringLiteral("maintenance_stopped"));
        return;
    }
    const qint64 now = adPlanningNowMs();
    // While the rotation turns to its next page, the adslot run before that page has been passed
    // over already: arrivals are forecast from the page it turns to, its turn still whole.
    // Forecast from the page still on glass, the run would seem to arrive now, and the service
    // would be asked to fill an arrival the rotation can no longer show.
    const Page* turningTo = candidate_ && !candidate_->adPresentation && !adActive_
            && activeSlot_ >= 0
            && candidate_->manifest.manifestRevision == activeManifest_->manifestRevision
        ? pageAt(activeManifest_, candidate_->pageIndex)
        : nullptr;
    // A page of no known length ends the forecast, as it does from the page on glass.
    QList<AdPolicy::AdForecastPoint> forecast;
    if (!turningTo) {
        forecast = AdPolicy::adForecastEntries(*activeManifest_, activePageIndex_,
                                               adPageRemainingMs(), now);
    } else if (const std::optional<qint32> dwell = AdPolicy::adForecastDwell(*turningTo)) {
        const int entryMs = turningTo->transition.value(QLatin1String("durationMs")).toInt(0);
        forecast = AdPolicy::adForecastEntries(*activeManifest_, candidate_->pageIndex,
                                               qint64(*dwell) + entryMs, now);
    }
    AdPlanner::PlanOutcome outcome =
        AdPlanner::planOccurrences(adOccurrences_, *activeManifest_, forecast,
                                   adActive_ ? adVisitOccurrenceId_ : QString(), newOccurrenceId);
    // The new list first: the cache prune that each release asks for then keeps only what is
    // still planned.
    adOccurrences_ = std::move(outcome.occurrences);
    adPlannedAtPage_ = adPageOnGlass();
    const auto drop = [this](QList<AdOccurrence>& dropped, const char* event) {
        for (AdOccurrence& occurrence : dropped) {
            releaseUnplayedAdReservation(occurrence);
            logPlayback(event, {{QStringLiteral("page_id"), occurrence.pageId},
                                {QStringLiteral("occurrence_id"), occurrence.id}});
        }
    };
    drop(outcome.abandoned, "ad_arrival_abandoned");
    drop(outcome.passed, "ad_forecast_passed");
    // An ad staged ahead for an arrival given up can never be shown: held, it would keep the
    // idle stage and count as an update under way until the next turn of the page on glass.
    if (adCandidateStaged() && !adRunRequested_ && !occurrenceForId(candidate_->adOccurrenceId))
        yieldAdCandidate();
}

// --- Resolve -------------------------------------------------------------------------------

bool PlayerController::resolveSendAllowed() const
{
    return adsActive() && !adResolveInFlight_ && transport_.hasRuntimeSession();
}

// True when the batch was handed to the runtime client. Its refusals may answer before this
// returns, so callers change their occurrences first and only once this is sure to send.
bool PlayerController::sendResolveBatch(const QList<AdForecastCandidate>& batch)
{
    if (!resolveSendAllowed())
        return false;
    adResolveGeneration_ = adPlanningGeneration_;
    adResolveInFlight_ = true;
    transport_.resolveAdslots(activeManifest_->manifestRevision, batch);
    return true;
}

void PlayerController::handleAdSlotsResolved(const AdResolveReply& reply)
{
    adResolveInFlight_ = false;
    if (adResolveGeneration_ != adPlanningGeneration_)
        return;
    const qint64 roundTrip = transport_.lastResolveRoundTripMs();
    if (roundTrip > 0 && reply.serverTime.isValid())
        transport_.mergeServerTimeSample(reply.serverTime.toMSecsSinceEpoch(), roundTrip);
    const qint64 now = adNowHiMs();
    const QDateTime nowStamp = QDateTime::fromMSecsSinceEpoch(now, Qt::UTC);
    for (const AdResolveResult& result : reply.results) {
        // Looked up afresh for each result: a download may retire its occurrence at once.
        AdOccurrence* occurrence = occurrenceForId(result.occurrenceId);
        if (!occurrence || occurrence->checkSequence != result.checkSequence)
            continue;
        const bool filled = result.state == QLatin1String("filled");
        if (occurrence->state == State::Resolving) {
            if (filled) {
                occurrence->resolved = AdPlanner::decisionOf(result);
                occurrence->resolvedAt = nowStamp;
                setAdState(*occurrence, State::Downloading);
                downloadAdContent(*occurrence);
            } else {
                setAdState(*occurrence, State::Empty);
                holdAdPage(occurrence->pageId, AdPlanner::emptyHoldMs(result, adPlanningNowMs()));
            }
        } else if (occurrence->resolved
                   && (occurrence->state == State::Ready || adStagedFor(occurrence->id))) {
            applyAdRenewal(*occurrence, result, nowStamp);
        }
    }
    for (AdOccurrence& occurrence : adOccurrences_) {
        if (occurrence.state != State::Resolving)
            continue;
        setAdState(occurrence, State::Planned);
        holdAdPage(occurrence.pageId, AdPlanner::retryHoldMs(-1));
    }
}

// A renewal's answer, for a decision waiting in the ad cache or staged on the idle stage. A
// staged ad keeps its stage when the creative stays the same: its visit takes the new lease.
void PlayerController::applyAdRenewal(AdOccurrence& occurrence, const AdResolveResult& result,
                                      const QDateTime& nowStamp)
{
    const bool filled = result.state == QLatin1String("filled");
    const bool sameCreative = filled && result.sha256 == occurrence.resolved->sha256
        && result.bytes == occurrence.resolved->bytes;
    const bool staged = adStagedFor(occurrence.id);
    if (staged && !sameCreative) {
        // The stage shows what the service no longer holds. Once the rotation waits for it, it
        // fails as a candidate, so that the page on glass goes on. The decision granted takes the
        // place of the staged one, as with any granted renewal: it is the one the service holds
        // now, and the failed candidate's release hands it back.
        if (adRunRequested_) {
            if (filled) {
                occurrence.resolved = AdPlanner::decisionOf(result);
                occurrence.resolvedAt = nowStamp;
            }
            failCandidate(QStringLiteral("ad_lease_lost"));
            return;
        }
        yieldAdCandidate();
    }
    if (!filled) {
        releaseUnplayedAdReservation(occurrence);
        setAdState(occurrence, State::Empty);
        return;
    }
    occurrence.resolved = AdPlanner::decisionOf(result);
    occurrence.resolvedAt = nowStamp;
    if (staged && sameCreative) {
        candidate_->adDecisionId = occurrence.resolved->decisionId;
    } else if (!sameCreative) {
        setAdState(occurrence, State::Downloading);
        downloadAdContent(occurrence);
    }
}

void PlayerController::handleAdSlotsResolveFailed(const QString& code, int status,
                                                  bool retryable, qint64 retryAfterMs)
{
    adResolveInFlight_ = false;
    if (adResolveGeneration_ != adPlanningGeneration_)
        return;
    const bool again = status == 401 || retryable;
    const qint64 holdMs = AdPlanner::retryHoldMs(retryAfterMs);
    for (AdOccurrence& occurrence : adOccurrences_) {
        if (occurrence.state != State::Resolving)
            continue;
        if (!again)
            releaseUnplayedAdReservation(occurrence);
        setAdState(occurrence, again ? State::Planned : State::Expired);
        holdAdPage(occurrence.pageId, holdMs);
    }
    logPlayback("ad_resolve_failed",
                {{QStringLiteral("code"), code}, {QStringLiteral("status"), QString::number(status)}});
}

// --- Leases --------------------------------------------------------------------------------

void PlayerController::maybeRenewReadyLeases(qint64 nowMs)
{
    const AdPlanner::RenewalChoice choice = AdPlanner::chooseRenewal(
        adOccurrences_, nowMs, adCandidateStaged() ? candidate_->adOccurrenceId : QString());
    for (const int index : choice.expire) {
        AdOccurrence& occurrence = adOccurrences_[index];
        releaseUnplayedAdReservation(occurrence);
        setAdState(occurrence, State::Expired);
    }
    // A renewal is counted only when it is sent.
    if (choice.renew < 0 || !resolveSendAllowed())
        return;
    AdOccurrence& occurrence = adOccurrences_[choice.renew];
    ++occurrence.checkSequence;
    ++occurrence.renewals;
    occurrence.lastRenewalMs = nowMs;
    sendResolveBatch({forecastCandidateFor(occurrence, nowMs)});
}

void PlayerController::releaseUnplayedAdReservation(AdOccurrence& occurrence)
{
    if (!occurrence.resolved || occurrence.reservationReleased)
        return;
    occurrence.reservationReleased = true;
    cancelAdDownload(occurrence.resolved->decisionId);
    if (!adActive_ && adVisitMediaDigest_ == occurrence.resolved->sha256)
        adVisitMediaDigest_.clear();
    pruneAdCache();
    AdEventRecord record;
    record.decisionId = occurrence.resolved->decisionId;
    record.occurrenceId = occurrence.id;
    record.kind = QStringLiteral("skipped");
    record.endedAt = adEvidenceStamp();
    queueAdEvent(std::move(record));
}

// --- Reset ---------------------------------------------------------------------------------

void PlayerController::resetAdPlanning(const QString& reason)
{
    if (adActive_)
        finishAdPresentation(false);
    ++adPlanningGeneration_;
    QList<AdOccurrence> discarded = std::exchange(adOccurrences_, {});
    for (AdOccurrence& occurrence : discarded) {
        if (occurrence.state == State::Presenting)
            continue;
        releaseUnplayedAdReservation(occurrence);
        logPlayback("ad_forecast_discarded", {{QStringLiteral("page_id"), occurrence.pageId},
                                              {QStringLiteral("occurrence_id"), occurrence.id},
                                              {QStringLiteral("reason"), reason}});
    }
    adResolveInFlight_ = false;
    adResolveGeneration_ = adPlanningGeneration_;
    adRunRequested_ = false;
    adPlannedAtPage_.clear();
    adPageHints_.clear();
    if (!adActive_) {
        adVisitMediaDigest_.clear();
        adVisitDecision_ = {};
    }
    if (candidate_ && candidate_->adPresentation && !adActive_)
        failCandidate(QStringLiteral("ad_visit_invalidated"));
    pruneAdCache();
}

} // namespace talvorine
