#pragma once
// Checks a route before it flies: waypoint count, numbering, nextWp targets, positions,
// altitudes and speeds against the vehicle's limits, and no-fly zones along the path the vehicle
// flies. Returns every finding; an empty list means the route may go. Only geometry and
// comparisons: no signals, no state.
//
// Findings name waypoints by their 1-based place in the list, which equals their number on a
// well-numbered route (a "number" finding says when it does not). wayPoint 0 is the whole route.
// Rule keys: "count", "number", "nextWp", "unreachable", "position", "altitude", "speed", "zone",
// "limits". A finding is a violation (the route should not fly as it is) or "unchecked" (a part
// that could not be looked at: no zone set, limits not read, where the vehicle starts unknown).
//
// The flown path, as the vehicle flies it: from waypoint 1, each waypoint's nextWp names the next
// (by number, taken as its place); 0 or a number the route lacks ends the route. Legs are
// checked in that order, not in list order, so a nextWp that skips a detour is checked as the
// straight leg it is. Also checked: the leg from where the vehicle starts (MavRoutePlaces) to
// waypoint 1; the leg back into a loop; with a repeat count above 0 the leg from the last flown
// waypoint back to waypoint 1 (the route is flown again); and, when the route ends in a return
// waypoint, the leg from it (or the last flown waypoint with a position) home. Each leg is
// checked once whatever its direction.
//
// Choices:
// - Over 255 waypoints the numbers have wrapped in 8 bits, so "number", "nextWp", the flown path
//   and its legs are not checked; the other rules still are.
// - nextWp must name a waypoint 1..N; the last may also hold N + 1 (or 0) for "the route ends".
// - A waypoint the path never reaches is an "unreachable" finding. A nextWp that leads back to a
//   waypoint already flown makes a loop nothing leaves (each waypoint has one next): one "nextWp"
//   finding at the waypoint that closes it. A vehicle gives up such a loop after a while and
//   hovers where it is, which is not where the route ends.
// - A limit that is given but not a positive finite number gives one route-wide finding of its
//   rule instead of being silently ignored.
// - Zones: each zone is seen through a gnomonic projection around its centre, where great
//   circles are straight lines and a circle zone stays an exact circle, so a leg is tested as
//   one segment whatever its length (clipped to the part within 85° of the zone) and whatever
//   side of the 180° meridian its ends are on. Polygon edges count as great-circle arcs: within
//   a couple of metres of the map's straight edges for zones of ten kilometres. A leg touching
//   a zone's edge enters it.
// - A waypoint inside a zone is one finding; a leg is reported only when neither of its
//   waypoint ends is inside that zone, so one fault is not reported three times. A start or
//   home inside a zone is reported through its leg.
// - Zones without area (under 3 vertices, radius not > 0) cannot be entered and are skipped; a
//   zone reaching more than 80° from its centre, or with coordinates out of range, cannot be
//   projected and gives a route-wide "zone" finding.
// - A waypoint with a bad position takes no part in the zone rule. Antipodal legs (no unique
//   great circle) are not checked against zones.
// Every finding is also logged as a warning under "<RouteCheck>". Stateless; call it on the
// route's thread (the main one).

#include "NfzRecord.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class MavFlightRouteDataItem;

struct MavRouteFinding {
    enum class Kind { Violation, Unchecked };
    int wayPoint = 0;  // 1-based place in the route; 0: the whole route
    QString rule;
    QString text;
    int64_t zoneId = 0;  // "zone" findings only
    Kind kind = Kind::Violation;
};

// Known only once the vehicle's basic parameters were read.
struct MavRouteLimits {
    std::optional<double> maxAltM;
    std::optional<double> maxHorSpeedMps;
};

// Where the flight starts and where a return goes. Without `given` nothing is known and nothing
// is said about it; with it, an unknown start or home is an "unchecked" finding.
struct MavRoutePlaces {
    bool given = false;
    std::optional<NfzRecord::Point> start;
    bool startIsHome = false;  // the vehicle's position is unknown: it starts from home
    std::optional<NfzRecord::Point> home;
};

// A check and what it looked at, so that "passed" never means "nothing was looked at".
struct MavRouteCheckReport {
    std::vector<MavRouteFinding> findings;
    // The zone set: loaded or not, its size, where it came from ("cache", "backup", "document",
    // "none") and its file's time.
    bool zonesLoaded = false;
    size_t zoneCount = 0;
    QString zoneSource;
    QDateTime zoneTime;
    // The vehicle's limits: read from its basic parameters or not, and those used.
    bool limitsRead = false;
    MavRouteLimits limits;
    // Where the flight was taken to start: "vehicle", "home" or "unknown".
    QString start = QStringLiteral("unknown");

    bool passed() const { return findings.empty(); }
    // The findings that stand against flying (the unchecked ones only say what was not seen).
    std::vector<MavRouteFinding> violations() const;
};

class MavRouteChecker {
public:
    static std::vector<MavRouteFinding> check(const MavFlightRouteDataItem& route, const MavRouteLimits& limits,
                                              const std::vector<NfzRecord>& zones, const MavRoutePlaces& places = {});
};
