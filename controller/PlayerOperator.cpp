// The operator's keys: page steps, the pause with its hold, the identify card.

#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"

#include <QKeyEvent>

#include <algorithm>
#include <limits>
#include <optional>

namespace talvorine {

namespace {

// Keys that must arrive as plain presses: no shortcut may take them first.
bool plainPressKey(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape
        || key == Qt::Key_Select || key == Qt::Key_Space || key == Qt::Key_Back;
}

// The operator chord's command for a key: 1 next page, -1 previous page, 0 pause.
std::optional<int> chordCommand(int key)
{
    switch (key) {
    case Qt::Key_Right: return 1;
    case Qt::Key_Left: return -1;
    case Qt::Key_Space: return 0;
    default: return std::nullopt;
    }
}

} // namespace

bool PlayerController::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::ShortcutOverride || type == QEvent::KeyRelease)
        && fatalCode_ == FatalSurface::None
        && plainPressKey(static_cast<QKeyEvent*>(event)->key())) {
        event->accept();
        return true;
    }
    // A press reaches its window first; Qt Quick then hands the same event to the focused item
    // and its parents, through this filter again. Taking it at the window only makes one press
    // one command.
    if (type == QEvent::KeyPress && watched->isWindowType()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers chord = Qt::ControlModifier | Qt::AltModifier;
        if ((key->modifiers() & chord) == chord && !key->isAutoRepeat()) {
            if (const std::optional<int> command = chordCommand(key->key());
                command && operatorCommand(*command)) {
                event->accept();
                return true;
            }
        }
        if (handleKey(key->key(), key->isAutoRepeat(), key->text())) {
            event->accept();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

// The panel learns whether the screen is paired from operatorContext(), asked afresh on every
// key, so nothing is pushed to it here.
bool PlayerController::handleKey(int key, bool autoRepeat, const QString& text)
{
    if (fatalCode_ != FatalSurface::None)
        return false;
    if (operatorPanel_.handleKey(key, autoRepeat, text))
        return true;
    if (operatorPanel_.editingName())
        return false;
    if (const Page* page = activePage(); page && pageHasWebPrimitive(*page))
        return false;
    if (!pairingCode_.isEmpty() || autoRepeat)
        return false;
    if (key == Qt::Key_N || key == Qt::Key_Right)
        return stepForward();
    if (key == Qt::Key_P || key == Qt::Key_Left)
        return stepBack();
    if (key == Qt::Key_I) {
        summonIdentify();
        return true;
    }
    return false;
}

bool PlayerController::operatorCommand(int direction)
{
    if (fatalCode_ != FatalSurface::None || !pairingCode_.isEmpty() || !activePage())
        return false;
    if (direction == 0)
        return togglePlaybackPause(true);
    return stepPage(direction < 1 ? -1 : 1, true, QStringLiteral("operator"));
}

bool PlayerController::stepForward()
{
    return stepPage(1, false, QStringLiteral("keyboard"));
}

bool PlayerController::stepBack()
{
    return stepPage(-1, false, QStringLiteral("keyboard"));
}

bool PlayerController::togglePause()
{
    return togglePlaybackPause(false);
}

bool PlayerController::stepPage(int direction, bool operatorChord, const QString& origin)
{
    if (adActive()) {
        finishAdPresentation(false);
        endAdVisit(true);
        return true;
    }
    const Page* page = activePage();
    if (!page)
        return false;
    if (!playbackPolicy_.acceptsKeys(true, !operatorChord && pageHasWebPrimitive(*page)))
        return false;
    // The operator's step is the turn a held revision's try owed.
    owedTurn_.reset();
    // An ad staged for a later run does not hold the operator's step.
    yieldAdCandidate();
    const QString disposition = !candidate_                ? QStringLiteral("accepted")
                                : pendingStepDirection_ != 0 ? QStringLiteral("coalesced")
                                                             : QStringLiteral("queued");
    logPlayback("manual_navigation",
                {{QStringLiteral("origin"), origin},
                 {QStringLiteral("direction"),
                  direction > 0 ? QStringLiteral("next") : QStringLiteral("previous")},
                 {QStringLiteral("disposition"), disposition}});
    if (candidate_) {
        // Activation carries the last queued step out once the candidate is on glass.
        pendingStepDirection_ = direction;
        pendingStepOrigin_ = origin;
        return true;
    }
    advanceReason_ = origin;
    const QList<int> eligible = rotatableNow(*activeManifest_);
    const int count = int(activeManifest_->pages.size());
    const int step = direction > 0 ? 1 : -1;
    int target = activePageIndex_;
    for (int tries = 1; tries <= count; ++tries) {
        const int index = ((activePageIndex_ + step * tries) % count + count) % count;
        if (eligible.contains(index)) {
            target = index;
            break;
        }
    }
    if (!eligible.isEmpty() && !advanceChangesNothingVisible(target)) {
        pendingPageIndex_ = target;
        preparePage(*activeManifest_, activeManifestBody_, target, false);
    }
    return true;
}

bool PlayerController::togglePlaybackPause(bool operatorChord)
{
    const Page* page = activePage();
    if (adActive() || !page)
        return false;
    if (!playbackPolicy_.togglePause(true, !operatorChord && pageHasWebPrimitive(*page),
                                     clock_->nowMs()))
        return false;
    const bool paused = playbackPolicy_.paused();
    operatorPanel_.setPlaybackPaused(paused);
    pauseHoldTimer_.stop();
    // Held or resumed, the page is given a dwell of its own: no turn is owed.
    owedTurn_.reset();
    if (paused) {
        pageTimer_.stop();
        mediaItemTimer_.stop();
        pauseHoldTimer_.start(int(OperatorPlaybackPolicy::holdMs));
    } else {
        scheduleAdvance();
        scheduleMediaItemDeadline();
    }
    resetAdPlanning(QStringLiteral("pause_toggle"));
    publishOverlay();
    return true;
}

// The hold ends the pause after an hour by the wall clock; a timer that fired early (the clock
// was set back) waits for the rest.
void PlayerController::expirePauseHold()
{
    const qint64 now = clock_->nowMs();
    if (playbackPolicy_.expireHold(now)) {
        operatorPanel_.setPlaybackPaused(false);
        pauseHoldTimer_.stop();
        scheduleAdvance();
        scheduleMediaItemDeadline();
        publishOverlay();
        return;
    }
    if (const qint64 remaining = playbackPolicy_.remainingHoldMs(now); remaining > 0)
        pauseHoldTimer_.start(int(std::min<qint64>(remaining, std::numeric_limits<int>::max())));
}

void PlayerController::summonIdentify()
{
    identifyVisible_ = true;
    identifyTimer_.start(10000);
    Q_EMIT identifyChanged();
}

void PlayerController::hideIdentify()
{
    identifyTimer_.stop();
    if (!identifyVisible_)
        return;
    identifyVisible_ = false;
    Q_EMIT identifyChanged();
}

} // namespace talvorine
