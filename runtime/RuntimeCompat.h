#pragma once

#include "runtime/RuntimeCompatTypes.h"

#include <QUrl>

namespace talvorine {

namespace RuntimeCompat {

// A redirect is followed only within the same origin: same scheme, host and effective port,
// http or https, and no credentials in the target.
bool redirectAllowed(const QUrl& from, const QUrl& to);

} // namespace RuntimeCompat

} // namespace talvorine
