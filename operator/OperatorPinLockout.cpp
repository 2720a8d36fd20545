#include "operator/OperatorPinLockout.h"

#include <QtNumeric>

#include <algorithm>
#include <limits>

namespace talvorine {

qint64 OperatorPinLockout::lockoutForFailures(int failures)
{
    if (failures <= freeFailures)
        return 0;
    const int doublings = std::min(failures - freeFailures - 1, 20);
    return std::min(firstLockoutMs << doublings, longestLockoutMs);
}

PinAttemptState OperatorPinLockout::onFailure(const PinAttemptState& state, qint64 nowMs)
{
    PinAttemptState next;
    next.failures = state.failures < std::numeric_limits<int>::max()
        ? std::max(state.failures, 0) + 1
        : state.failures;
    const qint64 lockout = lockoutForFailures(next.failures);
    if (lockout > 0 && qAddOverflow(nowMs, lockout, &next.lockedUntilMs))
        next.lockedUntilMs = std::numeric_limits<qint64>::max();
    return next;
}

qint64 OperatorPinLockout::remainingLockoutMs(const PinAttemptState& state, qint64 nowMs)
{
    if (state.lockedUntilMs <= nowMs)
        return 0;
    qint64 remaining = 0;
    if (qSubOverflow(state.lockedUntilMs, nowMs, &remaining))
        remaining = std::numeric_limits<qint64>::max();
    return std::min(remaining, lockoutForFailures(state.failures));
}

bool OperatorPinLockout::attemptPermitted(const PinAttemptState& state, qint64 nowMs)
{
    return remainingLockoutMs(state, nowMs) == 0;
}

} // namespace talvorine
