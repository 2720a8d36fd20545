#include "controller/SplashPolicy.h"

#include "app/DevFileLog.h"
#include "controller/PlayerController.h"

namespace talvorine {

bool SplashPolicy::isTerminal(RuntimePhase phase)
{
    return phase != RuntimePhase::Starting && phase != RuntimePhase::Candidate;
}

bool SplashPolicy::verdict(std::optional<RuntimePhase> /*phase*/, qint64 elapsedMs)
{
    return elapsedMs >= holdMs;
}

} // namespace talvorine

// --- The controller's splash ---------------------------------------------------------------

namespace talvorine {

void PlayerController::finishStartupAnimation()
{
    if (!startupAnimationPending_)
        return;
    startupAnimationPending_ = false;
    splashClock_.start();
    splashTimer_.start();
    evaluateSplash();
}

void PlayerController::evaluateSplash()
{
    if (startupAnimationPending_ || splashRetiring_ || !splashVisible_)
        return;
    const qint64 elapsed = splashClock_.elapsedMs();
    if (fatalCode_ != FatalSurface::None && elapsed >= SplashPolicy::holdMs) {
        retireSplash();
        return;
    }
    // A candidate that has everything it needs counts as content; the verdict does not weigh
    // the phase today, but it is the phase the splash is judged at.
    const bool candidateComplete = candidate_ && candidate_->pendingAssets == 0
        && candidate_->readyPrimitives.contains(candidate_->requiredPrimitives);
    const RuntimePhase phase = candidateComplete ? RuntimePhase::Active : runtimePhase();
    if (SplashPolicy::verdict(phase, elapsed))
        retireSplash();
}

void PlayerController::retireSplash()
{
    if (startupAnimationPending_ || splashRetiring_ || !splashVisible_)
        return;
    splashRetiring_ = true;
    splashTimer_.stop();
    splashOpacity_ = 0.0;
    DevFileLog::record(QStringLiteral("splash.retire"),
                       {{QStringLiteral("status"), status_},
                        {QStringLiteral("elapsed_ms"), QString::number(splashClock_.elapsedMs())},
                        {QStringLiteral("retained"),
                         activeSlot_ >= 0 ? QStringLiteral("true") : QStringLiteral("false")}});
    Q_EMIT splashChanged();
    // The scene cross-fades meanwhile; activation waits for the splash to be gone.
    QTimer::singleShot(SplashPolicy::crossfadeMs, Qt::PreciseTimer, this,
                       &PlayerController::hideRetiredSplash);
}

void PlayerController::hideRetiredSplash()
{
    splashVisible_ = false;
    DevFileLog::record(QStringLiteral("splash.present"),
                       {{QStringLiteral("elapsed_ms"), QString::number(splashClock_.elapsedMs())}});
    Q_EMIT splashChanged();
    maybeActivate();
}

} // namespace talvorine
