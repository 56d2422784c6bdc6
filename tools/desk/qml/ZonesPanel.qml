import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The station's zone set: where it came from, how many, when; import from a file, sync from the
// cloud, send to the active vehicle; and what a refused shrink would have removed.
Item {
    id: panel
    signal report(var r)
    property var status: desk.zoneStatus()
    Timer { interval: 1000; running: true; repeat: true; onTriggered: panel.status = desk.zoneStatus() }
    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        spacing: 6
        Label { text: qsTr("No-fly zones"); font.bold: true }
        GridLayout {
            columns: 2
            Label { text: qsTr("Source"); color: "#8b949e" }
            Label { objectName: "zoneSource"; text: panel.status.source || "-" }
            Label { text: qsTr("Zones"); color: "#8b949e" }
            Label { objectName: "zoneCount"; text: panel.status.count !== undefined ? panel.status.count : "-" }
            Label { text: qsTr("File time"); color: "#8b949e" }
            Label { text: panel.status.time || "-" }
            Label { text: qsTr("Last sent"); color: "#8b949e" }
            Label { text: panel.status.lastTransfer || qsTr("not sent from this window's station yet") }
        }
        Label {
            visible: !!panel.status.shrink
            Layout.fillWidth: true
            text: qsTr("Shrink: %1").arg(panel.status.shrink)
            color: "#f9a825"
            wrapMode: Text.WordWrap
        }
        Label {
            visible: !!panel.status.lastError
            Layout.fillWidth: true
            text: panel.status.lastError || ""
            color: "#ff7b72"
            wrapMode: Text.WordWrap
        }
        RowLayout {
            Layout.fillWidth: true
            TextField { id: path; objectName: "zoneFile"; Layout.fillWidth: true; placeholderText: qsTr("/full/path/zones.json") }
            CheckBox { id: shrink; text: qsTr("allow shrink") }
        }
        RowLayout {
            Button { text: qsTr("Import"); onClicked: panel.report(desk.importZones(path.text, shrink.checked)) }
            Button { text: qsTr("Sync from cloud"); onClicked: panel.report(desk.syncZones(shrink.checked)) }
            Button {
                text: qsTr("Send to vehicle %1").arg(desk.activeVehicleId)
                enabled: desk.activeVehicleId > 0
                onClicked: panel.report(desk.uploadZones(desk.activeVehicleId))
            }
        }
        ListView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: zoneModel
            delegate: Label {
                text: qsTr("zone %1: %2%3").arg(model.zoneId).arg(model.shape === "circle" ? qsTr("circle r %1 m").arg(model.radius.toFixed(0)) : qsTr("polygon of %n corner(s)", "", model.points.length)).arg(model.inForce ? qsTr(", in force") : "")
                color: model.inForce ? "#ff7b72" : "#c9d1d9"
            }
        }
    }
}
