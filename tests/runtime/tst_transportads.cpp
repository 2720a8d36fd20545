#include "app/DevFileLog.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/FakeRuntimeService.h"
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvorine;
using talvorine::test::FakeAdSlots;
using talvorine::test::FakeRuntimeService;
using Reply = FakeRuntimeService::Reply;
using Fault = FakeRuntimeService::Fault;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = 15000;
constexpr qint64 serviceAheadMs = 3LL * 24 * 3600 * 1000; // the service's clock, far from ours

QJsonObject session(bool adslots)
{
    return {{"session", "tvs_ads_1"},
            {"expires_at", "2099-01-01T00:00:00.000Z"},
            {"capabilities", adslots ? QJsonArray{"adslot-v1"} : QJsonArray{"kv.read"}},
            {"manifest_versions", QJsonArray{2, 3}}};
}

QDateTime at(const char* iso)
{
    return QDateTime::fromString(QLatin1String(iso), Qt::ISODateWithMs);
}

AdForecastCandidate candidate(const char* page, const char* occurrence, qint64 sequence = 1)
{
    return {QLatin1String(page), QLatin1String(occurrence), sequence, at("2026-03-01T10:00:05.250Z")};
}

AdEventRecord record(const char* id, bool stamped)
{
    AdEventRecord event;
    event.eventId = QLatin1String(id);
    event.decisionId = QStringLiteral("dec_1");
    event.occurrenceId = QStringLiteral("occ_1");
    event.kind = QStringLiteral("completed");
    event.clientSequence = 7;
    event.durationMs = 15000;
    if (stamped) {
        event.startedAt = at("2026-03-01T10:00:00Z");
        event.endedAt = at("2026-03-01T11:00:15.000+01:00");
    }
    return event;
}

} // namespace

Q_DECLARE_METATYPE(talvorine::test::FakeRuntimeService::Reply)
Q_DECLARE_METATYPE(talvorine::AdForecastCandidate)

class TestTransportAds : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeRuntimeService> fake;
    std::unique_ptr<RuntimeTransport> transport;

    bool mint(bool adslots = true)
    {
        fake->script("POST", W::sessionMintRoute, {Reply::json(200, session(adslots))});
        QSignalSpy succeeded(transport.get(), &RuntimeTransport::deviceSessionSucceeded);
        transport->createDeviceSession(QStringLiteral("mint-key-0001"));
        return succeeded.wait(waitMs) || succeeded.size() == 1;
    }

    FakeAdSlots& ads() { return fake->adSlots(); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(NativePlayerIdentityStore(dir->filePath("player-identity")).open(true).has_value());
        fake = std::make_unique<FakeRuntimeService>();
        QVERIFY2(fake->listening(), qPrintable(fake->setupError()));
        fake->setServerClockOffsetMs(serviceAheadMs);
        DevFileLog::configure(fake->url(), dir->filePath("log"), 0);
        transport = std::make_unique<RuntimeTransport>(fake->url(), dir->filePath("device-credential"),
                                                       dir->filePath("pairing-session"),
                                                       dir->filePath("player-identity"));
        QVERIFY(mint());
    }
    void cleanup()
    {
        transport.reset();
        fake.reset();
        dir.reset();
    }

    void resolve()
    {
        FakeAdSlots::Fill fill;
        fill.decisionId = QStringLiteral("dec_7");
        ads().fill("lobby", fill);
        ads().empty("hall", 30000);
        ads().omit("door");
        ads().shiftCheckSequence("hall", -1);
        ads().setResolveLatencyMs(300);
        QSignalSpy resolved(transport.get(), &RuntimeTransport::adSlotsResolved);
        const qint64 before = QDateTime::currentMSecsSinceEpoch() + serviceAheadMs;
        transport->resolveAdslots("man_42", {candidate("lobby", "occ_a", 3), candidate("hall", "occ_b"),
                                             candidate("door", "occ_c")});
        QVERIFY(resolved.wait(waitMs));
        const qint64 after = QDateTime::currentMSecsSinceEpoch() + serviceAheadMs;

        const FakeRuntimeService::Request sent = fake->requestsTo(W::adResolveRoute).at(0);
        QCOMPARE(sent.body,
                 QByteArray(R"({"candidates":[)"
                            R"({"check_sequence":3,"earliest_start_at":"2026-03-01T10:00:05.250Z","occurrence_id":"occ_a","page_id":"lobby"},)"
                            R"({"check_sequence":1,"earliest_start_at":"2026-03-01T10:00:05.250Z","occurrence_id":"occ_b","page_id":"hall"},)"
                            R"({"check_sequence":1,"earliest_start_at":"2026-03-01T10:00:05.250Z","occurrence_id":"occ_c","page_id":"door"}],)"
                            R"("manifest_revision":"man_42"})"));
        QCOMPARE(sent.header("Authorization"), QByteArray("Talvorine-Session tvs_ads_1"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));

        // The reply is on the service's clock, and the round trip is kept for the band.
        const AdResolveReply reply = resolved.at(0).at(0).value<AdResolveReply>();
        QVERIFY(reply.serverTime.toMSecsSinceEpoch() >= before - 1000);
        QVERIFY(reply.serverTime.toMSecsSinceEpoch() <= after);
        QVERIFY(transport->lastResolveRoundTripMs() >= 300);
        QCOMPARE(reply.results.size(), 2);
        const AdResolveResult& filled = reply.results.at(0);
        QCOMPARE(filled.state, QStringLiteral("filled"));
        QCOMPARE(filled.checkSequence, 3);
        QCOMPARE(filled.contentPath, QStringLiteral("/content/v1/ad-decisions/dec_7"));
        QCOMPARE(filled.startBefore.toMSecsSinceEpoch(), reply.serverTime.toMSecsSinceEpoch() + 30000);
        QCOMPARE(reply.results.at(1).checkSequence, 0);
        QCOMPARE(reply.results.at(1).hintUntil.toMSecsSinceEpoch(),
                 reply.serverTime.toMSecsSinceEpoch() + 30000);

        // The creative is served at its content path to an authorised request.
        QNetworkRequest get(fake->url(filled.contentPath));
        QVERIFY(transport->authorizeRuntimeRequest(get));
        std::unique_ptr<QNetworkReply> download(transport->networkAccessManager()->get(get));
        QTRY_VERIFY_WITH_TIMEOUT(download->isFinished(), waitMs);
        QCOMPARE(download->readAll(), fill.creative);
        QCOMPARE(filled.sha256.size(), 64);
    }

    void resolveRefusals_data()
    {
        QTest::addColumn<QString>("revision");
        QTest::addColumn<QList<AdForecastCandidate>>("batch");
        QTest::addColumn<bool>("adslots");
        QTest::addColumn<QString>("code");
        const QList<AdForecastCandidate> one{candidate("lobby", "occ_a")};
        QList<AdForecastCandidate> seventeen;
        for (int i = 0; i < 17; ++i)
            seventeen.append(candidate("lobby", qPrintable(QStringLiteral("occ_%1").arg(i))));
        const auto with = [](AdForecastCandidate changed) { return QList<AdForecastCandidate>{changed}; };
        AdForecastCandidate bad = candidate("lobby", "occ_a");
        const auto row = [](const char* name, const QString& revision,
                            const QList<AdForecastCandidate>& batch, bool adslots = true) {
            QTest::newRow(name) << revision << batch << adslots
                                << QStringLiteral("ad_resolve_request_invalid");
        };
        row("not negotiated", "man_1", one, false);
        row("revision without prefix", "rev_1", one);
        row("revision of 161", QStringLiteral("man_") + QString(157, 'r'), one);
        row("revision with line feed", "man_1\n", one);
        row("no candidates", "man_1", {});
        row("seventeen", "man_1", seventeen);
        bad.pageId = QStringLiteral("9lobby");
        row("page id", "man_1", with(bad));
        row("occurrence id", "man_1", with(candidate("lobby", "occ_")));
        row("check sequence 0", "man_1", with(candidate("lobby", "occ_a", 0)));
        bad = candidate("lobby", "occ_a");
        bad.earliestStartAt = QDateTime();
        row("no earliest start", "man_1", with(bad));
        bad.earliestStartAt = QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC);
        row("unwritable earliest start", "man_1", with(bad));
    }

    // Each refusal answers before the call returns, and nothing is sent.
    void resolveRefusals()
    {
        QFETCH(QString, revision);
        QFETCH(QList<AdForecastCandidate>, batch);
        QFETCH(bool, adslots);
        QFETCH(QString, code);
        if (!adslots)
            QVERIFY(mint(false));
        QSignalSpy failed(transport.get(), &RuntimeTransport::adSlotsResolveFailed);
        transport->resolveAdslots(revision, batch);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0), (QVariantList{code, 0, false, qint64(-1)}));
        QCOMPARE(fake->requestsTo(W::adResolveRoute).size(), 0);
    }

    void resolveBusyAndSlow()
    {
        ads().setResolveLatencyMs(2600); // beyond the 2000 ms the transfer may stay silent
        QSignalSpy failed(transport.get(), &RuntimeTransport::adSlotsResolveFailed);
        QSignalSpy resolved(transport.get(), &RuntimeTransport::adSlotsResolved);
        transport->resolveAdslots("man_1", {candidate("lobby", "occ_a")});
        transport->resolveAdslots("man_1", {candidate("lobby", "occ_b")});
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0), (QVariantList{QString("ad_resolve_busy"), 0, true, qint64(-1)}));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, waitMs);
        QCOMPARE(failed.at(1).at(1).toInt(), 0);
        QCOMPARE(failed.at(1).at(2).toBool(), true);
        QCOMPARE(resolved.size(), 0);
        QCOMPARE(fake->requestsTo(W::adResolveRoute).size(), 1);
        QVERIFY(transport->lastResolveRoundTripMs() > 1500); // timers may fire a little early
        // Once the first has ended, the next one goes out.
        ads().setResolveLatencyMs(0);
        transport->resolveAdslots("man_1", {candidate("lobby", "occ_c")});
        QVERIFY(resolved.wait(waitMs));
    }

    void failures_data()
    {
        QTest::addColumn<bool>("events");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("retryable");
        QTest::addColumn<qint64>("retryAfterMs");
        const Reply tooLarge = Reply::json(200, "{\"results\":[" + QByteArray(5 << 20, ' ') + "]}");
        Reply cut = Reply::json(200, QByteArray("{\"results\":[]}"));
        cut.fault = Fault::DropMidBody;
        for (const bool events : {false, true}) {
            const QString prefix = events ? QStringLiteral("events ") : QStringLiteral("resolve ");
            const auto row = [&](const char* name, const Reply& reply, const QString& code, int status,
                                 bool retryable, qint64 retryAfterMs = -1) {
                QTest::newRow(qPrintable(prefix + QLatin1String(name)))
                    << events << reply << code << status << retryable << retryAfterMs;
            };
            row("401", Reply::json(401, QByteArray("{}")),
                events ? "runtime_session_expired" : "runtime_http_401", 401, false);
            row("503", Reply::json(503, QByteArray("{}")),
                events ? "ad_events_http_503" : "runtime_http_503", 503, true);
            row("503 asking for 20 s", Reply::json(503, QByteArray("{}")).withHeader("Retry-After", "20"),
                events ? "ad_events_http_503" : "runtime_http_503", 503, true, 20000);
            row("413 with a code", Reply::json(413, QByteArray(R"({"code":"batch_too_large"})")),
                "batch_too_large", 413, false);
            row("unreadable 2xx", Reply::json(200, QByteArray("{\"results\":7}")),
                events ? "ad_events_contract_invalid" : "ad_resolve_contract_invalid", 200, false);
            row("too large", tooLarge, "runtime_reply_too_large", 200, false);
            row("cut mid-body", cut, "runtime_unavailable", 200, true);
        }
    }

    void failures()
    {
        QFETCH(bool, events);
        QFETCH(Reply, reply);
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(bool, retryable);
        QFETCH(qint64, retryAfterMs);
        fake->script("POST", events ? W::adEventsRoute : W::adResolveRoute, {reply});
        QSignalSpy expired(transport.get(), &RuntimeTransport::runtimeSessionExpired);
        QSignalSpy failed(transport.get(), events ? &RuntimeTransport::adEventsReportFailed
                                                  : &RuntimeTransport::adSlotsResolveFailed);
        if (events)
            transport->reportAdEvents({record("evt_1", true)});
        else
            transport->resolveAdslots("man_1", {candidate("lobby", "occ_a")});
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(failed.at(0), (QVariantList{code, status, retryable, retryAfterMs}));
        QCOMPARE(expired.size(), status == 401 ? 1 : 0);
    }

    void events()
    {
        // Only some events answered: a partial outcome is passed on as it came.
        ads().setVerdict([](const QJsonObject& event, bool taken) -> std::optional<QString> {
            if (event.value("event_id") == QLatin1String("evt_2"))
                return std::nullopt;
            return taken ? QStringLiteral("duplicate") : QStringLiteral("pending_evidence");
        });
        QSignalSpy reported(transport.get(), &RuntimeTransport::adEventsReported);
        transport->reportAdEvents({record("evt_1", true), record("evt_2", false)});
        QVERIFY(reported.wait(waitMs));
        const FakeRuntimeService::Request sent = fake->requestsTo(W::adEventsRoute).at(0);
        QCOMPARE(sent.body,
                 QByteArray(R"({"events":[)"
                            R"({"client_sequence":7,"decision_id":"dec_1","duration_ms":15000,"ended_at":"2026-03-01T10:00:15.000Z","event_id":"evt_1","kind":"completed","occurrence_id":"occ_1","started_at":"2026-03-01T10:00:00.000Z"},)"
                            R"({"client_sequence":7,"decision_id":"dec_1","duration_ms":15000,"event_id":"evt_2","kind":"completed","occurrence_id":"occ_1"}]})"));
        QCOMPARE(sent.header("Accept"), QByteArray("application/json"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(sent.header("Authorization"), QByteArray("Talvorine-Session tvs_ads_1"));
        const auto outcomes = reported.at(0).at(0).value<QList<AdEventOutcome>>();
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes.at(0).eventId, QStringLiteral("evt_1"));
        QCOMPARE(outcomes.at(0).state, QStringLiteral("pending_evidence"));

        transport->reportAdEvents({record("evt_1", true)});
        QVERIFY(reported.wait(waitMs));
        QCOMPARE(reported.at(1).at(0).value<QList<AdEventOutcome>>().at(0).state,
                 QStringLiteral("duplicate"));
        QCOMPARE(ads().redeliveries(), 1);
        QCOMPARE(ads().receivedEvents().size(), 3);

        // Refused before anything is sent.
        QSignalSpy failed(transport.get(), &RuntimeTransport::adEventsReportFailed);
        transport->reportAdEvents({});
        transport->reportAdEvents(QList<AdEventRecord>(33, record("evt_3", false)));
        QVERIFY(mint(false));
        transport->reportAdEvents({record("evt_3", false)});
        QCOMPARE(failed.size(), 3);
        for (const QVariantList& failure : std::as_const(failed))
            QCOMPARE(failure, (QVariantList{QString("ad_events_request_invalid"), 0, false, qint64(-1)}));
        QCOMPARE(fake->requestsTo(W::adEventsRoute).size(), 2);
    }

    void clockBand_data()
    {
        // Steps "merge server rtt at" and "read at": lo and hi expected at monotonic times.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected"); // per read "lo-hi", per merge its result
        const auto row = [](const char* name, const char* steps, const char* expected) {
            QTest::newRow(name) << QString(steps) << QString(expected);
        };
        row("no band", "read 0", "0-0");
        row("bad samples ignored", "merge 0 5 0; merge 100 -1 0; read 0", "I I 0-0");
        row("first sample", "merge 1000 40 0; read 0; read 500", "T 1000-1040 1500-1540");
        row("narrowed", "merge 1000 40 0; merge 1020 100 10; read 10; read 20",
            "T N 1020-1050 1030-1060");
        row("ended before the band, once", "merge 1000 40 0; merge 900 50 0; read 0", "T H 1000-1040");
        row("service ran past the band, once", "merge 1000 40 0; merge 5000 20 100; read 100",
            "T H 1100-1140");
        row("service ran past the band, twice", "merge 1000 40 0; merge 5000 20 100; merge 5100 30 200; read 200",
            "T H R 5100-5120");
        row("one answer a day ahead, then right ones",
            "merge 1000 40 0; merge 86401000 40 100; merge 1150 20 150; read 150", "T H N 1150-1170");
        row("two wrong answers that disagree", "merge 1000 40 0; merge 90000 10 0; merge 5000 10 0; read 0",
            "T H H 1000-1040");
        // 100 ppm over 100 s: the monotonic clock ran 10 ms ahead of the service's, or behind.
        row("machine clock fast: pulled back",
            "merge 1000 40 0; merge 100950 40 100000; merge 110949 40 110000; read 110000",
            "T H R 110950-110989");
        row("machine clock slow: pulled forward",
            "merge 1000 40 0; merge 101100 40 100000; merge 111110 40 110000; read 110000",
            "T H R 111110-111140");
        row("touching at one instant", "merge 1000 40 0; merge 1040 60 0; read 0", "T N 1040-1040");
        row("band advances first", "merge 1000 40 0; merge 1500 10 480; read 480", "T N 1500-1510");
    }

    void clockBand()
    {
        QFETCH(QString, steps);
        QFETCH(QString, expected);
        ServerClockBand band;
        QStringList seen;
        for (const QString& step : steps.split(QStringLiteral("; "))) {
            const QStringList words = step.split(' ');
            if (words[0] == QLatin1String("read")) {
                const qint64 t = words[1].toLongLong();
                seen.append(QStringLiteral("%1-%2").arg(band.loMs(t)).arg(band.hiMs(t)));
                continue;
            }
            const ServerClockBand::Merge merge =
                band.merge(words[1].toLongLong(), words[2].toLongLong(), words[3].toLongLong());
            seen.append(QString(QLatin1String("ITRNH").at(int(merge))));
        }
        QCOMPARE(seen.join(' '), expected);
    }

    // The transport's band moves on with the monotonic clock and logs a resample once two
    // samples agree on a clock it does not hold.
    void serviceClock()
    {
        QCOMPARE(transport->serverNowHiMs(), 0);
        const qint64 server = QDateTime::currentMSecsSinceEpoch() + serviceAheadMs;
        transport->mergeServerTimeSample(server, 80);
        const qint64 lo = transport->serverNowLoMs();
        QVERIFY(lo >= server && transport->serverNowHiMs() >= lo + 80);
        QTRY_VERIFY_WITH_TIMEOUT(transport->serverNowLoMs() > lo + 20, waitMs);
        transport->mergeServerTimeSample(server + 3600000, 60000);
        QVERIFY(transport->serverNowLoMs() < server + 3600000);
        transport->mergeServerTimeSample(server + 3600000, 60000);
        QVERIFY(transport->serverNowLoMs() >= server + 3600000);
        const auto resamples = test::recordsOf(test::readJsonLines(DevFileLog::path()),
                                               QStringLiteral("ad.server_time_resample"));
        QCOMPARE(resamples.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTransportAds)
#include "tst_transportads.moc"
