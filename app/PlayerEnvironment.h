#pragma once

#include <QUrl>

namespace talvorine {

enum class PlayerEnvironment { Production = 0, Local = 1 };

// The one rule that tells a local development origin from a production one.
PlayerEnvironment environmentFromOrigin(const QUrl& origin);

} // namespace talvorine
