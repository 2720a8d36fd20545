#pragma once

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
};

} // namespace talvorine
