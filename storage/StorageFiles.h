#pragma once

// File primitives shared by the cache, the ledger, the state files and the runtime's credential
// stores: owner-only directories, no-follow opens, atomic replacement with a directory fsync, and
// SHA-256 through libcrypto.

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonValue>
#include <QString>

#include <optional>

class QRegularExpression;
struct evp_md_ctx_st;

namespace talvorine::StorageFiles {

// Closes the descriptor it holds; -1 means none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    // Closes now and reports whether close succeeded.
    bool close();

private:
    int m_fd = -1;
};

// Incremental SHA-256 through libcrypto's EVP interface.
class Sha256 {
public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    bool ok() const { return m_ok; }
    void update(const char* data, qint64 size);
    // The 32 digest bytes; none when libcrypto failed at any step.
    std::optional<QByteArray> finish();
    // Lowercase hexadecimal digest; none when libcrypto failed at any step.
    std::optional<QString> finishHex();

private:
    evp_md_ctx_st* m_ctx = nullptr;
    bool m_ok = false;
};

std::optional<QByteArray> sha256(QByteArrayView bytes);
std::optional<QString> sha256Hex(QByteArrayView bytes);

// 64 lowercase hexadecimal digits.
bool validDigest(const QString& name);

// Creates the directory and its parents as needed; the leaf ends as a real directory (not a
// link) with mode 0700.
bool ensurePrivateDirectory(const QString& path);

// Why a directory cannot hold files, in the system's words ("Not a directory", "Permission
// denied", "Read-only file system", "No space left on device"); empty when it can be created (as
// mkdir -p would) and a file written in it. For telling an operator after the fact; what it
// creates is left, a probe file is not.
QString directoryProblem(const QString& path);

// What a directory fsync that the file system does not support (EINVAL) counts as.
enum class UnsupportedSync { Success, Failure };
bool fsyncDirectory(const QString& path, UnsupportedSync unsupported = UnsupportedSync::Success);

// Opens an existing regular file for reading without following a final symbolic link.
UniqueFd openRegularForRead(const QString& path);

// Reads a whole regular, non-link file of at most maxBytes; none when absent, not regular,
// too large, changed in size while read, or unreadable. OwnerOnly also refuses a file with any
// group or other permission bit; Cleanse wipes what was read when the read is refused.
enum class ReadRule { Any, OwnerOnly };
enum class Refused { Keep, Cleanse };
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes,
                                          ReadRule rule = ReadRule::Any,
                                          Refused refused = Refused::Keep);

// The same read, telling which check refused the file, for callers that log a refusal.
enum class ReadRefusal {
    None,
    Absent,
    SymbolicLink,
    NotRegularFile,
    TooLarge,
    GroupOrOtherAccess,
    Unreadable,
    ChangedWhileRead,
};
// "absent", "symbolic_link", "not_regular_file", "too_large", "group_or_other_access",
// "unreadable", "changed_while_read"; empty for None.
QString readRefusalName(ReadRefusal refusal);
struct CheckedRead {
    std::optional<QByteArray> bytes;
    ReadRefusal refusal = ReadRefusal::None;
};
CheckedRead readRegularFileChecked(const QString& path, qint64 maxBytes,
                                   ReadRule rule = ReadRule::Any,
                                   Refused refused = Refused::Keep);

// Writes bytes to path atomically with mode 0600: into the temporary next to it (below), synced,
// renamed over the path, then the directory synced. What is already at the path and is not a
// regular file is either removed first (Replace), so that the write never lands elsewhere, or
// makes the write fail (Refuse). A file that holds no secret may take the mode a new file gets
// (CreationDefault). The result tells which step failed, for the caller's error word.
enum class WriteFailure { None, Open, Write, Commit };
enum class NonRegularTarget { Replace, Refuse };
enum class FileMode { OwnerOnly, CreationDefault };
struct WriteRules {
    NonRegularTarget nonRegular = NonRegularTarget::Replace;
    UnsupportedSync unsupportedSync = UnsupportedSync::Success;
    FileMode mode = FileMode::OwnerOnly;
};
WriteFailure writeFileAtomically(const QString& path, const QByteArray& bytes,
                                 WriteRules rules = {});
// The one temporary name a save of path uses ("<path>.saving"); a save interrupted before its
// rename leaves at most this file, which the next save of path replaces.
QString saveTemporaryPath(const QString& path);
// Removes a state file together with the temporary an interrupted save of it may have left
// (which holds a whole copy of its content, a secret for the credential files), then syncs the
// directory once, so that neither comes back after a power cut. True when both are gone and
// the removal is durable; nothing there at all counts as removed.
bool removeStateFile(const QString& path, UnsupportedSync unsupported = UnsupportedSync::Success);

// Byte counts in JSON: a number below 2^53 (a negative count as 0), otherwise the decimal
// string; read back from an integral number in 0..2^53-1 or a canonical decimal string that
// fits 64 bits, so that whatever is written reads back.
QJsonValue jsonByteValue(qint64 value);
std::optional<qint64> byteValueFrom(const QJsonValue& value);

// Writes all bytes to the descriptor, retrying interrupted and partial writes.
bool writeAll(int fd, const char* data, qint64 size);

// Removes every entry of the directory but its subdirectories whose whole name matches the
// pattern and that is a symbolic link or was last modified before cutoffMs (milliseconds since
// the epoch). Failures are ignored: what stays is tried again next time.
void removeStaleEntries(const QString& directory, const QRegularExpression& names,
                        qint64 cutoffMs);

// lstat-based: whether anything (a dangling link included) exists at the path.
bool entryExists(const QString& path);
// Removes a non-directory entry without following links; true when it is gone.
bool removeEntry(const QString& path);

} // namespace talvorine::StorageFiles
