// Pairing and the device session: the small timer operations the other units arm, the mint
// watchdog, and the reactions to the transport's pairing and session answers.

#include "controller/PlayerController.h"

#include "runtime/RuntimeCompat.h"

namespace talvorine {

namespace {

constexpr int mintWatchdogMs = 35000;
constexpr qint64 safetyPollLowMs = 240000;
constexpr qint64 safetyPollHighMs = 360000;

} // namespace

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
    if (sessionRetryTimer_.isActive())
        return;
    const int attempt = sessionRetryCount_++;
    const int delay = clampRetryDelayMs(RuntimeCompat::retryBackoffMs(attempt, -1));
    sessionRetryDelayMs_ = delay;
    sessionRetryTimer_.start(delay);
}

// --- Pairing -------------------------------------------------------------------------------
// Wired by the constructor; the pairing flow fills them.

void PlayerController::startPairing() {}
void PlayerController::retryPairingEvents() {}
void PlayerController::retryPairingCompletion() {}
void PlayerController::handlePairingExpiry() {}

void PlayerController::endPairingCelebration()
{
    pairingCelebrating_ = false;
    Q_EMIT pairingCelebrationChanged();
}

void PlayerController::handlePairingStarted(const QString&, const QDateTime&) {}
void PlayerController::handlePairingStartFailed(const QString&, int, int, bool) {}
void PlayerController::handlePairingClaimed(const QString&) {}
void PlayerController::handlePairingEventFailed(const QString&, int, int, bool) {}
void PlayerController::handlePairingCompleted(const QString&) {}
void PlayerController::handlePairingCompleteFailed(const QString&, int, int, bool) {}

// --- Device session ------------------------------------------------------------------------
// Wired by the constructor; the session flow fills them.

void PlayerController::start()
{
    discardAdCacheLeftovers();
}
void PlayerController::retryDeviceSession() {}
void PlayerController::persistBoundMarker() {}
void PlayerController::handleDeviceSessionSucceeded(const QString&) {}
void PlayerController::handleDeviceSessionFailed(const QString&, int, int, bool) {}
void PlayerController::handleRuntimeSessionExpired() {}
void PlayerController::handleUpgradeRecommended(const QString&, const QString&) {}
void PlayerController::handleEventConnectionChanged(bool) {}

} // namespace talvorine
