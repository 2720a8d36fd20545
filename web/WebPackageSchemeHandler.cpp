#include "web/WebPackageSchemeHandler.h"

#include "app/DevFileLog.h"
#include "web/ApplicationPackageCache.h"

#include <QFile>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvorine::packagescheme {

namespace {

// The resolved file opened without following a final link, kept only when the open file is
// the very file whose hash matched and has no other name: a hard link from elsewhere could be
// written through that name, out of the package's read-only tree.
int openVerified(const ResolvedPackageFile& resolved)
{
    const int fd = ::open(QFile::encodeName(resolved.path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const VerifiedFileIdentity opened = VerifiedFileIdentity::descriptor(fd);
    struct stat status {};
    if (!opened.valid || !(opened == resolved.identity) || ::fstat(fd, &status) != 0
        || status.st_nlink != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QString requestKind(const QUrl& url)
{
    return url.path(QUrl::FullyDecoded) == QLatin1String("/index.html") ? QStringLiteral("entry")
                                                                         : QStringLiteral("asset");
}

} // namespace

OpenPackageFile::~OpenPackageFile()
{
    if (fd >= 0)
        ::close(fd);
}

Handler::Handler(QObject* parent, Resolve resolve)
    : QWebEngineUrlSchemeHandler(parent),
      resolve_(resolve ? std::move(resolve) : Resolve(WebPackageScheme::resolveRequest)),
      queue_(queueCapacity)
{
}

Handler::~Handler() = default;

void Handler::requestStarted(QWebEngineUrlRequestJob* job)
{
    if (!WebPackageScheme::allowedPackageInitiator(job->initiator(), selectedPackageSha256_)) {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }
    const QPointer<QWebEngineUrlRequestJob> guarded(job);
    const QUrl url = job->requestUrl();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    pending_.insert(job, PendingRequest{guarded, cancelled});
    connect(job, &QObject::destroyed, this, [this, job, cancelled] {
        cancelled->store(true);
        const auto entry = pending_.constFind(job);
        if (entry != pending_.constEnd() && entry->cancelled == cancelled)
            pending_.erase(entry);
        queue_.discardCancelled();
    });

    auto work = [this, resolve = resolve_, root = packageCacheRoot_,
                 sha256 = selectedPackageSha256_, url, method = job->requestMethod(),
                 cache = cache_, cancelled, guarded]() -> std::function<void()> {
        std::optional<ResolvedPackageFile> resolved =
            resolve(root, sha256, url, method, cache.get(), cancelled.get());
        auto file = std::make_shared<OpenPackageFile>();
        if (resolved)
            file->fd = openVerified(*resolved);
        return [this, guarded, resolved = std::move(resolved), file, kind = requestKind(url)] {
            reply(guarded, resolved, *file, kind);
        };
    };
    if (!queue_.submit(cancelled, std::move(work))) {
        pending_.remove(job);
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
    }
}

void Handler::reply(const QPointer<QWebEngineUrlRequestJob>& job,
                    const std::optional<ResolvedPackageFile>& resolved,
                    const OpenPackageFile& file, const QString& kind)
{
    if (!job)
        return;
    pending_.remove(job.data());
    const bool opened = resolved && file.fd >= 0;
    DevFileLog::record(QStringLiteral("web.package"),
                       {{QStringLiteral("kind"), kind}, {QStringLiteral("resolved"), opened}});
    // The file may have changed in place since the worker checked it.
    const VerifiedFileIdentity now = opened ? VerifiedFileIdentity::descriptor(file.fd)
                                            : VerifiedFileIdentity();
    if (!now.valid || !(now == resolved->identity)) {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }

    // The engine streams from its own duplicate, which lives exactly as long as the job.
    auto* device = new QFile(job.data());
    const int duplicate = ::fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0 || !device->open(duplicate, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (duplicate >= 0)
            ::close(duplicate);
        delete device;
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    job->setAdditionalResponseHeaders({
        {QByteArrayLiteral("Cache-Control"),
         QByteArrayLiteral("private, max-age=31536000, immutable")},
        {QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")},
        {QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer")},
    });
#endif
    job->reply(resolved->contentType, device);
}

bool Handler::select(const QString& packageCacheRoot, const QString& sha256)
{
    if (packageCacheRoot == packageCacheRoot_ && sha256 == selectedPackageSha256_)
        return false;
    // Raise every flag before anything else, so a job already running sees it.
    const QHash<QWebEngineUrlRequestJob*, PendingRequest> abandoned = std::exchange(pending_, {});
    for (const PendingRequest& request : abandoned)
        request.cancelled->store(true);
    queue_.discardCancelled();
    for (const PendingRequest& request : abandoned) {
        if (request.job)
            request.job->fail(QWebEngineUrlRequestJob::RequestAborted);
    }
    packageCacheRoot_ = packageCacheRoot;
    selectedPackageSha256_ = sha256;
    cache_ = std::make_shared<ApplicationPackageCache>(packageCacheRoot_);
    return true;
}

} // namespace talvorine::packagescheme
