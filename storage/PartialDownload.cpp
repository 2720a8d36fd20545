#include "storage/PartialDownload.h"

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine {

namespace {

constexpr qint64 readChunkBytes = 262144;
// Below this a second thread costs more than it saves.
constexpr qint64 parallelHashBytes = 1048576;

bool isCancelled(const std::atomic<bool>* cancelled)
{
    return cancelled && cancelled->load(std::memory_order_acquire);
}

} // namespace

bool writeWantsRoom(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

PartialDownload::PartialDownload(QString path, QString sha256, qint64 expectedSize,
                                 QString writeFailure)
    : m_path(std::move(path)), m_sha256(std::move(sha256)), m_expectedSize(expectedSize),
      m_writeFailure(std::move(writeFailure)), m_hash(std::make_unique<StorageFiles::Sha256>())
{
}

bool PartialDownload::fail(const QString& code)
{
    if (m_error.isEmpty())
        m_error = code.isEmpty() ? m_writeFailure : code;
    return false;
}

bool PartialDownload::failWrite(int error)
{
    if (m_error.isEmpty() && error != 0) {
        m_writeError = QString::fromLocal8Bit(std::strerror(error));
        m_writeErrno = error;
    }
    return fail();
}

bool PartialDownload::resume(const std::atomic<bool>* cancelled)
{
    if (!m_error.isEmpty() || m_fd.valid() || !m_hash || m_size > 0)
        return fail();
    // Never through a link, and never blocked by a FIFO planted at the path. Reading needs no
    // more than reading: a partial that cannot be written still resumes where it ends, and the
    // download fails at its first append.
    StorageFiles::UniqueFd fd(::open(QFile::encodeName(m_path).constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return errno == ENOENT || fail();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= m_expectedSize)
        return fail();
    QByteArray buffer(readChunkBytes, Qt::Uninitialized);
    qint64 hashed = 0;
    while (hashed < qint64(st.st_size)) {
        if (isCancelled(cancelled))
            return fail();
        const ssize_t n = ::pread(fd.get(), buffer.data(),
                                  size_t(std::min(readChunkBytes, qint64(st.st_size) - hashed)),
                                  off_t(hashed));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail();
        m_hash->update(buffer.constData(), n);
        hashed += n;
    }
    m_size = hashed;
    // As it was before it was read: a write while it was being read counts as another's too.
    m_stamp = stampOf(st);
    return m_hash->ok() || fail();
}

PartialDownload::Stamp PartialDownload::stampOf(const struct stat& st)
{
    return {quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size), qint64(st.st_ctim.tv_sec),
            qint64(st.st_ctim.tv_nsec)};
}

void PartialDownload::noteOtherWrites()
{
    struct stat st {};
    if (::fstat(m_fd.get(), &st) != 0 || !(stampOf(st) == m_stamp))
        m_overwritten = true;
}

bool PartialDownload::restamp()
{
    struct stat st {};
    if (::fstat(m_fd.get(), &st) != 0)
        return false;
    m_stamp = stampOf(st);
    return true;
}

bool PartialDownload::openForWriting()
{
    const QByteArray name = QFile::encodeName(m_path);
    StorageFiles::UniqueFd fd;
    struct stat st {};
    if (m_size == 0) {
        // Whatever appeared at the path meanwhile is not this download's to write into.
        fd = StorageFiles::UniqueFd(::open(
            name.constData(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    } else {
        // Only the file that was hashed; what was written into it since is judged below.
        fd = StorageFiles::UniqueFd(
            ::open(name.constData(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.valid()
            && (::fstat(fd.get(), &st) != 0 || st.st_dev != m_stamp.device
                || st.st_ino != m_stamp.inode))
            fd.close();
    }
    if (!fd.valid())
        return false;
    m_fd = std::move(fd);
    if (m_size > 0)
        noteOtherWrites();
    // Making the file the owner's alone moves its change time too.
    return ::fchmod(m_fd.get(), 0600) == 0 && restamp();
}

bool PartialDownload::append(QByteArrayView bytes)
{
    return append(QList<QByteArrayView>{bytes});
}

bool PartialDownload::append(const QList<QByteArrayView>& chunks)
{
    qint64 total = 0;
    for (const QByteArrayView& bytes : chunks)
        total += bytes.size();
    if (!m_error.isEmpty() || !m_hash || total > m_expectedSize - m_size)
        return fail();
    if (const int injected = m_fault ? m_fault->exchange(0) : 0; injected != 0)
        return failWrite(injected);
    if (!m_fd.valid() && !openForWriting())
        return failWrite(errno);
    noteOtherWrites();
    // The digest is taken on another core while the bytes are written: one after the other,
    // they are slower than a loopback transfer. A failed write fails the download for good, so
    // bytes hashed but never written are never judged.
    std::future<void> hashed;
    if (total >= parallelHashBytes)
        hashed = std::async(std::launch::async, [&] {
            for (const QByteArrayView& bytes : chunks)
                m_hash->update(bytes.data(), bytes.size());
        });
    else
        for (const QByteArrayView& bytes : chunks)
            m_hash->update(bytes.data(), bytes.size());
    bool written = true;
    for (const QByteArrayView& bytes : chunks)
        written = written && StorageFiles::writeAll(m_fd.get(), bytes.data(), bytes.size());
    const int writeErrno = errno;
    if (hashed.valid())
        hashed.wait();
    if (!written)
        return failWrite(writeErrno);
    ::sync_file_range(m_fd.get(), m_size, total, SYNC_FILE_RANGE_WRITE);
    m_size += total;
    return restamp() || fail();
}

bool PartialDownload::discard()
{
    m_fd.close();
    if (m_hash)
        m_hash = std::make_unique<StorageFiles::Sha256>();
    m_size = 0;
    m_overwritten = false;
    return StorageFiles::removeEntry(m_path) || fail();
}

PartialDownload::Sealed PartialDownload::seal()
{
    Sealed sealed;
    const std::unique_ptr<StorageFiles::Sha256> hash = std::move(m_hash);
    StorageFiles::UniqueFd fd = std::move(m_fd);
    struct stat opened {};
    struct stat named {};
    if (!m_error.isEmpty() || !hash || !fd.valid() || ::fstat(fd.get(), &opened) != 0
        || ::lstat(QFile::encodeName(m_path).constData(), &named) != 0
        || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        return sealed;
    // A file that grew beyond what this download wrote, or that anyone else wrote into, holds
    // bytes nobody hashed.
    if (qint64(opened.st_size) != m_size || m_overwritten || !(stampOf(opened) == m_stamp))
        sealed.verdict = Seal::Differs;
    else if (m_size != m_expectedSize)
        sealed.verdict = Seal::Short;
    else if (hash->finishHex() != m_sha256)
        sealed.verdict = Seal::Differs;
    else
        sealed = {Seal::Verified, std::move(fd)};
    return sealed;
}

} // namespace talvorine
