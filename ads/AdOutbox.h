#pragma once

// The persistent queue of ad events. Ad evidence is what the service bills on, so an event
// must survive outages, error answers, restarts and crashes until the service has named it in
// an answer, and must never be reported under two ids. The outbox rewrites its whole file,
// atomically and durably, after every change; events that were handed to the transport when the
// process ended are reported again first at the next start.

#include "ads/AdContracts.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

namespace talvorine {

// One ad playback event.
struct AdEventRecord {
    QString eventId; // "evt_" and a random UUID, given by the outbox
    QString decisionId;
    QString occurrenceId;
    QString kind; // "started", "completed", "skipped", "interrupted" or "failed"
    qint64 clientSequence = 0; // 1 and up, given by the outbox
    QDateTime startedAt;       // the ad's first visible frame; invalid when there was none
    QDateTime endedAt;         // the event itself; also its age for expiry
    qint64 durationMs = 0;

    friend bool operator==(const AdEventRecord&, const AdEventRecord&) = default;
};

// Used on the GUI thread only; every change is written synchronously on the calling thread.
class AdOutbox {
public:
    static constexpr int maxPending = 1000;
    static constexpr int maxBatch = 32;
    static constexpr qint64 expiryMs = 86400000;

    // The system time in milliseconds since the Unix epoch; replaceable for tests.
    using Clock = std::function<qint64()>;

    // Touches no file; load() reads it.
    explicit AdOutbox(QString path, Clock clock = {});

    // Replaces the whole state from the file; a missing or damaged file gives an empty outbox.
    // Never writes.
    void load();
    // Writes the file atomically and syncs its directory. On failure the previous file stays
    // and error gets "ad_outbox_open_failed", "ad_outbox_write_failed" or
    // "ad_outbox_commit_failed".
    bool save(QString* error) const;
    // save(), logging a failure; the state in memory stays as it is either way.
    void persist();

    // Gives the record a fresh id and the next client sequence, queues it last; the new id.
    QString enqueue(AdEventRecord record);
    // Moves up to n (1..32) of the oldest pending records in flight; copies of them.
    QList<AdEventRecord> take(int n);
    // Forgets the records with these ids.
    void discard(const QList<AdEventRecord>& records);
    // Puts the records back at the head of the pending queue, in their order.
    void restore(const QList<AdEventRecord>& records);
    // Settles a report: every event the service named leaves, whatever its verdict; the rest of
    // the batch goes back to the head. No outcome at all hands the whole batch back.
    void commitReported(const QList<AdEventRecord>& batch, const QList<AdEventOutcome>& outcomes);
    // At most 1000 pending records: the oldest go first.
    void enforceBound();
    // Drops records whose event is more than a day old.
    void dropExpired();

    const QString& path() const { return path_; }
    const QList<AdEventRecord>& pending() const { return pending_; }
    const QList<AdEventRecord>& inflight() const { return inflight_; }
    qint64 nextSequence() const { return nextSequence_; }

private:
    struct Encoded {
        AdEventRecord record;
        QByteArray json;
    };

    qint64 nowMs() const;
    void removeIds(const QList<AdEventRecord>& records);
    QByteArray encoded(const QList<AdEventRecord>& records, qint64 nowMs) const;

    QString path_;
    QList<AdEventRecord> pending_;
    QList<AdEventRecord> inflight_;
    qint64 nextSequence_ = 1;
    Clock clock_;
    // Each record's JSON from its first write. The whole file is written at every change, and
    // building a thousand JSON objects each time would cost the GUI thread a frame.
    mutable QHash<QString, Encoded> encoded_;
};

} // namespace talvorine
