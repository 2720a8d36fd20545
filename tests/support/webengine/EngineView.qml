import QtQuick
import QtWebEngine

// One web view on the profile the test hands in, reporting each finished load and each
// script result by a serial the test waits on.
Item {
    id: root
    width: 800
    height: 600

    required property var engineProfile
    property alias view: view
    property int loadSerial: 0
    property int lastLoadStatus: -1
    property int resultSerial: 0
    property var lastResult

    function evaluate(script) {
        view.runJavaScript(script, function (result) {
            root.lastResult = result;
            root.resultSerial += 1;
        });
    }

    WebEngineView {
        id: view
        anchors.fill: parent
        profile: root.engineProfile
        onLoadingChanged: function (info) {
            if (info.status === WebEngineView.LoadStartedStatus)
                return;
            root.lastLoadStatus = info.status;
            root.loadSerial += 1;
        }
    }
}
