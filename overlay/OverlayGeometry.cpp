#include "overlay/OverlayGeometry.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvorine {

namespace {

constexpr double designLines = 1080.0;

// Whole pixels from a measure, saturated to the int range: a frame size near the int limit
// times a scale must not become undefined behaviour.
int saturated(double value)
{
    return int(std::clamp(value, double(std::numeric_limits<int>::min()),
                          double(std::numeric_limits<int>::max())));
}

int rounded(double value) // half away from zero
{
    return saturated(std::round(value));
}

int truncated(double value)
{
    return saturated(std::trunc(value));
}

int saturated(qint64 value)
{
    return int(std::clamp<qint64>(value, std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max()));
}

} // namespace

double OverlayGeometry::scaleFor(int width, int height)
{
    const int shorter = std::min(width, height);
    return shorter < 1 ? 1.0 : std::max(1.0, shorter / designLines);
}

double OverlayGeometry::setupScaleFor(int width, int height)
{
    const int shorter = std::min(width, height);
    return shorter < 1 ? 1.0 : std::max(0.5, shorter / designLines);
}

OverlayGeometry OverlayGeometry::forFrame(int width, int height)
{
    OverlayGeometry g;
    const int w = std::max(0, width);
    const int h = std::max(0, height);
    const qint64 shorter = std::min(w, h);
    const double k = scaleFor(w, h);
    const double u = setupScaleFor(w, h);

    g.width = w;
    g.height = h;
    g.scale = k;
    g.setupScale = u;
    g.syncGlyphSizePx = std::max(8, rounded(shorter * 0.02));
    g.safeAreaHorizontalPx = rounded(w * 0.05);
    g.chipLeftPx = g.safeAreaHorizontalPx;
    g.safeAreaVerticalPx = rounded(h * 0.05);
    g.noticeTextSizePx = std::max(20, rounded(20 * k));
    g.statusIconSizePx = rounded(32 * k);
    g.toastTextSizePx = 26 * k;
    g.identifyTextSizePx = 26 * k;
    g.toastPaddingPx = rounded(16 * k);
    g.identifyPaddingPx = rounded(32 * k);
    g.splashMarkWidthPx = rounded(w * 0.4);
    g.splashMarkHeightPx = rounded(g.splashMarkWidthPx * 0.1553701772679875);
    g.settingsBoxPx = shorter == 0
        ? 0
        : saturated(std::min(std::max<qint64>(480, (720 * shorter + 540) / 1080),
                             (70 * shorter) / 100));
    g.locatorTextSizePx = 96 * u;
    g.locatorLetterSpacing = 0.18;
    g.setupCopyInsetPx = rounded(160 * u);
    g.setupCopyWidthPx = rounded(1600 * u);
    g.setupLocatorPlatePaddingPx = rounded(20 * u);
    g.headlineTextSizePx = 40 * u;
    g.bodyTextSizePx = 26 * u;
    g.captionTextSizePx = 20 * u;
    g.listGapPx = truncated(26 * u * 0.35);
    g.majorGapPx = truncated(26 * u);
    return g;
}

double OverlayGeometry::statusIconMarkPx(int statusIconSizePx)
{
    return 0.7 * statusIconSizePx;
}

int OverlayGeometry::noticeLeftPx(bool chipShown, int chipWidthPx, int gapPx, int leftPx)
{
    if (!chipShown)
        return leftPx;
    return saturated(qint64(leftPx) + std::max(0, chipWidthPx) + std::max(0, gapPx));
}

int OverlayGeometry::toastMaxWidthPx(int frameWidthPx, int marginPx, bool chipShown,
                                     int chipWidthPx, bool noticeShown, int noticeWidthPx,
                                     int gapPx)
{
    const qint64 gap = std::max(0, gapPx);
    qint64 taken = 2 * qint64(std::max(0, marginPx));
    if (chipShown)
        taken += std::max(0, chipWidthPx) + gap;
    if (noticeShown)
        taken += std::max(0, noticeWidthPx) + gap;
    return saturated(std::max<qint64>(1, frameWidthPx - taken));
}

} // namespace talvorine
