// The README's run command past its set-up and build steps: scripts/run-sample.sh under the test
// compositor in its bounded mode, judged from its output folder only. A fresh run pairs and plays
// every page; a run on the kept state shows the first page from the cache before asking for any
// content; a run without the service plays offline.

#include "tests/support/GeneratedMedia.h"
#include "tests/support/SampleService.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <unistd.h>

using namespace talvorine::test;

namespace {

struct RunOutcome {
    int exitCode = -1;
    QByteArray out;
};

// One bounded run of the script; the service's delays short, so a run lasts a minute at most.
// The test compositor is the "session's" compositor of the run.
RunOutcome runSample(const QString& output, int seconds, const QStringList& options)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    // As a person would start it: whether the web engine's sandbox can run is the script's to
    // settle, not the test environment's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
    script.setProcessEnvironment(environment);
    script.start(QStringLiteral("bash"),
                 QStringList{QStringLiteral(TALVORINE_SOURCE_DIR "/scripts/run-sample.sh"),
                             "--build-dir", QStringLiteral(TALVORINE_BUILD_DIR), "--output",
                             output, "--duration", QString::number(seconds)}
                     + options
                     + QStringList{"--", "--claim-delay-ms", "500", "--page-dwell-ms", "2500",
                                   "--screenshot-interval-ms", "4000", "--revision-delay-ms",
                                   "10000", "--application-show-ms", "3000"});
    // The script's own bound ends it; the wait only guards against a hang.
    if (!script.waitForFinished((seconds + 90) * 1000)) {
        script.kill();
        script.waitForFinished();
    }
    return {script.exitStatus() == QProcess::NormalExit ? script.exitCode() : -1,
            script.readAll()};
}

QDateTime stamp(const QJsonObject& record)
{
    return QDateTime::fromString(record.value("ts").toString(), Qt::ISODateWithMs);
}

// The developer-log records written since the last process start: the latest run's.
QList<QJsonObject> latestRun(const QList<QJsonObject>& records)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (records.at(i).value("event").toString() == QLatin1String("process.start"))
            start = i;
    }
    return records.mid(start);
}

QStringList field(const QList<QJsonObject>& records, const QString& name)
{
    QStringList values;
    for (const QJsonObject& record : records)
        values.append(record.value(name).toString());
    return values;
}

QStringList events(const QList<QJsonObject>& records)
{
    return field(records, QStringLiteral("event"));
}

// Report bodies the service received, by their code.
QStringList reportCodes(const QList<QJsonObject>& journal)
{
    QStringList codes;
    for (const QJsonObject& record : recordsOf(journal, "report"))
        codes.append(record.value("body").toObject().value("code").toString());
    return codes;
}

// Whether a screenshot shows a sample page: the colour near its top left corner is one of the
// pages' colours, or the white of the colour bars that fill the video page.
bool showsAPage(const QImage& shot)
{
    const QColor seen = shot.pixelColor(shot.width() / 20, shot.height() / 20);
    QList<QRgb> colours{qRgb(smpteBars[0].r, smpteBars[0].g, smpteBars[0].b)};
    for (const int revision : {1, 2}) {
        for (const SamplePage& page : SampleService::pages(revision)) {
            for (const SampleImage& image : page.images)
                colours.append(image.colour);
        }
    }
    return std::any_of(colours.cbegin(), colours.cend(), [&seen](QRgb colour) {
        return std::abs(seen.red() - qRed(colour)) < 24 && std::abs(seen.green() - qGreen(colour)) < 24
            && std::abs(seen.blue() - qBlue(colour)) < 24;
    });
}

// Every process the run started is gone, and it started no compositor of its own.
void verifyStopped(const QString& output)
{
    QFile pids(output + "/pids");
    QVERIFY(pids.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = pids.readAll().trimmed().split('\n');
    QVERIFY(lines.size() >= 2);
    for (const QByteArray& line : lines) {
        const QList<QByteArray> parts = line.split(' ');
        QCOMPARE(parts.size(), 2);
        QVERIFY2(parts.first() != "weston", "the run started a compositor beside the session's");
        const pid_t pid = parts.last().toInt();
        QVERIFY(pid > 0);
        QVERIFY2(::kill(pid, 0) == -1 && errno == ESRCH, line.constData());
    }
}

} // namespace

class TestSampleRun : public QObject {
    Q_OBJECT
private slots:
    void playsPairsResumesAndRunsOffline()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString output = dir.filePath("run");
        const QString devLog = output + "/state/dev-log.jsonl";
        const QString journalPath = output + "/service.jsonl";
        const QString compositorPid = qEnvironmentVariable("XDG_RUNTIME_DIR") + ".pid";

        // A fresh player: paired by the service, then every page in turn. The second revision's
        // round (two filled ad turns, the application's start, the clip to its end) must fit in
        // the bound on a loaded machine and under the sanitizers too.
        RunOutcome run = runSample(output, 60, {});
        QVERIFY2(run.exitCode == 0, run.out.constData());
        QVERIFY2(run.out.contains("compositor: the session's"), run.out.constData());
        QCOMPARE(run.out.contains("web engine: sandbox off"), ::geteuid() == 0);
        verifyStopped(output);

        QList<QJsonObject> journal = readJsonLines(journalPath);
        const QStringList served = events(journal);
        QVERIFY(served.indexOf("pairing_started") >= 0);
        QVERIFY(served.indexOf("pairing_started") < served.indexOf("pairing_claimed"));
        QVERIFY(served.indexOf("pairing_claimed") < served.indexOf("pairing_completed"));
        QVERIFY(recordsOf(journal, "session_requested").constLast().value("granted").toBool());
        QList<QJsonObject> player = latestRun(readJsonLines(devLog));
        const QList<QJsonObject> activations = recordsOf(player, "candidate_activated");
        const QStringList pages = field(activations, "page_id");
        for (const char* page : {"welcome", "lobby", "gallery", "clip"})
            QVERIFY2(pages.contains(page), qPrintable(pages.join(' ')));
        // The web application became ready (its page was activated through the readiness gate),
        // turned the page itself, and counted its showings in the key-value store: each showing
        // wrote one more than the last.
        bool applicationTurned = false;
        for (qsizetype i = 0; i + 1 < activations.size(); ++i)
            applicationTurned |= pages.at(i) == QLatin1String("lobby")
                && activations.at(i + 1).value("origin").toString() == QLatin1String("application");
        QVERIFY2(applicationTurned, qPrintable(pages.join(' ')));
        QStringList counts;
        for (const QJsonObject& request : recordsOf(journal, "kv_request")) {
            if (request.value("method").toString() == QLatin1String("PUT"))
                counts.append(request.value("value").toString());
        }
        QVERIFY2(counts.size() >= 2 && counts.first() == QLatin1String("1")
                     && counts.at(1) == QLatin1String("2"),
                 qPrintable(counts.join(' ')));
        // The video plays to its end, and its end turns the page (a new revision may also take
        // over from it, so one showing is enough).
        bool endTurned = false;
        for (qsizetype i = 0; i + 1 < activations.size(); ++i)
            endTurned |= pages.at(i) == QLatin1String("clip")
                && activations.at(i + 1).value("origin").toString() == QLatin1String("media_end");
        QVERIFY2(endTurned, qPrintable(pages.join(' ')));
        QVERIFY(events(player).contains("video_end_of_stream"));
        // The soundtrack's tone starts.
        QVERIFY(events(player).contains("soundtrack_track_started"));
        // The scheduled page is shown only in its minutes (even minutes of the manifest's zone).
        for (const QJsonObject& activation : activations) {
            if (activation.value("page_id").toString() == QLatin1String("minutes"))
                QCOMPARE(stamp(activation).toUTC().time().minute() % 2, 0);
        }
        // The gallery's images follow one another on their dwells; every item was reported.
        QStringList started;
        for (const QJsonObject& report : recordsOf(journal, "report"))
            started.append(report.value("body").toObject().value("context").toObject().value("media_id").toString());
        for (const char* media : {"welcome-1", "gallery-1", "gallery-2", "gallery-3", "bars.webm"})
            QVERIFY2(started.contains(media), qPrintable(started.join(' ')));
        // Ads: the service fills alternate arrivals; at least one visit ran to its end, and its
        // evidence reached the service, each event once.
        const QList<QJsonObject> adEvents = readJsonLines(output + "/ad-events.jsonl");
        const QStringList adKinds = field(adEvents, "kind");
        QVERIFY2(served.contains("ad_resolve") && adKinds.contains("started")
                     && adKinds.contains("completed"),
                 qPrintable(adKinds.join(' ') + " / " + pages.join(' ')));
        const QStringList adEventIds = field(adEvents, "event_id");
        QCOMPARE(QSet<QString>(adEventIds.cbegin(), adEventIds.cend()).size(), adEventIds.size());
        QVERIFY(!reportCodes(journal).contains("playback.page_failed"));
        QVERIFY(!events(player).contains("fatal"));
        // The second revision is announced and taken in, and replaces the first while pages play.
        QVERIFY(served.contains("revision_announced"));
        QVERIFY(recordsOf(journal, "manifest_requested").constLast().value("revision")
                == QLatin1String("man_sample-rev-2"));
        QVERIFY2(pages.contains("news"), qPrintable(pages.join(' ')));
        QStringList activated;
        for (const QJsonObject& report : recordsOf(journal, "report")) {
            const QJsonObject body = report.value("body").toObject();
            if (body.value("code").toString() == QLatin1String("manifest.activated"))
                activated.append(body.value("context").toObject().value("manifest_revision").toString());
        }
        QCOMPARE(activated, (QStringList{"man_sample-rev-1", "man_sample-rev-2"}));
        // Each screenshot the service saved shows one of the pages.
        const QStringList shots =
            QDir(output + "/screenshots").entryList({"*.png"}, QDir::Files, QDir::Name);
        QVERIFY(!shots.isEmpty());
        // A shot taken during a transition shows a blend or a page sliding over the ground, so
        // not every shot shows a page whole; every one must decode, and some must.
        int whole = 0;
        for (const QString& shot : shots) {
            const QImage image(output + "/screenshots/" + shot);
            QVERIFY2(!image.isNull(), qPrintable(shot));
            whole += showsAPage(image);
        }
        QVERIFY2(whole > 0, qPrintable(shots.join(' ')));
        QVERIFY(QFile::exists(output + "/player-oplog.jsonl"));

        // The kept state: bound at once, the first page from the cache before any content.
        run = runSample(output, 15, {"--keep-state"});
        QVERIFY2(run.exitCode == 0, run.out.constData());
        verifyStopped(output);
        journal = readJsonLines(journalPath);
        QVERIFY(!events(journal).contains("pairing_started"));
        player = latestRun(readJsonLines(devLog));
        const QList<QJsonObject> resumed = recordsOf(player, "candidate_activated");
        QVERIFY(!resumed.isEmpty());
        const QList<QJsonObject> content = recordsOf(journal, "content_requested");
        if (!content.isEmpty())
            QVERIFY(stamp(resumed.first()) < stamp(content.first()));
        QVERIFY(!events(player).contains("fatal"));

        // Without the service: the last known good plays offline.
        run = runSample(output, 12, {"--offline"});
        QVERIFY2(run.exitCode == 0, run.out.constData());
        verifyStopped(output);
        QVERIFY(!events(readJsonLines(journalPath)).contains("listening"));
        player = latestRun(readJsonLines(devLog));
        QVERIFY(!recordsOf(player, "candidate_activated").isEmpty());
        QVERIFY(!events(player).contains("fatal"));

        // The compositor the runs used belongs to the test and is still there.
        QFile pid(compositorPid);
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QCOMPARE(::kill(pid_t(pid.readAll().trimmed().toInt()), 0), 0);
    }
};

QTEST_GUILESS_MAIN(TestSampleRun)
#include "tst_samplerun.moc"
