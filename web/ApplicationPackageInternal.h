#pragma once

// Small helpers shared by the units of the application package cache; not for other folders.

#include <QFile>
#include <QString>

#include <atomic>

#include <sys/stat.h>

namespace talvorine::packagecache {

inline void setError(QString* error, const char* code)
{
    if (error)
        *error = QString::fromLatin1(code);
}

inline bool isCancelled(const std::atomic<bool>* cancelled)
{
    return cancelled && cancelled->load();
}

inline QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

inline qint64 mtimeMs(const struct stat& st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + qint64(st.st_mtim.tv_nsec) / 1000000;
}

// Removes whatever stands at the path: a tree (read-only modes undone first) or a single entry
// (a link is removed, never followed). True when nothing is left there.
bool removeAnyEntry(const QString& path);

} // namespace talvorine::packagecache
