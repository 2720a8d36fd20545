#pragma once

#include "storage/ContentCache.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>
#include <optional>

namespace talvorine {

class ApplicationPackageCache;

// A package file that may be served: where it is, as what, and the identity it had when its
// hash matched, so that the file opened later can be proven to be that one.
struct ResolvedPackageFile {
    QString path;
    QByteArray contentType;
    VerifiedFileIdentity identity;
};

// Installed web packages are served to the web engine under the private scheme
// "talvorine-app", one origin per package digest.
class WebPackageScheme {
public:
    WebPackageScheme() = delete;

    // Declares the scheme to the web engine; must run before any application object exists.
    static void registerBeforeApplication();

    // The URL of a file of the installed package with that digest; its host is the digest
    // split into two halves of 32 digits joined by a dot. Empty for a malformed digest.
    static QUrl entryUrl(const QString& sha256, const QString& path);

    // Whether a page of that origin may read from the package: the player's own resource pages
    // ("qrc" without a host) and the package itself, nothing else.
    static bool allowedPackageInitiator(const QUrl& initiator, const QString& sha256);

    // The content type served for a lower-case file suffix; empty for every suffix outside the
    // table, and such a file is never served.
    static QByteArray exactMimeType(const QString& suffix);

    // One scheme request of the package sha256 as a verified file of the cache under cacheRoot,
    // or nothing: only GET, only that package's host, no port, user or query, no encoded
    // separators or dots, and only files whose suffix has a content type; a fragment is dropped
    // before the path is resolved. A null cache is built over cacheRoot for the call. Safe on a
    // worker thread; a set flag stops it before any file is touched.
    static std::optional<ResolvedPackageFile> resolveRequest(const QString& cacheRoot,
                                                             const QString& sha256,
                                                             const QUrl& url,
                                                             const QByteArray& method,
                                                             ApplicationPackageCache* cache,
                                                             const std::atomic<bool>* cancelled);
};

} // namespace talvorine
