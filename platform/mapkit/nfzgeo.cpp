#include "nfzgeo.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace nfzgeo {

namespace {

constexpr double kEarthRadiusM = 6378137.0;
constexpr double kDegToRad = std::numbers::pi / 180.0;
constexpr size_t kMinCircleVertices = 12;
constexpr double kCircleTolerance = 0.05;

using Point = NfzRecord::Point;

// > 0 when o -> a -> b turns left (counter-clockwise, longitude east, latitude north).
double cross(const Point& o, const Point& a, const Point& b)
{
    return (a.lon - o.lon) * (b.lat - o.lat) - (a.lat - o.lat) * (b.lon - o.lon);
}

int sign(double v)
{
    return (v > 0) - (v < 0);
}

bool same(const Point& a, const Point& b)
{
    return a.lat == b.lat && a.lon == b.lon;
}

// r, collinear with p and q, lies on the segment pq.
bool onSegment(const Point& p, const Point& q, const Point& r)
{
    return std::min(p.lon, q.lon) <= r.lon && r.lon <= std::max(p.lon, q.lon) && std::min(p.lat, q.lat) <= r.lat &&
           r.lat <= std::max(p.lat, q.lat);
}

// Closed segments ab and cd share at least one point.
bool segmentsMeet(const Point& a, const Point& b, const Point& c, const Point& d)
{
    const int d1 = sign(cross(a, b, c));
    const int d2 = sign(cross(a, b, d));
    const int d3 = sign(cross(c, d, a));
    const int d4 = sign(cross(c, d, b));
    if (d1 * d2 < 0 && d3 * d4 < 0)
        return true;
    return (d1 == 0 && onSegment(a, b, c)) || (d2 == 0 && onSegment(a, b, d)) || (d3 == 0 && onSegment(c, d, a)) ||
           (d4 == 0 && onSegment(c, d, b));
}

bool validLatLon(double lat, double lon)
{
    return std::isfinite(lat) && std::isfinite(lon) && lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon <= 180.0;
}

}  // namespace

bool isPolylineCirclePolygon(const NfzRecord& record)
{
    if (record.type != NfzRecord::Type::Polygon)
        return false;
    std::vector<NfzRecord::Point> pts = record.points;
    if (pts.size() > 1 && pts.front().lat == pts.back().lat && pts.front().lon == pts.back().lon)
        pts.pop_back();  // a closed ring repeats its first vertex
    if (pts.size() < kMinCircleVertices)
        return false;

    double cLat = 0.0;
    double cLon = 0.0;
    for (const auto& p : pts) {
        cLat += p.lat;
        cLon += p.lon;
    }
    cLat /= double(pts.size());
    cLon /= double(pts.size());

    const double metresPerDegLat = kEarthRadiusM * kDegToRad;
    const double metresPerDegLon = metresPerDegLat * std::cos(cLat * kDegToRad);
    std::vector<double> dist;
    dist.reserve(pts.size());
    double mean = 0.0;
    for (const auto& p : pts) {
        const double d = std::hypot((p.lat - cLat) * metresPerDegLat, (p.lon - cLon) * metresPerDegLon);
        dist.push_back(d);
        mean += d;
    }
    mean /= double(dist.size());
    if (!(mean > 0.0))
        return false;
    return std::all_of(dist.begin(), dist.end(),
                       [mean](double d) { return std::abs(d - mean) <= kCircleTolerance * mean; });
}

bool nfzRecordBboxValid(const NfzRecord& r)
{
    return validLatLon(r.minLat, r.minLon) && validLatLon(r.maxLat, r.maxLon) && r.minLat < r.maxLat &&
           r.minLon < r.maxLon;
}

bool bboxFromCircle(double centerLat, double centerLon, double radiusM, double& minLat, double& minLon, double& maxLat,
                    double& maxLon)
{
    if (!validLatLon(centerLat, centerLon) || !std::isfinite(radiusM) || radiusM <= 0.0)
        return false;
    const double dLat = radiusM / kEarthRadiusM / kDegToRad;
    minLat = std::max(-90.0, centerLat - dLat);
    maxLat = std::min(90.0, centerLat + dLat);
    if (minLat == -90.0 || maxLat == 90.0) {
        // A circle around a pole reaches every longitude.
        minLon = -180.0;
        maxLon = 180.0;
        return true;
    }
    const double dLon = dLat / std::cos(centerLat * kDegToRad);
    minLon = std::max(-180.0, centerLon - dLon);
    maxLon = std::min(180.0, centerLon + dLon);
    return true;
}

void bboxToFourVertices(double minLat, double maxLat, double minLon, double maxLon, std::array<double, 4>& lats,
                        std::array<double, 4>& lons)
{
    lats = {minLat, minLat, maxLat, maxLat};
    lons = {minLon, maxLon, maxLon, minLon};
}

Ring openRing(const Ring& points)
{
    Ring out;
    out.reserve(points.size());
    for (const auto& p : points) {
        if (out.empty() || !same(out.back(), p))
            out.push_back(p);
    }
    while (out.size() > 1 && same(out.front(), out.back()))
        out.pop_back();
    return out;
}

bool crossesAntimeridian(const Ring& ring)
{
    for (size_t i = 0; i < ring.size(); ++i) {
        if (std::abs(ring[(i + 1) % ring.size()].lon - ring[i].lon) > 180.0)
            return true;
    }
    return false;
}

bool circleCrossesAntimeridian(double centerLat, double centerLon, double radiusM)
{
    double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
    if (!bboxFromCircle(centerLat, centerLon, radiusM, minLat, minLon, maxLat, maxLon))
        return false;
    if (minLat == -90.0 || maxLat == 90.0)
        return false;
    const double dLon = radiusM / kEarthRadiusM / kDegToRad / std::cos(centerLat * kDegToRad);
    return centerLon - dLon < -180.0 || centerLon + dLon > 180.0;
}

bool isSimplePolygon(const Ring& ring)
{
    const size_t n = ring.size();
    if (n < 3)
        return false;
    struct Edge {
        double lo, hi;
        size_t from;
    };
    std::vector<Edge> edges(n);
    for (size_t i = 0; i < n; ++i) {
        const Point& a = ring[i];
        const Point& b = ring[(i + 1) % n];
        edges[i] = {std::min(a.lon, b.lon), std::max(a.lon, b.lon), i};
    }
    std::sort(edges.begin(), edges.end(), [](const Edge& x, const Edge& y) { return x.lo < y.lo; });
    for (size_t k = 0; k < n; ++k) {
        for (size_t m = k + 1; m < n && edges[m].lo <= edges[k].hi; ++m) {
            size_t i = edges[k].from;
            size_t j = edges[m].from;
            if ((i + 1) % n != j && (j + 1) % n != i) {
                if (segmentsMeet(ring[i], ring[(i + 1) % n], ring[j], ring[(j + 1) % n]))
                    return false;
                continue;
            }
            // Consecutive edges p -> q -> r share q; they overlap only when r turns straight back.
            if ((j + 1) % n == i)
                std::swap(i, j);
            const Point& p = ring[i];
            const Point& q = ring[j];
            const Point& r = ring[(j + 1) % n];
            const double dot = (q.lon - p.lon) * (r.lon - q.lon) + (q.lat - p.lat) * (r.lat - q.lat);
            if (cross(p, q, r) == 0.0 && dot < 0.0)
                return false;
        }
    }
    return true;
}

Ring convexHull(Ring points)
{
    std::sort(points.begin(), points.end(),
              [](const Point& a, const Point& b) { return a.lon < b.lon || (a.lon == b.lon && a.lat < b.lat); });
    points.erase(std::unique(points.begin(), points.end(), same), points.end());
    if (points.size() < 3)
        return points;
    Ring hull(2 * points.size());
    size_t k = 0;
    for (const auto& p : points) {
        while (k >= 2 && cross(hull[k - 2], hull[k - 1], p) <= 0)
            --k;
        hull[k++] = p;
    }
    for (size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && cross(hull[k - 2], hull[k - 1], points[i]) <= 0)
            --k;
        hull[k++] = points[i];
    }
    hull.resize(k - 1);  // the last point is the first again
    return hull;
}

double ringArea(const Ring& ring)
{
    if (ring.size() < 3)
        return 0.0;
    // Around the first vertex: small zones far from (0, 0) keep their digits.
    double twice = 0.0;
    for (size_t i = 1; i + 1 < ring.size(); ++i)
        twice += cross(ring[0], ring[i], ring[i + 1]);
    return std::abs(twice) / 2.0;
}

}  // namespace nfzgeo
