#include "storage/StoragePlan.h"

#include "storage/StorageFiles.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace talvorine {

namespace {

// Byte sums are kept exact in 128 bits and clamped only when they leave the planner.
__extension__ typedef __int128 Wide;

constexpr qint64 maxBytes = std::numeric_limits<qint64>::max();

qint64 clampWide(Wide value)
{
    if (value <= 0)
        return 0;
    if (value >= Wide(maxBytes))
        return maxBytes;
    return qint64(value);
}

qint64 roundUpToBlock(qint64 value)
{
    const Wide v = std::max<qint64>(value, 0);
    const Wide block = StoragePlan::blockBytes;
    return clampWide((v + block - 1) / block * block);
}

bool isDigest(const QString& text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f')))
            return false;
    }
    return true;
}

// Input parsing reports its first problem by throwing; plan() and pagesCost() catch it.
struct PlanInputError {
    QString message;
};

[[noreturn]] void refuse(const QString& message)
{
    throw PlanInputError{message};
}

QLatin1String key(const char* name)
{
    return QLatin1String(name);
}

// where() gives the message prefix; it is only built for a refusal, since large inputs hold
// many thousands of entries.
template<typename Where>
qint64 requiredByteValue(const QJsonObject& object, const char* name, const Where& where)
{
    const std::optional<qint64> value = StoragePlan::parseByteValue(object.value(key(name)));
    if (!value)
        refuse(where() + QLatin1String(name) + QLatin1String(" must be a byte value"));
    return *value;
}

template<typename Where>
QString requiredDigest(const QJsonObject& object, const Where& where)
{
    const QJsonValue value = object.value(key("sha256"));
    if (!value.isString() || !isDigest(value.toString()))
        refuse(where() + QLatin1String("sha256 must be 64 lowercase hex characters"));
    return value.toString();
}

QString nothing()
{
    return QString();
}

QStringList stringList(const QJsonValue& value, const QString& what)
{
    if (!value.isArray())
        refuse(what + QLatin1String(" must be an array of strings"));
    QStringList list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isString())
            refuse(what + QLatin1String(" must be an array of strings"));
        list.append(element.toString());
    }
    return list;
}

struct WarmEntry {
    QString sha256;
    qint64 retained = 0;
    double lastAccess = 0;
};

struct PreviousPlan {
    QString fit;
    QString transition;
    QStringList targets;
    QStringList stage1;
    // Pages left out because their anchor's object did not come: taking one back is no growth.
    QSet<QString> unavailableAnchors;
    qint64 baseline = 0;
    std::optional<qint64> growthSince;
    qint64 nowMs = 0;
    qint64 cycles = 0;
    bool anchorOnGlass = false;
};

struct PlanInput {
    QStringList pageIds;
    std::vector<char> adslot;
    std::vector<std::vector<int>> pageObjects; // distinct object indices per page
    QHash<QString, int> pageIndex;

    QStringList objectDigests;
    std::vector<qint64> objectRetained; // the largest retained size seen for the digest
    std::vector<qint64> objectOld;      // retained bytes of the digest as an old object, else 0
    QHash<QString, int> objectIndex;

    QHash<QString, qint64> old;
    Wide oldTotal = 0;

    qint64 capacity = 0;
    qint64 volumeTotal = 0;
    std::vector<WarmEntry> warm;
    std::optional<PreviousPlan> previous;

    bool isContent(int page) const { return !adslot[size_t(page)]; }
};

int internObject(PlanInput& in, const QString& sha, qint64 retained)
{
    const auto found = in.objectIndex.constFind(sha);
    if (found != in.objectIndex.constEnd()) {
        qint64& stored = in.objectRetained[size_t(*found)];
        stored = std::max(stored, retained);
        return *found;
    }
    const int index = int(in.objectDigests.size());
    in.objectDigests.append(sha);
    in.objectRetained.push_back(retained);
    in.objectIndex.insert(sha, index);
    return index;
}

void parseObject(PlanInput& in, const QJsonValue& value, qsizetype page, qsizetype primitive,
                 qsizetype index, std::vector<int>& pageObjects)
{
    const auto where = [=] {
        return QStringLiteral("pages[%1].primitives[%2].objects[%3]: ").arg(page).arg(primitive).arg(index);
    };
    if (!value.isObject())
        refuse(where() + QLatin1String("object entry must be an object"));
    const QJsonObject object = value.toObject();
    const QString sha = requiredDigest(object, where);
    const qint64 bytes = requiredByteValue(object, "bytes", where);
    const QJsonValue contentType = object.value(key("contentType"));
    if (!contentType.isString() || contentType.toString().isEmpty())
        refuse(where() + QLatin1String("contentType is required"));
    const QString kind = object.value(key("kind")).toString();
    if (kind != QLatin1String("media") && kind != QLatin1String("package"))
        refuse(where() + QLatin1String("object kind must be media or package"));
    std::optional<qint64> expandedBytes;
    std::optional<qint64> expandedFiles;
    if (object.contains(key("expandedBytes")))
        expandedBytes = requiredByteValue(object, "expandedBytes", where);
    if (object.contains(key("expandedFiles")))
        expandedFiles = requiredByteValue(object, "expandedFiles", where);
    const qint64 retained = StoragePlan::objectRetainedBytes(kind == QLatin1String("package"), bytes,
                                                             expandedBytes, expandedFiles);
    pageObjects.push_back(internObject(in, sha, retained));
}

void parsePages(PlanInput& in, const QJsonObject& input)
{
    const QJsonValue pagesValue = input.value(key("manifest")).toObject().value(key("pages"));
    if (!pagesValue.isArray())
        refuse(QStringLiteral("manifest.pages must be an array"));
    const QJsonArray pages = pagesValue.toArray();
    for (qsizetype p = 0; p < pages.size(); ++p) {
        const QString pagePath = QStringLiteral("pages[%1]").arg(p);
        if (!pages.at(p).isObject())
            refuse(pagePath + QLatin1String(" must be an object"));
        const QJsonObject page = pages.at(p).toObject();
        const QJsonValue idValue = page.value(key("id"));
        if (!idValue.isString() || idValue.toString().isEmpty())
            refuse(QStringLiteral("page id is required"));
        const QString id = idValue.toString();
        if (in.pageIndex.contains(id))
            refuse(QLatin1String("duplicate page id ") + id);
        const QJsonValue primitivesValue = page.value(key("primitives"));
        if (!primitivesValue.isArray())
            refuse(pagePath + QLatin1String(".primitives must be an array"));
        const QJsonArray primitives = primitivesValue.toArray();
        std::vector<int> objects;
        for (qsizetype r = 0; r < primitives.size(); ++r) {
            const QString primitivePath = pagePath + QStringLiteral(".primitives[%1]").arg(r);
            if (!primitives.at(r).isObject())
                refuse(primitivePath + QLatin1String(" must be an object"));
            const QJsonValue objectsValue = primitives.at(r).toObject().value(key("objects"));
            if (!objectsValue.isArray())
                refuse(primitivePath + QLatin1String(".objects must be an array"));
            const QJsonArray entries = objectsValue.toArray();
            for (qsizetype o = 0; o < entries.size(); ++o)
                parseObject(in, entries.at(o), p, r, o, objects);
        }
        std::sort(objects.begin(), objects.end());
        objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
        in.pageIndex.insert(id, int(in.pageIds.size()));
        in.pageIds.append(id);
        in.adslot.push_back(page.value(key("type")).toString() == QLatin1String("adslot"));
        in.pageObjects.push_back(std::move(objects));
    }
}

void parseOldObjects(PlanInput& in, const QJsonObject& input)
{
    if (!input.contains(key("old_objects")))
        return;
    const QJsonValue value = input.value(key("old_objects"));
    if (!value.isArray())
        refuse(QStringLiteral("old_objects must be an array"));
    const QJsonArray entries = value.toArray();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const auto where = [i] { return QStringLiteral("old_objects[%1]: ").arg(i); };
        if (!entries.at(i).isObject())
            refuse(where() + QLatin1String("entry must be an object"));
        const QJsonObject entry = entries.at(i).toObject();
        const QString sha = requiredDigest(entry, where);
        const qint64 retained = requiredByteValue(entry, "retained_bytes", where);
        qint64& stored = in.old[sha];
        stored = std::max(stored, retained);
    }
    in.objectOld.assign(in.objectDigests.size(), 0);
    for (auto it = in.old.constBegin(); it != in.old.constEnd(); ++it) {
        in.oldTotal += it.value();
        const auto found = in.objectIndex.constFind(it.key());
        if (found != in.objectIndex.constEnd())
            in.objectOld[size_t(*found)] = it.value();
    }
}

void parseWarm(PlanInput& in, const QJsonObject& input)
{
    if (!input.contains(key("tiers")))
        return;
    const QJsonValue tiers = input.value(key("tiers"));
    if (!tiers.isObject())
        refuse(QStringLiteral("tiers must be an object"));
    if (!tiers.toObject().contains(key("warm")))
        return;
    const QJsonValue value = tiers.toObject().value(key("warm"));
    if (!value.isArray())
        refuse(QStringLiteral("tiers.warm must be an array"));
    const QJsonArray entries = value.toArray();
    QSet<QString> seen;
    seen.reserve(entries.size());
    in.warm.reserve(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const auto where = [i] { return QStringLiteral("tiers.warm[%1]: ").arg(i); };
        if (!entries.at(i).isObject())
            refuse(where() + QLatin1String("entry must be an object"));
        const QJsonObject entry = entries.at(i).toObject();
        WarmEntry warm;
        warm.sha256 = requiredDigest(entry, where);
        warm.retained = requiredByteValue(entry, "retained_bytes", where);
        const QJsonValue lastAccess = entry.value(key("last_access"));
        if (!lastAccess.isDouble() || !std::isfinite(lastAccess.toDouble()))
            refuse(where() + QLatin1String("last_access must be a number"));
        warm.lastAccess = lastAccess.toDouble();
        // One local object is one entry; a repeated digest adds nothing that can be freed.
        if (seen.contains(warm.sha256))
            continue;
        seen.insert(warm.sha256);
        in.warm.push_back(std::move(warm));
    }
}

void parseLocal(const QJsonObject& input)
{
    if (!input.contains(key("local")))
        return;
    const QJsonValue value = input.value(key("local"));
    bool valid = value.isArray();
    if (valid) {
        for (const QJsonValue& element : value.toArray()) {
            if (!element.isString() || !isDigest(element.toString())) {
                valid = false;
                break;
            }
        }
    }
    if (!valid)
        refuse(QStringLiteral("local must be an array of sha256"));
}

void parsePrevious(PlanInput& in, const QJsonObject& input)
{
    if (!input.contains(key("previous")))
        return;
    const QJsonValue value = input.value(key("previous"));
    if (!value.isObject())
        refuse(QStringLiteral("previous must be an object"));
    const QJsonObject object = value.toObject();
    const auto where = [] { return QStringLiteral("previous."); };
    PreviousPlan previous;
    previous.fit = object.value(key("fit")).toString();
    previous.transition = object.value(key("transition")).toString();
    previous.targets = stringList(object.value(key("target_page_ids")),
                                  QStringLiteral("previous.target_page_ids"));
    if (object.contains(key("stage1_page_ids")))
        previous.stage1 = stringList(object.value(key("stage1_page_ids")),
                                     QStringLiteral("previous.stage1_page_ids"));
    // Read leniently: the exclusions only soften the growth rule, so none is ever refused.
    for (const QJsonValue& excluded : object.value(key("excluded")).toArray()) {
        const QJsonObject exclusion = excluded.toObject();
        if (exclusion.value(key("reason")).toString() == QLatin1String("anchor_unavailable"))
            previous.unavailableAnchors.insert(exclusion.value(key("page_id")).toString());
    }
    previous.baseline = requiredByteValue(object, "capacity_baseline", where);
    if (object.contains(key("growth_eligible_since_ms")))
        previous.growthSince = requiredByteValue(object, "growth_eligible_since_ms", where);
    previous.nowMs = requiredByteValue(object, "now_ms", where);
    if (object.contains(key("shrink_grow_cycles_24h")))
        previous.cycles = requiredByteValue(object, "shrink_grow_cycles_24h", where);
    if (object.contains(key("anchor_on_glass"))) {
        const QJsonValue onGlass = object.value(key("anchor_on_glass"));
        if (!onGlass.isBool())
            refuse(QStringLiteral("previous.anchor_on_glass must be a boolean"));
        previous.anchorOnGlass = onGlass.toBool();
    }
    in.previous = std::move(previous);
}

PlanInput parseInput(const QJsonObject& input)
{
    PlanInput in;
    parsePages(in, input);
    in.capacity = requiredByteValue(input, "capacity_bytes", nothing);
    in.volumeTotal = requiredByteValue(input, "volume_total_bytes", nothing);
    parseOldObjects(in, input);
    if (in.objectOld.empty())
        in.objectOld.assign(in.objectDigests.size(), 0);
    parseLocal(input);
    parseWarm(in, input);
    parsePrevious(in, input);
    return in;
}

// A set of pages with the retained bytes of their distinct objects and of the old objects
// they do not use.
class Selection {
public:
    explicit Selection(const PlanInput& in) : m_in(in), m_used(in.objectDigests.size(), 0) {}

    // Adds the page only when the set then stays within the limit.
    bool tryAdd(int page, Wide limit, bool countOld)
    {
        Wide cost = m_cost;
        Wide covered = m_oldCovered;
        for (int object : m_in.pageObjects[size_t(page)]) {
            if (m_used[size_t(object)])
                continue;
            cost += m_in.objectRetained[size_t(object)];
            covered += m_in.objectOld[size_t(object)];
        }
        const Wide total = countOld ? cost + (m_in.oldTotal - covered) : cost;
        if (total > limit)
            return false;
        add(page);
        return true;
    }

    void add(int page)
    {
        m_pages.insert(page);
        for (int object : m_in.pageObjects[size_t(page)]) {
            if (m_used[size_t(object)])
                continue;
            m_used[size_t(object)] = 1;
            m_cost += m_in.objectRetained[size_t(object)];
            m_oldCovered += m_in.objectOld[size_t(object)];
        }
    }

    bool uses(const QString& sha) const
    {
        const auto found = m_in.objectIndex.constFind(sha);
        return found != m_in.objectIndex.constEnd() && m_used[size_t(*found)];
    }
    bool contains(int page) const { return m_pages.contains(page); }
    bool holdsContent() const
    {
        return std::any_of(m_pages.cbegin(), m_pages.cend(),
                           [this](int page) { return m_in.isContent(page); });
    }
    Wide cost() const { return m_cost; }
    Wide costWithOld() const { return m_cost + (m_in.oldTotal - m_oldCovered); }

    // The ids in manifest order.
    QStringList ids() const
    {
        QStringList list;
        for (int page = 0; page < int(m_in.pageIds.size()); ++page) {
            if (m_pages.contains(page))
                list.append(m_in.pageIds.at(page));
        }
        return list;
    }

private:
    const PlanInput& m_in;
    std::vector<char> m_used;
    QSet<int> m_pages;
    Wide m_cost = 0;
    Wide m_oldCovered = 0;
};

Selection adslotBase(const PlanInput& in)
{
    Selection selection(in);
    for (int page = 0; page < int(in.pageIds.size()); ++page) {
        if (!in.isContent(page))
            selection.add(page);
    }
    return selection;
}

// The adslot pages plus the longest prefix of order that stays within the capacity.
Selection longestPrefix(const PlanInput& in, const QList<int>& order, bool countOld)
{
    Selection selection = adslotBase(in);
    for (int page : order) {
        if (!selection.tryAdd(page, in.capacity, countOld))
            break;
    }
    return selection;
}

// Warm objects that nothing of the selection uses and that are not on glass, least recently
// used first.
QList<const WarmEntry*> evictable(const PlanInput& in, const Selection& keep)
{
    QList<const WarmEntry*> list;
    for (const WarmEntry& warm : in.warm) {
        if (!in.old.contains(warm.sha256) && !keep.uses(warm.sha256))
            list.append(&warm);
    }
    std::sort(list.begin(), list.end(), [](const WarmEntry* a, const WarmEntry* b) {
        if (a->lastAccess != b->lastAccess)
            return a->lastAccess < b->lastAccess;
        return a->sha256 < b->sha256;
    });
    return list;
}

QStringList digestsOf(const QList<const WarmEntry*>& entries)
{
    QStringList list;
    list.reserve(entries.size());
    for (const WarmEntry* warm : entries)
        list.append(warm->sha256);
    return list;
}

QList<StorageExclusion> excludedOutside(const PlanInput& in, const QStringList& targets,
                                        const QString& reason)
{
    const QSet<QString> kept(targets.cbegin(), targets.cend());
    QList<StorageExclusion> list;
    for (int page = 0; page < int(in.pageIds.size()); ++page) {
        if (in.isContent(page) && !kept.contains(in.pageIds.at(page)))
            list.append({in.pageIds.at(page), reason});
    }
    return list;
}

QString anchorOf(const PlanInput& in)
{
    if (in.previous && in.previous->anchorOnGlass) {
        // A staged plan's anchor is in its first stage; a target after it may be a page whose
        // object has not come yet, never the page on glass.
        const QStringList& anchored = in.previous->transition == QLatin1String("staged")
                                          && !in.previous->stage1.isEmpty()
                                      ? in.previous->stage1
                                      : in.previous->targets;
        for (const QString& id : anchored) {
            const auto found = in.pageIndex.constFind(id);
            if (found != in.pageIndex.constEnd() && in.isContent(*found))
                return id;
        }
    }
    for (int page = 0; page < int(in.pageIds.size()); ++page) {
        if (in.isContent(page))
            return in.pageIds.at(page);
    }
    return QString();
}

void blockTransition(StoragePlanResult& result, const PlanInput& in, const QList<int>& order)
{
    // Not even the anchor fits beside what plays now: nothing may be downloaded yet.
    result.fit = QStringLiteral("transition_blocked");
    result.transition = QStringLiteral("blocked");
    result.stage1_page_ids.clear();
    result.evict.clear();
    Selection anchor = adslotBase(in);
    if (!order.isEmpty())
        anchor.add(order.first());
    result.headroom_needed_bytes = clampWide(anchor.costWithOld() - in.capacity);
}

StoragePlanResult compute(const PlanInput& in)
{
    StoragePlanResult result;
    result.decision = QStringLiteral("compute");
    result.capacity_baseline = in.capacity;
    result.anchor_page_id = anchorOf(in);

    QList<int> order;
    if (!result.anchor_page_id.isEmpty())
        order.append(in.pageIndex.value(result.anchor_page_id));
    for (int page = 0; page < int(in.pageIds.size()); ++page) {
        if (in.isContent(page) && in.pageIds.at(page) != result.anchor_page_id)
            order.append(page);
    }

    Selection all(in);
    for (int page = 0; page < int(in.pageIds.size()); ++page)
        all.add(page);

    if (all.costWithOld() <= in.capacity) {
        const QList<const WarmEntry*> candidates = evictable(in, all);
        Wide total = all.costWithOld();
        for (const WarmEntry* warm : candidates)
            total += warm->retained;
        for (const WarmEntry* warm : candidates) {
            if (total <= in.capacity)
                break;
            result.evict.append(warm->sha256);
            total -= warm->retained;
        }
        result.fit = result.evict.isEmpty() ? QStringLiteral("fits")
                                            : QStringLiteral("fits_after_eviction");
        result.transition = QStringLiteral("direct");
        result.target_page_ids = all.ids();
        return result;
    }

    if (all.cost() <= in.capacity) {
        result.target_page_ids = all.ids();
        result.evict = digestsOf(evictable(in, all));
        const Selection stage1 = longestPrefix(in, order, true);
        if (!stage1.holdsContent()) {
            blockTransition(result, in, order);
            return result;
        }
        result.fit = QStringLiteral("retention_reduced");
        result.transition = QStringLiteral("staged");
        result.stage1_page_ids = stage1.ids();
        return result;
    }

    result.headroom_needed_bytes = clampWide(all.cost() - in.capacity);
    const Selection targets = longestPrefix(in, order, false);
    if (!targets.holdsContent()) {
        result.fit = QStringLiteral("none_fit");
        result.transition = QStringLiteral("blocked");
        result.excluded = excludedOutside(in, {}, QStringLiteral("capacity"));
        return result;
    }
    result.fit = QStringLiteral("partial");
    result.target_page_ids = targets.ids();
    result.excluded = excludedOutside(in, result.target_page_ids, QStringLiteral("capacity"));
    result.evict = digestsOf(evictable(in, targets));
    if (targets.costWithOld() <= in.capacity) {
        result.transition = QStringLiteral("direct");
        return result;
    }
    QList<int> targetOrder;
    for (int page : order) {
        if (targets.contains(page))
            targetOrder.append(page);
    }
    const Selection stage1 = longestPrefix(in, targetOrder, true);
    if (!stage1.holdsContent()) {
        // The admitted pages stay admitted; only the switch waits for room.
        blockTransition(result, in, order);
        result.fit = QStringLiteral("transition_blocked");
        return result;
    }
    result.transition = QStringLiteral("staged");
    result.stage1_page_ids = stage1.ids();
    return result;
}

qint64 heldBaseline(qint64 capacity, qint64 previous)
{
    const qint64 tolerance = std::max(StoragePlan::baselineToleranceBytes, previous / 20);
    const Wide drift = Wide(capacity) - Wide(previous);
    return (drift < 0 ? -drift : drift) < tolerance ? previous : capacity;
}

bool oneOf(const QString& value, std::initializer_list<const char*> allowed)
{
    return std::any_of(allowed.begin(), allowed.end(),
                       [&value](const char* name) { return value == QLatin1String(name); });
}

Selection selectionOf(const PlanInput& in, const QStringList& ids)
{
    Selection selection(in);
    for (const QString& id : ids) {
        const auto found = in.pageIndex.constFind(id);
        if (found != in.pageIndex.constEnd())
            selection.add(*found);
    }
    return selection;
}

// Whether a held plan can still be carried out within today's capacity: a direct switch keeps
// what plays beside the targets, a staged one beside stage one only, a blocked one waits.
bool stillFits(const PlanInput& in, const StoragePlanResult& held)
{
    const Selection targets = selectionOf(in, held.target_page_ids);
    if (held.transition == QLatin1String("direct"))
        return targets.costWithOld() <= in.capacity;
    if (targets.cost() > in.capacity)
        return false;
    if (held.transition == QLatin1String("staged"))
        return selectionOf(in, held.stage1_page_ids).costWithOld() <= in.capacity;
    return true;
}

// Keeps the previous plan's pages while growth has not waited long enough.
StoragePlanResult holdPrevious(const PlanInput& in, const StoragePlanResult& computed,
                               const QSet<QString>& previousTargets)
{
    const PreviousPlan& previous = *in.previous;
    StoragePlanResult result = computed;
    result.decision = QStringLiteral("hold");
    result.evict.clear();
    result.capacity_baseline = heldBaseline(in.capacity, previous.baseline);
    result.growth_eligible_since_ms = previous.growthSince.value_or(previous.nowMs);
    result.target_page_ids.clear();
    bool content = false;
    for (int page = 0; page < int(in.pageIds.size()); ++page) {
        if (previousTargets.contains(in.pageIds.at(page))) {
            result.target_page_ids.append(in.pageIds.at(page));
            content = content || in.isContent(page);
        }
    }
    if (!content) {
        result.fit = QStringLiteral("none_fit");
        result.transition = QStringLiteral("blocked");
        result.target_page_ids.clear();
        result.stage1_page_ids.clear();
        result.excluded = excludedOutside(in, {}, QStringLiteral("capacity"));
        return result;
    }
    result.excluded = excludedOutside(in, result.target_page_ids, QStringLiteral("capacity"));
    if (oneOf(previous.fit, {"fits", "fits_after_eviction", "retention_reduced", "partial",
                             "transition_blocked"}))
        result.fit = previous.fit;
    if (!result.excluded.isEmpty() && result.fit != QLatin1String("transition_blocked"))
        result.fit = QStringLiteral("partial");
    if (oneOf(previous.transition, {"direct", "staged", "blocked"}))
        result.transition = previous.transition;
    const QSet<QString> stage1(previous.stage1.cbegin(), previous.stage1.cend());
    result.stage1_page_ids.clear();
    if (result.transition == QLatin1String("staged")) {
        for (const QString& id : std::as_const(result.target_page_ids)) {
            if (stage1.contains(id))
                result.stage1_page_ids.append(id);
        }
    }
    if (!result.target_page_ids.contains(result.anchor_page_id)) {
        for (const QString& id : std::as_const(result.target_page_ids)) {
            if (in.isContent(in.pageIndex.value(id))) {
                result.anchor_page_id = id;
                break;
            }
        }
    }
    // A staged switch whose first stage shows no content page could never happen; it starts
    // with the anchor.
    const bool stage1HoldsContent =
        std::any_of(result.stage1_page_ids.cbegin(), result.stage1_page_ids.cend(),
                    [&in](const QString& id) { return in.isContent(in.pageIndex.value(id)); });
    if (result.transition == QLatin1String("staged") && !stage1HoldsContent) {
        const QSet<QString> kept(result.stage1_page_ids.cbegin(), result.stage1_page_ids.cend());
        result.stage1_page_ids.clear();
        for (const QString& id : std::as_const(result.target_page_ids)) {
            if (kept.contains(id) || id == result.anchor_page_id)
                result.stage1_page_ids.append(id);
        }
    }
    if (result.transition == QLatin1String("blocked"))
        result.stage1_page_ids.clear();
    if (!stillFits(in, result)) {
        // Capacity fell below what the held pages need: holding them would overfill the disk.
        StoragePlanResult shrunk = computed;
        shrunk.decision = QStringLiteral("shrink");
        shrunk.growth_eligible_since_ms.reset();
        return shrunk;
    }
    return result;
}

StoragePlanResult applyHysteresis(const PlanInput& in, StoragePlanResult result)
{
    const PreviousPlan& previous = *in.previous;
    QSet<QString> before;
    for (const QString& id : previous.targets) {
        if (in.pageIndex.contains(id))
            before.insert(id);
    }
    QSet<QString> after(result.target_page_ids.cbegin(), result.target_page_ids.cend());
    // A page whose anchor object did not come was left out for that alone; taken back, it is
    // no growth to wait an hour for.
    const QSet<QString> takenBack = after & previous.unavailableAnchors;
    after -= takenBack;
    before -= takenBack;

    if (after == before) {
        result.growth_eligible_since_ms = previous.growthSince;
        if (result.evict.isEmpty() && takenBack.isEmpty()) {
            result.decision = QStringLiteral("hold");
            result.capacity_baseline = heldBaseline(in.capacity, previous.baseline);
        }
        return result;
    }
    if (after.size() < before.size()) {
        result.decision = QStringLiteral("shrink");
        result.growth_eligible_since_ms.reset();
        return result;
    }
    if (after.size() == before.size()) {
        // A different set of the same size: neither grown nor shrunk.
        result.growth_eligible_since_ms.reset();
        return result;
    }
    const bool waited = previous.growthSince && previous.nowMs >= *previous.growthSince
                        && previous.nowMs - *previous.growthSince >= StoragePlan::growthDelayMs;
    // A plan that admitted no content page has nothing to flap against: recover at once.
    const bool fromNothing = std::none_of(before.cbegin(), before.cend(), [&in](const QString& id) {
        return in.isContent(in.pageIndex.value(id));
    });
    if (fromNothing || (waited && previous.cycles < StoragePlan::maximumCyclesPerDay)) {
        result.decision = QStringLiteral("grow");
        result.growth_eligible_since_ms.reset();
        return result;
    }
    return holdPrevious(in, result, before | takenBack);
}

} // namespace

QJsonObject StoragePlanResult::toJson() const
{
    QJsonArray excludedJson;
    for (const StorageExclusion& exclusion : excluded)
        excludedJson.append(QJsonObject{{QStringLiteral("page_id"), exclusion.page_id},
                                        {QStringLiteral("reason"), exclusion.reason}});
    QJsonObject json{
        {QStringLiteral("fit"), fit},
        {QStringLiteral("transition"), transition},
        {QStringLiteral("target_page_ids"), QJsonArray::fromStringList(target_page_ids)},
        {QStringLiteral("stage1_page_ids"), QJsonArray::fromStringList(stage1_page_ids)},
        {QStringLiteral("excluded"), excludedJson},
        {QStringLiteral("evict"), QJsonArray::fromStringList(evict)},
        {QStringLiteral("decision"), decision},
        {QStringLiteral("capacity_baseline"), StoragePlan::encodeByteValue(capacity_baseline)},
    };
    if (headroom_needed_bytes)
        json.insert(QStringLiteral("headroom_needed_bytes"),
                    StoragePlan::encodeByteValue(*headroom_needed_bytes));
    if (growth_eligible_since_ms)
        json.insert(QStringLiteral("growth_eligible_since_ms"),
                    StoragePlan::encodeByteValue(*growth_eligible_since_ms));
    return json;
}

qint64 StoragePlan::saturatingAdd(qint64 a, qint64 b)
{
    return clampWide(Wide(a) + Wide(b));
}

QJsonValue StoragePlan::encodeByteValue(qint64 value)
{
    return StorageFiles::jsonByteValue(value);
}

std::optional<qint64> StoragePlan::parseByteValue(const QJsonValue& value)
{
    return StorageFiles::byteValueFrom(value);
}

qint64 StoragePlan::allocatedBytes(const QString& path)
{
    // Each level is opened relative to its parent and without following links, so a link
    // swapped in for a directory while the walk runs is counted as the link it is.
    struct Entry {
        std::shared_ptr<StorageFiles::UniqueFd> parent;
        QByteArray name;
    };
    qint64 total = 0;
    std::vector<Entry> pending{{nullptr, QFile::encodeName(path)}};
    while (!pending.empty()) {
        const Entry current = std::move(pending.back());
        pending.pop_back();
        const int at = current.parent ? current.parent->get() : AT_FDCWD;
        struct stat st {};
        if (::fstatat(at, current.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        total = saturatingAdd(total, clampWide(Wide(st.st_blocks) * 512));
        if (!S_ISDIR(st.st_mode))
            continue;
        auto fd = std::make_shared<StorageFiles::UniqueFd>(::openat(
            at, current.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd->valid())
            continue;
        // fdopendir takes the descriptor over; the children get a duplicate of their own.
        StorageFiles::UniqueFd listing(::fcntl(fd->get(), F_DUPFD_CLOEXEC, 0));
        if (!listing.valid())
            continue;
        DIR* dir = ::fdopendir(listing.get());
        if (!dir)
            continue;
        listing.release();
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            pending.push_back({fd, name});
        }
        ::closedir(dir);
    }
    return total;
}

qint64 StoragePlan::objectRetainedBytes(bool isPackage, qint64 bytes,
                                        std::optional<qint64> expandedBytes,
                                        std::optional<qint64> expandedFiles)
{
    if (!isPackage)
        return roundUpToBlock(bytes);
    const Wide files = std::max<qint64>(expandedFiles.value_or(defaultPackageFiles), 0);
    return clampWide(Wide(roundUpToBlock(expandedBytes.value_or(defaultPackageExpandedBytes)))
                     + files * blockBytes + packageOverheadBytes);
}

StorageMeasurement StoragePlan::measure(qint64 volumeTotal, qint64 available, qint64 ownAllocated,
                                        qint64 pendingAllowance, std::optional<qint64> quota)
{
    StorageMeasurement m;
    m.volumeTotal = std::max<qint64>(volumeTotal, 0);
    m.available = std::max<qint64>(available, 0);
    m.ownAllocated = std::max<qint64>(ownAllocated, 0);
    m.pending = std::max<qint64>(pendingAllowance, 0);
    const Wide share = Wide(m.volumeTotal) * 5 / 100;
    m.reserve = qint64(std::min<Wide>(std::max<Wide>(minimumReserveBytes, share),
                                          maximumReserveBytes));
    m.capacity = clampWide(Wide(saturatingAdd(m.available, m.ownAllocated))
                           - saturatingAdd(m.reserve, m.pending));
    if (quota)
        m.capacity = std::min(std::max<qint64>(*quota, 0), m.capacity);
    return m;
}

std::optional<StoragePlanResult> StoragePlan::plan(const QJsonObject& input, QString* error)
{
    try {
        const PlanInput in = parseInput(input);
        StoragePlanResult result = compute(in);
        if (in.previous)
            result = applyHysteresis(in, std::move(result));
        return result;
    } catch (const PlanInputError& failure) {
        if (error)
            *error = failure.message;
        return std::nullopt;
    }
}

std::optional<qint64> StoragePlan::pagesCost(const QJsonObject& input, const QStringList& pageIds)
{
    try {
        const PlanInput in = parseInput(input);
        Selection selection(in);
        for (int page = 0; page < int(in.pageIds.size()); ++page) {
            if (pageIds.isEmpty() || pageIds.contains(in.pageIds.at(page)))
                selection.add(page);
        }
        return clampWide(selection.cost());
    } catch (const PlanInputError&) {
        return std::nullopt;
    }
}

StoragePlanResult StoragePlan::withAnchorUnavailable(const StoragePlanResult& result,
                                                     const QStringList& pageIds,
                                                     const QSet<QString>& adslotPageIds,
                                                     bool withheld)
{
    StoragePlanResult next = result;
    next.decision = QStringLiteral("anchor_unavailable");
    next.evict.clear();
    const QString old = result.anchor_page_id;
    // Ad pages sit in every selection but cannot carry the screen on their own.
    const auto isContent = [&adslotPageIds](const QString& id) { return !adslotPageIds.contains(id); };
    next.anchor_page_id.clear();
    for (const QString& id : pageIds) {
        if (id != old && isContent(id) && next.target_page_ids.contains(id)) {
            next.anchor_page_id = id;
            break;
        }
    }
    if (withheld && !old.isEmpty() && !next.anchor_page_id.isEmpty()) {
        // An object its origin withheld may still come: the page waits for it after the switch,
        // in the second stage, while the new anchor carries the first.
        if (next.transition != QLatin1String("staged")) {
            next.transition = QStringLiteral("staged");
            next.stage1_page_ids = next.target_page_ids;
        }
        next.stage1_page_ids.removeIf([&old](const QString& id) { return id == old; });
    } else if (!old.isEmpty()) {
        next.target_page_ids.removeAll(old);
        next.stage1_page_ids.removeIf([&old](const QString& id) { return id == old; });
        next.excluded.removeIf([&old](const StorageExclusion& e) { return e.page_id == old; });
        next.excluded.append({old, QStringLiteral("anchor_unavailable")});
    }
    if (next.anchor_page_id.isEmpty()) {
        next.fit = QStringLiteral("none_fit");
        next.transition = QStringLiteral("blocked");
        next.target_page_ids.clear();
        next.stage1_page_ids.clear();
        return next;
    }
    if (next.transition == QLatin1String("staged")
        && std::none_of(next.stage1_page_ids.cbegin(), next.stage1_page_ids.cend(), isContent)) {
        // Stage one keeps the target order, with the new anchor in its place.
        const QSet<QString> stage1(next.stage1_page_ids.cbegin(), next.stage1_page_ids.cend());
        next.stage1_page_ids.clear();
        for (const QString& id : std::as_const(next.target_page_ids)) {
            if (stage1.contains(id) || id == next.anchor_page_id)
                next.stage1_page_ids.append(id);
        }
    }
    return next;
}

} // namespace talvorine
