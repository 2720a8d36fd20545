#include "manifest/PageTransitionRules.h"

#include <cmath>
#include <limits>

namespace talvorine {

namespace {

qint32 saturated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (value <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(value);
}

// Differences of progress values near the 32-bit limits must not overflow either.
qint32 difference(qint64 a, qint64 b)
{
    return saturated(double(a - b));
}

} // namespace

TransitionPose PageTransitionRules::pose(std::string_view type, int durationMs, int elapsedMs)
{
    const qint32 p = durationMs == 0
        ? 1000
        : saturated(std::floor(double(elapsedMs) * 1000.0 / double(durationMs) + 0.5));
    TransitionPose pose;
    if (type == "crossfade") {
        pose.incomingOpacityPermille = p;
        pose.outgoingOpacityPermille = difference(1000, p);
    } else if (type == "swipe-left") {
        pose.incomingTranslateXPermille = difference(1000, p);
        pose.outgoingTranslateXPermille = difference(0, p);
    } else if (type == "swipe-right") {
        pose.incomingTranslateXPermille = difference(p, 1000);
        pose.outgoingTranslateXPermille = p;
    } else if (type == "swipe-up") {
        pose.incomingTranslateYPermille = difference(1000, p);
        pose.outgoingTranslateYPermille = difference(0, p);
    } else if (type == "swipe-down") {
        pose.incomingTranslateYPermille = difference(p, 1000);
        pose.outgoingTranslateYPermille = p;
    }
    return pose;
}

} // namespace talvorine
