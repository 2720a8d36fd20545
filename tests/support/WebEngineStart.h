#pragma once

namespace talvorine::test {

// The flags completed by the security policy exactly as in production, the package scheme
// registered, and QtWebEngineQuick initialised; stops the process when the policy refuses the
// environment's flags. Runs before the application object exists.
void startWebEngine();

} // namespace talvorine::test
