// The start of the player, pairing and the device session: from the state directory to a
// runtime session, through a pairing code when the screen was never bound, and every answer of
// the service on the way.

#include "controller/PlayerController.h"

#include "app/DevFileLog.h"
#include "app/PlatformEnvironment.h"
#include "runtime/RuntimeCompat.h"
#include "runtime/ServiceReach.h"
#include "storage/StorageFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

constexpr int mintWatchdogMs = 35000;
constexpr qint64 safetyPollLowMs = 240000;
constexpr qint64 safetyPollHighMs = 360000;

constexpr qint64 partialMaxAgeMs = 604800000;
constexpr int firstStorageSampleMs = 60000;
constexpr int localStateRetryMs = 30000;
constexpr qint64 coldBootSpreadCapMs = 10000;
constexpr char coldBootSpreadVariable[] = "TALVORINE_COLD_BOOT_SPREAD_MS";

// A session lost this soon after it was minted is minted again only after a back-off.
constexpr qint64 remintQuietMs = 9999;
// More "proof_invalid" answers than this inside the window hold instead of retrying.
constexpr qint64 proofInvalidWindowMs = 599999;
constexpr int proofInvalidLimit = 3;

constexpr int holdRetryMs = 2500;
constexpr int pairingRotateMs = 1000;
// Rotations for an expired code take effect at most this often.
constexpr qint64 pairingExpiredSpacingMs = 30000;
constexpr int pairingExpiryRecheckMs = 1000;
// A code is judged again at least this often: the clock it is judged by may be set meanwhile.
constexpr qint64 pairingExpiryWatchMaxMs = 60000;
constexpr int pairingEventsRetryMs = 2500;
constexpr int pairingCompletionRetryMs = 1000;
constexpr int pairingStartCeilingMs = 30000;
constexpr qsizetype maxSeenPairingNonces = 32;
constexpr int logTextLimit = 40;

using RuntimeCompat::ProblemAction;

QString idempotencyKey()
{
    return QStringLiteral("native-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// What the cold-boot spread may reach: the variable when it is an integer (never below 0 nor
// above the cap), else the cap.
qint64 coldBootSpreadCap()
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable(coldBootSpreadVariable).toLongLong(&ok);
    return ok ? std::clamp<qint64>(value, 0, coldBootSpreadCapMs) : coldBootSpreadCapMs;
}

bool credentialRejectedStatus(int status)
{
    return status == 401 || status == 403 || status == 404;
}

QJsonObject field(const char* name, const QJsonValue& value)
{
    return QJsonObject{{QLatin1String(name), value}};
}

} // namespace

// --- Start ---------------------------------------------------------------------------------

void PlayerController::start()
{
    // A surface the shell raised is terminal: no storage, identity or network work behind it.
    if (fatalCode_ != FatalSurface::None) {
        splashTimer_.start();
        evaluateSplash();
        return;
    }
    if (stateDirectory_.isEmpty() || !QDir().mkpath(stateDirectory_)) {
        refuseLocalState();
        return;
    }

    contentCache_->discardExpiredPartials(partialMaxAgeMs);
    applicationCache_->discardExpiredPartials(partialMaxAgeMs);
    discardAdCacheLeftovers();

    const QString label = state_.loadScreenLabel();
    if (label != screenLabel_) {
        screenLabel_ = label;
        Q_EMIT overlayChanged();
    }

    storageSampleTimer_.start();
    darkSinceMs_ = clock_->monotonicMs();
    recoverySweepTimer_.start();
    QTimer::singleShot(firstStorageSampleMs, Qt::CoarseTimer, this,
                       &PlayerController::sampleStorage);

    // The last known good manifest plays from local storage at once, before any network.
    QString route;
    QByteArray etag;
    QJsonObject plan;
    const std::optional<QByteArray> stored = state_.loadLastKnownGood(&route, &etag, &plan);
    if (stored) {
        activeStoragePlan_ = storagePlanRecordFromJson(plan);
        if (!route.isEmpty() && !etag.isEmpty())
            manifestValidator_ = {route, *stored, etag};
        consumeManifest(*stored, false, QString(), QByteArray());
        if (state_.isEnrolled())
            noteKnownBound();
        persistBoundMarker();
    } else {
        if (state_.isEnrolled())
            noteKnownBound();
        if (!label.isEmpty())
            persistBoundMarker();
    }

    // A bound player keeps the identity it was bound with: it never makes a new one, and
    // plays on what it has when that identity is gone.
    const bool mayCreate = !knownBound_ && !state_.isEnrolled() && !boundPersistPending_;
    if (!identityStore_.open(mayCreate)) {
        if (mayCreate) {
            identityRefused_ = true;
            refuseLocalState();
            return;
        }
        noteIdentityFault();
        reloadLedger_ = state_.loadReloadLedger();
        playerState_.boot(true);
        splashTimer_.start();
        evaluateSplash();
        return;
    }

    reloadLedger_ = state_.loadReloadLedger();
    playerState_.boot(true);

    if (pairingReturnForbidden()) {
        transport_.clearPairingSession();
        // Screens that play from storage after a power cut come back together: their first
        // mints are spread so that the service does not see them all at once.
        const qint64 delay = stored ? RuntimeCompat::uniformMs(0, coldBootSpreadCap()) : 0;
        if (delay > 0) {
            DevFileLog::record(QStringLiteral("session.cold_boot_spread"),
                               field("delay_ms", delay));
            sessionRetryTimer_.start(int(delay));
        } else {
            retryDeviceSession();
        }
    } else if (!resumeStoredPairing()) {
        transport_.clearPairingSession();
        retryDeviceSession();
    }

    splashTimer_.start();
    evaluateSplash();
}

// The state directory is looked at again while the surface shows: room freed on its volume, or
// its mount come back, lets the player go on without a restart from outside. Without a name
// there is nothing to look at.
void PlayerController::refuseLocalState()
{
    enterFatal(FatalSurface::LocalStateUnusable);
    if (fatalCode_ == FatalSurface::LocalStateUnusable && !stateDirectory_.isEmpty())
        localStateRetryTimer_.start(localStateRetryMs);
}

void PlayerController::retryLocalState()
{
    if (fatalCode_ != FatalSurface::LocalStateUnusable)
        return;
    // Made owner-only, as construction makes it, when it could not be made then.
    if (!QFileInfo::exists(stateDirectory_))
        StorageFiles::ensurePrivateDirectory(stateDirectory_);
    // A directory that takes a byte may still refuse the identity (one block left, a file it
    // cannot read in its place): the surface stays, and start() is not run again, until the
    // step that refused passes.
    if (!StorageFiles::directoryProblem(stateDirectory_).isEmpty()
        || (identityRefused_ && !pairingReturnForbidden() && !identityStore_.open(true))) {
        localStateRetryTimer_.start(localStateRetryMs);
        return;
    }
    identityRefused_ = false;
    // What construction could not make in a directory that took no files then.
    StorageFiles::ensurePrivateDirectory(
        QDir(stateDirectory_).filePath(QStringLiteral("playback-state")));
    if (!DevFileLog::enabled())
        DevFileLog::configure(origin_, stateDirectory_, DevFileLog::defaultMaxBytes);
    DevFileLog::record(QStringLiteral("state_directory.usable"));
    fatalCode_ = FatalSurface::None;
    Q_EMIT fatalChanged();
    publishOverlay();
    start();
}

// --- Timer operations ----------------------------------------------------------------------

void PlayerController::armSessionRetry(qint64 ms)
{
    const int delay = clampRetryDelayMs(ms);
    sessionRetryDelayMs_ = delay;
    sessionRetryTimer_.start(delay);
}

void PlayerController::armMintWatchdog()
{
    mintWatchdogTimer_.start(mintWatchdogMs);
}

void PlayerController::armSafetyPoll()
{
    if (transport_.hasRuntimeSession())
        safetyPollTimer_.start(int(RuntimeCompat::uniformMs(safetyPollLowMs, safetyPollHighMs)));
}

// --- Mint watchdog -------------------------------------------------------------------------

void PlayerController::mintWatchdogFired()
{
    if (mintInFlight_)
        abortMintByWatchdog();
}

// For callers that measured the mint themselves (a suspended process may miss the timer).
void PlayerController::noteMintWatchdog(qint64 elapsedMs)
{
    if (elapsedMs >= mintWatchdogMs && mintInFlight_)
        abortMintByWatchdog();
}

void PlayerController::abortMintByWatchdog()
{
    mintWatchdogTimer_.stop();
    // The abort answers with a failure at once; the flag tells its handler to swallow it.
    mintAbortedByWatchdog_ = true;
    transport_.abortDeviceSession();
    mintInFlight_ = false;
    mintAbortedByWatchdog_ = false;
    noteMintFailed();
    if (sessionRetryTimer_.isActive())
        return;
    armSessionRetry(RuntimeCompat::retryBackoffMs(sessionRetryCount_++, -1));
}

// A bound player that cannot get a session while its event stream is down cannot hear its
// service: the offline stretch starts here, so that a player which starts without the service
// shows it plays offline. With the stream up, a failed mint (one a download asked for) says
// nothing of it.
void PlayerController::noteMintFailed()
{
    if (pairingReturnForbidden() && !online_)
        setOnline(false);
}

// --- Device session ------------------------------------------------------------------------

bool PlayerController::pairingReturnForbidden() const
{
    return knownBound_ || state_.isEnrolled() || boundPersistPending_;
}

void PlayerController::retryDeviceSession()
{
    if (enrollmentBindDepth_ > 0)
        ++mintsDuringBind_;
    // A retry still pending is the session's schedule (its back-off, the service's Retry-After):
    // whoever needs a session meanwhile, a download refused for want of one included, waits
    // for it. A reload stops the timer first, since it asks for a new session on purpose.
    if (unpairInFlight_ || mintInFlight_ || identityFault_ || sessionRetryTimer_.isActive())
        return;
    if (!identityStore_.load())
        return;
    if (mintIdempotencyKey_.isEmpty())
        mintIdempotencyKey_ = idempotencyKey();
    mintInFlight_ = true;
    ++mintGeneration_;
    armMintWatchdog();
    transport_.createDeviceSession(mintIdempotencyKey_);
}

void PlayerController::beginSession()
{
    if (!transport_.hasRuntimeSession())
        return;
    const bool kvRead = transport_.hasSessionCapability(QStringLiteral("kv.read"));
    const bool kvWrite = transport_.hasSessionCapability(QStringLiteral("kv.write"));
    stageA_.setApplicationKvCapabilities(kvRead, kvWrite);
    stageB_.setApplicationKvCapabilities(kvRead, kvWrite);
    manifestRouteV2_ = transport_.adslotsNegotiated();
    fetchManifestOnce();
    transport_.openEvents(eventCursor_);
    eventCursor_.clear();
    if (activeSlot_ < 0)
        setStatus(QStringLiteral("syncing"));
}

void PlayerController::remintAfterSessionLoss()
{
    mintIdempotencyKey_.clear();
    const qint64 now = clock_->monotonicMs();
    if (lastMintAtMs_ < 1 || now - lastMintAtMs_ > remintQuietMs) {
        remintBackoffCount_ = 0;
        retryDeviceSession();
        return;
    }
    const qint64 delay = RuntimeCompat::retryBackoffMs(remintBackoffCount_++, -1);
    DevFileLog::record(QStringLiteral("session.remint_backoff"),
                       {{QStringLiteral("attempt"), remintBackoffCount_},
                        {QStringLiteral("delay_ms"), delay}});
    if (!sessionRetryTimer_.isActive())
        armSessionRetry(delay);
}

void PlayerController::applyMintAnswer(int status, const QByteArray& body,
                                       const QByteArray& retryAfter, qint64 nowMs,
                                       RuntimeCompat::MintKind kind)
{
    const RuntimeCompat::ProblemDecision decision = RuntimeCompat::decideProblem(
        status, body, retryAfter, {}, kind, QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC));
    mintWatchdogTimer_.stop();
    mintInFlight_ = false;
    handleMintProblem(decision,
                      decision.code.isEmpty() ? QStringLiteral("device_session_http") : decision.code,
                      clock_->monotonicMs());
}

void PlayerController::handleMintProblem(const RuntimeCompat::ProblemDecision& decision,
                                         const QString& code, qint64 monotonicMs)
{
    ProblemAction action = decision.action;
    if (action == ProblemAction::RetryBackoff && code == QLatin1String("proof_invalid")) {
        while (!proofInvalidTimes_.isEmpty()
               && proofInvalidTimes_.first() < monotonicMs - proofInvalidWindowMs)
            proofInvalidTimes_.removeFirst();
        // A proof refused again and again is not cured by signing faster.
        if (proofInvalidTimes_.size() >= proofInvalidLimit)
            action = ProblemAction::HoldLkg;
        else
            proofInvalidTimes_.append(monotonicMs);
    }
    DevFileLog::record(QStringLiteral("session.problem"),
                       {{QStringLiteral("code"), code.left(80)},
                        {QStringLiteral("status"), decision.status},
                        {QStringLiteral("action"), RuntimeCompat::actionName(action)},
                        {QStringLiteral("basis"), RuntimeCompat::basisName(decision.basis)}});
    bool credentialRejected = credentialRejectedStatus(decision.status);
    if (action != ProblemAction::RetryBackoff || code == QLatin1String("idempotency_mismatch"))
        mintIdempotencyKey_.clear();
    if (!pairingReturnForbidden() && credentialRejected
        && action != ProblemAction::UpgradeRequired) {
        enterFirstBootPairing();
        return;
    }
    noteMintFailed();

    // Every path counts the attempt, so that a bound player's retries through an outage back
    // off like any other.
    const int attempt = sessionRetryCount_++;
    const qint64 serverDelay = decision.retryAfterMs;
    const qint64 hold = RuntimeCompat::holdCadenceMs(attempt, serverDelay);
    qint64 delay = hold;
    bool retrying = false;
    switch (action) {
    case ProblemAction::Repair:
        repairNeeded_ = true;
        publishOverlay();
        break;
    case ProblemAction::UpgradeRequired:
        noteUpgradeRequired(decision.playerKind, decision.minSupported);
        credentialRejected = false;
        break;
    case ProblemAction::ClearLkg:
        if (code == QLatin1String("screen_archived"))
            enterArchived();
        else
            clearToNoContent();
        break;
    case ProblemAction::RetryBackoff:
    case ProblemAction::Remint:
        delay = RuntimeCompat::retryBackoffMs(attempt, serverDelay);
        // While the service cannot be reached at all, a session is asked for again within a
        // minute: nothing else tells a screen without one that its service is back, and until
        // then it says it plays offline. Only a mint nothing answered is: the reach the transport
        // tells still holds the attempt before this answer, and a wait the service asked for
        // (of a fleet coming back to it at once, say) is kept whole.
        if (decision.status == 0 && transport_.serviceUnreachable())
            delay = std::min(delay, ServiceReach::unreachedRetryMs());
        retrying = true;
        break;
    case ProblemAction::HoldLkg:
        break;
    }
    armSessionRetry(delay);

    if (credentialRejected) {
        holdPairedAssignment(true, QStringLiteral("HTTP %1 %2").arg(decision.status).arg(code));
        return;
    }
    if (screenArchived_)
        return;
    if (activeSlot_ >= 0)
        setStatus(QStringLiteral("offline_lkg_active"));
    else
        setStatus(retrying ? QStringLiteral("session_retrying") : code);
}

void PlayerController::noteEnrollmentBound(qint64 nowMs, qint64 retryAfterMs)
{
    Q_UNUSED(nowMs);
    ++enrollmentBindDepth_;
    noteKnownBound();
    persistBoundMarker();
    pairingStartKey_.clear();
    transport_.clearPairingStartKey();
    repairNeeded_ = false;
    for (QTimer* timer : {&pairingStartTimer_, &pairingEventsRetryTimer_,
                          &pairingCompletionRetryTimer_, &pairingExpiryTimer_})
        timer->stop();
    // A bound screen has no use for a pairing stream.
    transport_.closePairingEvents();
    if (!pairingCode_.isEmpty()) {
        pairingCode_.clear();
        pairingExpiry_ = QDateTime();
        Q_EMIT pairingChanged();
    }
    armSessionRetry(RuntimeCompat::holdCadenceMs(sessionRetryCount_++, retryAfterMs));
    --enrollmentBindDepth_;
}

void PlayerController::persistBoundMarker()
{
    QString error;
    if (state_.markEnrolled(&error)) {
        noteKnownBound();
        boundPersistPending_ = false;
        boundPersistAttempts_ = 0;
        boundRetryTimer_.stop();
        return;
    }
    // Bound in memory all the same: the player never falls back to pairing meanwhile.
    boundPersistPending_ = true;
    DevFileLog::record(QStringLiteral("bound.persist_failed"), field("code", error));
    if (!boundRetryTimer_.isActive())
        boundRetryTimer_.start(
            clampRetryDelayMs(RuntimeCompat::retryBackoffMs(boundPersistAttempts_++, -1)));
}

void PlayerController::noteKnownBound()
{
    if (knownBound_)
        return;
    knownBound_ = true;
    DevFileLog::record(QStringLiteral("bound.adopted"));
}

void PlayerController::noteUpgradeRequired(const QString& playerKind,
                                           const QString& minSupported)
{
    const bool wasShown = upgradeNotice_.shown;
    upgradeNotice_ = overlay::upgradeNotice(
        upgradeNotice_, {overlay::UpgradeEvent::Required, qint64(mintGeneration_)});
    DevFileLog::record(QStringLiteral("player.update_check"),
                       {{QStringLiteral("reason"), QStringLiteral("upgrade_required")},
                        {QStringLiteral("player_kind"), playerKind.left(logTextLimit)},
                        {QStringLiteral("min_supported"), minSupported.left(logTextLimit)},
                        {QStringLiteral("generation"), QString::number(mintGeneration_)}});
    if (!wasShown)
        publishOverlay();
}

// The offline stretch runs from the first sign that the service is out of reach until the
// event stream is up again.
void PlayerController::setOnline(bool online)
{
    if (online)
        offlineSince_ = QDateTime();
    else if (!offlineSince_.isValid())
        offlineSince_ = QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC);
    followEventStream(online);
}

void PlayerController::followEventStream(bool up)
{
    if (up != online_) {
        online_ = up;
        playerState_.networkChanged(up);
        if (up) {
            adPlannerTimer_.start(250);
            adOutboxFlushTimer_.start();
        } else {
            adPlannerTimer_.stop();
            adOutboxFlushTimer_.stop();
            handBackAdEventBatch();
        }
    }
    publishOverlay();
}

// A stream the player closes itself is down as surely as one the network drops: nothing that
// needs it goes on as if it were up. Whether the service is out of reach is learnt from what
// follows (a refused mint, a stream that cannot open), so no offline stretch starts here.
void PlayerController::closeEventStream()
{
    transport_.closeEvents();
    followEventStream(false);
}

// --- The transport's session answers -------------------------------------------------------

void PlayerController::handleDeviceSessionSucceeded(const QString& cursor)
{
    mintInFlight_ = false;
    mintWatchdogTimer_.stop();
    if (!transport_.hasDeviceCredential())
        return;
    sessionRevokedWhilePlaying_ = false;
    sessionFault_ = false;
    repairNeeded_ = false;
    if (std::exchange(screenRefusalSaid_, false)) {
        writeStandardErrorLine(QStringLiteral("Runtime service %1 accepts this screen again.")
                                   .arg(RuntimeTransport::serviceOrigin(origin_).toString())
                                   .toLocal8Bit(),
                               JournalPriority::Notice);
    }
    lastMintAtMs_ = clock_->monotonicMs();
    firstFailureAtMs_ = 0;
    sessionRetryCount_ = 0;
    upgradeNotice_ = overlay::upgradeNotice(
        upgradeNotice_, {overlay::UpgradeEvent::Cleared, qint64(mintGeneration_)});
    publishOverlay();
    armSafetyPoll();
    persistBoundMarker();
    mintIdempotencyKey_.clear();
    eventCursor_ = cursor;
    if (activeSlot_ < 0)
        setStatus(QStringLiteral("session_ready"));
    else
        setStatus(playingStatus());
    beginSession();
    flushPendingMediaStarts();
    resendPendingActivation();
    publishObservation();
}

void PlayerController::handleDeviceSessionFailed(const QString& code, int, int, bool)
{
    mintWatchdogTimer_.stop();
    if (mintAbortedByWatchdog_) {
        mintAbortedByWatchdog_ = false;
        return;
    }
    mintInFlight_ = false;
    const qint64 now = clock_->monotonicMs();
    if (firstFailureAtMs_ == 0)
        firstFailureAtMs_ = now;
    handleMintProblem(transport_.lastMintDecision(), code, now);
}

void PlayerController::handleRuntimeSessionExpired()
{
    hideToast();
    closeEventStream();
    if (!mintInFlight_ && identityStore_.load() && pairingReturnForbidden())
        remintAfterSessionLoss();
}

void PlayerController::handleEventConnectionChanged(bool connected)
{
    if (connected) {
        firstFailureAtMs_ = 0;
        setOnline(true);
        if (activeSlot_ >= 0 && status_ == QLatin1String("offline_lkg_active"))
            setStatus(playingStatus());
        return;
    }
    if (firstFailureAtMs_ == 0)
        firstFailureAtMs_ = clock_->monotonicMs();
    setOnline(false);
    if (activeSlot_ >= 0 && !paymentRequired_ && !sessionRevokedWhilePlaying_)
        setStatus(QStringLiteral("offline_lkg_active"));
}

void PlayerController::handleUpgradeRecommended(const QString&, const QString& minSupported)
{
    const QString minimum = minSupported.left(logTextLimit);
    DevFileLog::record(QStringLiteral("player.update_check"),
                       {{QStringLiteral("reason"), QStringLiteral("recommended")},
                        {QStringLiteral("min_supported"), minimum}});
    transport_.reportCondition(QStringLiteral("info"), QStringLiteral("player.update_recommended"),
                               {{QStringLiteral("min_supported"), minimum}});
}

// --- Pairing -------------------------------------------------------------------------------

void PlayerController::enterFirstBootPairing()
{
    if (pairingReturnForbidden()) {
        holdPairedAssignment(true);
        return;
    }
    sessionRetryTimer_.stop();
    pairingStartTimer_.stop();
    mintInFlight_ = false;
    mintIdempotencyKey_.clear();
    transport_.clearDeviceCredential();
    screenRefusalSaid_ = false;
    if (pairingReturnForbidden() || resumeStoredPairing())
        return;
    sendPairingStart();
}

void PlayerController::startPairing()
{
    if (pairingReturnForbidden() || resumeStoredPairing())
        return;
    sendPairingStart();
}

// The same start key until the service answers, across restarts too: the service then opens
// one pairing for this screen however often the start is sent.
void PlayerController::sendPairingStart()
{
    QString key = pairingStartKey_;
    if (key.isEmpty())
        key = transport_.pendingPairingStartKey();
    if (key.isEmpty())
        key = idempotencyKey();
    pairingStartKey_ = key;
    transport_.rememberPairingStartKey(key);
    ++pairingStartCount_;
    transport_.startPairing(key);
}

bool PlayerController::resumeStoredPairing()
{
    const auto [code, expiresAt] = transport_.storedPairingLocator();
    if (!NativePairingStore::validLocator(code))
        return false;
    if (!transport_.adoptStoredPairingCredential()) {
        transport_.clearPairingSession();
        return false;
    }
    pairingStartKey_.clear();
    if (expiresAt.isValid() && expiresAt.toMSecsSinceEpoch() > serviceNowMs()) {
        applyPairingLocator(code, expiresAt);
    } else {
        // The code is past its time, but a claim made while the player was off may still be
        // waiting on the stream: listen once before starting over.
        pairingCode_.clear();
        pairingExpiry_ = expiresAt;
        Q_EMIT pairingChanged();
        pairingExpiryTimer_.start(pairingExpiryRecheckMs);
    }
    transport_.openPairingEvents();
    return true;
}

void PlayerController::rotatePairing(const QString& reason)
{
    if (pairingReturnForbidden())
        return;
    transport_.closePairingEvents();
    transport_.clearPairingSession();
    for (QTimer* timer :
         {&pairingEventsRetryTimer_, &pairingExpiryTimer_, &pairingCompletionRetryTimer_})
        timer->stop();
    pairingCode_.clear();
    pairingExpiry_ = QDateTime();
    completionNonce_.clear();
    pairingHandoff_ = false;
    pairingHandoffText_.clear();
    pairingStartKey_.clear();
    Q_EMIT pairingChanged();
    setStatus(reason);
    // A code that comes expired (the service's clock and the code's lifetime at odds) would
    // otherwise be asked for again about once a second: the next rotation for that reason waits
    // for the rest of 30 s after the last took effect.
    int delayMs = pairingRotateMs;
    if (reason == QLatin1String("pairing_expired")) {
        qint64 at = clock_->monotonicMs();
        if (pairingExpiredRotationMs_ && at - *pairingExpiredRotationMs_ < pairingExpiredSpacingMs) {
            const qint64 due = *pairingExpiredRotationMs_ + pairingExpiredSpacingMs;
            delayMs = int(due - at);
            at = due;
        }
        pairingExpiredRotationMs_ = at;
    }
    pairingStartTimer_.start(delayMs);
}

void PlayerController::applyPairingLocator(const QString& code, const QDateTime& expiresAt)
{
    if (!expiresAt.isValid() || expiresAt.toMSecsSinceEpoch() <= serviceNowMs()) {
        rotatePairing(QStringLiteral("pairing_expired"));
        return;
    }
    pairingCode_ = code;
    pairingExpiry_ = expiresAt;
    completionNonce_.clear();
    pairingHandoff_ = false;
    pairingHandoffText_.clear();
    Q_EMIT pairingChanged();
    hideToast();
    setStatus(QStringLiteral("awaiting_pairing"));
    armPairingExpiryWatch();
}

qint64 PlayerController::serviceNowMs() const
{
    const qint64 lo = transport_.serviceNowLoMs();
    return lo > 0 ? lo : clock_->nowMs();
}

void PlayerController::armPairingExpiryWatch()
{
    pairingExpiryTimer_.stop();
    const qint64 ms = pairingExpiry_.isValid()
        ? pairingExpiry_.toMSecsSinceEpoch() - serviceNowMs()
        : 0;
    if (ms < 1) {
        rotatePairing(QStringLiteral("pairing_expired"));
        return;
    }
    pairingExpiryTimer_.start(int(std::min(ms, pairingExpiryWatchMaxMs)));
}

void PlayerController::handlePairingExpiry()
{
    // A claim being completed outlives the code it claimed.
    if (!completionNonce_.isEmpty())
        return;
    if (pairingExpiry_.isValid() && pairingExpiry_.toMSecsSinceEpoch() > serviceNowMs())
        armPairingExpiryWatch();
    else
        rotatePairing(QStringLiteral("pairing_expired"));
}

void PlayerController::applyPairingAnswer(const QString& code, int, int retryAfterMs,
                                          qint64 nowMs)
{
    if (code == QLatin1String("enrollment_bound"))
        noteEnrollmentBound(nowMs, retryAfterMs < 1 ? -1 : retryAfterMs);
}

void PlayerController::retryPairingEvents()
{
    if (!transport_.hasPairingCredential()) {
        rotatePairing(QStringLiteral("pairing_credential_unavailable"));
        return;
    }
    transport_.openPairingEvents();
}

void PlayerController::retryPairingCompletion()
{
    if (!transport_.hasPairingCredential())
        rotatePairing(QStringLiteral("pairing_completion_request_invalid"));
    else if (!completionNonce_.isEmpty())
        transport_.completePairing(completionNonce_);
}

void PlayerController::endPairingCelebration()
{
    pairingCelebrating_ = false;
    Q_EMIT pairingCelebrationChanged();
}

// --- The transport's pairing answers -------------------------------------------------------
// Pairing delays honour the service's Retry-After, but never below the floor of every retry
// in this player: a service answering "retry after 1 ms" would otherwise get a busy loop.

void PlayerController::handlePairingStarted(const QString& code, const QDateTime& expiresAt)
{
    pairingStartFailures_ = 0;
    pairingStartKey_.clear();
    applyPairingLocator(code, expiresAt);
    if (!pairingCode_.isEmpty())
        transport_.openPairingEvents();
}

void PlayerController::handlePairingStartFailed(const QString& code, int status,
                                                int retryAfterMs, bool transient)
{
    if (code == QLatin1String("enrollment_bound")) {
        applyPairingAnswer(code, status, retryAfterMs, clock_->nowMs());
        return;
    }
    setStatus(code);
    if (!transient)
        pairingStartKey_.clear();
    const int failures = std::min(pairingStartFailures_++, 5);
    const qint64 backoff = std::min<qint64>(qint64(1000) << failures, pairingStartCeilingMs);
    pairingStartTimer_.start(clampRetryDelayMs(retryAfterMs >= 1 ? retryAfterMs : backoff));
}

void PlayerController::handlePairingClaimed(const QString& nonce)
{
    if (seenPairingNonces_.contains(nonce)) {
        rotatePairing(QStringLiteral("pairing_event_replayed"));
        return;
    }
    // The oldest nonce makes room, never the one just added.
    seenPairingNonces_.insert(nonce);
    seenPairingOrder_.append(nonce);
    while (seenPairingOrder_.size() > maxSeenPairingNonces)
        seenPairingNonces_.remove(seenPairingOrder_.takeFirst());
    pairingExpiryTimer_.stop();
    pairingHandoff_ = !pairingCode_.isEmpty();
    pairingHandoffText_ = pairingCode_;
    pairingCode_.clear();
    completionNonce_ = nonce;
    Q_EMIT pairingChanged();
    transport_.completePairing(nonce);
}

void PlayerController::handlePairingEventFailed(const QString& code, int status,
                                                int retryAfterMs, bool transient)
{
    if (status == 401 || status == 404 || !transport_.hasPairingCredential()) {
        rotatePairing(code);
        return;
    }
    setStatus(transient ? QStringLiteral("pairing_stream_reconnecting") : code);
    pairingEventsRetryTimer_.start(
        clampRetryDelayMs(retryAfterMs >= 1 ? retryAfterMs : pairingEventsRetryMs));
}

void PlayerController::handlePairingCompleted(const QString& screenLabel)
{
    if (pairingHandoff_) {
        pairingCelebrating_ = true;
        celebrationTimer_.start();
        Q_EMIT pairingCelebrationChanged();
    }
    pairingHandoff_ = false;
    pairingHandoffText_.clear();
    for (QTimer* timer : {&pairingExpiryTimer_, &pairingCompletionRetryTimer_,
                          &pairingStartTimer_, &pairingEventsRetryTimer_})
        timer->stop();
    // The pairing credential is spent; its stream has nothing more to say.
    transport_.closePairingEvents();
    pairingCode_.clear();
    pairingExpiry_ = QDateTime();
    completionNonce_.clear();
    pairingStartKey_.clear();
    updateScreenLabel(screenLabel);
    Q_EMIT pairingChanged();
    setStatus(QStringLiteral("pairing_complete"));
    persistBoundMarker();
    retryDeviceSession();
}

void PlayerController::handlePairingCompleteFailed(const QString& code, int status,
                                                   int retryAfterMs, bool transient)
{
    if (code == QLatin1String("enrollment_bound")) {
        applyPairingAnswer(code, status, retryAfterMs, clock_->nowMs());
        return;
    }
    if (transient && status != 401 && status != 404 && !completionNonce_.isEmpty()
        && transport_.hasPairingCredential()) {
        setStatus(QStringLiteral("pairing_completion_retrying"));
        pairingCompletionRetryTimer_.start(
            clampRetryDelayMs(retryAfterMs >= 1 ? retryAfterMs : pairingCompletionRetryMs));
        return;
    }
    // A claim that cannot be completed has already taken the code off the screen and stopped
    // its expiry watch: only a fresh code gets the screen paired.
    rotatePairing(code);
}

} // namespace talvorine
