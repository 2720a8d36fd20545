// Entries that other parts of the controller own and that playback calls before they are here:
// each answers as the player does when that part has nothing to say. They go as their owners
// arrive.

#include "controller/PlayerController.h"

namespace talvorine {

const Page* PlayerController::activePage() const
{
    if (!activeManifest_ || activePageIndex_ < 0 || activePageIndex_ >= activeManifest_->pages.size())
        return nullptr;
    return &activeManifest_->pages.at(activePageIndex_);
}

QString PlayerController::manifestRoutePath() const
{
    return QStringLiteral("/runtime/v1/manifest");
}

void PlayerController::syncSoundtrack(const Manifest&, const Page&) {}

QSet<QString> PlayerController::soundtrackHashes() const
{
    return {};
}

bool PlayerController::stepPage(int, bool, const QString&)
{
    return false;
}

} // namespace talvorine
