#include "storage/StoragePlan.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <limits>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

using namespace talvorine;

namespace {

// Set by a test: runs once, right after the first successful stat of a path whose name ends
// with the given text, to change the tree between a look at an entry and its opening.
QByteArray afterStatOf;
std::function<void()> afterStatAction;

void statDone(const char* path)
{
    if (afterStatOf.isEmpty() || !QByteArray(path).endsWith(afterStatOf))
        return;
    afterStatOf.clear();
    afterStatAction();
}

} // namespace

extern "C" int lstat(const char* path, struct stat* st) noexcept
{
    using Real = int (*)(const char*, struct stat*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "lstat"));
    const int result = real(path, st);
    if (result == 0)
        statDone(path);
    return result;
}

extern "C" int fstatat(int dir, const char* path, struct stat* st, int flags) noexcept
{
    using Real = int (*)(int, const char*, struct stat*, int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fstatat"));
    const int result = real(dir, path, st, flags);
    if (result == 0)
        statDone(path);
    return result;
}

namespace {

constexpr qint64 maxI64 = std::numeric_limits<qint64>::max();
constexpr qint64 mib = 1048576;
constexpr qint64 two53 = qint64(1) << 53;

using Opt = std::optional<qint64>;
using Mutation = std::function<void(QJsonObject&)>;

// Named objects: "a".."c" belong to pages A..C, the rest are only local or on glass.
QString sha(const QString& name)
{
    const QString hex = QString::fromLatin1(name.toLatin1().toHex());
    return QString(64 - hex.size(), QLatin1Char('0')) + hex;
}

QStringList shas(const QStringList& names)
{
    QStringList list;
    for (const QString& name : names)
        list.append(sha(name));
    return list;
}

QJsonObject media(const QString& name, qint64 bytes)
{
    return {{"sha256", sha(name)}, {"bytes", double(bytes)}, {"contentType", "image/png"},
            {"kind", "media"}};
}

QJsonObject page(const QString& id, const QJsonArray& objects, bool adslot = false)
{
    QJsonObject json{{"id", id},
                     {"primitives", QJsonArray{QJsonObject{{"kind", "image"}, {"objects", objects}}}}};
    if (adslot)
        json.insert("type", "adslot");
    return json;
}

QJsonArray entries(const QList<std::pair<QString, qint64>>& objects, bool warm = false)
{
    QJsonArray array;
    double access = 1000;
    for (const auto& [name, bytes] : objects) {
        QJsonObject entry{{"sha256", sha(name)}, {"retained_bytes", double(bytes)}};
        if (warm)
            entry.insert("last_access", access++);
        array.append(entry);
    }
    return array;
}

// Pages A, B, C of 10, 20 and 30 MiB.
QJsonObject threePages(qint64 capacity, const QJsonArray& old = {}, const QJsonArray& warm = {})
{
    const QJsonArray pages{page("A", {media("a", 10 * mib)}), page("B", {media("b", 20 * mib)}),
                           page("C", {media("c", 30 * mib)})};
    return {{"manifest", QJsonObject{{"pages", pages}}},
            {"old_objects", old},
            {"leases", QJsonArray{}},
            {"capacity_bytes", double(capacity)},
            {"volume_total_bytes", double(64 * 1024 * mib)},
            {"local", QJsonArray{}},
            {"tiers", QJsonObject{{"fallback", QJsonArray{}}, {"warm", warm}}}};
}

QJsonObject previous(const QStringList& targets, Opt growthSince, qint64 now, int cycles,
                     qint64 baseline, const QStringList& stage1 = {}, bool onGlass = false)
{
    QJsonObject json{{"fit", "partial"}, {"transition", stage1.isEmpty() ? "direct" : "staged"},
                     {"target_page_ids", QJsonArray::fromStringList(targets)},
                     {"stage1_page_ids", QJsonArray::fromStringList(stage1)},
                     {"excluded", QJsonArray{}}, {"evict", QJsonArray{}},
                     {"capacity_baseline", double(baseline)}, {"now_ms", double(now)},
                     {"shrink_grow_cycles_24h", cycles}, {"anchor_on_glass", onGlass}};
    if (growthSince)
        json.insert("growth_eligible_since_ms", double(*growthSince));
    return json;
}

// Applies f to the object at pages[0].primitives[0].objects[0].
Mutation onObject(const std::function<void(QJsonObject&)>& f)
{
    return [f](QJsonObject& in) {
        QJsonObject manifest = in["manifest"].toObject();
        QJsonArray pages = manifest["pages"].toArray();
        QJsonObject first = pages[0].toObject();
        QJsonArray primitives = first["primitives"].toArray();
        QJsonObject primitive = primitives[0].toObject();
        QJsonArray objects = primitive["objects"].toArray();
        QJsonObject object = objects[0].toObject();
        f(object);
        objects[0] = object;
        primitive["objects"] = objects;
        primitives[0] = primitive;
        first["primitives"] = primitives;
        pages[0] = first;
        manifest["pages"] = pages;
        in["manifest"] = manifest;
    };
}

Mutation set(const QString& key, const QJsonValue& value)
{
    return [key, value](QJsonObject& in) {
        if (value.isUndefined())
            in.remove(key);
        else
            in.insert(key, value);
    };
}

Mutation setOnObject(const QString& key, const QJsonValue& value)
{
    return onObject(set(key, value));
}

Mutation setPages(const QJsonArray& pages)
{
    return [pages](QJsonObject& in) { in["manifest"] = QJsonObject{{"pages", pages}}; };
}

qint64 lstatBytes(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.st_blocks) * 512 : 0;
}

void writeBytes(const QString& path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(QByteArray(size, 'x')) == size);
}

} // namespace

class TestStoragePlan : public QObject {
    Q_OBJECT

private slots:
    void saturatingAdd_data();
    void saturatingAdd();
    void byteValues_data();
    void byteValues();
    void retainedBytes_data();
    void retainedBytes();
    void measure_data();
    void measure();
    void allocatedBytes();
    void allocatedBytesNeverFollowsASwappedInLink();
    void toJsonKeys();

    void refusesMalformedInput_data();
    void refusesMalformedInput();
    void fitBranches_data();
    void fitBranches();
    void evictionFollowsLastAccess();
    void hysteresis_data();
    void hysteresis();
    void pagesCost_data();
    void pagesCost();
    void anchorUnavailable_data();
    void anchorUnavailable();
};

void TestStoragePlan::saturatingAdd_data()
{
    QTest::addColumn<qint64>("a");
    QTest::addColumn<qint64>("b");
    QTest::addColumn<qint64>("sum");
    QTest::newRow("plain") << qint64(2) << qint64(3) << qint64(5);
    QTest::newRow("overflow") << maxI64 << qint64(1) << maxI64;
    QTest::newRow("both maximal") << maxI64 << maxI64 << maxI64;
    QTest::newRow("negative sum") << qint64(-5) << qint64(2) << qint64(0);
    QTest::newRow("both minimal") << std::numeric_limits<qint64>::min()
                                  << std::numeric_limits<qint64>::min() << qint64(0);
    QTest::newRow("negative into range") << qint64(-1) << maxI64 << maxI64 - 1;
}

void TestStoragePlan::saturatingAdd()
{
    QFETCH(qint64, a);
    QFETCH(qint64, b);
    QFETCH(qint64, sum);
    QCOMPARE(StoragePlan::saturatingAdd(a, b), sum);
}

void TestStoragePlan::byteValues_data()
{
    QTest::addColumn<QJsonValue>("json");
    QTest::addColumn<Opt>("parsed");
    QTest::addColumn<bool>("canonical"); // encodeByteValue(parsed) gives json back

    QTest::newRow("zero") << QJsonValue(0) << Opt(0) << true;
    QTest::newRow("2^53-1 number") << QJsonValue(double(two53 - 1)) << Opt(two53 - 1) << true;
    QTest::newRow("2^53 number") << QJsonValue(double(two53)) << Opt() << false;
    QTest::newRow("2^53 string") << QJsonValue("9007199254740992") << Opt(two53) << true;
    QTest::newRow("small string") << QJsonValue("42") << Opt(42) << false;
    QTest::newRow("19 digits max") << QJsonValue("9223372036854775807") << Opt(maxI64) << true;
    QTest::newRow("19 digits beyond") << QJsonValue("9223372036854775808") << Opt() << false;
    QTest::newRow("20 digits") << QJsonValue("10000000000000000000") << Opt() << false;
    QTest::newRow("leading zero") << QJsonValue("01") << Opt() << false;
    QTest::newRow("trailing line feed") << QJsonValue("1\n") << Opt() << false;
    QTest::newRow("sign") << QJsonValue("+1") << Opt() << false;
    QTest::newRow("negative string") << QJsonValue("-1") << Opt() << false;
    QTest::newRow("empty string") << QJsonValue("") << Opt() << false;
    QTest::newRow("negative number") << QJsonValue(-1) << Opt() << false;
    QTest::newRow("fraction") << QJsonValue(1.5) << Opt() << false;
    QTest::newRow("bool") << QJsonValue(true) << Opt() << false;
    QTest::newRow("null") << QJsonValue() << Opt() << false;
}

void TestStoragePlan::byteValues()
{
    QFETCH(QJsonValue, json);
    QFETCH(Opt, parsed);
    QFETCH(bool, canonical);
    QCOMPARE(StoragePlan::parseByteValue(json), parsed);
    if (canonical)
        QCOMPARE(StoragePlan::encodeByteValue(*parsed), json);
}

void TestStoragePlan::retainedBytes_data()
{
    QTest::addColumn<bool>("package");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<Opt>("expandedBytes");
    QTest::addColumn<Opt>("expandedFiles");
    QTest::addColumn<qint64>("retained");

    QTest::newRow("media empty") << false << qint64(0) << Opt() << Opt() << qint64(0);
    QTest::newRow("media one byte") << false << qint64(1) << Opt() << Opt() << qint64(4096);
    QTest::newRow("media one block") << false << qint64(4096) << Opt() << Opt() << qint64(4096);
    QTest::newRow("media block plus one") << false << qint64(4097) << Opt() << Opt() << qint64(8192);
    QTest::newRow("media negative") << false << qint64(-9) << Opt() << Opt() << qint64(0);
    QTest::newRow("media maximal") << false << maxI64 << Opt() << Opt() << maxI64;
    QTest::newRow("media ignores expansion") << false << qint64(10) << Opt(1 << 30) << Opt(9) << qint64(4096);
    QTest::newRow("package defaults") << true << qint64(5) << Opt() << Opt()
                                      << qint64(262144000 + 5000 * 4096 + 1048576);
    QTest::newRow("package declared") << true << qint64(5) << Opt(1) << Opt(0) << qint64(4096 + 1048576);
    QTest::newRow("package files") << true << qint64(5) << Opt(8192) << Opt(3)
                                   << qint64(8192 + 3 * 4096 + 1048576);
    QTest::newRow("package huge file count") << true << qint64(5) << Opt(0) << Opt(maxI64) << maxI64;
}

void TestStoragePlan::retainedBytes()
{
    QFETCH(bool, package);
    QFETCH(qint64, bytes);
    QFETCH(Opt, expandedBytes);
    QFETCH(Opt, expandedFiles);
    QFETCH(qint64, retained);
    QCOMPARE(StoragePlan::objectRetainedBytes(package, bytes, expandedBytes, expandedFiles), retained);
}

void TestStoragePlan::measure_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("own");
    QTest::addColumn<qint64>("pending");
    QTest::addColumn<Opt>("quota");
    QTest::addColumn<StorageMeasurement>("expected");

    const qint64 gib = 1024 * mib;
    QTest::newRow("five percent reserve")
        << 100 * gib << 50 * gib << gib << 256 * mib << Opt()
        << StorageMeasurement{100 * gib, 50 * gib, 5 * gib, 256 * mib, gib, 46 * gib - 256 * mib};
    QTest::newRow("minimum reserve") << 4 * gib << 2 * gib << 0ll << 0ll << Opt()
                                     << StorageMeasurement{4 * gib, 2 * gib, 512 * mib, 0, 0, 1536 * mib};
    QTest::newRow("negatives raised") << -1ll << -5ll << -3ll << -7ll << Opt()
                                      << StorageMeasurement{0, 0, 512 * mib, 0, 0, 0};
    QTest::newRow("reserve beyond space") << gib << 100ll << 0ll << 0ll << Opt()
                                          << StorageMeasurement{gib, 100, 512 * mib, 0, 0, 0};
    QTest::newRow("quota zero") << 100 * gib << 50 * gib << 0ll << 0ll << Opt(0)
                                << StorageMeasurement{100 * gib, 50 * gib, 5 * gib, 0, 0, 0};
    QTest::newRow("quota below") << 100 * gib << 50 * gib << 0ll << 0ll << Opt(gib)
                                 << StorageMeasurement{100 * gib, 50 * gib, 5 * gib, 0, 0, gib};
    QTest::newRow("quota above") << 100 * gib << 50 * gib << 0ll << 0ll << Opt(1000 * gib)
                                 << StorageMeasurement{100 * gib, 50 * gib, 5 * gib, 0, 0, 45 * gib};
    QTest::newRow("negative quota") << 100 * gib << 50 * gib << 0ll << 0ll << Opt(-1)
                                    << StorageMeasurement{100 * gib, 50 * gib, 5 * gib, 0, 0, 0};
    QTest::newRow("huge volume reserve cap")
        << maxI64 << maxI64 << maxI64 << 0ll << Opt()
        << StorageMeasurement{maxI64, maxI64, 92233720368547758, 0, maxI64, maxI64 - 92233720368547758};
    QTest::newRow("just below the cap")
        << qint64(1844674407370955100) << 0ll << 0ll << 0ll << Opt()
        << StorageMeasurement{1844674407370955100, 0, 92233720368547755, 0, 0, 0};
}

void TestStoragePlan::measure()
{
    QFETCH(qint64, total);
    QFETCH(qint64, available);
    QFETCH(qint64, own);
    QFETCH(qint64, pending);
    QFETCH(Opt, quota);
    QFETCH(StorageMeasurement, expected);
    QCOMPARE(StoragePlan::measure(total, available, own, pending, quota), expected);
}

void TestStoragePlan::allocatedBytes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("tree/inner"));
    writeBytes(dir.filePath("big"), 3 * mib);
    writeBytes(dir.filePath("tree/one"), 100000);
    writeBytes(dir.filePath("tree/inner/two"), 200000);
    QVERIFY(QFile::link(dir.filePath("big"), dir.filePath("tree/link")));

    QCOMPARE(StoragePlan::allocatedBytes(dir.filePath("missing")), 0);
    QCOMPARE(StoragePlan::allocatedBytes(dir.filePath("big")), lstatBytes(dir.filePath("big")));
    QVERIFY(StoragePlan::allocatedBytes(dir.filePath("big")) >= 3 * mib);
    // Every entry of the tree counts once; the link counts itself, not the file it names.
    const qint64 tree = StoragePlan::allocatedBytes(dir.filePath("tree"));
    const QStringList entries{"tree", "tree/inner", "tree/one", "tree/inner/two", "tree/link"};
    qint64 sum = 0;
    for (const QString& entry : entries)
        sum += lstatBytes(dir.filePath(entry));
    QCOMPARE(tree, sum);
    QVERIFY(tree >= 300000);
    QVERIFY(tree < 3 * mib);
}

void TestStoragePlan::allocatedBytesNeverFollowsASwappedInLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("tree/inner"));
    QVERIFY(QDir(dir.path()).mkpath("elsewhere"));
    writeBytes(dir.filePath("elsewhere/big"), 3 * mib);
    // The directory becomes a link to a large tree after it was seen, before it is listed.
    afterStatOf = "inner";
    afterStatAction = [&dir] {
        QVERIFY(QDir(dir.path()).rename("tree/inner", "moved"));
        QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("tree/inner")));
    };
    const qint64 tree = StoragePlan::allocatedBytes(dir.filePath("tree"));
    QVERIFY(afterStatOf.isEmpty());
    QVERIFY2(tree < 3 * mib, qPrintable(QString::number(tree)));
}

void TestStoragePlan::toJsonKeys()
{
    StoragePlanResult result;
    result.fit = "partial";
    result.transition = "direct";
    result.target_page_ids = {"A"};
    result.excluded = {{"B", "capacity"}};
    result.decision = "compute";
    result.capacity_baseline = two53;
    result.anchor_page_id = "A";
    QJsonObject json = result.toJson();
    QCOMPARE(json.keys(), QStringList({"capacity_baseline", "decision", "evict", "excluded", "fit",
                                       "stage1_page_ids", "target_page_ids", "transition"}));
    QCOMPARE(json["capacity_baseline"], QJsonValue("9007199254740992"));
    QCOMPARE(json["excluded"], QJsonValue(QJsonArray{QJsonObject{{"page_id", "B"}, {"reason", "capacity"}}}));
    result.headroom_needed_bytes = 0;
    result.growth_eligible_since_ms = two53 - 1;
    json = result.toJson();
    QCOMPARE(json["headroom_needed_bytes"], QJsonValue(0));
    QCOMPARE(json["growth_eligible_since_ms"], QJsonValue(double(two53 - 1)));
}

void TestStoragePlan::refusesMalformedInput_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<QString>("message");

    const QString at = "pages[0].primitives[0].objects[0]: ";
    const QJsonValue none(QJsonValue::Undefined);
    QTest::newRow("no manifest") << set("manifest", none) << "manifest.pages must be an array";
    QTest::newRow("page not object") << setPages({1}) << "pages[0] must be an object";
    QTest::newRow("no page id") << setPages({QJsonObject{{"primitives", QJsonArray{}}}})
                                << "page id is required";
    QTest::newRow("empty page id") << setPages({page("", {})}) << "page id is required";
    QTest::newRow("numeric page id")
        << setPages({QJsonObject{{"id", 7}, {"primitives", QJsonArray{}}}}) << "page id is required";
    QTest::newRow("duplicate id") << setPages({page("A", {}), page("B", {}), page("A", {})})
                                  << "duplicate page id A";
    QTest::newRow("no primitives") << setPages({page("A", {}), QJsonObject{{"id", "B"}}})
                                   << "pages[1].primitives must be an array";
    QTest::newRow("no objects")
        << setPages({QJsonObject{{"id", "A"}, {"primitives", QJsonArray{QJsonObject{}}}}})
        << "pages[0].primitives[0].objects must be an array";
    QTest::newRow("uppercase sha") << setOnObject("sha256", QString(64, 'A'))
                                   << at + "sha256 must be 64 lowercase hex characters";
    QTest::newRow("short sha") << setOnObject("sha256", QString(63, 'a'))
                               << at + "sha256 must be 64 lowercase hex characters";
    QTest::newRow("sha with line feed") << setOnObject("sha256", QString(63, 'a') + '\n')
                                        << at + "sha256 must be 64 lowercase hex characters";
    QTest::newRow("empty sha (application without package)")
        << setOnObject("sha256", "") << at + "sha256 must be 64 lowercase hex characters";
    QTest::newRow("negative bytes") << setOnObject("bytes", -1) << at + "bytes must be a byte value";
    QTest::newRow("missing bytes") << setOnObject("bytes", none) << at + "bytes must be a byte value";
    QTest::newRow("empty content type (soundtrack track)")
        << setOnObject("contentType", "") << at + "contentType is required";
    QTest::newRow("missing content type")
        << setOnObject("contentType", none) << at + "contentType is required";
    QTest::newRow("unknown kind") << setOnObject("kind", "file")
                                  << at + "object kind must be media or package";
    QTest::newRow("bad expandedBytes") << setOnObject("expandedBytes", "1e3")
                                       << at + "expandedBytes must be a byte value";
    QTest::newRow("bad expandedFiles") << setOnObject("expandedFiles", -2)
                                       << at + "expandedFiles must be a byte value";
    QTest::newRow("no capacity") << set("capacity_bytes", none) << "capacity_bytes must be a byte value";
    QTest::newRow("capacity 2^53 number") << set("capacity_bytes", double(two53))
                                          << "capacity_bytes must be a byte value";
    QTest::newRow("no volume") << set("volume_total_bytes", none)
                               << "volume_total_bytes must be a byte value";
    QTest::newRow("old objects not array") << set("old_objects", QJsonObject{})
                                           << "old_objects must be an array";
    QTest::newRow("old object sha")
        << set("old_objects", QJsonArray{QJsonObject{{"sha256", "x"}, {"retained_bytes", 1}}})
        << "old_objects[0]: sha256 must be 64 lowercase hex characters";
    QTest::newRow("old object size")
        << set("old_objects", QJsonArray{QJsonObject{{"sha256", sha("o")}, {"retained_bytes", "x"}}})
        << "old_objects[0]: retained_bytes must be a byte value";
    QTest::newRow("local not array") << set("local", "a") << "local must be an array of sha256";
    QTest::newRow("local bad sha") << set("local", QJsonArray{sha("a"), "b"})
                                   << "local must be an array of sha256";
    QTest::newRow("warm sha")
        << set("tiers", QJsonObject{{"warm", QJsonArray{entries({{"w", 1}}, true)[0], QJsonObject{}}}})
        << "tiers.warm[1]: sha256 must be 64 lowercase hex characters";
    QTest::newRow("warm access")
        << set("tiers", QJsonObject{{"warm", QJsonArray{QJsonObject{
                                                {"sha256", sha("w")}, {"retained_bytes", 1},
                                                {"last_access", "1"}}}}})
        << "tiers.warm[0]: last_access must be a number";
    QTest::newRow("primitive not object")
        << setPages({QJsonObject{{"id", "A"}, {"primitives", QJsonArray{1}}}}) << "pages[0].primitives[0] must be an object";
    QTest::newRow("object not object")
        << setPages({QJsonObject{{"id", "A"}, {"primitives", QJsonArray{QJsonObject{{"objects", QJsonArray{1}}}}}}})
        << at + "object entry must be an object";
    QTest::newRow("old entry not object") << set("old_objects", QJsonArray{2})
                                          << "old_objects[0]: entry must be an object";
    QTest::newRow("tiers not object") << set("tiers", QJsonArray{}) << "tiers must be an object";
    QTest::newRow("warm not array") << set("tiers", QJsonObject{{"warm", 1}}) << "tiers.warm must be an array";
    QTest::newRow("warm size")
        << set("tiers", QJsonObject{{"warm", QJsonArray{QJsonObject{
                                                {"sha256", sha("w")}, {"retained_bytes", 0.5},
                                                {"last_access", 1}}}}})
        << "tiers.warm[0]: retained_bytes must be a byte value";
    QTest::newRow("previous not object") << set("previous", QJsonArray{}) << "previous must be an object";
    QTest::newRow("previous anchor flag")
        << set("previous", [] {
               QJsonObject p = previous({"A"}, Opt(), 0, 0, 0);
               p["anchor_on_glass"] = "true";
               return p;
           }())
        << "previous.anchor_on_glass must be a boolean";
    QTest::newRow("previous without now")
        << set("previous", [] {
               QJsonObject p = previous({"A"}, Opt(), 0, 0, 0);
               p.remove("now_ms");
               return p;
           }())
        << "previous.now_ms must be a byte value";
    QTest::newRow("previous targets")
        << set("previous", [] {
               QJsonObject p = previous({}, Opt(), 0, 0, 0);
               p["target_page_ids"] = QJsonArray{1};
               return p;
           }())
        << "previous.target_page_ids must be an array of strings";
}

void TestStoragePlan::refusesMalformedInput()
{
    QFETCH(Mutation, mutation);
    QFETCH(QString, message);
    QJsonObject input = threePages(100 * mib);
    QString error;
    QVERIFY(StoragePlan::plan(input, &error));
    mutation(input);
    QVERIFY(!StoragePlan::plan(input, &error));
    QCOMPARE(error, message);
    QVERIFY(!StoragePlan::pagesCost(input, {}));
    QVERIFY(!StoragePlan::plan(input, nullptr));
}

struct Expected {
    QString fit;
    QString transition;
    QStringList targets;
    QStringList stage1;
    QStringList excluded; // all for "capacity"
    QStringList evict;    // object names
    Opt headroom;
    QString anchor = "A";
};
Q_DECLARE_METATYPE(Expected)

namespace {

void compareResult(const StoragePlanResult& result, const Expected& expected)
{
    QCOMPARE(result.fit, expected.fit);
    QCOMPARE(result.transition, expected.transition);
    QCOMPARE(result.target_page_ids, expected.targets);
    QCOMPARE(result.stage1_page_ids, expected.stage1);
    QStringList excluded;
    for (const StorageExclusion& exclusion : result.excluded) {
        QCOMPARE(exclusion.reason, QString("capacity"));
        excluded.append(exclusion.page_id);
    }
    QCOMPARE(excluded, expected.excluded);
    QCOMPARE(result.evict, shas(expected.evict));
    QCOMPARE(result.headroom_needed_bytes, expected.headroom);
    QCOMPARE(result.anchor_page_id, expected.anchor);
}

} // namespace

void TestStoragePlan::fitBranches_data()
{
    QTest::addColumn<QJsonObject>("input");
    QTest::addColumn<Expected>("expected");

    const QStringList all{"A", "B", "C"};
    const QJsonArray spare = entries({{"w1", 4 * mib}}, true);
    QTest::newRow("fits") << threePages(64 * mib, {}, spare)
                          << Expected{"fits", "direct", all, {}, {}, {}, Opt()};
    QTest::newRow("fits after eviction of the oldest")
        << threePages(65 * mib, {}, entries({{"w2", 4 * mib}, {"w1", 4 * mib}, {"b", 20 * mib}}, true))
        << Expected{"fits_after_eviction", "direct", all, {}, {}, {"w2"}, Opt()};
    QTest::newRow("old object shared with the new pages counts once")
        << threePages(60 * mib, entries({{"a", 10 * mib}}))
        << Expected{"fits", "direct", all, {}, {}, {}, Opt()};
    QTest::newRow("retention reduced")
        << threePages(70 * mib, entries({{"o", 15 * mib}}), spare)
        << Expected{"retention_reduced", "staged", all, {"A", "B"}, {}, {"w1"}, Opt()};
    QTest::newRow("transition blocked")
        << threePages(60 * mib, entries({{"o", 55 * mib}}), spare)
        << Expected{"transition_blocked", "blocked", all, {}, {}, {}, Opt(5 * mib)};
    QTest::newRow("partial direct evicts an excluded page's object")
        << threePages(35 * mib, {}, entries({{"c", 30 * mib}, {"a", 10 * mib}}, true))
        << Expected{"partial", "direct", {"A", "B"}, {}, {"C"}, {"c"}, Opt(25 * mib)};
    QTest::newRow("partial staged")
        << threePages(35 * mib, entries({{"o", 10 * mib}}))
        << Expected{"partial", "staged", {"A", "B"}, {"A"}, {"C"}, {}, Opt(25 * mib)};
    QTest::newRow("partial whose anchor cannot fit beside the old objects")
        << threePages(35 * mib, entries({{"o", 30 * mib}}), spare)
        << Expected{"transition_blocked", "blocked", {"A", "B"}, {}, {"C"}, {}, Opt(5 * mib)};
    QTest::newRow("none fit") << threePages(5 * mib, {}, spare)
                              << Expected{"none_fit", "blocked", {}, {}, all, {}, Opt(55 * mib)};
    QTest::newRow("zero capacity") << threePages(0)
                                   << Expected{"none_fit", "blocked", {}, {}, all, {}, Opt(60 * mib)};

    QJsonObject shared = threePages(30 * mib);
    setPages({page("A", {media("a", 10 * mib)}), page("B", {media("a", 10 * mib), media("b", 20 * mib)}),
              page("C", {media("c", 1)})})(shared);
    QTest::newRow("shared objects count once")
        << shared << Expected{"partial", "direct", {"A", "B"}, {}, {"C"}, {}, Opt(4096)};

    QJsonObject adslots = threePages(12 * mib);
    setPages({page("S", {}, true), page("A", {media("a", 10 * mib)}), page("B", {media("b", 20 * mib)})})(adslots);
    QTest::newRow("adslot pages ride along")
        << adslots << Expected{"partial", "direct", {"S", "A"}, {}, {"B"}, {}, Opt(18 * mib)};
    setPages({page("S", {}, true)})(adslots);
    QTest::newRow("only adslot pages") << adslots
                                       << Expected{"fits", "direct", {"S"}, {}, {}, {}, Opt(), ""};
    QJsonObject onGlass = threePages(35 * mib);
    onGlass["previous"] = previous({"C", "A"}, Opt(), 0, 0, 35 * mib, {}, true);
    QTest::newRow("anchor kept from the glass")
        << onGlass << Expected{"partial", "direct", {"C"}, {}, {"A", "B"}, {}, Opt(25 * mib), "C"};
}

void TestStoragePlan::fitBranches()
{
    QFETCH(QJsonObject, input);
    QFETCH(Expected, expected);
    QString error;
    const std::optional<StoragePlanResult> result = StoragePlan::plan(input, &error);
    QVERIFY2(result, qPrintable(error));
    compareResult(*result, expected);
    QCOMPARE(result->capacity_baseline, qint64(input["capacity_bytes"].toDouble()));
}

void TestStoragePlan::evictionFollowsLastAccess()
{
    // Ties on the access time fall back to the digest; the newest object stays.
    QJsonArray warm;
    const QList<std::pair<QString, double>> stamps{{"w4", 30}, {"w2", 10}, {"w3", 10}, {"w1", 20}};
    for (const auto& [name, access] : stamps)
        warm.append(QJsonObject{{"sha256", sha(name)}, {"retained_bytes", double(mib)}, {"last_access", access}});
    const std::optional<StoragePlanResult> result = StoragePlan::plan(threePages(61 * mib, {}, warm), nullptr);
    QVERIFY(result);
    QCOMPARE(result->evict, shas({"w2", "w3", "w1"}));
    const std::optional<StoragePlanResult> staged =
        StoragePlan::plan(threePages(61 * mib, entries({{"o", 5 * mib}}), warm), nullptr);
    QVERIFY(staged);
    QCOMPARE(staged->evict, shas({"w2", "w3", "w1", "w4"}));
}

void TestStoragePlan::hysteresis_data()
{
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<QJsonObject>("previous");
    QTest::addColumn<QString>("decision");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QStringList>("stage1");
    QTest::addColumn<Opt>("growth");
    QTest::addColumn<qint64>("baseline");
    QTest::addColumn<QString>("fit");
    QTest::addColumn<QJsonArray>("old");

    const qint64 now = 1800000000000;
    const QStringList all{"A", "B", "C"};
    const QStringList ab{"A", "B"};
    QTest::newRow("hold keeps a close baseline")
        << 100 * mib << previous(all, Opt(5), now, 0, 160 * mib) << "hold" << all << QStringList() << Opt(5) << 160 * mib << QString("fits") << QJsonArray();
    QTest::newRow("hold takes a moved baseline")
        << 100 * mib << previous(all, Opt(), now, 0, 164 * mib) << "hold" << all << QStringList() << Opt() << 100 * mib << QString("fits") << QJsonArray();
    QTest::newRow("hold tolerance of a twentieth")
        << 1910 * mib << previous(all, Opt(), now, 0, 2000 * mib) << "hold" << all << QStringList() << Opt() << 2000 * mib << QString("fits") << QJsonArray();
    QTest::newRow("same targets but eviction due")
        << 60 * mib << previous(all, Opt(7), now, 0, 60 * mib) << "compute" << all << QStringList() << Opt(7) << 60 * mib << QString("fits_after_eviction") << QJsonArray();
    QTest::newRow("shrink") << 35 * mib << previous(all, Opt(5), now, 3, 60 * mib) << "shrink" << ab
                            << QStringList() << Opt() << 35 * mib << QString("partial") << QJsonArray();
    QTest::newRow("grow after an hour")
        << 100 * mib << previous(ab, Opt(now - 3600000), now, 3, 35 * mib) << "grow" << all << QStringList()
        << Opt() << 100 * mib << QString("fits") << QJsonArray();
    QTest::newRow("growth too early")
        << 100 * mib << previous(ab, Opt(now - 3599999), now, 0, 35 * mib) << "hold" << ab << QStringList()
        << Opt(now - 3599999) << 100 * mib << QString("partial") << QJsonArray();
    QTest::newRow("growth starts its wait")
        << 100 * mib << previous(ab, Opt(), now, 0, 100 * mib) << "hold" << ab << QStringList() << Opt(now)
        << 100 * mib << QString("partial") << QJsonArray();
    QTest::newRow("growth after four cycles")
        << 100 * mib << previous(ab, Opt(1), now, 4, 35 * mib) << "hold" << ab << QStringList() << Opt(1)
        << 100 * mib << QString("partial") << QJsonArray();
    QTest::newRow("growth from no content page at once")
        << 100 * mib << previous({}, Opt(), now, 4, 5 * mib) << "grow" << all << QStringList() << Opt()
        << 100 * mib << QString("fits") << QJsonArray();
    QTest::newRow("held staged plan without stage one takes the anchor")
        << 100 * mib << previous(ab, Opt(), now, 0, 100 * mib, {"C"}) << "hold" << ab << QStringList{"A"}
        << Opt(now) << 100 * mib << QString("partial") << QJsonArray();
    QJsonObject wasFitting = previous(ab, Opt(), now, 0, 100 * mib);
    wasFitting["fit"] = "fits";
    QTest::newRow("held plan that excludes a page is partial")
        << 100 * mib << wasFitting << "hold" << ab << QStringList() << Opt(now) << 100 * mib << QString("partial") << QJsonArray();
    QTest::newRow("held staged plan keeps its stage one")
        << 100 * mib << previous(ab, Opt(), now, 0, 100 * mib, {"A", "C"}) << "hold" << ab << QStringList{"A"}
        << Opt(now) << 100 * mib << QString("partial") << QJsonArray();
    // C alone beside what plays (5 MiB) no longer fits 32 MiB; A and B fit when staged.
    QTest::newRow("held targets that no longer fit shrink")
        << 32 * mib << previous({"C"}, Opt(), now, 0, 40 * mib) << "shrink" << ab << QStringList{"A"}
        << Opt() << 32 * mib << QString("partial") << entries({{"o", 5 * mib}});
    // C was left out only because its object did not come when it was to be the anchor.
    QJsonObject anchorLost = previous(ab, Opt(now), now, 0, 100 * mib);
    anchorLost["excluded"] = QJsonArray{QJsonObject{{"page_id", "C"}, {"reason", "anchor_unavailable"}}};
    QTest::newRow("an anchor left out for its object is taken back at once")
        << 100 * mib << anchorLost << "compute" << all << QStringList() << Opt(now) << 100 * mib
        << QString("fits") << QJsonArray();
    // Only one page fits now: the page on glass, anchor of the first stage, is the one kept.
    QTest::newRow("a staged plan on glass stays anchored on its first stage")
        << 25 * mib << previous(ab, Opt(), now, 0, 100 * mib, {"B"}, true) << "shrink" << QStringList{"B"}
        << QStringList() << Opt() << 25 * mib << QString("partial") << QJsonArray();
}

void TestStoragePlan::hysteresis()
{
    QFETCH(qint64, capacity);
    QFETCH(QJsonObject, previous);
    QFETCH(QString, decision);
    QFETCH(QStringList, targets);
    QFETCH(QStringList, stage1);
    QFETCH(Opt, growth);
    QFETCH(qint64, baseline);
    QFETCH(QString, fit);
    QFETCH(QJsonArray, old);
    QJsonObject input = threePages(capacity, old, entries({{"w1", 4 * mib}}, true));
    input["previous"] = previous;
    const std::optional<StoragePlanResult> result = StoragePlan::plan(input, nullptr);
    QVERIFY(result);
    QCOMPARE(result->decision, decision);
    QCOMPARE(result->fit, fit);
    QCOMPARE(result->target_page_ids, targets);
    QCOMPARE(result->stage1_page_ids, stage1);
    QCOMPARE(result->growth_eligible_since_ms, growth);
    QCOMPARE(result->capacity_baseline, baseline);
    if (decision == "hold")
        QVERIFY(result->evict.isEmpty());
    for (const StorageExclusion& exclusion : result->excluded)
        QVERIFY(!targets.contains(exclusion.page_id));
    QCOMPARE(result->excluded.size() + targets.size(), 3);
}

void TestStoragePlan::pagesCost_data()
{
    QTest::addColumn<QStringList>("pages");
    QTest::addColumn<Opt>("cost");
    QTest::newRow("every page") << QStringList() << Opt(60 * mib);
    QTest::newRow("one page") << QStringList{"B"} << Opt(20 * mib);
    QTest::newRow("unknown ids add nothing") << QStringList{"B", "X"} << Opt(20 * mib);
    QTest::newRow("only unknown ids") << QStringList{"X"} << Opt(0);
    QTest::newRow("shared object once") << QStringList{"A", "D"} << Opt(10 * mib + 283672576);
}

void TestStoragePlan::pagesCost()
{
    QFETCH(QStringList, pages);
    QFETCH(Opt, cost);
    QJsonObject input = threePages(0);
    QJsonArray list = input["manifest"].toObject()["pages"].toArray();
    // D holds A's object again (smaller, the larger size wins) and a package without sizes.
    list.append(page("D", {media("a", 1), QJsonObject{{"sha256", sha("d")}, {"bytes", 1},
                                                      {"contentType", "x"}, {"kind", "package"}}}));
    setPages(list)(input);
    if (pages.isEmpty())
        cost = *cost + 283672576;
    QCOMPARE(StoragePlan::pagesCost(input, pages), cost);
}

void TestStoragePlan::anchorUnavailable_data()
{
    QTest::addColumn<StoragePlanResult>("before");
    QTest::addColumn<StoragePlanResult>("after");
    QTest::addColumn<bool>("withheld"); // the anchor's object withheld by its origin

    StoragePlanResult staged{"partial", "staged", {"A", "B", "D"}, {"A", "B"}, {{"C", "capacity"}},
                             {sha("w")}, "compute", 9, Opt(3), Opt(4), "A"};
    StoragePlanResult stagedAfter{"partial", "staged", {"B", "D"}, {"B"},
                                  {{"C", "capacity"}, {"A", "anchor_unavailable"}},
                                  {}, "anchor_unavailable", 9, Opt(3), Opt(4), "B"};
    QTest::newRow("stage one keeps other pages") << staged << stagedAfter << false;

    staged.target_page_ids = {"A", "B"};
    staged.stage1_page_ids = {"A"};
    stagedAfter.target_page_ids = {"B"};
    stagedAfter.stage1_page_ids = {"B"};
    stagedAfter.anchor_page_id = "B";
    QTest::newRow("empty stage one takes the new anchor") << staged << stagedAfter << false;

    StoragePlanResult direct{"retention_reduced", "direct", {"A", "B"}, {}, {}, {}, "hold", 9, Opt(), Opt(), "A"};
    StoragePlanResult directAfter{"retention_reduced", "direct", {"B"}, {}, {{"A", "anchor_unavailable"}},
                                  {}, "anchor_unavailable", 9, Opt(), Opt(), "B"};
    QTest::newRow("direct") << direct << directAfter << false;

    StoragePlanResult last{"partial", "staged", {"A"}, {"A"}, {{"B", "capacity"}}, {sha("w")},
                           "compute", 9, Opt(1), Opt(), "A"};
    StoragePlanResult lastAfter{"none_fit", "blocked", {}, {},
                                {{"B", "capacity"}, {"A", "anchor_unavailable"}},
                                {}, "anchor_unavailable", 9, Opt(1), Opt(), ""};
    QTest::newRow("last remaining target") << last << lastAfter << false;

    // X is an ad page ahead of every content page.
    StoragePlanResult adFirst{"partial", "staged", {"X", "A", "B"}, {"X", "A"}, {{"C", "capacity"}},
                              {}, "compute", 9, Opt(3), Opt(), "A"};
    StoragePlanResult adFirstAfter{"partial", "staged", {"X", "B"}, {"X", "B"},
                                   {{"C", "capacity"}, {"A", "anchor_unavailable"}},
                                   {}, "anchor_unavailable", 9, Opt(3), Opt(), "B"};
    QTest::newRow("ad page first never becomes the anchor") << adFirst << adFirstAfter << false;

    StoragePlanResult adLeft{"partial", "direct", {"X", "A"}, {}, {{"B", "capacity"}}, {}, "compute", 9,
                             Opt(1), Opt(), "A"};
    StoragePlanResult adLeftAfter{"none_fit", "blocked", {}, {},
                                  {{"B", "capacity"}, {"A", "anchor_unavailable"}},
                                  {}, "anchor_unavailable", 9, Opt(1), Opt(), ""};
    QTest::newRow("only an ad page left") << adLeft << adLeftAfter << false;

    StoragePlanResult kept{"partial", "staged", {"A", "B", "D"}, {"B"}, {{"C", "capacity"}}, {},
                           "anchor_unavailable", 9, Opt(3), Opt(4), "B"};
    staged.target_page_ids = {"A", "B", "D"};
    staged.stage1_page_ids = {"A", "B"};
    QTest::newRow("withheld, after stage one") << staged << kept << true;
    staged.stage1_page_ids = {"A"};
    QTest::newRow("withheld, stage one taken by the new anchor") << staged << kept << true;
    kept = {"retention_reduced", "staged", {"A", "B"}, {"B"}, {}, {}, "anchor_unavailable", 9,
            Opt(), Opt(), "B"};
    QTest::newRow("withheld, a direct switch staged") << direct << kept << true;
    QTest::newRow("withheld, last remaining target") << last << lastAfter << true;
}

void TestStoragePlan::anchorUnavailable()
{
    QFETCH(StoragePlanResult, before);
    QFETCH(StoragePlanResult, after);
    QFETCH(bool, withheld);
    const QStringList ids{"X", "A", "B", "C", "D"};
    const QSet<QString> adslots{"X"};
    QCOMPARE(StoragePlan::withAnchorUnavailable(before, ids, adslots, withheld).toJson(), after.toJson());
    QCOMPARE(StoragePlan::withAnchorUnavailable(before, ids, adslots, withheld), after);
}

QTEST_GUILESS_MAIN(TestStoragePlan)
#include "tst_storageplan.moc"
