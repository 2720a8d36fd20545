#include "ads/AdOutbox.h"
#include "app/DevFileLog.h"
#include "tests/runtime/FsyncProbe.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvorine;

namespace {

const qint64 now = QDateTime(QDate(2026, 3, 2), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();

AdEventRecord adEvent(const QString& decision, qint64 endedMs = now, qint64 startedMs = -1)
{
    AdEventRecord record;
    record.decisionId = decision;
    record.occurrenceId = QStringLiteral("occ_") + decision;
    record.kind = QStringLiteral("completed");
    record.endedAt = QDateTime::fromMSecsSinceEpoch(endedMs, Qt::UTC);
    if (startedMs >= 0)
        record.startedAt = QDateTime::fromMSecsSinceEpoch(startedMs, Qt::UTC);
    record.durationMs = 15000;
    return record;
}

// The pending records as "decision:sequence" words, in order.
QString describe(const QList<AdEventRecord>& records)
{
    QStringList words;
    for (const AdEventRecord& record : records)
        words.append(QStringLiteral("%1:%2").arg(record.decisionId).arg(record.clientSequence));
    return words.join(' ');
}

QJsonObject stored(const char* id, const char* decision, qint64 sequence, qint64 queuedMs = now)
{
    return {{"event_id", id}, {"decision_id", decision}, {"occurrence_id", "occ_1"},
            {"kind", "skipped"}, {"client_sequence", sequence}, {"duration_ms", 0},
            {"queued_at_ms", queuedMs}, {"ended_at_ms", queuedMs}};
}

QByteArray file(const QJsonObject& root)
{
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QList<AdEventOutcome> outcomesFor(const QStringList& ids)
{
    QList<AdEventOutcome> outcomes;
    for (const QString& id : ids)
        outcomes.append({id, QStringLiteral("accepted")});
    return outcomes;
}

// The writer of the crash test: enqueues, takes, commits, restores and discards at random,
// telling the parent on the pipe what has returned ("E id sequence" once queued), what it is
// about to settle ("P id") and what it has settled ("S id").
[[noreturn]] void crashChild(const QString& path, quint32 seed, int fd)
{
    const auto say = [fd](const QByteArray& line) {
        if (::write(fd, line.constData(), size_t(line.size())) < 0)
            ::_exit(3);
    };
    QRandomGenerator random(seed);
    AdOutbox outbox(path);
    outbox.load();
    QList<AdEventRecord> batch;
    for (int step = 0; step < 400; ++step) {
        // A short queue keeps every rewrite small; the rules do not depend on its length.
        const int action = random.bounded(10);
        if (action < 4 && outbox.pending().size() < 64) {
            const QString id = outbox.enqueue(
                adEvent(QStringLiteral("d"), QDateTime::currentMSecsSinceEpoch()));
            say("E " + id.toLatin1() + ' '
                + QByteArray::number(outbox.pending().constLast().clientSequence) + '\n');
        } else if (action < 6 && batch.isEmpty()) {
            batch = outbox.take(1 + random.bounded(6));
        } else if (action < 9 && !batch.isEmpty()) {
            QStringList answered;
            for (const AdEventRecord& record : std::as_const(batch)) {
                if (random.bounded(3) != 0)
                    answered.append(record.eventId);
            }
            for (const QString& id : std::as_const(answered))
                say("P " + id.toLatin1() + '\n');
            outbox.commitReported(batch, outcomesFor(answered));
            for (const QString& id : std::as_const(answered))
                say("S " + id.toLatin1() + '\n');
            batch.clear();
        } else if (!batch.isEmpty()) {
            if (random.bounded(2) == 0) {
                outbox.restore(batch);
            } else {
                for (const AdEventRecord& record : std::as_const(batch))
                    say("P " + record.eventId.toLatin1() + '\n');
                outbox.discard(batch);
                for (const AdEventRecord& record : std::as_const(batch))
                    say("S " + record.eventId.toLatin1() + '\n');
            }
            batch.clear();
        }
    }
    ::_exit(0);
}

} // namespace

class TestAdOutbox : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> dir;
    QString stateDir;
    QString path;

    AdOutbox makeOutbox(qint64 clockMs = now) const
    {
        return AdOutbox(path, [clockMs] { return clockMs; });
    }

    QList<QJsonObject> persistFailures() const
    {
        return test::recordsOf(test::readJsonLines(DevFileLog::path()),
                               QStringLiteral("ad.outbox.persist_failed"));
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), dir->filePath("log"), 0);
        stateDir = dir->filePath(QStringLiteral("playback-state"));
        QVERIFY(QDir().mkpath(stateDir));
        path = stateDir + QStringLiteral("/ad-outbox.json");
    }

    // Written on the calling thread, or in the background: there, one write at a time, a newer
    // state replacing one that waits, and nothing taken before a write has reached it.
    void roundTrip_data()
    {
        QTest::addColumn<bool>("background");
        QTest::newRow("on the calling thread") << false;
        QTest::newRow("in the background") << true;
    }

    void roundTrip()
    {
        QFETCH(bool, background);
        test::FsyncProbe probe(path);
        AdOutbox outbox = makeOutbox();
        int writes = 0;
        if (background)
            outbox.writeInBackground([&writes] { ++writes; });
        outbox.enqueue(adEvent("a", now - 5000, now - 20000));
        outbox.enqueue(adEvent("b"));
        outbox.enqueue(adEvent("c"));
        if (background) {
            QVERIFY(outbox.take(2).isEmpty());
            QTRY_VERIFY(outbox.settled());
            QCOMPARE(writes, 2);
        }
        const QList<AdEventRecord> taken = outbox.take(2);
        QTRY_VERIFY(outbox.settled());
        static const QRegularExpression id(
            QStringLiteral("\\Aevt_[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\z"));
        QVERIFY(id.match(taken.at(0).eventId).hasMatch());

        // Every save is made durable: its directory is synced once the new file is in place.
        const QList<test::DirectorySync> syncs = probe.directorySyncs();
        QVERIFY(!syncs.isEmpty());
        QCOMPARE(syncs.constLast().directory, stateDir);
        QCOMPARE(syncs.constLast().watchedContent, testfiles::read(path));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(testfiles::modeOf(path), int(0666 & ~mask));

        // What was in flight comes back first at the next start, whole, sequences continuing.
        AdOutbox reloaded = makeOutbox();
        reloaded.load();
        QCOMPARE(describe(reloaded.pending()), QStringLiteral("a:1 b:2 c:3"));
        QVERIFY(reloaded.pending().mid(0, 2) == taken);
        QVERIFY(!reloaded.pending().at(1).startedAt.isValid());
        QCOMPARE(reloaded.nextSequence(), 4);
        QVERIFY(!reloaded.openVisit());

        // A visit is open from its "started" to its end, and kept with the last instant it was
        // known on glass; the outbox's last state reaches the disk before the outbox goes.
        AdEventRecord started = adEvent("v", now, now);
        started.kind = QStringLiteral("started");
        outbox.enqueue(started);
        const AdOutbox::OpenVisit open{"v", "occ_v", started.startedAt, started.endedAt.addMSecs(5000)};
        outbox.markVisitSeen(open.seenAt);
        QTRY_VERIFY(outbox.settled());
        {
            AdOutbox last = makeOutbox();
            last.load();
            if (background)
                last.writeInBackground({});
            QCOMPARE(last.openVisit(), std::optional(open));
            last.enqueue(adEvent("v"));
            QVERIFY(!last.openVisit());
        }
        reloaded.load();
        QVERIFY(!reloaded.openVisit());
        QCOMPARE(describe(reloaded.pending()).right(3), QStringLiteral("v:5"));
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("pending");
        QTest::addColumn<qint64>("next");
        const QJsonArray two{stored("e1", "a", 1), stored("e2", "b", 2)};
        const auto with = [](const QJsonObject& base, const char* key, const QJsonValue& value) {
            QJsonObject changed = base;
            changed.insert(QLatin1String(key), value);
            return file(changed);
        };
        const QJsonObject plain{{"format", 1}, {"events", two}, {"next_sequence", 3}};
        QTest::newRow("as written") << file(plain) << QString("a:1 b:2") << qint64(3);
        QTest::newRow("format 2") << with(plain, "format", 2) << QString("a:1 b:2") << qint64(3);
        QTest::newRow("format 0") << with(plain, "format", 0) << QString("") << qint64(1);
        QTest::newRow("format 1.5") << with(plain, "format", 1.5) << QString("") << qint64(1);
        QTest::newRow("format as text") << with(plain, "format", "1") << QString("") << qint64(1);
        QTest::newRow("not JSON") << QByteArray("{\"format\":1,") << QString("") << qint64(1);
        QTest::newRow("an array") << QByteArray("[1]") << QString("") << qint64(1);
        QTest::newRow("events not a list") << with(plain, "events", "e1") << QString("") << qint64(3);
        QTest::newRow("next sequence behind") << with(plain, "next_sequence", 1) << QString("a:1 b:2") << qint64(3);
        QTest::newRow("next sequence missing")
            << with(plain, "next_sequence", QJsonValue::Undefined) << QString("a:1 b:2") << qint64(3);
        QTest::newRow("next sequence 50") << with(plain, "next_sequence", 50) << QString("a:1 b:2") << qint64(50);
        QTest::newRow("stored sequence ahead")
            << file({{"format", 1}, {"events", QJsonArray{stored("e9", "a", 9)}}, {"next_sequence", 5}})
            << QString("a:9") << qint64(10);
        QJsonObject noEnd = stored("e3", "c", 3);
        noEnd.remove("ended_at_ms");
        QJsonObject zero = stored("x1", "x", 0);
        QJsonObject blank = stored("x2", "", 4);
        QJsonObject capital = stored("x3", "x", 5);
        capital.insert("kind", "Started");
        QJsonObject fraction = stored("x4", "x", 6);
        fraction.insert("client_sequence", 6.5);
        QTest::newRow("bad records skipped one by one")
            << file({{"format", 1},
                     {"events", QJsonArray{zero, stored("e1", "a", 1), blank, 7, capital, noEnd,
                                           fraction, QJsonObject{}}}})
            << QString("a:1 c:3") << qint64(4);
        QTest::newRow("in flight first, its copy kept")
            << file({{"format", 1},
                     {"events", QJsonArray{stored("e1", "a", 1), stored("e2", "b", 2)}},
                     {"inflight", QJsonArray{stored("e2", "B", 2), stored("e3", "c", 3)}}})
            << QString("B:2 c:3 a:1") << qint64(4);
        // The machine's clock may be a day off at a start: nothing goes for age at load.
        QTest::newRow("more than a day old, all kept")
            << file({{"format", 1},
                     {"events", QJsonArray{stored("e1", "a", 1, now - AdOutbox::expiryMs - 1),
                                           stored("e2", "b", 2, now - AdOutbox::expiryMs)}},
                     {"inflight", QJsonArray{stored("e3", "c", 3, now - AdOutbox::expiryMs - 1)}}})
            << QString("c:3 a:1 b:2") << qint64(4);
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, pending);
        QFETCH(qint64, next);
        QVERIFY(testfiles::write(path, content));
        AdOutbox outbox = makeOutbox();
        outbox.load();
        QCOMPARE(describe(outbox.pending()), pending);
        QCOMPARE(outbox.nextSequence(), next);
        QVERIFY(outbox.inflight().isEmpty());
        QCOMPARE(testfiles::read(path), content); // loading never writes
    }

    // Ages go by the service's clock, which stamped the events, whatever the machine's says:
    // what is more than a day before the service's now goes, an open visit too, and the file is
    // written only when something went.
    void dropExpired_data()
    {
        QTest::addColumn<qint64>("localMs");
        QTest::addColumn<qint64>("serviceMs");
        QTest::addColumn<QString>("pending");
        QTest::addColumn<bool>("visitKept");
        const qint64 day = AdOutbox::expiryMs, hour = 3600000;
        QTest::newRow("local clock a day ahead, all fresh")
            << now + day + hour << now << QString("c:3 a:1 b:2") << true;
        QTest::newRow("local clock a day behind, a day old stays, a millisecond more goes")
            << now - day << now + day - 2 * hour << QString("a:1 b:2") << true;
        QTest::newRow("all old, the visit too")
            << now << now + day - hour + 1 << QString("") << false;
    }
    void dropExpired()
    {
        QFETCH(qint64, localMs);
        QFETCH(qint64, serviceMs);
        QFETCH(QString, pending);
        QFETCH(bool, visitKept);
        const QByteArray content =
            file({{"format", 1},
                  {"events", QJsonArray{stored("e1", "a", 1, now - 7200000),
                                        stored("e2", "b", 2, now - 3600000)}},
                  {"inflight", QJsonArray{stored("e3", "c", 3, now - 10800000)}},
                  {"open_visit", QJsonObject{{"decision_id", "v"}, {"occurrence_id", "occ_v"},
                                             {"started_at_ms", now - 3700000},
                                             {"seen_at_ms", now - 3600000}}}});
        QVERIFY(testfiles::write(path, content));
        AdOutbox outbox = makeOutbox(localMs);
        outbox.load();
        QCOMPARE(describe(outbox.pending()), QStringLiteral("c:3 a:1 b:2"));
        QVERIFY(outbox.openVisit());
        outbox.dropExpired(serviceMs);
        QCOMPARE(describe(outbox.pending()), pending);
        QCOMPARE(bool(outbox.openVisit()), visitKept);
        AdOutbox reloaded = makeOutbox(localMs);
        reloaded.load();
        QCOMPARE(describe(reloaded.pending()), pending);
        QCOMPARE(testfiles::read(path) == content, pending.size() == 11);
    }

    // The bound keeps the newest 1000, at load and when one more is queued.
    void bound()
    {
        QJsonArray many;
        for (int i = 1; i <= 1005; ++i)
            many.append(stored(qPrintable(QStringLiteral("e%1").arg(i)), "d", i));
        QVERIFY(testfiles::write(path, file({{"format", 1}, {"events", many}})));
        AdOutbox outbox = makeOutbox();
        outbox.load();
        QCOMPARE(outbox.pending().size(), AdOutbox::maxPending);
        QCOMPARE(outbox.pending().constFirst().clientSequence, 6);
        const QString id = outbox.enqueue(adEvent("new"));
        QCOMPARE(outbox.pending().size(), AdOutbox::maxPending);
        QCOMPARE(outbox.pending().constFirst().clientSequence, 7);
        QCOMPARE(outbox.pending().constLast().eventId, id);
        QCOMPARE(outbox.pending().constLast().clientSequence, 1006);
    }

    void take_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("taken");
        QTest::newRow("none asked takes one") << 3 << 0 << 1;
        QTest::newRow("negative takes one") << 3 << -5 << 1;
        QTest::newRow("at most 32") << 40 << 100 << 32;
        QTest::newRow("what there is") << 2 << 5 << 2;
        QTest::newRow("empty outbox") << 0 << 32 << 0;
    }

    void take()
    {
        QFETCH(int, queued);
        QFETCH(int, asked);
        QFETCH(int, taken);
        AdOutbox outbox = makeOutbox();
        for (int i = 0; i < queued; ++i)
            outbox.enqueue(adEvent(QString::number(i)));
        const QByteArray before = testfiles::read(path);
        const QList<AdEventRecord> batch = outbox.take(asked);
        QCOMPARE(batch.size(), taken);
        QCOMPARE(outbox.inflight().size(), taken);
        QCOMPARE(outbox.pending().size(), queued - taken);
        if (taken > 0)
            QCOMPARE(batch.constFirst().clientSequence, 1);
        // Nothing taken, nothing written: an empty outbox is asked several times a second.
        QCOMPARE(testfiles::read(path) == before, taken == 0);
        QCOMPARE(testfiles::exists(path), queued > 0);
    }

    // A batch of a, b, c in flight and d waiting; the operation names some of them. Records
    // handed back lead, ahead of what was waiting; what is still in flight leads after a load.
    void settle_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("named");
        QTest::addColumn<QString>("pending");
        QTest::addColumn<QString>("reloaded");
        const auto row = [](const char* name, const char* operation, const QStringList& named,
                            const char* pending, const char* reloaded) {
            QTest::newRow(name) << QString(operation) << named << QString(pending) << QString(reloaded);
        };
        row("all answered", "commit", {"a", "b", "c"}, "d:4", "d:4");
        row("some answered", "commit", {"b"}, "a:1 c:3 d:4", "a:1 c:3 d:4");
        row("no outcome", "commit", {}, "a:1 b:2 c:3 d:4", "a:1 b:2 c:3 d:4");
        row("answer for one handed back", "late", {"d"}, "", "a:1 b:2 c:3");
        row("restore, one already waiting", "restore", {"d", "b"}, "d:4 b:2", "a:1 c:3 d:4 b:2");
        row("discard", "discard", {"a", "d"}, "", "b:2 c:3");
    }

    void settle()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, named);
        QFETCH(QString, pending);
        QFETCH(QString, reloaded);
        AdOutbox outbox = makeOutbox();
        for (const char* decision : {"a", "b", "c", "d"})
            outbox.enqueue(adEvent(decision));
        const QList<AdEventRecord> batch = outbox.take(3);
        QHash<QString, AdEventRecord> byDecision;
        for (const AdEventRecord& record : outbox.pending() + batch)
            byDecision.insert(record.decisionId, record);
        QList<AdEventRecord> given;
        QStringList ids;
        for (const QString& decision : std::as_const(named)) {
            given.append(byDecision.value(decision));
            ids.append(byDecision.value(decision).eventId);
        }
        if (operation == QLatin1String("commit"))
            outbox.commitReported(batch, outcomesFor(ids));
        else if (operation == QLatin1String("late"))
            outbox.commitReported({}, outcomesFor(ids));
        else if (operation == QLatin1String("restore"))
            outbox.restore(given);
        else
            outbox.discard(given);
        QCOMPARE(describe(outbox.pending()), pending);
        AdOutbox next = makeOutbox();
        next.load();
        QCOMPARE(describe(next.pending()), reloaded);
    }

    void saveFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("code");
        QTest::newRow("no directory") << QString("missing") << QString("ad_outbox_open_failed");
        QTest::newRow("directory refuses new files")
            << QString("immutable") << QString("ad_outbox_open_failed");
        QTest::newRow("directory sync fails") << QString("sync") << QString("ad_outbox_commit_failed");
    }

    void saveFailures()
    {
        QFETCH(QString, fault);
        QFETCH(QString, code);
        test::FsyncProbe probe(path);
        AdOutbox outbox = makeOutbox();
        outbox.enqueue(adEvent("kept"));
        const QByteArray previous = testfiles::read(path);
        std::unique_ptr<testfiles::Immutable> frozen;
        if (fault == QLatin1String("missing")) {
            QVERIFY(QDir(stateDir).removeRecursively());
        } else if (fault == QLatin1String("immutable")) {
            frozen = std::make_unique<testfiles::Immutable>(stateDir);
            if (!frozen->isSet())
                QSKIP("this file system cannot make a directory immutable");
        } else {
            probe.failDirectorySyncs(true);
        }
        QString error;
        QVERIFY(!outbox.save(&error));
        QCOMPARE(error, code);
        outbox.enqueue(adEvent("second"));
        outbox.enqueue(adEvent("third"));
        QCOMPARE(outbox.pending().size(), 3);
        const QList<QJsonObject> failures = persistFailures();
        QCOMPARE(failures.size(), 2);
        QCOMPARE(failures.at(0).value("code").toString(), code);
        QCOMPARE(failures.at(1).value("events").toString(), QStringLiteral("3"));
        if (fault == QLatin1String("immutable"))
            QCOMPARE(testfiles::read(path), previous);
        frozen.reset();
        probe.failDirectorySyncs(false);
        // The next persist that can write writes the whole state.
        QVERIFY(QDir().mkpath(stateDir));
        outbox.persist();
        AdOutbox reloaded = makeOutbox();
        reloaded.load();
        QCOMPARE(describe(reloaded.pending()), QStringLiteral("kept:1 second:2 third:3"));
    }

    // A writer killed at random points, a few hundred times over one file: every reload is
    // consistent. Every event whose enqueue returned is there or was being settled, a settled
    // one never comes back, no id stands twice and no sequence is ever given to two events.
    void crashConsistency()
    {
        // Process death, not power loss, is the fault here: on a memory file system the syncs do
        // not dominate the test's time.
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                       : QDir::tempPath();
        QTemporaryDir memory(base + QStringLiteral("/tst_adoutbox-XXXXXX"));
        QVERIFY(memory.isValid());
        const QString outboxPath = memory.filePath(QStringLiteral("ad-outbox.json"));
        QRandomGenerator random(424242);
        QSet<QString> returned;
        QSet<QString> settling;
        QSet<QString> settled;
        QHash<qint64, QString> owners;
        qint64 largest = 0;
        const auto own = [&owners](qint64 sequence, const QString& id) {
            const auto owner = owners.constFind(sequence);
            if (owner != owners.constEnd())
                return owner.value() == id;
            owners.insert(sequence, id);
            return true;
        };
        for (int run = 0; run < 200; ++run) {
            int pipe[2];
            QCOMPARE(::pipe(pipe), 0);
            const quint32 seed = random.generate();
            const int killAfter = random.bounded(1, 60);
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                ::close(pipe[0]);
                crashChild(outboxPath, seed, pipe[1]);
            }
            ::close(pipe[1]);
            QByteArray said;
            bool killed = false;
            char chunk[4096];
            for (;;) {
                pollfd readable{pipe[0], POLLIN, 0};
                QVERIFY(::poll(&readable, 1, 30000) == 1);
                const ssize_t got = ::read(pipe[0], chunk, sizeof chunk);
                if (got <= 0)
                    break;
                said.append(chunk, int(got));
                if (!killed && said.count('\n') >= killAfter) {
                    ::kill(child, SIGKILL);
                    killed = true;
                }
            }
            ::close(pipe[0]);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
            for (const QByteArray& line : said.split('\n')) {
                const QList<QByteArray> words = line.split(' ');
                if (words.value(0) == "E" && words.size() == 3) {
                    returned.insert(QString::fromLatin1(words[1]));
                    QVERIFY(own(words[2].toLongLong(), QString::fromLatin1(words[1])));
                    largest = std::max(largest, words[2].toLongLong());
                } else if (words.value(0) == "P" && words.size() == 2) {
                    settling.insert(QString::fromLatin1(words[1]));
                } else if (words.value(0) == "S" && words.size() == 2) {
                    settled.insert(QString::fromLatin1(words[1]));
                }
            }
            AdOutbox reloaded(outboxPath);
            reloaded.load();
            QVERIFY(reloaded.pending().size() < AdOutbox::maxPending);
            QSet<QString> present;
            for (const AdEventRecord& record : reloaded.pending()) {
                QVERIFY2(!present.contains(record.eventId), "an event id stands twice");
                present.insert(record.eventId);
                QVERIFY2(own(record.clientSequence, record.eventId), "a sequence was reused");
                QVERIFY2(!settled.contains(record.eventId), "a settled event came back");
            }
            for (const QString& id : std::as_const(returned))
                QVERIFY2(present.contains(id) || settling.contains(id), "a queued event was lost");
            QVERIFY(reloaded.nextSequence() > largest);
        }
    }
};

QTEST_GUILESS_MAIN(TestAdOutbox)
#include "tst_adoutbox.moc"
