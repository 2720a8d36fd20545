#pragma once

#include <QByteArray>

namespace talvorine {

// What the embedded Chromium engine may do.
class WebSecurityPolicy {
public:
    WebSecurityPolicy() = delete;

    // Refuses flags that would weaken the engine's security; otherwise appends the required
    // flags and writes the result to QTWEBENGINE_CHROMIUM_FLAGS. Must run before any
    // application object exists.
    static bool configureChromiumSecurityEnvironment(QByteArray flags);
    static QByteArray requiredChromiumFlags();
};

} // namespace talvorine
