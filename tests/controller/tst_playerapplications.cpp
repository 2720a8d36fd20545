// Requests from web applications against the fake service, and the activation re-report.

#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeKvStore.h"

#include <QSignalSpy>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using Service = talvorine::test::FakeRuntimeService;
namespace W = talvorine::RuntimeWire;

class TestPlayerApplications : public QObject {
    Q_OBJECT
    std::unique_ptr<test::ControllerHarness> h;

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
        Manifest manifest;
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

    // What reached the service for web applications, but the events with this code.
    QList<Service::Request> sent(const QString& except = {})
    {
        QList<Service::Request> requests = h->service().requests();
        requests.removeIf([&](const Service::Request& r) {
            return (!r.path.startsWith("/runtime/v1/apps/") && r.path != W::reportsRoute)
                || r.jsonBody().value("context")["event_code"] == except;
        });
        return requests;
    }

private slots:
    void cleanup()
    {
        QVERIFY2(h->surprises().isEmpty(), qPrintable(h->surprises().join('\n')));
        h.reset();
    }

    // Status -1: no answer at all.
    void requests_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("primitive");
        QTest::addColumn<QVariantMap>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("reaches");
        const auto row = [](const char* name, const char* call, int slot, const char* primitive,
                            const QVariantMap& request, int status, bool reaches) {
            QTest::newRow(name) << call << slot << primitive << request << status << reaches;
        };
        const auto get = [](const QVariant& key) {
            return QVariantMap{{"kind", "kv.get"}, {"key", key}};
        };
        row("kv read", "kv", 0, "hero", get("a"), 404, true);
        row("kv from the slot being prepared", "kv", 1, "hero", get("a"), 403, false);
        row("kv for an image", "kv", 0, "img", get("a"), 403, false);
        row("kv write without the session's capability", "kv", 0, "hero",
            {{"kind", "kv.delete"}, {"key", "a"}}, 403, false);
        row("kv unknown kind", "kv", 0, "hero", {{"kind", 7}}, 403, false);
        row("kv key '..'", "kv", 0, "hero", get(".."), 0, false);
        row("kv key a map", "kv", 0, "hero", get(QVariantMap{{"a", 1}}), 0, false);
        row("event", "event", 0, "hero_x", {{"code", "tap"}}, 200, true);
        row("event from the slot being prepared", "event", 1, "hero", {{"code", "tap"}}, -1, false);
        row("log", "log", 0, "hero", {{"message", "hi"}}, -1, true);
        row("log of a megabyte", "log", 0, "hero", {{"message", QString(1 << 20, 'm')}}, -1, false);
        row("advance", "advance", 0, "hero_x", {{"reason", "application"}}, -1, false);
        row("advance from the slot being prepared", "advance", 1, "hero", {}, -1, false);
        row("advance while paused", "advance", 0, "hero", {{"paused", true}}, -1, false);
        row("advance of a page on a timer", "advance", 0, "hero", {{"page", 1}}, -1, false);
    }

    void requests()
    {
        QFETCH(QString, call);
        QFETCH(int, slot);
        QFETCH(QString, primitive);
        QFETCH(QVariantMap, request);
        QFETCH(int, status);
        QFETCH(bool, reaches);
        PlayerController& c = make(request["page"].toInt());
        if (request["paused"].toBool())
            ControllerAccess::togglePause(c);
        QSignalSpy kv(&c, &PlayerController::applicationKvFinished);
        QSignalSpy events(&c, &PlayerController::applicationEventFinished);
        const QString id = "x_" + call; // keys hold "_" inside ids too
        if (call == "kv")
            c.applicationKvRequested(slot, primitive, id, request);
        else if (call == "event")
            c.applicationEventRequested(slot, primitive, request["code"].toString(), id);
        else if (call == "log")
            c.applicationLogRequested(slot, primitive, "warn", "boot",
                                      request["message"].toString());
        else
            c.applicationAdvanceRequested(slot, primitive);
        QCOMPARE(ControllerAccess::advanceReason(c),
                 request.value("reason", "assignment").toString());
        // Whatever the row sent is on its way before this event's answer is in.
        c.applicationEventRequested(0, "hero", "sentinel");
        QTRY_COMPARE_WITH_TIMEOUT(kv.size() + events.size(), int(status >= 0) + 1, 30000);
        QList<QList<QVariant>> answers = kv + events;
        answers.removeIf([](const auto& answer) { return answer.first() == "12_hero_"; });
        const QString key = "12_" + primitive + "_x_" + call;
        if (status >= 0)
            QCOMPARE(answers.first().mid(0, 2), (QVariantList{key, status}));
        if (status == 403)
            QCOMPARE(answers.first().at(2), "{\"code\":\"forbidden\",\"status\":403}");
        QCOMPARE(sent("sentinel").size(), int(reaches));
        if (call == "kv" && reaches)
            QCOMPARE(sent().first().header("Talvorine-Primitive-Capability"), "cap-hero");
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
};

QTEST_GUILESS_MAIN(TestPlayerApplications)
#include "tst_playerapplications.moc"
