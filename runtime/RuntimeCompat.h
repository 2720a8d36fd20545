#pragma once

#include "runtime/RuntimeCompatTypes.h"

namespace talvorine {

namespace RuntimeCompat {

} // namespace RuntimeCompat

} // namespace talvorine
