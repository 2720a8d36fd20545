#include "controller/PlayerController.h"

#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/SplashPolicy.h"
#include "runtime/RuntimeWireContract.h"
#include "stage/ChromeTokens.h"
#include "storage/StorageFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace talvorine {

namespace {

constexpr qint64 devLogMaxBytes = 2097152;
constexpr int ioQueueCapacity = 64;

std::shared_ptr<std::atomic<bool>> freshFlag()
{
    return std::make_shared<std::atomic<bool>>(false);
}

void raise(const std::shared_ptr<std::atomic<bool>>& flag)
{
    if (flag)
        flag->store(true, std::memory_order_release);
}

// A file or directory of the state directory; nothing without one, so that an unusable setting
// never turns into paths relative to the working directory (start() then raises the fatal
// surface before anything is read).
QString stateFile(const QString& stateDirectory, const QString& name)
{
    return stateDirectory.isEmpty() ? QString() : QDir(stateDirectory).filePath(name);
}

QString playbackStateFile(const QString& stateDirectory, const QString& name)
{
    const QString directory = stateFile(stateDirectory, QStringLiteral("playback-state"));
    return directory.isEmpty() ? QString() : QDir(directory).filePath(name);
}

// The outbox never creates its directory, so on a fresh or wiped state directory every save
// would fail and queued ad events would live in memory only: the directory is made first.
QString preparedAdOutboxPath(const QString& stateDirectory)
{
    const QString path = playbackStateFile(stateDirectory, QStringLiteral("ad-outbox.json"));
    if (!path.isEmpty())
        StorageFiles::ensurePrivateDirectory(QFileInfo(path).path());
    return path;
}

// The origin the transport uses, which the manifest's addresses are checked against and
// resolved on: user information, a path or a query given with it is left out of both, or every
// object of a manifest with relative addresses would be refused for the user information it
// took on. One the transport cannot use at all is kept as given: nothing is asked of it.
QUrl usedOrigin(const QUrl& given)
{
    const QUrl used = RuntimeTransport::serviceOrigin(given);
    return used.isEmpty() ? given : used;
}

} // namespace

// --- Timer table ---------------------------------------------------------------------------

struct PlayerController::TimerSpec {
    const char* name;
    QTimer PlayerController::*timer;
    bool singleShot;
    bool precise;
    // Set at construction; 0 where the owner arms the timer with the delay of the moment.
    int intervalMs;
    void (PlayerController::*onTimeout)();
};

// Every member timer, in construction order, with the handler its timeout runs.
const QList<PlayerController::TimerSpec>& PlayerController::timerTable()
{
    using C = PlayerController;
    static const QList<TimerSpec> table{
        {"soundtrackFetchTimer", &C::soundtrackFetchTimer_, true, false, 0, &C::fetchSoundtrack},
        {"replacementPumpTimer", &C::replacementPumpTimer_, true, false, 0, &C::pumpReplacement},
        {"replacementIdleTimer", &C::replacementIdleTimer_, true, false, 0,
         &C::abortReplacementIdle},
        {"candidateDownloadRetryTimer", &C::candidateDownloadRetryTimer_, true, false, 0,
         &C::candidateDownloadRetryFired},
        {"repairRunTimer", &C::repairRunTimer_, true, false, 0, &C::repairRunFired},
        {"unansweredWaitsTimer", &C::unansweredWaitsTimer_, true, false, 0,
         &C::unansweredWaitsPutOffEnded},
        {"recoverySweepTimer", &C::recoverySweepTimer_, false, false, 60000,
         &C::runRecoverySweep},
        {"packageRetryTimer", &C::packageRetryTimer_, true, false, 0, &C::packageRetryFired},
        {"celebrationTimer", &C::celebrationTimer_, true, false, 4600, &C::endPairingCelebration},
        {"pairingStartTimer", &C::pairingStartTimer_, true, false, 0, &C::startPairing},
        {"pairingEventsRetryTimer", &C::pairingEventsRetryTimer_, true, false, 0,
         &C::retryPairingEvents},
        {"pairingExpiryTimer", &C::pairingExpiryTimer_, true, true, 0, &C::handlePairingExpiry},
        {"pairingCompletionRetryTimer", &C::pairingCompletionRetryTimer_, true, false, 0,
         &C::retryPairingCompletion},
        {"sessionRetryTimer", &C::sessionRetryTimer_, true, false, 0, &C::retryDeviceSession},
        {"transitionEndTimer", &C::transitionEndTimer_, true, false, 0, &C::transitionEnded},
        {"pageTimer", &C::pageTimer_, true, true, 0, &C::pageTimerFired},
        {"mediaItemTimer", &C::mediaItemTimer_, true, true, 0, &C::mediaItemDeadlineReached},
        {"candidateDeadlineTimer", &C::candidateDeadlineTimer_, true, false, 60000,
         &C::candidateDeadlineReached},
        {"rendererRecoveryTimer", &C::rendererRecoveryTimer_, false, false, 2500,
         &C::recoverActiveRenderer},
        {"visibilityTimer", &C::visibilityTimer_, true, false, 0, &C::evaluateVisibility},
        {"pauseHoldTimer", &C::pauseHoldTimer_, true, false, 3600000, &C::expirePauseHold},
        {"adPlannerTimer", &C::adPlannerTimer_, false, false, 250, &C::adPlannerTick},
        {"adStallTimer", &C::adStallTimer_, false, false, 0, &C::adStallTick},
        {"adOutboxFlushTimer", &C::adOutboxFlushTimer_, false, false, 5000, &C::flushAdOutbox},
        {"toastTimer", &C::toastTimer_, true, false, 0, &C::hideToast},
        {"identifyTimer", &C::identifyTimer_, true, false, 10000, &C::hideIdentify},
        {"splashTimer", &C::splashTimer_, false, false, SplashPolicy::evaluateIntervalMs,
         &C::evaluateSplash},
        {"localStateRetryTimer", &C::localStateRetryTimer_, true, false, 0, &C::retryLocalState},
        {"assignmentHoldTimer", &C::assignmentHoldTimer_, true, true, 0, &C::publishOverlay},
        {"offlineChipTimer", &C::offlineChipTimer_, true, true, 0, &C::publishOverlay},
        {"eventFetchTimer", &C::eventFetchTimer_, true, false, 0, &C::handleEventFetchTimer},
        {"syncGlyphTimer", &C::syncGlyphTimer_, true, false, 0, &C::syncGlyphTimerFired},
        {"boundRetryTimer", &C::boundRetryTimer_, true, false, 0, &C::persistBoundMarker},
        {"mintWatchdogTimer", &C::mintWatchdogTimer_, true, false, 35000, &C::mintWatchdogFired},
        {"reloadTimer", &C::reloadTimer_, true, false, 0, &C::reloadTimerFired},
        {"safetyPollTimer", &C::safetyPollTimer_, true, false, 0, &C::handleSafetyPoll},
        {"boundClearRetryTimer", &C::boundClearRetryTimer_, true, false, 0, &C::clearBoundMarker},
        {"storageSampleTimer", &C::storageSampleTimer_, false, false, 900000, &C::sampleStorage},
        {"roomWaitTimer", &C::roomWaitTimer_, true, false, 60000, &C::roomWaitElapsed},
    };
    return table;
}

void PlayerController::setUpTimers()
{
    for (const TimerSpec& entry : timerTable()) {
        QTimer& timer = this->*entry.timer;
        timer.setObjectName(QLatin1String(entry.name));
        timer.setSingleShot(entry.singleShot);
        if (entry.precise)
            timer.setTimerType(Qt::PreciseTimer);
        if (entry.intervalMs > 0)
            timer.setInterval(entry.intervalMs);
        connect(&timer, &QTimer::timeout, this, entry.onTimeout);
    }
}

QTimer* PlayerController::timerNamed(QAnyStringView name) const
{
    for (const TimerSpec& entry : timerTable()) {
        if (name == QLatin1String(entry.name))
            return const_cast<QTimer*>(&(this->*entry.timer));
    }
    return nullptr;
}

// --- Construction --------------------------------------------------------------------------

PlayerController::PlayerController(QUrl origin, QString stateDirectory, QSizeF initialFrame,
                                   bool qmlGpuVideoAvailable, QObject* parent, bool startupSplash,
                                   std::shared_ptr<const PlayerClock> clock)
    : QObject(parent)
    , clock_(clock ? std::move(clock) : PlayerClock::system())
    , pageClock_(*clock_)
    , origin_(usedOrigin(origin))
    , stateDirectory_(std::move(stateDirectory))
    , frameSize_(initialFrame)
    , gpuVideoAvailable_(qmlGpuVideoAvailable)
    , transport_(origin_, stateFile(stateDirectory_, QStringLiteral("device-credential")),
                 stateFile(stateDirectory_, QStringLiteral("pairing-session")),
                 stateFile(stateDirectory_, QStringLiteral("player-identity")), this)
    , identityStore_(stateFile(stateDirectory_, QStringLiteral("player-identity")))
    , state_(stateFile(stateDirectory_, QStringLiteral("playback-state")))
    , contentCache_(std::make_shared<ContentCache>(
          stateFile(stateDirectory_, QStringLiteral("content-cache"))))
    , applicationCache_(std::make_shared<ApplicationPackageCache>(
          stateFile(stateDirectory_, QStringLiteral("application-cache"))))
    , contentIo_(ioQueueCapacity)
    , candidateCancel_(freshFlag())
    , activePlaybackCancel_(freshFlag())
    , soundtrackCancel_(freshFlag())
    , stageA_(this)
    , stageB_(this)
    , operatorPanel_(stateFile(stateDirectory_, QStringLiteral("operator-pin")),
                     stateFile(stateDirectory_, QStringLiteral("operator-brightness")), this,
                     QString())
    , overlayGeometry_(
          OverlayGeometry::forFrame(int(initialFrame.width()), int(initialFrame.height())))
    , replacementCancel_(freshFlag())
    , retainedCancel_(freshFlag())
    , startupAnimationPending_(startupSplash)
    , splashVisible_(startupSplash)
    , splashClock_(*clock_)
    , adOutbox_(preparedAdOutboxPath(stateDirectory_), [clock = clock_] { return clock->nowMs(); })
    , adCache_(std::make_shared<ContentCache>(
          stateFile(stateDirectory_, QStringLiteral("ad-cache"))))
    , adIo_(ioQueueCapacity)
    , adCancel_(freshFlag())
    , transferLedger_(playbackStateFile(stateDirectory_, QStringLiteral("storage-transfer.json")))
    , storagePlanCancel_(freshFlag())
{
    transferLedger_.load();

    // One walk configures and connects every timer; none runs before start().
    setUpTimers();

    connect(&transport_, &RuntimeTransport::applicationEventFinished, this,
            &PlayerController::applicationEventFinished);
    connect(&transport_, &RuntimeTransport::applicationKvFinished, this,
            &PlayerController::applicationKvFinished);

    ChromeTokens::instance().load();
    splashClock_.start();

    connect(&transport_, &RuntimeTransport::adSlotsResolved, this,
            &PlayerController::handleAdSlotsResolved);
    connect(&transport_, &RuntimeTransport::adSlotsResolveFailed, this,
            &PlayerController::handleAdSlotsResolveFailed);
    connect(&transport_, &RuntimeTransport::adEventsReported, this,
            &PlayerController::handleAdEventsReported);
    connect(&transport_, &RuntimeTransport::adEventsReportFailed, this,
            &PlayerController::handleAdEventsReportFailed);
    connect(&transport_, &RuntimeTransport::manifestRouteUnavailable, this,
            &PlayerController::handleManifestRouteUnavailable);
    adOutbox_.load();
    // Each ad start and end is written off the GUI thread; its events go out once on disk.
    adOutbox_.writeInBackground([this] { flushAdOutbox(); });

    connect(&soundtrackEngine_, &SoundtrackEngine::trackEnded, this,
            [this] { runSoundtrack(soundtrackSequencer_.trackEnded()); });
    connect(&soundtrackEngine_, &SoundtrackEngine::trackFailed, this,
            &PlayerController::soundtrackTrackFailed);
    connect(&operatorPanel_, &OperatorPanel::changed, this, &PlayerController::applySoundtrackGain);
    // A level set directly announces only itself; the playing track follows it at once.
    connect(&operatorPanel_, &OperatorPanel::volumeChanged, this,
            &PlayerController::applySoundtrackGain);
    connect(&operatorPanel_, &OperatorPanel::resetConfirmed, this,
            &PlayerController::requestUnpair);
    connect(&operatorPanel_, &OperatorPanel::renameRequested, this,
            &PlayerController::renameScreen);
    operatorPanel_.setContextProvider([this] { return operatorContext(); });

    connect(&transport_, &RuntimeTransport::screenLabelAnswered, this,
            &PlayerController::handleScreenLabelAnswered);

    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(this);

    DevFileLog::configure(origin_, stateDirectory_, devLogMaxBytes);
    DevFileLog::record(QStringLiteral("process.start"),
                       {{QStringLiteral("origin"), DevFileLog::originString(origin_)}});
    logPlayback("video_capability",
                {{QStringLiteral("qml_gpu_video"),
                  gpuVideoAvailable_ ? QStringLiteral("true") : QStringLiteral("false")}});
    endAdVisitCutShort();

    connectTransport();
}

// The transport's signals, in the order the service's answers are meant to be wired; the
// application and ad results, the route fallback and the label answer are connected above.
void PlayerController::connectTransport()
{
    using C = PlayerController;
    using T = RuntimeTransport;
    RuntimeTransport* t = &transport_;
    connect(t, &T::pairingStarted, this, &C::handlePairingStarted);
    connect(t, &T::pairingStartFailed, this, &C::handlePairingStartFailed);
    connect(t, &T::pairingClaimed, this, &C::handlePairingClaimed);
    connect(t, &T::pairingEventFailed, this, &C::handlePairingEventFailed);
    connect(t, &T::pairingCompleted, this, &C::handlePairingCompleted);
    connect(t, &T::pairingCompleteFailed, this, &C::handlePairingCompleteFailed);
    connect(t, &T::deviceSessionSucceeded, this, &C::handleDeviceSessionSucceeded);
    connect(t, &T::deviceSessionFailed, this, &C::handleDeviceSessionFailed);
    connect(t, &T::runtimeSessionExpired, this, &C::handleRuntimeSessionExpired);
    connect(t, &T::streamProblem, this, &C::handleStreamProblem);
    connect(t, &T::projectResumed, this, [this] {
        if (transport_.hasRuntimeSession())
            fetchManifestOnce();
    });
    connect(t, &T::reloadRequested, this, &C::handleReloadRequested);
    connect(t, &T::upgradeRecommended, this, &C::handleUpgradeRecommended);
    connect(t, &T::playbackReportFailed, this, &C::handlePlaybackReportFailed);
    connect(t, &T::activationReportFailed, this, &C::handleActivationReportFailed);
    connect(t, &T::serviceAnswered, this, &C::resendPendingActivation);
    connect(t, &T::serviceAnswersAgain, this, &C::endUnansweredWaits);
    connect(t, &T::serviceAnswersAfterLoss, this, &C::endOutageFailureWaits);
    connect(t, &T::serviceAnswersAfterLoss, this, &C::fetchManifestAfterLoss);
    connect(t, &T::manifestModified, this,
            [this](const QByteArray& body, const QByteArray& etag, const QString& route) {
                consumeManifest(body, true, route, etag);
            });
    connect(t, &T::manifestNotModified, this, &C::handleManifestNotModified);
    connect(t, &T::manifestFailed, this, &C::handleManifestFailed);
    connect(t, &T::manifestModified, this, &C::fetchOwedManifest);
    connect(t, &T::manifestNotModified, this, &C::fetchOwedManifest);
    connect(t, &T::manifestRouteUnavailable, this, &C::fetchOwedManifest);
    connect(t, &T::manifestFailed, this, &C::fetchOwedManifest);
    // Failures say themselves whether the service answered them (handleManifestFailed).
    const auto answered = [this] { noteManifestAnswered(); };
    connect(t, &T::manifestModified, this, answered);
    connect(t, &T::manifestNotModified, this, answered);
    connect(t, &T::manifestRouteUnavailable, this, answered);
    connect(t, &T::invalidated, this, &C::handleInvalidated);
    connect(t, &T::resyncRequired, this, &C::handleResyncRequired);
    connect(t, &T::eventConnectionChanged, this, &C::handleEventConnectionChanged);
    connect(t, &T::toastReceived, this, &C::applyToast);
    connect(t, &T::screenshotRequested, this, &C::handleScreenshotRequested);
    connect(t, &T::screenshotUploaded, this, &C::handleScreenshotUploaded);
    connect(t, &T::screenshotFailureReported, this, &C::handleScreenshotFailureReported);
    connect(t, &T::screenshotReplaced, this, &C::handleScreenshotReplaced);
    connect(t, &T::screenshotUploadFailed, this, &C::handleScreenshotUploadFailed);
    connect(t, &T::unpairSucceeded, this, [this] { wipeAndPair(true); });
    connect(t, &T::unpairFailed, this, &C::handleUnpairFailed);
    connect(t, &T::screenDeleted, this, [this] {
        holdPairedAssignment(true, QStringLiteral("event %1").arg(RuntimeWire::screenDeletedEvent));
    });
    connect(t, &T::deviceCredentialRevoked, this, [this] {
        holdPairedAssignment(true,
                             QStringLiteral("event %1").arg(RuntimeWire::credentialRevokedEvent));
    });
    connect(t, &T::creditsRemainingChanged, this, &C::handleCreditsRemaining);
    connect(t, &T::screenArchived, this, &C::enterArchived);
    connect(t, &T::screenUnarchived, this, &C::handleScreenUnarchived);
}

// --- Teardown ------------------------------------------------------------------------------

PlayerController::~PlayerController()
{
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(this);
    if (adActive())
        interruptAdPresentation();
    stopSoundtrack();
    raise(soundtrackCancel_);
    // Queued and running background work finds its flag raised and drops its result; a job
    // already running finishes on its pool thread with the caches it shares.
    raise(adCancel_);
    cancelAdDownloads();
    cancelCandidateWork();
    raise(candidateCancel_);
    cancelReplacement();
    raise(replacementCancel_);
    raise(retainedCancel_);
    raise(activePlaybackCancel_);
    raise(storagePlanCancel_);
    // Members go in reverse order from here; nothing they emit on the way may reach this object.
    transport_.disconnect(this);
    operatorPanel_.disconnect(this);
    soundtrackEngine_.disconnect(this);
}

// --- The shell's setters and the operator context ------------------------------------------

void PlayerController::setPlayerRelease(const QString& version, const QString& revision)
{
    releaseVersion_ = version;
    transport_.setPlayerRelease(version, revision);
}

void PlayerController::setHostContext(const HostContext& context)
{
    hostIdentifyLines_ = hostIdentifyLines(context);
    transport_.setHostContext(context);
}

OperatorContext PlayerController::operatorContext() const
{
    OperatorContext context;
    context.fatal = fatalCode_ != FatalSurface::None;
    const bool handoffShowing = pairingHandoff_ && !pairingHandoffText_.isEmpty();
    context.pairingVisible = !pairingCode_.isEmpty() || handoffShowing;
    context.paired = !context.pairingVisible && transport_.hasDeviceCredential();
    context.screenName = screenLabel_.trimmed();
    context.screenDetails = hostIdentifyLines_;
    return context;
}

// --- Render thread -------------------------------------------------------------------------

void PlayerController::publishSceneSerial(quint64 serial)
{
    sceneSerial_.store(serial, std::memory_order_release);
}

void PlayerController::noteSceneSynced()
{
    syncedSerial_.store(sceneSerial_.load(std::memory_order_acquire), std::memory_order_relaxed);
    presentPending_.store(true, std::memory_order_release);
}

void PlayerController::noteWindowFramePresented()
{
    if (presentPending_.exchange(false, std::memory_order_acq_rel))
        presentedSerial_.store(syncedSerial_.load(std::memory_order_relaxed),
                               std::memory_order_release);
}

} // namespace talvorine
