#pragma once

// The persistent queue of ad events. Ad evidence is what the service bills on, so an event
// must survive outages, error answers, restarts and crashes until the service has named it in
// an answer, and must never be reported under two ids. The outbox rewrites its whole file,
// atomically and durably, after every change; events that were handed to the transport when the
// process ended are reported again first at the next start. It also keeps the visit whose
// "started" has no end yet, so that a visit cut by a stop or a crash can still be ended.

#include "ads/AdContracts.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace talvorine {

class CacheIoQueue;

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

// Used on one thread only. Every change is written on that thread, or, once writes go to the
// background, as jobs of a serial queue of its own, in order.
class AdOutbox {
public:
    static constexpr int maxPending = 1000;
    static constexpr int maxBatch = 32;
    static constexpr qint64 expiryMs = 86400000;

    // The system time in milliseconds since the Unix epoch; replaceable for tests.
    using Clock = std::function<qint64()>;

    // An ad visit whose "started" was queued and whose end was not: where it stands on the
    // service's clock from its first frame to the last instant it was known on glass.
    struct OpenVisit {
        QString decisionId;
        QString occurrenceId;
        QDateTime startedAt;
        QDateTime seenAt;

        friend bool operator==(const OpenVisit&, const OpenVisit&) = default;
    };

    // Touches no file; load() reads it.
    explicit AdOutbox(QString path, Clock clock = {});
    // With writes in the background, the newest state is written before the outbox goes.
    ~AdOutbox();
    AdOutbox(const AdOutbox&) = delete;
    AdOutbox& operator=(const AdOutbox&) = delete;

    // From here on every change is written by a job of a background queue: one at a time, in
    // order, a newer state replacing one still waiting for its turn. written is called on this
    // thread after a write that brought newly queued events to disk, once they may be taken.
    void writeInBackground(std::function<void()> written);
    // No write is waiting or running.
    bool settled() const { return !writing_ && !waiting_; }

    // Replaces the whole state from the file; a missing or damaged file gives an empty outbox.
    // Never writes, and drops nothing for age: the stamps are the service's, and the machine's
    // clock at a start (no real-time clock, no time server yet) may be a day off.
    void load();
    // Writes the file atomically and syncs its directory. On failure the previous file stays
    // and error gets "ad_outbox_open_failed", "ad_outbox_write_failed" or
    // "ad_outbox_commit_failed".
    bool save(QString* error) const;
    // save(), logging a failure; the state in memory stays as it is either way.
    void persist();

    // Gives the record a fresh id and the next client sequence, queues it last; the new id. A
    // "started" opens its visit, and any other event of the open visit's occurrence closes it,
    // in the same write.
    QString enqueue(AdEventRecord record);
    // The open visit was still on glass at this instant.
    void markVisitSeen(const QDateTime& at);
    const std::optional<OpenVisit>& openVisit() const { return openVisit_; }
    // Moves up to n (1..32) of the oldest pending records in flight; copies of them. Only
    // records that a write has reached are taken: none is sent before it is on disk.
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
    // Drops records, and an open visit, whose event is more than a day before nowMs, the
    // service's now; written when any went.
    void dropExpired(qint64 nowMs);

    const QString& path() const { return path_; }
    const QList<AdEventRecord>& pending() const { return pending_; }
    const QList<AdEventRecord>& inflight() const { return inflight_; }
    qint64 nextSequence() const { return nextSequence_; }

private:
    // The file's writer, shared with the jobs that write it: a job may outlast the outbox.
    struct Disk;
    struct Encoded {
        AdEventRecord record;
        QByteArray json;
    };
    // One state of the whole file, numbered in the order of the changes.
    struct Snapshot {
        quint64 version = 0;
        QByteArray bytes;
        qint64 lastSequence = 0; // the newest record it holds
        qsizetype pendingCount = 0;
    };

    qint64 nowMs() const;
    void removeIds(const QList<AdEventRecord>& records);
    QByteArray encoded(const QList<AdEventRecord>& records, qint64 nowMs) const;
    Snapshot snapshot() const;
    void startWrite();
    void writeNow(const Snapshot& state);
    void finishWrite(const Snapshot& written, const QString& code);

    QString path_;
    QList<AdEventRecord> pending_;
    QList<AdEventRecord> inflight_;
    qint64 nextSequence_ = 1;
    std::optional<OpenVisit> openVisit_;
    Clock clock_;
    // Each record's JSON from its first write. The whole file is written at every change, and
    // building a thousand JSON objects each time would cost the GUI thread a frame.
    mutable QHash<QString, Encoded> encoded_;
    // Writes: the newest state numbered, the one waiting for its turn, and the newest record
    // that a finished write held (its write attempted, as a failed one is logged and not retried
    // on its own).
    quint64 version_ = 0;
    std::optional<Snapshot> waiting_;
    bool writing_ = false;
    qint64 writtenSequence_ = 0;
    std::shared_ptr<Disk> disk_;
    std::unique_ptr<CacheIoQueue> queue_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::function<void()> written_;
};

} // namespace talvorine
