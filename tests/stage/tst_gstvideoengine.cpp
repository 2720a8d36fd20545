// The video engine's contract without a window: which inputs fail with which code, the states
// and signals of a real playback through our own frame path, and the process-wide volume.

#include "stage/GstPipelineSupport.h"
#include "stage/GstVideoEngine.h"
#include "stage/VideoFrameItem.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/VideoWaits.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <gst/gst.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace talvorine;

class TestGstVideoEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusedSources_data();
    void refusedSources();
    void waitsForSomethingToDrawInto();
    void gpuItemOfAnotherKindIsIncompatible();
    void playsThroughOwnFrames_data();
    void playsThroughOwnFrames();
    void restartPlaysAgain();
    void stopSilencesEngine_data();
    void stopSilencesEngine();
    void playerVolumeClamps_data();
    void playerVolumeClamps();
    void playerVolumeReachesEveryLiveEngine();
    void streamSources_data();
    void streamSources();
    void leavingALoadingStreamDoesNotWait_data();
    void leavingALoadingStreamDoesNotWait();
    void liveSourcePlays_data();
    void liveSourcePlays();
    void itemGoneBeforeRebuild();
    void replacedWhileLoading();
    void cleanupTestCase();

private:
    struct Rig {
        std::unique_ptr<VideoFrameItem> frames = std::make_unique<VideoFrameItem>();
        std::unique_ptr<GstVideoEngine> engine = std::make_unique<GstVideoEngine>();
        Rig() { engine->setFrameItem(frames.get()); }
        ~Rig() { engine.reset(); }
    };

    QTemporaryDir dir_;
    QString clip_;
    QString corrupt_;
};

void TestGstVideoEngine::initTestCase()
{
    QVERIFY(dir_.isValid());
    clip_ = dir_.filePath(QStringLiteral("bars.webm"));
    QString error;
    QVERIFY2(test::makeBarsClip(clip_, 160, 120, 15, 30, &error), qPrintable(error));
    corrupt_ = dir_.filePath(QStringLiteral("corrupt.webm"));
    QVERIFY(test::makeCorruptFile(corrupt_));
}

void TestGstVideoEngine::refusedSources_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("synchronous");

    const QString nonLocal = QStringLiteral("rejected_non_local_video");
    QTest::newRow("https") << "https://cdn.example/clip.webm" << nonLocal << true;
    QTest::newRow("http to loopback") << "http://127.0.0.1:8080/clip.webm" << nonLocal << true;
    QTest::newRow("rtsp") << "rtsp://camera.local/stream" << nonLocal << true;
    QTest::newRow("file on another host") << "file://fileserver/share/clip.webm" << nonLocal
                                          << true;
    QTest::newRow("data url") << "data:video/webm;base64,AAAA" << nonLocal << true;
    QTest::newRow("relative path") << "clips/clip.webm" << nonLocal << true;
    QTest::newRow("corrupt local file") << "CORRUPT" << "gstreamer_playback_error" << false;
    QTest::newRow("missing local file") << "MISSING" << "pipeline_start_failed" << false;
}

void TestGstVideoEngine::refusedSources()
{
    QFETCH(QString, source);
    QFETCH(QString, code);
    QFETCH(bool, synchronous);

    QUrl url(source);
    if (source == QLatin1String("CORRUPT"))
        url = QUrl::fromLocalFile(corrupt_);
    else if (source == QLatin1String("MISSING"))
        url = QUrl::fromLocalFile(dir_.filePath(QStringLiteral("absent.webm")));

    Rig rig;
    QSignalSpy failed(rig.engine.get(), &GstVideoEngine::failed);
    QSignalSpy prerolled(rig.engine.get(), &GstVideoEngine::prerolled);
    rig.engine->setSource(url);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs);
    QCOMPARE(failed.at(0).at(0).toString(), code);
    QCOMPARE(rig.engine->state(), QStringLiteral("failed"));
    QCOMPARE(rig.engine->errorCode(), code);
    if (synchronous)
        QCOMPARE(prerolled.size(), 0);
    // A failed engine stays failed and quiet until it is asked to try again.
    QTest::qWait(100);
    QCOMPARE(failed.size(), 1);
    rig.engine->restart();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, test::videoWaitMs);
    QCOMPARE(failed.at(1).at(0).toString(), code);
}

void TestGstVideoEngine::waitsForSomethingToDrawInto()
{
    GstVideoEngine engine;
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    QSignalSpy prerolled(&engine, &GstVideoEngine::prerolled);
    engine.setSource(QUrl::fromLocalFile(clip_));
    QTest::qWait(300);
    QCOMPARE(engine.state(), QStringLiteral("idle"));
    QCOMPARE(failed.size(), 0);

    VideoFrameItem frames;
    engine.setFrameItem(&frames);
    QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
    QCOMPARE(engine.state(), QStringLiteral("paused"));
}

void TestGstVideoEngine::gpuItemOfAnotherKindIsIncompatible()
{
    // Handing the GPU sink anything but its own item would crash it; the engine must refuse.
    QQuickItem notAVideoItem;
    GstVideoEngine engine;
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    engine.setVideoItem(&notAVideoItem);
    engine.setSource(QUrl::fromLocalFile(clip_));
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs);
    QCOMPARE(failed.at(0).at(0).toString(),
             engine.gpuSinkUsable() ? QStringLiteral("qml_gpu_sink_incompatible")
                                    : QStringLiteral("qml_gpu_sink_unavailable"));

    // With a frame item beside it, the same engine shows its frames there instead.
    VideoFrameItem frames;
    GstVideoEngine second;
    QSignalSpy prerolled(&second, &GstVideoEngine::prerolled);
    second.setVideoItem(&notAVideoItem);
    second.setFrameItem(&frames);
    second.setSource(QUrl::fromLocalFile(clip_));
    QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
}

void TestGstVideoEngine::playsThroughOwnFrames_data()
{
    QTest::addColumn<bool>("activeFromStart");
    QTest::newRow("preroll, then play") << false;
    QTest::newRow("play at once") << true;
}

void TestGstVideoEngine::playsThroughOwnFrames()
{
    QFETCH(bool, activeFromStart);
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy prerolled(&engine, &GstVideoEngine::prerolled);
    QSignalSpy started(&engine, &GstVideoEngine::started);
    QSignalSpy ended(&engine, &GstVideoEngine::endOfStream);
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    QStringList states;
    connect(&engine, &GstVideoEngine::stateChanged, this,
            [&] { states.append(engine.state()); });

    engine.setActive(activeFromStart);
    engine.setSource(QUrl::fromLocalFile(clip_));
    QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
    if (!activeFromStart) {
        QCOMPARE(engine.state(), QStringLiteral("paused"));
        QTest::qWait(200);
        QCOMPARE(started.size(), 0); // paused holds the first frame, no clock
        engine.refreshPosition();
        QCOMPARE(engine.durationMs(), 500);
        engine.setActive(true);
    }
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, test::videoWaitMs);
    QCOMPARE(engine.state(), QStringLiteral("ended"));
    QCOMPARE(failed.size(), 0);
    QCOMPARE(prerolled.size(), 1);
    QCOMPARE(started.size(), 1);
    QCOMPARE(states.first(), QStringLiteral("loading"));
    QVERIFY(states.contains(QStringLiteral("playing")));
    QCOMPARE(states.last(), QStringLiteral("ended"));
    // The frames went to the item's mailbox; without a window nothing takes them, and only
    // the newest waits. The first frame, shown at preroll, is not handed over again to play.
    QVERIFY(rig.frames->framesDropped() > 0);
    QCOMPARE(rig.frames->framesDuplicated(), 0u);
}

void TestGstVideoEngine::restartPlaysAgain()
{
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy started(&engine, &GstVideoEngine::started);
    QSignalSpy ended(&engine, &GstVideoEngine::endOfStream);
    engine.setActive(true);
    engine.setSource(QUrl::fromLocalFile(clip_));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, test::videoWaitMs);

    for (int round = 2; round <= 3; ++round) {
        engine.restart();
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), round, test::videoWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), round, test::videoWaitMs);
    }
    // After a stop, restart builds a new pipeline and plays from the start.
    engine.stop();
    QCOMPARE(engine.state(), QStringLiteral("idle"));
    engine.restart();
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 4, test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 4, test::videoWaitMs);
}

void TestGstVideoEngine::stopSilencesEngine_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("before the deferred start") << "immediately";
    QTest::newRow("after preroll") << "prerolled";
    QTest::newRow("while playing") << "started";
}

void TestGstVideoEngine::stopSilencesEngine()
{
    QFETCH(QString, when);
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy prerolled(&engine, &GstVideoEngine::prerolled);
    QSignalSpy started(&engine, &GstVideoEngine::started);
    QSignalSpy ended(&engine, &GstVideoEngine::endOfStream);
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    engine.setActive(true);
    engine.setSource(QUrl::fromLocalFile(clip_));
    if (when == QLatin1String("prerolled"))
        QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
    else if (when == QLatin1String("started"))
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, test::videoWaitMs);
    const qsizetype startedBefore = started.size();
    engine.stop();
    QCOMPARE(engine.state(), QStringLiteral("idle"));
    QTest::qWait(900); // longer than the clip
    QCOMPARE(ended.size(), 0);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(started.size(), startedBefore);
    QCOMPARE(engine.state(), QStringLiteral("idle"));
}

void TestGstVideoEngine::playerVolumeClamps_data()
{
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("stored");
    QTest::newRow("inside") << 0.35 << 0.35;
    QTest::newRow("zero") << 0.0 << 0.0;
    QTest::newRow("one") << 1.0 << 1.0;
    QTest::newRow("below") << -0.2 << 0.0;
    QTest::newRow("above") << 4.0 << 1.0;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 0.0;
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << 1.0;
}

void TestGstVideoEngine::playerVolumeClamps()
{
    QFETCH(double, gain);
    QFETCH(double, stored);
    GstVideoEngine::setPlayerVolume(gain);
    QCOMPARE(GstVideoEngine::playerVolume(), stored);
    GstVideoEngine::setPlayerVolume(1.0);
}

void TestGstVideoEngine::playerVolumeReachesEveryLiveEngine()
{
    GstVideoEngine::setPlayerVolume(0.5);
    Rig first;
    Rig second;
    QSignalSpy firstReady(first.engine.get(), &GstVideoEngine::prerolled);
    QSignalSpy secondReady(second.engine.get(), &GstVideoEngine::prerolled);
    first.engine->setSource(QUrl::fromLocalFile(clip_));
    second.engine->setSource(QUrl::fromLocalFile(clip_));
    QTRY_COMPARE_WITH_TIMEOUT(firstReady.size(), 1, test::videoWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(secondReady.size(), 1, test::videoWaitMs);
    // A new engine starts at the stored gain.
    QCOMPARE(first.engine->pipelineVolume(), 0.5);

    GstVideoEngine::setPlayerVolume(1.8);
    QCOMPARE(first.engine->pipelineVolume(), 1.0);
    QCOMPARE(second.engine->pipelineVolume(), 1.0);
    GstVideoEngine::setPlayerVolume(0.25);
    QCOMPARE(first.engine->pipelineVolume(), 0.25);
    QCOMPARE(second.engine->pipelineVolume(), 0.25);

    // A destroyed engine leaves the registry; the others still follow.
    const int live = GstVideoEngine::liveEngineCount();
    second.engine.reset();
    QCOMPARE(GstVideoEngine::liveEngineCount(), live - 1);
    GstVideoEngine::setPlayerVolume(0.75);
    QCOMPARE(first.engine->pipelineVolume(), 0.75);
    GstVideoEngine::setPlayerVolume(1.0);
}

void TestGstVideoEngine::streamSources_data()
{
    QTest::addColumn<QVariantList>("sources");
    QTest::addColumn<QString>("multicast");
    QTest::addColumn<QString>("code");

    const QVariantMap udp{{QStringLiteral("protocol"), QStringLiteral("udp-mpegts")},
                          {QStringLiteral("group"), QStringLiteral("239.1.1.1")},
                          {QStringLiteral("port"), 5004}};
    const QVariantMap ftp{{QStringLiteral("protocol"), QStringLiteral("hls")},
                          {QStringLiteral("url"), QStringLiteral("ftp://cdn.example/a.m3u8")}};
    const QVariantMap unknown{{QStringLiteral("protocol"), QStringLiteral("rtmp")},
                              {QStringLiteral("url"), QStringLiteral("rtmp://x/y")}};
    QTest::newRow("multicast switched off") << QVariantList{udp} << "" << "pipeline_start_failed";
    QTest::newRow("multicast set to other than 1") << QVariantList{udp} << "true"
                                                   << "pipeline_start_failed";
    QTest::newRow("hls over ftp") << QVariantList{ftp} << "1" << "pipeline_start_failed";
    QTest::newRow("unknown protocol") << QVariantList{unknown} << "1" << "pipeline_start_failed";
    // Nothing listens on loopback port 1: a candidate that is tried fails in playback.
    const auto hls = [](const char* url) {
        return QVariantList{QVariantMap{{QStringLiteral("protocol"), QStringLiteral("hls")},
                                        {QStringLiteral("url"), QString::fromLatin1(url)}}};
    };
    QTest::newRow("hls over plain http") << hls("http://127.0.0.1:1/live.m3u8") << ""
                                         << "pipeline_start_failed";
    QTest::newRow("hls without host") << hls("https:///live.m3u8") << ""
                                      << "pipeline_start_failed";
    QTest::newRow("hls over https is tried") << hls("https://127.0.0.1:1/live.m3u8") << ""
                                             << "gstreamer_playback_error";
    QTest::newRow("hls address read leniently") << hls("https://127.0.0.1:1/live feed.m3u8") << ""
                                                << "gstreamer_playback_error";
}

void TestGstVideoEngine::streamSources()
{
    QFETCH(QVariantList, sources);
    QFETCH(QString, multicast);
    QFETCH(QString, code);
    const QByteArray saved = qgetenv("TALVORINE_ENABLE_MULTICAST");
    qputenv("TALVORINE_ENABLE_MULTICAST", multicast.toUtf8());
    Rig rig;
    QSignalSpy failed(rig.engine.get(), &GstVideoEngine::failed);
    rig.engine->setStreamSources(sources);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs);
    QCOMPARE(failed.at(0).at(0).toString(), code);
    qputenv("TALVORINE_ENABLE_MULTICAST", saved);
}

namespace {

QVariantList hlsAt(quint16 port)
{
    return {QVariantMap{
        {QStringLiteral("protocol"), QStringLiteral("hls")},
        {QStringLiteral("url"), QStringLiteral("https://127.0.0.1:%1/live.m3u8").arg(port)}}};
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::LocalHost, 0))
        return 0;
    return probe.localPort();
}

struct EnvironmentOverride {
    QByteArray name;
    QByteArray saved;
    bool wasSet;
    EnvironmentOverride(const char* variable, const QByteArray& value)
        : name(variable), saved(qgetenv(variable)), wasSet(qEnvironmentVariableIsSet(variable))
    {
        qputenv(variable, value);
    }
    ~EnvironmentOverride()
    {
        if (wasSet)
            qputenv(name.constData(), saved);
        else
            qunsetenv(name.constData());
    }
};

} // namespace

void TestGstVideoEngine::leavingALoadingStreamDoesNotWait_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("stopped") << "stop";
    QTest::newRow("replaced by another source") << "replace";
    QTest::newRow("engine destroyed") << "destroy";
}

void TestGstVideoEngine::leavingALoadingStreamDoesNotWait()
{
    QFETCH(QString, how);
    // Accepts connections and never answers: the stream stays in its first state change.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    Rig rig;
    QSignalSpy failed(rig.engine.get(), &GstVideoEngine::failed);
    QSignalSpy prerolled(rig.engine.get(), &GstVideoEngine::prerolled);
    rig.engine->setStreamSources(hlsAt(silent.serverPort()));
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), test::videoWaitMs);
    QCOMPARE(rig.engine->state(), QStringLiteral("loading"));

    QElapsedTimer timer;
    timer.start();
    if (how == QLatin1String("stop"))
        rig.engine->stop();
    else if (how == QLatin1String("replace"))
        rig.engine->setStreamSources(hlsAt(1));
    else
        rig.engine.reset();
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed < 100, qPrintable(QStringLiteral("%1 ms on the GUI thread").arg(elapsed)));

    // The pipeline is still released, off this thread.
    QVERIFY(gstsupport::waitForPipelineReleases(test::videoWaitMs));
    QTest::qWait(100);
    QCOMPARE(prerolled.size(), 0);
    if (how == QLatin1String("replace"))
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs); // the new, refused source
    else
        QCOMPARE(failed.size(), 0);
}

void TestGstVideoEngine::liveSourcePlays_data()
{
    QTest::addColumn<bool>("activeFromStart");
    QTest::newRow("ready while paused, then played") << false;
    QTest::newRow("played at once") << true;
}

void TestGstVideoEngine::liveSourcePlays()
{
    QFETCH(bool, activeFromStart);
    const quint16 port = freeUdpPort();
    QVERIFY(port != 0);
    // MPEG-TS over UDP on loopback, as a multicast sender would send it.
    const QByteArray description =
        QStringLiteral("videotestsrc is-live=true ! video/x-raw,width=160,height=120,"
                       "framerate=25/1 ! openh264enc ! h264parse ! mpegtsmux ! udpsink "
                       "host=127.0.0.1 port=%1")
            .arg(port)
            .toUtf8();
    GError* error = nullptr;
    std::unique_ptr<GstElement, gstsupport::ObjectUnref> sender(
        gst_parse_launch(description.constData(), &error));
    QVERIFY2(sender && !error, error ? error->message : "no sender");
    QVERIFY(gst_element_set_state(sender.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE);

    const EnvironmentOverride multicast("TALVORINE_ENABLE_MULTICAST", "1");
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy prerolled(&engine, &GstVideoEngine::prerolled);
    QSignalSpy started(&engine, &GstVideoEngine::started);
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    engine.setActive(activeFromStart);
    engine.setStreamSources({QVariantMap{{QStringLiteral("protocol"), QStringLiteral("udp-mpegts")},
                                         {QStringLiteral("group"), QStringLiteral("127.0.0.1")},
                                         {QStringLiteral("port"), int(port)}}});
    QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
    if (!activeFromStart) {
        QCOMPARE(engine.state(), QStringLiteral("paused"));
        QCOMPARE(started.size(), 0);
        engine.setActive(true);
    }
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, test::videoWaitMs);
    QCOMPARE(engine.state(), QStringLiteral("playing"));
    // Frames keep coming (a newer one replaces one nobody took).
    QTRY_VERIFY_WITH_TIMEOUT(rig.frames->framesDropped() > 3, test::videoWaitMs);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(prerolled.size(), 1);
    engine.stop();
    gst_element_set_state(sender.get(), GST_STATE_NULL);
}

void TestGstVideoEngine::itemGoneBeforeRebuild()
{
    // Three stream candidates that are refused one after the other; the frame item goes away
    // while the first one loads, so the next build finds nothing to draw into.
    QVariantList sources;
    for (int i = 0; i < 3; ++i)
        sources += hlsAt(1);
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    connect(&engine, &GstVideoEngine::stateChanged, this, [&] {
        if (engine.state() == QLatin1String("loading"))
            QTimer::singleShot(0, this, [&] { rig.frames.reset(); });
    });
    engine.setStreamSources(sources);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, test::videoWaitMs);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("pipeline_start_failed"));
    QTest::qWait(200);
    QCOMPARE(failed.size(), 1);
}

void TestGstVideoEngine::replacedWhileLoading()
{
    const QString second = dir_.filePath(QStringLiteral("bars-again.webm"));
    QVERIFY(QFile::exists(second) || QFile::copy(clip_, second));
    Rig rig;
    GstVideoEngine& engine = *rig.engine;
    QSignalSpy prerolled(&engine, &GstVideoEngine::prerolled);
    QSignalSpy failed(&engine, &GstVideoEngine::failed);
    // Each source gets its pipeline built, and is replaced before any of its messages arrive.
    const auto buildWithoutHandlingMessages = [&] {
        while (engine.state() != QLatin1String("loading"))
            QCoreApplication::processEvents();
        QThread::msleep(100); // the corrupt file's failure is queued meanwhile
    };
    engine.setSource(QUrl::fromLocalFile(clip_));
    buildWithoutHandlingMessages();
    engine.setSource(QUrl::fromLocalFile(corrupt_));
    buildWithoutHandlingMessages();
    engine.setSource(QUrl::fromLocalFile(second));
    QTRY_COMPARE_WITH_TIMEOUT(prerolled.size(), 1, test::videoWaitMs);
    QTest::qWait(500);
    QCOMPARE(prerolled.size(), 1);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(engine.state(), QStringLiteral("paused"));
}

void TestGstVideoEngine::cleanupTestCase()
{
    QVERIFY(gstsupport::waitForPipelineReleases(test::videoWaitMs));
}

QTEST_MAIN(TestGstVideoEngine)
#include "tst_gstvideoengine.moc"
