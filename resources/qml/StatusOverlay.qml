import QtQuick

// The status overlay over the content: the chip (with the offline time and the pause mark) and
// the notice bottom-left inside the safe area, one toast bottom-right, the sync glyph top-right
// and the identify card in the middle. Every size, colour and text comes from the controller.
// Every Text names its alignment: left implicit, an empty text asks the input method for its
// direction, which crashes Qt 6.4's Wayland client on a seat without a keyboard.
Item {
    id: overlay

    property var controller
    readonly property var c: controller
    readonly property int bottomY: height - c.safeAreaVerticalPx

    component Pill: Rectangle {
        radius: height / 2
        height: overlay.c.statusIconSizePx
    }

    Row {
        x: overlay.c.chipLeftPx
        y: overlay.bottomY - height
        spacing: overlay.c.listGapPx

        Pill {
            id: chip
            visible: overlay.c.chipVisible
            color: overlay.c.chipFill
            width: chipRow.implicitWidth + height / 2
            Accessible.role: Accessible.StaticText
            Accessible.name: overlay.c.chipAccessibleName

            Row {
                id: chipRow
                anchors.verticalCenter: parent.verticalCenter
                x: chip.height / 4
                spacing: overlay.c.listGapPx
                StatusIcon {
                    width: overlay.c.statusIconSizePx * 0.75
                    height: width
                    anchors.verticalCenter: parent.verticalCenter
                    paths: overlay.c.overlayMarkPaths
                    strokeColor: overlay.c.overlayMarkColor
                }
                Text {
                    horizontalAlignment: Text.AlignLeft
                    anchors.verticalCenter: parent.verticalCenter
                    text: overlay.c.chipDetail === "" ? overlay.c.chipLabel
                                                      : overlay.c.chipLabel + " " + overlay.c.chipDetail
                    color: overlay.c.overlayOnFillColor
                    font.family: talvorineFonts.bodyFamily
                    font.pixelSize: overlay.c.noticeTextSizePx
                }
            }
        }

        Text {
            horizontalAlignment: Text.AlignLeft
            anchors.verticalCenter: parent.verticalCenter
            visible: overlay.c.offlineSinceClock !== ""
            text: qsTr("Offline since %1").arg(overlay.c.offlineSinceClock)
            color: overlay.c.inkMutedColor
            font.family: talvorineFonts.bodyFamily
            font.pixelSize: overlay.c.noticeTextSizePx
        }

        // The operator's pause, while the chip is busy with something else.
        Text {
            horizontalAlignment: Text.AlignLeft
            anchors.verticalCenter: parent.verticalCenter
            visible: overlay.c.playbackPaused && overlay.c.overlayCondition !== "paused"
            text: qsTr("Paused")
            color: overlay.c.inkBrightColor
            font.family: talvorineFonts.bodyFamily
            font.pixelSize: overlay.c.noticeTextSizePx
        }
    }

    Pill {
        id: notice
        visible: overlay.c.noticeVisible
        x: overlay.c.noticeLeftPx
        y: overlay.bottomY - height - (chip.visible ? chip.height + overlay.c.listGapPx : 0)
        color: overlay.c.noticeFill
        width: noticeRow.implicitWidth + height / 2

        Row {
            id: noticeRow
            anchors.verticalCenter: parent.verticalCenter
            x: notice.height / 4
            spacing: overlay.c.listGapPx
            StatusIcon {
                width: overlay.c.statusIconSizePx * 0.75
                height: width
                anchors.verticalCenter: parent.verticalCenter
                paths: overlay.c.noticeIconPaths
                strokeColor: overlay.c.overlayOnFillColor
            }
            Text {
                horizontalAlignment: Text.AlignLeft
                anchors.verticalCenter: parent.verticalCenter
                text: overlay.c.noticeText
                color: overlay.c.overlayOnFillColor
                font.family: talvorineFonts.bodyFamily
                font.pixelSize: overlay.c.noticeTextSizePx
            }
        }
    }

    Rectangle {
        id: toast
        readonly property bool shown: overlay.c.toastVisible
        anchors.right: parent.right
        anchors.rightMargin: overlay.c.safeAreaHorizontalPx
        y: overlay.bottomY - height
        width: Math.min(overlay.c.toastMaxWidthPx, toastRow.implicitWidth + 2 * overlay.c.toastPaddingPx)
        height: toastRow.implicitHeight + 2 * overlay.c.toastPaddingPx
        radius: overlay.c.toastPaddingPx
        color: overlay.c.toastFill
        opacity: shown ? 1 : 0
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: overlay.c.toastTransitionMs } }
        Accessible.role: Accessible.AlertMessage
        Accessible.name: overlay.c.toastText

        Row {
            id: toastRow
            x: overlay.c.toastPaddingPx
            anchors.verticalCenter: parent.verticalCenter
            spacing: overlay.c.listGapPx
            StatusIcon {
                width: overlay.c.toastTextSizePx
                height: width
                anchors.verticalCenter: parent.verticalCenter
                paths: overlay.c.toastMarkPaths
                strokeColor: overlay.c.overlayOnFillColor
            }
            Text {
                horizontalAlignment: Text.AlignLeft
                width: Math.min(implicitWidth, toast.width - 2 * overlay.c.toastPaddingPx
                                - overlay.c.toastTextSizePx - overlay.c.listGapPx)
                text: overlay.c.toastText
                color: overlay.c.overlayOnFillColor
                font.family: talvorineFonts.bodyFamily
                font.pixelSize: Math.max(1, overlay.c.toastTextSizePx)
                elide: Text.ElideRight
            }
        }
    }

    // Syncing: a steady dot; a new playlist: a filled dot in the bright ink.
    Rectangle {
        visible: overlay.c.syncGlyph !== ""
        anchors.right: parent.right
        anchors.rightMargin: overlay.c.safeAreaHorizontalPx
        y: overlay.c.safeAreaVerticalPx
        width: overlay.c.syncGlyphSizePx
        height: width
        radius: width / 2
        color: overlay.c.syncGlyph === "new-playlist" ? overlay.c.inkBrightColor
                                                     : overlay.c.inkMutedColor
        Accessible.name: overlay.c.syncGlyph
    }

    Rectangle {
        visible: overlay.c.identifyVisible
        anchors.centerIn: parent
        width: identifyText.implicitWidth + 2 * overlay.c.identifyPaddingPx
        height: identifyText.implicitHeight + 2 * overlay.c.identifyPaddingPx
        radius: overlay.c.identifyPaddingPx / 2
        color: overlay.c.bannerPlateColor
        Text {
            horizontalAlignment: Text.AlignLeft
            id: identifyText
            anchors.centerIn: parent
            text: overlay.c.identifyLabel
            color: overlay.c.bannerTextOnPlateColor
            font.family: talvorineFonts.displayFamily
            font.pixelSize: Math.max(1, overlay.c.identifyTextSizePx)
        }
    }
}
