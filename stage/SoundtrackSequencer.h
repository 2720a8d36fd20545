#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace talvorine {

// Decides which soundtrack track plays next. It only ever plays tracks whose files are ready
// (their content hash was marked ready) and answers every event with one command that the
// controller carries out on the audio engine. It owns no audio and no timers.
class SoundtrackSequencer {
public:
    struct Track {
        QString id;
        QString mediaId;
        QString hash;
    };

    struct Cue {
        QString trackId;
        bool restart = false;
    };

    struct Command {
        enum Kind : qint32 { none = 0, play = 1, stop = 2 };

        qint32 kind = none;
        qint32 trackIndex = -1;

        friend bool operator==(const Command&, const Command&) = default;
    };

    Command setSoundtrack(const QList<Track>& tracks, bool loop, const std::optional<Cue>& cue);
    Command markReady(const QString& hash);
    Command pageEntered(const std::optional<Cue>& cue);
    Command trackEnded();
    Command trackFailed();
    Command clear();

    const QList<Track>& tracks() const { return tracks_; }
    qint32 trackCount() const { return qint32(tracks_.size()); }
    qint32 currentIndex() const { return current_; }
    bool loop() const { return loop_; }
    bool waiting() const { return waiting_; }
    bool isReady(const QString& hash) const { return ready_.contains(hash); }

private:
    qint32 indexOf(const QString& trackId) const;
    // First ready track at from, from + 1, ... up to (but excluding) end, taken modulo the
    // track count; -1 when none.
    qint32 firstReady(qint32 from, qint32 end) const;
    Command playIndex(qint32 index);
    // Nothing current any more: stop when a track was playing, else nothing to do.
    Command stopCurrent();

    QList<Track> tracks_;
    bool loop_ = false;
    QSet<QString> ready_;
    qint32 current_ = -1;
    bool waiting_ = false;
    qint32 resumeFrom_ = 0;
};

} // namespace talvorine
