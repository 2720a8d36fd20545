#pragma once

// Screenshot requests from the runtime service: the one supported shape, the parser of the
// request event, and the gate that keeps a single capture in flight.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QSize>
#include <QString>

#include <optional>

namespace talvorine {

struct ScreenshotRequest {
    QString captureId;
    QDateTime expiresAt;
    int maxWidthDivisor = 2;
    int maxHeightDivisor = 2;
    QString format = QStringLiteral("image/webp");
    int quality = 80;
    int maxBytes = 2097152;
    bool unsupported = false;
};

class ScreenshotRequestParser {
public:
    // The request of a "screen.screenshot_requested" event that has not lapsed at nowUtc; none,
    // with why in refusal when given ("details_invalid", "capture_id_invalid",
    // "expires_at_invalid" or "expired"), for any other.
    static std::optional<ScreenshotRequest> parse(const QJsonObject& event,
                                                  const QDateTime& nowUtc,
                                                  QString* refusal = nullptr);
};

class ScreenshotFrame {
public:
    static constexpr int widthDivisor = 2;
    static constexpr int heightDivisor = 2;
    static constexpr int quality = 80;
    static constexpr int maxBytes = 2097152;

    static bool validCaptureId(const QString& captureId);
    static QSize scaledSize(int width, int height, int widthDivisor, int heightDivisor);
    static std::optional<QByteArray> acceptEncoded(const QByteArray& encoded, int byteLimit);
};

// One capture at a time: a newer request takes the gate over, and the older capture then finds
// that it is no longer current.
class ScreenshotCaptureGate {
public:
    bool claim(const ScreenshotRequest& request, const QDateTime& nowUtc);
    bool isCurrent(const QString& captureId) const;
    void release(const QString& captureId);
    QString currentCaptureId() const;

private:
    QString inFlight_;
};

} // namespace talvorine
