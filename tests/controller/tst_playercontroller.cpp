#include "app/DevFileLog.h"
#include "app/PlayerOpLog.h"
#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestFiles.h"

#include <QBuffer>
#include <QDirIterator>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <atomic>
#include <thread>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::OpLogListener;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// Every file under the directory with its size and modification time.
QStringList treeOf(const QString& directory)
{
    QStringList entries;
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries.append(it.filePath() + QLatin1Char(' ') + QString::number(it.fileInfo().size())
                       + QLatin1Char(' ')
                       + QString::number(it.fileInfo().lastModified().toMSecsSinceEpoch()));
    }
    entries.sort();
    return entries;
}

// Runs the event loop until everything posted before this call has been handled.
void drainPostedEvents()
{
    bool reached = false;
    QMetaObject::invokeMethod(qApp, [&reached] { reached = true; }, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(reached, waitMs);
}

struct Captured {
    QtMsgType type;
    QString text;
};
QList<Captured>* capturedMessages = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (capturedMessages)
        capturedMessages->append({type, text});
}

} // namespace

class TestPlayerController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    ControllerHarness& make(ControllerHarness::Options options = {})
    {
        harness = std::make_unique<ControllerHarness>(options);
        if (!harness->ready())
            qFatal("%s", qPrintable(harness->setupError()));
        return *harness;
    }

private slots:
    void cleanup()
    {
        ControllerHarness::release(harness);
    }

    // --- The object ----------------------------------------------------------------------

    void construction_data()
    {
        QTest::addColumn<bool>("gpuVideo");
        QTest::newRow("GPU sink") << true;
        QTest::newRow("own frame path") << false;
    }
    void construction()
    {
        QFETCH(bool, gpuVideo);
        ControllerHarness& h = make({QSizeF(1920, 1080), gpuVideo, false});

        const QList<QJsonObject> log = h.devLog();
        QVERIFY(log.size() >= 2);
        QCOMPARE(log.at(0).value("event").toString(), QStringLiteral("process.start"));
        QCOMPARE(log.at(0).value("origin").toString(), DevFileLog::originString(h.service().url()));
        QCOMPARE(log.at(1).value("event").toString(), QStringLiteral("video_capability"));
        QCOMPARE(log.at(1).value("qml_gpu_video").toString(),
                 gpuVideo ? QStringLiteral("true") : QStringLiteral("false"));

        // Nothing runs and nothing reaches the service before start().
        drainPostedEvents();
        QVERIFY(h.service().requests().isEmpty());
        for (const char* name : {"splashTimer", "storageSampleTimer", "adPlannerTimer",
                                 "adOutboxFlushTimer", "rendererRecoveryTimer",
                                 "sessionRetryTimer"})
            QVERIFY2(!h.timer(QLatin1String(name))->isActive(), name);
        QVERIFY(!h.controller().splashVisible());

        // The ad outbox's directory exists before the outbox, owner-only.
        QCOMPARE(testfiles::modeOf(h.statePath("playback-state")), 0700);
    }

    // Without a state directory the stores get no paths at all, never ones relative to the
    // working directory; start() then raises the fatal surface before anything is read.
    void noStateDirectoryTouchesNothing()
    {
        QTemporaryDir working;
        QVERIFY(working.isValid());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(working.path()));
        { PlayerController controller(QUrl("http://127.0.0.1:9"), QString(), QSizeF(1920, 1080),
                                      false); }
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(QDir(working.path()).entryList(QDir::AllEntries | QDir::Hidden
                                                | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void timerTable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("singleShot");
        QTest::addColumn<bool>("precise");
        QTest::addColumn<int>("interval"); // -1: armed with the delay of the moment
        const struct {
            const char* name;
            bool single;
            bool precise;
            int interval;
        } rows[] = {
            {"soundtrackFetchTimer", true, false, -1},
            {"replacementPumpTimer", true, false, -1},
            {"replacementIdleTimer", true, false, -1},
            {"candidateDownloadRetryTimer", true, false, -1},
            {"repairRunTimer", true, false, -1},
            {"unansweredWaitsTimer", true, false, -1},
            {"celebrationTimer", true, false, 4600},
            {"pairingStartTimer", true, false, -1},
            {"pairingEventsRetryTimer", true, false, -1},
            {"pairingExpiryTimer", true, true, -1},
            {"pairingCompletionRetryTimer", true, false, -1},
            {"sessionRetryTimer", true, false, -1},
            {"transitionEndTimer", true, false, -1},
            {"pageTimer", true, true, -1},
            {"mediaItemTimer", true, true, -1},
            {"candidateDeadlineTimer", true, false, 60000},
            {"rendererRecoveryTimer", false, false, 2500},
            {"visibilityTimer", true, false, -1},
            {"pauseHoldTimer", true, false, 3600000},
            {"adPlannerTimer", false, false, 250},
            {"adStallTimer", false, false, -1},
            {"adOutboxFlushTimer", false, false, 5000},
            {"toastTimer", true, false, -1},
            {"identifyTimer", true, false, 10000},
            {"splashTimer", false, false, 100},
            {"assignmentHoldTimer", true, true, -1},
            {"offlineChipTimer", true, true, -1},
            {"eventFetchTimer", true, false, -1},
            {"syncGlyphTimer", true, false, -1},
            {"boundRetryTimer", true, false, -1},
            {"mintWatchdogTimer", true, false, 35000},
            {"reloadTimer", true, false, -1},
            {"safetyPollTimer", true, false, -1},
            {"storageSampleTimer", false, false, 900000},
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << QString::fromLatin1(row.name) << row.single << row.precise
                                    << row.interval;
    }
    void timerTable()
    {
        QFETCH(QString, name);
        QFETCH(bool, singleShot);
        QFETCH(bool, precise);
        QFETCH(int, interval);
        if (!harness)
            make();
        QTimer* timer = harness->timer(name);
        QVERIFY(timer);
        QCOMPARE(timer->objectName(), name);
        QVERIFY(!timer->parent());
        QCOMPARE(timer->isSingleShot(), singleShot);
        QCOMPARE(timer->timerType(), precise ? Qt::PreciseTimer : Qt::CoarseTimer);
        if (interval >= 0)
            QCOMPARE(timer->interval(), interval);
        QVERIFY(!timer->isActive());
    }

    void publishedMethods()
    {
        const QStringList expected{
            "stagePresentationChanged()", "transitionTimingChanged()", "objectEnterChanged()",
            "adActiveChanged()", "statusChanged()", "pairingChanged()", "activeChanged()",
            "fatalChanged()", "toastChanged()", "overlayChanged()", "identifyChanged()",
            "pairingCelebrationChanged()", "splashChanged()", "overlayGeometryChanged()",
            "syncGlyphChanged()", "candidateAwaitingReadiness(int,QStringList)",
            "revisionActivated(QString)", "videoRestartRequested(int,QString)",
            "applicationEventFinished(QString,int,QString)",
            "applicationKvFinished(QString,int,QString)",
            // invokables from index 20
            "finishStartupAnimation()", "setViewport(double,double,double,bool)",
            "setViewport(double,double,double)", "setViewport(double,double)",
            "primitiveReady(int,QString)", "applicationPrepared(int,QString)",
            "primitiveFailed(int,QString,QString)", "applicationAdvanceRequested(int,QString)",
            "applicationLogRequested(int,QString,QString,QString,QString)",
            "applicationEventRequested(int,QString,QString,QString)",
            "applicationEventRequested(int,QString,QString)",
            "applicationKvRequested(int,QString,QString,QVariantMap)",
            "videoStarted(int,QString)", "videoEndOfStream(int,QString)",
            "handleKey(int,bool,QString)", "handleKey(int,bool)", "handleKey(int)",
            "togglePause()", "operatorCommand(int)", "stepForward()", "stepBack()",
            "summonIdentify()", "hideIdentify()",
            "adProgressSample(int,QString,qlonglong,qlonglong)"};
        const QMetaObject& meta = PlayerController::staticMetaObject;
        QStringList published;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            published.append(QString::fromLatin1(method.methodSignature()));
            const bool signal = i - meta.methodOffset() < 20;
            QCOMPARE(method.methodType(), signal ? QMetaMethod::Signal : QMetaMethod::Method);
            if (published.last().startsWith("handleKey") || published.last().startsWith("step")
                || published.last() == "togglePause()"
                || published.last() == "operatorCommand(int)")
                QCOMPARE(method.returnType(), int(QMetaType::Bool));
            else
                QCOMPARE(method.returnType(), int(QMetaType::Void));
        }
        QCOMPARE(published, expected);
    }

    // Queued and running jobs on both queues, replies in flight and running timers when the
    // controller goes: no continuation may run afterwards, and the job that is still reading a
    // cache finishes with the cache it shares.
    void teardownWithWorkInFlight()
    {
        // Both running jobs hold a pool thread until the controller is gone.
        QThreadPool::globalInstance()->setMaxThreadCount(
            std::max(4, QThreadPool::globalInstance()->maxThreadCount()));
        ControllerHarness& h = make();
        PlayerController& c = h.controller();

        QByteArray content(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(content.data()),
                                      content.size() / 4);
        const QString digest = testfiles::sha(content);
        std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QString error;
        QVERIFY2(cache->commitVerified(source, digest, content.size(), &error, nullptr),
                 qPrintable(error));

        auto continuations = std::make_shared<std::atomic<int>>(0);
        auto verified = std::make_shared<std::atomic<bool>>(false);
        auto started = std::make_shared<QSemaphore>();
        auto proceed = std::make_shared<QSemaphore>();
        const qint64 size = content.size();
        QVERIFY(ControllerAccess::contentIo(c).submit(
            ControllerAccess::candidateCancel(c), [=]() -> std::function<void()> {
                started->release();
                proceed->acquire();
                // Still verifying after its owner is gone: the flag is raised, the read is not
                // cancelled, so it hashes the whole object.
                verified->store(cache->readyPath(digest, size, nullptr).has_value());
                return [continuations] { ++*continuations; };
            }));
        // The ad queue is held up too, so that its own queue stays full behind a running job.
        QVERIFY(ControllerAccess::adIo(c).submit(ControllerAccess::adCancel(c),
                                                 [=]() -> std::function<void()> {
                                                     started->release();
                                                     proceed->acquire();
                                                     return [continuations] { ++*continuations; };
                                                 }));
        const auto counted = [continuations]() -> std::function<void()> {
            return [continuations] { ++*continuations; };
        };
        for (int i = 0; i < 3; ++i) {
            QVERIFY(ControllerAccess::contentIo(c).submit(ControllerAccess::candidateCancel(c),
                                                          counted));
            QVERIFY(ControllerAccess::adIo(c).submit(ControllerAccess::adCancel(c), counted));
        }
        QVERIFY(started->tryAcquire(2, waitMs));

        // A mint the service answers late, and timers about to fire.
        QVERIFY(NativePlayerIdentityStore(h.statePath("player-identity")).open(true).has_value());
        Reply late = Reply::json(200, QJsonObject{{"session", "tvs_late_1"}});
        late.latencyMs = 20000;
        h.service().script("POST", W::sessionMintRoute, {late});
        h.transport().createDeviceSession(QStringLiteral("teardown-mint-1"));
        QTRY_VERIFY_WITH_TIMEOUT(!h.service().requestsTo(W::sessionMintRoute).isEmpty(), waitMs);
        for (const char* name : {"pageTimer", "splashTimer", "toastTimer", "sessionRetryTimer",
                                 "storageSampleTimer"})
            h.timer(QLatin1String(name))->start(1);

        h.destroyController();
        proceed->release(2);
        QVERIFY(QThreadPool::globalInstance()->waitForDone(waitMs));
        drainPostedEvents();
        QVERIFY(verified->load());
        QCOMPARE(continuations->load(), 0);
    }

    // --- Timer operations and the mint watchdog ---------------------------------------------

    void sessionRetryClamp_data()
    {
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<int>("armed");
        QTest::newRow("zero") << qint64(0) << 250;
        QTest::newRow("inside") << qint64(4321) << 4321;
        QTest::newRow("10^9") << qint64(1000000000) << 900000;
    }
    void sessionRetryClamp()
    {
        QFETCH(qint64, asked);
        QFETCH(int, armed);
        ControllerHarness& h = make();
        ControllerAccess::armSessionRetry(h.controller(), asked);
        QVERIFY(h.timer(u"sessionRetryTimer")->isActive());
        QCOMPARE(h.timer(u"sessionRetryTimer")->interval(), armed);
    }

    void mintWatchdog_data()
    {
        QTest::addColumn<bool>("inFlight");
        QTest::addColumn<bool>("retryPending");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<bool>("aborted");
        QTest::newRow("no mint in flight") << false << false << qint64(40000) << false;
        QTest::newRow("before its time") << true << false << qint64(34999) << false;
        QTest::newRow("at its time") << true << false << qint64(35000) << true;
        QTest::newRow("retry already pending") << true << true << qint64(90000) << true;
    }
    void mintWatchdog()
    {
        QFETCH(bool, inFlight);
        QFETCH(bool, retryPending);
        QFETCH(qint64, elapsedMs);
        QFETCH(bool, aborted);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QVERIFY(NativePlayerIdentityStore(h.statePath("player-identity")).open(true).has_value());
        Reply late = Reply::json(200, QJsonObject{{"session", "tvs_late_1"}});
        late.latencyMs = 20000;
        h.service().script("POST", W::sessionMintRoute, {late});
        QSignalSpy failed(&h.transport(), &RuntimeTransport::deviceSessionFailed);
        if (inFlight) {
            h.transport().createDeviceSession(QStringLiteral("watchdog-mint-1"));
            ControllerAccess::setMintInFlight(c, true);
        }
        if (retryPending)
            ControllerAccess::armSessionRetry(c, 123456);

        ControllerAccess::noteMintWatchdog(c, elapsedMs);
        QCOMPARE(failed.size(), aborted ? 1 : 0);
        QTimer* retry = h.timer(u"sessionRetryTimer");
        QCOMPARE(retry->isActive(), aborted || retryPending);
        if (retryPending) {
            QCOMPARE(retry->interval(), 123456);
        } else if (aborted) {
            // The first back-off step: 500..1000 ms.
            QVERIFY2(retry->interval() >= 500 && retry->interval() <= 1000,
                     qPrintable(QString::number(retry->interval())));
        }
        // A second look finds nothing in flight.
        ControllerAccess::noteMintWatchdog(c, elapsedMs);
        QCOMPARE(failed.size(), aborted ? 1 : 0);
    }

    void safetyPoll()
    {
        ControllerHarness& h = make();
        ControllerAccess::armSafetyPoll(h.controller());
        QVERIFY(!h.timer(u"safetyPollTimer")->isActive());
        QVERIFY(h.mintSession());
        ControllerAccess::armSafetyPoll(h.controller());
        QTimer* poll = h.timer(u"safetyPollTimer");
        QVERIFY(poll->isActive());
        QVERIFY(poll->interval() >= 240000 && poll->interval() <= 360000);
    }

    // --- Phase, status and fatal surfaces ----------------------------------------------------

    void statusRepublishes()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QSignalSpy status(&c, &PlayerController::statusChanged);
        QSignalSpy overlay(&c, &PlayerController::overlayChanged);
        ControllerAccess::setStatus(c, QStringLiteral("syncing"));
        ControllerAccess::setStatus(c, QStringLiteral("syncing"));
        QCOMPARE(c.status(), QStringLiteral("syncing"));
        QCOMPARE(status.size(), 1);
        QCOMPARE(overlay.size(), 2);
    }

    void fatalFirstWins_data()
    {
        QTest::addColumn<QList<int>>("raised");
        QTest::addColumn<QString>("logCode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("colour, then status") << QList<int>{1, 2} << "chrome_tokens_unavailable"
                                             << "This player is missing its colour contract.";
        QTest::newRow("status contract") << QList<int>{0, 9, 2, 4}
                                         << "overlay_contract_unavailable"
                                         << "This player is missing its status contract.";
        QTest::newRow("local state") << QList<int>{4, 4, 3} << "state_directory_unusable"
                                     << "This player cannot keep its local state.";
    }
    void fatalFirstWins()
    {
        QFETCH(QList<int>, raised);
        QFETCH(QString, logCode);
        QFETCH(QString, reason);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        h.timer(u"sessionRetryTimer")->start(60000);
        h.timer(u"pairingExpiryTimer")->start(60000);
        QSignalSpy fatal(&c, &PlayerController::fatalChanged);
        QSignalSpy pairing(&c, &PlayerController::pairingChanged);
        QCOMPARE(c.fatalReason(), QStringLiteral("Ask your agent about this screen"));
        for (int code : raised)
            c.enterFatal(FatalSurface::Code(code));

        QCOMPARE(fatal.size(), 1);
        QVERIFY(c.fatalVisible());
        QCOMPARE(c.fatalReason(), reason);
        const QList<QJsonObject> records = h.devLog(QStringLiteral("fatal"));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).value("code").toString(), logCode);
        // Nothing of pairing or the session goes on behind the surface.
        QCOMPARE(pairing.size(), 1);
        QVERIFY(!ControllerAccess::operatorContext(c).pairingVisible);
        QVERIFY(ControllerAccess::operatorContext(c).fatal);
        QVERIFY(!h.timer(u"sessionRetryTimer")->isActive());
        QVERIFY(!h.timer(u"pairingExpiryTimer")->isActive());
        QCOMPARE(c.runtimePhase(), RuntimePhase::Fatal);
    }

    // --- Splash ------------------------------------------------------------------------------

    void splashRetiresAtItsBoundary()
    {
        ControllerHarness& h = make({QSizeF(1920, 1080), false, true});
        PlayerController& c = h.controller();
        QSignalSpy splash(&c, &PlayerController::splashChanged);
        QVERIFY(c.splashVisible());

        // The animation holds the splash however long it plays.
        h.clock().advance(60000);
        ControllerAccess::evaluateSplash(c);
        ControllerAccess::retireSplash(c);
        QCOMPARE(splash.size(), 0);

        c.finishStartupAnimation();
        QVERIFY(h.timer(u"splashTimer")->isActive());
        h.clock().advance(2999);
        ControllerAccess::evaluateSplash(c);
        QCOMPARE(c.splashOpacity(), 1.0);
        QCOMPARE(splash.size(), 0);

        h.clock().advance(1);
        ControllerAccess::evaluateSplash(c);
        QCOMPARE(c.splashOpacity(), 0.0);
        QCOMPARE(splash.size(), 1);
        QVERIFY(c.splashVisible());
        QVERIFY(!h.timer(u"splashTimer")->isActive());
        ControllerAccess::retireSplash(c);
        const QList<QJsonObject> retire = h.devLog(QStringLiteral("splash.retire"));
        QCOMPARE(retire.size(), 1);
        QCOMPARE(retire.at(0).value("elapsed_ms").toString(), QStringLiteral("3000"));
        QCOMPARE(retire.at(0).value("status").toString(), QStringLiteral("starting"));
        QCOMPARE(retire.at(0).value("retained").toString(), QStringLiteral("false"));

        // The cross-fade runs in the scene; the splash is gone after it.
        QTRY_VERIFY_WITH_TIMEOUT(!c.splashVisible(), waitMs);
        QCOMPARE(splash.size(), 2);
        QCOMPARE(h.devLog(QStringLiteral("splash.present")).size(), 1);
        QVERIFY(h.devLog(QStringLiteral("splash.hold")).isEmpty());
    }

    void noSplashWithoutOne()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QSignalSpy splash(&c, &PlayerController::splashChanged);
        c.finishStartupAnimation();
        h.clock().advance(5000);
        ControllerAccess::evaluateSplash(c);
        c.enterFatal(FatalSurface::TypefacesMissing);
        QVERIFY(!c.splashVisible());
        QCOMPARE(splash.size(), 0);
        QVERIFY(h.devLog(QStringLiteral("splash.retire")).isEmpty());
    }

    // --- Overlay publishing ------------------------------------------------------------------

    // Overlay publishing against the real evaluator and the fake service, one change at a time:
    // a report reaches the service with the report's level as severity and its name as code,
    // once; a chip is logged once while every publication is signalled; a server toast that
    // replaced the overlay's own outlives the condition; credits publish once per balance; a
    // storage chip with its detail and the upgrade notice share the bottom row with the toast.
    void overlayFlow()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QVERIFY(h.mintSession());
        h.service().script("POST", W::reportsRoute, {Reply::json(202, QJsonObject{})});
        QSignalSpy overlay(&c, &PlayerController::overlayChanged);
        const auto reportAt = [&h](int index) {
            return h.service().requestsTo(W::reportsRoute).at(index).jsonBody();
        };

        ControllerAccess::setArchived(c, true);
        ControllerAccess::publishOverlay(c);
        ControllerAccess::publishOverlay(c);
        QCOMPARE(overlay.size(), 2);
        QCOMPARE(c.overlayCondition(), QStringLiteral("archived"));
        QCOMPARE(c.chipAccessibleName(), QStringLiteral("Screen archived"));
        QCOMPARE(c.chipWidth(), 32); // no detail: the icon alone, whatever the label
        QList<QJsonObject> records = h.devLog(QStringLiteral("overlay"));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).value("code").toString(), QStringLiteral("archived"));
        QCOMPARE(records.at(0).value("active").toString(), QStringLiteral("archived"));
        QTRY_COMPARE_WITH_TIMEOUT(h.service().requestsTo(W::reportsRoute).size(), 1, waitMs);
        QCOMPARE(reportAt(0).value("severity").toString(), QStringLiteral("warning"));
        QCOMPARE(reportAt(0).value("code").toString(), QStringLiteral("runtime.screen_archived"));
        QCOMPARE(reportAt(0).value("context").toObject(), QJsonObject());

        // A local origin toasts alert-level conditions; a server toast then takes the surface.
        QCOMPARE(c.toastText(), QStringLiteral("Screen archived"));
        QVERIFY(!c.toastMarkPaths().isEmpty());
        Q_EMIT h.transport().toastReceived(
            QStringLiteral("info"), QStringLiteral("From the desk"), 8000,
            QDateTime::fromMSecsSinceEpoch(h.clock().nowMs() + 60000, Qt::UTC));
        Q_EMIT h.transport().screenUnarchived();
        QVERIFY(!c.chipVisible());
        QCOMPARE(c.toastText(), QStringLiteral("From the desk"));
        QCOMPARE(h.devLog(QStringLiteral("overlay")).size(), 2);

        const qsizetype before = overlay.size();
        Q_EMIT h.transport().creditsRemainingChanged(500);
        Q_EMIT h.transport().creditsRemainingChanged(500);
        QCOMPARE(overlay.size(), before + 1);

        // A new revision held behind the page on glass is reported with its cause in the
        // details, as text.
        ControllerAccess::setActiveSlot(c, 0);
        ControllerAccess::setCandidate(c, true, true);
        ControllerAccess::setHold(c, true, h.clock().nowMs() - 10000);
        ControllerAccess::setStatus(c, QStringLiteral("playing"));
        QCOMPARE(c.overlayCondition(), QStringLiteral("assignment_held"));
        QTRY_COMPARE_WITH_TIMEOUT(h.service().requestsTo(W::reportsRoute).size(), 2, waitMs);
        QCOMPARE(reportAt(1).value("code").toString(), QStringLiteral("runtime.assignment_held"));
        QCOMPARE(reportAt(1).value("context").toObject(), (QJsonObject{{"code", "remint"}}));

        ControllerAccess::setActiveSlot(c, -1);
        ControllerAccess::setCandidate(c, false);
        ControllerAccess::setHold(c, false, 0);
        // The chip tells what the plan lacks and what the volume has free: with 512 MiB free
        // beside a reserve of 768 MiB, a plan 768 MiB short of its capacity needs 1 GiB more.
        StoragePlanRecord record;
        record.requiredBytes = 1073741824;
        record.plan.headroom_needed_bytes = 805306368;
        ControllerAccess::setPendingStoragePlan(c, record);
        PlayerController::StorageSample sample;
        sample.measurement = {1258291200, 536870912, 536870912, 268435456, 0, 0};
        ControllerAccess::setStorageSample(c, sample);
        ControllerAccess::setStorageFault(c, true);
        ControllerAccess::setUpgradeNoticeShown(c, true);
        ControllerAccess::setStatus(c, QStringLiteral("degraded_lkg_active"));
        QCOMPARE(c.overlayCondition(), QStringLiteral("storage_full"));
        const QString name = QStringLiteral("Storage full Needs 1 GiB \u00b7 512 MiB free");
        QCOMPARE(c.chipAccessibleName(), name);
        const int chip = int(20 * name.size() * 0.55) + 32 + 11;
        QCOMPARE(c.chipWidth(), chip);
        QCOMPARE(c.noticeText(), QStringLiteral("Player update required"));
        const int notice = 32 + 11 * 22 + 9;
        QCOMPARE(c.noticeWidth(), notice);
        QCOMPARE(c.noticeLeftPx(), 96 + chip + 8);
        QCOMPARE(c.toastMaxWidthPx(), 1920 - (2 * 96 + chip + 8 + notice + 8));
        QVERIFY(c.chipFill().isValid() && c.noticeFill().isValid());
    }

    void serverToasts_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("durationMs");
        QTest::addColumn<qint64>("expiresInMs");
        QTest::addColumn<int>("shownMs"); // 0: not shown
        QTest::newRow("expiry first") << "info" << "Lobby closes at six" << 10000 << qint64(4000)
                                      << 4000;
        QTest::newRow("duration first") << "error" << "Call the desk" << 5000 << qint64(60000)
                                        << 5000;
        QTest::newRow("a level without a fill") << "warning" << "x" << 5000 << qint64(60000) << 0;
        QTest::newRow("empty text") << "info" << "" << 5000 << qint64(60000) << 0;
        QTest::newRow("expired") << "info" << "late" << 5000 << qint64(0) << 0;
    }
    void serverToasts()
    {
        QFETCH(QString, level);
        QFETCH(QString, text);
        QFETCH(int, durationMs);
        QFETCH(qint64, expiresInMs);
        QFETCH(int, shownMs);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QSignalSpy toast(&c, &PlayerController::toastChanged);
        const QDateTime expires =
            QDateTime::fromMSecsSinceEpoch(h.clock().nowMs() + expiresInMs, Qt::UTC);
        Q_EMIT h.transport().toastReceived(level, text, durationMs, expires);
        QCOMPARE(c.toastVisible(), shownMs > 0);
        QCOMPARE(toast.size(), shownMs > 0 ? 1 : 0);
        if (shownMs == 0)
            return;
        QCOMPARE(c.toastText(), text);
        QVERIFY(c.toastFill().isValid());
        QCOMPARE(h.timer(u"toastTimer")->interval(), shownMs);
        QVERIFY(h.expireSoon(u"toastTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!c.toastVisible(), waitMs);
        QCOMPARE(toast.size(), 2);
    }

    void syncGlyphHold()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        QSignalSpy glyph(&c, &PlayerController::syncGlyphChanged);
        ControllerAccess::publishSyncGlyph(c, true, false);
        QCOMPARE(c.syncGlyph(), QStringLiteral("new-playlist"));
        QCOMPARE(h.timer(u"syncGlyphTimer")->interval(), 3000);
        h.clock().advance(1000);
        ControllerAccess::publishSyncGlyph(c, false, false);
        QCOMPARE(c.syncGlyph(), QStringLiteral("new-playlist"));
        QCOMPARE(h.timer(u"syncGlyphTimer")->interval(), 2000);
        QCOMPARE(glyph.size(), 1);
        h.clock().advance(2000);
        QVERIFY(h.expireSoon(u"syncGlyphTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(glyph.size(), 2, waitMs);
        QCOMPARE(c.syncGlyph(), QString());
        QVERIFY(!h.timer(u"syncGlyphTimer")->isActive());
    }

    // --- Playback log ------------------------------------------------------------------------

    void playbackLogSinks_data()
    {
        QTest::addColumn<QByteArray>("event");
        QTest::addColumn<QString>("opLogEvent"); // empty: no operation-log record
        QTest::addColumn<int>("consoleType");
        QTest::newRow("error") << QByteArray("candidate_failed") << "error" << int(QtCriticalMsg);
        // A production player has no developer log: the operator hears of it here.
        QTest::newRow("an unusable time zone")
            << QByteArray("schedule_timezone_unusable") << "error" << int(QtCriticalMsg);
        QTest::newRow("milestone") << QByteArray("candidate_activated") << "finish"
                                   << int(QtWarningMsg);
        QTest::newRow("plain") << QByteArray("prepare_page") << "" << int(QtWarningMsg);
    }
    void playbackLogSinks()
    {
        QFETCH(QByteArray, event);
        QFETCH(QString, opLogEvent);
        QFETCH(int, consoleType);
        OpLogListener listener;
        QVERIFY(listener.listening());
        ControllerHarness& h = make();

        // The operation log keeps its connection: the first record after a collector changed
        // goes to the old one and is lost, so one is spent until the new collector hears it.
        QTRY_VERIFY_WITH_TIMEOUT(
            (PlayerOpLog::finishLocal(PlayerOpLog::newId(), QStringLiteral("test.warm_up"), 0),
             !listener.lines().isEmpty()),
            waitMs);
        listener.clear();

        const QString long600(600, QLatin1Char('v'));
        QList<Captured> captured;
        capturedMessages = &captured;
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        logPlayback(event.constData(), {{"page_id", "p1"},
                                        {"session_token", "tvs_secret"},
                                        {"error", long600},
                                        {"status", "503"}});
        qInstallMessageHandler(previous);
        capturedMessages = nullptr;

        // The developer log keeps the fields as given.
        const QList<QJsonObject> records = h.devLog(QString::fromLatin1(event));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).value("session_token").toString(), QStringLiteral("tvs_secret"));
        QCOMPARE(records.at(0).value("error").toString(), long600);

        // The console line drops the secret and cuts the long value.
        captured.erase(std::remove_if(captured.begin(), captured.end(),
                                      [&event](const Captured& message) {
                                          return !message.text.startsWith(
                                              QString::fromLatin1(event));
                                      }),
                       captured.end());
        QCOMPARE(captured.size(), 1);
        QCOMPARE(int(captured.at(0).type), consoleType);
        const QString line = captured.at(0).text;
        QVERIFY(line.startsWith(QString::fromLatin1(event) + QLatin1Char(' ')));
        QVERIFY(!line.contains(QLatin1String("tvs_secret")));
        QVERIFY(line.contains(QLatin1String(" page_id=p1")));
        QVERIFY(line.contains(QStringLiteral(" error=") + QString(512, QLatin1Char('v'))));
        QVERIFY(!line.contains(QString(513, QLatin1Char('v'))));

        const QString op = QStringLiteral("playback.") + QString::fromLatin1(event);
        QList<QJsonObject> ops;
        const auto collect = [&] {
            ops.clear();
            for (const QJsonObject& record : listener.records()) {
                if (record.value("op").toString() == op)
                    ops.append(record);
            }
            return int(ops.size());
        };
        if (opLogEvent.isEmpty()) {
            // A plain event has no operation; a milestone logged after it shows that the
            // collector would have seen one.
            logPlayback("manual_navigation", {{"reason", "keyboard"}});
            QTRY_VERIFY_WITH_TIMEOUT(listener.records().size() >= 2, waitMs);
            QCOMPARE(collect(), 0);
            return;
        }
        const int expected = opLogEvent == QLatin1String("finish") ? 2 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(collect(), expected, waitMs);
        QCOMPARE(ops.last().value("phase").toString(), opLogEvent);
        QCOMPARE(ops.last().value("duration_ms").toInt(-1), 0);
        if (opLogEvent == QLatin1String("error")) {
            const QJsonObject problem = ops.last().value("problem").toObject();
            QCOMPARE(problem.value("status").toString(), QStringLiteral("503"));
            QVERIFY(problem.value("text").toString().startsWith(QLatin1String("vvv")));
        } else {
            QCOMPARE(ops.first().value("phase").toString(), QStringLiteral("start"));
            QCOMPARE(ops.first().value("correlation_id"), ops.last().value("correlation_id"));
            QVERIFY(!ops.last().contains("problem"));
        }
    }

    // --- Render thread -----------------------------------------------------------------------

    // The render thread syncs and presents while the GUI thread keeps publishing new page
    // serials: only atomics cross, and what is presented was synced, so it never runs ahead of
    // what was published and never goes back.
    void renderThreadHooks()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        constexpr quint64 last = 200000;
        std::atomic<quint64> published{0};
        std::atomic<bool> stop{false};
        std::atomic<bool> ordered{true};
        std::thread render([&] {
            quint64 previous = 0;
            while (!stop.load()) {
                c.noteSceneSynced();
                c.noteWindowFramePresented();
                c.noteWindowFramePresented(); // a second swap without a sync presents nothing new
                const quint64 presented = c.presentedSceneSerial();
                if (presented < previous || presented > published.load())
                    ordered = false;
                previous = presented;
            }
        });
        for (quint64 serial = 1; serial <= last; ++serial) {
            published.store(serial);
            ControllerAccess::publishSceneSerial(c, serial);
        }
        QTRY_COMPARE_WITH_TIMEOUT(c.presentedSceneSerial(), last, waitMs);
        stop = true;
        render.join();
        QVERIFY(ordered.load());
    }

    // --- The operator context and the ad stand-ins -------------------------------------------

    void operatorContext()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        HostContext host;
        host.duid = QStringLiteral("D-1");
        c.setHostContext(host);
        ControllerAccess::setScreenLabel(c, QStringLiteral("  Lobby east \n"));
        OperatorContext context = c.operatorPanel()->context();
        QVERIFY(!context.fatal);
        QVERIFY(!context.pairingVisible);
        QVERIFY(!context.paired); // no device credential yet
        QCOMPARE(context.screenName, QStringLiteral("Lobby east"));
        QCOMPARE(context.screenDetails, hostIdentifyLines(host));
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        QVERIFY(c.operatorPanel()->context().pairingVisible);
    }

    void adsStayQuietWithoutAdSlots()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const QStringList before = treeOf(h.stateDirectory());
        QSignalSpy ad(&c, &PlayerController::adActiveChanged);
        QSignalSpy status(&c, &PlayerController::statusChanged);
        ControllerAccess::runAdOperations(c);
        drainPostedEvents();
        QVERIFY(ControllerAccess::adQueriesAnswerNone(c));
        QCOMPARE(treeOf(h.stateDirectory()), before);
        QCOMPARE(ad.size(), 0);
        QCOMPARE(status.size(), 0);
        QVERIFY(h.service().requests().isEmpty());
    }
};

QTEST_MAIN(TestPlayerController)
#include "tst_playercontroller.moc"
