#include "web/ApplicationPackageCache.h"

#include "storage/Saturating.h"
#include "storage/StorageFiles.h"
#include "storage/VolumeSpace.h"
#include "web/ApplicationPackageInternal.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine {

using namespace packagecache;
using StorageFiles::UniqueFd;

namespace {

// Adds owner write (and search, for directories) to everything beneath the directory and to the
// directory itself, so that an installed read-only tree can be deleted. Links are neither
// followed nor changed: chmod on a link would change whatever it points at.
bool makeOwnerWritableTree(const QString& directory)
{
    const QByteArray name = encoded(directory);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (::chmod(name.constData(), (st.st_mode & 07777) | S_IWUSR | S_IXUSR | S_IRUSR) != 0)
        return false;
    const QStringList entries = QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const QString path = directory + u'/' + entry;
        struct stat child {};
        if (::lstat(encoded(path).constData(), &child) != 0)
            return false;
        if (S_ISLNK(child.st_mode))
            continue;
        if (S_ISDIR(child.st_mode)) {
            if (!makeOwnerWritableTree(path))
                return false;
        } else if (::chmod(encoded(path).constData(), (child.st_mode & 07777) | S_IWUSR) != 0) {
            return false;
        }
    }
    return true;
}

bool isDriveLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

} // namespace

bool packagecache::removeAnyEntry(const QString& path)
{
    struct stat st {};
    if (::lstat(encoded(path).constData(), &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return makeOwnerWritableTree(path) && QDir(path).removeRecursively();
    return StorageFiles::removeEntry(path);
}

ApplicationPackageCache::ApplicationPackageCache(const QString& root)
    : rootPath_(QDir::cleanPath(root))
{
    // Owner-only like every directory the player makes; failures show in later operations.
    if (StorageFiles::ensurePrivateDirectory(rootPath_)) {
        for (const char* name : {"objects", "partials", "staging", "access"})
            StorageFiles::ensurePrivateDirectory(subdirectory(name));
    }
}

QString ApplicationPackageCache::subdirectory(const char* name) const
{
    return rootPath_ + u'/' + QLatin1String(name);
}

QString ApplicationPackageCache::partialPath(const QString& digest) const
{
    return rootPath_ + QStringLiteral("/partials/%1.partial").arg(digest);
}

QString ApplicationPackageCache::objectDirectory(const QString& digest) const
{
    return rootPath_ + QStringLiteral("/objects/") + digest;
}

QString ApplicationPackageCache::accessPath(const QString& digest) const
{
    return rootPath_ + QStringLiteral("/access/") + digest;
}

bool ApplicationPackageCache::validDescriptor(const ApplicationPackageDescriptor& descriptor)
{
    if (descriptor.releaseId.isEmpty() || !StorageFiles::validDigest(descriptor.sha256))
        return false;
    if (descriptor.compressedBytes < 1 || descriptor.compressedBytes > maxCompressedBytes)
        return false;
    if (descriptor.expandedBytes < 0 || descriptor.expandedBytes > maxExpandedBytes)
        return false;
    if (descriptor.fileCount < 0 || descriptor.fileCount > maxEntries)
        return false;
    QString canonical;
    return safeRelativePath(descriptor.entrypoint, &canonical)
        && canonical == descriptor.entrypoint;
}

bool ApplicationPackageCache::safeRelativePath(const QString& path, QString* normalized)
{
    if (path.isEmpty())
        return false;
    if (path.startsWith(u'/') || path.contains(u'\\'))
        return false;
    // Every UTF-16 unit takes at least one UTF-8 byte, so a longer string needs no encoding.
    if (path.size() > maxPathBytes || path.toUtf8().size() > maxPathBytes)
        return false;
    // A lone surrogate has no UTF-8 form: the name on disk would not be the name checked.
    if (path.contains(QChar(0)) || !path.isValidUtf16())
        return false;
    if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':')
        return false;
    const QString nfc = path.normalized(QString::NormalizationForm_C);
    const QList<QStringView> parts = QStringView(nfc).split(u'/');
    if (parts.size() > maxPathParts)
        return false;
    for (const QStringView part : parts) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
        for (const QChar c : part) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return false;
        }
    }
    if (normalized)
        *normalized = nfc;
    return true;
}

bool ApplicationPackageCache::stampFresh(qint64 lastWriteMs, qint64 nowMs)
{
    return lastWriteMs <= nowMs && nowMs - lastWriteMs < touchIntervalMs;
}

qint64 ApplicationPackageCache::resumeOffset(const ApplicationPackageDescriptor& descriptor) const
{
    if (!validDescriptor(descriptor))
        return 0;
    const QString partial = partialPath(descriptor.sha256);
    struct stat st {};
    if (::lstat(encoded(partial).constData(), &st) != 0)
        return 0;
    if (!S_ISREG(st.st_mode)) {
        removeAnyEntry(partial);
        return 0;
    }
    const bool expired = QDateTime::currentMSecsSinceEpoch() - mtimeMs(st) > partialMaxAgeMs;
    if (st.st_size > 0 && !expired && st.st_size < descriptor.compressedBytes)
        return qint64(st.st_size);
    StorageFiles::removeEntry(partial);
    return 0;
}

bool ApplicationPackageCache::resetPartial(const ApplicationPackageDescriptor& descriptor)
{
    if (!validDescriptor(descriptor))
        return false;
    return removeAnyEntry(partialPath(descriptor.sha256));
}

std::shared_ptr<PartialDownload>
ApplicationPackageCache::openPartial(const ApplicationPackageDescriptor& descriptor,
                                     const std::atomic<bool>* cancelled)
{
    const bool valid = validDescriptor(descriptor);
    auto partial = std::make_shared<PartialDownload>(
        valid ? partialPath(descriptor.sha256) : QString(), descriptor.sha256,
        descriptor.compressedBytes, QStringLiteral("package_partial_write_failed"));
    partial->failWritesFrom(writeFault_);
    if (!valid) {
        partial->fail(QStringLiteral("package_descriptor_invalid"));
    } else if (!StorageFiles::ensurePrivateDirectory(subdirectory("partials"))) {
        partial->fail();
    } else {
        resumeOffset(descriptor);
        partial->resume(cancelled);
    }
    return partial;
}

void ApplicationPackageCache::discardExpiredPartials(qint64 maxAgeMs) const
{
    discardAbandonedStaging();
    const QDir partials(subdirectory("partials"));
    if (maxAgeMs < 0 || !partials.exists())
        return;
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-f0-9]{64}\\.partial")));
    StorageFiles::removeStaleEntries(partials.path(), pattern,
                                     QDateTime::currentMSecsSinceEpoch() - maxAgeMs);
}

void ApplicationPackageCache::discardAbandonedStaging() const
{
    // A power cut or a crash during an installation leaves its staging tree behind (up to the
    // whole expanded size), and one during a removal its retired tree; nothing else would ever
    // remove them. A retired tree is never used again, whatever its age.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("package-[A-Za-z0-9]{6}")));
    static const QRegularExpression retired(
        QRegularExpression::anchoredPattern(QStringLiteral("retired-[A-Za-z0-9]{6}")));
    const QDir staging(subdirectory("staging"));
    const qint64 cutoff = QDateTime::currentMSecsSinceEpoch() - abandonedStagingAgeMs;
    const QStringList names =
        staging.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString path = staging.filePath(name);
        struct stat st {};
        if (retired.match(name).hasMatch()
            || (pattern.match(name).hasMatch() && ::lstat(encoded(path).constData(), &st) == 0
                && mtimeMs(st) < cutoff))
            removeAnyEntry(path);
    }
}

void ApplicationPackageCache::invalidate(const QString& digest) const
{
    metadataCache_.remove(digest);
    touchTimes_.remove(digest);
    const QString prefix = digest + u'/';
    verifiedFiles_.removeIf([&prefix](const QHash<QString, VerifiedFile>::iterator& it) {
        return it.key().startsWith(prefix);
    });
}

// One rename takes an installed tree out of the objects before any of its files go: a kill or a
// power cut during the deletion leaves a retired tree, which the next start sweeps, never an
// installed tree whose metadata names files it no longer has.
bool ApplicationPackageCache::deleteTree(const QString& digest) const
{
    invalidate(digest);
    const QString tree = objectDirectory(digest);
    const QByteArray treeName = encoded(tree);
    struct stat st {};
    if (::lstat(treeName.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return removeAnyEntry(tree); // one unlink: nothing can be left half done
    QTemporaryDir slot(subdirectory("staging") + QStringLiteral("/retired-XXXXXX"));
    slot.setAutoRemove(false);
    if (!slot.isValid())
        return false;
    // Moving a directory to another parent rewrites its "..": its top must be writable.
    ::chmod(treeName.constData(), (st.st_mode & 07777) | S_IRWXU);
    if (::rename(treeName.constData(), encoded(slot.path()).constData()) != 0) {
        removeAnyEntry(slot.path());
        return false;
    }
    StorageFiles::fsyncDirectory(subdirectory("objects"));
    return removeAnyEntry(slot.path());
}

bool ApplicationPackageCache::remove(const QString& digest)
{
    if (!StorageFiles::validDigest(digest))
        return false;
    invalidate(digest);
    StorageFiles::removeEntry(partialPath(digest));
    StorageFiles::removeEntry(accessPath(digest));
    return deleteTree(digest);
}

bool ApplicationPackageCache::prune(qint64 maxBytes, qint64 minFreeBytes,
                                    const QSet<QString>& keep, QString* error,
                                    const std::atomic<bool>* cancelled,
                                    const QSet<QString>& exempt)
{
    if (maxBytes < 0 || minFreeBytes < 0) {
        setError(error, "package_cache_limits_invalid");
        return false;
    }
    std::vector<PruneCandidate> candidates;
    qint64 total = 0;
    qint64 exemptBytes = 0;

    const QStringList installed = QDir(subdirectory("objects"))
                                      .entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString& name : installed) {
        if (isCancelled(cancelled))
            return false;
        const std::optional<Metadata> metadata = readMetadata(name);
        if (!metadata)
            continue;
        qint64 lastAccess = metadata->lastAccessMs;
        if (const auto stamp = StorageFiles::readRegularFile(accessPath(name), 32)) {
            bool ok = false;
            const qint64 value = stamp->toLongLong(&ok, 10);
            if (ok)
                lastAccess = value;
        }
        const qint64 bytes = metadata->descriptor.expandedBytes;
        total = saturating::add(total, bytes);
        if (keep.contains(name)) {
            if (exempt.contains(name))
                exemptBytes = saturating::add(exemptBytes, bytes);
            continue;
        }
        candidates.push_back({name, bytes, lastAccess, false});
    }
    addPartialCandidates(subdirectory("partials"), keep, total, candidates);

    const PruneOutcome outcome = evictLeastRecentlyUsed(
        std::move(candidates), total, saturating::add(maxBytes, exemptBytes), minFreeBytes,
        volumeSpaceOf(placeVolume_(rootPath_), rootPath_), cancelled,
        [this](const PruneCandidate& candidate) {
            if (candidate.partial)
                return StorageFiles::removeEntry(partialPath(candidate.digest));
            if (!deleteTree(candidate.digest))
                return false;
            StorageFiles::removeEntry(accessPath(candidate.digest));
            return true;
        });
    switch (outcome) {
    case PruneOutcome::Met:
        return true;
    case PruneOutcome::Cancelled:
        return false;
    case PruneOutcome::EvictionFailed:
        setError(error, "package_cache_prune_failed");
        return false;
    case PruneOutcome::Insufficient:
        setError(error, "content_storage_insufficient");
        return false;
    }
    return false;
}

} // namespace talvorine
