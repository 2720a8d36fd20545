#pragma once

class QCommandLineParser;

namespace talvorine {

// The debug window options of the command line.
struct PlayerWindowOptions {
    bool windowed = false;
    int width = 1280;
    int height = 720;
    bool valid = true;

    static void addTo(QCommandLineParser& parser);
    // Call only after a successful parse.
    static PlayerWindowOptions from(const QCommandLineParser& parser);
};

} // namespace talvorine
