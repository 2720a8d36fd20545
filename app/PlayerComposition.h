#pragma once

// The running player as the shell builds it: every object of the start-up in its fixed order,
// the QML scene loaded, and the controller started from the event loop; destroyed in reverse.
// main() builds one after its checks; window tests and benchmarks build the same one in-process
// (this unit is compiled into them, since nothing may link the shell).

#include "app/PlayerWindowOptions.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QQmlApplicationEngine;
class QQuickWindow;

namespace talvorine {

class CapabilityReport;
class HardwareBrightness;
class HardwareVolume;
class PlayerController;
class WebPackageSchemeCoordinator;

struct PlayerCompositionSettings {
    QUrl origin;
    // The origin option's value as typed, which a refusal names; empty: the origin's own text.
    QString originAsTyped;
    QString stateDirectory;
    PlayerWindowOptions window;
    QUrl scene = QUrl(QStringLiteral("qrc:/qml/Main.qml"));
    QString startupAnimation = QStringLiteral(":/brand/startup_animation.mp4");
    // The three resource checks whose failure becomes a fatal surface; tests replace them.
    std::function<bool()> registerFonts;
    std::function<bool()> loadChromeTokens;
    std::function<bool()> loadOverlayContract;
    // How the hardware controls find their programs and the backlights; tests keep them off
    // the machine's own.
    std::function<QString(const QString&)> locateProgram;
    QString backlightRoot = QStringLiteral("/sys/class/backlight");
    // Why the web engine may not start in this process (webEngineSandboxRefusal), found by
    // main() before any engine process exists; empty when it may. Tests set it themselves.
    QByteArray webEngineRefusal;
};

class PlayerComposition {
public:
    static constexpr const char* applicationVersion = "26.09.229";
    static constexpr const char* sceneModule = "Talvorine.Native";

    // The capability report: its constructor initialises GStreamer and probes its elements.
    explicit PlayerComposition(PlayerCompositionSettings settings);
    // The objects go in reverse order of creation: the scene first, the controller after
    // everything that refers to it.
    ~PlayerComposition();

    PlayerComposition(const PlayerComposition&) = delete;
    PlayerComposition& operator=(const PlayerComposition&) = delete;

    // Everything after the platform check: the QML types, fonts, controller, hardware controls,
    // fatal surfaces, web packages, start-up animation, engine and scene, the window hooks and
    // the controller's start on the event loop's first pass. What an operator must mend (an
    // origin the player cannot use as given, a state directory it cannot use, a web engine that
    // may not start, a window the compositor does not show) is said in one line on standard
    // error, where a service manager's journal finds it; the player runs on all the same.
    void build();

    CapabilityReport& capabilities() { return *capabilities_; }
    PlayerController* controller() { return controller_.get(); }
    QQmlApplicationEngine* engine() { return engine_.get(); }
    QList<QQuickWindow*> windows() const;
    // The copy of the start-up animation the scene plays; empty when none could be made.
    QUrl startupAnimationUrl() const;

    // Before the application object: GStreamer's GL environment, no input method unless one
    // is asked for, the web engine's start-up report off, an opaque default surface, the OpenGL
    // scene graph, and the GL context that web placements share with the scene.
    static void applyGraphicsDefaults();
    // The window's frames as evidence for the controller: its render-thread hooks, called
    // directly, and the GUI thread's copy of each presented frame.
    static void connectFrameEvidence(QQuickWindow* window, PlayerController& controller);
    // The types the scene uses from "Talvorine.Native" 1.0; registering twice is harmless.
    static void registerQmlTypes();
    // The "state-dir" value cleaned, or the per-user data location when it is empty.
    static QString stateDirectoryFor(const QString& given);
    // The path of the one copy of the animation resource kept in the directory, written when
    // it is missing or differs; empty when no copy can be had.
    static QString keepStartupAnimation(const QString& resource, const QString& directory);

private:
    PlayerCompositionSettings settings_;
    std::unique_ptr<CapabilityReport> capabilities_;
    std::unique_ptr<PlayerController> controller_;
    std::unique_ptr<HardwareBrightness> brightness_;
    std::unique_ptr<HardwareVolume> volume_;
    std::unique_ptr<WebPackageSchemeCoordinator> webPackages_;
    QString startupAnimation_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
};

} // namespace talvorine
