#pragma once

// Ad slots: the record of one ad arrival through its life, and the contracts with the runtime
// service about it. The service's resolve and event-report replies are hostile input and are
// read all or nothing: one bad element refuses the whole reply. Stamps on the wire are ISO 8601
// read as UTC; the player writes them in UTC with milliseconds.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace talvorine {

// One expected arrival of the rotation at an adslot page, from planning to its end.
struct AdOccurrence {
    // Presenting, Visited, Retired and Expired are final: planning never revives them.
    enum State : qint32 {
        Planned = 0,     // waiting until its forecast start is near enough to ask for
        Resolving = 1,   // in the resolve request now in flight
        Empty = 2,       // the service had no ad; kept while the page's hint holds
        Downloading = 3, // filled; creative being fetched, or its ad page staged and not ready
        Ready = 4,       // creative verified in the ad cache, presentation not yet staged
        Presenting = 5,  // on glass
        Visited = 6,     // its visit has ended
        Retired = 7,     // preparation failed; reservation released
        Expired = 8,     // can no longer be played
    };

    // The service's filled decision, as the occurrence keeps it.
    struct Resolved {
        QString decisionId;
        QString reservationId;
        QDateTime startNotBefore;
        QDateTime startBefore; // also the lease horizon for renewals
        QDateTime playbackDeadline;
        QDateTime reportBefore;
        qint64 creativeRevision = 0;
        qint64 durationMs = 0;
        QString kind; // "image" or "video"
        QString sha256;
        QString contentType;
        qint64 bytes = 0;
        QString contentPath;
        QString fit;
        QString codecs;
    };

    QString id; // "occ_" and a fresh UUID
    QString pageId;
    QString adslotId;
    qint32 pageIndex = -1;
    qint64 checkSequence = 1; // a result applies only when its check sequence equals this
    State state = Planned;
    QDateTime forecastAt;
    QDateTime resolvedAt;
    qint32 renewals = 0;
    qint64 lastRenewalMs = 0;
    bool reservationReleased = false;
    std::optional<Resolved> resolved;
};

// One element of the service's resolve reply. The decision fields are filled only for a
// "filled" result; an "empty" one may carry the time until which the page is not worth asking
// for again.
struct AdResolveResult {
    QString occurrenceId;
    qint64 checkSequence = 0;
    QString state; // "empty" or "filled"
    QString decisionId;
    QString reservationId;
    QDateTime startNotBefore;
    QDateTime startBefore;
    QDateTime playbackDeadline;
    QDateTime reportBefore;
    qint64 creativeRevision = 0;
    qint64 durationMs = 0;
    QString kind;
    QString contentType;
    qint64 bytes = 0;
    QString sha256;
    QString contentPath;
    QString fit;
    QString codecs;
    QDateTime hintUntil;
};

struct AdResolveReply {
    QDateTime serverTime;
    QList<AdResolveResult> results; // in reply order
};

// One entry of a resolve request.
struct AdForecastCandidate {
    QString pageId;
    QString occurrenceId;
    qint64 checkSequence = 0;
    QDateTime earliestStartAt;
};

// The service's verdict on one reported ad event.
struct AdEventOutcome {
    QString eventId;
    QString state; // "accepted", "rejected", "duplicate", "pending_evidence" or "unbillable"
};

// The whole reply, or none when any rule is broken.
std::optional<AdResolveReply> parseAdResolveReply(const QByteArray& body);
std::optional<QList<AdEventOutcome>> parseAdEventResults(const QByteArray& body);

// A stamp of 1 to 40 characters in ISO 8601, with or without milliseconds and offset, in UTC;
// invalid otherwise. A stamp without an offset is UTC, whatever the player's own zone.
QDateTime parseAdStamp(const QString& text);
// The stamp in UTC, ISO 8601 with milliseconds ("2026-01-02T03:04:05.678Z"); empty bytes for
// an invalid stamp or one that ISO 8601 cannot write (outside the years 1 to 9999).
QByteArray adStampIso(const QDateTime& stamp);

// Whether the decision may start now, with now known only to lie in [nowLoMs, nowHiMs] on the
// service clock: closed unless it holds for every instant of that band, give or take the slack
// plus 250 ms.
bool adStartWindowOpen(const AdOccurrence::Resolved& decision, qint64 nowLoMs, qint64 nowHiMs,
                       qint64 slackMs);
// How long the decision's start window stays open from nowHiMs, the latest the service's now
// may be, give or take the window's 250 ms: 0 once it has closed, none when it has no end.
std::optional<qint64> adStartWindowLeftMs(const AdOccurrence::Resolved& decision,
                                          qint64 nowHiMs);
// Whether the decision's lease still holds at nowMs: lost after its playback deadline or after
// the time evidence must reach the service.
bool adLeaseStillValid(const AdOccurrence::Resolved& decision, qint64 nowMs);

// Registers the ad types that the runtime client's signals carry.
void registerAdMetaTypes();

} // namespace talvorine

Q_DECLARE_METATYPE(talvorine::AdResolveReply)
Q_DECLARE_METATYPE(talvorine::AdEventOutcome)
