#pragma once
// Checks a route before it flies: waypoint count, numbering, nextWp targets, positions,
// altitudes and speeds against the vehicle's limits, and no-fly zones. Returns every finding;
// an empty list means the route may go. Only geometry and comparisons: no signals, no state.
//
// Findings name waypoints by their 1-based place in the list, which equals their number on a
// well-numbered route (a "number" finding says when it does not). wayPoint 0 is the whole route.
// Rule keys: "count", "number", "nextWp", "position", "altitude", "speed", "zone".
//
// Choices:
// - Over 255 waypoints the numbers have wrapped in 8 bits, so "number" and "nextWp" are not
//   checked; the other rules still are.
// - nextWp must name a waypoint 1..N; the last may also hold N + 1 (or 0) for "the route ends".
// - A limit that is given but not a positive finite number gives one route-wide finding of its
//   rule instead of being silently ignored.
// - Zones: each zone is seen through a gnomonic projection around its centre, where great
//   circles are straight lines and a circle zone stays an exact circle, so a leg is tested as
//   one segment whatever its length (clipped to the part within 85° of the zone) and whatever
//   side of the 180° meridian its ends are on. Polygon edges count as great-circle arcs: within
//   a couple of metres of the map's straight edges for zones of ten kilometres. A leg touching
//   a zone's edge enters it.
// - A waypoint inside a zone is one finding; a leg is reported only when neither of its ends is
//   inside that zone, so one fault is not reported three times.
// - Zones without area (under 3 vertices, radius not > 0) cannot be entered and are skipped; a
//   zone reaching more than 80° from its centre, or with coordinates out of range, cannot be
//   projected and gives a route-wide "zone" finding.
// - A waypoint with a bad position takes no part in the zone rule. Antipodal legs (no unique
//   great circle) are not checked against zones.
// Every finding is also logged as a warning under "<RouteCheck>". Stateless; call it on the
// route's thread (the main one).

#include "NfzRecord.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class MavFlightRouteDataItem;

struct MavRouteFinding {
    int wayPoint = 0;  // 1-based place in the route; 0: the whole route
    QString rule;
    QString text;
    int64_t zoneId = 0;  // "zone" findings only
};

// Known only once the vehicle's basic parameters were read.
struct MavRouteLimits {
    std::optional<double> maxAltM;
    std::optional<double> maxHorSpeedMps;
};

class MavRouteChecker {
public:
    static std::vector<MavRouteFinding> check(const MavFlightRouteDataItem& route, const MavRouteLimits& limits,
                                              const std::vector<NfzRecord>& zones);
};
