// The lifecycle guard under a real Wayland compositor: what it records, and that it never
// changes what happens to a window; and the stop signals, which reach the event loop instead.

#include "app/DevFileLog.h"
#include "app/PlayerWindowQuitGuard.h"
#include "app/StopSignals.h"
#include "tests/support/TestSupport.h"

#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <csignal>

using namespace talvorine;
using talvorine::test::readJsonLines;
using talvorine::test::recordsOf;

namespace {

QStringList consoleLines;

void captureConsole(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        consoleLines.append(message);
}

const QByteArray windowQml = R"(
import QtQuick
Window { width: 320; height: 200; visible: true; color: "black" }
)";

} // namespace

class TestQuitGuard : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
    PlayerWindowQuitGuard* guard_ = nullptr;

    QList<QJsonObject> records(const QString& event) const
    {
        return recordsOf(readJsonLines(DevFileLog::path()), event);
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        QGuiApplication::setQuitOnLastWindowClosed(false);
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir_.path(), 0);
        qInstallMessageHandler(captureConsole);

        engine_ = std::make_unique<QQmlApplicationEngine>();
        engine_->loadData(windowQml);
        QCOMPARE(engine_->rootObjects().size(), 1);
        window_ = qobject_cast<QQuickWindow*>(engine_->rootObjects().first());
        QVERIFY(window_);
        PlayerWindowQuitGuard::install(qGuiApp, engine_.get());
        guard_ = qGuiApp->findChild<PlayerWindowQuitGuard*>();
        QVERIFY(guard_);
        QVERIFY(QTest::qWaitForWindowExposed(window_));
    }

    void attachedOnce()
    {
        guard_->attachWindow(window_);
        guard_->attachWindow(nullptr);
        const auto attached = records(QStringLiteral("window.attached"));
        QCOMPARE(attached.size(), 1);
        QCOMPARE(attached.first().value("width").toString(), QStringLiteral("320"));
        QCOMPARE(attached.first().value("visible").toString(), QStringLiteral("true"));
        QVERIFY(!records(QStringLiteral("window.surface")).isEmpty());
    }

    void laterWindowsAttachedThroughTheEngine()
    {
        QQmlApplicationEngine* engine = engine_.get();
        engine->loadData(windowQml);
        QCOMPARE(engine->rootObjects().size(), 2);
        auto* second = qobject_cast<QQuickWindow*>(engine->rootObjects().last());
        guard_->attachWindow(second);
        QCOMPARE(records(QStringLiteral("window.attached")).size(), 2);

        // Destroyed while shown and while the loop runs: records queued from the render thread
        // may arrive after the window is gone.
        QVERIFY(QTest::qWaitForWindowExposed(second));
        delete second;
        QTest::qWait(200);
        QCOMPARE(records(QStringLiteral("window.destroyed")).size(), 1);
    }

    void visibleSignalValueWins()
    {
        emit window_->visibleChanged(false);
        const auto visible = records(QStringLiteral("window.visible"));
        QVERIFY(!visible.isEmpty());
        QCOMPARE(visible.last().value("visible").toString(), QStringLiteral("false"));
        QVERIFY(window_->isVisible());
    }

    void eventsToNonWindowsAreIgnored()
    {
        const auto before = readJsonLines(DevFileLog::path()).size();
        QObject plain;
        QEvent hide(QEvent::Hide);
        QCloseEvent close;
        QPlatformSurfaceEvent surface(QPlatformSurfaceEvent::SurfaceCreated);
        QCoreApplication::sendEvent(&plain, &hide);
        QCoreApplication::sendEvent(&plain, &close);
        QCoreApplication::sendEvent(&plain, &surface);
        QCOMPARE(readJsonLines(DevFileLog::path()).size(), before);

        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(&plain, &quit);
        const auto quitEvents = records(QStringLiteral("process.quit_event"));
        QCOMPARE(quitEvents.size(), 1);
        QCOMPARE(quitEvents.first().value("spontaneous").toString(), QStringLiteral("false"));
    }

    void longMessagesCutOnlyOnTheConsole()
    {
        consoleLines.clear();
        const QString message(600, u'm');
        emit window_->sceneGraphError(QQuickWindow::ContextNotAvailable, message);
        QTRY_VERIFY(!records(QStringLiteral("window.scene_graph_error")).isEmpty());
        const auto error = records(QStringLiteral("window.scene_graph_error")).last();
        QCOMPARE(error.value("message").toString(), message);
        QCOMPARE(error.value("error").toString(), QString::number(QQuickWindow::ContextNotAvailable));
        const QString line = consoleLines.filter(QStringLiteral("window.scene_graph_error")).value(0);
        QVERIFY(line.contains(QStringLiteral(" message=") + QString(512, u'm')));
        QVERIFY(!line.contains(QString(513, u'm')));
    }

    void closeFromWindowSystem()
    {
        // QWindow::close goes through the platform window, so the close event is spontaneous,
        // as when the compositor asks the window to close. Closing the last window ends the
        // event loop, as in the player.
        QGuiApplication::setQuitOnLastWindowClosed(true);
        QTimer::singleShot(0, window_, [this] { window_->close(); });
        QTimer watchdog;
        watchdog.callOnTimeout(qGuiApp, [] { QCoreApplication::exit(2); });
        watchdog.start(20000);
        QCOMPARE(QGuiApplication::exec(), 0);
        QGuiApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(!window_->isVisible());

        // On a busy machine an expose queued before the close (a frame callback that came after
        // its time-out) can reach the window after it; the scene graph then gives the window a
        // platform window again, hidden, and the quit event closes every window that has one:
        // two more records, of a hidden window. The window system's close is the shown window's.
        QList<QJsonObject> closing = records(QStringLiteral("window.closing"));
        closing.removeIf([](const QJsonObject& record) {
            return record.value("visible").toString() != QStringLiteral("true");
        });
        QCOMPARE(closing.size(), 2);
        QCOMPARE(closing[0].value("source").toString(), QStringLiteral("qevent.close"));
        QCOMPARE(closing[0].value("spontaneous").toString(), QStringLiteral("true"));
        QCOMPARE(closing[0].value("accepted").toString(), QStringLiteral("true"));
        QCOMPARE(closing[0].value("action").toString(), QStringLiteral("accept"));
        QCOMPARE(closing[1].value("source").toString(), QStringLiteral("qquickwindow.closing"));
        const auto lastClosed = records(QStringLiteral("process.last_window_closed"));
        QCOMPARE(lastClosed.size(), 1);
        QCOMPARE(lastClosed.first().value("quit_on_last_window_closed").toString(),
                 QStringLiteral("true"));
        QCOMPARE(records(QStringLiteral("process.quit_event")).size(), 2);
        const auto aboutToQuit = records(QStringLiteral("process.about_to_quit"));
        QCOMPARE(aboutToQuit.size(), 1);
        QCOMPARE(aboutToQuit.first().value("visible").toString(), QStringLiteral("0"));
        QVERIFY(!records(QStringLiteral("window.hide")).isEmpty());
    }

    void destroyedLeavesTheSet()
    {
        engine_.reset();
        QTRY_COMPARE(records(QStringLiteral("window.destroyed")).size(), 2);
    }

    void logOffWritesConsoleOnly()
    {
        const QString path = DevFileLog::path();
        const auto before = readJsonLines(path).size();
        DevFileLog::configure(QUrl(QStringLiteral("https://player.talvorine.net")), dir_.path(), 0);
        consoleLines.clear();
        guard_->log("window.hide", {{QStringLiteral("token"), QStringLiteral("t")},
                                    {QStringLiteral("width"), QStringLiteral("1")}});
        guard_->log("window.destroyed", {});
        QCOMPARE(consoleLines,
                 (QStringList{QStringLiteral("window.hide width=1"), QStringLiteral("window.destroyed")}));
        QCOMPARE(readJsonLines(path).size(), before);
    }

    void applicationEventsWithoutEngine()
    {
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir_.path(), 0);
        delete guard_;
        guard_ = nullptr;
        PlayerWindowQuitGuard::install(qGuiApp, nullptr);
        consoleLines.clear();
        emit qGuiApp->lastWindowClosed();
        QVERIFY(consoleLines.contains(
            QStringLiteral("process.last_window_closed quit_on_last_window_closed=false")));
    }

    // The stops the operating system asks for reach the event loop as one request; from then
    // on the defaults are back, so a second signal while stopping ends the process at once.
    void stopSignals_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void stopSignals()
    {
        QFETCH(int, number);
        StopSignals stops;
        QSignalSpy requested(&stops, &StopSignals::stopRequested);
        QCOMPARE(::raise(number), 0);
        QTRY_COMPARE(requested.size(), 1);
        QCOMPARE(requested.first().first().toInt(), number);
        for (const int stop : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction now {};
            QCOMPARE(::sigaction(stop, nullptr, &now), 0);
            QVERIFY(now.sa_handler == SIG_DFL);
        }
    }

    void cleanupTestCase() { qInstallMessageHandler(nullptr); }
};

QTEST_MAIN(TestQuitGuard)
#include "tst_quitguard.moc"
