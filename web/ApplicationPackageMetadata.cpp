// The metadata file of an installed package: its format, writer, and reader with the memo of
// parsed files.

#include "web/ApplicationPackageCache.h"

#include "storage/StorageFiles.h"
#include "web/ApplicationPackageInternal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace talvorine {

using namespace packagecache;

namespace {

constexpr int metadataVersion = 2;

std::optional<ApplicationPackageCache::Metadata> parseMetadata(const QByteArray& bytes,
                                                                const QString& digest)
{
    using Metadata = ApplicationPackageCache::Metadata;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    const QJsonValue files = root.value(QLatin1String("files"));
    if (root.value(QLatin1String("version")).toInteger(0) != metadataVersion || !files.isArray())
        return std::nullopt;

    Metadata metadata;
    ApplicationPackageDescriptor& descriptor = metadata.descriptor;
    descriptor.releaseId = root.value(QLatin1String("releaseId")).toString();
    descriptor.sha256 = root.value(QLatin1String("sha256")).toString();
    descriptor.compressedBytes = root.value(QLatin1String("compressedBytes")).toInteger(0);
    descriptor.expandedBytes = root.value(QLatin1String("expandedBytes")).toInteger(0);
    const qint64 fileCount = root.value(QLatin1String("fileCount")).toInteger(0);
    descriptor.fileCount = qint32(std::clamp<qint64>(fileCount, -1, std::numeric_limits<qint32>::max()));
    descriptor.entrypoint = root.value(QLatin1String("entrypoint")).toString();
    if (!ApplicationPackageCache::validDescriptor(descriptor) || descriptor.sha256 != digest)
        return std::nullopt;

    const QJsonArray entries = files.toArray();
    if (entries.isEmpty())
        return std::nullopt;
    qint64 total = 0;
    for (const QJsonValue& value : entries) {
        if (!value.isObject())
            return std::nullopt;
        const QJsonObject entry = value.toObject();
        const QString path = entry.value(QLatin1String("path")).toString();
        QString canonical;
        if (!ApplicationPackageCache::safeRelativePath(path, &canonical) || canonical != path
            || metadata.files.contains(path))
            return std::nullopt;
        const qint64 size = entry.value(QLatin1String("bytes")).toInteger(-1);
        const QString sha256 = entry.value(QLatin1String("sha256")).toString();
        if (size < 0 || size > ApplicationPackageCache::maxFileBytes
            || !StorageFiles::validDigest(sha256))
            return std::nullopt;
        total += size;
        if (total > ApplicationPackageCache::maxExpandedBytes)
            return std::nullopt;
        metadata.files.insert(path, {size, sha256});
    }
    if (metadata.files.size() != descriptor.fileCount || total != descriptor.expandedBytes
        || !metadata.files.contains(descriptor.entrypoint))
        return std::nullopt;
    metadata.lastAccessMs = root.value(QLatin1String("lastAccessMs")).toInteger(0);
    return metadata;
}

} // namespace

bool openRegularFile(QFile& file, const QString& path)
{
    StorageFiles::UniqueFd fd = StorageFiles::openRegularForRead(path);
    if (!fd.valid() || !file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return false;
    fd.release();
    return true;
}

bool ApplicationPackageCache::writeMetadata(const QString& directory, const Metadata& metadata,
                                            QString* error) const
{
    QStringList paths = metadata.files.keys();
    std::sort(paths.begin(), paths.end()); // QString's operator< compares UTF-16 code units
    QJsonArray files;
    for (const QString& path : std::as_const(paths)) {
        const FileIdentity& file = metadata.files[path];
        files.append(QJsonObject{{QStringLiteral("path"), path},
                                 {QStringLiteral("bytes"), file.bytes},
                                 {QStringLiteral("sha256"), file.sha256}});
    }
    const ApplicationPackageDescriptor& descriptor = metadata.descriptor;
    const QJsonObject root{
        {QStringLiteral("version"), metadataVersion},
        {QStringLiteral("releaseId"), descriptor.releaseId},
        {QStringLiteral("sha256"), descriptor.sha256},
        {QStringLiteral("compressedBytes"), descriptor.compressedBytes},
        {QStringLiteral("expandedBytes"), descriptor.expandedBytes},
        {QStringLiteral("fileCount"), descriptor.fileCount},
        {QStringLiteral("entrypoint"), descriptor.entrypoint},
        {QStringLiteral("lastAccessMs"), metadata.lastAccessMs},
        {QStringLiteral("files"), files},
    };
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
    if (StorageFiles::writeFileAtomically(directory + u'/' + metadataFileName(), bytes)
        != StorageFiles::WriteFailure::None) {
        setError(error, "package_metadata_write_failed");
        return false;
    }
    return true;
}

std::optional<ApplicationPackageCache::Metadata>
ApplicationPackageCache::readMetadata(const QString& digest) const
{
    // The digest names a directory: anything else could lead the path out of "objects".
    if (!StorageFiles::validDigest(digest))
        return std::nullopt;
    const QString path = objectDirectory(digest) + u'/' + metadataFileName();
    const auto refuse = [&]() -> std::optional<Metadata> {
        invalidate(digest);
        return std::nullopt;
    };
    QFile file;
    if (!openRegularFile(file, path))
        return refuse();
    const VerifiedFileIdentity opened = VerifiedFileIdentity::descriptor(file.handle());
    if (!opened.valid || opened.size > maxMetadataBytes)
        return refuse();
    const VerifiedFileIdentity named = VerifiedFileIdentity::path(path);
    if (!named.valid || !(named == opened))
        return refuse();

    const auto cached = metadataCache_.find(digest);
    if (cached != metadataCache_.end() && cached->identity == opened) {
        cached->lastUse = ++metadataUseClock_;
        return cached->metadata;
    }
    invalidate(digest);
    const QByteArray bytes = file.read(maxMetadataBytes + 1);
    std::optional<Metadata> metadata = parseMetadata(bytes, digest);
    const VerifiedFileIdentity openedAfter = VerifiedFileIdentity::descriptor(file.handle());
    const VerifiedFileIdentity namedAfter = VerifiedFileIdentity::path(path);
    if (!metadata || !openedAfter.valid || !(openedAfter == opened) || !namedAfter.valid
        || !(namedAfter == opened))
        return std::nullopt;

    if (metadataCache_.size() >= metadataCacheLimit) {
        const auto oldest = std::min_element(
            metadataCache_.cbegin(), metadataCache_.cend(),
            [](const CachedMetadata& a, const CachedMetadata& b) { return a.lastUse < b.lastUse; });
        const QString evicted = oldest.key();
        invalidate(evicted);
    }
    metadataCache_.insert(digest, {opened, *metadata, ++metadataUseClock_});
    return metadata;
}

} // namespace talvorine
