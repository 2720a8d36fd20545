#pragma once

// The status overlay's data contract: what each condition looks like (rank, level, toast level,
// icon, message keys, report), the timings and thresholds the evaluation uses, the upgrade notice
// and the message table. It is read once from the program's resources; the overlay is not shown
// while it is missing or invalid.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace talvorine {

namespace overlay {

// The vocabularies of the evaluation's input and of the contract's levels, compared
// case-sensitively.
extern const QStringList kPhases; // "starting", "pairing", "candidate", "active", "degraded", "fatal"
extern const QStringList kFaults; // "screen_archived", "payment_required", "repair", "session",
                                  // "verify", "storage", "decode", "hold"
extern const QStringList kLevels; // "error", "alert", "info"

struct OverlayConditionSpec {
    QString id;
    qint32 rank = 0;        // 1 = most important; a contract's ranks are exactly 1..N
    QString level;          // the chip's level, one of kLevels
    QString toastLevel;     // one of kLevels, or empty: this condition never raises a local toast
    QString icon;           // file stem of an overlay icon
    QString messageKey;     // chip label and toast text
    QString detailMessageKey; // detail template; may be empty
    QString report;         // condition report sent to the service; empty = none
};

struct OverlayContractData {
    struct Notice {
        QString id;
        QString level;
        QString icon;
        QString text;
    };

    QString contractVersion;
    qint64 quietBoundMs = 0;
    qint64 offlineChipAfterMs = 0;
    qint32 localToastDurationMs = 0;
    qint64 lowThreshold = 0;
    qint64 enforcementAtMs = 0; // milliseconds since the Unix epoch
    QHash<QString, QString> toastMarks; // level -> icon name
    QList<OverlayConditionSpec> conditions; // ascending rank
    Notice notice;
    QStringList diagnosticClasses;
    QHash<QString, QString> messages;

    // The condition with exactly this id, or null.
    const OverlayConditionSpec* conditionForId(const QString& id) const;
};

// The contract in the bytes, or nothing when any rule is broken. Only a "messages" member that
// is not an object of strings is forgiven: the contract then has no message table.
std::optional<OverlayContractData> parseOverlayContract(const QByteArray& bytes);

// JSON readers shared by the overlay's parsers.
// The member's text when it is a JSON string, else empty.
QString stringMember(const QJsonObject& object, QLatin1String key);
// A JSON number with an exact 64-bit integral value (2.0 counts; 2.5, "2" and values beyond
// the 64-bit range do not).
bool integralNumber(const QJsonValue& value, qint64& out);
// The value's text when it is one of kLevels, else empty.
QString levelOrEmpty(const QJsonValue& value);

// The bytes of the first of the two files that opens (a resource path or a file), or empty bytes
// when neither opens or the one that opens holds more than maxBytes.
QByteArray readFirstOf(const QString& primaryPath, const QString& fallbackPath, qint64 maxBytes);

// The upgrade-required notice: raised by an update-required event, cleared only by a clearing
// event stamped after the one that raised it, so a stale clearance cannot hide a newer demand.
struct UpgradeNoticeState {
    bool shown = false;
    qint64 stamp = 0;
    bool hasStamp = false;
};

struct UpgradeEvent {
    enum Kind { Required = 0, Cleared = 2 };
    int kind = Required;
    qint64 stamp = 0;
};

UpgradeNoticeState upgradeNotice(const UpgradeNoticeState& state, const UpgradeEvent& event);

} // namespace overlay

// The process-wide holder of the overlay contract. load() reads the resource once (or, in a
// build without it, the development copy); every later call answers with that first outcome.
// GUI thread only; load() runs at start-up before any reader.
class OverlayContract {
public:
    static constexpr const char* resourcePath = ":/overlay/overlay.json";
    // Read when the program was built without the overlay resource (development runs).
    static constexpr const char* fallbackPath = "/source/vendor/overlay/overlay.json";
    // Far above the contract's size; a larger file is not read at all.
    static constexpr qint64 maxFileBytes = 1024 * 1024;

    static OverlayContract& instance();

    OverlayContract(QString primaryPath, QString secondaryPath);
    OverlayContract(const OverlayContract&) = delete;
    OverlayContract& operator=(const OverlayContract&) = delete;

    bool load();
    bool loaded() const { return attempted_ && data_.has_value(); }
    // The parsed contract; null unless loaded().
    const overlay::OverlayContractData* data() const { return data_ ? &*data_ : nullptr; }

private:
    QString primaryPath_;
    QString secondaryPath_;
    bool attempted_ = false;
    std::optional<overlay::OverlayContractData> data_;
};

} // namespace talvorine
