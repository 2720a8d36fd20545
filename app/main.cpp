// The composition root: decides whether the process may start and in which mode, then builds
// the running player, runs the event loop and tears everything down in reverse order.

#include "app/DescendantReaper.h"
#include "app/PlayerComposition.h"
#include "app/PlatformEnvironment.h"
#include "app/PlayerWindowOptions.h"
#include "app/StopSignals.h"
#include "stage/CapabilityReport.h"
#include "web/WebPackageScheme.h"
#include "web/WebSecurityPolicy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QWindow>

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

using namespace talvorine;

constexpr int exitUsage = 64;
constexpr int exitConfig = 78;

// How long the player waits at its exit for the processes it started to end once asked to. The
// web engine's take a few milliseconds, or are killed after a short grace; the bound is for a
// process that even a SIGKILL does not end at once, on top of the rest of the stop, which is to
// end well within a service manager's 10 s.
constexpr std::chrono::milliseconds descendantsBound{3000};

constexpr char applicationName[] = "talvorine-player";
constexpr char defaultOrigin[] = "https://player.talvorine.net";

void applyPlayerIdentity()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setOrganizationName(QStringLiteral("Talvorine"));
    QCoreApplication::setApplicationVersion(
        QString::fromLatin1(PlayerComposition::applicationVersion));
}

// A URL may reach the player only as the origin option's value, never with a fragment, and
// no argument may carry a provisioning fragment: links opened by other programs must not be
// able to point the player somewhere else.
bool rawArgumentsRefused(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        if (std::strstr(arg, "#provision="))
            return true;
        if (std::strcmp(arg, "--origin") == 0) {
            if (i + 1 >= argc)
                return true;
            const char* value = argv[i + 1] ? argv[i + 1] : "";
            if (std::strchr(value, '#'))
                return true;
            ++i;
            continue;
        }
        if (std::strncmp(arg, "--origin=", 9) == 0) {
            if (std::strchr(arg, '#'))
                return true;
            continue;
        }
        if (std::strstr(arg, "://"))
            return true;
    }
    return false;
}

QStringList argumentList(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(argv[i] ? QString::fromLocal8Bit(argv[i]) : QString());
    return arguments;
}

void addOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral("Talvorine Qt Quick native Linux player"));
    parser.addHelpOption();
    parser.addOption(QCommandLineOption(QStringLiteral("capabilities-json"),
                                        QStringLiteral("Print renderer capabilities and exit.")));
    parser.addOption(QCommandLineOption(QStringLiteral("origin"),
                                        QStringLiteral("Player API origin."), QStringLiteral("url"),
                                        QString::fromLatin1(defaultOrigin)));
    parser.addOption(QCommandLineOption(QStringLiteral("state-dir"),
                                        QStringLiteral("Native credential/cache/state directory."),
                                        QStringLiteral("path")));
    PlayerWindowOptions::addTo(parser);
}

int printCapabilities()
{
    auto report = std::make_unique<CapabilityReport>(nullptr);
    QJsonObject json = report->toJson();
    json.insert(QStringLiteral("version"),
                QString::fromLatin1(PlayerComposition::applicationVersion));
    const QByteArray line = QJsonDocument(json).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
}

int runPlayer(int argc, char** argv, const QCommandLineParser& parser,
              const PlayerWindowOptions& window)
{
    QGuiApplication app(argc, argv);
    applyPlayerIdentity();
    // A service manager's stop, an interrupt or a hang-up closes the window: the shutdown then
    // takes its ordinary course (the scene, then the controller, which ends an ad visit on glass
    // and writes the ad outbox) and the event loop returns 0.
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::stopRequested, &app, [] {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        for (QWindow* window : windows)
            window->close();
        if (windows.isEmpty())
            QCoreApplication::quit();
    });

    PlayerCompositionSettings settings;
    settings.originAsTyped = parser.value(QStringLiteral("origin"));
    settings.origin = QUrl(settings.originAsTyped, QUrl::TolerantMode);
    settings.stateDirectory =
        PlayerComposition::stateDirectoryFor(parser.value(QStringLiteral("state-dir")));
    settings.window = window;
    settings.webEngineRefusal =
        webEngineSandboxRefusal(::geteuid(), QProcessEnvironment::systemEnvironment());
    PlayerComposition player(std::move(settings));
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return exitConfig;
    player.build();
    const int code = app.exec();
    adoptOrphanedDescendants();
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    boundAllocatorArenas();
    if (rawArgumentsRefused(argc, argv))
        return exitUsage;
    if (!WebSecurityPolicy::configureChromiumSecurityEnvironment(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS")))
        return exitConfig;
    WebPackageScheme::registerBeforeApplication();

    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(argumentList(argc, argv)) || !parser.positionalArguments().isEmpty()) {
        writeStandardErrorLine("Invalid arguments. Use --help for player options.");
        return exitUsage;
    }
    const PlayerWindowOptions window = PlayerWindowOptions::from(parser);
    if (!window.valid) {
        writeStandardErrorLine(
            "Invalid --window-size. Use WIDTHxHEIGHT with each edge from 1 to 8192, once.");
        return exitUsage;
    }

    const bool capabilitiesRequested = parser.isSet(QStringLiteral("capabilities-json"));
    const bool help = parser.isSet(QStringLiteral("help"))
        || parser.isSet(QStringLiteral("help-all"));
    if (capabilitiesRequested || help) {
        QCoreApplication app(argc, argv);
        applyPlayerIdentity();
        if (help)
            parser.showHelp(0);
        return printCapabilities();
    }

    if (!configureWaylandPlatformEnvironment()) {
        writeStandardErrorLine("Talvorine requires Wayland. Set QT_QPA_PLATFORM=wayland.");
        return exitConfig;
    }
    const QByteArray unreachable = waylandDisplayRefusal(QProcessEnvironment::systemEnvironment());
    if (!unreachable.isEmpty()) {
        writeStandardErrorLine(unreachable);
        return exitConfig;
    }
    PlayerComposition::applyGraphicsDefaults();

    const int code = runPlayer(argc, argv, parser, window);
    // The application object is gone, and with it the web engine and every process object.
    endDescendants(descendantsBound);
    return code;
}
