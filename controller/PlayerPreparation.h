#pragma once

// The controller's side of storage planning: the planner's input document written from a
// parsed manifest, and the record of the plan chosen for a revision with its JSON form. These
// are free functions over the values they need so that the controller's members stay the
// only state.

#include "manifest/Manifest.h"
#include "storage/StoragePlan.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace talvorine {

// One storage object of a primitive as the planner sees it.
struct PlanObject {
    QString sha256;
    qint64 bytes = 0;
    QString contentType;
    bool isPackage = false;
    std::optional<qint64> expandedBytes;
    std::optional<qint64> expandedFiles;

    friend bool operator==(const PlanObject&, const PlanObject&) = default;
};

// The objects a primitive needs on disk, in binding order and without de-duplication.
QList<PlanObject> planObjects(const Primitive& primitive);

// {"manifest": {"pages": [...]}}: every page of the manifest in order.
QJsonObject storagePlanInput(const Manifest& manifest);

// Digest -> retained bytes of the objects of the given pages (the pages on glass); a digest
// met more than once keeps its largest size. The soundtrack is not part of it.
QHash<QString, qint64> storagePlanOnGlassObjects(const Manifest& manifest,
                                                 const QList<int>& pageIndices);

// The "old_objects" array for such a table.
QJsonArray storagePlanOldObjects(const QHash<QString, qint64>& onGlass);

struct StoragePlanRecord {
    QString manifestRevision;
    StoragePlanResult plan;
    QString anchorPageId;
    QString stage;
    qint64 volumeTotal = 0;
    qint64 requiredBytes = 0;
    qint64 targetBytes = 0;

    friend bool operator==(const StoragePlanRecord&, const StoragePlanRecord&) = default;
};

QJsonObject storagePlanRecordJson(const StoragePlanRecord& record);
// None when the object is not a record this player could have written.
std::optional<StoragePlanRecord> storagePlanRecordFromJson(const QJsonObject& json);

// The pending record when it belongs to the revision, else the active one when it does.
const StoragePlanRecord* storagePlanFor(const std::optional<StoragePlanRecord>& pending,
                                        const std::optional<StoragePlanRecord>& active,
                                        const QString& revision);

// Whether the page at index may be used under the plan of the manifest's revision.
bool pageInStoragePlan(const std::optional<StoragePlanRecord>& pending,
                       const std::optional<StoragePlanRecord>& active, const Manifest& manifest,
                       int index);

// Whether the re-planned revision is the one on glass and one of its eligible pages is the
// record's anchor: the planner then keeps that anchor first.
bool storagePlanAnchorOnGlass(bool pageOnGlass, const std::optional<Manifest>& activeManifest,
                              const QList<int>& eligibleIndices, const QString& revision,
                              const StoragePlanRecord& record);

// The "previous" object of a re-plan input for the stored record.
QJsonObject storagePlanPrevious(const StoragePlanRecord& record, qint64 nowMs,
                                qint64 cyclesIn24h, bool anchorOnGlass);

} // namespace talvorine
