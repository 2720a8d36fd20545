// Manifest intake, the screen's own state (archive, payment, stream problems, unpairing,
// renames, the held update) and reload requests.

#include "controller/PlayerIntake.h"

#include "app/DevFileLog.h"
#include "app/PlatformEnvironment.h"
#include "app/PlayerOpLog.h"
#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "overlay/OverlayContract.h"
#include "runtime/RuntimeWireContract.h"

#include <utility>

namespace talvorine {

namespace {

using RuntimeCompat::ProblemAction;

// The shipped status contract's timings, for a player whose contract could not be read (it
// shows a fatal surface then, but the timers must still get sane values).
constexpr qint64 shippedQuietBoundMs = 10000;
constexpr qint64 shippedOfflineChipAfterMs = 60000;

const QString& routeV1()
{
    static const QString route = QLatin1String(RuntimeWire::manifestRoute);
    return route;
}

const QString& routeV2()
{
    static const QString route = QLatin1String(RuntimeWire::manifestV2Route);
    return route;
}

const overlay::OverlayContractData* overlayContract()
{
    OverlayContract& contract = OverlayContract::instance();
    contract.load();
    return contract.loaded() ? contract.data() : nullptr;
}

// An answer that comes back after the player gave its screen up (wiped for re-pairing) belongs
// to a screen that no longer exists here.
bool screenGivenUp(const RuntimeTransport& transport)
{
    return !transport.hasRuntimeSession() && !transport.hasDeviceCredential();
}

QJsonObject revisionContext(const Manifest& manifest)
{
    return {{QStringLiteral("id"), manifest.screenId},
            {QStringLiteral("screen_id"), manifest.screenId},
            {QStringLiteral("revision"), manifest.manifestRevision}};
}

} // namespace

// --- Rules ---------------------------------------------------------------------------------

int expectedManifestSchema(bool fromNetwork, const QString& route)
{
    if (!fromNetwork)
        return 0;
    return route == routeV2() ? 3 : 2;
}

ManifestFailureStep manifestFailureStep(int status, const RuntimeCompat::ProblemDecision& decision,
                                        int attempt)
{
    ManifestFailureStep step;
    if (status == 0 || status != decision.status) {
        step.delayMs = clampRetryDelayMs(RuntimeCompat::retryBackoffMs(attempt, -1));
        return step;
    }
    step.hold = decision.action != ProblemAction::RetryBackoff;
    step.upgradeRequired = decision.action == ProblemAction::UpgradeRequired;
    step.clearLastKnownGood = decision.action == ProblemAction::ClearLkg;
    step.delayMs = clampRetryDelayMs(
        step.hold ? RuntimeCompat::holdCadenceMs(attempt, decision.retryAfterMs)
                  : RuntimeCompat::retryBackoffMs(attempt, decision.retryAfterMs));
    return step;
}

EventFetchStep eventFetchStep(bool failureHold, qint64 lastEventFetchAtMs, qint64 nowMs,
                              qint64 timerRemainingMs)
{
    const qint64 elapsed = nowMs - lastEventFetchAtMs;
    if (!failureHold || lastEventFetchAtMs < 1 || elapsed >= eventFetchWindowMs || elapsed < 0)
        return {true, -1};
    const qint64 wait = eventFetchWindowMs - elapsed;
    if (timerRemainingMs >= 0 && timerRemainingMs < wait)
        return {false, -1};
    return {false, wait};
}

AssignmentHoldStep assignmentHoldStep(const AssignmentHoldFacts& facts)
{
    using Since = AssignmentHoldStep::Since;
    switch (facts.phase) {
    case RuntimePhase::Active:
        return {true, Since::Clear, true};
    case RuntimePhase::Candidate:
        // A hold belongs to one try of one update: another revision, or another try after a
        // failure, waits its quiet bound afresh, and one that is over (taken, withdrawn, failed
        // on its own) is held no more.
        if (facts.observed && facts.onGlass && facts.updateUnderWay) {
            const bool same = facts.sinceSet && facts.sameUpdate;
            return {true, same ? Since::Keep : Since::Start, !same};
        }
        return {facts.observed, Since::Clear, true};
    case RuntimePhase::Starting:
    case RuntimePhase::Pairing:
        return {false, Since::Clear, true};
    default:
        return {facts.observed, Since::Clear, false};
    }
}

// --- Manifest validator --------------------------------------------------------------------

QByteArray PlayerController::ManifestValidator::etagFor(const QString& forRoute,
                                                        const QByteArray* activeBody) const
{
    if (etag.isEmpty() || route != forRoute || !activeBody || *activeBody != body)
        return {};
    return etag;
}

QByteArray PlayerController::manifestEtagFor(const QString& route) const
{
    return manifestValidator_.etagFor(route, activeManifest_ ? &activeManifestBody_ : nullptr);
}

QString PlayerController::manifestRoutePath() const
{
    const bool v2 = activeManifest_
        && activeManifest_->document.value(QLatin1String("schemaVersion")).toInt() == 3;
    return v2 ? routeV2() : routeV1();
}

// --- Manifest intake -----------------------------------------------------------------------

// One "manifest.apply" operation of the operation log, timed from its start.
struct PlayerController::IntakeOperation {
    QString id;
    qint64 startedMs = 0;

    qint64 elapsedMs(qint64 nowMs) const { return std::max<qint64>(0, nowMs - startedMs); }
};

void PlayerController::consumeManifest(const QByteArray& body, bool fromNetwork,
                                       const QString& route, const QByteArray& etag)
{
    if (screenArchived_ || (fromNetwork && !transport_.hasRuntimeSession()))
        return;
    const IntakeOperation operation{PlayerOpLog::newId(), clock_->nowMs()};
    PlayerOpLog::startLocal(operation.id, QStringLiteral("manifest.apply"),
                            QStringLiteral("apply manifest"));
    const QString effectiveRoute = !route.isEmpty() ? route
        : manifestRouteV2_                          ? routeV2()
                                                    : routeV1();
    const int expected = expectedManifestSchema(fromNetwork, effectiveRoute);
    ManifestParseResult parsed = ManifestParser::parse(body, origin_, expected);
    if (const ManifestError* error = std::get_if<ManifestError>(&parsed)) {
        rejectManifestBody(operation, *error, body, fromNetwork, expected);
        return;
    }

    Manifest manifest = std::get<Manifest>(std::move(parsed));
    firstFailureAtMs_ = 0;
    PlayerOpLog::setBoundScreenId(manifest.screenId);
    for (const ManifestDrop& drop : std::as_const(manifest.drops)) {
        logPlayback("manifest_drop", {{QStringLiteral("page_id"), drop.pageId},
                                      {QStringLiteral("primitive_id"), drop.primitiveId},
                                      {QStringLiteral("code"), drop.code},
                                      {QStringLiteral("contract_code"),
                                       contractDropCode(drop.code)},
                                      {QStringLiteral("path"), drop.path}});
    }
    // A zone that cannot be used lets every page play all day. The developer log is off on a
    // production player, so the operator is told through the playback log, once per revision,
    // whether the revision came from the service or from storage.
    if (ScheduleEvaluator::warnIfZoneUnusable(manifest.manifestRevision, manifest.timezone))
        logPlayback("schedule_timezone_unusable",
                    {{QStringLiteral("code"), QStringLiteral("timezone_unusable")},
                     {QStringLiteral("revision"), manifest.manifestRevision},
                     {QStringLiteral("timezone"), manifest.timezone.left(128)}});
    if (manifestOutcome(manifest) == ManifestOutcome::keep_lkg) {
        keepLastKnownGood(operation, manifest, fromNetwork);
        return;
    }

    if (fromNetwork) {
        clearManifestFailure();
        manifestValidator_ = RuntimeCompat::validEntityTag(etag)
            ? ManifestValidator{effectiveRoute, body, etag}
            : ManifestValidator{};
    }
    if (!manifest.diagnostics.isEmpty()) {
        PlayerOpLog::startLocal(PlayerOpLog::newId(), QStringLiteral("manifest.diagnostics"),
                                QStringLiteral("manifest diagnostics"),
                                {{QStringLiteral("id"), manifest.screenId},
                                 {QStringLiteral("count"), manifest.diagnostics.size()}});
        qWarning("manifest diagnostics count=%lld", qint64(manifest.diagnostics.size()));
    }
    updateScreenLabel(manifest.screenLabel);

    if (fromNetwork)
        paymentRequired_ = false;
    if (revisionInHand(manifest.manifestRevision)) {
        if (fromNetwork)
            dropWithdrawnRevision(manifest.manifestRevision);
        refreshSameRevision(operation, manifest, body, fromNetwork);
        if (fromNetwork)
            retakeIdleRevision(manifest.manifestRevision);
        return;
    }
    playlistChangedMark_ = fromNetwork
        && manifest.playlistId != (activeManifest_ ? activeManifest_->playlistId : QString());
    takeNewRevision(operation, std::move(manifest), body, fromNetwork);
}

// A body that does not parse never replaces what is on glass.
void PlayerController::rejectManifestBody(const IntakeOperation& operation,
                                          const ManifestError& error, const QByteArray& body,
                                          bool fromNetwork, int expectedVersion)
{
    if (fromNetwork && error.code == QLatin1String("manifest_version_unexpected")) {
        transport_.reportCondition(QStringLiteral("warning"),
                                   QStringLiteral("player.manifest_version_unexpected"),
                                   {{QStringLiteral("expected"),
                                     QString::number(expectedVersion)}});
    }
    if (fromNetwork)
        holdManifestFailure();
    qCritical("manifest_json_invalid error=%s bytes=%lld", qPrintable(error.code),
              qint64(body.size()));
    // The parser names the rule a body broke by its code; that is the text there is.
    PlayerOpLog::errorLocal(operation.id, QStringLiteral("manifest.apply"),
                            operation.elapsedMs(clock_->nowMs()),
                            {{QStringLiteral("code"), error.code},
                             {QStringLiteral("field_path"), error.path},
                             {QStringLiteral("text"), error.code}},
                            {{QStringLiteral("screen_id"), PlayerOpLog::boundScreenId()},
                             {QStringLiteral("body_bytes"), qint64(body.size())}});
    logPlayback("manifest_json_invalid", {{QStringLiteral("code"), error.code},
                                          {QStringLiteral("path"), error.path},
                                          {QStringLiteral("error"), error.code}});
    if (activeSlot_ >= 0)
        setStatus(QStringLiteral("degraded_lkg_active"));
    else if (!(fromNetwork && (candidate_ || replacement_)))
        presentIdle(QStringLiteral("awaiting_content"));
}

// Pages were authored but none is usable (or only diagnostics came): what plays stays.
void PlayerController::keepLastKnownGood(const IntakeOperation& operation,
                                         const Manifest& manifest, bool fromNetwork)
{
    PlayerOpLog::errorLocal(operation.id, QStringLiteral("manifest.apply"),
                            operation.elapsedMs(clock_->nowMs()),
                            {{QStringLiteral("code"), QStringLiteral("manifest_keep_lkg")},
                             {QStringLiteral("text"), manifest.diagnosticCodes.join(',')}},
                            {{QStringLiteral("id"), manifest.screenId},
                             {QStringLiteral("authored_pages"), manifest.sourcePageCount}});
    logPlayback("manifest_keep_lkg",
                {{QStringLiteral("authored_pages"), QString::number(manifest.sourcePageCount)},
                 {QStringLiteral("diagnostics"),
                  QString::number(manifest.diagnosticCodes.size())}});
    if (!fromNetwork)
        return;
    if (firstFailureAtMs_ == 0)
        firstFailureAtMs_ = clock_->monotonicMs();
    holdManifestFailure();
    if (activeSlot_ >= 0)
        setStatus(QStringLiteral("offline_lkg_active"));
    else if (!candidate_ && !replacement_)
        presentIdle(QStringLiteral("awaiting_content"));
}

// The revision on glass or being prepared came again: a refresh, never a re-plan.
void PlayerController::refreshSameRevision(const IntakeOperation& operation,
                                           const Manifest& manifest, const QByteArray& body,
                                           bool fromNetwork)
{
    PlayerOpLog::finishLocal(operation.id, QStringLiteral("manifest.apply"),
                             operation.elapsedMs(clock_->nowMs()), revisionContext(manifest));
    // The service may send other bytes for the same revision (signed sources change); the
    // entity tag it sent describes these bytes, so they become the ones conditional fetches
    // compare with, or every later fetch would download the whole document again.
    if (fromNetwork && activeManifest_
        && activeManifest_->manifestRevision == manifest.manifestRevision
        && !manifestValidator_.etag.isEmpty() && manifestValidator_.body == body)
        activeManifestBody_ = body;
    if (activeSlot_ >= 0)
        setStatus(playingStatus());
    else if (manifest.pages.isEmpty())
        setStatus(QStringLiteral("awaiting_content"));
    else
        publishOverlay();
    if (fromNetwork)
        sampleStorage();
}

void PlayerController::takeNewRevision(const IntakeOperation& operation, Manifest manifest,
                                       const QByteArray& body, bool fromNetwork)
{
    resetAdPlanning(QStringLiteral("revision_change"));
    adPlannerTimer_.start(250);
    resetRevisionBookkeeping(manifest.manifestRevision);
    const QJsonObject context = revisionContext(manifest);
    if (manifest.pages.isEmpty()) {
        PlayerOpLog::finishLocal(operation.id, QStringLiteral("manifest.apply"),
                                 operation.elapsedMs(clock_->nowMs()), context);
        presentEmptyAssignment(std::move(manifest), body, fromNetwork);
        return;
    }
    pendingStepDirection_ = 0;
    advanceReason_ = QStringLiteral("assignment");
    const QList<int> eligible = eligibleNow(manifest);
    pendingPageIndex_ = eligible.isEmpty() ? 0 : eligible.first();
    PlayerOpLog::finishLocal(operation.id, QStringLiteral("manifest.apply"),
                             operation.elapsedMs(clock_->nowMs()), context);
    if (fromNetwork) {
        retainedRestoreActive_ = false;
        cancelRetainedInventory();
        planRevision(std::move(manifest), body, false);
    } else {
        beginRetainedRestore(manifest, body);
    }
    publishSyncGlyph(false, false);
}

void PlayerController::resetRevisionBookkeeping(const QString& revision)
{
    keepPageFactsOf(activeManifest_ ? activeManifest_->manifestRevision : QString(), revision);
    if (bookkeepingRevision_ != revision) {
        retriedOnceHashes_.clear();
        givenUpHashes_.clear();
        throttledRetries_.clear();
        erroredHashes_.clear();
        refusedHashes_.clear();
        unreachableAttempts_.clear();
        bookkeepingRevision_ = revision;
    }
    if (activeManifest_) {
        mediaItemCursors_.clear();
        visibleMediaItems_.clear();
    }
    // Taken up afresh: what failed before may not fail again.
    handPages_ = PageRecord(revision);
}

// The one revision comparison: the revision on glass, and the one already being prepared
// (pending plan, replacement or candidate of a revision change), count as the same. With nothing
// on glass a pending plan counts only while its candidate or fetch is under way: a revision that
// went dark is planned again by the next answer.
bool PlayerController::revisionInHand(const QString& revision) const
{
    if (activeManifest_ && activeManifest_->manifestRevision == revision)
        return true;
    if (activeSlot_ >= 0 && pendingStoragePlan_ && pendingStoragePlan_->manifestRevision == revision)
        return true;
    if (const ReplacementFetch* fetch = revisionFetch(); fetch && fetch->manifest.manifestRevision == revision)
        return true;
    return candidate_ && candidate_->revisionChange
        && candidate_->manifest.manifestRevision == revision;
}

// The service names the revision on glass while a newer one is in hand: it took the newer one
// back. Whatever would still bring it on glass goes (what it landed stays cached, and a later
// answer naming it plans it afresh); the page on glass plays on with its timers as they run.
void PlayerController::dropWithdrawnRevision(const QString& named)
{
    if (activeSlot_ < 0 || !activeManifest_ || activeManifest_->manifestRevision != named)
        return;
    const bool candidateDropped = candidate_ && candidate_->revisionChange
                                  && candidate_->manifest.manifestRevision != named;
    if (candidateDropped) {
        dropCandidate();
        cancelPendingStep("no_prepared_page");
    }
    if (const ReplacementFetch* fetch = revisionFetch(); fetch && fetch->manifest.manifestRevision != named) {
        if (parkedFetch_)
            parkedFetch_.reset();
        else
            cancelReplacement();
    }
    // A plan of it still under way would take it up again when it comes back.
    if (storagePlanRunning_ && storagePlanRevision_ != named) {
        ++storagePlanGeneration_;
        storagePlanCancel_->store(true, std::memory_order_release);
        storagePlanRunning_ = false;
    }
    if (roomWait_ && roomWait_->manifest.manifestRevision != named) {
        roomWait_.reset();
        tellRoomWaitReplaced(named);
        if (!roomRefusedOnGlass())
            roomWaitTimer_.stop();
    }
    if (pendingStoragePlan_ && pendingStoragePlan_->manifestRevision != named)
        pendingStoragePlan_.reset();
    if (pendingRevision_ && pendingRevision_->manifest.manifestRevision != named)
        pendingRevision_.reset();
    publishSyncGlyph(false, false);
    // A repair of the revision on glass that drained behind the candidate finishes now.
    if (candidateDropped)
        tryActivateReplacement();
}

void PlayerController::holdManifestFailure()
{
    manifestFailureHold_ = true;
    armManifestRetry(RuntimeCompat::holdCadenceMs(manifestFailureCount_++, -1));
}

void PlayerController::armManifestRetry(qint64 ms)
{
    eventFetchTimer_.start(clampRetryDelayMs(ms));
}

void PlayerController::clearManifestFailure()
{
    eventFetchTimer_.stop();
    firstFailureAtMs_ = 0;
    manifestFailureCount_ = 0;
    manifestFailureHold_ = false;
    publishOverlay();
}

// --- Fetch triggers ------------------------------------------------------------------------

void PlayerController::fetchManifestOn(const QString& route, const QByteArray& etag)
{
    manifestFetchRoute_ = route;
    if (route == routeV2())
        transport_.fetchManifestV2(etag);
    else
        transport_.fetchManifest(etag);
}

// Conditional only when the remembered tag describes the manifest active now on the route
// about to be used.
void PlayerController::fetchCurrentManifest()
{
    const QString& route = manifestRouteV2_ ? routeV2() : routeV1();
    fetchManifestOn(route, manifestEtagFor(route));
}

void PlayerController::fetchManifestForEvent()
{
    const qint64 now = clock_->nowMs();
    const EventFetchStep step =
        eventFetchStep(manifestFailureHold_, lastEventFetchAtMs_, now,
                       eventFetchTimer_.isActive() ? eventFetchTimer_.remainingTime() : -1);
    if (step.fetchNow) {
        lastEventFetchAtMs_ = now;
        fetchManifestOnce();
    } else if (step.armMs >= 0) {
        armManifestRetry(step.armMs);
    }
}

// A fetch the service's events ask for: while one is out, they leave a single fetch to follow
// its answer (the entity tag makes that one cheap), so that no service, nor a bug in one, can
// make the screen hammer it, however many events come. Every other fetch takes the same way (the
// route's fallback is sent from an answer, when none is out): nothing orders the answers of two
// requests out at once, and a late answer to the earlier would be taken after the later one's,
// dropping the newer revision it brought or putting the older one back on glass.
void PlayerController::fetchManifestOnce()
{
    if (transport_.manifestFetchUnderWay())
        manifestFetchOwed_ = true;
    else
        fetchCurrentManifest();
}

// After each manifest answer's own handler, which may have sent a request of its own.
void PlayerController::fetchOwedManifest()
{
    if (!manifestFetchOwed_ || transport_.manifestFetchUnderWay())
        return;
    manifestFetchOwed_ = false;
    if (transport_.hasRuntimeSession())
        fetchCurrentManifest();
}

void PlayerController::noteManifestAnswered(qint64 waitAskedMs)
{
    const qint64 now = clock_->monotonicMs();
    manifestAnsweredAtMs_ = now;
    manifestWaitAskedUntilMs_ = waitAskedMs >= 0 ? now + waitAskedMs : 0;
}

// What the screen missed while the service could not be reached comes with the manifest: a
// service need not replay the events it sent meanwhile, and the manifest's own retry may be
// minutes away by now. It is asked once (its entity tag makes an unchanged one cheap), unless a
// manifest answer came since the loss began, or a wait the service asked for on it still runs.
void PlayerController::fetchManifestAfterLoss(qint64 lostForMs)
{
    if (!transport_.hasRuntimeSession())
        return;
    const qint64 now = clock_->monotonicMs();
    if ((manifestAnsweredAtMs_ && *manifestAnsweredAtMs_ > now - lostForMs)
        || now < manifestWaitAskedUntilMs_)
        return;
    fetchManifestOnce();
}

void PlayerController::handleInvalidated(const QString&)
{
    if (transport_.hasRuntimeSession())
        fetchManifestForEvent();
}

void PlayerController::handleResyncRequired(const QString& cursor)
{
    if (!transport_.hasRuntimeSession())
        return;
    fetchManifestOnce();
    transport_.openEvents(cursor);
}

void PlayerController::handleEventFetchTimer()
{
    if (transport_.hasRuntimeSession())
        fetchManifestOnce();
}

void PlayerController::handleSafetyPoll()
{
    if (transport_.hasRuntimeSession() && (manifestFailureHold_ || !eventFetchTimer_.isActive()))
        fetchManifestOnce();
    armSafetyPoll();
}

void PlayerController::handleManifestRouteUnavailable()
{
    logPlayback("manifest_v2_fallback", {});
    fetchManifestOn(routeV1(), manifestEtagFor(routeV1()));
}

// --- Fetch answers -------------------------------------------------------------------------

void PlayerController::handleManifestNotModified(const QString&)
{
    if (screenGivenUp(transport_))
        return;
    clearManifestFailure();
    if (activeSlot_ >= 0)
        setStatus(playingStatus());
    else if (activeManifest_ && activeManifest_->pages.isEmpty())
        setStatus(QStringLiteral("awaiting_content"));
    sampleStorage();
}

void PlayerController::handleManifestFailed(const QString& code, int status, const QString& error)
{
    if (screenGivenUp(transport_))
        return;
    const RuntimeCompat::ProblemDecision& decision = transport_.lastManifestDecision();
    if (status != 0)
        noteManifestAnswered(status == decision.status ? decision.retryAfterMs : -1);
    if (code == QLatin1String("payment_required")) {
        handlePaymentRequired();
        return;
    }
    if (code == QLatin1String("screen_archived")) {
        enterArchived();
        return;
    }
    logPlayback("manifest_failed",
                {{QStringLiteral("code"), code},
                 {QStringLiteral("status"), QString::number(status)},
                 {QStringLiteral("error"), error},
                 {QStringLiteral("path"),
                  manifestFetchRoute_.isEmpty() ? routeV1() : manifestFetchRoute_}});
    const qint64 now = clock_->monotonicMs();
    if (firstFailureAtMs_ == 0)
        firstFailureAtMs_ = now;

    const ManifestFailureStep step = manifestFailureStep(status, decision, manifestFailureCount_++);
    if (step.upgradeRequired)
        noteUpgradeRequired(decision.playerKind, decision.minSupported);
    manifestFailureHold_ = step.hold;
    armManifestRetry(step.delayMs);
    if (step.clearLastKnownGood) {
        clearToNoContent();
        return;
    }

    if (activeSlot_ < 0) {
        // A revision being prepared, or held and waiting to come in again, outlasts the outage.
        if (candidate_ || replacement_)
            publishOverlay();
        else
            presentIdle(QStringLiteral("awaiting_content"));
        return;
    }
    const overlay::OverlayContractData* contract = overlayContract();
    const qint64 offlineAfter = contract ? contract->offlineChipAfterMs : shippedOfflineChipAfterMs;
    if (now - firstFailureAtMs_ >= offlineAfter)
        setStatus(QStringLiteral("offline_lkg_active"));
    else
        publishOverlay();
}

// --- Idle and empty presentations ----------------------------------------------------------

void PlayerController::presentEmptyAssignment(Manifest manifest, const QByteArray& body,
                                              bool fromNetwork)
{
    stopSoundtrack();
    activeManifest_ = std::move(manifest);
    activeManifestBody_ = body;
    glassPages_ = {};
    dropStoragePlans();
    if (fromNetwork) {
        const QString route = manifestRoutePath();
        if (!state_.saveLastKnownGood(body, activeManifest_->manifestRevision, nullptr, route,
                                      manifestEtagFor(route), QJsonObject()))
            DevFileLog::record(QStringLiteral("lkg.persist_failed"));
    }
    presentIdle(QStringLiteral("awaiting_content"));
}

void PlayerController::presentIdle(const QString& status)
{
    // A planning run still in flight would put its revision back on the idle stage.
    ++storagePlanGeneration_;
    storagePlanCancel_->store(true, std::memory_order_release);
    storagePlanRunning_ = false;
    dropCandidate();
    cancelReplacement();
    cancelRetainedInventory();
    retainedRestoreActive_ = false;
    ++activeGeneration_;
    cancelActivePlayback();
    pageTimer_.stop();
    mediaItemTimer_.stop();
    visibilityTimer_.stop();
    if (activeSlot_ >= 0)
        darkSinceMs_ = clock_->monotonicMs();
    activeSlot_ = -1;
    opacityA_ = 0.0;
    opacityB_ = 0.0;
    stageA_.clear();
    stageB_.clear();
    Q_EMIT stagePresentationChanged();
    Q_EMIT activeChanged();
    publishSyncGlyph(false, false);
    setStatus(status);
}

void PlayerController::clearToNoContent()
{
    manifestValidator_ = {};
    dropStoragePlans();
    if (!state_.clearLastKnownGood())
        DevFileLog::record(QStringLiteral("lkg.clear_failed"));
    if (activeSlot_ >= 0 || activeManifest_ || candidate_) {
        clearPlayback();
        Q_EMIT stagePresentationChanged();
        Q_EMIT objectEnterChanged();
        Q_EMIT activeChanged();
    }
    presentIdle(QStringLiteral("awaiting_content"));
}

void PlayerController::clearPlayback()
{
    stopSoundtrack();
    rendererRecoveryTimer_.stop();
    pageTimer_.stop();
    mediaItemTimer_.stop();
    visibilityTimer_.stop();
    hideToast();
    adPlannerTimer_.start(250);
    adOutboxFlushTimer_.start();
    resetAdPlanning(QStringLiteral("clear_playback"));
    identifyTimer_.stop();
    if (std::exchange(identifyVisible_, false))
        Q_EMIT identifyChanged();
    dropCandidate();
    cancelReplacement();
    cancelRetainedInventory();
    cancelActivePlayback();
    activeManifest_.reset();
    activeManifestBody_.clear();
    glassPages_ = {};
    if (activeSlot_ >= 0)
        darkSinceMs_ = clock_->monotonicMs();
    activeSlot_ = -1;
    setTransitionDurationMs(0);
    stageA_.clear();
    stageB_.clear();
    playbackPolicy_.reset();
    operatorPanel_.setPlaybackPaused(false);
}

void PlayerController::dropCandidate()
{
    if (!candidate_)
        return;
    modelForSlot(candidate_->slot)->clear();
    cancelCandidateWork();
    const bool update = candidate_->revisionChange;
    candidate_.reset();
    postOwedTurn();
    if (update) {
        endUpdateHold();
        publishOverlay();
    }
    postRecoverySweep();
}

// A new revision's candidate failed or was dropped: the hold it was under is over. A later try
// waits its quiet bound again before it is said to be held; the publication that follows the
// failure takes the chip down.
void PlayerController::endUpdateHold()
{
    assignmentHeld_ = false;
    holdSinceMs_ = 0;
    assignmentHoldTimer_.stop();
}

// Work started for the page that left glass finds its flag raised; the next page gets its own.
void PlayerController::cancelActivePlayback()
{
    activePlaybackCancel_->store(true, std::memory_order_release);
    activePlaybackCancel_ = std::make_shared<std::atomic<bool>>(false);
}

void PlayerController::dropStoragePlans()
{
    activeStoragePlan_.reset();
    pendingStoragePlan_.reset();
    pendingRevision_.reset();
    roomWait_.reset();
    roomRefusedRevision_.clear();
}

// --- Screen state --------------------------------------------------------------------------

void PlayerController::enterArchived()
{
    if (screenArchived_)
        return;
    paymentRequired_ = false;
    screenArchived_ = true;
    holdObserved_ = false;
    holdSinceMs_ = 0;
    assignmentHoldTimer_.stop();
    clearPlayback();
    manifestValidator_ = {};
    dropStoragePlans();
    if (!state_.clearLastKnownGood())
        DevFileLog::record(QStringLiteral("lkg.clear_failed"));
    Q_EMIT stagePresentationChanged();
    Q_EMIT objectEnterChanged();
    Q_EMIT activeChanged();
    DevFileLog::record(QStringLiteral("runtime.screen_archived"));
    setStatus(QStringLiteral("archived"));
}

void PlayerController::handleScreenUnarchived()
{
    if (!screenArchived_)
        return;
    screenArchived_ = false;
    if (transport_.hasRuntimeSession())
        fetchManifestOnce();
    publishOverlay();
}

// The content on glass keeps playing; the overlay shows the condition.
void PlayerController::handlePaymentRequired()
{
    paymentRequired_ = true;
    // A turn of the revision on glass (or an ad's) prepared once its page's dwell had ended would
    // leave that page on glass with no clock to turn it: the page gets a fresh dwell.
    const bool turnDropped = candidate_ && !candidate_->revisionChange && !pageTimer_.isActive();
    dropCandidate();
    if (turnDropped)
        rearmActiveClock();
    playerState_.syncFailed(QStringLiteral("payment_required"));
    if (activeSlot_ < 0) {
        setStatus(QStringLiteral("payment_required"));
    } else if (status_ == QLatin1String("playing")
               || status_ == QLatin1String("playing_lkg_persist_failed")) {
        publishOverlay();
        evaluateSplash();
    } else {
        setStatus(playingStatus());
    }
}

void PlayerController::handleStreamProblem(const QString& code, const QString& actionName)
{
    if (code == QLatin1String("payment_required")) {
        paymentRequired_ = true;
        publishOverlay();
        evaluateSplash();
        return;
    }
    const std::optional<ProblemAction> action = RuntimeCompat::actionFromName(actionName);
    if (action == ProblemAction::ClearLkg && code == QLatin1String("screen_archived"))
        enterArchived();
    else if (action == ProblemAction::UpgradeRequired)
        noteUpgradeRequired(QString(), QString());
    else if ((action == ProblemAction::Remint || action == ProblemAction::Repair) && !mintInFlight_
             && identityStore_.load())
        remintAfterSessionLoss();
}

void PlayerController::renameScreen(const QString& name)
{
    const QString canonical = OperatorPanel::canonicalScreenName(name).trimmed();
    if (canonical.isEmpty() || canonical == screenLabel_.trimmed())
        return;
    updateScreenLabel(canonical);
    if (transport_.hasRuntimeSession())
        transport_.putScreenLabel(canonical);
}

void PlayerController::handleScreenLabelAnswered(int status, const QString& label)
{
    if (status >= 200 && status <= 299)
        updateScreenLabel(label);
}

void PlayerController::observeAssignmentHold()
{
    AssignmentHoldFacts facts;
    facts.phase = runtimePhase();
    facts.observed = holdObserved_;
    facts.sinceSet = holdSinceMs_ > 0;
    facts.onGlass = activeSlot_ >= 0;
    // Only a new revision is an update: the next page of the revision on glass, a repair of it
    // or an ad staged behind it is a routine turn, however long it takes to prepare.
    const ReplacementFetch* fetch = revisionFetch();
    const bool candidateUpdate = candidate_ && candidate_->revisionChange;
    facts.updateUnderWay = candidateUpdate || (fetch && !fetch->drained);
    const QString update = candidateUpdate         ? candidate_->manifest.manifestRevision
                           : facts.updateUnderWay ? fetch->manifest.manifestRevision
                                                  : QString();
    facts.sameUpdate = update == holdRevision_;
    const AssignmentHoldStep step = assignmentHoldStep(facts);
    if (facts.updateUnderWay)
        holdRevision_ = update;
    holdObserved_ = step.observed;
    if (step.clearHeld)
        assignmentHeld_ = false;
    if (step.since == AssignmentHoldStep::Since::Start) {
        holdSinceMs_ = clock_->nowMs();
        const overlay::OverlayContractData* contract = overlayContract();
        assignmentHoldTimer_.start(
            clampRetryDelayMs(contract ? contract->quietBoundMs : shippedQuietBoundMs));
    } else if (step.since == AssignmentHoldStep::Since::Clear) {
        holdSinceMs_ = 0;
        assignmentHoldTimer_.stop();
    }
}

// --- Unpairing -----------------------------------------------------------------------------

void PlayerController::requestUnpair()
{
    if (!transport_.hasDeviceCredential() && !identityStore_.load())
        return;
    if (unpairInFlight_)
        return;
    if (!pairingReturnForbidden()) {
        resetUnpairedIdentity();
        return;
    }
    sessionRetryWasPending_ = mintInFlight_ || sessionRetryTimer_.isActive();
    savedSessionRetryMs_ = sessionRetryTimer_.isActive() ? sessionRetryTimer_.interval()
                                                         : RuntimeCompat::retryBackoffMs(0, -1);
    sessionRetryTimer_.stop();
    mintWatchdogTimer_.stop();
    mintInFlight_ = false;
    // The abort answers with a failure at once; the flag tells its handler to swallow it.
    mintAbortedByWatchdog_ = true;
    transport_.abortDeviceSession();
    mintAbortedByWatchdog_ = false;
    unpairInFlight_ = true;
    transport_.unpair();
}

void PlayerController::handleUnpairFailed(int status, bool)
{
    unpairInFlight_ = false;
    if (status == 204) {
        wipeAndPair(true);
        return;
    }
    operatorPanel_.resetFailed();
    if (sessionRetryWasPending_ && pairingReturnForbidden())
        armSessionRetry(savedSessionRetryMs_ < 1 ? 2500 : savedSessionRetryMs_);
    sessionRetryWasPending_ = false;
    const QString deferred = std::exchange(deferredReloadId_, QString());
    if (!deferred.isEmpty() && pairingReturnForbidden())
        performReload(deferred);
}

void PlayerController::wipeAndPair(bool resetIdentity)
{
    // Nothing may reach the old screen's content from here on: its event stream, its fetch
    // timers and its session go first, so no event or late answer brings it back over the
    // pairing screen.
    closeEventStream();
    eventFetchTimer_.stop();
    safetyPollTimer_.stop();
    transport_.forgetRuntimeSession();
    // A refusal said of the old screen is over: the service that accepts the new one never made it.
    screenRefusalSaid_ = false;
    manifestFailureHold_ = false;
    manifestFailureCount_ = 0;
    manifestValidator_ = {};

    screenArchived_ = false;
    unpairInFlight_ = false;
    sessionRetryWasPending_ = false;
    savedSessionRetryMs_ = 0;
    sessionRetryTimer_.stop();
    mintWatchdogTimer_.stop();
    boundRetryTimer_.stop();
    boundPersistPending_ = false;
    boundPersistAttempts_ = 0;
    repairNeeded_ = false;
    reloadTimer_.stop();
    pendingReloadId_.clear();
    mintInFlight_ = false;
    mintIdempotencyKey_.clear();
    eventCursor_.clear();

    operatorPanel_.close();
    deferredReloadId_.clear();
    sessionRevokedWhilePlaying_ = false;
    sessionFault_ = false;
    clearPlayback();
    dropStoragePlans();

    if (!state_.clearLastKnownGood())
        DevFileLog::record(QStringLiteral("lkg.clear_failed"));
    if (!state_.clearScreenLabel())
        DevFileLog::record(QStringLiteral("screen_label.clear_failed"));
    screenLabel_.clear();
    Q_EMIT objectEnterChanged();
    transport_.clearDeviceCredential();
    // The next session publishes what this screen looks like again.
    lastObservation_.reset();
    Q_EMIT stagePresentationChanged();
    Q_EMIT activeChanged();

    wipeResetsIdentity_ = resetIdentity;
    boundClearPending_ = true;
    clearBoundMarker();
}

// The enrolled marker keeps a player bound: until it is gone the wipe cannot finish, so its
// deletion is retried with back-off, as writing it is.
void PlayerController::clearBoundMarker()
{
    if (!boundClearPending_)
        return;
    if (state_.clearEnrolled()) {
        finishWipe();
        return;
    }
    DevFileLog::record(QStringLiteral("bound.clear_failed"));
    if (boundClearAttempts_ == 0 && wipeResetsIdentity_)
        DevFileLog::record(QStringLiteral("identity.reset_withheld"),
                           {{QStringLiteral("code"), QStringLiteral("bound_marker_remains")}});
    knownBound_ = true;
    boundClearRetryTimer_.start(
        clampRetryDelayMs(RuntimeCompat::retryBackoffMs(boundClearAttempts_++, -1)));
    setStatus(QStringLiteral("bound_clear_failed"));
}

void PlayerController::finishWipe()
{
    boundClearPending_ = false;
    boundClearAttempts_ = 0;
    boundClearRetryTimer_.stop();
    if (wipeResetsIdentity_) {
        knownBound_ = !identityStore_.reset();
        if (knownBound_)
            DevFileLog::record(QStringLiteral("identity.rotate_failed"));
    }
    publishOverlay();
    const bool pairingUnderWay =
        !pairingCode_.isEmpty() || !pairingStartKey_.isEmpty() || pairingStartTimer_.isActive();
    if (!knownBound_ && !pairingUnderWay)
        startPairing();
}

// A player that never bound has nothing to tell the service: it takes a new identity and a
// new pairing code.
void PlayerController::resetUnpairedIdentity()
{
    screenRefusalSaid_ = false;
    pairingStartTimer_.stop();
    pairingEventsRetryTimer_.stop();
    pairingExpiryTimer_.stop();
    pairingCompletionRetryTimer_.stop();
    transport_.closePairingEvents();
    transport_.clearPairingSession();
    // The stored start key would ask the service for the old identity's pairing again.
    pairingStartKey_.clear();
    transport_.clearPairingStartKey();
    pairingCode_.clear();
    pairingExpiry_ = {};
    completionNonce_.clear();
    pairingHandoff_ = false;
    operatorPanel_.close();
    Q_EMIT pairingChanged();
    DevFileLog::record(identityStore_.reset() ? QStringLiteral("identity.reset_unpaired")
                                              : QStringLiteral("identity.rotate_failed"));
    startPairing();
}

// --- Reload requests -----------------------------------------------------------------------

void PlayerController::handleReloadRequested(const QJsonObject& event)
{
    const std::optional<RuntimeCompat::ReloadRequest> request = RuntimeCompat::parseReload(event);
    if (!request)
        return;
    // The ledger's stamps and the rate limit stay on the machine's clock; the expiry is the
    // service's own.
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC);
    const RuntimeCompat::ReloadVerdict verdict = RuntimeCompat::reloadVerdict(
        *request, reloadLedger_, now, QLatin1String(RuntimeWire::playerKind), releaseVersion_,
        QDateTime::fromMSecsSinceEpoch(serviceNowMs(), Qt::UTC));
    // The service may send reload events without end: their records are folded per verdict.
    const QString verdictName = RuntimeCompat::reloadVerdictName(verdict);
    DevFileLog::recordFolded(QStringLiteral("player.reload"), verdictName,
                             {{QStringLiteral("reload_id"), request->reloadId.left(64)},
                              {QStringLiteral("verdict"), verdictName}},
                             clock_->nowMs());
    if (verdict != RuntimeCompat::ReloadVerdict::Act)
        return;
    reloadLedger_.record(request->reloadId, now);
    QString error;
    if (!state_.saveReloadLedger(reloadLedger_, &error))
        DevFileLog::record(QStringLiteral("player.reload_ledger_failed"),
                           {{QStringLiteral("code"), error}});
    // A second request inside the spread is only recorded: the first keeps its time.
    if (reloadTimer_.isActive())
        return;
    pendingReloadId_ = request->reloadId;
    const qint64 spreadS = qBound(0, request->spreadS, RuntimeCompat::maxReloadSpreadS);
    const qint64 spreadMs = spreadS * 1000;
    reloadTimer_.start(int(RuntimeCompat::uniformMs(0, spreadMs)));
}

void PlayerController::reloadTimerFired()
{
    performReload(std::exchange(pendingReloadId_, QString()));
}

void PlayerController::performReload(const QString& reloadId)
{
    DevFileLog::record(QStringLiteral("player.update_check"),
                       {{QStringLiteral("reason"), QStringLiteral("reload")},
                        {QStringLiteral("reload_id"), reloadId.left(64)}});
    if (unpairInFlight_) {
        deferredReloadId_ = reloadId;
        return;
    }
    // A mint already under way serves as the reload.
    if (mintInFlight_ || !identityStore_.load() || !pairingReturnForbidden())
        return;
    sessionRetryTimer_.stop();
    closeEventStream();
    mintIdempotencyKey_.clear();
    retryDeviceSession();
}

// --- Built with the session flow -----------------------------------------------------------

// The label is the one the service or the operator gave last; it is written through every
// time, so that a label that failed to save once is saved by the next answer.
void PlayerController::updateScreenLabel(const QString& label)
{
    const QString trimmed = label.trimmed();
    if (trimmed.isEmpty())
        return;
    const QString previous = screenLabel_;
    screenLabel_ = trimmed;
    QString error;
    if (!state_.saveScreenLabel(trimmed, &error))
        DevFileLog::record(QStringLiteral("screen_metadata.persist_failed"),
                           {{QStringLiteral("code"), error}});
    if (trimmed == previous)
        return;
    Q_EMIT overlayChanged();
    if (identifyVisible_)
        Q_EMIT identifyChanged();
}

// No session is ever minted in this run: the identity the screen was bound with is gone.
void PlayerController::noteIdentityFault()
{
    identityFault_ = true;
    DevFileLog::record(QStringLiteral("identity.fault"),
                       {{QStringLiteral("code"), QStringLiteral("identity_unavailable")}});
    setStatus(QStringLiteral("identity_fault"));
}

// The service no longer accepts this screen's credential (deleted, revoked or refused at a
// mint). A bound screen keeps what it plays and keeps asking; a screen that never bound pairs.
// The screen's chip does not say what to do, and the refusal lasts until someone acts (a service
// that does not know the screen, after a change of origin, refuses it for ever): the operator is
// told once per run of refusals, the service named as the other lines name it. refusal: what
// refused, in the operator's line.
void PlayerController::holdPairedAssignment(bool revoked, const QString& refusal)
{
    if (!pairingReturnForbidden()) {
        enterFirstBootPairing();
        return;
    }
    if (revoked && !refusal.isEmpty() && !std::exchange(screenRefusalSaid_, true)) {
        writeStandardErrorLine(
            QStringLiteral("Runtime service %1 refuses this screen (%2): the screen keeps what it "
                           "shows and asks again. Set the player's origin back to the service it "
                           "was paired with, or start the screen fresh as the README says to pair "
                           "it with this service.")
                .arg(RuntimeTransport::serviceOrigin(origin_).toString(), refusal)
                .toLocal8Bit());
    }
    if (revoked) {
        sessionRevokedWhilePlaying_ = activeSlot_ >= 0;
        // Shown over whatever plays until a session is had again.
        sessionFault_ = true;
    }
    resetAdPlanning(QStringLiteral("session_gone"));
    adPlannerTimer_.stop();
    closeEventStream();
    if (activeSlot_ < 0)
        setStatus(QStringLiteral("session_retrying"));
    else
        setStatus(revoked ? QStringLiteral("session_revoked")
                          : QStringLiteral("offline_lkg_active"));
    if (!mintInFlight_ && !sessionRetryTimer_.isActive())
        armSessionRetry(2500);
}

} // namespace talvorine
