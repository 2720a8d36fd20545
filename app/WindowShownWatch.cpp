#include "app/WindowShownWatch.h"

#include "app/PlatformEnvironment.h"

#include <QEvent>
#include <QWindow>

#include <algorithm>

namespace talvorine {

WindowShownRule::WindowShownRule(bool exposed, qint64 nowMs)
{
    if (!exposed)
        unexposedSinceMs_ = nowMs;
}

WindowShownRule::Say WindowShownRule::exposureChanged(bool exposed, qint64 nowMs)
{
    if (exposed) {
        unexposedSinceMs_.reset();
        if (!notShownSaid_)
            return Say::Nothing;
        notShownSaid_ = false;
        return Say::ShownAgain;
    }
    if (!unexposedSinceMs_)
        unexposedSinceMs_ = nowMs;
    return timePassed(nowMs);
}

WindowShownRule::Say WindowShownRule::timePassed(qint64 nowMs)
{
    const std::optional<qint64> due = nextCheckMs();
    if (!due || nowMs < *due)
        return Say::Nothing;
    notShownSaid_ = true;
    return Say::NotShown;
}

std::optional<qint64> WindowShownRule::nextCheckMs() const
{
    if (!unexposedSinceMs_ || notShownSaid_)
        return std::nullopt;
    return *unexposedSinceMs_ + notShownAfterMs;
}

void WindowShownWatch::install(QWindow* window)
{
    if (window)
        new WindowShownWatch(window);
}

WindowShownWatch::WindowShownWatch(QWindow* window)
    : QObject(window)
    , window_(window)
    , rule_(window->isExposed(), 0)
{
    clock_.start();
    check_.setSingleShot(true);
    connect(&check_, &QTimer::timeout, this, [this] {
        say(rule_.timePassed(clock_.elapsed()));
        arm();
    });
    window->installEventFilter(this);
    arm();
}

bool WindowShownWatch::eventFilter(QObject* watched, QEvent* event)
{
    // Qt has set the window's exposure by the time its expose event is sent.
    if (watched == window_ && event->type() == QEvent::Expose) {
        say(rule_.exposureChanged(window_->isExposed(), clock_.elapsed()));
        arm();
    }
    return QObject::eventFilter(watched, event);
}

void WindowShownWatch::arm()
{
    const std::optional<qint64> due = rule_.nextCheckMs();
    if (!due) {
        check_.stop();
        return;
    }
    check_.start(int(std::clamp<qint64>(*due - clock_.elapsed(), 0,
                                        WindowShownRule::notShownAfterMs)));
}

void WindowShownWatch::say(WindowShownRule::Say what)
{
    switch (what) {
    case WindowShownRule::Say::Nothing:
        return;
    case WindowShownRule::Say::NotShown:
        writeStandardErrorLine(notShownLine());
        return;
    case WindowShownRule::Say::ShownAgain:
        writeStandardErrorLine(shownAgainLine(), JournalPriority::Notice);
        return;
    }
}

QByteArray WindowShownWatch::notShownLine()
{
    return QByteArrayLiteral(
        "The player's window has not been shown for 30 s: the display may be off or "
        "disconnected, or the compositor's shell shows no window without an input device.");
}

QByteArray WindowShownWatch::shownAgainLine()
{
    return QByteArrayLiteral("The player's window is shown on the screen again.");
}

} // namespace talvorine
