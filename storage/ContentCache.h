#pragma once

#include "storage/PartialDownload.h"
#include "storage/VolumeSpace.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QStorageInfo>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QIODevice;

namespace talvorine {

// The identity of one regular file as found on disk. A cached verification stays trusted only
// while the identity is unchanged: any rewrite, replacement, chmod or touch alters it.
struct VerifiedFileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeSec = 0;
    qint64 mtimeNsec = 0;
    qint64 ctimeSec = 0;
    qint64 ctimeNsec = 0;
    quint32 mode = 0;
    bool valid = false;

    // lstat: a final symbolic link is not followed.
    static VerifiedFileIdentity path(const QString& path);
    static VerifiedFileIdentity descriptor(int fd);

    // Validity is not compared; callers check it first.
    friend bool operator==(const VerifiedFileIdentity& a, const VerifiedFileIdentity& b)
    {
        return a.device == b.device && a.inode == b.inode && a.size == b.size
            && a.mtimeSec == b.mtimeSec && a.mtimeNsec == b.mtimeNsec
            && a.ctimeSec == b.ctimeSec && a.ctimeNsec == b.ctimeNsec && a.mode == b.mode;
    }
};

// Lowercase hexadecimal SHA-256 of everything from the device's position to its end; none on a
// short read or when the flag is set (checked before every chunk and at the end).
std::optional<QString> fileDigest(QIODevice& device, const std::atomic<bool>* cancelled);

// What least-recently-used pruning may evict: a cached object or package, or a partial
// download.
struct PruneCandidate {
    QString digest;
    qint64 bytes = 0;
    qint64 lastAccessMs = 0;
    bool partial = false;
};

// The partial downloads "<digest>.partial" of a directory (regular files, links excluded): each
// adds its size to total and, unless keep holds its digest, becomes a candidate aged by its
// modification time.
void addPartialCandidates(const QString& directory, const QSet<QString>& keep, qint64& total,
                          std::vector<PruneCandidate>& candidates);

enum class PruneOutcome { Met, Cancelled, EvictionFailed, Insufficient };

// Evicts candidates least recently used first, through evict, until total is at most budget
// and the volume, as measured before the walk, has minFreeBytes available (taken as met when the
// measure tells nothing). Each eviction lowers the total and raises the free space by its bytes.
PruneOutcome evictLeastRecentlyUsed(std::vector<PruneCandidate> candidates, qint64 total,
                                    qint64 budget, qint64 minFreeBytes, const VolumeSpace& volume,
                                    const std::atomic<bool>* cancelled,
                                    const std::function<bool(const PruneCandidate&)>& evict);

// A bounded serial job queue: one job at a time on the global thread pool, in submission order;
// each job returns a continuation that runs on the queue's thread unless its flag was raised.
class CacheIoQueue : public QObject {
    Q_OBJECT
public:
    struct Job {
        std::shared_ptr<std::atomic<bool>> cancel;
        std::function<std::function<void()>()> work;
    };

    explicit CacheIoQueue(int capacity, QObject* parent = nullptr);
    ~CacheIoQueue() override;

    int capacity() const { return m_capacity; }
    int waitingCount() const { return int(m_waiting.size()); }
    bool isRunning() const { return m_running != nullptr; }

    bool submit(std::shared_ptr<std::atomic<bool>> cancel,
                std::function<std::function<void()>()> work);
    void startNext();
    void discardCancelled();

private:
    void finishRunning(const std::function<void()>& continuation);

    int m_capacity;
    std::deque<Job> m_waiting;
    std::shared_ptr<std::atomic<bool>> m_running;
};

// The SHA-256-addressed object store: resumable partial downloads, verified commits, verified
// look-ups with an identity memo, access stamps and least-recently-used pruning.
class ContentCache {
public:
    static constexpr qint64 chunkBytes = 262144;
    static constexpr qint64 partialMaxAgeMs = 604800000;
    static constexpr qint64 touchIntervalMs = 60000;
    static constexpr qint64 abandonedCommitAgeMs = 600000;

    explicit ContentCache(QString root);
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    QString root() const { return m_root; }
    QString objectPath(const QString& sha256) const;
    QString partialPath(const QString& sha256) const;
    QString accessPath(const QString& sha256) const;

    qint64 resumeOffset(const QString& sha256, qint64 expectedSize);
    bool resetPartial(const QString& sha256);
    // The partial file of a download of sha256, on the content I/O queue: what an earlier
    // download left is taken over under the rules of resumeOffset and hashed first, or, when not
    // resuming, removed. A failure here shows in the partial's error and fails its first append,
    // as a failed write would.
    enum class PartialStart { Resume, Afresh };
    std::shared_ptr<PartialDownload> openPartial(const QString& sha256, qint64 expectedSize,
                                                 PartialStart start,
                                                 const std::atomic<bool>* cancelled);
    struct Commit {
        std::optional<QString> path;
        QString error;
    };
    // The download's file itself becomes the object, once its running hash matches: synced
    // read-only and renamed, never copied. Refused with the codes of commitVerified; the partial
    // stays in its place on any failure, for the caller to drop or resume.
    Commit commitPartial(PartialDownload& partial, const std::atomic<bool>* cancelled);
    std::optional<QString> commitVerified(QIODevice& source, const QString& sha256,
                                          qint64 expectedSize, QString* error,
                                          const std::atomic<bool>* cancelled) const;
    std::optional<QString> readyPath(const QString& sha256, qint64 expectedSize,
                                     const std::atomic<bool>* cancelled) const;
    bool prune(qint64 maxBytes, qint64 minFreeBytes, const QSet<QString>& keep, QString* error,
               const std::atomic<bool>* cancelled, const QSet<QString>& exempt);
    bool remove(const QString& sha256);
    // Also removes the temporary files of commits and access stamps that a crash interrupted.
    void discardExpiredPartials(qint64 maxAgeMs) const;

    // For tests: the next write into any partial of this cache fails with the error number
    // (ENOSPC, EROFS, EIO...), as the disk would fail it.
    void failNextPartialWrite(int error) { m_writeFault->store(error); }
    // For tests: where Qt places the cache's directory on a volume; an invalid answer is a
    // root that is no mount point.
    void placeVolumeWith(std::function<QStorageInfo(const QString&)> place)
    {
        m_placeVolume = std::move(place);
    }

private:
    enum class Check { Ready, Absent, Cancelled };
    Check verifyObject(const QString& sha256, qint64 expectedSize,
                       const std::atomic<bool>* cancelled) const;
    std::optional<QString> promote(int fd, const QByteArray& from, const QString& sha256,
                                   QString* error) const;
    void touch(const QString& sha256) const;
    void forget(const QString& sha256) const;
    void discardAbandonedTemporaries() const;
    bool deleteObject(const QString& sha256) const;

    QString m_root;
    mutable QMutex m_mutex;
    mutable QHash<QString, VerifiedFileIdentity> m_verified;
    mutable QHash<QString, qint64> m_touchTimes;
    std::shared_ptr<std::atomic<int>> m_writeFault = std::make_shared<std::atomic<int>>(0);
    std::function<QStorageInfo(const QString&)> m_placeVolume = placedVolumeOf;
};

} // namespace talvorine
