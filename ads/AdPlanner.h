#pragma once

// The planner's rules, apart from the controller that acts on them: which occurrences a
// forecast keeps, which it abandons or passes, what a resolve batch holds, which lease is
// renewed next, what the ad cache must keep, where a creative may be fetched from, and which
// failed reports are dropped for good. Nothing here touches the network, the outbox or the
// cache; every time is given.

#include "ads/AdContracts.h"
#include "ads/AdPolicy.h"
#include "manifest/Manifest.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace talvorine::AdPlanner {

// An occurrence is asked for once its forecast start is this close.
constexpr qint64 resolveLeadMs = 10000;
// "earliest_start_at" stays within [now - back, now + ahead].
constexpr qint64 earliestStartBackMs = 2000;
constexpr qint64 earliestStartAheadMs = 15000;
// An empty answer's hint never holds longer than this on the service's clock.
constexpr qint64 hintCapMs = 30000;
// A lease is renewed once its start window closes within this, at most this often and this
// many times per decision.
constexpr qint64 renewalLeadMs = 10000;
constexpr qint64 renewalSpacingMs = 10000;
constexpr qint32 maxRenewals = 8;
// Nor is a page asked for again sooner than this, the spacing renewals keep: an empty answer
// without a hint, or with one already past, a failed resolve or an answer that left the page
// out would otherwise have it asked for at every tick.
constexpr qint64 hintFloorMs = renewalSpacingMs;
// The ad cache's size and the free space it leaves.
constexpr qint64 cacheMaxBytes = 268435456;
constexpr qint64 cacheMinFreeBytes = 268435456;
// Events per report.
constexpr int reportBatch = 32;

// The request entry of an occurrence. Without a service clock (nowMs < 1) the local clock
// stands in, so that the service still gets a start near its own now.
AdForecastCandidate forecastCandidate(const AdOccurrence& occurrence, qint64 nowMs,
                                      qint64 localNowMs);

// One planning pass over a forecast.
struct PlanOutcome {
    QList<AdOccurrence> occurrences; // the new list, one occurrence per forecast page
    // Dropped from the list; each is released. Abandoned: a ready decision that must start
    // before the page's new arrival. Passed: a page no longer forecast.
    QList<AdOccurrence> abandoned;
    QList<AdOccurrence> passed;
};
// visitOccurrenceId: the occurrence on glass, which survives a pass that no longer forecasts it.
// newId gives each new occurrence its id.
PlanOutcome planOccurrences(const QList<AdOccurrence>& current, const Manifest& manifest,
                            const QList<AdPolicy::AdForecastPoint>& forecast,
                            const QString& visitOccurrenceId,
                            const std::function<QString()>& newId);

// Nothing can have changed: something is still pending, no ad is on glass, and the page on
// glass is the one planning last saw.
bool planningSkippable(const QList<AdOccurrence>& occurrences, bool adActive,
                       const QString& pageOnGlass, const QString& plannedAtPage);

// The Planned occurrences due for a resolve at nowMs, in list order, but for pages whose hint
// still holds (pageHints: until when, on the monotonic clock at monotonicMs, each page is not
// asked for).
QList<AdForecastCandidate> resolveBatch(const QList<AdOccurrence>& occurrences, qint64 nowMs,
                                        qint64 monotonicMs,
                                        const QHash<QString, qint64>& pageHints);

// Ready decisions, and the one staged on the idle stage, whose start window closes soon: those
// that used up their renewals expire; the first other one not renewed within the spacing is
// renewed (-1: none).
struct RenewalChoice {
    QList<int> expire;
    int renew = -1;
};
RenewalChoice chooseRenewal(const QList<AdOccurrence>& occurrences, qint64 nowMs,
                            const QString& stagedOccurrenceId);

// The decision of a filled result.
AdOccurrence::Resolved decisionOf(const AdResolveResult& result);

// How long an empty page is not asked for again: its hint, from the service's now, held to
// [floor, cap], or the floor when the result gave none.
qint64 emptyHoldMs(const AdResolveResult& result, qint64 nowMs);

// How long a page whose resolve failed, or that the answer left out, is not asked for again: the
// floor, or the delay the service asked for when longer.
qint64 retryHoldMs(qint64 retryAfterMs);

// A creative this machine could not write: its download or its copy into the ad cache failed
// here, or the volume had no room for it. The service would fill the page again at once, and the
// write would fail again.
bool localWriteFault(const QString& code);

// How long a page is not asked for again after the creative of its decision could not be
// written, the repeats-th time in a row (1 the first): the floor, doubled at each repeat, up to
// the cap.
constexpr qint64 localFaultHoldCapMs = 300000;
qint64 localFaultHoldMs(int repeats);

// The creatives the ad cache must keep: the one on glass, those presenting, and those of
// pending decisions whose reservation still holds.
QSet<QString> cacheKeepSet(const QList<AdOccurrence>& occurrences, const QString& visitDigest);

// Where a creative is fetched: its content path on the service's own origin (scheme, host and
// effective port) under "/content/v1/ad-decisions/", without query, fragment, user-info or
// encoded slashes and backslashes; none otherwise.
std::optional<QUrl> contentUrl(const QUrl& origin, const QString& contentPath);

// A failed report whose batch the service will never take: dropped instead of sent again.
bool reportRefusedForGood(int status);

} // namespace talvorine::AdPlanner
