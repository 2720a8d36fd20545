#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace talvorine {

// Keeps credentials out of the logs by judging a field by its name alone, and bounds the
// size of logged values. Values are never inspected, only cut.
class LogRedaction {
public:
    enum SecretHandling { DropSecrets = 0, KeepSecrets = 1 };

    static constexpr int defaultClipLength = 512;

    LogRedaction() = delete;

    static const QStringList& fragments();
    static bool isSecret(const QString& key);
    static QString clip(const QString& value, int max = defaultClipLength);
    static QHash<QString, QString> sanitize(const QHash<QString, QString>& fields,
                                            SecretHandling handling);
};

} // namespace talvorine
