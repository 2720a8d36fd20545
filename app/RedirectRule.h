#pragma once

// The redirect rule that the process-wide network access manager applies to every redirect of
// the player's HTTP traffic. It keeps its place among the runtime service's compatibility rules
// (RuntimeCompat.h includes it) but lives here, beside the manager, which must not depend on
// the runtime client.

#include <QString>
#include <QUrl>

namespace talvorine {

namespace RuntimeCompat {

// A redirect is followed only within the same origin: same scheme, host and effective port,
// http or https, and no credentials in the target.
inline bool redirectAllowed(const QUrl& from, const QUrl& to)
{
    const auto effectivePort = [](const QUrl& url) {
        const bool https = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
        return url.port(https ? 443 : 80);
    };
    const QUrl target = from.resolved(to);
    if (!target.isValid())
        return false;
    const QString scheme = target.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return false;
    if (!target.userName().isEmpty() || !target.password().isEmpty())
        return false;
    if (scheme != from.scheme().toLower())
        return false;
    if (target.host(QUrl::FullyDecoded).compare(from.host(QUrl::FullyDecoded), Qt::CaseInsensitive)
        != 0)
        return false;
    return effectivePort(target) == effectivePort(from);
}

} // namespace RuntimeCompat

} // namespace talvorine
