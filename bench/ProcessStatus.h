#pragma once

#include <QByteArray>
#include <QFile>

// The number of a "Name:   value" line of /proc/self/status (sizes are in KiB there); -1 when
// the file or the line is missing.
inline qint64 processStatusValue(const QByteArray& name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
