#include "operator/OperatorPanel.h"
#include "operator/OperatorPinStore.h"
#include "operator/PinEntryModel.h"

#include "app/DevFileLog.h"
#include "storage/StorageFiles.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPasswordDigestor>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace talvorine;
namespace tf = talvorine::testfiles;
using Outcome = OperatorPinStore::PinVerification::Outcome;

namespace {

const QByteArray salt = QByteArray::fromHex("00112233445566778899aabbccddeeff");
constexpr qint64 yearMs = 31536000000;

// The other way of deriving: Qt's PBKDF2, independent of the store's libcrypto one.
QByteArray qtKey(const QByteArray& pin, const QByteArray& withSalt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, pin, withSalt,
                                              iterations, 32);
}

// A record as a provisioning tool writes it; Qt's derivation is slow, so each is made once.
QJsonObject provisioned(const QByteArray& pin)
{
    static QHash<QByteArray, QJsonObject> made;
    if (!made.contains(pin)) {
        made.insert(pin, {{"v", 1},
                          {"salt", QString::fromLatin1(salt.toBase64())},
                          {"verifier", QString::fromLatin1(qtKey(pin, salt, 100000).toBase64())},
                          {"iterations", 100000},
                          {"failures", 0},
                          {"locked_until", 0}});
    }
    return made.value(pin);
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(tf::read(path)).object();
}

} // namespace

class TestOperatorPin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readChecks_data();
    void readChecks();
    void setPinWritesPrivateRecordWithTheSameKey();
    void pinFormats_data();
    void pinFormats();
    void lockoutSchedule_data();
    void lockoutSchedule();
    void verifyCountsAndLocks();
    void lockoutSurvivesRestartsAndClockJumps();
    void unwritableRecordStillLocks();
    void pinEntry_data();
    void pinEntry();

private:
    QList<QJsonObject> devRecords(const QString& event) const
    {
        return test::recordsOf(test::readJsonLines(DevFileLog::path()), event);
    }
    QString pinPath() const { return dir_->filePath(QStringLiteral("state/operator-pin")); }
    void plant(const QJsonObject& record)
    {
        QVERIFY(QDir().mkpath(QFileInfo(pinPath()).path()));
        QVERIFY(::chmod(QFile::encodeName(QFileInfo(pinPath()).path()).constData(), 0700) == 0);
        QVERIFY(tf::write(pinPath(), QJsonDocument(record).toJson(QJsonDocument::Compact)));
    }

    QTemporaryDir logDir_;
    std::unique_ptr<QTemporaryDir> dir_;
    qint64 now_ = 1767225600000;
    int derivations_ = 0;
    OperatorPinStore::Derivation counting_ = [this](const QByteArray& pin, const QByteArray& s,
                                                     int iterations) {
        ++derivations_;
        return OperatorPinStore::pbkdf2Sha256(pin, s, iterations);
    };
    OperatorPinStore::Clock clock_ = [this] { return now_; };
};

void TestOperatorPin::initTestCase()
{
    DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), logDir_.path(), 0);
    QVERIFY(DevFileLog::enabled());
}

void TestOperatorPin::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    now_ = 1767225600000;
    derivations_ = 0;
}

void TestOperatorPin::readChecks_data()
{
    QTest::addColumn<QString>("plant"); // "file", "link", "directory", "absent"
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QByteArray>("raw"); // replaces the JSON when not empty
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("check"); // empty: accepted (or absent)

    const QJsonObject none;
    const auto row = [](const char* name, const QJsonObject& changes, const char* check,
                        int mode = 0600, const QByteArray& raw = {}, const char* plant = "file") {
        QTest::newRow(name) << QString(plant) << changes << raw << mode << QString(check);
    };
    row("valid", none, "");
    row("readable by the group", none, "group_or_other_access", 0640);
    row("writable by others", none, "group_or_other_access", 0602);
    row("symbolic link", none, "symbolic_link", 0600, {}, "link");
    row("directory", none, "not_regular_file", 0700, {}, "directory");
    row("absent", none, "", 0600, {}, "absent");
    row("too large", none, "too_large", 0600, QByteArray(5000, ' '));
    row("not JSON", none, "json_invalid", 0600, "{\"v\":1,");
    row("v as text", {{"v", "1"}}, "version_invalid");
    row("v 0", {{"v", 0}}, "version_invalid");
    row("v 1.5", {{"v", 1.5}}, "version_invalid");
    row("v 2", {{"v", 2}}, "");
    row("salt of 15 bytes", {{"salt", QString::fromLatin1(salt.left(15).toBase64())}},
        "salt_invalid");
    row("salt not Base64", {{"salt", "@@@@@@@@@@@@@@@@@@@@@@=="}}, "salt_invalid");
    row("verifier of 31 bytes", {{"verifier", QString(QByteArray(31, 'k').toBase64())}},
        "verifier_invalid");
    row("verifier as a number", {{"verifier", 7}}, "verifier_invalid");
    row("iterations 99999", {{"iterations", 99999}}, "iterations_invalid");
    row("iterations 100000", {{"iterations", 100000}}, "");
    row("iterations as text", {{"iterations", "120000"}}, "iterations_invalid");
    row("iterations at the cap", {{"iterations", 1000000}}, "");
    row("iterations above the cap", {{"iterations", 1000001}}, "iterations_above_cap");
    row("absurd iterations", {{"iterations", 1e300}}, "iterations_above_cap");
    row("negative failures", {{"failures", -4}}, "");
    row("absurd lock end", {{"failures", 1e30}, {"locked_until", 1e300}}, "");
}

void TestOperatorPin::readChecks()
{
    QFETCH(QString, plant);
    QFETCH(QJsonObject, changes);
    QFETCH(QByteArray, raw);
    QFETCH(int, mode);
    QFETCH(QString, check);

    QJsonObject record = provisioned("135790");
    for (auto it = changes.begin(); it != changes.end(); ++it)
        record.insert(it.key(), it.value());
    const QByteArray bytes = raw.isEmpty() ? QJsonDocument(record).toJson() : raw;
    const QString real = dir_->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(QFileInfo(pinPath()).path()));
    if (plant == QLatin1String("file")) {
        QVERIFY(tf::write(pinPath(), bytes, mode_t(mode)));
    } else if (plant == QLatin1String("link")) {
        QVERIFY(tf::write(real, bytes, mode_t(mode)));
        QVERIFY(tf::symlinkTo(real, pinPath()));
    } else if (plant == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(pinPath()));
    }

    const qsizetype before = devRecords(QStringLiteral("operator.pin_record_refused")).size();
    OperatorPinStore store(pinPath(), clock_);
    const bool accepted = plant != QLatin1String("absent") && check.isEmpty();
    QCOMPARE(store.isConfigured(), accepted);
    const QList<QJsonObject> refused = devRecords(QStringLiteral("operator.pin_record_refused"));
    QCOMPARE(refused.size() - before, check.isEmpty() ? 0 : 1);
    if (!check.isEmpty()) {
        QCOMPARE(refused.constLast().value(QStringLiteral("check")).toString(), check);
        const QString verifier = provisioned("135790").value("verifier").toString();
        QVERIFY(!tf::read(DevFileLog::path()).contains(verifier.toLatin1()));
        QCOMPARE(store.verify(QStringLiteral("135790")).outcome, Outcome::NotConfigured);
    } else if (accepted) {
        // Counters are read leniently and never lock beyond what the failures earn.
        const PinAttemptState state = store.attemptState();
        QVERIFY(state.failures >= 0);
        QVERIFY(OperatorPinLockout::remainingLockoutMs(state, now_) <= 900000);
    }
}

void TestOperatorPin::setPinWritesPrivateRecordWithTheSameKey()
{
    const QString path = dir_->filePath(QStringLiteral("new/state/operator-pin"));
    OperatorPinStore store(path, clock_);
    QVERIFY(store.setPin(QStringLiteral("024680")));
    QCOMPARE(tf::modeOf(path), 0600);
    QCOMPARE(tf::modeOf(QFileInfo(path).path()), 0700);
    QVERIFY(!tf::exists(StorageFiles::saveTemporaryPath(path)));

    const QJsonObject record = readJson(path);
    QCOMPARE(record.value("v").toInt(), 1);
    QCOMPARE(record.value("iterations").toInt(), 120000);
    QCOMPARE(record.value("failures").toInt(), 0);
    QCOMPARE(record.value("locked_until").toInteger(), 0);
    const QByteArray writtenSalt =
        QByteArray::fromBase64(record.value("salt").toString().toLatin1());
    QCOMPARE(writtenSalt.size(), 16);
    QCOMPARE(QByteArray::fromBase64(record.value("verifier").toString().toLatin1()),
             qtKey("024680", writtenSalt, 120000));
    QCOMPARE(store.verify(QStringLiteral("024680")).outcome, Outcome::Accepted);

    // And a record whose key Qt derived is opened by the store's own derivation.
    plant(provisioned("975310"));
    OperatorPinStore provisionedStore(pinPath(), clock_);
    QCOMPARE(provisionedStore.verify(QStringLiteral("975310")).outcome, Outcome::Accepted);
}

void TestOperatorPin::pinFormats_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("written"); // setPin takes the panel's six digits only

    QTest::newRow("six") << "000000" << true << true;
    QTest::newRow("four") << "1234" << true << false;
    QTest::newRow("eight") << "12345678" << true << false;
    QTest::newRow("three") << "123" << false << false;
    QTest::newRow("nine") << "123456789" << false << false;
    QTest::newRow("a letter") << "12a456" << false << false;
    QTest::newRow("trailing line feed") << "12345\n" << false << false;
    QTest::newRow("Arabic-Indic digits")
        << QString::fromUtf8("\u0661\u0662\u0663\u0664\u0665\u0666") << false << false;
}

void TestOperatorPin::pinFormats()
{
    QFETCH(QString, pin);
    QFETCH(bool, valid);
    QFETCH(bool, written);

    QCOMPARE(OperatorPinStore::validPinFormat(pin), valid);
    QCOMPARE(OperatorPinStore(pinPath(), clock_).setPin(pin), written);
    QCOMPARE(tf::exists(pinPath()), written);
    QVERIFY(!OperatorPinStore(QString(), clock_).setPin(QStringLiteral("000000")));

    // Against a verifier of zero bytes a malformed PIN is compared with nothing: a wrong one.
    QJsonObject zero = provisioned("000000");
    zero["verifier"] = QString::fromLatin1(QByteArray(32, '\0').toBase64());
    plant(zero);
    QCOMPARE(OperatorPinStore(pinPath(), clock_, counting_).verify(pin).outcome, Outcome::Rejected);
    QCOMPARE(derivations_, int(valid));
}

void TestOperatorPin::lockoutSchedule_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<qint64>("lockout");

    QTest::newRow("fourth") << 4 << qint64(0);
    QTest::newRow("fifth") << 5 << qint64(30000);
    QTest::newRow("sixth") << 6 << qint64(60000);
    QTest::newRow("ninth") << 9 << qint64(480000);
    QTest::newRow("tenth") << 10 << qint64(900000);
    QTest::newRow("most") << std::numeric_limits<int>::max() << qint64(900000);
}

void TestOperatorPin::lockoutSchedule()
{
    QFETCH(int, failures);
    QFETCH(qint64, lockout);

    QCOMPARE(OperatorPinLockout::lockoutForFailures(failures), lockout);
    const PinAttemptState next =
        failures ? OperatorPinLockout::onFailure({failures - 1, 0}, now_) : PinAttemptState{};
    QCOMPARE(next.failures, failures);
    QCOMPARE(next.lockedUntilMs, lockout ? now_ + lockout : 0);
    QCOMPARE(OperatorPinLockout::remainingLockoutMs(next, now_), lockout);
    QCOMPARE(OperatorPinLockout::attemptPermitted(next, now_), lockout == 0);
    // A lock end a year out (clock set back, record edited) never holds longer.
    QCOMPARE(OperatorPinLockout::remainingLockoutMs({failures, now_ + yearMs}, now_), lockout);
    const qint64 latest = std::numeric_limits<qint64>::max();
    QCOMPARE(OperatorPinLockout::remainingLockoutMs({failures, latest}, -latest - 1), lockout);
}

void TestOperatorPin::verifyCountsAndLocks()
{
    plant(provisioned("246810"));
    OperatorPinStore store(pinPath(), clock_, counting_);

    for (int failures = 1; failures <= 4; ++failures) {
        const auto result = store.verify(QStringLiteral("111111"));
        QCOMPARE(result.outcome, Outcome::Rejected);
        QCOMPARE(result.failures, failures);
        QCOMPARE(result.lockoutMs, 0);
    }
    // Letters cost no derivation and still count.
    const auto fifth = store.verify(QStringLiteral("abcdef"));
    QCOMPARE(derivations_, 4);
    QCOMPARE(fifth.outcome, Outcome::Rejected);
    QCOMPARE(fifth.failures, 5);
    QCOMPARE(fifth.lockoutMs, 30000);
    QCOMPARE(readJson(pinPath()).value("locked_until").toInteger(), now_ + 30000);

    // Refused during the lockout, even the right PIN, and the record is left as it was.
    const QByteArray locked = tf::read(pinPath());
    now_ += 29999;
    const auto during = store.verify(QStringLiteral("246810"));
    QCOMPARE(during.outcome, Outcome::LockedOut);
    QCOMPARE(during.remainingMs, 1);
    QCOMPARE(during.failures, 5);
    QCOMPARE(derivations_, 4);
    QCOMPARE(tf::read(pinPath()), locked);

    now_ += 1;
    const auto right = store.verify(QStringLiteral("246810"));
    QCOMPARE(right.outcome, Outcome::Accepted);
    QCOMPARE(right.failures, 0);
    QCOMPARE(readJson(pinPath()).value("failures").toInt(), 0);
    QCOMPARE(readJson(pinPath()).value("iterations").toInt(), 100000);
    QCOMPARE(store.verify(QStringLiteral("111111")).failures, 1);
}

void TestOperatorPin::lockoutSurvivesRestartsAndClockJumps()
{
    now_ = QDateTime::currentMSecsSinceEpoch(); // the panel below reads the system clock
    plant(provisioned("246810"));
    const auto lockOut = [this] {
        OperatorPinStore store(pinPath(), clock_);
        for (int i = 0; i < 5; ++i)
            store.verify(QStringLiteral("000000"));
    };
    lockOut();

    // A restart: a new store and a new panel on the same file.
    OperatorPinStore restarted(pinPath(), clock_);
    QCOMPARE(restarted.verify(QStringLiteral("246810")).outcome, Outcome::LockedOut);
    OperatorPanel panel(pinPath(), QString());
    QVERIFY(panel.handleKey(Qt::Key_Escape));
    QCOMPARE(panel.stageName(), QStringLiteral("locked"));
    QCOMPARE(panel.detail(), QStringLiteral("Locked"));

    // The clock set back a year: at most the lockout window, which then runs out.
    const qint64 realNow = now_;
    now_ = realNow - yearMs;
    OperatorPinStore behind(pinPath(), clock_);
    const auto early = behind.verify(QStringLiteral("246810"));
    QCOMPARE(early.outcome, Outcome::LockedOut);
    QCOMPARE(early.remainingMs, 30000);
    now_ += 30000;
    QCOMPARE(behind.verify(QStringLiteral("246810")).outcome, Outcome::Accepted);

    // The clock set forward ends the lockout.
    now_ = realNow;
    lockOut();
    now_ = realNow + yearMs;
    QCOMPARE(OperatorPinStore(pinPath(), clock_).verify(QStringLiteral("246810")).outcome,
             Outcome::Accepted);
}

void TestOperatorPin::unwritableRecordStillLocks()
{
    plant(provisioned("246810"));
    const QByteArray original = tf::read(pinPath());
    const qsizetype before = devRecords(QStringLiteral("operator.pin_record_write_failed")).size();
    OperatorPinStore store(pinPath(), clock_);
    {
        tf::Immutable frozen(QFileInfo(pinPath()).path());
        if (!frozen.isSet())
            QSKIP("the file system cannot make the state directory immutable");
        for (int i = 0; i < 4; ++i)
            QCOMPARE(store.verify(QStringLiteral("000000")).lockoutMs, 0);
        const auto fifth = store.verify(QStringLiteral("000000"));
        QCOMPARE(fifth.failures, 5);
        QCOMPARE(fifth.lockoutMs, 30000);
        QCOMPARE(store.verify(QStringLiteral("246810")).outcome, Outcome::LockedOut);
        QCOMPARE(tf::read(pinPath()), original);
    }
    const QList<QJsonObject> failed =
        devRecords(QStringLiteral("operator.pin_record_write_failed"));
    QCOMPARE(failed.size() - before, 5);
    QCOMPARE(failed.constLast().value(QStringLiteral("step")).toString(), QStringLiteral("open"));
}

void TestOperatorPin::pinEntry_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("keys"); // < > caret, + - digit
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("display"); // "*" for a bullet

    QTest::newRow("too short clamps to four") << 0 << "" << "0000" << "0 * * *";
    QTest::newRow("too long clamps to eight") << 12 << "" << "00000000" << "0 * * * * * * *";
    QTest::newRow("caret stops at the start") << 6 << "<<+" << "100000" << "1 * * * * *";
    QTest::newRow("caret stops at the end") << 6 << ">>>>>>>>+" << "000001" << "* * * * * 1";
    QTest::newRow("digits wrap both ways") << 6 << ">>->++++++++++++" << "009200" << "* * * 2 * *";
}

void TestOperatorPin::pinEntry()
{
    QFETCH(int, length);
    QFETCH(QString, keys);
    QFETCH(QString, value);
    QFETCH(QString, display);

    PinEntryModel entry(length);
    for (QChar key : keys) {
        if (key == u'<' || key == u'>')
            entry.moveCaret(key == u'<' ? -1 : 1);
        else
            entry.stepDigit(key == u'-' ? -1 : 1);
    }
    QCOMPARE(entry.value(), value);
    QCOMPARE(entry.display(), QString(display).replace(u'*', QStringLiteral("\u2022")));
    entry.reset();
    QCOMPARE(entry.value(), QString(value.size(), u'0'));
    QCOMPARE(entry.caret(), 0);
}

QTEST_GUILESS_MAIN(TestOperatorPin)
#include "tst_operatorpin.moc"
