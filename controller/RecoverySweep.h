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

struct RecoverySnapshot {
    // The revision on glass; empty while nothing is.
    QString glassRevision;
    // Monotonic ms since nothing has been on glass; ignored while a page is.
    qint64 darkSinceMs = 0;
    // A revision taken in but not on glass (a held fetch's, one waiting for room, or the one
    // beside the pending plan); empty when none.
    QString handRevision;
    // Its pages eligible now, in order, with the digests of each page's objects.
    QList<int> handPages;
    QHash<int, QSet<QString>> handPageObjects;
    // Those that failed for a fault of their own (not for want of an object): preparing them
    // again would fail again.
    QSet<int> handFailed;
    // What the last background fetch of that revision found in the caches or landed.
    QSet<QString> local;
    // Pages of the revision on glass passed over for an object their origin withholds, and
    // whether they have landed since, with the digests of each of those pages' objects.
    QSet<int> unlandedPages;
    QString unlandedRevision;
    QSet<int> withheldPages;
    QString withheldRevision;
    QHash<int, QSet<QString>> withheldPageObjects;
    // Objects no fetch asks for again in this revision.
    QSet<QString> givenUp;
    // What is under way or armed.
    bool candidate = false;
    bool fetch = false;
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
