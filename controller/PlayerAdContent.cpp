// The ad creative's road to disk: looked up in the ad cache, or fetched from the service's
// content route into a temporary file, checked for its length as it lands, and committed with
// its digest verified into the ad cache on the ad I/O queue. Also the ad cache's pruning and the
// one exit of every failed ad preparation.

#include "controller/PlayerController.h"

#include "ads/AdPlanner.h"
#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "storage/Saturating.h"
#include "storage/StorageFiles.h"
#include "storage/VolumeSpace.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>

namespace talvorine {

namespace {

using State = AdOccurrence::State;

// Only what the occurrence still waits for counts: a decision replaced or given up meanwhile
// must not be moved on by an answer that belonged to it.
bool awaitsCreative(const AdOccurrence* occurrence, const AdOccurrence::Resolved& decision)
{
    return occurrence && occurrence->state == State::Downloading && occurrence->resolved
        && occurrence->resolved->sha256 == decision.sha256
        && occurrence->resolved->bytes == decision.bytes;
}

// What has come of a creative's download so far.
struct Landing {
    qint64 received = 0;
    bool writeFailed = false;
};

// A creative lands in a temporary file first and is then copied into the ad cache: the volume
// holds both at once. A volume that cannot be measured is not refused.
bool volumeTakes(const QString& directory, qint64 bytes)
{
    const VolumeSpace space = measureVolumeOf(directory);
    return space.total <= 0 || space.available >= saturating::add(bytes, bytes);
}

} // namespace

AdOccurrence* PlayerController::preparingOccurrence(const AdOccurrence::Resolved& decision)
{
    AdOccurrence* occurrence = occurrenceForDecisionId(decision.decisionId);
    return awaitsCreative(occurrence, decision) ? occurrence : nullptr;
}

// The look-up runs on the ad I/O queue: the first look-up of a creative cached before a
// restart hashes the whole file, which on the GUI thread would stall the picture.
void PlayerController::downloadAdContent(AdOccurrence& occurrence)
{
    const AdOccurrence::Resolved decision = occurrence.resolved.value_or(AdOccurrence::Resolved());
    if (decision.decisionId.isEmpty())
        return;
    // The digest names the cache object; one that cannot be a digest is never fetched.
    if (!StorageFiles::validDigest(decision.sha256)) {
        retireAdPreparation(decision.decisionId, QStringLiteral("cache_declaration_invalid"));
        return;
    }
    const std::shared_ptr<ContentCache> cache = adCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = adCancel_;
    const QString directory = stateDirectory_;
    const bool queued = adIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const std::optional<QString> path =
            cache->readyPath(decision.sha256, decision.bytes, cancel.get());
        const bool room = path || volumeTakes(directory, decision.bytes);
        return [this, decision, found = path.has_value(), room] {
            AdOccurrence* waiting = preparingOccurrence(decision);
            if (!waiting)
                return;
            if (!room) {
                retireAdPreparation(decision.decisionId, QStringLiteral("ad_storage_insufficient"));
                return;
            }
            if (!found) {
                fetchAdContent(decision);
                return;
            }
            setAdState(*waiting, State::Ready);
            prepareAdPresentation(*waiting);
        };
    });
    if (!queued)
        retireAdPreparation(decision.decisionId, QStringLiteral("content_io_busy"));
}

void PlayerController::fetchAdContent(const AdOccurrence::Resolved& decision)
{
    // Refused before any file or request; a content path on another port or with an encoded
    // separator would otherwise fail later as an expired session.
    const std::optional<QUrl> url = AdPlanner::contentUrl(origin_, decision.contentPath);
    if (!url) {
        retireAdPreparation(decision.decisionId, QStringLiteral("ad_content_path_invalid"));
        return;
    }
    const QString downloads = QDir(stateDirectory_).filePath(QStringLiteral("downloads"));
    StorageFiles::ensurePrivateDirectory(downloads);
    auto* file = new QTemporaryFile(QDir(downloads).filePath(QStringLiteral("ad-content-XXXXXX")),
                                    this);
    file->setAutoRemove(true);
    if (!file->open()) {
        file->deleteLater();
        retireAdPreparation(decision.decisionId, QStringLiteral("ad_download_open_failed"));
        return;
    }
    QNetworkReply* reply = getContent(*url, 0, {});
    if (!reply) {
        file->deleteLater();
        retryDeviceSession();
        retireAdPreparation(decision.decisionId, QStringLiteral("runtime_session_expired"));
        return;
    }
    // The file lives and dies with the reply.
    file->setParent(reply);
    adReplies_.insert(reply, decision.decisionId);
    auto landed = std::make_shared<Landing>();
    const qint64 expected = decision.bytes;
    const auto take = [reply, file, landed, expected] {
        const QByteArray chunk = reply->readAll();
        landed->received += chunk.size();
        if (landed->received > expected) {
            reply->abort();
        } else if (!chunk.isEmpty() && file->write(chunk) != chunk.size()) {
            landed->writeFailed = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::readyRead, this, take);
    connect(reply, &QNetworkReply::finished, this, [this, reply, decision, landed, take, file] {
        adReplies_.remove(reply);
        take();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool fetched = status >= 200 && status <= 299
            && reply->error() == QNetworkReply::NoError && landed->received == decision.bytes;
        const bool written = !landed->writeFailed && (!fetched || file->flush());
        const bool good = fetched && written;
        // The commit job gets its own descriptor of the file, opened here: the file's name goes
        // with the reply, while the queue may run a prune first.
        auto source = std::make_shared<StorageFiles::UniqueFd>(
            good ? StorageFiles::openRegularForRead(file->fileName()) : StorageFiles::UniqueFd());
        reply->deleteLater();
        if (status == 401) {
            retryDeviceSession();
            retireAdPreparation(decision.decisionId, QStringLiteral("runtime_session_expired"));
            return;
        }
        if (!good) {
            logPlayback("ad_content_download_failed",
                        {{QStringLiteral("decision_id"), decision.decisionId},
                         {QStringLiteral("status"), QString::number(status)}});
            const QString code = written ? QStringLiteral("ad_download_failed")
                                         : QStringLiteral("ad_download_write_failed");
            retireAdPreparation(decision.decisionId, code);
            return;
        }
        commitAdContent(source, decision);
    });
}

void PlayerController::cancelAdDownloads()
{
    for (QNetworkReply* reply : std::exchange(adReplies_, {}).keys()) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

// A decision that will not be played is not fetched to the end, nor committed.
void PlayerController::cancelAdDownload(const QString& decisionId)
{
    for (auto reply = adReplies_.begin(); reply != adReplies_.end();) {
        if (reply.value() != decisionId) {
            ++reply;
            continue;
        }
        reply.key()->disconnect(this);
        reply.key()->abort();
        reply.key()->deleteLater();
        reply = adReplies_.erase(reply);
    }
}

void PlayerController::commitAdContent(const std::shared_ptr<StorageFiles::UniqueFd>& source,
                                       const AdOccurrence::Resolved& decision)
{
    const std::shared_ptr<ContentCache> cache = adCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = adCancel_;
    const bool queued = adIo_.submit(cancel, [=, this]() -> std::function<void()> {
        QString error;
        std::optional<QString> path;
        QFile file;
        if (source->valid()
            && file.open(source->get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
            path = cache->commitVerified(file, decision.sha256, decision.bytes, &error,
                                         cancel.get());
            if (path)
                path = cache->readyPath(decision.sha256, decision.bytes, cancel.get());
        }
        return [this, decision, found = path.has_value(), error] {
            AdOccurrence* waiting = preparingOccurrence(decision);
            if (!waiting)
                return;
            if (!found) {
                retireAdPreparation(decision.decisionId,
                                    error.isEmpty() ? QStringLiteral("ad_verify_failed") : error);
                return;
            }
            adLocalWriteFaults_ = 0;
            setAdState(*waiting, State::Ready);
            prepareAdPresentation(*waiting);
        };
    });
    if (!queued)
        retireAdPreparation(decision.decisionId, QStringLiteral("content_io_busy"));
}

void PlayerController::retireAdPreparation(const QString& decisionId, const QString& code)
{
    AdOccurrence* occurrence = occurrenceForDecisionId(decisionId);
    if (!occurrence
        || (occurrence->state != State::Downloading && occurrence->state != State::Ready))
        return;
    logPlayback("ad_preparation_failed", {{QStringLiteral("decision_id"), decisionId},
                                          {QStringLiteral("code"), code},
                                          {QStringLiteral("page_id"), occurrence->pageId}});
    const QString pageId = occurrence->pageId;
    releaseUnplayedAdReservation(*occurrence);
    setAdState(*occurrence, State::Retired);
    // Filled again at once, the page would fetch and fail again at every planner tick: held as
    // after a failed resolve, longer while the failures repeat, the rotation passes it over.
    if (AdPlanner::localWriteFault(code))
        holdAdPage(pageId, AdPlanner::localFaultHoldMs(++adLocalWriteFaults_));
    if (candidate_ && candidate_->adPresentation && candidate_->adDecisionId == decisionId)
        failCandidate(code);
}

// At start: the temporaries of commits and access stamps that a crash interrupted would
// otherwise pile up in the ad cache, as in the content caches.
void PlayerController::discardAdCacheLeftovers()
{
    adCache_->discardExpiredPartials(ContentCache::partialMaxAgeMs);
}

void PlayerController::pruneAdCache()
{
    const QSet<QString> keep = AdPlanner::cacheKeepSet(adOccurrences_, adVisitMediaDigest_);
    const std::shared_ptr<ContentCache> cache = adCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = adCancel_;
    const bool queued = adIo_.submit(cancel, [=, this]() -> std::function<void()> {
        QString error;
        cache->prune(AdPlanner::cacheMaxBytes, AdPlanner::cacheMinFreeBytes, keep, &error,
                     cancel.get(), {});
        return [this, error] {
            if (!error.isEmpty())
                latchOverlayFailure(error);
        };
    });
    if (!queued)
        DevFileLog::record(QStringLiteral("ad.cache_busy"), QJsonObject());
}

} // namespace talvorine
