// The real player binary under the test compositor: it starts as a Wayland client with
// QT_QPA_PLATFORM unset, shows its window and records it in the developer log.

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine::test;

class TestPlayerWindow : public QObject {
    Q_OBJECT
private slots:
    void startsAsWaylandClient_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("visibility");
        QTest::addColumn<QString>("width");
        QTest::addColumn<QString>("height");
        QTest::newRow("full screen") << QStringList{} << "fullscreen" << "1280" << "720";
        QTest::newRow("debug window") << QStringList{"--window-size", "800x600"} << "windowed"
                                      << "800" << "600";
    }
    void startsAsWaylandClient()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, visibility);
        QFETCH(QString, width);
        QFETCH(QString, height);

        QTemporaryDir dir;
        const QString stateDir = dir.filePath(QStringLiteral("state"));
        QTemporaryDir tmp;
        QProcess player;
        player.setProcessEnvironment(
            environmentWith({{"QT_QPA_PLATFORM", ""}, {"TMPDIR", tmp.path()}}));
        player.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        player.start(QStringLiteral(TALVORINE_PLAYER_PATH),
                     QStringList{"--origin", "http://localhost:9", "--state-dir", stateDir}
                         + arguments);
        QVERIFY(player.waitForStarted());

        const QString log = stateDir + QStringLiteral("/dev-log.jsonl");
        QTRY_VERIFY_WITH_TIMEOUT(!recordsOf(readJsonLines(log), "window.attached").isEmpty(),
                                 30000);
        // Any platform but Wayland would have ended the process with 78 by now.
        QCOMPARE(player.state(), QProcess::Running);

        const auto records = readJsonLines(log);
        const auto start = recordsOf(records, "process.start");
        QCOMPARE(start.size(), 1);
        QCOMPARE(start.first().value("origin").toString(), QStringLiteral("http://localhost:9"));
        const auto attached = recordsOf(records, "window.attached").first();
        QCOMPARE(attached.value("visibility").toString(), visibility);
        QCOMPARE(attached.value("width").toString(), width);
        QCOMPARE(attached.value("height").toString(), height);

        // Killed, so no shutdown runs: the splash's animation is a copy kept in the state dir.
        player.kill();
        QVERIFY(player.waitForFinished(10000));
        QVERIFY(QDir(tmp.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System
                                          | QDir::NoDotAndDotDot));
        QVERIFY(QFile::exists(stateDir + QStringLiteral("/startup-animation.mp4")));
    }
};

QTEST_GUILESS_MAIN(TestPlayerWindow)
#include "tst_playerwindow.moc"
