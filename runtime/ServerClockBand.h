#pragma once

// The service's clock as the player can know it: an interval of milliseconds since the Unix
// epoch that holds the service's "now", narrowed by every stamped reply and carried forward on
// a monotonic clock, so that changes of the machine's own clock never move it.

#include <QtGlobal>

namespace talvorine {

class ServerClockBand {
public:
    enum class Merge {
        Ignored,   // not a usable sample, or one that ended before the band began
        Taken,     // the first band
        Resampled, // the service's clock ran past the band: the sample replaces it
        Narrowed,  // the band is now the intersection with the sample
    };

    // A reply stamped serverMs by the service that took rttMs to come back, received at
    // monotonicMs: the service's now lay in [serverMs, serverMs + rttMs] at that moment.
    Merge merge(qint64 serverMs, qint64 rttMs, qint64 monotonicMs);

    bool held() const { return held_; }
    // The band's bounds at monotonicMs; 0 without a band.
    qint64 loMs(qint64 monotonicMs) const;
    qint64 hiMs(qint64 monotonicMs) const;

private:
    qint64 at(qint64 boundMs, qint64 monotonicMs) const;

    bool held_ = false;
    qint64 loMs_ = 0;
    qint64 hiMs_ = 0;
    qint64 takenAtMs_ = 0; // on the monotonic clock
};

} // namespace talvorine
