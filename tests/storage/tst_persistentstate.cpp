#include "storage/PersistentState.h"
#include "storage/StorageFiles.h"
#include "storage/StorageTransferLedger.h"

#include "tests/storage/FsyncRecorder.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <dlfcn.h>
#include <sys/wait.h>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {

QByteArray binaryBody()
{
    QByteArray body;
    for (int i = 0; i < 512; ++i)
        body.append(char(i % 256));
    return body + "\r\n{\"pages\":[]}\n";
}

QDateTime utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

// Set in a forked child only: the process is killed the moment a rename onto this path starts,
// as a power cut between a save's temporary file and its rename would leave things.
QByteArray killAtRenameOnto;

} // namespace

// Interposes the C library's rename for the whole test process.
extern "C" int rename(const char* from, const char* to)
{
    using Real = int (*)(const char*, const char*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "rename"));
    if (!killAtRenameOnto.isEmpty() && killAtRenameOnto == to)
        ::kill(::getpid(), SIGKILL);
    return real(from, to);
}

class TestPersistentState : public QObject {
    Q_OBJECT

private slots:
    void init();

    // Last known good copy and its plan.
    void lastKnownGoodRoundTrip_data();
    void lastKnownGoodRoundTrip();
    void lastKnownGoodRefusesValues();
    void saveStoragePlan_data();
    void saveStoragePlan();
    void clearLastKnownGood();
    void clearingIsSynced_data();
    void clearingIsSynced();
    void newDirectoriesAreSynced();

    // Small state files.
    void enrolledMarker();
    void screenLabel_data();
    void screenLabel();
    void reloadLedgerRoundTrip();
    void reloadLedgerKeepsNewestOfOversizedFile();
    void reloadLedgerWritesWhatItReads_data();
    void reloadLedgerWritesWhatItReads();

    // Damaged or planted files and write failures.
    void damagedFilesLoadAsAbsent_data();
    void damagedFilesLoadAsAbsent();
    void writesNeverFollowLinks();
    void writeFailures_data();
    void writeFailures();
    void filesThatCannotChange();
    void savesKilledAtTheRename_data();
    void savesKilledAtTheRename();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString stateDir() const { return m_dir->filePath("playback-state"); }
};

void TestPersistentState::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestPersistentState::lastKnownGoodRoundTrip_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("route");
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QJsonObject>("plan");
    QTest::newRow("binary body, empty plan") << binaryBody() << "/runtime/v2/manifest"
                                             << QByteArray("W/\"r-1\"") << QJsonObject();
    QTest::newRow("empty body, no route or tag") << QByteArray() << QString() << QByteArray()
                                                 << QJsonObject();
    QTest::newRow("latin-1 tag and a plan")
        << QByteArray("{}") << "/runtime/v1/manifest" << QByteArray("\"\xe9t\xe9\"")
        << QJsonObject{{"manifest_revision", "r7"}, {"fit", "fits"}, {"capacity_baseline", 12}};
}

void TestPersistentState::lastKnownGoodRoundTrip()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, route);
    QFETCH(QByteArray, etag);
    QFETCH(QJsonObject, plan);
    const PersistentState state(stateDir());
    QString error;
    QVERIFY(state.saveLastKnownGood(body, "r7", &error, route, etag, plan));
    QVERIFY(error.isEmpty());
    QCOMPARE(tf::modeOf(stateDir()), 0700);
    QCOMPARE(tf::modeOf(state.lastKnownGoodPath()), 0600);

    QString loadedRoute = "unset";
    QByteArray loadedEtag = "unset";
    QJsonObject loadedPlan{{"unset", true}};
    QString loadedRevision;
    const std::optional<QByteArray> loaded =
        PersistentState(stateDir()).loadLastKnownGood(&loadedRoute, &loadedEtag, &loadedPlan,
                                                      &loadedRevision);
    QVERIFY(loaded);
    QCOMPARE(*loaded, body);
    QCOMPARE(loadedRoute, route);
    QCOMPARE(loadedEtag, etag);
    QCOMPARE(loadedPlan, plan);
    QCOMPARE(loadedRevision, QStringLiteral("r7"));
    // Null out-parameters are allowed.
    QCOMPARE(state.loadLastKnownGood(), loaded);
}

void TestPersistentState::lastKnownGoodRefusesValues()
{
    const PersistentState state(stateDir());
    QString error;
    QVERIFY(!state.saveLastKnownGood("{}", QString(), &error));
    QCOMPARE(error, QStringLiteral("state_value_invalid"));
    QVERIFY(!state.saveLastKnownGood(QByteArray(PersistentState::maxBodyBytes + 1, 'x'), "r1",
                                     &error));
    QCOMPARE(error, QStringLiteral("state_value_invalid"));
    QVERIFY(!state.loadLastKnownGood());
    QVERIFY(state.saveLastKnownGood(QByteArray(PersistentState::maxBodyBytes, 'x'), "r1"));
    QCOMPARE(state.loadLastKnownGood()->size(), PersistentState::maxBodyBytes);
}

void TestPersistentState::saveStoragePlan_data()
{
    QTest::addColumn<bool>("envelope");
    QTest::addColumn<QString>("planRevision");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::newRow("matching revision") << true << "r7" << true << QString();
    QTest::newRow("other revision") << true << "r8" << false << "state_plan_revision_mismatch";
    QTest::newRow("plan without revision") << true << QString() << false
                                           << "state_plan_revision_mismatch";
    QTest::newRow("no envelope") << false << "r7" << false << "state_read_failed";
    QTest::newRow("damaged envelope") << true << "<damaged>" << false << "state_read_failed";
}

void TestPersistentState::saveStoragePlan()
{
    QFETCH(bool, envelope);
    QFETCH(QString, planRevision);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    const PersistentState state(stateDir());
    const QJsonObject oldPlan{{"manifest_revision", "r7"}, {"stage", "s1"}};
    if (envelope)
        QVERIFY(state.saveLastKnownGood(binaryBody(), "r7", nullptr, "/r", "\"e\"", oldPlan));
    if (planRevision == "<damaged>") {
        // A body that no longer decodes makes the whole copy unusable; it is not rewritten.
        QByteArray stored = tf::read(state.lastKnownGoodPath());
        stored.replace("\"body_base64\":\"", "\"body_base64\":\"*");
        QVERIFY(tf::write(state.lastKnownGoodPath(), stored));
        envelope = false;
        planRevision = "r7";
    }
    QJsonObject plan{{"stage", "complete"}, {"target_page_ids", QJsonArray{"p1"}}};
    if (!planRevision.isNull())
        plan.insert("manifest_revision", planRevision);
    QString code;
    QCOMPARE(state.saveStoragePlan(plan, &code), ok);
    QCOMPARE(code, error);
    QVERIFY(state.saveStoragePlan(plan) == ok); // a null error pointer is fine
    QJsonObject stored;
    QString route;
    const std::optional<QByteArray> body = state.loadLastKnownGood(&route, nullptr, &stored);
    QCOMPARE(body.has_value(), envelope);
    if (envelope) {
        QCOMPARE(*body, binaryBody());
        QCOMPARE(route, QStringLiteral("/r"));
        QCOMPARE(stored, ok ? plan : oldPlan);
    }
}

void TestPersistentState::clearLastKnownGood()
{
    const PersistentState state(stateDir());
    QVERIFY(state.clearLastKnownGood()); // absent counts as cleared
    QVERIFY(state.saveLastKnownGood("{}", "r1"));
    QVERIFY(state.clearLastKnownGood());
    QVERIFY(!state.loadLastKnownGood());
    QVERIFY(!tf::exists(state.lastKnownGoodPath()));
}

void TestPersistentState::clearingIsSynced_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("last known good") << "last-known-good";
    QTest::newRow("enrolled") << "enrolled";
    QTest::newRow("screen label") << "screen-label";
}

void TestPersistentState::clearingIsSynced()
{
    QFETCH(QString, file);
    const PersistentState state(stateDir());
    QVERIFY(state.saveLastKnownGood("{}", "r1"));
    QVERIFY(state.markEnrolled());
    QVERIFY(state.saveScreenLabel("lobby"));
    fsyncrecorder::clear();
    if (file == "last-known-good")
        QVERIFY(state.clearLastKnownGood());
    else if (file == "enrolled")
        QVERIFY(state.clearEnrolled());
    else
        QVERIFY(state.clearScreenLabel());
    const QByteArray directory = QFile::encodeName(QFileInfo(stateDir()).canonicalFilePath());
    const QList<fsyncrecorder::Call> calls = fsyncrecorder::taken();
    QVERIFY(std::any_of(calls.cbegin(), calls.cend(), [&](const fsyncrecorder::Call& call) {
        return call.directory() && call.path == directory;
    }));
}

void TestPersistentState::newDirectoriesAreSynced()
{
    // Every level made for the state directory is recorded in its parent durably.
    const QString top = QFileInfo(m_dir->path()).canonicalFilePath();
    const PersistentState state(top + "/one/two/state");
    fsyncrecorder::clear();
    QVERIFY(state.markEnrolled());
    QSet<QByteArray> synced;
    for (const fsyncrecorder::Call& call : fsyncrecorder::taken()) {
        if (call.directory())
            synced.insert(call.path);
    }
    for (const QString& parent : {top, top + "/one", top + "/one/two", top + "/one/two/state"})
        QVERIFY2(synced.contains(QFile::encodeName(parent)), qPrintable(parent));
    QCOMPARE(tf::modeOf(top + "/one/two/state"), 0700);
}

void TestPersistentState::enrolledMarker()
{
    const PersistentState state(stateDir());
    QVERIFY(!state.isEnrolled());
    QVERIFY(state.clearEnrolled());
    QString error;
    QVERIFY(state.markEnrolled(&error));
    QVERIFY(state.isEnrolled());
    QCOMPARE(tf::modeOf(state.enrolledPath()), 0600);
    QVERIFY(state.markEnrolled());
    QVERIFY(state.clearEnrolled());
    QVERIFY(!state.isEnrolled());
    // A link planted in place of the marker does not count as one.
    const QString elsewhere = m_dir->filePath("elsewhere");
    QVERIFY(tf::write(elsewhere, "{}"));
    QVERIFY(tf::symlinkTo(elsewhere, state.enrolledPath()));
    QVERIFY(!state.isEnrolled());
}

void TestPersistentState::screenLabel_data()
{
    QTest::addColumn<QString>("label");
    QTest::newRow("plain") << "Lobby left";
    QTest::newRow("unicode") << QString::fromUtf8("Café \xe2\x9c\x93 \xf0\x9f\x93\xba");
    QTest::newRow("quotes and line feed") << "a \"b\"\nc";
    QTest::newRow("empty") << QString();
}

void TestPersistentState::screenLabel()
{
    QFETCH(QString, label);
    const PersistentState state(stateDir());
    QCOMPARE(state.loadScreenLabel(), QString());
    QString error;
    QVERIFY(state.saveScreenLabel(label, &error));
    QCOMPARE(PersistentState(stateDir()).loadScreenLabel(), label);
    QCOMPARE(tf::modeOf(state.screenMetadataPath()), 0600);
    QVERIFY(state.clearScreenLabel());
    QCOMPARE(state.loadScreenLabel(), QString());
}

void TestPersistentState::reloadLedgerRoundTrip()
{
    const PersistentState state(stateDir());
    QVERIFY(state.loadReloadLedger().entries.isEmpty());
    QVERIFY(!state.loadReloadLedger().lastReloadAt.isValid());

    RuntimeCompat::ReloadLedger ledger;
    ledger.record("reload-a", utc(1700000000123));
    ledger.record("reload:b", utc(1700000600456));
    QString error;
    QVERIFY(state.saveReloadLedger(ledger, &error));
    QCOMPARE(tf::modeOf(state.reloadLedgerPath()), 0600);

    const RuntimeCompat::ReloadLedger loaded = PersistentState(stateDir()).loadReloadLedger();
    QCOMPARE(loaded.entries, ledger.entries);
    QCOMPARE(loaded.lastReloadAt, utc(1700000600456));
    QVERIFY(loaded.contains("reload-a"));

    // A ledger that never reloaded keeps its last reload time unset.
    QVERIFY(state.saveReloadLedger(RuntimeCompat::ReloadLedger{}));
    QVERIFY(!state.loadReloadLedger().lastReloadAt.isValid());
}

void TestPersistentState::reloadLedgerWritesWhatItReads_data()
{
    QTest::addColumn<qint64>("atMs");
    QTest::addColumn<bool>("kept");
    QTest::newRow("before the epoch") << qint64(-1) << true;
    QTest::newRow("epoch") << qint64(0) << true;
    QTest::newRow("last representable") << qint64(8640000000000000) << true;
    QTest::newRow("first beyond") << qint64(8640000000000001) << false;
    QTest::newRow("2^53") << (qint64(1) << 53) << false;
    QTest::newRow("19 digits") << qint64(1000000000000000000) << false;
    QTest::newRow("far before the epoch") << qint64(-1000000000000000000) << false;
}

void TestPersistentState::reloadLedgerWritesWhatItReads()
{
    QFETCH(qint64, atMs);
    QFETCH(bool, kept);
    const PersistentState state(stateDir());
    RuntimeCompat::ReloadLedger ledger;
    ledger.entries.insert("plain", utc(1700000000000));
    ledger.entries.insert("edge", utc(atMs));
    ledger.lastReloadAt = utc(atMs);
    QVERIFY(utc(atMs).isValid());
    QVERIFY(state.saveReloadLedger(ledger));
    // A stamp the reader would refuse is not written, so the rest of the file survives.
    const RuntimeCompat::ReloadLedger loaded = state.loadReloadLedger();
    QVERIFY(loaded.contains("plain"));
    QCOMPARE(loaded.contains("edge"), kept);
    QCOMPARE(loaded.lastReloadAt, kept ? utc(atMs) : QDateTime());
}

void TestPersistentState::reloadLedgerKeepsNewestOfOversizedFile()
{
    const PersistentState state(stateDir());
    QJsonArray entries;
    const int total = RuntimeCompat::ReloadLedger::maxEntries + 10;
    for (int i = 0; i < total; ++i)
        entries.append(QJsonObject{{"id", QStringLiteral("r%1").arg(i)}, {"at_ms", 1000.0 * i}});
    QVERIFY(QDir().mkpath(stateDir()));
    QVERIFY(tf::write(state.reloadLedgerPath(),
                      QJsonDocument(QJsonObject{{"format", 1}, {"entries", entries}}).toJson()));
    const RuntimeCompat::ReloadLedger loaded = state.loadReloadLedger();
    QCOMPARE(loaded.entries.size(), RuntimeCompat::ReloadLedger::maxEntries);
    QVERIFY(!loaded.contains("r9"));
    QVERIFY(loaded.contains("r10"));
    QVERIFY(loaded.contains(QStringLiteral("r%1").arg(total - 1)));
}

void TestPersistentState::damagedFilesLoadAsAbsent_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    const QByteArray lkg =
        R"({"format":1,"revision":"r1","route":"/x","etag":"","body_base64":"e30=","saved_at_ms":1,"plan":{}})";
    QTest::newRow("lkg: valid control") << "lkg" << lkg;
    QTest::newRow("lkg: torn") << "lkg" << lkg.left(40);
    QTest::newRow("lkg: empty") << "lkg" << QByteArray();
    QTest::newRow("lkg: garbage") << "lkg" << QByteArray("\x7f" "ELF\x02\x01", 6);
    QTest::newRow("lkg: body not base64") << "lkg" << QByteArray(lkg).replace("e30=", "e3!0");
    QTest::newRow("lkg: missing revision") << "lkg" << QByteArray(lkg).replace("\"revision\":\"r1\",", "");
    QTest::newRow("lkg: plan not an object") << "lkg" << QByteArray(lkg).replace("\"plan\":{}", "\"plan\":[]");
    QTest::newRow("lkg: unknown format") << "lkg" << QByteArray(lkg).replace("\"format\":1", "\"format\":9");
    QTest::newRow("lkg: tag beyond latin-1") << "lkg" << QByteArray(lkg).replace("\"etag\":\"\"", "\"etag\":\"\\u0100\"");
    QTest::newRow("lkg: a directory") << "lkg" << QByteArray("<dir>");
    const QByteArray label = R"({"format":1,"screen_label":"Hall"})";
    QTest::newRow("label: valid control") << "label" << label;
    QTest::newRow("label: torn") << "label" << label.left(20);
    QTest::newRow("label: a symlink to a valid file") << "label" << QByteArray("<link>");
    const QByteArray reload =
        R"({"format":1,"last_reload_at_ms":5,"entries":[{"id":"a","at_ms":5}]})";
    QTest::newRow("reload: valid control") << "reload" << reload;
    QTest::newRow("reload: torn") << "reload" << reload.left(30);
    QTest::newRow("reload: entry without id") << "reload" << QByteArray(reload).replace("\"id\":\"a\",", "");
    QTest::newRow("reload: fractional time") << "reload" << QByteArray(reload).replace("\"at_ms\":5}", "\"at_ms\":5.5}");
}

void TestPersistentState::damagedFilesLoadAsAbsent()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    const PersistentState state(stateDir());
    const QString path = file == "lkg"     ? state.lastKnownGoodPath()
                       : file == "label" ? state.screenMetadataPath()
                                         : state.reloadLedgerPath();
    QVERIFY(QDir().mkpath(stateDir()));
    const bool control = QString::fromLatin1(QTest::currentDataTag()).contains("valid control");
    if (content == "<dir>") {
        QVERIFY(QDir().mkpath(path));
    } else if (content == "<link>") {
        const QString elsewhere = m_dir->filePath("elsewhere.json");
        QVERIFY(tf::write(elsewhere, R"({"format":1,"screen_label":"Hall"})"));
        QVERIFY(tf::symlinkTo(elsewhere, path));
    } else {
        QVERIFY(tf::write(path, content));
    }
    if (file == "lkg")
        QCOMPARE(state.loadLastKnownGood().has_value(), control);
    else if (file == "label")
        QCOMPARE(state.loadScreenLabel(), control ? QStringLiteral("Hall") : QString());
    else
        QCOMPARE(state.loadReloadLedger().entries.size(), control ? 1 : 0);
}

void TestPersistentState::writesNeverFollowLinks()
{
    const PersistentState state(stateDir());
    QVERIFY(QDir().mkpath(stateDir()));
    const QString victim = m_dir->filePath("victim");
    QVERIFY(tf::write(victim, "untouched"));
    QVERIFY(tf::symlinkTo(victim, state.screenMetadataPath()));
    QVERIFY(state.saveScreenLabel("Hall"));
    QCOMPARE(tf::read(victim), QByteArray("untouched"));
    QCOMPARE(QFileInfo(state.screenMetadataPath()).isSymLink(), false);
    QCOMPARE(state.loadScreenLabel(), QStringLiteral("Hall"));
    // Clearing removes a planted link itself, never its target.
    QVERIFY(tf::symlinkTo(victim, state.enrolledPath()));
    QVERIFY(state.clearEnrolled());
    QCOMPARE(tf::read(victim), QByteArray("untouched"));
}

void TestPersistentState::writeFailures_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("error");
    QTest::newRow("a file where the directory belongs") << "dir-is-file"
                                                        << "state_directory_create_failed";
    QTest::newRow("a link where the directory belongs") << "dir-is-link"
                                                        << "state_directory_create_failed";
    QTest::newRow("a directory where the file belongs") << "file-is-dir" << "state_open_failed";
}

void TestPersistentState::writeFailures()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, error);
    const PersistentState state(stateDir());
    if (obstacle == "dir-is-file") {
        QVERIFY(tf::write(stateDir(), "x"));
    } else if (obstacle == "dir-is-link") {
        QVERIFY(QDir().mkpath(m_dir->filePath("real")));
        QVERIFY(tf::symlinkTo(m_dir->filePath("real"), stateDir()));
    } else {
        QVERIFY(QDir().mkpath(state.screenMetadataPath()));
        QVERIFY(QDir().mkpath(state.enrolledPath()));
        QVERIFY(QDir().mkpath(state.reloadLedgerPath()));
        QVERIFY(QDir().mkpath(state.lastKnownGoodPath()));
    }
    QString code;
    QVERIFY(!state.saveScreenLabel("x", &code));
    QCOMPARE(code, error);
    code.clear();
    QVERIFY(!state.markEnrolled(&code));
    QCOMPARE(code, error);
    code.clear();
    QVERIFY(!state.saveReloadLedger({}, &code));
    QCOMPARE(code, error);
    code.clear();
    QVERIFY(!state.saveLastKnownGood("{}", "r1", &code));
    QCOMPARE(code, error);
    QVERIFY(!state.saveLastKnownGood("{}", "r1")); // null error pointer
    if (obstacle == "dir-is-link")
        QVERIFY(QDir(m_dir->filePath("real")).isEmpty());
}

void TestPersistentState::filesThatCannotChange()
{
    const PersistentState state(stateDir());
    QVERIFY(state.saveScreenLabel("Hall"));
    QVERIFY(state.markEnrolled());
    {
        tf::Immutable label(state.screenMetadataPath());
        tf::Immutable marker(state.enrolledPath());
        if (!label.isSet() || !marker.isSet())
            QSKIP("this file system has no immutable flag");
        QString code;
        // The save file refuses a target it could not replace before writing anything.
        QVERIFY(!state.saveScreenLabel("Lobby", &code));
        QCOMPARE(code, QStringLiteral("state_open_failed"));
        QCOMPARE(state.loadScreenLabel(), QStringLiteral("Hall"));
        QVERIFY(!state.clearScreenLabel());
        QVERIFY(!state.clearEnrolled());
        QVERIFY(state.isEnrolled());
    }
    {
        tf::Immutable directory(stateDir());
        QString code;
        QVERIFY(!state.saveReloadLedger({}, &code));
        QCOMPARE(code, QStringLiteral("state_open_failed"));
    }
    QVERIFY(state.clearScreenLabel());
}

void TestPersistentState::savesKilledAtTheRename_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("last known good") << "lkg";
    QTest::newRow("screen label") << "label";
    QTest::newRow("transfer ledger") << "ledger";
}

void TestPersistentState::savesKilledAtTheRename()
{
    QFETCH(QString, file);
    const PersistentState state(stateDir());
    const QString ledgerPath = stateDir() + "/storage-transfer-ledger.json";
    const QString target = file == "lkg"     ? state.lastKnownGoodPath()
                           : file == "label" ? state.screenMetadataPath()
                                             : ledgerPath;
    // Each save writes a different generation; the ledger counts it as bytes.
    const auto save = [&](int generation) {
        if (file == "lkg")
            return state.saveLastKnownGood(QByteArray::number(generation), "r1");
        if (file == "label")
            return state.saveScreenLabel(QString::number(generation));
        StorageTransferLedger ledger(ledgerPath);
        ledger.record(StorageTransferLedger::New, generation, 1700000000000);
        return ledger.save();
    };
    const auto loaded = [&]() -> qint64 {
        if (file == "lkg")
            return state.loadLastKnownGood().value_or("-1").toLongLong();
        if (file == "label")
            return state.loadScreenLabel().toLongLong();
        StorageTransferLedger ledger(ledgerPath);
        return ledger.load() ? ledger.transfer24h(1700000000000).value("new").toInteger() : -1;
    };
    QVERIFY(save(1));
    for (int generation = 2; generation <= 6; ++generation) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            killAtRenameOnto = QFile::encodeName(target);
            save(generation);
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "not killed at the rename");
        QCOMPARE(loaded(), qint64(1));
        // At most the one temporary is left, and it may be read for nothing.
        QStringList names = QDir(stateDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                       | QDir::NoDotAndDotDot);
        names.removeOne(QFileInfo(target).fileName());
        QCOMPARE(names, QStringList{QFileInfo(StorageFiles::saveTemporaryPath(target)).fileName()});
        QCOMPARE(tf::modeOf(StorageFiles::saveTemporaryPath(target)), 0600);
    }
    QVERIFY(save(7));
    QCOMPARE(loaded(), qint64(7));
    QCOMPARE(QDir(stateDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                        | QDir::NoDotAndDotDot),
             QStringList{QFileInfo(target).fileName()});
}

QTEST_GUILESS_MAIN(TestPersistentState)
#include "tst_persistentstate.moc"
