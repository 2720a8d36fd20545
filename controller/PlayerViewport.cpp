// The viewport the scene reports and the observation sent to the service.

#include "controller/PlayerController.h"

#include <cmath>

namespace talvorine {

namespace {

constexpr int maxObservedPx = 100000;
constexpr double maxPixelRatio = 32.0;

} // namespace

// Invokable; the viewport handling fills it.

void PlayerController::setViewport(double, double, double, bool) {}

// What the screen presents, told to the service once per change and again for every new
// session after a wipe.
void PlayerController::publishObservation()
{
    // Judged before the conversion: a size past the range of int must not reach it.
    const double width = std::trunc(frameSize_.width());
    const double height = std::trunc(frameSize_.height());
    if (!(width >= 1 && width <= maxObservedPx && height >= 1 && height <= maxObservedPx)
        || !std::isfinite(pixelRatio_) || pixelRatio_ <= 0 || pixelRatio_ > maxPixelRatio
        || !transport_.hasRuntimeSession())
        return;
    const Observation observation{int(width), int(height), pixelRatio_,
                                  viewportExclusiveOutput_ ? QStringLiteral("output")
                                                           : QStringLiteral("windowed")};
    if (lastObservation_ == observation)
        return;
    lastObservation_ = observation;
    transport_.putObservation(observation.width, observation.height, observation.pixelRatio,
                              observation.presentation);
}

} // namespace talvorine
