#pragma once

// The names of the transitions by which a page replaces the one before it.

#include <string_view>

namespace talvorine {

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
};

} // namespace talvorine
