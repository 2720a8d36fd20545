import QtQuick

// The start-up splash: the brand mark on the ground colour, with the start-up animation over it
// while it plays. The controller learns when the animation is over (at once without one, and
// when it fails) and decides when the splash cross-fades away.
Rectangle {
    id: splash

    property var controller
    property url animationUrl
    property bool animationFinished: false

    function finishAnimation() {
        if (animationFinished)
            return
        animationFinished = true
        controller.finishStartupAnimation()
    }

    color: controller.groundColor
    visible: controller.splashVisible
    opacity: controller.splashOpacity
    Behavior on opacity { NumberAnimation { duration: splash.controller.splashCrossfadeMs } }

    Text {
        anchors.centerIn: parent
        width: splash.controller.splashMarkWidthPx
        height: splash.controller.splashMarkHeightPx
        text: "Talvorine"
        color: splash.controller.inkBrightColor
        font.family: talvorineFonts.displayFamily
        font.pixelSize: Math.max(1, height)
        fontSizeMode: Text.Fit
        minimumPixelSize: 1
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        visible: splash.animationFinished
    }

    Loader {
        anchors.fill: parent
        active: !splash.animationFinished && splash.animationUrl.toString() !== ""
        sourceComponent: GstVideoPlacement {
            source: splash.animationUrl
            active: true
            muted: true
            onVideoEndOfStream: splash.finishAnimation()
            onPlacementFailed: splash.finishAnimation()
        }
    }

    Component.onCompleted: {
        if (animationUrl.toString() === "")
            finishAnimation()
    }
}
