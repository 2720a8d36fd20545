// Requests from web applications against the fake service, and the activation re-report.

#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeKvStore.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using Service = talvorine::test::FakeRuntimeService;
namespace W = talvorine::RuntimeWire;

class TestPlayerApplications : public QObject {
    Q_OBJECT
    std::unique_ptr<test::ControllerHarness> h;
    Manifest manifest;

    // On glass in slot 0 under generation 12, with a session holding "kv.read": page 0 advanced
    // by its applications "hero" and "hero_x" beside an image "img", page 1 on a timer.
    PlayerController& make(int shown = 0)
    {
        h = std::make_unique<test::ControllerHarness>();
        if (!h->ready())
            qFatal("%s", qPrintable(h->setupError()));
        h->service().script("POST", W::reportsRoute, {Service::Reply::json(200, QJsonObject())});
        h->service().kvStore().grant("cap-hero");
        if (!h->mintSession())
            qFatal("no runtime session");
        manifest = {};
        manifest.manifestRevision = "rev-7";
        for (const QString mode : {"application", "duration"}) {
            Page& page = manifest.pages.emplace_back();
            page.advance = {{"mode", mode}};
            for (const QString id : {"hero", "hero_x", "img"}) {
                Primitive& primitive = page.primitives.emplace_back();
                primitive.id = id;
                primitive.kind = id == "img" ? PrimitiveKind::image : PrimitiveKind::application;
                primitive.binding = {{"applicationId", "app-" + id}};
                primitive.capabilityHandle = "cap-" + id;
            }
        }
        ControllerAccess::putOnGlass(h->controller(), manifest, shown, 0);
        ControllerAccess::setActiveGeneration(h->controller(), 12);
        return h->controller();
    }

    // What reached the service for web applications or their page.
    QList<Service::Request> sent()
    {
        QList<Service::Request> requests = h->service().requests();
        requests.removeIf([](const Service::Request& r) {
            return !r.path.startsWith("/runtime/v1/apps/") && r.path != W::reportsRoute;
        });
        return requests;
    }

private slots:
    void cleanup()
    {
        test::ControllerHarness::release(h);
    }

    // Admission by slot, page and kind, the key of each answer, hostile request maps, the
    // report budget and page advance, each request judged against what reached the service.
    void requests()
    {
        PlayerController& c = make(1);
        QSignalSpy kv(&c, &PlayerController::applicationKvFinished);
        QSignalSpy events(&c, &PlayerController::applicationEventFinished);
        const auto get = [](const QVariant& key) {
            return QVariantMap{{"kind", "kv.get"}, {"key", key}};
        };
        const auto statuses = [](QSignalSpy& spy) {
            QList<int> found;
            while (!spy.isEmpty())
                found.append(spy.takeFirst().at(1).toInt());
            return found;
        };

        c.applicationKvRequested(0, "hero", "x_r7", get("a"));
        QTRY_COMPARE_WITH_TIMEOUT(kv.size(), 1, 30000);
        QCOMPARE(kv.first().mid(0, 2), (QVariantList{"12_hero_x_r7", 404}));
        QCOMPARE(sent().first().header("Talvorine-Primitive-Capability"), "cap-hero");
        // Not from the slot on glass, not an application, a kind the session may not use or
        // none at all: forbidden at once. Keys the store must never see: refused at once.
        c.applicationKvRequested(1, "hero", "r", get("a"));
        c.applicationKvRequested(0, "img", "r", get("a"));
        c.applicationKvRequested(0, "hero", "r", {{"kind", "kv.delete"}, {"key", "a"}});
        c.applicationKvRequested(0, "hero", "r", {{"kind", QVariantList{7}}});
        QCOMPARE(kv.last(),
                 (QVariantList{"12_hero_r", 403, "{\"code\":\"forbidden\",\"status\":403}"}));
        for (const QVariant& key : {QVariant(".."), QVariant(QVariantMap{{"a", 1}}), QVariant()})
            c.applicationKvRequested(0, "hero", "r", get(key));
        QCOMPARE(statuses(kv), (QList<int>{404, 403, 403, 403, 403, 0, 0, 0}));

        // Events and logs of the page's applications only, within the report budget; an event
        // from anything else is refused at once, under the key its own placement claims.
        c.applicationEventRequested(1, "hero", "tap", "e");
        c.applicationEventRequested(0, "img", "tap", "e");
        QCOMPARE(events.takeFirst().mid(0, 2), (QVariantList{"0_hero_e", 403}));
        QCOMPARE(events.takeFirst().mid(0, 2), (QVariantList{"12_img_e", 403}));
        c.applicationLogRequested(0, "img", "info", "boot", "hi");
        c.applicationLogRequested(0, "hero", "warn", "boot", QString(1 << 20, 'm'));
        c.applicationLogRequested(0, "hero", "warn", "boot", "hi");
        for (int i = 0; i < 8; ++i)
            c.applicationEventRequested(0, "hero_x", "tap", QString::number(i));
        c.applicationEventRequested(0, "hero_x", "tap");
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 9, 30000);
        QCOMPARE(events.first().mid(0, 2), (QVariantList{"12_hero_x_", 429}));
        QCOMPARE(statuses(events).count(200), 8);
        QTRY_COMPARE_WITH_TIMEOUT(sent().size(), 1 + 1 + 8, 30000);

        // Advance: never from the other slot, a page on a timer or while paused.
        c.applicationAdvanceRequested(0, "hero");
        ControllerAccess::putOnGlass(c, manifest, 0, 0);
        c.applicationAdvanceRequested(1, "hero");
        ControllerAccess::togglePause(c);
        c.applicationAdvanceRequested(0, "hero");
        QCOMPARE(ControllerAccess::advanceReason(c), "assignment");
        ControllerAccess::togglePause(c);
        c.applicationAdvanceRequested(0, "hero_x");
        QCOMPARE(ControllerAccess::advanceReason(c), "application");
    }

    // An application whose page is being prepared: its events wait for glass (as many as its
    // wrapper lets wait) and are refused if the page never gets there, each answered under its
    // own placement's generation.
    void whilePrepared()
    {
        PlayerController& c = make(1);
        QSignalSpy events(&c, &PlayerController::applicationEventFinished);
        ControllerAccess::putInPreparation(c, manifest, 0, 1, 13);
        for (int i = 0; i < 65; ++i)
            c.applicationEventRequested(1, "hero", "tap", QString::number(i));
        QCOMPARE(events.takeFirst().mid(0, 2), (QVariantList{"13_hero_64", 429}));
        QVERIFY(events.isEmpty() && sent().isEmpty());
        ControllerAccess::activateCandidate(c);
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 64, 30000);
        QCOMPARE(std::count_if(events.cbegin(), events.cend(),
                               [](const QVariantList& answer) { return answer.at(1) == 200; }),
                 8); // the rest past the report budget
        ControllerAccess::putInPreparation(c, manifest, 1, 0, 14);
        c.applicationEventRequested(0, "hero_x", "tap", "late");
        ControllerAccess::failCandidate(c, "runtime_session_expired");
        QCOMPARE(events.last().mid(0, 2), (QVariantList{"14_hero_x_late", 403}));
    }

    // Refused as unauthorised, the report of the page on glass goes again after the next
    // session, once however often; a refusal of another kind or revision arms nothing.
    void activationReportedAgain()
    {
        make();
        RuntimeTransport& transport = h->transport();
        // True once the manifest fetch that the session handler sends first is answered.
        const auto newSession = [&transport] {
            QSignalSpy answered(&transport, &RuntimeTransport::manifestNotModified);
            transport.createDeviceSession("harness-mint-0002");
            return answered.wait(30000) || !answered.isEmpty();
        };
        Q_EMIT transport.activationReportFailed("rev-7", "activation_report_failed");
        Q_EMIT transport.activationReportFailed("rev-6", "activation_report_unauthorized");
        QVERIFY(newSession());
        for (int refusal = 0; refusal < 2; ++refusal)
            Q_EMIT transport.activationReportFailed("rev-7", "activation_report_unauthorized");
        QVERIFY(newSession());
        QTRY_COMPARE_WITH_TIMEOUT(sent().size(), 1, 30000);
        QCOMPARE(sent().first().jsonBody().value("code").toString(), "manifest.activated");
        Q_EMIT transport.activationReportFailed("rev-7", "activation_report_unauthorized");
        QVERIFY(newSession() && newSession());
        QCOMPARE(sent().size(), 1);
    }

    // A report the service never saw, or could not take (no answer, a busy service, a login
    // page in its place, straight or behind a redirect), goes again once while its revision is
    // on glass, its pages turning, at the next answer of the service's own. A condition report
    // is sent once whatever comes; only a page with something in it is not the service's.
    void reportWithoutAnswer_data()
    {
        using Reply = Service::Reply;
        QTest::addColumn<QList<Reply>>("answers"); // of the reports route, in turn
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("sent");
        QTest::addColumn<bool>("page"); // a page answered first: no answer, its status logged
        const Reply ok = Reply::json(200, QJsonObject());
        const Reply busy = Reply::json(503, QJsonObject{{"code", "busy"}});
        Reply cut = ok, empty = Reply::loginPage(202), plain = Reply::loginPage(200, "text/plain");
        cut.fault = Service::Fault::DropMidBody;
        empty.body.clear();
        plain.body = "OK";
        const QString activated = QStringLiteral("manifest.activated");
        const QString failed = QStringLiteral("playback.page_failed");
        QTest::newRow("login page, then answered")
            << QList<Reply>{Reply::loginPage(), ok} << activated << 2 << true;
        QTest::newRow("xhtml page behind a redirect, then answered")
            << QList<Reply>{Reply::loginPage(302).withHeader("Location", "/login"), ok} << activated
            << 2 << true;
        QTest::newRow("cut off, then answered") << QList<Reply>{cut, ok} << activated << 2 << false;
        QTest::newRow("busy each time") << QList<Reply>{busy, ok, busy, ok} << activated << 2 << false;
        QTest::newRow("a condition to a login page")
            << QList<Reply>{Reply::loginPage(), ok} << failed << 1 << true;
        QTest::newRow("a condition to an empty 202 labelled html")
            << QList<Reply>{empty, ok} << failed << 1 << false;
        QTest::newRow("a condition to 200 text/plain OK") << QList<Reply>{plain} << failed << 1 << false;
    }
    void reportWithoutAnswer()
    {
        QFETCH(QList<Service::Reply>, answers);
        QFETCH(QString, code);
        QFETCH(int, sent);
        QFETCH(bool, page);
        PlayerController& c = make();
        RuntimeTransport& transport = h->transport();
        h->service().script("POST", W::reportsRoute, answers);
        for (const QByteArray method : {"GET", "POST"})
            h->service().script(method, "/login",
                                {Service::Reply::loginPage(200, "application/xhtml+xml")});
        const auto reported = [&] {
            const QList<Service::Request> reports = h->service().requestsTo(W::reportsRoute);
            return std::count_if(reports.cbegin(), reports.cend(), [&](const Service::Request& r) {
                return r.jsonBody().value("code").toString() == code;
            });
        };
        // Reports answered so far, whatever the answer (a redirected one ends at the page).
        int settled = 0;
        // Counting ends with this function: the harness, and the replies it still has open,
        // outlive it until cleanup.
        QObject counting;
        connect(transport.networkAccessManager(), &QNetworkAccessManager::finished, &counting,
                [&settled](QNetworkReply* reply) {
                    const QString path = reply->url().path();
                    settled += path == QLatin1String(W::reportsRoute) || path == "/login";
                });
        const bool activation = code == QLatin1String("manifest.activated");
        if (activation)
            transport.reportActivated("rev-7", true);
        else
            transport.reportCondition("error", code, {{"page_id", "p0"}});
        QTRY_COMPARE_WITH_TIMEOUT(settled, 1, 30000);
        ControllerAccess::putInPreparation(c, manifest, 0, 1, 13);
        ControllerAccess::activateCandidate(c);
        for (int answer = 0; answer < 2; ++answer) {
            const int before = settled;
            transport.reportCondition("info", "player.checked", {});
            QTRY_VERIFY_WITH_TIMEOUT(settled > before, 30000);
        }
        const int total = 3 + (activation ? sent - 1 : 0);
        QTRY_COMPARE_WITH_TIMEOUT(settled, total, 30000);
        QCOMPARE(reported(), sent);
        QCOMPARE(h->service().requestsTo(W::reportsRoute).size(), total);
        const QList<QJsonObject> dropped = h->devLog("runtime.report_failed");
        QCOMPARE(dropped.size(), !activation && page ? 1 : 0);
        if (!dropped.isEmpty())
            QCOMPARE(dropped.at(0).value("status").toInt(), 0);
        const QList<QJsonObject> pages = h->devLog("runtime.answer_not_service");
        QCOMPARE(pages.size(), page ? 1 : 0);
        if (page)
            QCOMPARE(pages.at(0).value("status").toInt(), 200);
    }
};

QTEST_GUILESS_MAIN(TestPlayerApplications)
#include "tst_playerapplications.moc"
