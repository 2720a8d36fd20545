#pragma once

// The player controller under test: a real controller on a temporary state directory, with the
// fake runtime service as its origin (plain http on loopback, so the developer log is on), a
// stand-in for the QML scene, and one clock the controller and its transport read "now" from
// and the fake service keeps its time by, which the test moves. The fake service is strict:
// requests the test did not script, and session routes reached without a session, are
// surprises that the test asserts away at cleanup.

#include "controller/PlayerController.h"
#include "tests/support/FakeRuntimeService.h"

#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

namespace talvorine::test {

// A clock that moves only when the test moves it: wall time and monotonic time together. The
// fake service keeps the same time unless the machine's clock is stepped away from it.
class ManualClock final : public PlayerClock {
public:
    // 2026-03-02T10:00:00Z: a Monday, away from any daylight-saving change.
    static constexpr qint64 defaultStartMs = 1772445600000;

    qint64 nowMs() const override { return nowMs_; }
    qint64 monotonicMs() const override { return monotonicMs_; }
    // The fake service's time: the wall clock without the machine's steps.
    qint64 serviceNowMs() const { return nowMs_ - localStepMs_; }

    void advance(qint64 ms)
    {
        nowMs_ += ms;
        monotonicMs_ += ms;
    }
    // Sets the wall clock alone, the machine's and the service's alike.
    void setNowMs(qint64 ms)
    {
        nowMs_ = ms;
        localStepMs_ = 0;
    }
    // Steps the machine's clock alone, as when it is set wrong or corrected: the service's
    // keeps its time.
    void stepLocalClock(qint64 ms)
    {
        nowMs_ += ms;
        localStepMs_ += ms;
    }

private:
    qint64 nowMs_ = defaultStartMs;
    qint64 monotonicMs_ = 1000000;
    qint64 localStepMs_ = 0;
};

// What the QML scene does for the controller, without QML: it records every readiness request
// and video restart, and reports readiness when the test asks it to. Answers arrive on a later
// turn of the event loop, as a real scene answers on its next frame.
class SceneStandIn : public QObject {
    Q_OBJECT
public:
    struct ReadinessRequest {
        int slot = 0;
        QStringList primitiveIds;
    };

    explicit SceneStandIn(PlayerController& controller);

    const QList<ReadinessRequest>& readinessRequests() const { return readinessRequests_; }
    const QList<std::pair<int, QString>>& videoRestarts() const { return videoRestarts_; }

    // Answering: every request is answered as it comes; otherwise only on answerLatest().
    void setAnswering(bool answering) { answering_ = answering; }
    // How the scene answers for one primitive: failed with this code instead of ready (no code:
    // ready again).
    void setFailure(const QString& primitiveId, const QString& code);
    // An application primitive reports itself prepared before it reports ready.
    void setApplication(const QString& primitiveId);
    void answerLatest();

private:
    void answer(ReadinessRequest request);

    PlayerController& controller_;
    QList<ReadinessRequest> readinessRequests_;
    QList<std::pair<int, QString>> videoRestarts_;
    QHash<QString, QString> failures_;
    QSet<QString> applications_;
    bool answering_ = false;
};

// A media object the fake service serves under "/content/v1/media/", of pseudo-random bytes.
struct ServedObject {
    QByteArray path;
    QByteArray bytes;
    QString sha256;

    static ServedObject make(const QByteArray& name, qint64 size, quint32 seed);
    static ServedObject of(const QByteArray& name, const QByteArray& bytes);
    static ServedObject png(const QByteArray& name, const QImage& image);
    // A PNG picture of one colour.
    static ServedObject picture(const QByteArray& name, Qt::GlobalColor colour);
    // A full-canvas (1920x1080) PNG of one colour under a band of noise at its top, large
    // enough for its download and decode to count.
    static ServedObject canvasPicture(const QByteArray& name, QRgb colour);

    // Lands the object in the cache as a verified download does; false, with the cache's
    // reason, when the cache refuses it.
    bool cacheIn(ContentCache& cache, QString* error = nullptr) const;
};

// Pages "p0", "p1", ... of the given primitives, as the service sends them (the document and
// its bytes), and parsed with sources resolved against origin.
QJsonObject contentDocument(const QList<QJsonArray>& pages,
                            const QString& revision = QStringLiteral("rev-1"));
QByteArray contentManifestBody(const QList<QJsonArray>& pages,
                               const QString& revision = QStringLiteral("rev-1"));
Manifest contentManifest(const QList<QJsonArray>& pages, const QUrl& origin,
                         const QString& revision = QStringLiteral("rev-1"));
// Pages "p0", "p1", ... each showing one picture over the whole canvas, coming in with a cut and
// staying its dwell; then the adslot pages (id, adslot id) put in at their indexes, in a
// document of the schema a service with ad slots sends, in UTC.
QJsonObject adslotDocument(const QString& revision,
                           const QList<std::pair<ServedObject, int>>& pictures,
                           const QList<std::tuple<int, QString, QString>>& adslots);
// An image (or video) primitive showing the objects, all of them at once.
QJsonObject mediaPrimitive(const QString& id, const QList<ServedObject>& items,
                           const QString& kind = QStringLiteral("image"));
// The file a slot's model shows for a primitive; empty when nothing is bound.
QUrl boundSource(PlayerController& c, int slot, const QString& primitiveId);

// A web package the fake service serves under "/content/v1/packages/" with the package content
// type: a small application whose entry is "index.html".
ServedObject servedPackage(const QByteArray& name, const QByteArray& title);
// An application primitive running the package.
QJsonObject applicationPrimitive(const QString& id, const ServedObject& package);

// The controller's inside, for a test that must put it into a state no public call reaches
// (yet) or drive one handler directly. Assertions still look at what shows outside: requests at
// the fake service, log records, signals and the properties the scene reads.
struct ControllerAccess {
    static void setStatus(PlayerController& c, const QString& status) { c.setStatus(status); }
    static void publishOverlay(PlayerController& c) { c.publishOverlay(); }
    static void evaluateSplash(PlayerController& c) { c.evaluateSplash(); }
    static void retireSplash(PlayerController& c) { c.retireSplash(); }
    static void publishSyncGlyph(PlayerController& c, bool newPlaylist, bool skipSyncing)
    {
        c.publishSyncGlyph(newPlaylist, skipSyncing);
    }
    static void armSessionRetry(PlayerController& c, qint64 ms) { c.armSessionRetry(ms); }
    static void retryDeviceSession(PlayerController& c) { c.retryDeviceSession(); }
    static void armSafetyPoll(PlayerController& c) { c.armSafetyPoll(); }
    static void noteMintWatchdog(PlayerController& c, qint64 ms) { c.noteMintWatchdog(ms); }
    static void setMintInFlight(PlayerController& c, bool inFlight) { c.mintInFlight_ = inFlight; }
    static void setArchived(PlayerController& c, bool archived) { c.screenArchived_ = archived; }
    static void setActiveSlot(PlayerController& c, int slot) { c.activeSlot_ = slot; }
    static void setPairingCode(PlayerController& c, const QString& code) { c.pairingCode_ = code; }
    // A page being prepared in slot 1, of a new revision when revisionChange (the rest of its
    // contents does not matter to the phase or the overlay).
    static void setCandidate(PlayerController& c, bool preparing, bool revisionChange = false,
                             const QString& revision = {})
    {
        c.candidate_.reset();
        if (preparing) {
            c.candidate_.emplace().slot = 1;
            c.candidate_->revisionChange = revisionChange;
            c.candidate_->manifest.manifestRevision = revision;
        }
    }
    static void setOnline(PlayerController& c, bool online) { c.online_ = online; }
    static void setStorageFault(PlayerController& c, bool fault) { c.storageFault_ = fault; }
    static void setScreenLabel(PlayerController& c, const QString& label)
    {
        c.screenLabel_ = label;
    }
    static void setHold(PlayerController& c, bool observed, qint64 sinceMs)
    {
        c.holdObserved_ = observed;
        c.holdSinceMs_ = sinceMs;
    }
    static void setStorageSample(PlayerController& c, qint64 capacity)
    {
        PlayerController::StorageSample sample;
        sample.measurement.capacity = capacity;
        c.storageSample_ = sample;
    }
    static void setPendingStoragePlan(PlayerController& c, const StoragePlanRecord& record)
    {
        c.pendingStoragePlan_ = record;
    }
    static void setUpgradeNoticeShown(PlayerController& c, bool shown)
    {
        c.upgradeNotice_.shown = shown;
    }
    // Every ad operation of the controller that other units and timers call.
    static void runAdOperations(PlayerController& c)
    {
        c.resetAdPlanning(QStringLiteral("revision_change"));
        c.interruptAdPresentation();
        c.finishAdPresentation(true);
        c.endAdVisit(true);
        c.adPlannerTick();
        c.adStallTick();
        c.flushAdOutbox();
        c.adProgressSample(0, QStringLiteral("ad"), 1000, 5000);
        c.beginAdPresentation(7, QStringLiteral("occ_1"), QStringLiteral("dec_1"),
                              QStringLiteral("ad"));
        c.adReportFirstFrame();
        c.handleWindowFramePresented();
    }
    static bool adQueriesAnswerNone(PlayerController& c)
    {
        return !c.adsActive() && !c.adActive() && !c.tryAdVisitRun(0, 1) && c.adNowHiMs() == 0;
    }
    static void publishSceneSerial(PlayerController& c, quint64 serial)
    {
        c.publishSceneSerial(serial);
    }
    static const PlayerController::PreparedPage* candidate(const PlayerController& c)
    {
        return c.candidate_ ? &*c.candidate_ : nullptr;
    }
    static void skipCandidateMedia(PlayerController& c, const QString& sha256, const QString& code)
    {
        c.skipCandidateMedia(sha256, code);
    }
    static int statePhase(const PlayerController& c) { return c.playerState_.phase(); }
    // The content pipeline's entries, and the state of a page on glass until activation puts
    // one there itself.
    static void planRevision(PlayerController& c, const Manifest& manifest, bool replan = false)
    {
        c.planRevision(manifest, QByteArray("{}"), replan);
    }
    static void preparePage(PlayerController& c, const Manifest& manifest, int page,
                            bool revisionChange)
    {
        c.preparePage(manifest, QByteArray("{}"), page, revisionChange);
    }
    static void failCandidate(PlayerController& c, const QString& code) { c.failCandidate(code); }
    static void sampleStorage(PlayerController& c) { c.sampleStorage(); }
    static void cancelCandidateWork(PlayerController& c) { c.cancelCandidateWork(); }
    // A page being prepared in a slot, as preparation leaves it once its scene is set.
    static void putInPreparation(PlayerController& c, const Manifest& manifest, int page, int slot,
                                 quint64 generation)
    {
        PlayerController::PreparedPage& prepared = c.candidate_.emplace();
        prepared.manifest = manifest;
        prepared.pageIndex = page;
        prepared.slot = slot;
        prepared.generation = generation;
    }
    static void putOnGlass(PlayerController& c, const Manifest& manifest, int page, int slot)
    {
        c.activeManifest_ = manifest;
        c.activePageIndex_ = page;
        c.activeSlot_ = slot;
        c.objectEnterArmed_ = true;
    }
    static void setOutgoing(PlayerController& c, const Manifest& manifest, int page)
    {
        c.outgoingManifest_ = manifest;
        c.outgoingPageIndex_ = page;
    }
    static void setStorageSample(PlayerController& c, const PlayerController::StorageSample& sample)
    {
        c.storageSample_ = sample;
    }
    static void setActiveStoragePlan(PlayerController& c, const StoragePlanRecord& record)
    {
        c.activeStoragePlan_ = record;
    }
    static QList<qint64>& storageCycleTimes(PlayerController& c) { return c.storageCycleTimes_; }
    static bool storageFault(const PlayerController& c) { return c.storageFault_; }
    static void setEntryRunning(PlayerController& c)
    {
        c.objectEnterArmed_ = false;
        c.transitionEndTimer_.start(500);
    }
    static void setRetainedRestore(PlayerController& c, bool active)
    {
        c.retainedRestoreActive_ = active;
    }
    static void setPendingStep(PlayerController& c, int direction)
    {
        c.pendingStepDirection_ = direction;
    }
    static void addCandidateReply(PlayerController& c, QNetworkReply* reply)
    {
        c.candidateReplies_.insert(reply);
    }
    // Playback: the readiness gate's hand-over.
    static void activateCandidate(PlayerController& c) { c.activateCandidate(); }
    static void setActiveContentKeys(PlayerController& c, const QSet<QString>& active,
                                     const QSet<QString>& outgoing)
    {
        c.activeContentKeys_ = active;
        c.outgoingContentKeys_ = outgoing;
    }
    static bool transfersIdle(PlayerController& c)
    {
        return c.candidateReplies_.isEmpty() && !c.contentIo_.isRunning()
               && c.contentIo_.waitingCount() == 0;
    }
    static QString advanceReason(const PlayerController& c) { return c.advanceReason_; }
    static void setRetiredPruneMinFreeBytes(PlayerController& c, qint64 bytes)
    {
        c.retiredPruneMinFreeBytes_ = bytes;
    }
    static void togglePause(PlayerController& c)
    {
        c.playbackPolicy_.togglePause(true, false, c.clock_->nowMs());
    }
    // The page on glass turns on the next turn of the event loop, for a try that ended.
    static bool owedTurnDue(const PlayerController& c) { return c.owedTurnDue(); }
    // The pages of the revision on glass out for a failure of their own.
    static QSet<int> failedPages(const PlayerController& c)
    {
        QSet<int> out;
        for (const int index : c.glassPages_.ownFailures.keys()) {
            if (c.outForOwnFault(c.glassPages_, index))
                out.insert(index);
        }
        return out;
    }
    static QHash<QString, qint64> unreachableUntil(const PlayerController& c)
    {
        return c.unreachableUntil_;
    }
    static QJsonObject transfer24h(const PlayerController& c, qint64 nowMs)
    {
        return c.transferLedger_.transfer24h(nowMs);
    }
    static void sendStorageReport(PlayerController& c) { c.sendStorageReport(true); }
    static CacheIoQueue& contentIo(PlayerController& c) { return c.contentIo_; }
    // A content request as the controller builds one, from its start.
    static QNetworkReply* getContent(PlayerController& c, const QUrl& url)
    {
        return c.getContent(url, 0, {});
    }
    static CacheIoQueue& adIo(PlayerController& c) { return c.adIo_; }
    static std::shared_ptr<ContentCache> contentCache(PlayerController& c)
    {
        return c.contentCache_;
    }
    static std::shared_ptr<ApplicationPackageCache> applicationCache(PlayerController& c)
    {
        return c.applicationCache_;
    }
    static void setActivePackageKeys(PlayerController& c, const QSet<QString>& active,
                                     const QSet<QString>& outgoing)
    {
        c.activePackageKeys_ = active;
        c.outgoingPackageKeys_ = outgoing;
    }
    // A background replacement that has landed these packages already.
    static void setReplacementPackages(PlayerController& c, const QSet<QString>& landed)
    {
        c.replacement_.emplace().packageKeys = landed;
    }
    static std::shared_ptr<std::atomic<bool>> candidateCancel(PlayerController& c)
    {
        return c.candidateCancel_;
    }
    static std::shared_ptr<std::atomic<bool>> adCancel(PlayerController& c) { return c.adCancel_; }
    // Ad slots: puts a manifest on glass at a page whose timer has dwellMs left.
    static void showPage(PlayerController& c, const Manifest& manifest, int pageIndex,
                         int dwellMs)
    {
        c.activeManifest_ = manifest;
        c.activePageIndex_ = pageIndex;
        c.pageDwellMs_ = dwellMs;
        c.pageClock_.start();
    }
    static void adPlannerTick(PlayerController& c) { c.adPlannerTick(); }
    static void resetAdPlanning(PlayerController& c, const QString& why) { c.resetAdPlanning(why); }
    static void handBackAdEventBatch(PlayerController& c) { c.handBackAdEventBatch(); }
    static void flushAdOutbox(PlayerController& c) { c.flushAdOutbox(); }
    static void discardAdCacheLeftovers(PlayerController& c) { c.discardAdCacheLeftovers(); }
    static int adDownloads(const PlayerController& c) { return int(c.adReplies_.size()); }
    static bool adOutboxSettled(const PlayerController& c) { return c.adOutbox_.settled(); }
    // A resolve or an event report that the transport has not answered yet.
    static bool adRequestsOutstanding(const PlayerController& c)
    {
        return c.adResolveInFlight_ || c.adReportOutstanding_;
    }
    static void setAdVisit(PlayerController& c, const QString& occurrenceId,
                           const QString& decisionId)
    {
        c.adVisitOccurrenceId_ = occurrenceId;
        c.adVisitDecision_.decisionId = decisionId;
    }
    static void enqueueAdEvent(PlayerController& c, const QString& kind, qint64 ms)
    {
        c.enqueueAdEvent(kind, ms);
    }
    static const QList<AdOccurrence>& adOccurrences(PlayerController& c)
    {
        return c.adOccurrences_;
    }
    static const AdOutbox& adOutbox(const PlayerController& c) { return c.adOutbox_; }
    static void watchAdStates(PlayerController& c,
                              std::function<void(const AdOccurrence&, AdOccurrence::State)> watch)
    {
        c.adStateObserver_ = std::move(watch);
    }
    static void setAssignmentHeld(PlayerController& c, bool held) { c.assignmentHeld_ = held; }
    static void adStallTick(PlayerController& c) { c.adStallTick(); }
    // Stages the occurrence's ad on the idle stage, as a creative that has just become ready.
    static void stageAd(PlayerController& c, const QString& occurrenceId)
    {
        if (AdOccurrence* occurrence = c.occurrenceForId(occurrenceId))
            c.prepareAdPresentation(*occurrence);
    }
    static bool tryAdVisitRun(PlayerController& c, int from, int to)
    {
        return c.tryAdVisitRun(from, to);
    }
    static int activePageIndex(const PlayerController& c) { return c.activePageIndex_; }
    static bool pause(PlayerController& c, qint64 ms)
    {
        return c.playbackPolicy_.togglePause(true, false, ms);
    }
    static OperatorContext operatorContext(const PlayerController& c)
    {
        return c.operatorContext();
    }
    static QByteArray manifestEtagFor(const PlayerController& c, const QString& route)
    {
        return c.manifestEtagFor(route);
    }
    // An unconditional manifest request, sent the way the controller sends its own; a stored
    // last known good body as start-up hands it to intake.
    static void fetchManifest(PlayerController& c, const QString& route)
    {
        c.fetchManifestOn(route, {});
    }
    // A fetch was asked for while one was out: it follows that one's answer.
    static bool manifestFetchOwed(const PlayerController& c) { return c.manifestFetchOwed_; }
    static void consumeStoredManifest(PlayerController& c, const QByteArray& body)
    {
        c.consumeManifest(body, false, QString(), QByteArray());
    }
    static int pendingPageIndex(const PlayerController& c) { return c.pendingPageIndex_; }
    // Retained restore, background fetches and staged plans.
    static QSet<int> unlandedPages(const PlayerController& c) { return c.glassPages_.unlanded; }
    // Counts the planning runs begun.
    static quint64 storagePlanGeneration(const PlayerController& c)
    {
        return c.storagePlanGeneration_;
    }
    // Planning measures a volume of this size whose free space the test sets meanwhile (it is
    // read on the content I/O thread); what the caches hold counts as on a real volume.
    static std::shared_ptr<std::atomic<qint64>> measureVolumeAs(PlayerController& c,
                                                                qint64 total, qint64 available)
    {
        auto free = std::make_shared<std::atomic<qint64>>(available);
        c.measureVolume_ = [total, free](const QString&) {
            return VolumeSpace{total, free->load()};
        };
        return free;
    }
    static bool fetchRunning(const PlayerController& c) { return c.replacement_.has_value(); }
    static void runRecoverySweep(PlayerController& c) { c.runRecoverySweep(); }
    static void repairRunFired(PlayerController& c) { c.repairRunFired(); }
    static void repairRetainedPages(PlayerController& c) { c.repairRetainedPages(); }
    static void beginObjectWait(PlayerController& c, const QString& sha256, qint64 untilMs)
    {
        c.beginObjectWait(sha256, untilMs, false);
    }
    // The revision a fetch brings, the new revision's first (running or set aside); empty
    // without one.
    static QString fetchRevision(const PlayerController& c)
    {
        const PlayerController::ReplacementFetch* fetch =
            c.revisionFetch() ? c.revisionFetch() : c.replacement_ ? &*c.replacement_ : nullptr;
        return fetch ? fetch->manifest.manifestRevision : QString();
    }
    // A restore began and every page of its inventory has been verified.
    static bool retainedInventoryDone(PlayerController& c)
    {
        return c.retainedManifest_ && !c.retainedPages_.isEmpty()
            && c.retainedPosition_ >= c.retainedPages_.size() && transfersIdle(c);
    }
    static void beginReplacement(PlayerController& c, const Manifest& manifest)
    {
        c.beginReplacement(manifest, QByteArray("{}"), true, true, 0);
    }
    static QString activeRevision(const PlayerController& c)
    {
        return c.activeManifest_ ? c.activeManifest_->manifestRevision : QString();
    }
    static bool manifestFailureHold(const PlayerController& c) { return c.manifestFailureHold_; }
    // The transport answers every 2xx, 204 included, with success: a failure only by this way.
    static void unpairFailed(PlayerController& c, int status)
    {
        c.handleUnpairFailed(status, false);
    }
    static QString pairingCode(const PlayerController& c) { return c.pairingCode_; }
    // The operator was told that the service refuses the screen.
    static bool& screenRefusalSaid(PlayerController& c) { return c.screenRefusalSaid_; }
    static bool pairingCelebrating(const PlayerController& c) { return c.pairingCelebrating_; }
    static bool bound(const PlayerController& c) { return c.pairingReturnForbidden(); }
    static void claimPairing(PlayerController& c, const QString& nonce)
    {
        c.handlePairingClaimed(nonce);
    }
    // What a screenshot grabs instead of the window.
    static void setScreenshotGrab(PlayerController& c, std::function<QImage()> grab)
    {
        c.screenshotGrab_ = std::move(grab);
    }
    // Web-application requests and the soundtrack.
    static void setActiveGeneration(PlayerController& c, quint64 generation)
    {
        c.activeGeneration_ = generation;
    }
    static const SoundtrackEngine& soundtrackEngine(const PlayerController& c)
    {
        return c.soundtrackEngine_;
    }
    static bool soundtrackTrackReady(const PlayerController& c, const QString& sha256)
    {
        return c.readyTrackFiles_.contains(sha256);
    }
};

// Pages "p0", "p1", ... each with one image primitive "img" showing the items named by letter
// (media id "m" and the letter), in "duration" mode (10 s) with a cross-fade; object gives each
// letter's digest and size.
Manifest imagePagesManifest(const QString& revision, const QList<QByteArray>& pages,
                            const std::function<std::pair<QString, qint64>(char)>& object);

// A state directory prepared as a bound player's: an identity and the enrolled marker.
bool prepareBoundState(const QString& stateDirectory);

// The controller's constructor arguments that a test chooses.
struct ControllerOptions {
    QSizeF frame{1920, 1080};
    bool gpuVideo = false;
    bool splash = false;
    // The clock the controller reads instead of the harness's manual one (window tests whose
    // media play in real time).
    std::shared_ptr<const PlayerClock> clock{};
    // How the fake service is reached; over TLS its authority is trusted while the harness lives.
    FakeRuntimeService::Transport transport = FakeRuntimeService::Transport::Http;
    // User information the controller's origin is given with, as an operator may type it.
    QString userInfo{};
};

class ControllerHarness {
public:
    using Options = ControllerOptions;

    static constexpr int waitMs = 30000;

    explicit ControllerHarness(Options options = Options());
    ~ControllerHarness();

    ControllerHarness(const ControllerHarness&) = delete;
    ControllerHarness& operator=(const ControllerHarness&) = delete;

    // False when the temporary directory or the fake service could not be set up.
    bool ready() const { return controller_ && setupError_.isEmpty(); }
    QString setupError() const { return setupError_; }

    PlayerController& controller() { return *controller_; }
    RuntimeTransport& transport();
    FakeRuntimeService& service() { return *service_; }
    ManualClock& clock() { return *clock_; }
    SceneStandIn& scene() { return *scene_; }

    QString stateDirectory() const { return directory_.path(); }
    QString statePath(const QString& name) const { return directory_.filePath(name); }

    // A member timer by its table name.
    QTimer* timer(QAnyStringView name) const;
    // Restarts a running timer with a short interval, so that the test sees its timeout without
    // waiting for the real delay; false when the timer is unknown or not running.
    bool expireSoon(QAnyStringView name, int ms = 0);

    // The developer log as written so far, or the records of one event.
    QList<QJsonObject> devLog() const;
    QList<QJsonObject> devLog(const QString& event) const;

    // The service's answer to a mint: a session granted, with the event cursor "cur_1"; adSlots:
    // it negotiates ad slots.
    static FakeRuntimeService::Reply sessionGranted(bool adSlots = false,
                                                    QJsonArray capabilities = {"kv.read"});

    // Scripts what a quiet service answers on every session route the test left unscripted:
    // the mint grants a session (cursor "cur_1"), both manifest routes answer 304, the event
    // stream opens and stays open, observations are taken.
    void answerSessionRoutes(bool adSlots = false);

    // A runtime session through the transport itself (an identity is created when missing);
    // true once the controller has taken it: the manifest answered and the event stream open.
    bool mintSession(bool adSlots = false);

    // The controller's real start on a state directory prepared as a bound player's (identity
    // and enrolled marker), a cold-boot spread cut short; true once the session has settled as
    // for mintSession().
    bool startBound();

    // Runs begin (a page prepared, a page turned, a manifest taken in) with the scene stand-in
    // answering every readiness request, until the readiness gate puts a page on glass; false
    // when none got there.
    bool untilActivated(const std::function<void()>& begin);
    // A page of manifest prepared on the idle stage and put on glass by the readiness gate.
    bool activate(const Manifest& manifest, int page, bool revisionChange);
    // A page of one cached picture put on glass that way, as when the player plays (within its
    // revision: nothing is saved or reported).
    bool showCachedPage();

    // What the strict service did not expect, one line per request.
    QStringList surprises() const { return service_->surprises(); }
    // Fails the running test on them, one line per request.
    void verifyNoSurprises() const;
    // A controller test's cleanup(): destroys the test's harness, when it has one, and fails the
    // test on the surprises its service saw until then.
    static void release(std::unique_ptr<ControllerHarness>& harness);

    // Destroys the controller (the service and the state directory stay), or builds a new one
    // on the same state directory.
    void destroyController();
    void rebuildController(Options options);
    // A new controller on another state directory (the service and the clock stay).
    void rebuildControllerOn(const QString& stateDirectory, Options options = {});
    // A new controller on the state directory as a kill would leave it now: the old one is
    // taken offline and destroyed, and whatever it wrote on its way out is undone.
    void rebuildAfterKill(Options options = {});

private:
    void buildController(const Options& options, const QString& stateDirectory);
    bool sessionSettled(const std::function<void()>& begin);

    QTemporaryDir directory_;
    // The process's TLS defaults before the service's authority was trusted, given back at the
    // end: every fake's authority has the same name.
    std::optional<QSslConfiguration> untrustedTls_;
    std::unique_ptr<FakeRuntimeService> service_;
    std::shared_ptr<ManualClock> clock_;
    std::unique_ptr<PlayerController> controller_;
    std::unique_ptr<SceneStandIn> scene_;
    QString setupError_;
};

} // namespace talvorine::test
