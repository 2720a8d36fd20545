#include "web/ApplicationReportBudget.h"

namespace talvorine {

void ApplicationReportBudget::pruneWindow(QList<qint64>& stamps, qint64 nowMs)
{
    const qint64 bound = nowMs - windowMs;
    qsizetype expired = 0;
    while (expired < stamps.size() && stamps.at(expired) <= bound)
        ++expired;
    stamps.remove(0, expired);
}

bool ApplicationReportBudget::allow(const QString& key, qint64 nowMs)
{
    if (key.isEmpty())
        return false;
    pruneWindow(globalWindow, nowMs);
    for (auto it = keyWindows.begin(); it != keyWindows.end();) {
        pruneWindow(it.value(), nowMs);
        if (it.value().isEmpty())
            it = keyWindows.erase(it);
        else
            ++it;
    }
    if (globalWindow.size() >= globalLimit)
        return false;
    QList<qint64>& window = keyWindows[key];
    if (window.size() >= perKeyLimit)
        return false;
    window.append(nowMs);
    globalWindow.append(nowMs);
    return true;
}

} // namespace talvorine
