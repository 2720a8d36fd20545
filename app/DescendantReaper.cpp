#include "app/DescendantReaper.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace talvorine {

namespace {

// The processes whose parent is this one, read from each process's "pid (name) state ppid ..."
// (the name may hold blanks and brackets of its own).
QList<pid_t> children()
{
    const QByteArray self = QByteArray::number(::getpid());
    QList<pid_t> found;
    for (const QString& pid :
         QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 1).simplified().split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            found.append(pid_t(pid.toInt()));
    }
    return found;
}

} // namespace

void adoptOrphanedDescendants()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
}

bool endDescendants(std::chrono::milliseconds bound)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + bound;
    // No child can be waited for with a time limit: those that have not ended yet are looked at
    // again a little later.
    constexpr std::chrono::milliseconds lookAgain{10};
    QSet<pid_t> asked;
    for (;;) {
        const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
        if (reaped > 0 || (reaped < 0 && errno == EINTR))
            continue;
        if (reaped < 0) // ECHILD: none is left
            return true;
        // A child is not reaped by anyone else, so its number cannot pass to another process
        // before it is signalled.
        for (const pid_t child : children()) {
            if (!asked.contains(child)) {
                asked.insert(child);
                ::kill(child, SIGTERM);
            }
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(lookAgain);
    }
}

} // namespace talvorine
