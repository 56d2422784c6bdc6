import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// velmora-desk's one window: the map with the fleet list and the alerts and console below it,
// the command bar on top, and the active vehicle, routes, zones and parameters on the right.
ApplicationWindow {
    id: root
    objectName: "deskWindow"
    width: 1280
    height: 800
    visible: true
    title: qsTr("Velmora Desk")
    color: "#161c21"
    palette.window: "#1f272e"
    palette.windowText: "#e6edf3"
    palette.base: "#161c21"
    palette.alternateBase: "#1b2228"
    palette.text: "#e6edf3"
    palette.button: "#2b353e"
    palette.buttonText: "#e6edf3"
    palette.highlight: "#2f81f7"
    palette.highlightedText: "#ffffff"
    palette.mid: "#3a4550"
    palette.light: "#3a4550"
    palette.dark: "#10151a"
    palette.placeholderText: "#8b949e"
    font.pixelSize: 13

    property int activeId: desk.activeVehicleId
    property string statusText: ""
    property bool statusGood: true

    function report(r) {
        statusText = r.message
        statusGood = r.ok
        return r
    }

    header: ToolBar {
        objectName: "commandBar"
        height: 44
        background: Rectangle { color: "#10151a" }
        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 10
            anchors.rightMargin: 10
            spacing: 8
            Label { text: "Velmora Desk"; font.bold: true; font.pixelSize: 16; color: "#4fc3f7" }
            Label { text: desk.linkText; color: "#8b949e"; elide: Text.ElideRight; Layout.maximumWidth: 220 }
            Item { Layout.fillWidth: true }
            Label {
                objectName: "activeVehicleLabel"
                text: root.activeId > 0 ? qsTr("Vehicle %1").arg(root.activeId) : qsTr("No vehicle")
                font.bold: true
            }
            Repeater {
                model: [
                    { action: "takeoff", label: qsTr("Take off"), moves: true },
                    { action: "land", label: qsTr("Land"), moves: true },
                    { action: "returnHome", label: qsTr("Return home"), moves: true },
                    { action: "suspend", label: qsTr("Pause"), moves: true },
                    { action: "resume", label: qsTr("Resume"), moves: true }
                ]
                delegate: Button {
                    objectName: "command_" + modelData.action
                    text: modelData.label
                    enabled: root.activeId > 0
                    onClicked: confirm.ask(modelData.action, modelData.label, root.activeId)
                }
            }
            Rectangle {
                objectName: "alertBadge"
                radius: 10
                height: 22
                width: badgeText.implicitWidth + 16
                color: alertModel.criticalCount > 0 ? "#d32f2f" : (alertModel.count > 0 ? "#f9a825" : "#2e7d32")
                Label {
                    id: badgeText
                    anchors.centerIn: parent
                    text: qsTr("%n alert(s)", "", alertModel.count)
                    color: "#10151a"
                    font.bold: true
                }
            }
        }
    }

    footer: Rectangle {
        height: 24
        color: "#10151a"
        Label {
            objectName: "statusLine"
            anchors.fill: parent
            anchors.leftMargin: 10
            verticalAlignment: Text.AlignVCenter
            text: root.statusText
            color: root.statusGood ? "#8b949e" : "#ff7b72"
            elide: Text.ElideRight
        }
    }

    SplitView {
        anchors.fill: parent
        orientation: Qt.Horizontal

        SplitView {
            orientation: Qt.Vertical
            SplitView.fillWidth: true
            MapView {
                id: map
                objectName: "map"
                SplitView.fillHeight: true
                onReport: (r) => root.report(r)
            }
            RowLayout {
                SplitView.preferredHeight: 210
                spacing: 0
                FleetList {
                    Layout.fillHeight: true
                    Layout.preferredWidth: 470
                    onReport: (r) => root.report(r)
                }
                AlertsConsole {
                    Layout.fillHeight: true
                    Layout.fillWidth: true
                }
            }
        }

        Pane {
            SplitView.preferredWidth: 440
            SplitView.minimumWidth: 360
            padding: 0
            background: Rectangle { color: "#1b2228" }
            ColumnLayout {
                anchors.fill: parent
                spacing: 0
                TabBar {
                    id: tabs
                    objectName: "tabs"
                    Layout.fillWidth: true
                    TabButton { text: qsTr("Vehicle"); objectName: "vehicleTab" }
                    TabButton { text: qsTr("Routes"); objectName: "routesTab" }
                    TabButton { text: qsTr("Zones"); objectName: "zonesTab" }
                    TabButton { text: qsTr("Parameters"); objectName: "paramsTab" }
                }
                StackLayout {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    currentIndex: tabs.currentIndex
                    VehiclePanel { }
                    RoutesPanel { mapView: map; onReport: (r) => root.report(r) }
                    ZonesPanel { onReport: (r) => root.report(r) }
                    ParamsPanel { onReport: (r) => root.report(r) }
                }
            }
        }
    }

    // Anything that moves the aircraft is confirmed first.
    Dialog {
        id: confirm
        objectName: "confirmDialog"
        property string action
        property int vehicleId
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok | Dialog.Cancel
        function ask(a, label, v) {
            action = a
            vehicleId = v
            title = qsTr("%1 vehicle %2?").arg(label).arg(v)
            open()
        }
        ColumnLayout {
            RowLayout {
                visible: confirm.action === "takeoff" || confirm.action === "returnHome"
                Label { text: qsTr("Altitude (m)") }
                SpinBox { id: altBox; from: 1; to: 500; value: 30; editable: true }
            }
            RowLayout {
                visible: confirm.action === "takeoff"
                Label { text: qsTr("Climb speed (m/s)") }
                SpinBox { id: climbBox; from: 1; to: 10; value: 3; editable: true }
            }
            Label { text: qsTr("The vehicle will move."); color: "#f9a825" }
        }
        onAccepted: root.report(desk.command(action, vehicleId, altBox.value, climbBox.value))
    }

    Connections {
        target: desk
        function onCommandFinished(vehicleId, action, ok, text) {
            root.statusText = qsTr("Vehicle %1: %2 - %3").arg(vehicleId).arg(action).arg(ok ? qsTr("done") + (text ? " (" + text + ")" : "") : text)
            root.statusGood = ok
        }
        function onTransferFinished(vehicleId, kind, ok, text) {
            root.statusText = qsTr("Vehicle %1: %2 - %3").arg(vehicleId).arg(kind).arg(text)
            root.statusGood = ok
        }
        function onZoneTransferFinished(vehicleId, ok, text) {
            root.statusText = text
            root.statusGood = ok
        }
    }
}
