// The soundtrack through the controller with generated audio at the fake service.

#include "tests/support/ControllerHarness.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::FakeRuntimeService;
using ContentAnswer = FakeRuntimeService::ContentAnswer;

class TestPlayerSoundtrack : public QObject {
    Q_OBJECT
private:
    static constexpr int waitMs = ControllerHarness::waitMs;
    std::unique_ptr<ControllerHarness> h;
    QByteArray tone;
    QByteArray undecodable;
    const QString imageSha256 = FakeRuntimeService::sha256Hex("i");

    // A track served under "/content/v1/audio/": a minute of tone (no track ends while the
    // test looks), told apart by trailing bytes a WAV reader skips.
    SoundtrackTrack track(const QString& id, const QByteArray& base, int variant,
                          QList<ContentAnswer> deviations = {})
    {
        const QByteArray bytes = base + QByteArray(variant, 'x');
        const QByteArray path = "/content/v1/audio/" + id.toLatin1();
        h->service().putContent(path, bytes);
        h->service().scriptContent(path, std::move(deviations));
        return {id, "m-" + id, QString::fromLatin1(path), FakeRuntimeService::sha256Hex(bytes),
                bytes.size(), "audio/wav", 0};
    }

    // Page page of a revision of image pages with this soundtrack; page i is cued by cues[i].
    void show(const QString& revision, const QList<SoundtrackTrack>& tracks, int page = 0,
              const QList<std::optional<PageAudioCue>>& cues = {{}})
    {
        Manifest manifest = test::imagePagesManifest(
            revision, QList<QByteArray>(cues.size(), "a"),
            [this](char) { return std::pair<QString, qint64>(imageSha256, 1); });
        for (qsizetype i = 0; i < cues.size(); ++i)
            manifest.pages[i].audioCue = cues.at(i);
        if (!tracks.isEmpty())
            manifest.soundtrack = Soundtrack{true, 0.5, tracks};
        PlayerController& c = h->controller();
        ControllerAccess::preparePage(c, manifest, page, revision != shown);
        ControllerAccess::activateCandidate(c);
        shown = revision;
    }
    QString shown;

    QStringList logged(const QString& event, const QString& field = "id")
    {
        QStringList values;
        for (const QJsonObject& record : h->devLog(event))
            values.append(record.value(field).toString());
        return values;
    }
    bool ready(const SoundtrackTrack& t)
    {
        return ControllerAccess::soundtrackTrackReady(h->controller(), t.sha256);
    }
    int requests(const SoundtrackTrack& t)
    {
        return h->service().contentAttempts(t.src.toLatin1());
    }
    bool retrySoon() { return h->expireSoon("soundtrackFetchTimer"); }

private slots:
    void cleanup() { h.reset(); }

    void initTestCase()
    {
        QTemporaryDir media;
        QString error;
        QVERIFY2(test::makeToneWav(media.filePath("t.wav"), 60000, &error), qPrintable(error));
        QVERIFY(test::makeCorruptFile(media.filePath("c.wav")));
        QFile toneFile(media.filePath("t.wav")), corruptFile(media.filePath("c.wav"));
        QVERIFY(toneFile.open(QIODevice::ReadOnly) && corruptFile.open(QIODevice::ReadOnly));
        tone = toneFile.readAll();
        undecodable = corruptFile.readAll();
    }

    void soundtrackThroughRevisions()
    {
        h = std::make_unique<ControllerHarness>();
        QVERIFY2(h->ready(), qPrintable(h->setupError()));
        h->service().script("POST", "/runtime/v1/reports",
                            {FakeRuntimeService::Reply::json(200, QJsonObject())});
        QVERIFY(h->mintSession());
        PlayerController& c = h->controller();
        const SoundtrackEngine& engine = ControllerAccess::soundtrackEngine(c);
        const SoundtrackTrack a = track("A", tone, 1), d = track("D", tone, 4);
        const SoundtrackTrack b =
            track("B", tone, 2, {{.status = 503, .headers = {{"Retry-After", "120"}}},
                                 {.status = 206}, {.status = 401}});
        const SoundtrackTrack t = track("C", tone, 3, {{.lengthDelta = 1}, {.lengthDelta = -1},
                                                       {.corrupt = true}});
        // Cached already: the first track, and the pages' image.
        for (const QByteArray& cached : {tone + 'x', QByteArray("i")})
            QVERIFY(test::ServedObject::of("cached", cached).cacheIn(*ControllerAccess::contentCache(c)));
        const int mints = h->service().attempts("POST", "/runtime/v1/native/sessions");
        const QList<std::optional<PageAudioCue>> cues{{}, PageAudioCue{"C", false},
                                                      PageAudioCue{"C", true}};

        // The cached track plays without a request; the others come one at a time, in order,
        // each broken download dropped whole and tried again on the refetch timer only, no
        // sooner than an origin that said "try later" asked. A partial of other bytes that an
        // earlier run left is never resumed.
        const QString stale = ControllerAccess::contentCache(c)->partialPath(t.sha256);
        QVERIFY(QDir().mkpath(QFileInfo(stale).absolutePath()));
        QVERIFY(testfiles::write(stale, QByteArray(1000, 'x')));
        show("rev-1", {a, b, t}, 0, cues);
        QTRY_COMPARE_WITH_TIMEOUT(logged("soundtrack_track_started"), QStringList{"A"}, waitMs);
        QCOMPARE(engine.gain(), 0.5);
        const QStringList failures{"503", "206", "401", "200", "200"};
        for (qsizetype failure = 1; failure <= failures.size(); ++failure) {
            QTRY_COMPARE_WITH_TIMEOUT(logged("soundtrack_download_failed", "status"),
                                      failures.first(failure), waitMs);
            const QString& partial = failure <= 3 ? b.sha256 : t.sha256;
            QVERIFY(!QFile::exists(ControllerAccess::contentCache(c)->partialPath(partial)));
            QCOMPARE(h->timer("soundtrackFetchTimer")->interval(), failure == 1 ? 120000 : 30000);
            QVERIFY(retrySoon());
        }
        QTRY_COMPARE_WITH_TIMEOUT(logged("soundtrack_verify_failed"), QStringList{"C"}, waitMs);
        QVERIFY(retrySoon());
        QTRY_VERIFY_WITH_TIMEOUT(ready(t), waitMs);
        QCOMPARE(QList<int>({requests(a), requests(b), requests(t)}), QList<int>({0, 4, 4}));
        QCOMPARE(h->service().attempts("POST", "/runtime/v1/native/sessions"), mints + 1);

        // The operator's volume reaches the playing track at once; cues jump to a track, keep
        // it, or restart it.
        c.operatorPanel()->setVolume(40);
        QCOMPARE(engine.gain(), 0.2);
        for (const int page : {1, 1, 2})
            show("rev-1", {a, b, t}, page, cues);
        QCOMPARE(logged("soundtrack_track_started"), (QStringList{"A", "C", "C"}));

        // A new revision aborts a download without a record; known files play again at once
        // after a revision without a soundtrack emptied the sequencer.
        h->service().scriptContent(d.src.toLatin1(),
                                   {{.trickleBytes = 4096, .trickleIntervalMs = 100}});
        show("rev-2", {d, a});
        QTRY_COMPARE_WITH_TIMEOUT(requests(d), 1, waitMs);
        show("rev-3", {});
        QVERIFY(!engine.isPlaying());
        // Nothing of the aborted download is found under the track's name.
        QVERIFY(!ControllerAccess::contentCache(c)->readyPath(d.sha256, d.bytes, nullptr));
        show("rev-4", {b, t});
        QCOMPARE(logged("soundtrack_track_started"), (QStringList{"A", "C", "C", "A", "B"}));
        QCOMPARE(logged("soundtrack_download_failed").size(), 5);

        // Bytes no demuxer takes fail once per refetch, no sooner.
        const SoundtrackTrack u = track("U", undecodable, 1);
        show("rev-5", {u});
        for (int failed = 1; failed <= 3; ++failed) {
            QTRY_COMPARE_WITH_TIMEOUT(h->devLog("soundtrack_track_failed").size(), failed, waitMs);
            QVERIFY(!engine.isPlaying() && retrySoon());
        }
        // Vanished files fail once each, leave a pending refetch its time, and come back.
        QTRY_COMPARE_WITH_TIMEOUT(h->devLog("soundtrack_track_failed").size(), 4, waitMs);
        show("rev-6", {a, b}, 0, {{}, PageAudioCue{"A", true}});
        QVERIFY(engine.isPlaying());
        h->timer("soundtrackFetchTimer")->start(600000);
        for (const SoundtrackTrack& gone : {a, b})
            QVERIFY(ControllerAccess::contentCache(c)->remove(gone.sha256));
        show("rev-6", {a, b}, 1, {{}, PageAudioCue{"A", true}});
        QTRY_COMPARE_WITH_TIMEOUT(logged("soundtrack_track_failed", "code").mid(4),
                                  QStringList(2, "soundtrack_start_failed"), waitMs);
        QVERIFY(!engine.isPlaying());
        QCOMPARE(h->timer("soundtrackFetchTimer")->interval(), 600000);
        QVERIFY(retrySoon());
        QTRY_VERIFY_WITH_TIMEOUT(engine.isPlaying() && ready(a) && ready(b), waitMs);
        QCOMPARE(requests(a) + requests(u), 2);
        QCOMPARE(h->devLog("soundtrack_track_failed").size(), 6);
        // A start that stalls (its watchdog going off first), and stalls again once rebuilt,
        // fails like any track: the next one plays at once.
        const qsizetype started = logged("soundtrack_track_started").size();
        QTest::ignoreMessage(QtWarningMsg, "soundtrack start stalled; building it once more");
        QTest::ignoreMessage(QtWarningMsg, "soundtrack start stalled again");
        show("rev-6", {a, b}, 1, {{}, PageAudioCue{"A", true}});
        for (int stall = 0; stall < 2; ++stall)
            QMetaObject::invokeMethod(engine.findChild<QTimer*>("prerollWatchdog"), "timeout");
        QCOMPARE(logged("soundtrack_track_failed", "code").last(), "soundtrack_start_stalled");
        QCOMPARE(logged("soundtrack_track_started").mid(started), (QStringList{"A", "B"}));

        // A refused track asks for a new session on the session's own schedule: after "retry in
        // 600 s" no refetch mints sooner.
        const QByteArray sessions = "/runtime/v1/native/sessions";
        h->service().script("POST", sessions, {FakeRuntimeService::Reply::json(503, QJsonObject())
                                                   .withHeader("Retry-After", "600")});
        const qsizetype minted = h->service().requestsTo(sessions).size();
        const qsizetype failedBefore = logged("soundtrack_download_failed").size();
        show("rev-7", {track("R", tone, 6, QList<ContentAnswer>(3, {.status = 401}))});
        for (int failure = 1; failure <= 3; ++failure) {
            QTRY_COMPARE_WITH_TIMEOUT(logged("soundtrack_download_failed").size(),
                                      failedBefore + failure, waitMs);
            const QTimer* retry = h->timer("sessionRetryTimer");
            QTRY_VERIFY_WITH_TIMEOUT(retry->isActive() && retry->interval() >= 600000, waitMs);
            QVERIFY(failure == 3 || retrySoon());
        }
        QCOMPARE(h->service().requestsTo(sessions).size(), minted + 1);
        h->verifyNoSurprises();
    }
};

QTEST_GUILESS_MAIN(TestPlayerSoundtrack)
#include "tst_playersoundtrack.moc"
