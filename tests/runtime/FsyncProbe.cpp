#include "FsyncProbe.h"

#include <QFile>

#include <cerrno>
#include <mutex>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ProbeState {
    std::mutex mutex;
    bool active = false;
    bool failDirectories = false;
    QByteArray watchedFile;
    QList<talvorine::test::DirectorySync> syncs;
};

ProbeState& state()
{
    static ProbeState probe;
    return probe;
}

using FsyncFunction = int (*)(int);

FsyncFunction realFsync()
{
    static const auto function = reinterpret_cast<FsyncFunction>(dlsym(RTLD_NEXT, "fsync"));
    return function;
}

QByteArray pathOfDescriptor(int fd)
{
    char target[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    return length > 0 ? QByteArray(target, int(length)) : QByteArray();
}

// Plain POSIX reads: this runs inside fsync and must not recurse into the probe.
bool readWhole(const QByteArray& path, QByteArray* content)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
        content->append(chunk, int(got));
    ::close(fd);
    return true;
}

} // namespace

// Interposes the C library's fsync for the whole test process.
extern "C" int fsync(int fd)
{
    ProbeState& probe = state();
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        std::lock_guard lock(probe.mutex);
        if (probe.active) {
            talvorine::test::DirectorySync sync;
            sync.directory = QFile::decodeName(pathOfDescriptor(fd));
            sync.watchedExists = readWhole(probe.watchedFile, &sync.watchedContent);
            probe.syncs.append(sync);
            if (probe.failDirectories) {
                errno = EIO;
                return -1;
            }
        }
    }
    const FsyncFunction real = realFsync();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd);
}

namespace talvorine::test {

FsyncProbe::FsyncProbe(const QString& watchedFile)
{
    std::lock_guard lock(state().mutex);
    state().active = true;
    state().failDirectories = false;
    state().watchedFile = QFile::encodeName(watchedFile);
    state().syncs.clear();
}

FsyncProbe::~FsyncProbe()
{
    std::lock_guard lock(state().mutex);
    state().active = false;
    state().failDirectories = false;
    state().syncs.clear();
}

void FsyncProbe::failDirectorySyncs(bool fail)
{
    std::lock_guard lock(state().mutex);
    state().failDirectories = fail;
}

QList<DirectorySync> FsyncProbe::directorySyncs() const
{
    std::lock_guard lock(state().mutex);
    return state().syncs;
}

} // namespace talvorine::test
