#include "runtime/ServerClockBand.h"

#include "storage/Saturating.h"

#include <algorithm>

namespace talvorine {

using saturating::add;
using saturating::sub;

ServerClockBand::Interval ServerClockBand::Interval::at(qint64 monotonicMs) const
{
    const qint64 elapsed = std::max<qint64>(sub(monotonicMs, takenAtMs), 0);
    return {add(loMs, elapsed), add(hiMs, elapsed), monotonicMs};
}

std::optional<ServerClockBand::Interval>
ServerClockBand::Interval::shared(const Interval& other) const
{
    if (other.hiMs < loMs || other.loMs > hiMs)
        return std::nullopt;
    return Interval{std::max(loMs, other.loMs), std::min(hiMs, other.hiMs), takenAtMs};
}

ServerClockBand::Merge ServerClockBand::merge(qint64 serverMs, qint64 rttMs, qint64 monotonicMs)
{
    if (serverMs <= 0 || rttMs < 0)
        return Merge::Ignored;
    const Interval sample{serverMs, add(serverMs, rttMs), monotonicMs};
    if (!band_) {
        band_ = sample;
        return Merge::Taken;
    }
    if (const std::optional<Interval> narrowed = band_->at(monotonicMs).shared(sample)) {
        band_ = narrowed;
        contradiction_.reset();
        return Merge::Narrowed;
    }
    // Either the sample or the band is wrong. A second contradiction that agrees with the first
    // decides for the samples: the band had drifted, or the service's clock has moved.
    const std::optional<Interval> confirmed =
        contradiction_ ? contradiction_->at(monotonicMs).shared(sample) : std::nullopt;
    if (confirmed) {
        band_ = confirmed;
        contradiction_.reset();
        return Merge::Resampled;
    }
    contradiction_ = sample;
    return Merge::Held;
}

qint64 ServerClockBand::loMs(qint64 monotonicMs) const
{
    return band_ && band_->hiMs >= 1 ? band_->at(monotonicMs).loMs : 0;
}

qint64 ServerClockBand::hiMs(qint64 monotonicMs) const
{
    return band_ && band_->hiMs >= 1 ? band_->at(monotonicMs).hiMs : 0;
}

} // namespace talvorine
