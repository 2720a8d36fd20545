#pragma once

// The enter effects a primitive may play when its page appears. Header-only so that the
// manifest model can check them without linking the stage library.

#include <string_view>

namespace talvorine {

struct ObjectEnterPolicy {
    static constexpr bool validType(std::string_view type)
    {
        return type == "fade-in" || type == "fade-up" || type == "fade-down"
            || type == "fade-left" || type == "fade-right" || type == "zoom-in"
            || type == "zoom-out";
    }
};

} // namespace talvorine
