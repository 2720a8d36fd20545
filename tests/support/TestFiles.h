#pragma once

// Small file helpers for the tests: planting files with a mode, links and old modification
// times, and reading back contents and modes without following links.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <openssl/evp.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace talvorine::testfiles {

// The tests' own one-shot reference digest, independent of the incremental code under test.
inline QString sha(const QByteArray& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, EVP_sha256(), nullptr)
        != 1)
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

inline bool write(const QString& path, const QByteArray& bytes, mode_t mode = 0600)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool ok = file.write(bytes) == bytes.size();
    file.close();
    return ok && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

inline QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool symlinkTo(const QString& target, const QString& link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData())
        == 0;
}

inline bool setMtimeMs(const QString& path, qint64 ms)
{
    struct timespec times[2];
    times[0].tv_sec = ms / 1000;
    times[0].tv_nsec = (ms % 1000) * 1000000;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW)
        == 0;
}

inline bool exists(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// 0 when there is nothing at the path.
inline ino_t inodeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

inline int modeOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

// Another writer's bytes at the offset (truncated first when asked), once the kernel's clock for
// file times has moved past the file's last change, so that its change time moves too.
inline bool overwriteLater(const QString& path, qint64 offset, const QByteArray& bytes,
                           bool truncate = false)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return false;
    struct timespec now {};
    while (::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0
           && (now.tv_sec < st.st_ctim.tv_sec
               || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec <= st.st_ctim.tv_nsec)))
        ::usleep(100);
    const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | (truncate ? O_TRUNC : 0));
    if (fd < 0)
        return false;
    const bool ok = ::pwrite(fd, bytes.constData(), size_t(bytes.size()), off_t(offset))
        == ssize_t(bytes.size());
    return ::close(fd) == 0 && ok;
}

// Makes a file or directory immutable, which stops even root from changing or removing it, and
// undoes that when it goes out of scope. Not every file system supports the flag.
class Immutable {
public:
    explicit Immutable(const QString& path) : m_path(path) { m_set = change(true); }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    ~Immutable()
    {
        if (m_set)
            change(false);
    }
    bool isSet() const { return m_set; }

private:
    bool change(bool on)
    {
        const int fd = ::open(QFile::encodeName(m_path).constData(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString m_path;
    bool m_set = false;
};

} // namespace talvorine::testfiles
