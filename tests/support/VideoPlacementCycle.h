#pragma once

#include "tests/support/VideoWaits.h"

#include <QString>

class QQmlEngine;
class QQuickWindow;

namespace talvorine::test {

// Makes the engine's next pipeline look stalled: its preroll watchdog fires before the
// pipeline can report a first frame, so the engine tears it down unfinished and builds it once
// more, as it does when playbin3 really stalls. Call it before the engine starts.
void stallFirstPipeline(GstVideoEngine* engine);

enum class PlayUntil { Started, Ended };

// What a stage does to its video engines page after page: one "GstVideoPlacement" of `clip`
// created in `window`, played until it started (or ended), and destroyed. Empty when that went
// as it should, otherwise what went wrong. With `stall`, the placement's first pipeline stalls.
QString cycleVideoPlacement(QQmlEngine& qml, QQuickWindow& window, const QString& clip,
                            PlayUntil until, bool stall, int timeoutMs = videoWaitMs);

} // namespace talvorine::test
