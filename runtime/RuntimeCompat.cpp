#include "runtime/RuntimeCompat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <random>

namespace talvorine {

namespace RuntimeCompat {

namespace {

constexpr qint64 backoffCeilingMs = 300000;
constexpr qint64 holdBaseMs = 60000;
constexpr qint64 minHoldMs = 1000;
constexpr qint64 serverJitterCeilingMs = 30000;
constexpr int maxDelayDigits = 18;
constexpr int maxEntityTagBytes = 256;
constexpr int maxBodyTextChars = 40;

const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int monthNumber(const QString& name)
{
    for (int i = 0; i < 12; ++i) {
        if (name == QLatin1String(months[i]))
            return i + 1;
    }
    return 0;
}

QDateTime utcStamp(int year, int month, int day, int hour, int minute, int second)
{
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

// HTTP dates in the three forms a server may send: IMF-fixdate, RFC 850 and asctime. Day names
// must be well-formed but are not checked against the date.
QDateTime parseHttpDate(const QByteArray& raw, const QDateTime& reference)
{
    static const QString dayAlternatives = QStringLiteral("Mon|Tue|Wed|Thu|Fri|Sat|Sun");
    static const QString longDayAlternatives =
        QStringLiteral("Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday");
    static const QString monthAlternatives =
        QStringLiteral("Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec");
    static const QRegularExpression imfFixdate(QRegularExpression::anchoredPattern(
        QStringLiteral("(?:%1), (\\d{2}) (%2) (\\d{4}) (\\d{2}):(\\d{2}):(\\d{2}) GMT")
            .arg(dayAlternatives, monthAlternatives)));
    static const QRegularExpression rfc850(QRegularExpression::anchoredPattern(
        QStringLiteral("(?:%1), (\\d{2})-(%2)-(\\d{2}) (\\d{2}):(\\d{2}):(\\d{2}) GMT")
            .arg(longDayAlternatives, monthAlternatives)));
    static const QRegularExpression asctime(QRegularExpression::anchoredPattern(
        QStringLiteral("(?:%1) (%2) ([ \\d]\\d) (\\d{2}):(\\d{2}):(\\d{2}) (\\d{4})")
            .arg(dayAlternatives, monthAlternatives)));

    const QString text = QString::fromLatin1(raw.trimmed());
    if (text.isEmpty() || text.size() > 64)
        return {};

    QRegularExpressionMatch m = imfFixdate.match(text);
    if (m.hasMatch()) {
        return utcStamp(m.captured(3).toInt(), monthNumber(m.captured(2)), m.captured(1).toInt(),
                        m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    }
    m = rfc850.match(text);
    if (m.hasMatch()) {
        // Two-digit years: the most recent year with those digits that is not more than 50 years
        // ahead of the reference.
        const int referenceYear = reference.isValid() ? reference.toUTC().date().year()
                                                      : QDateTime::currentDateTimeUtc().date().year();
        int year = referenceYear - referenceYear % 100 + m.captured(3).toInt();
        if (year > referenceYear + 50)
            year -= 100;
        return utcStamp(year, monthNumber(m.captured(2)), m.captured(1).toInt(),
                        m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    }
    m = asctime.match(text);
    if (m.hasMatch()) {
        return utcStamp(m.captured(6).toInt(), monthNumber(m.captured(1)),
                        m.captured(2).trimmed().toInt(), m.captured(3).toInt(),
                        m.captured(4).toInt(), m.captured(5).toInt());
    }
    return {};
}

bool validProblemCode(const QString& code)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-z][a-z0-9_.]{0,79}")));
    return pattern.match(code).hasMatch();
}

bool validReloadId(const QString& id)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_.:-]{1,160}")));
    return pattern.match(id).hasMatch();
}

// A short text member of a problem body; anything else counts as absent.
QString shortBodyText(const QJsonObject& body, const QString& key)
{
    const QJsonValue value = body.value(key);
    if (!value.isString())
        return {};
    const QString text = value.toString();
    return text.size() <= maxBodyTextChars ? text : QString();
}

// The body's own delay, given either as a JSON integer or as decimal text.
qint64 bodyRetryAfterMs(const QJsonObject& body)
{
    const QJsonValue value = body.value(QLatin1String("retry_after_ms"));
    if (value.isString())
        return parseNonNegativeDelayMs(value.toString().toUtf8(), 1);
    if (!value.isDouble())
        return -1;
    const double number = value.toDouble();
    if (!(number >= 0) || number != std::floor(number))
        return -1;
    if (number >= 1e18)
        return maxDelayMs;
    return parseNonNegativeDelayMs(QByteArray::number(qint64(number)), 1);
}

QString statusPrefix(MintKind kind)
{
    switch (kind) {
    case MintKind::DeviceSession:
        return QStringLiteral("device_session");
    case MintKind::IdentityChallenge:
        return QStringLiteral("identity_challenge");
    case MintKind::IdentitySession:
        return QStringLiteral("identity_session");
    case MintKind::Manifest:
        return QStringLiteral("manifest");
    case MintKind::AdEvents:
        return QStringLiteral("ad_events");
    case MintKind::Report:
        return QStringLiteral("report");
    case MintKind::Other:
        break;
    }
    return QStringLiteral("runtime");
}

std::optional<ProblemAction> actionForCode(const QString& code)
{
    if (code == QLatin1String("upgrade_required"))
        return ProblemAction::UpgradeRequired;
    if (code == QLatin1String("screen_archived"))
        return ProblemAction::ClearLkg;
    if (code == QLatin1String("payment_required"))
        return ProblemAction::HoldLkg;
    if (code == QLatin1String("runtime_session_expired") || code == QLatin1String("session_expired"))
        return ProblemAction::Remint;
    if (code == QLatin1String("repair_required"))
        return ProblemAction::Repair;
    if (code == QLatin1String("proof_invalid") || code == QLatin1String("challenge_expired")
        || code == QLatin1String("idempotency_mismatch") || code == QLatin1String("rate_limited"))
        return ProblemAction::RetryBackoff;
    return std::nullopt;
}

bool serverError(int status)
{
    return status >= 500 && status <= 599;
}

ProblemAction actionForStatus(int status, MintKind kind)
{
    if (status == 426)
        return ProblemAction::UpgradeRequired;
    // A device credential that is not accepted is not cured by minting again: hold what plays.
    if (status == 401)
        return kind == MintKind::DeviceSession ? ProblemAction::HoldLkg : ProblemAction::Remint;
    if (status == 402 || status == 403 || status == 404 || status == 410)
        return ProblemAction::HoldLkg;
    if (status == 408 || status == 425 || status == 429 || serverError(status))
        return ProblemAction::RetryBackoff;
    if (status >= 400 && status <= 499)
        return ProblemAction::HoldLkg;
    // Anything else is not a failure the service meant to describe: try again later.
    return ProblemAction::RetryBackoff;
}

// Dotted numeric versions ("26.9.229"); missing components count as 0. Nothing for any other
// form.
std::optional<QList<qint64>> versionParts(const QString& text)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("\\d{1,9}(?:\\.\\d{1,9}){0,15}")));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    QList<qint64> parts;
    for (const QString& part : text.split(QLatin1Char('.')))
        parts.append(part.toLongLong());
    return parts;
}

bool versionAtLeast(const QList<qint64>& version, const QList<qint64>& minimum)
{
    const qsizetype n = std::max(version.size(), minimum.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 a = i < version.size() ? version[i] : 0;
        const qint64 b = i < minimum.size() ? minimum[i] : 0;
        if (a != b)
            return a > b;
    }
    return true;
}

QDateTime parseIsoUtc(const QString& text)
{
    QDateTime stamp = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!stamp.isValid())
        stamp = QDateTime::fromString(text, Qt::ISODate);
    return stamp.isValid() ? stamp.toUTC() : QDateTime();
}

} // namespace

qint64 parseNonNegativeDelayMs(const QByteArray& value, qint64 msPerUnit)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty() || msPerUnit < 1 || text.startsWith('-'))
        return -1;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
    }
    if (text.size() > maxDelayDigits)
        return maxDelayMs;
    qint64 count = 0;
    for (const char c : text)
        count = count * 10 + (c - '0');
    if (count > maxDelayMs / msPerUnit)
        return maxDelayMs;
    return std::min(count * msPerUnit, maxDelayMs);
}

qint64 retryAfterMs(const QByteArray& retryAfter, const QByteArray& date, const QDateTime& nowUtc)
{
    const QByteArray text = retryAfter.trimmed();
    if (text.isEmpty())
        return -1;
    const qint64 seconds = parseNonNegativeDelayMs(text, 1000);
    if (seconds >= 0)
        return seconds;
    QDateTime reference = parseHttpDate(date, nowUtc);
    if (!reference.isValid())
        reference = nowUtc;
    if (!reference.isValid())
        return -1;
    const QDateTime until = parseHttpDate(text, reference);
    if (!until.isValid())
        return -1;
    return std::clamp(reference.msecsTo(until), qint64(0), maxDelayMs);
}

qint64 uniformMs(qint64 low, qint64 high)
{
    if (low >= high)
        return low;
    const quint64 span = quint64(high) - quint64(low);
    std::uniform_int_distribution<quint64> distribution(0, span);
    return qint64(quint64(low) + distribution(*QRandomGenerator::global()));
}

qint64 retryBackoffMs(int attempt, qint64 serverDelayMs)
{
    const int shift = std::min(std::max(attempt, 0), 9);
    const qint64 base = std::min(qint64(1000) << shift, backoffCeilingMs);
    qint64 delay = uniformMs(base / 2, base);
    if (serverDelayMs >= 0) {
        const qint64 server = std::min(serverDelayMs, maxDelayMs);
        const qint64 jitter = uniformMs(0, std::min(server / 5, serverJitterCeilingMs));
        delay = std::max(delay, server + jitter);
    }
    return std::min(delay, maxDelayMs);
}

qint64 holdCadenceMs(int attempt, qint64 serverDelayMs)
{
    const int doublings = std::min(std::max(attempt, 0), 4);
    const qint64 base = std::min(holdBaseMs << doublings, maxDelayMs);
    qint64 delay = uniformMs(base * 3 / 4, base);
    if (serverDelayMs >= 0)
        delay = std::max(delay, serverDelayMs);
    return std::clamp(delay, minHoldMs, maxDelayMs);
}

bool validEntityTag(const QByteArray& tag)
{
    if (tag.isEmpty() || tag.size() > maxEntityTagBytes)
        return false;
    const QByteArray opaque = tag.startsWith("W/") ? tag.mid(2) : tag;
    if (opaque.size() < 2 || !opaque.startsWith('"') || !opaque.endsWith('"'))
        return false;
    for (qsizetype i = 1; i + 1 < opaque.size(); ++i) {
        const auto c = static_cast<unsigned char>(opaque[i]);
        if (c != 0x21 && (c < 0x23 || c > 0x7E))
            return false;
    }
    return true;
}

QString actionName(ProblemAction action)
{
    switch (action) {
    case ProblemAction::RetryBackoff:
        return QStringLiteral("retry_backoff");
    case ProblemAction::HoldLkg:
        return QStringLiteral("hold_lkg");
    case ProblemAction::Remint:
        return QStringLiteral("remint");
    case ProblemAction::Repair:
        return QStringLiteral("repair");
    case ProblemAction::ClearLkg:
        return QStringLiteral("clear_lkg");
    case ProblemAction::UpgradeRequired:
        return QStringLiteral("upgrade_required");
    }
    return {};
}

QString basisName(ProblemBasis basis)
{
    switch (basis) {
    case ProblemBasis::ServerAction:
        return QStringLiteral("server_action");
    case ProblemBasis::ProblemCode:
        return QStringLiteral("problem_code");
    case ProblemBasis::HttpStatus:
        return QStringLiteral("http_status");
    case ProblemBasis::Network:
        return QStringLiteral("network");
    }
    return {};
}

std::optional<ProblemAction> actionFromName(const QString& name)
{
    for (const ProblemAction action :
         {ProblemAction::RetryBackoff, ProblemAction::HoldLkg, ProblemAction::Remint,
          ProblemAction::Repair, ProblemAction::ClearLkg, ProblemAction::UpgradeRequired}) {
        if (name == actionName(action))
            return action;
    }
    return std::nullopt;
}

ProblemDecision decideProblem(int status, const QByteArray& body, const QByteArray& retryAfter,
                              const QByteArray& dateHeader, MintKind kind, const QDateTime& now)
{
    ProblemDecision decision;
    decision.status = std::max(status, 0);

    QJsonObject problem;
    if (!body.isEmpty()) {
        const QJsonDocument document = QJsonDocument::fromJson(body);
        if (document.isObject())
            problem = document.object();
    }
    const QJsonValue codeValue = problem.value(QLatin1String("code"));
    const QString bodyCode =
        codeValue.isString() && validProblemCode(codeValue.toString()) ? codeValue.toString()
                                                                         : QString();
    const QJsonValue actionValue = problem.value(QLatin1String("action"));
    const std::optional<ProblemAction> serverAction =
        actionValue.isString() ? actionFromName(actionValue.toString()) : std::nullopt;
    decision.playerKind = shortBodyText(problem, QStringLiteral("player_kind"));
    decision.minSupported = shortBodyText(problem, QStringLiteral("min_supported"));

    decision.retryAfterMs = RuntimeCompat::retryAfterMs(retryAfter, dateHeader, now);
    if (decision.retryAfterMs < 0)
        decision.retryAfterMs = bodyRetryAfterMs(problem);

    if (!bodyCode.isEmpty())
        decision.code = bodyCode;
    else if (decision.status == 0)
        decision.code = QStringLiteral("runtime_unavailable");
    else
        decision.code = QStringLiteral("%1_http_%2").arg(statusPrefix(kind)).arg(decision.status);

    if (serverAction) {
        decision.action = *serverAction;
        decision.basis = ProblemBasis::ServerAction;
    } else if (const auto byCode = actionForCode(bodyCode)) {
        decision.action = *byCode;
        decision.basis = ProblemBasis::ProblemCode;
    } else if (decision.status == 0) {
        decision.action = ProblemAction::RetryBackoff;
        decision.basis = ProblemBasis::Network;
    } else {
        decision.action = actionForStatus(decision.status, kind);
        decision.basis = ProblemBasis::HttpStatus;
    }
    return decision;
}

bool isTransient(const ProblemDecision& decision)
{
    return decision.action == ProblemAction::RetryBackoff || decision.status == 0
        || decision.status == 408 || decision.status == 429 || serverError(decision.status);
}

std::optional<ReloadRequest> parseReload(const QJsonObject& event)
{
    if (event.value(QLatin1String("type")).toString() != QLatin1String("player.reload"))
        return std::nullopt;
    const QJsonObject details = event.value(QLatin1String("details")).toObject();

    ReloadRequest request;
    request.reloadId = details.value(QLatin1String("reload_id")).toString();
    request.expiresAt = parseIsoUtc(details.value(QLatin1String("expires_at")).toString());

    const QJsonValue kinds = details.value(QLatin1String("kinds"));
    if (kinds.isArray()) {
        for (const QJsonValue& kind : kinds.toArray()) {
            if (kind.isString())
                request.kinds.append(kind.toString());
        }
    } else if (kinds.isString()) {
        request.kinds.append(kinds.toString());
    }
    request.minVersion = details.value(QLatin1String("min_version")).toString();

    const QJsonValue spread = details.value(QLatin1String("spread_s"));
    if (spread.isDouble()) {
        const double seconds = spread.toDouble();
        request.spreadS = seconds <= 0 ? 0
            : seconds >= maxReloadSpreadS ? maxReloadSpreadS
                                          : int(seconds);
    } else {
        request.spreadS = defaultReloadSpreadS;
    }
    return request;
}

ReloadVerdict reloadVerdict(const ReloadRequest& request, const ReloadLedger& ledger,
                            const QDateTime& nowUtc, const QString& playerKind,
                            const QString& playerVersion, const QDateTime& serviceNowUtc)
{
    if (!validReloadId(request.reloadId) || !request.expiresAt.isValid())
        return ReloadVerdict::Invalid;
    if (ledger.contains(request.reloadId))
        return ReloadVerdict::Duplicate;
    // Without a usable clock nothing proves the request is still live.
    const QDateTime& expiryNow = serviceNowUtc.isValid() ? serviceNowUtc : nowUtc;
    if (!expiryNow.isValid() || request.expiresAt <= expiryNow)
        return ReloadVerdict::Expired;
    if (!request.kinds.isEmpty() && !request.kinds.contains(playerKind))
        return ReloadVerdict::OtherKind;
    if (!request.minVersion.isEmpty()) {
        const auto minimum = versionParts(request.minVersion);
        const auto current = versionParts(playerVersion);
        if (minimum && current && versionAtLeast(*current, *minimum))
            return ReloadVerdict::VersionCurrent;
    }
    if (ledger.lastReloadAt.isValid()) {
        // A last reload stamped in the future (the clock was set back) does not block reloads.
        const qint64 sinceLast = ledger.lastReloadAt.msecsTo(nowUtc);
        if (sinceLast >= 0 && sinceLast < reloadMinIntervalMs)
            return ReloadVerdict::RateLimited;
    }
    return ReloadVerdict::Act;
}

QString reloadVerdictName(ReloadVerdict verdict)
{
    switch (verdict) {
    case ReloadVerdict::Act:
        return QStringLiteral("act");
    case ReloadVerdict::Invalid:
        return QStringLiteral("invalid");
    case ReloadVerdict::Duplicate:
        return QStringLiteral("duplicate");
    case ReloadVerdict::Expired:
        return QStringLiteral("expired");
    case ReloadVerdict::OtherKind:
        return QStringLiteral("other_kind");
    case ReloadVerdict::VersionCurrent:
        return QStringLiteral("version_current");
    case ReloadVerdict::RateLimited:
        return QStringLiteral("rate_limited");
    }
    return {};
}

} // namespace RuntimeCompat

} // namespace talvorine
