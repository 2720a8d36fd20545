#pragma once

#include <QByteArray>
#include <QList>
#include <QQuickItem>

namespace talvorine::test {

// Every item of the visual tree below root (delegates are not QObject children of their view),
// without looking inside web placements: the engine's own items there come from code built
// without type information, which the undefined-behaviour sanitizer's check of virtual calls
// takes for broken objects.
inline QList<QQuickItem*> itemsBelow(QQuickItem* root)
{
    QList<QQuickItem*> items;
    for (QQuickItem* child : root->childItems()) {
        items.append(child);
        if (!QByteArray(child->metaObject()->className()).startsWith("WebPlacement"))
            items += itemsBelow(child);
    }
    return items;
}

} // namespace talvorine::test
