import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Parameter groups of the active vehicle: read, edit, write; the vehicle's answer shows in the
// status line when it comes.
Item {
    id: panel
    signal report(var r)
    property string group: desk.paramGroups.length > 0 ? desk.paramGroups[0] : ""
    property var values: ({ ok: false, fields: [] })
    property var edits: ({})
    function reload() { values = desk.paramValues(desk.activeVehicleId, group); edits = {} }
    Connections {
        target: desk
        function onCommandFinished(vehicleId, action, ok, text) { panel.reload() }
        function onActiveVehicleChanged() { panel.reload() }
    }
    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        spacing: 6
        RowLayout {
            Label { text: qsTr("Group"); font.bold: true }
            ComboBox {
                model: desk.paramGroups
                onActivated: (i) => { panel.group = desk.paramGroups[i]; panel.reload() }
            }
            Button { text: qsTr("Read"); enabled: desk.activeVehicleId > 0; onClicked: panel.report(desk.readParams(desk.activeVehicleId, panel.group)) }
            Button {
                text: qsTr("Write")
                enabled: desk.activeVehicleId > 0 && panel.values.readSinceAlive === true
                onClicked: panel.report(desk.writeParams(desk.activeVehicleId, panel.group, panel.edits))
            }
        }
        Label {
            text: !panel.values.ok ? (panel.values.message || "") : panel.values.readSinceAlive ? qsTr("As read from vehicle %1").arg(desk.activeVehicleId) : qsTr("Not read from this vehicle yet: read before writing")
            color: panel.values.readSinceAlive ? "#8b949e" : "#f9a825"
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
        }
        ListView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: panel.values.ok ? panel.values.fields : []
            ScrollBar.vertical: ScrollBar { }
            delegate: RowLayout {
                width: ListView.view.width
                Label { text: modelData.name; Layout.preferredWidth: 150; elide: Text.ElideRight }
                TextField {
                    Layout.preferredWidth: 90
                    text: String(modelData.value)
                    enabled: panel.values.readSinceAlive === true
                    onEditingFinished: { var e = panel.edits; e[modelData.name] = Number(text); panel.edits = e }
                }
                Label { text: modelData.unit + "  [" + modelData.min + " .. " + modelData.max + "]"; color: "#8b949e"; Layout.fillWidth: true; elide: Text.ElideRight }
            }
        }
    }
}
