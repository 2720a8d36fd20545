#include "app/PlayerComposition.h"

#include "app/DebugWindowSizer.h"
#include "app/HostContext.h"
#include "app/PlatformEnvironment.h"
#include "app/PlayerOpLog.h"
#include "app/PlayerWindowQuitGuard.h"
#include "app/WindowShownWatch.h"
#include "controller/PlayerController.h"
#include "operator/HardwareControls.h"
#include "operator/OperatorPanel.h"
#include "overlay/OverlayContract.h"
#include "overlay/OverlayPolicy.h"
#include "runtime/RuntimeTransport.h"
#include "stage/CapabilityReport.h"
#include "stage/ChromeTokens.h"
#include "stage/FontCatalog.h"
#include "stage/GstPipelineSupport.h"
#include "stage/GstVideoEngine.h"
#include "stage/PictureItem.h"
#include "stage/StageLayoutModel.h"
#include "stage/VideoFrameItem.h"
#include "storage/StorageFiles.h"
#include "storage/VolumeSpace.h"
#include "web/WebPackageSchemeCoordinator.h"
#include "web/WebPlacementChannel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSurfaceFormat>
#include <QTimer>
#include <QtQml/qqml.h>
#include <QtWebEngineQuick>

#ifndef TALVORINE_BUILD_REVISION
#define TALVORINE_BUILD_REVISION "unknown"
#endif

namespace talvorine {

namespace {

bool orDefault(const std::function<bool()>& check, bool (*fallback)())
{
    return check ? check() : fallback();
}

// How a refusal names the origin: quoted, up to the end of its authority, never with a password,
// path or query (a token often sits in those), and saying so when a path or query is not shown.
// Only an '@' in the authority (after "://", up to the first '/', '?' or '#') can end user
// information: one in a path or query is theirs ("/u@TOKEN", "?user=ops@example.org&key=...").
// A value that reads as scheme://authority is named as that URL without its password. Anything
// else is named as typed with everything up to its last '@' ahead of a '?' or '#' masked (a
// password may sit where no URL parser looks for one: "user:secret@host" reads as the scheme
// "user" and a path, and an invalid URL has no text of its own to print), and cut at the first
// '/', '?' or '#' after that. Without a scheme, a '/' before that '@' leaves no telling a host
// from a path, so nothing of it is named.
QString originNamed(const QString& typed, const QUrl& origin)
{
    const QString text = typed.isEmpty() ? origin.toString() : typed;
    static const QRegularExpression withScheme(QStringLiteral("\\A[^:/?#]+://([^/?#]*).*\\z"),
                                               QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch scheme = withScheme.match(text);
    const qsizetype userInfoSeparators = origin.userInfo().isEmpty() ? 0 : 1;
    QString named;
    QString notShown;
    if (origin.isValid() && !origin.scheme().isEmpty() && !origin.host().isEmpty()
        && scheme.hasMatch() && scheme.captured(1).count(u'@') == userInfoSeparators) {
        named = origin
                    .adjusted(QUrl::RemovePassword | QUrl::RemovePath | QUrl::RemoveQuery
                              | QUrl::RemoveFragment)
                    .toString();
        notShown = origin.path() + origin.query();
    } else {
        static const QRegularExpression queryOrFragment(QStringLiteral("[?#]"));
        const QString ahead = text.left(text.indexOf(queryOrFragment));
        const qsizetype at = ahead.lastIndexOf(u'@');
        if (at >= 0 && !scheme.hasMatch() && ahead.left(at).contains(u'/'))
            return QStringLiteral("\"***\"");
        static const QRegularExpression authority(
            QStringLiteral("\\A((?:[^/?#]*://)?[^/?#]*)(.*)\\z"),
            QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch parts = authority.match(text.mid(at + 1));
        named = (at < 0 ? QString() : QStringLiteral("***@")) + parts.captured(1);
        notShown = parts.captured(2);
    }
    const QString quoted = u'"' + named + u'"';
    return notShown.isEmpty() || notShown == QLatin1String("/")
        ? quoted
        : quoted + QStringLiteral(" (path or query not shown)");
}

// The transport drops an origin it cannot use, and the screen says only "Cannot show content",
// or plays its stored content as offline: a fault to mend. One it mends plays, and is said as a
// warning.
void sayOriginProblem(const QString& typed, const QUrl& origin)
{
    const QString problem = RuntimeTransport::originProblem(origin);
    if (problem.isEmpty())
        return;
    const QUrl used = RuntimeTransport::serviceOrigin(origin);
    const QString given = originNamed(typed, origin);
    writeStandardErrorLine(
        (used.isEmpty()
             ? QStringLiteral("Origin %1 is not usable: %2. Start the player with --origin "
                              "https://HOST[:PORT].")
                   .arg(given, problem)
             : QStringLiteral("Origin %1 is not usable as given: %2; the player uses %3.")
                   .arg(given, problem, used.toString()))
            .toLocal8Bit(),
        used.isEmpty() ? JournalPriority::Error : JournalPriority::Warning);
}

// The room on the volume that holds the directory, or on which it would be made; none when
// that cannot be measured.
std::optional<QString> freeSpaceNear(const QString& directory)
{
    QFileInfo existing(QFileInfo(directory).absoluteFilePath());
    while (!existing.exists() && !existing.isRoot())
        existing = QFileInfo(existing.absolutePath());
    const QString path = existing.absoluteFilePath();
    const VolumeSpace space = measureVolumeOf(path);
    return space.total > 0 ? overlay::formatBytes(double(space.available)) : std::nullopt;
}

void sayStateDirectoryProblem(const QString& directory)
{
    QString problem = StorageFiles::directoryProblem(directory);
    if (problem.isEmpty())
        problem = QStringLiteral("its files could not be written");
    if (const std::optional<QString> free = freeSpaceNear(directory))
        problem += QStringLiteral(", with %1 free on its volume").arg(*free);
    // The controller looks at a named directory again, never at a missing name.
    const QString again =
        directory.isEmpty() ? QString() : QStringLiteral("; the player tries it again every 30 s");
    writeStandardErrorLine(QStringLiteral("State directory \"%1\" is not usable: %2. Give "
                                          "--state-dir a directory the player's user may create "
                                          "and write%3.")
                               .arg(directory, problem, again)
                               .toLocal8Bit());
}

// Said where an operator looks, and the stages told to make no web placement.
void refuseWebEngine(const QByteArray& refusal, WebPackageSchemeCoordinator& webPackages)
{
    writeStandardErrorLine(refusal);
    PlayerOpLog::errorLocal(PlayerOpLog::newId(), QStringLiteral("web_engine.start"), 0,
                            {{QStringLiteral("code"), QStringLiteral("web_engine_sandbox_root")},
                             {QStringLiteral("message"), QString::fromLocal8Bit(refusal)}},
                            {});
    webPackages.setEngineRefused(true);
}

} // namespace

PlayerComposition::PlayerComposition(PlayerCompositionSettings settings)
    : settings_(std::move(settings))
    , capabilities_(std::make_unique<CapabilityReport>(nullptr))
{
}

PlayerComposition::~PlayerComposition()
{
    engine_.reset();
    webPackages_.reset();
    volume_.reset();
    brightness_.reset();
    controller_.reset();
    capabilities_.reset();
    // Pipelines of the destroyed scene are still going to NULL on worker threads; a stuck one
    // must not keep the process from exiting.
    gstsupport::waitForPipelineReleases(2000);
}

void PlayerComposition::applyGraphicsDefaults()
{
    configureGstGlEnvironment();
    configureInputMethodEnvironment();
    quietWebEngineStartupReport();
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setAlphaBufferSize(0);
    QSurfaceFormat::setDefaultFormat(format);
    QQuickWindow::setDefaultAlphaBuffer(false);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QtWebEngineQuick::initialize();
}

void PlayerComposition::registerQmlTypes()
{
    static const bool registered = [] {
        const char* module = sceneModule;
        qmlRegisterType<GstVideoEngine>(module, 1, 0, "GstVideoEngine");
        qmlRegisterType<VideoFrameItem>(module, 1, 0, "VideoFrameItem");
        qmlRegisterType<PictureItem>(module, 1, 0, "PictureItem");
        const QString readOnly = QStringLiteral("provided by the player controller");
        qmlRegisterUncreatableType<StageLayoutModel>(module, 1, 0, "StageLayoutModel", readOnly);
        qmlRegisterUncreatableType<OperatorPanel>(module, 1, 0, "OperatorPanel", readOnly);
        WebPlacementChannel::registerQmlType();
        return true;
    }();
    Q_UNUSED(registered);
}

QString PlayerComposition::stateDirectoryFor(const QString& given)
{
    if (!given.isEmpty())
        return QDir::cleanPath(given);
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

// A temporary copy removed at shutdown stays behind after every stop by a signal or a crash, one
// per restart, for as long as a watchdog keeps restarting the player. One copy at a fixed name
// cannot pile up, and leaving it alone when it already holds the bytes spares the storage a
// write at every start.
QString PlayerComposition::keepStartupAnimation(const QString& resource, const QString& directory)
{
    QFile source(resource);
    if (directory.isEmpty() || !source.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = source.readAll();
    const QString path =
        QFileInfo(QDir(directory), QStringLiteral("startup-animation.mp4")).absoluteFilePath();
    if (StorageFiles::readRegularFile(path, bytes.size()) == bytes)
        return path;
    if (!QDir().mkpath(directory)
        || StorageFiles::writeFileAtomically(path, bytes) != StorageFiles::WriteFailure::None)
        return {};
    return path;
}

void PlayerComposition::build()
{
    registerQmlTypes();

    const bool fontsRegistered = orDefault(settings_.registerFonts, [] {
        return FontCatalog::instance().registerApplicationFonts();
    });

    sayOriginProblem(settings_.originAsTyped, settings_.origin);

    const PlayerWindowOptions& window = settings_.window;
    controller_ = std::make_unique<PlayerController>(
        settings_.origin, settings_.stateDirectory, QSizeF(window.width, window.height),
        capabilities_->qmlGpuVideoSinkAvailable(), nullptr, true);
    PlayerController& controller = *controller_;
    controller.setPlayerRelease(QString::fromLatin1(applicationVersion),
                                QStringLiteral(TALVORINE_BUILD_REVISION));
    controller.setHostContext(readHostContext(QString::fromLatin1(applicationVersion),
                                              capabilities_->hostCapabilities()));
    QObject::connect(&controller, &PlayerController::fatalChanged, &controller,
                     [&controller, directory = settings_.stateDirectory] {
                         if (controller.fatalCode() == FatalSurface::LocalStateUnusable)
                             sayStateDirectoryProblem(directory);
                     });

    const auto locate = settings_.locateProgram ? settings_.locateProgram
                                                : std::function<QString(const QString&)>(
                                                    talvorine::locateProgram);
    brightness_ = std::make_unique<HardwareBrightness>(
        nullptr, settings_.backlightRoot, runCommand, locate);
    volume_ = std::make_unique<HardwareVolume>(nullptr, runCommand, locate);
    OperatorPanel* panel = controller.operatorPanel();
    QObject::connect(brightness_.get(), &HardwareLevelControl::backendResolved, panel,
                     [panel](const QString&, bool hardware) {
                         panel->setHardwareBrightness(hardware);
                     });
    QObject::connect(volume_.get(), &HardwareLevelControl::backendResolved, panel,
                     [panel](const QString&, bool hardware) { panel->setHardwareVolume(hardware); });
    QObject::connect(panel, &OperatorPanel::brightnessChanged, brightness_.get(),
                     &HardwareLevelControl::apply);
    QObject::connect(panel, &OperatorPanel::volumeChanged, volume_.get(),
                     &HardwareLevelControl::apply);
    QObject::connect(panel, &OperatorPanel::changed, panel,
                     [panel] { GstVideoEngine::setPlayerVolume(panel->mediaVolume()); });
    GstVideoEngine::setPlayerVolume(panel->mediaVolume());
    brightness_->apply(panel->brightnessPercent());
    volume_->apply(panel->volumePercent());

    // The first surface raised stays, so this order decides which one shows when several fail.
    if (!fontsRegistered)
        controller.enterFatal(FatalSurface::TypefacesMissing);
    if (!orDefault(settings_.loadChromeTokens, [] { return ChromeTokens::instance().load(); }))
        controller.enterFatal(FatalSurface::ColourContractMissing);
    if (!orDefault(settings_.loadOverlayContract,
                   [] { return OverlayContract::instance().load(); }))
        controller.enterFatal(FatalSurface::StatusContractMissing);

    webPackages_ = std::make_unique<WebPackageSchemeCoordinator>();
    if (!settings_.webEngineRefusal.isEmpty())
        refuseWebEngine(settings_.webEngineRefusal, *webPackages_);

    // Without a copy the scene starts without its animation; nothing to report.
    startupAnimation_ = keepStartupAnimation(settings_.startupAnimation, settings_.stateDirectory);

    engine_ = std::make_unique<QQmlApplicationEngine>();
    engine_->setInitialProperties({
        {QStringLiteral("startupAnimationUrl"), startupAnimationUrl()},
        {QStringLiteral("debugWindowed"), window.windowed},
        {QStringLiteral("debugWindowSize"), QSize(window.width, window.height)},
    });
    QQmlContext* context = engine_->rootContext();
    context->setContextProperty(QStringLiteral("talvorineCapabilities"), capabilities_.get());
    context->setContextProperty(QStringLiteral("talvorineController"), controller_.get());
    context->setContextProperty(QStringLiteral("talvorineWebPackages"), webPackages_.get());
    context->setContextProperty(QStringLiteral("talvorineFonts"), &FontCatalog::instance());

    GstVideoEngine::registerGpuSinkBeforeQmlLoad();

    // Creation fails inside load(), before the event loop runs; the queued exit ends the loop
    // as soon as it starts.
    QObject::connect(
        engine_.get(), &QQmlApplicationEngine::objectCreationFailed, QCoreApplication::instance(),
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    {
        const WebEngineImportWarningsDropped importWarnings;
        engine_->load(settings_.scene);
    }

    PlayerWindowQuitGuard::install(qobject_cast<QGuiApplication*>(QCoreApplication::instance()),
                                   engine_.get());
    for (QQuickWindow* quickWindow : windows()) {
        if (window.windowed)
            DebugWindowSizer::install(quickWindow, QSize(window.width, window.height));
        quickWindow->setOpacity(1.0);
        connectFrameEvidence(quickWindow, controller);
        WindowShownWatch::install(quickWindow);
    }

    QTimer::singleShot(0, Qt::PreciseTimer, &controller, [&controller] { controller.start(); });
}

void PlayerComposition::connectFrameEvidence(QQuickWindow* window, PlayerController& controller)
{
    QObject::connect(window, &QQuickWindow::beforeSynchronizing, &controller,
                     &PlayerController::noteSceneSynced, Qt::DirectConnection);
    QObject::connect(window, &QQuickWindow::frameSwapped, &controller,
                     &PlayerController::noteWindowFramePresented, Qt::DirectConnection);
    QObject::connect(window, &QQuickWindow::frameSwapped, &controller,
                     &PlayerController::handleWindowFramePresented, Qt::QueuedConnection);
}

QList<QQuickWindow*> PlayerComposition::windows() const
{
    QList<QQuickWindow*> found;
    if (!engine_)
        return found;
    for (QObject* root : engine_->rootObjects()) {
        if (auto* quickWindow = qobject_cast<QQuickWindow*>(root))
            found.append(quickWindow);
    }
    return found;
}

QUrl PlayerComposition::startupAnimationUrl() const
{
    return startupAnimation_.isEmpty() ? QUrl() : QUrl::fromLocalFile(startupAnimation_);
}

} // namespace talvorine
