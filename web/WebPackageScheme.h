#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace talvorine {

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
};

} // namespace talvorine
