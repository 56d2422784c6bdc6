import QtQuick
import QtQuick.Controls
import QtQuick.Shapes
import Velmora.Desk
import "Projection.js" as P

// The map: a local metric projection around the fleet (no tiles are needed offline; --tiles adds
// them). Vehicles, waypoints and zones are items bound to the library's models; trails, tiles and
// the grid are painted underneath by MapBackdrop.
Item {
    id: map
    clip: true
    signal report(var r)

    // The projection: metres around (refLat, refLon), the screen centred at (centerX, centerY).
    property bool refSet: false
    property real refLat: 0
    property real refLon: 0
    property real centerX: 0
    property real centerY: 0
    property real mpp: 1.0
    property bool fitted: false
    property var findings: ({})   // waypoint number -> text, from the last check
    readonly property var scaleInfo: P.scaleBar(mpp, 140)
    property alias editor: routeEditor
    property alias vehicles: vehicleRepeater
    property alias wayPointItems: wayPointRepeater

    function view() {
        return { refLat: refLat, refLon: refLon, centerX: centerX, centerY: centerY, mpp: mpp,
                 width: width, height: height }
    }
    // Screen position of (lat, lon); reading the view's properties makes bindings follow pan and zoom.
    function sx(lat, lon) { return P.toScreen(lat, lon, { refLat: refLat, refLon: refLon, centerX: centerX, centerY: centerY, mpp: mpp, width: width, height: height }).x }
    function sy(lat, lon) { return P.toScreen(lat, lon, { refLat: refLat, refLon: refLon, centerX: centerX, centerY: centerY, mpp: mpp, width: width, height: height }).y }

    function knownPoints() {
        var pts = []
        for (var i = 0; i < vehicleRepeater.count; ++i) {
            var v = vehicleRepeater.itemAt(i)
            if (v && v.known)
                pts.push({ lat: v.lat, lon: v.lon })
        }
        for (var j = 0; j < wayPointRepeater.count; ++j) {
            var w = wayPointRepeater.itemAt(j)
            if (w && w.wp)
                pts.push({ lat: w.wp.lat, lon: w.wp.lon })
        }
        for (var k = 0; k < zoneRepeater.count; ++k) {
            var z = zoneRepeater.itemAt(k)
            if (z)
                pts.push({ lat: z.centerLat, lon: z.centerLon })
        }
        return pts
    }

    function fitToFleet() {
        var pts = knownPoints()
        if (pts.length === 0)
            return false
        if (!refSet) {
            refLat = pts[0].lat
            refLon = pts[0].lon
            refSet = true
        }
        var f = P.fit(pts, refLat, refLon, width, height, 60, 0.5)
        centerX = f.centerX
        centerY = f.centerY
        mpp = f.mpp
        fitted = true
        return true
    }

    function zoom(factor, px, py) {
        var z = P.zoomAbout(view(), px, py, factor)
        if (z.mpp < 0.05 || z.mpp > 5000)
            return
        centerX = z.centerX
        centerY = z.centerY
        mpp = z.mpp
    }

    // What is under a screen point: the vehicle markers and waypoints as the view draws them.
    function hitAt(px, py) {
        var c = []
        for (var i = 0; i < vehicleRepeater.count; ++i) {
            var v = vehicleRepeater.itemAt(i)
            if (v && v.visible)
                c.push({ x: v.x, y: v.y, kind: "vehicle", id: v.vehicleId })
        }
        for (var j = 0; j < wayPointRepeater.count; ++j) {
            var w = wayPointRepeater.itemAt(j)
            if (w && w.visible)
                c.push({ x: w.x, y: w.y, kind: "waypoint", id: j })
        }
        return P.hitTest(c, px, py, 14)
    }

    // Until the first fit, the view follows the first positions that arrive.
    Timer {
        interval: 500
        repeat: true
        running: !map.fitted
        onTriggered: map.fitToFleet()
    }

    RouteEditor { id: routeEditor }

    MapBackdrop {
        id: backdrop
        anchors.fill: parent
        model: fleetModel
        refLat: map.refLat
        refLon: map.refLon
        centerX: map.centerX
        centerY: map.centerY
        mpp: map.mpp
        gridMeters: map.scaleInfo.meters
        tilesDir: deskTilesDir
    }

    MouseArea {
        id: mouse
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton
        property real lastX
        property real lastY
        property bool dragged: false
        cursorShape: routeEditor.mode === "select" ? Qt.ArrowCursor : Qt.CrossCursor
        onPressed: (e) => { lastX = e.x; lastY = e.y; dragged = false }
        onPositionChanged: (e) => {
            if (Math.abs(e.x - lastX) + Math.abs(e.y - lastY) > 2)
                dragged = true
            map.centerX -= (e.x - lastX) * map.mpp
            map.centerY += (e.y - lastY) * map.mpp
            lastX = e.x
            lastY = e.y
        }
        onClicked: (e) => {
            if (dragged || !map.refSet)
                return
            var ll = P.fromScreen(e.x, e.y, map.view())
            var act = routeEditor.click(ll.lat, ll.lon, map.hitAt(e.x, e.y))
            if (act.kind === "selectVehicle")
                map.report(desk.selectVehicle(act.vehicleId))
            else if (act.kind === "addWaypoint")
                map.report(desk.addWayPoint(act.lat, act.lon))
            else if (act.kind === "corner")
                map.report({ ok: true, message: qsTr("Survey area: %n corner(s)", "", act.count) })
        }
        onWheel: (w) => map.zoom(w.angleDelta.y > 0 ? 1 / 1.25 : 1.25, w.x, w.y)
    }

    // No-fly zones; the ones in force (last sent to a vehicle) drawn stronger.
    Repeater {
        id: zoneRepeater
        model: zoneModel
        delegate: Item {
            objectName: "zone_" + model.zoneId
            property real centerLat: model.centerLat
            property real centerLon: model.centerLon
            property bool inForce: model.inForce
            property string shape: model.shape
            x: 0; y: 0
            width: map.width; height: map.height
            Rectangle {
                objectName: "zoneCircle_" + model.zoneId
                visible: parent.shape === "circle"
                property real r: Math.max(2, model.radius / map.mpp)
                x: map.sx(model.centerLat, model.centerLon) - r
                y: map.sy(model.centerLat, model.centerLon) - r
                width: 2 * r; height: 2 * r; radius: r
                color: parent.inForce ? "#55d32f2f" : "#22d32f2f"
                border.color: "#ef5350"
                border.width: parent.inForce ? 2.5 : 1
            }
            Shape {
                visible: parent.shape === "polygon"
                anchors.fill: parent
                ShapePath {
                    strokeColor: "#ef5350"
                    strokeWidth: model.inForce ? 2.5 : 1
                    fillColor: model.inForce ? "#55d32f2f" : "#22d32f2f"
                    PathPolyline {
                        path: {
                            var pts = []
                            var z = model.points
                            for (var i = 0; z && i < z.length; ++i)
                                pts.push(Qt.point(map.sx(z[i].lat, z[i].lon), map.sy(z[i].lat, z[i].lon)))
                            if (pts.length > 0)
                                pts.push(pts[0])
                            return pts
                        }
                    }
                }
            }
            Label {
                text: qsTr("zone %1").arg(model.zoneId)
                x: map.sx(model.centerLat, model.centerLon) - width / 2
                y: map.sy(model.centerLat, model.centerLon) - height / 2
                color: "#ff8a80"
                font.pixelSize: 11
            }
        }
    }

    // The active route: a line along each waypoint's next, jumps (a next that is not the
    // following one) dashed in amber, then the numbered waypoints.
    Repeater {
        id: legRepeater
        model: wayPoints
        delegate: Item {
            property var wp: model.wayPoint
            property var target: {
                wayPointRepeater.count  // re-evaluated when the waypoints are made
                var n = wp ? wp.nextWp : 0
                return n >= 1 && n <= wayPointRepeater.count ? wayPointRepeater.itemAt(n - 1) : null
            }
            property bool jump: wp !== null && target !== null && wp.nextWp !== wp.number + 1
            visible: target !== null
            x: wp ? map.sx(wp.lat, wp.lon) : 0
            y: wp ? map.sy(wp.lat, wp.lon) : 0
            Rectangle {
                property real dx: parent.target ? parent.target.x - parent.x : 0
                property real dy: parent.target ? parent.target.y - parent.y : 0
                width: Math.sqrt(dx * dx + dy * dy)
                height: parent.jump ? 1.5 : 2.5
                y: -height / 2
                color: parent.jump ? "#ffb300" : "#ffd54f"
                opacity: parent.jump ? 0.8 : 1
                transformOrigin: Item.Left
                rotation: Math.atan2(dy, dx) * 180 / Math.PI
            }
        }
    }
    Repeater {
        id: wayPointRepeater
        model: wayPoints
        delegate: Item {
            id: wpItem
            property var wp: model.wayPoint
            property int number: wp ? wp.number : 0
            property string finding: map.findings[number] || ""
            objectName: "waypoint_" + number
            x: wp ? map.sx(wp.lat, wp.lon) : 0
            y: wp ? map.sy(wp.lat, wp.lon) : 0
            z: 2
            Rectangle {
                width: 20; height: 20; radius: 10
                x: -10; y: -10
                color: wpItem.finding ? "#d32f2f" : "#ffd54f"
                border.color: "#10151a"
                border.width: 1.5
                Label {
                    anchors.centerIn: parent
                    text: wpItem.number
                    color: "#10151a"
                    font.pixelSize: 10
                    font.bold: true
                }
            }
            Label {
                visible: wpItem.finding !== ""
                x: 12; y: -8
                text: wpItem.finding
                color: "#ff8a80"
                font.pixelSize: 10
                width: 180
                wrapMode: Text.WordWrap
            }
        }
    }

    // Homes, then the vehicles as heading arrows coloured by state: lost ones grey.
    Repeater {
        model: fleetModel
        delegate: Item {
            visible: model.bound && model.homeKnown && model.linkState !== ""
            x: map.sx(model.homeLat, model.homeLon)
            y: map.sy(model.homeLat, model.homeLon)
            z: 1
            Rectangle { x: -7; y: -7; width: 14; height: 14; radius: 3; color: "transparent"; border.color: "#81c784"; border.width: 1.5 }
            Label { anchors.centerIn: parent; text: "H"; color: "#81c784"; font.pixelSize: 9; font.bold: true }
        }
    }
    Repeater {
        id: vehicleRepeater
        model: fleetModel
        delegate: Item {
            id: marker
            objectName: "vehicleMarker_" + model.vehicleId
            property int vehicleId: model.vehicleId
            property bool known: model.bound && model.positionKnown
            property real lat: model.lat
            property real lon: model.lon
            property bool active: vehicleId === desk.activeVehicleId
            property string link: model.linkState
            property color tint: link !== "alive" ? "#9e9e9e"
                                 : model.worstAlertLevel >= 2 ? "#ef5350"
                                 : model.worstAlertLevel === 1 ? "#ffb300" : "#4fc3f7"
            visible: known
            x: known ? map.sx(lat, lon) : 0
            y: known ? map.sy(lat, lon) : 0
            z: active ? 4 : 3
            Shape {
                rotation: model.heading
                ShapePath {
                    strokeColor: marker.active ? "#ffffff" : "#10151a"
                    strokeWidth: marker.active ? 2 : 1
                    fillColor: marker.tint
                    startX: 0; startY: -13
                    PathLine { x: 9; y: 10 }
                    PathLine { x: 0; y: 5 }
                    PathLine { x: -9; y: 10 }
                    PathLine { x: 0; y: -13 }
                }
            }
            // Vehicles close together keep their labels apart: one of three rows by id.
            Label {
                x: 12; y: -20 + (marker.vehicleId % 3) * 13
                text: (model.vehicleCode !== "" ? model.vehicleCode : "#" + marker.vehicleId) + "  " + model.alt.toFixed(0) + " m"
                color: marker.tint
                font.pixelSize: 11
                font.bold: marker.active
                style: Text.Outline
                styleColor: "#10151a"
            }
        }
    }

    // The survey area being drawn.
    Shape {
        anchors.fill: parent
        visible: routeEditor.corners.length > 0
        z: 5
        ShapePath {
            strokeColor: "#ba68c8"
            strokeWidth: 2
            fillColor: "#33ba68c8"
            strokeStyle: ShapePath.DashLine
            PathPolyline {
                path: {
                    var pts = []
                    var c = routeEditor.corners
                    for (var i = 0; i < c.length; ++i)
                        pts.push(Qt.point(map.sx(c[i].lat, c[i].lon), map.sy(c[i].lat, c[i].lon)))
                    if (pts.length > 2)
                        pts.push(pts[0])
                    return pts
                }
            }
        }
    }

    // North arrow, scale bar, the tools.
    Column {
        x: 12; y: 12; z: 10
        spacing: 2
        Label { text: "N"; color: "#e6edf3"; font.bold: true; anchors.horizontalCenter: parent.horizontalCenter }
        Shape {
            objectName: "northArrow"
            width: 16; height: 22
            ShapePath {
                strokeColor: "#e6edf3"; fillColor: "#e6edf3"
                startX: 8; startY: 0
                PathLine { x: 16; y: 22 }
                PathLine { x: 8; y: 16 }
                PathLine { x: 0; y: 22 }
                PathLine { x: 8; y: 0 }
            }
        }
    }
    Item {
        objectName: "scaleBar"
        property string label: map.scaleInfo.label
        x: 12; y: map.height - 30; z: 10
        width: map.scaleInfo.px; height: 20
        Rectangle { y: 12; width: parent.width; height: 3; color: "#e6edf3" }
        Rectangle { y: 6; width: 2; height: 9; color: "#e6edf3" }
        Rectangle { x: parent.width - 2; y: 6; width: 2; height: 9; color: "#e6edf3" }
        Label { x: parent.width + 6; y: 4; text: map.scaleInfo.label; color: "#e6edf3" }
    }
    Row {
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 10
        spacing: 6
        z: 10
        Button { text: qsTr("Fit"); objectName: "fitButton"; onClicked: map.fitToFleet() }
        Button { text: "+"; width: 34; onClicked: map.zoom(1 / 1.5, map.width / 2, map.height / 2) }
        Button { text: "-"; width: 34; onClicked: map.zoom(1.5, map.width / 2, map.height / 2) }
    }
    Label {
        visible: routeEditor.mode !== "select"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 10
        z: 10
        padding: 6
        background: Rectangle { color: "#cc10151a"; radius: 4 }
        text: routeEditor.mode === "waypoint" ? qsTr("Click the map to add waypoints to the active route")
                                              : qsTr("Click the corners of the survey area, then Create survey")
    }
}
