import QtQuick
import QtQuick.Window
import Talvorine.Native 1.0

// The player's one window: both stage slots with their transitions, the start-up splash, the
// setup (pairing) screen, the status overlay, the operator panel's hooks and the fatal surface.
// Everything it draws comes from the controller; what happens on glass goes back to it.
Window {
    id: root

    property url startupAnimationUrl
    property bool debugWindowed: false
    property size debugWindowSize: Qt.size(1280, 720)
    property real debugPixelRatio: 1

    readonly property var controller: talvorineController
    readonly property var panel: controller.operatorPanel
    readonly property bool fatal: controller.fatalVisible
    readonly property real viewportPixelRatio: debugWindowed ? debugPixelRatio
                                                             : Screen.devicePixelRatio

    title: Qt.application.name
    color: controller.playLetterboxColor
    width: debugWindowSize.width
    height: debugWindowSize.height
    minimumWidth: debugWindowed ? debugWindowSize.width : 0
    minimumHeight: debugWindowed ? debugWindowSize.height : 0
    maximumWidth: debugWindowed ? debugWindowSize.width : 16777215
    maximumHeight: debugWindowed ? debugWindowSize.height : 16777215
    visibility: debugWindowed ? Window.Windowed : Window.FullScreen
    visible: true

    function publishViewport() {
        controller.setViewport(width, height, viewportPixelRatio,
                               visibility === Window.FullScreen)
    }

    onWidthChanged: publishViewport()
    onHeightChanged: publishViewport()
    onVisibilityChanged: publishViewport()
    onViewportPixelRatioChanged: publishViewport()
    Component.onCompleted: publishViewport()

    function stageAt(slot) {
        return stages.itemAt(slot === 0 ? 0 : 1)
    }

    Connections {
        target: root.controller
        function onVideoRestartRequested(slot, primitiveId) {
            root.stageAt(slot).restartVideo(primitiveId)
        }
        function onCandidateAwaitingReadiness(slot, primitiveIds) {
            root.stageAt(slot).reportReady(primitiveIds)
        }
    }

    // A click or touch that reaches the player's own surface (nothing above took it) is the
    // operator's way into the panel.
    MouseArea {
        anchors.fill: parent
        enabled: !root.fatal
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: root.panel.openFromPointer()
    }

    MultiPointTouchArea {
        anchors.fill: parent
        enabled: !root.fatal
        mouseEnabled: false
        maximumTouchPoints: 2
        onPressed: points => {
            for (const point of points)
                root.panel.touchPressed(point.pointId, point.x, point.y)
        }
        onUpdated: points => {
            for (const point of points) {
                if (point.pressed)
                    root.panel.touchMoved(point.pointId, point.x, point.y)
            }
        }
        onReleased: points => {
            for (const point of points)
                root.panel.touchReleased(point.pointId)
        }
        onCanceled: points => {
            for (const point of points)
                root.panel.touchReleased(point.pointId)
        }
    }

    Item {
        id: content
        anchors.fill: parent
        visible: !root.fatal

        // Slot 0 shows stage A, slot 1 stage B; the slot on glass is drawn above the other.
        Repeater {
            id: stages
            model: 2

            ResolvedStage {
                id: stage
                required property int index
                readonly property bool first: index === 0
                readonly property var c: root.controller

                anchors.fill: parent
                slot: index
                stageModel: first ? c.stageA : c.stageB
                z: active ? 1 : 0
                active: c.activeSlot === index
                opacity: first ? c.opacityA : c.opacityB
                offsetX: root.width * (first ? c.translateXPermilleA : c.translateXPermilleB) / 1000
                offsetY: root.height * (first ? c.translateYPermilleA : c.translateYPermilleB) / 1000
                transitionMs: c.transitionDurationMs
                startupHeld: c.splashVisible
                objectEnterArmed: c.objectEnterArmed
                objectEnterSerial: c.objectEnterSerial
                reducedMotion: c.reducedMotion
                progressWanted: c.adActive && active

                onPrimitiveReady: primitiveId => c.primitiveReady(slot, primitiveId)
                onApplicationPrepared: primitiveId => c.applicationPrepared(slot, primitiveId)
                onPrimitiveFailed: (primitiveId, code) =>
                    c.primitiveFailed(slot, primitiveId, code)
                onApplicationAdvanceRequested: primitiveId =>
                    c.applicationAdvanceRequested(slot, primitiveId)
                onApplicationLogRequested: (primitiveId, level, code, message) =>
                    c.applicationLogRequested(slot, primitiveId, level, code, message)
                onApplicationEventRequested: (primitiveId, code, requestId) =>
                    c.applicationEventRequested(slot, primitiveId, code, requestId)
                onApplicationKvRequested: (primitiveId, requestId, request) =>
                    c.applicationKvRequested(slot, primitiveId, requestId, request)
                onVideoStarted: primitiveId => c.videoStarted(slot, primitiveId)
                onVideoEndOfStream: primitiveId => c.videoEndOfStream(slot, primitiveId)
                onAdProgressSample: (primitiveId, positionMs, durationMs) =>
                    c.adProgressSample(slot, primitiveId, positionMs, durationMs)
            }
        }
    }

    SetupScreen {
        anchors.fill: parent
        controller: root.controller
        visible: !root.fatal && !root.controller.hasActiveContent
                 && (root.controller.pairingCode !== "" || root.controller.pairingCelebrating)
    }

    StatusOverlay {
        anchors.fill: parent
        controller: root.controller
        visible: !root.fatal
    }

    SplashLayer {
        anchors.fill: parent
        controller: root.controller
        animationUrl: root.startupAnimationUrl
    }

    // The operator's brightness when no hardware can dim: a black veil over everything drawn.
    Rectangle {
        anchors.fill: parent
        color: root.controller.playLetterboxColor
        opacity: root.panel.scrimOpacity
        visible: opacity > 0 && !root.fatal
    }

    // The panel's dim backdrop; a click on it dismisses the panel. The menu itself is drawn
    // above it once the panel has one.
    Rectangle {
        anchors.fill: parent
        color: root.controller.playLetterboxColor
        opacity: 0.45
        visible: root.panel.open && !root.fatal
        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.LeftButton | Qt.RightButton
            onClicked: root.panel.dismissFromBackdrop()
        }
    }

    // A touch hold fills this hairline before the panel opens.
    Rectangle {
        id: holdLine
        anchors.bottom: parent.bottom
        height: Math.max(2, root.controller.safeAreaVerticalPx / 20)
        color: root.controller.inkBrightColor
        visible: root.panel.holdFilling && !root.fatal
        width: root.width / 5
        NumberAnimation on width {
            running: holdLine.visible
            from: root.width / 5
            to: root.width
            duration: 4000
        }
    }

    FatalSurface {
        anchors.fill: parent
        controller: root.controller
        visible: root.fatal
    }
}
