// The soundtrack engine with generated audio: refused inputs, a track played to its end, the
// silence that stop, replacement and a stalled start must bring, where the sound goes without
// an output, and what a track leaves behind.

#include "app/PlayerOpLog.h"
#include "stage/AudioOutput.h"
#include "stage/GstPipelineSupport.h"
#include "stage/SoundtrackEngine.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/StderrCapture.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>

using namespace talvorine;

namespace {

// Volume elements alive, as GStreamer's leak tracer (set up before GStreamer starts) counts them.
int liveVolumeElements()
{
    GList* tracers = gst_tracing_get_active_tracers();
    GstStructure* info = nullptr;
    if (tracers)
        g_signal_emit_by_name(tracers->data, "get-live-objects", &info);
    g_list_free_full(tracers, gst_object_unref);
    const GValue* live = info ? gst_structure_get_value(info, "live-objects-list") : nullptr;
    const int count = live ? int(gst_value_list_get_size(live)) : -1;
    // The tracer puts the live objects in its answer without taking a reference of its own;
    // freeing the answer would drop one of their owners'.
    for (int i = 0; i < count; ++i) {
        const GstStructure* entry = gst_value_get_structure(gst_value_list_get_value(live, i));
        if (const GValue* object = gst_structure_get_value(entry, "object"))
            g_object_ref(g_value_get_object(object));
    }
    if (info)
        gst_structure_free(info);
    return count;
}

} // namespace

// A pipeline's start and end take seconds under the sanitizers on a busy machine; the wait is
// only a bound for a track that never ends.
constexpr int trackWaitMs = 30000;

class TestSoundtrackEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusesWhatItCannotPlay_data();
    void refusesWhatItCannotPlay();
    void playsToItsEnd();
    void brokenFileFailsOnce();
    void stopAndReplacementSilenceEarlierTracks_data();
    void stopAndReplacementSilenceEarlierTracks();
    void gainIsClamped_data();
    void gainIsClamped();
    void audioOutputLookedFor_data();
    void audioOutputLookedFor();
    void startsWithoutAudioOutputAreQuiet();
    void cleanup() { AudioOutput::setProbeForTesting({}, {}); }

private:
    QTemporaryDir dir_;
    QString tone_;
    QString longTone_;
    QString corrupt_;
};

void TestSoundtrackEngine::initTestCase()
{
    qputenv("GST_TRACERS", "leaks(filters=GstVolume)");
    QVERIFY(dir_.isValid());
    QString error;
    tone_ = dir_.filePath(QStringLiteral("tone.wav"));
    QVERIFY2(test::makeToneWav(tone_, 400, &error), qPrintable(error));
    longTone_ = dir_.filePath(QStringLiteral("long tone.wav"));
    QVERIFY2(test::makeToneWav(longTone_, 1500, &error), qPrintable(error));
    corrupt_ = dir_.filePath(QStringLiteral("corrupt.wav"));
    QVERIFY(test::makeCorruptFile(corrupt_));
}

void TestSoundtrackEngine::refusesWhatItCannotPlay_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("missing file") << QUrl::fromLocalFile(QStringLiteral("/nonexistent/track.wav"));
    QTest::newRow("directory") << QUrl::fromLocalFile(QStringLiteral("/tmp"));
    QTest::newRow("https") << QUrl(QStringLiteral("https://cdn.example/track.wav"));
    QTest::newRow("relative, not a URL of a file") << QUrl(QStringLiteral("track.wav"));
    QTest::newRow("empty") << QUrl();
    QTest::newRow("file on another host") << QUrl(QStringLiteral("file://nas/music/track.wav"));
}

void TestSoundtrackEngine::refusesWhatItCannotPlay()
{
    QFETCH(QUrl, url);
    SoundtrackEngine engine(nullptr);
    QSignalSpy ended(&engine, &SoundtrackEngine::trackEnded);
    QSignalSpy failed(&engine, &SoundtrackEngine::trackFailed);
    QVERIFY(!engine.play(url, 0.5));
    QVERIFY(!engine.isPlaying());
    // The caller reports a refused start itself: no signal follows.
    QTest::qWait(100);
    QCOMPARE(ended.size(), 0);
    QCOMPARE(failed.size(), 0);
}

void TestSoundtrackEngine::playsToItsEnd()
{
    SoundtrackEngine engine(nullptr);
    QSignalSpy ended(&engine, &SoundtrackEngine::trackEnded);
    QSignalSpy failed(&engine, &SoundtrackEngine::trackFailed);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(engine.play(QUrl::fromLocalFile(tone_), 0.3));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, trackWaitMs);
    // It plays in real time, with or without an audio device.
    QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(failed.size(), 0);
    QVERIFY(!engine.isPlaying());
    // The same engine plays the next track.
    QVERIFY(engine.play(QUrl::fromLocalFile(tone_), 1.0));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, trackWaitMs);
}

void TestSoundtrackEngine::brokenFileFailsOnce()
{
    SoundtrackEngine engine(nullptr);
    QSignalSpy ended(&engine, &SoundtrackEngine::trackEnded);
    QSignalSpy failed(&engine, &SoundtrackEngine::trackFailed);
    if (engine.play(QUrl::fromLocalFile(corrupt_), 1.0)) {
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, trackWaitMs);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("soundtrack_playback_error"));
    }
    QTest::qWait(200);
    QVERIFY(failed.size() <= 1);
    QCOMPARE(ended.size(), 0);
    QVERIFY(!engine.isPlaying());
}

void TestSoundtrackEngine::stopAndReplacementSilenceEarlierTracks_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("endsExpected");
    QTest::addColumn<QStringList>("failures");
    QTest::newRow("stop at once") << "stop" << 0 << QStringList();
    QTest::newRow("stop while playing") << "stop later" << 0 << QStringList();
    QTest::newRow("replaced by a short track") << "replace" << 1 << QStringList();
    QTest::newRow("replaced by a refused track") << "replace refused" << 0 << QStringList();
    QTest::newRow("gain changed, nothing else") << "gain" << 1 << QStringList();
    QTest::newRow("start stalled: built once more, it plays") << "stall" << 1 << QStringList();
    QTest::newRow("stalled again: the track fails") << "stall twice" << 0
                                                      << QStringList{"soundtrack_start_stalled"};
}

void TestSoundtrackEngine::stopAndReplacementSilenceEarlierTracks()
{
    QFETCH(QString, how);
    QFETCH(int, endsExpected);
    QFETCH(QStringList, failures);
    SoundtrackEngine engine(nullptr);
    QSignalSpy ended(&engine, &SoundtrackEngine::trackEnded);
    QSignalSpy failed(&engine, &SoundtrackEngine::trackFailed);
    QVERIFY(engine.play(QUrl::fromLocalFile(longTone_), 1.0));
    if (how == QLatin1String("stop")) {
        engine.stop();
    } else if (how == QLatin1String("stop later")) {
        QTest::qWait(300);
        engine.stop();
    } else if (how == QLatin1String("replace")) {
        QTest::qWait(100);
        QVERIFY(engine.play(QUrl::fromLocalFile(tone_), 1.0));
    } else if (how == QLatin1String("replace refused")) {
        QVERIFY(!engine.play(QUrl(QStringLiteral("https://cdn.example/x.wav")), 1.0));
    } else if (how.startsWith(QLatin1String("stall"))) {
        // The watchdog going off before any message of the pipeline is handled: the start
        // stalled, whatever the pipeline really does.
        const int stalls = how == QLatin1String("stall") ? 1 : 2;
        QTest::ignoreMessage(QtWarningMsg, "soundtrack start stalled; building it once more");
        if (stalls == 2)
            QTest::ignoreMessage(QtWarningMsg, "soundtrack start stalled again");
        for (int stall = 0; stall < stalls; ++stall)
            QMetaObject::invokeMethod(engine.findChild<QTimer*>("prerollWatchdog"), "timeout");
    } else {
        engine.setGain(0.1);
        QCOMPARE(engine.gain(), 0.1);
    }
    if (endsExpected > 0)
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), endsExpected, trackWaitMs);
    // Past the end of the long track, no further end may come: a slow machine only makes this
    // wait prove less, never fail.
    QTest::qWait(2500);
    QCOMPARE(ended.size(), endsExpected);
    QStringList codes;
    for (const QList<QVariant>& failure : failed)
        codes.append(failure.at(0).toString());
    QCOMPARE(codes, failures);
    QVERIFY(!engine.isPlaying());
    QVERIFY(gstsupport::waitForPipelineReleases(trackWaitMs));
    QCOMPARE(liveVolumeElements(), 0);
}

void TestSoundtrackEngine::gainIsClamped_data()
{
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("applied");
    QTest::newRow("inside") << 0.4 << 0.4;
    QTest::newRow("negative") << -1.0 << 0.0;
    QTest::newRow("above one") << 2.5 << 1.0;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 0.0;
}

void TestSoundtrackEngine::gainIsClamped()
{
    QFETCH(double, gain);
    QFETCH(double, applied);
    SoundtrackEngine engine(nullptr);
    engine.setGain(gain); // harmless without a pipeline
    QCOMPARE(engine.gain(), applied);
    QVERIFY(engine.play(QUrl::fromLocalFile(tone_), gain));
    QCOMPARE(engine.gain(), applied);
    engine.stop();
    engine.stop(); // twice is harmless too
}

void TestSoundtrackEngine::audioOutputLookedFor_data()
{
    // One start at each time, with what the machine shows then: the names in its sound device
    // directory and the server sockets there ("/..."). Found: "+" an output, "-" none.
    QTest::addColumn<QList<qint64>>("startsAtMs");
    QTest::addColumn<QStringList>("machine");
    QTest::addColumn<QByteArray>("found");
    QTest::addColumn<int>("notices");
    const QString card = QStringLiteral("controlC0 pcmC0D0p timer");
    QTest::newRow("capture, control and timer nodes, names that only look alike")
        << QList<qint64>{0} << QStringList{"controlC0 pcmC1D0c timer pcmC0D0p.old xpcmC0D0p"}
        << QByteArray("-") << 1;
    QTest::newRow("a sound server's socket")
        << QList<qint64>{0} << QStringList{"/run/user/0/pulse/native"} << QByteArray("+") << 0;
    QTest::newRow("plugged in: found five minutes after the last look")
        << QList<qint64>{0, 10000, 299999, 300000} << QStringList{{}, card, card, card}
        << QByteArray("---+") << 1;
    QTest::newRow("pulled out: found at the next look, and said")
        << QList<qint64>{0, 200000, 300000} << QStringList{card, {}, {}} << QByteArray("++-") << 1;
    QTest::newRow("still none at later looks: said once")
        << QList<qint64>{0, 300000, 600001} << QStringList(3, {}) << QByteArray("---") << 1;
}

void TestSoundtrackEngine::audioOutputLookedFor()
{
    QFETCH(QList<qint64>, startsAtMs);
    QFETCH(QStringList, machine);
    QFETCH(QByteArray, found);
    QFETCH(int, notices);
    qsizetype start = 0;
    const auto look = [&] {
        AudioOutputFacts facts;
        for (const QString& name : machine.at(start).split(' ', Qt::SkipEmptyParts))
            (name.startsWith('/') ? facts.serverSockets : facts.soundDevices).append(name);
        return facts;
    };
    AudioOutput::setProbeForTesting(look, [&] { return startsAtMs.at(start); });
    QByteArray answers;
    const QList<QByteArray> lines = test::stderrLinesOf([&] {
        for (start = 0; start < startsAtMs.size(); ++start)
            answers.append(AudioOutput::available() ? '+' : '-');
    });
    QCOMPARE(answers, found);
    QCOMPARE(lines, QList<QByteArray>(notices, AudioOutput::missingNotice));
}

// A screen without sound: every start would have the sound library try each device and write
// its complaints to standard error. Only the one notice may appear. The silent sink has no
// volume of its own, so playbin would build one for every track, and keep it.
void TestSoundtrackEngine::startsWithoutAudioOutputAreQuiet()
{
    test::OpLogListener collector;
    PlayerOpLog::close();
    AudioOutput::setProbeForTesting([] { return AudioOutputFacts{}; }, [] { return qint64(0); });
    SoundtrackEngine engine(nullptr);
    QSignalSpy ended(&engine, &SoundtrackEngine::trackEnded);
    QSignalSpy failed(&engine, &SoundtrackEngine::trackFailed);
    const QList<QByteArray> lines = test::stderrLinesOf([&] {
        for (int start = 1; start <= 5; ++start) {
            QVERIFY(engine.play(QUrl::fromLocalFile(tone_), 0.5));
            QTRY_COMPARE_WITH_TIMEOUT(ended.size(), start, trackWaitMs);
        }
    });
    QCOMPARE(lines, QList<QByteArray>{AudioOutput::missingNotice});
    QCOMPARE(failed.size(), 0);
    collector.drain(100);
    QCOMPARE(collector.records().size(), 1);
    QCOMPARE(collector.records().at(0).value("op").toString(), QStringLiteral("audio.output"));
    QVERIFY(gstsupport::waitForPipelineReleases(trackWaitMs));
    QCOMPARE(liveVolumeElements(), 0);
}

QTEST_MAIN(TestSoundtrackEngine)
#include "tst_soundtrackengine.moc"
