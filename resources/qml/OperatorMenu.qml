import QtQuick

// The operator's settings panel: the PIN lock, the menu with its level bars and the rename
// field, and the reset confirmation. It only draws what the panel object says and hands every
// press, drag and typed name back to it; the panel decides everything.
// Every Text names its alignment: left implicit, an empty text asks the input method for its
// direction, which crashes Qt 6.4's Wayland client on a seat without a keyboard.
Rectangle {
    id: menu

    property var controller
    property var panel
    readonly property var c: controller
    readonly property var p: panel
    readonly property int padding: Math.max(1, c.majorGapPx)

    width: c.settingsBoxPx
    height: content.implicitHeight + 2 * padding
    radius: c.toastPaddingPx
    color: c.groundColor
    border.color: c.inkMutedColor
    border.width: 1

    // A press anywhere on the panel keeps it open and never reaches the backdrop below.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onPressed: menu.p.noteActivity()
    }

    Column {
        id: content
        x: menu.padding
        y: menu.padding
        width: menu.width - 2 * menu.padding
        spacing: menu.c.listGapPx

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            visible: text !== ""
            text: menu.p.heading
            color: menu.c.inkBrightColor
            font.family: talvorineFonts.displayFamily
            font.pixelSize: Math.max(1, menu.c.headlineTextSizePx)
            wrapMode: Text.WordWrap
        }

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            visible: text !== ""
            text: menu.p.detail
            color: menu.c.inkColor
            // The PIN's digits and bullets line up in the fixed-width face.
            font.family: menu.p.stage === "locked" ? talvorineFonts.monoFamily
                                                   : talvorineFonts.bodyFamily
            font.pixelSize: Math.max(1, menu.p.stage === "locked" ? menu.c.headlineTextSizePx
                                                                  : menu.c.bodyTextSizePx)
            font.letterSpacing: menu.p.stage === "locked" ? font.pixelSize / 4 : 0
            wrapMode: Text.WordWrap
        }

        Repeater {
            model: menu.p.rows.length

            Rectangle {
                id: row
                required property int index
                objectName: "operatorRow"
                readonly property var entry: menu.p.rows[index] || ({})
                readonly property bool selected: menu.p.selectedIndex === index
                readonly property bool hasLevel: entry.level !== undefined && entry.level >= 0
                readonly property bool renaming: entry.key === "name" && menu.p.editingName

                width: content.width
                height: rowColumn.implicitHeight + menu.c.listGapPx
                radius: menu.c.listGapPx / 2
                color: selected ? menu.c.bannerPlateColor : "transparent"
                border.color: selected ? menu.c.inkMutedColor : "transparent"
                border.width: 1

                MouseArea {
                    id: rowPointer
                    anchors.fill: parent
                    hoverEnabled: true
                    acceptedButtons: Qt.LeftButton | Qt.RightButton
                    onEntered: menu.p.selectRow(row.index)
                    onPressed: mouse => {
                        menu.p.noteActivity()
                        if (row.hasLevel)
                            menu.p.setLevelFromPointer(row.entry.key, mouse.x / width)
                    }
                    onPositionChanged: mouse => {
                        if (pressed && row.hasLevel)
                            menu.p.setLevelFromPointer(row.entry.key, mouse.x / width)
                    }
                    onClicked: {
                        if (!row.hasLevel)
                            menu.p.activateRow(row.index)
                    }
                }

                Column {
                    id: rowColumn
                    x: menu.c.listGapPx
                    y: menu.c.listGapPx / 2
                    width: row.width - 2 * menu.c.listGapPx
                    spacing: menu.c.listGapPx / 2

                    Item {
                        width: parent.width
                        height: Math.max(label.implicitHeight, value.implicitHeight)
                        visible: !row.renaming

                        Text {
                            id: label
                            horizontalAlignment: Text.AlignLeft
                            width: parent.width - value.implicitWidth - menu.c.listGapPx
                            text: row.entry.label || ""
                            color: row.entry.muted ? menu.c.inkMutedColor
                                                  : (row.selected ? menu.c.bannerTextOnPlateColor
                                                                  : menu.c.inkColor)
                            font.family: talvorineFonts.bodyFamily
                            font.pixelSize: Math.max(1, menu.c.bodyTextSizePx)
                            elide: Text.ElideRight
                        }
                        Text {
                            id: value
                            anchors.right: parent.right
                            horizontalAlignment: Text.AlignRight
                            text: row.entry.value || ""
                            color: menu.c.inkBrightColor
                            font.family: talvorineFonts.bodyFamily
                            font.pixelSize: Math.max(1, menu.c.bodyTextSizePx)
                        }
                    }

                    TextInput {
                        id: nameField
                        width: parent.width
                        visible: row.renaming
                        horizontalAlignment: TextInput.AlignLeft
                        maximumLength: 120
                        color: menu.c.inkBrightColor
                        selectionColor: menu.c.inkMutedColor
                        font.family: talvorineFonts.bodyFamily
                        font.pixelSize: Math.max(1, menu.c.bodyTextSizePx)
                        clip: true

                        function begin() {
                            text = menu.p.nameSeed
                            cursorPosition = text.length
                            forceActiveFocus()
                        }
                        Component.onCompleted: {
                            if (row.renaming)
                                begin()
                        }
                        Connections {
                            target: row
                            function onRenamingChanged() {
                                if (row.renaming)
                                    nameField.begin()
                            }
                        }
                        onTextEdited: menu.p.noteActivity()
                        onAccepted: menu.p.commitName(text)
                        onActiveFocusChanged: {
                            if (!activeFocus && menu.p.editingName)
                                menu.p.commitName(text)
                        }
                    }

                    Text {
                        horizontalAlignment: Text.AlignLeft
                        width: parent.width
                        visible: text !== ""
                        text: row.entry.detail || ""
                        color: menu.c.inkMutedColor
                        font.family: talvorineFonts.bodyFamily
                        font.pixelSize: Math.max(1, menu.c.captionTextSizePx)
                        wrapMode: Text.WordWrap
                    }

                    // The level bar, while the operator changes this row's level.
                    Rectangle {
                        width: parent.width
                        height: Math.max(2, menu.c.listGapPx / 2)
                        visible: row.hasLevel && menu.p.adjusting === row.entry.key
                        radius: height / 2
                        color: menu.c.inkMutedColor
                        Rectangle {
                            width: parent.width * Math.min(100, Math.max(0, row.entry.level)) / 100
                            height: parent.height
                            radius: parent.radius
                            color: menu.c.inkBrightColor
                        }
                    }
                }
            }
        }

        Text {
            horizontalAlignment: Text.AlignLeft
            width: parent.width
            visible: text !== ""
            text: menu.p.status
            color: menu.c.inkBrightColor
            font.family: talvorineFonts.bodyFamily
            font.pixelSize: Math.max(1, menu.c.captionTextSizePx)
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
}
