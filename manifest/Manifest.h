#pragma once

// The manifest model: plain value types filled from the runtime service's manifest document,
// the tolerant parser that fills them, and the small queries the controller asks of them.

#include "manifest/ContractColor.h"
#include "manifest/ObjectMotionPolicy.h"
#include "manifest/ScheduleContract.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <variant>
#include <vector>

namespace talvorine {

struct ManifestDrop {
    QString pageId;
    QString primitiveId;
    QString code;
    QString path;

    friend bool operator==(const ManifestDrop&, const ManifestDrop&) = default;
};

struct ManifestError {
    QString code;
    QString path;
};

enum class ManifestOutcome : int { render = 0, keep_lkg = 1, no_content = 2 };

enum class PageType : quint8 { content = 0, adslot = 1 };

enum class PrimitiveKind : qint32 {
    application = 0,
    image = 1,
    video = 2,
    stream = 3,
    iframe = 4,
    text = 5,
    box = 6,
    line = 7,
};

// The kinds that show a media object (an image, a video file or a stream).
inline bool isMediaKind(PrimitiveKind kind)
{
    return kind == PrimitiveKind::image || kind == PrimitiveKind::video
        || kind == PrimitiveKind::stream;
}

struct PageAudioCue {
    QString track;
    bool restart = false;
};

struct Canvas {
    double width = 0.0;
    double height = 0.0;
    QString viewportFit = QStringLiteral("contain");
    CanvasBackground background;
};

struct MediaItem {
    QString mediaId;
    QString src;
    QSizeF intrinsicSize;
    QString sha256;
    qint64 bytes = 0;
    QString contentType;
    QString codecs;
};

struct Primitive {
    struct Motion {
        enum Type : qint32 { spin = 0, path = 1, drift = 2 };

        qint32 type = spin;
        QString spinDirection;
        QString spinSpeed;
        std::vector<ObjectMotionPoint> points;
        double rate = 0.0;
        std::optional<QString> loop;
        QString driftZoom;
        QString driftDirection;
        QString driftSpeed;
    };

    QString id;
    PrimitiveKind kind = PrimitiveKind::image;
    qint32 layer = 0;
    qint32 sourceIndex = 0;
    QRectF rect;
    QString contentFit;
    std::optional<QSizeF> intrinsicSize;
    QJsonObject binding;
    QString capabilityHandle;
    bool controller = false;
    QString mediaPrimitiveId;
    std::optional<QString> enterType;
    std::optional<qint32> enterStagger;
    std::optional<Motion> motion;
};

struct Page {
    QString contractVersion = QStringLiteral("talvorine.canvas/v1");
    QString id;
    Canvas canvas;
    QJsonObject transition;
    QJsonObject advance;
    QList<Primitive> primitives;
    std::optional<PageVisibility> visibility;
    std::optional<PageAudioCue> audioCue;
    PageType type = PageType::content;
    QString adslotId;
};

struct SoundtrackTrack {
    QString id;
    QString mediaId;
    QString src;
    QString sha256;
    qint64 bytes = 0;
    QString contentType;
    qint64 durationMs = 0;
};

struct Soundtrack {
    bool loop = true;
    double volume = 1.0;
    QList<SoundtrackTrack> tracks;
};

struct Manifest {
    QJsonObject document;
    QString manifestRevision;
    QString grantId;
    qint32 contentGeneration = 0;
    QString screenId;
    QString screenLabel;
    qint32 playlistRevision = 0;
    QList<Page> pages;
    QString timezone;
    QString playlistId;
    QString playlistName;
    QList<ManifestDrop> drops;
    QJsonArray diagnostics;
    QStringList diagnosticCodes;
    qint32 sourcePageCount = 0;
    std::optional<Soundtrack> soundtrack;
};

using ManifestParseResult = std::variant<Manifest, ManifestError>;

struct ManifestParser {
    // expectedSchemaVersion > 0 demands that "schemaVersion" equal it; 0 or less accepts 2 and 3.
    static ManifestParseResult parse(const QByteArray& bytes, const QUrl& origin,
                                     int expectedSchemaVersion);
    static ManifestParseResult parse(const QByteArray& bytes, const QUrl& origin);

    static QJsonObject renderDescriptor(const Primitive& primitive);
};

// The contract code that the service expects for an internal drop code ("" for none).
QString contractDropCode(const QString& code);

ManifestOutcome manifestOutcome(const Manifest& manifest);
QString manifestOutcomeName(ManifestOutcome outcome);
bool pageRebuildsOnAdvance(const Page& page);
bool pageHasWebPrimitive(const Page& page);
bool mediaOneAtATime(const Primitive& primitive);
std::optional<qint32> mediaDwellMs(const Primitive& primitive);

// The media items of an image, video or stream primitive, read back from its binding.
QList<MediaItem> mediaItems(const Primitive& primitive);

} // namespace talvorine
