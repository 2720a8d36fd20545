// The built player as its service unit runs it, under the test compositor against the fake
// service: a web application's page, then an ad, ended as "interrupted" by a stop signal.

#include "ads/AdOutbox.h"
#include "app/DescendantReaper.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WrapperScene.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

using namespace talvorine;
using talvorine::test::ControllerHarness;
using talvorine::test::ServedObject;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = 60000;
constexpr char packaging[] = TALVORINE_SOURCE_DIR "/packaging/";
constexpr char unitPath[] = TALVORINE_SOURCE_DIR "/packaging/talvorine-player.service";
constexpr char compositorUnitPath[] =
    TALVORINE_SOURCE_DIR "/packaging/talvorine-compositor.service";
// Every process a run starts inherits this variable, the web engine's included.
constexpr char runMark[] = "TALVORINE_SERVICE_TEST_MARK";

// The processes still alive that carry the run's mark.
QStringList markedProcesses(const QString& mark)
{
    const QByteArray entry = QByteArray(runMark) + '=' + mark.toLocal8Bit();
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile environ("/proc/" + pid + "/environ");
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(entry))
            found.append(pid);
    }
    return found;
}

QList<QJsonObject> devLog(const QString& state, const char* event)
{
    return test::recordsOf(test::readJsonLines(state + "/dev-log.jsonl"), event);
}

// The [Service] settings of a unit file, each key with its values in file order.
QHash<QString, QStringList> serviceSettings(const char* path = unitPath)
{
    QHash<QString, QStringList> settings;
    bool service = false;
    for (const QString& line : QString::fromUtf8(testfiles::read(path)).split('\n')) {
        if (line.startsWith('['))
            service = line == QLatin1String("[Service]");
        const qsizetype at = line.indexOf('=');
        if (service && at > 0 && !line.startsWith('#'))
            settings[line.left(at)].append(line.mid(at + 1));
    }
    return settings;
}

} // namespace

class TestPlayerService : public QObject {
    Q_OBJECT
private slots:
    // What systemd itself says of the units together, each program where this machine has it.
    void unitVerifiedBySystemd()
    {
        const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
        const QString weston = QStandardPaths::findExecutable("weston");
        if (analyze.isEmpty() || weston.isEmpty())
            QSKIP("no systemd-analyze or no weston on this machine");
        QTemporaryDir dir;
        QStringList arguments{"verify"};
        for (const QString& unit : QDir(packaging).entryList({"*.service", "*.socket"}, QDir::Files)) {
            QByteArray text = testfiles::read(packaging + unit);
            text.replace("/usr/local/bin/talvorine-player", TALVORINE_PLAYER_PATH);
            text.replace("/usr/bin/weston", weston.toUtf8());
            arguments.append(dir.filePath(unit));
            QVERIFY(testfiles::write(arguments.last(), text, 0644));
        }
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(analyze, arguments);
        QVERIFY(verify.waitForFinished(60000));
        const QByteArray said = verify.readAll();
        QVERIFY2(verify.exitCode() == 0 && said.isEmpty(), said.constData());
    }

    // The compositor as its unit starts it, with the configuration the unit names, on Weston's
    // headless back end, which has no input device and gives no seat: a client's window is on
    // the screen.
    void compositorShowsWindowWithoutInput()
    {
        const QString weston = QStandardPaths::findExecutable("weston");
        const QString client = QStandardPaths::findExecutable("weston-simple-shm");
        const QString shooter = QStandardPaths::findExecutable("weston-screenshooter");
        if (weston.isEmpty() || client.isEmpty() || shooter.isEmpty())
            QSKIP("no weston, weston-simple-shm or weston-screenshooter on this machine");
        QStringList command = serviceSettings(compositorUnitPath)
                                  .value("ExecStart")
                                  .value(0)
                                  .split(' ', Qt::SkipEmptyParts);
        QVERIFY(!command.isEmpty() && command.first() == QLatin1String("/usr/bin/weston"));
        const QString configuration = "--config=" + QString(packaging) + "weston.ini";
        QVERIFY(command.contains("--config=/etc/talvorine/weston.ini"));
        command.replaceInStrings("--config=/etc/talvorine/weston.ini", configuration);
        QTemporaryDir runtime;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"WAYLAND_DISPLAY", "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID"})
            environment.remove(name);
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        QProcess compositor;
        compositor.setProcessEnvironment(environment);
        // Weston's log goes to a file: a pipe no one reads would stop it once full.
        const QString log = runtime.filePath("weston.log");
        compositor.setProcessChannelMode(QProcess::MergedChannels);
        compositor.setStandardOutputFile(log);
        // --debug lets the screenshot client take the screen.
        compositor.start(weston, command.mid(1) << "--backend=headless-backend.so"
                                                << "--socket=screen" << "--width=640"
                                                << "--height=360" << "--use-gl" << "--debug");
        QVERIFY(compositor.waitForStarted());
        QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(runtime.filePath("screen"))
                                      || compositor.state() == QProcess::NotRunning,
                                  "no compositor socket", waitMs);
        QVERIFY2(compositor.state() == QProcess::Running, testfiles::read(log).constData());
        environment.insert("WAYLAND_DISPLAY", "screen");
        QProcess window;
        window.setProcessEnvironment(environment);
        window.start(client, {});
        QVERIFY(window.waitForStarted());

        QTemporaryDir shots;
        const auto clientOnScreen = [&] {
            QProcess screenshot;
            screenshot.setProcessEnvironment(environment);
            screenshot.setWorkingDirectory(shots.path());
            screenshot.start(shooter, {});
            if (!screenshot.waitForFinished(10000))
                return false;
            // The client's picture has dozens of colours; an empty screen has one.
            QSet<QRgb> colours;
            for (const QString& name : QDir(shots.path()).entryList({"*.png"}, QDir::Files)) {
                const QImage image(shots.filePath(name));
                for (int y = 0; y < image.height(); ++y) {
                    for (int x = 0; x < image.width(); ++x)
                        colours.insert(image.pixel(x, y));
                }
                QFile::remove(shots.filePath(name));
            }
            return colours.size() > 16;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(clientOnScreen(), testfiles::read(log).constData(), waitMs);
        window.kill();
        window.waitForFinished();
        compositor.terminate();
        QVERIFY(compositor.waitForFinished(waitMs));
    }

    // The unit's command line and environment as systemd would give them, the origin from the
    // screen's own file, but for the binary, the state directory and the compositor's; User= is
    // not taken on (the tests run as root without that user). As root with the engine's sandbox on, as written, the web page
    // fails and the player plays on; with it turned off the engine runs beside the player. The
    // stop comes with the ad on glass, or with the web application's page kept there.
    void stopsInOrder_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("sandboxOff");
        QTest::addColumn<bool>("adOnGlass");
        // "as a user": started as an unprivileged user, as a screen runs it, the engine's
        // sandbox on; "zygote killed": an engine process ends under the running player, as its
        // crash would.
        QTest::addColumn<QString>("variant");
        QTest::newRow("SIGTERM, environment as written") << SIGTERM << false << true << QString();
        QTest::newRow("SIGTERM") << SIGTERM << true << true << QString();
        QTest::newRow("SIGINT") << SIGINT << true << true << QString();
        QTest::newRow("SIGHUP") << SIGHUP << true << true << QString();
        QTest::newRow("SIGTERM, web page on glass") << SIGTERM << true << false << QString();
        QTest::newRow("SIGTERM, web page on glass, sandbox on as a user")
            << SIGTERM << false << false << "as a user";
        QTest::newRow("SIGTERM, web page on glass, a zygote killed before")
            << SIGTERM << true << false << "zygote killed";
    }
    void stopsInOrder()
    {
        QFETCH(int, signalNumber);
        QFETCH(bool, sandboxOff);
        QFETCH(bool, adOnGlass);
        QFETCH(QString, variant);
        const bool asUser = variant == "as a user";
        const passwd* nobody = ::getpwnam("nobody");
        if (asUser && !nobody)
            QSKIP("no user \"nobody\" here to run the player as");
        const QHash<QString, QStringList> unit = serviceSettings();
        const QString user = unit.value("User").value(0);
        QVERIFY(!user.isEmpty() && user != QLatin1String("root"));
        QStringList command = unit.value("ExecStart").value(0).split(' ', Qt::SkipEmptyParts);
        QVERIFY(!command.isEmpty() && command.first().endsWith("/talvorine-player"));
        test::FakeRuntimeService s;
        QVERIFY2(s.listening(), qPrintable(s.setupError()));
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
        for (const QString& assignments : unit.value("Environment")) {
            for (const QString& assignment : assignments.split(' ', Qt::SkipEmptyParts))
                environment.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        }
        // The origin as a screen's own file sets it, over the unit's default, as systemd reads
        // the file after Environment=; the command line then takes it as one word.
        QCOMPARE(unit.value("EnvironmentFile"), QStringList{"-/etc/talvorine/player.env"});
        environment.insert("TALVORINE_ORIGIN", s.url().toString());
        for (QString& word : command) {
            static const QRegularExpression variable(QStringLiteral("\\A\\$\\{(\\w+)\\}\\z"));
            if (const QRegularExpressionMatch named = variable.match(word); named.hasMatch())
                word = environment.value(named.captured(1));
        }
        // The compositor's socket by its path, a runtime directory that systemd makes; then the
        // test compositor's socket and a runtime directory of the run's own.
        const QByteArray display = environment.value("WAYLAND_DISPLAY").toUtf8();
        QVERIFY(testfiles::read(QString(packaging) + "talvorine-compositor.socket")
                    .contains("\nListenStream=" + display + '\n'));
        QCOMPARE(environment.value("XDG_RUNTIME_DIR"),
                 "/run/" + unit.value("RuntimeDirectory").value(0));
        QTemporaryDir runtime;
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("WAYLAND_DISPLAY", qEnvironmentVariable("XDG_RUNTIME_DIR") + '/'
                                                  + qEnvironmentVariable("WAYLAND_DISPLAY"));
        // A sanitized build takes its options from the test run, not from the unit.
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name))
                environment.insert(name, qEnvironmentVariable(name));
        }
        const passwd* self = ::getpwuid(::geteuid());
        QVERIFY(self);
        environment.insert("HOME", QString::fromLocal8Bit(self->pw_dir));
        environment.insert("USER", QString::fromLocal8Bit(self->pw_name));
        QTemporaryDir dir;
        environment.insert(runMark, dir.path());
        test::OpLogListener opLog;
        QVERIFY(opLog.listening());
        environment.insert("TALVORINE_PLAYER_LOG_SOCKET", opLog.path());
        if (sandboxOff) {
            environment.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
            environment.insert("TALVORINE_COLD_BOOT_SPREAD_MS", "0");
        }
        const bool refused = !sandboxOff && !asUser && ::geteuid() == 0;

        const QString state = dir.filePath("state");
        QVERIFY(test::prepareBoundState(state));
        const QByteArray stubBytes = test::stubApplicationPackage({{"paint", "#ff00ff"}});
        const ServedObject stub{"/content/v1/packages/stub.tgz", stubBytes,
                                test::FakeRuntimeService::sha256Hex(stubBytes)};
        const ServedObject blue = ServedObject::picture("blue", Qt::blue);
        s.putContent(stub.path, stub.bytes, "application/vnd.talvorine.webapp-package+tar+gzip");
        s.putContent(blue.path, blue.bytes);
        // A web application for a few seconds; blue, from which the ad is planned; the ad slot,
        // then blue again.
        s.adSlots().fill("ad", {.startBeforeMs = 60000, .durationMs = 60000,
                                .creative = ServedObject::picture("green", Qt::green).bytes});
        const QJsonValue document = test::withMember(
            test::adslotDocument("man_stop",
                                 {{blue, adOnGlass ? 4000 : 600000}, {blue, 3000}, {blue, 600000}},
                                 {{2, "ad", "lobby-slot"}}),
            "pages.0.primitives", QJsonArray{test::applicationPrimitive("menu", stub)});
        s.script("POST", W::sessionMintRoute, {ControllerHarness::sessionGranted(true)});
        s.script("GET", W::manifestV2Route,
                 {Reply::json(200, document.toObject()).withHeader("ETag", "\"rev\"")});
        s.script("GET", W::eventsRoute, {Reply::eventStream()});
        s.script("PUT", W::observationRoute, {Reply{204, {}, {}, 0, {}, false}});
        s.script("POST", W::reportsRoute, QList<Reply>(16, Reply::json(200, QJsonObject())));
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});
        const qsizetype origin = command.indexOf("--origin");
        const qsizetype stateDir = command.indexOf("--state-dir");
        QVERIFY(origin > 0 && stateDir > 0 && stateDir + 1 < command.size());
        QCOMPARE(command[origin + 1], s.url().toString());
        command[stateDir + 1] = state;

        QString program = QStringLiteral(TALVORINE_PLAYER_PATH);
        QStringList arguments = command.mid(1);
        // What the player's user must reach is its own, or reachable by it while the row runs:
        // the run's folders, and the test compositor's folder and socket.
        QList<std::pair<QString, QFile::Permissions>> reopened;
        const auto restore = qScopeGuard([&reopened] {
            for (const auto& [path, permissions] : reopened)
                QFile::setPermissions(path, permissions);
        });
        if (asUser) {
            QVERIFY(QDir(dir.path()).mkdir("home"));
            environment.insert("HOME", dir.filePath("home"));
            environment.insert("USER", "nobody");
            const QString owner = QStringLiteral("%1:%2").arg(nobody->pw_uid).arg(nobody->pw_gid);
            QCOMPARE(QProcess::execute("chown", {"-R", owner, dir.path(), runtime.path()}), 0);
            const QString socket = environment.value("WAYLAND_DISPLAY");
            const QList<std::pair<QString, QFile::Permissions>> opened{
                {QFileInfo(socket).path(), QFile::ExeOther},
                {socket, QFile::ReadOther | QFile::WriteOther}};
            for (const auto& [path, more] : opened) {
                reopened.append({path, QFile::permissions(path)});
                QVERIFY(QFile::setPermissions(path, reopened.last().second | more));
            }
            const QStringList asNobody{QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                       QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                       "--clear-groups"};
            // A build or temporary folder of root's own keeps the user out; and the engine's
            // sandbox needs user namespaces, which a machine may keep from its users.
            if (QProcess::execute("setpriv", asNobody + QStringList{
                    "sh", "-c", "test -x \"$0\" && test -w \"$1\" && unshare -Upf true",
                    program, socket}) != 0)
                QSKIP("the user \"nobody\" cannot reach the player or the compositor here, or "
                      "may not make a user namespace, which the web engine's sandbox needs");
            arguments = asNobody + QStringList{"--", program} + arguments;
            program = QStringLiteral("setpriv");
        }
        QProcess player;
        player.setProcessEnvironment(environment);
        test::startInOwnSession(player, program, arguments);
        QVERIFY(player.waitForStarted());
        const qint64 session = player.processId();
        QTRY_VERIFY_WITH_TIMEOUT(adOnGlass ? !devLog(state, "ad_first_visible_frame").isEmpty()
                                           : !devLog(state, "web.handshake").isEmpty()
                                                 && !devLog(state, "candidate_activated").isEmpty(),
                                 waitMs);
        const QString occurrence =
            devLog(state, "ad_first_visible_frame").value(0).value("occurrence_id").toString();
        QCOMPARE(player.state(), QProcess::Running);
        if (variant == "zygote killed") {
            // The zygote that forked the page's renderer: the renderer it leaves is not the
            // player's to reap, so that when it ends it is no zombie of the player's.
            qint64 zygote = 0, renderer = 0;
            QVERIFY(QTest::qWaitFor([&] {
                const QList<ListedProcess> all = listedProcesses();
                for (const ListedProcess& child : all) {
                    for (const ListedProcess& grandchild : all) {
                        if (child.parent == session && grandchild.parent == child.pid)
                            std::tie(zygote, renderer) = std::pair(child.pid, grandchild.pid);
                    }
                }
                return renderer != 0;
            }, waitMs));
            const auto rendererNow = [renderer] {
                for (const ListedProcess& process : listedProcesses()) {
                    if (process.pid == renderer)
                        return process;
                }
                return ListedProcess();
            };
            QCOMPARE(::kill(pid_t(zygote), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(rendererNow().parent != zygote, waitMs);
            QCOMPARE(::kill(pid_t(renderer), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(rendererNow().state == u'Z' || !rendererNow().pid, waitMs);
            QVERIFY2(rendererNow().parent != session, "a zombie of the player's");
            ::waitpid(pid_t(renderer), nullptr, 0); // this test's, as the session's subreaper
        }
        // The web engine's processes are running beside the player, or were never started.
        QCOMPARE(devLog(state, "web.handshake").isEmpty(), refused);
        QCOMPARE(markedProcesses(dir.path()).size() > 1, !refused);
        const QByteArray sandbox = "Talvorine runs as root with the web engine's sandbox on";
        const QByteArray said = player.readAllStandardError();
        QCOMPARE(said.count(sandbox), refused ? 1 : 0);
        // Neither the engine's start-up report nor the warnings of its module's import.
        QVERIFY2(!said.contains("qt.webenginecontext") && !said.contains("is neither a QObject"),
                 said.constData());
        if (refused) {
            const QList<QJsonObject> failed = devLog(state, "primitive_failed");
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.first().value("page_id").toString(), QStringLiteral("p0"));
            QCOMPARE(failed.first().value("code").toString(),
                     QStringLiteral("web_wrapper_load_failed"));
            QCOMPARE(devLog(state, "web.failure").value(0).value("stage").toString(),
                     QStringLiteral("wrapper_load"));
            QTRY_VERIFY_WITH_TIMEOUT(!s.requestsTo(W::reportsRoute).isEmpty(), waitMs);
            QVERIFY(s.requestsTo(W::reportsRoute).first().body.contains("playback.page_failed"));
            QStringList said;
            for (const QJsonObject& record : opLog.records())
                said.append(record.value("op").toString() + ' '
                            + record.value("problem")["message"].toString());
            QVERIFY2(said.filter(QRegularExpression("\\Aweb_engine.start " + sandbox)).size() == 1,
                     qPrintable(said.join('\n')));
        }

        // A stop ends the player with 0. How long it takes is said, not judged: on a machine
        // busy enough a sanitized build can take longer than a screen's 10 s with nothing wrong.
        QElapsedTimer stopping;
        stopping.start();
        QCOMPARE(::kill(pid_t(player.processId()), signalNumber), 0);
        QVERIFY(QTest::qWaitFor([&player] { return player.state() == QProcess::NotRunning; }, waitMs));
        qInfo("stopped %lld ms after signal %d", stopping.elapsed(), signalNumber);
        // A player killed during its stop leaves only what it wrote to explain why.
        QVERIFY2(player.exitStatus() == QProcess::NormalExit,
                 qPrintable(QStringLiteral("ended by signal %1; it said:\n%2")
                                .arg(player.exitCode())
                                .arg(QString::fromLocal8Bit(player.readAllStandardError()))));
        QCOMPARE(player.exitCode(), 0);
        // Nothing the player started outlives it, for a service manager to kill.
        const QStringList left = test::endSession(session);
        QVERIFY2(left.isEmpty(), qPrintable(left.join('\n')));
        QVERIFY2(markedProcesses(dir.path()).isEmpty(),
                 qPrintable(markedProcesses(dir.path()).join(' ')));
        if (!adOnGlass)
            return;

        AdOutbox kept(state + "/playback-state/ad-outbox.json");
        kept.load();
        QStringList ends;
        for (const AdEventRecord& event : kept.inflight() + kept.pending()) {
            if (event.occurrenceId == occurrence && event.kind != QLatin1String("started"))
                ends.append(event.kind);
        }
        QCOMPARE(ends, QStringList{"interrupted"});
        QVERIFY(!kept.openVisit());
    }
};

QTEST_GUILESS_MAIN(TestPlayerService)
#include "tst_playerservice.moc"
