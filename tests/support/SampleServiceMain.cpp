// The sample runtime service on loopback, for scripts/run.sh: it serves sample content it makes
// itself, pairs the player on its own and saves the screenshots it asks for.

#include "tests/support/SampleService.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// A whole number of units, positive unless anySign.
qint64 wholeNumber(const QCommandLineParser& parser, const QString& name, bool* ok,
                   const char* units, bool anySign = false)
{
    bool converted = false;
    const qint64 value = parser.value(name).toLongLong(&converted);
    if (!converted || (!anySign && (value <= 0 || value > std::numeric_limits<int>::max()))) {
        std::fprintf(stderr, "--%s: a %swhole number of %s is expected\n",
                     qPrintable(name), anySign ? "" : "positive ", units);
        *ok = false;
    }
    return value;
}

qint64 milliseconds(const QCommandLineParser& parser, const QString& name, bool* ok,
                    bool anySign = false)
{
    return wholeNumber(parser, name, ok, "milliseconds", anySign);
}

// The PIN comes on standard input, one line, so that this program's command line never holds it.
int provisionPin(const QString& stateDirectory)
{
    QTextStream input(stdin);
    QString error;
    if (!talvorine::test::SampleService::provisionPin(stateDirectory, input.readLine(), &error)) {
        std::fprintf(stderr, "talvorine-sample-service: %s\n", qPrintable(error));
        return 64;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The images are drawn off screen: no display is needed or touched.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvorine-sample-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A local runtime service with sample content for the player."));
    parser.addHelpOption();
    const talvorine::test::SampleServiceOptions defaults;
    const QList<QCommandLineOption> options{
        {QStringLiteral("output"), QStringLiteral("Folder for the journal, content and screenshots."),
         QStringLiteral("dir")},
        {QStringLiteral("oplog-socket"),
         QStringLiteral("Collect the player's operation log on this local socket."),
         QStringLiteral("path")},
        {QStringLiteral("oplog-only"),
         QStringLiteral("Serve nothing: only collect the operation log (a run without the service).")},
        {QStringLiteral("claim-delay-ms"), QStringLiteral("Delay before the pairing is claimed."),
         QStringLiteral("ms"), QString::number(defaults.claimDelayMs)},
        {QStringLiteral("screenshot-interval-ms"), QStringLiteral("Interval of screenshot requests."),
         QStringLiteral("ms"), QString::number(defaults.screenshotIntervalMs)},
        {QStringLiteral("revision-delay-ms"),
         QStringLiteral("Delay from the first manifest served to the second revision."),
         QStringLiteral("ms"), QString::number(defaults.revisionDelayMs)},
        {QStringLiteral("page-dwell-ms"), QStringLiteral("How long an image page is shown."),
         QStringLiteral("ms"), QString::number(defaults.pageDwellMs)},
        {QStringLiteral("application-show-ms"),
         QStringLiteral("How long the web application shows itself before it hands the glass back."),
         QStringLiteral("ms"), QString::number(defaults.applicationShowMs)},
        {QStringLiteral("clip-frames"),
         QStringLiteral("Length of the colour-bar clip, in frames at 30 per second."),
         QStringLiteral("frames"), QString::number(defaults.clipFrames)},
        {QStringLiteral("ad-clip-frames"),
         QStringLiteral("Length of the video ad's clip, in frames at 30 per second."),
         QStringLiteral("frames"), QString::number(defaults.adClipFrames)},
        {QStringLiteral("clock-offset-ms"),
         QStringLiteral("Set the service's clock apart from the machine's by this much (may be negative)."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("scenario"),
         QStringLiteral("Serve the revisions, faults, portal and reloads of this scenario file instead "
                        "of the sample content (see the README's developer section)."),
         QStringLiteral("file")},
        {QStringLiteral("provision-pin"),
         QStringLiteral("Only write an operator PIN record for the six-digit PIN read from standard "
                        "input into this state directory, then exit."),
         QStringLiteral("state-dir")},
    };
    parser.addOptions(options);
    parser.process(app);
    if (parser.isSet(QStringLiteral("provision-pin")))
        return provisionPin(parser.value(QStringLiteral("provision-pin")));

    talvorine::test::SampleServiceOptions chosen;
    bool ok = true;
    chosen.outputDirectory = parser.value(QStringLiteral("output"));
    chosen.opLogSocket = parser.value(QStringLiteral("oplog-socket"));
    chosen.claimDelayMs = int(milliseconds(parser, QStringLiteral("claim-delay-ms"), &ok));
    chosen.screenshotIntervalMs = int(milliseconds(parser, QStringLiteral("screenshot-interval-ms"), &ok));
    chosen.revisionDelayMs = int(milliseconds(parser, QStringLiteral("revision-delay-ms"), &ok));
    chosen.pageDwellMs = std::max(1000, int(milliseconds(parser, QStringLiteral("page-dwell-ms"), &ok)));
    chosen.applicationShowMs =
        std::max(1000, int(milliseconds(parser, QStringLiteral("application-show-ms"), &ok)));
    chosen.clipFrames = int(wholeNumber(parser, QStringLiteral("clip-frames"), &ok, "frames"));
    chosen.adClipFrames = int(wholeNumber(parser, QStringLiteral("ad-clip-frames"), &ok, "frames"));
    chosen.clockOffsetMs = milliseconds(parser, QStringLiteral("clock-offset-ms"), &ok, true);
    chosen.scenarioFile = parser.value(QStringLiteral("scenario"));
    // A file that is not a scenario is refused before anything is served, naming what is wrong.
    if (QString why; !chosen.scenarioFile.isEmpty()
                     && !talvorine::test::SampleScenario::load(chosen.scenarioFile, &why)) {
        std::fprintf(stderr, "--scenario: %s\n", qPrintable(why));
        ok = false;
    }
    if (chosen.outputDirectory.isEmpty()) {
        std::fputs("--output is required\n", stderr);
        ok = false;
    }
    if (!ok)
        return 64;

    talvorine::test::SampleService service(chosen);
    QString error;
    const bool opLogOnly = parser.isSet(QStringLiteral("oplog-only"));
    if (!(opLogOnly ? service.startOpLogOnly(&error) : service.start(&error))) {
        std::fprintf(stderr, "talvorine-sample-service: %s\n", qPrintable(error));
        return 1;
    }
    if (!opLogOnly)
        std::printf("talvorine-sample-service: listening on %s\n",
                    qPrintable(service.origin().toString()));
    std::fflush(stdout);
    return app.exec();
}
