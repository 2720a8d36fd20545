#pragma once

// Short messages the runtime service puts on a screen ("screen.toast" events), and the RFC 3339
// reader they and the overlay contract share. The event's details come from the network: every
// rule is checked, and a refusal names the first rule broken.

#include <QJsonValue>
#include <QString>

#include <optional>

namespace talvorine::overlay {

enum class ScreenToastRejectReason {
    DetailsNotObject = 0,
    TextMissing = 1,
    TextEmpty = 2,
    TextTooLong = 3,
    TextControl = 4,
    TextTooManyLines = 5,
    DurationInvalid = 6,
    ExpiresAtInvalid = 7,
    ExpiresAtPast = 8,
};

// The wire name of a reason ("details_not_object", ...); empty for any other value.
QString screenToastRejectName(ScreenToastRejectReason reason);

struct ScreenToastResult {
    bool accepted = false;
    QString level;   // "error", "alert" or "info"
    QString text;    // exactly as received
    qint64 durationMs = 0;
    qint64 expiresAtMs = 0; // milliseconds since the Unix epoch
    ScreenToastRejectReason reason = ScreenToastRejectReason::DetailsNotObject; // when refused
};

// A toast is at most 3 lines and 1..120 code points of text without control characters (line
// feeds apart), shown for 2000..60000 ms, and still valid at nowMs. A missing or unknown level
// is "info".
ScreenToastResult parseScreenToast(const QJsonValue& details, qint64 nowMs);

// "YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm)" as milliseconds since the Unix epoch; the
// fraction is cut, never rounded, to milliseconds. None for any other text or an impossible
// date or time (leap seconds included).
std::optional<qint64> parseRfc3339Ms(const QString& text);

} // namespace talvorine::overlay
