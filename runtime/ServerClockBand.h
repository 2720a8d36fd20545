#pragma once

// The service's clock as the player can know it: an interval of milliseconds since the Unix
// epoch that holds the service's "now", narrowed by every stamped reply and carried forward on
// a monotonic clock, so that changes of the machine's own clock never move it. A sample that
// contradicts the band moves it only once a second one agrees with it: one wrong answer cannot
// carry the band away, and a band that drifted with the monotonic clock is pulled back to the
// service's.

#include <QtGlobal>

#include <optional>

namespace talvorine {

class ServerClockBand {
public:
    enum class Merge {
        Ignored,   // not a usable sample
        Taken,     // the first band
        Resampled, // a sample outside the band agreed with the one held before it: they replace it
        Narrowed,  // the band is now the intersection with the sample
        Held,      // outside the band and agreeing with nothing held: kept to be confirmed
    };

    // A reply stamped serverMs by the service that took rttMs to come back, received at
    // monotonicMs: the service's now lay in [serverMs, serverMs + rttMs] at that moment.
    Merge merge(qint64 serverMs, qint64 rttMs, qint64 monotonicMs);

    bool held() const { return band_.has_value(); }
    // The band's bounds at monotonicMs; 0 without a band.
    qint64 loMs(qint64 monotonicMs) const;
    qint64 hiMs(qint64 monotonicMs) const;

private:
    // An interval of the service's clock as it stood at takenAtMs on the monotonic clock.
    struct Interval {
        qint64 loMs = 0;
        qint64 hiMs = 0;
        qint64 takenAtMs = 0;

        Interval at(qint64 monotonicMs) const;
        // The instants both hold, when they share at least one.
        std::optional<Interval> shared(const Interval& other) const;
    };

    std::optional<Interval> band_;
    // The last sample that contradicted the band.
    std::optional<Interval> contradiction_;
};

} // namespace talvorine
