import QtQuick
import QtTest
import "../../../tools/desk/qml/Projection.js" as P

// The map's projection and hit testing, as the window uses them.
TestCase {
    name: "Projection"

    function view(mpp) {
        return { refLat: 22.5431, refLon: 113.9468, centerX: 0, centerY: 0, mpp: mpp, width: 800, height: 600 }
    }

    function test_metres_and_back_data() {
        // 100 m east, north, both, at the reference, at another latitude.
        return [
            { tag: "east", dLat: 0, dLon: 100 / (6378137 * Math.cos(22.5431 * Math.PI / 180)) * 180 / Math.PI, x: 100, y: 0 },
            { tag: "north", dLat: 100 / 6378137 * 180 / Math.PI, dLon: 0, x: 0, y: 100 },
            { tag: "south-west", dLat: -0.001, dLon: -0.001, x: -102.82, y: -111.32 },
        ]
    }
    function test_metres_and_back(d) {
        var m = P.toMeters(22.5431 + d.dLat, 113.9468 + d.dLon, 22.5431, 113.9468)
        fuzzyCompare(m.x, d.x, 0.05)
        fuzzyCompare(m.y, d.y, 0.05)
        var back = P.toLatLon(m.x, m.y, 22.5431, 113.9468)
        fuzzyCompare(back.lat, 22.5431 + d.dLat, 1e-9)
        fuzzyCompare(back.lon, 113.9468 + d.dLon, 1e-9)
    }

    function test_screen_is_north_up_and_round_trips() {
        var v = view(2)
        var centre = P.toScreen(22.5431, 113.9468, v)
        compare(centre.x, 400)
        compare(centre.y, 300)
        var north = P.toScreen(22.5431 + 0.001, 113.9468, v)
        verify(north.y < 300, "north is up")
        fuzzyCompare(300 - north.y, 111.32 / 2, 0.05)
        var ll = P.fromScreen(123, 456, v)
        var again = P.toScreen(ll.lat, ll.lon, v)
        fuzzyCompare(again.x, 123, 1e-6)
        fuzzyCompare(again.y, 456, 1e-6)
    }

    function test_zoom_keeps_the_point_under_the_cursor() {
        var v = view(2)
        var before = P.fromScreen(650, 120, v)
        var z = P.zoomAbout(v, 650, 120, 0.5)
        compare(z.mpp, 1)
        var after = P.toScreen(before.lat, before.lon, { refLat: v.refLat, refLon: v.refLon, centerX: z.centerX,
                                                         centerY: z.centerY, mpp: z.mpp, width: 800, height: 600 })
        fuzzyCompare(after.x, 650, 1e-6)
        fuzzyCompare(after.y, 120, 1e-6)
    }

    function test_fit_shows_every_point() {
        var pts = [{ lat: 22.5431, lon: 113.9468 }, { lat: 22.5451, lon: 113.9500 }, { lat: 22.5420, lon: 113.9470 }]
        var f = P.fit(pts, 22.5431, 113.9468, 800, 600, 50, 0.5)
        var v = { refLat: 22.5431, refLon: 113.9468, centerX: f.centerX, centerY: f.centerY, mpp: f.mpp, width: 800, height: 600 }
        for (var i = 0; i < pts.length; ++i) {
            var s = P.toScreen(pts[i].lat, pts[i].lon, v)
            verify(s.x >= 49.99 && s.x <= 750.01 && s.y >= 49.99 && s.y <= 550.01, "point " + i + " at " + s.x + "," + s.y)
        }
        compare(P.fit([{ lat: 22.5431, lon: 113.9468 }], 22.5431, 113.9468, 800, 600, 50, 0.5).mpp, 0.5, "one point: the closest scale")
        compare(P.fit([], 22.5431, 113.9468, 800, 600, 50, 0.5), null)
    }

    function test_scale_bar_data() {
        return [
            { tag: "1 m/px", mpp: 1, meters: 100, label: "100 m" },
            { tag: "0.3 m/px", mpp: 0.3, meters: 20, label: "20 m" },
            { tag: "30 m/px", mpp: 30, meters: 2000, label: "2 km" },
            { tag: "4 m/px", mpp: 4, meters: 500, label: "500 m" },
        ]
    }
    function test_scale_bar(d) {
        var s = P.scaleBar(d.mpp, 140)
        compare(s.meters, d.meters)
        compare(s.label, d.label)
        verify(s.px <= 140 && s.px > 140 / 2.5)
    }

    function test_hit_test_data() {
        var c = [{ x: 100, y: 100, kind: "waypoint", id: 0 }, { x: 104, y: 100, kind: "vehicle", id: 2 },
                 { x: 300, y: 300, kind: "waypoint", id: 4 }, { x: 296, y: 300, kind: "vehicle", id: 3 }]
        return [
            { tag: "on the vehicle", c: c, x: 105, y: 101, kind: "vehicle", id: 2 },
            { tag: "on the waypoint", c: c, x: 97, y: 100, kind: "waypoint", id: 0 },
            { tag: "vehicle wins a tie", c: c, x: 298, y: 300, kind: "vehicle", id: 3 },
            { tag: "nothing near", c: c, x: 200, y: 200, kind: "", id: -1 },
            { tag: "just outside", c: c, x: 300, y: 315, kind: "", id: -1 },
        ]
    }
    function test_hit_test(d) {
        var hit = P.hitTest(d.c, d.x, d.y, 14)
        if (d.kind === "") {
            compare(hit, null)
            return
        }
        compare(hit.kind, d.kind)
        compare(hit.id, d.id)
    }
}
