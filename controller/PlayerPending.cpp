// Entries of the content pipeline's neighbouring units that this unit calls before those units
// have landed: each answers as if its unit had nothing to do, and goes when the unit lands.

#include "controller/PlayerController.h"

namespace talvorine {

QSet<QString> PlayerController::soundtrackHashes() const
{
    return {};
}

void PlayerController::noteReplacementUnreachable() {}
void PlayerController::admitLandedPages() {}

bool PlayerController::holdForUnavailableAnchor(const QString&)
{
    return false;
}

void PlayerController::verifyNextRetainedPage() {}
void PlayerController::activateCandidate() {}

} // namespace talvorine
