// The operator's keys: page steps, the pause with its hold, the identify card.

#include "controller/PlayerController.h"

namespace talvorine {

// Invokable or wired by the constructor; the operator keys fill them.

bool PlayerController::eventFilter(QObject* watched, QEvent* event)
{
    return QObject::eventFilter(watched, event);
}

bool PlayerController::handleKey(int, bool, const QString&) { return false; }
bool PlayerController::togglePause() { return false; }
bool PlayerController::operatorCommand(int) { return false; }
bool PlayerController::stepForward() { return false; }
bool PlayerController::stepBack() { return false; }
void PlayerController::summonIdentify() {}
void PlayerController::hideIdentify() {}
void PlayerController::expirePauseHold() {}

} // namespace talvorine
