import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Active alerts of the whole fleet (VehicleAlertListModel) with their severity colours, and the
// operator console (GcsConsoleListModel through a filter).
Rectangle {
    color: "#161c21"
    function levelColour(level) { return level >= 2 ? "#ff7b72" : level === 1 ? "#f9a825" : "#8b949e" }
    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 4
        spacing: 4
        ListView {
            id: alerts
            objectName: "alertList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight, 72)
            clip: true
            model: alertModel
            delegate: Row {
                spacing: 6
                height: 18
                Rectangle { width: 8; height: 8; radius: 4; y: 5; color: levelColour(model.level) }
                Label { text: (model.vehicleCode !== "" ? model.vehicleCode : "#" + model.vehicleId); font.bold: true; color: levelColour(model.level) }
                Label { text: model.levelText; color: levelColour(model.level) }
                Label { text: model.message; width: alerts.width - 160; elide: Text.ElideRight }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Label { text: qsTr("Console"); font.bold: true }
            TextField {
                id: filter
                objectName: "consoleFilter"
                Layout.fillWidth: true
                placeholderText: qsTr("filter")
                onTextChanged: consoleModel.setFilterFixedString(text)
            }
        }
        ListView {
            id: lines
            objectName: "consoleList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: consoleModel
            ScrollBar.vertical: ScrollBar { }
            onCountChanged: positionViewAtEnd()
            delegate: Label {
                width: lines.width
                text: model.time + "  " + model.text
                color: model.level >= 3 ? "#ff7b72" : model.level === 2 ? "#f9a825" : "#c9d1d9"
                font.family: "monospace"
                font.pixelSize: 11
                elide: Text.ElideRight
            }
        }
    }
}
