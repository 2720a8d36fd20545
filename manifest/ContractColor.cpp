#include "manifest/ContractColor.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <vector>

namespace talvorine {

namespace {

bool validStops(const CanvasBackgroundStopView* stops, std::size_t count)
{
    if (stops == nullptr || count < 2 || count > 8)
        return false;
    if (stops[0].at != 0.0 || stops[count - 1].at != 1.0)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const double at = stops[i].at;
        if (!std::isfinite(at) || at < 0.0 || at > 1.0)
            return false;
        if (i > 0 && !(at > stops[i - 1].at))
            return false;
        if (!CanvasBackgroundRules::canonicalColor(stops[i].color))
            return false;
    }
    return true;
}

// The views point into these byte arrays, so they must outlive the check.
struct StopBytes {
    std::vector<QByteArray> colors;
    std::vector<CanvasBackgroundStopView> views;

    explicit StopBytes(const QList<LinearGradientStop>& stops)
    {
        colors.reserve(std::size_t(stops.size()));
        views.reserve(std::size_t(stops.size()));
        for (const LinearGradientStop& stop : stops) {
            colors.push_back(stop.color.toUtf8());
            const QByteArray& bytes = colors.back();
            views.push_back({stop.at, std::string_view(bytes.constData(), std::size_t(bytes.size()))});
        }
    }
};

std::string_view viewOf(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

} // namespace

bool CanvasBackgroundRules::canonicalColor(std::string_view color)
{
    if (color.size() != 9 || color[0] != '#')
        return false;
    for (std::size_t i = 1; i < 9; ++i) {
        const char c = color[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool CanvasBackgroundRules::validLinear(std::string_view type, const CanvasBackgroundStopView* stops,
                                        std::size_t count)
{
    return type == "linear" && validStops(stops, count);
}

std::optional<CanvasBackground> parseCanvasBackground(const QJsonValue& value)
{
    if (value.isString()) {
        const QString color = value.toString();
        if (!CanvasBackgroundRules::canonicalColor(viewOf(color.toUtf8())))
            return std::nullopt;
        CanvasBackground solid;
        solid.kind = 0;
        solid.color = color;
        return solid;
    }
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    if (!object.contains(QLatin1String("type")) || !object.contains(QLatin1String("stops")))
        return std::nullopt;
    const QJsonValue stopsValue = object.value(QLatin1String("stops"));
    if (!stopsValue.isArray())
        return std::nullopt;
    const QJsonArray stopArray = stopsValue.toArray();
    // More than eight stops can never pass; refusing early keeps a huge array cheap.
    if (stopArray.size() > 8)
        return std::nullopt;
    QList<LinearGradientStop> stops;
    for (const QJsonValue& element : stopArray) {
        if (!element.isObject())
            return std::nullopt;
        const QJsonObject stop = element.toObject();
        if (!stop.contains(QLatin1String("at")) || !stop.contains(QLatin1String("color")))
            return std::nullopt;
        const QJsonValue at = stop.value(QLatin1String("at"));
        const QJsonValue color = stop.value(QLatin1String("color"));
        if (!at.isDouble() || !std::isfinite(at.toDouble()) || !color.isString())
            return std::nullopt;
        stops.append({at.toDouble(), color.toString()});
    }
    const QByteArray type = object.value(QLatin1String("type")).toString().toUtf8();
    const StopBytes bytes(stops);
    if (!CanvasBackgroundRules::validLinear(viewOf(type), bytes.views.data(), bytes.views.size()))
        return std::nullopt;
    CanvasBackground linear;
    linear.kind = 1;
    linear.color = QStringLiteral("#000000FF");
    linear.stops = stops;
    return linear;
}

bool validCanvasBackground(const CanvasBackground& background)
{
    if (background.kind == 1) {
        const StopBytes bytes(background.stops);
        return validStops(bytes.views.data(), bytes.views.size());
    }
    return CanvasBackgroundRules::canonicalColor(viewOf(background.color.toUtf8()));
}

QJsonValue canvasBackgroundJson(const CanvasBackground& background)
{
    if (background.kind != 1)
        return QJsonValue(background.color);
    QJsonArray stops;
    for (const LinearGradientStop& stop : background.stops)
        stops.append(QJsonObject{{QStringLiteral("at"), stop.at}, {QStringLiteral("color"), stop.color}});
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("linear")}, {QStringLiteral("stops"), stops}};
}

bool ContractColor::isCanonical(const QString& color)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("#[0-9A-F]{8}")));
    return pattern.match(color).hasMatch();
}

QColor ContractColor::fromCanonical(const QString& color)
{
    if (!isCanonical(color))
        return opaqueBlack();
    bool ok = false;
    const qulonglong value = color.mid(1).toULongLong(&ok, 16);
    if (!ok || value > 0xFFFFFFFFull)
        return opaqueBlack();
    return QColor(int((value >> 24) & 0xFF), int((value >> 16) & 0xFF), int((value >> 8) & 0xFF),
                  int(value & 0xFF));
}

QColor ContractColor::opaqueBlack()
{
    return QColor(0, 0, 0, 255);
}

} // namespace talvorine
