#pragma once

#include "storage/ContentCache.h"
#include "web/WebPackageScheme.h"

#include <QHash>
#include <QPointer>
#include <QString>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlSchemeHandler>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace talvorine {

class ApplicationPackageCache;

namespace packagescheme {

// One descriptor of a verified package file, handed from the worker that opened it to the
// reply on the GUI thread; closed when the last holder lets go.
struct OpenPackageFile {
    int fd = -1;

    OpenPackageFile() = default;
    OpenPackageFile(const OpenPackageFile&) = delete;
    OpenPackageFile& operator=(const OpenPackageFile&) = delete;
    ~OpenPackageFile();
};

// Answers the web engine's requests under the package scheme for one profile, from the one
// package the coordinator selected. The origin check runs on the GUI thread; resolution,
// verification and opening run as jobs of the handler's own serial queue; the reply, back on
// the GUI thread, re-checks the opened file by identity and streams a duplicate of its
// descriptor, so the GUI thread never looks a path up nor hashes anything.
class Handler : public QWebEngineUrlSchemeHandler {
    Q_OBJECT
public:
    static constexpr int queueCapacity = 5000;

    struct PendingRequest {
        QPointer<QWebEngineUrlRequestJob> job;
        // Shared with the request's queue job: setting it stops both.
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    // Turns a request into a verified file; WebPackageScheme::resolveRequest unless a test
    // needs to see or hold the file work. Called on a pool thread.
    using Resolve = std::function<std::optional<ResolvedPackageFile>(
        const QString& cacheRoot, const QString& sha256, const QUrl& url,
        const QByteArray& method, ApplicationPackageCache* cache,
        const std::atomic<bool>* cancelled)>;

    explicit Handler(QObject* parent = nullptr, Resolve resolve = {});
    ~Handler() override;

    void requestStarted(QWebEngineUrlRequestJob* job) override;

    // Serves the package sha256 from the cache under packageCacheRoot from now on. When either
    // differs from what is served, the pending requests fail as aborted and a new cache object
    // is opened; returns whether that happened.
    bool select(const QString& packageCacheRoot, const QString& sha256);

    QString packageCacheRoot() const { return packageCacheRoot_; }
    QString selectedPackageSha256() const { return selectedPackageSha256_; }
    const std::shared_ptr<ApplicationPackageCache>& cache() const { return cache_; }
    int pendingCount() const { return int(pending_.size()); }
    CacheIoQueue& queue() { return queue_; }

private:
    void reply(const QPointer<QWebEngineUrlRequestJob>& job,
               const std::optional<ResolvedPackageFile>& resolved, const OpenPackageFile& file,
               const QString& kind);

    const Resolve resolve_;
    // Destroyed in reverse: the queue first, which raises every job's flag.
    QString packageCacheRoot_;
    QString selectedPackageSha256_;
    std::shared_ptr<ApplicationPackageCache> cache_;
    QHash<QWebEngineUrlRequestJob*, PendingRequest> pending_;
    CacheIoQueue queue_;
};

} // namespace packagescheme

} // namespace talvorine
