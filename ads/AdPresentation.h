#pragma once

// An ad on glass as a page of its own: the one-page scene built around a verified creative, and
// the watchdog's verdict on a video that stopped proving it plays. Nothing here reads a file,
// a clock or the controller; every size and time is given.

#include "ads/AdContracts.h"
#include "manifest/Manifest.h"

#include <QJsonObject>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <QUrl>

#include <optional>

namespace talvorine::AdPresentation {

// The stall watchdog's period.
constexpr int stallTickMs = 1000;
// A video ad is ended when no first frame came for this long, when its position stood still
// this long, or when it ran this far past its duration.
constexpr qint64 firstFrameLimitMs = 9999;
constexpr qint64 progressLimitMs = 9999;
constexpr qint64 overrunLimitMs = 29999;
// How long a video ad's page may stay beyond the creative's duration before its timer ends it.
constexpr qint64 videoPageSlackMs = 30000;
// How often a visit on glass records that it still is, so that one cut by a stop or a crash is
// ended at the next start no earlier than this before it really was.
constexpr qint64 visitCheckpointMs = 5000;

// The ad page's own ids come from the occurrence, which the player made: the service's decision
// ids are data, and the scene takes only ids of its own form.
QString pageId(const QString& occurrenceId);
QString primitiveId(const QString& occurrenceId);

// A cut: the ad replaces the page on glass at once and leaves the same way.
QJsonObject transition();

// The ad page of an occurrence for a creative cached at file, on a canvas of the viewport's
// size. imageSize: the pixel size read from an image creative's header, when both sides could
// be read as positive.
Page page(const QString& occurrenceId, const AdOccurrence::Resolved& decision, const QUrl& file,
          const QSizeF& viewport, std::optional<QSize> imageSize);

// What the watchdog knows of a running video ad, in ms of the monotonic clock.
struct VideoProgress {
    bool firstFrame = false;  // a first frame was accepted
    qint64 visitMs = 0;       // since the presentation began
    qint64 firstFrameMs = 0;  // since the accepted first frame
    qint64 stillMs = 0;       // since the position last moved (or since the first frame)
    qint64 durationMs = 0;    // the creative's duration
};

// True when a video ad no longer proves that it plays.
bool videoStalled(const VideoProgress& progress);

} // namespace talvorine::AdPresentation
