#include "stage/ObjectAnimationPolicy.h"

#include <QtGlobal>

#include <QVariantList>

#include <algorithm>
#include <cmath>

namespace talvorine {

namespace {
constexpr qint64 maxLegMs = 86400000;
} // namespace

int ObjectAnimationPolicy::spinPeriodMs(const QString& speed)
{
    if (speed == QLatin1String("slow"))
        return 60000;
    if (speed == QLatin1String("medium"))
        return 30000;
    if (speed == QLatin1String("fast"))
        return 12000;
    return 0;
}

int ObjectAnimationPolicy::driftLegMs(const QString& speed)
{
    if (speed == QLatin1String("slow"))
        return 40000;
    if (speed == QLatin1String("medium"))
        return 25000;
    if (speed == QLatin1String("fast"))
        return 15000;
    return 0;
}

QVariantMap ObjectAnimationPolicy::describeMotion(const Primitive::Motion& motion,
                                                  const QRectF& canvasRect,
                                                  const QRectF& viewportRect)
{
    const double scaleX = viewportRect.width() / canvasRect.width();
    const double scaleY = viewportRect.height() / canvasRect.height();
    if (!std::isfinite(scaleX) || !std::isfinite(scaleY) || scaleX <= 0.0 || scaleY <= 0.0)
        return {};

    switch (motion.type) {
    case Primitive::Motion::spin: {
        const int period = spinPeriodMs(motion.spinSpeed);
        const bool clockwise = motion.spinDirection == QLatin1String("cw");
        if (period == 0 || (!clockwise && motion.spinDirection != QLatin1String("ccw")))
            return {};
        return {
            {QStringLiteral("type"), QStringLiteral("spin")},
            {QStringLiteral("periodMs"), period},
            {QStringLiteral("toDegrees"), clockwise ? 360.0 : -360.0},
            {QStringLiteral("originX"), viewportRect.width() / 2.0},
            {QStringLiteral("originY"), viewportRect.height() / 2.0},
        };
    }
    case Primitive::Motion::drift: {
        const int leg = driftLegMs(motion.driftSpeed);
        const QString& zoom = motion.driftZoom;
        const QString& direction = motion.driftDirection;
        if (leg == 0 || (zoom != QLatin1String("in") && zoom != QLatin1String("out")))
            return {};
        double panX = 0.0;
        double panY = 0.0;
        const double dx = driftPanFraction * viewportRect.width();
        const double dy = driftPanFraction * viewportRect.height();
        if (direction == QLatin1String("left"))
            panX = -dx;
        else if (direction == QLatin1String("right"))
            panX = dx;
        else if (direction == QLatin1String("up"))
            panY = -dy;
        else if (direction == QLatin1String("down"))
            panY = dy;
        else if (direction != QLatin1String("none"))
            return {};
        const bool in = zoom == QLatin1String("in");
        return {
            {QStringLiteral("type"), QStringLiteral("drift")},
            {QStringLiteral("legMs"), leg},
            {QStringLiteral("fromScale"), in ? 1.0 : driftZoomScale},
            {QStringLiteral("toScale"), in ? driftZoomScale : 1.0},
            {QStringLiteral("toX"), panX},
            {QStringLiteral("toY"), panY},
        };
    }
    case Primitive::Motion::path: {
        if (motion.points.empty() || !std::isfinite(motion.rate) || motion.rate <= 0.0)
            return {};
        QString mode = motion.loop.value_or(QStringLiteral("loop"));
        if (mode != QLatin1String("loop") && mode != QLatin1String("once")
            && mode != QLatin1String("ping-pong"))
            return {};
        // The points are where the item's top-left goes, in canvas units; the scene moves the
        // item by offsets from where it rests.
        QVariantList points;
        points.append(QVariantMap{{QStringLiteral("x"), 0.0},
                                  {QStringLiteral("y"), 0.0},
                                  {QStringLiteral("durationMs"), 0}});
        double previousX = canvasRect.x();
        double previousY = canvasRect.y();
        qint64 cycle = 0;
        for (const ObjectMotionPoint& point : motion.points) {
            if (!std::isfinite(point.x) || !std::isfinite(point.y))
                return {};
            const double distance = std::hypot(point.x - previousX, point.y - previousY);
            // A day per leg is as slow as any screen needs and keeps the sum far from overflow.
            const qint64 duration =
                std::llround(std::min(distance / motion.rate * 1000.0, double(maxLegMs)));
            cycle += duration;
            points.append(QVariantMap{{QStringLiteral("x"), (point.x - canvasRect.x()) * scaleX},
                                      {QStringLiteral("y"), (point.y - canvasRect.y()) * scaleY},
                                      {QStringLiteral("durationMs"), duration}});
            previousX = point.x;
            previousY = point.y;
        }
        return {
            {QStringLiteral("type"), QStringLiteral("path")},
            {QStringLiteral("mode"), mode},
            {QStringLiteral("points"), points},
            {QStringLiteral("cycleMs"), cycle},
        };
    }
    default:
        return {};
    }
}

QVariantMap ObjectAnimationPolicy::describeEnter(const QString& type, int stagger, double scaleX,
                                                 double scaleY)
{
    double fromX = 0.0;
    double fromY = 0.0;
    double fromScale = 1.0;
    // Each fade moves the item towards the named direction, so it starts on the opposite side.
    if (type == QLatin1String("fade-up"))
        fromY = enterOffsetPx * scaleY;
    else if (type == QLatin1String("fade-down"))
        fromY = -enterOffsetPx * scaleY;
    else if (type == QLatin1String("fade-left"))
        fromX = enterOffsetPx * scaleX;
    else if (type == QLatin1String("fade-right"))
        fromX = -enterOffsetPx * scaleX;
    else if (type == QLatin1String("zoom-in"))
        fromScale = 0.92;
    else if (type == QLatin1String("zoom-out"))
        fromScale = 1.08;
    else if (type != QLatin1String("fade-in"))
        return {};
    const int steps = std::clamp(stagger, 0, 8);
    return {
        {QStringLiteral("type"), type},
        {QStringLiteral("delayMs"), enterDelayMs + steps * enterStaggerStepMs},
        {QStringLiteral("durationMs"), enterDurationMs},
        {QStringLiteral("fromOpacity"), 0.0},
        {QStringLiteral("fromX"), fromX},
        {QStringLiteral("fromY"), fromY},
        {QStringLiteral("fromScale"), fromScale},
    };
}

bool ObjectAnimationPolicy::reducedMotionRequested()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("TALVORINE_REDUCED_MOTION", &ok);
    return ok && value == 1;
}

} // namespace talvorine
