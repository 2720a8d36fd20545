// Replays a corpus of hostile inputs (truncated, huge, binary, deeply nested, invalid UTF-8)
// through every parser that sees bytes from the network. Each must return a well-formed answer;
// crashes, hangs and memory errors show up under the sanitizers this suite also runs with.

#include "runtime/RuntimeCompat.h"
#include "runtime/ScreenshotRequest.h"
#include "runtime/SseParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

using namespace talvorine;
using namespace talvorine::RuntimeCompat;

namespace {

const QDateTime now(QDate(2029, 12, 31), QTime(23, 0), Qt::UTC);

const QByteArray screenshotEvent =
    R"({"type":"screen.screenshot_requested","details":{"capture_id":"shot_AAAAAAAAAAAAAAAA",)"
    R"("expires_at":"2030-01-01T00:00:00.123456Z","format":"image/webp","max_width_divisor":2,)"
    R"("max_height_divisor":2,"quality":80,"max_bytes":2097152}})";
const QByteArray reloadEvent =
    R"({"type":"player.reload","details":{"reload_id":"rl_1","expires_at":"2030-01-01T00:00:00Z",)"
    R"("kinds":["qt"],"min_version":"27.1","spread_s":30}})";
const QByteArray problemBody =
    R"({"code":"upgrade_required","action":"hold_lkg","player_kind":"qt","min_supported":"27.0",)"
    R"("retry_after_ms":"1500"})";
const QByteArray sseStream = "event: screen.screenshot_requested\r\nid: 17\nretry: 3000\ndata: "
    + screenshotEvent + "\n\n: ping\n\nevent: player.reload\ndata: " + reloadEvent + "\n\n";

const QList<QByteArray> invalidUtf8{
    QByteArray("\xc0\xaf"),             // overlong slash
    QByteArray("\xed\xa0\x80"),         // encoded surrogate
    QByteArray("\xf8\x88\x80\x80\x80"), // five-byte form
    QByteArray("\x80"),                 // lone continuation
    QByteArray("\xff\xfe"),             // never valid
    QByteArray("\xe2\x82"),             // truncated sequence
    QByteArray("\xf4\x90\x80\x80"),     // beyond U+10FFFF
};

QByteArray randomBytes(quint32 seed, qsizetype size)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

QList<std::pair<QString, QByteArray>> corpus()
{
    QList<std::pair<QString, QByteArray>> inputs;
    auto add = [&](const QString& name, const QByteArray& bytes) { inputs.append({name, bytes}); };

    add("empty", {});
    add("one zero byte", QByteArray(1, '\0'));
    add("line feeds", QByteArray(100000, '\n'));
    add("carriage returns", QByteArray(100000, '\r'));
    add("CR LF pairs", QByteArray("\r\n").repeated(50000));

    // Truncated: every prefix of a valid input, cut mid-token, mid-escape and mid-line.
    for (const auto& [label, whole] :
         {std::pair{"screenshot", screenshotEvent}, std::pair{"reload", reloadEvent},
          std::pair{"problem", problemBody}, std::pair{"stream", sseStream}}) {
        for (qsizetype cut = 0; cut < whole.size(); cut += 7)
            add(QStringLiteral("truncated %1 at %2").arg(QLatin1String(label)).arg(cut),
                whole.left(cut));
    }

    // Huge.
    add("2 MiB of one letter", QByteArray(2 * 1024 * 1024, 'a'));
    add("huge capture id",
        QByteArray(screenshotEvent).replace("shot_AAAAAAAAAAAAAAAA",
                                            "shot_" + QByteArray(1024 * 1024, 'A')));
    add("huge data line", "data: " + QByteArray(300000, 'x') + "\n\n");
    add("huge comment line", ':' + QByteArray(300000, 'c') + "\n\ndata: after\n\n");
    add("huge retry", "retry: " + QByteArray(100000, '9') + "\n\n");
    add("many data lines", QByteArray("data: 0123456789\n").repeated(20000) + "\n");
    add("many tiny events", QByteArray("data\n\n").repeated(50000));
    QByteArray bigArray = "[";
    for (int i = 0; i < 100000; ++i)
        bigArray += QByteArray::number(i) + ',';
    bigArray += "0]";
    add("large array", bigArray);
    QByteArray wideObject = "{";
    for (int i = 0; i < 20000; ++i)
        wideObject += "\"k" + QByteArray::number(i) + "\":" + QByteArray::number(i) + ',';
    wideObject += R"("type":"player.reload"})";
    add("wide object", wideObject);
    add("huge kinds list",
        R"({"type":"player.reload","details":{"reload_id":"a","kinds":[)"
            + QByteArray("\"x\",").repeated(100000) + R"("qt"]}})");

    // Binary.
    for (quint32 seed = 1; seed <= 24; ++seed)
        add(QStringLiteral("random %1").arg(seed), randomBytes(seed, qsizetype(seed) * 173));
    add("random 1 MiB", randomBytes(99, 1024 * 1024));
    add("random with line feeds",
        randomBytes(7, 50000).replace('\x01', '\n').replace('\x02', ':'));

    // Deeply nested.
    add("nested arrays", QByteArray(100000, '['));
    add("nested arrays closed", QByteArray(5000, '[') + QByteArray(5000, ']'));
    add("nested objects", QByteArray("{\"a\":").repeated(100000));
    add("nested details",
        R"({"type":"screen.screenshot_requested","details":)" + QByteArray("{\"d\":").repeated(3000)
            + "1" + QByteArray(3000, '}') + "}");
    add("nested problem code", R"({"code":)" + QByteArray(2000, '[') + QByteArray(2000, ']') + "}");

    // Invalid UTF-8, alone and in every text field the parsers read.
    for (qsizetype i = 0; i < invalidUtf8.size(); ++i) {
        const QByteArray bad = invalidUtf8[i];
        add(QStringLiteral("invalid UTF-8 %1 alone").arg(i), bad);
        add(QStringLiteral("invalid UTF-8 %1 in capture id").arg(i),
            QByteArray(screenshotEvent).replace("AAAAAAAAAAAAAAAA", "AAAAAAAA" + bad + "AAAAAAAA"));
        add(QStringLiteral("invalid UTF-8 %1 in expiry").arg(i),
            QByteArray(screenshotEvent).replace(".123456Z", ".123" + bad + "Z"));
        add(QStringLiteral("invalid UTF-8 %1 in reload").arg(i),
            QByteArray(reloadEvent).replace("rl_1", "rl" + bad).replace("27.1", "27" + bad));
        add(QStringLiteral("invalid UTF-8 %1 in problem").arg(i),
            QByteArray(problemBody).replace("upgrade_required", "up" + bad).replace("qt", bad));
        add(QStringLiteral("invalid UTF-8 %1 in stream fields").arg(i),
            "event: " + bad + "\nid: " + bad + "\nretry: 1" + bad + "\ndata: " + bad + "\n\n");
        add(QStringLiteral("invalid UTF-8 %1 in HTTP date").arg(i),
            "Tue, 10 Mar 2026 12:00:" + bad + " GMT");
    }

    // Type confusion and extreme numbers.
    for (const QByteArray& value :
         {QByteArray("1e999"), QByteArray("-1e999"), QByteArray("1e-999"), QByteArray("-0"),
          QByteArray("9007199254740993"), QByteArray("1.7976931348623157e308"),
          QByteArray("null"), QByteArray("true"), QByteArray("[]"), QByteArray("{}"),
          QByteArray("\"80\""), QByteArray("-2147483649"), QByteArray("2147483648")}) {
        add("number " + QString::fromLatin1(value) + " everywhere",
            QByteArray(screenshotEvent)
                .replace(":2,", ":" + value + ",")
                .replace(":80,", ":" + value + ",")
                .replace("2097152", value));
        add("number " + QString::fromLatin1(value) + " in reload and problem",
            QByteArray(reloadEvent).replace("30", value).replace("\"rl_1\"", value));
        add("number " + QString::fromLatin1(value) + " as retry_after_ms",
            QByteArray(problemBody).replace("\"1500\"", value).replace("\"hold_lkg\"", value));
    }
    add("details as array", R"({"type":"screen.screenshot_requested","details":[1,2]})");
    add("type as object", R"({"type":{"x":"screen.screenshot_requested"},"details":{}})");
    add("duplicate keys", R"({"type":"player.reload","type":"x","details":{},"details":5})");
    add("NUL inside strings", QByteArray(screenshotEvent).replace("image/webp", "image/webp\\u0000"));
    add("raw NUL inside JSON", QByteArray(reloadEvent).replace("rl_1", QByteArray("rl\0_1", 5)));
    return inputs;
}

void addCorpusRows()
{
    QTest::addColumn<QByteArray>("input");
    for (const auto& [name, bytes] : corpus())
        QTest::newRow(qPrintable(name)) << bytes;
}

QList<SseEvent> feedInPieces(const QByteArray& input, qsizetype piece)
{
    SseParser parser;
    QList<SseEvent> events;
    for (qsizetype at = 0; at < input.size(); at += piece)
        events += parser.push(input.mid(at, piece));
    return events;
}

bool wellFormed(const SseEvent& event)
{
    return event.data.size() <= SseParser::dataLimit && (!event.overflow || event.data.isEmpty())
        && event.retryMs >= -1 && event.retryMs <= maxDelayMs && (event.hasId || event.id.isEmpty());
}

// What the transport would do with an event's payload.
QList<QJsonObject> payloadObjects(const QByteArray& input)
{
    QList<QJsonObject> objects;
    const QJsonDocument document = QJsonDocument::fromJson(input);
    if (document.isObject())
        objects.append(document.object());
    // The same value as the details of each event type, and the raw text as each field.
    const QJsonValue asValue = document.isObject()  ? QJsonValue(document.object())
                               : document.isArray() ? QJsonValue(document.array())
                                                    : QJsonValue(QString::fromUtf8(input));
    for (const char* type : {"screen.screenshot_requested", "player.reload"})
        objects.append(QJsonObject{{"type", type}, {"details", asValue}});
    const QString text = QString::fromUtf8(input);
    objects.append(QJsonObject{
        {"type", "screen.screenshot_requested"},
        {"details", QJsonObject{{"capture_id", text}, {"expires_at", text}, {"format", text},
                                {"max_width_divisor", 2}, {"max_height_divisor", 2},
                                {"quality", 80}, {"max_bytes", 2097152}}}});
    objects.append(QJsonObject{
        {"type", "player.reload"},
        {"details", QJsonObject{{"reload_id", text}, {"expires_at", text},
                                {"kinds", QJsonArray{text}}, {"min_version", text},
                                {"spread_s", text}}}});
    return objects;
}

void checkScreenshot(const QJsonObject& event)
{
    const auto request = ScreenshotRequestParser::parse(event, now);
    if (!request)
        return;
    QVERIFY(ScreenshotFrame::validCaptureId(request->captureId));
    QVERIFY(request->expiresAt.isValid() && request->expiresAt > now);
    QCOMPARE(request->maxBytes, 2097152);
    QCOMPARE(request->quality, 80);
    ScreenshotCaptureGate gate;
    QVERIFY(gate.claim(*request, now));
}

void checkReload(const QJsonObject& event)
{
    const auto request = parseReload(event);
    if (!request)
        return;
    QVERIFY(request->spreadS >= 0 && request->spreadS <= maxReloadSpreadS);
    ReloadLedger ledger;
    ledger.record(QStringLiteral("rl_1"), now.addSecs(-30));
    for (const QString& version : {QStringLiteral("26.9.229"), request->minVersion})
        QVERIFY(!reloadVerdictName(reloadVerdict(*request, ledger, now, "qt", version)).isEmpty());
}

} // namespace

class TestHostileInputs : public QObject {
    Q_OBJECT

private slots:
    void eventStreamParser_data() { addCorpusRows(); }
    void eventStreamParser();
    void screenshotRequests_data() { addCorpusRows(); }
    void screenshotRequests();
    void problemDecisions_data() { addCorpusRows(); }
    void problemDecisions();
    void reloadRequests_data() { addCorpusRows(); }
    void reloadRequests();
    void headerValues_data() { addCorpusRows(); }
    void headerValues();
};

void TestHostileInputs::eventStreamParser()
{
    QFETCH(QByteArray, input);
    const QList<SseEvent> whole = feedInPieces(input, qMax(input.size(), qsizetype(1)));
    for (const SseEvent& event : whole)
        QVERIFY(wellFormed(event));
    // Small inputs a byte at a time, large ones in odd-sized pieces.
    const QList<SseEvent> pieces = feedInPieces(input, input.size() <= 150000 ? 1 : 997);
    for (const SseEvent& event : pieces)
        QVERIFY(wellFormed(event));
    // Without lines longer than the pending limit, chunking cannot change the events.
    bool shortLines = true;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i <= input.size() && shortLines; ++i) {
        if (i == input.size() || input[i] == '\n') {
            shortLines = i - lineStart <= SseParser::pendingLineLimit;
            lineStart = i + 1;
        }
    }
    if (shortLines)
        QCOMPARE(pieces.size(), whole.size());

    // Whatever the stream carried is handed on to the event parsers.
    for (const SseEvent& event : whole) {
        const QJsonObject object = QJsonDocument::fromJson(event.data).object();
        checkScreenshot(object);
        checkReload(object);
    }
    // The input as the payload of one event.
    const QByteArray wrapped = "event: x\ndata: " + QByteArray(input).replace('\n', ' ') + "\n\n";
    for (const SseEvent& event : feedInPieces(wrapped, 4093))
        QVERIFY(wellFormed(event));
}

void TestHostileInputs::screenshotRequests()
{
    QFETCH(QByteArray, input);
    for (const QJsonObject& event : payloadObjects(input))
        checkScreenshot(event);
}

void TestHostileInputs::problemDecisions()
{
    QFETCH(QByteArray, input);
    static const QRegularExpression codePattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-z][a-z0-9_.]{0,79}")));
    for (const int status : {0, 200, 401, 426, 503, 999, -1}) {
        for (const MintKind kind : {MintKind::DeviceSession, MintKind::Manifest, MintKind::Other}) {
            const ProblemDecision decision = decideProblem(status, input, input, input, kind, now);
            QVERIFY(codePattern.match(decision.code).hasMatch());
            QVERIFY(decision.retryAfterMs >= -1 && decision.retryAfterMs <= maxDelayMs);
            QVERIFY(!actionName(decision.action).isEmpty());
            QVERIFY(!basisName(decision.basis).isEmpty());
            QVERIFY(decision.playerKind.size() <= 40 && decision.minSupported.size() <= 40);
            QCOMPARE(decision.status, qMax(status, 0));
        }
    }
}

void TestHostileInputs::reloadRequests()
{
    QFETCH(QByteArray, input);
    for (const QJsonObject& event : payloadObjects(input))
        checkReload(event);
}

void TestHostileInputs::headerValues()
{
    QFETCH(QByteArray, input);
    const qint64 delay = parseNonNegativeDelayMs(input, 1000);
    QVERIFY(delay >= -1 && delay <= maxDelayMs);
    const qint64 retry = retryAfterMs(input, input, now);
    QVERIFY(retry >= -1 && retry <= maxDelayMs);
    if (validEntityTag(input))
        QVERIFY(input.size() <= 256 && !input.contains('\n') && !input.contains('\0'));
    if (actionFromName(QString::fromUtf8(input)))
        QVERIFY(input.size() <= 16);
}

QTEST_GUILESS_MAIN(TestHostileInputs)
#include "tst_hostileinputs.moc"
