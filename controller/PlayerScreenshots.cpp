// Screenshot requests from the service: capture, upload and the outcome.

#include "app/DevFileLog.h"
#include "app/PlayerOpLog.h"
#include "controller/PlayerController.h"
#include "runtime/ScreenshotCapture.h"

#include <algorithm>

namespace talvorine {

namespace {

const QString captureOp = QStringLiteral("screenshot.capture");
const QString surfaceRefused = QStringLiteral("runtime.screenshot_surface_refused");
const QString encodeFailed = QStringLiteral("runtime.screenshot_encode_failed");

QJsonObject captureFields(const QString& captureId, const QJsonObject& extra = {})
{
    QJsonObject fields = extra;
    fields.insert(QStringLiteral("capture_id"), captureId);
    return fields;
}

QJsonObject errorCode(const QString& code)
{
    return {{QStringLiteral("code"), code}};
}

} // namespace

void PlayerController::handleScreenshotRequested(const ScreenshotRequest& request)
{
    if (!screenshotGate_.claim(request, QDateTime::fromMSecsSinceEpoch(serviceNowMs(), Qt::UTC)))
        return;
    const QString& captureId = request.captureId;
    const QJsonObject fields = captureFields(captureId);
    if (request.unsupported) {
        DevFileLog::record(QStringLiteral("screenshot.unsupported"), fields);
        transport_.reportScreenshotFailure(captureId, true);
        return;
    }
    const ScreenshotOp op{PlayerOpLog::newId(), clock_->nowMs()};
    screenshotOps_.insert(captureId, op);
    DevFileLog::record(QStringLiteral("screenshot.request"), fields);
    PlayerOpLog::startLocal(op.id, captureOp, QStringLiteral("screenshot capture"), fields);

    // The pairing code and a locked panel are for the people in front of the screen only.
    if (!pairingCode_.isEmpty() || operatorPanel_.stage() == OperatorStage::Locked) {
        failScreenshot(captureId, surfaceRefused, true);
        return;
    }
    const QImage picture =
        screenshotGrab_ ? screenshotGrab_() : ScreenshotCapture::grabPresentedWindow();
    finishScreenshot(request, ScreenshotCapture::encodeScaled(picture, request));
}

void PlayerController::finishScreenshot(const ScreenshotRequest& request, const QByteArray& bytes)
{
    const QString& captureId = request.captureId;
    if (!screenshotGate_.isCurrent(captureId)) {
        // Nothing is sent for a capture a newer request took over: no answer will close it.
        closeScreenshotOp(captureId, false, {}, errorCode(QStringLiteral("screenshot_superseded")));
        return;
    }
    if (request.expiresAt <= QDateTime::fromMSecsSinceEpoch(serviceNowMs(), Qt::UTC)) {
        screenshotGate_.release(captureId);
        closeScreenshotOp(captureId, false, {}, errorCode(QStringLiteral("screenshot_expired")));
        return;
    }
    if (!bytes.isEmpty()) {
        transport_.uploadScreenshot(captureId, bytes);
        return;
    }
    failScreenshot(captureId, encodeFailed, false);
}

// A capture that sends no picture: refused (the service hears "unsupported_surface") or failed
// ("capture_failed"). The gate keeps the id until the service has the notice.
void PlayerController::failScreenshot(const QString& captureId, const QString& code,
                                      bool refused)
{
    DevFileLog::record(refused ? QStringLiteral("screenshot.refused")
                               : QStringLiteral("screenshot.failed"),
                       captureFields(captureId, errorCode(code)));
    closeScreenshotOp(captureId, false, captureFields(captureId), errorCode(code));
    transport_.reportCondition(QStringLiteral("warning"), code,
                               {{QStringLiteral("capture_id"), captureId}});
    transport_.reportScreenshotFailure(captureId, refused);
}

// Each operation is closed once, by its own capture's outcome; answers for captures without an
// open operation close nothing.
void PlayerController::closeScreenshotOp(const QString& captureId, bool success,
                                         const QJsonObject& fields, const QJsonObject& error)
{
    const auto open = screenshotOps_.constFind(captureId);
    if (open == screenshotOps_.cend())
        return;
    const ScreenshotOp op = *open;
    screenshotOps_.erase(open);
    const qint64 durationMs = std::max<qint64>(0, clock_->nowMs() - op.startedMs);
    if (success)
        PlayerOpLog::finishLocal(op.id, captureOp, durationMs, fields);
    else
        PlayerOpLog::errorLocal(op.id, captureOp, durationMs, error, fields);
}

void PlayerController::handleScreenshotUploaded(const QString& captureId)
{
    DevFileLog::record(QStringLiteral("screenshot.uploaded"), captureFields(captureId));
    closeScreenshotOp(captureId, true, captureFields(captureId, {{QStringLiteral("status"), 204}}),
                      {});
    screenshotGate_.release(captureId);
}

void PlayerController::handleScreenshotReplaced(const QString& captureId)
{
    DevFileLog::record(QStringLiteral("screenshot.replaced"), captureFields(captureId));
    closeScreenshotOp(captureId, true, captureFields(captureId, {{QStringLiteral("status"), 409}}),
                      {});
    screenshotGate_.release(captureId);
}

void PlayerController::handleScreenshotUploadFailed(const QString& captureId, const QString& code)
{
    DevFileLog::record(QStringLiteral("screenshot.failed"),
                       captureFields(captureId, errorCode(code)));
    closeScreenshotOp(captureId, false, captureFields(captureId), errorCode(code));
    screenshotGate_.release(captureId);
}

void PlayerController::handleScreenshotFailureReported(const QString& captureId)
{
    DevFileLog::record(QStringLiteral("screenshot.failure_reported"), captureFields(captureId));
    screenshotGate_.release(captureId);
}

} // namespace talvorine
