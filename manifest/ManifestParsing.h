#pragma once

// The building blocks of the manifest parser: the shared value checks, drop recording, the
// content address rules and the element parsers. Only the parser and its tests use them; the
// rest of the player goes through ManifestParser.

#include "manifest/Manifest.h"

#include <QJsonValue>
#include <QSet>

namespace talvorine::ManifestParsing {

// Upper bound on the distinct unknown-key paths logged per process: the keys come from the
// server, and an unattended player must not grow without limit over months of revisions.
inline constexpr int unknownKeyPathCap = 4096;
// Upper bound on the new unknown-key paths one document may log: a single document must not use
// up the process-wide budget, or the unknown keys of every later revision would go unseen.
inline constexpr int unknownKeyPathsPerDocument = 256;
// Longer unknown-key paths are logged and remembered cut to this many characters.
inline constexpr int unknownKeyPathLength = 512;

// How many entries of a media list, a soundtrack's tracks or a stream's sources are walked with
// a drop of their own. The lists keep at most 32 (or two) entries, so no real document comes
// near it; past it, the rest of the list costs one drop at the list's path and is not walked,
// so that a list of millions of junk entries cannot become millions of drops and log records.
inline constexpr qsizetype listEntryBound = 256;

// The parse of one document on this thread: while it lives, noteUnknownKeys logs and remembers
// at most unknownKeyPathsPerDocument new paths. Calls outside any scope have only the
// process-wide cap.
class UnknownKeyDocumentScope {
public:
    UnknownKeyDocumentScope();
    ~UnknownKeyDocumentScope();
    UnknownKeyDocumentScope(const UnknownKeyDocumentScope&) = delete;
    UnknownKeyDocumentScope& operator=(const UnknownKeyDocumentScope&) = delete;

    int reported = 0;

private:
    UnknownKeyDocumentScope* m_enclosing;
};

// The string at key, empty when absent or not a string.
QString text(const QJsonObject& object, QLatin1String key);
bool finiteNumber(const QJsonValue& value);
bool finiteNumber(const QJsonValue& value, double above, bool exclusive);
bool boundedInteger(const QJsonValue& value, int low, int high);
bool hasRequiredKeys(const QJsonObject& object, const QSet<QString>& keys);
bool id(const QJsonValue& value);
bool sha(const QJsonValue& value);
bool trackId(const QString& text);
void noteUnknownKeys(const QJsonObject& object, const QSet<QString>& allowed, const QString& path);
int reportedUnknownKeyPathCount();
void recordDrop(QList<ManifestDrop>& drops, const QString& pageId, const QString& primitiveId,
                const QString& code, const QString& path);

bool credentialOriginUrl(const QString& reference, const QUrl& origin, const QString& prefix);
bool releaseOrigin(const QString& origin);
QString applicationHost();
QString localApplicationHost();

bool validMediaSelector(const QJsonValue& selector);
std::variant<QList<MediaItem>, ManifestError>
parseMediaItems(QJsonObject& binding, bool isVideo, const QUrl& origin, const QString& path,
                const QString& pageId, const QString& primitiveId, QList<ManifestDrop>& drops);

std::optional<Primitive::Motion> parseMotion(const QJsonObject& primitive, const QString& path,
                                             const QString& kindName, const QString& pageId,
                                             const QString& primitiveId, QList<ManifestDrop>& drops);

QJsonObject bindingFields(const QJsonObject& object);
std::optional<Primitive> parsePrimitive(const QJsonObject& object, const QString& path,
                                        qint32 sourceIndex, const QString& grantId,
                                        const QUrl& origin, const QString& pageId,
                                        QList<ManifestDrop>& drops);

std::optional<PageVisibility> tolerantVisibility(const QJsonValue& value, const QString& path,
                                                 const QString& pageId, QList<ManifestDrop>& drops);
std::optional<Soundtrack> tolerantSoundtrack(const QJsonObject& document, const QUrl& origin,
                                             QList<ManifestDrop>& drops);
std::optional<PageAudioCue> tolerantAudioCue(const QJsonValue& cue,
                                             const std::optional<Soundtrack>& soundtrack,
                                             const QString& pageId, QList<ManifestDrop>& drops);

} // namespace talvorine::ManifestParsing
