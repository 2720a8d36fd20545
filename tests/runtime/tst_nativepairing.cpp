#include "runtime/NativeCredentialStore.h"
#include "storage/StorageFiles.h"

#include "FsyncProbe.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace talvorine;

namespace {

const QString credential = QStringLiteral("tvp_") + QString(43, QLatin1Char('C'));
const QString deviceToken =
    QStringLiteral("tvd_") + QString(22, QLatin1Char('a')) + "_" + QString(43, QLatin1Char('b'));
const QDateTime expiry(QDate(2025, 3, 1), QTime(12, 0), Qt::UTC);

QByteArray sessionFile(const QString& code, const QString& expiresAt, const QString& cred)
{
    return QStringLiteral(R"({"code":"%1","expires_at":"%2","pairing_credential":"%3"})")
        .arg(code, expiresAt, cred)
        .toUtf8();
}

using Commit = std::function<bool(const QString& stateDir)>;

} // namespace

Q_DECLARE_METATYPE(Commit)

class TestNativePairing : public QObject {
    Q_OBJECT

private slots:
    void init();

    // patterns
    void locatorPattern_data();
    void locatorPattern();
    void pairingCredentialPattern_data();
    void pairingCredentialPattern();
    void startKeyPattern_data();
    void startKeyPattern();
    void deviceCredentialPattern_data();
    void deviceCredentialPattern();

    // the pairing session
    void sessionSavesExactlyAndLoadsBack();
    void sessionLoad_data();
    void sessionLoad();
    void sessionSaveRefusals_data();
    void sessionSaveRefusals();
    void unsafeFilesReadAsAbsent_data();
    void unsafeFilesReadAsAbsent();

    // the start key
    void startKeyLifeCycle();
    void startKeyNeverReplacesASession();
    void invalidStartKeysLeaveTheFileAlone_data();
    void invalidStartKeysLeaveTheFileAlone();
    void startKeyRefusesUnsafeFiles_data();
    void startKeyRefusesUnsafeFiles();
    void sessionWithBadFieldsIsClearedByStartKeyClear();

    // the device credential
    void credentialLoad_data();
    void credentialLoad();
    void credentialSaveAndClear();

    // durability
    void everyCommitSyncsItsDirectory_data();
    void everyCommitSyncsItsDirectory();
    void failedDirectorySyncFailsTheSave_data();
    void failedDirectorySyncFailsTheSave();
    void everyClearSyncsItsDirectory_data();
    void everyClearSyncsItsDirectory();

    void disabledStores();

private:
    QString pairingPath() const { return dir->filePath("state/pairing-session"); }
    QString credentialPath() const { return dir->filePath("state/device-credential"); }
    std::unique_ptr<QTemporaryDir> dir;
};

void TestNativePairing::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir().mkpath(dir->filePath("state")));
}

void TestNativePairing::locatorPattern_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("valid");
    QTest::newRow("digits and letters") << "ABC234" << true;
    QTest::newRow("all symbols seen") << "Z98765" << true;
    for (const char* bad : {"O", "I", "L", "0", "1"})
        QTest::addRow("with %s", bad) << QStringLiteral("ABC23") + QLatin1String(bad) << false;
    QTest::newRow("five") << "ABC23" << false;
    QTest::newRow("seven") << "ABC2345" << false;
    QTest::newRow("lower case") << "abc234" << false;
    QTest::newRow("trailing line feed") << "ABC234\n" << false;
    QTest::newRow("empty") << "" << false;
}

void TestNativePairing::locatorPattern()
{
    QFETCH(QString, code);
    QFETCH(bool, valid);
    QCOMPARE(NativePairingStore::validLocator(code), valid);
}

void TestNativePairing::pairingCredentialPattern_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    QTest::newRow("valid") << credential << true;
    QTest::newRow("URL alphabet") << QStringLiteral("tvp_") + QString(41, QLatin1Char('-')) + "_9"
                                  << true;
    QTest::newRow("42 characters") << credential.left(46) << false;
    QTest::newRow("44 characters") << credential + "C" << false;
    QTest::newRow("wrong prefix") << QStringLiteral("tvd_") + QString(43, QLatin1Char('C')) << false;
    QTest::newRow("plus sign") << credential.left(46) + "+" << false;
    QTest::newRow("trailing line feed") << credential + "\n" << false;
}

void TestNativePairing::pairingCredentialPattern()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(NativePairingStore::validPairingCredential(value), valid);
}

void TestNativePairing::startKeyPattern_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("valid");
    QTest::newRow("7 characters") << QString(7, QLatin1Char('k')) << false;
    QTest::newRow("8 characters") << QString(8, QLatin1Char('k')) << true;
    QTest::newRow("200 characters") << QString(200, QLatin1Char('k')) << true;
    QTest::newRow("201 characters") << QString(201, QLatin1Char('k')) << false;
    QTest::newRow("spaces and symbols") << "key with spaces & {json}" << true;
    QTest::newRow("line feed inside") << "abcd\nefgh" << false;
    QTest::newRow("carriage return inside") << "abcd\refgh" << false;
    QTest::newRow("trailing line feed") << "abcdefgh\n" << false;
}

void TestNativePairing::startKeyPattern()
{
    QFETCH(QString, key);
    QFETCH(bool, valid);
    QCOMPARE(NativePairingStore::validStartIdempotencyKey(key), valid);
}

void TestNativePairing::deviceCredentialPattern_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    QTest::newRow("valid") << deviceToken << true;
    QTest::newRow("underscore misplaced") << QStringLiteral("tvd_") + QString(23, QLatin1Char('a'))
                                                 + "_" + QString(42, QLatin1Char('b'))
                                          << false;
    QTest::newRow("too short") << deviceToken.left(69) << false;
    QTest::newRow("too long") << deviceToken + "b" << false;
    QTest::newRow("trailing line feed") << deviceToken + "\n" << false;
    QTest::newRow("pairing prefix") << QString(deviceToken).replace(0, 4, "tvp_") << false;
}

void TestNativePairing::deviceCredentialPattern()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(NativeCredentialStore::validDeviceCredential(value), valid);
}

void TestNativePairing::sessionSavesExactlyAndLoadsBack()
{
    const QString nested = dir->filePath("fresh/dir/pairing-session");
    const NativePairingStore store(nested);
    QVERIFY(store.save({"ABC234", credential, expiry.toOffsetFromUtc(3600)}));
    QCOMPARE(testfiles::read(nested), sessionFile("ABC234", "2025-03-01T12:00:00.000Z", credential));
    QCOMPARE(testfiles::modeOf(nested), 0600);
    QCOMPARE(testfiles::modeOf(dir->filePath("fresh/dir")), 0700);

    const auto loaded = store.load();
    QVERIFY(loaded);
    QCOMPARE(loaded->code, QStringLiteral("ABC234"));
    QCOMPARE(loaded->pairingCredential, credential);
    QCOMPARE(loaded->expiresAt, expiry);
    QCOMPARE(loaded->expiresAt.timeSpec(), Qt::UTC);
    QCOMPARE(store.locator(), std::make_pair(QStringLiteral("ABC234"), expiry));
}

void TestNativePairing::sessionLoad_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<QDateTime>("expiresAt");

    QTest::newRow("offset converted to UTC")
        << sessionFile("ABC234", "2025-03-01T13:00:00+01:00", credential) << true << expiry;
    QTest::newRow("milliseconds kept")
        << sessionFile("ABC234", "2025-03-01T12:00:00.250Z", credential) << true
        << expiry.addMSecs(250);
    QTest::newRow("long past still loads")
        << sessionFile("ABC234", "2001-01-01T00:00:00Z", credential) << true
        << QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("extra members ignored")
        << QByteArray(R"({"note":1,"code":"ABC234","expires_at":"2025-03-01T12:00:00Z",)"
                      R"("pairing_credential":")" + credential.toLatin1() + R"("})")
        << true << expiry;
    QTest::newRow("expiry not ISO 8601")
        << sessionFile("ABC234", "1 March 2025", credential) << false << QDateTime();
    QTest::newRow("expiry with trailing line feed")
        << sessionFile("ABC234", "2025-03-01T12:00:00Z\\n", credential) << false << QDateTime();
    QTest::newRow("code with O") << sessionFile("ABC23O", "2025-03-01T12:00:00Z", credential)
                                 << false << QDateTime();
    QTest::newRow("code of 7") << sessionFile("ABC2345", "2025-03-01T12:00:00Z", credential)
                               << false << QDateTime();
    QTest::newRow("bad credential")
        << sessionFile("ABC234", "2025-03-01T12:00:00Z", credential.left(40)) << false
        << QDateTime();
    QTest::newRow("pending start") << QByteArray(R"({"idempotency_key":"start-key-1"})") << false
                                   << QDateTime();
    QTest::newRow("not JSON") << QByteArray("ABC234") << false << QDateTime();
}

void TestNativePairing::sessionLoad()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, loads);
    QFETCH(QDateTime, expiresAt);
    QVERIFY(testfiles::write(pairingPath(), content));
    const NativePairingStore store(pairingPath());
    const auto session = store.load();
    QCOMPARE(session.has_value(), loads);
    if (loads) {
        QCOMPARE(session->expiresAt, expiresAt);
        QCOMPARE(session->expiresAt.timeSpec(), Qt::UTC);
    } else {
        QCOMPARE(store.locator(), std::make_pair(QString(), QDateTime()));
    }
}

void TestNativePairing::sessionSaveRefusals_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("cred");
    QTest::addColumn<QDateTime>("expiresAt");
    QTest::newRow("code with I") << "ABCI34" << credential << expiry;
    QTest::newRow("code of 5") << "ABC23" << credential << expiry;
    QTest::newRow("credential too short") << "ABC234" << credential.left(46) << expiry;
    QTest::newRow("credential with line feed") << "ABC234" << credential + "\n" << expiry;
    QTest::newRow("invalid expiry") << "ABC234" << credential << QDateTime();
}

void TestNativePairing::sessionSaveRefusals()
{
    QFETCH(QString, code);
    QFETCH(QString, cred);
    QFETCH(QDateTime, expiresAt);
    const NativePairingStore store(pairingPath());
    QVERIFY(store.saveStartIdempotencyKey("start-key-1"));
    const QByteArray before = testfiles::read(pairingPath());
    QVERIFY(!store.save({code, cred, expiresAt}));
    QCOMPARE(testfiles::read(pairingPath()), before);
}

void TestNativePairing::unsafeFilesReadAsAbsent_data()
{
    QTest::addColumn<QString>("shape");
    QTest::newRow("0644") << "0644";
    QTest::newRow("0660") << "0660";
    QTest::newRow("0602") << "0602";
    QTest::newRow("symbolic link") << "link";
}

void TestNativePairing::unsafeFilesReadAsAbsent()
{
    QFETCH(QString, shape);
    const QByteArray session = sessionFile("ABC234", "2025-03-01T12:00:00Z", credential);
    if (shape == "link") {
        QVERIFY(testfiles::write(dir->filePath("real"), session));
        QVERIFY(QFile::link(dir->filePath("real"), pairingPath()));
    } else {
        QVERIFY(testfiles::write(pairingPath(), session, shape.toInt(nullptr, 8)));
    }
    const NativePairingStore store(pairingPath());
    QVERIFY(!store.load());
    QVERIFY(store.loadStartIdempotencyKey().isEmpty());
    // A session written over a link must not land in the link's target.
    if (shape == "link") {
        QVERIFY(!store.save({"XYZ789", credential, expiry}));
        QCOMPARE(testfiles::read(dir->filePath("real")), session);
    }
}

void TestNativePairing::startKeyLifeCycle()
{
    const NativePairingStore store(pairingPath());
    QVERIFY(store.loadStartIdempotencyKey().isEmpty());
    QVERIFY(store.saveStartIdempotencyKey("start-key-1"));
    QCOMPARE(testfiles::read(pairingPath()), QByteArray(R"({"idempotency_key":"start-key-1"})"));
    QCOMPARE(testfiles::modeOf(pairingPath()), 0600);
    // A second store on the same file sees it, as after a restart.
    QCOMPARE(NativePairingStore(pairingPath()).loadStartIdempotencyKey(),
             QStringLiteral("start-key-1"));
    QVERIFY(!store.load());

    // A key that was never answered may be replaced by another.
    QVERIFY(store.saveStartIdempotencyKey("start-key-2"));
    QCOMPARE(store.loadStartIdempotencyKey(), QStringLiteral("start-key-2"));

    // The answer replaces the key.
    QVERIFY(store.save({"ABC234", credential, expiry}));
    QVERIFY(store.loadStartIdempotencyKey().isEmpty());
    QVERIFY(!testfiles::read(pairingPath()).contains("idempotency_key"));

    store.clear();
    QVERIFY(!QFileInfo::exists(pairingPath()));

    QVERIFY(store.saveStartIdempotencyKey("start-key-3"));
    store.clearStartIdempotencyKey();
    QVERIFY(!QFileInfo::exists(pairingPath()));
}

void TestNativePairing::startKeyNeverReplacesASession()
{
    const NativePairingStore store(pairingPath());
    QVERIFY(store.save({"ABC234", credential, expiry}));
    const QByteArray before = testfiles::read(pairingPath());
    QVERIFY(!store.saveStartIdempotencyKey("start-key-1"));
    QVERIFY(store.loadStartIdempotencyKey().isEmpty());
    store.clearStartIdempotencyKey();
    QCOMPARE(testfiles::read(pairingPath()), before);
}

void TestNativePairing::invalidStartKeysLeaveTheFileAlone_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("7 characters") << QString(7, QLatin1Char('k'));
    QTest::newRow("201 characters") << QString(201, QLatin1Char('k'));
    QTest::newRow("line break") << "start\nkey-1";
    QTest::newRow("trailing line feed") << "start-key-1\n";
}

void TestNativePairing::invalidStartKeysLeaveTheFileAlone()
{
    QFETCH(QString, key);
    const NativePairingStore store(pairingPath());
    QVERIFY(store.saveStartIdempotencyKey("start-key-1"));
    QVERIFY(!store.saveStartIdempotencyKey(key));
    QCOMPARE(store.loadStartIdempotencyKey(), QStringLiteral("start-key-1"));

    // A stored key that fails the pattern reads as none.
    QVERIFY(testfiles::write(pairingPath(),
                             QJsonDocument(QJsonObject{{"idempotency_key", key}}).toJson()));
    QVERIFY(store.loadStartIdempotencyKey().isEmpty());
}

void TestNativePairing::startKeyRefusesUnsafeFiles_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<bool>("saves");
    QTest::newRow("group readable file") << "0640" << false;
    QTest::newRow("symbolic link") << "link" << false;
    QTest::newRow("directory") << "directory" << false;
    QTest::newRow("owner-only garbage is overwritten") << "0600" << true;
}

void TestNativePairing::startKeyRefusesUnsafeFiles()
{
    QFETCH(QString, shape);
    QFETCH(bool, saves);
    const QString real = dir->filePath("real");
    QVERIFY(testfiles::write(real, "untouched"));
    if (shape == "link")
        QVERIFY(QFile::link(real, pairingPath()));
    else if (shape == "directory")
        QVERIFY(QDir().mkpath(pairingPath()));
    else
        QVERIFY(testfiles::write(pairingPath(), "garbage", shape.toInt(nullptr, 8)));

    const NativePairingStore store(pairingPath());
    QCOMPARE(store.saveStartIdempotencyKey("start-key-1"), saves);
    QCOMPARE(testfiles::read(real), QByteArray("untouched"));
    if (saves)
        QCOMPARE(store.loadStartIdempotencyKey(), QStringLiteral("start-key-1"));
    else if (shape == "0640")
        QCOMPARE(testfiles::read(pairingPath()), QByteArray("garbage"));
}

void TestNativePairing::sessionWithBadFieldsIsClearedByStartKeyClear()
{
    QVERIFY(testfiles::write(pairingPath(), sessionFile("ABC234", "not a date", credential)));
    const NativePairingStore store(pairingPath());
    QVERIFY(!store.load());
    store.clearStartIdempotencyKey();
    QVERIFY(!QFileInfo::exists(pairingPath()));
}

void TestNativePairing::credentialLoad_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare token") << deviceToken.toLatin1() << 0600 << deviceToken;
    QTest::newRow("trailing line feed trimmed") << deviceToken.toLatin1() + "\n" << 0600
                                                << deviceToken;
    QTest::newRow("surrounding white space trimmed")
        << " \t" + deviceToken.toLatin1() + "\r\n" << 0600 << deviceToken;
    QTest::newRow("read-only owner file") << deviceToken.toLatin1() << 0400 << deviceToken;
    QTest::newRow("mode 0644") << deviceToken.toLatin1() << 0644 << QString();
    QTest::newRow("two tokens") << deviceToken.toLatin1() + "\n" + deviceToken.toLatin1() << 0600
                                << QString();
    QTest::newRow("JSON wrapped") << "\"" + deviceToken.toLatin1() + "\"" << 0600 << QString();
    QTest::newRow("empty") << QByteArray() << 0600 << QString();
    QTest::newRow("binary") << QByteArray("\xff\xfe\x00\x01", 4) << 0600 << QString();
}

void TestNativePairing::credentialLoad()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, expected);
    QVERIFY(testfiles::write(credentialPath(), content, mode));
    QCOMPARE(NativeCredentialStore(credentialPath()).load(), expected);
}

void TestNativePairing::credentialSaveAndClear()
{
    const NativeCredentialStore store(credentialPath());
    QVERIFY(!store.save(deviceToken + "\n"));
    QVERIFY(!QFileInfo::exists(credentialPath()));
    QVERIFY(store.save(deviceToken));
    QCOMPARE(testfiles::read(credentialPath()), deviceToken.toLatin1());
    QCOMPARE(testfiles::modeOf(credentialPath()), 0600);
    QCOMPARE(store.load(), deviceToken);
    store.clear();
    QVERIFY(!QFileInfo::exists(credentialPath()));
    QVERIFY(store.load().isEmpty());

    // Symbolic links read as absent.
    QVERIFY(testfiles::write(dir->filePath("real"), deviceToken.toLatin1()));
    QVERIFY(QFile::link(dir->filePath("real"), credentialPath()));
    QVERIFY(store.load().isEmpty());
}

void TestNativePairing::everyCommitSyncsItsDirectory_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("landed");
    QTest::addColumn<Commit>("commit");

    QTest::newRow("pairing session")
        << "pairing-session" << QByteArray("ABC234") << Commit([](const QString& d) {
               return NativePairingStore(d + "/pairing-session").save({"ABC234", credential, expiry});
           });
    QTest::newRow("start key") << "pairing-session" << QByteArray("start-key-1")
                               << Commit([](const QString& d) {
                                      return NativePairingStore(d + "/pairing-session")
                                          .saveStartIdempotencyKey("start-key-1");
                                  });
    QTest::newRow("device credential")
        << "device-credential" << deviceToken.toLatin1() << Commit([](const QString& d) {
               return NativeCredentialStore(d + "/device-credential").save(deviceToken);
           });
}

void TestNativePairing::everyCommitSyncsItsDirectory()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, landed);
    QFETCH(Commit, commit);
    const QString stateDir = dir->filePath("state");
    test::FsyncProbe probe(stateDir + "/" + file);
    QVERIFY(commit(stateDir));
    bool synced = false;
    for (const test::DirectorySync& sync : probe.directorySyncs()) {
        synced = synced
            || (QFileInfo(sync.directory).canonicalFilePath()
                    == QFileInfo(stateDir).canonicalFilePath()
                && sync.watchedExists && sync.watchedContent.contains(landed));
    }
    QVERIFY2(synced, "the directory was not synced after the file was renamed into place");
}

void TestNativePairing::failedDirectorySyncFailsTheSave_data()
{
    everyCommitSyncsItsDirectory_data();
}

void TestNativePairing::failedDirectorySyncFailsTheSave()
{
    QFETCH(QString, file);
    QFETCH(Commit, commit);
    const QString stateDir = dir->filePath("state");
    test::FsyncProbe probe(stateDir + "/" + file);
    probe.failDirectorySyncs(true);
    QVERIFY(!commit(stateDir));
}

void TestNativePairing::everyClearSyncsItsDirectory_data()
{
    everyCommitSyncsItsDirectory_data();
}

// A cleared pairing or credential must not come back after a power cut, nor survive in the copy
// that a save killed before its rename leaves beside the file.
void TestNativePairing::everyClearSyncsItsDirectory()
{
    QFETCH(QString, file);
    QFETCH(Commit, commit);
    const QString stateDir = dir->filePath("state");
    const QString path = stateDir + "/" + file;
    const QString temporary = StorageFiles::saveTemporaryPath(path);
    QVERIFY(commit(stateDir));
    QVERIFY(QFile::copy(path, temporary));
    test::FsyncProbe probe(path);
    if (QByteArray(QTest::currentDataTag()) == "start key")
        NativePairingStore(path).clearStartIdempotencyKey();
    else if (file == QLatin1String("device-credential"))
        NativeCredentialStore(path).clear();
    else
        NativePairingStore(path).clear();
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(temporary));
    bool synced = false;
    for (const test::DirectorySync& sync : probe.directorySyncs())
        synced = synced
            || (QFileInfo(sync.directory).canonicalFilePath()
                    == QFileInfo(stateDir).canonicalFilePath()
                && !sync.watchedExists);
    QVERIFY2(synced, "the directory was not synced after the removal");
}

void TestNativePairing::disabledStores()
{
    const NativePairingStore pairing{QString()};
    QVERIFY(!pairing.enabled());
    QVERIFY(!pairing.save({"ABC234", credential, expiry}));
    QVERIFY(!pairing.saveStartIdempotencyKey("start-key-1"));
    QVERIFY(!pairing.load());
    QVERIFY(pairing.loadStartIdempotencyKey().isEmpty());
    pairing.clear();
    pairing.clearStartIdempotencyKey();
    const NativeCredentialStore credentials{QString()};
    QVERIFY(!credentials.save(deviceToken));
    QVERIFY(credentials.load().isEmpty());
    credentials.clear();
}

QTEST_GUILESS_MAIN(TestNativePairing)
#include "tst_nativepairing.moc"
