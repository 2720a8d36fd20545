// The trusted wrapper page in a real engine, with the stub application in its frame served from an
// installed package: configuration refusals in their order, the handshake and the bindings it
// opens, the envelope and the kinds, the answers built from what the native side reports, and a
// hostile application that sends thousands of generated messages.

#include "tests/support/WrapperScene.h"
#include "web/SdkBridge.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace talvorine;

namespace {

const QString applicationGeneration = "7";

QJsonObject allCapabilities()
{
    return {{"page.advance", true}, {"kv.read", true}, {"kv.write", true}};
}

QJsonObject size(int width, int height)
{
    return {{"width", width}, {"height", height}};
}

QJsonObject context(const QJsonObject& capabilities = allCapabilities())
{
    return {{"application_id", "app-0001"}, {"release_id", "release-0001"},
            {"primitive_id", "web1"},       {"generation", 7},
            {"capabilities", capabilities}, {"viewport", size(1920, 1080)},
            {"primitive", size(640, 360)},  {"screen_id", "screen-0001"}};
}

QJsonObject message(const QString& kind, const QString& id, const QJsonObject& payload = {})
{
    return {{"kind", kind}, {"message_id", id}, {"payload", payload}};
}

QJsonObject with(QJsonObject object, const QString& name, const QJsonValue& value)
{
    object.insert(name, value);
    return object;
}

QJsonObject log(const QString& id, const QJsonValue& level, const QJsonValue& code,
                const QJsonValue& text)
{
    return message("log", id, {{"level", level}, {"code", code}, {"message", text}});
}

QJsonObject emitted(const QString& id, const QJsonValue& code)
{
    return message("event.emit", id, {{"code", code}});
}

QJsonArray numbered(int count, const std::function<QJsonObject(const QString&)>& make,
                    const QString& prefix)
{
    QJsonArray messages;
    for (int i = 1; i <= count; ++i)
        messages.append(make(QStringLiteral("%1-%2").arg(prefix).arg(i, 4, 10, QLatin1Char('0'))));
    return messages;
}

// One answer as a line: "id ack", "id ack {result}" or "id code status detail".
QString line(const QJsonObject& answer)
{
    const QString id = answer.value("id").toString();
    if (!answer.value("envelope").toBool())
        return id + " with a malformed envelope";
    if (answer.value("kind").toString() == QLatin1String("ack")) {
        if (!answer.contains("result"))
            return id + " ack";
        return id + QStringLiteral(" ack ")
            + QString::fromUtf8(
                   QJsonDocument(answer.value("result").toObject()).toJson(QJsonDocument::Compact));
    }
    const QJsonObject problem = answer.value("problem").toObject();
    return QStringLiteral("%1 %2 %3 %4")
        .arg(id, problem.value("code").toString())
        .arg(problem.value("status").toInt())
        .arg(problem.value("detail").toString());
}

QStringList lines(const QList<QJsonObject>& answers)
{
    QStringList result;
    for (const QJsonObject& answer : answers)
        result.append(line(answer));
    return result;
}

bool freshMessageId(const QJsonValue& value)
{
    static const QRegularExpression pattern(QStringLiteral("\\Amsg_[A-Za-z0-9_-]{22}\\z"));
    return pattern.match(value.toString()).hasMatch();
}

} // namespace

class TestTrustedWrapper : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void refusesConfiguration_data();
    void refusesConfiguration();
    void handshakeOpensOnlyForItsChild_data();
    void handshakeOpensOnlyForItsChild();
    void noBindingBeforeTheChallenge();
    void heldStartupSendsTheContextOnceOnPresent();
    void reloadOpensANewBinding();
    void historyOfAReloadingApplicationIsBounded();
    void envelope_data();
    void envelope();
    void foreignWindowsAreIgnored();
    void kinds_data();
    void kinds();
    void logsWaitingAreCapped();
    void kvRequests_data();
    void kvRequests();
    void answers_data();
    void answers();
    void geometryAndTeardown();
    void survivesAHostileApplication();

private:
    QJsonObject configFor(const QString& scenario, const QJsonObject& applicationContext,
                          bool startupHeld = false) const;
    // Starts a placement of the scenario's package and waits until its binding is open (or, for
    // a stub that waits to be told, until the parent's handshake went out).
    bool open(const QString& scenario, const QJsonObject& applicationContext = context(),
              bool startupHeld = false);

    test::WrapperTestBench bench_;
    test::WrapperScene scene_;
    // The test function whose rows share the binding open now.
    QByteArray boundFor_;
};

void TestTrustedWrapper::initTestCase()
{
    QString error;
    QVERIFY2(bench_.start(&error), qPrintable(error));
    for (const auto& [name, scenario] :
         {std::pair{"answering", QJsonObject{{"ready", true}}},
          std::pair{"quiet", QJsonObject{{"ready", false}}},
          std::pair{"waiting", QJsonObject{{"ready", false}, {"handshake", "wait"}}},
          std::pair{"early", QJsonObject{{"ready", false}, {"early", "qrc:"}}},
          std::pair{"reloading", QJsonObject{{"ready", false}, {"reloads", 45}}}})
        QVERIFY2(bench_.install(name, scenario, &error), qPrintable(error));
    QVERIFY2(
        scene_.start(&error, [this](QObject* profile) { return bench_.serve(profile, "quiet"); }),
        qPrintable(error));
}

void TestTrustedWrapper::cleanup()
{
    QVERIFY2(scene_.wrapperConsole().isEmpty(), qPrintable(scene_.wrapperConsole().join('\n')));
    scene_.setPullRequests(true);
    scene_.setPullLogs(true);
}

QJsonObject TestTrustedWrapper::configFor(const QString& scenario,
                                          const QJsonObject& applicationContext,
                                          bool startupHeld) const
{
    return {{"source", bench_.entryUrl(scenario).toString()},
            {"expectedOrigin", bench_.origin(scenario)},
            {"uploadedApplication", true},
            {"startupHeld", startupHeld},
            {"features", QJsonArray::fromStringList(SdkBridge::hostFeatures())},
            {"context", applicationContext}};
}

bool TestTrustedWrapper::open(const QString& scenario, const QJsonObject& applicationContext,
                              bool startupHeld)
{
    boundFor_.clear();
    if (!bench_.serve(scene_.profile(), scenario))
        return false;
    scene_.clear();
    if (!scene_.call("configure", {configFor(scenario, applicationContext, startupHeld)}))
        return false;
    if (scenario == QLatin1String("waiting") || startupHeld) {
        const QString stage = startupHeld ? "parent-handshake-ack" : "parent-handshake-sent";
        return scene_.waitUntil([&] { return scene_.getter("handshakeStage") == stage; });
    }
    return scene_.waitUntil([this] { return !scene_.reports("stub.context").isEmpty(); });
}

void TestTrustedWrapper::refusesConfiguration_data()
{
    // A statement that changes the valid configuration `c` before it is passed.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("stage");

    struct Row {
        const char* name;
        const char* change;
        const char* stage;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"valid", "", ""},
             {"bounds", "c.context.generation = 2 ** 53 - 1; c.context.viewport.height = 0", ""},
             {"not an object", "c = [c]", "config"},
             {"source not a URL", "c.source = 'talvorine app'", "source"},
             {"features missing", "delete c.features", "config_features"},
             {"features empty", "c.features = []", "config_features"},
             {"65 features", "c.features = Array.from({length: 65}, (_, i) => 'k' + i)",
              "config_features"},
             {"feature in upper case", "c.features.push('Ready')", "config_features"},
             {"features before source and context",
              "c.features.push('log'); c.source = 'https://example.com/'; c.context = null",
              "config_features"},
             {"not uploaded", "c.uploadedApplication = 'true'", "package_upload"},
             {"https, context broken too",
              "c.source = 'https://example.com/'; delete c.context.screen_id", "package_scheme"},
             {"host without its dot", "c.source = c.source.replace('.', '')", "package_host"},
             {"host of 31 and 32 digits", "c.source = 'talvorine-app://' + 'a'.repeat(31) + '.'"
                                          " + 'a'.repeat(32) + '/index.html'", "package_host"},
             {"origin empty", "c.expectedOrigin = ''", "package_origin_empty"},
             {"origin missing", "delete c.expectedOrigin", "package_origin_mismatch"},
             {"origin with a slash", "c.expectedOrigin += '/'", "package_origin_mismatch"},
             {"query", "c.source += '?x=1'", "package_options"},
             {"fragment", "c.source += '#top'", "package_options"},
             {"package before context", "c.source += '#a'; c.context.generation = -1",
              "package_options"},
             {"context missing", "delete c.context", "context_keys"},
             {"without screen_id", "delete c.context.screen_id", "context_keys"},
             {"an extra member", "c.context.extra = 1", "context_keys"},
             {"context an array", "c.context = [c.context]", "context_keys"},
             {"application id of 7", "c.context.application_id = 'app-001'",
              "context_application_id"},
             {"release id of 129", "c.context.release_id = 'r'.repeat(129)", "context_release_id"},
             {"primitive id with a digit first", "c.context.primitive_id = '1web'",
              "context_primitive_id"},
             {"generation -1", "c.context.generation = -1", "context_generation"},
             {"generation 1.5", "c.context.generation = 1.5", "context_generation"},
             {"generation 2^53", "c.context.generation = 2 ** 53", "context_generation"},
             {"generation as text", "c.context.generation = '7'", "context_generation"},
             {"capability missing", "delete c.context.capabilities['kv.write']",
              "context_capabilities"},
             {"capability extra", "c.context.capabilities.other = true", "context_capabilities"},
             {"capability a number", "c.context.capabilities['kv.read'] = 1",
              "context_capabilities"},
             {"viewport below 0", "c.context.viewport.width = -1", "context_viewport"},
             {"viewport past 100000", "c.context.viewport.height = 100001", "context_viewport"},
             {"viewport infinite", "c.context.viewport.width = Infinity", "context_viewport"},
             {"viewport as text", "c.context.viewport.width = '10'", "context_viewport"},
             {"viewport with depth", "c.context.viewport.depth = 1", "context_viewport"},
             {"primitive without height", "delete c.context.primitive.height", "context_primitive"},
             {"screen id a number", "c.context.screen_id = 12345678", "context_screen_id"},
             {"first context rule wins", "c.context.application_id = 1; c.context.screen_id = 1",
              "context_application_id"},
         })
        QTest::newRow(row.name) << QString(row.change) << QString(row.stage);
}

void TestTrustedWrapper::refusesConfiguration()
{
    QFETCH(QString, change);
    QFETCH(QString, stage);
    QVERIFY(bench_.serve(scene_.profile(), "quiet"));
    scene_.clear();
    const QString config = QString::fromUtf8(
        QJsonDocument(configFor("quiet", context())).toJson(QJsonDocument::Compact));
    QVERIFY(scene_.evaluate(QStringLiteral("(() => { let c = %1; %2; "
                                           "window.talvorineNativeWrapper.configure(c); })()")
                                .arg(config, change)));

    QCOMPARE(scene_.getter("failureStage"), stage);
    const auto frames
        = scene_.evaluate(QStringLiteral("document.querySelectorAll('iframe').length"));
    QVERIFY(frames);
    const QJsonArray stages = scene_.diagnostics().value("stages").toArray();
    if (stage.isEmpty()) {
        QCOMPARE(frames->toInt(), 1);
        QCOMPARE(stages.at(1).toString(), "origin-checked");
        return;
    }
    QCOMPARE(frames->toInt(), 0);
    QCOMPARE(scene_.getter("handshakeStage"), QStringLiteral("failed:") + stage);
    QCOMPARE(stages, (QJsonArray{"config-received", QStringLiteral("failed:") + stage}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.title(), "talvorine:error");
}

void TestTrustedWrapper::handshakeOpensOnlyForItsChild_data()
{
    // Members set over the correct child handshake, as [name, value] pairs.
    QTest::addColumn<QJsonArray>("variant");
    QTest::addColumn<bool>("opens");

    const auto pair = [](const QString& name, const QJsonValue& value) {
        return QJsonArray{QJsonArray{name, value}};
    };
    QTest::newRow("the correct handshake") << QJsonArray() << true;
    QTest::newRow("another challenge") << pair("challenge", "AAAAAAAAAAAAAAAAAAAAAA") << false;
    QTest::newRow("no challenge") << pair("challenge", QJsonValue()) << false;
    QTest::newRow("another parent origin") << pair("parent_origin", "talvorine-app://elsewhere")
        << false;
    QTest::newRow("another protocol") << pair("protocol", "talvorine.parent-handshake/2") << false;
    QTest::newRow("another kind") << pair("kind", "parent.handshake") << false;
    QTest::newRow("a __proto__ member") << pair("__proto__", QJsonObject()) << false;
    QTest::newRow("a constructor member") << pair("constructor", "x") << false;
}

void TestTrustedWrapper::handshakeOpensOnlyForItsChild()
{
    QFETCH(QJsonArray, variant);
    QFETCH(bool, opens);
    QVERIFY(open("waiting"));
    // The variant, then a log that only an open binding takes, then the correct handshake: the
    // log is handled before the correct handshake, so it shows whether the variant opened the
    // binding.
    QVERIFY(scene_.command({{"command", "handshake"},
                            {"variants", QJsonArray{variant}},
                            {"generation", 7},
                            {"primitive_id", "web1"}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.context").size(), 1);
    QVERIFY(scene_.send({}));
    QCOMPARE(scene_.reports("stub.premature").size(), opens ? 1 : 0);

    const QJsonObject applicationContext = scene_.reports("stub.context").first();
    QCOMPARE(applicationContext.value("player_origin").toString(),
             scene_.diagnostics().value("origin").toString());
    QCOMPARE(scene_.diagnostics().value("stages").toArray(),
             (QJsonArray{"config-received", "origin-checked", "parent-handshake-sent",
                         "parent-handshake-ack", "context-sent"}));
}

void TestTrustedWrapper::noBindingBeforeTheChallenge()
{
    // The application's scripts run before the frame's load event makes the challenge; its
    // handshake with an empty challenge finds none to match.
    QVERIFY(open("early"));
    QCOMPARE(scene_.reports("stub.context").first().value("nonce").toString().size(), 22);
    QCOMPARE(scene_.diagnostics().value("stages").toArray(),
             (QJsonArray{"config-received", "origin-checked", "parent-handshake-sent",
                         "parent-handshake-ack", "context-sent"}));
}

void TestTrustedWrapper::heldStartupSendsTheContextOnceOnPresent()
{
    QVERIFY(open("quiet", context(), true));
    TALVORINE_WAIT_COMPARE(scene_, scene_.title(), "talvorine:prepared");
    QVERIFY(scene_.logs().isEmpty());

    QVERIFY(scene_.call("present"));
    QVERIFY(scene_.call("present"));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.context").size(), 1);
    QVERIFY(scene_.send({}));
    QCOMPARE(scene_.reports("stub.context").size(), 1);

    // Exactly the context's members, and what the wrapper adds.
    QJsonObject payload = scene_.reports("stub.context").first();
    QVERIFY2(QRegularExpression(QStringLiteral("\\A[A-Za-z0-9_-]{22}\\z"))
                 .match(payload.take(QLatin1String("nonce")).toString())
                 .hasMatch(),
             "the nonce is the challenge");
    QJsonObject expected = context();
    expected.insert("placement", size(640, 360));
    expected.insert("features", QJsonArray::fromStringList(SdkBridge::hostFeatures()));
    expected.insert("player_origin", "qrc:");
    QCOMPARE(payload, expected);
    QCOMPARE(scene_.getter("handshakeStage"), "context-sent");
}

void TestTrustedWrapper::reloadOpensANewBinding()
{
    QVERIFY(open("quiet"));
    // The first binding ends on the title of its first log: a reload must not write it again.
    QCOMPARE(scene_.title(), "talvorine:log:1");
    QVERIFY(scene_.command({{"command", "reload"}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.context").size(), 2);
    const QString firstNonce = scene_.reports("stub.context").at(0).value("nonce").toString();
    const QString secondNonce = scene_.reports("stub.context").at(1).value("nonce").toString();
    QVERIFY(firstNonce != secondNonce);

    // Requests of a binding die with it: those not yet taken and those awaiting an answer.
    scene_.setPullRequests(false);
    QVERIFY(scene_.send({emitted("taken-0001", "clicked"), message("kv.list", "taken-0002")}));
    QCOMPARE(scene_.call("takeEvents")->toArray().size(), 1);
    QCOMPARE(scene_.call("takeKvRequests")->toArray().size(), 1);
    QVERIFY(scene_.send({emitted("left-00001", "clicked"), message("kv.list", "left-00002")}));
    QVERIFY(scene_.command({{"command", "reload"}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.context").size(), 3);
    QCOMPARE(scene_.call("takeEvents")->toArray().size(), 0);
    QCOMPARE(scene_.call("takeKvRequests")->toArray().size(), 0);
    QVERIFY(scene_.call("completeEvent", {"taken-0001", true, QString()}));
    QVERIFY(scene_.call("completeKv", {"taken-0002", 200, "{}"}));
    // The ids are new to this binding: the same ids are taken again, and only their own answers
    // come.
    QVERIFY(scene_.send({emitted("taken-0001", "clicked")}));
    QCOMPARE(scene_.call("takeEvents")->toArray().size(), 1);
    QVERIFY(scene_.call("completeEvent", {"taken-0001", 204, QString()}));
    const auto answers = scene_.send({});
    QVERIFY(answers);
    QCOMPARE(lines(*answers), QStringList{"taken-0001 ack"});
    QCOMPARE(scene_.diagnostics().value("stages").toArray().last().toString(),
             QStringLiteral("context-sent"));
}

void TestTrustedWrapper::historyOfAReloadingApplicationIsBounded()
{
    QVERIFY(open("reloading"));
    // Every reload reports its context, but a report not yet taken when the next reload binds
    // the application afresh goes with its binding: on a busy machine some never reach this side.
    // The wrapper's own count of the logs it took says when the forty-five reloads are done.
    QVERIFY(scene_.waitUntil([&] { return scene_.title() == "talvorine:log:46"; }, 300000));
    const QJsonObject diagnostics = scene_.diagnostics();
    QCOMPARE(diagnostics.value("stages").toArray().size(), 128);
    QCOMPARE(diagnostics.value("stage").toString(), QStringLiteral("context-sent"));
}

void TestTrustedWrapper::envelope_data()
{
    QTest::addColumn<QJsonArray>("messages");
    // The ids answered "not_supported", and those queued as key-value requests.
    QTest::addColumn<QStringList>("answered");
    QTest::addColumn<QStringList>("queuedKv");

    const QJsonObject probe = message("x.probe", "probe-0001");
    const auto changed = [&](const QString& member, const QJsonValue& value) {
        return QJsonArray{with(probe, member, value)};
    };
    const auto defined = [&](const QString& path, const QJsonValue& value) {
        return changed("define", QJsonArray{QJsonArray{path, value}});
    };
    const auto inPayload = [&](const QString& member, const QJsonValue& value) {
        return QJsonArray{message("x.probe", "probe-0001", {{member, value}})};
    };
    const auto kvSet = [](int valueLength, int fill) {
        const QJsonObject payload{{"key", "k"},
                                  {"idempotency_key", "idem-0001"},
                                  {"content_type", "text/plain"},
                                  {"value_base64", QString(valueLength, 'A')}};
        return QJsonArray{with(message("kv.set", "set-00001", payload), "fill", fill)};
    };
    const QStringList none;
    const QStringList probed{"probe-0001"};
    const QStringList set{"set-00001"};
    const int valueCap = 1398104;

    QTest::newRow("at 65536 bytes") << changed("fill", 65536) << probed << none;
    QTest::newRow("past 65536 bytes") << changed("fill", 65537) << none << none;
    QTest::newRow("bytes, not characters") << inPayload("text", QString(33000, QChar(0xe9)))
                                           << none << none;
    QTest::newRow("kv.set at its cap") << kvSet(valueCap, valueCap + 65536) << none << set;
    QTest::newRow("kv.set past its cap") << kvSet(valueCap, valueCap + 65537) << none << none;
    QTest::newRow("kv.set of 100 KiB") << kvSet(136536, 0) << none << set;
    QTest::newRow("another generation") << inPayload("generation", 8) << none << none;
    QTest::newRow("generation as text") << inPayload("generation", "7") << none << none;
    QTest::newRow("another nonce") << inPayload("nonce", QString(22, 'A')) << none << none;
    QTest::newRow("no nonce") << changed("omit", QJsonArray{"payload.nonce"}) << none << none;
    QTest::newRow("another protocol") << changed("protocol", "2") << none << none;
    QTest::newRow("protocol as a number") << changed("protocol", 1) << none << none;
    QTest::newRow("another primitive") << changed("primitive_id", "web2") << none << none;
    QTest::newRow("payload an array") << defined("payload", QJsonArray()) << none << none;
    QTest::newRow("a __proto__ member") << defined("__proto__", QJsonObject()) << none << none;
    QTest::newRow("constructor in the payload") << defined("payload.constructor", "x") << none
                                                << none;
    QTest::newRow("message id of 7") << changed("message_id", "probe-1") << none << none;
    QTest::newRow("kind in upper case") << changed("kind", "X.probe") << none << none;
    QTest::newRow("not an object")
        << QJsonArray{QJsonObject{{"raw", "x.probe"}}, QJsonObject{{"raw", QJsonArray{probe}}}}
        << none << none;
    QTest::newRow("replayed") << QJsonArray{probe, probe} << probed << none;

    // 511 other ids keep the first in the window of 512; the 512th pushes it out.
    const auto silent = [](const QString& id) { return message("response.ack", id); };
    for (const int others : {511, 512}) {
        QJsonArray messages{probe};
        for (const QJsonValue& other : numbered(others, silent, "other"))
            messages.append(other);
        messages.append(probe);
        QTest::addRow("replayed after %d other ids", others)
            << messages << (others == 512 ? probed + probed : probed) << none;
    }
}

void TestTrustedWrapper::envelope()
{
    QFETCH(QJsonArray, messages);
    QFETCH(QStringList, answered);
    QFETCH(QStringList, queuedKv);
    QVERIFY(open("answering"));
    scene_.setPullRequests(false);

    const auto answers = scene_.send(messages);
    QVERIFY(answers);
    QStringList ids;
    for (const QJsonObject& answer : *answers) {
        QCOMPARE(line(answer).section(' ', 1),
                 QStringLiteral("not_supported 501 This Player does not "
                                "support the requested kind."));
        ids.append(answer.value("id").toString());
    }
    QCOMPARE(ids, answered);
    QStringList queued;
    for (const QJsonValue& item : scene_.call("takeKvRequests")->toArray())
        queued.append(item.toObject().value("requestId").toString());
    QCOMPARE(queued, queuedKv);
    QCOMPARE(scene_.diagnostics().value("dropped").toInt(), 0);
}

void TestTrustedWrapper::foreignWindowsAreIgnored()
{
    QVERIFY(open("answering"));
    // A second window of the application's own origin: right origin, wrong source.
    auto answers = scene_.send({message("x.probe", "nested-0001")}, QStringLiteral("nested"));
    QVERIFY(answers);
    QCOMPARE(lines(*answers), QStringList());
    QCOMPARE(scene_.diagnostics().value("dropped").toInt(), 0);

    // The wrapper's own window is another origin: counted, with the origin.
    QVERIFY(scene_.evaluate(QStringLiteral(
        "window.postMessage({protocol: '1', message_id: 'foreign-0001', kind: 'x.probe',"
        " primitive_id: 'web1', payload: {}}, '*')")));
    TALVORINE_WAIT_COMPARE(scene_, scene_.diagnostics().value("dropped").toInt(), 1);
    QCOMPARE(scene_.diagnostics().value("last_drop_origin").toString(), "qrc:");

    answers = scene_.send({message("x.probe", "nested-0001")});
    QVERIFY(answers);
    QCOMPARE(lines(*answers),
             QStringList{
                 "nested-0001 not_supported 501 This Player does not support the requested kind."});
}

void TestTrustedWrapper::kinds_data()
{
    QTest::addColumn<QJsonObject>("capabilities");
    QTest::addColumn<QJsonArray>("messages");
    QTest::addColumn<QStringList>("answers");
    // The one-shot titles the row must show, separated by spaces; the others must not show.
    QTest::addColumn<QString>("oneShots");
    QTest::addColumn<QStringList>("logCodes");
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("kvRequests");

    const QJsonObject all = allCapabilities();
    const QJsonArray readyTwice{message("ready", "ready-001"), message("page.advance", "advance-1"),
                                message("page.advance", "advance-2")};
    const QString usedUp = " forbidden 403 Page advance was already used.";
    const QString noAdvance = " forbidden 403 Page advance is not available.";
    const QString noKv = " forbidden 403 Application K/V is not available.";
    const QString ready = "talvorine:ready";
    const QJsonObject removal{{"key", "k"}, {"idempotency_key", "idem-0001"}};

    QTest::newRow("ready once")
        << all << QJsonArray{message("ready", "ready-001"), message("ready", "ready-002")}
        << QStringList{"ready-001 ack"} << ready << QStringList() << 0 << 0;
    QTest::newRow("advance before ready")
        << all << QJsonArray{message("page.advance", "advance-1")} << QStringList() << ""
        << QStringList() << 0 << 0;
    QTest::newRow("advance once")
        << all << readyTwice << QStringList{"ready-001 ack", "advance-1 ack", "advance-2" + usedUp}
        << ready + " talvorine:advance" << QStringList() << 0 << 0;
    QTest::newRow("advance without its capability")
        << with(all, "page.advance", false) << readyTwice
        << QStringList{"ready-001 ack", "advance-1" + noAdvance, "advance-2" + noAdvance} << ready
        << QStringList() << 0 << 0;
    QTest::newRow("logs")
        << all
        << QJsonArray{log("log-00001", "info", "ok.one", "hello"),
                      log("log-00002", "fatal", "no.two", "x"),
                      log("log-00003", "warn", "no three", "x"),
                      log("log-00004", "debug", "no.four", 4),
                      log("log-00005", "error", "ok.five", QString(1024, QChar(0xe9))),
                      log("log-00006", "error", "no.six", QString(1025, QChar(0xe9))),
                      log("log-00007", "info", QString(65, 'c'), "x")}
        << QStringList() << "" << QStringList{"ok.one", "ok.five"} << 0 << 0;
    QTest::newRow("events")
        << all
        << QJsonArray{emitted("event-001", "clicked"), emitted("event-002", "bad code"),
                      emitted("event-003", QString(65, 'c')),
                      emitted("event-004", QString(64, 'c')), emitted("event-005", 5)}
        << QStringList() << "" << QStringList() << 2 << 0;
    QTest::newRow("65 events")
        << all << numbered(65, [](const QString& id) { return emitted(id, "flood"); }, "event")
        << QStringList{"event-0065 rate_limited 429 Too many pending events."} << ""
        << QStringList() << 64 << 0;
    QTest::newRow("65 key-value requests")
        << all << numbered(65, [](const QString& id) { return message("kv.list", id); }, "list")
        << QStringList{"list-0065 rate_limited 429 Too many pending requests."} << ""
        << QStringList() << 0 << 64;
    QTest::newRow("unknown kind")
        << all << QJsonArray{message("x.unknown", "unknown-1")}
        << QStringList{"unknown-1 not_supported 501 This Player does not support the requested kind."}
        << "" << QStringList() << 0 << 0;
    QTest::newRow("malformed kind")
        << all << QJsonArray{message("X.unknown", "unknown-1")} << QStringList() << ""
        << QStringList() << 0 << 0;
    QTest::newRow("the wrapper's own kinds")
        << all
        << QJsonArray{message("context", "context-1"), message("viewport.changed", "viewport-1"),
                      message("response.ack", "ack-00001"),
                      message("response.problem", "problem-1")}
        << QStringList() << "" << QStringList() << 0 << 0;
    QTest::newRow("reading without its capability, before the key")
        << with(all, "kv.read", false)
        << QJsonArray{message("kv.get", "get-00001", {{"key", ""}}),
                      message("kv.list", "list-0001"), message("kv.delete", "delete-01", removal)}
        << QStringList{"get-00001" + noKv, "list-0001" + noKv} << "" << QStringList() << 0 << 1;
    QTest::newRow("writing without its capability, before the key")
        << with(all, "kv.write", false)
        << QJsonArray{message("kv.set", "set-00001", {{"key", ".."}}),
                      message("kv.delete", "delete-01", removal),
                      message("kv.get", "get-00001", {{"key", "k"}})}
        << QStringList{"set-00001" + noKv, "delete-01" + noKv} << "" << QStringList() << 0 << 1;
}

void TestTrustedWrapper::kinds()
{
    QFETCH(QJsonObject, capabilities);
    QFETCH(QJsonArray, messages);
    QFETCH(QStringList, answers);
    QFETCH(QString, oneShots);
    QFETCH(QStringList, logCodes);
    QFETCH(int, events);
    QFETCH(int, kvRequests);
    QVERIFY(open("quiet", with(context(), "capabilities", capabilities)));
    scene_.setPullRequests(false);

    const auto received = scene_.send(messages);
    QVERIFY(received);
    QCOMPARE(lines(*received), answers);
    for (const QString oneShot : {"talvorine:ready", "talvorine:advance"})
        QVERIFY2(scene_.titles().contains(oneShot) == oneShots.split(' ').contains(oneShot),
                 qPrintable(oneShot));
    QStringList codes;
    for (const QJsonObject& entry : scene_.applicationLogs())
        codes.append(entry.value("code").toString());
    QCOMPARE(codes, logCodes);
    // However many titles the queue went through, one take returns all of it.
    const QJsonArray queuedEvents = scene_.call("takeEvents")->toArray();
    QCOMPARE(queuedEvents.size(), events);
    for (const QJsonValue& item : queuedEvents)
        QCOMPARE(item.toObject().keys(), (QStringList{"code", "requestId"}));
    QCOMPARE(scene_.call("takeKvRequests")->toArray().size(), kvRequests);
    QCOMPARE(scene_.call("takeEvents")->toArray().size(), 0);
}

void TestTrustedWrapper::logsWaitingAreCapped()
{
    QVERIFY(open("quiet"));
    scene_.setPullLogs(false);
    // Logs get no answer, so "ready" (which has a title of its own) marks the end of the flood.
    QJsonArray messages = numbered(
        70, [](const QString& id) { return log(id, "info", "flood", "x"); }, "log");
    messages.append(message("ready", "ready-001"));
    QVERIFY(scene_.command({{"command", "send"}, {"id", "flood"}, {"messages", messages}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.getter("handshakeStage"), QStringLiteral("ready"));
    const QJsonArray taken = scene_.call("takeLogs")->toArray();
    QCOMPARE(taken.size(), 64);
    QCOMPARE(taken.last().toObject().value("code").toString(), "flood");
    // Room again: the next log is taken.
    scene_.setPullLogs(true);
    const auto answers = scene_.send({log("log-after", "info", "after", "x")});
    QVERIFY(answers);
    QCOMPARE(scene_.applicationLogs().last().value("code").toString(), "after");
}

void TestTrustedWrapper::kvRequests_data()
{
    // A valid payload of every kind with one member changed (removed when undefined).
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("accepted");

    const QJsonValue undefined(QJsonValue::Undefined);
    struct Row {
        const char* name;
        const char* kind;
        const char* member;
        QJsonValue value;
        bool accepted;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"list whatever its key", "kv.list", "key", 5, true},
             {"key with a slash and a space", "kv.get", "key", "a/b c", true},
             {"key of 256 bytes", "kv.get", "key", QString(256, 'k'), true},
             {"key of 257 bytes", "kv.get", "key", QString(257, 'k'), false},
             {"key of 128 two-byte characters", "kv.get", "key", QString(128, QChar(0xe9)), true},
             {"key of 129 two-byte characters", "kv.get", "key", QString(129, QChar(0xe9)), false},
             {"key empty", "kv.get", "key", "", false},
             {"key a number", "kv.get", "key", 5, false},
             {"key reserved", "kv.get", "key", "_talvorine/x", false},
             {"key reserved, other case", "kv.get", "key", "_Talvorine/x", true},
             {"key .", "kv.get", "key", ".", false},
             {"key .. to delete", "kv.delete", "key", "..", false},
             {"key .. to set", "kv.set", "key", "..", false},
             {"key ...", "kv.get", "key", "...", true},
             {"idempotency key of 7", "kv.delete", "idempotency_key", "idem-01", false},
             {"idempotency key of 200", "kv.delete", "idempotency_key", QString(200, '~'), true},
             {"idempotency key of 201", "kv.delete", "idempotency_key", QString(201, 'i'), false},
             {"idempotency key with a space", "kv.delete", "idempotency_key", "idem 0001", false},
             {"idempotency key missing", "kv.set", "idempotency_key", undefined, false},
             {"revision 0", "kv.delete", "expected_revision", 0, true},
             {"revision 2^53 - 1", "kv.delete", "expected_revision", 9007199254740991.0, true},
             {"revision 2^53", "kv.delete", "expected_revision", 9007199254740992.0, false},
             {"revision -1", "kv.delete", "expected_revision", -1, false},
             {"revision 1.5", "kv.set", "expected_revision", 1.5, false},
             {"revision as text", "kv.set", "expected_revision", "3", false},
             {"revision null", "kv.set", "expected_revision", QJsonValue(), false},
             {"revision 3", "kv.set", "expected_revision", 3, true},
             {"value empty", "kv.set", "value_base64", "", true},
             {"value padded twice", "kv.set", "value_base64", "QQ==", true},
             {"value padded three times", "kv.set", "value_base64", "Q===", false},
             {"value of 3 characters", "kv.set", "value_base64", "QUJ", false},
             {"value outside the alphabet", "kv.set", "value_base64", "QU-D", false},
             {"value with a line feed", "kv.set", "value_base64", "QUJD\nQUJD", false},
             {"content type of 127", "kv.set", "content_type", QString(127, 't'), true},
             {"content type of 128", "kv.set", "content_type", QString(128, 't'), false},
             {"content type empty", "kv.set", "content_type", "", false},
         })
        QTest::newRow(row.name) << QString(row.kind) << QString(row.member) << row.value
                                << row.accepted;
}

void TestTrustedWrapper::kvRequests()
{
    QFETCH(QString, kind);
    QFETCH(QString, member);
    QFETCH(QJsonValue, value);
    QFETCH(bool, accepted);
    // One binding serves every row; each row leaves at most one request awaiting an answer.
    if (boundFor_ != QTest::currentTestFunction()) {
        QVERIFY(open("quiet"));
        boundFor_ = QTest::currentTestFunction();
    }
    scene_.setPullRequests(false);
    static int serial = 0;
    const QString id = QStringLiteral("kvrequest-%1").arg(++serial);
    QJsonObject payload{{"key", "k"},
                        {"idempotency_key", "idem-0001"},
                        {"value_base64", "QUJD"},
                        {"content_type", "text/plain"}};
    payload.insert(member, value);

    const auto answers = scene_.send({message(kind, id, payload)});
    QVERIFY(answers);
    QCOMPARE(lines(*answers), QStringList());
    const QJsonArray taken = scene_.call("takeKvRequests")->toArray();
    QCOMPARE(taken.size(), accepted ? 1 : 0);
    if (!accepted)
        return;
    // Only the members of the kind's own request form go to the native side.
    const QHash<QString, QStringList> forms{
        {"kv.list", {}},
        {"kv.get", {"key"}},
        {"kv.delete", {"key", "idempotency_key", "expected_revision"}},
        {"kv.set",
         {"key", "idempotency_key", "expected_revision", "value_base64", "content_type"}}};
    QJsonObject request{{"kind", kind}};
    for (const QString& name : forms.value(kind)) {
        if (payload.contains(name))
            request.insert(name, payload.value(name));
    }
    QCOMPARE(taken.at(0).toObject(), (QJsonObject{{"requestId", id}, {"request", request}}));
}

void TestTrustedWrapper::answers_data()
{
    QTest::addColumn<QString>("kind");
    // JavaScript expressions for the status and the body passed to the completion.
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("body");
    // The answer after its id; "<fresh>" stands for a request id the wrapper made.
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("requestId");

    const QString entry = "JSON.stringify({application_id: 'app-0001', key: 'k', value_base64: "
                          "'QUJD', content_type: 'text/plain', bytes: 3, sha256: 'a'.repeat(64), "
                          "revision: 2";
    const QString entryResult = QStringLiteral(
        " ack {\"application_id\":\"app-0001\",\"bytes\":3,\"content_type\":\"text/plain\","
        "\"key\":\"k\",\"revision\":2,\"sha256\":\"%1\",\"value_base64\":\"QUJD\"}")
                                    .arg(QString(64, 'a'));
    // 250 summaries; of the first 200, three are invalid, and a date stays only as text.
    const QString list =
        "JSON.stringify({items: Array.from({length: 250}, (_, i) => ({application_id: 'app-0001', "
        "key: 'k' + i, content_type: 'text/plain', bytes: i, sha256: 'b'.repeat(64), revision: 1, "
        "value_base64: 'QUJD', created_at: i === 0 ? '2026-01-01T00:00:00Z' : 5, updated_at: "
        "'2026-01-02T00:00:00Z'})).map((item, i) => i === 1 ? {...item, bytes: -1} : i === 2 ? "
        "{...item, sha256: 'B'.repeat(64)} : i === 199 ? 'item' : item)})";
    QStringList listed{"k0"};
    for (int i = 3; i < 199; ++i)
        listed.append(QStringLiteral("k%1").arg(i));
    const QString listResult =
        QStringLiteral(" ack {\"items\":197,\"keys\":\"%1\",\"members\":\"application_id,bytes,"
                       "content_type,created_at,key,revision,sha256,updated_at\"}")
            .arg(listed.join(','));
    const QString eventFailed = " event_delivery_failed 503 event_delivery_failed";
    const QString unavailable = " dependency_unavailable 503 dependency_unavailable";
    const QString unreadable = " internal_error 500 The K/V answer could not be read.";
    const QString fresh = "<fresh>";

    struct Row {
        const char* name;
        const char* kind;
        const char* status;
        QString body;
        QString answer;
        QString requestId;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"event true", "event.emit", "true", "''", " ack", ""},
             {"event 204 as text", "event.emit", "'204'", "''", " ack", ""},
             {"event false", "event.emit", "false", "''", eventFailed, fresh},
             {"event 200.5", "event.emit", "200.5", "''", eventFailed, fresh},
             {"event refused locally", "event.emit", "403",
              "JSON.stringify({code: 'forbidden', status: 403})", " forbidden 403 forbidden", fresh},
             {"event rate limited locally", "event.emit", "429",
              "JSON.stringify({code: 'rate_limited', status: 429})",
              " rate_limited 429 rate_limited", fresh},
             {"event code with 302", "event.emit", "302", "JSON.stringify({code: 'moved'})",
              " moved 503 moved", fresh},
             {"event code with 600", "event.emit", "600", "JSON.stringify({code: 'odd'})",
              " odd 503 odd", fresh},
             {"event code with 599", "event.emit", "599", "JSON.stringify({code: 'odd'})",
              " odd 599 odd", fresh},
             {"event code in upper case", "event.emit", "404", "JSON.stringify({code: 'Gone'})",
              eventFailed, fresh},
             {"event body with __proto__", "event.emit", "404",
              "'{\"__proto__\": {}, \"code\": \"gone\", \"request_id\": \"r-1\"}'", eventFailed,
              fresh},
             {"kv status 0", "kv.get", "0", "''", unavailable, fresh},
             {"kv status as other text", "kv.get", "'ok'", "''", unavailable, fresh},
             {"kv status 500", "kv.get", "500", "'not json'", " internal_error 500 internal_error",
              fresh},
             {"kv not found", "kv.get", "404",
              "JSON.stringify({code: 'not_found', request_id: 'req-1', current_revision: 4})",
              " not_found 404 not_found", "req-1"},
             {"kv request id of 128", "kv.set", "409",
              "JSON.stringify({code: 'conflict', request_id: 'r'.repeat(128)})",
              " conflict 409 conflict", QString(128, 'r')},
             {"kv request id of 129", "kv.set", "409",
              "JSON.stringify({code: 'conflict', request_id: 'r'.repeat(129)})",
              " conflict 409 conflict", fresh},
             {"kv request id empty", "kv.set", "409",
              "JSON.stringify({code: 'conflict', request_id: ''})", " conflict 409 conflict", fresh},
             {"kv entry", "kv.get", "200", entry + ", extra: 1})", entryResult, ""},
             {"kv entry stored", "kv.set", "201", entry + "})", entryResult, ""},
             {"kv entry without sha256", "kv.get", "200", entry + ", sha256: undefined})",
              unreadable, fresh},
             {"kv entry of -1 bytes", "kv.get", "200", entry + ", bytes: -1})", unreadable, fresh},
             {"kv entry not JSON", "kv.get", "200", "'{'", unreadable, fresh},
             {"kv deleted", "kv.delete", "204", "''", " ack", ""},
             {"kv deleted, body ignored", "kv.delete", "200", "'not json'", " ack", ""},
             {"kv list without items", "kv.list", "200", "'{}'", unreadable, fresh},
             {"kv list of text", "kv.list", "200", "JSON.stringify({items: 'x'})", unreadable, fresh},
             {"kv list", "kv.list", "200", list, listResult, ""},
         })
        QTest::newRow(row.name) << QString(row.kind) << QString(row.status) << row.body
                                << row.answer << row.requestId;
}

void TestTrustedWrapper::answers()
{
    QFETCH(QString, kind);
    QFETCH(QString, status);
    QFETCH(QString, body);
    QFETCH(QString, answer);
    QFETCH(QString, requestId);
    if (boundFor_ != QTest::currentTestFunction()) {
        QVERIFY(open("quiet"));
        boundFor_ = QTest::currentTestFunction();
    }
    scene_.setPullRequests(false);

    static int serial = 0;
    const QString id = QStringLiteral("answer-%1").arg(++serial, 4, 10, QLatin1Char('0'));
    const QJsonObject payload{{"code", "clicked"},
                              {"key", "k"},
                              {"idempotency_key", "idem-0001"},
                              {"value_base64", "QUJD"},
                              {"content_type", "text/plain"}};
    QVERIFY(scene_.send({message(kind, id, payload)}));
    const bool isEvent = kind == QLatin1String("event.emit");
    QCOMPARE(
        scene_.call(isEvent ? "takeEvents" : QStringLiteral("takeKvRequests"))->toArray().size(),
        1);
    const QString complete = isEvent ? "completeEvent" : "completeKv";
    for (int repeat = 0; repeat < 2; ++repeat) {
        // The second completion of one request finds nothing awaiting and is ignored.
        QVERIFY(scene_.evaluate(QStringLiteral("window.talvorineNativeWrapper.%1('%2', %3, %4)")
                                    .arg(complete, id, status, body)));
    }

    const auto answers = scene_.send({});
    QVERIFY(answers);
    QCOMPARE(answers->size(), 1);
    QCOMPARE(line(answers->first()), id + answer);
    const QJsonObject problem = answers->first().value("problem").toObject();
    if (requestId == QLatin1String("<fresh>"))
        QVERIFY2(freshMessageId(problem.value("request_id")),
                 qPrintable(problem.value("request_id").toString()));
    else if (!requestId.isEmpty())
        QCOMPARE(problem.value("request_id").toString(), requestId);
    QCOMPARE(problem.contains("current_revision"),
             QByteArray(QTest::currentDataTag()) == "kv not found");
    if (problem.contains("current_revision"))
        QCOMPARE(problem.value("current_revision").toInt(), 4);
}

void TestTrustedWrapper::geometryAndTeardown()
{
    QVERIFY(open("answering"));
    TALVORINE_WAIT_COMPARE(scene_, scene_.getter("handshakeStage"), QStringLiteral("ready"));
    for (const auto& [viewport, primitive] :
         {std::pair{size(-1, 10), size(10, 10)},
          std::pair{size(10, 10), with(size(10, 10), "depth", 1)},
          std::pair{size(1280, 720), size(320, 180)}})
        QVERIFY(scene_.call("updateGeometry", {viewport, primitive}));
    QVERIFY(scene_.send({}));
    const QList<QJsonObject> changes = scene_.reports("stub.viewport");
    QCOMPARE(changes.size(), 1);
    const QString nonce = scene_.reports("stub.context").first().value("nonce").toString();
    QCOMPARE(changes.first(),
             (QJsonObject{{"generation", 7},
                          {"nonce", nonce},
                          {"viewport", size(1280, 720)},
                          {"primitive", size(320, 180)},
                          {"placement", size(320, 180)}}));

    // The next binding starts from the sizes the native side gave last.
    QVERIFY(scene_.command({{"command", "reload"}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.context").size(), 2);
    const QJsonObject reloaded = scene_.reports("stub.context").last();
    QCOMPARE(reloaded.value("viewport").toObject(), size(1280, 720));
    QCOMPARE(reloaded.value("primitive").toObject(), size(320, 180));
    QCOMPARE(reloaded.value("placement").toObject(), size(320, 180));

    QVERIFY(scene_.send({emitted("event-001", "clicked")}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.events().size(), 1);
    QVERIFY(scene_.call("teardown"));
    TALVORINE_WAIT_COMPARE(scene_, scene_.title(), "talvorine:stopped");
    QCOMPARE(scene_.getter("handshakeStage"), "stopped");
    QCOMPARE(scene_.evaluate(QStringLiteral("document.querySelectorAll('iframe').length"))->toInt(),
             0);
    QCOMPARE(scene_.diagnostics().value("stages").toArray().last().toString(),
             QStringLiteral("stopped"));
    // Nothing is left to answer or to resize.
    QVERIFY(scene_.call("completeEvent", {"event-001", true, QString()}));
    QVERIFY(scene_.call("updateGeometry", {size(10, 10), size(10, 10)}));
    QVERIFY(scene_.call("present"));
    QCOMPARE(scene_.getter("handshakeStage"), "stopped");
}

void TestTrustedWrapper::survivesAHostileApplication()
{
    QVERIFY(open("quiet"));
    // The native side pulls every queue at its title, as the placement does, and answers nothing,
    // so the event and key-value queues fill up and stay full.
    QVERIFY(scene_.command({{"command", "fuzz"}, {"seed", 20260607}, {"count", 3000}}));
    // The stub says "ready" once every answer to its messages has come back and was judged.
    TALVORINE_WAIT_COMPARE(scene_, scene_.getter("handshakeStage"), QStringLiteral("ready"));
    QVERIFY(scene_.call("takeLogs"));
    QVERIFY(scene_.command({{"command", "report"}}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.reports("stub.fuzz").size(), 1);

    // Exactly the protocol's answers: "not_supported" once for every well-formed message of an
    // unknown kind, "rate_limited" for requests beyond a full queue, nothing for the rest.
    const QJsonObject summary = scene_.reports("stub.fuzz").first();
    QVERIFY2(summary.value("violations").toInt() == 0, QJsonDocument(summary).toJson().constData());
    QCOMPARE(summary.value("sent").toInt(), 3000);
    QVERIFY(summary.value("notSupported").toInt() > 50);
    QVERIFY(summary.value("rateLimited").toInt() > 50);
    QVERIFY2(scene_.largestTake() <= 64, qPrintable(QString::number(scene_.largestTake())));
    QCOMPARE(scene_.events().size(), 64);
    QCOMPARE(scene_.kvRequests().size(), 64);

    // Afterwards the binding still works: an answer frees a place in the event queue.
    const QString waiting = scene_.events().first().value("requestId").toString();
    QVERIFY(scene_.call("completeEvent", {waiting, true, QString()}));
    const auto answers
        = scene_.send({emitted("after-0001", "after"), message("x.after", "after-0002")});
    QVERIFY(answers);
    QCOMPARE(lines(*answers),
             (QStringList{waiting + " ack",
                          "after-0002 not_supported 501 This Player does "
                          "not support the requested kind."}));
    TALVORINE_WAIT_COMPARE(scene_, scene_.events().size(), 65);
    QCOMPARE(scene_.events().last().value("requestId").toString(), "after-0001");
}

int main(int argc, char** argv)
{
    test::startWebEngine();
    QGuiApplication app(argc, argv);
    TestTrustedWrapper test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trustedwrapper.moc"
