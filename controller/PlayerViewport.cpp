// The viewport the scene reports and the observation sent to the service.

#include "controller/PlayerController.h"

namespace talvorine {

// Invokable; the viewport handling fills it.

void PlayerController::setViewport(double, double, double, bool) {}

} // namespace talvorine
