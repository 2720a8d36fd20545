#include "tests/manifest/ManifestDump.h"

#include <QJsonArray>

#include <algorithm>

namespace talvorine::testing {

namespace {

QJsonValue optionalText(const std::optional<QString>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalInt(const std::optional<qint32>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue dumpVisibility(const std::optional<PageVisibility>& visibility)
{
    if (!visibility)
        return QJsonValue::Null;
    static const char* const names[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    QJsonValue windows = QJsonValue::Null;
    if (visibility->windows) {
        QJsonArray list;
        for (const VisibilityWindow& window : *visibility->windows) {
            QList<int> days;
            for (Weekday day : window.days)
                days.append(int(day));
            std::sort(days.begin(), days.end());
            QJsonArray dayNames;
            for (int day : days)
                dayNames.append(QString::fromLatin1(names[day]));
            list.append(QJsonObject{{QStringLiteral("days"), dayNames},
                                    {QStringLiteral("start"), optionalInt(window.startMinute)},
                                    {QStringLiteral("end"), optionalInt(window.endMinute)}});
        }
        windows = list;
    }
    return QJsonObject{{QStringLiteral("enabled"), visibility->enabled},
                       {QStringLiteral("from"), optionalText(visibility->from)},
                       {QStringLiteral("until"), optionalText(visibility->until)},
                       {QStringLiteral("windows"), windows}};
}

QJsonObject dumpMedia(const MediaItem& item)
{
    return QJsonObject{{QStringLiteral("mediaId"), item.mediaId},
                       {QStringLiteral("src"), item.src},
                       {QStringLiteral("intrinsicSize"),
                        QJsonArray{item.intrinsicSize.width(), item.intrinsicSize.height()}},
                       {QStringLiteral("sha256"), item.sha256},
                       {QStringLiteral("bytes"), item.bytes},
                       {QStringLiteral("contentType"), item.contentType},
                       {QStringLiteral("codecs"), item.codecs}};
}

QJsonValue dumpMotion(const std::optional<Primitive::Motion>& motion)
{
    if (!motion)
        return QJsonValue::Null;
    QJsonArray points;
    for (const ObjectMotionPoint& point : motion->points)
        points.append(QJsonArray{point.x, point.y});
    return QJsonObject{{QStringLiteral("type"), motion->type},
                       {QStringLiteral("spinDirection"), motion->spinDirection},
                       {QStringLiteral("spinSpeed"), motion->spinSpeed},
                       {QStringLiteral("points"), points},
                       {QStringLiteral("rate"), motion->rate},
                       {QStringLiteral("loop"), optionalText(motion->loop)},
                       {QStringLiteral("driftZoom"), motion->driftZoom},
                       {QStringLiteral("driftDirection"), motion->driftDirection},
                       {QStringLiteral("driftSpeed"), motion->driftSpeed}};
}

} // namespace

QJsonObject dumpPrimitive(const Primitive& primitive)
{
    QJsonArray media;
    const QList<MediaItem> items = mediaItems(primitive);
    for (const MediaItem& item : items)
        media.append(dumpMedia(item));
    const std::optional<qint32> dwell = mediaDwellMs(primitive);
    return QJsonObject{
        {QStringLiteral("id"), primitive.id},
        {QStringLiteral("kind"), qint32(primitive.kind)},
        {QStringLiteral("layer"), primitive.layer},
        {QStringLiteral("sourceIndex"), primitive.sourceIndex},
        {QStringLiteral("rect"), QJsonArray{primitive.rect.x(), primitive.rect.y(),
                                            primitive.rect.width(), primitive.rect.height()}},
        {QStringLiteral("contentFit"), primitive.contentFit},
        {QStringLiteral("intrinsicSize"),
         primitive.intrinsicSize ? QJsonValue(QJsonArray{primitive.intrinsicSize->width(),
                                                         primitive.intrinsicSize->height()})
                                 : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("binding"), primitive.binding},
        {QStringLiteral("capabilityHandle"), primitive.capabilityHandle},
        {QStringLiteral("controller"), primitive.controller},
        {QStringLiteral("mediaPrimitiveId"), primitive.mediaPrimitiveId},
        {QStringLiteral("enterType"), optionalText(primitive.enterType)},
        {QStringLiteral("enterStagger"), optionalInt(primitive.enterStagger)},
        {QStringLiteral("motion"), dumpMotion(primitive.motion)},
        {QStringLiteral("mediaItems"), media},
        {QStringLiteral("mediaItemCount"), media.size()},
        {QStringLiteral("dwellMs"), optionalInt(dwell)},
        {QStringLiteral("oneAtATime"), mediaOneAtATime(primitive)},
    };
}

QJsonObject dumpManifest(const Manifest& manifest)
{
    QJsonArray pages;
    for (const Page& page : manifest.pages) {
        QJsonArray primitives;
        for (const Primitive& primitive : page.primitives)
            primitives.append(dumpPrimitive(primitive));
        pages.append(QJsonObject{
            {QStringLiteral("contractVersion"), page.contractVersion},
            {QStringLiteral("id"), page.id},
            {QStringLiteral("type"), page.type == PageType::adslot ? QStringLiteral("adslot")
                                                                   : QStringLiteral("content")},
            {QStringLiteral("adslotId"), page.adslotId},
            {QStringLiteral("canvas"),
             QJsonObject{{QStringLiteral("width"), page.canvas.width},
                         {QStringLiteral("height"), page.canvas.height},
                         {QStringLiteral("viewportFit"), page.canvas.viewportFit},
                         {QStringLiteral("background"), canvasBackgroundJson(page.canvas.background)}}},
            {QStringLiteral("transition"), page.transition},
            {QStringLiteral("advance"), page.advance},
            {QStringLiteral("visibility"), dumpVisibility(page.visibility)},
            {QStringLiteral("audioCue"),
             page.audioCue ? QJsonValue(QJsonObject{{QStringLiteral("track"), page.audioCue->track},
                                                    {QStringLiteral("restart"), page.audioCue->restart}})
                           : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("primitives"), primitives},
            {QStringLiteral("primitiveCount"), primitives.size()},
            {QStringLiteral("rebuilds"), pageRebuildsOnAdvance(page)},
            {QStringLiteral("web"), pageHasWebPrimitive(page)},
        });
    }
    QJsonValue soundtrack = QJsonValue::Null;
    if (manifest.soundtrack) {
        QJsonArray tracks;
        for (const SoundtrackTrack& track : manifest.soundtrack->tracks)
            tracks.append(QJsonObject{{QStringLiteral("id"), track.id},
                                      {QStringLiteral("mediaId"), track.mediaId},
                                      {QStringLiteral("src"), track.src},
                                      {QStringLiteral("sha256"), track.sha256},
                                      {QStringLiteral("bytes"), track.bytes},
                                      {QStringLiteral("contentType"), track.contentType},
                                      {QStringLiteral("durationMs"), track.durationMs}});
        soundtrack = QJsonObject{{QStringLiteral("loop"), manifest.soundtrack->loop},
                                 {QStringLiteral("volume"), manifest.soundtrack->volume},
                                 {QStringLiteral("tracks"), tracks},
                                 {QStringLiteral("trackCount"), tracks.size()}};
    }
    return QJsonObject{
        {QStringLiteral("manifestRevision"), manifest.manifestRevision},
        {QStringLiteral("grantId"), manifest.grantId},
        {QStringLiteral("contentGeneration"), manifest.contentGeneration},
        {QStringLiteral("screenId"), manifest.screenId},
        {QStringLiteral("screenLabel"), manifest.screenLabel},
        {QStringLiteral("playlistRevision"), manifest.playlistRevision},
        {QStringLiteral("timezone"), manifest.timezone},
        {QStringLiteral("playlistId"), manifest.playlistId},
        {QStringLiteral("playlistName"), manifest.playlistName},
        {QStringLiteral("diagnosticCodes"), QJsonArray::fromStringList(manifest.diagnosticCodes)},
        {QStringLiteral("sourcePageCount"), manifest.sourcePageCount},
        {QStringLiteral("soundtrack"), soundtrack},
        {QStringLiteral("pages"), pages},
    };
}

QJsonValue lookup(const QJsonValue& root, const QString& path)
{
    QJsonValue current = root;
    for (const QString& step : path.split(QLatin1Char('/'))) {
        if (current.isObject()) {
            current = current.toObject().value(step);
        } else if (current.isArray()) {
            bool ok = false;
            const int index = step.toInt(&ok);
            if (!ok || index < 0 || index >= current.toArray().size())
                return QJsonValue::Undefined;
            current = current.toArray().at(index);
        } else {
            return QJsonValue::Undefined;
        }
    }
    return current;
}

} // namespace talvorine::testing
