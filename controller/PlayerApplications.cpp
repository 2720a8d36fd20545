// Requests from web applications: events, logs, page advance and the key-value store.
//
// Everything here comes from a page's own script through its placement, so it is hostile input:
// a request speaks only for an application primitive of the page its slot shows, and the
// transport validates what it sends. Every event and key-value request gets exactly one answer,
// keyed "<generation>_<primitive id>_<request id>" with the generation its placement was given;
// each placement takes only the whole keys it sent.
//
// An application is often told its context while its page is still being prepared, and loads
// its saved state before it says "ready". Its reads go out at once: they change nothing on
// glass. Its writes and events wait until its page is on glass, and are refused if the page
// never gets there.

#include "controller/PlayerController.h"
#include "web/SdkBridge.h"

#include <QJsonObject>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

const QString forbiddenBody = QStringLiteral("{\"code\":\"forbidden\",\"status\":403}");
const QString rateLimitedBody = QStringLiteral("{\"code\":\"rate_limited\",\"status\":429}");

// The wrapper keeps at most this many requests of one kind awaiting answers; a placement
// claiming more is not the wrapper speaking.
constexpr qsizetype maxHeldPerApplication = 64;

enum class Admission { Forward, Hold, Refuse };

// What becomes of a request: an application on glass is served; one whose page is being
// prepared reads at once and holds the rest; anything else is refused.
Admission admission(const Primitive* primitive, bool onGlass, bool read)
{
    if (!primitive)
        return Admission::Refuse;
    return onGlass || read ? Admission::Forward : Admission::Hold;
}

} // namespace

PlayerController::ApplicationSource PlayerController::applicationSource(
    int slot, const QString& primitiveId) const
{
    const auto application = [&primitiveId](const Page* page) -> const Primitive* {
        if (!page)
            return nullptr;
        for (const Primitive& primitive : page->primitives) {
            if (primitive.kind == PrimitiveKind::application && primitive.id == primitiveId)
                return &primitive;
        }
        return nullptr;
    };
    if (activeSlot_ >= 0 && slot == activeSlot_)
        return {application(activePage()), true, activeGeneration_};
    if (candidate_ && slot == candidate_->slot)
        return {application(candidatePage()), false, candidate_->generation};
    // The page leaving glass: its placement still claims answers under its own generation.
    return {nullptr, false, (slot == 0 ? stageA_ : stageB_).generation()};
}

QString PlayerController::applicationRequestKey(quint64 generation, const QString& primitiveId,
                                                const QString& requestId)
{
    return QString::number(generation) + u'_' + primitiveId + u'_' + requestId;
}

bool PlayerController::holdApplicationRequest(HeldApplicationRequest request)
{
    const auto sameKind = [&request](const HeldApplicationRequest& held) {
        return held.generation == request.generation && held.primitiveId == request.primitiveId
            && held.event == request.event;
    };
    if (std::count_if(heldApplicationRequests_.cbegin(), heldApplicationRequests_.cend(), sameKind)
        >= maxHeldPerApplication)
        return false;
    heldApplicationRequests_.append(std::move(request));
    return true;
}

void PlayerController::releaseHeldApplicationRequests()
{
    // Those of the page now on glass are asked again, as from glass; any other page's are
    // refused.
    for (const HeldApplicationRequest& held : std::exchange(heldApplicationRequests_, {})) {
        if (held.generation != activeGeneration_ || activeSlot_ < 0)
            refuseHeldApplicationRequest(held);
        else if (held.event)
            applicationEventRequested(activeSlot_, held.primitiveId, held.code, held.requestId);
        else
            applicationKvRequested(activeSlot_, held.primitiveId, held.requestId, held.request);
    }
}

void PlayerController::refuseHeldApplicationRequests()
{
    for (const HeldApplicationRequest& held : std::exchange(heldApplicationRequests_, {}))
        refuseHeldApplicationRequest(held);
}

void PlayerController::refuseHeldApplicationRequest(const HeldApplicationRequest& held)
{
    const QString key = applicationRequestKey(held.generation, held.primitiveId, held.requestId);
    if (held.event)
        Q_EMIT applicationEventFinished(key, 403, forbiddenBody);
    else
        Q_EMIT applicationKvFinished(key, 403, forbiddenBody);
}

void PlayerController::applicationLogRequested(int slot, const QString& primitiveId,
                                               const QString& level, const QString& code,
                                               const QString& message)
{
    const ApplicationSource source = applicationSource(slot, primitiveId);
    if (source.primitive && source.onGlass)
        transport_.reportApplicationLog(primitiveId, level, code, message);
}

void PlayerController::applicationEventRequested(int slot, const QString& primitiveId,
                                                 const QString& code, const QString& requestId)
{
    const ApplicationSource source = applicationSource(slot, primitiveId);
    const QString key = applicationRequestKey(source.generation, primitiveId, requestId);
    switch (admission(source.primitive, source.onGlass, false)) {
    case Admission::Forward:
        transport_.reportApplicationEvent(primitiveId, code, key);
        return;
    case Admission::Hold:
        if (!holdApplicationRequest({source.generation, primitiveId, requestId, code, {}, true}))
            Q_EMIT applicationEventFinished(key, 429, rateLimitedBody);
        return;
    case Admission::Refuse:
        Q_EMIT applicationEventFinished(key, 403, forbiddenBody);
        return;
    }
}

void PlayerController::applicationKvRequested(int slot, const QString& primitiveId,
                                              const QString& requestId, const QVariantMap& request)
{
    const ApplicationSource source = applicationSource(slot, primitiveId);
    const QString key = applicationRequestKey(source.generation, primitiveId, requestId);
    const QJsonObject object = QJsonObject::fromVariantMap(request);
    const QString capability =
        SdkBridge::kvCapability(object.value(QLatin1String("kind")).toString());
    if (capability.isEmpty() || !transport_.hasSessionCapability(capability)) {
        // The application's promise settles now rather than never.
        Q_EMIT applicationKvFinished(key, 403, forbiddenBody);
        return;
    }
    switch (admission(source.primitive, source.onGlass, capability == QLatin1String("kv.read"))) {
    case Admission::Forward:
        // A request the bridge refuses (a malformed key or value) is answered by the transport
        // at once, without reaching the network.
        transport_.applicationKv(
            key, SdkBridge::kvRequest(
                     object,
                     source.primitive->binding.value(QLatin1String("applicationId")).toString(),
                     source.primitive->capabilityHandle));
        return;
    case Admission::Hold:
        if (!holdApplicationRequest(
                {source.generation, primitiveId, requestId, {}, request, false}))
            Q_EMIT applicationKvFinished(key, 429, rateLimitedBody);
        return;
    case Admission::Refuse:
        Q_EMIT applicationKvFinished(key, 403, forbiddenBody);
        return;
    }
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

// A report the service never took is sent again once, as long as its revision is on glass: one
// refused as unauthorised with the next session, one that got no answer of the service's (none,
// a busy service, a page in its place) with the next answer the service itself gives.
void PlayerController::handleActivationReportFailed(const QString& revision, const QString& code)
{
    if ((code != QLatin1String("activation_report_unauthorized")
         && code != QLatin1String("activation_report_unanswered"))
        || activationRetryArmed_)
        return;
    if (activeSlot_ < 0 || !activeManifest_ || revision != activeManifest_->manifestRevision)
        return;
    pendingActivationRevision_ = revision;
    activationRetryArmed_ = true;
}

void PlayerController::resendPendingActivation()
{
    // Without a session it could not go out, and its one retry would be spent.
    if (!transport_.hasRuntimeSession())
        return;
    const QString revision = std::exchange(pendingActivationRevision_, QString());
    if (!revision.isEmpty() && activeSlot_ >= 0 && activeManifest_
        && activeManifest_->manifestRevision == revision)
        transport_.reportActivated(revision, true);
}

} // namespace talvorine
