#include "manifest/Manifest.h"

#include "manifest/JsonScan.h"
#include "manifest/ManifestParsing.h"
#include "manifest/PageTransitionRules.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cctype>
#include <cmath>
#include <vector>

namespace talvorine {

using namespace ManifestParsing;

namespace {

constexpr qsizetype pageCap = 100;
constexpr qsizetype primitiveCap = 24;
constexpr int webPrimitiveCap = 2;

// State that the page rules share across the pages of one document.
struct PageRun {
    int schemaVersion = 2;
    QString grantId;
    QUrl origin;
    QSet<QString> acceptedIds;
    QHash<QString, QJsonValue> cues;
    QList<Page>& pages;
    QList<ManifestDrop>& drops;
};

bool validAdvance(const QJsonValue& value, const QString& path)
{
    static const QSet<QString> allowed{QStringLiteral("mode"), QStringLiteral("afterMs"),
                                       QStringLiteral("maxMs")};
    if (!value.isObject())
        return false;
    const QJsonObject advance = value.toObject();
    noteUnknownKeys(advance, allowed, path);
    const QString mode = text(advance, QLatin1String("mode"));
    if (mode == QLatin1String("duration")) {
        return advance.contains(QLatin1String("mode"))
            && boundedInteger(advance.value(QLatin1String("afterMs")), 1000, 86400000);
    }
    if (mode == QLatin1String("application") || mode == QLatin1String("media_end")) {
        return advance.contains(QLatin1String("mode"))
            && boundedInteger(advance.value(QLatin1String("maxMs")), 1000, 86400000);
    }
    return false;
}

void parseAdslotPage(const QJsonObject& object, const QString& path, const QString& pageId,
                     PageRun& run)
{
    static const QSet<QString> required{QStringLiteral("id"), QStringLiteral("type"),
                                        QStringLiteral("adslot_id")};
    const QJsonValue slot = object.value(QLatin1String("adslot_id"));
    if (!hasRequiredKeys(object, required) || !id(object.value(QLatin1String("id")))
        || !slot.isString() || !trackId(slot.toString())) {
        recordDrop(run.drops, pageId, QString(), QStringLiteral("adslot_page_invalid"), path);
        return;
    }
    if (run.acceptedIds.contains(pageId)) {
        recordDrop(run.drops, pageId, QString(), QStringLiteral("page_id_duplicate"), path);
        return;
    }
    Page page;
    page.type = PageType::adslot;
    page.contractVersion = QStringLiteral("talvorine.canvas/v1");
    page.id = pageId;
    page.canvas = Canvas{};
    page.adslotId = slot.toString();
    if (object.contains(QLatin1String("visibility")))
        page.visibility = tolerantVisibility(object.value(QLatin1String("visibility")),
                                             path + QLatin1String(".visibility"), pageId, run.drops);
    run.acceptedIds.insert(pageId);
    run.pages.append(page);
}

void parsePage(const QJsonValue& entry, qsizetype index, PageRun& run)
{
    static const QSet<QString> pageKeys{
        QStringLiteral("contractVersion"), QStringLiteral("id"),        QStringLiteral("canvas"),
        QStringLiteral("transition"),      QStringLiteral("advance"),   QStringLiteral("primitives"),
        QStringLiteral("visibility"),      QStringLiteral("audioCue"),  QStringLiteral("type"),
        QStringLiteral("adslot_id")};
    static const QSet<QString> requiredKeys{
        QStringLiteral("contractVersion"), QStringLiteral("id"),      QStringLiteral("canvas"),
        QStringLiteral("transition"),      QStringLiteral("advance"), QStringLiteral("primitives")};
    static const QSet<QString> canvasKeys{QStringLiteral("width"), QStringLiteral("height"),
                                          QStringLiteral("viewportFit"), QStringLiteral("background")};
    static const QSet<QString> canvasRequired{QStringLiteral("width"), QStringLiteral("height"),
                                              QStringLiteral("viewportFit")};
    static const QSet<QString> transitionKeys{QStringLiteral("type"), QStringLiteral("durationMs"),
                                              QStringLiteral("elapsedMs")};
    static const QSet<QString> transitionRequired{QStringLiteral("type"), QStringLiteral("durationMs")};

    const QString path = QStringLiteral("pages[%1]").arg(index);
    if (!entry.isObject()) {
        recordDrop(run.drops, QString(), QString(), QStringLiteral("page_invalid"), path);
        return;
    }
    const QJsonObject object = entry.toObject();
    noteUnknownKeys(object, pageKeys, path);
    const QString pageId = text(object, QLatin1String("id"));
    const QString type = text(object, QLatin1String("type"));
    const auto drop = [&](const QString& code, const QString& at) {
        recordDrop(run.drops, pageId, QString(), code, at);
    };

    if (type == QLatin1String("adslot")) {
        if (run.schemaVersion == 3)
            parseAdslotPage(object, path, pageId, run);
        else
            drop(QStringLiteral("adslot_unsupported"), path);
        return;
    }
    if (run.schemaVersion == 3 && object.contains(QLatin1String("type"))) {
        drop(QStringLiteral("page_type_unknown"), path + QLatin1String(".type"));
        return;
    }
    if (!hasRequiredKeys(object, requiredKeys)
        || text(object, QLatin1String("contractVersion")) != QLatin1String("talvorine.canvas/v1")
        || !id(object.value(QLatin1String("id"))) || !object.value(QLatin1String("canvas")).isObject()
        || !object.value(QLatin1String("primitives")).isArray()) {
        drop(QStringLiteral("page_invalid"), path);
        return;
    }
    const QJsonValue advance = object.value(QLatin1String("advance"));
    if (advance.isObject()) {
        const QString mode = text(advance.toObject(), QLatin1String("mode"));
        if (mode != QLatin1String("duration") && mode != QLatin1String("application")
            && mode != QLatin1String("media_end")) {
            drop(QStringLiteral("advance_mode_unknown"), path + QLatin1String(".advance.mode"));
            return;
        }
    }
    if (!validAdvance(advance, path + QLatin1String(".advance"))) {
        drop(QStringLiteral("page_invalid"), path);
        return;
    }
    if (run.acceptedIds.contains(pageId)) {
        drop(QStringLiteral("page_id_duplicate"), path);
        return;
    }

    const QString canvasPath = path + QLatin1String(".canvas");
    const QJsonObject canvasObject = object.value(QLatin1String("canvas")).toObject();
    noteUnknownKeys(canvasObject, canvasKeys, canvasPath);
    const QString viewportFit = text(canvasObject, QLatin1String("viewportFit"));
    if (!hasRequiredKeys(canvasObject, canvasRequired)
        || !finiteNumber(canvasObject.value(QLatin1String("width")), 0.0, true)
        || !finiteNumber(canvasObject.value(QLatin1String("height")), 0.0, true)
        || (viewportFit != QLatin1String("contain") && viewportFit != QLatin1String("cover")
            && viewportFit != QLatin1String("fill"))) {
        drop(QStringLiteral("canvas_invalid"), canvasPath);
        return;
    }
    Canvas canvas;
    canvas.width = canvasObject.value(QLatin1String("width")).toDouble();
    canvas.height = canvasObject.value(QLatin1String("height")).toDouble();
    canvas.viewportFit = viewportFit;
    if (canvasObject.contains(QLatin1String("background"))) {
        if (auto background = parseCanvasBackground(canvasObject.value(QLatin1String("background"))))
            canvas.background = *background;
        else
            drop(QStringLiteral("background_unknown"), canvasPath + QLatin1String(".background"));
    }

    const QString transitionPath = path + QLatin1String(".transition");
    const QJsonValue transitionValue = object.value(QLatin1String("transition"));
    if (!transitionValue.isObject()) {
        drop(QStringLiteral("transition_invalid"), transitionPath);
        return;
    }
    QJsonObject transition = transitionValue.toObject();
    noteUnknownKeys(transition, transitionKeys, transitionPath);
    if (!hasRequiredKeys(transition, transitionRequired)
        || !transition.value(QLatin1String("type")).isString()
        || !boundedInteger(transition.value(QLatin1String("durationMs")), 0, 60000)) {
        drop(QStringLiteral("transition_invalid"), transitionPath);
        return;
    }
    const QByteArray transitionType = text(transition, QLatin1String("type")).toUtf8();
    if (!PageTransitionRules::validType(
            std::string_view(transitionType.constData(), std::size_t(transitionType.size())))) {
        drop(QStringLiteral("transition_type_unknown"), transitionPath + QLatin1String(".type"));
        transition.insert(QLatin1String("type"), QStringLiteral("crossfade"));
    }

    Page page;
    page.type = PageType::content;
    page.contractVersion = text(object, QLatin1String("contractVersion"));
    page.id = pageId;
    page.canvas = canvas;
    page.transition = transition;
    page.advance = advance.toObject();
    if (object.contains(QLatin1String("visibility")))
        page.visibility = tolerantVisibility(object.value(QLatin1String("visibility")),
                                             path + QLatin1String(".visibility"), pageId, run.drops);

    const QString primitivesPath = path + QLatin1String(".primitives");
    const QJsonArray primitives = object.value(QLatin1String("primitives")).toArray();
    if (primitives.size() > primitiveCap)
        drop(QStringLiteral("primitive_count_invalid"), primitivesPath);
    const qsizetype examined = std::min(primitives.size(), primitiveCap);
    QSet<QString> takenIds;
    int webPrimitives = 0;
    int streams = 0;
    for (qsizetype i = 0; i < examined; ++i) {
        const QString primitivePath = primitivesPath + QStringLiteral("[%1]").arg(i);
        const QJsonValue element = primitives.at(i);
        if (!element.isObject()) {
            drop(QStringLiteral("primitive_invalid"), primitivePath);
            continue;
        }
        std::optional<Primitive> primitive = parsePrimitive(
            element.toObject(), primitivePath, qint32(i), run.grantId, run.origin, pageId, run.drops);
        if (!primitive)
            continue;
        if (takenIds.contains(primitive->id)) {
            recordDrop(run.drops, pageId, primitive->id, QStringLiteral("primitive_id_duplicate"),
                       primitivesPath);
            continue;
        }
        const bool web = primitive->kind == PrimitiveKind::application
            || primitive->kind == PrimitiveKind::iframe;
        if (web && webPrimitives >= webPrimitiveCap) {
            recordDrop(run.drops, pageId, primitive->id, QStringLiteral("web_primitive_count_invalid"),
                       primitivePath);
            continue;
        }
        if (web)
            ++webPrimitives;
        if (primitive->kind == PrimitiveKind::stream)
            ++streams;
        takenIds.insert(primitive->id);
        page.primitives.append(*primitive);
    }
    if (page.primitives.isEmpty()) {
        drop(QStringLiteral("primitive_count_invalid"), primitivesPath);
        return;
    }
    if (streams > 1
        || (streams == 1 && text(page.advance, QLatin1String("mode")) != QLatin1String("duration"))) {
        drop(QStringLiteral("stream_timing_invalid"), path + QLatin1String(".advance"));
        return;
    }
    run.acceptedIds.insert(pageId);
    if (object.contains(QLatin1String("audioCue")))
        run.cues.insert(pageId, object.value(QLatin1String("audioCue")));
    run.pages.append(page);
}

ManifestError fatal(const char* code, const char* path)
{
    return ManifestError{QString::fromLatin1(code), QString::fromLatin1(path)};
}

// The document as the page rules will see it, before any of it is built: a JSON tree costs
// tens of bytes per value, so the entries of "pages" past pageCap and of a page's "primitives"
// past primitiveCap, which the rules never examine, are cut from the text first. One null stands
// for all of an array's cut entries, so that the rules still see it overlong and record its drop.
// Cut entries are checked as Qt's parser would check them, never built.
struct CappedDocument {
    QByteArray bytes;
    // Entries of the root's "pages" array before the cut; -1 when it has none.
    qsizetype pageCount = -1;
};

// A key as JSON means it, escapes decoded; only the short keys the cut looks for are kept.
QByteArray keyText(QByteArrayView raw)
{
    if (raw.size() > 64)
        return {};
    if (!raw.contains('\\'))
        return raw.toByteArray();
    const QJsonDocument decoded = QJsonDocument::fromJson("[\"" + raw.toByteArray() + "\"]");
    return decoded.array().at(0).toString().toUtf8();
}

// Empty when the text is not a document QJsonDocument::fromJson takes: a string it refuses or
// that never closes, a bracket that closes nothing or is never closed, nesting past its limit, or
// cut entries it would refuse. Handing such a text on whole would have Qt build the tree up to the
// fault (hundreds of megabytes at the transport's cap) only to refuse it then.
std::optional<CappedDocument> capDocument(const QByteArray& text)
{
    struct Frame {
        bool object = false;
        qsizetype cap = -1; // arrays the page rules cut
        bool pages = false;
        qsizetype entries = 1;
        bool keyNext = false;
        QByteArray key;
    };
    CappedDocument capped;
    QByteArray out;
    qsizetype copiedTo = 0;
    std::vector<Frame> stack;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '"') {
            const qsizetype end = JsonScan::stringEnd(text, i + 1);
            if (end < 0)
                return std::nullopt;
            if (!stack.empty() && stack.back().object && stack.back().keyNext) {
                stack.back().key = keyText(QByteArrayView(text).sliced(i + 1, end - i - 2));
                stack.back().keyNext = false;
            }
            i = end - 1;
        } else if (c == '{' || c == '[') {
            if (stack.size() >= JsonScan::maximumNesting)
                return std::nullopt;
            Frame frame;
            frame.object = c == '{';
            frame.keyNext = frame.object;
            qsizetype next = i + 1;
            while (next < text.size() && std::isspace(static_cast<unsigned char>(text.at(next))))
                ++next;
            if (next < text.size() && text.at(next) == ']')
                frame.entries = 0;
            if (!frame.object && !stack.empty() && stack.back().object) {
                const std::size_t depth = stack.size();
                if (depth == 1 && stack.back().key == "pages") {
                    frame.cap = pageCap;
                    frame.pages = true;
                } else if (depth == 3 && stack[1].pages && stack.back().key == "primitives") {
                    frame.cap = primitiveCap;
                }
            }
            stack.push_back(std::move(frame));
        } else if (c == '}' || c == ']') {
            if (stack.empty())
                return std::nullopt;
            if (stack.back().pages)
                capped.pageCount = stack.back().entries;
            stack.pop_back();
        } else if (c == ',' && !stack.empty()) {
            Frame& frame = stack.back();
            frame.keyNext = frame.object;
            if (frame.cap < 0 || frame.entries < frame.cap) {
                ++frame.entries;
                continue;
            }
            // Past the cap: the rest of the array goes, counted, up to its closing bracket.
            const JsonScan::ArrayRest rest = JsonScan::skipArrayRest(text, i + 1, stack.size());
            if (rest.close < 0)
                return std::nullopt;
            frame.entries += rest.entries;
            out.append(QByteArrayView(text).sliced(copiedTo, i - copiedTo));
            out.append(",null");
            copiedTo = rest.close;
            i = rest.close - 1;
        }
    }
    if (!stack.empty())
        return std::nullopt;
    if (copiedTo == 0) {
        capped.bytes = text;
    } else {
        out.append(QByteArrayView(text).sliced(copiedTo));
        capped.bytes = std::move(out);
    }
    return capped;
}

} // namespace

ManifestParseResult ManifestParser::parse(const QByteArray& bytes, const QUrl& origin)
{
    return parse(bytes, origin, 0);
}

ManifestParseResult ManifestParser::parse(const QByteArray& bytes, const QUrl& origin,
                                          int expectedSchemaVersion)
{
    const UnknownKeyDocumentScope unknownKeys;
    std::optional<CappedDocument> capped = capDocument(bytes);
    if (!capped)
        return fatal("manifest_json_invalid", "$");
    const qsizetype pageCount = capped->pageCount;
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(capped->bytes, &error);
    // The capped text goes as soon as the tree is built.
    capped.reset();
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return fatal("manifest_json_invalid", "$");
    const QJsonObject root = json.object();

    const QJsonValue version = root.value(QLatin1String("schemaVersion"));
    if (expectedSchemaVersion > 0
        && (!version.isDouble() || version.toDouble() != double(expectedSchemaVersion)))
        return fatal("manifest_version_unexpected", "schemaVersion");

    static const QSet<QString> requiredKeys{
        QStringLiteral("schemaVersion"),    QStringLiteral("manifestRevision"),
        QStringLiteral("grantId"),          QStringLiteral("contentGeneration"),
        QStringLiteral("screenId"),         QStringLiteral("screenLabel"),
        QStringLiteral("playlistRevision"), QStringLiteral("generatedAt"),
        QStringLiteral("pages")};
    const auto optionalString = [&root](QLatin1String key) {
        return !root.contains(key) || root.value(key).isString();
    };
    if (!hasRequiredKeys(root, requiredKeys) || !boundedInteger(version, 2, 3)
        || !id(root.value(QLatin1String("manifestRevision"))) || !id(root.value(QLatin1String("grantId")))
        || !id(root.value(QLatin1String("screenId"))) || !root.value(QLatin1String("pages")).isArray()
        || !optionalString(QLatin1String("playlistId")) || !optionalString(QLatin1String("playlistName"))
        || !optionalString(QLatin1String("etag")))
        return fatal("manifest_shape_invalid", "$");

    Manifest manifest;
    manifest.document = root;
    manifest.manifestRevision = text(root, QLatin1String("manifestRevision"));
    manifest.grantId = text(root, QLatin1String("grantId"));
    manifest.contentGeneration = root.value(QLatin1String("contentGeneration")).toInt(0);
    manifest.screenId = text(root, QLatin1String("screenId"));
    manifest.screenLabel = text(root, QLatin1String("screenLabel"));
    manifest.playlistRevision = root.value(QLatin1String("playlistRevision")).toInt(0);
    manifest.playlistId = text(root, QLatin1String("playlistId"));
    manifest.playlistName = text(root, QLatin1String("playlistName"));

    const QJsonValue diagnostics = root.value(QLatin1String("diagnostics"));
    if (diagnostics.isArray()) {
        manifest.diagnostics = diagnostics.toArray();
        for (const QJsonValue& entry : manifest.diagnostics) {
            const QString code = entry.toObject().value(QLatin1String("code")).toString();
            if (!code.isEmpty())
                manifest.diagnosticCodes.append(code);
        }
    }

    if (root.contains(QLatin1String("timezone"))) {
        const QJsonValue zone = root.value(QLatin1String("timezone"));
        if (!zone.isString() || zone.toString().isEmpty() || zone.toString().size() > 2048)
            return fatal("timezone_invalid", "timezone");
        manifest.timezone = zone.toString();
    }

    const QJsonArray pages = root.value(QLatin1String("pages")).toArray();
    manifest.sourcePageCount = qint32(std::min<qsizetype>(pageCount >= 0 ? pageCount : pages.size(),
                                                          std::numeric_limits<qint32>::max()));
    if (pages.size() > pageCap)
        recordDrop(manifest.drops, QString(), QString(), QStringLiteral("page_count_invalid"),
                   QStringLiteral("pages"));
    PageRun run{qint32(version.toInt()), manifest.grantId, origin, {}, {}, manifest.pages, manifest.drops};
    const qsizetype examined = std::min(pages.size(), pageCap);
    for (qsizetype i = 0; i < examined; ++i)
        parsePage(pages.at(i), i, run);

    manifest.soundtrack = tolerantSoundtrack(root, origin, manifest.drops);

    for (Page& page : manifest.pages) {
        if (page.type != PageType::content)
            continue;
        const auto cue = run.cues.constFind(page.id);
        if (cue != run.cues.constEnd())
            page.audioCue = tolerantAudioCue(*cue, manifest.soundtrack, page.id, manifest.drops);
    }
    return manifest;
}

QJsonObject ManifestParser::renderDescriptor(const Primitive& primitive)
{
    QJsonObject descriptor{
        {QStringLiteral("id"), primitive.id},
        {QStringLiteral("layer"), primitive.layer},
        {QStringLiteral("source_index"), primitive.sourceIndex},
        {QStringLiteral("contentFit"), primitive.contentFit},
        {QStringLiteral("primitive"), primitive.binding.value(QLatin1String("type"))},
    };
    switch (primitive.kind) {
    case PrimitiveKind::image:
    case PrimitiveKind::video: {
        const QList<MediaItem> items = mediaItems(primitive);
        if (!items.isEmpty())
            descriptor.insert(QLatin1String("source"), items.first().src);
        break;
    }
    case PrimitiveKind::application:
        descriptor.insert(QLatin1String("launchUrl"), primitive.binding.value(QLatin1String("launchUrl")));
        descriptor.insert(QLatin1String("origin"), primitive.binding.value(QLatin1String("origin")));
        break;
    case PrimitiveKind::iframe:
        descriptor.insert(QLatin1String("source"), primitive.binding.value(QLatin1String("src")));
        descriptor.insert(QLatin1String("title"), primitive.binding.value(QLatin1String("title")));
        break;
    default:
        break;
    }
    return descriptor;
}

QList<MediaItem> mediaItems(const Primitive& primitive)
{
    QList<MediaItem> items;
    if (primitive.kind != PrimitiveKind::image && primitive.kind != PrimitiveKind::video
        && primitive.kind != PrimitiveKind::stream)
        return items;
    const QJsonArray entries = primitive.binding.value(QLatin1String("items")).toArray();
    items.reserve(entries.size());
    for (const QJsonValue& entry : entries) {
        const QJsonObject item = entry.toObject();
        const QJsonObject size = item.value(QLatin1String("intrinsicSize")).toObject();
        MediaItem media;
        media.mediaId = text(item, QLatin1String("mediaId"));
        media.src = text(item, QLatin1String("src"));
        media.intrinsicSize = QSizeF(size.value(QLatin1String("width")).toDouble(0.0),
                                     size.value(QLatin1String("height")).toDouble(0.0));
        media.sha256 = text(item, QLatin1String("sha256"));
        media.bytes = item.value(QLatin1String("bytes")).toInteger(0);
        media.contentType = text(item, QLatin1String("contentType"));
        media.codecs = text(item, QLatin1String("codecs"));
        items.append(media);
    }
    return items;
}

QString contractDropCode(const QString& code)
{
    static const QHash<QString, QString> table{
        {QStringLiteral("content_type_unsupported"), QStringLiteral("unknown_primitive_kind")},
        {QStringLiteral("advance_mode_unknown"), QStringLiteral("unknown_advance_mode")},
        {QStringLiteral("background_unknown"), QStringLiteral("unknown_background")},
        {QStringLiteral("transition_type_unknown"), QStringLiteral("unknown_transition_type")},
        {QStringLiteral("visibility_key_unknown"), QStringLiteral("unknown_visibility_key")},
        {QStringLiteral("visibility_invalid"), QStringLiteral("invalid_visibility")},
        {QStringLiteral("enter_type_unknown"), QStringLiteral("unknown_enter_type")},
        {QStringLiteral("enter_invalid"), QStringLiteral("invalid_enter")},
        {QStringLiteral("motion_type_unknown"), QStringLiteral("unknown_motion_type")},
        {QStringLiteral("motion_invalid"), QStringLiteral("invalid_motion")},
        {QStringLiteral("motion_not_allowed_for_primitive"), QStringLiteral("invalid_motion")},
        {QStringLiteral("media_item_invalid"), QStringLiteral("invalid_media_item")},
        {QStringLiteral("stream_protocol_unknown"), QStringLiteral("unknown_stream_protocol")},
        {QStringLiteral("stream_source_invalid"), QStringLiteral("unknown_stream_protocol")},
        {QStringLiteral("manifest_version_unexpected"), QStringLiteral("manifest_version_unexpected")},
        {QStringLiteral("media_codecs_ignored"), QString()},
        {QStringLiteral("audio_track_invalid"), QStringLiteral("invalid_audio_track")},
        {QStringLiteral("audio_cue_invalid"), QStringLiteral("invalid_audio_cue")},
    };
    const auto it = table.constFind(code);
    if (it != table.constEnd())
        return *it;
    if (code.startsWith(QLatin1String("primitive_")) || code.endsWith(QLatin1String("_binding_invalid"))
        || code.startsWith(QLatin1String("stream_")) || code == QLatin1String("content_fit_invalid")
        || code == QLatin1String("media_intrinsic_size_invalid")
        || code == QLatin1String("web_primitive_count_invalid"))
        return QStringLiteral("invalid_primitive");
    return QStringLiteral("invalid_page");
}

ManifestOutcome manifestOutcome(const Manifest& manifest)
{
    if (manifest.sourcePageCount != 0)
        return manifest.pages.isEmpty() ? ManifestOutcome::keep_lkg : ManifestOutcome::render;
    return manifest.diagnosticCodes.isEmpty() ? ManifestOutcome::no_content : ManifestOutcome::keep_lkg;
}

QString manifestOutcomeName(ManifestOutcome outcome)
{
    switch (outcome) {
    case ManifestOutcome::render:
        return QStringLiteral("render");
    case ManifestOutcome::no_content:
        return QStringLiteral("no_content");
    default:
        return QStringLiteral("keep_lkg");
    }
}

bool pageRebuildsOnAdvance(const Page& page)
{
    for (const Primitive& primitive : page.primitives) {
        if (primitive.kind == PrimitiveKind::application || primitive.kind == PrimitiveKind::video
            || primitive.kind == PrimitiveKind::iframe)
            return true;
    }
    return false;
}

bool pageHasWebPrimitive(const Page& page)
{
    for (const Primitive& primitive : page.primitives) {
        if (primitive.kind == PrimitiveKind::application || primitive.kind == PrimitiveKind::iframe)
            return true;
    }
    return false;
}

bool mediaOneAtATime(const Primitive& primitive)
{
    return primitive.binding.value(QLatin1String("oneAtATime")).toBool(false);
}

std::optional<qint32> mediaDwellMs(const Primitive& primitive)
{
    if (primitive.kind != PrimitiveKind::image || !primitive.binding.contains(QLatin1String("dwellMs")))
        return std::nullopt;
    const qint32 dwell = primitive.binding.value(QLatin1String("dwellMs")).toInt(0);
    if (dwell > 999)
        return dwell;
    return std::nullopt;
}

} // namespace talvorine
