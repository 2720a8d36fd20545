// Entries of the content pipeline's neighbouring units that this unit calls before those units
// have landed: each answers as if its unit had nothing to do, and goes when the unit lands.

#include "controller/PlayerController.h"

namespace talvorine {

const Page* PlayerController::candidatePage() const
{
    if (!candidate_ || candidate_->pageIndex < 0
        || candidate_->pageIndex >= candidate_->manifest.pages.size())
        return nullptr;
    return &candidate_->manifest.pages.at(candidate_->pageIndex);
}

void PlayerController::prepareNextAsset(quint64) {}
void PlayerController::rearmActiveClock() {}

int PlayerController::visibleMediaIndex(const QString&, const Primitive&) const
{
    return 0;
}

QSet<QString> PlayerController::soundtrackHashes() const
{
    return {};
}

void PlayerController::beginReplacement(Manifest, QByteArray, bool, bool, int) {}
void PlayerController::tryActivateReplacement() {}
void PlayerController::noteReplacementUnreachable() {}
void PlayerController::admitLandedPages() {}

bool PlayerController::holdForUnavailableAnchor(const QString&)
{
    return false;
}

void PlayerController::verifyNextRetainedPage() {}
void PlayerController::activateCandidate() {}
void PlayerController::reportPageFailed(const Manifest&, int, const QString&) {}
void PlayerController::latchOverlayFailure(const QString&) {}

} // namespace talvorine
