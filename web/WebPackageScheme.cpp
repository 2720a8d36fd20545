#include "web/WebPackageScheme.h"

#include <QWebEngineUrlScheme>

namespace talvorine {

void WebPackageScheme::registerBeforeApplication()
{
    QWebEngineUrlScheme scheme(QByteArrayLiteral("talvorine-app"));
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
    QWebEngineUrlScheme::Flags flags =
        QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    flags |= QWebEngineUrlScheme::FetchApiAllowed;
#endif
    scheme.setFlags(flags);
    QWebEngineUrlScheme::registerScheme(scheme);
}

} // namespace talvorine
