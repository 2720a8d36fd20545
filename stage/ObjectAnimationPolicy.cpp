#include "stage/ObjectAnimationPolicy.h"

#include <QtGlobal>

#include <algorithm>

namespace talvorine {

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
