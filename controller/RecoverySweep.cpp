#include "controller/RecoverySweep.h"

#include <algorithm>

namespace talvorine {

QList<RecoveryAction> strandedActions(qint64 nowMs, const RecoverySnapshot& s)
{
    QList<RecoveryAction> actions;
    // A candidate, a fetch or a retry of either, a wait for room, a planning run or a restore
    // each end in a step that takes the revision on; the sweep leaves them to it.
    const bool underWay = s.candidate || s.fetch || s.repairing || s.retryArmed || s.roomWait
                          || s.planning || s.restoring;
    const bool dark = s.glass.revision.isEmpty();
    const RecoveryPages& hand = s.hand;
    // A revision with no page that may come waits for the next.
    const bool mayCome = std::any_of(hand.eligible.cbegin(), hand.eligible.cend(), [&](int page) {
        return pageMayCome(hand.objects.value(page), hand.failed.contains(page), s.local,
                           s.givenUp);
    });
    const bool newInHand = !hand.revision.isEmpty() && hand.revision != s.glass.revision && mayCome;
    if (newInHand && !underWay) {
        const auto whole = std::find_if(hand.eligible.cbegin(), hand.eligible.cend(), [&](int page) {
            if (hand.failed.contains(page))
                return false;
            const QSet<QString> objects = hand.objects.value(page);
            return std::all_of(objects.cbegin(), objects.cend(),
                               [&](const QString& digest) { return s.local.contains(digest); });
        });
        if (dark && !s.adOnGlass && nowMs - s.darkSinceMs >= darkScreenPrepareMs
            && whole != hand.eligible.cend())
            actions.append({RecoveryAction::Kind::PreparePage, hand.revision, *whole});
        else
            actions.append({RecoveryAction::Kind::HoldForRetry, hand.revision, -1});
    }
    // Withheld pages of the revision on glass still unlanded are only ever looked for by a repair
    // run, which the revision in hand never keeps out; one whose every object is given up would
    // be looked for in vain.
    if (!dark && !s.repairing && !s.repairRunArmed) {
        QList<int> stranded = (s.glass.withheld & s.glass.unlanded).values();
        std::sort(stranded.begin(), stranded.end());
        const auto fetchable = std::find_if(stranded.cbegin(), stranded.cend(), [&](int page) {
            const QSet<QString> objects = s.glass.objects.value(page);
            return std::any_of(objects.cbegin(), objects.cend(),
                               [&](const QString& digest) { return !s.givenUp.contains(digest); });
        });
        if (fetchable != stranded.cend())
            actions.append({RecoveryAction::Kind::ArmRepairRun, s.glass.revision, *fetchable});
    }
    return actions;
}

bool pageMayCome(const QSet<QString>& objects, bool failed, const QSet<QString>& local,
                 const QSet<QString>& givenUp)
{
    return !failed && std::none_of(objects.cbegin(), objects.cend(), [&](const QString& digest) {
        return !local.contains(digest) && givenUp.contains(digest);
    });
}

QString recoveryActionName(RecoveryAction::Kind kind)
{
    switch (kind) {
    case RecoveryAction::Kind::HoldForRetry:
        return QStringLiteral("hold_for_retry");
    case RecoveryAction::Kind::ArmRepairRun:
        return QStringLiteral("arm_repair_run");
    case RecoveryAction::Kind::PreparePage:
        return QStringLiteral("prepare_page");
    }
    return {};
}

} // namespace talvorine
