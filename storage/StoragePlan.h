#pragma once

// The storage planner: sizes a manifest revision against the volume before anything is
// downloaded, and the byte arithmetic the controller shares with it. Everything here is pure
// (allocatedBytes only reads the file system) and may run on any thread.

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace talvorine {

struct StorageMeasurement {
    qint64 volumeTotal = 0;
    qint64 available = 0;
    qint64 reserve = 0;
    qint64 pending = 0;
    qint64 ownAllocated = 0;
    qint64 capacity = 0;

    friend bool operator==(const StorageMeasurement&, const StorageMeasurement&) = default;
};

struct StorageExclusion {
    QString page_id;
    QString reason;

    friend bool operator==(const StorageExclusion&, const StorageExclusion&) = default;
};

struct StoragePlanResult {
    QString fit;
    QString transition;
    QStringList target_page_ids;
    QStringList stage1_page_ids;
    QList<StorageExclusion> excluded;
    QStringList evict;
    QString decision;
    qint64 capacity_baseline = 0;
    std::optional<qint64> headroom_needed_bytes;
    std::optional<qint64> growth_eligible_since_ms;
    QString anchor_page_id;

    QJsonObject toJson() const;

    friend bool operator==(const StoragePlanResult&, const StoragePlanResult&) = default;
};

class StoragePlan {
public:
    StoragePlan() = delete;

    static constexpr qint64 minimumReserveBytes = 536870912;
    static constexpr qint64 maximumReserveBytes = 92233720368547758;
    static constexpr qint64 blockBytes = 4096;
    static constexpr qint64 defaultPackageExpandedBytes = 262144000;
    static constexpr qint64 defaultPackageFiles = 5000;
    static constexpr qint64 packageOverheadBytes = 1048576;
    // Re-plans keep the previous baseline while capacity drifts by less than this (or 1/20).
    static constexpr qint64 baselineToleranceBytes = 67108864;
    static constexpr qint64 growthDelayMs = 3600000;
    static constexpr int maximumCyclesPerDay = 4;

    static qint64 saturatingAdd(qint64 a, qint64 b);
    static QJsonValue encodeByteValue(qint64 value);
    static std::optional<qint64> parseByteValue(const QJsonValue& value);
    static qint64 allocatedBytes(const QString& path);
    static qint64 objectRetainedBytes(bool isPackage, qint64 bytes,
                                      std::optional<qint64> expandedBytes,
                                      std::optional<qint64> expandedFiles);
    static StorageMeasurement measure(qint64 volumeTotal, qint64 available, qint64 ownAllocated,
                                      qint64 pendingAllowance, std::optional<qint64> quota);

    // The plan for one input document (the controller's storage plan input); none, with a
    // message in error, when the document is malformed.
    static std::optional<StoragePlanResult> plan(const QJsonObject& input, QString* error);

    // Retained bytes of the distinct objects of the listed pages (every page for an empty
    // list); ids the input does not hold add nothing. None when the input does not parse.
    static std::optional<qint64> pagesCost(const QJsonObject& input, const QStringList& pageIds);

    // The plan once its anchor page turned out not to be showable. pageIds are the pages of the
    // manifest that may take the anchor over, in order, adslotPageIds those of them that are ad
    // pages; the first content page of them still targeted becomes the anchor. A page whose object its origin withheld (withheld)
    // stays a target outside the first stage, which the plan then has; otherwise it is excluded.
    static StoragePlanResult withAnchorUnavailable(const StoragePlanResult& result,
                                                   const QStringList& pageIds,
                                                   const QSet<QString>& adslotPageIds,
                                                   bool withheld = false);
};

} // namespace talvorine
