// The soundtrack: which track plays, its gain, and the downloads of its files.

#include "controller/PlayerController.h"

namespace talvorine {

// Wired by the constructor or called by other units; the soundtrack fills them.

void PlayerController::fetchSoundtrack() {}
void PlayerController::runSoundtrack(SoundtrackSequencer::Command) {}
void PlayerController::soundtrackTrackFailed(const QString&) {}
void PlayerController::stopSoundtrack() {}
void PlayerController::applySoundtrackGain() {}

} // namespace talvorine
