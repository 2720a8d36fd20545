#include "controller/PlayerState.h"

#include "app/DevFileLog.h"
#include "controller/PlayerController.h"

#include <QStringList>

#include <algorithm>
#include <array>

namespace talvorine {

// --- PlayerState ---------------------------------------------------------------------------

void PlayerState::boot(bool ready)
{
    phase_ = ready ? 2 : 1;
}

void PlayerState::candidateFetched(const QString& revision)
{
    candidateRevision_ = revision;
    phase_ = 2;
    diagnosticCode_.clear();
}

bool PlayerState::candidateReady(bool mediaReady, bool rendererReady)
{
    if (candidateRevision_.isEmpty() || !mediaReady || !rendererReady)
        return false;
    activeRevision_ = candidateRevision_;
    candidateRevision_.clear();
    phase_ = 3;
    diagnosticCode_.clear();
    return true;
}

void PlayerState::syncFailed(const QString& code)
{
    candidateRevision_.clear();
    phase_ = 4;
    diagnosticCode_ = code;
}

void PlayerState::networkChanged(bool online)
{
    if (online) {
        if (phase_ == 4)
            phase_ = 2;
        diagnosticCode_.clear();
        return;
    }
    if (!activeRevision_.isEmpty()) {
        diagnosticCode_ = QStringLiteral("offline_lkg_active");
        return;
    }
    diagnosticCode_ = QStringLiteral("offline_no_content");
    phase_ = 4;
}

void PlayerState::rendererRestarted()
{
    candidateRevision_.clear();
    if (!activeRevision_.isEmpty()) {
        phase_ = 3;
        diagnosticCode_ = QStringLiteral("renderer_restart_lkg_active");
    } else {
        phase_ = 2;
        diagnosticCode_ = QStringLiteral("renderer_restart_no_lkg");
    }
}

// --- Runtime phase -------------------------------------------------------------------------

QString runtimePhaseText(RuntimePhase phase)
{
    switch (phase) {
    case RuntimePhase::Starting: return QStringLiteral("starting");
    case RuntimePhase::Pairing: return QStringLiteral("pairing");
    case RuntimePhase::Candidate: return QStringLiteral("candidate");
    case RuntimePhase::Active: return QStringLiteral("active");
    case RuntimePhase::Degraded: return QStringLiteral("degraded");
    case RuntimePhase::Fatal: break;
    }
    return QStringLiteral("fatal");
}

RuntimePhase runtimePhaseFor(const RuntimePhaseFacts& facts)
{
    const QString& status = facts.status;
    if (facts.fatal)
        return RuntimePhase::Fatal;
    if (facts.archived)
        return RuntimePhase::Degraded;
    if (facts.pairingCodeShown)
        return RuntimePhase::Pairing;
    if (facts.paymentRequired)
        return RuntimePhase::Degraded;
    if (status == QLatin1String("degraded_lkg_active"))
        return RuntimePhase::Degraded;
    if (facts.candidatePreparing)
        return RuntimePhase::Candidate;
    if (status == QLatin1String("preparing_candidate")
        || status == QLatin1String("awaiting_renderer_readiness"))
        return RuntimePhase::Candidate;
    if (facts.slotActive)
        return RuntimePhase::Active;
    if (status == QLatin1String("awaiting_content"))
        return RuntimePhase::Active;
    static const QStringList starting{QStringLiteral("starting"), QStringLiteral("session_ready"),
                                      QStringLiteral("syncing"),
                                      QStringLiteral("pairing_complete")};
    if (starting.contains(status))
        return RuntimePhase::Starting;
    if (facts.statePhase == 4)
        return RuntimePhase::Degraded;
    if (facts.online && !facts.pairingCodeShown && facts.deviceCredential)
        return RuntimePhase::Active;
    if (status == QLatin1String("awaiting_pairing"))
        return RuntimePhase::Pairing;
    return RuntimePhase::Degraded;
}

// --- Fatal surfaces ------------------------------------------------------------------------

bool FatalSurface::isOverlayOrRetainedPlayback(std::string_view text)
{
    static constexpr std::array<std::string_view, 16> states{
        "assignment_held", "offline_playing", "paused",        "degraded_lkg_active",
        "archived",        "syncing",         "decode_miss",   "verify_fail",
        "offline_lkg_active", "schedule_timezone", "storage_full", "playing",
        "session_revoked", "unavailable",     "credits_low",   "payment_required"};
    return std::find(states.begin(), states.end(), text) != states.end();
}

bool FatalSurface::bodyLooksUnsafe(std::string_view text)
{
    static constexpr std::array<std::string_view, 12> words{
        "authorization", "bearer ", "cookie", "pairing", "tvd_", "nonce", "pixels",
        "image/webp", "data:image", "talvorine-pairing", "talvorine-device", "talvorine-session"};
    std::string lowered(text);
    // Only ASCII letters fold: the words are ASCII, and folding anything else could make a
    // harmless text look like one of them.
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
        return lowered.find(word) != std::string::npos;
    });
}

QString FatalSurface::reasonText(int code)
{
    switch (code) {
    case ColourContractMissing:
        return QStringLiteral("This player is missing its colour contract.");
    case StatusContractMissing:
        return QStringLiteral("This player is missing its status contract.");
    case TypefacesMissing: return QStringLiteral("This player is missing its typefaces.");
    case LocalStateUnusable: return QStringLiteral("This player cannot keep its local state.");
    default: return {};
    }
}

QString FatalSurface::reason(int code)
{
    const QString text = reasonText(code);
    if (text.isEmpty() || bodyLooksUnsafe(text.toStdString()))
        return QStringLiteral("Ask your agent about this screen");
    return text;
}

QString FatalSurface::logCode(int code)
{
    switch (code) {
    case ColourContractMissing: return QStringLiteral("chrome_tokens_unavailable");
    case StatusContractMissing: return QStringLiteral("overlay_contract_unavailable");
    case TypefacesMissing: return QStringLiteral("font_catalog_unavailable");
    case LocalStateUnusable: return QStringLiteral("state_directory_unusable");
    default: return {};
    }
}

// --- The controller's phase, status and fatal surfaces --------------------------------------

RuntimePhase PlayerController::runtimePhase() const
{
    RuntimePhaseFacts facts;
    facts.fatal = fatalCode_ != FatalSurface::None;
    facts.archived = screenArchived_;
    facts.pairingCodeShown = !pairingCode_.isEmpty();
    facts.paymentRequired = paymentRequired_;
    facts.candidatePreparing = candidate_.has_value();
    facts.slotActive = activeSlot_ >= 0;
    facts.online = online_;
    facts.deviceCredential = transport_.hasDeviceCredential();
    facts.statePhase = playerState_.phase();
    facts.status = status_;
    return runtimePhaseFor(facts);
}

void PlayerController::setStatus(const QString& status)
{
    if (status != status_) {
        status_ = status;
        Q_EMIT statusChanged();
    }
    publishOverlay();
    evaluateSplash();
}

// While the event stream is down the player says it plays offline; only the reconnect says
// otherwise. An identity it cannot use is said for the whole run: no page turn and no stream ever
// ends it. A page on glass that failed is said until another shows, whatever the service
// answers meanwhile. A revision on glass not yet saved as the last known good is said until it is.
QString PlayerController::playingStatus() const
{
    return identityFault_        ? QStringLiteral("identity_fault")
           : glassPageFailed()  ? QStringLiteral("degraded_lkg_active")
           : lastKnownGoodOwed_ ? QStringLiteral("playing_lkg_persist_failed")
           : online_            ? QStringLiteral("playing")
                                : QStringLiteral("offline_lkg_active");
}

bool PlayerController::fatalVisible() const
{
    return fatalCode_ != FatalSurface::None;
}

QString PlayerController::fatalReason() const
{
    return FatalSurface::reason(fatalCode_);
}

void PlayerController::enterFatal(FatalSurface::Code code)
{
    if (fatalCode_ != FatalSurface::None || !FatalSurface::isFatalCode(code))
        return;
    const std::string reason = FatalSurface::reasonText(code).toStdString();
    if (FatalSurface::isOverlayOrRetainedPlayback(reason) || FatalSurface::bodyLooksUnsafe(reason))
        return;

    rendererRecoveryTimer_.stop();
    fatalCode_ = code;
    DevFileLog::record(QStringLiteral("fatal"),
                       {{QStringLiteral("code"), FatalSurface::logCode(code)}});

    // The surface is terminal: no session or pairing work goes on behind it.
    for (QTimer* timer : {&pairingStartTimer_, &pairingEventsRetryTimer_, &pairingExpiryTimer_,
                          &pairingCompletionRetryTimer_, &sessionRetryTimer_})
        timer->stop();
    closeEventStream();
    transport_.closePairingEvents();
    if (!pairingCode_.isEmpty()) {
        pairingCode_.clear();
        pairingExpiry_ = QDateTime();
        pairingHandoffText_.clear();
        Q_EMIT pairingChanged();
    }
    resetAdPlanning(QStringLiteral("fatal"));
    // The surface hides the panel; left open behind it, the panel would take keys unseen.
    operatorPanel_.close();

    hideToast();
    Q_EMIT fatalChanged();
    publishOverlay();
    splashTimer_.start();
    evaluateSplash();
}

} // namespace talvorine
