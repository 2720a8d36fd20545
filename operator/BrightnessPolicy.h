#pragma once

namespace talvorine {

// The software brightness: without a hardware backend the player dims with a black scrim over
// the picture. Down to 10 % nothing is dimmed; below that the scrim darkens to fully black at 0 %.
class BrightnessPolicy {
public:
    struct Split {
        double level = -1.0; // -1 stands for no dimming at all
        double scrimOpacity = 0.0;
    };

    BrightnessPolicy() = delete;

    static int clampPercent(int percent);
    static Split split(int percent);
    static double perceivedLuminance(int percent);
};

} // namespace talvorine
