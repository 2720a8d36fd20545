#include "ads/AdPolicy.h"

#include "manifest/ScheduleContract.h"
#include "storage/Saturating.h"

#include <algorithm>

namespace talvorine {

using saturating::add;

std::optional<qint32> AdPolicy::adForecastDwell(const Page& page)
{
    if (page.type == PageType::adslot)
        return std::nullopt;
    const QString mode = page.advance.value(QLatin1String("mode")).toString();
    if (mode == QLatin1String("duration"))
        return page.advance.value(QLatin1String("afterMs")).toInt(0);
    if (mode == QLatin1String("application"))
        return std::nullopt;
    for (const Primitive& primitive : page.primitives) {
        if (primitive.kind != PrimitiveKind::image)
            continue;
        if (const std::optional<qint32> dwell = mediaDwellMs(primitive))
            return dwell;
    }
    return std::nullopt;
}

bool AdPolicy::adslotPageEligible(const Manifest& manifest, int pageIndex, qint64 nowMs)
{
    if (pageIndex < 0 || pageIndex >= manifest.pages.size())
        return false;
    const Page& page = manifest.pages.at(pageIndex);
    if (page.type != PageType::adslot)
        return false;
    if (!page.visibility)
        return true;
    const std::optional<ZonedCivilTime> civil =
        ScheduleEvaluator::civilTime(nowMs, manifest.timezone);
    return civil && ScheduleEvaluator::isEligible(page.visibility, civil);
}

QList<int> AdPolicy::adslotRunBetween(const Manifest& manifest, int fromIndex, int toIndex,
                                      qint64 nowMs)
{
    const int count = int(manifest.pages.size());
    if (fromIndex < 0 || toIndex < 0 || count == 0 || fromIndex >= count)
        return {};
    const int distance = fromIndex < toIndex ? toIndex - fromIndex
        : fromIndex > toIndex                ? count - fromIndex + toIndex
                                             : count;
    QList<int> run;
    for (int step = 1; step < distance; ++step) {
        const int index = (fromIndex + step) % count;
        if (adslotPageEligible(manifest, index, nowMs))
            run.append(index);
    }
    return run;
}

QList<AdPolicy::AdForecastPoint> AdPolicy::adForecastEntries(const Manifest& manifest,
                                                             int activeIndex, qint64 remainingMs,
                                                             qint64 nowMs)
{
    const int count = int(manifest.pages.size());
    if (activeIndex < 0 || activeIndex >= count)
        return {};
    const qint64 remaining = std::max<qint64>(remainingMs, 0);
    const qint64 horizon = add(nowMs, forecastHorizonMs);
    qint64 t = nowMs;
    QList<AdForecastPoint> points;
    for (int step = 1; step <= count; ++step) {
        const bool first = step == 1;
        const int index = (activeIndex + step) % count;
        const Page& page = manifest.pages.at(index);
        if (page.type == PageType::adslot) {
            if (first)
                t = add(t, remaining);
            // The clock stays: an adslot page takes the time of the page it stands in for.
            if (points.size() < maxForecastEntries && adslotPageEligible(manifest, index, t))
                points.append({index, t});
            continue;
        }
        t = add(t, page.transition.value(QLatin1String("durationMs")).toInt(0));
        if (first)
            t = add(t, remaining);
        const std::optional<qint32> dwell = adForecastDwell(page);
        if (!dwell)
            break;
        t = add(t, *dwell);
        if (t > horizon)
            break;
    }
    return points;
}

} // namespace talvorine
