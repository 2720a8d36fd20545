// Manifest intake, the screen's own state (archive, payment, stream problems, unpairing,
// renames, the held update) and reload requests.

#include "controller/PlayerController.h"

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

// Wired by the constructor or called by other units; intake and screen state fill them.

void PlayerController::enterArchived() {}
void PlayerController::holdPairedAssignment(bool) {}
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
void PlayerController::fetchCurrentManifest() {}
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
