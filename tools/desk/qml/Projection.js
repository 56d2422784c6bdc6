.pragma library
// The map's local metric projection: metres east and north of a reference point (equirectangular,
// exact enough for a site of some kilometres), and the screen as a window on those metres:
// view = {refLat, refLon, centerX, centerY (m, the screen's centre), mpp (metres per pixel),
// width, height}. Screen y grows downwards, north is up.

var EARTH_RADIUS_M = 6378137.0

function rad(deg) { return deg * Math.PI / 180.0 }

function toMeters(lat, lon, refLat, refLon) {
    return { x: rad(lon - refLon) * EARTH_RADIUS_M * Math.cos(rad(refLat)),
             y: rad(lat - refLat) * EARTH_RADIUS_M }
}

function toLatLon(x, y, refLat, refLon) {
    return { lat: refLat + y / EARTH_RADIUS_M * 180.0 / Math.PI,
             lon: refLon + x / (EARTH_RADIUS_M * Math.cos(rad(refLat))) * 180.0 / Math.PI }
}

function toScreen(lat, lon, view) {
    var m = toMeters(lat, lon, view.refLat, view.refLon)
    return { x: view.width / 2 + (m.x - view.centerX) / view.mpp,
             y: view.height / 2 - (m.y - view.centerY) / view.mpp }
}

function fromScreen(px, py, view) {
    var x = view.centerX + (px - view.width / 2) * view.mpp
    var y = view.centerY - (py - view.height / 2) * view.mpp
    return toLatLon(x, y, view.refLat, view.refLon)
}

// The scale bar: the longest round length (1, 2 or 5 x 10^n m) that fits in maxPx.
function scaleBar(mpp, maxPx) {
    var most = mpp * maxPx
    var p = Math.pow(10, Math.floor(Math.log(most) / Math.LN10))
    var meters = p
    if (5 * p <= most) meters = 5 * p
    else if (2 * p <= most) meters = 2 * p
    var label = meters >= 1000 ? (meters / 1000) + " km" : meters + " m"
    return { meters: meters, px: meters / mpp, label: label }
}

// The centre and scale that show every point (each {lat, lon}) with `margin` pixels around;
// one point, or none, keeps a scale of minMpp.
function fit(points, refLat, refLon, width, height, margin, minMpp) {
    if (points.length === 0)
        return null
    var minX = Infinity, maxX = -Infinity, minY = Infinity, maxY = -Infinity
    for (var i = 0; i < points.length; ++i) {
        var m = toMeters(points[i].lat, points[i].lon, refLat, refLon)
        minX = Math.min(minX, m.x); maxX = Math.max(maxX, m.x)
        minY = Math.min(minY, m.y); maxY = Math.max(maxY, m.y)
    }
    var w = Math.max(1, width - 2 * margin), h = Math.max(1, height - 2 * margin)
    var mpp = Math.max(minMpp, (maxX - minX) / w, (maxY - minY) / h)
    return { centerX: (minX + maxX) / 2, centerY: (minY + maxY) / 2, mpp: mpp }
}

// Zooming by `factor` about the screen point (px, py): that point stays where it is.
function zoomAbout(view, px, py, factor) {
    var mpp = view.mpp * factor
    var dx = px - view.width / 2, dy = py - view.height / 2
    return { centerX: view.centerX + dx * (view.mpp - mpp), centerY: view.centerY - dy * (view.mpp - mpp), mpp: mpp }
}

// The candidate (each {x, y, kind, id}) nearest to (px, py) within radius pixels, vehicles
// before waypoints at the same distance; null when none is that near.
function hitTest(candidates, px, py, radius) {
    var best = null, bestD = Infinity
    for (var i = 0; i < candidates.length; ++i) {
        var c = candidates[i]
        var d = Math.sqrt((c.x - px) * (c.x - px) + (c.y - py) * (c.y - py))
        if (d > radius)
            continue
        if (d < bestD || (d === bestD && c.kind === "vehicle" && best.kind !== "vehicle")) {
            best = c
            bestD = d
        }
    }
    return best
}
