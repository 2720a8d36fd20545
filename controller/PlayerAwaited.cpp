// Entries that other parts of the controller own and that playback calls before they are here:
// each answers as the player does when that part has nothing to say. They go as their owners
// arrive.

#include "controller/PlayerController.h"

namespace talvorine {

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
