#pragma once

// The layout contract: one parsed page resolved onto the real viewport in whole pixels, with
// clips, content placement, paint order, the checked effects and the transition pose.

#include "manifest/Manifest.h"
#include "manifest/PageTransitionRules.h"

#include <QJsonObject>
#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <optional>
#include <variant>

namespace talvorine {

struct ResolvedTransition {
    QString type;
    qint32 durationMs = 0;
    qint32 elapsedMs = 0;
    TransitionPose pose;
};

struct ResolvedPrimitive {
    QString id;
    QRectF viewportRect;
    QRectF clipRect;
    QRectF contentRect;
    QRectF contentClipRect;
    QRectF readinessGeometry;
    qint32 layer = 0;
    qint32 sourceIndex = 0;
    qint32 paintOrder = 0;
    std::optional<QString> enterType;
    std::optional<qint32> enterStagger;
    std::optional<Primitive::Motion> motion;
};

struct ResolvedPage {
    QString contractVersion;
    QString pageId;
    QSizeF viewport;
    CanvasBackground background;
    QRectF canvasViewportRect;
    QRectF canvasClipRect;
    QList<ResolvedPrimitive> primitives;
    ResolvedTransition transition;
};

struct LayoutFailure {
    QString code = QStringLiteral("layout_contract_invalid");
    QString detail;
};

using LayoutResult = std::variant<ResolvedPage, LayoutFailure>;

class LayoutContract {
public:
    static LayoutResult resolveLayout(const Page& page, const QSizeF& viewport);
    static bool exactlyMatchesFixture(const ResolvedPage& page, const QJsonObject& expected);
    static QString sharedFixtureDirectory();

    // The JSON description that exactlyMatchesFixture compares against, for writing fixtures.
    static QJsonObject describe(const ResolvedPage& page);

private:
    static QRectF snappedRect(double x0, double y0, double x1, double y1);
    static QRectF intersect(const QRectF& a, const QRectF& b);
    static QRectF jsonRect(const QJsonObject& object);

    friend class LayoutContractProbe;
};

} // namespace talvorine
