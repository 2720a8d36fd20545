#include "controller/PlayerOverlay.h"

#include "app/DevFileLog.h"
#include "app/PlayerEnvironment.h"
#include "controller/PlayerController.h"
#include "overlay/OverlayIcons.h"
#include "overlay/OverlayPolicy.h"
#include "stage/ChromeTokens.h"

#include <algorithm>
#include <climits>

namespace talvorine {

namespace {

constexpr int rowGapPx = 8;

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

// --- Rules ---------------------------------------------------------------------------------

QStringList overlayFaults(const OverlayFaultFlags& flags, RuntimePhase phase, bool slotActive,
                          int statusDiagnosticClass)
{
    QStringList faults;
    const auto add = [&faults](bool set, const char* name) {
        if (set)
            faults.append(QLatin1String(name));
    };
    add(flags.archived, "screen_archived");
    add(flags.paymentRequired, "payment_required");
    add(flags.repair, "repair");
    add(flags.session, "session");
    add(flags.verify, "verify");
    add(flags.storage, "storage");
    add(flags.decode, "decode");
    if (phase == RuntimePhase::Degraded && slotActive) {
        static const char* const byClass[] = {nullptr, "session", "verify", "storage", "decode",
                                              "hold"};
        if (statusDiagnosticClass >= 1 && statusDiagnosticClass <= 5)
            faults.append(QLatin1String(byClass[statusDiagnosticClass]));
    }
    return faults;
}

int overlayChipWidthPx(int textSizePx, int iconSizePx, int accessibleNameLength, bool hasDetail)
{
    if (!hasDetail)
        return iconSizePx;
    const qint64 product = qint64(textSizePx) * accessibleNameLength;
    return int(double(product) * 0.55) + iconSizePx + (iconSizePx * 35) / 100;
}

int overlayNoticeWidthPx(int textSizePx, int iconSizePx, int noticeLength, bool shown)
{
    if (!shown)
        return 0;
    return iconSizePx + int(textSizePx * 0.55) * noticeLength + (iconSizePx * 3) / 10;
}

std::optional<qint64> toastDisplayMs(bool fillValid, const QString& text, qint64 remainingMs,
                                     int durationMs)
{
    if (!fillValid || text.isEmpty() || remainingMs < 1)
        return std::nullopt;
    const qint64 shown = std::min<qint64>(remainingMs, durationMs);
    // A toast with no time to show would only flash.
    if (shown < 1)
        return std::nullopt;
    return shown;
}

SyncGlyphStep nextSyncGlyph(const SyncGlyph& current, bool newPlaylist, bool skipSyncing,
                            bool busy, qint64 nowMs)
{
    SyncGlyphStep step;
    if (newPlaylist) {
        step.next = {SyncGlyph::newPlaylist, nowMs + SyncGlyph::holdMs};
        step.restartMs = SyncGlyph::holdMs;
        step.changed = current.state != SyncGlyph::newPlaylist;
        return step;
    }
    if (current.state == SyncGlyph::newPlaylist) {
        if (nowMs < current.holdUntilMs) {
            step.next = current;
            step.restartMs = current.holdUntilMs - nowMs;
            return step;
        }
        step.next = {SyncGlyph::none, 0};
        step.changed = true;
        return step;
    }
    step.next = {busy && !skipSyncing ? SyncGlyph::syncing : SyncGlyph::none, 0};
    step.changed = step.next.state != current.state;
    return step;
}

QString syncGlyphName(int state)
{
    switch (state) {
    case SyncGlyph::syncing: return QStringLiteral("syncing");
    case SyncGlyph::newPlaylist: return QStringLiteral("new-playlist");
    default: return {};
    }
}

// --- The controller's overlay publishing ---------------------------------------------------

const Manifest* PlayerController::manifestInView() const
{
    if (candidate_)
        return &candidate_->manifest;
    if (replacement_)
        return &replacement_->manifest;
    return activeManifest_ ? &*activeManifest_ : nullptr;
}

bool PlayerController::contentTransfersBusy() const
{
    const bool candidateFetching =
        candidate_ && !candidateReplies_.isEmpty() && candidate_->pendingAssets > 0;
    return candidateFetching || (replacement_ && !replacement_->drained);
}

overlay::OverlayInput PlayerController::buildOverlayInput() const
{
    const qint64 now = clock_->nowMs();
    const RuntimePhase phase = runtimePhase();
    const bool slotActive = activeSlot_ >= 0;

    overlay::OverlayInput input;
    // The held-update observation starts its stamp only for a new revision behind the page on
    // glass (observeAssignmentHold, run first by every publication).
    input.updatePending = holdObserved_ && holdSinceMs_ > 0;
    // The next page of the revision on glass being prepared is a page turn, not a candidate the
    // screen waits for: the overlay judges the page that plays.
    const bool pageTurn = phase == RuntimePhase::Candidate && slotActive && !input.updatePending;
    input.phase = runtimePhaseText(pageTurn ? RuntimePhase::Active : phase);
    input.playing = slotActive;
    input.showingContent = slotActive;
    if (input.updatePending)
        input.updateProgress = overlay::OverlayInput::UpdateProgress{
            std::max<qint64>(0, now - holdSinceMs_), assignmentHeld_};
    if (offlineSince_.isValid())
        input.offlineForMs = std::max<qint64>(0, now - offlineSince_.toMSecsSinceEpoch());

    OverlayFaultFlags flags;
    flags.archived = screenArchived_;
    flags.paymentRequired = paymentRequired_;
    flags.repair = repairNeeded_;
    flags.session = sessionFault_;
    flags.verify = verifyFault_;
    flags.storage = storageFault_;
    flags.decode = decodeFault_;
    input.faults = overlayFaults(flags, phase, slotActive,
                                 OverlayPolicy::classifyDiagnostic(status_));
    // An identity the screen was bound with and cannot use any more needs the screen repaired;
    // it lasts for the run, whatever plays meanwhile.
    input.repairNeeded = identityFault_;

    input.operatorPaused = playbackPolicy_.paused();
    if (const Manifest* manifest = manifestInView()) {
        input.scheduleNeedsTimezone = manifest->timezone.isEmpty()
            && std::any_of(manifest->pages.cbegin(), manifest->pages.cend(),
                           [](const Page& page) { return page.visibility.has_value(); });
    }
    input.creditBalance = creditsRemaining_;
    input.nowMs = now;
    input.environment = environmentFromOrigin(origin_) == PlayerEnvironment::Local
        ? QStringLiteral("non_production")
        : QStringLiteral("production");
    input.upgradeNoticeShown = upgradeNotice_.shown;
    if (storageFault_ && storageSample_) {
        const StoragePlanRecord* record = pendingStoragePlan_ ? &*pendingStoragePlan_
            : activeStoragePlan_                              ? &*activeStoragePlan_
                                                              : nullptr;
        // What the plan lacks, against what the volume has free; the capacity is what is left
        // after the reserve, nothing an operator can see on the volume.
        const StorageMeasurement& measurement = storageSample_->measurement;
        const qint64 lacking =
            record ? roomLacking(measurement, record->plan.headroom_needed_bytes.value_or(0)) : 0;
        if (lacking > 0)
            input.neededBytes = double(lacking);
        input.availableBytes = double(measurement.available);
    }
    return input;
}

void PlayerController::publishOverlay()
{
    observeAssignmentHold();
    OverlayContract& contract = OverlayContract::instance();
    contract.load();
    const overlay::OverlayInput input = buildOverlayInput();
    // The offline chip is due once the stretch reaches the contract's bound, whether or not
    // anything else is published by then.
    const qint64 offlineChipDueMs = input.offlineForMs && contract.loaded()
        ? contract.data()->offlineChipAfterMs - *input.offlineForMs
        : 0;
    if (offlineChipDueMs > 0)
        offlineChipTimer_.start(int(std::min<qint64>(offlineChipDueMs, INT_MAX)));
    else
        offlineChipTimer_.stop();
    std::optional<overlay::EvaluateResult> result;
    if (contract.loaded())
        result = overlay::evaluate(input, &overlayMemory_, *contract.data());
    if (!result) {
        chip_ = {};
        notice_ = {};
        Q_EMIT overlayChanged();
        return;
    }

    overlayMemory_ = result->memory;
    const overlay::OverlayOutput& output = result->output;
    for (const overlay::OverlayReport& report : output.reports) {
        QVariantMap details;
        for (auto it = report.details.cbegin(); it != report.details.cend(); ++it)
            details.insert(it.key(), it.value());
        transport_.reportCondition(report.level, report.name, details);
    }
    if (output.dismissToast && toastRaisedByOverlay_)
        hideToast();
    if (output.toast) {
        const qint64 expiresMs = clock_->nowMs() + output.toast->durationMs;
        showToast(output.toast->level, output.toast->text, output.toast->durationMs,
                  QDateTime::fromMSecsSinceEpoch(expiresMs, Qt::UTC), true);
    }

    ChipState chip;
    if (output.chip)
        chip = {output.chip->conditionId, output.chip->level, output.chip->icon,
                output.chip->detail};
    const QString noticeId = output.notice ? output.notice->id : QString();
    const bool changed = chip != chip_ || noticeId != notice_.id;
    chip_ = chip;
    notice_ = output.notice
        ? NoticeState{output.notice->id, output.notice->text, output.notice->icon}
        : NoticeState{};
    upgradeNoticePublished_ = upgradeNotice_.shown;
    if (output.activeConditions.contains(QStringLiteral("assignment_held")))
        assignmentHeld_ = true;
    if (changed) {
        DevFileLog::record(QStringLiteral("overlay"),
                           {{QStringLiteral("code"), chip_.conditionId},
                            {QStringLiteral("level"), chip_.level},
                            {QStringLiteral("status"), status_},
                            {QStringLiteral("retained"), flag(activeSlot_ >= 0)},
                            {QStringLiteral("online"), flag(online_)},
                            {QStringLiteral("chip"), flag(chipVisible())},
                            {QStringLiteral("active"),
                             output.activeConditions.join(QLatin1Char(','))}});
    }
    Q_EMIT overlayChanged();
}

void PlayerController::handleCreditsRemaining(qint64 remaining)
{
    if (creditsRemaining_ && *creditsRemaining_ == remaining)
        return;
    creditsRemaining_ = remaining;
    publishOverlay();
}

// --- Toasts --------------------------------------------------------------------------------

void PlayerController::showToast(const QString& level, const QString& text, int durationMs,
                                 const QDateTime& expiresAt, bool raisedByOverlay)
{
    const QColor fill = ChromeTokens::instance().toastFill(level);
    const qint64 remaining = expiresAt.isValid()
        ? expiresAt.toMSecsSinceEpoch() - clock_->nowMs()
        : 0;
    const std::optional<qint64> shownMs = toastDisplayMs(fill.isValid(), text, remaining,
                                                         durationMs);
    if (!shownMs)
        return;
    toastRaisedByOverlay_ = raisedByOverlay;
    toastLevel_ = level;
    toastText_ = text;
    toastFill_ = fill;
    toastVisible_ = true;
    Q_EMIT toastChanged();
    toastTimer_.start(int(*shownMs));
}

void PlayerController::applyToast(const QString& level, const QString& text, int durationMs,
                                  const QDateTime& expiresAt)
{
    showToast(level, text, durationMs, expiresAt, false);
}

void PlayerController::hideToast()
{
    toastTimer_.stop();
    toastRaisedByOverlay_ = false;
    if (!toastVisible_ && toastText_.isEmpty() && !toastFill_.isValid())
        return;
    toastVisible_ = false;
    toastText_.clear();
    toastFill_ = QColor();
    toastLevel_.clear();
    Q_EMIT toastChanged();
}

// --- Sync glyph ----------------------------------------------------------------------------

void PlayerController::publishSyncGlyph(bool newPlaylist, bool skipSyncing)
{
    const SyncGlyphStep step = nextSyncGlyph(syncGlyph_, newPlaylist, skipSyncing,
                                             contentTransfersBusy(), clock_->nowMs());
    syncGlyph_ = step.next;
    if (step.restartMs)
        syncGlyphTimer_.start(int(std::min<qint64>(*step.restartMs, SyncGlyph::holdMs)));
    else
        syncGlyphTimer_.stop();
    if (step.changed)
        Q_EMIT syncGlyphChanged();
}

void PlayerController::syncGlyphTimerFired()
{
    publishSyncGlyph(false, false);
}

// --- What the scene reads ------------------------------------------------------------------

QStringList PlayerController::toastMarkPaths() const
{
    const OverlayContract& contract = OverlayContract::instance();
    if (!contract.loaded() || toastLevel_.isEmpty())
        return {};
    const QString icon = contract.data()->toastMarks.value(toastLevel_);
    return icon.isEmpty() ? QStringList() : overlayIconPaths(icon);
}

QString PlayerController::chipLabel() const
{
    const OverlayContract& contract = OverlayContract::instance();
    if (contract.loaded() && chipVisible()) {
        if (const overlay::OverlayConditionSpec* conditionDef =
                contract.data()->conditionForId(chip_.conditionId)) {
            const QString message = contract.data()->messages.value(conditionDef->messageKey);
            if (!message.isEmpty())
                return message;
        }
    }
    return chip_.conditionId;
}

QString PlayerController::chipAccessibleName() const
{
    const QString label = chipLabel();
    return chip_.detail.isEmpty() ? label : label + QLatin1Char(' ') + chip_.detail;
}

QColor PlayerController::chipFill() const
{
    return ChromeTokens::instance().toastFill(chip_.level);
}

QColor PlayerController::overlayMarkColor() const
{
    return ChromeTokens::instance().levelOnGround(chip_.level);
}

QColor PlayerController::noticeFill() const
{
    const OverlayContract& contract = OverlayContract::instance();
    if (!contract.loaded())
        return {};
    return ChromeTokens::instance().toastFill(contract.data()->notice.level);
}

int PlayerController::chipWidth() const
{
    return overlayChipWidthPx(overlayGeometry_.noticeTextSizePx, overlayGeometry_.statusIconSizePx,
                              int(chipAccessibleName().size()), !chip_.detail.isEmpty());
}

int PlayerController::noticeWidth() const
{
    return overlayNoticeWidthPx(overlayGeometry_.noticeTextSizePx,
                                overlayGeometry_.statusIconSizePx, int(notice_.text.size()),
                                noticeVisible());
}

int PlayerController::noticeLeftPx() const
{
    return OverlayGeometry::noticeLeftPx(chipVisible(), chipWidth(), rowGapPx,
                                         overlayGeometry_.safeAreaHorizontalPx);
}

int PlayerController::toastMaxWidthPx() const
{
    return OverlayGeometry::toastMaxWidthPx(overlayGeometry_.width,
                                            overlayGeometry_.safeAreaHorizontalPx, chipVisible(),
                                            chipWidth(), noticeVisible(), noticeWidth(), rowGapPx);
}

} // namespace talvorine
