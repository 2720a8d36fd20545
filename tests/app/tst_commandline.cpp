// The player binary's exits before any window exists, byte-exact on standard error.

#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace talvorine::test;

namespace {

const QByteArray invalidArguments = "Invalid arguments. Use --help for player options.\n";
const QByteArray invalidSize =
    "Invalid --window-size. Use WIDTHxHEIGHT with each edge from 1 to 8192, once.\n";
const QByteArray waylandRequired = "Talvorine requires Wayland. Set QT_QPA_PLATFORM=wayland.\n";

using Env = QList<std::pair<QString, QString>>;

} // namespace

Q_DECLARE_METATYPE(Env)

class TestCommandLine : public QObject {
    Q_OBJECT
    QTemporaryDir runtime_;

    // A socket file that nothing listens at, as a compositor that died leaves it behind.
    QString staleSocket(const QString& name)
    {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, runtime_.filePath(name).toLocal8Bit(), sizeof(address.sun_path));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        return bound ? runtime_.filePath(name) : QString();
    }

private slots:
    void exits_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Env>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::addColumn<QString>("stdoutKind"); // "", "help" or "json"

        const Env none;
        const Env xcb{{"QT_QPA_PLATFORM", "xcb"}};

        // Raw-argument pre-scan: silent refusals before anything else.
        QTest::newRow("origin as last argument") << QStringList{"--origin"} << none << 64
                                                 << QByteArray() << "";
        QTest::newRow("origin value with fragment") << QStringList{"--origin", "https://a.example/#x"}
                                                    << none << 64 << QByteArray() << "";
        QTest::newRow("origin= with fragment") << QStringList{"--origin=https://a.example#x"}
                                               << none << 64 << QByteArray() << "";
        QTest::newRow("state dir as file URL") << QStringList{"--state-dir", "file:///tmp/s"}
                                               << none << 64 << QByteArray() << "";
        QTest::newRow("lone URL") << QStringList{"https://a.example"} << none << 64 << QByteArray()
                                  << "";
        QTest::newRow("provision anywhere") << QStringList{"x#provision=1"} << none << 64
                                            << QByteArray() << "";
        QTest::newRow("provision in origin value")
            << QStringList{"--origin", "https://a.example/#provision=abc"} << none << 64
            << QByteArray() << "";
        QTest::newRow("pre-scan before chromium flags")
            << QStringList{"a://b"} << Env{{"QTWEBENGINE_CHROMIUM_FLAGS", "--disable-web-security"}}
            << 64 << QByteArray() << "";

        // Chromium flags, in every mode.
        QTest::newRow("refused flags with help")
            << QStringList{"--help"}
            << Env{{"QTWEBENGINE_CHROMIUM_FLAGS", "--disable-web-security-now"}} << 78
            << QByteArray() << "";
        QTest::newRow("feature override refused")
            << QStringList{"--capabilities-json"}
            << Env{{"QTWEBENGINE_CHROMIUM_FLAGS", " --enable-features=X "}} << 78 << QByteArray()
            << "";

        // Option parsing.
        QTest::newRow("unknown option") << QStringList{"--bogus"} << xcb << 64 << invalidArguments
                                        << "";
        QTest::newRow("positional") << QStringList{"extra"} << xcb << 64 << invalidArguments << "";
        QTest::newRow("value for a flag") << QStringList{"--windowed=yes"} << xcb << 64
                                          << invalidArguments << "";
        QTest::newRow("missing value") << QStringList{"--state-dir"} << xcb << 64
                                       << invalidArguments << "";
        QTest::newRow("generic Qt option") << QStringList{"-platform", "xcb"} << none << 64
                                           << invalidArguments << "";

        // Window size, checked before help.
        QTest::newRow("size too wide") << QStringList{"--window-size=8193x600"} << xcb << 64
                                       << invalidSize << "";
        QTest::newRow("size with line feed") << QStringList{"--window-size=800x600\n"} << xcb << 64
                                             << invalidSize << "";
        QTest::newRow("size twice") << QStringList{"--window-size=8x6", "--window-size=8x6"} << xcb
                                    << 64 << invalidSize << "";
        QTest::newRow("help with bad size") << QStringList{"--help", "--window-size=0x1"} << none
                                            << 64 << invalidSize << "";

        // Help and capabilities need no display.
        QTest::newRow("help") << QStringList{"--help"} << xcb << 0 << QByteArray() << "help";
        QTest::newRow("short help") << QStringList{"-h"} << xcb << 0 << QByteArray() << "help";
        QTest::newRow("help-all") << QStringList{"--help-all"} << xcb << 0 << QByteArray()
                                  << "help";
        QTest::newRow("help wins over capabilities")
            << QStringList{"--capabilities-json", "--help"} << xcb << 0 << QByteArray() << "help";
        QTest::newRow("empty origin passes")
            << QStringList{"--origin=", "--help"} << xcb << 0 << QByteArray() << "help";
        QTest::newRow("origin URL passes")
            << QStringList{"--origin", "https://a.example", "--origin=http://localhost:1", "-h"}
            << xcb << 0 << QByteArray() << "help";
        QTest::newRow("capabilities") << QStringList{"--capabilities-json"} << xcb << 0
                                      << QByteArray() << "json";

        // Wayland enforcement.
        QTest::newRow("xcb refused") << QStringList{} << xcb << 78 << waylandRequired << "";
        QTest::newRow("capital Wayland refused") << QStringList{"--windowed"}
                                                 << Env{{"QT_QPA_PLATFORM", "Wayland"}} << 78
                                                 << waylandRequired << "";
        QTest::newRow("other platform first") << QStringList{}
                                              << Env{{"QT_QPA_PLATFORM", "offscreen;wayland"}}
                                              << 78 << waylandRequired << "";

        // No compositor to reach: refused before Qt's platform plug-in would abort.
        const QByteArray unreachable = "Talvorine requires a running Wayland compositor. ";
        const auto noSocket = [&](const QString& path) {
            return unreachable + "No WAYLAND_DISPLAY socket at " + path.toLocal8Bit() + ".\n";
        };
        const QString runtime = runtime_.path();
        QTest::newRow("no runtime directory")
            << QStringList{} << Env{{"XDG_RUNTIME_DIR", ""}, {"WAYLAND_DISPLAY", ""}} << 78
            << unreachable + "No runtime directory: set XDG_RUNTIME_DIR.\n" << "";
        QTest::newRow("no socket under the default name")
            << QStringList{} << Env{{"XDG_RUNTIME_DIR", runtime}, {"WAYLAND_DISPLAY", ""}} << 78
            << noSocket(runtime + "/wayland-0") << "";
        QTest::newRow("stale socket")
            << QStringList{} << Env{{"XDG_RUNTIME_DIR", runtime}, {"WAYLAND_DISPLAY", "stale-0"}}
            << 78 << noSocket(staleSocket("stale-0")) << "";
        QTest::newRow("absolute display without runtime directory")
            << QStringList{} << Env{{"XDG_RUNTIME_DIR", ""}, {"WAYLAND_DISPLAY", runtime + "/x"}}
            << 78 << noSocket(runtime + "/x") << "";
    }

    void exits()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Env, environment);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stderrText);
        QFETCH(QString, stdoutKind);

        Env env{{"QTWEBENGINE_CHROMIUM_FLAGS", ""}, {"QT_QPA_PLATFORM", ""}};
        env.append(environment);
        const ProcessResult result = runPlayer(arguments, environmentWith(env));
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.err, stderrText);

        if (stdoutKind.isEmpty()) {
            QCOMPARE(result.out, QByteArray());
        } else if (stdoutKind == QLatin1String("help")) {
            QVERIFY(result.out.contains("Talvorine Qt Quick native Linux player"));
            for (const char* text :
                 {"--capabilities-json", "Print renderer capabilities and exit.", "--origin <url>",
                  "Player API origin.", "--state-dir <path>",
                  "Native credential/cache/state directory.", "--windowed",
                  "--window-size <WIDTHxHEIGHT>"})
                QVERIFY2(result.out.contains(text), text);
            QVERIFY(!result.out.contains("-platform"));
        } else {
            QCOMPARE(result.out.count('\n'), 1);
            QVERIFY(result.out.endsWith('\n'));
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(result.out, &error);
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(doc.toJson(QJsonDocument::Compact) + '\n', result.out);
            const QJsonObject json = doc.object();
            QStringList keys = json.keys();
            QCOMPARE(keys, (QStringList{"glimagesink", "gstreamer", "hardware_decode_validated",
                                        "qml6glsink", "qt_webengine", "stream_transports",
                                        "summary", "v4l2slh265dec", "version"}));
            QCOMPARE(json.value("version").toString(), QStringLiteral("26.09.229"));
            QCOMPARE(json.value("qt_webengine").toBool(), true);
            QCOMPARE(json.value("hardware_decode_validated").toBool(), false);
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
