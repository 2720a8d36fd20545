// Activation and transitions, page rotation and visibility, media timing within a page,
// playback reports, and what happens to a candidate that fails.

#include "controller/PlayerController.h"

namespace talvorine {

// --- Page rotation -------------------------------------------------------------------------

// The timer may fire early; only a dwell that has really run out turns the page.
void PlayerController::pageTimerFired()
{
    const qint64 remaining = pageDwellMs_ - pageClock_.elapsedMs();
    if (remaining > 0) {
        pageTimer_.start(int(remaining));
        return;
    }
    advanceReason_ = QStringLiteral("timer");
    advancePage();
}

void PlayerController::advancePage() {}
void PlayerController::evaluateVisibility() {}

QList<int> PlayerController::eligibleNow(const Manifest& manifest) const
{
    QList<std::optional<PageVisibility>> schedules;
    schedules.reserve(manifest.pages.size());
    for (const Page& page : manifest.pages)
        schedules.append(page.visibility);
    const std::optional<ZonedCivilTime> civil =
        ScheduleEvaluator::civilTime(clock_->nowMs(), manifest.timezone);
    QList<int> eligible;
    for (int index : ScheduleEvaluator::eligibleIndices(schedules, civil)) {
        if (manifest.pages.at(index).type != PageType::adslot
            && pageInStoragePlan(pendingStoragePlan_, activeStoragePlan_, manifest, index))
            eligible.append(index);
    }
    return eligible;
}

QList<int> PlayerController::eligibleNow() const
{
    return activeManifest_ ? eligibleNow(*activeManifest_) : QList<int>();
}

// --- Media timing --------------------------------------------------------------------------

// The deadline belongs to the primitive that armed it, not to whichever image comes first.
void PlayerController::mediaItemDeadlineReached()
{
    if (!mediaItemTimerPrimitive_.isEmpty())
        handleMediaItemEnded(mediaItemTimerPrimitive_);
}

void PlayerController::handleMediaItemEnded(const QString&) {}
void PlayerController::videoEndOfStream(int, const QString&) {}

// --- Activation and transitions ------------------------------------------------------------

void PlayerController::transitionEnded()
{
    retireOutgoingSlot();
    armObjectEnter();
}

void PlayerController::retireOutgoingSlot() {}
void PlayerController::armObjectEnter() {}

// --- Playback reports ----------------------------------------------------------------------

void PlayerController::videoStarted(int, const QString&) {}
void PlayerController::handlePlaybackReportFailed(const QString&, const QString&, const QString&,
                                                  int)
{
}

// --- Candidate failure ---------------------------------------------------------------------

void PlayerController::candidateDeadlineReached()
{
    failCandidate(QStringLiteral("page_ready_timeout"));
}

void PlayerController::failCandidate(const QString&) {}

} // namespace talvorine
