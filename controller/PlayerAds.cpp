// The controller's ad functions, as a player whose service never negotiated ad slots runs them:
// no ad is planned, staged or shown, so every query answers "none" and every operation leaves
// the state as it is. The ad slots replace this unit whole.

#include "controller/PlayerController.h"

namespace talvorine {

bool PlayerController::adsActive() const
{
    return false;
}

bool PlayerController::adActive() const
{
    return false;
}

bool PlayerController::adPresentationShows(const QString&, quint64) const
{
    return false;
}

bool PlayerController::adVisitAdmitted() const
{
    return false;
}

// Without a service clock the ad functions take 0 as now.
qint64 PlayerController::adNowHiMs() const
{
    return 0;
}

bool PlayerController::tryAdVisitRun(int, int)
{
    return false;
}

void PlayerController::beginAdPresentation(quint64, const QString&, const QString&,
                                           const QString&)
{
}

void PlayerController::adReportFirstFrame() {}
void PlayerController::resetAdPlanning(const QString&) {}
void PlayerController::interruptAdPresentation() {}
void PlayerController::finishAdPresentation(bool) {}
void PlayerController::endAdVisit(bool) {}
void PlayerController::adPlannerTick() {}
void PlayerController::adStallTick() {}
void PlayerController::flushAdOutbox() {}
void PlayerController::handleAdSlotsResolved(const AdResolveReply&) {}
void PlayerController::handleAdSlotsResolveFailed(const QString&, int, bool) {}
void PlayerController::handleAdEventsReported(const QList<AdEventOutcome>&) {}
void PlayerController::handleAdEventsReportFailed(const QString&, int, bool) {}
void PlayerController::adProgressSample(int, const QString&, qint64, qint64) {}

// No ad first frame is ever pending.
void PlayerController::handleWindowFramePresented() {}

} // namespace talvorine
