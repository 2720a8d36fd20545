#include "manifest/LayoutContract.h"

#include "manifest/ObjectEnterPolicy.h"
#include "manifest/ObjectMotionPolicy.h"

#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvorine {

namespace {

const QRegularExpression& idPattern()
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z][A-Za-z0-9_-]{0,63}")));
    return pattern;
}

bool strictId(const QString& id)
{
    return id.size() <= 64 && idPattern().match(id).hasMatch();
}

std::string_view view(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

// ⌊v + 0.5⌋ as a 32-bit value: halves go towards positive infinity, values beyond the range
// saturate, and NaN (which the finiteness checks should already have kept out) becomes 0.
double snap(double value)
{
    if (std::isnan(value))
        return 0.0;
    const double rounded = std::floor(value + 0.5);
    return std::clamp(rounded, double(std::numeric_limits<qint32>::min()),
                      double(std::numeric_limits<qint32>::max()));
}

bool finite(std::initializer_list<double> values)
{
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

bool isWebKind(PrimitiveKind kind)
{
    return kind == PrimitiveKind::application || kind == PrimitiveKind::iframe;
}

bool knownFit(const QString& fit)
{
    return fit == QLatin1String("contain") || fit == QLatin1String("cover") || fit == QLatin1String("fill");
}

// A JSON number holding a whole value within the 32-bit range.
std::optional<qint32> int32Of(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number
        || number < double(std::numeric_limits<qint32>::min())
        || number > double(std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return qint32(number);
}

bool motionValid(const Primitive::Motion& motion, PrimitiveKind kind)
{
    const auto speedValid = [](const QString& speed) {
        return ObjectMotionPolicy::validSpinSpeed(view(speed.toUtf8()));
    };
    switch (motion.type) {
    case Primitive::Motion::spin:
        return !isWebKind(kind)
            && (motion.spinDirection == QLatin1String("cw") || motion.spinDirection == QLatin1String("ccw"))
            && speedValid(motion.spinSpeed);
    case Primitive::Motion::drift:
        return !isWebKind(kind)
            && (motion.driftZoom == QLatin1String("in") || motion.driftZoom == QLatin1String("out"))
            && ObjectMotionPolicy::validDriftDirection(view(motion.driftDirection.toUtf8()))
            && speedValid(motion.driftSpeed);
    case Primitive::Motion::path: {
        if (motion.points.empty() || motion.points.size() > 64)
            return false;
        for (const ObjectMotionPoint& point : motion.points) {
            if (!finite({point.x, point.y}))
                return false;
        }
        if (!std::isfinite(motion.rate) || !(motion.rate > 0.0) || motion.rate > 10000.0)
            return false;
        return !motion.loop || ObjectMotionPolicy::validPathLoop(view(motion.loop->toUtf8()));
    }
    default:
        return false;
    }
}

QJsonObject rectJson(const QRectF& rect)
{
    return QJsonObject{{QStringLiteral("x"), rect.x()}, {QStringLiteral("y"), rect.y()},
                       {QStringLiteral("width"), rect.width()}, {QStringLiteral("height"), rect.height()}};
}

QJsonObject enterJson(const ResolvedPrimitive& primitive)
{
    QJsonObject enter{{QStringLiteral("type"), *primitive.enterType}};
    if (primitive.enterStagger)
        enter.insert(QStringLiteral("stagger"), *primitive.enterStagger);
    return enter;
}

QJsonObject motionJson(const Primitive::Motion& motion)
{
    switch (motion.type) {
    case Primitive::Motion::spin:
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("spin")},
                           {QStringLiteral("direction"), motion.spinDirection},
                           {QStringLiteral("speed"), motion.spinSpeed}};
    case Primitive::Motion::path: {
        QJsonArray points;
        for (const ObjectMotionPoint& point : motion.points)
            points.append(QJsonObject{{QStringLiteral("x"), point.x}, {QStringLiteral("y"), point.y}});
        QJsonObject path{{QStringLiteral("type"), QStringLiteral("path")},
                         {QStringLiteral("points"), points},
                         {QStringLiteral("rate"), motion.rate}};
        if (motion.loop)
            path.insert(QStringLiteral("loop"), *motion.loop);
        return path;
    }
    default:
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("drift")},
                           {QStringLiteral("zoom"), motion.driftZoom},
                           {QStringLiteral("direction"), motion.driftDirection},
                           {QStringLiteral("speed"), motion.driftSpeed}};
    }
}

LayoutFailure failure(const char* detail)
{
    return LayoutFailure{QStringLiteral("layout_contract_invalid"), QString::fromLatin1(detail)};
}

} // namespace

QRectF LayoutContract::snappedRect(double x0, double y0, double x1, double y1)
{
    const double left = snap(x0);
    const double top = snap(y0);
    const double right = snap(x1);
    const double bottom = snap(y1);
    // In double, so that a span across the whole 32-bit range does not overflow.
    return QRectF(left, top, std::max(0.0, right - left), std::max(0.0, bottom - top));
}

QRectF LayoutContract::intersect(const QRectF& a, const QRectF& b)
{
    const double left = std::max(a.x(), b.x());
    const double top = std::max(a.y(), b.y());
    const double right = std::min(a.x() + a.width(), b.x() + b.width());
    const double bottom = std::min(a.y() + a.height(), b.y() + b.height());
    if (right <= left || bottom <= top)
        return QRectF(left, top, 0.0, 0.0);
    return QRectF(left, top, right - left, bottom - top);
}

QRectF LayoutContract::jsonRect(const QJsonObject& object)
{
    return QRectF(object.value(QLatin1String("x")).toDouble(0.0), object.value(QLatin1String("y")).toDouble(0.0),
                  object.value(QLatin1String("width")).toDouble(0.0),
                  object.value(QLatin1String("height")).toDouble(0.0));
}

LayoutResult LayoutContract::resolveLayout(const Page& page, const QSizeF& viewport)
{
    const Canvas& canvas = page.canvas;
    if (!finite({canvas.width, canvas.height, viewport.width(), viewport.height()})
        || !(canvas.width > 0) || !(canvas.height > 0) || !(viewport.width() > 0)
        || !(viewport.height() > 0) || page.primitives.isEmpty() || page.primitives.size() > 24
        || page.contractVersion != QLatin1String("talvorine.canvas/v1") || !strictId(page.id)
        || !knownFit(canvas.viewportFit) || !validCanvasBackground(canvas.background))
        return failure("canvas_viewport_or_primitive_count");

    const auto webCount = std::count_if(page.primitives.begin(), page.primitives.end(),
                                        [](const Primitive& p) { return isWebKind(p.kind); });
    if (webCount > 2)
        return failure("web_primitive_count_invalid");

    const QJsonValue typeValue = page.transition.value(QLatin1String("type"));
    const std::optional<qint32> duration = int32Of(page.transition.value(QLatin1String("durationMs")));
    const bool hasElapsed = page.transition.contains(QLatin1String("elapsedMs"));
    const std::optional<qint32> elapsed =
        hasElapsed ? int32Of(page.transition.value(QLatin1String("elapsedMs"))) : duration;
    const QByteArray transitionType = typeValue.toString().toUtf8();
    if (!page.transition.contains(QLatin1String("type")) || !page.transition.contains(QLatin1String("durationMs"))
        || !typeValue.isString() || !PageTransitionRules::validType(view(transitionType)) || !duration
        || !elapsed || *elapsed < 0 || *elapsed > *duration || *duration > 60000)
        return failure("transition_invalid");

    double scaleX = 0.0;
    double scaleY = 0.0;
    double offsetX = 0.0;
    double offsetY = 0.0;
    const double sx = viewport.width() / canvas.width;
    const double sy = viewport.height() / canvas.height;
    if (canvas.viewportFit == QLatin1String("fill")) {
        scaleX = sx;
        scaleY = sy;
    } else {
        const double s = canvas.viewportFit == QLatin1String("contain") ? std::min(sx, sy) : std::max(sx, sy);
        scaleX = s;
        scaleY = s;
        offsetX = (viewport.width() - s * canvas.width) / 2.0;
        offsetY = (viewport.height() - s * canvas.height) / 2.0;
    }
    if (!finite({scaleX, scaleY, offsetX, offsetY}))
        return failure("canvas_viewport_or_primitive_count");

    ResolvedPage resolved;
    resolved.contractVersion = page.contractVersion;
    resolved.pageId = page.id;
    resolved.viewport = viewport;
    resolved.background = canvas.background;
    resolved.canvasViewportRect =
        snappedRect(offsetX, offsetY, canvas.width * scaleX + offsetX, canvas.height * scaleY + offsetY);
    const QRectF viewportRect(0.0, 0.0, snap(viewport.width()), snap(viewport.height()));
    resolved.canvasClipRect = intersect(resolved.canvasViewportRect, viewportRect);

    QSet<QString> resolvedIds;
    for (const Primitive& primitive : page.primitives) {
        const QRectF& rect = primitive.rect;
        const bool hasSize = primitive.intrinsicSize.has_value();
        const double iw = hasSize ? primitive.intrinsicSize->width() : 0.0;
        const double ih = hasSize ? primitive.intrinsicSize->height() : 0.0;
        const qint32 kind = qint32(primitive.kind);
        if (!strictId(primitive.id) || resolvedIds.contains(primitive.id)
            || !finite({rect.x(), rect.y(), rect.width(), rect.height()}) || !(rect.width() > 0)
            || !(rect.height() > 0) || primitive.layer < 0 || primitive.layer > 1024
            || (hasSize && (!finite({iw, ih}) || !(iw > 0) || !(ih > 0))) || !knownFit(primitive.contentFit)
            || (isWebKind(primitive.kind) && primitive.contentFit != QLatin1String("fill"))
            || kind < 0 || kind > 4
            || (isMediaKind(primitive.kind) && primitive.contentFit != QLatin1String("fill") && !hasSize))
            continue;

        const double x0 = rect.x() * scaleX + offsetX;
        const double y0 = rect.y() * scaleY + offsetY;
        const double x1 = (rect.x() + rect.width()) * scaleX + offsetX;
        const double y1 = (rect.y() + rect.height()) * scaleY + offsetY;
        // Edges that overflow to infinity cannot be placed; such a primitive is left out like
        // one that breaks a rule.
        if (!finite({x0, y0, x1, y1}))
            continue;

        ResolvedPrimitive out;
        out.id = primitive.id;
        out.viewportRect = snappedRect(x0, y0, x1, y1);
        out.clipRect = intersect(intersect(out.viewportRect, resolved.canvasViewportRect), viewportRect);
        if (primitive.contentFit == QLatin1String("fill") || !hasSize) {
            out.contentRect = out.viewportRect;
        } else {
            const double w = x1 - x0;
            const double h = y1 - y0;
            const double k = primitive.contentFit == QLatin1String("contain") ? std::min(w / iw, h / ih)
                                                                               : std::max(w / iw, h / ih);
            const double cx0 = x0 + (w - k * iw) / 2.0;
            const double cy0 = y0 + (h - k * ih) / 2.0;
            const double cx1 = cx0 + k * iw;
            const double cy1 = cy0 + k * ih;
            if (!finite({w, h, k, cx0, cy0, cx1, cy1}))
                continue;
            out.contentRect = snappedRect(cx0, cy0, cx1, cy1);
        }
        out.contentClipRect = intersect(out.contentRect, out.clipRect);
        out.readinessGeometry = out.viewportRect;
        out.layer = primitive.layer;
        out.sourceIndex = primitive.sourceIndex;

        if (primitive.enterType && ObjectEnterPolicy::validType(view(primitive.enterType->toUtf8()))) {
            out.enterType = primitive.enterType;
            if (primitive.enterStagger)
                out.enterStagger = std::clamp(*primitive.enterStagger, 0, 8);
        }
        if (primitive.motion && motionValid(*primitive.motion, primitive.kind))
            out.motion = primitive.motion;

        resolvedIds.insert(primitive.id);
        resolved.primitives.append(out);
    }
    if (resolved.primitives.isEmpty())
        return failure("primitive_invalid");

    std::stable_sort(resolved.primitives.begin(), resolved.primitives.end(),
                     [](const ResolvedPrimitive& a, const ResolvedPrimitive& b) {
                         if (a.layer != b.layer)
                             return a.layer < b.layer;
                         return a.sourceIndex < b.sourceIndex;
                     });
    for (qsizetype i = 0; i < resolved.primitives.size(); ++i)
        resolved.primitives[i].paintOrder = qint32(i);

    resolved.transition.type = typeValue.toString();
    resolved.transition.durationMs = *duration;
    resolved.transition.elapsedMs = *elapsed;
    resolved.transition.pose = PageTransitionRules::pose(view(transitionType), *duration, *elapsed);
    return resolved;
}

QJsonObject LayoutContract::describe(const ResolvedPage& page)
{
    QJsonArray primitives;
    for (const ResolvedPrimitive& primitive : page.primitives) {
        QJsonObject object{{QStringLiteral("id"), primitive.id},
                           {QStringLiteral("sourceIndex"), primitive.sourceIndex},
                           {QStringLiteral("layer"), primitive.layer},
                           {QStringLiteral("paintOrder"), primitive.paintOrder},
                           {QStringLiteral("viewportRect"), rectJson(primitive.viewportRect)},
                           {QStringLiteral("clipRect"), rectJson(primitive.clipRect)},
                           {QStringLiteral("contentRect"), rectJson(primitive.contentRect)},
                           {QStringLiteral("contentClipRect"), rectJson(primitive.contentClipRect)},
                           {QStringLiteral("readinessGeometry"), rectJson(primitive.readinessGeometry)}};
        if (primitive.enterType)
            object.insert(QStringLiteral("enter"), enterJson(primitive));
        if (primitive.motion)
            object.insert(QStringLiteral("motion"), motionJson(*primitive.motion));
        primitives.append(object);
    }
    const TransitionPose& pose = page.transition.pose;
    return QJsonObject{
        {QStringLiteral("contractVersion"), page.contractVersion},
        {QStringLiteral("pageId"), page.pageId},
        {QStringLiteral("background"), canvasBackgroundJson(page.background)},
        {QStringLiteral("canvasViewportRect"), rectJson(page.canvasViewportRect)},
        {QStringLiteral("canvasClipRect"), rectJson(page.canvasClipRect)},
        {QStringLiteral("primitives"), primitives},
        {QStringLiteral("transition"),
         QJsonObject{{QStringLiteral("type"), page.transition.type},
                     {QStringLiteral("durationMs"), page.transition.durationMs},
                     {QStringLiteral("elapsedMs"), page.transition.elapsedMs},
                     {QStringLiteral("incomingOpacityPermille"), pose.incomingOpacityPermille},
                     {QStringLiteral("outgoingOpacityPermille"), pose.outgoingOpacityPermille},
                     {QStringLiteral("incomingTranslateXPermille"), pose.incomingTranslateXPermille},
                     {QStringLiteral("incomingTranslateYPermille"), pose.incomingTranslateYPermille},
                     {QStringLiteral("outgoingTranslateXPermille"), pose.outgoingTranslateXPermille},
                     {QStringLiteral("outgoingTranslateYPermille"), pose.outgoingTranslateYPermille}}},
    };
}

bool LayoutContract::exactlyMatchesFixture(const ResolvedPage& page, const QJsonObject& expected)
{
    const auto integer = [](const QJsonObject& object, const char* key) {
        return object.value(QLatin1String(key)).toInt(0);
    };
    const auto rect = [](const QJsonObject& object, const char* key) {
        return jsonRect(object.value(QLatin1String(key)).toObject());
    };
    if (expected.value(QLatin1String("contractVersion")).toString() != page.contractVersion
        || expected.value(QLatin1String("pageId")).toString() != page.pageId
        || expected.value(QLatin1String("background")) != canvasBackgroundJson(page.background)
        || rect(expected, "canvasViewportRect") != page.canvasViewportRect
        || rect(expected, "canvasClipRect") != page.canvasClipRect)
        return false;
    const QJsonArray primitives = expected.value(QLatin1String("primitives")).toArray();
    if (primitives.size() != page.primitives.size())
        return false;
    for (qsizetype i = 0; i < primitives.size(); ++i) {
        const QJsonObject want = primitives.at(i).toObject();
        const ResolvedPrimitive& have = page.primitives.at(i);
        if (want.value(QLatin1String("id")).toString() != have.id || integer(want, "sourceIndex") != have.sourceIndex
            || integer(want, "layer") != have.layer || integer(want, "paintOrder") != have.paintOrder
            || rect(want, "viewportRect") != have.viewportRect || rect(want, "clipRect") != have.clipRect
            || rect(want, "contentRect") != have.contentRect
            || rect(want, "contentClipRect") != have.contentClipRect
            || rect(want, "readinessGeometry") != have.readinessGeometry)
            return false;
        if (want.contains(QLatin1String("enter")) != have.enterType.has_value())
            return false;
        if (have.enterType && want.value(QLatin1String("enter")) != QJsonValue(enterJson(have)))
            return false;
        if (want.contains(QLatin1String("motion")) != have.motion.has_value())
            return false;
        if (have.motion && want.value(QLatin1String("motion")) != QJsonValue(motionJson(*have.motion)))
            return false;
    }
    const QJsonObject transition = expected.value(QLatin1String("transition")).toObject();
    const TransitionPose& pose = page.transition.pose;
    return transition.value(QLatin1String("type")).toString() == page.transition.type
        && integer(transition, "durationMs") == page.transition.durationMs
        && integer(transition, "elapsedMs") == page.transition.elapsedMs
        && integer(transition, "incomingOpacityPermille") == pose.incomingOpacityPermille
        && integer(transition, "outgoingOpacityPermille") == pose.outgoingOpacityPermille
        && integer(transition, "incomingTranslateXPermille") == pose.incomingTranslateXPermille
        && integer(transition, "incomingTranslateYPermille") == pose.incomingTranslateYPermille
        && integer(transition, "outgoingTranslateXPermille") == pose.outgoingTranslateXPermille
        && integer(transition, "outgoingTranslateYPermille") == pose.outgoingTranslateYPermille;
}

QString LayoutContract::sharedFixtureDirectory()
{
    return QDir::cleanPath(QStringLiteral(TALVORINE_LAYOUT_FIXTURE_DIR));
}

} // namespace talvorine
