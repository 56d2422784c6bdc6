import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtCharts

// The active vehicle: instruments (from VehicleClusterListModel), the telemetry table of one
// item (MavTeleDataTableModel), the custom element list (CustomTeleDataListModel) and two live
// plots fed by MavTelePlotsManager.
ScrollView {
    id: panel
    clip: true
    contentWidth: availableWidth
    ColumnLayout {
        width: panel.availableWidth
        spacing: 6
        // One row of the fleet model: the active vehicle's.
        ListView {
            id: activeRow
            Layout.fillWidth: true
            Layout.preferredHeight: 118
            Layout.topMargin: 6
            interactive: false
            clip: true
            model: fleetModel
            cacheBuffer: 0
            currentIndex: { fleetModel.count; return fleetModel.rowOfVehicle(desk.activeVehicleId) }
            highlightRangeMode: ListView.StrictlyEnforceRange
            preferredHighlightBegin: 0
            preferredHighlightEnd: 118
            highlightMoveDuration: 0
            delegate: Item {
                width: activeRow.width
                height: 118
                Instruments {
                    x: 8; y: 4
                    roll: model.roll; pitch: model.pitch; heading: model.heading
                    known: model.linkState === "alive"
                }
                Column {
                    x: 250; y: 8
                    spacing: 2
                    Label { text: model.vehicleCode !== "" ? model.vehicleCode : "#" + model.vehicleId; font.bold: true; font.pixelSize: 15 }
                    Label { text: model.statusKnown ? model.flightModeText + " / " + model.flightStateText : qsTr("no status yet") }
                    Label { text: model.positionKnown ? qsTr("alt %1 m, %2 m/s").arg(model.alt.toFixed(1)).arg(model.groundSpeed.toFixed(1)) : qsTr("no position fix") }
                    Label { text: model.statusKnown ? qsTr("battery %1, %2 V").arg(model.batteryText).arg(model.supplyVoltage.toFixed(1)) : "" }
                }
            }
        }
        RowLayout {
            Layout.leftMargin: 8
            Label { text: qsTr("Telemetry") ; font.bold: true }
            ComboBox {
                objectName: "telemetryItemBox"
                model: desk.telemetryItems
                currentIndex: desk.telemetryItems.indexOf(desk.telemetryItem)
                onActivated: (i) => desk.telemetryItem = desk.telemetryItems[i]
            }
        }
        TableView {
            id: table
            objectName: "teleTable"
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.preferredHeight: 200
            clip: true
            model: teleTable
            columnWidthProvider: (c) => c === 0 ? 170 : c === 1 ? 130 : 60
            ScrollBar.vertical: ScrollBar { }
            delegate: Label {
                objectName: "teleCell_" + elementId + "_" + column
                text: display
                padding: 2
                color: column === 1 ? "#e6edf3" : "#8b949e"
                elide: Text.ElideRight
            }
        }
        Label { text: qsTr("My fields"); font.bold: true; Layout.leftMargin: 8 }
        Flow {
            Layout.fillWidth: true
            Layout.leftMargin: 8
            spacing: 10
            Repeater {
                model: teleList
                delegate: Label { text: model.name + ": " + model.value + (model.unit ? " " + model.unit : ""); color: "#c9d1d9" }
            }
        }
        Repeater {
            model: 2
            delegate: ColumnLayout {
                id: plotBox
                property int slot: index
                property int elementId: plots.plotIds.length > slot ? plots.plotIds[slot] : -1
                Layout.fillWidth: true
                Layout.leftMargin: 8
                ComboBox {
                    objectName: "plotPicker_" + plotBox.slot
                    Layout.fillWidth: true
                    model: teleTable
                    textRole: "display"
                    valueRole: "elementId"
                    currentIndex: { count; return indexOfValue(plotBox.elementId) }
                    onActivated: (i) => {
                        var ids = plots.plotIds.slice()
                        while (ids.length < 2) ids.push(-1)
                        ids[plotBox.slot] = currentValue
                        plots.plotIds = ids.filter((v) => v >= 0)
                        series.clear()
                    }
                }
                ChartView {
                    Layout.fillWidth: true
                    Layout.preferredHeight: 150
                    antialiasing: true
                    legend.visible: false
                    backgroundColor: "#161c21"
                    margins { top: 4; bottom: 4; left: 4; right: 4 }
                    ValueAxis { id: xAxis; labelsVisible: false; gridLineColor: "#2c3740"; titleText: qsTr("last 2 minutes") }
                    ValueAxis { id: yAxis; labelsColor: "#8b949e"; gridLineColor: "#2c3740" }
                    LineSeries { id: series; axisX: xAxis; axisY: yAxis; color: plotBox.slot === 0 ? "#4fc3f7" : "#ffb300"; width: 2 }
                    Connections {
                        target: plots
                        function onPointsReady(elementId, points) {
                            if (elementId !== plotBox.elementId)
                                return
                            for (var i = 0; i < points.length; ++i)
                                series.append(points[i].x, points[i].y)
                            var last = series.at(series.count - 1).x
                            while (series.count > 0 && series.at(0).x < last - 120)
                                series.remove(0)
                            var lo = Infinity, hi = -Infinity
                            for (var j = 0; j < series.count; ++j) { lo = Math.min(lo, series.at(j).y); hi = Math.max(hi, series.at(j).y) }
                            xAxis.min = last - 120; xAxis.max = last
                            yAxis.min = lo - 1; yAxis.max = hi + 1
                        }
                    }
                    Connections { target: desk; function onActiveVehicleChanged() { series.clear() } }
                }
            }
        }
    }
}
