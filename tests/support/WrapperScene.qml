import QtQuick
import QtQuick.Window
import QtWebEngine

// One web view in its own off-the-record profile, as the web placement holds it: the wrapper page
// is its top document, and everything else goes through runJavaScript and the title.
Window {
    id: scene

    readonly property alias profile: profile
    readonly property alias view: view

    signal titleSeen(string title)
    signal evaluated(int serial, string result)
    signal consoleMessage(int level, string message, string sourceId)

    function evaluate(serial, script) {
        view.runJavaScript(script, result => scene.evaluated(serial, typeof result === "string" ? result : ""))
    }

    width: 800
    height: 600
    visible: true
    color: "black"

    WebEngineProfile {
        id: profile
        offTheRecord: true
    }

    WebEngineView {
        id: view
        anchors.fill: parent
        profile: profile
        backgroundColor: "transparent"
        settings.javascriptCanOpenWindows: false
        settings.localContentCanAccessFileUrls: false
        settings.localContentCanAccessRemoteUrls: true
        onTitleChanged: scene.titleSeen(title)
        onJavaScriptConsoleMessage: (level, message, lineNumber, sourceId) => scene.consoleMessage(level, message, sourceId)
    }
}
