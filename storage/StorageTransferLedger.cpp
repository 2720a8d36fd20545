#include "storage/StorageTransferLedger.h"

#include "storage/Saturating.h"
#include "storage/StorageFiles.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace talvorine {

namespace {

constexpr qint64 jsonIntegerMax = (qint64(1) << 53) - 1;
const char* const reasonKeys[4] = {"new", "refetch", "repair", "failed"};

qint64 hourOf(qint64 ms)
{
    // Floor division, so that instants before the epoch fall into the hour they belong to.
    qint64 hour = ms / StorageTransferLedger::hourMs;
    if (ms % StorageTransferLedger::hourMs < 0)
        --hour;
    return hour;
}

} // namespace

StorageTransferLedger::StorageTransferLedger(QString path) : m_path(std::move(path)) {}

void StorageTransferLedger::dropHoursBefore(qint64 firstKeptHour)
{
    while (!m_hours.isEmpty() && m_hours.firstKey() < firstKeptHour)
        m_hours.erase(m_hours.begin());
}

void StorageTransferLedger::record(Reason reason, qint64 bytes, qint64 nowMs)
{
    const int index = int(reason);
    if (bytes < 1 || index < 0 || index > 3)
        return;
    const qint64 hour = hourOf(nowMs);
    dropHoursBefore(hour - windowHours + 1);
    auto it = m_hours.find(hour);
    if (it == m_hours.end())
        it = m_hours.insert(hour, Bucket{0, 0, 0, 0});
    (*it)[size_t(index)] = saturating::add((*it)[size_t(index)], bytes);
}

QJsonObject StorageTransferLedger::transfer24h(qint64 nowMs) const
{
    const qint64 nowHour = hourOf(nowMs);
    Bucket sums{0, 0, 0, 0};
    for (auto it = m_hours.constBegin(); it != m_hours.constEnd(); ++it) {
        if (it.key() <= nowHour - windowHours || it.key() > nowHour)
            continue;
        for (size_t i = 0; i < sums.size(); ++i)
            sums[i] = saturating::add(sums[i], it.value()[i]);
    }
    QJsonObject result;
    for (size_t i = 0; i < sums.size(); ++i)
        result.insert(QLatin1String(reasonKeys[i]), double(std::min(sums[i], jsonIntegerMax)));
    return result;
}

void StorageTransferLedger::noteEvicted(const QString& sha256, qint64 atMs)
{
    if (!StorageFiles::validDigest(sha256))
        return;
    // A clock set before the epoch must not produce a time the file cannot hold.
    atMs = std::max<qint64>(atMs, 0);
    const auto found = m_evicted.constFind(sha256);
    if (found != m_evicted.constEnd()) {
        m_evictedByAge.erase({found.value(), sha256});
    } else if (m_evicted.size() >= maxEvicted && !m_evictedByAge.empty()) {
        m_evicted.remove(m_evictedByAge.begin()->second);
        m_evictedByAge.erase(m_evictedByAge.begin());
    }
    m_evicted.insert(sha256, atMs);
    m_evictedByAge.emplace(atMs, sha256);
}

void StorageTransferLedger::forgetEvicted(const QString& sha256)
{
    const auto found = m_evicted.constFind(sha256);
    if (found == m_evicted.constEnd())
        return;
    m_evictedByAge.erase({found.value(), sha256});
    m_evicted.erase(found);
}

bool StorageTransferLedger::wasEvicted(const QString& sha256) const
{
    return m_evicted.contains(sha256);
}

bool StorageTransferLedger::save() const
{
    QJsonArray hours;
    for (auto it = m_hours.constBegin(); it != m_hours.constEnd(); ++it) {
        QJsonObject bucket{{QStringLiteral("hour"), double(it.key())}};
        for (size_t i = 0; i < it.value().size(); ++i)
            bucket.insert(QLatin1String(reasonKeys[i]), StorageFiles::jsonByteValue(it.value()[i]));
        hours.append(bucket);
    }
    QJsonArray evictedArray;
    for (const auto& [at, sha256] : m_evictedByAge) {
        evictedArray.append(QJsonObject{{QStringLiteral("sha256"), sha256},
                                        {QStringLiteral("at_ms"), StorageFiles::jsonByteValue(at)}});
    }
    const QJsonObject root{{QStringLiteral("format"), 1},
                           {QStringLiteral("hours"), hours},
                           {QStringLiteral("evicted"), evictedArray}};
    if (!StorageFiles::ensurePrivateDirectory(QFileInfo(m_path).absolutePath()))
        return false;
    return StorageFiles::writeFileAtomically(m_path, QJsonDocument(root).toJson(QJsonDocument::Compact))
        == StorageFiles::WriteFailure::None;
}

bool StorageTransferLedger::load()
{
    m_hours.clear();
    m_evicted.clear();
    m_evictedByAge.clear();
    if (!StorageFiles::entryExists(m_path))
        return true;
    const std::optional<QByteArray> bytes = StorageFiles::readRegularFile(m_path, maxFileBytes);
    if (!bytes)
        return false;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject root = document.object();
    const QJsonValue hoursValue = root.value(QStringLiteral("hours"));
    const QJsonValue evictedValue = root.value(QStringLiteral("evicted"));
    if (root.value(QStringLiteral("format")) != QJsonValue(1) || !hoursValue.isArray()
        || !evictedValue.isArray())
        return false;

    QMap<qint64, Bucket> hours;
    for (const QJsonValue& entry : hoursValue.toArray()) {
        const QJsonObject bucket = entry.toObject();
        const QJsonValue hourValue = bucket.value(QStringLiteral("hour"));
        const double hour = hourValue.toDouble(std::numeric_limits<double>::quiet_NaN());
        // The range first: converting a double beyond 64 bits to an integer is undefined.
        if (!entry.isObject() || !hourValue.isDouble() || !(std::abs(hour) <= 1e15)
            || hour != std::trunc(hour))
            return false;
        Bucket values{0, 0, 0, 0};
        for (size_t i = 0; i < values.size(); ++i) {
            const std::optional<qint64> value =
                StorageFiles::byteValueFrom(bucket.value(QLatin1String(reasonKeys[i])));
            if (!value)
                return false;
            values[i] = *value;
        }
        Bucket& target = hours[qint64(hour)];
        for (size_t i = 0; i < values.size(); ++i)
            target[i] = saturating::add(target[i], values[i]);
    }

    QHash<QString, qint64> evicted;
    for (const QJsonValue& entry : evictedValue.toArray()) {
        const QJsonObject item = entry.toObject();
        const QString sha256 = item.value(QStringLiteral("sha256")).toString();
        const std::optional<qint64> at = StorageFiles::byteValueFrom(item.value(QStringLiteral("at_ms")));
        if (!entry.isObject() || !StorageFiles::validDigest(sha256) || !at)
            return false;
        evicted.insert(sha256, std::max(evicted.value(sha256, 0), *at));
    }
    m_hours = std::move(hours);
    m_evicted.clear();
    m_evictedByAge.clear();
    // Replaying in age order keeps the cap and its oldest-first rule.
    std::vector<std::pair<qint64, QString>> ordered;
    ordered.reserve(size_t(evicted.size()));
    for (auto it = evicted.constBegin(); it != evicted.constEnd(); ++it)
        ordered.emplace_back(it.value(), it.key());
    std::sort(ordered.begin(), ordered.end());
    for (const auto& [at, sha256] : ordered)
        noteEvicted(sha256, at);
    return true;
}

} // namespace talvorine
