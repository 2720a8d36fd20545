#pragma once

#include "controller/PlayerState.h"

#include <QtGlobal>

#include <optional>

namespace talvorine {

// When the start-up splash may go: it stays while the start-up animation plays and for at least
// three seconds of splash time after it, whatever the phase, then cross-fades away once.
class SplashPolicy {
public:
    static constexpr qint64 holdMs = 3000;
    static constexpr int evaluateIntervalMs = 100;
    static constexpr int crossfadeMs = 600;

    SplashPolicy() = delete;

    // Phases at which a splash could stop waiting; kept for the scene's judgement, the verdict
    // does not consult it.
    static bool isTerminal(RuntimePhase phase);
    // True: retire now.
    static bool verdict(std::optional<RuntimePhase> phase, qint64 elapsedMs);
};

} // namespace talvorine
