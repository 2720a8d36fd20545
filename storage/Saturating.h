#pragma once

// Arithmetic on times, durations and byte counts that come from outside (the service, a file,
// a hand-built page) and may sit at the ends of the 64-bit range: it saturates instead of
// wrapping round.

#include <QtNumeric>

#include <limits>

namespace talvorine::saturating {

inline qint64 add(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (qAddOverflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

inline qint64 sub(qint64 a, qint64 b)
{
    qint64 difference = 0;
    if (qSubOverflow(a, b, &difference))
        return b < 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return difference;
}

} // namespace talvorine::saturating
