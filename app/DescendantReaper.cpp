#include "app/DescendantReaper.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace talvorine {

namespace {

QList<pid_t> children()
{
    QList<pid_t> found;
    for (const ListedProcess& process : listedProcesses()) {
        if (process.parent == ::getpid())
            found.append(pid_t(process.pid));
    }
    return found;
}

} // namespace

// Each reads "pid (name) state ppid pgrp session ...": the name may hold blanks and brackets of
// its own, so the fields are counted from its last bracket.
QList<ListedProcess> listedProcesses()
{
    QList<ListedProcess> listed;
    for (const QString& pid :
         QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString line = QString::fromLocal8Bit(stat.readAll());
        const qsizetype nameStart = line.indexOf(u'('), nameEnd = line.lastIndexOf(u')');
        const QStringList fields = line.mid(nameEnd + 1).split(u' ', Qt::SkipEmptyParts);
        if (nameStart < 0 || nameEnd < nameStart || fields.size() < 4)
            continue;
        listed.append({pid.toLongLong(), line.mid(nameStart + 1, nameEnd - nameStart - 1),
                       fields.at(0).at(0), fields.at(1).toLongLong(), fields.at(3).toLongLong()});
    }
    return listed;
}

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
    // What ends on a SIGTERM does so within milliseconds once the engine is gone; what is left
    // after this would wait out the whole bound.
    constexpr std::chrono::milliseconds grace{100};
    // When each child listed is due its SIGKILL; none is due one twice.
    QHash<pid_t, Clock::time_point> killAt;
    for (;;) {
        const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
        if (reaped > 0)
            killAt.remove(reaped);
        if (reaped > 0 || (reaped < 0 && errno == EINTR))
            continue;
        if (reaped < 0) // ECHILD: none is left
            return true;
        // A child is not reaped by anyone else, so its number cannot pass to another process
        // before it is signalled.
        const Clock::time_point now = Clock::now();
        for (const pid_t child : children()) {
            const auto due = killAt.find(child);
            if (due == killAt.end()) {
                killAt.insert(child, now + grace);
                ::kill(child, SIGTERM);
            } else if (now >= *due) {
                *due = Clock::time_point::max();
                ::kill(child, SIGKILL);
            }
        }
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(lookAgain);
    }
}

} // namespace talvorine
