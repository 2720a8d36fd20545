#pragma once

// The enter effects a primitive may play when its page appears, as the manifest model checks
// them.

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
