#pragma once

// A JSON picture of a parsed manifest, so that fixtures can name any field by a slash path.

#include "manifest/Manifest.h"

#include <QJsonObject>
#include <QJsonValue>

namespace talvorine::testing {

QJsonObject dumpManifest(const Manifest& manifest);
QJsonObject dumpPrimitive(const Primitive& primitive);

// Looks up "a/0/b" in a JSON tree; undefined when a step is missing.
QJsonValue lookup(const QJsonValue& root, const QString& path);

} // namespace talvorine::testing
