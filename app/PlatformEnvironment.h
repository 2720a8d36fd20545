#pragma once

#include <QByteArray>

class QProcessEnvironment;

namespace talvorine {

// The journal's priorities (syslog's numbers) of the lines written for the operator: a fault to
// mend, something the player mended itself and plays on with, or the news that a fault went away.
enum class JournalPriority { Error = 3, Warning = 4, Notice = 5 };

// Writes the line and a line feed to standard error as raw bytes, not through the logging
// framework: a refusal must reach a service manager's journal whatever Qt's message handling is.
// These are the lines that ask the operator to act, and those that say such a fault went away,
// among the trace and the libraries' own lines on the same stream. When standard error is the
// journal (JOURNAL_STREAM names its device and inode), the line starts with the prefix that gives
// it its priority, which the journal strips: `journalctl -p notice` then finds them, with the
// text as written. Prefix, text and line feed go out in one write, so that another thread's or a
// web engine process's write on the same stream cannot come between them and take the prefix
// for its own (a half line another writer left unfinished can still run into ours).
void writeStandardErrorLine(const QByteArray& line,
                            JournalPriority priority = JournalPriority::Error);

// Whether JOURNAL_STREAM's value ("device:inode", as the service manager sets it) names the
// stream of this device and inode: standard error is then the journal itself, and not a stream
// the process or a parent has put in its place since.
bool namesJournalStream(const QByteArray& journalStream, quint64 device, quint64 inode);

// True when the Qt platform is (now) Wayland: an unset value or a Wayland-first fallback list
// becomes exactly "wayland"; any other platform is left alone and refused.
bool configureWaylandPlatformEnvironment();

// The line that refuses a start when no Wayland compositor can be reached, found the way the
// Wayland client library finds it (WAYLAND_SOCKET, WAYLAND_DISPLAY, XDG_RUNTIME_DIR); empty when
// the compositor's socket accepts a connection. Without it Qt's platform plug-in aborts the
// process, which a service manager that starts the player before its compositor sees as a crash.
QByteArray waylandDisplayRefusal(const QProcessEnvironment& environment);

// The line that says the web engine may not start, empty when it may. Run as root, the engine
// refuses its sandbox and ends the whole process at the first web page; the sandbox is off only
// when the operator turned it off (QTWEBENGINE_DISABLE_SANDBOX, or --no-sandbox among the
// Chromium flags). The player never turns it off itself.
QByteArray webEngineSandboxRefusal(uint effectiveUserId, const QProcessEnvironment& environment);

// The web engine's start-up report (its GL set-up and every switch, some 25 lines at the first
// web page, category "qt.webenginecontext") off, since nothing in it asks anything of an
// operator; an operator who configures Qt's logging (QT_LOGGING_RULES, QT_LOGGING_CONF) decides.
void quietWebEngineStartupReport();

// While one lives, the three warnings that Qt 6.4.2 writes as a scene first imports its web engine
// module ("QWebEngineCertificateError is neither a QObject, nor default- and copy-constructible.
// ..."; also QWebEngineFullScreenRequest and QWebEngineLoadingInfo) are dropped. The module's
// own type registration writes them, unconditionally, once per process: no scene that shows web
// pages can avoid them, and the types work (the scene reads a load's status from one). Every
// other message goes on to the handler installed before.
class WebEngineImportWarningsDropped {
public:
    WebEngineImportWarningsDropped();
    ~WebEngineImportWarningsDropped();

    WebEngineImportWarningsDropped(const WebEngineImportWarningsDropped&) = delete;
    WebEngineImportWarningsDropped& operator=(const WebEngineImportWarningsDropped&) = delete;
};

// GStreamer's GL elements must use EGL on Wayland unless the operator chose otherwise.
void configureGstGlEnvironment();

// No input method unless the operator asks for one: a focus change into web content makes the
// Wayland client query the seat's text input, and a kiosk compositor with no input device
// attached has no seat, which crashes Qt 6.4's client.
void configureInputMethodEnvironment();

// At most this many malloc arenas, set first thing in main, before a second thread exists.
// Without a bound glibc gives each new thread an arena of its own, up to eight per core: the
// threads that allocate per page (Qt's image reader, GStreamer's streaming threads, the network
// thread) come and go with the pages, and the memory each leaves freed in its arena piles up
// unused, so the resident size grew without end over days of rotation while the heap in use
// stayed flat. With two, freed memory serves the next page whichever thread asks, and the
// threads' own caches of small blocks keep them from waiting on each other's locks.
// Blocks from this size up (decoded pictures, video frames) are mapped on their own and given
// back to the system when freed. glibc would otherwise raise that bound to the size of every
// large block freed, up to 32 MiB, and serve the next ones from the arenas, where they stay once
// freed: after a 4K clip the process kept well over a GiB of freed frames it never used again.
// The video pipelines' buffer pools reuse their frames while a clip plays, so the mapping is
// paid once per pipeline, not per frame.
inline constexpr int allocatorArenas = 2;
inline constexpr int largeBlockBytes = 4 * 1024 * 1024;
void boundAllocatorArenas();

} // namespace talvorine
