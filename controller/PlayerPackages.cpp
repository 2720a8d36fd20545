// Application packages of the candidate: each one is looked up in the package cache (room is
// made for it first), bound into the idle stage when installed, or downloaded with resume into
// its partial file and installed from there on the content I/O queue. The same download serves
// the background replacement.

#include "controller/PlayerPackages.h"

#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerPreparation.h"
#include "runtime/RuntimeCompat.h"
#include "storage/PartialDownload.h"
#include "storage/Saturating.h"

#include <QFileInfo>
#include <QNetworkRequest>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace {

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

QJsonObject packageOf(const Primitive& primitive)
{
    return primitive.binding.value(key("package")).toObject();
}

constexpr char packageDownloadProperty[] = "talvorinePackageDownload";
constexpr char downloadDigestProperty[] = "talvorineDownloadDigest";

} // namespace

void markPackageDownload(QNetworkReply& reply)
{
    reply.setProperty(packageDownloadProperty, true);
}

bool isPackageDownload(const QNetworkReply& reply)
{
    return reply.property(packageDownloadProperty).toBool();
}

void markDownloadDigest(QNetworkReply& reply, const QString& digest)
{
    reply.setProperty(downloadDigestProperty, digest);
}

QString downloadDigest(const QNetworkReply& reply)
{
    return reply.property(downloadDigestProperty).toString();
}

QString applicationPackageDigest(const Primitive& primitive)
{
    return primitive.kind == PrimitiveKind::application
               ? packageOf(primitive).value(key("sha256")).toString()
               : QString();
}

qint64 packageRetryDelayMs(const QByteArray& retryAfter, const QByteArray& date,
                           const QDateTime& nowUtc, int attempt)
{
    const qint64 asked =
        honouredRetryAfterMs(RuntimeCompat::retryAfterMs(retryAfter, date, nowUtc));
    return asked >= 0 ? asked : qint64(1000) << std::clamp(attempt, 0, 4);
}

bool packageBytesRefused(const QString& installError)
{
    // Failures of the disk or of the installation itself, not of the archive's bytes.
    static const QSet<QString> kept{
        QStringLiteral("package_cancelled"),
        QStringLiteral("package_partial_incomplete"),
        QStringLiteral("package_archive_open_failed"),
        QStringLiteral("package_gzip_init_failed"),
        QStringLiteral("package_directory_create_failed"),
        QStringLiteral("package_extract_stage_failed"),
        QStringLiteral("package_extract_identity_mismatch"),
        QStringLiteral("package_file_create_failed"),
        QStringLiteral("package_file_commit_failed"),
        QStringLiteral("package_atomic_promotion_failed"),
        QStringLiteral("package_immutable_promotion_failed"),
        QStringLiteral("package_existing_cache_invalid"),
    };
    return !installError.isEmpty() && !kept.contains(installError);
}

bool packageRefusedForGood(const QString& installError)
{
    static const QSet<QString> verdicts{
        QStringLiteral("package_gzip_invalid_or_concatenated"),
        QStringLiteral("package_archive_format_rejected"),
        QStringLiteral("package_path_invalid"),
        QStringLiteral("package_path_duplicate"),
        QStringLiteral("package_path_conflict"),
        QStringLiteral("package_entry_mode_rejected"),
        QStringLiteral("package_entry_type_rejected"),
        QStringLiteral("package_nested_archive_rejected"),
        QStringLiteral("package_file_size_mismatch"),
        QStringLiteral("package_extract_limit_exceeded"),
        QStringLiteral("package_entrypoint_missing"),
    };
    return verdicts.contains(installError);
}

} // namespace talvorine

// --- The controller's package preparation and downloads -----------------------------------

namespace talvorine {

namespace {

// Free space kept beyond the bytes still to download: the installation expands the archive
// beside its partial file.
constexpr qint64 packageHeadroomBytes = 530579456;

} // namespace

// One package request: what its handlers need beside the download itself.
struct PlayerController::PackageTransfer : ContentDownload {
    Primitive primitive;
    ApplicationPackageDescriptor descriptor;
    quint64 generation = 0;
    int attempt = 0;
    bool rangeRestarted = false;
    // Whose download it is when the request was made; looked at again when it finishes.
    bool replacement = false;
    StorageTransferLedger::Reason reason = StorageTransferLedger::New;
};

void PlayerController::prepareApplicationPackage(const Primitive& primitive, quint64 generation)
{
    if (!candidateOwns(generation))
        return;
    const ApplicationPackageDescriptor descriptor = applicationPackageDescriptor(primitive);
    // Nothing is looked up or made room for: what is refused cannot be in the cache.
    if (const QString refusal = fetchRefusal(descriptor.sha256); !refusal.isEmpty()) {
        skipCandidateMediaAndContinue(descriptor.sha256, refusal, generation);
        return;
    }
    const QSet<QString> onGlass = activePackageKeys_ | outgoingPackageKeys_;
    const QSet<QString>& planned = candidate_->plannedPackages;
    QSet<QString> keep = onGlass | planned;
    // What a background replacement has already landed must survive the room made here, or the
    // replacement would activate a revision whose packages are gone.
    keep |= replacementKeepKeys();
    const QSet<QString> protect = onGlass - planned;
    const bool retained = retainedRestoreActive_;
    const bool onCandidatePage = retained && candidatePageShows(descriptor.sha256);

    const std::shared_ptr<std::atomic<bool>> cancel = candidateCancel_;
    const std::shared_ptr<ApplicationPackageCache> cache = applicationCache_;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const bool ready = cache->readyEntrypoint(descriptor, true, cancel.get()).has_value();
        QString error;
        if (!ready && !retained && !cancel->load(std::memory_order_acquire)) {
            const qint64 missing =
                std::max<qint64>(0, descriptor.compressedBytes - cache->resumeOffset(descriptor));
            const qint64 minFree = saturating::add(missing, packageHeadroomBytes);
            if (!cache->prune(std::numeric_limits<qint64>::max(), minFree, keep, &error,
                              cancel.get(), protect)
                && error.isEmpty() && !cancel->load(std::memory_order_acquire))
                error = QStringLiteral("package_cache_prune_failed");
        }
        return [this, primitive, descriptor, generation, ready, error, retained,
                onCandidatePage] {
            if (!candidateOwns(generation))
                return;
            if (!error.isEmpty()) {
                failCandidate(error);
            } else if (ready) {
                if (!bindReadyApplicationPackage(descriptor))
                    return;
                --candidate_->pendingAssets;
                prepareNextAsset(generation);
            } else if (!retained) {
                downloadApplicationPackage(primitive, generation, 0, false);
            } else if (onCandidatePage) {
                failCandidate(QStringLiteral("content_not_cached"));
            } else {
                // A restore never fetches: the package of another stored page waits for repair.
                --candidate_->pendingAssets;
                prepareNextAsset(generation);
            }
        };
    });
    if (!queued)
        failCandidate(QStringLiteral("content_io_busy"));
}

bool PlayerController::bindReadyApplicationPackage(const ApplicationPackageDescriptor& descriptor)
{
    if (!candidate_)
        return false;
    const quint64 generation = candidate_->generation;
    const Page* page = candidatePage();
    if (!page) {
        failCandidate(QStringLiteral("layout_not_ready"));
        return false;
    }
    const int slot = candidate_->slot;
    // A copy: binding emits model signals whose handlers may replace the candidate.
    const QList<Primitive> primitives = page->primitives;
    for (const Primitive& primitive : primitives) {
        if (primitive.kind != PrimitiveKind::application
            || applicationPackageDigest(primitive) != descriptor.sha256)
            continue;
        candidate_->packageDescriptors.insert(primitive.id, descriptor);
        const bool bound = modelForSlot(slot)->bindVerifiedApplicationPackage(
            primitive.id, descriptor.sha256, descriptor.entrypoint);
        if (!candidateOwns(generation))
            return false;
        if (!bound) {
            failCandidate(QStringLiteral("application_package_bind_failed"));
            return false;
        }
    }
    return true;
}

void PlayerController::downloadApplicationPackage(const Primitive& primitive, quint64 generation,
                                                  int attempt, bool rangeRestarted)
{
    const bool replacement = replacementOwns(generation);
    if (!replacement && !candidateOwns(generation))
        return;
    auto transfer = std::make_shared<PackageTransfer>();
    transfer->primitive = primitive;
    transfer->descriptor = applicationPackageDescriptor(primitive);
    transfer->generation = generation;
    transfer->attempt = attempt;
    transfer->rangeRestarted = rangeRestarted;
    transfer->replacement = replacement;
    transfer->cancel = replacement ? replacementCancel_ : candidateCancel_;

    // Taken over on the I/O queue behind every append submitted before, as for media; until the
    // request is made the replacement pump counts as busy.
    if (replacement)
        replacement_->busy = true;
    const std::shared_ptr<ApplicationPackageCache> cache = applicationCache_;
    const ApplicationPackageDescriptor descriptor = transfer->descriptor;
    const std::shared_ptr<std::atomic<bool>> cancel = transfer->cancel;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        std::shared_ptr<PartialDownload> partial = cache->openPartial(descriptor, cancel.get());
        const qint64 offset = partial->size();
        const bool repair = QFileInfo::exists(cache->objectDirectory(descriptor.sha256));
        return [this, transfer, partial = std::move(partial), offset, repair] {
            transfer->partial = partial;
            requestPackageTransfer(transfer, offset, repair);
        };
    });
    if (!queued)
        transferIoBusy(replacement, generation);
}

void PlayerController::requestPackageTransfer(const std::shared_ptr<PackageTransfer>& transfer,
                                              qint64 resumeOffset, bool repair)
{
    const quint64 generation = transfer->generation;
    const bool replacement = transfer->replacement;
    if (replacement ? !replacementOwns(generation) : !candidateOwns(generation))
        return;
    if (replacement)
        replacement_->busy = false;
    const ApplicationPackageDescriptor& descriptor = transfer->descriptor;
    transfer->state.resumeOffset = resumeOffset;
    transfer->reason = transferReason(descriptor.sha256, repair);

    const QUrl url = origin_.resolved(
        QUrl(packageOf(transfer->primitive).value(key("url")).toString(), QUrl::TolerantMode));
    QNetworkReply* reply = getContent(url, resumeOffset, descriptor.sha256);
    if (!reply) {
        downloadSessionRefused(replacement, generation);
        return;
    }
    markPackageDownload(*reply);
    (replacement ? replacementReplies_ : candidateReplies_).insert(reply);
    if (replacement)
        replacementIdleTimer_.start(replacementIdleMs);

    PackageTransfer* const t = transfer.get();
    t->totalBytes = descriptor.compressedBytes;
    // Aborted replies leave their set: an append landing afterwards reads no more.
    t->current = [this, t] {
        return (candidateReplies_.contains(t->reply) || replacementReplies_.contains(t->reply))
               && (candidateOwns(t->generation) || replacementOwns(t->generation));
    };
    t->progressed = [this, t] { noteContentProgress(t->replacement, t->generation); };
    t->finished = [this, weak = std::weak_ptr<PackageTransfer>(transfer)] {
        finishPackageTransfer(weak.lock());
    };
    startContentDownload(transfer, reply);
}

void PlayerController::finishPackageTransfer(const std::shared_ptr<PackageTransfer>& transfer)
{
    QNetworkReply* reply = transfer->reply;
    const quint64 generation = transfer->generation;
    transfer->replacement = replacementOwns(generation);
    // Whoever owns it now, the reply is tracked nowhere any more.
    candidateReplies_.remove(reply);
    if (replacementReplies_.remove(reply) && replacementReplies_.isEmpty())
        replacementIdleTimer_.stop();

    const MediaDownloadState& state = transfer->state;
    const ApplicationPackageDescriptor& descriptor = transfer->descriptor;
    const QNetworkReply::NetworkError networkError = reply->error();
    const bool complete = !state.rejected && networkError == QNetworkReply::NoError
                          && state.resumeOffset + state.receivedBytes == descriptor.compressedBytes;
    if (!complete) {
        // Bytes kept in the partial file will be resumed; counted as failed only when dropped.
        const bool kept = QFileInfo::exists(applicationCache_->partialPath(descriptor.sha256));
        noteTransfer(descriptor.sha256, kept ? transfer->reason : StorageTransferLedger::Failed,
                     state.receivedBytes);
        transfer->state.mismatch = transferMismatch(state, networkError, descriptor.compressedBytes);
    }
    const bool transient = classifyTransferFailure(state, networkError) != TransferFailure::Hard;
    const qint64 delayMs = packageRetryDelayMs(
        reply->rawHeader("Retry-After"), reply->rawHeader("Date"),
        QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC), transfer->attempt);
    const QString errorText = reply->errorString().left(200);
    reply->deleteLater();
    if (!candidateOwns(generation) && !replacementOwns(generation))
        return;

    const Primitive& primitive = transfer->primitive;
    const int attempt = transfer->attempt;
    if (state.statusCode == 416 && !transfer->rangeRestarted) {
        applicationCache_->resetPartial(descriptor);
        QTimer::singleShot(0, this, [this, primitive, generation, attempt] {
            downloadApplicationPackage(primitive, generation, attempt, true);
        });
        return;
    }
    if (state.statusCode == 401) {
        mintIdempotencyKey_.clear();
        downloadSessionRefused(transfer->replacement, generation);
        return;
    }
    if (complete) {
        installApplicationPackage(transfer);
        return;
    }
    if (originAnsweredError(state.statusCode))
        erroredHashes_.insert(descriptor.sha256);
    if (originRefused(state.statusCode))
        refusedHashes_.insert(descriptor.sha256);
    // Only the candidate's own package is waited for, and only with nothing on glass: behind a
    // page on glass a page is not held for it, and another page's package holds nothing.
    const bool ownPage = !transfer->replacement && candidatePageShows(descriptor.sha256);
    const bool waited = ownPage && activeSlot_ < 0;
    if (transient && waited && attempt <= lastDelayedRetryAttempt) {
        packageRetry_ = PackageRetry{primitive, generation, attempt + 1};
        packageRetryTimer_.start(int(delayMs));
        resumeBesideRun();
        return;
    }
    const QString path =
        QUrl(packageOf(primitive).value(key("url")).toString(), QUrl::TolerantMode)
            .path(QUrl::FullyDecoded);
    logPlayback("content_download_failed",
                {{QStringLiteral("status"), QString::number(state.statusCode)},
                 {QStringLiteral("code"), QStringLiteral("application_package_download_failed")},
                 {QStringLiteral("error"), errorText},
                 {QStringLiteral("path"), path}});
    // Bytes the volume refused say nothing of the package or its origin.
    if (const int error = transfer->partial ? transfer->partial->writeErrno() : 0; error != 0) {
        packageWriteFailed(*transfer, error);
        return;
    }
    packageDownloadFailed(*transfer, ownPage && !(transient && activeSlot_ >= 0));
}

void PlayerController::packageDownloadFailed(const PackageTransfer& transfer, bool mayRetry)
{
    const QString& sha256 = transfer.descriptor.sha256;
    if (transfer.replacement) {
        dropReplacementPackage(sha256);
        return;
    }
    // An archive of another size than declared is the package's failure, not the device's; it
    // counts towards giving the package up wherever it came.
    const QString code = transfer.state.mismatch
                             ? QStringLiteral("package_archive_size_mismatch")
                             : QStringLiteral("application_package_download_failed");
    if (!mayRetry) {
        if (transfer.state.mismatch)
            noteHardFailure(sha256, code);
        skipCandidateMediaAndContinue(sha256, code, transfer.generation);
        return;
    }
    if (noteHardFailure(sha256, code)) {
        skipCandidateMediaAndContinue(sha256, code, transfer.generation);
        return;
    }
    downloadApplicationPackage(transfer.primitive, transfer.generation, transfer.attempt + 1,
                               false);
}

// Nothing is counted against the package, as for media. A full volume waits for room: a new
// revision behind glass from the storage sample, the candidate's own page held as storage
// short. One that cannot be written at all gives the package a wait of its own, which room would
// not end: the candidate's own page with nothing on glass tries again after the package's
// back-off, counted by the candidate rather than the package; a background run backs off as from
// an origin out of reach, or leaves it to a later run; any other candidate goes without it.
void PlayerController::packageWriteFailed(const PackageTransfer& transfer, int error)
{
    const QString& sha256 = transfer.descriptor.sha256;
    const bool room = writeWantsRoom(error);
    if (transfer.replacement) {
        if (room)
            waitForRoomAfterWriteFailure();
        else if (replacement_->onePass)
            dropReplacementPackage(sha256);
        else
            noteReplacementUnreachable();
        return;
    }
    const bool ownPage = candidatePageShows(sha256);
    if (ownPage && room) {
        roomRefusedFree_.reset();
        failCandidate(QStringLiteral("content_storage_insufficient"));
    } else if (ownPage && activeSlot_ < 0) {
        packageRetry_ = PackageRetry{transfer.primitive, transfer.generation, transfer.attempt};
        packageRetryTimer_.start(
            int(packageRetryDelayMs({}, {}, QDateTime(), candidateRetryAttempt_++)));
        resumeBesideRun();
    } else {
        packageDownloadFailed(transfer, false);
    }
}

// Refused bytes stay refused: their digest is remembered while the process lives (the cache
// keeps nothing of them), recorded once, and never downloaded again.
void PlayerController::rememberRefusedPackage(const QString& sha256, const QString& code)
{
    if (refusedPackages_.contains(sha256))
        return;
    refusedPackages_.insert(sha256, code);
    logPlayback("application_package_refused",
                {{QStringLiteral("sha256"), sha256}, {QStringLiteral("code"), code}});
}

void PlayerController::dropReplacementPackage(const QString& sha256)
{
    if (!replacement_)
        return;
    waitAsPassedOver(sha256, QStringLiteral("application_package_download_failed"));
    replacement_->packages.removeIf(
        [&](const Primitive& p) { return applicationPackageDigest(p) == sha256; });
    pumpReplacement();
}

void PlayerController::packageRetryFired()
{
    if (!packageRetry_)
        return;
    const PackageRetry retry = *std::exchange(packageRetry_, std::nullopt);
    if (candidateOwns(retry.generation))
        downloadApplicationPackage(retry.primitive, retry.generation, retry.attempt, false);
}

void PlayerController::installApplicationPackage(const std::shared_ptr<PackageTransfer>& transfer)
{
    const std::shared_ptr<ApplicationPackageCache> cache = applicationCache_;
    const std::shared_ptr<std::atomic<bool>> cancel =
        transfer->replacement ? replacementCancel_ : candidateCancel_;
    const ApplicationPackageDescriptor descriptor = transfer->descriptor;
    const std::shared_ptr<PartialDownload> partial = transfer->partial;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        QString error;
        const bool ok = cache->finalizePartial(*partial, descriptor, &error, cancel.get());
        // Bytes the installer refused are no base for a resume, and a package that cannot be
        // installed should not hold its size on disk until it expires.
        if (!ok && packageBytesRefused(error))
            cache->resetPartial(descriptor);
        return [this, transfer, ok, error] {
            const PackageTransfer& t = *transfer;
            const ApplicationPackageDescriptor& d = t.descriptor;
            noteTransfer(d.sha256, ok ? t.reason : StorageTransferLedger::Failed,
                         t.state.receivedBytes);
            if (ok) {
                transferLedger_.forgetEvicted(d.sha256);
                erroredHashes_.remove(d.sha256);
                refusedHashes_.remove(d.sha256);
            }
            // The verdict holds whoever asked for the package, and whether they still want it.
            if (!ok && packageRefusedForGood(error))
                rememberRefusedPackage(d.sha256, error);
            if (t.replacement) {
                if (!replacementOwns(t.generation))
                    return;
                replacement_->packages.removeIf(
                    [&](const Primitive& p) { return applicationPackageDigest(p) == d.sha256; });
                replacement_->landed = replacement_->landed || ok;
                if (ok) {
                    replacement_->local.insert(d.sha256);
                    admitLandedPages();
                }
                if (replacementOwns(t.generation))
                    pumpReplacement();
                return;
            }
            if (!candidateOwns(t.generation))
                return;
            if (!ok) {
                skipCandidateMediaAndContinue(
                    d.sha256,
                    error.isEmpty() ? QStringLiteral("application_package_install_failed") : error,
                    t.generation);
                return;
            }
            if (!bindReadyApplicationPackage(d))
                return;
            --candidate_->pendingAssets;
            prepareNextAsset(t.generation);
        };
    });
    if (queued)
        return;
    if (transfer->replacement)
        noteReplacementUnreachable();
    else
        failCandidate(QStringLiteral("content_io_busy"));
}

} // namespace talvorine
