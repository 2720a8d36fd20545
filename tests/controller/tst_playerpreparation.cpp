#include "controller/PlayerPreparation.h"

#include <QJsonDocument>
#include <QtTest>

#include <functional>

using namespace talvorine;

namespace {

using Opt = std::optional<qint64>;
using Mutation = std::function<void(QJsonObject&)>;
using Records = std::pair<std::optional<StoragePlanRecord>, std::optional<StoragePlanRecord>>;

QString sha(char c)
{
    return QString(64, QLatin1Char(c));
}

QJsonObject parseJson(const char* text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad fixture: %s", qPrintable(error.errorString()));
    return document.object();
}

Primitive primitive(PrimitiveKind kind, const QJsonObject& binding = {})
{
    Primitive p;
    p.id = QStringLiteral("p%1").arg(int(kind));
    p.kind = kind;
    p.binding = binding;
    return p;
}

QJsonObject item(char c, double bytes, const QString& contentType)
{
    return {{"mediaId", QString(c)}, {"src", "/m"}, {"sha256", sha(c)}, {"bytes", bytes},
            {"contentType", contentType}};
}

Primitive application(const QJsonObject& package)
{
    return primitive(PrimitiveKind::application, {{"releaseId", "r"}, {"package", package}});
}

Page page(const QString& id, const QList<Primitive>& primitives, PageType type = PageType::content)
{
    Page p;
    p.id = id;
    p.type = type;
    p.primitives = primitives;
    return p;
}

StoragePlanRecord sampleRecord()
{
    StoragePlanRecord record;
    record.manifestRevision = "man_7";
    record.plan = StoragePlanResult{"partial", "staged", {"A", "B"}, {"A"}, {{"C", "capacity"}, {"D", ""}},
                                    {sha('e')}, "grow", qint64(1) << 53, Opt(qint64(1) << 60),
                                    Opt(9007199254740991), "A"};
    record.anchorPageId = "A";
    record.stage = "s1";
    record.volumeTotal = std::numeric_limits<qint64>::max();
    record.requiredBytes = 12288;
    record.targetBytes = 0;
    return record;
}

QByteArray compact(const QJsonObject& json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

Mutation set(const QString& key, const QJsonValue& value)
{
    return [key, value](QJsonObject& json) {
        if (value.isUndefined())
            json.remove(key);
        else
            json.insert(key, value);
    };
}

Manifest manifestOf(const QString& revision, const QStringList& ids)
{
    Manifest manifest;
    manifest.manifestRevision = revision;
    for (const QString& id : ids)
        manifest.pages.append(page(id, {}));
    return manifest;
}

StoragePlanRecord record(const QString& revision, const QString& stage, const QStringList& targets,
                         const QStringList& stage1)
{
    StoragePlanRecord r;
    r.manifestRevision = revision;
    r.stage = stage;
    r.plan.target_page_ids = targets;
    r.plan.stage1_page_ids = stage1;
    return r;
}

} // namespace

Q_DECLARE_METATYPE(Primitive)

class TestPlayerPreparation : public QObject {
    Q_OBJECT

private slots:
    void planObjects_data();
    void planObjects();
    void storagePlanInputDocument();
    void plannerRefusesWrittenInput_data();
    void plannerRefusesWrittenInput();
    void onGlassObjects();
    void previousObject();

    void recordRoundTrip();
    void recordReading_data();
    void recordReading();
    void pageMembership_data();
    void pageMembership();
};

void TestPlayerPreparation::planObjects_data()
{
    QTest::addColumn<Primitive>("primitive");
    QTest::addColumn<QList<PlanObject>>("objects");

    const QString packageType = "application/vnd.talvorine.webapp-package+tar+gzip";
    QTest::newRow("package with sizes")
        << application({{"sha256", sha('a')}, {"bytes", 4096}, {"expandedBytes", 1048576},
                        {"expandedFiles", "12"}})
        << QList<PlanObject>{{sha('a'), 4096, packageType, true, Opt(1048576), Opt(12)}};
    QTest::newRow("package with invalid sizes")
        << application({{"sha256", sha('a')}, {"bytes", -5}, {"expandedBytes", "18446744073709551616"},
                        {"expandedFiles", 1.5}})
        << QList<PlanObject>{{sha('a'), 0, packageType, true, Opt(), Opt()}};
    QTest::newRow("application without package")
        << primitive(PrimitiveKind::application)
        << QList<PlanObject>{{QString(), 0, packageType, true, Opt(), Opt()}};
    QTest::newRow("package bytes not integral")
        << application({{"sha256", sha('a')}, {"bytes", 10.5}})
        << QList<PlanObject>{{sha('a'), 0, packageType, true, Opt(), Opt()}};
    QTest::newRow("image items in order, no de-duplication")
        << primitive(PrimitiveKind::image,
                     {{"items", QJsonArray{item('b', 10, "image/png"), item('c', -1, ""), item('b', 10, "image/png")}}})
        << QList<PlanObject>{{sha('b'), 10, "image/png", false, Opt(), Opt()},
                             {sha('c'), 0, "application/octet-stream", false, Opt(), Opt()},
                             {sha('b'), 10, "image/png", false, Opt(), Opt()}};
    QTest::newRow("video") << primitive(PrimitiveKind::video, {{"items", QJsonArray{item('d', 7, "video/mp4")}}})
                           << QList<PlanObject>{{sha('d'), 7, "video/mp4", false, Opt(), Opt()}};
    QTest::newRow("stream") << primitive(PrimitiveKind::stream, {{"items", QJsonArray{item('d', 7, "x/y")}}})
                            << QList<PlanObject>{{sha('d'), 7, "x/y", false, Opt(), Opt()}};
    QTest::newRow("iframe") << primitive(PrimitiveKind::iframe, {{"items", QJsonArray{item('d', 7, "x/y")}}})
                            << QList<PlanObject>{};
    QTest::newRow("text") << primitive(PrimitiveKind::text) << QList<PlanObject>{};
}

void TestPlayerPreparation::planObjects()
{
    QFETCH(Primitive, primitive);
    QFETCH(QList<PlanObject>, objects);
    QCOMPARE(talvorine::planObjects(primitive), objects);
}

void TestPlayerPreparation::storagePlanInputDocument()
{
    Manifest manifest;
    manifest.document = parseJson(R"({"pages": [
        {"id": "lobby", "visibility": {"enabled": true, "extra": [1]}},
        {"id": "menu", "visibility": {"first": 1}},
        "not a page",
        {"id": "menu", "visibility": {"second": 2}}]})");
    Page first = page("lobby", {primitive(PrimitiveKind::image,
                                       {{"items", QJsonArray{item('a', 9007199254740992.0, ""),
                                                             item('b', 5, "image/png")}}}),
                             primitive(PrimitiveKind::iframe),
                             application({{"sha256", sha('c')}, {"bytes", 3}, {"expandedBytes", 1048576}})});
    first.visibility = PageVisibility{};
    Page slot = page("S", {}, PageType::adslot);
    slot.visibility = PageVisibility{};
    Page third = page("menu", {});
    third.visibility = PageVisibility{};
    manifest.pages = {first, slot, third, page("promo", {})};
    manifest.soundtrack = Soundtrack{};
    manifest.soundtrack->tracks = {SoundtrackTrack{"t1", "m1", "/t", sha('d'), -4, "", 1000}};

    const QJsonObject expected = parseJson(R"({"manifest": {"pages": [
      {"id": "lobby", "visibility": {"enabled": true, "extra": [1]}, "primitives": [
        {"kind": "image", "objects": [
          {"sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "bytes": "9007199254740992",
           "contentType": "application/octet-stream", "kind": "media"},
          {"sha256": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "bytes": 5,
           "contentType": "image/png", "kind": "media"}]},
        {"kind": "iframe", "objects": []},
        {"kind": "application", "objects": [
          {"sha256": "cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc", "bytes": 3,
           "contentType": "application/vnd.talvorine.webapp-package+tar+gzip", "kind": "package",
           "expandedBytes": 1048576}]},
        {"kind": "audio", "objects": [
          {"sha256": "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd", "bytes": 0,
           "contentType": "", "kind": "media"}]}]},
      {"id": "S", "type": "adslot", "visibility": {}, "primitives": []},
      {"id": "menu", "visibility": {"second": 2}, "primitives": [{"kind": "audio", "objects": [
          {"sha256": "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd", "bytes": 0,
           "contentType": "", "kind": "media"}]}]},
      {"id": "promo", "primitives": [{"kind": "audio", "objects": [
          {"sha256": "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd", "bytes": 0,
           "contentType": "", "kind": "media"}]}]}]}})");
    QCOMPARE(storagePlanInput(manifest), expected);

    // Without a soundtrack no audio primitive; an empty soundtrack still gives one.
    manifest.soundtrack.reset();
    QCOMPARE(storagePlanInput(manifest)["manifest"].toObject()["pages"].toArray()[3].toObject()["primitives"],
             QJsonValue(QJsonArray{}));
    manifest.soundtrack = Soundtrack{};
    QCOMPARE(storagePlanInput(manifest)["manifest"].toObject()["pages"].toArray()[3].toObject()["primitives"],
             QJsonValue(QJsonArray{QJsonObject{{"kind", "audio"}, {"objects", QJsonArray{}}}}));
}

void TestPlayerPreparation::plannerRefusesWrittenInput_data()
{
    QTest::addColumn<Primitive>("primitive");
    QTest::addColumn<QString>("trackType");
    QTest::addColumn<QString>("error");
    const Primitive image = primitive(PrimitiveKind::image, {{"items", QJsonArray{item('a', 1, "")}}});
    QTest::newRow("accepted") << image << "audio/mpeg" << QString();
    QTest::newRow("soundtrack track without content type")
        << image << "" << "pages[0].primitives[1].objects[0]: contentType is required";
    QTest::newRow("application without package")
        << primitive(PrimitiveKind::application) << "audio/mpeg"
        << "pages[0].primitives[0].objects[0]: sha256 must be 64 lowercase hex characters";
}

void TestPlayerPreparation::plannerRefusesWrittenInput()
{
    QFETCH(Primitive, primitive);
    QFETCH(QString, trackType);
    QFETCH(QString, error);
    Manifest manifest;
    manifest.pages = {page("A", {primitive}), page("S", {}, PageType::adslot)};
    manifest.soundtrack = Soundtrack{};
    manifest.soundtrack->tracks = {SoundtrackTrack{"t1", "m1", "/t", sha('d'), 4, trackType, 1000}};
    QJsonObject input = storagePlanInput(manifest);
    input["capacity_bytes"] = 1 << 30;
    input["volume_total_bytes"] = 1 << 30;
    QString message;
    QCOMPARE(StoragePlan::plan(input, &message).has_value(), error.isEmpty());
    QCOMPARE(message, error);
}

void TestPlayerPreparation::onGlassObjects()
{
    Manifest manifest;
    manifest.pages = {page("A", {primitive(PrimitiveKind::image, {{"items", QJsonArray{item('a', 1, "x/y")}}})}),
                      page("B", {primitive(PrimitiveKind::image, {{"items", QJsonArray{item('a', 5000, "x/y")}}}),
                                 application({{"sha256", sha('p')}, {"bytes", 3}}), application({})}),
                      page("C", {primitive(PrimitiveKind::image, {{"items", QJsonArray{item('c', 1, "x/y")}}})})};
    manifest.soundtrack = Soundtrack{};
    manifest.soundtrack->tracks = {SoundtrackTrack{"t1", "m1", "/t", sha('d'), 4, "audio/mpeg", 1000}};
    const QHash<QString, qint64> table = storagePlanOnGlassObjects(manifest, {0, 1, 7, -1});
    const QHash<QString, qint64> expected{{sha('a'), 8192}, {sha('p'), 283672576}};
    QCOMPARE(table, expected);
    const QJsonArray old = storagePlanOldObjects({{sha('a'), qint64(1) << 53}});
    QCOMPARE(old, QJsonArray({QJsonObject{{"sha256", sha('a')}, {"retained_bytes", "9007199254740992"}}}));
}

void TestPlayerPreparation::previousObject()
{
    const QJsonObject previous = storagePlanPrevious(sampleRecord(), qint64(1) << 53, 3, true);
    QVERIFY(!previous.contains("decision"));
    QVERIFY(!previous.contains("headroom_needed_bytes"));
    QCOMPARE(previous["now_ms"], QJsonValue("9007199254740992"));
    QCOMPARE(previous["shrink_grow_cycles_24h"], QJsonValue(3));
    QCOMPARE(previous["anchor_on_glass"], QJsonValue(true));
    QCOMPARE(previous["growth_eligible_since_ms"], QJsonValue(9007199254740991.0));
    QCOMPARE(previous["target_page_ids"], QJsonValue(QJsonArray{"A", "B"}));

    std::optional<Manifest> glass = manifestOf("man_7", {"X", "A"});
    const StoragePlanRecord record = sampleRecord();
    QVERIFY(storagePlanAnchorOnGlass(true, glass, {1}, "man_7", record));
    QVERIFY(!storagePlanAnchorOnGlass(true, glass, {0}, "man_7", record));     // anchor not eligible
    QVERIFY(!storagePlanAnchorOnGlass(false, glass, {1}, "man_7", record));    // nothing on glass
    QVERIFY(!storagePlanAnchorOnGlass(true, glass, {1}, "man_8", record));     // other revision
    QVERIFY(!storagePlanAnchorOnGlass(true, std::nullopt, {1}, "man_7", record));
}

void TestPlayerPreparation::recordRoundTrip()
{
    StoragePlanRecord record = sampleRecord();
    for (int round = 0; round < 2; ++round) {
        const QJsonObject json = storagePlanRecordJson(record);
        QCOMPARE(json["volume_total"], QJsonValue("9223372036854775807"));
        QCOMPARE(json["capacity_baseline"], QJsonValue("9007199254740992"));
        const QByteArray bytes = compact(json);
        const std::optional<StoragePlanRecord> back =
            storagePlanRecordFromJson(QJsonDocument::fromJson(bytes).object());
        QVERIFY(back);
        QCOMPARE(*back, record);
        QCOMPARE(compact(storagePlanRecordJson(*back)), bytes);
        // Without optional values and with an empty anchor.
        record.plan.headroom_needed_bytes.reset();
        record.plan.growth_eligible_since_ms.reset();
        record.plan.anchor_page_id.clear();
        record.anchorPageId.clear();
        record.stage = "complete";
    }
}

void TestPlayerPreparation::recordReading_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<std::function<bool(const StoragePlanRecord&)>>("check");

    const auto none = [](const StoragePlanRecord&) { return true; };
    const QJsonValue gone(QJsonValue::Undefined);
    QTest::newRow("revision missing") << set("manifest_revision", gone) << false << std::function(none);
    QTest::newRow("revision empty") << set("manifest_revision", "") << false << std::function(none);
    QTest::newRow("revision not string") << set("manifest_revision", 7) << false << std::function(none);
    QTest::newRow("fit unknown") << set("fit", "fits ") << false << std::function(none);
    QTest::newRow("fit missing") << set("fit", gone) << false << std::function(none);
    QTest::newRow("transition unknown") << set("transition", "Direct") << false << std::function(none);
    QTest::newRow("baseline negative") << set("capacity_baseline", -1) << false << std::function(none);
    QTest::newRow("baseline text") << set("capacity_baseline", "01") << false << std::function(none);
    QTest::newRow("baseline missing") << set("capacity_baseline", gone) << false << std::function(none);
    QTest::newRow("stage upper case") << set("stage", "S1") << false << std::function(none);
    QTest::newRow("stage with space") << set("stage", "complete ") << false << std::function(none);
    QTest::newRow("targets missing") << set("target_page_ids", gone) << false << std::function(none);
    QTest::newRow("targets not array") << set("target_page_ids", "A") << false << std::function(none);

    QTest::newRow("decision missing") << set("decision", gone) << true
                                      << std::function([](const StoragePlanRecord& r) { return r.plan.decision == "compute"; });
    QTest::newRow("decision not string") << set("decision", 1) << true
                                         << std::function([](const StoragePlanRecord& r) { return r.plan.decision == "compute"; });
    QTest::newRow("stage one missing") << set("stage1_page_ids", gone) << true
                                       << std::function([](const StoragePlanRecord& r) { return r.plan.stage1_page_ids.isEmpty(); });
    QTest::newRow("non-string ids") << set("target_page_ids", QJsonArray{"A", 5, QJsonValue()}) << true
                                    << std::function([](const StoragePlanRecord& r) {
                                           return r.plan.target_page_ids == QStringList{"A", "", ""};
                                       });
    QTest::newRow("exclusion not object") << set("excluded", QJsonArray{3, QJsonObject{{"page_id", "B"}}}) << true
                                          << std::function([](const StoragePlanRecord& r) {
                                                 return r.plan.excluded
                                                        == QList<StorageExclusion>{{"", ""}, {"B", ""}};
                                             });
    QTest::newRow("invalid optional sizes")
        << Mutation([](QJsonObject& json) {
               json["headroom_needed_bytes"] = -3;
               json["growth_eligible_since_ms"] = "x";
           })
        << true << std::function([](const StoragePlanRecord& r) {
               return !r.plan.headroom_needed_bytes && !r.plan.growth_eligible_since_ms;
           });
    QTest::newRow("invalid byte counts")
        << Mutation([](QJsonObject& json) {
               json.remove("volume_total");
               json["required_bytes"] = 1.5;
               json["target_bytes"] = "12";
           })
        << true << std::function([](const StoragePlanRecord& r) {
               return r.volumeTotal == 0 && r.requiredBytes == 0 && r.targetBytes == 12;
           });
    QTest::newRow("anchor missing") << set("anchor_page_id", gone) << true
                                    << std::function([](const StoragePlanRecord& r) { return r.anchorPageId.isEmpty(); });
}

void TestPlayerPreparation::recordReading()
{
    QFETCH(Mutation, mutation);
    QFETCH(bool, accepted);
    using Check = std::function<bool(const StoragePlanRecord&)>;
    QFETCH(Check, check);
    QJsonObject json = storagePlanRecordJson(sampleRecord());
    mutation(json);
    const std::optional<StoragePlanRecord> record = storagePlanRecordFromJson(json);
    QCOMPARE(record.has_value(), accepted);
    if (record)
        QVERIFY(check(*record));
}

void TestPlayerPreparation::pageMembership_data()
{
    QTest::addColumn<Records>("records"); // pending, active
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QList<int>>("admitted");
    QTest::addColumn<QString>("chosen"); // "pending", "active" or ""

    const auto staged = record("R", "s1", {"A", "B", "C"}, {"A"});
    const auto complete = record("R", "complete", {"A", "C"}, {});
    QTest::newRow("pending at stage one") << Records{staged, std::nullopt} << "R" << QList<int>{0, -1, 4} << "pending";
    QTest::newRow("active at stage one admits targets")
        << Records{std::nullopt, staged} << "R" << QList<int>{0, 1, 2, -1, 4} << "active";
    QTest::newRow("pending complete") << Records{complete, staged} << "R" << QList<int>{0, 2, -1, 4} << "pending";
    QTest::newRow("pending of another revision")
        << Records{record("Q", "s1", {}, {}), complete} << "R" << QList<int>{0, 2, -1, 4} << "active";
    QTest::newRow("no matching record")
        << Records{record("Q", "complete", {}, {}), record("r", "complete", {}, {})} << "R"
        << QList<int>{0, 1, 2, 3, -1, 4} << "";
    QTest::newRow("no records") << Records{} << "R" << QList<int>{0, 1, 2, 3, -1, 4} << "";
}

void TestPlayerPreparation::pageMembership()
{
    QFETCH(Records, records);
    QFETCH(QString, revision);
    QFETCH(QList<int>, admitted);
    QFETCH(QString, chosen);
    const Manifest manifest = manifestOf(revision, {"A", "B", "C", "D"});
    for (int index = -1; index <= 4; ++index)
        QCOMPARE(pageInStoragePlan(records.first, records.second, manifest, index), admitted.contains(index));
    const StoragePlanRecord* picked = storagePlanFor(records.first, records.second, revision);
    const StoragePlanRecord* expected = chosen == "pending"  ? &*records.first
                                        : chosen == "active" ? &*records.second
                                                             : nullptr;
    QCOMPARE(picked, expected);
}

QTEST_GUILESS_MAIN(TestPlayerPreparation)
#include "tst_playerpreparation.moc"
