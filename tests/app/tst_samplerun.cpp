// The README's run command past its set-up and build steps: scripts/run-sample.sh under the test
// compositor in its bounded mode, judged from its output folder only. A fresh run pairs and plays
// every page; a run without the service plays the kept last known good offline, the web
// application included; a run on the kept state with the service shows the first page from the
// cache before asking for any content and delivers first the ad events the first run left.

#include "tests/support/GeneratedMedia.h"
#include "tests/support/SampleService.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <csignal>
#include <unistd.h>

using namespace talvorine::test;

namespace {

struct RunOutcome {
    int exitCode = -1;
    QByteArray out;
};

// Every process a run starts inherits this variable, the web engine's render processes included,
// so that any of them left behind can be found.
constexpr char runMark[] = "TALVORINE_SAMPLE_RUN_MARK";

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

// One run of the script, the service's delays short, until what the test asks of it has happened
// (done), when the test ends it with Ctrl+C as a person would, or until its bound, a guard against
// a hang that a busy machine only brings nearer: what a run shows is waited for, not timed. The
// test compositor is the "session's" compositor of the run. Screenshots come often enough that
// each page is taken at least once while it shows whole.
using RunShown = std::function<bool(const QList<QJsonObject>& player)>;
RunOutcome runSample(const QString& output, int seconds, const QStringList& options,
                     const RunShown& done)
{
    // The player's developer-log records of this run, once it has started: a kept state
    // directory holds those of the runs before it.
    const QString devLog = output + "/state/dev-log.jsonl";
    const auto starts = [&devLog] {
        return recordsOf(readJsonLines(devLog), "process.start").size();
    };
    const qsizetype before = starts();
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(runMark), output);
    // As a person would start it: whether the web engine's sandbox can run is the script's to
    // settle, not the test environment's.
    environment.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
    script.setProcessEnvironment(environment);
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"),
                 QStringList{QStringLiteral(TALVORINE_SOURCE_DIR "/scripts/run-sample.sh"),
                             "--build-dir", QStringLiteral(TALVORINE_BUILD_DIR), "--output",
                             output, "--duration", QString::number(seconds)}
                     + options
                     + QStringList{"--", "--claim-delay-ms", "500", "--page-dwell-ms", "2500",
                                   "--screenshot-interval-ms", "1000", "--revision-delay-ms",
                                   "10000", "--application-show-ms", "3000"});
    // The logs are read again once a second, not at every turn of the wait.
    QElapsedTimer sinceRead;
    const bool shown = QTest::qWaitFor(
        [&] {
            if (script.state() == QProcess::NotRunning)
                return true;
            if (sinceRead.isValid() && sinceRead.elapsed() < 1000)
                return false;
            sinceRead.start();
            return starts() > before && done(latestRun(readJsonLines(devLog)));
        },
        seconds * 1000);
    const bool interrupted = shown && script.state() == QProcess::Running;
    if (interrupted)
        ::kill(pid_t(script.processId()), SIGINT);
    // The script's own bound ends it otherwise; the wait only guards against a hang.
    if (!script.waitForFinished(90000)) {
        script.kill();
        script.waitForFinished();
    }
    const int code = script.exitStatus() == QProcess::NormalExit ? script.exitCode() : -1;
    // Ctrl+C ends the script with 130, its bound with 0: either is a run that ended as asked.
    return {interrupted && code == 130 ? 0 : code, script.readAll()};
}

QDateTime stamp(const QJsonObject& record)
{
    return QDateTime::fromString(record.value("ts").toString(), Qt::ISODateWithMs);
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

// Whether a showing of the page was ended by the page after it for that reason.
bool turned(const QList<QJsonObject>& activations, const char* page, const char* origin)
{
    for (qsizetype i = 0; i + 1 < activations.size(); ++i) {
        if (activations.at(i).value("page_id").toString() == QLatin1String(page)
            && activations.at(i + 1).value("origin").toString() == QLatin1String(origin))
            return true;
    }
    return false;
}

// Report bodies the service received, by their code.
QStringList reportCodes(const QList<QJsonObject>& journal)
{
    QStringList codes;
    for (const QJsonObject& record : recordsOf(journal, "report"))
        codes.append(record.value("body").toObject().value("code").toString());
    return codes;
}

bool near(QColor seen, QRgb colour)
{
    return std::abs(seen.red() - qRed(colour)) < 24 && std::abs(seen.green() - qGreen(colour)) < 24
        && std::abs(seen.blue() - qBlue(colour)) < 24;
}

// Whether the colour near a shot's top left corner is the page's: its images' fields (either
// revision's), the web application's background, the colour bars' white, the image ad's field;
// for a video ad, or an ad yet to show its first frame, anything but an empty ad page's black.
bool fits(const QString& pageId, const QString& adCreative, QColor seen)
{
    QList<QRgb> colours;
    if (pageId == QLatin1String("ad") && adCreative != QLatin1String("image"))
        return !near(seen, qRgb(0, 0, 0));
    if (pageId == QLatin1String("ad"))
        colours = {qRgb(0xf5, 0xf0, 0xe1)};
    else if (pageId == QLatin1String("lobby"))
        colours = {qRgb(0x12, 0x32, 0x4a)};
    else if (pageId == QLatin1String("clip"))
        colours = {qRgb(smpteBars[0].r, smpteBars[0].g, smpteBars[0].b)};
    for (const int revision : {1, 2}) {
        for (const SamplePage& page : SampleService::pages(revision)) {
            for (const SampleImage& image : page.images) {
                if (page.id == pageId)
                    colours.append(image.colour);
            }
        }
    }
    return std::any_of(colours.cbegin(), colours.cend(),
                       [&seen](QRgb colour) { return near(seen, colour); });
}

// Each saved screenshot taken while one page showed whole shows that page's colour. A page shows
// whole from a while after its transition (or its next image in place) began until the next one
// begins; the capture is taken when the player logs the request. Returns how many were judged and
// adds to wrong each that shows another colour.
int judgeScreenshots(const QList<QJsonObject>& player, const QList<QJsonObject>& journal,
                     const QHash<QString, QString>& creatives, QStringList* wrong)
{
    constexpr qint64 settleMs = 1500; // the 800 ms transition and time to draw
    QHash<QString, QString> pngs;
    for (const QJsonObject& saved : recordsOf(journal, "screenshot_saved"))
        pngs.insert(saved.value("capture_id").toString(), saved.value("png").toString());
    int judged = 0;
    QString pageId, creative;
    QDateTime settledAt;
    for (const QJsonObject& record : player) {
        const QString event = record.value("event").toString();
        if (event == QLatin1String("candidate_activated")
            || event == QLatin1String("media_end_image_dwell")) {
            if (event == QLatin1String("candidate_activated")) {
                pageId = record.value("page_id").toString();
                creative.clear();
            }
            settledAt = stamp(record).addMSecs(settleMs);
        } else if (event == QLatin1String("ad_first_visible_frame")) {
            creative = creatives.value(record.value("occurrence_id").toString());
        } else if (event == QLatin1String("screenshot.request")) {
            const QString png = pngs.value(record.value("capture_id").toString());
            if (png.isEmpty() || !settledAt.isValid() || stamp(record) < settledAt)
                continue;
            const QImage shot(png);
            const QColor seen = shot.pixelColor(shot.width() / 20, shot.height() / 20);
            if (!fits(pageId, creative, seen))
                wrong->append(QStringLiteral("%1 shows %2 on %3").arg(png, seen.name(), pageId));
            ++judged;
        }
    }
    return judged;
}

// The ad events a player's outbox still holds, in flight first, then pending.
QList<QJsonObject> outboxEvents(const QString& output)
{
    QFile file(output + "/state/playback-state/ad-outbox.json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject outbox = QJsonDocument::fromJson(file.readAll()).object();
    QList<QJsonObject> events;
    for (const char* queue : {"inflight", "events"}) {
        for (const QJsonValue& event : outbox.value(queue).toArray())
            events.append(event.toObject());
    }
    return events;
}

// The processes still alive that a run started: those whose environment carries its mark.
QStringList markedProcesses(const QString& output)
{
    const QByteArray mark = QByteArray(runMark) + '=' + output.toLocal8Bit();
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile environ("/proc/" + pid + "/environ");
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(mark)) {
            QFile command("/proc/" + pid + "/cmdline");
            command.open(QIODevice::ReadOnly);
            found.append(pid + ' ' + QString::fromLocal8Bit(command.read(80).replace('\0', ' ')));
        }
    }
    return found;
}

// Every process the run started is gone, and it started no compositor of its own.
void verifyStopped(const QString& output)
{
    QFile pids(output + "/pids");
    QVERIFY2(pids.open(QIODevice::ReadOnly), qPrintable(QDir(output).entryList().join(' ')));
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
    // The web engine's render processes end on their own once the player has gone.
    QTRY_VERIFY2_WITH_TIMEOUT(markedProcesses(output).isEmpty(),
                              qPrintable(markedProcesses(output).join('\n')), 20000);
}

// No fatal record, no page or primitive failure, no web page failing.
void verifyNoFailure(const QList<QJsonObject>& player)
{
    for (const char* failure : {"fatal", "page_failed_reported", "primitive_failed", "web.failure"})
        QVERIFY2(!events(player).contains(failure), failure);
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

        // A fresh player: paired by the service, then every page in turn, until the application
        // has written its second showing, the clip ended its page, an ad visit was completed and
        // the second revision was taken in, however long a busy machine takes.
        const auto kvWrites = [&journalPath] {
            QStringList counts;
            for (const QJsonObject& request : recordsOf(readJsonLines(journalPath), "kv_request")) {
                if (request.value("method").toString() == QLatin1String("PUT"))
                    counts.append(request.value("value").toString());
            }
            return counts;
        };
        const auto activatedRevisions = [&journalPath] {
            QStringList activated;
            for (const QJsonObject& report : recordsOf(readJsonLines(journalPath), "report")) {
                const QJsonObject body = report.value("body").toObject();
                if (body.value("code").toString() == QLatin1String("manifest.activated"))
                    activated.append(body.value("context").toObject().value("manifest_revision").toString());
            }
            return activated;
        };
        RunOutcome run = runSample(output, 300, {}, [&](const QList<QJsonObject>& player) {
            const QList<QJsonObject> shown = recordsOf(player, "candidate_activated");
            return kvWrites().size() >= 2 && activatedRevisions().size() >= 2
                && turned(shown, "clip", "media_end")
                && field(readJsonLines(output + "/ad-events.jsonl"), "kind").contains("completed");
        });
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
        QVERIFY2(turned(activations, "lobby", "application"), qPrintable(pages.join(' ')));
        const QStringList counts = kvWrites();
        QVERIFY2(counts.size() >= 2 && counts.first() == QLatin1String("1")
                     && counts.at(1) == QLatin1String("2"),
                 qPrintable(counts.join(' ')));
        // The video plays to its end, and its end turns the page (a new revision may also take
        // over from it, so one showing is enough).
        QVERIFY2(turned(activations, "clip", "media_end"), qPrintable(pages.join(' ')));
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
        // Every filled arrival whose turn has come and gone, passed or discarded, has its whole
        // evidence: at the service, or in the outbox when the player was stopped first.
        const QList<QJsonObject> leftInOutbox = outboxEvents(output);
        QHash<QString, QString> creatives;
        for (const QJsonObject& resolve : recordsOf(journal, "ad_resolve")) {
            for (const QJsonValue& occurrence : resolve.value("occurrences").toArray()) {
                if (!resolve.value("creative").toString().isEmpty())
                    creatives.insert(occurrence.toString(), resolve.value("creative").toString());
            }
        }
        // An event in flight when the player stopped may have reached the service too.
        QHash<QString, QJsonObject> byId;
        for (const QJsonObject& event : adEvents + leftInOutbox)
            byId.insert(event.value("event_id").toString(), event);
        QHash<QString, QStringList> evidence;
        for (const QJsonObject& event : byId) {
            const QString occurrence = event.value("occurrence_id").toString();
            evidence[occurrence].append(event.value("kind").toString());
        }
        // A first frame outside the start window ends the visit without "started".
        const QList<QStringList> whole{
            {"skipped"}, {"completed", "started"}, {"interrupted", "started"}, {"interrupted"}};
        int settled = 0;
        for (const QJsonObject& turn :
             recordsOf(player, "ad_forecast_passed") + recordsOf(player, "ad_forecast_discarded")) {
            const QString occurrence = turn.value("occurrence_id").toString();
            if (!creatives.contains(occurrence))
                continue;
            QStringList kinds = evidence.value(occurrence);
            kinds.sort();
            QVERIFY2(whole.contains(kinds), qPrintable(occurrence + ": " + kinds.join(' ')));
            ++settled;
        }
        QVERIFY2(settled > 0, qPrintable(pages.join(' ')));
        QVERIFY(!reportCodes(journal).contains("playback.page_failed"));
        verifyNoFailure(player);
        // The second revision is announced and taken in, and replaces the first while pages play.
        QVERIFY(served.contains("revision_announced"));
        QVERIFY(recordsOf(journal, "manifest_requested").constLast().value("revision")
                == QLatin1String("man_sample-rev-2"));
        QVERIFY2(pages.contains("news"), qPrintable(pages.join(' ')));
        QCOMPARE(activatedRevisions(), (QStringList{"man_sample-rev-1", "man_sample-rev-2"}));
        // Every screenshot decodes, and each taken while a page showed whole shows its colour,
        // an ad's included.
        const QStringList shots =
            QDir(output + "/screenshots").entryList({"*.png"}, QDir::Files, QDir::Name);
        for (const QString& shot : shots)
            QVERIFY2(!QImage(output + "/screenshots/" + shot).isNull(), qPrintable(shot));
        QStringList wrong;
        const int judged = judgeScreenshots(player, journal, creatives, &wrong);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
        QVERIFY2(judged > 0, qPrintable(shots.join(' ')));
        QVERIFY(QFile::exists(output + "/player-oplog.jsonl"));

        // Without the service: the last known good plays offline, the web application included,
        // from its cached package; its key-value requests are answered without the network.
        run = runSample(output, 180, {"--offline"}, [](const QList<QJsonObject>& player) {
            return turned(recordsOf(player, "candidate_activated"), "lobby", "application")
                && recordsOf(player, "web.package").size() >= 3;
        });
        QVERIFY2(run.exitCode == 0, run.out.constData());
        verifyStopped(output);
        QVERIFY(!events(readJsonLines(journalPath)).contains("listening"));
        player = latestRun(readJsonLines(devLog));
        const QList<QJsonObject> offline = recordsOf(player, "candidate_activated");
        QVERIFY2(turned(offline, "lobby", "application"),
                 qPrintable(field(offline, "page_id").join(' ') + '\n' + run.out));
        QVERIFY(recordsOf(player, "web.package").size() >= 3);
        for (const QJsonObject& package : recordsOf(player, "web.package"))
            QVERIFY(package.value("resolved").toBool());
        for (const QString& path : field(recordsOf(player, "http"), "path"))
            QVERIFY2(!path.contains("/kv"), qPrintable(path));
        verifyNoFailure(player);

        // The kept state with the service: bound at once, the first page from the cache before
        // any content, and the ad events the first run left in its outbox delivered first.
        const QStringList left = field(leftInOutbox, "event_id");
        run = runSample(output, 180, {"--keep-state"}, [&](const QList<QJsonObject>& player) {
            const QStringList delivered =
                field(readJsonLines(output + "/ad-events.jsonl"), "event_id");
            return !recordsOf(player, "candidate_activated").isEmpty()
                && delivered.mid(0, left.size()) == left;
        });
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
        const QStringList delivered = field(readJsonLines(output + "/ad-events.jsonl"), "event_id");
        QCOMPARE(delivered.mid(0, left.size()), left);
        const QStringList stillLeft = field(outboxEvents(output), "event_id");
        for (const QString& id : left)
            QVERIFY2(!stillLeft.contains(id), qPrintable(id));
        verifyNoFailure(player);

        // The compositor the runs used belongs to the test and is still there.
        QFile pid(compositorPid);
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QCOMPARE(::kill(pid_t(pid.readAll().trimmed().toInt()), 0), 0);
    }
};

QTEST_GUILESS_MAIN(TestSampleRun)
#include "tst_samplerun.moc"
