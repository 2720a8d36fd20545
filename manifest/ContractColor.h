#pragma once

// Canvas backgrounds and the canonical #RRGGBBAA colour texts of the layout contract.

#include <QColor>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <cstddef>
#include <optional>
#include <string_view>

namespace talvorine {

struct LinearGradientStop {
    double at = 0.0;
    QString color;
};

struct CanvasBackground {
    qint32 kind = 0; // 0 solid, 1 linear
    QString color = QStringLiteral("#000000FF");
    QList<LinearGradientStop> stops;
};

// A read-only view of one stop, so that the rules can run on plain bytes.
struct CanvasBackgroundStopView {
    double at = 0.0;
    std::string_view color;
};

struct CanvasBackgroundRules {
    static bool canonicalColor(std::string_view color);
    static bool validLinear(std::string_view type, const CanvasBackgroundStopView* stops,
                            std::size_t count);
};

std::optional<CanvasBackground> parseCanvasBackground(const QJsonValue& value);
bool validCanvasBackground(const CanvasBackground& background);
QJsonValue canvasBackgroundJson(const CanvasBackground& background);

struct ContractColor {
    static bool isCanonical(const QString& color);
    static QColor fromCanonical(const QString& color);
    static QColor opaqueBlack();
};

} // namespace talvorine
