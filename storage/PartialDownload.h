#pragma once

#include "storage/StorageFiles.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

struct stat;

namespace talvorine {

// One download's partial file, held open from its first byte to its commit, with the SHA-256 of
// every byte in it. What an earlier download left at the path (a resume, perhaps after a
// restart) is read back and hashed once, when this download takes it over; from then on each
// append is hashed as it is written, so that the commit reads nothing back. The hash lives and
// dies with the object: a cancelled or reset download drops it, and nothing of it outlives the
// process.
//
// It belongs to one download and is used only by that download's jobs on the content I/O queue,
// which run one at a time: it has no lock. A failure is final and fails every later append, so
// the download ends and a later one resumes from what reached the disk.
//
// Nobody else is meant to write into the file, but whoever can write to the state directory can.
// The download notes the file's identity, size and change time each time it has looked at it or
// written to it itself, and compares them before its next write and at the seal: a write of
// anyone else's moves the change time, which no caller can set back, or the size, and the bytes
// it left were never hashed, so the seal refuses them. A same-size overwrite landing within the
// same tick of the file system's clock as the download's own last write (or between that write
// and its look at the file) escapes this; every other one is seen.
class PartialDownload {
public:
    // A download into path of the object sha256 of expectedSize bytes; failures are reported as
    // writeFailure, the owning cache's code. Nothing is opened yet: the first append creates the
    // file unless resume() took one over.
    PartialDownload(QString path, QString sha256, qint64 expectedSize, QString writeFailure);
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;

    // Takes over the regular file an earlier download left at the path, shorter than the object,
    // and hashes it (nothing there is a resume from zero); appends go on in that file only. False
    // when it cannot be read whole or when cancelled meanwhile; the download then fails at its
    // first append.
    bool resume(const std::atomic<bool>* cancelled);

    // Writes and hashes the bytes, never past the declared size, and starts their write-back so
    // that the commit's sync finds little left to wait for.
    bool append(QByteArrayView bytes);
    // The same for reads that waited together; a large batch is hashed on a second core while
    // it is written.
    bool append(const QList<QByteArrayView>& chunks);

    // The file goes (the origin sends the whole object again, or its bytes are known wrong):
    // the next append creates a new one, and the hash starts over. False when it stays.
    bool discard();

    // Ends the download with the code (the write failure when none); false.
    bool fail(const QString& code = {});

    const QString& path() const { return m_path; }
    const QString& sha256() const { return m_sha256; }
    qint64 expectedSize() const { return m_expectedSize; }
    // Bytes in the file, every one of them hashed.
    qint64 size() const { return m_size; }
    // The first failure's code; empty while none.
    const QString& error() const { return m_error; }
    // What the system said of the first write that failed (as "No space left on device");
    // empty while none did.
    const QString& writeError() const { return m_writeError; }
    // Its error number, 0 while none: a full volume waits for room, a failing one does not.
    int writeErrno() const { return m_writeErrno; }

    // For tests: the first write after this fails with the error number, as a disk would. The
    // cell is shared with the cache that made the download and spent by the write it fails.
    void failWritesFrom(std::shared_ptr<std::atomic<int>> fault) { m_fault = std::move(fault); }

    enum class Seal {
        Verified, // exactly the declared object
        Short,    // fewer bytes than declared
        Differs,  // the bytes do not hash to the digest, or the file holds others beside them
        Moved,    // the file at the path is not this download's, or there is none
    };
    struct Sealed {
        Seal verdict = Seal::Moved;
        // The file, handed over to the commit; open only when verified.
        StorageFiles::UniqueFd file;
    };
    // Ends the download: whether the file at the path is still this one and holds exactly the
    // declared object. Its bytes are never read again for this.
    Sealed seal();

private:
    // The file as the download itself last left it.
    struct Stamp {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 changedSeconds = 0;
        qint64 changedNanoseconds = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };
    static Stamp stampOf(const struct stat& st);

    bool openForWriting();
    // fail() for a write or an open for writing that failed with the error number.
    bool failWrite(int error);
    // Marks the file as written by someone else when it is no longer as the download left it.
    void noteOtherWrites();
    bool restamp();

    QString m_path;
    QString m_sha256;
    qint64 m_expectedSize = 0;
    QString m_writeFailure;
    StorageFiles::UniqueFd m_fd;
    // None once sealed.
    std::unique_ptr<StorageFiles::Sha256> m_hash;
    qint64 m_size = 0;
    // Of the file resume() hashed, the only one the download may go on writing into, or of the
    // one it created.
    Stamp m_stamp;
    // Someone else wrote into the file: it can no longer be verified.
    bool m_overwritten = false;
    QString m_error;
    QString m_writeError;
    int m_writeErrno = 0;
    std::shared_ptr<std::atomic<int>> m_fault;
};

// A write the volume refused for want of room, which room returning mends; any other (a volume
// mounted read-only, a failing card) is not.
bool writeWantsRoom(int error);

} // namespace talvorine
