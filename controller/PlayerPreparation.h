#pragma once

// The controller's side of storage planning: the planner's input document written from a
// parsed manifest, and the record of the plan chosen for a revision with its JSON form. These
// are free functions over the values they need so that the controller's members stay the
// only state.

#include "manifest/Manifest.h"
#include "storage/ContentCache.h"
#include "storage/StoragePlan.h"
#include "storage/VolumeSpace.h"
#include "web/ApplicationPackageCache.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
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

// Whether the primitive needs the object: one of its media items, or its package.
bool primitiveUses(const Primitive& primitive, const QString& sha256);

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

// Adds each entry of from to into, keeping the larger size of a digest both hold.
void mergeStoragePlanObjects(QHash<QString, qint64>& into, const QHash<QString, qint64>& from);

// --- The planning job: everything that touches the disk, off the GUI thread ---------------

// The value of the storage quota variable: a base-10 integer of at least 0 caps the capacity;
// unset, empty, not a number or negative sets no quota.
std::optional<qint64> storageQuota(const QString& value);

// The objects both caches hold, as the planner's "local" and "warm" entries: the content cache's
// regular files first, then the package cache's directories of a name the content cache did
// not list, each in directory order. Links and names that are not digests are skipped; an
// object on glass is listed as local but is no candidate for eviction.
struct LocalStorageObjects {
    QJsonArray local;
    QJsonArray warm;
    qint64 warmBytes = 0;
    QSet<QString> content;
    QSet<QString> packages;
};
// None when the flag was raised during the listing.
std::optional<LocalStorageObjects> listLocalStorageObjects(const QString& contentCacheDirectory,
                                                           const QString& packageCacheRoot,
                                                           const QHash<QString, qint64>& onGlass,
                                                           const std::atomic<bool>& cancelled);

// The free space the volume lacks for a plan that needs headroom bytes more than its capacity:
// beside the headroom, whatever the reserve and the ad budget eat into what is free now (the
// capacity never goes below zero, so the headroom alone would tell too little on a full volume).
qint64 roomLacking(const StorageMeasurement& measurement, qint64 headroom);

// What a planning job works from: copies only, so that it never reads the controller.
struct StoragePlanningJob {
    // The manifest's pages and the on-glass objects (with "previous" on a re-plan).
    QJsonObject input;
    QHash<QString, qint64> onGlass;
    QString revision;
    QString stateDirectory;
    QString contentCacheDirectory;
    QString packageCacheRoot;
    QString adCacheDirectory;
    std::optional<qint64> quota;
    std::function<VolumeSpace(const QString&)> measureVolume;
    // The manifest's pages, looked at after a re-plan for those whose objects are all held.
    QList<Page> readyCheckPages;
};

struct StoragePlanningOutcome {
    // None when the planner refused the input; error then says why.
    std::optional<StoragePlanRecord> record;
    QString error;
    StorageMeasurement measurement;
    qint64 warmBytes = 0;
    // The objects this run deleted, in eviction order.
    QStringList evicted;
    // Indices of readyCheckPages with every object in the caches and verified.
    QSet<int> readyPages;
};

// Measures the volume and the caches, lists what is held locally, plans, and deletes what the
// plan evicts (never for a plan that holds or does not fit). None when the flag was raised
// during the listing; a flag raised during evictions stops them.
std::optional<StoragePlanningOutcome> runStoragePlanning(const StoragePlanningJob& job,
                                                         ContentCache& contentCache,
                                                         ApplicationPackageCache& packageCache,
                                                         const std::atomic<bool>& cancelled);

// --- Candidate preparation ----------------------------------------------------------------

// Whether a candidate's queued media sizes can be added up and stored: each at least 0 and
// below 2^62 - 2^27, and their sum within 64 bits.
bool mediaSizesWithinLimits(const QList<MediaItem>& queue);

// --- Retained pages -----------------------------------------------------------------------

// The package an application primitive names, as the package cache looks it up: the binding's
// "releaseId", and "sha256", "bytes" (0 when absent) and "entrypoint" of its "package" object;
// the expanded size and file count are not declared there (0: the cache skips them).
ApplicationPackageDescriptor applicationPackageDescriptor(const Primitive& primitive);

// Whether every object of the page is in the caches and verified: each media item of its
// images, videos and streams (a stream without items cannot play from the cache) and each
// application's installed package. Safe on the I/O queue's thread; false once cancel is raised.
bool retainedPageReady(const Page& page, const ContentCache& contentCache,
                       const ApplicationPackageCache& packageCache,
                       const std::atomic<bool>* cancel);

} // namespace talvorine
