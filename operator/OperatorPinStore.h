#pragma once

#include "operator/OperatorPinLockout.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace talvorine {

// The operator PIN's record: a PBKDF2-HMAC-SHA256 verifier of the PIN (never the PIN itself),
// its salt and iteration count, and the attempt state, in one owner-only JSON file that the
// screen's provisioning places in the state directory. Without a valid record the panel has no
// lock. The person at the keyboard may be guessing, so the attempt state is also kept in memory:
// a record that cannot be rewritten (read-only or full disk) never resets the count. GUI thread
// only, but for an attempt's key derivation, which may run anywhere.
class OperatorPinStore {
public:
    using Clock = std::function<qint64()>;
    // (PIN bytes, salt, iterations) -> 32-byte key; a seam for the benchmark and the tests.
    using Derivation =
        std::function<QByteArray(const QByteArray& secret, const QByteArray& salt, int iterations)>;

    // The panel enters exactly this many digits, so it is the only length setPin writes.
    static constexpr int panelPinLength = 6;
    static constexpr int writtenIterations = 120000;
    static constexpr int minimumIterations = 100000;
    // The operator waits for every attempt's derivation; a record asking for more work than
    // this would keep them waiting for seconds, yet current guidance (several hundred thousand)
    // fits.
    static constexpr int maximumIterations = 1000000;
    static constexpr int saltBytes = 16;
    static constexpr int verifierBytes = 32;

    struct PinRecord {
        QByteArray salt;
        QByteArray verifier;
        int iterations = 0;
        PinAttemptState state;
    };

    struct PinVerification {
        enum class Outcome { Accepted = 0, Rejected = 1, LockedOut = 2, NotConfigured = 3 };
        Outcome outcome = Outcome::NotConfigured;
        qint64 lockoutMs = 0;   // the lockout this rejection has just started
        qint64 remainingMs = 0; // the lockout that refused this attempt
        int failures = 0;       // after this attempt
    };

    // An empty clock reads the system clock; an empty derivation is pbkdf2Sha256.
    explicit OperatorPinStore(QString path, Clock clock = {}, Derivation derivation = {});

    bool isConfigured() const;
    // The attempt state this store judges by: the record's and the remembered one, whichever
    // counts more failures and locks longer, with a lock end beyond what the failures earn
    // brought back to now plus that lockout. {0, 0} without a valid record.
    PinAttemptState attemptState() const;
    // The lockout still running, by the store's clock.
    qint64 remainingLockoutMs() const;
    // One attempt in two halves, so that the key derivation (hundreds of milliseconds at a
    // record's iterations) can run on another thread. beginVerify settles at once what needs no
    // key: no record, a lockout, a malformed PIN (compared with nothing, and still a wrong
    // one). Otherwise derive() may run on any thread, and finishVerify judges its key against
    // the record and records the attempt. One attempt at a time per record.
    struct PinAttempt {
        std::optional<PinVerification> settled;
        PinRecord record;
        std::function<QByteArray()> derive;
    };

    // Six digits only: a record for any other length could never be entered on the panel.
    bool setPin(const QString& pin);
    PinAttempt beginVerify(const QString& pin);
    PinVerification finishVerify(const PinRecord& record, const QByteArray& key);
    // Both halves on this thread.
    PinVerification verify(const QString& pin);
    void clear() const;
    // Four to eight ASCII digits.
    static bool validPinFormat(const QString& pin);

    // PBKDF2-HMAC-SHA256 with a 32-byte key, through libcrypto; empty on failure.
    static QByteArray pbkdf2Sha256(const QByteArray& secret, const QByteArray& salt,
                                   int iterations);

private:
    enum class Refusals { Logged, Quiet };

    qint64 nowMs() const;
    std::optional<PinRecord> readRecord(Refusals refusals = Refusals::Logged) const;
    bool writeRecord(const PinRecord& record);
    PinAttemptState judge(const PinAttemptState& recorded, qint64 nowMs) const;

    QString path_;
    Clock clock_;
    Derivation derivation_;
    // What this process has judged; it outlives a record write that failed.
    mutable PinAttemptState remembered_;
    // A recorded lock end found beyond what its failures earn, already brought back once, so
    // that it does not restart the lockout at every reading.
    mutable std::optional<qint64> distrustedLockEnd_;
};

} // namespace talvorine
