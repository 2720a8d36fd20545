#pragma once

#include "web/WebSecurityPolicy.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <QWebEngineUrlRequestInfo>

namespace talvorine {

// What the request interceptor of one web engine profile knows of the placement it serves.
struct InterceptedPlacement {
    QString expectedOrigin;        // the top document's origin (iframe placements)
    QString selectedPackageSha256; // the one package the page may load (uploaded applications)
    bool uploadedApplication = true;
};

// The interceptor's answer for one request: pass or block, and whether it goes to the log.
struct InterceptionVerdict {
    bool allowed = false;
    bool recorded = false;
};

WebRequestKind webRequestKind(QWebEngineUrlRequestInfo::ResourceType type);

// The request rule of a placement's profile: the security policy first, then the placement's
// own top document, then the package rules. The resolver is consulted only for https and wss
// hosts that are names.
InterceptionVerdict interceptionVerdict(const InterceptedPlacement& placement, const QUrl& url,
                                        QWebEngineUrlRequestInfo::ResourceType type,
                                        const QUrl& initiator, const NameResolver& resolver);

// The QML-facing side of the web engine's boundary, one object for the whole process
// ("talvorineWebPackages"). Each web placement configures its own profile through it: the
// request interceptor always, and for an uploaded application the package scheme handler with
// its package cache. The other invokables forward the security policy's rules and write what
// the page side reports into the developer log.
class WebPackageSchemeCoordinator : public QObject {
    Q_OBJECT
    // True when the web engine may not start in this process (the shell found that at start):
    // the stages then make no web placement, since starting the engine would end the process,
    // and each web row fails as a placement whose wrapper cannot load.
    Q_PROPERTY(bool engineRefused READ engineRefused NOTIFY engineRefusedChanged)
public:
    explicit WebPackageSchemeCoordinator(QObject* parent = nullptr);

    bool engineRefused() const { return engineRefused_; }
    void setEngineRefused(bool refused);

    // False only when profile is not a QQuickWebEngineProfile; then nothing is installed.
    Q_INVOKABLE bool configure(QObject* profile, const QString& packageCacheRoot,
                               const QString& selectedPackageSha256,
                               const QString& expectedOrigin, bool uploadedApplication);
    Q_INVOKABLE bool allowsIframeMainFrame(const QUrl& url, const QString& assignedOrigin) const;
    Q_INVOKABLE bool shouldSignalIframeReady(const QUrl& url, const QString& assignedOrigin,
                                             bool alreadySignaled) const;
    Q_INVOKABLE bool allowedWrapper(const QUrl& url) const;
    // Only the stages the placement and the wrapper are known to report are recorded.
    Q_INVOKABLE void recordFailure(const QString& stage, int errorCode) const;
    // One line for the failures a placement only counted ({stage: count}, WebPlacementChannel).
    Q_INVOKABLE void recordFailureRepeats(const QVariantMap& repeats) const;
    Q_INVOKABLE void recordHandshake(const QString& stage, const QString& origin) const;

Q_SIGNALS:
    void engineRefusedChanged();

private:
    bool engineRefused_ = false;
};

} // namespace talvorine
