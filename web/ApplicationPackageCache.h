#pragma once

#include "storage/ContentCache.h"
#include "storage/PartialDownload.h"

#include <QByteArrayView>
#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QFile;
class QIODevice;

namespace talvorine {

// What a manifest declares of one web package. The digest of the compressed package is its key
// everywhere; an expanded size or file count of 0 means "not declared".
struct ApplicationPackageDescriptor {
    QString releaseId;
    QString sha256;
    qint64 compressedBytes = 0;
    qint64 expandedBytes = 0;
    qint32 fileCount = 0;
    QString entrypoint;
};

// Opens the path read-only without following a final symbolic link; true only when the file is
// open on a regular file. On false no descriptor is left open.
bool openRegularFile(QFile& file, const QString& path);

// The web packages on disk under one root, addressed by the SHA-256 of the compressed package:
//   objects/<digest>/          an installed, read-only tree with its metadata file
//   partials/<digest>.partial  a download in progress
//   staging/package-XXXXXX     installations in progress
//   access/<digest>            the last access, decimal milliseconds since the epoch
// A package is downloaded into its partial, installed from it under strict limits (the archive
// comes from outside), and every file is read back only after it was checked against the
// tree's own metadata. The object has no lock: it is used by one thread at a time (one serial
// I/O queue); its memos change inside const operations. Several objects may share a root and
// then share only the disk.
class ApplicationPackageCache {
public:
    static constexpr qint64 maxCompressedBytes = 272629760;
    static constexpr qint64 maxExpandedBytes = 262144000;
    static constexpr qint64 maxFileBytes = 33554432;
    static constexpr qint64 maxInflatedBytes = 278921216;
    static constexpr int maxEntries = 5000;
    static constexpr int maxPathBytes = 255;
    static constexpr int maxPathParts = 16;
    static constexpr qint64 maxMetadataBytes = 4194304;
    static constexpr qint64 partialMaxAgeMs = 604800000;
    static constexpr qint64 touchIntervalMs = 60000;
    // A staging tree this much older than any running installation could be was abandoned.
    static constexpr qint64 abandonedStagingAgeMs = 600000;
    static constexpr int verifiedFilesLimit = 1024;
    static constexpr int metadataCacheLimit = 8;
    static constexpr int touchTimesLimit = 8;
    static constexpr qint64 chunkBytes = 65536;

    // The file the installer writes into the root of every installed tree.
    static QString metadataFileName() { return QStringLiteral(".talvorine-package.json"); }

    struct FileIdentity {
        qint64 bytes = 0;
        QString sha256;
    };

    // The parsed metadata file: the descriptor with the sizes actually extracted, the time of
    // installation and every file of the package (directories and the metadata file are not
    // listed).
    struct Metadata {
        ApplicationPackageDescriptor descriptor;
        qint64 lastAccessMs = 0;
        QHash<QString, FileIdentity> files;
    };

    struct CachedMetadata {
        VerifiedFileIdentity identity;
        Metadata metadata;
        quint64 lastUse = 0;
    };

    // A file whose hash matched while it had this identity.
    struct VerifiedFile {
        VerifiedFileIdentity identity;
        QString sha256;
        quint64 lastUse = 0;
    };

    explicit ApplicationPackageCache(const QString& root);
    ApplicationPackageCache(const ApplicationPackageCache&) = delete;
    ApplicationPackageCache& operator=(const ApplicationPackageCache&) = delete;

    QString root() const { return rootPath_; }
    QString partialPath(const QString& digest) const;
    QString objectDirectory(const QString& digest) const;

    static bool validDescriptor(const ApplicationPackageDescriptor& descriptor);
    // Accepts a package-relative path; on success stores its NFC form in normalized.
    static bool safeRelativePath(const QString& path, QString* normalized = nullptr);
    // Whether an access stamp written at lastWriteMs still counts as fresh at nowMs.
    static bool stampFresh(qint64 lastWriteMs, qint64 nowMs);

    // Downloads.
    qint64 resumeOffset(const ApplicationPackageDescriptor& descriptor) const;
    bool resetPartial(const ApplicationPackageDescriptor& descriptor);
    // The partial file of a download, held open and hashed as it is written: what an earlier
    // download left is taken over under the rules of resumeOffset and hashed first. A failure
    // here shows in the partial's error and fails its first append.
    std::shared_ptr<PartialDownload> openPartial(const ApplicationPackageDescriptor& descriptor,
                                                 const std::atomic<bool>* cancelled = nullptr);
    // Also removes staging trees that a stopped installation left behind.
    void discardExpiredPartials(qint64 maxAgeMs) const;

    // Installation of a complete download, whose bytes were hashed as they came: the archive is
    // not read once more to check them. The partial is deleted only on success.
    bool finalizePartial(PartialDownload& partial, const ApplicationPackageDescriptor& descriptor,
                         QString* error = nullptr, const std::atomic<bool>* cancelled = nullptr);
    bool installArchive(QIODevice& source, const ApplicationPackageDescriptor& descriptor,
                        QString* error = nullptr, const std::atomic<bool>* cancelled = nullptr);

    // Verified access: every path returned names a regular file inside the package's tree whose
    // size and SHA-256 match the metadata, opened without following a final link.
    std::optional<QString> resolveFile(const QString& digest, const QString& relativePath,
                                       bool touch, VerifiedFileIdentity* identity = nullptr,
                                       const std::atomic<bool>* cancelled = nullptr) const;
    std::optional<QString> verifyFile(const QString& digest, const QString& relativePath,
                                      const Metadata& metadata,
                                      VerifiedFileIdentity* identity = nullptr,
                                      const std::atomic<bool>* cancelled = nullptr) const;
    // The entry point's path once every file of the package verified; touch only decides
    // whether the access stamp is written.
    std::optional<QString> readyEntrypoint(const ApplicationPackageDescriptor& descriptor,
                                           bool touch,
                                           const std::atomic<bool>* cancelled = nullptr) const;
    bool isReady(const ApplicationPackageDescriptor& descriptor) const;
    bool touch(const QString& digest) const;

    // The metadata file.
    std::optional<Metadata> readMetadata(const QString& digest) const;
    bool writeMetadata(const QString& directory, const Metadata& metadata,
                       QString* error = nullptr) const;

    // Forgets the digest's memos (never the disk).
    void invalidate(const QString& digest) const;
    bool remove(const QString& digest);
    // Evicts least recently used packages and partials, never one in keep, until the cached
    // total is at most maxBytes (plus the bytes of kept packages that are also exempt) and the
    // volume has minFreeBytes free.
    bool prune(qint64 maxBytes, qint64 minFreeBytes, const QSet<QString>& keep,
               QString* error = nullptr, const std::atomic<bool>* cancelled = nullptr,
               const QSet<QString>& exempt = {});
    // For tests: the next write into any partial of this cache fails with the error number
    // (ENOSPC, EROFS, EIO...), as the disk would fail it.
    void failNextPartialWrite(int error) { writeFault_->store(error); }
    // For tests: where Qt places the cache's directory on a volume; an invalid answer is a
    // root that is no mount point.
    void placeVolumeWith(std::function<QStorageInfo(const QString&)> place)
    {
        placeVolume_ = std::move(place);
    }

private:
    enum class ArchiveDigest { Unchecked, Matched };
    bool installArchive(QIODevice& source, const ApplicationPackageDescriptor& descriptor,
                        ArchiveDigest digest, QString* error, const std::atomic<bool>* cancelled);
    // verifyFile with the object directory already resolved to its canonical path.
    std::optional<QString> verifyFileIn(const QString& directory, const QString& digest,
                                        const QString& relativePath, const Metadata& metadata,
                                        VerifiedFileIdentity* identity,
                                        const std::atomic<bool>* cancelled) const;
    QString accessPath(const QString& digest) const;
    QString subdirectory(const char* name) const;
    bool deleteTree(const QString& digest) const;
    void discardAbandonedStaging() const;

    mutable QHash<QString, CachedMetadata> metadataCache_;
    mutable QHash<QString, VerifiedFile> verifiedFiles_;
    mutable QHash<QString, qint64> touchTimes_;
    mutable quint64 metadataUseClock_ = 0;
    QString rootPath_;
    std::function<QStorageInfo(const QString&)> placeVolume_ = placedVolumeOf;
    std::shared_ptr<std::atomic<int>> writeFault_ = std::make_shared<std::atomic<int>>(0);
};

} // namespace talvorine
