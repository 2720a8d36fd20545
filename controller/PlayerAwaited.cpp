// Entries that other parts of the controller own and that playback calls before they are here:
// each answers as the player does when that part has nothing to say. They go as their owners
// arrive.

#include "controller/PlayerController.h"
#include "controller/PlayerPreparation.h"

namespace talvorine {

// Without package downloads a background fetch goes on without the package, as after a hard
// failure of its download.
void PlayerController::downloadApplicationPackage(const Primitive& primitive, quint64 generation,
                                                  int, bool)
{
    if (!replacementOwns(generation))
        return;
    const QString digest = applicationPackageDescriptor(primitive).sha256;
    replacement_->packages.removeIf(
        [&](const Primitive& p) { return applicationPackageDescriptor(p).sha256 == digest; });
    pumpReplacement();
}

} // namespace talvorine
