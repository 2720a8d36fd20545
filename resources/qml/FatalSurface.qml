import QtQuick

// What the player shows when it cannot run: its reason on the ground colour, over everything.
Rectangle {
    id: surface

    property var controller

    color: controller.groundColor

    // Nothing below may be reached while the surface is up.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
    }

    Text {
        anchors.centerIn: parent
        width: surface.controller.setupCopyWidthPx
        text: surface.controller.fatalReason
        color: surface.controller.inkBrightColor
        font.family: talvorineFonts.bodyFamily
        font.pixelSize: Math.max(1, surface.controller.headlineTextSizePx)
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        Accessible.role: Accessible.AlertMessage
        Accessible.name: text
    }
}
