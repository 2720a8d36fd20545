#include "runtime/ScreenshotRequest.h"

#include <QJsonValue>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace {

const QRegularExpression captureIdPattern(
    QRegularExpression::anchoredPattern(QStringLiteral("shot_[A-Za-z0-9_-]{16,64}")));

// A JSON number that is exactly a 32-bit integer (2.0 counts, 2.5 and a string "2" do not).
std::optional<int> integralNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!(number >= double(std::numeric_limits<int>::min())
          && number <= double(std::numeric_limits<int>::max())))
        return std::nullopt;
    const int integral = int(number);
    if (double(integral) != number)
        return std::nullopt;
    return integral;
}

// ISO 8601 instants with milliseconds or without a fraction. A finer fraction is cut, never
// rounded, to milliseconds: a request must not appear to live longer than it does.
QDateTime parseExpiry(const QString& text)
{
    static const QRegularExpression fineFraction(QRegularExpression::anchoredPattern(QStringLiteral(
        "(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3})\\d+(Z|[+-]\\d{2}:\\d{2})")));
    QDateTime stamp;
    const QRegularExpressionMatch fine = fineFraction.match(text);
    if (fine.hasMatch())
        stamp = QDateTime::fromString(fine.captured(1) + fine.captured(2), Qt::ISODateWithMs);
    if (!stamp.isValid())
        stamp = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!stamp.isValid())
        stamp = QDateTime::fromString(text, Qt::ISODate);
    return stamp.isValid() ? stamp.toUTC() : QDateTime();
}

} // namespace

std::optional<ScreenshotRequest> ScreenshotRequestParser::parse(const QJsonObject& event,
                                                                const QDateTime& nowUtc,
                                                                QString* refusal)
{
    const auto refuse = [refusal](const char* why) -> std::optional<ScreenshotRequest> {
        if (refusal)
            *refusal = QLatin1String(why);
        return std::nullopt;
    };
    const QJsonValue detailsValue = event.value(QLatin1String("details"));
    if (event.value(QLatin1String("type")).toString()
            != QLatin1String("screen.screenshot_requested")
        || !detailsValue.isObject())
        return refuse("details_invalid");
    const QJsonObject details = detailsValue.toObject();

    const QString captureId = details.value(QLatin1String("capture_id")).toString();
    if (!ScreenshotFrame::validCaptureId(captureId))
        return refuse("capture_id_invalid");
    const QDateTime expiresAt = parseExpiry(details.value(QLatin1String("expires_at")).toString());
    if (!expiresAt.isValid())
        return refuse("expires_at_invalid");
    if (!nowUtc.isValid() || !(nowUtc < expiresAt))
        return refuse("expired");

    const std::optional<int> widthDivisor =
        integralNumber(details.value(QLatin1String("max_width_divisor")));
    const std::optional<int> heightDivisor =
        integralNumber(details.value(QLatin1String("max_height_divisor")));
    const std::optional<int> quality = integralNumber(details.value(QLatin1String("quality")));
    const std::optional<int> maxBytes = integralNumber(details.value(QLatin1String("max_bytes")));
    const bool supported = widthDivisor == ScreenshotFrame::widthDivisor
        && heightDivisor == ScreenshotFrame::heightDivisor && quality == ScreenshotFrame::quality
        && maxBytes && *maxBytes > ScreenshotFrame::maxBytes - 1
        && details.value(QLatin1String("format")).toString() == QLatin1String("image/webp");

    ScreenshotRequest request;
    request.captureId = captureId;
    request.expiresAt = expiresAt;
    request.unsupported = !supported;
    return request;
}

bool ScreenshotFrame::validCaptureId(const QString& captureId)
{
    return captureIdPattern.match(captureId).hasMatch();
}

QSize ScreenshotFrame::scaledSize(int width, int height, int widthDivisor, int heightDivisor)
{
    return QSize(std::max(width / std::max(widthDivisor, 1), 1),
                 std::max(height / std::max(heightDivisor, 1), 1));
}

std::optional<QByteArray> ScreenshotFrame::acceptEncoded(const QByteArray& encoded, int byteLimit)
{
    if (encoded.isEmpty() || encoded.size() > byteLimit)
        return std::nullopt;
    return encoded;
}

bool ScreenshotCaptureGate::claim(const ScreenshotRequest& request, const QDateTime& nowUtc)
{
    if (!nowUtc.isValid() || !request.expiresAt.isValid() || !(nowUtc < request.expiresAt))
        return false;
    if (request.captureId == inFlight_)
        return false;
    inFlight_ = request.captureId;
    return true;
}

bool ScreenshotCaptureGate::isCurrent(const QString& captureId) const
{
    return captureId == inFlight_;
}

void ScreenshotCaptureGate::release(const QString& captureId)
{
    if (!inFlight_.isEmpty() && captureId == inFlight_)
        inFlight_.clear();
}

QString ScreenshotCaptureGate::currentCaptureId() const
{
    return inFlight_;
}

} // namespace talvorine
