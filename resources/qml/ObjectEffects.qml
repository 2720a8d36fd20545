import QtQuick

// Plays the enter effect and the motion that the stage model describes for one placement; the
// placement applies the resulting pose. The descriptions already carry every time and distance
// (and reduced motion has already emptied them), so this only animates.
Item {
    id: effects

    visible: false
    property var enter: ({})
    property var motion: ({})
    property bool running: false
    // The controller arms the enter effects of the page on glass; each arming has a new serial.
    property bool enterArmed: false
    property int enterSerial: 0
    // The page is on glass but its enter effects are not armed yet (its transition runs): the
    // object waits in its starting pose.
    property bool holding: false

    readonly property string motionType: motion && motion.type ? motion.type : ""
    readonly property bool hasEnter: enter && enter.type !== undefined && enter.type !== ""

    // The pose the effects add to the target's resting place.
    property real enterOpacity: 1
    property real enterX: 0
    property real enterY: 0
    property real enterScale: 1
    property real motionX: 0
    property real motionY: 0
    property real motionScale: 1
    property real motionAngle: 0
    property real pathTime: 0

    readonly property real opacityNow: enterOpacity
    readonly property real offsetX: enterX + motionX
    readonly property real offsetY: enterY + motionY
    readonly property real scaleNow: enterScale * motionScale

    function pathOffset(time) {
        const points = motion.points || []
        let elapsed = 0
        for (let i = 1; i < points.length; ++i) {
            const leg = points[i].durationMs
            if (time <= elapsed + leg && leg > 0) {
                const f = (time - elapsed) / leg
                return Qt.point(points[i - 1].x + (points[i].x - points[i - 1].x) * f,
                                points[i - 1].y + (points[i].y - points[i - 1].y) * f)
            }
            elapsed += leg
        }
        return points.length > 0 ? Qt.point(points[points.length - 1].x, points[points.length - 1].y)
                                  : Qt.point(0, 0)
    }

    onPathTimeChanged: {
        const offset = pathOffset(pathTime)
        motionX = offset.x
        motionY = offset.y
    }

    onEnterSerialChanged: playEnter()
    onEnterArmedChanged: playEnter()
    onHoldingChanged: playEnter()
    onEnterChanged: playEnter()

    function playEnter() {
        enterAnimation.stop()
        if (!hasEnter || !(enterArmed || holding)) {
            enterOpacity = 1; enterX = 0; enterY = 0; enterScale = 1
            return
        }
        enterOpacity = enter.fromOpacity
        enterX = enter.fromX
        enterY = enter.fromY
        enterScale = enter.fromScale
        if (enterArmed)
            enterAnimation.start()
    }

    SequentialAnimation {
        id: enterAnimation
        PauseAnimation { duration: effects.hasEnter ? effects.enter.delayMs : 0 }
        ParallelAnimation {
            NumberAnimation {
                target: effects; property: "enterOpacity"; to: 1
                duration: effects.hasEnter ? effects.enter.durationMs : 0
                easing.type: Easing.OutCubic
            }
            NumberAnimation {
                target: effects; property: "enterX"; to: 0
                duration: effects.hasEnter ? effects.enter.durationMs : 0
                easing.type: Easing.OutCubic
            }
            NumberAnimation {
                target: effects; property: "enterY"; to: 0
                duration: effects.hasEnter ? effects.enter.durationMs : 0
                easing.type: Easing.OutCubic
            }
            NumberAnimation {
                target: effects; property: "enterScale"; to: 1
                duration: effects.hasEnter ? effects.enter.durationMs : 0
                easing.type: Easing.OutCubic
            }
        }
    }

    NumberAnimation {
        target: effects
        property: "motionAngle"
        from: 0
        to: effects.motionType === "spin" ? effects.motion.toDegrees : 0
        duration: effects.motionType === "spin" ? effects.motion.periodMs : 0
        loops: Animation.Infinite
        running: effects.running && effects.motionType === "spin"
    }

    SequentialAnimation {
        loops: Animation.Infinite
        running: effects.running && effects.motionType === "drift"
        ParallelAnimation {
            NumberAnimation {
                target: effects; property: "motionScale"
                from: effects.motion.fromScale || 1; to: effects.motion.toScale || 1
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
            NumberAnimation {
                target: effects; property: "motionX"; from: 0; to: effects.motion.toX || 0
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
            NumberAnimation {
                target: effects; property: "motionY"; from: 0; to: effects.motion.toY || 0
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
        }
        ParallelAnimation {
            NumberAnimation {
                target: effects; property: "motionScale"
                to: effects.motion.fromScale || 1
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
            NumberAnimation {
                target: effects; property: "motionX"; to: 0
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
            NumberAnimation {
                target: effects; property: "motionY"; to: 0
                duration: effects.motion.legMs || 0; easing.type: Easing.InOutSine
            }
        }
    }

    SequentialAnimation {
        loops: effects.motion.mode === "once" ? 1 : Animation.Infinite
        running: effects.running && effects.motionType === "path"
        NumberAnimation {
            target: effects; property: "pathTime"; from: 0; to: effects.motion.cycleMs || 0
            duration: effects.motion.cycleMs || 0
        }
        // Back along the path for ping-pong; a loop starts again from its first point and a
        // single run stays at its last.
        NumberAnimation {
            target: effects; property: "pathTime"
            to: effects.motion.mode === "ping-pong" ? 0 : (effects.motion.cycleMs || 0)
            duration: effects.motion.mode === "ping-pong" ? (effects.motion.cycleMs || 0) : 0
        }
    }
}
