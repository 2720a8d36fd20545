#include "stage/SoundtrackSequencer.h"

namespace talvorine {

qint32 SoundtrackSequencer::indexOf(const QString& trackId) const
{
    for (qint32 i = 0; i < trackCount(); ++i) {
        if (tracks_.at(i).id == trackId)
            return i;
    }
    return -1;
}

qint32 SoundtrackSequencer::firstReady(qint32 from, qint32 end) const
{
    const qint32 count = trackCount();
    if (count == 0)
        return -1;
    for (qint32 step = from; step < end; ++step) {
        const qint32 index = ((step % count) + count) % count;
        if (ready_.contains(tracks_.at(index).hash))
            return index;
    }
    return -1;
}

SoundtrackSequencer::Command SoundtrackSequencer::playIndex(qint32 index)
{
    current_ = index;
    waiting_ = false;
    return {Command::play, index};
}

SoundtrackSequencer::Command SoundtrackSequencer::stopCurrent()
{
    const bool wasPlaying = current_ >= 0;
    current_ = -1;
    return wasPlaying ? Command{Command::stop, -1} : Command{};
}

SoundtrackSequencer::Command SoundtrackSequencer::setSoundtrack(const QList<Track>& tracks,
                                                                bool loop,
                                                                const std::optional<Cue>& cue)
{
    tracks_ = tracks;
    loop_ = loop;
    if (tracks_.isEmpty()) {
        waiting_ = false;
        resumeFrom_ = 0;
        return stopCurrent();
    }
    qint32 start = cue ? indexOf(cue->trackId) : -1;
    if (start < 0)
        start = 0;
    const qint32 found = firstReady(start, start + trackCount());
    if (found >= 0)
        return playIndex(found);
    waiting_ = true;
    resumeFrom_ = start;
    return stopCurrent();
}

SoundtrackSequencer::Command SoundtrackSequencer::markReady(const QString& hash)
{
    ready_.insert(hash);
    if (!waiting_ || tracks_.isEmpty())
        return {};
    const qint32 found = firstReady(resumeFrom_, resumeFrom_ + trackCount());
    return found >= 0 ? playIndex(found) : Command{};
}

SoundtrackSequencer::Command SoundtrackSequencer::pageEntered(const std::optional<Cue>& cue)
{
    if (!cue)
        return {};
    const qint32 index = indexOf(cue->trackId);
    if (index < 0 || !ready_.contains(tracks_.at(index).hash))
        return {};
    if (index == current_ && !cue->restart)
        return {};
    return playIndex(index);
}

SoundtrackSequencer::Command SoundtrackSequencer::trackEnded()
{
    if (current_ < 0)
        return {};
    // Looping searches through the current track itself last, so a lone track repeats.
    const qint32 end = loop_ ? current_ + 1 + trackCount() : trackCount();
    const qint32 found = firstReady(current_ + 1, end);
    if (found >= 0)
        return playIndex(found);
    waiting_ = false;
    return stopCurrent();
}

SoundtrackSequencer::Command SoundtrackSequencer::trackFailed()
{
    if (current_ < 0 || current_ >= trackCount())
        return {};
    const qint32 failed = current_;
    // The failed file is refetched and verified before it may play again; keeping its hash
    // would replay a lone looping track that cannot start in a tight loop.
    ready_.remove(tracks_.at(failed).hash);
    const qint32 end = loop_ ? failed + 1 + trackCount() : trackCount();
    const qint32 found = firstReady(failed + 1, end);
    if (found >= 0)
        return playIndex(found);
    // Nothing left to play: wait, so that the refetched file restarts playback where it failed.
    waiting_ = true;
    resumeFrom_ = failed;
    return stopCurrent();
}

SoundtrackSequencer::Command SoundtrackSequencer::clear()
{
    tracks_.clear();
    ready_.clear();
    waiting_ = false;
    resumeFrom_ = 0;
    return stopCurrent();
}

} // namespace talvorine
