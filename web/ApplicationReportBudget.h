#pragma once

#include <QHash>
#include <QList>
#include <QString>

namespace talvorine {

// Limits reports from web applications over a sliding window, per key and in total.
class ApplicationReportBudget {
public:
    static constexpr qint64 windowMs = 60000;
    static constexpr int perKeyLimit = 8;
    static constexpr int globalLimit = 96;

    static void pruneWindow(QList<qint64>& stamps, qint64 nowMs);
    // True when the report may be sent; it is then counted. A refused report is not counted.
    bool allow(const QString& key, qint64 nowMs);

    const QList<qint64>& globalStamps() const { return globalWindow; }
    int keyCount() const { return int(keyWindows.size()); }

private:
    QList<qint64> globalWindow;
    QHash<QString, QList<qint64>> keyWindows;
};

} // namespace talvorine
