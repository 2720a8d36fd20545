#pragma once

#include <QtGlobal>

namespace talvorine {

// Consecutive wrong PINs and the end of the lockout they started (ms since the Unix epoch; 0
// when none).
struct PinAttemptState {
    int failures = 0;
    qint64 lockedUntilMs = 0;

    friend bool operator==(const PinAttemptState&, const PinAttemptState&) = default;
};

// The back-off after wrong PINs: nothing for four, then 30 s doubling per failure up to
// 15 minutes from the tenth on.
class OperatorPinLockout {
public:
    static constexpr int freeFailures = 4;
    static constexpr qint64 firstLockoutMs = 30000;
    static constexpr qint64 longestLockoutMs = 900000;

    OperatorPinLockout() = delete;

    static qint64 lockoutForFailures(int failures);
    static PinAttemptState onFailure(const PinAttemptState& state, qint64 nowMs);
    static PinAttemptState onSuccess() { return {}; }
    // Never more than the lockout that the failure count earns: a clock set back (boards
    // without a real-time clock start in the past) or a hand-edited lock end would otherwise
    // lock the panel for months.
    static qint64 remainingLockoutMs(const PinAttemptState& state, qint64 nowMs);
    static bool attemptPermitted(const PinAttemptState& state, qint64 nowMs);
};

} // namespace talvorine
