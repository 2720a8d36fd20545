// When the compositor is said not to show the player's window, and when it is said to show it
// again, from the window's exposure over time.

#include "app/WindowShownWatch.h"

#include <QtTest>

using namespace talvorine;
using Say = WindowShownRule::Say;

namespace {

constexpr qint64 tenMinutesMs = 600000;

// The window's exposure from a moment on.
struct Exposure {
    qint64 atMs = 0;
    bool exposed = false;
};

// Exposure lost for gapMs every periodMs, from a shown window, until untilMs.
QList<Exposure> flapping(qint64 periodMs, qint64 gapMs, qint64 untilMs)
{
    QList<Exposure> changes{{500, true}};
    for (qint64 at = periodMs; at + gapMs < untilMs; at += periodMs)
        changes << Exposure{at, false} << Exposure{at + gapMs, true};
    return changes;
}

} // namespace

Q_DECLARE_METATYPE(QList<Exposure>)

class TestWindowShown : public QObject {
    Q_OBJECT
private slots:
    // The window starts unexposed at 0; the watch looks again whenever the rule says it may
    // have something to say, as its timer does, until ten minutes have passed.
    void linesSaid_data()
    {
        QTest::addColumn<QList<Exposure>>("changes");
        QTest::addColumn<QStringList>("said"); // "<ms> not shown" or "<ms> shown again"
        QTest::newRow("never exposed") << QList<Exposure>{} << QStringList{"30000 not shown"};
        QTest::newRow("exposed at once") << QList<Exposure>{{400, true}} << QStringList{};
        QTest::newRow("exposed just in time") << QList<Exposure>{{29999, true}} << QStringList{};
        QTest::newRow("exposed after the line")
            << QList<Exposure>{{45000, true}}
            << QStringList{"30000 not shown", "45000 shown again"};
        QTest::newRow("lost again after being shown again")
            << QList<Exposure>{{45000, true}, {60000, false}}
            << QStringList{"30000 not shown", "45000 shown again", "90000 not shown"};
        QTest::newRow("unexposed events repeated say nothing more")
            << QList<Exposure>{{10000, false}, {40000, false}, {300000, false}}
            << QStringList{"30000 not shown"};
        QTest::newRow("lost while shown, for a moment")
            << QList<Exposure>{{1000, true}, {100000, false}, {129000, true}} << QStringList{};
        QTest::newRow("lost while shown, for good")
            << QList<Exposure>{{1000, true}, {100000, false}} << QStringList{"130000 not shown"};
        QTest::newRow("late frame callbacks every few seconds")
            << flapping(3000, 200, tenMinutesMs) << QStringList{};
        QTest::newRow("late frame callbacks, each gap long")
            << flapping(29000, 28000, tenMinutesMs) << QStringList{};
    }
    void linesSaid()
    {
        QFETCH(QList<Exposure>, changes);
        QFETCH(QStringList, said);
        WindowShownRule rule(false, 0);
        QStringList lines;
        const auto take = [&](Say what, qint64 atMs) {
            if (what != Say::Nothing)
                lines << QString::number(atMs)
                        + (what == Say::NotShown ? QStringLiteral(" not shown")
                                                 : QStringLiteral(" shown again"));
        };
        const auto passUntil = [&](qint64 untilMs) {
            for (auto due = rule.nextCheckMs(); due && *due <= untilMs; due = rule.nextCheckMs())
                take(rule.timePassed(*due), *due);
        };
        for (const Exposure& change : changes) {
            passUntil(change.atMs);
            take(rule.exposureChanged(change.exposed, change.atMs), change.atMs);
        }
        passUntil(tenMinutesMs);
        QCOMPARE(lines, said);
    }

    // The line keeps the first words that the README quotes and the journal is searched by,
    // and names the likelier cause, a display switched off or unplugged, before the shell.
    void notShownLine()
    {
        const QString line = QString::fromUtf8(WindowShownWatch::notShownLine());
        const QString kept = QStringLiteral("The player's window has not been shown for 30 s: ");
        QVERIFY2(line.startsWith(kept + QStringLiteral("the display may be off or disconnected")),
                 qPrintable(line));
        QVERIFY(line.indexOf(QStringLiteral("compositor's shell")) > kept.size());
        QVERIFY(line.contains(QStringLiteral("input device")) && !line.contains(u'\n'));
    }
};

QTEST_GUILESS_MAIN(TestWindowShown)
#include "tst_windowshown.moc"
