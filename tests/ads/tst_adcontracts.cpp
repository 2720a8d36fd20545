#include "ads/AdContracts.h"
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

#include <limits>

using namespace talvorine;

namespace {

constexpr qint64 maxMs = std::numeric_limits<qint64>::max();

QJsonObject resolveReply()
{
    const QJsonObject media{{"kind", "video"},         {"duration_ms", 15000},
                            {"content_type", "video/mp4"}, {"bytes", 1234},
                            {"sha256", QString(64, 'a')}, {"content_path", "/content/v1/ad-decisions/d"},
                            {"fit", "cover"},          {"codecs", "avc1"}};
    const QJsonObject filled{{"occurrence_id", "occ_a"},
                             {"state", "filled"},
                             {"check_sequence", 2},
                             {"decision_id", "dec_a"},
                             {"reservation_id", "res_a"},
                             {"start_not_before", "2026-03-01T10:00:00Z"},
                             {"start_before", "2026-03-01T11:00:30.250+01:00"},
                             {"playback_deadline", "2026-03-01T10:05:00"},
                             {"report_before", "2026-03-01T11:00:00.000Z"},
                             {"creative_revision", 0},
                             {"media", media}};
    const QJsonObject empty{{"occurrence_id", "occ_b"}, {"state", "empty"}, {"check_sequence", 0}};
    return {{"server_time", "2026-03-01T09:59:59.5Z"}, {"results", QJsonArray{filled, empty}}};
}

QJsonObject eventResults()
{
    QJsonArray results;
    for (const char* state : {"accepted", "rejected", "duplicate", "pending_evidence", "unbillable"})
        results.append(QJsonObject{{"event_id", QStringLiteral("evt_%1").arg(results.size())},
                                   {"state", state}});
    return {{"results", results}};
}

QByteArray bytesOf(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

qint64 utcMs(const char* text)
{
    QDateTime stamp = QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs);
    stamp.setTimeSpec(Qt::UTC);
    return stamp.toMSecsSinceEpoch();
}

// A stamp given as milliseconds since the epoch; -1 stands for an invalid one.
QDateTime stampOf(qint64 ms)
{
    return ms < 0 ? QDateTime() : QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

} // namespace

class TestAdContracts : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // A zone with an hour's offset and a daylight-saving gap, so that a stamp read as local
        // time shows.
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
        QVERIFY(QDateTime::fromString("2026-03-01T10:00:00", Qt::ISODate).toMSecsSinceEpoch()
                != utcMs("2026-03-01T10:00:00"));
    }

    void resolveReplyRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("accepted");
        const QJsonValue gone(QJsonValue::Undefined);
        const auto row = [](const char* name, const char* path, const QJsonValue& value, bool ok) {
            QTest::newRow(name) << QString::fromLatin1(path) << value << ok;
        };
        row("as given", "server_time", "2026-03-01T09:59:59.5Z", true);
        row("no results at all", "results", QJsonArray{}, true);
        row("server time of 40 characters", "server_time", "2026-03-01T10:00:00.00000000000000+05:45", true);
        row("server time of 41 characters", "server_time", "2026-03-01T10:00:00.000000000000000+05:45", false);
        row("server time empty", "server_time", "", false);
        row("server time missing", "server_time", gone, false);
        row("results an object", "results", QJsonObject{}, false);
        row("results missing", "results", gone, false);
        row("result not an object", "results.1", 5, false);
        row("occurrence id empty", "results.0.occurrence_id", "", true);
        row("state in capitals", "results.0.state", "Filled", false);
        row("state unknown", "results.1.state", "pending", false);
        row("check sequence 3.0", "results.0.check_sequence", 3.0, true);
        row("check sequence 3.5", "results.0.check_sequence", 3.5, false);
        row("check sequence -1", "results.0.check_sequence", -1, false);
        row("check sequence missing", "results.1.check_sequence", gone, false);
        row("decision id missing", "results.0.decision_id", gone, false);
        row("start not before unreadable", "results.0.start_not_before", "soon", false);
        row("start before missing", "results.0.start_before", gone, false);
        row("playback deadline empty", "results.0.playback_deadline", "", false);
        row("creative revision -1", "results.0.creative_revision", -1, false);
        row("media missing", "results.0.media", gone, false);
        row("media an array", "results.0.media", QJsonArray{}, false);
        row("kind audio", "results.0.media.kind", "audio", false);
        row("duration 0", "results.0.media.duration_ms", 0, false);
        row("bytes 0", "results.0.media.bytes", 0, false);
        row("sha256 of 63", "results.0.media.sha256", QString(63, 'a'), false);
        row("sha256 of 65", "results.0.media.sha256", QString(65, 'a'), false);
        row("fit missing", "results.0.media.fit", gone, false);
        row("codecs missing", "results.0.media.codecs", gone, true);
        row("codecs null", "results.0.media.codecs", QJsonValue::Null, false);
        row("hint valid", "results.1.hint_until", "2026-03-01T10:00:30+02:00", true);
        row("hint null", "results.1.hint_until", QJsonValue::Null, false);
        row("hint unreadable", "results.1.hint_until", "later", false);
        row("last of three bad", "results.2", QJsonObject{{"occurrence_id", "occ_c"}}, false);
    }

    void resolveReplyRules()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        const QJsonObject body = test::withMember(resolveReply(), path, value).toObject();
        const std::optional<AdResolveReply> reply = parseAdResolveReply(bytesOf(body));
        QCOMPARE(reply.has_value(), accepted);
        if (reply)
            QCOMPARE(reply->results.size(), body.value("results").toArray().size());
    }

    void resolveReplyValues()
    {
        QJsonObject body = resolveReply();
        body = test::withMember(body, "results.1.check_sequence", 1e30).toObject();
        body = test::withMember(body, "results.0.media.codecs", QJsonValue::Undefined).toObject();
        body = test::withMember(body, "results.2", body.value("results").toArray().at(0)).toObject();
        const std::optional<AdResolveReply> reply = parseAdResolveReply(bytesOf(body));
        QVERIFY(reply);
        QCOMPARE(reply->serverTime.toMSecsSinceEpoch(), utcMs("2026-03-01T09:59:59.500"));
        QCOMPARE(reply->results.size(), 3); // a repeated occurrence id is kept as it stands
        const AdResolveResult& filled = reply->results.at(0);
        QCOMPARE(filled.occurrenceId, QStringLiteral("occ_a"));
        QCOMPARE(filled.checkSequence, 2);
        QCOMPARE(filled.startBefore.toMSecsSinceEpoch(), utcMs("2026-03-01T10:00:30.250"));
        QCOMPARE(filled.playbackDeadline.toMSecsSinceEpoch(), utcMs("2026-03-01T10:05:00"));
        QCOMPARE(filled.startBefore.timeSpec(), Qt::UTC);
        QCOMPARE(filled.creativeRevision, 0);
        QCOMPARE(filled.durationMs, 15000);
        QCOMPARE(filled.bytes, 1234);
        QCOMPARE(filled.kind, QStringLiteral("video"));
        QVERIFY(filled.codecs.isEmpty());
        const AdResolveResult& empty = reply->results.at(1);
        QCOMPARE(empty.state, QStringLiteral("empty"));
        QCOMPARE(empty.checkSequence, maxMs);
        QVERIFY(!empty.hintUntil.isValid());
        QVERIFY(empty.decisionId.isEmpty());
    }

    void eventResultRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("every verdict") << QString("results.0.state") << QJsonValue("accepted") << true;
        QTest::newRow("no results") << QString("results") << QJsonValue(QJsonArray{}) << true;
        QTest::newRow("results missing") << QString("results") << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("verdict unknown") << QString("results.4.state") << QJsonValue("lost") << false;
        QTest::newRow("verdict in capitals") << QString("results.0.state") << QJsonValue("ACCEPTED") << false;
        QTest::newRow("event id a number") << QString("results.2.event_id") << QJsonValue(2) << false;
        QTest::newRow("state missing") << QString("results.1.state") << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("element a string") << QString("results.3") << QJsonValue("evt_3") << false;
    }

    void eventResultRules()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        const QJsonObject body = test::withMember(eventResults(), path, value).toObject();
        const auto outcomes = parseAdEventResults(bytesOf(body));
        QCOMPARE(outcomes.has_value(), accepted);
        if (outcomes) {
            QCOMPARE(outcomes->size(), body.value("results").toArray().size());
            for (qsizetype i = 0; i < outcomes->size(); ++i)
                QCOMPARE(outcomes->at(i).eventId, body.value("results")[i]["event_id"].toString());
        }
    }

    // Hostile bodies, and a fixed-seed mutation run over valid ones: a parser answers with a
    // whole reply (every result the document holds) or with none, never a crash or a hang.
    void hostileBodies()
    {
        QList<QByteArray> corpus{"", "null", "[]", "{", "{}", "\xff\xfe{}", QByteArray(3, '\0'),
                                 "{\"server_time\":\"2026-03-01T10:00:00Z\",\"results\":[1e999]}",
                                 QByteArray(100000, '[') + QByteArray(100000, ']'),
                                 "{\"results\":[" + QByteArray("{},").repeated(200000) + "{}]}",
                                 "{\"results\":{\"0\":{}}}", "\"results\""};
        for (const QByteArray& body : std::as_const(corpus)) {
            QVERIFY(!parseAdResolveReply(body));
            QVERIFY(!parseAdEventResults(body));
        }
        QRandomGenerator random(20260301);
        for (const QByteArray& valid : {bytesOf(resolveReply()), bytesOf(eventResults())}) {
            for (int round = 0; round < 4000; ++round) {
                QByteArray body = valid;
                for (int edits = 1 + random.bounded(4); edits > 0 && !body.isEmpty(); --edits) {
                    const int at = random.bounded(int(body.size()));
                    switch (random.bounded(4)) {
                    case 0: body[at] = char(random.bounded(256)); break;
                    case 1: body.insert(at, char(random.bounded(256))); break;
                    case 2: body.remove(at, 1 + random.bounded(8)); break;
                    default: body.insert(at, body.mid(at, random.bounded(64))); break;
                    }
                }
                const qsizetype held =
                    QJsonDocument::fromJson(body).object().value("results").toArray().size();
                if (const auto reply = parseAdResolveReply(body))
                    QCOMPARE(reply->results.size(), held);
                if (const auto outcomes = parseAdEventResults(body))
                    QCOMPARE(outcomes->size(), held);
            }
        }
    }

    void stamps_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("utc"); // -1: invalid
        QTest::newRow("zulu") << QString("2026-03-01T10:00:00Z") << utcMs("2026-03-01T10:00:00");
        QTest::newRow("no offset is UTC") << QString("2026-03-01T10:00:00") << utcMs("2026-03-01T10:00:00");
        QTest::newRow("no offset in the local gap") << QString("2026-03-29T02:30:00.5") << utcMs("2026-03-29T02:30:00.500");
        QTest::newRow("offset and fraction") << QString("2026-03-01T10:00:00.5+05:45") << utcMs("2026-03-01T04:15:00.500");
        QTest::newRow("long fraction") << QString("2026-03-01T10:00:00.123456-03:00") << utcMs("2026-03-01T13:00:00.123");
        QTest::newRow("40 characters") << QString("2026-03-01T10:00:00.00000000000000+05:45") << utcMs("2026-03-01T04:15:00");
        QTest::newRow("41 characters") << QString("2026-03-01T10:00:00.000000000000000+05:45") << qint64(-1);
        QTest::newRow("empty") << QString("") << qint64(-1);
        QTest::newRow("no such day") << QString("2026-02-30T10:00:00") << qint64(-1);
        QTest::newRow("trailing line feed") << QString("2026-03-01T10:00:00Z\n") << qint64(-1);
    }

    void stamps()
    {
        QFETCH(QString, text);
        QFETCH(qint64, utc);
        const QDateTime stamp = parseAdStamp(text);
        QCOMPARE(stamp.isValid() ? stamp.toMSecsSinceEpoch() : -1, utc);
        if (stamp.isValid())
            QCOMPARE(stamp.timeSpec(), Qt::UTC);
    }

    void stampIso_data()
    {
        QTest::addColumn<QDateTime>("stamp");
        QTest::addColumn<QByteArray>("iso");
        QTest::newRow("utc") << QDateTime(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC)
                             << QByteArray("2026-03-01T10:00:00.000Z");
        QTest::newRow("local") << QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0, 7), Qt::LocalTime)
                               << QByteArray("2026-03-01T09:00:00.007Z");
        QTest::newRow("offset") << QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::OffsetFromUTC, -3600)
                                << QByteArray("2026-03-01T01:00:00.000Z");
        QTest::newRow("invalid") << QDateTime() << QByteArray();
        QTest::newRow("beyond year 9999") << QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC)
                                          << QByteArray();
    }

    void stampIso()
    {
        QFETCH(QDateTime, stamp);
        QFETCH(QByteArray, iso);
        QCOMPARE(adStampIso(stamp), iso);
    }

    void startWindow_data()
    {
        // Stamps are offsets from T in ms (-1: invalid); lo and hi are offsets too (0 stands
        // for the absent band).
        QTest::addColumn<qint64>("notBefore");
        QTest::addColumn<qint64>("before");
        QTest::addColumn<qint64>("deadline");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("lo");
        QTest::addColumn<qint64>("hi");
        QTest::addColumn<qint64>("slack");
        QTest::addColumn<bool>("open");
        const qint64 none = -1;
        const auto row = [](const char* name, qint64 notBefore, qint64 before, qint64 deadline,
                            qint64 duration, qint64 lo, qint64 hi, qint64 slack, bool open) {
            QTest::newRow(name) << notBefore << before << deadline << duration << lo << hi << slack
                                << open;
        };
        row("no band", none, none, none, 0, 0, 100, 0, false);
        row("band upside down", none, none, none, 0, 200, 100, 0, false);
        row("no stamps", none, none, none, 0, 100, 100, 0, true);
        row("before 250 under hi", none, 750, none, 0, 500, 1000, 0, true);
        row("before 251 under hi", none, 749, none, 0, 500, 1000, 0, false);
        row("slack widens", none, 650, none, 0, 500, 1000, 100, true);
        row("not before 250 over lo", 750, none, none, 0, 500, 1000, 0, true);
        row("not before 251 over lo", 751, none, none, 0, 500, 1000, 0, false);
        row("ends at the deadline", none, none, 11250, 10000, 500, 1000, 0, true);
        row("ends 1 ms late", none, none, 11249, 10000, 500, 1000, 0, false);
        row("endless creative", none, none, 11250, maxMs, 500, 1000, 0, false);
        row("endless slack", 900, 600, none, 0, 500, 1000, maxMs, true);
    }

    void startWindow()
    {
        QFETCH(qint64, notBefore);
        QFETCH(qint64, before);
        QFETCH(qint64, deadline);
        QFETCH(qint64, duration);
        QFETCH(qint64, lo);
        QFETCH(qint64, hi);
        QFETCH(qint64, slack);
        QFETCH(bool, open);
        const qint64 t = utcMs("2026-03-01T10:00:00");
        const auto at = [t](qint64 offset) { return offset < 0 ? QDateTime() : stampOf(t + offset); };
        AdOccurrence::Resolved decision;
        decision.startNotBefore = at(notBefore);
        decision.startBefore = at(before);
        decision.playbackDeadline = at(deadline);
        decision.durationMs = duration;
        QCOMPARE(adStartWindowOpen(decision, lo ? t + lo : 0, hi ? t + hi : 0, slack), open);
    }

    void lease_data()
    {
        QTest::addColumn<qint64>("deadline");
        QTest::addColumn<qint64>("reportBefore");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<bool>("valid");
        QTest::newRow("at report before") << qint64(-1) << qint64(5000) << qint64(5000) << true;
        QTest::newRow("1 ms after") << qint64(-1) << qint64(5000) << qint64(5001) << false;
        QTest::newRow("no stamps") << qint64(-1) << qint64(-1) << maxMs << true;
        QTest::newRow("at the deadline") << qint64(4000) << qint64(-1) << qint64(4000) << true;
        QTest::newRow("past the deadline") << qint64(4000) << qint64(9000) << qint64(4001) << false;
    }

    void lease()
    {
        QFETCH(qint64, deadline);
        QFETCH(qint64, reportBefore);
        QFETCH(qint64, now);
        QFETCH(bool, valid);
        AdOccurrence::Resolved decision;
        decision.playbackDeadline = stampOf(deadline);
        decision.reportBefore = stampOf(reportBefore);
        QCOMPARE(adLeaseStillValid(decision, now), valid);
    }
};

QTEST_GUILESS_MAIN(TestAdContracts)
#include "tst_adcontracts.moc"
