import QtQuick
import QtQuick.Window

// The player's one window. In the debug window mode the sizer keeps the render surface at the
// requested pixel size; otherwise the window covers the screen.
Window {
    id: root

    property url startupAnimationUrl
    property bool debugWindowed: false
    property size debugWindowSize: Qt.size(1280, 720)
    property real debugPixelRatio: 1

    title: Qt.application.name
    color: "#0b0f14"
    width: debugWindowSize.width
    height: debugWindowSize.height
    minimumWidth: debugWindowed ? debugWindowSize.width : 0
    minimumHeight: debugWindowed ? debugWindowSize.height : 0
    maximumWidth: debugWindowed ? debugWindowSize.width : 16777215
    maximumHeight: debugWindowed ? debugWindowSize.height : 16777215
    visibility: debugWindowed ? Window.Windowed : Window.FullScreen
    visible: true
}
