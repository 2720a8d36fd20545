#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <array>
#include <set>
#include <utility>

namespace talvorine {

// Bytes transferred per hour and reason over the last day, and the objects evicted from the
// cache, so that a download can be told apart as new, a refetch of an evicted object, or a
// repair. Persisted as compact JSON; lives on the GUI thread.
class StorageTransferLedger {
public:
    enum Reason { New = 0, Refetch = 1, Repair = 2, Failed = 3 };

    static constexpr qint64 hourMs = 3600000;
    static constexpr qint64 windowHours = 24;
    static constexpr int maxEvicted = 10000;
    static constexpr qint64 maxFileBytes = 8 * 1024 * 1024;

    // Does not read the file: load() does.
    explicit StorageTransferLedger(QString path);

    QString path() const { return m_path; }

    // An absent file gives an empty ledger and true; an unreadable or malformed one gives an
    // empty ledger and false.
    bool load();
    bool save() const;

    void record(Reason reason, qint64 bytes, qint64 nowMs);
    QJsonObject transfer24h(qint64 nowMs) const;

    void noteEvicted(const QString& sha256, qint64 atMs);
    void forgetEvicted(const QString& sha256);
    bool wasEvicted(const QString& sha256) const;
    int evictedCount() const { return int(m_evicted.size()); }

private:
    using Bucket = std::array<qint64, 4>;

    void dropHoursBefore(qint64 firstKeptHour);

    QString m_path;
    QMap<qint64, Bucket> m_hours;
    QHash<QString, qint64> m_evicted;
    // The same entries ordered by time, then digest: the cap drops the first.
    std::set<std::pair<qint64, QString>> m_evictedByAge;
};

} // namespace talvorine
