#include "runtime/RuntimeWireContract.h"
#include "storage/StorageFiles.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::FakeAdSlots;
using Reply = talvorine::test::FakeRuntimeService::Reply;
using State = AdOccurrence::State;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// "d20000" a page shown 20 s, "S" an adslot page; page ids are "p<index>" and "ad<index>".
Manifest rotation(const QStringList& spec)
{
    Manifest manifest;
    manifest.manifestRevision = QStringLiteral("man_ads_1");
    manifest.timezone = QStringLiteral("UTC");
    for (const QString& token : spec) {
        Page page;
        const bool adslot = token == QLatin1String("S");
        page.id = (adslot ? QStringLiteral("ad%1") : QStringLiteral("p%1")).arg(manifest.pages.size());
        if (adslot) {
            page.type = PageType::adslot;
            page.adslotId = QStringLiteral("slot_") + page.id;
        } else {
            page.advance = {{"mode", "duration"}, {"afterMs", token.mid(1).toInt()}};
        }
        manifest.pages.append(page);
    }
    return manifest;
}

FakeAdSlots::Fill fillAs(const QString& decisionId)
{
    FakeAdSlots::Fill fill;
    fill.decisionId = decisionId;
    return fill;
}

QString stampOf(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// The changes the occurrence life cycle allows, as "from>to".
const QSet<QString> allowedChanges{"0>1", "1>2", "1>3", "1>0", "1>8", "2>8", "3>4", "4>3",
                                   "3>7", "4>7", "4>2", "4>8", "3>8", "4>5", "5>6"};

template <typename T>
T pick(QRandomGenerator& random, const QList<T>& values)
{
    return values.at(random.bounded(int(values.size())));
}

// A resolve reply as a hostile service might send it: each candidate answered or not, under
// its id, an unknown or a repeated one, with check sequences off by one or huge, stamps at the
// ends of what ISO 8601 can say, sizes and durations at their limits, digests and paths that
// lead nowhere; and now and then one value of the wrong type, or a body that is no reply.
QByteArray hostileResolve(QRandomGenerator& random, const QJsonObject& request, qint64 nowMs)
{
    const QList<QJsonValue> stamps{stampOf(nowMs - 5000), stampOf(nowMs + 8000),
                                   stampOf(nowMs + 20000), stampOf(nowMs + 600000),
                                   "0001-01-01T00:00:00Z", "9999-12-31T23:59:59.999Z"};
    const QList<QJsonValue> sizes{64, 64, 1, 9007199254740993.0, 1e300};
    QJsonArray results;
    QString previous = QStringLiteral("occ_unknown");
    for (const QJsonValue& value : request.value("candidates").toArray()) {
        const QJsonObject candidate = value.toObject();
        const QString id = candidate.value("occurrence_id").toString();
        const qint64 sequence = candidate.value("check_sequence").toInteger();
        const bool filled = random.bounded(3) != 0;
        QJsonObject result{
            {"occurrence_id", pick<QJsonValue>(random, {id, id, id, previous, "occ_x"})},
            {"check_sequence", pick<QJsonValue>(random, {sequence, sequence, sequence - 1,
                                                         sequence + 1, 1e19})},
            {"state", filled ? "filled" : "empty"}};
        if (filled) {
            result.insert("decision_id", pick<QJsonValue>(random, {"dec_" + id.right(6), "dec_same"}));
            result.insert("reservation_id", "res");
            for (const char* stamp : {"start_not_before", "start_before", "playback_deadline",
                                      "report_before"})
                result.insert(stamp, pick(random, stamps));
            result.insert("creative_revision", pick(random, sizes));
            result.insert("media", QJsonObject{
                {"kind", pick<QJsonValue>(random, {"image", "video"})},
                {"duration_ms", pick(random, sizes)},
                {"content_type", "image/png"},
                {"bytes", pick(random, sizes)},
                {"sha256", pick<QJsonValue>(random, {testfiles::sha(QByteArray(64, 'c')),
                                                     QString(64, 'g')})},
                {"content_path", pick<QJsonValue>(random, {"/content/v1/ad-decisions/dec_same",
                                                           "//evil/x", "/x?y"})},
                {"fit", "contain"}});
        } else if (random.bounded(2) == 0) {
            result.insert("hint_until", pick(random, stamps));
        }
        previous = id;
        if (random.bounded(6) != 0)
            results.append(result);
    }
    if (random.bounded(12) == 0) {
        const QJsonArray one = results;
        for (int i = 0; i < 2000 && !one.isEmpty(); ++i)
            results.append(one.first());
    }
    // One value of the wrong type or out of range spoils the whole reply.
    if (!results.isEmpty() && random.bounded(4) == 0) {
        QJsonObject spoiled = results.first().toObject();
        spoiled.insert(pick<QString>(random, {"check_sequence", "state", "occurrence_id",
                                              "start_before", "media"}),
                       pick<QJsonValue>(random, {-1, 1.5, "x", QJsonValue(), QString(41, '1'),
                                                 "2026-13-45T99:00:00Z"}));
        results.replace(0, spoiled);
    }
    const QJsonObject reply{{"server_time", stampOf(nowMs)}, {"results", results}};
    return random.bounded(15) == 0 ? pick<QByteArray>(random, {"[]", "{", "{\"results\":7}"})
                                   : QJsonDocument(reply).toJson();
}

// Event results for the ids sent, unknown ids and repeats, with any verdict, or no results.
QByteArray hostileEvents(QRandomGenerator& random, const QJsonObject& request)
{
    QJsonArray results;
    for (const QJsonValue& event : request.value("events").toArray()) {
        const QJsonValue id = pick<QJsonValue>(random, {event["event_id"], event["event_id"],
                                                        "evt_unknown", 4});
        const QJsonValue state = pick<QJsonValue>(random, {"accepted", "duplicate", "rejected",
                                                           "pending_evidence", "maybe"});
        if (random.bounded(4) != 0)
            results.append(QJsonObject{{"event_id", id}, {"state", state}});
        if (random.bounded(8) == 0)
            results.append(QJsonObject{{"event_id", id}, {"state", state}});
    }
    return pick<QByteArray>(random, {QJsonDocument(QJsonObject{{"results", results}}).toJson(),
                                     QJsonDocument(QJsonObject{{"results", results}}).toJson(),
                                     "{\"results\":{}}", "null"});
}

} // namespace

Q_DECLARE_METATYPE(talvorine::test::FakeAdSlots::CreativeDeviation)

class TestPlayerAds : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;
    QStringList violations;
    qint64 serviceOffsetMs = 0;

    PlayerController& controller() { return harness->controller(); }
    FakeAdSlots& ads() { return harness->service().adSlots(); }
    const QList<AdOccurrence>& occurrences() { return ControllerAccess::adOccurrences(controller()); }

    // A player with an ad-slot session, online, whose every occurrence change is checked.
    void make()
    {
        harness = std::make_unique<ControllerHarness>();
        QVERIFY2(harness->ready(), qPrintable(harness->setupError()));
        for (const char* route : {W::adResolveRoute, W::adEventsRoute})
            harness->service().requireCredential(route, W::sessionScheme);
        // Events older than a day are dropped when the outbox loads: the player's clock is the
        // machine's here.
        harness->clock().setNowMs(QDateTime::currentMSecsSinceEpoch());
        QVERIFY(harness->mintSession(true));
        ControllerAccess::setOnline(controller(), true);
        violations.clear();
        serviceOffsetMs = 0;
        ControllerAccess::watchAdStates(controller(), [this](const AdOccurrence& o, State from) {
            const QString change = QStringLiteral("%1>%2").arg(int(from)).arg(int(o.state));
            if (!allowedChanges.contains(change))
                violations.append(o.pageId + QLatin1Char(' ') + change);
        });
    }

    // One planner tick, then the invariant: one occurrence per page, and no decision reported
    // "skipped" twice.
    void tick()
    {
        ControllerAccess::adPlannerTick(controller());
        checkInvariant();
    }

    void checkInvariant()
    {
        QSet<QString> pages;
        for (const AdOccurrence& occurrence : occurrences()) {
            if (pages.contains(occurrence.pageId))
                violations.append(QStringLiteral("two occurrences for ") + occurrence.pageId);
            pages.insert(occurrence.pageId);
        }
        QHash<QString, bool> skipped;
        for (const QJsonObject& record : harness->devLog(QStringLiteral("ad.event.queued"))) {
            const QString occurrence = record.value("occurrence_id").toString();
            if (record.value("kind") == "skipped" && std::exchange(skipped[occurrence], true))
                violations.append(QStringLiteral("skipped twice: ") + occurrence);
        }
    }

    // "ad1:4 ad3:2": each occurrence's page and state, in list order.
    QString states()
    {
        QStringList parts;
        for (const AdOccurrence& occurrence : occurrences())
            parts.append(QStringLiteral("%1:%2").arg(occurrence.pageId).arg(int(occurrence.state)));
        return parts.join(' ');
    }

    QString idOf(const QString& pageId)
    {
        for (const AdOccurrence& occurrence : occurrences()) {
            if (occurrence.pageId == pageId)
                return occurrence.id;
        }
        return {};
    }

    // Moves the service's clock and the player's band of it forward together.
    void advanceServiceClock(qint64 ms)
    {
        serviceOffsetMs += ms;
        harness->service().setServerClockOffsetMs(serviceOffsetMs);
        harness->transport().mergeServerTimeSample(harness->service().serverNowMs(), 0);
    }

    int creativeRequests()
    {
        int count = 0;
        for (const auto& request : harness->service().requests())
            count += request.path.startsWith(W::adContentPrefix);
        return count;
    }

    QStringList downloadsLeft()
    {
        return QDir(harness->statePath("downloads")).entryList(QDir::Files | QDir::Hidden);
    }

    QStringList recorded(const QString& event, const char* field)
    {
        QStringList values;
        for (const QJsonObject& record : harness->devLog(event))
            values.append(record.value(QLatin1String(field)).toString());
        return values;
    }

private slots:
    void cleanup()
    {
        if (harness) {
            QVERIFY2(violations.isEmpty(), qPrintable(violations.join('\n')));
            QVERIFY2(harness->surprises().isEmpty(), qPrintable(harness->surprises().join('\n')));
        }
        harness.reset();
    }

    // Planning, resolve, the creative's road into the ad cache, hints, abandonment and the
    // "skipped" report, through the fake service.
    void flow()
    {
        make();
        const Manifest manifest = rotation({"d20000", "S", "d20000", "S"});
        ControllerAccess::showPage(controller(), manifest, 0, 4000);
        FakeAdSlots::Fill fill;
        fill.startBeforeMs = 20000;
        ads().fill("ad1", fill);
        ads().empty("ad3", 3600000);

        // Without a band every page is due at once; the earliest start follows the local clock.
        tick();
        QCOMPARE(states(), QStringLiteral("ad1:1 ad3:0"));
        const QString firstAd1 = idOf("ad1");
        QTRY_COMPARE_WITH_TIMEOUT(harness->service().requestsTo(W::adResolveRoute).size(), 1, waitMs);
        const auto resolves = harness->service().requestsTo(W::adResolveRoute);
        const QJsonObject body = resolves.first().jsonBody();
        QCOMPARE(body.value("manifest_revision").toString(), manifest.manifestRevision);
        const QJsonObject candidate = body.value("candidates").toArray().first().toObject();
        QCOMPARE(candidate.value("earliest_start_at").toString(),
                 stampOf(harness->clock().nowMs() - 2000));
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4 ad3:0"), waitMs);
        QCOMPARE(creativeRequests(), 1);

        // ad3 was forecast against no clock: with the band it is due at once.
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4 ad3:2"), waitMs);
        const AdOccurrence::Resolved decision = *occurrences().first().resolved;
        QVERIFY(QFileInfo(ContentCache(harness->statePath("ad-cache")).objectPath(decision.sha256))
                    .isFile());
        QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);

        // Nothing changed: the same occurrences, nothing asked again.
        tick();
        QCOMPARE(idOf("ad1"), firstAd1);
        QCOMPARE(harness->service().requestsTo(W::adResolveRoute).size(), 2);

        // The page turns: ad1's decision must start before its new arrival, so it is given up,
        // reported "skipped" at the band's lower bound, and planned afresh.
        const qint64 bandLo = harness->transport().serverNowLoMs();
        ControllerAccess::showPage(controller(), manifest, 2, 4000);
        tick();
        QCOMPARE(states(), QStringLiteral("ad3:2 ad1:0"));
        QVERIFY(idOf("ad1") != firstAd1);
        QCOMPARE(occurrences().last().checkSequence, 1);
        QCOMPARE(recorded("ad_arrival_abandoned", "occurrence_id"), QStringList{firstAd1});
        QTRY_COMPARE_WITH_TIMEOUT(ads().receivedEvents().size(), 1, waitMs);
        const QJsonObject skipped = ads().receivedEvents().first();
        QCOMPARE(skipped.value("kind").toString(), QStringLiteral("skipped"));
        QCOMPARE(skipped.value("decision_id").toString(), decision.decisionId);
        QVERIFY(!skipped.contains("started_at"));
        const qint64 ended = parseAdStamp(skipped.value("ended_at").toString()).toMSecsSinceEpoch();
        QVERIFY(ended >= bandLo && ended <= harness->transport().serverNowLoMs());
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutbox(controller()).inflight().isEmpty(), waitMs);
        QVERIFY(ControllerAccess::adOutbox(controller()).pending().isEmpty());

        // Twenty seconds on, ad1 is within ten seconds of its arrival and asked for alone; the
        // same creative is already in the ad cache and is not fetched again. The empty page's
        // hint (an hour, held to thirty seconds) still holds.
        advanceServiceClock(20000);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(harness->service().requestsTo(W::adResolveRoute).size(), 3, waitMs);
        const auto later = harness->service().requestsTo(W::adResolveRoute);
        QCOMPARE(later.last().jsonBody().value("candidates").toArray().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad3:2 ad1:4"), waitMs);
        QCOMPARE(creativeRequests(), 1);
        advanceServiceClock(11000);
        tick();
        QCOMPARE(states().left(5), QStringLiteral("ad3:8"));

        // The assignment is held: the next planning pass discards everything, each filled
        // decision reported once.
        ControllerAccess::setAssignmentHeld(controller(), true);
        ControllerAccess::showPage(controller(), manifest, 0, 4000);
        tick();
        QCOMPARE(states(), QString());
        QCOMPARE(recorded("ad_forecast_discarded", "reason"),
                 QStringList(2, QStringLiteral("maintenance_stopped")));
        QTRY_COMPARE_WITH_TIMEOUT(ads().receivedEvents().size(), 2, waitMs);
        QCOMPARE(ads().redeliveries(), 0);
        checkInvariant();
    }

    // A ready decision's lease is renewed at least ten seconds apart, at most eight times;
    // granted renewals replace the decision, the ninth is never sent, a refused one releases.
    void leases()
    {
        make();
        FakeAdSlots::Fill fill;
        fill.startBeforeMs = 5000; // always within ten seconds of closing
        ads().fill("ad1", fill);
        const Manifest manifest = rotation({"d60000", "S"});
        ControllerAccess::showPage(controller(), manifest, 0, 0);
        QSignalSpy answered(&harness->transport(), &RuntimeTransport::adSlotsResolved);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4"), waitMs);
        const auto sent = [this] { return harness->service().requestsTo(W::adResolveRoute); };
        for (int renewal = 1; renewal <= 8; ++renewal) {
            const QDateTime startBefore = occurrences().first().resolved->startBefore;
            tick();
            QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1 + renewal, waitMs);
            const QJsonObject candidate =
                sent().last().jsonBody().value("candidates").toArray().first().toObject();
            QCOMPARE(candidate.value("check_sequence").toInteger(), 1 + renewal);
            QVERIFY(occurrences().first().resolved->startBefore > startBefore);
            // Within ten seconds of the last renewal nothing goes out; once eight were sent,
            // the next due tick gives the decision up instead.
            advanceServiceClock(9000);
            tick();
            QCOMPARE(sent().size(), renewal + 1);
            QCOMPARE(states(), renewal < 8 ? QStringLiteral("ad1:4") : QStringLiteral("ad1:8"));
            advanceServiceClock(1000);
        }

        // Planned afresh on the next page turn; its first renewal is refused.
        ControllerAccess::showPage(controller(), manifest, 0, 0);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:4"), waitMs);
        ads().empty("ad1");
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringLiteral("ad1:2"), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ads().receivedEvents().size(), 2, waitMs);
        QCOMPARE(recorded("ad.event.queued", "kind"), QStringList(2, QStringLiteral("skipped")));
    }

    // A reset while a resolve is in flight: the next batch meets the transport's busy refusal
    // and stays planned; the late reply changes no occurrence but still sets the service clock.
    void resetWhileResolving()
    {
        make();
        ads().fill("ad1", {});
        ControllerAccess::showPage(controller(), rotation({"d20000", "S"}), 0, 0);
        QSignalSpy answered(&harness->transport(), &RuntimeTransport::adSlotsResolved);
        tick();
        const QString first = idOf("ad1");
        ControllerAccess::resetAdPlanning(controller(), QStringLiteral("revision_change"));
        QCOMPARE(recorded("ad_forecast_discarded", "reason"), QStringList{"revision_change"});
        tick();
        QCOMPARE(states(), QStringLiteral("ad1:0"));
        QCOMPARE(recorded("ad_resolve_failed", "code"), QStringList{"ad_resolve_busy"});
        QVERIFY(idOf("ad1") != first);
        QCOMPARE(harness->transport().serverNowHiMs(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1, waitMs);
        QCOMPARE(states(), QStringLiteral("ad1:0"));
        QVERIFY(harness->transport().serverNowHiMs() > 0);
        QCOMPARE(creativeRequests(), 0);
    }

    // Each stop of ad planning discards the planned arrivals with its reason.
    void stops_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<QString>("reason");
        QTest::newRow("archived") << "archived" << "maintenance_stopped";
        QTest::newRow("operator pause") << "paused" << "maintenance_stopped";
        QTest::newRow("offline") << "offline" << "maintenance_stopped";
        QTest::newRow("fatal surface") << "fatal" << "fatal";
        QTest::newRow("no adslot page left") << "no adslots" << "no_adslots";
    }

    void stops()
    {
        QFETCH(QString, stop);
        QFETCH(QString, reason);
        make();
        const Manifest manifest = rotation({"d20000", "S", "d20000"});
        ControllerAccess::showPage(controller(), manifest, 0, 30000);
        tick();
        QCOMPARE(states(), QStringLiteral("ad1:0")); // thirty seconds away: not asked yet
        if (stop == "archived")
            ControllerAccess::setArchived(controller(), true);
        else if (stop == "paused")
            QVERIFY(ControllerAccess::togglePause(controller(), harness->clock().nowMs()));
        else if (stop == "offline")
            ControllerAccess::setOnline(controller(), false);
        else if (stop == "fatal")
            controller().enterFatal(FatalSurface::TypefacesMissing);
        ControllerAccess::showPage(controller(), stop == "no adslots" ? rotation({"d5000"}) : manifest,
                                   stop == "no adslots" ? 0 : 2, 30000);
        tick();
        QCOMPARE(states(), QString());
        QCOMPARE(recorded("ad_forecast_discarded", "reason"), QStringList{reason});
        QCOMPARE(harness->service().requestsTo(W::adResolveRoute).size(), 0);
    }

    // How each answer to a resolve request leaves the occurrence it was for.
    void resolveAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("failuresLogged");
        QTest::newRow("left out: back to planned") << "omit" << int(State::Planned) << 0;
        QTest::newRow("stale check sequence") << "stale" << int(State::Planned) << 0;
        QTest::newRow("401") << "401" << int(State::Planned) << 1;
        QTest::newRow("503, retryable") << "503" << int(State::Planned) << 1;
        QTest::newRow("400") << "400" << int(State::Expired) << 1;
        QTest::newRow("filled: download retired") << "filled" << int(State::Retired) << 0;
    }

    void resolveAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(int, state);
        QFETCH(int, failuresLogged);
        make();
        ControllerAccess::showPage(controller(), rotation({"d20000", "S"}), 0, 0);
        if (answer == "omit")
            ads().omit("ad1");
        else if (answer == "stale")
            ads().shiftCheckSequence("ad1", 1);
        else if (answer == "filled")
            ads().fill("ad1", fillAs(QStringLiteral("dec_gone")));
        else
            harness->service().script("POST", W::adResolveRoute,
                                      {Reply::json(answer.toInt(), QJsonObject{{"code", "nope"}})});
        if (answer == "filled")
            ads().deviate("dec_gone", {.status = 404});
        QSignalSpy answered(&harness->transport(), &RuntimeTransport::adSlotsResolved);
        QSignalSpy failed(&harness->transport(), &RuntimeTransport::adSlotsResolveFailed);
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(answered.size() + failed.size(), 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(int(occurrences().first().state), state, waitMs);
        QCOMPARE(harness->devLog("ad_resolve_failed").size(), failuresLogged);
        if (answer == "401") {
            // The session went with the 401: planning stops, and starts again with a new one.
            tick();
            QCOMPARE(states(), QString());
            QVERIFY(harness->mintSession(true));
            tick();
            QTRY_COMPARE_WITH_TIMEOUT(harness->service().requestsTo(W::adResolveRoute).size(), 2,
                                      waitMs);
        }
        checkInvariant();
    }

    // A creative's way into the ad cache, and every refusal before a request is made.
    void download_data()
    {
        QTest::addColumn<QString>("contentPath"); // "{origin}" is the service's host and port
        QTest::addColumn<QString>("digest");
        QTest::addColumn<FakeAdSlots::CreativeDeviation>("deviation");
        QTest::addColumn<QString>("code"); // empty: the creative ends ready
        QTest::addColumn<int>("requests");
        const auto row = [](const char* name, QString path, FakeAdSlots::CreativeDeviation d,
                            const char* code, int requests, QString digest = {}) {
            QTest::newRow(name) << path << digest << d << QString(code) << requests;
        };
        const QString good = QStringLiteral("/content/v1/ad-decisions/dec_row");
        row("whole creative", good, {}, "", 1);
        row("206 of the right length", good, {.status = 206}, "", 1);
        row("one byte too many", good, {.extraBytes = 1}, "ad_download_failed", 1);
        row("one byte too few", good, {.extraBytes = -1}, "ad_download_failed", 1);
        row("cut connection", good, {.cut = true}, "ad_download_failed", 1);
        row("401", good, {.status = 401}, "runtime_session_expired", 1);
        row("query", good + "?x=1", {}, "ad_content_path_invalid", 0);
        row("fragment", good + "#f", {}, "ad_content_path_invalid", 0);
        row("user-info", "http://user@{origin}" + good, {}, "ad_content_path_invalid", 0);
        row("another scheme", "https://{origin}" + good, {}, "ad_content_path_invalid", 0);
        row("another host", "http://localhost:{port}" + good, {}, "ad_content_path_invalid", 0);
        row("another port", "http://127.0.0.1:1" + good, {}, "ad_content_path_invalid", 0);
        row("outside the route", "/content/v1/other/dec_row", {}, "ad_content_path_invalid", 0);
        row("encoded slash", good + "%2F..%2Fx", {}, "ad_content_path_invalid", 0);
        row("encoded backslash", good + "%5c..", {}, "ad_content_path_invalid", 0);
        row("digest not lowercase", good, {}, "cache_declaration_invalid", 0, QString(64, 'A'));
        row("full ad I/O queue", good, {}, "content_io_busy", 0, "busy");
        row("busy ad I/O queue", good, {.latencyMs = 2000}, "", 1, "blocked");
    }

    void download()
    {
        QFETCH(QString, contentPath);
        QFETCH(QString, digest);
        QFETCH(FakeAdSlots::CreativeDeviation, deviation);
        QFETCH(QString, code);
        QFETCH(int, requests);
        make();
        const QUrl origin = harness->service().url();
        FakeAdSlots::Fill fill = fillAs(QStringLiteral("dec_row"));
        fill.contentPath = QString(contentPath)
                               .replace("{origin}", origin.authority())
                               .replace("{port}", QString::number(origin.port()));
        if (digest.size() == 64)
            fill.sha256 = digest;
        ads().fill("ad1", fill);
        ads().deviate("dec_row", deviation);

        // A job holds the ad I/O queue; "busy" fills its waiting room as well.
        QSemaphore release;
        const auto flag = ControllerAccess::adCancel(controller());
        CacheIoQueue& io = ControllerAccess::adIo(controller());
        const auto blocker = [&release] {
            release.acquire();
            return std::function<void()>([] {});
        };
        if (digest == "busy")
            QVERIFY(io.submit(flag, blocker));
        for (int i = 0; digest == "busy" && i < io.capacity(); ++i)
            QVERIFY(io.submit(flag, [] { return std::function<void()>([] {}); }));

        ControllerAccess::showPage(controller(), rotation({"d20000", "S"}), 0, 0);
        tick();
        if (digest == "blocked") {
            // The creative is answered late; meanwhile a job takes the queue, and the commit
            // waits behind it while the download's temporary file goes.
            QTRY_COMPARE_WITH_TIMEOUT(creativeRequests(), 1, waitMs);
            QVERIFY(io.submit(flag, blocker));
            QTRY_COMPARE_WITH_TIMEOUT(io.waitingCount(), 1, waitMs);
            QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);
            release.release(1);
        }
        const int settled = code.isEmpty() ? int(State::Ready) : int(State::Retired);
        QTRY_COMPARE_WITH_TIMEOUT(int(occurrences().first().state), settled, waitMs);
        release.release(1);
        QCOMPARE(recorded("ad_preparation_failed", "code"),
                 code.isEmpty() ? QStringList() : QStringList{code});
        QCOMPARE(creativeRequests(), requests);
        if (digest == "busy")
            QCOMPARE(harness->devLog("ad.cache_busy").size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(io.waitingCount() + int(io.isRunning()), 0, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(downloadsLeft(), QStringList(), waitMs);
        const std::optional<QString> cached = ContentCache(harness->statePath("ad-cache"))
            .readyPath(testfiles::sha(FakeAdSlots::Fill().creative), 64, nullptr);
        QCOMPARE(cached.has_value(), code.isEmpty());
    }

    // Ticks, page turns and clock jumps against a service whose every ad answer is generated
    // from a fixed seed: nothing crashes and the invariant holds throughout.
    void hostileService()
    {
        make();
        QRandomGenerator random(20261207);
        ads().setResolveBody([&random](const QJsonObject& request, qint64 nowMs) {
            return hostileResolve(random, request, nowMs);
        });
        ads().setEventsBody(
            [&random](const QJsonObject& request, qint64) { return hostileEvents(random, request); });
        const Manifest manifest = rotation({"d3000", "S", "S", "d2000", "S", "d1000"});
        ControllerAccess::showPage(controller(), manifest, 0, 2000);
        ControllerAccess::setAdVisit(controller(), QStringLiteral("occ_v"), QStringLiteral("dec_v"));
        for (int round = 0; round < 200; ++round) {
            if (random.bounded(4) == 0)
                ControllerAccess::showPage(controller(), manifest,
                                           random.bounded(int(manifest.pages.size())),
                                           random.bounded(8000));
            if (random.bounded(3) == 0)
                advanceServiceClock(random.bounded(15000));
            if (random.bounded(5) == 0)
                ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 5);
            tick();
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(controller()), waitMs);
            checkInvariant();
        }
        QVERIFY(harness->service().requestsTo(W::adResolveRoute).size() > 20);
    }

    // Events reach the service in batches of 32, one report at a time; an offline flip hands
    // the batch back without ever sending an event twice or settling the wrong batch; refused
    // batches are dropped, failed ones kept; a restart sends the batch in flight first.
    void reporting()
    {
        make();
        auto& service = harness->service();
        ControllerAccess::setOnline(controller(), false);
        ControllerAccess::setAdVisit(controller(), QStringLiteral("occ_a"), QStringLiteral("dec_a"));
        for (int i = 0; i < 40; ++i)
            ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("interrupted"), -5);
        const AdOutbox& outbox = ControllerAccess::adOutbox(controller());
        QCOMPARE(outbox.pending().first().durationMs, 0);
        // No band yet: the local clock stamps the event.
        QCOMPARE(adStampIso(outbox.pending().first().endedAt),
                 stampOf(harness->clock().nowMs()).toUtf8());

        // Online, the first 32 go out; offline while they are in flight, they come back, and
        // nothing else is sent until the service has answered them.
        QStringList firstIds;
        ads().setEventsBody([&firstIds](const QJsonObject& request, qint64) {
            QJsonArray results;
            for (const QJsonValue& event : request.value("events").toArray()) {
                firstIds.append(event["event_id"].toString());
                results.append(QJsonObject{{"event_id", event["event_id"]}, {"state", "accepted"}});
            }
            return QJsonDocument(QJsonObject{{"results", results}}).toJson();
        });
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QCOMPARE(outbox.inflight().size(), 32);
        ControllerAccess::handBackAdEventBatch(controller());
        QCOMPARE(outbox.pending().size(), 40);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(firstIds.size(), 32, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(outbox.pending().size(), 8, waitMs);
        ads().setEventsBody({});
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(ads().receivedEvents().size(), 40, waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(outbox.inflight().isEmpty(), waitMs);
        QCOMPARE(service.requestsTo(W::adEventsRoute).size(), 2);
        QSet<QString> sent;
        for (const QJsonObject& event : ads().receivedEvents())
            sent.insert(event["event_id"].toString());
        QCOMPARE(sent.size(), 40);

        // Partial outcomes, then a failure that keeps the batch and one that drops it.
        ads().setVerdict([](const QJsonObject& event, bool) -> std::optional<QString> {
            if (event["client_sequence"].toInteger() == 41)
                return std::nullopt;
            return QStringLiteral("pending_evidence");
        });
        ControllerAccess::setOnline(controller(), false);
        for (int i = 0; i < 3; ++i)
            ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 1000);
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(outbox.pending().size(), 1, waitMs);
        QCOMPARE(outbox.pending().first().clientSequence, 41);
        service.script("POST", W::adEventsRoute,
                       {Reply::json(503, QJsonObject{{"code", "unavailable"}}),
                        Reply::json(413, QJsonObject{{"code", "too_large"}})});
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(recorded("ad_events_report_failed", "status"),
                                  QStringList{"503"}, waitMs);
        QCOMPARE(outbox.pending().size(), 1);
        ControllerAccess::flushAdOutbox(controller());
        QTRY_COMPARE_WITH_TIMEOUT(recorded("ad_events_report_dropped", "status"),
                                  QStringList{"413"}, waitMs);
        QVERIFY(outbox.pending().isEmpty() && outbox.inflight().isEmpty());

        // A restart with a batch in flight sends that batch first, under the same ids.
        ads().setVerdict({});
        Reply never = Reply::json(200, QByteArray());
        never.latencyMs = 600000;
        service.script("POST", W::adEventsRoute, {never});
        ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 10);
        const QString lost = outbox.inflight().value(0).eventId;
        QVERIFY(!lost.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(service.requestsTo(W::adEventsRoute).size(), 6, waitMs);
        service.script("POST", W::adEventsRoute, {});
        harness->rebuildController({});
        QVERIFY(harness->mintSession(true));
        ControllerAccess::setAdVisit(controller(), QStringLiteral("occ_b"), QStringLiteral("dec_b"));
        ControllerAccess::setOnline(controller(), true);
        ControllerAccess::enqueueAdEvent(controller(), QStringLiteral("completed"), 20);
        QTRY_VERIFY_WITH_TIMEOUT(ads().takenEventIds().contains(lost), waitMs);
        const QJsonArray resent =
            service.requestsTo(W::adEventsRoute).last().jsonBody().value("events").toArray();
        QCOMPARE(resent.first()["event_id"].toString(), lost);
        QCOMPARE(ads().redeliveries(), 0);
    }
};

QTEST_MAIN(TestPlayerAds)
#include "tst_playerads.moc"
