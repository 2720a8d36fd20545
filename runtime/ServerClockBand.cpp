#include "runtime/ServerClockBand.h"

#include "storage/Saturating.h"

#include <algorithm>

namespace talvorine {

using saturating::add;
using saturating::sub;

ServerClockBand::Merge ServerClockBand::merge(qint64 serverMs, qint64 rttMs, qint64 monotonicMs)
{
    if (serverMs <= 0 || rttMs < 0)
        return Merge::Ignored;
    const qint64 sampleLo = serverMs;
    const qint64 sampleHi = add(serverMs, rttMs);
    const auto take = [&](qint64 lo, qint64 hi) {
        held_ = true;
        loMs_ = lo;
        hiMs_ = hi;
        takenAtMs_ = monotonicMs;
    };
    if (!held_) {
        take(sampleLo, sampleHi);
        return Merge::Taken;
    }
    const qint64 lo = loMs(monotonicMs);
    const qint64 hi = hiMs(monotonicMs);
    if (hi < sampleLo) {
        take(sampleLo, sampleHi);
        return Merge::Resampled;
    }
    if (sampleHi < lo)
        return Merge::Ignored;
    // Each interval starts no later than the other ends, so they share at least one instant.
    take(std::max(lo, sampleLo), std::min(hi, sampleHi));
    return Merge::Narrowed;
}

qint64 ServerClockBand::at(qint64 boundMs, qint64 monotonicMs) const
{
    if (!held_ || hiMs_ < 1)
        return 0;
    return add(boundMs, std::max<qint64>(sub(monotonicMs, takenAtMs_), 0));
}

qint64 ServerClockBand::loMs(qint64 monotonicMs) const
{
    return at(loMs_, monotonicMs);
}

qint64 ServerClockBand::hiMs(qint64 monotonicMs) const
{
    return at(hiMs_, monotonicMs);
}

} // namespace talvorine
