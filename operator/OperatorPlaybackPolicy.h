#pragma once

#include <QtGlobal>

namespace talvorine {

// Whether the operator's keys may step or pause playback, and the operator's pause with its
// one-hour hold. Times are milliseconds since the Unix epoch, 64 bits wide on every target:
// the player runs on 32-bit boards, where a `long` cannot hold them.
class OperatorPlaybackPolicy {
public:
    static constexpr qint64 holdMs = 3600000;

    bool paused() const { return paused_; }
    qint64 pausedAtMs() const { return pausedAtMs_; }

    // A web application receives the keys itself, so its page takes no operator step or pause.
    bool acceptsKeys(bool available, bool pageHasWebApplication) const;
    // Flips the pause; false, changing nothing, when the keys are not accepted.
    bool togglePause(bool available, bool pageHasWebApplication, qint64 nowMs);
    bool shouldAutoAdvance() const { return !paused_; }
    // What is left of the hold; the whole hour while the clock reads at or before the pause's
    // start (a clock set back), so the hold never ends early.
    qint64 remainingHoldMs(qint64 nowMs) const;
    // Ends the pause once a whole hour has passed; true when it did.
    bool expireHold(qint64 nowMs);
    void reset();

private:
    bool paused_ = false;
    qint64 pausedAtMs_ = 0;
};

} // namespace talvorine
