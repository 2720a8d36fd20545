#pragma once

// The files that tie this screen to the runtime service: its Ed25519 device identity, the
// pairing session while it is being paired, and the device credential. All three are
// owner-only files in the state directory, written atomically and made durable before a write
// reports success.

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace talvorine {

struct NativePlayerIdentity {
    QString kid; // JWK thumbprint of the public key, Base64url (43 characters)
    QString x;   // raw public key, Base64url (43 characters)
};

// The device identity in "player-identity". Holds nothing but the path: every call reads the
// file again, so a replaced or deleted file takes effect at once.
class NativePlayerIdentityStore {
public:
    explicit NativePlayerIdentityStore(QString path);

    bool enabled() const;
    std::optional<NativePlayerIdentity> open(bool createIfMissing) const;
    std::optional<NativePlayerIdentity> load() const;
    std::optional<NativePlayerIdentity> reset() const;
    QJsonObject publicKey() const;
    std::optional<QString> signCompactJws(const QString& op, const QString& nonce,
                                          const QDateTime& challengeExpiry,
                                          const QString& requestHash, qint64 clockOffsetMs) const;

    // How many identities this process has generated and saved.
    static quint32 generations();

private:
    QString path_;
};

// The hash that binds an identity proof to one request: 64 lowercase hex digits, or empty when
// the op or its parts are refused.
QString nativeIdentityRequestHash(const QString& op, const QList<QString>& parts);

struct NativePairingSession {
    QString code;
    QString pairingCredential;
    QDateTime expiresAt;
};

// The "pairing-session" file: first the key of a pairing start not yet answered, then the
// session the service answered with.
class NativePairingStore {
public:
    explicit NativePairingStore(QString path);

    bool enabled() const;
    std::optional<NativePairingSession> load() const;
    bool save(const NativePairingSession& session) const;
    void clear() const;
    std::pair<QString, QDateTime> locator() const;

    bool saveStartIdempotencyKey(const QString& key) const;
    QString loadStartIdempotencyKey() const;
    void clearStartIdempotencyKey() const;

    static bool validPairingCredential(const QString& credential);
    static bool validLocator(const QString& code);
    static bool validStartIdempotencyKey(const QString& key);

private:
    QString path_;
};

// The "device-credential" file: a bare token.
class NativeCredentialStore {
public:
    explicit NativeCredentialStore(QString path);

    QString load() const;
    bool save(const QString& credential) const;
    void clear() const;

    static bool validDeviceCredential(const QString& credential);

private:
    QString path_;
};

} // namespace talvorine
