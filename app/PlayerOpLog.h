#pragma once

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>

class QNetworkReply;

namespace talvorine {

// The operation log: one-line JSON records on a local stream socket for a collector on the same
// machine. Strictly best effort: a record that cannot be sent at once is dropped, nothing is
// queued and nothing waits, because the caller is usually the GUI thread.
class PlayerOpLog {
public:
    PlayerOpLog() = delete;

    static QString newId();
    static void startLocal(const QString& correlationId, const QString& op, const QString& message,
                           const QJsonObject& params = {});
    static void finishLocal(const QString& correlationId, const QString& op, qint64 durationMs,
                            const QJsonObject& params = {});
    static void errorLocal(const QString& correlationId, const QString& op, qint64 durationMs,
                           const QJsonObject& problem, const QJsonObject& params = {});

    static void setBoundScreenId(const QString& id);
    static QString boundScreenId();

    static QString socketPath();
    static void close();

    // HTTP exchanges: a request record now, a response record when the reply finishes.
    static void watchReply(QNetworkReply* reply, const QString& method);
    static QString tagFor(const QString& method, const QString& path);

    // Building blocks shared by the local and the HTTP records.
    static void emitEvent(QJsonObject record);
    static void emitLocal(const QString& correlationId, const QString& phase, const QString& op,
                          const QString& message, qint64 durationMs, const QJsonObject& problem,
                          const QJsonObject& params);
    static void insertIdAndParams(QJsonObject& record, const QString& id,
                                  const QJsonObject& params);
    static QJsonObject sanitizeObject(const QJsonObject& object);
    static QJsonValue sanitizeValue(const QJsonValue& value);
    static bool forbiddenKey(const QString& key);
};

// Path words that belong to routes, and collection names with their singular forms; together
// they turn a request path into a route tag without its variable parts.
const QSet<QString>& httpKeepTokens();
const QHash<QString, QString>& httpSingularTokens();

} // namespace talvorine
