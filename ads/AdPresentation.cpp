#include "ads/AdPresentation.h"

#include "storage/Saturating.h"

#include <QJsonArray>

namespace talvorine::AdPresentation {

QString pageId(const QString& occurrenceId)
{
    return QStringLiteral("ad_") + occurrenceId;
}

QString primitiveId(const QString& occurrenceId)
{
    return QStringLiteral("adfill_") + occurrenceId;
}

QJsonObject transition()
{
    return {{QStringLiteral("type"), QStringLiteral("crossfade")}, {QStringLiteral("durationMs"), 0}};
}

Page page(const QString& occurrenceId, const AdOccurrence::Resolved& decision, const QUrl& file,
          const QSizeF& viewport, std::optional<QSize> imageSize)
{
    const bool video = decision.kind == QLatin1String("video");
    const bool image = decision.kind == QLatin1String("image");

    Page page;
    page.id = pageId(occurrenceId);
    page.canvas.width = viewport.width();
    page.canvas.height = viewport.height();
    page.canvas.viewportFit = QStringLiteral("contain");
    page.canvas.background = CanvasBackground{0, QStringLiteral("#000000FF"), {}};
    page.transition = transition();
    if (video)
        page.advance = {{QStringLiteral("mode"), QStringLiteral("media_end")},
                        {QStringLiteral("maxMs"),
                         double(saturating::add(decision.durationMs, videoPageSlackMs))}};
    else
        page.advance = {{QStringLiteral("mode"), QStringLiteral("duration")},
                        {QStringLiteral("afterMs"), double(decision.durationMs)}};

    // An unreadable header leaves the size unknown; only a fill needs none.
    const QSizeF known = imageSize && image ? QSizeF(*imageSize) : QSizeF(-1, -1);
    QJsonObject item{{QStringLiteral("mediaId"), pageId(occurrenceId)},
                     {QStringLiteral("src"), file.toString()},
                     {QStringLiteral("sha256"), decision.sha256},
                     {QStringLiteral("bytes"), double(decision.bytes)},
                     {QStringLiteral("contentType"), decision.contentType}};
    if (!decision.codecs.isEmpty())
        item.insert(QStringLiteral("codecs"), decision.codecs);
    if (image)
        item.insert(QStringLiteral("intrinsicSize"),
                    QJsonObject{{QStringLiteral("width"), known.width()},
                                {QStringLiteral("height"), known.height()}});

    Primitive primitive;
    primitive.id = primitiveId(occurrenceId);
    primitive.kind = video ? PrimitiveKind::video : PrimitiveKind::image;
    primitive.rect = QRectF(0, 0, page.canvas.width, page.canvas.height);
    primitive.contentFit = video || decision.fit == QLatin1String("fill") ? QStringLiteral("fill")
                                                                          : decision.fit;
    if (primitive.contentFit != QLatin1String("fill"))
        primitive.intrinsicSize = known;
    primitive.binding = {{QStringLiteral("type"), video ? QStringLiteral("video") : QStringLiteral("image")},
                         {QStringLiteral("items"), QJsonArray{item}},
                         {QStringLiteral("oneAtATime"), false}};
    page.primitives = {primitive};
    return page;
}

bool videoStalled(const VideoProgress& progress)
{
    if (!progress.firstFrame)
        return progress.visitMs > firstFrameLimitMs;
    return progress.firstFrameMs > saturating::add(progress.durationMs, overrunLimitMs)
           || progress.stillMs > progressLimitMs;
}

} // namespace talvorine::AdPresentation
