import QtQuick
import Talvorine.Native 1.0

// One stage slot: the page the controller resolved onto it, one placement per row in paint
// order. Each placement reports its readiness, failure and video events with its primitive id;
// the main scene adds the slot when it passes them to the controller.
Item {
    id: stage

    property var stageModel: null
    property int slot: 0
    property bool active: false
    property bool startupHeld: false
    property bool objectEnterArmed: false
    property int objectEnterSerial: 0
    property bool reducedMotion: false
    property bool progressWanted: false
    // What web placements need beyond their rows: the controller's package cache root and the
    // process's web package coordinator.
    property string packageCacheRoot
    property var packageCoordinator: null
    // The stage's offset from its resting place, and how long the controller's pose changes
    // take (0: at once).
    property real offsetX: 0
    property real offsetY: 0
    property int transitionMs: 0

    transform: Translate { x: stage.offsetX; y: stage.offsetY }
    Behavior on opacity {
        enabled: stage.transitionMs > 0
        NumberAnimation { duration: stage.transitionMs }
    }
    Behavior on offsetX {
        enabled: stage.transitionMs > 0
        NumberAnimation { duration: stage.transitionMs; easing.type: Easing.Linear }
    }
    Behavior on offsetY {
        enabled: stage.transitionMs > 0
        NumberAnimation { duration: stage.transitionMs; easing.type: Easing.Linear }
    }

    signal primitiveReady(string primitiveId)
    signal applicationPrepared(string primitiveId)
    signal primitiveFailed(string primitiveId, string code)
    signal applicationAdvanceRequested(string primitiveId)
    signal applicationLogRequested(string primitiveId, string level, string code, string message)
    signal applicationEventRequested(string primitiveId, string code, string requestId)
    signal applicationKvRequested(string primitiveId, string requestId, var request)
    signal videoStarted(string primitiveId)
    signal videoEndOfStream(string primitiveId)
    signal adProgressSample(string primitiveId, double positionMs, double durationMs)

    function placementOf(primitiveId) {
        for (let i = 0; i < rows.count; ++i) {
            const placement = rows.itemAt(i)
            if (placement && placement.primitiveId === primitiveId)
                return placement
        }
        return null
    }

    function restartVideo(primitiveId) {
        const placement = placementOf(primitiveId)
        if (placement)
            placement.restart()
    }

    // The controller asks again for rows it has not heard from; reports are idempotent for it,
    // so every listed row that is already ready answers once more.
    function reportReady(primitiveIds) {
        for (const primitiveId of primitiveIds) {
            const placement = placementOf(primitiveId)
            if (placement && placement.ready)
                stage.primitiveReady(primitiveId)
        }
    }

    Rectangle {
        id: canvas
        readonly property rect area: stage.stageModel ? stage.stageModel.canvasRect : Qt.rect(0, 0, 0, 0)
        readonly property rect clipArea: stage.stageModel ? stage.stageModel.canvasClipRect
                                                           : Qt.rect(0, 0, 0, 0)
        readonly property var stops: stage.stageModel ? stage.stageModel.backgroundStops : []
        x: clipArea.x
        y: clipArea.y
        width: clipArea.width
        height: clipArea.height
        visible: stage.stageModel !== null && !stage.stageModel.empty
        color: stage.stageModel ? stage.stageModel.backgroundColor : "transparent"
        gradient: stage.stageModel && stage.stageModel.backgroundKind === 1 && stops.length > 1
                  ? canvasGradient : null

        Gradient { id: canvasGradient }
        Component { id: gradientStop; GradientStop {} }
        onStopsChanged: {
            canvasGradient.stops = stops.map(stop => gradientStop.createObject(
                canvasGradient, { position: stop.at, color: stop.color }))
        }
    }

    Repeater {
        id: rows
        model: stage.stageModel

        delegate: Item {
            id: placement

            required property string primitiveId
            required property string primitive
            required property url contentSource
            required property string expectedOrigin
            required property string packageSha256
            required property var applicationContext
            required property int paintOrder
            required property rect viewportRect
            required property rect clipRect
            required property rect contentRect
            required property string contentFit
            required property bool muted
            required property var streamSources
            required property string title
            required property var enter
            required property var motion

            property bool ready: false

            function markReady() {
                if (ready)
                    return
                ready = true
                stage.primitiveReady(primitiveId)
            }
            function fail(code) {
                ready = false
                stage.primitiveFailed(primitiveId, code)
            }
            function restart() {
                if (content.item && content.item.restart)
                    content.item.restart()
            }

            z: paintOrder
            x: clipRect.x
            y: clipRect.y
            width: clipRect.width
            height: clipRect.height
            clip: true
            Accessible.name: title

            // The content rectangle relative to the clip: the fit of the declared size.
            Item {
                id: contentArea
                x: placement.contentRect.x - placement.clipRect.x
                y: placement.contentRect.y - placement.clipRect.y
                width: placement.contentRect.width
                height: placement.contentRect.height
                opacity: effects.opacityNow
                scale: effects.scaleNow
                rotation: effects.motionAngle
                transform: Translate { x: effects.offsetX; y: effects.offsetY }

                Loader {
                    id: content
                    anchors.fill: parent
                    sourceComponent: {
                        switch (placement.primitive) {
                        case "image": return imageContent
                        case "video": return videoContent
                        case "stream": return streamContent
                        case "application":
                        case "iframe": return webContent
                        default: return null
                        }
                    }
                }

                ObjectEffects {
                    id: effects
                    enter: placement.enter
                    motion: placement.motion
                    running: stage.active
                    enterArmed: stage.active && stage.objectEnterArmed
                    holding: stage.active && !stage.objectEnterArmed
                    enterSerial: stage.objectEnterSerial
                }
            }

            // Pictures, still or animated, drawn upright by their own fit; an animation plays
            // while the stage is on glass.
            Component {
                id: imageContent
                PictureItem {
                    source: placement.contentSource
                    fit: placement.contentFit
                    playing: stage.active
                    onReady: placement.markReady()
                    onFailed: placement.fail("image_decode_failed")
                }
            }

            Component {
                id: videoContent
                GstVideoPlacement {
                    source: placement.contentSource
                    muted: placement.muted
                    active: stage.active
                    progressWanted: stage.progressWanted
                    onPlacementReady: placement.markReady()
                    onPlacementFailed: code => placement.fail(code)
                    onVideoStarted: stage.videoStarted(placement.primitiveId)
                    onVideoEndOfStream: stage.videoEndOfStream(placement.primitiveId)
                    onProgressSample: (positionMs, durationMs) =>
                        stage.adProgressSample(placement.primitiveId, positionMs, durationMs)
                }
            }

            // A stream is ready with its fallback image; the live picture covers it while the
            // stage is on glass, and a failing stream simply leaves the fallback showing.
            Component {
                id: streamContent
                Item {
                    PictureItem {
                        anchors.fill: parent
                        source: placement.contentSource
                        fit: placement.contentFit
                        playing: stage.active
                        onReady: placement.markReady()
                        onFailed: placement.fail("image_decode_failed")
                    }
                    Loader {
                        anchors.fill: parent
                        active: stage.active && placement.streamSources.length > 0
                        sourceComponent: GstVideoPlacement {
                            streamSources: placement.streamSources
                            muted: placement.muted
                            active: true
                            visible: engineState === "playing"
                        }
                    }
                }
            }

            // A web row is shown once its binding is complete: the placement is made then, with
            // every input at construction, and loaded once. The main scene adds the slot.
            // Where the web engine may not start, no placement is made (the engine would end
            // the process): the complete row fails as a wrapper that cannot load, from the
            // event loop, not from inside the stage's own change.
            Component {
                id: webContent
                Loader {
                    id: webLoader
                    readonly property bool bound: placement.contentSource.toString() !== ""
                        && placement.expectedOrigin !== ""
                        && (placement.primitive !== "application"
                            || placement.packageSha256.length === 64)
                    readonly property bool engineRefused: stage.packageCoordinator !== null
                        && stage.packageCoordinator.engineRefused
                    active: bound && !engineRefused
                    onLoaded: item.beginLoad()
                    Timer {
                        interval: 0
                        running: webLoader.bound && webLoader.engineRefused
                        onTriggered: {
                            stage.packageCoordinator.recordFailure("wrapper_load", 0)
                            placement.fail("web_wrapper_load_failed")
                        }
                    }
                    sourceComponent: WebPlacement {
                        readonly property string primitiveId: placement.primitiveId
                        uploadedApplication: placement.primitive === "application"
                        startupHeld: stage.startupHeld
                        playbackActive: stage.active
                        expectedOrigin: placement.expectedOrigin
                        childUrl: placement.contentSource
                        packageCacheRoot: stage.packageCacheRoot
                        selectedPackageSha256: placement.packageSha256
                        applicationContext: placement.applicationContext
                        hostFeatures: stage.stageModel ? stage.stageModel.sdkHostFeatures : []
                        playerViewport: stage.stageModel ? stage.stageModel.viewport
                                                         : Qt.size(0, 0)
                        packageCoordinator: stage.packageCoordinator
                        onApplicationPrepared: stage.applicationPrepared(primitiveId)
                        onPlacementReady: placement.markReady()
                        onPlacementFailed: code => placement.fail(code)
                        onPageAdvanceRequested: stage.applicationAdvanceRequested(primitiveId)
                        onApplicationLogRequested: (level, code, message) =>
                            stage.applicationLogRequested(primitiveId, level, code, message)
                        onApplicationEventRequested: (code, requestId) =>
                            stage.applicationEventRequested(primitiveId, code, requestId)
                        onApplicationKvRequested: (requestId, request) =>
                            stage.applicationKvRequested(primitiveId, requestId, request)
                    }
                }
            }
        }
    }
}
