import QtQuick

// The setup slide while the screen waits to be paired: the grouped pairing code (spoken whole
// for screen readers), the time the code changes, and a short celebration once paired.
// Every Text names its alignment: left implicit, an empty text asks the input method for its
// direction, which crashes Qt 6.4's Wayland client on a seat without a keyboard.
Rectangle {
    id: setup

    property var controller
    readonly property var c: controller

    gradient: Gradient {
        GradientStop { position: 0; color: setup.c.slideBackgroundTopColor }
        GradientStop { position: 1; color: setup.c.slideBackgroundBottomColor }
    }

    opacity: visible ? 1 : 0
    Behavior on opacity { NumberAnimation { duration: setup.c.setupEntranceMs } }

    // Once paired, the pinstripe runs across the slide for the celebration's length.
    Rectangle {
        id: pinstripe
        width: parent.width
        height: setup.c.slidePinstripeHeightPx
        color: setup.c.slidePinstripeColor
        NumberAnimation on width {
            running: setup.c.pairingCelebrating
            from: 0
            to: setup.width
            duration: setup.c.pairingCelebrationMs
        }
    }

    Column {
        x: setup.c.setupCopyInsetPx
        anchors.verticalCenter: parent.verticalCenter
        width: setup.c.slideCopyWidthPx
        spacing: setup.c.majorGapPx

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            text: setup.c.pairingCelebrating ? qsTr("Paired") : qsTr("Pair this screen")
            color: setup.c.slidePrimaryColor
            font.family: talvorineFonts.displayFamily
            font.pixelSize: Math.max(1, setup.c.slideTitleSizePx)
            wrapMode: Text.WordWrap
        }

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            visible: !setup.c.pairingCelebrating
            text: setup.c.pairingHandoff
                  ? qsTr("The code was claimed. Finishing the pairing…")
                  : qsTr("Enter this code in the management application.")
            color: setup.c.slideSecondaryColor
            font.family: talvorineFonts.bodyFamily
            font.pixelSize: Math.max(1, setup.c.slideBodySizePx)
            wrapMode: Text.WordWrap
        }

        Rectangle {
            visible: setup.c.pairingCode !== "" && !setup.c.pairingCelebrating
            width: code.implicitWidth + 2 * setup.c.setupLocatorPlatePaddingPx
            height: code.implicitHeight + 2 * setup.c.setupLocatorPlatePaddingPx
            color: setup.c.slidePrimaryColor

            Text {
                horizontalAlignment: Text.AlignLeft
                id: code
                anchors.centerIn: parent
                text: setup.c.pairingCodeDisplay
                color: setup.c.slideLocatorInkColor
                font.family: talvorineFonts.monoFamily
                font.pixelSize: Math.max(1, setup.c.slidePairingSizePx)
                font.letterSpacing: setup.c.slidePairingSizePx * setup.c.locatorLetterSpacing
                Accessible.role: Accessible.StaticText
                Accessible.name: setup.c.pairingCodeSpoken
            }
        }

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            visible: setup.c.pairingExpiryClock !== "" && !setup.c.pairingCelebrating
            text: qsTr("This code changes at %1.").arg(setup.c.pairingExpiryClock)
            color: setup.c.slideCaptionColor
            font.family: talvorineFonts.bodyFamily
            font.pixelSize: Math.max(1, setup.c.slideCaptionSizePx)
        }
    }

    Text {
        horizontalAlignment: Text.AlignLeft
        x: setup.c.slideWordmarkXPx
        y: setup.c.slideWordmarkYPx
        width: setup.c.slideWordmarkWidthPx
        height: setup.c.slideWordmarkHeightPx
        text: "Talvorine"
        color: setup.c.slideSecondaryColor
        font.family: talvorineFonts.displayFamily
        font.pixelSize: Math.max(1, height)
        fontSizeMode: Text.Fit
        minimumPixelSize: 1
        verticalAlignment: Text.AlignVCenter
    }
}
