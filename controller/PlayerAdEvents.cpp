// Ad event reporting: events go into the persistent outbox first and reach the service in
// batches of at most 32, one report at a time, once they are on disk. A report settles only the
// batch it carried; while the transport still carries one, even a batch handed back when the
// player went offline, no other is sent, so the service never sees an event twice. A failed
// report is sent again after the delay the service asked for, or after a growing back-off: an
// outage of the service is not multiplied by every screen asking four times a second.

#include "controller/PlayerController.h"

#include "ads/AdPlanner.h"
#include "app/DevFileLog.h"
#include "controller/PlayerDiagnostics.h"
#include "runtime/RuntimeCompat.h"
#include "storage/Saturating.h"

namespace talvorine {

void PlayerController::enqueueAdEvent(const QString& kind, qint64 durationMs)
{
    AdEventRecord record;
    record.decisionId = adVisitDecision_.decisionId;
    record.occurrenceId = adVisitOccurrenceId_;
    record.kind = kind;
    record.durationMs = std::max<qint64>(durationMs, 0);
    if (adStartedAtMs_ > 0) {
        record.startedAt = QDateTime::fromMSecsSinceEpoch(adStartedAtMs_, Qt::UTC);
        // A closing event ends its duration after its start: the clock read again would not
        // agree with the duration it reports.
        const qint64 elapsedMs =
            record.durationMs > 0 ? record.durationMs : adFirstFrameClock_.elapsedMs();
        record.endedAt =
            QDateTime::fromMSecsSinceEpoch(saturating::add(adStartedAtMs_, elapsedMs), Qt::UTC);
    } else {
        record.endedAt = adEvidenceStamp();
    }
    queueAdEvent(std::move(record));
}

void PlayerController::queueAdEvent(AdEventRecord record)
{
    const QString occurrenceId = record.occurrenceId;
    const QString kind = record.kind;
    const QString eventId = adOutbox_.enqueue(std::move(record));
    DevFileLog::record(QStringLiteral("ad.event.queued"),
                       {{QStringLiteral("event_id"), eventId},
                        {QStringLiteral("occurrence_id"), occurrenceId},
                        {QStringLiteral("kind"), kind}});
    flushAdOutbox();
}

// A visit whose "started" the outbox kept without an end was cut by a stop or a crash: it ends
// as interrupted at the last instant it was known on glass, before anything else is queued.
void PlayerController::endAdVisitCutShort()
{
    const std::optional<AdOutbox::OpenVisit> visit = adOutbox_.openVisit();
    if (!visit)
        return;
    AdEventRecord record;
    record.decisionId = visit->decisionId;
    record.occurrenceId = visit->occurrenceId;
    record.kind = QStringLiteral("interrupted");
    record.startedAt = visit->startedAt;
    record.endedAt = visit->seenAt;
    record.durationMs = std::max<qint64>(visit->startedAt.msecsTo(visit->seenAt), 0);
    queueAdEvent(std::move(record));
}

void PlayerController::flushAdOutbox()
{
    if (!transport_.hasRuntimeSession() || !transport_.adslotsNegotiated() || !online_
        || !adEventBatch_.isEmpty() || adReportOutstanding_
        || transport_.monotonicMs() < adReportNotBeforeMs_)
        return;
    // Events are stamped by the service's clock and judged old by it alone, once a run, as
    // soon as the service has told its time: the machine's clock may be a day off at a start.
    if (const qint64 serviceNowMs = transport_.serviceNowLoMs();
        !adOutboxAged_ && serviceNowMs > 0) {
        adOutboxAged_ = true;
        adOutbox_.dropExpired(serviceNowMs);
    }
    adEventBatch_ = adOutbox_.take(AdPlanner::reportBatch);
    if (adEventBatch_.isEmpty())
        return;
    // Set first: a refusal is answered before reportAdEvents returns.
    adReportOutstanding_ = true;
    transport_.reportAdEvents(adEventBatch_);
}

// Going offline: the batch in flight goes back to the head of the queue. Its answer may still
// come; it then settles nothing but the events it names.
void PlayerController::handBackAdEventBatch()
{
    if (!adEventBatch_.isEmpty())
        adOutbox_.restore(std::exchange(adEventBatch_, {}));
}

void PlayerController::handleAdEventsReported(const QList<AdEventOutcome>& outcomes)
{
    adReportOutstanding_ = false;
    adReportAttempt_ = 0;
    adReportNotBeforeMs_ = 0;
    adOutbox_.commitReported(std::exchange(adEventBatch_, {}), outcomes);
}

void PlayerController::handleAdEventsReportFailed(const QString& code, int status, bool,
                                                  qint64 retryAfterMs)
{
    adReportOutstanding_ = false;
    const QList<AdEventRecord> batch = std::exchange(adEventBatch_, {});
    const bool dropped = AdPlanner::reportRefusedForGood(status);
    if (dropped) {
        adOutbox_.discard(batch);
    } else {
        adOutbox_.restore(batch);
        adReportNotBeforeMs_ = saturating::add(
            transport_.monotonicMs(),
            clampRetryDelayMs(RuntimeCompat::retryBackoffMs(adReportAttempt_++, retryAfterMs)));
    }
    logPlayback(dropped ? "ad_events_report_dropped" : "ad_events_report_failed",
                {{QStringLiteral("code"), code}, {QStringLiteral("status"), QString::number(status)}});
}

} // namespace talvorine
