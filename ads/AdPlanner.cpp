#include "ads/AdPlanner.h"

#include "storage/Saturating.h"

#include <QHash>

#include <algorithm>

namespace talvorine::AdPlanner {

namespace {

using State = AdOccurrence::State;

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("https"))
        return 443;
    if (scheme == QLatin1String("http"))
        return 80;
    return -1;
}

bool pending(State state)
{
    return state < State::Presenting;
}

} // namespace

AdForecastCandidate forecastCandidate(const AdOccurrence& occurrence, qint64 nowMs,
                                      qint64 localNowMs)
{
    const qint64 now = nowMs < 1 ? localNowMs : nowMs;
    const qint64 forecast = occurrence.forecastAt.isValid()
        ? occurrence.forecastAt.toMSecsSinceEpoch()
        : now;
    const qint64 earliest = std::min(std::max(forecast, saturating::sub(now, earliestStartBackMs)),
                                     saturating::add(now, earliestStartAheadMs));
    return {occurrence.pageId, occurrence.id, occurrence.checkSequence,
            QDateTime::fromMSecsSinceEpoch(earliest, Qt::UTC)};
}

PlanOutcome planOccurrences(const QList<AdOccurrence>& current, const Manifest& manifest,
                            const QList<AdPolicy::AdForecastPoint>& forecast,
                            const QString& visitOccurrenceId,
                            const std::function<QString()>& newId)
{
    PlanOutcome outcome;
    QSet<QString> kept;
    QSet<QString> abandoned;
    for (const AdPolicy::AdForecastPoint& point : forecast) {
        if (point.pageIndex < 0 || point.pageIndex >= manifest.pages.size()
            || !AdPolicy::adslotPageEligible(manifest, point.pageIndex, point.atMs))
            continue;
        const Page& page = manifest.pages.at(point.pageIndex);
        // A page forecast twice (a full turn) keeps the occurrence of its first arrival.
        const auto known = std::find_if(outcome.occurrences.cbegin(), outcome.occurrences.cend(),
                                        [&](const AdOccurrence& o) { return o.pageId == page.id; });
        if (known != outcome.occurrences.cend())
            continue;
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(point.atMs, Qt::UTC);
        const auto existing = std::find_if(current.cbegin(), current.cend(),
                                           [&](const AdOccurrence& o) { return o.pageId == page.id; });
        if (existing != current.cend()) {
            const State state = existing->state;
            bool reuse = state == State::Planned || state == State::Resolving
                || state == State::Empty;
            if (state == State::Downloading || state == State::Ready) {
                const QDateTime& startBefore =
                    existing->resolved ? existing->resolved->startBefore : QDateTime();
                reuse = !startBefore.isValid() || startBefore >= at;
                if (!reuse) {
                    outcome.abandoned.append(*existing);
                    abandoned.insert(existing->id);
                }
            }
            if (reuse) {
                AdOccurrence occurrence = *existing;
                occurrence.forecastAt = at;
                outcome.occurrences.append(occurrence);
                kept.insert(occurrence.id);
                continue;
            }
        }
        AdOccurrence occurrence;
        occurrence.id = newId();
        occurrence.pageId = page.id;
        occurrence.adslotId = page.adslotId;
        occurrence.pageIndex = point.pageIndex;
        occurrence.forecastAt = at;
        outcome.occurrences.append(occurrence);
    }
    for (const AdOccurrence& occurrence : current) {
        if (kept.contains(occurrence.id) || abandoned.contains(occurrence.id))
            continue;
        if (occurrence.state == State::Presenting && occurrence.id == visitOccurrenceId)
            outcome.occurrences.append(occurrence);
        else
            outcome.passed.append(occurrence);
    }
    return outcome;
}

bool planningSkippable(const QList<AdOccurrence>& occurrences, bool adActive,
                       const QString& pageOnGlass, const QString& plannedAtPage)
{
    const bool anyPending = std::any_of(occurrences.cbegin(), occurrences.cend(),
                                        [](const AdOccurrence& o) { return pending(o.state); });
    return anyPending && !adActive && pageOnGlass == plannedAtPage;
}

QList<AdForecastCandidate> resolveBatch(const QList<AdOccurrence>& occurrences, qint64 nowMs,
                                        qint64 monotonicMs,
                                        const QHash<QString, qint64>& pageHints)
{
    QList<AdForecastCandidate> batch;
    const qint64 due = saturating::add(nowMs, resolveLeadMs);
    for (const AdOccurrence& occurrence : occurrences) {
        if (occurrence.state == State::Planned && occurrence.forecastAt.isValid()
            && occurrence.forecastAt.toMSecsSinceEpoch() <= due
            && pageHints.value(occurrence.pageId, monotonicMs) <= monotonicMs)
            batch.append(forecastCandidate(occurrence, nowMs, nowMs));
    }
    return batch;
}

RenewalChoice chooseRenewal(const QList<AdOccurrence>& occurrences, qint64 nowMs,
                            const QString& stagedOccurrenceId)
{
    RenewalChoice choice;
    for (int i = 0; i < occurrences.size(); ++i) {
        const AdOccurrence& occurrence = occurrences.at(i);
        const bool staged =
            occurrence.state == State::Downloading && occurrence.id == stagedOccurrenceId;
        if ((occurrence.state != State::Ready && !staged) || !occurrence.resolved
            || !occurrence.resolved->startBefore.isValid())
            continue;
        const qint64 closesIn =
            saturating::sub(occurrence.resolved->startBefore.toMSecsSinceEpoch(), nowMs);
        if (closesIn > renewalLeadMs)
            continue;
        if (occurrence.renewals >= maxRenewals) {
            choice.expire.append(i);
            continue;
        }
        if (occurrence.lastRenewalMs == 0
            || saturating::sub(nowMs, occurrence.lastRenewalMs) >= renewalSpacingMs) {
            choice.renew = i;
            break;
        }
    }
    return choice;
}

AdOccurrence::Resolved decisionOf(const AdResolveResult& result)
{
    AdOccurrence::Resolved decision;
    decision.decisionId = result.decisionId;
    decision.reservationId = result.reservationId;
    decision.startNotBefore = result.startNotBefore;
    decision.startBefore = result.startBefore;
    decision.playbackDeadline = result.playbackDeadline;
    decision.reportBefore = result.reportBefore;
    decision.creativeRevision = result.creativeRevision;
    decision.durationMs = result.durationMs;
    decision.kind = result.kind;
    decision.sha256 = result.sha256;
    decision.contentType = result.contentType;
    decision.bytes = result.bytes;
    decision.contentPath = result.contentPath;
    decision.fit = result.fit;
    decision.codecs = result.codecs;
    return decision;
}

qint64 emptyHoldMs(const AdResolveResult& result, qint64 nowMs)
{
    if (!result.hintUntil.isValid())
        return hintFloorMs;
    return std::clamp(saturating::sub(result.hintUntil.toMSecsSinceEpoch(), nowMs), hintFloorMs,
                      hintCapMs);
}

qint64 retryHoldMs(qint64 retryAfterMs)
{
    return std::max(hintFloorMs, retryAfterMs);
}

bool localWriteFault(const QString& code)
{
    static const QSet<QString> codes{
        QStringLiteral("ad_storage_insufficient"), QStringLiteral("ad_download_open_failed"),
        QStringLiteral("ad_download_write_failed"), QStringLiteral("cache_directory_create_failed"),
        QStringLiteral("cache_open_failed"), QStringLiteral("cache_write_failed")};
    return codes.contains(code);
}

qint64 localFaultHoldMs(int repeats)
{
    qint64 hold = hintFloorMs;
    for (int i = 1; i < repeats && hold < localFaultHoldCapMs; ++i)
        hold *= 2;
    return std::min(hold, localFaultHoldCapMs);
}

QSet<QString> cacheKeepSet(const QList<AdOccurrence>& occurrences, const QString& visitDigest)
{
    QSet<QString> keep;
    if (!visitDigest.isEmpty())
        keep.insert(visitDigest);
    for (const AdOccurrence& occurrence : occurrences) {
        if (!occurrence.resolved)
            continue;
        const State state = occurrence.state;
        const bool held = (state == State::Planned || state == State::Resolving
                           || state == State::Downloading || state == State::Ready)
            && !occurrence.reservationReleased;
        if (state == State::Presenting || held)
            keep.insert(occurrence.resolved->sha256);
    }
    return keep;
}

std::optional<QUrl> contentUrl(const QUrl& origin, const QString& contentPath)
{
    static const QString prefix = QStringLiteral("/content/v1/ad-decisions/");
    const QUrl url = origin.resolved(QUrl(contentPath, QUrl::TolerantMode));
    if (!url.isValid() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty()
        || url.scheme() != origin.scheme()
        || url.host(QUrl::FullyDecoded) != origin.host(QUrl::FullyDecoded)
        || url.port(defaultPort(url.scheme())) != origin.port(defaultPort(origin.scheme())))
        return std::nullopt;
    // Decoded, "%2F" would pass the prefix test and then reach the service as another path.
    const QString encoded = url.path(QUrl::FullyEncoded);
    if (encoded.contains(QLatin1String("%2F"), Qt::CaseInsensitive)
        || encoded.contains(QLatin1String("%5C"), Qt::CaseInsensitive)
        || !url.path(QUrl::FullyDecoded).startsWith(prefix))
        return std::nullopt;
    return url;
}

bool reportRefusedForGood(int status)
{
    return status == 400 || status == 403 || status == 404 || status == 413;
}

} // namespace talvorine::AdPlanner
