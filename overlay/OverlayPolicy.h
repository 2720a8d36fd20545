#pragma once

// What the status overlay shows, decided from a snapshot of the player's state: the active
// conditions, the status chip, the local toast, the upgrade notice and the condition reports.
// Pure: the caller keeps the memory between evaluations and carries out the result.

#include "overlay/OverlayContract.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace talvorine {

namespace overlay {

struct OverlayInput {
    struct UpdateProgress {
        qint64 elapsedMs = 0; // how long the update has been pending, clamped at 0
        bool held = false;
    };

    QString phase; // one of kPhases
    bool updatePending = false;
    bool playing = false;
    bool showingContent = false;
    std::optional<UpdateProgress> updateProgress; // only while an update is pending
    std::optional<qint64> offlineForMs;
    QStringList faults; // each one of kFaults
    bool repairNeeded = false;
    bool operatorPaused = false;
    bool scheduleNeedsTimezone = false;
    std::optional<qint64> creditBalance;
    qint64 nowMs = 0;
    QString environment; // "production" or "non_production"
    bool upgradeNoticeShown = false;
    std::optional<double> neededBytes;
    std::optional<double> availableBytes;
    std::optional<QHash<QString, QString>> messages; // replaces the contract's table when set
};

// Carried from one evaluation to the next; empty before the first.
struct OverlayMemory {
    QString lastChipConditionId;
    QString toastConditionId; // the condition whose local toast is up
    QStringList activeConditions;
};

struct OverlayChip {
    QString conditionId;
    QString level;
    QString icon;
    QString detail;
};

struct OverlayNotice {
    QString id;
    QString text;
    QString icon;
};

struct OverlayToast {
    QString level;
    QString text;
    qint32 durationMs = 0;
};

struct OverlayReport {
    QString level; // the severity
    QString name;  // the report code
    QHash<QString, QString> details;
};

struct OverlayOutput {
    QStringList activeConditions; // rank order
    std::optional<OverlayChip> chip;
    std::optional<OverlayNotice> notice;
    std::optional<OverlayToast> toast;
    bool dismissToast = false;
    QList<OverlayReport> reports;
};

struct EvaluateResult {
    OverlayOutput output;
    bool notArchived = true;
    OverlayMemory memory; // for the next call
};

// None when the phase or a fault is outside the vocabulary, or the contract has no conditions:
// the caller then keeps what it shows. memory may be null (no earlier evaluation).
std::optional<EvaluateResult> evaluate(const OverlayInput& input, const OverlayMemory* memory,
                                       const OverlayContractData& contract);

// A byte count for people: "1023 B", "1.5 KiB", "1 MiB", up to PiB. None unless the value is a
// finite whole number in 0..2^128.
std::optional<QString> formatBytes(std::optional<double> bytes);

} // namespace overlay

class OverlayPolicy {
public:
    // The fault classes of diagnostic codes; 1..5 name the faults "session", "verify",
    // "storage", "decode" and "hold", and Transport none.
    enum DiagnosticClass : int {
        Transport = 0,
        Session = 1,
        Verify = 2,
        Storage = 3,
        Decode = 4,
        Hold = 5,
    };

    // The class of a diagnostic code (exact, case-sensitive); an unknown code holds content.
    static int classifyDiagnostic(const QString& code);
};

} // namespace talvorine
