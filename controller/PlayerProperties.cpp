// What the scene reads that is not state of another unit: constants, colours of the chrome
// token contract, the fixed colours and sizes of the setup slides, and small derived values.

#include "controller/PlayerController.h"

#include "manifest/ContractColor.h"
#include "overlay/OverlayIcons.h"
#include "overlay/PairingDisplay.h"
#include "stage/ChromeTokens.h"
#include "stage/ObjectAnimationPolicy.h"
#include "controller/SplashPolicy.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace {

constexpr int toastTransitionDurationMs = 220;
constexpr int setupEntranceDurationMs = 600;
constexpr int celebrationDurationMs = 4000;
constexpr int pinstripeHeightPx = 16;

QColor fixedColor(const char* text)
{
    return QColor::fromString(QLatin1String(text));
}

// numerator / denominator of the frame edge with half-up rounding. The edge is at most the int
// range and the products are taken in 64 bits, so a very large frame cannot wrap around into
// a small position.
int linearPx(int edge, int numerator, int denominator)
{
    if (edge < 1)
        return 0;
    const qint64 value = (qint64(edge) * numerator + denominator / 2) / denominator;
    return int(std::min<qint64>(value, std::numeric_limits<int>::max()));
}

// size at the 1920 x 1080 design, scaled by the tighter of the frame's two ratios.
int scaledPx(int width, int height, int size)
{
    const double scale = std::min(width / 1920.0, height / 1080.0);
    if (width < 1 || height <= 0 || scale <= 0)
        return 0;
    const double value = scale * size + 0.5;
    return value >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                              : int(value);
}

} // namespace

int PlayerController::objectEnterDelayMs() const
{
    return ObjectAnimationPolicy::enterDelayMs;
}

int PlayerController::objectEnterDurationMs() const
{
    return ObjectAnimationPolicy::enterDurationMs;
}

QString PlayerController::pairingCodeDisplay() const
{
    return PairingDisplay::groupLocator(pairingCode_);
}

QString PlayerController::pairingCodeSpoken() const
{
    return pairingCode_.isEmpty() ? QString() : PairingDisplay::spokenLocator(pairingCode_);
}

QString PlayerController::pairingExpiryClock() const
{
    return PairingDisplay::expiryClockTime(
        pairingExpiry_, QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC));
}

QColor PlayerController::groundColor() const { return ChromeTokens::instance().ground(); }
QColor PlayerController::inkColor() const { return ChromeTokens::instance().ink(); }
QColor PlayerController::inkBrightColor() const { return ChromeTokens::instance().inkBright(); }
QColor PlayerController::inkMutedColor() const { return ChromeTokens::instance().inkMuted(); }
QColor PlayerController::slideBackgroundColor() const { return fixedColor("#232E3A"); }
QColor PlayerController::playLetterboxColor() const { return ContractColor::opaqueBlack(); }
QColor PlayerController::slideBackgroundTopColor() const { return fixedColor("#232E3A"); }
QColor PlayerController::slideBackgroundBottomColor() const { return fixedColor("#131E2A"); }
QColor PlayerController::slidePinstripeColor() const { return fixedColor("#F8B334"); }
QColor PlayerController::slideLocatorInkColor() const { return fixedColor("#1B2632"); }
QColor PlayerController::slidePrimaryColor() const { return fixedColor("#EEE9DF"); }
QColor PlayerController::slideSecondaryColor() const { return fixedColor("#B8B3A9"); }
QColor PlayerController::slideCaptionColor() const { return fixedColor("#8C8880"); }
int PlayerController::slidePinstripeHeightPx() const { return pinstripeHeightPx; }

int PlayerController::slideWordmarkXPx() const
{
    return linearPx(overlayGeometry_.width, 59, 1920);
}

int PlayerController::slideWordmarkYPx() const
{
    return linearPx(overlayGeometry_.height, 972, 1080);
}

int PlayerController::slideWordmarkWidthPx() const
{
    return linearPx(overlayGeometry_.width, 344, 1920);
}

int PlayerController::slideWordmarkHeightPx() const
{
    return linearPx(overlayGeometry_.height, 64, 1080);
}

int PlayerController::slideCopyWidthPx() const
{
    return linearPx(overlayGeometry_.width, 1600, 1920);
}

int PlayerController::slideTitleSizePx() const
{
    return scaledPx(overlayGeometry_.width, overlayGeometry_.height, 80);
}

int PlayerController::slidePairingSizePx() const
{
    return scaledPx(overlayGeometry_.width, overlayGeometry_.height, 96);
}

int PlayerController::slideBodySizePx() const
{
    return scaledPx(overlayGeometry_.width, overlayGeometry_.height, 36);
}

int PlayerController::slideCaptionSizePx() const
{
    return scaledPx(overlayGeometry_.width, overlayGeometry_.height, 22);
}

QColor PlayerController::bannerPlateColor() const { return ChromeTokens::instance().bannerPlate(); }

QColor PlayerController::bannerTextOnPlateColor() const
{
    return ChromeTokens::instance().bannerTextOnPlate();
}

QString PlayerController::applicationPackageCacheRoot() const
{
    // Without a state directory there is no cache, rather than one in the working directory.
    return stateDirectory_.isEmpty()
        ? QString()
        : QDir(stateDirectory_).filePath(QStringLiteral("application-cache"));
}

int PlayerController::toastTransitionMs() const { return toastTransitionDurationMs; }

QStringList PlayerController::overlayMarkPaths() const { return overlayIconPaths(chip_.icon); }

QColor PlayerController::overlayOnFillColor() const { return QColor(Qt::black); }

QStringList PlayerController::noticeIconPaths() const { return overlayIconPaths(notice_.icon); }

QString PlayerController::offlineSinceClock() const
{
    return PairingDisplay::offlineSinceClock(offlineSince_,
                                             QDateTime::fromMSecsSinceEpoch(clock_->nowMs()));
}

QString PlayerController::identifyLabel() const
{
    return identifyVisible_ ? publishedScreenLabel() : QString();
}

int PlayerController::splashCrossfadeMs() const { return SplashPolicy::crossfadeMs; }
int PlayerController::setupEntranceMs() const { return setupEntranceDurationMs; }
int PlayerController::pairingCelebrationMs() const { return celebrationDurationMs; }

bool PlayerController::reducedMotion() const
{
    return ObjectAnimationPolicy::reducedMotionRequested();
}

// --- Accessors the scene does not see --------------------------------------------------------

const Page* PlayerController::activePage() const
{
    if (!activeManifest_ || activePageIndex_ < 0
        || activePageIndex_ >= activeManifest_->pages.size())
        return nullptr;
    return &activeManifest_->pages.at(activePageIndex_);
}

Page* PlayerController::mutableActivePage()
{
    if (!activeManifest_ || activePageIndex_ < 0
        || activePageIndex_ >= activeManifest_->pages.size())
        return nullptr;
    return &activeManifest_->pages[activePageIndex_];
}

const Page* PlayerController::candidatePage() const
{
    if (!candidate_ || candidate_->pageIndex < 0
        || candidate_->pageIndex >= candidate_->manifest.pages.size())
        return nullptr;
    return &candidate_->manifest.pages.at(candidate_->pageIndex);
}

} // namespace talvorine
