// The readiness gate: a candidate whose assets are settled waits until the scene has reported
// every primitive ready, skips what cannot be shown, and is handed to activation.

#include "controller/PlayerReadiness.h"

#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPreparation.h"

#include <QTimer>

#include <algorithm>

namespace talvorine {

ActivationGate activationGate(const ActivationFacts& facts)
{
    if (facts.adPresentation && !facts.adVisitAdmitted)
        return ActivationGate::AwaitAdVisit;
    if (facts.pendingAssets > 0)
        return ActivationGate::DownloadsPending;
    if (facts.splashVisible)
        return ActivationGate::Splash;
    return facts.allReady ? ActivationGate::Activate : ActivationGate::AwaitRenderer;
}

CandidateFailure candidateFailure(bool revisionChange, const QString& reason, bool pagePresent,
                                  bool iframe)
{
    if (revisionChange || reason == QLatin1String("renderer_recovery"))
        return CandidateFailure::SkipPrimitive;
    if (!pagePresent)
        return CandidateFailure::FailCandidate;
    return iframe ? CandidateFailure::ExternalFrameReady : CandidateFailure::SkipPrimitive;
}

} // namespace talvorine

// --- The controller's readiness gate -------------------------------------------------------

namespace talvorine {

namespace {

constexpr int candidateDeadlineMs = 60000;
constexpr int rendererRecoveryMs = 2500;

QString advanceMode(const Page* page)
{
    return page ? page->advance.value(QLatin1String("mode")).toString() : QString();
}

QString count(qsizetype n)
{
    return QString::number(n);
}

} // namespace

void PlayerController::candidateMediaPrepared(quint64 generation)
{
    if (!candidateOwns(generation) || candidate_->pendingAssets != 0)
        return;
    publishSyncGlyph(false, false);
    if (!candidateOwns(generation))
        return;
    const Page* page = candidatePage();
    if (!page) {
        failCandidate(QStringLiteral("layout_not_ready"));
        return;
    }
    QStringList ids = candidate_->requiredPrimitives.values();
    std::sort(ids.begin(), ids.end());
    logPlayback("candidate_media_prepared",
                {{QStringLiteral("page_id"), page->id},
                 {QStringLiteral("advance_mode"), advanceMode(page)},
                 {QStringLiteral("ready"), count(candidate_->readyPrimitives.size())},
                 {QStringLiteral("required"), count(candidate_->requiredPrimitives.size())},
                 {QStringLiteral("already_ready"),
                  candidate_->readyPrimitives == candidate_->requiredPrimitives
                      ? QStringLiteral("true")
                      : QStringLiteral("false")}});
    const int slot = candidate_->slot;
    setStatus(QStringLiteral("awaiting_renderer_readiness"));
    // The renderer has its own minute to report every primitive.
    candidateDeadlineTimer_.start(candidateDeadlineMs);
    Q_EMIT candidateAwaitingReadiness(slot, ids);
    if (retainedAwaitingCandidate_ && candidateOwns(generation)) {
        retainedAwaitingCandidate_ = false;
        verifyNextRetainedPage();
    }
    maybeActivate();
}

void PlayerController::primitiveReady(int slot, const QString& primitiveId)
{
    if (!candidate_ || slot != candidate_->slot
        || !candidate_->requiredPrimitives.contains(primitiveId))
        return;
    candidate_->readyPrimitives.insert(primitiveId);
    const Page* page = candidatePage();
    if (!page) {
        failCandidate(QStringLiteral("layout_not_ready"));
        return;
    }
    logPlayback("primitive_ready",
                {{QStringLiteral("page_id"), page->id},
                 {QStringLiteral("primitive_id"), primitiveId},
                 {QStringLiteral("advance_mode"), advanceMode(page)},
                 {QStringLiteral("ready"), count(candidate_->readyPrimitives.size())},
                 {QStringLiteral("required"), count(candidate_->requiredPrimitives.size())}});
    maybeActivate();
}

void PlayerController::applicationPrepared(int slot, const QString& primitiveId)
{
    if (!candidate_ || slot != candidate_->slot
        || !candidate_->requiredPrimitives.contains(primitiveId))
        return;
    candidate_->preparedApplications.insert(primitiveId);
    evaluateSplash();
}

void PlayerController::primitiveFailed(int slot, const QString& primitiveId, const QString& code)
{
    if (adActive() && slot == activeSlot_ && adPresentationShows(primitiveId, activeGeneration_)) {
        finishAdPresentation(false);
        endAdVisit(true);
        return;
    }
    if (slot == activeSlot_ && activeManifest_ && activePageIndex_ >= 0
        && activePageIndex_ < activeManifest_->pages.size()) {
        const Page& page = activeManifest_->pages.at(activePageIndex_);
        const bool shown = std::any_of(page.primitives.cbegin(), page.primitives.cend(),
                                       [&](const Primitive& p) { return p.id == primitiveId; });
        if (!shown)
            return;
        reportPageFailed(*activeManifest_, activePageIndex_, code);
        latchOverlayFailure(code);
        // Once a showing, however many of its primitives fail.
        if (!glassPageFailed()) {
            failedShowing_ = activeGeneration_;
            noteOwnFailure(glassPages_, activePageIndex_);
        }
        pageTimer_.stop();
        mediaItemTimer_.stop();
        setStatus(QStringLiteral("degraded_lkg_active"));
        if (rendererRecoveryTimer_.isActive())
            return;
        rendererRecoveryTimer_.start(rendererRecoveryMs);
        const quint64 generation = activeGeneration_;
        QTimer::singleShot(0, this, [this, generation] {
            if (activeGeneration_ == generation)
                recoverActiveRenderer();
        });
        return;
    }
    if (!candidate_ || slot != candidate_->slot)
        return;
    const Page* page = candidatePage();
    const bool iframe = page
                        && std::any_of(page->primitives.cbegin(), page->primitives.cend(),
                                       [&](const Primitive& p) {
                                           return p.id == primitiveId
                                                  && p.kind == PrimitiveKind::iframe;
                                       });
    switch (candidateFailure(candidate_->revisionChange, candidate_->reason, page, iframe)) {
    case CandidateFailure::SkipPrimitive:
        skipCandidatePrimitive(primitiveId, code);
        return;
    case CandidateFailure::FailCandidate:
        failCandidate(code);
        return;
    case CandidateFailure::ExternalFrameReady:
        candidate_->readyPrimitives.insert(primitiveId);
        logPlayback("primitive_failed", {{QStringLiteral("page_id"), page->id},
                                         {QStringLiteral("primitive_id"), primitiveId},
                                         {QStringLiteral("code"), code},
                                         {QStringLiteral("advance_mode"), advanceMode(page)},
                                         {QStringLiteral("action"),
                                          QStringLiteral("external_frame_ready")}});
        maybeActivate();
        return;
    }
}

void PlayerController::skipCandidatePrimitive(const QString& primitiveId, const QString& code)
{
    const Page* page = candidate_ ? candidatePage() : nullptr;
    if (page) {
        logPlayback("primitive_failed",
                    {{QStringLiteral("page_id"), page->id},
                     {QStringLiteral("primitive_id"), primitiveId},
                     {QStringLiteral("code"), code},
                     {QStringLiteral("advance_mode"), advanceMode(page)},
                     {QStringLiteral("action"), QStringLiteral("skip_primitive")}});
        candidate_->requiredPrimitives.remove(primitiveId);
        candidate_->readyPrimitives.remove(primitiveId);
        if (!candidate_->requiredPrimitives.isEmpty()) {
            maybeActivate();
            return;
        }
    }
    failCandidate(code);
}

void PlayerController::skipCandidateMedia(const QString& sha256, const QString& code)
{
    if (!candidate_)
        return;
    if (holdForUnavailableAnchor(sha256, code) || !candidate_)
        return;
    const Page* page = candidatePage();
    if (!page) {
        failCandidate(code);
        return;
    }
    QStringList using_;
    for (const Primitive& primitive : page->primitives) {
        if (primitiveUses(primitive, sha256) && !using_.contains(primitive.id))
            using_.append(primitive.id);
    }
    // A skip can fail this candidate and install the next page's at once: the rest of the
    // list belongs to this candidate only.
    const quint64 generation = candidate_->generation;
    for (const QString& id : std::as_const(using_)) {
        if (!candidateOwns(generation))
            return;
        skipCandidatePrimitive(id, code);
    }
}

bool PlayerController::candidatePageShows(const QString& sha256) const
{
    const Page* page = candidate_ ? candidatePage() : nullptr;
    return page && std::any_of(page->primitives.cbegin(), page->primitives.cend(),
                               [&](const Primitive& p) { return primitiveUses(p, sha256); });
}

void PlayerController::maybeActivate()
{
    if (!candidate_)
        return;
    const PreparedPage& c = *candidate_;
    const bool allReady = c.readyPrimitives == c.requiredPrimitives;
    const Page* page = candidatePage();
    const QString pageId = page ? page->id : QString();
    const auto held = [&](const QString& reason) {
        QHash<QString, QString> fields{{QStringLiteral("page_id"), pageId},
                                       {QStringLiteral("ready"), count(c.readyPrimitives.size())},
                                       {QStringLiteral("required"),
                                        count(c.requiredPrimitives.size())},
                                       {QStringLiteral("reason"), reason}};
        if (reason == QLatin1String("downloads_pending"))
            fields.insert(QStringLiteral("downloads_pending"), count(c.pendingAssets));
        logPlayback("activation_held", fields);
    };
    switch (activationGate({c.adPresentation, adVisitAdmitted(), c.pendingAssets, allReady,
                            splashVisible_})) {
    case ActivationGate::AwaitAdVisit:
    case ActivationGate::AwaitRenderer:
        return;
    case ActivationGate::DownloadsPending:
        if (allReady)
            held(QStringLiteral("downloads_pending"));
        return;
    case ActivationGate::Splash:
        evaluateSplash();
        return;
    case ActivationGate::Activate:
        break;
    }
    if (!playerState_.candidateReady(true, true)) {
        held(QStringLiteral("player_state"));
        return;
    }
    activateCandidate();
}

} // namespace talvorine
