#pragma once

// The recovery sweep's rule. Every path that strands a page or a revision is meant to re-admit
// it or ask for its objects again itself; this rule is the level-triggered net beneath them: it
// looks at what the controller holds, and steps in only where nothing under way or armed would
// ever act again.

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace talvorine {

// What the sweep reads of one revision's page record.
struct RecoveryPages {
    // Empty when there is none.
    QString revision;
    // Its pages eligible now, in order (read of the revision in hand).
    QList<int> eligible;
    // Those that failed for a fault of their own (not for want of an object): preparing them
    // again would fail again.
    QSet<int> failed;
    // Pages whose objects are not all known to be local, and those passed over for an object
    // their origin withholds.
    QSet<int> unlanded;
    QSet<int> withheld;
    // The digests of the objects of each page above.
    QHash<int, QSet<QString>> objects;
};

struct RecoverySnapshot {
    // The revision on glass (no revision while nothing is), and the one taken in but not on glass
    // (a held fetch's, one waiting for room, or the one beside the pending plan).
    RecoveryPages glass;
    RecoveryPages hand;
    // Monotonic ms since nothing has been on glass; ignored while a page is.
    qint64 darkSinceMs = 0;
    // What the last background fetch of the revision in hand found in the caches or landed.
    QSet<QString> local;
    // Objects no fetch asks for again in this revision.
    QSet<QString> givenUp;
    // What is under way or armed: fetch is the revision in hand's (running or set aside for a
    // repair run), repairing a repair run's.
    bool candidate = false;
    bool fetch = false;
    bool repairing = false;
    bool repairRunArmed = false;
    bool retryArmed = false;
    bool roomWait = false;
    bool planning = false;
    bool restoring = false;
    bool adOnGlass = false;
};

struct RecoveryAction {
    enum class Kind {
        HoldForRetry, // the revision in hand comes in again after a back-off
        ArmRepairRun, // a repair run looks for the withheld pages' objects
        PreparePage,  // the page is prepared on a dark screen
    };
    Kind kind = Kind::HoldForRetry;
    QString revision;
    int page = -1;

    friend bool operator==(const RecoveryAction&, const RecoveryAction&) = default;
};

// How long a dark screen waits before a page whose objects are all here is put on it.
inline constexpr qint64 darkScreenPrepareMs = 60000;

QList<RecoveryAction> strandedActions(qint64 nowMs, const RecoverySnapshot& snapshot);

// Whether a page of a revision not on glass may yet come whole: one that failed for a fault of
// its own would fail again, and one lacking an object no fetch asks for cannot come whole.
bool pageMayCome(const QSet<QString>& objects, bool failed, const QSet<QString>& local,
                 const QSet<QString>& givenUp);

// The developer log's name of an action.
QString recoveryActionName(RecoveryAction::Kind kind);

} // namespace talvorine
