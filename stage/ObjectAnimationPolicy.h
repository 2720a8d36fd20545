#pragma once

#include "manifest/Manifest.h"

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

    // A primitive's motion as the scene animates it, or an empty map when the motion cannot be
    // animated. canvasRect is the primitive's rectangle in canvas units and viewportRect the
    // same rectangle in stage pixels; their ratio is the page scale. Every description has
    // "type" ("spin", "drift" or "path"):
    // - spin: "periodMs" (one full turn, linear, endless), "toDegrees" (+360 clockwise, -360
    //   counter-clockwise), "originX", "originY" (the item's centre, in pixels);
    // - drift: "legMs" (one eased leg, then the same leg backwards, endlessly), "fromScale",
    //   "toScale", "toX", "toY" (the pan in pixels at the end of a leg; it starts at 0);
    // - path: "mode" ("loop", "once" or "ping-pong"), "points" (a list of {"x", "y",
    //   "durationMs"}: offsets in pixels from the item's resting place, the first one the
    //   resting place itself with duration 0, each later one reached after its duration),
    //   "cycleMs" (the sum of the durations).
    static QVariantMap describeMotion(const Primitive::Motion& motion, const QRectF& canvasRect,
                                      const QRectF& viewportRect);

    // The enter effect of a primitive as the scene animates it: "type", "delayMs",
    // "durationMs", "fromOpacity", "fromX", "fromY" (pixels, the start offset from the item's
    // resting place) and "fromScale". Empty for an unknown type. scaleX and scaleY are the
    // page's scale from canvas units to pixels.
    static QVariantMap describeEnter(const QString& type, int stagger, double scaleX, double scaleY);

    // TALVORINE_REDUCED_MOTION=1: every object stays still and appears in its final pose.
    static bool reducedMotionRequested();
};

} // namespace talvorine
