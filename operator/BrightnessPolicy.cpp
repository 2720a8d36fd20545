#include "operator/BrightnessPolicy.h"

#include <algorithm>

namespace talvorine {

int BrightnessPolicy::clampPercent(int percent)
{
    return std::clamp(percent, 0, 100);
}

BrightnessPolicy::Split BrightnessPolicy::split(int percent)
{
    const double fraction = clampPercent(percent) / 100.0;
    if (fraction >= 1.0)
        return {};
    const double level = std::max(fraction, 0.1);
    return {level, std::clamp(1.0 - fraction / level, 0.0, 1.0)};
}

double BrightnessPolicy::perceivedLuminance(int percent)
{
    const Split parts = split(percent);
    return parts.level < 0 ? 1.0 : parts.level * (1.0 - parts.scrimOpacity);
}

} // namespace talvorine
