#include "runtime/SseParser.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace talvorine;

namespace {

// One event as a line of text, so whole event lists compare and print readably.
QString describe(const SseEvent& e)
{
    return QStringLiteral("event=%1 id=%2 hasId=%3 retry=%4 overflow=%5 data=%6")
        .arg(e.event, e.id)
        .arg(e.hasId)
        .arg(e.retryMs)
        .arg(e.overflow)
        .arg(QString::fromLatin1(e.data.toPercentEncoding()));
}

QStringList describeAll(const QList<SseEvent>& events)
{
    QStringList out;
    for (const SseEvent& e : events)
        out.append(describe(e));
    return out;
}

QString ev(const QString& name, const QByteArray& data, const QString& id = {}, bool hasId = false,
           int retry = -1, bool overflow = false)
{
    SseEvent e;
    e.event = name;
    e.data = data;
    e.id = id;
    e.hasId = hasId;
    e.retryMs = retry;
    e.overflow = overflow;
    return describe(e);
}

QStringList feedWhole(const QByteArray& stream)
{
    SseParser parser;
    return describeAll(parser.push(stream));
}

QStringList feedBytewise(const QByteArray& stream)
{
    SseParser parser;
    QList<SseEvent> events;
    for (qsizetype i = 0; i < stream.size(); ++i)
        events += parser.push(stream.mid(i, 1));
    return describeAll(events);
}

QStringList feedRandomSplits(const QByteArray& stream, quint32 seed)
{
    QRandomGenerator random(seed);
    SseParser parser;
    QList<SseEvent> events;
    qsizetype at = 0;
    while (at < stream.size()) {
        const qsizetype take = qsizetype(random.bounded(0, 40));
        events += parser.push(stream.mid(at, take)); // empty chunks included on purpose
        at += take;
    }
    return describeAll(events);
}

} // namespace

class TestSseParser : public QObject {
    Q_OBJECT

private slots:
    void lineAndFieldRules_data();
    void lineAndFieldRules();
    void dataLimit_data();
    void dataLimit();
    void pendingLineLimit_data();
    void pendingLineLimit();
    void longDataLineInOneChunkHitsOnlyTheDataLimit();
    void overflowingEventDoesNotSpoilTheNext();
    void resetDropsHalfLinesAndHalfEvents();
    void resetEndsDiscarding();
};

void TestSseParser::lineAndFieldRules_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two data lines join with a line feed")
        << QByteArray("data: a\ndata: b\n\n") << QStringList{ev({}, "a\nb")};
    QTest::newRow("no space after colon") << QByteArray("data:x\n\n") << QStringList{ev({}, "x")};
    QTest::newRow("one space after colon is dropped")
        << QByteArray("data: x\n\n") << QStringList{ev({}, "x")};
    QTest::newRow("only the first of two spaces is dropped")
        << QByteArray("data:  x\n\n") << QStringList{ev({}, " x")};
    QTest::newRow("value keeps later colons")
        << QByteArray("data: a:b: c\n\n") << QStringList{ev({}, "a:b: c")};
    QTest::newRow("field without colon has an empty value")
        << QByteArray("data\n\n") << QStringList{ev({}, "")};
    QTest::newRow("empty data lines still join")
        << QByteArray("data\ndata\n\n") << QStringList{ev({}, "\n")};
    QTest::newRow("retry alone dispatches") << QByteArray("retry: 5000\n\n")
                                            << QStringList{ev({}, {}, {}, false, 5000)};
    QTest::newRow("retry zero") << QByteArray("retry: 0\n\n") << QStringList{ev({}, {}, {}, false, 0)};
    QTest::newRow("negative retry refused")
        << QByteArray("retry: -5\n\n") << QStringList{ev({}, {}, {}, false, -1)};
    QTest::newRow("fractional retry refused")
        << QByteArray("retry: 1.5\n\n") << QStringList{ev({}, {}, {}, false, -1)};
    QTest::newRow("text retry refused")
        << QByteArray("retry: soon\n\n") << QStringList{ev({}, {}, {}, false, -1)};
    QTest::newRow("refused retry keeps an earlier one")
        << QByteArray("retry: 700\nretry: x\n\n") << QStringList{ev({}, {}, {}, false, 700)};
    QTest::newRow("retry above the ceiling is clamped")
        << QByteArray("retry: 900001\n\n") << QStringList{ev({}, {}, {}, false, 900000)};
    QTest::newRow("huge retry is clamped")
        << QByteArray("retry: 99999999999999999999999\n\n")
        << QStringList{ev({}, {}, {}, false, 900000)};
    QTest::newRow("comment alone dispatches nothing") << QByteArray(": keep-alive\n\n") << QStringList{};
    QTest::newRow("blank line alone dispatches nothing") << QByteArray("\n\n\n") << QStringList{};
    QTest::newRow("capitalised field ignored") << QByteArray("Data: x\n\n") << QStringList{};
    QTest::newRow("longer field name ignored") << QByteArray("dataa: x\n\n") << QStringList{};
    QTest::newRow("unknown field beside data is ignored")
        << QByteArray("foo: 1\ndata: y\n\n") << QStringList{ev({}, "y")};
    QTest::newRow("id with zero byte ignored but dispatches")
        << QByteArray("id: a\0b\n\n", 9) << QStringList{ev({}, {}, {}, false)};
    QTest::newRow("id with zero byte keeps earlier id")
        << QByteArray("id: 7\nid: a\0b\n\n", 15) << QStringList{ev({}, {}, "7", true)};
    QTest::newRow("empty id is an accepted id")
        << QByteArray("id\n\n") << QStringList{ev({}, {}, {}, true)};
    QTest::newRow("last event name and id win")
        << QByteArray("event: a\nevent: b\nid: 1\nid: 2\ndata: d\n\n")
        << QStringList{ev("b", "d", "2", true)};
    QTest::newRow("nothing carries over, the id included")
        << QByteArray("event: e\nid: 9\nretry: 10\ndata: a\n\ndata: b\n\n")
        << QStringList{ev("e", "a", "9", true, 10), ev({}, "b")};
    QTest::newRow("event and id decode as UTF-8")
        << QByteArray("event: gr\xc3\xbc\xc3\x9f\nid: \xe2\x82\xac\ndata: \xff\n\n")
        << QStringList{ev(QStringLiteral("gr\u00fc\u00df"), "\xff", QStringLiteral("\u20ac"), true)};
    QTest::newRow("CR LF line ends")
        << QByteArray("event: x\r\ndata: a\r\ndata: b\r\n\r\n") << QStringList{ev("x", "a\nb")};
    QTest::newRow("only one trailing CR is removed")
        << QByteArray("data: a\r\r\n\n") << QStringList{ev({}, "a\r")};
    QTest::newRow("lone CR stays inside the line")
        << QByteArray("data: a\rb\n\n") << QStringList{ev({}, "a\rb")};
    QTest::newRow("bare CR line ends produce nothing")
        << QByteArray("data: a\r\rdata: b\r\r") << QStringList{};
    QTest::newRow("byte-order mark spoils the first field name")
        << QByteArray("\xef\xbb\xbf" "data: x\n\ndata: y\n\n") << QStringList{ev({}, "y")};
    QTest::newRow("several events in one chunk in order")
        << QByteArray("event: one\ndata: 1\n\nevent: two\ndata: 2\n\n: c\n\nevent: three\n\n")
        << QStringList{ev("one", "1"), ev("two", "2"), ev("three", {})};
    QTest::newRow("event without trailing blank line waits")
        << QByteArray("data: a\n\ndata: b\n") << QStringList{ev({}, "a")};
    QTest::newRow("comment between fields keeps the event")
        << QByteArray("data: a\n: note\ndata: b\n\n") << QStringList{ev({}, "a\nb")};
}

void TestSseParser::lineAndFieldRules()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);

    QCOMPARE(feedWhole(stream), expected);
    // Chunk boundaries may fall anywhere, CR and LF of one line end included.
    QCOMPARE(feedBytewise(stream), expected);
    for (quint32 seed = 1; seed <= 20; ++seed)
        QCOMPARE(feedRandomSplits(stream, seed), expected);
}

void TestSseParser::dataLimit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    const QByteArray exact(65536, 'a');
    QTest::newRow("exactly 65536 bytes is delivered whole")
        << QByteArray("data: " + exact + "\n\n") << QStringList{ev({}, exact)};
    QTest::newRow("65537 bytes overflows")
        << QByteArray("event: big\nid: 4\ndata: " + exact + "a\n\n")
        << QStringList{ev("big", {}, "4", true, -1, true)};
    const QByteArray half(32768, 'b');
    QTest::newRow("two halves plus the separator overflow by one")
        << QByteArray("data: " + half + "\ndata: " + half + "\n\n")
        << QStringList{ev({}, {}, {}, false, -1, true)};
    QTest::newRow("separator counted exactly")
        << QByteArray("data: " + half + "\ndata: " + half.left(32767) + "\n\n")
        << QStringList{ev({}, half + '\n' + half.left(32767))};
    QTest::newRow("data after overflow stays empty")
        << QByteArray("data: " + exact + "x\ndata: more\nretry: 9\n\n")
        << QStringList{ev({}, {}, {}, false, 9, true)};
    QTest::newRow("many empty data lines count their separators")
        << QByteArray(QByteArray("data\n").repeated(65537) + "\n")
        << QStringList{ev({}, QByteArray(65536, '\n'))};
    QTest::newRow("one more empty data line overflows")
        << QByteArray(QByteArray("data\n").repeated(65538) + "\n")
        << QStringList{ev({}, {}, {}, false, -1, true)};
}

void TestSseParser::dataLimit()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);

    QCOMPARE(feedWhole(stream), expected);
    QCOMPARE(feedRandomSplits(stream, 7), expected);
}

void TestSseParser::pendingLineLimit_data()
{
    QTest::addColumn<int>("unterminatedBytes");
    QTest::addColumn<bool>("overflows");

    QTest::newRow("65792 bytes wait for more") << 65792 << false;
    QTest::newRow("65793 bytes overflow") << 65793 << true;
    QTest::newRow("far beyond the limit") << 300000 << true;
}

void TestSseParser::pendingLineLimit()
{
    QFETCH(int, unterminatedBytes);
    QFETCH(bool, overflows);

    // A comment line: within the limit it is silently ignored and the event stays clean.
    const QByteArray line = ':' + QByteArray(unterminatedBytes - 1, 'c');
    for (const qsizetype piece : {qsizetype(1000), qsizetype(unterminatedBytes)}) {
        SseParser parser;
        QList<SseEvent> events = parser.push("event: e\n");
        for (qsizetype at = 0; at < line.size(); at += piece)
            events += parser.push(line.mid(at, piece));
        QVERIFY(events.isEmpty());
        // The tail of an overlong line, up to its line feed, is dropped unparsed.
        events += parser.push("data: tail\n");
        events += parser.push("data: ok\n\n");
        const QStringList expected = overflows ? QStringList{ev("e", {}, {}, false, -1, true)}
                                               : QStringList{ev("e", "ok")};
        QCOMPARE(describeAll(events), expected);
    }
}

void TestSseParser::longDataLineInOneChunkHitsOnlyTheDataLimit()
{
    // With its line feed in the same chunk the line is never held unterminated, so only the data
    // limit applies: an overlong comment line passes, an overlong data line overflows.
    QCOMPARE(feedWhole(':' + QByteArray(100000, 'c') + "\ndata: x\n\n"), QStringList{ev({}, "x")});
    QCOMPARE(feedWhole("data: " + QByteArray(100000, 'd') + "\n\n"),
             QStringList{ev({}, {}, {}, false, -1, true)});
}

void TestSseParser::overflowingEventDoesNotSpoilTheNext()
{
    SseParser parser;
    QList<SseEvent> events = parser.push("data: " + QByteArray(70000, 'x'));
    events += parser.push("\n\ndata: next\n\n");
    QCOMPARE(describeAll(events),
             (QStringList{ev({}, {}, {}, false, -1, true), ev({}, "next")}));
}

void TestSseParser::resetDropsHalfLinesAndHalfEvents()
{
    SseParser parser;
    QVERIFY(parser.push("event: stale\nid: 1\ndata: a\n").isEmpty());
    QVERIFY(parser.push("data: half").isEmpty());
    parser.reset();
    QVERIFY(parser.push("\n").isEmpty());
    QCOMPARE(describeAll(parser.push("data: fresh\n\n")), QStringList{ev({}, "fresh")});
}

void TestSseParser::resetEndsDiscarding()
{
    SseParser parser;
    QVERIFY(parser.push(QByteArray(70000, 'z')).isEmpty());
    parser.reset();
    // Without the reset this line would be taken for the tail of the overlong one.
    QCOMPARE(describeAll(parser.push("data: x\n\n")), QStringList{ev({}, "x")});
}

QTEST_GUILESS_MAIN(TestSseParser)
#include "tst_sseparser.moc"
