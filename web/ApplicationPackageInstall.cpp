// Installation of a downloaded web package: one gzip member holding a plain ustar archive of
// 0644 files and 0755 directories, extracted under strict limits into a staging tree that one
// rename promotes. The archive comes from outside: every entry is checked before anything of it
// reaches the disk, and nothing is ever written outside the staging tree.

#include "web/ApplicationPackageCache.h"

#include "storage/StorageFiles.h"
#include "web/ApplicationPackageInternal.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine {

using namespace packagecache;
using StorageFiles::UniqueFd;

namespace {

constexpr qint64 chunkBytes = ApplicationPackageCache::chunkBytes;
constexpr int fileMode = 0644;
constexpr int directoryMode = 0755;

// What the archive reader reads through: the package file and the installation's cancel flag.
struct ArchiveSource {
    QIODevice* device = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    QByteArray buffer;
};

la_ssize_t readArchiveDevice(struct archive* archive, void* data, const void** block)
{
    auto* source = static_cast<ArchiveSource*>(data);
    if (!source || !source->device || isCancelled(source->cancelled)) {
        archive_set_error(archive, ECANCELED, "package read stopped");
        return -1;
    }
    const qint64 count = source->device->read(source->buffer.data(), source->buffer.size());
    if (count < 0) {
        archive_set_error(archive, EIO, "package read failed");
        return -1;
    }
    *block = source->buffer.constData();
    return la_ssize_t(count);
}

la_int64_t seekArchiveDevice(struct archive*, void* data, la_int64_t offset, int whence)
{
    auto* source = static_cast<ArchiveSource*>(data);
    if (!source || !source->device)
        return ARCHIVE_FATAL;
    qint64 base = 0;
    switch (whence) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = source->device->pos();
        break;
    case SEEK_END:
        base = source->device->size();
        break;
    default:
        return ARCHIVE_FATAL;
    }
    qint64 target = 0;
    if (__builtin_add_overflow(base, qint64(offset), &target) || target < 0
        || !source->device->seek(target))
        return ARCHIVE_FATAL;
    return source->device->pos();
}

// Read-only for everybody: files 0444 at once, then directories 0555 deepest first, so that
// every directory can still be entered while its contents change. Links (never made by the
// installer) are left alone rather than followed.
bool makeReadonlyTree(const QString& directory, bool includeRoot)
{
    QStringList directories;
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System
                                   | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            continue;
        if (info.isDir())
            directories.append(path);
        else if (::chmod(encoded(path).constData(), 0444) != 0)
            return false;
    }
    std::sort(directories.begin(), directories.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& path : std::as_const(directories)) {
        if (::chmod(encoded(path).constData(), 0555) != 0)
            return false;
    }
    return !includeRoot || ::chmod(encoded(directory).constData(), 0555) == 0;
}

// Names that would hide a second archive inside the package.
bool nestedArchiveName(const QString& name)
{
    static const QSet<QString> archiveSuffixes{
        QStringLiteral("zip"), QStringLiteral("tar"), QStringLiteral("tgz"),
        QStringLiteral("gz"),  QStringLiteral("bz2"), QStringLiteral("xz"),
        QStringLiteral("7z"),  QStringLiteral("rar"), QStringLiteral("iso"),
        QStringLiteral("dmg"), QStringLiteral("apk")};
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 0 && archiveSuffixes.contains(name.mid(dot + 1).toLower());
}

// The name under which duplicates and conflicts are judged, as a case-insensitive file system
// or a browser would fold it.
QString folded(const QString& name)
{
    return name.toCaseFolded().normalized(QString::NormalizationForm_C);
}

// The entry's name from the archive's own bytes, as strict UTF-8 whatever the process locale:
// libarchive's UTF-8 view goes through the locale and gives nothing for non-ASCII names under
// the C locale. Empty when missing or not valid UTF-8.
QString entryName(struct archive_entry* entry)
{
    const char* raw = archive_entry_pathname(entry);
    if (!raw || !*raw)
        return {};
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString name = decoder.decode(QByteArrayView(raw, qsizetype(std::strlen(raw))));
    if (decoder.hasError() || name.contains(QChar::ReplacementCharacter))
        return {};
    name = name.normalized(QString::NormalizationForm_C);
    if (archive_entry_filetype(entry) == AE_IFDIR && name.endsWith(u'/'))
        name.chop(1);
    return name;
}

enum class GzipLayer { Single, Refused, InitFailed, Cancelled };

// The whole source must be exactly one gzip member whose content inflates to at most the cap.
// Runs before anything is written, so a refused package leaves no trace on disk.
GzipLayer checkGzipLayer(QIODevice& source, const std::atomic<bool>* cancelled)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return GzipLayer::InitFailed;
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });
    std::vector<Bytef> input(chunkBytes);
    std::vector<Bytef> output(chunkBytes);
    qint64 inflated = 0;
    while (true) {
        if (isCancelled(cancelled))
            return GzipLayer::Cancelled;
        if (stream.avail_in == 0) {
            const qint64 count = source.read(reinterpret_cast<char*>(input.data()), chunkBytes);
            if (count <= 0)
                return GzipLayer::Refused;
            stream.next_in = input.data();
            stream.avail_in = uInt(count);
        }
        stream.next_out = output.data();
        stream.avail_out = uInt(chunkBytes);
        const int result = inflate(&stream, Z_NO_FLUSH);
        inflated += chunkBytes - stream.avail_out;
        if (inflated > ApplicationPackageCache::maxInflatedBytes)
            return GzipLayer::Refused;
        if (result == Z_STREAM_END)
            break;
        if (result != Z_OK)
            return GzipLayer::Refused;
    }
    // A second member or any trailing byte would be read by other gzip readers.
    return stream.avail_in == 0 && source.atEnd() ? GzipLayer::Single : GzipLayer::Refused;
}

enum class Integrity { Matches, TooLong, Differs, Cancelled };

Integrity checkIntegrity(QIODevice& source, const ApplicationPackageDescriptor& descriptor,
                         const std::atomic<bool>* cancelled)
{
    StorageFiles::Sha256 hash;
    QByteArray buffer(chunkBytes, Qt::Uninitialized);
    qint64 count = 0;
    while (!source.atEnd()) {
        if (isCancelled(cancelled))
            return Integrity::Cancelled;
        const qint64 n = source.read(buffer.data(), chunkBytes);
        if (n <= 0)
            break;
        count += n;
        if (count > descriptor.compressedBytes)
            return Integrity::TooLong;
        hash.update(buffer.constData(), n);
    }
    if (count != descriptor.compressedBytes || hash.finishHex() != descriptor.sha256)
        return Integrity::Differs;
    return Integrity::Matches;
}

// Extracts the entries of one archive into the staging tree, refusing the first entry that
// breaks a rule; what it extracted is listed in files.
class PackageExtraction {
public:
    PackageExtraction(QString staging, const ApplicationPackageDescriptor& descriptor,
                      const std::atomic<bool>* cancelled)
        : staging_(std::move(staging)), descriptor_(descriptor), cancelled_(cancelled),
          buffer_(chunkBytes, Qt::Uninitialized)
    {
    }

    // The code of the first refusal, or null when the reader reached the archive's end.
    const char* run(struct archive* archive)
    {
        struct archive_entry* entry = nullptr;
        int status = ARCHIVE_OK;
        while ((status = archive_read_next_header(archive, &entry)) == ARCHIVE_OK) {
            if (const char* code = extractEntry(archive, entry))
                return code;
        }
        if (status == ARCHIVE_EOF)
            return nullptr;
        // Whatever stopped the reader, an archive it could not read to its end is not
        // installed: a failure without an error number must not pass as the end.
        return isCancelled(cancelled_) ? "package_cancelled" : "package_archive_invalid";
    }

    QHash<QString, ApplicationPackageCache::FileIdentity> files;
    qint64 totalBytes = 0;

private:
    const char* extractEntry(struct archive* archive, struct archive_entry* entry)
    {
        if (isCancelled(cancelled_))
            return "package_cancelled";
        // Each entry must be one plain ustar header right after the previous entry's data:
        // libarchive reports the format of the last header only, so an extension header (a
        // GNU long name, say) in front of a ustar header shows only in what was consumed.
        const qint64 headerAt = archive_read_header_position(archive);
        if (archive_format(archive) != ARCHIVE_FORMAT_TAR_USTAR || headerAt != nextHeader_
            || archive_filter_bytes(archive, 0) != headerAt + 512)
            return "package_archive_format_rejected";
        const qint64 declared = archive_entry_size(entry);
        nextHeader_ += 512 + (std::max<qint64>(declared, 0) + 511) / 512 * 512;
        const QString name = entryName(entry);
        QString canonical;
        if (!ApplicationPackageCache::safeRelativePath(name, &canonical) || canonical != name)
            return "package_path_invalid";
        const QString key = folded(name);
        // The installer writes its own metadata file there; an entry of that name would be
        // overwritten and then never verify.
        if (key == folded(ApplicationPackageCache::metadataFileName()))
            return "package_path_invalid";
        if (names_.contains(key))
            return "package_path_duplicate";
        if (names_.size() >= ApplicationPackageCache::maxEntries)
            return "package_extract_limit_exceeded";
        if (ancestors_.contains(key))
            return "package_path_conflict";
        for (qsizetype slash = key.indexOf(u'/'); slash >= 0; slash = key.indexOf(u'/', slash + 1)) {
            if (fileNames_.contains(key.left(slash)))
                return "package_path_conflict";
        }

        const QString target = staging_ + u'/' + name;
        if (archive_entry_filetype(entry) == AE_IFDIR) {
            if (archive_entry_perm(entry) != directoryMode)
                return "package_entry_mode_rejected";
            if (!QDir().mkpath(target))
                return "package_directory_create_failed";
            record(key);
            return nullptr;
        }
        if (archive_entry_filetype(entry) != AE_IFREG || archive_entry_perm(entry) != fileMode
            || archive_entry_symlink(entry) || archive_entry_hardlink(entry)
            || archive_entry_sparse_count(entry) > 0)
            return "package_entry_type_rejected";
        if (nestedArchiveName(name))
            return "package_nested_archive_rejected";
        if (!archive_entry_size_is_set(entry) || declared < 0
            || declared > ApplicationPackageCache::maxFileBytes)
            return "package_extract_limit_exceeded";
        if (files.size() + 1 > ApplicationPackageCache::maxEntries)
            return "package_extract_limit_exceeded";
        const qint64 limit = descriptor_.expandedBytes > 0
            ? std::min(descriptor_.expandedBytes, ApplicationPackageCache::maxExpandedBytes)
            : ApplicationPackageCache::maxExpandedBytes;
        if (totalBytes + declared > limit)
            return "package_extract_limit_exceeded";

        if (!QDir().mkpath(QFileInfo(target).path()))
            return "package_directory_create_failed";
        // The staging tree is private and promoted whole by one rename, so each file is written
        // in place: O_EXCL never replaces, O_NOFOLLOW never writes through a link.
        UniqueFd fd(::open(encoded(target).constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, fileMode));
        if (!fd.valid())
            return "package_file_create_failed";
        StorageFiles::Sha256 hash;
        qint64 written = 0;
        while (true) {
            if (isCancelled(cancelled_))
                return "package_cancelled";
            const la_ssize_t count = archive_read_data(archive, buffer_.data(), size_t(chunkBytes));
            if (count == 0 && written == declared)
                break;
            if (count <= 0)
                return "package_archive_truncated";
            if (written + count > declared)
                return "package_file_size_mismatch";
            if (!StorageFiles::writeAll(fd.get(), buffer_.constData(), count))
                return "package_archive_truncated";
            hash.update(buffer_.constData(), count);
            written += count;
        }
        const std::optional<QString> digest = hash.finishHex();
        if (!fd.close() || !digest)
            return "package_file_commit_failed";
        totalBytes += written;
        files.insert(name, {written, *digest});
        fileNames_.insert(key);
        record(key);
        return nullptr;
    }

    void record(const QString& key)
    {
        names_.insert(key);
        for (qsizetype slash = key.indexOf(u'/'); slash >= 0; slash = key.indexOf(u'/', slash + 1))
            ancestors_.insert(key.left(slash));
    }

    const QString staging_;
    const ApplicationPackageDescriptor& descriptor_;
    const std::atomic<bool>* cancelled_;
    QByteArray buffer_;
    QSet<QString> names_;     // every accepted entry, folded
    QSet<QString> ancestors_; // every directory above an accepted entry, folded
    QSet<QString> fileNames_; // accepted files, folded
    qint64 nextHeader_ = 0;
};

// Reads the archive from the source through libarchive (gzip filter, tar format) into the
// extraction; the code of the first failure, or null.
const char* extractArchive(QIODevice& source, const std::atomic<bool>* cancelled,
                           PackageExtraction& extraction)
{
    ArchiveSource callbackData{&source, cancelled, QByteArray(chunkBytes, Qt::Uninitialized)};
    const std::unique_ptr<struct archive, int (*)(struct archive*)> archive(archive_read_new(),
                                                                            archive_read_free);
    if (!archive || archive_read_support_filter_gzip(archive.get()) != ARCHIVE_OK
        || archive_read_support_format_tar(archive.get()) != ARCHIVE_OK
        || archive_read_set_read_callback(archive.get(), readArchiveDevice) != ARCHIVE_OK
        || archive_read_set_seek_callback(archive.get(), seekArchiveDevice) != ARCHIVE_OK
        || archive_read_set_callback_data(archive.get(), &callbackData) != ARCHIVE_OK
        || archive_read_open1(archive.get()) != ARCHIVE_OK)
        return "package_archive_open_failed";
    const char* code = extraction.run(archive.get());
    archive_read_close(archive.get());
    return code;
}

} // namespace

bool ApplicationPackageCache::finalizePartial(PartialDownload& partial,
                                              const ApplicationPackageDescriptor& descriptor,
                                              QString* error, const std::atomic<bool>* cancelled)
{
    if (!validDescriptor(descriptor) || partial.sha256() != descriptor.sha256
        || partial.expectedSize() != descriptor.compressedBytes) {
        setError(error, "package_descriptor_invalid");
        return false;
    }
    if (isCancelled(cancelled))
        return false;
    const PartialDownload::Sealed sealed = partial.seal();
    if (sealed.verdict == PartialDownload::Seal::Differs) {
        setError(error, "package_archive_integrity_mismatch");
        return false;
    }
    QFile file;
    if (sealed.verdict != PartialDownload::Seal::Verified
        || !file.open(sealed.file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        setError(error, "package_partial_incomplete");
        return false;
    }
    const bool installed =
        installArchive(file, descriptor, ArchiveDigest::Matched, error, cancelled);
    file.close();
    if (installed)
        StorageFiles::removeEntry(partial.path());
    return installed;
}

bool ApplicationPackageCache::installArchive(QIODevice& source,
                                             const ApplicationPackageDescriptor& descriptor,
                                             QString* error, const std::atomic<bool>* cancelled)
{
    return installArchive(source, descriptor, ArchiveDigest::Unchecked, error, cancelled);
}

bool ApplicationPackageCache::installArchive(QIODevice& source,
                                             const ApplicationPackageDescriptor& descriptor,
                                             ArchiveDigest digest, QString* error,
                                             const std::atomic<bool>* cancelled)
{
    const auto fail = [error](const char* code) {
        if (code)
            setError(error, code);
        return false;
    };
    if (!validDescriptor(descriptor) || !source.isOpen() || !source.isReadable())
        return fail("package_descriptor_invalid");
    if (isCancelled(cancelled))
        return false;
    if (readyEntrypoint(descriptor, false, cancelled))
        return true;

    if (!source.seek(0))
        return fail("package_archive_open_failed");
    switch (digest == ArchiveDigest::Matched ? Integrity::Matches
                                             : checkIntegrity(source, descriptor, cancelled)) {
    case Integrity::Cancelled:
        return false;
    case Integrity::TooLong:
        return fail("package_archive_size_mismatch");
    case Integrity::Differs:
        return fail("package_archive_integrity_mismatch");
    case Integrity::Matches:
        break;
    }
    if (!source.isReadable() || !source.seek(0))
        return fail("package_archive_open_failed");
    switch (checkGzipLayer(source, cancelled)) {
    case GzipLayer::Cancelled:
        return false;
    case GzipLayer::InitFailed:
        return fail("package_gzip_init_failed");
    case GzipLayer::Refused:
        return fail("package_gzip_invalid_or_concatenated");
    case GzipLayer::Single:
        break;
    }
    if (!source.seek(0))
        return fail("package_archive_open_failed");

    // The staging tree is removed on every way out but promotion, read-only modes or not.
    QTemporaryDir stagingDir(rootPath_ + QStringLiteral("/staging/package-XXXXXX"));
    stagingDir.setAutoRemove(false);
    if (!stagingDir.isValid())
        return fail("package_extract_stage_failed");
    const QString staging = stagingDir.path();
    auto discardStaging = qScopeGuard([&staging] { removeAnyEntry(staging); });

    PackageExtraction extraction(staging, descriptor, cancelled);
    if (const char* code = extractArchive(source, cancelled, extraction))
        return fail(code);
    const qint64 fileCount = extraction.files.size();
    if ((descriptor.fileCount > 0 && descriptor.fileCount != fileCount)
        || (descriptor.expandedBytes > 0 && descriptor.expandedBytes != extraction.totalBytes))
        return fail("package_extract_identity_mismatch");
    if (!extraction.files.contains(descriptor.entrypoint))
        return fail("package_entrypoint_missing");
    if (isCancelled(cancelled))
        return false;

    Metadata metadata;
    metadata.descriptor = descriptor;
    metadata.descriptor.expandedBytes = extraction.totalBytes;
    metadata.descriptor.fileCount = qint32(fileCount);
    metadata.lastAccessMs = QDateTime::currentMSecsSinceEpoch();
    metadata.files = std::move(extraction.files);
    if (!writeMetadata(staging, metadata, error))
        return false;
    if (!makeReadonlyTree(staging, false))
        return fail("package_immutable_promotion_failed");
    if (isCancelled(cancelled))
        return false;

    const QString target = objectDirectory(descriptor.sha256);
    if (StorageFiles::entryExists(target)) {
        if (readyEntrypoint(descriptor, false, cancelled))
            return true;
        if (isCancelled(cancelled))
            return false;
        // A tree that does not verify (a removal cut short before removals were crash-safe, a
        // damaged disk) would otherwise refuse this package for good: the fresh one replaces it.
        if (!deleteTree(descriptor.sha256))
            return fail("package_existing_cache_invalid");
    }
    // The files reach the disk before the rename can: a power cut must never leave a promoted
    // tree with missing content. One file-system sync costs what one file's sync would.
    {
        const UniqueFd stagingFd(
            ::open(encoded(staging).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!stagingFd.valid() || ::syncfs(stagingFd.get()) != 0)
            return fail("package_atomic_promotion_failed");
    }
    invalidate(descriptor.sha256);
    const QByteArray from = encoded(staging);
    const QByteArray to = encoded(target);
    int renamed = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(),
                              RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL)
        renamed = ::rename(from.constData(), to.constData());
    if (renamed != 0) {
        qWarning("application package promotion rename failed: %s", std::strerror(errno));
        return fail("package_atomic_promotion_failed");
    }
    discardStaging.dismiss();
    StorageFiles::fsyncDirectory(rootPath_ + QStringLiteral("/objects"));
    if (!makeReadonlyTree(target, true))
        return fail("package_immutable_promotion_failed");

    // A tree that does not verify as promoted is never reported as installed, nor left to
    // block the next installation of the same package.
    if (readyEntrypoint(descriptor, true, cancelled))
        return true;
    if (isCancelled(cancelled))
        return false;
    deleteTree(descriptor.sha256);
    return fail("package_existing_cache_invalid");
}

} // namespace talvorine
