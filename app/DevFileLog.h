#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>

class QNetworkReply;

namespace talvorine {

// The developer log: JSON lines in the state directory, switched on only for a local player
// API origin, size-capped with one previous generation. Best effort: nothing is reported back.
class DevFileLog {
public:
    static constexpr qint64 defaultMaxBytes = 2097152;
    static constexpr int stringLimit = 8192;

    DevFileLog() = delete;

    static void configure(const QUrl& origin, const QString& stateDir, qint64 maxBytes);
    static bool enabled();
    static QString path();
    static QString originString(const QUrl& url);
    static void record(const QString& event, const QJsonObject& fields = {});
    // For records a peer can cause at will: folded per event and code (a closed set of words,
    // never the peer's text) as RecordFold says, with "folded" counting those left out.
    static void recordFolded(const QString& event, const QString& code, QJsonObject fields,
                             qint64 nowMs);
    static void watchReply(QNetworkReply* reply, const QString& method);
};

} // namespace talvorine
