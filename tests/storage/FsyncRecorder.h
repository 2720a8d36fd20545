#pragma once

// Records every fsync and fdatasync the test process makes: the path the descriptor names
// and the file's mode at that moment, so that tests can tell what was made durable and when.
// Include in exactly one source file of a test executable: it defines the two functions.

#include <QByteArray>
#include <QList>
#include <QMutex>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine::fsyncrecorder {

struct Call {
    QByteArray path;
    mode_t mode = 0;
    bool directory() const { return S_ISDIR(mode); }
};

inline QMutex mutex;
inline QList<Call> calls;

inline void clear()
{
    QMutexLocker lock(&mutex);
    calls.clear();
}

inline QList<Call> taken()
{
    QMutexLocker lock(&mutex);
    return calls;
}

inline void note(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    char target[4096];
    const ssize_t length =
        ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), target,
                   sizeof target);
    QMutexLocker lock(&mutex);
    calls.append({length > 0 ? QByteArray(target, int(length)) : QByteArray(), st.st_mode});
}

template<typename Real>
Real next(const char* name)
{
    return reinterpret_cast<Real>(::dlsym(RTLD_NEXT, name));
}

} // namespace talvorine::fsyncrecorder

extern "C" int fsync(int fd)
{
    using Real = int (*)(int);
    static const Real real = talvorine::fsyncrecorder::next<Real>("fsync");
    talvorine::fsyncrecorder::note(fd);
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    using Real = int (*)(int);
    static const Real real = talvorine::fsyncrecorder::next<Real>("fdatasync");
    talvorine::fsyncrecorder::note(fd);
    return real(fd);
}
