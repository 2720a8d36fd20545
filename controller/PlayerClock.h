#pragma once

#include <QtGlobal>

#include <memory>
#include <optional>

namespace talvorine {

// Where the controller reads the time: the wall clock for stamps and expiries, and a monotonic
// clock for durations (page dwell, splash time). One object for both, so that a test can move
// the controller's time without waiting. The transport keeps reading its own clock.
class PlayerClock {
public:
    virtual ~PlayerClock() = default;

    // Milliseconds since the Unix epoch, UTC.
    virtual qint64 nowMs() const = 0;
    // Milliseconds on a clock that never goes back; only differences mean anything.
    virtual qint64 monotonicMs() const = 0;

    // The machine's clocks.
    static std::shared_ptr<const PlayerClock> system();
};

// Elapsed time on a clock's monotonic reading: what QElapsedTimer measures on the real clock.
class PlayerStopwatch {
public:
    explicit PlayerStopwatch(const PlayerClock& clock) : clock_(&clock) {}

    bool isValid() const { return startedMs_.has_value(); }
    void start() { startedMs_ = clock_->monotonicMs(); }
    void invalidate() { startedMs_.reset(); }
    // 0 while not started.
    qint64 elapsedMs() const { return startedMs_ ? clock_->monotonicMs() - *startedMs_ : 0; }

private:
    const PlayerClock* clock_;
    std::optional<qint64> startedMs_;
};

} // namespace talvorine
