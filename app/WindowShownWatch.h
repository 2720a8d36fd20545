#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>

class QWindow;

namespace talvorine {

// Whether the player's window is on the screen, read from its expose events. A display switched
// off or unplugged, or a compositor whose shell never maps the window (one that shows windows
// only once an input device gives it a seat), leaves it unexposed for good while the player
// plays on unseen; but Qt's Wayland client also marks a window unexposed for a moment whenever
// a frame callback is late, so only a window unexposed for 30 s in a row is taken as not shown.
// That is said once, and once more when the window is shown again. Times are the caller's
// monotonic milliseconds.
class WindowShownRule {
public:
    static constexpr qint64 notShownAfterMs = 30000;
    enum class Say { Nothing, NotShown, ShownAgain };

    WindowShownRule(bool exposed, qint64 nowMs);

    Say exposureChanged(bool exposed, qint64 nowMs);
    Say timePassed(qint64 nowMs);
    // When timePassed() may next have something to say; none while nothing can change.
    std::optional<qint64> nextCheckMs() const;

private:
    std::optional<qint64> unexposedSinceMs_;
    bool notShownSaid_ = false;
};

// The rule on a window: its expose events and a timer to the rule's next check, the lines written
// for the operator (at "err" and "notice" in the journal). It only observes the window.
class WindowShownWatch : public QObject {
    Q_OBJECT
public:
    // Watches the window from now on, for as long as it lives.
    static void install(QWindow* window);

    bool eventFilter(QObject* watched, QEvent* event) override;

    static QByteArray notShownLine();
    static QByteArray shownAgainLine();

private:
    explicit WindowShownWatch(QWindow* window);
    void say(WindowShownRule::Say what);
    void arm();

    QWindow* window_;
    QElapsedTimer clock_;
    WindowShownRule rule_;
    QTimer check_;
};

} // namespace talvorine
