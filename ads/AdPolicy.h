#pragma once

// The pure rules that tie ad slots to the manifest's page rotation: which adslot pages may take
// an ad at a given time, which lie between two content pages, how long a content page stays on
// glass, and when the rotation will reach each upcoming adslot page. Times are milliseconds
// since the Unix epoch on whatever clock the caller passes.

#include "manifest/Manifest.h"

#include <QList>

#include <optional>

namespace talvorine {

class AdPolicy {
public:
    static constexpr qint64 forecastHorizonMs = 60000;
    static constexpr int maxForecastEntries = 16;

    struct AdForecastPoint {
        qint32 pageIndex = -1;
        qint64 atMs = 0; // when the rotation reaches the page

        friend bool operator==(const AdForecastPoint&, const AdForecastPoint&) = default;
    };

    AdPolicy() = delete;

    // How long the page is expected to stay on glass; none when that cannot be known (an
    // adslot page, an application, or a page whose end depends on a video or nothing known).
    static std::optional<qint32> adForecastDwell(const Page& page);
    // An adslot page that its schedule allows at nowMs in the manifest's time zone.
    static bool adslotPageEligible(const Manifest& manifest, int pageIndex, qint64 nowMs);
    // The eligible adslot pages strictly between the two indices, going forward round the
    // rotation (a full turn when both are equal), in walking order.
    static QList<int> adslotRunBetween(const Manifest& manifest, int fromIndex, int toIndex,
                                       qint64 nowMs);
    // When the rotation, leaving the active page after remainingMs, reaches each eligible adslot
    // page within the next minute: at most 16 points in rotation order. Consecutive adslot pages
    // share one time; the walk ends at a content page whose dwell cannot be known.
    static QList<AdForecastPoint> adForecastEntries(const Manifest& manifest, int activeIndex,
                                                    qint64 remainingMs, qint64 nowMs);
};

} // namespace talvorine
