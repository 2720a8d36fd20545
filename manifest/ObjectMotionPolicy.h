#pragma once

// The vocabulary of object motion that the manifest parser checks and the stage animates.

#include <string_view>

namespace talvorine {

// One vertex of a path motion, in canvas units.
struct ObjectMotionPoint {
    double x = 0.0;
    double y = 0.0;
};

struct ObjectMotionPolicy {
    static constexpr bool validSpinSpeed(std::string_view speed)
    {
        return speed == "slow" || speed == "medium" || speed == "fast";
    }

    static constexpr bool validPathLoop(std::string_view loop)
    {
        return loop == "once" || loop == "loop" || loop == "ping-pong";
    }

    static constexpr bool validDriftDirection(std::string_view direction)
    {
        return direction == "left" || direction == "right" || direction == "up"
            || direction == "down" || direction == "none";
    }
};

} // namespace talvorine
