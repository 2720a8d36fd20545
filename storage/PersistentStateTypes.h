#pragma once

// The reload ledger and the manifest byte limit, which the persistent state keeps and the
// runtime client's compatibility rules use (RuntimeCompat.h includes them). They live here,
// beside the store, which must not depend on the runtime client.

#include <QDateTime>
#include <QHash>
#include <QString>

#include <algorithm>
#include <vector>

namespace talvorine {

namespace RuntimeCompat {

// The largest manifest body the player takes from the service, and so the largest it keeps as
// its last known good copy: a manifest that plays must also survive a restart.
inline constexpr qint64 manifestByteLimit = 32 * 1024 * 1024;

// The reload requests the player has acted on, so that a repeated or replayed request is
// recognised and reloads are rate-limited across restarts.
struct ReloadLedger {
    static constexpr int maxEntries = 64;
    static constexpr qint64 keepMs = 7LL * 24 * 60 * 60 * 1000;

    QHash<QString, QDateTime> entries;
    QDateTime lastReloadAt;

    void record(const QString& id, const QDateTime& at)
    {
        entries.insert(id, at);
        lastReloadAt = at;
        for (auto it = entries.begin(); it != entries.end();) {
            if (!it.value().isValid() || it.value().msecsTo(at) > keepMs)
                it = entries.erase(it);
            else
                ++it;
        }
        if (entries.size() <= maxEntries)
            return;
        std::vector<std::pair<QDateTime, QString>> byAge;
        byAge.reserve(size_t(entries.size()));
        for (auto it = entries.cbegin(); it != entries.cend(); ++it)
            byAge.emplace_back(it.value(), it.key());
        std::sort(byAge.begin(), byAge.end());
        for (size_t i = 0; i + maxEntries < byAge.size(); ++i)
            entries.remove(byAge[i].second);
    }

    bool contains(const QString& id) const { return entries.contains(id); }
};

} // namespace RuntimeCompat

} // namespace talvorine
