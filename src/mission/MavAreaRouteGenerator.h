#pragma once
// Turns an area route configuration into the positions of a back-and-forth survey pattern:
// parallel scan lines at the configured angle and spacing, clipped to the polygon, alternating
// direction from line to line. Works on a local equirectangular plane around the mean vertex.
//
// Every failure (no config, fewer than 3 vertices, a polygon across the 180° meridian, spacing
// not > 0, coordinates that turn non-finite, more than kMaxWayPointCount positions) returns an
// empty list and logs one line. The local plane cannot take an area across the meridian.
// The scan is an active-edge sweep: each edge is filed under the first scan line that reaches it,
// so a polygon of many vertices costs one pass over its edges plus the edges alive on each line.
// The result equals, position for position and bit for bit, testing every edge on every line.
// Stateless; any thread.

#include <QList>

#include <utility>

class MavAreaRouteConfig;

class MavAreaRouteGenerator {
public:
    struct LocalPoint {
        double x;  // m, east
        double y;  // m, north
    };

    static constexpr int kMaxWayPointCount = 255;

    // (latitude, longitude) pairs in degrees.
    static QList<std::pair<double, double>> generate(const MavAreaRouteConfig* config);
    // True when some edge (the closing one too) has its ends' longitudes more than 180° apart,
    // so its short way crosses ±180°.
    static bool crossesAntimeridian(const QList<std::pair<double, double>>& polygon);

    static LocalPoint toLocal(double lat, double lon, double refLat, double refLon);
    static std::pair<double, double> fromLocal(double x, double y, double refLat, double refLon);
    // Counter-clockwise by the angle whose cosine is c and sine is s.
    static LocalPoint rotatePoint(const LocalPoint& p, double c, double s);
    // Half-open: the lower end of an edge counts, the upper does not, a horizontal edge never.
    static bool segmentScanLineIntersect(const LocalPoint& a, const LocalPoint& b, double y, double& x);
};
