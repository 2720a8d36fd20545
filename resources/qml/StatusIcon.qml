import QtQuick
import QtQuick.Shapes

// One overlay icon: the path data of a 24 x 24 outline, stroked in one colour at any size.
Item {
    id: icon

    property var paths: []
    property color strokeColor

    Repeater {
        model: icon.paths

        Shape {
            required property string modelData
            width: 24
            height: 24
            scale: Math.min(icon.width, icon.height) / 24
            transformOrigin: Item.TopLeft
            antialiasing: true

            ShapePath {
                strokeColor: icon.strokeColor
                strokeWidth: 1.5
                fillColor: "transparent"
                capStyle: ShapePath.RoundCap
                joinStyle: ShapePath.RoundJoin
                PathSvg { path: modelData }
            }
        }
    }
}
