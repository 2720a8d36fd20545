#include "overlay/OverlayPolicy.h"

#include <QSet>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

namespace talvorine {

namespace overlay {

namespace {

const QString archivedId = QStringLiteral("archived");
const QString screenArchivedReport = QStringLiteral("runtime.screen_archived");
const QString assignmentHeldReport = QStringLiteral("runtime.assignment_held");
const QString reportLevel = QStringLiteral("warning");

bool suppressedPhase(const QString& phase)
{
    return phase == QLatin1String("starting") || phase == QLatin1String("pairing")
        || phase == QLatin1String("fatal");
}

// The ids whose activation rule holds. Computed in every phase; the contract decides which of
// them exist and in which order they matter.
QSet<QString> activeByRule(const OverlayInput& input, const OverlayContractData& contract,
                           bool suppressed)
{
    const auto fault = [&](const char* name) { return input.faults.contains(QLatin1String(name)); };
    const bool updating = input.updateProgress && input.updatePending;
    const qint64 pendingMs = updating ? input.updateProgress->elapsedMs : 0;
    const bool updateHeld = updating && input.updateProgress->held;
    const bool degraded = input.phase == QLatin1String("degraded");
    const std::optional<qint64>& balance = input.creditBalance;

    const bool archived = fault("screen_archived");
    const bool repairNeeded = fault("repair") || input.repairNeeded;
    const bool paymentRequired = fault("payment_required")
        || (balance && *balance < 1 && input.nowMs >= contract.enforcementAtMs);
    const bool verifyFail = fault("verify");
    const bool storageFull = fault("storage");
    const bool decodeUnplayable = fault("decode") && !input.playing;
    const bool unavailable = degraded
        && !(paymentRequired || verifyFail || storageFull || archived || input.showingContent
             || repairNeeded || decodeUnplayable);

    const std::pair<const char*, bool> rules[] = {
        {"archived", archived},
        {"repair_needed", repairNeeded},
        {"payment_required", paymentRequired},
        {"session_revoked", fault("session") && input.showingContent},
        {"verify_fail", verifyFail},
        {"storage_full", storageFull},
        {"decode_unplayable", decodeUnplayable},
        {"unavailable", unavailable},
        {"assignment_held",
         (updating && (pendingMs >= contract.quietBoundMs || updateHeld))
             || (degraded && input.showingContent && fault("hold"))},
        {"decode_miss", fault("decode") && input.playing},
        {"offline_playing",
         input.playing && input.offlineForMs && *input.offlineForMs >= contract.offlineChipAfterMs},
        {"schedule_timezone", input.scheduleNeedsTimezone},
        {"credits_low",
         !suppressed && (input.phase != QLatin1String("candidate") || input.updatePending)
             && balance && *balance > 0 && *balance < contract.lowThreshold},
        {"paused", input.operatorPaused && input.playing},
        {"syncing", updating && pendingMs < contract.quietBoundMs && !updateHeld},
    };
    QSet<QString> active;
    for (const auto& [id, on] : rules) {
        if (on)
            active.insert(QLatin1String(id));
    }
    return active;
}

std::optional<OverlayReport> reportFor(const OverlayConditionSpec& conditionDef, const OverlayInput& input)
{
    if (conditionDef.report == screenArchivedReport)
        return OverlayReport{reportLevel, conditionDef.report, {}};
    if (conditionDef.report == assignmentHeldReport) {
        const bool hold = input.faults.contains(QLatin1String("hold"));
        return OverlayReport{reportLevel, conditionDef.report,
                             {{QStringLiteral("code"),
                               hold ? QStringLiteral("hold") : QStringLiteral("remint")}}};
    }
    return std::nullopt;
}

QString chipDetail(const OverlayConditionSpec& conditionDef, const OverlayInput& input,
                   const QHash<QString, QString>& messages)
{
    if (conditionDef.detailMessageKey.isEmpty() || input.playing)
        return QString();
    QString detail = messages.value(conditionDef.detailMessageKey);
    const std::optional<QString> needed = formatBytes(input.neededBytes);
    const std::optional<QString> available = formatBytes(input.availableBytes);
    if (detail.isEmpty() || !needed || !available)
        return QString();
    detail.replace(QLatin1String("{needed}"), *needed);
    detail.replace(QLatin1String("{available}"), *available);
    return detail;
}

} // namespace

std::optional<EvaluateResult> evaluate(const OverlayInput& input, const OverlayMemory* memory,
                                       const OverlayContractData& contract)
{
    if (!kPhases.contains(input.phase) || contract.conditions.isEmpty())
        return std::nullopt;
    for (const QString& fault : input.faults) {
        if (!kFaults.contains(fault))
            return std::nullopt;
    }
    const OverlayMemory previous = memory ? *memory : OverlayMemory{};
    const bool suppressed = suppressedPhase(input.phase);
    const QHash<QString, QString>& messages = input.messages ? *input.messages : contract.messages;

    const QSet<QString> activeIds = activeByRule(input, contract, suppressed);
    EvaluateResult result;
    OverlayOutput& output = result.output;
    for (const OverlayConditionSpec& conditionDef : contract.conditions) {
        if (activeIds.contains(conditionDef.id))
            output.activeConditions.append(conditionDef.id);
    }
    const OverlayConditionSpec* chip = output.activeConditions.isEmpty()
        ? nullptr
        : contract.conditionForId(output.activeConditions.first());
    const QString chipId = chip ? chip->id : QString();

    // A report goes out once each time its condition becomes active.
    if (!suppressed) {
        for (const QString& id : std::as_const(output.activeConditions)) {
            if (previous.activeConditions.contains(id))
                continue;
            if (auto report = reportFor(*contract.conditionForId(id), input))
                output.reports.append(std::move(*report));
        }
    }

    QString toastId = previous.toastConditionId;
    if (!toastId.isEmpty() && (suppressed || toastId != chipId)) {
        output.dismissToast = true;
        toastId.clear();
    }

    if (!suppressed && chip) {
        const QString text = messages.value(chip->messageKey);
        // Alert and info toasts are for non-production screens; errors show everywhere.
        const bool environmentAllows = chip->toastLevel == QLatin1String("error")
            || input.environment == QLatin1String("non_production");
        if (chipId != previous.lastChipConditionId && !chip->toastLevel.isEmpty()
            && !text.isEmpty() && environmentAllows) {
            output.toast = OverlayToast{chip->toastLevel, text, contract.localToastDurationMs};
            toastId = chipId;
        }
        output.chip = OverlayChip{chipId, chip->level, chip->icon, chipDetail(*chip, input, messages)};
    }

    if (!suppressed && input.upgradeNoticeShown && !contract.notice.id.isEmpty())
        output.notice = OverlayNotice{contract.notice.id, contract.notice.text, contract.notice.icon};

    // Suppressed phases freeze the chip and the active list, so a condition that lasts through
    // a fatal or pairing spell neither toasts nor reports again afterwards.
    result.memory = suppressed
        ? OverlayMemory{previous.lastChipConditionId, toastId, previous.activeConditions}
        : OverlayMemory{chipId, toastId, output.activeConditions};
    result.notArchived = !output.activeConditions.contains(archivedId);
    return result;
}

std::optional<QString> formatBytes(std::optional<double> bytes)
{
    constexpr double limit = 340282366920938463463374607431768211456.0; // 2^128
    if (!bytes || !std::isfinite(*bytes) || *bytes < 0 || *bytes >= limit
        || std::floor(*bytes) != *bytes)
        return std::nullopt;
    const double n = *bytes;
    if (n < 1024)
        return QStringLiteral("%1 B").arg(int(n));

    static const std::pair<int, const char*> units[] = {
        {50, "PiB"}, {40, "TiB"}, {30, "GiB"}, {20, "MiB"}, {10, "KiB"}};
    int shift = 10;
    const char* unitName = "KiB";
    for (const auto& [unitShift, name] : units) {
        if (n >= std::ldexp(1.0, unitShift)) {
            shift = unitShift;
            unitName = name;
            break;
        }
    }
    // No wide integer type exists on every target (32-bit ARM has none), and none is needed:
    // dividing a double by a power of two and taking the remainder are exact, the remainder is
    // below 2^50 and so fits 64 bits, and a whole part above 2^53 leaves no remainder at all.
    const double unit = std::ldexp(1.0, shift);
    double whole = std::floor(n / unit);
    const std::uint64_t remainder = std::uint64_t(std::fmod(n, unit));
    const std::uint64_t unitCount = std::uint64_t(1) << shift;
    std::uint64_t tenths = remainder * 10 / unitCount;
    if (2 * (remainder * 10 % unitCount) >= unitCount)
        ++tenths;
    if (tenths == 10) {
        whole += 1;
        tenths = 0;
    }

    char digits[48];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::fixed, 0);
    if (error != std::errc())
        return std::nullopt;
    QString text = QString::fromLatin1(digits, end - digits);
    if (tenths != 0)
        text += QLatin1Char('.') + QString::number(tenths);
    return text + QLatin1Char(' ') + QLatin1String(unitName);
}

} // namespace overlay

int OverlayPolicy::classifyDiagnostic(const QString& code)
{
    static const QSet<QString> decodeCodes{
        QStringLiteral("qml_gpu_sink_unavailable"), QStringLiteral("qml_gpu_sink_incompatible"),
        QStringLiteral("playbin3_unavailable"),     QStringLiteral("pipeline_start_failed"),
        QStringLiteral("gstreamer_playback_error"), QStringLiteral("rejected_non_local_video"),
        QStringLiteral("web_wrapper_load_failed"),  QStringLiteral("web_child_failed")};
    static const QSet<QString> verifyCodes{
        QStringLiteral("cache_integrity_mismatch"),
        QStringLiteral("cache_declaration_invalid"),
        QStringLiteral("package_archive_integrity_mismatch"),
        QStringLiteral("package_archive_size_mismatch"),
        QStringLiteral("package_descriptor_invalid"),
        QStringLiteral("package_gzip_invalid_or_concatenated")};
    static const QSet<QString> transportCodes{QStringLiteral("session_retrying"),
                                              QStringLiteral("offline_lkg_active"),
                                              QStringLiteral("runtime_unavailable")};
    static const QLatin1String transportPrefixes[] = {
        QLatin1String("manifest_http_"), QLatin1String("device_session_http_"),
        QLatin1String("identity_challenge_http_"), QLatin1String("identity_session_http_")};

    if (decodeCodes.contains(code))
        return Decode;
    if (verifyCodes.contains(code))
        return Verify;
    if (code == QLatin1String("content_storage_insufficient"))
        return Storage;
    if (code == QLatin1String("session_revoked"))
        return Session;
    if (transportCodes.contains(code))
        return Transport;
    for (const QLatin1String prefix : transportPrefixes) {
        if (code.startsWith(prefix))
            return Transport;
    }
    return Hold;
}

} // namespace talvorine
