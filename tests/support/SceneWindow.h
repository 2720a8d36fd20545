#pragma once

// The player's own scene (Main.qml) in a debug window of its own, drawn from a controller that
// a window test or benchmark holds, with the context and frame hooks the composition gives it.
// Frames are real: the scene reports readiness, video starts and ends to that controller, and
// grabs show what is on glass.

#include "tests/support/GeneratedMedia.h"

#include <QImage>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QStringList>

#include <memory>

class QQmlApplicationEngine;
class QQuickWindow;

namespace talvorine {
class CapabilityReport;
class PlayerController;
class WebPackageSchemeCoordinator;
} // namespace talvorine

namespace talvorine::test {

class SceneWindow {
public:
    // What every scene of the process needs once: its QML types, typefaces, chrome tokens and
    // overlay contract; false when one of them is missing.
    static bool loadResources();
    // The scene's own warnings (those naming its QML files) between these two calls, each still
    // passed to the previous message handler.
    static void collectWarnings();
    static void stopCollectingWarnings();
    static QStringList warnings();
    // A warning a test provokes on purpose: any that contains this text is not collected.
    static void expectWarning(const QString& part);

    explicit SceneWindow(PlayerController& controller, QSize size = QSize(640, 360));
    ~SceneWindow();

    SceneWindow(const SceneWindow&) = delete;
    SceneWindow& operator=(const SceneWindow&) = delete;

    // Null when the scene did not load.
    QQuickWindow* window() const { return window_; }
    // The window as drawn, cut to an area in scene coordinates (the whole window when empty).
    QImage grab(const QRect& area = QRect()) const;

    // A grid of points across the grab all show the colour, each channel within 8: the page
    // fills the glass and nothing of another page or of the ground shows.
    static bool filledWith(const QImage& grab, const Rgb& colour);
    // The colour bars of a generated clip across the upper half of the grab.
    static bool barsShown(const QImage& grab);

private:
    std::unique_ptr<CapabilityReport> capabilities_;
    std::unique_ptr<WebPackageSchemeCoordinator> webPackages_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
};

// The frame of a window test of the player's scene: it runs under the compositor with the
// scene's resources loaded and its warnings collected, and each test fails on those it left.
// A test class with more to set up calls these from its own initTestCase() and
// cleanupTestCase().
class SceneTestCase : public QObject {
    Q_OBJECT
protected Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
};

} // namespace talvorine::test
