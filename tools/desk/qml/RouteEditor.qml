import QtQuick

// What a click on the map means: in "select" mode it picks the vehicle or waypoint under it; in
// "waypoint" mode it adds a waypoint to the active route there; in "survey" mode it adds a
// corner of the survey area, and finishSurvey() hands the area over. It only decides; the
// window sends the result to the station.
QtObject {
    id: editor
    property string mode: "select"
    property var corners: []     // the survey area drawn so far, [{lat, lon}]
    signal cornersEdited()

    function setMode(m) {
        if (m !== "select" && m !== "waypoint" && m !== "survey")
            return false
        if (m !== "survey")
            clearCorners()
        mode = m
        return true
    }

    function clearCorners() {
        corners = []
        cornersEdited()
    }

    // hit: what Projection.hitTest found under the click, or null.
    function click(lat, lon, hit) {
        if (mode === "waypoint")
            return { kind: "addWaypoint", lat: lat, lon: lon }
        if (mode === "survey") {
            var c = corners.slice()
            c.push({ lat: lat, lon: lon })
            corners = c
            cornersEdited()
            return { kind: "corner", count: c.length }
        }
        if (hit && hit.kind === "vehicle")
            return { kind: "selectVehicle", vehicleId: hit.id }
        if (hit && hit.kind === "waypoint")
            return { kind: "selectWaypoint", index: hit.id }
        return { kind: "none" }
    }

    function undoCorner() {
        if (corners.length === 0)
            return
        corners = corners.slice(0, corners.length - 1)
        cornersEdited()
    }

    // {ok, polygon, spacing} or {ok: false, message}
    function finishSurvey(spacing) {
        if (mode !== "survey")
            return { ok: false, message: qsTr("Draw the survey area first") }
        if (corners.length < 3)
            return { ok: false, message: qsTr("A survey area needs at least 3 corners, %1 drawn").arg(corners.length) }
        if (!(spacing >= 1 && spacing <= 1000))
            return { ok: false, message: qsTr("Line spacing must be 1..1000 m") }
        var polygon = corners
        setMode("select")
        return { ok: true, polygon: polygon, spacing: spacing }
    }
}
