// The web placement's channel rules: which of the controller's answers are a placement's own
// (by whole key, once), and what one reading of the wrapper's diagnostics adds to the log.

#include "web/WebPlacementChannel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace talvorine;

namespace {

QString queues(const QStringList& events, const QStringList& kv)
{
    QJsonArray eventItems;
    for (const QString& id : events)
        eventItems.append(QJsonObject{{"requestId", id}, {"code", "app.start"}});
    QJsonArray kvItems;
    for (const QString& id : kv)
        kvItems.append(QJsonObject{{"requestId", id}, {"request", QJsonObject{{"kind", "kv.list"}}}});
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{"logs", QJsonArray{}}, {"events", eventItems}, {"kv", kvItems}})
            .toJson(QJsonDocument::Compact));
}

} // namespace

class TestWebPlacementChannel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void claims_data();
    void claims();
    void probeSteps_data();
    void probeSteps();
};

void TestWebPlacementChannel::claims_data()
{
    QTest::addColumn<QVariant>("generation");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("delivered");

    const QStringList one{"evt-00001"};
    QTest::newRow("own event, once") << QVariant(12) << one << "event" << "12_hero_evt-00001"
                                     << QStringList{"evt-00001", ""};
    QTest::newRow("another primitive whose key shares the prefix")
        << QVariant(12) << QStringList{"evt-00001"} << "event" << "12_hero_x_evt-00001"
        << QStringList{"", ""};
    QTest::newRow("message id with an underscore")
        << QVariant(12) << QStringList{"x_evt-00001"} << "event" << "12_hero_x_evt-00001"
        << QStringList{"x_evt-00001", ""};
    QTest::newRow("another generation") << QVariant(12) << one << "event" << "11_hero_evt-00001"
                                        << QStringList{"", ""};
    QTest::newRow("a key-value answer to an event")
        << QVariant(12) << one << "kv" << "12_hero_evt-00001" << QStringList{"", ""};
    QTest::newRow("a generation that is no whole number")
        << QVariant(12.5) << one << "event" << "12.5_hero_evt-00001" << QStringList{"", ""};
    QTest::newRow("never forwarded") << QVariant(12) << QStringList() << "event"
                                     << "12_hero_evt-00001" << QStringList{"", ""};
    QStringList many;
    for (int i = 0; i <= WebPlacementChannel::maxRememberedRequests; ++i)
        many.append(QStringLiteral("evt-%1").arg(i, 5, 10, QLatin1Char('0')));
    QTest::newRow("the oldest past the bound is forgotten")
        << QVariant(12) << many << "event" << "12_hero_evt-00000" << QStringList{"", ""};
    QTest::newRow("the newest past the bound is kept")
        << QVariant(12) << many << "event" << "12_hero_" + many.last()
        << QStringList{many.last(), ""};
}

void TestWebPlacementChannel::claims()
{
    QFETCH(QVariant, generation);
    QFETCH(QStringList, events);
    QFETCH(QString, kind);
    QFETCH(QString, answer);
    QFETCH(QStringList, delivered);

    const QVariantMap context{{"generation", generation}, {"primitive_id", "hero"}};
    WebPlacementChannel channel;
    const QVariantMap taken = channel.takeQueues(queues(events, {"kvl-00001"}));
    QCOMPARE(taken.value("events").toList().size(), events.size());
    QStringList got;
    for (int i = 0; i < 2; ++i)
        got.append(kind == "kv" ? channel.claimKvAnswer(answer, context)
                                : channel.claimEventAnswer(answer, context));
    QCOMPARE(got, delivered);
    // A new wrapper document forgets what the old one was owed.
    channel.takeQueues(queues(events, {}));
    channel.forgetRequests();
    QCOMPARE(channel.claimKvAnswer("12_hero_kvl-00001", context), QString());
}

void TestWebPlacementChannel::probeSteps_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("logged");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<bool>("missingLogged");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<bool>("stop");

    const auto diagnostics = [](const QString& stage, const QStringList& stages, int dropped) {
        return QString::fromUtf8(
            QJsonDocument(QJsonObject{{"stage", stage},
                                      {"stages", QJsonArray::fromStringList(stages)},
                                      {"origin", "qrc:"},
                                      {"dropped", dropped},
                                      {"last_drop_origin", "talvorine-app://x"}})
                .toJson(QJsonDocument::Compact));
    };
    QTest::newRow("wrapper missing") << "null" << 0 << 0 << false
                                     << QStringList{"wrapper-script-missing "} << false;
    QTest::newRow("wrapper missing again") << "null" << 0 << 0 << true << QStringList() << false;
    QTest::newRow("only the entries not yet recorded")
        << diagnostics("context-sent", {"a", "b", "context-sent"}, 0) << 2 << 0 << false
        << QStringList{"context-sent qrc:"} << false;
    QTest::newRow("a drop") << diagnostics("context-sent", {"a"}, 2) << 1 << 1 << false
                            << QStringList{"message-drop talvorine-app://x"} << false;
    QTest::newRow("not an object") << "[1]" << 0 << 0 << false << QStringList() << false;
}

void TestWebPlacementChannel::probeSteps()
{
    QFETCH(QString, answer);
    QFETCH(int, logged);
    QFETCH(int, dropped);
    QFETCH(bool, missingLogged);
    QFETCH(QStringList, records);
    QFETCH(bool, stop);

    const WebPlacementChannel::ProbeStep step =
        WebPlacementChannel::probeStep(answer, {logged, dropped, missingLogged});
    QStringList got;
    for (const WebPlacementChannel::HandshakeRecord& record : step.records)
        got.append(record.stage + ' ' + record.origin);
    QCOMPARE(got, records);
    QCOMPARE(step.stop, stop);
}

QTEST_GUILESS_MAIN(TestWebPlacementChannel)
#include "tst_webplacementchannel.moc"
