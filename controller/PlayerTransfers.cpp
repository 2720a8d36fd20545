// Media preparation and transfers: each media object of the candidate is looked up in the
// verified content cache (room is made for it first), bound into the idle stage when present,
// or downloaded with resume, verified and committed on the content I/O queue. The same
// transfer serves the background replacement fetch.

#include "controller/PlayerTransfers.h"

#include "app/DevFileLog.h"
#include "app/DevLogNetworkAccessManager.h"
#include "app/PlatformEnvironment.h"
#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPackages.h"
#include "runtime/RuntimeCompat.h"
#include "runtime/RuntimeTransport.h"
#include "runtime/ServiceReach.h"
#include "storage/Saturating.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace talvorine {

TransferHead judgeTransferHead(const TransferHeadFacts& head)
{
    const bool success = head.status >= 200 && head.status <= 299;
    if (success && ServiceReach::htmlType(head.contentType))
        return TransferHead::RejectPage;
    const QByteArray encoding = head.contentEncoding.trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return TransferHead::Reject;
    if (head.status == 206) {
        if (head.resumeOffset <= 0)
            return TransferHead::Reject;
        const QByteArray range = head.contentRange.trimmed();
        const QByteArray prefix = "bytes " + QByteArray::number(head.resumeOffset) + '-';
        const QByteArray suffix = '/' + QByteArray::number(head.totalBytes);
        if (!range.startsWith(prefix) || !range.endsWith(suffix))
            return TransferHead::RejectMismatch;
        // The last byte position must close the range exactly: "bytes N-M/T" with M = T - 1.
        const QByteArray last = range.mid(prefix.size(),
                                          range.size() - prefix.size() - suffix.size());
        bool lastOk = false;
        if (last.toLongLong(&lastOk) != head.totalBytes - 1 || !lastOk)
            return TransferHead::RejectMismatch;
        if (head.contentLength && *head.contentLength != head.totalBytes - head.resumeOffset)
            return TransferHead::RejectMismatch;
        return TransferHead::Accept;
    }
    if (head.status == 416)
        return TransferHead::RejectDropPartial;
    if (!success)
        return TransferHead::Reject;
    // A whole body in answer to a range would cost the partial: not for one that says it is
    // not the object.
    if (head.resumeOffset > 0 && head.contentLength && *head.contentLength != head.totalBytes)
        return TransferHead::RejectMismatch;
    return head.resumeOffset > 0 ? TransferHead::RestartWhole : TransferHead::Accept;
}

bool transferMismatch(const MediaDownloadState& state, QNetworkReply::NetworkError error,
                      qint64 totalBytes)
{
    const bool endedShort = error == QNetworkReply::NoError && state.accepted && !state.rejected
                            && state.resumeOffset + state.receivedBytes < totalBytes;
    return state.mismatch || endedShort;
}

TransferFailure classifyTransferFailure(int statusCode, QNetworkReply::NetworkError error,
                                        bool rejectedByPlayer)
{
    if (statusCode == 429 || statusCode == 503)
        return TransferFailure::Throttled;
    if (statusCode == 0)
        return TransferFailure::Unreachable;
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
        return TransferFailure::Unreachable;
    case QNetworkReply::OperationCanceledError:
        return rejectedByPlayer ? TransferFailure::Hard : TransferFailure::Unreachable;
    default:
        return TransferFailure::Hard;
    }
}

bool originAnsweredError(int statusCode)
{
    return statusCode != 0 && (statusCode < 200 || statusCode > 299) && statusCode != 429
        && statusCode != 503;
}

bool originRefused(int statusCode)
{
    return statusCode >= 400 && statusCode <= 499 && statusCode != 408 && statusCode != 429;
}

TransferFailure classifyTransferFailure(const MediaDownloadState& state,
                                        QNetworkReply::NetworkError error)
{
    return state.pageInPlace ? TransferFailure::Unreachable
                             : classifyTransferFailure(state.statusCode, error, state.rejected);
}

qint64 honouredRetryAfterMs(qint64 retryAfterMs)
{
    return retryAfterMs < 0 ? -1 : std::clamp<qint64>(retryAfterMs, 1000, 900000);
}

StorageTransferLedger::Reason transferLedgerReason(bool evicted, bool repair)
{
    if (evicted)
        return StorageTransferLedger::Refetch;
    return repair ? StorageTransferLedger::Repair : StorageTransferLedger::New;
}

QString transferFailureCode(bool mismatch)
{
    return mismatch ? QStringLiteral("cache_integrity_mismatch")
                    : QStringLiteral("content_download_failed");
}

bool downloadMayRecover(const QString& code)
{
    return code == QLatin1String("content_download_failed")
        || code == QLatin1String("application_package_download_failed");
}

bool failedForWantOfObject(const QString& code)
{
    static const QSet<QString> objectCodes{QStringLiteral("content_not_cached"),
                                           QStringLiteral("content_download_open_failed"),
                                           QStringLiteral("cache_integrity_mismatch"),
                                           QStringLiteral("package_archive_size_mismatch")};
    return downloadMayRecover(code) || objectCodes.contains(code);
}

qint64 clampDownloadBackoffMs(qint64 backoffMs)
{
    return std::clamp<qint64>(backoffMs, 1, 900000);
}

qint64 repairRunDelayMs(int attempt)
{
    const qint64 base = std::min<qint64>(qint64(30000) << std::clamp(attempt, 0, 4), 300000);
    return RuntimeCompat::uniformMs(base * 3 / 4, base);
}

} // namespace talvorine

// --- The controller's media preparation and transfers -------------------------------------

namespace talvorine {

namespace {

constexpr int candidateDeadlineMs = 60000;
// Bytes of one download read while its write is in flight, at most.
constexpr qint64 waitingBytesBound = 16 * RuntimeTransport::replyReadBufferBytes;
// Free space kept beyond the bytes still to download, so a download never fills the volume.
constexpr qint64 downloadHeadroomBytes = 268435456;

// The next delay of a back-off that counts its rounds in attempt.
qint64 takeBackoffMs(int& attempt)
{
    return clampDownloadBackoffMs(RuntimeCompat::retryBackoffMs(attempt++, -1));
}

bool ioFailure(const QString& code)
{
    return code == QLatin1String("cache_open_failed") || code == QLatin1String("cache_write_failed")
        || code == QLatin1String("cache_directory_create_failed")
        || code == QLatin1String("cache_commit_failed");
}

std::optional<qint64> contentLengthOf(const QNetworkReply& reply)
{
    if (!reply.hasRawHeader("Content-Length"))
        return std::nullopt;
    bool ok = false;
    const qint64 length = reply.rawHeader("Content-Length").trimmed().toLongLong(&ok);
    // An unreadable length can never match the one expected.
    return ok && length >= 0 ? length : -1;
}

} // namespace

void stopReply(QNetworkReply* reply)
{
    if (reply->isRunning() && reply->error() == QNetworkReply::NoError)
        reply->abort();
}

qint64 readDownload(QNetworkReply* reply, MediaDownloadState& state, qint64 totalBytes,
                    const PartialFile& partial)
{
    const auto reject = [&] {
        state.rejected = true;
        stopReply(reply);
        return 0;
    };
    if (!state.accepted) {
        if (state.rejected)
            return 0;
        state.statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const TransferHeadFacts head{state.statusCode,
                                     state.resumeOffset,
                                     totalBytes,
                                     reply->rawHeader("Content-Range"),
                                     contentLengthOf(*reply),
                                     reply->rawHeader("Content-Encoding"),
                                     reply->rawHeader("Content-Type")};
        switch (judgeTransferHead(head)) {
        case TransferHead::Accept:
            state.accepted = true;
            break;
        case TransferHead::RestartWhole:
            if (!partial.reset())
                return reject();
            state.resumeOffset = 0;
            state.accepted = true;
            break;
        case TransferHead::RejectDropPartial:
            partial.reset();
            return reject();
        case TransferHead::RejectMismatch:
            state.mismatch = true;
            return reject();
        case TransferHead::RejectPage:
            state.pageInPlace = true;
            return reject();
        case TransferHead::Reject:
            return reject();
        }
    }
    if (state.rejected)
        return 0;
    const QByteArray bytes = reply->readAll(); // at most the read buffer
    if (bytes.isEmpty())
        return 0;
    state.receivedBytes += bytes.size();
    if (state.resumeOffset + state.receivedBytes > totalBytes) {
        // Longer than declared: whatever came before is suspect too.
        state.mismatch = true;
        partial.reset();
        reject();
    } else if (!partial.append(bytes)) {
        reject(); // what is written stays for a later resume
    }
    return bytes.size();
}

// One media request: what its handlers need beside the download itself.
struct PlayerController::MediaTransfer : ContentDownload {
    MediaItem item;
    quint64 generation = 0;
    bool replacement = false;
    bool rangeRestarted = false;
    StorageTransferLedger::Reason reason = StorageTransferLedger::New;
};

// --- Content requests and their bytes --------------------------------------------------------

// Every content download is asked for here, whoever needs it: from the origin itself, with the
// session, never from an HTTP cache, in "identity" bytes so that offsets in the body are offsets
// in the file, and after the resumeOffset bytes already in the partial file only while the object
// still has that digest (its entity tag). The mark spares it the API watchdog wherever under the
// origin it lives; the transport sends it as it sends its own. None when the transport cannot
// authorise it.
QNetworkReply* PlayerController::getContent(const QUrl& url, qint64 resumeOffset,
                                            const QString& digest)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    if (!transport_.authorizeRuntimeRequest(request))
        return nullptr;
    request.setAttribute(DevLogNetworkAccessManager::contentDownloadAttribute, true);
    request.setRawHeader("Accept-Encoding", "identity");
    if (resumeOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeOffset) + '-');
        request.setRawHeader("If-Range", '"' + digest.toLatin1() + '"');
    }
    QNetworkReply* reply = transport_.getContent(request);
    if (reply)
        markDownloadDigest(*reply, digest);
    return reply;
}

void PlayerController::startContentDownload(const std::shared_ptr<ContentDownload>& download,
                                            QNetworkReply* reply)
{
    download->reply = reply;
    connect(reply, &QNetworkReply::readyRead, this,
            [this, download] { pumpContentDownload(download); });
    connect(reply, &QNetworkReply::finished, this, [this, download] {
        download->replyFinished = true;
        pumpContentDownload(download);
    });
}

// Reads on while less than waitingBytesBound waits for the write in flight, and concludes the
// download once the reply has finished and every byte has landed.
void PlayerController::pumpContentDownload(const std::shared_ptr<ContentDownload>& download)
{
    const auto live = [&] { return download->reply && !download->concluded; };
    if (!live())
        return;
    if (!download->current()) {
        stopReply(download->reply);
    } else if (download->waitingBytes < waitingBytesBound) {
        const PartialFile partial{[&] {
                                      // What waits came before and goes with the file.
                                      download->waiting.clear();
                                      download->waitingBytes = 0;
                                      download->partialDropped = true;
                                      return true;
                                  },
                                  [&](const QByteArray& bytes) {
                                      download->waiting.append(bytes);
                                      download->waitingBytes += bytes.size();
                                      return true; // a failed write ends the download later
                                  }};
        if (readDownload(download->reply, download->state, download->totalBytes, partial) > 0)
            download->progressed();
    }
    writeContentDownload(download);
    // A rejection aborts the reply, whose finished handler may have concluded it meanwhile.
    if (live() && !download->writing && download->replyFinished) {
        download->concluded = true;
        download->finished();
    }
}

// A write waiting for write-back would stall the picture: writes run on the content I/O queue,
// whose order also keeps them ahead of a commit and of any later download's start. One is in
// flight at a time, and what is read meanwhile goes with the next: when the disk and the hash
// are slower than the network, writes grow instead of queueing up one per read.
void PlayerController::writeContentDownload(const std::shared_ptr<ContentDownload>& download)
{
    if (download->writing || (download->waiting.isEmpty() && !download->partialDropped))
        return;
    download->writing = true;
    download->waitingBytes = 0;
    const bool queued = contentIo_.submit(
        download->cancel, [this, download, partial = download->partial,
                           discard = std::exchange(download->partialDropped, false),
                           chunks = std::exchange(download->waiting, {})]() {
            // A dropped partial with nothing after it is not created again.
            const bool written = (!discard || partial->discard())
                                 && (chunks.isEmpty()
                                     || partial->append(QList<QByteArrayView>(chunks.cbegin(),
                                                                              chunks.cend())));
            const QString writeError = written ? QString() : partial->writeError();
            const int writeErrno = written ? 0 : partial->writeErrno();
            return std::function<void()>([this, download, written, writeError, writeErrno,
                                          wrote = written && !chunks.isEmpty(),
                                          sha256 = partial->sha256()] {
                download->writing = false;
                if (!writeError.isEmpty())
                    DevFileLog::record(QStringLiteral("content.write_failed"),
                                       {{QStringLiteral("sha256"), sha256},
                                        {QStringLiteral("error"), writeError}});
                if (wrote)
                    writeFaultsSaid_.clear();
                else if (writeErrno != 0 && !writeWantsRoom(writeErrno))
                    tellWriteFault(writeErrno, writeError);
                if (!written) {
                    // What is written stays for a later resume; what waits is never written.
                    download->state.rejected = true;
                    download->waiting.clear();
                    download->waitingBytes = 0;
                    if (download->reply)
                        stopReply(download->reply);
                }
                pumpContentDownload(download);
            });
        });
    if (queued)
        return;
    download->writing = false;
    download->state.rejected = true;
    stopReply(download->reply);
}

void PlayerController::noteContentProgress(bool replacement, quint64 generation)
{
    if (replacement)
        replacementIdleTimer_.start(replacementIdleMs);
    else
        noteDownloadProgress(generation);
}

// --- Media ---------------------------------------------------------------------------------

bool PlayerController::candidateOwns(quint64 generation) const
{
    return candidate_ && candidate_->generation == generation;
}

bool PlayerController::replacementOwns(quint64 generation) const
{
    return replacement_ && replacement_->generation == generation;
}

bool PlayerController::transferCurrent(const MediaTransfer& transfer) const
{
    if (!transfer.cancel || transfer.cancel->load(std::memory_order_acquire))
        return false;
    return transfer.replacement ? replacementOwns(transfer.generation)
                                : candidateOwns(transfer.generation);
}

void PlayerController::prepareMedia(const MediaItem& item, quint64 generation)
{
    if (!candidateOwns(generation))
        return;
    // Nothing is looked up or made room for: what was given up never landed.
    if (const QString refusal = fetchRefusal(item.sha256); !refusal.isEmpty()) {
        skipCandidateMediaAndContinue(item.sha256, refusal, generation);
        return;
    }
    const QSet<QString> onGlass = activeContentKeys_ | outgoingContentKeys_;
    const QSet<QString>& planned = candidate_->plannedMedia;
    // What a running replacement has landed stays too: it no longer queues those objects.
    const QSet<QString> keep = onGlass | planned | soundtrackHashes() | replacementKeepKeys();
    const QSet<QString> exempt = onGlass - planned;
    const bool retained = retainedRestoreActive_;
    const bool onCandidatePage = retained && candidatePageShows(item.sha256);

    const std::shared_ptr<std::atomic<bool>> cancel = candidateCancel_;
    const std::shared_ptr<ContentCache> cache = contentCache_;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const std::optional<QString> path = cache->readyPath(item.sha256, item.bytes, cancel.get());
        QString pruneError;
        if (!path && !retained && !cancel->load(std::memory_order_acquire)) {
            const qint64 missing =
                std::max<qint64>(0, item.bytes - cache->resumeOffset(item.sha256, item.bytes));
            const qint64 target = saturating::add(downloadHeadroomBytes, missing);
            if (!cache->prune(std::numeric_limits<qint64>::max(), target, keep, &pruneError,
                              cancel.get(), exempt)
                && pruneError.isEmpty())
                pruneError = QStringLiteral("content_cache_prune_failed");
        }
        return [this, item, generation, path, pruneError, retained, onCandidatePage] {
            if (!candidateOwns(generation))
                return;
            if (!pruneError.isEmpty()) {
                failCandidate(pruneError);
            } else if (path) {
                if (!bindReadyMedia(item.sha256, *path))
                    return;
                --candidate_->pendingAssets;
                prepareNextAsset(generation);
            } else if (!retained) {
                // An origin left alone for a while behind a page on glass is not asked, nor
                // waited for: the object stays away from this candidate like a failed one.
                const qint64 until = unreachableUntil_.value(item.sha256, 0);
                if (clock_->monotonicMs() < until && activeSlot_ >= 0)
                    skipCandidateMediaAndContinue(
                        item.sha256, QStringLiteral("content_download_failed"), generation);
                else
                    transferMedia(item, generation, false);
            } else if (onCandidatePage) {
                failCandidate(QStringLiteral("content_not_cached"));
            } else {
                // A restore never fetches: the object of another stored page waits for repair.
                --candidate_->pendingAssets;
                prepareNextAsset(generation);
            }
        };
    });
    if (!queued)
        failCandidate(QStringLiteral("content_io_busy"));
}

bool PlayerController::bindReadyMedia(const QString& sha256, const QString& path)
{
    if (!candidate_)
        return false;
    const QUrl url = QUrl::fromLocalFile(path);
    const Page* page = candidatePage();
    if (!page) {
        failCandidate(QStringLiteral("layout_not_ready"));
        return false;
    }
    const quint64 generation = candidate_->generation;
    const int slot = candidate_->slot;
    // Copies: binding emits model signals whose handlers may replace the candidate.
    const QString pageId = page->id;
    const QList<Primitive> primitives = page->primitives;
    for (const Primitive& primitive : primitives) {
        if (!isMediaKind(primitive.kind))
            continue;
        const QList<MediaItem> items = mediaItems(primitive);
        const int visible = visibleMediaIndex(pageId, primitive);
        if (visible < 0 || visible >= items.size() || items.at(visible).sha256 != sha256)
            continue;
        candidate_->mediaUrls.insert(primitive.id, url);
        const bool bound = modelForSlot(slot)->bindVerifiedMediaFile(primitive.id, url);
        if (!candidateOwns(generation))
            return false;
        if (!bound) {
            failCandidate(QStringLiteral("content_bind_failed"));
            return false;
        }
    }
    return true;
}

void PlayerController::downloadMedia(const MediaItem& item, quint64 generation)
{
    transferMedia(item, generation, false);
}

void PlayerController::downloadReplacementMedia(const MediaItem& item, quint64 generation)
{
    transferMedia(item, generation, false);
}

void PlayerController::transferMedia(const MediaItem& item, quint64 generation,
                                     bool rangeRestarted)
{
    const bool replacement = replacementOwns(generation);
    if (!replacement && !candidateOwns(generation))
        return;
    auto transfer = std::make_shared<MediaTransfer>();
    transfer->item = item;
    transfer->generation = generation;
    transfer->replacement = replacement;
    transfer->rangeRestarted = rangeRestarted;
    transfer->cancel = replacement ? replacementCancel_ : candidateCancel_;

    // The partial is taken over on the I/O queue, its bytes hashed, behind every append submitted
    // before: an append of an earlier transfer of the same object has landed or was dropped by
    // then. Until the request is made the replacement pump counts as busy, so it starts no second
    // transfer.
    if (replacement)
        replacement_->busy = true;
    const std::shared_ptr<ContentCache> cache = contentCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = transfer->cancel;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        std::shared_ptr<PartialDownload> partial = cache->openPartial(
            item.sha256, item.bytes, ContentCache::PartialStart::Resume, cancel.get());
        const qint64 offset = partial->size();
        const bool repair = QFileInfo::exists(cache->objectPath(item.sha256));
        return [this, transfer, partial = std::move(partial), offset, repair] {
            transfer->partial = partial;
            requestMediaTransfer(transfer, offset, repair);
        };
    });
    if (!queued)
        transferIoBusy(transfer->replacement, transfer->generation);
}

void PlayerController::requestMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer,
                                            qint64 resumeOffset, bool repair)
{
    if (!transferCurrent(*transfer))
        return;
    const MediaItem& item = transfer->item;
    const quint64 generation = transfer->generation;
    const bool replacement = transfer->replacement;
    if (replacement)
        replacement_->busy = false;
    transfer->state.resumeOffset = resumeOffset;
    transfer->reason = transferReason(item.sha256, repair);

    QNetworkReply* reply = getContent(origin_.resolved(QUrl(item.src)), resumeOffset, item.sha256);
    if (!reply) {
        downloadSessionRefused(replacement, generation);
        return;
    }
    QSet<QNetworkReply*>& replies = replacement ? replacementReplies_ : candidateReplies_;
    replies.insert(reply);
    if (replacement)
        replacementIdleTimer_.start(replacementIdleMs);
    else if (!(activeSlot_ >= 0 && candidate_->revisionChange) && !candidateDeadlineTimer_.isActive())
        candidateDeadlineTimer_.start(candidateDeadlineMs);

    MediaTransfer* const t = transfer.get();
    t->totalBytes = item.bytes;
    // Aborted replies leave their set: an append landing afterwards reads no more.
    t->current = [this, t, &replies] { return replies.contains(t->reply) && transferCurrent(*t); };
    t->progressed = [this, t] { noteContentProgress(t->replacement, t->generation); };
    t->finished = [this, weak = std::weak_ptr<MediaTransfer>(transfer)] {
        finishMediaTransfer(weak.lock());
    };
    startContentDownload(transfer, reply);
}

void PlayerController::finishMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer)
{
    QNetworkReply* reply = transfer->reply;
    const MediaItem& item = transfer->item;
    if (transfer->replacement) {
        replacementReplies_.remove(reply);
        if (replacementReplies_.isEmpty())
            replacementIdleTimer_.stop();
    } else {
        candidateReplies_.remove(reply);
    }

    const MediaDownloadState& state = transfer->state;
    const QNetworkReply::NetworkError networkError = reply->error();
    const bool ok = networkError == QNetworkReply::NoError && !state.rejected;
    const bool success = ok && state.statusCode >= 200 && state.statusCode <= 299
                         && state.resumeOffset + state.receivedBytes == item.bytes;
    if (!success) {
        // Bytes kept in the partial file will be resumed; counted as failed only when dropped.
        const bool kept = QFileInfo::exists(contentCache_->partialPath(item.sha256));
        noteTransfer(item.sha256, kept ? transfer->reason : StorageTransferLedger::Failed,
                     state.receivedBytes);
        transfer->state.mismatch = transferMismatch(state, networkError, item.bytes);
    }
    const TransferFailure failure = classifyTransferFailure(state, networkError);
    const qint64 askedMs = RuntimeCompat::retryAfterMs(
        reply->rawHeader("Retry-After"), reply->rawHeader("Date"),
        QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC));
    const QString errorText = reply->errorString();
    reply->deleteLater();
    if (!transferCurrent(*transfer))
        return;

    const quint64 generation = transfer->generation;
    if (state.statusCode == 416 && !transfer->rangeRestarted) {
        contentCache_->resetPartial(item.sha256);
        QTimer::singleShot(0, this, [this, item, generation] {
            if (replacementOwns(generation) || candidateOwns(generation))
                transferMedia(item, generation, true);
        });
        return;
    }
    if (state.statusCode == 401) {
        mintIdempotencyKey_.clear();
        downloadSessionRefused(transfer->replacement, generation);
        return;
    }
    if (success) {
        commitMediaTransfer(transfer);
        return;
    }
    if (originAnsweredError(state.statusCode))
        erroredHashes_.insert(item.sha256);
    if (originRefused(state.statusCode))
        refusedHashes_.insert(item.sha256);
    // What the origin sent against what the manifest declared is recorded for either owner:
    // nothing else would tell an operator why the object never lands.
    if (!transfer->replacement || state.mismatch)
        logTransferFailure(transfer->item, transferFailureCode(state.mismatch), state.statusCode,
                           errorText);
    if (transfer->replacement)
        replacementTransferFailed(*transfer, failure, askedMs);
    else
        candidateTransferFailed(*transfer, failure, askedMs);
}

void PlayerController::logTransferFailure(const MediaItem& item, const QString& code, int status,
                                          const QString& errorText)
{
    logPlayback("content_download_failed",
                {{QStringLiteral("code"), code},
                 {QStringLiteral("status"), QString::number(status)},
                 {QStringLiteral("error"), errorText.left(200)},
                 {QStringLiteral("path"), QUrl(item.src).path(QUrl::FullyDecoded)}});
    // The first failure of a digest in the revision is what the overlay tells of; a later one
    // comes when its page has been skipped already, or is about to be under a code of its own.
    if (!retriedOnceHashes_.contains(item.sha256))
        latchOverlayFailure(code);
}

void PlayerController::commitMediaTransfer(const std::shared_ptr<MediaTransfer>& transfer)
{
    const std::shared_ptr<ContentCache> cache = contentCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = transfer->cancel;
    const std::shared_ptr<PartialDownload> partial = transfer->partial;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        ContentCache::Commit commit = cache->commitPartial(*partial, cancel.get());
        // Bytes known to be wrong are no base for a resume; a cancelled commit or a failing disk
        // keeps them.
        if (!commit.path && !commit.error.isEmpty() && !ioFailure(commit.error))
            cache->resetPartial(partial->sha256());
        return [this, transfer, path = std::move(commit.path), error = std::move(commit.error)] {
            const MediaTransfer& t = *transfer;
            const QString& sha = t.item.sha256;
            if (path) {
                transferLedger_.forgetEvicted(sha);
                erroredHashes_.remove(sha);
                refusedHashes_.remove(sha);
            }
            noteTransfer(sha, path ? t.reason : StorageTransferLedger::Failed,
                         t.state.receivedBytes);
            // Bytes that do not hash to their entry: recorded, and like any hard failure
            // the object gets one more try within the revision before its page goes without it.
            const bool refused = !path && !error.isEmpty() && !ioFailure(error);
            if (refused && (t.replacement ? replacementOwns(t.generation)
                                          : candidateOwns(t.generation)))
                logTransferFailure(t.item, error, t.state.statusCode, QString());
            if (!t.replacement) {
                if (!candidateOwns(t.generation))
                    return;
                if (!path) {
                    // Skipped at once, but counted: a second fetch in the revision is its last.
                    if (refused)
                        noteHardFailure(sha, error);
                    skipCandidateMediaAndContinue(
                        sha, error.isEmpty() ? QStringLiteral("content_download_failed") : error,
                        t.generation);
                    return;
                }
                if (!bindReadyMedia(sha, *path))
                    return;
                downloadAttempt_ = 0;
                unreachableUntil_.remove(sha);
                unreachableAttempts_.remove(sha);
                --candidate_->pendingAssets;
                prepareNextAsset(t.generation);
                return;
            }
            if (!replacementOwns(t.generation))
                return;
            if (refused) {
                replacementObjectFailed(sha, error);
                return;
            }
            if (!path) {
                noteReplacementUnreachable();
                return;
            }
            // What a repair run waited for has landed: the next blip is waited out from the
            // start again.
            if (unreachableUntil_.remove(sha) && !replacement_->activateWhenDrained)
                downloadAttempt_ = 0;
            unreachableAttempts_.remove(sha);
            replacement_->landed = true;
            replacement_->local.insert(sha);
            admitLandedPages();
            if (!replacementOwns(t.generation))
                return;
            replacement_->media.removeIf([&](const MediaItem& m) { return m.sha256 == sha; });
            pumpReplacement();
        };
    });
    if (!queued)
        transferIoBusy(transfer->replacement, transfer->generation);
}

// The content I/O queue refused the work of a download: whoever owns it learns it cannot go on.
void PlayerController::transferIoBusy(bool replacement, quint64 generation)
{
    if (replacement && replacementOwns(generation)) {
        replacement_->busy = false;
        noteReplacementUnreachable();
    } else if (!replacement && candidateOwns(generation)) {
        failCandidate(QStringLiteral("content_io_busy"));
    }
}

void PlayerController::candidateTransferFailed(const MediaTransfer& transfer,
                                               TransferFailure failure, qint64 askedMs)
{
    const MediaItem& item = transfer.item;
    const quint64 generation = transfer.generation;
    const bool mismatch = transfer.state.mismatch;
    const QString code = transferFailureCode(mismatch);
    const bool ownPage = candidatePageShows(item.sha256);
    // "Try later" is taken at its word, five times at most in a revision; then it is as hard as
    // any other wrong answer.
    const bool throttledAgain =
        failure == TransferFailure::Throttled
        && throttledRetries_.value(item.sha256) <= lastDelayedRetryAttempt;
    // A volume that cannot be written says nothing of the object: it waits as for an origin out
    // of reach.
    const int writeErrno = transfer.partial ? transfer.partial->writeErrno() : 0;
    const bool unwritable = writeErrno != 0 && !writeWantsRoom(writeErrno);
    const bool delayed = failure == TransferFailure::Unreachable || throttledAgain || unwritable;
    if (ownPage && delayed) {
        if (throttledAgain)
            ++throttledRetries_[item.sha256];
        const qint64 honouredMs = throttledAgain ? honouredRetryAfterMs(askedMs) : -1;
        if (activeSlot_ < 0) {
            scheduleCandidateDownloadRetry(item, generation,
                                           honouredMs >= 0 ? honouredMs
                                                           : takeBackoffMs(candidateRetryAttempt_));
            return;
        }
        // A page on glass does not wait for it: this turn counts as a failed download of the
        // page, and the origin is left alone for a while.
        beginObjectWait(item.sha256,
                        clock_->monotonicMs()
                            + (honouredMs >= 0 ? honouredMs : nextDownloadBackoffMs()),
                        failure == TransferFailure::Unreachable && !unwritable);
    }
    // Another page's object never holds this candidate: it goes without it at once, and that
    // page's own turn or a background run asks again. Wrong bytes count wherever they came.
    if (!ownPage || delayed) {
        if (mismatch && noteHardFailure(item.sha256, code))
            contentCache_->resetPartial(item.sha256);
        skipCandidateMediaAndContinue(item.sha256, code, generation);
        return;
    }
    if (noteHardFailure(item.sha256, code)) {
        // Bytes known to be wrong are no base for a resume in a later revision.
        if (mismatch)
            contentCache_->resetPartial(item.sha256);
        skipCandidateMediaAndContinue(item.sha256, code, generation);
        return;
    }
    transferMedia(item, generation, false);
}

void PlayerController::replacementTransferFailed(const MediaTransfer& transfer,
                                                 TransferFailure failure, qint64 askedMs)
{
    const int status = transfer.state.statusCode;
    const QString& sha = transfer.item.sha256;
    // A volume that refused the bytes says nothing of the object or its origin: nothing is
    // counted against it. A full one gives it no wait of its own; the fetch waits for room
    // instead. One that cannot be written at all (read-only, failing) gives it the wait of an
    // origin out of reach, which room would not end.
    if (const int error = transfer.partial ? transfer.partial->writeErrno() : 0; error != 0) {
        if (writeWantsRoom(error))
            waitForRoomAfterWriteFailure();
        else if (replacement_->onePass)
            leaveForLaterRun(sha);
        else
            noteReplacementUnreachable();
        return;
    }
    const bool hard = failure == TransferFailure::Hard && status != 408 && status < 500;
    if (replacement_->onePass) {
        // Wrong bytes count towards giving the object up, whichever run fetched them.
        if (hard && noteHardFailure(sha, transferFailureCode(transfer.state.mismatch))
            && transfer.state.mismatch)
            contentCache_->resetPartial(sha);
        leaveForLaterRun(sha, failure == TransferFailure::Throttled ? askedMs : -1,
                         failure == TransferFailure::Unreachable);
        return;
    }
    // An origin that answers with an error is asked twice at most in one run, so that the object
    // cannot keep what comes behind it waiting; a later run asks again. One that does not answer
    // at all is waited for: nothing else could be fetched from it either.
    if (status != 0 && (status < 200 || status > 299)) {
        if (replacement_->erroredOnce.contains(sha)) {
            dropReplacementMedia(sha);
            return;
        }
        replacement_->erroredOnce.insert(sha);
    }
    if (!hard) {
        noteReplacementUnreachable(askedMs, failure == TransferFailure::Unreachable);
        return;
    }
    if (transfer.state.mismatch && retriedOnceHashes_.contains(sha))
        contentCache_->resetPartial(sha);
    replacementObjectFailed(sha, transferFailureCode(transfer.state.mismatch));
}

// A hard failure of one object of the background fetch: a pause, then one more try within the
// revision (a later run's, for a run that asks once); a later one drops the object from this run,
// and its page is left to fail on its own.
void PlayerController::replacementObjectFailed(const QString& sha256, const QString& code)
{
    if (noteHardFailure(sha256, code))
        dropReplacementMedia(sha256);
    else if (replacement_->onePass)
        leaveForLaterRun(sha256);
    else
        noteReplacementUnreachable();
}

void PlayerController::dropReplacementMedia(const QString& sha256)
{
    replacement_->media.removeIf([&](const MediaItem& m) { return m.sha256 == sha256; });
    pumpReplacement();
}

// The two-failure rule of a revision, whoever fetched: a digest's first hard failure earns it
// one more try at once; at a later one it goes without (true). Bytes that are wrong would be as
// wrong fetched again: those are given up, with their code, until the revision changes. What the
// origin failed to give is asked for again by the next preparation or background run.
bool PlayerController::noteHardFailure(const QString& sha256, const QString& code)
{
    if (!retriedOnceHashes_.contains(sha256)) {
        retriedOnceHashes_.insert(sha256);
        return false;
    }
    if (!downloadMayRecover(code))
        givenUpHashes_.insert(sha256, code);
    return true;
}

// Why a digest is fetched no more: the installer's code for a package it refused, or the code
// an object was given up with in this revision; empty when it may be fetched.
QString PlayerController::fetchRefusal(const QString& sha256) const
{
    return refusedPackages_.value(sha256, givenUpHashes_.value(sha256));
}

QSet<QString> PlayerController::givenUpDigests() const
{
    QSet<QString> digests;
    for (auto it = givenUpHashes_.cbegin(); it != givenUpHashes_.cend(); ++it)
        digests.insert(it.key());
    for (auto it = refusedPackages_.cbegin(); it != refusedPackages_.cend(); ++it)
        digests.insert(it.key());
    return digests;
}

void PlayerController::skipCandidateMediaAndContinue(const QString& sha256, const QString& code,
                                                     quint64 generation)
{
    skipCandidateMedia(sha256, code);
    if (!candidateOwns(generation))
        return;
    --candidate_->pendingAssets;
    publishSyncGlyph(false, false);
    if (candidateOwns(generation))
        prepareNextAsset(generation);
}

// Said once for each kind of error until a download writes again: the operator is to look at the
// card or the mount, not at the room on it.
void PlayerController::tellWriteFault(int error, const QString& text)
{
    if (writeFaultsSaid_.contains(error))
        return;
    writeFaultsSaid_.insert(error);
    writeStandardErrorLine(
        QStringLiteral("Downloads cannot be written to the state directory %1: %2. What is "
                       "already held keeps playing; the rest is tried again later.")
            .arg(QDir::toNativeSeparators(stateDirectory_), text)
            .toLocal8Bit());
}

// --- Back-off ------------------------------------------------------------------------------

qint64 PlayerController::nextDownloadBackoffMs()
{
    return takeBackoffMs(downloadAttempt_);
}

void PlayerController::scheduleCandidateDownloadRetry(const MediaItem& item, quint64 generation,
                                                      qint64 delayMs)
{
    if (!candidateOwns(generation))
        return;
    if (candidateDownloadRetryTimer_.isActive() && candidateRetryGeneration_ == generation)
        return;
    candidateRetryItem_ = item;
    candidateRetryGeneration_ = generation;
    candidateDownloadRetryTimer_.start(int(delayMs));
    if (!candidateDeadlineTimer_.isActive())
        candidateDeadlineTimer_.start(candidateDeadlineMs);
    resumeBesideRun();
}

void PlayerController::candidateDownloadRetryFired()
{
    if (!candidate_ || !candidateRetryItem_ || candidate_->generation != candidateRetryGeneration_)
        return;
    const MediaItem item = *candidateRetryItem_;
    transferMedia(item, candidateRetryGeneration_, false);
}

void PlayerController::noteDownloadProgress(quint64 generation)
{
    if (candidateOwns(generation) && candidateDeadlineTimer_.isActive())
        candidateDeadlineTimer_.start(candidateDeadlineMs);
}

// A content download found no session to go with: a new one is asked for, and whichever owns
// the download still learns that it cannot go on.
void PlayerController::downloadSessionRefused(bool replacement, quint64 generation)
{
    retryDeviceSession();
    if (replacement && replacementOwns(generation))
        noteReplacementUnreachable();
    else if (!replacement && candidateOwns(generation))
        failCandidate(QStringLiteral("runtime_session_expired"));
}

// --- The transfer ledger -------------------------------------------------------------------

void PlayerController::noteTransfer(const QString& sha256, StorageTransferLedger::Reason reason,
                                    qint64 bytes)
{
    Q_UNUSED(sha256)
    if (bytes < 1)
        return;
    transferLedger_.record(reason, bytes, clock_->nowMs());
    if (!transferLedger_.save())
        DevFileLog::record(QStringLiteral("storage.transfer_persist_failed"), QJsonObject());
}

StorageTransferLedger::Reason PlayerController::transferReason(const QString& sha256,
                                                               bool repair) const
{
    return transferLedgerReason(transferLedger_.wasEvicted(sha256), repair);
}

} // namespace talvorine
