#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <malloc.h>

// The number of a "Name:   value" line of /proc/PID/status (sizes are in KiB there) of this
// process or another; -1 when the file or the line is missing.
inline qint64 processStatusValue(const QByteArray& name, const QString& pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A size line of /proc/self/status in bytes; -1 when it is missing.
inline qint64 processStatusBytes(const QByteArray& name)
{
    const qint64 kib = processStatusValue(name);
    return kib < 0 ? -1 : kib * 1024;
}

// Makes this process's peak resident size (VmHWM) start again from the current one.
inline bool resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// What malloc holds, over all its arenas: bytes handed out and not given back, and bytes given
// back that it keeps for later instead of returning them to the system.
struct HeapStatus {
    qint64 inUse = 0;
    qint64 free = 0;
};

inline HeapStatus heapStatus()
{
    const struct mallinfo2 heap = mallinfo2();
    return {qint64(heap.uordblks + heap.hblkhd), qint64(heap.fordblks)};
}
