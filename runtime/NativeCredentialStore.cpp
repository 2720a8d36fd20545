#include "runtime/NativeCredentialStore.h"

#include "storage/StorageFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QtNumeric>
#include <QRegularExpression>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <atomic>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace talvorine {

namespace {

constexpr size_t keyBytes = 32;
constexpr int base64Key = 43;
constexpr qint64 proofLifetimeS = 120;
// The stores' files are a few hundred bytes; anything far larger is not one of them.
constexpr qint64 maxOwnerOnlyFileBytes = 65536;

using KeyBuffer = std::array<unsigned char, keyBytes>;

std::atomic<quint32> identityGenerations{0};

const QByteArray requestHashDomain = QByteArrayLiteral("talvorine.native.identity.request.v1");

// Wipes a secret buffer when it goes out of scope, on every path.
class ScopedWipe {
public:
    ScopedWipe(void* data, size_t size) : data_(data), size_(size) {}
    explicit ScopedWipe(KeyBuffer& buffer) : ScopedWipe(buffer.data(), buffer.size()) {}
    explicit ScopedWipe(QByteArray& bytes) : bytes_(&bytes) {}
    ~ScopedWipe()
    {
        if (bytes_ && !bytes_->isEmpty())
            OPENSSL_cleanse(bytes_->data(), size_t(bytes_->size()));
        else if (data_)
            OPENSSL_cleanse(data_, size_);
    }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    QByteArray* bytes_ = nullptr;
};

QByteArray sha256(const QByteArray& data)
{
    return StorageFiles::sha256(data).value_or(QByteArray());
}

constexpr auto base64UrlOptions = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray base64Url(const unsigned char* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))
        .toBase64(base64UrlOptions);
}

QString base64UrlText(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64(base64UrlOptions));
}

bool matchesBase64Url43(const QString& text)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]{43}")));
    return pattern.match(text).hasMatch();
}

bool identityOp(const QString& op)
{
    return op == QLatin1String("pairing.start") || op == QLatin1String("pairing.complete")
        || op == QLatin1String("session.mint") || op == QLatin1String("identity.reset");
}

// The 32 bytes behind a canonical unpadded Base64url text; empty on any refusal. Texts whose
// last character carries non-zero spare bits are refused, so each key has one spelling.
QByteArray decodeBase64Url32(const QString& text)
{
    if (!matchesBase64Url43(text))
        return {};
    const QByteArray ascii = text.toLatin1();
    auto result = QByteArray::fromBase64Encoding(
        ascii, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != qsizetype(keyBytes)) {
        if (!result.decoded.isEmpty())
            OPENSSL_cleanse(result.decoded.data(), size_t(result.decoded.size()));
        return {};
    }
    QByteArray again = result.decoded.toBase64(base64UrlOptions);
    const bool canonical = again == ascii;
    OPENSSL_cleanse(again.data(), size_t(again.size()));
    if (!canonical) {
        OPENSSL_cleanse(result.decoded.data(), size_t(result.decoded.size()));
        return {};
    }
    return result.decoded;
}

bool publicFromPrivate(const unsigned char* privateKey, size_t size, KeyBuffer* out)
{
    if (size != keyBytes || !privateKey || !out)
        return false;
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, privateKey, size);
    if (!key)
        return false;
    out->fill(0);
    size_t length = out->size();
    const bool ok = EVP_PKEY_get_raw_public_key(key, out->data(), &length) == 1
        && length == keyBytes;
    EVP_PKEY_free(key);
    return ok;
}

NativePlayerIdentity identityFromX(const QString& x)
{
    const QByteArray thumbprintInput =
        QStringLiteral("{\"crv\":\"Ed25519\",\"kty\":\"OKP\",\"x\":\"%1\"}").arg(x).toUtf8();
    return NativePlayerIdentity{base64UrlText(sha256(thumbprintInput)), x};
}

bool existsAtPath(const QString& path, struct stat* info)
{
    return ::lstat(QFile::encodeName(path).constData(), info) == 0;
}

// A regular file, not a symbolic link, with no group or other permission bits.
bool ownerOnlyRegularFile(const struct stat& info)
{
    return S_ISREG(info.st_mode) && (info.st_mode & 0077) == 0;
}

// The whole content of an owner-only file; nothing when it is absent or does not qualify.
std::optional<QByteArray> readOwnerOnlyFile(const QString& path)
{
    if (path.isEmpty())
        return std::nullopt;
    // Checked before the open too, so that a device or FIFO at the path is never opened.
    struct stat before {};
    if (!existsAtPath(path, &before) || !ownerOnlyRegularFile(before))
        return std::nullopt;
    return StorageFiles::readRegularFile(path, maxOwnerOnlyFileBytes,
                                         StorageFiles::ReadRule::OwnerOnly,
                                         StorageFiles::Refused::Cleanse);
}

QJsonObject readOwnerOnlyObject(const QString& path)
{
    std::optional<QByteArray> content = readOwnerOnlyFile(path);
    if (!content || content->isEmpty())
        return {};
    ScopedWipe wipe(*content);
    const QJsonDocument document = QJsonDocument::fromJson(*content);
    return document.isObject() ? document.object() : QJsonObject();
}

bool writeOwnerOnlyBytes(const QString& path, const QByteArray& bytes)
{
    if (path.isEmpty())
        return false;
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory))
        return false;
    if (!QFile::setPermissions(directory,
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return false;
    // An atomic save writes through a symbolic link to its target; the stores write only their
    // own files. The directory sync is required even where the file system says it has none:
    // without it the rename may still be lost to a power cut, and a screen would come back
    // without its identity or pairing.
    return StorageFiles::writeFileAtomically(
               path, bytes,
               {StorageFiles::NonRegularTarget::Refuse, StorageFiles::UnsupportedSync::Failure})
        == StorageFiles::WriteFailure::None;
}

std::optional<NativePlayerIdentity> generatePlayerIdentity(const QString& path)
{
    KeyBuffer privateKey{};
    KeyBuffer publicKey{};
    ScopedWipe wipePrivate(privateKey);
    ScopedWipe wipePublic(publicKey);

    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY* key = nullptr;
    bool ok = context && EVP_PKEY_keygen_init(context) >= 1
        && EVP_PKEY_keygen(context, &key) >= 1 && key;
    size_t length = privateKey.size();
    ok = ok && EVP_PKEY_get_raw_private_key(key, privateKey.data(), &length) == 1
        && length == keyBytes;
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(context);
    // The public half is derived from the saved private bytes, not taken from the key object,
    // so the file is consistent by construction.
    ok = ok && publicFromPrivate(privateKey.data(), privateKey.size(), &publicKey);
    if (!ok)
        return std::nullopt;

    QByteArray dText = base64Url(privateKey.data(), privateKey.size());
    ScopedWipe wipeDText(dText);
    const QString x = QString::fromLatin1(base64Url(publicKey.data(), publicKey.size()));
    if (dText.size() != base64Key || x.size() != base64Key)
        return std::nullopt;

    QString d = QString::fromLatin1(dText);
    QJsonObject document{{QStringLiteral("crv"), QStringLiteral("Ed25519")},
                         {QStringLiteral("d"), d},
                         {QStringLiteral("kty"), QStringLiteral("OKP")},
                         {QStringLiteral("x"), x}};
    d.fill(QLatin1Char('0'));
    QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Compact);
    ScopedWipe wipeBytes(bytes);
    if (!writeOwnerOnlyBytes(path, bytes))
        return std::nullopt;
    ++identityGenerations;
    return identityFromX(x);
}

bool validPattern(const QRegularExpression& pattern, const QString& text)
{
    return pattern.match(text).hasMatch();
}

QDateTime parseExpiry(const QString& text)
{
    QDateTime stamp = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!stamp.isValid())
        stamp = QDateTime::fromString(text, Qt::ISODate);
    return stamp.isValid() ? stamp.toUTC() : QDateTime();
}

} // namespace

NativePlayerIdentityStore::NativePlayerIdentityStore(QString path) : path_(std::move(path)) {}

bool NativePlayerIdentityStore::enabled() const
{
    return !path_.isEmpty();
}

quint32 NativePlayerIdentityStore::generations()
{
    return identityGenerations.load();
}

std::optional<NativePlayerIdentity> NativePlayerIdentityStore::open(bool createIfMissing) const
{
    if (path_.isEmpty())
        return std::nullopt;
    struct stat info {};
    if (createIfMissing && !existsAtPath(path_, &info) && errno == ENOENT)
        return generatePlayerIdentity(path_);
    return load();
}

std::optional<NativePlayerIdentity> NativePlayerIdentityStore::load() const
{
    if (path_.isEmpty())
        return std::nullopt;
    const QJsonObject file = readOwnerOnlyObject(path_);
    if (file.isEmpty())
        return std::nullopt;
    if (file.value(QLatin1String("kty")).toString() != QLatin1String("OKP")
        || file.value(QLatin1String("crv")).toString() != QLatin1String("Ed25519"))
        return std::nullopt;

    const QString x = file.value(QLatin1String("x")).toString();
    const QByteArray publicBytes = decodeBase64Url32(x);
    QByteArray privateBytes = decodeBase64Url32(file.value(QLatin1String("d")).toString());
    ScopedWipe wipePrivate(privateBytes);
    KeyBuffer derived{};
    ScopedWipe wipeDerived(derived);
    if (publicBytes.isEmpty() || privateBytes.isEmpty()
        || !publicFromPrivate(reinterpret_cast<const unsigned char*>(privateBytes.constData()),
                              size_t(privateBytes.size()), &derived)
        || QByteArray::fromRawData(reinterpret_cast<const char*>(derived.data()),
                                   qsizetype(derived.size()))
            != publicBytes)
        return std::nullopt;

    NativePlayerIdentity identity = identityFromX(x);
    if (file.contains(QLatin1String("kid"))) {
        const QJsonValue kid = file.value(QLatin1String("kid"));
        if (!kid.isString() || kid.toString() != identity.kid)
            return std::nullopt;
    }
    if (identity.kid.size() != base64Key || identity.x.size() != base64Key)
        return std::nullopt;
    return identity;
}

std::optional<NativePlayerIdentity> NativePlayerIdentityStore::reset() const
{
    if (path_.isEmpty())
        return std::nullopt;
    // The old key goes with any copy an interrupted save left beside it; the new identity's
    // own save makes the directory durable again.
    StorageFiles::removeStateFile(path_);
    struct stat info {};
    if (existsAtPath(path_, &info) || errno != ENOENT)
        return std::nullopt;
    return generatePlayerIdentity(path_);
}

QJsonObject NativePlayerIdentityStore::publicKey() const
{
    const std::optional<NativePlayerIdentity> identity = load();
    if (!identity)
        return {};
    return QJsonObject{{QStringLiteral("kty"), QStringLiteral("OKP")},
                       {QStringLiteral("crv"), QStringLiteral("Ed25519")},
                       {QStringLiteral("x"), identity->x}};
}

std::optional<QString> NativePlayerIdentityStore::signCompactJws(const QString& op,
                                                                 const QString& nonce,
                                                                 const QDateTime& challengeExpiry,
                                                                 const QString& requestHash,
                                                                 qint64 clockOffsetMs) const
{
    if (!identityOp(op) || !matchesBase64Url43(nonce) || decodeBase64Url32(nonce).isEmpty()
        || !challengeExpiry.isValid() || !StorageFiles::validDigest(requestHash))
        return std::nullopt;
    const std::optional<NativePlayerIdentity> identity = load();
    if (!identity)
        return std::nullopt;

    QByteArray privateBytes = decodeBase64Url32(readOwnerOnlyObject(path_).value(QLatin1String("d")).toString());
    ScopedWipe wipePrivate(privateBytes);
    KeyBuffer derived{};
    ScopedWipe wipeDerived(derived);
    // The file may have been replaced since load(): sign only with the key that was checked.
    if (privateBytes.isEmpty()
        || !publicFromPrivate(reinterpret_cast<const unsigned char*>(privateBytes.constData()),
                              size_t(privateBytes.size()), &derived)
        || QString::fromLatin1(base64Url(derived.data(), derived.size())) != identity->x)
        return std::nullopt;

    // The offset comes from the service's clock: one that puts the time outside what 64 bits
    // of milliseconds can hold makes no proof rather than a wrapped one.
    qint64 nowMs = 0;
    if (qAddOverflow(QDateTime::currentMSecsSinceEpoch(), clockOffsetMs, &nowMs))
        return std::nullopt;
    const qint64 iat = nowMs >= 0 ? nowMs / 1000 : -((-nowMs + 999) / 1000);
    const qint64 expiryMs = challengeExpiry.toMSecsSinceEpoch();
    const qint64 expirySeconds = expiryMs >= 0 ? expiryMs / 1000 : -((-expiryMs + 999) / 1000);
    const qint64 exp = std::min(iat + proofLifetimeS, expirySeconds);
    if (iat <= 0 || iat >= exp)
        return std::nullopt;

    KeyBuffer random{};
    ScopedWipe wipeRandom(random);
    if (RAND_bytes(random.data(), int(random.size())) != 1)
        return std::nullopt;
    const QString jti = QString::fromLatin1(base64Url(random.data(), random.size()));

    static const QByteArray header = QByteArrayLiteral("{\"alg\":\"EdDSA\"}");
    // QJsonObject keeps its members sorted, which is exactly the order the service verifies.
    const QJsonObject claims{{QStringLiteral("aud"), QStringLiteral("talvorine-runtime")},
                             {QStringLiteral("exp"), exp},
                             {QStringLiteral("iat"), iat},
                             {QStringLiteral("jti"), jti},
                             {QStringLiteral("kid"), identity->kid},
                             {QStringLiteral("nonce"), nonce},
                             {QStringLiteral("op"), op},
                             {QStringLiteral("request_hash"), requestHash}};
    const QByteArray signingInput = header.toBase64(base64UrlOptions) + '.'
        + QJsonDocument(claims).toJson(QJsonDocument::Compact).toBase64(base64UrlOptions);

    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(privateBytes.constData()),
        size_t(privateBytes.size()));
    OPENSSL_cleanse(privateBytes.data(), size_t(privateBytes.size()));
    if (!key)
        return std::nullopt;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::array<unsigned char, 64> signature{};
    size_t signatureLength = signature.size();
    const bool signedOk = context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1
        && EVP_DigestSign(context, signature.data(), &signatureLength,
                          reinterpret_cast<const unsigned char*>(signingInput.constData()),
                          size_t(signingInput.size()))
            == 1
        && signatureLength == signature.size();
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    if (!signedOk)
        return std::nullopt;
    return QString::fromLatin1(signingInput + '.' + base64Url(signature.data(), signature.size()));
}

QString nativeIdentityRequestHash(const QString& op, const QList<QString>& parts)
{
    qsizetype expected = -1;
    if (op == QLatin1String("identity.reset"))
        expected = 0;
    else if (op == QLatin1String("pairing.start") || op == QLatin1String("session.mint"))
        expected = 1;
    else if (op == QLatin1String("pairing.complete"))
        expected = 2;
    if (expected < 0 || parts.size() != expected)
        return {};
    QByteArray input = requestHashDomain;
    input.append('\0');
    input.append(op.toUtf8());
    for (const QString& part : parts) {
        if (part.isEmpty() || part.contains(QChar(0)))
            return {};
        input.append('\0');
        input.append(part.toUtf8());
    }
    const QByteArray digest = sha256(input);
    return digest.isEmpty() ? QString() : QString::fromLatin1(digest.toHex());
}

NativePairingStore::NativePairingStore(QString path) : path_(std::move(path)) {}

bool NativePairingStore::enabled() const
{
    return !path_.isEmpty();
}

bool NativePairingStore::validPairingCredential(const QString& credential)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("tvp_[A-Za-z0-9_-]{43}")));
    return validPattern(pattern, credential);
}

bool NativePairingStore::validLocator(const QString& code)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[23456789ABCDEFGHJKMNPQRSTUVWXYZ]{6}")));
    return validPattern(pattern, code);
}

bool NativePairingStore::validStartIdempotencyKey(const QString& key)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[^\\r\\n]{8,200}")));
    return validPattern(pattern, key);
}

std::optional<NativePairingSession> NativePairingStore::load() const
{
    const QJsonObject file = readOwnerOnlyObject(path_);
    NativePairingSession session{file.value(QLatin1String("code")).toString(),
                                 file.value(QLatin1String("pairing_credential")).toString(),
                                 parseExpiry(file.value(QLatin1String("expires_at")).toString())};
    if (!validLocator(session.code) || !validPairingCredential(session.pairingCredential)
        || !session.expiresAt.isValid())
        return std::nullopt;
    return session;
}

bool NativePairingStore::save(const NativePairingSession& session) const
{
    if (path_.isEmpty() || !validLocator(session.code)
        || !validPairingCredential(session.pairingCredential) || !session.expiresAt.isValid())
        return false;
    const QJsonObject file{
        {QStringLiteral("code"), session.code},
        {QStringLiteral("expires_at"), session.expiresAt.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("pairing_credential"), session.pairingCredential}};
    return writeOwnerOnlyBytes(path_, QJsonDocument(file).toJson(QJsonDocument::Compact));
}

void NativePairingStore::clear() const
{
    if (!path_.isEmpty())
        StorageFiles::removeStateFile(path_);
}

std::pair<QString, QDateTime> NativePairingStore::locator() const
{
    const std::optional<NativePairingSession> session = load();
    if (!session)
        return {QString(), QDateTime()};
    return {session->code, session->expiresAt};
}

bool NativePairingStore::saveStartIdempotencyKey(const QString& key) const
{
    if (path_.isEmpty() || !validStartIdempotencyKey(key))
        return false;
    if (load())
        return false;
    struct stat info {};
    if (existsAtPath(path_, &info) && !ownerOnlyRegularFile(info))
        return false;
    const QJsonObject file{{QStringLiteral("idempotency_key"), key}};
    return writeOwnerOnlyBytes(path_, QJsonDocument(file).toJson(QJsonDocument::Compact));
}

QString NativePairingStore::loadStartIdempotencyKey() const
{
    if (load())
        return {};
    const QString key = readOwnerOnlyObject(path_).value(QLatin1String("idempotency_key")).toString();
    return validStartIdempotencyKey(key) ? key : QString();
}

void NativePairingStore::clearStartIdempotencyKey() const
{
    if (path_.isEmpty() || load())
        return;
    StorageFiles::removeStateFile(path_);
}

NativeCredentialStore::NativeCredentialStore(QString path) : path_(std::move(path)) {}

bool NativeCredentialStore::validDeviceCredential(const QString& credential)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("tvd_[A-Za-z0-9_-]{22}_[A-Za-z0-9_-]{43}")));
    return validPattern(pattern, credential);
}

QString NativeCredentialStore::load() const
{
    std::optional<QByteArray> content = readOwnerOnlyFile(path_);
    if (!content)
        return {};
    ScopedWipe wipe(*content);
    const QString credential = QString::fromUtf8(*content).trimmed();
    return validDeviceCredential(credential) ? credential : QString();
}

bool NativeCredentialStore::save(const QString& credential) const
{
    if (!validDeviceCredential(credential))
        return false;
    return writeOwnerOnlyBytes(path_, credential.toUtf8());
}

void NativeCredentialStore::clear() const
{
    if (!path_.isEmpty())
        StorageFiles::removeStateFile(path_);
}

} // namespace talvorine
