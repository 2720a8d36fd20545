#include "app/PlatformEnvironment.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QtGlobal>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>

namespace talvorine {

namespace {

// Whether something listens at the socket path: a socket file left behind by a compositor that
// died refuses the connection, just as it would refuse Qt's.
bool socketAccepts(const QByteArray& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

bool standardErrorIsJournal()
{
    struct stat descriptor {};
    return ::fstat(STDERR_FILENO, &descriptor) == 0
        && namesJournalStream(qgetenv("JOURNAL_STREAM"), quint64(descriptor.st_dev),
                              quint64(descriptor.st_ino));
}

QtMessageHandler handlerBeforeImport = nullptr;

void dropWebEngineImportWarnings(QtMsgType type, const QMessageLogContext& context,
                                 const QString& message)
{
    static const QRegularExpression importWarning(QStringLiteral(
        "\\AQWebEngine(CertificateError|FullScreenRequest|LoadingInfo) is neither a QObject, nor "
        "default- and copy-constructible\\. You should not use it as a QML type\\.\\z"));
    if (type == QtWarningMsg && importWarning.match(message).hasMatch())
        return;
    handlerBeforeImport(type, context, message);
}

} // namespace

void writeStandardErrorLine(const QByteArray& line, JournalPriority priority)
{
    QByteArray record;
    if (standardErrorIsJournal())
        record = '<' + QByteArray::number(int(priority)) + '>';
    record += line + '\n';
    // Whatever a library left in the stream's buffer goes first, as it was written first.
    std::fflush(stderr);
    const char* next = record.constData();
    qsizetype left = record.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, next, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // nowhere else to say it
        }
        next += written;
        left -= written;
    }
}

bool namesJournalStream(const QByteArray& journalStream, quint64 device, quint64 inode)
{
    return journalStream == QByteArray::number(device) + ':' + QByteArray::number(inode);
}

bool configureWaylandPlatformEnvironment()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "wayland" || platform.startsWith("wayland;"))
        return qputenv("QT_QPA_PLATFORM", "wayland");
    return false;
}

QByteArray waylandDisplayRefusal(const QProcessEnvironment& environment)
{
    // A compositor that starts the player itself may hand it a connected descriptor; the client
    // library then looks for nothing else.
    if (environment.contains(QStringLiteral("WAYLAND_SOCKET")))
        return {};
    const QByteArray display = environment.contains(QStringLiteral("WAYLAND_DISPLAY"))
        ? environment.value(QStringLiteral("WAYLAND_DISPLAY")).toLocal8Bit()
        : QByteArrayLiteral("wayland-0");
    const QByteArray runtimeDirectory =
        environment.value(QStringLiteral("XDG_RUNTIME_DIR")).toLocal8Bit();
    const QByteArray refused = "Talvorine requires a running Wayland compositor. ";
    const bool absolute = display.startsWith('/');
    if (!absolute && !runtimeDirectory.startsWith('/'))
        return refused + "No runtime directory: set XDG_RUNTIME_DIR.";
    const QByteArray socket = absolute ? display : runtimeDirectory + '/' + display;
    if (socketAccepts(socket))
        return {};
    return refused + "No WAYLAND_DISPLAY socket at " + socket + '.';
}

QByteArray webEngineSandboxRefusal(uint effectiveUserId, const QProcessEnvironment& environment)
{
    if (effectiveUserId != 0 || environment.contains(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX")))
        return {};
    // The engine reads its switches from these flags split at blanks, and takes a switch with a
    // value as the switch itself.
    const QStringList flags = environment.value(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"))
                                  .split(u' ', Qt::SkipEmptyParts);
    for (const QString& flag : flags) {
        if (flag == QLatin1String("--no-sandbox")
            || flag.startsWith(QLatin1String("--no-sandbox=")))
            return {};
    }
    return "Talvorine runs as root with the web engine's sandbox on, which the engine refuses: "
           "web pages are skipped. Run the player as another user (or, knowingly, set "
           "QTWEBENGINE_DISABLE_SANDBOX=1).";
}

void quietWebEngineStartupReport()
{
    if (qEnvironmentVariableIsSet("QT_LOGGING_RULES")
        || qEnvironmentVariableIsSet("QT_LOGGING_CONF"))
        return;
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
}

WebEngineImportWarningsDropped::WebEngineImportWarningsDropped()
{
    // Qt gives back its default handler when none was installed.
    handlerBeforeImport = qInstallMessageHandler(dropWebEngineImportWarnings);
}

WebEngineImportWarningsDropped::~WebEngineImportWarningsDropped()
{
    qInstallMessageHandler(handlerBeforeImport);
}

void configureGstGlEnvironment()
{
    if (qEnvironmentVariableIsEmpty("GST_GL_PLATFORM"))
        qputenv("GST_GL_PLATFORM", "egl");
    if (qEnvironmentVariableIsEmpty("GST_GL_WINDOW"))
        qputenv("GST_GL_WINDOW", "wayland");
}

void configureInputMethodEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_IM_MODULE"))
        qputenv("QT_IM_MODULE", "none");
}

void boundAllocatorArenas()
{
    mallopt(M_ARENA_MAX, allocatorArenas);
    mallopt(M_MMAP_THRESHOLD, largeBlockBytes);
}

} // namespace talvorine
