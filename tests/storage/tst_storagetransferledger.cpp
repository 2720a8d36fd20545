#include "storage/StorageTransferLedger.h"

#include "tests/support/TestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {

constexpr qint64 hour = 3600000;
// An instant in the middle of an hour, far from the epoch.
constexpr qint64 base = 490000 * hour + 1800000;

QString digest(int i)
{
    return QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0'));
}

QJsonObject totals(qint64 n, qint64 r, qint64 p, qint64 f)
{
    return QJsonObject{{"new", double(n)}, {"refetch", double(r)}, {"repair", double(p)},
                       {"failed", double(f)}};
}

} // namespace

class TestStorageTransferLedger : public QObject {
    Q_OBJECT

private slots:
    void init();

    void window_data();
    void window();
    void recordIgnoresNothingToCount();
    void evictedList_data();
    void evictedList();
    void evictedCapDropsOldestFirst();

    void roundTrip();
    void writtenValuesReadBack_data();
    void writtenValuesReadBack();
    void evictedCapAfterRefreshes();
    void loadRefuses_data();
    void loadRefuses();
    void loadOfAbsentFile();
    void saveFailsWhereParentIsBlocked();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath("playback-state/storage-transfer.json"); }
};

void TestStorageTransferLedger::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestStorageTransferLedger::window_data()
{
    QTest::addColumn<qint64>("recordedAt");
    QTest::addColumn<qint64>("askedAt");
    QTest::addColumn<bool>("counted");
    const qint64 hourStart = base - 1800000;
    QTest::newRow("same instant") << base << base << true;
    QTest::newRow("23 hours earlier") << base - 23 * hour << base << true;
    QTest::newRow("start of the oldest hour counted") << hourStart - 23 * hour << base << true;
    QTest::newRow("24 hours earlier is out") << base - 24 * hour << base << false;
    QTest::newRow("last millisecond of the hour before the window")
        << hourStart - 23 * hour - 1 << base << false;
    QTest::newRow("a later hour than asked for") << base + hour << base << false;
    QTest::newRow("later in the same hour") << hourStart + hour - 1 << base << true;
}

void TestStorageTransferLedger::window()
{
    QFETCH(qint64, recordedAt);
    QFETCH(qint64, askedAt);
    QFETCH(bool, counted);
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::Repair, 1234, recordedAt);
    QCOMPARE(ledger.transfer24h(askedAt), counted ? totals(0, 0, 1234, 0) : totals(0, 0, 0, 0));
}

void TestStorageTransferLedger::recordIgnoresNothingToCount()
{
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::New, 0, base);
    ledger.record(StorageTransferLedger::New, -5, base);
    ledger.record(StorageTransferLedger::Reason(7), 100, base);
    ledger.record(StorageTransferLedger::New, 10, base);
    ledger.record(StorageTransferLedger::New, 5, base - 2 * hour);
    ledger.record(StorageTransferLedger::Refetch, 3, base);
    ledger.record(StorageTransferLedger::Failed, 1, base);
    QCOMPARE(ledger.transfer24h(base), totals(15, 3, 0, 1));
    // A total that no JSON integer can carry exactly is held at the largest one that can.
    ledger.record(StorageTransferLedger::New, std::numeric_limits<qint64>::max(), base);
    ledger.record(StorageTransferLedger::New, std::numeric_limits<qint64>::max(), base);
    QCOMPARE(ledger.transfer24h(base).value("new").toInteger(), (qint64(1) << 53) - 1);
}

void TestStorageTransferLedger::evictedList_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("remembered");
    QTest::newRow("digest") << digest(1) << true;
    QTest::newRow("uppercase") << digest(0xabc).toUpper() << false;
    QTest::newRow("short") << digest(1).left(63) << false;
    QTest::newRow("trailing line feed") << digest(1) + "\n" << false;
    QTest::newRow("empty") << QString() << false;
}

void TestStorageTransferLedger::evictedList()
{
    QFETCH(QString, name);
    QFETCH(bool, remembered);
    StorageTransferLedger ledger(path());
    ledger.noteEvicted(name, base);
    QCOMPARE(ledger.wasEvicted(name), remembered);
    ledger.noteEvicted(name, base + 1);
    QCOMPARE(ledger.evictedCount(), remembered ? 1 : 0);
    ledger.forgetEvicted(name);
    QVERIFY(!ledger.wasEvicted(name));
}

void TestStorageTransferLedger::evictedCapDropsOldestFirst()
{
    StorageTransferLedger ledger(path());
    for (int i = 0; i < StorageTransferLedger::maxEvicted; ++i)
        ledger.noteEvicted(digest(i), base + i);
    // Noting again refreshes the time instead of adding an entry.
    ledger.noteEvicted(digest(0), base + 20000);
    QCOMPARE(ledger.evictedCount(), StorageTransferLedger::maxEvicted);
    ledger.noteEvicted(digest(20000), base + 20001);
    QCOMPARE(ledger.evictedCount(), StorageTransferLedger::maxEvicted);
    QVERIFY(ledger.wasEvicted(digest(0)));
    QVERIFY(!ledger.wasEvicted(digest(1)));
    QVERIFY(ledger.wasEvicted(digest(2)));
    QVERIFY(ledger.wasEvicted(digest(20000)));
}

void TestStorageTransferLedger::roundTrip()
{
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::New, 100, base);
    ledger.record(StorageTransferLedger::Refetch, qint64(1) << 60, base - hour);
    ledger.record(StorageTransferLedger::Failed, 7, base - 5 * hour);
    ledger.noteEvicted(digest(1), base);
    ledger.noteEvicted(digest(2), base - 10);
    QVERIFY(ledger.save());
    QCOMPARE(tf::modeOf(path()), 0600);
    QCOMPARE(tf::modeOf(QFileInfo(path()).absolutePath()), 0700);
    QVERIFY(!tf::read(path()).contains('\n'));

    StorageTransferLedger loaded(path());
    QCOMPARE(loaded.transfer24h(base), totals(0, 0, 0, 0)); // the constructor does not read
    QVERIFY(loaded.load());
    QCOMPARE(loaded.transfer24h(base), ledger.transfer24h(base));
    QCOMPARE(loaded.transfer24h(base - 5 * hour), ledger.transfer24h(base - 5 * hour));
    QVERIFY(loaded.wasEvicted(digest(1)));
    QVERIFY(loaded.wasEvicted(digest(2)));
    QCOMPARE(loaded.evictedCount(), 2);
    // Byte counts beyond 2^53 survive exactly (as decimal strings).
    loaded.record(StorageTransferLedger::Refetch, 1, base);
    const qint64 refetched = loaded.transfer24h(base).value("refetch").toInteger();
    QCOMPARE(refetched, (qint64(1) << 53) - 1);
}

void TestStorageTransferLedger::writtenValuesReadBack_data()
{
    QTest::addColumn<qint64>("atMs");
    QTest::addColumn<QJsonValue>("written");
    QTest::addColumn<qint64>("bytes");
    constexpr qint64 two53 = qint64(1) << 53;
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("negative") << qint64(-1) << QJsonValue(0) << qint64(1);
    QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << QJsonValue(0) << qint64(2);
    QTest::newRow("zero") << qint64(0) << QJsonValue(0) << qint64(1);
    QTest::newRow("below 2^53") << two53 - 1 << QJsonValue(double(two53 - 1)) << two53 - 1;
    QTest::newRow("2^53") << two53 << QJsonValue("9007199254740992") << two53;
    QTest::newRow("19 digits") << qint64(1000000000000000000) << QJsonValue("1000000000000000000")
                               << qint64(1000000000000000000);
    QTest::newRow("largest") << max << QJsonValue("9223372036854775807") << max;
}

void TestStorageTransferLedger::writtenValuesReadBack()
{
    QFETCH(qint64, atMs);
    QFETCH(QJsonValue, written);
    QFETCH(qint64, bytes);
    StorageTransferLedger ledger(path());
    ledger.noteEvicted(digest(7), atMs);
    // The hour follows the eviction time, so hours before the epoch and far ahead are written too.
    ledger.record(StorageTransferLedger::Repair, bytes, atMs);
    QVERIFY(ledger.save());
    const QJsonObject root = QJsonDocument::fromJson(tf::read(path())).object();
    QCOMPARE(root["evicted"].toArray().at(0).toObject().value("at_ms"), written);

    StorageTransferLedger loaded(path());
    QVERIFY(loaded.load());
    QVERIFY(loaded.wasEvicted(digest(7)));
    QCOMPARE(loaded.transfer24h(atMs), ledger.transfer24h(atMs));
    // What was read is written again unchanged.
    QVERIFY(loaded.save());
    QCOMPARE(QJsonDocument::fromJson(tf::read(path())).object(), root);
}

void TestStorageTransferLedger::evictedCapAfterRefreshes()
{
    // Refreshed and forgotten entries leave the age order with them.
    StorageTransferLedger ledger(path());
    for (int i = 0; i < StorageTransferLedger::maxEvicted; ++i)
        ledger.noteEvicted(digest(i), base + i);
    for (int i = 0; i < 10; ++i)
        ledger.noteEvicted(digest(i), base + 30000 + i);
    ledger.forgetEvicted(digest(10));
    ledger.noteEvicted(digest(20000), base + 40000);
    QCOMPARE(ledger.evictedCount(), StorageTransferLedger::maxEvicted);
    QVERIFY(ledger.wasEvicted(digest(11)));
    ledger.noteEvicted(digest(20001), base + 40001);
    QVERIFY(!ledger.wasEvicted(digest(11)));
    QVERIFY(ledger.wasEvicted(digest(0)));
    QVERIFY(ledger.wasEvicted(digest(12)));
    QCOMPARE(ledger.evictedCount(), StorageTransferLedger::maxEvicted);
}

void TestStorageTransferLedger::loadRefuses_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray good = R"({"format":1,"hours":[{"hour":490000,"new":1,"refetch":0,"repair":0,"failed":0}],"evicted":[]})";
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("torn") << good.left(good.size() / 2);
    QTest::newRow("not an object") << QByteArray("[1,2]");
    QTest::newRow("other format") << QByteArray(good).replace("\"format\":1", "\"format\":2");
    QTest::newRow("negative bytes") << QByteArray(good).replace("\"new\":1", "\"new\":-1");
    QTest::newRow("fractional hour") << QByteArray(good).replace("490000", "490000.5");
    QTest::newRow("hour beyond 64 bits") << QByteArray(good).replace("490000", "1e300");
    QTest::newRow("hour beyond the range") << QByteArray(good).replace("490000", "-1e16");
    QTest::newRow("bytes as a padded string")
        << QByteArray(good).replace("\"new\":1", "\"new\":\"01\"");
    QTest::newRow("bad evicted digest")
        << QByteArray(good).replace("\"evicted\":[]", "\"evicted\":[{\"sha256\":\"ab\",\"at_ms\":1}]");
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\x10garbage", 10);
}

void TestStorageTransferLedger::loadRefuses()
{
    QFETCH(QByteArray, content);
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::New, 55, base);
    ledger.noteEvicted(digest(3), base);
    QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
    QVERIFY(tf::write(path(), content));
    QVERIFY(!ledger.load());
    QCOMPARE(ledger.transfer24h(base), totals(0, 0, 0, 0));
    QCOMPARE(ledger.evictedCount(), 0);
}

void TestStorageTransferLedger::loadOfAbsentFile()
{
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::New, 55, base);
    QVERIFY(ledger.load());
    QCOMPARE(ledger.transfer24h(base), totals(0, 0, 0, 0));
    // A link in place of the file is not followed: it reads as unreadable.
    QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
    const QString elsewhere = m_dir->filePath("elsewhere.json");
    QVERIFY(tf::write(elsewhere, R"({"format":1,"hours":[],"evicted":[]})"));
    QVERIFY(tf::symlinkTo(elsewhere, path()));
    QVERIFY(!ledger.load());
}

void TestStorageTransferLedger::saveFailsWhereParentIsBlocked()
{
    QVERIFY(tf::write(m_dir->filePath("playback-state"), "a file, not a directory"));
    StorageTransferLedger ledger(path());
    ledger.record(StorageTransferLedger::New, 1, base);
    QVERIFY(!ledger.save());
    // A directory where the file belongs cannot be replaced either.
    QVERIFY(QFile::remove(m_dir->filePath("playback-state")));
    QVERIFY(QDir().mkpath(path()));
    QVERIFY(!ledger.save());
}

QTEST_GUILESS_MAIN(TestStorageTransferLedger)
#include "tst_storagetransferledger.moc"
