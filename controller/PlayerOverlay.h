#pragma once

// The controller's share of the status overlay: the faults it describes to the evaluator, the
// pixel arithmetic that lays chip, notice and toast out in one row, the toast's display time and
// the sync glyph's small state machine. The evaluator itself lives in overlay/.

#include "controller/PlayerState.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace talvorine {

struct OverlayFaultFlags {
    bool archived = false;
    bool paymentRequired = false;
    bool repair = false;
    bool session = false;
    bool verify = false;
    bool storage = false;
    bool decode = false;
};

// The fault names in the evaluator's order; while degraded with content on glass the status
// string's diagnostic class adds its own (class 0, transport, adds nothing). A name may repeat.
QStringList overlayFaults(const OverlayFaultFlags& flags, RuntimePhase phase, bool slotActive,
                          int statusDiagnosticClass);

// Widths in pixels of the chip and the notice, from the geometry's notice text size and status
// icon size and the length of the chip's accessible name or the notice text (UTF-16 units).
int overlayChipWidthPx(int textSizePx, int iconSizePx, int accessibleNameLength, bool hasDetail);
int overlayNoticeWidthPx(int textSizePx, int iconSizePx, int noticeLength, bool shown);

// How long a toast stays up: none when it cannot be shown (a level without a fill, no text, or
// already expired), else the shorter of the time left and its duration.
std::optional<qint64> toastDisplayMs(bool fillValid, const QString& text, qint64 remainingMs,
                                     int durationMs);

// The sync glyph: 0 none, 1 syncing, 2 a new playlist arrived (held for three seconds).
struct SyncGlyph {
    static constexpr int none = 0;
    static constexpr int syncing = 1;
    static constexpr int newPlaylist = 2;
    static constexpr qint64 holdMs = 3000;

    int state = none;
    qint64 holdUntilMs = 0;

    friend bool operator==(const SyncGlyph&, const SyncGlyph&) = default;
};

struct SyncGlyphStep {
    SyncGlyph next;
    // The glyph's timer: restarted with restartMs when engaged, else stopped.
    std::optional<qint64> restartMs;
    bool changed = false;
};

// busy: a candidate is fetching or a background fetch is still running.
SyncGlyphStep nextSyncGlyph(const SyncGlyph& current, bool newPlaylist, bool skipSyncing,
                            bool busy, qint64 nowMs);

QString syncGlyphName(int state);

} // namespace talvorine
