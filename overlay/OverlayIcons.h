#pragma once

// The overlay's icons: SVG files in the house style (24 x 24 view box, one stroked outline in the
// current colour, round caps and joins, path elements only), handed to the scene as the path data
// it strokes itself.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace talvorine {

namespace overlay {

constexpr const char* iconResourceDirectory = ":/overlay/icons";
// Read when the program was built without the icon resources (development runs).
constexpr const char* iconFallbackDirectory = "/source/vendor/overlay/icons";
// Far above any icon of the house style; a larger file is not read at all.
constexpr qint64 maxIconBytes = 64 * 1024;

// The path data of an SVG document in document order, or an empty list when the document
// breaks the house style anywhere; never part of a list.
QStringList iconPathsFromSvg(const QByteArray& svg);

} // namespace overlay

// The path data of the named icon (a bare file stem such as "pause"), or an empty list when the
// name could lead anywhere else, no file holds it, or the file breaks the house style.
QStringList overlayIconPaths(const QString& iconName);

} // namespace talvorine
