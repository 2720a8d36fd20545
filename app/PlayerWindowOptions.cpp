#include "app/PlayerWindowOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace talvorine {

namespace {

constexpr int maxEdge = 8192;

} // namespace

void PlayerWindowOptions::addTo(QCommandLineParser& parser)
{
    parser.addOption(QCommandLineOption(
        QStringLiteral("windowed"),
        QStringLiteral("Use a debug window bounded to a 1920x1080 render surface.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("window-size"),
        QStringLiteral("Debug render size in pixels (1..8192 per edge); implies --windowed."),
        QStringLiteral("WIDTHxHEIGHT")));
}

PlayerWindowOptions PlayerWindowOptions::from(const QCommandLineParser& parser)
{
    PlayerWindowOptions options;
    const bool sizeSet = parser.isSet(QStringLiteral("window-size"));
    if (parser.isSet(QStringLiteral("windowed")) || sizeSet) {
        options.windowed = true;
        options.width = 1920;
        options.height = 1080;
    }
    if (!sizeSet)
        return options;

    const QStringList values = parser.values(QStringLiteral("window-size"));
    static const QRegularExpression pattern(
        QStringLiteral("\\A([1-9][0-9]{0,3})x([1-9][0-9]{0,3})\\z"));
    const QRegularExpressionMatch match =
        values.size() == 1 ? pattern.match(values.first()) : QRegularExpressionMatch();
    const int width = match.hasMatch() ? match.captured(1).toInt() : 0;
    const int height = match.hasMatch() ? match.captured(2).toInt() : 0;
    if (!match.hasMatch() || width > maxEdge || height > maxEdge) {
        options.valid = false;
        return options;
    }
    options.width = width;
    options.height = height;
    return options;
}

} // namespace talvorine
