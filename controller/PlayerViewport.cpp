// The viewport the scene reports and the observation sent to the service: every page is laid
// out for the window's real size, and the service learns what the screen actually presents.

#include "controller/PlayerController.h"

#include "manifest/LayoutContract.h"

#include <QJsonObject>

#include <cmath>
#include <limits>
#include <optional>

namespace talvorine {

namespace {

constexpr int maxObservedEdge = 100000;
constexpr double maxPixelRatio = 32.0;

bool usableRatio(double ratio)
{
    return std::isfinite(ratio) && ratio > 0 && ratio <= maxPixelRatio;
}

// Whole pixels toward zero; a frame beyond the int range is held at its edge instead of
// overflowing the conversion.
int wholePixels(double edge)
{
    return edge >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                           : int(edge);
}

// Rebuilds one slot's rows for the new viewport and binds again what was already verified for
// it; a page that no longer resolves keeps the rows it had.
bool relayout(StageLayoutModel& model, const Page& page, const QString& screenId,
              quint64 generation, const QSizeF& viewport)
{
    const LayoutResult result = LayoutContract::resolveLayout(page, viewport);
    const auto* resolved = std::get_if<ResolvedPage>(&result);
    if (!resolved)
        return false;
    model.setScene(page, *resolved, screenId, generation, viewport);
    return true;
}

} // namespace

void PlayerController::setViewport(double width, double height, double pixelRatio,
                                   bool exclusiveOutput)
{
    if (!std::isfinite(width) || !std::isfinite(height) || width <= 0 || height <= 0)
        return;
    frameSize_ = QSizeF(width, height);
    if (usableRatio(pixelRatio))
        pixelRatio_ = pixelRatio;
    viewportExclusiveOutput_ = exclusiveOutput;

    const OverlayGeometry geometry =
        OverlayGeometry::forFrame(wholePixels(width), wholePixels(height));
    if (geometry.width != overlayGeometry_.width || geometry.height != overlayGeometry_.height
        || geometry.scale != overlayGeometry_.scale) {
        overlayGeometry_ = geometry;
        Q_EMIT overlayGeometryChanged();
    }

    // The page on glass is laid out for the items it shows now: an item switched in place has
    // its own shape, which the manifest's copy of the page does not know.
    std::optional<Page> onGlass;
    if (const Page* page = activePage(); page && activeSlot_ >= 0) {
        onGlass = *page;
        applyVisibleMediaItems(*onGlass);
    }
    if (onGlass
        && relayout(*modelForSlot(activeSlot_), *onGlass, activeManifest_->screenId,
                    activeGeneration_, frameSize_)) {
        StageLayoutModel& model = *modelForSlot(activeSlot_);
        for (auto it = activeMediaUrls_.cbegin(); it != activeMediaUrls_.cend(); ++it)
            model.bindVerifiedMediaFile(it.key(), it.value());
        for (const Primitive& primitive : onGlass->primitives) {
            if (primitive.kind != PrimitiveKind::application)
                continue;
            const QJsonObject package =
                primitive.binding.value(QLatin1String("package")).toObject();
            model.bindVerifiedApplicationPackage(
                primitive.id, package.value(QLatin1String("sha256")).toString(),
                package.value(QLatin1String("entrypoint")).toString());
        }
    }

    if (const Page* page = candidatePage(); page
        && relayout(*modelForSlot(candidate_->slot), *page, candidate_->manifest.screenId,
                    candidate_->generation, frameSize_)) {
        StageLayoutModel& model = *modelForSlot(candidate_->slot);
        for (auto it = candidate_->mediaUrls.cbegin(); it != candidate_->mediaUrls.cend(); ++it)
            model.bindVerifiedMediaFile(it.key(), it.value());
        for (auto it = candidate_->packageDescriptors.cbegin();
             it != candidate_->packageDescriptors.cend(); ++it)
            model.bindVerifiedApplicationPackage(it.key(), it->sha256, it->entrypoint);
    }

    publishObservation();
}

void PlayerController::publishObservation()
{
    const int width = wholePixels(frameSize_.width());
    const int height = wholePixels(frameSize_.height());
    if (width < 1 || width > maxObservedEdge || height < 1 || height > maxObservedEdge
        || !usableRatio(pixelRatio_) || !transport_.hasRuntimeSession())
        return;
    const Observation observation{
        width, height, pixelRatio_,
        viewportExclusiveOutput_ ? QStringLiteral("output") : QStringLiteral("windowed")};
    if (lastObservation_ == observation)
        return;
    // Not repeated after a failed request until the values change or the record is cleared.
    lastObservation_ = observation;
    transport_.putObservation(observation.width, observation.height, observation.pixelRatio,
                              observation.presentation);
}

} // namespace talvorine
