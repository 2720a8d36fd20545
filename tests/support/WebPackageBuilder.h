#pragma once

// Web packages made at test time: a ustar archive written header by header (every 512-byte
// header field can be set by hand, so that any hostile entry can be made) in one gzip member.
//
//     const QByteArray bytes = test::WebPackageBuilder()
//                                  .file("index.html", "<p>hi</p>")
//                                  .directory("assets")
//                                  .file("assets/app.js", "go()")
//                                  .package();
//     const ApplicationPackageDescriptor descriptor = test::descriptorOf(bytes);
//     test::installPackage(cache, bytes, descriptor);   // through openPartial and finalizePartial

#include "web/ApplicationPackageCache.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace talvorine::test {

// One archive entry exactly as it is written.
struct TarEntry {
    enum class Magic { Ustar, Gnu, OldTar };

    // Raw bytes; a name longer than 100 bytes is split at a "/" into the prefix field.
    QByteArray name;
    char type = '0';
    int mode = 0644;
    QByteArray data;
    // Used when data is empty: that many zero bytes of content, never held in memory.
    qint64 zeroBytes = 0;
    // The size field; -1 writes the content's size.
    qint64 declaredSize = -1;
    QByteArray linkName;
    Magic magic = Magic::Ustar;

    qint64 contentSize() const { return data.isEmpty() ? zeroBytes : data.size(); }
};

class WebPackageBuilder {
public:
    // A 0644 regular file (or any mode) under its UTF-8 name.
    WebPackageBuilder& file(const QString& path, const QByteArray& data, int mode = 0644);
    // A file of size zero bytes, never held in memory.
    WebPackageBuilder& zeroFile(const QString& path, qint64 size);
    // A 0755 directory (or any mode), stored with a trailing "/".
    WebPackageBuilder& directory(const QString& path, int mode = 0755);
    // Any hand-made entry.
    WebPackageBuilder& entry(const TarEntry& entry);

    // The archive with its two end blocks.
    QByteArray tar() const;
    // The archive in one gzip member.
    QByteArray package() const;

private:
    QList<TarEntry> entries_;
};

// One "length key=value" record of a pax extended header.
QByteArray paxRecord(const QByteArray& key, const QByteArray& value);

// One 512-byte ustar header block for the entry.
QByteArray tarHeader(const TarEntry& entry);

// The bytes in one gzip member, then zeroTail zero bytes inside the same member (so that a
// large inflated size needs no memory).
QByteArray gzip(const QByteArray& bytes, qint64 zeroTail = 0);

// The descriptor a manifest would give for the package: its digest and size, the expanded size
// and file count left undeclared (0) unless given.
ApplicationPackageDescriptor descriptorOf(const QByteArray& package,
                                          const QString& entrypoint = QStringLiteral("index.html"),
                                          qint64 expandedBytes = 0, qint32 fileCount = 0);

// Downloads the package into the cache's partial and installs it, as the content pipeline does.
inline bool installPackage(ApplicationPackageCache& cache, const QByteArray& package,
                           const ApplicationPackageDescriptor& descriptor,
                           QString* error = nullptr)
{
    cache.resetPartial(descriptor);
    const std::shared_ptr<PartialDownload> partial = cache.openPartial(descriptor);
    if (!partial->append(package)) {
        if (error)
            *error = partial->error();
        return false;
    }
    return cache.finalizePartial(*partial, descriptor, error, nullptr);
}

} // namespace talvorine::test
