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

bool validLatLon(double lat, double lon)
{
    return std::isfinite(lat) && std::isfinite(lon) && lat >= -90.0 && lat <= 90.0 && lon >= -180.0
        && lon <= 180.0;
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
    return validLatLon(r.minLat, r.minLon) && validLatLon(r.maxLat, r.maxLon) && r.minLat < r.maxLat
        && r.minLon < r.maxLon;
}

bool bboxFromCircle(double centerLat, double centerLon, double radiusM,
                    double& minLat, double& minLon, double& maxLat, double& maxLon)
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

void bboxToFourVertices(double minLat, double maxLat, double minLon, double maxLon,
                        std::array<double, 4>& lats, std::array<double, 4>& lons)
{
    lats = {minLat, minLat, maxLat, maxLat};
    lons = {minLon, maxLon, maxLon, minLon};
}

}  // namespace nfzgeo
