#include "stage/SoundtrackSequencer.h"

#include <QTest>

using namespace talvorine;

namespace {

using Seq = SoundtrackSequencer;

// Track "X" has the content hash "hX", so two tracks may share a file when a script names
// the hash explicitly as "X=hY".
QList<Seq::Track> tracksFrom(const QString& list)
{
    QList<Seq::Track> tracks;
    for (const QString& entry : list.split(u',', Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split(u'=');
        tracks.append({parts.at(0), QStringLiteral("m") + parts.at(0),
                       parts.size() > 1 ? parts.at(1) : QStringLiteral("h") + parts.at(0)});
    }
    return tracks;
}

std::optional<Seq::Cue> cueFrom(const QStringList& words, int from)
{
    for (int i = from; i < words.size(); ++i) {
        if (words.at(i).startsWith(QLatin1String("cue=")))
            return Seq::Cue{words.at(i).mid(4), words.contains(QStringLiteral("restart"))};
    }
    return std::nullopt;
}

QString text(const Seq::Command& command)
{
    switch (command.kind) {
    case Seq::Command::play:
        return QStringLiteral("play %1").arg(command.trackIndex);
    case Seq::Command::stop:
        return command.trackIndex == -1 ? QStringLiteral("stop") : QStringLiteral("stop?");
    default:
        return command.trackIndex == -1 ? QStringLiteral("none") : QStringLiteral("none?");
    }
}

// Runs one step of a script:
//   set A,B,C [loop] [cue=B] [restart]   setSoundtrack ("set -" installs an empty list)
//   ready hA                             markReady
//   enter [cue=B] [restart]              pageEntered
//   ended | failed | clear
QString run(Seq& sequencer, const QString& step)
{
    const QStringList words = step.split(u' ', Qt::SkipEmptyParts);
    const QString op = words.value(0);
    if (op == QLatin1String("set")) {
        const QString list = words.value(1) == QLatin1String("-") ? QString() : words.value(1);
        return text(sequencer.setSoundtrack(tracksFrom(list), words.contains(QStringLiteral("loop")),
                                            cueFrom(words, 2)));
    }
    if (op == QLatin1String("ready"))
        return text(sequencer.markReady(words.value(1)));
    if (op == QLatin1String("enter"))
        return text(sequencer.pageEntered(cueFrom(words, 1)));
    if (op == QLatin1String("ended"))
        return text(sequencer.trackEnded());
    if (op == QLatin1String("failed"))
        return text(sequencer.trackFailed());
    if (op == QLatin1String("clear"))
        return text(sequencer.clear());
    return QStringLiteral("bad step");
}

} // namespace

class TestSoundtrackSequencer : public QObject {
    Q_OBJECT
private:
    // Each row is a script of steps, the command each step returns, and the state after it:
    // the current index and whether the sequencer waits for a ready mark.
    void addScriptColumns()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("current");
        QTest::addColumn<bool>("waiting");
    }
    void runScript()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, commands);
        QFETCH(int, current);
        QFETCH(bool, waiting);
        QCOMPARE(steps.size(), commands.size());
        Seq sequencer;
        QStringList got;
        for (const QString& step : std::as_const(steps))
            got.append(run(sequencer, step));
        QCOMPARE(got, commands);
        QCOMPARE(sequencer.currentIndex(), current);
        QCOMPARE(sequencer.waiting(), waiting);
    }

private slots:
    void start_data()
    {
        addScriptColumns();
        QTest::newRow("nothing ready waits without stopping")
            << QStringList{"set A,B,C"} << QStringList{"none"} << -1 << true;
        QTest::newRow("first ready track from the start")
            << QStringList{"ready hA", "ready hB", "set A,B,C"}
            << QStringList{"none", "none", "play 0"} << 0 << false;
        QTest::newRow("cue starts at the cued track")
            << QStringList{"ready hA", "ready hB", "ready hC", "set A,B,C cue=B"}
            << QStringList{"none", "none", "none", "play 1"} << 1 << false;
        QTest::newRow("cue search wraps past the end")
            << QStringList{"ready hA", "set A,B,C cue=B"} << QStringList{"none", "play 0"} << 0
            << false;
        QTest::newRow("cue search wraps even without loop")
            << QStringList{"ready hA", "set A,B,C cue=C"} << QStringList{"none", "play 0"} << 0
            << false;
        QTest::newRow("unknown cue starts at the first")
            << QStringList{"ready hB", "ready hC", "set A,B,C cue=Z"}
            << QStringList{"none", "none", "play 1"} << 1 << false;
        QTest::newRow("new list with nothing ready stops what played")
            << QStringList{"ready hA", "set A", "set B,C"} << QStringList{"none", "play 0", "stop"}
            << -1 << true;
        QTest::newRow("empty list stops what played")
            << QStringList{"ready hA", "set A", "set -"} << QStringList{"none", "play 0", "stop"}
            << -1 << false;
        QTest::newRow("empty list with nothing playing")
            << QStringList{"set -"} << QStringList{"none"} << -1 << false;
        QTest::newRow("ready set survives a new list")
            << QStringList{"ready hB", "set A", "set A,B"} << QStringList{"none", "none", "play 1"}
            << 1 << false;
    }
    void start() { runScript(); }

    void waitingThenReady_data()
    {
        addScriptColumns();
        QTest::newRow("mark of a listed track plays it")
            << QStringList{"set A,B,C", "ready hB"} << QStringList{"none", "play 1"} << 1 << false;
        QTest::newRow("search resumes at the cued track")
            << QStringList{"set A,B,C cue=C", "ready hA", "ready hC"}
            << QStringList{"none", "play 0", "none"} << 0 << false;
        QTest::newRow("mark of an unlisted hash keeps waiting")
            << QStringList{"set A,B", "ready hZ"} << QStringList{"none", "none"} << -1 << true;
        QTest::newRow("marks while playing change nothing")
            << QStringList{"ready hA", "set A,B", "ready hB"}
            << QStringList{"none", "play 0", "none"} << 0 << false;
        QTest::newRow("marks without a list")
            << QStringList{"ready hA"} << QStringList{"none"} << -1 << false;
    }
    void waitingThenReady() { runScript(); }

    void pageEntered_data()
    {
        addScriptColumns();
        QTest::newRow("cue of a ready track jumps")
            << QStringList{"ready hA", "ready hC", "set A,B,C", "enter cue=C"}
            << QStringList{"none", "none", "play 0", "play 2"} << 2 << false;
        QTest::newRow("cue of the current track without restart")
            << QStringList{"ready hA", "set A,B", "enter cue=A"}
            << QStringList{"none", "play 0", "none"} << 0 << false;
        QTest::newRow("cue of the current track with restart")
            << QStringList{"ready hA", "set A,B", "enter cue=A restart"}
            << QStringList{"none", "play 0", "play 0"} << 0 << false;
        QTest::newRow("cue of a track not ready")
            << QStringList{"ready hA", "set A,B", "enter cue=B restart"}
            << QStringList{"none", "play 0", "none"} << 0 << false;
        QTest::newRow("cue of an unknown track")
            << QStringList{"ready hA", "set A,B", "enter cue=Z"}
            << QStringList{"none", "play 0", "none"} << 0 << false;
        QTest::newRow("no cue")
            << QStringList{"ready hA", "set A,B", "enter"} << QStringList{"none", "play 0", "none"}
            << 0 << false;
        QTest::newRow("cue ends the wait")
            << QStringList{"set A,B", "enter cue=B", "ready hB", "enter cue=B"}
            << QStringList{"none", "none", "play 1", "none"} << 1 << false;
    }
    void pageEntered() { runScript(); }

    void trackEnded_data()
    {
        addScriptColumns();
        QTest::newRow("next ready track")
            << QStringList{"ready hA", "ready hC", "set A,B,C", "ended"}
            << QStringList{"none", "none", "play 0", "play 2"} << 2 << false;
        QTest::newRow("end of list without loop stops")
            << QStringList{"ready hA", "ready hB", "set A,B", "ended", "ended"}
            << QStringList{"none", "none", "play 0", "play 1", "stop"} << -1 << false;
        QTest::newRow("end of list with loop wraps")
            << QStringList{"ready hA", "ready hB", "set A,B loop", "ended", "ended"}
            << QStringList{"none", "none", "play 0", "play 1", "play 0"} << 0 << false;
        QTest::newRow("single looping track repeats")
            << QStringList{"ready hA", "set A loop", "ended", "ended"}
            << QStringList{"none", "play 0", "play 0", "play 0"} << 0 << false;
        QTest::newRow("single track without loop stops")
            << QStringList{"ready hA", "set A", "ended"} << QStringList{"none", "play 0", "stop"}
            << -1 << false;
        QTest::newRow("looping skips unready tracks and comes back round")
            << QStringList{"ready hB", "set A,B,C loop", "ended"}
            << QStringList{"none", "play 1", "play 1"} << 1 << false;
        QTest::newRow("nothing current")
            << QStringList{"set A,B", "ended"} << QStringList{"none", "none"} << -1 << true;
        QTest::newRow("after a stop at the end a mark starts nothing")
            << QStringList{"ready hA", "set A,B", "ended", "ready hB"}
            << QStringList{"none", "play 0", "stop", "none"} << -1 << false;
    }
    void trackEnded() { runScript(); }

    void trackFailed_data()
    {
        addScriptColumns();
        QTest::newRow("nothing current")
            << QStringList{"set A", "failed"} << QStringList{"none", "none"} << -1 << true;
        QTest::newRow("skips to the next ready track")
            << QStringList{"ready hA", "ready hC", "set A,B,C", "failed"}
            << QStringList{"none", "none", "play 0", "play 2"} << 2 << false;
        QTest::newRow("wraps when looping")
            << QStringList{"ready hA", "ready hC", "set A,B,C loop cue=C", "failed"}
            << QStringList{"none", "none", "play 2", "play 0"} << 0 << false;
        QTest::newRow("does not wrap without loop")
            << QStringList{"ready hA", "ready hC", "set A,B,C cue=C", "failed"}
            << QStringList{"none", "none", "play 2", "stop"} << -1 << true;
        // A lone looping track whose file failed must not be replayed until it is ready again.
        QTest::newRow("single looping track stops and waits")
            << QStringList{"ready hA", "set A loop", "failed"}
            << QStringList{"none", "play 0", "stop"} << -1 << true;
        QTest::newRow("refetched file restarts playback")
            << QStringList{"ready hA", "ready hB", "set A,B loop cue=B", "failed", "failed",
                           "ready hB"}
            << QStringList{"none", "none", "play 1", "play 0", "stop", "play 1"} << 1 << false;
        // A is still ready, but the wait resumes at the failed track.
        QTest::newRow("refetch resumes at the failed track, not the first ready one")
            << QStringList{"ready hA", "ready hB", "set A,B cue=B", "failed", "ready hB"}
            << QStringList{"none", "none", "play 1", "stop", "play 1"} << 1 << false;
        QTest::newRow("failed hash leaves the ready set")
            << QStringList{"ready hA", "ready hB", "set A,B loop", "failed", "enter cue=A restart"}
            << QStringList{"none", "none", "play 0", "play 1", "none"} << 1 << false;
        QTest::newRow("a shared file fails for every track using it")
            << QStringList{"ready hX", "set A=hX,B=hX loop", "failed"}
            << QStringList{"none", "play 0", "stop"} << -1 << true;
    }
    void trackFailed() { runScript(); }

    void clear_data()
    {
        addScriptColumns();
        QTest::newRow("stops what played")
            << QStringList{"ready hA", "set A", "clear"} << QStringList{"none", "play 0", "stop"}
            << -1 << false;
        QTest::newRow("nothing playing")
            << QStringList{"set A", "clear"} << QStringList{"none", "none"} << -1 << false;
        QTest::newRow("forgets the ready set")
            << QStringList{"ready hA", "set A", "clear", "set A"}
            << QStringList{"none", "play 0", "stop", "none"} << -1 << true;
        QTest::newRow("ends the wait")
            << QStringList{"set A", "clear", "ready hA"} << QStringList{"none", "none", "none"}
            << -1 << false;
    }
    void clear() { runScript(); }

    void stateReadByTheController()
    {
        Seq sequencer;
        sequencer.markReady(QStringLiteral("hB"));
        sequencer.setSoundtrack(tracksFrom(QStringLiteral("A,B")), true, std::nullopt);
        QCOMPARE(sequencer.trackCount(), 2);
        QCOMPARE(sequencer.tracks().at(1).mediaId, QStringLiteral("mB"));
        QCOMPARE(sequencer.currentIndex(), 1);
        QVERIFY(sequencer.loop());
        QVERIFY(sequencer.isReady(QStringLiteral("hB")));
    }
};

QTEST_GUILESS_MAIN(TestSoundtrackSequencer)
#include "tst_soundtracksequencer.moc"
