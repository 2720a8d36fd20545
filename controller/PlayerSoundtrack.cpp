// The soundtrack: which track plays, its gain, and the downloads of its files.
//
// The sequencer decides what plays and only ever plays tracks marked ready; the controller
// turns its commands into engine calls and brings the files into the content cache one track
// at a time, in manifest order. Every step is stamped with the fetch generation, and a reset
// (a new revision, a stop) raises it, so nothing of an older fetch lands afterwards.

#include "controller/PlayerController.h"
#include "controller/PlayerDiagnostics.h"
#include "controller/PlayerTransfers.h"
#include "runtime/RuntimeCompat.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

// A failed step is tried again this much later, whatever failed.
constexpr int soundtrackRefetchMs = 30000;

std::optional<SoundtrackSequencer::Cue> cueOf(const Page& page)
{
    if (!page.audioCue)
        return std::nullopt;
    return SoundtrackSequencer::Cue{page.audioCue->track, page.audioCue->restart};
}

} // namespace

// --- Control ---------------------------------------------------------------------------------

void PlayerController::syncSoundtrack(const Manifest& manifest, const Page& page)
{
    const std::optional<SoundtrackSequencer::Cue> cue = cueOf(page);
    if (manifest.manifestRevision == soundtrackRevision_) {
        runSoundtrack(soundtrackSequencer_.pageEntered(cue));
        return;
    }
    soundtrackRevision_ = manifest.manifestRevision;
    cancelSoundtrackFetch();
    activeSoundtrack_ = manifest.soundtrack;
    if (!activeSoundtrack_) {
        runSoundtrack(soundtrackSequencer_.clear());
        return;
    }
    QList<SoundtrackSequencer::Track> tracks;
    for (const SoundtrackTrack& track : activeSoundtrack_->tracks)
        tracks.append({track.id, track.mediaId, track.sha256});
    // A stop empties the sequencer's ready set while the verified files stay known: marked
    // again here, a revision that reuses them plays at once instead of staying silent. Only the
    // answer to the new list below decides what plays.
    for (const SoundtrackSequencer::Track& track : tracks) {
        if (readyTrackFiles_.contains(track.hash))
            soundtrackSequencer_.markReady(track.hash);
    }
    runSoundtrack(soundtrackSequencer_.setSoundtrack(tracks, activeSoundtrack_->loop, cue));
    applySoundtrackGain();
    fetchSoundtrack();
}

void PlayerController::runSoundtrack(SoundtrackSequencer::Command command)
{
    using Command = SoundtrackSequencer::Command;
    if (command.kind == Command::stop) {
        soundtrackEngine_.stop();
        return;
    }
    const qint32 index = command.trackIndex;
    if (command.kind != Command::play || !activeSoundtrack_ || index < 0
        || index >= soundtrackSequencer_.trackCount())
        return;
    const SoundtrackSequencer::Track& track = soundtrackSequencer_.tracks().at(index);
    const QString path = readyTrackFiles_.value(track.hash);
    if (!path.isEmpty() && soundtrackEngine_.play(QUrl::fromLocalFile(path), soundtrackGain())) {
        logPlayback("soundtrack_track_started", {{QStringLiteral("id"), track.id}});
        return;
    }
    // Reported on the next turn, as the engine reports its own failures; by then another track
    // may have taken over, and that one did not fail.
    QTimer::singleShot(0, this, [this, revision = soundtrackRevision_, index] {
        if (soundtrackRevision_ == revision && soundtrackSequencer_.currentIndex() == index)
            soundtrackTrackFailed(QStringLiteral("soundtrack_start_failed"));
    });
}

void PlayerController::soundtrackTrackFailed(const QString& code)
{
    logPlayback("soundtrack_track_failed", {{QStringLiteral("code"), code}});
    const qint32 current = soundtrackSequencer_.currentIndex();
    if (current >= 0 && current < soundtrackSequencer_.trackCount())
        readyTrackFiles_.remove(soundtrackSequencer_.tracks().at(current).hash);
    runSoundtrack(soundtrackSequencer_.trackFailed());
    if (!soundtrackFetchInFlight_)
        armSoundtrackRefetch();
}

void PlayerController::stopSoundtrack()
{
    cancelSoundtrackFetch();
    soundtrackSequencer_.clear();
    soundtrackEngine_.stop();
    soundtrackRevision_.clear();
    activeSoundtrack_.reset();
}

void PlayerController::cancelSoundtrackFetch()
{
    soundtrackFetchInFlight_ = false;
    ++soundtrackFetchGeneration_;
    soundtrackFetchTimer_.stop();
    soundtrackCancel_->store(true, std::memory_order_release);
    soundtrackCancel_ = std::make_shared<std::atomic<bool>>(false);
    if (QNetworkReply* reply = std::exchange(soundtrackReply_, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void PlayerController::applySoundtrackGain()
{
    if (activeSoundtrack_)
        soundtrackEngine_.setGain(soundtrackGain());
}

double PlayerController::soundtrackGain() const
{
    return activeSoundtrack_ ? activeSoundtrack_->volume * operatorPanel_.mediaVolume() : 0.0;
}

QSet<QString> PlayerController::soundtrackHashes() const
{
    QSet<QString> hashes;
    if (activeSoundtrack_) {
        for (const SoundtrackTrack& track : activeSoundtrack_->tracks)
            hashes.insert(track.sha256);
    }
    return hashes;
}

// A running timer keeps its time: each failure of a track restarting it would push the refetch
// that ends a run of failures further away for as long as the failures go on.
void PlayerController::armSoundtrackRefetch(qint64 askedMs)
{
    if (!soundtrackFetchTimer_.isActive())
        soundtrackFetchTimer_.start(int(std::max<qint64>(soundtrackRefetchMs, askedMs)));
}

// --- Track downloads -------------------------------------------------------------------------

void PlayerController::fetchSoundtrack()
{
    if (!activeSoundtrack_ || soundtrackFetchInFlight_)
        return;
    const auto& tracks = activeSoundtrack_->tracks;
    const auto missing = std::find_if(tracks.cbegin(), tracks.cend(), [this](const auto& track) {
        return !readyTrackFiles_.contains(track.sha256);
    });
    if (missing == tracks.cend())
        return;
    soundtrackFetchInFlight_ = true;
    const SoundtrackTrack track = *missing;
    const quint64 generation = soundtrackFetchGeneration_;
    const std::shared_ptr<ContentCache> cache = contentCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = soundtrackCancel_;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const std::optional<QString> path = cache->readyPath(track.sha256, track.bytes, cancel.get());
        // Always the whole file: no range is asked for, so nothing of an earlier attempt counts.
        // The step starts behind every append of an earlier one on the I/O queue.
        std::shared_ptr<PartialDownload> partial;
        if (!path)
            partial = cache->openPartial(track.sha256, track.bytes,
                                         ContentCache::PartialStart::Afresh, cancel.get());
        return [this, track, generation, path, partial = std::move(partial)] {
            if (generation != soundtrackFetchGeneration_)
                return;
            if (path)
                soundtrackTrackLanded(track.sha256, *path);
            else
                downloadSoundtrackTrack(track, generation, partial);
        };
    });
    if (!queued) {
        soundtrackFetchInFlight_ = false;
        armSoundtrackRefetch();
    }
}

void PlayerController::downloadSoundtrackTrack(const SoundtrackTrack& track, quint64 generation,
                                               const std::shared_ptr<PartialDownload>& partial)
{
    QNetworkReply* reply = getContent(origin_.resolved(QUrl(track.src, QUrl::TolerantMode)), 0, {});
    if (!reply) {
        retryDeviceSession();
        soundtrackFetchInFlight_ = false;
        armSoundtrackRefetch();
        return;
    }
    soundtrackReply_ = reply;

    auto download = std::make_shared<ContentDownload>();
    ContentDownload* const d = download.get();
    d->totalBytes = track.bytes;
    d->cancel = soundtrackCancel_;
    d->current = [this, d, generation] {
        return soundtrackReply_ == d->reply && generation == soundtrackFetchGeneration_;
    };
    d->partial = partial;
    d->progressed = [] {};
    d->finished = [this, d, track, generation] { finishSoundtrackDownload(*d, track, generation); };
    startContentDownload(download, reply);
}

void PlayerController::finishSoundtrackDownload(const ContentDownload& download,
                                                const SoundtrackTrack& track, quint64 generation)
{
    QNetworkReply* reply = download.reply;
    const MediaDownloadState& state = download.state;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool failed = state.rejected || reply->error() != QNetworkReply::NoError || status < 200
                        || status > 299 || status == 206 || state.receivedBytes != track.bytes;
    const TransferFailure failure =
        classifyTransferFailure(status, reply->error(), state.rejected);
    const qint64 askedMs = RuntimeCompat::retryAfterMs(
        reply->rawHeader("Retry-After"), reply->rawHeader("Date"),
        QDateTime::fromMSecsSinceEpoch(clock_->nowMs(), Qt::UTC));
    if (soundtrackReply_ == reply)
        soundtrackReply_ = nullptr;
    reply->deleteLater();
    if (generation != soundtrackFetchGeneration_)
        return;
    if (!failed) {
        verifySoundtrackTrack(track, generation, download.partial);
        return;
    }
    contentCache_->resetPartial(track.sha256);
    if (status == 401)
        retryDeviceSession();
    logPlayback("soundtrack_download_failed",
                {{QStringLiteral("status"), QString::number(status)}});
    soundtrackFetchInFlight_ = false;
    // An origin that asked to be asked later is not asked sooner than it said.
    armSoundtrackRefetch(failure == TransferFailure::Throttled ? honouredRetryAfterMs(askedMs)
                                                               : -1);
}

void PlayerController::verifySoundtrackTrack(const SoundtrackTrack& track, quint64 generation,
                                             const std::shared_ptr<PartialDownload>& partial)
{
    const std::shared_ptr<ContentCache> cache = contentCache_;
    const std::shared_ptr<std::atomic<bool>> cancel = soundtrackCancel_;
    const bool queued = contentIo_.submit(cancel, [=, this]() -> std::function<void()> {
        const std::optional<QString> path = cache->commitPartial(*partial, cancel.get()).path;
        // Bytes that failed the check are no base for anything; the next attempt starts afresh.
        if (!path && !cancel->load(std::memory_order_acquire))
            cache->resetPartial(track.sha256);
        return [this, track, generation, path] {
            if (generation != soundtrackFetchGeneration_)
                return;
            if (path) {
                soundtrackTrackLanded(track.sha256, *path);
                return;
            }
            logPlayback("soundtrack_verify_failed", {{QStringLiteral("id"), track.id}});
            soundtrackFetchInFlight_ = false;
            armSoundtrackRefetch();
        };
    });
    if (!queued) {
        soundtrackFetchInFlight_ = false;
        armSoundtrackRefetch();
    }
}

void PlayerController::soundtrackTrackLanded(const QString& sha256, const QString& path)
{
    soundtrackFetchInFlight_ = false;
    readyTrackFiles_.insert(sha256, path);
    runSoundtrack(soundtrackSequencer_.markReady(sha256));
    fetchSoundtrack();
}

} // namespace talvorine
