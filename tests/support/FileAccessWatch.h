#pragma once

// Proof that code did not open or read a file: inotify watches on the given paths (a directory
// covers the files in it and, with its subdirectories as they are now, the whole tree; a file is
// watched by inode, so every name of it counts). The kernel queues each event as the call
// happens, so taking the events right after the code under test returns is exact.

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>

#include <sys/inotify.h>
#include <unistd.h>

namespace talvorine::test {

class FileAccessWatch {
public:
    explicit FileAccessWatch(const QStringList& paths)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        for (const QString& path : paths) {
            add(path);
            QDirIterator dirs(path, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                              QDirIterator::Subdirectories);
            while (dirs.hasNext())
                add(dirs.next());
        }
        take(); // listing the directories above opened them
    }
    FileAccessWatch(const FileAccessWatch&) = delete;
    FileAccessWatch& operator=(const FileAccessWatch&) = delete;
    ~FileAccessWatch()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool isValid() const { return fd_ >= 0 && ok_; }

    // The paths opened or read since the last call; a directory opened for listing shows as
    // the directory itself.
    QStringList take()
    {
        QStringList touched;
        alignas(inotify_event) char buffer[65536];
        for (;;) {
            const ssize_t length = ::read(fd_, buffer, sizeof buffer);
            if (length <= 0)
                return touched;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                const QString name = event->len ? QFile::decodeName(event->name) : QString();
                const QString where = watched_.value(event->wd);
                touched.append(name.isEmpty() ? where : where + u'/' + name);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    void add(const QString& path)
    {
        const int wd = ::inotify_add_watch(fd_, QFile::encodeName(path).constData(),
                                           IN_OPEN | IN_ACCESS | IN_DONT_FOLLOW);
        ok_ = ok_ && wd >= 0;
        watched_.insert(wd, path);
    }

    int fd_;
    bool ok_ = true;
    QHash<int, QString> watched_;
};

} // namespace talvorine::test
