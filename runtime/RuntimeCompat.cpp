#include "runtime/RuntimeCompat.h"

namespace talvorine::RuntimeCompat {

namespace {

int effectivePort(const QUrl& url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443
                                                                                          : 80);
}

} // namespace

bool redirectAllowed(const QUrl& from, const QUrl& to)
{
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

} // namespace talvorine::RuntimeCompat
