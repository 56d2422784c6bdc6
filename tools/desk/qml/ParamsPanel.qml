import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Parameter groups of the active vehicle: read, edit, write. The vehicle's answer shows in the
// status line when it comes, and beside each parameter written: the value it holds afterwards,
// marked where that is not what was asked.
Item {
    id: panel
    signal report(var r)
    property string group: desk.paramGroups.length > 0 ? desk.paramGroups[0] : ""
    property var values: ({ ok: false, fields: [] })
    property var edits: ({})
    property var asked: ({})        // name -> value of the last write, until its answer
    property var answers: ({})      // name -> words of the vehicle's answer to it
    property int writingTo: 0
    function reload() { values = desk.paramValues(desk.activeVehicleId, group); edits = {} }
    function write() {
        var r = desk.writeParams(desk.activeVehicleId, panel.group, panel.edits)
        if (r.ok) { asked = panel.edits; answers = {}; writingTo = desk.activeVehicleId }
        panel.report(r)
    }
    function settle(ok, text) {
        var held = {}
        for (var i = 0; values.ok && i < values.fields.length; ++i)
            held[values.fields[i].name] = values.fields[i].value
        var a = {}
        for (var name in asked) {
            if (!ok) a[name] = qsTr("not written: %1").arg(text)
            else if (held[name] === undefined) a[name] = qsTr("written; not read back")
            else if (Math.abs(held[name] - asked[name]) < 1e-9) a[name] = qsTr("✓ vehicle holds %1").arg(held[name])
            else a[name] = qsTr("vehicle holds %1, not %2").arg(held[name]).arg(asked[name])
        }
        answers = a
        asked = {}
        writingTo = 0
    }
    Connections {
        target: desk
        function onCommandFinished(vehicleId, action, ok, text) {
            panel.reload()
            if (panel.writingTo === vehicleId) panel.settle(ok, text)
        }
        function onActiveVehicleChanged() { panel.answers = {}; panel.reload() }
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
            Button { objectName: "paramsReadButton"; text: qsTr("Read"); enabled: desk.activeVehicleId > 0; onClicked: panel.report(desk.readParams(desk.activeVehicleId, panel.group)) }
            Button {
                objectName: "paramsWriteButton"
                text: qsTr("Write")
                enabled: desk.activeVehicleId > 0 && panel.values.readSinceAlive === true
                onClicked: panel.write()
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
                Label { text: modelData.unit + "  [" + modelData.min + " .. " + modelData.max + "]"; color: "#8b949e"; Layout.preferredWidth: 150; elide: Text.ElideRight }
                Label {
                    readonly property string answer: panel.answers[modelData.name] || (panel.asked[modelData.name] !== undefined ? qsTr("sent…") : "")
                    text: answer
                    color: answer.indexOf("✓") === 0 ? "#3fb950" : "#f9a825"
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                }
            }
        }
    }
}
