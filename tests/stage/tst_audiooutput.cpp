// Finding an audio output by name only: which facts make an output, where a start looks, and
// when it looks again and says there is none.

#include "app/PlayerOpLog.h"
#include "stage/AudioOutput.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/StderrCapture.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace talvorine;

class TestAudioOutput : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void judge_data();
    void judge();
    void looksWhereClientsConnect_data();
    void looksWhereClientsConnect();
    void looksAgainAfterFiveMinutes_data();
    void looksAgainAfterFiveMinutes();
    void cleanup() { AudioOutput::setProbeForTesting({}, {}); }
};

void TestAudioOutput::judge_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("sockets");
    QTest::addColumn<QByteArray>("pulseServer");
    QTest::addColumn<AudioOutputKind>("kind");
    const QStringList none;
    QTest::newRow("nothing at all") << none << none << QByteArray() << AudioOutputKind::None;
    QTest::newRow("a card that plays") << QStringList{"controlC0", "pcmC0D0p", "timer"} << none
                                       << QByteArray() << AudioOutputKind::SoundCard;
    QTest::newRow("another card's third device")
        << QStringList{"pcmC1D3p"} << none << QByteArray() << AudioOutputKind::SoundCard;
    QTest::newRow("capture only") << QStringList{"controlC0", "pcmC0D0c"} << none << QByteArray()
                                  << AudioOutputKind::None;
    QTest::newRow("control, sequencer and timer nodes")
        << QStringList{"controlC0", "seq", "timer", "by-path"} << none << QByteArray()
        << AudioOutputKind::None;
    QTest::newRow("names that only look alike")
        << QStringList{"pcmC0D0p.old", "xpcmC0D0p", "pcmCD0p"} << none << QByteArray()
        << AudioOutputKind::None;
    QTest::newRow("a server's socket") << none << QStringList{"/run/user/0/pulse/native"}
                                       << QByteArray() << AudioOutputKind::SoundServer;
    QTest::newRow("a server named outright")
        << none << none << QByteArray("tcp:mixer.lan") << AudioOutputKind::SoundServer;
    QTest::newRow("a server before the card")
        << QStringList{"pcmC0D0p"} << QStringList{"/run/user/0/pipewire-0"} << QByteArray()
        << AudioOutputKind::SoundServer;
}

void TestAudioOutput::judge()
{
    QFETCH(QStringList, devices);
    QFETCH(QStringList, sockets);
    QFETCH(QByteArray, pulseServer);
    QFETCH(AudioOutputKind, kind);
    QCOMPARE(judgeAudioOutput({devices, sockets, pulseServer}), kind);
}

void TestAudioOutput::looksWhereClientsConnect_data()
{
    QTest::addColumn<bool>("runtimeDirSet");
    QTest::addColumn<QStringList>("planted"); // under the runtime directory, "snd" for devices
    QTest::addColumn<QStringList>("sockets"); // found, relative to the runtime directory
    QTest::addColumn<QStringList>("devices");
    const QStringList none;
    QTest::newRow("nothing there") << true << none << none << none;
    QTest::newRow("the user's pulse socket")
        << true << QStringList{"pulse/native"} << QStringList{"pulse/native"} << none;
    QTest::newRow("pipewire and pulse")
        << true << QStringList{"pipewire-0", "pulse/native", "pulse/pid"}
        << QStringList{"pulse/native", "pipewire-0"} << none;
    QTest::newRow("a socket of another name") << true << QStringList{"pulse-native"} << none
                                              << none;
    QTest::newRow("no runtime directory") << false << QStringList{"pulse/native"} << none << none;
    QTest::newRow("device nodes") << true << QStringList{"snd/controlC0", "snd/pcmC0D0p"} << none
                                  << QStringList{"controlC0", "pcmC0D0p"};
}

void TestAudioOutput::looksWhereClientsConnect()
{
    QFETCH(bool, runtimeDirSet);
    QFETCH(QStringList, planted);
    QFETCH(QStringList, sockets);
    QFETCH(QStringList, devices);
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QVERIFY(QDir(runtime.path()).mkpath(QStringLiteral("pulse")));
    QVERIFY(QDir(runtime.path()).mkpath(QStringLiteral("snd")));
    // Neither sockets nor device nodes are regular files; a pipe stands in for both.
    for (const QString& name : planted)
        QCOMPARE(::mkfifo(QFile::encodeName(runtime.filePath(name)).constData(), 0600), 0);
    QProcessEnvironment environment;
    if (runtimeDirSet)
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/srv/pulse"));
    AudioOutputPlaces places = audioOutputPlaces(environment);
    QCOMPARE(places.soundDeviceDirectory, QStringLiteral("/dev/snd"));
    QCOMPARE(places.pulseServer, QByteArray("unix:/srv/pulse"));
    QCOMPARE(places.serverSockets.last(), QStringLiteral("/run/pulse/native"));

    places.serverSockets.removeLast(); // the machine's own
    places.soundDeviceDirectory = runtime.filePath(QStringLiteral("snd"));
    const AudioOutputFacts facts = readAudioOutputFacts(places);
    QStringList expected;
    for (const QString& name : sockets)
        expected.append(runtime.filePath(name));
    QCOMPARE(facts.serverSockets, expected);
    QCOMPARE(facts.soundDevices, devices);
}

void TestAudioOutput::looksAgainAfterFiveMinutes_data()
{
    QTest::addColumn<QList<qint64>>("startsAtMs");
    QTest::addColumn<QList<bool>>("deviceThere");
    QTest::addColumn<QList<bool>>("available");
    QTest::addColumn<int>("looks");
    QTest::addColumn<int>("notices");
    QTest::newRow("no device, five starts inside five minutes")
        << QList<qint64>{0, 1000, 60000, 240000, 299999} << QList<bool>{0, 0, 0, 0, 0}
        << QList<bool>{0, 0, 0, 0, 0} << 1 << 1;
    QTest::newRow("plugged in: found five minutes after the last look")
        << QList<qint64>{0, 10000, 299999, 300000} << QList<bool>{0, 1, 1, 1}
        << QList<bool>{0, 0, 0, 1} << 2 << 1;
    QTest::newRow("pulled out: found at the next look, and said")
        << QList<qint64>{0, 200000, 300000, 310000} << QList<bool>{1, 0, 0, 0}
        << QList<bool>{1, 1, 0, 0} << 2 << 1;
    QTest::newRow("still none at later looks: said once")
        << QList<qint64>{0, 300000, 600001} << QList<bool>{0, 0, 0} << QList<bool>{0, 0, 0} << 3
        << 1;
    QTest::newRow("gone, back, gone again: said each time it goes")
        << QList<qint64>{0, 300000, 600000} << QList<bool>{0, 1, 0} << QList<bool>{0, 1, 0} << 3
        << 2;
    QTest::newRow("there throughout") << QList<qint64>{0, 300000} << QList<bool>{1, 1}
                                      << QList<bool>{1, 1} << 2 << 0;
}

void TestAudioOutput::looksAgainAfterFiveMinutes()
{
    QFETCH(QList<qint64>, startsAtMs);
    QFETCH(QList<bool>, deviceThere);
    QFETCH(QList<bool>, available);
    QFETCH(int, looks);
    QFETCH(int, notices);
    test::OpLogListener collector;
    PlayerOpLog::close();
    qint64 now = 0;
    bool device = false;
    int looked = 0;
    AudioOutput::setProbeForTesting(
        [&] {
            ++looked;
            return AudioOutputFacts{device ? QStringList{"pcmC0D0p"} : QStringList{}, {}, {}};
        },
        [&] { return now; });

    test::StderrCapture capture;
    QList<bool> answers;
    for (qsizetype i = 0; i < startsAtMs.size(); ++i) {
        now = startsAtMs.at(i);
        device = deviceThere.at(i);
        answers.append(AudioOutput::available());
    }
    const QList<QByteArray> lines = capture.finish();
    QCOMPARE(answers, available);
    QCOMPARE(looked, looks);
    QCOMPARE(lines, QList<QByteArray>(notices, AudioOutput::missingNotice));
    collector.waitForLines(notices);
    collector.drain(100);
    QCOMPARE(collector.records().size(), notices);
    for (const QJsonObject& record : collector.records()) {
        QCOMPARE(record.value("op").toString(), QStringLiteral("audio.output"));
        QCOMPARE(record.value("problem")["code"].toString(),
                 QStringLiteral("audio_output_missing"));
    }
}

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "tst_audiooutput.moc"
