// Manifest intake, the screen's own state (archive, payment, stream problems, unpairing,
// renames, the held update) and reload requests.

#include "controller/PlayerController.h"

#include "app/DevFileLog.h"
#include "runtime/RuntimeWireContract.h"

namespace talvorine {

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

// --- Screen state --------------------------------------------------------------------------

void PlayerController::handleScreenUnarchived()
{
    if (!screenArchived_)
        return;
    screenArchived_ = false;
    if (transport_.hasRuntimeSession())
        fetchCurrentManifest();
    publishOverlay();
}

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
void PlayerController::holdPairedAssignment(bool revoked)
{
    if (!pairingReturnForbidden()) {
        enterFirstBootPairing();
        return;
    }
    if (revoked)
        sessionRevokedWhilePlaying_ = activeSlot_ >= 0;
    resetAdPlanning(QStringLiteral("session_gone"));
    adPlannerTimer_.stop();
    transport_.closeEvents();
    if (activeSlot_ < 0)
        setStatus(QStringLiteral("session_retrying"));
    else
        setStatus(revoked ? QStringLiteral("session_revoked")
                          : QStringLiteral("offline_lkg_active"));
    if (!mintInFlight_ && !sessionRetryTimer_.isActive())
        armSessionRetry(2500);
}

// Wired by the constructor or called by other units; intake and screen state fill them.

void PlayerController::enterArchived() {}
void PlayerController::observeAssignmentHold() {}
void PlayerController::handleScreenLabelAnswered(int, const QString&) {}
void PlayerController::handleStreamProblem(const QString&, const QString&) {}
void PlayerController::requestUnpair() {}
void PlayerController::renameScreen(const QString&) {}
void PlayerController::wipeAndPair(bool) {}
void PlayerController::handleUnpairFailed(int, bool) {}

// --- Manifest intake -----------------------------------------------------------------------

void PlayerController::consumeManifest(const QByteArray&, bool, const QString&,
                                       const QByteArray&)
{
}
// One manifest request, conditional only when the remembered tag describes the manifest
// active now on the route about to be used.
void PlayerController::fetchCurrentManifest()
{
    const QString route = QLatin1String(manifestRouteV2_ ? RuntimeWire::manifestV2Route
                                                         : RuntimeWire::manifestRoute);
    const QByteArray etag = manifestEtagFor(route);
    if (manifestRouteV2_)
        transport_.fetchManifestV2(etag);
    else
        transport_.fetchManifest(etag);
}

void PlayerController::clearToNoContent() {}
void PlayerController::handleManifestRouteUnavailable() {}
void PlayerController::handleManifestNotModified(const QString&) {}
void PlayerController::handleManifestFailed(const QString&, int, const QString&) {}
void PlayerController::handleInvalidated(const QString&) {}
void PlayerController::handleResyncRequired(const QString&) {}
void PlayerController::handleEventFetchTimer() {}
void PlayerController::handleSafetyPoll() {}
void PlayerController::presentIdle(const QString&) {}

// --- Reload requests -----------------------------------------------------------------------

void PlayerController::reloadTimerFired()
{
    performReload(pendingReloadId_);
}

void PlayerController::handleReloadRequested(const QJsonObject&) {}
void PlayerController::performReload(const QString&) {}

} // namespace talvorine
