#include "web/WebPackageSchemeCoordinator.h"

#include "app/DevFileLog.h"
#include "web/WebPackageScheme.h"
#include "web/WebPackageSchemeHandler.h"

#include <QDir>
#include <QJsonObject>
#include <QQuickWebEngineProfile>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QWebEngineScript>
#include <QWebEngineUrlRequestInterceptor>

namespace talvorine {

namespace {

constexpr char interceptorProperty[] = "talvorinePrivateNetworkInterceptor";

const QString& packageScheme()
{
    static const QString name = QStringLiteral("talvorine-app");
    return name;
}

// Only the scheme and two flags: a URL, host or path never reaches the log.
void recordRequest(const QUrl& url, bool mainFrame, bool allowed)
{
    static const QSet<QString> named{QStringLiteral("qrc"), packageScheme(),
                                     QStringLiteral("https"), QStringLiteral("file")};
    const QString label = named.contains(url.scheme()) ? url.scheme() : QStringLiteral("other");
    DevFileLog::record(QStringLiteral("web.request"), {{QStringLiteral("scheme"), label},
                                                       {QStringLiteral("main_frame"), mainFrame},
                                                       {QStringLiteral("allowed"), allowed}});
    qWarning("web request scheme=%s main_frame=%d allowed=%d", qPrintable(label), int(mainFrame),
             int(allowed));
}

// One per profile, owned by it. Its fields are written by configure and read by
// interceptRequest, both on the GUI thread, so they need no lock.
class PrivateNetworkInterceptor : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo& info) override
    {
        const InterceptionVerdict verdict =
            interceptionVerdict(placement, info.requestUrl(), info.resourceType(),
                                info.initiator(), WebSecurityPolicy::defaultResolver());
        if (verdict.recorded)
            recordRequest(info.requestUrl(),
                          info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame,
                          verdict.allowed);
        info.block(!verdict.allowed);
    }

    InterceptedPlacement placement;
};

#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
// Before 6.6 the package scheme cannot be opened to fetch(): every frame of the profile's
// package pages is given one that reads the package's own files through XMLHttpRequest, which
// the interceptor and the handler judge as always. The profile's script collection has no C++
// header in Qt 6.4; its invokables are the API it offers.
void givePackageFetch(QQuickWebEngineProfile* profile)
{
    static const QWebEngineScript script = [] {
        QWebEngineScript made;
        made.setName(QStringLiteral("talvorine-package-fetch"));
        made.setSourceUrl(QUrl(QStringLiteral("qrc:/web/package-fetch.js")));
        made.setInjectionPoint(QWebEngineScript::DocumentCreation);
        made.setWorldId(QWebEngineScript::MainWorld);
        made.setRunsOnSubFrames(true);
        return made;
    }();
    QObject* scripts = profile->property("userScripts").value<QObject*>();
    bool present = false;
    if (!scripts
        || !QMetaObject::invokeMethod(scripts, "contains", Q_RETURN_ARG(bool, present),
                                      Q_ARG(QWebEngineScript, script))
        || present)
        return;
    QMetaObject::invokeMethod(scripts, "insert", Q_ARG(QWebEngineScript, script));
}
#endif

const QSet<QString>& failureStages()
{
    static const QSet<QString> stages{
        // The wrapper's configuration.
        QStringLiteral("config"), QStringLiteral("source"), QStringLiteral("config_features"),
        QStringLiteral("nonce"), QStringLiteral("child"), QStringLiteral("context"),
        QStringLiteral("local_package"),
        // The wrapper's package source checks.
        QStringLiteral("package_upload"), QStringLiteral("package_scheme"),
        QStringLiteral("package_host"), QStringLiteral("package_origin_empty"),
        QStringLiteral("package_origin_mismatch"), QStringLiteral("package_options"),
        // The wrapper's application context checks.
        QStringLiteral("context_keys"), QStringLiteral("context_application_id"),
        QStringLiteral("context_release_id"), QStringLiteral("context_primitive_id"),
        QStringLiteral("context_generation"), QStringLiteral("context_capabilities"),
        QStringLiteral("context_viewport"), QStringLiteral("context_primitive"),
        QStringLiteral("context_screen_id"),
        // The placement's loads and renderer.
        QStringLiteral("wrapper_load"), QStringLiteral("iframe_load"),
        QStringLiteral("iframe_navigation"), QStringLiteral("renderer_terminated"),
        // Console message classes.
        QStringLiteral("local_resource_denied"), QStringLiteral("csp_denied"),
        QStringLiteral("external_protocol_denied"), QStringLiteral("message_origin_mismatch"),
        QStringLiteral("js_security_error"), QStringLiteral("js_syntax_error"),
        QStringLiteral("js_network_error"), QStringLiteral("js_type_error"),
        QStringLiteral("js_reference_error"), QStringLiteral("js_console"),
        // Dialogs a page asked for and nobody at the screen could answer, each refused.
        QStringLiteral("javascript_dialog"), QStringLiteral("authentication_dialog"),
        QStringLiteral("file_dialog"), QStringLiteral("color_dialog"),
    };
    return stages;
}

} // namespace

WebRequestKind webRequestKind(QWebEngineUrlRequestInfo::ResourceType type)
{
    switch (type) {
    case QWebEngineUrlRequestInfo::ResourceTypeServiceWorker:
        return WebRequestKind::ServiceWorker;
    case QWebEngineUrlRequestInfo::ResourceTypeWebSocket:
        return WebRequestKind::WebSocket;
    case QWebEngineUrlRequestInfo::ResourceTypeMainFrame:
    case QWebEngineUrlRequestInfo::ResourceTypeSubFrame:
        return WebRequestKind::Navigation;
    default:
        return WebRequestKind::Subresource;
    }
}

InterceptionVerdict interceptionVerdict(const InterceptedPlacement& placement, const QUrl& url,
                                        QWebEngineUrlRequestInfo::ResourceType type,
                                        const QUrl& initiator, const NameResolver& resolver)
{
    const WebRequestKind kind = webRequestKind(type);
    const InterceptionVerdict refused{false, true};
    if (!WebSecurityPolicy::allowedRequest(url, kind, resolver))
        return refused;
    if (type == QWebEngineUrlRequestInfo::ResourceTypeMainFrame
        && !(placement.uploadedApplication
                 ? WebSecurityPolicy::allowedWrapper(url)
                 : WebSecurityPolicy::allowsIframeMainFrame(url, placement.expectedOrigin)))
        return refused;
    const bool package = url.scheme() == packageScheme();
    const bool resource = url.scheme() == QLatin1String("qrc");
    // An iframe placement never reaches the wrapper's resources or any package.
    if (!placement.uploadedApplication && (package || resource))
        return refused;
    // The player's own pages load its resources; a package page (or anything it frames) must
    // not even frame them, whatever the engine's own origin checks would make of it.
    if (resource && type != QWebEngineUrlRequestInfo::ResourceTypeMainFrame
        && !(initiator.scheme() == QLatin1String("qrc") && initiator.authority().isEmpty()))
        return refused;
    const bool navigation = kind == WebRequestKind::Navigation;
    if (package) {
        const QUrl packageRoot = WebPackageScheme::entryUrl(placement.selectedPackageSha256, {});
        if (url.host(QUrl::FullyDecoded) != packageRoot.host(QUrl::FullyDecoded))
            return refused;
        const bool allowed = WebPackageScheme::allowedPackageInitiator(
            initiator, placement.selectedPackageSha256);
        return InterceptionVerdict{allowed, navigation || !allowed};
    }
    return InterceptionVerdict{true, navigation};
}

WebPackageSchemeCoordinator::WebPackageSchemeCoordinator(QObject* parent) : QObject(parent) {}

void WebPackageSchemeCoordinator::setEngineRefused(bool refused)
{
    if (engineRefused_ == refused)
        return;
    engineRefused_ = refused;
    Q_EMIT engineRefusedChanged();
}

bool WebPackageSchemeCoordinator::configure(QObject* profile, const QString& packageCacheRoot,
                                            const QString& selectedPackageSha256,
                                            const QString& expectedOrigin,
                                            bool uploadedApplication)
{
    auto* engineProfile = qobject_cast<QQuickWebEngineProfile*>(profile);
    if (!engineProfile)
        return false;
    auto* interceptor = qobject_cast<PrivateNetworkInterceptor*>(
        engineProfile->property(interceptorProperty).value<QObject*>());
    if (!interceptor) {
        interceptor = new PrivateNetworkInterceptor(engineProfile);
        engineProfile->setUrlRequestInterceptor(interceptor);
        engineProfile->setProperty(interceptorProperty,
                                   QVariant::fromValue(static_cast<QObject*>(interceptor)));
    }
    interceptor->placement =
        InterceptedPlacement{expectedOrigin, selectedPackageSha256, uploadedApplication};
    if (!uploadedApplication)
        return true;
#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
    givePackageFetch(engineProfile);
#endif

    // The profile hands out its handlers as const only; this one is ours to reconfigure.
    auto* handler = const_cast<packagescheme::Handler*>(qobject_cast<const packagescheme::Handler*>(
        engineProfile->urlSchemeHandler(packageScheme().toLatin1())));
    if (!handler) {
        handler = new packagescheme::Handler(engineProfile);
        engineProfile->installUrlSchemeHandler(packageScheme().toLatin1(), handler);
    }
    handler->select(QDir::cleanPath(packageCacheRoot), selectedPackageSha256);
    return true;
}

bool WebPackageSchemeCoordinator::allowsIframeMainFrame(const QUrl& url,
                                                        const QString& assignedOrigin) const
{
    return WebSecurityPolicy::allowsIframeMainFrame(url, assignedOrigin);
}

bool WebPackageSchemeCoordinator::shouldSignalIframeReady(const QUrl& url,
                                                          const QString& assignedOrigin,
                                                          bool alreadySignaled) const
{
    return WebSecurityPolicy::shouldSignalIframeReady(url, assignedOrigin, alreadySignaled);
}

bool WebPackageSchemeCoordinator::allowedWrapper(const QUrl& url) const
{
    return WebSecurityPolicy::allowedWrapper(url);
}

void WebPackageSchemeCoordinator::recordFailure(const QString& stage, int errorCode) const
{
    if (!failureStages().contains(stage))
        return;
    DevFileLog::record(QStringLiteral("web.failure"),
                       {{QStringLiteral("stage"), stage}, {QStringLiteral("error_code"), errorCode}});
    qWarning("web failure stage=%s error_code=%d", qPrintable(stage), errorCode);
}

void WebPackageSchemeCoordinator::recordFailureRepeats(const QVariantMap& repeats) const
{
    QJsonObject fields;
    QStringList counts;
    for (auto it = repeats.constBegin(); it != repeats.constEnd(); ++it) {
        const int count = it.value().toInt();
        fields.insert(it.key(), count);
        counts.append(it.key() + u'=' + QString::number(count));
    }
    if (fields.isEmpty())
        return;
    DevFileLog::record(QStringLiteral("web.failure_repeats"), fields);
    qWarning("web failure repeats %s", qPrintable(counts.join(u' ')));
}

void WebPackageSchemeCoordinator::recordHandshake(const QString& stage, const QString& origin) const
{
    static const QRegularExpression stagePattern(QStringLiteral("\\A[a-z0-9._:-]{1,64}\\z"));
    static const QRegularExpression originPattern(QStringLiteral("\\A[a-z0-9:._/-]{1,128}\\z"));
    if (!stagePattern.match(stage).hasMatch())
        return;
    const QString kept = originPattern.match(origin).hasMatch() ? origin : QString();
    DevFileLog::record(QStringLiteral("web.handshake"),
                       {{QStringLiteral("stage"), stage}, {QStringLiteral("origin"), kept}});
}

} // namespace talvorine

#include "WebPackageSchemeCoordinator.moc"
