#include "operator/OperatorPlaybackPolicy.h"

#include <QtNumeric>

#include <limits>

namespace talvorine {

namespace {

// Time since the pause began; the largest value when the difference does not fit, which only
// a wildly wrong clock can produce and which counts as "long past".
qint64 elapsedSince(qint64 startMs, qint64 nowMs)
{
    qint64 elapsed = 0;
    return qSubOverflow(nowMs, startMs, &elapsed) ? std::numeric_limits<qint64>::max() : elapsed;
}

} // namespace

bool OperatorPlaybackPolicy::acceptsKeys(bool available, bool pageHasWebApplication) const
{
    return available && !pageHasWebApplication;
}

bool OperatorPlaybackPolicy::togglePause(bool available, bool pageHasWebApplication, qint64 nowMs)
{
    if (!acceptsKeys(available, pageHasWebApplication))
        return false;
    paused_ = !paused_;
    pausedAtMs_ = paused_ ? nowMs : 0;
    return true;
}

qint64 OperatorPlaybackPolicy::remainingHoldMs(qint64 nowMs) const
{
    if (!paused_)
        return 0;
    if (nowMs <= pausedAtMs_)
        return holdMs;
    const qint64 elapsed = elapsedSince(pausedAtMs_, nowMs);
    return elapsed < holdMs ? holdMs - elapsed : 0;
}

bool OperatorPlaybackPolicy::expireHold(qint64 nowMs)
{
    if (!paused_ || nowMs <= pausedAtMs_ || elapsedSince(pausedAtMs_, nowMs) < holdMs)
        return false;
    reset();
    return true;
}

void OperatorPlaybackPolicy::reset()
{
    paused_ = false;
    pausedAtMs_ = 0;
}

} // namespace talvorine
