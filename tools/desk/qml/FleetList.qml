import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The fleet, one line a vehicle, bound to VehicleClusterListModel (empty slots are not shown).
// A click makes the vehicle the station's active one.
Rectangle {
    id: fleet
    color: "#1b2228"
    signal report(var r)
    readonly property var columns: [
        { title: qsTr("Vehicle"), w: 58 }, { title: qsTr("Link"), w: 48 }, { title: qsTr("Mode"), w: 104 },
        { title: qsTr("State"), w: 66 }, { title: qsTr("Battery"), w: 54 }, { title: qsTr("Alt m"), w: 48 },
        { title: qsTr("Spd m/s"), w: 52 }, { title: qsTr("Alerts"), w: 40 }
    ]
    function linkWords(s) {
        return s === "alive" ? qsTr("alive") : s === "lost" ? qsTr("lost") : s === "joining" ? qsTr("joining") : ""
    }
    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        Row {
            Layout.leftMargin: 6
            Layout.topMargin: 4
            Repeater {
                model: fleet.columns
                Label { width: modelData.w; text: modelData.title; color: "#8b949e"; font.pixelSize: 11 }
            }
        }
        ListView {
            id: list
            objectName: "fleetList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: fleetModel
            ScrollBar.vertical: ScrollBar { }
            delegate: Rectangle {
                objectName: "fleetRow_" + model.vehicleId
                width: list.width
                height: model.bound ? 24 : 0
                visible: model.bound
                color: model.vehicleId === desk.activeVehicleId ? "#23405e" : (index % 2 ? "#1b2228" : "#1f272e")
                property color linkColour: model.linkState === "alive" ? "#7ee787" : "#9e9e9e"
                Row {
                    x: 6
                    anchors.verticalCenter: parent.verticalCenter
                    Label { width: 58; text: model.vehicleCode !== "" ? model.vehicleCode : "#" + model.vehicleId; font.bold: true; elide: Text.ElideRight }
                    Label { width: 48; text: fleet.linkWords(model.linkState); color: parent.parent.linkColour }
                    Label { width: 104; text: model.statusKnown ? model.flightModeText : "-"; elide: Text.ElideRight }
                    Label { width: 66; text: model.statusKnown ? model.flightStateText : "-"; elide: Text.ElideRight }
                    Label { width: 54; text: model.statusKnown ? model.batteryText : "-"; elide: Text.ElideRight }
                    Label { width: 48; text: model.positionKnown ? model.alt.toFixed(1) : "-" }
                    Label { width: 52; text: model.positionKnown ? model.groundSpeed.toFixed(1) : "-" }
                    Label {
                        width: 40
                        text: model.alertCount
                        color: model.worstAlertLevel >= 2 ? "#ff7b72" : model.worstAlertLevel === 1 ? "#f9a825" : "#8b949e"
                        font.bold: model.alertCount > 0
                    }
                }
                AbstractButton {
                    objectName: "selectVehicle_" + model.vehicleId
                    anchors.fill: parent
                    onClicked: fleet.report(desk.selectVehicle(model.vehicleId))
                }
            }
        }
    }
}
