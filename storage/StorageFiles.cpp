#include "storage/StorageFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QMutex>
#include <QRegularExpression>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine::StorageFiles {

namespace {

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

const EVP_MD* sha256Method()
{
    // Fetched once: an explicit fetch avoids the implicit provider look-up of every init.
    static EVP_MD* method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method ? method : EVP_sha256();
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    close();
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool UniqueFd::close()
{
    if (m_fd < 0)
        return true;
    const int fd = release();
    return ::close(fd) == 0;
}

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new())
{
    m_ok = m_ctx && EVP_DigestInit_ex(m_ctx, sha256Method(), nullptr) == 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_ctx);
}

void Sha256::update(const char* data, qint64 size)
{
    if (m_ok && size > 0)
        m_ok = EVP_DigestUpdate(m_ctx, data, size_t(size)) == 1;
}

std::optional<QByteArray> Sha256::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_ctx, digest, &length) != 1 || length != 32) {
        m_ok = false;
        return std::nullopt;
    }
    m_ok = false;
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}

std::optional<QString> Sha256::finishHex()
{
    const std::optional<QByteArray> digest = finish();
    if (!digest)
        return std::nullopt;
    return QString::fromLatin1(digest->toHex());
}

std::optional<QByteArray> sha256(QByteArrayView bytes)
{
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finish();
}

std::optional<QString> sha256Hex(QByteArrayView bytes)
{
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

bool validDigest(const QString& name)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-f0-9]{64}")));
    return pattern.match(name).hasMatch();
}

bool ensurePrivateDirectory(const QString& path)
{
    if (path.isEmpty())
        return false;
    // The levels still missing, outermost first: each new one is durable only once its
    // parent has been synced.
    QStringList created;
    for (QString level = QDir::cleanPath(QFileInfo(path).absoluteFilePath()); !entryExists(level);) {
        created.prepend(level);
        const QString parent = QFileInfo(level).path();
        if (parent == level)
            break;
        level = parent;
    }
    if (!QDir().mkpath(path))
        return false;
    const QByteArray name = encoded(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0)
        return false;
    for (const QString& level : std::as_const(created)) {
        if (!fsyncDirectory(QFileInfo(level).path()))
            return false;
    }
    return true;
}

QString directoryProblem(const QString& path)
{
    std::error_code error;
    const std::filesystem::path directory(encoded(path).toStdString());
    // Something other than a directory already at the path is "Not a directory".
    if (path.isEmpty())
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    else
        std::filesystem::create_directories(directory, error);
    if (error)
        return QString::fromLocal8Bit(error.message());
    // An unnamed file leaves nothing behind; a file system without them gets a named one.
    int fd = ::open(encoded(path).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        QByteArray name = encoded(QDir(path).filePath(QStringLiteral(".write-probe-XXXXXX")));
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    // A full volume still hands out names: only a byte written and synced finds it has no room.
    UniqueFd probe(fd);
    constexpr char byte = 0;
    if (!writeAll(probe.get(), &byte, 1) || ::fdatasync(probe.get()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return {};
}

bool fsyncDirectory(const QString& path, UnsupportedSync unsupported)
{
    UniqueFd fd(::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    int result = 0;
    do {
        result = ::fsync(fd.get());
    } while (result != 0 && errno == EINTR);
    if (result != 0 && !(errno == EINVAL && unsupported == UnsupportedSync::Success))
        return false;
    return fd.close();
}

namespace {

UniqueFd openRegular(const QString& path, ReadRefusal* refusal)
{
    // O_NONBLOCK keeps a FIFO planted at the path from stalling the open.
    UniqueFd fd(::open(encoded(path).constData(),
                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        *refusal = errno == ENOENT ? ReadRefusal::Absent
            : errno == ELOOP       ? ReadRefusal::SymbolicLink
                                   : ReadRefusal::Unreadable;
        return {};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *refusal = ReadRefusal::NotRegularFile;
        return {};
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *refusal = ReadRefusal::Unreadable;
        return {};
    }
    return fd;
}

} // namespace

UniqueFd openRegularForRead(const QString& path)
{
    ReadRefusal refusal = ReadRefusal::None;
    return openRegular(path, &refusal);
}

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, ReadRule rule,
                                          Refused refused)
{
    return readRegularFileChecked(path, maxBytes, rule, refused).bytes;
}

QString readRefusalName(ReadRefusal refusal)
{
    switch (refusal) {
    case ReadRefusal::None: return {};
    case ReadRefusal::Absent: return QStringLiteral("absent");
    case ReadRefusal::SymbolicLink: return QStringLiteral("symbolic_link");
    case ReadRefusal::NotRegularFile: return QStringLiteral("not_regular_file");
    case ReadRefusal::TooLarge: return QStringLiteral("too_large");
    case ReadRefusal::GroupOrOtherAccess: return QStringLiteral("group_or_other_access");
    case ReadRefusal::Unreadable: return QStringLiteral("unreadable");
    case ReadRefusal::ChangedWhileRead: return QStringLiteral("changed_while_read");
    }
    return {};
}

CheckedRead readRegularFileChecked(const QString& path, qint64 maxBytes, ReadRule rule,
                                   Refused refused)
{
    CheckedRead result;
    UniqueFd fd = openRegular(path, &result.refusal);
    if (!fd.valid())
        return result;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.refusal = ReadRefusal::Unreadable;
        return result;
    }
    if (st.st_size < 0 || st.st_size > maxBytes) {
        result.refusal = ReadRefusal::TooLarge;
        return result;
    }
    if (rule == ReadRule::OwnerOnly && (st.st_mode & 0077) != 0) {
        result.refusal = ReadRefusal::GroupOrOtherAccess;
        return result;
    }
    QByteArray bytes;
    bytes.resize(qsizetype(st.st_size));
    const auto refuse = [&](ReadRefusal why) {
        if (refused == Refused::Cleanse && !bytes.isEmpty())
            OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
        result.refusal = why;
        return result;
    };
    qint64 done = 0;
    // Reads one byte past the recorded size so that a file that grew meanwhile is refused.
    char probe = 0;
    while (true) {
        char* target = done < bytes.size() ? bytes.data() + done : &probe;
        const size_t want = done < bytes.size() ? size_t(bytes.size() - done) : 1;
        const ssize_t n = ::read(fd.get(), target, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return refuse(ReadRefusal::Unreadable);
        }
        if (n == 0)
            break;
        if (done >= bytes.size()) {
            if (refused == Refused::Cleanse)
                OPENSSL_cleanse(&probe, 1);
            return refuse(ReadRefusal::ChangedWhileRead);
        }
        done += n;
    }
    if (done != bytes.size())
        return refuse(ReadRefusal::ChangedWhileRead);
    result.bytes = std::move(bytes);
    return result;
}

QJsonValue jsonByteValue(qint64 value)
{
    // A byte count is never negative; writing one as such would give a file that
    // byteValueFrom refuses.
    constexpr qint64 exactLimit = qint64(1) << 53;
    if (value < exactLimit)
        return QJsonValue(double(std::max<qint64>(value, 0)));
    return QJsonValue(QString::number(value));
}

std::optional<qint64> byteValueFrom(const QJsonValue& value)
{
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (!(d >= 0 && d < exactLimit) || d != double(qint64(d)))
            return std::nullopt;
        return qint64(d);
    }
    if (!value.isString())
        return std::nullopt;
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("0|[1-9][0-9]{0,18}")));
    const QString text = value.toString();
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 parsed = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return parsed;
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

void removeStaleEntries(const QString& directory, const QRegularExpression& names,
                        qint64 cutoffMs)
{
    // Every entry but directories, a link to a directory included.
    const QDir dir(directory);
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        if (!names.match(name).hasMatch())
            continue;
        const QString path = dir.filePath(name);
        struct stat st {};
        if (::lstat(encoded(path).constData(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        const qint64 mtimeMs =
            qint64(st.st_mtim.tv_sec) * 1000 + qint64(st.st_mtim.tv_nsec) / 1000000;
        if (S_ISLNK(st.st_mode) || mtimeMs < cutoffMs)
            removeEntry(path);
    }
}

bool entryExists(const QString& path)
{
    struct stat st {};
    return ::lstat(encoded(path).constData(), &st) == 0;
}

bool removeEntry(const QString& path)
{
    const QByteArray name = encoded(path);
    if (::unlink(name.constData()) == 0)
        return true;
    return errno == ENOENT;
}

QString saveTemporaryPath(const QString& path)
{
    return path + QStringLiteral(".saving");
}

namespace {

// Saves of one file take turns: they share its temporary name. A fixed set of locks, chosen by
// the path, keeps memory bounded however many files (one per package and staging tree) are
// saved over a player's life; two files that share a lock only wait for each other.
QMutex& saveLockFor(const QString& path)
{
    static QMutex locks[64];
    const QString key = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return locks[qHash(key) % std::size(locks)];
}

bool syncFile(int fd)
{
    int result = 0;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

} // namespace

WriteFailure writeFileAtomically(const QString& path, const QByteArray& bytes, WriteRules rules)
{
    const QByteArray name = encoded(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            // A write would resolve a link and land at its target; a directory cannot be
            // replaced at all.
            if (rules.nonRegular == NonRegularTarget::Refuse || S_ISDIR(st.st_mode)
                || ::unlink(name.constData()) != 0)
                return WriteFailure::Open;
        } else if (::access(name.constData(), W_OK) != 0) {
            // A file that cannot be replaced (immutable, say) fails before anything is written.
            return WriteFailure::Open;
        }
    }
    // The temporary has a fixed name: a save cut short by a crash or a power cut before its
    // rename leaves it behind, and the next save of the same file replaces it, so leftovers never
    // pile up. Whatever is at that name is removed first and the file is made anew (owner-only
    // unless the rules say otherwise), so that the write can follow no link planted there.
    QMutexLocker lock(&saveLockFor(path));
    const QByteArray temporary = encoded(saveTemporaryPath(path));
    if (::unlink(temporary.constData()) != 0 && errno != ENOENT)
        return WriteFailure::Open;
    const mode_t mode = rules.mode == FileMode::OwnerOnly ? 0600 : 0666;
    UniqueFd fd(::open(temporary.constData(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode));
    if (!fd.valid())
        return WriteFailure::Open;
    const auto discard = [&](WriteFailure failure) {
        fd.close();
        ::unlink(temporary.constData());
        return failure;
    };
    if (rules.mode == FileMode::OwnerOnly && ::fchmod(fd.get(), 0600) != 0)
        return discard(WriteFailure::Open);
    if (!writeAll(fd.get(), bytes.constData(), bytes.size()))
        return discard(WriteFailure::Write);
    if (!syncFile(fd.get()) || !fd.close())
        return discard(WriteFailure::Commit);
    if (::rename(temporary.constData(), name.constData()) != 0)
        return discard(WriteFailure::Commit);
    if (!fsyncDirectory(QFileInfo(path).absolutePath(), rules.unsupportedSync))
        return WriteFailure::Commit;
    return WriteFailure::None;
}

bool removeStateFile(const QString& path, UnsupportedSync unsupported)
{
    // Not while a save of the same file is between creating its temporary and renaming it.
    QMutexLocker lock(&saveLockFor(path));
    const QString temporary = saveTemporaryPath(path);
    if (!entryExists(path) && !entryExists(temporary))
        return true;
    const bool fileGone = removeEntry(path);
    const bool temporaryGone = removeEntry(temporary);
    return fsyncDirectory(QFileInfo(path).absolutePath(), unsupported) && fileGone
        && temporaryGone;
}

} // namespace talvorine::StorageFiles
