#include "controller/PlayerPreparation.h"

#include "controller/PlayerController.h"

#include <QJsonValue>
#include <QSet>

#include <algorithm>

namespace talvorine {

namespace {

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

QString kindName(PrimitiveKind kind)
{
    switch (kind) {
    case PrimitiveKind::application:
        return QStringLiteral("application");
    case PrimitiveKind::image:
        return QStringLiteral("image");
    case PrimitiveKind::video:
        return QStringLiteral("video");
    case PrimitiveKind::stream:
        return QStringLiteral("stream");
    default:
        return QStringLiteral("iframe");
    }
}

QJsonObject objectEntry(const PlanObject& object)
{
    QJsonObject entry{
        {QStringLiteral("sha256"), object.sha256},
        {QStringLiteral("bytes"), StoragePlan::encodeByteValue(object.bytes)},
        {QStringLiteral("contentType"), object.contentType},
        {QStringLiteral("kind"), object.isPackage ? QStringLiteral("package") : QStringLiteral("media")},
    };
    if (object.expandedBytes)
        entry.insert(QStringLiteral("expandedBytes"), StoragePlan::encodeByteValue(*object.expandedBytes));
    if (object.expandedFiles)
        entry.insert(QStringLiteral("expandedFiles"), StoragePlan::encodeByteValue(*object.expandedFiles));
    return entry;
}

std::optional<qint64> optionalByteValue(const QJsonObject& object, const char* name)
{
    if (!object.contains(key(name)))
        return std::nullopt;
    return StoragePlan::parseByteValue(object.value(key(name)));
}

QStringList lenientStrings(const QJsonValue& value)
{
    QStringList list;
    for (const QJsonValue& element : value.toArray())
        list.append(element.toString());
    return list;
}

const StoragePlanRecord* matching(const std::optional<StoragePlanRecord>& record,
                                  const QString& revision)
{
    return record && record->manifestRevision == revision ? &*record : nullptr;
}

} // namespace

QList<PlanObject> planObjects(const Primitive& primitive)
{
    QList<PlanObject> objects;
    switch (primitive.kind) {
    case PrimitiveKind::application: {
        const QJsonObject package = primitive.binding.value(key("package")).toObject();
        PlanObject object;
        object.sha256 = package.value(key("sha256")).toString();
        object.bytes = std::max<qint64>(package.value(key("bytes")).toInteger(0), 0);
        object.contentType = QStringLiteral("application/vnd.talvorine.webapp-package+tar+gzip");
        object.isPackage = true;
        object.expandedBytes = optionalByteValue(package, "expandedBytes");
        object.expandedFiles = optionalByteValue(package, "expandedFiles");
        objects.append(object);
        break;
    }
    case PrimitiveKind::image:
    case PrimitiveKind::video:
    case PrimitiveKind::stream:
        for (const MediaItem& item : mediaItems(primitive)) {
            PlanObject object;
            object.sha256 = item.sha256;
            object.bytes = std::max<qint64>(item.bytes, 0);
            object.contentType = item.contentType.isEmpty()
                                     ? QStringLiteral("application/octet-stream")
                                     : item.contentType;
            objects.append(object);
        }
        break;
    default:
        break;
    }
    return objects;
}

QJsonObject storagePlanInput(const Manifest& manifest)
{
    QHash<QString, QJsonValue> visibility;
    for (const QJsonValue& element : manifest.document.value(key("pages")).toArray()) {
        const QJsonObject page = element.toObject();
        if (element.isObject() && page.contains(key("visibility")))
            visibility.insert(page.value(key("id")).toString(), page.value(key("visibility")));
    }

    QJsonArray soundtrackObjects;
    if (manifest.soundtrack) {
        for (const SoundtrackTrack& track : manifest.soundtrack->tracks) {
            // The content type goes in as given: a track without one makes the planner refuse
            // the document, which is how such a soundtrack shows up.
            soundtrackObjects.append(QJsonObject{
                {QStringLiteral("sha256"), track.sha256},
                {QStringLiteral("bytes"), StoragePlan::encodeByteValue(std::max<qint64>(track.bytes, 0))},
                {QStringLiteral("contentType"), track.contentType},
                {QStringLiteral("kind"), QStringLiteral("media")},
            });
        }
    }

    QJsonArray pages;
    for (const Page& page : manifest.pages) {
        QJsonObject pageJson{{QStringLiteral("id"), page.id}};
        if (page.type == PageType::adslot)
            pageJson.insert(QStringLiteral("type"), QStringLiteral("adslot"));
        if (page.visibility)
            pageJson.insert(QStringLiteral("visibility"), visibility.value(page.id, QJsonObject()));
        QJsonArray primitives;
        for (const Primitive& primitive : page.primitives) {
            QJsonArray objects;
            for (const PlanObject& object : planObjects(primitive))
                objects.append(objectEntry(object));
            primitives.append(QJsonObject{{QStringLiteral("kind"), kindName(primitive.kind)},
                                          {QStringLiteral("objects"), objects}});
        }
        if (page.type != PageType::adslot && manifest.soundtrack)
            primitives.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("audio")},
                                          {QStringLiteral("objects"), soundtrackObjects}});
        pageJson.insert(QStringLiteral("primitives"), primitives);
        pages.append(pageJson);
    }
    return QJsonObject{{QStringLiteral("manifest"), QJsonObject{{QStringLiteral("pages"), pages}}}};
}

QHash<QString, qint64> storagePlanOnGlassObjects(const Manifest& manifest,
                                                 const QList<int>& pageIndices)
{
    QHash<QString, qint64> table;
    for (int index : pageIndices) {
        if (index < 0 || index >= manifest.pages.size())
            continue;
        for (const Primitive& primitive : manifest.pages.at(index).primitives) {
            for (const PlanObject& object : planObjects(primitive)) {
                // An application without a package names no object that could be on disk;
                // listing it would only make the planner refuse the whole input.
                if (object.sha256.isEmpty())
                    continue;
                const qint64 retained = StoragePlan::objectRetainedBytes(
                    object.isPackage, object.bytes, object.expandedBytes, object.expandedFiles);
                qint64& stored = table[object.sha256];
                stored = std::max(stored, retained);
            }
        }
    }
    return table;
}

QJsonArray storagePlanOldObjects(const QHash<QString, qint64>& onGlass)
{
    QJsonArray array;
    for (auto it = onGlass.constBegin(); it != onGlass.constEnd(); ++it)
        array.append(QJsonObject{{QStringLiteral("sha256"), it.key()},
                                 {QStringLiteral("retained_bytes"),
                                  StoragePlan::encodeByteValue(it.value())}});
    return array;
}

QJsonObject storagePlanRecordJson(const StoragePlanRecord& record)
{
    QJsonObject json = record.plan.toJson();
    json.insert(QStringLiteral("manifest_revision"), record.manifestRevision);
    json.insert(QStringLiteral("stage"), record.stage);
    json.insert(QStringLiteral("volume_total"), StoragePlan::encodeByteValue(record.volumeTotal));
    json.insert(QStringLiteral("required_bytes"), StoragePlan::encodeByteValue(record.requiredBytes));
    json.insert(QStringLiteral("target_bytes"), StoragePlan::encodeByteValue(record.targetBytes));
    json.insert(QStringLiteral("anchor_page_id"), record.anchorPageId);
    return json;
}

std::optional<StoragePlanRecord> storagePlanRecordFromJson(const QJsonObject& json)
{
    static const QSet<QString> fits{
        QStringLiteral("fits"),    QStringLiteral("fits_after_eviction"),
        QStringLiteral("retention_reduced"), QStringLiteral("partial"),
        QStringLiteral("transition_blocked"), QStringLiteral("none_fit")};
    static const QSet<QString> transitions{QStringLiteral("direct"), QStringLiteral("staged"),
                                           QStringLiteral("blocked")};

    StoragePlanRecord record;
    record.manifestRevision = json.value(key("manifest_revision")).toString();
    if (record.manifestRevision.isEmpty())
        return std::nullopt;
    StoragePlanResult& plan = record.plan;
    plan.fit = json.value(key("fit")).toString();
    if (!fits.contains(plan.fit))
        return std::nullopt;
    plan.transition = json.value(key("transition")).toString();
    if (!transitions.contains(plan.transition))
        return std::nullopt;
    const std::optional<qint64> baseline = StoragePlan::parseByteValue(json.value(key("capacity_baseline")));
    if (!baseline)
        return std::nullopt;
    plan.capacity_baseline = *baseline;
    record.stage = json.value(key("stage")).toString();
    if (record.stage != QLatin1String("s1") && record.stage != QLatin1String("complete"))
        return std::nullopt;
    if (!json.value(key("target_page_ids")).isArray())
        return std::nullopt;

    plan.target_page_ids = lenientStrings(json.value(key("target_page_ids")));
    plan.stage1_page_ids = lenientStrings(json.value(key("stage1_page_ids")));
    plan.evict = lenientStrings(json.value(key("evict")));
    const QJsonValue decision = json.value(key("decision"));
    plan.decision = decision.isString() ? decision.toString() : QStringLiteral("compute");
    record.anchorPageId = json.value(key("anchor_page_id")).toString();
    plan.anchor_page_id = record.anchorPageId;
    plan.growth_eligible_since_ms = StoragePlan::parseByteValue(json.value(key("growth_eligible_since_ms")));
    plan.headroom_needed_bytes = StoragePlan::parseByteValue(json.value(key("headroom_needed_bytes")));
    for (const QJsonValue& element : json.value(key("excluded")).toArray()) {
        const QJsonObject exclusion = element.toObject();
        plan.excluded.append({exclusion.value(key("page_id")).toString(),
                              exclusion.value(key("reason")).toString()});
    }
    record.volumeTotal = StoragePlan::parseByteValue(json.value(key("volume_total"))).value_or(0);
    record.requiredBytes = StoragePlan::parseByteValue(json.value(key("required_bytes"))).value_or(0);
    record.targetBytes = StoragePlan::parseByteValue(json.value(key("target_bytes"))).value_or(0);
    return record;
}

const StoragePlanRecord* storagePlanFor(const std::optional<StoragePlanRecord>& pending,
                                        const std::optional<StoragePlanRecord>& active,
                                        const QString& revision)
{
    if (const StoragePlanRecord* record = matching(pending, revision))
        return record;
    return matching(active, revision);
}

bool pageInStoragePlan(const std::optional<StoragePlanRecord>& pending,
                       const std::optional<StoragePlanRecord>& active, const Manifest& manifest,
                       int index)
{
    const StoragePlanRecord* record = storagePlanFor(pending, active, manifest.manifestRevision);
    if (index < 0 || index >= manifest.pages.size() || !record)
        return true;
    const QString& id = manifest.pages.at(index).id;
    if (pending && record == &*pending && record->stage == QLatin1String("s1"))
        return record->plan.stage1_page_ids.contains(id);
    return record->plan.target_page_ids.contains(id);
}

bool storagePlanAnchorOnGlass(bool pageOnGlass, const std::optional<Manifest>& activeManifest,
                              const QList<int>& eligibleIndices, const QString& revision,
                              const StoragePlanRecord& record)
{
    if (!pageOnGlass || !activeManifest || activeManifest->manifestRevision != revision)
        return false;
    return std::any_of(eligibleIndices.cbegin(), eligibleIndices.cend(), [&](int index) {
        return index >= 0 && index < activeManifest->pages.size()
               && activeManifest->pages.at(index).id == record.anchorPageId;
    });
}

QJsonObject storagePlanPrevious(const StoragePlanRecord& record, qint64 nowMs,
                                qint64 cyclesIn24h, bool anchorOnGlass)
{
    QJsonObject previous = record.plan.toJson();
    previous.remove(QStringLiteral("decision"));
    previous.remove(QStringLiteral("headroom_needed_bytes"));
    previous.insert(QStringLiteral("now_ms"), StoragePlan::encodeByteValue(std::max<qint64>(nowMs, 0)));
    previous.insert(QStringLiteral("shrink_grow_cycles_24h"), double(std::max<qint64>(cyclesIn24h, 0)));
    previous.insert(QStringLiteral("anchor_on_glass"), anchorOnGlass);
    return previous;
}

} // namespace talvorine

// --- The controller's planning, preparation, readiness and replacement ---------------------
// Wired by the constructor or called by other units; the content pipeline fills them.

namespace talvorine {

void PlayerController::sampleStorage() {}
void PlayerController::recoverActiveRenderer() {}
void PlayerController::cancelCandidateWork() {}
void PlayerController::pumpReplacement() {}
void PlayerController::abortReplacementIdle() {}
void PlayerController::cancelReplacement() {}

} // namespace talvorine
