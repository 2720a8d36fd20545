#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

namespace talvorine {

// What a page asks the engine for, as far as the policy cares. Every kind from ServiceWorker
// upwards is refused.
enum class WebRequestKind { Navigation = 0, Subresource = 1, WebSocket = 2, ServiceWorker = 3 };

// Looks a host name up; an empty list means "no answer" (an error, nothing found or no time).
using NameResolver = std::function<QList<QHostAddress>(const QString& host)>;

// What the embedded Chromium engine may do: its flags, the top document a web placement may
// hold, and which requests a page may make. Every URL and host handed in comes from web
// content. Pure answers; only the resolver passed in (or the default one) looks anything up.
class WebSecurityPolicy {
public:
    WebSecurityPolicy() = delete;

    // Refuses flags that would weaken the engine's security; otherwise appends the required
    // flags and writes the result to QTWEBENGINE_CHROMIUM_FLAGS. Must run before any
    // application object exists.
    static bool configureChromiumSecurityEnvironment(QByteArray flags);
    static QByteArray requiredChromiumFlags();

    // How a web placement sets itself up.
    static bool usesWrapper(bool uploadedApplication);
    static QUrl initialUrl(bool uploadedApplication, const QUrl& wrapperUrl, const QUrl& childUrl);
    static QString sandboxFlags(bool allowSameOrigin);
    static bool permissionAllowed();
    static bool downloadAllowed();
    static bool popupAllowed();

    // Top documents: the trusted wrapper page, or an iframe placement's assigned origin.
    static bool allowedWrapper(const QUrl& url);
    static bool allowsIframeMainFrame(const QUrl& url, const QString& assignedOrigin);
    static bool shouldSignalIframeReady(const QUrl& url, const QString& assignedOrigin,
                                        bool alreadySignaled);

    // Whether an address, or an https URL's host, belongs to the public Internet. Numeric
    // hosts are decided without any lookup; only other names go to the resolver, and then
    // every address it gives must be public.
    static bool publicAddress(const QHostAddress& address);
    static bool publicNetworkUrl(const QUrl& url, const NameResolver& resolver);

    static bool allowedChild(const QUrl& url, const QString& assignedOrigin, bool mainFrame);
    static bool allowedRequest(const QUrl& url, WebRequestKind kind, const NameResolver& resolver);

    // The system's resolver with a time limit and a short memory of answers (TimedNameResolver).
    static NameResolver defaultResolver();
};

} // namespace talvorine
