#include "operator/OperatorPinStore.h"

#include "app/DevFileLog.h"
#include "storage/Saturating.h"
#include "storage/StorageFiles.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcOperatorPin, "talvorine.operator")

namespace talvorine {

namespace {

constexpr qint64 maxRecordBytes = 4096;

struct RecordRead {
    std::optional<OperatorPinStore::PinRecord> record;
    // The failed check, for a file that exists but is refused; empty otherwise.
    QString refusal;
};

bool integral(double value)
{
    return std::isfinite(value) && std::floor(value) == value;
}

std::optional<QByteArray> base64Of(const QJsonValue& value, int size)
{
    if (!value.isString())
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        value.toString().toLatin1(),
        QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

// Counters are read leniently (a missing or odd value counts as 0), saturating instead of
// converting a double that does not fit.
qint64 counterOf(const QJsonValue& value, qint64 ceiling)
{
    const double number = value.toDouble(0.0);
    if (!(number > 0))
        return 0;
    return number >= double(ceiling) ? ceiling : qint64(number);
}

RecordRead parseRecord(const QByteArray& bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return {std::nullopt, QStringLiteral("json_invalid")};
    const QJsonObject object = document.object();

    const QJsonValue version = object.value(QStringLiteral("v"));
    if (!version.isDouble() || !integral(version.toDouble()) || version.toDouble() < 1)
        return {std::nullopt, QStringLiteral("version_invalid")};
    const auto salt = base64Of(object.value(QStringLiteral("salt")), OperatorPinStore::saltBytes);
    if (!salt)
        return {std::nullopt, QStringLiteral("salt_invalid")};
    const auto verifier =
        base64Of(object.value(QStringLiteral("verifier")), OperatorPinStore::verifierBytes);
    if (!verifier)
        return {std::nullopt, QStringLiteral("verifier_invalid")};
    const QJsonValue iterations = object.value(QStringLiteral("iterations"));
    if (!iterations.isDouble() || !integral(iterations.toDouble())
        || iterations.toDouble() < OperatorPinStore::minimumIterations)
        return {std::nullopt, QStringLiteral("iterations_invalid")};
    if (iterations.toDouble() > OperatorPinStore::maximumIterations)
        return {std::nullopt, QStringLiteral("iterations_above_cap")};

    OperatorPinStore::PinRecord record;
    record.salt = *salt;
    record.verifier = *verifier;
    record.iterations = int(iterations.toDouble());
    record.state.failures =
        int(counterOf(object.value(QStringLiteral("failures")), std::numeric_limits<int>::max()));
    record.state.lockedUntilMs = counterOf(object.value(QStringLiteral("locked_until")),
                                           std::numeric_limits<qint64>::max());
    return {record, {}};
}

RecordRead loadRecord(const QString& path)
{
    if (path.isEmpty())
        return {};
    const StorageFiles::CheckedRead read = StorageFiles::readRegularFileChecked(
        path, maxRecordBytes, StorageFiles::ReadRule::OwnerOnly);
    if (!read.bytes) {
        if (read.refusal == StorageFiles::ReadRefusal::Absent)
            return {};
        return {std::nullopt, StorageFiles::readRefusalName(read.refusal)};
    }
    return parseRecord(*read.bytes);
}

QString writeFailureName(StorageFiles::WriteFailure failure)
{
    switch (failure) {
    case StorageFiles::WriteFailure::None: return {};
    case StorageFiles::WriteFailure::Open: return QStringLiteral("open");
    case StorageFiles::WriteFailure::Write: return QStringLiteral("write");
    case StorageFiles::WriteFailure::Commit: return QStringLiteral("commit");
    }
    return {};
}

// The PIN's UTF-8 bytes through the derivation; the copy of the secret is wiped afterwards.
QByteArray deriveKey(const OperatorPinStore::Derivation& derivation, const QString& pin,
                     const QByteArray& salt, int iterations)
{
    QByteArray secret = pin.toUtf8();
    QByteArray key = derivation ? derivation(secret, salt, iterations)
                                : OperatorPinStore::pbkdf2Sha256(secret, salt, iterations);
    OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    return key;
}

} // namespace

OperatorPinStore::OperatorPinStore(QString path, Clock clock, Derivation derivation)
    : path_(std::move(path)), clock_(std::move(clock)), derivation_(std::move(derivation))
{
}

bool OperatorPinStore::isConfigured() const
{
    return readRecord().has_value();
}

PinAttemptState OperatorPinStore::attemptState() const
{
    const std::optional<PinRecord> record = readRecord(Refusals::Quiet);
    return record ? judge(record->state, nowMs()) : PinAttemptState{};
}

qint64 OperatorPinStore::remainingLockoutMs() const
{
    const std::optional<PinRecord> record = readRecord(Refusals::Quiet);
    if (!record)
        return 0;
    const qint64 now = nowMs();
    return OperatorPinLockout::remainingLockoutMs(judge(record->state, now), now);
}

bool OperatorPinStore::setPin(const QString& pin)
{
    if (pin.size() != panelPinLength || !validPinFormat(pin) || path_.isEmpty())
        return false;
    PinRecord record;
    record.salt.resize(saltBytes);
    for (char& byte : record.salt)
        byte = char(QRandomGenerator::system()->generate() >> 24);
    record.iterations = writtenIterations;
    record.verifier = deriveKey(derivation_, pin, record.salt, record.iterations);
    if (record.verifier.size() != verifierBytes || !writeRecord(record))
        return false;
    remembered_ = record.state;
    return true;
}

OperatorPinStore::PinAttempt OperatorPinStore::beginVerify(const QString& pin)
{
    using Outcome = PinVerification::Outcome;
    PinAttempt attempt;
    const std::optional<PinRecord> record = readRecord();
    if (!record) {
        attempt.settled = PinVerification{};
        return attempt;
    }
    const qint64 now = nowMs();
    const PinAttemptState state = judge(record->state, now);
    const qint64 remaining = OperatorPinLockout::remainingLockoutMs(state, now);
    if (remaining >= 1) {
        attempt.settled = PinVerification{Outcome::LockedOut, 0, remaining, state.failures};
        return attempt;
    }
    if (!validPinFormat(pin)) {
        attempt.settled = finishVerify(*record, QByteArray());
        return attempt;
    }
    attempt.record = *record;
    attempt.derive = [derivation = derivation_, pin, salt = record->salt,
                      iterations = record->iterations] {
        return deriveKey(derivation, pin, salt, iterations);
    };
    return attempt;
}

OperatorPinStore::PinVerification OperatorPinStore::finishVerify(const PinRecord& record,
                                                                 const QByteArray& key)
{
    using Outcome = PinVerification::Outcome;
    // No key (a malformed PIN, a failed derivation) matches nothing, not even a verifier of
    // zero bytes: only a key of the verifier's size is compared, in constant time.
    const bool match = key.size() == verifierBytes && record.verifier.size() == verifierBytes
        && CRYPTO_memcmp(key.constData(), record.verifier.constData(), size_t(verifierBytes))
            == 0;

    const qint64 now = nowMs();
    PinRecord next = record;
    next.state = match ? OperatorPinLockout::onSuccess()
                       : OperatorPinLockout::onFailure(judge(record.state, now), now);
    remembered_ = next.state;
    // A failed write is logged there and changes nothing here: the remembered state still counts.
    writeRecord(next);
    if (match)
        return {Outcome::Accepted, 0, 0, 0};
    return {Outcome::Rejected, OperatorPinLockout::remainingLockoutMs(next.state, now), 0,
            next.state.failures};
}

OperatorPinStore::PinVerification OperatorPinStore::verify(const QString& pin)
{
    const PinAttempt attempt = beginVerify(pin);
    return attempt.settled ? *attempt.settled : finishVerify(attempt.record, attempt.derive());
}

void OperatorPinStore::clear() const
{
    if (!path_.isEmpty())
        StorageFiles::removeStateFile(path_);
}

bool OperatorPinStore::validPinFormat(const QString& pin)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9]{4,8}\\z"));
    return pattern.match(pin).hasMatch();
}

QByteArray OperatorPinStore::pbkdf2Sha256(const QByteArray& secret, const QByteArray& salt,
                                          int iterations)
{
    QByteArray key(verifierBytes, '\0');
    if (iterations < 1
        || PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()),
                             reinterpret_cast<const unsigned char*>(salt.constData()),
                             int(salt.size()), iterations, EVP_sha256(), int(key.size()),
                             reinterpret_cast<unsigned char*>(key.data()))
            != 1)
        return {};
    return key;
}

qint64 OperatorPinStore::nowMs() const
{
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

std::optional<OperatorPinStore::PinRecord> OperatorPinStore::readRecord(Refusals refusals) const
{
    RecordRead read = loadRecord(path_);
    if (!read.refusal.isEmpty() && refusals == Refusals::Logged) {
        // The panel now opens without a PIN; a provisioning mistake that removed the lock must
        // be visible. The check is named, the contents never are.
        DevFileLog::record(QStringLiteral("operator.pin_record_refused"),
                           {{QStringLiteral("check"), read.refusal}});
        qCWarning(lcOperatorPin, "operator PIN record refused (%s); the panel opens without a PIN",
                  qPrintable(read.refusal));
    }
    return std::move(read.record);
}

bool OperatorPinStore::writeRecord(const PinRecord& record)
{
    if (path_.isEmpty())
        return false;
    const QJsonObject object{
        {QStringLiteral("v"), 1},
        {QStringLiteral("salt"), QString::fromLatin1(record.salt.toBase64())},
        {QStringLiteral("verifier"), QString::fromLatin1(record.verifier.toBase64())},
        {QStringLiteral("iterations"), record.iterations},
        {QStringLiteral("failures"), record.state.failures},
        {QStringLiteral("locked_until"), record.state.lockedUntilMs},
    };
    QString failedStep;
    if (!StorageFiles::ensurePrivateDirectory(QFileInfo(path_).absolutePath()))
        failedStep = QStringLiteral("directory");
    else
        failedStep = writeFailureName(StorageFiles::writeFileAtomically(
            path_, QJsonDocument(object).toJson(QJsonDocument::Compact)));
    if (failedStep.isEmpty())
        return true;
    DevFileLog::record(QStringLiteral("operator.pin_record_write_failed"),
                       {{QStringLiteral("step"), failedStep}});
    qCWarning(lcOperatorPin, "operator PIN record not written (%s)", qPrintable(failedStep));
    return false;
}

PinAttemptState OperatorPinStore::judge(const PinAttemptState& recorded, qint64 nowMs) const
{
    PinAttemptState state = remembered_;
    state.failures = std::max(state.failures, recorded.failures);
    if (recorded.lockedUntilMs != distrustedLockEnd_)
        state.lockedUntilMs = std::max(state.lockedUntilMs, recorded.lockedUntilMs);
    const qint64 latest =
        saturating::add(nowMs, OperatorPinLockout::lockoutForFailures(state.failures));
    if (state.lockedUntilMs > latest) {
        // The clock was set back or the record edited: the lockout restarts from now, once.
        if (recorded.lockedUntilMs > latest)
            distrustedLockEnd_ = recorded.lockedUntilMs;
        state.lockedUntilMs = latest;
    }
    remembered_ = state;
    return state;
}

} // namespace talvorine
