#include "app/PlayerEnvironment.h"

namespace talvorine {

PlayerEnvironment environmentFromOrigin(const QUrl& origin)
{
    if (!origin.isValid())
        return PlayerEnvironment::Production;
    const QString host = origin.host(QUrl::FullyDecoded).toLower();
    if (host.isEmpty())
        return PlayerEnvironment::Production;
    // Only the canonical loopback spellings count: other loopback or private addresses are
    // deliberately production so that a lab network never switches the developer log on.
    if (host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1")
        || host == QLatin1String("::1") || host.endsWith(QLatin1String(".localhost")))
        return PlayerEnvironment::Local;
    return PlayerEnvironment::Production;
}

} // namespace talvorine
