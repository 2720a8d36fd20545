#pragma once

#include <QByteArray>
#include <QImage>

namespace talvorine {

struct ScreenshotRequest;

// Grabs the presented Qt Quick window and encodes it in the one supported shape: half size,
// lossy WebP at quality 80, within the byte limit. Failures are empty results.
class ScreenshotCapture {
public:
    static QImage grabPresentedWindow();
    static QByteArray encodeLossyWebP(const QImage& image, int quality, int byteLimit);
    static QByteArray encodeScaled(const QImage& image, const ScreenshotRequest& request);
};

} // namespace talvorine
