// Properties every plan must keep, over generated inputs (fixed seed) and over the input
// written for each parsed manifest of the parser's fixture corpus.
#include "controller/PlayerPreparation.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <algorithm>
#include <random>

using namespace talvorine;

Q_DECLARE_METATYPE(talvorine::Manifest)

namespace {

constexpr qint64 mib = 1048576;

class Generator {
public:
    explicit Generator(quint32 seed) : m_engine(seed) {}

    int number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_engine); }
    qint64 bytes(qint64 high) { return std::uniform_int_distribution<qint64>(0, high)(m_engine); }
    bool chance(int percent) { return number(1, 100) <= percent; }
    QString digest()
    {
        QString text;
        for (int i = 0; i < 64; ++i)
            text.append(QLatin1Char("0123456789abcdef"[number(0, 15)]));
        return text;
    }

private:
    std::mt19937 m_engine;
};

struct Generated {
    Manifest manifest;
    QJsonObject input;
};

Generated generate(Generator& g)
{
    QStringList pool;
    for (int i = g.number(1, 24); i > 0; --i)
        pool.append(g.digest());
    const auto pick = [&] { return pool.at(g.number(0, int(pool.size()) - 1)); };
    const auto size = [&] { return g.chance(3) ? (qint64(1) << 53) + g.bytes(1000) : g.bytes(40 * mib); };

    Generated out;
    Manifest& manifest = out.manifest;
    manifest.manifestRevision = QStringLiteral("man_gen");
    for (int p = g.number(0, 9); p > 0; --p) {
        Page page;
        page.id = QStringLiteral("page-%1").arg(manifest.pages.size());
        page.type = g.chance(10) ? PageType::adslot : PageType::content;
        for (int r = page.type == PageType::adslot ? 0 : g.number(0, 4); r > 0; --r) {
            Primitive primitive;
            const int kind = g.number(0, 4);
            primitive.kind = PrimitiveKind(kind);
            if (kind == 0 && g.chance(3)) {
                // An application whose package went missing.
            } else if (kind == 0) {
                QJsonObject package{{"sha256", pick()}, {"bytes", double(g.bytes(mib))}};
                if (g.chance(50))
                    package.insert("expandedBytes", StoragePlan::encodeByteValue(size()));
                if (g.chance(50))
                    package.insert("expandedFiles", double(g.bytes(20000)));
                primitive.binding.insert("package", package);
            } else {
                QJsonArray items;
                for (int i = g.number(1, 3); i > 0; --i)
                    items.append(QJsonObject{{"sha256", pick()}, {"bytes", double(g.bytes(40 * mib))},
                                             {"contentType", g.chance(20) ? "" : "image/png"}});
                primitive.binding.insert("items", items);
            }
            page.primitives.append(primitive);
        }
        manifest.pages.append(page);
    }
    if (g.chance(40)) {
        manifest.soundtrack = Soundtrack{};
        for (int t = g.number(0, 2); t > 0; --t)
            manifest.soundtrack->tracks.append(
                SoundtrackTrack{"t", "m", "/t", pick(), g.bytes(mib), g.chance(5) ? "" : "audio/mpeg", 1000});
    }

    QJsonObject& input = out.input;
    input = storagePlanInput(manifest);
    QHash<QString, qint64> old;
    qint64 oldBytes = 0;
    for (int i = g.number(0, 4); i > 0; --i) {
        const qint64 retained = g.bytes(30 * mib);
        old.insert(g.chance(50) ? pick() : g.digest(), retained);
        oldBytes += retained;
    }
    input["old_objects"] = storagePlanOldObjects(old);
    input["leases"] = QJsonArray{};
    const qint64 total = StoragePlan::pagesCost(input, {}).value_or(0);
    // Below the revision, between it and it plus what plays, or above both.
    const int band = g.number(0, 3);
    const qint64 capacity = band == 0 ? 0
                            : band == 1 ? g.bytes(total)
                            : band == 2 ? total + g.bytes(oldBytes)
                                        : total + oldBytes + g.bytes(20 * mib);
    input["capacity_bytes"] = StoragePlan::encodeByteValue(capacity);
    input["volume_total_bytes"] = StoragePlan::encodeByteValue(64 * 1024 * mib);
    QJsonArray warm;
    QJsonArray local;
    for (int i = g.number(0, 12); i > 0; --i) {
        const QString digest = g.chance(50) ? pick() : g.digest();
        local.append(digest);
        if (!old.contains(digest))
            warm.append(QJsonObject{{"sha256", digest}, {"retained_bytes", double(g.bytes(20 * mib))},
                                    {"last_access", double(g.number(0, 5))}});
    }
    input["local"] = local;
    input["tiers"] = QJsonObject{{"fallback", QJsonArray{}}, {"warm", warm}};
    if (g.chance(40)) {
        StoragePlanRecord record;
        for (const Page& page : manifest.pages) {
            if (g.chance(50))
                record.plan.target_page_ids.append(page.id);
        }
        record.plan.stage1_page_ids = record.plan.target_page_ids.mid(0, 1);
        record.plan.fit = QStringLiteral("partial");
        record.plan.transition = g.chance(50) ? QStringLiteral("staged") : QStringLiteral("direct");
        record.plan.capacity_baseline = g.bytes(total);
        if (g.chance(50))
            record.plan.growth_eligible_since_ms = 1700000000000 - g.bytes(7200000);
        input["previous"] = storagePlanPrevious(record, 1700000000000, g.number(0, 5), g.chance(50));
    }
    return out;
}

// The documented refusals of a controller-written input: an application without a package
// (empty digest) and a soundtrack track without a content type.
bool documentedRefusal(const QJsonObject& input, const QString& error)
{
    static const QRegularExpression path(QRegularExpression::anchoredPattern(
        QStringLiteral("pages\\[(\\d+)\\]\\.primitives\\[(\\d+)\\]\\.objects\\[(\\d+)\\]: (.*)")));
    const QRegularExpressionMatch match = path.match(error);
    if (!match.hasMatch())
        return false;
    const QJsonObject primitive = input["manifest"].toObject()["pages"].toArray()[match.captured(1).toInt()]
                                      .toObject()["primitives"].toArray()[match.captured(2).toInt()].toObject();
    const QJsonObject object = primitive["objects"].toArray()[match.captured(3).toInt()].toObject();
    if (match.captured(4) == QLatin1String("sha256 must be 64 lowercase hex characters"))
        return primitive["kind"] == QLatin1String("application") && object["sha256"].toString().isEmpty();
    if (match.captured(4) == QLatin1String("contentType is required"))
        return primitive["kind"] == QLatin1String("audio") && object["contentType"] == QLatin1String("");
    return false;
}

void checkInvariants(const QJsonObject& input, const StoragePlanResult& plan, const QString& allowedReason)
{
    QStringList contentIds;
    QStringList allIds;
    QHash<QString, QSet<QString>> objectsOf;
    for (const QJsonValue& pageValue : input["manifest"].toObject()["pages"].toArray()) {
        const QJsonObject page = pageValue.toObject();
        allIds.append(page["id"].toString());
        if (page["type"] != QLatin1String("adslot"))
            contentIds.append(page["id"].toString());
        for (const QJsonValue& primitive : page["primitives"].toArray())
            for (const QJsonValue& object : primitive.toObject()["objects"].toArray())
                objectsOf[page["id"].toString()].insert(object.toObject()["sha256"].toString());
    }
    QSet<QString> old;
    for (const QJsonValue& entry : input["old_objects"].toArray())
        old.insert(entry.toObject()["sha256"].toString());

    QSet<QString> protectedObjects = old;
    for (const QString& id : plan.target_page_ids)
        protectedObjects.unite(objectsOf.value(id));
    for (const QString& digest : plan.evict)
        QVERIFY2(!protectedObjects.contains(digest), qPrintable(digest));
    QCOMPARE(QSet<QString>(plan.evict.cbegin(), plan.evict.cend()).size(), plan.evict.size());

    QSet<QString> excluded;
    for (const StorageExclusion& exclusion : plan.excluded) {
        QVERIFY(contentIds.contains(exclusion.page_id));
        QVERIFY(exclusion.reason == QLatin1String("capacity") || exclusion.reason == allowedReason);
        excluded.insert(exclusion.page_id);
    }
    QCOMPARE(excluded.size(), plan.excluded.size());
    for (const QString& id : contentIds)
        QVERIFY2(plan.target_page_ids.contains(id) != excluded.contains(id), qPrintable(id));

    for (const QString& id : plan.stage1_page_ids)
        QVERIFY(plan.target_page_ids.contains(id));
    qsizetype at = 0;
    for (const QString& id : plan.target_page_ids) {
        at = allIds.indexOf(id, at);
        QVERIFY2(at >= 0, "targets out of manifest order");
    }
    if (plan.fit == QLatin1String("none_fit") || plan.decision == QLatin1String("hold"))
        QVERIFY(plan.evict.isEmpty());
    if (plan.transition == QLatin1String("blocked"))
        QVERIFY(plan.stage1_page_ids.isEmpty());
    // Only a content page can carry the screen: the anchor is one, and so is part of stage one.
    if (!plan.anchor_page_id.isEmpty())
        QVERIFY2(contentIds.contains(plan.anchor_page_id), qPrintable(plan.anchor_page_id));
    if (plan.transition == QLatin1String("staged"))
        QVERIFY(std::any_of(plan.stage1_page_ids.cbegin(), plan.stage1_page_ids.cend(),
                            [&contentIds](const QString& id) { return contentIds.contains(id); }));
}

} // namespace

class TestStoragePlanInvariants : public QObject {
    Q_OBJECT

private slots:
    void generatedInputs();
    void parsedManifests_data();
    void parsedManifests();
};

void TestStoragePlanInvariants::generatedInputs()
{
    Generator g(20261207);
    int refused = 0;
    QSet<QString> fits;
    QSet<QString> decisions;
    for (int run = 0; run < 3000; ++run) {
        const Generated generated = generate(g);
        QString error;
        const std::optional<StoragePlanResult> plan = StoragePlan::plan(generated.input, &error);
        if (!plan) {
            QVERIFY2(documentedRefusal(generated.input, error), qPrintable(error));
            ++refused;
            continue;
        }
        checkInvariants(generated.input, *plan, QString());
        if (QTest::currentTestFailed()) {
            qWarning("run %d: %s", run, QJsonDocument(generated.input).toJson().constData());
            return;
        }
        fits.insert(plan->fit);
        decisions.insert(plan->decision);

        QStringList ids;
        QSet<QString> adslots;
        for (const Page& page : generated.manifest.pages) {
            ids.append(page.id);
            if (page.type == PageType::adslot)
                adslots.insert(page.id);
        }
        checkInvariants(generated.input, StoragePlan::withAnchorUnavailable(*plan, ids, adslots),
                        QStringLiteral("anchor_unavailable"));
        // An anchor whose object was withheld waits after the first stage, which the new one
        // carries.
        const StoragePlanResult kept = StoragePlan::withAnchorUnavailable(*plan, ids, adslots, true);
        checkInvariants(generated.input, kept, QStringLiteral("anchor_unavailable"));
        if (!kept.anchor_page_id.isEmpty() && !plan->anchor_page_id.isEmpty()) {
            QVERIFY(kept.target_page_ids.contains(plan->anchor_page_id));
            QVERIFY(!kept.stage1_page_ids.contains(plan->anchor_page_id));
            QVERIFY(kept.stage1_page_ids.contains(kept.anchor_page_id));
        }

        // What the controller stores reads back as the same plan.
        StoragePlanRecord record{"man_gen", *plan, plan->anchor_page_id, "complete", 0, 0, 0};
        const std::optional<StoragePlanRecord> back = storagePlanRecordFromJson(storagePlanRecordJson(record));
        QVERIFY(back);
        QCOMPARE(*back, record);
    }
    // The generator must reach every branch, or the properties above prove little.
    QCOMPARE(fits.size(), 6);
    QCOMPARE(decisions.size(), 4);
    QVERIFY(refused > 0);
}

void TestStoragePlanInvariants::parsedManifests_data()
{
    QTest::addColumn<Manifest>("manifest");
    const QDir cases(QStringLiteral(TALVORINE_MANIFEST_FIXTURES));
    const QStringList names = cases.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    int count = 0;
    for (const QString& name : names) {
        if (name.endsWith(QLatin1String(".expected.json")))
            continue;
        QFile file(cases.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const ManifestParseResult parsed =
            ManifestParser::parse(file.readAll(), QUrl(QStringLiteral("https://runtime.talvorine.test")), 0);
        // Documents the parser refuses never reach planning.
        if (const auto* manifest = std::get_if<Manifest>(&parsed)) {
            QTest::newRow(qPrintable(name)) << *manifest;
            ++count;
        }
    }
    QVERIFY(count > 20);
}

void TestStoragePlanInvariants::parsedManifests()
{
    QFETCH(Manifest, manifest);
    for (qint64 capacity : {qint64(0), 20 * mib, qint64(1) << 60}) {
        QJsonObject input = storagePlanInput(manifest);
        input["old_objects"] = storagePlanOldObjects(storagePlanOnGlassObjects(manifest, {0}));
        input["leases"] = QJsonArray{};
        input["capacity_bytes"] = StoragePlan::encodeByteValue(capacity);
        input["volume_total_bytes"] = StoragePlan::encodeByteValue(capacity);
        input["local"] = QJsonArray{};
        input["tiers"] = QJsonObject{{"fallback", QJsonArray{}}, {"warm", QJsonArray{}}};
        QString error;
        const std::optional<StoragePlanResult> plan = StoragePlan::plan(input, &error);
        if (!plan) {
            QVERIFY2(documentedRefusal(input, error), qPrintable(error));
            continue;
        }
        checkInvariants(input, *plan, QString());
    }
}

QTEST_GUILESS_MAIN(TestStoragePlanInvariants)
#include "tst_storageplan_invariants.moc"
