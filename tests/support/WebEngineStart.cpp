#include "tests/support/WebEngineStart.h"

#include "web/WebPackageScheme.h"
#include "web/WebSecurityPolicy.h"

#include <QtWebEngineQuick>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
// The engine's own code frees some of its objects with a mismatched size when a view goes; that
// is not ours to find, and it would stop every engine test under the address sanitizer.
extern "C" const char* __asan_default_options()
{
    return "new_delete_type_mismatch=0";
}
#endif

namespace talvorine::test {

void startWebEngine()
{
    if (!WebSecurityPolicy::configureChromiumSecurityEnvironment(
            qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"))) {
        std::fputs("the web security policy refused QTWEBENGINE_CHROMIUM_FLAGS\n", stderr);
        std::exit(78);
    }
    WebPackageScheme::registerBeforeApplication();
    QtWebEngineQuick::initialize();
}

} // namespace talvorine::test
