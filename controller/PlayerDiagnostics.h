#pragma once

// The playback log: the one entry through which the content pipeline, playback, ads and the
// soundtrack report what happened, to the developer log, the operation log and the console.

#include <QHash>
#include <QString>

#include <string_view>

namespace talvorine {

enum class PlaybackEventClass { Plain, Error, Milestone };

// Errors go to the operation log as failed operations, milestones as finished ones.
PlaybackEventClass playbackEventClass(std::string_view event);

// The console line: the event name, then "key=value" for each field after log redaction.
QString playbackConsoleLine(std::string_view event, const QHash<QString, QString>& fields);

// Writes one event with its fields (already formatted as text) to every sink its class has.
// GUI thread; never fails towards the caller.
void logPlayback(const char* event, QHash<QString, QString> fields);

} // namespace talvorine
