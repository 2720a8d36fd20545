import QtQuick
import QtQuick.Window

// The window the placement tests make web placements in, as the stage makes them: every input
// given to createObject, so that it is set before the component completes, then beginLoad().
Window {
    id: host

    signal placementSignal(QtObject placement, string name, var args)
    signal evaluated(int serial, string result)

    width: 800
    height: 600
    visible: true
    color: "black"

    readonly property var signalNames: [
        "applicationPrepared", "placementReady", "pageAdvanceRequested",
        "applicationLogRequested", "applicationEventRequested", "applicationKvRequested",
        "placementFailed"
    ]

    // Without load, beginLoad() waits for load(): the test drives the view's reports itself.
    function make(inputs, load) {
        const component = Qt.createComponent("qrc:/qml/WebPlacement.qml")
        if (component.status !== Component.Ready)
            return component.errorString()
        const placement = component.createObject(host.contentItem, inputs)
        for (const name of signalNames)
            placement[name].connect((...args) => host.placementSignal(placement, name, args))
        if (load)
            host.load(placement)
        return placement
    }

    function load(placement) {
        placement.beginLoad()
        placement.view.profile.downloadRequested.connect(
            download => host.placementSignal(placement, "downloadRequested", [download.state]))
    }

    function evaluate(placement, serial, script) {
        placement.view.runJavaScript(script, result =>
            host.evaluated(serial, typeof result === "string" ? result : ""))
    }
}
