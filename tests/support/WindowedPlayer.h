#pragma once

// The settings of the player's composition as window tests and benchmarks build it in-process:
// a debug window of its own size, and the machine's own sound and monitor programs and its
// backlights never touched.

#include "app/PlayerComposition.h"

#include <QDir>
#include <QSize>

namespace talvorine::test {

inline PlayerCompositionSettings windowedPlayer(const QUrl& origin, const QString& stateDirectory,
                                                QSize size = QSize(640, 360))
{
    PlayerCompositionSettings settings;
    settings.origin = origin;
    settings.stateDirectory = stateDirectory;
    settings.window.windowed = true;
    settings.window.width = size.width();
    settings.window.height = size.height();
    settings.locateProgram = [](const QString&) { return QString(); };
    settings.backlightRoot = QDir(stateDirectory).filePath(QStringLiteral("no-backlight"));
    return settings;
}

} // namespace talvorine::test
