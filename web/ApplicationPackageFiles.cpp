// The read side of the package cache: the only way to a file inside an installed package.

#include "web/ApplicationPackageCache.h"

#include "storage/StorageFiles.h"
#include "web/ApplicationPackageInternal.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace talvorine {

using namespace packagecache;

std::optional<QString> ApplicationPackageCache::verifyFile(const QString& digest,
                                                           const QString& relativePath,
                                                           const Metadata& metadata,
                                                           VerifiedFileIdentity* identity,
                                                           const std::atomic<bool>* cancelled) const
{
    if (isCancelled(cancelled))
        return std::nullopt;
    return verifyFileIn(QFileInfo(objectDirectory(digest)).canonicalFilePath(), digest,
                        relativePath, metadata, identity, cancelled);
}

std::optional<QString> ApplicationPackageCache::verifyFileIn(
    const QString& directory, const QString& digest, const QString& relativePath,
    const Metadata& metadata, VerifiedFileIdentity* identity,
    const std::atomic<bool>* cancelled) const
{
    if (isCancelled(cancelled))
        return std::nullopt;
    const auto expected = metadata.files.constFind(relativePath);
    if (expected == metadata.files.constEnd())
        return std::nullopt;

    const QString joined = QDir(objectDirectory(digest)).filePath(relativePath);
    const QFileInfo joinedInfo(joined);
    const QString canonical = joinedInfo.canonicalFilePath();
    if (directory.isEmpty() || canonical.isEmpty())
        return std::nullopt;
    if (!joinedInfo.isFile() || joinedInfo.isSymLink() || joinedInfo.size() != expected->bytes)
        return std::nullopt;
    // A file reached through a linked directory that points out of the package is not its own.
    if (!canonical.startsWith(directory + u'/'))
        return std::nullopt;

    QFile file;
    if (!openRegularFile(file, canonical))
        return std::nullopt;
    const VerifiedFileIdentity opened = VerifiedFileIdentity::descriptor(file.handle());
    if (!opened.valid || opened.size != expected->bytes)
        return std::nullopt;
    const VerifiedFileIdentity named = VerifiedFileIdentity::path(canonical);
    if (!named.valid || !(named == opened))
        return std::nullopt;

    const QString key = digest + u'/' + relativePath;
    const auto remembered = verifiedFiles_.find(key);
    if (remembered != verifiedFiles_.end()) {
        if (remembered->identity == opened && remembered->sha256 == expected->sha256) {
            remembered->lastUse = ++metadataUseClock_;
            if (identity)
                *identity = opened;
            return canonical;
        }
        verifiedFiles_.erase(remembered);
    }

    const std::optional<QString> actual = fileDigest(file, cancelled);
    if (!actual || *actual != expected->sha256)
        return std::nullopt;
    // The file must not have changed while it was being hashed.
    const VerifiedFileIdentity openedAfter = VerifiedFileIdentity::descriptor(file.handle());
    const VerifiedFileIdentity namedAfter = VerifiedFileIdentity::path(canonical);
    if (!openedAfter.valid || !(openedAfter == opened) || !namedAfter.valid
        || !(namedAfter == opened))
        return std::nullopt;

    if (verifiedFiles_.size() >= verifiedFilesLimit) {
        const auto oldest = std::min_element(
            verifiedFiles_.begin(), verifiedFiles_.end(),
            [](const VerifiedFile& a, const VerifiedFile& b) { return a.lastUse < b.lastUse; });
        verifiedFiles_.erase(oldest);
    }
    verifiedFiles_.insert(key, {opened, expected->sha256, ++metadataUseClock_});
    if (identity)
        *identity = opened;
    return canonical;
}

std::optional<QString> ApplicationPackageCache::resolveFile(const QString& digest,
                                                            const QString& relativePath,
                                                            bool touch,
                                                            VerifiedFileIdentity* identity,
                                                            const std::atomic<bool>* cancelled) const
{
    const std::optional<Metadata> metadata = readMetadata(digest);
    if (!metadata)
        return std::nullopt;
    // Only the canonical spelling is served: one file, one name.
    QString canonical;
    if (!safeRelativePath(relativePath, &canonical) || canonical != relativePath)
        return std::nullopt;
    std::optional<QString> path = verifyFile(digest, relativePath, *metadata, identity, cancelled);
    if (path && touch)
        this->touch(digest);
    return path;
}

std::optional<QString> ApplicationPackageCache::readyEntrypoint(
    const ApplicationPackageDescriptor& descriptor, bool touch,
    const std::atomic<bool>* cancelled) const
{
    if (isCancelled(cancelled) || !validDescriptor(descriptor))
        return std::nullopt;
    const std::optional<Metadata> metadata = readMetadata(descriptor.sha256);
    if (!metadata)
        return std::nullopt;
    const ApplicationPackageDescriptor& installed = metadata->descriptor;
    if (installed.compressedBytes != descriptor.compressedBytes
        || (descriptor.expandedBytes > 0 && installed.expandedBytes != descriptor.expandedBytes)
        || (descriptor.fileCount > 0 && installed.fileCount != descriptor.fileCount)
        || installed.entrypoint != descriptor.entrypoint)
        return std::nullopt;
    // Every file, not only the entry point: the page will load the others. The directory is
    // resolved once; each file's own path is still resolved and checked against it.
    const QString directory = QFileInfo(objectDirectory(descriptor.sha256)).canonicalFilePath();
    std::optional<QString> entrypoint;
    for (auto it = metadata->files.cbegin(); it != metadata->files.cend(); ++it) {
        std::optional<QString> path =
            verifyFileIn(directory, descriptor.sha256, it.key(), *metadata, nullptr, cancelled);
        if (!path)
            return std::nullopt;
        if (it.key() == descriptor.entrypoint)
            entrypoint = std::move(path);
    }
    if (touch && entrypoint)
        this->touch(descriptor.sha256);
    return entrypoint;
}

bool ApplicationPackageCache::isReady(const ApplicationPackageDescriptor& descriptor) const
{
    return readyEntrypoint(descriptor, false).has_value();
}

bool ApplicationPackageCache::touch(const QString& digest) const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto last = touchTimes_.constFind(digest);
    if (last != touchTimes_.constEnd() && stampFresh(*last, now))
        return true;
    if (!StorageFiles::validDigest(digest)
        || !StorageFiles::ensurePrivateDirectory(rootPath_ + QStringLiteral("/access"))
        || StorageFiles::writeFileAtomically(accessPath(digest), QByteArray::number(now))
            != StorageFiles::WriteFailure::None)
        return false;
    if (touchTimes_.size() >= touchTimesLimit && !touchTimes_.contains(digest))
        touchTimes_.erase(touchTimes_.begin());
    touchTimes_.insert(digest, now);
    return true;
}

} // namespace talvorine
