#include "MavAreaRouteGenerator.h"

#include "mission/MavAreaRouteConfig.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kEarthRadius = 6378137.0;
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

// An edge from polygon vertex i to i + 1, ends kept in that order so its crossings are computed
// exactly as the per-line test computes them.
struct Edge {
    MavAreaRouteGenerator::LocalPoint a;
    MavAreaRouteGenerator::LocalPoint b;
    double highY;
};

}  // namespace

MavAreaRouteGenerator::LocalPoint MavAreaRouteGenerator::toLocal(double lat, double lon, double refLat, double refLon)
{
    return {std::cos(refLat * kDegToRad) * (lon - refLon) * kDegToRad * kEarthRadius,
            (lat - refLat) * kDegToRad * kEarthRadius};
}

std::pair<double, double> MavAreaRouteGenerator::fromLocal(double x, double y, double refLat, double refLon)
{
    return {y / kEarthRadius * kRadToDeg + refLat,
            x / kEarthRadius * kRadToDeg / std::cos(refLat * kDegToRad) + refLon};
}

MavAreaRouteGenerator::LocalPoint MavAreaRouteGenerator::rotatePoint(const LocalPoint& p, double c, double s)
{
    return {p.x * c - p.y * s, p.x * s + p.y * c};
}

bool MavAreaRouteGenerator::segmentScanLineIntersect(const LocalPoint& a, const LocalPoint& b, double y, double& x)
{
    if ((a.y <= y && y < b.y) || (b.y <= y && y < a.y)) {
        x = a.x + (y - a.y) / (b.y - a.y) * (b.x - a.x);
        return true;
    }
    return false;
}

bool MavAreaRouteGenerator::crossesAntimeridian(const QList<std::pair<double, double>>& polygon)
{
    for (qsizetype i = 0; i < polygon.size(); ++i) {
        if (std::abs(polygon[(i + 1) % polygon.size()].second - polygon[i].second) > 180.0)
            return true;
    }
    return false;
}

QList<std::pair<double, double>> MavAreaRouteGenerator::generate(const MavAreaRouteConfig* config)
{
    if (!config) {
        spdlog::warn("<AreaRouteGenerator> config is null");
        return {};
    }
    const QList<std::pair<double, double>> vertices = config->polygonVertices();
    const qsizetype n = vertices.size();
    if (n < 3) {
        spdlog::warn("<AreaRouteGenerator> polygon has fewer than 3 vertices");
        return {};
    }
    if (crossesAntimeridian(vertices)) {
        spdlog::warn("<AreaRouteGenerator> polygon crosses the 180° meridian, not generated");
        return {};
    }
    const double spacing = config->lineSpacing();
    if (!(spacing > 0)) {
        spdlog::warn("<AreaRouteGenerator> lineSpacing must be > 0");
        return {};
    }

    double refLat = 0;
    double refLon = 0;
    for (const auto& [lat, lon] : vertices) {
        refLat += lat;
        refLon += lon;
    }
    refLat /= double(n);
    refLon /= double(n);

    // toLocal with its cosine taken once: the same expression, so the same doubles.
    const double refCos = std::cos(refLat * kDegToRad);
    const double theta = config->angle() * kDegToRad;
    const double toC = std::cos(-theta);
    const double toS = std::sin(-theta);
    std::vector<LocalPoint> rotated(static_cast<size_t>(n));
    double minY = 0;
    double maxY = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const auto& [lat, lon] = vertices[i];
        const LocalPoint local{refCos * (lon - refLon) * kDegToRad * kEarthRadius,
                               (lat - refLat) * kDegToRad * kEarthRadius};
        const LocalPoint r = rotatePoint(local, toC, toS);
        if (!std::isfinite(r.x) || !std::isfinite(r.y)) {
            spdlog::warn("<AreaRouteGenerator> polygon or angle gives non-finite coordinates");
            return {};
        }
        rotated[size_t(i)] = r;
        minY = i == 0 ? r.y : std::min(minY, r.y);
        maxY = i == 0 ? r.y : std::max(maxY, r.y);
    }

    // Every line with minY <= y < maxY crosses the closed boundary at least twice, so past
    // kMaxWayPointCount / 2 + 1 such lines the count has passed the limit; one more line may sit
    // exactly on maxY. No line beyond these can be reached.
    std::vector<double> lines;
    for (double y = minY + spacing * 0.5; y <= maxY && int(lines.size()) < kMaxWayPointCount / 2 + 2; y += spacing)
        lines.push_back(y);

    // File each edge under the first line at or above its lower end, if that line is below its
    // upper end (counting sort into one flat array).
    std::vector<int> firstLine(size_t(n), -1);
    std::vector<int> bucketStart(lines.size() + 1, 0);
    for (qsizetype i = 0; i < n; ++i) {
        const LocalPoint& a = rotated[size_t(i)];
        const LocalPoint& b = rotated[size_t((i + 1) % n)];
        if (a.y == b.y)
            continue;
        const double lowY = std::min(a.y, b.y);
        const double highY = std::max(a.y, b.y);
        const auto it = std::lower_bound(lines.begin(), lines.end(), lowY);
        if (it == lines.end() || !(*it < highY))
            continue;
        firstLine[size_t(i)] = int(it - lines.begin());
        ++bucketStart[size_t(firstLine[size_t(i)]) + 1];
    }
    for (size_t k = 1; k < bucketStart.size(); ++k)
        bucketStart[k] += bucketStart[k - 1];
    std::vector<Edge> buckets(size_t(bucketStart.back()));
    {
        std::vector<int> fill(bucketStart.begin(), bucketStart.end() - 1);
        for (qsizetype i = 0; i < n; ++i) {
            const int k = firstLine[size_t(i)];
            if (k < 0)
                continue;
            const LocalPoint& a = rotated[size_t(i)];
            const LocalPoint& b = rotated[size_t((i + 1) % n)];
            buckets[size_t(fill[size_t(k)]++)] = Edge{a, b, std::max(a.y, b.y)};
        }
    }

    const double backC = std::cos(theta);
    const double backS = std::sin(theta);
    const auto toLatLon = [&](double x, double y) {
        const LocalPoint p = rotatePoint(LocalPoint{x, y}, backC, backS);
        return fromLocal(p.x, p.y, refLat, refLon);
    };

    QList<std::pair<double, double>> positions;
    std::vector<Edge> active;
    std::vector<double> xs;
    bool forward = true;
    for (size_t k = 0; k < lines.size(); ++k) {
        const double y = lines[k];
        active.insert(active.end(), buckets.begin() + bucketStart[k], buckets.begin() + bucketStart[k + 1]);
        xs.clear();
        for (size_t e = 0; e < active.size();) {
            double x = 0;
            if (!segmentScanLineIntersect(active[e].a, active[e].b, y, x)) {
                // Lines only rise, so an edge the line has passed never comes back.
                active[e] = active.back();
                active.pop_back();
                continue;
            }
            xs.push_back(x);
            ++e;
        }
        if (xs.size() < 2)
            continue;
        std::sort(xs.begin(), xs.end());
        for (size_t i = 1; i < xs.size(); i += 2) {
            const auto start = toLatLon(xs[i - 1], y);
            const auto end = toLatLon(xs[i], y);
            positions.append(forward ? start : end);
            positions.append(forward ? end : start);
        }
        forward = !forward;
        if (positions.size() > kMaxWayPointCount) {
            spdlog::warn("<AreaRouteGenerator> waypoint count would exceed {}, aborting. Increase line spacing or "
                         "reduce area.",
                         kMaxWayPointCount);
            return {};
        }
    }

    if (positions.isEmpty())
        spdlog::warn("<AreaRouteGenerator> no waypoints generated, check polygon and spacing");
    else
        spdlog::info("<AreaRouteGenerator> generated {} waypoints", positions.size());
    return positions;
}
