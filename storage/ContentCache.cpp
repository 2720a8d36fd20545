#include "storage/ContentCache.h"

#include "storage/Saturating.h"
#include "storage/StorageFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine {

using StorageFiles::UniqueFd;

namespace {

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

void setError(QString* error, const char* code)
{
    if (error)
        *error = QString::fromLatin1(code);
}

bool isCancelled(const std::atomic<bool>* cancelled)
{
    return cancelled && cancelled->load(std::memory_order_acquire);
}

VerifiedFileIdentity identityFrom(const struct stat& st)
{
    VerifiedFileIdentity id;
    id.device = quint64(st.st_dev);
    id.inode = quint64(st.st_ino);
    id.size = qint64(st.st_size);
    id.mtimeSec = qint64(st.st_mtim.tv_sec);
    id.mtimeNsec = qint64(st.st_mtim.tv_nsec);
    id.ctimeSec = qint64(st.st_ctim.tv_sec);
    id.ctimeNsec = qint64(st.st_ctim.tv_nsec);
    id.mode = quint32(st.st_mode);
    id.valid = S_ISREG(st.st_mode);
    return id;
}

qint64 mtimeMs(const struct stat& st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + qint64(st.st_mtim.tv_nsec) / 1000000;
}

// Hashes the chunks of a commit. For larger objects hashing runs on a thread of its own while
// the calling thread reads the source and writes the temporary object, so that a commit costs
// little more than the hash itself.
class ChunkHasher {
public:
    static constexpr int bufferCount = 4;
    static constexpr qint64 threadedFrom = 4 * ContentCache::chunkBytes;

    explicit ChunkHasher(bool threaded)
    {
        for (int i = 0; i < (threaded ? bufferCount : 1); ++i) {
            m_buffers.emplace_back();
            m_buffers.back().resize(ContentCache::chunkBytes);
            m_free.push_back(m_buffers.back().data());
        }
        if (threaded)
            m_thread = std::thread([this] { run(); });
    }
    ChunkHasher(const ChunkHasher&) = delete;
    ChunkHasher& operator=(const ChunkHasher&) = delete;
    ~ChunkHasher() { stop(); }

    // A buffer of chunkBytes that no pending hash still reads.
    char* acquire()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_free.empty(); });
        char* buffer = m_free.front();
        m_free.pop_front();
        return buffer;
    }

    // Hashes the bytes in order with everything submitted before; the buffer returns to the
    // free list afterwards. The caller may keep reading the buffer (to write it) meanwhile.
    void submit(char* buffer, qint64 size)
    {
        if (!m_thread.joinable()) {
            m_hash.update(buffer, size);
            m_free.push_back(buffer);
            return;
        }
        std::lock_guard lock(m_mutex);
        m_pending.emplace_back(buffer, size);
        m_changed.notify_all();
    }

    std::optional<QString> finish()
    {
        stop();
        return m_hash.finishHex();
    }

private:
    void stop()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_changed.notify_all();
        }
        m_thread.join();
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_changed.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
            if (m_pending.empty())
                return;
            const auto [buffer, size] = m_pending.front();
            m_pending.pop_front();
            lock.unlock();
            m_hash.update(buffer, size);
            lock.lock();
            m_free.push_back(buffer);
            m_changed.notify_all();
        }
    }

    StorageFiles::Sha256 m_hash;
    std::vector<QByteArray> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<char*> m_free;
    std::deque<std::pair<char*, qint64>> m_pending;
    bool m_stopping = false;
    std::thread m_thread;
};

// The stamp's first 32 bytes, trimmed, as a base-10 integer.
std::optional<qint64> readAccessStamp(const QString& path)
{
    UniqueFd fd = StorageFiles::openRegularForRead(path);
    if (!fd.valid())
        return std::nullopt;
    char buffer[32];
    qint64 got = 0;
    while (got < qint64(sizeof buffer)) {
        const ssize_t n = ::read(fd.get(), buffer + got, sizeof buffer - size_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bool ok = false;
    const qint64 value = QByteArray(buffer, got).trimmed().toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

bool makeOwnerWritable(const QString& path)
{
    const QByteArray name = encoded(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return ::chmod(name.constData(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

} // namespace

VerifiedFileIdentity VerifiedFileIdentity::path(const QString& path)
{
    struct stat st {};
    if (::lstat(encoded(path).constData(), &st) != 0)
        return {};
    return identityFrom(st);
}

VerifiedFileIdentity VerifiedFileIdentity::descriptor(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return {};
    return identityFrom(st);
}

std::optional<QString> fileDigest(QIODevice& device, const std::atomic<bool>* cancelled)
{
    StorageFiles::Sha256 hash;
    QByteArray buffer;
    buffer.resize(ContentCache::chunkBytes);
    while (!device.atEnd()) {
        if (isCancelled(cancelled))
            return std::nullopt;
        const qint64 n = device.read(buffer.data(), buffer.size());
        if (n < 1)
            return std::nullopt;
        hash.update(buffer.constData(), n);
    }
    if (isCancelled(cancelled))
        return std::nullopt;
    return hash.finishHex();
}

ContentCache::ContentCache(QString root) : m_root(QDir::cleanPath(root)) {}

QString ContentCache::objectPath(const QString& sha256) const
{
    return m_root + QStringLiteral("/objects/") + sha256;
}

QString ContentCache::partialPath(const QString& sha256) const
{
    return m_root + QStringLiteral("/downloads/%1.partial").arg(sha256);
}

QString ContentCache::accessPath(const QString& sha256) const
{
    return m_root + QStringLiteral("/access/") + sha256;
}

qint64 ContentCache::resumeOffset(const QString& sha256, qint64 expectedSize)
{
    if (!StorageFiles::validDigest(sha256) || expectedSize < 1)
        return 0;
    const QString partial = partialPath(sha256);
    struct stat st {};
    if (::lstat(encoded(partial).constData(), &st) != 0)
        return 0;
    if (!S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            QDir(partial).removeRecursively();
        else
            StorageFiles::removeEntry(partial);
        return 0;
    }
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - mtimeMs(st);
    const bool expired = age > partialMaxAgeMs;
    if (st.st_size > 0 && !expired && st.st_size < expectedSize)
        return qint64(st.st_size);
    StorageFiles::removeEntry(partial);
    return 0;
}

bool ContentCache::resetPartial(const QString& sha256)
{
    if (!StorageFiles::validDigest(sha256))
        return false;
    return StorageFiles::removeEntry(partialPath(sha256));
}

ContentCache::Check ContentCache::verifyObject(const QString& sha256, qint64 expectedSize,
                                               const std::atomic<bool>* cancelled) const
{
    if (isCancelled(cancelled))
        return Check::Cancelled;
    if (!StorageFiles::validDigest(sha256) || expectedSize < 0)
        return Check::Absent;
    const QString path = objectPath(sha256);
    UniqueFd fd = StorageFiles::openRegularForRead(path);
    if (!fd.valid())
        return Check::Absent;
    const VerifiedFileIdentity opened = VerifiedFileIdentity::descriptor(fd.get());
    if (!opened.valid || opened.size != expectedSize || (opened.mode & 0222) != 0)
        return Check::Absent;
    const VerifiedFileIdentity named = VerifiedFileIdentity::path(path);
    if (!named.valid || !(named == opened))
        return Check::Absent;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_verified.constFind(sha256);
        if (it != m_verified.constEnd() && it.value() == opened)
            return Check::Ready;
        m_verified.remove(sha256);
    }
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                   QFileDevice::DontCloseHandle))
        return Check::Absent;
    const std::optional<QString> digest = fileDigest(file, cancelled);
    file.close();
    if (!digest)
        return isCancelled(cancelled) ? Check::Cancelled : Check::Absent;
    if (*digest != sha256)
        return Check::Absent;
    // The file must not have changed while it was being hashed.
    const VerifiedFileIdentity after = VerifiedFileIdentity::descriptor(fd.get());
    const VerifiedFileIdentity namedAfter = VerifiedFileIdentity::path(path);
    if (!after.valid || !namedAfter.valid || !(after == opened) || !(namedAfter == opened))
        return Check::Absent;
    QMutexLocker lock(&m_mutex);
    m_verified.insert(sha256, opened);
    return Check::Ready;
}

std::optional<QString> ContentCache::readyPath(const QString& sha256, qint64 expectedSize,
                                               const std::atomic<bool>* cancelled) const
{
    if (verifyObject(sha256, expectedSize, cancelled) != Check::Ready)
        return std::nullopt;
    touch(sha256);
    return objectPath(sha256);
}

void ContentCache::touch(const QString& sha256) const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_touchTimes.constFind(sha256);
        if (it != m_touchTimes.constEnd() && it.value() <= now
            && now - it.value() < touchIntervalMs)
            return;
    }
    // A lost stamp only makes the object look older to pruning; it never fails a look-up. So
    // it is replaced whole but not synced: look-ups on the GUI thread never wait for the disk.
    const QString directory = m_root + QStringLiteral("/access");
    if (!StorageFiles::ensurePrivateDirectory(directory))
        return;
    QByteArray temporary = encoded(directory + QStringLiteral("/.stamp-XXXXXX"));
    StorageFiles::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid())
        return;
    const QByteArray stamp = QByteArray::number(now);
    const bool written = ::write(fd.get(), stamp.constData(), size_t(stamp.size())) == stamp.size();
    if (!fd.close() || !written
        || ::rename(temporary.constData(), encoded(accessPath(sha256)).constData()) != 0) {
        ::unlink(temporary.constData());
        return;
    }
    QMutexLocker lock(&m_mutex);
    m_touchTimes.insert(sha256, now);
}

void ContentCache::forget(const QString& sha256) const
{
    QMutexLocker lock(&m_mutex);
    m_verified.remove(sha256);
    m_touchTimes.remove(sha256);
}

bool ContentCache::deleteObject(const QString& sha256) const
{
    forget(sha256);
    const QString path = objectPath(sha256);
    if (!StorageFiles::entryExists(path))
        return true;
    makeOwnerWritable(path);
    return StorageFiles::removeEntry(path);
}

std::optional<QString> ContentCache::commitVerified(QIODevice& source, const QString& sha256,
                                                    qint64 expectedSize, QString* error,
                                                    const std::atomic<bool>* cancelled) const
{
    if (!StorageFiles::validDigest(sha256) || expectedSize < 0) {
        setError(error, "cache_declaration_invalid");
        return std::nullopt;
    }
    const QString finalPath = objectPath(sha256);
    const auto dropPartial = [&] { StorageFiles::removeEntry(partialPath(sha256)); };

    switch (verifyObject(sha256, expectedSize, cancelled)) {
    case Check::Cancelled:
        return std::nullopt;
    case Check::Ready:
        touch(sha256);
        dropPartial();
        return finalPath;
    case Check::Absent:
        break;
    }

    const QString objects = m_root + QStringLiteral("/objects");
    if (!StorageFiles::ensurePrivateDirectory(m_root)
        || !StorageFiles::ensurePrivateDirectory(objects)) {
        setError(error, "cache_directory_create_failed");
        return std::nullopt;
    }
    if (!source.isOpen() || !source.isReadable()) {
        setError(error, "cache_open_failed");
        return std::nullopt;
    }
    QByteArray temporary = encoded(objects + QStringLiteral("/.commit-XXXXXX"));
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        setError(error, "cache_open_failed");
        return std::nullopt;
    }
    // Once renamed into place the temporary name is gone, and this removes nothing.
    const auto cleanup = qScopeGuard([&] { ::unlink(temporary.constData()); });
    const auto fail = [&](const char* code) -> std::optional<QString> {
        setError(error, code);
        return std::nullopt;
    };
    if (::fchmod(fd.get(), 0600) != 0)
        return fail("cache_open_failed");

    qint64 copied = 0;
    std::optional<QString> digest;
    {
        ChunkHasher hasher(expectedSize >= ChunkHasher::threadedFrom);
        while (true) {
            if (isCancelled(cancelled))
                return std::nullopt;
            char* buffer = hasher.acquire();
            // Never read more than one byte past the declared size: a longer source is
            // refused without copying all of it.
            const qint64 remaining = expectedSize - copied;
            const qint64 want = remaining >= chunkBytes ? chunkBytes : remaining + 1;
            const qint64 n = source.read(buffer, want);
            if (n < 0)
                return fail("cache_write_failed");
            if (n == 0)
                break;
            copied += n;
            if (copied > expectedSize)
                return fail("cache_integrity_mismatch");
            hasher.submit(buffer, n);
            if (!StorageFiles::writeAll(fd.get(), buffer, n))
                return fail("cache_write_failed");
            // Start write-back now so that the closing fsync has little left to wait for.
            ::sync_file_range(fd.get(), copied - n, n, SYNC_FILE_RANGE_WRITE);
        }
        digest = hasher.finish();
    }
    if (isCancelled(cancelled))
        return std::nullopt;
    if (copied != expectedSize || !digest || *digest != sha256)
        return fail("cache_integrity_mismatch");
    const std::optional<QString> path = promote(fd.get(), temporary, sha256, error);
    if (path)
        dropPartial();
    return path;
}

std::shared_ptr<PartialDownload> ContentCache::openPartial(const QString& sha256,
                                                           qint64 expectedSize,
                                                           PartialStart start,
                                                           const std::atomic<bool>* cancelled)
{
    const bool declared = StorageFiles::validDigest(sha256) && expectedSize >= 1;
    auto partial = std::make_shared<PartialDownload>(declared ? partialPath(sha256) : QString(),
                                                     sha256, expectedSize,
                                                     QStringLiteral("cache_write_failed"));
    partial->failWritesFrom(m_writeFault);
    if (!declared) {
        partial->fail(QStringLiteral("cache_declaration_invalid"));
    } else if (!StorageFiles::ensurePrivateDirectory(m_root)
               || !StorageFiles::ensurePrivateDirectory(m_root + QStringLiteral("/downloads"))) {
        partial->fail(QStringLiteral("cache_directory_create_failed"));
    } else if (start == PartialStart::Afresh) {
        if (!resetPartial(sha256))
            partial->fail();
    } else {
        resumeOffset(sha256, expectedSize);
        partial->resume(cancelled);
    }
    return partial;
}

ContentCache::Commit ContentCache::commitPartial(PartialDownload& partial,
                                                 const std::atomic<bool>* cancelled)
{
    Commit commit;
    if (!partial.error().isEmpty()) {
        commit.error = partial.error();
        return commit;
    }
    // A cancel stops nothing past this point: bytes that verify are worth keeping.
    if (isCancelled(cancelled))
        return commit;
    PartialDownload::Sealed sealed = partial.seal();
    switch (sealed.verdict) {
    case PartialDownload::Seal::Verified:
        break;
    case PartialDownload::Seal::Moved:
        commit.error = QStringLiteral("cache_open_failed");
        return commit;
    case PartialDownload::Seal::Short:
    case PartialDownload::Seal::Differs:
        commit.error = QStringLiteral("cache_integrity_mismatch");
        return commit;
    }
    if (!StorageFiles::ensurePrivateDirectory(m_root + QStringLiteral("/objects"))) {
        commit.error = QStringLiteral("cache_directory_create_failed");
        return commit;
    }
    commit.path =
        promote(sealed.file.get(), encoded(partial.path()), partial.sha256(), &commit.error);
    return commit;
}

// The verified file open at fd and named from becomes the object: its read-only mode reaches the
// disk with its data (an object that came back writable after a power cut would no longer count
// as committed), then it is renamed into place and the directory synced.
std::optional<QString> ContentCache::promote(int fd, const QByteArray& from, const QString& sha256,
                                             QString* error) const
{
    const auto fail = [&](const char* code) -> std::optional<QString> {
        setError(error, code);
        return std::nullopt;
    };
    if (::fchmod(fd, 0400) != 0)
        return fail("cache_commit_failed");
    if (::fsync(fd) != 0)
        return fail("cache_write_failed");
    {
        // A stale verification of a replaced object must not outlive the rename.
        QMutexLocker lock(&m_mutex);
        m_verified.remove(sha256);
    }
    const QString finalPath = objectPath(sha256);
    if (::rename(from.constData(), encoded(finalPath).constData()) != 0)
        return fail("cache_commit_failed");
    if (!StorageFiles::fsyncDirectory(m_root + QStringLiteral("/objects")))
        return fail("cache_commit_failed");
    // Renaming changes the status-change time, so the identity is taken afterwards.
    const VerifiedFileIdentity committed = VerifiedFileIdentity::descriptor(fd);
    const VerifiedFileIdentity named = VerifiedFileIdentity::path(finalPath);
    if (committed.valid && named.valid && committed == named) {
        QMutexLocker lock(&m_mutex);
        m_verified.insert(sha256, committed);
    }
    touch(sha256);
    return finalPath;
}

bool ContentCache::remove(const QString& sha256)
{
    if (!StorageFiles::validDigest(sha256))
        return false;
    StorageFiles::removeEntry(accessPath(sha256));
    const bool present = StorageFiles::entryExists(objectPath(sha256));
    if (!deleteObject(sha256))
        return false;
    // Until the directory is synced, a power cut could bring the object back.
    return !present || StorageFiles::fsyncDirectory(m_root + QStringLiteral("/objects"));
}

void ContentCache::discardExpiredPartials(qint64 maxAgeMs) const
{
    if (maxAgeMs < 0)
        return;
    discardAbandonedTemporaries();
    const QDir downloads(m_root + QStringLiteral("/downloads"));
    if (!downloads.exists())
        return;
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-f0-9]{64}\\.partial")));
    StorageFiles::removeStaleEntries(downloads.path(), pattern,
                                     QDateTime::currentMSecsSinceEpoch() - maxAgeMs);
}

void ContentCache::discardAbandonedTemporaries() const
{
    // A power cut during a commit or an access stamp leaves its temporary file behind; it can
    // never be finished. One untouched for a while belongs to no write in progress.
    static const QRegularExpression commit(
        QRegularExpression::anchoredPattern(QStringLiteral("\\.commit-[A-Za-z0-9]{6}")));
    static const QRegularExpression stamp(
        QRegularExpression::anchoredPattern(QStringLiteral("\\.stamp-[A-Za-z0-9]{6}")));
    const qint64 cutoff = QDateTime::currentMSecsSinceEpoch() - abandonedCommitAgeMs;
    StorageFiles::removeStaleEntries(m_root + QStringLiteral("/objects"), commit, cutoff);
    StorageFiles::removeStaleEntries(m_root + QStringLiteral("/access"), stamp, cutoff);
}

bool ContentCache::prune(qint64 maxBytes, qint64 minFreeBytes, const QSet<QString>& keep,
                         QString* error, const std::atomic<bool>* cancelled,
                         const QSet<QString>& exempt)
{
    if (maxBytes < 0 || minFreeBytes < 0) {
        setError(error, "content_cache_limits_invalid");
        return false;
    }
    std::vector<PruneCandidate> candidates;
    qint64 total = 0;
    qint64 exemptBytes = 0;

    const QDir objects(m_root + QStringLiteral("/objects"));
    for (const QString& name : objects.entryList(QDir::Files | QDir::NoSymLinks)) {
        if (isCancelled(cancelled))
            return false;
        if (!StorageFiles::validDigest(name))
            continue;
        struct stat st {};
        if (::lstat(encoded(objects.filePath(name)).constData(), &st) != 0
            || !S_ISREG(st.st_mode))
            continue;
        const qint64 size = qint64(st.st_size);
        total = saturating::add(total, size);
        if (keep.contains(name)) {
            if (exempt.contains(name))
                exemptBytes = saturating::add(exemptBytes, size);
            continue;
        }
        const qint64 lastAccess = readAccessStamp(accessPath(name)).value_or(mtimeMs(st));
        candidates.push_back({name, size, lastAccess, false});
    }
    const QDir downloads(m_root + QStringLiteral("/downloads"));
    addPartialCandidates(downloads.path(), keep, total, candidates);

    // Each directory that lost entries is synced once, however the walk ends, so that what
    // was removed stays removed after a power cut.
    bool removedObjects = false;
    bool removedPartials = false;
    const PruneOutcome outcome = evictLeastRecentlyUsed(
        std::move(candidates), total, saturating::add(maxBytes, exemptBytes), minFreeBytes,
        volumeSpaceOf(m_placeVolume(m_root), m_root), cancelled,
        [&](const PruneCandidate& candidate) {
            if (candidate.partial) {
                const bool removed = StorageFiles::removeEntry(partialPath(candidate.digest));
                removedPartials = removedPartials || removed;
                return removed;
            }
            const bool removed = deleteObject(candidate.digest);
            removedObjects = removedObjects || removed;
            StorageFiles::removeEntry(accessPath(candidate.digest));
            return removed;
        });
    const bool objectsSynced = !removedObjects || StorageFiles::fsyncDirectory(objects.path());
    const bool partialsSynced = !removedPartials || StorageFiles::fsyncDirectory(downloads.path());
    switch (outcome) {
    case PruneOutcome::Met:
        if (objectsSynced && partialsSynced)
            return true;
        setError(error, "content_cache_prune_failed");
        return false;
    case PruneOutcome::Cancelled:
        return false;
    case PruneOutcome::EvictionFailed:
        setError(error, "content_cache_prune_failed");
        return false;
    case PruneOutcome::Insufficient:
        setError(error, "content_storage_insufficient");
        return false;
    }
    return false;
}

void addPartialCandidates(const QString& directory, const QSet<QString>& keep, qint64& total,
                          std::vector<PruneCandidate>& candidates)
{
    static const QRegularExpression partialName(
        QRegularExpression::anchoredPattern(QStringLiteral("([a-f0-9]{64})\\.partial")));
    const QDir partials(directory);
    for (const QString& name : partials.entryList(QDir::Files | QDir::NoSymLinks)) {
        const QRegularExpressionMatch match = partialName.match(name);
        struct stat st {};
        if (!match.hasMatch() || ::lstat(encoded(partials.filePath(name)).constData(), &st) != 0
            || !S_ISREG(st.st_mode))
            continue;
        const QString digest = match.captured(1);
        total = saturating::add(total, qint64(st.st_size));
        if (!keep.contains(digest))
            candidates.push_back({digest, qint64(st.st_size), mtimeMs(st), true});
    }
}

PruneOutcome evictLeastRecentlyUsed(std::vector<PruneCandidate> candidates, qint64 total,
                                    qint64 budget, qint64 minFreeBytes, const VolumeSpace& volume,
                                    const std::atomic<bool>* cancelled,
                                    const std::function<bool(const PruneCandidate&)>& evict)
{
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const PruneCandidate& a, const PruneCandidate& b) {
                         return a.lastAccessMs < b.lastAccessMs;
                     });
    qint64 freeBytes = volume.total > 0 ? volume.available : minFreeBytes;
    const auto satisfied = [&] { return total <= budget && freeBytes >= minFreeBytes; };
    for (const PruneCandidate& candidate : candidates) {
        if (isCancelled(cancelled))
            return PruneOutcome::Cancelled;
        if (satisfied())
            return PruneOutcome::Met;
        if (!evict(candidate))
            return PruneOutcome::EvictionFailed;
        total = std::max<qint64>(0, total - candidate.bytes);
        freeBytes = saturating::add(freeBytes, candidate.bytes);
    }
    return satisfied() ? PruneOutcome::Met : PruneOutcome::Insufficient;
}

} // namespace talvorine
