#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace talvorine {

// Host side of the web-application SDK: the features every application is told about, the
// capability each key-value kind needs, and the translation of a key-value request into one
// request to the runtime service's application store.
class SdkBridge {
public:
    SdkBridge() = delete;

    struct KvRequest {
        bool valid = false;
        QByteArray method;
        QByteArray path;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
    };

    static const QStringList& hostFeatures();
    static QString kvCapability(const QString& kind);
    // A refused request comes back with valid false and every other field empty.
    static KvRequest kvRequest(const QJsonObject& request, const QString& applicationId,
                               const QString& primitiveCapability);
    static QStringList readSessionCapabilities(const QJsonValue& value);
};

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
