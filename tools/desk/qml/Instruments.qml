import QtQuick
import QtQuick.Controls

// Attitude (horizon with roll and pitch) and heading (compass card) of one vehicle.
Row {
    id: inst
    property real roll: 0
    property real pitch: 0
    property real heading: 0
    property bool known: false
    spacing: 12
    Item {
        width: 110; height: 110
        Rectangle {
            id: ball
            anchors.fill: parent
            radius: width / 2
            clip: true
            color: "#3e2723"
            Item {
                anchors.centerIn: parent
                width: parent.width * 2; height: parent.height * 2
                rotation: -inst.roll
                Rectangle {
                    width: parent.width
                    height: parent.height / 2 + inst.pitch * 2
                    color: "#1e5a8a"
                }
                Rectangle { y: parent.height / 2 + inst.pitch * 2 - 1; width: parent.width; height: 2; color: "#ffffff" }
            }
            opacity: inst.known ? 1 : 0.3
        }
        Rectangle { anchors.centerIn: parent; width: 44; height: 3; color: "#ffb300" }
        Label { anchors.bottom: parent.bottom; anchors.horizontalCenter: parent.horizontalCenter; text: inst.known ? qsTr("R %1  P %2").arg(inst.roll.toFixed(0)).arg(inst.pitch.toFixed(0)) : qsTr("no attitude"); font.pixelSize: 10 }
    }
    Item {
        width: 110; height: 110
        Rectangle { anchors.fill: parent; radius: width / 2; color: "#10151a"; border.color: "#3a4550" }
        Item {
            anchors.fill: parent
            rotation: -inst.heading
            Repeater {
                model: ["N", "E", "S", "W"]
                Label {
                    text: modelData
                    x: 55 - width / 2 + 42 * Math.sin(index * Math.PI / 2)
                    y: 55 - height / 2 - 42 * Math.cos(index * Math.PI / 2)
                    rotation: index * 90
                    color: index === 0 ? "#ef5350" : "#c9d1d9"
                    font.bold: true
                }
            }
        }
        Rectangle { x: 54; y: 22; width: 2; height: 34; color: "#ffb300" }
        Label { anchors.centerIn: parent; text: inst.known ? inst.heading.toFixed(0) + "°" : "-"; font.bold: true }
    }
}
