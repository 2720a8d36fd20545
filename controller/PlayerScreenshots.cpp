// Screenshot requests from the service: capture, upload and the outcome.

#include "controller/PlayerController.h"

namespace talvorine {

// Wired by the constructor; the screenshot handling fills them.

void PlayerController::handleScreenshotRequested(const ScreenshotRequest&) {}
void PlayerController::handleScreenshotUploaded(const QString&) {}
void PlayerController::handleScreenshotFailureReported(const QString&) {}
void PlayerController::handleScreenshotReplaced(const QString&) {}
void PlayerController::handleScreenshotUploadFailed(const QString&, const QString&) {}

} // namespace talvorine
