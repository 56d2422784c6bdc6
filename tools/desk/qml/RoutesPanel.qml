import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Routes (MavFlightRouteListModel) and the active route's waypoints (MavWayPointsTableModel);
// waypoints by clicking the map, a survey from an area drawn on it; check, upload with verify,
// download and start for the active vehicle, every refusal and finding in words.
Item {
    id: panel
    property var mapView
    signal report(var r)
    property var findingList: []
    property string missionText: ""
    function refreshMission() { missionText = desk.missionState(desk.activeVehicleId).message }
    Component.onCompleted: refreshMission()
    Connections {
        target: desk
        function onActiveVehicleChanged() { panel.refreshMission() }
        function onTransferFinished() { panel.refreshMission() }
        function onCommandFinished() { panel.refreshMission() }
    }

    function check() {
        var r = desk.checkRoute(desk.activeVehicleId)
        var marks = {}
        findingList = r.ok ? r.findings : []
        for (var i = 0; i < findingList.length; ++i)
            if (findingList[i].wayPoint > 0)
                marks[findingList[i].wayPoint] = findingList[i].text
        mapView.findings = marks
        report(r)
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        spacing: 6
        RowLayout {
            Label { text: qsTr("Routes"); font.bold: true }
            Item { Layout.fillWidth: true }
            Button {
                objectName: "deleteRouteButton"
                text: qsTr("Delete")
                enabled: desk.activeRouteId !== ""
                onClicked: panel.report(desk.deleteRoute(desk.activeRouteId))
            }
        }
        ListView {
            id: routes
            objectName: "routeList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight, 96)
            clip: true
            model: routeList
            delegate: Rectangle {
                width: routes.width
                height: 22
                color: model.routeId === desk.activeRouteId ? "#23405e" : "transparent"
                Label { x: 4; anchors.verticalCenter: parent.verticalCenter; text: qsTr("%1  (no. %2, %n waypoint(s))", "", model.wayPointCount).arg(model.name).arg(model.number) }
                MouseArea { anchors.fill: parent; onClicked: panel.report(desk.selectRoute(model.routeId)) }
            }
        }
        RowLayout {
            Button {
                objectName: "addWaypointsButton"
                text: mapView.editor.mode === "waypoint" ? qsTr("Done") : qsTr("Add waypoints")
                checkable: false
                onClicked: mapView.editor.setMode(mapView.editor.mode === "waypoint" ? "select" : "waypoint")
            }
            Button {
                objectName: "drawSurveyButton"
                text: mapView.editor.mode === "survey" ? qsTr("Cancel") : qsTr("Draw survey")
                onClicked: mapView.editor.setMode(mapView.editor.mode === "survey" ? "select" : "survey")
            }
            SpinBox { id: spacing; from: 5; to: 200; value: 20; editable: true; visible: mapView.editor.mode === "survey" }
            Button {
                objectName: "createSurveyButton"
                text: qsTr("Create survey")
                visible: mapView.editor.mode === "survey"
                onClicked: {
                    var s = mapView.editor.finishSurvey(spacing.value)
                    panel.report(s.ok ? desk.createSurvey(qsTr("survey"), s.polygon, s.spacing) : s)
                }
            }
        }
        RowLayout {
            Label { text: desk.activeVehicleId > 0 ? qsTr("For vehicle %1:").arg(desk.activeVehicleId) : qsTr("No vehicle") }
            Button { objectName: "checkButton"; text: qsTr("Check"); enabled: desk.activeVehicleId > 0; onClicked: panel.check() }
            Button {
                objectName: "uploadButton"
                text: qsTr("Upload")
                enabled: desk.activeVehicleId > 0
                onClicked: panel.report(desk.upload(desk.activeVehicleId, verify.checked))
            }
            CheckBox { id: verify; text: qsTr("verify"); checked: true }
        }
        RowLayout {
            Button { objectName: "downloadButton"; text: qsTr("Download"); enabled: desk.activeVehicleId > 0; onClicked: panel.report(desk.download(desk.activeVehicleId)) }
            Button {
                objectName: "startButton"
                text: qsTr("Start mission")
                enabled: desk.activeVehicleId > 0
                onClicked: startConfirm.open()
            }
            Label {
                Layout.fillWidth: true
                text: panel.missionText
                color: "#8b949e"
                elide: Text.ElideRight
            }
        }
        ListView {
            objectName: "findingList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight, 80)
            clip: true
            model: panel.findingList
            delegate: Label {
                width: ListView.view.width
                text: (modelData.wayPoint > 0 ? qsTr("Waypoint %1: ").arg(modelData.wayPoint) : "") + modelData.text
                color: modelData.kind === "violation" ? "#ff7b72" : "#f9a825"
                wrapMode: Text.WordWrap
            }
        }
        Label { text: qsTr("Waypoints of the active route"); font.bold: true }
        HorizontalHeaderView {
            syncView: wpTable
            Layout.fillWidth: true
            clip: true
            delegate: Label {
                text: display
                elide: Text.ElideRight
                font.pixelSize: 11
                color: "#8b949e"
                padding: 3
            }
        }
        TableView {
            id: wpTable
            objectName: "wayPointTable"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: wayPoints
            // Number, lon, lat, alt, speed, hover, next; the rest are for other tools.
            columnWidthProvider: (c) => [30, 0, 100, 92, 56, 56, 0, 0, 0, 50, 40, 0, 0, 0, 0][c]
            ScrollBar.vertical: ScrollBar { }
            delegate: Item {
                implicitHeight: 24
                readonly property var field: ({ 4: "alt", 5: "vel", 9: "hoverTime", 10: "nextWp" })[column]
                Label {
                    anchors.fill: parent
                    visible: !parent.field
                    text: display
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                }
                TextField {
                    anchors.fill: parent
                    visible: !!parent.field
                    text: display
                    padding: 2
                    selectByMouse: true
                    onEditingFinished: {
                        var r = desk.editWayPoint(row, parent.field, Number(text))
                        panel.report(r)
                        if (!r.ok) text = display
                    }
                }
            }
        }
    }

    Dialog {
        id: startConfirm
        objectName: "startConfirm"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Start the mission on vehicle %1?").arg(desk.activeVehicleId)
        standardButtons: Dialog.Ok | Dialog.Cancel
        Label { text: qsTr("The vehicle will take off and fly its route."); color: "#f9a825" }
        onAccepted: panel.report(desk.startMission(desk.activeVehicleId, false))
    }
}
