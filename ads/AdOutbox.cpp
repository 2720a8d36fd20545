#include "ads/AdOutbox.h"

#include "app/DevFileLog.h"
#include "storage/ContentCache.h"
#include "storage/Saturating.h"
#include "storage/StorageFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace talvorine {

namespace {

// Far above what 1000 pending records and a batch in flight take; a larger file is damaged.
constexpr qint64 fileByteLimit = 64 * 1024 * 1024;

bool knownKind(const QString& kind)
{
    return kind == QLatin1String("started") || kind == QLatin1String("completed")
        || kind == QLatin1String("skipped") || kind == QLatin1String("interrupted")
        || kind == QLatin1String("failed");
}

QJsonObject eventJson(const AdEventRecord& record, qint64 nowMs)
{
    QJsonObject object{{QStringLiteral("event_id"), record.eventId},
                       {QStringLiteral("decision_id"), record.decisionId},
                       {QStringLiteral("occurrence_id"), record.occurrenceId},
                       {QStringLiteral("kind"), record.kind},
                       {QStringLiteral("client_sequence"), record.clientSequence},
                       {QStringLiteral("duration_ms"), record.durationMs},
                       {QStringLiteral("queued_at_ms"),
                        record.endedAt.isValid() ? record.endedAt.toMSecsSinceEpoch() : nowMs}};
    if (record.startedAt.isValid())
        object.insert(QStringLiteral("started_at_ms"), record.startedAt.toMSecsSinceEpoch());
    if (record.endedAt.isValid())
        object.insert(QStringLiteral("ended_at_ms"), record.endedAt.toMSecsSinceEpoch());
    return object;
}

QString textOf(const QJsonObject& object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

QDateTime instantOf(const QJsonObject& object, QLatin1String key)
{
    return QDateTime::fromMSecsSinceEpoch(object.value(key).toInteger(0), Qt::UTC);
}

std::optional<AdEventRecord> eventFromJson(const QJsonObject& object)
{
    AdEventRecord record;
    record.eventId = textOf(object, QLatin1String("event_id"));
    record.decisionId = textOf(object, QLatin1String("decision_id"));
    record.occurrenceId = textOf(object, QLatin1String("occurrence_id"));
    record.kind = textOf(object, QLatin1String("kind"));
    record.clientSequence = object.value(QLatin1String("client_sequence")).toInteger(-1);
    record.durationMs = object.value(QLatin1String("duration_ms")).toInteger(0);
    record.endedAt = instantOf(object, QLatin1String("queued_at_ms"));
    if (object.contains(QLatin1String("started_at_ms")))
        record.startedAt = instantOf(object, QLatin1String("started_at_ms"));
    if (object.contains(QLatin1String("ended_at_ms")))
        record.endedAt = instantOf(object, QLatin1String("ended_at_ms"));
    if (record.eventId.isEmpty() || record.decisionId.isEmpty() || !knownKind(record.kind)
        || record.clientSequence < 1 || !record.endedAt.isValid())
        return std::nullopt;
    return record;
}

QList<AdEventRecord> recordsOf(const QJsonValue& value)
{
    QList<AdEventRecord> records;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isObject())
            continue;
        if (std::optional<AdEventRecord> record = eventFromJson(element.toObject()))
            records.append(std::move(*record));
    }
    return records;
}

bool validFormat(const QJsonValue& format)
{
    if (!format.isDouble())
        return false;
    const double number = format.toDouble();
    return std::isfinite(number) && number == std::floor(number) && number >= 1;
}

QSet<QString> idsOf(const QList<AdEventRecord>& records)
{
    QSet<QString> ids;
    ids.reserve(records.size());
    for (const AdEventRecord& record : records)
        ids.insert(record.eventId);
    return ids;
}

void removeIn(QList<AdEventRecord>& records, const QSet<QString>& ids)
{
    records.removeIf([&ids](const AdEventRecord& record) { return ids.contains(record.eventId); });
}

void keepNewest(QList<AdEventRecord>& pending, qsizetype bound)
{
    if (pending.size() > bound)
        pending.remove(0, pending.size() - bound);
}

std::optional<AdOutbox::OpenVisit> openVisitFromJson(const QJsonValue& value)
{
    const QJsonObject object = value.toObject();
    AdOutbox::OpenVisit visit{textOf(object, QLatin1String("decision_id")),
                              textOf(object, QLatin1String("occurrence_id")),
                              instantOf(object, QLatin1String("started_at_ms")),
                              instantOf(object, QLatin1String("seen_at_ms"))};
    if (visit.decisionId.isEmpty() || visit.occurrenceId.isEmpty())
        return std::nullopt;
    return visit;
}

QByteArray openVisitJson(const AdOutbox::OpenVisit& visit)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("decision_id"), visit.decisionId},
                                     {QStringLiteral("occurrence_id"), visit.occurrenceId},
                                     {QStringLiteral("started_at_ms"),
                                      visit.startedAt.toMSecsSinceEpoch()},
                                     {QStringLiteral("seen_at_ms"), visit.seenAt.toMSecsSinceEpoch()}})
        .toJson(QJsonDocument::Compact);
}

// The file holds no secret and keeps the mode a new file gets. Its directory is synced, so that
// after a power cut the file is neither lost nor back at a state whose events the service has
// already taken. The code of a failure; empty when written.
QString writeFile(const QString& path, const QByteArray& bytes)
{
    StorageFiles::WriteRules rules;
    rules.mode = StorageFiles::FileMode::CreationDefault;
    switch (StorageFiles::writeFileAtomically(path, bytes, rules)) {
    case StorageFiles::WriteFailure::None:
        return {};
    case StorageFiles::WriteFailure::Open:
        return QStringLiteral("ad_outbox_open_failed");
    case StorageFiles::WriteFailure::Write:
        return QStringLiteral("ad_outbox_write_failed");
    case StorageFiles::WriteFailure::Commit:
        return QStringLiteral("ad_outbox_commit_failed");
    }
    return QStringLiteral("ad_outbox_write_failed");
}

} // namespace

struct AdOutbox::Disk {
    std::mutex mutex;
    quint64 version = 0; // of the newest state written, or tried

    // Writes one state unless a newer one got there first: a job that lost its turn to the
    // outbox's last write must not put an older state back.
    QString write(const QString& path, quint64 stateVersion, const QByteArray& bytes)
    {
        const std::lock_guard lock(mutex);
        if (stateVersion < version)
            return {};
        version = stateVersion;
        return writeFile(path, bytes);
    }
};

AdOutbox::AdOutbox(QString path, Clock clock)
    : path_(std::move(path))
    , clock_(std::move(clock))
    , disk_(std::make_shared<Disk>())
{
}

AdOutbox::~AdOutbox()
{
    if (!queue_)
        return;
    cancel_->store(true, std::memory_order_release);
    // The jobs left are dropped; the newest state is written here instead, after a write still
    // running, which is not interrupted half way.
    if (!settled())
        writeNow(snapshot());
}

void AdOutbox::writeInBackground(std::function<void()> written)
{
    queue_ = std::make_unique<CacheIoQueue>(1);
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    written_ = std::move(written);
}

qint64 AdOutbox::nowMs() const
{
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

void AdOutbox::load()
{
    pending_.clear();
    inflight_.clear();
    nextSequence_ = 1;
    openVisit_.reset();
    writtenSequence_ = 0;

    const std::optional<QByteArray> bytes = StorageFiles::readRegularFile(path_, fileByteLimit);
    if (!bytes)
        return;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return;
    const QJsonObject root = document.object();
    if (!validFormat(root.value(QLatin1String("format"))))
        return;

    // What was in flight when the file was written was never settled: it goes out again first.
    QSet<QString> seen;
    qint64 largestSequence = 0;
    for (const QList<AdEventRecord>& list : {recordsOf(root.value(QLatin1String("inflight"))),
                                             recordsOf(root.value(QLatin1String("events")))}) {
        for (const AdEventRecord& record : list) {
            if (seen.contains(record.eventId))
                continue;
            seen.insert(record.eventId);
            largestSequence = std::max(largestSequence, record.clientSequence);
            pending_.append(record);
        }
    }
    const qint64 stored = root.value(QLatin1String("next_sequence")).toInteger(1);
    nextSequence_ = std::max(stored, saturating::add(largestSequence, 1));
    openVisit_ = openVisitFromJson(root.value(QLatin1String("open_visit")));

    keepNewest(pending_, maxPending);
    // All of it is on disk already.
    writtenSequence_ = nextSequence_ - 1;
}

QByteArray AdOutbox::encoded(const QList<AdEventRecord>& records, qint64 nowMs) const
{
    QByteArray json;
    for (const AdEventRecord& record : records) {
        auto known = encoded_.find(record.eventId);
        if (known == encoded_.end() || !(known->record == record)) {
            known = encoded_.insert(record.eventId,
                                    {record, QJsonDocument(eventJson(record, nowMs))
                                                 .toJson(QJsonDocument::Compact)});
        }
        if (!json.isEmpty())
            json += ',';
        json += known->json;
    }
    return json;
}

AdOutbox::Snapshot AdOutbox::snapshot() const
{
    // The compact form of {"events", "format", "inflight", "next_sequence", "open_visit"},
    // members in the order a JSON document writes them.
    const qint64 now = nowMs();
    QByteArray bytes = "{\"events\":[" + encoded(pending_, now) + "],\"format\":1,\"inflight\":["
        + encoded(inflight_, now) + "],\"next_sequence\":" + QByteArray::number(nextSequence_);
    if (openVisit_)
        bytes += ",\"open_visit\":" + openVisitJson(*openVisit_);
    bytes += '}';
    if (encoded_.size() > pending_.size() + inflight_.size() + maxBatch) {
        QSet<QString> live;
        for (const QList<AdEventRecord>* list : {&pending_, &inflight_}) {
            for (const AdEventRecord& record : *list)
                live.insert(record.eventId);
        }
        encoded_.removeIf([&live](const auto& entry) { return !live.contains(entry.key()); });
    }
    return {version_, std::move(bytes), nextSequence_ - 1, pending_.size()};
}

bool AdOutbox::save(QString* error) const
{
    const QString code = disk_->write(path_, version_, snapshot().bytes);
    if (code.isEmpty())
        return true;
    if (error)
        *error = code;
    return false;
}

void AdOutbox::persist()
{
    ++version_;
    if (!queue_) {
        writeNow(snapshot());
        return;
    }
    // Each write holds the whole state: one still waiting for its turn is replaced, not kept.
    waiting_ = snapshot();
    startWrite();
}

void AdOutbox::startWrite()
{
    if (writing_ || !waiting_)
        return;
    const Snapshot state = *std::exchange(waiting_, std::nullopt);
    writing_ = true;
    // The job only carries the outbox to its continuation, which runs on this thread.
    const bool queued = queue_->submit(cancel_, [this, disk = disk_, path = path_, state] {
        const QString code = disk->write(path, state.version, state.bytes);
        return std::function<void()>([this, state, code] {
            writing_ = false;
            const bool fresh = state.lastSequence > writtenSequence_;
            finishWrite(state, code);
            startWrite();
            if (fresh && written_)
                written_();
        });
    });
    if (!queued) {
        writing_ = false;
        writeNow(state);
    }
}

void AdOutbox::writeNow(const Snapshot& state)
{
    finishWrite(state, disk_->write(path_, state.version, state.bytes));
}

void AdOutbox::finishWrite(const Snapshot& written, const QString& code)
{
    writtenSequence_ = std::max(writtenSequence_, written.lastSequence);
    if (code.isEmpty())
        return;
    DevFileLog::record(QStringLiteral("ad.outbox.persist_failed"),
                       QJsonObject{{QStringLiteral("code"), code},
                                   {QStringLiteral("events"), QString::number(written.pendingCount)}});
}

QString AdOutbox::enqueue(AdEventRecord record)
{
    record.eventId = QStringLiteral("evt_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.clientSequence = nextSequence_;
    nextSequence_ = saturating::add(nextSequence_, 1);
    if (record.kind == QLatin1String("started"))
        openVisit_ = OpenVisit{record.decisionId, record.occurrenceId,
                               record.startedAt.isValid() ? record.startedAt : record.endedAt,
                               record.endedAt};
    else if (openVisit_ && openVisit_->occurrenceId == record.occurrenceId)
        openVisit_.reset();
    pending_.append(std::move(record));
    keepNewest(pending_, maxPending);
    persist();
    return pending_.constLast().eventId;
}

void AdOutbox::markVisitSeen(const QDateTime& at)
{
    if (!openVisit_ || !at.isValid() || at <= openVisit_->seenAt)
        return;
    openVisit_->seenAt = at;
    persist();
}

QList<AdEventRecord> AdOutbox::take(int n)
{
    // Records handed back lead the queue and were written long ago; the newest may still wait
    // for their write.
    const auto unwritten = std::find_if(pending_.cbegin(), pending_.cend(), [this](const auto& r) {
        return r.clientSequence > writtenSequence_;
    });
    const qsizetype count = std::min<qsizetype>(unwritten - pending_.cbegin(),
                                                std::clamp(n, 1, maxBatch));
    // Nothing moves, so there is nothing to write: the planner asks several times a second.
    if (count == 0)
        return {};
    QList<AdEventRecord> batch = pending_.mid(0, count);
    pending_.remove(0, count);
    inflight_.append(batch);
    persist();
    return batch;
}

void AdOutbox::removeIds(const QList<AdEventRecord>& records)
{
    const QSet<QString> ids = idsOf(records);
    removeIn(pending_, ids);
    removeIn(inflight_, ids);
}

void AdOutbox::discard(const QList<AdEventRecord>& records)
{
    if (records.isEmpty())
        return;
    removeIds(records);
    persist();
}

void AdOutbox::restore(const QList<AdEventRecord>& records)
{
    if (records.isEmpty())
        return;
    removeIds(records);
    QList<AdEventRecord> head;
    head.reserve(records.size() + pending_.size());
    QSet<QString> seen;
    for (const AdEventRecord& record : records) {
        if (!seen.contains(record.eventId)) {
            seen.insert(record.eventId);
            head.append(record);
        }
    }
    head.append(std::move(pending_));
    pending_ = std::move(head);
    keepNewest(pending_, maxPending);
    persist();
}

void AdOutbox::commitReported(const QList<AdEventRecord>& batch,
                              const QList<AdEventOutcome>& outcomes)
{
    if (outcomes.isEmpty()) {
        restore(batch);
        return;
    }
    QSet<QString> answered;
    answered.reserve(outcomes.size());
    for (const AdEventOutcome& outcome : outcomes)
        answered.insert(outcome.eventId);
    removeIn(pending_, answered);
    removeIn(inflight_, answered);
    QList<AdEventRecord> unanswered;
    for (const AdEventRecord& record : batch) {
        if (!answered.contains(record.eventId))
            unanswered.append(record);
    }
    // restore() writes the whole state; writing it once more would change nothing.
    if (unanswered.isEmpty())
        persist();
    else
        restore(unanswered);
}

void AdOutbox::enforceBound()
{
    keepNewest(pending_, maxPending);
}

void AdOutbox::dropExpired(qint64 nowMs)
{
    const qint64 cutoff = saturating::sub(nowMs, expiryMs);
    const auto expired = [cutoff](const AdEventRecord& record) {
        return record.endedAt.isValid() && record.endedAt.toMSecsSinceEpoch() < cutoff;
    };
    qsizetype dropped = pending_.removeIf(expired) + inflight_.removeIf(expired);
    if (openVisit_ && openVisit_->seenAt.toMSecsSinceEpoch() < cutoff) {
        openVisit_.reset();
        ++dropped;
    }
    if (dropped > 0)
        persist();
}

} // namespace talvorine
