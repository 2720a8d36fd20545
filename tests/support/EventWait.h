#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <functional>

namespace talvorine::test {

// Runs the event loop until done holds or the time passed, asleep between events (the cores are
// the renderer's) but awake every 5 ms for what changes without one, such as sampled frames.
inline bool spinUntil(const std::function<bool()>& done, int ms)
{
    const QDeadlineTimer deadline(ms);
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace talvorine::test
