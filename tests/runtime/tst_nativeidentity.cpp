#include "runtime/NativeCredentialStore.h"

#include "FsyncProbe.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace talvorine;

namespace {

// RFC 8032 section 7.1, test 1.
const QByteArray vectorPrivate =
    QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const QByteArray vectorPublic =
    QByteArray::fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
// The same key's thumbprint as published with the JOSE key type for it (RFC 8037 A.3).
const QString vectorThumbprint = QStringLiteral("kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");

QString b64url(const QByteArray& bytes)
{
    return QString::fromLatin1(test::base64Url(bytes));
}

// Computed here the long way, with a different SHA-256 than the store's.
QString thumbprintOf(const QString& x)
{
    const QByteArray canonical = R"({"crv":"Ed25519","kty":"OKP","x":")" + x.toLatin1() + R"("})";
    return b64url(QCryptographicHash::hash(canonical, QCryptographicHash::Sha256));
}

QString validNonce()
{
    return b64url(QByteArray(32, '\x5a'));
}

QString validHash()
{
    return QString(64, QLatin1Char('a'));
}

QJsonObject vectorIdentityFile()
{
    return QJsonObject{{"crv", "Ed25519"},
                       {"d", b64url(vectorPrivate)},
                       {"kty", "OKP"},
                       {"x", b64url(vectorPublic)}};
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The request hash the long way: domain, zero byte, op, and each part after a zero byte.
QString expectedRequestHash(const QString& op, const QStringList& parts)
{
    QByteArray input("talvorine.native.identity.request.v1");
    input.append('\0').append(op.toUtf8());
    for (const QString& part : parts)
        input.append('\0').append(part.toUtf8());
    return QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestNativeIdentity : public QObject {
    Q_OBJECT

private slots:
    void init();

    // known key
    void knownKeyGivesItsThumbprint();
    void publicKeyIsTheJwk();
    void proofVerifiesAndCarriesTheClaims();
    void proofLifetime_data();
    void proofLifetime();
    void proofRefusedForUnrepresentableClock_data();
    void proofRefusedForUnrepresentableClock();
    void proofRefusals_data();
    void proofRefusals();
    void proofRefusedWhenFileChangesUnderfoot();

    // request hashes
    void requestHash_data();
    void requestHash();

    // the file
    void loadRefusals_data();
    void loadRefusals();
    void fileModeAndKindRefusals_data();
    void fileModeAndKindRefusals();
    void openCreatesOwnerOnlyFile();
    void openDoesNotReplaceAnInvalidFile();
    void resetReplacesTheIdentity();
    void resetRemovesALinkNotItsTarget();
    void resetFailsWhenTheFileCannotBeRemoved();
    void disabledStore();

    // durability
    void createdIdentityIsSyncedAfterTheRename();
    void failedDirectorySyncFailsTheCreate();

private:
    QString path() const { return dir->filePath("state/player-identity"); }
    void writeIdentity(const QJsonObject& object)
    {
        QDir().mkpath(dir->filePath("state"));
        QVERIFY(testfiles::write(path(), compact(object)));
    }

    std::unique_ptr<QTemporaryDir> dir;
};

void TestNativeIdentity::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestNativeIdentity::knownKeyGivesItsThumbprint()
{
    writeIdentity(vectorIdentityFile());
    const auto identity = NativePlayerIdentityStore(path()).load();
    QVERIFY(identity);
    QCOMPARE(identity->x, b64url(vectorPublic));
    QCOMPARE(identity->kid, thumbprintOf(identity->x));
    QCOMPARE(identity->kid, vectorThumbprint);
}

void TestNativeIdentity::publicKeyIsTheJwk()
{
    writeIdentity(vectorIdentityFile());
    const QJsonObject jwk = NativePlayerIdentityStore(path()).publicKey();
    QCOMPARE(jwk, (QJsonObject{{"kty", "OKP"}, {"crv", "Ed25519"}, {"x", b64url(vectorPublic)}}));
    QVERIFY(!jwk.contains("d"));
}

void TestNativeIdentity::proofVerifiesAndCarriesTheClaims()
{
    writeIdentity(vectorIdentityFile());
    const NativePlayerIdentityStore store(path());
    const QString hash = nativeIdentityRequestHash("session.mint", {"native-key-1"});
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(600);
    const auto proof = store.signCompactJws("session.mint", validNonce(), expiry, hash, 0);
    QVERIFY(proof);

    const QList<QByteArray> parts = proof->toLatin1().split('.');
    QCOMPARE(parts.size(), qsizetype(3));
    QCOMPARE(test::fromBase64Url(parts[0]), QByteArray(R"({"alg":"EdDSA"})"));
    QCOMPARE(parts[2].size(), qsizetype(86));
    QVERIFY(test::verifyEd25519(vectorPublic, parts[0] + '.' + parts[1],
                                test::fromBase64Url(parts[2])));
    // A changed claim no longer verifies against the key.
    QByteArray tampered = test::fromBase64Url(parts[1]).replace("session.mint", "pairing.start");
    QVERIFY(!test::verifyEd25519(vectorPublic, parts[0] + '.' + b64url(tampered).toLatin1(),
                                 test::fromBase64Url(parts[2])));

    const QByteArray claimsText = test::fromBase64Url(parts[1]);
    const QJsonObject claims = QJsonDocument::fromJson(claimsText).object();
    // Member order is part of the contract, not just the values.
    QCOMPARE(claimsText.left(29), QByteArray(R"({"aud":"talvorine-runtime","e)"));
    QList<qsizetype> order;
    for (const char* key : {"\"aud\"", "\"exp\"", "\"iat\"", "\"jti\"", "\"kid\"", "\"nonce\"",
                            "\"op\"", "\"request_hash\""})
        order.append(claimsText.indexOf(key));
    for (qsizetype i = 1; i < order.size(); ++i)
        QVERIFY(order[i - 1] >= 0 && order[i - 1] < order[i]);
    QCOMPARE(claims.size(), qsizetype(8));
    QCOMPARE(claims["kid"].toString(), vectorThumbprint);
    QCOMPARE(claims["nonce"].toString(), validNonce());
    QCOMPARE(claims["op"].toString(), QStringLiteral("session.mint"));
    QCOMPARE(claims["request_hash"].toString(), hash);
    QCOMPARE(claims["jti"].toString().size(), qsizetype(43));
    QCOMPARE(test::fromBase64Url(claims["jti"].toString().toLatin1()).size(), qsizetype(32));
    QVERIFY(!claimsText.contains(' '));

    const auto second = store.signCompactJws("session.mint", validNonce(), expiry, hash, 0);
    QVERIFY(second);
    const QJsonObject secondClaims =
        QJsonDocument::fromJson(test::fromBase64Url(second->toLatin1().split('.')[1])).object();
    QVERIFY(secondClaims["jti"].toString() != claims["jti"].toString());
}

void TestNativeIdentity::proofLifetime_data()
{
    QTest::addColumn<int>("expiresInS");
    QTest::addColumn<qint64>("clockOffsetMs");
    QTest::addColumn<bool>("made");
    QTest::addColumn<int>("lifetimeS"); // exp - iat; -1 when it follows from the expiry

    QTest::newRow("challenge in 30 s bounds the proof") << 30 << qint64(0) << true << -1;
    QTest::newRow("challenge in 10 min: 120 s") << 600 << qint64(0) << true << 120;
    QTest::newRow("already expired") << -5 << qint64(0) << false << 0;
    QTest::newRow("server clock 20 min ahead") << 3600 << qint64(1200000) << true << 120;
    QTest::newRow("offset clock passes the expiry") << 60 << qint64(120000) << false << 0;
    QTest::newRow("server clock behind keeps the expiry bound") << 100 << qint64(-60000) << true
                                                                << 120;
}

void TestNativeIdentity::proofLifetime()
{
    QFETCH(int, expiresInS);
    QFETCH(qint64, clockOffsetMs);
    QFETCH(bool, made);
    QFETCH(int, lifetimeS);

    writeIdentity(vectorIdentityFile());
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(expiresInS);
    const qint64 before = (QDateTime::currentMSecsSinceEpoch() + clockOffsetMs) / 1000;
    const auto proof = NativePlayerIdentityStore(path()).signCompactJws(
        "pairing.start", validNonce(), expiry, validHash(), clockOffsetMs);
    const qint64 after = (QDateTime::currentMSecsSinceEpoch() + clockOffsetMs) / 1000;
    QCOMPARE(proof.has_value(), made);
    if (!made)
        return;
    const QJsonObject claims =
        QJsonDocument::fromJson(test::fromBase64Url(proof->toLatin1().split('.')[1])).object();
    const qint64 iat = claims["iat"].toInteger();
    const qint64 exp = claims["exp"].toInteger();
    QVERIFY(iat >= before && iat <= after);
    if (lifetimeS >= 0)
        QCOMPARE(exp - iat, qint64(lifetimeS));
    else
        QCOMPARE(exp, expiry.toSecsSinceEpoch()); // the expiry is never shifted by the offset
}

void TestNativeIdentity::proofRefusedForUnrepresentableClock_data()
{
    QTest::addColumn<qint64>("clockOffsetMs");
    QTest::newRow("largest offset") << std::numeric_limits<qint64>::max();
    QTest::newRow("largest offset less one hour")
        << std::numeric_limits<qint64>::max() - 3600000;
    QTest::newRow("smallest offset") << std::numeric_limits<qint64>::min();
}

void TestNativeIdentity::proofRefusedForUnrepresentableClock()
{
    QFETCH(qint64, clockOffsetMs);
    writeIdentity(vectorIdentityFile());
    const NativePlayerIdentityStore store(path());
    const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(600);
    QVERIFY(!store.signCompactJws("session.mint", validNonce(), later, validHash(), clockOffsetMs));
}

void TestNativeIdentity::proofRefusals_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("nonce");
    QTest::addColumn<QDateTime>("expiry");
    QTest::addColumn<QString>("hash");

    const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(600);
    QTest::newRow("unknown op") << "session.renew" << validNonce() << later << validHash();
    QTest::newRow("op case") << "Session.mint" << validNonce() << later << validHash();
    QTest::newRow("nonce of 42") << "session.mint" << validNonce().left(42) << later << validHash();
    QTest::newRow("nonce of 44") << "session.mint" << validNonce() + "A" << later << validHash();
    QTest::newRow("nonce with trailing line feed")
        << "session.mint" << validNonce().left(42) + "\n" << later << validHash();
    QTest::newRow("nonce with spare bits set")
        << "session.mint" << b64url(QByteArray(32, '\0')).left(42) + "B" << later << validHash();
    QTest::newRow("nonce in standard alphabet")
        << "session.mint" << b64url(QByteArray(32, '\xff')).replace('_', '/') << later
        << validHash();
    QTest::newRow("invalid expiry") << "session.mint" << validNonce() << QDateTime() << validHash();
    QTest::newRow("expiring this second")
        << "session.mint" << validNonce() << QDateTime::currentDateTimeUtc() << validHash();
    QTest::newRow("upper-case hash") << "session.mint" << validNonce() << later
                                     << QString(64, QLatin1Char('A'));
    QTest::newRow("short hash") << "session.mint" << validNonce() << later << validHash().left(63);
    QTest::newRow("hash with trailing line feed")
        << "session.mint" << validNonce() << later << validHash().left(63) + "\n";
}

void TestNativeIdentity::proofRefusals()
{
    QFETCH(QString, op);
    QFETCH(QString, nonce);
    QFETCH(QDateTime, expiry);
    QFETCH(QString, hash);
    writeIdentity(vectorIdentityFile());
    const NativePlayerIdentityStore store(path());
    QVERIFY(store.signCompactJws("session.mint", validNonce(),
                                 QDateTime::currentDateTimeUtc().addSecs(600), validHash(), 0));
    QVERIFY(!store.signCompactJws(op, nonce, expiry, hash, 0));
}

void TestNativeIdentity::proofRefusedWhenFileChangesUnderfoot()
{
    // A private key that does not belong to the public key must never sign.
    QJsonObject mismatched = vectorIdentityFile();
    mismatched["d"] = b64url(QByteArray(32, '\x11'));
    writeIdentity(mismatched);
    const NativePlayerIdentityStore store(path());
    QVERIFY(!store.load());
    QVERIFY(!store.signCompactJws("identity.reset", validNonce(),
                                  QDateTime::currentDateTimeUtc().addSecs(60), validHash(), 0));
}

void TestNativeIdentity::requestHash_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("identity.reset without parts") << "identity.reset" << QStringList{} << true;
    QTest::newRow("pairing.start") << "pairing.start" << QStringList{"start-key-1"} << true;
    QTest::newRow("session.mint") << "session.mint" << QStringList{"native-key"} << true;
    QTest::newRow("pairing.complete")
        << "pairing.complete" << QStringList{"tvp_credential", "nonce"} << true;
    QTest::newRow("non-ASCII part is hashed as UTF-8")
        << "pairing.start" << QStringList{QStringLiteral("schl\u00fcssel")} << true;
    QTest::newRow("session.mint without parts") << "session.mint" << QStringList{} << false;
    QTest::newRow("pairing.complete with one part")
        << "pairing.complete" << QStringList{"only"} << false;
    QTest::newRow("identity.reset with a part") << "identity.reset" << QStringList{"x"} << false;
    QTest::newRow("empty part") << "pairing.start" << QStringList{QString()} << false;
    QTest::newRow("part with U+0000")
        << "pairing.start" << QStringList{QStringLiteral("a") + QChar(0) + "b"} << false;
    QTest::newRow("unknown op") << "pairing.cancel" << QStringList{"k"} << false;
}

void TestNativeIdentity::requestHash()
{
    QFETCH(QString, op);
    QFETCH(QStringList, parts);
    QFETCH(bool, accepted);
    const QString hash = nativeIdentityRequestHash(op, parts);
    if (!accepted) {
        QVERIFY(hash.isEmpty());
        return;
    }
    QCOMPARE(hash, expectedRequestHash(op, parts));
    // Parts are separated, so moving a boundary changes the hash.
    if (parts.size() == 2)
        QVERIFY(hash != nativeIdentityRequestHash(op, {parts[0] + parts[1].left(1),
                                                        parts[1].mid(1)}));
}

void TestNativeIdentity::loadRefusals_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loads");

    const QJsonObject good = vectorIdentityFile();
    auto with = [&](const char* key, const QJsonValue& value) {
        QJsonObject copy = good;
        copy[QLatin1String(key)] = value;
        return compact(copy);
    };
    auto without = [&](const char* key) {
        QJsonObject copy = good;
        copy.remove(QLatin1String(key));
        return compact(copy);
    };
    const QString x = b64url(vectorPublic);

    QTest::newRow("valid") << compact(good) << true;
    QTest::newRow("valid with matching kid") << with("kid", vectorThumbprint) << true;
    QTest::newRow("other members ignored") << with("use", "sig") << true;
    QTest::newRow("pretty printed") << QJsonDocument(good).toJson(QJsonDocument::Indented) << true;
    QTest::newRow("kid differs") << with("kid", thumbprintOf(b64url(QByteArray(32, 'q')))) << false;
    QTest::newRow("kid not text") << with("kid", 5) << false;
    QTest::newRow("x of another key") << with("x", b64url(QByteArray(32, '\x01'))) << false;
    QTest::newRow("kty case") << with("kty", "okp") << false;
    QTest::newRow("crv case") << with("crv", "ed25519") << false;
    QTest::newRow("x with spare bits set")
        << with("x", x.left(42) + QChar(x.at(42).toLatin1() + 1)) << false;
    QTest::newRow("x padded") << with("x", x + "=") << false;
    QTest::newRow("d of 31 bytes") << with("d", b64url(vectorPrivate.left(31))) << false;
    QTest::newRow("x missing") << without("x") << false;
    QTest::newRow("d missing") << without("d") << false;
    QTest::newRow("array") << QByteArray("[1,2]") << false;
    QTest::newRow("not JSON") << QByteArray("\x01\x02\xff") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestNativeIdentity::loadRefusals()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, loads);
    QDir().mkpath(dir->filePath("state"));
    QVERIFY(testfiles::write(path(), content));
    const NativePlayerIdentityStore store(path());
    QCOMPARE(store.load().has_value(), loads);
    QCOMPARE(store.publicKey().isEmpty(), !loads);
    QCOMPARE(store.signCompactJws("identity.reset", validNonce(),
                                  QDateTime::currentDateTimeUtc().addSecs(60), validHash(), 0)
                 .has_value(),
             loads);
}

void TestNativeIdentity::fileModeAndKindRefusals_data()
{
    QTest::addColumn<QString>("shape");
    QTest::newRow("group readable 0640") << "0640";
    QTest::newRow("other readable 0604") << "0604";
    QTest::newRow("group writable 0620") << "0620";
    QTest::newRow("symbolic link to a valid file") << "link";
    QTest::newRow("directory") << "directory";
    QTest::newRow("named pipe") << "fifo";
}

void TestNativeIdentity::fileModeAndKindRefusals()
{
    QFETCH(QString, shape);
    QDir().mkpath(dir->filePath("state"));
    const QString real = dir->filePath("real-identity");
    QVERIFY(testfiles::write(real, compact(vectorIdentityFile())));
    if (shape == "link") {
        QVERIFY(QFile::link(real, path()));
    } else if (shape == "directory") {
        QVERIFY(QDir().mkpath(path()));
    } else if (shape == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    } else {
        QVERIFY(
            testfiles::write(path(), compact(vectorIdentityFile()), shape.toInt(nullptr, 8)));
    }
    const NativePlayerIdentityStore store(path());
    QVERIFY(!store.load());
    // Present but unusable: open never replaces it.
    const quint32 generations = NativePlayerIdentityStore::generations();
    QVERIFY(!store.open(true));
    QCOMPARE(NativePlayerIdentityStore::generations(), generations);
    QCOMPARE(testfiles::read(real), compact(vectorIdentityFile()));
}

void TestNativeIdentity::openCreatesOwnerOnlyFile()
{
    const QString nested = dir->filePath("a/b/player-identity");
    const NativePlayerIdentityStore store(nested);
    QVERIFY(!store.open(false));
    QVERIFY(!QFileInfo::exists(nested));

    const quint32 generations = NativePlayerIdentityStore::generations();
    const auto created = store.open(true);
    QVERIFY(created);
    QCOMPARE(NativePlayerIdentityStore::generations(), generations + 1);
    QCOMPARE(testfiles::modeOf(nested), 0600);
    QCOMPARE(testfiles::modeOf(dir->filePath("a/b")), 0700);
    QCOMPARE(created->kid, thumbprintOf(created->x));

    const QByteArray content = testfiles::read(nested);
    QVERIFY(content.startsWith(R"({"crv":"Ed25519","d":")"));
    QVERIFY(content.endsWith(R"(","kty":"OKP","x":")" + created->x.toLatin1() + R"("})"));
    const QJsonObject file = QJsonDocument::fromJson(content).object();
    QCOMPARE(file["d"].toString().size(), qsizetype(43));

    // Opening again reads the same identity and creates nothing.
    const auto again = store.open(true);
    QVERIFY(again);
    QCOMPARE(again->kid, created->kid);
    QCOMPARE(NativePlayerIdentityStore::generations(), generations + 1);

    // Proofs of a generated key verify against its own public key.
    const auto proof = store.signCompactJws("identity.reset", validNonce(),
                                            QDateTime::currentDateTimeUtc().addSecs(60),
                                            validHash(), 0);
    QVERIFY(proof);
    const QList<QByteArray> parts = proof->toLatin1().split('.');
    QVERIFY(test::verifyEd25519(test::fromBase64Url(created->x.toLatin1()),
                                parts[0] + '.' + parts[1], test::fromBase64Url(parts[2])));
}

void TestNativeIdentity::openDoesNotReplaceAnInvalidFile()
{
    QDir().mkpath(dir->filePath("state"));
    QVERIFY(testfiles::write(path(), "not an identity"));
    const quint32 generations = NativePlayerIdentityStore::generations();
    QVERIFY(!NativePlayerIdentityStore(path()).open(true));
    QCOMPARE(testfiles::read(path()), QByteArray("not an identity"));
    QCOMPARE(NativePlayerIdentityStore::generations(), generations);
}

void TestNativeIdentity::resetReplacesTheIdentity()
{
    for (const QByteArray& before : {compact(vectorIdentityFile()), QByteArray("garbage")}) {
        QDir().mkpath(dir->filePath("state"));
        QVERIFY(testfiles::write(path(), before));
        const quint32 generations = NativePlayerIdentityStore::generations();
        const NativePlayerIdentityStore store(path());
        const auto fresh = store.reset();
        QVERIFY(fresh);
        QVERIFY(fresh->x != b64url(vectorPublic));
        QCOMPARE(NativePlayerIdentityStore::generations(), generations + 1);
        QCOMPARE(store.load()->kid, fresh->kid);
        QCOMPARE(testfiles::modeOf(path()), 0600);
    }
}

void TestNativeIdentity::resetRemovesALinkNotItsTarget()
{
    QDir().mkpath(dir->filePath("state"));
    const QString real = dir->filePath("elsewhere");
    QVERIFY(testfiles::write(real, "keep me"));
    QVERIFY(QFile::link(real, path()));
    QVERIFY(NativePlayerIdentityStore(path()).reset());
    QCOMPARE(testfiles::read(real), QByteArray("keep me"));
    QVERIFY(!QFileInfo(path()).isSymLink());
    QVERIFY(QFileInfo(path()).isFile());
}

void TestNativeIdentity::resetFailsWhenTheFileCannotBeRemoved()
{
    QVERIFY(QDir().mkpath(path()));
    const quint32 generations = NativePlayerIdentityStore::generations();
    QVERIFY(!NativePlayerIdentityStore(path()).reset());
    QVERIFY(QFileInfo(path()).isDir());
    QCOMPARE(NativePlayerIdentityStore::generations(), generations);
}

void TestNativeIdentity::disabledStore()
{
    const NativePlayerIdentityStore store{QString()};
    QVERIFY(!store.enabled());
    QVERIFY(!store.open(true));
    QVERIFY(!store.load());
    QVERIFY(!store.reset());
    QVERIFY(store.publicKey().isEmpty());
    QVERIFY(!store.signCompactJws("identity.reset", validNonce(),
                                  QDateTime::currentDateTimeUtc().addSecs(60), validHash(), 0));
    QVERIFY(NativePlayerIdentityStore(path()).enabled());
}

void TestNativeIdentity::createdIdentityIsSyncedAfterTheRename()
{
    test::FsyncProbe probe(path());
    const auto created = NativePlayerIdentityStore(path()).open(true);
    QVERIFY(created);
    bool syncedAfterCommit = false;
    for (const test::DirectorySync& sync : probe.directorySyncs()) {
        if (QFileInfo(sync.directory).canonicalFilePath()
                == QFileInfo(dir->filePath("state")).canonicalFilePath()
            && sync.watchedExists && sync.watchedContent.contains(created->x.toLatin1()))
            syncedAfterCommit = true;
    }
    QVERIFY2(syncedAfterCommit, "the state directory was not synced after the identity landed");

    // A reset commits a new file and must sync again.
    test::FsyncProbe resetProbe(path());
    const auto fresh = NativePlayerIdentityStore(path()).reset();
    QVERIFY(fresh);
    QVERIFY(!resetProbe.directorySyncs().isEmpty());
    QVERIFY(resetProbe.directorySyncs().last().watchedContent.contains(fresh->x.toLatin1()));
}

void TestNativeIdentity::failedDirectorySyncFailsTheCreate()
{
    test::FsyncProbe probe(path());
    probe.failDirectorySyncs(true);
    const quint32 generations = NativePlayerIdentityStore::generations();
    // Not known to be durable: the caller must not pair with it as if it were.
    QVERIFY(!NativePlayerIdentityStore(path()).open(true));
    QCOMPARE(NativePlayerIdentityStore::generations(), generations);
    QVERIFY(!probe.directorySyncs().isEmpty());
}

QTEST_GUILESS_MAIN(TestNativeIdentity)
#include "tst_nativeidentity.moc"
