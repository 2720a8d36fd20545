#pragma once

// The rules every caller of the runtime service relies on: how long to wait after a failure,
// which entity tags may be sent back, what a failed reply asks the player to do, and which
// reload requests to act on.

#include "app/RedirectRule.h"
#include "storage/PersistentStateTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace talvorine {

namespace RuntimeCompat {

// Longest delay any rule here produces: a player never waits more than 15 minutes.
inline constexpr qint64 maxDelayMs = 900000;

// A non-negative decimal count times msPerUnit; -1 when the text is not one, 900000 at most.
qint64 parseNonNegativeDelayMs(const QByteArray& value, qint64 msPerUnit);

// The "Retry-After" header in milliseconds: delta-seconds, or an HTTP date taken relative to the
// reply's "Date" header (else nowUtc). -1 when absent or unusable; 0..900000 otherwise.
qint64 retryAfterMs(const QByteArray& retryAfter, const QByteArray& date, const QDateTime& nowUtc);

// Jittered exponential delay for transient trouble, honouring a server delay when given.
qint64 retryBackoffMs(int attempt, qint64 serverDelayMs);

// Slower cadence for when the service asked the player to hold what it has.
qint64 holdCadenceMs(int attempt, qint64 serverDelayMs);

// Uniformly random in [low, high]; low when the range is empty.
qint64 uniformMs(qint64 low, qint64 high);

// Whether an entity tag may be remembered and sent back in a conditional request.
bool validEntityTag(const QByteArray& tag);

enum class ProblemAction { RetryBackoff, HoldLkg, Remint, Repair, ClearLkg, UpgradeRequired };
enum class ProblemBasis { ServerAction, ProblemCode, HttpStatus, Network };
enum class MintKind {
    DeviceSession,
    IdentityChallenge,
    IdentitySession,
    Manifest,
    AdEvents,
    Report,
    Other
};

struct ProblemDecision {
    ProblemAction action = ProblemAction::RetryBackoff;
    ProblemBasis basis = ProblemBasis::Network;
    int status = 0;
    QString code;
    qint64 retryAfterMs = -1;
    QString playerKind;
    QString minSupported;
};

QString actionName(ProblemAction action);
QString basisName(ProblemBasis basis);
std::optional<ProblemAction> actionFromName(const QString& name);

// What the player does about a failed request (status 0: no HTTP answer at all).
ProblemDecision decideProblem(int status, const QByteArray& body, const QByteArray& retryAfter,
                              const QByteArray& dateHeader, MintKind kind, const QDateTime& now);

// Whether the failure is worth retrying soon: signalled to callers as the transient flag.
bool isTransient(const ProblemDecision& decision);

struct ReloadRequest {
    QString reloadId;
    QDateTime expiresAt;
    QStringList kinds;
    QString minVersion;
    int spreadS = 120;
};

enum class ReloadVerdict { Act, Invalid, Duplicate, Expired, OtherKind, VersionCurrent, RateLimited };

inline constexpr int defaultReloadSpreadS = 120;
inline constexpr int maxReloadSpreadS = 3600;
inline constexpr qint64 reloadMinIntervalMs = 600000;

// A "player.reload" event; nothing for any other event type. Bad fields still give a request,
// which reloadVerdict then calls invalid.
std::optional<ReloadRequest> parseReload(const QJsonObject& event);

// nowUtc is the machine's clock, the one the ledger's stamps are on; the request's expiry is
// the service's and is judged by serviceNowUtc, or by nowUtc when that is invalid.
ReloadVerdict reloadVerdict(const ReloadRequest& request, const ReloadLedger& ledger,
                            const QDateTime& nowUtc, const QString& playerKind,
                            const QString& playerVersion, const QDateTime& serviceNowUtc = {});

QString reloadVerdictName(ReloadVerdict verdict);

} // namespace RuntimeCompat

} // namespace talvorine
