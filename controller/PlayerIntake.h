#pragma once

// Manifest intake's rules as functions of plain values: which route and schema a body belongs
// to, what a failed fetch leads to, when a service event may fetch during a failure hold, and how
// the held-update observation moves. The controller gathers the inputs and carries out the
// answers (controller/PlayerIntake.cpp).

#include "controller/PlayerState.h"
#include "runtime/RuntimeCompat.h"

#include <QString>

namespace talvorine {

// During a failure hold, service events fetch at most once in this window.
inline constexpr qint64 eventFetchWindowMs = 10000;

// The schema a body must have: any for a stored copy, else the one its route serves.
int expectedManifestSchema(bool fromNetwork, const QString& route);

// What a failed manifest fetch leads to. The delay is already clamped for the timer.
struct ManifestFailureStep {
    bool hold = false;
    qint64 delayMs = 0;
    bool clearLastKnownGood = false;
    bool upgradeRequired = false;
};

// The decision acts only when it belongs to this failure (same non-zero status); any other
// failure backs off without a server delay. attempt is the count of failures so far.
ManifestFailureStep manifestFailureStep(int status, const RuntimeCompat::ProblemDecision& decision,
                                        int attempt);

// A fetch a service event asks for: at once, or later through the event fetch timer.
struct EventFetchStep {
    bool fetchNow = false;
    qint64 armMs = -1; // -1: leave the timer as it is
};

// timerRemainingMs: -1 when the event fetch timer is idle. A wall clock that went back counts
// as a window that has passed, so that a corrected clock never silences events for long.
EventFetchStep eventFetchStep(bool failureHold, qint64 lastEventFetchAtMs, qint64 nowMs,
                              qint64 timerRemainingMs);

// The held-update observation: whether content has been seen since the last start or pairing,
// and since when a newer assignment waits behind the page on glass.
struct AssignmentHoldFacts {
    RuntimePhase phase = RuntimePhase::Starting;
    bool observed = false;
    bool sinceSet = false;
    bool onGlass = false;
    // A candidate page, or a replacement fetch not finished, that carries a new revision.
    bool updateUnderWay = false;
    // That revision is the one the hold was observed for.
    bool sameUpdate = false;
};

struct AssignmentHoldStep {
    bool observed = false;
    enum class Since { Keep, Start, Clear } since = Since::Clear;
    bool clearHeld = false;
};

AssignmentHoldStep assignmentHoldStep(const AssignmentHoldFacts& facts);

} // namespace talvorine
