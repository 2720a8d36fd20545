#pragma once

#include <QByteArray>
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

} // namespace talvorine
