#pragma once

// The transitions by which a page replaces the one before it, and the pose of both stages at
// one moment of a transition.

#include <QtGlobal>

#include <string_view>

namespace talvorine {

// Permille values: opacity 1000 is opaque, a shift of 1000 is one full stage width or height.
struct TransitionPose {
    qint32 incomingOpacityPermille = 1000;
    qint32 outgoingOpacityPermille = 1000;
    qint32 incomingTranslateXPermille = 0;
    qint32 incomingTranslateYPermille = 0;
    qint32 outgoingTranslateXPermille = 0;
    qint32 outgoingTranslateYPermille = 0;

    friend bool operator==(const TransitionPose&, const TransitionPose&) = default;
};

struct PageTransitionRules {
    static constexpr bool validType(std::string_view type)
    {
        return type == "crossfade" || isSwipe(type);
    }

    static constexpr bool isSwipe(std::string_view type)
    {
        return type == "swipe-left" || type == "swipe-right" || type == "swipe-up"
            || type == "swipe-down";
    }

    // Progress is not clamped: callers past the end or before the start get poses beyond the
    // table's end points.
    static TransitionPose pose(std::string_view type, int durationMs, int elapsedMs);
};

} // namespace talvorine
