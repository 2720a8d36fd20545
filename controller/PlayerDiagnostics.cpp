#include "controller/PlayerDiagnostics.h"

#include "app/DevFileLog.h"
#include "app/LogRedaction.h"
#include "app/PlayerOpLog.h"

#include <QJsonObject>

#include <algorithm>
#include <array>

namespace talvorine {

PlaybackEventClass playbackEventClass(std::string_view event)
{
    static constexpr std::array<std::string_view, 7> errors{
        "candidate_failed",      "primitive_failed",        "manifest_drop",
        "manifest_failed",       "content_download_failed", "manifest_json_invalid",
        "schedule_timezone_unusable"};
    static constexpr std::array<std::string_view, 2> milestones{"manual_navigation",
                                                                "candidate_activated"};
    if (std::find(errors.begin(), errors.end(), event) != errors.end())
        return PlaybackEventClass::Error;
    if (std::find(milestones.begin(), milestones.end(), event) != milestones.end())
        return PlaybackEventClass::Milestone;
    return PlaybackEventClass::Plain;
}

QString playbackConsoleLine(std::string_view event, const QHash<QString, QString>& fields)
{
    QString line = QString::fromLatin1(event.data(), qsizetype(event.size()));
    const QHash<QString, QString> redacted =
        LogRedaction::sanitize(fields, LogRedaction::DropSecrets);
    for (auto it = redacted.cbegin(); it != redacted.cend(); ++it)
        line += QLatin1Char(' ') + it.key() + QLatin1Char('=') + it.value();
    return line;
}

void logPlayback(const char* event, QHash<QString, QString> fields)
{
    const QString name = QString::fromLatin1(event);
    QJsonObject context;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        context.insert(it.key(), it.value());
    DevFileLog::record(name, context);

    // The developer and operation logs get the fields as given; each does its own redaction.
    const QString op = QStringLiteral("playback.") + name;
    const PlaybackEventClass kind = playbackEventClass(event);
    if (kind == PlaybackEventClass::Error) {
        QJsonObject problem{{QStringLiteral("code"), fields.value(QStringLiteral("code"))}};
        if (fields.contains(QStringLiteral("status")))
            problem.insert(QStringLiteral("status"), fields.value(QStringLiteral("status")));
        if (fields.contains(QStringLiteral("error")))
            problem.insert(QStringLiteral("text"), fields.value(QStringLiteral("error")));
        PlayerOpLog::errorLocal(PlayerOpLog::newId(), op, 0, problem, context);
    } else if (kind == PlaybackEventClass::Milestone) {
        const QString id = PlayerOpLog::newId();
        PlayerOpLog::startLocal(id, op, QString(), context);
        PlayerOpLog::finishLocal(id, op, 0, context);
    }

    const QByteArray line = playbackConsoleLine(event, fields).toUtf8();
    if (kind == PlaybackEventClass::Error)
        qCritical("%s", line.constData());
    else
        qWarning("%s", line.constData());
}

} // namespace talvorine
