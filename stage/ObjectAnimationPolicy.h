#pragma once

#include <QRectF>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace talvorine {

// How the stage animates object motion and enter effects: periods, easing, offsets and the
// path pose. The manifest only says which effect a primitive carries; everything about time
// and distance is decided here, so the scene merely plays the description it is given.
class ObjectAnimationPolicy {
public:
    ObjectAnimationPolicy() = delete;

    static constexpr int enterDelayMs = 500;
    static constexpr int enterDurationMs = 400;
    static constexpr int enterStaggerStepMs = 120;
    static constexpr double enterOffsetPx = 24.0;
    static constexpr double driftZoomScale = 1.12;
    static constexpr double driftPanFraction = 0.06;

    // One full turn per period; 0 for an unknown speed.
    static int spinPeriodMs(const QString& speed);
    // One leg of a drift (zoom and pan one way) per period; 0 for an unknown speed.
    static int driftLegMs(const QString& speed);

    // The enter effect of a primitive as the scene animates it: "type", "delayMs",
    // "durationMs", "fromOpacity", "fromX", "fromY" (pixels, the start offset from the item's
    // resting place) and "fromScale". Empty for an unknown type. scaleX and scaleY are the
    // page's scale from canvas units to pixels.
    static QVariantMap describeEnter(const QString& type, int stagger, double scaleX, double scaleY);

    // TALVORINE_REDUCED_MOTION=1: every object stays still and appears in its final pose.
    static bool reducedMotionRequested();
};

} // namespace talvorine
