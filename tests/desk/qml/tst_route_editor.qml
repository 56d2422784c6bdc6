import QtQuick
import QtTest
import "../../../tools/desk/qml"

// What a click on the map does in each mode of the route editor, and the survey hand-over.
TestCase {
    name: "RouteEditor"

    RouteEditor { id: editor }
    SignalSpy { id: edited; target: editor; signalName: "cornersEdited" }

    function init() {
        editor.setMode("select")
        edited.clear()
    }

    function test_click_by_mode_data() {
        var vehicle = { x: 0, y: 0, kind: "vehicle", id: 2 }
        var waypoint = { x: 0, y: 0, kind: "waypoint", id: 3 }
        return [
            { tag: "select a vehicle", mode: "select", hit: vehicle, kind: "selectVehicle", key: "vehicleId", value: 2 },
            { tag: "select a waypoint", mode: "select", hit: waypoint, kind: "selectWaypoint", key: "index", value: 3 },
            { tag: "select nothing", mode: "select", hit: null, kind: "none" },
            { tag: "waypoint over a vehicle", mode: "waypoint", hit: vehicle, kind: "addWaypoint", key: "lat", value: 22.5 },
            { tag: "survey corner", mode: "survey", hit: waypoint, kind: "corner", key: "count", value: 1 },
        ]
    }
    function test_click_by_mode(d) {
        verify(editor.setMode(d.mode))
        var a = editor.click(22.5, 113.9, d.hit)
        compare(a.kind, d.kind)
        if (d.key)
            compare(a[d.key], d.value)
    }

    function test_unknown_mode_is_refused() {
        verify(!editor.setMode("erase"))
        compare(editor.mode, "select")
    }

    function test_survey_needs_three_corners_and_a_spacing() {
        var r = editor.finishSurvey(20)
        verify(!r.ok, "not drawing")
        editor.setMode("survey")
        editor.click(22.5431, 113.9468, null)
        editor.click(22.5431, 113.9476, null)
        r = editor.finishSurvey(20)
        verify(!r.ok)
        verify(r.message.indexOf("2 drawn") >= 0, r.message)
        editor.click(22.5438, 113.9476, null)
        editor.click(22.5438, 113.9468, null)
        editor.undoCorner()
        compare(editor.corners.length, 3)
        verify(!editor.finishSurvey(0).ok, "spacing 0")
        r = editor.finishSurvey(20)
        verify(r.ok)
        compare(r.polygon.length, 3)
        compare(r.polygon[1].lon, 113.9476)
        compare(r.spacing, 20)
        compare(editor.mode, "select", "back to selecting")
        compare(editor.corners.length, 0, "the drawing is handed over")
        compare(edited.count, 6)
    }

    function test_leaving_survey_drops_the_drawing() {
        editor.setMode("survey")
        editor.click(1, 2, null)
        editor.setMode("waypoint")
        compare(editor.corners.length, 0)
    }
}
