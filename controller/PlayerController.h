#pragma once

#include "ads/AdContracts.h"
#include "ads/AdOutbox.h"
#include "app/HostContext.h"
#include "controller/PlayerClock.h"
#include "controller/PlayerOverlay.h"
#include "controller/PlayerPreparation.h"
#include "controller/PlayerState.h"
#include "controller/RecoverySweep.h"
#include "manifest/Manifest.h"
#include "operator/OperatorPanel.h"
#include "operator/OperatorPlaybackPolicy.h"
#include "overlay/OverlayContract.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/OverlayPolicy.h"
#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/ScreenshotRequest.h"
#include "stage/SoundtrackEngine.h"
#include "stage/SoundtrackSequencer.h"
#include "stage/StageLayoutModel.h"
#include "storage/ContentCache.h"
#include "storage/PersistentState.h"
#include "storage/StorageFiles.h"
#include "storage/StoragePlan.h"
#include "storage/StorageTransferLedger.h"
#include "web/ApplicationPackageCache.h"

#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <QAnyStringView>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;

namespace talvorine {

namespace test {
struct ControllerAccess;
}

struct ContentDownload;
enum class TransferFailure;

// The delay of every back-off timer, whatever the rule or the service asked for.
constexpr qint64 minRetryDelayMs = 250;
constexpr qint64 maxRetryDelayMs = 900000;
inline int clampRetryDelayMs(qint64 ms)
{
    return int(qBound(minRetryDelayMs, ms, maxRetryDelayMs));
}

// The player's one core object: it owns the runtime service client, the local stores and
// caches, both stage slots, the operator panel and every timer of the player, and is published
// to QML as "talvorineController". Everything runs on the GUI thread except the two render-thread
// hooks, which touch only atomics.
//
// The class is spread over one source unit per responsibility; the banners below name each
// member's owner. A member is written only by its owner; the others read it or call the owner's
// entry functions. Members are declared in construction order: teardown depends on it.
class PlayerController : public QObject {
    Q_OBJECT
    // The QML property surface, in the order the scene contract lists it (the meta-object
    // order). None has a setter: the scene only reads.
    Q_PROPERTY(StageLayoutModel* stageA READ stageA CONSTANT)
    Q_PROPERTY(StageLayoutModel* stageB READ stageB CONSTANT)
    Q_PROPERTY(double opacityA READ opacityA NOTIFY stagePresentationChanged)
    Q_PROPERTY(double opacityB READ opacityB NOTIFY stagePresentationChanged)
    Q_PROPERTY(int translateXPermilleA READ translateXPermilleA NOTIFY stagePresentationChanged)
    Q_PROPERTY(int translateYPermilleA READ translateYPermilleA NOTIFY stagePresentationChanged)
    Q_PROPERTY(int translateXPermilleB READ translateXPermilleB NOTIFY stagePresentationChanged)
    Q_PROPERTY(int translateYPermilleB READ translateYPermilleB NOTIFY stagePresentationChanged)
    Q_PROPERTY(int transitionDurationMs READ transitionDurationMs NOTIFY transitionTimingChanged)
    Q_PROPERTY(QString transitionType READ transitionType NOTIFY stagePresentationChanged)
    Q_PROPERTY(int activeSlot READ activeSlot NOTIFY stagePresentationChanged)
    Q_PROPERTY(bool objectEnterArmed READ objectEnterArmed NOTIFY objectEnterChanged)
    Q_PROPERTY(int objectEnterSerial READ objectEnterSerial NOTIFY objectEnterChanged)
    Q_PROPERTY(int objectEnterDelayMs READ objectEnterDelayMs CONSTANT)
    Q_PROPERTY(int objectEnterDurationMs READ objectEnterDurationMs CONSTANT)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString pairingCode READ pairingCode NOTIFY pairingChanged)
    Q_PROPERTY(QString pairingCodeDisplay READ pairingCodeDisplay NOTIFY pairingChanged)
    Q_PROPERTY(QString pairingCodeSpoken READ pairingCodeSpoken NOTIFY pairingChanged)
    Q_PROPERTY(QString pairingExpiryClock READ pairingExpiryClock NOTIFY pairingChanged)
    Q_PROPERTY(bool hasActiveContent READ hasActiveContent NOTIFY activeChanged)
    Q_PROPERTY(bool fatalVisible READ fatalVisible NOTIFY fatalChanged)
    Q_PROPERTY(QString fatalReason READ fatalReason NOTIFY fatalChanged)
    Q_PROPERTY(QColor groundColor READ groundColor CONSTANT)
    Q_PROPERTY(QColor inkColor READ inkColor CONSTANT)
    Q_PROPERTY(QColor inkBrightColor READ inkBrightColor CONSTANT)
    Q_PROPERTY(QColor inkMutedColor READ inkMutedColor CONSTANT)
    Q_PROPERTY(QColor slideBackgroundColor READ slideBackgroundColor CONSTANT)
    Q_PROPERTY(QColor playLetterboxColor READ playLetterboxColor CONSTANT)
    Q_PROPERTY(QColor slideBackgroundTopColor READ slideBackgroundTopColor CONSTANT)
    Q_PROPERTY(QColor slideBackgroundBottomColor READ slideBackgroundBottomColor CONSTANT)
    Q_PROPERTY(QColor slidePinstripeColor READ slidePinstripeColor CONSTANT)
    Q_PROPERTY(QColor slideLocatorInkColor READ slideLocatorInkColor CONSTANT)
    Q_PROPERTY(QColor slidePrimaryColor READ slidePrimaryColor CONSTANT)
    Q_PROPERTY(QColor slideSecondaryColor READ slideSecondaryColor CONSTANT)
    Q_PROPERTY(QColor slideCaptionColor READ slideCaptionColor CONSTANT)
    Q_PROPERTY(int slidePinstripeHeightPx READ slidePinstripeHeightPx CONSTANT)
    Q_PROPERTY(int slideWordmarkXPx READ slideWordmarkXPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideWordmarkYPx READ slideWordmarkYPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideWordmarkWidthPx READ slideWordmarkWidthPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideWordmarkHeightPx READ slideWordmarkHeightPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideCopyWidthPx READ slideCopyWidthPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideTitleSizePx READ slideTitleSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slidePairingSizePx READ slidePairingSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideBodySizePx READ slideBodySizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int slideCaptionSizePx READ slideCaptionSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(QColor bannerPlateColor READ bannerPlateColor CONSTANT)
    Q_PROPERTY(QColor bannerTextOnPlateColor READ bannerTextOnPlateColor CONSTANT)
    Q_PROPERTY(bool qmlGpuVideoAvailable READ qmlGpuVideoAvailable CONSTANT)
    Q_PROPERTY(QString applicationPackageCacheRoot READ applicationPackageCacheRoot CONSTANT)
    Q_PROPERTY(bool toastVisible READ toastVisible NOTIFY toastChanged)
    Q_PROPERTY(QString toastText READ toastText NOTIFY toastChanged)
    Q_PROPERTY(QColor toastFill READ toastFill NOTIFY toastChanged)
    Q_PROPERTY(int toastTransitionMs READ toastTransitionMs CONSTANT)
    Q_PROPERTY(QString overlayCondition READ overlayCondition NOTIFY overlayChanged)
    Q_PROPERTY(QString overlayLevel READ overlayLevel NOTIFY overlayChanged)
    Q_PROPERTY(QString overlayMarkIcon READ overlayMarkIcon NOTIFY overlayChanged)
    Q_PROPERTY(QStringList overlayMarkPaths READ overlayMarkPaths NOTIFY overlayChanged)
    Q_PROPERTY(QString chipAccessibleName READ chipAccessibleName NOTIFY overlayChanged)
    Q_PROPERTY(QString chipLabel READ chipLabel NOTIFY overlayChanged)
    Q_PROPERTY(QString chipDetail READ chipDetail NOTIFY overlayChanged)
    Q_PROPERTY(bool chipVisible READ chipVisible NOTIFY overlayChanged)
    Q_PROPERTY(QColor chipFill READ chipFill NOTIFY overlayChanged)
    Q_PROPERTY(QColor overlayOnFillColor READ overlayOnFillColor CONSTANT)
    Q_PROPERTY(QColor overlayMarkColor READ overlayMarkColor NOTIFY overlayChanged)
    Q_PROPERTY(bool noticeVisible READ noticeVisible NOTIFY overlayChanged)
    Q_PROPERTY(QString noticeText READ noticeText NOTIFY overlayChanged)
    Q_PROPERTY(QString noticeIcon READ noticeIcon NOTIFY overlayChanged)
    Q_PROPERTY(QStringList noticeIconPaths READ noticeIconPaths NOTIFY overlayChanged)
    Q_PROPERTY(int chipLeftPx READ chipLeftPx NOTIFY overlayChanged)
    Q_PROPERTY(int noticeLeftPx READ noticeLeftPx NOTIFY overlayChanged)
    Q_PROPERTY(QColor noticeFill READ noticeFill NOTIFY overlayChanged)
    Q_PROPERTY(int noticeTextSizePx READ noticeTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(QStringList toastMarkPaths READ toastMarkPaths NOTIFY toastChanged)
    Q_PROPERTY(int toastMaxWidthPx READ toastMaxWidthPx NOTIFY overlayChanged)
    Q_PROPERTY(QString screenLabel READ screenLabel NOTIFY overlayChanged)
    Q_PROPERTY(QString offlineSinceClock READ offlineSinceClock NOTIFY overlayChanged)
    Q_PROPERTY(bool identifyVisible READ identifyVisible NOTIFY identifyChanged)
    Q_PROPERTY(QString identifyLabel READ identifyLabel NOTIFY identifyChanged)
    Q_PROPERTY(bool splashVisible READ splashVisible NOTIFY splashChanged)
    Q_PROPERTY(double splashOpacity READ splashOpacity NOTIFY splashChanged)
    Q_PROPERTY(int splashCrossfadeMs READ splashCrossfadeMs CONSTANT)
    Q_PROPERTY(int safeAreaHorizontalPx READ safeAreaHorizontalPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int safeAreaVerticalPx READ safeAreaVerticalPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int statusIconSizePx READ statusIconSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(QString syncGlyph READ syncGlyph NOTIFY syncGlyphChanged)
    Q_PROPERTY(int syncGlyphSizePx READ syncGlyphSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double toastTextSizePx READ toastTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double identifyTextSizePx READ identifyTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int toastPaddingPx READ toastPaddingPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int identifyPaddingPx READ identifyPaddingPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int splashMarkWidthPx READ splashMarkWidthPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int splashMarkHeightPx READ splashMarkHeightPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int settingsBoxPx READ settingsBoxPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double locatorTextSizePx READ locatorTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double locatorLetterSpacing READ locatorLetterSpacing NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int setupEntranceMs READ setupEntranceMs CONSTANT)
    Q_PROPERTY(int setupCopyInsetPx READ setupCopyInsetPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int setupCopyWidthPx READ setupCopyWidthPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int setupLocatorPlatePaddingPx READ setupLocatorPlatePaddingPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double headlineTextSizePx READ headlineTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double bodyTextSizePx READ bodyTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(double captionTextSizePx READ captionTextSizePx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int listGapPx READ listGapPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(int majorGapPx READ majorGapPx NOTIFY overlayGeometryChanged)
    Q_PROPERTY(OperatorPanel* operatorPanel READ operatorPanel CONSTANT)
    Q_PROPERTY(bool pairingHandoff READ pairingHandoff NOTIFY pairingChanged)
    Q_PROPERTY(bool pairingCelebrating READ pairingCelebrating NOTIFY pairingCelebrationChanged)
    Q_PROPERTY(int pairingCelebrationMs READ pairingCelebrationMs CONSTANT)
    Q_PROPERTY(bool reducedMotion READ reducedMotion CONSTANT)
    Q_PROPERTY(bool adActive READ adActive NOTIFY adActiveChanged)
    Q_PROPERTY(bool playbackPaused READ playbackPaused NOTIFY overlayChanged)
public:
    // Entity tag remembered for a manifest route together with the exact body it describes.
    struct ManifestValidator {
        QString route;
        QByteArray body;
        QByteArray etag;

        // The tag to send for route: only when it is known, belongs to that route and describes
        // the body that is active now, byte for byte.
        QByteArray etagFor(const QString& forRoute, const QByteArray* activeBody) const;
    };

    // The candidate page being prepared for the idle stage slot.
    struct PreparedPage {
        Manifest manifest;
        QByteArray manifestBody;
        int pageIndex = -1;
        int slot = 0;
        quint64 generation = 0;
        bool revisionChange = false;
        QSet<QString> requiredPrimitives;
        QSet<QString> readyPrimitives;
        QSet<QString> preparedApplications;
        QSet<QString> plannedPackages;
        QHash<QString, QUrl> mediaUrls;
        QHash<QString, ApplicationPackageDescriptor> packageDescriptors;
        QSet<QString> plannedMedia;
        int pendingAssets = 0;
        QString reason;
        QList<MediaItem> mediaQueue;
        QList<Primitive> packageQueue;
        // Only the page's own objects were queued, nothing being on glass: the other admitted
        // pages are looked at once it is on glass.
        bool othersUnchecked = false;
        bool adPresentation = false;
        QString adDecisionId;
        QString adOccurrenceId;
        QString adPrimitiveId;
    };

    // One background fetch of missing objects: a replacement that ends in preparing a page, or
    // a repair of the revision on glass.
    struct ReplacementFetch {
        quint64 generation = 0;
        Manifest manifest;
        QByteArray manifestBody;
        bool revisionChange = false;
        bool activateWhenDrained = false;
        int attempt = 0;
        bool drained = false;
        bool busy = false;
        QList<MediaItem> media;
        QList<Primitive> packages;
        QSet<QString> mediaKeys;
        QSet<QString> packageKeys;
        // Media answered with an HTTP error once in this run: a second such answer drops them.
        QSet<QString> erroredOnce;
        // A repair run, or a held revision coming in again: each object it lacks is asked for
        // once, when its own wait is over, and one that fails waits alone while the run goes on.
        bool onePass = false;
        // An object of this run has landed.
        bool landed = false;
        // The fetch has begun to look at its objects: a held revision's wake has come.
        bool started = false;
        // The first fetch of a new revision behind glass: a pass that lands nothing waits and
        // passes again rather than prepare pages that could not show.
        bool untilLanded = false;
        // Objects of the page a candidate prepares, left to it while it fetches them itself.
        QList<MediaItem> setAsideMedia;
        QList<Primitive> setAsidePackages;
        // Objects a repair run left to a later one before its revision was on glass (one fetching
        // beside a first page), with their codes: their pages wait for them once it is.
        QHash<QString, QString> leftBeforeGlass;
        // Digests this fetch found in the caches or landed: a page all of whose objects are here
        // can be shown, whatever failed before.
        QSet<QString> local;
        // A run beside a first page gave way to that page's own download (besideRunGivesWay).
        bool gaveWay = false;
    };

    // What is known of one revision's pages. The revision on glass and the last one taken in
    // behind it each keep their own, so that neither one's fetches, skips or failures take the
    // other's pages from it.
    struct PageRecord {
        PageRecord() = default;
        explicit PageRecord(QString of) : revision(std::move(of)) {}

        QString revision;
        // Pages whose objects are not all known to be local, or that failed.
        QSet<int> unlanded;
        // Pages passed over for an object their origin withholds: repair runs (of the revision
        // on glass) or held rounds look for them while they are unlanded.
        QSet<int> withheld;
        // Pages that failed for a fault of their own (as a candidate or on glass), which landing
        // their objects would not cure: how often in the revision, and when last (monotonic ms)
        // while that failure still keeps the page out. Such a fault may pass (a decoder busy for
        // a moment, a network down under a page): in the revision on glass the page is out for a
        // wait that grows with each failure, and a page that stays its dwell is forgiven them; a
        // revision in hand tries it once more at each answer naming it, its record taken afresh.
        struct OwnFailure {
            int count = 0;
            std::optional<qint64> atMs;
        };
        QHash<int, OwnFailure> ownFailures;
    };

    // The last storage measurement of a planning job.
    struct StorageSample {
        StorageMeasurement measurement;
        qint64 protectedBytes = 0;
        qint64 warmBytes = 0;
    };

    // clock: where "now" is read; tests hand in their own.
    PlayerController(QUrl origin, QString stateDirectory, QSizeF initialFrame,
                     bool qmlGpuVideoAvailable, QObject* parent = nullptr,
                     bool startupSplash = false,
                     std::shared_ptr<const PlayerClock> clock = PlayerClock::system());
    ~PlayerController() override;

    PlayerController(const PlayerController&) = delete;
    PlayerController& operator=(const PlayerController&) = delete;

    // --- The shell's calls ---
    void setPlayerRelease(const QString& version, const QString& revision);
    void setHostContext(const HostContext& context);
    OperatorPanel* operatorPanel() { return &operatorPanel_; }
    void start();
    // The shell raises the surfaces of missing resources; the first one raised stays.
    void enterFatal(FatalSurface::Code code);

    // --- Render thread: connected directly to the window's scene-graph signals ---
    // Only atomics cross: the serial of the page that activation published last is copied into
    // the synced serial, and the frame that follows the sync presents it.
    void noteSceneSynced();
    void noteWindowFramePresented();
    // The queued copy of the frame-presented signal, on the GUI thread.
    void handleWindowFramePresented();
    quint64 presentedSceneSerial() const
    {
        return presentedSerial_.load(std::memory_order_acquire);
    }

    bool eventFilter(QObject* watched, QEvent* event) override;

    // --- What the scene and the other units read ---
    StageLayoutModel* modelForSlot(int slot) { return slot == 0 ? &stageA_ : &stageB_; }
    RuntimePhase runtimePhase() const;
    QString status() const { return status_; }
    bool fatalVisible() const;
    QString fatalReason() const;
    FatalSurface::Code fatalCode() const { return fatalCode_; }
    bool splashVisible() const { return splashVisible_; }
    double splashOpacity() const { return splashOpacity_; }
    bool qmlGpuVideoAvailable() const { return gpuVideoAvailable_; }

    bool toastVisible() const { return toastVisible_; }
    QString toastText() const { return toastText_; }
    QColor toastFill() const { return toastFill_; }
    QStringList toastMarkPaths() const;
    QString overlayCondition() const { return chip_.conditionId; }
    QString overlayLevel() const { return chip_.level; }
    QString chipDetail() const { return chip_.detail; }
    bool chipVisible() const { return !chip_.conditionId.isEmpty(); }
    QString chipLabel() const;
    QString chipAccessibleName() const;
    int chipLeftPx() const { return overlayGeometry_.safeAreaHorizontalPx; }
    QColor chipFill() const;
    QColor overlayMarkColor() const;
    bool noticeVisible() const { return !notice_.id.isEmpty(); }
    QString noticeText() const { return notice_.text; }
    int noticeLeftPx() const;
    QColor noticeFill() const;
    int toastMaxWidthPx() const;
    int chipWidth() const;
    int noticeWidth() const;
    QString syncGlyph() const { return syncGlyphName(syncGlyph_.state); }

    // A member timer by its name in the timer table (also its object name); null when unknown.
    QTimer* timerNamed(QAnyStringView name) const;

    // --- The rest of the QML property surface (PlayerProperties.cpp) ---
    StageLayoutModel* stageA() { return &stageA_; }
    StageLayoutModel* stageB() { return &stageB_; }
    double opacityA() const { return opacityA_; }
    double opacityB() const { return opacityB_; }
    int translateXPermilleA() const { return translateXPermilleA_; }
    int translateYPermilleA() const { return translateYPermilleA_; }
    int translateXPermilleB() const { return translateXPermilleB_; }
    int translateYPermilleB() const { return translateYPermilleB_; }
    int transitionDurationMs() const { return transitionDurationMs_; }
    QString transitionType() const { return transitionType_; }
    int activeSlot() const { return activeSlot_; }
    bool objectEnterArmed() const { return objectEnterArmed_; }
    int objectEnterSerial() const { return objectEnterSerial_; }
    int objectEnterDelayMs() const;
    int objectEnterDurationMs() const;
    QString pairingCode() const { return pairingCode_; }
    QString pairingCodeDisplay() const;
    QString pairingCodeSpoken() const;
    QString pairingExpiryClock() const;
    bool hasActiveContent() const { return activeSlot_ >= 0; }
    QColor groundColor() const;
    QColor inkColor() const;
    QColor inkBrightColor() const;
    QColor inkMutedColor() const;
    QColor slideBackgroundColor() const;
    QColor playLetterboxColor() const;
    QColor slideBackgroundTopColor() const;
    QColor slideBackgroundBottomColor() const;
    QColor slidePinstripeColor() const;
    QColor slideLocatorInkColor() const;
    QColor slidePrimaryColor() const;
    QColor slideSecondaryColor() const;
    QColor slideCaptionColor() const;
    int slidePinstripeHeightPx() const;
    int slideWordmarkXPx() const;
    int slideWordmarkYPx() const;
    int slideWordmarkWidthPx() const;
    int slideWordmarkHeightPx() const;
    int slideCopyWidthPx() const;
    int slideTitleSizePx() const;
    int slidePairingSizePx() const;
    int slideBodySizePx() const;
    int slideCaptionSizePx() const;
    QColor bannerPlateColor() const;
    QColor bannerTextOnPlateColor() const;
    QString applicationPackageCacheRoot() const;
    int toastTransitionMs() const;
    QString overlayMarkIcon() const { return chip_.icon; }
    QStringList overlayMarkPaths() const;
    QColor overlayOnFillColor() const;
    QString noticeIcon() const { return notice_.icon; }
    QStringList noticeIconPaths() const;
    int noticeTextSizePx() const { return overlayGeometry_.noticeTextSizePx; }
    QString screenLabel() const { return publishedScreenLabel(); }
    QString offlineSinceClock() const;
    bool identifyVisible() const { return identifyVisible_; }
    QString identifyLabel() const;
    int splashCrossfadeMs() const;
    int safeAreaHorizontalPx() const { return overlayGeometry_.safeAreaHorizontalPx; }
    int safeAreaVerticalPx() const { return overlayGeometry_.safeAreaVerticalPx; }
    int statusIconSizePx() const { return overlayGeometry_.statusIconSizePx; }
    int syncGlyphSizePx() const { return overlayGeometry_.syncGlyphSizePx; }
    double toastTextSizePx() const { return overlayGeometry_.toastTextSizePx; }
    double identifyTextSizePx() const { return overlayGeometry_.identifyTextSizePx; }
    int toastPaddingPx() const { return overlayGeometry_.toastPaddingPx; }
    int identifyPaddingPx() const { return overlayGeometry_.identifyPaddingPx; }
    int splashMarkWidthPx() const { return overlayGeometry_.splashMarkWidthPx; }
    int splashMarkHeightPx() const { return overlayGeometry_.splashMarkHeightPx; }
    int settingsBoxPx() const { return overlayGeometry_.settingsBoxPx; }
    double locatorTextSizePx() const { return overlayGeometry_.locatorTextSizePx; }
    double locatorLetterSpacing() const { return overlayGeometry_.locatorLetterSpacing; }
    int setupEntranceMs() const;
    int setupCopyInsetPx() const { return overlayGeometry_.setupCopyInsetPx; }
    int setupCopyWidthPx() const { return overlayGeometry_.setupCopyWidthPx; }
    int setupLocatorPlatePaddingPx() const { return overlayGeometry_.setupLocatorPlatePaddingPx; }
    double headlineTextSizePx() const { return overlayGeometry_.headlineTextSizePx; }
    double bodyTextSizePx() const { return overlayGeometry_.bodyTextSizePx; }
    double captionTextSizePx() const { return overlayGeometry_.captionTextSizePx; }
    int listGapPx() const { return overlayGeometry_.listGapPx; }
    int majorGapPx() const { return overlayGeometry_.majorGapPx; }
    bool pairingHandoff() const { return pairingHandoff_ && !pairingHandoffText_.isEmpty(); }
    bool pairingCelebrating() const { return pairingCelebrating_; }
    int pairingCelebrationMs() const;
    // Read from the environment at each call; the property is constant, so QML reads it once.
    bool reducedMotion() const;
    bool playbackPaused() const { return playbackPolicy_.paused(); }

    // --- Accessors the scene does not see (PlayerProperties.cpp) ---
    bool paymentRequired() const { return paymentRequired_; }
    QString publishedScreenLabel() const { return screenLabel_.trimmed(); }
    // The page at the active index of the active manifest; null when none is on glass.
    const Page* activePage() const;
    // The same page for changes in place; the manifest's page list is detached first.
    Page* mutableActivePage();
    // The page of the candidate being prepared; null without one.
    const Page* candidatePage() const;
    // Known bound in this run, the enrolled marker exists, or writing it is being retried. A
    // bound player never returns to pairing by itself.
    bool pairingReturnForbidden() const;

    // Sends the viewport to the service when it differs from what was sent last and a runtime
    // session exists; also called once a session has been established.
    void publishObservation();

Q_SIGNALS:
    void stagePresentationChanged();
    void transitionTimingChanged();
    void objectEnterChanged();
    void adActiveChanged();
    void statusChanged();
    void pairingChanged();
    void activeChanged();
    void fatalChanged();
    void toastChanged();
    void overlayChanged();
    void identifyChanged();
    void pairingCelebrationChanged();
    void splashChanged();
    void overlayGeometryChanged();
    void syncGlyphChanged();
    void candidateAwaitingReadiness(int slot, QStringList primitiveIds);
    void revisionActivated(QString revision);
    void videoRestartRequested(int slot, QString primitiveId);
    void applicationEventFinished(QString requestId, int status, QString body);
    void applicationKvFinished(QString requestId, int status, QString body);

public:
    // --- Invokable from QML, in this order ---
    Q_INVOKABLE void finishStartupAnimation();
    Q_INVOKABLE void setViewport(double width, double height, double pixelRatio = 1.0,
                                 bool exclusiveOutput = false);
    Q_INVOKABLE void primitiveReady(int slot, const QString& primitiveId);
    Q_INVOKABLE void applicationPrepared(int slot, const QString& primitiveId);
    Q_INVOKABLE void primitiveFailed(int slot, const QString& primitiveId, const QString& code);
    Q_INVOKABLE void applicationAdvanceRequested(int slot, const QString& primitiveId);
    Q_INVOKABLE void applicationLogRequested(int slot, const QString& primitiveId,
                                             const QString& level, const QString& code,
                                             const QString& message);
    Q_INVOKABLE void applicationEventRequested(int slot, const QString& primitiveId,
                                               const QString& code,
                                               const QString& requestId = QString());
    Q_INVOKABLE void applicationKvRequested(int slot, const QString& primitiveId,
                                            const QString& requestId, const QVariantMap& request);
    Q_INVOKABLE void videoStarted(int slot, const QString& primitiveId);
    Q_INVOKABLE void videoEndOfStream(int slot, const QString& primitiveId);
    Q_INVOKABLE bool handleKey(int key, bool autoRepeat = false, const QString& text = QString());
    Q_INVOKABLE bool togglePause();
    Q_INVOKABLE bool operatorCommand(int direction);
    Q_INVOKABLE bool stepForward();
    Q_INVOKABLE bool stepBack();
    Q_INVOKABLE void summonIdentify();
    Q_INVOKABLE void hideIdentify();
    Q_INVOKABLE void adProgressSample(int slot, const QString& primitiveId, qint64 positionMs,
                                      qint64 durationMs);

private:
    friend struct test::ControllerAccess;

    struct TimerSpec;
    static const QList<TimerSpec>& timerTable();
    void setUpTimers();
    void connectTransport();
    OperatorContext operatorContext() const;
    // Activation's last step: the serial of the page now on glass, for the render thread.
    void publishSceneSerial(quint64 serial);

    // === Phase, status and fatal surfaces (PlayerState.cpp) ===
    void setStatus(const QString& status);
    // The status of a page playing as it should.
    QString playingStatus() const;

    // === Viewport and observation (PlayerViewport.cpp) ===
    struct Observation {
        int width = 0;
        int height = 0;
        double pixelRatio = 1.0;
        QString presentation;
        friend bool operator==(const Observation&, const Observation&) = default;
    };

    // === Splash (SplashPolicy.cpp) ===
    void evaluateSplash();
    void retireSplash();
    void hideRetiredSplash();

    // === Overlay publishing (PlayerOverlay.cpp) ===
    struct ChipState {
        QString conditionId;
        QString level;
        QString icon;
        QString detail;
        friend bool operator==(const ChipState&, const ChipState&) = default;
    };
    struct NoticeState {
        QString id;
        QString text;
        QString icon;
    };
    void publishOverlay();
    overlay::OverlayInput buildOverlayInput() const;
    void showToast(const QString& level, const QString& text, int durationMs,
                   const QDateTime& expiresAt, bool raisedByOverlay);
    void applyToast(const QString& level, const QString& text, int durationMs,
                    const QDateTime& expiresAt);
    void hideToast();
    void publishSyncGlyph(bool newPlaylist, bool skipSyncing);
    void syncGlyphTimerFired();
    void handleCreditsRemaining(qint64 remaining);
    bool contentTransfersBusy() const;
    const Manifest* manifestInView() const;

    // === Pairing and the device session (PlayerSession.cpp) ===
    // Where the service's own times (a screenshot request's, a toast's, a pairing code's
    // expiry) meet now: the transport's estimate of the service's clock, carried forward on
    // the monotonic clock, so that a step of the local clock moves none of them; the local
    // clock before the first exchange.
    qint64 serviceNowMs() const;
    void armSessionRetry(qint64 ms);
    void armMintWatchdog();
    void armSafetyPoll();
    void mintWatchdogFired();
    void noteMintWatchdog(qint64 elapsedMs);
    void abortMintByWatchdog();
    void retryDeviceSession();
    void refuseLocalState();
    void retryLocalState();
    void beginSession();
    void remintAfterSessionLoss();
    void applyMintAnswer(int status, const QByteArray& body, const QByteArray& retryAfter,
                         qint64 nowMs, RuntimeCompat::MintKind kind);
    void handleMintProblem(const RuntimeCompat::ProblemDecision& decision, const QString& code,
                           qint64 monotonicMs);
    void noteEnrollmentBound(qint64 nowMs, qint64 retryAfterMs);
    void noteKnownBound();
    void noteUpgradeRequired(const QString& playerKind, const QString& minSupported);
    void setOnline(bool online);
    // The event stream's state alone: the flag, the phase and the ad timers follow it.
    void followEventStream(bool up);
    void closeEventStream();
    void noteMintFailed();
    void enterFirstBootPairing();
    void startPairing();
    void sendPairingStart();
    bool resumeStoredPairing();
    void rotatePairing(const QString& reason);
    void applyPairingLocator(const QString& code, const QDateTime& expiresAt);
    void armPairingExpiryWatch();
    void applyPairingAnswer(const QString& code, int status, int retryAfterMs, qint64 nowMs);
    void retryPairingEvents();
    void retryPairingCompletion();
    void handlePairingExpiry();
    void endPairingCelebration();
    void persistBoundMarker();
    void handlePairingStarted(const QString& code, const QDateTime& expiresAt);
    void handlePairingStartFailed(const QString& code, int status, int retryAfterMs,
                                  bool transient);
    void handlePairingClaimed(const QString& nonce);
    void handlePairingEventFailed(const QString& code, int status, int retryAfterMs,
                                  bool transient);
    void handlePairingCompleted(const QString& screenLabel);
    void handlePairingCompleteFailed(const QString& code, int status, int retryAfterMs,
                                     bool transient);
    void handleDeviceSessionSucceeded(const QString& cursor);
    void handleDeviceSessionFailed(const QString& code, int status, int retryAfterMs,
                                   bool transient);
    void handleRuntimeSessionExpired();
    void handleUpgradeRecommended(const QString& playerKind, const QString& minSupported);
    void handleEventConnectionChanged(bool connected);

    // === Manifest intake, screen state and reloads (PlayerIntake.cpp) ===
    struct IntakeOperation;
    QByteArray manifestEtagFor(const QString& route) const;
    QString manifestRoutePath() const;
    void consumeManifest(const QByteArray& body, bool fromNetwork, const QString& route,
                         const QByteArray& etag);
    void rejectManifestBody(const IntakeOperation& operation, const ManifestError& error,
                            const QByteArray& body, bool fromNetwork, int expectedVersion);
    void keepLastKnownGood(const IntakeOperation& operation, const Manifest& manifest,
                           bool fromNetwork);
    void refreshSameRevision(const IntakeOperation& operation, const Manifest& manifest,
                             const QByteArray& body, bool fromNetwork);
    void resetRevisionBookkeeping(const QString& revision);
    void takeNewRevision(const IntakeOperation& operation, Manifest manifest,
                         const QByteArray& body, bool fromNetwork);
    bool revisionInHand(const QString& revision) const;
    void dropWithdrawnRevision(const QString& named);
    void holdManifestFailure();
    void armManifestRetry(qint64 ms);
    void fetchCurrentManifest();
    void fetchManifestOn(const QString& route, const QByteArray& etag);
    void fetchManifestForEvent();
    void fetchManifestOnce();
    void fetchOwedManifest();
    // waitAskedMs: what the service asked for with Retry-After on the route, -1 when nothing.
    void noteManifestAnswered(qint64 waitAskedMs = -1);
    void fetchManifestAfterLoss(qint64 lostForMs);
    void clearManifestFailure();
    void presentEmptyAssignment(Manifest manifest, const QByteArray& body, bool fromNetwork);
    void presentIdle(const QString& status);
    void clearToNoContent();
    void clearPlayback();
    void dropCandidate();
    void cancelActivePlayback();
    void dropStoragePlans();
    void holdPairedAssignment(bool revoked, const QString& refusal = {});
    void handleManifestRouteUnavailable();
    void handleManifestNotModified(const QString& route);
    void handleManifestFailed(const QString& code, int status, const QString& error);
    void handleInvalidated(const QString& revision);
    void handleResyncRequired(const QString& cursor);
    void handleEventFetchTimer();
    void handleSafetyPoll();
    void handleScreenLabelAnswered(int status, const QString& label);
    void handlePaymentRequired();
    void handleStreamProblem(const QString& code, const QString& actionName);
    void handleReloadRequested(const QJsonObject& event);
    void reloadTimerFired();
    void performReload(const QString& id);
    void requestUnpair();
    void renameScreen(const QString& name);
    void wipeAndPair(bool resetIdentity);
    void clearBoundMarker();
    void finishWipe();
    void handleUnpairFailed(int status, bool transient);
    void resetUnpairedIdentity();
    void enterArchived();
    void handleScreenUnarchived();
    void observeAssignmentHold();
    void endUpdateHold();
    void updateScreenLabel(const QString& label);
    void noteIdentityFault();

    // === Revision planning, applying a plan, storage reports (PlayerPlanning.cpp) ===
    void planRevision(Manifest manifest, QByteArray manifestBody, bool replan);
    QHash<QString, qint64> onGlassStorageObjects(bool replan) const;
    void finishPlanning(quint64 generation, Manifest manifest, QByteArray manifestBody,
                        StoragePlanningOutcome outcome, qint64 protectedBytes, bool replan);
    void applyPlannedRevision(Manifest manifest, QByteArray manifestBody,
                              std::optional<StoragePlanRecord> record, bool replan);
    void applyReplanOnGlass(const Manifest& manifest, StoragePlanRecord record);
    QJsonObject adoptStoragePlan(const QString& revision);
    bool writeOwedLastKnownGood();
    void sendStorageReport(bool force);
    void sampleStorage();
    void roomWaitElapsed();
    bool roomRefusedOnGlass() const;
    void noteRoomRefused();
    void noteCachedPages(const QString& revision, const QSet<int>& pages);
    void forgetEvictedPages(const QStringList& evicted);
    bool pageKnownCached(const Manifest& manifest, int index) const;
    bool pageAdmitted(const Manifest& manifest, int index) const;
    void waitForRoom(const Manifest& manifest, const QByteArray& manifestBody);
    void waitForRoomAfterWriteFailure();
    void tellWriteFault(int error, const QString& text);
    void tellRoomRefused(const StoragePlanRecord& record);
    void tellRoomReturned(const QString& revision);
    void tellRoomWaitReplaced(const QString& revision);
    bool roomShort() const;

    // === Candidate preparation, readiness, replacement (PlayerPreparation.cpp) ===
    void preparePage(Manifest manifest, QByteArray manifestBody, int page, bool revisionChange);
    void prepareNextAsset(quint64 generation);
    void rearmActiveClock();
    // Whether a failed, held or passed-over candidate leaves the clock of the page on glass as
    // it runs: it brought a new revision while a page of another revision plays, its dwell
    // running (or stopped by the operator's pause).
    bool keepsActiveClock(const Manifest& failed, bool revisionChange) const;
    void recoverActiveRenderer();
    void cancelCandidateWork();
    void prepareApplicationPackage(const Primitive& primitive, quint64 generation);

    // === Content requests, media preparation, binding and transfers (PlayerTransfers.cpp) ===
    struct MediaTransfer;
    QNetworkReply* getContent(const QUrl& url, qint64 resumeOffset, const QString& digest);
    void startContentDownload(const std::shared_ptr<ContentDownload>& download,
                              QNetworkReply* reply);
    void pumpContentDownload(const std::shared_ptr<ContentDownload>& download);
    void writeContentDownload(const std::shared_ptr<ContentDownload>& download);
    void noteContentProgress(bool replacement, quint64 generation);
    void prepareMedia(const MediaItem& item, quint64 generation);
    bool bindReadyMedia(const QString& sha256, const QString& path);
    void transferMedia(const MediaItem& item, quint64 generation, bool rangeRestarted);
    void downloadMedia(const MediaItem& item, quint64 generation);
    void downloadReplacementMedia(const MediaItem& item, quint64 generation);
    bool candidateOwns(quint64 generation) const;
    bool replacementOwns(quint64 generation) const;
    bool transferCurrent(const MediaTransfer& transfer) const;
    void requestMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer, qint64 resumeOffset,
                              bool repair);
    void finishMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer);
    void transferIoBusy(bool replacement, quint64 generation);
    void commitMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer);
    // askedMs: the origin's Retry-After in ms, -1 when it asked for none.
    void candidateTransferFailed(const MediaTransfer& transfer, TransferFailure failure,
                                 qint64 askedMs);
    void replacementTransferFailed(const MediaTransfer& transfer, TransferFailure failure,
                                   qint64 askedMs);
    void replacementObjectFailed(const QString& sha256, const QString& code);
    void dropReplacementMedia(const QString& sha256);
    bool noteHardFailure(const QString& sha256, const QString& code);
    QString fetchRefusal(const QString& sha256) const;
    // Every digest fetchRefusal names: objects and packages no fetch asks for again.
    QSet<QString> givenUpDigests() const;
    void logTransferFailure(const MediaItem& item, const QString& code, int status,
                            const QString& errorText);
    void skipCandidateMediaAndContinue(const QString& sha256, const QString& code,
                                       quint64 generation);
    qint64 nextDownloadBackoffMs();
    void scheduleCandidateDownloadRetry(const MediaItem& item, quint64 generation,
                                        qint64 delayMs);
    void candidateDownloadRetryFired();
    void noteDownloadProgress(quint64 generation);
    void noteTransfer(const QString& sha256, StorageTransferLedger::Reason reason, qint64 bytes);
    StorageTransferLedger::Reason transferReason(const QString& sha256, bool repair) const;

    // === Application packages: preparation, downloads, installation (PlayerPackages.cpp) ===
    struct PackageTransfer;
    bool bindReadyApplicationPackage(const ApplicationPackageDescriptor& descriptor);
    void downloadApplicationPackage(const Primitive& primitive, quint64 generation, int attempt,
                                    bool rangeRestarted);
    void requestPackageTransfer(const std::shared_ptr<PackageTransfer>& transfer,
                                qint64 resumeOffset, bool repair);
    void finishPackageTransfer(const std::shared_ptr<PackageTransfer>& transfer);
    void installApplicationPackage(const std::shared_ptr<PackageTransfer>& transfer);
    // mayRetry: the one immediate retry of a hard failure applies (an object the candidate's
    // own page shows, not one that stayed away while a page plays).
    void packageDownloadFailed(const PackageTransfer& transfer, bool mayRetry);
    void packageWriteFailed(const PackageTransfer& transfer, int error);
    void rememberRefusedPackage(const QString& sha256, const QString& code);
    void dropReplacementPackage(const QString& sha256);
    void packageRetryFired();
    void downloadSessionRefused(bool replacement, quint64 generation);

    // === Readiness gate (PlayerReadiness.cpp) ===
    void candidateMediaPrepared(quint64 generation);
    void skipCandidatePrimitive(const QString& primitiveId, const QString& code);
    void skipCandidateMedia(const QString& sha256, const QString& code);
    // Whether the candidate's own page shows the object (media item or package).
    bool candidatePageShows(const QString& sha256) const;
    void maybeActivate();

    // === Retained restore, background replacement and repair, staged plans (PlayerRestore.cpp)
    void beginRetainedRestore(const Manifest& manifest, const QByteArray& body);
    void verifyNextRetainedPage();
    void retainedPageVerified(quint64 generation, int index, bool ready);
    void repairRetainedPages();
    // With nothing on glass, the rest of the first page's revision fetched beside its candidate.
    void fetchBesideFirstPage();
    // The first page's candidate has one of its own objects in hand, not waiting out a back-off.
    bool firstPageFetching() const;
    // A run beside the first page about to start a transfer waits instead, while that page's
    // own object is fetched; resumeBesideRun lets it go on once it is not.
    bool besideRunGivesWay();
    void resumeBesideRun();
    // The admitted pages of the revision on glass but the page shown, taken as unlanded until
    // found whole; the object repair fetches the rest.
    void landUncheckedPages();
    // The page record of revision: the glass's, else the hand's; an empty one when neither
    // side holds it. recordFor makes the hand's the record of a revision neither side holds.
    const PageRecord& pagesOf(const QString& revision) const;
    PageRecord& recordFor(const QString& revision);
    // A page failed on its own is out: in the revision on glass while its wait runs, in the
    // revision in hand until its record is taken afresh.
    bool outForOwnFault(const PageRecord& pages, int index) const;
    void noteOwnFailure(PageRecord& pages, int index);
    // The service answers again after an outage that was said, which began lostForMs ago: a page
    // of the revision on glass that failed for the first time since failed as likely for the
    // outage as for itself.
    void endOutageFailureWaits(qint64 lostForMs);
    void waitAsPassedOver(const QString& sha256, const QString& code);
    // Repair runs while pages of the revision on glass are passed over for an object their
    // origin withholds: one at once (now), else after a wait that grows with each run.
    bool withheldPagesUnlanded() const;
    void armRepairRun(bool now);
    // After a run: one that landed something starts the waits over, one that landed nothing (or
    // could not start) makes them longer.
    void armRepairRunAfter(bool landed);
    void repairRunFired();
    void noteAdmitted(const QSet<int>& admitted);
    void cancelRetainedInventory();
    // waitMs: a back-off the fetch waits out before it looks at its first object.
    void beginReplacement(Manifest manifest, QByteArray manifestBody, bool revisionChange,
                          bool activateWhenDrained, int attempt, qint64 waitMs = 0);
    void pumpReplacement();
    void tryActivateReplacement();
    void finishObjectRepair();
    // serverDelayMs: what the service asked for with Retry-After, -1 when it said nothing;
    // unanswered: the request got no answer at all.
    void noteReplacementUnreachable(qint64 serverDelayMs = -1, bool unanswered = false);
    // An object a one-pass run did not get: it waits on its own, and the run goes on without it.
    void leaveForLaterRun(const QString& sha256, qint64 serverDelayMs = -1,
                          bool unanswered = false);
    // An object's own wait, until untilMs (monotonic), after no answer or after the origin's.
    void beginObjectWait(const QString& sha256, qint64 untilMs, bool unanswered);
    // The service answers again after an outage: the waits that followed no answer end.
    void endUnansweredWaits();
    void unansweredWaitsPutOffEnded();
    void abortReplacementIdle();
    // The fetch of a revision taken in behind glass, running or set aside for a repair run;
    // null when there is none.
    const ReplacementFetch* revisionFetch() const;
    // A repair run is over: a held revision's fetch it set aside goes on.
    void endObjectRepair();
    // When the first wait of the missing objects among digests ends: 0 when none waits, or when
    // one is missing with no wait to run out (its origin errored and it was not left alone, or
    // its wait is over), so that nothing is gained by waiting.
    qint64 lackedObjectsWaitEndMs(const QSet<QString>& digests) const;
    qint64 lackedObjectsWaitEndMs(const ReplacementFetch& fetch) const;
    // The same for the objects of the pages on glass that repair runs look for.
    qint64 withheldObjectsWaitEndMs() const;
    void cancelReplacement();
    // The pages of a drained revision fetch in the order to prepare them: those all of whose
    // objects it found or landed first, then those still lacking one.
    QList<int> preparationOrder(const ReplacementFetch& fetch);
    void rememberFetchLocal(const ReplacementFetch& fetch);
    // The objects of a fetch it neither found nor landed, but for those no fetch asks for again.
    QSet<QString> fetchLacks(const ReplacementFetch& fetch) const;
    // Some page eligible now has every object the fetch found or landed.
    bool wholePageOf(const ReplacementFetch& fetch) const;
    // An answer names the revision in hand, which nothing takes on: it is tried once more.
    void retakeIdleRevision(const QString& named);
    // Some page of manifest eligible now may yet be prepared: it failed for no fault of its own,
    // and every object of it not in local may still be fetched.
    bool mayComeWhole(const Manifest& manifest, const QSet<QString>& local) const;
    void dropRefusedFetches(ReplacementFetch& fetch) const;
    // Digests a running replacement or repair, or a fetch set aside, needs: no prune made for a
    // candidate may take them.
    QSet<QString> replacementKeepKeys() const;
    void continueStagedPlan();
    void admitLandedPages();
    void completeStagedPlanIfReady();
    bool holdForUnavailableAnchor(const QString& sha256, const QString& code);
    // The recovery sweep: once a minute, and after every candidate or fetch that ends.
    void postRecoverySweep();
    void runRecoverySweep();
    RecoverySnapshot recoverySnapshot() const;

    // === Activation, rotation, media timing, reports, candidate failure (PlayerPlayback.cpp) ===
    void failCandidate(const QString& code);
    void skipFailedPage(int failed, const QString& code, const Manifest& manifest,
                        const QByteArray& manifestBody, bool revisionChange);
    void passOverPage(const PreparedPage& failed, const QString& code);
    // A new revision held for an object its origin did not give keeps coming in after a back-off
    // that grows with each round, unless a newer one is already on its way (false).
    bool holdRevisionForRetry(Manifest manifest, QByteArray manifestBody);
    void cancelPendingStep(const char* reason);
    void candidateDeadlineReached();
    void activateCandidate();
    void beginIncomingTransition(int outgoingSlot, int durationMs);
    void applySwipeEndPose(int outgoingSlot, int durationMs);
    void transitionEnded();
    bool incomingEntryRunning() const;
    void finishIncomingEntry();
    void retireOutgoingSlot();
    void pruneRetiredContent();
    void armObjectEnter();
    void setTransitionDurationMs(int ms);
    void setSlotPose(int slot, double opacity, int xPermille, int yPermille);
    void latchOverlayFailure(const QString& code);
    void pageTimerFired();
    void scheduleAdvance();
    void advancePage();
    void commitPageAdvance();
    // A candidate went away: a page whose turn waited for a revision change's try turns once no
    // candidate of it is left.
    void postOwedTurn();
    bool owedTurnDue() const;
    // The page on glass failed in this showing.
    bool glassPageFailed() const;
    // Pages of the manifest eligible now by schedule, page type and storage plan; the second
    // form asks it of the active manifest.
    QList<int> eligibleNow(const Manifest& manifest) const;
    QList<int> eligibleNow() const;
    // By schedule and page type only, whatever the storage plan admits.
    QList<int> scheduledNow(const Manifest& manifest) const;
    QList<int> rotatableNow(const Manifest& manifest) const;
    // The revision of the page on glass; empty while none plays.
    QString glassRevision() const;
    bool advanceChangesNothingVisible(int next) const;
    void armVisibilityWatch();
    void mediaItemDeadlineReached();
    void scheduleMediaItemDeadline();
    void handleMediaItemEnded(const QString& primitiveId);
    void rematchActiveMedia(const QString& primitiveId);
    static QString mediaCursorKey(const QString& pageId, const QString& primitiveId);
    int seededMediaIndex(const QString& pageId, const Primitive& primitive) const;
    int visibleMediaIndex(const QString& pageId, const Primitive& primitive) const;
    void seedVisibleMedia(const Page& page);
    void applyVisibleMediaItems(Page& page) const;
    void evaluateVisibility();
    void reportPageFailed(const Manifest& manifest, int page, const QString& code);
    void clearReportedPageFailures(const QString& pageId);
    // What is kept per revision and page (failures reported, pages held) is kept for these two
    // revisions only.
    void keepPageFactsOf(const QString& glass, const QString& hand);
    void reportMediaStarted(const QString& primitiveId);
    QString mediaStartKey(const QString& primitiveId, const QString& mediaId) const;
    void reportHeldVideoStarts(int slot);
    void reportVisibleImageStarts();
    void flushPendingMediaStarts();
    void handlePlaybackReportFailed(const QString& mediaId, const QString& revision,
                                    const QString& pageId, int status);

    // === Soundtrack (PlayerSoundtrack.cpp) ===
    void syncSoundtrack(const Manifest& manifest, const Page& page);
    QSet<QString> soundtrackHashes() const;
    void fetchSoundtrack();
    void runSoundtrack(SoundtrackSequencer::Command command);
    void soundtrackTrackFailed(const QString& code);
    void stopSoundtrack();
    void cancelSoundtrackFetch();
    void applySoundtrackGain();
    double soundtrackGain() const;
    // askedMs: how long the origin asked the player to wait, -1 when it did not ask.
    void armSoundtrackRefetch(qint64 askedMs = -1);
    void downloadSoundtrackTrack(const SoundtrackTrack& track, quint64 generation,
                                 const std::shared_ptr<PartialDownload>& partial);
    void finishSoundtrackDownload(const ContentDownload& download, const SoundtrackTrack& track,
                                  quint64 generation);
    void verifySoundtrackTrack(const SoundtrackTrack& track, quint64 generation,
                               const std::shared_ptr<PartialDownload>& partial);
    void soundtrackTrackLanded(const QString& sha256, const QString& path);

    // === Operator keys (PlayerOperator.cpp) ===
    // A step of the page on glass (direction 1 next, -1 previous); operatorChord: the Ctrl+Alt
    // chord, which web pages do not keep for themselves. Queued while a candidate is prepared.
    bool stepPage(int direction, bool operatorChord, const QString& origin);
    bool togglePlaybackPause(bool operatorChord);
    void expirePauseHold();

    // === Requests from web applications (PlayerApplications.cpp) ===
    void handleActivationReportFailed(const QString& revision, const QString& code);
    // Whom a request from this slot speaks for: the application primitive of the page on glass
    // or of the page being prepared there (null for anything else), and the generation its
    // placement was given, under which it claims its answers.
    struct ApplicationSource {
        const Primitive* primitive = nullptr;
        bool onGlass = false;
        quint64 generation = 0;
    };
    // A write or event of an application whose page is being prepared.
    struct HeldApplicationRequest {
        quint64 generation = 0;
        QString primitiveId;
        QString requestId;
        QString code;        // an event's
        QVariantMap request; // a key-value write's
        bool event = false;
    };
    ApplicationSource applicationSource(int slot, const QString& primitiveId) const;
    static QString applicationRequestKey(quint64 generation, const QString& primitiveId,
                                         const QString& requestId);
    // False when the application already has as many of that kind waiting as its wrapper lets
    // it have.
    bool holdApplicationRequest(HeldApplicationRequest request);
    // Activation's part: the held requests of the page now on glass go out, others are refused.
    void releaseHeldApplicationRequests();
    // The candidate's end: nothing held will reach glass.
    void refuseHeldApplicationRequests();
    void refuseHeldApplicationRequest(const HeldApplicationRequest& held);
    // The session handler's part, and any answer of the service's: the activation report that
    // failed, sent again.
    void resendPendingActivation();

    // === Screenshots (PlayerScreenshots.cpp) ===
    void handleScreenshotRequested(const ScreenshotRequest& request);
    void handleScreenshotUploaded(const QString& captureId);
    void handleScreenshotFailureReported(const QString& captureId);
    void handleScreenshotReplaced(const QString& captureId);
    void handleScreenshotUploadFailed(const QString& captureId, const QString& code);
    void finishScreenshot(const ScreenshotRequest& request, const QByteArray& bytes);
    void failScreenshot(const QString& captureId, const QString& code, bool refused);
    void closeScreenshotOp(const QString& captureId, bool success, const QJsonObject& fields,
                           const QJsonObject& error);
    // The operation-log record of one capture, open until the service's answer for it.
    struct ScreenshotOp {
        QString id;
        qint64 startedMs = 0;
    };

    // === Ad planning, resolve and leases (PlayerAds.cpp) ===
    bool adsActive() const;
    bool adActive() const;
    qint64 adNowLoMs() const;
    // The ad presentation on glass shows this primitive of the page of this generation.
    bool adPresentationShows(const QString& primitiveId, quint64 generation) const;
    // Whether the ad on glass ran its course: its video reached its end, or its image its dwell.
    bool adPresentationCompleted(bool endOfStream) const;
    // An image ad of the page of this generation is on glass.
    bool adImageOnGlass(quint64 generation) const;
    // Whether an ad visit may take the glass; the readiness gate holds a candidate for it.
    bool adVisitAdmitted() const;
    qint64 adNowHiMs() const;
    qint64 adPlanningNowMs() const;
    QDateTime adEvidenceStamp() const;
    AdOccurrence* occurrenceForPage(const QString& pageId);
    AdOccurrence* occurrenceForId(const QString& occurrenceId);
    AdOccurrence* occurrenceForDecisionId(const QString& decisionId);
    bool adslotPageEligible(int pageIndex, qint64 nowMs) const;
    QList<int> upcomingAdslotRun(int fromIndex, int toIndex) const;
    // Hints hold on the transport's monotonic clock: until then a page is not asked for again.
    bool hintValid(const QString& pageId, qint64 monotonicMs) const;
    void holdAdPage(const QString& pageId, qint64 holdMs);
    AdForecastCandidate forecastCandidateFor(const AdOccurrence& occurrence, qint64 nowMs) const;
    bool resolveSendAllowed() const;
    bool sendResolveBatch(const QList<AdForecastCandidate>& batch);
    void planAds();
    bool adMaintenanceStopped() const;
    qint64 adPageRemainingMs() const;
    QString adPageOnGlass() const;
    void adPlannerTick();
    void handleAdSlotsResolved(const AdResolveReply& reply);
    void handleAdSlotsResolveFailed(const QString& code, int status, bool retryable,
                                    qint64 retryAfterMs);
    void applyAdRenewal(AdOccurrence& occurrence, const AdResolveResult& result,
                        const QDateTime& nowStamp);
    void maybeRenewReadyLeases(qint64 nowMs);
    void releaseUnplayedAdReservation(AdOccurrence& occurrence);
    void resetAdPlanning(const QString& reason);
    void setAdState(AdOccurrence& occurrence, AdOccurrence::State state);

    // === Ad content download (PlayerAdContent.cpp) ===
    void downloadAdContent(AdOccurrence& occurrence);
    void fetchAdContent(const AdOccurrence::Resolved& decision);
    void cancelAdDownloads();
    void cancelAdDownload(const QString& decisionId);
    void commitAdContent(const std::shared_ptr<StorageFiles::UniqueFd>& source,
                         const AdOccurrence::Resolved& decision);
    AdOccurrence* preparingOccurrence(const AdOccurrence::Resolved& decision);
    void retireAdPreparation(const QString& decisionId, const QString& code);
    void pruneAdCache();
    void discardAdCacheLeftovers();

    // === Ad event reporting (PlayerAdEvents.cpp) ===
    void enqueueAdEvent(const QString& kind, qint64 durationMs);
    void queueAdEvent(AdEventRecord record);
    void flushAdOutbox();
    void handBackAdEventBatch();
    void handleAdEventsReported(const QList<AdEventOutcome>& outcomes);
    void handleAdEventsReportFailed(const QString& code, int status, bool retryable,
                                    qint64 retryAfterMs);
    // Queues the end of a visit that a stop or a crash cut, as the outbox kept it.
    void endAdVisitCutShort();

    // === Ad presentation and evidence (PlayerAdPresentation.cpp) ===
    void prepareAdPresentation(AdOccurrence& occurrence);
    bool tryAdVisitRun(int from, int to);
    void beginAdPresentation(quint64 generation, const QString& occurrenceId,
                             const QString& decisionId, const QString& primitiveId);
    void adReportFirstFrame();
    void interruptAdPresentation();
    void finishAdPresentation(bool completed);
    void endAdVisit(bool advance);
    void adStallTick();
    bool adCandidateStaged() const;
    bool adStagedFor(const QString& occurrenceId) const;
    void yieldAdCandidate();
    void stageAdAfterEntry();
    void abandonAdCandidate(const PreparedPage& failed, const QString& code);
    void expireAdOccurrence(AdOccurrence& occurrence);

    // ------------------------------------------------------------------------------------------
    // Members, in construction order.

    // The time every unit reads; first, since the stopwatches below measure with it.
    std::shared_ptr<const PlayerClock> clock_;

    // --- Page rotation ---
    PlayerStopwatch pageClock_;
    int pageDwellMs_ = 0;
    int pendingStepDirection_ = 0;
    QString pendingStepOrigin_;
    QString advanceReason_ = QStringLiteral("assignment");

    // --- Where the player runs (viewport and observation) ---
    QUrl origin_;
    QString stateDirectory_;
    QSizeF frameSize_;
    double pixelRatio_ = 1.0;
    bool viewportExclusiveOutput_ = false;
    // What the service was told last; cleared when the screen is wiped for re-pairing.
    std::optional<Observation> lastObservation_;
    bool gpuVideoAvailable_ = false;

    // --- The service, the stores and the caches ---
    RuntimeTransport transport_;
    NativePlayerIdentityStore identityStore_;
    PersistentState state_;
    std::shared_ptr<ContentCache> contentCache_;
    std::shared_ptr<ApplicationPackageCache> applicationCache_;
    CacheIoQueue contentIo_;
    std::shared_ptr<std::atomic<bool>> candidateCancel_;
    std::shared_ptr<std::atomic<bool>> activePlaybackCancel_;

    // --- Soundtrack ---
    SoundtrackEngine soundtrackEngine_;
    SoundtrackSequencer soundtrackSequencer_;
    // The soundtrack of the manifest on glass, and the revision it was installed for.
    std::optional<Soundtrack> activeSoundtrack_;
    QString soundtrackRevision_;
    // Content hash -> verified local file. Outlives soundtracks; a track that fails to play
    // loses its entry, so its file is checked and fetched again.
    QHash<QString, QString> readyTrackFiles_;
    quint64 soundtrackFetchGeneration_ = 0;
    QNetworkReply* soundtrackReply_ = nullptr;
    bool soundtrackFetchInFlight_ = false;
    // Raised and replaced by every fetch reset, so an older fetch's queued jobs are dropped.
    std::shared_ptr<std::atomic<bool>> soundtrackCancel_;
    QTimer soundtrackFetchTimer_;

    // --- Phase ---
    PlayerState playerState_;

    // --- Stages, operator and overlay geometry ---
    StageLayoutModel stageA_;
    StageLayoutModel stageB_;
    OperatorPanel operatorPanel_;
    OperatorPlaybackPolicy playbackPolicy_;
    OverlayGeometry overlayGeometry_;

    // --- Candidate and background fetches (content pipeline) ---
    std::optional<PreparedPage> candidate_;
    quint64 nextCandidateGeneration_ = 0;
    QSet<QNetworkReply*> candidateReplies_;
    std::optional<ReplacementFetch> replacement_;
    std::shared_ptr<std::atomic<bool>> replacementCancel_;
    QTimer replacementPumpTimer_;
    QTimer replacementIdleTimer_;
    QTimer candidateDownloadRetryTimer_;
    QTimer repairRunTimer_;
    QTimer recoverySweepTimer_;
    bool recoverySweepPosted_ = false;
    // Monotonic ms since nothing has been on glass.
    qint64 darkSinceMs_ = 0;
    // What the last background fetch of fetchLocalRevision_ found in the caches or landed.
    QSet<QString> fetchLocal_;
    QString fetchLocalRevision_;
    std::optional<Manifest> retainedManifest_;
    QByteArray retainedManifestBody_;
    QList<int> retainedPages_;
    int retainedPosition_ = 0;
    bool retainedRestoreActive_ = false;
    std::shared_ptr<std::atomic<bool>> retainedCancel_;
    // Bumped by every cancellation of a restore; a verification of an older one is dropped.
    quint64 retainedGeneration_ = 0;
    // A page of this restore was handed to preparation.
    bool retainedPresented_ = false;
    // Counts fetches; a fetch's generation is the count with bit 63 set, never a candidate's.
    quint64 replacementGeneration_ = 0;
    QString currentMediaItem_;
    // Digests whose download failed hard once in this revision.
    QSet<QString> retriedOnceHashes_;
    // Digests whose bytes or entry were wrong at their second hard failure in this revision,
    // with that code: no candidate or background fetch asks for them again until the revision
    // changes.
    QHash<QString, QString> givenUpHashes_;
    // Digests answered 429 or 503 in this revision, with the retries that answer was given.
    QHash<QString, int> throttledRetries_;
    // The page records of the revision on glass and of the revision in hand (the last one
    // taken in that is not on glass), which becomes the glass's when it goes on glass.
    PageRecord glassPages_;
    PageRecord handPages_;
    // A held revision's fetch set aside, asleep between its rounds, while a repair run of the
    // revision on glass runs, and when its sleep ends (monotonic ms).
    struct ParkedFetch {
        ReplacementFetch fetch;
        qint64 dueMs = 0;
    };
    std::optional<ParkedFetch> parkedFetch_;

    // --- Media transfers and the readiness gate ---
    QSet<QNetworkReply*> replacementReplies_;
    std::optional<MediaItem> candidateRetryItem_;
    quint64 candidateRetryGeneration_ = 0;
    // The back-off attempt of deferrals and held revisions; back to 0 after a candidate
    // download binds, when a repair run lands an object that waited, and when a new revision
    // goes on glass.
    int downloadAttempt_ = 0;
    // The candidate's own download retries, from 0 for each candidate.
    int candidateRetryAttempt_ = 0;
    // Pages held once in their revision for an object their origin did not give, keyed by
    // revision and page id like reported failures, until they play.
    QSet<QString> downloadHeldPages_;
    // Digests the origin answered with an HTTP error in this revision, until they land: a page
    // passed over for one of them is reported, one whose origin did not answer is not.
    QSet<QString> erroredHashes_;
    // Those of them the origin itself refused (originRefused): a first fetch behind glass that
    // got such an answer knows its origin is up.
    QSet<QString> refusedHashes_;
    // Runs that landed nothing since one landed something or a new revision went on glass.
    int repairRunAttempt_ = 0;
    qint64 repairRunDueMs_ = 0;
    // Digest -> monotonic ms before which its origin counts as unreachable: a step of the wall
    // clock neither stretches nor cuts the wait.
    QHash<QString, qint64> unreachableUntil_;
    // Digest -> the back-off attempt of its own wait in one-pass runs, until it lands or the
    // revision changes.
    QHash<QString, int> unreachableAttempts_;
    // Digests whose own wait followed a request that got no answer at all (refused, closed,
    // silent, a page in the origin's place), and when the service's answering again last ended
    // such waits (monotonic ms).
    QSet<QString> unansweredWaits_;
    std::optional<qint64> unansweredWaitsEndedMs_;
    // Runs while an end of them is put off to the spacing's end.
    QTimer unansweredWaitsTimer_;
    bool retainedAwaitingCandidate_ = false;

    // --- Application package downloads ---
    // The candidate's package download waiting for its back-off.
    QTimer packageRetryTimer_;
    struct PackageRetry {
        Primitive primitive;
        quint64 generation = 0;
        int attempt = 0;
    };
    std::optional<PackageRetry> packageRetry_;
    // Packages the installer refused for what their archive holds, with its code: the same
    // bytes would be refused again, so they are not downloaded again while the process lives.
    QHash<QString, QString> refusedPackages_;

    // --- Page on glass ---
    std::optional<Manifest> activeManifest_;
    QByteArray activeManifestBody_;
    int activePageIndex_ = -1;
    int pendingPageIndex_ = -1;
    quint64 visitSerial_ = 0;
    // The candidate generation that went on glass, and the local file bound for each of its
    // primitives.
    quint64 activeGeneration_ = 0;
    QHash<QString, QUrl> activeMediaUrls_;
    // A network manifest named another playlist than the one on glass; activation reads it.
    bool playlistChangedMark_ = false;
    QHash<QString, int> mediaItemCursors_;
    QHash<QString, int> visibleMediaItems_;
    // Page failures already reported, keyed by revision and page: those of the revisions on
    // glass and in hand are kept.
    QSet<QString> reportedPageFailures_;
    // The revision the object facts (retriedOnceHashes_ and the others beside it) are kept for.
    QString bookkeepingRevision_;
    int activeSlot_ = -1;
    double opacityA_ = 0.0;
    double opacityB_ = 0.0;
    int translateXPermilleA_ = 0;
    int translateYPermilleA_ = 0;
    int translateXPermilleB_ = 0;
    int translateYPermilleB_ = 0;
    int transitionDurationMs_ = 0;
    QString transitionType_ = QStringLiteral("crossfade");
    bool objectEnterArmed_ = false;
    int objectEnterSerial_ = 0;
    // Digests planned for the page on glass, and for the page it replaced until that retires.
    QSet<QString> activePackageKeys_;
    QSet<QString> outgoingPackageKeys_;
    QSet<QString> activeContentKeys_;
    QSet<QString> outgoingContentKeys_;
    // Retirement evicts unused objects until the volume has this much free.
    qint64 retiredPruneMinFreeBytes_ = 268435456;
    // The activation report waiting for a retry.
    QString pendingActivationRevision_;
    bool activationRetryArmed_ = false;
    // Writes and events of applications on the page being prepared, in arrival order.
    QList<HeldApplicationRequest> heldApplicationRequests_;
    // The showing (activeGeneration_) whose page was already reported hidden by its schedule.
    quint64 hiddenReportedGeneration_ = 0;
    // The showing (activeGeneration_) whose page failed on glass.
    std::optional<quint64> failedShowing_;
    // The page of this showing was due to turn (its dwell ran out, or its media ended) while a
    // revision change's candidate was tried, and why it was: it turns once none is left.
    struct OwedTurn {
        quint64 showing = 0;
        QString reason;
    };
    std::optional<OwedTurn> owedTurn_;
    // The page the one on glass replaced, with its own manifest (often the previous revision):
    // it stays on the other slot until the transition retires it.
    std::optional<Manifest> outgoingManifest_;
    int outgoingPageIndex_ = -1;
    // The primitive whose dwell armed the media item timer.
    QString mediaItemTimerPrimitive_;
    // Video starts reported by a slot before it went on glass.
    QHash<int, QSet<QString>> heldVideoStarts_;
    // Media starts: sent (start keys), waiting for a session or a retry (primitive ids), sent
    // reports by report key, and start keys already retried once.
    QSet<QString> reportedMediaStarts_;
    QSet<QString> pendingMediaStarts_;
    QHash<QString, QString> mediaStartReportKeys_;
    QSet<QString> retriedMediaStarts_;

    // --- Status ---
    QString status_ = QStringLiteral("starting");

    // --- Pairing ---
    QString pairingCode_;
    QDateTime pairingExpiry_;
    bool pairingHandoff_ = false;
    QString pairingHandoffText_;
    bool pairingCelebrating_ = false;
    QString completionNonce_;
    QString pairingStartKey_;
    // Claim nonces completed in this run, the oldest first in the list: a replay is refused.
    QSet<QString> seenPairingNonces_;
    QStringList seenPairingOrder_;
    int pairingStartFailures_ = 0;
    int pairingStartCount_ = 0;
    // When the last rotation for an expired code took effect (monotonic ms), to space the next.
    std::optional<qint64> pairingExpiredRotationMs_;
    QTimer celebrationTimer_;
    QStringList hostIdentifyLines_;

    // --- Overlay state ---
    bool online_ = false;
    bool paymentRequired_ = false;
    bool screenArchived_ = false;
    bool mintInFlight_ = false;
    bool sessionFault_ = false;
    bool verifyFault_ = false;
    bool storageFault_ = false;
    bool decodeFault_ = false;
    bool holdObserved_ = false;
    qint64 holdSinceMs_ = 0;
    bool assignmentHeld_ = false;
    // The revision of the update the hold was last observed for.
    QString holdRevision_;
    std::optional<qint64> creditsRemaining_;
    ChipState chip_;
    NoticeState notice_;
    overlay::OverlayMemory overlayMemory_;
    bool repairNeeded_ = false;
    bool identityFault_ = false;
    bool upgradeNoticePublished_ = false;
    overlay::UpgradeNoticeState upgradeNotice_;

    // --- Surfaces ---
    bool toastVisible_ = false;
    bool toastRaisedByOverlay_ = false;
    bool identifyVisible_ = false;
    bool startupAnimationPending_ = false;
    bool splashVisible_ = false;
    bool splashRetiring_ = false;
    FatalSurface::Code fatalCode_ = FatalSurface::None;
    double splashOpacity_ = 1.0;
    QString screenLabel_;
    QDateTime offlineSince_;

    // --- Session, pairing, playback and surface timers ---
    QTimer pairingStartTimer_;
    QTimer pairingEventsRetryTimer_;
    QTimer pairingExpiryTimer_;
    QTimer pairingCompletionRetryTimer_;
    QTimer sessionRetryTimer_;
    QTimer transitionEndTimer_;
    QTimer pageTimer_;
    QTimer mediaItemTimer_;
    QTimer candidateDeadlineTimer_;
    QTimer rendererRecoveryTimer_;
    QTimer visibilityTimer_;
    QTimer pauseHoldTimer_;
    QTimer adPlannerTimer_;
    QTimer adStallTimer_;
    QTimer adOutboxFlushTimer_;
    QTimer toastTimer_;
    QTimer identifyTimer_;
    QTimer splashTimer_;
    // Looks again at a state directory that could not keep the player's files.
    QTimer localStateRetryTimer_;
    // The new identity could not be made or read there: the retry tries that step too.
    bool identityRefused_ = false;
    QTimer assignmentHoldTimer_;
    // Publishes the overlay again when an offline stretch reaches the contract's bound.
    QTimer offlineChipTimer_;
    QTimer eventFetchTimer_;
    QTimer syncGlyphTimer_;

    // --- Splash and sync glyph ---
    PlayerStopwatch splashClock_;
    SyncGlyph syncGlyph_;

    // --- Device session ---
    int sessionRetryCount_ = 0;
    qint64 sessionRetryDelayMs_ = -1;
    bool mintAbortedByWatchdog_ = false;
    bool knownBound_ = false;
    bool boundPersistPending_ = false;
    int boundPersistAttempts_ = 0;
    QString mintIdempotencyKey_;
    int mintGeneration_ = 0;
    // Monotonic ms of the last mint, like every wait kept in memory only.
    qint64 lastMintAtMs_ = 0;
    int remintBackoffCount_ = 0;
    QList<qint64> proofInvalidTimes_; // monotonic ms
    bool sessionRevokedWhilePlaying_ = false;
    // The operator was told that the service refuses this screen; told once more when it takes
    // the screen again, unless the screen's identity was reset meanwhile.
    bool screenRefusalSaid_ = false;
    int enrollmentBindDepth_ = 0;
    int mintsDuringBind_ = 0;
    QString eventCursor_;
    QTimer boundRetryTimer_;
    QTimer mintWatchdogTimer_;
    QTimer reloadTimer_;
    QTimer safetyPollTimer_;

    // --- Toast content ---
    QString toastLevel_;
    QString toastText_;
    QColor toastFill_;

    // --- Reloads and the manifest validator ---
    RuntimeCompat::ReloadLedger reloadLedger_;
    QString pendingReloadId_;
    ManifestValidator manifestValidator_;

    // --- Manifest intake ---
    bool manifestRouteV2_ = false;
    // Monotonic ms of the first failure of an outage; 0 while the service answers.
    qint64 firstFailureAtMs_ = 0;
    bool manifestFailureHold_ = false;
    int manifestFailureCount_ = 0;
    qint64 lastEventFetchAtMs_ = 0;
    // The service's events asked for the manifest while it was being fetched: one more fetch
    // follows the answer, however many they were.
    bool manifestFetchOwed_ = false;
    // The route of the fetch sent last: a failure does not say which route it was for.
    QString manifestFetchRoute_;
    // When the service last answered a manifest request, and when the wait it asked for with
    // that answer ends (monotonic ms; 0 when it asked for none).
    std::optional<qint64> manifestAnsweredAtMs_;
    qint64 manifestWaitAskedUntilMs_ = 0;

    // --- Screen state: unpairing and reloads ---
    QString releaseVersion_;
    bool unpairInFlight_ = false;
    bool sessionRetryWasPending_ = false;
    qint64 savedSessionRetryMs_ = 0;
    QString deferredReloadId_;
    // A wipe whose enrolled marker could not be deleted yet: retried with back-off, and the
    // wipe finishes once the marker is gone.
    bool boundClearPending_ = false;
    bool wipeResetsIdentity_ = true;
    int boundClearAttempts_ = 0;
    QTimer boundClearRetryTimer_;

    // --- Ad slots and frame evidence ---
    // The serial of the page activation put on glass last, and what the render thread made of
    // it: the serial at the last scene sync, and the one whose frame was presented.
    std::atomic<quint64> sceneSerial_{0};
    std::atomic<quint64> syncedSerial_{0};
    std::atomic<quint64> presentedSerial_{0};
    std::atomic<bool> presentPending_{false};
    AdOutbox adOutbox_;
    std::shared_ptr<ContentCache> adCache_;
    CacheIoQueue adIo_;
    std::shared_ptr<std::atomic<bool>> adCancel_;
    // Creative downloads, with their decision ids: apart from the candidate's, whose failure must
    // not abort them.
    QHash<QNetworkReply*, QString> adReplies_;
    // Planning: one occurrence per forecast adslot page, in planning order.
    QList<AdOccurrence> adOccurrences_;
    quint64 adPlanningGeneration_ = 0;
    // The planning generation of the last resolve sent; an answer counts only while they agree.
    quint64 adResolveGeneration_ = 0;
    bool adResolveInFlight_ = false;
    // Page id -> the transport's monotonic ms before which the page is not asked for again.
    QHash<QString, qint64> adPageHints_;
    QString adPlannedAtPage_;
    // Creatives in a row that could not be written here; each holds its page longer.
    int adLocalWriteFaults_ = 0;
    // Reporting: the batch in flight, empty once settled or handed back; and whether the
    // transport still carries a report, answered or not, which holds the next one back.
    QList<AdEventRecord> adEventBatch_;
    bool adReportOutstanding_ = false;
    // Reports that failed in a row, and the transport's monotonic time before which none is sent.
    int adReportAttempt_ = 0;
    qint64 adReportNotBeforeMs_ = 0;
    // Whether the outbox has been rid of events a day old by the service's clock in this run.
    bool adOutboxAged_ = false;
    // The visit on glass, as planning and reporting read it.
    bool adActive_ = false;
    bool adRunRequested_ = false;
    QString adVisitOccurrenceId_;
    AdOccurrence::Resolved adVisitDecision_;
    QString adVisitMediaDigest_;
    qint64 adVisitDurationMs_ = 0;
    qint64 adLastProgressMs_ = -1;
    qint64 adStartedAtMs_ = 0;
    PlayerStopwatch adFirstFrameClock_{*clock_};
    // The visit's page serial and primitive, the advance object of its page, when it began,
    // the visit-clock reading at the last forward move of the video, and a first frame that
    // waits for its scene to be presented.
    quint64 adVisitSerial_ = 0;
    QString adVisitPrimitiveId_;
    QJsonObject adAdvance_;
    PlayerStopwatch adVisitClock_{*clock_};
    qint64 adLastProgressAtMs_ = 0;
    bool adFirstFramePending_ = false;
    // The first-frame clock's reading when the outbox last recorded the visit as on glass.
    qint64 adVisitSeenMs_ = 0;
    // An occurrence that became ready while the page on glass was still coming in.
    QString adStagedAfterEntry_;
    // Every change of an occurrence's state, with the state it left (tests watch the life cycle).
    std::function<void(const AdOccurrence&, AdOccurrence::State)> adStateObserver_;

    // --- Storage planning and reports ---
    StorageTransferLedger transferLedger_;
    std::optional<StoragePlanRecord> activeStoragePlan_;
    std::optional<StoragePlanRecord> pendingStoragePlan_;
    QTimer storageSampleTimer_;
    // While a revision waits for room, the sample looks again every minute.
    QTimer roomWaitTimer_;
    std::shared_ptr<std::atomic<bool>> storagePlanCancel_;
    quint64 storagePlanGeneration_ = 0;
    bool storagePlanRunning_ = false;
    // The revision the planning run under way is for.
    QString storagePlanRevision_;
    // When re-plans of the revision on glass shrank or grew it (monotonic ms), for the planner's
    // cycle limit.
    QList<qint64> storageCycleTimes_;
    std::optional<StorageSample> storageSample_;
    QJsonObject lastStorageReport_;
    // How planning jobs measure the volume that holds the state directory.
    std::function<VolumeSpace(const QString&)> measureVolume_ = measureVolumeOf;
    // Pages of cachedRevision_ found with every object in the caches and verified: they play
    // whatever a plan says of room, since showing them downloads nothing.
    QSet<int> cachedPages_;
    QString cachedRevision_;
    // A new revision that waits for room: refused by its plan, or its candidate held because
    // the volume could not take a download. The storage sample plans it again.
    struct RoomWait {
        Manifest manifest;
        QByteArray manifestBody;
    };
    std::optional<RoomWait> roomWait_;
    // The new revision the pending plan belongs to, until it goes on glass: what the recovery
    // sweep holds again when nothing else would.
    std::optional<RoomWait> pendingRevision_;
    // The revision the operator was told is refused for room, until told room returned.
    QString roomRefusedRevision_;
    // The free bytes the volume had when a plan last refused for room: the minute's look plans
    // again only once it has more. None: the next look plans.
    std::optional<qint64> roomRefusedFree_;
    // The kinds of write error (error numbers) the operator has been told of since a download
    // last wrote.
    QSet<int> writeFaultsSaid_;
    // The revision on glass as its activation could not write it as the last known good, with
    // the route and entity tag it came by; written at each end of a dwell and each storage sample
    // until it goes through. The operator is told once while the writes fail.
    struct OwedLastKnownGood {
        QString revision;
        QString route;
        QByteArray etag;
    };
    std::optional<OwedLastKnownGood> lastKnownGoodOwed_;
    bool lastKnownGoodFaultSaid_ = false;

    // --- Screenshots ---
    ScreenshotCaptureGate screenshotGate_;
    // Open operations by capture id: a newer request may take the gate while an older upload is
    // still out, and each answer closes only its own capture's operation.
    QHash<QString, ScreenshotOp> screenshotOps_;
    // What is on glass, grabbed on the GUI thread; tests hand in their own picture.
    std::function<QImage()> screenshotGrab_;
};

} // namespace talvorine
