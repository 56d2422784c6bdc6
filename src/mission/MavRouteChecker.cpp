#include "MavRouteChecker.h"

#include "mission/MavFlightRouteDataItem.h"

#include <spdlog/spdlog.h>

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace {

constexpr double kEarthRadiusM = 6378137.0;  // the zone manager's sphere
constexpr double kDegToRad = std::numbers::pi / 180.0;
constexpr int kMaxWayPoints = 255;
// A zone must lie within kZoneReach of its centre; legs are clipped to kLegCap around it. The
// gap keeps every projected point well away from the projection's horizon at 90°.
const double kCosZoneReach = std::cos(80.0 * kDegToRad);
const double kCosLegCap = std::cos(85.0 * kDegToRad);

struct Vec3 {
    double x, y, z;
};
Vec3 operator+(Vec3 a, Vec3 b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec3 operator*(Vec3 a, double k)
{
    return {a.x * k, a.y * k, a.z * k};
}
double dot(Vec3 a, Vec3 b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 cross(Vec3 a, Vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double norm(Vec3 a)
{
    return std::sqrt(dot(a, a));
}
Vec3 unitVector(double lat, double lon)
{
    const double la = lat * kDegToRad, lo = lon * kDegToRad;
    return {std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo), std::sin(la)};
}

struct Pt {
    double x, y;
};
double orient(Pt a, Pt b, Pt c)
{
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}
bool within(Pt a, Pt b, Pt c)  // c on the line ab: is it between a and b?
{
    return std::min(a.x, b.x) <= c.x && c.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= c.y &&
           c.y <= std::max(a.y, b.y);
}
bool segmentsMeet(Pt a, Pt b, Pt c, Pt d)
{
    const double o1 = orient(a, b, c), o2 = orient(a, b, d), o3 = orient(c, d, a), o4 = orient(c, d, b);
    if (((o1 > 0 && o2 < 0) || (o1 < 0 && o2 > 0)) && ((o3 > 0 && o4 < 0) || (o3 < 0 && o4 > 0)))
        return true;
    return (o1 == 0 && within(a, b, c)) || (o2 == 0 && within(a, b, d)) || (o3 == 0 && within(c, d, a)) ||
           (o4 == 0 && within(c, d, b));
}
double distanceToOrigin(Pt a, Pt b)
{
    const double dx = b.x - a.x, dy = b.y - a.y, len2 = dx * dx + dy * dy;
    const double t = len2 > 0 ? std::clamp(-(a.x * dx + a.y * dy) / len2, 0.0, 1.0) : 0.0;
    return std::hypot(a.x + t * dx, a.y + t * dy);
}

bool validLatLon(double lat, double lon)
{
    return std::isfinite(lat) && std::isfinite(lon) && lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180;
}

// A zone in the gnomonic projection around its centre (tangent-plane units: tan of the angle).
struct ZoneView {
    Vec3 centre{}, east{}, north{};
    double cosReach = 1;  // nothing of the zone is farther from the centre than this
    bool circle = false;
    double planeRadius = 0;
    std::vector<Pt> ring;

    Pt project(Vec3 p) const
    {
        const double d = dot(p, centre);
        return {dot(p, east) / d, dot(p, north) / d};
    }
    bool contains(Pt p) const
    {
        if (circle)
            return std::hypot(p.x, p.y) <= planeRadius;
        bool in = false;  // even-odd
        for (size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
            if ((ring[i].y > p.y) != (ring[j].y > p.y) &&
                p.x < (ring[j].x - ring[i].x) * (p.y - ring[i].y) / (ring[j].y - ring[i].y) + ring[i].x)
                in = !in;
        }
        return in;
    }
    // The distance test first: cheap, and it keeps far points (and the far side) off the plane.
    bool containsPoint(Vec3 p) const { return dot(p, centre) >= cosReach - 1e-12 && contains(project(p)); }
    bool segmentEnters(Pt a, Pt b) const
    {
        if (circle)
            return distanceToOrigin(a, b) <= planeRadius;
        if (contains(a) || contains(b))
            return true;
        for (size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
            if (segmentsMeet(a, b, ring[j], ring[i]))
                return true;
        }
        return false;
    }
};

enum class ZoneKind { Usable, NoArea, Unusable };

ZoneKind makeView(const NfzRecord& zone, ZoneView& v)
{
    std::vector<Vec3> points;
    if (zone.type == NfzRecord::Type::Circle) {
        if (!validLatLon(zone.center.lat, zone.center.lon) || std::isnan(zone.radius))
            return ZoneKind::Unusable;
        if (!(zone.radius > 0))
            return ZoneKind::NoArea;
        v.circle = true;
        v.centre = unitVector(zone.center.lat, zone.center.lon);
        v.cosReach = std::cos(zone.radius / kEarthRadiusM);
        // A small circle around the projection's centre projects to an exact circle.
        v.planeRadius = std::tan(zone.radius / kEarthRadiusM);
    } else {
        Vec3 sum{0, 0, 0};
        for (const auto& p : zone.points) {
            if (!validLatLon(p.lat, p.lon))
                return ZoneKind::Unusable;
            points.push_back(unitVector(p.lat, p.lon));
            sum = sum + points.back();
        }
        size_t edges = 0;  // of non-zero length; a closing vertex repeating the first adds none
        for (size_t i = 0; i < points.size(); ++i)
            edges += norm(cross(points[i], points[(i + 1) % points.size()])) > 0 ? 1 : 0;
        if (edges < 3)
            return ZoneKind::NoArea;
        if (!(norm(sum) > 1e-9))
            return ZoneKind::Unusable;
        // The mean of unit vectors, not of degrees: right across the 180° meridian too.
        v.centre = sum * (1 / norm(sum));
        for (const auto& p : points)
            v.cosReach = std::min(v.cosReach, dot(p, v.centre));
    }
    if (v.cosReach < kCosZoneReach)
        return ZoneKind::Unusable;
    const Vec3 pole{0, 0, 1};
    const Vec3 e = cross(pole, v.centre);
    v.east = norm(e) > 1e-12 ? e * (1 / norm(e)) : Vec3{0, 1, 0};
    v.north = cross(v.centre, v.east);
    for (const auto& p : points)
        v.ring.push_back(v.project(p));
    return ZoneKind::Usable;
}

// The part of the short great-circle arc a-b that lies within kLegCap of the zone's centre, as
// a projected segment; false when the arc cannot reach the zone at all.
bool legInView(Vec3 a, Vec3 b, const ZoneView& z, Pt& from, Pt& to)
{
    const Vec3 n = cross(a, b);
    const double s = norm(n);
    if (!(s > 1e-15))
        return false;  // same point (the waypoint check covers it) or antipodal
    const double span = std::atan2(s, dot(a, b));
    const Vec3 u = cross(n, a) * (1 / s);  // unit, perpendicular to a, towards b
    // Along the arc, the cosine of the distance to the centre is fa cos t + fu sin t.
    const double fa = dot(z.centre, a), fu = dot(z.centre, u);
    const double amp = std::hypot(fa, fu), peak = std::atan2(fu, fa);
    const auto at = [&](double t) { return a * std::cos(t) + u * std::sin(t); };
    double closest = std::max(fa, dot(z.centre, b));
    for (int k = -1; k <= 1; ++k) {
        const double t = peak + 2 * std::numbers::pi * k;
        if (t >= 0 && t <= span)
            closest = amp;
    }
    if (closest < z.cosReach - 1e-12 || amp <= kCosLegCap)
        return false;
    // The arc's piece within the cap is one interval around the peak (cap under 90°, arc <= 180°).
    const double half = std::acos(kCosLegCap / amp);
    for (int k = -1; k <= 1; ++k) {
        const double lo = std::max(0.0, peak - half + 2 * std::numbers::pi * k);
        const double hi = std::min(span, peak + half + 2 * std::numbers::pi * k);
        if (lo <= hi) {
            from = z.project(at(lo));
            to = z.project(at(hi));
            return true;
        }
    }
    return false;
}

QString num(double v)
{
    return QString::number(v, 'g', 10);
}

}  // namespace

std::vector<MavRouteFinding> MavRouteChecker::check(const MavFlightRouteDataItem& route, const MavRouteLimits& limits,
                                                    const std::vector<NfzRecord>& zones, const MavRoutePlaces& places)
{
    std::vector<MavRouteFinding> out;
    const auto add = [&out](int wp, const char* rule, const QString& text, int64_t zoneId = 0) {
        out.push_back({wp, QString::fromLatin1(rule), text, zoneId, MavRouteFinding::Kind::Violation});
    };

    std::vector<std::shared_ptr<MavWayPointDataItem>> wps;
    for (const auto& wp : route.wayPointList()) {
        if (wp)
            wps.push_back(wp);
    }
    const int n = int(wps.size());
    if (n == 0)
        add(0, "count", QStringLiteral("The route has no waypoints."));
    else if (n > kMaxWayPoints)
        add(0, "count",
            QStringLiteral("The route has %1 waypoints; at most %2 fit in a mission.").arg(n).arg(kMaxWayPoints));

    const auto usableLimit = [&](const std::optional<double>& limit, const char* rule, const char* what) {
        if (!limit)
            return false;
        if (std::isfinite(*limit) && *limit > 0)
            return true;
        add(0, rule,
            QStringLiteral(
                "The vehicle's %1 limit (%2) is not a positive number; the route was not checked against it.")
                .arg(QLatin1String(what), num(*limit)));
        return false;
    };
    const bool altLimit = usableLimit(limits.maxAltM, "altitude", "altitude");
    const bool speedLimit = usableLimit(limits.maxHorSpeedMps, "speed", "horizontal speed");

    std::vector<bool> placed(size_t(n), false);
    std::vector<Vec3> where(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const auto& wp = *wps[size_t(i)];
        const int place = i + 1;
        if (n <= kMaxWayPoints) {
            if (wp.number() != place)
                add(place, "number",
                    QStringLiteral("Waypoint %1 is numbered %2; the waypoints must be numbered 1 to %3 in order.")
                        .arg(place)
                        .arg(wp.number())
                        .arg(n));
            const int next = wp.nextWp();
            const bool ends = place == n && (next == 0 || next == n + 1);
            if (!ends && (next < 1 || next > n))
                add(place, "nextWp",
                    QStringLiteral("Waypoint %1 names %2 as its next waypoint, but the route has waypoints 1 to %3%4.")
                        .arg(place)
                        .arg(next)
                        .arg(n)
                        .arg(place == n ? QStringLiteral(" (or %1 or 0 to end there)").arg(n + 1) : QString()));
        }
        if (validLatLon(wp.lat(), wp.lon())) {
            placed[size_t(i)] = true;
            where[size_t(i)] = unitVector(wp.lat(), wp.lon());
        } else {
            add(place, "position",
                QStringLiteral("Waypoint %1 has latitude %2 and longitude %3; they must be finite and "
                               "within -90 to 90 and -180 to 180.")
                    .arg(place)
                    .arg(num(wp.lat()), num(wp.lon())));
        }
        if (!(std::isfinite(wp.alt()) && wp.alt() > 0))
            add(place, "altitude",
                QStringLiteral("Waypoint %1 has altitude %2 m; it must be above 0 m.").arg(place).arg(num(wp.alt())));
        else if (altLimit && wp.alt() > *limits.maxAltM)
            add(place, "altitude",
                QStringLiteral("Waypoint %1 has altitude %2 m, above the vehicle's limit of %3 m.")
                    .arg(place)
                    .arg(num(wp.alt()), num(*limits.maxAltM)));
        if (!(std::isfinite(wp.vel()) && wp.vel() >= 0))
            add(place, "speed",
                QStringLiteral("Waypoint %1 has speed %2 m/s; it must be 0 (the vehicle's default) or more.")
                    .arg(place)
                    .arg(num(wp.vel())));
        else if (speedLimit && wp.vel() > *limits.maxHorSpeedMps)
            add(place, "speed",
                QStringLiteral("Waypoint %1 has speed %2 m/s, above the vehicle's limit of %3 m/s.")
                    .arg(place)
                    .arg(num(wp.vel()), num(*limits.maxHorSpeedMps)));
    }

    // The path the vehicle flies: from waypoint 1 along nextWp until it ends or comes back.
    std::vector<int> order;  // places, in flown order
    int loopTo = 0;  // the place the last one leads back to; 0: the route ends
    if (n >= 1 && n <= kMaxWayPoints) {
        std::vector<bool> seen(size_t(n) + 1, false);
        for (int cur = 1;;) {
            seen[size_t(cur)] = true;
            order.push_back(cur);
            const int next = wps[size_t(cur) - 1]->nextWp();
            if (next < 1 || next > n)
                break;
            if (seen[size_t(next)]) {
                loopTo = next;
                break;
            }
            cur = next;
        }
        if (loopTo != 0) {
            QStringList loop;
            for (auto it = std::find(order.begin(), order.end(), loopTo); it != order.end(); ++it)
                loop << QString::number(*it);
            add(order.back(), "nextWp",
                QStringLiteral("Waypoint %1 leads back to waypoint %2 and nothing leaves the loop %3: the vehicle "
                               "flies it until it gives up, then hovers where it is.")
                    .arg(order.back())
                    .arg(loopTo)
                    .arg(loop.join(QStringLiteral("-")) + QStringLiteral("-") + QString::number(loopTo)));
        }
        for (int place = 1; place <= n; ++place) {
            if (!seen[size_t(place)])
                add(place, "unreachable",
                    QStringLiteral("Waypoint %1 is never flown: following nextWp from waypoint 1 does not reach it.")
                        .arg(place));
        }
    }

    // Its legs, each once whatever its direction: between waypoints in flown order, back into a
    // loop, back to the start for a repeat, from where the vehicle is, and home from a final return.
    struct Leg {
        Vec3 a{}, b{};
        int from = 0, to = 0;  // places; 0 for a point that is not a waypoint
        int reportAt = 0;
        QString name;  // "%1" is the zone
    };
    std::vector<Leg> legs;
    std::set<std::pair<int, int>> legsTaken;
    const auto wayPointLeg = [&](int from, int to, const QString& name) {
        if (from == to || !placed[size_t(from) - 1] || !placed[size_t(to) - 1] ||
            !legsTaken.insert({std::min(from, to), std::max(from, to)}).second)
            return;
        legs.push_back({where[size_t(from) - 1], where[size_t(to) - 1], from, to, from, name});
    };
    for (size_t k = 0; k + 1 < order.size(); ++k)
        wayPointLeg(order[k], order[k + 1],
                    QStringLiteral("The route's leg %1-%2 enters no-fly zone %3.").arg(order[k]).arg(order[k + 1]));
    if (loopTo != 0)
        wayPointLeg(order.back(), loopTo,
                    QStringLiteral("The route's leg %1-%2 enters no-fly zone %3.").arg(order.back()).arg(loopTo));
    else if (route.repeatTimes() > 0 && order.size() > 1)
        wayPointLeg(order.back(), order.front(),
                    QStringLiteral("The route's repeat leg %1-%2 (it is flown %3 more times) enters no-fly zone %4.")
                        .arg(order.back())
                        .arg(order.front())
                        .arg(route.repeatTimes()));
    const auto pointOk = [](const std::optional<NfzRecord::Point>& p) { return p && validLatLon(p->lat, p->lon); };
    if (!order.empty()) {
        const int first = order.front();
        const QString from = places.startIsHome ? QStringLiteral("home") : QStringLiteral("the vehicle's position");
        if (pointOk(places.start)) {
            if (placed[size_t(first) - 1])
                legs.push_back(
                    {unitVector(places.start->lat, places.start->lon), where[size_t(first) - 1], 0, first, first,
                     QStringLiteral("The leg from %1 to waypoint %2 enters no-fly zone %3.").arg(from).arg(first)});
        } else if (places.given) {
            out.push_back({first, QStringLiteral("zone"),
                           QStringLiteral("The leg to waypoint %1 was not checked against no-fly zones: neither the "
                                          "vehicle's position nor its home is known.")
                               .arg(first),
                           0, MavRouteFinding::Kind::Unchecked});
        }
        // A route that ends in a return waypoint goes on home from there.
        const int last = order.back();
        if (loopTo == 0 && wps[size_t(last) - 1]->type() == MAVPROTO_WP_RETURN) {
            int fromPlace = 0;
            for (auto it = order.rbegin(); it != order.rend() && !fromPlace; ++it)
                fromPlace = placed[size_t(*it) - 1] ? *it : 0;
            if (pointOk(places.home) && fromPlace)
                legs.push_back(
                    {where[size_t(fromPlace) - 1], unitVector(places.home->lat, places.home->lon), fromPlace, 0, last,
                     QStringLiteral("The return from waypoint %1 to home enters no-fly zone %2.").arg(fromPlace)});
            else if (places.given && !pointOk(places.home))
                out.push_back({last, QStringLiteral("zone"),
                               QStringLiteral("The return from waypoint %1 to home was not checked against no-fly "
                                              "zones: the vehicle's home is not known.")
                                   .arg(last),
                               0, MavRouteFinding::Kind::Unchecked});
        }
    }

    for (const auto& zone : zones) {
        ZoneView view;
        const ZoneKind kind = makeView(zone, view);
        if (kind == ZoneKind::NoArea)
            continue;
        if (kind == ZoneKind::Unusable) {
            add(0, "zone",
                QStringLiteral("No-fly zone %1 has coordinates out of range or reaches more than 80° from its centre; "
                               "the route was not checked against it.")
                    .arg(zone.id),
                zone.id);
            continue;
        }
        std::vector<bool> inside(size_t(n) + 1, false);  // by place
        for (int i = 0; i < n; ++i) {
            inside[size_t(i) + 1] = placed[size_t(i)] && view.containsPoint(where[size_t(i)]);
            if (inside[size_t(i) + 1])
                add(i + 1, "zone", QStringLiteral("Waypoint %1 is inside no-fly zone %2.").arg(i + 1).arg(zone.id),
                    zone.id);
        }
        for (const auto& leg : legs) {
            if (inside[size_t(leg.from)] || inside[size_t(leg.to)])  // place 0 is never "inside"
                continue;
            Pt from{}, to{};
            if (legInView(leg.a, leg.b, view, from, to) && view.segmentEnters(from, to))
                add(leg.reportAt, "zone", leg.name.arg(zone.id), zone.id);
        }
    }

    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.wayPoint < b.wayPoint; });
    for (const auto& f : out)
        spdlog::warn("<RouteCheck> route \"{}\": {}", route.name().toStdString(), f.text.toStdString());
    return out;
}

std::vector<MavRouteFinding> MavRouteCheckReport::violations() const
{
    std::vector<MavRouteFinding> out;
    for (const auto& f : findings)
        if (f.kind == MavRouteFinding::Kind::Violation)
            out.push_back(f);
    return out;
}
