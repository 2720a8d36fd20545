#include "overlay/OverlayIcons.h"

#include "overlay/OverlayContract.h"

#include <QXmlStreamAttributes>
#include <QXmlStreamReader>

#include <utility>

namespace talvorine {

namespace overlay {

namespace {

// The attribute exists, is not empty and is exactly the expected text.
bool hasExactly(const QXmlStreamAttributes& attributes, QLatin1String name, QLatin1String expected)
{
    const QStringView value = attributes.value(name);
    return !value.isEmpty() && value == expected;
}

bool houseStyleRoot(const QXmlStreamAttributes& attributes)
{
    static const std::pair<QLatin1String, QLatin1String> required[] = {
        {QLatin1String("viewBox"), QLatin1String("0 0 24 24")},
        {QLatin1String("fill"), QLatin1String("none")},
        {QLatin1String("stroke"), QLatin1String("currentColor")},
        {QLatin1String("stroke-width"), QLatin1String("1.5")},
        {QLatin1String("stroke-linecap"), QLatin1String("round")},
        {QLatin1String("stroke-linejoin"), QLatin1String("round")},
    };
    for (const auto& [name, expected] : required) {
        if (!hasExactly(attributes, name, expected))
            return false;
    }
    return true;
}

} // namespace

QStringList iconPathsFromSvg(const QByteArray& svg)
{
    QStringList paths;
    bool styled = false; // a path counts only inside an svg element of the house style
    QXmlStreamReader reader(svg);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QXmlStreamAttributes attributes = reader.attributes();
            if (reader.name() == QLatin1String("svg")) {
                if (!houseStyleRoot(attributes))
                    return {};
                styled = true;
            } else if (reader.name() == QLatin1String("path") && styled) {
                const QString data = attributes.value(QLatin1String("d")).toString();
                if (data.isEmpty())
                    return {};
                paths.append(data);
            } else {
                return {};
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (!reader.isWhitespace())
                return {};
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return {};
    return paths;
}

} // namespace overlay

QStringList overlayIconPaths(const QString& iconName)
{
    // Names are bare file stems: nothing that could climb out of the icon directory is looked up.
    if (iconName.isEmpty() || iconName.contains(QLatin1Char('/'))
        || iconName.contains(QLatin1Char('.')))
        return {};
    const QString file = QLatin1Char('/') + iconName + QLatin1String(".svg");
    const QByteArray svg =
        overlay::readFirstOf(QLatin1String(overlay::iconResourceDirectory) + file,
                             QLatin1String(overlay::iconFallbackDirectory) + file,
                             overlay::maxIconBytes);
    return svg.isEmpty() ? QStringList() : overlay::iconPathsFromSvg(svg);
}

} // namespace talvorine
