#pragma once

// Watches the fsync calls of the test process, so tests can see that a committed file was made
// durable by syncing its directory, and can make those directory syncs fail.

#include <QByteArray>
#include <QList>
#include <QString>

namespace talvorine::test {

struct DirectorySync {
    QString directory;     // the directory whose descriptor was synced
    bool watchedExists;    // whether the watched file existed at that moment
    QByteArray watchedContent; // its content then
};

class FsyncProbe {
public:
    // Starts recording directory syncs; the watched file is snapshot at each one.
    explicit FsyncProbe(const QString& watchedFile);
    ~FsyncProbe();
    FsyncProbe(const FsyncProbe&) = delete;
    FsyncProbe& operator=(const FsyncProbe&) = delete;

    // From now on, directory syncs fail with EIO (file syncs still succeed).
    void failDirectorySyncs(bool fail);
    QList<DirectorySync> directorySyncs() const;
};

} // namespace talvorine::test
