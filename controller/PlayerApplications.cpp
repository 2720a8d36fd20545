// Requests from web applications: events, logs, page advance and the key-value store.
//
// Everything here comes from a page's own script through its placement, so it is hostile input:
// a request is admitted only from the slot on glass and only for an application primitive of the
// page shown there, and the transport validates what it sends. Answers go back keyed
// "<generation>_<primitive id>_<request id>"; each placement takes only the whole keys it sent.

#include "controller/PlayerController.h"
#include "web/SdkBridge.h"

#include <QJsonObject>

namespace talvorine {

namespace {

const QString forbiddenBody = QStringLiteral("{\"code\":\"forbidden\",\"status\":403}");

} // namespace

const Primitive* PlayerController::admittedApplication(int slot, const QString& primitiveId) const
{
    if (activeSlot_ < 0 || slot != activeSlot_)
        return nullptr;
    const Page* page = activePage();
    if (!page)
        return nullptr;
    for (const Primitive& primitive : page->primitives) {
        if (primitive.kind == PrimitiveKind::application && primitive.id == primitiveId)
            return &primitive;
    }
    return nullptr;
}

QString PlayerController::applicationRequestKey(const QString& primitiveId,
                                                const QString& requestId) const
{
    return QString::number(activeGeneration_) + u'_' + primitiveId + u'_' + requestId;
}

void PlayerController::applicationLogRequested(int slot, const QString& primitiveId,
                                               const QString& level, const QString& code,
                                               const QString& message)
{
    if (admittedApplication(slot, primitiveId))
        transport_.reportApplicationLog(primitiveId, level, code, message);
}

void PlayerController::applicationEventRequested(int slot, const QString& primitiveId,
                                                 const QString& code, const QString& requestId)
{
    if (admittedApplication(slot, primitiveId))
        transport_.reportApplicationEvent(primitiveId, code,
                                          applicationRequestKey(primitiveId, requestId));
}

void PlayerController::applicationKvRequested(int slot, const QString& primitiveId,
                                              const QString& requestId, const QVariantMap& request)
{
    const QString key = applicationRequestKey(primitiveId, requestId);
    const Primitive* primitive = admittedApplication(slot, primitiveId);
    const QJsonObject object = QJsonObject::fromVariantMap(request);
    const QString capability =
        SdkBridge::kvCapability(object.value(QLatin1String("kind")).toString());
    if (!primitive || capability.isEmpty() || !transport_.hasSessionCapability(capability)) {
        // The application's promise settles now rather than never.
        Q_EMIT applicationKvFinished(key, 403, forbiddenBody);
        return;
    }
    // A request the bridge refuses (a malformed key or value) is answered by the transport at
    // once, without reaching the network.
    transport_.applicationKv(
        key, SdkBridge::kvRequest(object,
                                  primitive->binding.value(QLatin1String("applicationId")).toString(),
                                  primitive->capabilityHandle));
}

void PlayerController::applicationAdvanceRequested(int slot, const QString&)
{
    // Any application of the page on glass may advance it.
    if (activeSlot_ < 0 || slot != activeSlot_ || !playbackPolicy_.shouldAutoAdvance())
        return;
    const Page* page = activePage();
    if (!page || page->advance.value(QLatin1String("mode")).toString() != QLatin1String("application"))
        return;
    advanceReason_ = QStringLiteral("application");
    advancePage();
}

void PlayerController::handleActivationReportFailed(const QString& revision, const QString& code)
{
    if (code != QLatin1String("activation_report_unauthorized") || activationRetryArmed_)
        return;
    if (activeSlot_ < 0 || !activeManifest_ || revision != activeManifest_->manifestRevision)
        return;
    pendingActivationRevision_ = revision;
    activationRetryArmed_ = true;
}

void PlayerController::resendPendingActivation()
{
    const QString revision = std::exchange(pendingActivationRevision_, QString());
    if (!revision.isEmpty() && activeSlot_ >= 0 && activeManifest_
        && activeManifest_->manifestRevision == revision)
        transport_.reportActivated(revision, true);
}

} // namespace talvorine
