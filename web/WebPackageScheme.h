#pragma once

namespace talvorine {

// Installed web packages are served to the web engine under the private scheme
// "talvorine-app", one origin per package digest.
class WebPackageScheme {
public:
    WebPackageScheme() = delete;

    // Declares the scheme to the web engine; must run before any application object exists.
    static void registerBeforeApplication();
};

} // namespace talvorine
