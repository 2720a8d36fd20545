import QtQuick
import Talvorine.Native 1.0

// One video primitive of a stage: a GstVideoEngine and what it draws into. The engine decides
// whether frames come through the GPU sink's item or through our own frame item; the stage only
// sees the placement's signals.
Item {
    id: placement

    property url source
    property var streamSources: []
    property bool muted: false
    property bool active: false
    // The stage wants position reports (an ad is on glass in this stage's slot).
    property bool progressWanted: false

    readonly property string engineState: engine.state
    readonly property string errorCode: engine.errorCode
    readonly property alias engine: engine
    property Item gpuVideoItem: null

    signal placementReady()
    signal placementFailed(string code)
    signal videoStarted()
    signal videoEndOfStream()
    signal progressSample(double positionMs, double durationMs)

    function restart() { engine.restart() }
    function stop() { engine.stop() }

    clip: true

    VideoFrameItem {
        id: frames
        anchors.fill: parent
    }

    GstVideoEngine {
        id: engine
        frameItem: frames
        videoItem: placement.gpuVideoItem
        source: placement.source
        streamSources: placement.streamSources
        muted: placement.muted
        active: placement.active
        onPrerolled: placement.placementReady()
        onStarted: placement.videoStarted()
        onEndOfStream: placement.videoEndOfStream()
        onFailed: code => placement.placementFailed(code)
    }

    Timer {
        interval: 1000
        repeat: true
        running: placement.progressWanted && engine.state === "playing"
        onTriggered: {
            engine.refreshPosition()
            placement.progressSample(engine.positionMs < 0 ? -1 : engine.positionMs,
                                     engine.durationMs)
        }
    }

    // The GPU sink's item exists only where the sink may still be used; its QML module is
    // registered by the shell before the scene loads, and its absence is not an error here.
    Component.onCompleted: {
        if (!engine.gpuSinkUsable())
            return
        try {
            gpuVideoItem = Qt.createQmlObject(
                "import org.freedesktop.gstreamer.Qt6GLVideoItem 1.0; "
                + "GstGLQt6VideoItem { anchors.fill: parent }", placement, "GstVideoPlacement")
        } catch (error) {
            gpuVideoItem = null
        }
    }
}
